// Band-limited sample-rate conversion at a fixed quality: a Kaiser-windowed sinc reaching 16 input
// frames on each side (cutoff at 0.86 of the lower Nyquist frequency, stopband below -75 dB), read
// from precomputed polyphase tables (256 phases, linear interpolation between neighbouring phases).
// When the input is played faster than the output rate, the kernel is stretched so that its cutoff
// follows the output's Nyquist frequency and nothing above it folds back; the stretch is taken from
// a fixed set (1 to 2 in eighths, then 2.5, 3, 4, 5, 6, 8), the nearest at or above the step.
//
// A SincResampler is a sliding window of input frames (one or two channels, planar floats) and a
// fractional read position. The owner appends input at the end of the window and asks for output
// frames; consumed input is dropped from the front. Everything is preallocated at construction:
// Append, Produce and the accessors are real-time (no allocation, no lock, bounded time).
//
// At a step of exactly 1 with a whole read position the input passes through unchanged, sample for
// sample.
#pragma once

#include <cstdint>

namespace dsync::mixer {

class SincResampler {
public:
    // Input frames the kernel reaches on each side at a step of 1 or less.
    static constexpr int kHalfWidth = 16;
    // The largest input/output ratio; faster play is held to it.
    static constexpr double kMaxStep = 8.0;
    // The most output frames one Produce call gives.
    static constexpr uint32_t kMaxOutput = 256;
    // Frames kept behind the read position (the kernel's reach at kMaxStep).
    static constexpr int kHistory = int(kHalfWidth * kMaxStep) + 8;
    static constexpr int kCapacity = 2 * kHistory + int(kMaxOutput * kMaxStep) + 8;

    SincResampler();
    ~SincResampler();
    SincResampler(const SincResampler&) = delete;
    SincResampler& operator=(const SincResampler&) = delete;

    // Not real-time only because of the first call that builds the shared table; the mixer builds
    // it at construction. Clears the window to silence before the first input frame.
    void Reset(int channels);
    int Channels() const { return channels_; }

    // Real-time. Input frames per output frame, as the ratio input rate / output rate (exact, so
    // lengths do not drift), held to at most kMaxStep. The read position keeps its fraction.
    void SetRatio(uint32_t inputRate, uint32_t outputRate);
    double Step() const { return double(stepWhole_) + double(stepNum_) / double(den_); }

    // Real-time. How many more input frames Produce(frames) needs beyond what the window holds.
    uint32_t InputNeeded(uint32_t frames) const;
    // Real-time. Room at the end of the window, and the channel pointers to write it.
    uint32_t Space() const { return uint32_t(kCapacity - filled_); }
    float* AppendPointer(int channel) { return buffer_[channel] + filled_; }
    void Appended(uint32_t frames) { filled_ += int(frames); }
    // Real-time. Appends silence after the last input frame and remembers where the input ended;
    // Produce then stops at that frame.
    void MarkEnd();
    bool Ended() const { return endIndex_ >= 0; }
    // True when the read position has passed the end of the input.
    bool Finished() const { return endIndex_ >= 0 && ip_ >= endIndex_; }

    // Real-time. Writes up to frames (at most kMaxOutput) output frames to out[channel] and returns
    // how many it could make from the input at hand; fewer when the input runs out or ends.
    uint32_t Produce(float* const* out, uint32_t frames);

private:
    void Compact();

    int channels_ = 1;
    // The step and the read position as whole frames plus a fraction num / den_.
    uint32_t stepWhole_ = 1, stepNum_ = 0, den_ = 1;
    int ip_ = 0;                  // read position (whole frames) in the window
    uint64_t frac_ = 0;           // its fraction, in units of 1 / den_
    const void* table_ = nullptr; // the polyphase table for the step
    int filled_ = 0;              // frames in the window
    int endIndex_ = -1;           // window index just past the last input frame, -1 while open
    float* buffer_[2] = {nullptr, nullptr};
    float coef_[2 * kHistory + 8] = {};
};

// Builds the shared tables (not real-time; done once, on first use).
void PrepareResamplerTables();

} // namespace dsync::mixer
