#include "sync/midi_out.h"

#include "platform/named_mutex.h"
#include "platform/user_messages.h"
#include "sync/devices.h"
#include "sync/messages.h"
#include "sync/sync.h"

#include <algorithm>
#include <new>

using namespace dsync;

CLockedNoteList::CLockedNoteList(const char* mutexName)
    : mutex(platform::AcquireNamedMutex(mutexName)) {}

CLockedNoteList::~CLockedNoteList() {
    if (held) Unlock();
    RemoveAll();
    platform::ReleaseNamedMutex(mutex);
}

int CLockedNoteList::Lock(uint32_t timeoutMs) {
    if (!mutex) return 0;
    if (timeoutMs == 0) {
        mutex->Lock(0);
    } else {
        struct Adapter {
            platform::NamedMutex* m;
            bool try_lock() { return m->TryLock(); }
        } adapter{mutex};
        if (!TryLockFor(adapter, int64_t(timeoutMs) * 1000000)) return 0;
    }
    held = mutex;
    return 1;
}

void CLockedNoteList::Unlock() {
    if (!held) return;
    platform::NamedMutex* m = held;
    held = nullptr;
    m->Unlock();
}

dsync::SharedOutPort::~SharedOutPort() {
    port.reset();
    if (systemDevice) ReleaseSystemDevices();
}

CMidiOut::CMidiOut() {
    for (auto& w : soundingNotes) w.store(0, std::memory_order_relaxed);
}

CMidiOut::~CMidiOut() {
    Close();
    ReclaimSpent(spentNoteOffs_);
    ReclaimSpent(spentQuick_);
}

unsigned CMidiOut::OpenMidiOut(platform::Window owner, uint32_t dev, CSync* clk, uint32_t fl) {
    if (shared_) Close();
    uint32_t number = dev == kMidiMapper ? 0 : dev;
    MidiDeviceEntry entry;
    if (!FindMidiOutput(number, entry)) return kBadDeviceId;
    ownerWindow = owner;
    device = number;
    clock = clk;
    if (clock) {
        for (CMidiOut* o : clock->outputs) {
            if (o && o != this && o->shared_ && o->device == number) {
                shared_ = o->shared_;
                break;
            }
        }
    }
    if (!shared_) {
        auto shared = std::make_shared<SharedOutPort>();
        shared->device = number;
        if (entry.driver->IsSystemDriver()) {
            if (!AcquireSystemDevices()) return kAllocated;
            shared->systemDevice = true;
        }
        std::string own = portName_.empty() ? "MIDI OUT " + std::to_string(number) : portName_;
        unsigned err = entry.driver->OpenOutput(entry.port, own, shared->port);
        if (err != kNoError || !shared->port) {
            shared.reset();
            return err != kNoError ? err : unsigned(kError);
        }
        shared_ = std::move(shared);
    }
    {
        std::lock_guard<std::mutex> g(shared_->sendLock);
        shared_->port->SetDispatchPeriod(clock ? clock->DispatchPeriodMs() : 0);
    }
    longBufferSize = 64u << ((fl >> 8) & 0x0F);
    if (longBufferSize > 32768) longBufferSize = 32768;
    freeLongBuffers.store(4);
    longBufferTotal = 4;
    uint32_t ringIndex = (fl >> 12) & 0x0F;
    if (ringIndex > 14) ringIndex = 14;
    capacity = 64u << ringIndex;
    try {
        ring.assign(size_t(capacity) + 1, Item{0, 0});
    } catch (const std::bad_alloc&) {
        shared_.reset();
        return kNoMemory;
    }
    readIndex.store(0);
    writeIndex.store(0);
    flags.store(fl & 0xFFFFF);
    filters.store((fl & kSysexEnabled) ? 0 : 0x80);
    refillPosted_ = false;
    if (fl & kSysexEnabled) AllocateLongBuffers();
    currentLongBuffer = 0;
    if (clock) clock->RegisterOutput(this);
    return kNoError;
}

void CMidiOut::AllocateLongBuffers() {
    uint32_t count = flags.load() & 0xFF;
    std::vector<std::unique_ptr<LongBuffer>> buffers;
    try {
        for (uint32_t i = 0; i < count; ++i) {
            auto b = std::make_unique<LongBuffer>();
            b->data.resize(longBufferSize);
            buffers.push_back(std::move(b));
        }
    } catch (const std::bad_alloc&) {
        flags.fetch_and(~kSysexEnabled);
        return;
    }
    std::lock_guard<std::mutex> g(shared_->sendLock);
    longBuffers = std::move(buffers);
    currentLongBuffer = 0;
}

