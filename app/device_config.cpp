#include "app/device_config.h"

#include "app/settings.h"
#include "sync/drivers/synth/gm_synth.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/mixer/synth_source.h"
#include "sync/sync.h"
#include "sync/wave_in.h"
#include "sync/wave_out.h"

#include <cstring>

namespace app {

namespace {
// Slot keys by kind.
const char* SlotKey(int kind, int slot) {
    switch (kind) {
    case kKindMidiIn:
        return slot == 0 ? kDeviceSlotKeys[0] : nullptr;
    case kKindMidiOut:
        return slot >= 0 && slot < kMidiOutSlots ? kDeviceSlotKeys[1 + slot] : nullptr;
    case kKindWaveIn:
        return slot == 0 ? kDeviceSlotKeys[5] : nullptr;
    case kKindWaveOut:
        return slot == 0 ? kDeviceSlotKeys[6] : nullptr;
    default:
        return nullptr;
    }
}

// Frames the synth renders ahead of the clock when it sounds through a wave output: messages
// sent at their tick then always land in the future of the render position.
constexpr int64_t kSynthLatencyFrames = 1024;
} // namespace

CDeviceConfig::CDeviceConfig(CSettings& settings) : settings_(settings) {}

CDeviceConfig::~CDeviceConfig() {
    CloseDevices();
    // Objects opened without a clock cannot exist, but be safe with any left over.
    for (int i = 0; i < count_; ++i) DestroyObject(i);
    if (tableFilled_) UnGetDevices(table_, count_);
}

CDeviceConfig::Kind CDeviceConfig::KindOf(uint32_t flags) {
    bool midi = flags & kDeviceMidi, output = flags & kDeviceOutput;
    if (midi) return output ? Kind::MidiOut : Kind::MidiIn;
    return output ? Kind::WaveOut : Kind::WaveIn;
}

std::string CDeviceConfig::GetDeviceName(int kind, int slot) const {
    const char* key = SlotKey(kind, slot);
    return key ? settings_.GetProfileString(kSectionDevices, key, "") : std::string();
}

void CDeviceConfig::SetDeviceName(int kind, int slot, const std::string& text) {
    if (const char* key = SlotKey(kind, slot))
        settings_.WriteProfileString(kSectionDevices, key, text);
}

bool CDeviceConfig::NoSoundOutput() const {
    return clock_ && (options_.waveEnabled || options_.directSound) &&
           GetDeviceName(kKindWaveOut, 0) != kNoDevice && currentWaveOut_ < 0;
}

bool CDeviceConfig::IsDeviceOpen(int index) const {
    return index >= 0 && index < count_ && (table_[index].flags & kDeviceOpen) &&
           table_[index].extra != 0;
}

int CDeviceConfig::FindByName(const std::string& name) const {
    for (int i = 0; i < count_; ++i)
        if (table_[i].name && name == table_[i].name) return i;
    return -1;
}

ProtoDevice* CDeviceConfig::Device(int index) const {
    return IsDeviceOpen(index) ? reinterpret_cast<ProtoDevice*>(table_[index].extra) : nullptr;
}

int CDeviceConfig::NthMidi(bool output, uint32_t number) const {
    Kind want = output ? Kind::MidiOut : Kind::MidiIn;
    for (int i = 0; i < count_; ++i)
        if (KindOf(table_[i].flags) == want && table_[i].DeviceNumber() == number) return i;
    return -1;
}

int CDeviceConfig::FirstWave(bool output, bool directSound) const {
    Kind want = output ? Kind::WaveOut : Kind::WaveIn;
    for (int i = 0; i < count_; ++i)
        if (KindOf(table_[i].flags) == want &&
            ((table_[i].flags & kDeviceDirectSound) != 0) == directSound)
            return i;
    return -1;
}

bool CDeviceConfig::IsSynthRecord(int index) const {
    return index >= 0 && index < count_ && KindOf(table_[index].flags) == Kind::MidiOut &&
           table_[index].name && std::strcmp(table_[index].name, dsync::GmSynth::kName) == 0;
}

int& CDeviceConfig::CurrentOf(Kind kind) {
    switch (kind) {
    case Kind::MidiIn:
        return currentMidiIn_;
    case Kind::MidiOut:
        return currentMidiOut_;
    case Kind::WaveIn:
        return currentWaveIn_;
    default:
        return currentWaveOut_;
    }
}

bool CDeviceConfig::OpenDevices(const DeviceOptions& options) {
    if (clock_) return true;
    options_ = options;
    auto clock = std::make_unique<CSync>();
    if (clock->OpenSync(options.window, options.syncMode, options.timerPeriod, options.timer) != 0)
        return false;
    clock->SetTempo(1000000);
    clock_ = std::move(clock);

    // The mixer-backed devices are built into the library: they are available whenever asked.
    const bool directSound = options.directSound;
    std::string font = settings_.GetProfileString(kSectionDevices, "SoundFont", "");
    if (!font.empty()) dsync::BuiltInSynth().SetSoundFontSetting(font);

    if (tableFilled_) UnGetDevices(table_, count_);
    count_ = GetDevices(table_, kMaxDevices, options.waveEnabled ? 1 : 0, directSound ? 1 : 0);
    tableFilled_ = true;

    // A record of the kind with that name; for wave devices the one whose mixer flag matches
    // the setting when both exist.
    auto byName = [&](Kind kind, const std::string& name) {
        int any = -1;
        for (int i = 0; i < count_; ++i) {
            if (KindOf(table_[i].flags) != kind || !table_[i].name || name != table_[i].name)
                continue;
            bool ds = table_[i].flags & kDeviceDirectSound;
            if (kind == Kind::MidiIn || kind == Kind::MidiOut || ds == directSound) return i;
            if (any < 0) any = i;
        }
        return any;
    };

    if (directSound || options.waveEnabled) {
        std::string name = GetDeviceName(kKindWaveOut, 0);
        if (name != kNoDevice) {
            int i = byName(Kind::WaveOut, name);
            if (i < 0) i = FirstWave(true, directSound);
            if (i >= 0) OpenRecord(i, true);
        }
    }
    if (directSound) {
        std::string name = GetDeviceName(kKindWaveIn, 0);
        if (name != kNoDevice) {
            int i = byName(Kind::WaveIn, name);
            if (i < 0) i = FirstWave(false, true);
            if (i >= 0) OpenRecord(i, true);
        }
    }
    {
        std::string name = GetDeviceName(kKindMidiIn, 0);
        if (name != kNoDevice) {
            int i = byName(Kind::MidiIn, name);
            if (i < 0) i = NthMidi(false, 0);
            if (i >= 0) OpenRecord(i, true);
        }
    }
    for (int slot = 0; slot < kMidiOutSlots; ++slot) {
        std::string name = GetDeviceName(kKindMidiOut, slot);
        if (name == kNoDevice) break;
        int i = byName(Kind::MidiOut, name);
        if (i < 0) {
            if (slot > 0) continue;
            // The first slot names nothing known: the built-in synthesizer, and no more slots.
            i = NthMidi(true, 0);
            if (i >= 0 && !IsDeviceOpen(i)) OpenRecord(i, true);
            break;
        }
        if (!IsDeviceOpen(i)) OpenRecord(i, true);
    }
    RebuildOpenLists();
    AttachSynth();
    Changed();
    return true;
}

bool CDeviceConfig::OpenRecord(int index, bool atStart) {
    DeviceRecord& r = table_[index];
    Kind kind = KindOf(r.flags);
    CSync* clock = clock_.get();
    const platform::Window w = options_.window;
    bool ok = false;
    ProtoDevice* object = nullptr;
    switch (kind) {
    case Kind::MidiOut: {
        auto* out = new CMidiOut();
        object = out;
        ok = out->OpenMidiOut(w, r.DeviceNumber(), clock,
                              atStart ? kMidiOutStartFlags : kMidiOutOpenFlags) == 0;
        break;
    }
    case Kind::MidiIn: {
        auto* in = new CMidiIn();
        object = in;
        ok = in->OpenMidiIn(w, r.DeviceNumber(), clock, kMidiInOpenFlags) == 0;
        break;
    }
    case Kind::WaveOut: {
        bool ds = r.flags & kDeviceDirectSound;
        auto* out = new CWaveOut(ds ? CWaveOut::kMixerForm : r.DeviceNumber());
        object = out;
        ok = out->OpenWaveOut(w, clock, r.identity) != 0;
        break;
    }
    case Kind::WaveIn: {
        auto* in = new CWaveIn();
        object = in;
        ok = in->Create(w, r.identity) != 0;
        break;
    }
    }
    if (!ok) {
        object->Close();
        delete object;
        r.flags &= ~kDeviceOpen;
        r.extra = 0;
        return false;
    }
    r.extra = reinterpret_cast<uintptr_t>(object);
    r.flags |= kDeviceOpen;
    CurrentOf(kind) = index;
    return true;
}

void CDeviceConfig::DestroyObject(int index) {
    DeviceRecord& r = table_[index];
    if (r.extra) {
        auto* object = reinterpret_cast<ProtoDevice*>(r.extra);
        object->Close();
        delete object;
    }
    r.extra = 0;
    r.flags &= ~kDeviceOpen;
}

void CDeviceConfig::CloseRecord(int index) {
    if (!IsDeviceOpen(index)) return;
    if (IsSynthRecord(index) || index == currentWaveOut_) DetachSynth();
    DestroyObject(index);
}

int CDeviceConfig::ChooseCurrent(Kind kind) const {
    bool midi = kind == Kind::MidiIn || kind == Kind::MidiOut;
    if (midi) {
        // In device-number order.
        int best = -1;
        for (int i = 0; i < count_; ++i)
            if (KindOf(table_[i].flags) == kind && IsDeviceOpen(i) &&
                (best < 0 || table_[i].DeviceNumber() < table_[best].DeviceNumber()))
                best = i;
        return best;
    }
    for (int i = 0; i < count_; ++i)
        if (KindOf(table_[i].flags) == kind && IsDeviceOpen(i) &&
            ((table_[i].flags & kDeviceDirectSound) != 0) == options_.directSound)
            return i;
    return -1;
}

bool CDeviceConfig::OpenDevice(const std::string& name) {
    if (!clock_) return false;
    int index = FindByName(name);
    if (index < 0) return false;
    if (IsDeviceOpen(index)) return true; // already open: a second object would double its port
    Kind kind = KindOf(table_[index].flags);
    bool ok;
    if (kind == Kind::WaveOut && (table_[index].flags & kDeviceDirectSound)) {
        // A mixer-backed output is opened with the capture device closed, then the capture
        // device is opened again.
        std::string input = currentWaveIn_ >= 0 ? table_[currentWaveIn_].name : "";
        int inputIndex = currentWaveIn_;
        if (inputIndex >= 0) CloseRecord(inputIndex);
        ok = OpenRecord(index, false);
        if (inputIndex >= 0) OpenRecord(inputIndex, false);
    } else {
        ok = OpenRecord(index, false);
    }
    RebuildOpenLists();
    AttachSynth();
    Changed();
    return ok;
}

void CDeviceConfig::CloseDevice(const std::string& name) {
    if (!clock_) return;
    int index = FindByName(name);
    if (index < 0 || !IsDeviceOpen(index)) return;
    Kind kind = KindOf(table_[index].flags);
    int reopen = -1;
    if (kind == Kind::WaveIn && (table_[index].flags & kDeviceDirectSound) &&
        currentWaveOut_ >= 0 && (table_[currentWaveOut_].flags & kDeviceDirectSound)) {
        reopen = currentWaveOut_;
        CloseRecord(reopen);
    }
    CloseRecord(index);
    if (reopen >= 0 && !OpenRecord(reopen, false) && currentWaveOut_ == reopen)
        currentWaveOut_ = ChooseCurrent(Kind::WaveOut);
    int& current = CurrentOf(kind);
    if (current == index) current = ChooseCurrent(kind);
    RebuildOpenLists();
    AttachSynth();
    Changed();
}

void CDeviceConfig::WriteSlots() {
    // MIDI input: the first open one by device number.
    auto firstMidi = [&](bool output, uint32_t from, uint32_t& found) {
        for (uint32_t n = from;; ++n) {
            int i = NthMidi(output, n);
            if (i < 0) return -1;
            if (IsDeviceOpen(i)) {
                found = n;
                return i;
            }
        }
    };
    uint32_t n = 0;
    int in = firstMidi(false, 0, n);
    SetDeviceName(kKindMidiIn, 0, in >= 0 ? table_[in].name : kNoDevice);
    uint32_t next = 0;
    for (int slot = 0; slot < kMidiOutSlots; ++slot) {
        int i = firstMidi(true, next, n);
        if (i >= 0) next = n + 1;
        SetDeviceName(kKindMidiOut, slot, i >= 0 ? table_[i].name : kNoDevice);
    }
    // Wave devices: a slot whose kind was not opened at start keeps its value, so turning wave
    // devices off for a session does not lose the choice.
    auto firstWave = [&](Kind kind) {
        for (int i = 0; i < count_; ++i)
            if (KindOf(table_[i].flags) == kind &&
                ((table_[i].flags & kDeviceDirectSound) != 0) == options_.directSound &&
                IsDeviceOpen(i))
                return i;
        return -1;
    };
    if (options_.directSound) {
        int i = firstWave(Kind::WaveIn);
        SetDeviceName(kKindWaveIn, 0, i >= 0 ? table_[i].name : kNoDevice);
    }
    if (options_.directSound || options_.waveEnabled) {
        int i = firstWave(Kind::WaveOut);
        SetDeviceName(kKindWaveOut, 0, i >= 0 ? table_[i].name : kNoDevice);
    }
}

void CDeviceConfig::CloseDevices(bool writeSlots) {
    if (!clock_) return;
    clock_->StopSync();
    for (ProtoDevice* d : OpenDeviceObjects()) d->Stop();
    if (writeSlots) {
        WriteSlots();
        settings_.Save();
    }
    // The devices unregister from the clock as they close, so they close before it.
    DetachSynth();
    for (int i = 0; i < count_; ++i) DestroyObject(i);
    currentMidiOut_ = currentMidiIn_ = currentWaveOut_ = currentWaveIn_ = -1;
    openMidiOuts_.clear();
    clock_->CloseSync();
    clock_.reset();
    Changed();
}

std::vector<std::string> CDeviceConfig::DeviceListLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < count_; ++i)
        if (IsDeviceOpen(i)) lines.push_back(table_[i].name ? table_[i].name : "");
    lines.push_back(kClosedDevicesLine);
    for (int i = 0; i < count_; ++i)
        if (!IsDeviceOpen(i)) lines.push_back(table_[i].name ? table_[i].name : "");
    return lines;
}

