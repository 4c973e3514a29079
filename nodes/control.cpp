#include "nodes/control.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "platform/user_messages.h"
#include "tree/node_host.h"
#include "tree/random.h"
#include "tree/solve.h"
#include "tree/tree_owner.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The standard window test: fixed-step solving (next time 0) makes none.
bool Passes(ProtoType& node, CNoteEventList& list) {
    return list.next == kFixedStep || node.IsActive(list);
}

void SolveBranch(ProtoType* branch, CNoteEventList& list) {
    if (branch)
        branch->Solve(list);
    else
        list.RemoveAll();
}

// Truncation toward zero, held to the 64-bit range (NaN gives 0).
int64_t Trunc64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

int32_t Trunc32(double v) {
    int64_t i = Trunc64(v);
    return static_cast<int32_t>(std::clamp<int64_t>(i, INT32_MIN, INT32_MAX));
}

uint32_t TruncU32(double v) {
    int64_t i = Trunc64(v);
    return static_cast<uint32_t>(std::clamp<int64_t>(i, 0, UINT32_MAX));
}

uint32_t Clamp32(uint64_t v) {
    return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX));
}

void LowerNext(CNoteEventList& list, uint64_t t) {
    if (t < list.next) list.next = static_cast<uint32_t>(t);
}

// Pointer solves nested across all Pointers, and the expansions left to the outermost one.
int g_pointerNesting = 0;
int g_pointerBudget = 0;

} // namespace

// ---- Root -----------------------------------------------------------------------------------

constinit const NodeTypeInfo Root::kInfo = {
    .typeName = "Root",
    .displayName = "Root",
    .typeId = 0,
    .bitmapId = 2000,
    .branches = 1,
    .info =
        "This is the root of the tree.  Everything its branch yields within the root's time window "
        "becomes the solution of the Dendra, which can be played, graphed, or included in a Song. "
        " "};

Root::Root() {
    duration = 10000;
    if (childOne) childOne->duration = duration;
}

int Root::GetFileVersion() const {
    return fileVersion;
}

int Root::FetchDocumentEvents(int flag, CNoteEventList& list) {
    if (!flag || !owner) return 0;
    CEventTree& events = owner->TreeEvents(flag);
    SongEvent* tail = nullptr;
    for (SongEvent* e = list.head; e; e = e->next) tail = e;
    CNoteEventList one;
    for (SongEvent* e = events.First(); e; e = events.Next()) {
        one.AddCopyAt(*e, events.CurrentTime());
        SongEvent* copy = one.PopHead();
        if (!copy) continue;
        if (tail && list.head->time < copy->time && tail->time <= copy->time) {
            copy->next = nullptr; // the store is in time order: append without a walk
            tail->next = copy;
            tail = copy;
        } else {
            list.Add(copy);
            if (!tail) tail = copy;
            while (tail->next) tail = tail->next;
        }
    }
    return 1;
}

uint32_t Root::GetAbsoluteStart() const {
    return start;
}
float Root::GetTimeScale() const {
    return owner ? timeScale : 0.0f;
}

void Root::NotifyTimeChange(uint32_t from, uint32_t length) {
    if (owner) owner->TreeTimeChanged(from + start, length);
}

void Root::NotifyChanged() {
    if (owner) owner->TreeChanged();
}

void Root::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
}

void Root::Display() {
    if (owner) owner->DisplayTree();
}

void Root::MakeAccretion(ProtoType* leftOut) {
    if (owner) owner->SetPickMode(1, leftOut);
}

void Root::OnPick(ProtoType* node) {
    if (owner) owner->SetPickMode(2, node);
}

void Root::ForgetNode(const ProtoType* node) {
    if (owner) owner->NodesRemoved(node);
    ProtoType::ForgetNode(node);
}

void Root::ReplaceNode(const ProtoType* old, ProtoType* replacement) {
    if (owner) owner->NodeReplaced(old, replacement);
    ProtoType::ReplaceNode(old, replacement);
}

void Root::ForgetSubtree(const ProtoType* top) {
    if (owner) owner->NodesRemoved(top);
    ProtoType::ForgetSubtree(top);
}

// ---- Accrete --------------------------------------------------------------------------------

namespace {
const ParamField kAccreteFields[] = {
    Param<&Accrete::pickChildOne>({.key = "pickChildOne",
                                   .label = "Child One",
                                   .store = ParamStore::None,
                                   .control = ParamControl::Check,
                                   .min = 0,
                                   .max = 1,
                                   .def = 0}),
};
} // namespace

