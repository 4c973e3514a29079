#include "gui/settings_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace gui {

namespace {
QCheckBox* Check(const char* text, const char* name, bool on, const char* tip = nullptr) {
    auto* c = new QCheckBox(QString::fromUtf8(text));
    c->setObjectName(QString::fromUtf8(name));
    c->setChecked(on);
    if (tip) c->setToolTip(QString::fromUtf8(tip));
    return c;
}
} // namespace

SettingsDialog::SettingsDialog(const SettingsValues& values, QWidget* parent)
    : QDialog(parent), initial_(values) {
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(QStringLiteral("System Settings"));
    const app::AppSettings& s = values.settings;

    auto* locations = new QGroupBox(QStringLiteral("Locations"));
    auto* grid = new QGridLayout(locations);
    const char* const kLabels[3] = {"&Media:", "&Lexicon:", "&Dendretum:"};
    const char* const kNames[3] = {"mediaFolder", "lexiconFolder", "dendretumFolder"};
    const std::string* kValues[3] = {&s.media, &s.lexicon, &s.dendretum};
    for (int i = 0; i < 3; ++i) {
        folders_[i] = new QLineEdit(QString::fromStdString(*kValues[i]));
        folders_[i]->setObjectName(QString::fromUtf8(kNames[i]));
        folders_[i]->setMaxLength(kMaxFolderLength);
        folders_[i]->setCursorPosition(0);
        folders_[i]->setToolTip(folders_[i]->text());
        auto* label = new QLabel(QString::fromUtf8(kLabels[i]));
        label->setBuddy(folders_[i]);
        auto* change = new QPushButton(QStringLiteral("Change Location..."));
        change->setObjectName(QStringLiteral("change%1").arg(QString::fromUtf8(kNames[i])));
        change->setAutoDefault(false);
        connect(change, &QPushButton::clicked, this, [this, i] { ChangeLocation(i); });
        grid->addWidget(label, i, 0);
        grid->addWidget(folders_[i], i, 1);
        grid->addWidget(change, i, 2);
    }
    grid->setColumnStretch(1, 1);

    auto* behavior = new QGroupBox(QStringLiteral("Behavior"));
    auto* b = new QVBoxLayout(behavior);
    newDocument_ = Check("Open a new Doc at startup.", "newDocument", s.newDocument);
    include_ = Check("Automatic Include", "include", s.include,
                     "Newly opened documents are included in the active song");
    followActive_ = Check("Tree View follows the active node.", "followActive", s.followActive);
    saveLocations_ = Check("Save tool locations.", "saveLocations", s.saveLocations,
                           "Keep the window's place and its bars for the next start");
    compressWaves_ = Check("Compress wave files", "compressWaves", s.compressWaves);
    floatingTimes_ = Check("Use floating point times", "floatingPointTimes",
                           values.floatingPointTimes, "Not kept after the program ends");
    sendTempo_ = Check("Send File Tempo Changes", "sendFileTempoChanges",
                       values.sendFileTempoChanges, "Not kept after the program ends");
    for (QCheckBox* c : {newDocument_, include_, followActive_, saveLocations_, compressWaves_,
                         floatingTimes_, sendTempo_})
        b->addWidget(c);

    auto* devices = new QGroupBox(QStringLiteral("Devices (from the next start)"));
    auto* d = new QVBoxLayout(devices);
    waveEnabled_ =
        Check("Wave Enabled", "waveEnabled", s.waveEnabled, "Open the wave devices at start");
    directSound_ = Check("Mixer Wave Devices Enabled", "directSound", s.directSound,
                         "Wave input and output through the program's own mixer");
    d->addWidget(waveEnabled_);
    d->addWidget(directSound_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(locations);
    layout->addWidget(behavior);
    layout->addWidget(devices);
    layout->addStretch(1);
    layout->addWidget(buttons);
    const int line = fontMetrics().height();
    resize(std::max(line * 52, sizeHint().width()), sizeHint().height());
}

void SettingsDialog::ChangeLocation(int which) {
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Select a directory"), folders_[which]->text());
    if (chosen.isEmpty()) return;
    folders_[which]->setText(chosen);
}

SettingsValues SettingsDialog::Values() const {
    SettingsValues v = initial_;
    app::AppSettings& s = v.settings;
    s.media = folders_[0]->text().toStdString();
    s.lexicon = folders_[1]->text().toStdString();
    s.dendretum = folders_[2]->text().toStdString();
    s.newDocument = newDocument_->isChecked();
    s.include = include_->isChecked();
    s.followActive = followActive_->isChecked();
    s.saveLocations = saveLocations_->isChecked();
    s.compressWaves = compressWaves_->isChecked();
    s.waveEnabled = waveEnabled_->isChecked();
    s.directSound = directSound_->isChecked();
    v.floatingPointTimes = floatingTimes_->isChecked();
    v.sendFileTempoChanges = sendTempo_->isChecked();
    return v;
}

} // namespace gui
