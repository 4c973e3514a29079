// Streaming threads, an audio callback thread and a user-interface thread working on one mixer at
// once; run under ThreadSanitizer (ctest -L tsan) it must report nothing.
#include "sync/mixer/audio_mixer.h"
#include "sync/mixer/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace dsync::mixer;

namespace {

constexpr uint32_t kSegment = 2048; // bytes
constexpr int kStreams = 6;

// One wave stream: a voice and the thread that refills its segments.
struct Stream {
    AudioMixer& mixer;
    Voice* voice = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> refills{0};
    int16_t value;

    Stream(AudioMixer& m, int16_t v) : mixer(m), value(v) {
        VoiceDesc d;
        d.format = {2, 22050, 16};
        d.bufferBytes = 3 * kSegment;
        d.notifications = {kSegment, 2 * kSegment, 3 * kSegment};
        voice = mixer.CreateVoice(d);
        if (!voice) return;
        Fill(3 * kSegment);
        voice->Play(false);
        thread = std::thread([this] {
            while (!stop.load()) {
                uint32_t bits = voice->WaitEvents(20);
                if (bits & kVoiceWake) continue;
                for (int i = 0; i < 3; ++i)
                    if (bits & NotificationBit(i)) Fill(kSegment);
            }
        });
    }
    void Fill(uint32_t bytes) {
        uint8_t *p1, *p2;
        uint32_t s1, s2;
        uint32_t n = voice->Lock(bytes, &p1, &s1, &p2, &s2);
        for (uint32_t i = 0; i + 1 < s1; i += 2) std::memcpy(p1 + i, &value, 2);
        for (uint32_t i = 0; i + 1 < s2; i += 2) std::memcpy(p2 + i, &value, 2);
        voice->Unlock(n);
        refills.fetch_add(1);
    }
    ~Stream() {
        stop = true;
        if (voice) voice->Wake();
        if (thread.joinable()) thread.join();
        if (voice) {
            voice->Stop();
            mixer.ReleaseVoice(voice);
        }
    }
};

class Ticker : public AudioSource {
public:
    void Render(float* left, float* right, uint32_t frames, uint64_t at) override {
        for (uint32_t i = 0; i < frames; ++i) left[i] = right[i] = float((at + i) & 1) * 0.01f;
        calls.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<uint64_t> calls{0};
};

} // namespace

TEST(MixerStress, StreamingThreadsCallbackAndUserInterface) {
    AudioMixer mixer(48000);
    std::atomic<bool> run{true};
    std::atomic<uint64_t> blocks{0};
    // The audio callback: 256 frames every 2 ms (faster than real time at 48 kHz).
    std::thread callback([&] {
        std::vector<float> l(256), r(256);
        while (run.load()) {
            mixer.Render(l.data(), r.data(), 256);
            blocks.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // Capture through its own producer thread at the same time.
    const PcmFormat f{1, 22050, 16};
    CaptureStream capture(f, f.BytesPerSecond() * 2, f.BytesPerSecond() / 5);
    SineSource tone(440, 0.5, 48000);
    GeneratedCapture gen(capture, tone, 48000);
    gen.Start(128);

    std::vector<std::unique_ptr<Stream>> streams;
    for (int i = 0; i < kStreams; ++i)
        streams.push_back(std::make_unique<Stream>(mixer, int16_t(1000 * (i + 1))));
    Ticker ticker;
    uint64_t refillsSeen = 0, captured = 0;
    uint8_t buf[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (int step = 0; std::chrono::steady_clock::now() < until; ++step) {
        Stream& s = *streams[size_t(step % kStreams)];
        if (s.voice) {
            s.voice->SetAttenuation(-(step * 37 % 3000));
            s.voice->SetPan(step * 101 % 20001 - 10000);
            s.voice->SetFrequency(step % 5 == 0 ? 0 : 11025 + uint32_t(step * 97 % 30000));
            if (step % 7 == 0) s.voice->Stop();
            if (step % 7 == 3) s.voice->Play(false);
        }
        if (step % 11 == 0) mixer.SetMasterPan(step % 3 * 1000 - 1000);
        if (step % 13 == 0) mixer.AddSource(&ticker);
        if (step % 13 == 6) mixer.RemoveSource(&ticker);
        if (step % 17 == 0) { // a stream ends and another takes its place
            size_t k = size_t(step / 17 % kStreams);
            refillsSeen += streams[k]->refills.load();
            streams[k] = std::make_unique<Stream>(mixer, int16_t(step % 30000));
        }
        uint32_t n;
        while ((n = capture.Read(buf, sizeof buf)) > 0) captured += n;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    gen.Stop();
    for (auto& s : streams) refillsSeen += s->refills.load();
    streams.clear();
    mixer.RemoveSource(&ticker);
    run = false;
    callback.join();
    EXPECT_EQ(mixer.ActiveVoices(), 0);
    EXPECT_GT(blocks.load(), 100u);
    EXPECT_GT(refillsSeen, uint64_t(kStreams) * 3);
    EXPECT_GT(captured, f.BytesPerSecond() / 2);
}