constinit const NodeTypeInfo Accrete::kInfo = {
    .typeName = "Accrete",
    .displayName = "Accrete",
    .typeId = 1,
    .bitmapId = 2002,
    .branches = 1,
    .info =
        "This function is able to use all of the other functions as primitives.  It gathers a "
        "whole subtree into a single function, leaving out the branch of your choice, so that the "
        "subtree can be shown, moved and copied as one.  ",
    .params = kAccreteFields};

ProtoType* Accrete::GetInnerChild(int which) const {
    return inner[which == 1 ? 0 : 1];
}
void Accrete::SetInnerChild(int which, ProtoType* node) {
    inner[which == 1 ? 0 : 1] = node;
}

void Accrete::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
}

ProtoType* Accrete::GetReference(int slot) const {
    return slot == 0 || slot == 1 ? inner[slot] : nullptr;
}

void Accrete::SetReference(int slot, ProtoType* node) {
    if (slot != 0 && slot != 1) return;
    inner[slot] = node && node != this && node->IsWithin(this) ? node : nullptr;
}

void Accrete::ForgetSubtree(const ProtoType* top) {
    for (ProtoType*& r : inner) {
        if (r && r->IsWithin(top)) r = nullptr;
    }
    ProtoType::ForgetSubtree(top);
}

void Accrete::ForgetNode(const ProtoType* node) {
    for (ProtoType*& r : inner) {
        if (r == node) r = nullptr;
    }
    ProtoType::ForgetNode(node);
}

void Accrete::ReplaceNode(const ProtoType* old, ProtoType* replacement) {
    for (ProtoType*& r : inner) {
        if (r == old) r = replacement;
    }
    ProtoType::ReplaceNode(old, replacement);
}

std::string Accrete::InnerPath(const ProtoType* node) const {
    std::string path;
    for (const ProtoType* n = node; n && n != this; n = n->parent) {
        if (!n->parent) return "";
        const int w = n->parent->WhichChild(n);
        if (w == 0) return "";
        path += w == -1 ? 'L' : 'R';
    }
    if (!node || node == this) return "";
    return path;
}

ProtoType* Accrete::ResolveInnerPath(const std::string& path) const {
    if (path.empty()) return nullptr;
    ProtoType* n = const_cast<Accrete*>(this);
    for (auto it = path.rbegin(); it != path.rend() && n; ++it) {
        if (*it == 'L')
            n = n->GetChild(1);
        else if (*it == 'R')
            n = n->GetChild(2);
        else
            return nullptr;
    }
    return n;
}

void Accrete::Copy(const ProtoType& source) {
    ProtoType::Copy(source);
    if (source.TypeName() != TypeName()) return;
    const auto& s = static_cast<const Accrete&>(source);
    for (int i = 0; i < 2; ++i) inner[i] = ResolveInnerPath(s.InnerPath(s.inner[i]));
}

void Accrete::Serialize(CArchive& ar) {
    ProtoType::Serialize(ar);
    if (ar.IsStoring()) {
        uint16_t n = 0;
        for (ProtoType* r : inner) n += r ? 1 : 0;
        ar.WriteU16(n);
        for (ProtoType* r : inner) {
            if (r) ar.WriteString(InnerPath(r));
        }
        return;
    }
    if (ar.Failed()) return;
    const uint16_t n = ar.ReadU16();
    inner[0] = inner[1] = nullptr;
    int kept = 0;
    for (uint16_t i = 0; i < n && !ar.Failed(); ++i) {
        std::string path = ar.ReadString();
        if (ar.Failed()) return;
        if (kept < 2) inner[kept++] = ResolveInnerPath(path);
    }
}

void Accrete::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (toDialog || !pickChildOne) return;
    pickChildOne = false;
    platform::MessageBox(kChildOneMessage);
    GetRoot()->OnPick(this);
}

void Accrete::OnPick(ProtoType* node) {
    inner[0] = node && node != this && node->IsWithin(this) ? node : nullptr;
    NotifyChanged();
}

void Accrete::GetSpecialName(int which, std::string& label) const {
    label = which == 1 ? "Un-Accrete" : "";
}

void Accrete::Special(int which) {
    if (which == 1) UnAccrete();
}

