// The wave document: opening by path, the temporary copies, saving, editing and undo.
#include "documents/wave_document.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"
#include "tests/common/sound_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using soundtest::ScratchDir;

namespace {

class WaveDoc : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTempFolder(dir_.path());
        CWaveDoc::SetCompressWaves(false);
    }
    void TearDown() override {
        platform::DeleteTempFiles();
        platform::SetTempFolder("");
    }
    // A writable 16-bit or 8-bit mono document holding the samples.
    void Fill(CWaveDoc& doc, const std::vector<uint8_t>& bytes, uint16_t bits) {
        const std::string path = dir_ / "src.wav";
        soundtest::WriteFile(path, soundtest::PcmWave(1, 11025, bits, bytes));
        ASSERT_TRUE(doc.OnOpenDocument(path));
        ASSERT_TRUE(doc.MakeTempCopy());
    }
    std::vector<uint8_t> Bytes(CWaveDoc& doc) {
        std::vector<uint8_t> out(doc.Data()->DataLength());
        doc.Data()->ReadAt(0, out.data(), uint32_t(out.size()));
        return out;
    }
    static std::vector<uint8_t> Le16(std::initializer_list<int> v) {
        std::vector<uint8_t> out;
        for (int s : v) {
            out.push_back(uint8_t(s & 0xFF));
            out.push_back(uint8_t((s >> 8) & 0xFF));
        }
        return out;
    }
    ScratchDir dir_;
    platform::ScopedRecordingMessages messages_;
};

TEST_F(WaveDoc, NewDocumentIsAnEmptyTemporaryAuStore) {
    CWaveDoc doc;
    ASSERT_TRUE(doc.OnNewDocument());
    EXPECT_EQ(doc.GetDocKind(), kDocKindWave);
    EXPECT_EQ(doc.Data()->Kind(), sound::StoreKind::AuTemp);
    EXPECT_EQ(doc.Data()->StorePath(), dir_ / "QUAV0.TMP");
    EXPECT_EQ(doc.Wave()->flags, kWavePlaybackCopy | kWaveOwnsSound);
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 11025u);
}

TEST_F(WaveDoc, AiffOpensIntoATemporaryCopyAndTmpFilesOpenDirectly) {
    ASSERT_TRUE(soundtest::HaveSox() || true);
    // An AU temporary file made by one document opens directly in another.
    CWaveDoc first;
    Fill(first, {1, 2, 3, 4, 5}, 8);
    const std::string tmp = first.Data()->StorePath();
    first.OnCloseDocument();
    CWaveDoc direct;
    ASSERT_TRUE(direct.OnOpenDocument(tmp));
    EXPECT_EQ(direct.Data()->Kind(), sound::StoreKind::Reader);
    EXPECT_EQ(Bytes(direct), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(direct.GetPathName(), tmp);

    if (!soundtest::HaveSox()) GTEST_SKIP() << "sox is not installed";
    const std::string aiff = dir_ / "a.aiff";
    ASSERT_EQ(
        std::system(("sox -D -V1 -r 22050 -n -b 16 '" + aiff + "' synth 100s sine 440").c_str()),
        0);
    CWaveDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(aiff));
    EXPECT_EQ(doc.Data()->Kind(), sound::StoreKind::AuTemp);
    EXPECT_EQ(doc.GetPathName(), aiff);
    EXPECT_EQ(doc.FrameCount(), 100u);
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 22050u);
    const std::string out = dir_ / "a.wav";
    ASSERT_TRUE(doc.OnSaveDocument(out));
    CWaveDoc back;
    ASSERT_TRUE(back.OnOpenDocument(out));
    EXPECT_EQ(Bytes(back), Bytes(doc));
}

