#include "editing/tree_commands.h"

#include "documents/tree_document.h"
#include "events/archive.h"
#include "nodes/control.h"
#include "tree/node_io.h"
#include "tree/registry.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Calls visit(node) for every node of the subtree at `top` in pre-order (left branch first),
// leaving out the subtree at `skip`. Iterative: edited trees may be deeper than the stack likes.
template <class Visit> void Walk(ProtoType* top, const ProtoType* skip, Visit visit) {
    std::vector<ProtoType*> stack;
    if (top) stack.push_back(top);
    while (!stack.empty()) {
        ProtoType* n = stack.back();
        stack.pop_back();
        if (n == skip) continue;
        visit(*n);
        if (n->childTwo) stack.push_back(n->childTwo);
        if (n->childOne) stack.push_back(n->childOne);
    }
}

// The state a parameter snapshot compares: every table field as text (floats to 9 digits, so
// equal texts are equal values).
bool SameParams(ParamTable table, const ProtoType* a, const ProtoType* b) {
    if (!a || !b) return a == b;
    for (const ParamField& f : table) {
        if (GetParamText(f, *a) != GetParamText(f, *b)) return false;
    }
    return true;
}

std::unique_ptr<ProtoType> SnapshotParams(const ProtoType& node) {
    ParamTable table = node.GetParamTable();
    if (table.empty()) return nullptr;
    std::unique_ptr<ProtoType> holder(CreateNode(node.TypeName()));
    if (holder) CopyParams(table, *holder, node);
    return holder;
}

} // namespace

NodePath PathOf(const ProtoType& node) {
    NodePath path;
    node.GetPath(path);
    return path;
}

ProtoType* NodeAt(CDendraDoc& doc, const NodePath& path) {
    return doc.GetRoot().FollowPath(path);
}

std::vector<uint8_t> SaveSubtree(ProtoType& node) {
    CArchive ar;
    WriteTypedNode(ar, node);
    return ar.Buffer();
}

ProtoType* LoadSubtree(ProtoType& at, const std::vector<uint8_t>& bytes) {
    CArchive ar(bytes);
    const std::string type = ar.ReadString();
    if (ar.Failed() || !FindNodeType(type)) return nullptr;
    ProtoType* q = ReplaceWith(&at, type);
    if (!q) return nullptr;
    // The bytes were written by SaveSubtree: the read cannot fail short of a factory change;
    // were it to, the node stays as far as it was read (a whole, if different, tree).
    ReadNodeRecord(ar, *q);
    return q;
}

std::unique_ptr<ProtoType> DetachedCopy(const ProtoType& source) {
    std::unique_ptr<ProtoType> copy(CreateNode(source.TypeName()));
    if (!copy) return nullptr;
    copy->duration = source.duration;
    copy->Copy(source);
    CopyInnerReferences(source, *copy);
    return copy;
}

ProtoType* Transplant(ProtoType& at, std::unique_ptr<ProtoType> made) {
    ProtoType* p = at.parent;
    if (!made || !p || p->WhichChild(&at) == 0) return nullptr;
    ProtoType* q = made.release();
    q->parent = p;
    (p->childOne == &at ? p->childOne : p->childTwo) = q;
    if (at.childOne) at.childOne->AnnounceRemoval();
    if (at.childTwo) at.childTwo->AnnounceRemoval();
    q->GetRoot()->ReplaceNode(&at, q);
    at.parent = nullptr;
    delete &at;
    return q;
}

void CopyInnerReferences(const ProtoType& source, ProtoType& copy) {
    std::vector<std::pair<const ProtoType*, ProtoType*>> stack{{&source, &copy}};
    while (!stack.empty()) {
        auto [s, c] = stack.back();
        stack.pop_back();
        if (!s || !c) continue;
        const int slots = std::min(s->ReferenceSlots(), c->ReferenceSlots());
        for (int i = 0; i < slots; ++i) {
            const ProtoType* r = s->GetReference(i);
            if (!r || c->GetReference(i) || !r->IsWithin(&source)) continue;
            // The path from the source's top down to r, followed from the copy's top.
            std::string up;
            for (const ProtoType* n = r; n != &source; n = n->parent) {
                up += n->parent->WhichChild(n) == -1 ? 'L' : 'R';
            }
            std::reverse(up.begin(), up.end());
            if (ProtoType* target = copy.FollowPath(up)) c->SetReference(i, target);
        }
        stack.emplace_back(s->childOne, c->childOne);
        stack.emplace_back(s->childTwo, c->childTwo);
    }
}

