// The event editor: quantize and stretch, range cut and paste with their gaps, the selection, the
// piano-roll edits, and the faults the older editor had (events held that were not owned, a grid
// of zero, an empty stretch, events moved twice or wrapped below time 0, a partial stretch undo).
#include "editing/event_clipboard.h"
#include "editing/event_editor.h"
#include "events/wave_sound.h"
#include "platform/user_messages.h"
#include "tests/editing/event_helpers.h"
#include "tree/random.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace editing;
using namespace edittest;

namespace {

// Selects the event stored at position i of a channel.
void Pick(NoteEditor& ed, int channel, size_t i, SelectMode mode = SelectMode::Add) {
    auto [e, t] = At(*ed.Doc().GetChannelEvents(channel), i);
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(ed.Click(channel, e, t, mode));
}

} // namespace

// Grid 60 at 480 units per beat: 95 goes to 120, 89 to 60, 90 (half way) to the later 120; at
// strength 50 the event at 95 goes half way, to 107, and no further: each event moves once.
TEST(NoteEditor, QuantizeGoesToTheNearerGridLineOnce) {
    auto doc = List(480, {Note(95, 60), Note(89, 62), Note(90, 64), Note(600, 66)});
    NoteEditor ed(*doc);
    ed.ToggleRangeMode();
    ed.SetRange(0, 480);
    QuantizeSettings q;
    ASSERT_TRUE(ed.Quantize(q));
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{60, 120, 120, 600}));
    EXPECT_EQ(doc->History().UndoLabel(), "Quantize");
    ASSERT_TRUE(ed.Undo());

    q.strength = 50;
    ASSERT_TRUE(ed.Quantize(q));
    // 89 → 89 − 29 × 50 / 100 = 75; 90 → 90 + 15 = 105; 95 → 95 + 12 = 107.
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{75, 105, 107, 600}));
}

// A grid that does not divide the beat never pulls an event off the beat line after its last
// grid line; durations go by the notes' ends.
TEST(NoteEditor, QuantizeKeepsBeatLinesAndQuantizesEnds) {
    auto doc = List(480, {Note(479, 60, 100), Note(965, 62, 200)});
    NoteEditor ed(*doc);
    ed.ToggleRangeMode();
    ed.SetRange(0, 2000);
    QuantizeSettings q;
    q.divisor = 7; // grid 68: 476 is the last line before the beat at 480
    ASSERT_TRUE(ed.Quantize(q));
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{480, 960}));
    q.divisor = 4; // grid 120
    q.onsets = false;
    q.durations = true;
    ASSERT_TRUE(ed.Quantize(q));
    // Ends 580 → 600 and 1160 → 1200.
    EXPECT_EQ(Events(doc->GetEvents()),
              (std::vector<Ev>{{480, 0x90, 60, 100, 120}, {960, 0x90, 62, 100, 240}}));
}

TEST(NoteEditor, QuantizeLeavesANoteThatWouldOverlapItsKey) {
    auto doc = List(480, {Note(60, 60, 100), Note(95, 60, 100), Note(100, 62, 10)});
    NoteEditor ed(*doc);
    // Only the second note is quantized: 120 would overlap the first, which sounds to 160.
    Pick(ed, 1, 1, SelectMode::Replace);
    Pick(ed, 1, 2);
    ASSERT_TRUE(ed.Quantize(QuantizeSettings{}));
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{60, 95, 120}));
    // Notes that would only touch the next one of their key may move: 118 goes to 120 and
    // then ends where the next begins.
    auto touching = List(480, {Note(118, 60, 60), Note(180, 60, 10)});
    NoteEditor ed2(*touching);
    Pick(ed2, 1, 0, SelectMode::Replace);
    ASSERT_TRUE(ed2.Quantize(QuantizeSettings{}));
    EXPECT_EQ(Times(touching->GetEvents()), (std::vector<uint32_t>{120, 180}));
}

