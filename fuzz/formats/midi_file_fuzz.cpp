// Reads every track of arbitrary bytes as a MIDI file, looks up its meta texts, writes the events
// back and reads the result again.
//
// Checks: no track yields more events than the file has bytes (each event consumes at least one),
// reading in batches yields exactly what reading event by event does, and the channel messages and
// tempo events that were read come back at the same absolute times after a write and a second read.
#include "formats/midi_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Timed {
    uint64_t time;
    uint8_t status, data1, data2, data3;
    bool operator==(const Timed&) const = default;
};

// The channel messages and tempos of a track, with absolute times, as a file can hold them.
std::vector<Timed> Playable(const std::vector<MidiRawEvent>& events) {
    std::vector<Timed> out;
    uint64_t t = 0;
    for (const MidiRawEvent& e : events) {
        t += e.delta;
        if (e.status == 0)
            out.push_back({t, 0, e.data1, e.data2, e.data3});
        else if (e.status >= 0x80 && e.status < 0xF0) {
            int n = MidiDataBytes(e.status);
            out.push_back({t, e.status, uint8_t(n >= 1 ? e.data1 & 0x7F : 0),
                           uint8_t(n >= 2 ? e.data2 & 0x7F : 0), 0});
        }
    }
    return out;
}

std::vector<std::vector<MidiRawEvent>> ReadTracks(MidiFile& f, size_t size) {
    std::vector<std::vector<MidiRawEvent>> tracks(static_cast<size_t>(f.TrackCount()));
    for (int k = 0; k < f.TrackCount(); ++k) {
        MidiRawEvent ev;
        auto& track = tracks[static_cast<size_t>(k)];
        while (f.ReadEvent(k, ev) == 0) {
            track.push_back(ev);
            if (track.size() > size) std::abort(); // more events than bytes: not progressing
        }
    }
    return tracks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MidiFile f;
    int format = -1;
    const formats::Result opened = f.OpenMemory(data, size, format);
    if (!opened) {
        if (f.IsOpen() || opened.GetCode() == formats::Code::Ok) std::abort();
        return 0;
    }
    const int n = f.TrackCount();
    if (n < 0 || (format != 0 && format != 1)) std::abort();
    auto tracks = ReadTracks(f, size);

    // Reading in batches yields the very same events, whatever the batch size.
    {
        MidiFile b;
        if (!b.OpenMemory(data, size, format) || b.TrackCount() != n) std::abort();
        const size_t batch = size_t(1) + (size > 0 ? data[size / 2] % 9 : 0);
        std::vector<MidiRawEvent> buffer(batch);
        for (int k = 0; k < n; ++k) {
            std::vector<MidiRawEvent> read;
            size_t got;
            do {
                got = b.ReadEvents(k, buffer.data(), batch);
                read.insert(read.end(), buffer.begin(), buffer.begin() + std::ptrdiff_t(got));
                if (read.size() > size) std::abort();
            } while (got == batch);
            const auto& one = tracks[static_cast<size_t>(k)];
            if (read.size() != one.size() ||
                (!read.empty() &&
                 std::memcmp(read.data(), one.data(), read.size() * sizeof(MidiRawEvent)) != 0))
                std::abort();
        }
    }

    std::string text;
    for (int k = 0; k < n && k < 4; ++k)
        for (int type : {1, 3, 0x51, 0x7F})
            for (int guard = 0; f.LookupMeta(k, type, text) >= 0; ++guard)
                if (text.size() > size || guard > int(size)) std::abort();
    f.Close();

    MidiFile w;
    w.CreateInMemory(format);
    w.SetDivision(f.Division());
    for (size_t k = 0; k < tracks.size(); ++k) {
        w.BeginTrack(static_cast<int>(k));
        for (const MidiRawEvent& e : tracks[k]) w.WriteEvent(e);
    }
    std::vector<uint8_t> written;
    if (!w.Close(&written)) std::abort();
    if (tracks.empty()) return 0;

    MidiFile r;
    if (!r.OpenMemory(written.data(), written.size(), format) ||
        r.TrackCount() != int(tracks.size()))
        std::abort();
    auto again = ReadTracks(r, written.size());
    for (size_t k = 0; k < tracks.size(); ++k)
        if (Playable(tracks[k]) != Playable(again[k])) std::abort();
    return 0;
}
