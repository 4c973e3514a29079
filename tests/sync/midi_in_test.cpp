#include "sync/messages.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync_test_util.h"

#include <gtest/gtest.h>

namespace {

class MidiInTest : public testing::Test {
protected:
    void SetUp() override {
        UseLoopback();
        dev = InputNumber("Loopback In 0");
    }
    bool Feed(uint32_t m) { return dsync::Loopback().FeedShort(0, m, 7); }
    std::vector<MidiEvent> ReadAll(CMidiIn& in) {
        std::vector<MidiEvent> v;
        while (MidiEvent* e = in.MidiIn()) v.push_back(*e);
        return v;
    }

    platform::MessageRecorder win;
    platform::ManualTimer timer;
    uint32_t dev = 0;
};

TEST_F(MidiInTest, StampsFiltersAndNotifies) {
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 10, &timer), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x33320), 0u);
    EXPECT_EQ(in.GetMidiInFilters(), CMidiIn::kDefaultFilters);
    EXPECT_FALSE(Feed(0x90)); // not started: nothing is delivered
    ASSERT_EQ(in.Start(), 0);
    clock.StartSync(0);
    timer.Advance(10); // tick 48
    EXPECT_TRUE(Feed(0x90 | 60 << 8 | 100 << 16));
    EXPECT_TRUE(Feed(0xFE)); // active sensing: dropped by the default filter
    timer.Advance(10);
    EXPECT_TRUE(Feed(0xB2 | 7 << 8 | 90 << 16));
    platform::Queue().Drain();
    EXPECT_EQ(win.Count(dsync::kMsgMidiInData), 2u);
    auto got = ReadAll(in);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].time, 48u);
    EXPECT_EQ(got[0].status, 0x90);
    EXPECT_EQ(got[0].data1, 60);
    EXPECT_EQ(got[0].data2, 100);
    EXPECT_EQ(got[1].time, 96u);
    EXPECT_EQ(got[1].status, 0xB2);
    in.Close();
}

TEST_F(MidiInTest, WithoutClockTheDriverStampIsKept) {
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, nullptr, 0), 0u);
    in.Start();
    Feed(0x80 | 1 << 8);
    MidiEvent* e = in.MidiIn();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->time, 7u);
    EXPECT_EQ(in.MidiIn(), nullptr);
}

TEST_F(MidiInTest, FullRingDropsTheNewestAndCounts) {
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, nullptr, 0), 0u); // capacity 64
    in.Start();
    for (uint32_t i = 0; i < 100; ++i) Feed(0xB0 | 1 << 8 | (i & 0x7F) << 16);
    EXPECT_EQ(in.Dropped(), 36u);
    auto got = ReadAll(in);
    ASSERT_EQ(got.size(), 64u);
    for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(got[i].data2, i); // the oldest are all kept
    Feed(0xB0 | 1 << 8 | 5 << 16);
    EXPECT_EQ(ReadAll(in).size(), 1u);
}

TEST_F(MidiInTest, SystemExclusiveStampedBackByItsLength) {
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 10, &timer), 0u);
    clock.SetResolution(1000);
    clock.SetTempo(500000);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x10204), 0u); // 4 × 256 bytes
    EXPECT_EQ(in.GetMidiInFilters(), CMidiIn::kDefaultFilters);
    in.Start();
    clock.StartSync(1000);
    const uint8_t msg[10] = {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7};
    ASSERT_TRUE(dsync::Loopback().FeedLong(0, msg, 10));
    std::vector<MidiEvent> got = ReadAll(in);
    ASSERT_EQ(got.size(), 10u);
    EXPECT_EQ(got[0].time, 994u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(got[i].status, 0xF0);
        EXPECT_EQ(got[i].data1, msg[i]);
        if (i) {
            EXPECT_EQ(got[i].time, 0u);
        }
    }
    // Early in the song the back-dated stamp stops at 0.
    clock.StartSync(2);
    ASSERT_TRUE(dsync::Loopback().FeedLong(0, msg, 10));
    EXPECT_EQ(in.MidiIn()->time, 0u);
    ReadAll(in);
    // A message longer than the free buffers: what does not fit is dropped and counted.
    std::vector<uint8_t> huge(4 * 256 + 10, 0x22);
    huge.front() = 0xF0;
    huge.back() = 0xF7;
    ASSERT_TRUE(dsync::Loopback().FeedLong(0, huge.data(), huge.size()));
    EXPECT_EQ(in.Dropped(), 1u);
    EXPECT_EQ(ReadAll(in).size(), 4u * 256);
    // Blocked system exclusive is not stored.
    in.SetMidiInFilters(CMidiIn::kDefaultFilters | 0x80);
    dsync::Loopback().FeedLong(0, msg, 10);
    EXPECT_EQ(in.MidiIn(), nullptr);
    in.SetMidiInFilters(CMidiIn::kDefaultFilters);
    ASSERT_TRUE(dsync::Loopback().FeedLong(0, msg, 10));
    EXPECT_EQ(ReadAll(in).size(), 10u);
}

TEST_F(MidiInTest, TempoChangeWhileRecording) {
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 10, &timer), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x20000), 0u);
    EXPECT_EQ(clock.midiIn, &in);
    in.Start();
    clock.SetTempo(600000); // not advancing: not recorded
    EXPECT_EQ(in.MidiIn(), nullptr);
    clock.StartSync(0);
    timer.Advance(10);
    Feed(0x90 | 60 << 8 | 1 << 16);
    timer.Advance(10);
    clock.SetTempo(500000);
    auto got = ReadAll(in);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].status, 0);
    EXPECT_EQ(got[1].time, clock.now.load());
    EXPECT_EQ(uint32_t(got[1].data1) << 16 | uint32_t(got[1].data2) << 8 | got[1].data3, 500000u);
    in.Close();
    EXPECT_EQ(clock.midiIn, nullptr);
}

