// The editing model behind the note editors (piano roll, staff and event-list views) of any
// channel document: MIDI documents, event lists (a Word's events among them) and tree solutions.
//
// Selection. Commands act on the selected tracks (channels; all are selected at first). In range
// mode the user selects a time range [start, end) across the selected tracks; otherwise single
// events (click, add, toggle, rubber band by time and key). What a command acts on is the range's
// events when range mode is on and the range is not empty, else the selected events.
//
// Commands. Copy, Cut, Delete, Paste, Quantize/Randomize, Stretch, Move to Track (the selection
// parameters), Change units per beat, Remove tempo changes, and for a piano roll Move, Resize,
// Insert Note and Edit Event: each is a step of the document's undo stack with the label the
// Edit menu shows (documents/undo_stack.h), undone and redone any number of steps back. Cut and
// Delete of a range remove its time too (the later music moves up) unless the main frame's
// delete-or-silence toggle says "make silent", which leaves the range empty in place. The
// clipboard is the application's (event_clipboard.h) and holds copies it owns.
//
// Rules kept here rather than in the views: what is enabled, what a click does, the texts of
// the refusals (shown through platform/user_messages.h), and the fixes of the faults the older
// editor had: quantize moves each event once, a grid finer than one unit is refused, random
// offsets stop at time 0, a stretch of an empty range is refused, and undo restores everything a
// step changed (the gap included).
//
// After each change of the document, of the selection or of the range the listener is called.
// A step undone or redone from anywhere (the Edit menu) selects what it placed or restored. The
// editor is a view of its document and must not outlive it; the steps it made do not refer to it.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/channel_document.h"
#include "editing/event_edit.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace editing {

// How a click or a rubber band changes the selection.
enum class SelectMode { Replace, Add, Toggle };

struct QuantizeSettings {
    int divisor = 8;             // grid = units per beat / divisor
    int strength = 100;          // percent of the way to the grid line
    bool randomStrength = false; // a new random strength 0..100 for every event
    bool randomMode = false;     // random offsets of up to a grid step either way
    bool onsets = true;
    bool durations = false; // the notes' ends go to the grid too
};

struct StretchSettings {
    double factor = 2.0;
    uint32_t newLength = 0; // with byLength: the range's new length in units
    bool byLength = false;
    bool onsets = true;
    bool durations = true;
};

// A change of one event; fields left empty stay as they are.
struct EventChange {
    std::optional<uint32_t> time;
    std::optional<int> kind;    // MIDI: the status's high nibble (0 a tempo event)
    std::optional<int> channel; // MIDI channel 0..15 of a channel message
    std::optional<int> data1;   // key, controller or program
    std::optional<int> data2;   // velocity or controller value
    std::optional<int> data3;
    std::optional<uint32_t> duration;
    std::optional<uint32_t> tempo; // microseconds per beat of a tempo event
    std::optional<double> value;   // of a value event
};

// Texts of the refusals.
inline constexpr const char* kDivisorMessage = "The grid divisor must be at least 1.";
inline constexpr const char* kStrengthMessage = "The strength must be from 0 to 100 percent.";
inline constexpr const char* kStretchRangeMessage =
    "Select a time range to stretch: the range is empty.";
inline constexpr const char* kStretchFactorMessage =
    "The stretch factor must be a number greater than 0.";
inline constexpr const char* kStretchLengthMessage =
    "The stretched range must be at least 1 unit long.";
inline constexpr const char* kTooLateMessage =
    "The edit would move events past the latest time a document can hold.";
inline constexpr const char* kVelocityMessage = "A note's velocity is 1 to 127.";
inline constexpr const char* kDataByteMessage = "A data byte of this event is 0 to 127.";
inline constexpr const char* kChannelMessage = "The MIDI channel is 1 to 16.";
inline constexpr const char* kTempoMessage = "A tempo is 1 to 16777215 microseconds per beat.";
inline constexpr const char* kSysexByteMessage = "A system-exclusive data byte is 0 to 127.";
// "The grid is finer than one unit: ..." names the largest divisor.
std::string GridTooFineMessage(uint32_t unitsPerBeat);
// "Units per beat must be from 1 to ..." names the document's limit.
std::string UnitsRangeMessage(uint32_t limit);

class NoteEditor : public CDocView {
public:
    explicit NoteEditor(CChanDoc& doc);
    ~NoteEditor() override;
    NoteEditor(const NoteEditor&) = delete;
    NoteEditor& operator=(const NoteEditor&) = delete;

    CChanDoc& Doc() { return doc_; }
    // Called after every change a view should draw.
    void SetListener(std::function<void()> listener) { listener_ = std::move(listener); }
    // Where the main frame's delete-or-silence toggle is read: true makes Cut and Delete of a
    // range leave its time in place. Unset: the range's time is removed.
    void SetSilenceSource(std::function<bool()> source) { silence_ = std::move(source); }
    bool DeleteMakesSilent() const { return silence_ && silence_(); }

    // ---- tracks ----
    int TrackCount() const { return doc_.GetChannelCount(); }
    bool IsTrackSelected(int channel) const;
    void SetTrackSelected(int channel, bool on);
    void SelectOnlyTrack(int channel);

