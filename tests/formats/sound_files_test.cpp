// The WAVE layer, the chunk-walking readers, the AU files and the sound object's stores.
#include "events/archive.h"
#include "events/song_event.h"
#include "formats/au_temp_file.h"
#include "formats/sample_format.h"
#include "formats/sound_reader.h"
#include "formats/wave_data.h"
#include "formats/wave_file.h"
#include "platform/user_messages.h"
#include "tests/common/sound_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace sound;
using soundtest::Bytes;

namespace {

class SoundFiles : public ::testing::Test {
protected:
    // Opens the bytes; the open's result and notes are kept in last_ and, joined, in diag_.
    std::unique_ptr<SoundReader> Reader(const std::vector<uint8_t>& bytes) {
        bytes_ = bytes;
        OpenedSound opened =
            OpenSoundReader(std::make_unique<MemoryInputStream>(bytes_.data(), bytes_.size()));
        for (const std::string& note : opened.notes) diag_ += note;
        last_ = opened.result;
        return std::move(opened.reader);
    }
    std::vector<uint8_t> ReadAll(SoundReader& r) {
        std::vector<uint8_t> out(r.DecodedBytes() + 64);
        out.resize(r.ReadDecoded(out.data(), out.size()));
        return out;
    }
    std::string diag_;
    formats::Result last_;
    std::vector<uint8_t> bytes_;
    soundtest::ScratchDir dir_;
};

std::vector<uint8_t> ImaWave(uint8_t index, size_t fmtSize, uint16_t extra) {
    Bytes w;
    std::vector<uint8_t> block(256, 0x11);
    block[0] = 0;
    block[1] = 0;
    block[2] = index;
    block[3] = 0;
    w.tag("RIFF").le32(uint32_t(4 + 8 + fmtSize + 8 + 256)).tag("WAVE");
    w.tag("fmt ").le32(uint32_t(fmtSize)).le16(17).le16(1).le32(11025).le32(5588).le16(256).le16(4);
    if (fmtSize >= 18) w.le16(uint32_t(fmtSize - 18));
    if (fmtSize >= 20) w.le16(extra);
    w.fill(fmtSize > 20 ? fmtSize - 20 : 0, 0);
    w.tag("data").le32(256).raw(block);
    return w.b;
}

TEST_F(SoundFiles, WaveLayerReadsExtraBytesOnlyForCompressedTags) {
    Bytes pcm;
    pcm.tag("RIFF").le32(4 + 26 + 12).tag("WAVE").tag("fmt ").le32(18).le16(1).le16(1);
    pcm.le32(8000).le32(8000).le16(1).le16(8).le16(7).tag("data").le32(4).raw({1, 2, 3, 4});
    soundtest::WriteFile(dir_ / "a.wav", pcm.b);
    CWaveFile f;
    ASSERT_TRUE(f.OpenRead(dir_ / "a.wav"));
    EXPECT_EQ(f.Format().cbSize, 0);
    EXPECT_TRUE(f.Extra().empty());
    EXPECT_EQ(f.Length(), 4u);

    soundtest::WriteFile(dir_ / "b.wav", ImaWave(0, 20, 505));
    ASSERT_TRUE(f.OpenRead(dir_ / "b.wav"));
    EXPECT_EQ(f.Format().wFormatTag, 17);
    ASSERT_EQ(f.Extra().size(), 2u);
    EXPECT_EQ(f.Extra()[0] | (f.Extra()[1] << 8), 505);
}

TEST_F(SoundFiles, WaveLayerHoldsTheLengthToTheDataChunkAndTheFile) {
    std::vector<uint8_t> w = soundtest::PcmWave(1, 8000, 8, {10, 20, 30});
    Bytes tail;
    tail.tag("LIST").le32(4).tag("INFO");
    w.insert(w.end(), tail.b.begin(), tail.b.end());
    soundtest::WriteFile(dir_ / "t.wav", w);
    CWaveFile f;
    ASSERT_TRUE(f.OpenRead(dir_ / "t.wav"));
    EXPECT_EQ(f.Length(), 3u); // neither the pad byte nor the LIST chunk is sound
    // A data chunk claiming more than the file holds is held to the file.
    std::vector<uint8_t> cut = soundtest::PcmWave(1, 8000, 8, std::vector<uint8_t>(100, 7));
    cut.resize(cut.size() - 40);
    soundtest::WriteFile(dir_ / "cut.wav", cut);
    ASSERT_TRUE(f.OpenRead(dir_ / "cut.wav"));
    EXPECT_EQ(f.Length(), 60u);
}

TEST_F(SoundFiles, WaveLayerRefusesWhatItCannotHold) {
    CWaveFile f;
    for (uint16_t channels : {0, 3, 9}) {
        std::vector<uint8_t> w = soundtest::PcmWave(1, 8000, 8, {1, 2});
        w[22] = uint8_t(channels);
        soundtest::WriteFile(dir_ / "c.wav", w);
        EXPECT_FALSE(f.OpenRead(dir_ / "c.wav")) << channels;
    }
    Bytes longFmt;
    longFmt.tag("RIFF").le32(100).tag("WAVE").tag("fmt ").le32(0x7FFFFFF0).le16(1);
    soundtest::WriteFile(dir_ / "l.wav", longFmt.b);
    EXPECT_FALSE(f.OpenRead(dir_ / "l.wav"));
    soundtest::WriteFile(dir_ / "z.wav", {});
    EXPECT_FALSE(f.OpenRead(dir_ / "z.wav"));
}

TEST_F(SoundFiles, WaveLayerWritesRealSizesAndFillsSilence) {
    CWaveFile f;
    const WAVEFORMATEX fmt = MakePcmFormat(11025, 1, 8);
    ASSERT_TRUE(f.OpenWrite(dir_ / "w.wav", fmt, {}, 1000000, CWaveFile::kWrite));
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(f.Write(data, 3), 3u);
    ASSERT_TRUE(f.SetLength(5, true));
    ASSERT_TRUE(f.Close());
    const std::vector<uint8_t> got = soundtest::ReadFile(dir_ / "w.wav");
    ASSERT_EQ(got.size(), 46u + 5 + 1);
    EXPECT_EQ(got[4] | (got[5] << 8), int(got.size()) - 8);
    EXPECT_EQ(got[42], 5);
    EXPECT_EQ(got[48], 3);
    EXPECT_EQ(got[49], 0x80);
    EXPECT_EQ(got[50], 0x80);
    CWaveFile back;
    ASSERT_TRUE(back.OpenRead(dir_ / "w.wav"));
    EXPECT_EQ(back.Length(), 5u);
}

TEST_F(SoundFiles, ChunkWalkerSkipsOddChunksWithTheirPadAndReportsThem) {
    Bytes w;
    w.tag("RIFF").le32(4 + 8 + 3 + 1 + 24 + 8 + 2 + 8 + 5 + 1).tag("WAVE");
    w.tag("junk").le32(3).raw({9, 9, 9}).fill(1, 0);
    w.tag("fmt ").le32(16).le16(1).le16(1).le32(8000).le32(8000).le16(1).le16(8);
    w.tag("data").le32(2).raw({0x10, 0xF0});
    w.tag("INAM").le32(5).raw({'H', 'e', 'l', 'l', 'o'}).fill(1, 0);
    auto r = Reader(w.b);
    ASSERT_TRUE(r);
    EXPECT_EQ(ReadAll(*r), (std::vector<uint8_t>{0x10, 0xF0}));
    EXPECT_NE(diag_.find("File Format: Microsoft WAVE\n"), std::string::npos);
    EXPECT_NE(diag_.find("Ignoring unrecognized `junk' chunk\n"), std::string::npos);
    EXPECT_NE(diag_.find("Encoding: 8-bit unsigned (excess-128) PCM\n"), std::string::npos);
}

TEST_F(SoundFiles, ChunkWalkerRefusesDeepNestingShortFormatsAndBadIndexes) {
    Bytes deep;
    deep.tag("RIFF").le32(200).tag("WAVE");
    for (int i = 0; i < 5; ++i) deep.tag("RIFF").le32(180 - 12 * i).tag("WAVE");
    deep.fill(100, 0);
    EXPECT_FALSE(Reader(deep.b));
    EXPECT_EQ(last_.GetCode(), formats::Code::Malformed);
    EXPECT_EQ(last_.Message(), "Error: Chunks are nested too deeply.\n");
    EXPECT_NE(diag_.find("Error: Chunks are nested too deeply.\n"), std::string::npos);

    for (size_t fmtSize : {0u, 16u, 18u}) {
        diag_.clear();
        EXPECT_FALSE(Reader(ImaWave(0, fmtSize, 505))) << fmtSize;
    }
    EXPECT_NE(diag_.find("IMA ADPCM requires additional decompression data.\n"), std::string::npos);

    diag_.clear();
    auto r = Reader(ImaWave(89, 20, 505));
    ASSERT_TRUE(r); // reported, decoded from index 0
    EXPECT_EQ(ReadAll(*r).size(), 505u * 2);
    EXPECT_FALSE(r->Failed());
    formats::Notes decoding;
    r->TakeNotes(decoding);
    EXPECT_EQ(decoding, formats::Notes{"IMA ADPCM Format Error (bad index value)\n"});
    r->TakeNotes(decoding); // each note is handed over once
    EXPECT_EQ(decoding.size(), 1u);

    // The extra size says more than the chunk holds: the IMA data is still found.
    std::vector<uint8_t> w = ImaWave(0, 20, 505);
    w[36] = 0xFF;
    EXPECT_TRUE(Reader(w));
}

TEST_F(SoundFiles, AiffRatesAndTheirLimits) {
    const uint8_t r22050[10] = {0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    uint32_t rate = 0;
    ASSERT_TRUE(AiffRate(r22050, &rate));
    EXPECT_EQ(rate, 22050u);
    const uint8_t r44100[10] = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(AiffRate(r44100, &rate));
    EXPECT_EQ(rate, 44100u);
    const uint8_t huge[10] = {0x40, 0x3E, 0x80, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(AiffRate(huge, &rate));
    const uint8_t tiny[10] = {0x3F, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(AiffRate(tiny, &rate));

    Bytes a;
    a.tag("FORM").le32(0).tag("AIFF");
    a.b[4] = 0;
    auto comm = [&](Bytes& b, uint8_t e0, uint8_t e1) {
        b.tag("COMM").be32(18).be16(1).be32(3).be16(16).raw({e0, e1, 0xAC, 0x44, 0, 0, 0, 0, 0, 0});
        b.tag("SSND").be32(8 + 6).be32(0).be32(0).raw({0x12, 0x34, 0x80, 0x00, 0x7F, 0xFF});
    };
    Bytes good;
    good.tag("FORM").be32(4 + 26 + 22).tag("AIFF");
    comm(good, 0x40, 0x0D);
    auto r = Reader(good.b);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Rate(), 22050u);
    const std::vector<uint8_t> s = ReadAll(*r);
    EXPECT_EQ(s, (std::vector<uint8_t>{0x34, 0x12, 0x00, 0x80, 0xFF, 0x7F}));
    Bytes bad;
    bad.tag("FORM").be32(4 + 26 + 22).tag("AIFF");
    comm(bad, 0x7F, 0xFF);
    EXPECT_FALSE(Reader(bad.b));
    EXPECT_NE(diag_.find("AIFF sample rate out of range.\n"), std::string::npos);
}

TEST_F(SoundFiles, AuReadsEverythingAfterTheHeaderWhateverTheSizeField) {
    Bytes au;
    au.tag(".snd")
        .be32(24)
        .be32(0xFFFFFFFF)
        .be32(3)
        .be32(8000)
        .be32(1)
        .raw({0x01, 0x02, 0xFF, 0xFE, 0x09});
    auto r = Reader(au.b);
    ASSERT_TRUE(r);
    EXPECT_EQ(ReadAll(*r), (std::vector<uint8_t>{0x02, 0x01, 0xFE, 0xFF}));
    EXPECT_NE(diag_.find("Encoding: 16-bit MSB PCM\n"), std::string::npos);

    for (uint32_t channels : {0u, 9u}) {
        Bytes c;
        c.tag(".snd").be32(24).be32(4).be32(2).be32(8000).be32(channels).raw({1, 2, 3, 4});
        EXPECT_FALSE(Reader(c.b)) << channels;
    }
    Bytes enc;
    enc.tag(".snd").be32(24).be32(4).be32(27).be32(8000).be32(1).raw({1, 2, 3, 4});
    diag_.clear();
    EXPECT_FALSE(Reader(enc.b));
    EXPECT_EQ(last_.GetCode(), formats::Code::Unsupported);
    EXPECT_EQ(diag_, "AU format 27 not supported.\n");
    diag_.clear();
    EXPECT_FALSE(Reader({}));
    EXPECT_EQ(last_.GetCode(), formats::Code::NotRecognized);
    EXPECT_EQ(diag_, ""); // nothing recognized it, so nothing was written
    EXPECT_EQ(OpenSoundReader(dir_ / "none.au").result.GetCode(), formats::Code::CannotOpen);
}

TEST_F(SoundFiles, NotesFollowTheWalkAndEndWithTheFailure) {
    // A WAVE file whose only chunks are an unknown one and a format of 3 channels.
    Bytes w;
    w.tag("RIFF").le32(4 + 8 + 2 + 24 + 8).tag("WAVE");
    w.tag("odd ").le32(2).raw({0, 0});
    w.tag("fmt ").le32(16).le16(1).le16(3).le32(8000).le32(48000).le16(6).le16(16);
    w.tag("data").le32(0);
    EXPECT_FALSE(Reader(w.b));
    EXPECT_EQ(last_.GetCode(), formats::Code::Unsupported);
    EXPECT_EQ(diag_, "File Format: Microsoft WAVE\n"
                     "Ignoring unrecognized `odd ' chunk\n"
                     "Encoding: 16-bit LSB PCM\n"
                     "Sounds of 3 channels are not supported.\n");
    EXPECT_EQ(last_.Message(), "Sounds of 3 channels are not supported.\n");

    // An Apple IMA packet with a bad index fails the reader while it is read: reads stop, and
    // the failure is handed over as a note and as the reader's status.
    Bytes a;
    std::vector<uint8_t> packets(34 * 2, 0);
    packets[34 + 1] = 100; // the second packet's index
    a.tag("FORM").be32(4 + 8 + 22 + 8 + 8 + 68).tag("AIFC");
    a.tag("COMM").be32(22).be16(1).be32(128).be16(16);
    a.raw({0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}).tag("ima4");
    a.tag("SSND").be32(8 + 68).be32(0).be32(0).raw(packets);
    diag_.clear();
    auto r = Reader(a.b);
    ASSERT_TRUE(r) << last_.Message();
    EXPECT_EQ(diag_, "File Format: Apple AIFF/AIFF-C\nEncoding: IMA ADPCM (Apple variant)\n");
    EXPECT_EQ(ReadAll(*r).size(), 64u * 2);
    EXPECT_TRUE(r->Failed());
    EXPECT_EQ(r->Status().GetCode(), formats::Code::Malformed);
    formats::Notes decoding;
    r->TakeNotes(decoding);
    EXPECT_EQ(decoding, formats::Notes{"Synchronization error.\n"});
    EXPECT_FALSE(r->Rewind());
}

TEST_F(SoundFiles, AuTemporaryFileRoundTripsThroughTheReader) {
    CAuTempFile t;
    WAVEFORMATEX f = MakePcmFormat(11025, 1, 8);
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    ASSERT_TRUE(t.Create(dir_ / "QUAV0.TMP", f));
    const uint8_t s[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(t.WriteAt(0, s, 6), 6u);
    ASSERT_TRUE(t.Close());
    std::vector<uint8_t> file = soundtest::ReadFile(dir_ / "QUAV0.TMP");
    ASSERT_EQ(file.size(), 34u);
    EXPECT_EQ(file[15], 241);
    EXPECT_EQ(file[8], 0x7F);
    auto r = std::move(OpenSoundReader(dir_ / "QUAV0.TMP").reader);
    ASSERT_TRUE(r);
    EXPECT_EQ(ReadAll(*r), std::vector<uint8_t>(s, s + 6));
}

TEST_F(SoundFiles, MemoryStoreInsertsAndErasesAcrossBlocks) {
    WaveData d;
    WaveInfo info;
    std::vector<uint8_t> data(40000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    ASSERT_EQ(d.Write(info, data.data(), uint32_t(data.size())), data.size());
    std::vector<uint8_t> gap(20000, 0xAB);
    ASSERT_TRUE(d.Insert(16000, gap.data(), uint32_t(gap.size())));
    data.insert(data.begin() + 16000, gap.begin(), gap.end());
    ASSERT_TRUE(d.Erase(100, 33000));
    data.erase(data.begin() + 100, data.begin() + 33100);
    std::vector<uint8_t> got(d.DataLength());
    ASSERT_EQ(d.ReadAt(0, got.data(), uint32_t(got.size())), got.size());
    EXPECT_EQ(got, data);
}

TEST_F(SoundFiles, StoredWaveDataReadsBackThroughTheFactory) {
    InstallWaveSoundFactory();
    EventWave w;
    auto* d = new WaveData;
    w.sound = d;
    w.flags = kWaveOwnsSound | kWavePlaybackCopy;
    const uint8_t s[5] = {0x80, 0x81, 0x7F, 0, 255};
    d->Write(w.info, s, 5);
    CArchive out;
    w.Serialize(out, true);
    CArchive in(out.Buffer().data(), out.Buffer().size());
    SongEvent* e = SongEventSerialize(in);
    ASSERT_TRUE(e && e->IsWave());
    auto* back = static_cast<EventWave*>(e);
    ASSERT_TRUE(back->sound);
    std::vector<uint8_t> got(5);
    EXPECT_EQ(back->sound->Read(back->info, got.data(), 5), 5u);
    EXPECT_EQ(got, std::vector<uint8_t>(s, s + 5));
    DeleteSongEvent(e);
}

TEST_F(SoundFiles, FormatChangesKeepTheLengthInSeconds) {
    WaveData d;
    WaveInfo info;
    std::vector<uint8_t> data(11025);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(128 + 100 * ((i / 20) % 2 ? 1 : -1));
    d.Write(info, data.data(), uint32_t(data.size()));
    const double seconds = double(d.DataLength()) / info.format.nAvgBytesPerSec;
    for (uint32_t flag : {128u, 1u, 2048u, 16u}) {
        ASSERT_TRUE(d.SetFormat(info, FlagToFormat(flag), true)) << flag;
        EXPECT_EQ(info.format.nSamplesPerSec, FlagToFormat(flag).nSamplesPerSec);
        EXPECT_NEAR(double(d.DataLength()) / info.format.nAvgBytesPerSec, seconds, 1e-4) << flag;
    }
    // Width and channel changes alone are exact: 8-bit mono to 16-bit stereo and back.
    WaveData e;
    WaveInfo ei;
    const uint8_t s[3] = {0, 128, 255};
    e.Write(ei, s, 3);
    ASSERT_TRUE(e.SetFormat(ei, MakePcmFormat(11025, 2, 16), true));
    std::vector<uint8_t> wide(12);
    e.ReadAt(0, wide.data(), 12);
    EXPECT_EQ(wide, (std::vector<uint8_t>{0, 0x80, 0, 0x80, 0, 0, 0, 0, 0, 0x7F, 0, 0x7F}));
    ASSERT_TRUE(e.SetFormat(ei, MakePcmFormat(11025, 1, 8), true));
    std::vector<uint8_t> narrow(3);
    e.ReadAt(0, narrow.data(), 3);
    EXPECT_EQ(narrow, std::vector<uint8_t>(s, s + 3));
}

TEST_F(SoundFiles, ReadOnlyStoresRefuseWritesAndFormatChanges) {
    soundtest::WriteFile(dir_ / "r.wav", soundtest::PcmWave(1, 11025, 8, {1, 2, 3, 4}));
    WaveData d;
    WaveInfo info;
    ASSERT_TRUE(d.OpenWave(info, dir_ / "r.wav", ""));
    EXPECT_FALSE(d.IsWritable());
    const uint8_t b = 9;
    EXPECT_EQ(d.Write(info, &b, 1), 0u);
    EXPECT_FALSE(d.SetFormat(info, MakePcmFormat(22050, 1, 8), true));
    EXPECT_EQ(info.format.nSamplesPerSec, 11025u);
}

TEST_F(SoundFiles, SavingOverTheSourceGoesOnReadingTheNewFile) {
    std::vector<uint8_t> samples(5000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t(i);
    const std::string path = dir_ / "self.wav";
    soundtest::WriteFile(path, soundtest::PcmWave(1, 11025, 8, samples));
    for (bool compress : {false, true}) {
        WaveData d;
        WaveInfo info;
        ASSERT_TRUE(d.OpenWave(info, path, dir_ / "conv.tmp"));
        const formats::Result saved = d.SaveAsWave(info, path, compress);
        ASSERT_TRUE(saved) << saved.Message();
        std::vector<uint8_t> got(5000);
        ASSERT_EQ(d.ReadAt(0, got.data(), 5000), 5000u);
        if (!compress) {
            EXPECT_EQ(got, samples);
        }
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    }
}

TEST_F(SoundFiles, AFailedSaveLeavesTheExistingFileAlone) {
    platform::ScopedRecordingMessages messages;
    WaveData d;
    WaveInfo info;
    const uint8_t s[2] = {1, 2};
    d.Write(info, s, 2);
    const formats::Result saved = d.SaveAsWave(info, dir_ / "missing/x.wav", false);
    EXPECT_EQ(saved.GetCode(), formats::Code::CannotOpen);
    EXPECT_NE(saved.Message().find("missing/x.wav"), std::string::npos) << saved.Message();
    EXPECT_TRUE(messages.Shown().empty());
}

} // namespace
