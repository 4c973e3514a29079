// The program's own command line, run headless: dendra-cli [/play] [/quit] [/save] [FILE].
//
// This is the interactive program's start-up without windows: the settings, one running
// instance (a second start hands its command line to the first and ends), the temporary files,
// the document opened by its extension, the devices the settings name, and then the options.
// Playing goes through the play engine on the configured devices; the message loop runs until
// playing ends with "quit", or until SIGINT or SIGTERM, which stop cleanly (no note is left
// sounding, the device slots are written back and the temporary files deleted).
#include "app/application.h"
#include "app/doc_templates.h"
#include "app/settings.h"
#include "cli/commands.h"
#include "documents/channel_document.h"
#include "documents/document.h"
#include "platform/message_queue.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "song/song_document.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

namespace cli {

namespace {

const char* const kStartupUsage = "[/play] [/quit] [/save] [FILE]";
const char* const kStartupHelp =
    "Starts the program on FILE as the desktop does, without windows: the settings, one running\n"
    "instance when Behavior/RunOnce is set (a second start hands its command line to the first\n"
    "and ends with 0), and the devices the settings name (the built-in synthesizer unless told).\n"
    "Without FILE a new song titled \"temp\" is made when Behavior/NewDocument is set. The\n"
    "program then keeps running until Ctrl-C (SIGINT or SIGTERM), which stops cleanly.\n"
    "Options begin with \"/\" or \"-\" and are case-sensitive:\n\n"
    "  play   play the document (a song, or any document a song can include)\n"
    "  quit   end when playing ends\n"
    "  save   save the document again to its path, then play 4 beats and end\n\n"
    "The printing options p and pt need the desktop program. Exit status: 0 success (also for a\n"
    "start that handed over), 1 usage error, 2 a file that cannot be opened or saved, a running\n"
    "instance that does not answer, or nothing that could play with quit.\n";

volatile std::sig_atomic_t gStopSignal = 0;
void OnStopSignal(int) {
    gStopSignal = 1;
}

// Catches SIGINT and SIGTERM for its lifetime.
class StopSignals {
public:
    StopSignals() {
        gStopSignal = 0;
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &previousInt_);
        ::sigaction(SIGTERM, &sa, &previousTerm_);
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

int StartupUsageError(const std::string& text) {
    std::fprintf(stderr, "dendra-cli: %s\nusage: dendra-cli %s\n", text.c_str(), kStartupUsage);
    return kExitUsage;
}

// The headless program: the application, its devices and the play engine on one loop.
class HeadlessProgram {
public:
    HeadlessProgram() : devices_(app_.Devices()) {
        app_.SetPlayHandler([this](CAmpDoc* doc, uint32_t end) { OnPlay(doc, end); });
    }
    ~HeadlessProgram() { Shutdown(); }
    HeadlessProgram(const HeadlessProgram&) = delete;
    HeadlessProgram& operator=(const HeadlessProgram&) = delete;

    // Runs the start-up command line args; with play, plays its song until the end instead.
    int Run(const std::vector<std::string>& args, const HeadlessPlay* play = nullptr) {
        StopSignals signals;
        app::StartupOptions startup;
        startup.interactive = true;
        startup.openDevices = true;
        startup.devices.window = engine_.Window();
        startup.devices.timerPeriod = 1;
        if (play) {
            if (!play->midiOut.empty())
                startup.deviceNames.emplace_back("MIDI OUT 1", play->midiOut);
            if (!play->audioOut.empty())
                startup.deviceNames.emplace_back("WAVE OUT 1", play->audioOut);
            startup.handOver = {"/play", "/quit", play->file};
        }
        engine_.SetDevices(&devices_);
        switch (app_.Startup(args, startup)) {
        case app::StartResult::kStarted:
            break;
        case app::StartResult::kHandedOver:
            return kExitOk;
        case app::StartResult::kRefused: // the message is shown
        case app::StartResult::kFailed:
            return kExitInput;
        }
        if (app_.Devices().NoSoundOutput())
            std::fprintf(stderr, "%s\n", app::kNoSoundOutputMessage);
        if (play) {
            app_.SetQuitAfterPlay(true);
            PlaySong(play->song);
        }
        while (!gStopSignal && !failedToPlay_) {
            platform::Queue().Wait(20);
            platform::Queue().Drain();
            app_.PumpHandOvers();
            if (!playing_) continue;
            if (engine_.IsPlaying()) {
                ShowPosition();
                continue;
            }
            playing_ = false;
            std::fprintf(stderr, "\nended\n");
            if (app_.QuitAfterPlay()) break;
        }
        const bool interrupted = gStopSignal != 0;
        Shutdown();
        if (interrupted) std::fprintf(stderr, playing_ ? "\nstopped\n" : "stopped\n");
        return failedToPlay_ ? kExitInput : kExitOk;
    }

private:
    // The Play command for the document the command line opened (or made).
    void OnPlay(CAmpDoc* doc, uint32_t endBeats) {
        CSongDoc* song = SongFor(doc);
        // Stops what plays and lets go of an earlier stand-in song.
        engine_.SetSong(song);
        if (wrapper_.get() != song) wrapper_.reset();
        playing_ = false;
        if (!song) {
            NotPlayed("nothing to play");
            return;
        }
        if (endBeats > 0) {
            // The panel's End; the song's natural length must not win it back.
            if (!song->IsPrepared()) song->Prepare();
            engine_.SetLoopEnd(endBeats);
        }
        StartPlaying();
    }

