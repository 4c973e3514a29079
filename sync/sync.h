// CSync: the musical clock.
//
// It counts ticks at its resolution (ticks per quarter note) and tempo (microseconds per quarter
// note × 256, integer fixed point with the remainder carried, so it never drifts), and on each
// advance dispatches the due messages of every registered MIDI output, MIDI clock to outputs that
// ask for it, the wave output's start notifications, and posts notifications to its window.
//
// Modes: 0 own timer; 1 external MIDI clock at a MIDI input, interpolated by the own timer;
// 2 to 5 MIDI time code at 30, 29.97 drop-frame, 25 and 24 frames per second.
//
// Threads: the exported operations run on the user-interface thread. The tick runs on the timer
// thread (modes 0, 1) or on the MIDI input's driver thread (time code, and the clock message in
// mode 1). The tick allocates and frees nothing, waits at most 1 ms for any lock (and carries the
// period over to the next tick when it cannot get one), and posts instead of calling. Operations
// that change what the tick reads (start, stop, tempo, registration of outputs) wait for a tick in
// progress to finish. `now` and `state` may be read from any thread.
#pragma once

#include "platform/message_queue.h"
#include "platform/timer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CMidiOut;
class CMidiIn;
class CWaveOut;

namespace dsync {
// Tries to take a lock for at most timeoutNs, polling; real-time safe (no allocation, and it never
// waits past the limit).
template <class Lockable> bool TryLockFor(Lockable& lock, int64_t timeoutNs) {
    if (lock.try_lock()) return true;
    const int64_t deadline = platform::MonotonicNs() + timeoutNs;
    do {
        platform::SleepNs(20000);
        if (lock.try_lock()) return true;
    } while (platform::MonotonicNs() < deadline);
    return false;
}

// What the clock needs from a wave output: its next pending event time and its window.
class WaveClockLink {
public:
    virtual ~WaveClockLink() = default;
    virtual uint32_t NextEventTime() const = 0;
    virtual void SetNextEventTime(uint32_t t) = 0;
    virtual platform::Window ServiceWindow() const = 0;
};
} // namespace dsync

class CSync {
public:
    // State bits.
    static constexpr uint32_t kStarted = 0x01;
    static constexpr uint32_t kAdvancing = 0x02;
    static constexpr uint32_t kSmpteStartReached = 0x04;
    static constexpr uint32_t kInTick = 0x08;
    static constexpr uint32_t kWaitClock = 0x10;
    static constexpr uint32_t kClockArrived = 0x20;
    static constexpr uint32_t kIdle = 0x40;
    static constexpr uint32_t kPaused = 0x80;

    CSync();
    ~CSync();
    CSync(const CSync&) = delete;
    CSync& operator=(const CSync&) = delete;

    // 0, or 97 when no timer can be set. A mode of 0xFFFF keeps the current mode. Without a timer
    // the clock makes a real one; a given timer (a ManualTimer for tests and offline rendering) is
    // used instead and stays the caller's.
    unsigned OpenSync(platform::Window window, uint32_t mode, uint32_t period,
                      platform::PeriodicTimer* timer = nullptr);
    unsigned CloseSync();
    void StartSync(uint32_t start);
    // Places a stopped clock at a tick without starting it: `now` reads it, and what is sent at
    // once is stamped with it (StartSync places the clock again).
    void Locate(uint32_t start);
    void ReStartSync();
    void StopSync();
    void PauseSync(int notesOff);
    unsigned SetTempo(uint32_t microsecondsPerQuarter);
    uint32_t GetTempo() const;
    void SetResolution(uint32_t ticksPerQuarter);
    uint32_t GetResolution() const { return resolution.load(); }
    void SetStartFrame(uint32_t packed);
    uint32_t GetStartFrame() const;

    // The timer callback (the arguments but data are ignored) and the time-code watchdog.
    static void syncTimer(uint32_t id, uint32_t message, uintptr_t data, uintptr_t, uintptr_t);
    static void SmpteStoppedTimer(uint32_t id, uint32_t message, uintptr_t data, uintptr_t,
                                  uintptr_t);

    // Driven by a MIDI input with the sync option (driver thread).
    void ExternalClock();
    void ExternalStart();
    void ExternalStop();
    void QuarterFrame(uint8_t data);

    // Registration, by the devices (user-interface thread).
    void RegisterOutput(CMidiOut* out);
    void UnregisterOutput(CMidiOut* out);
    void AttachMidiIn(CMidiIn* in);
    void DetachMidiIn(CMidiIn* in);
    void AttachWaveOut(CWaveOut* device, dsync::WaveClockLink* link);
    void DetachWaveOut(CWaveOut* device);
    // A null-terminated snapshot is not handed out; this counts the registered outputs.
    size_t OutputCount() const;
    // True when the clock runs on a real-time timer (not the manual one).
    bool IsRealTime() const { return realTime_; }
    // Ticks whose lists could not be locked in time, and periods carried to a later tick.
    uint64_t CarriedPeriods() const { return carried_.load(); }

