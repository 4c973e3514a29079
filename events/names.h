// Naming tables: note names, percussion names and General MIDI instrument names.
#pragma once

#include <cstdint>
#include <string>

// Appends the pitch name and octave of a key ("C 3" for 60; the octave number changes at A).
void AppendNoteName(std::string& text, uint8_t key);
// Appends the percussion name of keys 35 to 81; other keys append nothing.
void AppendDrumName(std::string& text, uint8_t key);
// The percussion name of a key, or null outside 35..81.
const char* DrumName(uint8_t key);
// The instrument name of program 0..127 (the system's own spellings), or null.
const char* InstrumentName(int program);
constexpr int kInstrumentCount = 128;
constexpr int kFirstDrumKey = 35;
constexpr int kLastDrumKey = 81;
