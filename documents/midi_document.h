// The MIDI document: a Standard MIDI File held as channels, one per track, each a time-ordered
// store of EventMidi with note-on/note-off pairs folded into notes that carry a duration.
//
// Reads format 0, 1 and 2 files (at most 39 tracks), writes format 0 or 1, keeps the file open
// while the document lives so that a channel freed from memory is read again when next asked
// for, and reads the name, MIDI channel, volume, pan and program of each track for the mixer.
// Times are in the file's ticks: the units per beat and the play resolution are its division.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/channel_document.h"
#include "documents/midi_event_slab.h"
#include "documents/mix_record.h"
#include "formats/midi_file.h"

#include <array>
#include <memory>
#include <string>

inline constexpr const char* kMidiOpenFailedMessage = "OpenFailed";
inline constexpr const char* kMidiReadProblemMessage = "Problem reading MIDI file";
inline constexpr const char* kMidiOpenProblemMessage = "Problem opening MIDI.";
inline constexpr const char* kMidiReopenProblemMessage = "Problem Re-Opening MIDI file.";

// The message a MIDI file state's failure shows: kMidiOpenProblemMessage when the file could
// not be opened, created or written, kMidiReopenProblemMessage when an open state could not open
// its file again; null for a file that opened but is not a MIDI file this program reads (the
// document then says so itself) and for success.
const char* MidiFileProblemMessage(const formats::Result& result);
// Shows that message, when there is one.
void ShowMidiFileProblem(const formats::Result& result);
// Event times at or below this many ticks are kept.
constexpr uint64_t kMidiMaxEventTime = 999999999;

class CMidiDoc : public CChanDoc {
public:
    static constexpr int kMaxChannels = 39;
    static constexpr int kBatchSize = 8000;
    // The tempo written at the start of the first track when no clock says otherwise.
    static constexpr double kDefaultTempoBpm = 60.0;

    CMidiDoc();
    ~CMidiDoc() override;

    // Where the tempo of a save comes from: the main frame installs its clock's tempo in beats
    // per minute (null: none, kDefaultTempoBpm is used).
    using TempoSource = double (*)();
    static void SetClockTempoSource(TempoSource source);

    uint32_t GetDocKind() const override { return kDocKindMidi; }
    // Reads the header and every channel. On failure "OpenFailed" (or the byte layer's message)
    // is shown and the document keeps what it had.
    bool OnOpenDocument(const std::string& path) override;
    // Saves as format 1, or format 0 (first channel only) when the document has one channel or
    // the export format is 0. Written through a temporary file: on failure the old file stays
    // and the document stays modified.
    bool OnSaveDocument(const std::string& path) override;
    // Frees every channel and the read state and clears the modified flag (an included document
    // keeps its contents for the song).
    void OnCloseDocument() override;

    // The longest channel in beats, plus 2.
    uint32_t GetLength(int unit) override;
    // The earliest next event over the channels (ties to the lower channel), time in ticks of
    // the play resolution.
    SongEvent* PeekNextEvent(int& channel, uint32_t& ticks) override;
    void Advance(int channel) override;
    void RewindAll() override;
    uint32_t SetPosition(double beats) override;
    // Both resolutions become the new value (1..32767); events are rescaled.
    void ChangeTicksPerBeat(uint32_t newUnitsPerBeat) override;
    // The larger of 10 and the length in beats, by 127.
    DocExtent GetExtent() override;
    // At most 39 channels.
    int SetChannelCount(int n, bool keepExtra) override;
    // Loads the channel from the file on first use.
    CEventTree* GetChannelEvents(int channel) override;
    void FreeChannel(int channel) override;
    // Fills the channel's mixing record from its track.
    void ReadChannelProperties(int channel) override;

    void SetMixRecord(int channel, ChannelMixRecord* record);
    ChannelMixRecord* GetMixRecord(int channel) const;
    void ClearMixRecord(ChannelMixRecord* record);
    // The properties of a channel's track as the mixer would read them, starting from `out`.
    void ReadTrackProperties(int channel, ChannelMixRecord& out);

    // 1: every channel, format 1; 0: format 0, first channel only (the type 0 export).
    int GetExportFormat() const { return exportFormat_; }
    void SetExportFormat(int format);
    // The tempo of the next save in beats per minute (0: the clock's, or the default).
    void SetExportTempo(double bpm) { exportTempo_ = bpm; }
    // The file's format and division word as read.
    int FileFormat() const { return fileFormat_; }
    uint16_t FileDivision() const { return fileDivision_; }
    // Raw events read from the file into a channel (note-offs included).
    uint32_t EventsRead(int channel) const;
    bool IsChannelLoaded(int channel) const;
    // The largest event time seen while loading, in ticks.
    uint32_t LoadedLength() const { return loadedLength_; }

private:
    struct ChannelState {
        bool loaded = false;
        uint32_t eventsRead = 0;
        ChannelMixRecord* mix = nullptr;
        // What the loading pass saw for the mixer.
        int firstNoteChannel = -1;
        std::array<int16_t, 16> volume{};
        std::array<int16_t, 16> pan{};
        std::array<int16_t, 16> program{};
        bool nameKnown = false;
        std::string name;
        // Playback stepping.
        SongEvent* pending = nullptr;
        uint32_t pendingTime = 0;
        bool stepping = false;
    };

    ChannelState& State(int channel) { return state_[static_cast<size_t>(channel)]; }
    void LoadChannel(int channel);
    const std::string& TrackName(int channel);
    void FreeAll();
    double SaveTempo() const;
    bool WriteFile(const std::string& path);

    // Slot 0 is not used: channel i is file track i - 1.
    std::array<ChannelState, kMaxChannels + 1> state_{};
    std::unique_ptr<MidiFile> file_;
    // Where the events read from the file are made; shared by the channels so that a file of
    // many tracks leaves at most one slab (or region) partly used.
    std::unique_ptr<MidiEventSlabs> slabs_;
    int exportFormat_ = 1;
    bool formatFromFile_ = false;
    int fileFormat_ = 1;
    uint16_t fileDivision_ = 0;
    uint32_t loadedLength_ = 0;
    double exportTempo_ = 0.0;
};
