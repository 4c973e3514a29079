// The song window's rows: each control's rule, what it sends, and undo and redo of every edit.
#include "editing/song_rows.h"

#include "documents/event_list_document.h"
#include "documents/midi_document.h"
#include "documents/wave_document.h"
#include "events/archive.h"
#include "events/names.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "tests/common/test_util.h"
#include "tests/song/loopback_devices.h"
#include "tests/song/song_helpers.h"

#include <gtest/gtest.h>

#include <memory>

using namespace songtest;
using editing::CellKind;
using editing::EntryCommand;
using editing::SongColumn;
using editing::SongRows;

namespace {

// Loopback devices that name their open outputs as the program's device table does.
struct NamedDevices : playtest::LoopbackDevices {
    explicit NamedDevices(platform::Window window) : LoopbackDevices(window, {.outputs = 2}) {}
    std::vector<PlayPort> OpenMidiOutPorts() override {
        return {{number[0], "Loopback Out 0"}, {number[1], "Loopback Out 1"}};
    }
};

std::vector<uint32_t> Sent(int port) {
    return dsync::Loopback().Output(port).ShortMessages();
}

void ClearPorts() {
    dsync::Loopback().Output(0).Clear();
    dsync::Loopback().Output(1).Clear();
}

uint32_t Short(uint8_t status, uint8_t d1, uint8_t d2 = 0) {
    return uint32_t(status) | uint32_t(d1) << 8 | uint32_t(d2) << 16;
}

std::vector<uint8_t> Stored(CSongDoc& song) {
    CArchive ar;
    song.WriteDocument(ar);
    return ar.Buffer();
}

class SongRowsTest : public ::testing::Test {
protected:
    SongRowsTest() {
        song.OnNewDocument();
        song.SetTitle("Tune");
        first = List(1000, {Note(0, 60, 100, 500, 3), Note(1000, 62, 100, 500, 5)}, "first");
        first->SetPathName("/music/first.sel");
        song.IncludeDocument(first);
        song.IncludeDocument(List(1000, {Note(0, 40)}, "second"));
        song.History().Clear();
        song.SetModifiedFlag(false);
        engine.SetDevices(&dev);
        engine.SetSong(&song);
        ClearPorts();
    }

    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    NamedDevices dev{engine.Window()};
    CSongDoc song;
    std::shared_ptr<CSELDoc> first;
    editing::FrameSettings settings;
    SongRows rows{song, &engine, settings};
};

} // namespace

// Speed is held to 0.01..100 and the entries' scales follow; an edit that changes nothing makes
// no step; text that is no number is refused with a message.
TEST_F(SongRowsTest, SpeedIsHeldAndTheScalesFollowThroughUndoAndRedo) {
    song.Prepare();
    ASSERT_TRUE(rows.SetSpeed(0, 0));
    EXPECT_FLOAT_EQ(song.Settings(0).rate, 0.01f);
    EXPECT_NEAR(song.Settings(0).scale, 0.01, 1e-6);
    EXPECT_EQ(song.History().UndoLabel(), "Speed");
    EXPECT_TRUE(song.IsModified());
    ASSERT_TRUE(rows.EditText(0, SongColumn::kSpeed, "250"));
    EXPECT_FLOAT_EQ(song.Settings(0).rate, 100.0f);
    EXPECT_EQ(rows.Cell(0, SongColumn::kSpeed).text, "100");
    EXPECT_EQ(song.History().Count(), 2u);
    EXPECT_TRUE(rows.SetSpeed(0, 400)); // held to 100 again: nothing changes, no step
    EXPECT_EQ(song.History().Count(), 2u);

    EXPECT_FALSE(rows.EditText(0, SongColumn::kSpeed, "fast"));
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{SongRows::kNotANumberMessage});
    EXPECT_EQ(song.History().Count(), 2u);

    ASSERT_TRUE(song.History().Undo());
    EXPECT_FLOAT_EQ(song.Settings(0).rate, 0.01f);
    ASSERT_TRUE(song.History().Undo());
    EXPECT_FLOAT_EQ(song.Settings(0).rate, 1.0f);
    EXPECT_NEAR(song.Settings(0).scale, 1.0, 1e-9);
    EXPECT_FALSE(song.IsModified());
    ASSERT_TRUE(song.History().Redo());
    ASSERT_TRUE(song.History().Redo());
    EXPECT_FLOAT_EQ(song.Settings(0).rate, 100.0f);
    EXPECT_NEAR(song.Settings(0).scale, 100.0, 1e-6);
}

