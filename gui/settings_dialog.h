// "System Settings": the three folders (Media, Lexicon, Dendretum; at most 512 characters each,
// "Change Location..." picks one in a "Select a directory" dialog) and the switches of the
// settings, with the two that live only while the program runs ("Use floating point times" and
// "Send File Tempo Changes"). The dialog only shows and collects; OK hands the values to the
// application (app::CDendraApp::ApplySettingsDialog), which stores them and says what takes effect
// when.
//
// Used on the user-interface thread only.
#pragma once

#include "app/settings.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;

namespace gui {

struct SettingsValues {
    app::AppSettings settings;
    bool floatingPointTimes = true;
    bool sendFileTempoChanges = true;
};

class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr int kMaxFolderLength = 512;

    explicit SettingsDialog(const SettingsValues& values, QWidget* parent = nullptr);

    // What the dialog holds now (the settings it was given, with its fields).
    SettingsValues Values() const;

    // The folder field of a location (0 Media, 1 Lexicon, 2 Dendretum).
    QLineEdit* FolderField(int which) const { return folders_[which]; }

private:
    void ChangeLocation(int which);

    SettingsValues initial_;
    QLineEdit* folders_[3];
    QCheckBox* newDocument_;
    QCheckBox* include_;
    QCheckBox* followActive_;
    QCheckBox* saveLocations_;
    QCheckBox* compressWaves_;
    QCheckBox* floatingTimes_;
    QCheckBox* sendTempo_;
    QCheckBox* waveEnabled_;
    QCheckBox* directSound_;
};

} // namespace gui
