// The twelve standard wave formats (three rates, mono or stereo, 8 or 16 bits) with their
// device-capability flag values and display labels, and the conversions between a flag and a
// wave format.
#pragma once

#include "events/wave_format.h"

#include <cstdint>
#include <string>

namespace sound {

constexpr int kStandardFormatCount = 12;
// The flags in table order: 1, 2, 4, ..., 2048.
constexpr uint32_t StandardFormatFlag(int index) {
    return 1u << index;
}

// 11025 → 1, 22050 → 16, 44100 → 256, other rates 0; times 4 for 16 bits, times 2 for stereo.
uint32_t FormatToFlag(const WAVEFORMATEX& format);
// The PCM format of a flag (flags outside the table give the nearest reading of the rule).
WAVEFORMATEX FlagToFormat(uint32_t flag);
// The display label of a flag; "INVALID FORMAT" for anything but the twelve flags.
const char* FlagLabel(uint32_t flag);
// The table index (bit position) of a standard flag; -1 for any other value.
int FlagIndex(uint32_t flag);

// A PCM format record with block align and bytes per second filled in from the other fields.
WAVEFORMATEX MakePcmFormat(uint32_t rate, uint16_t channels, uint16_t bits);

// True when the format is PCM with 1 or 2 channels, 8 or 16 bits, a non-zero rate and a block
// align that matches; the only formats the sound object holds.
bool IsHeldPcm(const WAVEFORMATEX& format);

} // namespace sound
