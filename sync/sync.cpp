#include "sync/sync.h"
#include "platform/thread_check.h"

#include "sync/messages.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"

#include <algorithm>
#include <chrono>

using namespace dsync;

namespace {
// Quarter-frame durations × 256 µs, by mode.
uint64_t QuarterFrameValue(uint32_t mode) {
    switch (mode) {
    case 2:
        return 2133333;
    case 3:
        return 2135467;
    case 4:
        return 2560000;
    case 5:
        return 2666667;
    default:
        return 0;
    }
}
bool SmpteMode(uint32_t mode) {
    return mode >= 2 && mode <= 5;
}
uint32_t FramesPerSecond(uint32_t rate) {
    switch (rate) {
    case 4:
        return 25;
    case 5:
        return 24;
    default:
        return 30;
    }
}
constexpr int64_t kNsPerMs = 1000000;
} // namespace

CSync::CSync() {
    outputs.push_back(nullptr);
}

CSync::~CSync() {
    if (open_) CloseSync();
}

unsigned CSync::OpenSync(platform::Window w, uint32_t m, uint32_t p,
                         platform::PeriodicTimer* timer) {
    if (open_) CloseSync();
    outputs.assign(1, nullptr);
    window = w;
    if (m != 0xFFFF) mode = m;
    state.store(0);
    longInFlight.store(0);
    period = p == 0 ? 1 : p;
    timerId = 0;
    resolution.store(480);
    ticksPerClock = 20;
    increment = SmpteMode(mode) ? QuarterFrameValue(mode) * 480 : uint64_t(period) * 122880000ull;
    SetTempo(1000000);
    open_ = true;
    realTime_ = timer ? timer->IsRealTime() : true;
    if (SmpteMode(mode)) {
        period = 500;
        if (realTime_) watchdog_ = std::make_unique<platform::OneShotTimer>(&WatchdogEntry, this);
        return kNoError;
    }
    if (timer) {
        timer_ = timer;
    } else {
        ownTimer_ = std::make_unique<platform::RealTimer>();
        timer_ = ownTimer_.get();
    }
    if (!timer_->Start(period, &TimerEntry, this)) {
        timer_ = nullptr;
        ownTimer_.reset();
        return kTimerError;
    }
    timerId = 1;
    return kNoError;
}

unsigned CSync::CloseSync() {
    if (timer_) timer_->Stop();
    timer_ = nullptr;
    ownTimer_.reset();
    watchdog_.reset();
    timerId = 0;
    std::vector<CMidiOut*> outs;
    {
        std::lock_guard<std::mutex> g(tickLock_);
        for (CMidiOut* o : outputs)
            if (o) outs.push_back(o);
        outputs.assign(1, nullptr);
        midiIn = nullptr;
    }
    for (CMidiOut* o : outs) o->clock = nullptr;
    open_ = false;
    return kNoError;
}

void CSync::StartPosition(uint32_t start) {
    accumulator = 0;
    pendingPeriods_.store(0);
    now.store(start);
    clockTicksInterpolated = 0;
    // The next clock confirms the position after the start (a target of 0 with a later start
    // would make the first clock step backwards).
    clockTarget = start;
    elapsed = 0;
    lastItemTime = start;
    clockPhase = start % ticksPerClock;
    beatPhase = start % resolution.load();
    if (SmpteMode(mode)) {
        smpteRate = mode;
        std::fill(std::begin(quarterFrame), std::end(quarterFrame), uint8_t(255));
    }
}

void CSync::StartState() {
    state.fetch_or(kStarted);
    state.fetch_and(~kIdle);
    if (mode != 1) {
        state.fetch_or(kAdvancing);
        SendToSyncOutputs(0xFA);
    } else if (state.load() & kPaused) {
        state.fetch_and(~kPaused);
        state.fetch_or(kAdvancing);
    }
}

void CSync::StartSync(uint32_t start) {
    std::lock_guard<std::mutex> g(tickLock_);
    StartPosition(start);
    StartState();
    PublishLine(platform::MonotonicNs(), start, 0, (state.load() & kAdvancing) != 0);
}

void CSync::Locate(uint32_t start) {
    std::lock_guard<std::mutex> g(tickLock_);
    StartPosition(start);
}

void CSync::ReStartSync() {
    std::lock_guard<std::mutex> g(tickLock_);
    StartState();
    PublishLine(platform::MonotonicNs(), now.load(), accumulator, (state.load() & kAdvancing) != 0);
}

