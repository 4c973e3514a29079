#include "sync/mixer/capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace dsync::mixer;

namespace {

int16_t Sample16(const uint8_t* p) {
    return int16_t(uint16_t(p[0] | (p[1] << 8)));
}

} // namespace

TEST(CaptureStream, SameRatePassesSamplesExactlyAndNotifies) {
    const PcmFormat f{2, 48000, 16};
    CaptureStream s(f, 1200 * 4, 240 * 4);
    std::vector<float> l(1000), r(1000);
    for (int i = 0; i < 1000; ++i) l[i] = float(i - 500) / 32768.0f, r[i] = float(3 * i) / 32768.0f;
    s.PushFrames(l.data(), r.data(), 1000);
    EXPECT_EQ(s.Available(), 4000u);
    EXPECT_TRUE(s.WaitEvents(0) & kCaptureData);
    std::vector<uint8_t> b(4000);
    ASSERT_EQ(s.Read(b.data(), 4000), 4000u);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(Sample16(&b[4 * i]), i - 500) << i;
        ASSERT_EQ(Sample16(&b[4 * i + 2]), 3 * i) << i;
    }
    // The next 600 frames wrap around the 1200-frame ring: two parts that continue the sequence.
    for (int i = 0; i < 600; ++i) l[i] = float(i) / 32768.0f, r[i] = 0;
    s.PushFrames(l.data(), r.data(), 600);
    const uint8_t *p1, *p2;
    uint32_t s1, s2;
    ASSERT_EQ(s.Peek(2400, &p1, &s1, &p2, &s2), 2400u);
    EXPECT_EQ(s1, 800u);
    EXPECT_EQ(s2, 1600u);
    EXPECT_EQ(Sample16(p1 + 796), 199);
    EXPECT_EQ(Sample16(p2), 200);
    uint8_t newest[8];
    EXPECT_EQ(s.CopyNewest(newest, 8), 8u);
    EXPECT_EQ(Sample16(newest + 4), 599);
    s.Consume(2400);
    EXPECT_EQ(s.Available(), 0u);
    EXPECT_EQ(s.DroppedBytes(), 0u);
}

TEST(CaptureStream, FullRingDropsNewestAndCountsThem) {
    CaptureStream s({1, 48000, 16}, 200, 100);
    std::vector<float> l(150, 0.25f);
    s.PushFrames(l.data(), nullptr, 150);
    EXPECT_EQ(s.Available(), 200u);
    EXPECT_EQ(s.DroppedBytes(), 100u);
    uint8_t b[200];
    EXPECT_EQ(s.Read(b, 200), 200u);
    EXPECT_EQ(Sample16(b + 198), 8192);
}

TEST(CaptureStream, ConvertsToEightBitMonoWithClipping) {
    CaptureStream s({1, 48000, 8}, 64, 8);
    float l[4] = {0.5f, -1.0f, 2.0f, 0.0f}, r[4] = {0.0f, -1.0f, 2.0f, -0.5f};
    s.PushFrames(l, r, 4);
    uint8_t b[4];
    ASSERT_EQ(s.Read(b, 4), 4u);
    EXPECT_EQ(b[0], 160); // (0.5 + 0) / 2 * 128 + 128
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 255);
    EXPECT_EQ(b[3], 96);
}

TEST(CaptureStream, ResamplesDeviceRateToFormatRate) {
    CaptureStream s({1, 22050, 16}, 22050 * 4, 2205 * 2);
    s.SetInputRate(48000);
    SineSource tone(440, 0.5, 48000);
    GeneratedCapture gen(s, tone, 48000);
    gen.Pump(48000);
    // One second in: one second out, less the kernel's look-ahead.
    uint32_t frames = s.Available() / 2;
    EXPECT_GE(frames, 22050u - 40);
    EXPECT_LE(frames, 22050u);
    std::vector<uint8_t> b(frames * 2);
    s.Read(b.data(), uint32_t(b.size()));
    double err = 0;
    for (uint32_t i = 2205; i < frames - 100; ++i) {
        double ideal = 0.5 * std::sin(2 * M_PI * 440 * i / 22050.0) * 32768.0;
        err = std::max(err, std::fabs(Sample16(&b[2 * i]) - ideal));
    }
    EXPECT_LT(err, 4.0);
}

TEST(CaptureStream, TenSegmentsOverTwoSecondsFromAGeneratedSource) {
    const PcmFormat f{2, 22050, 16};
    CaptureStream s(f, f.BytesPerSecond() * 2, f.BytesPerSecond() * 2 / 10);
    SineSource tone(1000, 0.25, 22050);
    GeneratedCapture gen(s, tone, 22050);
    gen.Start(256);
    int segments = 0;
    std::vector<uint8_t> got;
    uint8_t buf[8192];
    while (segments < 3) {
        uint32_t bits = s.WaitEvents(2000);
        ASSERT_TRUE(bits & kCaptureData) << "no segment notification";
        ++segments;
        uint32_t n;
        while ((n = s.Read(buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    }
    gen.Stop();
    EXPECT_GE(got.size(), 3u * s.NotifyBytes());
    for (size_t i = 0; i + 4 <= got.size(); i += 4) {
        double ideal = 0.25 * std::sin(2 * M_PI * 1000 * double(i / 4) / 22050.0) * 32768.0;
        ASSERT_NEAR(Sample16(&got[i]), ideal, 1.0) << i;
        ASSERT_EQ(Sample16(&got[i]), Sample16(&got[i + 2]));
    }
    s.Wake();
    EXPECT_EQ(s.WaitEvents(0) & kCaptureWake, kCaptureWake);
}
