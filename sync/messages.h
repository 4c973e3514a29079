// Message numbers the library posts, error codes it returns, and small shared constants.
#pragma once

#include <cstdint>

namespace dsync {

// Posted to the clock's window.
constexpr uint32_t kMsgBeat = 0x1405;          // 0, the CSync
constexpr uint32_t kMsgSmpteAdvanced = 0x1408; // SMPTE rate, SMPTE time word
constexpr uint32_t kMsgSmpteStart = 0x1409;    // 0, SMPTE time word
constexpr uint32_t kMsgSmpteStopped = 0x140A;  // 0, the CSync
// Posted to an output's owner window.
constexpr uint32_t kMsgRefill = 0x1406;      // 0, the CMidiOut
constexpr uint32_t kMsgTempo = 0x1407;       // beats per minute, 0
constexpr uint32_t kMsgMidiOutClose = 0x3C8; // 0, the CMidiOut
// Posted to an input's owner window.
constexpr uint32_t kMsgMidiInData = 0x3C3;  // 0, the CMidiIn
constexpr uint32_t kMsgMidiInClose = 0x3C2; // 0, the CMidiIn
// Posted to a wave output's window.
constexpr uint32_t kMsgWavePrepare = 0x402; // 0, the CWaveOut
constexpr uint32_t kMsgWaveStart = 0x403;   // 0, the CWaveOut

// Error codes of the exported operations.
constexpr unsigned kNoError = 0;
constexpr unsigned kError = 1;
constexpr unsigned kBadDeviceId = 2;
constexpr unsigned kAllocated = 4; // the device is held elsewhere
constexpr unsigned kNoDriver = 6;
constexpr unsigned kNoMemory = 7;
constexpr unsigned kNotReady = 67;
constexpr unsigned kTimerError = 97;
constexpr unsigned kQueueFull = 0xFFFFFFFFu;

// Device number of the system's default MIDI output.
constexpr uint32_t kMidiMapper = 0xFFFFFFFFu;

// The kind of a status byte in filter words; -1 for bytes that are never filtered (0xF7, the
// tempo status 0 and data bytes).
constexpr int MidiKind(uint8_t status) {
    if (status >= 0x80 && status <= 0xEF) return (status >> 4) - 8;
    if (status >= 0xF0 && status <= 0xF6) return (status & 0x0F) + 7;
    if (status >= 0xF8) return (status & 0x0F) + 6;
    return -1;
}

constexpr bool Filtered(uint32_t filters, uint8_t status) {
    int kind = MidiKind(status);
    return kind >= 0 && (filters & (1u << kind)) != 0;
}

} // namespace dsync
