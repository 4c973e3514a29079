#include "formats/ima_adpcm.h"

#include "platform/byte_cursor.h"

namespace sound {

const int16_t kImaStepTable[kImaMaxIndex + 1] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

const int8_t kImaIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

unsigned ImaEncodeStep(ImaState& s, int32_t sample) {
    int32_t diff = sample - s.predictor;
    unsigned code = 0;
    if (diff < 0) {
        code = 8;
        diff = -diff;
    }
    int32_t step = kImaStepTable[s.index];
    if (diff >= step) {
        code |= 4;
        diff -= step;
    }
    step >>= 1;
    if (diff >= step) {
        code |= 2;
        diff -= step;
    }
    step >>= 1;
    if (diff >= step) code |= 1;
    ImaStep(s, code);
    return code;
}

size_t ImaMsBlockBytes(unsigned channels, unsigned samplesPerBlock) {
    return static_cast<size_t>(channels) * ((static_cast<size_t>(samplesPerBlock) + 7) / 2);
}

size_t ImaMsRequiredBytes(unsigned channels, unsigned samplesPerBlock) {
    if (samplesPerBlock == 0) return 0;
    const size_t wanted = samplesPerBlock - 1;
    const size_t full = wanted / 8;
    const size_t rest = wanted % 8;
    size_t bytes = 4 * static_cast<size_t>(channels) * (1 + full);
    if (rest) bytes += 4 * (static_cast<size_t>(channels) - 1) + (rest + 1) / 2;
    return bytes;
}

unsigned ImaMsSamplesPerBlock(unsigned channels, size_t blockBytes) {
    if (channels == 0 || blockBytes / channels < 4) return 0;
    return static_cast<unsigned>((blockBytes / channels - 4) * 2 + 1);
}

size_t ImaMsDecodeBlock(const uint8_t* block, size_t blockBytes, unsigned channels,
                        unsigned samplesPerBlock, int16_t* frames, ImaBlockErrors* errors) {
    if (channels < 1 || channels > 2 || samplesPerBlock == 0 || blockBytes < 4 * channels) return 0;
    ImaState st[2];
    for (unsigned c = 0; c < channels; ++c) {
        const uint8_t* h = block + 4 * c;
        st[c].predictor = static_cast<int16_t>(platform::LoadLe16(h));
        unsigned index = h[2];
        if (index > kImaMaxIndex) {
            if (errors) errors->badIndex = true;
            index = 0;
        }
        if (h[3] != 0 && errors) errors->syncError = true;
        st[c].index = static_cast<int32_t>(index);
        frames[c] = static_cast<int16_t>(st[c].predictor);
    }
    // After the headers, groups of 4 bytes per channel, 8 samples each, low nibble first.
    const size_t wanted = samplesPerBlock - 1;
    const size_t groupBytes = 4 * static_cast<size_t>(channels);
    const uint8_t* p = block + groupBytes;
    size_t left = blockBytes - groupBytes;
    size_t done = 0;
    while (done < wanted) {
        const size_t n = wanted - done < 8 ? wanted - done : 8;
        // The last channel's bytes of this group must be inside the block.
        if (left < 4 * (static_cast<size_t>(channels) - 1) + (n + 1) / 2) break;
        for (unsigned c = 0; c < channels; ++c) {
            const uint8_t* g = p + 4 * c;
            int16_t* out = frames + (1 + done) * channels + c;
            for (size_t k = 0; k < n; ++k) {
                const unsigned byte = g[k >> 1];
                const unsigned code = (k & 1) ? (byte >> 4) : (byte & 15);
                out[k * channels] = ImaStep(st[c], code);
            }
        }
        done += n;
        if (left < groupBytes) break;
        p += groupBytes;
        left -= groupBytes;
    }
    return 1 + done;
}

void ImaMsEncodeBlock(const int16_t* frames, unsigned channels, unsigned samplesPerBlock,
                      ImaState* state, uint8_t* block) {
    for (unsigned c = 0; c < channels; ++c) {
        const int16_t first = frames[c];
        uint8_t* h = block + 4 * c;
        platform::StoreLe16(h, static_cast<uint16_t>(first));
        h[2] = static_cast<uint8_t>(state[c].index);
        h[3] = 0;
        state[c].predictor = first;
    }
    const size_t groups = (samplesPerBlock - 1) / 8;
    uint8_t* p = block + 4 * channels;
    for (size_t g = 0; g < groups; ++g) {
        for (unsigned c = 0; c < channels; ++c) {
            const int16_t* in = frames + (1 + g * 8) * channels + c;
            for (int k = 0; k < 4; ++k) {
                const unsigned lo = ImaEncodeStep(state[c], in[(2 * k) * channels]);
                const unsigned hi = ImaEncodeStep(state[c], in[(2 * k + 1) * channels]);
                p[k] = static_cast<uint8_t>(lo | (hi << 4));
            }
            p += 4;
        }
    }
}

bool ImaAppleDecodePacket(const uint8_t* packet, ImaState& state, int16_t* out, size_t stride) {
    const unsigned header = platform::LoadBe16(packet);
    const unsigned index = header & 0x7F;
    if (index > kImaMaxIndex) return false;
    const int32_t predictor = static_cast<int16_t>(header & 0xFF80);
    if ((state.predictor & ~0x7F) != predictor) state.predictor = predictor;
    state.index = static_cast<int32_t>(index);
    for (int i = 0; i < 32; ++i) {
        const unsigned byte = packet[2 + i];
        out[(2 * i) * stride] = ImaStep(state, byte & 15);
        out[(2 * i + 1) * stride] = ImaStep(state, byte >> 4);
    }
    return true;
}

} // namespace sound
