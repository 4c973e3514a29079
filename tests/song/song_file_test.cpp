#include "tests/song/song_helpers.h"

#include "documents/midi_document.h"
#include "documents/tree_document.h"
#include "events/archive.h"
#include "platform/user_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

using namespace songtest;
namespace fs = std::filesystem;

namespace {

struct Bytes {
    std::vector<uint8_t> b;
    Bytes& U16(uint16_t v) {
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(v >> 8));
        return *this;
    }
    Bytes& U32(uint32_t v) { return U16(uint16_t(v)).U16(uint16_t(v >> 16)); }
    Bytes& Str(const std::string& s) {
        b.push_back(uint8_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    // The older settings form: no marker, no wave volume.
    Bytes& OldSettings(const std::string& name, const std::string& path, int32_t midiVolume,
                       int32_t rate, uint32_t loopLength) {
        Str(name).Str(path).U32(102).U32(uint32_t(midiVolume));
        U32(0).U32(7).U32(3).U32(9).U32(4).U32(1234); // muted word transpose program channel word
        return U32(250).U32(uint32_t(rate)).U32(1).U32(2000).U32(loopLength);
    }
    Bytes& Settings(const std::string& name, const std::string& path, uint32_t word1 = 0) {
        U16(1).Str(name).Str(path).U32(102).U32(900).U32(900);
        U32(0).U32(word1).U32(0).U32(0).U32(0).U32(1000);
        return U32(500).U32(1000).U32(0).U32(0).U32(100000000);
    }
};

class SongFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("song_files_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        CSongDoc::SetDocumentOpener(nullptr);
        CSongDoc::SetFileSearch(nullptr);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    void Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::ofstream out(Path(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    static std::vector<uint8_t> Stored(CSongDoc& song) {
        CArchive ar;
        song.WriteDocument(ar);
        return ar.Buffer();
    }
    // A saved event list holding one note at 1000.
    std::string SavedList(const std::string& name) const {
        auto list = List(1000, {Note(1000, 60)});
        EXPECT_TRUE(list->OnSaveDocument(Path(name)));
        return Path(name);
    }
    fs::path dir_;
};

TEST_F(SongFiles, AnEmptyVersion5SongIsExactlyItsHeader) {
    CSongDoc song;
    std::vector<uint8_t> expect = Bytes().U32(5).U32(1643527).Settings("", "").Str("").U16(0).b;
    std::vector<uint8_t> got = Stored(song);
    EXPECT_EQ(got.size(), 4u + 4u + 60u + 1u + 2u);
    EXPECT_EQ(got, expect);
}

TEST_F(SongFiles, Version5RoundTripsContainedAndReferencedDocuments) {
    std::string listPath = SavedList("ref.sel");
    CSongDoc song;
    song.SetDescription("A song");
    song.HeaderSettings().name = "header";
    auto tree = std::make_shared<CDendraDoc>();
    tree->OnNewDocument();
    tree->SetComments("kept inside");
    song.IncludeDocument(tree);
    ASSERT_TRUE(song.Contain(0));
    auto ref = std::make_shared<CSELDoc>();
    ASSERT_TRUE(ref->OnOpenDocument(listPath));
    song.IncludeDocument(ref);
    auto inner = List(480, {Note(480, 61)});
    song.IncludeDocument(inner);
    ASSERT_TRUE(song.Contain(2));
    EntrySettings& s = song.Settings(1);
    s.transpose = -3;
    s.rate = 1.5f;
    s.volume = 0.25f;
    s.waveVolume = 0.75f;
    s.pan = 0.125f;
    s.loop = 1;
    s.loopLength = 8000;
    s.startOffset = 4000;
    s.channel = 9;
    s.program = 33;
    s.device = 7;
    s.word2 = 42;
    song.ToggleArm(1);
    ASSERT_TRUE(song.OnSaveDocument(Path("a.sng")));

    CSongDoc back;
    ASSERT_TRUE(back.OnOpenDocument(Path("a.sng")));
    EXPECT_EQ(back.FileVersionRead(), 5u);
    EXPECT_EQ(back.Description(), "A song");
    EXPECT_EQ(back.HeaderSettings().name, "header");
    ASSERT_EQ(back.EntryCount(), 3);
    EXPECT_TRUE(back.Entry(0).contained);
    EXPECT_EQ(back.Settings(0).sourcePath, kContainedPath);
    ASSERT_NE(back.Entry(0).document, nullptr);
    EXPECT_EQ(back.Entry(0).document->GetDocKind(), kDocKindDendra);
    EXPECT_EQ(static_cast<CDendraDoc&>(*back.Entry(0).document).GetComments(), "kept inside");
    EXPECT_FALSE(back.Entry(1).contained);
    EXPECT_EQ(back.Entry(1).recordMode, kRecordMidi);
    const EntrySettings& r = back.Settings(1);
    EXPECT_EQ(r.sourcePath, listPath);
    EXPECT_EQ(r.transpose, -3);
    EXPECT_FLOAT_EQ(r.rate, 1.5f);
    EXPECT_FLOAT_EQ(r.volume, 0.25f);
    EXPECT_FLOAT_EQ(r.waveVolume, 0.75f);
    EXPECT_FLOAT_EQ(r.pan, 0.125f);
    EXPECT_EQ(r.loopLength, 8000u);
    EXPECT_EQ(r.startOffset, 4000u);
    EXPECT_EQ(r.channel, 9);
    EXPECT_EQ(r.program, 33);
    EXPECT_EQ(r.device, 7);
    EXPECT_EQ(r.word2, 42);
    ASSERT_NE(back.EntryEvents(1), nullptr);
    EXPECT_EQ(back.EntryEvents(1)->GetCount(), 1);
    ASSERT_NE(back.EntryEvents(2), nullptr);
    EXPECT_EQ(back.Entry(2).document->GetTicksPerBeat(kUnitsPerBeat), 480u);
    // Written again, the file is the same byte for byte.
    EXPECT_EQ(Stored(back), Stored(song));
}

TEST_F(SongFiles, Version4ReadsTheOlderSettingsFormAndHoldsValues) {
    std::string listPath = SavedList("old.sel");
    Bytes f;
    f.U32(4).U32(1643527).OldSettings("head", "", 500, 1000, 100000000).Str("old song");
    f.U16(2).U16(2).U16(0);
    f.OldSettings("first", listPath, 20000, 0, 0).U16(0);
    f.OldSettings("second", "", 700, 2000000, 5).U16(0);
    CSongDoc song;
    ASSERT_TRUE(song.LoadFromMemory(f.b.data(), f.b.size()));
    EXPECT_EQ(song.FileVersionRead(), 4u);
    EXPECT_EQ(song.Description(), "old song");
    EXPECT_FLOAT_EQ(song.HeaderSettings().volume, 0.5f);
    ASSERT_EQ(song.EntryCount(), 2);
    const EntrySettings& a = song.Settings(0);
    EXPECT_EQ(a.name, "first");
    EXPECT_FLOAT_EQ(a.volume, 10.0f);    // held to at most 10
    EXPECT_FLOAT_EQ(a.waveVolume, 0.9f); // not in the older form
    EXPECT_FLOAT_EQ(a.rate, 0.01f);      // rate 0 would divide by zero
    EXPECT_EQ(a.loopLength, 10u);
    EXPECT_EQ(a.transpose, 3);
    EXPECT_EQ(a.program, 9);
    EXPECT_EQ(a.channel, 4);
    EXPECT_EQ(a.word2, 1234);
    EXPECT_FLOAT_EQ(a.pan, 0.25f);
    EXPECT_EQ(a.startOffset, 2000u);
    EXPECT_EQ(song.Entry(0).recordMode, kRecordMidi);
    ASSERT_NE(song.Entry(0).document, nullptr);
    EXPECT_FLOAT_EQ(song.Settings(1).rate, 100.0f);
    EXPECT_EQ(song.Entry(1).document, nullptr);
    // Held values play without dividing by zero: the loop of 10 units holds no event (the
    // note lies 100 beats in at rate 0.01), so the entry ends instead of wrapping for ever.
    song.Prepare();
    EXPECT_TRUE(Drain(song, 3).empty());
    song.Settings(0).loop = 0;
    song.Seek(0, false);
    auto m = Drain(song, 3);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].time, 102000u);
    EXPECT_EQ(m[0].data1, 63);

    // Version 1: no header settings at all.
    Bytes v1;
    v1.U32(1).Str("first version").U16(1).U16(0).OldSettings("x", "", 900, 1000, 4000).U16(0);
    CSongDoc one;
    ASSERT_TRUE(one.LoadFromMemory(v1.b.data(), v1.b.size()));
    EXPECT_EQ(one.Description(), "first version");
    ASSERT_EQ(one.EntryCount(), 1);
    EXPECT_EQ(one.Settings(0).loopLength, 4000u);
    // Saved again it is a version 5 file that reads back the same.
    CSongDoc again;
    std::vector<uint8_t> bytes = Stored(one);
    ASSERT_TRUE(again.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(Stored(again), bytes);
}

TEST_F(SongFiles, RefusedFilesLeaveTheSongAsItWas) {
    platform::ScopedRecordingMessages messages;
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(0, 60)}));
    auto refuse = [&](const std::vector<uint8_t>& b, const char* message) {
        messages.Clear();
        EXPECT_FALSE(song.LoadFromMemory(b.data(), b.size()));
        ASSERT_FALSE(messages.Shown().empty());
        EXPECT_EQ(messages.Shown().back(), message);
        EXPECT_EQ(song.EntryCount(), 1);
    };
    refuse(Bytes().U32(6).U32(1643527).b, kNewerVersionMessage);
    refuse(Bytes().U32(5).U32(1234).b, kNotSongMessage);
    refuse(Bytes().U32(5).U32(1643527).Settings("", "").Str("").U16(41).b,
           kSongEntriesInFileMessage);
    Bytes cut;
    cut.U32(5).U32(1643527).Settings("", "").Str("").U16(2).U16(0).U16(0).Settings("a", "");
    cut.U16(0);
    refuse(cut.b, kDamagedSongMessage);
    refuse(Bytes().U32(5).b, kDamagedSongMessage);
    // Every truncation of a good file is refused cleanly.
    CSongDoc full;
    full.IncludeDocument(List(1000, {Note(0, 60), Note(5, 61)}));
    full.Contain(0);
    std::vector<uint8_t> good = Stored(full);
    for (size_t n = 0; n < good.size(); ++n) {
        CSongDoc copy;
        copy.IncludeDocument(List(1000, {}));
        EXPECT_FALSE(copy.LoadFromMemory(good.data(), n)) << n;
        EXPECT_EQ(copy.EntryCount(), 1);
    }
}

