// The built-in synth rendered through the manual timer: a note sounds where its tick maps to.
#include "sync/drivers/synth/gm_synth.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync_test_util.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

constexpr double kRate = 44100;
const char* kFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";

struct Render {
    std::vector<float> left, right;
};

// Plays a note at tick t through the clock and renders 10 ms per timer period.
Render PlayNote(uint32_t tick, uint32_t res, uint32_t tempoUs, float balance = 0.5f) {
    auto& synth = dsync::BuiltInSynth();
    synth.SetSoundFontSetting(kFont);
    synth.Unload(); // a fresh synth for each render
    EXPECT_TRUE(synth.Load(kRate));
    synth.SetTimeOrigin(0, 0);
    platform::ManualTimer timer;
    CSync clock;
    EXPECT_EQ(clock.OpenSync(0, 0, 10, &timer), 0u);
    clock.SetResolution(res);
    clock.SetTempo(tempoUs);
    CMidiOut out;
    EXPECT_EQ(out.OpenMidiOut(0, 0, &clock, 0x3000), 0u); // device 0: the built-in synth
    out.SetVolume(1.0f);
    out.SetBalance(balance);
    EventMidi note(tick, 0x90, 72, 127, res / 2);
    EXPECT_EQ(out.MidiOut(&note), 0u);
    Render r;
    const uint32_t frames = 441;
    std::vector<float> l(frames), rr(frames);
    // Sample 0 of the render is the clock's start; the first period covers samples 0 to 440.
    clock.StartSync(0);
    synth.Load(kRate); // the same synth, already loaded
    int64_t start = synth.RenderedFrames();
    synth.SetTimeOrigin(0, start);
    for (int i = 0; i < 400; ++i) {
        timer.Advance(1);
        synth.Render(l.data(), rr.data(), frames);
        r.left.insert(r.left.end(), l.begin(), l.end());
        r.right.insert(r.right.end(), rr.begin(), rr.end());
    }
    out.Close();
    clock.CloseSync();
    // Let the reset and the note-offs through.
    synth.Render(l.data(), rr.data(), frames);
    return r;
}

int64_t Onset(const std::vector<float>& x) {
    const float threshold = std::pow(10.0f, -40.0f / 20.0f);
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > threshold) return int64_t(i);
    return -1;
}

TEST(Synth, SoundFontSearch) {
    EXPECT_EQ(dsync::GmSynth::FindSoundFont(kFont), kFont);
    std::string fallback = dsync::GmSynth::FindSoundFont("/no/such/file.sf2");
    EXPECT_FALSE(fallback.empty());
    EXPECT_EQ(dsync::MidiOutputDevices().at(0).name, "Dendra GM Synth");
}

TEST(Synth, NoteSoundsAtTheSampleItsTickMapsTo) {
    // The sound's own attack, from a note at sample 0 (a block boundary).
    const int64_t attack = Onset(PlayNote(0, 480, 1000000).left);
    ASSERT_GE(attack, 0);
    for (uint32_t tick : {1000u, 1001u, 1013u, 1700u}) {
        SCOPED_TRACE(tick);
        Render r = PlayNote(tick, 480, 1000000);
        // Tick t at 480 ticks per second is at t / 480 s.
        int64_t expected = int64_t(std::llround(tick * kRate / 480.0));
        int64_t onset = Onset(r.left);
        ASSERT_GE(onset, 0);
        EXPECT_EQ(std::count_if(r.left.begin(), r.left.begin() + expected,
                                [](float v) { return std::fabs(v) > 1e-6f; }),
                  0);
        // Messages take effect at the synth's first 64-frame block boundary at or after their
        // sample; the sound then starts exactly as the reference did.
        int64_t block = (expected + 63) / 64 * 64;
        EXPECT_EQ(onset, block + attack);
    }
}

TEST(Synth, RendersAreRepeatableAndBalanceWorks) {
    Render a = PlayNote(500, 480, 500000);
    Render b = PlayNote(500, 480, 500000);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(Onset(a.left), Onset(b.left));
    Render hardLeft = PlayNote(500, 480, 500000, 0.0f);
    EXPECT_GE(Onset(hardLeft.left), 0);
    EXPECT_EQ(Onset(hardLeft.right), -1);
}

} // namespace
