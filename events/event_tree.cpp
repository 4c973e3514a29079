#include "events/event_tree.h"

#include "events/archive.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace {

using Node = EventTreeNode;

constexpr uint32_t kMaxTime = std::numeric_limits<uint32_t>::max();
// Pool chunks grow from 16 nodes to 2 MiB, the large ones aligned so that the kernel may back
// them with huge pages (fewer TLB misses when seeking in big stores).
constexpr uint32_t kMaxChunk = (2u << 20) / sizeof(EventTreeNode);
constexpr size_t kHugeAlign = size_t{2} << 20;

EventTreeNode* NewChunk(uint32_t nodes) {
    const size_t bytes = size_t{nodes} * sizeof(EventTreeNode);
    void* mem = bytes >= kHugeAlign ? std::aligned_alloc(kHugeAlign, bytes) : std::malloc(bytes);
    if (!mem) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes >= kHugeAlign) madvise(mem, bytes, MADV_HUGEPAGE);
#endif
    auto* chunk = static_cast<EventTreeNode*>(mem);
    std::uninitialized_value_construct_n(chunk, nodes);
    return chunk;
}

// The right child lives in the carried event's `next` link.
inline Node* RightOf(const Node* n) {
    return reinterpret_cast<Node*>(n->event->next);
}
inline void SetRight(Node* n, Node* r) {
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

inline bool IsHead(const Node* n) {
    return n->parent == nullptr;
}

inline void ReplaceChild(Node* parent, Node* old, Node* child) {
    if (parent->earlier == old) {
        parent->earlier = child;
    } else {
        SetRight(parent, child);
    }
}

// In-order successor of n (n may be the head node); *t holds n's time on entry and the
// successor's on return. Null when there is none (*t unchanged).
[[gnu::always_inline]] inline Node* Successor(Node* n, uint32_t* t) {
    if (Node* r = RightOf(n)) {
        uint32_t tt = Down(*t, r);
        while (r->earlier) {
            r = r->earlier;
            tt = Down(tt, r);
        }
        *t = tt;
        return r;
    }
    uint32_t tt = *t;
    while (Node* p = n->parent) {
        tt = Up(tt, n);
        if (p->earlier == n) {
            *t = tt;
            return p;
        }
        n = p;
    }
    return nullptr;
}

// In-order predecessor of n (never the head node); null when n is the first.
Node* Predecessor(Node* n, uint32_t* t) {
    if (Node* l = n->earlier) {
        uint32_t tt = Down(*t, l);
        while (Node* r = RightOf(l)) {
            l = r;
            tt = Down(tt, l);
        }
        *t = tt;
        return l;
    }
    uint32_t tt = *t;
    while (Node* p = n->parent) {
        tt = Up(tt, n);
        if (p->earlier != n) {
            if (IsHead(p)) return nullptr;
            *t = tt;
            return p;
        }
        n = p;
    }
    return nullptr;
}

// The first node (in order) whose time is at or after t, with its time.
Node* LowerBound(const Node* head, uint32_t t, uint32_t* time) {
    Node* x = RightOf(head);
    Node* found = nullptr;
    uint32_t xt = 0;
    while (x) {
        xt = Down(xt, x);
        if (xt >= t) {
            found = x;
            *time = xt;
            x = x->earlier;
        } else {
            x = RightOf(x);
        }
    }
    return found;
}

// Rotations keep every absolute time: x's child comes up into x's place.
Node* RotateRight(Node* x) {
    Node* l = x->earlier;
    Node* b = RightOf(l);
    Node* p = x->parent;
    ReplaceChild(p, x, l);
    l->parent = p;
    const int32_t dl = l->delta;
    l->delta = Plus(x->delta, dl);
    x->delta = Minus(0, dl);
    x->earlier = b;
    if (b) {
        b->parent = x;
        b->delta = Plus(dl, b->delta);
    }
    SetRight(l, x);
    x->parent = l;
    return l;
}

Node* RotateLeft(Node* x) {
    Node* r = RightOf(x);
    Node* b = r->earlier;
    Node* p = x->parent;
    ReplaceChild(p, x, r);
    r->parent = p;
    const int32_t dr = r->delta;
    r->delta = Plus(x->delta, dr);
    x->delta = Minus(0, dr);
    SetRight(x, b);
    if (b) {
        b->parent = x;
        b->delta = Plus(dr, b->delta);
    }
    r->earlier = x;
    x->parent = r;
    return r;
}

// One Day-Stout-Warren compression pass: m left rotations down the right spine from x.
void Compress(Node* x, uint32_t m) {
    for (uint32_t i = 0; i < m && x; ++i) {
        Node* r = RotateLeft(x);
        x = RightOf(r);
    }
}

inline uint32_t ClampTime(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(kMaxTime)) return kMaxTime;
    return static_cast<uint32_t>(v);
}

