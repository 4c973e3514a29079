// What the desktop program's tests share: a scratch folder with settings of its own (no wave
// devices, the first loopback port as the MIDI output, no MIDI input, a clock driven by hand) and
// a shell started on it, and small documents saved into the folder.
#pragma once

#include "app/settings.h"
#include "documents/event_list_document.h"
#include "documents/tree_document.h"
#include "events/song_event.h"
#include "gui/main_window.h"
#include "gui/shell.h"
#include "platform/timer.h"
#include "song/song_document.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace guitest {

inline constexpr const char* kLoopbackOut = "Loopback Out 0";

class ShellFixture {
public:
    ShellFixture() {
        dsync::EnableLoopbackDevices(true);
        dsync::Loopback().Output(0).Reserve(20000);
        dsync::Loopback().Output(0).Clear();
        QDir(dir_.path()).mkpath(QStringLiteral("run"));
        QDir(dir_.path()).mkpath(QStringLiteral("media"));
        app::CSettings s(SettingsPath());
        s.WriteProfileInt(app::kSectionDevices, "Wave", 0);
        s.WriteProfileString(app::kSectionDevices, "MIDI IN 1", "NONE");
        s.WriteProfileString(app::kSectionDevices, "MIDI OUT 1", kLoopbackOut);
        s.WriteProfileString(app::kSectionLocations, "Media", Path("media") + "/");
        s.Save();
    }
    ~ShellFixture() { shell_.reset(); }

    std::string Path(const std::string& name) const {
        return QDir(dir_.path()).filePath(QString::fromStdString(name)).toStdString();
    }
    std::string SettingsPath() const { return Path("settings.conf"); }
    std::string InstanceFolder() const { return Path("run"); }

    // Changes the settings the next start reads.
    void Setting(const char* section, const char* key, const std::string& value) {
        app::CSettings s(SettingsPath());
        s.Load();
        s.WriteProfileString(section, key, value);
        s.Save();
    }

    app::StartResult Start(const std::vector<std::string>& args, bool show = true,
                           bool messageBoxes = false) {
        gui::ShellOptions o;
        o.settingsPath = SettingsPath();
        o.instanceFolder = InstanceFolder();
        o.timer = &timer_;
        o.installMessageBoxes = messageBoxes;
        shell_ = std::make_unique<gui::Shell>(o);
        return shell_->Start(args, show);
    }
    gui::Shell& Shell() { return *shell_; }
    gui::MainWindow& Window() { return *shell_->Window(); }
    platform::ManualTimer& Timer() { return timer_; }

    QAction* Action(const char* name) { return Window().Action(QString::fromUtf8(name)); }
    int WindowCount() { return int(Window().DocumentArea()->subWindowList().size()); }

    // A song of one contained event list of notes in its first beats, saved as name.
    std::string MakeSong(const std::string& name, int notes = 4) const {
        auto list = std::make_shared<CSELDoc>();
        list->OnNewDocument();
        list->SetTitle("notes");
        for (int i = 0; i < notes; ++i)
            list->GetEvents().Add(
                new EventMidi(uint32_t(i * 250), 0x90, uint8_t(60 + i), 100, 200));
        CSongDoc song;
        song.OnNewDocument();
        song.IncludeDocument(list);
        song.Contain(0);
        const std::string path = Path(name);
        song.OnSaveDocument(path);
        return path;
    }
    // A new tree saved as name.
    std::string MakeTree(const std::string& name) const {
        CDendraDoc tree;
        tree.OnNewDocument();
        const std::string path = Path(name);
        tree.OnSaveDocument(path);
        return path;
    }

private:
    QTemporaryDir dir_;
    platform::ManualTimer timer_;
    std::unique_ptr<gui::Shell> shell_;
};

// Answers the next modal box or dialog that opens: calls `answer` with it once.
inline void AnswerNextModal(std::function<void(QWidget*)> answer, int timeoutMs = 5000) {
    auto* timer = new QTimer;
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(timer, &QTimer::timeout, [timer, answer, started, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && started->elapsed() < timeoutMs) return;
        timer->stop();
        timer->deleteLater();
        if (modal) answer(modal);
    });
    timer->start(10);
}

// Closes every modal box that opens while it lives, keeping its text and thread.
class ModalWatcher {
public:
    ModalWatcher() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) return;
            auto* box = qobject_cast<QMessageBox*>(modal);
            texts.push_back(box ? box->text() : modal->windowTitle());
            threads.push_back(modal->thread());
            modal->close();
        });
        timer_.start(10);
    }
    std::vector<QString> texts;
    std::vector<QThread*> threads;

private:
    QTimer timer_;
};

} // namespace guitest
