#include "documents/collection.h"
#include "events/archive.h"
#include "platform/user_messages.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::vector<std::string> PathsOf(const CFileListDoc& doc) {
    std::vector<std::string> out;
    for (size_t i = 0; i < doc.Paths().Count(); ++i) out.push_back(doc.Paths().Path(i));
    return out;
}

using P = std::vector<std::string>;

TEST(Collections, KeepUniquePathsInSortedOrderOrAtTheFront) {
    CFileListDoc doc;
    doc.OnNewDocument();
    EXPECT_EQ(doc.AddFiles({"b.mid", "a.sng", "c.dra", "a.sng"}), 3);
    EXPECT_EQ(PathsOf(doc), (P{"a.sng", "b.mid", "c.dra"}));
    doc.Paths().sorted = false;
    doc.AddFiles({"z.mid", "0.mid"});
    EXPECT_EQ(PathsOf(doc), (P{"0.mid", "z.mid", "a.sng", "b.mid", "c.dra"}));
    EXPECT_TRUE(doc.IsModified());
}

TEST(Collections, FileRoundTripsByteForByte) {
    CFileListDoc doc;
    doc.SetTexts("first", "second");
    doc.AddFiles({"b.mid", "a.sng"});
    CArchive ar;
    doc.WriteDocument(ar);
    std::vector<uint8_t> expect = {0,   0,   0,    0,    5,    'f',  'i', 'r', 's', 't', 1,   0,
                                   0,   0,   0,    0,    1,    0,    2,   0,   5,   'a', '.', 's',
                                   'n', 'g', 0,    0,    0x80, 0x3F, 5,   'b', '.', 'm', 'i', 'd',
                                   0,   0,   0x80, 0x3F, 6,    's',  'e', 'c', 'o', 'n', 'd'};
    EXPECT_EQ(ar.Buffer(), expect);
    CFileListDoc back;
    ASSERT_TRUE(back.LoadFromMemory(expect.data(), expect.size()));
    EXPECT_EQ(back.Text1(), "first");
    EXPECT_EQ(back.Text2(), "second");
    EXPECT_EQ(PathsOf(back), (P{"a.sng", "b.mid"}));
    EXPECT_TRUE(back.Paths().sorted);

    // Any cut-short file is refused and the collection keeps what it had.
    platform::ScopedRecordingMessages messages;
    for (size_t n = 0; n < expect.size(); ++n) {
        EXPECT_FALSE(back.LoadFromMemory(expect.data(), n)) << n;
        EXPECT_EQ(PathsOf(back), (P{"a.sng", "b.mid"}));
    }
    EXPECT_EQ(messages.Shown().back(), kDamagedCollectionMessage);
}

TEST(Collections, AddingACollectionTakesTheUnionAndPlayGoesThroughInOrder) {
    auto path = (std::filesystem::path(::testing::TempDir()) / "other.COL").string();
    CFileListDoc other;
    other.Paths().sorted = false;
    other.AddFiles({"a.mid", "x.sng", "m.dra"});
    ASSERT_TRUE(other.OnSaveDocument(path));
    CFileListDoc doc;
    doc.AddFiles({"m.dra", "b.mid"});
    ASSERT_TRUE(doc.AddCollection(path));
    EXPECT_EQ(PathsOf(doc), (P{"a.mid", "b.mid", "m.dra", "x.sng"}));
    std::filesystem::remove(path);

    EXPECT_EQ(doc.BeginPlay(), "a.mid");
    EXPECT_TRUE(doc.IsPlaying());
    EXPECT_EQ(doc.NextToPlay(), "b.mid");
    EXPECT_EQ(doc.NextToPlay(), "m.dra");
    EXPECT_EQ(doc.NextToPlay(), "x.sng");
    EXPECT_EQ(doc.NextToPlay(), "");
    EXPECT_FALSE(doc.IsPlaying());
    CFileListDoc none;
    EXPECT_EQ(none.BeginPlay(), "");
    EXPECT_FALSE(none.IsPlaying());
}

} // namespace
