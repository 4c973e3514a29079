// The play engine's devices for tests: loopback MIDI outputs (the first is the default), a
// loopback MIDI input when asked, and a clock on a timer driven by hand. A wave output and a
// wave input are the test's own, set when it makes them.
#pragma once

#include "platform/message_queue.h"
#include "platform/timer.h"
#include "song/play_engine.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/sync.h"

#include <cstdint>
#include <string>
#include <vector>

class CWaveIn;
class CWaveOut;

namespace playtest {

// The device number of a named port, or a number no device has.
inline uint32_t PortNumber(const std::vector<dsync::MidiDeviceEntry>& v, const std::string& name) {
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].name == name) return uint32_t(i);
    return 0xFFFFFFF0u;
}

struct LoopbackSetup {
    int outputs = 1;          // 1 or 2 loopback outputs, from firstPort on
    int firstPort = 0;        // the loopback port of the first output
    bool input = false;       // open loopback input 0 as the default MIDI input
    uint32_t reserve = 20000; // messages each output's record holds before it grows
};

class LoopbackDevices : public PlayDevices {
public:
    static constexpr int kMaxOutputs = 2;

    explicit LoopbackDevices(platform::Window window, LoopbackSetup setup = {})
        : outputs_(setup.outputs < 1             ? 1
                   : setup.outputs > kMaxOutputs ? kMaxOutputs
                                                 : setup.outputs) {
        dsync::EnableLoopbackDevices(true);
        dsync::RefreshMidiDevices();
        opened = clock.OpenSync(window, 0, 1, &timer) == 0;
        for (int i = 0; i < outputs_; ++i) {
            const int port = setup.firstPort + i;
            dsync::Loopback().Output(port).Reserve(setup.reserve);
            dsync::Loopback().Output(port).ConnectTo(-1);
            number[i] =
                PortNumber(dsync::MidiOutputDevices(), "Loopback Out " + std::to_string(port));
            opened = opened && outs[i].OpenMidiOut(window, number[i], &clock, 0) == 0;
        }
        if (setup.input) {
            hasInput_ = true;
            opened = opened &&
                     in.OpenMidiIn(window, PortNumber(dsync::MidiInputDevices(), "Loopback In 0"),
                                   &clock, 0x33320) == 0;
        }
    }
    ~LoopbackDevices() override {
        if (hasInput_) in.Close();
        for (int i = 0; i < outputs_; ++i) outs[i].Close();
        clock.CloseSync();
        platform::Queue().Drain();
    }
    LoopbackDevices(const LoopbackDevices&) = delete;
    LoopbackDevices& operator=(const LoopbackDevices&) = delete;

    CSync* Clock() override { return &clock; }
    CMidiOut* MidiOutAt(uint32_t device) override {
        for (int i = 0; i < outputs_; ++i)
            if (device == number[i] && outs[i].IsOpen()) return &outs[i];
        return nullptr;
    }
    CMidiOut* DefaultMidiOut() override { return &outs[0]; }
    std::vector<CMidiOut*> OpenMidiOuts() override {
        std::vector<CMidiOut*> v;
        for (int i = 0; i < outputs_; ++i)
            if (outs[i].IsOpen()) v.push_back(&outs[i]);
        return v;
    }
    CWaveOut* DefaultWaveOut() override { return waveOut; }
    CMidiIn* DefaultMidiIn() override { return hasInput_ ? &in : nullptr; }
    CWaveIn* DefaultWaveIn() override { return waveIn; }

    // Advances the clock one period at a time, answering what it posts after each.
    void Run(uint64_t periods) {
        for (uint64_t i = 0; i < periods; ++i) {
            timer.Advance(1);
            platform::Queue().Drain();
        }
    }
    // A message played into the input now, as a keyboard would.
    bool Key(uint8_t status, uint8_t key, uint8_t velocity) {
        const bool fed = dsync::Loopback().FeedShort(0, uint32_t(status) | uint32_t(key) << 8 |
                                                            uint32_t(velocity) << 16);
        platform::Queue().Drain();
        return fed;
    }

    platform::ManualTimer timer;
    CSync clock;
    CMidiOut outs[kMaxOutputs];
    CMidiOut& out = outs[0];
    uint32_t number[kMaxOutputs] = {};
    CMidiIn in;
    CWaveOut* waveOut = nullptr;
    CWaveIn* waveIn = nullptr;
    bool opened = false;

private:
    int outputs_;
    bool hasInput_ = false;
};

} // namespace playtest