TEST_F(WaveDoc, EditingAReadOnlyStoreAsksAndYesMakesATemporaryCopy) {
    const std::string path = dir_ / "ro.wav";
    soundtest::WriteFile(path, soundtest::PcmWave(1, 11025, 8, {10, 20, 30, 40}));
    CWaveDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(path));
    EXPECT_FALSE(doc.Cut(0, 2, CWaveDoc::DeleteMode::Remove)); // No: nothing happens
    ASSERT_EQ(messages_.Asked().size(), 1u);
    EXPECT_EQ(messages_.Asked()[0], "File not open for writing. Open temporary file?");
    EXPECT_EQ(doc.Data()->Kind(), sound::StoreKind::WaveRead);
    messages_.QueueAnswer(platform::Answer::Yes);
    EXPECT_FALSE(doc.Cut(0, 2, CWaveDoc::DeleteMode::Remove)); // Yes: the copy, not the edit
    EXPECT_EQ(doc.Data()->Kind(), sound::StoreKind::AuTemp);
    EXPECT_EQ(doc.FrameCount(), 4u);
    EXPECT_TRUE(doc.Cut(0, 2, CWaveDoc::DeleteMode::Remove));
    EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{30, 40}));
    EXPECT_EQ(soundtest::ReadFile(path), soundtest::PcmWave(1, 11025, 8, {10, 20, 30, 40}));
}

TEST_F(WaveDoc, UndoRestoresEveryKindOfEditExactly) {
    const std::vector<uint8_t> original = Le16({1, -2, 300, -32768, 32767, 5, 6, 7});
    for (int kind = 0; kind < 6; ++kind) {
        SCOPED_TRACE(kind);
        CWaveDoc doc;
        Fill(doc, original, 16);
        ASSERT_TRUE(doc.Copy(1, 3));
        switch (kind) {
        case 0:
            ASSERT_TRUE(doc.Cut(2, 6, CWaveDoc::DeleteMode::Remove));
            break;
        case 1:
            ASSERT_TRUE(doc.Cut(0, 8, CWaveDoc::DeleteMode::Silence));
            break;
        case 2:
            ASSERT_TRUE(doc.Paste(4, CWaveDoc::PasteMode::Insert));
            break;
        case 3:
            ASSERT_TRUE(doc.Paste(7, CWaveDoc::PasteMode::Overwrite));
            break; // runs past the end
        case 4:
            ASSERT_TRUE(doc.Paste(0, CWaveDoc::PasteMode::MixAdd));
            break;
        case 5:
            ASSERT_TRUE(doc.Delete(3, 4, CWaveDoc::DeleteMode::Remove));
            break;
        }
        EXPECT_NE(Bytes(doc), original);
        EXPECT_TRUE(doc.IsModified());
        ASSERT_TRUE(doc.Undo());
        EXPECT_EQ(Bytes(doc), original);
        EXPECT_FALSE(doc.CanUndo());
    }
}

TEST_F(WaveDoc, EditsUndoAndRedoManyStepsBackWithTheirLabels) {
    const std::vector<uint8_t> original = Le16({1, 2, 3, 4, 5, 6, 7, 8});
    CWaveDoc doc;
    Fill(doc, original, 16);
    doc.SetModifiedFlag(false);
    std::vector<std::vector<uint8_t>> states{original};
    ASSERT_TRUE(doc.Cut(0, 2, CWaveDoc::DeleteMode::Remove));
    states.push_back(Bytes(doc));
    ASSERT_TRUE(doc.Paste(3, CWaveDoc::PasteMode::Insert));
    states.push_back(Bytes(doc));
    ASSERT_TRUE(doc.Silence(1, 4));
    states.push_back(Bytes(doc));
    ASSERT_TRUE(doc.Paste(6, CWaveDoc::PasteMode::Overwrite)); // runs past the end
    states.push_back(Bytes(doc));
    EXPECT_EQ(doc.History().UndoLabel(), "Paste");
    for (size_t i = states.size() - 1; i > 0; --i) {
        ASSERT_TRUE(doc.Undo());
        EXPECT_EQ(Bytes(doc), states[i - 1]) << "after undoing step " << i;
    }
    EXPECT_FALSE(doc.IsModified()) << "back at the saved sound";
    EXPECT_EQ(doc.History().RedoLabel(), "Cut");
    for (size_t i = 1; i < states.size(); ++i) {
        ASSERT_TRUE(doc.Redo());
        EXPECT_EQ(Bytes(doc), states[i]) << "after redoing step " << i;
    }
    EXPECT_TRUE(doc.IsModified());
    // A format change is a step too: undone, it gives back the very samples and the format.
    const WAVEFORMATEX format = doc.Wave()->info.format;
    ASSERT_TRUE(doc.ChangeFormat(1)); // 11025 Hz, mono, 8 bits
    EXPECT_EQ(doc.History().UndoLabel(), CWaveDoc::kChangeFormatLabel);
    const std::vector<uint8_t> converted = Bytes(doc);
    EXPECT_EQ(converted.size(), states.back().size() / 2);
    ASSERT_TRUE(doc.SetSampleRate(22050));
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 22050u);
    ASSERT_TRUE(doc.Undo());
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 11025u);
    ASSERT_TRUE(doc.Undo());
    EXPECT_EQ(Bytes(doc), states.back());
    EXPECT_EQ(std::memcmp(&doc.Wave()->info.format, &format, sizeof format), 0);
    ASSERT_TRUE(doc.Undo());
    EXPECT_EQ(Bytes(doc), states[states.size() - 2]);
    ASSERT_TRUE(doc.Redo());
    ASSERT_TRUE(doc.Redo());
    EXPECT_EQ(Bytes(doc), converted);
    EXPECT_EQ(doc.Wave()->info.format.wBitsPerSample, 8);
}

