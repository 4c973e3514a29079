#include "editing/wave_editor.h"

#include "platform/thread_check.h"

#include <algorithm>

namespace editing {

WaveEditor::WaveEditor(CWaveDoc& doc) : doc_(doc), rate_(Rate()), frames_(doc.FrameCount()) {
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

bool WaveEditor::ChangeFormat(uint32_t flag) {
    return doc_.ChangeFormat(flag);
}

bool WaveEditor::SetSampleRate(uint32_t rate) {
    return doc_.SetSampleRate(rate);
}

bool WaveEditor::Undo() {
    return doc_.Undo();
}

bool WaveEditor::Redo() {
    return doc_.Redo();
}

uint32_t WaveEditor::Rate() const {
    return doc_.Wave() ? doc_.Wave()->info.format.nSamplesPerSec : 0;
}

void WaveEditor::OnUpdate(CDocView*, long) {
    // A conversion to another rate changes the frames with it: the selection keeps its time. A
    // new rate alone relabels the same frames.
    const uint32_t rate = Rate(), frames = doc_.FrameCount();
    if (rate != rate_ && frames != frames_ && rate && rate_) {
        anchor_ = uint32_t(uint64_t(anchor_) * rate / rate_);
        cursor_ = uint32_t(uint64_t(cursor_) * rate / rate_);
    }
    rate_ = rate;
    frames_ = frames;
    Clamp();
    Changed();
}

} // namespace editing
