#include "platform/timer.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sched.h>

namespace platform {

namespace {
constexpr int64_t kNsPerMs = 1000000;

timespec ToTimespec(int64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

void SleepUntil(int64_t deadlineNs) {
    timespec ts = ToTimespec(deadlineNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool TryRealTimePriority() {
    sched_param p{};
    int top = sched_get_priority_max(SCHED_FIFO);
    if (top < 0) return false;
    p.sched_priority = top > 10 ? top - 10 : top;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
}
} // namespace

int64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepNs(int64_t ns) {
    if (ns > 0) SleepUntil(MonotonicNs() + ns);
}

RealTimer::~RealTimer() {
    Stop();
}

bool RealTimer::Start(uint32_t periodMs, TimerCallback callback, void* data) {
    if (periodMs == 0 || !callback || running_.load()) return false;
    periodMs_ = periodMs;
    callback_ = callback;
    data_ = data;
    stop_.store(false);
    running_.store(true);
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        running_.store(false);
        return false;
    }
    return true;
}

void RealTimer::Stop() {
    if (!thread_.joinable()) return;
    stop_.store(true);
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
    running_.store(false);
}

void RealTimer::Run() {
    realTimePriority_.store(TryRealTimePriority());
    const int64_t period = static_cast<int64_t>(periodMs_) * kNsPerMs;
    int64_t deadline = MonotonicNs() + period;
    while (!stop_.load(std::memory_order_relaxed)) {
        SleepUntil(deadline);
        if (stop_.load(std::memory_order_relaxed)) break;
        callback_(data_, deadline);
        deadline += period;
        int64_t now = MonotonicNs();
        if (now - deadline > 100 * period) {
            // Far behind (the machine slept): start again from now rather than racing to catch up.
            skipped_.fetch_add(static_cast<uint64_t>((now - deadline) / period));
            deadline = now + period;
        }
    }
}

bool ManualTimer::Start(uint32_t periodMs, TimerCallback callback, void* data) {
    if (periodMs == 0 || !callback) return false;
    periodMs_ = periodMs;
    callback_ = callback;
    data_ = data;
    return true;
}

void ManualTimer::Stop() {
    callback_ = nullptr;
    data_ = nullptr;
}

void ManualTimer::Advance(uint64_t periods) {
    for (uint64_t i = 0; i < periods && callback_; ++i) {
        nowNs_ += static_cast<int64_t>(periodMs_) * kNsPerMs;
        callback_(data_, nowNs_);
    }
}

OneShotTimer::OneShotTimer(TimerCallback callback, void* data)
    : callback_(callback), data_(data), thread_([this] { Run(); }) {}

OneShotTimer::~OneShotTimer() {
    stop_.store(true);
    generation_.fetch_add(1);
    generation_.notify_all();
    thread_.join();
}

void OneShotTimer::Arm(uint32_t delayMs) {
    deadline_.store(MonotonicNs() + static_cast<int64_t>(delayMs) * kNsPerMs);
    generation_.fetch_add(1);
    generation_.notify_one();
}

void OneShotTimer::Disarm() {
    deadline_.store(0);
    generation_.fetch_add(1);
    generation_.notify_one();
}

void OneShotTimer::Run() {
    for (;;) {
        uint32_t gen = generation_.load();
        if (stop_.load()) return;
        int64_t deadline = deadline_.load();
        if (deadline == 0) {
            generation_.wait(gen);
            continue;
        }
        int64_t now = MonotonicNs();
        if (now < deadline) {
            // Sleep in short steps so that re-arming and stopping are seen promptly.
            int64_t step = deadline - now;
            if (step > 20 * kNsPerMs) step = 20 * kNsPerMs;
            SleepUntil(now + step);
            continue;
        }
        int64_t expected = deadline;
        if (deadline_.compare_exchange_strong(expected, 0)) callback_(data_, deadline);
    }
}

} // namespace platform
