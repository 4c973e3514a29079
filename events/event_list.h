// A singly linked, time-ordered list of events with a read cursor and the solve-time fields.
//
// The list owns its events and destroys them through DeleteSongEvent. The order of the virtual
// operations is part of the interface.
//
// Insertion by time t: an empty list takes the event as head; when the head's time is at least t
// the event becomes the new head; otherwise it goes after the last event whose time is at most t,
// so after every event of equal time except a head of equal time. Remove and Unlink find the
// event by identity, leave an event of another list alone, and move a cursor that stood on it
// to its successor. Lists have no lock of their own.
#pragma once

#include "events/song_event.h"

#include <cstdint>

class CNoteEventList {
public:
    CNoteEventList() = default;
    // Copies now, next and offset, and adds a copy of every event (AddCopyAt at its own time).
    CNoteEventList(const CNoteEventList& other);
    CNoteEventList& operator=(const CNoteEventList&) = delete;
    virtual ~CNoteEventList();

    virtual SongEvent* First();                       // 0
    virtual SongEvent* Next();                        // 1
    virtual uint32_t CurrentTime() const;             // 2
    virtual SongEvent* FindAfter(uint32_t t) const;   // 3
    virtual int Insert(SongEvent* event, uint32_t t); // 4
    virtual int Add(SongEvent* event);                // 5
    virtual void Remove(SongEvent* event);            // 6
    virtual int RemoveHead();                         // 7
    virtual SongEvent* PopHead();                     // 8 (null when empty)
    virtual void RemoveAll();                         // 9
    virtual void Unlink(SongEvent* event);            // 10

    bool IsEmpty() const { return head == nullptr; }
    uint32_t FirstTime() const { return head ? head->time : kNoTime; }
    void ShiftAll(int32_t delta);
    void SetChannelAll(int channel);
    void Clear();
    void AddCopyAt(const SongEvent& event, uint32_t t);
    void AddMidiCopyAt(const SongEvent& event, uint32_t t);
    void AddWaveRef(const EventWave& wave, uint32_t t);
    void AddNoteOff(const SongEvent& note);
    void AddNoteOffAt(const SongEvent& note, uint32_t base);
    void MoveAllFrom(CNoteEventList& other);
    // Also sets next := the smaller of the two lists' next values.
    void MoveAllFromWithNext(CNoteEventList& other);
    int Count() const;

    SongEvent* head = nullptr;
    SongEvent* cursor = nullptr;
    uint32_t now = 0;
    uint32_t next = kNoTime;
    int32_t offset = 0;
};
