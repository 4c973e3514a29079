// Periodic timers for the clock, and a re-armable one-shot timer.
//
// RealTimer runs its callback on a thread of its own, woken at absolute deadlines on the monotonic
// clock (clock_nanosleep with TIMER_ABSTIME), so lateness never accumulates. It asks for
// real-time (FIFO) priority and runs at normal priority when the system refuses, without a word.
// ManualTimer runs the same callback on the caller's thread, one period per step, on a simulated
// time line starting at 0: tests and offline rendering advance it by hand.
//
// The callback receives its data pointer and the deadline of the period it stands for (monotonic
// nanoseconds for the real timer, simulated nanoseconds for the manual one). Callbacks run on a
// real-time thread: they must not allocate or block.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace platform {

using TimerCallback = void (*)(void* data, int64_t deadlineNs);

// Monotonic time in nanoseconds.
int64_t MonotonicNs();
// Sleeps for about ns nanoseconds.
void SleepNs(int64_t ns);

class PeriodicTimer {
public:
    virtual ~PeriodicTimer() = default;
    // Starts calling callback every periodMs milliseconds; false when it cannot.
    virtual bool Start(uint32_t periodMs, TimerCallback callback, void* data) = 0;
    // Stops; when it returns, no callback is running or will run (unless called from the callback).
    virtual void Stop() = 0;
    virtual bool Running() const = 0;
    virtual uint32_t PeriodMs() const = 0;
    // True for a timer that follows the wall clock (a real device may be driven from it).
    virtual bool IsRealTime() const = 0;
};

class RealTimer : public PeriodicTimer {
public:
    RealTimer() = default;
    ~RealTimer() override;
    bool Start(uint32_t periodMs, TimerCallback callback, void* data) override;
    void Stop() override;
    bool Running() const override { return running_.load(); }
    uint32_t PeriodMs() const override { return periodMs_; }
    bool IsRealTime() const override { return true; }
    // Whether the timer thread obtained real-time priority.
    bool RealTimePriority() const { return realTimePriority_.load(); }
    // Periods that were skipped because the thread woke more than 100 periods late.
    uint64_t SkippedPeriods() const { return skipped_.load(); }

private:
    void Run();

    uint32_t periodMs_ = 0;
    TimerCallback callback_ = nullptr;
    void* data_ = nullptr;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> realTimePriority_{false};
    std::atomic<uint64_t> skipped_{0};
};

class ManualTimer : public PeriodicTimer {
public:
    bool Start(uint32_t periodMs, TimerCallback callback, void* data) override;
    void Stop() override;
    bool Running() const override { return callback_ != nullptr; }
    uint32_t PeriodMs() const override { return periodMs_; }
    bool IsRealTime() const override { return false; }

    // Runs the callback for each of `periods` periods, moving the simulated time on each time.
    void Advance(uint64_t periods = 1);
    // The simulated time: the deadline of the last period run.
    int64_t NowNs() const { return nowNs_; }

private:
    uint32_t periodMs_ = 0;
    TimerCallback callback_ = nullptr;
    void* data_ = nullptr;
    int64_t nowNs_ = 0;
};

// A one-shot timer on its own thread that can be re-armed from any thread without allocating
// (the time-code watchdog). The callback runs on the timer's thread.
class OneShotTimer {
public:
    OneShotTimer(TimerCallback callback, void* data);
    ~OneShotTimer();
    OneShotTimer(const OneShotTimer&) = delete;
    OneShotTimer& operator=(const OneShotTimer&) = delete;

    // (Re)arms the timer to fire once, delayMs from now. Real-time safe.
    void Arm(uint32_t delayMs);
    void Disarm();

private:
    void Run();

    TimerCallback callback_;
    void* data_;
    std::atomic<int64_t> deadline_{0}; // 0: disarmed
    std::atomic<uint32_t> generation_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace platform
