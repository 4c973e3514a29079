// The application object: start-up, settings, the command line, one running instance, the
// documents it opened, temporary files and exit.
//
// Start-up, in order: the instance lock when Behavior/RunOnce is set and the program is the
// interactive one (batch commands never take it, so they run beside a playing instance); the
// random generator seeded with the time; the settings and folders; the device configuration
// when asked; then the command line. A second interactive start hands its command line to the
// running instance, which opens and plays what it was given on its own loop (PumpHandOvers). The
// file of a handed-over command line is made absolute first: the running instance works in a
// folder of its own.
//
// Used on the user-interface thread only.
#pragma once

#include "app/device_config.h"
#include "app/settings.h"
#include "app/single_instance.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class CAmpDoc;

namespace app {

// The command line: a document path and options written with a leading "/" or "-"
// (case-sensitive). An argument that starts with "/" and is no known option is a path.
struct CommandLineInfo {
    bool play = false;       // "play": send the Play command after start-up
    bool quit = false;       // "quit": quit when playing ends
    bool save = false;       // "save": save the opened file again, then play 4 beats and quit
    bool print = false;      // "p": print the file and end
    bool printTo = false;    // "pt": print to the printer, driver and port given next, and end
    bool dde = false;        // "dde": started by the desktop shell; the main window stays hidden
    bool automation = false; // "Embedding" or "Automation": no splash screen
    std::string file;        // the first argument that is not an option
    int fileIndex = -1;      // where the file stood in the arguments (-1: none)
    std::vector<std::string> printTarget; // printer, driver, port (with "pt")
    std::vector<std::string> ignored;     // unknown options and arguments after the file
};

CommandLineInfo ParseCommandLine(const std::vector<std::string>& args);
// True when arg is one of the options above ("/play", "-quit", ...; case-sensitive).
bool IsCommandLineOption(const std::string& arg);
// The arguments of a parsed command line that look like options but are none: every "-x", and a
// "/word" that names no existing file and holds no further "/" or "." (an absolute path starts
// with "/" too, so "/home/u/song.sng" is a path even when it is missing).
std::vector<std::string> UnknownOptions(const CommandLineInfo& info);

// The check of a name accepted by the file dialog: it needs an extension of a kind of document
// the program opens. Shows "improper extension" and gives false otherwise.
bool CheckFileName(const std::string& name);
// The file dialog's filter list for the kind flags (0: every type).
std::string FileFilter(uint32_t kinds);

struct StartupOptions {
    // The interactive program (the only one Behavior/RunOnce governs).
    bool interactive = true;
    // Open the clock and devices (the main frame's devices) with these options; the flags
    // waveEnabled and directSound are taken from the settings.
    bool openDevices = false;
    DeviceOptions devices;
    // Where the instance lock lives; empty for the default.
    std::string instanceFolder;
    // The command line handed to a running instance; empty to hand over the one processed.
    std::vector<std::string> handOver;
    // Device slots ("MIDI OUT 1", ...) to open with these names for this run only: the settings
    // keep their own names.
    std::vector<std::pair<std::string, std::string>> deviceNames;
};

enum class StartResult {
    kStarted,    // running; the command line was processed
    kHandedOver, // another instance runs and took the command line: end quietly
    kRefused,    // another instance runs and could not be reached: "Cannot run it twice. Sorry"
    kFailed,     // the command line could not be processed (or it printed): end
};

class CDendraApp {
public:
    // settingsPath: the settings file; empty for the default (DENDRA_SETTINGS_FILE or the
    // per-user file).
    explicit CDendraApp(std::string settingsPath = "");
    ~CDendraApp();
    CDendraApp(const CDendraApp&) = delete;
    CDendraApp& operator=(const CDendraApp&) = delete;

    StartResult Startup(const std::vector<std::string>& args,
                        const StartupOptions& options = StartupOptions());
    // Closes the devices (the slots are written back), stores the recent files, deletes the
    // temporary files and lets go of the instance lock. Called by the destructor too.
    void Exit();

    CSettings& Settings() { return settings_; }
    const AppSettings& Config() const { return config_; }
    // The settings dialog confirmed: stores its settings (the Behavior switches, Devices/Wave,
    // Devices/DirectSound and the three folders, each folder ending in "/") and saves the store.
    // The switches and folders take effect at once (temporary files go to the new Media folder),
    // Devices/Wave and Devices/DirectSound at the next start. RunOnce, the device slots and the
    // recent files are left as they are. False with *error set when the store cannot be saved;
    // the settings then still hold for this run.
    bool ApplySettingsDialog(const AppSettings& dialog, std::string* error = nullptr);
    CDeviceConfig& Devices() { return devices_; }
    CSingleInstance* Instance() { return instance_.get(); }

    // Processes one command line (at start-up, or handed over by a second start). Fails when the
    // file cannot be opened, when "save" cannot write it back, and when asked to print.
    bool ProcessCommandLine(const CommandLineInfo& info);
    // Reads the command lines handed over by second starts and processes each; returns how many.
    int PumpHandOvers();

    // The Play command: what is called when the command line asks to play (with the End the
    // panel is to get, 4 beats with "save", else 0 to keep it). Without a handler the request
    // is only remembered (PlayRequested).
    void SetPlayHandler(std::function<void(CAmpDoc* doc, uint32_t endBeats)> handler) {
        playHandler_ = std::move(handler);
    }
    bool PlayRequested() const { return playRequested_; }
    uint32_t RequestedEnd() const { return requestedEnd_; }
    bool QuitAfterPlay() const { return quitAfterPlay_; }
    void SetQuitAfterPlay(bool on) { quitAfterPlay_ = on; }

    // Opening by extension (drag-and-drop, the collection window, song includes): a file name
    // beginning with "temp" (any case) opens nothing; a name that is only an extension (".mid")
    // makes a new document of that kind titled "temp" ("temp.wav" for sounds).
    CAmpDoc* OpenByExtension(const std::string& path);
    // The standard open: the template by extension; a path already open gives that document.
    // Null (with the message shown) when the file cannot be opened.
    CAmpDoc* OpenDocumentFile(const std::string& path);
    // A new document of a kind flag, titled title.
    CAmpDoc* NewDocument(uint32_t kind, const std::string& title);
    void CloseDocument(CAmpDoc* doc);
    const std::vector<std::unique_ptr<CAmpDoc>>& Documents() const { return documents_; }
    // The document opened or made last, or null.
    CAmpDoc* ActiveDocument() const { return active_; }
    // The kind flag of a document of this application (kDocKindSong, ...), 0 for any other.
    uint32_t DocumentKind(const CAmpDoc* doc) const;

    // Temporary names in the Media folder (the system's temporary folder when it is missing).
    std::string GetTempName(bool forTemporary);
    void DeleteTempFiles();

    void AddRecentFile(const std::string& path);

private:
    CSettings settings_;
    // Slots named for this run only, with the settings' own names to put back at exit.
    std::vector<std::pair<std::string, std::optional<std::string>>> savedDeviceNames_;
    AppSettings config_;
    CDeviceConfig devices_;
    std::unique_ptr<CSingleInstance> instance_;
    std::vector<std::unique_ptr<CAmpDoc>> documents_;
    std::vector<uint32_t> kinds_; // the kind flag of each document, in the same order
    CAmpDoc* active_ = nullptr;
    std::function<void(CAmpDoc*, uint32_t)> playHandler_;
    bool playRequested_ = false;
    uint32_t requestedEnd_ = 0;
    bool quitAfterPlay_ = false;
    bool mainWindowHidden_ = false;
    bool started_ = false;
    bool exited_ = false;
};

} // namespace app
