// The wave editor's model: the selection in frames, what each command does to it, the main
// frame's delete-or-silence toggle, and undo through the document's stack.
#include "editing/wave_editor.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"
#include "tests/common/sound_test_util.h"

#include <gtest/gtest.h>

using editing::WaveEditor;

namespace {

class WaveEditorTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTempFolder(dir_.path());
    }
    void TearDown() override {
        platform::DeleteTempFiles();
        platform::SetTempFolder("");
    }
    // A writable 8-bit mono document at 11025 Hz holding the samples.
    void Fill(CWaveDoc& doc, const std::vector<uint8_t>& bytes) {
        const std::string path = dir_ / "src.wav";
        soundtest::WriteFile(path, soundtest::PcmWave(1, 11025, 8, bytes));
        ASSERT_TRUE(doc.OnOpenDocument(path));
        ASSERT_TRUE(doc.MakeTempCopy());
    }
    static std::vector<uint8_t> Bytes(CWaveDoc& doc) {
        std::vector<uint8_t> out(doc.Data()->DataLength());
        doc.Data()->ReadAt(0, out.data(), uint32_t(out.size()));
        return out;
    }
    soundtest::ScratchDir dir_;
    platform::ScopedRecordingMessages messages_;
};

} // namespace

TEST_F(WaveEditorTest, TheSelectionRunsFromTheAnchorToTheCursor) {
    CWaveDoc doc;
    Fill(doc, {1, 2, 3, 4, 5, 6});
    WaveEditor ed(doc);
    int changes = 0;
    ed.SetListener([&] { ++changes; });
    EXPECT_FALSE(ed.CanCut());
    ed.Press(4, false);
    ed.Drag(1);
    EXPECT_EQ(ed.SelectionStart(), 1u);
    EXPECT_EQ(ed.SelectionEnd(), 4u);
    EXPECT_EQ(ed.Cursor(), 1u);
    ed.Press(9, true); // extends from the anchor, held to the sound
    EXPECT_EQ(ed.SelectionStart(), 4u);
    EXPECT_EQ(ed.SelectionEnd(), 6u);
    ed.SelectAll();
    EXPECT_EQ(ed.SelectionEnd(), 6u);
    EXPECT_TRUE(ed.CanCopy());
    EXPECT_EQ(changes, 4);
}

TEST_F(WaveEditorTest, CommandsMoveTheSelectionWithTheSound) {
    CWaveDoc doc;
    Fill(doc, {1, 2, 3, 4, 5, 6});
    WaveEditor ed(doc);
    bool silent = false;
    ed.SetSilenceSource([&] { return silent; });
    ed.Select(1, 3);
    ASSERT_TRUE(ed.Cut());
    EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{1, 4, 5, 6}));
    EXPECT_FALSE(ed.HasSelection());
    EXPECT_EQ(ed.Cursor(), 1u);
    ed.SetCursor(3);
    ASSERT_TRUE(ed.Paste()); // inserted: the pasted frames are selected
    EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{1, 4, 5, 2, 3, 6}));
    EXPECT_EQ(ed.SelectionStart(), 3u);
    EXPECT_EQ(ed.SelectionEnd(), 5u);
    silent = true;
    ASSERT_TRUE(ed.Delete()); // made silent: the selection stays
    EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{1, 4, 5, 0x80, 0x80, 6}));
    EXPECT_EQ(ed.SelectionEnd(), 5u);
    EXPECT_EQ(doc.History().UndoLabel(), "Silence");
    ed.SetCursor(0);
    ASSERT_TRUE(ed.InsertSilence(2));
    EXPECT_EQ(ed.SelectionEnd(), 2u);
    EXPECT_EQ(Bytes(doc).size(), 8u);
    ed.SetPasteMode(CWaveDoc::PasteMode::Overwrite);
    ed.SetCursor(7);
    ASSERT_TRUE(ed.Paste()); // written over the last frame and on past the end
    EXPECT_EQ(ed.SelectionStart(), 7u);
    EXPECT_EQ(ed.SelectionEnd(), 9u);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(ed.Undo());
        EXPECT_LE(ed.SelectionEnd(), doc.FrameCount()) << "held to the shorter sound";
    }
    EXPECT_EQ(Bytes(doc), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

// A format change keeps the selection at the same time; a new rate only relabels the frames.
TEST_F(WaveEditorTest, TheSelectionKeepsItsTimeAcrossAFormatChange) {
    CWaveDoc doc;
    Fill(doc, std::vector<uint8_t>(11025, 0x90));
    WaveEditor ed(doc);
    ed.Select(1000, 2000);
    ASSERT_TRUE(ed.ChangeFormat(1 << 8)); // 44100 Hz, mono, 8 bits
    EXPECT_EQ(ed.SelectionStart(), 4000u);
    EXPECT_EQ(ed.SelectionEnd(), 8000u);
    ASSERT_TRUE(ed.SetSampleRate(22050));
    EXPECT_EQ(ed.SelectionEnd(), 8000u);
    ASSERT_TRUE(ed.Undo());
    ASSERT_TRUE(ed.Undo());
    EXPECT_EQ(ed.SelectionStart(), 1000u);
    EXPECT_EQ(ed.SelectionEnd(), 2000u);
    EXPECT_EQ(doc.FrameCount(), 11025u);
    ASSERT_TRUE(ed.Redo());
    EXPECT_EQ(ed.SelectionEnd(), 8000u);
    // Down to a lower rate from the Edit menu: the selection is not cut short by the frames
    // the sound had before.
    ed.Select(40000, 44000);
    ASSERT_TRUE(doc.ChangeFormat(1)); // 11025 Hz
    EXPECT_EQ(ed.SelectionStart(), 10000u);
    EXPECT_EQ(ed.SelectionEnd(), 11000u);
    ASSERT_TRUE(doc.History().Undo());
    EXPECT_EQ(ed.SelectionEnd(), 44000u);
}
