#include "sync/mixer/audio_mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

using namespace dsync::mixer;

namespace {

std::vector<uint8_t> Bytes16(const std::vector<int16_t>& s) {
    std::vector<uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

Voice* StaticVoice(AudioMixer& m, const PcmFormat& f, const std::vector<uint8_t>& data) {
    VoiceDesc d;
    d.format = f;
    d.bufferBytes = uint32_t(data.size());
    d.isStatic = true;
    Voice* v = m.CreateVoice(d);
    if (v) {
        EXPECT_EQ(v->Write(data.data(), uint32_t(data.size())), data.size());
    }
    return v;
}

// Pulls frames and returns the left and right channels.
void PullStereo(OfflineSink& sink, uint32_t frames, std::vector<float>& l, std::vector<float>& r) {
    const float* p = sink.Pull(frames);
    l.resize(frames);
    r.resize(frames);
    for (uint32_t i = 0; i < frames; ++i) l[i] = p[2 * i], r[i] = p[2 * i + 1];
}

} // namespace

TEST(MixerGain, AttenuationAndPanLaw) {
    EXPECT_EQ(GainOf(0), 1.0f);
    EXPECT_EQ(GainOf(-10000), 0.0f);
    EXPECT_EQ(GainOf(-20000), 0.0f);
    EXPECT_NEAR(GainOf(-600), std::pow(10.0, -0.3), 1e-7);
    // Volume 0.5 gives an attenuation of (0.5 - 1) * 10000 = -5000: 50 dB down.
    EXPECT_NEAR(GainOf(int32_t((0.5 - 1) * 10000)), std::pow(10.0, -2.5), 1e-9);
    float l, r;
    PanGains(-10000, l, r);
    EXPECT_EQ(l, 1.0f);
    EXPECT_EQ(r, 0.0f);
    PanGains(3000, l, r);
    EXPECT_NEAR(l, std::pow(10.0, -1.5), 1e-8);
    EXPECT_EQ(r, 1.0f);
    PanGains(0, l, r);
    EXPECT_EQ(l, 1.0f);
    EXPECT_EQ(r, 1.0f);
}

TEST(MixerArithmetic, SixteenBitMonoAndEightBitStereoWithMaster) {
    AudioMixer m;
    OfflineSink sink(m, 22050);
    std::vector<int16_t> mono = {0, 1000, -1000, 32767, -32768, 123, -7, 4000};
    Voice* a = StaticVoice(m, {1, 22050, 16}, Bytes16(mono));
    std::vector<uint8_t> stereo = {128, 0, 255, 128, 0, 255, 200, 60, 129, 127, 1, 2, 3, 4, 5, 6};
    Voice* b = StaticVoice(m, {2, 22050, 8}, stereo);
    ASSERT_TRUE(a && b);
    a->SetAttenuation(-600);
    a->SetPan(2000);
    b->SetPan(-1500);
    m.SetMasterAttenuation(-300);
    m.SetMasterPan(500);
    a->Play(false);
    b->Play(false);
    std::vector<float> l, r;
    PullStereo(sink, 16, l, r);
    const float ga = GainOf(-600);
    const float pal = GainOf(-2000), pbr = GainOf(-1500);
    const float gm = GainOf(-300), pml = GainOf(-500);
    for (size_t i = 0; i < 16; ++i) {
        float am = i < mono.size() ? float(mono[i]) / 32768.0f : 0.0f;
        float bl = i < 8 ? float(int(stereo[2 * i]) - 128) / 128.0f : 0.0f;
        float br = i < 8 ? float(int(stereo[2 * i + 1]) - 128) / 128.0f : 0.0f;
        float el = (am * (ga * pal) + bl) * (gm * pml);
        float er = (am * ga + br * pbr) * gm;
        EXPECT_NEAR(l[i], el, 1e-6) << i;
        EXPECT_NEAR(r[i], er, 1e-6) << i;
    }
    EXPECT_FALSE(a->IsPlaying());
    EXPECT_FALSE(b->IsPlaying());
}

TEST(MixerStatic, PlaysOnceThenSilenceAndPlaysAgain) {
    AudioMixer m;
    OfflineSink sink(m, 48000);
    std::vector<int16_t> s(1000);
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(i + 1);
    Voice* v = StaticVoice(m, {1, 48000, 16}, Bytes16(s));
    ASSERT_TRUE(v);
    v->Play(false);
    std::vector<float> l, r;
    PullStereo(sink, 3000, l, r);
    for (size_t i = 0; i < 3000; ++i) {
        float e = i < 1000 ? float(i + 1) / 32768.0f : 0.0f;
        ASSERT_EQ(l[i], e) << i;
        ASSERT_EQ(r[i], e) << i;
    }
    EXPECT_FALSE(v->IsPlaying());
    EXPECT_TRUE(v->WaitEvents(0) & kVoiceEnded);
    v->Play(false); // from the beginning again
    PullStereo(sink, 10, l, r);
    EXPECT_EQ(l[0], 1.0f / 32768.0f);
    EXPECT_EQ(l[9], 10.0f / 32768.0f);
}

TEST(MixerStatic, LoopsSeamlesslyAndNotifiesEachPass) {
    AudioMixer m;
    OfflineSink sink(m, 48000);
    std::vector<int16_t> s(100);
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(100 * i - 5000);
    VoiceDesc d;
    d.format = {1, 48000, 16};
    d.bufferBytes = 200;
    d.isStatic = true;
    d.notifications = {200};
    Voice* v = m.CreateVoice(d);
    ASSERT_TRUE(v);
    v->Write(Bytes16(s).data(), 200);
    v->Play(true);
    std::vector<float> l, r;
    int passes = 0;
    std::vector<float> all;
    for (int k = 0; k < 4; ++k) {
        PullStereo(sink, 250, l, r);
        all.insert(all.end(), l.begin(), l.end());
        if (v->WaitEvents(0) & NotificationBit(0)) ++passes;
    }
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], float(s[i % 100]) / 32768.0f) << i;
    EXPECT_TRUE(v->IsPlaying());
    EXPECT_GE(passes, 3);
    v->Stop();
    PullStereo(sink, 64, l, r);
    for (float x : l) EXPECT_EQ(x, 0.0f);
}