void CMidiOut::FreeLongBuffers() {
    std::vector<std::unique_ptr<LongBuffer>> old;
    if (shared_) {
        std::lock_guard<std::mutex> g(shared_->sendLock);
        old.swap(longBuffers);
        currentLongBuffer = 0;
    } else {
        old.swap(longBuffers);
    }
}

uint32_t CMidiOut::Count() const {
    uint32_t w = writeIndex.load(std::memory_order_acquire);
    uint32_t r = readIndex.load(std::memory_order_acquire);
    return w >= r ? w - r : w + capacity + 1 - r;
}

uint64_t CMidiOut::LateMessages() const {
    return shared_ ? shared_->port->Late() : 0;
}

DispatchTime CMidiOut::NowTime() const {
    DispatchTime at;
    at.tick = clock ? clock->now.load() : 0;
    at.deadlineNs = platform::MonotonicNs();
    at.exactNs = kAsSoonAsPossible;
    return at;
}

int CMidiOut::SendShortNow(uint32_t message, const DispatchTime& at) {
    if (!shared_) return int(kError);
    std::lock_guard<std::mutex> g(shared_->sendLock);
    return shared_->port->SendShort(message, at);
}

void CMidiOut::UpdateSounding(uint32_t message) {
    uint8_t st = message & 0xFF;
    uint8_t key = (message >> 8) & 0x7F;
    uint8_t vel = (message >> 16) & 0xFF;
    uint32_t bit = 1u << (st & 0x0F);
    if ((st & 0xF0) == 0x90 && vel != 0)
        soundingNotes[key].fetch_or(bit, std::memory_order_relaxed);
    else if ((st & 0xF0) == 0x80 || (st & 0xF0) == 0x90)
        soundingNotes[key].fetch_and(~bit, std::memory_order_relaxed);
}

unsigned CMidiOut::MidiOut(EventMidi* event) {
    if (!event || !shared_) return kQueueFull;
    uint8_t st = event->status;
    if (Filtered(filters.load(), st)) return kNoError;
    uint32_t message = event->ShortMessage();
    if (event->time == kSendNow) {
        if (st == 0xF0) return kNoError;
        DispatchTime at = NowTime();
        for (int attempt = 0; attempt < 20; ++attempt)
            if (SendShortNow(message, at) != int(kNotReady)) break;
        UpdateSounding(message);
        return kNoError;
    }
    if (st == 0xF0) {
        if (freeLongBuffers.load() == 0) return kQueueFull;
        if ((flags.load() & kSysexEnabled) &&
            (!clock || !(clock->state.load() & CSync::kStarted))) {
            std::lock_guard<std::mutex> g(shared_->sendLock);
            SysexByte(event->data1, NowTime());
            return kNoError;
        }
    }
    if (Count() >= capacity) return kQueueFull;
    uint32_t w = writeIndex.load(std::memory_order_relaxed);
    ring[w] = Item{event->time, message};
    writeIndex.store(w == capacity ? 0 : w + 1, std::memory_order_release);
    if (event->IsNoteOn()) {
        noteOffList.Lock(0);
        ReclaimSpent(spentNoteOffs_);
        noteOffList.AddNoteOff(*event);
        noteOffList.Unlock();
    }
    if (!clock) platform::MessageBox("Problem in Syncronizer. Tell Dorvan.");
    return kNoError;
}

void CMidiOut::QuickOut(CNoteEventList* list) {
    if (!clock || !list || !shared_) return;
    quickList.Lock(0);
    ReclaimSpent(spentQuick_);
    uint32_t base = clock->now.load();
    for (SongEvent* e = list->head; e; e = e->next) {
        e->time += base;
        quickList.AddCopyAt(*e, e->time);
    }
    quickList.Unlock();
}

void CMidiOut::ReclaimSpent(SongEvent*& spent) {
    while (spent) {
        SongEvent* e = spent;
        spent = e->next;
        e->next = nullptr;
        DeleteSongEvent(e);
    }
}

unsigned CMidiOut::NotesOff() {
    if (!shared_) return kNoError;
    DispatchTime at = NowTime();
    for (uint32_t key = 0; key < 128; ++key) {
        uint32_t bits = soundingNotes[key].exchange(0);
        for (uint32_t ch = 0; ch < 16; ++ch)
            if (bits & (1u << ch)) SendShortNow(0x90u | ch | key << 8, at);
    }
    for (uint32_t ch = 0; ch < 16; ++ch) SendShortNow(0xB0u | ch | 123u << 8, at);
    std::lock_guard<std::mutex> g(shared_->sendLock);
    return unsigned(shared_->port->Reset());
}