TEST_F(SongFiles, ContainedDocumentsOfUnknownKindReadAsEventLists) {
    CSELDoc list;
    list.OnNewDocument();
    list.GetEvents().Add(Note(7, 64));
    CArchive data;
    list.WriteDocument(data);
    Bytes f;
    f.U32(5).U32(1643527).Settings("", "").Str("").U16(1).U16(0).Settings("odd", "CONTAINED");
    f.U16(1).U32(77);
    f.b.insert(f.b.end(), data.Buffer().begin(), data.Buffer().end());
    CSongDoc song;
    ASSERT_TRUE(song.LoadFromMemory(f.b.data(), f.b.size()));
    ASSERT_EQ(song.EntryCount(), 1);
    ASSERT_NE(song.Entry(0).document, nullptr);
    EXPECT_EQ(song.Entry(0).document->GetDocKind(), kDocKindWordList);
    EXPECT_EQ(song.EntryEvents(0)->GetCount(), 1);
}

TEST_F(SongFiles, MissingFilesAreAskedForAndKeptInTheSong) {
    platform::ScopedRecordingMessages messages;
    const std::string missing = Path("gone.sel");
    Bytes f;
    f.U32(5).U32(1643527).Settings("", "").Str("").U16(1).U16(0).Settings("lost", missing).U16(0);
    CSongDoc song;
    ASSERT_TRUE(song.LoadFromMemory(f.b.data(), f.b.size()));
    ASSERT_EQ(messages.Asked().size(), 1u);
    EXPECT_EQ(messages.Asked()[0], "Could not find [" + missing + "]. Search for file?");
    ASSERT_EQ(song.EntryCount(), 1);
    EXPECT_EQ(song.Entry(0).document, nullptr);
    EXPECT_EQ(song.EntryEvents(0), nullptr);
    // Saving keeps the reference, nothing is lost.
    EXPECT_EQ(Stored(song), f.b);
    song.Prepare();
    EXPECT_TRUE(Drain(song).empty());

    // Yes searches, and the found path is kept.
    fs::create_directories(dir_ / "moved");
    auto list = List(1000, {Note(0, 60)});
    ASSERT_TRUE(list->OnSaveDocument(Path("moved/gone.sel")));
    messages.Clear();
    messages.QueueAnswer(platform::Answer::Yes);
    std::string searchedFor;
    CSongDoc::SetFileSearch([&](const std::string& path, const std::string&) {
        searchedFor = path;
        return CSongDoc::SearchFolderForFile(path, dir_.string());
    });
    CSongDoc found;
    ASSERT_TRUE(found.LoadFromMemory(f.b.data(), f.b.size()));
    EXPECT_EQ(searchedFor, missing);
    ASSERT_NE(found.Entry(0).document, nullptr);
    EXPECT_EQ(found.Settings(0).sourcePath, Path("moved/gone.sel"));

    // A referenced file that cannot be read says so and leaves its entry without a document.
    Write("bad.sel", {1, 2, 3});
    Bytes g;
    g.U32(5).U32(1643527).Settings("", "").Str("").U16(1).U16(0);
    g.Settings("bad", Path("bad.sel")).U16(0);
    messages.Clear();
    CSongDoc bad;
    ASSERT_TRUE(bad.LoadFromMemory(g.b.data(), g.b.size()));
    EXPECT_FALSE(messages.Shown().empty());
    ASSERT_EQ(bad.EntryCount(), 1);
    EXPECT_EQ(bad.Entry(0).document, nullptr);
}

