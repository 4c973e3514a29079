// The tick thread against the user-interface thread on the rings, the lists and the clock's
// controls, and a driver thread feeding an input. Run under ThreadSanitizer (label tsan).
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync_test_util.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(SyncStress, TickAgainstUserInterfaceThread) {
    UseLoopback();
    dsync::Loopback().Output(0).Reserve(1 << 20);
    dsync::Loopback().Output(0).ConnectTo(0); // what goes out arrives at input 0
    platform::MessageRecorder win;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 1, nullptr), 0u);
    clock.SetResolution(1000);
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), OutputNumber("Loopback Out 0"), &clock, 0x33304), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), InputNumber("Loopback In 0"), &clock, 0x23304), 0u);
    ASSERT_EQ(in.Start(), 0);

    std::atomic<bool> stop{false};
    // A second driver thread feeding the input directly.
    std::thread driver([&] {
        uint32_t i = 0;
        const uint8_t sx[] = {0xF0, 1, 2, 3, 0xF7};
        while (!stop.load()) {
            dsync::Loopback().FeedShort(0, 0xB0 | (i % 128) << 16);
            if (i % 50 == 0) dsync::Loopback().FeedLong(0, sx, sizeof sx);
            ++i;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    clock.StartSync(0);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    uint32_t round = 0;
    size_t read = 0;
    while (std::chrono::steady_clock::now() < end) {
        uint32_t base = clock.now.load();
        for (int k = 0; k < 20; ++k) {
            EventMidi e(base + uint32_t(k), 0x90, uint8_t(k), 100, 3);
            out.MidiOut(&e);
        }
        if (round % 3 == 0) {
            for (uint8_t b : {0xF0, 0x10, 0x20, 0xF7}) {
                EventMidi s(base + 2, 0xF0, b, 0);
                out.MidiOut(&s);
            }
        }
        CNoteEventList quick;
        quick.Add(new EventMidi(1, 0x91, 40, 90));
        quick.Add(new EventMidi(4, 0x81, 40, 0));
        out.QuickOut(&quick);
        if (round % 10 == 5) out.FlushMidiOut();
        if (round % 25 == 7) out.ResetMidiOut();
        if (round % 40 == 13) clock.SetTempo(round % 80 == 13 ? 500000 : 1000000);
        if (round % 60 == 21) {
            clock.StopSync();
            clock.StartSync(base);
        }
        if (round % 35 == 3) {
            CMidiOut extra;
            extra.OpenMidiOut(win.Handle(), OutputNumber("Loopback Out 1"), &clock, 0);
            EventMidi e(base + 1, 0x92, 1, 1, 1);
            extra.MidiOut(&e);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        while (in.MidiIn()) ++read;
        platform::Queue().Drain();
        ++round;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        (void)out.Count();
        (void)clock.state.load();
    }
    stop.store(true);
    driver.join();
    clock.StopSync();
    in.Close();
    out.Close();
    clock.CloseSync();
    platform::Queue().Drain();
    EXPECT_GT(read, 1000u);
    EXPECT_GT(dsync::Loopback().Output(0).Count(), 1000u);
    for (uint32_t key = 0; key < 128; ++key) EXPECT_FALSE(out.Sounding(uint8_t(key), 0));
    dsync::Loopback().Output(0).ConnectTo(-1);
}

} // namespace
