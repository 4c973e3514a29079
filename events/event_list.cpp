#include "events/event_list.h"

#include <algorithm>

CNoteEventList::CNoteEventList(const CNoteEventList& other)
    : now(other.now), next(other.next), offset(other.offset) {
    for (SongEvent* e = other.head; e; e = e->next) AddCopyAt(*e, e->time);
}

CNoteEventList::~CNoteEventList() {
    RemoveAll();
}

SongEvent* CNoteEventList::First() {
    cursor = head;
    return cursor;
}

SongEvent* CNoteEventList::Next() {
    if (cursor) cursor = cursor->next;
    return cursor;
}

uint32_t CNoteEventList::CurrentTime() const {
    return cursor ? cursor->time : kNoTime;
}

SongEvent* CNoteEventList::FindAfter(uint32_t t) const {
    if (!head) return nullptr;
    for (SongEvent* e = head->next; e; e = e->next)
        if (e->time >= t) return e;
    return nullptr;
}

int CNoteEventList::Insert(SongEvent* event, uint32_t t) {
    if (!event) return 0;
    if (!head || head->time >= t) {
        event->next = head;
        head = event;
        return 1;
    }
    SongEvent* at = head;
    while (at->next && at->next->time <= t) at = at->next;
    event->next = at->next;
    at->next = event;
    return 1;
}

int CNoteEventList::Add(SongEvent* event) {
    if (!event) return 0;
    return Insert(event, event->time);
}

void CNoteEventList::Remove(SongEvent* event) {
    if (!event) return;
    SongEvent** link = &head;
    while (*link && *link != event) link = &(*link)->next;
    if (!*link) return; // not in this list
    *link = event->next;
    event->next = nullptr;
    if (cursor == event) cursor = *link;
    DeleteSongEvent(event);
}

int CNoteEventList::RemoveHead() {
    SongEvent* e = PopHead();
    if (!e) return 0;
    DeleteSongEvent(e);
    return 1;
}

SongEvent* CNoteEventList::PopHead() {
    SongEvent* e = head;
    if (!e) return nullptr;
    head = e->next;
    e->next = nullptr;
    cursor = head;
    return e;
}

void CNoteEventList::RemoveAll() {
    while (RemoveHead()) {
    }
}

void CNoteEventList::Unlink(SongEvent* event) {
    if (!event) return;
    SongEvent** link = &head;
    while (*link && *link != event) link = &(*link)->next;
    if (!*link) return;
    *link = event->next;
    event->next = nullptr;
    if (cursor == event) cursor = *link;
}

void CNoteEventList::ShiftAll(int32_t delta) {
    for (SongEvent* e = head; e; e = e->next) e->time += static_cast<uint32_t>(delta);
}

void CNoteEventList::SetChannelAll(int channel) {
    for (SongEvent* e = head; e; e = e->next)
        if (e->IsChannelMessage()) e->SetChannel(channel);
}

void CNoteEventList::Clear() {
    offset = 0;
    RemoveAll();
}

void CNoteEventList::AddCopyAt(const SongEvent& event, uint32_t t) {
    SongEvent* copy;
    if (event.IsWave()) {
        copy = event.Clone();
        static_cast<EventWave*>(copy)->flags |= kWavePlaybackCopy | kWaveOwnsSound;
    } else if (event.IsMidi()) {
        auto* midi = new EventMidi;
        midi->CopyFrom(event);
        copy = midi;
    } else {
        copy = event.Clone();
    }
    copy->time = t;
    Add(copy);
}

void CNoteEventList::AddMidiCopyAt(const SongEvent& event, uint32_t t) {
    auto* midi = new EventMidi;
    midi->CopyFrom(event);
    midi->time = t;
    Add(midi);
}

void CNoteEventList::AddWaveRef(const EventWave& wave, uint32_t t) {
    auto* ref = new EventWave;
    ref->flags |= kWaveReference;
    ref->CopyFrom(wave);
    ref->time = t;
    Add(ref);
}

void CNoteEventList::AddNoteOff(const SongEvent& note) {
    AddNoteOffAt(note, note.time);
}

void CNoteEventList::AddNoteOffAt(const SongEvent& note, uint32_t base) {
    auto* off = new EventMidi;
    off->CopyFrom(note);
    off->status = static_cast<uint8_t>(off->status - 0x10);
    off->data2 = 0;
    off->time = base + note.GetDuration();
    off->duration = 0;
    Add(off);
}

void CNoteEventList::MoveAllFrom(CNoteEventList& other) {
    if (&other == this) return;
    while (SongEvent* e = other.PopHead()) Add(e);
}

void CNoteEventList::MoveAllFromWithNext(CNoteEventList& other) {
    if (&other == this) return;
    next = std::min(next, other.next);
    MoveAllFrom(other);
}

int CNoteEventList::Count() const {
    int n = 0;
    for (const SongEvent* e = head; e; e = e->next) ++n;
    return n;
}
