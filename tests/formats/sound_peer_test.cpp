// Decoding compared with the reference tool: files made by sox must decode in Dendra to exactly
// sox's own decoding, and the WAVE files Dendra writes must decode in sox to the samples Dendra
// holds.
#include "events/song_event.h"
#include "formats/wave_data.h"
#include "tests/common/sound_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
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
std::vector<uint8_t> SoxDecode(const std::string& path, int bits, const std::string& out) {
    const std::string as = bits == 8 ? "-e unsigned-integer -b 8" : "-e signed-integer -b 16 -L";
    if (!Shell("sox -D -V1 '" + path + "' -t raw " + as + " '" + out + "'")) return {};
    return ReadFile(out);
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
};

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
                    EXPECT_TRUE(got == want) << "samples differ from sox's decoding";
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
