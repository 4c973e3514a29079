#include "events/event_tree.h"

#include "events/archive.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace {

using Node = EventTreeNode;

constexpr uint32_t kMaxTime = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kMinPool = 16;
// The size of a huge page: pools this big or bigger are mapped in whole units of it.
constexpr size_t kHugeAlign = size_t{2} << 20;

// Big pools are mapped straight from the kernel (fresh pages, which the kernel may back with huge
// pages: fewer TLB misses when seeking in big stores) and unmapped when freed, so a store's pool
// never lands on heap pages already faulted in small.
inline size_t PoolBytes(uint32_t nodes) {
    const size_t bytes = size_t{nodes} * sizeof(Node);
    return bytes >= kHugeAlign ? (bytes + kHugeAlign - 1) & ~(kHugeAlign - 1) : bytes;
}

Node* NewPool(uint32_t nodes) {
    const size_t bytes = PoolBytes(nodes);
    void* mem = nullptr;
#ifdef __linux__
    if (bytes >= kHugeAlign) {
        mem = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(mem, bytes, MADV_HUGEPAGE);
#endif
        return static_cast<Node*>(mem);
    }
#endif
    mem = std::malloc(bytes);
    if (!mem) throw std::bad_alloc();
    // Nodes are initialised when they are handed out.
    return static_cast<Node*>(mem);
}

void FreePool(Node* pool, uint32_t nodes) {
    if (!pool) return;
#ifdef __linux__
    const size_t bytes = PoolBytes(nodes);
    if (bytes >= kHugeAlign) {
        munmap(pool, bytes);
        return;
    }
#endif
    std::free(pool);
}

// Nodes name each other by index into their store's pool `b`; index 0 is the head node, which
// is never a child, so 0 also means "none".
inline uint32_t Ix(const Node* b, const Node* n) {
    return static_cast<uint32_t>(n - b);
}
inline bool IsHead(const Node* b, const Node* n) {
    return n == b;
}
inline Node* EarlierOf(Node* b, const Node* n) {
    return n->earlier ? b + n->earlier : nullptr;
}
inline Node* LaterOf(Node* b, const Node* n) {
    return n->later ? b + n->later : nullptr;
}
inline Node* ParentOf(Node* b, const Node* n) {
    return IsHead(b, n) ? nullptr : b + n->parent;
}
inline void SetEarlier(Node* b, Node* n, Node* l) {
    n->earlier = l ? Ix(b, l) : 0;
}
// The later child is kept in the node and, as its address, in the carried event's `next`.
inline void SetLater(Node* b, Node* n, Node* r) {
    n->later = r ? Ix(b, r) : 0;
    n->event->next = reinterpret_cast<SongEvent*>(r);
}

