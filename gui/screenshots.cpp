#include "gui/screenshots.h"

#include "app/document_save.h"
#include "documents/channel_document.h"
#include "gui/appearance.h"
#include "gui/device_list.h"
#include "gui/editor_screenshots.h"
#include "gui/file_dialogs.h"
#include "gui/keyboard_bar.h"
#include "gui/main_window.h"
#include "gui/message_boxes.h"
#include "gui/play_panel_dock.h"
#include "gui/settings_dialog.h"
#include "gui/shell.h"
#include "gui/song_window.h"
#include "gui/tree_window.h"
#include "song/song_document.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QTimer>

#include <cstdio>

namespace gui {

namespace {

constexpr int kResizeSettleMs = 300;

// Runs an action once the widget has been painted the first time.
class FirstPaint : public QObject {
public:
    FirstPaint(QWidget* widget, std::function<void()> action)
        : QObject(widget), action_(std::move(action)) {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && action_) {
            watched->removeEventFilter(this);
            // After this paint has reached the screen.
            QTimer::singleShot(0, this, [this] {
                auto action = std::move(action_);
                action();
            });
        }
        return false;
    }

private:
    std::function<void()> action_;
};

// Lets the event loop run for a while: document windows paint their title bars from options
// taken when they were resized until 200 ms have passed.
void Settle(int ms = 0) {
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (t.elapsed() < ms);
}

class Camera {
public:
    explicit Camera(const QString& dir) : dir_(dir) { QDir().mkpath(dir); }

    void Shoot(QWidget* w, const QString& name) {
        Settle();
        if (w->grab().save(dir_ + QLatin1Char('/') + name + QStringLiteral(".png"))) ++written_;
    }
    // Shows a top-level widget (a dialog, a box), takes it and hides it again.
    void ShootShown(QWidget* w, const QString& name) {
        w->show();
        Shoot(w, name);
        w->hide();
    }
    int Written() const { return written_; }

private:
    QString dir_;
    int written_ = 0;
};

} // namespace

long ResidentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return 0;
}