// ---- SubtreeCommand ---------------------------------------------------------------------------

struct SubtreeCommand::Ref {
    NodePath holder;
    int slot;
    NodePath target;
};

SubtreeCommand::SubtreeCommand(CDendraDoc& doc, std::string label, NodePath path, Action action)
    : doc_(doc), label_(std::move(label)), path_(std::move(path)), action_(std::move(action)) {}

SubtreeCommand::~SubtreeCommand() = default;

bool SubtreeCommand::Do() {
    ProtoType* x = NodeAt(doc_, path_);
    if (!x || path_.empty() || !action_) return false; // the Root is never replaced
    std::vector<uint8_t> before = SaveSubtree(*x);
    // What other nodes hold into the subtree below x: its removal clears it, Undo restores it.
    std::vector<Ref> refs;
    Walk(&doc_.GetRoot(), x, [&](ProtoType& h) {
        for (int i = 0, n = h.ReferenceSlots(); i < n; ++i) {
            ProtoType* r = h.GetReference(i);
            if (r && r != x && r->IsWithin(x)) refs.push_back({PathOf(h), i, PathOf(*r)});
        }
    });
    const uint32_t oldStart = x->start;
    const uint32_t oldDuration = x->duration;
    ProtoType* selected = doc_.SelectedNode();
    ProtoType* top = doc_.TopNode();
    const bool selectedInside = selected != x && selected->IsWithin(x);
    const bool topInside = top != x && top->IsWithin(x);

    // The action runs once; Redo puts the recorded outcome back (and no action keeps a node).
    const Action action = std::exchange(action_, nullptr);
    if (!action(*x)) return false;
    ProtoType* q = NodeAt(doc_, path_);
    if (!q) return false;
    if (selectedInside) doc_.SetSelectedNode(q);
    if (topInside) doc_.SetTopNode(q);
    std::vector<uint8_t> after = SaveSubtree(*q);
    if (after == before) return false; // the same subtree again: nothing to undo
    before_ = std::move(before);
    refsInto_ = std::move(refs);
    after_ = std::move(after);
    q->NotifyWindowChange(oldStart, oldDuration);
    q->NotifyChanged();
    return true;
}

bool SubtreeCommand::Put(const std::vector<uint8_t>& bytes) {
    ProtoType* x = NodeAt(doc_, path_);
    if (!x || path_.empty()) return false;
    const uint32_t oldStart = x->start;
    const uint32_t oldDuration = x->duration;
    ProtoType* selected = doc_.SelectedNode();
    ProtoType* top = doc_.TopNode();
    const bool selectedInside = selected != x && selected->IsWithin(x);
    const bool topInside = top != x && top->IsWithin(x);
    ProtoType* q = LoadSubtree(*x, bytes);
    if (!q) return false;
    // The selected and top node follow x itself through the document's replacement hook.
    if (selectedInside) doc_.SetSelectedNode(q);
    if (topInside) doc_.SetTopNode(q);
    q->NotifyWindowChange(oldStart, oldDuration);
    q->NotifyChanged();
    return true;
}

bool SubtreeCommand::Undo() {
    if (!Put(before_)) return false;
    for (const Ref& r : refsInto_) {
        ProtoType* holder = NodeAt(doc_, r.holder);
        ProtoType* target = NodeAt(doc_, r.target);
        if (holder && target) holder->SetReference(r.slot, target);
    }
    return true;
}

bool SubtreeCommand::Redo() {
    return Put(after_);
}

// ---- NodeStateCommand -------------------------------------------------------------------------

struct NodeStateCommand::State {
    uint32_t start = 0;
    uint32_t duration = 0;
    std::string name;
    std::unique_ptr<ProtoType> params; // a lone node of the same type holding the table's values
    std::vector<bool> hasRef;
    std::vector<NodePath> refs;

    explicit State(const ProtoType& node)
        : start(node.start), duration(node.duration), name(node.name),
          params(SnapshotParams(node)) {
        for (int i = 0, n = node.ReferenceSlots(); i < n; ++i) {
            const ProtoType* r = node.GetReference(i);
            hasRef.push_back(r != nullptr);
            refs.push_back(r ? PathOf(*r) : NodePath());
        }
    }

    bool Same(const State& o, ParamTable table) const {
        return start == o.start && duration == o.duration && name == o.name && hasRef == o.hasRef &&
               refs == o.refs && SameParams(table, params.get(), o.params.get());
    }
};

NodeStateCommand::NodeStateCommand(CDendraDoc& doc, std::string label, NodePath path, Action action)
    : doc_(doc), label_(std::move(label)), path_(std::move(path)), action_(std::move(action)) {}

