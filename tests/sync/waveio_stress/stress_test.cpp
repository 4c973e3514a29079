// Streaming threads, the mixer's callback thread and the user-interface thread at once: waves are
// added, started, changed, closed and stopped while a callback thread renders in real time and a
// capture thread records a generated signal.
#include "platform/message_queue.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/mixer/capture.h"
#include "sync/wave_in.h"
#include "sync/wave_out.h"
#include "tests/sync/waveio_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace dsync::mixer;

namespace {
class Appender : public platform::MessageTarget {
public:
    explicit Appender(MemorySound& s) : sound_(s) { window = platform::Queue().Register(this); }
    ~Appender() override { platform::Queue().Unregister(window); }
    void HandleMessage(uint32_t message, uintptr_t, intptr_t lParam) override {
        if (message != dsync::kMsgWaveInData) return;
        auto* b = reinterpret_cast<dsync::WaveInBlock*>(lParam);
        WaveInfo info;
        sound_.Write(info, b->data1, b->size1);
        if (b->size2) sound_.Write(info, b->data2, b->size2);
        b->Complete();
    }
    platform::Window window = 0;

private:
    MemorySound& sound_;
};
} // namespace

TEST(WaveIoStress, StreamsCallbackAndUserInterface) {
    platform::Queue().Drain();
    AudioMixer mixer(22050);
    CWaveOut out(mixer, nullptr);
    ASSERT_EQ(out.OpenWaveOut(0, nullptr, nullptr), 1u);
    std::atomic<bool> run{true};
    std::thread callback([&] {
        float l[256], r[256];
        while (run.load()) {
            mixer.Render(l, r, 256);
            std::this_thread::sleep_for(std::chrono::microseconds(500)); // about 10× real time
        }
    });

    TestWave target("stress-take.wav", 2, 22050, 0);
    Appender app(*target.sound);
    SineSource sine(440.0, 0.5, 22050);
    CWaveIn in;
    in.formatCode = 0x80;
    ASSERT_EQ(in.CreateGenerated(app.window, sine, 22050), 1u);
    ASSERT_EQ(in.AddEvent(&target.wave), 1);
    ASSERT_EQ(in.Start(), 0);

    TestWave a("s-a.wav", 1, 22050, 22050 / 2);
    TestWave b("s-b.wav", 2, 22050, 22050 * 4);
    TestWave c("s-c.wav", 1, 22050, 22050 * 2);
    b.wave.info.loop = 1;
    TestWave* waves[3] = {&a, &b, &c};
    for (int i = 0; i < 300; ++i) {
        TestWave& w = *waves[i % 3];
        w.wave.info.volume = float(i % 10) / 10.0f;
        out.AddEvent(&w.wave);
        out.PrepareNext();
        out.StartNext();
        out.GetNewInfo(&w.wave);
        if (i % 17 == 0) out.CloseWave(&w.wave);
        if (i % 41 == 0) out.Stop();
        out.SetBalance(float(i % 3) / 2.0f);
        platform::Queue().Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    in.Stop();
    platform::Queue().Drain();
    out.Close();
    run = false;
    callback.join();
    EXPECT_GT(target.sound->data.size(), 0u);
    EXPECT_EQ(mixer.ActiveVoices(), 0);
}
