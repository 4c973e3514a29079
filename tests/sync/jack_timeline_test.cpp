// The JACK time line on made-up cycles, and the clock's time line as inputs and wave starts read
// it.
#include "sync/drivers/jack/jack_timeline.h"
#include "sync/midi_in.h"
#include "sync/sync.h"
#include "sync_test_util.h"

#include <gtest/gtest.h>

namespace {

using dsync::jack::Timeline;

constexpr int64_t kMs = 1000000;
constexpr uint32_t kRate = 48000, kCycle = 480; // 10 ms cycles

// Reports cycles from frame `from` on, each starting `lateNs` after its nominal time against t0.
int64_t Cycles(Timeline& t, int64_t from, int cycles, int64_t t0, int64_t lateNs, bool inUse) {
    for (int i = 0; i < cycles; ++i, from += kCycle) {
        const int64_t wall = t0 + from * 1000000000 / kRate + lateNs;
        if (inUse) t.NoteUse(wall);
        t.Cycle(from, kCycle, kRate, wall);
    }
    return from;
}

TEST(JackTimeline, MapsAtTheServersRateAndKeepsItsPhaseWhileInUse) {
    Timeline t;
    t.Attach();
    int64_t frame = 0;
    EXPECT_FALSE(t.FrameAt(0, frame));
    const int64_t t0 = 5000 * kMs;
    int64_t f = Cycles(t, 0, 50, t0, 0, true);
    EXPECT_TRUE(t.FrameAt(t0 + 1000 * kMs, frame));
    EXPECT_EQ(frame, 48000);
    int64_t ns = 0;
    EXPECT_TRUE(t.TimeOf(480, ns));
    EXPECT_EQ(ns, t0 + 10 * kMs);
    // The server stalls for 30 ms while messages are placed: frames keep their times (the
    // latency grows instead), so what follows stays in step with what came before.
    f = Cycles(t, f, 100, t0, 30 * kMs, true);
    EXPECT_TRUE(t.FrameAt(t0 + 1000 * kMs, frame));
    EXPECT_EQ(frame, 48000);
    EXPECT_EQ(t.Moves(), 0u);
    EXPECT_NEAR(double(t.LastLagNs()), 30.0 * kMs, 1.0);
    // Idle (a second after the last message), the time line takes up the server's phase again.
    Cycles(t, f, 200, t0, 30 * kMs, false);
    EXPECT_TRUE(t.TimeOf(48000, ns));
    EXPECT_EQ(ns, t0 + 1030 * kMs);
    t.Detach();
    EXPECT_FALSE(t.Anchored());
}

TEST(JackTimeline, MovesWhenTheServerRunsEarlierThanPlacedMessagesAllow) {
    Timeline t;
    t.Attach();
    const int64_t t0 = 7000 * kMs;
    // The first cycle's callback came late by 4 ms: the anchor is 4 ms late.
    t.Cycle(0, kCycle, kRate, t0 + 4 * kMs);
    int64_t f = Cycles(t, kCycle, 20, t0, 0, true);
    EXPECT_EQ(t.Moves(), 1u);
    int64_t ns = 0;
    EXPECT_TRUE(t.TimeOf(f, ns));
    EXPECT_EQ(ns, t0 + f * 1000000000 / kRate);
    // Cycles that start late by less than the limit move nothing while in use.
    f = Cycles(t, f, 20, t0, 3 * kMs, true);
    EXPECT_EQ(t.Moves(), 1u);
    // A server 0.6 s behind: the phase slides back 0.5 ms a block, so frames placed later never
    // come before frames placed earlier.
    const uint64_t moves = t.Moves();
    int64_t lastFrame = 0, lastNs = t0 + f * 1000000000 / kRate + 600 * kMs;
    EXPECT_TRUE(t.FrameAt(lastNs, lastFrame));
    for (int block = 0; block < 20; ++block) {
        f = Cycles(t, f, 5, t0, 600 * kMs, true);
        int64_t frame = 0;
        const int64_t ns = t0 + f * 1000000000 / kRate + 600 * kMs;
        EXPECT_TRUE(t.FrameAt(ns, frame));
        EXPECT_GT(frame, lastFrame);
        lastFrame = frame;
        lastNs = ns;
    }
    EXPECT_EQ(t.Moves(), moves + 20);
    EXPECT_NEAR(double(t.LastLagNs()), 590.5 * kMs, 1.0 * kMs);
    t.Detach();
}

TEST(JackTimeline, LatencyIsACycleThePeriodAndRoom) {
    // 256 frames, 1 ms of dispatch period and 2 ms of room at 48 kHz: 256 + 144.
    EXPECT_EQ(dsync::jack::OutputLatencyFrames(256, 48000, 1), 400u);
    EXPECT_EQ(dsync::jack::OutputLatencyFrames(64, 48000, 10), 64u + 576u);
    EXPECT_EQ(dsync::jack::OutputLatencyFrames(1024, 44100, 0), 1024u + 89u);
}

TEST(ClockTimeLine, TicksAtTimesAndTimesOfTicks) {
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(0, 0, 10, &timer), 0u);
    clock.SetTempo(1000000);                    // 480 ticks a second
    EXPECT_EQ(clock.TimeOfTick(10), INT64_MIN); // not advancing yet
    clock.StartSync(0);
    timer.Advance(5); // 50 ms: 24 ticks
    ASSERT_EQ(clock.now.load(), 24u);
    const int64_t at = timer.NowNs();
    EXPECT_EQ(clock.TickAt(at), 24u);
    EXPECT_EQ(clock.TickAt(at + 5 * kMs), 26u); // 26.4: the tick then in effect
    EXPECT_EQ(clock.TickAt(at - 5 * kMs), 21u); // 21.6
    EXPECT_EQ(clock.TimeOfTick(24), at);
    EXPECT_EQ(clock.TimeOfTick(30), at + 12500000); // 6 ticks of 2.083 ms
    EXPECT_EQ(clock.TickAt(clock.TimeOfTick(37)), 37u);
    clock.SetTempo(500000);
    timer.Advance(1); // the tempo takes effect at the next tick
    // 33 and 0.6 of a tick at the tick; 9.6 more in 10 ms.
    EXPECT_EQ(clock.TickAt(timer.NowNs() + 10 * kMs), clock.now.load() + 10);
    clock.StopSync();
    EXPECT_EQ(clock.TickAt(timer.NowNs() + 100 * kMs), clock.now.load());
    clock.CloseSync();
}

TEST(ClockTimeLine, InputGivenItsTimeIsStampedWithTheTickThen) {
    UseLoopback();
    platform::MessageRecorder win;
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 10, &timer), 0u);
    clock.SetResolution(1000); // a tick a millisecond
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), InputNumber("Loopback In 0"), &clock, 0), 0u);
    ASSERT_EQ(in.Start(), 0);
    clock.StartSync(0);
    timer.Advance(3);
    const int64_t now = timer.NowNs();
    ASSERT_TRUE(dsync::Loopback().FeedShort(0, 0x403C90, 0, now - 7 * kMs));
    ASSERT_TRUE(dsync::Loopback().FeedShort(0, 0x403E90, 0, now + 4 * kMs));
    ASSERT_TRUE(dsync::Loopback().FeedShort(0, 0x404090)); // no time: the current tick
    MidiEvent* e = in.MidiIn();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->time, 23u);
    e = in.MidiIn();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->time, 34u);
    e = in.MidiIn();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->time, 30u);
    in.Close();
    clock.CloseSync();
    platform::Queue().Drain();
}

} // namespace