void CSync::PublishLine(int64_t ns, uint32_t tick, uint64_t acc, bool advancing) {
    const uint32_t seq = lineSeq_.load(std::memory_order_relaxed);
    lineSeq_.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    lineNs_.store(ns, std::memory_order_relaxed);
    lineTick_.store(tick, std::memory_order_relaxed);
    lineAccumulator_.store(acc, std::memory_order_relaxed);
    lineTempo_.store(tempo.load(), std::memory_order_relaxed);
    lineResolution_.store(resolution.load(), std::memory_order_relaxed);
    lineAdvancing_.store(advancing, std::memory_order_relaxed);
    lineSeq_.store(seq + 2, std::memory_order_release);
}

bool CSync::ReadLine(Line& line) const {
    for (int attempt = 0; attempt < 64; ++attempt) {
        const uint32_t seq = lineSeq_.load(std::memory_order_acquire);
        line.ns = lineNs_.load(std::memory_order_relaxed);
        line.tick = lineTick_.load(std::memory_order_relaxed);
        line.accumulator = lineAccumulator_.load(std::memory_order_relaxed);
        line.tempo = lineTempo_.load(std::memory_order_relaxed);
        line.resolution = lineResolution_.load(std::memory_order_relaxed);
        line.advancing = lineAdvancing_.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((seq & 1) == 0 && lineSeq_.load(std::memory_order_relaxed) == seq) return true;
    }
    // The writer holds the line for a few stores only; past that it was preempted there.
    return false;
}

int64_t CSync::TimeOfTick(uint32_t tick) const {
    Line line;
    if (!ReadLine(line) || !line.advancing || line.tempo == 0 || line.resolution == 0 ||
        !(state.load() & kAdvancing))
        return INT64_MIN;
    const __int128 units =
        __int128(int64_t(tick) - int64_t(line.tick)) * line.tempo - __int128(line.accumulator);
    // Rounded up: the first nanosecond at which the tick is in effect.
    const __int128 per = 256 * __int128(line.resolution), scaled = units * 1000;
    __int128 ns = scaled / per;
    if (scaled > 0 && ns * per != scaled) ++ns;
    return line.ns + int64_t(ns);
}

uint32_t CSync::TickAt(int64_t ns) const {
    Line line;
    if (!ReadLine(line)) return now.load();
    const int64_t lineNs = line.ns;
    const uint32_t tick = line.tick, res = line.resolution;
    const uint64_t acc = line.accumulator, t = line.tempo;
    const bool advancing = line.advancing;
    if (!advancing || t == 0 || !(state.load() & kAdvancing)) return now.load();
    // One accumulator unit is 1 / (256 × resolution) µs: ns × 256 × resolution / 1000 units.
    const __int128 units = __int128(acc) + __int128(ns - lineNs) * 256 * res / 1000;
    __int128 ticks = units / __int128(t);
    if (units < 0 && ticks * __int128(t) != units) --ticks; // floor
    const __int128 at = __int128(tick) + ticks;
    if (at < 0) return 0;
    if (at > 0xFFFFFFFF) return 0xFFFFFFFFu;
    return uint32_t(at);
}

void CSync::SendToSyncOutputs(uint8_t status) {
    // Start and Stop go out from the controls, between ticks: as soon as possible, after what the
    // outputs hold already (the time of the last tick would be long past, or 0 before the first).
    DispatchTime at;
    at.tick = now.load();
    at.deadlineNs = platform::MonotonicNs();
    at.exactNs = kAsSoonAsPossible;
    for (CMidiOut* o : outputs) {
        if (!o) break;
        if ((o->flags.load() & CMidiOut::kSendSync) && !Filtered(o->filters.load(), status))
            o->SendSyncMessage(status, at);
    }
}

void CSync::StopSync() {
    std::vector<CMidiOut*> outs;
    {
        std::lock_guard<std::mutex> g(tickLock_);
        // Keep the in-tick bit: a tick that is waiting to enter sees a stopped clock.
        state.fetch_and(kInTick);
        PublishLine(platform::MonotonicNs(), now.load(), accumulator, false);
        if (mode != 1) SendToSyncOutputs(0xFC);
        for (CMidiOut* o : outputs)
            if (o) outs.push_back(o);
    }
    for (CMidiOut* o : outs) o->ResetMidiOut();
}

