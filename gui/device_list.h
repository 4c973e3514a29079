// The device list: the open devices, the line "==CLOSED DEVICES==" and the closed ones, as the
// device configuration gives them (app/device_config.h); a double click (or Enter, or the
// Open/Close button) on a device opens it when it is closed and closes it when it is open. Beside
// the list: the current devices (where playing and recording go) and the device slots of the
// settings (what the next start opens; written from the open devices when the program ends).
//
// The models follow the configuration: Refresh after every open and close.
//
// Used on the user-interface thread only.
#pragma once

#include <QAbstractListModel>
#include <QAbstractTableModel>
#include <QDialog>

#include <string>
#include <vector>

class QLabel;
class QListView;
class QPushButton;
class QTableView;

namespace app {
class CDeviceConfig;
}

namespace gui {

class Shell;

// One row per line of the device list.
class DeviceListModel : public QAbstractListModel {
    Q_OBJECT

public:
    // Roles beyond Qt's.
    enum Role {
        kOpenRole = Qt::UserRole + 1, // bool: the device is open
        kSeparatorRole,               // bool: the "==CLOSED DEVICES==" line
    };

    explicit DeviceListModel(app::CDeviceConfig& devices, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The device name of a row, "" for the separator.
    std::string NameAt(int row) const;
    void Refresh();

private:
    app::CDeviceConfig& devices_;
    std::vector<std::string> lines_;
    int separator_ = -1;
};

// The device slots of the settings and the current devices: slot, device.
class DeviceSlotsModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit DeviceSlotsModel(app::CDeviceConfig& devices, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void Refresh();

private:
    struct Row {
        QString slot;
        QString device;
    };
    std::vector<Row> Rows() const;

    app::CDeviceConfig& devices_;
    std::vector<Row> rows_;
};

class DeviceListDialog : public QDialog {
    Q_OBJECT

public:
    explicit DeviceListDialog(Shell& shell, QWidget* parent = nullptr);

    DeviceListModel& ListModel() { return *list_; }
    DeviceSlotsModel& SlotsModel() { return *slots_; }
    QListView* ListView() const { return view_; }

    // Opens or closes the device of a row (nothing for the separator).
    void ToggleRow(int row);

public Q_SLOTS:
    void Refresh();

private Q_SLOTS:
    void UpdateButton();

private:
    Shell& shell_;
    DeviceListModel* list_;
    DeviceSlotsModel* slots_;
    QListView* view_;
    QTableView* slotsView_;
    QPushButton* toggle_;
    QLabel* current_[4];
};

} // namespace gui
