// The MIDI driver interface: what the devices of the library need from a MIDI service.
//
// A driver lists its ports and opens them. An output port sends short and long messages; each
// message carries the clock tick it was dispatched for and that tick's times, so a driver that
// places messages in time (JACK, the built-in synthesizer) can put each at its exact frame.
// SendShort and SendLong are called on the clock's real-time thread and must neither allocate nor
// block; calls on one port are serialised by the caller. An input port delivers what arrives to its
// sink on the driver's own thread, with the time on the clock's time line when the driver knows
// it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dsync {

// exactNs of a message sent outside the tick: place it as soon as possible (after anything the
// port holds already).
constexpr int64_t kAsSoonAsPossible = INT64_MIN;
// timeNs of an incoming message whose driver gives no time: it arrived now.
constexpr int64_t kTimeUnknown = INT64_MIN;

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
    // The longest the clock takes to send a message after its time: the timer period of the clock
    // that dispatches to this port (0 when it sends at once). Ports that place messages in time
    // keep that much room in their latency; several outputs on one port keep the largest.
    virtual void SetDispatchPeriod(uint32_t) {}
    // Messages that could not be placed at their time and went out at the earliest moment.
    virtual uint64_t Late() const { return 0; }
};

class MidiInSink {
public:
    virtual ~MidiInSink() = default;
    // On the driver's thread. stampMs: milliseconds since the input was started; timeNs: when the
    // message came, on the clock's time line (platform::MonotonicNs), or kTimeUnknown.
    virtual void OnShortMessage(uint32_t message, uint32_t stampMs, int64_t timeNs) = 0;
    virtual void OnLongMessage(const uint8_t* data, size_t length, uint32_t stampMs,
                               int64_t timeNs) = 0;
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