// A grid of zero units, a divisor of 0 and a strength out of range are refused with a message
// and leave no step.
TEST(NoteEditor, QuantizeRefusesGridsItCannotUse) {
    platform::ScopedRecordingMessages messages;
    auto doc = List(96, {Note(95, 60)});
    NoteEditor ed(*doc);
    ed.ToggleRangeMode();
    ed.SetRange(0, 480);
    QuantizeSettings q;
    q.divisor = 0;
    EXPECT_FALSE(ed.Quantize(q));
    q.divisor = 200; // 96 / 200 = 0
    EXPECT_FALSE(ed.Quantize(q));
    q.divisor = 8;
    q.strength = 101;
    EXPECT_FALSE(ed.Quantize(q));
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{kDivisorMessage, GridTooFineMessage(96),
                                                          kStrengthMessage}));
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{95}));
    EXPECT_FALSE(doc->History().CanUndo());
}

// Random offsets go up to a grid step either way and stop at time 0 rather than wrap.
TEST(NoteEditor, RandomizeNeverWrapsBelowZero) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SeedRandom(seed);
        auto doc = List(480, {Note(0, 60, 10), Note(3, 61, 10), Note(10, 62, 10)});
        NoteEditor ed(*doc);
        ed.ToggleRangeMode();
        ed.SetRange(0, 480);
        QuantizeSettings q;
        q.randomMode = true;
        q.divisor = 2; // up to 240 either way
        q.randomStrength = seed % 2 == 0;
        ed.Quantize(q);
        for (uint32_t t : Times(doc->GetEvents())) EXPECT_LE(t, 250u) << "seed " << seed;
        if (doc->History().CanUndo()) {
            EXPECT_EQ(doc->History().UndoLabel(), "Randomize");
        }
    }
}

// Cut of 1000..2000 moves what follows up by 1000; Paste at 1000 opens the gap again and puts
// the events back; undoing the paste closes the gap, undoing the cut restores the original.
TEST(NoteEditor, RangeCutAndPasteMoveTheMusicAfterTheRange) {
    auto doc =
        List(1000, {Note(500, 60), Note(1000, 61), Note(1500, 62), Note(2000, 63), Note(3000, 64)});
    const auto original = Events(doc->GetEvents());
    NoteEditor ed(*doc);
    ed.ToggleRangeMode();
    ed.SetRange(1000, 2000);
    ASSERT_TRUE(ed.Cut());
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{500, 1000, 2000}));
    EXPECT_EQ(TheEventClipboard().Length(), 1000u);
    ASSERT_EQ(TheEventClipboard().Entries().size(), 2u);
    EXPECT_EQ(TheEventClipboard().Entries()[1].time, 500u);

    ed.SetInsertionPoint(1000);
    ASSERT_TRUE(ed.Paste());
    EXPECT_EQ(Events(doc->GetEvents()), original);
    EXPECT_EQ(ed.RangeStart(), 1000u);
    EXPECT_EQ(ed.RangeEnd(), 2000u);
    EXPECT_EQ(doc->History().UndoLabel(), "Paste");
    ASSERT_TRUE(ed.Undo());
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{500, 1000, 2000}));
    ASSERT_TRUE(ed.Undo());
    EXPECT_EQ(Events(doc->GetEvents()), original);
    EXPECT_FALSE(doc->IsModified());
    ASSERT_TRUE(ed.Redo());
    ASSERT_TRUE(ed.Redo());
    EXPECT_EQ(Events(doc->GetEvents()), original);
    EXPECT_TRUE(doc->IsModified());
}

// With the main frame's toggle on "make silent", a range delete leaves the time in place.
TEST(NoteEditor, DeleteOrMakeSilentFollowsTheToggle) {
    auto doc = List(1000, {Note(500, 60), Note(1500, 62), Note(3000, 64)});
    NoteEditor ed(*doc);
    bool silent = true;
    ed.SetSilenceSource([&] { return silent; });
    ed.ToggleRangeMode();
    ed.SetRange(1000, 2000);
    ASSERT_TRUE(ed.Delete());
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{500, 3000}));
    EXPECT_EQ(doc->History().UndoLabel(), "Make Silent");
    ASSERT_TRUE(ed.Undo());
    silent = false;
    ASSERT_TRUE(ed.Delete());
    EXPECT_EQ(Times(doc->GetEvents()), (std::vector<uint32_t>{500, 2000}));
    EXPECT_EQ(doc->History().UndoLabel(), "Delete");
}

