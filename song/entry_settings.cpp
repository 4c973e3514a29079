#include "song/entry_settings.h"

#include "events/archive.h"

#include <algorithm>
#include <cmath>

namespace {

int32_t Thousandths(float v) {
    double x = std::round(static_cast<double>(v) * 1000.0);
    if (!(x == x)) return 0;
    return static_cast<int32_t>(std::clamp(x, -2147483648.0, 2147483647.0));
}

float HoldLevel(float v) {
    return v == v ? std::clamp(v, 0.0f, kMaxEntryLevel) : 0.9f;
}

} // namespace

void EntrySettings::HoldToRanges() {
    volume = HoldLevel(volume);
    waveVolume = HoldLevel(waveVolume);
    pan = pan == pan ? std::clamp(pan, 0.0f, 1.0f) : 0.5f;
    rate = rate == rate ? std::clamp(rate, kMinEntryRate, kMaxEntryRate) : 1.0f;
    channel = std::clamp(channel, 0, 15);
    program = std::clamp(program, 0, 127);
    loopLength = std::max(loopLength, kMinLoopLength);
}

void WriteEntrySettings(CArchive& ar, const EntrySettings& s) {
    ar.WriteU16(1);
    ar.WriteString(s.name);
    ar.WriteString(s.sourcePath);
    ar.WriteI32(s.device);
    ar.WriteI32(Thousandths(s.volume));
    ar.WriteI32(Thousandths(s.waveVolume));
    ar.WriteI32(s.muted);
    ar.WriteI32(s.word1);
    ar.WriteI32(s.transpose);
    ar.WriteI32(s.program);
    ar.WriteI32(s.channel);
    ar.WriteI32(s.word2);
    ar.WriteI32(Thousandths(s.pan));
    ar.WriteI32(Thousandths(s.rate));
    ar.WriteI32(s.loop);
    ar.WriteU32(s.startOffset);
    ar.WriteU32(s.loopLength);
}

bool ReadEntrySettings(CArchive& ar, EntrySettings& out, bool currentForm) {
    if (currentForm) ar.ReadU16(); // the marker
    out.name = ar.ReadString();
    out.sourcePath = ar.ReadString();
    out.device = ar.ReadI32();
    out.volume = static_cast<float>(ar.ReadI32()) / 1000.0f;
    if (currentForm) out.waveVolume = static_cast<float>(ar.ReadI32()) / 1000.0f;
    out.muted = ar.ReadI32();
    out.word1 = ar.ReadI32();
    out.transpose = ar.ReadI32();
    out.program = ar.ReadI32();
    out.channel = ar.ReadI32();
    out.word2 = ar.ReadI32();
    out.pan = static_cast<float>(ar.ReadI32()) / 1000.0f;
    out.rate = static_cast<float>(ar.ReadI32()) / 1000.0f;
    out.loop = ar.ReadI32();
    out.startOffset = ar.ReadU32();
    out.loopLength = ar.ReadU32();
    out.HoldToRanges();
    return !ar.Failed();
}

int32_t ResolveEntryDevice(int32_t device, int tableSize) {
    if (device == kDeviceNone || device == kDeviceAllMidi || device == kDeviceDefault)
        return device;
    if (device >= 0 && device < tableSize) return device;
    return kDeviceDefault;
}

uint8_t EntryVolumeController(const EntrySettings& s) {
    if (s.muted) return 0;
    double v = std::floor(static_cast<double>(s.volume) * 127.9 + 1e-4);
    return static_cast<uint8_t>(std::clamp(v == v ? v : 0.0, 0.0, 127.0));
}

uint8_t EntryPanController(const EntrySettings& s) {
    double v = std::floor(static_cast<double>(s.pan) * 127.0 + 1e-4);
    return static_cast<uint8_t>(std::clamp(v == v ? v : 64.0, 0.0, 127.0));
}
