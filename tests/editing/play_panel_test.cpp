// The play panel driving the play engine on loopback outputs and the manual timer.
#include "editing/play_panel.h"

#include "platform/message_queue.h"
#include "platform/thread_check.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "tests/song/loopback_devices.h"
#include "tests/song/song_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

using namespace songtest;
using editing::PlayPanel;
using editing::ScrollAction;

namespace {

// Note-ons a port received, as (tick, key).
std::vector<std::pair<uint32_t, int>> NoteOns(int port) {
    std::vector<std::pair<uint32_t, int>> v;
    const dsync::LoopbackOutputState& rec = dsync::Loopback().Output(port);
    for (size_t i = 0; i < rec.Count(); ++i) {
        const uint32_t m = rec.Record(i).message;
        if ((m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) > 0)
            v.emplace_back(rec.Record(i).at.tick, int((m >> 8) & 0x7F));
    }
    return v;
}

// Keys a port was told to strike and not yet to end (ends of notes struck before the port's
// record was cleared do not count).
int Sounding(int port) {
    std::map<uint32_t, int> open;
    for (uint32_t m : dsync::Loopback().Output(port).ShortMessages()) {
        const uint32_t kind = m & 0xF0, vel = (m >> 16) & 0x7F, id = m & 0x7F0F;
        if (kind == 0x90 && vel > 0) ++open[id];
        if (kind == 0x80 || (kind == 0x90 && vel == 0)) open[id] = std::max(0, open[id] - 1);
    }
    int n = 0;
    for (const auto& [id, count] : open) n += count;
    return n;
}

// A note on every beat of a 40-beat song, the key telling the beat (40 + beat).
class PlayPanelTest : public ::testing::Test {
protected:
    static constexpr uint32_t kPeriodsPerBeat = 100; // 600 beats a minute: 10 ticks a period

    PlayPanelTest() {
        std::vector<EventMidi*> notes;
        for (uint32_t b = 0; b < 40; ++b) notes.push_back(Note(b * 1000, uint8_t(40 + b), 90, 400));
        song.OnNewDocument();
        song.IncludeDocument(List(1000, notes));
        // Measured already: a first Play would otherwise stretch End to the song's length.
        song.Prepare();
        engine.SetDevices(&dev);
        engine.SetSong(&song);
        EXPECT_TRUE(panel.SetTempo(600));
        dsync::Loopback().Output(0).Clear();
    }
    ~PlayPanelTest() override { engine.Stop(); }

    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    playtest::LoopbackDevices dev{engine.Window()};
    CSongDoc song;
    editing::FrameSettings settings;
    PlayPanel panel{engine, settings};
};

} // namespace

TEST_F(PlayPanelTest, GotoPointsOnRegionsOfOddLengths) {
    auto go = [&](const std::string& point) {
        panel.SetGotoText(point);
        EXPECT_TRUE(panel.Goto());
        return panel.Now();
    };
    ASSERT_TRUE(panel.SetStart(10));
    ASSERT_TRUE(panel.SetEnd(50));
    EXPECT_EQ(go("1/4"), 20);
    EXPECT_EQ(go("1/2"), 30);
    EXPECT_EQ(go("3/4"), 40);
    EXPECT_EQ(go("End"), 50);
    EXPECT_EQ(go("Start"), 10);
    // A typed beat counts only strictly between Start and End.
    EXPECT_EQ(go("49"), 49);
    EXPECT_EQ(go("50"), 49);
    EXPECT_EQ(go("10"), 49);
    EXPECT_EQ(go("25 beats"), 25); // its leading integer
    EXPECT_EQ(go("  30"), 30);
    EXPECT_EQ(go("abc"), 30);
    EXPECT_EQ(go("-5"), 30);
    EXPECT_EQ(go("99999999999999999999"), 30);

    ASSERT_TRUE(panel.SetStart(0));
    ASSERT_TRUE(panel.SetEnd(7));
    EXPECT_EQ(go("1/4"), 1);
    EXPECT_EQ(go("1/2"), 3);
    EXPECT_EQ(go("3/4"), 5);
    ASSERT_TRUE(panel.SetStart(3));
    ASSERT_TRUE(panel.SetEnd(4));
    EXPECT_EQ(go("1/4"), 3);
    EXPECT_EQ(go("3/4"), 3);
    EXPECT_EQ(go("End"), 4);
    // A Start past End gives points between them, never a wrapped beat.
    ASSERT_TRUE(panel.SetStart(50));
    ASSERT_TRUE(panel.SetEnd(10));
    EXPECT_EQ(go("1/2"), 30);

    panel.SetGotoText("12345678901234567890");
    EXPECT_EQ(panel.GotoText(), "1234567890123456");
}

