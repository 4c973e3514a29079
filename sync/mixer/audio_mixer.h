// The audio mixer: the library's sound-buffer service. Wave outputs play through mixer voices; the
// built-in synthesizer and other renderers are mixed in as pull sources; the result goes to one
// output (a JACK client, an ALSA or PulseAudio device, or an offline sink the renderer pulls).
//
// A voice is a sound buffer of PCM bytes (8-bit unsigned or 16-bit signed, one or two channels, any
// rate) with an attenuation, a pan and a frequency:
//   - attenuation in hundredths of a decibel, 0 (full level) down to -10000 (silent);
//   - pan from -10000 (left) to +10000 (right): the channel opposite the pan is attenuated by |pan|
//     hundredths of a decibel, the other stays at full level;
//   - frequency in Hz (the rate the buffer is played at), held to 100..100000; 0 restores the
//     buffer's own rate. The voice is resampled to the mixer rate with a band-limited kernel.
// The primary output has an attenuation and a pan of its own, applied after all voices are summed.
//
// Two kinds of buffer:
//   - static: the whole sound fits. The owner writes it once (Lock/Unlock or Write); Play(false)
//     plays it once and the voice stops at its end (and rewinds to 0); Play(true) loops it.
//   - streaming: a ring. The owner (one writer thread) appends at the write cursor while the mixer
//     consumes at the play cursor; WritableBytes is the room already played. Position
//     notifications mark segment ends, so the owner refills each segment once it has been played.
//     A ring that runs dry plays silence and waits for data (counted in Underruns()). EndOfStream
//     lets the voice stop by itself once everything written has been played.
//
// Notification offsets are byte offsets o in (0, size]: the event fires when the byte at o - 1
// has been consumed (so the three segment ends of a buffer in three segments are seg, 2 seg and
// size). Events are bits collected per voice; the owner waits for them with WaitEvents, which
// wakes without the mixer allocating or blocking (an atomic word and a futex).
//
// Threads:
//   - Render (the audio callback, or the offline sink) is real-time: it allocates nothing, takes no
//     lock and never waits (except offline, see SetOffline).
//   - Voice parameters and Play/Stop may be changed from any thread; they take effect at the start
//     of the next mixing block (at most 256 frames). On a JACK output PlayAt starts a voice at the
//     exact frame of its time.
//   - Lock/Unlock/Write/EndOfStream belong to the voice's one writer (its streaming thread).
//   - CreateVoice/ReleaseVoice, AddSource/RemoveSource are for non-real-time threads; releasing
//   waits
//     until a running callback has left the mixer (one audio period at most).
#pragma once

#include "sync/drivers/jack/jack_timeline.h"
#include "sync/mixer/resampler.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace dsync::mixer {

struct PcmFormat {
    uint16_t channels = 1;       // 1 or 2
    uint32_t sampleRate = 22050; // frames per second
    uint16_t bitsPerSample = 16; // 8 (unsigned) or 16 (signed little-endian)

    uint32_t BlockAlign() const { return uint32_t(channels) * (bitsPerSample / 8u); }
    uint32_t BytesPerSecond() const { return BlockAlign() * sampleRate; }
    bool Valid() const {
        return (channels == 1 || channels == 2) && (bitsPerSample == 8 || bitsPerSample == 16) &&
               sampleRate >= 100 && sampleRate <= 200000;
    }
    bool operator==(const PcmFormat&) const = default;
};

// Attenuation and pan limits, in hundredths of a decibel.
constexpr int32_t kAttenuationSilent = -10000;
constexpr int32_t kPanLeft = -10000;
constexpr int32_t kPanRight = 10000;
constexpr uint32_t kMinFrequency = 100;
constexpr uint32_t kMaxFrequency = 100000;

// The linear gain of an attenuation (hundredths of a decibel); 0 at -10000 and below.
float GainOf(int32_t attenuation);
// The left and right gains of a pan (hundredths of a decibel, opposite channel attenuated).
void PanGains(int32_t pan, float& left, float& right);

// Event bits of a voice.
constexpr int kMaxNotifications = 16;
constexpr uint32_t NotificationBit(int index) {
    return 1u << index;
}
constexpr uint32_t kVoiceEnded = 1u << 16; // the voice stopped by itself (end of data)
constexpr uint32_t kVoiceWake = 1u << 17;  // Wake() was called (e.g. a stop request)

