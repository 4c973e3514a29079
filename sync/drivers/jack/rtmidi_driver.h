// MIDI drivers over RtMidi: JACK MIDI and the ALSA sequencer.
//
// Every port of the service is a device (this program's own ports excepted). Opening a device
// creates a port of our own, named as asked, connected to it. RtMidi reports trouble by throwing;
// every call is guarded, so a missing server or sequencer gives no devices and an open error, never
// an exception or a message on the terminal.
#pragma once

#include "sync/drivers/driver.h"

#include <string>

namespace dsync {

class RtMidiDriver : public MidiDriver {
public:
    enum class Service { Jack, Alsa };
    explicit RtMidiDriver(Service service);

    const char* Name() const override { return service_ == Service::Jack ? "JACK" : "ALSA"; }
    bool IsSystemDriver() const override { return true; }
    std::vector<std::string> Outputs() override;
    std::vector<std::string> Inputs() override;
    unsigned OpenOutput(const std::string& port, const std::string& ownName,
                        std::unique_ptr<MidiOutPort>& out) override;
    unsigned OpenInput(const std::string& port, const std::string& ownName, MidiInSink* sink,
                       std::unique_ptr<MidiInPort>& out) override;

    // Whether the service can be used at all (compiled in; for ALSA, /dev/snd/seq exists).
    bool Available() const;

private:
    Service service_;
};

} // namespace dsync
