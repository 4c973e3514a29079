// The channel event store: a time-ordered binary tree of events with relative times, so that a
// gap can be opened or closed behind any point, and all times rescaled, in work proportional to
// the tree's height.
//
// Each node keeps its time relative to its parent. The right child (later or equal events) is
// held in the carried event's own `next` link (as a node pointer), so an event in a store belongs
// to no list and its `next` must never be followed while it is stored. An event leaves the store
// (Unlink) with `next` reset to null.
//
// In-order traversal visits the events in time order; events of equal time keep the order in
// which they were stored. The `time` field of a stored event is brought up to date whenever the
// cursor reaches it and when the store is written; after OpenGap, CloseGap, Scale or Rescale it
// may be stale until then. Remove, Unlink and Move find an event by its `time` field first and
// fall back to a walk over the whole store when that field is stale.
//
// Balance. The store keeps itself balanced on insertion as a treap: every node carries a random
// priority, no parent's priority is below its children's, and a new node, placed by time as a
// leaf, rotates up above its ancestors of lower priority (two rotations on average); a removed
// node first rotates down below its child of higher priority until it has at most one child.
// Rotations keep every absolute time and the in-order sequence, so the order of equal times is
// kept. The expected depth is about 1.4·log2(count) whatever order the times come in, so
// insertion, removal, Seek, OpenGap and CloseGap cost O(log count) without anyone asking for
// "optimize". Reason: stores are routinely filled in time order (MIDI file reading, recording,
// solving) and read from files in time order; a plain search tree would be a chain then, and
// every later edit, seek or gap would cost time linear in the number of events. Balance still
// rebuilds the whole tree into a perfectly balanced shape (height ceil(log2(count + 1)), the
// shape the Day-Stout-Warren method gives) in linear time, each node taking the priority of its
// subtree size, so the heap order holds again. Reading a store links the events as a chain
// (constant time each) and builds the balanced tree from it once at the end. The random
// priorities come from a fixed-seed generator per store, independent of the times.
//
// Memory: the nodes of a store live in one pool (an array that doubles when full) and name each
// other by 32-bit index; node 0 is the head node. A node is 32 bytes on 64-bit targets (event
// pointer, delta, priority, and the parent, earlier and later indices), so a stored MIDI event
// costs its 32-byte EventMidi plus 32 bytes of node. The later index mirrors the event's `next`
// link (which holds the later child's node address, as the layout describes): walks read the
// node alone and never the event, and both are written together. When the pool grows, the
// `next` links are rewritten for the new addresses (so are they when Balance moves the nodes).
// Nodes of removed events are reused; Clear and the destructor return the pool. The pool grows
// by doubling, and the part not yet handed out is never written.
//
// Layout after Balance: Balance rebuilds the tree into a new pool in which node i is the i-th
// event in time order, so that iteration walks memory forwards and the deep levels of a Seek
// share pages with their neighbours. A store filled through an Appender is built the same way
// in place, in linear time, when the appender finishes.
//
// Reading a damaged or hostile store: the header must read version 1 and marker 1; an event whose
// time goes back is stored by time (after the events of its time read before it) instead of being
// linked behind the previous one; the stored count reserves no more nodes than the remaining
// input could hold events (five bytes each at least), and a read cut short fails the archive,
// destroys what was read and leaves the store as it was.
//
// Every walk over the tree is iterative (parent pointers, no recursion), so destruction,
// traversal, Balance, Scale, Rescale, serialization and removal work on a chain of any depth.
//
// PairNoteOffs, used on freshly recorded MIDI: a note-on is paired with the next note message of
// the same key and MIDI channel when that is a note-off; the note-on takes the distance as its
// duration and the matched note-off is destroyed, because playback and the MIDI file writer end
// notes by their durations (a kept note-off would end a re-struck note early). A matched note-off
// at the very time of its note-on is kept, so that the note still ends. Unmatched note-offs stay
// as ordinary messages. Note-ons left with duration 0 (no note-off before the key was struck again
// or before the end) are kept unchanged: no recorded key press is lost.
//
// A store is used from one thread at a time; it has no lock.
#pragma once

#include "events/song_event.h"

#include <cstdint>
#include <memory>
#include <vector>

class CArchive;