    // Used by outputs during the tick: counts system-exclusive buffers handed to a driver.
    std::atomic<uint32_t> longInFlight{0};

    // Fields, in order.
    uint32_t period = 0;
    uint32_t timerId = 0;
    uint32_t beatPhase = 0;
    uint64_t increment = 0; // 64-bit: period × resolution × 256000 overflows 32 bits
    uint64_t accumulator = 0;
    uint32_t ticksPerClock = 20;
    uint32_t clockPhase = 0;
    uint32_t elapsed = 0;
    uint32_t lastItemTime = 0;
    std::atomic<uint32_t> smpteTime{0}; // frames, seconds, minutes, hours from the low byte up
    uint32_t startFrame = 0;
    uint32_t clockTicksInterpolated = 0;
    uint32_t clockTarget = 0;
    platform::Window window = 0;
    uint32_t mode = 0;
    std::atomic<uint32_t> state{0};
    uint32_t smpteRate = 0;
    uint8_t quarterFrame[4] = {255, 255, 255, 255};
    CWaveOut* waveOut = nullptr;
    std::vector<CMidiOut*> outputs; // null-terminated; changed only with no tick running
    std::atomic<uint64_t> tempo{1000000ull * 256}; // microseconds per quarter note × 256
    CMidiIn* midiIn = nullptr;
    std::atomic<uint32_t> now{0};
    std::atomic<uint32_t> resolution{480};

    // Waits for a tick in progress and keeps the next one from starting while held.
    std::unique_lock<std::mutex> HoldTick() { return std::unique_lock(tickLock_); }

    // Exact time of a tick in the tick being run (for outputs that place messages exactly).
    int64_t ExactTimeOfTick(uint32_t tick) const;
    int64_t TickDeadlineNs() const { return tickDeadlineNs_; }
    // The tick in effect at a time on the clock's time line (platform::MonotonicNs), from the last
    // tick's position, remainder and tempo, for inputs that know when a message came. `now` while
    // the clock does not advance. Any thread; real-time safe (no lock, no allocation).
    uint32_t TickAt(int64_t ns) const;
    // The other way: the time of a tick on the clock's time line (recent ticks and those soon to
    // come), or INT64_MIN while the clock does not advance. Any thread; real-time safe.
    int64_t TimeOfTick(uint32_t tick) const;
    // The longest the tick takes to send a message after its exact time: the timer period in the
    // timer modes, 0 in the time-code modes (a tick there runs when its quarter frame arrives).
    uint32_t DispatchPeriodMs() const { return mode >= 2 && mode <= 5 ? 0 : period; }

private:
    static void TimerEntry(void* data, int64_t deadlineNs);
    static void WatchdogEntry(void* data, int64_t deadlineNs);
    void TimerTick(int64_t deadlineNs);
    // Runs one tick with the tick lock held and bit 0x08 set. periods: timer periods covered.
    void Tick(uint64_t periods, int64_t deadlineNs);
    bool EnterTick();
    void LeaveTick();
    void SmpteAdvanceFrame();
    void SmpteStopped();
    void SendToSyncOutputs(uint8_t status);
    void StartPosition(uint32_t start);
    void StartState();
    // Publishes where the clock stands for TickAt (with the tick lock held).
    void PublishLine(int64_t ns, uint32_t tick, uint64_t accumulator, bool advancing);
    struct Line {
        int64_t ns = 0;
        uint32_t tick = 0, resolution = 0;
        uint64_t accumulator = 0, tempo = 0;
        bool advancing = false;
    };
    // False when the line could not be read (its writer was held up in the middle).
    bool ReadLine(Line& line) const;

    std::mutex tickLock_;
    platform::PeriodicTimer* timer_ = nullptr;
    std::unique_ptr<platform::RealTimer> ownTimer_;
    std::unique_ptr<platform::OneShotTimer> watchdog_;
    bool realTime_ = false;
    bool open_ = false;
    std::atomic<uint64_t> carried_{0};
    std::atomic<uint64_t> pendingPeriods_{0};
    dsync::WaveClockLink* waveLink_ = nullptr;
    uint32_t wavePreparedFor_ = 0xFFFFFFFFu;
    // Time line of the tick being run.
    int64_t tickDeadlineNs_ = 0;
    int64_t tickStartNs_ = 0;
    uint32_t tickStartNow_ = 0;
    uint64_t tickStartAccumulator_ = 0;
    uint64_t tickTempo_ = 0;
    // What TickAt reads, behind a sequence count (odd while it is being written).
    std::atomic<uint32_t> lineSeq_{0};
    std::atomic<int64_t> lineNs_{0};
    std::atomic<uint32_t> lineTick_{0};
    std::atomic<uint64_t> lineAccumulator_{0};
    std::atomic<uint64_t> lineTempo_{1000000ull * 256};
    std::atomic<uint32_t> lineResolution_{480};
    std::atomic<bool> lineAdvancing_{false};
};