TEST_F(WaveDoc, InsertSilenceIsAStep) {
    CWaveDoc doc;
    Fill(doc, Le16({1, 2, 3}), 16);
    ASSERT_TRUE(doc.InsertSilence(1, 2));
    EXPECT_EQ(Bytes(doc), Le16({1, 0, 0, 2, 3}));
    ASSERT_TRUE(doc.InsertSilence(99, 1)); // at the end
    EXPECT_EQ(Bytes(doc), Le16({1, 0, 0, 2, 3, 0}));
    EXPECT_FALSE(doc.InsertSilence(0, 0));
    EXPECT_EQ(doc.History().UndoLabel(), "Insert Silence");
    ASSERT_TRUE(doc.Undo());
    ASSERT_TRUE(doc.Undo());
    EXPECT_EQ(Bytes(doc), Le16({1, 2, 3}));
    CWaveDoc eight;
    Fill(eight, {10, 20}, 8);
    ASSERT_TRUE(eight.InsertSilence(0, 1));
    EXPECT_EQ(Bytes(eight), (std::vector<uint8_t>{0x80, 10, 20}));
}

TEST_F(WaveDoc, PasteMixesAtTheirLimits) {
    {
        CWaveDoc doc;
        Fill(doc, Le16({32767, -32768, -3, 3}), 16);
        CWaveDoc::GetClipboard().format = doc.Wave()->info.format;
        CWaveDoc::GetClipboard().bytes = Le16({32767, -32768, 0, 0});
        ASSERT_TRUE(doc.Paste(0, CWaveDoc::PasteMode::MixAdd));
        EXPECT_EQ(Bytes(doc), Le16({32767, -32768, -3, 3}));
        CWaveDoc::GetClipboard().bytes = Le16({32767, -32768, -4, 4});
        ASSERT_TRUE(doc.Paste(0, CWaveDoc::PasteMode::MixAverage));
        // (a + b) / 2 toward zero: (-3 - 4) / 2 = -3, (3 + 4) / 2 = 3.
        EXPECT_EQ(Bytes(doc), Le16({32767, -32768, -3, 3}));
    }
    {
        CWaveDoc doc;
        Fill(doc, {255, 0, 128, 1}, 8);
        CWaveDoc::GetClipboard().format = doc.Wave()->info.format;
        CWaveDoc::GetClipboard().bytes = {255, 0, 255, 2};
        ASSERT_TRUE(doc.Paste(0, CWaveDoc::PasteMode::MixAverage));
        EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{255, 0, 191, 1})); // rounded down
        ASSERT_TRUE(doc.Undo());
        ASSERT_TRUE(doc.Paste(0, CWaveDoc::PasteMode::MixAdd));
        EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{255, 0, 255, 0})); // limited at both ends
        // Mixing past the end mixes with silence.
        ASSERT_TRUE(doc.Paste(3, CWaveDoc::PasteMode::MixAverage));
        EXPECT_EQ(doc.FrameCount(), 7u);
        EXPECT_EQ(Bytes(doc)[6], (2 + 128) / 2);
    }
}

