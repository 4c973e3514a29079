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
// Play from a beat other than 0 chases the song (song_chase.h): the tempo in force there, and on
// each output the state the earlier events left on each MIDI channel, are set up before the first
// event, after the entries' settings; a wave that began earlier and still sounds at the start
// starts at once on the default wave output, that far into its data. Notes struck before the
// start are not struck again. The entries' settings and the chased state go out at once, stamped
// with the start tick.
//
// A range play (PlayRange, for the offline renderer) plays from any tick to an end tick, or until
// the song runs out, without the loop points: its owner ends it.
//
// Recording. Record plays with the recording flag: entries armed for recording do not play, the
// MIDI input is started and, when the song has an entry armed for audio, the wave input records
// into that entry's sound (each captured block is appended as it arrives). MIDI input read while
// recording goes into the record store, in song time (thousandths of a beat, the loop's passes
// folded back onto the loop); real-time messages (clock, start, stop, active sensing) are not
// recorded. End record (also Stop, the end of the song, and a loop pass's end, where recording
// goes on) gives the recorded note-ons their durations and merges the store into the first entry
// armed for MIDI. A key still held at a loop pass's end is ended there and struck again at the
// loop start of the next pass; a key held at End record is ended there. When no entry is armed
// for MIDI the recording is kept (and the user told) until a later merge finds one. MIDI input
// that arrives while not recording is never stored. Every MIDI input, playing or not, is passed
// to the entries armed as trees, whose answer is sent through the default MIDI output (heard
// while the clock runs); Play starts the MIDI input for them too.
//
// Everything here runs on the user-interface thread (the thread that drains the message queue);
// the clock and the devices reach the engine only through posted messages.
#pragma once

#include "events/wave_format.h"
#include "platform/message_queue.h"

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
class CSongDoc;
class CNoteEventList;
class CEventTree;
class EventMidi;
class EventWave;
namespace dsync {
struct WaveInBlock;
}

// Engine messages (posted to the engine's window).
constexpr uint32_t kMsgLoopPoints =
    0x401;                               // wParam 0 loop start, 1 loop end := lParam; 2 whole song
constexpr uint32_t kMsgSendMidi = 0x402; // wParam device, lParam EventMidi* (the poster keeps it)
constexpr uint32_t kMsgSetBeat = 0x405;  // lParam the current beat
constexpr uint32_t kMsgCaptureBlock = 0x140D; // from the wave input
constexpr uint32_t kMsgCaptureLevel = 0x140E; // wParam the input level

// An open MIDI output as a song entry names it: the device number the entry stores (the index
// in the program's device table) and the output's name.
struct PlayPort {
    uint32_t device = 0;
    std::string name;
};

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
    // The wave input that records audio, or null.
    virtual CWaveIn* DefaultWaveIn() { return nullptr; }
    // The open MIDI outputs an entry can be sent to, in table order (none unless told).
    virtual std::vector<PlayPort> OpenMidiOutPorts() { return {}; }
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
    PlayDevices* Devices() const { return devices_; }
    // The song to play (not owned); stops first.
    void SetSong(CSongDoc* song);
    CSongDoc* Song() const { return song_; }
    // A handle that expires when the engine is destroyed, for those that may outlive it (the
    // undo steps of a song send through the engine when they are undone).
    std::weak_ptr<CPlayEngine> WeakHandle() const { return self_; }

    // What changed, for those that follow the engine (the play panel, the song's views).
    enum class Change {
        kBeat,    // the current beat moved (the beat handler, a loop pass)
        kStopped, // playing ended (Stop, End record, the end of the song)
        kTempo,   // the clock reported a tempo event
        kSync,    // the synchronization source changed
        kRegion,  // a message set the loop points or the current beat
    };
    using Listener = std::function<void(Change)>;
    // Returns an id for RemoveListener. Listeners are called on the user-interface thread.
    int AddListener(Listener listener);
    void RemoveListener(int id);

    // Starts at the current beat; a Play while playing stops. False when nothing can play.
    bool Play();
    // Plays from startTick (between beats too) until endTick (kNoEnd: until the song runs out),
    // not looping: the fill hands out nothing at or after the end, and the play does not stop by
    // itself; its owner stops it. Stops a play first. False when nothing can play.
    static constexpr uint64_t kNoEnd = UINT64_MAX;
    bool PlayRange(uint32_t startTick, uint64_t endTick);
    // Whether the fill has handed out the whole song (it reached the end of the merge).
    bool SongHandedOut() const { return handedOut_; }
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
    // Record: while recording, ends it; otherwise records from the current beat (false when
    // nothing can play). While playing, playback stops and recording begins at the beat reached.
    bool Record();
    // Ends recording and playing; merges the recorded MIDI. Nothing when not recording.
    void EndRecord();
    bool IsRecording() const { return recording_; }
    bool IsRecordingAudio() const { return recordingAudio_; }
    // The handler of the MIDI input's data message: reads every waiting message.
    void ReadMidiInput();
    // A message played live in the program (the virtual keyboard), taken as MIDI input stamped
    // with the clock's current tick: recorded while recording, passed to the armed trees.
    void LiveInput(const MidiEvent& message);
    // The handler of a captured block: appends it to the record while recording audio, and
    // always completes it.
    void OnCaptureBlock(dsync::WaveInBlock* block);
    // The song time (thousandths of a beat) of a clock tick in the current pass.
    uint32_t SongTimeOfTick(uint32_t tick) const;
    // Recorded MIDI not merged yet.
    const CEventTree& RecordStore() const { return *recorded_; }
    // Sends one event: 100 nothing, 101 every open MIDI output, 102 the default one, else that
    // device (the default one when it is not open).
    void SendMidi(uint32_t device, EventMidi& event);
    // Passes an entry's volume, balance and rate to the waves of the entry that the wave output
    // is playing now. Returns the waves passed on.
    int SendEntryWaveInfo(int entry);

    // The clock's synchronization source: 0 its own timer, 1 an external MIDI clock. Changing it
    // stops playing first. False (and unchanged) without a clock or for another value.
    bool SetSyncSource(uint32_t source);
    uint32_t SyncSource() const;

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
    bool FollowTempo() const { return followTempo_; }

    // Counters for the program and tests.
    uint64_t EventsSent() const { return sent_; }
    uint64_t LateEvents() const { return late_; }
    uint64_t Fills() const { return fills_; }
    uint64_t MidiInputs() const { return midiInputs_; }
    // MIDI input messages not recorded because the record store was full.
    uint64_t RecordDropped() const { return recordDropped_; }
    // Wave events handed to the wave output.
    uint64_t WavesSent() const { return wavesSent_; }
    // Waves started part-way in by the last Play.
    int ChasedWaves() const { return chased_; }
    // Messages the last Play sent before the song: the entries' settings and the chased state.
    uint64_t SetupSent() const { return setupSent_; }
    // Bytes of audio appended to the record in the current or last recording.
    uint64_t RecordedAudioBytes() const { return audioBytes_; }
    int InputLevel() const { return inputLevel_; }

    // At most this many recorded events wait for a merge; later input is not recorded.
    static constexpr int32_t kMaxRecordedEvents = 1 << 22;
    // Shown when recorded MIDI finds no entry armed for MIDI.
    static constexpr const char* kNoRecordTargetMessage =
        "No song entry is armed for MIDI recording. The recorded MIDI is kept and will be merged "
        "into the first entry armed for MIDI when recording ends next time.";

