#include "editing/event_clipboard.h"

#include <algorithm>

namespace editing {

std::vector<int> EventClipboard::Channels() const {
    std::vector<int> v;
    for (const Entry& e : entries_) v.push_back(e.channel);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

void EventClipboard::Set(const std::vector<EventRef>& events, uint32_t start, uint32_t length,
                         uint32_t unitsPerBeat) {
    std::vector<Entry> copies;
    copies.reserve(events.size());
    for (const EventRef& r : events) {
        SongEvent* copy = OwnedCopy(*r.event);
        if (!copy) continue;
        copy->next = nullptr;
        copy->time = r.time >= start ? r.time - start : 0;
        copies.push_back(Entry{r.channel, copy->time, OwnedEvent(copy)});
    }
    entries_ = std::move(copies);
    length_ = length;
    unitsPerBeat_ = unitsPerBeat ? unitsPerBeat : kDefaultUnitsPerBeat;
    ++generation_;
}

void EventClipboard::Clear() {
    entries_.clear();
    length_ = 0;
    ++generation_;
}

EventClipboard& TheEventClipboard() {
    // Never destroyed: wave copies it may hold at exit would otherwise outlive the registry of
    // named mutexes they release.
    static EventClipboard* clipboard = new EventClipboard;
    return *clipboard;
}

} // namespace editing
