#include "tree/proto_type.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "platform/user_messages.h"
#include "tree/node_host.h"
#include "tree/node_io.h"
#include "tree/registry.h"
#include "tree/solve.h"

#include <algorithm>
#include <cmath>

namespace {
NodeHost* g_host = nullptr;

uint32_t SecondsToMs(double seconds) {
    double ms = std::trunc(seconds * 1000.0);
    if (!(ms > 0.0)) return 0;
    if (ms >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(ms);
}

// Old files carry one branch record under these types (Word, MidiDrumNote, MidiNote, Set).
bool CarriesOldBranch(int typeId) {
    return typeId == 16 || typeId == 203 || typeId == 208 || typeId == 503;
}
} // namespace

NodeHost* GetNodeHost() {
    return g_host;
}
NodeHost* SetNodeHost(NodeHost* host) {
    NodeHost* previous = g_host;
    g_host = host;
    return previous;
}

ProtoType::ProtoType() = default;

ProtoType::~ProtoType() {
    delete childOne;
    delete childTwo;
}

void ProtoType::Copy(const ProtoType& source) {
    if (&source == this) return;
    start = source.start;
    duration = source.duration;
    name = source.name;
    ProtoType* sources[2] = {source.childOne, source.childTwo};
    for (int i = 0; i < 2; ++i) {
        if (!sources[i]) continue;
        ProtoType*& mine = i == 0 ? childOne : childTwo;
        ProtoType* made = nullptr;
        if (mine) {
            made = ReplaceWith(mine, sources[i]->TypeName());
        } else {
            made = CreateNode(sources[i]->TypeName());
            if (made) {
                made->parent = this;
                made->duration = duration;
                mine = made;
            }
        }
        if (made) made->Copy(*sources[i]);
    }
    if (source.TypeName() == TypeName()) CopyParams(GetParamTable(), *this, source);
}

void ProtoType::AnnounceRemoval() {
    // One broadcast for the whole subtree: every reference into it is dropped in one walk.
    GetRoot()->ForgetSubtree(this);
    OnRemoval();
}

void ProtoType::ForgetSubtree(const ProtoType* top) {
    if (childOne) childOne->ForgetSubtree(top);
    if (childTwo) childTwo->ForgetSubtree(top);
}

void ProtoType::OnRemoval() {
    if (childOne) childOne->OnRemoval();
    if (childTwo) childTwo->OnRemoval();
}

int ProtoType::ReferenceSlots() const {
    return 0;
}
ProtoType* ProtoType::GetReference(int) const {
    return nullptr;
}
void ProtoType::SetReference(int, ProtoType*) {}
bool ProtoType::ResolveStoredReference() {
    return false;
}

void ProtoType::ForgetNode(const ProtoType* node) {
    if (childOne) childOne->ForgetNode(node);
    if (childTwo) childTwo->ForgetNode(node);
}

void ProtoType::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteString(name);
        ar.WriteU32(start);
        ar.WriteU32(duration);
        if (childOne) WriteTypedNode(ar, *childOne);
        if (childTwo) WriteTypedNode(ar, *childTwo);
        SerializeParams(GetParamTable(), *this, ar);
        return;
    }
    name = ar.ReadString();
    start = ar.ReadU32();
    duration = ar.ReadU32();
    if (ar.Failed()) return;
    const int branches = GetChildCount();
    if (GetFileVersion() < 5 && CarriesOldBranch(GetTypeId())) {
        ProtoType* holder = CreateNode("Null");
        if (!holder) {
            ar.Fail();
            return;
        }
        holder->parent = this;
        bool ok = ReadBranch(ar, *holder, 1);
        delete holder;
        delete childOne;
        delete childTwo;
        childOne = childTwo = nullptr;
        if (!ok) return;
    }
    if (branches >= 1 && !ReadBranch(ar, *this, 1)) return;
    if (branches >= 2 && !ReadBranch(ar, *this, 2)) return;
    SerializeParams(GetParamTable(), *this, ar);
}