int TakeScreenshots(Shell& shell, const QString& dir) {
    MainWindow* w = shell.Window();
    if (!w) return 0;
    Camera camera(dir);
    camera.Shoot(w, QStringLiteral("main-window"));

    for (QMenu* menu : w->menuBar()->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (menu->objectName().isEmpty()) continue;
        menu->popup(w->mapToGlobal(QPoint(0, 0)));
        camera.Shoot(menu, QStringLiteral("menu-") + menu->objectName().chopped(4));
        menu->hide();
    }

    // The song window maximized, the play panel, the keyboard and the pitch wheel.
    CAmpDoc* song = w->ActiveDocument();
    if (QMdiSubWindow* sub = w->DocumentArea()->currentSubWindow()) {
        sub->showMaximized();
        Settle(kResizeSettleMs);
        camera.Shoot(sub->widget(), QStringLiteral("song-window"));
        if (auto* songWindow = qobject_cast<SongWindow*>(sub->widget())) {
            QMenu* menu = songWindow->MakeEntryMenu(0, w);
            menu->popup(w->mapToGlobal(QPoint(0, 0)));
            camera.Shoot(menu, QStringLiteral("song-entry-menu"));
            menu->hide();
            delete menu;
        }
        camera.Shoot(w, QStringLiteral("main-window-song"));
        sub->showNormal();
        Settle(kResizeSettleMs);
    }
    if (PlayPanelDock* panel = w->PlayPanel()) camera.Shoot(panel, QStringLiteral("play-panel"));
    if (KeyboardBar* keys = w->Keyboard()) camera.Shoot(keys, QStringLiteral("keyboard-bar"));
    if (PitchWheelBar* wheel = w->PitchWheel())
        camera.Shoot(wheel, QStringLiteral("pitch-wheel-bar"));

    // The documents of the song, each in its window, tiled; then as tabs; then dark.
    if (song && shell.App().DocumentKind(song) == kDocKindSong) {
        auto* s = static_cast<CSongDoc*>(song);
        std::vector<std::string> paths;
        for (int i = 0; i < s->EntryCount(); ++i)
            if (s->Entry(i).document && !s->Entry(i).document->GetPathName().empty())
                paths.push_back(s->Entry(i).document->GetPathName());
        for (const std::string& p : paths) w->OpenPath(QString::fromStdString(p));
    }
    w->DocumentArea()->tileSubWindows();
    Settle(kResizeSettleMs);
    camera.Shoot(w, QStringLiteral("main-window-documents"));
    w->Action(QStringLiteral("windowTabbed"))->setChecked(true);
    camera.Shoot(w, QStringLiteral("main-window-tabbed"));
    w->Action(QStringLiteral("windowTabbed"))->setChecked(false);
    w->DocumentArea()->tileSubWindows();
    Settle(kResizeSettleMs);
    const ColorScheme scheme = CurrentScheme();
    ApplyScheme(scheme == ColorScheme::kDark ? ColorScheme::kLight : ColorScheme::kDark);
    camera.Shoot(w, scheme == ColorScheme::kDark ? QStringLiteral("main-window-light")
                                                 : QStringLiteral("main-window-dark"));

    DeviceListDialog* devices = w->ShowDeviceList();
    camera.Shoot(devices, QStringLiteral("devices-") + (scheme == ColorScheme::kDark
                                                            ? QStringLiteral("light")
                                                            : QStringLiteral("dark")));
    ApplyScheme(scheme);
    camera.Shoot(devices, QStringLiteral("devices"));
    devices->close();

    camera.ShootShown(w->MakeSyncDialog().get(), QStringLiteral("synchronizer"));

    SettingsValues values;
    values.settings = shell.App().Config();
    values.floatingPointTimes = shell.FloatingPointTimes();
    values.sendFileTempoChanges = shell.SendFileTempoChanges();
    SettingsDialog settings(values, w);
    camera.ShootShown(&settings, QStringLiteral("settings"));

    if (CAmpDoc* doc = w->ActiveDocument()) {
        camera.ShootShown(w->MakeCloseQuestion(*doc).get(), QStringLiteral("save-changes"));
        if (shell.App().DocumentKind(doc) != kDocKindCollection) {
            auto dialog =
                w->Dialogs().MakeSaveDialog(SaveAsDialogFor(static_cast<CChanDoc&>(*doc)),
                                            QString::fromStdString(doc->GetPathName()), QString());
            dialog->setOption(QFileDialog::DontUseNativeDialog);
            camera.ShootShown(dialog.get(), QStringLiteral("save-dialog"));
        }
    }
    auto open = w->Dialogs().MakeOpenDialog();
    open->setOption(QFileDialog::DontUseNativeDialog);
    camera.ShootShown(open.get(), QStringLiteral("open-dialog"));

    camera.ShootShown(MessageBoxes::MakeMessage(QStringLiteral("improper extension"),
                                                platform::MessageKind::Information, w)
                          .get(),
                      QStringLiteral("message"));
    camera.ShootShown(MessageBoxes::MakeQuestion(
                          QString::fromStdString(MissingFileQuestion("/home/user/bass.mid")),
                          platform::Answer::No, w)
                          .get(),
                      QStringLiteral("question"));
    auto progress = w->MakeRenderProgress(QStringLiteral("demo.sng"));
    progress->setValue(42);
    camera.ShootShown(progress.get(), QStringLiteral("render-progress"));
    camera.ShootShown(w->MakeAboutBox().get(), QStringLiteral("about"));
    return camera.Written() + TakeTreeEditorScreenshots(shell, dir) +
           TakeEditorScreenshots(shell, dir);
}

bool InstallDevHooks(Shell& shell) {
    MainWindow* w = shell.Window();
    if (!w) return false;
    const QString shots = qEnvironmentVariable("DENDRA_SCREENSHOTS");
    if (!shots.isEmpty()) {
        new FirstPaint(w, [&shell, shots] {
            const int n = TakeScreenshots(shell, shots);
            std::printf("dendra: %d pictures in %s\n", n, qPrintable(shots));
            std::fflush(stdout);
            QCoreApplication::exit(n > 0 ? 0 : 1);
        });
        return true;
    }
    if (qEnvironmentVariableIntValue("DENDRA_STARTUP_REPORT") != 0) {
        new FirstPaint(w, [] {
            std::printf("dendra: shown; resident %ld kB\n", ResidentKb());
            std::fflush(stdout);
            QCoreApplication::exit(0);
        });
        return true;
    }
    return false;
}

} // namespace gui