NodeStateCommand::~NodeStateCommand() = default;

bool NodeStateCommand::Do() {
    ProtoType* n = NodeAt(doc_, path_);
    if (!n || !action_) return false;
    auto before = std::make_unique<State>(*n);
    std::exchange(action_, nullptr)(*n);
    n = NodeAt(doc_, path_);
    if (!n) return false;
    auto after = std::make_unique<State>(*n);
    if (before->Same(*after, n->GetParamTable())) return false;
    before_ = std::move(before);
    after_ = std::move(after);
    n->NotifyChanged();
    return true;
}

bool NodeStateCommand::Apply(const State& state) {
    ProtoType* n = NodeAt(doc_, path_);
    if (!n) return false;
    const uint32_t oldStart = n->start;
    const uint32_t oldDuration = n->duration;
    n->start = state.start;
    n->duration = state.duration;
    n->SetName(state.name);
    if (state.params) CopyParams(n->GetParamTable(), *n, *state.params);
    for (int i = 0; i < n->ReferenceSlots() && i < static_cast<int>(state.refs.size()); ++i) {
        n->SetReference(i, state.hasRef[i] ? NodeAt(doc_, state.refs[i]) : nullptr);
    }
    n->NotifyWindowChange(oldStart, oldDuration);
    n->NotifyChanged();
    return true;
}

bool NodeStateCommand::Undo() {
    return before_ && Apply(*before_);
}

bool NodeStateCommand::Redo() {
    return after_ && Apply(*after_);
}

// ---- AccreteCommand ---------------------------------------------------------------------------

AccreteCommand::AccreteCommand(CDendraDoc& doc, NodePath path, NodePath leftOut, bool hasLeftOut)
    : doc_(doc), path_(std::move(path)), leftOut_(std::move(leftOut)), hasLeftOut_(hasLeftOut) {}

bool AccreteCommand::Do() {
    ProtoType* n = NodeAt(doc_, path_);
    if (!n || path_.empty()) return false; // the Root is never accreted
    ProtoType* leftOut = hasLeftOut_ ? NodeAt(doc_, leftOut_) : nullptr;
    const uint32_t oldStart = n->start;
    const uint32_t oldDuration = n->duration;
    n->MakeAccretion(leftOut);
    ProtoType* a = NodeAt(doc_, path_);
    if (!a || a == n) return false; // no Accrete could be made
    a->NotifyWindowChange(oldStart, oldDuration);
    return true;
}

bool AccreteCommand::Undo() {
    ProtoType* a = NodeAt(doc_, path_);
    if (!a || a->GetTypeId() != Accrete::kInfo.typeId) return false;
    const uint32_t oldStart = a->start;
    const uint32_t oldDuration = a->duration;
    ProtoType* c = static_cast<Accrete*>(a)->UnAccrete();
    if (!c) return false;
    c->NotifyWindowChange(oldStart, oldDuration);
    return true;
}

// ---- UnAccreteCommand -------------------------------------------------------------------------

struct UnAccreteCommand::Saved {
    uint32_t start = 0;
    uint32_t duration = 0;
    std::string name;
    std::unique_ptr<ProtoType> params;
    NodePath inner[2];
    bool hasInner[2] = {false, false};
    std::vector<std::pair<NodePath, int>> heldBy; // references other nodes held to the Accrete
};

UnAccreteCommand::UnAccreteCommand(CDendraDoc& doc, NodePath path)
    : doc_(doc), path_(std::move(path)) {}

UnAccreteCommand::~UnAccreteCommand() = default;

bool UnAccreteCommand::Do() {
    ProtoType* a = NodeAt(doc_, path_);
    if (!a || a->GetTypeId() != Accrete::kInfo.typeId || !a->parent || !a->childOne) {
        return false;
    }
    auto saved = std::make_unique<Saved>();
    saved->start = a->start;
    saved->duration = a->duration;
    saved->name = a->name;
    saved->params = SnapshotParams(*a);
    for (int i = 0; i < 2; ++i) {
        if (ProtoType* r = a->GetReference(i)) {
            saved->hasInner[i] = true;
            saved->inner[i] = PathOf(*r);
        }
    }
    Walk(&doc_.GetRoot(), a, [&](ProtoType& h) {
        for (int i = 0, n = h.ReferenceSlots(); i < n; ++i) {
            if (h.GetReference(i) == a) saved->heldBy.emplace_back(PathOf(h), i);
        }
    });
    ProtoType* c = static_cast<Accrete*>(a)->UnAccrete();
    if (!c) return false;
    c->NotifyWindowChange(saved->start, saved->duration);
    saved_ = std::move(saved);
    return true;
}