void ProtoType::ReplaceNode(const ProtoType* old, ProtoType* replacement) {
    if (childOne) childOne->ReplaceNode(old, replacement);
    if (childTwo) childTwo->ReplaceNode(old, replacement);
}

int ProtoType::GetFileVersion() const {
    return parent ? parent->GetFileVersion() : kTreeFileVersion;
}

int ProtoType::FetchDocumentEvents(int flag, CNoteEventList& list) {
    return parent ? parent->FetchDocumentEvents(flag, list) : 0;
}

void ProtoType::GetInfo(std::string& text) const {
    text = "This is an abstract class.";
}

void ProtoType::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    if (toDialog) {
        dialog.title = GetDialogTitle();
        dialog.startSeconds = start * 0.001;
        dialog.durationSeconds = duration * 0.001;
        dialog.name = name;
        GetInfo(dialog.info);
        ParamsToDialog(GetParamTable(), *this, dialog);
        return;
    }
    const uint32_t oldStart = start;
    const uint32_t oldDuration = duration;
    start = SecondsToMs(dialog.startSeconds);
    duration = SecondsToMs(dialog.durationSeconds);
    ParamsFromDialog(GetParamTable(), *this, dialog);
    NotifyWindowChange(oldStart, oldDuration);
    if (dialog.name != name) {
        SetName(dialog.name);
        NotifyChanged();
    }
}

void ProtoType::NotifyWindowChange(uint32_t oldStart, uint32_t oldDuration) {
    // Re-solve from the earlier start to the later end, so that a window moved later does not
    // leave its old place stale nor its new place unsolved.
    const uint64_t newStart = start;
    const uint64_t lo = std::min<uint64_t>(oldStart, newStart);
    const uint64_t hi = std::max(uint64_t{oldStart} + oldDuration, newStart + duration);
    const uint32_t from = static_cast<uint32_t>(lo - newStart); // wraps: the climb adds start
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(hi - lo, 0xFFFFFFFFu));
    NotifyTimeChange(from, length);
}

void ProtoType::Params() {
    NodeHost* host = GetNodeHost();
    if (!host) return;
    ParamDialog dialog;
    ExchangeParams(true, dialog);
    if (host->RunParamsDialog(*this, dialog)) ExchangeParams(false, dialog);
}

uint32_t ProtoType::GetAbsoluteStart() const {
    return parent ? parent->GetAbsoluteStart() + start : start;
}

void ProtoType::SetTimes(uint32_t absoluteStart, uint32_t newDuration) {
    start = absoluteStart - (parent ? parent->GetAbsoluteStart() : 0);
    duration = newDuration;
}

float ProtoType::GetTimeScale() const {
    return parent ? parent->GetTimeScale() : 480.0f;
}
int ProtoType::GetBitmapId() const {
    return 0;
}
int ProtoType::GetTypeId() const {
    return 0;
}
void ProtoType::GetFxTypeName(std::string& text) const {
    text = "ProtoType";
}
const std::string& ProtoType::GetName() const {
    return name;
}
void ProtoType::SetName(const std::string& text) {
    name = text;
}
int ProtoType::GetChildCount() const {
    return (childOne ? 1 : 0) + (childTwo ? 1 : 0);
}
void ProtoType::SetChildOne(ProtoType* node) {
    childOne = node;
}
void ProtoType::SetChildTwo(ProtoType* node) {
    childTwo = node;
}
ProtoType* ProtoType::GetChild(int which) const {
    return which == 1 ? childOne : childTwo;
}
ProtoType* ProtoType::GetInnerChild(int which) const {
    return GetChild(which);
}
void ProtoType::SetInnerChild(int, ProtoType*) {}

ProtoType* ProtoType::GetRoot() {
    ProtoType* p = this;
    while (p->parent) p = p->parent;
    return p;
}

