// The clock on the manual timer: every queued item goes out exactly once, in order, at the first
// tick not before its time, whatever the period, resolution and tempo.
#include "sync/messages.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync_test_util.h"

#include <gtest/gtest.h>
#include <random>

namespace {

struct Sent {
    uint32_t message;
    uint32_t tickBefore, tickAfter;
};

void RunSweep(uint32_t period, uint32_t res, uint32_t tempoUs) {
    SCOPED_TRACE(testing::Message()
                 << "period " << period << " res " << res << " tempo " << tempoUs);
    UseLoopback();
    platform::MessageRecorder win;
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, period, &timer), 0u);
    clock.SetResolution(res);
    ASSERT_EQ(clock.SetTempo(tempoUs), 0u);
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), OutputNumber("Loopback Out 0"), &clock, 0x3000), 0u);

    std::mt19937 rng(period * 7919 + res * 31 + tempoUs);
    struct Expect {
        uint32_t time, message;
    };
    std::vector<Expect> items, noteOffs;
    uint32_t t = 0;
    for (int i = 0; i < 400; ++i) {
        t += rng() % 40; // equal times too
        uint8_t key = uint8_t(rng() % 128);
        uint32_t dur = 1 + rng() % 300;
        EventMidi e(t, i % 5 == 0 ? 0xB1 : 0x90, key, i % 5 == 0 ? 7 : 100, dur);
        ASSERT_EQ(out.MidiOut(&e), 0u);
        items.push_back({t, e.ShortMessage()});
        if (e.IsNoteOn()) noteOffs.push_back({t + dur, 0x80u | (key << 8)});
    }
    clock.StartSync(0);
    std::vector<Sent> sent;
    auto& rec = dsync::Loopback().Output(0);
    size_t seen = 0;
    uint64_t periods = 0;
    while (clock.now.load() < t + 400) {
        uint32_t before = clock.now.load();
        timer.Advance(1);
        ++periods;
        uint32_t after = clock.now.load();
        for (; seen < rec.Count(); ++seen)
            sent.push_back({rec.Record(seen).message, before, after});
        // Ticks sum exactly to the elapsed time at this tempo.
        uint64_t us = periods * period * 1000ull;
        ASSERT_EQ(after, uint32_t(us * res / tempoUs));
    }
    // Queue items: in order, exactly once, at the first tick whose position reaches their time.
    size_t qi = 0, oi = 0;
    std::vector<bool> offUsed(noteOffs.size(), false);
    for (const Sent& s : sent) {
        if (qi < items.size() && s.message == items[qi].message) {
            uint32_t time = items[qi].time;
            EXPECT_GE(s.tickAfter, time) << "item " << qi;
            EXPECT_TRUE(s.tickBefore < time || time == 0 || s.tickBefore == 0) << "item " << qi;
            ++qi;
            continue;
        }
        // A note-off: find the earliest unused matching one.
        bool found = false;
        for (size_t k = 0; k < noteOffs.size(); ++k) {
            if (!offUsed[k] && noteOffs[k].message == (s.message & 0xFFFF) &&
                (s.message >> 16) == 0 && s.tickAfter >= noteOffs[k].time &&
                (s.tickBefore < noteOffs[k].time || s.tickBefore == 0)) {
                offUsed[k] = true;
                found = true;
                ++oi;
                break;
            }
        }
        EXPECT_TRUE(found) << std::hex << s.message;
    }
    EXPECT_EQ(qi, items.size());
    EXPECT_EQ(oi, noteOffs.size());
    EXPECT_EQ(sent.size(), items.size() + noteOffs.size());
    out.Close();
    clock.CloseSync();
}

TEST(Clock, InvariantSweep) {
    for (uint32_t period : {1u, 2u, 5u, 10u})
        for (uint32_t res : {96u, 480u, 1000u})
            for (uint32_t tempo : {1000000u, 500000u, 352941u, 2000000u})
                RunSweep(period, res, tempo);
}

