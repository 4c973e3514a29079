// CMidiIn: one opened MIDI input port.
//
// The driver's thread stamps each message with the clock's tick at the time the driver gives it
// (JACK: the message's frame), else with the clock's current tick, and stores it in a
// single-writer single-reader ring; the user-interface thread reads them with MidiIn after the
// posted 0x3C3. A full ring never overwrites unread messages: the newest is dropped and counted.
// System-exclusive data arrives in long buffers and is handed out byte by byte. With the sync
// option, clock, start, continue, stop and time-code messages drive the clock and are not stored.
// Tempo changes made while recording reach MidiIn through a separate queue written on the
// user-interface thread, so the ring keeps its single writer.
#pragma once

#include "events/wave_format.h"
#include "platform/message_queue.h"
#include "sync/drivers/driver.h"
#include "sync/proto_device.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CSync;

class CMidiIn : public ProtoDevice, private dsync::MidiInSink {
public:
    static constexpr uint32_t kSysexEnabled = 0x10000;
    static constexpr uint32_t kSyncInput = 0x20000;
    static constexpr uint32_t kRunning = 0x100000;
    static constexpr uint32_t kDefaultFilters = 0x0038B800;

    struct LongBuffer {
        std::vector<uint8_t> data;
        uint32_t count = 0;
        uint32_t stamp = 0;
    };

    CMidiIn();
    ~CMidiIn() override;

    unsigned OpenMidiIn(platform::Window owner, uint32_t device, CSync* clock, uint32_t flags);
    // The next waiting message, or null; valid until the next call (user-interface thread).
    MidiEvent* MidiIn();
    void SetMidiInFilters(uint32_t filters);
    uint32_t GetMidiInFilters() const { return filters.load(); }
    void SetPortName(const std::string& name) { portName_ = name; }

    // ProtoDevice.
    int Start() override;
    void Stop() override;
    void Close() override;

    // Messages dropped because the ring or the long buffers were full.
    uint64_t Dropped() const { return dropped_.load(); }
    // A tempo change while recording (user-interface thread, from CSync::SetTempo).
    void AddTempoItem(uint32_t tick, uint32_t microsecondsPerQuarter);

    // The driver's entry points (also used by tests to feed messages): 0x3C3 data with the short
    // message in p1, 0x3C4/0x3C6 long data. timeNs: when the message came on the clock's time
    // line, or kTimeUnknown (now). Real-time safe.
    void ReceiveShort(uint32_t message, uint32_t driverStampMs,
                      int64_t timeNs = dsync::kTimeUnknown);
    void ReceiveLong(const uint8_t* data, size_t length, uint32_t driverStampMs,
                     int64_t timeNs = dsync::kTimeUnknown);

    // Fields, in order of use.
    MidiEvent returnedEvent;
    uint32_t longBufferSize = 0;
    uint32_t device = 0;
    uint32_t capacity = 0;
    CSync* clock = nullptr;
    platform::Window ownerWindow = 0;
    platform::Window serviceWindow = 0;
    std::vector<MidiEvent> ring; // capacity + 1 slots
    std::atomic<uint32_t> writeIndex{0};
    std::atomic<uint32_t> readIndex{0};
    std::atomic<uint32_t> flags{0};
    std::atomic<uint32_t> filters{0};
    std::atomic<uint32_t> lastStamp{0};

private:
    void OnShortMessage(uint32_t message, uint32_t stampMs, int64_t timeNs) override;
    void OnLongMessage(const uint8_t* data, size_t length, uint32_t stampMs,
                       int64_t timeNs) override;
    uint32_t Stamp(uint32_t driverStampMs, int64_t timeNs) const;
    void AllocateLongBuffers(uint32_t count);
    void FreeLongBuffers();

    std::unique_ptr<dsync::MidiInPort> port_;
    bool systemDevice_ = false;
    std::string portName_;
    std::atomic<uint64_t> dropped_{0};
    MidiEvent current_;

    // Long buffers: the free ring (user-interface thread writes, driver reads) and the completed
    // ring (driver writes, user-interface thread reads), both of buffer indexes.
    std::vector<std::unique_ptr<LongBuffer>> longBuffers_;
    std::vector<uint32_t> freeRing_, doneRing_;
    std::atomic<uint32_t> freeWrite_{0}, freeRead_{0}, doneWrite_{0}, doneRead_{0};
    int32_t currentLong_ = -1;
    uint32_t longPosition_ = 0;
    std::atomic<bool> longActive_{false};

    std::mutex tempoLock_;
    std::deque<MidiEvent> tempoItems_;
};
