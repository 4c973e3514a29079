// Integration with a real JACK server: the test starts `jackd -d dummy` under a name of its own,
// talks to Dendra's ports through a JACK client of its own, and stops the server by its process id.
#include "sync/messages.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync_test_util.h"
#include "tests/common/jack_server.h"

#include <fstream>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

pid_t g_server = -1;

struct Tester {
    jack_client_t* client = nullptr;
    jack_port_t* in = nullptr;
    jack_port_t* out = nullptr;
    std::mutex lock;
    std::vector<std::vector<uint8_t>> received;
    std::vector<std::vector<uint8_t>> toSend;
    // Generated streams: MIDI clock or quarter frames every `interval` frames.
    std::atomic<int> generate{0};   // 0 none, 1 clock, 2 quarter frames
    std::atomic<uint64_t> frame{0}; // the server's frames so far, as the process thread counts
    uint64_t nextEvent = 0, interval = 1000;
    int piece = 0;
    uint32_t smpteFrames = 0; // frames since 00:59:58:00 at 25 fps

    static int Process(jack_nframes_t n, void* arg) {
        auto* t = static_cast<Tester*>(arg);
        void* inBuf = jack_port_get_buffer(t->in, n);
        void* outBuf = jack_port_get_buffer(t->out, n);
        jack_midi_clear_buffer(outBuf);
        std::unique_lock<std::mutex> g(t->lock, std::try_to_lock);
        if (g) {
            jack_nframes_t count = jack_midi_get_event_count(inBuf);
            for (jack_nframes_t i = 0; i < count; ++i) {
                jack_midi_event_t ev;
                if (jack_midi_event_get(&ev, inBuf, i) == 0)
                    t->received.emplace_back(ev.buffer, ev.buffer + ev.size);
            }
            for (auto& m : t->toSend) jack_midi_event_write(outBuf, 0, m.data(), m.size());
            t->toSend.clear();
        }
        int mode = t->generate.load();
        while (mode && t->nextEvent < t->frame + n) {
            jack_nframes_t at =
                jack_nframes_t(t->nextEvent > t->frame ? t->nextEvent - t->frame : 0);
            uint8_t bytes[2];
            size_t len = 1;
            if (mode == 1) {
                bytes[0] = 0xF8;
            } else {
                // 00:59:58:00 + smpteFrames at 25 fps, rate code 1.
                uint32_t f = t->smpteFrames % 25, s = 58 + t->smpteFrames / 25;
                uint32_t m = 59, h = 0;
                if (s >= 60) {
                    s -= 60;
                    m = 0;
                    h = 1;
                }
                uint32_t hr = h | 1u << 5;
                uint32_t v[8] = {f & 15, f >> 4, s & 15, s >> 4, m & 15, m >> 4, hr & 15, hr >> 4};
                bytes[0] = 0xF1;
                bytes[1] = uint8_t(t->piece << 4 | v[t->piece]);
                len = 2;
                if (++t->piece == 8) {
                    t->piece = 0;
                    t->smpteFrames += 2;
                }
            }
            jack_midi_event_write(outBuf, at, bytes, len);
            t->nextEvent += t->interval;
        }
        t->frame += n;
        return 0;
    }

    bool Open() {
        jack_status_t st;
        client = jack_client_open("tester", JackNoStartServer, &st);
        if (!client) return false;
        in = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client, &Tester::Process, this);
        return in && out && jack_activate(client) == 0;
    }
    ~Tester() {
        if (client) {
            jack_deactivate(client);
            jack_client_close(client);
        }
    }
    void Send(std::vector<uint8_t> m) {
        std::lock_guard<std::mutex> g(lock);
        toSend.push_back(std::move(m));
    }
    std::vector<std::vector<uint8_t>> Received() {
        std::lock_guard<std::mutex> g(lock);
        return received;
    }
};

class JackTest : public testing::Test {
public:
    static void SetUpTestSuite() {
        g_server = jacktest::StartDummyServer(jacktest::ServerName("dendra-test"), "48000", "256");
    }
    static void TearDownTestSuite() { jacktest::StopServer(g_server); }

protected:
    void SetUp() override {
        if (g_server <= 0) GTEST_SKIP() << "jackd could not be started";
        ASSERT_TRUE(tester.Open());
        dsync::RefreshMidiDevices();
    }
    Tester tester;
    platform::MessageRecorder win;
};

TEST_F(JackTest, EveryPortIsADeviceAndOutputReachesIt) {
    uint32_t dev = OutputNumber("tester:in");
    ASSERT_NE(dev, 0xFFFFFFF0u);
    EXPECT_EQ(dsync::MidiOutputDevices()[0].name, "Dendra GM Synth");
    EXPECT_NE(InputNumber("tester:out"), 0xFFFFFFF0u);
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 1, nullptr), 0u);
    clock.SetResolution(1000);
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0x11020), 0u);
    std::vector<std::vector<uint8_t>> expect;
    clock.StartSync(0); // queued while started: system exclusive takes its turn in the ring
    for (int i = 0; i < 50; ++i) {
        EventMidi e(uint32_t(100 + i * 5), uint8_t(0xB0 | (i % 16)), uint8_t(i), uint8_t(127 - i));
        ASSERT_EQ(out.MidiOut(&e), 0u);
        expect.push_back({e.status, e.data1, e.data2});
    }
    const uint8_t sx[] = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0xF7};
    for (uint8_t b : sx) {
        EventMidi e(400, 0xF0, b, 0);
        ASSERT_EQ(out.MidiOut(&e), 0u);
    }
    expect.push_back(std::vector<uint8_t>(sx, sx + 6));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    auto got = tester.Received();
    EXPECT_EQ(got, expect);
    out.Close();
    clock.CloseSync();
}

