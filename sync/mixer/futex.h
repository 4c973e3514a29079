// Waiting on an atomic word without a lock: the waker never blocks or allocates (used between the
// audio callbacks and the threads they notify).
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dsync::mixer::detail {

inline uint32_t* FutexWord(std::atomic<uint32_t>& a) {
    return reinterpret_cast<uint32_t*>(&a);
}

// Real-time: wakes every thread waiting on word.
inline void FutexWake(std::atomic<uint32_t>& word) {
    syscall(SYS_futex, FutexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Waits while word == expected, at most ms milliseconds (negative: no limit).
inline void FutexWait(std::atomic<uint32_t>& word, uint32_t expected, int ms) {
    timespec ts{};
    timespec* timeout = nullptr;
    if (ms >= 0) {
        ts.tv_sec = ms / 1000;
        ts.tv_nsec = long(ms % 1000) * 1000000L;
        timeout = &ts;
    }
    syscall(SYS_futex, FutexWord(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

inline int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Returns and clears the bits of events, waiting up to timeoutMs for one (0: no wait, negative:
// no limit).
inline uint32_t WaitBits(std::atomic<uint32_t>& events, int timeoutMs) {
    const int64_t deadline = timeoutMs > 0 ? NowMs() + timeoutMs : 0;
    for (;;) {
        uint32_t bits = events.exchange(0, std::memory_order_acq_rel);
        if (bits || timeoutMs == 0) return bits;
        int wait = -1;
        if (timeoutMs > 0) {
            int64_t left = deadline - NowMs();
            if (left <= 0) return events.exchange(0, std::memory_order_acq_rel);
            wait = int(left);
        }
        FutexWait(events, 0, wait);
    }
}

// Real-time: sets bits and wakes the waiter.
inline void SetBits(std::atomic<uint32_t>& events, uint32_t bits) {
    events.fetch_or(bits, std::memory_order_release);
    FutexWake(events);
}

} // namespace dsync::mixer::detail