// Start time at most 900 beats, duration 10 to 900000 units, both shown in the frame's style.
TEST_F(SongRowsTest, TimesAreHeldAndShownInBothStyles) {
    ASSERT_TRUE(rows.EditText(0, SongColumn::kStartTime, "950"));
    EXPECT_EQ(song.Settings(0).startOffset, 900000u);
    EXPECT_EQ(rows.Cell(0, SongColumn::kStartTime).text, "900.000");
    settings.SetFloatingPointTimes(false);
    EXPECT_EQ(rows.Cell(0, SongColumn::kStartTime).text, "900:0");
    ASSERT_TRUE(rows.SetStartTime(0, "2:500"));
    EXPECT_EQ(song.Settings(0).startOffset, 2500u);
    EXPECT_EQ(rows.Cell(0, SongColumn::kStartTime).text, "2:500");
    // Typed in the other style, a time still means what it says.
    ASSERT_TRUE(rows.SetStartTime(0, "2.05"));
    EXPECT_EQ(song.Settings(0).startOffset, 2050u);
    EXPECT_EQ(rows.Cell(0, SongColumn::kStartTime).text, "2:50");
    settings.SetFloatingPointTimes(true);
    EXPECT_EQ(rows.Cell(0, SongColumn::kStartTime).text, "2.050");

    EXPECT_EQ(rows.Cell(0, SongColumn::kDuration).text, "100000.000"); // the default loop length
    ASSERT_TRUE(rows.SetDuration(0, "0:5"));
    EXPECT_EQ(song.Settings(0).loopLength, 10u);
    ASSERT_TRUE(rows.SetDuration(0, "99999999999999999999"));
    EXPECT_EQ(song.Settings(0).loopLength, 900000u);
    EXPECT_EQ(song.History().UndoLabel(), "Duration");

    EXPECT_FALSE(rows.SetDuration(0, "-3"));
    EXPECT_FALSE(rows.SetStartTime(0, "soon"));
    EXPECT_EQ(messages.Shown().size(), 2u);
    EXPECT_EQ(messages.Shown()[0], SongRows::kNotATimeMessage);
    EXPECT_EQ(song.Settings(0).loopLength, 900000u);

    while (song.History().CanUndo()) ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(song.Settings(0).startOffset, 0u);
    EXPECT_EQ(song.Settings(0).loopLength, kDefaultLoopLength);
}

// The channel column sets every channel message of the entry's store; Undo gives each message
// its own channel back.
TEST_F(SongRowsTest, ChannelSetsEveryMessageAndUndoGivesEachItsOwnBack) {
    CEventTree& store = first->GetEvents();
    store.Add(new EventMidi(500, 0xB7, 7, 90));
    store.Add(new EventMidi(600, 0x84, 60, 0));
    auto channels = [&] {
        std::vector<int> v;
        for (SongEvent* e = store.First(); e; e = store.Next()) v.push_back(e->GetChannel());
        return v;
    };
    const std::vector<int> before = channels();
    ASSERT_EQ(before, (std::vector<int>{3, 7, 4, 5}));
    ASSERT_TRUE(rows.EditText(0, SongColumn::kChannel, "1"));
    EXPECT_EQ(song.Settings(0).channel, 0);
    EXPECT_EQ(channels(), (std::vector<int>{0, 0, 0, 0}));
    for (SongEvent* e = store.First(); e; e = store.Next())
        EXPECT_TRUE((static_cast<EventMidi*>(e)->status & 0x0F) == 0);
    EXPECT_EQ(song.History().UndoLabel(), "Channel");
    EXPECT_EQ(rows.Cell(0, SongColumn::kChannel).text, "1");

    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(channels(), before);
    EXPECT_EQ(song.Settings(0).channel, 0); // the entry's own channel was 0 before, too
    ASSERT_TRUE(song.History().Redo());
    EXPECT_EQ(channels(), (std::vector<int>{0, 0, 0, 0}));

    // Held to 1..16; a fraction is refused.
    ASSERT_TRUE(rows.EditText(0, SongColumn::kChannel, "40"));
    EXPECT_EQ(song.Settings(0).channel, 15);
    EXPECT_FALSE(rows.EditText(0, SongColumn::kChannel, "1.5"));
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{SongRows::kNotAnIntegerMessage});

    // The document was edited after the change: Undo can no longer tell each message's channel
    // and gives them all the earlier one.
    store.Add(new EventMidi(700, 0x9F, 64, 80, 10));
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(channels(), (std::vector<int>{0, 0, 0, 0, 0}));
}

