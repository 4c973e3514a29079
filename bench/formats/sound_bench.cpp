// Decode throughput of every decoder, in samples per second (items processed).
#include "formats/decoders.h"
#include "formats/ima_adpcm.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace sound;

namespace {

constexpr size_t kFrames = 1 << 20; // about 24 s of 44.1 kHz sound per channel

class MemorySource : public ByteSource {
public:
    explicit MemorySource(const std::vector<uint8_t>& b) : bytes_(b) {}
    size_t ReadBytes(void* out, size_t n) override {
        if (n > bytes_.size() - pos_) n = bytes_.size() - pos_;
        std::memcpy(out, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const std::vector<uint8_t>& bytes_;
    size_t pos_ = 0;
};

std::vector<uint8_t> RandomBytes(size_t n) {
    std::mt19937 rng(7);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

std::vector<uint8_t> ImaMsData(unsigned channels) {
    const unsigned spb = 2041;
    std::vector<int16_t> pcm(size_t(spb) * channels);
    std::vector<uint8_t> out;
    ImaState state[2];
    std::vector<uint8_t> block(ImaMsBlockBytes(channels, spb));
    for (size_t f = 0; f < kFrames; f += spb) {
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<int16_t>(16000 * std::sin(0.01 * double(f * channels + i)));
        ImaMsEncodeBlock(pcm.data(), channels, spb, state, block.data());
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

std::vector<uint8_t> ImaAppleData(unsigned channels) {
    std::vector<uint8_t> out = RandomBytes(kFrames / 64 * 34 * channels);
    for (size_t p = 0; p < out.size(); p += 34) out[p + 1] &= 0x3F; // valid step index
    return out;
}

template <typename Make>
void Run(benchmark::State& state, const std::vector<uint8_t>& data, int bps, Make make) {
    std::vector<uint8_t> out(65536 * 2);
    int64_t samples = 0;
    for (auto _ : state) {
        MemorySource src(data);
        auto d = make(src);
        size_t n;
        while ((n = d->Decode(out.data(), 65536)) > 0) samples += static_cast<int64_t>(n);
        benchmark::DoNotOptimize(out.data());
    }
    (void)bps;
    state.SetItemsProcessed(samples);
}

void BM_PcmU8(benchmark::State& s) {
    static const auto data = RandomBytes(kFrames * 2);
    Run(s, data, 1, [](ByteSource& src) { return MakePcmOrG711Decoder(Encoding::PcmU8, src); });
}
void BM_PcmS16LE(benchmark::State& s) {
    static const auto data = RandomBytes(kFrames * 4);
    Run(s, data, 2, [](ByteSource& src) { return MakePcmOrG711Decoder(Encoding::PcmS16LE, src); });
}
void BM_PcmS16BE(benchmark::State& s) {
    static const auto data = RandomBytes(kFrames * 4);
    Run(s, data, 2, [](ByteSource& src) { return MakePcmOrG711Decoder(Encoding::PcmS16BE, src); });
}
void BM_PcmS8(benchmark::State& s) {
    static const auto data = RandomBytes(kFrames * 2);
    Run(s, data, 1, [](ByteSource& src) { return MakePcmOrG711Decoder(Encoding::PcmS8, src); });
}
void BM_MuLaw(benchmark::State& s) {
    static const auto data = RandomBytes(kFrames * 2);
    Run(s, data, 2, [](ByteSource& src) { return MakePcmOrG711Decoder(Encoding::MuLaw, src); });
}
void BM_ALaw(benchmark::State& s) {
    static const auto data = RandomBytes(kFrames * 2);
    Run(s, data, 2, [](ByteSource& src) { return MakePcmOrG711Decoder(Encoding::ALaw, src); });
}
void BM_ImaMs(benchmark::State& s) {
    static const auto data = ImaMsData(2);
    Run(s, data, 2,
        [](ByteSource& src) { return MakeImaMsDecoder(src, 2, 2041, ImaMsBlockBytes(2, 2041)); });
}
void BM_ImaApple(benchmark::State& s) {
    static const auto data = ImaAppleData(2);
    Run(s, data, 2, [](ByteSource& src) { return MakeImaAppleDecoder(src, 2); });
}

// The wider encodings, converted to 16 bits as they are decoded; floats within full scale.
std::vector<uint8_t> WideData(Encoding e) {
    const unsigned bytes = EncodedSampleBytes(e);
    std::vector<uint8_t> out = RandomBytes(kFrames * 2 * bytes);
    const bool big = e == Encoding::Float32BE || e == Encoding::Float64BE;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (size_t i = 0; e >= Encoding::Float32LE && i < out.size(); i += bytes) {
        uint64_t u;
        if (bytes == 4) {
            const float f = static_cast<float>(value(rng));
            uint32_t w;
            std::memcpy(&w, &f, 4);
            u = w;
        } else {
            const double d = value(rng);
            std::memcpy(&u, &d, 8);
        }
        for (unsigned k = 0; k < bytes; ++k)
            out[i + k] = static_cast<uint8_t>(u >> (8 * (big ? bytes - 1 - k : k)));
    }
    return out;
}

void RegisterWide() {
    static const Encoding kWide[] = {Encoding::PcmS24LE,  Encoding::PcmS24BE,  Encoding::PcmS32LE,
                                     Encoding::PcmS32BE,  Encoding::Float32LE, Encoding::Float32BE,
                                     Encoding::Float64LE, Encoding::Float64BE};
    static const char* const kNames[] = {"PcmS24LE",  "PcmS24BE",  "PcmS32LE",  "PcmS32BE",
                                         "Float32LE", "Float32BE", "Float64LE", "Float64BE"};
    for (size_t i = 0; i < std::size(kWide); ++i) {
        const Encoding e = kWide[i];
        benchmark::RegisterBenchmark(
            (std::string("Sound/Decode/") + kNames[i]).c_str(),
            [e](benchmark::State& s) {
                const std::vector<uint8_t> data = WideData(e);
                Run(s, data, 2, [e](ByteSource& src) { return MakePcmOrG711Decoder(e, src); });
            })
            ->Unit(benchmark::kMillisecond);
    }
    // Six channels of 24-bit PCM in the 5.1 positions, mixed down to two.
    benchmark::RegisterBenchmark("Sound/Decode/Mixdown6xS24LE", [](benchmark::State& s) {
        const std::vector<uint8_t> data = RandomBytes(kFrames * 6 * 3);
        PlainLayout layout;
        layout.encoding = Encoding::PcmS24LE;
        layout.channels = 6;
        layout.channelMask = 0x3F;
        Run(s, data, 2, [&](ByteSource& src) { return MakePlainDecoder(layout, src); });
    })->Unit(benchmark::kMillisecond);
}
const bool kWideRegistered = (RegisterWide(), true);

} // namespace

BENCHMARK(BM_PcmU8)->Name("Sound/Decode/PcmU8")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcmS8)->Name("Sound/Decode/PcmS8")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcmS16LE)->Name("Sound/Decode/PcmS16LE")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcmS16BE)->Name("Sound/Decode/PcmS16BE")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MuLaw)->Name("Sound/Decode/MuLaw")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ALaw)->Name("Sound/Decode/ALaw")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImaMs)->Name("Sound/Decode/ImaMs")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImaApple)->Name("Sound/Decode/ImaApple")->Unit(benchmark::kMillisecond);