TEST_F(SongFiles, ADocumentNamedTwiceIsOpenedOnceAndRelativePathsFollowTheSong) {
    CMidiDoc midi;
    midi.SetTicksPerBeat(kUnitsPerBeat, 480);
    midi.SetTicksPerBeat(kPlayResolution, 480);
    midi.SetChannelCount(2, false);
    midi.GetChannelEvents(1)->Add(Note(0, 60));
    midi.GetChannelEvents(2)->Add(Note(480, 70));
    ASSERT_TRUE(midi.OnSaveDocument(Path("two.mid")));
    int opens = 0;
    CSongDoc::SetDocumentOpener([&](const std::string& path) {
        ++opens;
        return CSongDoc::OpenDocumentByPath(path);
    });
    Bytes f;
    f.U32(5).U32(1643527).Settings("", "").Str("").U16(2).U16(0).U16(0);
    f.Settings("b", "two.mid", 2).U16(0).Settings("a", "two.mid").U16(0);
    Write("s.sng", f.b);
    CSongDoc song;
    ASSERT_TRUE(song.OnOpenDocument(Path("s.sng")));
    EXPECT_EQ(opens, 1);
    ASSERT_EQ(song.EntryCount(), 2);
    EXPECT_EQ(song.Entry(0).document, song.Entry(1).document);
    EXPECT_EQ(song.Entry(0).channel, 2); // the stored channel
    EXPECT_EQ(song.Entry(1).channel, 1); // the next one free
    EXPECT_EQ(song.Settings(0).name, "b");
    song.Prepare();
    std::vector<Merged> notes;
    for (const Merged& x : Drain(song))
        if ((x.status & 0xF0) == 0x90) notes.push_back(x);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].data1, 60);
    EXPECT_EQ(notes[0].entry, 1);
    EXPECT_EQ(notes[1].time, 1000u); // 480 at 480 units per beat is one beat
}

} // namespace
