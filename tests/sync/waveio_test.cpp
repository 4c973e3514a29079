// The wave output and input over an offline mixer: the clock on the manual timer, the message
// queue drained and the sink pulled by the test, as an offline renderer does.
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "platform/user_messages.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/mixer/capture.h"
#include "sync/sync.h"
#include "sync/wave_in.h"
#include "sync/wave_out.h"
#include "tests/sync/waveio_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace dsync::mixer;

namespace {

constexpr uint32_t kRate = 22050;
constexpr uint32_t kPeriodFrames = 441; // 20 ms

struct Offline {
    Offline() : sink(mixer, kRate), out(mixer, &sink) {
        platform::Queue().Drain();
        clock.OpenSync(0, 0, 20, &timer);
        opened = out.OpenWaveOut(0, &clock, nullptr);
    }
    ~Offline() {
        out.Close();
        clock.CloseSync();
        platform::Queue().Drain();
    }
    // Runs the clock, the messages and the sink for periods periods of 20 ms.
    void Run(uint32_t periods) {
        for (uint32_t i = 0; i < periods; ++i) {
            timer.Advance(1);
            platform::Queue().Drain();
            const float* f = sink.Pull(kPeriodFrames);
            for (uint32_t k = 0; k < kPeriodFrames; ++k) {
                left.push_back(f[2 * k]);
                right.push_back(f[2 * k + 1]);
            }
        }
    }
    size_t FirstSound() const {
        size_t i = 0;
        while (i < left.size() && left[i] == 0.0f) ++i;
        return i;
    }

    AudioMixer mixer{kRate};
    OfflineSink sink;
    CWaveOut out;
    platform::ManualTimer timer;
    CSync clock;
    unsigned opened = 0;
    std::vector<float> left, right;
};

float Expected(uint32_t n, int c) {
    return float(TestSample(n, c)) / 32768.0f;
}

} // namespace

TEST(WaveOut, PendingLimitAndPrimaryVolumeAndBalance) {
    platform::ScopedRecordingMessages messages;
    CWaveOut closed(0xFFFFFFFFu);
    EXPECT_FLOAT_EQ(closed.GetVolume(), 1.0f); // no primary output yet
    EXPECT_FLOAT_EQ(closed.GetBalance(), 0.5f);

    Offline o;
    ASSERT_EQ(o.opened, 1u);
    TestWave w("a.wav", 1, kRate, 100, 5000);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(o.out.AddEvent(&w.wave), 1) << i;
    EXPECT_EQ(o.out.AddEvent(&w.wave), 0); // the 31st
    EXPECT_EQ(o.out.pendingCount, 30);
    EXPECT_EQ(o.out.NextEventTime(), 5000u);
    // The copies are playback copies; the caller's event is untouched.
    EXPECT_EQ(o.out.eventList.head->IsWave(), true);
    EXPECT_EQ(static_cast<EventWave*>(o.out.eventList.head)->flags & kWavePlaybackCopy, 1u);
    EXPECT_EQ(w.wave.flags, 0u);
    o.out.Stop();
    EXPECT_EQ(o.out.pendingCount, 0);
    EXPECT_EQ(o.out.NextEventTime(), 1000000000u);
    EventWave silent; // no sound
    EXPECT_EQ(o.out.AddEvent(&silent), 0);
    EXPECT_EQ(o.out.AddEvent(&w.wave), 1);

    o.out.SetBalance(0.0f);
    EXPECT_EQ(o.mixer.MasterPan(), -10000);
    EXPECT_FLOAT_EQ(o.out.GetBalance(), 0.0f);
    o.out.SetBalance(1.0f);
    EXPECT_EQ(o.mixer.MasterPan(), 10000);
    o.out.SetVolume(0.5f);
    EXPECT_EQ(o.mixer.MasterAttenuation(), -5000);
    EXPECT_FLOAT_EQ(o.out.GetVolume(), 0.5f);
    uint32_t code = 0;
    EXPECT_EQ(o.out.GetWaveCaps(&code), 0xFFFFu);
    EXPECT_EQ(code, 0x80u);
    o.out.SetWaveCaps(0x800);
    o.out.GetWaveCaps(&code);
    EXPECT_EQ(code, 0x800u);
    EXPECT_TRUE(messages.Shown().empty());
}