ProtoType* Accrete::UnAccrete() {
    ProtoType* p = parent;
    ProtoType* c = childOne;
    if (!p || !c) return nullptr;
    const int w = p->WhichChild(this);
    if (w == -1)
        p->SetChildOne(c);
    else if (w == 1)
        p->SetChildTwo(c);
    else
        return nullptr;
    c->parent = p;
    c->start += start; // keeps the branch's absolute window
    childOne = nullptr;
    inner[0] = inner[1] = nullptr;
    c->GetRoot()->ReplaceNode(this, c);
    parent = nullptr;
    delete this;
    c->NotifyChanged();
    return c;
}

// ---- And ------------------------------------------------------------------------------------

constinit const NodeTypeInfo And::kInfo = {
    .typeName = "And",
    .displayName = "And",
    .typeId = 2,
    .bitmapId = 2004,
    .branches = 2,
    .family = "Basic",
    .menuOrder = 10,
    .info = "This function combines two events, without merging them into a single note.  Both "
            "branches are yielded together, so two notes at the same time form a chord.  "};

void And::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList copy(list);
    SolveBranch(childOne, list);
    SolveBranch(childTwo, copy);
    list.MoveAllFromWithNext(copy);
}

// ---- Counter --------------------------------------------------------------------------------

const ParamField Counter::kFields[] = {
    Param<&Counter::count>({.key = "count",
                            .label = "Count",
                            .store = ParamStore::U32,
                            .control = ParamControl::Hidden,
                            .min = INT32_MIN,
                            .max = INT32_MAX,
                            .def = 0}),
};

constinit const NodeTypeInfo Counter::kInfo = {
    .typeName = "Counter",
    .displayName = "Counter",
    .typeId = 3,
    .bitmapId = 295,
    .branches = 1,
    .family = "Basic",
    .menuOrder = 20,
    .info = "This function returns a count.  Each time it is solved it adds the values of its left "
            "branch to a running total and yields that total; with nothing from the left branch it "
            "yields the total unchanged.  An Initialize function can set the count back to zero.  ",
    .params = Counter::kFields};

void Counter::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    list.RemoveAll();
    SolveBranch(childOne, list);
    if (list.IsEmpty()) {
        list.Add(new EventValue(static_cast<float>(count), list.now));
        return;
    }
    for (SongEvent* e = list.head; e; e = e->next) {
        count = Trunc32(static_cast<double>(count) + e->GetValue());
        e->SetValue(count);
    }
}

void Counter::Display() {
    ShowGraph(true);
}

// ---- Every ----------------------------------------------------------------------------------

constinit const NodeTypeInfo Every::kInfo = {
    .typeName = "Every",
    .displayName = "Every",
    .typeId = 4,
    .bitmapId = 2009,
    .branches = 2,
    .family = "Basic",
    .menuOrder = 30,
    .info =
        "This is a periodic function.  The left branch gives the period in milliseconds, and the "
        "right branch is yielded at every multiple of that period within this function's time "
        "window.  "};

bool Every::IsActive(CNoteEventList& list) {
    const uint32_t offset = static_cast<uint32_t>(list.offset) + start;
    list.offset = static_cast<int32_t>(offset);
    const uint64_t end = uint64_t{offset} + duration;
    if (list.now < offset) {
        LowerNext(list, offset);
        return false;
    }
    if (list.now >= end) return false;
    CNoteEventList copy(list);
    SolveBranch(childOne, copy);
    if (copy.IsEmpty()) return false;
    const int64_t period = Trunc64(copy.head->GetValue());
    if (period <= 0) return true; // no boundary: no remainder by zero is taken
    const uint64_t boundary =
        list.now - list.now % static_cast<uint64_t>(period) + static_cast<uint64_t>(period);
    if (boundary < list.next && boundary <= end) list.next = static_cast<uint32_t>(boundary);
    return true;
}

void Every::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList copy(list);
    SolveBranch(childOne, copy);
    if (copy.IsEmpty()) return;
    const double v = copy.head->GetValue();
    const int64_t period = Trunc64(v);
    if (v != 0.0 && period > 0 && list.now % static_cast<uint64_t>(period) == 0) {
        SolveBranch(childTwo, list);
    } else {
        list.RemoveAll();
    }
}

// ---- IfThen ---------------------------------------------------------------------------------

constinit const NodeTypeInfo IfThen::kInfo = {
    .typeName = "IfThen",
    .displayName = "If Then",
    .typeId = 5,
    .bitmapId = 2012,
    .branches = 2,
    .family = "Basic",
    .menuOrder = 40,
    .info =
        "If the numerical value of the left branch is TRUE (not equal to 0), the right branch is "
        "yielded; if it is FALSE (equal to 0), nothing is.  Only the first value of the left "
        "branch "
        "is tested.  "};

