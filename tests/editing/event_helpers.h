// Helpers of the event-editing tests: documents filled with events, and what they hold.
#pragma once

#include "documents/event_list_document.h"
#include "documents/midi_document.h"
#include "events/archive.h"

#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

namespace edittest {

inline EventMidi* Note(uint32_t t, uint8_t key, uint32_t dur = 100, uint8_t vel = 100,
                       uint8_t channel = 0) {
    return new EventMidi(t, uint8_t(0x90 | channel), key, vel, dur);
}

inline EventMidi* Control(uint32_t t, uint8_t controller, uint8_t value) {
    return new EventMidi(t, 0xB0, controller, value);
}

inline EventMidi* Tempo(uint32_t t, uint32_t usPerBeat) {
    return new EventMidi(t, 0, uint8_t(usPerBeat >> 16), uint8_t(usPerBeat >> 8), 0,
                         uint8_t(usPerBeat));
}

// A new event-list document with the units per beat, holding the events.
inline std::unique_ptr<CSELDoc> List(uint32_t units, const std::vector<SongEvent*>& events) {
    auto doc = std::make_unique<CSELDoc>();
    doc->OnNewDocument();
    doc->SetUnitsPerBeat(units);
    for (SongEvent* e : events) doc->GetEvents().Add(e);
    doc->History().Clear();
    doc->SetModifiedFlag(false);
    return doc;
}

// A MIDI document of `channels` channels (no file behind it) with the units per beat.
inline std::unique_ptr<CMidiDoc> Midi(int channels, uint32_t units) {
    auto doc = std::make_unique<CMidiDoc>();
    doc->SetChannelCount(channels, false);
    doc->SetTicksPerBeat(kUnitsPerBeat, units);
    doc->SetTicksPerBeat(kPlayResolution, units);
    for (int ch = 1; ch <= channels; ++ch) doc->GetChannelEvents(ch);
    doc->SetModifiedFlag(false);
    return doc;
}

// (time, status, data1, data2, duration) of every MIDI event of a store, in order.
using Ev = std::tuple<uint32_t, int, int, int, uint32_t>;
inline std::vector<Ev> Events(CEventTree& store) {
    std::vector<Ev> v;
    for (SongEvent* e = store.First(); e; e = store.Next())
        v.emplace_back(store.CurrentTime(), e->IsMidi() ? static_cast<EventMidi*>(e)->status : -1,
                       e->GetData1(), e->GetData2(), e->GetDuration());
    return v;
}

inline std::vector<uint32_t> Times(CEventTree& store) {
    std::vector<uint32_t> v;
    for (SongEvent* e = store.First(); e; e = store.Next()) v.push_back(store.CurrentTime());
    return v;
}

// The bytes a channel document stores of its events: its resolutions, then every channel's
// store in the store's own layout, then the time of every event (the layout leaves out the times
// of value events). The layout's length field is a cache of the end of the last event that only
// a recomputation brings up to date: it is recomputed first.
inline std::vector<uint8_t> StoredBytes(CChanDoc& doc) {
    CArchive ar;
    ar.WriteU32(doc.GetTicksPerBeat(kUnitsPerBeat));
    ar.WriteU32(doc.GetTicksPerBeat(kPlayResolution));
    ar.WriteU32(uint32_t(doc.GetChannelCount()));
    for (int ch = 1; ch <= doc.GetChannelCount(); ++ch) {
        doc.GetChannelEvents(ch)->GetLength(1);
        doc.GetChannelEvents(ch)->Serialize(ar);
    }
    for (int ch = 1; ch <= doc.GetChannelCount(); ++ch)
        for (uint32_t t : Times(*doc.GetChannelEvents(ch))) ar.WriteU32(t);
    return ar.Buffer();
}

// The event stored at position i of a store, with its time.
inline std::pair<SongEvent*, uint32_t> At(CEventTree& store, size_t i) {
    SongEvent* e = store.First();
    for (size_t k = 0; k < i && e; ++k) e = store.Next();
    return {e, e ? store.CurrentTime() : 0};
}

} // namespace edittest
