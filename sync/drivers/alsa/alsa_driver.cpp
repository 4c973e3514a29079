// The ALSA sequencer driver: the RtMidi driver on the ALSA service. Where /dev/snd/seq does not
// exist it lists no devices.
#include "sync/devices.h"
#include "sync/drivers/alsa/rtmidi_driver.h"

namespace dsync {
MidiDriver& AlsaDriver() {
    static RtMidiDriver driver;
    return driver;
}
} // namespace dsync
