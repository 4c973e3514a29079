// The play panel dock, the song window, the synchronizer dialog and the keyboard bars: each
// drives its core model and shows it back, on the loopback output and the hand-driven clock.
#include "gui_test_util.h"

#include "editing/song_rows.h"
#include "gui/keyboard_bar.h"
#include "gui/play_panel_dock.h"
#include "gui/song_window.h"
#include "platform/user_messages.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTableView>
#include <QToolButton>

using guitest::ShellFixture;

namespace {

// Short messages the first loopback output received with this status (any channel).
std::vector<uint32_t> Sent(uint32_t status) {
    std::vector<uint32_t> out;
    for (uint32_t m : dsync::Loopback().Output(0).ShortMessages())
        if ((m & 0xF0) == status) out.push_back(m);
    return out;
}

// Types text into a field and confirms it with Enter.
void Type(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

gui::SongWindow* SongWindowOf(ShellFixture& f, CAmpDoc* doc) {
    return qobject_cast<gui::SongWindow*>(f.Window().WindowOf(doc));
}

} // namespace

class PanelsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void thePlayPanelSetsTheRegionAndTheTempoOfTheEngine() {
        ShellFixture f;
        QCOMPARE(f.Start({f.MakeSong("panel.sng")}), app::StartResult::kStarted);
        platform::ScopedRecordingMessages messages;
        gui::PlayPanelDock* dock = f.Window().PlayPanel();
        QVERIFY(dock);
        QVERIFY(f.Window().findChildren<QDockWidget*>().contains(dock));
        CPlayEngine& engine = f.Shell().Engine();

        Type(dock->EndField(), QStringLiteral("50"));
        Type(dock->StartField(), QStringLiteral("10"));
        QCOMPARE(engine.LoopStart(), 10u);
        QCOMPARE(engine.LoopEnd(), 50u);
        QCOMPARE(dock->Position()->minimum(), 10);
        QCOMPARE(dock->Position()->maximum(), 50);
        // Out of range: refused with the model's message, the field shows the model again.
        Type(dock->EndField(), QStringLiteral("5000"));
        QCOMPARE(engine.LoopEnd(), 50u);
        QCOMPARE(dock->EndField()->text(), QStringLiteral("50"));
        QCOMPARE(messages.Shown().back(), std::string(editing::PlayPanel::kBeatRangeMessage));

        // Goto points, through the box and the window's Goto command.
        dock->GotoBox()->setCurrentText(QStringLiteral("1/4"));
        f.Action("playGoto")->trigger();
        QCOMPARE(engine.CurrentBeat(), 20u);
        QCOMPARE(dock->NowField()->text(), QStringLiteral("20"));
        QCOMPARE(dock->Position()->value(), 20);
        dock->GotoBox()->setCurrentText(QStringLiteral("50"));
        f.Action("playGoto")->trigger();
        QCOMPARE(engine.CurrentBeat(), 20u); // End itself is not strictly inside

        // The scroll bar: a page forward is 8 beats.
        dock->Position()->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(engine.CurrentBeat(), 28u);
        QCOMPARE(dock->Position()->value(), 28);

        // A tempo of 20 is refused and the clock keeps its own.
        const double before = engine.TempoBpm();
        Type(dock->TempoField(), QStringLiteral("20"));
        QCOMPARE(engine.TempoBpm(), before);
        QCOMPARE(messages.Shown().back(), std::string(editing::PlayPanel::kTempoRangeMessage));
        QCOMPARE(dock->TempoField()->text().toDouble(), before);
        Type(dock->TempoField(), QStringLiteral("120"));
        QCOMPARE(engine.TempoBpm(), 120.0);

        dock->LoopBox()->setChecked(true);
        QVERIFY(engine.Looping());

