#include "editing/event_editor.h"

#include "editing/event_clipboard.h"
#include "platform/thread_check.h"
#include "platform/user_messages.h"
#include "tree/random.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>

namespace editing {

namespace {

constexpr uint64_t kWholeTrack = uint64_t(UINT32_MAX) + 1;
// The largest units per beat a MIDI file's division can hold, and that of other documents.
constexpr uint32_t kMaxMidiUnits = 32767;
constexpr uint32_t kMaxUnits = 1000000;

void Refuse(const std::string& text) {
    platform::Messages().Show(text, platform::MessageKind::Warning);
}

// A time from one units per beat to another: whole beats stay whole beats.
uint32_t RescaleTime(uint32_t t, uint32_t from, uint32_t to) {
    if (from == to || from == 0) return t;
    const uint64_t v = uint64_t(to) * (t / from) + uint64_t(t % from) * to / from;
    return uint32_t(std::min<uint64_t>(v, UINT32_MAX));
}

// Events whose data1 is a key: notes and key pressure.
bool HasKey(SongEvent& e) {
    if (!e.IsMidi()) return false;
    const int kind = e.GetKind();
    return kind == 0x8 || kind == 0x9 || kind == 0xA;
}

bool IsChannelKind(int kind) {
    return kind >= 0x8 && kind <= 0xE;
}

// Whether every event at or after `at` can move `grow` units later.
bool FitsAfterGrowth(CEventTree& tree, uint32_t at, uint64_t grow) {
    if (grow == 0 || !tree.Last()) return true;
    const uint32_t last = tree.CurrentTime();
    return last < at || uint64_t(last) + grow <= kMaxEditTime;
}

// A random number 0..1 from the shared generator.
double Random01() {
    return NextRandom() * (1.0 / kRandMax);
}

// Slots of the events at their times, and at other times of the same channels.
void PlanSlots(EditPlan& plan, const std::vector<EventRef>& refs) {
    for (const EventRef& r : refs) plan.Slot(r.channel, r.time);
}

} // namespace

std::string GridTooFineMessage(uint32_t unitsPerBeat) {
    return "The grid is finer than one unit: the divisor may be at most " +
           std::to_string(unitsPerBeat) + ".";
}

std::string UnitsRangeMessage(uint32_t limit) {
    return "Units per beat must be from 1 to " + std::to_string(limit) + ".";
}

NoteEditor::NoteEditor(CChanDoc& doc) : doc_(doc) {
    DENDRA_UI_THREAD();
    trackSelected_.assign(size_t(std::max(0, doc_.GetChannelCount())), true);
    doc_.AddView(this);
}

NoteEditor::~NoteEditor() {
    doc_.RemoveView(this);
}

void NoteEditor::Changed() {
    if (listener_) listener_();
}

// ---- tracks ---------------------------------------------------------------------------------

bool NoteEditor::IsTrackSelected(int channel) const {
    if (channel < 1 || channel > TrackCount()) return false;
    const size_t i = size_t(channel - 1);
    return i >= trackSelected_.size() || trackSelected_[i];
}

void NoteEditor::SetTrackSelected(int channel, bool on) {
    if (channel < 1 || channel > TrackCount()) return;
    if (trackSelected_.size() < size_t(TrackCount()))
        trackSelected_.resize(size_t(TrackCount()), true);
    trackSelected_[size_t(channel - 1)] = on;
    Changed();
}

void NoteEditor::SelectOnlyTrack(int channel) {
    if (channel < 1 || channel > TrackCount()) return;
    trackSelected_.assign(size_t(TrackCount()), false);
    trackSelected_[size_t(channel - 1)] = true;
    Changed();
}

std::vector<int> NoteEditor::SelectedTracks() const {
    std::vector<int> v;
    for (int ch = 1; ch <= TrackCount(); ++ch)
        if (IsTrackSelected(ch)) v.push_back(ch);
    return v;
}

// ---- range ----------------------------------------------------------------------------------

void NoteEditor::ToggleRangeMode() {
    rangeMode_ = !rangeMode_;
    rangeStart_ = rangeEnd_ = 0;
    selection_.clear();
    selected_.clear();
    Changed();
}

void NoteEditor::SetRange(uint32_t a, uint32_t b) {
    rangeStart_ = std::min(a, b);
    rangeEnd_ = std::max(a, b);
    Changed();
}

uint32_t NoteEditor::DocumentLength() {
    uint32_t length = 0;
    for (int ch : SelectedTracks())
        if (CEventTree* tree = Track(ch))
            length = std::max(length, uint32_t(std::max(0, tree->GetLength(1))));
    return length;
}

void NoteEditor::SelectWholeTrack() {
    rangeMode_ = true;
    rangeStart_ = 0;
    rangeEnd_ = DocumentLength();
    selection_.clear();
    selected_.clear();
    Changed();
}

// ---- selection ------------------------------------------------------------------------------

bool NoteEditor::IsSelected(const SongEvent* event) const {
    return event && selected_.count(event) != 0;
}

void NoteEditor::SortSelection() {
    std::stable_sort(selection_.begin(), selection_.end(),
                     [](const EventRef& a, const EventRef& b) {
                         return a.channel != b.channel ? a.channel < b.channel : a.time < b.time;
                     });
    selection_.erase(std::unique(selection_.begin(), selection_.end()), selection_.end());
    // Events of one time go in the order the store holds them.
    for (size_t i = 0; i < selection_.size();) {
        size_t j = i + 1;
        while (j < selection_.size() && selection_[j].channel == selection_[i].channel &&
               selection_[j].time == selection_[i].time)
            ++j;
        if (j - i > 1) {
            if (CEventTree* tree = Track(selection_[i].channel)) {
                std::unordered_map<const SongEvent*, size_t> order;
                for (const EventRef& r : EventsIn(*tree, selection_[i].channel, selection_[i].time,
                                                  uint64_t(selection_[i].time) + 1))
                    order.emplace(r.event, order.size());
                std::stable_sort(selection_.begin() + long(i), selection_.begin() + long(j),
                                 [&](const EventRef& a, const EventRef& b) {
                                     return order[a.event] < order[b.event];
                                 });
            }
        }
        i = j;
    }
    selected_.clear();
    for (const EventRef& r : selection_) selected_.insert(r.event);
}

bool NoteEditor::Click(int channel, SongEvent* event, uint32_t time, SelectMode mode) {
    if (!event) {
        if (mode != SelectMode::Replace) return false;
        ClearSelection();
        return true;
    }
    CEventTree* tree = Track(channel);
    if (!tree || !IsStoredAt(*tree, event, time)) return false;
    const EventRef ref{channel, event, time};
    auto it = std::find(selection_.begin(), selection_.end(), ref);
    switch (mode) {
    case SelectMode::Replace:
        selection_.assign(1, ref);
        break;
    case SelectMode::Add:
        if (it == selection_.end()) selection_.push_back(ref);
        break;
    case SelectMode::Toggle:
        if (it == selection_.end())
            selection_.push_back(ref);
        else
            selection_.erase(it);
        break;
    }
    SortSelection();
    Changed();
    return true;
}

uint32_t NoteEditor::Longest(int channel) {
    CEventTree* tree = Track(channel);
    if (!tree || channel < 1) return 0;
    if (longest_.size() < size_t(channel)) longest_.resize(size_t(channel), -1);
    int64_t& longest = longest_[size_t(channel - 1)];
    if (longest < 0) {
        longest = 0;
        for (SongEvent* e = tree->First(); e; e = tree->Next())
            longest = std::max<int64_t>(longest, e->GetDuration());
    }
    return uint32_t(longest);
}

void NoteEditor::SelectRect(uint32_t from, uint32_t to, int keyLow, int keyHigh, SelectMode mode) {
    if (from > to) std::swap(from, to);
    if (keyLow > keyHigh) std::swap(keyLow, keyHigh);
    std::vector<EventRef> band;
    for (int ch : SelectedTracks()) {
        CEventTree* tree = Track(ch);
        if (!tree) continue;
        const uint32_t longest = Longest(ch);
        tree->Seek(from > longest ? from - longest : 0);
        for (SongEvent* e = tree->Next(); e && tree->CurrentTime() <= to; e = tree->Next()) {
            const uint32_t t = tree->CurrentTime();
            if (!e->IsNoteOn() || e->GetData1() < keyLow || e->GetData1() > keyHigh) continue;
            if (uint64_t(t) + std::max<uint32_t>(e->GetDuration(), 1) > from)
                band.push_back(EventRef{ch, e, t});
        }
    }
    if (mode == SelectMode::Replace) {
        selection_ = std::move(band);
    } else {
        for (const EventRef& r : band) {
            auto it = std::find(selection_.begin(), selection_.end(), r);
            if (it == selection_.end())
                selection_.push_back(r);
            else if (mode == SelectMode::Toggle)
                selection_.erase(it);
        }
    }
    SortSelection();
    Changed();
}

void NoteEditor::ClearSelection() {
    if (selection_.empty()) return;
    selection_.clear();
    selected_.clear();
    Changed();
}

std::optional<EventRef> NoteEditor::NoteAt(int channel, uint32_t time, int key) {
    CEventTree* tree = Track(channel);
    if (!tree) return std::nullopt;
    std::optional<EventRef> found;
    const uint32_t longest = Longest(channel);
    tree->Seek(time > longest ? time - longest : 0);
    for (SongEvent* e = tree->Next(); e && tree->CurrentTime() <= time; e = tree->Next()) {
        const uint32_t t = tree->CurrentTime();
        if (e->IsNoteOn() && e->GetData1() == key &&
            uint64_t(t) + std::max<uint32_t>(e->GetDuration(), 1) > time)
            found = EventRef{channel, e, t};
    }
    return found;
}

void NoteEditor::SetInsertionPoint(uint32_t t) {
    insertionPoint_ = std::min(t, kMaxEditTime);
    Changed();
}

void NoteEditor::Revalidate() {
    std::vector<EventRef> kept;
    for (const EventRef& r : selection_) {
        CEventTree* tree = Track(r.channel);
        if (tree && IsStoredAt(*tree, r.event, r.time)) kept.push_back(r);
    }
    if (kept.size() != selection_.size()) {
        selection_ = std::move(kept);
        SortSelection();
    }
}

std::vector<EventRef> NoteEditor::Targets() {
    if (HasRange()) {
        std::vector<EventRef> v;
        for (int ch : SelectedTracks())
            if (CEventTree* tree = Track(ch)) {
                std::vector<EventRef> in = EventsIn(*tree, ch, rangeStart_, rangeEnd_);
                v.insert(v.end(), in.begin(), in.end());
            }
        return v;
    }
    Revalidate();
    return selection_;
}

void NoteEditor::OnUpdate(CDocView*, long) {
    longest_.clear();
    const EditNotice* notice = CurrentEditNotice();
    if (notice && notice->doc == &doc_ && notice->select) {
        selection_ = notice->placed;
        SortSelection();
    } else {
        Revalidate();
    }
    if (trackSelected_.size() > size_t(TrackCount())) trackSelected_.resize(size_t(TrackCount()));
    Changed();
}

// ---- clipboard ------------------------------------------------------------------------------

bool NoteEditor::CanPaste() const {
    return !TheEventClipboard().Empty() && TrackCount() > 0;
}

bool NoteEditor::Copy() {
    const uint32_t units = doc_.GetTicksPerBeat(kUnitsPerBeat);
    if (HasRange()) {
        TheEventClipboard().Set(Targets(), rangeStart_, rangeEnd_ - rangeStart_, units);
    } else {
        std::vector<EventRef> refs = Targets();
        if (refs.empty()) return false;
        uint32_t start = refs.front().time;
        for (const EventRef& r : refs) start = std::min(start, r.time);
        TheEventClipboard().Set(refs, start, 0, units);
    }
    Changed();
    return true;
}

bool NoteEditor::RemoveTargets(const char* label) {
    if (HasRange()) {
        const uint32_t s = rangeStart_, e = rangeEnd_;
        const uint64_t length = e - s;
        const bool silent = DeleteMakesSilent();
        const std::vector<int> channels = SelectedTracks();
        if (channels.empty()) return false;
        const bool ok = PushEdit(doc_, label, [=](EditPlan& plan) {
            for (int ch : channels) plan.Window(ch, s, length, silent ? length : 0);
            if (!plan.Begin()) return false;
            for (int ch : channels) {
                CEventTree& tree = *plan.Track(ch);
                for (const EventRef& r : EventsIn(tree, ch, s, e)) tree.Unlink(r.event);
                if (!silent) tree.CloseGap(uint32_t(length), s);
            }
            return true;
        });
        ClearSelection();
        return ok;
    }
    const std::vector<EventRef> refs = Targets();
    if (refs.empty()) return false;
    const bool ok = PushEdit(doc_, label, [refs](EditPlan& plan) {
        PlanSlots(plan, refs);
        if (!plan.Begin()) return false;
        for (const EventRef& r : refs) TakeAt(*plan.Track(r.channel), r.event, r.time);
        return true;
    });
    ClearSelection();
    return ok;
}

bool NoteEditor::Cut() {
    if (!CanCut() || !Copy()) return false;
    return RemoveTargets("Cut");
}

bool NoteEditor::Delete() {
    if (!CanDelete()) return false;
    return RemoveTargets(HasRange() && DeleteMakesSilent() ? "Make Silent" : "Delete");
}

bool NoteEditor::Paste() {
    return PasteAt(insertionPoint_);
}

bool NoteEditor::PasteAt(uint32_t at) {
    const EventClipboard& clip = TheEventClipboard();
    const int count = TrackCount();
    if (clip.Empty() || count < 1 || at > kMaxEditTime) return false;
    const uint32_t from = clip.UnitsPerBeat();
    const uint32_t to = doc_.GetTicksPerBeat(kUnitsPerBeat);
    const uint32_t length = RescaleTime(clip.Length(), from, to);
    if (uint64_t(at) + length > kMaxEditTime) {
        Refuse(kTooLateMessage);
        return false;
    }
    const bool oneChannel = clip.Channels().size() <= 1;
    const int current = std::clamp(doc_.GetCurrentChannel(), 1, count);

    struct Item {
        int channel;
        uint32_t time;
        const SongEvent* source;
    };
    std::vector<Item> items;
    for (const EventClipboard::Entry& entry : clip.Entries()) {
        const int ch = oneChannel ? current : entry.channel;
        if (ch < 1 || ch > count) continue;
        uint32_t rel = RescaleTime(entry.time, from, to);
        if (length > 0) rel = std::min(rel, length - 1); // inside the gap it opens
        if (uint64_t(at) + rel > kMaxEditTime) {
            Refuse(kTooLateMessage);
            return false;
        }
        items.push_back(Item{ch, at + rel, entry.event.get()});
    }
    std::set<int> gap;
    if (length > 0) {
        for (int ch : SelectedTracks()) gap.insert(ch);
        for (const Item& it : items) gap.insert(it.channel);
        for (int ch : gap)
            if (CEventTree* tree = Track(ch); tree && !FitsAfterGrowth(*tree, at, length)) {
                Refuse(kTooLateMessage);
                return false;
            }
    }
    if (items.empty() && gap.empty()) return false;

    const bool ok = PushEdit(doc_, "Paste", [&](EditPlan& plan) {
        for (int ch : gap) plan.Window(ch, at, 0, length);
        if (length == 0)
            for (const Item& it : items) plan.Slot(it.channel, it.time);
        if (!plan.Begin()) return false;
        for (int ch : gap) plan.Track(ch)->OpenGap(length, at);
        for (const Item& it : items) {
            SongEvent* copy = OwnedCopy(*it.source);
            if (!copy) continue;
            copy->next = nullptr;
            copy->time = it.time;
            if (from != to && copy->GetDuration() > 0)
                copy->SetDuration(
                    std::max<uint32_t>(RescaleTime(copy->GetDuration(), from, to), 1));
            plan.Track(it.channel)->Add(copy);
        }
        return true;
    });
    if (ok && rangeMode_ && length > 0) SetRange(at, at + length);
    return ok;
}

// ---- quantize and stretch -------------------------------------------------------------------

bool NoteEditor::Quantize(const QuantizeSettings& q) {
    if (q.divisor < 1) {
        Refuse(kDivisorMessage);
        return false;
    }
    const uint32_t units = doc_.GetTicksPerBeat(kUnitsPerBeat);
    const uint32_t grid = units / uint32_t(q.divisor);
    if (grid == 0) {
        Refuse(GridTooFineMessage(units));
        return false;
    }
    if (!q.randomStrength && (q.strength < 0 || q.strength > 100)) {
        Refuse(kStrengthMessage);
        return false;
    }
    if (!q.onsets && !q.durations) return false;
    const std::vector<EventRef> targets = Targets();
    if (targets.empty()) return false;

    auto strength = [&]() -> int64_t {
        return q.randomStrength ? int64_t(Random01() * 100) : int64_t(q.strength);
    };
    // The way to the nearer grid line (the later one at exactly half); a beat line counts as a
    // grid line, so a grid that does not divide the beat never pulls an event away from it.
    auto offset = [&](uint32_t t) -> int64_t {
        if (q.randomMode) return int64_t(grid * (Random01() - 0.5) * 2);
        const uint32_t within = t % units;
        const uint32_t r = within % grid;
        if (r == 0) return 0;
        const uint32_t up = std::min(grid - r, units - within);
        return r < up ? -int64_t(r) : int64_t(up);
    };

    // Every event is looked at once: its new time and duration are worked out first.
    struct Step {
        EventRef ref;
        uint32_t time;
        int64_t durationChange;
    };
    std::vector<Step> steps;
    for (const EventRef& r : targets) {
        Step s{r, r.time, 0};
        if (q.onsets) {
            const int64_t m = offset(r.time) * strength() / 100;
            s.time = uint32_t(std::clamp<int64_t>(int64_t(r.time) + m, 0, kMaxEditTime));
        }
        const uint32_t duration = r.event->GetDuration();
        if (q.durations && r.event->IsNoteOn() && duration > 0) {
            const uint64_t end = uint64_t(s.time) + duration;
            if (end <= kMaxEditTime) {
                const int64_t m = offset(uint32_t(end)) * strength() / 100;
                if (int64_t(duration) + m >= 1) s.durationChange = m;
            }
        }
        if (s.time != r.time || s.durationChange != 0) steps.push_back(s);
    }
    if (steps.empty()) return false;

    return PushEdit(doc_, q.randomMode ? "Randomize" : "Quantize", [steps](EditPlan& plan) {
        for (const Step& s : steps) {
            plan.Slot(s.ref.channel, s.ref.time);
            plan.Slot(s.ref.channel, s.time);
        }
        if (!plan.Begin()) return false;
        for (const Step& s : steps) {
            CEventTree& tree = *plan.Track(s.ref.channel);
            SongEvent* e = s.ref.event;
            const uint32_t duration = e->GetDuration();
            uint32_t now = s.ref.time;
            // A note is not moved onto another note of its key (notes that only touch may).
            if (s.time != s.ref.time &&
                !(e->IsNoteOn() &&
                  tree.FindOverlap(s.time, s.time + std::max<uint32_t>(duration, 1) - 1,
                                   e->GetData1(), e)) &&
                TakeAt(tree, e, s.ref.time)) {
                e->time = s.time;
                tree.Add(e);
                now = s.time;
            }
            if (s.durationChange != 0) {
                const uint32_t end = now + duration;
                if (s.durationChange < 0 ||
                    !tree.FindOverlap(end, uint32_t(end + s.durationChange - 1), e->GetData1(), e))
                    e->SetDuration(uint32_t(int64_t(duration) + s.durationChange));
            }
        }
        return true;
    });
}

bool NoteEditor::Stretch(const StretchSettings& st) {
    if (!HasRange()) {
        Refuse(kStretchRangeMessage);
        return false;
    }
    const uint32_t s = rangeStart_, e = rangeEnd_;
    const uint64_t length = e - s;
    uint64_t newLength;
    if (st.byLength) {
        newLength = st.newLength;
    } else {
        if (!(st.factor > 0.0) || !std::isfinite(st.factor)) {
            Refuse(kStretchFactorMessage);
            return false;
        }
        const double l = std::floor(double(length) * st.factor);
        newLength = l > double(kMaxEditTime) ? uint64_t(kMaxEditTime) + 1 : uint64_t(l);
    }
    if (newLength < 1) {
        Refuse(kStretchLengthMessage);
        return false;
    }
    if (!st.onsets && !st.durations) return false;
    // Without the onsets the range keeps its length: only the durations change.
    const uint64_t lengthAfter = st.onsets ? newLength : length;
    if (uint64_t(s) + lengthAfter > kMaxEditTime) {
        Refuse(kTooLateMessage);
        return false;
    }
    const std::vector<int> channels = SelectedTracks();
    if (lengthAfter > length)
        for (int ch : channels)
            if (CEventTree* tree = Track(ch);
                tree && !FitsAfterGrowth(*tree, e, lengthAfter - length)) {
                Refuse(kTooLateMessage);
                return false;
            }
    const bool durations = st.durations;
    const bool ok = PushEdit(doc_, "Stretch", [=](EditPlan& plan) {
        for (int ch : channels) plan.Window(ch, s, length, lengthAfter);
        if (!plan.Begin()) return false;
        for (int ch : channels) {
            CEventTree& tree = *plan.Track(ch);
            const std::vector<EventRef> in = EventsIn(tree, ch, s, e);
            for (const EventRef& r : in) tree.Unlink(r.event);
            if (lengthAfter > length)
                tree.OpenGap(uint32_t(lengthAfter - length), s);
            else if (lengthAfter < length)
                tree.CloseGap(uint32_t(length - lengthAfter), s);
            for (const EventRef& r : in) {
                const uint64_t rel = r.time - s;
                r.event->time = s + uint32_t(rel * lengthAfter / length);
                const uint32_t d = r.event->GetDuration();
                if (durations && d > 0) {
                    const uint64_t nd = uint64_t(d) * newLength / length;
                    r.event->SetDuration(uint32_t(std::clamp<uint64_t>(nd, 1, kMaxEditTime)));
                }
                tree.Add(r.event);
            }
        }
        return true;
    });
    if (ok) {
        selection_.clear();
        selected_.clear();
        SetRange(s, s + uint32_t(lengthAfter));
    }
    return ok;
}

// ---- moving events --------------------------------------------------------------------------

bool NoteEditor::MoveToTrack(int channel) {
    if (channel < 1 || channel > TrackCount()) return false;
    std::vector<EventRef> refs;
    for (const EventRef& r : Targets())
        if (r.channel != channel) refs.push_back(r);
    if (refs.empty()) return false;
    return PushEdit(doc_, "Move to Track", [refs, channel](EditPlan& plan) {
        for (const EventRef& r : refs) {
            plan.Slot(r.channel, r.time);
            plan.Slot(channel, r.time);
        }
        if (!plan.Begin()) return false;
        CEventTree& target = *plan.Track(channel);
        for (const EventRef& r : refs)
            if (TakeAt(*plan.Track(r.channel), r.event, r.time)) {
                r.event->time = r.time;
                target.Add(r.event);
            }
        return true;
    });
}

bool NoteEditor::ApplySelectionParameters(uint32_t start, uint32_t end, int targetChannel) {
    if (targetChannel != 0 && (targetChannel < 1 || targetChannel > TrackCount())) return false;
    if (targetChannel != 0) MoveToTrack(targetChannel);
    selection_.clear();
    selected_.clear();
    SetRange(start, end);
    return true;
}

bool NoteEditor::MoveSelection(int64_t deltaTime, int deltaKey) {
    const std::vector<EventRef> refs = Targets();
    if (refs.empty()) return false;
    uint32_t first = UINT32_MAX, last = 0;
    int low = 127, high = 0;
    bool keys = false;
    for (const EventRef& r : refs) {
        first = std::min(first, r.time);
        last = std::max(last, r.time);
        if (HasKey(*r.event)) {
            keys = true;
            low = std::min<int>(low, r.event->GetData1());
            high = std::max<int>(high, r.event->GetData1());
        }
    }
    deltaTime = std::clamp<int64_t>(deltaTime, -int64_t(first), int64_t(kMaxEditTime) - last);
    deltaKey = keys ? std::clamp(deltaKey, -low, 127 - high) : 0;
    if (deltaTime == 0 && deltaKey == 0) return false;
    const bool ok = PushEdit(doc_, "Move", [refs, deltaTime, deltaKey](EditPlan& plan) {
        for (const EventRef& r : refs) {
            plan.Slot(r.channel, r.time);
            plan.Slot(r.channel, uint32_t(r.time + deltaTime));
        }
        if (!plan.Begin()) return false;
        std::vector<EventRef> taken;
        for (const EventRef& r : refs)
            if (TakeAt(*plan.Track(r.channel), r.event, r.time)) taken.push_back(r);
        for (const EventRef& r : taken) {
            if (HasKey(*r.event)) r.event->SetData1(uint8_t(r.event->GetData1() + deltaKey));
            r.event->time = uint32_t(r.time + deltaTime);
            plan.Track(r.channel)->Add(r.event);
        }
        return true;
    });
    if (ok && HasRange())
        SetRange(uint32_t(rangeStart_ + std::max<int64_t>(deltaTime, -int64_t(rangeStart_))),
                 uint32_t(std::min<int64_t>(rangeEnd_ + deltaTime, kMaxEditTime)));
    return ok;
}

bool NoteEditor::ResizeSelection(int64_t deltaDuration) {
    struct Change {
        EventRef ref;
        uint32_t duration;
    };
    std::vector<Change> changes;
    for (const EventRef& r : Targets()) {
        if (!r.event->IsNoteOn()) continue;
        const int64_t d =
            std::clamp<int64_t>(int64_t(r.event->GetDuration()) + deltaDuration, 1, kMaxEditTime);
        if (uint32_t(d) != r.event->GetDuration()) changes.push_back(Change{r, uint32_t(d)});
    }
    if (changes.empty()) return false;
    return PushEdit(doc_, "Resize", [changes](EditPlan& plan) {
        for (const Change& c : changes) plan.Slot(c.ref.channel, c.ref.time);
        if (!plan.Begin()) return false;
        for (const Change& c : changes) c.ref.event->SetDuration(c.duration);
        return true;
    });
}

bool NoteEditor::InsertNote(int channel, uint32_t time, int key, uint32_t duration, int velocity,
                            int midiChannel) {
    if (channel < 1 || channel > TrackCount()) return false;
    if (key < 0 || key > 127) {
        Refuse(kDataByteMessage);
        return false;
    }
    if (velocity < 1 || velocity > 127) {
        Refuse(kVelocityMessage);
        return false;
    }
    if (midiChannel < 0 || midiChannel > 15) {
        Refuse(kChannelMessage);
        return false;
    }
    if (time > kMaxEditTime) {
        Refuse(kTooLateMessage);
        return false;
    }
    duration = std::clamp<uint32_t>(duration, 1, kMaxEditTime);
    return PushEdit(doc_, "Insert Note", [=](EditPlan& plan) {
        plan.Slot(channel, time);
        if (!plan.Begin()) return false;
        plan.Track(channel)->Add(new EventMidi(time, uint8_t(0x90 | midiChannel), uint8_t(key),
                                               uint8_t(velocity), duration));
        return true;
    });
}

// ---- one event ------------------------------------------------------------------------------

bool NoteEditor::EditEvent(const EventRef& ref, const EventChange& c) {
    CEventTree* tree = Track(ref.channel);
    if (!tree || !IsStoredAt(*tree, ref.event, ref.time)) return false;
    SongEvent& e = *ref.event;
    EventFields fields = EventFields::Of(e);
    const uint32_t time = c.time ? *c.time : ref.time;
    if (time > kMaxEditTime) {
        Refuse(kTooLateMessage);
        return false;
    }
    if (c.duration) fields.duration = std::min(*c.duration, kMaxEditTime);
    if (c.value && e.IsValue()) fields.value = *c.value;
    if (e.IsMidi()) {
        uint8_t* b = fields.bytes;
        if (c.kind) {
            if (*c.kind < 0 || *c.kind > 15) {
                Refuse(kDataByteMessage);
                return false;
            }
            b[0] = uint8_t(*c.kind << 4 | (b[0] & 0x0F));
        }
        const bool channelMessage = IsChannelKind(b[0] >> 4);
        if (c.channel) {
            if (*c.channel < 0 || *c.channel > 15) {
                Refuse(kChannelMessage);
                return false;
            }
            if (channelMessage) b[0] = uint8_t((b[0] & 0xF0) | *c.channel);
        }
        const int limit = channelMessage ? 127 : 255;
        const std::optional<int> data[3] = {c.data1, c.data2, c.data3};
        for (int i = 0; i < 3; ++i)
            if (data[i]) {
                if (*data[i] < 0 || *data[i] > limit) {
                    Refuse(kDataByteMessage);
                    return false;
                }
                b[i + 1] = uint8_t(*data[i]);
            }
        if (c.tempo) {
            if (b[0] != 0 || *c.tempo < 1 || *c.tempo > 0xFFFFFF) {
                Refuse(kTempoMessage);
                return false;
            }
            b[1] = uint8_t(*c.tempo >> 16);
            b[2] = uint8_t(*c.tempo >> 8);
            b[3] = uint8_t(*c.tempo);
        }
        // A note-on of velocity 0 would be read as the end of a note.
        if ((b[0] >> 4) == 0x9 && b[2] == 0 && (c.kind || c.data2)) {
            Refuse(kVelocityMessage);
            return false;
        }
    }
    if (time == ref.time && fields == EventFields::Of(e)) return false;
    const EventRef r = ref;
    return PushEdit(doc_, "Edit Event", [r, time, fields](EditPlan& plan) {
        plan.Slot(r.channel, r.time);
        plan.Slot(r.channel, time);
        if (!plan.Begin()) return false;
        CEventTree& tree = *plan.Track(r.channel);
        fields.ApplyTo(*r.event);
        if (time != r.time && TakeAt(tree, r.event, r.time)) {
            r.event->time = time;
            tree.Add(r.event);
        }
        return true;
    });
}

bool NoteEditor::SetSysexBytes(const EventRef& start, const std::vector<uint8_t>& bytes) {
    CEventTree* tree = Track(start.channel);
    SongEvent* e = start.event;
    if (!tree || !IsStoredAt(*tree, e, start.time) || !e->IsMidi() ||
        e->GetMessageBytes()[0] != 0xF0 || e->GetData1() != 0xF0)
        return false;
    for (uint8_t b : bytes)
        if (b > 0x7F) {
            Refuse(kSysexByteMessage);
            return false;
        }
    // The message's fragments: the bytes that follow the start at its time, up to its end.
    const std::vector<EventRef> slot =
        EventsIn(*tree, start.channel, start.time, uint64_t(start.time) + 1);
    size_t i = 0;
    while (i < slot.size() && slot[i].event != e) ++i;
    if (i == slot.size()) return false;
    size_t j = i + 1;
    bool ended = false;
    std::vector<uint8_t> now;
    while (!ended && j < slot.size() && slot[j].event->IsMidi() &&
           slot[j].event->GetMessageBytes()[0] == 0xF0 && slot[j].event->GetData1() != 0xF0) {
        ended = slot[j].event->GetData1() == 0xF7;
        if (!ended) now.push_back(slot[j].event->GetData1());
        ++j;
    }
    if (ended && now == bytes) return false;
    return PushEdit(doc_, "Edit Event", [slot, i, j, bytes](EditPlan& plan) {
        const EventRef& r = slot[i];
        plan.Slot(r.channel, r.time);
        if (!plan.Begin()) return false;
        CEventTree& tree = *plan.Track(r.channel);
        for (const EventRef& s : slot) tree.Unlink(s.event);
        auto put = [&](SongEvent* ev) {
            ev->time = r.time;
            tree.Add(ev);
        };
        for (size_t k = 0; k <= i; ++k) put(slot[k].event);
        for (uint8_t b : bytes) put(new EventMidi(r.time, 0xF0, b, 0));
        put(new EventMidi(r.time, 0xF0, 0xF7, 0));
        for (size_t k = j; k < slot.size(); ++k) put(slot[k].event);
        return true;
    });
}

// ---- document-wide --------------------------------------------------------------------------

bool NoteEditor::ChangeUnitsPerBeat(uint32_t unitsPerBeat) {
    const uint32_t limit = doc_.GetDocKind() == kDocKindMidi ? kMaxMidiUnits : kMaxUnits;
    if (unitsPerBeat < 1 || unitsPerBeat > limit) {
        Refuse(UnitsRangeMessage(limit));
        return false;
    }
    const uint32_t oldUnits = doc_.GetTicksPerBeat(kUnitsPerBeat);
    const uint32_t oldResolution = doc_.GetTicksPerBeat(kPlayResolution);
    if (unitsPerBeat == oldUnits) return false;
    CChanDoc& doc = doc_;
    const bool ok = PushEdit(
        doc_, "Change Units per Beat",
        [&doc, unitsPerBeat, oldUnits, oldResolution](EditPlan& plan) {
            for (int ch = 1; ch <= doc.GetChannelCount(); ++ch) plan.Window(ch, 0, kWholeTrack);
            plan.SelectNothing();
            if (!plan.Begin()) return false;
            doc.ChangeTicksPerBeat(unitsPerBeat);
            const uint32_t newUnits = doc.GetTicksPerBeat(kUnitsPerBeat);
            const uint32_t newResolution = doc.GetTicksPerBeat(kPlayResolution);
            // The resolutions are set as they are: the events are already where they belong.
            plan.OnApply([&doc, oldUnits, oldResolution, newUnits, newResolution](bool after) {
                doc.CChanDoc::SetTicksPerBeat(kUnitsPerBeat, after ? newUnits : oldUnits);
                doc.CChanDoc::SetTicksPerBeat(kPlayResolution,
                                              after ? newResolution : oldResolution);
            });
            return true;
        });
    if (ok) {
        selection_.clear();
        selected_.clear();
        const uint32_t now = doc_.GetTicksPerBeat(kUnitsPerBeat);
        rangeStart_ = RescaleTime(rangeStart_, oldUnits, now);
        rangeEnd_ = RescaleTime(rangeEnd_, oldUnits, now);
        insertionPoint_ = RescaleTime(insertionPoint_, oldUnits, now);
        Changed();
    }
    return ok;
}

bool NoteEditor::RemoveTempoChanges() {
    std::vector<EventRef> tempos;
    for (int ch : SelectedTracks())
        if (CEventTree* tree = Track(ch))
            for (SongEvent* e = tree->First(); e; e = tree->Next())
                if (e->IsMidi() && e->GetKind() == 0)
                    tempos.push_back(EventRef{ch, e, tree->CurrentTime()});
    if (tempos.empty()) return false;
    return PushEdit(doc_, "Remove Tempo Changes", [tempos](EditPlan& plan) {
        PlanSlots(plan, tempos);
        if (!plan.Begin()) return false;
        for (const EventRef& r : tempos) TakeAt(*plan.Track(r.channel), r.event, r.time);
        return true;
    });
}

std::optional<EventRef> NoteEditor::FindNextNonNote(int channel, const SongEvent* from,
                                                    uint32_t time) {
    CEventTree* tree = Track(channel);
    if (!tree) return std::nullopt;
    tree->Seek(from ? time : 0);
    SongEvent* e = tree->Next();
    if (from) {
        while (e && tree->CurrentTime() == time && e != from) e = tree->Next();
        if (e == from) e = tree->Next();
    }
    for (; e; e = tree->Next())
        if (!e->IsNoteOn()) return EventRef{channel, e, tree->CurrentTime()};
    return std::nullopt;
}

} // namespace editing