void CMidiOut::EmptyListsAndRing() {
    std::unique_lock<std::mutex> hold;
    if (clock) hold = clock->HoldTick();
    readIndex.store(0);
    writeIndex.store(0);
    refillPosted_ = false;
    noteOffList.Lock(0);
    noteOffList.RemoveAll();
    ReclaimSpent(spentNoteOffs_);
    noteOffList.Unlock();
    quickList.Lock(0);
    quickList.RemoveAll();
    ReclaimSpent(spentQuick_);
    quickList.Unlock();
}

unsigned CMidiOut::ResetMidiOut() {
    EmptyListsAndRing();
    return NotesOff();
}

void CMidiOut::FlushMidiOut() {
    std::unique_lock<std::mutex> hold;
    if (clock) hold = clock->HoldTick();
    readIndex.store(0);
    writeIndex.store(0);
    refillPosted_ = false;
}

void CMidiOut::Stop() {
    FlushMidiOut();
}

void CMidiOut::Close() {
    if (!shared_) return;
    if (flags.load() & kSysexEnabled) FreeLongBuffers();
    EmptyListsAndRing();
    NotesOff();
    if (clock) clock->UnregisterOutput(this);
    clock = nullptr;
    // The port closes with the last output that shares it.
    shared_.reset();
    platform::PostMessage(ownerWindow, kMsgMidiOutClose, 0, reinterpret_cast<intptr_t>(this));
    ring.clear();
    ring.shrink_to_fit();
    capacity = 0;
}

void CMidiOut::SetMidiOutFilters(uint32_t f) {
    bool blocks = (f & 0x80) != 0;
    bool enabled = (flags.load() & kSysexEnabled) != 0;
    if (blocks && enabled) {
        flags.fetch_and(~kSysexEnabled);
        FreeLongBuffers();
        if (shared_) {
            std::lock_guard<std::mutex> g(shared_->sendLock);
            shared_->port->Reset();
        }
    } else if (!blocks && !enabled && shared_) {
        flags.fetch_or(kSysexEnabled);
        if (longBufferSize == 0) longBufferSize = 512;
        if ((flags.load() & 0xFF) == 0) flags.fetch_or(32);
        AllocateLongBuffers();
    }
    filters.store(f);
}

void CMidiOut::SysexByte(uint8_t b, const DispatchTime& at) {
    size_t n = longBuffers.size();
    if (n == 0) return;
    if (currentLongBuffer >= n) currentLongBuffer = 0;
    LongBuffer* lb = longBuffers[currentLongBuffer].get();
    if (!lb || lb->data.empty()) return;
    lb->data[lb->recorded++] = b;
    if (lb->recorded < lb->data.size() && b != 0xF7) return;
    currentLongBuffer = currentLongBuffer + 1 >= n ? 0 : currentLongBuffer + 1;
    freeLongBuffers.fetch_sub(1);
    flags.fetch_or(kLongInFlight);
    if (clock) clock->longInFlight.fetch_add(1);
    shared_->port->SendLong(lb->data.data(), lb->recorded, at);
    // The drivers copy a long message when it is handed to them, so it is done at once.
    MidiOutCallback(nullptr, 0x3C9, reinterpret_cast<uintptr_t>(this),
                    reinterpret_cast<uintptr_t>(lb), 0);
}

void CMidiOut::MidiOutCallback(void*, uint32_t message, uintptr_t data, uintptr_t p1, uintptr_t) {
    auto* self = reinterpret_cast<CMidiOut*>(data);
    if (!self) return;
    if (message == 0x3C9) {
        auto* lb = reinterpret_cast<LongBuffer*>(p1);
        if (lb) {
            lb->recorded = 0;
            lb->done = false;
        }
        if (self->clock) self->clock->longInFlight.fetch_sub(1);
        uint32_t free = self->freeLongBuffers.fetch_add(1) + 1;
        if (free >= self->longBufferTotal) self->flags.fetch_and(~kLongInFlight);
    } else if (message == kMsgMidiOutClose) {
        platform::PostMessage(self->ownerWindow, kMsgMidiOutClose, 0,
                              reinterpret_cast<intptr_t>(self));
    }
}

void CMidiOut::SendSyncMessage(uint8_t status, const DispatchTime& at) {
    SendShortNow(status, at);
}