// Stretch of 1000..2000 by 2 puts 1500 at 2000, 3000 at 4000 and the range end at 3000; by
// length the durations scale too. Undo gives back every track exactly, the gap included.
TEST(NoteEditor, StretchAndItsUndoCoverTheWholeTracks) {
    auto doc = Midi(2, 1000);
    doc->GetChannelEvents(1)->Add(Note(500, 60, 300));
    doc->GetChannelEvents(1)->Add(Note(1500, 61, 300));
    doc->GetChannelEvents(1)->Add(Note(3000, 62, 300));
    doc->GetChannelEvents(2)->Add(Note(1999, 63, 1));
    doc->GetChannelEvents(2)->Add(Note(2000, 64, 50));
    const auto original = StoredBytes(*doc);
    NoteEditor ed(*doc);
    ed.ToggleRangeMode();
    ed.SetRange(1000, 2000);
    ASSERT_TRUE(ed.Stretch(StretchSettings{}));
    EXPECT_EQ(Events(*doc->GetChannelEvents(1)), (std::vector<Ev>{{500, 0x90, 60, 100, 300},
                                                                  {2000, 0x90, 61, 100, 600},
                                                                  {4000, 0x90, 62, 100, 300}}));
    EXPECT_EQ(Times(*doc->GetChannelEvents(2)), (std::vector<uint32_t>{2998, 3000}));
    EXPECT_EQ(ed.RangeEnd(), 3000u);
    ASSERT_TRUE(ed.Undo());
    EXPECT_EQ(StoredBytes(*doc), original);

    // Contracting by length: the music after the range moves up.
    ed.SetRange(1000, 2000);
    StretchSettings st;
    st.byLength = true;
    st.newLength = 250;
    ASSERT_TRUE(ed.Stretch(st));
    EXPECT_EQ(Events(*doc->GetChannelEvents(1)), (std::vector<Ev>{{500, 0x90, 60, 100, 300},
                                                                  {1125, 0x90, 61, 100, 75},
                                                                  {2250, 0x90, 62, 100, 300}}));
    ASSERT_TRUE(ed.Undo());
    EXPECT_EQ(StoredBytes(*doc), original);
}

TEST(NoteEditor, StretchRefusesAnEmptyRangeAndBadFactors) {
    platform::ScopedRecordingMessages messages;
    auto doc = List(1000, {Note(500, 60)});
    NoteEditor ed(*doc);
    EXPECT_FALSE(ed.CanStretch());
    EXPECT_FALSE(ed.Stretch(StretchSettings{}));
    ed.ToggleRangeMode();
    ed.SetRange(700, 700);
    EXPECT_FALSE(ed.Stretch(StretchSettings{}));
    ed.SetRange(0, 1000);
    StretchSettings st;
    st.factor = 0;
    EXPECT_FALSE(ed.Stretch(st));
    st.factor = std::nan("");
    EXPECT_FALSE(ed.Stretch(st));
    st.factor = 0.0001; // shorter than a unit
    EXPECT_FALSE(ed.Stretch(st));
    st.byLength = true;
    st.newLength = 0;
    EXPECT_FALSE(ed.Stretch(st));
    EXPECT_EQ(messages.Shown(),
              (std::vector<std::string>{kStretchRangeMessage, kStretchRangeMessage,
                                        kStretchFactorMessage, kStretchFactorMessage,
                                        kStretchLengthMessage, kStretchLengthMessage}));
    EXPECT_FALSE(doc->History().CanUndo());
}

