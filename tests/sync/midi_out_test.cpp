#include "platform/named_mutex.h"
#include "platform/user_messages.h"
#include "sync/messages.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync_test_util.h"

#include <gtest/gtest.h>

namespace {

class MidiOutTest : public testing::Test {
protected:
    void SetUp() override {
        UseLoopback();
        ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 10, &timer), 0u);
        dev = OutputNumber("Loopback Out 0");
    }
    void TearDown() override { clock.CloseSync(); }
    std::vector<uint32_t> Sent() { return dsync::Loopback().Output(0).ShortMessages(); }

    platform::MessageRecorder win;
    platform::ManualTimer timer;
    CSync clock;
    uint32_t dev = 0;
};

TEST_F(MidiOutTest, NoteOnSchedulesItsNoteOff) {
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    EventMidi e(100, 0x93, 60, 90, 50);
    ASSERT_EQ(out.MidiOut(&e), 0u);
    clock.SetResolution(1000); // one tick per millisecond
    clock.StartSync(0);
    auto& rec = dsync::Loopback().Output(0);
    std::vector<std::pair<uint32_t, uint32_t>> seen; // message, tick when sent
    for (int i = 0; i < 30; ++i) {
        size_t before = rec.Count();
        timer.Advance(1);
        for (size_t k = before; k < rec.Count(); ++k)
            seen.push_back({rec.Record(k).message, clock.now.load()});
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, 0x93u | 60u << 8 | 90u << 16);
    EXPECT_EQ(seen[0].second, 100u);
    EXPECT_EQ(seen[1].first, 0x83u | 60u << 8);
    EXPECT_EQ(seen[1].second, 150u);
    EXPECT_FALSE(out.Sounding(60, 3));
}

TEST_F(MidiOutTest, RingCapacityAndRefill) {
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    EXPECT_EQ(out.capacity, 64u);
    for (uint32_t i = 0; i < 64; ++i) {
        EventMidi e(i * 10, 0xB0, 1, uint8_t(i));
        ASSERT_EQ(out.MidiOut(&e), 0u);
    }
    EventMidi extra(1000, 0xB0, 1, 1);
    EXPECT_EQ(out.MidiOut(&extra), dsync::kQueueFull);
    clock.SetResolution(1000);
    clock.StartSync(0);
    // One item per period: the refill request comes when 16 are left, once.
    for (int i = 0; i < 64; ++i) {
        timer.Advance(1);
        platform::Queue().Drain();
        if (win.Count(dsync::kMsgRefill)) {
            EXPECT_EQ(out.Count(), 16u);
            break;
        }
    }
    ASSERT_EQ(win.Count(dsync::kMsgRefill), 1u);
    EXPECT_EQ(win.Received().back().lParam, reinterpret_cast<intptr_t>(&out));
    timer.Advance(100);
    platform::Queue().Drain();
    EXPECT_EQ(win.Count(dsync::kMsgRefill), 1u);
    EXPECT_EQ(Sent().size(), 64u);
}

TEST_F(MidiOutTest, TempoItems) {
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    EventMidi zero(5, 0, 0, 0, 0, 0);
    EventMidi fast(20, 0, 0x07, 0xA1, 0, 0x20); // 500000 µs
    EventMidi tooFast(30, 0, 0, 0x0F, 0, 0xA0); // 4000 µs: 15000 beats per minute
    out.MidiOut(&zero);
    out.MidiOut(&fast);
    out.MidiOut(&tooFast);
    clock.StartSync(0);
    timer.Advance(3); // tick 14
    EXPECT_EQ(clock.GetTempo(), 1000000u);
    timer.Advance(3);
    EXPECT_EQ(clock.GetTempo(), 500000u);
    timer.Advance(10);
    EXPECT_EQ(clock.GetTempo(), 500000u);
    platform::Queue().Drain();
    ASSERT_EQ(win.Count(dsync::kMsgTempo), 1u);
    for (const auto& m : win.Received())
        if (m.message == dsync::kMsgTempo) {
            EXPECT_EQ(m.wParam, 120u);
        }
    EXPECT_TRUE(Sent().empty()); // tempo items are not sent
}

