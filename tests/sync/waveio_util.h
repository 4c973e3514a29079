// Helpers of the wave device tests: a sound held in memory and wave events over it.
#pragma once

#include "events/song_event.h"
#include "events/wave_sound.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class MemorySound : public WaveSound {
public:
    void Close() override {}
    uint32_t Read(WaveInfo&, void* buffer, uint32_t bytes) override {
        std::lock_guard<std::mutex> g(lock);
        uint32_t n =
            pos_ < data.size() ? std::min<uint32_t>(bytes, uint32_t(data.size()) - pos_) : 0;
        std::memcpy(buffer, data.data() + pos_, n);
        pos_ += n;
        return n;
    }
    uint32_t Write(WaveInfo&, const void* buffer, uint32_t bytes) override {
        std::lock_guard<std::mutex> g(lock);
        if (data.size() < pos_ + bytes) data.resize(pos_ + bytes);
        std::memcpy(data.data() + pos_, buffer, bytes);
        pos_ += bytes;
        return bytes;
    }
    bool SeekBytes(WaveInfo&, uint32_t position) override {
        if (position >= data.size()) return false;
        pos_ = position;
        return true;
    }
    uint32_t TellBytes() const override { return pos_; }
    uint32_t DataLength() const override { return uint32_t(data.size()); }
    WaveSound* Copy(WaveInfo&) const override {
        auto* c = new MemorySound;
        c->data = data;
        return c;
    }
    bool SetFormat(WaveInfo& info, const WAVEFORMATEX& format, bool) override {
        info.format = format;
        info.bytesPerSample = format.wBitsPerSample / 8;
        return true;
    }
    void Serialize(CArchive&, WaveInfo&) override {}

    std::vector<uint8_t> data;
    std::mutex lock; // only for the writes of the capture tests' handler
private:
    uint32_t pos_ = 0;
};

inline WAVEFORMATEX Pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEX f;
    f.wFormatTag = kWaveFormatPcm;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = uint16_t(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// The test's sample at frame n, channel c (16-bit): distinct, never 0.
inline int16_t TestSample(uint32_t n, int c) {
    return c == 0 ? int16_t(n % 20000 + 1) : int16_t(-int32_t((n * 3) % 20000) - 1);
}

// A 16-bit wave of frames frames of TestSample, named name, at time t. The event and its sound
// live as long as the holder.
struct TestWave {
    TestWave(const std::string& name, uint16_t channels, uint32_t rate, uint32_t frames,
             uint32_t t = 0) {
        sound = std::make_unique<MemorySound>();
        sound->data.resize(size_t(frames) * channels * 2);
        for (uint32_t n = 0; n < frames; ++n)
            for (int c = 0; c < channels; ++c) {
                uint16_t s = uint16_t(TestSample(n, c));
                sound->data[(size_t(n) * channels + c) * 2] = uint8_t(s);
                sound->data[(size_t(n) * channels + c) * 2 + 1] = uint8_t(s >> 8);
            }
        wave.SetName(name);
        wave.info.format = Pcm(channels, rate, 16);
        wave.info.bytesPerSample = 2;
        wave.sound = sound.get();
        wave.time = t;
    }
    ~TestWave() { wave.sound = nullptr; }
    std::unique_ptr<MemorySound> sound;
    EventWave wave;
};
