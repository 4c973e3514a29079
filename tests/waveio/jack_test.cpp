// The wave output and input against a real JACK server (the dummy backend at 44.1 kHz, the rate of
// the 44.1 kHz capture formats), started and stopped by process id under a name of its own.
#include "platform/message_queue.h"
#include "sync/mixer/audio_output.h"
#include "sync/mixer/capture.h"
#include "sync/sync.h"
#include "sync/wave_in.h"
#include "sync/wave_out.h"
#include "tests/waveio/waveio_util.h"

#include <gtest/gtest.h>

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dsync::mixer;

namespace {

std::string FindJackd() {
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::string candidate = p.substr(start, end - start) + "/jackd";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

class JackServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        jackd_ = FindJackd();
        if (jackd_.empty()) return;
        name_ = "dendra-waveio-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(jackd_.c_str(), "jackd", "-n", name_.c_str(), "-d", "dummy", "-r", "44100", "-p",
                  "256", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !JackServerRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        up_ = JackServerRunning();
    }
    static void TearDownTestSuite() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (waitpid(pid_, &status, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
        pid_ = -1;
    }
    void SetUp() override {
        if (jackd_.empty()) GTEST_SKIP() << "jackd is not installed";
        ASSERT_TRUE(up_) << "the JACK server did not start";
    }

    static inline std::string jackd_, name_;
    static inline pid_t pid_ = -1;
    static inline bool up_ = false;
};

// A test client with two ports of one direction; input ports record into preallocated buffers,
// output ports play a counting sequence.
class TestClient {
public:
    TestClient(const char* name, bool input, uint32_t capacity) : input_(input) {
        client_ = jack_client_open(name, JackNoStartServer, nullptr);
        if (!client_) return;
        left_.assign(capacity, 0.0f);
        right_.assign(capacity, 0.0f);
        unsigned long flags = input ? JackPortIsInput : JackPortIsOutput;
        ports_[0] = jack_port_register(client_, "a", JACK_DEFAULT_AUDIO_TYPE, flags, 0);
        ports_[1] = jack_port_register(client_, "b", JACK_DEFAULT_AUDIO_TYPE, flags, 0);
        jack_set_process_callback(client_, &TestClient::Process, this);
        jack_set_xrun_callback(client_, &TestClient::Xrun, this);
        jack_activate(client_);
    }
    ~TestClient() {
        if (client_) jack_client_close(client_);
    }
    bool Ok() const { return client_ != nullptr; }
    std::string Port(int c) const { return jack_port_name(ports_[c]); }
    bool Connect(const std::string& from, const std::string& to) {
        return jack_connect(client_, from.c_str(), to.c_str()) == 0;
    }
    void Disconnect() {
        for (auto* p : ports_) jack_port_disconnect(client_, p);
    }
    uint32_t Frames() const { return count_.load(std::memory_order_acquire); }
    uint64_t Xruns() const { return xruns_.load(); }
    std::vector<float> left_, right_;

private:
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<TestClient*>(arg);
        auto* a = static_cast<float*>(jack_port_get_buffer(self->ports_[0], frames));
        auto* b = static_cast<float*>(jack_port_get_buffer(self->ports_[1], frames));
        uint32_t at = self->count_.load(std::memory_order_relaxed);
        for (jack_nframes_t i = 0; i < frames; ++i, ++at) {
            if (self->input_) {
                if (at >= self->left_.size()) break;
                self->left_[at] = a[i];
                self->right_[at] = b[i];
            } else {
                float v = float(at % 30000 + 1) / 32768.0f;
                a[i] = v;
                b[i] = -v;
            }
        }
        self->count_.store(at, std::memory_order_release);
        return 0;
    }
    static int Xrun(void* arg) {
        static_cast<TestClient*>(arg)->xruns_.fetch_add(1);
        return 0;
    }
    bool input_;
    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[2] = {nullptr, nullptr};
    std::atomic<uint32_t> count_{0};
    std::atomic<uint64_t> xruns_{0};
};

void Pump(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        platform::Queue().Wait(5);
        platform::Queue().Drain();
    }
}

} // namespace

