// The text form of a tree of 100,000 nodes (a balanced tree of And nodes over MidiNote leaves,
// as `convert` writes it, unsolved): Json/LoadTree reads it into a tree document (parse, checks,
// the tree file's bytes, the tree built from them); Json/WriteTree prints it. The target for
// loading is at most 1 s.
#include "documents/tree_document.h"
#include "documents/tree_text.h"
#include "events/archive.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kNodes = 100000;

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
    doc.Options().solvable = false;
    doc.Options().saveGenerated = false;
}

const std::string& TreeTextOfBigTree() {
    static const std::string text = [] {
        CDendraDoc doc;
        Build(doc, kNodes);
        return TreeText(doc);
    }();
    return text;
}

void LoadTree(benchmark::State& state) {
    const std::string& text = TreeTextOfBigTree();
    for (auto _ : state) {
        CDendraDoc doc;
        CArchive in(text.data(), text.size());
        if (!doc.ReadDocument(in)) std::abort();
        benchmark::DoNotOptimize(doc.GetRoot().childOne);
    }
    state.counters["nodes"] = kNodes;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(LoadTree)->Name("Json/LoadTree")->Unit(benchmark::kMillisecond);

void WriteTree(benchmark::State& state) {
    CDendraDoc doc;
    Build(doc, kNodes);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = TreeText(doc);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["nodes"] = kNodes;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(WriteTree)->Name("Json/WriteTree")->Unit(benchmark::kMillisecond);

} // namespace
