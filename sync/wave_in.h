// CWaveIn: records from a capture device into a wave event.
//
// The capture stream holds two seconds of sound in the capture format, in ten segments. A capture
// thread of its own wakes at each segment end. While recording (a target wave was given with
// AddEvent) it takes the target's named mutex, computes a level from the first 64 samples of the
// new stretch, posts 0x140D to the owner window with a WaveInBlock (the stretch in at most two
// parts) and waits until the program has appended both parts to the target's sound and called
// WaveInBlock::Complete, or until Stop. The program must not take the target's mutex while
// handling 0x140D (the capture thread holds it). Without a target and with the level monitor on,
// each segment posts 0x140E with the mean of the newest 20 bytes as wParam.
//
// Stop always wakes the capture thread, even while it waits for a completion, and joins it; a
// block posted but not yet handled then reads as empty (lengths 0) once the input is closed, and
// LiveWaveInBlock no longer finds it once the input is destroyed.
//
// The capture device is a JACK client when the device is the JACK input (or the default while a
// server runs), else an ALSA or PulseAudio device through RtAudio, or, for tests and offline work,
// a generated signal (CreateGenerated).
//
// Threads: the operations run on the user-interface thread; the capture thread only reads the
// stream and posts.
#pragma once

#include "events/wave_format.h"
#include "platform/message_queue.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/proto_device.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class EventWave;

namespace dsync::mixer {
class CaptureStream;
class JackCapture;
class RtAudioCapture;
class GeneratedCapture;
} // namespace dsync::mixer

namespace dsync {

constexpr uint32_t kMsgWaveInData = 0x140D;  // the block's serial, the WaveInBlock
constexpr uint32_t kMsgWaveInLevel = 0x140E; // mean of the newest samples, the CWaveIn

// A signal the program gives the capture thread; Stop signals it too.
class CompletionEvent {
public:
    void Signal();
    // True when signalled (and then reset); false after timeoutMs.
    bool Wait(int timeoutMs);
    void Reset();

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

// The record of one 0x140D: append data1[0..size1) then data2[0..size2) to the target, then call
// Complete().
struct WaveInBlock {
    CompletionEvent* completion = nullptr;
    uint32_t size1 = 0;
    const uint8_t* data1 = nullptr;
    const uint8_t* data2 = nullptr;
    uint32_t size2 = 0;
    uint32_t level = 0;  // 0 .. 100
    uint64_t serial = 0; // names this block in its messages; no later block has the same
    void Complete() {
        if (completion) completion->Signal();
    }
};

// The block a 0x140D message names (wParam, lParam), or null when the input that posted it has
// been destroyed since, so that a message still queued then cannot reach freed memory. Call it on
// the user-interface thread, where inputs are made and destroyed.
WaveInBlock* LiveWaveInBlock(uintptr_t wParam, intptr_t lParam);

// The level of a stretch of PCM from its first 64 samples: sqrt(sum |s| / 64 × 0.01) × 100, at most
// 100 (8-bit: |byte − 128|, 16-bit: |sample|).
uint32_t CaptureLevel(const uint8_t* part1, uint32_t size1, const uint8_t* part2, uint32_t size2,
                      uint16_t bitsPerSample);
// The mean of the newest bytes for 0x140E (8-bit: byte × 256, 16-bit: the sample).
int32_t CaptureMean(const uint8_t* bytes, uint32_t size, uint16_t bitsPerSample);

} // namespace dsync

class CWaveIn : public ProtoDevice {
public:
    static constexpr uint32_t kSegments = 10;

    CWaveIn();
    ~CWaveIn() override;
    CWaveIn(const CWaveIn&) = delete;
    CWaveIn& operator=(const CWaveIn&) = delete;

    // 1 on success, 0 on failure. identity: 16 bytes of a capture device (null or zero: the
    // default).
    unsigned Create(platform::Window owner, const uint8_t* identity);
    // Records a generated signal at the given device rate instead of a device.
    unsigned CreateGenerated(platform::Window owner, dsync::mixer::AudioSource& source,
                             uint32_t rate, bool realTime = true);

    // ProtoDevice.
    void Close() override;
    int Start() override;
    void Stop() override;
    int AddEvent(EventWave* wave) override;
    unsigned GetWaveCaps(uint32_t* code) override;
    void SetWaveCaps(uint32_t code) override;

    void SetLevelMonitor(bool on) { levelMonitor_.store(on); }
    bool IsRecording() const { return target_ != nullptr; }
    const WAVEFORMATEX& CaptureFormat() const { return format_; }
    const EventWave* Target() const { return target_; }
    dsync::mixer::CaptureStream* Stream() { return stream_.get(); }
    // Full JACK port names of the capture client (empty on other devices).
    std::string PortName(int channel) const;
    // Renders and pushes frames frames of the generated signal now (CreateGenerated only; the
    // capture then runs on demand instead of in real time).
    void PumpGenerated(uint32_t frames);

    // Fields.
    uint32_t formatCode = 0x80;
    uint32_t segments = kSegments;
    uint32_t segmentBytes = 0;
    platform::Window ownerWindow = 0;

private:
    enum class Source { None, Device, Generated };
    bool Build();
    void Release();
    void Thread();

    Source source_ = Source::None;
    uint8_t identity_[16] = {};
    dsync::mixer::AudioSource* generator_ = nullptr;
    uint32_t generatorRate_ = 0;
    bool generatorRealTime_ = true;
    WAVEFORMATEX format_;
    std::unique_ptr<dsync::mixer::CaptureStream> stream_;
    std::unique_ptr<dsync::mixer::JackCapture> jack_;
    std::unique_ptr<dsync::mixer::RtAudioCapture> rtaudio_;
    std::unique_ptr<dsync::mixer::GeneratedCapture> generated_;
    EventWave* target_ = nullptr; // the private copy
    std::atomic<bool> levelMonitor_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> recording_{false};
    bool running_ = false;
    std::thread thread_;
    dsync::CompletionEvent completion_;
    dsync::WaveInBlock block_;
};