void CDeviceConfig::Changed() {
    if (listener_) listener_();
}

void CDeviceConfig::RebuildOpenLists() {
    openMidiOuts_.clear();
    for (int i = 0; i < count_; ++i)
        if (KindOf(table_[i].flags) == Kind::MidiOut && IsDeviceOpen(i))
            openMidiOuts_.push_back(static_cast<CMidiOut*>(Device(i)));
}

std::vector<ProtoDevice*> CDeviceConfig::OpenDeviceObjects() const {
    std::vector<ProtoDevice*> v;
    for (int i = 0; i < count_; ++i)
        if (ProtoDevice* d = Device(i)) v.push_back(d);
    return v;
}

CMidiOut* CDeviceConfig::DefaultMidiOut() const {
    return static_cast<CMidiOut*>(Device(currentMidiOut_));
}
CMidiIn* CDeviceConfig::DefaultMidiIn() const {
    return static_cast<CMidiIn*>(Device(currentMidiIn_));
}
CWaveOut* CDeviceConfig::DefaultWaveOut() const {
    return static_cast<CWaveOut*>(Device(currentWaveOut_));
}
CWaveIn* CDeviceConfig::DefaultWaveIn() const {
    return static_cast<CWaveIn*>(Device(currentWaveIn_));
}

uint32_t CDeviceConfig::NormalizeDevice(uint32_t device) const {
    if (device == uint32_t(kDeviceNone) || device == uint32_t(kDeviceAllMidi) ||
        device == uint32_t(kDeviceDefault))
        return device;
    return device < uint32_t(count_) ? device : uint32_t(kDeviceDefault);
}

