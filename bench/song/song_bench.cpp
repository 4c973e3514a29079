// The song's merge: events per second through GetNextEvent over 40 entries.
#include "documents/event_list_document.h"
#include "song/song_document.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int kEntries = 40;
constexpr int kEventsPerEntry = 100000;

// 40 event lists of 100,000 notes each, at staggered times so the entries interleave.
CSongDoc& BenchSong() {
    static CSongDoc* song = [] {
        auto* s = new CSongDoc;
        uint32_t seed = 7;
        for (int k = 0; k < kEntries; ++k) {
            auto doc = std::make_shared<CSELDoc>();
            doc->OnNewDocument();
            {
                CEventTree::Appender append(doc->GetEvents());
                uint32_t t = static_cast<uint32_t>(k);
                for (int i = 0; i < kEventsPerEntry; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    t += 1 + (seed >> 16) % 50;
                    append.Append(new EventMidi(t, uint8_t(0x90 | (k % 16)),
                                                uint8_t(36 + (seed >> 8) % 60), 100, 20));
                }
            }
            s->IncludeDocument(doc);
        }
        for (int k = 0; k < kEntries; ++k) s->Settings(k).transpose = k % 3;
        s->Prepare();
        return s;
    }();
    return *song;
}

void BM_SongMerge(benchmark::State& state) {
    CSongDoc& song = BenchSong();
    int64_t events = 0;
    for (auto _ : state) {
        song.Seek(0.0, false);
        int device = 0;
        for (;;) {
            SongEvent* e = song.GetNextEvent(device);
            if (e->time >= kNoTime) break;
            benchmark::DoNotOptimize(e->time);
            ++events;
        }
    }
    if (events != static_cast<int64_t>(state.iterations()) * kEntries * kEventsPerEntry)
        state.SkipWithError("the merge lost events");
    state.SetItemsProcessed(events);
}
BENCHMARK(BM_SongMerge)->Name("Song/Merge")->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