// A ring of three segments refilled on each notification keeps a continuous stream, and the
// notifications arrive in segment order, each once the segment's last byte has been consumed.
TEST(MixerStreaming, SegmentNotificationsDriveRefills) {
    AudioMixer m;
    OfflineSink sink(m, 48000);
    const uint32_t seg = 600; // 300 frames
    VoiceDesc d;
    d.format = {1, 48000, 16};
    d.bufferBytes = 3 * seg;
    d.notifications = {seg, 2 * seg, 3 * seg};
    Voice* v = m.CreateVoice(d);
    ASSERT_TRUE(v);
    int16_t next = 1;
    auto fill = [&](uint32_t bytes) {
        std::vector<int16_t> s(bytes / 2);
        for (auto& x : s) x = next, next = int16_t(next % 20000 + 1);
        ASSERT_EQ(v->Write(s.data(), bytes), bytes);
    };
    fill(3 * seg);
    EXPECT_EQ(v->WritableBytes(), 0u);
    v->Play(false);
    std::vector<int> order;
    std::vector<float> all, l, r;
    for (int k = 0; k < 40; ++k) {
        uint64_t before = v->ConsumedBytes();
        PullStereo(sink, 128, l, r);
        all.insert(all.end(), l.begin(), l.end());
        uint32_t bits = v->WaitEvents(0);
        for (int i = 0; i < 3; ++i) {
            if (!(bits & NotificationBit(i))) continue;
            order.push_back(i);
            // The segment's end lies within the bytes this pull consumed.
            uint64_t end = uint64_t(i + 1) * seg;
            while (end <= before) end += 3 * seg;
            EXPECT_LE(end, v->ConsumedBytes()) << "segment " << i;
            fill(seg);
        }
    }
    ASSERT_GE(order.size(), 6u);
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], int(i % 3));
    int16_t expect = 1;
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i], float(expect) / 32768.0f) << i;
        expect = int16_t(expect % 20000 + 1);
    }
    EXPECT_EQ(v->Underruns(), 0u);
}