// Deltas and absolute times use wrapping 32-bit arithmetic: every absolute time fits in 32
// bits, so the sum of the deltas down to a node is exact modulo 2^32.
inline int32_t Plus(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t Minus(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline uint32_t Down(uint32_t parentTime, const Node* child) {
    return parentTime + static_cast<uint32_t>(child->delta);
}
inline uint32_t Up(uint32_t childTime, const Node* child) {
    return childTime - static_cast<uint32_t>(child->delta);
}
inline int32_t DeltaOf(uint32_t childTime, uint32_t parentTime) {
    return static_cast<int32_t>(childTime - parentTime);
}

inline void ReplaceChild(Node* b, Node* parent, Node* old, Node* child) {
    if (parent->earlier == Ix(b, old)) {
        SetEarlier(b, parent, child);
    } else {
        SetLater(b, parent, child);
    }
}

// In-order successor of node i (i may be the head node, 0); *t holds i's time on entry and the
// successor's on return. 0 when there is none (*t unchanged).
[[gnu::always_inline]] inline uint32_t SuccessorIx(const Node* b, uint32_t i, uint32_t* t) {
    if (uint32_t r = b[i].later) {
        uint32_t tt = Down(*t, b + r);
        while (uint32_t l = b[r].earlier) {
            r = l;
            tt = Down(tt, b + r);
        }
        *t = tt;
        return r;
    }
    uint32_t tt = *t;
    while (i != 0) {
        const uint32_t p = b[i].parent;
        tt = Up(tt, b + i);
        if (b[p].earlier == i) {
            *t = tt;
            return p;
        }
        i = p;
    }
    return 0;
}

[[gnu::always_inline]] inline Node* Successor(Node* b, Node* n, uint32_t* t) {
    const uint32_t s = SuccessorIx(b, Ix(b, n), t);
    return s ? b + s : nullptr;
}

// In-order predecessor of n (never the head node); null when n is the first.
Node* Predecessor(Node* b, Node* n, uint32_t* t) {
    if (n->earlier) {
        Node* l = b + n->earlier;
        uint32_t tt = Down(*t, l);
        while (l->later) {
            l = b + l->later;
            tt = Down(tt, l);
        }
        *t = tt;
        return l;
    }
    uint32_t tt = *t;
    while (!IsHead(b, n)) {
        Node* p = b + n->parent;
        tt = Up(tt, n);
        if (p->earlier != Ix(b, n)) {
            if (IsHead(b, p)) return nullptr;
            *t = tt;
            return p;
        }
        n = p;
    }
    return nullptr;
}

// The first node (in order) whose time is at or after t, with its time.
Node* LowerBound(Node* b, uint32_t t, uint32_t* time) {
    uint32_t x = b->later;
    Node* found = nullptr;
    uint32_t xt = 0;
    while (x) {
        Node* n = b + x;
        xt = Down(xt, n);
        if (xt >= t) {
            found = n;
            *time = xt;
            x = n->earlier;
        } else {
            x = n->later;
        }
    }
    return found;
}

// Rotations keep every absolute time: x's child comes up into x's place.
Node* RotateRight(Node* b, Node* x) {
    Node* l = b + x->earlier;
    Node* c = LaterOf(b, l);
    Node* p = b + x->parent;
    ReplaceChild(b, p, x, l);
    l->parent = x->parent;
    const int32_t dl = l->delta;
    l->delta = Plus(x->delta, dl);
    x->delta = Minus(0, dl);
    SetEarlier(b, x, c);
    if (c) {
        c->parent = Ix(b, x);
        c->delta = Plus(dl, c->delta);
    }
    SetLater(b, l, x);
    x->parent = Ix(b, l);
    return l;
}

Node* RotateLeft(Node* b, Node* x) {
    Node* r = b + x->later;
    Node* c = EarlierOf(b, r);
    Node* p = b + x->parent;
    ReplaceChild(b, p, x, r);
    r->parent = x->parent;
    const int32_t dr = r->delta;
    r->delta = Plus(x->delta, dr);
    x->delta = Minus(0, dr);
    SetLater(b, x, c);
    if (c) {
        c->parent = Ix(b, x);
        c->delta = Plus(dr, c->delta);
    }
    SetEarlier(b, r, x);
    x->parent = Ix(b, r);
    return r;
}

inline uint32_t ClampTime(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(kMaxTime)) return kMaxTime;
    return static_cast<uint32_t>(v);
}

inline bool HasDuration(const SongEvent* e) {
    return e->IsMidi() || e->IsWave();
}

// The priority a random treap node with a subtree of `size` nodes has on average: about
// 2^32 · size / (size + 1), the expected largest of size random priorities. It never falls as
// the size grows, so parents keep the heap order over their children.
inline uint32_t PriorityOfSize(uint64_t size) {
    return static_cast<uint32_t>(std::min<uint64_t>((size << 32) / (size + 1), kMaxTime));
}

} // namespace

CEventTree::CEventTree() {
    nodes_ = NewPool(kMinPool);
    capacity_ = kMinPool;
    used_ = 1;
    nodes_[0] = Node{};
    nodes_[0].event = new EventMidi();
    nodes_[0].event->next = nullptr;
}

CEventTree::~CEventTree() {
    DeleteEvents();
    delete nodes_[0].event;
    FreePool(nodes_, capacity_);
}

EventTreeNode* CEventTree::AllocNode(SongEvent* event) {
    uint32_t i;
    if (free_) {
        i = free_;
        free_ = nodes_[i].parent;
    } else {
        if (used_ == capacity_) Reserve(uint64_t{capacity_} * 2);
        i = used_++;
    }
    Node* n = nodes_ + i;
    *n = Node{};
    n->event = event;
    event->next = nullptr;
    return n;
}

void CEventTree::FreeNode(EventTreeNode* node) {
    node->event = nullptr;
    node->earlier = 0;
    node->later = 0;
    node->parent = free_;
    free_ = Ix(nodes_, node);
}

// Grows the pool to hold at least `want` nodes; the `next` links follow the nodes' new
// addresses. Node pointers held across this call are invalid afterwards (indices stay).
void CEventTree::Reserve(uint64_t want) {
    if (want <= capacity_) return;
    // Indices are 32-bit and the count an int32: a pool never needs more than this.
    constexpr uint64_t kMaxNodes = uint64_t{std::numeric_limits<int32_t>::max()} + 2;
    if (capacity_ >= kMaxNodes) throw std::bad_alloc();
    const auto cap = static_cast<uint32_t>(std::min(want, kMaxNodes));
    Node* fresh = NewPool(cap);
    std::memcpy(static_cast<void*>(fresh), nodes_, size_t{used_} * sizeof(Node));
    FreePool(nodes_, capacity_);
    nodes_ = fresh;
    capacity_ = cap;
    for (uint32_t i = 0; i < used_; ++i) {
        Node& n = fresh[i];
        if (n.event)
            n.event->next = reinterpret_cast<SongEvent*>(n.later ? fresh + n.later : nullptr);
    }
}

