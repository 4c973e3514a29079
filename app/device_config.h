// The device configuration: the one clock, the device table and the opened devices.
//
// The table is filled once by GetDevices (at most 18 records) and returned by UnGetDevices when
// the configuration is destroyed. A record is either closed (no object, open bit clear) or open
// (its object in the record's last word, open bit set); an object whose opening failed is
// destroyed at once. Opening failures are silent: the device stays listed as closed.
//
// At start (OpenDevices) the slots of the settings section Devices say what to open: "WAVE OUT 1",
// "WAVE IN 1", "MIDI IN 1" and "MIDI OUT 1" to "MIDI OUT 4", each a device name or "NONE". An
// unknown name in "WAVE OUT 1" falls back to the first wave output, in "MIDI IN 1" to MIDI input
// device 0 and in "MIDI OUT 1" to MIDI output device 0 (the built-in synthesizer, so that a fresh
// user hears sound). CloseDevices writes the open devices back into the slots.
//
// When the built-in synthesizer is open as a MIDI output and a wave output is open, the synth
// sounds through that wave output's mixer.
//
// Used on the user-interface thread only. The devices report to the window given to OpenDevices
// through the posted-message queue; nothing here runs on a real-time thread.
#pragma once

#include "platform/message_queue.h"
#include "platform/timer.h"
#include "song/entry_settings.h"
#include "song/play_engine.h"
#include "sync/devices.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CSync;
class CMidiOut;
class CMidiIn;
class CWaveOut;
class CWaveIn;
class ProtoDevice;

namespace dsync::mixer {
class SynthSource;
}

namespace app {

class CSettings;

// Device kinds of GetDeviceName / SetDeviceName.
constexpr int kKindMidiIn = 1;
constexpr int kKindMidiOut = 2;
constexpr int kKindWaveIn = 3;
constexpr int kKindWaveOut = 4;

constexpr int kMaxDevices = 18;
constexpr int kMidiOutSlots = 4;

// The flags given to the devices when they open.
constexpr uint32_t kMidiInOpenFlags = 0x33320;
constexpr uint32_t kMidiOutStartFlags = 0x30020;
constexpr uint32_t kMidiOutOpenFlags = 0x33320;

// The slot value that opens nothing, and the separator line of the device list.
inline constexpr const char* kNoDevice = "NONE";
inline constexpr const char* kClosedDevicesLine = "==CLOSED DEVICES==";
// Said once (the desktop program's status bar, dendra-cli on standard error) when a sound output
// was wanted and none could be opened; playing still runs the clock.
inline constexpr const char* kNoSoundOutputMessage =
    "No sound output could be opened: start a sound server (PipeWire, PulseAudio or JACK), or "
    "choose an output in the device list.";

// How the clock and the devices are opened.
struct DeviceOptions {
    platform::Window window = 0;              // where the clock and devices post
    uint32_t syncMode = 0;                    // the clock's synchronization mode
    uint32_t timerPeriod = 10;                // milliseconds
    platform::PeriodicTimer* timer = nullptr; // a manual timer for tests and offline work
    bool waveEnabled = true;                  // Devices/Wave
    bool directSound = false;                 // Devices/DirectSound (mixer-backed devices)
};

class CDeviceConfig {
public:
    // settings: where the slots are read and written (kept by the caller, must outlive this).
    explicit CDeviceConfig(CSettings& settings);
    ~CDeviceConfig();
    CDeviceConfig(const CDeviceConfig&) = delete;
    CDeviceConfig& operator=(const CDeviceConfig&) = delete;

    // Creates and opens the clock at 60 beats per minute, fills the table and opens the devices
    // the slots name. False only when the clock cannot be opened (no devices are opened then).
    bool OpenDevices(const DeviceOptions& options);
    // Stops the clock and every device, writes the slots into the settings and saves them,
    // closes every device and the clock. The table stays until destruction. Does nothing when
    // the devices are not open. writeSlots false leaves the settings alone (a listing).
    void CloseDevices(bool writeSlots = true);
    bool IsOpen() const { return clock_ != nullptr; }
    // True when the devices are open, wave devices are enabled, "WAVE OUT 1" is not "NONE" and
    // no wave output is open: the built-in synthesizer and the sounds are then not heard.
    bool NoSoundOutput() const;

