// The tick thread against the user-interface thread on the rings, the lists and the clock's
// controls, and a driver thread feeding an input; the same on the JACK driver against a server's
// process thread. Run under ThreadSanitizer (label tsan).
#include "sync/drivers/synth/gm_synth.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/mixer/audio_output.h"
#include "sync/mixer/synth_source.h"
#include "sync/sync.h"
#include "sync_test_util.h"
#include "tests/common/jack_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

extern char** environ;

// The built-in synthesizer's library runs an OpenMP thread pool, whose runtime the sanitizer cannot
// see into: what it allocates and frees on its own threads is not ours to report.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libgomp.so.1\n";
}

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

namespace {

// Runs a JACK example client (its output discarded) in a process of its own, as the other ends of
// Dendra's ports are in use: the sanitizer then watches Dendra's threads only, never libjack
// handing a cycle from one client to the next (through futexes it cannot see).
pid_t SpawnClient(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

void EndClient(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

// The JACK MIDI driver and the built-in synthesizer on a JACK server of the test's own: the clock
// thread and the user-interface thread against the server's process thread, with ports opening
// and closing while it runs. A looping sequencer feeds the input; a monitor takes the output.
TEST(SyncStress, JackDriverAgainstTheServerThread) {
    if (jacktest::FindJackd().empty()) GTEST_SKIP() << "jackd is not installed";
    const pid_t server = jacktest::StartDummyServer(jacktest::ServerName("dendra-stress"), "48000",
                                                    "64", {}, {"-S"});
    ASSERT_GT(server, 0);
    const pid_t source =
        SpawnClient({"jack_midiseq", "source", "4800", "0", "60", "100", "2400", "64", "100"});
    const pid_t sink = SpawnClient({"jack_midi_dump", "sink"});
    if (source <= 0 || sink <= 0) {
        EndClient(source);
        EndClient(sink);
        jacktest::StopServer(server);
        GTEST_SKIP() << "jack_midiseq and jack_midi_dump are not installed";
    }
    dsync::EnableLoopbackDevices(false);
    uint32_t input = 0xFFFFFFF0u, output = 0xFFFFFFF0u;
    for (int i = 0; i < 200 && (input == 0xFFFFFFF0u || output == 0xFFFFFFF0u); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        dsync::RefreshMidiDevices();
        input = InputNumber("source:out");
        output = OutputNumber("sink:input");
    }
    {
        ASSERT_NE(input, 0xFFFFFFF0u);
        ASSERT_NE(output, 0xFFFFFFF0u);
        dsync::GmSynth& synth = dsync::BuiltInSynth();
        synth.SetSoundFontSetting("/usr/share/sounds/sf2/TimGM6mb.sf2");
        synth.Unload();
        ASSERT_TRUE(synth.Load(48000));
        dsync::mixer::AudioMixer mixer(48000);
        dsync::mixer::JackOutput audio(mixer);
        ASSERT_TRUE(audio.Open("stress"));
        ASSERT_TRUE(audio.Start(false));
        dsync::mixer::SynthSource voice(synth);
        ASSERT_TRUE(mixer.AddSource(&voice));
        platform::MessageRecorder win;
        CSync clock;
        ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 1, nullptr), 0u);
        clock.SetResolution(1000);
        CMidiOut out, toSynth;
        ASSERT_EQ(out.OpenMidiOut(win.Handle(), output, &clock, 0x33304), 0u);
        ASSERT_EQ(toSynth.OpenMidiOut(win.Handle(), 0, &clock, 0x3000), 0u);
        auto in = std::make_unique<CMidiIn>();
        ASSERT_EQ(in->OpenMidiIn(win.Handle(), input, &clock, 0x3000), 0u);
        ASSERT_EQ(in->Start(), 0);
        clock.StartSync(0);
        size_t read = 0;
        uint32_t round = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end) {
            const uint32_t base = clock.now.load();
            for (int k = 0; k < 8; ++k) {
                EventMidi e(base + uint32_t(k) * 3, 0x90, uint8_t(40 + k), 100, 4);
                out.MidiOut(&e);
                toSynth.MidiOut(&e);
            }
            if (round % 5 == 0) {
                for (uint8_t b : {0xF0, 0x7D, 0x01, 0xF7}) {
                    EventMidi s(base + 1, 0xF0, b, 0);
                    out.MidiOut(&s);
                }
            }
            CNoteEventList quick;
            quick.Add(new EventMidi(1, 0x91, 50, 90));
            quick.Add(new EventMidi(3, 0x81, 50, 0));
            out.QuickOut(&quick);
            if (round % 17 == 3) out.NotesOff();
            if (round % 29 == 7) out.ResetMidiOut();
            if (round % 41 == 11) clock.SetTempo(round % 82 == 11 ? 500000 : 1000000);
            if (round % 53 == 13) {
                clock.StopSync();
                clock.StartSync(base);
            }
            if (round % 37 == 5) {
                // A port joins and leaves the running callback; the input is opened anew.
                CMidiOut extra;
                extra.SetPortName("extra");
                extra.OpenMidiOut(win.Handle(), output, &clock, 0);
                EventMidi e(base + 1, 0x92, 1, 1, 1);
                extra.MidiOut(&e);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                in = std::make_unique<CMidiIn>();
                in->OpenMidiIn(win.Handle(), input, &clock, 0x3000);
                in->Start();
            }
            while (in->MidiIn()) ++read;
            platform::Queue().Drain();
            ++round;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        clock.StopSync();
        in->Close();
        out.Close();
        toSynth.Close();
        clock.CloseSync();
        mixer.RemoveSource(&voice);
        audio.Close();
        platform::Queue().Drain();
        EXPECT_GT(read, 10u); // the sequencer's notes came through, reopened or not
        EXPECT_GT(round, 100u);
    }
    EndClient(source);
    EndClient(sink);
    jacktest::StopServer(server);
}

} // namespace
