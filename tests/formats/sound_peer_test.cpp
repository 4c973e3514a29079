// Decoding compared with the reference tool: files made by sox must decode in Dendra to exactly
// sox's own decoding, and the WAVE files Dendra writes must decode in sox to the samples Dendra
// holds.
#include "events/song_event.h"
#include "formats/wave_data.h"
#include "tests/common/sound_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

using namespace sound;
using soundtest::ReadFile;
using soundtest::ScratchDir;

namespace {

bool Shell(const std::string& cmd) {
    return std::system((cmd + " 2>/dev/null").c_str()) == 0;
}

// sox's decoding of a file into the representation the wave data holds.
// input: sox's options and the quoted path of what it reads.
std::vector<uint8_t> SoxDecodeInput(const std::string& input, int bits, const std::string& out) {
    const std::string as = bits == 8 ? "-e unsigned-integer -b 8" : "-e signed-integer -b 16 -L";
    if (!Shell("sox -D -V1 " + input + " -t raw " + as + " '" + out + "'")) return {};
    return ReadFile(out);
}
std::vector<uint8_t> SoxDecode(const std::string& path, int bits, const std::string& out) {
    return SoxDecodeInput("'" + path + "'", bits, out);
}

// Opens a file the way the wave document does: WAVE files through the WAVE layer, the others
// through the readers.
formats::Result OpenLikeDocument(WaveData& data, WaveInfo& info, const std::string& path,
                                 const std::string& temp) {
    if (path.size() > 4 && path.substr(path.size() - 4) == ".wav")
        return data.OpenWave(info, path, temp);
    return data.OpenSoundFile(info, path);
}

std::vector<uint8_t> AllBytes(WaveData& data) {
    std::vector<uint8_t> out(data.DataLength());
    const uint32_t got = data.ReadAt(0, out.data(), static_cast<uint32_t>(out.size()));
    out.resize(got);
    return out;
}

struct PeerCase {
    const char* name;
    const char* ext;
    const char* soxArgs; // encoding options for the file sox writes
    int heldBits;        // what Dendra holds after decoding
    // Steps a sample may differ from sox's: sox rounds a float first to 32 bits (half away from
    // zero) and then to 16 (half up), which can land one step above the nearest; Dendra rounds
    // once, to the nearest with halves up.
    int tolerance = 0;
    bool quick = false; // one length of noise only: the reading of the samples is all that is new
};

// The 16-bit little-endian samples of a and b differ by at most tolerance steps; how many differ.
size_t DifferingSamples(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int tolerance,
                        bool* within) {
    *within = a.size() == b.size();
    size_t differ = 0;
    for (size_t i = 0; *within && i + 1 < a.size(); i += 2) {
        const int x = int16_t(a[i] | (a[i + 1] << 8));
        const int y = int16_t(b[i] | (b[i + 1] << 8));
        if (x != y) ++differ;
        if (std::abs(x - y) > tolerance) *within = false;
    }
    return differ;
}

const PeerCase kCases[] = {
    {"wav_u8", "wav", "-e unsigned-integer -b 8", 8},
    {"wav_s16", "wav", "-e signed-integer -b 16", 16},
    {"wav_ima", "wav", "-e ima-adpcm", 16},
    {"wav_alaw", "wav", "-e a-law", 16},
    {"wav_mulaw", "wav", "-e mu-law", 16},
    {"aiff_s8", "aiff", "-e signed-integer -b 8", 8},
    {"aiff_s16", "aiff", "-e signed-integer -b 16", 16},
    {"aifc_s16", "aifc", "-e signed-integer -b 16", 16},
    {"au_s8", "au", "-e signed-integer -b 8", 8},
    {"au_s16", "au", "-e signed-integer -b 16", 16},
    {"au_mulaw", "au", "-e mu-law", 16},
    // Wider samples, converted to 16 bits on reading.
    {"wav_s24_extensible", "wav", "-b 24", 16, 0, true},
    {"wav_s32_extensible", "wav", "-b 32", 16, 0, true},
    {"wav_s24", "wav", "-t wavpcm -b 24", 16, 0, true},
    {"wav_s32", "wav", "-t wavpcm -b 32", 16, 0, true},
    {"wav_f32", "wav", "-e floating-point -b 32", 16, 1, true},
    {"wav_f64", "wav", "-e floating-point -b 64", 16, 1, true},
    {"aiff_s24", "aiff", "-b 24", 16, 0, true},
    {"aiff_s32", "aiff", "-b 32", 16, 0, true},
    {"aifc_s24", "aifc", "-b 24", 16, 0, true},
    {"aifc_f32", "aifc", "-e floating-point -b 32", 16, 1, true},
    {"aifc_f64", "aifc", "-e floating-point -b 64", 16, 1, true},
    {"au_s24", "au", "-b 24", 16, 0, true},
    {"au_s32", "au", "-b 32", 16, 0, true},
    {"au_f32", "au", "-e floating-point -b 32", 16, 1, true},
    {"au_f64", "au", "-e floating-point -b 64", 16, 1, true},
    {"au_alaw", "au", "-e a-law", 16, 0, true},
};

class SoundPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!soundtest::HaveSox()) GTEST_SKIP() << "sox is not installed";
    }
    ScratchDir dir_;
};

