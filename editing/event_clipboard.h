// The application's clipboard of events, shared by every event editor so that events can be
// copied between documents.
//
// It holds copies that own everything they refer to (a wave event its own copy of the sound), so
// nothing that later happens to the document they came from can reach them: a cut whose gap
// closing destroys the range, an undo, a document closed. Each entry keeps the channel it came
// from and its time relative to the clipboard's start; the clipboard also keeps its length (0
// for single events, the range's length for a range) and the units per beat of the document it
// came from, so that a paste into a document of another resolution converts the times.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/event_edit.h"

#include <cstdint>
#include <vector>

namespace editing {

class EventClipboard {
public:
    struct Entry {
        int channel = 0;
        uint32_t time = 0; // relative to the clipboard's start
        OwnedEvent event;
    };

    bool Empty() const { return entries_.empty() && length_ == 0; }
    const std::vector<Entry>& Entries() const { return entries_; }
    uint32_t Length() const { return length_; }
    uint32_t UnitsPerBeat() const { return unitsPerBeat_; }
    // The channels the entries came from, ascending.
    std::vector<int> Channels() const;

    // Replaces the contents with copies of the events (times relative to start).
    void Set(const std::vector<EventRef>& events, uint32_t start, uint32_t length,
             uint32_t unitsPerBeat);
    void Clear();

    // A count of changes, for views that show whether Paste is possible.
    uint64_t Generation() const { return generation_; }

private:
    std::vector<Entry> entries_;
    uint32_t length_ = 0;
    uint32_t unitsPerBeat_ = kDefaultUnitsPerBeat;
    uint64_t generation_ = 0;
};

// The application's one clipboard of events.
EventClipboard& TheEventClipboard();

} // namespace editing
