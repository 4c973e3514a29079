#include "gui/peak_cache.h"

#include <algorithm>
#include <cmath>

namespace gui {

uint64_t PeakCache::BlockFrames(int level) {
    uint64_t b = kBaseBlock;
    for (int i = 0; i < level; ++i) b *= kFactor;
    return b;
}

bool PeakCache::Start(uint32_t frames, int channels, int bits, Reader reader) {
    Clear();
    if (frames == 0 || channels < 1 || channels > 2 || (bits != 8 && bits != 16) || !reader)
        return false;
    frames_ = frames;
    channels_ = channels;
    bits_ = bits;
    reader_ = std::move(reader);
    // Levels down to a single entry.
    size_t count = (size_t(frames) + kBaseBlock - 1) / kBaseBlock;
    for (;;) {
        counts_.push_back(count);
        levels_.emplace_back(count * size_t(channels), Peak{INT16_MAX, INT16_MIN});
        if (count <= 1) break;
        count = (count + kFactor - 1) / kFactor;
    }
    Resume();
    return true;
}

void PeakCache::Stop() {
    stop_.store(true, std::memory_order_release);
    if (worker_.joinable()) worker_.join();
    stop_.store(false, std::memory_order_release);
}

void PeakCache::Resume() {
    if (worker_.joinable() || Done() || frames_ == 0) return;
    finished_.store(false, std::memory_order_release);
    worker_ = std::thread([this] { Work(); });
}

void PeakCache::Clear() {
    Stop();
    frames_ = 0;
    channels_ = 0;
    levels_.clear();
    counts_.clear();
    reader_ = nullptr;
    done_.store(0, std::memory_order_release);
}

void PeakCache::Wait() {
    if (worker_.joinable()) worker_.join();
}

void PeakCache::Work() {
    const uint32_t frameBytes = uint32_t(channels_) * uint32_t(bits_ / 8);
    std::vector<uint8_t> buffer(size_t(kChunkFrames) * frameBytes);
    uint32_t at = done_.load(std::memory_order_acquire);
    // Resuming inside a block: start again at the block's first frame.
    at -= at % kBaseBlock;
    const int levels = int(levels_.size());
    while (at < frames_ && !stop_.load(std::memory_order_acquire)) {
        const uint32_t want = std::min(kChunkFrames, frames_ - at);
        const uint32_t got =
            reader_(uint32_t(uint64_t(at) * frameBytes), buffer.data(), want * frameBytes) /
            frameBytes;
        if (got == 0) break;
        for (int c = 0; c < channels_; ++c) {
            Peak* base = levels_[0].data() + size_t(c) * counts_[0];
            for (uint32_t f = 0; f < got; f += kBaseBlock) {
                const uint32_t n = std::min(kBaseBlock, got - f);
                int lo = INT16_MAX, hi = INT16_MIN;
                if (bits_ == 16) {
                    const uint8_t* p = buffer.data() + size_t(f) * frameBytes + size_t(c) * 2;
                    for (uint32_t i = 0; i < n; ++i, p += frameBytes) {
                        const int v = int16_t(uint16_t(p[0] | p[1] << 8));
                        lo = std::min(lo, v);
                        hi = std::max(hi, v);
                    }
                } else {
                    const uint8_t* p = buffer.data() + size_t(f) * frameBytes + size_t(c);
                    for (uint32_t i = 0; i < n; ++i, p += frameBytes) {
                        const int v = (int(*p) - 128) * 256;
                        lo = std::min(lo, v);
                        hi = std::max(hi, v);
                    }
                }
                const size_t block = (size_t(at) + f) / kBaseBlock;
                Peak& e = base[block];
                e.lo = int16_t(std::min<int>(e.lo, lo));
                e.hi = int16_t(std::max<int>(e.hi, hi));
                // The coarser levels gather the block.
                size_t b = block;
                for (int l = 1; l < levels; ++l) {
                    b /= kFactor;
                    Peak& u = levels_[size_t(l)][size_t(c) * counts_[size_t(l)] + b];
                    u.lo = std::min(u.lo, e.lo);
                    u.hi = std::max(u.hi, e.hi);
                }
            }
        }
        at += got;
        done_.store(at, std::memory_order_release);
        if (got < want) break;
    }
    finished_.store(true, std::memory_order_release);
}

int PeakCache::LevelFor(double fpp) const {
    int level = -1;
    for (int l = 0; l < Levels(); ++l) {
        if (double(BlockFrames(l)) <= fpp)
            level = l;
        else
            break;
    }
    return level;
}

bool PeakCache::Range(int channel, uint64_t from, uint64_t to, int16_t& lo, int16_t& hi) const {
    if (channel < 0 || channel >= channels_ || to <= from) return false;
    to = std::min<uint64_t>(to, frames_);
    if (from >= to) return false;
    const uint32_t done = FramesDone();
    // Complete entries only: the last one may end at the sound's end.
    if (to > done) return false;
    const int level = LevelFor(double(to - from));
    if (level < 0) return false;
    const uint64_t bf = BlockFrames(level);
    const Peak* e = Entries(level, channel);
    const size_t b0 = size_t(from / bf);
    const size_t b1 = size_t((to + bf - 1) / bf);
    int l = INT16_MAX, h = INT16_MIN;
    for (size_t b = b0; b < b1 && b < counts_[size_t(level)]; ++b) {
        // An entry that reaches past the published frames is not finished.
        if (std::min<uint64_t>((b + 1) * bf, frames_) > done) return false;
        l = std::min<int>(l, e[b].lo);
        h = std::max<int>(h, e[b].hi);
    }
    lo = int16_t(l);
    hi = int16_t(h);
    return l <= h;
}

void PeakCache::Columns(int channel, double first, double fpp, int columns, int16_t* lo,
                        int16_t* hi, uint8_t* valid) const {
    const int level = LevelFor(fpp);
    const uint32_t done = FramesDone();
    if (level < 0 || channel < 0 || channel >= channels_) {
        std::fill_n(valid, columns, uint8_t(0));
        return;
    }
    const uint64_t bf = BlockFrames(level);
    const Peak* e = Entries(level, channel);
    const size_t count = counts_[size_t(level)];
    for (int c = 0; c < columns; ++c) {
        const double f0 = first + c * fpp, f1 = f0 + fpp;
        valid[c] = 0;
        if (f1 <= 0 || f0 >= frames_) continue;
        const uint64_t from = uint64_t(std::max(0.0, f0));
        const uint64_t to = std::min<uint64_t>(uint64_t(std::ceil(f1)), frames_);
        const size_t b0 = size_t(from / bf);
        const size_t b1 = std::min(count, size_t((to + bf - 1) / bf));
        if (b1 <= b0 || std::min<uint64_t>(b1 * bf, frames_) > done) continue;
        int l = INT16_MAX, h = INT16_MIN;
        for (size_t b = b0; b < b1; ++b) {
            l = std::min<int>(l, e[b].lo);
            h = std::max<int>(h, e[b].hi);
        }
        lo[c] = int16_t(l);
        hi[c] = int16_t(h);
        valid[c] = 1;
    }
}

} // namespace gui
