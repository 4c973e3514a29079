// The loopback MIDI driver, for tests and benchmarks.
//
// Each output port records every message it is sent, with the monotonic time it was sent and the
// dispatch times the clock gave it, into storage reserved in advance (recording allocates
// nothing). Each input port can be fed messages as if they came from a device, on the caller's
// thread. An output can be connected to an input so that what is sent arrives there.
#pragma once

#include "sync/drivers/driver.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace dsync {

struct LoopbackRecord {
    uint32_t message = 0;     // short message; 0xF0 with the bytes in sysex for a long one
    uint32_t sysexOffset = 0; // into the port's sysex bytes
    uint32_t sysexLength = 0;
    DispatchTime at;
    int64_t sentNs = 0;
};

class LoopbackOutputState {
public:
    // Not real-time: reserves room for this many records and sysex bytes, and forgets the past.
    void Reserve(size_t records, size_t sysexBytes = 1 << 16);
    void Clear();
    size_t Count() const { return count_.load(std::memory_order_acquire); }
    const LoopbackRecord& Record(size_t i) const { return records_[i]; }
    std::vector<uint8_t> Sysex(const LoopbackRecord& r) const;
    // Short messages only, in order.
    std::vector<uint32_t> ShortMessages() const;
    uint64_t Dropped() const { return dropped_.load(); }
    int Opens() const { return opens_.load(); }
    int Closes() const { return closes_.load(); }
    int Resets() const { return resets_.load(); }
    uint32_t VolumeWord() const { return volume_.load(); }
    // Messages sent here also arrive at this loopback input (-1: none).
    void ConnectTo(int input) { connected_.store(input); }

private:
    friend class LoopbackOutPort;
    friend class LoopbackMidiDriver;
    void Add(uint32_t message, const uint8_t* data, uint32_t length, const DispatchTime& at);

    std::vector<LoopbackRecord> records_;
    std::vector<uint8_t> sysex_;
    std::atomic<size_t> count_{0};
    size_t sysexUsed_ = 0;
    std::atomic<uint64_t> dropped_{0};
    std::atomic<int> opens_{0}, closes_{0}, resets_{0};
    std::atomic<uint32_t> volume_{0xFFFFFFFFu};
    std::atomic<int> connected_{-1};
};

class LoopbackMidiDriver : public MidiDriver {
public:
    static constexpr int kPorts = 4;

    LoopbackMidiDriver();
    const char* Name() const override { return "Loopback"; }
    bool IsSystemDriver() const override { return false; }
    std::vector<std::string> Outputs() override;
    std::vector<std::string> Inputs() override;
    unsigned OpenOutput(const std::string& port, const std::string& ownName,
                        std::unique_ptr<MidiOutPort>& out) override;
    unsigned OpenInput(const std::string& port, const std::string& ownName, MidiInSink* sink,
                       std::unique_ptr<MidiInPort>& out) override;

    LoopbackOutputState& Output(int index) { return outputs_[index]; }
    // Feeds a message to a started input; false when the input is not open and started. timeNs:
    // when it came on the clock's time line, if the feeder knows.
    bool FeedShort(int input, uint32_t message, uint32_t stampMs = 0,
                   int64_t timeNs = kTimeUnknown);
    bool FeedLong(int input, const uint8_t* data, size_t length, uint32_t stampMs = 0,
                  int64_t timeNs = kTimeUnknown);

private:
    friend class LoopbackInPort;
    friend class LoopbackOutPort;
    struct InputState {
        std::mutex lock;
        MidiInSink* sink = nullptr;
        bool started = false;
    };
    LoopbackOutputState outputs_[kPorts];
    InputState inputs_[kPorts];
};

LoopbackMidiDriver& Loopback();

} // namespace dsync