// The clipboard and the undo steps own what they hold: the events survive their document,
// a range cut whose gap closing would have destroyed them, and the steps being forgotten.
TEST(NoteEditor, ClipboardAndUndoOwnWhatTheyHold) {
    auto target = List(1000, {});
    {
        auto doc = List(1000, {Note(1200, 60, 50), Note(1700, 61, 50), Note(2500, 62)});
        NoteEditor ed(*doc);
        ed.ToggleRangeMode();
        ed.SetRange(1000, 2000);
        ASSERT_TRUE(ed.Cut());
        ASSERT_TRUE(ed.Undo());
        ASSERT_TRUE(ed.Redo());
        doc->History().Clear(); // the cut events leave with the step
    }
    NoteEditor ed(*target);
    ed.SetInsertionPoint(100);
    ASSERT_TRUE(ed.Paste());
    EXPECT_EQ(Events(target->GetEvents()),
              (std::vector<Ev>{{300, 0x90, 60, 100, 50}, {800, 0x90, 61, 100, 50}}));
}

namespace {

// A sound that counts its copies, to see that the clipboard copies a wave's sound.
struct CountedSound : WaveSound {
    static int alive;
    CountedSound() { ++alive; }
    ~CountedSound() override { --alive; }
    void Close() override {}
    uint32_t Read(WaveInfo&, void*, uint32_t) override { return 0; }
    uint32_t Write(WaveInfo&, const void*, uint32_t) override { return 0; }
    bool SeekBytes(WaveInfo&, uint32_t) override { return true; }
    uint32_t TellBytes() const override { return 0; }
    uint32_t DataLength() const override { return 4; }
    WaveSound* Copy(WaveInfo&) const override { return new CountedSound; }
    bool SetFormat(WaveInfo&, const WAVEFORMATEX&, bool) override { return false; }
    void Serialize(CArchive&, WaveInfo&) override {}
};
int CountedSound::alive = 0;

} // namespace

TEST(NoteEditor, ACopiedWaveKeepsASoundOfItsOwn) {
    auto target = List(1000, {});
    {
        auto* wave = new EventWave;
        wave->time = 100;
        wave->flags = kWavePlaybackCopy | kWaveOwnsSound;
        wave->sound = new CountedSound;
        wave->SetName("drum.wav");
        auto doc = List(1000, {wave});
        NoteEditor ed(*doc);
        Pick(ed, 1, 0, SelectMode::Replace);
        ASSERT_TRUE(ed.Copy());
        EXPECT_EQ(CountedSound::alive, 2);
    } // the document and its sound are gone
    EXPECT_EQ(CountedSound::alive, 1);
    NoteEditor ed(*target);
    ed.SetInsertionPoint(40);
    ASSERT_TRUE(ed.Paste());
    auto [e, t] = At(target->GetEvents(), 0);
    ASSERT_TRUE(e && e->IsWave());
    EXPECT_EQ(t, 40u);
    EXPECT_NE(static_cast<EventWave*>(e)->sound, nullptr);
    EXPECT_EQ(static_cast<EventWave*>(e)->Name(), "drum.wav");
    EXPECT_EQ(CountedSound::alive, 2);
    TheEventClipboard().Clear();
    EXPECT_EQ(CountedSound::alive, 1);
}

// Paste converts the times of another units per beat; a clipboard of one channel goes into the
// current channel, one of several channels into their own.
TEST(NoteEditor, PasteConvertsUnitsAndChoosesChannels) {
    auto src = Midi(3, 480);
    src->GetChannelEvents(2)->Add(Note(240, 60, 480));
    src->GetChannelEvents(3)->Add(Note(480, 62, 120));
    NoteEditor from(*src);
    Pick(from, 2, 0, SelectMode::Replace);
    ASSERT_TRUE(from.Copy());

    auto dst = Midi(3, 1000);
    dst->SetCurrentChannel(3);
    NoteEditor to(*dst);
    to.SetInsertionPoint(100);
    ASSERT_TRUE(to.Paste());
    EXPECT_EQ(Events(*dst->GetChannelEvents(3)), (std::vector<Ev>{{100, 0x90, 60, 100, 1000}}));
    ASSERT_EQ(to.Selection().size(), 1u) << "the pasted events are selected";
    EXPECT_EQ(to.Selection()[0].channel, 3);

    from.ToggleRangeMode();
    from.SetRange(0, 960); // two beats of two channels
    ASSERT_TRUE(from.Copy());
    to.ToggleRangeMode();
    to.SetInsertionPoint(0);
    ASSERT_TRUE(to.Paste());
    EXPECT_EQ(Times(*dst->GetChannelEvents(1)), std::vector<uint32_t>{});
    EXPECT_EQ(Times(*dst->GetChannelEvents(2)), (std::vector<uint32_t>{500}));
    // Channel 3's note moved on by the two beats the range opened.
    EXPECT_EQ(Events(*dst->GetChannelEvents(3)),
              (std::vector<Ev>{{1000, 0x90, 62, 100, 250}, {2100, 0x90, 60, 100, 1000}}));
    EXPECT_EQ(to.RangeEnd(), 2000u);
}

