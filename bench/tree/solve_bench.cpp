// Solving speed: a Root of 10,000,000 ms over Every (Constant 10) and a MidiNote.
#include "events/event_list.h"
#include "events/event_tree.h"
#include "nodes/builtin_nodes.h"
#include "nodes/control.h"
#include "nodes/numeric.h"
#include "tree/registry.h"
#include "tree/solve.h"

#include <benchmark/benchmark.h>

namespace {

const bool kNodeTypesRegistered = (RegisterBuiltinNodeTypes(), true);

void BuildEveryNote(Root& root) {
    root.duration = 10000000;
    root.AlignTimes(0);
    ProtoType* every = ReplaceWith(root.childOne, "Every");
    every->AlignTimes(0);
    static_cast<Constant*>(ReplaceWith(every->childOne, "Constant"))->value = 10.0f;
    ReplaceWith(every->childTwo, "MidiNote")->duration = root.duration;
}

void EveryNote(benchmark::State& state) {
    Root root;
    BuildEveryNote(root);
    CNoteEventList out;
    int64_t events = 0;
    for (auto _ : state) {
        root.SolveInto(out, 0);
        events += out.Count();
    }
    state.counters["events/s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(EveryNote)->Name("Solve/EveryNote")->Unit(benchmark::kMillisecond);

// One 2000 ms background chunk, averaged over the whole background solve.
void Chunk(benchmark::State& state) {
    Root root;
    BuildEveryNote(root);
    CEventTree solution;
    TreeSolver solver(root, solution);
    solver.BeginSolve();
    for (auto _ : state) {
        if (!solver.Idle()) {
            state.PauseTiming();
            solver.BeginSolve();
            state.ResumeTiming();
        }
    }
    state.counters["events"] = static_cast<double>(solution.GetCount());
}
BENCHMARK(Chunk)->Name("Solve/Chunk")->Unit(benchmark::kMillisecond)->Iterations(5000);

} // namespace
