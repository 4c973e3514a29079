#include "tests/song/song_helpers.h"

#include "documents/tree_document.h"
#include "nodes/midi.h"
#include "platform/user_messages.h"
#include "tests/common/node_types.h"
#include "tree/registry.h"
#include "tree/solve.h"

#include <gtest/gtest.h>

using namespace songtest;

namespace {

using V = std::vector<uint32_t>;

TEST(SongMerge, MergesInTimeOrderWithTiesToTheLowerEntry) {
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(0, 60), Note(1000, 61), Note(3000, 62)}));
    song.IncludeDocument(List(1000, {Note(1000, 70), Note(2000, 71)}));
    ASSERT_EQ(song.EntryCount(), 2);
    song.Prepare();
    auto m = Drain(song);
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(Times(m), (V{0, 1000, 1000, 2000, 3000}));
    EXPECT_EQ(m[1].entry, 0); // the tie goes to the lower index
    EXPECT_EQ(m[2].entry, 1);
    EXPECT_EQ(m[1].data1, 61);
    EXPECT_EQ(m[2].data1, 70);
    EXPECT_EQ(m[0].device, kDeviceDefault);
    // The end marker stays the end.
    int device = 0;
    EXPECT_TRUE(CSongDoc::IsEndMarker(song.GetNextEvent(device)));
    EXPECT_EQ(song.EndMarker().time, kNoTime);
}

TEST(SongMerge, ScalesRatesStartOffsetsAndPlayResolution) {
    CSongDoc song;
    // A MIDI-like document at 480 units per beat: scale 0.48.
    song.IncludeDocument(List(480, {Note(480, 60, 100, 240)}));
    song.IncludeDocument(List(1000, {Note(1000, 61, 100, 1000)}));
    song.IncludeDocument(List(1000, {Note(0, 62)}));
    song.Settings(1).rate = 2.0f;
    song.Settings(2).startOffset = 2000;
    song.Prepare();
    EXPECT_DOUBLE_EQ(song.Settings(0).scale, 0.48);
    EXPECT_DOUBLE_EQ(song.Settings(1).scale, 2.0);
    auto m = Drain(song);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].entry, 1); // twice as fast: beat 1 comes at 500
    EXPECT_EQ(m[0].time, 500u);
    EXPECT_EQ(m[0].duration, 500u);
    EXPECT_EQ(m[1].entry, 0);
    EXPECT_EQ(m[1].time, 1000u);
    EXPECT_EQ(m[1].duration, 500u);
    EXPECT_EQ(m[2].time, 2000u); // two beats in

    // At a play resolution of 480 the same events come in the clock's ticks.
    song.SetTicksPerBeat(kPlayResolution, 480);
    song.Seek(0, false);
    m = Drain(song);
    EXPECT_EQ(Times(m), (V{240, 480, 960}));
    EXPECT_EQ(m[1].duration, 240u);
}

TEST(SongMerge, LoopsRepeatAndAnEmptyLoopEnds) {
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(0, 60), Note(1000, 61), Note(3000, 62), Note(5000, 63)}));
    song.Settings(0).loop = 1;
    song.Settings(0).loopLength = 4000;
    song.Prepare();
    auto m = Drain(song, 9);
    EXPECT_EQ(Times(m), (V{0, 1000, 3000, 4000, 5000, 7000, 8000, 9000, 11000}));
    for (const Merged& x : m) EXPECT_NE(x.data1, 63); // beyond the loop: never heard
    EXPECT_EQ(song.Entry(0).loopAccumulated, 8000u);

    // Seeking into the third pass.
    song.Seek(9.5, false);
    m = Drain(song, 2);
    EXPECT_EQ(Times(m), (V{11000, 12000}));

    // A loop that holds no event ends the entry instead of wrapping for ever.
    CSongDoc empty;
    empty.IncludeDocument(List(1000, {Note(5000, 60)}));
    empty.IncludeDocument(List(1000, {Note(100, 61)}));
    empty.Settings(0).loop = 1;
    empty.Settings(0).loopLength = 4000;
    empty.Prepare();
    m = Drain(empty);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].data1, 61);

    // A looping entry whose events end early still starts its next pass at the loop length.
    CSongDoc shortLoop;
    shortLoop.IncludeDocument(List(1000, {Note(500, 60)}));
    shortLoop.Settings(0).loop = 1;
    shortLoop.Settings(0).loopLength = 2000;
    shortLoop.Settings(0).startOffset = 1000;
    shortLoop.Prepare();
    EXPECT_EQ(Times(Drain(shortLoop, 3)), (V{1500, 3500, 5500}));
}

