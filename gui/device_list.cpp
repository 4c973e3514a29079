#include "gui/device_list.h"

#include "app/device_config.h"
#include "app/settings.h"
#include "gui/shell.h"
#include "sync/devices.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace gui {

namespace {
QString KindText(uint32_t flags) {
    const bool midi = flags & kDeviceMidi, output = flags & kDeviceOutput;
    if (midi) return output ? QStringLiteral("MIDI output") : QStringLiteral("MIDI input");
    return output ? QStringLiteral("wave output") : QStringLiteral("wave input");
}

QString NameOf(const app::CDeviceConfig& d, int index) {
    if (index < 0 || index >= d.Count() || !d.Record(index).name) return QStringLiteral("none");
    return QString::fromUtf8(d.Record(index).name);
}
} // namespace

// ---- DeviceListModel ----

DeviceListModel::DeviceListModel(app::CDeviceConfig& devices, QObject* parent)
    : QAbstractListModel(parent), devices_(devices) {
    Refresh();
}

void DeviceListModel::Refresh() {
    beginResetModel();
    lines_ = devices_.IsOpen() ? devices_.DeviceListLines() : std::vector<std::string>();
    separator_ = -1;
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i] == app::kClosedDevicesLine) separator_ = int(i);
    endResetModel();
}

int DeviceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(lines_.size());
}

std::string DeviceListModel::NameAt(int row) const {
    if (row < 0 || row >= int(lines_.size()) || row == separator_) return std::string();
    return lines_[size_t(row)];
}

Qt::ItemFlags DeviceListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    if (index.row() == separator_) return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(lines_.size())) return QVariant();
    const int row = index.row();
    const bool separator = row == separator_;
    const bool open = separator_ < 0 || row < separator_;
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(lines_[size_t(row)]);
    case Qt::ToolTipRole: {
        if (separator) return QStringLiteral("The devices below are closed");
        const int record = devices_.FindByName(lines_[size_t(row)]);
        const QString kind =
            record >= 0 ? KindText(devices_.Record(record).flags) : QStringLiteral("device");
        return QStringLiteral("%1, %2: double-click to %3 it")
            .arg(kind, open ? QStringLiteral("open") : QStringLiteral("closed"),
                 open ? QStringLiteral("close") : QStringLiteral("open"));
    }
    case Qt::FontRole:
        if (separator || open) {
            QFont f;
            f.setBold(open && !separator);
            f.setItalic(separator);
            return f;
        }
        return QVariant();
    case Qt::ForegroundRole:
        if (separator) return QPalette().brush(QPalette::Disabled, QPalette::Text);
        return QVariant();
    case kOpenRole:
        return !separator && open;
    case kSeparatorRole:
        return separator;
    default:
        return QVariant();
    }
}

// ---- DeviceSlotsModel ----

DeviceSlotsModel::DeviceSlotsModel(app::CDeviceConfig& devices, QObject* parent)
    : QAbstractTableModel(parent), devices_(devices) {
    rows_ = Rows();
}

std::vector<DeviceSlotsModel::Row> DeviceSlotsModel::Rows() const {
    // The slot keys in their order, with the kind and slot number GetDeviceName takes.
    static const struct {
        int kind;
        int slot;
    } kSlots[app::kDeviceSlotCount] = {
        {app::kKindMidiIn, 0},  {app::kKindMidiOut, 0}, {app::kKindMidiOut, 1},
        {app::kKindMidiOut, 2}, {app::kKindMidiOut, 3}, {app::kKindWaveIn, 0},
        {app::kKindWaveOut, 0},
    };
    std::vector<Row> rows;
    for (int i = 0; i < app::kDeviceSlotCount; ++i) {
        const std::string name = devices_.GetDeviceName(kSlots[i].kind, kSlots[i].slot);
        rows.push_back({QString::fromUtf8(app::kDeviceSlotKeys[i]),
                        name.empty() ? QStringLiteral("(not set)") : QString::fromStdString(name)});
    }
    return rows;
}

void DeviceSlotsModel::Refresh() {
    std::vector<Row> rows = Rows();
    // The rows are fixed; only their text changes.
    for (size_t i = 0; i < rows.size() && i < rows_.size(); ++i) {
        if (rows[i].device == rows_[i].device) continue;
        rows_[i] = rows[i];
        Q_EMIT dataChanged(index(int(i), 1), index(int(i), 1));
    }
}

int DeviceSlotsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int DeviceSlotsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

QVariant DeviceSlotsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(rows_.size()) || index.column() > 1)
        return QVariant();
    const Row& r = rows_[size_t(index.row())];
    if (role == Qt::DisplayRole) return index.column() == 0 ? r.slot : r.device;
    if (role == Qt::ToolTipRole && index.column() == 1)
        return QStringLiteral("Opened at the next start; written from the open devices when the "
                              "program ends");
    return QVariant();
}

QVariant DeviceSlotsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return QVariant();
    if (orientation == Qt::Vertical) return section + 1;
    switch (section) {
    case 0:
        return QStringLiteral("Slot");
    case 1:
        return QStringLiteral("Device");
    default:
        return QVariant();
    }
}