private:
    void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
    void StopDevices();
    uint32_t Resolution() const;
    // Sends a MIDI event to its device; false when the device's ring is full.
    bool Deliver(int device, EventMidi& event);
    // Prepares the song and moves the current beat into the loop; false when nothing can play.
    bool PrepareToPlay();
    // Starts playing at a tick (the clock's resolution set already).
    void Start(uint32_t startTick);
    // Sets up what the events before the start tick left, and keeps the waves still sounding.
    void Chase(uint32_t startTick);
    // The output a MIDI event of a device goes to (the default one for a device that is not open),
    // or null when it has nowhere to go.
    CMidiOut* OutputFor(int device);
    // Sends at once; returns the outputs it went to.
    int SendNow(uint32_t device, EventMidi& event);
    // SendEntryControllers; returns the messages sent.
    int SendEntrySettings();
    // Takes one MIDI input message into the recording.
    void RecordInput(const MidiEvent& message, uint32_t songTime);
    // Records (while recording) and hands to the armed trees one message stamped with a tick.
    void TakeInput(const MidiEvent& message);
    // Ends the keys still held at songTime (in the record store).
    void EndHeldKeys(uint32_t songTime);
    // Whether a tick lies at or past the end of the current loop pass.
    bool PastPassEnd(uint32_t tick) const;
    // Records the input held back for the next pass.
    void RecordDeferred();
    // Merges the record store into the first entry armed for MIDI.
    void MergeRecording();
    bool HasMidiRecordTarget() const;
    bool HasArmedTree() const;
    void Notify(Change change);
    struct LiveSender;

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
    uint64_t sent_ = 0, late_ = 0, fills_ = 0, midiInputs_ = 0, recordDropped_ = 0;
    uint64_t wavesSent_ = 0, setupSent_ = 0;
    int inputLevel_ = 0;
    int chased_ = 0;
    // A range play: its end tick (kNoEnd: the song's end).
    bool ranged_ = false;
    uint64_t rangeEnd_ = kNoEnd;
    bool handedOut_ = false;
    // Waves resumed at the start, handed to the wave output before the song's events.
    std::vector<std::unique_ptr<EventWave>> chasedWaves_;
    size_t chasedNext_ = 0;

    // Recording.
    bool recording_ = false;
    bool recordingAudio_ = false;
    bool toldNoTarget_ = false;       // the user was told once in this recording
    EventWave* recordWave_ = nullptr; // the song's record wave (not owned)
    uint64_t audioBytes_ = 0;
    std::unique_ptr<CEventTree> recorded_;
    // Velocity of each key held on each channel in the recording (0: not held).
    uint8_t held_[16][128] = {};
    // Input stamped after the loop end that came before the beat handler began the next pass.
    static constexpr size_t kMaxDeferred = 4096;
    std::vector<MidiEvent> deferred_;
    std::unique_ptr<LiveSender> live_;
    std::vector<std::pair<int, Listener>> listeners_;
    int nextListener_ = 1;
    std::shared_ptr<CPlayEngine> self_; // owns nothing; expires with the engine
};
