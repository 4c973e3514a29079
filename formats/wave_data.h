// The sound object behind a wave event: the samples of one sound in one of four stores.
//
//   - a WAVE file opened for reading (not open for writing), or a hidden temporary WAVE file
//     written with compressed data decoded to PCM;
//   - an AU-style temporary file (QUAVn.TMP) open for reading and writing;
//   - a sound-file reader (AIFF, AU, WAVE through the chunk walker), read only;
//   - memory, in 16384-byte EventBlocks whose time field holds each block's first byte offset.
//
// The samples are always PCM as the WaveInfo's format says: unsigned 8-bit (silence 0x80) or
// signed 16-bit little-endian (silence 0), one or two channels. Every operation that fails
// leaves the sound and the info as they were, and says why in its result; opening also hands
// back the notes the reader wrote (see formats/result.h). Nothing here shows a message.
//
// Used on the user-interface thread and, through the wave event's mutex, by the streaming
// threads of the wave devices (Read, SeekBytes and ReadFailed only: they allocate nothing and
// report nothing; a sound whose data proves damaged while a stream reads it gives no more bytes
// and says so through ReadFailed, for the device to tell the user-interface thread).
#pragma once

#include "events/wave_format.h"
#include "events/wave_sound.h"
#include "formats/decoders.h"
#include "formats/result.h"
#include "formats/sound_reader.h"

#include <cstdint>
#include <memory>
#include <string>

struct WaveInfo;

namespace sound {

enum class StoreKind { None, WaveRead, WaveTemp, AuTemp, Reader, Memory };
const char* StoreKindName(StoreKind k);

class SoundStore;

class WaveData : public WaveSound {
public:
    WaveData();
    ~WaveData() override;

    // WaveSound.
    void Close() override;
    uint32_t Read(WaveInfo& info, void* buffer, uint32_t bytes) override;
    uint32_t Write(WaveInfo& info, const void* buffer, uint32_t bytes) override;
    bool SeekBytes(WaveInfo& info, uint32_t position) override;
    uint32_t TellBytes() const override { return pos_; }
    uint32_t DataLength() const override;
    WaveSound* Copy(WaveInfo& info) const override;
    // The sample at the current position as -1..1 (the position does not move).
    double GetValue(const WaveInfo& info) const override;
    // Writes one sample (8-bit: (x + 1) × 127.5, 16-bit: x × 32767, truncated) and steps on.
    void SetValue(WaveInfo& info, double v) override;
    bool IsWritable() const override;
    bool ReadFailed() const override;
    bool SetFormat(WaveInfo& info, const WAVEFORMATEX& format, bool convert) override;
    // Format record (18 bytes), bytes per sample (16 bits), data length (32 bits), the data.
    void Serialize(CArchive& ar, WaveInfo& info) override;

    // Opens a WAVE file through the WAVE layer for reading. Compressed data (IMA ADPCM, G.711)
    // is decoded into tempPath, a hidden temporary WAVE file, which becomes the store. Fails with
    // the WAVE layer's result, the decoder's (its text also the last note), or Refused when
    // compressed data has no tempPath; the sound is then unchanged. Notes get the encoding of
    // compressed data and what decoding met (may be null).
    formats::Result OpenWave(WaveInfo& info, const std::string& path, const std::string& tempPath,
                             formats::Notes* notes = nullptr);
    // Opens any sound file through the sound-file readers, read only; fails with the reader's
    // result, the sound unchanged. Notes get what the reader wrote (may be null).
    formats::Result OpenSoundFile(WaveInfo& info, const std::string& path,
                                  formats::Notes* notes = nullptr);
    // A new, empty AU temporary store of info's format at tempPath.
    formats::Result CreateTempAu(WaveInfo& info, const std::string& tempPath);
    // Copies the samples into a new AU temporary store at tempPath and makes it the store. A
    // reader's store is decoded on the way: notes get what decoding met, and damage that stops
    // it fails the copy with the decoder's result.
    formats::Result CopyToTempAu(WaveInfo& info, const std::string& tempPath,
                                 formats::Notes* notes = nullptr);
    // Copies the samples into memory blocks and makes them the store.
    formats::Result MakeMemory(WaveInfo& info);

    // Writes the sound as a WAVE file at path: PCM of the sound's format, or IMA ADPCM (format
    // tag 17, Microsoft blocks) when compress is set. The file is written beside path and
    // renamed over it, so a failure leaves any existing file as it was. When the store reads
    // from path itself, the sound goes on reading from the new file (PCM) or from memory
    // (compressed). Fails with Refused (not PCM), CannotOpen (no file beside path) or
    // WriteFailed.
    formats::Result SaveAsWave(WaveInfo& info, const std::string& path, bool compress);

    // Editing primitives on writable stores (positions and counts in bytes).
    uint32_t ReadAt(uint32_t position, void* out, uint32_t n) const;
    uint32_t WriteAt(uint32_t position, const void* data, uint32_t n);
    // Opens a gap of n bytes at position and copies data (null: silence) into it.
    bool Insert(uint32_t position, const void* data, uint32_t n);
    // Removes n bytes at position, closing the gap.
    bool Erase(uint32_t position, uint32_t n);
    bool SetLength(uint32_t n, bool fill);
    uint8_t SilenceByte() const { return format_.wBitsPerSample == 8 ? 0x80 : 0x00; }

    StoreKind Kind() const;
    // The file behind the store (empty for memory).
    std::string StorePath() const;
    const WAVEFORMATEX& Format() const { return format_; }
    // What the file that was opened held (for WAVE files through the layer, the tag of the
    // file; the container and encoding of the reader otherwise).
    uint16_t SourceFormatTag() const { return sourceTag_; }
    Container SourceContainer() const { return sourceContainer_; }
    Encoding SourceEncoding() const { return sourceEncoding_; }

private:
    void Adopt(WaveInfo& info, std::unique_ptr<SoundStore> store, const WAVEFORMATEX& format);
    formats::Result CopyAll(SoundStore& to) const;

    std::unique_ptr<SoundStore> store_;
    WAVEFORMATEX format_;
    uint32_t pos_ = 0;
    uint16_t sourceTag_ = kWaveFormatPcm;
    Container sourceContainer_ = Container::Wave;
    Encoding sourceEncoding_ = Encoding::PcmU8;
};

// Installs the factory that makes a WaveData for stored wave events with data.
void InstallWaveSoundFactory();

// Encodes PCM (8 or 16 bits; 8-bit is widened) as IMA ADPCM in Microsoft blocks: the format
// the usual codecs choose (256 bytes per channel per block at 11025 Hz and below, 512 up to
// 22050 Hz, 1024 above), its two extra bytes (samples per block), and the blocks.
struct ImaMsLayout {
    WAVEFORMATEX format;
    unsigned samplesPerBlock = 0;
    uint16_t extra = 0;
};
ImaMsLayout ImaMsLayoutFor(const WAVEFORMATEX& pcm);

} // namespace sound
