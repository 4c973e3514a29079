// CMidiOut: one opened MIDI output port.
//
// Events with a time are queued in a single-writer single-reader ring (the user-interface thread
// writes, the clock's tick reads) and sent by the tick when due; events with the time 0xFFFFFFFF
// go out at once. A queued note-on schedules its note-off in the note-off list; QuickOut plays a
// whole list relative to the current tick through the quick list. Both lists are guarded by named
// mutexes ("QUAVNOTELIST", "QUAVQUICKLIST"): the user-interface thread waits for them without
// limit, the tick for at most 1 ms. Events the tick has sent from a list are kept on a spent list
// and destroyed on the user-interface thread, so the tick frees nothing.
//
// Outputs on the same device share one driver port, closed when the last of them closes.
#pragma once

#include "events/event_list.h"
#include "platform/message_queue.h"
#include "sync/drivers/driver.h"
#include "sync/proto_device.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CSync;

namespace platform {
class NamedMutex;
}

// A CNoteEventList with a named mutex; Lock(0) waits without limit.
class CLockedNoteList : public CNoteEventList {
public:
    explicit CLockedNoteList(const char* mutexName);
    ~CLockedNoteList() override;
    int Lock(uint32_t timeoutMs);
    void Unlock();

    platform::NamedMutex* held = nullptr;
    platform::NamedMutex* mutex = nullptr;
};

namespace dsync {
// One driver port shared by every output opened on the same device; sends are serialised.
struct SharedOutPort {
    std::unique_ptr<MidiOutPort> port;
    std::mutex sendLock;
    uint32_t device = 0;
    bool systemDevice = false;
    ~SharedOutPort();
};
} // namespace dsync

class CMidiOut : public ProtoDevice {
public:
    // Open flags.
    static constexpr uint32_t kSysexEnabled = 0x10000;
    static constexpr uint32_t kSendSync = 0x20000;
    static constexpr uint32_t kLongInFlight = 0x200000;

    struct Item {
        uint32_t time;
        uint32_t message; // status in the low byte
    };
    struct LongBuffer {
        std::vector<uint8_t> data;
        uint32_t recorded = 0;
        bool done = false;
    };

    CMidiOut();
    ~CMidiOut() override;

    unsigned OpenMidiOut(platform::Window owner, uint32_t device, CSync* clock, uint32_t flags);
    // 0 when sent, queued or filtered; 0xFFFFFFFF when it could not be queued (the caller keeps
    // the event and tries again).
    unsigned MidiOut(EventMidi* event);
    void QuickOut(CNoteEventList* list);
    unsigned NotesOff();
    unsigned ResetMidiOut();
    void FlushMidiOut();
    void SetMidiOutFilters(uint32_t filters);
    uint32_t GetMidiOutFilters() const { return filters.load(); }
    // The driver's completion (0x3C9 long message done, 0x3C8 closed).
    static void MidiOutCallback(void* handle, uint32_t message, uintptr_t data, uintptr_t p1,
                                uintptr_t p2);
    // Names the port this program creates on drivers that have ports (default "MIDI OUT n").
    void SetPortName(const std::string& name) { portName_ = name; }

    // ProtoDevice.
    int Open() override { return 0; }
    void Close() override;
    int Start() override { return 0; }
    void Stop() override;
    void Reset() override { NotesOff(); }
    int AddEvent(EventWave*) override { return 0; }
    void SetVolume(float v) override;
    float GetVolume() override;
    void SetBalance(float b) override;
    float GetBalance() override;

    // Items in the ring.
    uint32_t Count() const;
    // Messages the driver could not place at their time (sent at the earliest moment instead).
    uint64_t LateMessages() const;
    bool IsOpen() const { return shared_ != nullptr; }
    // Whether key sounds on channel (from the sounding-note table).
    bool Sounding(uint8_t key, uint8_t channel) const {
        return (soundingNotes[key & 0x7F].load() >> (channel & 15)) & 1u;
    }

    // Called by the clock's tick. Real-time: no allocation, locks held for at most 1 ms.
    // True when the ring held items when the tick began.
    bool TickDispatch(CSync& clock, uint32_t nowTick, uint32_t midiClocks, bool sendClocks);
    void SendSyncMessage(uint8_t status, const dsync::DispatchTime& at);

    // Fields, in order.
    uint32_t device = 0;
    std::atomic<uint32_t> writeIndex{0};
    std::atomic<uint32_t> soundingNotes[128];
    CSync* clock = nullptr;
    platform::Window serviceWindow = 0;
    platform::Window ownerWindow = 0;
    CLockedNoteList noteOffList{"QUAVNOTELIST"};
    CLockedNoteList quickList{"QUAVQUICKLIST"};
    std::vector<Item> ring; // capacity + 1 slots
    std::atomic<uint32_t> readIndex{0};
    uint32_t capacity = 0;
    uint32_t longBufferSize = 0;
    std::atomic<uint32_t> freeLongBuffers{0};
    uint32_t longBufferTotal = 0;
    std::vector<std::unique_ptr<LongBuffer>> longBuffers;
    uint32_t currentLongBuffer = 0;
    std::atomic<uint32_t> flags{0};
    std::atomic<uint32_t> filters{0};

private:
    friend class CSync;
    int SendShortNow(uint32_t message, const dsync::DispatchTime& at);
    void UpdateSounding(uint32_t message);
    // Appends one byte to the system-exclusive stream; caller holds the port's send lock.
    void SysexByte(uint8_t b, const dsync::DispatchTime& at);
    void AllocateLongBuffers();
    void FreeLongBuffers();
    void ServiceList(CLockedNoteList& list, SongEvent*& spent, uint32_t nowTick,
                     const dsync::DispatchTime& at);
    void ReclaimSpent(SongEvent*& spent);
    void EmptyListsAndRing();
    dsync::DispatchTime NowTime() const;

    std::shared_ptr<dsync::SharedOutPort> shared_;
    SongEvent* spentNoteOffs_ = nullptr; // guarded by the note-off list's mutex
    SongEvent* spentQuick_ = nullptr;    // guarded by the quick list's mutex
    std::string portName_;
    bool refillPosted_ = false;
};