TEST_F(SoundPeer, DecodesEveryEncodingExactlyAsSox) {
    for (const PeerCase& c : kCases) {
        for (int channels : {1, 2}) {
            // Odd lengths: a partial IMA block, an odd 8-bit data chunk with its pad byte.
            for (const char* gen : {"whitenoise", "sine 300-3000"})
                for (int frames : {1013, 7}) {
                    if (c.quick && (frames != 1013 || gen[0] != 'w')) continue;
                    const std::string tag = std::string(c.name) + "_" + std::to_string(channels) +
                                            "ch_" + std::to_string(frames) + "_" + gen[0];
                    SCOPED_TRACE(tag);
                    const std::string file = dir_ / (tag + "." + c.ext);
                    const std::string cmd = "sox -D -V1 -r 11025 -c " + std::to_string(channels) +
                                            " -n " + c.soxArgs + " '" + file + "' synth " +
                                            std::to_string(frames) + "s " + gen + " vol 0.9";
                    ASSERT_TRUE(Shell(cmd)) << cmd;
                    const std::vector<uint8_t> want =
                        SoxDecode(file, c.heldBits, dir_ / (tag + ".raw"));
                    ASSERT_FALSE(want.empty());

                    WaveData data;
                    WaveInfo info;
                    ASSERT_TRUE(OpenLikeDocument(data, info, file, dir_ / (tag + ".tmpwav")));
                    EXPECT_EQ(info.format.wFormatTag, 1);
                    EXPECT_EQ(info.format.nChannels, channels);
                    EXPECT_EQ(info.format.nSamplesPerSec, 11025u);
                    EXPECT_EQ(info.format.wBitsPerSample, c.heldBits);
                    const std::vector<uint8_t> got = AllBytes(data);
                    ASSERT_EQ(got.size(), want.size());
                    if (c.tolerance == 0) {
                        EXPECT_TRUE(got == want) << "samples differ from sox's decoding";
                    } else {
                        bool within = false;
                        const size_t differ = DifferingSamples(got, want, c.tolerance, &within);
                        EXPECT_TRUE(within) << "samples differ from sox's by more than a step";
                        EXPECT_LE(differ, got.size() / 2 / 100) << "too many samples differ";
                    }
                }
        }
    }
}

