// The built-in synthesizer as a mixer source: the mixer pulls its sound sample-exactly, block by
// block, at the mixer's rate (load the synth at AudioMixer::SampleRate()).
#pragma once

#include "sync/drivers/synth/gm_synth.h"
#include "sync/mixer/audio_mixer.h"

namespace dsync::mixer {

class SynthSource : public AudioSource {
public:
    explicit SynthSource(GmSynth& synth) : synth_(synth) {}
    // Real-time (GmSynth::Render is real-time once loaded). Add the source after the synth is
    // loaded and remove it before the synth is unloaded; a synth never loaded gives silence.
    void Render(float* left, float* right, uint32_t frames, uint64_t) override {
        Pull(left, right, frames, nullptr);
    }
    // On a JACK output: the synth places messages on the server's time line.
    void RenderAt(float* left, float* right, uint32_t frames, uint64_t,
                  const jack::BlockTime& at) override {
        Pull(left, right, frames, &at);
    }

private:
    void Pull(float* left, float* right, uint32_t frames, const jack::BlockTime* at) {
        if (synth_.Loaded()) {
            synth_.Render(left, right, frames, at);
        } else {
            for (uint32_t i = 0; i < frames; ++i) left[i] = right[i] = 0.0f;
        }
    }

    GmSynth& synth_;
};

} // namespace dsync::mixer