bool CMidiOut::TickDispatch(CSync& clk, uint32_t nowTick, uint32_t midiClocks, bool sendClocks) {
    DispatchTime at;
    at.deadlineNs = clk.TickDeadlineNs();
    const uint32_t f = filters.load(std::memory_order_relaxed);
    if (sendClocks && midiClocks && (flags.load() & kSendSync) && !Filtered(f, 0xF8)) {
        at.tick = nowTick;
        at.exactNs = clk.ExactTimeOfTick(nowTick);
        for (uint32_t i = 0; i < midiClocks; ++i) SendShortNow(0xF8, at);
    }
    uint32_t r = readIndex.load(std::memory_order_relaxed);
    const uint32_t w = writeIndex.load(std::memory_order_acquire);
    const bool had = r != w;
    while (r != w) {
        const Item item = ring[r];
        const uint8_t st = item.message & 0xFF;
        const uint8_t d1 = (item.message >> 8) & 0xFF;
        bool take = item.time <= nowTick || (st == 0xF0 && d1 == 0xF7);
        if ((flags.load(std::memory_order_relaxed) & kLongInFlight) && st != 0xF0) take = false;
        if (!take) break;
        clk.lastItemTime = item.time;
        at.tick = item.time;
        at.exactNs = clk.ExactTimeOfTick(item.time);
        if (st == 0) {
            // The three data bytes, high to low.
            uint32_t value = ((item.message >> 8) & 0xFF) << 16 |
                             ((item.message >> 16) & 0xFF) << 8 | ((item.message >> 24) & 0xFF);
            if (value != 0) {
                uint32_t bpm = 60000000u / value;
                if (bpm < 1000) {
                    clk.tempo.store(uint64_t(value) * 256);
                    platform::PostMessage(ownerWindow, kMsgTempo, bpm, 0);
                }
            }
        } else if (!Filtered(f, st)) {
            if (st == 0xF0) {
                std::lock_guard<std::mutex> g(shared_->sendLock);
                SysexByte(d1, at);
            } else {
                SendShortNow(item.message, at);
                UpdateSounding(item.message);
            }
        }
        r = r == capacity ? 0 : r + 1;
        readIndex.store(r, std::memory_order_release);
        uint32_t left = w >= r ? w - r : w + capacity + 1 - r;
        if (left == capacity / 4)
            platform::PostMessage(ownerWindow, kMsgRefill, 0, reinterpret_cast<intptr_t>(this));
    }
    ServiceList(noteOffList, spentNoteOffs_, nowTick, at);
    ServiceList(quickList, spentQuick_, nowTick, at);
    return had;
}

void CMidiOut::ServiceList(CLockedNoteList& list, SongEvent*& spent, uint32_t nowTick,
                           const DispatchTime& base) {
    if (!list.Lock(1)) return;
    const uint32_t f = filters.load(std::memory_order_relaxed);
    DispatchTime at = base;
    while (list.head && list.head->time <= nowTick) {
        SongEvent* e = list.PopHead();
        if (!e) break;
        if (e->IsMidi()) {
            auto* m = static_cast<EventMidi*>(e);
            if (m->status != 0 && m->status != 0xF0 && !Filtered(f, m->status)) {
                uint32_t message = m->ShortMessage();
                at.tick = e->time;
                at.exactNs = clock ? clock->ExactTimeOfTick(e->time) : base.exactNs;
                SendShortNow(message, at);
                UpdateSounding(message);
            }
        }
        e->next = spent;
        spent = e;
    }
    list.Unlock();
}

void CMidiOut::SetVolume(float v) {
    if (!shared_ || !shared_->port->HasVolume()) return;
    v = std::clamp(v, 0.0f, 1.0f);
    double level = double(uint32_t(v * 65535.0f));
    double b = GetBalance();
    uint32_t right = uint32_t(level * b);
    uint32_t left = uint32_t(level * (1.0 - b));
    std::lock_guard<std::mutex> g(shared_->sendLock);
    shared_->port->SetVolumeWord((left & 0xFFFF) | (right & 0xFFFF) << 16);
}

float CMidiOut::GetVolume() {
    if (!shared_ || !shared_->port->HasVolume()) return 0.0f;
    uint32_t word = shared_->port->GetVolumeWord();
    uint32_t left = word & 0xFFFF, right = word >> 16;
    return float(std::max(left, right)) / 65535.0f;
}

float CMidiOut::GetBalance() {
    if (!shared_ || !shared_->port->HasLeftRightVolume()) return 0.0f;
    uint32_t word = shared_->port->GetVolumeWord();
    uint32_t left = word & 0xFFFF, right = word >> 16;
    if (left == 0 && right == 0) return 0.5f;
    return float(right) / float(left + right);
}

void CMidiOut::SetBalance(float b) {
    if (!shared_ || !shared_->port->HasVolume()) return;
    b = std::clamp(b, 0.0f, 1.0f);
    double level = double(GetVolume()) * 65535.0;
    uint32_t right = uint32_t(level * b);
    uint32_t left = uint32_t(level * (1.0 - b));
    std::lock_guard<std::mutex> g(shared_->sendLock);
    shared_->port->SetVolumeWord((left & 0xFFFF) | (right & 0xFFFF) << 16);
}