TEST(MixerStreaming, RunningDryPlaysSilenceWithoutLosingData) {
    AudioMixer m(48000); // not offline: Render never waits
    VoiceDesc d;
    d.format = {1, 48000, 16};
    d.bufferBytes = 4096;
    Voice* v = m.CreateVoice(d);
    ASSERT_TRUE(v);
    std::vector<int16_t> s(100);
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(i + 1);
    v->Write(s.data(), 200);
    v->Play(false);
    std::vector<float> l(256), r(256);
    m.Render(l.data(), r.data(), 256);
    EXPECT_EQ(l[99], 100.0f / 32768.0f);
    EXPECT_EQ(l[100], 0.0f);
    EXPECT_GE(v->Underruns(), 1u);
    EXPECT_TRUE(v->IsPlaying());
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(1000 + i);
    v->Write(s.data(), 200);
    v->EndOfStream();
    m.Render(l.data(), r.data(), 256);
    EXPECT_EQ(l[0], 1000.0f / 32768.0f);
    EXPECT_EQ(l[99], 1099.0f / 32768.0f);
    EXPECT_EQ(l[100], 0.0f);
    EXPECT_FALSE(v->IsPlaying()); // stopped by itself after the last byte
    EXPECT_TRUE(v->WaitEvents(0) & kVoiceEnded);
}

// Played at frequency F, a sound of N frames at the mixer rate R lasts ceil(N * R / F) frames.
TEST(MixerFrequency, RateFactorScalesLength) {
    struct Case {
        uint32_t rate, frequency, frames;
    };
    for (Case c : {Case{48000, 96000, 4800}, Case{48000, 24000, 4800}, Case{44100, 0, 4410},
                   Case{22050, 24255, 2205}}) {
        AudioMixer m;
        OfflineSink sink(m, 48000);
        std::vector<int16_t> s(c.frames, 8000);
        Voice* v = StaticVoice(m, {1, c.rate, 16}, Bytes16(s));
        ASSERT_TRUE(v);
        v->SetFrequency(c.frequency);
        v->Play(false);
        uint32_t hz = c.frequency ? c.frequency : c.rate;
        uint64_t expect = (uint64_t(c.frames) * 48000 + hz - 1) / hz;
        uint64_t played = 0;
        while (v->IsPlaying() && played < 100000) {
            sink.Pull(1);
            ++played;
        }
        EXPECT_EQ(played, expect) << c.rate << " at " << hz;
    }
}

TEST(MixerFrequency, HeldToLimits) {
    AudioMixer m;
    VoiceDesc d;
    d.format = {1, 22050, 8};
    d.bufferBytes = 100;
    Voice* v = m.CreateVoice(d);
    ASSERT_TRUE(v);
    v->SetFrequency(22050 * 10);
    EXPECT_EQ(v->Frequency(), 100000u);
    v->SetFrequency(10);
    EXPECT_EQ(v->Frequency(), 100u);
    v->SetAttenuation(300);
    EXPECT_EQ(v->Attenuation(), 0);
    v->SetPan(-30000);
    EXPECT_EQ(v->Pan(), -10000);
}

namespace {

// RMS error (relative to the tone's RMS) of a resampled tone against the ideal one.
double ToneError(uint32_t rate, double hz, uint32_t mixRate, double* level = nullptr) {
    AudioMixer m;
    OfflineSink sink(m, mixRate);
    const uint32_t frames = rate; // one second
    std::vector<int16_t> s(frames);
    for (uint32_t i = 0; i < frames; ++i)
        s[i] = int16_t(std::lrint(16000.0 * std::sin(2 * M_PI * hz * i / rate)));
    Voice* v = StaticVoice(m, {1, rate, 16}, Bytes16(s));
    v->Play(false);
    const float* p = sink.Pull(mixRate);
    double err = 0, sum = 0;
    int n = 0;
    for (uint32_t i = mixRate / 10; i < mixRate * 9 / 10; ++i, ++n) {
        double ideal = 16000.0 / 32768.0 * std::sin(2 * M_PI * hz * i / mixRate);
        err += (p[2 * i] - ideal) * (p[2 * i] - ideal);
        sum += ideal * ideal;
        if (level) *level += double(p[2 * i]) * p[2 * i];
    }
    if (level) *level = std::sqrt(*level / n) / (16000.0 / 32768.0 / std::sqrt(2.0));
    return std::sqrt(err / sum);
}

} // namespace

TEST(MixerResampler, TonesStayCleanAcrossRates) {
    // 1 kHz and 8 kHz from 44.1 kHz to 48 kHz, and 5 kHz from 96 kHz down to 48 kHz.
    EXPECT_LT(20 * std::log10(ToneError(44100, 1000, 48000)), -70.0);
    EXPECT_LT(20 * std::log10(ToneError(44100, 8000, 48000)), -70.0);
    EXPECT_LT(20 * std::log10(ToneError(96000, 5000, 48000)), -70.0);
}