inline bool HasDuration(const SongEvent* e) {
    return e->IsMidi() || e->IsWave();
}

} // namespace

CEventTree::CEventTree() {
    head.event = new EventMidi();
    head.event->next = nullptr;
    cursor = &head;
}

CEventTree::~CEventTree() {
    ReleaseAll();
    delete head.event;
}

void CEventTree::ChunkFree::operator()(EventTreeNode* chunk) const {
    std::free(chunk);
}

EventTreeNode* CEventTree::AllocNode(SongEvent* event) {
    Node* n;
    if (free_) {
        n = free_;
        free_ = free_->parent;
    } else {
        if (chunks_.empty() || chunkUsed_ == chunkSize_) {
            chunkSize_ = chunkSize_ == 0 ? 16 : std::min(chunkSize_ * 2, kMaxChunk);
            chunks_.emplace_back(NewChunk(chunkSize_));
            chunkUsed_ = 0;
        }
        n = chunks_.back().get() + chunkUsed_++;
    }
    n->event = event;
    n->delta = 0;
    n->priority = 0;
    n->parent = nullptr;
    n->earlier = nullptr;
    event->next = nullptr;
    return n;
}

void CEventTree::FreeNode(EventTreeNode* node) {
    node->event = nullptr;
    node->earlier = nullptr;
    node->parent = free_;
    free_ = node;
}

void CEventTree::ReleaseAll() {
    // Post-order, iteratively: a leaf is cut from its parent and destroyed.
    Node* x = RightOf(&head);
    SetRight(&head, nullptr);
    while (x) {
        if (x->earlier) {
            x = x->earlier;
            continue;
        }
        if (Node* r = RightOf(x)) {
            x = r;
            continue;
        }
        Node* p = x->parent;
        if (!IsHead(p)) ReplaceChild(p, x, nullptr);
        x->event->next = nullptr;
        DeleteSongEvent(x->event);
        x = IsHead(p) ? nullptr : p;
    }
    chunks_.clear();
    free_ = nullptr;
    chunkSize_ = 0;
    chunkUsed_ = 0;
    count = 0;
    length = 0;
    cursor = &head;
    cursorTime = 0;
}

void CEventTree::SwapContents(CEventTree& other) {
    Node* a = RightOf(&head);
    Node* b = RightOf(&other.head);
    SetRight(&head, b);
    if (b) b->parent = &head;
    SetRight(&other.head, a);
    if (a) a->parent = &other.head;
    std::swap(count, other.count);
    std::swap(length, other.length);
    std::swap(chunks_, other.chunks_);
    std::swap(free_, other.free_);
    std::swap(chunkSize_, other.chunkSize_);
    std::swap(chunkUsed_, other.chunkUsed_);
    cursor = &head;
    cursorTime = 0;
    other.cursor = &other.head;
    other.cursorTime = 0;
}

// ---- cursor -------------------------------------------------------------------------------

SongEvent* CEventTree::First() {
    cursor = &head;
    cursorTime = 0;
    return Next();
}

SongEvent* CEventTree::Next() {
    uint32_t t = cursorTime;
    Node* s = Successor(cursor, &t);
    if (!s) return nullptr;
    cursor = s;
    cursorTime = t;
    SongEvent* e = s->event;
    if (e->time != t) e->time = t; // written only when stale: iteration stays read-only
    return e;
}

uint32_t CEventTree::CurrentTime() const {
    return cursorTime;
}

void CEventTree::Seek(uint32_t t) {
    Node* x = RightOf(&head);
    Node* found = &head;
    uint32_t foundTime = 0;
    uint32_t xt = 0;
    while (x) {
        xt = Down(xt, x);
        if (xt < t) {
            found = x;
            foundTime = xt;
            x = RightOf(x);
        } else {
            x = x->earlier;
        }
    }
    cursor = found;
    cursorTime = foundTime;
    if (!IsHead(found)) found->event->time = foundTime;
}

