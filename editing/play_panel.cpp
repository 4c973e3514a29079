#include "editing/play_panel.h"

#include "editing/field_text.h"
#include "platform/thread_check.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "song/song_document.h"
#include "sync/midi_out.h"
#include "sync/sync.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace editing {

const std::vector<std::string>& SyncDialogModel::SourceChoices() {
    static const std::vector<std::string> choices{"Internal Sync", "Midi Clock"};
    return choices;
}

const char* PlayPanel::CommandPrompt(int id) {
    switch (id) {
    case kIdPlay:
        return "Begin play of the selected song.\nPlay";
    case kIdStop:
        return "Stop playing the song.\nStop";
    case kIdRecord:
        return "Begin capture of incoming MIDI data.\nRecord";
    case kIdEndRecord:
        return "End capture of incoming MIDI data";
    case kIdGotoStart:
        return "Go to the beginning of a song.\nGoto start";
    case kIdInitialize:
        return "This initializes the song's natural start and end positions.\nInitialize";
    case kIdGoto:
        return "Moves the playing position to the selected Goto point.\nGoto";
    case kIdSendSelected:
        return "Makes the Selected region the Playing region.\nSend selected";
    case kIdSendMarkers:
        return "Send the current Start and End Markers to the play panel.";
    case kIdSynchronizer:
        return "Change settings of the system-wide synchronizer.";
    case kIdDeleteMode:
        return FrameSettings::kDeleteModePrompt;
    default:
        return "";
    }
}

const std::vector<std::string>& PlayPanel::GotoChoices() {
    static const std::vector<std::string> choices{"Start", "1/4", "1/2", "3/4", "End"};
    return choices;
}

PlayPanel::PlayPanel(CPlayEngine& engine, FrameSettings& settings)
    : engine_(engine), settings_(settings) {
    DENDRA_UI_THREAD();
    // A frame with no song yet shows its initial region.
    if (!engine_.Song() && engine_.LoopEnd() == 0) engine_.SetLoopEnd(kInitialEnd);
    engine_.SetFollowTempo(settings_.SendFileTempoChanges());
    syncMode_ = engine_.SyncSource();
    engineListener_ = engine_.AddListener([this](CPlayEngine::Change) { Changed(); });
    settingsListener_ = settings_.AddListener([this] {
        engine_.SetFollowTempo(settings_.SendFileTempoChanges());
        Changed();
    });
}

PlayPanel::~PlayPanel() {
    engine_.RemoveListener(engineListener_);
    settings_.RemoveListener(settingsListener_);
}

void PlayPanel::Changed() {
    if (listener_) listener_();
}

// ---- State -------------------------------------------------------------------------------------

bool PlayPanel::IsPlaying() const {
    return engine_.IsPlaying();
}

bool PlayPanel::IsRecording() const {
    return engine_.IsRecording();
}

int PlayPanel::Start() const {
    return int(std::min<uint32_t>(engine_.LoopStart(), INT32_MAX));
}

int PlayPanel::Now() const {
    return int(std::min<uint32_t>(engine_.CurrentBeat(), INT32_MAX));
}

int PlayPanel::End() const {
    return int(std::min<uint32_t>(engine_.LoopEnd(), INT32_MAX));
}

bool PlayPanel::Loop() const {
    return engine_.Looping();
}

std::string PlayPanel::PositionText() const {
    uint64_t units = uint64_t(Now()) * kSongUnitsPerBeat;
    if (engine_.IsPlaying())
        if (PlayDevices* dev = engine_.Devices())
            if (CSync* clock = dev->Clock()) units = engine_.SongTimeOfTick(clock->now.load());
    return FormatTime(units, kSongUnitsPerBeat, settings_.Times());
}

// ---- Fields ------------------------------------------------------------------------------------

bool PlayPanel::TakeBeat(const std::string& text, int& beat) const {
    const std::optional<int64_t> n = ParseInteger(text);
    if (!n || *n < 0 || *n > kMaxBeat) {
        platform::MessageBox(kBeatRangeMessage);
        return false;
    }
    beat = int(*n);
    return true;
}

