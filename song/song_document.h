// The song: up to 40 entries, each a channel of an included document (a tree, a MIDI file, an
// event list or a sound) with its own settings, merged into one time-ordered stream of events
// for the play engine.
//
// Time. A song counts 1000 units per beat; its play resolution (1000 unless set) is the clock's
// ticks per beat, and every merged time is handed out in those ticks. An entry's document has
// its own units per beat; the entry's scale (document units per beat × rate / 1000) turns song
// units into document units. All time arithmetic that multiplies units by resolutions is done in
// 64 bits; a merged time that would reach 1000000000 ticks (no time) ends its entry.
//
// The merge. For each active entry the next event's song time is
//     document time / scale + loop accumulated + start offset.
// A looping entry whose next event lies at or past its loop length starts its store again and
// adds the loop length to its loop accumulated; a looping entry with no event inside its loop
// gives nothing more until the next Seek. The entry with the smallest time wins, the lowest index
// on ties. The winner's event is copied into the song's MIDI or wave buffer (each call reuses
// them, so a device must copy an event before the next call):
//   - a wave event: time in ticks; volume, balance and rate factor from the entry; device 102;
//   - a MIDI event: time and duration in ticks; the transpose is added to the keys of notes and
//     key pressure, note-on velocities are multiplied by the MIDI volume, both held to 0..127
//     (pitch bends, controllers and program changes pass unchanged); the entry's device.
// Value and byte-block events are not playable and are passed over. When nothing is left the
// end marker is returned: an EventMidi with status 0 at time 1000000000.
// StepBack makes the last event come out again at the next GetNextEvent (the fill calls it for
// the event a device refused).
// The merge reads each entry's store ahead in small batches through the store's cursor (it finds
// its place again when something else walked the store). An edit that adds or removes events of
// a store while the song plays must be followed by Seek (MergeRecorded and PreparePass position
// their entries again themselves). Entries are kept in a heap by next time, so an event costs
// O(log entries).
//
// Referenced documents are shared: the song keeps a shared pointer to each, so a document whose
// windows are closed stays alive while the song includes it. Contained documents belong to the
// song alone.
//
// Everything here runs on the user-interface thread; nothing here is real-time code.
#pragma once

#include "documents/channel_document.h"
#include "song/entry_settings.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CDendraDoc;
class CWaveDoc;
class LiveOutput;

constexpr int kMaxSongEntries = 40;
constexpr uint32_t kSongUnitsPerBeat = 1000;
constexpr uint32_t kSongPlayResolution = 1000;
constexpr uint32_t kSongMagic = 1643527; // 0x00191407
constexpr uint32_t kSongFileVersion = 5;
// Views are told of a changed entry with this hint plus the entry's index.
constexpr long kHintSongEntry = 1001;

// Record modes of an entry.
constexpr int kRecordOff = 0;
constexpr int kRecordTree = 1; // live MIDI input is passed to the entry's tree
constexpr int kRecordMidi = 2; // recorded MIDI is merged into the first such entry
constexpr int kRecordWave = 3; // audio recording goes to the first such entry

// The path an entry shows when its document is kept inside the song.
inline constexpr const char* kContainedPath = "CONTAINED";

// The system's messages.
inline constexpr const char* kNotSongMessage = "This is not a QUAV Song file";
inline constexpr const char* kDamagedSongMessage = "This song file is damaged or incomplete.";
inline constexpr const char* kTooManyEntriesMessage =
    "A song holds at most 40 entries; the rest were not included.";
inline constexpr const char* kSongEntriesInFileMessage =
    "This song file names more than 40 entries and cannot be opened.";
inline constexpr const char* kCannotIncludeMessage = "A song cannot include this kind of document.";
// "Could not find [" + path + "]. Search for file?"
std::string MissingFileQuestion(const std::string& path);

// One included channel of a document.
struct SongEntry {
    // Tells this entry apart from every other entry the process ever made (an address can be
    // used again after an entry is freed).
    uint64_t serial = NextSerial();
    static uint64_t NextSerial();

    // Null when the file's document could not be found or read: the entry keeps its settings,
    // so saving the song keeps the reference.
    std::shared_ptr<CChanDoc> document;
    int channel = 1; // the document's channel (1-based)
    EntrySettings settings;
    bool contained = false;
    int recordMode = kRecordOff;
    uint64_t loopAccumulated = 0; // time added by completed loop passes
};

class CSongDoc : public CChanDoc {
public:
    // Opens a referenced document by path (the application's document manager); null when it
    // cannot. The default opens trees, MIDI files, event lists and sounds by extension.
    using DocumentOpener = std::function<std::shared_ptr<CChanDoc>(const std::string& path)>;
    // Searches for a missing file by the name of `path`, starting at `folder`; "" when none.
    using FileSearch =
        std::function<std::string(const std::string& path, const std::string& folder)>;
    static void SetDocumentOpener(DocumentOpener opener);
    static void SetFileSearch(FileSearch search);
    // The default opener and search.
    static std::shared_ptr<CChanDoc> OpenDocumentByPath(const std::string& path);
    static std::string SearchFolderForFile(const std::string& path, const std::string& folder);