TEST(Clock, TicksSumExactlyOverAnHour) {
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(0, 0, 10, &timer), 0u);
    clock.StartSync(0);
    uint32_t last = 0;
    for (int i = 0; i < 100; ++i) {
        timer.Advance(1);
        uint32_t step = clock.now.load() - last;
        EXPECT_TRUE(step == 4 || step == 5);
        last = clock.now.load();
    }
    EXPECT_EQ(clock.now.load(), 480u);
    timer.Advance(360000 - 100);
    EXPECT_EQ(clock.now.load(), 480u * 3600);
    EXPECT_EQ(clock.elapsed, 480u * 3600);
}

TEST(Clock, LongPeriodsDoNotOverflow) {
    // 100 ms × 1000 × 256000 needs more than 32 bits.
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(0, 0, 100, &timer), 0u);
    clock.SetResolution(1000);
    clock.StartSync(0);
    timer.Advance(10);
    EXPECT_EQ(clock.now.load(), 1000u);
}

TEST(Clock, StartPositionAndResolutionLimits) {
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(0, 0, 10, &timer), 0u);
    clock.StartSync(1000);
    EXPECT_EQ(clock.beatPhase, 40u);
    EXPECT_EQ(clock.clockPhase, 0u);
    EXPECT_EQ(clock.now.load(), 1000u);
    EXPECT_EQ(clock.SetTempo(0), 97u);
    EXPECT_EQ(clock.GetTempo(), 1000000u);
    clock.SetResolution(1001);
    EXPECT_EQ(clock.GetResolution(), 480u);
    clock.SetResolution(96);
    EXPECT_EQ(clock.ticksPerClock, 4u);
    clock.SetResolution(10);
    EXPECT_EQ(clock.ticksPerClock, 1u); // never 0: counting clocks would not end
    timer.Advance(100);
    EXPECT_GT(clock.now.load(), 1000u);
}

TEST(Clock, BeatsMidiClockStartStop) {
    UseLoopback();
    platform::MessageRecorder win;
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 10, &timer), 0u);
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), OutputNumber("Loopback Out 1"), &clock, 0x20000), 0u);
    CMidiOut quiet;
    ASSERT_EQ(quiet.OpenMidiOut(win.Handle(), OutputNumber("Loopback Out 2"), &clock, 0), 0u);
    clock.StartSync(0);
    timer.Advance(200); // two seconds: 2 beats, 48 clocks
    clock.StopSync();
    platform::Queue().Drain();
    auto msgs = dsync::Loopback().Output(1).ShortMessages();
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.front(), 0xFAu);
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), 0xF8u), 48);
    EXPECT_NE(std::find(msgs.begin(), msgs.end(), 0xFCu), msgs.end());
    for (uint32_t m : dsync::Loopback().Output(2).ShortMessages()) EXPECT_NE(m & 0xF0, 0xF0u);
    EXPECT_EQ(win.Count(dsync::kMsgBeat), 2u);
    // Filtering the clock kind keeps it from the output.
    dsync::Loopback().Output(1).Clear();
    out.SetMidiOutFilters(1u << dsync::MidiKind(0xF8));
    clock.StartSync(0);
    timer.Advance(100);
    auto again = dsync::Loopback().Output(1).ShortMessages();
    EXPECT_EQ(std::count(again.begin(), again.end(), 0xF8u), 0);
}

TEST(Clock, PauseKeepsPositionAndRestartSendsStart) {
    UseLoopback();
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(0, 0, 10, &timer), 0u);
    clock.StartSync(0);
    timer.Advance(10);
    uint32_t at = clock.now.load();
    clock.PauseSync(0);
    EXPECT_TRUE(clock.state.load() & CSync::kPaused);
    timer.Advance(10);
    EXPECT_EQ(clock.now.load(), at);
    clock.ReStartSync();
    timer.Advance(10);
    EXPECT_GT(clock.now.load(), at);
}

TEST(Clock, IdleWhenNothingQueued) {
    UseLoopback();
    platform::ManualTimer timer;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(0, 0, 10, &timer), 0u);
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(0, OutputNumber("Loopback Out 0"), &clock, 0), 0u);
    EventMidi e(50, 0x90, 60, 100, 10);
    out.MidiOut(&e);
    clock.StartSync(0);
    EXPECT_FALSE(clock.state.load() & CSync::kIdle);
    timer.Advance(1);
    EXPECT_FALSE(clock.state.load() & CSync::kIdle);
    timer.Advance(30);
    EXPECT_TRUE(clock.state.load() & CSync::kIdle);
}

} // namespace
