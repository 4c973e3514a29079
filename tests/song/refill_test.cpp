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
#include "tests/song/loopback_devices.h"
#include "tests/song/song_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace songtest;

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
    playtest::LoopbackDevices dev(engine.Window(), {.firstPort = kPort});
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
