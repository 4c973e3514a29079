// The library's one JACK client, "Dendra" (JACK numbers it when the name is taken).
//
// Every JACK port of the library that carries what the clock plays, the MIDI driver's ports and
// the audio output's ports, belongs to this client: one process callback serves them all, so they
// count the same frames. Frames here count the stream the client produces, one cycle after
// another (the positions a recording of our ports has); the server's own frame time is not used,
// because it jumps, and even repeats, when the server misses cycles. Each cycle is reported to the
// time line (jack_timeline.h) before the processors run.
//
// The client opens with its first user (Acquire) and closes with its last (Release). Processors
// join and leave the callback with Add and Remove; Remove returns once the callback no longer
// uses the processor, so it may be destroyed then.
//
// Threads: Acquire, Release, Add, Remove and the port calls are for non-real-time threads and are
// serialised by the session's lock. The process callback allocates nothing and takes no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <jack/types.h>
#include <mutex>
#include <string>

namespace dsync::jack {

struct CycleInfo {
    int64_t frame = 0;   // the cycle's first frame in the stream
    uint32_t frames = 0; // its length
    uint32_t rate = 0;   // the server's rate
    int64_t wallNs = 0;  // when the callback began, on the clock's time line
};

class Processor {
public:
    virtual ~Processor() = default;
    // Real-time: one cycle.
    virtual void Process(const CycleInfo& cycle) = 0;
    // The server asks for latencies (not real-time): set the capture latency of the processor's
    // output ports.
    virtual void SetCaptureLatency(uint32_t cycleFrames, uint32_t rate) {
        (void)cycleFrames;
        (void)rate;
    }
};

class Session {
public:
    static constexpr const char* kClientName = "Dendra";
    static constexpr int kMaxProcessors = 64;

    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens and activates the client for one more user; false when no server answers, or when the
    // server went away under users that have not let go yet.
    bool Acquire();
    // Takes one more use of the client only when it is open already.
    bool Share();
    void Release();
    // Valid between Acquire and Release.
    jack_client_t* Client() const { return client_.load(std::memory_order_acquire); }
    std::string ClientName() const;
    bool Gone() const { return gone_.load(); }
    uint64_t Xruns() const { return xruns_.load(); }

    // Joins the process callback; false when every slot is taken.
    bool Add(Processor* p);
    // Leaves it, and waits until a running callback has let go of it.
    void Remove(Processor* p);

    // Registers a port of ours, named as asked (numbered when the name is taken); null on failure.
    jack_port_t* RegisterPort(const std::string& name, const char* type, bool output);
    void UnregisterPort(jack_port_t* port);
    // Tells the server that a latency changed.
    void RecomputeLatencies();

private:
    static int ProcessEntry(jack_nframes_t frames, void* arg);
    static void LatencyEntry(jack_latency_callback_mode_t mode, void* arg);
    static int XrunEntry(void* arg);
    static void ShutdownEntry(void* arg);
    void WaitForCallback() const;

    mutable std::mutex lock_; // the client's life and its ports
    std::mutex latencyLock_;  // the latency callback against processors leaving
    std::atomic<jack_client_t*> client_{nullptr};
    int users_ = 0;
    std::atomic<bool> gone_{false};
    std::atomic<uint64_t> xruns_{0};
    std::atomic<Processor*> processors_[kMaxProcessors] = {};
    std::atomic<uint64_t> inside_{0}; // odd while the process callback runs
    std::atomic<int64_t> frame_{0};   // the next cycle's first frame (the callback's own)
};

// The process's session.
Session& TheSession();

} // namespace dsync::jack
