// Sample decoders: each pulls the bytes of a file's sound data from its source and yields the
// samples the wave data holds: unsigned 8-bit bytes (excess 128) for 8-bit PCM of one or two
// channels, 16-bit signed host-order samples for everything else.
//
// Wider samples (24- and 32-bit PCM, 32- and 64-bit IEEE float) are converted to 16 bits as they
// are read: rounded to the nearest step, a value exactly halfway between two steps going to the
// upper one (toward plus infinity), and held to -32768 .. 32767; no dither, so the same file
// always gives the same samples. Float full scale is 1.0 (32768 steps); NaN gives 0. A sound of
// more than two channels is mixed down to two (MakePlainDecoder), each side the mean of the
// channels that feed it, rounded once.
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

// WAVE format tags read beside those of events/wave_format.h.
constexpr uint16_t kWaveTagIeeeFloat = 3;
constexpr uint16_t kWaveTagExtensible = 0xFFFE;

// Encodings the readers know, named for diagnostics and the command line.
enum class Encoding {
    PcmU8,     // 8-bit unsigned (excess 128)
    PcmS8,     // 8-bit signed
    PcmS16LE,  // 16-bit little-endian
    PcmS16BE,  // 16-bit big-endian
    MuLaw,     // ITU G.711 mu-law
    ALaw,      // ITU G.711 A-law
    ImaMs,     // IMA ADPCM, Microsoft blocks
    ImaApple,  // IMA ADPCM, Apple packets
    PcmS24LE,  // 24-bit little-endian
    PcmS24BE,  // 24-bit big-endian
    PcmS32LE,  // 32-bit little-endian
    PcmS32BE,  // 32-bit big-endian
    Float32LE, // IEEE 754 single precision, little-endian
    Float32BE, // IEEE 754 single precision, big-endian
    Float64LE, // IEEE 754 double precision, little-endian
    Float64BE, // IEEE 754 double precision, big-endian
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

// Makes a decoder of a plain encoding (PCM, float or G.711) of one or two channels; null for the
// IMA encodings.
std::unique_ptr<SampleDecoder> MakePcmOrG711Decoder(Encoding e, ByteSource& source);

// The plain encodings: every sample stands alone in a fixed number of bytes.
bool IsPlainEncoding(Encoding e);
// Bytes of one sample of a plain encoding in the file; 0 for the IMA encodings.
unsigned EncodedSampleBytes(Encoding e);

// The largest channel count a plain sound may have (each frame is mixed down to two).
constexpr unsigned kMaxMixedChannels = 256;

// How a file lays out the samples of a plain encoding.
struct PlainLayout {
    Encoding encoding = Encoding::PcmS16LE;
    unsigned channels = 1; // in the file, 1 .. kMaxMixedChannels
    // Where the channels sound, for the mix-down of more than two: the WAVE speaker positions
    // (bit 0 front left, 1 front right, 2 front centre, 3 low-frequency effects, 4 back left,
    // ... 17 top back right) of the channels in order. Without a mask, WAVE files follow the
    // speaker order itself; other files alternate left and right.
    uint32_t channelMask = 0;
    bool waveSpeakerOrder = false;
};
// The channels a decoder of the layout yields: the file's, or two for more than two.
inline unsigned DecodedChannels(const PlainLayout& l) {
    return l.channels > 2 ? 2 : l.channels;
}
// The decoder of a plain layout: MakePcmOrG711Decoder for one or two channels; for more, a
// decoder that mixes each frame down to two 16-bit channels. Null for an IMA encoding, or no
// channels or more than kMaxMixedChannels.
//
// The mix-down: each channel feeds the left side, the right side, both (centre positions), or
// neither (low-frequency effects). Positions with left in their name feed the left; front and
// back centre and the top centre positions feed both. Each side is the mean of the channels that
// feed it, so it never clips; a side that nothing feeds takes the other side.
std::unique_ptr<SampleDecoder> MakePlainDecoder(const PlainLayout& layout, ByteSource& source);

// A value in 16-bit steps rounded to a 16-bit sample as the decoders round (see above).
int16_t RoundToPcm16(double steps);
// A 32-bit sample (24-bit samples shifted up by 8) rounded to 16 bits the same way.
inline int16_t RoundPcm32To16(int32_t v) {
    const int64_t r = (int64_t(v) + 0x8000) >> 16;
    return static_cast<int16_t>(r > 32767 ? 32767 : r);
}
std::unique_ptr<SampleDecoder> MakeImaMsDecoder(ByteSource& source, unsigned channels,
                                                unsigned samplesPerBlock, size_t blockBytes);
std::unique_ptr<SampleDecoder> MakeImaAppleDecoder(ByteSource& source, unsigned channels);

// The shared G.711 expansion tables (built once, on first use, thread-safe).
const int16_t* MuLawTable();
const int16_t* ALawTable();

// Samples a decoder yields for encodedBytes of data (whole blocks or packets only for IMA) of a
// sound of one or two channels.
uint64_t DecodedSamples(Encoding e, uint64_t encodedBytes, unsigned channels,
                        unsigned samplesPerBlock, size_t blockBytes);

} // namespace sound