TEST_F(SoundPeer, WavesDendraWritesDecodeInSoxToWhatDendraHolds) {
    for (int channels : {1, 2}) {
        for (int bits : {8, 16}) {
            for (uint32_t rate : {11025u, 22050u, 44100u}) {
                const std::string tag = std::to_string(channels) + "ch_" + std::to_string(bits) +
                                        "b_" + std::to_string(rate);
                SCOPED_TRACE(tag);
                const std::string src = dir_ / (tag + "_src.wav");
                ASSERT_TRUE(Shell("sox -D -V1 -r " + std::to_string(rate) + " -c " +
                                  std::to_string(channels) + " -n -b " + std::to_string(bits) +
                                  " '" + src + "' synth 3001s sine 200-5000 vol 0.7"));
                WaveData data;
                WaveInfo info;
                ASSERT_TRUE(data.OpenWave(info, src, ""));
                const std::vector<uint8_t> held = AllBytes(data);

                // PCM: sox reads back exactly the held samples.
                const std::string pcm = dir_ / (tag + "_pcm.wav");
                formats::Result saved = data.SaveAsWave(info, pcm, false);
                ASSERT_TRUE(saved) << saved.Message();
                EXPECT_EQ(SoxDecode(pcm, bits, dir_ / (tag + "_pcm.raw")), held);

                // IMA ADPCM: sox and Dendra decode the written file to the same samples, and
                // those are close to what was held.
                const std::string ima = dir_ / (tag + "_ima.wav");
                saved = data.SaveAsWave(info, ima, true);
                ASSERT_TRUE(saved) << saved.Message();
                const std::vector<uint8_t> soxIma = SoxDecode(ima, 16, dir_ / (tag + "_ima.raw"));
                WaveData back;
                WaveInfo backInfo;
                ASSERT_TRUE(back.OpenWave(backInfo, ima, dir_ / (tag + "_ima.tmp")));
                EXPECT_EQ(back.SourceFormatTag(), 17);
                const std::vector<uint8_t> ours = AllBytes(back);
                // Whole blocks: the last one is completed with silence.
                const size_t heldSamples = held.size() / (bits / 8);
                const size_t spb = rate <= 11025 ? 505 : rate <= 22050 ? 1017 : 2041;
                const size_t frames = heldSamples / channels;
                ASSERT_EQ(ours.size(), (frames + spb - 1) / spb * spb * channels * 2);
                EXPECT_TRUE(ours == soxIma) << "sox decodes Dendra's IMA ADPCM differently";
                double err = 0, sig = 0;
                for (size_t i = 0; i < heldSamples; ++i) {
                    const int16_t d = int16_t(ours[2 * i] | (ours[2 * i + 1] << 8));
                    const int16_t h = bits == 8 ? int16_t((held[i] - 128) * 256)
                                                : int16_t(held[2 * i] | (held[2 * i + 1] << 8));
                    err += double(d - h) * (d - h);
                    sig += double(h) * h;
                }
                EXPECT_GT(10 * std::log10(sig / std::max(err, 1.0)), 20.0) << "encoder too lossy";
            }
        }
    }
}

} // namespace

namespace {

// Sample data sox writes raw, wrapped in a header written here: the layouts sox does not write
// itself (the extensible record's other sub-formats, AIFF-C "sowt", upper-case and G.711 types,
// "raw ", odd sample sizes).
struct HandBuilt {
    const char* name;
    const char* soxRaw; // how sox writes (and reads back) the sample data
    int heldBits;
    int tolerance;
    // The whole file around the data.
    std::vector<uint8_t> (*wrap)(int channels, const std::vector<uint8_t>& data);
};

std::vector<uint8_t> Extensible(int channels, const std::vector<uint8_t>& data, unsigned bits,
                                unsigned valid, uint16_t sub) {
    soundtest::Bytes w;
    const unsigned align = bits / 8 * channels;
    w.tag("RIFF").le32(uint32_t(4 + 8 + 40 + 8 + data.size() + (data.size() & 1))).tag("WAVE");
    w.tag("fmt ").le32(40).le16(0xFFFE).le16(channels).le32(11025).le32(11025 * align);
    w.le16(align).le16(bits).le16(22).le16(valid).le32(channels == 2 ? 3 : 4).le16(sub);
    w.raw({0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    w.tag("data").le32(uint32_t(data.size())).raw(data);
    if (data.size() & 1) w.fill(1, 0);
    return w.b;
}

std::vector<uint8_t> Aifc(int channels, const std::vector<uint8_t>& data, unsigned bits,
                          const char* type, bool aifc = true) {
    soundtest::Bytes a;
    const size_t bytesPerFrame = std::max(1u, (bits + 7) / 8) * channels;
    const uint32_t frames = uint32_t(data.size() / bytesPerFrame);
    const uint32_t comm = aifc ? 24 : 18;
    const size_t body = 4 + (aifc ? 12 : 0) + 8 + comm + 16 + data.size() + (data.size() & 1);
    a.tag("FORM").be32(uint32_t(body)).tag(aifc ? "AIFC" : "AIFF");
    if (aifc) a.tag("FVER").be32(4).be32(0xA2805140u);
    a.tag("COMM").be32(comm).be16(channels).be32(frames).be16(bits);
    a.raw({0x40, 0x0C, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}); // 11025
    if (aifc) a.tag(type).be16(0);                     // the name: an empty string and its pad
    a.tag("SSND").be32(uint32_t(8 + data.size())).be32(0).be32(0).raw(data);
    if (data.size() & 1) a.fill(1, 0);
    return a.b;
}

const HandBuilt kHandBuilt[] = {
    {"ext_s24_valid20", "-e signed-integer -b 24 -L", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Extensible(ch, d, 24, 20, 1); }},
    {"ext_s32_valid24", "-e signed-integer -b 32 -L", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Extensible(ch, d, 32, 24, 1); }},
    {"ext_f32", "-e floating-point -b 32 -L", 16, 1,
     [](int ch, const std::vector<uint8_t>& d) { return Extensible(ch, d, 32, 32, 3); }},
    {"ext_f64", "-e floating-point -b 64 -L", 16, 1,
     [](int ch, const std::vector<uint8_t>& d) { return Extensible(ch, d, 64, 64, 3); }},
    {"ext_alaw", "-e a-law", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Extensible(ch, d, 8, 8, 6); }},
    {"ext_mulaw", "-e mu-law", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Extensible(ch, d, 8, 8, 7); }},
    {"aifc_sowt16", "-e signed-integer -b 16 -L", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 16, "sowt"); }},
    {"aifc_sowt24", "-e signed-integer -b 24 -L", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 24, "sowt"); }},
    {"aifc_sowt32", "-e signed-integer -b 32 -L", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 32, "sowt"); }},
    {"aifc_FL32", "-e floating-point -b 32 -B", 16, 1,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 32, "FL32"); }},
    {"aifc_FL64", "-e floating-point -b 64 -B", 16, 1,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 64, "FL64"); }},
    {"aifc_alaw", "-e a-law", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 16, "alaw"); }},
    {"aifc_ALAW", "-e a-law", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 16, "ALAW"); }},
    {"aifc_ulaw", "-e mu-law", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 16, "ulaw"); }},
    {"aifc_ULAW", "-e mu-law", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 16, "ULAW"); }},
    {"aifc_raw", "-e unsigned-integer -b 8", 8, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 8, "raw "); }},
    {"aiff_s17", "-e signed-integer -b 24 -B", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 17, "NONE", false); }},
    {"aiff_s20", "-e signed-integer -b 24 -B", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 20, "NONE", false); }},
    {"aiff_s28", "-e signed-integer -b 32 -B", 16, 0,
     [](int ch, const std::vector<uint8_t>& d) { return Aifc(ch, d, 28, "NONE", false); }},
};

} // namespace