void IfThen::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList copy(list);
    SolveBranch(childOne, copy);
    if (copy.IsEmpty()) return;
    if (copy.head->GetValue() != 0.0)
        SolveBranch(childTwo, list);
    else
        list.RemoveAll();
}

// ---- Initialize -----------------------------------------------------------------------------

constinit const NodeTypeInfo Initialize::kInfo = {
    .typeName = "Initialize",
    .displayName = "Initialize",
    .typeId = 6,
    .bitmapId = 331,
    .branches = 2,
    .family = "Basic",
    .menuOrder = 50,
    .info = "This function will re-initialize its left branch, when the right branch returns a "
            "non-zero "
            "value.  Counters start again from zero and sequences from their beginning; the left "
            "branch "
            "is yielded in either case.  "};

void Initialize::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList copy(list);
    SolveBranch(childTwo, copy);
    if (!copy.IsEmpty() && copy.head->GetValue() != 0.0 && childOne) childOne->ResetCounters();
    SolveBranch(childOne, list);
}

// ---- Loop -----------------------------------------------------------------------------------

const ParamField Loop::kFields[] = {
    Param<&Loop::loopPoint>({.key = "loopPoint",
                             .label = "Loop Point:",
                             .store = ParamStore::U32,
                             .control = ParamControl::Seconds,
                             .min = 1,
                             .max = 4294967295.0,
                             .def = 480,
                             .holdOnRead = true}),
};

constinit const NodeTypeInfo Loop::kInfo = {
    .typeName = "Loop",
    .displayName = "Loop",
    .typeId = 9,
    .bitmapId = 2038,
    .branches = 1,
    .family = "Basic",
    .menuOrder = 60,
    .info =
        "This function loops the lower branch repeatedly, at a user-defined loop point.  Whatever "
        "the branch yields in its first loop-point's worth of time is repeated, one repetition "
        "after another, for as long as this function's time window lasts.  ",
    .dialogTitle = "Loop definition",
    .params = Loop::kFields};

void Loop::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    const uint32_t l = std::max<uint32_t>(loopPoint, 1);
    const uint32_t savedNow = list.now;
    const int32_t savedOffset = list.offset;
    const uint32_t base = savedNow / l * l;
    list.offset = static_cast<int32_t>(static_cast<uint32_t>(savedOffset) % l);
    list.now = savedNow % l;
    SolveBranch(childOne, list);
    for (SongEvent* e = list.head; e; e = e->next) e->time += base;
    if (list.next == kFixedStep) {
        // fixed-step solving stays fixed-step
    } else if (list.next < kNoTime) {
        list.next = Clamp32(uint64_t{base} + list.next);
    } else {
        list.next = Clamp32((uint64_t{savedNow} / l + 1) * l);
    }
    list.now = savedNow;
    list.offset = savedOffset;
}

// ---- MetaWord -------------------------------------------------------------------------------

const ParamField MetaWord::kFields[] = {
    Param<&MetaWord::sequential>({.key = "sequential",
                                  .label = "Sequential Order",
                                  .store = ParamStore::U16,
                                  .control = ParamControl::Check,
                                  .min = 0,
                                  .max = 1,
                                  .def = 1}),
    Param<&MetaWord::interimTime>({.key = "interimTime",
                                   .label = "InterimTime",
                                   .store = ParamStore::U32,
                                   .control = ParamControl::Number,
                                   .min = 0,
                                   .max = 24000,
                                   .def = 0}),
    Param<&MetaWord::wordOneDuration>({.key = "wordOneDuration",
                                       .label = "Word One Duration",
                                       .store = ParamStore::U32,
                                       .control = ParamControl::Number,
                                       .min = 0,
                                       .max = 24000,
                                       .def = 0}),
};

constinit const NodeTypeInfo MetaWord::kInfo = {
    .typeName = "MetaWord",
    .displayName = "MetaWord",
    .typeId = 10,
    .bitmapId = 307,
    .branches = 2,
    .family = "Basic",
    .menuOrder = 70,
    .info =
        "This function sequences its two branch words.  In sequential order the right branch "
        "follows as soon as the left branch has finished; otherwise the left branch plays for the "
        "Word One Duration and the right branch begins after the Interim Time.  ",
    .dialogTitle = "MetaSet definition",
    .params = MetaWord::kFields};

