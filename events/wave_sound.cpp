#include "events/wave_sound.h"

#include <atomic>

namespace {
std::atomic<WaveSoundFactory> g_factory{nullptr};
}

void SetWaveSoundFactory(WaveSoundFactory factory) { g_factory.store(factory); }

WaveSound* MakeWaveSoundForLoading() {
    WaveSoundFactory f = g_factory.load();
    return f ? f() : nullptr;
}