const ProtoType* ProtoType::Root() const {
    const ProtoType* p = this;
    while (p->parent) p = p->parent;
    return p;
}

bool ProtoType::IsWithin(const ProtoType* node) const {
    for (const ProtoType* p = this; p; p = p->parent) {
        if (p == node) return true;
    }
    return false;
}

void ProtoType::FindNode(const ProtoType* node, int& found) const {
    if (found) return;
    if (this == node) {
        found = 1;
        return;
    }
    if (childOne) childOne->FindNode(node, found);
    if (childTwo) childTwo->FindNode(node, found);
}

ProtoType* ProtoType::FindByName(const std::string& text) {
    if (name == text) return this;
    if (childOne) {
        if (ProtoType* n = childOne->FindByName(text)) return n;
    }
    if (childTwo) return childTwo->FindByName(text);
    return nullptr;
}

int ProtoType::WhichChild(const ProtoType* node) const {
    if (node && node == childOne) return -1;
    if (node && node == childTwo) return 1;
    return 0;
}

void ProtoType::NotifyTimeChange(uint32_t from, uint32_t length) {
    if (parent) parent->NotifyTimeChange(from + start, length);
}

void ProtoType::NotifyChanged() {
    if (parent) parent->NotifyChanged();
}

void ProtoType::EditData() {}

bool ProtoType::IsActive(CNoteEventList& list) {
    const uint32_t offset = static_cast<uint32_t>(list.offset) + start;
    list.offset = static_cast<int32_t>(offset);
    if (list.now >= offset) return list.now < offset + duration;
    if (offset < list.next) list.next = offset;
    return false;
}

bool ProtoType::IsStarting(CNoteEventList& list) {
    const uint32_t offset = static_cast<uint32_t>(list.offset) + start;
    list.offset = static_cast<int32_t>(offset);
    if (list.now >= offset) return list.now == offset;
    if (offset < list.next) list.next = offset;
    return false;
}

void ProtoType::ResetCounters() {}

void ProtoType::AlignTimes(int arg) {
    for (ProtoType* c : {childOne, childTwo}) {
        if (!c) continue;
        c->start = 0;
        c->duration = duration;
        c->AlignTimes(arg);
    }
}

void ProtoType::Solve(CNoteEventList& list) {
    list.RemoveAll();
}
int ProtoType::Supports(int) const {
    return 0;
}
void ProtoType::Evaluate(EventWave&) {}
void ProtoType::SolveInto(CNoteEventList& output, uint32_t step) {
    ::SolveInto(*this, output, step);
}

void ProtoType::ShowGraph(bool sampled) {
    NodeHost* host = GetNodeHost();
    if (!host) return;
    if (!sampled) ResetCounters();
    CNoteEventList events;
    SolveInto(events, sampled ? 250 : 0);
    host->ShowEventGraph(name, GetTimeScale(), events);
}

void ProtoType::Display() {
    ShowGraph(false);
}

void ProtoType::DrawTree(DrawContext& dc, const TreeLayout& layout, int row) {
    if (row >= layout.rows || layout.width <= 0) return;
    const int cx = layout.x + layout.width / 2;
    const int top = layout.y + row * layout.rowHeight;
    const int size = std::min(layout.iconSize, std::max(1, layout.rowHeight - 16));
    if (layout.selected == this) {
        dc.FillRect(cx - size / 2 - 2, top - 2, size + 4, size + 4, 0x3060C0);
    }
    DrawBM(dc, cx - size / 2, top, size);
    dc.DrawText(cx - size / 2, top + size + 2, name);
    if (row + 1 >= layout.rows) return;
    const int half = layout.width / 2;
    for (int which = 1; which <= 2; ++which) {
        ProtoType* c = GetInnerChild(which);
        if (!c) continue;
        TreeLayout sub = layout;
        sub.width = half;
        sub.x = which == 1 ? layout.x : layout.x + half;
        dc.DrawLine(cx, top + size, sub.x + half / 2, top + layout.rowHeight);
        c->DrawTree(dc, sub, row + 1);
    }
}