void CSync::PauseSync(int notesOff) {
    std::vector<CMidiOut*> outs;
    {
        std::lock_guard<std::mutex> g(tickLock_);
        uint32_t old = state.load();
        uint32_t s;
        do {
            s = old & ~(kStarted | kAdvancing | kPaused);
            if (old & kAdvancing) s |= kPaused;
        } while (!state.compare_exchange_weak(old, s));
        PublishLine(platform::MonotonicNs(), now.load(), accumulator, false);
        if (notesOff) {
            if (mode != 1) SendToSyncOutputs(0xFC);
            for (CMidiOut* o : outputs)
                if (o) outs.push_back(o);
        }
    }
    for (CMidiOut* o : outs) o->NotesOff();
}

unsigned CSync::SetTempo(uint32_t us) {
    if (us == 0) return kTimerError;
    tempo.store(uint64_t(us) * 256);
    CMidiIn* in = nullptr;
    {
        std::lock_guard<std::mutex> g(tickLock_);
        if ((state.load() & kAdvancing) && midiIn) in = midiIn;
    }
    if (in) in->AddTempoItem(now.load(), us);
    return kNoError;
}

uint32_t CSync::GetTempo() const {
    return uint32_t(tempo.load() / 256);
}

void CSync::SetResolution(uint32_t value) {
    if (value > 1000 || value == 0) return;
    std::lock_guard<std::mutex> g(tickLock_);
    resolution.store(value);
    // At least one tick per MIDI clock, or counting clocks would never end.
    ticksPerClock = std::max<uint32_t>(1, value / 24);
    increment = SmpteMode(mode) ? uint64_t(value) * QuarterFrameValue(mode)
                                : uint64_t(value) * period * 256000ull;
    beatPhase %= value;
    clockPhase %= ticksPerClock;
}

void CSync::SetStartFrame(uint32_t packed) {
    std::lock_guard<std::mutex> g(tickLock_);
    startFrame = packed;
}

uint32_t CSync::GetStartFrame() const {
    return startFrame;
}

void CSync::syncTimer(uint32_t, uint32_t, uintptr_t data, uintptr_t, uintptr_t) {
    if (data) reinterpret_cast<CSync*>(data)->TimerTick(platform::MonotonicNs());
}

void CSync::SmpteStoppedTimer(uint32_t, uint32_t, uintptr_t data, uintptr_t, uintptr_t) {
    if (data) reinterpret_cast<CSync*>(data)->SmpteStopped();
}

void CSync::TimerEntry(void* data, int64_t deadlineNs) {
    static_cast<CSync*>(data)->TimerTick(deadlineNs);
}

void CSync::WatchdogEntry(void* data, int64_t) {
    static_cast<CSync*>(data)->SmpteStopped();
}

void CSync::SmpteStopped() {
    DENDRA_REALTIME();
    platform::PostMessage(window, kMsgSmpteStopped, 0, reinterpret_cast<intptr_t>(this));
    if (!TryLockFor(tickLock_, 1000000)) return;
    std::lock_guard<std::mutex> g(tickLock_, std::adopt_lock);
    std::fill(std::begin(quarterFrame), std::end(quarterFrame), uint8_t(255));
    smpteRate = mode;
}

bool CSync::EnterTick() {
    uint32_t s = state.load();
    do {
        if (s & kInTick) return false;
    } while (!state.compare_exchange_weak(s, s | kInTick));
    return true;
}

void CSync::LeaveTick() {
    state.fetch_and(~kInTick);
}

void CSync::TimerTick(int64_t deadlineNs) {
    DENDRA_REALTIME();
    if (SmpteMode(mode)) return;
    if (!EnterTick()) {
        carried_.fetch_add(1);
        pendingPeriods_.fetch_add(1);
        return;
    }
    if (!TryLockFor(tickLock_, 1000000)) {
        // Carry the period over: the next tick advances by both, so no time is lost.
        carried_.fetch_add(1);
        pendingPeriods_.fetch_add(1);
        LeaveTick();
        return;
    }
    std::lock_guard<std::mutex> g(tickLock_, std::adopt_lock);
    uint64_t periods = 1 + pendingPeriods_.exchange(0);
    Tick(periods, deadlineNs);
    LeaveTick();
}

int64_t CSync::ExactTimeOfTick(uint32_t tick) const {
    uint32_t ahead = tick - tickStartNow_;
    if (int32_t(ahead) <= 0) return tickStartNs_;
    uint64_t units = uint64_t(ahead) * tickTempo_;
    units = units > tickStartAccumulator_ ? units - tickStartAccumulator_ : 0;
    // One accumulator unit is 1 / (256 × resolution) µs.
    uint64_t res = resolution.load();
    return tickStartNs_ + int64_t(units * 1000 / (256 * res));
}

