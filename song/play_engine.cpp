#include "song/play_engine.h"

#include "app/device_config.h"
#include "docs/entry_settings.h"
#include "docs/song_doc.h"
#include "events/event_list.h"
#include "events/song_event.h"
#include "sync/messages.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "sync/wave_out.h"

#include <algorithm>
#include <cmath>

CSync* ConfiguredPlayDevices::Clock() {
    return config_.Clock();
}
CMidiOut* ConfiguredPlayDevices::MidiOutAt(uint32_t device) {
    return config_.MidiOutAt(config_.NormalizeDevice(device));
}
CMidiOut* ConfiguredPlayDevices::DefaultMidiOut() {
    return config_.DefaultMidiOut();
}
std::vector<CMidiOut*> ConfiguredPlayDevices::OpenMidiOuts() {
    return config_.OpenMidiOuts();
}
CWaveOut* ConfiguredPlayDevices::DefaultWaveOut() {
    return config_.DefaultWaveOut();
}
CMidiIn* ConfiguredPlayDevices::DefaultMidiIn() {
    return config_.DefaultMidiIn();
}

CPlayEngine::CPlayEngine() : window_(platform::Queue().Register(this)) {}

CPlayEngine::~CPlayEngine() {
    if (playing_) Stop();
    platform::Queue().Unregister(window_);
}

void CPlayEngine::SetSong(CSongDoc* song) {
    if (playing_) Stop();
    song_ = song;
    currentBeat_ = 0;
    loopStart_ = 0;
    loopEnd_ = song ? song->GetLength(0) : 0;
}

uint32_t CPlayEngine::Resolution() const {
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    return clock ? clock->GetResolution() : kSongPlayResolution;
}

bool CPlayEngine::Play() {
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    if (!clock || !song_) return false;
    if (playing_) {
        Stop();
        return true;
    }
    if (!song_->IsPrepared()) {
        song_->Prepare();
        const uint32_t length = song_->GetLength(1);
        if (length > loopEnd_) loopEnd_ = length;
    }
    if (loopEnd_ == 0) loopEnd_ = song_->GetLength(1);
    if (currentBeat_ < loopStart_ || currentBeat_ >= loopEnd_) currentBeat_ = 0;
    playing_ = true;
    timeOffset_ = 0;
    clock->SetResolution(kSongPlayResolution);
    song_->SetTicksPerBeat(0, kSongPlayResolution);
    const uint32_t startTick = Resolution() * currentBeat_;
    SendEntryControllers();
    song_->Seek(double(currentBeat_), false);
    Fill();
    if (CWaveOut* wave = devices_->DefaultWaveOut()) wave->LoadFirst();
    clock->StartSync(startTick);
    return true;
}

void CPlayEngine::StopDevices() {
    if (!devices_) return;
    for (CMidiOut* out : devices_->OpenMidiOuts()) {
        out->Stop();
        // The ring, the pending note-offs and every sounding note.
        out->ResetMidiOut();
    }
    if (CWaveOut* wave = devices_->DefaultWaveOut()) wave->Stop();
}

void CPlayEngine::Stop() {
    playing_ = false;
    if (CSync* clock = devices_ ? devices_->Clock() : nullptr) clock->StopSync();
    StopDevices();
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
    CMidiOut* out = device == kDeviceDefault ? nullptr : devices_->MidiOutAt(uint32_t(device));
    // The default output only for a device that is not open: a full port waits for its refill.
    if (!out) out = devices_->DefaultMidiOut();
    if (!out) return true; // nowhere to play: dropped
    return out->MidiOut(&event) != dsync::kQueueFull;
}

