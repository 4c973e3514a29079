// The staff view: the notes of the note editor's selected tracks on a treble and a bass staff
// (keys from middle C up on the treble staff, below it on the bass staff), in the key the notes
// fit best, with that key's signature and an accidental on each note outside it. A note's
// length is rounded to the grid and written as the nearest note value not longer than it (whole,
// dotted half, half, dotted quarter, quarter, dotted eighth, eighth, dotted sixteenth,
// sixteenth, thirty-second); notes are placed at their time (the same time axis as the piano
// roll, with four-beat bars), so chords stack. The selection is drawn in the highlight colour,
// the play position as a line; a click selects a note (Shift adds, Ctrl toggles) or, on an empty
// place, sets the insertion point. Editing is the piano roll's and the event list's.
//
// The key: for each of the twelve major keys the notes whose pitch class lies in its scale are
// counted; the key with the most wins, and of equal counts the one with fewer accidentals.
//
// Used on the user-interface thread only.
#pragma once

#include "gui/note_cache.h"

#include <QWidget>

#include <optional>

namespace editing {
class NoteEditor;
}

namespace gui {

// A major key by the count of its signature: 1..6 sharps, -1..-6 flats, 0 C major.
int BestKeySignature(const NoteCache& cache, const editing::NoteEditor* editor);
// The name of the major key of a signature ("E♭ major").
QString KeyNameOf(int signature);

// Where a key is written: the diatonic step from C-1 (C4 = 35) and the accidental it needs in
// that key (-1 flat, 0 none, 1 sharp, 2 natural).
struct StaffPitch {
    int step = 0;
    int accidental = 0;
};
StaffPitch SpellKey(int key, int signature);

class StaffView : public QWidget {
    Q_OBJECT

public:
    explicit StaffView(QWidget* parent = nullptr);

    void SetModel(editing::NoteEditor* editor, NoteCache* cache);
    // The grid the lengths round to (the beat divided by it; 0: a sixteenth).
    void SetGridDivisor(int divisor) { grid_ = divisor; }
    double PixelsPerBeat() const { return pxPerBeat_; }
    void SetPixelsPerBeat(double px);
    double OriginTime() const { return origin_; }
    void SetOriginTime(double units);
    void SetPlayPosition(std::optional<uint32_t> units);
    // The key signature in use (worked out again when the notes change).
    int Signature() const { return signature_; }
    void NotesChanged();

    // Geometry, for clicks and tests.
    double XOfTime(double units) const;
    double TimeAtX(double x) const;
    // The y of a diatonic step's line or space.
    double YOfStep(int step) const;
    double StepHeight() const;
    int LeftMargin() const;
    // The note drawn under a point, or null.
    const NoteBar* NoteAt(QPoint p) const;

Q_SIGNALS:
    void viewChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    uint32_t UnitsPerBeat() const;
    void PaintStaves(QPainter& p);
    void PaintNotes(QPainter& p);

    editing::NoteEditor* editor_ = nullptr;
    NoteCache* cache_ = nullptr;
    int grid_ = 4;
    double pxPerBeat_ = 60;
    double origin_ = 0;
    int signature_ = 0;
    std::optional<uint32_t> playPosition_;
};

} // namespace gui