void CSync::Tick(uint64_t periods, int64_t deadlineNs) {
    uint32_t s = state.load();
    if (!(s & kAdvancing)) return;
    const uint64_t t = tempo.load();
    const uint32_t res = resolution.load();
    uint32_t cur = now.load();
    uint64_t delta = 0;

    tickDeadlineNs_ = deadlineNs;
    int64_t periodNs = SmpteMode(mode) ? 0 : int64_t(period) * kNsPerMs;
    tickStartNs_ = deadlineNs - int64_t(periods) * periodNs;
    tickStartNow_ = cur;
    tickStartAccumulator_ = accumulator;
    tickTempo_ = t;

    if (mode != 1) {
        accumulator += increment * periods;
        delta = accumulator / t;
        accumulator %= t;
        clockPhase += uint32_t(delta);
    } else if (s & kWaitClock) {
        accumulator += increment * periods;
        clockTicksInterpolated += uint32_t(accumulator / t);
        accumulator %= t;
        return;
    } else if (s & kClockArrived) {
        uint64_t target = uint64_t(clockTarget) + ticksPerClock;
        delta = target > cur ? target - cur : 0;
        clockTarget = cur + uint32_t(delta);
        accumulator = 0;
        state.fetch_and(~kClockArrived);
    } else {
        accumulator += increment * periods;
        delta = accumulator / t;
        accumulator %= t;
        clockTicksInterpolated += uint32_t(delta);
        uint64_t limit = uint64_t(clockTarget) + ticksPerClock;
        if (cur + delta >= limit) {
            state.fetch_or(kWaitClock);
            delta = limit > cur + 1 ? limit - 1 - cur : 0;
        }
    }

    cur += uint32_t(delta);
    now.store(cur);
    elapsed += uint32_t(delta);
    beatPhase += uint32_t(delta);
    while (beatPhase >= res) {
        platform::PostMessage(window, kMsgBeat, 0, reinterpret_cast<intptr_t>(this));
        beatPhase -= res;
    }
    uint32_t clocks = 0;
    if (mode != 1) {
        while (clockPhase >= ticksPerClock) {
            clockPhase -= ticksPerClock;
            ++clocks;
        }
    }
    bool anyQueued = false;
    for (CMidiOut* o : outputs) {
        if (!o) break;
        if (o->TickDispatch(*this, cur, clocks, mode != 1)) anyQueued = true;
    }
    if (waveLink_) {
        uint32_t next = waveLink_->NextEventTime();
        if (next != 1000000000u) {
            // Prepare once, as soon as the event is a beat away or less: with several ticks per
            // period the exact moment "one beat before" is usually stepped over.
            if (next <= cur + res && next > cur && wavePreparedFor_ != next) {
                wavePreparedFor_ = next;
                platform::PostMessage(waveLink_->ServiceWindow(), kMsgWavePrepare, 0,
                                      reinterpret_cast<intptr_t>(waveOut));
            }
            if (next <= cur) {
                waveLink_->SetNextEventTime(1000000000u);
                wavePreparedFor_ = 0xFFFFFFFFu;
                platform::PostMessage(waveLink_->ServiceWindow(), kMsgWaveStart, 0,
                                      reinterpret_cast<intptr_t>(waveOut));
            }
        }
    }
    if (!anyQueued && longInFlight.load() == 0) state.fetch_or(kIdle);
    PublishLine(deadlineNs, cur, accumulator, true);
}

void CSync::ExternalClock() {
    DENDRA_REALTIME();
    if (!(state.load() & kStarted)) return;
    if (!EnterTick()) return;
    if (!TryLockFor(tickLock_, 1000000)) {
        LeaveTick();
        return;
    }
    std::unique_lock<std::mutex> g(tickLock_, std::adopt_lock);
    state.fetch_and(~kWaitClock);
    state.fetch_or(kClockArrived);
    // The fraction of a tick interpolated since the last whole one belongs to this clock's
    // interval too; the tick below discards it, so take it into the measurement first (without
    // it the tempo settles several per cent fast).
    const int64_t fraction = (state.load() & kAdvancing) ? int64_t(accumulator) : 0;
    Tick(0, platform::MonotonicNs());
    int64_t t = int64_t(tempo.load());
    int64_t res = resolution.load();
    int64_t corrected =
        t - (t / res) * (int64_t(ticksPerClock) - int64_t(clockTicksInterpolated)) + fraction / res;
    // Hold the corrected tempo to a sane range (1000 beats per minute up to 16.7 s per beat).
    corrected = std::clamp<int64_t>(corrected, 60000 * 256, int64_t(0xFFFFFF) * 256);
    tempo.store(uint64_t(corrected));
    clockTicksInterpolated = 0;
    LeaveTick();
}

