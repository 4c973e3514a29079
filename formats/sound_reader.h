// Sound-file readers: AU, and chunk-walking readers for WAVE and AIFF/AIFF-C. A reader
// recognizes its file, chooses a sample decoder for the file's encoding and hands the sound data
// through it. Opening returns the reader with a result and the notes the reader wrote on the way
// (the container, the encoding, text chunks, chunks it skipped); a malformed file fails the open
// with the text that says why, which is also the last note. Nothing here ends the program or
// writes anywhere.
//
// A reader is used by one thread at a time; reading (ReadDecoded, SeekDecoded) allocates nothing
// beyond what the decoder holds and may run on a streaming thread.
#pragma once

#include "events/wave_format.h"
#include "formats/decoders.h"
#include "formats/input_stream.h"
#include "formats/result.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sound {

enum class Container { Wave, Aiff, Au };
const char* ContainerName(Container c); // "wave", "aiff", "au"

class SoundReader;

struct OpenedSound {
    std::unique_ptr<SoundReader> reader; // null when the open failed
    formats::Result result;
    formats::Notes notes;
};

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
    // The decoder found the data malformed: reads give nothing more.
    bool Failed() const { return decoder_ && decoder_->Failed(); }
    // Malformed with the decoder's text when failed; ok otherwise.
    formats::Result Status() const;
    // Appends what decoding met since the last call (damage read past, then the failure) to
    // `notes`, each text once. On the reader's owning thread, not while another thread reads.
    void TakeNotes(formats::Notes& notes);

    // Raw bytes of the sound data chunk (the decoder's source).
    size_t ReadBytes(void* out, size_t n) override;

protected:
    SoundReader(std::unique_ptr<InputStream> in, Container c) : in_(std::move(in)), container_(c) {}
    friend OpenedSound OpenSoundReader(std::unique_ptr<InputStream> in);
    // Reads the headers and chooses the decoder, noting what it sees.
    virtual formats::Result StartUp() = 0;
    // The channel count and rate the wave data can hold.
    formats::Result CheckShape();
    // Makes the decoder of a PCM or G.711 encoding, with its encoding note (none for the AU
    // temporary file's own encodings).
    formats::Result MakePlain(Encoding e, bool note);
    void Note(std::string text) { notes_.push_back(std::move(text)); }
    // Notes the text and returns it as the failure.
    formats::Result Fail(formats::Code code, std::string text);

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
    formats::Notes notes_; // while starting up
    size_t problemsNoted_ = 0;
};

// Recognizes the file (".snd" at 0 → AU; "RIFF" at 0 and "WAVE" at 8 → WAVE; "FORM" at 0 and
// "AIFF" or "AIFC" at 8 → AIFF) and starts its reader. Failures: CannotOpen (no input, or the
// path cannot be opened as a regular file), NotRecognized (none of those), and the reader's own:
// NotRecognized, Malformed or Unsupported with the text it wrote.
OpenedSound OpenSoundReader(std::unique_ptr<InputStream> in);
OpenedSound OpenSoundReader(const std::string& path);

// The sample rate of an 80-bit extended float as the AIFF reader reads it; false when the
// exponent is out of range (the rate would not fit 32 bits or be below 1).
bool AiffRate(const uint8_t ext[10], uint32_t* rate);

} // namespace sound