TEST_F(MidiOutTest, NotesOffSilencesExactlyWhatSounds) {
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    EventMidi a(kSendNow, 0x90, 60, 100), b(kSendNow, 0x99, 64, 100), c(kSendNow, 0x90, 62, 100),
        cOff(kSendNow, 0x90, 62, 0);
    for (EventMidi* e : {&a, &b, &c, &cOff}) out.MidiOut(e);
    EXPECT_TRUE(out.Sounding(60, 0));
    EXPECT_TRUE(out.Sounding(64, 9));
    EXPECT_FALSE(out.Sounding(62, 0));
    dsync::Loopback().Output(0).Clear();
    int resets = dsync::Loopback().Output(0).Resets();
    out.NotesOff();
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 18u);
    EXPECT_EQ(sent[0], 0x90u | 60u << 8);
    EXPECT_EQ(sent[1], 0x99u | 64u << 8);
    for (uint32_t ch = 0; ch < 16; ++ch) EXPECT_EQ(sent[2 + ch], 0xB0u | ch | 123u << 8);
    EXPECT_EQ(dsync::Loopback().Output(0).Resets(), resets + 1);
    EXPECT_FALSE(out.Sounding(60, 0));
}

TEST_F(MidiOutTest, FiltersAndKinds) {
    EXPECT_EQ(dsync::MidiKind(0x80), 0);
    EXPECT_EQ(dsync::MidiKind(0x9F), 1);
    EXPECT_EQ(dsync::MidiKind(0xE3), 6);
    EXPECT_EQ(dsync::MidiKind(0xF0), 7);
    EXPECT_EQ(dsync::MidiKind(0xF6), 13);
    EXPECT_EQ(dsync::MidiKind(0xF7), -1);
    EXPECT_EQ(dsync::MidiKind(0xF8), 14);
    EXPECT_EQ(dsync::MidiKind(0xFA), 16);
    EXPECT_EQ(dsync::MidiKind(0xFC), 18);
    EXPECT_EQ(dsync::MidiKind(0xFF), 21);
    EXPECT_EQ(dsync::MidiKind(0), -1);
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    EXPECT_EQ(out.GetMidiOutFilters(), 0x80u); // system exclusive not enabled
    out.SetMidiOutFilters(0x80 | 0x02);
    EventMidi on(kSendNow, 0x90, 60, 100), off(kSendNow, 0x80, 60, 0);
    EXPECT_EQ(out.MidiOut(&on), 0u);
    EXPECT_EQ(out.MidiOut(&off), 0u);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0] & 0xF0, 0x80u);
    EventMidi sysex(10, 0xF0, 0xF0, 0);
    EXPECT_EQ(out.MidiOut(&sysex), 0u); // filtered
    EXPECT_EQ(out.Count(), 0u);
}

TEST_F(MidiOutTest, SystemExclusiveThroughLongBuffers) {
    CMidiOut out;
    // Sysex on, 4 buffers of 64 bytes.
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0x11004), 0u);
    EXPECT_EQ(out.GetMidiOutFilters(), 0u);
    const uint8_t msg[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    // Clock not started: straight into the stream.
    for (uint8_t b : msg) {
        EventMidi e(0, 0xF0, b, 0);
        EXPECT_EQ(out.MidiOut(&e), 0u);
    }
    auto& rec = dsync::Loopback().Output(0);
    ASSERT_EQ(rec.Count(), 1u);
    EXPECT_EQ(rec.Sysex(rec.Record(0)), std::vector<uint8_t>(msg, msg + 6));
    // Queued while playing, the closing byte is taken with the rest even before its time; a long
    // message of 70 bytes fills one buffer and continues in the next.
    clock.StartSync(0);
    std::vector<uint8_t> longMsg(70, 0x11);
    longMsg.front() = 0xF0;
    longMsg.back() = 0xF7;
    for (size_t i = 0; i < longMsg.size(); ++i) {
        EventMidi e(i + 1 == longMsg.size() ? 100000 : 1, 0xF0, longMsg[i], 0);
        ASSERT_EQ(out.MidiOut(&e), 0u);
    }
    timer.Advance(1);
    ASSERT_EQ(rec.Count(), 3u);
    auto first = rec.Sysex(rec.Record(1)), second = rec.Sysex(rec.Record(2));
    EXPECT_EQ(first.size(), 64u);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, longMsg);
    EXPECT_EQ(clock.longInFlight.load(), 0u);
    EXPECT_FALSE(out.flags.load() & CMidiOut::kLongInFlight);
    // Blocking system exclusive disables it; letting it through enables it again.
    out.SetMidiOutFilters(0x80);
    EXPECT_FALSE(out.flags.load() & CMidiOut::kSysexEnabled);
    EXPECT_TRUE(out.longBuffers.empty());
    out.SetMidiOutFilters(0);
    EXPECT_TRUE(out.flags.load() & CMidiOut::kSysexEnabled);
    EXPECT_FALSE(out.longBuffers.empty());
}