// Muting sends controller 7 (and 39) at 0 on the entry's channel to the entry's device; Unmute
// sends the level again; Undo and Redo send the same way.
TEST_F(SongRowsTest, MuteAndUnmuteSendTheLevelOnTheEntrysChannelAndDevice) {
    song.Settings(0).channel = 2;
    song.Settings(0).device = int32_t(dev.number[1]);
    ASSERT_TRUE(rows.Toggle(0, SongColumn::kMute));
    EXPECT_EQ(song.Settings(0).muted, 1);
    EXPECT_TRUE(rows.Cell(0, SongColumn::kMute).checked);
    EXPECT_EQ(song.History().UndoLabel(), "Mute");
    EXPECT_EQ(Sent(1), (std::vector<uint32_t>{Short(0xB2, 7, 0), Short(0xB2, 39, 0)}));
    EXPECT_TRUE(Sent(0).empty());

    ClearPorts();
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(song.Settings(0).muted, 0);
    EXPECT_EQ(Sent(1), (std::vector<uint32_t>{Short(0xB2, 7, 115), Short(0xB2, 39, 115)}));
    ClearPorts();
    ASSERT_TRUE(song.History().Redo());
    EXPECT_EQ(Sent(1), (std::vector<uint32_t>{Short(0xB2, 7, 0), Short(0xB2, 39, 0)}));

    // A device that is not open: where the entry's events go, the default output.
    ClearPorts();
    song.Settings(1).device = 57;
    ASSERT_TRUE(rows.SetMuted(1, true));
    EXPECT_EQ(Sent(0), (std::vector<uint32_t>{Short(0xB0, 7, 0), Short(0xB0, 39, 0)}));
    ASSERT_TRUE(rows.SetMuted(1, false));
    EXPECT_EQ(song.History().UndoLabel(), "Unmute");
    // Device 100 drops its events, and sends nothing either.
    ClearPorts();
    song.Settings(1).device = kDeviceNone;
    ASSERT_TRUE(rows.SetMuted(1, true));
    EXPECT_TRUE(Sent(0).empty());
    EXPECT_TRUE(Sent(1).empty());
}