// Clicks, toggles and the rubber band; a step undone from the Edit menu selects what it
// restored, and the selection never keeps an event the document no longer holds.
TEST(NoteEditor, SelectionFollowsTheDocument) {
    auto doc = List(1000, {Note(0, 60, 500), Note(100, 72), Note(400, 64, 100), Note(900, 65)});
    NoteEditor ed(*doc);
    int changes = 0;
    ed.SetListener([&] { ++changes; });
    Pick(ed, 1, 0, SelectMode::Replace);
    Pick(ed, 1, 2, SelectMode::Add);
    Pick(ed, 1, 0, SelectMode::Toggle);
    ASSERT_EQ(ed.Selection().size(), 1u);
    EXPECT_EQ(ed.Selection()[0].time, 400u);
    EXPECT_GE(changes, 3);
    // The band 300..450 over keys 60..64: the long note from 0 and the note at 400.
    ed.SelectRect(450, 300, 64, 60, SelectMode::Replace);
    ASSERT_EQ(ed.Selection().size(), 2u);
    EXPECT_EQ(ed.Selection()[0].time, 0u);
    EXPECT_EQ(ed.Selection()[1].time, 400u);
    auto hit = ed.NoteAt(1, 450, 64);
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->time, 400u);
    EXPECT_FALSE(ed.NoteAt(1, 500, 64).has_value());

    // Held at time 0 (the first note is there already) and at key 127.
    ASSERT_TRUE(ed.MoveSelection(-1000, 70));
    EXPECT_EQ(Events(doc->GetEvents()), (std::vector<Ev>{{0, 0x90, 123, 100, 500},
                                                         {100, 0x90, 72, 100, 100},
                                                         {400, 0x90, 127, 100, 100},
                                                         {900, 0x90, 65, 100, 100}}));
    ASSERT_EQ(ed.Selection().size(), 2u);
    ASSERT_TRUE(doc->History().Undo()); // from the Edit menu
    ASSERT_EQ(ed.Selection().size(), 2u);
    EXPECT_EQ(ed.Selection()[1].time, 400u);
    EXPECT_EQ(ed.Selection()[1].event->GetData1(), 64);
    Pick(ed, 1, 3, SelectMode::Replace);
    ASSERT_TRUE(ed.MoveSelection(-1000, 0)); // to 0, after the note there
    EXPECT_EQ(Events(doc->GetEvents())[1], Ev(0, 0x90, 65, 100, 100));
    EXPECT_FALSE(ed.MoveSelection(-5, 0));

    // A selected note inserted and then undone leaves the selection.
    ASSERT_TRUE(ed.InsertNote(1, 700, 50, 100, 90, 2));
    ASSERT_EQ(ed.Selection().size(), 1u);
    EXPECT_EQ(ed.Selection()[0].time, 700u);
    ASSERT_TRUE(doc->History().Undo());
    EXPECT_TRUE(ed.Selection().empty());
    ASSERT_TRUE(doc->History().Redo());
    ASSERT_EQ(ed.Selection().size(), 1u);
    EXPECT_EQ(Events(doc->GetEvents())[4], Ev(700, 0x92, 50, 90, 100));
}