TEST_F(WaveDoc, CompressedSaveWritesImaAdpcmAndAFailedSaveKeepsTheDocumentModified) {
    CWaveDoc doc;
    std::vector<uint8_t> s;
    for (int i = 0; i < 2000; ++i) s.push_back(uint8_t(i * 3));
    Fill(doc, s, 16);
    CWaveDoc::SetCompressWaves(true);
    const std::string out = dir_ / "c.wav";
    ASSERT_TRUE(doc.OnSaveDocument(out));
    const std::vector<uint8_t> file = soundtest::ReadFile(out);
    ASSERT_GT(file.size(), 22u);
    EXPECT_EQ(file[20] | (file[21] << 8), 17);
    EXPECT_EQ(file[32] | (file[33] << 8), 256); // block align at 11025 Hz mono

    doc.SetModifiedFlag(true);
    EXPECT_FALSE(doc.OnSaveDocument(dir_ / "no/such/folder/x.wav"));
    EXPECT_TRUE(doc.IsModified());
    ASSERT_FALSE(messages_.Shown().empty());
    EXPECT_EQ(messages_.Shown().back(), "Could not save file");
}

TEST_F(WaveDoc, FormatChangesFollowTheFlagAndRefuseBadFlags) {
    CWaveDoc doc;
    Fill(doc, std::vector<uint8_t>(11025, 0x90), 8);
    ASSERT_TRUE(doc.ChangeFormat(2048));
    EXPECT_EQ(doc.Wave()->info.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(doc.Wave()->info.format.nChannels, 2);
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 44100u);
    EXPECT_NEAR(doc.Wave()->LengthInSeconds(), 1.0, 1e-4);
    EXPECT_FALSE(doc.ChangeFormat(96));
    EXPECT_EQ(messages_.Shown().back(), "Unable to change format.");
    ASSERT_TRUE(doc.SetSampleRate(22050)); // relabel only
    EXPECT_NEAR(doc.Wave()->LengthInSeconds(), 2.0, 1e-4);
}

TEST_F(WaveDoc, AFailedOpenLeavesTheDocumentAsItWas) {
    CWaveDoc doc;
    Fill(doc, {1, 2, 3}, 8);
    EventWave* before = doc.Wave();
    soundtest::WriteFile(dir_ / "bad.wav", {'R', 'I', 'F', 'F', 0, 0});
    EXPECT_FALSE(doc.OnOpenDocument(dir_ / "bad.wav"));
    EXPECT_EQ(messages_.Shown().back(), "Could not open wave file.");
    EXPECT_EQ(doc.Wave(), before);
    EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(WaveDoc, WhatTheReadersWriteBecomesNotesAndAFailureOneMessage) {
    // An AU file of an encoding no decoder reads: its line is a note, the failure one message.
    soundtest::Bytes au;
    au.tag(".snd").be32(24).be32(4).be32(27).be32(8000).be32(1).raw({1, 2, 3, 4});
    soundtest::WriteFile(dir_ / "odd.au", au.b);
    CWaveDoc doc;
    messages_.Clear();
    EXPECT_FALSE(doc.OnOpenDocument(dir_ / "odd.au"));
    EXPECT_EQ(messages_.Noted(), std::vector<std::string>{"AU format 27 not supported.\n"});
    EXPECT_EQ(messages_.Shown(), std::vector<std::string>{"Could not open wave file."});

    // A compressed WAVE file names its encoding; the header damage decoding read past follows.
    soundtest::Bytes ima;
    std::vector<uint8_t> block(256, 0x11);
    block[2] = 120; // a step index beyond the table
    block[3] = 0;
    ima.tag("RIFF").le32(4 + 28 + 8 + 256).tag("WAVE");
    ima.tag("fmt ").le32(20).le16(17).le16(1).le32(11025).le32(5588).le16(256).le16(4);
    ima.le16(2).le16(505).tag("data").le32(256).raw(block);
    soundtest::WriteFile(dir_ / "ima.wav", ima.b);
    messages_.Clear();
    ASSERT_TRUE(doc.OnOpenDocument(dir_ / "ima.wav"));
    EXPECT_EQ(messages_.Noted(),
              (std::vector<std::string>{"Encoding: IMA ADPCM (Microsoft variant)\n",
                                        "IMA ADPCM Format Error (bad index value)\n"}));
    EXPECT_TRUE(messages_.Shown().empty());
    EXPECT_EQ(doc.FrameCount(), 505u);
}

TEST_F(WaveDoc, ADocumentForASongsEventNeverDestroysIt) {
    auto* wave = new EventWave;
    uint32_t owner = 1;
    {
        CWaveDoc doc(wave, &owner);
        EXPECT_EQ(doc.Wave(), wave);
    }
    EXPECT_EQ(owner, 0u);
    DeleteSongEvent(wave); // still ours to destroy
}

} // namespace
