// The play panel as a dock of the main window, and the synchronizer dialog.
//
// The dock draws the play panel's model (editing/play_panel.h): Start, Now and End, the tempo,
// the goto point with its Goto button, the loop check box, the scroll bar from Start to End whose
// position is Now, and the position of the clock. Its buttons are the main window's actions
// (Play, Stop, Record, End record, Goto start, Initialize, Send selected), so their shortcuts,
// prompts and enabled states are the window's. What the user types goes to the model as text;
// the model refuses what it must (with its message) and the dock shows the model again.
//
// A field being typed into is not overwritten while the song plays; it shows the model again
// once it is confirmed or left.
//
// The synchronizer dialog ("Syncronization") shows the model's source, buffer size, timer period
// and resolution; OK hands the chosen source back to the panel.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/play_panel.h"

#include <QDialog>
#include <QDockWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QScrollBar;

namespace gui {

class MainWindow;

class PlayPanelDock : public QDockWidget {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "Play Panel";

    PlayPanelDock(editing::PlayPanel& panel, MainWindow& window);
    ~PlayPanelDock() override;

    QLineEdit* StartField() const { return start_; }
    QLineEdit* NowField() const { return now_; }
    QLineEdit* EndField() const { return end_; }
    QLineEdit* TempoField() const { return tempo_; }
    QComboBox* GotoBox() const { return goto_; }
    QCheckBox* LoopBox() const { return loop_; }
    QScrollBar* Position() const { return scroll_; }
    QLabel* PositionLabel() const { return position_; }

public Q_SLOTS:
    // Shows the model's state.
    void Refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Confirm(QLineEdit* field, bool (editing::PlayPanel::*set)(const std::string&));
    void OnScrollAction(int action);

    editing::PlayPanel& panel_;
    QLineEdit* start_;
    QLineEdit* now_;
    QLineEdit* end_;
    QLineEdit* tempo_;
    QComboBox* goto_;
    QCheckBox* loop_;
    QScrollBar* scroll_;
    QLabel* position_;
};

class SyncDialog : public QDialog {
    Q_OBJECT

public:
    SyncDialog(const editing::SyncDialogModel& model, QWidget* parent = nullptr);
    // The model with the chosen source.
    editing::SyncDialogModel Model() const;
    QComboBox* SourceBox() const { return source_; }

private:
    editing::SyncDialogModel model_;
    QComboBox* source_;
};

} // namespace gui
