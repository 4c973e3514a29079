#include "tree/solve.h"

#include "events/event_list.h"
#include "events/event_tree.h"
#include "platform/user_messages.h"
#include "tree/proto_type.h"

#include <algorithm>
#include <vector>

namespace {

SolveLimits g_limits;
bool g_lastCut = false;

// Counts the steps and events of one solving loop against the budget.
class Budget {
public:
    Budget() : limits_(g_limits) { g_lastCut = false; }
    // False (after telling the user, once) when the loop must stop.
    bool Step(uint64_t eventsSoFar) {
        if (++steps_ <= limits_.maxSteps && eventsSoFar <= limits_.maxEvents) return true;
        g_lastCut = true;
        platform::Messages().Show(kSolveCutMessage, platform::MessageKind::Warning);
        return false;
    }

private:
    SolveLimits limits_;
    uint64_t steps_ = 0;
};

// Appends to a list in the order the list's own time-ordered insertion gives, without walking
// the list for the common case of an event not earlier than the last one.
class ListAppender {
public:
    explicit ListAppender(CNoteEventList& list) : list_(list) {
        for (SongEvent* e = list.head; e; e = e->next) tail_ = e;
    }
    void Add(SongEvent* e) {
        if (!list_.head || list_.head->time >= e->time) {
            list_.Add(e); // becomes the head
            if (!tail_) tail_ = e;
        } else if (tail_->time <= e->time) {
            e->next = nullptr;
            tail_->next = e;
            tail_ = e;
        } else {
            list_.Add(e); // lands before the tail
        }
    }

private:
    CNoteEventList& list_;
    SongEvent* tail_ = nullptr;
};

// Events of a solve in time order; events of equal time stay in the order they were produced
// (the order the store keeps them in, too).
void AddStable(std::vector<SongEvent*>& out, SongEvent* e) {
    e->next = nullptr;
    if (out.empty() || out.back()->time <= e->time) {
        out.push_back(e);
        return;
    }
    auto at = std::upper_bound(out.begin(), out.end(), e->time,
                               [](uint32_t t, const SongEvent* x) { return t < x->time; });
    out.insert(at, e);
}

void Store(CEventTree& tree, std::vector<SongEvent*>& events) {
    for (SongEvent* e : events) tree.Add(e);
    events.clear();
}

// The next time of an event-mode walk after a step at `now`: the pending time, never behind
// the step (a walk always moves on); kNoTime when nothing is pending.
uint64_t Advance(uint64_t now, uint32_t next) {
    if (next == kNoTime) return kNoTime;
    return next <= now ? now + 1 : next;
}

template <class Sink> void SolveLoop(ProtoType& node, uint32_t step, Sink&& sink) {
    CNoteEventList w;
    w.now = 0;
    w.offset = 0;
    w.next = step == 0 ? kNoTime : kFixedStep;
    const uint64_t end = static_cast<uint64_t>(node.start) + node.duration;
    uint64_t now = 0;
    uint64_t produced = 0;
    Budget budget;
    while (now <= end && budget.Step(produced)) {
        w.now = static_cast<uint32_t>(now);
        if (step != 0) w.next = kFixedStep;
        node.Solve(w);
        while (SongEvent* e = w.PopHead()) {
            if (step != 0) e->time = w.now;
            sink(e);
            ++produced;
        }
        if (step == 0) {
            // Stop when nothing is pending, also for windows reaching 1000000000 and beyond.
            now = Advance(now, w.next);
            if (now == kNoTime) break;
            w.next = kNoTime;
        } else {
            now += step;
        }
        w.Clear();
    }
}

} // namespace

SolveLimits& CurrentSolveLimits() {
    return g_limits;
}
bool LastSolveWasCut() {
    return g_lastCut;
}

void SolveInto(ProtoType& node, CNoteEventList& output, uint32_t step) {
    output.RemoveAll();
    ListAppender out(output);
    SolveLoop(node, step, [&](SongEvent* e) { out.Add(e); });
}

void SolveInto(ProtoType& node, CEventTree& output, uint32_t step) {
    output.Clear();
    std::vector<SongEvent*> got;
    SolveLoop(node, step, [&](SongEvent* e) { AddStable(got, e); });
    Store(output, got);
}

uint32_t SolveSteps(ProtoType& node, CEventTree& solution, uint32_t now, uint32_t to) {
    CNoteEventList w;
    w.next = kNoTime;
    w.offset = 0;
    std::vector<SongEvent*> got;
    uint64_t cur = now;
    Budget budget;
    while (cur < to && budget.Step(got.size())) {
        w.now = static_cast<uint32_t>(cur);
        node.Solve(w);
        while (SongEvent* e = w.PopHead()) AddStable(got, e);
        cur = Advance(cur, w.next);
        w.next = kNoTime;
        w.Clear();
        if (cur == kNoTime) break;
    }
    Store(solution, got);
    return cur >= kNoTime ? kNoTime : static_cast<uint32_t>(cur);
}

