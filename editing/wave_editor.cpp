#include "editing/wave_editor.h"

#include "platform/thread_check.h"

#include <algorithm>

namespace editing {

WaveEditor::WaveEditor(CWaveDoc& doc) : doc_(doc) {
    DENDRA_UI_THREAD();
    doc_.AddView(this);
}

WaveEditor::~WaveEditor() {
    doc_.RemoveView(this);
}

void WaveEditor::Changed() {
    if (listener_) listener_();
}

CWaveDoc::DeleteMode WaveEditor::DeleteMode() const {
    return silence_ && silence_() ? CWaveDoc::DeleteMode::Silence : CWaveDoc::DeleteMode::Remove;
}

void WaveEditor::SetPasteMode(CWaveDoc::PasteMode mode) {
    pasteMode_ = mode;
    Changed();
}

void WaveEditor::Clamp() {
    const uint32_t frames = doc_.FrameCount();
    anchor_ = std::min(anchor_, frames);
    cursor_ = std::min(cursor_, frames);
}

void WaveEditor::Select(uint32_t anchor, uint32_t cursor) {
    anchor_ = anchor;
    cursor_ = cursor;
    Clamp();
    Changed();
}

void WaveEditor::SelectAll() {
    Select(0, doc_.FrameCount());
}

void WaveEditor::Press(uint32_t frame, bool extend) {
    Select(extend ? anchor_ : frame, frame);
}

void WaveEditor::Drag(uint32_t frame) {
    Select(anchor_, frame);
}

bool WaveEditor::Copy() {
    return HasSelection() && doc_.Copy(SelectionStart(), SelectionEnd());
}

bool WaveEditor::Cut() {
    if (!HasSelection()) return false;
    const uint32_t start = SelectionStart(), end = SelectionEnd();
    const CWaveDoc::DeleteMode mode = DeleteMode();
    if (!doc_.Cut(start, end, mode)) return false;
    if (mode == CWaveDoc::DeleteMode::Remove)
        SetCursor(start);
    else
        Select(start, end);
    return true;
}

bool WaveEditor::Delete() {
    if (!HasSelection()) return false;
    const uint32_t start = SelectionStart(), end = SelectionEnd();
    const CWaveDoc::DeleteMode mode = DeleteMode();
    if (!doc_.Delete(start, end, mode)) return false;
    if (mode == CWaveDoc::DeleteMode::Remove)
        SetCursor(start);
    else
        Select(start, end);
    return true;
}

bool WaveEditor::Paste() {
    const uint32_t at = HasSelection() ? SelectionStart() : cursor_;
    const uint32_t before = doc_.FrameCount();
    const CWaveDoc::Clipboard& clip = CWaveDoc::GetClipboard();
    if (clip.empty() || !doc_.Paste(at, pasteMode_)) return false;
    uint32_t frames;
    if (pasteMode_ == CWaveDoc::PasteMode::Insert) {
        frames = doc_.FrameCount() - before;
    } else {
        // The clipboard's length in this sound's frames.
        const WAVEFORMATEX& f = doc_.Wave()->info.format;
        const uint64_t clipFrames =
            clip.format.nBlockAlign ? clip.bytes.size() / clip.format.nBlockAlign : 0;
        frames = clip.format.nSamplesPerSec
                     ? uint32_t(clipFrames * f.nSamplesPerSec / clip.format.nSamplesPerSec)
                     : uint32_t(clipFrames);
    }
    Select(std::min(at, before), std::min(at, before) + frames);
    return true;
}

bool WaveEditor::InsertSilence(uint32_t frames) {
    const uint32_t at = std::min(HasSelection() ? SelectionStart() : cursor_, doc_.FrameCount());
    if (!doc_.InsertSilence(at, frames)) return false;
    Select(at, at + frames);
    return true;
}

void WaveEditor::FollowRate(uint32_t oldRate) {
    const uint32_t rate = doc_.Wave() ? doc_.Wave()->info.format.nSamplesPerSec : 0;
    if (oldRate && rate && rate != oldRate) {
        anchor_ = uint32_t(uint64_t(anchor_) * rate / oldRate);
        cursor_ = uint32_t(uint64_t(cursor_) * rate / oldRate);
    }
    Clamp();
    Changed();
}

bool WaveEditor::ChangeFormat(uint32_t flag) {
    const uint32_t rate = doc_.Wave() ? doc_.Wave()->info.format.nSamplesPerSec : 0;
    if (!doc_.ChangeFormat(flag)) return false;
    FollowRate(rate);
    return true;
}

bool WaveEditor::SetSampleRate(uint32_t rate) {
    // A new rate relabels the samples: the selection keeps its frames.
    if (!doc_.SetSampleRate(rate)) return false;
    Clamp();
    Changed();
    return true;
}

bool WaveEditor::Undo() {
    const uint32_t rate = doc_.Wave() ? doc_.Wave()->info.format.nSamplesPerSec : 0;
    const bool format = doc_.History().UndoLabel() == CWaveDoc::kChangeFormatLabel;
    if (!doc_.Undo()) return false;
    if (format)
        FollowRate(rate);
    else
        Clamp();
    Changed();
    return true;
}

bool WaveEditor::Redo() {
    const uint32_t rate = doc_.Wave() ? doc_.Wave()->info.format.nSamplesPerSec : 0;
    const bool format = doc_.History().RedoLabel() == CWaveDoc::kChangeFormatLabel;
    if (!doc_.Redo()) return false;
    if (format)
        FollowRate(rate);
    else
        Clamp();
    Changed();
    return true;
}

void WaveEditor::OnUpdate(CDocView*, long) {
    Clamp();
    Changed();
}

} // namespace editing
