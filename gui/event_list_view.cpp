#include "gui/event_list_view.h"

#include "editing/field_text.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace gui {

namespace {

constexpr const char* kKindNames[] = {"Tempo",
                                      "",
                                      "",
                                      "",
                                      "",
                                      "",
                                      "",
                                      "",
                                      "Note Off",
                                      "Note",
                                      "Key Pressure",
                                      "Controller",
                                      "Program",
                                      "Channel Pressure",
                                      "Pitch Bend",
                                      "System"};

const char* const kNoteNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

QString NoteName(int key) {
    return QString::fromLatin1(kNoteNames[key % 12]) + QString::number(key / 12 - 1);
}

// A key typed as a number or a name ("C4", "c#3", "Eb-1").
std::optional<int> ParseKey(const QString& text) {
    const QString t = text.trimmed();
    if (auto n = editing::ParseInteger(t.toStdString())) return int(*n);
    if (t.isEmpty()) return std::nullopt;
    static const int steps[] = {9, 11, 0, 2, 4, 5, 7}; // A..G
    const QChar letter = t[0].toUpper();
    if (letter < QLatin1Char('A') || letter > QLatin1Char('G')) return std::nullopt;
    int key = steps[letter.unicode() - 'A'];
    int i = 1;
    if (i < t.size() && (t[i] == QLatin1Char('#') || t[i] == QLatin1Char('b'))) {
        key += t[i] == QLatin1Char('#') ? 1 : -1;
        ++i;
    }
    const auto octave = editing::ParseInteger(t.mid(i).toStdString());
    if (!octave) return std::nullopt;
    return int(key + (*octave + 1) * 12);
}

bool IsSysexStart(SongEvent& e) {
    return e.IsMidi() && e.GetMessageBytes()[0] == 0xF0 && e.GetData1() == 0xF0;
}

uint32_t TempoOf(SongEvent& e) {
    const uint8_t* b = e.GetMessageBytes();
    return uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

} // namespace

EventListModel::EventListModel(QObject* parent) : QAbstractTableModel(parent) {}

void EventListModel::SetEditor(editing::NoteEditor* editor) {
    editor_ = editor;
    Rebuild();
}

uint32_t EventListModel::Units() const {
    return editor_ ? std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat)) : 1;
}

void EventListModel::Rebuild() {
    beginResetModel();
    rows_.clear();
    if (editor_) {
        CChanDoc& doc = editor_->Doc();
        for (int ch = 1; ch <= doc.GetChannelCount(); ++ch) {
            if (!editor_->IsTrackSelected(ch)) continue;
            CEventTree* tree = doc.GetChannelEvents(ch);
            if (!tree) continue;
            const size_t before = rows_.size();
            for (SongEvent* e = tree->First(); e; e = tree->Next())
                rows_.push_back(editing::EventRef{ch, e, tree->CurrentTime()});
            if (before > 0)
                std::inplace_merge(rows_.begin(), rows_.begin() + long(before), rows_.end(),
                                   [](const editing::EventRef& a, const editing::EventRef& b) {
                                       return a.time < b.time;
                                   });
        }
    }
    endResetModel();
}

int EventListModel::RowOf(const SongEvent* event) const {
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].event == event) return int(i);
    return -1;
}

int EventListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int EventListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QString EventListModel::KindName(const SongEvent& event) {
    auto& e = const_cast<SongEvent&>(event);
    if (e.IsWave()) return QStringLiteral("Wave");
    if (e.IsValue()) return QStringLiteral("Value");
    if (!e.IsMidi()) return QStringLiteral("Event");
    const uint8_t status = e.GetMessageBytes()[0];
    if (status == 0xF0)
        return e.GetData1() == 0xF0 ? QStringLiteral("SysEx") : QStringLiteral("SysEx Data");
    if (e.IsNoteOn()) return QStringLiteral("Note");
    return QString::fromLatin1(kKindNames[status >> 4]);
}

