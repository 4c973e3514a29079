// Node family benchmarks: sample-block evaluation of a sine tree, and an event-mode solve of a
// chord arpeggio tree.
#include "events/event_tree.h"
#include "nodes/builtin_nodes.h"
#include "nodes/control.h"
#include "nodes/float_sound.h"
#include "nodes/midi.h"
#include "nodes/node_params.h"
#include "nodes/numeric.h"
#include "tree/registry.h"
#include "tree/solve.h"

#include <benchmark/benchmark.h>

namespace {

const bool kNodeTypesRegistered = (RegisterBuiltinNodeTypes(), true);

template <class T> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    q->AlignTimes(0);
    return static_cast<T*>(q);
}

// Sine of (TemporalPhase at 441 Hz, Constant 2π) over 65,536-sample mono blocks at 44.1 kHz.
void SineBlock(benchmark::State& state) {
    Sine sine;
    auto* phase = Put<TemporalPhase>(sine.childOne, "TemporalPhase");
    phase->useHz = 1;
    phase->frequency = 441.0f;
    Put<Constant>(sine.childTwo, "Constant")->value = 6.2831855f;
    constexpr uint32_t kFrames = 65536;
    auto block = MakeSampleBlock(kFrames, 1, 44100, 0, kFrames * 64);
    FloatSound* sound = FloatSound::Of(*block);
    for (auto _ : state) {
        sine.Evaluate(*block);
        benchmark::DoNotOptimize(sound->samples.data());
        sound->startIndex += kFrames;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
}
BENCHMARK(SineBlock)->Name("Evaluate/SineBlock")->Unit(benchmark::kMillisecond);

// Every 250 ms: Arpeggiate (defaults) of a Major chord of a MidiNote fitted to C major.
void ChordArpeggio(benchmark::State& state) {
    Root root;
    root.duration = 10'000'000;
    root.AlignTimes(0);
    auto* every = Put<Every>(root.childOne, "Every");
    Put<Constant>(every->childOne, "Constant")->value = 250.0f;
    auto* arp = Put<Arpeggiate>(every->childTwo, "Arpeggiate");
    auto* chord = Put<ChordBuilder>(arp->childOne, "ChordBuilder");
    nodes::ApplyChord(*chord, "Major");
    auto* scale = Put<Scale>(chord->childOne, "Scale");
    scale->key = 3;
    nodes::ApplyScale(*scale, "Major", "Push Up");
    Put<MidiNote>(scale->childOne, "MidiNote");
    int64_t events = 0;
    for (auto _ : state) {
        CEventTree out;
        SolveInto(*every, out, 0);
        events += out.GetCount();
    }
    state.SetItemsProcessed(events);
    state.counters["events"] =
        static_cast<double>(events) / static_cast<double>(state.iterations());
}
BENCHMARK(ChordArpeggio)->Name("Solve/ChordArpeggio")->Unit(benchmark::kMillisecond);

} // namespace
