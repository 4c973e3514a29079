// The event list: one row per event of the note editor's selected tracks, in time order (the
// track's order within a time), with its time in the chosen time style, track, kind, MIDI
// channel, data and duration. Every cell but the track's is edited in place, and each edit is
// the model's Edit Event command (one undo step), so the refusals (a velocity of 0, a data byte
// above 127, a tempo out of range) are the model's too:
//   - Time and Duration: a time text ("2.500" or "2:500");
//   - Kind: a kind's name (Note, Note Off, Key Pressure, Controller, Program, Channel Pressure,
//     Pitch Bend, Tempo) turns the event into that kind;
//   - Channel: 1 to 16;
//   - Data 1 / Data 2: numbers (a note's Data 1 also as a name such as "C4"); a tempo's Data 1
//     is its beats per minute; a system-exclusive message's Data 1 is its bytes in hexadecimal.
// Selecting rows selects their events in the model (and the other views); a selection made
// elsewhere selects the rows.
//
// The rows are a flat list rebuilt when the document changes; the table asks only for the rows
// in view, so a list of 100,000 events scrolls freely.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/event_editor.h"
#include "editing/frame_settings.h"

#include <QAbstractTableModel>
#include <QWidget>

#include <functional>
#include <vector>

class QTableView;

namespace gui {

class EventListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { kTime, kTrack, kKind, kChannel, kData1, kData2, kDuration, kColumns };

    explicit EventListModel(QObject* parent = nullptr);
    // The model whose events are listed (null: none); the style of the times.
    void SetEditor(editing::NoteEditor* editor);
    void SetTimeStyle(std::function<editing::TimeStyle()> style) { style_ = std::move(style); }
    // Reads the events again (after a change of the document or of the tracks).
    void Rebuild();

    const editing::EventRef& Row(int row) const { return rows_[size_t(row)]; }
    int RowOf(const SongEvent* event) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    // The names of the kinds as the Kind column shows them (index: the status's high nibble,
    // 0 a tempo event).
    static QString KindName(const SongEvent& event);
    // The text of a cell (the display role).
    QString Text(int row, int column) const;
    // Sets a cell from a text as the user types it; false when refused or unchanged.
    bool SetText(int row, int column, const QString& text);

Q_SIGNALS:
    void edited();

private:
    uint32_t Units() const;
    editing::NoteEditor* editor_ = nullptr;
    std::function<editing::TimeStyle()> style_;
    std::vector<editing::EventRef> rows_;
};

class EventListView : public QWidget {
    Q_OBJECT

public:
    explicit EventListView(QWidget* parent = nullptr);
    void SetEditor(editing::NoteEditor* editor);
    void SetTimeStyle(std::function<editing::TimeStyle()> style);
    EventListModel* Model() const { return model_; }
    QTableView* Table() const { return table_; }
    // The document changed: the rows are read again.
    void Rebuild();
    // The model's selection changed: the rows follow.
    void FollowSelection();
    // Shows the row of an event.
    void ShowEvent(const SongEvent* event);

Q_SIGNALS:
    void edited();

private:
    void RowsSelected();

    editing::NoteEditor* editor_ = nullptr;
    EventListModel* model_;
    QTableView* table_;
    bool following_ = false;
};

} // namespace gui
