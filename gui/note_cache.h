// What the note editors draw, gathered once per change of the document: every note-on of every
// channel as a bar (time, end, key, velocity, channel), ordered by time, and every other event
// as a mark (time, channel, kind), so that a paint walks flat arrays instead of the stores.
//
// A paint looks up the notes that may sound in a span of time: FirstSounding gives the first
// index whose note could still sound at a time (its start at most the longest duration earlier),
// and the walk ends at the first note that begins after the span. Cost: a binary search and the
// notes walked.
//
// The cache holds pointers to the document's events; it must be rebuilt (Build) after every
// change of the document before it is read again. No Qt: the benchmarks and tests build it alone.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/channel_document.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace gui {

struct NoteBar {
    uint32_t time = 0;
    uint32_t end = 0; // time + duration, at least time + 1
    SongEvent* event = nullptr;
    uint16_t channel = 0; // the document's channel (track), from 1
    uint8_t key = 0;
    uint8_t velocity = 0;
    uint8_t midiChannel = 0; // 0..15
};

struct EventMark {
    uint32_t time = 0;
    SongEvent* event = nullptr;
    uint16_t channel = 0;
    uint8_t status = 0; // a MIDI event's status byte (0 a tempo event); 0xFF another kind
};

class NoteCache {
public:
    // Gathers the notes and marks of every channel.
    void Build(CChanDoc& doc);
    void Clear();

    const std::vector<NoteBar>& Notes() const { return notes_; }
    const std::vector<EventMark>& Marks() const { return marks_; }
    // The first note that may still sound at time t.
    size_t FirstSounding(uint32_t t) const;
    // The index of the first note that begins at or after t.
    size_t FirstFrom(uint32_t t) const;
    // The end of the last note or event.
    uint32_t End() const { return end_; }
    uint32_t LongestNote() const { return longest_; }
    // The lowest and highest key of the notes (60..60 without notes).
    int LowKey() const { return low_; }
    int HighKey() const { return high_; }
    // The MIDI channel of the first note of a document channel (0 when it has none).
    int MidiChannelOf(int channel) const;

private:
    std::vector<NoteBar> notes_;
    std::vector<EventMark> marks_;
    std::vector<int> midiChannels_; // by channel - 1; -1 none
    uint32_t end_ = 0;
    uint32_t longest_ = 0;
    int low_ = 60;
    int high_ = 60;
};

} // namespace gui