// Something the mixer pulls, sample-exact, at the mixer's rate (the built-in synthesizer).
class AudioSource {
public:
    virtual ~AudioSource() = default;
    // Real-time: overwrite left and right with frames frames starting at the mixer's frame
    // framePosition. No allocation, no blocking.
    virtual void Render(float* left, float* right, uint32_t frames, uint64_t framePosition) = 0;
    // The same, for an output that plays on a server's frame time line (JACK): at tells where the
    // block lies on it. Sources that place events in time override this one.
    virtual void RenderAt(float* left, float* right, uint32_t frames, uint64_t framePosition,
                          const jack::BlockTime& at) {
        (void)at;
        Render(left, right, frames, framePosition);
    }
};

struct VoiceDesc {
    PcmFormat format;
    uint32_t bufferBytes = 0; // rounded down to whole frames; at least one frame
    bool isStatic = false;
    std::vector<uint32_t> notifications; // byte offsets in (0, bufferBytes], at most 16
};

class AudioMixer;

class Voice {
public:
    Voice(const Voice&) = delete;
    Voice& operator=(const Voice&) = delete;

    const PcmFormat& Format() const { return format_; }
    uint32_t BufferBytes() const { return size_; }
    bool IsStatic() const { return static_; }

    // Any thread.
    void Play(bool loop);
    // Plays from the frame at which startNs (on the clock's time line) falls on the output's JACK
    // time line, less nothing and plus the latency every JACK output keeps (dispatchPeriodMs: the
    // clock's period), so the voice sounds together with the synthesizer and the JACK MIDI
    // outputs. On other outputs, with INT64_MIN, or once that frame has passed: at once.
    void PlayAt(bool loop, int64_t startNs, uint32_t dispatchPeriodMs);
    void Stop();
    bool IsPlaying() const { return playing_.load(std::memory_order_acquire); }
    bool IsLooping() const { return loop_.load(std::memory_order_relaxed); }
    void SetAttenuation(int32_t hundredthsDb);
    int32_t Attenuation() const { return attenuation_.load(std::memory_order_relaxed); }
    void SetPan(int32_t pan);
    int32_t Pan() const { return pan_.load(std::memory_order_relaxed); }
    void SetFrequency(uint32_t hz); // 0: the buffer's own rate
    uint32_t Frequency() const { return frequency_.load(std::memory_order_relaxed); }

    // Stopped voices only (any non-real-time thread, while the writer is idle): a static buffer
    // goes back to its first byte; a streaming buffer is emptied (cursors at 0, end-of-stream
    // cleared), keeping its bytes. Pending events are cleared too.
    void Rewind();

    // Writer. Streaming: room at the write cursor (bytes already played). Static: bytes not yet
    // written.
    uint32_t WritableBytes() const;
    // Writer. Gives up to two parts (the ring wraps) for bytes bytes at the write cursor, at most
    // WritableBytes(); returns the total. Unlock(n) publishes the first n bytes.
    uint32_t Lock(uint32_t bytes, uint8_t** part1, uint32_t* size1, uint8_t** part2,
                  uint32_t* size2);
    void Unlock(uint32_t bytes);
    // Writer. Copies up to WritableBytes(); returns how many were taken.
    uint32_t Write(const void* data, uint32_t bytes);
    // Writer. Streaming: nothing more follows; the voice stops after the last byte written.
    void EndOfStream();
    // Bytes written in total (streaming) or in the buffer (static).
    uint64_t WrittenBytes() const { return written_.load(std::memory_order_acquire); }

    // Events. WaitEvents returns and clears the bits that are set, waiting up to timeoutMs for one
    // (0: no wait, negative: no limit). Wake sets kVoiceWake from any thread.
    uint32_t WaitEvents(int timeoutMs);
    void Wake() { Signal(kVoiceWake); }

    // Bytes the mixer has consumed since the last Rewind (the play cursor is this modulo the
    // buffer size) and the times a streaming voice ran dry.
    uint64_t ConsumedBytes() const { return consumed_.load(std::memory_order_acquire); }
    uint32_t PlayCursor() const { return uint32_t(ConsumedBytes() % size_); }
    uint64_t Underruns() const { return underruns_.load(std::memory_order_relaxed); }

private:
    friend class AudioMixer;
    Voice() = default;
    void Signal(uint32_t bits);
    // Real-time (the mixer): adds frames frames to the bus.
    void Mix(float* left, float* right, uint32_t frames, uint32_t mixRate, bool offline);
    uint32_t Pull(uint32_t frames, bool offline); // input frames into the resampler
    void Notify(uint64_t from, uint64_t to);
    bool Exhausted() const; // everything there is to play has entered the resampler

