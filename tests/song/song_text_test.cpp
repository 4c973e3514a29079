#include "song/song_text.h"

#include "tests/song/song_helpers.h"

#include "documents/tree_document.h"
#include "events/archive.h"
#include "platform/user_messages.h"
#include "tests/common/node_types.h"
#include "tests/common/test_util.h"
#include "tree/registry.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace songtest;

namespace {

std::vector<uint8_t> Stored(CSongDoc& song) {
    CArchive ar;
    song.WriteDocument(ar);
    return ar.Buffer();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string ErrorOf(const std::string& text) {
    SongTextFile file;
    std::string error;
    if (SongTextToFile(text, file, &error)) return "(read)";
    return error;
}

// A song with a contained tree, a referenced event list, a contained event list and settings
// apart from their defaults.
void BuildSong(CSongDoc& song, const std::string& listPath) {
    song.SetDescription("A song");
    song.HeaderSettings().name = "header";
    auto tree = std::make_shared<CDendraDoc>();
    tree->OnNewDocument();
    ReplaceWith(tree->GetRoot().childOne, "MidiNote");
    tree->Solver().SolveAtOnce();
    tree->SetComments("kept inside");
    song.IncludeDocument(tree);
    ASSERT_TRUE(song.Contain(0));
    ASSERT_TRUE(List(1000, {Note(1000, 60)})->OnSaveDocument(listPath));
    auto ref = std::make_shared<CSELDoc>();
    ASSERT_TRUE(ref->OnOpenDocument(listPath));
    song.IncludeDocument(ref);
    auto inner = List(480, {Note(480, 61), Note(960, 62, 90, 30, 3)});
    song.IncludeDocument(inner);
    ASSERT_TRUE(song.Contain(2));
    EntrySettings& s = song.Settings(1);
    s.transpose = -3;
    s.rate = 1.5f;
    s.volume = 0.25f;
    s.waveVolume = 0.75f;
    s.pan = 0.1f;
    s.loop = 1;
    s.loopLength = 8000;
    s.startOffset = 4000;
    s.channel = 9;
    s.program = 33;
    s.device = 7;
    song.ToggleArm(1);
}

TEST(SongText, ASongSurvivesTheTextFormByteForByte) {
    testutil::TempDir dir("dendra-song-text");
    CSongDoc song;
    BuildSong(song, dir.File("ref.sel"));
    const std::vector<uint8_t> before = Stored(song);
    for (const std::string& text : {textform::Compact(SongJson(song)), SongText(song)}) {
        SongTextFile file;
        std::string error;
        ASSERT_TRUE(SongTextToFile(text, file, &error)) << error;
        EXPECT_EQ(file.bytes, before);
    }

    // Saved under a .json name, the song writes its text form and opens from it again.
    const std::string path = dir.File("s.json");
    ASSERT_TRUE(song.OnSaveDocument(path));
    EXPECT_EQ(textform::SniffFile(path), textform::TextKind::Song);
    CSongDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    ASSERT_EQ(back.EntryCount(), 3);
    ASSERT_NE(back.EntryEvents(1), nullptr);
    EXPECT_EQ(back.EntryEvents(1)->GetCount(), 1);
    EXPECT_EQ(Stored(back), before);
}

TEST(SongText, HandWrittenEntriesNameDocumentsBesideTheSong) {
    testutil::TempDir dir("dendra-song-text");
    // The tree itself is a hand-written text form too.
    WriteText(dir.File("beat.json"),
              R"({"root":{"type":"Every","children":[{"type":"Constant","params":{"value":250}},
                 {"type":"MidiDrumNote"}]}})");
    auto list = List(1000, {Note(0, 60), Note(500, 64)}, "riff");
    ASSERT_TRUE(list->OnSaveDocument(dir.File("riff.sel")));
    WriteText(dir.File("song.json"), R"({"entries":[
        {"document":"beat.json"},
        {"document":"riff.sel","settings":{"name":"Lead","transpose":12}},
        {"document":{"events":[{"time":0,"data1":40}]}}]})");

    CSongDoc song;
    ASSERT_TRUE(song.OnOpenDocument(dir.File("song.json")));
    ASSERT_EQ(song.EntryCount(), 3);
    ASSERT_NE(song.Entry(0).document, nullptr);
    EXPECT_EQ(song.Entry(0).document->GetDocKind(), kDocKindDendra);
    EXPECT_EQ(song.Settings(0).name, "beat.json") << "left out: the document's title";
    ASSERT_NE(song.EntryEvents(0), nullptr);
    EXPECT_GT(song.EntryEvents(0)->GetCount(), 30);
    EXPECT_EQ(song.Settings(1).name, "Lead");
    EXPECT_EQ(song.Settings(1).transpose, 12);
    ASSERT_NE(song.EntryEvents(1), nullptr);
    EXPECT_EQ(song.EntryEvents(1)->GetCount(), 2);
    EXPECT_TRUE(song.Entry(2).contained);
    ASSERT_NE(song.EntryEvents(2), nullptr);
    EXPECT_EQ(song.EntryEvents(2)->GetCount(), 1);
    EXPECT_EQ(song.Description(), "");
}

TEST(SongText, RefusalsNameTheEntryAndTheField) {
    EXPECT_EQ(ErrorOf(R"({"entries":[{},{"settings":{"rate":200}}]})"),
              "entries[1].settings: \"rate\" 200 is outside 0.01 to 100");
    EXPECT_EQ(ErrorOf(R"({"entries":[{"settings":{"channel":16}}]})"),
              "entries[0].settings: \"channel\" 16 is outside 0 to 15");
    EXPECT_EQ(ErrorOf(R"({"entries":[{"document":{"root":{"type":"Nope"}}}]})"),
              "entries[0].document: Root/L: unknown node type \"Nope\"");
    EXPECT_EQ(ErrorOf(R"({"entries":[{"document":7}]})"),
              "entries[0]: \"document\" takes a document, a path or null, not a number");
    EXPECT_EQ(ErrorOf(R"({"header":{"nmae":"x"}})"), "header: unknown field \"nmae\"");
    EXPECT_EQ(ErrorOf("{\"entries\":[\n{]}").substr(0, 17), "line 2, column 2:");
    std::string many = R"({"entries":[{})";
    for (int i = 0; i < kMaxSongEntries; ++i) many += ",{}";
    EXPECT_EQ(ErrorOf(many + "]}"), "\"entries\" holds 41 entries; a song holds at most 40");

    // The song open keeps its entries when a text cannot be read.
    platform::ScopedRecordingMessages messages;
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(0, 60)}));
    const std::vector<uint8_t> before = Stored(song);
    const std::string bad = R"({"entries":[{"settings":{"program":128}}]})";
    CArchive in(bad.data(), bad.size());
    EXPECT_FALSE(song.ReadDocument(in));
    EXPECT_EQ(Stored(song), before);
    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_EQ(messages.Shown()[0], "The text of this song cannot be read: entries[0].settings: "
                                   "\"program\" 128 is outside 0 to 127");
}

} // namespace
