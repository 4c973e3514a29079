// Loading and saving a dense MIDI file through the MIDI document.
#include "documents/midi_document.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// A format 1 file of 8 tracks of notes and controllers with running status, at least 5 MB.
const std::string& DenseFile() {
    static const std::string path = [] {
        std::string p =
            (std::filesystem::temp_directory_path() / "dendra-bench-dense.mid").string();
        const int tracks = 8;
        const int notesPerTrack = 200000;
        std::vector<uint8_t> b = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, tracks, 0x01, 0xE0};
        uint32_t seed = 1;
        auto rnd = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
        for (int k = 0; k < tracks; ++k) {
            std::vector<uint8_t> t;
            const uint8_t on = uint8_t(0x90 | k);
            t.insert(t.end(), {0x00, on, 60, 1}); // the rest runs on this status
            for (int i = 0; i < notesPerTrack; ++i) {
                uint8_t key = uint8_t(36 + rnd() % 60);
                t.insert(t.end(), {uint8_t(rnd() % 100), key, uint8_t(1 + rnd() % 126)}); // on
                t.insert(t.end(), {uint8_t(1 + rnd() % 100), key, 0});                    // off
                if (i % 16 == 0) {
                    t.insert(t.end(), {0x00, uint8_t(0xB0 | k), 1, uint8_t(rnd() % 128)});
                    t.insert(t.end(), {0x00, on, key, 64, 0x01, key, 0});
                }
            }
            t.insert(t.end(), {0x00, 0xFF, 0x2F, 0x00});
            b.insert(b.end(), {'M', 'T', 'r', 'k', uint8_t(t.size() >> 24), uint8_t(t.size() >> 16),
                               uint8_t(t.size() >> 8), uint8_t(t.size())});
            b.insert(b.end(), t.begin(), t.end());
        }
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return p;
    }();
    return path;
}

void MidiLoad(benchmark::State& state) {
    const std::string& path = DenseFile();
    auto size = std::filesystem::file_size(path);
    for (auto _ : state) {
        auto doc = std::make_unique<CMidiDoc>();
        if (!doc->OnOpenDocument(path)) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(doc->GetChannelCount());
        // Freeing the events is not part of loading.
        state.PauseTiming();
        doc.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    state.counters["file_MB"] = double(size) / 1e6;
}
BENCHMARK(MidiLoad)->Name("Midi/Load")->Unit(benchmark::kMillisecond);

// The byte layer alone: every raw event of every track, in batches as the document reads them.
void MidiReadEvents(benchmark::State& state) {
    const std::string& path = DenseFile();
    auto size = std::filesystem::file_size(path);
    std::vector<MidiRawEvent> batch(CMidiDoc::kBatchSize);
    for (auto _ : state) {
        MidiFile f;
        int format = 0;
        const int tracks = f.Open(path, 'r', format) ? f.TrackCount() : 0;
        uint64_t events = 0;
        for (int k = 0; k < tracks; ++k) {
            size_t got;
            do {
                got = 0;
                while (got < batch.size() && f.ReadEvent(k, batch[got]) == 0) ++got;
                events += got;
            } while (got == batch.size());
        }
        benchmark::DoNotOptimize(events);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(MidiReadEvents)->Name("Midi/ReadEvents")->Unit(benchmark::kMillisecond);

void MidiSave(benchmark::State& state) {
    const std::string& path = DenseFile();
    auto size = std::filesystem::file_size(path);
    CMidiDoc doc;
    if (!doc.OnOpenDocument(path)) state.SkipWithError("open failed");
    std::string out = (std::filesystem::temp_directory_path() / "dendra-bench-saved.mid").string();
    for (auto _ : state)
        if (!doc.OnSaveDocument(out)) state.SkipWithError("save failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    std::filesystem::remove(out);
}
BENCHMARK(MidiSave)->Name("Midi/Save")->Unit(benchmark::kMillisecond);

} // namespace