// Level, pan and patch: their fields, their ranges and what each sends.
TEST_F(SongRowsTest, LevelPanAndPatchChangeTheirFieldsAndSend) {
    ASSERT_TRUE(rows.EditText(0, SongColumn::kVolume, "5"));
    EXPECT_FLOAT_EQ(song.Settings(0).volume, 0.5f);
    EXPECT_FLOAT_EQ(song.Settings(0).waveVolume, 0.9f);
    EXPECT_EQ(Sent(0), (std::vector<uint32_t>{Short(0xB0, 7, 63), Short(0xB0, 39, 63)}));
    EXPECT_EQ(rows.Cell(0, SongColumn::kVolume).spin, 500);
    // The wave volume when the volume type says so; the number is held to 0..100.
    rows.SetVolumeType(editing::VolumeType::kWave);
    EXPECT_EQ(rows.Cell(0, SongColumn::kVolume).text, "9");
    ASSERT_TRUE(rows.SetVolume(0, 1000));
    EXPECT_FLOAT_EQ(song.Settings(0).waveVolume, 10.0f);
    EXPECT_FLOAT_EQ(song.Settings(0).volume, 0.5f);
    ASSERT_TRUE(rows.SetVolumeSpin(0, 2500));
    EXPECT_FLOAT_EQ(song.Settings(0).waveVolume, 2.5f);

    ClearPorts();
    ASSERT_TRUE(rows.EditText(0, SongColumn::kPan, "2.5"));
    EXPECT_FLOAT_EQ(song.Settings(0).pan, 0.25f);
    EXPECT_EQ(Sent(0), (std::vector<uint32_t>{Short(0xB0, 10, 31)}));
    ASSERT_TRUE(rows.SetPan(0, -4));
    EXPECT_FLOAT_EQ(song.Settings(0).pan, 0.0f);

    ClearPorts();
    ASSERT_TRUE(rows.Choose(0, SongColumn::kPatch, 40));
    EXPECT_EQ(song.Settings(0).program, 40);
    EXPECT_EQ(Sent(0), (std::vector<uint32_t>{Short(0xC0, 40)}));
    const editing::SongCell patch = rows.Cell(0, SongColumn::kPatch);
    EXPECT_EQ(patch.choices.size(), size_t(kInstrumentCount));
    EXPECT_EQ(patch.text, InstrumentName(40));
    EXPECT_FALSE(rows.Choose(0, SongColumn::kPatch, 128));
    ClearPorts();
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(song.Settings(0).program, 0);
    EXPECT_EQ(Sent(0), (std::vector<uint32_t>{Short(0xC0, 0)}));

    // Pitch, loop and name are fields only.
    ASSERT_TRUE(rows.EditText(1, SongColumn::kPitch, "-300"));
    EXPECT_EQ(song.Settings(1).transpose, -SongRows::kMaxTranspose);
    ASSERT_TRUE(rows.Toggle(1, SongColumn::kLoop));
    EXPECT_EQ(song.Settings(1).loop, 1);
    ASSERT_TRUE(rows.EditText(1, SongColumn::kName, "Bass"));
    EXPECT_EQ(rows.Cell(1, SongColumn::kName).text, "Bass");
    EXPECT_EQ(song.History().UndoLabel(), "Rename");
}

// The destination is one of the open MIDI outputs, stored as its device number.
TEST_F(SongRowsTest, DestinationIsChosenAmongTheOpenOutputs) {
    editing::SongCell cell = rows.Cell(0, SongColumn::kDestination);
    EXPECT_EQ(cell.kind, CellKind::kChoice);
    EXPECT_EQ(cell.choices, (std::vector<std::string>{"Loopback Out 0", "Loopback Out 1"}));
    EXPECT_EQ(cell.choice, -1); // the default output is none of them
    ASSERT_TRUE(rows.Choose(0, SongColumn::kDestination, 1));
    EXPECT_EQ(song.Settings(0).device, int32_t(dev.number[1]));
    cell = rows.Cell(0, SongColumn::kDestination);
    EXPECT_EQ(cell.choice, 1);
    EXPECT_EQ(cell.text, "Loopback Out 1");
    EXPECT_FALSE(rows.Choose(0, SongColumn::kDestination, 2));
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(song.Settings(0).device, kDeviceDefault);
}

// The record arm follows the document's kind; the check shows any mode.
TEST_F(SongRowsTest, ArmTogglesByKindAndUndoes) {
    ASSERT_TRUE(rows.Toggle(0, SongColumn::kRec));
    EXPECT_EQ(song.Entry(0).recordMode, kRecordMidi);
    EXPECT_TRUE(rows.Cell(0, SongColumn::kRec).checked);
    ASSERT_TRUE(rows.ToggleArm(0));
    EXPECT_EQ(song.Entry(0).recordMode, kRecordOff);
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(song.Entry(0).recordMode, kRecordMidi);
}

// An entry removed outside the stack (a document included again, a new song) takes its steps
// with it: they fail rather than change the entry made in its place, whatever its address.
TEST_F(SongRowsTest, StepsOfAnEntryRemovedElsewhereTouchNoOtherEntry) {
    ASSERT_TRUE(rows.SetMuted(1, true));
    song.RemoveEntry(1);
    song.IncludeDocument(List(1000, {Note(0, 50)}, "third"));
    ASSERT_EQ(song.EntryCount(), 2);
    song.Settings(1).muted = 1;
    EXPECT_FALSE(song.History().Undo());
    EXPECT_EQ(song.Settings(1).muted, 1);
}