QString EventListModel::Text(int row, int column) const {
    if (row < 0 || size_t(row) >= rows_.size() || !editor_) return {};
    const editing::EventRef& r = rows_[size_t(row)];
    SongEvent& e = *r.event;
    const editing::TimeStyle style = style_ ? style_() : editing::TimeStyle::kDecimal;
    const bool midi = e.IsMidi();
    const uint8_t status = midi ? e.GetMessageBytes()[0] : 0;
    const int kind = status >> 4;
    const bool channelMessage = midi && kind >= 0x8 && kind <= 0xE;
    switch (column) {
    case kTime:
        return QString::fromStdString(editing::FormatTime(r.time, Units(), style));
    case kTrack:
        return QString::number(r.channel);
    case kKind:
        return KindName(e);
    case kChannel:
        return channelMessage ? QString::number((status & 0x0F) + 1) : QString();
    case kData1:
        if (e.IsValue()) return QString::number(e.GetValue(), 'g', 6);
        if (!midi) return {};
        if (status == 0) {
            const uint32_t us = TempoOf(e);
            return us ? QString::fromStdString(editing::FormatNumber(60000000.0 / us, 2)) +
                            QStringLiteral(" bpm")
                      : QString();
        }
        if (IsSysexStart(e)) {
            // The message's bytes: the fragments that follow at its time, up to F7.
            QStringList bytes;
            CEventTree* tree = editor_->Doc().GetChannelEvents(r.channel);
            if (tree) {
                bool after = false;
                for (const editing::EventRef& f :
                     editing::EventsIn(*tree, r.channel, r.time, uint64_t(r.time) + 1)) {
                    if (f.event == r.event) {
                        after = true;
                        continue;
                    }
                    if (!after) continue;
                    if (!f.event->IsMidi() || f.event->GetMessageBytes()[0] != 0xF0 ||
                        f.event->GetData1() == 0xF0 || f.event->GetData1() == 0xF7)
                        break;
                    bytes << QStringLiteral("%1")
                                 .arg(f.event->GetData1(), 2, 16, QLatin1Char('0'))
                                 .toUpper();
                }
            }
            return bytes.join(QLatin1Char(' '));
        }
        if (kind == 0x8 || kind == 0x9 || kind == 0xA)
            return QStringLiteral("%1 (%2)").arg(NoteName(e.GetData1())).arg(e.GetData1());
        return QString::number(e.GetData1());
    case kData2:
        if (!channelMessage || kind == 0xC || kind == 0xD) return {};
        return QString::number(e.GetData2());
    case kDuration:
        if (!e.GetDuration()) return {};
        return QString::fromStdString(editing::FormatTime(e.GetDuration(), Units(), style));
    default:
        return {};
    }
}

QVariant EventListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole) {
        QString t = Text(index.row(), index.column());
        // Edited as typed: a note's Data 1 without the number, a tempo without the unit.
        if (role == Qt::EditRole && index.column() == kData1) {
            const qsizetype cut = t.indexOf(QLatin1Char(' '));
            const SongEvent& e = *rows_[size_t(index.row())].event;
            if (cut > 0 && !IsSysexStart(const_cast<SongEvent&>(e))) t = t.left(cut);
        }
        return t;
    }
    if (role == Qt::TextAlignmentRole)
        return index.column() == kKind ? int(Qt::AlignLeft | Qt::AlignVCenter)
                                       : int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole && index.column() == kData1 && index.row() < int(rows_.size()) &&
        IsSysexStart(*rows_[size_t(index.row())].event))
        return QStringLiteral("The message's bytes in hexadecimal, without F0 and F7");
    return {};
}

QVariant EventListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    static const char* const names[] = {"Time",   "Track",  "Kind",    "Channel",
                                        "Data 1", "Data 2", "Duration"};
    return section >= 0 && section < kColumns ? QString::fromLatin1(names[section]) : QVariant();
}

Qt::ItemFlags EventListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (index.column() != kTrack && editor_) f |= Qt::ItemIsEditable;
    return f;
}

bool EventListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole) return false;
    return SetText(index.row(), index.column(), value.toString());
}

