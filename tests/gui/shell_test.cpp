// The desktop program's start-up and main loop: the command line's document, a second start
// handing over, the engine running from the event loop, idle solving between events, and the
// message boxes.
#include "gui_test_util.h"

#include "app/device_config.h"
#include "documents/collection.h"
#include "gui/message_boxes.h"
#include "platform/message_queue.h"
#include "platform/user_messages.h"

#include <QAbstractButton>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>

#include <thread>

using guitest::ShellFixture;

namespace {

// Note-ons and note-offs the first loopback output received.
std::pair<int, int> NotesSent() {
    int on = 0, off = 0;
    for (uint32_t m : dsync::Loopback().Output(0).ShortMessages()) {
        const uint32_t status = m & 0xF0, velocity = (m >> 16) & 0x7F;
        if (status == 0x90 && velocity > 0) ++on;
        if (status == 0x80 || (status == 0x90 && velocity == 0)) ++off;
    }
    return {on, off};
}

// Plays the clock until the engine stops (at most `periods` timer periods).
void RunClock(ShellFixture& f, int periods) {
    for (int i = 0; i < periods && f.Shell().IsPlaying(); ++i) {
        f.Timer().Advance(5);
        QCoreApplication::processEvents();
    }
}

} // namespace

class ShellTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void startsWithTheDocumentOfTheCommandLine() {
        ShellFixture f;
        const std::string song = f.MakeSong("opening.sng");
        QCOMPARE(f.Start({song}), app::StartResult::kStarted);
        QVERIFY(f.Window().isVisible());
        QCOMPARE(f.WindowCount(), 1);
        CAmpDoc* doc = f.Window().ActiveDocument();
        QVERIFY(doc);
        QCOMPARE(f.Shell().App().DocumentKind(doc), kDocKindSong);
        QCOMPARE(QString::fromStdString(doc->GetPathName()), QString::fromStdString(song));
        QVERIFY(!doc->IsModified());
        QVERIFY(f.Window().windowTitle().startsWith(QStringLiteral("opening.sng")));
        QVERIFY(f.Window().windowTitle().contains(QLatin1String(gui::MainWindow::kTitle)));
        // The file joined the recent files.
        QCOMPARE(f.Action("fileRecent1")->data().toString(), QString::fromStdString(song));
    }

    void startsWithANewSongOnlyWhenTheSettingsSaySo() {
        {
            ShellFixture f;
            QCOMPARE(f.Start({}), app::StartResult::kStarted);
            QCOMPARE(f.WindowCount(), 1);
            QCOMPARE(QString::fromStdString(f.Window().ActiveDocument()->GetTitle()),
                     QStringLiteral("temp"));
        }
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        QCOMPARE(f.WindowCount(), 0);
        QVERIFY(!f.Action("fileSave")->isEnabled());
    }

    void aSecondStartHandsItsCommandLineOver() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        const std::string tree = f.MakeTree("handed.dra");

        // The real program, started as a desktop would, with a relative path.
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(f.InstanceFolder()));
        env.insert(QStringLiteral("DENDRA_SETTINGS_FILE"),
                   QString::fromStdString(f.SettingsPath()));
        second.setProcessEnvironment(env);
        second.setWorkingDirectory(QString::fromStdString(f.Path("")));
        QSignalSpy finished(&second, &QProcess::finished);
        second.start(
            QStringLiteral(DENDRA_BINARY_DIR "/gui/dendra"),
            {QStringLiteral("/play"), QStringLiteral("/quit"), QStringLiteral("handed.dra")});
        // The running program answers from its event loop while the second one waits.
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, 20000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);

        QTRY_COMPARE(f.WindowCount(), 2);
        CAmpDoc* doc = f.Window().ActiveDocument();
        QVERIFY(doc);
        QCOMPARE(QString::fromStdString(doc->GetPathName()), QString::fromStdString(tree));
        // It plays in the running program, which a handed-over "/quit" does not end.
        QVERIFY(f.Shell().IsPlaying());
        QVERIFY(!f.Shell().App().QuitAfterPlay());
        QSignalSpy quit(&f.Shell(), &gui::Shell::quitRequested);
        f.Shell().Stop();
        QCoreApplication::processEvents();
        QCOMPARE(quit.count(), 0);
        QVERIFY(f.Window().isVisible());

        // Nor does a handed-over document that cannot play at all.
        {
            CFileListDoc list;
            list.OnNewDocument();
            QVERIFY(list.OnSaveDocument(f.Path("files.col")));
        }
        QProcess third;
        third.setProcessEnvironment(env);
        third.setWorkingDirectory(QString::fromStdString(f.Path("")));
        QSignalSpy thirdFinished(&third, &QProcess::finished);
        third.start(
            QStringLiteral(DENDRA_BINARY_DIR "/gui/dendra"),
            {QStringLiteral("/play"), QStringLiteral("/quit"), QStringLiteral("files.col")});
        QTRY_VERIFY_WITH_TIMEOUT(thirdFinished.count() == 1, 20000);
        QCOMPARE(third.exitCode(), 0);
        QTRY_COMPARE(f.WindowCount(), 3);
        QVERIFY(!f.Shell().IsPlaying());
        QCoreApplication::processEvents();
        QCOMPARE(quit.count(), 0);
        QVERIFY(f.Window().isVisible());
    }

    void playRunsTheEngineOnTheLoopbackOutputFromTheEventLoop() {
        ShellFixture f;
        QCOMPARE(f.Start({f.MakeSong("play.sng")}), app::StartResult::kStarted);
        QVERIFY(f.Action("playPlay")->isEnabled());
        QVERIFY(!f.Action("playStop")->isEnabled());
        auto* position = f.Window().findChild<QLabel*>(QStringLiteral("playPosition"));
        QVERIFY(position);

        f.Action("playPlay")->trigger();
        QVERIFY(f.Shell().IsPlaying());
        QVERIFY(f.Action("playStop")->isEnabled());
        QVERIFY(position->text().startsWith(QStringLiteral("Playing")));
        // The clock's beats and refills arrive through the posted-message queue, which only the
        // event loop drains: the song plays to its end and the engine stops by itself.
        RunClock(f, 2000);
        QVERIFY(!f.Shell().IsPlaying());
        QCOMPARE(NotesSent(), std::make_pair(4, 4));
        QVERIFY(!f.Action("playStop")->isEnabled());
        QCOMPARE(position->text().left(4), QStringLiteral("Beat"));

        // Stop in the middle leaves no note sounding.
        dsync::Loopback().Output(0).Clear();
        f.Action("playPlay")->trigger();
        f.Timer().Advance(1);
        QCoreApplication::processEvents();
        f.Action("playStop")->trigger();
        QVERIFY(!f.Shell().IsPlaying());
        const auto [on, off] = NotesSent();
        QVERIFY(off >= on);
    }

    void playQuitEndsTheProgramWhenTheSongEnds() {
        ShellFixture f;
        QCOMPARE(f.Start({"/play", "/quit", f.MakeSong("quit.sng", 2)}),
                 app::StartResult::kStarted);
        QVERIFY(f.Shell().IsPlaying());
        QSignalSpy quit(&f.Shell(), &gui::Shell::quitRequested);
        RunClock(f, 2000);
        QVERIFY(!f.Shell().IsPlaying());
        QTRY_COMPARE(quit.count(), 1);
        QTRY_VERIFY(!f.Window().isVisible());
    }

    void backgroundSolvingLeavesTheEventLoopFree() {
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        f.Action("fileNewTree")->trigger();
        auto* tree = static_cast<CDendraDoc*>(f.Window().ActiveDocument());
        QVERIFY(tree);
        QCOMPARE(f.Shell().App().DocumentKind(tree), kDocKindDendra);

        // A solve of many chunks; a message posted meanwhile is handled while it still runs.
        tree->GetRoot().duration = 40 * TreeSolver::kChunkLength;
        tree->BeginSolve();
        QVERIFY(tree->IsSolving());
        f.Shell().KickIdle();
        QVERIFY(f.Shell().IdleRunning());
        platform::MessageRecorder recorder;
        platform::PostMessage(recorder.Handle(), 0x7777, 1, 2);
        bool solvingWhenHandled = false;
        QTRY_VERIFY(recorder.Count(0x7777) == 1 || !tree->IsSolving());
        solvingWhenHandled = tree->IsSolving();
        QVERIFY2(solvingWhenHandled, "the posted message waited for the whole solve");
        QTRY_VERIFY(!tree->IsSolving());
        QTRY_VERIFY(!f.Shell().IdleRunning());
    }

    void noSoundNoticeOnlyWhenAnOutputWasWantedAndNoneOpened() {
        {
            ShellFixture f; // Devices/Wave 0: no output wanted
            QCOMPARE(f.Start({}), app::StartResult::kStarted);
            QVERIFY(f.Window().NoSoundText().isEmpty());
        }
        ShellFixture f;
        f.Setting(app::kSectionDevices, "Wave", "1");
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        if (f.Shell().App().Devices().CurrentWaveOut() >= 0)
            QSKIP("this machine has a sound output");
        QCOMPARE(f.Window().NoSoundText(), QString::fromUtf8(app::kNoSoundOutputMessage));
        // Playing still runs the clock.
        f.Action("playPlay")->trigger();
        QVERIFY(f.Shell().IsPlaying());
        f.Shell().Stop();
    }

    void messagesFromAnotherThreadAreShownOnTheUserInterfaceThread() {
        gui::MessageBoxes boxes;
        guitest::ModalWatcher watcher;
        platform::Answer answer = platform::Answer::Yes;
        std::thread worker([&] {
            boxes.Show("from a device thread", platform::MessageKind::Warning);
            // A question cannot wait for the user there: the safe answer, and its text is shown.
            answer = boxes.Ask("a question", platform::Answer::No);
        });
        worker.join();
        QCOMPARE(answer, platform::Answer::No);
        QVERIFY(watcher.texts.empty()); // nothing was shown while the worker ran
        QTRY_COMPARE(watcher.texts.size(), size_t(2));
        QCOMPARE(watcher.texts[0], QStringLiteral("from a device thread"));
        QCOMPARE(watcher.texts[1], QStringLiteral("a question"));
        for (QThread* t : watcher.threads) QCOMPARE(t, QCoreApplication::instance()->thread());
    }

    void questionsAreRealQuestions() {
        gui::MessageBoxes boxes;
        QStringList buttons;
        guitest::AnswerNextModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            QVERIFY(box);
            for (QAbstractButton* b : box->buttons()) buttons << b->text().remove(QLatin1Char('&'));
            QCOMPARE(static_cast<QAbstractButton*>(box->defaultButton()),
                     box->button(QMessageBox::No));
            box->button(QMessageBox::Yes)->click();
        });
        QCOMPARE(boxes.Ask("Open temporary file?", platform::Answer::No), platform::Answer::Yes);
        buttons.sort();
        QCOMPARE(buttons, QStringList({QStringLiteral("No"), QStringLiteral("Yes")}));

        guitest::AnswerNextModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            QVERIFY(box && box->button(QMessageBox::Ok) && box->button(QMessageBox::Cancel));
            QVERIFY(!box->button(QMessageBox::Yes));
            box->button(QMessageBox::Ok)->click();
        });
        QCOMPARE(boxes.Ask("Select a branch (or cancel).", platform::Answer::Cancel),
                 platform::Answer::Ok);
    }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
