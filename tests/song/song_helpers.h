// Shared helpers of the song tests: event-list documents filled with events, and a merge drain.
#pragma once

#include "documents/event_list_document.h"
#include "song/song_document.h"

#include <memory>
#include <string>
#include <vector>

namespace songtest {

// An event-list document with the given units per beat holding the events.
inline std::shared_ptr<CSELDoc> List(uint32_t units, std::vector<EventMidi*> events,
                                     const std::string& title = "list") {
    auto doc = std::make_shared<CSELDoc>();
    doc->OnNewDocument();
    doc->SetUnitsPerBeat(units);
    doc->SetTitle(title);
    for (EventMidi* e : events) doc->GetEvents().Add(e);
    return doc;
}

inline EventMidi* Note(uint32_t t, uint8_t key, uint8_t vel = 100, uint32_t dur = 100,
                       uint8_t channel = 0) {
    return new EventMidi(t, static_cast<uint8_t>(0x90 | channel), key, vel, dur);
}

struct Merged {
    int entry;
    uint32_t time;
    uint8_t status, data1, data2;
    uint32_t duration;
    int device;
};

// Every merged event up to the end marker (at most `limit`).
inline std::vector<Merged> Drain(CSongDoc& song, size_t limit = 1000) {
    std::vector<Merged> out;
    while (out.size() < limit) {
        int device = -1;
        SongEvent* e = song.GetNextEvent(device);
        if (CSongDoc::IsEndMarker(e)) break;
        out.push_back({song.CurrentEntry(), e->time,
                       e->IsMidi() ? static_cast<EventMidi*>(e)->status : uint8_t(0xFF),
                       e->GetData1(), e->GetData2(), e->GetDuration(), device});
    }
    return out;
}

inline std::vector<uint32_t> Times(const std::vector<Merged>& m) {
    std::vector<uint32_t> t;
    for (const Merged& x : m) t.push_back(x.time);
    return t;
}

} // namespace songtest