void MetaWord::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    if (sequential) {
        if (secondStarted) {
            SolveBranch(childTwo, list);
            return;
        }
        SolveBranch(childOne, list);
        if (list.next != kNoTime) return;
        secondStarted = true;
        CNoteEventList copy(list);
        SolveBranch(childTwo, copy);
        list.next = copy.next;
        return;
    }
    const uint32_t offset = static_cast<uint32_t>(list.offset);
    const uint32_t t = list.now - offset;
    const uint64_t secondAt = uint64_t{interimTime} + wordOneDuration;
    if (t < wordOneDuration) SolveBranch(childOne, list);
    if (t >= secondAt) {
        CNoteEventList copy(list);
        SolveBranch(childTwo, copy);
        list.MoveAllFromWithNext(copy);
    } else if (list.next != kFixedStep && offset + secondAt < uint64_t{offset} + duration) {
        // Be solved again when the second word begins.
        LowerNext(list, offset + secondAt);
    }
}

// ---- Null -----------------------------------------------------------------------------------

constinit const NodeTypeInfo Null::kInfo = {
    .typeName = "Null",
    .displayName = "NULL",
    .typeId = 11,
    .bitmapId = 2018,
    .branches = 0,
    .family = "Basic",
    .menuOrder = 80,
    .info =
        "This node does not contain any information.  It is a placeholder: right-click on it to "
        "add a new function in its place.  "};

// ---- Or -------------------------------------------------------------------------------------

const ParamField Or::kFields[] = {
    Param<&Or::leftProbability>({.key = "leftProbability",
                                 .label = "Left Branch Probability",
                                 .store = ParamStore::F32,
                                 .control = ParamControl::Number,
                                 .min = 0,
                                 .max = 1,
                                 .def = 0.5}),
};

constinit const NodeTypeInfo Or::kInfo = {
    .typeName = "Or",
    .displayName = "Or",
    .typeId = 12,
    .bitmapId = 323,
    .branches = 2,
    .family = "Basic",
    .menuOrder = 90,
    .info =
        "This function chooses to yield only one of its branches at a time.  The left branch is "
        "chosen with the Left Branch Probability (0-1), the right branch otherwise.  ",
    .dialogTitle = "Or Definition",
    .params = Or::kFields};

void Or::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    const float x = static_cast<float>(NextRandom()) * (1.0f / 32767.0f);
    SolveBranch(x < leftProbability ? childOne : childTwo, list);
}

// ---- Pointer --------------------------------------------------------------------------------

std::string PointerNowPointsMessage(const std::string& targetName) {
    return "The Pointer now points to '" + targetName + "' ";
}

std::string NameNotFoundMessage(const std::string& pointerName) {
    return "The name was not found in the tree for '" + pointerName + "'.";
}

const ParamField Pointer::kFields[] = {
    Param<&Pointer::targetName>({.key = "targetName",
                                 .label = "Name of Fx that is currently pointed to:",
                                 .store = ParamStore::None,
                                 .control = ParamControl::ReadOnlyText}),
    Param<&Pointer::recursionLimit>({.key = "recursionLimit",
                                     .label = "Max. Levels of Recursion ",
                                     .store = ParamStore::U16,
                                     .control = ParamControl::Number,
                                     .min = 0,
                                     .max = 40,
                                     .def = 3,
                                     .holdOnRead = true}),
};

constinit const NodeTypeInfo Pointer::kInfo = {
    .typeName = "Pointer",
    .displayName = "Pointer",
    .typeId = 13,
    .bitmapId = 286,
    .branches = 0,
    .family = "Basic",
    .menuOrder = 100,
    .info =
        "This is a function that breaks the 'rules' of the tree structure.  It yields whatever the "
        "function it points to yields, placed in the Pointer's own time window.  It cannot point "
        "to a function that contains it; Pointers that point into each other's branches recurse "
        "up to the chosen number of levels.  ",
    .dialogTitle = "Pointer definition",
    .params = Pointer::kFields};

Pointer::~Pointer() = default;

bool Pointer::SetTarget(ProtoType* node) {
    const bool refused = node && !CanTarget(node);
    target = refused ? nullptr : node;
    targetName = target ? target->name : std::string();
    return !refused;
}

ProtoType* Pointer::GetReference(int slot) const {
    return slot == 0 ? target : nullptr;
}

void Pointer::SetReference(int slot, ProtoType* node) {
    if (slot == 0) target = CanTarget(node) ? node : nullptr;
}