bool PlayPanel::SetStartText(const std::string& text) {
    int beat = 0;
    return TakeBeat(text, beat) && SetStart(beat);
}

bool PlayPanel::SetNowText(const std::string& text) {
    int beat = 0;
    return TakeBeat(text, beat) && SetNow(beat);
}

bool PlayPanel::SetEndText(const std::string& text) {
    int beat = 0;
    return TakeBeat(text, beat) && SetEnd(beat);
}

bool PlayPanel::SetStart(int beat) {
    DENDRA_UI_THREAD();
    if (beat < 0 || beat > kMaxBeat) return false;
    engine_.SetLoopStart(uint32_t(beat));
    Changed();
    return true;
}

bool PlayPanel::SetNow(int beat) {
    DENDRA_UI_THREAD();
    if (beat < 0 || beat > kMaxBeat || engine_.IsPlaying()) return false;
    engine_.SetCurrentBeat(uint32_t(beat));
    Changed();
    return true;
}

bool PlayPanel::SetEnd(int beat) {
    DENDRA_UI_THREAD();
    if (beat < 0 || beat > kMaxBeat) return false;
    // A grown End fills at once while playing; the song learns its new length.
    engine_.SetLoopEnd(uint32_t(beat));
    Changed();
    return true;
}

std::string PlayPanel::TempoText() const {
    return FormatNumber(engine_.TempoBpm());
}

bool PlayPanel::SetTempoText(const std::string& text) {
    const std::optional<double> bpm = ParseNumber(text);
    if (!bpm) {
        platform::MessageBox(kNotANumberMessage);
        return false;
    }
    return SetTempo(*bpm);
}

bool PlayPanel::SetTempo(double bpm) {
    DENDRA_UI_THREAD();
    // Without a clock there is nothing to set.
    if (!engine_.Devices() || !engine_.Devices()->Clock()) return false;
    if (!engine_.SetTempoBpm(bpm)) {
        platform::MessageBox(kTempoRangeMessage);
        Changed(); // the field shows the clock's tempo again
        return false;
    }
    Changed();
    return true;
}

void PlayPanel::SetGotoText(const std::string& text) {
    gotoText_ = text.substr(0, kMaxGotoText);
}

bool PlayPanel::Goto() {
    DENDRA_UI_THREAD();
    const bool wasPlaying = engine_.IsPlaying();
    const bool wasRecording = engine_.IsRecording();
    if (wasPlaying) engine_.Stop();
    // Signed, so that a Start beyond End gives a point before Start rather than a wrap.
    const int64_t start = Start(), end = End(), span = end - start;
    int64_t now = Now();
    if (gotoText_ == "Start")
        now = start;
    else if (gotoText_ == "1/4")
        now = start + (span >> 2);
    else if (gotoText_ == "1/2")
        now = start + (span >> 1);
    else if (gotoText_ == "3/4")
        now = start + ((3 * span) >> 2);
    else if (gotoText_ == "End")
        now = end;
    else {
        // The leading integer, as a standard decimal conversion reads it.
        errno = 0;
        const long long typed = std::strtoll(gotoText_.c_str(), nullptr, 10);
        if (errno == 0 && typed > start && typed < end) now = typed;
    }
    if (now >= 0) engine_.SetCurrentBeat(uint32_t(now));
    bool ok = true;
    if (wasPlaying) ok = wasRecording ? engine_.Record() : engine_.Play();
    Changed();
    return ok;
}

int PlayPanel::ScrollMin() const {
    return std::min(Start(), End());
}

int PlayPanel::ScrollMax() const {
    return std::max(Start(), End());
}

