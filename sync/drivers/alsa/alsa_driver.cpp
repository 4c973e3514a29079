// The ALSA sequencer driver: the RtMidi driver on the ALSA service. Where /dev/snd/seq does not
// exist it lists no devices.
#include "sync/devices.h"
#include "sync/drivers/jack/rtmidi_driver.h"

namespace dsync {
MidiDriver& AlsaDriver() {
    static RtMidiDriver driver(RtMidiDriver::Service::Alsa);
    return driver;
}
} // namespace dsync
