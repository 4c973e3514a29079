// The editing model behind a wave document's view: the selection and the cursor in frames, the
// paste mode, the main frame's delete-or-silence toggle, and the commands (Cut, Copy, Paste,
// Delete or Silence, Insert Silence, format and sample-rate changes, Undo, Redo), each a step of
// the document's undo stack (documents/wave_document.h does the edits).
//
// The selection runs from an anchor to the cursor, held to the sound's frames; a press puts both
// at a frame (or, extending, moves only the cursor), a drag moves the cursor. After an edit the
// selection covers what was pasted or inserted, or shrinks to the cut's start; after a
// conversion to another rate (made or undone from anywhere) it keeps its place in time, while a
// new sample rate alone keeps its frames.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/wave_document.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

namespace editing {

class WaveEditor : public CDocView {
public:
    explicit WaveEditor(CWaveDoc& doc);
    ~WaveEditor() override;
    WaveEditor(const WaveEditor&) = delete;
    WaveEditor& operator=(const WaveEditor&) = delete;

    CWaveDoc& Doc() { return doc_; }
    void SetListener(std::function<void()> listener) { listener_ = std::move(listener); }
    // The main frame's delete-or-silence toggle: true makes Cut and Delete silence the
    // selection instead of removing it. Unset: they remove it.
    void SetSilenceSource(std::function<bool()> source) { silence_ = std::move(source); }
    CWaveDoc::DeleteMode DeleteMode() const;
    CWaveDoc::PasteMode PasteMode() const { return pasteMode_; }
    void SetPasteMode(CWaveDoc::PasteMode mode);

    // ---- selection (frames; the end is exclusive) ----
    uint32_t SelectionStart() const { return std::min(anchor_, cursor_); }
    uint32_t SelectionEnd() const { return std::max(anchor_, cursor_); }
    bool HasSelection() const { return anchor_ != cursor_; }
    uint32_t Cursor() const { return cursor_; }
    void Select(uint32_t anchor, uint32_t cursor);
    void SelectAll();
    // The cursor alone (no selection).
    void SetCursor(uint32_t frame) { Select(frame, frame); }
    void Press(uint32_t frame, bool extend);
    void Drag(uint32_t frame);

    // ---- enabled ----
    bool CanCopy() const { return HasSelection(); }
    bool CanCut() const { return HasSelection(); }
    bool CanDelete() const { return HasSelection(); }
    bool CanPaste() const { return !CWaveDoc::GetClipboard().empty(); }
    bool CanUndo() const { return doc_.History().CanUndo(); }
    bool CanRedo() const { return doc_.History().CanRedo(); }
    std::string UndoLabel() const { return doc_.History().UndoLabel(); }
    std::string RedoLabel() const { return doc_.History().RedoLabel(); }

    // ---- commands (true when something was done) ----
    bool Copy();
    bool Cut();
    bool Delete();
    // At the cursor, or over the selection's start when there is one.
    bool Paste();
    bool InsertSilence(uint32_t frames);
    bool ChangeFormat(uint32_t flag);
    bool SetSampleRate(uint32_t rate);
    bool Undo();
    bool Redo();

    void OnUpdate(CDocView* sender, long hint) override;

private:
    void Changed();
    void Clamp();
    uint32_t Rate() const;

    CWaveDoc& doc_;
    std::function<void()> listener_;
    std::function<bool()> silence_;
    CWaveDoc::PasteMode pasteMode_ = CWaveDoc::PasteMode::Insert;
    uint32_t anchor_ = 0;
    uint32_t cursor_ = 0;
    // The sound's rate and frames when the editor last looked.
    uint32_t rate_ = 0;
    uint32_t frames_ = 0;
};

} // namespace editing
