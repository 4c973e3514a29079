// The song window: the song's entries as a table over the song rows model (editing/song_rows.h),
// the "Volume Type:" choice, the entry menu and files dropped onto the song.
//
// SongRowsModel is a Qt table model over the rows: each cell shows what SongRows::Cell gives
// (text, a check box, a choice), and an edit hands the typed text, the tick or the chosen index
// back to SongRows, which refuses, holds to range, makes the undo step and sends to the devices.
// The table follows the rows through their listener. SongWindow puts it in a view with editors
// fitting each cell (a number box within the cell's range, a list of the choices), the entry
// menu on the name (a context menu on any cell, the Menu key, or the "Entry" button), and
// includes the files dropped onto it, each as one undo step.
//
// A contained entry's Display opens a window through the main window; closing it tells the rows.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/song_rows.h"
#include "gui/document_window.h"

#include <QAbstractTableModel>

#include <memory>

class CSongDoc;
class QComboBox;
class QMenu;
class QTableView;
class QToolButton;

namespace gui {

class Shell;

class SongRowsModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit SongRowsModel(editing::SongRows& rows, QObject* parent = nullptr);
    ~SongRowsModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    editing::SongRows& Rows() { return rows_; }
    static editing::SongColumn Column(int section) { return editing::SongColumn(section); }

private:
    void OnRowsChanged(int row);

    editing::SongRows& rows_;
    int shownRows_ = 0;
};

class SongWindow : public DocumentWindow {
    Q_OBJECT

public:
    SongWindow(CSongDoc& song, Shell& shell, QWidget* parent = nullptr);
    ~SongWindow() override;

    editing::SongRows& Rows() { return *rows_; }
    SongRowsModel& Model() { return *model_; }
    QTableView* Table() const { return table_; }
    QComboBox* VolumeTypeBox() const { return volumeType_; }
    // The entry menu of a row, filled from the rows' model (the caller owns it).
    QMenu* MakeEntryMenu(int row, QWidget* parent);
    // Includes the files, one undo step each; returns how many were included.
    int IncludeFiles(const QStringList& paths);

    void Refresh() override;
    void Detach() override;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void ShowEntryMenu(int row, const QPoint& global);

    Shell& shell_;
    std::unique_ptr<editing::SongRows> rows_;
    SongRowsModel* model_;
    QTableView* table_;
    QComboBox* volumeType_;
    QToolButton* entryButton_;
};

// Registers the song window as the window of songs.
void RegisterSongWindow();

} // namespace gui
