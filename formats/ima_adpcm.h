// IMA ADPCM: the sample step shared by both layouts, the Microsoft block layout (WAVE format tag
// 17) decoder and encoder, and the Apple 34-byte packet layout (AIFF-C "ima4") decoder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sound {

constexpr int kImaMaxIndex = 88;
extern const int16_t kImaStepTable[kImaMaxIndex + 1];
extern const int8_t kImaIndexTable[16];

struct ImaState {
    int32_t predictor = 0; // a 16-bit signed value
    int32_t index = 0;     // 0..88
};

// One 4-bit code: moves the state and returns the new sample.
inline int16_t ImaStep(ImaState& s, unsigned code) {
    const int32_t step = kImaStepTable[s.index];
    int32_t diff = step >> 3;
    if (code & 1) diff += step >> 2;
    if (code & 2) diff += step >> 1;
    if (code & 4) diff += step;
    int32_t p = (code & 8) ? s.predictor - diff : s.predictor + diff;
    if (p > 32767) p = 32767;
    if (p < -32768) p = -32768;
    s.predictor = p;
    int32_t i = s.index + kImaIndexTable[code & 15];
    s.index = i < 0 ? 0 : (i > kImaMaxIndex ? kImaMaxIndex : i);
    return static_cast<int16_t>(p);
}

// The code that best moves the state toward sample; the state moves as a decoder's would.
unsigned ImaEncodeStep(ImaState& s, int32_t sample);

// Bytes of one Microsoft block: channels × ((samples per block + 7) / 2).
size_t ImaMsBlockBytes(unsigned channels, unsigned samplesPerBlock);
// The fewest bytes a block must have to hold samplesPerBlock frames.
size_t ImaMsRequiredBytes(unsigned channels, unsigned samplesPerBlock);
// Samples per block for a block of blockBytes (the inverse of ImaMsBlockBytes).
unsigned ImaMsSamplesPerBlock(unsigned channels, size_t blockBytes);

// Problems found in one block's headers.
struct ImaBlockErrors {
    bool badIndex = false;
    bool syncError = false;
};

// Decodes one Microsoft block of blockBytes bytes into interleaved frames (channels 1 or 2).
// Returns the frames produced: samplesPerBlock, or fewer when the block is too small to hold
// them. A header index beyond the table is reported in errors and decoding starts from index 0.
size_t ImaMsDecodeBlock(const uint8_t* block, size_t blockBytes, unsigned channels,
                        unsigned samplesPerBlock, int16_t* frames, ImaBlockErrors* errors);

// Encodes samplesPerBlock interleaved frames into one Microsoft block of
// ImaMsBlockBytes(channels, samplesPerBlock) bytes; state holds each channel's index across
// blocks. samplesPerBlock - 1 must be a multiple of 8.
void ImaMsEncodeBlock(const int16_t* frames, unsigned channels, unsigned samplesPerBlock,
                      ImaState* state, uint8_t* block);

// Decodes one 34-byte Apple packet of one channel into 64 samples written every `stride`
// samples. False (nothing written) when the header's index is beyond the table.
bool ImaAppleDecodePacket(const uint8_t* packet, ImaState& state, int16_t* out, size_t stride);

} // namespace sound