TEST_F(SoundPeer, HandBuiltLayoutsDecodeAsSoxDecodesTheirData) {
    for (const HandBuilt& c : kHandBuilt) {
        for (int channels : {1, 2}) {
            const std::string tag = std::string(c.name) + "_" + std::to_string(channels) + "ch";
            SCOPED_TRACE(tag);
            const std::string raw = dir_ / (tag + ".data");
            const std::string fmt = std::string("-t raw -r 11025 -c ") + std::to_string(channels) +
                                    " " + c.soxRaw + " '" + raw + "'";
            ASSERT_TRUE(Shell("sox -D -V1 -r 11025 -c " + std::to_string(channels) + " -n " + fmt +
                              " synth 1013s whitenoise vol 0.9"));
            const std::vector<uint8_t> want =
                SoxDecodeInput(fmt, c.heldBits, dir_ / (tag + ".raw"));
            ASSERT_FALSE(want.empty());
            const std::string file = dir_ / (tag + (c.name[0] == 'e' ? ".wav" : ".aif"));
            soundtest::WriteFile(file, c.wrap(channels, ReadFile(raw)));

            WaveData data;
            WaveInfo info;
            formats::Notes notes;
            const formats::Result opened =
                file.back() == 'v' ? data.OpenWave(info, file, dir_ / (tag + ".tmp"), &notes)
                                   : data.OpenSoundFile(info, file, &notes);
            ASSERT_TRUE(opened) << opened.Message();
            EXPECT_EQ(info.format.nChannels, channels);
            EXPECT_EQ(info.format.wBitsPerSample, c.heldBits);
            const std::vector<uint8_t> got = AllBytes(data);
            ASSERT_EQ(got.size(), want.size());
            if (c.heldBits == 8) {
                EXPECT_TRUE(got == want);
            } else {
                bool within = false;
                const size_t differ = DifferingSamples(got, want, c.tolerance, &within);
                EXPECT_TRUE(within) << "samples differ from sox's by more than allowed";
                EXPECT_LE(differ, got.size() / 2 / 100);
            }
        }
    }
}