    CSongDoc();
    ~CSongDoc() override;

    // ---- Document ----
    uint32_t GetDocKind() const override { return kDocKindSong; }
    bool OnNewDocument() override;
    // Relative paths of referenced documents are looked up beside the song file too.
    bool OnOpenDocument(const std::string& path) override;
    // All or nothing: a newer version, a wrong magic, more than 40 entries or a damaged file
    // shows a message and fails, and the song keeps what it had. A referenced document that is
    // missing or cannot be read leaves its entry without a document (the reader has said why).
    bool ReadDocument(CArchive& ar) override;
    void WriteDocument(CArchive& ar) override;
    // The version the last file was read as.
    uint32_t FileVersionRead() const { return versionRead_; }

    // ---- Entries ----
    // Adds one entry per channel of the document (a document already in the song is removed
    // first), each with settings the document fills for its channel. Songs and collections
    // cannot be included. Returns the entries added (0 when refused); entries beyond 40 are
    // not added and "A song holds at most 40 entries..." is shown.
    int IncludeDocument(std::shared_ptr<CChanDoc> document);
    // Removes an entry; a referenced document no other entry uses is released from the song.
    void RemoveEntry(int index);
    // Takes an entry out of the song as RemoveEntry does, but hands it over instead of freeing
    // it (an undoable removal keeps it); null for an index outside the entries.
    std::unique_ptr<SongEntry> TakeEntry(int index);
    // Puts an entry taken out back at index (held to 0..count): its document is included again.
    // Returns the index, or -1 when the song is full (the entry is then not taken).
    int InsertEntry(int index, std::unique_ptr<SongEntry>& entry);
    // The index of the entry with that serial, or -1 when it is not (or no longer) in the song.
    int IndexOf(uint64_t serial) const;
    // Gives an entry another document (an undone or redone Contain): the entry plays channel
    // `channel` of `document` and is contained or not; a document no entry uses any more is
    // released from the song.
    void SetEntryDocument(int index, std::shared_ptr<CChanDoc> document, int channel,
                          bool contained);
    int EntryCount() const { return static_cast<int>(entries_.size()); }
    SongEntry& Entry(int index) { return *entries_[static_cast<size_t>(index)]; }
    const SongEntry& Entry(int index) const { return *entries_[static_cast<size_t>(index)]; }
    EntrySettings& Settings(int index) { return Entry(index).settings; }
    // The entry's event store (a tree's events are brought up to date first); null without one.
    CEventTree* EntryEvents(int index);
    // Toggles the record arm: 1 for a tree, 3 for a sound, 2 for any other; 0 when armed.
    void ToggleArm(int index);
    // Keeps the entry's document inside the song: a MIDI channel becomes an event list of its
    // own; a tree or event list is marked contained. Sounds are not contained (false).
    bool Contain(int index);
    // The entry's MIDI channel (0..15); every channel message of its store takes it.
    void SetEntryChannel(int index, int channel);
    // Rate held to 0.01..100; the scales are computed again when it changed.
    void SetEntryRate(int index, float rate);

    EntrySettings& HeaderSettings() { return header_; }
    const std::string& Description() const { return description_; }
    void SetDescription(const std::string& text);

    // ---- Play (the play engine calls these) ----
    // Prepared := true; scales computed; Seek(0).
    virtual void Prepare();
    bool IsPrepared() const { return prepared_; }
    // recompute 1: the end of the longest entry in beats (its start offset plus its length in
    // song time, one pass for a looping entry) plus 2, which also becomes the stored length;
    // otherwise the stored length in beats.
    uint32_t GetLength(int recompute) override;
    void SetLength(uint32_t beats);
    // Sets the play resolution (ticks per beat of the clock that plays the song); merged times
    // are handed out in it.
    void SetTicksPerBeat(int which, uint32_t value) override;
    double TimeFactor() const { return 1000.0 / static_cast<double>(playResolution_); }
    // Positions every entry at the beat and rebuilds the active list: every entry that has a
    // store and is not muted and, when recording, not armed.
    virtual void Seek(double beat, bool recording);
    // The next merged event (the MIDI or wave buffer, or the end marker) and its device.
    virtual SongEvent* GetNextEvent(int& device);
    virtual void StepBack();
    const EventMidi& EndMarker() const { return endMarker_; }
    static bool IsEndMarker(const SongEvent* e);
    int CurrentEntry() const { return currentEntry_; }
    uint32_t CurrentTime() const { return currentTime_; }
    int ActiveCount() const { return activeCount_; }