// Edits of one event keep their order among events of the same time and are checked.
TEST(NoteEditor, EditEventChecksItsFields) {
    platform::ScopedRecordingMessages messages;
    auto doc = List(1000, {Note(100, 60), Control(100, 7, 90), Tempo(0, 500000)});
    NoteEditor ed(*doc);
    auto [note, nt] = At(doc->GetEvents(), 1);
    EventChange c;
    c.data2 = 0;
    EXPECT_FALSE(ed.EditEvent({1, note, nt}, c));
    c = {};
    c.channel = 16;
    EXPECT_FALSE(ed.EditEvent({1, note, nt}, c));
    c = {};
    c.data1 = 128;
    EXPECT_FALSE(ed.EditEvent({1, note, nt}, c));
    EXPECT_EQ(messages.Shown(),
              (std::vector<std::string>{kVelocityMessage, kChannelMessage, kDataByteMessage}));
    c = {};
    c.channel = 9;
    c.data2 = 1;
    c.duration = 30;
    ASSERT_TRUE(ed.EditEvent({1, note, nt}, c));
    // Changing nothing else, the note stays before the controller of its time.
    EXPECT_EQ(Events(doc->GetEvents())[1], Ev(100, 0x99, 60, 1, 30));
    c = {};
    c.time = 0;
    ASSERT_TRUE(ed.EditEvent({1, note, 100}, c));
    EXPECT_EQ(Events(doc->GetEvents())[1], Ev(0, 0x99, 60, 1, 30));

    auto [tempo, tt] = At(doc->GetEvents(), 0);
    c = {};
    c.tempo = 0x123456;
    ASSERT_TRUE(ed.EditEvent({1, tempo, tt}, c));
    EXPECT_EQ(static_cast<EventMidi*>(tempo)->ShortMessage(), 0x56341200u);
    c.tempo = 0;
    EXPECT_FALSE(ed.EditEvent({1, tempo, tt}, c));
    EXPECT_EQ(messages.Shown().back(), kTempoMessage);
    EXPECT_EQ(doc->History().Count(), 3u);
    while (ed.Undo()) {
    }
    EXPECT_EQ(
        Events(doc->GetEvents()),
        (std::vector<Ev>{{0, 0, 7, 161, 0}, {100, 0x90, 60, 100, 100}, {100, 0xB0, 7, 90, 0}}));
}

// A system-exclusive message is replaced fragment by fragment in place.
TEST(NoteEditor, SysexBytesAreReplacedInPlace) {
    auto doc = List(1000, {Note(50, 60), new EventMidi(50, 0xF0, 0xF0, 0),
                           new EventMidi(50, 0xF0, 0x43, 0), new EventMidi(50, 0xF0, 0xF7, 0),
                           Control(50, 1, 2)});
    const auto original = Events(doc->GetEvents());
    NoteEditor ed(*doc);
    auto [start, t] = At(doc->GetEvents(), 1);
    ASSERT_TRUE(ed.SetSysexBytes({1, start, t}, {0x41, 0x10, 0x42}));
    std::vector<int> d1;
    for (const Ev& e : Events(doc->GetEvents())) d1.push_back(std::get<2>(e));
    EXPECT_EQ(d1, (std::vector<int>{60, 0xF0, 0x41, 0x10, 0x42, 0xF7, 1}));
    ASSERT_TRUE(ed.Undo());
    EXPECT_EQ(Events(doc->GetEvents()), original);
}