void Pointer::ForgetSubtree(const ProtoType* top) {
    if (target && target->IsWithin(top)) target = nullptr;
    ProtoType::ForgetSubtree(top);
}

void Pointer::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    if (!target) {
        list.RemoveAll();
        return;
    }
    ++depth;
    if (depth <= recursionLimit && g_pointerNesting < kMaxPointerNesting) {
        if (g_pointerNesting == 0) g_pointerBudget = kPointerBudget;
        if (g_pointerBudget > 0) {
            --g_pointerBudget;
            ++g_pointerNesting;
            target->Solve(list);
            --g_pointerNesting;
        }
    }
    --depth;
}

void Pointer::ResetCounters() {
    depth = 0;
    if (!target || resetting_) return;
    resetting_ = true; // a Pointer reached again through its target resets nothing twice
    target->ResetCounters();
    resetting_ = false;
}

void Pointer::ForgetNode(const ProtoType* node) {
    if (target == node) target = nullptr;
    ProtoType::ForgetNode(node);
}

void Pointer::ReplaceNode(const ProtoType* old, ProtoType* replacement) {
    if (target == old) SetTarget(replacement); // refused when the replacement contains this
    ProtoType::ReplaceNode(old, replacement);
}

void Pointer::Copy(const ProtoType& source) {
    ProtoType::Copy(source);
    if (source.TypeName() != TypeName()) return;
    const auto& s = static_cast<const Pointer&>(source);
    int found = 0;
    if (s.target) GetRoot()->FindNode(s.target, found);
    target = found && CanTarget(s.target) ? s.target : nullptr;
    targetName = s.targetName;
    path = s.path;
    pathPending = s.pathPending;
}

void Pointer::Serialize(CArchive& ar) {
    ProtoType::Serialize(ar);
    if (ar.IsStoring()) {
        std::string p;
        if (target) target->GetPath(p);
        ar.WriteString(p);
        return;
    }
    if (ar.Failed()) return;
    path = ar.ReadString();
    pathPending = !ar.Failed();
    target = nullptr;
}

void Pointer::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (toDialog && !target && !dialog.fields.empty()) dialog.fields[0].text = "NONE";
}

bool Pointer::ResolveStoredReference() {
    if (!pathPending) return false;
    pathPending = false;
    // A path that leads nowhere, or to a node containing this Pointer, leaves no target.
    SetTarget(path.empty() ? nullptr : GetRoot()->FollowPath(path));
    path.clear();
    return true;
}

void Pointer::ResolvePointer() {
    if (ResolveStoredReference()) return;
    ProtoType* n = GetRoot()->FindByName(targetName);
    if (!n) {
        platform::MessageBox(NameNotFoundMessage(name));
    } else if (!CanTarget(n)) {
        platform::MessageBox(kInvalidSelectionMessage); // the target is left as it was
    } else {
        SetTarget(n);
    }
}

void Pointer::GetSpecialName(int which, std::string& label) const {
    label = which == 1 ? "Redefine Pointer" : which == 2 ? "Find Pointer Name" : "";
}

void Pointer::Special(int which) {
    if (which == 1)
        GetRoot()->OnPick(this);
    else if (which == 2)
        ResolvePointer();
}

void Pointer::OnPick(ProtoType* node) {
    if (!node) return;
    if (!CanTarget(node)) {
        SetTarget(nullptr);
        platform::MessageBox(kInvalidSelectionMessage);
    } else {
        SetTarget(node);
        platform::MessageBox(PointerNowPointsMessage(node->name));
    }
    NotifyTimeChange(0, duration);
}

void Pointer::ExpandPointer(ProtoType* node) {
    if (!node || node != target || IsWithin(node)) return;
    ProtoType* source = node;
    ProtoType* q = ReplaceWith(this, source->TypeName()); // destroys this Pointer
    if (q) q->Copy(*source);
}

// ---- Substitute -----------------------------------------------------------------------------

constinit const NodeTypeInfo Substitute::kInfo = {
    .typeName = "Substitute",
    .displayName = "Substitute",
    .typeId = 14,
    .bitmapId = 294,
    .branches = 2,
    .family = "Basic",
    .menuOrder = 130,
    .info =
        "This function will yield the information of its right branch if there is a note result "
        "from the left branch.  When the left branch yields no note, nothing is yielded.  "};

void Substitute::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList copy(list);
    SolveBranch(childOne, copy);
    bool note = false;
    for (SongEvent* e = copy.head; e && !note; e = e->next) note = e->IsNote();
    if (note)
        SolveBranch(childTwo, list);
    else
        list.RemoveAll();
}

