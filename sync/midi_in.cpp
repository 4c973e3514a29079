#include "sync/midi_in.h"

#include "sync/devices.h"
#include "sync/messages.h"
#include "sync/sync.h"

#include <algorithm>
#include <new>

using namespace dsync;

CMidiIn::CMidiIn() = default;

CMidiIn::~CMidiIn() {
    Close();
}

unsigned CMidiIn::OpenMidiIn(platform::Window owner, uint32_t dev, CSync* clk, uint32_t fl) {
    if (port_) Close();
    MidiDeviceEntry entry;
    if (!FindMidiInput(dev, entry)) return kBadDeviceId;
    ownerWindow = owner;
    device = dev;
    flags.store(fl & 0xFFFFF);
    filters.store((fl & kSysexEnabled) ? kDefaultFilters : kDefaultFilters | 0x80);
    uint32_t sizeIndex = (fl >> 8) & 0x0F;
    longBufferSize = 64u << std::min<uint32_t>(sizeIndex, 9);
    uint32_t ringIndex = std::min<uint32_t>((fl >> 12) & 0x0F, 14);
    capacity = 64u << ringIndex;
    try {
        ring.assign(size_t(capacity) + 1, MidiEvent{});
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    writeIndex.store(0);
    readIndex.store(0);
    if (fl & kSysexEnabled) AllocateLongBuffers(fl & 0xFF);
    systemDevice_ = entry.driver->IsSystemDriver();
    if (systemDevice_ && !AcquireSystemDevices()) {
        systemDevice_ = false;
        FreeLongBuffers();
        ring.clear();
        return kAllocated;
    }
    std::string own = portName_.empty() ? "MIDI IN " + std::to_string(dev) : portName_;
    unsigned err = entry.driver->OpenInput(entry.port, own, this, port_);
    if (err != kNoError || !port_) {
        port_.reset();
        if (systemDevice_) ReleaseSystemDevices();
        systemDevice_ = false;
        FreeLongBuffers();
        ring.clear();
        return err != kNoError ? err : unsigned(kError);
    }
    clock = clk;
    if ((fl & kSyncInput) && clock) clock->AttachMidiIn(this);
    return kNoError;
}

void CMidiIn::AllocateLongBuffers(uint32_t count) {
    std::vector<std::unique_ptr<LongBuffer>> buffers;
    try {
        for (uint32_t i = 0; i < count; ++i) {
            auto b = std::make_unique<LongBuffer>();
            b->data.resize(longBufferSize);
            buffers.push_back(std::move(b));
        }
        freeRing_.assign(count + 1, 0);
        doneRing_.assign(count + 1, 0);
    } catch (const std::bad_alloc&) {
        flags.fetch_and(~kSysexEnabled);
        return;
    }
    longBuffers_ = std::move(buffers);
    for (uint32_t i = 0; i < count; ++i) freeRing_[i] = i;
    freeWrite_.store(count);
    freeRead_.store(0);
    doneWrite_.store(0);
    doneRead_.store(0);
    currentLong_ = -1;
    longPosition_ = 0;
}

void CMidiIn::FreeLongBuffers() {
    longBuffers_.clear();
    freeRing_.clear();
    doneRing_.clear();
    freeWrite_.store(0);
    freeRead_.store(0);
    doneWrite_.store(0);
    doneRead_.store(0);
    currentLong_ = -1;
    longPosition_ = 0;
}

uint32_t CMidiIn::Stamp(uint32_t driverStampMs, int64_t timeNs) const {
    if (!clock) return driverStampMs;
    return timeNs == kTimeUnknown ? clock->now.load() : clock->TickAt(timeNs);
}

void CMidiIn::OnShortMessage(uint32_t message, uint32_t stampMs, int64_t timeNs) {
    ReceiveShort(message, stampMs, timeNs);
}

void CMidiIn::OnLongMessage(const uint8_t* data, size_t length, uint32_t stampMs, int64_t timeNs) {
    ReceiveLong(data, length, stampMs, timeNs);
}

void CMidiIn::ReceiveShort(uint32_t message, uint32_t driverStampMs, int64_t timeNs) {
    if (ring.empty()) return;
    const uint8_t st = message & 0xFF;
    if (Filtered(filters.load(std::memory_order_relaxed), st)) return;
    if ((flags.load(std::memory_order_relaxed) & kSyncInput) && clock) {
        const uint32_t m = clock->mode;
        const bool started = (clock->state.load() & CSync::kStarted) != 0;
        if (st == 0xF1 && m >= 2 && m <= 5) {
            clock->QuarterFrame((message >> 8) & 0xFF);
            return;
        }
        if (m == 1 && started) {
            if (st == 0xF8) {
                clock->ExternalClock();
                return;
            }
            if (st == 0xFA || st == 0xFB) {
                clock->ExternalStart();
                return;
            }
            if (st == 0xFC) {
                clock->ExternalStop();
                return;
            }
        }
    }
    const uint32_t stamp = Stamp(driverStampMs, timeNs);
    const uint32_t w = writeIndex.load(std::memory_order_relaxed);
    const uint32_t next = w == capacity ? 0 : w + 1;
    if (next == readIndex.load(std::memory_order_acquire)) {
        // Never overwrite what the program has not read: drop the newest.
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    MidiEvent& slot = ring[w];
    slot.time = stamp;
    slot.status = st;
    slot.data1 = (message >> 8) & 0xFF;
    slot.data2 = (message >> 16) & 0xFF;
    slot.data3 = (message >> 24) & 0xFF;
    writeIndex.store(next, std::memory_order_release);
    lastStamp.store(stamp, std::memory_order_relaxed);
    platform::PostMessage(ownerWindow, kMsgMidiInData, 0, reinterpret_cast<intptr_t>(this));
}

void CMidiIn::ReceiveLong(const uint8_t* data, size_t length, uint32_t driverStampMs,
                          int64_t timeNs) {
    if (ring.empty() || !data || length == 0) return;
    if (!longActive_.load(std::memory_order_acquire)) return;
    if (Filtered(filters.load(std::memory_order_relaxed), 0xF0) || longBuffers_.empty()) return;
    const uint32_t slots = uint32_t(freeRing_.size());
    size_t offset = 0;
    while (offset < length) {
        uint32_t fr = freeRead_.load(std::memory_order_relaxed);
        if (fr == freeWrite_.load(std::memory_order_acquire)) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        uint32_t index = freeRing_[fr];
        freeRead_.store(fr + 1 == slots ? 0 : fr + 1, std::memory_order_release);
        LongBuffer& lb = *longBuffers_[index];
        size_t n = std::min<size_t>(lb.data.size(), length - offset);
        std::copy(data + offset, data + offset + n, lb.data.begin());
        lb.count = uint32_t(n);
        lb.stamp = 0;
        if (lb.data[0] == 0xF0) {
            if (clock) {
                // Back-date the start by the message's transmission time, 320 µs per byte.
                uint64_t us = std::max<uint64_t>(1, clock->tempo.load() / 256);
                uint64_t back = uint64_t(clock->resolution.load()) * length * 320 / us;
                uint32_t nowTick = Stamp(driverStampMs, timeNs);
                lb.stamp = back >= nowTick ? 0 : uint32_t(nowTick - back);
            } else {
                lb.stamp = driverStampMs;
            }
            lastStamp.store(lb.stamp, std::memory_order_relaxed);
        }
        uint32_t dw = doneWrite_.load(std::memory_order_relaxed);
        doneRing_[dw] = index;
        doneWrite_.store(dw + 1 == slots ? 0 : dw + 1, std::memory_order_release);
        offset += n;
    }
    platform::PostMessage(ownerWindow, kMsgMidiInData, 0, reinterpret_cast<intptr_t>(this));
}

MidiEvent* CMidiIn::MidiIn() {
    if (currentLong_ < 0 && !doneRing_.empty()) {
        uint32_t dr = doneRead_.load(std::memory_order_relaxed);
        if (dr != doneWrite_.load(std::memory_order_acquire)) {
            currentLong_ = int32_t(doneRing_[dr]);
            longPosition_ = 0;
            doneRead_.store(dr + 1 == doneRing_.size() ? 0 : dr + 1, std::memory_order_release);
        }
    }
    if (currentLong_ >= 0) {
        LongBuffer& lb = *longBuffers_[size_t(currentLong_)];
        uint8_t b = lb.data[longPosition_++];
        returnedEvent = MidiEvent{};
        returnedEvent.time = b == 0xF0 ? lb.stamp : 0;
        returnedEvent.status = 0xF0;
        returnedEvent.data1 = b;
        if (longPosition_ >= lb.count) {
            // Hand the buffer back to the driver side.
            uint32_t fw = freeWrite_.load(std::memory_order_relaxed);
            freeRing_[fw] = uint32_t(currentLong_);
            freeWrite_.store(fw + 1 == freeRing_.size() ? 0 : fw + 1, std::memory_order_release);
            currentLong_ = -1;
        }
        return &returnedEvent;
    }
    if (ring.empty()) return nullptr;
    const uint32_t r = readIndex.load(std::memory_order_relaxed);
    const bool ringEmpty = r == writeIndex.load(std::memory_order_acquire);
    {
        std::lock_guard<std::mutex> g(tempoLock_);
        if (!tempoItems_.empty() && (ringEmpty || tempoItems_.front().time <= ring[r].time)) {
            current_ = tempoItems_.front();
            tempoItems_.pop_front();
            return &current_;
        }
    }
    if (ringEmpty) return nullptr;
    current_ = ring[r];
    readIndex.store(r == capacity ? 0 : r + 1, std::memory_order_release);
    return &current_;
}

void CMidiIn::AddTempoItem(uint32_t tick, uint32_t us) {
    if (ring.empty()) return;
    MidiEvent e;
    // Stamped with the current tick like every other message, so a recording places the tempo
    // change where it happened.
    e.time = tick;
    e.status = 0;
    e.data1 = (us >> 16) & 0xFF;
    e.data2 = (us >> 8) & 0xFF;
    e.data3 = us & 0xFF;
    {
        std::lock_guard<std::mutex> g(tempoLock_);
        if (tempoItems_.size() >= capacity) {
            dropped_.fetch_add(1);
            return;
        }
        tempoItems_.push_back(e);
    }
    platform::PostMessage(ownerWindow, kMsgMidiInData, 0, reinterpret_cast<intptr_t>(this));
}

void CMidiIn::SetMidiInFilters(uint32_t f) {
    const bool blocks = (f & 0x80) != 0;
    const bool enabled = (flags.load() & kSysexEnabled) != 0;
    const bool running = (flags.load() & kRunning) != 0;
    if (blocks == !enabled) {
        filters.store(f);
        return;
    }
    // The driver's thread fills the long buffers: keep it away while they change.
    longActive_.store(false);
    if (running && port_) port_->Stop();
    if (blocks) {
        flags.fetch_and(~kSysexEnabled);
        if (port_) port_->Reset();
        FreeLongBuffers();
    } else {
        flags.fetch_or(kSysexEnabled);
        if (longBufferSize == 0) longBufferSize = 512;
        uint32_t count = flags.load() & 0xFF;
        if (count == 0) {
            count = 32;
            flags.fetch_or(32);
        }
        AllocateLongBuffers(count);
    }
    filters.store(f);
    if (running && port_) {
        if (port_->Start() != 0) flags.fetch_and(~kRunning);
    }
    longActive_.store(!longBuffers_.empty());
}

int CMidiIn::Start() {
    if (!port_) return int(kError);
    if (flags.load() & kRunning) return 0;
    writeIndex.store(0);
    readIndex.store(0);
    lastStamp.store(0);
    longActive_.store(!longBuffers_.empty());
    int r = port_->Start();
    if (r == 0) flags.fetch_or(kRunning);
    return r;
}

void CMidiIn::Stop() {
    if (!port_) return;
    if (port_->Stop() == 0) flags.fetch_and(~kRunning);
}

void CMidiIn::Close() {
    if (!port_) return;
    if (flags.load() & kRunning) Stop();
    longActive_.store(false);
    port_->Reset();
    // Closing the port waits for a message the driver's thread is handing over; only then may
    // the clock go (that thread reads it to stamp the message).
    port_.reset();
    if (clock) clock->DetachMidiIn(this);
    clock = nullptr;
    if (systemDevice_) ReleaseSystemDevices();
    systemDevice_ = false;
    FreeLongBuffers();
    platform::PostMessage(ownerWindow, kMsgMidiInClose, 0, reinterpret_cast<intptr_t>(this));
    ring.clear();
    ring.shrink_to_fit();
    capacity = 0;
}
