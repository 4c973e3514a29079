// The device table and the drivers behind the device numbers.
//
// MIDI outputs are numbered in the order: the built-in synthesizer, then the JACK ports, then the
// ALSA sequencer ports (then the loopback ports, when tests enable them). MIDI inputs: the JACK
// ports, the ALSA ports, the loopback ports. The numbering is fixed when the table is built
// (GetDevices, or the first open) and kept until it is built again.
//
// The system-wide instance lock "THESYNCRONIZERINSTANCE" is taken when the first device of a
// system driver (JACK, ALSA) opens and let go when the last one closes; offline work never takes
// it. When another process holds it, "There's a problem..." is shown once and the real devices
// stay closed.
#pragma once

#include "sync/drivers/driver.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Flag bits of a device record.
constexpr uint32_t kDeviceOpen = 0x01;
constexpr uint32_t kDeviceMidi = 0x02;
constexpr uint32_t kDeviceDirectSound = 0x04;
constexpr uint32_t kDeviceOutput = 0x08;

struct DeviceRecord {
    uint32_t flags = 0;
    char* name = nullptr;      // owned copy, freed by UnGetDevices
    uint8_t identity[16] = {}; // device number (first 4 bytes, little-endian) or a 16-byte id
    uintptr_t extra = 0;       // the caller's word (its device object)

    uint32_t DeviceNumber() const {
        return uint32_t(identity[0]) | uint32_t(identity[1]) << 8 | uint32_t(identity[2]) << 16 |
               uint32_t(identity[3]) << 24;
    }
};

// Fills at most capacity records; returns how many. Wave and DirectSound devices come from the
// audio part of the library when it is present.
int GetDevices(DeviceRecord* records, int capacity, int includeWave, int includeDirectSound);
void UnGetDevices(DeviceRecord* records, int count);

namespace dsync {

struct MidiDeviceEntry {
    MidiDriver* driver = nullptr;
    std::string port; // the driver's name of the port
    std::string name; // the name in the device table
};

// Rebuilds the table of MIDI devices from every driver.
void RefreshMidiDevices();
// The current table (built on first use).
std::vector<MidiDeviceEntry> MidiOutputDevices();
std::vector<MidiDeviceEntry> MidiInputDevices();
bool FindMidiOutput(uint32_t device, MidiDeviceEntry& out);
bool FindMidiInput(uint32_t device, MidiDeviceEntry& out);

// The built-in drivers.
MidiDriver& SynthDriver();
MidiDriver& JackDriver();
MidiDriver& AlsaDriver();
MidiDriver& LoopbackDriver();
// Tests and benchmarks list the loopback ports as devices only when asked.
void EnableLoopbackDevices(bool on);

// Instance lock for system drivers: true when this process may use them.
bool AcquireSystemDevices();
void ReleaseSystemDevices();
// The lock file's path ($XDG_RUNTIME_DIR, else /tmp).
std::string InstanceLockPath();

} // namespace dsync