// The entry menu: Contain and Un-Include for a referenced document, Display and Delete(!) for a
// contained one; removals and Contain undo to exactly the song they began with.
TEST_F(SongRowsTest, EntryMenuCommandsUndoToTheSameSong) {
    const std::vector<uint8_t> original = Stored(song);
    auto menu = rows.EntryMenu(0);
    ASSERT_EQ(menu.size(), 2u);
    EXPECT_EQ(menu[0].label, "Contain");
    EXPECT_EQ(menu[1].label, "Un-Include");

    ASSERT_TRUE(rows.Run(0, EntryCommand::kUnInclude));
    EXPECT_EQ(song.EntryCount(), 1);
    EXPECT_FALSE(first->IsIncluded());
    EXPECT_EQ(song.History().UndoLabel(), "Un-Include");
    ASSERT_TRUE(song.History().Undo());
    ASSERT_EQ(song.EntryCount(), 2);
    EXPECT_EQ(song.Entry(0).document, first);
    EXPECT_TRUE(first->IsIncluded());
    EXPECT_EQ(Stored(song), original);

    ASSERT_TRUE(rows.Run(0, EntryCommand::kContain));
    EXPECT_TRUE(song.Entry(0).contained);
    EXPECT_EQ(song.Settings(0).sourcePath, kContainedPath);
    EXPECT_EQ(rows.EntryMenu(0)[1].label, "Delete(!)");
    const std::vector<uint8_t> contained = Stored(song);

    // Delete(!) asks first; No leaves the entry.
    messages.QueueAnswer(platform::Answer::No);
    EXPECT_FALSE(rows.Run(0, EntryCommand::kDelete));
    EXPECT_EQ(messages.Asked(), std::vector<std::string>{SongRows::kDeleteContainedQuestion});
    EXPECT_EQ(song.EntryCount(), 2);
    messages.QueueAnswer(platform::Answer::Yes);
    ASSERT_TRUE(rows.Run(0, EntryCommand::kDelete));
    EXPECT_EQ(song.EntryCount(), 1);
    EXPECT_EQ(song.History().UndoLabel(), "Delete Entry");

    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(Stored(song), contained);
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(Stored(song), original);
    EXPECT_EQ(song.Settings(0).sourcePath, "/music/first.sel");
    ASSERT_TRUE(song.History().Redo());
    ASSERT_TRUE(song.History().Redo());
    EXPECT_EQ(song.EntryCount(), 1);
    EXPECT_EQ(song.Entry(0).document->GetTitle(), "second");
}

// A MIDI channel is contained as an event list of its own; Undo gives the MIDI file back, with
// the song's settings as the file's track properties again.
TEST_F(SongRowsTest, ContainingAMidiChannelUndoesToTheFile) {
    auto midi = std::make_shared<CMidiDoc>();
    midi->SetTicksPerBeat(kUnitsPerBeat, 480);
    midi->SetChannelCount(2, false);
    midi->GetChannelEvents(2)->Add(Note(480, 70));
    song.IncludeDocument(midi);
    ASSERT_EQ(song.EntryCount(), 4);
    song.History().Clear();
    ASSERT_TRUE(rows.Run(3, EntryCommand::kContain));
    auto list = song.Entry(3).document;
    EXPECT_EQ(list->GetDocKind(), kDocKindWordList);
    EXPECT_EQ(list->GetTicksPerBeat(kUnitsPerBeat), 480u);
    EXPECT_EQ(midi->GetMixRecord(2), nullptr);
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(song.Entry(3).document, midi);
    EXPECT_EQ(song.Entry(3).channel, 2);
    EXPECT_FALSE(song.Entry(3).contained);
    EXPECT_EQ(midi->GetMixRecord(2), &song.Settings(3));
    ASSERT_TRUE(song.History().Redo());
    EXPECT_EQ(song.Entry(3).document, list); // the same contained list, not a new one
}