// A wave played through CWaveOut on the real clock arrives at a JACK input port sample for sample
// after its gain and pan, with no gap and no xrun.
TEST_F(JackServer, WaveArrivesSampleForSampleWithoutGapOrXrun) {
    platform::Queue().Drain();
    const uint32_t rate = 44100, seconds = 30;
    CSync clock;
    ASSERT_EQ(clock.OpenSync(0, 0, 10), 0u);
    CWaveOut out(0xFFFFFFFFu);
    ASSERT_EQ(out.OpenWaveOut(0, &clock, nullptr), 1u);
    EXPECT_EQ(out.Mixer().SampleRate(), rate);
    ASSERT_FALSE(out.PortName(0).empty());
    TestClient reader("dendra-waveio-reader", true, rate * (seconds + 4));
    ASSERT_TRUE(reader.Ok());
    ASSERT_TRUE(reader.Connect(out.PortName(0), reader.Port(0)));
    ASSERT_TRUE(reader.Connect(out.PortName(1), reader.Port(1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t xruns = out.Xruns(), readerXruns = reader.Xruns();

    TestWave w("jack.wav", 2, rate, rate * seconds, 480); // one beat in
    w.wave.info.volume = 0.7f;
    w.wave.info.balance = 0.65f;
    ASSERT_EQ(out.AddEvent(&w.wave), 1);
    out.SetBalance(0.5f);
    clock.StartSync(0);
    Pump(int(seconds + 2) * 1000);
    EXPECT_FALSE(out.StreamPlaying(0));
    EXPECT_EQ(out.Stream(0).voice->Underruns(), 0u);
    EXPECT_EQ(out.Xruns() - xruns, 0u);
    EXPECT_EQ(reader.Xruns() - readerXruns, 0u);
    reader.Disconnect();
    clock.StopSync();

    const uint32_t got = reader.Frames();
    uint32_t start = 0;
    while (start < got && reader.left_[start] == 0.0f) ++start;
    ASSERT_LT(start, got) << "nothing arrived";
    ASSERT_GE(got - start, rate * seconds);
    const float g = GainOf(-3000);
    float pl, pr;
    PanGains(3000, pl, pr);
    for (uint32_t n = 0; n < rate * seconds; ++n) {
        ASSERT_NEAR(reader.left_[start + n], float(TestSample(n, 0)) / 32768.0f * g * pl, 1e-6)
            << n;
        ASSERT_NEAR(reader.right_[start + n], float(TestSample(n, 1)) / 32768.0f * g * pr, 1e-6)
            << n;
    }
    for (uint32_t n = start + rate * seconds; n < got; ++n) ASSERT_EQ(reader.left_[n], 0.0f) << n;
    out.Close();
    clock.CloseSync();
}

namespace {
class Recorder : public platform::MessageTarget {
public:
    explicit Recorder(MemorySound& sound) : sound_(sound) {
        window = platform::Queue().Register(this);
    }
    ~Recorder() override { platform::Queue().Unregister(window); }
    void HandleMessage(uint32_t message, uintptr_t, intptr_t lParam) override {
        if (message != dsync::kMsgWaveInData) return;
        auto* b = reinterpret_cast<dsync::WaveInBlock*>(lParam);
        WaveInfo info;
        sound_.Write(info, b->data1, b->size1);
        if (b->size2) sound_.Write(info, b->data2, b->size2);
        b->Complete();
    }
    platform::Window window = 0;

private:
    MemorySound& sound_;
};
} // namespace

// What a JACK client sends into the wave input's ports is recorded into the target unchanged.
TEST_F(JackServer, CaptureIntoTargetRecordsWhatWasSent) {
    platform::Queue().Drain();
    TestWave target("take.wav", 2, 44100, 0);
    Recorder rec(*target.sound);
    CWaveIn in;
    in.formatCode = 0x800;
    ASSERT_EQ(in.Create(rec.window, nullptr), 1u);
    ASSERT_EQ(in.AddEvent(&target.wave), 1);
    ASSERT_EQ(in.Start(), 0);
    ASSERT_FALSE(in.PortName(0).empty());
    TestClient sender("dendra-waveio-sender", false, 0);
    ASSERT_TRUE(sender.Ok());
    ASSERT_TRUE(sender.Connect(sender.Port(0), in.PortName(0)));
    ASSERT_TRUE(sender.Connect(sender.Port(1), in.PortName(1)));
    Pump(1500);
    in.Stop();
    EXPECT_EQ(in.Stream()->DroppedBytes(), 0u);
    const auto& d = target.sound->data;
    auto at = [&](size_t i, int c) {
        return int16_t(uint16_t(d[4 * i + 2 * c] | (d[4 * i + 2 * c + 1] << 8)));
    };
    size_t first = 0, frames = d.size() / 4;
    while (first < frames && (at(first, 0) == 0 || at(first, 1) == 0)) ++first;
    ASSERT_LT(first + 44100 / 2, frames);
    int expect = at(first, 0);
    for (size_t i = first; i < frames; ++i) {
        ASSERT_EQ(at(i, 0), expect) << i;
        ASSERT_EQ(at(i, 1), -expect) << i;
        expect = expect % 30000 + 1;
    }
    in.Close();
}