void ProtoType::DrawBM(DrawContext& dc, int x, int y, int size) {
    dc.DrawIcon(GetBitmapId(), x, y, size);
}

void ProtoType::DrawTimeBars(DrawContext& dc, const TimeBarLayout& layout, int& row) {
    if (row >= layout.maxRows) return;
    const double from = static_cast<double>(GetAbsoluteStart()) - layout.origin;
    const int x = layout.x + static_cast<int>(from * layout.pixelsPerMs);
    const int width = std::max(1, static_cast<int>(duration * layout.pixelsPerMs));
    const int y = layout.y + row * layout.rowHeight;
    dc.FillRect(x, y, width, std::max(1, layout.rowHeight - 2), 0x4080FF);
    dc.DrawText(x, y, name);
    ++row;
    if (childOne) childOne->DrawTimeBars(dc, layout, row);
    if (childTwo) childTwo->DrawTimeBars(dc, layout, row);
}

void ProtoType::GetSpecialName(int, std::string& label) const {
    label.clear();
}
void ProtoType::Special(int) {}

void ProtoType::MakeAccretionCommand() {
    ProtoType* root = GetRoot();
    if (root == this) return;
    platform::Answer a = platform::Messages().Ask(kAccretionQuestion, platform::Answer::Cancel);
    if (a == platform::Answer::Ok || a == platform::Answer::Yes)
        root->MakeAccretion(this);
    else
        MakeAccretion(nullptr);
}

int ProtoType::QueryParent(int arg) {
    return parent ? parent->QueryParent(arg) : 0;
}

void ProtoType::MakeAccretion(ProtoType* leftOut) {
    ProtoType* a = CreateNode("Accrete");
    if (!a) return;
    delete a->childOne;
    a->childOne = this;
    a->parent = parent;
    a->duration = duration;
    a->start = 0;
    if (parent) {
        if (parent->childOne == this)
            parent->childOne = a;
        else if (parent->childTwo == this)
            parent->childTwo = a;
    }
    parent = a;
    if (leftOut && leftOut != this && leftOut->IsWithin(this)) a->SetInnerChild(1, leftOut);
    NotifyChanged();
}

void ProtoType::OnPick(ProtoType*) {}
void ProtoType::ExpandPointer(ProtoType*) {}

void ProtoType::GetPath(std::string& text) const {
    if (!parent) return;
    parent->GetPath(text);
    int w = parent->WhichChild(this);
    if (w == -1)
        text += 'L';
    else if (w == 1)
        text += 'R';
}

ProtoType* ProtoType::FollowPath(const std::string& text) {
    ProtoType* n = this;
    for (char c : text) {
        if (c == 'L')
            n = n->GetChild(1);
        else if (c == 'R')
            n = n->GetChild(2);
        else
            return nullptr;
        if (!n) return nullptr;
    }
    return n;
}

void ProtoType::ResolvePointer() {}
void ProtoType::GenerateSet() {}
WordSet* ProtoType::GetWordSet() {
    return nullptr;
}
void ProtoType::GetBranchLabel(int, std::string& label) const {
    label.clear();
}

ParamTable ProtoType::GetParamTable() const {
    return {};
}
const char* ProtoType::GetDialogTitle() const {
    return "";
}

std::string ProtoType::TypeName() const {
    std::string t;
    GetFxTypeName(t);
    return t;
}

void ProtoType::MakeNullBranches(int count) {
    delete childOne;
    delete childTwo;
    childOne = childTwo = nullptr;
    for (int i = 0; i < count && i < 2; ++i) {
        ProtoType* n = CreateNode("Null");
        if (!n) return;
        n->parent = this;
        n->start = 0;
        n->duration = duration;
        (i == 0 ? childOne : childTwo) = n;
    }
}