void PlayPanel::Scroll(ScrollAction action, int thumb) {
    DENDRA_UI_THREAD();
    const bool wasPlaying = engine_.IsPlaying();
    if (wasPlaying) engine_.Stop();
    int64_t now = Now();
    switch (action) {
    case ScrollAction::kLineBack:
        now = std::max<int64_t>(0, now - 1);
        break;
    case ScrollAction::kLineForward:
        now += 1;
        break;
    case ScrollAction::kPageBack:
        now = now < 8 ? 0 : now - 8;
        break;
    case ScrollAction::kPageForward:
        now += 8;
        break;
    case ScrollAction::kThumb:
        now = thumb;
        break;
    }
    now = std::clamp<int64_t>(now, ScrollMin(), ScrollMax());
    engine_.SetCurrentBeat(uint32_t(now));
    if (wasPlaying) engine_.Play();
    Changed();
}

void PlayPanel::SetLoop(bool on) {
    DENDRA_UI_THREAD();
    if (on == engine_.Looping()) return;
    engine_.SetLooping(on);
    Changed();
}

// ---- Commands ----------------------------------------------------------------------------------

bool PlayPanel::Play() {
    const bool ok = engine_.Play();
    Changed();
    return ok;
}

void PlayPanel::Stop() {
    engine_.Stop();
    Changed();
}

bool PlayPanel::Record() {
    const bool ok = engine_.Record();
    Changed();
    return ok;
}

void PlayPanel::EndRecord() {
    engine_.EndRecord();
    Changed();
}

void PlayPanel::GotoStart() {
    DENDRA_UI_THREAD();
    const bool wasPlaying = engine_.IsPlaying();
    if (wasPlaying) engine_.Stop();
    engine_.SetCurrentBeat(0);
    if (wasPlaying) engine_.Play();
    Changed();
}

bool PlayPanel::Initialize() {
    DENDRA_UI_THREAD();
    CSongDoc* song = engine_.Song();
    if (!song) return false;
    const uint32_t length = song->GetLength(1);
    naturalLength_ = int(std::min<uint32_t>(length, INT32_MAX));
    engine_.SetLoopStart(0);
    engine_.SetLoopEnd(length);
    Changed();
    return true;
}

bool PlayPanel::SendSelected() {
    if (!markers_) return false;
    const std::optional<std::pair<int, int>> m = markers_();
    if (!m) return false;
    return SetStart(m->first) && SetEnd(m->second);
}

bool PlayPanel::RunCommand(int id) {
    switch (id) {
    case kIdPlay:
        return Play();
    case kIdStop:
        Stop();
        return true;
    case kIdRecord:
        return Record();
    case kIdEndRecord:
        if (!IsRecording()) return false;
        EndRecord();
        return true;
    case kIdGotoStart:
        GotoStart();
        return true;
    case kIdInitialize:
        return Initialize();
    case kIdGoto:
        return Goto();
    case kIdSendSelected:
        return SendSelected();
    case kIdDeleteMode:
        ToggleDeleteMode();
        return true;
    default:
        return false;
    }
}

// ---- The synchronizer --------------------------------------------------------------------------

SyncDialogModel PlayPanel::OpenSyncDialog() const {
    SyncDialogModel d;
    d.source = engine_.SyncSource() == 1 ? 1 : 0;
    d.timerPeriod = timerPeriod_;
    if (PlayDevices* dev = engine_.Devices()) {
        if (CSync* clock = dev->Clock()) {
            d.timerPeriod = clock->period;
            d.resolution = clock->GetResolution();
        }
        if (CMidiOut* out = dev->DefaultMidiOut()) d.bufferSize = out->capacity;
    }
    return d;
}

bool PlayPanel::ApplySyncDialog(const SyncDialogModel& dialog) {
    DENDRA_UI_THREAD();
    if (dialog.source < 0 || size_t(dialog.source) >= SyncDialogModel::SourceChoices().size())
        return false;
    const uint32_t source = uint32_t(dialog.source);
    if (source == (engine_.SyncSource() == 1 ? 1u : 0u)) return true;
    if (!engine_.SetSyncSource(source)) return false;
    syncMode_ = source;
    Changed();
    return true;
}

} // namespace editing
