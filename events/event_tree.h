// The channel event store: a time-ordered binary tree of events with relative times, so that a
// gap can be opened or closed behind any point, and all times rescaled, in work proportional to
// the tree's height.
//
// Each node keeps its time relative to its parent. The right child (later or equal events) is
// held in the carried event's own `next` link, so an event in a store belongs to no list.
#pragma once

#include "events/song_event.h"

#include <cstdint>

class CArchive;

struct EventTreeNode {
    SongEvent* event = nullptr;
    int32_t delta = 0;
    EventTreeNode* parent = nullptr;
    EventTreeNode* earlier = nullptr;
};

class CEventTree {
public:
    CEventTree();
    CEventTree(const CEventTree&) = delete;
    CEventTree& operator=(const CEventTree&) = delete;
    virtual ~CEventTree();

    virtual SongEvent* First();                                 // 0
    virtual SongEvent* Next();                                  // 1
    virtual uint32_t CurrentTime() const;                       // 2
    virtual void Seek(uint32_t t);                              // 3
    virtual int AddCopyAt(const SongEvent& event, uint32_t t);  // 4
    virtual int AddCopy(const SongEvent& event);                // 5
    virtual void Reserved6(SongEvent* event);                   // 6: does nothing
    virtual int Reserved7();                                    // 7: returns 0
    virtual int Reserved8();                                    // 8: returns 0
    virtual void Clear();                                       // 9
    virtual void Serialize(CArchive& ar);                       // 10

    void Add(SongEvent* event);
    void AddAt(const SongEvent& event, uint32_t t);
    int Remove(SongEvent* event);
    int Unlink(SongEvent* event);
    int Move(SongEvent* event, uint32_t t);
    void AppendMidiInput(const MidiEvent& message, uint32_t t);
    SongEvent* Last();
    SongEvent* StepBack();
    void Restart();
    uint32_t PeekNextTime() const;
    void RemoveRange(uint32_t from, uint32_t to);
    void OpenGap(uint32_t length, uint32_t at);
    void CloseGap(uint32_t length, uint32_t at);
    void Balance();
    void Scale(double factor, bool times, bool durations);
    void Rescale(uint32_t oldUnits, uint32_t newUnits);
    void CloseNote(const SongEvent& noteOff, uint32_t t);
    void PairNoteOffs();
    int FindOverlap(uint32_t from, uint32_t to, uint8_t key, const SongEvent* except);
    int32_t GetLength(int recompute);
    int32_t GetCount() const { return count; }
    // The event the cursor is on (null at the head node).
    SongEvent* CurrentEvent() const;
    // Height of the tree (0 when empty); for tests and diagnostics.
    int Height() const;

protected:
    EventTreeNode head;
    int32_t count = 0;
    EventTreeNode* cursor = nullptr;
    uint32_t cursorTime = 0;
    int32_t length = 0;
};
