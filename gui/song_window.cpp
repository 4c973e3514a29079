#include "gui/song_window.h"

#include "gui/main_window.h"
#include "gui/shell.h"
#include "song/song_document.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace gui {

using editing::CellKind;
using editing::SongColumn;

// ---- The model ----

SongRowsModel::SongRowsModel(editing::SongRows& rows, QObject* parent)
    : QAbstractTableModel(parent), rows_(rows), shownRows_(rows.RowCount()) {
    rows_.SetListener([this](int row) { OnRowsChanged(row); });
}

SongRowsModel::~SongRowsModel() {
    rows_.SetListener(nullptr);
}

void SongRowsModel::OnRowsChanged(int row) {
    if (rows_.RowCount() != shownRows_) {
        beginResetModel();
        shownRows_ = rows_.RowCount();
        endResetModel();
        return;
    }
    if (shownRows_ == 0) return;
    const int first = row < 0 ? 0 : row, last = row < 0 ? shownRows_ - 1 : row;
    if (last >= shownRows_) return;
    Q_EMIT dataChanged(index(first, 0), index(last, editing::kSongColumnCount - 1));
}

int SongRowsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int SongRowsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : editing::kSongColumnCount;
}

QVariant SongRowsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_.RowCount()) return {};
    const editing::SongCell cell = rows_.Cell(index.row(), Column(index.column()));
    switch (role) {
    case Qt::DisplayRole:
        return cell.kind == CellKind::kCheck ? QVariant() : QString::fromStdString(cell.text);
    case Qt::EditRole:
        if (cell.kind == CellKind::kChoice) return cell.choice;
        if (cell.kind == CellKind::kCheck) return cell.checked;
        return QString::fromStdString(cell.text);
    case Qt::CheckStateRole:
        if (cell.kind != CellKind::kCheck) return {};
        return cell.checked ? Qt::Checked : Qt::Unchecked;
    case Qt::TextAlignmentRole:
        if (cell.kind == CellKind::kNumber || cell.kind == CellKind::kTime)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case Qt::ToolTipRole:
        if (cell.kind == CellKind::kNumber || cell.kind == CellKind::kTime)
            return QStringLiteral("%1 to %2")
                .arg(cell.kind == CellKind::kTime ? cell.min / 1000.0 : cell.min)
                .arg(cell.kind == CellKind::kTime ? cell.max / 1000.0 : cell.max);
        return {};
    default:
        return {};
    }
}

bool SongRowsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= rows_.RowCount()) return false;
    const int row = index.row();
    const SongColumn column = Column(index.column());
    const editing::SongCell cell = rows_.Cell(row, column);
    // The rows tell the model of the change through their listener.
    switch (cell.kind) {
    case CellKind::kCheck: {
        if (role != Qt::CheckStateRole) return false;
        const bool on = value.toInt() == Qt::Checked;
        return on == cell.checked || rows_.Toggle(row, column);
    }
    case CellKind::kChoice: {
        if (role != Qt::EditRole) return false;
        bool ok = false;
        const int choice = value.toInt(&ok);
        return ok && rows_.Choose(row, column, choice);
    }
    default:
        if (role != Qt::EditRole) return false;
        return rows_.EditText(row, column, value.toString().trimmed().toStdString());
    }
}

Qt::ItemFlags SongRowsModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.row() >= rows_.RowCount()) return f;
    if (rows_.Cell(index.row(), Column(index.column())).kind == CellKind::kCheck)
        f |= Qt::ItemIsUserCheckable;
    else
        f |= Qt::ItemIsEditable;
    return f;
}

QVariant SongRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        if (role == Qt::DisplayRole) return section + 1;
        return {};
    }
    if (section < 0 || section >= editing::kSongColumnCount) return {};
    const SongColumn column = Column(section);
    if (role == Qt::DisplayRole) {
        // The check box of the Volume column gets a caption of its own.
        if (column == SongColumn::kMute) return QStringLiteral("Mute");
        return QString::fromUtf8(editing::SongRows::ColumnCaption(column));
    }
    if (role == Qt::ToolTipRole) {
        switch (column) {
        case SongColumn::kChannel:
        case SongColumn::kPitch:
        case SongColumn::kPatch:
            return QStringLiteral("MIDI parameters: %1")
                .arg(QString::fromUtf8(editing::SongRows::ColumnCaption(column)));
        case SongColumn::kMute:
            return QStringLiteral("Volume: muted while ticked");
        case SongColumn::kRec:
            return QStringLiteral("Armed for recording");
        default:
            return {};
        }
    }
    return {};
}