    // The song that `play` opened itself (not one of the application's documents).
    void PlaySong(CSongDoc* song) {
        engine_.SetSong(song);
        playing_ = false;
        StartPlaying();
    }

    void StartPlaying() {
        if (!engine_.Play()) {
            NotPlayed("the clock could not be started");
            return;
        }
        playing_ = true;
        shownBeat_ = 0xFFFFFFFFu;
        ShowPosition();
    }

    // A song plays as it is; any other document as the one entry of a song made for it.
    CSongDoc* SongFor(CAmpDoc* doc) {
        if (!doc) return nullptr;
        const uint32_t kind = app_.DocumentKind(doc);
        if (kind == kDocKindSong) return static_cast<CSongDoc*>(doc);
        if (kind == 0 || kind == kDocKindCollection) return nullptr;
        auto song = std::make_unique<CSongDoc>();
        if (!song->OnNewDocument()) return nullptr;
        // The application owns the document and outlives the stand-in song.
        std::shared_ptr<CChanDoc> shared(static_cast<CChanDoc*>(doc), [](CChanDoc*) {});
        if (song->IncludeDocument(shared) <= 0) return nullptr;
        wrapper_ = std::move(song);
        return wrapper_.get();
    }

    void NotPlayed(const char* why) {
        std::fprintf(stderr, "dendra-cli: %s\n", why);
        if (app_.QuitAfterPlay()) failedToPlay_ = true;
    }

    void ShowPosition() {
        if (engine_.CurrentBeat() == shownBeat_) return;
        shownBeat_ = engine_.CurrentBeat();
        std::fprintf(stderr, "\rbeat %u of %u", shownBeat_, engine_.LoopEnd());
        std::fflush(stderr);
    }

    void Shutdown() {
        if (shutDown_) return;
        shutDown_ = true;
        // Stop ends every sounding note before the devices close.
        engine_.SetSong(nullptr);
        engine_.SetDevices(nullptr);
        wrapper_.reset();
        app_.Exit();
    }

    CPlayEngine engine_;
    app::CDendraApp app_;
    ConfiguredPlayDevices devices_;
    std::unique_ptr<CSongDoc> wrapper_;
    bool playing_ = false;
    bool failedToPlay_ = false;
    bool shutDown_ = false;
    uint32_t shownBeat_ = 0xFFFFFFFFu;
};

bool IsExistingFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

} // namespace

bool IsStartupCommandLine(const std::vector<std::string>& args) {
    if (args.empty()) return false;
    return app::IsCommandLineOption(args[0]) || IsExistingFile(args[0]);
}

void PrintStartupUsage(std::FILE* to) {
    std::fprintf(to, "       dendra-cli %s\n", kStartupUsage);
}

int RunStartup(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf("usage: dendra-cli %s\n\n%s", kStartupUsage, kStartupHelp);
        return kExitOk;
    }
    const app::CommandLineInfo info = app::ParseCommandLine(args);
    const std::vector<std::string> unknown = app::UnknownOptions(info);
    if (!unknown.empty())
        return StartupUsageError("unknown option " + unknown[0] + " (options are case-sensitive)");
    if (info.print || info.printTo)
        return StartupUsageError("printing (/p, /pt) needs the desktop program");
    if (!info.ignored.empty())
        return StartupUsageError("expects one FILE, also given " + info.ignored[0]);
    if (!info.file.empty() && !CheckReadable(info.file)) return kExitInput;
    HeadlessProgram program;
    return program.Run(args);
}

int RunHeadlessPlay(const HeadlessPlay& play) {
    HeadlessProgram program;
    return program.Run({}, &play);
}

} // namespace cli