// A four-second sound streams through three one-second segments, prepared a beat ahead and started
// on time, and arrives sample for sample after its volume and balance; the same on every run.
TEST(WaveOut, StreamsSampleForSampleAndTheSameOnEveryRun) {
    std::vector<float> first;
    for (int run = 0; run < 2; ++run) {
        Offline o;
        TestWave w("long.wav", 2, kRate, kRate * 4, 960); // two beats in
        w.wave.info.volume = 0.8f;
        w.wave.info.balance = 0.4f;
        ASSERT_EQ(o.out.AddEvent(&w.wave), 1);
        o.clock.StartSync(0);
        o.Run(25); // half a second: not yet a beat away
        EXPECT_EQ(o.out.Stream(0).voice, nullptr);
        o.Run(30); // 1.1 s: a beat away, prepared but silent
        ASSERT_NE(o.out.Stream(0).voice, nullptr);
        EXPECT_FALSE(o.out.StreamPlaying(0));
        EXPECT_FALSE(o.out.Stream(0).isStatic);
        EXPECT_EQ(o.out.Stream(0).bufferBytes, kRate * 4 * 3);
        EXPECT_EQ(o.out.Stream(0).segmentBytes, kRate * 4);
        o.Run(300);
        EXPECT_FALSE(o.out.StreamPlaying(0));
        EXPECT_EQ(o.out.Stream(0).voice->Underruns(), 0u);
        const size_t start = o.FirstSound();
        // Due at tick 960 = 2 s; the start message is handled in the period that reaches it.
        EXPECT_NEAR(double(start), 2.0 * kRate, kPeriodFrames);
        const float g = GainOf(-2000), gl = g, gr = g;
        float pl, pr;
        PanGains(-2000, pl, pr);
        ASSERT_GE(o.left.size(), start + kRate * 4);
        for (uint32_t n = 0; n < kRate * 4; ++n) {
            ASSERT_NEAR(o.left[start + n], Expected(n, 0) * gl * pl, 1e-6) << n;
            ASSERT_NEAR(o.right[start + n], Expected(n, 1) * gr * pr, 1e-6) << n;
        }
        for (size_t n = start + kRate * 4; n < o.left.size(); ++n) ASSERT_EQ(o.left[n], 0.0f);
        if (run == 0)
            first = o.left;
        else
            EXPECT_EQ(first, o.left);
    }
}

TEST(WaveOut, TwoSecondSoundIsStaticAndPlaysOnce) {
    Offline o;
    TestWave w("two.wav", 1, kRate, kRate * 2, 0);
    ASSERT_EQ(o.out.AddEvent(&w.wave), 1);
    o.clock.StartSync(0);
    o.Run(150);
    const dsync::StreamBuffer& s = o.out.Stream(0);
    ASSERT_NE(s.voice, nullptr);
    EXPECT_TRUE(s.isStatic);
    EXPECT_EQ(s.bufferBytes, kRate * 2 * 2);
    EXPECT_FALSE(o.out.StreamPlaying(0));
    const size_t start = o.FirstSound();
    ASSERT_LT(start, size_t(kPeriodFrames));
    for (uint32_t n = 0; n < kRate * 2; ++n)
        ASSERT_FLOAT_EQ(o.left[start + n], Expected(n, 0)) << n;
    for (size_t n = start + kRate * 2; n < o.left.size(); ++n) ASSERT_EQ(o.left[n], 0.0f) << n;
}

TEST(WaveOut, HalfSecondPlaysOnceThenSilenceUntilItStops) {
    Offline o;
    TestWave w("half.wav", 1, kRate, kRate / 2, 0);
    ASSERT_EQ(o.out.AddEvent(&w.wave), 1);
    o.clock.StartSync(0);
    o.Run(50); // one second
    const dsync::StreamBuffer& s = o.out.Stream(0);
    ASSERT_NE(s.voice, nullptr);
    EXPECT_FALSE(s.isStatic);
    EXPECT_EQ(s.bufferBytes, kRate * 2 * 3);
    EXPECT_TRUE(s.ended.load());
    EXPECT_TRUE(o.out.StreamPlaying(0)); // still playing its silence
    o.Run(150);
    EXPECT_FALSE(o.out.StreamPlaying(0));
    const size_t start = o.FirstSound();
    for (uint32_t n = 0; n < kRate / 2; ++n)
        ASSERT_FLOAT_EQ(o.left[start + n], Expected(n, 0)) << n;
    for (size_t n = start + kRate / 2; n < o.left.size(); ++n) ASSERT_EQ(o.left[n], 0.0f) << n;
}

