#include "sync/drivers/jack/jack_timeline.h"

#include <algorithm>

namespace dsync::jack {

namespace {
constexpr int64_t kNsPerSecond = 1000000000;

// num / den rounded to the nearest integer (den > 0).
int64_t DivRound(__int128 num, int64_t den) {
    if (num >= 0) return int64_t((num + den / 2) / den);
    return -int64_t((-num + den / 2) / den);
}
} // namespace

uint32_t OutputLatencyFrames(uint32_t cycleFrames, uint32_t rate, uint32_t dispatchPeriodMs) {
    const int64_t roomNs = int64_t(dispatchPeriodMs) * 1000000 + kWakeRoomNs;
    const int64_t room = (roomNs * int64_t(rate) + kNsPerSecond - 1) / kNsPerSecond;
    return cycleFrames + uint32_t(room);
}

void Timeline::Attach() {
    users_.fetch_add(1);
}

void Timeline::Detach() {
    if (users_.fetch_sub(1) != 1) return;
    // Nothing reports cycles any more: forget the server.
    anchored_.store(false, std::memory_order_release);
    lastUseNs_.store(INT64_MIN);
    blockMin_ = INT64_MAX;
    blockCycles_ = 0;
    idleLateBlocks_ = 0;
    idleLateMin_ = INT64_MAX;
}

bool Timeline::FrameAt(int64_t ns, int64_t& frame) const {
    if (!anchored_.load(std::memory_order_acquire)) return false;
    const int64_t rate = rate_.load(std::memory_order_relaxed);
    const int64_t d = ns - anchorNs_.load(std::memory_order_acquire);
    frame =
        anchorFrame_.load(std::memory_order_relaxed) + DivRound(__int128(d) * rate, kNsPerSecond);
    return true;
}

bool Timeline::TimeOf(int64_t frame, int64_t& ns) const {
    if (!anchored_.load(std::memory_order_acquire)) return false;
    const int64_t rate = rate_.load(std::memory_order_relaxed);
    const int64_t d = frame - anchorFrame_.load(std::memory_order_relaxed);
    ns = anchorNs_.load(std::memory_order_acquire) + DivRound(__int128(d) * kNsPerSecond, rate);
    return true;
}

void Timeline::Cycle(int64_t f, uint32_t cycleFrames, uint32_t rate, int64_t wallNs) {
    if (rate == 0 || cycleFrames == 0) return;
    if (!anchored_.load(std::memory_order_relaxed) ||
        rate_.load(std::memory_order_relaxed) != rate) {
        anchorFrame_.store(f, std::memory_order_relaxed);
        rate_.store(rate, std::memory_order_relaxed);
        anchorNs_.store(wallNs, std::memory_order_relaxed);
        anchored_.store(true, std::memory_order_release);
        blockStart_ = f;
        blockMin_ = INT64_MAX;
        blockCycles_ = 0;
        return;
    }
    int64_t mapped = 0;
    TimeOf(f, mapped);
    blockMin_ = std::min(blockMin_, wallNs - mapped);
    ++blockCycles_;
    if (blockCycles_ >= 2 &&
        __int128(f - blockStart_) * kNsPerSecond >= __int128(kBlockNs) * rate) {
        EndBlock(blockMin_, wallNs);
        blockStart_ = f;
        blockMin_ = INT64_MAX;
        blockCycles_ = 0;
    }
}

void Timeline::EndBlock(int64_t lag, int64_t wallNs) {
    lastLag_.store(lag, std::memory_order_relaxed);
    const int64_t lastUse = lastUseNs_.load(std::memory_order_relaxed);
    const bool idle = lastUse == INT64_MIN || wallNs - lastUse > kIdleNs;
    if (idle) {
        // Nothing is placed: follow the server. Earlier cycles are taken at once; later ones only
        // when three blocks in a row agree (a single late block is the callback's own wake-up).
        if (lag <= 0) {
            anchorNs_.fetch_add(lag, std::memory_order_acq_rel);
            idleLateBlocks_ = 0;
            idleLateMin_ = INT64_MAX;
        } else {
            idleLateMin_ = std::min(idleLateMin_, lag);
            if (++idleLateBlocks_ >= 3) {
                anchorNs_.fetch_add(idleLateMin_, std::memory_order_acq_rel);
                idleLateBlocks_ = 0;
                idleLateMin_ = INT64_MAX;
            }
        }
        return;
    }
    idleLateBlocks_ = 0;
    idleLateMin_ = INT64_MAX;
    if (lag < -kEarlyLimitNs) {
        // Frames come earlier than placed messages allow: take the server's phase at once (what
        // follows moves later, behind what waits already).
        anchorNs_.fetch_add(lag, std::memory_order_acq_rel);
        moves_.fetch_add(1, std::memory_order_relaxed);
    } else if (lag > kLateLimitNs) {
        anchorNs_.fetch_add(std::min(kSlewNs, lag - kLateLimitNs / 2), std::memory_order_acq_rel);
        moves_.fetch_add(1, std::memory_order_relaxed);
    }
}

Timeline& TheTimeline() {
    static Timeline timeline;
    return timeline;
}

} // namespace dsync::jack
