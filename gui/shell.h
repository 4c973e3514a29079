// The desktop program's start-up and main loop around the application model.
//
// Start-up is the application's own (app/application.h), the one dendra-cli runs headless: the
// settings, one running instance (a second start of `dendra` or `dendra-cli` hands its command
// line over and ends), the temporary files, the devices the settings name and the command line
// ("/play", "/quit", "/save", a document path). The main window is made before the command line
// is processed and shown after it, with a window for every document the command line opened.
//
// The main loop is Qt's event loop. Three things are hooked into it:
//   - the posted-message queue (platform/message_queue.h): a socket notifier on its wake-up
//     descriptor drains it whenever something was posted (the clock's beats, the outputs' refill
//     requests, MIDI input), so the play engine runs on this thread as the devices ask;
//   - hand-overs from a second start: a socket notifier on the instance's listening socket
//     processes each handed-over command line and shows the documents it opened;
//   - background solving: a zero-interval timer gives each tree that is solving one idle call
//     (2000 units of musical time) per turn of the event loop, one tree per turn, so input and
//     painting are served between chunks. The timer stops when no tree solves; a slower check
//     (and every document change the windows see) starts it again.
//
// The play commands (Play, Stop, Record, End record) run the play engine on the configured
// devices. A song plays as it is; any other document plays as the one entry of a song made for
// it (as dendra-cli does).
//
// Choices made here:
//   - A command line handed over by a second start never ends the running program: its "/quit"
//     is dropped, so a desktop "play" action on a file plays it in the open program and leaves the
//     user's work open. ("/quit" still ends a program that was started with it.)
//   - When a sound output was wanted and none could be opened, the main window's status bar says
//     so once (NoSoundNotice); playing still runs the clock.
//
// Used on the user-interface thread only.
#pragma once

#include "app/application.h"
#include "editing/frame_settings.h"
#include "editing/play_panel.h"
#include "editing/virtual_keyboard.h"
#include "song/play_engine.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CAmpDoc;
class CDendraDoc;
class CSongDoc;
class QSocketNotifier;
class QTimer;

namespace platform {
class PeriodicTimer;
class UserMessages;
} // namespace platform

namespace gui {

class MainWindow;

struct ShellOptions {
    std::string settingsPath;   // the settings file; "" for the default
    std::string instanceFolder; // where the instance lock lives; "" for the default
    bool openDevices = true;    // open the clock and the devices the settings name
    // A manual timer for the clock (tests); null for the real periodic timer.
    platform::PeriodicTimer* timer = nullptr;
    // Install the message boxes as the process's user-messages sink (tests may keep their own).
    bool installMessageBoxes = true;
};

class Shell : public QObject {
    Q_OBJECT

public:
    explicit Shell(ShellOptions options = {}, QObject* parent = nullptr);
    ~Shell() override;
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // Runs start-up with the program's arguments (without the program's name). On kStarted the
    // main window exists with a window for each document, and is shown when show is true.
    app::StartResult Start(const std::vector<std::string>& args, bool show = true);
    // Stops playing, closes the documents' windows, the devices and the application (the
    // settings are written back). Called by the destructor too.
    void Shutdown();

    app::CDendraApp& App() { return app_; }
    CPlayEngine& Engine() { return engine_; }
    MainWindow* Window() const { return window_.get(); }

    // ---- Play commands ----
    // Whether the document can be played (a song, or a document a song can include) on an open
    // clock.
    bool CanPlay(CAmpDoc* doc);
    // Plays the document; endBeats > 0 sets where playing ends (4 beats with "/save"). A Play
    // while playing stops. False when nothing could play.
    bool Play(CAmpDoc* doc, uint32_t endBeats = 0);
    void Stop();
    // Records from the current beat while playing the document; while recording, ends it.
    bool Record(CAmpDoc* doc);
    void EndRecord();
    bool IsPlaying() const { return engine_.IsPlaying(); }
    bool IsRecording() const { return engine_.IsRecording(); }
    uint32_t CurrentBeat() const { return engine_.CurrentBeat(); }
    // The document that plays (or played last), null when none.
    CAmpDoc* PlayingDocument() const { return playingDoc_; }
    // Lets go of a document about to close: a play of it stops.
    void ReleaseDocument(CAmpDoc* doc);