CMidiOut* CDeviceConfig::MidiOutAt(uint32_t device) const {
    if (device >= uint32_t(count_)) return nullptr;
    int i = int(device);
    return KindOf(table_[i].flags) == Kind::MidiOut ? static_cast<CMidiOut*>(Device(i)) : nullptr;
}

CWaveOut* CDeviceConfig::WaveOutAt(uint32_t device) const {
    if (device >= uint32_t(count_)) return nullptr;
    int i = int(device);
    return KindOf(table_[i].flags) == Kind::WaveOut ? static_cast<CWaveOut*>(Device(i)) : nullptr;
}

void CDeviceConfig::AttachSynth() {
    CWaveOut* out = DefaultWaveOut();
    bool synthOpen = false;
    for (int i = 0; i < count_; ++i)
        if (IsSynthRecord(i) && IsDeviceOpen(i)) synthOpen = true;
    if (synthSource_ && (synthMixerOwner_ != out || !synthOpen)) DetachSynth();
    if (synthSource_ || !out || !synthOpen || out->Sink()) return;
    dsync::GmSynth& synth = dsync::BuiltInSynth();
    uint32_t rate = out->Mixer().SampleRate();
    if (rate != 0 && synth.SampleRate() != double(rate)) {
        synth.Unload();
        if (!synth.Load(double(rate))) return;
    }
    synthSource_ = std::make_unique<dsync::mixer::SynthSource>(synth);
    if (!out->Mixer().AddSource(synthSource_.get())) {
        synthSource_.reset();
        return;
    }
    // Sample 0 of the synth's render lies as far back as it has rendered already.
    const double synthRate = synth.SampleRate() > 0 ? synth.SampleRate() : 44100.0;
    const int64_t renderedNs = int64_t(double(synth.RenderedFrames()) * 1e9 / synthRate);
    synth.SetTimeOrigin(platform::MonotonicNs() - renderedNs, kSynthLatencyFrames);
    synthMixerOwner_ = out;
}

void CDeviceConfig::DetachSynth() {
    if (synthSource_ && synthMixerOwner_)
        synthMixerOwner_->Mixer().RemoveSource(synthSource_.get());
    synthSource_.reset();
    synthMixerOwner_ = nullptr;
}

} // namespace app

// ---- ConfiguredPlayDevices ----------------------------------------------------------------------

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
CWaveIn* ConfiguredPlayDevices::DefaultWaveIn() {
    return config_.DefaultWaveIn();
}
std::vector<PlayPort> ConfiguredPlayDevices::OpenMidiOutPorts() {
    std::vector<PlayPort> ports;
    for (int i = 0; i < config_.Count(); ++i)
        if (config_.MidiOutAt(uint32_t(i)) && config_.IsDeviceOpen(i))
            ports.push_back({uint32_t(i), config_.Record(i).name ? config_.Record(i).name : ""});
    return ports;
}
