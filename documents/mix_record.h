// The mixing record of one channel: what a song's mixer keeps about a channel of an included
// document (its name, source, MIDI level, pan, MIDI channel and program). The song's entry
// settings (song/entry_settings.h) extend it; a MIDI document reads a track's properties into
// it and names its tracks from it when saving.
#pragma once

#include <string>

struct ChannelMixRecord {
    std::string name;       // the display name
    std::string sourcePath; // the document's file path
    float volume = 0.9f;    // MIDI level, 0..10 (1 is full); velocities are scaled by it
    float pan = 0.5f;       // 0 left, 0.5 centre, 1 right
    int channel = 0;        // MIDI channel 0..15
    int program = 0;        // 0..127
};