void CPlayEngine::Fill() {
    CSync* clock = devices_ ? devices_->Clock() : nullptr;
    if (!playing_ || !song_ || !clock) return;
    ++fills_;
    const uint64_t endTick = uint64_t(Resolution()) * loopEnd_ + timeOffset_;
    for (;;) {
        int device = 0;
        SongEvent* e = song_->GetNextEvent(device);
        if (CSongDoc::IsEndMarker(e)) break;
        const uint64_t t = uint64_t(e->time) + timeOffset_;
        if (t >= endTick || t >= CWaveOut::kNoTime) {
            song_->StepBack();
            break;
        }
        if (device == kDeviceNone) continue;
        if (e->IsWave()) {
            CWaveOut* wave = devices_->DefaultWaveOut();
            if (!wave) continue;
            e->time = uint32_t(t);
            if (wave->AddEvent(static_cast<EventWave*>(e)) == 0 &&
                wave->pendingCount >= CWaveOut::kMaxPending) {
                song_->StepBack();
                break;
            }
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
    if (!playing_ || !song_) return;
    ++currentBeat_;
    if (looping_ && loopEnd_ > loopStart_ + 1 && currentBeat_ + 1 == loopEnd_) song_->PreparePass();
    if (currentBeat_ < loopEnd_) return;
    if (looping_ && loopEnd_ > loopStart_) {
        currentBeat_ = loopStart_;
        timeOffset_ += uint64_t(Resolution()) * (loopEnd_ - loopStart_);
        song_->Seek(double(loopStart_), false);
        Fill();
        return;
    }
    Stop();
}

void CPlayEngine::SendMidi(uint32_t device, EventMidi& event) {
    if (!devices_ || device == uint32_t(kDeviceNone)) return;
    if (device == uint32_t(kDeviceAllMidi)) {
        for (CMidiOut* out : devices_->OpenMidiOuts()) out->MidiOut(&event);
        return;
    }
    CMidiOut* out = device == uint32_t(kDeviceDefault) ? nullptr : devices_->MidiOutAt(device);
    if (!out) out = devices_->DefaultMidiOut();
    if (out) out->MidiOut(&event);
}

void CPlayEngine::SendEntryControllers() {
    if (!devices_ || !song_) return;
    // The MIDI channels, never more than sixteen.
    const int channels = std::min(song_->EntryCount(), 16);
    for (int ch = 0; ch < channels; ++ch) {
        EventMidi v(kSendNow, uint8_t(0xB0 | ch), 7, 127, 0);
        SendMidi(uint32_t(kDeviceAllMidi), v);
        EventMidi f(kSendNow, uint8_t(0xB0 | ch), 39, 127, 0);
        SendMidi(uint32_t(kDeviceAllMidi), f);
    }
    for (int i = 0; i < song_->EntryCount(); ++i) {
        const EntrySettings& s = song_->Settings(i);
        if (s.muted) continue;
        const uint32_t device = uint32_t(s.device);
        if (device != uint32_t(kDeviceDefault) && !devices_->MidiOutAt(device)) continue;
        const uint8_t ch = uint8_t(std::clamp(int(s.channel), 0, 15));
        const uint8_t level = uint8_t(std::clamp(int(s.volume * 127.9f), 0, 127));
        const uint8_t pan = uint8_t(std::clamp(int(s.pan * 127.0f), 0, 127));
        const uint8_t program = uint8_t(std::clamp(int(s.program), 0, 127));
        const uint8_t status = uint8_t(0xB0 | ch);
        EventMidi msgs[] = {{kSendNow, status, 7, level, 0},
                            {kSendNow, status, 39, level, 0},
                            {kSendNow, status, 10, pan, 0},
                            {kSendNow, uint8_t(0xC0 | ch), program, 0, 0}};
        for (EventMidi& m : msgs) SendMidi(device, m);
    }
}

void CPlayEngine::QuickPlay(CNoteEventList& list) {
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
    const bool grows = beat > loopEnd_;
    loopEnd_ = beat;
    if (song_) song_->SetLength(beat);
    if (grows && playing_) Fill();
}

void CPlayEngine::HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case dsync::kMsgBeat:
        OnBeat();
        break;
    case dsync::kMsgRefill:
        Fill();
        break;
    case dsync::kMsgTempo:
        reportedTempo_ = uint32_t(wParam);
        break;
    case dsync::kMsgMidiInData:
        if (CMidiIn* in = devices_ ? devices_->DefaultMidiIn() : nullptr)
            while (in->MidiIn()) ++midiInputs_;
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
        break;
    case kMsgSetBeat:
        currentBeat_ = uint32_t(lParam);
        break;
    case kMsgCaptureLevel:
        inputLevel_ = int(wParam);
        break;
    default:
        break;
    }
}
