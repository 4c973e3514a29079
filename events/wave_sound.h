// The sound object behind a wave event: a sound file, a temporary file, or sound held in memory.
//
// A wave event and its copies share one sound object; which of them releases it is decided by the
// event's flag bits (see EventWave). The sound reads and updates the WaveInfo of the event it is
// used through (format, bytes per sample, name). Positions are in bytes of sound data unless said.
#pragma once

#include <cstdint>

class CArchive;
struct WaveInfo;
struct WAVEFORMATEX;

class WaveSound {
public:
    virtual ~WaveSound() = default;

    // Closes any file behind the sound; further reads yield nothing.
    virtual void Close() = 0;
    // Reads up to `bytes` bytes at the current position; returns the count read.
    virtual uint32_t Read(WaveInfo& info, void* buffer, uint32_t bytes) = 0;
    // Writes `bytes` bytes at the current position (overwriting, growing at the end); returns the
    // count written, 0 when the sound cannot be written.
    virtual uint32_t Write(WaveInfo& info, const void* buffer, uint32_t bytes) = 0;
    // Moves the current position to an absolute byte offset; false when at or past the end.
    virtual bool SeekBytes(WaveInfo& info, uint32_t position) = 0;
    virtual uint32_t TellBytes() const = 0;
    // Length of the sound data in bytes.
    virtual uint32_t DataLength() const = 0;
    // A new, independent sound with the same samples and format.
    virtual WaveSound* Copy(WaveInfo& info) const = 0;
    // What GetValue/SetValue of a wave event mean for this sound.
    virtual double GetValue(const WaveInfo&) const { return 0.0; }
    virtual void SetValue(WaveInfo&, double) {}
    // False when the sound cannot be written (a file opened for reading only).
    virtual bool IsWritable() const { return true; }
    // The sound's data proved damaged or unreadable while it was read: reads give nothing more.
    // Asked by a streaming thread after a short read (under the wave's mutex); allocates nothing.
    virtual bool ReadFailed() const { return false; }
    // Changes the format of the sound, converting the samples when convert is set. False when the
    // sound cannot be written or the conversion fails; the sound is then unchanged.
    virtual bool SetFormat(WaveInfo& info, const WAVEFORMATEX& format, bool convert) = 0;
    // Stores (or, loading, reads) the sound's own data after an event's has-data field.
    virtual void Serialize(CArchive& ar, WaveInfo& info) = 0;
};

// Makes the sound object that a stored wave event with data reads itself into. The sound-file
// layer installs this factory; until then stored sound data cannot be read back.
using WaveSoundFactory = WaveSound* (*)();
void SetWaveSoundFactory(WaveSoundFactory factory);
WaveSound* MakeWaveSoundForLoading();
