#include "sync/drivers/jack/jack_session.h"
#include "platform/thread_check.h"

#include "platform/timer.h"
#include "sync/drivers/jack/jack_timeline.h"

#include <chrono>
#include <jack/jack.h>
#include <thread>

namespace dsync::jack {

namespace {
void QuietJack(const char*) {}
} // namespace

Session::~Session() {
    // At exit every user is gone and the client closed with the last; close one left over.
    if (jack_client_t* c = client_.exchange(nullptr)) jack_client_close(c);
}

bool Session::Acquire() {
    std::lock_guard<std::mutex> g(lock_);
    if (users_ > 0) {
        if (gone_.load()) return false; // the server went away under users still holding it
        ++users_;
        return true;
    }
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
    jack_status_t status;
    jack_client_t* c = jack_client_open(kClientName, JackNoStartServer, &status);
    if (!c) return false;
    gone_.store(false);
    frame_.store(0);
    jack_set_process_callback(c, &Session::ProcessEntry, this);
    jack_set_latency_callback(c, &Session::LatencyEntry, this);
    jack_set_xrun_callback(c, &Session::XrunEntry, this);
    jack_on_shutdown(c, &Session::ShutdownEntry, this);
    client_.store(c, std::memory_order_release);
    TheTimeline().Attach();
    if (jack_activate(c) != 0) {
        client_.store(nullptr);
        jack_client_close(c);
        TheTimeline().Detach();
        return false;
    }
    users_ = 1;
    return true;
}

bool Session::Share() {
    std::lock_guard<std::mutex> g(lock_);
    if (users_ == 0 || gone_.load()) return false;
    ++users_;
    return true;
}

void Session::Release() {
    std::lock_guard<std::mutex> g(lock_);
    if (users_ == 0 || --users_ > 0) return;
    jack_client_t* c = client_.load();
    if (!c) return;
    // Deactivating waits for a running callback; the callbacks take no lock of ours but the
    // latency lock, so holding the session's lock here is safe.
    jack_deactivate(c);
    client_.store(nullptr);
    jack_client_close(c);
    TheTimeline().Detach();
}

std::string Session::ClientName() const {
    std::lock_guard<std::mutex> g(lock_);
    jack_client_t* c = client_.load();
    return c ? jack_get_client_name(c) : std::string();
}

bool Session::Add(Processor* p) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& slot : processors_) {
        if (!slot.load()) {
            slot.store(p);
            return true;
        }
    }
    return false;
}

void Session::Remove(Processor* p) {
    {
        std::lock_guard<std::mutex> g(lock_);
        std::lock_guard<std::mutex> l(latencyLock_);
        for (auto& slot : processors_)
            if (slot.load() == p) slot.store(nullptr);
    }
    WaitForCallback();
}

void Session::WaitForCallback() const {
    const uint64_t s = inside_.load();
    if ((s & 1) == 0) return;
    // A callback that may still see the processor is running: wait until it has left (a server
    // that stopped calling is given two seconds).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (inside_.load() == s && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
}

jack_port_t* Session::RegisterPort(const std::string& name, const char* type, bool output) {
    std::lock_guard<std::mutex> g(lock_);
    jack_client_t* c = client_.load();
    if (!c || gone_.load()) return nullptr;
    const unsigned long flags = output ? JackPortIsOutput : JackPortIsInput;
    for (int n = 1; n <= 16; ++n) {
        const std::string candidate = n == 1 ? name : name + " (" + std::to_string(n) + ")";
        if (jack_port_t* p = jack_port_register(c, candidate.c_str(), type, flags, 0)) return p;
    }
    return nullptr;
}

void Session::UnregisterPort(jack_port_t* port) {
    std::lock_guard<std::mutex> g(lock_);
    jack_client_t* c = client_.load();
    if (c && port && !gone_.load()) jack_port_unregister(c, port);
}

void Session::RecomputeLatencies() {
    std::lock_guard<std::mutex> g(lock_);
    jack_client_t* c = client_.load();
    if (c && !gone_.load()) jack_recompute_total_latencies(c);
}

int Session::ProcessEntry(jack_nframes_t frames, void* arg) {
    DENDRA_REALTIME();
    auto* self = static_cast<Session*>(arg);
    self->inside_.fetch_add(1);
    if (jack_client_t* c = self->client_.load(std::memory_order_acquire)) {
        CycleInfo cycle;
        cycle.wallNs = platform::MonotonicNs();
        cycle.frame = self->frame_.load(std::memory_order_relaxed);
        cycle.frames = frames;
        cycle.rate = jack_get_sample_rate(c);
        self->frame_.store(cycle.frame + frames, std::memory_order_relaxed);
        TheTimeline().Cycle(cycle.frame, frames, cycle.rate, cycle.wallNs);
        for (auto& slot : self->processors_)
            if (Processor* p = slot.load()) p->Process(cycle);
    }
    self->inside_.fetch_add(1);
    return 0;
}

void Session::LatencyEntry(jack_latency_callback_mode_t mode, void* arg) {
    // Our outputs have nothing upstream: what they carry is as old as the latency they keep.
    if (mode != JackCaptureLatency) return;
    auto* self = static_cast<Session*>(arg);
    jack_client_t* c = self->client_.load(std::memory_order_acquire);
    if (!c) return;
    std::lock_guard<std::mutex> l(self->latencyLock_);
    const uint32_t frames = jack_get_buffer_size(c);
    const uint32_t rate = jack_get_sample_rate(c);
    for (auto& slot : self->processors_)
        if (Processor* p = slot.load()) p->SetCaptureLatency(frames, rate);
}

int Session::XrunEntry(void* arg) {
    static_cast<Session*>(arg)->xruns_.fetch_add(1);
    return 0;
}

void Session::ShutdownEntry(void* arg) {
    static_cast<Session*>(arg)->gone_.store(true);
}

Session& TheSession() {
    static Session session;
    return session;
}

} // namespace dsync::jack
