// The in-memory float sound behind a sample block, and the sample blocks the numeric and wave
// nodes fill through Evaluate.
//
// A sample block is an EventWave whose sound is a FloatSound: 32-bit float samples (full scale
// -1.0 .. +1.0, interleaved by channel), the block's start index within the sound being
// compiled and that sound's total length, both in frames. The channel count and the sample
// rate are those of the event's wave format (IEEE float, 32 bits). The event owns its sound.
//
// FloatSound::Of finds the float sound of a block without run-time type information: every live
// FloatSound is recorded, so a wave event with any other sound (or none) gives null.
#pragma once

#include "events/song_event.h"
#include "events/wave_sound.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

constexpr uint16_t kWaveFormatIeeeFloat = 3;

class FloatSound : public WaveSound {
public:
    explicit FloatSound(size_t samples = 0);
    ~FloatSound() override;
    FloatSound(const FloatSound&) = delete;
    FloatSound& operator=(const FloatSound&) = delete;

    // The float sound of a wave event, or null when its sound is of another kind.
    static FloatSound* Of(const EventWave& block);

    void Close() override;
    uint32_t Read(WaveInfo& info, void* buffer, uint32_t bytes) override;
    uint32_t Write(WaveInfo& info, const void* buffer, uint32_t bytes) override;
    bool SeekBytes(WaveInfo& info, uint32_t position) override;
    uint32_t TellBytes() const override { return position_; }
    uint32_t DataLength() const override;
    WaveSound* Copy(WaveInfo& info) const override;
    // Only a change of rate is accepted (the samples stay floats); false otherwise.
    bool SetFormat(WaveInfo& info, const WAVEFORMATEX& format, bool convert) override;
    // Stores: start index u32, total length u32, count u32, then the samples as floats. Reading
    // checks the count against what the archive holds.
    void Serialize(CArchive& ar, WaveInfo& info) override;

    std::vector<float> samples;
    uint32_t startIndex = 0;  // frames
    uint32_t totalLength = 0; // frames of the whole sound

private:
    uint32_t position_ = 0; // bytes
};

// A new sample block of `frames` frames (samples = frames × channels, zeroed). Channels are
// held to 1..8 and the rate to at least 1 Hz.
std::unique_ptr<EventWave> MakeSampleBlock(uint32_t frames, uint16_t channels, uint32_t rate,
                                           uint32_t startIndex = 0, uint32_t totalLength = 0);
// A working copy of a block: same format, start index and total length, its own zeroed samples
// of the same count. Null when the block has no float sound.
std::unique_ptr<EventWave> MakeBlockCopy(const EventWave& block);

// What Evaluate works on.
struct BlockView {
    float* s = nullptr;
    size_t n = 0;       // samples
    uint32_t start = 0; // start index in frames
    uint32_t channels = 1;
    double rate = 0.0;
    // The frame index of sample i.
    double Frame(size_t i) const {
        return static_cast<double>(start) + static_cast<double>(channels <= 1 ? i : i / channels);
    }
};
// The block's view; false (view empty) when the block has no float sound.
bool ViewOf(EventWave& block, BlockView& view);
