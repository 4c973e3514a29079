// What the wave nodes need from the sound files, and the sounds they own.
//
// The node library sits beside the sound-file layer, not above it: the compiler's temporary
// file, the source files of FxWaveFile and FxWaveTable and the WAVE files `dendra-cli compile`
// writes are reached through WaveAccess, which the program installs at start-up (the documents
// layer implements it over the sound object, InstallNodeWaveAccess in
// documents/node_wave_access.h). Without one, nothing can be compiled or opened and the nodes
// say so.
//
// OwnedSound is the sound behind a node's own `wave` event. Wave events the node yields are
// references to it (flag bit 1): they never release it, and a device streaming one copies the
// event, not the sound. So that an event still held somewhere (a solution, a device's pending
// list, a song's stream) never reads a destroyed sound, a node that lets go of its sound retires
// it instead of destroying it: retired sounds live until the program ends, and all but the most
// recent kRetiredOpen of them are closed (under their wave's mutex), after which they read as
// empty.
//
// Everything here runs on the user-interface thread.
#pragma once

#include "events/song_event.h"
#include "events/wave_format.h"

#include <cstdint>
#include <string>

class WaveSound;

class WaveAccess {
public:
    virtual ~WaveAccess() = default;
    // A new, empty sound in a fresh hidden temporary file, of `format` (PCM, 8 or 16 bits, one
    // or two channels); info takes the format. `path` receives the file's name. Null with
    // *error set when the file cannot be made.
    virtual WaveSound* CreateTemporary(WaveInfo& info, const WAVEFORMATEX& format,
                                       std::string& path, std::string* error) = 0;
    // Grows (with silence) or shrinks a sound made by CreateTemporary to `bytes` bytes.
    virtual bool SetLength(WaveSound& sound, WaveInfo& info, uint32_t bytes) = 0;
    // Opens a sound file (WAVE, AIFF, AU) for reading; info takes its PCM format. Null with
    // *error set when it cannot be opened.
    virtual WaveSound* OpenForReading(WaveInfo& info, const std::string& path,
                                      std::string* error) = 0;
    // Writes a sound made or opened here as a PCM WAVE file at path (a temporary file renamed
    // over it). False with *error set when it cannot.
    virtual bool SaveAsWave(WaveSound& sound, WaveInfo& info, const std::string& path,
                            std::string* error) = 0;
};

WaveAccess* GetWaveAccess();
// Installs the access (null: none); returns the previous one. The caller keeps ownership.
WaveAccess* SetWaveAccess(WaveAccess* access);

// The sound file formats the wave nodes hold: PCM, one or two channels, 8 or 16 bits, a rate of
// kMinWaveRate to kMaxWaveRate Hz, block align and bytes per second that agree.
constexpr uint32_t kMinWaveRate = 1000;
constexpr uint32_t kMaxWaveRate = 192000;
bool IsWaveNodeFormat(const WAVEFORMATEX& format);
// A PCM format with consistent block align and bytes per second.
WAVEFORMATEX PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits);
// The standard formats' flags (1 to 2048: 11025, 22050 or 44100 Hz, mono or stereo, 8 or 16
// bits), 0 for any other format; and back (a flag that is no single standard format gives the
// default 11025 Hz mono 8-bit).
int WaveFormatFlag(const WAVEFORMATEX& format);
WAVEFORMATEX WaveFormatOfFlag(int flag);
// The label the sample-format table gives a flag ("INVALID FORMAT" for any other value).
const char* WaveFormatLabel(int flag);

// The sound behind a node's `wave` event.
class OwnedSound {
public:
    static constexpr int kRetiredOpen = 32;

    OwnedSound() = default;
    ~OwnedSound() { Retire(); }
    OwnedSound(const OwnedSound&) = delete;
    OwnedSound& operator=(const OwnedSound&) = delete;

    // Puts `sound` behind `wave` (named `name`), retiring the sound held before.
    void Adopt(EventWave& wave, WaveSound* sound, const std::string& name);
    // Retires the sound held (the wave event keeps pointing at it until Adopt or the wave's
    // end; call Detach first when the wave lives on).
    void Retire();
    // Retires the sound and clears the wave's pointer to it.
    void Detach(EventWave& wave);
    WaveSound* Get() const { return sound_; }

    // Closes every retired sound (at the program's end; tests).
    static void CloseAllRetired();
    static size_t RetiredCount();

private:
    WaveSound* sound_ = nullptr;
    std::string name_;
};

// A new wave event that refers to `wave`'s sound without owning it, at time t.
EventWave* MakeWaveReference(const EventWave& wave, uint32_t t);