TEST_F(MidiInTest, ExternalClockDrivesModeOne) {
    UseLoopback();
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 1, 1, &timer), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x20000), 0u);
    in.Start();
    clock.StartSync(0);
    EXPECT_FALSE(clock.state.load() & CSync::kAdvancing);
    Feed(0xFA); // Start: consumed
    EXPECT_TRUE(clock.state.load() & CSync::kAdvancing);
    // The source plays at 120 beats per minute: a clock every 500000 / 24 µs ≈ 20.83 ms.
    double nextClockMs = 0;
    for (int ms = 0; ms < 20000; ++ms) {
        timer.Advance(1);
        // Never past one tick short of the next clock position.
        EXPECT_LT(clock.now.load(), clock.clockTarget + clock.ticksPerClock);
        while (ms + 1 >= nextClockMs) {
            Feed(0xF8);
            nextClockMs += 500.0 / 24;
        }
    }
    EXPECT_EQ(in.MidiIn(), nullptr); // clock messages are not stored
    EXPECT_NEAR(double(clock.GetTempo()), 500000.0, 500000.0 * 0.01);
    // 20 s at 120 bpm × 480.
    EXPECT_NEAR(double(clock.now.load()), 40.0 * 480, 40.0 * 480 * 0.01);
    Feed(0xFC);
    EXPECT_FALSE(clock.state.load() & CSync::kAdvancing);
    // Without the sync option the clock message is stored.
    CMidiIn plain;
    ASSERT_EQ(plain.OpenMidiIn(win.Handle(), InputNumber("Loopback In 1"), &clock, 0), 0u);
    plain.Start();
    dsync::Loopback().FeedShort(1, 0xF8);
    ASSERT_NE(plain.MidiIn(), nullptr);
}

uint8_t QF(int piece, int nibble) {
    return uint8_t(piece << 4 | (nibble & 0xF));
}

// Sends the eight quarter frames of a full time code.
void SendTimeCode(CMidiIn&, int input, int frames, int seconds, int minutes, int hours, int rate) {
    int hr = hours | rate << 5;
    int v[8] = {frames & 0xF,  frames >> 4,  seconds & 0xF, seconds >> 4,
                minutes & 0xF, minutes >> 4, hr & 0xF,      hr >> 4};
    for (int p = 0; p < 8; ++p)
        dsync::Loopback().FeedShort(input, 0xF1u | uint32_t(QF(p, v[p])) << 8);
}

TEST_F(MidiInTest, TimeCodeDrivesTheSmpteTime) {
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 4, 0, &timer), 0u); // 25 frames/s
    EXPECT_EQ(clock.period, 500u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x20000), 0u);
    in.Start();
    clock.SetStartFrame(0x01000000); // 1:00:00:00
    clock.StartSync(0);
    // Pieces before all four bytes are known advance nothing.
    dsync::Loopback().FeedShort(0, 0xF1u | uint32_t(QF(1, 0)) << 8);
    EXPECT_EQ(clock.smpteTime.load(), 0u);
    SendTimeCode(in, 0, 10, 59, 59, 0, 1); // 00:59:59:10 at 25 fps
    EXPECT_EQ(clock.smpteRate, 4u);
    EXPECT_EQ(clock.smpteTime.load(), 0x003B3B0Bu);
    EXPECT_EQ(clock.now.load(), 0u); // before the start frame: no ticks
    // 14 more frames of quarter frames: two frames per eight pieces.
    int frame = 12;
    for (int i = 0; i < 7; ++i, frame += 2) SendTimeCode(in, 0, frame, 59, 59, 0, 1);
    EXPECT_EQ(clock.smpteTime.load(), 0x01000000u);
    EXPECT_FALSE(clock.state.load() & CSync::kSmpteStartReached);
    dsync::Loopback().FeedShort(0, 0xF1u | uint32_t(QF(0, 0)) << 8); // start reached at piece 0
    EXPECT_TRUE(clock.state.load() & CSync::kSmpteStartReached);
    EXPECT_GT(clock.now.load(), 0u);
    platform::Queue().Drain();
    EXPECT_EQ(win.Count(dsync::kMsgSmpteStart), 1u);
    EXPECT_GT(win.Count(dsync::kMsgSmpteAdvanced), 0u);
    EXPECT_EQ(in.MidiIn(), nullptr);
    // The watchdog's reset.
    CSync::SmpteStoppedTimer(0, 0, reinterpret_cast<uintptr_t>(&clock), 0, 0);
    EXPECT_EQ(clock.quarterFrame[0], 255);
    platform::Queue().Drain();
    EXPECT_EQ(win.Count(dsync::kMsgSmpteStopped), 1u);
}

TEST_F(MidiInTest, DropFrameSkipsFramesZeroAndOne) {
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 3, 0, &timer), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x20000), 0u);
    in.Start();
    clock.StartSync(0);
    SendTimeCode(in, 0, 27, 59, 0, 0, 2); // 00:00:59:27 at 29.97 drop
    EXPECT_EQ(clock.smpteRate, 3u);
    EXPECT_EQ(clock.smpteTime.load(), 0x00003B1Cu); // 28 after the closing frame
    dsync::Loopback().FeedShort(0, 0xF1u | uint32_t(QF(0, 0)) << 8);
    EXPECT_EQ(clock.smpteTime.load(), 0x00003B1Du);
    dsync::Loopback().FeedShort(0, 0xF1u | uint32_t(QF(4, 0)) << 8);
    EXPECT_EQ(clock.smpteTime.load(), 0x00010002u); // minute 1: frames 0 and 1 skipped
}

} // namespace
