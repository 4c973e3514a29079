#include "tests/song/song_helpers.h"

#include "documents/midi_document.h"
#include "song/song_export.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace songtest;

namespace {

struct Ev {
    uint32_t time;
    uint8_t status, data1, data2, data3;
    uint32_t duration;
    bool operator==(const Ev&) const = default;
};

std::vector<Ev> Track(CMidiDoc& doc, int channel) {
    std::vector<Ev> out;
    CEventTree* t = doc.GetChannelEvents(channel);
    for (SongEvent* e = t->First(); e; e = t->Next()) {
        auto* m = static_cast<EventMidi*>(e);
        out.push_back({t->CurrentTime(), m->status, m->data1, m->data2, m->data3, m->duration});
    }
    return out;
}

TEST(SongExport, OneTrackPerEntryWithItsSettingsApplied) {
    CSongDoc song;
    song.SetTitle("demo");
    auto first = List(480, {Note(0, 60, 100, 480), new EventMidi(240, 0xE0, 0, 64)});
    first->GetEvents().Add(new EventMidi(480, 0, 0x07, 0xA1, 0, 0x20)); // a tempo change
    song.IncludeDocument(first);
    song.IncludeDocument(List(1000, {Note(0, 50, 100, 500), Note(1000, 52, 100, 500)}));
    song.IncludeDocument(List(1000, {Note(0, 40)}));
    EntrySettings& a = song.Settings(0);
    a.transpose = 12;
    a.volume = 0.5f;
    a.channel = 3;
    a.program = 19;
    a.startOffset = 1000;
    a.name = "lead";
    EntrySettings& b = song.Settings(1);
    b.rate = 2.0f;
    b.loop = 1;
    b.loopLength = 1000; // twice as fast, both notes fall in each one-beat pass
    b.channel = 1;
    song.Settings(2).muted = 1;
    SongExportOptions options;
    options.tempoBpm = 120;
    options.endBeat = 4;
    auto path = (std::filesystem::path(::testing::TempDir()) / "song_export.mid").string();
    ASSERT_TRUE(ExportSongAsMidi(song, path, options));

    CMidiDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(path));
    std::filesystem::remove(path);
    EXPECT_EQ(doc.FileFormat(), 1);
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 1000u);
    ASSERT_EQ(doc.GetChannelCount(), 4);
    // The tempo track: the export tempo, then the entry's tempo change at its song time.
    EXPECT_EQ(Track(doc, 1),
              (std::vector<Ev>{{0, 0, 0x07, 0xA1, 0x20, 0}, {2000, 0, 0x07, 0xA1, 0x20, 0}}));
    EXPECT_EQ(Track(doc, 2), (std::vector<Ev>{{0, 0xC3, 19, 0, 0, 0},
                                              {0, 0xB3, 7, 63, 0, 0},
                                              {0, 0xB3, 10, 63, 0, 0},
                                              {1000, 0x90, 72, 50, 0, 1000},
                                              {1500, 0xE0, 0, 64, 0, 0}}));
    std::vector<Ev> looped = Track(doc, 3);
    ASSERT_EQ(looped.size(), 11u);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(looped[3 + k].time, uint32_t(k) * 500u);
        EXPECT_EQ(looped[3 + k].data1, k % 2 ? 52 : 50);
        EXPECT_EQ(looped[3 + k].duration, 250u);
    }
    ChannelMixRecord props;
    doc.ReadTrackProperties(4, props);
    EXPECT_TRUE(Track(doc, 4).empty()); // muted: the name only
    EXPECT_EQ(props.name, "list");
}

} // namespace
