// Exporting a whole song as a Standard MIDI File (format 1).
//
// Track 0 holds the tempo: the export tempo at its start and every tempo event of the entries
// at its merged time. Then one track per entry, named after the entry, beginning with its
// program change, MIDI volume (controller 7) and pan (controller 10) on the entry's channel,
// followed by the entry's MIDI events exactly as the song's merge gives them for play: start
// offset, rate and loop applied, keys transposed, note-on velocities scaled by the MIDI volume;
// each note ends with a note-off at the end of its duration. Muted entries and entries sent to
// no device (100) give a track with their name only; wave events are left out. The division is
// the song's play resolution. The export runs the merge from the start, so the song must not be
// playing; it is left positioned at 0.
//
// Used on the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CSongDoc;

struct SongExportOptions {
    // The tempo at the start, in beats per minute (0: 60).
    double tempoBpm = 0.0;
    // Where the export ends, in beats (0: the song's length, computed when unknown). Looping
    // entries repeat up to it.
    uint32_t endBeat = 0;
};

// Writes the file through a temporary file renamed over `path`. False, with "Problem opening
// MIDI." shown, when it cannot be written; an existing file is then left as it was.
bool ExportSongAsMidi(CSongDoc& song, const std::string& path,
                      const SongExportOptions& options = {});
// The same file's bytes in memory.
std::vector<uint8_t> ExportSongToMidiBytes(CSongDoc& song, const SongExportOptions& options = {});