    // ---- range ----
    bool RangeMode() const { return rangeMode_; }
    // Switches range mode; the range becomes 0..0 and the selection is emptied.
    void ToggleRangeMode();
    uint32_t RangeStart() const { return rangeStart_; }
    uint32_t RangeEnd() const { return rangeEnd_; }
    bool HasRange() const { return rangeMode_ && rangeEnd_ > rangeStart_; }
    // The range between two times, in either order.
    void SetRange(uint32_t a, uint32_t b);
    // "Select the whole track.": the range becomes 0 .. the document's length; the selection is
    // emptied.
    void SelectWholeTrack();
    // The end of the last event (its duration included) over the selected tracks.
    uint32_t DocumentLength();

    // ---- events ----
    // The selected events in channel, then store order.
    const std::vector<EventRef>& Selection() const { return selection_; }
    bool HasSelection() const { return !selection_.empty(); }
    bool IsSelected(const SongEvent* event) const;
    // A click on an event (null: on no event). Replace selects it alone (nothing for no
    // event); Add adds it; Toggle adds or removes it. False when the event is not stored at
    // that time in that channel.
    bool Click(int channel, SongEvent* event, uint32_t time, SelectMode mode);
    // A rubber band: the notes of the selected tracks whose key lies in [keyLow, keyHigh] and
    // that sound within [from, to].
    void SelectRect(uint32_t from, uint32_t to, int keyLow, int keyHigh, SelectMode mode);
    void ClearSelection();
    // The note of the channel under a point of a piano roll: of that key, sounding at time (the
    // one that began last).
    std::optional<EventRef> NoteAt(int channel, uint32_t time, int key);
    // Where Paste inserts (set by a click in the view).
    uint32_t InsertionPoint() const { return insertionPoint_; }
    void SetInsertionPoint(uint32_t t);
    // What the commands act on now (see above), in channel, then store order.
    std::vector<EventRef> Targets();

    // ---- enabled ----
    bool CanCopy() const { return HasRange() || HasSelection(); }
    bool CanCut() const { return CanCopy(); }
    bool CanDelete() const { return CanCopy(); }
    bool CanPaste() const;
    bool CanQuantize() const { return CanCopy(); }
    bool CanStretch() const { return HasRange(); }
    bool CanUndo() const { return doc_.History().CanUndo(); }
    bool CanRedo() const { return doc_.History().CanRedo(); }
    std::string UndoLabel() const { return doc_.History().UndoLabel(); }
    std::string RedoLabel() const { return doc_.History().RedoLabel(); }

    // ---- commands (true when the document changed, or for Copy when the clipboard did) ----
    bool Copy();
    bool Cut();
    // Delete, or make silent (the toggle); the selection is emptied.
    bool Delete();
    // At the insertion point. A clipboard of one channel goes into the document's current
    // channel; otherwise each entry into its own channel (entries of channels the document does
    // not have are left out). A range's gap opens on every selected track and on the channels
    // pasted into. Times are converted when the clipboard came from another units per beat.
    bool Paste();
    bool PasteAt(uint32_t at);
    bool Quantize(const QuantizeSettings& settings);
    bool Stretch(const StretchSettings& settings);
    // Moves what the commands act on to another channel, at the same times.
    bool MoveToTrack(int channel);
    // "Change the selection parameters.": with a target channel (0: none) the targets move there;
    // then the range is set and the selection emptied.
    bool ApplySelectionParameters(uint32_t start, uint32_t end, int targetChannel);
    bool ChangeUnitsPerBeat(uint32_t unitsPerBeat);
    // Removes every tempo event of the selected tracks.
    bool RemoveTempoChanges();
    // From an event of a channel (null: from the channel's start), the next event that is not
    // a note-on; nothing when there is none.
    std::optional<EventRef> FindNextNonNote(int channel, const SongEvent* from, uint32_t time);
    // Moves the targets by a time and a key step (the key of notes and key pressure only); the
    // step is held so that no time goes below 0 and no key leaves 0..127.
    bool MoveSelection(int64_t deltaTime, int deltaKey);
    // Lengthens or shortens the targeted notes, never below 1 unit.
    bool ResizeSelection(int64_t deltaDuration);
    // A note-on at time with the key, duration, velocity and MIDI channel 0..15; it becomes the
    // selection.
    bool InsertNote(int channel, uint32_t time, int key, uint32_t duration, int velocity,
                    int midiChannel);
    bool EditEvent(const EventRef& event, const EventChange& change);
    // Replaces the bytes of the system-exclusive message that begins with this start fragment.
    bool SetSysexBytes(const EventRef& start, const std::vector<uint8_t>& bytes);
    bool Undo() { return doc_.History().Undo(); }
    bool Redo() { return doc_.History().Redo(); }

    // CDocView.
    void OnUpdate(CDocView* sender, long hint) override;

private:
    bool RemoveTargets(const char* label);
    std::vector<int> SelectedTracks() const;
    void Revalidate();
    // Orders the selection by channel, then store order, and drops duplicates.
    void SortSelection();
    void Changed();
    CEventTree* Track(int channel) { return doc_.GetChannelEvents(channel); }
    // The longest duration of the channel's events, so that a search for what sounds at a time
    // starts no earlier than it must; worked out once and forgotten when the document changes.
    uint32_t Longest(int channel);

    CChanDoc& doc_;
    std::function<void()> listener_;
    std::function<bool()> silence_;
    std::vector<bool> trackSelected_; // index channel - 1
    bool rangeMode_ = false;
    uint32_t rangeStart_ = 0;
    uint32_t rangeEnd_ = 0;
    uint32_t insertionPoint_ = 0;
    std::vector<EventRef> selection_;
    std::unordered_set<const SongEvent*> selected_; // the events of selection_
    std::vector<int64_t> longest_;                  // by channel - 1; -1: not known
};

} // namespace editing
