// The mixer and the capture stream against a real JACK server (the dummy backend), started and
// stopped by the tests under a server name of their own.
#include "sync/devices.h"
#include "sync/mixer/audio_output.h"
#include "sync/mixer/capture.h"

#include "tests/common/jack_fixture.h"

#include <gtest/gtest.h>

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dsync::mixer;

namespace {

struct ServerTraits {
    static constexpr const char* kName = "dendra-mixer";
    static constexpr const char* kRate = "48000";
    // Long cycles: a busy machine makes the dummy server miss fewer of them.
    static constexpr const char* kPeriod = "1024";
};
using JackServer = jacktest::JackServerT<ServerTraits>;
using jacktest::TestClient;

int16_t LeftValue(uint32_t n) {
    return int16_t(n % 20000 + 1);
}
int16_t RightValue(uint32_t n) {
    return int16_t(-int32_t((n * 3) % 20000) - 1);
}

// One play of a streaming voice into a reading client: the frames the reader got, whether the
// server missed a cycle meanwhile (then the data may have a gap that is the machine's, not the
// mixer's), and whether the voice underran.
struct StreamingRun {
    std::vector<float> left, right;
    uint32_t frames = 0;
    bool xrun = false;
    uint64_t underruns = 0;
    bool stillPlaying = false;
};

StreamingRun PlayStreamingVoice(uint32_t rate, uint32_t total) {
    StreamingRun run;
    AudioMixer mixer;
    JackOutput out(mixer);
    std::string error;
    EXPECT_TRUE(out.Open("dendra-mixer-out", &error)) << error;
    EXPECT_EQ(mixer.SampleRate(), 48000u);
    EXPECT_TRUE(out.Start(false, &error)) << error;
    TestClient reader("dendra-mixer-reader", true, total + 2 * rate);
    EXPECT_TRUE(reader.Ok());
    EXPECT_TRUE(reader.Connect(out.PortName(0), reader.Port(0)));
    EXPECT_TRUE(reader.Connect(out.PortName(1), reader.Port(1)));

    const uint32_t seg = rate / 4 * 4; // a quarter second of 16-bit stereo
    VoiceDesc d;
    d.format = {2, rate, 16};
    d.bufferBytes = 3 * seg;
    d.notifications = {seg, 2 * seg, 3 * seg};
    Voice* v = mixer.CreateVoice(d);
    EXPECT_TRUE(v);
    if (!v) return run;
    v->SetAttenuation(-600);
    v->SetPan(-2500);
    uint32_t frame = 0;
    auto fill = [&](uint32_t bytes) {
        std::vector<int16_t> s(bytes / 2);
        for (size_t i = 0; i < s.size(); i += 2, ++frame) {
            s[i] = frame < total ? LeftValue(frame) : 0;
            s[i + 1] = frame < total ? RightValue(frame) : 0;
        }
        v->Write(s.data(), bytes);
        if (frame >= total) v->EndOfStream();
    };
    fill(3 * seg);
    // Client start-up and graph changes may cost the server a cycle; count from here on.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t xrunsBefore = out.Xruns(), readerXrunsBefore = reader.Xruns();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            uint32_t bits = v->WaitEvents(100);
            for (int i = 0; i < 3; ++i)
                if ((bits & NotificationBit(i)) && frame < total) fill(seg);
        }
    });
    v->Play(false);
    for (int i = 0; i < 200 && (v->IsPlaying() || reader.Frames() < total); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    v->Wake();
    writer.join();
    run.stillPlaying = v->IsPlaying();
    run.underruns = v->Underruns();
    run.xrun = out.Xruns() != xrunsBefore || reader.Xruns() != readerXrunsBefore;
    reader.Disconnect();
    run.frames = reader.Frames();
    run.left = reader.left_;
    run.right = reader.right_;
    out.Close();
    return run;
}

} // namespace

// A streaming voice refilled segment by segment by its own thread arrives at a JACK input port
// sample for sample after its gain and pan, with no gap. A play during which the server itself
// missed a cycle (a busy machine) is played again, up to three times.
TEST_F(JackServer, StreamingVoiceArrivesSampleForSample) {
    const uint32_t rate = 48000, total = rate * 3;
    StreamingRun run;
    for (int attempt = 0; attempt < 3; ++attempt) {
        run = PlayStreamingVoice(rate, total);
        if (!run.xrun) break;
    }
    if (run.xrun) GTEST_SKIP() << "the server missed cycles in every play: the machine is too busy";
    EXPECT_FALSE(run.stillPlaying);
    EXPECT_EQ(run.underruns, 0u);
    const uint32_t got = run.frames;
    uint32_t start = 0;
    while (start < got && run.left[start] == 0.0f) ++start;
    ASSERT_LT(start, got) << "nothing arrived";
    ASSERT_GE(got - start, total);
    const float g = GainOf(-600), gl = g * 1.0f, gr = g * GainOf(-2500);
    for (uint32_t n = 0; n < total; ++n) {
        ASSERT_NEAR(run.left[start + n], float(LeftValue(n)) / 32768.0f * gl, 1e-6) << n;
        ASSERT_NEAR(run.right[start + n], float(RightValue(n)) / 32768.0f * gr, 1e-6) << n;
    }
    for (uint32_t n = start + total; n < got; ++n) ASSERT_EQ(run.left[n], 0.0f) << n;
}

