#include "editing/event_edit.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace editing {

namespace {

const EditNotice* g_notice = nullptr;

// The end of a window, held to the 32-bit time range (a window may reach past the last time).
uint64_t EndOf(uint32_t at, uint64_t length) {
    return std::min<uint64_t>(uint64_t(at) + length, uint64_t(UINT32_MAX) + 1);
}

bool SamePlaced(const PlacedEvent& a, const PlacedEvent& b) {
    return a.event == b.event && a.time == b.time && a.fields == b.fields;
}

std::vector<PlacedEvent> Contents(CEventTree& tree, uint32_t at, uint64_t length) {
    std::vector<PlacedEvent> v;
    const uint64_t end = EndOf(at, length);
    if (end <= at) return v;
    tree.Seek(at);
    while (SongEvent* e = tree.Next()) {
        if (tree.CurrentTime() >= end) break;
        v.push_back(PlacedEvent{e, tree.CurrentTime(), EventFields::Of(*e)});
    }
    return v;
}

// Whether the window holds exactly these events, at these times and in this order.
bool Holds(CEventTree& tree, uint32_t at, uint64_t length, const std::vector<PlacedEvent>& list) {
    const uint64_t end = EndOf(at, length);
    tree.Seek(at);
    for (const PlacedEvent& p : list) {
        SongEvent* e = tree.Next();
        if (e != p.event || tree.CurrentTime() != p.time) return false;
    }
    SongEvent* e = tree.Next();
    return !e || tree.CurrentTime() >= end;
}

} // namespace

const EditNotice* CurrentEditNotice() {
    return g_notice;
}

// ---- fields -------------------------------------------------------------------------------

EventFields EventFields::Of(SongEvent& e) {
    EventFields f;
    f.duration = e.GetDuration();
    if (const uint8_t* b = e.GetMessageBytes()) std::memcpy(f.bytes, b, 4);
    if (e.IsValue()) f.value = e.GetValue();
    return f;
}

void EventFields::ApplyTo(SongEvent& e) const {
    if (e.IsMidi() || e.IsWave()) e.SetDuration(duration);
    if (uint8_t* b = e.GetMessageBytes()) std::memcpy(b, bytes, 4);
    if (e.IsValue()) e.SetValue(value);
}

bool EventFields::operator==(const EventFields& o) const {
    return duration == o.duration && std::memcmp(bytes, o.bytes, 4) == 0 && value == o.value;
}

// ---- helpers ------------------------------------------------------------------------------

bool IsStoredAt(CEventTree& tree, const SongEvent* event, uint32_t t) {
    if (!event) return false;
    tree.Seek(t);
    while (SongEvent* e = tree.Next()) {
        if (tree.CurrentTime() != t) return false;
        if (e == event) return true;
    }
    return false;
}

bool TakeAt(CEventTree& tree, SongEvent* event, uint32_t t) {
    // The walk leaves the event's time field up to date, so the unlink finds it at once.
    return IsStoredAt(tree, event, t) && tree.Unlink(event) != 0;
}

std::vector<EventRef> EventsIn(CEventTree& tree, int channel, uint32_t from, uint64_t to) {
    std::vector<EventRef> v;
    if (to <= from) return v;
    tree.Seek(from);
    while (SongEvent* e = tree.Next()) {
        if (tree.CurrentTime() >= to) break;
        v.push_back(EventRef{channel, e, tree.CurrentTime()});
    }
    return v;
}

SongEvent* OwnedCopy(const SongEvent& e) {
    if (e.IsMidi()) {
        auto* m = new EventMidi;
        m->CopyFrom(e);
        return m;
    }
    if (e.IsWave()) {
        const auto& w = static_cast<const EventWave&>(e);
        if (!w.sound) return w.Clone();
        EventWave* copy = w.MakeTempCopy();
        if (!copy) return nullptr;
        copy->SetName(w.Name());
        copy->startOffset = w.startOffset;
        return copy;
    }
    if (e.IsValue() || e.IsBlock()) return e.Clone();
    return nullptr; // a kind that could not be destroyed again
}

// ---- the plan -----------------------------------------------------------------------------

void EditPlan::Window(int channel, uint32_t at, uint64_t length, uint64_t lengthAfter) {
    if (begun_ || (length == 0 && lengthAfter == 0)) return;
    EditWindow w;
    w.channel = channel;
    w.at = at;
    w.lengthBefore = length;
    w.lengthAfter = lengthAfter;
    windows_.push_back(std::move(w));
}

bool EditPlan::Begin() {
    if (begun_) return false;
    std::stable_sort(windows_.begin(), windows_.end(),
                     [](const EditWindow& a, const EditWindow& b) {
                         return a.channel != b.channel ? a.channel < b.channel : a.at < b.at;
                     });
    // Merge the windows of unchanged length that overlap or touch; a window that changes its
    // length must be the last of its channel and overlap nothing.
    std::vector<EditWindow> merged;
    for (EditWindow& w : windows_) {
        if (!Track(w.channel)) {
            windows_.clear();
            return false;
        }
        if (!merged.empty() && merged.back().channel == w.channel) {
            EditWindow& last = merged.back();
            const uint64_t lastEnd = EndOf(last.at, last.lengthBefore);
            if (last.lengthBefore != last.lengthAfter) {
                windows_.clear();
                return false; // something after a window that moves what follows it
            }
            if (w.lengthBefore == w.lengthAfter && w.at <= lastEnd) {
                const uint64_t end = std::max(lastEnd, EndOf(w.at, w.lengthBefore));
                last.lengthBefore = last.lengthAfter = end - last.at;
                continue;
            }
            if (w.at < lastEnd) {
                windows_.clear();
                return false;
            }
        }
        merged.push_back(std::move(w));
    }
    windows_ = std::move(merged);
    for (EditWindow& w : windows_) {
        w.store = Track(w.channel);
        w.before = Contents(*Track(w.channel), w.at, w.lengthBefore);
    }
    begun_ = true;
    return true;
}