TEST(WaveOut, LoopingSoundLoopsAcrossSegmentsAndEmptyLoopEnds) {
    Offline o;
    TestWave w("loop.wav", 1, kRate, kRate * 7 / 10, 0);
    w.wave.info.loop = 1;
    TestWave empty("empty.wav", 1, kRate, 0, 10);
    empty.wave.info.loop = 1;
    ASSERT_EQ(o.out.AddEvent(&w.wave), 1);
    ASSERT_EQ(o.out.AddEvent(&empty.wave), 1);
    o.clock.StartSync(0);
    o.Run(300); // six seconds: the ring is refilled several times
    EXPECT_TRUE(o.out.StreamPlaying(0));
    EXPECT_GT(o.out.Stream(0).fills, 5u);
    // The empty looping sound ended instead of being read forever.
    ASSERT_NE(o.out.Stream(1).voice, nullptr);
    EXPECT_TRUE(o.out.Stream(1).ended.load());
    EXPECT_FALSE(o.out.StreamPlaying(1));
    const size_t start = o.FirstSound();
    const uint32_t len = kRate * 7 / 10;
    for (uint32_t n = 0; n + start < o.left.size(); ++n)
        ASSERT_FLOAT_EQ(o.left[start + n], Expected(n % len, 0)) << n;
    o.out.Stop();
    EXPECT_FALSE(o.out.StreamPlaying(0));
}

// A sound whose data proves damaged after `good` bytes: reads stop there and say so.
class DamagedSound : public MemorySound {
public:
    uint32_t Read(WaveInfo& info, void* buffer, uint32_t bytes) override {
        const uint32_t at = TellBytes();
        if (at + uint64_t(bytes) > good) {
            failed.store(true);
            bytes = at < good ? good - at : 0;
        }
        return MemorySound::Read(info, buffer, bytes);
    }
    bool ReadFailed() const override { return failed.load(); }
    uint32_t good = 0;
    std::atomic<bool> failed{false};
};

TEST(WaveOut, DamagedSoundEndsItsStreamAndTellsTheUserInterfaceThreadOnce) {
    platform::ScopedRecordingMessages messages;
    Offline o;
    TestWave w("damaged.wav", 1, kRate, kRate * 5, 0);
    DamagedSound damaged;
    damaged.data = w.sound->data;
    damaged.good = kRate * 2 * 4; // four seconds: past what the first fill reads
    w.wave.sound = &damaged;
    ASSERT_EQ(o.out.AddEvent(&w.wave), 1);
    o.clock.StartSync(0);
    o.Run(300);
    // The streaming thread met the damage; its message waits in the queue until drained here.
    const dsync::StreamBuffer& s = o.out.Stream(0);
    for (int i = 0; i < 500 && !s.ended.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(s.ended.load());
    platform::Queue().Drain();
    EXPECT_TRUE(damaged.failed.load());
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{dsync::kReadProblemMessage});
    o.Run(100);
    EXPECT_FALSE(o.out.StreamPlaying(0));
    EXPECT_EQ(messages.Shown().size(), 1u);
    w.wave.sound = w.sound.get();
}

TEST(WaveOut, SameNameReusesOneStreamBufferAndStartOffsetIsHonoured) {
    Offline o;
    TestWave a("same.wav", 1, kRate, kRate / 2, 0);
    ASSERT_EQ(o.out.AddEvent(&a.wave), 1);
    a.wave.time = 2400; // five beats: the first has stopped by then
    ASSERT_EQ(o.out.AddEvent(&a.wave), 1);
    o.clock.StartSync(0);
    o.Run(200); // four seconds: the second is prepared into the same buffer
    ASSERT_NE(o.out.Stream(0).voice, nullptr);
    const Voice* voice = o.out.Stream(0).voice;
    o.Run(100);
    EXPECT_EQ(o.out.Stream(0).voice, voice); // the same buffer, its data kept
    EXPECT_EQ(o.out.Stream(1).voice, nullptr);
    EXPECT_EQ(o.out.nextStream, 1);
    EXPECT_EQ(o.out.pendingCount, 0);

    // A different start offset loads anew, from the offset rounded down to a whole frame.
    TestWave b("same.wav", 2, kRate, kRate / 2, 0);
    b.wave.startOffset = 4 * 100 + 3;
    o.left.clear();
    o.clock.StartSync(0);
    ASSERT_EQ(o.out.AddEvent(&b.wave), 1);
    o.Run(20);
    const size_t start = o.FirstSound();
    ASSERT_LT(start, o.left.size());
    for (uint32_t n = 0; n < 1000; ++n)
        ASSERT_FLOAT_EQ(o.left[start + n], Expected(n + 100, 0)) << n;
}

