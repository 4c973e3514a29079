#include "song/play_engine.h"

#include "events/event_list.h"
#include "events/event_tree.h"
#include "events/song_event.h"
#include "platform/thread_check.h"
#include "platform/user_messages.h"
#include "song/entry_settings.h"
#include "song/song_chase.h"
#include "song/song_document.h"
#include "sync/messages.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync/wave_in.h"
#include "sync/wave_out.h"
#include "tree/solve.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// What an armed tree answers to live input goes out at once on the default MIDI output.
struct CPlayEngine::LiveSender : LiveOutput {
    explicit LiveSender(CPlayEngine& engine) : engine_(engine) {}
    void QuickOut(CNoteEventList& events) override { engine_.QuickPlay(events); }

private:
    CPlayEngine& engine_;
};

CPlayEngine::CPlayEngine()
    : window_(platform::Queue().Register(this)), recorded_(std::make_unique<CEventTree>()),
      live_(std::make_unique<LiveSender>(*this)),
      self_(std::shared_ptr<CPlayEngine>(this, [](CPlayEngine*) {})) {}

CPlayEngine::~CPlayEngine() {
    self_.reset();
    listeners_.clear();
    if (playing_ || recording_) Stop();
    platform::Queue().Unregister(window_);
}

int CPlayEngine::AddListener(Listener listener) {
    DENDRA_UI_THREAD();
    const int id = nextListener_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void CPlayEngine::RemoveListener(int id) {
    DENDRA_UI_THREAD();
    std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void CPlayEngine::Notify(Change change) {
    // A listener may add or remove listeners.
    const auto listeners = listeners_;
    for (const auto& l : listeners)
        if (l.second) l.second(change);
}

void CPlayEngine::SetSong(CSongDoc* song) {
    DENDRA_UI_THREAD();
    if (playing_ || recording_) Stop();
    song_ = song;
    currentBeat_ = 0;
    loopStart_ = 0;
    loopEnd_ = song ? song->GetLength(0) : 0;
}

uint32_t CPlayEngine::Resolution() const {
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    return clock ? clock->GetResolution() : kSongPlayResolution;
}

bool CPlayEngine::PrepareToPlay() {
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    if (!clock || !song_) return false;
    if (!song_->IsPrepared()) {
        song_->Prepare();
        const uint32_t length = song_->GetLength(1);
        if (length > loopEnd_) loopEnd_ = length;
    }
    if (loopEnd_ == 0) loopEnd_ = song_->GetLength(1);
    if (currentBeat_ < loopStart_ || currentBeat_ >= loopEnd_) currentBeat_ = 0;
    return true;
}

bool CPlayEngine::Play() {
    DENDRA_UI_THREAD();
    if (playing_) {
        Stop();
        return true;
    }
    if (!PrepareToPlay()) return false;
    ranged_ = false;
    rangeEnd_ = kNoEnd;
    devices_->Clock()->SetResolution(kSongPlayResolution);
    Start(Resolution() * currentBeat_);
    return true;
}

bool CPlayEngine::PlayRange(uint32_t startTick, uint64_t endTick) {
    DENDRA_UI_THREAD();
    if (playing_ || recording_) Stop();
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    if (!clock || !song_) return false;
    if (!song_->IsPrepared()) song_->Prepare();
    ranged_ = true;
    rangeEnd_ = endTick;
    clock->SetResolution(kSongPlayResolution);
    currentBeat_ = startTick / Resolution();
    Start(startTick);
    return true;
}

void CPlayEngine::Start(uint32_t startTick) {
    CSync* clock = devices_->Clock();
    playing_ = true;
    handedOut_ = false;
    timeOffset_ = 0;
    std::memset(held_, 0, sizeof held_);
    deferred_.clear();
    song_->SetTicksPerBeat(0, kSongPlayResolution);
    // What goes out at once is stamped with the start tick.
    clock->Locate(startTick);
    setupSent_ = uint64_t(SendEntrySettings());
    Chase(startTick);
    song_->Seek(double(startTick) / Resolution(), recording_);
    Fill();
    if (CWaveOut* wave = devices_->DefaultWaveOut()) wave->LoadFirst();
    clock->StartSync(startTick);
    // The MIDI input is started once the clock stands at the start, so that every message is
    // stamped in this pass; armed trees need it too.
    if (recording_ || HasArmedTree())
        if (CMidiIn* in = devices_->DefaultMidiIn()) in->Start();
    if (recording_) {
        CWaveIn* waveIn = devices_->DefaultWaveIn();
        if (recordWave_ && waveIn && waveIn->AddEvent(recordWave_) && waveIn->Start() == 0) {
            recordingAudio_ = true;
        } else if (recordWave_) {
            song_->EndAudioRecord();
            recordWave_ = nullptr;
        }
    }
}

void CPlayEngine::Chase(uint32_t startTick) {
    chased_ = 0;
    chasedWaves_.clear();
    chasedNext_ = 0;
    if (startTick == 0) return;
    CSync* clock = devices_->Clock();
    const std::vector<CMidiOut*> outs = devices_->OpenMidiOuts();
    ChaseRequest request;
    request.startTick = startTick;
    request.tempo = clock->GetTempo();
    request.recording = recording_;
    request.followTempo = followTempo_;
    request.ports = int(outs.size());
    request.route = [&](int device, std::vector<int>& ports) {
        if (device == kDeviceNone) return;
        for (size_t i = 0; i < outs.size(); ++i)
            if (device == kDeviceAllMidi || outs[i] == OutputFor(device)) ports.push_back(int(i));
    };
    // The song is seeked again before the fill.
    SongChase chase = ChaseSong(*song_, request);
    if (chase.tempo) clock->SetTempo(chase.tempo);
    for (size_t i = 0; i < outs.size(); ++i)
        for (uint32_t m : chase.messages[i]) {
            EventMidi e(kSendNow, uint8_t(m), uint8_t(m >> 8), uint8_t(m >> 16));
            outs[i]->MidiOut(&e);
            ++setupSent_;
        }
    if (devices_->DefaultWaveOut())
        for (ChasedWave& c : chase.waves) chasedWaves_.push_back(std::move(c.wave));
}

void CPlayEngine::StopDevices() {
    if (!devices_) return;
    for (CMidiOut* out : devices_->OpenMidiOuts()) {
        out->Stop();
        // The ring, the pending note-offs and every sounding note.
        out->ResetMidiOut();
    }
    if (CWaveOut* wave = devices_->DefaultWaveOut()) wave->Stop();
    chasedWaves_.clear();
    chasedNext_ = 0;
    if (CWaveIn* in = devices_->DefaultWaveIn()) in->Stop();
    if (CMidiIn* in = devices_->DefaultMidiIn()) in->Stop();
}

void CPlayEngine::Stop() {
    DENDRA_UI_THREAD();
    if (recording_) {
        EndRecord();
        return;
    }
    playing_ = false;
    if (CSync* clock = devices_ ? devices_->Clock() : nullptr) clock->StopSync();
    StopDevices();
    Notify(Change::kStopped);
}

CMidiOut* CPlayEngine::OutputFor(int device) {
    if (device == kDeviceNone) return nullptr;
    CMidiOut* out = device == kDeviceDefault ? nullptr : devices_->MidiOutAt(uint32_t(device));
    // The default output only for a device that is not open: a full port waits for its refill.
    return out ? out : devices_->DefaultMidiOut();
}

bool CPlayEngine::Deliver(int device, EventMidi& event) {
    if (device == kDeviceAllMidi) {
        std::vector<CMidiOut*> outs = devices_->OpenMidiOuts();
        // All or none, so that a retry does not send twice.
        for (CMidiOut* out : outs)
            if (out->Count() >= out->capacity) return false;
        for (CMidiOut* out : outs) out->MidiOut(&event);
        return true;
    }
    CMidiOut* out = OutputFor(device);
    if (!out) return true; // nowhere to play: dropped
    return out->MidiOut(&event) != dsync::kQueueFull;
}

void CPlayEngine::Fill() {
    DENDRA_UI_THREAD();
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    if (!playing_ || !song_ || !clock) return;
    ++fills_;
    CWaveOut* wave = devices_->DefaultWaveOut();
    // The waves resumed at the start go first; what does not fit waits for the next refill.
    for (; chasedNext_ < chasedWaves_.size(); ++chasedNext_) {
        if (!wave) break;
        if (wave->AddEvent(chasedWaves_[chasedNext_].get()) != 0)
            ++chased_;
        else if (wave->pendingCount >= CWaveOut::kMaxPending)
            return;
    }
    const uint64_t endTick = ranged_ ? rangeEnd_ : uint64_t(Resolution()) * loopEnd_ + timeOffset_;
    for (;;) {
        int device = 0;
        SongEvent* e = song_->GetNextEvent(device);
        if (CSongDoc::IsEndMarker(e)) {
            handedOut_ = true;
            break;
        }
        const uint64_t t = uint64_t(e->time) + timeOffset_;
        if (t >= endTick || t >= CWaveOut::kNoTime) {
            song_->StepBack();
            break;
        }
        if (device == kDeviceNone) continue;
        if (e->IsWave()) {
            if (!wave) continue;
            e->time = uint32_t(t);
            if (wave->AddEvent(static_cast<EventWave*>(e)) == 0) {
                if (wave->pendingCount < CWaveOut::kMaxPending) continue;
                song_->StepBack();
                break;
            }
            ++wavesSent_;
            continue;
        }
        auto& m = static_cast<EventMidi&>(*e);
        if (m.status == 0 && !followTempo_) continue; // a tempo event
        m.time = uint32_t(t);
        if (!Deliver(device, m)) {
            song_->StepBack();
            break;
        }
        ++sent_;
        if (m.time < clock->now.load()) ++late_;
    }
}

void CPlayEngine::OnBeat() {
    DENDRA_UI_THREAD();
    if (!playing_ || !song_) return;
    ++currentBeat_;
    // A range play has no loop and is ended by its owner.
    if (ranged_) {
        Notify(Change::kBeat);
        return;
    }
    if (looping_ && loopEnd_ > loopStart_ + 1 && currentBeat_ + 1 == loopEnd_) song_->PreparePass();
    if (currentBeat_ < loopEnd_) {
        Notify(Change::kBeat);
        return;
    }
    if (looping_ && loopEnd_ > loopStart_) {
        if (recording_) {
            // What came in this pass is merged before the time offset moves on; keys still
            // held end at the loop end and sound again from the loop start.
            ReadMidiInput();
            EndHeldKeys(uint32_t(uint64_t(loopEnd_) * kSongUnitsPerBeat));
            MergeRecording();
            for (int ch = 0; ch < 16; ++ch)
                for (int key = 0; key < 128; ++key)
                    if (held_[ch][key]) {
                        MidiEvent on{0, uint8_t(0x90 | ch), uint8_t(key), held_[ch][key], 0};
                        RecordInput(on, uint32_t(uint64_t(loopStart_) * kSongUnitsPerBeat));
                    }
        }
        currentBeat_ = loopStart_;
        timeOffset_ += uint64_t(Resolution()) * (loopEnd_ - loopStart_);
        if (recording_) RecordDeferred();
        song_->Seek(double(loopStart_), recording_);
        Fill();
        Notify(Change::kBeat);
        return;
    }
    Stop();
}

bool CPlayEngine::Record() {
    DENDRA_UI_THREAD();
    if (recording_) {
        EndRecord();
        return true;
    }
    if (playing_) Stop();
    if (!PrepareToPlay()) return false;
    toldNoTarget_ = false;
    audioBytes_ = 0;
    recordWave_ = song_->StartAudioRecord(uint32_t(uint64_t(currentBeat_) * kSongUnitsPerBeat));
    recording_ = true;
    if (!Play()) {
        recording_ = false;
        if (recordWave_) song_->EndAudioRecord();
        recordWave_ = nullptr;
        return false;
    }
    return true;
}

void CPlayEngine::EndRecord() {
    DENDRA_UI_THREAD();
    if (!recording_) return;
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    // No block arrives after this; what is waiting is read first.
    if (CWaveIn* in = devices_ ? devices_->DefaultWaveIn() : nullptr) in->Stop();
    ReadMidiInput();
    RecordDeferred();
    const uint32_t endTime = clock ? SongTimeOfTick(clock->now.load()) : 0;
    playing_ = false;
    recording_ = false;
    recordingAudio_ = false;
    recordWave_ = nullptr;
    if (song_) song_->EndAudioRecord();
    EndHeldKeys(endTime);
    MergeRecording();
    if (clock) clock->StopSync();
    StopDevices();
    Notify(Change::kStopped);
}

void CPlayEngine::EndHeldKeys(uint32_t songTime) {
    for (int ch = 0; ch < 16; ++ch)
        for (int key = 0; key < 128; ++key)
            if (held_[ch][key]) {
                MidiEvent off{0, uint8_t(0x80 | ch), uint8_t(key), 0, 0};
                recorded_->AppendMidiInput(off, songTime);
            }
}

bool CPlayEngine::HasArmedTree() const {
    for (int i = 0; i < song_->EntryCount(); ++i)
        if (song_->Entry(i).recordMode == kRecordTree) return true;
    return false;
}

bool CPlayEngine::HasMidiRecordTarget() const {
    for (int i = 0; i < song_->EntryCount(); ++i)
        if (song_->Entry(i).recordMode == kRecordMidi && song_->EntryEvents(i)) return true;
    return false;
}

void CPlayEngine::MergeRecording() {
    if (!song_ || recorded_->GetCount() == 0) return;
    if (!HasMidiRecordTarget()) {
        // Nothing is thrown away: the recording waits for an entry armed for MIDI.
        if (!toldNoTarget_) platform::MessageBox(kNoRecordTargetMessage);
        toldNoTarget_ = true;
        return;
    }
    recorded_->PairNoteOffs();
    song_->MergeRecorded(*recorded_);
    recorded_->Clear();
}

bool CPlayEngine::PastPassEnd(uint32_t tick) const {
    if (!looping_ || loopEnd_ <= loopStart_) return false;
    return int64_t(tick) - int64_t(timeOffset_) >= int64_t(Resolution()) * int64_t(loopEnd_);
}

void CPlayEngine::RecordDeferred() {
    for (const MidiEvent& m : deferred_) RecordInput(m, SongTimeOfTick(m.time));
    deferred_.clear();
}

uint32_t CPlayEngine::SongTimeOfTick(uint32_t tick) const {
    const int64_t res = Resolution();
    int64_t rel = int64_t(tick) - int64_t(timeOffset_);
    if (looping_ && loopEnd_ > loopStart_) {
        const int64_t loopTicks = res * (int64_t(loopEnd_) - int64_t(loopStart_));
        // Stamped after the pass ended but read before the beat handler began the next one.
        if (rel >= res * int64_t(loopEnd_)) rel -= loopTicks;
        // Stamped in the previous pass but read after the next one began.
        else if (timeOffset_ > 0 && rel < res * int64_t(loopStart_))
            rel += loopTicks;
    }
    if (rel < 0) rel = 0;
    const int64_t t = rel * int64_t(kSongUnitsPerBeat) / res;
    return uint32_t(std::min<int64_t>(t, int64_t(kNoTime) - 1));
}

void CPlayEngine::RecordInput(const MidiEvent& m, uint32_t songTime) {
    // Real-time messages belong to the moment, not to the song.
    if (m.status >= 0xF8) return;
    if (recorded_->GetCount() >= kMaxRecordedEvents) {
        ++recordDropped_;
        return;
    }
    recorded_->AppendMidiInput(m, songTime);
    const uint8_t kind = m.status & 0xF0, ch = m.status & 0x0F;
    if (kind == 0x90 && m.data2 > 0)
        held_[ch][m.data1 & 0x7F] = m.data2;
    else if (kind == 0x80 || kind == 0x90)
        held_[ch][m.data1 & 0x7F] = 0;
}

void CPlayEngine::ReadMidiInput() {
    DENDRA_UI_THREAD();
    CMidiIn* in = devices_ ? devices_->DefaultMidiIn() : nullptr;
    if (!in) return;
    while (MidiEvent* m = in->MidiIn()) {
        ++midiInputs_;
        TakeInput(*m);
    }
}

void CPlayEngine::LiveInput(const MidiEvent& message) {
    MidiEvent m = message;
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    m.time = clock ? clock->now.load() : 0;
    TakeInput(m);
}

void CPlayEngine::TakeInput(const MidiEvent& m) {
    EventMidi event;
    event.SetFromMidiEvent(m);
    // Not playing, a message has no place in the song.
    event.time = playing_ ? SongTimeOfTick(m.time) : 0;
    if (playing_ && recording_) {
        if (PastPassEnd(m.time) && deferred_.size() < kMaxDeferred)
            // Played after the loop end, read before the beat handler merged the pass:
            // recorded once the next pass has begun.
            deferred_.push_back(m);
        else
            RecordInput(m, event.time);
    }
    if (song_) song_->LiveMidiInput(event, *live_);
}

void CPlayEngine::OnCaptureBlock(dsync::WaveInBlock* block) {
    DENDRA_UI_THREAD();
    if (!block) return;
    if (recordingAudio_ && song_) {
        inputLevel_ = int(block->level);
        audioBytes_ +=
            song_->AppendRecordedAudio(block->data1, block->size1, block->data2, block->size2);
    }
    // The capture thread waits for this, recording or not.
    block->Complete();
}

void CPlayEngine::SendMidi(uint32_t device, EventMidi& event) {
    DENDRA_UI_THREAD();
    SendNow(device, event);
}

int CPlayEngine::SendEntryWaveInfo(int entry) {
    DENDRA_UI_THREAD();
    CWaveOut* wave = devices_ ? devices_->DefaultWaveOut() : nullptr;
    if (!wave || !song_ || entry < 0 || entry >= song_->EntryCount()) return 0;
    CEventTree* store = song_->EntryEvents(entry);
    if (!store) return 0;
    const EntrySettings& s = song_->Settings(entry);
    int passed = 0;
    // The output knows its waves by name; it takes the new levels from a reference copy, so that
    // the document's own wave keeps its values.
    EventWave copy;
    copy.flags = kWaveReference;
    for (SongEvent* e = store->First(); e; e = store->Next()) {
        if (!e->IsWave()) continue;
        copy.CopyFrom(*e);
        copy.info.volume = s.waveVolume;
        copy.info.balance = s.pan;
        copy.info.rateFactor = s.rate;
        wave->GetNewInfo(&copy);
        ++passed;
    }
    copy.sound = nullptr;
    return passed;
}

bool CPlayEngine::SetSyncSource(uint32_t source) {
    DENDRA_UI_THREAD();
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    if (!clock || source > 1) return false;
    if (clock->mode == source) return true;
    if (playing_ || recording_) Stop();
    {
        // The tick reads the mode; it changes between ticks.
        auto hold = clock->HoldTick();
        clock->mode = source;
    }
    Notify(Change::kSync);
    return true;
}

uint32_t CPlayEngine::SyncSource() const {
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    return clock ? clock->mode : 0;
}

int CPlayEngine::SendNow(uint32_t device, EventMidi& event) {
    if (!devices_ || device == uint32_t(kDeviceNone)) return 0;
    if (device == uint32_t(kDeviceAllMidi)) {
        int n = 0;
        for (CMidiOut* out : devices_->OpenMidiOuts()) {
            out->MidiOut(&event);
            ++n;
        }
        return n;
    }
    CMidiOut* out = OutputFor(int(device));
    if (!out) return 0;
    out->MidiOut(&event);
    return 1;
}

void CPlayEngine::SendEntryControllers() {
    DENDRA_UI_THREAD();
    SendEntrySettings();
}

int CPlayEngine::SendEntrySettings() {
    if (!devices_ || !song_) return 0;
    int sent = 0;
    // The MIDI channels, never more than sixteen.
    const int channels = std::min(song_->EntryCount(), 16);
    for (int ch = 0; ch < channels; ++ch) {
        EventMidi v(kSendNow, uint8_t(0xB0 | ch), 7, 127, 0);
        sent += SendNow(uint32_t(kDeviceAllMidi), v);
        EventMidi f(kSendNow, uint8_t(0xB0 | ch), 39, 127, 0);
        sent += SendNow(uint32_t(kDeviceAllMidi), f);
    }
    for (int i = 0; i < song_->EntryCount(); ++i) {
        const EntrySettings& s = song_->Settings(i);
        if (s.muted) continue;
        // To where the entry's events go: its device, or the default output when that is not
        // open.
        const uint32_t device = uint32_t(s.device);
        const uint8_t ch = uint8_t(std::clamp(int(s.channel), 0, 15));
        const uint8_t level = uint8_t(std::clamp(int(s.volume * 127.9f), 0, 127));
        const uint8_t pan = uint8_t(std::clamp(int(s.pan * 127.0f), 0, 127));
        const uint8_t program = uint8_t(std::clamp(int(s.program), 0, 127));
        const uint8_t status = uint8_t(0xB0 | ch);
        EventMidi msgs[] = {{kSendNow, status, 7, level, 0},
                            {kSendNow, status, 39, level, 0},
                            {kSendNow, status, 10, pan, 0},
                            {kSendNow, uint8_t(0xC0 | ch), program, 0, 0}};
        for (EventMidi& m : msgs) sent += SendNow(device, m);
    }
    return sent;
}

void CPlayEngine::QuickPlay(CNoteEventList& list) {
    DENDRA_UI_THREAD();
    if (!devices_) return;
    const uint32_t res = Resolution();
    CNoteEventList midi;
    CWaveOut* wave = devices_->DefaultWaveOut();
    while (SongEvent* e = list.PopHead()) {
        e->time = uint32_t(uint64_t(res) * e->time / 1000);
        if (e->IsWave()) {
            if (wave) wave->AddEvent(static_cast<EventWave*>(e));
            DeleteSongEvent(e);
        } else {
            midi.Add(e);
        }
    }
    if (CMidiOut* out = devices_->DefaultMidiOut()) out->QuickOut(&midi);
}

bool CPlayEngine::SetTempoBpm(double bpm) {
    DENDRA_UI_THREAD();
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    if (!clock || !(bpm >= kMinTempo && bpm <= kMaxTempo)) return false;
    clock->SetTempo(uint32_t(std::lround(60000000.0 / bpm)));
    return true;
}

double CPlayEngine::TempoBpm() const {
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    const uint32_t us = clock ? clock->GetTempo() : 0;
    return us ? 60000000.0 / us : 0.0;
}

void CPlayEngine::SetLoopEnd(uint32_t beat) {
    DENDRA_UI_THREAD();
    const bool grows = beat > loopEnd_;
    loopEnd_ = beat;
    if (song_) song_->SetLength(beat);
    if (grows && playing_) Fill();
}

void CPlayEngine::HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    DENDRA_UI_THREAD();
    switch (message) {
    case dsync::kMsgBeat:
        OnBeat();
        break;
    case dsync::kMsgRefill:
        Fill();
        break;
    case dsync::kMsgTempo:
        reportedTempo_ = uint32_t(wParam);
        Notify(Change::kTempo);
        break;
    case dsync::kMsgMidiInData:
        ReadMidiInput();
        break;
    case kMsgCaptureBlock:
        // Null when the input that posted it is gone.
        OnCaptureBlock(dsync::LiveWaveInBlock(wParam, lParam));
        break;
    case kMsgSendMidi:
        if (lParam) SendMidi(uint32_t(wParam), *reinterpret_cast<EventMidi*>(lParam));
        break;
    case kMsgLoopPoints:
        if (wParam == 0)
            loopStart_ = uint32_t(lParam);
        else if (wParam == 1)
            SetLoopEnd(uint32_t(lParam));
        else if (wParam == 2 && song_) {
            loopStart_ = 0;
            loopEnd_ = song_->GetLength(1);
        }
        Notify(Change::kRegion);
        break;
    case kMsgSetBeat:
        currentBeat_ = uint32_t(lParam);
        Notify(Change::kRegion);
        break;
    case kMsgCaptureLevel:
        inputLevel_ = int(wParam);
        break;
    default:
        break;
    }
}
