// The main window's commands: every one reachable by its object name from a menu, enabled only
// when it can act; saving, the questions on closing and quitting, the save dialog's extension
// check, and the window's place kept only where it fits.
#include "gui_test_util.h"

#include "app/document_save.h"
#include "documents/undo_stack.h"
#include "gui/commands.h"
#include "gui/file_dialogs.h"
#include "gui/keyboard_bar.h"
#include "gui/play_panel_dock.h"
#include "gui/window_state.h"
#include "platform/user_messages.h"

#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QUrl>

#include <filesystem>
#include <set>

using guitest::ShellFixture;

namespace {

// Answers the save rules' prompt with a fixed path and keeps what it was asked.
class FixedPrompt : public SavePathPrompt {
public:
    explicit FixedPrompt(std::string path) : path_(std::move(path)) {}
    bool AskPath(const SaveDialog& dialog, const std::string&, std::string& path) override {
        asked.push_back(dialog);
        if (path_.empty()) return false;
        path = path_;
        return true;
    }
    std::vector<SaveDialog> asked;

private:
    std::string path_;
};

// A step that flips a flag, for the Edit menu.
class FlagCommand : public Command {
public:
    explicit FlagCommand(bool& flag) : flag_(flag) {}
    std::string Label() const override { return "Flip"; }
    bool Do() override { return flag_ = !flag_, true; }
    bool Undo() override { return flag_ = !flag_, true; }

private:
    bool& flag_;
};

void CollectMenuActions(QMenu* menu, std::set<QString>& names) {
    for (QAction* a : menu->actions()) {
        if (a->menu()) CollectMenuActions(a->menu(), names);
        if (!a->objectName().isEmpty()) names.insert(a->objectName());
    }
}

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void everyCommandIsAnActionWithItsPromptInAMenu() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        std::set<QString> inMenus;
        for (QMenu* m : f.Window().menuBar()->findChildren<QMenu*>()) {
            QMetaObject::invokeMethod(m, "aboutToShow"); // the Window menu fills itself
            CollectMenuActions(m, inMenus);
        }
        for (const gui::CommandInfo& c : gui::Commands()) {
            const QString name = QString::fromUtf8(c.name);
            QAction* a = f.Window().Action(name);
            QVERIFY2(a, c.name);
            QCOMPARE(a->statusTip(), gui::StatusTipOf(c.prompt));
            QVERIFY2(!a->statusTip().isEmpty(), c.name);
            QVERIFY2(inMenus.count(name), c.name);
        }
        QCOMPARE(f.Action("playPlay")->statusTip(),
                 QStringLiteral("Begin play of the selected song."));
        QCOMPARE(f.Action("playPlay")->toolTip(), QStringLiteral("Play"));
        QCOMPARE(f.Action("playPlay")->shortcut(), QKeySequence(Qt::Key_Space));
        QCOMPARE(f.Action("fileSave")->shortcut(), QKeySequence(QKeySequence::Save));
    }

    void commandsAreEnabledOnlyWhenTheyCanAct() {
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        auto enabled = [&](const char* name) { return f.Action(name)->isEnabled(); };
        for (const char* name :
             {"fileClose", "fileSave", "fileSaveAs", "fileExportMidi", "fileExportMidiType0",
              "fileRenderWav", "editUndo", "editRedo", "playPlay", "playStop", "playRecord",
              "playEndRecord", "windowCascade", "windowTile", "windowNext", "windowCloseAll"})
            QVERIFY2(!enabled(name), name);
        for (const char* name :
             {"fileNewSong", "fileNewTree", "fileNewEventList", "fileOpen", "fileQuit",
              "optionsDevices", "optionsSettings", "helpAbout", "windowTabbed"})
            QVERIFY2(enabled(name), name);

        f.Action("fileNewSong")->trigger();
        QCOMPARE(f.WindowCount(), 1);
        QCOMPARE(QString::fromStdString(f.Window().ActiveDocument()->GetTitle()),
                 QStringLiteral("Song1"));
        for (const char* name : {"fileClose", "fileSave", "fileSaveAs", "fileExportMidi",
                                 "playPlay", "playRecord", "windowCloseAll"})
            QVERIFY2(enabled(name), name);
        // A song exports as a whole: no type 0 export; nothing plays yet.
        QVERIFY(!enabled("fileExportMidiType0"));
        QVERIFY(!enabled("playStop"));
        QVERIFY(!enabled("windowNext"));

        f.Action("fileNewTree")->trigger();
        QCOMPARE(QString::fromStdString(f.Window().ActiveDocument()->GetTitle()),
                 QStringLiteral("Dendra1"));
        QVERIFY(enabled("fileExportMidiType0"));
        QVERIFY(enabled("windowNext"));

        // Undo and Redo follow the active document's steps, named after them.
        bool flag = false;
        f.Window().ActiveDocument()->History().Push(std::make_unique<FlagCommand>(flag));
        f.Window().UpdateCommands();
        QVERIFY(enabled("editUndo"));
        QCOMPARE(f.Action("editUndo")->text(), QStringLiteral("&Undo Flip"));
        QVERIFY(!enabled("editRedo"));
        f.Action("editUndo")->trigger();
        QVERIFY(!flag);
        QVERIFY(!enabled("editUndo"));
        QCOMPARE(f.Action("editRedo")->text(), QStringLiteral("&Redo Flip"));
        f.Action("editRedo")->trigger();
        QVERIFY(flag);

        // Tabs: cascading and tiling have nothing to arrange.
        f.Action("windowTabbed")->trigger();
        QCOMPARE(f.Window().DocumentArea()->viewMode(), QMdiArea::TabbedView);
        QVERIFY(!enabled("windowCascade"));
        f.Action("windowTabbed")->trigger();
        QVERIFY(enabled("windowCascade"));
    }

    void aModifiedDocumentIsMarkedAndAskedForOnClose() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        CAmpDoc* doc = f.Window().ActiveDocument();
        QMdiSubWindow* sub = f.Window().SubWindowOf(doc);
        QVERIFY(!sub->isWindowModified());
        doc->SetModifiedFlag(true);
        f.Window().UpdateCommands();
        QVERIFY(sub->isWindowModified());
        QVERIFY(sub->windowTitle().endsWith(QStringLiteral("[*]")));
        QVERIFY(f.Window().isWindowModified());

        int asked = 0;
        f.Window().SetCloseQuestion([&](CAmpDoc&) { return ++asked, QMessageBox::Cancel; });
        f.Action("fileClose")->trigger();
        QCOMPARE(asked, 1);
        QCOMPARE(f.WindowCount(), 1);
        QCOMPARE(f.Shell().App().Documents().size(), size_t(1));

        f.Window().SetCloseQuestion([&](CAmpDoc&) { return ++asked, QMessageBox::Discard; });
        f.Action("fileClose")->trigger();
        QCOMPARE(asked, 2);
        QTRY_COMPARE(f.WindowCount(), 0);
        QVERIFY(f.Shell().App().Documents().empty());
    }

    void quitAsksForEveryModifiedDocumentBeforeClosingAny() {
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        f.Action("fileNewSong")->trigger();
        f.Window().ActiveDocument()->SetModifiedFlag(true);
        f.Action("fileNewEventList")->trigger();
        f.Action("fileNewTree")->trigger();
        f.Window().ActiveDocument()->SetModifiedFlag(true);

        std::vector<std::string> asked;
        f.Window().SetCloseQuestion([&](CAmpDoc& d) {
            asked.push_back(d.GetTitle());
            return asked.size() == 1 ? QMessageBox::Discard : QMessageBox::Cancel;
        });
        QVERIFY(!f.Window().close());
        QCOMPARE(asked.size(), size_t(2));
        QCOMPARE(f.WindowCount(), 3); // a Cancel keeps every window

        asked.clear();
        f.Window().SetCloseQuestion([&](CAmpDoc& d) {
            asked.push_back(d.GetTitle());
            return QMessageBox::Discard;
        });
        QVERIFY(f.Window().close());
        QCOMPARE(asked.size(), size_t(2)); // the unmodified event list is not asked for
        QVERIFY(f.Shell().App().Documents().empty());
    }

    void saveTakesThePromptsPathAndJoinsTheRecentFiles() {
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        CAmpDoc* doc = f.Window().ActiveDocument();
        doc->SetModifiedFlag(true);
        FixedPrompt prompt(f.Path("saved.sng"));
        f.Window().SetSavePathPrompt(&prompt);
        f.Action("fileSave")->trigger();
        QCOMPARE(prompt.asked.size(), size_t(1));
        QCOMPARE(prompt.asked[0].defaultExtension, std::string(".sng"));
        QVERIFY(std::filesystem::exists(f.Path("saved.sng")));
        QVERIFY(!doc->IsModified());
        QCOMPARE(QString::fromStdString(doc->GetTitle()), QStringLiteral("saved.sng"));
        QVERIFY(!f.Window().SubWindowOf(doc)->isWindowModified());
        QVERIFY(f.Window().SubWindowOf(doc)->windowTitle().startsWith(QStringLiteral("saved.sng")));
        QVERIFY(f.Action("fileRecent1")->isVisible());
        QCOMPARE(f.Action("fileRecent1")->data().toString(),
                 QString::fromStdString(f.Path("saved.sng")));
        f.Window().SetSavePathPrompt(nullptr);
    }

    void aFailedSaveIsReportedAndTheDocumentStaysModified() {
        platform::ScopedRecordingMessages messages;
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        CAmpDoc* doc = f.Window().ActiveDocument();
        // A path whose folder is a file: no temporary file can be made beside it.
        const std::string blocker = f.Path("not-a-folder");
        {
            std::FILE* file = std::fopen(blocker.c_str(), "w");
            std::fclose(file);
        }
        FixedPrompt prompt(blocker + "/song.sng");
        f.Window().SetSavePathPrompt(&prompt);
        doc->SetModifiedFlag(true);

        f.Action("fileSaveAs")->trigger();
        QCOMPARE(messages.Shown().size(), size_t(1));
        QVERIFY(doc->IsModified());
        QVERIFY(doc->GetPathName().empty());
        f.Window().UpdateCommands();
        QVERIFY(f.Window().SubWindowOf(doc)->isWindowModified());

        // Closing with Save: the save fails again and the window stays.
        f.Window().SetCloseQuestion([](CAmpDoc&) { return QMessageBox::Save; });
        QVERIFY(!f.Window().CloseDocument(doc));
        QCOMPARE(messages.Shown().size(), size_t(2));
        QCOMPARE(f.WindowCount(), 1);
        QVERIFY(doc->IsModified());
        f.Window().SetSavePathPrompt(nullptr);
        f.Window().SetCloseQuestion([](CAmpDoc&) { return QMessageBox::Discard; });
    }

    void theSaveDialogHoldsNamesToTheKindsTheProgramOpens() {
        platform::ScopedRecordingMessages messages;
        ShellFixture f;
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        const SaveDialog songs{"Song Files (*.sng)|*.sng||", ".sng"};
        // Types a name into the dialog's file name field and presses Save, as a person would.
        auto typeInto = [](const QString& name) {
            guitest::AnswerNextModal([name](QWidget* w) {
                auto* d = qobject_cast<QFileDialog*>(w);
                QVERIFY(d);
                auto* field = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                QVERIFY(field);
                field->setText(name);
                QMetaObject::invokeMethod(d, "accept");
            });
        };
        typeInto(QString::fromStdString(f.Path("notes.txt")));
        QVERIFY(f.Window().Dialogs().AskSavePath(songs, QString()).isEmpty());
        QCOMPARE(messages.Shown(), std::vector<std::string>{"improper extension"});

        // No extension: the default one is added.
        typeInto(QString::fromStdString(f.Path("tune")));
        QCOMPARE(f.Window().Dialogs().AskSavePath(songs, QString()),
                 QString::fromStdString(f.Path("tune.sng")));
        // Any case of a known extension passes.
        typeInto(QString::fromStdString(f.Path("take.Aiff")));
        QCOMPARE(f.Window().Dialogs().AskSavePath({}, QString()),
                 QString::fromStdString(f.Path("take.Aiff")));
        QCOMPARE(messages.Shown().size(), size_t(1));
        // The next dialog opens where the last one was left.
        QCOMPARE(f.Window().Dialogs().StartFolder(), QString::fromStdString(f.Path("")));
    }

    void exportMidiWritesTheFileThePromptNames() {
        ShellFixture f;
        QCOMPARE(f.Start({f.MakeSong("export.sng")}), app::StartResult::kStarted);
        FixedPrompt prompt(f.Path("export.mid"));
        f.Window().SetSavePathPrompt(&prompt);
        f.Action("fileExportMidi")->trigger();
        QCOMPARE(prompt.asked.size(), size_t(1));
        QCOMPARE(prompt.asked[0].defaultExtension, std::string(".mid"));
        QFile mid(QString::fromStdString(f.Path("export.mid")));
        QVERIFY(mid.open(QIODevice::ReadOnly));
        QCOMPARE(mid.read(4), QByteArray("MThd"));
        // Exporting leaves the song as it was.
        QVERIFY(!f.Window().ActiveDocument()->IsModified());
        f.Window().SetSavePathPrompt(nullptr);
    }

    void closingTheDocumentThatPlaysStopsItFirst() {
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        QCOMPARE(f.Start({f.MakeTree("playing.dra")}), app::StartResult::kStarted);
        // A tree plays as the one entry of a song made for it.
        f.Action("playPlay")->trigger();
        QVERIFY(f.Shell().IsPlaying());
        QCOMPARE(f.Shell().PlayingDocument(), f.Window().ActiveDocument());
        f.Action("fileClose")->trigger();
        QVERIFY(!f.Shell().IsPlaying());
        QVERIFY(!f.Shell().PlayingDocument());
        QVERIFY(f.Shell().App().Documents().empty());
        // The clock runs on without a song.
        f.Timer().Advance(50);
        QCoreApplication::processEvents();
        QVERIFY(!f.Action("playPlay")->isEnabled());
    }

    void droppedFilesOpenByTheirExtension() {
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        const std::string tree = f.MakeTree("dropped.dra");
        const std::string temp = f.MakeTree("temp1.dra"); // a name beginning with "temp"
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(tree)),
                      QUrl::fromLocalFile(QString::fromStdString(temp))});
        // As a drag does it: entering (which makes the window the target), then the drop.
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(&f.Window(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&f.Window(), &drop);
        QCOMPARE(f.WindowCount(), 1);
        QCOMPARE(QString::fromStdString(f.Window().ActiveDocument()->GetPathName()),
                 QString::fromStdString(tree));
    }

    void aRecentFileOpensAgain() {
        ShellFixture f;
        const std::string song = f.MakeSong("recent.sng");
        QCOMPARE(f.Start({song}), app::StartResult::kStarted);
        f.Action("fileClose")->trigger();
        QTRY_COMPARE(f.WindowCount(), 0);
        QAction* recent = f.Action("fileRecent1");
        QVERIFY(recent->isVisible());
        QVERIFY(recent->text().contains(QStringLiteral("recent.sng")));
        recent->trigger();
        QCOMPARE(f.WindowCount(), 1);
        QCOMPARE(QString::fromStdString(f.Window().ActiveDocument()->GetPathName()),
                 QString::fromStdString(song));
    }

    void theWindowsPlaceComesBackOnlyWhereItFits() {
        const QList<QRect> screens{QRect(0, 0, 800, 600), QRect(800, 0, 1024, 768)};
        QVERIFY(gui::FitsScreens(QRect(10, 10, 400, 300), screens));
        QVERIFY(gui::FitsScreens(QRect(900, 100, 900, 600), screens));
        QVERIFY(!gui::FitsScreens(QRect(700, 10, 400, 300), screens));  // across two screens
        QVERIFY(!gui::FitsScreens(QRect(3000, 10, 400, 300), screens)); // a screen now gone
        QVERIFY(!gui::ParseFrameText(QStringLiteral("10 10 0 300 0")));
        QVERIFY(!gui::ParseFrameText(QStringLiteral("10 10 400 garbage 0")));

        // Wider than the window's least width (the play panel and the keyboard bar).
        const QRect fits(20, 30, 760, 560);
        {
            ShellFixture f;
            f.Setting(app::kSectionBehavior, "SaveLocations", "1");
            QCOMPARE(f.Start({}), app::StartResult::kStarted);
            f.Window().setGeometry(fits);
            f.Action("windowTabbed")->trigger();
            f.Window().Action(QStringLiteral("viewToolBar"))->setChecked(false);
            f.Window().Keyboard()->hide();
            f.Window().SetCloseQuestion([](CAmpDoc&) { return QMessageBox::Discard; });
            QVERIFY(f.Window().close());
            f.Shell().Shutdown();
            // Started again on the same settings: the same place, tabs and bars.
            gui::ShellOptions o;
            o.settingsPath = f.SettingsPath();
            o.instanceFolder = f.InstanceFolder();
            o.timer = &f.Timer();
            o.installMessageBoxes = false;
            gui::Shell again(o);
            QCOMPARE(again.Start({}), app::StartResult::kStarted);
            QCOMPARE(again.Window()->geometry(), fits);
            QCOMPARE(again.Window()->DocumentArea()->viewMode(), QMdiArea::TabbedView);
            QVERIFY(!again.Window()->Action(QStringLiteral("viewToolBar"))->isChecked());
            QVERIFY(again.Window()->Keyboard()->isHidden());
            QVERIFY(!again.Window()->PlayPanel()->isHidden());
        }
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "SaveLocations", "1");
        f.Setting(gui::kSectionSavedStates, "Frame", "5000 5000 500 400 0");
        QCOMPARE(f.Start({}), app::StartResult::kStarted);
        QCOMPARE(f.Window().geometry(), gui::DefaultFrame());
    }
};

QTEST_MAIN(CommandsTest)
#include "commands_test.moc"