TEST(MixerResampler, PlayingFasterDoesNotFoldBack) {
    // A 30 kHz tone in a 96 kHz sound played into 48 kHz lies above the output's Nyquist
    // frequency: it must be filtered out, not folded to 18 kHz.
    double level = 0;
    ToneError(96000, 30000, 48000, &level);
    EXPECT_LT(20 * std::log10(level), -60.0);
}

namespace {

class CountingSource : public AudioSource {
public:
    void Render(float* left, float* right, uint32_t frames, uint64_t at) override {
        for (uint32_t i = 0; i < frames; ++i) {
            left[i] = float((at + i) % 1000) / 1000.0f;
            right[i] = -left[i];
        }
    }
};

// One scene with a static voice, a streaming voice refilled by its own thread, and a source.
std::vector<float> RenderScene() {
    AudioMixer m;
    OfflineSink sink(m, 48000);
    CountingSource src;
    m.AddSource(&src);
    std::vector<int16_t> s(7000);
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t((i * 37) % 20000 - 10000);
    Voice* a = StaticVoice(m, {1, 22050, 16}, Bytes16(s));
    a->SetFrequency(26000);
    a->SetPan(-3000);
    a->Play(true);
    VoiceDesc d;
    d.format = {2, 44100, 16};
    d.bufferBytes = 3 * 1764;
    d.notifications = {1764, 2 * 1764, 3 * 1764};
    Voice* b = m.CreateVoice(d);
    b->SetAttenuation(-450);
    std::atomic<bool> stop{false};
    int16_t value = 0;
    auto fill = [&](uint32_t bytes) {
        std::vector<int16_t> buf(bytes / 2);
        for (auto& x : buf) x = value, value = int16_t(value + 13);
        b->Write(buf.data(), bytes);
    };
    fill(3 * 1764);
    b->Play(false);
    std::thread writer([&] {
        while (!stop.load()) {
            uint32_t bits = b->WaitEvents(50);
            for (int i = 0; i < 3; ++i)
                if (bits & NotificationBit(i)) fill(1764);
        }
    });
    std::vector<float> out;
    for (int k = 0; k < 60; ++k) {
        const float* p = sink.Pull(1000 + k);
        out.insert(out.end(), p, p + 2 * (1000 + k));
    }
    stop = true;
    b->Wake();
    writer.join();
    m.RemoveSource(&src);
    return out;
}

} // namespace

TEST(MixerOffline, SameSamplesOnEveryRun) {
    std::vector<float> first = RenderScene();
    for (int run = 0; run < 3; ++run) {
        std::vector<float> again = RenderScene();
        ASSERT_EQ(first.size(), again.size());
        EXPECT_EQ(std::memcmp(first.data(), again.data(), first.size() * sizeof(float)), 0);
    }
}

TEST(MixerVoices, LimitsAndInvalidDescriptions) {
    AudioMixer m;
    VoiceDesc bad;
    bad.format = {3, 22050, 16};
    bad.bufferBytes = 100;
    EXPECT_EQ(m.CreateVoice(bad), nullptr);
    bad.format = {1, 22050, 24};
    EXPECT_EQ(m.CreateVoice(bad), nullptr);
    VoiceDesc tiny;
    tiny.format = {2, 22050, 16};
    tiny.bufferBytes = 3; // less than one frame
    EXPECT_EQ(m.CreateVoice(tiny), nullptr);
    VoiceDesc outside;
    outside.format = {1, 22050, 16};
    outside.bufferBytes = 100;
    outside.notifications = {101};
    EXPECT_EQ(m.CreateVoice(outside), nullptr);
    VoiceDesc ok;
    ok.format = {1, 22050, 16};
    ok.bufferBytes = 101; // rounded down to whole frames
    std::vector<Voice*> all;
    for (int i = 0; i < AudioMixer::kMaxVoices; ++i) {
        Voice* v = m.CreateVoice(ok);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->BufferBytes(), 100u);
        all.push_back(v);
    }
    EXPECT_EQ(m.CreateVoice(ok), nullptr);
    m.ReleaseVoice(all[5]);
    EXPECT_EQ(m.ActiveVoices(), AudioMixer::kMaxVoices - 1);
    EXPECT_NE(m.CreateVoice(ok), nullptr);
}
