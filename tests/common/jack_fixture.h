// A JACK server for tests (the dummy backend, started and stopped by the test suite itself)
// and a test client with two audio ports that records or plays a counting sequence.
#pragma once

#include "sync/mixer/audio_output.h"
#include "tests/common/jack_server.h"

#include <gtest/gtest.h>

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace jacktest {

using dsync::mixer::JackServerRunning;

// Starts a JACK server with the dummy backend under a name of its own for a test suite, and
// stops it by its process id. Derive a fixture and give it `static constexpr const char*
// kName` (the server name's prefix) and `static constexpr const char* kRate`, and may give
// `kPeriod` (frames a cycle, 256 unless given).
template <class Traits> class JackServerT : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        jackd_ = FindJackd();
        if (jackd_.empty()) return;
        name_ = ServerName(Traits::kName);
        pid_ = StartDummyServer(name_, Traits::kRate, Period());
        up_ = pid_ > 0 && JackServerRunning();
    }
    // Frames a cycle: Traits::kPeriod when the traits give one, else 256.
    static const char* Period() {
        if constexpr (requires { Traits::kPeriod; })
            return Traits::kPeriod;
        else
            return "256";
    }
    static void TearDownTestSuite() {
        StopServer(pid_);
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

} // namespace jacktest