// ---- Tempo ----------------------------------------------------------------------------------

constinit const NodeTypeInfo Tempo::kInfo = {
    .typeName = "Tempo",
    .displayName = "Tempo",
    .typeId = 15,
    .bitmapId = 319,
    .branches = 1,
    .family = "Basic",
    .menuOrder = 140,
    .info =
        "This function will insert a tempo change event in the outgoing musical stream.  The value "
        "of its left branch gives the new tempo in beats per minute (12 to 300).  "};

void Tempo::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList copy(list);
    SolveBranch(childOne, copy);
    list.RemoveAll();
    if (copy.IsEmpty()) return;
    const int64_t t = Trunc64(copy.head->GetValue());
    if (t < 12 || t > 300) return;
    list.Add(new EventMidi(list.now, 0, static_cast<uint8_t>((t >> 16) & 0xFF),
                           static_cast<uint8_t>((t >> 8) & 0xFF), 0,
                           static_cast<uint8_t>(t & 0xFF)));
}

// ---- Word -----------------------------------------------------------------------------------

const ParamField Word::kFields[] = {
    Param<&Word::generateFromTree>({.key = "generateFromTree",
                                    .label = "Generate from Tree",
                                    .store = ParamStore::U16,
                                    .control = ParamControl::Check,
                                    .min = 0,
                                    .max = 1,
                                    .def = 0}),
};

constinit const NodeTypeInfo Word::kInfo = {
    .typeName = "Word",
    .displayName = "Word",
    .typeId = 16,
    .bitmapId = 288,
    .branches = 0,
    .family = "Basic",
    .menuOrder = 150,
    .info =
        "This function holds a list of song events.  Each event is yielded once, at its own time "
        "after the start of this function's time window; the events can be edited in the Word's "
        "event window.  ",
    .dialogTitle = "Word Definition",
    .params = Word::kFields};

bool Word::IsActive(CNoteEventList& list) {
    const uint32_t offset = static_cast<uint32_t>(list.offset) + start;
    list.offset = static_cast<int32_t>(offset);
    const uint64_t end = uint64_t{offset} + duration;
    if (list.now < offset) {
        LowerNext(list, offset);
        return false;
    }
    if (list.now >= end) return false;
    const uint32_t rel = list.now - offset;
    events.Seek(rel);
    SongEvent* e = events.Next();
    while (e && events.CurrentTime() == rel) e = events.Next();
    if (e) {
        const uint64_t at = uint64_t{offset} + events.CurrentTime();
        if (at < end) LowerNext(list, at);
    }
    return true;
}

void Word::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    list.RemoveAll();
    const uint32_t rel = list.now - static_cast<uint32_t>(list.offset);
    events.Seek(rel);
    for (SongEvent* e = events.Next(); e && events.CurrentTime() == rel; e = events.Next()) {
        list.AddCopyAt(*e, list.now);
    }
}

void Word::ResetCounters() {
    if (!generateFromTree || !childOne) return;
    ::SolveInto(*childOne, events, 0);
}

void Word::Copy(const ProtoType& source) {
    ProtoType::Copy(source);
    if (source.TypeName() != TypeName() || &source == this) return;
    // Reading the source's events moves only its read cursor.
    auto& s = const_cast<Word&>(static_cast<const Word&>(source));
    events.Clear();
    for (SongEvent* e = s.events.First(); e; e = s.events.Next()) {
        events.AddCopyAt(*e, s.events.CurrentTime());
    }
}

void Word::Serialize(CArchive& ar) {
    ProtoType::Serialize(ar);
    if (ar.IsLoading()) {
        if (ar.Failed()) return;
        events.Clear();
    }
    events.Serialize(ar);
}

void Word::EditData() {
    // A second call closes the open editor.
    if (editor.Editor()) {
        editor.Close();
        return;
    }
    if (NodeHost* host = GetNodeHost()) host->OpenEventEditor(editor, events, GetName());
}

void Word::OnRemoval() {
    editor.Close();
    ProtoType::OnRemoval();
}

void Word::Display() {
    EditData();
}

// ---- Quantize -------------------------------------------------------------------------------