// ---- the command --------------------------------------------------------------------------

EventEditCommand::EventEditCommand(CChanDoc& doc, std::string label, Edit edit)
    : doc_(doc), label_(std::move(label)), edit_(std::move(edit)) {}

EventEditCommand::~EventEditCommand() {
    if (!plan_) return;
    // What is out of the document belongs to this command.
    std::unordered_set<SongEvent*> in;
    for (const EditWindow& w : plan_->windows_)
        for (const PlacedEvent& p : done_ ? w.after : w.before) in.insert(p.event);
    std::unordered_set<SongEvent*> out;
    for (const EditWindow& w : plan_->windows_)
        for (const PlacedEvent& p : done_ ? w.before : w.after)
            if (!in.count(p.event)) out.insert(p.event);
    for (SongEvent* e : out) DeleteSongEvent(e);
}

bool EventEditCommand::Record() {
    bool changed = false;
    for (EditWindow& w : plan_->windows_) {
        CEventTree* tree = plan_->Track(w.channel);
        w.after = tree ? Contents(*tree, w.at, w.lengthAfter) : std::vector<PlacedEvent>{};
        if (w.before.size() != w.after.size()) {
            changed = true;
            continue;
        }
        // A gap opened or closed behind the last event moves nothing.
        if (w.lengthBefore != w.lengthAfter && tree) {
            const uint64_t end = EndOf(w.at, w.lengthAfter);
            if (end <= UINT32_MAX) {
                tree->Seek(uint32_t(end));
                if (tree->Next()) {
                    changed = true;
                    continue;
                }
            }
        }
        for (size_t i = 0; i < w.before.size() && !changed; ++i)
            changed = !SamePlaced(w.before[i], w.after[i]);
    }
    return changed || plan_->extra_;
}

bool EventEditCommand::Do() {
    if (!edit_ || plan_) return false;
    plan_ = std::make_unique<EditPlan>(doc_);
    Edit edit = std::move(edit_);
    edit_ = nullptr;
    const bool ok = edit(*plan_);
    if (!plan_->begun_) {
        plan_.reset();
        return false;
    }
    const bool changed = Record();
    done_ = true;
    if (!ok || !changed) {
        // Refused part-way, or nothing changed: whatever the edit did is taken back.
        if (changed) Apply(false);
        done_ = false;
        return false;
    }
    if (plan_->extra_) plan_->extra_(true);
    Announce(true);
    return true;
}

void EventEditCommand::Announce(bool after) {
    EditNotice notice;
    notice.doc = &doc_;
    notice.select = plan_->select_;
    for (const EditWindow& w : plan_->windows_) {
        const auto& now = after ? w.after : w.before;
        const auto& was = after ? w.before : w.after;
        std::unordered_map<SongEvent*, const PlacedEvent*> old;
        for (const PlacedEvent& p : was) old.emplace(p.event, &p);
        for (const PlacedEvent& p : now) {
            auto it = old.find(p.event);
            if (it == old.end() || !SamePlaced(*it->second, p))
                notice.placed.push_back(EventRef{w.channel, p.event, p.time});
        }
    }
    placed_ = notice.placed;
    const EditNotice* previous = g_notice;
    g_notice = &notice;
    doc_.UpdateAllViews(nullptr, kHintEventsEdited);
    g_notice = previous;
}

bool EventEditCommand::Apply(bool after) {
    if (!plan_) return false;
    std::vector<EditWindow>& windows = plan_->windows_;
    for (EditWindow& w : windows) {
        CEventTree* tree = plan_->Track(w.channel);
        if (!tree || tree != w.store ||
            !Holds(*tree, w.at, after ? w.lengthBefore : w.lengthAfter, after ? w.before : w.after))
            return false;
    }
    // Everything the windows hold now comes out first (an event may move from one window to
    // another, even of another channel), then the one window of a channel that changes its
    // length opens or closes its gap, then the other contents go in.
    for (EditWindow& w : windows) {
        CEventTree& tree = *plan_->Track(w.channel);
        const std::vector<PlacedEvent>& now = after ? w.before : w.after;
        tree.Seek(w.at);
        for (size_t i = 0; i < now.size(); ++i) tree.Unlink(tree.Next());
    }
    for (EditWindow& w : windows) {
        const uint64_t lengthNow = after ? w.lengthBefore : w.lengthAfter;
        const uint64_t lengthNext = after ? w.lengthAfter : w.lengthBefore;
        CEventTree& tree = *plan_->Track(w.channel);
        if (lengthNext > lengthNow)
            tree.OpenGap(uint32_t(lengthNext - lengthNow), w.at);
        else if (lengthNow > lengthNext)
            tree.CloseGap(uint32_t(lengthNow - lengthNext), w.at);
    }
    for (EditWindow& w : windows) {
        CEventTree& tree = *plan_->Track(w.channel);
        for (const PlacedEvent& p : after ? w.after : w.before) {
            p.fields.ApplyTo(*p.event);
            p.event->time = p.time;
            tree.Add(p.event);
        }
    }
    done_ = after;
    if (plan_->extra_) plan_->extra_(after);
    Announce(after);
    return true;
}

bool PushEdit(CChanDoc& doc, const std::string& label, EventEditCommand::Edit edit) {
    return doc.History().Push(std::make_unique<EventEditCommand>(doc, label, std::move(edit)));
}

} // namespace editing