    // Called one beat before a loop pass ends: on every second call each tree document that
    // was changed is solved again for the next pass (its entries are positioned again at the
    // current time). Returns whether the documents were asked.
    bool PreparePass();

    // ---- Recording ----
    // The wave of the first entry armed for audio (made writable), or null; the entry starts at
    // `songTime` and recording writes from the start of its sound.
    EventWave* StartAudioRecord(uint32_t songTime);
    // Appends recorded bytes at the record's write position; returns the bytes written.
    uint32_t AppendRecordedAudio(const void* first, uint32_t firstBytes, const void* second,
                                 uint32_t secondBytes);
    // Ends audio recording: the sound's document is marked changed. Returns the bytes written.
    uint32_t EndAudioRecord();
    bool IsRecordingAudio() const { return audioEntry_ >= 0; }
    // Passes a MIDI input event to every entry armed as a tree (live solving through `output`).
    // Returns the number of trees that took it.
    int LiveMidiInput(const EventMidi& event, LiveOutput& output);
    // Merges recorded MIDI (times in song units) into the first entry armed for MIDI: channel
    // messages take its channel, times and durations are converted into its document's units
    // (start offset, loop and scale), the recorded store is emptied and the entry is positioned
    // again at the current time. Returns the events merged; 0 (and the store left as it was)
    // when no entry is armed for MIDI.
    int MergeRecorded(CEventTree& recorded);

    // "Click to optimize performance.": balances the store of every entry.
    void Optimize();

private:
    struct Cursor {
        CEventTree* store = nullptr;
        bool identity = true;         // document units are song units (rate 1, 1000 per beat)
        SongEvent* pending = nullptr; // the entry's next event, or null when exhausted
        uint64_t next = UINT64_MAX;   // its song time
        uint64_t den = 1000;          // document units per beat
        double rate = 1.0;
        bool unitRate = true;
        bool loop = false;
        uint64_t loopLength = kDefaultLoopLength;
        uint64_t startOffset = 0;
        uint64_t loopAcc = 0;
        uint32_t pendingTime = 0; // the pending event's document time
        // Events read ahead from the store, with their document times.
        static constexpr int kBatch = 32;
        int bufPos = 0;
        int bufLen = 0;
        SongEvent* lastTaken = nullptr; // the store's cursor stands on it
        uint32_t lastTime = 0;
        std::array<SongEvent*, kBatch> buf;
        std::array<uint32_t, kBatch> bufTime;
    };

    void ComputeScales();
    void LoadCursor(int i);
    void PositionEntry(int i, uint64_t songTime);
    // Takes the cursor's pending event into account (loop wrap, end); sets next.
    void Settle(int i);
    void Refill(Cursor& c);
    void Fetch(Cursor& c);
    void Rewind(Cursor& c, uint32_t docPos);
    void AdvanceEntry(int i);
    uint64_t ToSong(const Cursor& c, uint32_t docTime) const;
    uint64_t ToDoc(const Cursor& c, uint64_t songUnits, bool roundUp) const;
    uint32_t ToTicks(uint64_t songUnits) const;
    void RebuildActive(bool recording);
    void ReleaseIfUnused(CChanDoc* doc);
    void ResetMerge();
    int AddEntry(std::shared_ptr<CChanDoc> doc, int channel, const EntrySettings* settings);
    void FillEntrySettings(SongEntry& entry);
    friend struct SongFileReader;

    std::vector<std::unique_ptr<SongEntry>> entries_;
    EntrySettings header_;
    std::string description_;
    uint32_t length_ = 0; // beats × units per beat
    uint32_t versionRead_ = kSongFileVersion;
    std::string folder_; // the folder of the file being read
    bool prepared_ = false;

    // Merge state.
    std::array<Cursor, kMaxSongEntries> cursors_{};
    // The active entries as a binary min-heap of keys (next time << 6 | index), so that the
    // root is the winner and ties go to the lower index; an ended entry's key is all ones.
    std::array<uint64_t, kMaxSongEntries> heap_{};
    std::array<int, kMaxSongEntries> active_{};
    int activeCount_ = 0;
    uint64_t KeyOf(int i) const;
    void SiftDown(int at);
    void BuildHeap();
    int last_ = -1;            // the entry that gave the last event
    bool advanceLast_ = false; // whether that event is consumed at the next call
    int currentEntry_ = -1;
    uint32_t currentTime_ = 0;
    uint64_t position_ = 0; // song time of the last Seek or merged event
    bool recordingSeek_ = false;

    // Audio recording.
    int audioEntry_ = -1;
    uint32_t audioWritten_ = 0;

    EventMidi endMarker_;
    EventMidi midiBuffer_;
    EventWave waveBuffer_;
};