// Empties the pool (the head node kept): every node is handed out again from 1. With `shrink`
// the pool also returns to its first size when that memory can be had.
void CEventTree::ResetPool(bool shrink) {
    if (shrink && capacity_ > kMinPool) {
        if (void* mem = std::malloc(kMinPool * sizeof(Node))) {
            auto* small = static_cast<Node*>(mem);
            small[0] = nodes_[0];
            FreePool(nodes_, capacity_);
            nodes_ = small;
            capacity_ = kMinPool;
        }
    }
    nodes_[0].later = 0;
    nodes_[0].event->next = nullptr;
    used_ = 1;
    free_ = 0;
}

void CEventTree::DeleteEvents() {
    // Every node in the pool that carries an event is stored: no tree walk is needed.
    for (uint32_t i = 1; i < used_; ++i) {
        SongEvent* e = nodes_[i].event;
        if (!e) continue;
        nodes_[i].event = nullptr;
        e->next = nullptr;
        DeleteSongEvent(e);
    }
    count = 0;
}

void CEventTree::ReleaseAll() {
    DeleteEvents();
    ResetPool(true);
    count = 0;
    length = 0;
    cursor = 0;
    cursorTime = 0;
    timesFresh_ = true;
}

void CEventTree::SwapContents(CEventTree& other) {
    std::swap(nodes_, other.nodes_);
    std::swap(count, other.count);
    std::swap(length, other.length);
    std::swap(capacity_, other.capacity_);
    std::swap(used_, other.used_);
    std::swap(free_, other.free_);
    std::swap(rng_, other.rng_);
    std::swap(timesFresh_, other.timesFresh_);
    cursor = 0;
    cursorTime = 0;
    other.cursor = 0;
    other.cursorTime = 0;
}

// ---- cursor -------------------------------------------------------------------------------

SongEvent* CEventTree::First() {
    cursor = 0;
    cursorTime = 0;
    return Next();
}

SongEvent* CEventTree::Next() {
    uint32_t t = cursorTime;
    const uint32_t s = SuccessorIx(nodes_, cursor, &t);
    if (!s) return nullptr;
    cursor = s;
    cursorTime = t;
    SongEvent* e = nodes_[s].event;
    // Only after a shift or scale can the field be stale: otherwise the walk reads no event.
    if (!timesFresh_ && e->time != t) e->time = t;
    return e;
}

uint32_t CEventTree::CurrentTime() const {
    return cursorTime;
}

void CEventTree::Seek(uint32_t t) {
    const Node* b = nodes_;
    uint32_t x = b->later;
    uint32_t found = 0;
    uint32_t foundTime = 0;
    uint32_t xt = 0;
    while (x) {
        const Node* n = b + x;
        xt = Down(xt, n);
        if (xt < t) {
            found = x;
            foundTime = xt;
            x = n->later;
        } else {
            x = n->earlier;
        }
    }
    cursor = found;
    cursorTime = foundTime;
    if (found && !timesFresh_) nodes_[found].event->time = foundTime;
}

SongEvent* CEventTree::Last() {
    Node* b = nodes_;
    Node* x = LaterOf(b, b);
    if (!x) {
        Restart();
        return nullptr;
    }
    uint32_t t = Down(0, x);
    while (Node* r = LaterOf(b, x)) {
        x = r;
        t = Down(t, x);
    }
    cursor = Ix(b, x);
    cursorTime = t;
    x->event->time = t;
    return x->event;
}

SongEvent* CEventTree::StepBack() {
    if (cursor == 0) return nullptr;
    uint32_t t = cursorTime;
    Node* p = Predecessor(nodes_, nodes_ + cursor, &t);
    if (!p) {
        Restart();
        return nullptr;
    }
    cursor = Ix(nodes_, p);
    cursorTime = t;
    p->event->time = t;
    return p->event;
}

void CEventTree::Restart() {
    cursor = 0;
    cursorTime = 0;
}

uint32_t CEventTree::PeekNextTime() const {
    uint32_t t = cursorTime;
    if (!SuccessorIx(nodes_, cursor, &t)) return kNoTime + cursorTime;
    return t;
}

SongEvent* CEventTree::CurrentEvent() const {
    return cursor == 0 ? nullptr : nodes_[cursor].event;
}