void SolveRange(ProtoType& node, CEventTree& solution, uint32_t from, uint32_t to) {
    if (to < from) return;
    solution.RemoveRange(from, to);
    SolveSteps(node, solution, from, to);
}

// ---- TreeSolver -----------------------------------------------------------------------------

namespace {
uint32_t EndOf(uint32_t start, uint32_t length) {
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{start} + length, 0xFFFFFFFFu));
}
} // namespace

void TreeSolver::BeginSolve() {
    if (!options.solvable) return;
    solution_.Clear();
    root_.ResetCounters();
    position_ = root_.start;
    remaining_ = root_.duration;
    walkNow_ = position_;
    solving_ = true;
}

void TreeSolver::Solve() {
    if (!options.solvable) return;
    if (solving_)
        solving_ = false;
    else
        BeginSolve();
}

uint32_t TreeSolver::SolveChunk(uint32_t request) {
    if (!options.solvable || remaining_ == 0) return request;
    const uint32_t chunk = std::min(request, remaining_);
    const uint32_t leftover = remaining_ < request ? request - remaining_ : 0;
    const uint32_t to = EndOf(position_, chunk);
    const bool cursorAtHead = solution_.CurrentEvent() == nullptr;
    const uint32_t cursorTime = solution_.CurrentTime();
    if (walkNow_ < to) walkNow_ = SolveSteps(root_, solution_, walkNow_, to);
    position_ = to;
    remaining_ -= chunk;
    if (cursorAtHead)
        solution_.Restart();
    else
        solution_.Seek(cursorTime == 0xFFFFFFFFu ? cursorTime : cursorTime + 1);
    return leftover;
}

bool TreeSolver::Idle() {
    if (!solving_) return false;
    if (SolveChunk(kChunkLength) != 0) {
        solving_ = false;
        return false;
    }
    return true;
}

void TreeSolver::ResolveRange(uint32_t start, uint32_t length) {
    if (!options.resolveOnChange || !options.solvable) return;
    const uint32_t end = EndOf(start, length);
    // What the walk yields may land past the range (an arpeggio's added notes). A range that
    // reaches the tree's end clears everything after it too: no other walk makes events there,
    // and keeping them would leave a second copy after each re-solve.
    const uint32_t clearEnd = end >= EndOf(root_.start, root_.duration) ? 0xFFFFFFFFu : end;
    if (solving_ && remaining_ > 0) {
        // Merge with the solve under way: the walk has produced everything before position_.
        const uint32_t pendingEnd = EndOf(position_, remaining_);
        const uint32_t newEnd = std::max(end, pendingEnd);
        if (start <= position_) {
            // Re-walk from the edit; what the walk already made from there on is made again.
            solution_.RemoveRange(start, std::max(clearEnd, position_));
            position_ = start;
            walkNow_ = start;
        } else {
            if (end > start) solution_.RemoveRange(start, clearEnd);
            walkNow_ = std::min(walkNow_, start);
        }
        remaining_ = newEnd - position_;
        return;
    }
    if (end > start) solution_.RemoveRange(start, clearEnd);
    position_ = start;
    remaining_ = end - start;
    walkNow_ = start;
    solving_ = true;
}

CEventTree& TreeSolver::GetEvents(bool modified) {
    if (modified && options.solvable) SolveAtOnce();
    return solution_;
}

void TreeSolver::SolveAtOnce() {
    if (!options.solvable) return;
    // A background solve under way would add its events a second time.
    solving_ = false;
    position_ = root_.start;
    remaining_ = 0;
    solution_.Clear();
    root_.ResetCounters();
    ::SolveInto(root_, solution_, 0);
}

void TreeSolver::ClearSolution() {
    solution_.Clear();
}

void TreeSolver::PlayInputEvent(const EventMidi& event, LiveOutput& output) {
    if (!event.IsNote()) return;
    CNoteEventList w;
    w.AddCopyAt(event, event.time);
    w.now = 0;
    w.next = kNoTime;
    w.offset = 0;
    if (ProtoType* branch = root_.GetChild(1)) branch->Solve(w);
    CNoteEventList offs;
    for (SongEvent* e = w.head; e; e = e->next) {
        if (e->IsNoteOn() && e->GetDuration() != 0) offs.AddNoteOff(*e);
    }
    w.MoveAllFrom(offs);
    if (!w.IsEmpty()) {
        output.QuickOut(w);
        w.RemoveAll();
    }
}