TEST_F(PlayPanelTest, FieldsAndTempoRefuseWhatIsOutOfRange) {
    EXPECT_FALSE(panel.SetStartText("4001"));
    EXPECT_FALSE(panel.SetEndText("ten"));
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{PlayPanel::kBeatRangeMessage,
                                                          PlayPanel::kBeatRangeMessage}));
    EXPECT_EQ(panel.Start(), 0);
    EXPECT_TRUE(panel.SetNowText(" 12 "));
    EXPECT_EQ(panel.Now(), 12);

    messages.Clear();
    EXPECT_FALSE(panel.SetTempoText("20"));
    EXPECT_FALSE(panel.SetTempoText("961"));
    EXPECT_FALSE(panel.SetTempoText("fast"));
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{PlayPanel::kTempoRangeMessage,
                                                          PlayPanel::kTempoRangeMessage,
                                                          PlayPanel::kNotANumberMessage}));
    EXPECT_EQ(dev.clock.GetTempo(), 100000u); // still 600 beats a minute
    EXPECT_TRUE(panel.SetTempoText("120"));
    EXPECT_EQ(dev.clock.GetTempo(), 500000u);
    EXPECT_EQ(panel.TempoText(), "120");
    EXPECT_TRUE(panel.SetTempoText("30"));
    EXPECT_TRUE(panel.SetTempoText("960"));
    EXPECT_EQ(panel.TempoText(), "960");
}

// Play, Goto and the scroll bar move the engine; a move while playing plays again from the new
// beat, whose notes come first, on their ticks.
TEST_F(PlayPanelTest, GotoAndScrollWhilePlayingPlayAgainFromTheNewBeat) {
    ASSERT_TRUE(panel.Initialize());
    ASSERT_EQ(panel.End(), 42);
    ASSERT_TRUE(panel.Play());
    dev.Run(kPeriodsPerBeat * 2 + 50);
    EXPECT_EQ(panel.Now(), 2);
    EXPECT_EQ(panel.PositionText(), "2.500");
    settings.SetFloatingPointTimes(false);
    EXPECT_EQ(panel.PositionText(), "2:500");
    EXPECT_FALSE(panel.SetNowText("7")); // a typed Now waits until play stops
    EXPECT_EQ(panel.Now(), 2);

    dsync::Loopback().Output(0).Clear();
    panel.SetGotoText("1/2");
    ASSERT_TRUE(panel.Goto());
    EXPECT_TRUE(panel.IsPlaying());
    EXPECT_EQ(panel.Now(), 21);
    dev.Run(kPeriodsPerBeat);
    auto ons = NoteOns(0);
    ASSERT_FALSE(ons.empty());
    EXPECT_EQ(ons[0], std::make_pair(21000u, 40 + 21));

    dsync::Loopback().Output(0).Clear();
    panel.Scroll(ScrollAction::kThumb, 5);
    EXPECT_TRUE(panel.IsPlaying());
    EXPECT_EQ(panel.Now(), 5);
    dev.Run(kPeriodsPerBeat);
    ons = NoteOns(0);
    ASSERT_FALSE(ons.empty());
    EXPECT_EQ(ons[0], std::make_pair(5000u, 40 + 5));

    panel.GotoStart();
    EXPECT_TRUE(panel.IsPlaying());
    EXPECT_EQ(panel.Now(), 0);
    panel.Stop();
    EXPECT_FALSE(panel.IsPlaying());
    EXPECT_EQ(Sounding(0), 0);
}