    AudioMixer* mixer_ = nullptr;
    PcmFormat format_;
    uint32_t size_ = 0;
    uint32_t frameBytes_ = 1;
    bool static_ = false;
    std::unique_ptr<uint8_t[]> data_;
    uint32_t notify_[kMaxNotifications] = {};
    int notifyCount_ = 0;

    std::atomic<bool> inUse_{false};
    std::atomic<bool> playing_{false};
    std::atomic<int64_t> startNs_{INT64_MIN}; // PlayAt's time, until the mixer starts it
    std::atomic<uint32_t> startDispatchMs_{0};
    std::atomic<bool> loop_{false};
    std::atomic<int32_t> attenuation_{0};
    std::atomic<int32_t> pan_{0};
    std::atomic<uint32_t> frequency_{0};
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> consumed_{0};
    std::atomic<bool> endOfStream_{false};
    std::atomic<uint32_t> rewinds_{0};
    std::atomic<uint64_t> underruns_{0};
    std::atomic<uint32_t> events_{0};
    std::atomic<uint32_t> commits_{0}; // futex word: bumped by Unlock, waited on offline
    uint32_t lockedBytes_ = 0;         // writer only

    // Mixer thread only.
    SincResampler resampler_;
    uint32_t seenRewinds_ = 0;
    bool fresh_ = true;
    float scratch_[2][SincResampler::kMaxOutput] = {};
};

class AudioMixer {
public:
    static constexpr int kMaxVoices = 64;
    static constexpr int kMaxSources = 8;
    static constexpr uint32_t kBlock = SincResampler::kMaxOutput;

    explicit AudioMixer(uint32_t sampleRate = 48000);
    ~AudioMixer();
    AudioMixer(const AudioMixer&) = delete;
    AudioMixer& operator=(const AudioMixer&) = delete;

    // The output rate; set by the backend when it opens (any thread, effective next block).
    void SetSampleRate(uint32_t rate);
    uint32_t SampleRate() const { return rate_.load(std::memory_order_relaxed); }

    // Not real-time. Null when the description is invalid or every voice is taken.
    Voice* CreateVoice(const VoiceDesc& desc);
    void ReleaseVoice(Voice* voice);
    int ActiveVoices() const;

    // Not real-time. The source must outlive its registration; false when all slots are taken.
    bool AddSource(AudioSource* source);
    void RemoveSource(AudioSource* source);

    // The primary output (any thread).
    void SetMasterAttenuation(int32_t hundredthsDb);
    int32_t MasterAttenuation() const { return masterAttenuation_.load(); }
    void SetMasterPan(int32_t pan);
    int32_t MasterPan() const { return masterPan_.load(); }

    // Offline rendering: a streaming voice that runs dry waits (up to two seconds) for its writer
    // instead of playing silence, so a render does not depend on thread timing.
    void SetOffline(bool offline) { offline_.store(offline); }
    bool Offline() const { return offline_.load(); }

    // Real-time: overwrites left and right with the next frames of the mix. at: where they lie on
    // the output's frame time line, for an output that has one (JACK).
    void Render(float* left, float* right, uint32_t frames, const jack::BlockTime* at = nullptr);
    // Frames rendered so far.
    uint64_t FramePosition() const { return position_.load(std::memory_order_acquire); }

    // Not real-time: returns once no Render call that started before is still running.
    void WaitForCallback() const;

private:
    void RenderBlock(float* left, float* right, uint32_t frames, const jack::BlockTime* at);

    std::atomic<uint32_t> rate_;
    std::atomic<int32_t> masterAttenuation_{0};
    std::atomic<int32_t> masterPan_{0};
    std::atomic<bool> offline_{false};
    std::atomic<uint64_t> position_{0};
    std::atomic<uint64_t> inside_{0}; // odd while a Render call runs
    std::mutex configLock_;           // CreateVoice/ReleaseVoice/AddSource among themselves
    std::unique_ptr<Voice> voices_[kMaxVoices];
    std::atomic<AudioSource*> sources_[kMaxSources] = {};
    float sourceLeft_[kBlock] = {}, sourceRight_[kBlock] = {};
};

// The offline output: the renderer pulls the mix frame-exactly, in interleaved stereo floats.
class OfflineSink {
public:
    // Puts the mixer into offline mode at the given rate.
    OfflineSink(AudioMixer& mixer, uint32_t sampleRate);
    ~OfflineSink();
    // The next frames of the mix; valid until the next Pull.
    const float* Pull(uint32_t frames);
    uint64_t FramesPulled() const { return pulled_; }

private:
    AudioMixer& mixer_;
    std::vector<float> left_, right_, interleaved_;
    uint64_t pulled_ = 0;
};

} // namespace dsync::mixer
