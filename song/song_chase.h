// The chase: what the events before a start tick leave behind, so that a play from a later beat
// sounds as that part of the whole song does.
//
// The song's merge is walked from its start up to the start tick, as a play from the start would
// hand it out. What it finds:
//   - the tempo in force at the start (tempo events taken as the MIDI output takes them);
//   - for each output, on each MIDI channel: the bank in force at the last program change, the
//     program, the bank selected since, the last value of every controller, the registered and
//     non-registered parameters with the selection restored as the song left it, the pitch bend
//     and the channel pressure. A reset of all controllers forgets what it resets. Notes are not
//     chased: a note struck before the start is not struck again;
//   - the waves still sounding at the start, each resuming that far into its data. A wave plays
//     as the wave output plays it: to the end of its data at its rate (the entry's rate, when the
//     wave lets the output change its frequency, held to the mixer's range), or round and round
//     when it loops, and no longer than a duration of its own when it has one. The time it has
//     played is measured with the tempo changes before the start.
// One implementation serves the play engine's Play and the offline renderer, which drives it.
//
// Everything here runs on the user-interface thread; it is not real-time code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CSongDoc;
class EventWave;

// A wave that sounds at the moment play starts.
struct ChasedWave {
    int entry = 0;
    uint32_t time = 0; // where it began, in ticks
    // A reference copy (never releases the sound) with time := the start tick and start offset :=
    // the byte offset at which it resumes.
    std::unique_ptr<EventWave> wave;
};

struct ChaseRequest {
    uint32_t startTick = 0;   // in the song's play resolution
    uint32_t tempo = 1000000; // microseconds per beat at the song's start
    bool recording = false;   // entries armed for recording take no part
    bool followTempo = true;  // tempo events change the tempo
    int ports = 1;            // the outputs the state is kept for
    // The outputs (0 .. ports - 1) a MIDI event of an entry's device reaches; none for a device
    // whose events are dropped.
    std::function<void(int device, std::vector<int>& ports)> route;
};

struct SongChase {
    // The tempo in force at the start, 0 when no tempo event came before it.
    uint32_t tempo = 0;
    // For each output, the messages that set its channels up again, in an order in which they
    // take effect (short messages, status in the low byte).
    std::vector<std::vector<uint32_t>> messages;
    std::vector<ChasedWave> waves;
};

// Walks the song (which must be prepared, with its play resolution set) from its start to the
// start tick. Leaves the song seeked to 0: seek again before playing.
SongChase ChaseSong(CSongDoc& song, const ChaseRequest& request);