TEST_F(PlayPanelTest, ScrollStepsAreHeldToTheRegion) {
    ASSERT_TRUE(panel.SetEnd(20));
    ASSERT_TRUE(panel.SetNow(5));
    panel.Scroll(ScrollAction::kLineBack);
    EXPECT_EQ(panel.Now(), 4);
    panel.Scroll(ScrollAction::kPageBack); // below 8: to 0
    EXPECT_EQ(panel.Now(), 0);
    panel.Scroll(ScrollAction::kLineBack);
    EXPECT_EQ(panel.Now(), 0);
    panel.Scroll(ScrollAction::kPageForward);
    EXPECT_EQ(panel.Now(), 8);
    panel.Scroll(ScrollAction::kLineForward);
    EXPECT_EQ(panel.Now(), 9);
    panel.Scroll(ScrollAction::kPageBack);
    EXPECT_EQ(panel.Now(), 1);
    panel.Scroll(ScrollAction::kThumb, 1000);
    EXPECT_EQ(panel.Now(), 20);
    ASSERT_TRUE(panel.SetStart(10));
    EXPECT_EQ(panel.ScrollMin(), 10);
    EXPECT_EQ(panel.ScrollMax(), 20);
    panel.Scroll(ScrollAction::kThumb, 0);
    EXPECT_EQ(panel.Now(), 10);
    EXPECT_FALSE(panel.IsPlaying());
}

// Goto while recording records again from the goto point.
TEST_F(PlayPanelTest, GotoWhileRecordingRecordsAgain) {
    ASSERT_TRUE(panel.Record());
    dev.Run(kPeriodsPerBeat + 10);
    panel.SetGotoText("3/4");
    ASSERT_TRUE(panel.Goto());
    EXPECT_TRUE(panel.IsRecording());
    EXPECT_TRUE(panel.IsPlaying());
    EXPECT_EQ(panel.End(), 42);
    EXPECT_EQ(panel.Now(), 31); // 3 × 42 / 4
    ASSERT_TRUE(panel.RunCommand(PlayPanel::kIdEndRecord));
    EXPECT_FALSE(panel.IsRecording());
    EXPECT_FALSE(panel.IsPlaying());
    EXPECT_FALSE(panel.RunCommand(PlayPanel::kIdEndRecord));
}

// End: a grown End fills at once while playing; the song stops at End and the panel hears it.
TEST_F(PlayPanelTest, EndGrowsWhilePlayingAndPlayStopsAtEnd) {
    int changes = 0;
    panel.SetListener([&] { ++changes; });
    ASSERT_TRUE(panel.SetEnd(3));
    ASSERT_TRUE(panel.Play());
    dev.Run(10);
    const uint64_t fills = engine.Fills();
    ASSERT_TRUE(panel.SetEnd(6));
    EXPECT_GT(engine.Fills(), fills);
    EXPECT_EQ(song.GetLength(0), 6u); // the song is told its new length
    changes = 0;
    for (int i = 0; i < 10 && panel.IsPlaying(); ++i) dev.Run(kPeriodsPerBeat);
    EXPECT_FALSE(panel.IsPlaying());
    EXPECT_EQ(panel.Now(), 6);
    EXPECT_GE(changes, 6); // every beat, and the stop
    std::vector<int> keys;
    for (const auto& on : NoteOns(0)) keys.push_back(on.second);
    EXPECT_EQ(keys, (std::vector<int>{40, 41, 42, 43, 44, 45}));
    EXPECT_EQ(Sounding(0), 0);

    // Loop points an editor posts show on the panel at once.
    changes = 0;
    ASSERT_TRUE(platform::PostMessage(engine.Window(), kMsgLoopPoints, 1, 30));
    platform::Queue().Drain();
    EXPECT_EQ(panel.End(), 30);
    EXPECT_EQ(changes, 1);
}

// With the loop on, play returns to Start at End and goes on.
TEST_F(PlayPanelTest, LoopReturnsToStartAtEnd) {
    ASSERT_TRUE(panel.SetStart(2));
    ASSERT_TRUE(panel.SetEnd(4));
    ASSERT_TRUE(panel.SetNow(2));
    panel.SetLoop(true);
    EXPECT_TRUE(panel.Loop());
    ASSERT_TRUE(panel.Play());
    dev.Run(kPeriodsPerBeat * 5 + 50);
    EXPECT_TRUE(panel.IsPlaying());
    EXPECT_EQ(panel.Now(), 3); // 2, 3, 2, 3, 2, 3
    std::vector<int> keys;
    for (const auto& on : NoteOns(0)) keys.push_back(on.second);
    EXPECT_EQ(keys, (std::vector<int>{42, 43, 42, 43, 42, 43}));
    EXPECT_EQ(panel.PositionText(), "3.500"); // the pass folded back onto the loop
    panel.Stop();
    EXPECT_EQ(Sounding(0), 0);
}

