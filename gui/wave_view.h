// The wave editor: the waveform of each channel of a wave document, drawn from the min/max peak
// cache (gui/peak_cache.h, built on a thread of its own when the window opens and after every
// change of the sound), a time ruler in seconds, the selection, the cursor and the play position.
//
// It draws the wave editing model (editing/wave_editor.h) and forwards input to it: a press puts
// the cursor (Shift extends the selection), a drag selects. Ctrl+wheel zooms at the pointer, the
// wheel and Shift+wheel scroll. Where a pixel column covers fewer frames than a level-0 entry of
// the cache, the samples themselves are read (a screen's width of them at most, under the wave's
// mutex) and drawn as a line.
//
// The window's commands: Cut, Copy, Paste (with the paste mode: insert, overwrite, mix averaged,
// mix added), Delete or Silence (the delete-or-silence toggle), Select All, Insert Silence,
// Format (the twelve standard formats, the sample rate and the "Compress wave files" choice),
// Play Selection, Play from Cursor, zoom; each edit a step of the document's undo stack (Undo and
// Redo are the main window's). The peak worker is stopped around every command, because the
// document reads its store without the wave's mutex while it edits.
//
// Choices made here: a play of the selection plays the whole beats around it (the play engine
// starts and ends on beats; a wave document's beat is one second's worth of frames).
//
// Used on the user-interface thread only.
#pragma once

#include "editing/wave_editor.h"
#include "gui/document_window.h"
#include "gui/peak_cache.h"

#include <QDialog>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QCheckBox;
class QListWidget;
class QMenu;
class QScrollBar;
class QSpinBox;
class QTimer;
class QToolBar;

namespace gui {

class Shell;

class WaveView : public QWidget {
    Q_OBJECT

public:
    explicit WaveView(QWidget* parent = nullptr);
    void SetModel(editing::WaveEditor* editor, PeakCache* peaks);
    void SetContextMenu(QMenu* menu) { menu_ = menu; }

    double FramesPerPixel() const { return fpp_; }
    void SetFramesPerPixel(double fpp, double anchorX = -1);
    double OriginFrame() const { return origin_; }
    void SetOriginFrame(double frame);
    void ZoomToFit();
    void SetPlayPosition(std::optional<uint32_t> frame);

    int RulerHeight() const;
    QRect WaveArea() const;
    double XOfFrame(double frame) const;
    double FrameAtX(double x) const;
    uint32_t Frames() const;

    void PaintAll(QPainter& p);

Q_SIGNALS:
    void viewChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void PaintRuler(QPainter& p);
    void PaintChannel(QPainter& p, int channel, const QRect& lane);
    uint32_t Rate() const;
    uint32_t FrameAt(double x) const;
    void ClampOrigin();

    editing::WaveEditor* editor_ = nullptr;
    PeakCache* peaks_ = nullptr;
    QMenu* menu_ = nullptr;
    double fpp_ = 256;
    double origin_ = 0;
    bool dragging_ = false;
    std::optional<uint32_t> playPosition_;
    // Reused by every paint.
    std::vector<int16_t> lo_, hi_;
    std::vector<uint8_t> valid_;
    std::vector<uint8_t> samples_;
};

// The format dialog ("Set the wave display properties"): the twelve standard formats, the
// sample rate, and whether saves compress.
class WaveFormatDialog : public QDialog {
    Q_OBJECT
public:
    WaveFormatDialog(uint32_t flag, uint32_t rate, bool compress, QWidget* parent = nullptr);
    uint32_t Flag() const;
    uint32_t Rate() const;
    bool Compress() const;
    QListWidget* Formats() const { return formats_; }

private:
    QListWidget* formats_;
    QSpinBox* rate_;
    QCheckBox* compress_;
};

class WaveEditorWindow : public DocumentWindow {
    Q_OBJECT

public:
    WaveEditorWindow(CWaveDoc& doc, uint32_t kind, Shell& shell, QWidget* parent = nullptr);
    ~WaveEditorWindow() override;

    editing::WaveEditor* Editor() const { return editor_.get(); }
    WaveView* View() const { return view_; }
    PeakCache& Peaks() { return peaks_; }
    QAction* Action(const QString& name) const;

    // The commands with their dialogs answered.
    bool InsertSilence(double seconds);
    bool ApplyFormat(uint32_t flag, uint32_t rate, bool compress);
    bool PlaySelection();
    bool PlayFromCursor();
    // Runs a command of the model with the peak worker stopped.
    bool Run(const std::function<bool()>& command);

    void Refresh() override;
    void Detach() override;
    void OnUpdate(CDocView* sender, long hint) override;

private:
    void MakeActions();
    void StartPeaks();
    void UpdateActions();
    void UpdateScrollBar();
    void UpdatePlayPosition();
    void AfterEdit();

    Shell& shell_;
    std::unique_ptr<editing::WaveEditor> editor_;
    PeakCache peaks_;
    bool peaksStale_ = true;
    WaveView* view_ = nullptr;
    QScrollBar* hbar_ = nullptr;
    QToolBar* bar_ = nullptr;
    QMenu* context_ = nullptr;
    QTimer* progress_ = nullptr;
    bool fitted_ = false;
    bool updatingBar_ = false;
};

} // namespace gui
