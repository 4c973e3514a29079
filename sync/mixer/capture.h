// The capture side: a CaptureStream holds recorded sound in a PCM format, in a lock-free
// single-producer single-consumer ring. A capture backend (JACK input ports, an RtAudio input
// device, or a generated signal for tests) produces into it from its own thread; the wave input's
// capture thread consumes it.
//
// The producer hands planar float frames at the device rate; the stream resamples them to its
// format's rate (unchanged when the rates are equal), converts to 8-bit unsigned or 16-bit signed
// samples (stereo input is averaged for a mono format, mono input is doubled for a stereo one) and
// appends the bytes. When the ring is full the newest bytes are dropped and counted. Every time the
// bytes produced cross a multiple of the notification size the consumer's wait is woken (the wave
// input uses ten notifications over two seconds).
//
// Threads: PushFrames is real-time (the capture callback): no allocation, no lock, no wait. The
// consumer side (Available, Peek, Consume, Read, CopyNewest, WaitEvents) belongs to one consumer
// thread; Wake may be called from any thread.
#pragma once

#include "sync/mixer/audio_mixer.h"
#include "sync/mixer/resampler.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;
class RtAudio;

namespace dsync::mixer {

constexpr uint32_t kCaptureData = 1u << 0; // a notification boundary was crossed
constexpr uint32_t kCaptureWake = 1u << 1; // Wake() was called

class CaptureStream {
public:
    // capacityBytes and notifyBytes are rounded down to whole frames (at least one frame).
    CaptureStream(const PcmFormat& format, uint32_t capacityBytes, uint32_t notifyBytes);
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    const PcmFormat& Format() const { return format_; }
    uint32_t Capacity() const { return size_; }
    uint32_t NotifyBytes() const { return notify_; }

    // Not real-time; while no producer runs. The rate of the frames PushFrames will be given.
    void SetInputRate(uint32_t rate);
    uint32_t InputRate() const { return inputRate_; }
    // Not real-time; while neither side runs: empties the ring and the resampler.
    void Clear();

    // Real-time producer. right may be null for a one-channel source.
    void PushFrames(const float* left, const float* right, uint32_t frames);

    // Consumer.
    uint32_t Available() const;
    // Up to bytes bytes at the read position, in at most two parts; returns the total.
    uint32_t Peek(uint32_t bytes, const uint8_t** part1, uint32_t* size1, const uint8_t** part2,
                  uint32_t* size2) const;
    void Consume(uint32_t bytes);
    uint32_t Read(void* dst, uint32_t bytes);
    // Copies the newest bytes (up to bytes, whole frames) without consuming them.
    uint32_t CopyNewest(void* dst, uint32_t bytes) const;
    // Returns and clears the event bits, waiting up to timeoutMs (negative: no limit).
    uint32_t WaitEvents(int timeoutMs);
    void Wake();

    uint64_t ProducedBytes() const { return produced_.load(std::memory_order_acquire); }
    uint64_t DroppedBytes() const { return dropped_.load(std::memory_order_relaxed); }

private:
    void Append(const float* left, const float* right, uint32_t frames);
    void Signal(uint32_t bits);

    PcmFormat format_;
    uint32_t frameBytes_;
    uint32_t size_;
    uint32_t notify_;
    uint32_t inputRate_;
    std::unique_ptr<uint8_t[]> data_;
    std::atomic<uint64_t> produced_{0};
    std::atomic<uint64_t> consumed_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint32_t> events_{0};
    uint64_t nextNotify_;
    // Producer only.
    SincResampler resampler_;
    float out_[2][SincResampler::kMaxOutput] = {};
    uint8_t bytes_[SincResampler::kMaxOutput * 4] = {};
};

// A capture client of the JACK server with two input ports, "in_left" and "in_right".
class JackCapture {
public:
    explicit JackCapture(CaptureStream& stream);
    ~JackCapture();
    JackCapture(const JackCapture&) = delete;
    JackCapture& operator=(const JackCapture&) = delete;

    // Not real-time. Never starts a server; the stream takes the server's rate as input rate.
    bool Open(const std::string& clientName, std::string* error = nullptr);
    // Registers the ports and activates the client.
    bool Start();
    void Stop();
    void Close();
    bool IsRunning() const { return running_; }
    std::string PortName(int channel) const; // full port names
    uint32_t SampleRate() const;

private:
    static int Process(uint32_t frames, void* arg);
    CaptureStream& stream_;
    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[2] = {nullptr, nullptr};
    bool running_ = false;
};

// Capture from an ALSA or PulseAudio device through RtAudio.
class RtAudioCapture {
public:
    explicit RtAudioCapture(CaptureStream& stream);
    ~RtAudioCapture();
    RtAudioCapture(const RtAudioCapture&) = delete;
    RtAudioCapture& operator=(const RtAudioCapture&) = delete;

    // api: 2 ALSA, 3 PulseAudio (AudioApi); device: the API's device index, or -1 for its
    // default. Errors are caught and reported in error.
    bool Open(int api, int device, uint32_t rate, std::string* error = nullptr);
    bool Start(std::string* error = nullptr);
    void Stop();
    void Close();

private:
    static int Callback(void* out, void* in, unsigned int frames, double time, unsigned int status,
                        void* arg);
    CaptureStream& stream_;
    std::unique_ptr<RtAudio> audio_;
    uint32_t channels_ = 2;
};

// A generated signal for tests and offline work: an AudioSource rendered into the stream, either
// on demand (Pump, on the caller's thread) or by a thread of its own in real time.
class GeneratedCapture {
public:
    GeneratedCapture(CaptureStream& stream, AudioSource& generator, uint32_t rate);
    ~GeneratedCapture();
    GeneratedCapture(const GeneratedCapture&) = delete;
    GeneratedCapture& operator=(const GeneratedCapture&) = delete;

    // Renders and pushes frames frames now.
    void Pump(uint32_t frames);
    // Pushes blocks of blockFrames at the rate's pace until Stop.
    void Start(uint32_t blockFrames = 256);
    void Stop();
    uint64_t FramesGenerated() const { return position_.load(); }

private:
    CaptureStream& stream_;
    AudioSource& generator_;
    uint32_t rate_;
    std::atomic<uint64_t> position_{0};
    std::atomic<bool> run_{false};
    std::thread thread_;
    float left_[AudioMixer::kBlock] = {}, right_[AudioMixer::kBlock] = {};
};

// A sine tone, the same in both channels: amplitude × sin(2π × frequency × n / rate).
class SineSource : public AudioSource {
public:
    SineSource(double frequency, double amplitude, uint32_t rate)
        : frequency_(frequency), amplitude_(amplitude), rate_(rate) {}
    void Render(float* left, float* right, uint32_t frames, uint64_t framePosition) override;

private:
    double frequency_, amplitude_;
    uint32_t rate_;
};

} // namespace dsync::mixer
