// The sample-format table, the IMA ADPCM step and both block layouts, G.711 and PCM decoding.
#include "formats/decoders.h"
#include "formats/ima_adpcm.h"
#include "formats/sample_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace sound;

namespace {

// What a decoder met, one text after another.
std::vector<std::string> Problems(const SampleDecoder& d) {
    std::vector<std::string> out;
    for (size_t i = 0; i < d.ProblemCount(); ++i) out.emplace_back(d.Problem(i));
    return out;
}

// Hands out its bytes in pieces of a fixed size, to split samples and blocks across reads.
class ChoppySource : public ByteSource {
public:
    ChoppySource(std::vector<uint8_t> bytes, size_t piece)
        : bytes_(std::move(bytes)), piece_(piece) {}
    size_t ReadBytes(void* out, size_t n) override {
        if (n > piece_) n = piece_;
        if (n > bytes_.size() - pos_) n = bytes_.size() - pos_;
        std::memcpy(out, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::vector<uint8_t> bytes_;
    size_t piece_;
    size_t pos_ = 0;
};

// A source that returns what it has in one go (the usual contract: short only at the end).
class WholeSource : public ByteSource {
public:
    explicit WholeSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    size_t ReadBytes(void* out, size_t n) override {
        if (n > bytes_.size() - pos_) n = bytes_.size() - pos_;
        std::memcpy(out, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

TEST(SampleFormat, FlagsFormatsAndLabels) {
    EXPECT_STREQ(FlagLabel(96), "INVALID FORMAT");
    EXPECT_STREQ(FlagLabel(0), "INVALID FORMAT");
    EXPECT_STREQ(FlagLabel(1), "11.025 kHz, Mono,   8-bit");
    EXPECT_STREQ(FlagLabel(2048), "44.1   kHz, Stereo, 16-bit");
    const WAVEFORMATEX f = FlagToFormat(64);
    EXPECT_EQ(f.nSamplesPerSec, 22050u);
    EXPECT_EQ(f.nChannels, 1);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.nBlockAlign, 2);
    EXPECT_EQ(f.nAvgBytesPerSec, 44100u);
    for (int i = 0; i < kStandardFormatCount; ++i) {
        const uint32_t flag = StandardFormatFlag(i);
        EXPECT_EQ(FormatToFlag(FlagToFormat(flag)), flag) << flag;
        EXPECT_EQ(FlagIndex(flag), i);
        EXPECT_TRUE(IsHeldPcm(FlagToFormat(flag)));
    }
    EXPECT_EQ(FormatToFlag(MakePcmFormat(8000, 2, 16)), 0u);
}

TEST(ImaStep, SignBitAloneAtIndexZeroMovesNothing) {
    ImaState s;
    s.predictor = 100;
    s.index = 0;
    EXPECT_EQ(ImaStep(s, 8), 100);
    EXPECT_EQ(s.index, 0);
    // The largest code at the top index clamps both the predictor and the index.
    s.predictor = 32000;
    s.index = 88;
    EXPECT_EQ(ImaStep(s, 7), 32767);
    EXPECT_EQ(s.index, 88);
    s.predictor = -32000;
    EXPECT_EQ(ImaStep(s, 15), -32768);
}

TEST(ImaMs, BlockSizesOfTheUsualLayouts) {
    EXPECT_EQ(ImaMsBlockBytes(1, 505), 256u);
    EXPECT_EQ(ImaMsBlockBytes(2, 505), 512u);
    EXPECT_EQ(ImaMsSamplesPerBlock(1, 1024), 2041u);
    EXPECT_EQ(ImaMsRequiredBytes(1, 505), 256u);
    EXPECT_EQ(ImaMsRequiredBytes(2, 505), 512u);
}

TEST(ImaMs, OneSamplePerBlockYieldsOnlyTheHeaders) {
    const uint8_t block[8] = {0x34, 0x12, 5, 0, 0xFE, 0xFF, 7, 0};
    int16_t frames[2];
    EXPECT_EQ(ImaMsDecodeBlock(block, 8, 2, 1, frames, nullptr), 1u);
    EXPECT_EQ(frames[0], 0x1234);
    EXPECT_EQ(frames[1], -2);
}

TEST(ImaMs, BadIndexIsReportedAndDecodedFromIndexZero) {
    std::vector<uint8_t> bad(256, 0x73), good(256, 0x73);
    bad[0] = good[0] = 0x10;
    bad[1] = good[1] = 0;
    bad[2] = 89;
    good[2] = 0;
    bad[3] = good[3] = 0;
    std::vector<int16_t> a(505), b(505);
    ImaBlockErrors errors;
    EXPECT_EQ(ImaMsDecodeBlock(bad.data(), 256, 1, 505, a.data(), &errors), 505u);
    EXPECT_TRUE(errors.badIndex);
    EXPECT_FALSE(errors.syncError);
    EXPECT_EQ(ImaMsDecodeBlock(good.data(), 256, 1, 505, b.data(), nullptr), 505u);
    EXPECT_EQ(a, b);
}

TEST(ImaMs, BlockTooSmallForItsSamplesStopsInsideTheBlock) {
    const uint8_t block[6] = {0, 0, 0, 0, 0x11, 0x11};
    int16_t frames[505];
    // Only 4 codes fit after the header.
    EXPECT_EQ(ImaMsDecodeBlock(block, 6, 1, 505, frames, nullptr), 1u);
    EXPECT_EQ(ImaMsRequiredBytes(1, 5), 6u);
    EXPECT_EQ(ImaMsDecodeBlock(block, 6, 1, 5, frames, nullptr), 5u);
}

TEST(ImaMs, EncoderAndDecoderAgreeAndTrackASine) {
    const unsigned spb = 505;
    std::vector<int16_t> in(spb * 2 * 3);
    for (size_t i = 0; i < in.size() / 2; ++i) {
        in[2 * i] = int16_t(20000 * std::sin(i * 0.05));
        in[2 * i + 1] = int16_t(-12000 * std::sin(i * 0.11));
    }
    ImaState state[2];
    std::vector<int16_t> out(spb * 2);
    double err = 0, sig = 0;
    for (int blk = 0; blk < 3; ++blk) {
        std::vector<uint8_t> block(ImaMsBlockBytes(2, spb));
        ImaMsEncodeBlock(in.data() + blk * spb * 2, 2, spb, state, block.data());
        ASSERT_EQ(ImaMsDecodeBlock(block.data(), block.size(), 2, spb, out.data(), nullptr), spb);
        EXPECT_EQ(out[0], in[blk * spb * 2]); // the header carries the first sample exactly
        for (size_t i = 0; i < out.size(); ++i) {
            const double d = out[i] - in[blk * spb * 2 + i];
            err += d * d;
            sig += double(in[blk * spb * 2 + i]) * in[blk * spb * 2 + i];
        }
    }
    EXPECT_GT(10 * std::log10(sig / err), 25.0);
}

TEST(ImaMsDecoder, ReportsHeaderErrorsOnceAndGoesOn) {
    std::vector<uint8_t> blocks(768, 0x22);
    blocks[2] = 120; // bad index
    blocks[3] = 1;   // reserved byte set
    blocks[258] = 3; // second block fine
    blocks[259] = 0;
    blocks[514] = 99; // third block: a bad index again
    blocks[515] = 0;
    WholeSource src(blocks);
    auto d = MakeImaMsDecoder(src, 1, 505, 256);
    EXPECT_EQ(EncodingNote(d->GetEncoding(), 1), "Encoding: IMA ADPCM (Microsoft variant)\n");
    EXPECT_EQ(EncodingNote(d->GetEncoding(), 2),
              "Encoding: IMA ADPCM (Microsoft variant) (stereo)\n");
    std::vector<int16_t> out(2000);
    EXPECT_EQ(d->Decode(out.data(), out.size()), 1515u);
    EXPECT_FALSE(d->Failed());
    EXPECT_TRUE(d->Status());
    EXPECT_EQ(Problems(*d),
              (std::vector<std::string>{"IMA ADPCM Format Error (bad index value)\n",
                                        "IMA ADPCM Format Error (synchronization error)\n"}));
}

TEST(ImaMsDecoder, DropsAShortLastBlock) {
    WholeSource src(std::vector<uint8_t>(256 + 100, 0));
    auto d = MakeImaMsDecoder(src, 1, 505, 256);
    std::vector<int16_t> out(2000);
    EXPECT_EQ(d->Decode(out.data(), out.size()), 505u);
    EXPECT_EQ(d->Decode(out.data(), out.size()), 0u);
}

TEST(ImaApple, MatchingUpperBitsKeepTheRunningPredictor) {
    uint8_t packet[34] = {};
    packet[0] = 0x12;
    packet[1] = 0x05; // predictor 0x1200, index 5
    ImaState kept;
    kept.predictor = 0x1234;
    int16_t out[64];
    ASSERT_TRUE(ImaAppleDecodePacket(packet, kept, out, 1));
    // Code 0 at index 5 (step 12) adds 12 >> 3 = 1.
    EXPECT_EQ(out[0], 0x1234 + 1);

    ImaState reset;
    reset.predictor = 0x1334;
    ASSERT_TRUE(ImaAppleDecodePacket(packet, reset, out, 1));
    EXPECT_EQ(out[0], 0x1200 + 1);
}

TEST(ImaAppleDecoder, BadIndexFailsTheDecoder) {
    std::vector<uint8_t> data(68 * 2, 0);
    data[68 + 1] = 89; // the second set's left packet
    WholeSource src(data);
    auto d = MakeImaAppleDecoder(src, 2);
    EXPECT_EQ(EncodingNote(d->GetEncoding(), 2), "Encoding: IMA ADPCM (Apple variant) (stereo)\n");
    std::vector<int16_t> out(512);
    EXPECT_EQ(d->Decode(out.data(), out.size()), 128u);
    EXPECT_TRUE(d->Failed());
    EXPECT_EQ(d->Status().GetCode(), formats::Code::Malformed);
    EXPECT_EQ(d->Status().Message(), "Synchronization error.\n");
    EXPECT_EQ(Problems(*d), std::vector<std::string>{"Synchronization error.\n"});
    EXPECT_EQ(d->Decode(out.data(), out.size()), 0u);
}

TEST(ImaApple, StereoInterleavesAndDropsAShortPacket) {
    std::vector<uint8_t> data(34 * 2 + 34 + 20, 0);
    data[0] = 0x40;  // left predictor 0x4000, index 0
    data[34] = 0xC0; // right predictor -0x4000
    WholeSource src(data);
    auto d = MakeImaAppleDecoder(src, 2);
    std::vector<int16_t> out(300);
    ASSERT_EQ(d->Decode(out.data(), out.size()), 128u);
    EXPECT_GT(out[0], 0x4000 - 2);
    EXPECT_LT(out[1], -0x4000 + 2);
    // A set cut short gives nothing, not the samples of the set before.
    EXPECT_EQ(d->Decode(out.data(), out.size()), 0u);
}

TEST(G711, KnownValuesAndSharedTables) {
    EXPECT_EQ(MuLawTable()[0xFF], 0);
    EXPECT_EQ(MuLawTable()[0x7F], 0);
    EXPECT_EQ(MuLawTable()[0x00], -32124);
    EXPECT_EQ(MuLawTable()[0x80], 32124);
    EXPECT_EQ(ALawTable()[0xD5], 8);
    EXPECT_EQ(ALawTable()[0x55], -8);
    EXPECT_EQ(ALawTable()[0xAA], 32256);
    EXPECT_EQ(ALawTable()[0x2A], -32256);
    EXPECT_EQ(MuLawTable(), MuLawTable());
    WholeSource src({0xFF, 0x00, 0x80});
    auto d = MakePcmOrG711Decoder(Encoding::MuLaw, src);
    int16_t out[4];
    ASSERT_EQ(d->Decode(out, 4), 3u);
    EXPECT_EQ(out[1], -32124);
}

TEST(Pcm, SixteenBitSamplesSplitAcrossReadsStayWhole) {
    std::vector<uint8_t> be = {0x12, 0x34, 0x80, 0x00, 0xFF, 0xFE, 0x01};
    ChoppySource src(be, 3);
    auto d = MakePcmOrG711Decoder(Encoding::PcmS16BE, src);
    std::vector<int16_t> got;
    int16_t buf[2];
    for (size_t n; (n = d->Decode(buf, 2)) > 0;) got.insert(got.end(), buf, buf + n);
    EXPECT_EQ(got, (std::vector<int16_t>{0x1234, -32768, -2}));
}

TEST(Pcm, EightBitSignedBecomesExcess128AndWidens) {
    WholeSource src({0x00, 0x7F, 0x80, 0xFF});
    auto d = MakePcmOrG711Decoder(Encoding::PcmS8, src);
    EXPECT_EQ(d->BytesPerSample(), 1);
    int16_t wide[4];
    ASSERT_EQ(d->GetSamples(wide, 4), 4u);
    EXPECT_EQ(wide[0], 0);
    EXPECT_EQ(wide[1], 127 * 256);
    EXPECT_EQ(wide[2], -128 * 256);
    EXPECT_EQ(wide[3], -256);
}

TEST(Decoders, OfferNoRateOrChannelRanges) {
    WholeSource src({});
    auto d = MakePcmOrG711Decoder(Encoding::PcmU8, src);
    uint32_t lo, hi;
    unsigned clo, chi;
    const formats::Result rate = d->MinMaxSamplingRate(&lo, &hi);
    const formats::Result channels = d->MinMaxChannels(&clo, &chi);
    EXPECT_EQ(rate.GetCode(), formats::Code::Refused);
    EXPECT_EQ(rate.Message() + channels.Message(),
              "MinMaxSamplingRate undefined\nMinMaxChannels undefined\n");
}

} // namespace
