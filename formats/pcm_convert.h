// Conversions between the PCM formats the wave data holds (1 or 2 channels, 8 or 16 bits, any
// rate): width and channel changes are exact integer operations, rate changes go through a
// good-quality band-limited resampler. The output is as long in seconds as the input.
#pragma once

#include "events/wave_format.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sound {

// Pulls up to n bytes of source data into out; returns the bytes given (fewer at the end).
using PullBytes = std::function<size_t(void* out, size_t n)>;
// Takes converted bytes; false stops the conversion.
using PushBytes = std::function<bool(const void* data, size_t n)>;

// Converts `frames` source frames. False when either format is not a held PCM format, the
// resampler fails or push refuses. Output frames: round(frames × to rate / from rate).
bool ConvertPcm(const WAVEFORMATEX& from, const WAVEFORMATEX& to, uint64_t frames,
                const PullBytes& pull, const PushBytes& push);

// The frames a conversion of `frames` frames from rate `from` to rate `to` yields.
uint64_t ConvertedFrames(uint64_t frames, uint32_t from, uint32_t to);

// One sample from 8-bit unsigned to 16-bit and back: (u - 128) × 256, and s / 256 + 128
// rounded toward minus infinity.
inline int16_t Widen8(uint8_t u) {
    return static_cast<int16_t>((u - 128) * 256);
}
inline uint8_t Narrow16(int16_t s) {
    return static_cast<uint8_t>((s >> 8) + 128);
}

} // namespace sound