// Indices name nodes of the same store's pool; 0 (the head node, never a child) means none.
struct EventTreeNode {
    SongEvent* event = nullptr;
    int32_t delta = 0; // this node's absolute time minus its parent's (wrapping 32-bit arithmetic)
    uint32_t priority = 0; // heap order of the self-balancing: a parent's is never lower
    uint32_t parent = 0;   // unused on the head node; links the free nodes
    uint32_t earlier = 0;  // left child
    uint32_t later = 0;    // right child, mirrored in the event's `next`
};
static_assert(sizeof(void*) != 8 || sizeof(EventTreeNode) <= 32,
              "a tree node must stay within 32 bytes on 64-bit targets");

class CEventTree {
public:
    // Version and marker of the stored layout: version u16, count u32, length u32, marker u8,
    // then the events in time order.
    static constexpr uint16_t kVersion = 1;
    static constexpr uint8_t kMarker = 1;

    CEventTree();
    CEventTree(const CEventTree&) = delete;
    CEventTree& operator=(const CEventTree&) = delete;
    virtual ~CEventTree();

    // Cursor := head node, then Next.
    virtual SongEvent* First(); // 0
    // The in-order successor of the cursor, or null at the end (cursor unchanged).
    virtual SongEvent* Next(); // 1
    // Absolute time of the cursor (0 on the head node).
    virtual uint32_t CurrentTime() const; // 2
    // Cursor := the last event whose time is below t (the head node when none), so that Next
    // yields the first event at or after t.
    virtual void Seek(uint32_t t); // 3
    // Stores a clone of the event at time t; 1, or 0 when the event cannot be cloned.
    virtual int AddCopyAt(const SongEvent& event, uint32_t t); // 4
    virtual int AddCopy(const SongEvent& event);               // 5
    virtual void Reserved6(SongEvent* event);                  // 6: does nothing
    virtual int Reserved7();                                   // 7: returns 0
    virtual int Reserved8();                                   // 8: returns 0
    // Destroys every stored event; cursor := head node.
    virtual void Clear(); // 9
    // Storing: the layout above. Loading: replaces the contents with the stored events; on a
    // truncated or malformed archive (which is then failed) the store keeps what it held.
    virtual void Serialize(CArchive& ar); // 10

    // Takes ownership and stores the event at its own time, after the events of equal time.
    void Add(SongEvent* event);
    // Stores a clone of the event at time t.
    void AddAt(const SongEvent& event, uint32_t t);
    // Unlinks and destroys; 0 when the event is not stored here.
    int Remove(SongEvent* event);
    // Unlinks; the caller owns the event again. 0 when the event is not stored here.
    int Unlink(SongEvent* event);
    // Moves a stored event to time t (after the events of equal time); 0 when not stored here.
    int Move(SongEvent* event, uint32_t t);
    // A new EventMidi from the message at time t, placed after the cursor when the cursor is on
    // the last event and t is not earlier (the recording case, constant time), otherwise stored by
    // time. The cursor moves to the new event.
    void AppendMidiInput(const MidiEvent& message, uint32_t t);
    // Cursor := the last event (the head node when empty); returns it.
    SongEvent* Last();
    // Cursor := its in-order predecessor; returns it, or null (cursor on the head node) when none.
    SongEvent* StepBack();
    // Cursor := head node, cursor time := 0.
    void Restart();
    // Time of the cursor's successor; kNoTime + cursor time when there is none.
    uint32_t PeekNextTime() const;
    // Destroys every event with time in [from, to); the others keep their times.
    void RemoveRange(uint32_t from, uint32_t to);
    // Every event at or after `at` moves later by length. Cost: the depth of the tree. When the
    // last event would pass the largest time, the gap is shortened so that it lands there.
    void OpenGap(uint32_t length, uint32_t at);
    // Destroys the events in [at, at + length), moves every later event earlier by length, and
    // returns the cursor to the head node. Cost: the depth plus the destroyed events.
    void CloseGap(uint32_t length, uint32_t at);
    // Rebuilds the whole tree into a balanced shape (Day-Stout-Warren); no time changes.
    void Balance();
    // Times (when `times`) become trunc(time × factor), durations (when `durations`)
    // trunc(duration × factor), limited to the 32-bit range. Each absolute time is scaled on its
    // own, so the order is kept and no time drifts by more than one unit. A negative or
    // non-finite factor changes nothing.
    void Scale(double factor, bool times, bool durations);
    // Converts times and durations from oldUnits to newUnits per beat:
    // t -> newUnits × (t div oldUnits) + (t mod oldUnits) × newUnits / oldUnits. oldUnits 0
    // changes nothing.
    void Rescale(uint32_t oldUnits, uint32_t newUnits);
    // From the cursor backwards, the first note-on with the note-off's key and channel gets the
    // duration t − its time (0 when t is earlier). The cursor stays.
    void CloseNote(const SongEvent& noteOff, uint32_t t);
    // Pairs recorded note-ons with their note-offs (see above). Cursor := head node.
    void PairNoteOffs();
    // 1 when a note-on of this key other than `except` sounds within [from, to]: its time ≤ to
    // and time + duration > from. The search starts 2000 units before `from` (at 0 when from is
    // below 2000), so longer notes that began earlier are not seen. The cursor stays.
    int FindOverlap(uint32_t from, uint32_t to, uint8_t key, const SongEvent* except);
    // recompute 1: length := the last event's time plus its duration (MIDI and wave events),
    // limited to the int32 range. Returns the cached length.
    int32_t GetLength(int recompute);
    int32_t GetCount() const { return count; }
    // The event the cursor is on (null at the head node).
    SongEvent* CurrentEvent() const;
    // Height of the tree (0 when empty); for tests and diagnostics.
    int Height() const;
    // Checks every link, the `next` mirrors, the heap order and the counts; for tests and
    // diagnostics. Cost: linear.
    bool CheckStructure() const;

