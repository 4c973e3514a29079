// The item models (checked by Qt's model tester while they change), the device list's double
// click, the settings dialog's round trip into the settings, the file dialogs' filters, the
// palettes, and rendering through the command-line renderer with progress and cancel.
#include "gui_test_util.h"

#include "app/device_config.h"
#include "gui/appearance.h"
#include "gui/device_list.h"
#include "gui/file_dialogs.h"
#include "gui/render_job.h"
#include "gui/settings_dialog.h"
#include "sync/drivers/synth/gm_synth.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>

#include <filesystem>

using guitest::ShellFixture;

namespace {

int RowOf(const gui::DeviceListModel& model, const std::string& name) {
    for (int r = 0; r < model.rowCount(); ++r)
        if (model.NameAt(r) == name) return r;
    return -1;
}

int SeparatorRow(const gui::DeviceListModel& model) {
    for (int r = 0; r < model.rowCount(); ++r)
        if (model.data(model.index(r), gui::DeviceListModel::kSeparatorRole).toBool()) return r;
    return -1;
}

} // namespace

class ModelsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void theDeviceListOpensAndClosesByDoubleClick() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        gui::DeviceListDialog* dialog = f.Window().ShowDeviceList();
        gui::DeviceListModel& model = dialog->ListModel();
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester slotsTester(
            &dialog->SlotsModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);

        // The open devices, the line, the closed ones.
        const int separator = SeparatorRow(model);
        QVERIFY(separator >= 0);
        QCOMPARE(model.index(separator).data().toString(),
                 QString::fromUtf8(app::kClosedDevicesLine));
        QVERIFY(!(model.flags(model.index(separator)) & Qt::ItemIsSelectable));
        const int open = RowOf(model, guitest::kLoopbackOut);
        QVERIFY(open >= 0 && open < separator);
        QVERIFY(model.data(model.index(open), gui::DeviceListModel::kOpenRole).toBool());
        const int closed = RowOf(model, "Loopback Out 1");
        QVERIFY(closed > separator);

        // A double click opens a closed device, and closes it again.
        QListView* view = dialog->ListView();
        Q_EMIT view->activated(model.index(closed));
        QVERIFY(f.Shell().App().Devices().IsDeviceOpen(
            f.Shell().App().Devices().FindByName("Loopback Out 1")));
        QVERIFY(RowOf(model, "Loopback Out 1") < SeparatorRow(model));
        Q_EMIT view->activated(model.index(RowOf(model, "Loopback Out 1")));
        QVERIFY(RowOf(model, "Loopback Out 1") > SeparatorRow(model));
        // The separator does nothing.
        const int rows = model.rowCount();
        dialog->ToggleRow(SeparatorRow(model));
        QCOMPARE(model.rowCount(), rows);

        // The slots show the settings; a change shows after a refresh.
        QCOMPARE(dialog->SlotsModel().rowCount(), app::kDeviceSlotCount);
        QCOMPARE(dialog->SlotsModel().index(1, 1).data().toString(),
                 QString::fromUtf8(guitest::kLoopbackOut));
        QSignalSpy changed(&dialog->SlotsModel(), &QAbstractItemModel::dataChanged);
        f.Shell().App().Devices().SetDeviceName(app::kKindMidiOut, 1, "Loopback Out 2");
        dialog->Refresh();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(dialog->SlotsModel().index(2, 1).data().toString(),
                 QStringLiteral("Loopback Out 2"));
        dialog->close();
    }

    void theSettingsDialogStoresWhatItShows() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        gui::SettingsValues values;
        values.settings = f.Shell().App().Config();
        values.floatingPointTimes = true;
        gui::SettingsDialog dialog(values);
        QCOMPARE(dialog.FolderField(0)->text(), QString::fromStdString(values.settings.media));
        QCOMPARE(dialog.FolderField(0)->maxLength(), gui::SettingsDialog::kMaxFolderLength);
        dialog.FolderField(1)->setText(QString::fromStdString(f.Path("words")));
        dialog.findChild<QCheckBox*>(QStringLiteral("newDocument"))->setChecked(false);
        dialog.findChild<QCheckBox*>(QStringLiteral("saveLocations"))->setChecked(true);
        dialog.findChild<QCheckBox*>(QStringLiteral("floatingPointTimes"))->setChecked(false);
        const gui::SettingsValues v = dialog.Values();
        QVERIFY(!v.floatingPointTimes);
        QVERIFY(v.sendFileTempoChanges);

        std::string error;
        QVERIFY(f.Shell().ApplySettings(v.settings, &error));
        // In effect at once, and in the settings file.
        QCOMPARE(f.Shell().App().Config().lexicon, f.Path("words") + "/");
        QVERIFY(f.Shell().App().Config().saveLocations);
        app::CSettings stored(f.SettingsPath());
        QVERIFY(stored.Load());
        QCOMPARE(stored.GetProfileInt(app::kSectionBehavior, "NewDocument", 1), 0);
        QCOMPARE(stored.GetProfileString(app::kSectionLocations, "Lexicon", ""),
                 f.Path("words") + "/");
        // What the dialog does not show is left alone.
        QCOMPARE(stored.GetProfileString(app::kSectionDevices, "MIDI OUT 1", ""),
                 std::string(guitest::kLoopbackOut));
    }

    void theFileDialogsTakeTheSystemsFilterLists() {
        const QStringList all = gui::NameFilters(app::FileFilter(0));
        QCOMPARE(all.first(), QStringLiteral("All Files (*)"));
        QVERIFY(all.contains(QStringLiteral("Song Files (*.SNG *.sng)")));
        QCOMPARE(gui::NameFilters("Midi Files (*.mid)|*.mid||"),
                 QStringList{QStringLiteral("Midi Files (*.mid *.MID)")});
        QVERIFY(gui::NameFilters("").isEmpty());
    }

    void thePalettesFollowThePreference() {
        QCOMPARE(gui::SchemeOfPortalValue(1), gui::ColorScheme::kDark);
        QCOMPARE(gui::SchemeOfPortalValue(2), gui::ColorScheme::kLight);
        QCOMPARE(gui::SchemeOfPortalValue(0), gui::ColorScheme::kLight);
        QCOMPARE(gui::SchemeOfGtkTheme(QStringLiteral("Adwaita:dark")), gui::ColorScheme::kDark);
        QCOMPARE(gui::SchemeOfGtkTheme(QStringLiteral("Arc-Dark")), gui::ColorScheme::kDark);
        QCOMPARE(gui::SchemeOfGtkTheme(QStringLiteral("Adwaita")), gui::ColorScheme::kLight);
        // Text stays readable on both: far from its background, disabled text dimmer.
        for (const QPalette& p : {gui::LightPalette(), gui::DarkPalette()}) {
            QVERIFY(std::abs(p.color(QPalette::Text).lightness() -
                             p.color(QPalette::Base).lightness()) > 150);
            QVERIFY(std::abs(p.color(QPalette::Disabled, QPalette::Text).lightness() -
                             p.color(QPalette::Base).lightness()) <
                    std::abs(p.color(QPalette::Text).lightness() -
                             p.color(QPalette::Base).lightness()));
        }
        gui::ApplyScheme(gui::ColorScheme::kDark);
        QVERIFY(QApplication::palette().color(QPalette::Window).lightness() < 100);
        gui::ApplyScheme(gui::ColorScheme::kLight);
        QVERIFY(QApplication::palette().color(QPalette::Window).lightness() > 150);
    }

    void renderingReportsProgressAndACancelLeavesTheTargetAlone() {
        QCOMPARE(gui::RenderJob::LastPercent("\rrendering a.sng:   3%\rrendering a.sng:  57%"), 57);
        QCOMPARE(gui::RenderJob::LastPercent("wrote x.wav"), -1);
        if (dsync::GmSynth::FindSoundFont("").empty()) QSKIP("no General MIDI soundfont");
        qputenv("DENDRA_CLI", DENDRA_BINARY_DIR "/cli/dendra-cli");
        ShellFixture f;
        const QString song = QString::fromStdString(f.MakeSong("render.sng", 8));
        const QString target = QString::fromStdString(f.Path("render.wav"));
        {
            QFile old(target);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("the old file");
        }

        gui::RenderJob job;
        QSignalSpy progress(&job, &gui::RenderJob::progress);
        QSignalSpy finished(&job, &gui::RenderJob::finished);
        QString error;
        QVERIFY2(job.Start(song, target, QString(), &error), qPrintable(error));
        job.Cancel();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(finished[0][0].toBool(), false);
        QVERIFY(finished[0][1].toString().isEmpty()); // cancelled: nothing to report
        QFile kept(target);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("the old file"));
        kept.close();

        QVERIFY2(job.Start(song, target, QString(), &error), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 60000);
        QVERIFY2(finished[1][0].toBool(), qPrintable(finished[1][1].toString()));
        QVERIFY(finished[1][1].toString().contains(target));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last()[0].toInt(), 100);
        QFile rendered(target);
        QVERIFY(rendered.open(QIODevice::ReadOnly));
        QCOMPARE(rendered.read(4), QByteArray("RIFF"));
        // No temporary folder is left beside the target.
        const QStringList left =
            QDir(QFileInfo(target).absolutePath())
                .entryList({QStringLiteral(".dendra-render-*")}, QDir::Dirs | QDir::Hidden);
        QVERIFY(left.isEmpty());
        qunsetenv("DENDRA_CLI");
    }
};

QTEST_MAIN(ModelsTest)
#include "models_test.moc"
