// The play engine: plays a song through the clock and the output devices, and answers what the
// clock and the devices post (beat, refill, tempo, MIDI input, and the engine's own messages).
//
// The devices come from a PlayDevices: the program's device configuration, or a set opened
// directly (tests, the command line). The fill hands merged events to the devices ahead of the
// clock until a device's ring is full; the event that did not fit is stepped back and the fill
// goes on when that device asks for a refill. Events go to the entry's device; the default output
// takes them only when that device is not open; device 101 goes to every open MIDI output and
// waits until all of them have room; device 100 drops them. Stop leaves no note sounding: the
// rings and note-off lists are emptied and every sounding note is ended.
//
// Everything here runs on the user-interface thread (the thread that drains the message queue);
// the clock and the devices reach the engine only through posted messages.
#pragma once

#include "platform/message_queue.h"

#include <cstdint>
#include <vector>

class CSync;
class CMidiOut;
class CMidiIn;
class CWaveOut;
class CSongDoc;
class CNoteEventList;
class EventMidi;

// Engine messages (posted to the engine's window).
constexpr uint32_t kMsgLoopPoints =
    0x401;                               // wParam 0 loop start, 1 loop end := lParam; 2 whole song
constexpr uint32_t kMsgSendMidi = 0x402; // wParam device, lParam EventMidi* (the poster keeps it)
constexpr uint32_t kMsgSetBeat = 0x405;  // lParam the current beat
constexpr uint32_t kMsgCaptureBlock = 0x140D; // from the wave input
constexpr uint32_t kMsgCaptureLevel = 0x140E; // wParam the input level

// What the engine plays through.
class PlayDevices {
public:
    virtual ~PlayDevices() = default;
    virtual CSync* Clock() = 0;
    // The open MIDI output of a device number, or null when it is not open (or 100..102).
    virtual CMidiOut* MidiOutAt(uint32_t device) = 0;
    virtual CMidiOut* DefaultMidiOut() = 0;
    virtual std::vector<CMidiOut*> OpenMidiOuts() = 0;
    virtual CWaveOut* DefaultWaveOut() = 0;
    virtual CMidiIn* DefaultMidiIn() = 0;
};

namespace app {
class CDeviceConfig;
}

// The program's device configuration as the engine's devices. A device number from a song that
// is not in the table means the default output.
class ConfiguredPlayDevices : public PlayDevices {
public:
    explicit ConfiguredPlayDevices(app::CDeviceConfig& config) : config_(config) {}
    CSync* Clock() override;
    CMidiOut* MidiOutAt(uint32_t device) override;
    CMidiOut* DefaultMidiOut() override;
    std::vector<CMidiOut*> OpenMidiOuts() override;
    CWaveOut* DefaultWaveOut() override;
    CMidiIn* DefaultMidiIn() override;

private:
    app::CDeviceConfig& config_;
};

class CPlayEngine : private platform::MessageTarget {
public:
    static constexpr double kMinTempo = 30.0;
    static constexpr double kMaxTempo = 960.0;

    CPlayEngine();
    ~CPlayEngine() override;
    CPlayEngine(const CPlayEngine&) = delete;
    CPlayEngine& operator=(const CPlayEngine&) = delete;

    // The window the devices should report to (open them with it).
    platform::Window Window() const { return window_; }
    void SetDevices(PlayDevices* devices) { devices_ = devices; }
    // The song to play (not owned); stops first.
    void SetSong(CSongDoc* song);

    // Starts at the current beat; a Play while playing stops. False when nothing can play.
    bool Play();
    void Stop();
    bool IsPlaying() const { return playing_; }
    // Hands events to the devices until one is full or the loop end is reached.
    void Fill();
    // The beat handler.
    void OnBeat();
    // The levels, balance and program of every entry, sent at once.
    void SendEntryControllers();
    // Plays a solved list now (times in thousandths of a beat); the list is emptied.
    void QuickPlay(CNoteEventList& list);
    // Sends one event: 100 nothing, 101 every open MIDI output, 102 the default one, else that
    // device (the default one when it is not open).
    void SendMidi(uint32_t device, EventMidi& event);

    // Tempo in beats per minute, 30 to 960; false (and unchanged) outside.
    bool SetTempoBpm(double bpm);
    double TempoBpm() const;
    // The tempo last reported by the clock (tempo events), 0 before any.
    uint32_t ReportedTempo() const { return reportedTempo_; }

    void SetLooping(bool on) { looping_ = on; }
    bool Looping() const { return looping_; }
    void SetLoopStart(uint32_t beat) { loopStart_ = beat; }
    // A loop end that grows while playing fills at once.
    void SetLoopEnd(uint32_t beat);
    uint32_t LoopStart() const { return loopStart_; }
    uint32_t LoopEnd() const { return loopEnd_; }
    uint32_t CurrentBeat() const { return currentBeat_; }
    void SetCurrentBeat(uint32_t beat) { currentBeat_ = beat; }
    // Whether tempo events reach the clock (on unless set).
    void SetFollowTempo(bool on) { followTempo_ = on; }

    // Counters for the program and tests.
    uint64_t EventsSent() const { return sent_; }
    uint64_t LateEvents() const { return late_; }
    uint64_t Fills() const { return fills_; }
    uint64_t MidiInputs() const { return midiInputs_; }
    int InputLevel() const { return inputLevel_; }

private:
    void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
    void StopDevices();
    uint32_t Resolution() const;
    // Sends a MIDI event to its device; false when the device's ring is full.
    bool Deliver(int device, EventMidi& event);

    platform::Window window_ = 0;
    PlayDevices* devices_ = nullptr;
    CSongDoc* song_ = nullptr;
    bool playing_ = false;
    bool looping_ = false;
    bool followTempo_ = true;
    uint32_t loopStart_ = 0;
    uint32_t loopEnd_ = 0;
    uint32_t currentBeat_ = 0;
    uint64_t timeOffset_ = 0;
    uint32_t reportedTempo_ = 0;
    uint64_t sent_ = 0, late_ = 0, fills_ = 0, midiInputs_ = 0;
    int inputLevel_ = 0;
};