SongEvent* CEventTree::Last() {
    Node* x = RightOf(&head);
    if (!x) {
        Restart();
        return nullptr;
    }
    uint32_t t = Down(0, x);
    while (Node* r = RightOf(x)) {
        x = r;
        t = Down(t, x);
    }
    cursor = x;
    cursorTime = t;
    x->event->time = t;
    return x->event;
}

SongEvent* CEventTree::StepBack() {
    if (IsHead(cursor)) return nullptr;
    uint32_t t = cursorTime;
    Node* p = Predecessor(cursor, &t);
    if (!p) {
        Restart();
        return nullptr;
    }
    cursor = p;
    cursorTime = t;
    p->event->time = t;
    return p->event;
}

void CEventTree::Restart() {
    cursor = &head;
    cursorTime = 0;
}

uint32_t CEventTree::PeekNextTime() const {
    uint32_t t = cursorTime;
    if (!Successor(cursor, &t)) return kNoTime + cursorTime;
    return t;
}

SongEvent* CEventTree::CurrentEvent() const {
    return IsHead(cursor) ? nullptr : cursor->event;
}

int CEventTree::Height() const {
    Node* x = RightOf(&head);
    if (!x) return 0;
    int depth = 1;
    int best = 1;
    // In-order walk that tracks the depth of the current node.
    while (x->earlier) {
        x = x->earlier;
        best = std::max(best, ++depth);
    }
    for (;;) {
        if (Node* r = RightOf(x)) {
            x = r;
            best = std::max(best, ++depth);
            while (x->earlier) {
                x = x->earlier;
                best = std::max(best, ++depth);
            }
            continue;
        }
        while (!IsHead(x->parent) && x->parent->earlier != x) {
            x = x->parent;
            --depth;
        }
        if (IsHead(x->parent)) break;
        x = x->parent;
        --depth;
    }
    return best;
}

// ---- insertion ----------------------------------------------------------------------------

