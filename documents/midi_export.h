// Exporting a channel of any channel document as a Standard MIDI File: the commands "Saves the
// current file as MIDI." and "Will export a type 0 MIDI file (one track maximum)."
//
// Used on the user-interface thread only.
#pragma once

#include <string>

class CChanDoc;
struct ChannelMixRecord;

// Command ids of the channel documents' export commands.
constexpr int kCmdExportMidi = 32892;
constexpr int kCmdExportMidiType0 = 32901;
constexpr int kCmdExportWord = 32889;
constexpr int kCmdChangeTicksPerBeat = 32895;

// Writes the events of `channel` of `source` to `path` through a temporary MIDI document (one
// channel, so always format 0) in the source's units per beat. The track is named from `mix`
// when given. `tempoBpm` 0 takes the clock's tempo (60 beats per minute without one). False,
// with a message shown, when the file cannot be written; an existing file is then left as it was.
bool ExportChannelAsMidi(CChanDoc& source, int channel, const std::string& path, bool type0,
                         double tempoBpm = 0.0, ChannelMixRecord* mix = nullptr);

// "Save the current file as a Word.": writes a tree document to `path` whose Root holds one Word
// carrying a copy of the channel's events, converted from the source's units per beat to the
// tree's thousandths of a beat; the Root and the Word span the events (their last end). False, with
// a message shown, when it cannot be written.
bool ExportChannelAsWord(CChanDoc& source, int channel, const std::string& path);
