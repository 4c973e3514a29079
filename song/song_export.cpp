#include "song/song_export.h"

#include "documents/midi_document.h"
#include "formats/midi_file.h"
#include "platform/user_messages.h"
#include "song/song_document.h"

#include <algorithm>
#include <cmath>
#include <queue>

namespace {

struct TimedRaw {
    uint64_t time;
    uint64_t order;
    MidiRawEvent ev;
    bool operator>(const TimedRaw& o) const {
        return time != o.time ? time > o.time : order > o.order;
    }
};

struct TrackEvents {
    std::vector<TimedRaw> events; // in merge order (times never go back)
    std::priority_queue<TimedRaw, std::vector<TimedRaw>, std::greater<TimedRaw>> offs;
};

void Emit(TrackEvents& t, uint64_t time, uint64_t& order, uint8_t st, uint8_t d1, uint8_t d2,
          uint8_t d3 = 0) {
    // Note-offs due by now go first, so a note struck again when the previous one ends sounds.
    while (!t.offs.empty() && t.offs.top().time <= time) {
        t.events.push_back(t.offs.top());
        t.offs.pop();
    }
    t.events.push_back({time, order++, {0, st, d1, d2, d3}});
}

bool WriteSong(CSongDoc& song, MidiFile& out, const SongExportOptions& options) {
    double bpm =
        options.tempoBpm > 0.0 && std::isfinite(options.tempoBpm) ? options.tempoBpm : 60.0;
    uint32_t division = std::clamp<uint32_t>(song.GetTicksPerBeat(kPlayResolution), 1, 32767);
    const uint32_t resolution = song.GetTicksPerBeat(kPlayResolution);
    out.SetDivision(static_cast<int>(division));
    uint64_t endBeat = options.endBeat ? options.endBeat : song.GetLength(0);
    if (endBeat == 0) endBeat = song.GetLength(1);
    const uint64_t endTicks = endBeat * resolution;
    // Ticks of the song's resolution become ticks of the written division.
    auto toFile = [&](uint64_t t) {
        return division == resolution ? t : t * division / std::max<uint32_t>(resolution, 1);
    };

    const int n = song.EntryCount();
    std::vector<TrackEvents> tracks(static_cast<size_t>(n) + 1);
    uint64_t order = 0;
    uint32_t us = static_cast<uint32_t>(std::clamp(std::lround(60000000.0 / bpm), 1L, 0xFFFFFFL));
    Emit(tracks[0], 0, order, 0, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us));
    for (int i = 0; i < n; ++i) {
        const EntrySettings& s = song.Settings(i);
        if (s.muted || s.device == kDeviceNone) continue;
        TrackEvents& t = tracks[static_cast<size_t>(i) + 1];
        uint8_t ch = static_cast<uint8_t>(std::clamp(s.channel, 0, 15));
        Emit(t, 0, order, uint8_t(0xC0 | ch), uint8_t(std::clamp(s.program, 0, 127)), 0);
        Emit(t, 0, order, uint8_t(0xB0 | ch), 7, EntryVolumeController(s));
        Emit(t, 0, order, uint8_t(0xB0 | ch), 10, EntryPanController(s));
    }

    song.Seek(0.0, false);
    for (;;) {
        int device = 0;
        SongEvent* e = song.GetNextEvent(device);
        if (CSongDoc::IsEndMarker(e) || e->time >= endTicks) break;
        if (!e->IsMidi() || device == kDeviceNone) continue;
        const auto& m = static_cast<const EventMidi&>(*e);
        const uint64_t time = toFile(m.time);
        if (m.status == 0) {
            Emit(tracks[0], time, order, 0, m.data1, m.data2, m.data3);
            continue;
        }
        TrackEvents& t = tracks[static_cast<size_t>(song.CurrentEntry()) + 1];
        Emit(t, time, order, m.status, m.data1, m.data2, m.data3);
        if (m.IsNoteOn())
            t.offs.push({toFile(uint64_t(m.time) + m.duration),
                         order++,
                         {0, uint8_t(0x80 | (m.status & 0x0F)), m.data1, 0, 0}});
    }
    song.Seek(0.0, false);

    for (size_t j = 0; j < tracks.size(); ++j) {
        TrackEvents& t = tracks[j];
        while (!t.offs.empty()) {
            t.events.push_back(t.offs.top());
            t.offs.pop();
        }
        std::string name = j == 0 ? song.GetTitle() : song.Settings(int(j) - 1).name;
        if (!name.empty())
            out.WriteMeta(static_cast<int>(j), 3, name);
        else
            out.BeginTrack(static_cast<int>(j));
        uint64_t last = 0;
        for (const TimedRaw& r : t.events) {
            MidiRawEvent ev = r.ev;
            uint64_t delta = r.time > last ? r.time - last : 0;
            ev.delta = static_cast<uint32_t>(std::min<uint64_t>(delta, 0x0FFFFFFF));
            last = std::max(last, r.time);
            out.WriteEvent(ev);
        }
    }
    return true;
}

} // namespace

bool ExportSongAsMidi(CSongDoc& song, const std::string& path, const SongExportOptions& options) {
    MidiFile out;
    int format = 1;
    if (formats::Result r = out.Open(path, 'w', format); !r) {
        ShowMidiFileProblem(r);
        return false;
    }
    WriteSong(song, out, options);
    if (!out.Close()) {
        platform::MessageBox(kMidiOpenProblemMessage);
        return false;
    }
    return true;
}

std::vector<uint8_t> ExportSongToMidiBytes(CSongDoc& song, const SongExportOptions& options) {
    MidiFile out;
    out.CreateInMemory(1);
    WriteSong(song, out, options);
    std::vector<uint8_t> bytes;
    out.Close(&bytes);
    return bytes;
}
