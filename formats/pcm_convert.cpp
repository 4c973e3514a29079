#include "formats/pcm_convert.h"

#include "formats/sample_format.h"
#include "platform/byte_cursor.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <samplerate.h>
#include <vector>

namespace sound {
namespace {

constexpr size_t kChunkFrames = 8192;

// Source bytes to 16-bit frames of the target channel count.
void ToFrames16(const uint8_t* in, size_t frames, const WAVEFORMATEX& from, unsigned outCh,
                int16_t* out) {
    const unsigned ch = from.nChannels;
    auto sample = [&](size_t i) -> int32_t {
        if (from.wBitsPerSample == 8) return Widen8(in[i]);
        return static_cast<int16_t>(platform::LoadLe16(in + 2 * i));
    };
    for (size_t f = 0; f < frames; ++f) {
        if (ch == outCh) {
            for (unsigned c = 0; c < ch; ++c)
                out[f * ch + c] = static_cast<int16_t>(sample(f * ch + c));
        } else if (ch == 1) { // mono to stereo: both sides the same
            const int16_t s = static_cast<int16_t>(sample(f));
            out[2 * f] = s;
            out[2 * f + 1] = s;
        } else { // stereo to mono: the mean, rounded toward minus infinity
            out[f] = static_cast<int16_t>((sample(2 * f) + sample(2 * f + 1)) >> 1);
        }
    }
}

void FromFrames16(const int16_t* in, size_t samples, uint16_t bits, uint8_t* out) {
    if (bits == 8) {
        for (size_t i = 0; i < samples; ++i) out[i] = Narrow16(in[i]);
    } else {
        for (size_t i = 0; i < samples; ++i)
            platform::StoreLe16(out + 2 * i, static_cast<uint16_t>(in[i]));
    }
}

struct SrcDeleter {
    void operator()(SRC_STATE* s) const { src_delete(s); }
};

} // namespace

uint64_t ConvertedFrames(uint64_t frames, uint32_t from, uint32_t to) {
    if (from == 0) return 0;
    return (frames * to + from / 2) / from;
}

bool ConvertPcm(const WAVEFORMATEX& from, const WAVEFORMATEX& to, uint64_t frames,
                const PullBytes& pull, const PushBytes& push) {
    if (!IsHeldPcm(from) || !IsHeldPcm(to)) return false;
    const unsigned outCh = to.nChannels;
    const uint64_t wanted = ConvertedFrames(frames, from.nSamplesPerSec, to.nSamplesPerSec);
    std::vector<uint8_t> raw(kChunkFrames * from.nBlockAlign);
    std::vector<int16_t> mid(kChunkFrames * outCh);
    std::vector<uint8_t> out;
    uint64_t produced = 0;

    auto emit = [&](const int16_t* samples, size_t n) -> bool { // n frames
        if (produced + n > wanted) n = static_cast<size_t>(wanted - produced);
        if (n == 0) return true;
        out.resize(n * to.nBlockAlign);
        FromFrames16(samples, n * outCh, to.wBitsPerSample, out.data());
        produced += n;
        return push(out.data(), out.size());
    };

    if (from.nSamplesPerSec == to.nSamplesPerSec) {
        uint64_t left = frames;
        while (left) {
            const size_t n = left < kChunkFrames ? static_cast<size_t>(left) : kChunkFrames;
            const size_t got = pull(raw.data(), n * from.nBlockAlign) / from.nBlockAlign;
            ToFrames16(raw.data(), got, from, outCh, mid.data());
            if (!emit(mid.data(), got)) return false;
            if (got < n) break;
            left -= got;
        }
    } else {
        int err = 0;
        std::unique_ptr<SRC_STATE, SrcDeleter> src(
            src_new(SRC_SINC_MEDIUM_QUALITY, static_cast<int>(outCh), &err));
        if (!src) return false;
        const double ratio = double(to.nSamplesPerSec) / double(from.nSamplesPerSec);
        if (src_is_valid_ratio(ratio) == 0) return false;
        std::vector<float> fin(kChunkFrames * outCh);
        const size_t outCap = static_cast<size_t>(kChunkFrames * ratio) + 64;
        std::vector<float> fout(outCap * outCh);
        std::vector<int16_t> sout(outCap * outCh);
        uint64_t left = frames;
        bool ended = false;
        size_t inFrames = 0;
        size_t inPos = 0;
        while (true) {
            if (inPos == inFrames && !ended) {
                const size_t n = left < kChunkFrames ? static_cast<size_t>(left) : kChunkFrames;
                const size_t got =
                    n ? pull(raw.data(), n * from.nBlockAlign) / from.nBlockAlign : 0;
                ToFrames16(raw.data(), got, from, outCh, mid.data());
                src_short_to_float_array(mid.data(), fin.data(), static_cast<int>(got * outCh));
                inFrames = got;
                inPos = 0;
                left -= got;
                if (got < n || left == 0) ended = true;
            }
            SRC_DATA d{};
            d.data_in = fin.data() + inPos * outCh;
            d.input_frames = static_cast<long>(inFrames - inPos);
            d.data_out = fout.data();
            d.output_frames = static_cast<long>(outCap);
            d.src_ratio = ratio;
            d.end_of_input = ended ? 1 : 0;
            if (src_process(src.get(), &d) != 0) return false;
            inPos += static_cast<size_t>(d.input_frames_used);
            const size_t gen = static_cast<size_t>(d.output_frames_gen);
            src_float_to_short_array(fout.data(), sout.data(), static_cast<int>(gen * outCh));
            if (!emit(sout.data(), gen)) return false;
            if (ended && inPos == inFrames && gen == 0) break;
            if (produced >= wanted && ended) break;
        }
    }
    // Hold the length in seconds: pad a short tail with silence.
    if (produced < wanted) {
        std::vector<int16_t> zero(kChunkFrames * outCh, 0);
        while (produced < wanted) {
            const uint64_t n = std::min<uint64_t>(wanted - produced, kChunkFrames);
            if (!emit(zero.data(), static_cast<size_t>(n))) return false;
        }
    }
    return true;
}

} // namespace sound
