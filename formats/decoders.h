// Sample decoders: each pulls the bytes of a file's sound data from its source and yields the
// samples the wave data holds: unsigned 8-bit bytes (excess 128) for 8-bit PCM, 16-bit signed
// host-order samples for everything else.
//
// Decoding may run on a streaming thread, so a decoder records what it meets without
// allocating: damage it reads past and the failure that stops it are kept as texts (literals, or
// text made when the decoder was) that its owner collects as notes on its own thread.
#pragma once

#include "formats/ima_adpcm.h"
#include "formats/result.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
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
// The line that names an encoding on the standard error stream ("Encoding: 16-bit LSB PCM\n",
// "Encoding: IMA ADPCM (Microsoft variant) (stereo)\n", ...).
std::string EncodingNote(Encoding e, unsigned channels);

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
    // The data was found malformed beyond what decoding can go on with: Decode gives nothing
    // more, and a reader's open fails.
    bool Failed() const { return failure_ != nullptr; }
    // Malformed with the failure's text when failed; ok otherwise.
    formats::Result Status() const;
    // Forgets any partly used sample, block or packet and the running state (after the source
    // was moved back to the start of the data or to a sample boundary).
    virtual void Reset() {}

    // What decoding met so far, in order, each text once however often it came: damage read
    // past, then the failure if there was one. Texts live as long as the decoder.
    static constexpr size_t kMaxProblems = 4;
    size_t ProblemCount() const { return problemCount_; }
    const char* Problem(size_t i) const { return i < problemCount_ ? problems_[i] : nullptr; }

    // A decoder offers no rate or channel ranges of its own: Refused, with the text the system
    // writes for it ("MinMaxSamplingRate undefined\n", "MinMaxChannels undefined\n").
    formats::Result MinMaxSamplingRate(uint32_t* lo, uint32_t* hi) const;
    formats::Result MinMaxChannels(unsigned* lo, unsigned* hi) const;

    // The samples as 16-bit values (8-bit PCM widened: (u - 128) × 256).
    size_t GetSamples(int16_t* out, size_t count);

protected:
    // Both allocate nothing; `text` must live as long as the decoder.
    void Warn(const char* text);
    void Fail(const char* text);

    ByteSource& source_;

private:
    const char* failure_ = nullptr;
    const char* problems_[kMaxProblems] = {};
    size_t problemCount_ = 0;
};

// Makes a decoder of a plain encoding (PCM or G.711); null for the IMA encodings.
std::unique_ptr<SampleDecoder> MakePcmOrG711Decoder(Encoding e, ByteSource& source);
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
