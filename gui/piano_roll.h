// The piano roll: the notes of a channel document as bars on a keyboard (keys upwards) against
// time (beats and bars on the ruler above), with the velocities as stems in a lane below.
//
// It draws the note editor's model (editing/event_editor.h) through a NoteCache and forwards
// input to it; every rule (what a click selects, what an edit does, its undo step) is the
// model's. Input:
//   - Select tool: a click on a note selects it (Shift adds, Ctrl toggles); dragging a selected
//     note moves the selection, dragging its right end (the last few pixels) resizes it; a drag
//     from an empty place draws a rubber band that selects the notes it touches, and a click
//     there sets the insertion point (where Paste puts the clipboard). In range mode a drag
//     selects a time range instead.
//   - Pencil tool: a click on an empty place inserts a note of one grid step into the current
//     track (dragging on lengthens it); on a note it acts as the select tool.
//   - Drags snap to the grid (the note's start, or its end when resizing); Shift held bypasses
//     the grid. Arrow keys nudge the selection by one grid step or one key (Shift+Up/Down: an
//     octave); a drag in the velocity lane sets the velocity of the note whose stem is nearest.
//   - The wheel scrolls, Shift+wheel scrolls sideways, Ctrl+wheel zooms time at the pointer and
//     Ctrl+Shift+wheel zooms the keys.
// Nothing changes the document until a drag ends, so each drag is one undo step.
//
// Painting: a view of few notes draws each as a framed bar; above kDetailLimit notes in view the
// bars are written straight into an image the size of the note area (one pixel span per row),
// and the velocity lane keeps the highest velocity per pixel column, so that a full repaint of
// 100,000 notes stays within a frame at any zoom.
//
// Used on the user-interface thread only.
#pragma once

#include "gui/note_cache.h"

#include <QImage>
#include <QPoint>
#include <QWidget>

#include <cstdint>
#include <optional>

namespace editing {
class NoteEditor;
}

class QMenu;

namespace gui {

class PianoRoll : public QWidget {
    Q_OBJECT

public:
    enum class Tool { Select, Pencil };
    static constexpr size_t kDetailLimit = 2000;
    static constexpr int kBeatsPerBar = 4;

    explicit PianoRoll(QWidget* parent = nullptr);

    // The model and the cache it draws (both kept by the caller; null: nothing to draw).
    void SetModel(editing::NoteEditor* editor, NoteCache* cache);
    void SetReadOnly(bool on) { readOnly_ = on; }
    // The menu a right click opens (kept by the caller).
    void SetContextMenu(QMenu* menu) { menu_ = menu; }
    bool ReadOnly() const { return readOnly_; }

    Tool CurrentTool() const { return tool_; }
    void SetTool(Tool tool) { tool_ = tool; }
    // The grid: the beat divided by the divisor (0: no grid).
    int SnapDivisor() const { return snapDivisor_; }
    void SetSnapDivisor(int divisor) { snapDivisor_ = divisor; }
    // Units of one grid step (at least 1).
    uint32_t GridUnits() const;
    // A time on the grid (unless bypass or no grid).
    uint32_t Snap(int64_t t, bool bypass) const;
    int NewNoteVelocity() const { return velocity_; }

    // ---- The view ----
    double PixelsPerBeat() const { return pxPerBeat_; }
    // Zooms time keeping the time under x (a widget coordinate) in place.
    void SetPixelsPerBeat(double px, double anchorX = -1);
    double RowHeight() const { return rowHeight_; }
    void SetRowHeight(double px);
    double OriginTime() const { return origin_; } // units at the note area's left edge
    void SetOriginTime(double units);
    double OriginY() const { return originY_; } // pixels scrolled down from key 127's top
    void SetOriginY(double y);
    // Shows every note.
    void ZoomToFit();
    // Scrolls so that the key is in the middle.
    void CentreKey(int key);
    // The play position in units (none: not playing); with follow the view pages along.
    void SetPlayPosition(std::optional<uint32_t> units, bool follow);
    std::optional<uint32_t> PlayPosition() const { return playPosition_; }

    // ---- Geometry (widget coordinates) ----
    int KeyboardWidth() const;
    int RulerHeight() const;
    int LaneHeight() const;
    QRect NoteArea() const;
    QRect LaneArea() const;
    double XOfTime(double units) const;
    double TimeAtX(double x) const;
    double YOfKey(int key) const; // the top of the key's row
    int KeyAtY(double y) const;
    QRectF NoteRect(const NoteBar& bar) const;
    // The whole height of the 128 rows, and the units the view can scroll over.
    double ContentHeight() const { return 128 * rowHeight_; }
    double ContentUnits() const;
    double VisibleUnits() const;
    // The note under a point of the note area (the one drawn on top), or null.
    const NoteBar* NoteAt(QPoint p) const;

    // Draws the whole widget into a painter (for benchmarks: the same work as a repaint).
    void PaintAll(QPainter& p);

Q_SIGNALS:
    // Zoom or scroll changed (the window's scroll bars follow).
    void viewChanged();
    // An edit was forwarded to the model.
    void edited();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    enum class Drag { None, Band, Move, Resize, Range, Velocity };
    uint32_t UnitsPerBeat() const;
    void PaintGrid(QPainter& p, const QRect& area);
    void PaintNotes(QPainter& p, const QRect& area);
    void PaintLane(QPainter& p, const QRect& lane);
    void PaintRuler(QPainter& p);
    void PaintKeyboard(QPainter& p);
    // The beat step between grid lines that keeps them apart on screen.
    double LineStepBeats() const;
    // How far the drag moved, as the model will be asked: time and key steps.
    int64_t DragTimeDelta(bool bypass) const;
    int DragKeyDelta() const;
    void FinishDrag(QMouseEvent* event);
    void ClampOrigin();
    void Edited();

    editing::NoteEditor* editor_ = nullptr;
    NoteCache* cache_ = nullptr;
    QMenu* menu_ = nullptr;
    bool readOnly_ = false;
    Tool tool_ = Tool::Select;
    int snapDivisor_ = 4;
    int velocity_ = 100;
    double pxPerBeat_ = 80;
    double rowHeight_ = 12;
    double origin_ = 0;
    double originY_ = 0;
    std::optional<uint32_t> playPosition_;

    Drag drag_ = Drag::None;
    QPoint pressAt_;
    QPoint dragAt_;
    Qt::KeyboardModifiers pressModifiers_;
    NoteBar dragNote_; // the note the drag holds
    uint32_t rangeAnchor_ = 0;
    QImage layer_; // the note area's image when many notes are in view
};

} // namespace gui
