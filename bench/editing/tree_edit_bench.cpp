// Tree editing on a tree of 10,000 nodes: each iteration makes one edit on a random node
// (Params, Delete, Cut and Paste, Make Accretion, Align Times, Define), undoes it, redoes it
// and undoes it again, so the tree is the same at every iteration. The counter per_command is
// the processor time of one command (Do, Undo or Redo) averaged over all of them.
#include "documents/tree_document.h"
#include "editing/tree_commands.h"
#include "editing/tree_editor.h"
#include "platform/user_messages.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

constexpr int kNodes = 10000;

// A balanced tree of And nodes over MidiNote leaves, breadth first, of `count` nodes.
void Build(CDendraDoc& doc, int count) {
    std::vector<ProtoType*> open{ReplaceWith(doc.GetRoot().childOne, "And")};
    int made = 2; // the Root and the first And
    for (size_t i = 0; i < open.size() && made < count; ++i) {
        for (ProtoType* slot : {open[i]->childOne, open[i]->childTwo}) {
            if (made >= count) break;
            const bool inner = made + 2 < count && open.size() < static_cast<size_t>(count) / 2;
            open.push_back(ReplaceWith(slot, inner ? "And" : "MidiNote"));
            ++made;
        }
    }
    doc.GetRoot().AlignTimes(0);
    doc.History().Clear();
}

void UndoRedo(benchmark::State& state) {
    platform::ScopedRecordingMessages messages; // the accretion question takes Cancel
    CDendraDoc doc;
    TreeClipboard clipboard;
    TreeEditor editor(doc, clipboard);
    Build(doc, kNodes);
    std::vector<NodePath> paths;
    std::vector<ProtoType*> stack{doc.GetRoot().childOne};
    while (!stack.empty()) {
        ProtoType* n = stack.back();
        stack.pop_back();
        paths.push_back(PathOf(*n));
        for (ProtoType* c : {n->childOne, n->childTwo}) {
            if (c) stack.push_back(c);
        }
    }
    std::mt19937 rng(7);
    int64_t commands = 0;
    int op = 0;
    for (auto _ : state) {
        ProtoType* n = NodeAt(doc, paths[rng() % paths.size()]);
        const size_t before = doc.History().Index();
        switch (op++ % 6) {
        case 0: {
            ParamDialog d = editor.ParamsDialogFor(n);
            d.startSeconds += 0.5;
            d.name = "Edited";
            editor.ApplyParams(n, d);
            break;
        }
        case 1:
            doc.SetSelectedNode(n);
            editor.Delete();
            break;
        case 2:
            doc.SetSelectedNode(n);
            if (editor.Cut()) editor.Paste();
            break;
        case 3:
            messages.QueueAnswer(platform::Answer::Cancel);
            editor.MakeAccretion(n);
            break;
        case 4:
            n->start = 1; // outside the stack: Align Times has something to do
            editor.AlignTimes(n->parent ? n->parent : n);
            break;
        case 5:
            doc.SetSelectedNode(n);
            if (editor.Delete()) editor.Define(doc.SelectedNode(), "Every");
            break;
        }
        const size_t made = doc.History().Index() - before;
        for (size_t i = 0; i < made; ++i) editor.Undo();
        for (size_t i = 0; i < made; ++i) editor.Redo();
        for (size_t i = 0; i < made; ++i) editor.Undo();
        commands += 4 * static_cast<int64_t>(made); // made, undone, redone, undone
        if (doc.History().Count() > 100) doc.History().Clear();
    }
    state.counters["per_command"] = benchmark::Counter(
        static_cast<double>(commands), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["nodes"] = static_cast<double>(paths.size() + 1);
}
BENCHMARK(UndoRedo)->Name("Edit/UndoRedo")->Unit(benchmark::kMicrosecond);

// The largest edit there is: the Root's whole branch deleted, undone, redone and undone.
void UndoRedoWholeTree(benchmark::State& state) {
    CDendraDoc doc;
    TreeClipboard clipboard;
    TreeEditor editor(doc, clipboard);
    Build(doc, kNodes);
    int64_t commands = 0;
    for (auto _ : state) {
        doc.SetSelectedNode(doc.GetRoot().childOne);
        editor.Delete();
        editor.Undo();
        editor.Redo();
        editor.Undo();
        commands += 4;
        doc.History().Clear();
    }
    state.counters["per_command"] = benchmark::Counter(
        static_cast<double>(commands), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(UndoRedoWholeTree)->Name("Edit/UndoRedoWholeTree")->Unit(benchmark::kMillisecond);

} // namespace