    // ---- Devices ----
    // The status bar's text when a sound output was wanted and none is open; "" otherwise.
    QString NoSoundNotice();
    // Opens or closes a device of the device list by name (opened when closed, and the reverse).
    void ToggleDevice(const std::string& name);

    // ---- The play panel and the frame's switches ----
    // The model of the play panel (Start, Now, End, tempo, goto, loop and the frame's commands).
    editing::PlayPanel& Panel() { return *panel_; }
    // The switches that live while the program runs (time style, delete mode, file tempo).
    editing::FrameSettings& Frame() { return frame_; }
    // The virtual keyboard and pitch wheel: they play through the engine (live input while a
    // song plays, the default MIDI output when sending).
    editing::VirtualKeyboard& Keyboard() { return keyboard_; }
    // Makes the document's song the engine's without playing it (Initialize reads its length).
    // False when the document cannot play.
    bool Prepare(CAmpDoc* doc);

    // ---- Settings ----
    // The two switches of the settings dialog that live while the program runs.
    bool FloatingPointTimes() const { return frame_.FloatingPointTimes(); }
    void SetFloatingPointTimes(bool on) { frame_.SetFloatingPointTimes(on); }
    bool SendFileTempoChanges() const { return frame_.SendFileTempoChanges(); }
    void SetSendFileTempoChanges(bool on) { frame_.SetSendFileTempoChanges(on); }
    // The settings dialog confirmed.
    bool ApplySettings(const app::AppSettings& settings, std::string* error);

    // ---- Idle work ----
    // Trees whose background solve is under way: the application's and those its songs include.
    std::vector<CDendraDoc*> SolvingTrees() const;
    // Starts the idle timer when a tree solves.
    void KickIdle();
    bool IdleRunning() const;

Q_SIGNALS:
    // Start-up or a hand-over opened or made documents (the window makes theirs).
    void documentsChanged();
    // A device opened or closed.
    void devicesChanged();
    // Playing or recording began or ended, or the current beat moved.
    void playStateChanged();
    // A play that was to end the program ended (the window closes itself).
    void quitRequested();

private Q_SLOTS:
    void DrainMessages();
    void PumpHandOvers();
    void IdleTurn();

private:
    void OnPlayRequest(CAmpDoc* doc, uint32_t endBeats);
    // The song that plays a document: itself, or the one entry of a stand-in song.
    CSongDoc* SongFor(CAmpDoc* doc);
    bool StandInPlays(const CAmpDoc* doc) const;
    // Makes the document's song the engine's (stopping what plays when it changes).
    bool Target(CAmpDoc* doc);
    void AfterMessages();

    ShellOptions options_;
    // The engine outlives the application's devices, which report to its window.
    CPlayEngine engine_;
    editing::FrameSettings frame_;
    std::unique_ptr<editing::PlayPanel> panel_;
    editing::VirtualKeyboard keyboard_{&engine_};
    app::CDendraApp app_;
    ConfiguredPlayDevices devices_;
    std::unique_ptr<platform::UserMessages> messages_;
    platform::UserMessages* previousMessages_ = nullptr;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<CSongDoc> standIn_;
    CSongDoc* engineSong_ = nullptr;
    CAmpDoc* playingDoc_ = nullptr;
    QSocketNotifier* queueNotifier_ = nullptr;
    QSocketNotifier* handOverNotifier_ = nullptr;
    QTimer* idleTimer_ = nullptr;
    QTimer* idleCheck_ = nullptr;
    size_t idleNext_ = 0;
    bool wasPlaying_ = false;
    bool wasRecording_ = false;
    uint32_t shownBeat_ = 0;
    bool handingOver_ = false; // a handed-over command line is being processed
    bool started_ = false;
    bool shutDown_ = false;
};

} // namespace gui
