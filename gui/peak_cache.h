// The wave editor's min/max peak cache: for each channel of a sound, the lowest and highest
// sample of every block of kBaseBlock frames (level 0), and of every 4 blocks of the level below
// (levels 1, 2, ...), so that a column of the waveform at any zoom is the min/max of at most a
// handful of entries.
//
// Building runs on a thread of its own: Start allocates every level (on the calling thread) and
// hands the reading to the worker, which reads the sound through the given reader a chunk at a
// time (the reader takes whatever lock the sound needs) and publishes how many frames are done.
// Readers of the cache on the user-interface thread see only complete entries: an entry is never
// written again once the frames it covers are published, so drawing while building is safe and
// shows the sound as far as it is known. Stop ends the worker (joined: after it returns the
// reader is not called again); Resume carries on from where it stopped.
//
// Samples are held as 16-bit values: 8-bit sound (unsigned, silence 128) is widened, (v − 128)
// × 256. Only the PCM formats the sound object holds (8 or 16 bits, 1 or 2 channels) are read.
//
// Start, Stop, Resume and the destructor on one thread (the user-interface thread); the readers
// (Columns, FramesDone, Done) on that thread too, concurrently with the worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace gui {

class PeakCache {
public:
    static constexpr uint32_t kBaseBlock = 256;
    static constexpr uint32_t kFactor = 4;
    // Frames read per chunk by the worker.
    static constexpr uint32_t kChunkFrames = 1u << 16;

    struct Peak {
        int16_t lo;
        int16_t hi;
    };
    // Reads bytes of sound data at a byte offset into out; returns the bytes read (a short read
    // ends the build there). Called on the worker.
    using Reader = std::function<uint32_t(uint32_t offset, void* out, uint32_t bytes)>;

    PeakCache() = default;
    ~PeakCache() { Stop(); }
    PeakCache(const PeakCache&) = delete;
    PeakCache& operator=(const PeakCache&) = delete;

    // Builds the cache of a sound of frames frames, channels channels of bits bits (8 or 16).
    // Any build under way stops first. False (and an empty cache) for another format.
    bool Start(uint32_t frames, int channels, int bits, Reader reader);
    // Ends the worker; what was built stays readable.
    void Stop();
    // Carries on a stopped build.
    void Resume();
    // Empties the cache (stopping the worker).
    void Clear();
    bool Running() const {
        return worker_.joinable() && !finished_.load(std::memory_order_acquire);
    }
    // Waits until the build has finished (tests, benchmarks).
    void Wait();

    uint32_t Frames() const { return frames_; }
    int Channels() const { return channels_; }
    uint32_t FramesDone() const { return done_.load(std::memory_order_acquire); }
    bool Done() const { return frames_ > 0 && FramesDone() >= frames_; }
    int Levels() const { return int(levels_.size()); }
    // Frames one entry of a level covers.
    static uint64_t BlockFrames(int level);
    // The coarsest level whose entries cover at most framesPerColumn frames (-1 when a column
    // is finer than level 0: draw from the samples).
    int LevelFor(double framesPerColumn) const;

    // The min and max of a channel over [from, to) from the cache; false when those frames are
    // not built yet (or the span is empty or finer than a level-0 entry).
    bool Range(int channel, uint64_t from, uint64_t to, int16_t& lo, int16_t& hi) const;
    // Columns of a view: column c covers [first + c × fpp, first + (c + 1) × fpp). valid[c] is
    // 0 for a column not built yet (or past the end). fpp must be at least kBaseBlock.
    void Columns(int channel, double first, double fpp, int columns, int16_t* lo, int16_t* hi,
                 uint8_t* valid) const;

private:
    void Work();
    const Peak* Entries(int level, int channel) const {
        return levels_[size_t(level)].data() + size_t(channel) * counts_[size_t(level)];
    }

    uint32_t frames_ = 0;
    int channels_ = 0;
    int bits_ = 16;
    Reader reader_;
    // levels_[l] holds channels_ × counts_[l] entries, channel after channel.
    std::vector<std::vector<Peak>> levels_;
    std::vector<size_t> counts_;
    std::atomic<uint32_t> done_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{true};
    std::thread worker_;
};

} // namespace gui