int CEventTree::Height() const {
    Node* b = nodes_;
    Node* x = LaterOf(b, b);
    if (!x) return 0;
    int depth = 1;
    int best = 1;
    // In-order walk that tracks the depth of the current node.
    while (x->earlier) {
        x = b + x->earlier;
        best = std::max(best, ++depth);
    }
    for (;;) {
        if (Node* r = LaterOf(b, x)) {
            x = r;
            best = std::max(best, ++depth);
            while (x->earlier) {
                x = b + x->earlier;
                best = std::max(best, ++depth);
            }
            continue;
        }
        while (!IsHead(b, ParentOf(b, x)) && ParentOf(b, x)->earlier != Ix(b, x)) {
            x = ParentOf(b, x);
            --depth;
        }
        if (IsHead(b, ParentOf(b, x))) break;
        x = ParentOf(b, x);
        --depth;
    }
    return best;
}

bool CEventTree::CheckStructure() const {
    const Node* b = nodes_;
    auto mirrors = [b](const Node& n) {
        return static_cast<const void*>(n.event->next) ==
               static_cast<const void*>(n.later ? b + n.later : nullptr);
    };
    if (!b[0].event || b[0].delta != 0) return false;
    if (!mirrors(b[0])) return false;
    if (b[0].later && (b[0].later >= used_ || b[b[0].later].parent != 0)) return false;
    uint64_t live = 0;
    for (uint32_t i = 1; i < used_; ++i) {
        const Node& n = b[i];
        if (!n.event) continue;
        ++live;
        if (!mirrors(n)) return false;
        for (uint32_t c : {n.earlier, n.later}) {
            if (c == 0) continue;
            if (c >= used_ || !b[c].event || b[c].parent != i) return false;
            if (b[c].priority > n.priority) return false;
        }
        if (n.parent >= used_) return false;
        const Node& p = b[n.parent];
        if (p.earlier != i && p.later != i) return false;
    }
    // Free nodes: a chain through `parent` of nodes that carry nothing.
    uint64_t freed = 0;
    for (uint32_t f = free_; f; f = b[f].parent) {
        if (f >= used_ || b[f].event || ++freed > used_) return false;
    }
    if (live != static_cast<uint64_t>(count) || live + freed + 1 != used_) return false;
    // In-order times never go back, and every node is reached from the head.
    uint64_t seen = 0;
    uint32_t t = 0;
    uint32_t prev = 0;
    Node* mb = const_cast<Node*>(b);
    for (Node* x = Successor(mb, mb, &t); x; x = Successor(mb, x, &t)) {
        if (++seen > live || t < prev) return false;
        prev = t;
    }
    return seen == live && cursor < used_ && (cursor == 0 || b[cursor].event);
}

// ---- insertion ----------------------------------------------------------------------------

void CEventTree::InsertNode(EventTreeNode* node, uint32_t t) {
    Node* b = nodes_;
    Node* p = b;
    uint32_t x = b->later;
    uint32_t pt = 0;
    bool right = true;
    while (x) {
        p = b + x;
        pt = Down(pt, p);
        right = !(t < pt);
        x = right ? p->later : p->earlier;
    }
    node->parent = Ix(b, p);
    node->delta = DeltaOf(t, pt);
    node->earlier = 0;
    SetLater(b, node, nullptr);
    if (right) {
        SetLater(b, p, node);
    } else {
        SetEarlier(b, p, node);
    }
    ++count;
    RaiseNew(node);
}

uint32_t CEventTree::NextPriority() {
    // xorshift32: cheap, and independent of the times stored.
    uint32_t x = rng_;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    rng_ = x;
    return x;
}

// A new leaf draws a random priority and rotates up above every ancestor of lower priority.
void CEventTree::RaiseNew(EventTreeNode* node) {
    Node* b = nodes_;
    node->priority = NextPriority();
    while (node->parent != 0 && node->priority > b[node->parent].priority) {
        Node* p = b + node->parent;
        if (p->earlier == Ix(b, node)) {
            RotateRight(b, p);
        } else {
            RotateLeft(b, p);
        }
    }
}

void CEventTree::BuildBalanced(EventTreeNode* pool, uint32_t n) {
    Node& head = pool[0];
    head.later = 0;
    head.event->next = nullptr;
    if (n == 0) return;
    auto middle = [](uint32_t lo, uint32_t hi) { return lo + (hi - lo) / 2; };
    // Depth-first over the ranges of in-order positions; each range's middle node is the root
    // of its subtree. The stack holds at most one pending range a level (64 covers 2^32 nodes).
    struct Range {
        uint32_t lo, hi, parent, parentTime;
    };
    std::array<Range, 64> stack;
    size_t top = 0;
    stack[top++] = {1, n, 0, 0};
    head.later = middle(1, n);
    head.event->next = reinterpret_cast<SongEvent*>(pool + head.later);
    while (top > 0) {
        const Range r = stack[--top];
        const uint32_t m = middle(r.lo, r.hi);
        Node& x = pool[m];
        const uint32_t t = x.priority; // the absolute time, until replaced below
        x.delta = DeltaOf(t, r.parentTime);
        x.parent = r.parent;
        x.earlier = m > r.lo ? middle(r.lo, m - 1) : 0;
        x.later = m < r.hi ? middle(m + 1, r.hi) : 0;
        x.priority = PriorityOfSize(uint64_t{r.hi} - r.lo + 1);
        if (x.later) stack[top++] = {m + 1, r.hi, m, t};
        if (x.earlier) stack[top++] = {r.lo, m - 1, m, t};
    }
    // The `next` mirrors in a second pass, in time order: the events are met in the order in
    // which they were usually allocated.
    for (uint32_t i = 1; i <= n; ++i) {
        const Node& x = pool[i];
        x.event->next = reinterpret_cast<SongEvent*>(x.later ? pool + x.later : nullptr);
    }
}