TEST(WaveOut, NewInfoAndCloseWave) {
    Offline o;
    TestWave w("info.wav", 1, kRate, kRate * 5, 0);
    ASSERT_EQ(o.out.AddEvent(&w.wave), 1);
    o.clock.StartSync(0);
    o.Run(10);
    ASSERT_TRUE(o.out.StreamPlaying(0));
    w.wave.info.volume = 0.5f;
    w.wave.info.balance = 1.0f;
    w.wave.info.rateFactor = 2.0f;
    o.out.GetNewInfo(&w.wave);
    const Voice* v = o.out.Stream(0).voice;
    EXPECT_EQ(v->Attenuation(), -5000);
    EXPECT_EQ(v->Pan(), 10000);
    EXPECT_EQ(v->Frequency(), kRate * 2);
    o.out.CloseWave(&w.wave);
    EXPECT_EQ(o.out.Stream(0).voice, nullptr);
    EXPECT_EQ(o.mixer.ActiveVoices(), 0);
}

namespace {

// Appends what the capture thread posts to the target's sound, as the program does.
class Recorder : public platform::MessageTarget {
public:
    explicit Recorder(MemorySound& sound) : sound_(sound) {
        window = platform::Queue().Register(this);
    }
    ~Recorder() override { platform::Queue().Unregister(window); }
    void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        if (message == dsync::kMsgWaveInLevel) {
            ++levels;
            lastMean = int32_t(intptr_t(wParam));
            return;
        }
        if (message != dsync::kMsgWaveInData) return;
        auto* b = reinterpret_cast<dsync::WaveInBlock*>(lParam);
        ++blocks;
        if (hold) return; // never completes
        WaveInfo info;
        sound_.Write(info, b->data1, b->size1);
        if (b->size2) sound_.Write(info, b->data2, b->size2);
        lastLevel = b->level;
        b->Complete();
    }
    platform::Window window = 0;
    int blocks = 0, levels = 0;
    int32_t lastMean = 0;
    uint32_t lastLevel = 0;
    bool hold = false;

private:
    MemorySound& sound_;
};

class Counting : public AudioSource {
public:
    void Render(float* l, float* r, uint32_t frames, uint64_t pos) override {
        for (uint32_t i = 0; i < frames; ++i) {
            l[i] = float(TestSample(uint32_t(pos + i), 0)) / 32768.0f;
            r[i] = float(TestSample(uint32_t(pos + i), 1)) / 32768.0f;
        }
    }
};

void DrainFor(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        platform::Queue().Wait(5);
        platform::Queue().Drain();
    }
}

} // namespace

TEST(WaveIn, RecordsGeneratedSoundInTenSegmentsAndStopsWhileWaiting) {
    platform::Queue().Drain();
    TestWave target("rec.wav", 1, 11025, 0);
    Recorder rec(*target.sound);
    Counting source;
    CWaveIn in;
    in.formatCode = 0x800; // 44.1 kHz stereo 16-bit, the generator's rate: no resampling
    ASSERT_EQ(in.CreateGenerated(rec.window, source, 44100, false), 1u);
    EXPECT_EQ(in.segmentBytes, 44100u * 4 * 2 / 10);
    ASSERT_EQ(in.AddEvent(&target.wave), 1);
    EXPECT_EQ(target.wave.info.format.nChannels, 2); // changed to the capture format
    EXPECT_EQ(target.wave.info.format.nSamplesPerSec, 44100u);
    ASSERT_EQ(in.Start(), 0);
    for (int i = 0; i < 10; ++i) {
        in.PumpGenerated(44100 / 10);
        DrainFor(30);
    }
    in.Stop();
    EXPECT_GE(rec.blocks, 5);
    const auto& d = target.sound->data;
    ASSERT_GE(d.size(), 44100u * 4 / 2);
    for (size_t i = 0; i + 4 <= d.size(); i += 4) {
        ASSERT_EQ(int16_t(uint16_t(d[i] | d[i + 1] << 8)), TestSample(uint32_t(i / 4), 0)) << i;
        ASSERT_EQ(int16_t(uint16_t(d[i + 2] | d[i + 3] << 8)), TestSample(uint32_t(i / 4), 1));
    }
    EXPECT_EQ(rec.lastLevel, 100u);

    // The program never completes a block: stopping still returns.
    rec.hold = true;
    ASSERT_EQ(in.Start(), 0);
    in.PumpGenerated(44100 / 5);
    DrainFor(50);
    auto t0 = std::chrono::steady_clock::now();
    in.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    in.Close();
}