bool EventListModel::SetText(int row, int column, const QString& text) {
    if (!editor_ || row < 0 || size_t(row) >= rows_.size()) return false;
    const editing::EventRef r = rows_[size_t(row)];
    SongEvent& e = *r.event;
    editing::EventChange change;
    const std::string s = text.trimmed().toStdString();
    switch (column) {
    case kTime:
    case kDuration: {
        const auto t = editing::ParseTime(s, Units());
        if (!t) return false;
        const uint32_t v = uint32_t(std::min<uint64_t>(*t, UINT32_MAX));
        if (column == kTime)
            change.time = v;
        else
            change.duration = v;
        break;
    }
    case kKind: {
        int kind = -1;
        for (int k = 0; k < 16; ++k)
            if (kKindNames[k][0] &&
                text.trimmed().compare(QLatin1String(kKindNames[k]), Qt::CaseInsensitive) == 0)
                kind = k;
        if (kind < 0) return false;
        change.kind = kind;
        // A note made from another kind sounds.
        if (kind == 0x9 && e.GetData2() == 0) change.data2 = 64;
        break;
    }
    case kChannel: {
        const auto n = editing::ParseInteger(s);
        if (!n) return false;
        change.channel = int(*n - 1);
        break;
    }
    case kData1: {
        if (e.IsValue()) {
            const auto v = editing::ParseNumber(s);
            if (!v) return false;
            change.value = *v;
            break;
        }
        if (!e.IsMidi()) return false;
        const uint8_t status = e.GetMessageBytes()[0];
        if (IsSysexStart(e)) {
            std::vector<uint8_t> bytes;
            for (const QString& part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
                bool ok = false;
                const uint v = part.toUInt(&ok, 16);
                if (!ok || v > 0xFF) return false;
                bytes.push_back(uint8_t(v));
            }
            const bool done = editor_->SetSysexBytes(r, bytes);
            if (done) Q_EMIT edited();
            return done;
        }
        if (status == 0) {
            QString t = text.trimmed();
            t.remove(QStringLiteral("bpm"), Qt::CaseInsensitive);
            const auto bpm = editing::ParseNumber(t.trimmed().toStdString());
            if (!bpm || !(*bpm > 0)) return false;
            change.tempo = uint32_t(std::clamp(std::llround(60000000.0 / *bpm), 0LL, 0x7FFFFFFFLL));
            break;
        }
        const int kind = status >> 4;
        const auto key = (kind == 0x8 || kind == 0x9 || kind == 0xA)
                             ? ParseKey(text)
                             : std::optional<int>(editing::ParseInteger(s).value_or(-1));
        if (!key) return false;
        change.data1 = *key;
        break;
    }
    case kData2: {
        const auto n = editing::ParseInteger(s);
        if (!n) return false;
        change.data2 = int(std::clamp<int64_t>(*n, -1, 1000));
        break;
    }
    default:
        return false;
    }
    const bool done = editor_->EditEvent(r, change);
    if (done) Q_EMIT edited();
    return done;
}

// ---- EventListView ----

EventListView::EventListView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("eventList"));
    model_ = new EventListModel(this);
    table_ = new QTableView;
    table_->setObjectName(QStringLiteral("eventTable"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::AnyKeyPressed);
    table_->setAlternatingRowColors(true);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->horizontalHeader()->setStretchLastSection(true);
    const int digit = table_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    const int widths[] = {11, 6, 17, 8, 14, 8, 10};
    for (int c = 0; c < EventListModel::kColumns; ++c) table_->setColumnWidth(c, digit * widths[c]);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &EventListView::RowsSelected);
    connect(model_, &EventListModel::edited, this, &EventListView::edited);
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        // The model was reset: its selection model is the same object.
        FollowSelection();
    });
}

void EventListView::SetEditor(editing::NoteEditor* editor) {
    editor_ = editor;
    model_->SetEditor(editor);
}

void EventListView::SetTimeStyle(std::function<editing::TimeStyle()> style) {
    model_->SetTimeStyle(std::move(style));
}

void EventListView::Rebuild() {
    model_->Rebuild();
}

void EventListView::FollowSelection() {
    if (!editor_ || following_) return;
    following_ = true;
    QItemSelection selection;
    int first = -1;
    if (editor_->HasSelection()) {
        // One pass over the rows against the model's set.
        for (int row = 0; row < model_->rowCount(); ++row)
            if (editor_->IsSelected(model_->Row(row).event)) {
                if (first < 0) first = row;
                selection.select(model_->index(row, 0),
                                 model_->index(row, EventListModel::kColumns - 1));
            }
    }
    table_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (first >= 0) table_->scrollTo(model_->index(first, 0));
    following_ = false;
}

void EventListView::ShowEvent(const SongEvent* event) {
    const int row = model_->RowOf(event);
    if (row < 0) return;
    table_->scrollTo(model_->index(row, 0), QAbstractItemView::PositionAtTop);
    table_->setCurrentIndex(model_->index(row, 0));
}

void EventListView::RowsSelected() {
    if (!editor_ || following_) return;
    following_ = true;
    const QModelIndexList rows = table_->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        editor_->ClearSelection();
    } else {
        bool firstRow = true;
        for (const QModelIndex& i : rows) {
            const editing::EventRef& r = model_->Row(i.row());
            editor_->Click(r.channel, r.event, r.time,
                           firstRow ? editing::SelectMode::Replace : editing::SelectMode::Add);
            firstRow = false;
        }
    }
    following_ = false;
}

} // namespace gui