// ---- Editors fitting each cell ----

namespace {

class CellDelegate : public QStyledItemDelegate {
public:
    CellDelegate(SongRowsModel& model, QObject* parent)
        : QStyledItemDelegate(parent), model_(model) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        const editing::SongCell cell = CellOf(index);
        switch (cell.kind) {
        case CellKind::kChoice: {
            auto* box = new QComboBox(parent);
            for (const std::string& c : cell.choices) box->addItem(QString::fromStdString(c));
            box->setMaxVisibleItems(16);
            return box;
        }
        case CellKind::kNumber:
            if (cell.integer) {
                auto* spin = new QSpinBox(parent);
                spin->setRange(int(cell.min), int(cell.max));
                spin->setAlignment(Qt::AlignRight);
                return spin;
            } else {
                auto* spin = new QDoubleSpinBox(parent);
                spin->setRange(cell.min, cell.max);
                spin->setDecimals(2);
                spin->setAlignment(Qt::AlignRight);
                return spin;
            }
        default:
            return QStyledItemDelegate::createEditor(parent, option, index);
        }
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        const editing::SongCell cell = CellOf(index);
        if (auto* box = qobject_cast<QComboBox*>(editor))
            box->setCurrentIndex(cell.choice);
        else if (auto* spin = qobject_cast<QSpinBox*>(editor))
            spin->setValue(QString::fromStdString(cell.text).toInt());
        else if (auto* dspin = qobject_cast<QDoubleSpinBox*>(editor))
            dspin->setValue(QString::fromStdString(cell.text).toDouble());
        else
            QStyledItemDelegate::setEditorData(editor, index);
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override {
        if (auto* box = qobject_cast<QComboBox*>(editor))
            model->setData(index, box->currentIndex());
        else if (auto* spin = qobject_cast<QSpinBox*>(editor))
            model->setData(index, QString::number(spin->value()));
        else if (auto* dspin = qobject_cast<QDoubleSpinBox*>(editor))
            model->setData(index, QString::number(dspin->value(), 'f', dspin->decimals()));
        else
            QStyledItemDelegate::setModelData(editor, model, index);
    }

private:
    editing::SongCell CellOf(const QModelIndex& index) const {
        if (index.row() >= model_.Rows().RowCount()) return {};
        return model_.Rows().Cell(index.row(), SongRowsModel::Column(index.column()));
    }

    SongRowsModel& model_;
};

} // namespace

// ---- The window ----

