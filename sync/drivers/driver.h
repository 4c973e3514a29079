// The MIDI driver interface: what the devices of the library need from a MIDI service.
//
// A driver lists its ports and opens them. An output port sends short and long messages; each
// message carries the clock tick it was dispatched for and that tick's times, so a driver that
// renders (the built-in synthesizer) can place it exactly. SendShort and SendLong are called on
// the clock's real-time thread and must neither allocate nor block; calls on one port are
// serialised by the caller. An input port delivers what arrives to its sink on the driver's own
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dsync {

// exactNs of a message sent outside the tick: place it as soon as possible.
constexpr int64_t kAsSoonAsPossible = INT64_MIN;

struct DispatchTime {
    uint32_t tick = 0;      // the clock tick the message was due at (or dispatched at)
    int64_t deadlineNs = 0; // the ideal time of the timer period that sent it
    int64_t exactNs = 0;    // the exact time of the tick on the clock's time line
};

class MidiOutPort {
public:
    virtual ~MidiOutPort() = default;
    // Real-time: 0, or kNotReady when the driver cannot take the message now.
    virtual int SendShort(uint32_t message, const DispatchTime& at) = 0;
    virtual int SendLong(const uint8_t* data, uint32_t length, const DispatchTime& at) = 0;
    virtual int Reset() { return 0; }
    // Output volume word: left level in the low 16 bits, right in the high 16 bits.
    virtual bool HasVolume() const { return false; }
    virtual bool HasLeftRightVolume() const { return false; }
    virtual uint32_t GetVolumeWord() const { return 0; }
    virtual void SetVolumeWord(uint32_t) {}
};

class MidiInSink {
public:
    virtual ~MidiInSink() = default;
    // On the driver's thread. stampMs: milliseconds since the input was started.
    virtual void OnShortMessage(uint32_t message, uint32_t stampMs) = 0;
    virtual void OnLongMessage(const uint8_t* data, size_t length, uint32_t stampMs) = 0;
};

class MidiInPort {
public:
    virtual ~MidiInPort() = default;
    virtual int Start() = 0;
    virtual int Stop() = 0;
    virtual int Reset() { return 0; }
};

class MidiDriver {
public:
    virtual ~MidiDriver() = default;
    virtual const char* Name() const = 0;
    // True for a system service shared with other programs: the first use takes the library's
    // instance lock.
    virtual bool IsSystemDriver() const = 0;
    virtual std::vector<std::string> Outputs() = 0;
    virtual std::vector<std::string> Inputs() = 0;
    // ownName names the port this program creates for the connection (where the driver has one).
    virtual unsigned OpenOutput(const std::string& port, const std::string& ownName,
                                std::unique_ptr<MidiOutPort>& out) = 0;
    virtual unsigned OpenInput(const std::string& port, const std::string& ownName,
                               MidiInSink* sink, std::unique_ptr<MidiInPort>& out) = 0;
};

} // namespace dsync
