// The JACK server's frame time line against the clock's time line (platform::MonotonicNs), shared
// by everything the library plays on JACK: the MIDI driver's ports and the audio output that the
// built-in synthesizer plays through (all of them ports of one client, jack_session.h).
//
// The clock gives every message the exact time of its tick; a JACK output places it at a frame of
// the stream our client produces (the session counts it: every cycle adds its length). The time
// line maps the clock's time onto those frames at the server's nominal rate from an anchor:
//
//     frame(t) = anchorFrame + (t - anchorNs) × rate / 1e9
//
// The session's process callback reports each cycle (Cycle): its first frame and when the
// callback began. The earliest beginning of each block of cycles (at least 50 ms), less its
// mapped time, is the lag: how much later than mapped the server really runs. While messages are
// being placed the anchor keeps its phase, so every position stays exact in frames even when the
// server misses cycles (a server that falls behind the wall clock only makes what follows come
// later on the wall clock, never out of step with what came before). The anchor moves to the
// measured phase
//   - when nothing has been placed for kIdleNs (before and between plays);
//   - when the server runs earlier than mapped by more than kEarlyLimitNs (placed messages would
//     otherwise start to come too late for their cycle);
//   - when it runs later than mapped by more than kLateLimitNs: then the phase slides by kSlewNs
//     a block (1%), so what a falling-behind server adds to the latency stays bounded, and placed
//     messages keep their order (a jump back would put new ones before ones still waiting).
//
// OutputLatencyFrames is the one latency of every JACK output of the library, MIDI ports and the
// synthesizer's audio alike, so that they sound together.
//
// Threads: Cycle (the one process callback), FrameAt, TimeOf and NoteUse (any thread) are
// real-time safe and lock-free. Attach and Detach are for non-real-time threads, with the callback
// not running.
#pragma once

#include <atomic>
#include <cstdint>

namespace dsync::jack {

// Room for the clock thread's wake-up beyond its period, in the output latency.
constexpr int64_t kWakeRoomNs = 2000000;

// Frames between a message's time and the frame it is written at: one cycle, plus the clock's
// dispatch period (a message leaves the clock up to one period after its time), plus kWakeRoomNs.
uint32_t OutputLatencyFrames(uint32_t cycleFrames, uint32_t rate, uint32_t dispatchPeriodMs);

// Where a block of audio lies on the server's frame time line (for sources that place events at
// exact frames). latencyReport, when not null, receives the latency the source adds, in frames.
struct BlockTime {
    int64_t frame = 0;        // the stream frame of the block's first frame
    uint32_t cycleFrames = 0; // the server's cycle length
    uint32_t rate = 0;        // the server's rate
    std::atomic<uint32_t>* latencyReport = nullptr;
};

class Timeline {
public:
    static constexpr int64_t kIdleNs = 1000000000;
    static constexpr int64_t kEarlyLimitNs = kWakeRoomNs * 3 / 4;
    static constexpr int64_t kLateLimitNs = 500000000;
    static constexpr int64_t kBlockNs = 50000000;
    static constexpr int64_t kSlewNs = kBlockNs / 100;

    // The session starts or stops reporting cycles. Detached, the time line forgets its anchor
    // (the next server may count differently).
    void Attach();
    void Detach();

    // Real-time: the cycle that begins at frame, cycleFrames long at rate, whose callback began at
    // wallNs.
    void Cycle(int64_t frame, uint32_t cycleFrames, uint32_t rate, int64_t wallNs);
    // Real-time: the frame (nearest) at which a time falls, and the time of a frame; false before
    // the first cycle.
    bool FrameAt(int64_t ns, int64_t& frame) const;
    bool TimeOf(int64_t frame, int64_t& ns) const;
    // Real-time: a timed message has been placed (the time line is in use, not idle).
    void NoteUse(int64_t wallNs) { lastUseNs_.store(wallNs, std::memory_order_relaxed); }

    // For tests and diagnostics: how often the anchor moved while in use, and the last lag.
    uint64_t Moves() const { return moves_.load(); }
    int64_t LastLagNs() const { return lastLag_.load(); }
    bool Anchored() const { return anchored_.load(std::memory_order_acquire); }

private:
    void EndBlock(int64_t lag, int64_t wallNs);

    std::atomic<int> users_{0};
    std::atomic<bool> anchored_{false};
    std::atomic<int64_t> anchorFrame_{0};
    std::atomic<uint32_t> rate_{0};
    std::atomic<int64_t> anchorNs_{0};
    std::atomic<int64_t> lastUseNs_{INT64_MIN};
    std::atomic<uint64_t> moves_{0};
    std::atomic<int64_t> lastLag_{0};

    // The reporting callback's own (Detach resets them with the callback stopped).
    int64_t blockStart_ = 0;
    int64_t blockMin_ = INT64_MAX;
    int blockCycles_ = 0;
    int idleLateBlocks_ = 0;
    int64_t idleLateMin_ = INT64_MAX;
};

// The process's one time line.
Timeline& TheTimeline();

} // namespace dsync::jack
