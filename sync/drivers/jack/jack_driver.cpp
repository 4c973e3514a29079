// The JACK MIDI driver: the RtMidi driver on JACK's API. Every JACK MIDI port is a device.
#include "sync/devices.h"
#include "sync/drivers/jack/rtmidi_driver.h"

namespace dsync {
MidiDriver& JackDriver() {
    static RtMidiDriver driver(RtMidiDriver::Service::Jack);
    return driver;
}
} // namespace dsync