TEST_F(PlayPanelTest, InitializeAndSendSelectedSetTheRegion) {
    ASSERT_TRUE(panel.SetStart(7));
    ASSERT_TRUE(panel.SetEnd(9));
    ASSERT_TRUE(panel.RunCommand(PlayPanel::kIdInitialize));
    EXPECT_EQ(panel.Start(), 0);
    EXPECT_EQ(panel.End(), 42); // 40 beats of notes and two more
    EXPECT_EQ(panel.NaturalLength(), 42);

    EXPECT_FALSE(panel.SendSelected()); // no editor attached
    std::optional<std::pair<int, int>> markers = std::make_pair(4, 12);
    panel.SetMarkerSource([&] { return markers; });
    ASSERT_TRUE(panel.RunCommand(PlayPanel::kIdSendSelected));
    EXPECT_EQ(panel.Start(), 4);
    EXPECT_EQ(panel.End(), 12);
    markers.reset();
    EXPECT_FALSE(panel.SendSelected());

    CPlayEngine bare;
    editing::FrameSettings other;
    PlayPanel empty(bare, other);
    EXPECT_EQ(empty.End(), PlayPanel::kInitialEnd);
    EXPECT_FALSE(empty.Initialize());
    EXPECT_FALSE(empty.SetTempo(120)); // no clock: nothing to set, nothing to say
    EXPECT_FALSE(empty.Play());
}

// The synchronizer dialog applies only a changed source, stopping play first.
TEST_F(PlayPanelTest, SynchronizerDialogAppliesAChangedSource) {
    editing::SyncDialogModel d = panel.OpenSyncDialog();
    EXPECT_EQ(d.source, 0);
    EXPECT_EQ(editing::SyncDialogModel::SourceChoices()[size_t(d.source)], "Internal Sync");
    EXPECT_EQ(d.timerPeriod, 1u);
    EXPECT_EQ(d.bufferSize, dev.out.capacity);
    EXPECT_GT(d.bufferSize, 0u);
    ASSERT_TRUE(panel.Play());
    d.timerPeriod = 50; // shown only
    EXPECT_TRUE(panel.ApplySyncDialog(d));
    EXPECT_TRUE(panel.IsPlaying());
    EXPECT_EQ(dev.clock.period, 1u);
    d.source = 1;
    ASSERT_TRUE(panel.ApplySyncDialog(d));
    EXPECT_FALSE(panel.IsPlaying());
    EXPECT_EQ(dev.clock.mode, 1u);
    EXPECT_EQ(panel.SyncMode(), 1u);
    EXPECT_EQ(panel.OpenSyncDialog().source, 1);
    d.source = 2;
    EXPECT_FALSE(panel.ApplySyncDialog(d));
    d.source = 0;
    ASSERT_TRUE(panel.ApplySyncDialog(d));
    EXPECT_EQ(dev.clock.mode, 0u);
}

// The frame's switches: the delete mode editors read, and the file tempo changes the engine
// follows.
TEST_F(PlayPanelTest, FrameSwitchesReachEditorsAndTheEngine) {
    int heard = 0;
    const int id = settings.AddListener([&] { ++heard; });
    EXPECT_FALSE(settings.DeleteMakesSilent());
    ASSERT_TRUE(panel.RunCommand(PlayPanel::kIdDeleteMode));
    EXPECT_TRUE(settings.DeleteMakesSilent());
    EXPECT_TRUE(panel.DeleteMakesSilent());
    EXPECT_EQ(heard, 1);
    EXPECT_STREQ(PlayPanel::CommandPrompt(PlayPanel::kIdDeleteMode),
                 "Select to delete selection, or just make it silent.");
    EXPECT_TRUE(engine.FollowTempo());
    panel.SetSendFileTempoChanges(false);
    EXPECT_FALSE(engine.FollowTempo());
    settings.SetSendFileTempoChanges(true);
    EXPECT_TRUE(engine.FollowTempo());
    settings.RemoveListener(id);
    EXPECT_FALSE(panel.RunCommand(12345));
}

#if DENDRA_THREAD_CHECKS
// The engine's entry points belong to the user-interface thread.
TEST_F(PlayPanelTest, TheEngineRefusesOtherThreads) {
    EXPECT_DEATH(std::thread([&] { engine.Play(); }).join(), "Play called off the user-interface");
}
#endif