SongWindow::SongWindow(CSongDoc& song, Shell& shell, QWidget* parent)
    : DocumentWindow(song, kDocKindSong, parent), shell_(shell) {
    setObjectName(QStringLiteral("songWindow"));
    setAcceptDrops(true);
    rows_ = std::make_unique<editing::SongRows>(song, &shell.Engine(), shell.Frame());
    model_ = new SongRowsModel(*rows_, this);

    table_ = new QTableView;
    table_->setObjectName(QStringLiteral("songTable"));
    table_->setModel(model_);
    table_->setItemDelegate(new CellDelegate(*model_, table_));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::AnyKeyPressed);
    table_->setAlternatingRowColors(true);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    table_->setAcceptDrops(false);
    table_->viewport()->setAcceptDrops(false);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // Every column as wide as it needs; room left over goes to the last.
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setMinimumSectionSize(table_->fontMetrics().height() * 2);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table_->setWordWrap(false);
    connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = table_->indexAt(at);
        const int row = index.isValid() ? index.row() : table_->currentIndex().row();
        ShowEntryMenu(row, table_->viewport()->mapToGlobal(at));
    });

    volumeType_ = new QComboBox;
    volumeType_->setObjectName(QStringLiteral("songVolumeType"));
    for (const std::string& c : editing::SongRows::VolumeTypeChoices())
        volumeType_->addItem(QString::fromStdString(c));
    volumeType_->setCurrentIndex(rows_->GetVolumeType() == editing::VolumeType::kWave ? 0 : 1);
    volumeType_->setStatusTip(QStringLiteral("What the Volume column edits"));
    connect(volumeType_, &QComboBox::currentIndexChanged, this, [this](int i) {
        rows_->SetVolumeType(i == 0 ? editing::VolumeType::kWave : editing::VolumeType::kMidi);
    });
    auto* volumeLabel = new QLabel(QStringLiteral("&Volume Type:"));
    volumeLabel->setBuddy(volumeType_);

    entryButton_ = new QToolButton;
    entryButton_->setObjectName(QStringLiteral("songEntryButton"));
    entryButton_->setText(QStringLiteral("E&ntry"));
    entryButton_->setStatusTip(QStringLiteral("The commands of the selected entry"));
    entryButton_->setPopupMode(QToolButton::InstantPopup);
    connect(entryButton_, &QToolButton::clicked, this, [this] {
        ShowEntryMenu(table_->currentIndex().row(),
                      entryButton_->mapToGlobal(QPoint(0, entryButton_->height())));
    });

    auto* top = new QHBoxLayout;
    top->addWidget(entryButton_);
    top->addStretch(1);
    top->addWidget(volumeLabel);
    top->addWidget(volumeType_);
    auto* layout = new QVBoxLayout(this);
    const int m = fontMetrics().height() / 3;
    layout->setContentsMargins(m, m, m, m);
    layout->setSpacing(m);
    layout->addLayout(top);
    layout->addWidget(table_, 1);

    // Display: a window on the contained document, titled "song :: entry".
    rows_->SetDisplayHandler([this](CChanDoc& doc, const std::string& title) {
        std::shared_ptr<CChanDoc> shared;
        uint64_t serial = 0;
        CSongDoc& s = rows_->Song();
        for (int i = 0; i < s.EntryCount(); ++i)
            if (s.Entry(i).document.get() == &doc) {
                shared = s.Entry(i).document;
                serial = s.Entry(i).serial;
                break;
            }
        MainWindow* w = shell_.Window();
        if (!shared || !w) return;
        QPointer<SongWindow> self(this);
        w->ShowContained(shared, &s, QString::fromStdString(title), [self, serial] {
            if (!self || !self->rows_) return;
            const int row = self->rows_->Song().IndexOf(serial);
            if (row >= 0) self->rows_->DisplayClosed(row);
        });
    });
    // The destinations are the open MIDI outputs.
    connect(&shell_, &Shell::devicesChanged, this, [this] {
        if (!model_ || model_->rowCount() == 0) return;
        const int column = int(SongColumn::kDestination);
        Q_EMIT model_->dataChanged(model_->index(0, column),
                                   model_->index(model_->rowCount() - 1, column));
    });
}

SongWindow::~SongWindow() {
    SongWindow::Detach();
}

void SongWindow::Detach() {
    // The table, then the model, then the rows let go before the song may go.
    if (model_) {
        table_->setModel(nullptr);
        delete model_;
        model_ = nullptr;
    }
    rows_.reset();
    DocumentWindow::Detach();
}

QMenu* SongWindow::MakeEntryMenu(int row, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("songEntryMenu"));
    if (!rows_ || row < 0 || row >= rows_->RowCount()) return menu;
    for (const editing::EntryMenuItem& item : rows_->EntryMenu(row)) {
        QAction* a = menu->addAction(QString::fromStdString(item.label));
        const editing::EntryCommand command = item.command;
        const uint64_t serial = rows_->Song().Entry(row).serial;
        connect(a, &QAction::triggered, this, [this, serial, command] {
            if (!rows_) return;
            // The row of the entry when the command runs.
            const int at = rows_->Song().IndexOf(serial);
            if (at >= 0) rows_->Run(at, command);
            if (MainWindow* w = shell_.Window()) w->UpdateCommands();
        });
    }
    return menu;
}

void SongWindow::ShowEntryMenu(int row, const QPoint& global) {
    if (!rows_ || row < 0 || row >= rows_->RowCount()) return;
    QMenu* menu = MakeEntryMenu(row, this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(global);
}

int SongWindow::IncludeFiles(const QStringList& paths) {
    int included = 0;
    if (!rows_) return 0;
    for (const QString& p : paths)
        if (rows_->IncludeFile(p.toStdString())) ++included;
    if (included > 0) {
        shell_.KickIdle();
        if (MainWindow* w = shell_.Window()) w->UpdateCommands();
    }
    return included;
}

void SongWindow::Refresh() {
    entryButton_->setEnabled(table_->currentIndex().isValid());
}

void SongWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void SongWindow::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    if (IncludeFiles(paths) > 0) event->acceptProposedAction();
}

void RegisterSongWindow() {
    RegisterDocumentWindow(kDocKindSong, [](CAmpDoc& doc, uint32_t, Shell& shell, QWidget* parent) {
        return new SongWindow(static_cast<CSongDoc&>(doc), shell, parent);
    });
}

} // namespace gui
