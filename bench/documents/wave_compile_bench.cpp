// Compiling a wave: a 16-bit mono 44100 Hz Sine over TemporalPhase at 440 Hz, 60 s long,
// evaluated in blocks and written into the compiler's temporary sound file, then saved as a WAVE
// file. Counted in samples per second, the file writes included.
#include "documents/node_wave_access.h"
#include "documents/tree_document.h"
#include "nodes/builtin_nodes.h"
#include "nodes/numeric.h"
#include "nodes/wave.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"
#include "tree/registry.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <numbers>

namespace {

template <class T> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    if (q) q->AlignTimes(0);
    return static_cast<T*>(q);
}

void Compile_Sine(benchmark::State& state) {
    RegisterBuiltinNodeTypes();
    InstallNodeWaveAccess();
    platform::ScopedRecordingMessages quiet;
    CDendraDoc doc;
    doc.OnNewDocument();
    auto* c = Put<FxWaveCompiler>(doc.GetRoot().childOne, "WaveCompiler");
    c->SetFormat(PcmFormat(44100, 1, 16));
    const uint64_t frames = 60ull * 44100;
    c->SetFrames(frames);
    auto* sine = Put<Sine>(c->childOne, "Sine");
    auto* phase = Put<TemporalPhase>(sine->childOne, "TemporalPhase");
    phase->useHz = 1;
    phase->frequency = 440.0f;
    Put<Constant>(sine->childTwo, "Constant")->value = static_cast<float>(2 * std::numbers::pi);
    const std::string out = platform::GetTempName(false);
    for (auto _ : state) {
        if (!c->Compile()) state.SkipWithError("compile failed");
        std::string error;
        if (!GetWaveAccess()->SaveAsWave(*c->Sound(), c->wave.info, out, &error))
            state.SkipWithError(error.c_str());
    }
    std::remove(out.c_str());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(Compile_Sine)->Name("Compile/Sine")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