// ---- DeviceListDialog ----

DeviceListDialog::DeviceListDialog(Shell& shell, QWidget* parent) : QDialog(parent), shell_(shell) {
    setObjectName(QStringLiteral("deviceListDialog"));
    setWindowTitle(QStringLiteral("Devices"));
    app::CDeviceConfig& devices = shell.App().Devices();
    list_ = new DeviceListModel(devices, this);
    slots_ = new DeviceSlotsModel(devices, this);

    view_ = new QListView;
    view_->setObjectName(QStringLiteral("deviceList"));
    view_->setModel(list_);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setUniformItemSizes(true);
    connect(view_, &QListView::activated, this,
            [this](const QModelIndex& index) { ToggleRow(index.row()); });
    connect(view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &DeviceListDialog::UpdateButton);

    auto* hint = new QLabel(QStringLiteral("Double-click a device to open or close it."));
    hint->setWordWrap(true);
    toggle_ = new QPushButton(QStringLiteral("&Open"));
    toggle_->setObjectName(QStringLiteral("deviceToggle"));
    toggle_->setAutoDefault(false);
    connect(toggle_, &QPushButton::clicked, this,
            [this] { ToggleRow(view_->currentIndex().row()); });

    auto* left = new QVBoxLayout;
    auto* listLabel = new QLabel(QStringLiteral("&Devices:"));
    listLabel->setBuddy(view_);
    left->addWidget(listLabel);
    left->addWidget(view_, 1);
    left->addWidget(hint);
    auto* toggleRow = new QHBoxLayout;
    toggleRow->addWidget(toggle_);
    toggleRow->addStretch(1);
    left->addLayout(toggleRow);

    auto* currentBox = new QGroupBox(QStringLiteral("Current devices"));
    auto* currentLayout = new QFormLayout(currentBox);
    const char* const kCurrent[4] = {"MIDI output:", "MIDI input:", "Wave output:", "Wave input:"};
    for (int i = 0; i < 4; ++i) {
        current_[i] = new QLabel;
        current_[i]->setObjectName(QStringLiteral("currentDevice%1").arg(i + 1));
        current_[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        currentLayout->addRow(QString::fromUtf8(kCurrent[i]), current_[i]);
    }

    auto* slotsBox = new QGroupBox(QStringLiteral("Device slots (opened at the next start)"));
    slotsView_ = new QTableView;
    slotsView_->setObjectName(QStringLiteral("deviceSlots"));
    slotsView_->setModel(slots_);
    slotsView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    slotsView_->setSelectionMode(QAbstractItemView::NoSelection);
    slotsView_->verticalHeader()->hide();
    slotsView_->horizontalHeader()->setStretchLastSection(true);
    slotsView_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    slotsView_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    slotsView_->setShowGrid(false);
    slotsView_->setAlternatingRowColors(true);
    auto* slotsLayout = new QVBoxLayout(slotsBox);
    slotsLayout->addWidget(slotsView_);

    auto* right = new QVBoxLayout;
    right->addWidget(currentBox);
    right->addWidget(slotsBox, 1);

    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns, 1);
    layout->addWidget(buttons);

    connect(&shell, &Shell::devicesChanged, this, &DeviceListDialog::Refresh);
    const int line = fontMetrics().height();
    resize(line * 44, line * 26);
    Refresh();
}

void DeviceListDialog::ToggleRow(int row) {
    const std::string name = list_->NameAt(row);
    if (name.empty()) return;
    shell_.ToggleDevice(name);
    // The row of the device moved between the open and the closed part.
    for (int r = 0; r < list_->rowCount(); ++r) {
        if (list_->NameAt(r) == name) {
            view_->setCurrentIndex(list_->index(r));
            break;
        }
    }
    UpdateButton();
}

void DeviceListDialog::Refresh() {
    const std::string selected = list_->NameAt(view_->currentIndex().row());
    list_->Refresh();
    slots_->Refresh();
    for (int r = 0; r < list_->rowCount(); ++r)
        if (!selected.empty() && list_->NameAt(r) == selected)
            view_->setCurrentIndex(list_->index(r));

    const app::CDeviceConfig& d = shell_.App().Devices();
    const int current[4] = {d.CurrentMidiOut(), d.CurrentMidiIn(), d.CurrentWaveOut(),
                            d.CurrentWaveIn()};
    for (int i = 0; i < 4; ++i)
        current_[i]->setText(d.IsOpen() ? NameOf(d, current[i])
                                        : QStringLiteral("(the devices are not open)"));
    UpdateButton();
}

void DeviceListDialog::UpdateButton() {
    const QModelIndex current = view_->currentIndex();
    const bool device = current.isValid() && !list_->NameAt(current.row()).empty();
    toggle_->setEnabled(device);
    toggle_->setText(device && list_->data(current, DeviceListModel::kOpenRole).toBool()
                         ? QStringLiteral("C&lose Device")
                         : QStringLiteral("&Open Device"));
}

} // namespace gui
