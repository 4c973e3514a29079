// Speed of the channel event store on a million events, against a std::multimap baseline.
//
//   build/bench/events/bench_event_tree --benchmark_filter=EventTree
#include "events/archive.h"
#include "events/event_tree.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kSpacing = 1024;

std::vector<uint32_t> RandomTimes(size_t n, uint32_t limit, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> dist(0, limit);
    std::vector<uint32_t> out(n);
    for (uint32_t& t : out) t = dist(rng);
    return out;
}

// A balanced store of n note events, kSpacing apart.
std::unique_ptr<CEventTree> MakeStore(uint32_t n) {
    auto tree = std::make_unique<CEventTree>();
    for (uint32_t i = 0; i < n; ++i) tree->Add(new EventMidi(i * kSpacing, 0x90, 60, 100, 10));
    tree->Balance();
    return tree;
}

// The same store filled at random times (an edited store: its nodes and events lie in memory
// in the order they were added, not in time order), then balanced.
std::unique_ptr<CEventTree> MakeShuffledStore(uint32_t n) {
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    auto tree = std::make_unique<CEventTree>();
    for (uint32_t i : order) tree->Add(new EventMidi(i * kSpacing, 0x90, 60, 100, 10));
    tree->Balance();
    return tree;
}

void Insert(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    const std::vector<uint32_t> times = RandomTimes(n, n * kSpacing, 1);
    for (auto _ : state) {
        state.PauseTiming();
        auto tree = std::make_unique<CEventTree>();
        state.ResumeTiming();
        for (uint32_t t : times) tree->Add(new EventMidi(t, 0x90, 60, 100));
        benchmark::DoNotOptimize(tree->GetCount());
        state.PauseTiming();
        tree.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void OpenGap(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    auto tree = MakeStore(n);
    const std::vector<uint32_t> at = RandomTimes(1 << 16, n * kSpacing, 2);
    size_t i = 0;
    for (auto _ : state) tree->OpenGap(1, at[i++ & 0xFFFF]);
    state.SetItemsProcessed(state.iterations());
}

void CloseGap(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    auto tree = MakeStore(n);
    // Gaps of one unit between the events (the odd times hold none at first).
    const std::vector<uint32_t> at = RandomTimes(1 << 16, n * kSpacing / 2, 3);
    size_t i = 0;
    for (auto _ : state) tree->CloseGap(1, at[i++ & 0xFFFF] | 1);
    state.SetItemsProcessed(state.iterations());
    state.counters["events_left"] = static_cast<double>(tree->GetCount());
}

void SeekIn(benchmark::State& state, CEventTree* tree) {
    const auto n = static_cast<uint32_t>(state.range(0));
    const std::vector<uint32_t> at = RandomTimes(1 << 16, n * kSpacing, 4);
    size_t i = 0;
    for (auto _ : state) {
        tree->Seek(at[i++ & 0xFFFF]);
        benchmark::DoNotOptimize(tree->CurrentTime());
    }
    state.SetItemsProcessed(state.iterations());
}

void Seek(benchmark::State& state) {
    SeekIn(state, MakeStore(static_cast<uint32_t>(state.range(0))).get());
}

void SeekShuffled(benchmark::State& state) {
    SeekIn(state, MakeShuffledStore(static_cast<uint32_t>(state.range(0))).get());
}

void IterateIn(benchmark::State& state, CEventTree* tree) {
    const auto n = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        uint64_t sum = 0;
        for (SongEvent* e = tree->First(); e; e = tree->Next()) sum += tree->CurrentTime();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void Iterate(benchmark::State& state) {
    IterateIn(state, MakeStore(static_cast<uint32_t>(state.range(0))).get());
}

void IterateShuffled(benchmark::State& state) {
    IterateIn(state, MakeShuffledStore(static_cast<uint32_t>(state.range(0))).get());
}

void Load(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> bytes;
    {
        auto tree = MakeStore(n);
        CArchive out;
        tree->Serialize(out);
        bytes = out.Buffer();
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto in = std::make_unique<CArchive>(bytes);
        auto tree = std::make_unique<CEventTree>();
        state.ResumeTiming();
        tree->Serialize(*in);
        benchmark::DoNotOptimize(tree->GetCount());
        state.PauseTiming();
        if (in->Failed() || tree->GetCount() != static_cast<int32_t>(n)) {
            state.SkipWithError("store did not load");
        }
        tree.reset();
        in.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// What the store saves: moving every event of the later half of a multimap by the same amount.
void MultimapShiftBaseline(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    std::multimap<uint64_t, EventMidi*> map;
    std::vector<std::unique_ptr<EventMidi>> events;
    for (uint32_t i = 0; i < n; ++i) {
        events.push_back(std::make_unique<EventMidi>(i * kSpacing, 0x90, 60, 100));
        map.emplace_hint(map.end(), uint64_t{i} * kSpacing, events.back().get());
    }
    const uint64_t middle = uint64_t{n / 2} * kSpacing;
    for (auto _ : state) {
        // From the end backwards, so that each moved node goes in just before the one moved
        // before it.
        auto it = map.end();
        while (it != map.begin()) {
            auto prev = std::prev(it);
            if (prev->first < middle) break;
            auto node = map.extract(prev);
            node.key() += 1;
            it = map.insert(it, std::move(node));
        }
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(Insert)->Name("EventTree/Insert")->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenGap)->Name("EventTree/OpenGap")->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(CloseGap)->Name("EventTree/CloseGap")->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(Seek)->Name("EventTree/Seek")->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(Iterate)->Name("EventTree/Iterate")->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(SeekShuffled)
    ->Name("EventTree/SeekShuffledFill")
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(IterateShuffled)
    ->Name("EventTree/IterateShuffledFill")
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Load)->Name("EventTree/Load")->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(MultimapShiftBaseline)
    ->Name("EventTree/MultimapShiftBaseline")
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
