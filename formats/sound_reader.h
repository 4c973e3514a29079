// Sound-file readers: AU, and chunk-walking readers for WAVE and AIFF/AIFF-C. A reader
// recognizes its file, chooses a sample decoder for the file's encoding and hands the sound data
// through it. Every malformed condition writes its diagnostic and makes the open fail; nothing
// here ends the program.
#pragma once

#include "events/wave_format.h"
#include "formats/decoders.h"
#include "formats/input_stream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sound {

enum class Container { Wave, Aiff, Au };
const char* ContainerName(Container c); // "wave", "aiff", "au"

class SoundReader : public ByteSource {
public:
    ~SoundReader() override;

    Container GetContainer() const { return container_; }
    Encoding GetEncoding() const { return decoder_->GetEncoding(); }
    unsigned Channels() const { return channels_; }
    uint32_t Rate() const { return rate_; }
    // Bytes of one output sample (1 for 8-bit PCM, 2 otherwise).
    int BytesPerSample() const { return decoder_->BytesPerSample(); }
    // The file's format tag for WAVE files, 0 for the others.
    uint16_t FormatTag() const { return formatTag_; }
    // The PCM format the wave data gets from this reader.
    WAVEFORMATEX TargetFormat() const;
    // Bytes of decoded sound data (whole blocks for IMA ADPCM).
    uint64_t DecodedBytes() const;

    // Reads up to n bytes of decoded samples (whole samples only); fewer at the end.
    size_t ReadDecoded(void* out, size_t n);
    // Back to the first sample.
    bool Rewind();
    // Moves to a decoded byte position when the encoding allows it (PCM and G.711).
    bool SeekDecoded(uint64_t position);
    bool CanSeek() const;
    // A decoder or the walker found the data malformed; the diagnostic has been written.
    bool Failed() const { return failed_ || decoder_->Failed(); }

    // Raw bytes of the sound data chunk (the decoder's source).
    size_t ReadBytes(void* out, size_t n) override;

protected:
    SoundReader(std::unique_ptr<InputStream> in, Container c) : in_(std::move(in)), container_(c) {}
    friend std::unique_ptr<SoundReader> OpenSoundReader(std::unique_ptr<InputStream> in);
    // Reads the headers and chooses the decoder; false (diagnostic written) when it cannot.
    virtual bool StartUp() = 0;
    // Sets the data window and the decoder after the format is known.
    bool CheckShape();

    std::unique_ptr<InputStream> in_;
    Container container_;
    std::unique_ptr<SampleDecoder> decoder_;
    unsigned channels_ = 0;
    uint32_t rate_ = 0;
    uint16_t formatTag_ = 0;
    unsigned samplesPerBlock_ = 0;
    size_t blockBytes_ = 0;
    uint64_t dataStart_ = 0;
    uint64_t dataLength_ = 0;
    uint64_t dataLeft_ = 0;
    bool haveData_ = false;
    bool failed_ = false;
    std::vector<uint8_t> scratch_;
};

// Recognizes the file (".snd" at 0 → AU; "RIFF" at 0 and "WAVE" at 8 → WAVE; "FORM" at 0 and
// "AIFF" or "AIFC" at 8 → AIFF) and starts its reader; null when no reader starts.
std::unique_ptr<SoundReader> OpenSoundReader(std::unique_ptr<InputStream> in);
std::unique_ptr<SoundReader> OpenSoundReader(const std::string& path);

// The sample rate of an 80-bit extended float as the AIFF reader reads it; false when the
// exponent is out of range (the rate would not fit 32 bits or be below 1).
bool AiffRate(const uint8_t ext[10], uint32_t* rate);

} // namespace sound
