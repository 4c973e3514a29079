// The tree editor's window on the offscreen platform: a full repaint of the tree view over a tree
// of 5,000 nodes; a parameter edit of the demo tree from OK to the re-solved strip painted; the
// longest idle-time chunk of the background solve (counter max_chunk_ms), which bounds how long
// input can wait while a tree solves.
#include "documents/tree_document.h"
#include "editing/tree_editor.h"
#include "gui/tree_view.h"
#include "gui/tree_window.h"
#include "nodes/builtin_nodes.h"
#include "nodes/control.h"
#include "nodes/midi.h"
#include "nodes/node_params.h"
#include "nodes/numeric.h"
#include "tree/registry.h"

#include <QApplication>
#include <QImage>

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <deque>

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "bench_tree_view";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    RegisterBuiltinNodeTypes();
    return app;
}

template <class T = ProtoType> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    if (q) q->AlignTimes(0);
    return static_cast<T*>(q);
}

// A tree of `count` nodes under the Root: Ands breadth first, their last Nulls made notes.
void BuildWide(CDendraDoc& doc, int count) {
    std::deque<ProtoType*> nulls = {doc.GetRoot().childOne};
    int made = 1;
    while (made + 2 < count && !nulls.empty()) {
        ProtoType* at = nulls.front();
        nulls.pop_front();
        ProtoType* n = Put(at, "And");
        nulls.push_back(n->childOne);
        nulls.push_back(n->childTwo);
        made += 2;
    }
    for (ProtoType* at : nulls) Put(at, "MidiNote");
}

// The demo tree of the examples program.
void BuildDemo(CDendraDoc& doc) {
    Root& root = doc.GetRoot();
    root.duration = 16000;
    root.AlignTimes(0);
    auto* both = Put(root.childOne, "And");
    auto* every = Put<Every>(both->childOne, "Every");
    Put<Constant>(every->childOne, "Constant")->value = 500.0f;
    auto* arp = Put<Arpeggiate>(every->childTwo, "Arpeggiate");
    auto* chord = Put<ChordBuilder>(arp->childOne, "ChordBuilder");
    nodes::ApplyChord(*chord, "Minor");
    auto* scale = Put<Scale>(chord->childOne, "Scale");
    scale->key = 0;
    nodes::ApplyScale(*scale, "Aeolian", "Push Up");
    auto* note = Put<MidiNote>(scale->childOne, "MidiNote");
    note->pitch = 57.0f;
    note->noteDuration = 400.0f;
    auto* pulse = Put<Every>(both->childTwo, "Every");
    Put<Constant>(pulse->childOne, "Constant")->value = 250.0f;
    auto* hat = Put<MidiDrumNote>(pulse->childTwo, "MidiDrumNote");
    hat->pitch = 42.0f;
    hat->noteDuration = 100.0f;
}

void TreeViewRepaint(benchmark::State& state) {
    App();
    CDendraDoc doc;
    doc.OnNewDocument();
    doc.Options().resolveOnChange = false;
    BuildWide(doc, 5000);
    TreeEditor editor(doc);
    gui::TreeView view(editor);
    view.resize(1280, 800);
    view.SetRows(static_cast<int>(state.range(0)));
    view.SetZoom(static_cast<double>(state.range(1)), QPoint(640, 0));
    QImage image(view.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        view.viewport()->render(&image);
        benchmark::DoNotOptimize(image.bits());
    }
    state.counters["nodes"] = 5000;
}
BENCHMARK(TreeViewRepaint)
    ->Args({4, 1})
    ->Args({8, 1})
    ->Args({16, 1})
    ->Args({16, 64})
    ->Unit(benchmark::kMillisecond);

// OK of a parameter dialog (ApplyParams, as the dialog's OK does), the background solve of the
// changed range to its end, the strip read again and painted.
void ParamEditToStrip(benchmark::State& state) {
    App();
    CDendraDoc doc;
    doc.OnNewDocument();
    BuildDemo(doc);
    doc.Solver().SolveAtOnce();
    TreeEditor editor(doc);
    gui::SolutionStrip strip(doc);
    strip.resize(1000, 140);
    QImage image(strip.size(), QImage::Format_ARGB32_Premultiplied);
    ProtoType* note = doc.GetRoot().childOne->childOne->childTwo->childOne->childOne->childOne;
    double pitch = 57;
    for (auto _ : state) {
        ParamDialog d = editor.ParamsDialogFor(note);
        pitch = pitch == 57 ? 58 : 57;
        d.fields[2].number = pitch;
        editor.ApplyParams(note, d);
        while (doc.IsSolving()) doc.OnIdle();
        strip.Reload();
        strip.render(&image);
        benchmark::DoNotOptimize(image.bits());
    }
    state.counters["notes"] = strip.NoteCount();
}
BENCHMARK(ParamEditToStrip)->Unit(benchmark::kMillisecond);

// The whole background solve, chunk by chunk as the idle timer runs it; max_chunk_ms is the
// longest single chunk (input waits at most that long).
void IdleChunks(benchmark::State& state) {
    App();
    CDendraDoc doc;
    doc.OnNewDocument();
    BuildDemo(doc);
    // Longer and denser: 64 beats with a note every 1/16 beat on the right.
    doc.GetRoot().duration = static_cast<uint32_t>(state.range(0));
    doc.GetRoot().AlignTimes(0);
    static_cast<Constant*>(doc.GetRoot().childOne->childTwo->childOne)->value = 62.5f;
    // Wall time, and this thread's processor time (what the chunk itself costs, without the
    // time a busy machine gives to other processes in between).
    auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    double longest = 0, longestCpu = 0;
    for (auto _ : state) {
        doc.BeginSolve();
        while (doc.IsSolving()) {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = cpuMs();
            doc.OnIdle();
            longestCpu = std::max(longestCpu, cpuMs() - c0);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
            longest = std::max(longest, ms);
        }
    }
    state.counters["max_chunk_ms"] = longest;
    state.counters["max_chunk_cpu_ms"] = longestCpu;
    state.counters["events"] = static_cast<double>(doc.Solution().GetCount());
}
BENCHMARK(IdleChunks)->Arg(16000)->Arg(64000)->Unit(benchmark::kMillisecond);

} // namespace