// Move to another track, change of units per beat (undone without rounding), removal of the
// tempo changes and the search for the next event that is not a note.
TEST(NoteEditor, TrackAndDocumentCommands) {
    auto doc = Midi(2, 480);
    CEventTree& one = *doc->GetChannelEvents(1);
    one.Add(Tempo(0, 500000));
    one.Add(Note(0, 60, 7));
    one.Add(Note(1, 61, 5));
    one.Add(Control(2, 7, 100));
    one.Add(Tempo(700, 400000));
    const auto original = StoredBytes(*doc);
    NoteEditor ed(*doc);

    auto next = ed.FindNextNonNote(1, nullptr, 0);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->time, 0u); // the tempo event
    next = ed.FindNextNonNote(1, next->event, next->time);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->time, 2u); // past the two notes
    next = ed.FindNextNonNote(1, next->event, next->time);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->time, 700u);
    EXPECT_FALSE(ed.FindNextNonNote(1, next->event, next->time).has_value());

    Pick(ed, 1, 1, SelectMode::Replace);
    Pick(ed, 1, 2);
    ASSERT_TRUE(ed.ApplySelectionParameters(5, 10, 2));
    EXPECT_EQ(Events(*doc->GetChannelEvents(2)),
              (std::vector<Ev>{{0, 0x90, 60, 100, 7}, {1, 0x90, 61, 100, 5}}));
    EXPECT_EQ(ed.RangeStart(), 5u);
    EXPECT_TRUE(ed.Selection().empty());

    ASSERT_TRUE(ed.RemoveTempoChanges());
    EXPECT_EQ(Times(one), (std::vector<uint32_t>{2}));
    EXPECT_EQ(doc->History().UndoLabel(), "Remove Tempo Changes");

    platform::ScopedRecordingMessages messages;
    EXPECT_FALSE(ed.ChangeUnitsPerBeat(40000));
    EXPECT_EQ(messages.Shown().back(), UnitsRangeMessage(32767));
    ASSERT_TRUE(ed.ChangeUnitsPerBeat(96));
    EXPECT_EQ(doc->GetTicksPerBeat(kUnitsPerBeat), 96u);
    EXPECT_EQ(doc->GetTicksPerBeat(kPlayResolution), 96u);
    EXPECT_EQ(Events(*doc->GetChannelEvents(2)),
              (std::vector<Ev>{{0, 0x90, 60, 100, 1}, {0, 0x90, 61, 100, 1}}));
    while (ed.Undo()) {
    }
    EXPECT_EQ(StoredBytes(*doc), original);
    EXPECT_FALSE(doc->IsModified());
    while (ed.Redo()) {
    }
    EXPECT_EQ(doc->GetTicksPerBeat(kUnitsPerBeat), 96u);
    EXPECT_EQ(Times(*doc->GetChannelEvents(1)), (std::vector<uint32_t>{0}));
}

// A step whose events were changed behind the stack's back refuses to undo and changes nothing.
TEST(NoteEditor, UndoRefusesWhenTheDocumentChangedOutsideTheStack) {
    auto doc = List(1000, {Note(100, 60), Note(200, 62), Note(300, 64)});
    NoteEditor ed(*doc);
    Pick(ed, 1, 1, SelectMode::Replace);
    ASSERT_TRUE(ed.MoveSelection(50, 0));
    auto [moved, t] = At(doc->GetEvents(), 1);
    ASSERT_EQ(t, 250u);
    doc->GetEvents().Remove(moved); // not through a step
    doc->UpdateAllViews(nullptr);
    EXPECT_TRUE(ed.Selection().empty());
    const auto now = Events(doc->GetEvents());
    EXPECT_FALSE(ed.Undo());
    EXPECT_EQ(Events(doc->GetEvents()), now);
}

// Editing a Word's events: after the Word's editor is detached the steps refuse to undo instead
// of reaching into a store the document no longer edits.
TEST(NoteEditor, StepsOfADetachedWordEditorRefuse) {
    EventEditorLink link;
    CEventTree word;
    word.Add(Note(10, 60));
    std::unique_ptr<CSELDoc> doc = ToggleLinkedEditor(link, word, "word");
    ASSERT_NE(doc, nullptr);
    {
        NoteEditor ed(*doc);
        Pick(ed, 1, 0, SelectMode::Replace);
        ASSERT_TRUE(ed.Delete());
        EXPECT_EQ(word.GetCount(), 0);
        doc->OnCloseDocument();
        EXPECT_FALSE(ed.Undo());
    }
    EXPECT_EQ(word.GetCount(), 0);
}
