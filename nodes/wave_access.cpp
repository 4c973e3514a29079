#include "nodes/wave_access.h"

#include "events/wave_sound.h"
#include "platform/named_mutex.h"

#include <deque>
#include <memory>

namespace {

WaveAccess* g_access = nullptr;

constexpr const char* kFormatLabels[12] = {
    "11.025 kHz, Mono,   8-bit",  "11.025 kHz, Stereo, 8-bit",  "11.025 kHz, Mono,   16-bit",
    "11.025 kHz, Stereo, 16-bit", "22.05  kHz, Mono,   8-bit",  "22.05  kHz, Stereo, 8-bit",
    "22.05  kHz, Mono,   16-bit", "22.05  kHz, Stereo, 16-bit", "44.1   kHz, Mono,   8-bit",
    "44.1   kHz, Stereo, 8-bit",  "44.1   kHz, Mono,   16-bit", "44.1   kHz, Stereo, 16-bit",
};

struct Retired {
    std::unique_ptr<WaveSound> sound;
    std::string name;
    bool closed = false;
};

std::deque<Retired>& RetiredSounds() {
    static std::deque<Retired> retired;
    return retired;
}

// Closes a retired sound under its wave's mutex, so that no stream is reading it meanwhile.
void CloseRetired(Retired& r) {
    if (r.closed || !r.sound) return;
    platform::NamedMutex* m =
        platform::AcquireNamedMutex(r.name.empty() ? kDefaultWaveMutexName : r.name);
    {
        platform::NamedLock hold(m, 0);
        r.sound->Close();
    }
    platform::ReleaseNamedMutex(m);
    r.closed = true;
}

} // namespace

WaveAccess* GetWaveAccess() {
    return g_access;
}

WaveAccess* SetWaveAccess(WaveAccess* access) {
    WaveAccess* previous = g_access;
    g_access = access;
    return previous;
}

bool IsWaveNodeFormat(const WAVEFORMATEX& f) {
    return f.wFormatTag == kWaveFormatPcm && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec >= kMinWaveRate &&
           f.nSamplesPerSec <= kMaxWaveRate &&
           f.nBlockAlign == f.wBitsPerSample / 8 * f.nChannels &&
           f.nAvgBytesPerSec == f.nBlockAlign * f.nSamplesPerSec;
}

WAVEFORMATEX PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
    WAVEFORMATEX f;
    f.wFormatTag = kWaveFormatPcm;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<uint16_t>(bits / 8 * channels);
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    f.cbSize = 0;
    return f;
}

int WaveFormatFlag(const WAVEFORMATEX& f) {
    if (!IsWaveNodeFormat(f)) return 0;
    int flag;
    switch (f.nSamplesPerSec) {
    case 11025:
        flag = 1;
        break;
    case 22050:
        flag = 16;
        break;
    case 44100:
        flag = 256;
        break;
    default:
        return 0;
    }
    if (f.wBitsPerSample == 16) flag *= 4;
    if (f.nChannels == 2) flag *= 2;
    return flag;
}

WAVEFORMATEX WaveFormatOfFlag(int flag) {
    for (int i = 0; i < 12; ++i) {
        if (flag != 1 << i) continue;
        const uint32_t rate = i < 4 ? 11025 : i < 8 ? 22050 : 44100;
        const uint16_t bits = (i & 2) ? 16 : 8;
        const uint16_t channels = (i & 1) ? 2 : 1;
        return PcmFormat(rate, channels, bits);
    }
    return PcmFormat(11025, 1, 8);
}

const char* WaveFormatLabel(int flag) {
    for (int i = 0; i < 12; ++i)
        if (flag == 1 << i) return kFormatLabels[i];
    return "INVALID FORMAT";
}

// ---- OwnedSound -------------------------------------------------------------------------------

void OwnedSound::Adopt(EventWave& wave, WaveSound* sound, const std::string& name) {
    Retire();
    sound_ = sound;
    name_ = name;
    wave.SetName(name);
    wave.sound = sound;
    // The node owns the sound: the event's own release rules must leave it alone.
    wave.flags = 0;
}

void OwnedSound::Retire() {
    if (!sound_) return;
    std::deque<Retired>& retired = RetiredSounds();
    retired.push_back({std::unique_ptr<WaveSound>(sound_), name_, false});
    sound_ = nullptr;
    name_.clear();
    size_t open = 0;
    for (auto it = retired.rbegin(); it != retired.rend(); ++it) {
        if (it->closed) continue;
        if (++open > kRetiredOpen) CloseRetired(*it);
    }
}

void OwnedSound::Detach(EventWave& wave) {
    if (wave.sound == sound_) wave.sound = nullptr;
    Retire();
}

void OwnedSound::CloseAllRetired() {
    for (Retired& r : RetiredSounds()) CloseRetired(r);
}

size_t OwnedSound::RetiredCount() {
    return RetiredSounds().size();
}

EventWave* MakeWaveReference(const EventWave& wave, uint32_t t) {
    auto* e = new EventWave;
    e->flags = kWaveReference;
    e->CopyFrom(wave);
    e->time = t;
    return e;
}