void CEventTree::InsertNode(EventTreeNode* node, uint32_t t) {
    Node* p = &head;
    Node* x = RightOf(&head);
    uint32_t pt = 0;
    bool right = true;
    while (x) {
        p = x;
        pt = Down(pt, x);
        right = !(t < pt);
        x = right ? RightOf(x) : x->earlier;
    }
    node->parent = p;
    node->delta = DeltaOf(t, pt);
    node->earlier = nullptr;
    SetRight(node, nullptr);
    if (right) {
        SetRight(p, node);
    } else {
        p->earlier = node;
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
    node->priority = NextPriority();
    while (!IsHead(node->parent) && node->priority > node->parent->priority) {
        Node* p = node->parent;
        if (p->earlier == node) {
            RotateRight(p);
        } else {
            RotateLeft(p);
        }
    }
}

void CEventTree::Rebuild(EventTreeNode* root, uint32_t size) {
    if (!root || size < 3) return;
    Node* parent = root->parent;
    const bool left = parent->earlier == root;
    auto top = [&] { return left ? parent->earlier : RightOf(parent); };
    // Turn the subtree into a chain of right children.
    Node* x = root;
    while (x) {
        if (x->earlier) {
            x = RotateRight(x);
        } else {
            x = RightOf(x);
        }
    }
    const uint32_t full = std::bit_floor(size + 1u);
    const uint32_t leaves = size + 1u - full;
    Compress(top(), leaves);
    uint32_t m = size - leaves;
    while (m > 1) {
        m /= 2;
        Compress(top(), m);
    }
}

void CEventTree::Balance() {
    Rebuild(RightOf(&head), static_cast<uint32_t>(count));
    AssignPriorities();
}

// Gives a rebuilt tree the priorities a random tree of its shape would have: a node whose
// subtree holds s events gets about 2^32 · s / (s + 1), the expected largest of s random
// priorities. Parents hold larger subtrees, so the heap order holds.
void CEventTree::AssignPriorities() {
    Node* x = RightOf(&head);
    if (!x) return;
    auto descend = [&] {
        for (;;) {
            if (x->earlier) {
                x = x->earlier;
            } else if (Node* r = RightOf(x)) {
                x = r;
            } else {
                return;
            }
        }
    };
    // Post-order: a node's priority field holds its subtree size until its parent has added it
    // up, and is then turned into the priority.
    auto priorityOf = [](uint64_t size) {
        return static_cast<uint32_t>(std::min<uint64_t>((size << 32) / (size + 1), kMaxTime));
    };
    descend();
    for (;;) {
        Node* l = x->earlier;
        Node* r = RightOf(x);
        uint32_t size = 1;
        if (l) {
            size += l->priority;
            l->priority = priorityOf(l->priority);
        }
        if (r) {
            size += r->priority;
            r->priority = priorityOf(r->priority);
        }
        x->priority = size;
        Node* p = x->parent;
        if (IsHead(p)) {
            x->priority = priorityOf(size);
            break;
        }
        Node* pr = RightOf(p);
        if (p->earlier == x && pr) {
            x = pr;
            descend();
        } else {
            x = p;
        }
    }
}

void CEventTree::Add(SongEvent* event) {
    if (!event) return;
    InsertNode(AllocNode(event), event->time);
}

int CEventTree::AddCopyAt(const SongEvent& event, uint32_t t) {
    SongEvent* copy = event.Clone();
    if (!copy) return 0;
    copy->time = t;
    InsertNode(AllocNode(copy), t);
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
    Node* node = AllocNode(event);
    // The recording case: the cursor is on the last event and the message is not earlier.
    bool append = RightOf(cursor) == nullptr && (IsHead(cursor) || t >= cursorTime);
    if (append) {
        uint32_t tt = cursorTime;
        for (Node* x = cursor; x->parent; x = x->parent) {
            tt = Up(tt, x);
            if (x->parent->earlier == x) {
                append = t < tt; // the cursor's successor must be later
                break;
            }
        }
    }
    if (append) {
        node->parent = cursor;
        node->delta = DeltaOf(t, cursorTime);
        SetRight(cursor, node);
        ++count;
        RaiseNew(node);
    } else {
        InsertNode(node, t);
    }
    cursor = node;
    cursorTime = t;
}

// ---- finding and removal ------------------------------------------------------------------

EventTreeNode* CEventTree::FindNode(const SongEvent* event, uint32_t* time) const {
    if (!event || RightOf(&head) == nullptr) return nullptr;
    const uint32_t want = event->time;
    uint32_t t = 0;
    for (Node* x = LowerBound(&head, want, &t); x && t == want; x = Successor(x, &t)) {
        if (x->event == event) {
            *time = t;
            return x;
        }
    }
    // The event's time field is stale (the store was shifted or scaled since): walk everything.
    t = 0;
    Node* h = const_cast<Node*>(&head);
    for (Node* x = Successor(h, &t); x; x = Successor(x, &t)) {
        if (x->event == event) {
            *time = t;
            return x;
        }
    }
    return nullptr;
}

void CEventTree::DetachNode(EventTreeNode* node, uint32_t nodeTime) {
    if (cursor == node) {
        uint32_t t = nodeTime;
        Node* p = Predecessor(node, &t);
        cursor = p ? p : &head;
        cursorTime = p ? t : 0;
    }
    // Rotate the node down below the child of higher priority until it has at most one child.
    for (;;) {
        Node* l = node->earlier;
        Node* r = RightOf(node);
        if (!l || !r) break;
        if (l->priority > r->priority) {
            RotateRight(node);
        } else {
            RotateLeft(node);
        }
    }
    Node* parent = node->parent;
    Node* c = node->earlier ? node->earlier : RightOf(node);
    ReplaceChild(parent, node, c);
    if (c) {
        c->parent = parent;
        c->delta = Plus(c->delta, node->delta);
    }
    node->event->next = nullptr;
    node->parent = nullptr;
    node->earlier = nullptr;
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
    uint32_t t = 0;
    Node* x = LowerBound(&head, from, &t);
    while (x && t < to) {
        uint32_t nt = t;
        Node* s = Successor(x, &nt);
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
    Node* x = RightOf(&head);
    while (x) {
        xt = Down(xt, x);
        const bool moves = xt >= from;
        const uint32_t wanted = moves ? shift : 0u;
        if (wanted != applied) {
            x->delta = static_cast<int32_t>(static_cast<uint32_t>(x->delta) + wanted - applied);
            applied = wanted;
        }
        x = moves ? x->earlier : RightOf(x);
    }
    if (!IsHead(cursor) && cursorTime >= from) cursorTime += shift;
}

void CEventTree::OpenGap(uint32_t len, uint32_t at) {
    if (len == 0 || count == 0) return;
    Node* x = RightOf(&head);
    uint32_t last = Down(0, x);
    while (Node* r = RightOf(x)) {
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
        uint32_t t = 0;
        Node* x = LowerBound(&head, kMaxTime, &t);
        while (x) {
            uint32_t nt = t;
            Node* s = Successor(x, &nt);
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
    Node* x = RightOf(&head);
    if (!x) return;
    uint32_t t = Down(0, x);
    auto descend = [&] {
        for (;;) {
            if (x->earlier) {
                x = x->earlier;
            } else if (Node* r = RightOf(x)) {
                x = r;
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
        Node* p = x->parent;
        const uint32_t pt = Up(t, x);
        const uint32_t nt = f(t);
        x->delta = IsHead(p) ? static_cast<int32_t>(nt) : DeltaOf(nt, f(pt));
        if (IsHead(p)) break;
        Node* r = RightOf(p);
        if (p->earlier == x && r) {
            x = r;
            t = Down(pt, x);
            descend();
        } else {
            x = p;
            t = pt;
        }
    }
    if (!IsHead(cursor)) cursorTime = f(cursorTime);
}

void CEventTree::Scale(double factor, bool times, bool durations) {
    if (!std::isfinite(factor) || factor < 0.0) return;
    auto f = [factor](uint32_t t) { return ClampTime(static_cast<double>(t) * factor); };
    if (times) TransformTimes(f);
    if (durations) {
        uint32_t t = 0;
        for (Node* x = Successor(&head, &t); x; x = Successor(x, &t)) {
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
    uint32_t t = 0;
    for (Node* x = Successor(&head, &t); x; x = Successor(x, &t)) {
        if (HasDuration(x->event)) x->event->SetDuration(f(x->event->GetDuration()));
    }
}

// ---- notes --------------------------------------------------------------------------------

void CEventTree::CloseNote(const SongEvent& noteOff, uint32_t t) {
    if (!noteOff.IsMidi()) return;
    const auto& off = static_cast<const EventMidi&>(noteOff);
    Node* x = cursor;
    uint32_t xt = cursorTime;
    while (x && !IsHead(x)) {
        if (x->event->IsNoteOn()) {
            auto* on = static_cast<EventMidi*>(x->event);
            if (on->data1 == off.data1 && (on->status & 0x0F) == (off.status & 0x0F)) {
                on->SetDuration(t >= xt ? t - xt : 0);
                return;
            }
        }
        x = Predecessor(x, &xt);
    }
}

void CEventTree::PairNoteOffs() {
    Restart();
    // The open note-on of each channel and key, in one pass in time order.
    std::vector<Node*> open(16 * 256, nullptr);
    std::vector<uint32_t> openTime(16 * 256, 0);
    std::vector<std::pair<Node*, uint32_t>> matched;
    uint32_t t = 0;
    for (Node* x = Successor(&head, &t); x; x = Successor(x, &t)) {
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
    uint32_t t = 0;
    for (Node* x = LowerBound(&head, start, &t); x && t <= to; x = Successor(x, &t)) {
        const SongEvent* e = x->event;
        if (e == except || !e->IsNoteOn() || e->GetData1() != key) continue;
        if (static_cast<uint64_t>(t) + e->GetDuration() > from) return 1;
    }
    return 0;
}

int32_t CEventTree::GetLength(int recompute) {
    if (recompute) {
        Node* x = RightOf(&head);
        if (!x) {
            length = 0;
        } else {
            uint32_t t = Down(0, x);
            while (Node* r = RightOf(x)) {
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
    uint32_t t = 0;
    for (Node* x = Successor(&head, &t); x; x = Successor(x, &t)) {
        SongEvent* e = x->event;
        SongEvent* right = e->next;
        e->time = t;
        e->next = nullptr;
        e->Serialize(ar);
        e->next = right;
    }
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
    // Built aside, so that a failed read leaves this store as it was. Nothing is reserved from
    // the stored count: every event read consumes input.
    CEventTree fresh;
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

CEventTree::Appender::Appender(CEventTree& tree)
    : tree_(tree), last_(&tree.head), chain_(tree.count == 0) {}

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
    Node* node = tree_.AllocNode(event);
    node->parent = last_;
    node->delta = DeltaOf(event->time, lastTime_);
    SetRight(last_, node);
    last_ = node;
    lastTime_ = event->time;
    ++tree_.count;
}

void CEventTree::Appender::Finish() {
    if (done_) return;
    done_ = true;
    if (!chain_) return;
    tree_.Balance();
    // Each late event goes after the events of its time appended before it; none appended
    // after it of that time is in the chain, so the order of appending is kept.
    for (SongEvent* e : late_) tree_.Add(e);
    late_.clear();
    tree_.Restart();
}