bool UnAccreteCommand::Undo() {
    ProtoType* c = NodeAt(doc_, path_);
    if (!c || !saved_ || path_.empty()) return false;
    const uint32_t oldStart = c->start;
    const uint32_t oldDuration = c->duration;
    c->start -= saved_->start; // Un-Accrete kept the branch's absolute window
    c->MakeAccretion(nullptr);
    ProtoType* a = NodeAt(doc_, path_);
    if (!a || a->GetTypeId() != Accrete::kInfo.typeId) {
        c->start += saved_->start;
        return false;
    }
    a->start = saved_->start;
    a->duration = saved_->duration;
    a->SetName(saved_->name);
    if (saved_->params) CopyParams(a->GetParamTable(), *a, *saved_->params);
    for (int i = 0; i < 2; ++i) {
        if (saved_->hasInner[i]) a->SetReference(i, NodeAt(doc_, saved_->inner[i]));
    }
    for (const auto& [holder, slot] : saved_->heldBy) {
        if (ProtoType* h = NodeAt(doc_, holder)) h->SetReference(slot, a);
    }
    a->NotifyWindowChange(oldStart, oldDuration);
    a->NotifyChanged();
    return true;
}

bool UnAccreteCommand::Redo() {
    ProtoType* a = NodeAt(doc_, path_);
    if (!a || a->GetTypeId() != Accrete::kInfo.typeId) return false;
    ProtoType* c = static_cast<Accrete*>(a)->UnAccrete();
    if (!c) return false;
    c->NotifyWindowChange(saved_->start, saved_->duration);
    return true;
}

// ---- AlignTimesCommand ------------------------------------------------------------------------

namespace {

struct Span {
    uint64_t lo = std::numeric_limits<uint64_t>::max();
    uint64_t hi = 0;
    void Add(uint64_t a, uint64_t b) {
        lo = std::min(lo, a);
        hi = std::max(hi, b);
    }
};

// The absolute windows of a subtree, joined.
void AddWindows(ProtoType& top, Span& span) {
    std::vector<std::pair<ProtoType*, uint64_t>> stack{{&top, top.GetAbsoluteStart()}};
    while (!stack.empty()) {
        auto [n, at] = stack.back();
        stack.pop_back();
        span.Add(at, at + n->duration);
        for (ProtoType* c : {n->childOne, n->childTwo}) {
            if (c) stack.emplace_back(c, at + c->start);
        }
    }
}

} // namespace

AlignTimesCommand::AlignTimesCommand(CDendraDoc& doc, NodePath path)
    : doc_(doc), path_(std::move(path)) {}

bool AlignTimesCommand::Do() {
    ProtoType* n = NodeAt(doc_, path_);
    if (!n) return false;
    Windows before;
    Walk(n, nullptr, [&](ProtoType& x) { before.emplace_back(x.start, x.duration); });
    Span span;
    AddWindows(*n, span);
    n->AlignTimes(0);
    Windows after;
    Walk(n, nullptr, [&](ProtoType& x) { after.emplace_back(x.start, x.duration); });
    if (after == before) return false;
    before_ = std::move(before);
    after_ = std::move(after);
    AddWindows(*n, span);
    doc_.TreeTimeChanged(static_cast<uint32_t>(span.lo),
                         static_cast<uint32_t>(std::min<uint64_t>(span.hi - span.lo, 0xFFFFFFFFu)));
    n->NotifyChanged();
    return true;
}

bool AlignTimesCommand::Apply(const Windows& windows) {
    ProtoType* n = NodeAt(doc_, path_);
    if (!n) return false;
    size_t count = 0;
    Walk(n, nullptr, [&](ProtoType&) { ++count; });
    if (count != windows.size()) return false;
    Span span;
    AddWindows(*n, span);
    size_t i = 0;
    Walk(n, nullptr, [&](ProtoType& x) {
        x.start = windows[i].first;
        x.duration = windows[i].second;
        ++i;
    });
    AddWindows(*n, span);
    doc_.TreeTimeChanged(static_cast<uint32_t>(span.lo),
                         static_cast<uint32_t>(std::min<uint64_t>(span.hi - span.lo, 0xFFFFFFFFu)));
    n->NotifyChanged();
    return true;
}

bool AlignTimesCommand::Undo() {
    return Apply(before_);
}

bool AlignTimesCommand::Redo() {
    return Apply(after_);
}
