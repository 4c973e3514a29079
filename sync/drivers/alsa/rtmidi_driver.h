// The ALSA sequencer driver over RtMidi.
//
// Every port of the sequencer is a device (this program's own ports excepted). Opening a device
// creates a port of our own, named as asked, connected to it. Messages go out when they are sent
// (the sequencer gives no way to place them ahead). RtMidi reports trouble by throwing; every call
// is guarded, so a missing sequencer gives no devices and an open error, never an exception or a
// message on the terminal.
#pragma once

#include "sync/drivers/driver.h"

#include <string>

namespace dsync {

class RtMidiDriver : public MidiDriver {
public:
    const char* Name() const override { return "ALSA"; }
    bool IsSystemDriver() const override { return true; }
    std::vector<std::string> Outputs() override;
    std::vector<std::string> Inputs() override;
    unsigned OpenOutput(const std::string& port, const std::string& ownName,
                        std::unique_ptr<MidiOutPort>& out) override;
    unsigned OpenInput(const std::string& port, const std::string& ownName, MidiInSink* sink,
                       std::unique_ptr<MidiInPort>& out) override;

    // Whether the sequencer can be used at all (compiled in, and /dev/snd/seq exists).
    bool Available() const;
};

} // namespace dsync
