// The offline renderer: plays a song faster than real time into a WAV file.
//
// The play engine plays the song as Play does (the same fill, beat handling, entry settings and
// chase), through a MIDI output on the built-in synthesizer and a wave output on an offline
// mixer, with the clock on the manual timer; the renderer pulls the mix period by period and
// writes it. The synthesizer places every message on the sample of the tick it was dispatched
// for, and wave events start at the period their clock time falls in, mixed with their volume,
// balance and rate. The song part ends when the engine has handed out the whole song and nothing
// waits to sound, or at the end beat, where every note is ended and every sound stopped; then the
// render goes on until the sound has decayed below -96 dBFS, for at most ten seconds. The output
// is 16-bit stereo PCM written by the WAVE writer into a temporary file that is renamed into
// place. With the same input, seed and options every render gives the same bytes.
//
// Like a play, a render first sends every entry's level, balance and program. A render from a
// later beat then sets up what the events before that beat left behind (song_chase.h), so that
// it sounds as that part of the whole song does: the tempo in effect, and on each MIDI channel
// the bank and program, the last value of every controller, the registered and non-registered
// parameters, the pitch bend and the channel pressure; sounds that are still playing resume
// partway into their data. Notes struck before the start are not struck again.
//
// Everything here runs on the calling thread (the streaming threads of long sounds aside); it
// drains the posted-message queue while it renders. It is not real-time code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CSongDoc;
class EventWave;

struct RenderOptions {
    std::string soundFont; // "" for the usual search
    uint32_t sampleRate = 44100;
    double tempoBpm = 0.0; // the starting tempo; 0 for 60, as the clock starts when playing
    double fromBeat = 0.0;
    double toBeat = -1.0; // < 0: to the end of the song
    // The MIDI output device the song plays through: 0, the built-in synthesizer, which is what
    // is heard. Another number (a loopback port in tests) receives the messages instead.
    uint32_t midiDevice = 0;
    // Called now and then with the part done, 0..1.
    std::function<void(double)> progress;
    // Called with each wave event the wave output takes (its time, sound and start offset).
    std::function<void(const EventWave&)> waveTaken;
    // The free bytes of the file system of a folder; empty: asked of the system. False when
    // unknown (the render then goes ahead).
    std::function<bool(const std::string& folder, uint64_t* freeBytes)> freeSpace;
};

struct RenderResult {
    uint64_t frames = 0;      // frames written
    uint64_t songFrames = 0;  // frames up to the end of the song (before the tail)
    uint64_t lateEvents = 0;  // MIDI events handed to the output after their time had passed
    uint64_t midiEvents = 0;  // MIDI events handed to the output
    uint64_t waveEvents = 0;  // wave events handed to the output
    uint64_t setupEvents = 0; // entry settings and chased state sent before the first event
    uint64_t chasedWaves = 0; // sounds resumed partway at the start beat
    float peak = 0.0f;        // largest absolute sample
};

// Opens any input the renderer takes: a song file as it is, a tree, a MIDI file, an event list or
// a sound as a song of that one document. Null with *error set when it cannot be read.
std::unique_ptr<CSongDoc> OpenRenderInput(const std::string& path, std::string* error);

// Renders the song into a WAV file. False with *error set when nothing could be rendered (no
// soundfont, a bad option), when the output would not fit in the free space of the target's file
// system (refused up front, saying the bytes needed and the length of the sound: the song's beats
// at the starting tempo plus the longest tail), or when the file could not be written; the target
// is then left as it was, and no temporary file stays behind.
bool RenderSong(CSongDoc& song, const std::string& outPath, const RenderOptions& options,
                RenderResult* result, std::string* error);