TEST_F(JackTest, SourceDrivesMidiIn) {
    uint32_t dev = InputNumber("tester:out");
    ASSERT_NE(dev, 0xFFFFFFF0u);
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 0, 1, nullptr), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x33320), 0u);
    ASSERT_EQ(in.Start(), 0);
    clock.StartSync(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tester.Send({0x90, 60, 100});
    tester.Send({0xFE}); // active sensing: filtered
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tester.Send({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    tester.Send({0xC3, 5});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    uint32_t nowTick = clock.now.load();
    std::vector<MidiEvent> got;
    while (MidiEvent* e = in.MidiIn()) got.push_back(*e);
    // Long buffers are handed out first.
    ASSERT_EQ(got.size(), 8u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[size_t(i)].status, 0xF0);
    EXPECT_EQ(got[0].data1, 0xF0);
    EXPECT_EQ(got[5].data1, 0xF7);
    EXPECT_GT(got[0].time, 0u);
    EXPECT_EQ(got[6].status, 0x90);
    EXPECT_EQ(got[6].data1, 60);
    EXPECT_EQ(got[7].status, 0xC3);
    EXPECT_GT(got[6].time, 30u);              // about 100 ms in, at 480 ticks a second
    EXPECT_GT(got[7].time, got[6].time + 30); // another 100 ms later
    EXPECT_LE(got[7].time, nowTick);
    in.Close();
}

TEST_F(JackTest, MidiClockDrivesModeOne) {
    uint32_t dev = InputNumber("tester:out");
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 1, 1, nullptr), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x20000), 0u);
    ASSERT_EQ(in.Start(), 0);
    clock.StartSync(0);
    tester.Send({0xFA});
    tester.interval = 1000; // 48000 frames/s: 48 clocks a second, 120 beats per minute
    tester.nextEvent = tester.frame + 2000;
    tester.generate.store(1);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const uint64_t fa = tester.frame.load();
    uint32_t a = clock.now.load();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    uint32_t b = clock.now.load();
    const uint64_t fb = tester.frame.load();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    tester.generate.store(0);
    EXPECT_TRUE(clock.state.load() & CSync::kAdvancing);
    // The tempo follows the latest clocks as this machine's clock times them: a server that falls
    // behind the wall clock makes it slower by as much, and a cycle it misses on a busy machine
    // moves it by a few percent.
    const double secs = double(fb - fa) / 48000.0;
    ASSERT_GT(secs, 1.0);
    EXPECT_NEAR(clock.GetTempo(), 500000.0 * wall / secs, 25000.0);
    // The clocks come at the server's pace, which on a busy machine falls behind the wall
    // clock: the ticks are counted against the server's own seconds. Within 1%, plus one
    // clock's step and a server period at each end (the frame count moves a period at a time).
    EXPECT_NEAR((b - a) / secs, 960.0, 9.6 + (20.0 + 2.0 * 1024.0 / 48000.0 * 960.0) / secs);
    EXPECT_EQ(in.MidiIn(), nullptr);
    in.Close();
}

TEST_F(JackTest, QuarterFramesDriveTheSmpteTime) {
    uint32_t dev = InputNumber("tester:out");
    CSync clock;
    ASSERT_EQ(clock.OpenSync(win.Handle(), 4, 0, nullptr), 0u);
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x20000), 0u);
    ASSERT_EQ(in.Start(), 0);
    clock.SetStartFrame(0x01000000);
    clock.StartSync(0);
    tester.interval = 480; // a quarter frame every 10 ms: 25 frames a second
    tester.nextEvent = tester.frame + 480;
    tester.generate.store(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    tester.generate.store(0);
    uint32_t smpte = clock.smpteTime.load();
    EXPECT_EQ(clock.smpteRate, 4u);
    EXPECT_EQ(smpte >> 24, 1u); // past 01:00:00:00
    EXPECT_TRUE(clock.state.load() & CSync::kSmpteStartReached);
    EXPECT_GT(clock.now.load(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    platform::Queue().Drain();
    EXPECT_EQ(win.Count(dsync::kMsgSmpteStart), 1u);
    EXPECT_GE(win.Count(dsync::kMsgSmpteStopped), 1u); // the source stopped: the watchdog says so
    in.Close();
}

} // namespace

namespace {

// Alive: the process exists and has not ended (an ended one may wait as a zombie for its reaper).
bool ProcessAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// A test program that is killed (a timeout, Ctrl-C) must not leave its server running.
TEST(JackServerProcess, EndsWhenItsTestProgramIsKilled) {
    if (jacktest::FindJackd().empty()) GTEST_SKIP() << "jackd is not installed";
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        // Stands for a test program: starts its server, reports it, and waits to be killed.
        close(pipeFds[0]);
        const pid_t server =
            jacktest::StartDummyServer(jacktest::ServerName("dendra-orphan"), "48000", "1024");
        ssize_t written = write(pipeFds[1], &server, sizeof server);
        (void)written;
        for (;;) pause();
    }
    close(pipeFds[1]);
    pid_t server = -1;
    ASSERT_EQ(read(pipeFds[0], &server, sizeof server), ssize_t(sizeof server));
    close(pipeFds[0]);
    ASSERT_GT(server, 0) << "the server did not start";
    ASSERT_TRUE(ProcessAlive(server));

    kill(program, SIGKILL);
    int status = 0;
    waitpid(program, &status, 0);
    // The server is the killed program's child: it ends, and init reaps it.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = !ProcessAlive(server);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!gone) kill(server, SIGKILL);
    EXPECT_TRUE(gone) << "the server outlived its test program";
    // Killed, it kept its place in JACK's registry of servers: give it back.
    jacktest::Reclaim(jacktest::ServerName("dendra-orphan"));
}

} // namespace