        // Home goes to the start from anywhere but a text field; Initialize takes the song's
        // length.
        f.Window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.Window()));
        f.Window().DocumentArea()->setFocus();
        QTest::keyClick(f.Window().DocumentArea(), Qt::Key_Home);
        QCOMPARE(engine.CurrentBeat(), 0u);
        f.Action("playInitialize")->trigger();
        QCOMPARE(engine.LoopStart(), 0u);
        QCOMPARE(int(engine.LoopEnd()), f.Shell().Panel().NaturalLength());
        QCOMPARE(dock->StartField()->text(), QStringLiteral("0"));
    }

    void thePlayPanelsButtonsPlayAndStopAndItFollowsTheClock() {
        ShellFixture f;
        QCOMPARE(f.Start({f.MakeSong("buttons.sng", 8)}), app::StartResult::kStarted);
        gui::PlayPanelDock* dock = f.Window().PlayPanel();
        auto* play = dock->findChild<QToolButton*>(QStringLiteral("playPlayButton"));
        auto* stop = dock->findChild<QToolButton*>(QStringLiteral("playStopButton"));
        QVERIFY(play && stop);
        QTest::mouseClick(play, Qt::LeftButton);
        QVERIFY(f.Shell().IsPlaying());
        QVERIFY(dock->NowField()->isReadOnly());
        // The clock runs; the panel's position follows the engine.
        for (int i = 0; i < 400 && f.Shell().CurrentBeat() < 1; ++i) {
            f.Timer().Advance(5);
            QCoreApplication::processEvents();
        }
        QVERIFY(f.Shell().CurrentBeat() >= 1);
        QCOMPARE(dock->NowField()->text(), QString::number(f.Shell().CurrentBeat()));
        QVERIFY(!dock->PositionLabel()->text().isEmpty());
        QTest::mouseClick(stop, Qt::LeftButton);
        QVERIFY(!f.Shell().IsPlaying());
        QVERIFY(!dock->NowField()->isReadOnly());
    }

    void theSynchronizerDialogShowsTheClockAndKeepsAnUnchangedSource() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        QVERIFY(f.Action("optionsSynchronizer")->isEnabled());
        std::unique_ptr<QDialog> dialog = f.Window().MakeSyncDialog();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Syncronization"));
        auto* source = dialog->findChild<QComboBox*>(QStringLiteral("syncSource"));
        QVERIFY(source);
        QCOMPARE(source->count(), 2);
        QCOMPARE(source->currentText(), QStringLiteral("Internal Sync"));
        auto* resolution = dialog->findChild<QLabel*>(QStringLiteral("syncResolution"));
        QVERIFY(resolution && resolution->text().startsWith(
                                  QString::number(f.Shell().Panel().OpenSyncDialog().resolution)));
        // OK with the source unchanged applies nothing and succeeds.
        auto* sync = static_cast<gui::SyncDialog*>(dialog.get());
        QVERIFY(f.Shell().Panel().ApplySyncDialog(sync->Model()));
        QCOMPARE(f.Shell().Engine().SyncSource() == 1, false);
    }

    void songWindowEditsReachTheEntrySettingsAndUndo() {
        ShellFixture f;
        QCOMPARE(f.Start({f.MakeSong("rows.sng")}), app::StartResult::kStarted);
        auto* song = static_cast<CSongDoc*>(f.Window().ActiveDocument());
        QVERIFY(song);
        gui::SongWindow* w = SongWindowOf(f, song);
        QVERIFY(w);
        gui::SongRowsModel& model = w->Model();
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.columnCount(), editing::kSongColumnCount);
        QCOMPARE(model.headerData(int(editing::SongColumn::kSpeed), Qt::Horizontal).toString(),
                 QStringLiteral("Speed"));

        auto cell = [&](editing::SongColumn c) { return model.index(0, int(c)); };
        // Speed is held to its range; one undo step, named.
        QVERIFY(model.setData(cell(editing::SongColumn::kSpeed), QStringLiteral("250")));
        QCOMPARE(song->Settings(0).rate, 100.0f);
        QVERIFY(song->IsModified());
        f.Window().UpdateCommands();
        QCOMPARE(f.Action("editUndo")->text(), QStringLiteral("&Undo Speed"));
        f.Action("editUndo")->trigger();
        QCOMPARE(song->Settings(0).rate, 1.0f);
        QVERIFY(!song->IsModified());
        QCOMPARE(model.data(cell(editing::SongColumn::kSpeed)).toString().toDouble(), 1.0);

        // Mute: the check box sends controller 7 with 0 at once.
        dsync::Loopback().Output(0).Clear();
        QVERIFY(model.setData(cell(editing::SongColumn::kMute), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(song->Settings(0).muted != 0);
        QCOMPARE(model.data(cell(editing::SongColumn::kMute), Qt::CheckStateRole).toInt(),
                 int(Qt::Checked));
        bool volumeZero = false;
        for (uint32_t m : Sent(0xB0))
            volumeZero |= ((m >> 8) & 0x7F) == 7 && ((m >> 16) & 0x7F) == 0;
        QVERIFY(volumeZero);

        // A choice: the patch by index sends a program change.
        QVERIFY(model.setData(cell(editing::SongColumn::kPatch), 5));
        QCOMPARE(model.data(cell(editing::SongColumn::kPatch), Qt::EditRole).toInt(), 5);
        QVERIFY(!Sent(0xC0).empty());
        // Text that is no time is refused and changes nothing.
        {
            platform::ScopedRecordingMessages messages;
            QVERIFY(!model.setData(cell(editing::SongColumn::kStartTime), QStringLiteral("soon")));
            QCOMPARE(messages.Shown().size(), size_t(1));
        }

        // The volume type chooses what the volume column edits.
        w->VolumeTypeBox()->setCurrentIndex(0);
        QCOMPARE(w->Rows().GetVolumeType(), editing::VolumeType::kWave);

        // The entry menu of a contained entry: Display opens "song :: entry" once.
        std::unique_ptr<QMenu> menu(w->MakeEntryMenu(0, nullptr));
        QStringList labels;
        for (QAction* a : menu->actions()) labels << a->text();
        QCOMPARE(labels, QStringList({QStringLiteral("Display"), QStringLiteral("Delete(!)")}));
        const int before = f.WindowCount();
        menu->actions()[0]->trigger();
        QCOMPARE(f.WindowCount(), before + 1);
        const QString title = f.Window().DocumentArea()->activeSubWindow()->windowTitle();
        QVERIFY2(title.endsWith(QStringLiteral(" :: notes")), qPrintable(title));
        menu->actions()[0]->trigger();
        QCOMPARE(f.WindowCount(), before + 1);
        // Closing the song closes the window on what it holds.
        song->History().SetClean();
        QVERIFY(f.Window().CloseDocument(song));
        QTRY_COMPARE(f.WindowCount(), before - 1);
    }

    void filesDroppedOnTheSongAreIncludedAsOneStepEach() {
        ShellFixture f;
        const std::string tree = f.MakeTree("dropped.dra");
        QCOMPARE(f.Start({f.MakeSong("drop.sng")}), app::StartResult::kStarted);
        auto* song = static_cast<CSongDoc*>(f.Window().ActiveDocument());
        gui::SongWindow* w = SongWindowOf(f, song);
        QVERIFY(w);
        QAbstractItemModelTester tester(&w->Model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(tree))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(w, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(song->EntryCount(), 2);
        QCOMPARE(w->Model().rowCount(), 2);
        // A file the song cannot hold is refused with a message; nothing changes.
        {
            platform::ScopedRecordingMessages messages;
            QCOMPARE(w->IncludeFiles({QString::fromStdString(f.Path("drop.sng"))}), 0);
            QVERIFY(!messages.Shown().empty());
        }
        QCOMPARE(song->EntryCount(), 2);
        f.Window().UpdateCommands();
        QCOMPARE(f.Action("editUndo")->text(), QStringLiteral("&Undo Include"));
        f.Action("editUndo")->trigger();
        QCOMPARE(song->EntryCount(), 1);
        QCOMPARE(w->Model().rowCount(), 1);
        f.Action("editRedo")->trigger();
        QCOMPARE(song->EntryCount(), 2);
        QCOMPARE(w->Model().rowCount(), 2);
    }

    void theKeyboardBarPlaysNotesWhileItHasFocusAndTheWheelBends() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        gui::KeyboardBar* bar = f.Window().Keyboard();
        QVERIFY(bar);
        editing::VirtualKeyboard& keyboard = f.Shell().Keyboard();
        dsync::Loopback().Output(0).Clear();

        gui::KeyboardView* view = bar->View();
        f.Window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.Window()));
        view->setFocus();
        QVERIFY(view->hasFocus());
        const int key = editing::VirtualKeyboard::KeyNumberOfKey('A');
        QVERIFY(key >= 0);
        QTest::keyPress(view, Qt::Key_A);
        QTest::keyRelease(view, Qt::Key_A);
        std::vector<uint32_t> on = Sent(0x90);
        QVERIFY(!on.empty());
        QCOMPARE(int((on[0] >> 8) & 0x7F), key);
        QCOMPARE(int((on[0] >> 16) & 0x7F), keyboard.Velocity());
        const size_t after = dsync::Loopback().Output(0).Count();
        QVERIFY(after >= 2); // the note-off too

        // The octave box moves the notes an octave up.
        bar->OctaveBox()->setValue(1);
        QCOMPARE(keyboard.Octave(), 1);
        dsync::Loopback().Output(0).Clear();
        QTest::keyPress(view, Qt::Key_A);
        on = Sent(0x90);
        QVERIFY(!on.empty());
        QCOMPARE(int((on[0] >> 8) & 0x7F), key + 12);
        // Leaving the keyboard ends the note held.
        f.Window().DocumentArea()->setFocus();
        QVERIFY(!view->hasFocus());
        bool ended = !Sent(0x80).empty();
        for (uint32_t m : Sent(0x90)) ended |= ((m >> 16) & 0x7F) == 0;
        QVERIFY(ended);

        // A click on a drawn key plays it and draws it held.
        dsync::Loopback().Output(0).Clear();
        const QPoint centre = view->CentreOfKey(key);
        QVERIFY(centre.x() >= 0);
        QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, centre);
        QCOMPARE(keyboard.HeldKey().value_or(-1), key + 12);
        QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, centre);
        QVERIFY(!keyboard.HeldKey());
        QVERIFY(!Sent(0x90).empty());

        // The wheel bends; Tune puts it back in the centre.
        gui::PitchWheelBar* wheel = f.Window().PitchWheel();
        dsync::Loopback().Output(0).Clear();
        wheel->Wheel()->setValue(0);
        QCOMPARE(keyboard.WheelPosition(), 0);
        QVERIFY(!Sent(0xE0).empty());
        wheel->TuneAction()->trigger();
        QCOMPARE(keyboard.WheelPosition(), editing::VirtualKeyboard::kWheelCentre);
        QCOMPARE(wheel->Wheel()->value(), editing::VirtualKeyboard::kWheelCentre);
    }
};

QTEST_MAIN(PanelsTest)
#include "panels_test.moc"