TEST(SongMerge, TransposeAndVolumeTouchOnlyKeysAndVelocities) {
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(0, 60, 100), new EventMidi(1, 0xE0, 0, 64),
                                     new EventMidi(2, 0xB0, 64, 127), new EventMidi(3, 0xC0, 5, 0),
                                     new EventMidi(4, 0xA0, 60, 50), new EventMidi(5, 0x80, 60, 64),
                                     Note(6, 120, 120), Note(7, 60, 0)}));
    EntrySettings& s = song.Settings(0);
    s.transpose = 12;
    s.volume = 0.9f;
    s.device = 3;
    song.Prepare();
    auto m = Drain(song);
    ASSERT_EQ(m.size(), 8u);
    EXPECT_EQ(m[0].data1, 72);
    EXPECT_EQ(m[0].data2, 90);
    EXPECT_EQ(m[0].device, 3);
    EXPECT_EQ(m[1].data1, 0); // the pitch bend's centre stays
    EXPECT_EQ(m[1].data2, 64);
    EXPECT_EQ(m[2].data1, 64); // sustain pedal: controller number and value untouched
    EXPECT_EQ(m[2].data2, 127);
    EXPECT_EQ(m[3].data1, 5);  // program number untouched
    EXPECT_EQ(m[4].data1, 72); // key pressure follows the key
    EXPECT_EQ(m[4].data2, 50);
    EXPECT_EQ(m[5].data1, 72); // note-off key follows, its velocity does not
    EXPECT_EQ(m[5].data2, 64);
    EXPECT_EQ(m[6].data1, 127); // held to the key range
    EXPECT_EQ(m[7].data2, 0);   // a note-on of velocity 0 stays a note-off

    s.transpose = -100;
    s.volume = 5.0f;
    song.Seek(0, false);
    m = Drain(song);
    EXPECT_EQ(m[0].data1, 0);
    EXPECT_EQ(m[0].data2, 127);
}

TEST(SongMerge, StepBackGivesTheSameEventAgainAndSeekPositions) {
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(0, 60), Note(1000, 61), Note(2000, 62)}));
    song.IncludeDocument(List(1000, {Note(1000, 70)}));
    song.Prepare();
    int device = 0;
    EXPECT_EQ(song.GetNextEvent(device)->GetData1(), 60);
    EXPECT_EQ(song.GetNextEvent(device)->GetData1(), 61);
    song.StepBack();
    song.StepBack(); // a second step back changes nothing more
    EXPECT_EQ(song.GetNextEvent(device)->GetData1(), 61);
    EXPECT_EQ(song.GetNextEvent(device)->GetData1(), 70);

    song.Seek(1.5, false);
    auto m = Drain(song);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].time, 2000u);

    // Another walk over the store between calls does not lose the merge's place.
    song.Seek(0, false);
    EXPECT_EQ(song.GetNextEvent(device)->GetData1(), 60);
    CEventTree* store = song.EntryEvents(0);
    for (SongEvent* e = store->First(); e; e = store->Next()) {
    }
    store->Balance();
    EXPECT_EQ(Times(Drain(song)), (V{1000, 1000, 2000}));
}

TEST(SongMerge, MutedArmedAndValueEventsStayOut) {
    CSongDoc song;
    auto list = List(1000, {Note(0, 60)});
    list->GetEvents().Add(new EventValue(3.0f, 500));
    song.IncludeDocument(list);
    song.IncludeDocument(List(1000, {Note(100, 61)}));
    song.IncludeDocument(List(1000, {Note(200, 62)}));
    song.Settings(1).muted = 1;
    song.ToggleArm(2);
    EXPECT_EQ(song.Entry(2).recordMode, kRecordMidi);
    song.Prepare();
    auto m = Drain(song);
    ASSERT_EQ(m.size(), 2u); // the value event is not played
    EXPECT_EQ(m[1].data1, 62);
    song.Seek(0, true); // recording: armed entries are silent
    m = Drain(song);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].data1, 60);
}

TEST(SongMerge, IncludingTheSameDocumentAgainReplacesItsEntries) {
    platform::ScopedRecordingMessages messages;
    CSongDoc song;
    auto doc = List(1000, {Note(0, 60)}, "one");
    EXPECT_EQ(song.IncludeDocument(doc), 1);
    EXPECT_TRUE(doc->IsIncluded());
    EXPECT_EQ(song.Settings(0).name, "one");
    EXPECT_EQ(song.IncludeDocument(doc), 1);
    EXPECT_EQ(song.EntryCount(), 1);
    for (int i = 0; i < 45; ++i) song.IncludeDocument(List(1000, {}));
    EXPECT_EQ(song.EntryCount(), kMaxSongEntries);
    ASSERT_FALSE(messages.Shown().empty());
    EXPECT_EQ(messages.Shown().back(), kTooManyEntriesMessage);
    song.RemoveEntry(0);
    EXPECT_FALSE(doc->IsIncluded());
    // A song cannot include a song.
    EXPECT_EQ(song.IncludeDocument(std::make_shared<CSongDoc>()), 0);
}

