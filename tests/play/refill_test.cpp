// A million events through the play engine on the manual timer: the rings are refilled in time,
// so no event is sent late and each goes out in the period of its tick, in order.
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "tests/song/song_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace songtest;

namespace {

uint32_t LoopbackNumber(int port) {
    auto v = dsync::MidiOutputDevices();
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].name == "Loopback Out " + std::to_string(port)) return uint32_t(i);
    return 0xFFFFFFF0u;
}

// One loopback output on a clock driven by hand.
class OnePort : public PlayDevices {
public:
    OnePort(platform::Window window, int port) {
        dsync::EnableLoopbackDevices(true);
        dsync::RefreshMidiDevices();
        opened = clock.OpenSync(window, 0, 1, &timer) == 0 &&
                 out.OpenMidiOut(window, LoopbackNumber(port), &clock, 0) == 0;
    }
    ~OnePort() override {
        out.Close();
        clock.CloseSync();
        platform::Queue().Drain();
    }
    CSync* Clock() override { return &clock; }
    CMidiOut* MidiOutAt(uint32_t) override { return nullptr; }
    CMidiOut* DefaultMidiOut() override { return &out; }
    std::vector<CMidiOut*> OpenMidiOuts() override { return {&out}; }
    CWaveOut* DefaultWaveOut() override { return nullptr; }
    CMidiIn* DefaultMidiIn() override { return nullptr; }

    platform::ManualTimer timer;
    CSync clock;
    CMidiOut out;
    bool opened = false;
};

} // namespace

// One beat of a thousand notes, one on every tick, looped for a thousand beats: a million events,
// about sixteen a period at 960 beats per minute, through a ring of 64 messages refilled a
// quarter at a time. What the port received is checked and forgotten batch by batch, so the test
// keeps only counts.
TEST(PlayEngineRefill, AMillionEventsPlayWithNoneLate) {
    platform::ScopedRecordingMessages messages;
    constexpr uint32_t kPerBeat = 1000;
    constexpr uint32_t kBeats = 1000;
    constexpr uint64_t kEvents = uint64_t(kPerBeat) * kBeats;
    constexpr int kPort = 1;
    CPlayEngine engine;
    OnePort dev(engine.Window(), kPort);
    ASSERT_TRUE(dev.opened);
    std::vector<EventMidi*> notes;
    for (uint32_t i = 0; i < kPerBeat; ++i) notes.push_back(Note(i, uint8_t(36 + i % 48), 90, 1));
    CSongDoc song;
    song.OnNewDocument();
    ASSERT_EQ(song.IncludeDocument(List(1000, notes)), 1);
    song.Settings(0).loop = 1;
    song.Settings(0).loopLength = kPerBeat;
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    song.Prepare(); // a prepared song keeps the loop end it is given
    engine.SetLoopEnd(kBeats);
    ASSERT_TRUE(engine.SetTempoBpm(960));

    dsync::LoopbackOutputState& rec = dsync::Loopback().Output(kPort);
    rec.ConnectTo(-1);
    rec.Reserve(8192);
    ASSERT_TRUE(engine.Play());
    const size_t setup = rec.Count(); // the entry's controllers, sent at once
    rec.Clear();

    uint64_t noteOns = 0, noteOffs = 0, lost = 0, early = 0, late = 0, disorder = 0;
    uint32_t lastOff = 0;
    auto check = [&] {
        for (size_t i = 0; i < rec.Count(); ++i) {
            const dsync::LoopbackRecord& r = rec.Record(i);
            const uint32_t kind = r.message & 0xF0, velocity = (r.message >> 16) & 0x7F;
            if (kind == 0x90 && velocity > 0) {
                // The n-th note-on belongs to tick n.
                if (r.at.tick != noteOns) ++disorder;
                ++noteOns;
            } else if (kind == 0x80 || kind == 0x90) {
                // Each note ends on the next tick.
                if (r.at.tick != noteOffs + 1 || r.at.tick < lastOff) ++disorder;
                lastOff = r.at.tick;
                ++noteOffs;
            } else {
                continue; // the all-notes-off of the stop at the end
            }
            // Sent in the period that holds its tick: the period's deadline is at or after the
            // tick's exact time, by at most a period (the whole first period for tick 0).
            const int64_t lead = r.at.deadlineNs - r.at.exactNs;
            if (lead < 0) ++early;
            if (lead > 1000000) ++late;
        }
        lost += rec.Dropped();
        rec.Clear();
    };
    uint64_t periods = 0;
    // About 62,500 periods; the limit only stops a runaway.
    while (engine.IsPlaying() && periods < 100000) {
        dev.timer.Advance(1);
        platform::Queue().Drain();
        if (++periods % 128 == 0) check();
    }
    check();

    EXPECT_GT(setup, 0u);
    EXPECT_FALSE(engine.IsPlaying()); // ended by the beat handler at the loop end
    EXPECT_EQ(engine.EventsSent(), kEvents);
    EXPECT_EQ(engine.LateEvents(), 0u);
    EXPECT_GT(engine.Fills(), kEvents / 64);
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(noteOns, kEvents);
    EXPECT_EQ(noteOffs, kEvents);
    EXPECT_EQ(disorder, 0u);
    EXPECT_EQ(early, 0u);
    EXPECT_EQ(late, 0u);
    EXPECT_TRUE(messages.Shown().empty());
}