// Contain refuses a sound (a song keeps only trees and event lists) and a missing document.
TEST_F(SongRowsTest, ContainRefusesSoundsAndMissingDocuments) {
    testutil::TempDir dir("dendra-rows");
    platform::SetTempFolder(dir.Path().string());
    auto wave = std::make_shared<CWaveDoc>();
    ASSERT_TRUE(wave->OnNewDocument());
    song.IncludeDocument(wave);
    song.History().Clear();
    EXPECT_FALSE(rows.Run(2, EntryCommand::kContain));
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{SongRows::kCannotContainSoundMessage});
    EXPECT_FALSE(song.Entry(2).contained);
    EXPECT_FALSE(song.History().CanUndo());
    song.RemoveEntry(2);
    wave.reset();
    platform::DeleteTempFiles();
    platform::SetTempFolder("");

    song.Entry(1).document.reset();
    messages.Clear();
    EXPECT_FALSE(rows.Run(1, EntryCommand::kContain));
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{SongRows::kMissingDocumentMessage});
}

// Display opens one window per contained entry, titled with the song and the entry.
TEST_F(SongRowsTest, DisplayOpensOneWindowPerEntry) {
    std::vector<std::string> titles;
    rows.SetDisplayHandler([&](CChanDoc&, const std::string& title) { titles.push_back(title); });
    EXPECT_FALSE(rows.Run(0, EntryCommand::kDisplay)); // not contained
    song.Settings(0).sourcePath = "this";
    ASSERT_EQ(rows.EntryMenu(0)[0].label, "Display");
    EXPECT_EQ(song.Settings(0).sourcePath, kContainedPath);
    ASSERT_TRUE(rows.Run(0, EntryCommand::kDisplay));
    EXPECT_FALSE(rows.Run(0, EntryCommand::kDisplay));
    rows.DisplayClosed(0);
    ASSERT_TRUE(rows.Run(0, EntryCommand::kDisplay));
    EXPECT_EQ(titles, (std::vector<std::string>{"Tune :: first.sel", "Tune :: first.sel"}));
}

// Removing an entry while the song plays stops it first (its merge starts again); the steps
// outlive the engine and the rows model, and undo without sending once the engine is gone.
TEST_F(SongRowsTest, RemovalStopsPlayAndStepsOutliveTheEngineAndTheModel) {
    ASSERT_TRUE(engine.Play());
    dev.Run(300);
    ASSERT_TRUE(rows.Run(1, EntryCommand::kUnInclude));
    EXPECT_FALSE(engine.IsPlaying());

    CSongDoc other;
    other.OnNewDocument();
    other.IncludeDocument(List(1000, {Note(0, 50)}));
    other.History().Clear();
    {
        auto engine2 = std::make_unique<CPlayEngine>();
        engine2->SetDevices(&dev);
        SongRows rows2(other, engine2.get(), settings);
        ASSERT_TRUE(rows2.SetMuted(0, true));
        ASSERT_TRUE(rows2.SetPatch(0, 9));
    }
    ClearPorts();
    ASSERT_TRUE(other.History().Undo());
    ASSERT_TRUE(other.History().Undo());
    EXPECT_EQ(other.Settings(0).muted, 0);
    EXPECT_EQ(other.Settings(0).program, 0);
    EXPECT_TRUE(Sent(0).empty());
}

// Rows scroll eight at a time; the model follows entries that come and go.
TEST_F(SongRowsTest, RowsScrollWithinTheEntries) {
    int calls = 0;
    rows.SetListener([&](int) { ++calls; });
    rows.ScrollTo(5);
    EXPECT_EQ(rows.FirstRow(), 0); // two entries: nothing to scroll
    for (int i = 0; i < 10; ++i) song.IncludeDocument(List(1000, {Note(0, 40)}));
    EXPECT_GE(calls, 10);
    rows.ScrollTo(100);
    EXPECT_EQ(rows.FirstRow(), 12 - SongRows::kVisibleRows);
    rows.ScrollTo(-3);
    EXPECT_EQ(rows.FirstRow(), 0);
    rows.ScrollTo(4);
    while (song.EntryCount() > 3) song.RemoveEntry(song.EntryCount() - 1);
    EXPECT_EQ(rows.FirstRow(), 0);
    EXPECT_FALSE(rows.SetMuted(3, true));
    EXPECT_EQ(rows.Cell(7, SongColumn::kName).text, "");
}

