#include "sync/mixer/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace dsync::mixer {
namespace {

constexpr int kPhases = 256;
constexpr double kCutoff = 0.86; // of the lower Nyquist frequency
constexpr double kBeta = 7.3;    // Kaiser window, about 75 dB stopband

// Four lanes; the compilers turn these into the machine's vector instructions.
typedef float Lanes __attribute__((vector_size(16)));

inline Lanes Load(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct PhaseTable {
    double stretch = 1.0;
    int reach = 0;        // input frames behind (reach - 1) and ahead (reach) of the read position
    int ahead = 0;        // frames read ahead, with the zero taps that round taps up to 8
    int taps = 0;         // a multiple of 8
    std::vector<float> c; // (kPhases + 1) rows of taps
};

double BesselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 60; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

double Kernel(double x) { // x in input frames at a stretch of 1
    const double w = SincResampler::kHalfWidth;
    if (std::fabs(x) >= w) return 0.0;
    double t = x / w;
    double win = BesselI0(kBeta * std::sqrt(1.0 - t * t)) / BesselI0(kBeta);
    double a = kCutoff * x * M_PI;
    double sinc = std::fabs(a) < 1e-12 ? 1.0 : std::sin(a) / a;
    return kCutoff * sinc * win;
}

std::vector<PhaseTable>& Tables() {
    static std::vector<PhaseTable> tables;
    return tables;
}

void Build() {
    const double stretches[] = {1.0, 1.125, 1.25, 1.375, 1.5, 1.625, 1.75, 1.875,
                                2.0, 2.5,   3.0,  4.0,   5.0, 6.0,   8.0};
    auto& tables = Tables();
    for (double s : stretches) {
        PhaseTable t;
        t.stretch = s;
        t.reach = int(std::ceil(SincResampler::kHalfWidth * s));
        t.taps = (2 * t.reach + 7) / 8 * 8;
        t.ahead = t.taps - t.reach;
        t.c.assign(size_t(kPhases + 1) * size_t(t.taps), 0.0f);
        for (int p = 0; p <= kPhases; ++p) {
            double frac = double(p) / kPhases;
            std::vector<double> row(size_t(t.taps));
            double sum = 0.0;
            for (int j = 0; j < 2 * t.reach; ++j) {
                double d = double(j - t.reach + 1) - frac;
                row[size_t(j)] = Kernel(d / s) / s;
                sum += row[size_t(j)];
            }
            for (int j = 0; j < t.taps; ++j)
                t.c[size_t(p) * size_t(t.taps) + size_t(j)] = float(row[size_t(j)] / sum);
        }
        tables.push_back(std::move(t));
    }
}

const PhaseTable& TableFor(double step) {
    const auto& tables = Tables();
    for (const PhaseTable& t : tables)
        if (t.stretch >= step) return t;
    return tables.back();
}

} // namespace

void PrepareResamplerTables() {
    static std::once_flag once;
    std::call_once(once, Build);
}

SincResampler::SincResampler() {
    PrepareResamplerTables();
    buffer_[0] = new float[2 * size_t(kCapacity)];
    buffer_[1] = buffer_[0] + kCapacity;
    Reset(1);
}

SincResampler::~SincResampler() {
    delete[] buffer_[0];
}

void SincResampler::Reset(int channels) {
    channels_ = channels == 2 ? 2 : 1;
    std::memset(buffer_[0], 0, 2 * size_t(kCapacity) * sizeof(float));
    filled_ = kHistory;
    ip_ = kHistory;
    frac_ = 0;
    endIndex_ = -1;
}

void SincResampler::SetRatio(uint32_t inputRate, uint32_t outputRate) {
    if (inputRate == 0 || outputRate == 0) inputRate = outputRate = 1;
    uint64_t in = std::min<uint64_t>(inputRate, uint64_t(outputRate) * uint64_t(kMaxStep));
    if (outputRate != den_) { // keep the position's fraction in the new units
        frac_ = frac_ * outputRate / den_;
        den_ = outputRate;
    }
    stepWhole_ = uint32_t(in / outputRate);
    stepNum_ = uint32_t(in % outputRate);
    table_ = &TableFor(double(in) / double(outputRate));
}

uint32_t SincResampler::InputNeeded(uint32_t frames) const {
    if (frames == 0 || endIndex_ >= 0) return 0;
    frames = std::min(frames, kMaxOutput);
    const bool whole = stepWhole_ == 1 && stepNum_ == 0 && frac_ == 0;
    const int reach = whole ? 0 : static_cast<const PhaseTable*>(table_)->ahead;
    uint64_t f = frac_ + uint64_t(frames - 1) * stepNum_;
    long last = long(ip_) + long(frames - 1) * long(stepWhole_) + long(f / den_);
    long need = last + reach + 1 - filled_;
    if (need <= 0) return 0;
    return uint32_t(std::min<long>(need, Space()));
}

void SincResampler::MarkEnd() {
    if (endIndex_ >= 0) return;
    endIndex_ = filled_;
    for (int c = 0; c < 2; ++c)
        std::memset(buffer_[c] + filled_, 0, size_t(kCapacity - filled_) * sizeof(float));
    filled_ = kCapacity;
}

uint32_t SincResampler::Produce(float* const* out, uint32_t frames) {
    frames = std::min(frames, kMaxOutput);
    const PhaseTable& t = *static_cast<const PhaseTable*>(table_);
    uint32_t n = 0;
    if (stepWhole_ == 1 && stepNum_ == 0 && frac_ == 0) {
        // Whole positions at the output rate: the input as it is.
        int ip = ip_;
        int avail = filled_ - ip;
        if (endIndex_ >= 0) avail = std::min(avail, endIndex_ - ip);
        n = uint32_t(std::clamp<long>(avail, 0, long(frames)));
        for (int c = 0; c < channels_; ++c) std::memcpy(out[c], buffer_[c] + ip, n * sizeof(float));
        ip_ += int(n);
    } else {
        const int taps = t.taps;
        for (; n < frames; ++n) {
            if (endIndex_ >= 0 && ip_ >= endIndex_) break;
            const int ip = ip_;
            if (ip + t.ahead >= filled_) break;
            double phase = double(frac_) * kPhases / double(den_);
            int p = std::min(int(phase), kPhases - 1);
            float f = float(phase - p);
            const float* a = t.c.data() + size_t(p) * size_t(taps);
            const float* b = a + taps;
            for (int j = 0; j < taps; j += 4) {
                Lanes va = Load(a + j);
                Lanes v = va + f * (Load(b + j) - va);
                std::memcpy(coef_ + j, &v, sizeof v);
            }
            const int base = ip - t.reach + 1;
            for (int c = 0; c < channels_; ++c) {
                const float* x = buffer_[c] + base;
                Lanes acc0 = {}, acc1 = {};
                for (int j = 0; j < taps; j += 8) {
                    acc0 += Load(coef_ + j) * Load(x + j);
                    acc1 += Load(coef_ + j + 4) * Load(x + j + 4);
                }
                Lanes acc = acc0 + acc1;
                out[c][n] = (acc[0] + acc[2]) + (acc[1] + acc[3]);
            }
            ip_ += int(stepWhole_);
            frac_ += stepNum_;
            if (frac_ >= den_) frac_ -= den_, ++ip_;
        }
    }
    Compact();
    return n;
}

void SincResampler::Compact() {
    int drop = ip_ - kHistory;
    if (drop <= 0) return;
    drop = std::min(drop, filled_);
    for (int c = 0; c < 2; ++c) {
        std::memmove(buffer_[c], buffer_[c] + drop, size_t(filled_ - drop) * sizeof(float));
        if (endIndex_ >= 0)
            std::memset(buffer_[c] + filled_ - drop, 0, size_t(drop) * sizeof(float));
    }
    filled_ -= drop;
    ip_ -= drop;
    if (endIndex_ >= 0) {
        endIndex_ -= drop;
        filled_ = kCapacity;
    }
}

} // namespace dsync::mixer