void CSync::ExternalStart() {
    if (state.load() & kStarted) state.fetch_or(kAdvancing);
}

void CSync::ExternalStop() {
    if (state.load() & kStarted) state.fetch_and(~kAdvancing);
}

void CSync::SmpteAdvanceFrame() {
    uint32_t w = smpteTime.load();
    uint32_t frames = w & 0xFF, seconds = (w >> 8) & 0xFF, minutes = (w >> 16) & 0xFF,
             hours = (w >> 24) & 0xFF;
    ++frames;
    if (frames >= FramesPerSecond(smpteRate)) {
        frames = 0;
        if (++seconds >= 60) {
            seconds = 0;
            if (++minutes >= 60) {
                minutes = 0;
                if (++hours >= 24) hours = 0;
            }
            if (smpteRate == 3 && minutes % 10 != 0) frames = 2;
        }
    }
    smpteTime.store(frames | seconds << 8 | minutes << 16 | hours << 24);
}

void CSync::QuarterFrame(uint8_t data) {
    DENDRA_REALTIME();
    if (!SmpteMode(mode)) return;
    if (watchdog_) watchdog_->Arm(period);
    if (!EnterTick()) return;
    if (!TryLockFor(tickLock_, 1000000)) {
        LeaveTick();
        return;
    }
    std::unique_lock<std::mutex> g(tickLock_, std::adopt_lock);
    uint32_t piece = (data >> 4) & 7;
    uint8_t nibble = data & 0x0F;
    uint8_t& b = quarterFrame[piece / 2];
    if (piece % 2 == 0)
        b = nibble;
    else
        b |= uint8_t(nibble << 4);
    bool known = std::none_of(std::begin(quarterFrame), std::end(quarterFrame),
                              [](uint8_t x) { return x == 255; });
    if (known) {
        if (piece == 0) {
            SmpteAdvanceFrame();
            platform::PostMessage(window, kMsgSmpteAdvanced, smpteRate, intptr_t(smpteTime.load()));
            if (!(state.load() & kSmpteStartReached) && smpteTime.load() >= startFrame) {
                state.fetch_or(kSmpteStartReached);
                platform::PostMessage(window, kMsgSmpteStart, 0, intptr_t(smpteTime.load()));
            }
        } else if (piece == 4) {
            SmpteAdvanceFrame();
            platform::PostMessage(window, kMsgSmpteAdvanced, smpteRate, intptr_t(smpteTime.load()));
        } else if (piece == 7) {
            uint32_t hoursByte = quarterFrame[3];
            smpteTime.store((quarterFrame[0] & 0x1Fu) | (quarterFrame[1] & 0x3Fu) << 8 |
                            (quarterFrame[2] & 0x3Fu) << 16 | (hoursByte & 0x1Fu) << 24);
            smpteRate = 5 - ((hoursByte >> 5) & 3);
            SmpteAdvanceFrame();
        }
        if (state.load() & kSmpteStartReached) Tick(1, platform::MonotonicNs());
    }
    LeaveTick();
}

void CSync::RegisterOutput(CMidiOut* out) {
    std::lock_guard<std::mutex> g(tickLock_);
    if (std::find(outputs.begin(), outputs.end(), out) != outputs.end()) return;
    outputs.back() = out;
    outputs.push_back(nullptr);
}

void CSync::UnregisterOutput(CMidiOut* out) {
    std::lock_guard<std::mutex> g(tickLock_);
    auto it = std::find(outputs.begin(), outputs.end(), out);
    if (it != outputs.end() && *it) outputs.erase(it);
}

size_t CSync::OutputCount() const {
    return outputs.size() - 1;
}

void CSync::AttachMidiIn(CMidiIn* in) {
    std::lock_guard<std::mutex> g(tickLock_);
    midiIn = in;
}

void CSync::DetachMidiIn(CMidiIn* in) {
    std::lock_guard<std::mutex> g(tickLock_);
    if (midiIn == in) midiIn = nullptr;
}

void CSync::AttachWaveOut(CWaveOut* device, WaveClockLink* link) {
    std::lock_guard<std::mutex> g(tickLock_);
    waveOut = device;
    waveLink_ = link;
    wavePreparedFor_ = 0xFFFFFFFFu;
}

void CSync::DetachWaveOut(CWaveOut* device) {
    std::lock_guard<std::mutex> g(tickLock_);
    if (waveOut == device) {
        waveOut = nullptr;
        waveLink_ = nullptr;
    }
}
