// The mixer's cost: 32 looping voices at 48 kHz with gain, pan and a rate factor of 1.1, rendered
// in 256-frame blocks. realtime_fraction is the CPU time spent over the duration of the audio made.
#include "sync/mixer/audio_mixer.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <vector>

using namespace dsync::mixer;

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void MixerVoices(benchmark::State& state) {
    const int voices = int(state.range(0));
    const uint32_t rate = 48000, block = 256;
    AudioMixer mixer(rate);
    std::vector<Voice*> all;
    for (int v = 0; v < voices; ++v) {
        // Two seconds of 16-bit sound, half of them stereo, looping.
        PcmFormat f{uint16_t(v % 2 ? 2 : 1), 48000, 16};
        VoiceDesc d;
        d.format = f;
        d.bufferBytes = f.BytesPerSecond() * 2;
        d.isStatic = true;
        Voice* voice = mixer.CreateVoice(d);
        std::vector<int16_t> s(d.bufferBytes / 2);
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = int16_t(12000 * std::sin(double(i) * (0.01 + 0.001 * v)));
        voice->Write(s.data(), d.bufferBytes);
        voice->SetAttenuation(-100 * v);
        voice->SetPan(v * 600 - 9000);
        voice->SetFrequency(uint32_t(48000 * 1.1)); // rate factor 1.1
        voice->Play(true);
        all.push_back(voice);
    }
    std::vector<float> l(block), r(block);
    uint64_t frames = 0;
    double cpu = 0;
    for (auto _ : state) {
        double t0 = CpuSeconds();
        mixer.Render(l.data(), r.data(), block);
        cpu += CpuSeconds() - t0;
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
        frames += block;
    }
    state.counters["realtime_fraction"] = cpu / (double(frames) / rate);
    state.SetItemsProcessed(int64_t(frames));
}

} // namespace

BENCHMARK(MixerVoices)->Name("Mixer/Voices")->Arg(32)->Unit(benchmark::kMicrosecond);