void CEventTree::Balance() {
    if (count < 1) return;
    const auto n = static_cast<uint32_t>(count);
    // The nodes move to a new pool in time order, so that walks in time order read memory
    // forwards. Room is left for some insertions before the pool has to grow again.
    const uint64_t want = uint64_t{n} + 1 + std::max<uint64_t>(kMinPool, n / 8);
    const auto cap = static_cast<uint32_t>(
        std::min<uint64_t>(want, uint64_t{std::numeric_limits<int32_t>::max()} + 2));
    Node* fresh = NewPool(cap);
    fresh[0] = Node{};
    fresh[0].event = nodes_[0].event;
    Node* b = nodes_;
    uint32_t t = 0;
    uint32_t i = 0;
    uint32_t newCursor = 0;
    for (Node* x = Successor(b, b, &t); x; x = Successor(b, x, &t)) {
        Node& y = fresh[++i];
        y = Node{};
        y.event = x->event;
        y.priority = t;
        if (!timesFresh_) x->event->time = t;
        if (Ix(b, x) == cursor) newCursor = i;
    }
    BuildBalanced(fresh, n);
    FreePool(nodes_, capacity_);
    nodes_ = fresh;
    capacity_ = cap;
    used_ = n + 1;
    free_ = 0;
    cursor = newCursor;
    timesFresh_ = true;
}

void CEventTree::Add(SongEvent* event) {
    if (!event) return;
    InsertNode(AllocNode(event), event->time);
}

int CEventTree::AddCopyAt(const SongEvent& event, uint32_t t) {
    SongEvent* copy = event.Clone();
    if (!copy) return 0;
    copy->time = t;
    Node* node;
    try {
        node = AllocNode(copy);
    } catch (...) {
        DeleteSongEvent(copy);
        throw;
    }
    InsertNode(node, t);
    return 1;
}

int CEventTree::AddCopy(const SongEvent& event) {
    return AddCopyAt(event, event.time);
}

void CEventTree::AddAt(const SongEvent& event, uint32_t t) {
    AddCopyAt(event, t);
}

void CEventTree::Reserved6(SongEvent*) {}
int CEventTree::Reserved7() {
    return 0;
}
int CEventTree::Reserved8() {
    return 0;
}

void CEventTree::AppendMidiInput(const MidiEvent& message, uint32_t t) {
    auto* event = new EventMidi();
    event->SetFromMidiEvent(message);
    event->time = t;
    Node* node;
    try {
        node = AllocNode(event);
    } catch (...) {
        delete event;
        throw;
    }
    Node* b = nodes_;
    Node* c = b + cursor;
    // The recording case: the cursor is on the last event and the message is not earlier.
    bool append = c->later == 0 && (cursor == 0 || t >= cursorTime);
    if (append) {
        uint32_t tt = cursorTime;
        for (Node* x = c; !IsHead(b, x); x = b + x->parent) {
            tt = Up(tt, x);
            if (b[x->parent].earlier == Ix(b, x)) {
                append = t < tt; // the cursor's successor must be later
                break;
            }
        }
    }
    if (append) {
        node->parent = cursor;
        node->delta = DeltaOf(t, cursorTime);
        SetLater(b, c, node);
        ++count;
        RaiseNew(node);
    } else {
        InsertNode(node, t);
    }
    cursor = Ix(b, node);
    cursorTime = t;
}

// ---- finding and removal ------------------------------------------------------------------

EventTreeNode* CEventTree::FindNode(const SongEvent* event, uint32_t* time) const {
    Node* b = nodes_;
    if (!event || b->later == 0) return nullptr;
    const uint32_t want = event->time;
    uint32_t t = 0;
    for (Node* x = LowerBound(b, want, &t); x && t == want; x = Successor(b, x, &t)) {
        if (x->event == event) {
            *time = t;
            return x;
        }
    }
    // The event's time field is stale (the store was shifted or scaled since): walk everything.
    t = 0;
    for (Node* x = Successor(b, b, &t); x; x = Successor(b, x, &t)) {
        if (x->event == event) {
            *time = t;
            return x;
        }
    }
    return nullptr;
}

