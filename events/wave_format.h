// The standard wave format record (18 bytes in files, little-endian) and the MIDI input message.
#pragma once

#include <cstdint>

// Format tags.
constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatAlaw = 6;
constexpr uint16_t kWaveFormatMulaw = 7;
constexpr uint16_t kWaveFormatImaAdpcm = 17;

struct WAVEFORMATEX {
    uint16_t wFormatTag = kWaveFormatPcm;
    uint16_t nChannels = 1;
    uint32_t nSamplesPerSec = 11025;
    uint32_t nAvgBytesPerSec = 11025;
    uint16_t nBlockAlign = 1;
    uint16_t wBitsPerSample = 8;
    uint16_t cbSize = 0;
};

// One MIDI input message as it crosses from the input device to the program: the clock tick
// it arrived at, then the four message bytes as the driver delivered them.
struct MidiEvent {
    uint32_t time = 0;
    uint8_t status = 0;
    uint8_t data1 = 0;
    uint8_t data2 = 0;
    uint8_t data3 = 0;
};
static_assert(sizeof(MidiEvent) == 8, "a MidiEvent is one 8-byte ring item");