// Many edits of every kind, undone to the original bytes and redone to the edited bytes.
TEST_F(SongRowsTest, EveryEditUndoesToTheOriginalAndRedoesToTheEdit) {
    const std::vector<uint8_t> original = Stored(song);
    auto channels = [&] {
        std::vector<int> v;
        for (SongEvent* e = first->GetEvents().First(); e; e = first->GetEvents().Next())
            v.push_back(e->GetChannel());
        return v;
    };
    const std::vector<int> originalChannels = channels();
    uint32_t seed = 12345;
    auto next = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    // Fewer steps than the stack keeps, so that every one can be undone.
    for (int step = 0; step < 1000 && song.History().Count() < 150; ++step) {
        const int row = int(next(2));
        switch (next(12)) {
        case 0:
            rows.SetSpeed(row, double(next(30000)) / 100.0);
            break;
        case 1:
            rows.SetStartTime(row, std::to_string(next(1200)));
            break;
        case 2:
            rows.SetDuration(row, std::to_string(next(20)) + ":" + std::to_string(next(999)));
            break;
        case 3:
            rows.SetChannel(row, int(next(18)));
            break;
        case 4:
            rows.SetPitch(row, int(next(60)) - 30);
            break;
        case 5:
            rows.SetPatch(row, int(next(128)));
            break;
        case 6:
            rows.Toggle(row, SongColumn::kMute);
            break;
        case 7:
            rows.SetVolume(row, double(next(1000)) / 10.0);
            break;
        case 8:
            rows.SetPan(row, double(next(100)) / 10.0);
            break;
        case 9:
            rows.Toggle(row, SongColumn::kLoop);
            break;
        case 10:
            rows.SetName(row, "n" + std::to_string(next(5)));
            break;
        case 11:
            rows.Choose(row, SongColumn::kDestination, int(next(2)));
            break;
        }
    }
    ASSERT_EQ(song.History().Count(), 150u);
    const std::vector<uint8_t> edited = Stored(song);
    const std::vector<int> editedChannels = channels();
    ASSERT_NE(edited, original);
    while (song.History().CanUndo()) ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(Stored(song), original);
    EXPECT_EQ(channels(), originalChannels);
    EXPECT_FALSE(song.IsModified());
    while (song.History().CanRedo()) ASSERT_TRUE(song.History().Redo());
    EXPECT_EQ(Stored(song), edited);
    EXPECT_EQ(channels(), editedChannels);
}

TEST_F(SongRowsTest, AnIncludedFileIsOneStepThatUndoesAndRedoesItsEntries) {
    testutil::TempDir dir;
    auto list = List(1000, {Note(0, 48), Note(500, 50)}, "dropped");
    const std::string path = dir.File("dropped.sel");
    ASSERT_TRUE(list->OnSaveDocument(path));
    const std::vector<uint8_t> before = Stored(song);

    ASSERT_TRUE(rows.IncludeFile(path));
    ASSERT_EQ(rows.RowCount(), 3);
    EXPECT_EQ(song.Entry(2).settings.sourcePath, path);
    EXPECT_EQ(song.History().UndoLabel(), "Include");
    ASSERT_TRUE(song.History().Undo());
    EXPECT_EQ(rows.RowCount(), 2);
    EXPECT_EQ(Stored(song), before);
    ASSERT_TRUE(song.History().Redo());
    ASSERT_EQ(rows.RowCount(), 3);
    EXPECT_EQ(song.Entry(2).document->GetChannelEvents(1)->GetCount(), 2);

    // A file that is no document, and a song, are refused with a message and no step.
    messages.Clear();
    EXPECT_FALSE(rows.IncludeFile(dir.File("missing.xyz")));
    EXPECT_FALSE(messages.Shown().empty());
    const std::string songPath = dir.File("other.sng");
    ASSERT_TRUE(song.OnSaveDocument(songPath));
    EXPECT_FALSE(rows.IncludeFile(songPath));
    EXPECT_EQ(rows.RowCount(), 3);
    EXPECT_EQ(song.History().UndoLabel(), "Include");
}