const ParamField Quantize::kFields[] = {
    Param<&Quantize::quanta>({.key = "quanta",
                              .label = "Quanta Size",
                              .store = ParamStore::U32,
                              .control = ParamControl::Number,
                              .min = 1,
                              .max = 1000,
                              .def = 20,
                              .holdOnRead = true}),
    Param<&Quantize::onsets>({.key = "onsets",
                              .label = "Quantize Onsets",
                              .store = ParamStore::U16,
                              .control = ParamControl::Check,
                              .min = 0,
                              .max = 1,
                              .def = 1}),
    Param<&Quantize::durations>({.key = "durations",
                                 .label = "Quantize Durations",
                                 .store = ParamStore::U16,
                                 .control = ParamControl::Check,
                                 .min = 0,
                                 .max = 1,
                                 .def = 0}),
};

constinit const NodeTypeInfo Quantize::kInfo = {
    .typeName = "Quantize",
    .displayName = "Quantize",
    .typeId = 211,
    .bitmapId = 292,
    .branches = 1,
    .family = "Basic",
    .menuOrder = 110,
    .info =
        "This function quantizes the event times from its left branch based on the selected Quanta "
        "size.  Onsets, durations, or both can be quantized.  ",
    .dialogTitle = "Quantize",
    .params = Quantize::kFields};

void Quantize::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    const uint32_t q = static_cast<uint32_t>(std::max<int32_t>(quanta, 1));
    for (SongEvent* e = list.head; e; e = e->next) {
        if (onsets) e->time += list.now % q;
        if (durations) {
            uint32_t d = e->GetDuration() % q;
            if (d < q) d = q;
            e->SetDuration(d);
        }
    }
}

// ---- Stretch --------------------------------------------------------------------------------

const ParamField Stretch::kFields[] = {
    Param<&Stretch::factor>({.key = "factor",
                             .label = "Stretch Factor",
                             .store = ParamStore::F32,
                             .control = ParamControl::Number,
                             .min = 0.01,
                             .max = 100,
                             .def = 1}),
    Param<&Stretch::onsets>({.key = "onsets",
                             .label = "Stretch Onsets",
                             .store = ParamStore::U16,
                             .control = ParamControl::Check,
                             .min = 0,
                             .max = 1,
                             .def = 1}),
    Param<&Stretch::durations>({.key = "durations",
                                .label = "Stretch Durations",
                                .store = ParamStore::U16,
                                .control = ParamControl::Check,
                                .min = 0,
                                .max = 1,
                                .def = 0}),
};

constinit const NodeTypeInfo Stretch::kInfo = {
    .typeName = "Stretch",
    .displayName = "Stretch",
    .typeId = 213,
    .bitmapId = 293,
    .branches = 1,
    .family = "Basic",
    .menuOrder = 120,
    .info =
        "This function Stretches the event times which it is given by a user-determined stretch "
        "factor.  Times are stretched from the start of this function's time window; durations can "
        "be stretched as well.  ",
    .dialogTitle = "Stretch definition",
    .params = Stretch::kFields};

void Stretch::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    const uint32_t offset = static_cast<uint32_t>(list.offset);
    for (SongEvent* e = list.head; e; e = e->next) {
        if (onsets) {
            const uint32_t rel = e->time - offset;
            e->time = TruncU32(static_cast<double>(rel) * factor + offset);
        }
        if (durations) e->SetDuration(TruncU32(static_cast<double>(e->GetDuration()) * factor));
    }
}

// ---- factory table --------------------------------------------------------------------------

namespace {
const NodeFactoryEntry kControlTypes[] = {
    {&Accrete::kInfo, &CreateTyped<Accrete>},   {&And::kInfo, &CreateTyped<And>},
    {&Counter::kInfo, &CreateTyped<Counter>},   {&Every::kInfo, &CreateTyped<Every>},
    {&IfThen::kInfo, &CreateTyped<IfThen>},     {&Initialize::kInfo, &CreateTyped<Initialize>},
    {&Loop::kInfo, &CreateTyped<Loop>},         {&MetaWord::kInfo, &CreateTyped<MetaWord>},
    {&Null::kInfo, &CreateTyped<Null>},         {&Or::kInfo, &CreateTyped<Or>},
    {&Pointer::kInfo, &CreateTyped<Pointer>},   {&Substitute::kInfo, &CreateTyped<Substitute>},
    {&Tempo::kInfo, &CreateTyped<Tempo>},       {&Word::kInfo, &CreateTyped<Word>},
    {&Quantize::kInfo, &CreateTyped<Quantize>}, {&Stretch::kInfo, &CreateTyped<Stretch>},
};
} // namespace

std::span<const NodeFactoryEntry> ControlNodeTypes() {
    return kControlTypes;
}
