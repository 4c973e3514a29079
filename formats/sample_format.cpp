#include "formats/sample_format.h"

namespace sound {
namespace {

const char* const kLabels[kStandardFormatCount] = {
    "11.025 kHz, Mono,   8-bit",  "11.025 kHz, Stereo, 8-bit",  "11.025 kHz, Mono,   16-bit",
    "11.025 kHz, Stereo, 16-bit", "22.05  kHz, Mono,   8-bit",  "22.05  kHz, Stereo, 8-bit",
    "22.05  kHz, Mono,   16-bit", "22.05  kHz, Stereo, 16-bit", "44.1   kHz, Mono,   8-bit",
    "44.1   kHz, Stereo, 8-bit",  "44.1   kHz, Mono,   16-bit", "44.1   kHz, Stereo, 16-bit",
};

} // namespace

uint32_t FormatToFlag(const WAVEFORMATEX& format) {
    uint32_t flag = 0;
    switch (format.nSamplesPerSec) {
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
    if (format.wBitsPerSample == 16) flag *= 4;
    if (format.nChannels == 2) flag *= 2;
    return flag;
}

WAVEFORMATEX FlagToFormat(uint32_t flag) {
    uint32_t rate;
    uint32_t value;
    if (flag >= 256) {
        rate = 44100;
        value = flag >> 8;
    } else if (flag < 16) {
        rate = 11025;
        value = flag;
    } else {
        rate = 22050;
        value = flag >> 4;
    }
    uint16_t bits = 8;
    if (value >= 4) {
        bits = 16;
        value >>= 2;
    }
    const uint16_t channels = value == 1 ? 1 : 2;
    return MakePcmFormat(rate, channels, bits);
}

const char* FlagLabel(uint32_t flag) {
    const int index = FlagIndex(flag);
    return index < 0 ? "INVALID FORMAT" : kLabels[index];
}

int FlagIndex(uint32_t flag) {
    for (int i = 0; i < kStandardFormatCount; ++i)
        if (flag == StandardFormatFlag(i)) return i;
    return -1;
}

WAVEFORMATEX MakePcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
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

bool IsHeldPcm(const WAVEFORMATEX& f) {
    return f.wFormatTag == kWaveFormatPcm && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec != 0 &&
           f.nBlockAlign == f.wBitsPerSample / 8 * f.nChannels;
}

} // namespace sound