TEST(SongMerge, RecordingMergesIntoTheFirstArmedEntry) {
    CSongDoc song;
    auto a = List(1000, {Note(0, 60)});
    auto b = List(1000, {});
    auto c = List(1000, {});
    song.IncludeDocument(a);
    song.IncludeDocument(b);
    song.IncludeDocument(c);
    song.ToggleArm(1);
    song.ToggleArm(2);
    song.Settings(1).channel = 5;
    song.Settings(1).startOffset = 1000;
    CEventTree recorded;
    MidiEvent on{1500, 0x90, 64, 100, 0};
    MidiEvent off{2000, 0x80, 64, 0, 0};
    recorded.AppendMidiInput(on, 1500);
    recorded.AppendMidiInput(off, 2000);
    recorded.PairNoteOffs();
    EXPECT_EQ(song.MergeRecorded(recorded), 1);
    EXPECT_EQ(recorded.GetCount(), 0);
    CEventTree& got = b->GetEvents();
    ASSERT_EQ(got.GetCount(), 1);
    SongEvent* e = got.First();
    EXPECT_EQ(got.CurrentTime(), 500u);
    EXPECT_EQ(e->GetDuration(), 500u);
    EXPECT_EQ(e->GetChannel(), 5);
    EXPECT_EQ(c->GetEvents().GetCount(), 0);
    EXPECT_TRUE(b->IsModified());
    // Nothing armed for MIDI: the recording is kept.
    song.ToggleArm(1);
    song.ToggleArm(2);
    recorded.AppendMidiInput(on, 100);
    EXPECT_EQ(song.MergeRecorded(recorded), 0);
    EXPECT_EQ(recorded.GetCount(), 1);
}

class SentNotes : public LiveOutput {
public:
    void QuickOut(CNoteEventList& events) override {
        for (SongEvent* e = events.head; e; e = e->next) sent.push_back(e->GetData1());
    }
    std::vector<int> sent;
};

TEST(SongMerge, LiveInputReachesArmedTrees) {
    CSongDoc song;
    auto tree = std::make_shared<CDendraDoc>();
    tree->OnNewDocument();
    ProtoType* note = ReplaceWith(tree->GetRoot().childOne, "MidiNote");
    ASSERT_NE(note, nullptr);
    note->AlignTimes(0);
    auto other = std::make_shared<CDendraDoc>();
    other->OnNewDocument();
    song.IncludeDocument(tree);
    song.IncludeDocument(other);
    song.ToggleArm(0);
    EXPECT_EQ(song.Entry(0).recordMode, kRecordTree);
    SentNotes out;
    EXPECT_EQ(song.LiveMidiInput(EventMidi(0, 0x90, 64, 100), out), 1);
    EXPECT_FALSE(out.sent.empty());
    song.ToggleArm(0);
    out.sent.clear();
    EXPECT_EQ(song.LiveMidiInput(EventMidi(0, 0x90, 64, 100), out), 0);
    EXPECT_TRUE(out.sent.empty());
}

TEST(SongMerge, LengthCountsOffsetsRatesAndOnePassOfALoop) {
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(3000, 60, 100, 1000)}));
    song.IncludeDocument(List(500, {Note(1000, 60, 100, 0)}));
    song.Settings(1).startOffset = 5000; // ends at beat 7
    EXPECT_EQ(song.GetLength(1), 9u);
    song.Settings(1).loop = 1;
    song.Settings(1).loopLength = 1000;
    EXPECT_EQ(song.GetLength(1), 8u);
    EXPECT_EQ(song.GetLength(0), 8u);
}

TEST(EntrySettingsRules, DeviceIndexOutsideTheTableMeansTheDefault) {
    EXPECT_EQ(ResolveEntryDevice(3, 5), 3);
    EXPECT_EQ(ResolveEntryDevice(5, 5), kDeviceDefault);
    EXPECT_EQ(ResolveEntryDevice(-1, 5), kDeviceDefault);
    EXPECT_EQ(ResolveEntryDevice(kDeviceNone, 0), kDeviceNone);
    EXPECT_EQ(ResolveEntryDevice(kDeviceAllMidi, 0), kDeviceAllMidi);
    EntrySettings s;
    EXPECT_EQ(EntryVolumeController(s), 115); // 0.9 × 127.9
    s.muted = 1;
    EXPECT_EQ(EntryVolumeController(s), 0);
    EXPECT_EQ(EntryPanController(s), 63);
}

} // namespace