void CEventTree::DetachNode(EventTreeNode* node, uint32_t nodeTime) {
    Node* b = nodes_;
    if (cursor == Ix(b, node)) {
        uint32_t t = nodeTime;
        Node* p = Predecessor(b, node, &t);
        cursor = p ? Ix(b, p) : 0;
        cursorTime = p ? t : 0;
    }
    // Rotate the node down below the child of higher priority until it has at most one child.
    while (node->earlier && node->later) {
        if (b[node->earlier].priority > b[node->later].priority) {
            RotateRight(b, node);
        } else {
            RotateLeft(b, node);
        }
    }
    Node* parent = b + node->parent;
    Node* c = node->earlier ? b + node->earlier : LaterOf(b, node);
    ReplaceChild(b, parent, node, c);
    if (c) {
        c->parent = Ix(b, parent);
        c->delta = Plus(c->delta, node->delta);
    }
    node->event->next = nullptr;
    node->later = 0;
    node->parent = 0;
    node->earlier = 0;
    --count;
}

int CEventTree::Unlink(SongEvent* event) {
    uint32_t t = 0;
    Node* node = FindNode(event, &t);
    if (!node) return 0;
    DetachNode(node, t);
    FreeNode(node);
    event->time = t;
    return 1;
}

int CEventTree::Remove(SongEvent* event) {
    if (!Unlink(event)) return 0;
    DeleteSongEvent(event);
    return 1;
}

int CEventTree::Move(SongEvent* event, uint32_t t) {
    uint32_t old = 0;
    Node* node = FindNode(event, &old);
    if (!node) return 0;
    DetachNode(node, old);
    event->time = t;
    InsertNode(node, t);
    return 1;
}

void CEventTree::RemoveRange(uint32_t from, uint32_t to) {
    if (from >= to) return;
    Node* b = nodes_;
    uint32_t t = 0;
    Node* x = LowerBound(b, from, &t);
    while (x && t < to) {
        uint32_t nt = t;
        Node* s = Successor(b, x, &nt);
        SongEvent* e = x->event;
        DetachNode(x, t);
        FreeNode(x);
        DeleteSongEvent(e);
        x = s;
        t = nt;
    }
}

// ---- time shifts --------------------------------------------------------------------------

// Every event at or after `from` moves by amount. Only the nodes on the search path for
// `from` change: each carries the shift its subtree needs relative to what its ancestors
// already applied.
void CEventTree::Shift(uint32_t from, uint32_t amount, bool later) {
    const uint32_t shift = later ? amount : 0u - amount;
    uint32_t applied = 0;
    uint32_t xt = 0; // unshifted absolute time
    Node* b = nodes_;
    uint32_t x = b->later;
    while (x) {
        Node* n = b + x;
        xt = Down(xt, n);
        const bool moves = xt >= from;
        const uint32_t wanted = moves ? shift : 0u;
        if (wanted != applied) {
            n->delta = static_cast<int32_t>(static_cast<uint32_t>(n->delta) + wanted - applied);
            applied = wanted;
            timesFresh_ = false;
        }
        x = moves ? n->earlier : n->later;
    }
    if (cursor != 0 && cursorTime >= from) cursorTime += shift;
}

void CEventTree::OpenGap(uint32_t len, uint32_t at) {
    if (len == 0 || count == 0) return;
    Node* b = nodes_;
    Node* x = b + b->later;
    uint32_t last = Down(0, x);
    while (Node* r = LaterOf(b, x)) {
        x = r;
        last = Down(last, x);
    }
    if (last < at) return;
    len = std::min(len, kMaxTime - last);
    if (len == 0) return;
    Shift(at, len, true);
}

void CEventTree::CloseGap(uint32_t len, uint32_t at) {
    Restart();
    if (len == 0 || count == 0) return;
    const uint64_t end = static_cast<uint64_t>(at) + len;
    RemoveRange(at, static_cast<uint32_t>(std::min<uint64_t>(end, kMaxTime)));
    if (end > kMaxTime) {
        // The range reaches the largest time: that instant is part of it too.
        Node* b = nodes_;
        uint32_t t = 0;
        Node* x = LowerBound(b, kMaxTime, &t);
        while (x) {
            uint32_t nt = t;
            Node* s = Successor(b, x, &nt);
            SongEvent* e = x->event;
            DetachNode(x, t);
            FreeNode(x);
            DeleteSongEvent(e);
            x = s;
            t = nt;
        }
        return;
    }
    Shift(static_cast<uint32_t>(end), len, false);
    Restart();
}