    // Opens or closes the device of that name while the program runs (no such device: nothing).
    bool OpenDevice(const std::string& name);
    void CloseDevice(const std::string& name);

    // The device slots in the settings (kind as above; slot 0, or 0 to 3 for MIDI outputs; other
    // kinds and slots give "" and are ignored).
    std::string GetDeviceName(int kind, int slot) const;
    void SetDeviceName(int kind, int slot, const std::string& text);

    // The table.
    int Count() const { return count_; }
    const DeviceRecord& Record(int index) const { return table_[index]; }
    bool IsDeviceOpen(int index) const;
    // The index of the record of that name, or -1.
    int FindByName(const std::string& name) const;
    // The open device object of a record, or null.
    ProtoDevice* Device(int index) const;
    // The lines of the device list: open names, the separator, closed names.
    std::vector<std::string> DeviceListLines() const;
    // Called after every open and close (the device list and the active view follow it).
    void SetChangeListener(std::function<void()> listener) { listener_ = std::move(listener); }

    // The clock (null while closed).
    CSync* Clock() const { return clock_.get(); }

    // Current devices: table indexes, -1 when none.
    int CurrentMidiOut() const { return currentMidiOut_; }
    int CurrentMidiIn() const { return currentMidiIn_; }
    int CurrentWaveOut() const { return currentWaveOut_; }
    int CurrentWaveIn() const { return currentWaveIn_; }
    // Their objects, or null.
    CMidiOut* DefaultMidiOut() const;
    CMidiIn* DefaultMidiIn() const;
    CWaveOut* DefaultWaveOut() const;
    CWaveIn* DefaultWaveIn() const;

    // A device number as stored in a song: 100, 101 and 102 stand for themselves, a table index
    // stays; any other number (a table of another machine) means the default output, 102.
    uint32_t NormalizeDevice(uint32_t device) const;
    // The open MIDI output of a table index, or null (not open, not a MIDI output, 100-102).
    CMidiOut* MidiOutAt(uint32_t device) const;
    // The open wave output of a table index, or null.
    CWaveOut* WaveOutAt(uint32_t device) const;
    // Every open MIDI output, in table order (device 101).
    const std::vector<CMidiOut*>& OpenMidiOuts() const { return openMidiOuts_; }
    // Every open device object, in table order.
    std::vector<ProtoDevice*> OpenDeviceObjects() const;

private:
    enum class Kind { MidiIn, MidiOut, WaveIn, WaveOut };
    static Kind KindOf(uint32_t flags);
    int NthMidi(bool output, uint32_t number) const;
    int FirstWave(bool output, bool directSound) const;
    bool OpenRecord(int index, bool atStart);
    void CloseRecord(int index);
    void DestroyObject(int index);
    int ChooseCurrent(Kind kind) const;
    int& CurrentOf(Kind kind);
    void WriteSlots();
    void Changed();
    void RebuildOpenLists();
    void AttachSynth();
    void DetachSynth();
    bool IsSynthRecord(int index) const;

    CSettings& settings_;
    DeviceOptions options_;
    std::unique_ptr<CSync> clock_;
    DeviceRecord table_[kMaxDevices];
    int count_ = 0;
    bool tableFilled_ = false;
    int currentMidiOut_ = -1, currentMidiIn_ = -1, currentWaveOut_ = -1, currentWaveIn_ = -1;
    std::vector<CMidiOut*> openMidiOuts_;
    std::function<void()> listener_;
    std::unique_ptr<dsync::mixer::SynthSource> synthSource_;
    CWaveOut* synthMixerOwner_ = nullptr;
};

} // namespace app

// The program's device configuration as the play engine's devices. A device number from a song
// that is not in the table means the default output.
class ConfiguredPlayDevices : public PlayDevices {
public:
    explicit ConfiguredPlayDevices(app::CDeviceConfig& config) : config_(config) {}
    CSync* Clock() override;
    CMidiOut* MidiOutAt(uint32_t device) override;
    CMidiOut* DefaultMidiOut() override;
    std::vector<CMidiOut*> OpenMidiOuts() override;
    CWaveOut* DefaultWaveOut() override;
    CMidiIn* DefaultMidiIn() override;
    CWaveIn* DefaultWaveIn() override;
    // The open MIDI outputs by table index and name.
    std::vector<PlayPort> OpenMidiOutPorts() override;

private:
    app::CDeviceConfig& config_;
};