TEST_F(MidiOutTest, ImmediateSysexIgnoredAndNoClockWarns) {
    platform::ScopedRecordingMessages said;
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, nullptr, 0x10004), 0u);
    EventMidi sx(kSendNow, 0xF0, 0xF0, 0);
    EXPECT_EQ(out.MidiOut(&sx), 0u);
    EXPECT_EQ(dsync::Loopback().Output(0).Count(), 0u);
    EventMidi e(10, 0x90, 60, 1, 5);
    EXPECT_EQ(out.MidiOut(&e), 0u);
    ASSERT_EQ(said.Shown().size(), 1u);
    EXPECT_EQ(said.Shown()[0], "Problem in Syncronizer. Tell Dorvan.");
}

TEST_F(MidiOutTest, BadDeviceAndSharedPortClosedOnce) {
    CMidiOut bad;
    EXPECT_EQ(bad.OpenMidiOut(win.Handle(), 5000, &clock, 0), dsync::kBadDeviceId);
    uint32_t d3 = OutputNumber("Loopback Out 3");
    auto& rec = dsync::Loopback().Output(3);
    int opens = rec.Opens(), closes = rec.Closes();
    {
        CMidiOut a, b;
        ASSERT_EQ(a.OpenMidiOut(win.Handle(), d3, &clock, 0), 0u);
        ASSERT_EQ(b.OpenMidiOut(win.Handle(), d3, &clock, 0), 0u);
        EXPECT_EQ(rec.Opens(), opens + 1);
        EXPECT_EQ(clock.OutputCount(), 2u);
        a.Close();
        EXPECT_EQ(rec.Closes(), closes);
        EventMidi e(kSendNow, 0x90, 1, 1);
        b.MidiOut(&e);
        EXPECT_EQ(rec.ShortMessages().back(), e.ShortMessage());
        b.Close();
        EXPECT_EQ(rec.Closes(), closes + 1);
        EXPECT_EQ(clock.OutputCount(), 0u);
    }
    EXPECT_EQ(rec.Closes(), closes + 1);
}

TEST_F(MidiOutTest, QuickOutPlaysRelativeToNow) {
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    clock.SetResolution(1000);
    clock.StartSync(500);
    CNoteEventList list;
    list.Add(new EventMidi(0, 0x90, 70, 80));
    list.Add(new EventMidi(25, 0x80, 70, 0));
    out.QuickOut(&list);
    EXPECT_EQ(list.head->time, 500u); // the caller's list is moved to now
    timer.Advance(1);                 // 510
    ASSERT_EQ(Sent().size(), 1u);
    timer.Advance(1); // 520
    EXPECT_EQ(Sent().size(), 1u);
    timer.Advance(1); // 530
    EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(MidiOutTest, ResetAndFlushEmptyEverything) {
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    for (int i = 0; i < 10; ++i) {
        EventMidi e(1000 + i, 0x90, 60, 100, 100);
        out.MidiOut(&e);
    }
    EXPECT_EQ(out.Count(), 10u);
    out.FlushMidiOut();
    EXPECT_EQ(out.Count(), 0u);
    EXPECT_FALSE(out.noteOffList.IsEmpty());
    out.ResetMidiOut();
    EXPECT_TRUE(out.noteOffList.IsEmpty());
    clock.StartSync(0);
    timer.Advance(1000);
    EXPECT_EQ(Sent().size(), 16u); // only the all-notes-off controllers of the reset
}

TEST_F(MidiOutTest, VolumeAndBalance) {
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0), 0u);
    dsync::Loopback().Output(0); // full volume both sides
    EXPECT_FLOAT_EQ(out.GetBalance(), 0.5f);
    out.SetBalance(0.0f);
    EXPECT_FLOAT_EQ(out.GetBalance(), 0.0f);
    EXPECT_EQ(dsync::Loopback().Output(0).VolumeWord(), 0xFFFFu);
    out.SetVolume(0.5f);
    EXPECT_NEAR(out.GetVolume(), 0.5f, 1e-4);
    out.SetBalance(0.75f);
    EXPECT_NEAR(out.GetBalance(), 0.75f, 1e-3);
}

} // namespace