template <class F> void CEventTree::TransformTimes(F f) {
    Node* b = nodes_;
    Node* x = LaterOf(b, b);
    if (!x) return;
    timesFresh_ = false;
    uint32_t t = Down(0, x);
    auto descend = [&] {
        for (;;) {
            if (x->earlier) {
                x = b + x->earlier;
            } else if (x->later) {
                x = b + x->later;
            } else {
                return;
            }
            t = Down(t, x);
        }
    };
    // Post-order: a node's delta changes only when its whole subtree is done, so the original
    // deltas still lead back up to its parent's original time.
    descend();
    for (;;) {
        Node* p = b + x->parent;
        const uint32_t pt = Up(t, x);
        const uint32_t nt = f(t);
        x->delta = IsHead(b, p) ? static_cast<int32_t>(nt) : DeltaOf(nt, f(pt));
        if (IsHead(b, p)) break;
        if (p->earlier == Ix(b, x) && p->later) {
            x = b + p->later;
            t = Down(pt, x);
            descend();
        } else {
            x = p;
            t = pt;
        }
    }
    if (cursor != 0) cursorTime = f(cursorTime);
}

void CEventTree::Scale(double factor, bool times, bool durations) {
    if (!std::isfinite(factor) || factor < 0.0) return;
    auto f = [factor](uint32_t t) { return ClampTime(static_cast<double>(t) * factor); };
    if (times) TransformTimes(f);
    if (durations) {
        Node* b = nodes_;
        uint32_t t = 0;
        for (Node* x = Successor(b, b, &t); x; x = Successor(b, x, &t)) {
            if (HasDuration(x->event)) x->event->SetDuration(f(x->event->GetDuration()));
        }
    }
}

void CEventTree::Rescale(uint32_t oldUnits, uint32_t newUnits) {
    if (oldUnits == 0) return;
    auto f = [oldUnits, newUnits](uint32_t t) {
        const uint64_t v = static_cast<uint64_t>(newUnits) * (t / oldUnits) +
                           static_cast<uint64_t>(t % oldUnits) * newUnits / oldUnits;
        return static_cast<uint32_t>(std::min<uint64_t>(v, kMaxTime));
    };
    TransformTimes(f);
    Node* b = nodes_;
    uint32_t t = 0;
    for (Node* x = Successor(b, b, &t); x; x = Successor(b, x, &t)) {
        if (HasDuration(x->event)) x->event->SetDuration(f(x->event->GetDuration()));
    }
}

// ---- notes --------------------------------------------------------------------------------

void CEventTree::CloseNote(const SongEvent& noteOff, uint32_t t) {
    if (!noteOff.IsMidi()) return;
    const auto& off = static_cast<const EventMidi&>(noteOff);
    Node* b = nodes_;
    Node* x = b + cursor;
    uint32_t xt = cursorTime;
    while (x && !IsHead(b, x)) {
        if (x->event->IsNoteOn()) {
            auto* on = static_cast<EventMidi*>(x->event);
            if (on->data1 == off.data1 && (on->status & 0x0F) == (off.status & 0x0F)) {
                on->SetDuration(t >= xt ? t - xt : 0);
                return;
            }
        }
        x = Predecessor(b, x, &xt);
    }
}

void CEventTree::PairNoteOffs() {
    Restart();
    Node* b = nodes_;
    // The open note-on of each channel and key, in one pass in time order.
    std::vector<Node*> open(16 * 256, nullptr);
    std::vector<uint32_t> openTime(16 * 256, 0);
    std::vector<std::pair<Node*, uint32_t>> matched;
    uint32_t t = 0;
    for (Node* x = Successor(b, b, &t); x; x = Successor(b, x, &t)) {
        SongEvent* e = x->event;
        const bool on = e->IsNoteOn();
        if (!on && !e->IsNoteOff()) continue;
        const auto* m = static_cast<const EventMidi*>(e);
        const size_t slot = static_cast<size_t>(m->status & 0x0F) * 256 + m->data1;
        if (on) {
            open[slot] = x; // an earlier open note-on of this key keeps its duration
            openTime[slot] = t;
            continue;
        }
        if (Node* n = open[slot]) {
            const uint32_t d = t - openTime[slot];
            n->event->SetDuration(d);
            if (d > 0) matched.emplace_back(x, t);
            open[slot] = nullptr;
        }
    }
    for (auto& [node, time] : matched) {
        SongEvent* e = node->event;
        DetachNode(node, time);
        FreeNode(node);
        DeleteSongEvent(e);
    }
    Restart();
}

