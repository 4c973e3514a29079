// The undoable edit of a channel document's events, on which every event-editing command rests.
//
// An edit is described by windows: spans [at, at + length) of one channel whose whole contents
// change. Before the edit the command records, for each window, every event in it in store order
// with its time and its editable fields; after the edit it records the same again (a window's
// length may change: the events after it then move by the difference, as a gap opened or
// closed behind it). Undo puts the "before" contents back, Redo the "after" contents, exactly in
// their old order, so that undoing every step gives back the very events, times and order the
// store held, and its stored bytes.
//
// Ownership. Events are never cloned by the command: the objects move in and out of the store.
// An event that leaves the store (deleted, cut) is owned by the command while its edit is done;
// an event the edit created is owned by the command while the edit is undone. Events whose fields
// or times change are the same objects before and after, so a wave event keeps its sound and
// nothing the command holds can be destroyed by a later gap closing. Destroying the command
// destroys what it owns and never touches the document.
//
// Safety against changes made outside the undo stack (a channel re-read from its file, a tree
// solved again, a Word's editor detached): Undo and Redo first check that each channel still has
// the store it had and that each window holds exactly the events the command left there, at the
// same times and in the same order; when one does not, nothing is changed and the step fails. Only
// identities and times are compared, so an event that was destroyed meanwhile is never read.
//
// Rules for a window set: windows of one channel do not overlap (overlapping or touching windows
// of unchanged length are merged); only the last window of a channel may change its length.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/channel_document.h"
#include "documents/undo_stack.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace editing {

// The latest time an edit may give an event (a MIDI file's limit; one below "no time").
constexpr uint32_t kMaxEditTime = 999999999u;

// The fields of an event an edit can change besides its time.
struct EventFields {
    uint32_t duration = 0;
    uint8_t bytes[4] = {}; // status, data1, data2, data3 of a MIDI event
    double value = 0.0;    // of a value event

    static EventFields Of(SongEvent& e);
    void ApplyTo(SongEvent& e) const;
    bool operator==(const EventFields& o) const;
};

// An event of a channel, with its time.
struct EventRef {
    int channel = 0;
    SongEvent* event = nullptr;
    uint32_t time = 0;
    bool operator==(const EventRef& o) const {
        return channel == o.channel && event == o.event && time == o.time;
    }
};

// What the step that just changed a document placed or restored, for the editors of that
// document to select. Set only while the command tells the document's views.
struct EditNotice {
    const CChanDoc* doc = nullptr;
    std::vector<EventRef> placed; // in window order: channel, then time
    bool select = true;           // false: the step changed too much to be a selection
};
// The notice of the change being announced now, or null.
const EditNotice* CurrentEditNotice();
// The hint the document's views are told with after an event edit.
constexpr long kHintEventsEdited = 0x4545;

// ---- helpers on a store -------------------------------------------------------------------

// Whether the event is stored at exactly time t (the event itself is never read).
bool IsStoredAt(CEventTree& tree, const SongEvent* event, uint32_t t);
// Unlinks the event stored at time t; false (nothing changed) when it is not there.
bool TakeAt(CEventTree& tree, SongEvent* event, uint32_t t);
// The events of [from, to) in store order.
std::vector<EventRef> EventsIn(CEventTree& tree, int channel, uint32_t from, uint64_t to);
// A copy that owns everything it refers to: a wave event gets its own copy of the sound, so the
// copy stays valid whatever becomes of the original. Null when the event cannot be copied.
SongEvent* OwnedCopy(const SongEvent& e);
struct SongEventDeleter {
    void operator()(SongEvent* e) const { DeleteSongEvent(e); }
};
using OwnedEvent = std::unique_ptr<SongEvent, SongEventDeleter>;

// ---- the edit -----------------------------------------------------------------------------

// An event as a window holds it: the object, its time and its fields.
struct PlacedEvent {
    SongEvent* event = nullptr;
    uint32_t time = 0;
    EventFields fields;
};

// One window of an edit: its span and its contents before and after.
struct EditWindow {
    int channel = 0;
    const CEventTree* store = nullptr; // the channel's store when the step was made
    uint32_t at = 0;
    uint64_t lengthBefore = 0;
    uint64_t lengthAfter = 0;
    std::vector<PlacedEvent> before;
    std::vector<PlacedEvent> after;
};

// Collects the windows of an edit and their contents; handed to the edit function of an
// EventEditCommand.
class EditPlan {
public:
    explicit EditPlan(CChanDoc& doc) : doc_(doc) {}
    CChanDoc& Doc() { return doc_; }
    // The channel's store (null outside the channels).
    CEventTree* Track(int channel) { return doc_.GetChannelEvents(channel); }

    // Declares that [at, at + length) of the channel changes and becomes lengthAfter long.
    void Window(int channel, uint32_t at, uint64_t length, uint64_t lengthAfter);
    void Window(int channel, uint32_t at, uint64_t length) { Window(channel, at, length, length); }
    // The events at exactly time t.
    void Slot(int channel, uint32_t t) { Window(channel, t, 1, 1); }
    // Records the contents of every window declared. False (nothing recorded) when the windows
    // break the rules above or a channel does not exist; the edit must then change nothing.
    bool Begin();
    // Something besides the events that the step sets: called with true when the edit is made
    // or redone, false when it is undone.
    void OnApply(std::function<void(bool after)> apply) { extra_ = std::move(apply); }
    // The step's placed events are not offered as a selection (a whole document rescaled).
    void SelectNothing() { select_ = false; }

private:
    friend class EventEditCommand;
    CChanDoc& doc_;
    std::vector<EditWindow> windows_;
    std::function<void(bool)> extra_;
    bool begun_ = false;
    bool select_ = true;
};

class EventEditCommand : public Command {
public:
    // The edit declares its windows, calls Begin, then changes the stores; it returns false only
    // when it changed nothing (refused before Begin, or Begin failed).
    using Edit = std::function<bool(EditPlan&)>;

    EventEditCommand(CChanDoc& doc, std::string label, Edit edit);
    ~EventEditCommand() override;
    EventEditCommand(const EventEditCommand&) = delete;
    EventEditCommand& operator=(const EventEditCommand&) = delete;

    std::string Label() const override { return label_; }
    // Runs the edit and records its result; false (and nothing changed) when the edit did
    // nothing.
    bool Do() override;
    bool Undo() override { return Apply(false); }
    bool Redo() override { return Apply(true); }

    // The events the last Do, Undo or Redo placed (new, moved, changed or restored), as the
    // views were told.
    const std::vector<EventRef>& Placed() const { return placed_; }

private:
    bool Apply(bool after);
    bool Record();
    void Announce(bool after);

    CChanDoc& doc_;
    std::string label_;
    Edit edit_;
    std::unique_ptr<EditPlan> plan_;
    std::vector<EventRef> placed_;
    bool done_ = false;
};

// Runs an edit as a step of the document's history. True when it changed something.
bool PushEdit(CChanDoc& doc, const std::string& label, EventEditCommand::Edit edit);

} // namespace editing