// A block message still queued when its input is destroyed names no block any more, even when a
// new input takes the old one's place in memory: the program never reaches freed memory.
TEST(WaveIn, ABlockMessageOutlivingItsInputNamesNoBlock) {
    platform::Queue().Drain();
    TestWave target("outlive.wav", 1, 11025, 0);
    platform::MessageRecorder posted;
    Counting source;
    auto in = std::make_unique<CWaveIn>();
    in->formatCode = 0x800;
    ASSERT_EQ(in->CreateGenerated(posted.Handle(), source, 44100, false), 1u);
    ASSERT_EQ(in->AddEvent(&target.wave), 1);
    ASSERT_EQ(in->Start(), 0);
    in->PumpGenerated(44100 / 5); // a segment
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    for (int i = 0; i < 200 && !lParam; ++i) {
        DrainFor(10);
        for (const auto& m : posted.Received())
            if (m.message == dsync::kMsgWaveInData) {
                wParam = m.wParam;
                lParam = m.lParam;
            }
    }
    ASSERT_NE(lParam, 0);
    EXPECT_EQ(dsync::LiveWaveInBlock(wParam, lParam),
              reinterpret_cast<dsync::WaveInBlock*>(lParam));
    // Stop wakes the capture thread although the block was never completed.
    in->Stop();
    in->Close();
    ASSERT_NE(dsync::LiveWaveInBlock(wParam, lParam), nullptr);
    EXPECT_EQ(dsync::LiveWaveInBlock(wParam, lParam)->size1, 0u);
    in.reset();
    EXPECT_EQ(dsync::LiveWaveInBlock(wParam, lParam), nullptr);
    auto again = std::make_unique<CWaveIn>();
    EXPECT_EQ(dsync::LiveWaveInBlock(wParam, lParam), nullptr);
    EXPECT_EQ(dsync::LiveWaveInBlock(0, 0), nullptr);
}

TEST(WaveIn, LevelMonitorAndLevels) {
    // 8-bit: |byte - 128|; 16-bit: |sample|; sqrt(sum / 64 × 0.01) × 100, held to 100.
    std::vector<uint8_t> eight(64, 128 + 4);
    EXPECT_EQ(dsync::CaptureLevel(eight.data(), 32, eight.data() + 32, 32, 8), 20u);
    std::vector<uint8_t> sixteen(128, 0);
    EXPECT_EQ(dsync::CaptureLevel(sixteen.data(), 128, nullptr, 0, 16), 0u);
    sixteen[0] = 0x00;
    sixteen[1] = 0x80; // -32768
    EXPECT_EQ(dsync::CaptureLevel(sixteen.data(), 128, nullptr, 0, 16), 100u);
    const uint8_t s16[4] = {0x10, 0x00, 0x30, 0x00};
    EXPECT_EQ(dsync::CaptureMean(s16, 4, 16), 0x20);
    const uint8_t s8[2] = {1, 3};
    EXPECT_EQ(dsync::CaptureMean(s8, 2, 8), 512);

    platform::Queue().Drain();
    TestWave unused("none.wav", 1, 11025, 0);
    Recorder rec(*unused.sound);
    Counting source;
    CWaveIn in;
    ASSERT_EQ(in.CreateGenerated(rec.window, source, 22050, false), 1u);
    in.SetLevelMonitor(true);
    ASSERT_EQ(in.Start(), 0);
    for (int i = 0; i < 5; ++i) {
        in.PumpGenerated(22050 / 5);
        DrainFor(20);
    }
    in.Stop();
    EXPECT_GE(rec.levels, 3);
    EXPECT_EQ(rec.blocks, 0);
    platform::ScopedRecordingMessages messages;
    in.SetWaveCaps(0x3); // not one format
    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_EQ(messages.Shown()[0], "Could not reset Wave Input format");
    uint32_t code = 0;
    in.GetWaveCaps(&code);
    EXPECT_EQ(code, 0x80u);
}
