// Sample decoders: each pulls the bytes of a file's sound data from its source and yields the
// samples the wave data holds: unsigned 8-bit bytes (excess 128) for 8-bit PCM, 16-bit signed
// host-order samples for everything else.
#pragma once

#include "formats/ima_adpcm.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sound {

// Where a decoder takes its bytes from. ReadBytes returns fewer than asked only at the end.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual size_t ReadBytes(void* out, size_t n) = 0;
};

// Encodings the readers know, named for diagnostics and the command line.
enum class Encoding {
    PcmU8,    // 8-bit unsigned (excess 128)
    PcmS8,    // 8-bit signed
    PcmS16LE, // 16-bit little-endian
    PcmS16BE, // 16-bit big-endian
    MuLaw,    // ITU G.711 mu-law
    ALaw,     // ITU G.711 A-law
    ImaMs,    // IMA ADPCM, Microsoft blocks
    ImaApple, // IMA ADPCM, Apple packets
};
const char* EncodingName(Encoding e);

class SampleDecoder {
public:
    explicit SampleDecoder(ByteSource& source) : source_(source) {}
    virtual ~SampleDecoder() = default;
    SampleDecoder(const SampleDecoder&) = delete;
    SampleDecoder& operator=(const SampleDecoder&) = delete;

    virtual Encoding GetEncoding() const = 0;
    // 1 for 8-bit PCM, 2 for every other encoding.
    virtual int BytesPerSample() const { return 2; }
    // Decodes up to count samples into out (uint8_t[count] or int16_t[count] by BytesPerSample);
    // fewer at the end of the data, 0 when exhausted or failed.
    virtual size_t Decode(void* out, size_t count) = 0;
    // The data was found malformed beyond what decoding can go on with; the diagnostic has been
    // written. The reader's open fails.
    bool Failed() const { return failed_; }
    // Forgets any partly used sample, block or packet and the running state (after the source
    // was moved back to the start of the data or to a sample boundary).
    virtual void Reset() {}

    // A decoder offers no rate or channel ranges of its own: these write their diagnostic and
    // return false.
    bool MinMaxSamplingRate(uint32_t* lo, uint32_t* hi) const;
    bool MinMaxChannels(unsigned* lo, unsigned* hi) const;

    // The samples as 16-bit values (8-bit PCM widened: (u - 128) × 256).
    size_t GetSamples(int16_t* out, size_t count);

protected:
    ByteSource& source_;
    bool failed_ = false;
};

// Makes a decoder of a plain encoding (PCM or G.711); null for the IMA encodings.
std::unique_ptr<SampleDecoder> MakePcmOrG711Decoder(Encoding e, ByteSource& source);
// Writes "Encoding: IMA ADPCM (Microsoft variant)" and the rest when made.
std::unique_ptr<SampleDecoder> MakeImaMsDecoder(ByteSource& source, unsigned channels,
                                                unsigned samplesPerBlock, size_t blockBytes);
std::unique_ptr<SampleDecoder> MakeImaAppleDecoder(ByteSource& source, unsigned channels);

// The shared G.711 expansion tables (built once, on first use, thread-safe).
const int16_t* MuLawTable();
const int16_t* ALawTable();

// Samples a decoder yields for encodedBytes of data (whole blocks or packets only for IMA).
uint64_t DecodedSamples(Encoding e, uint64_t encodedBytes, unsigned channels,
                        unsigned samplesPerBlock, size_t blockBytes);

} // namespace sound
