// The play panel and the main frame's play commands, on the play engine.
//
// The panel shows the region to play: Start and End (the engine's loop points, in whole beats)
// and Now (the engine's current beat), a scroll bar from Start to End whose position is Now, the
// tempo, a goto point and the loop check box. The frame's commands (Play, Stop, Record, End
// record, Goto start, Initialize, Goto, Send selected, the synchronizer dialog and the
// delete-mode toggle) are here too, each with its prompt, so that the desktop program only calls
// them. The engine holds the state; the panel reads it back, so that what the engine does by
// itself (a loop pass, the end of the song, a tempo event) shows at once: the panel listens to
// the engine and tells its own listener.
//
// Rules:
//   - Start, Now and End take whole numbers 0 to 4000; a typed Now is ignored while playing.
//     A new End that grows while playing is handed to the engine at once (it fills).
//   - The scroll bar: line steps move Now by 1 (never below 0), page steps by 8 (a page back
//     from below 8 goes to 0), the thumb sets it; the result is held to Start..End. Moving it
//     while playing stops, moves Now and plays again from there.
//   - Goto: "Start", "1/4", "1/2", "3/4", "End", or a typed number of beats (its leading integer),
//     used only when it lies strictly between Start and End. A play in progress stops, and plays
//     (or records, when it was recording) again from the new Now.
//   - Goto start: Now := 0, playing again when it was playing. Initialize: Start := 0 and End :=
//     the playing song's length.
//   - The tempo takes 30 to 960 beats per minute; anything else is refused with a message and the
//     clock keeps its tempo.
//   - "Send File Tempo Changes" and the delete mode live in the frame's settings (FrameSettings);
//     the engine follows the first.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/frame_settings.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class CPlayEngine;

namespace editing {

enum class ScrollAction { kLineBack, kLineForward, kPageBack, kPageForward, kThumb };

// The synchronizer dialog ("Syncronization"): the source is chosen; the buffer size, the timer
// period and the clock's resolution are shown.
struct SyncDialogModel {
    static constexpr const char* kTitle = "Syncronization";
    static const std::vector<std::string>& SourceChoices(); // "Internal Sync", "Midi Clock"
    int source = 0;           // index in SourceChoices: the clock's synchronization mode
    uint32_t bufferSize = 0;  // messages the default MIDI output holds ahead of the clock
    uint32_t timerPeriod = 0; // milliseconds
    uint32_t resolution = 0;  // ticks per beat
};

class PlayPanel {
public:
    static constexpr int kMaxBeat = 4000; // Start, Now and End
    static constexpr double kMaxTempoField = 960.0;
    static constexpr size_t kMaxGotoText = 16;
    static constexpr int kInitialEnd = 200;
    static constexpr uint32_t kDefaultTimerPeriod = 10; // milliseconds

    // Command ids of the frame.
    static constexpr int kIdPlay = 32780;
    static constexpr int kIdStop = 32781;
    static constexpr int kIdRecord = 32771;
    static constexpr int kIdEndRecord = 32772;
    static constexpr int kIdGotoStart = 32875;
    static constexpr int kIdInitialize = 463;
    static constexpr int kIdGoto = 1007;
    static constexpr int kIdTempo = 1008;
    static constexpr int kIdSendSelected = 1027;
    static constexpr int kIdSynchronizer = 32872;
    static constexpr int kIdDeleteMode = FrameSettings::kIdDeleteMode;
    // What Send selected asks of the attached editor.
    static constexpr int kIdSendMarkers = 32805;

    // Messages of refused input.
    static constexpr const char* kBeatRangeMessage = "Please enter an integer between 0 and 4000.";
    static constexpr const char* kTempoRangeMessage = "Please enter a number between 30 and 960.";
    static constexpr const char* kNotANumberMessage = "Please enter a number.";

    // The prompt of a command id ("" for others).
    static const char* CommandPrompt(int id);
    static const std::vector<std::string>& GotoChoices();

    // The engine and the settings must outlive the panel.
    PlayPanel(CPlayEngine& engine, FrameSettings& settings);
    ~PlayPanel();
    PlayPanel(const PlayPanel&) = delete;
    PlayPanel& operator=(const PlayPanel&) = delete;

    // ---- State ----
    bool IsPlaying() const;
    bool IsRecording() const;
    int Start() const;
    int Now() const;
    int End() const;
    // The playing song's length as Initialize found it.
    int NaturalLength() const { return naturalLength_; }
    bool Loop() const;
    // The current position: while playing, where the clock stands in the song; otherwise Now;
    // written in the frame's time style.
    std::string PositionText() const;

    // ---- The fields (typed text, or numbers) ----
    bool SetStartText(const std::string& text);
    bool SetNowText(const std::string& text);
    bool SetEndText(const std::string& text);
    bool SetStart(int beat);
    bool SetNow(int beat);
    bool SetEnd(int beat);

    std::string TempoText() const;
    // The tempo field confirmed.
    bool SetTempoText(const std::string& text);
    bool SetTempo(double bpm);

    const std::string& GotoText() const { return gotoText_; }
    // Held to 16 characters.
    void SetGotoText(const std::string& text);
    // Moves Now to the goto point.
    bool Goto();

    int ScrollMin() const;
    int ScrollMax() const;
    int ScrollPos() const { return Now(); }
    void Scroll(ScrollAction action, int thumb = 0);

    void SetLoop(bool on);

    // ---- Commands ----
    // A Play while playing stops. False when nothing can play.
    bool Play();
    void Stop();
    // While recording ends it; otherwise records from Now. False when nothing can play.
    bool Record();
    void EndRecord();
    void GotoStart();
    // False without a song to play.
    bool Initialize();
    // Asks the attached editor for its Start and End markers (in beats) and takes them as Start
    // and End. False when no editor is attached or it has none.
    using MarkerSource = std::function<std::optional<std::pair<int, int>>()>;
    void SetMarkerSource(MarkerSource source) { markers_ = std::move(source); }
    bool SendSelected();
    void ToggleDeleteMode() { settings_.ToggleDeleteMode(); }
    bool DeleteMakesSilent() const { return settings_.DeleteMakesSilent(); }
    void SetSendFileTempoChanges(bool on) { settings_.SetSendFileTempoChanges(on); }
    bool SendFileTempoChanges() const { return settings_.SendFileTempoChanges(); }
    // Runs a frame command by id (the ids above; the tempo and the synchronizer dialog need
    // their own calls). False for another id or when the command did nothing.
    bool RunCommand(int id);

    // ---- The synchronizer ----
    SyncDialogModel OpenSyncDialog() const;
    // OK: only a changed source is applied (through the engine). False when it could not be.
    bool ApplySyncDialog(const SyncDialogModel& dialog);
    // What the frame gives the clock when it opens it.
    uint32_t SyncMode() const { return syncMode_; }
    uint32_t TimerPeriod() const { return timerPeriod_; }

    // Called after anything the panel shows changed.
    void SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

private:
    void Changed();
    bool TakeBeat(const std::string& text, int& beat) const;

    CPlayEngine& engine_;
    FrameSettings& settings_;
    int engineListener_ = 0;
    int settingsListener_ = 0;
    int naturalLength_ = kInitialEnd;
    std::string gotoText_ = "Start";
    uint32_t syncMode_ = 0;
    uint32_t timerPeriod_ = kDefaultTimerPeriod;
    MarkerSource markers_;
    std::function<void()> listener_;
};

} // namespace editing