// What a JACK client sends into the capture client's ports is recorded unchanged.
TEST_F(JackServer, CaptureRecordsWhatWasSent) {
    const PcmFormat f{2, 48000, 16};
    CaptureStream stream(f, f.BytesPerSecond() * 2, f.BytesPerSecond() * 2 / 10);
    JackCapture capture(stream);
    std::string error;
    ASSERT_TRUE(capture.Open("dendra-mixer-in", &error)) << error;
    ASSERT_TRUE(capture.Start());
    TestClient sender("dendra-mixer-sender", false, 0);
    ASSERT_TRUE(sender.Ok());
    ASSERT_TRUE(sender.Connect(sender.Port(0), capture.PortName(0)));
    ASSERT_TRUE(sender.Connect(sender.Port(1), capture.PortName(1)));
    std::vector<uint8_t> got;
    uint8_t buf[16384];
    int segments = 0;
    while (got.size() < f.BytesPerSecond()) {
        uint32_t bits = stream.WaitEvents(2000);
        ASSERT_TRUE(bits & kCaptureData);
        ++segments;
        uint32_t n;
        while ((n = stream.Read(buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    }
    capture.Close();
    EXPECT_EQ(stream.DroppedBytes(), 0u);
    EXPECT_GE(segments, 2);
    auto at = [&](size_t i, int c) {
        return int16_t(uint16_t(got[4 * i + 2 * c] | (got[4 * i + 2 * c + 1] << 8)));
    };
    size_t first = 0, frames = got.size() / 4;
    // The two connections are made one after the other: start where both carry the sequence.
    while (first < frames && (at(first, 0) == 0 || at(first, 1) == 0)) ++first;
    ASSERT_LT(first + 1000, frames);
    int expect = at(first, 0);
    for (size_t i = first; i < frames; ++i) {
        ASSERT_EQ(at(i, 0), expect) << i;
        ASSERT_EQ(at(i, 1), -expect) << i;
        expect = expect % 30000 + 1;
    }
}

TEST_F(JackServer, DeviceListShowsMixerBackedDevices) {
    std::vector<AudioDevice> outs = ListAudioOutputs();
    ASSERT_GE(outs.size(), 2u);
    EXPECT_EQ(outs[0].name, "Default output");
    EXPECT_EQ(outs[1].name, "JACK output");
    EXPECT_EQ(outs[0].api, AudioApi::Jack); // the running server is the default

    DeviceRecord records[18];
    int n = AppendAudioDeviceRecords(records, 0, 18, true, true);
    ASSERT_GE(n, 6);
    EXPECT_EQ(records[0].flags, kWaveOutputFlags);
    EXPECT_EQ(records[1].DeviceNumber(), 1u);
    int firstMixer = int(outs.size());
    EXPECT_EQ(records[firstMixer].flags, 0x0Cu);
    static const uint8_t zero[16] = {};
    EXPECT_EQ(std::memcmp(records[firstMixer].identity, zero, 16), 0); // the default device
    AudioDevice found;
    ASSERT_TRUE(FindAudioDevice(records[firstMixer + 1].identity, true, found));
    EXPECT_EQ(found.api, AudioApi::Jack);
    bool capture = false;
    for (int i = firstMixer; i < n; ++i)
        if (records[i].flags == 0x04u) capture = true;
    EXPECT_TRUE(capture);
    // Capacity is honoured.
    DeviceRecord few[2];
    EXPECT_EQ(AppendAudioDeviceRecords(few, 1, 2, false, true), 2);
    UnGetDevices(records, n);
    UnGetDevices(few + 1, 1);
}

// Without a server the JACK entries are absent, opening fails with a reason, and nothing is
// written to the standard error stream (no sound card is needed either).
TEST(AudioDevices, NoServerIsReportedQuietly) {
    const char* old = std::getenv("JACK_DEFAULT_SERVER");
    std::string saved = old ? old : "";
    setenv("JACK_DEFAULT_SERVER", "dendra-no-such-server", 1);
    ::testing::internal::CaptureStderr();
    bool running = JackServerRunning();
    std::vector<AudioDevice> outs = ListAudioOutputs();
    AudioMixer mixer;
    JackOutput jack(mixer);
    std::string error;
    bool opened = jack.Open("dendra-mixer-none", &error);
    std::string printed = ::testing::internal::GetCapturedStderr();
    if (old) {
        setenv("JACK_DEFAULT_SERVER", saved.c_str(), 1);
    } else {
        unsetenv("JACK_DEFAULT_SERVER");
    }
    EXPECT_FALSE(running);
    for (const AudioDevice& d : outs) EXPECT_NE(d.api, AudioApi::Jack) << d.name;
    EXPECT_FALSE(opened);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(printed, "");
}
