// The window of a channel document's notes: MIDI files, event lists (a Word's events among them)
// and, read only, a tree's solution. One note editor model (editing/event_editor.h) behind three
// views of the same events that share its selection: the piano roll, the staff and the event
// list, as tabs.
//
// The window holds the commands of the model as actions (Cut, Copy, Paste, Delete or Make
// Silent, Select All, Select Whole Track, Range Mode, Selection Parameters, Quantize, Stretch,
// Change Units per Beat, Remove Tempo Changes, Find Next Non-Note, Send Selected), each with the
// system's prompt as status tip and an object name ("note..."), enabled only when the model says
// it can act; the tools (select, pencil), the grid, the track choice and the zoom. Every edit is
// a step of the document's undo stack, undone and redone through the main window's Edit menu.
// Undo and Redo are the main window's; the window asks it to bring its commands up to date after
// each edit.
//
// While the shell plays this document the views show the play position (and page along when
// "Follow" is on). Recorded notes appear when the play engine merges them into the document (the
// document tells its views), and the notes recorded but not merged yet are drawn in the piano
// roll as outlines while recording into this document.
//
// Choices made here: bars are of four beats (the documents keep no metre); Paste puts the
// clipboard at the insertion point, which a click sets; new notes drawn with the pencil take
// the velocity 100 and the MIDI channel of the track's first note.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/event_editor.h"
#include "gui/document_window.h"
#include "gui/note_cache.h"

#include <QDialog>

#include <memory>
#include <optional>
#include <utility>

class QAction;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QMenu;
class QScrollBar;
class QSpinBox;
class QTabWidget;
class QToolBar;

namespace gui {

class EventListView;
class PianoRoll;
class Shell;
class StaffView;

// "Quantize/Randomize Event times."
class QuantizeDialog : public QDialog {
    Q_OBJECT
public:
    explicit QuantizeDialog(const editing::QuantizeSettings& values, QWidget* parent = nullptr);
    editing::QuantizeSettings Values() const;

private:
    QSpinBox* divisor_;
    QSpinBox* strength_;
    QCheckBox* randomStrength_;
    QCheckBox* randomMode_;
    QCheckBox* onsets_;
    QCheckBox* durations_;
};

// "Stretches/Contracts selected Time."
class StretchDialog : public QDialog {
    Q_OBJECT
public:
    StretchDialog(const editing::StretchSettings& values, uint32_t rangeLength,
                  QWidget* parent = nullptr);
    editing::StretchSettings Values() const;

private:
    QDoubleSpinBox* factor_;
    QSpinBox* length_;
    QCheckBox* byLength_;
    QCheckBox* onsets_;
    QCheckBox* durations_;
};

// "Change the selection parameters.": the range as time texts, and a target track.
class SelectionDialog : public QDialog {
    Q_OBJECT
public:
    SelectionDialog(const QString& start, const QString& end, int tracks,
                    QWidget* parent = nullptr);
    QString StartText() const;
    QString EndText() const;
    int TargetTrack() const; // 0: none

private:
    QLineEdit* start_;
    QLineEdit* end_;
    QComboBox* target_;
};

class NoteEditorWindow : public DocumentWindow {
    Q_OBJECT

public:
    // readOnly: a view of a solution (no edits).
    NoteEditorWindow(CChanDoc& doc, uint32_t kind, Shell& shell, bool readOnly = false,
                     QWidget* parent = nullptr);
    ~NoteEditorWindow() override;

    // The model, null once detached.
    editing::NoteEditor* Editor() const { return editor_.get(); }
    const NoteCache& Cache();
    PianoRoll* Roll() const { return roll_; }
    StaffView* Staff() const { return staff_; }
    EventListView* List() const { return list_; }
    QTabWidget* Tabs() const { return tabs_; }
    QToolBar* Bar() const { return bar_; }
    QAction* Action(const QString& name) const;

    // The commands with their dialogs answered (the actions ask first).
    bool Quantize(const editing::QuantizeSettings& settings);
    bool Stretch(const editing::StretchSettings& settings);
    bool ApplySelection(const QString& start, const QString& end, int targetTrack);
    bool ChangeUnits(uint32_t unitsPerBeat);
    // The range (or the selection's span) in whole beats, for the play panel's Send selected.
    std::optional<std::pair<int, int>> Markers();
    bool SendSelected();
    QString TimeText(uint32_t units) const;

    void Refresh() override;
    void Detach() override;
    void OnUpdate(CDocView* sender, long hint) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void MakeActions();
    void MakeBar();
    void UpdateActions();
    void UpdateScrollBars();
    void UpdatePlayPosition();
    void ModelChanged();
    void AfterEdit();
    void FillTracks();
    uint32_t Signature();

    Shell& shell_;
    bool readOnly_;
    std::unique_ptr<editing::NoteEditor> editor_;
    NoteCache cache_;
    bool dirty_ = true;
    uint32_t signature_ = 0;
    editing::QuantizeSettings quantize_;
    editing::StretchSettings stretch_;
    QTabWidget* tabs_ = nullptr;
    PianoRoll* roll_ = nullptr;
    StaffView* staff_ = nullptr;
    EventListView* list_ = nullptr;
    QScrollBar* hbar_ = nullptr;
    QScrollBar* vbar_ = nullptr;
    QToolBar* bar_ = nullptr;
    QComboBox* tracks_ = nullptr;
    QComboBox* snap_ = nullptr;
    QMenu* context_ = nullptr;
    bool fitted_ = false;
    bool updatingBars_ = false;
};

// Registers the note editors and the wave editor as the windows of their kinds.
void RegisterEditorWindows();

} // namespace gui