int CEventTree::FindOverlap(uint32_t from, uint32_t to, uint8_t key, const SongEvent* except) {
    const uint32_t start = from >= 2000 ? from - 2000 : 0;
    Node* b = nodes_;
    uint32_t t = 0;
    for (Node* x = LowerBound(b, start, &t); x && t <= to; x = Successor(b, x, &t)) {
        const SongEvent* e = x->event;
        if (e == except || !e->IsNoteOn() || e->GetData1() != key) continue;
        if (static_cast<uint64_t>(t) + e->GetDuration() > from) return 1;
    }
    return 0;
}

int32_t CEventTree::GetLength(int recompute) {
    if (recompute) {
        Node* b = nodes_;
        Node* x = LaterOf(b, b);
        if (!x) {
            length = 0;
        } else {
            uint32_t t = Down(0, x);
            while (Node* r = LaterOf(b, x)) {
                x = r;
                t = Down(t, x);
            }
            uint64_t end = t;
            if (HasDuration(x->event)) end += x->event->GetDuration();
            length = static_cast<int32_t>(std::min<uint64_t>(
                end, static_cast<uint64_t>(std::numeric_limits<int32_t>::max())));
        }
    }
    return length;
}

// ---- storage ------------------------------------------------------------------------------

void CEventTree::Clear() {
    ReleaseAll();
}

void CEventTree::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        Store(ar);
    } else {
        Load(ar);
    }
}

void CEventTree::Store(CArchive& ar) {
    ar.WriteU16(kVersion);
    ar.WriteU32(static_cast<uint32_t>(count));
    ar.WriteU32(static_cast<uint32_t>(length));
    ar.WriteU8(kMarker);
    Node* b = nodes_;
    uint32_t t = 0;
    for (Node* x = Successor(b, b, &t); x; x = Successor(b, x, &t)) {
        SongEvent* e = x->event;
        SongEvent* right = e->next;
        e->time = t;
        e->next = nullptr;
        e->Serialize(ar);
        e->next = right;
    }
    timesFresh_ = true;
}

void CEventTree::Load(CArchive& ar) {
    const uint16_t version = ar.ReadU16();
    const uint32_t n = ar.ReadU32();
    const uint32_t storedLength = ar.ReadU32();
    const uint8_t marker = ar.ReadU8();
    if (ar.Failed() || version != kVersion || marker != kMarker ||
        n > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        ar.Fail();
        return;
    }
    // Built aside, so that a failed read leaves this store as it was. The stored count is
    // trusted only as far as the input can hold that many events (each takes five bytes or
    // more: its kind byte and at least four bytes of its own).
    CEventTree fresh;
    fresh.Reserve(std::min<uint64_t>(n, ar.Remaining() / 5) + 1);
    bool ok = true;
    {
        Appender chain(fresh);
        for (uint32_t i = 0; i < n; ++i) {
            if (ar.AtEnd()) {
                ok = false;
                break;
            }
            SongEvent* e = SongEventSerialize(ar);
            if (!e || ar.Failed()) {
                if (e) DeleteSongEvent(e);
                ok = false;
                break;
            }
            chain.Append(e);
        }
    }
    if (!ok) {
        ar.Fail();
        return;
    }
    fresh.length = static_cast<int32_t>(storedLength);
    SwapContents(fresh);
}

// ---- Appender ----------------------------------------------------------------------------

CEventTree::Appender::Appender(CEventTree& tree) : tree_(tree), chain_(tree.count == 0) {
    // An empty store hands out its nodes in order from 1, so the chain lies in the pool in
    // time order and Finish can link it in place.
    if (chain_) tree_.ResetPool(false);
}

void CEventTree::Appender::Append(SongEvent* event) {
    if (!event) return;
    if (!chain_ || done_) {
        tree_.Add(event);
        return;
    }
    event->next = nullptr;
    if (event->time < lastTime_) {
        late_.push_back(event);
        return;
    }
    Node* node = tree_.AllocNode(event); // may move the pool: indices only across it
    Node* b = tree_.nodes_;
    node->parent = last_;
    node->delta = DeltaOf(event->time, lastTime_);
    SetLater(b, b + last_, node);
    last_ = Ix(b, node);
    lastTime_ = event->time;
    ++tree_.count;
}

void CEventTree::Appender::Finish() {
    if (done_) return;
    done_ = true;
    if (!chain_) return;
    // The chain holds nodes 1..count in time order: the absolute times go into the priority
    // fields and the balanced tree is linked in place, in linear time.
    Node* b = tree_.nodes_;
    const auto n = static_cast<uint32_t>(tree_.count);
    uint32_t t = 0;
    for (uint32_t i = 1; i <= n; ++i) {
        t = Down(t, b + i);
        b[i].priority = t;
    }
    BuildBalanced(b, n);
    tree_.timesFresh_ = true;
    // Each late event goes after the events of its time appended before it; none appended
    // after it of that time is in the chain, so the order of appending is kept.
    for (SongEvent* e : late_) tree_.Add(e);
    late_.clear();
    tree_.Restart();
}
