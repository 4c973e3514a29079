// The settings of one entry of a song: which output its events go to and how the song's merge
// changes them (levels, pan, rate, transpose, MIDI channel and program, start offset, loop).
//
// Stored in song files in two forms: the current one (a marker word and a wave volume) and the
// older one without them. Values read from a file are held to ranges that keep every later
// computation defined: MIDI volume and volume 0..10, balance 0..1, channel 0..15, program 0..127,
// rate 0.01..100, loop length at least 10.
#pragma once

#include "documents/mix_record.h"

#include <cstdint>
#include <string>

class CArchive;

// Output device numbers of entries and of the play engine.
constexpr int32_t kDeviceNone = 100;    // the events are dropped
constexpr int32_t kDeviceAllMidi = 101; // every open MIDI output
constexpr int32_t kDeviceDefault = 102; // the default output

constexpr float kMinEntryRate = 0.01f;
constexpr float kMaxEntryRate = 100.0f;
constexpr uint32_t kMinLoopLength = 10;
constexpr uint32_t kDefaultLoopLength = 100000000;
constexpr float kMaxEntryLevel = 10.0f;

// The inherited mixing record holds the display name (name), the path (sourcePath), the MIDI
// volume (volume), the balance (pan), the MIDI channel and the program.
struct EntrySettings : ChannelMixRecord {
    int32_t device = kDeviceDefault;
    float waveVolume = 0.9f; // volume of the entry's wave events
    int32_t muted = 0;       // non-zero: the entry takes no part in play
    // The document channel the entry plays (1-based; 0: unknown, the entries of one path then
    // take the document's channels in their order). Older files keep their value here.
    int32_t word1 = 0;
    int32_t transpose = 0;    // added to note and key-pressure keys
    int32_t word2 = 1000;     // stored and restored unchanged
    float rate = 1.0f;        // speed factor; also the rate factor of the entry's wave events
    double scale = 1.0;       // derived: document units per beat × rate / song units per beat
    int32_t loop = 0;         // 1: the entry repeats every loop length
    uint32_t startOffset = 0; // song time at which the entry begins
    uint32_t loopLength = kDefaultLoopLength; // in song units

    const std::string& DisplayName() const { return name; }
    const std::string& Path() const { return sourcePath; }
    float MidiVolume() const { return volume; }
    float Balance() const { return pan; }
    // Holds every field to its range (see above).
    void HoldToRanges();
};

// Current form (marker u16 1, name, path, device, MIDI volume ×1000, volume ×1000, muted, word,
// transpose, program, channel, word, balance ×1000, rate ×1000, loop, start offset, loop length).
void WriteEntrySettings(CArchive& ar, const EntrySettings& settings);
// Reads the current form (currentForm) or the older one (no marker, no volume: the volume keeps
// the value `out` had). Values are held to their ranges. False when the archive ran short (the
// archive is then failed and `out` may be partly changed).
bool ReadEntrySettings(CArchive& ar, EntrySettings& out, bool currentForm);

// The device a stored device number stands for, given the number of devices in the table:
// 100, 101 and 102 as they are, a table index as it is, anything else the default output (102).
int32_t ResolveEntryDevice(int32_t device, int tableSize);

// The MIDI volume as the controller value the entry sends: volume × 127.9 truncated, 0..127,
// 0 when muted.
uint8_t EntryVolumeController(const EntrySettings& settings);
// The balance as the pan controller value: balance × 127, 0..127.
uint8_t EntryPanController(const EntrySettings& settings);