    // Fills a store in time order at constant cost an event (file readers): on an empty store
    // the events are linked at its end as a chain and the store is balanced once when the
    // appender finishes. An event earlier than the last one appended is kept aside and stored
    // by time at the finish, after the events of its time appended before it, so the order of
    // equal times is the order of appending. On a store that is not empty each Append is an
    // Add. Until the appender finishes, nothing else may change or walk the store.
    class Appender {
    public:
        explicit Appender(CEventTree& tree);
        ~Appender() { Finish(); }
        Appender(const Appender&) = delete;
        Appender& operator=(const Appender&) = delete;
        // Takes ownership of the event, stored at its own time.
        void Append(SongEvent* event);
        void Finish();

    private:
        CEventTree& tree_;
        uint32_t last_ = 0; // node index
        uint32_t lastTime_ = 0;
        bool chain_;
        bool done_ = false;
        std::vector<SongEvent*> late_;
    };

protected:
    EventTreeNode* nodes_ = nullptr; // the pool; nodes_[0] is the head node, its event the sentinel
    int32_t count = 0;
    uint32_t cursor = 0; // node index
    uint32_t cursorTime = 0;
    int32_t length = 0;

private:
    EventTreeNode* AllocNode(SongEvent* event);
    void FreeNode(EventTreeNode* node);
    void Reserve(uint64_t nodes);
    void ResetPool(bool shrink);
    void DeleteEvents();
    void ReleaseAll();
    void SwapContents(CEventTree& other);

    // Places a detached node (children null) at absolute time t after the events of equal time.
    void InsertNode(EventTreeNode* node, uint32_t t);
    // Finds the node carrying the event, with its absolute time.
    EventTreeNode* FindNode(const SongEvent* event, uint32_t* time) const;
    // Takes the node out of the tree (cursor rule applied); the node is not freed.
    void DetachNode(EventTreeNode* node, uint32_t nodeTime);
    uint32_t NextPriority();
    void RaiseNew(EventTreeNode* node);
    // Links pool[1..n], which hold the events in time order with their absolute times in the
    // priority fields (and in the events' time fields), into a balanced tree below pool[0];
    // the cursor is left alone.
    static void BuildBalanced(EventTreeNode* pool, uint32_t n);
    void Shift(uint32_t from, uint32_t amount, bool later);
    template <class F> void TransformTimes(F f);
    void Load(CArchive& ar);
    void Store(CArchive& ar);

    uint32_t capacity_ = 0;      // nodes the pool can hold
    uint32_t used_ = 0;          // nodes handed out so far, the head node included
    uint32_t free_ = 0;          // first reusable node, 0 when none
    uint32_t rng_ = 0x9E3779B9u; // priorities of new nodes
    bool timesFresh_ = true;     // every stored event's time field holds its absolute time
};
