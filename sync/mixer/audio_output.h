// Where the mixer plays: JACK (ports of the library's JACK client), an ALSA or PulseAudio device
// through RtAudio (the offline sink is in audio_mixer.h), and the list of audio devices for the
// device table.
//
// Every audio device of the library is mixer-backed: a wave output opened by device number and one
// opened by a 16-byte device identity both end in an AudioMixer playing through one of these
// outputs.
//
// The backends' callbacks run on the audio server's or the device's thread and only call
// AudioMixer::Render (real-time). Open/Start/Stop/Close are for non-real-time threads.
#pragma once

#include "sync/drivers/jack/jack_session.h"
#include "sync/mixer/audio_mixer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RtAudio;
struct DeviceRecord;

namespace dsync::mixer {

enum class AudioApi : uint8_t { None = 0, Jack = 1, Alsa = 2, Pulse = 3 };

// Two audio output ports, "NAME_left" and "NAME_right", of the library's JACK client
// (jack_session.h), registered when the output starts. Each cycle's block is handed to the mixer
// with its place on the JACK time line, so the built-in synthesizer puts every message at the frame
// a JACK MIDI output would (the same latency); the ports report that latency as their capture
// latency.
class JackOutput : private jack::Processor {
public:
    explicit JackOutput(AudioMixer& mixer);
    ~JackOutput() override;
    JackOutput(const JackOutput&) = delete;
    JackOutput& operator=(const JackOutput&) = delete;

    // Connects to the server (JACK_DEFAULT_SERVER or the default one; never starts a server) and
    // sets the mixer's rate to the server's. name: the ports' first part ("out" when empty).
    bool Open(const std::string& name, std::string* error = nullptr);
    // Registers the ports, activates the client and, when asked, connects the ports to the first
    // two physical playback ports.
    bool Start(bool connectToPlayback = false, std::string* error = nullptr);
    void Stop();
    void Close();
    bool IsOpen() const;
    bool IsRunning() const { return running_; }
    std::string PortName(int channel) const; // full port names, empty while stopped
    uint32_t SampleRate() const;
    uint32_t BufferSize() const;
    // Cycles the server missed since the output opened.
    uint64_t Xruns() const;
    bool ServerGone() const;
    // The latency the mixer's sources reported (frames; 0 while none places events in time).
    uint32_t LatencyFrames() const { return latency_.load(); }

private:
    void Process(const jack::CycleInfo& cycle) override;
    void SetCaptureLatency(uint32_t cycleFrames, uint32_t rate) override;

    AudioMixer& mixer_;
    bool open_ = false;
    std::string name_;
    jack_port_t* ports_[2] = {nullptr, nullptr};
    bool running_ = false;
    uint64_t xrunBase_ = 0;
    std::atomic<uint32_t> latency_{0};
};

// An ALSA or PulseAudio output through RtAudio. Errors are caught and reported, never thrown.
class RtAudioOutput {
public:
    explicit RtAudioOutput(AudioMixer& mixer);
    ~RtAudioOutput();
    RtAudioOutput(const RtAudioOutput&) = delete;
    RtAudioOutput& operator=(const RtAudioOutput&) = delete;

    // device: the API's device index, or -1 for its default output. rate 0: the device's
    // preferred rate (48000 when it has none). The mixer takes the rate the stream opens at.
    bool Open(AudioApi api, int device, uint32_t rate, uint32_t bufferFrames = 512,
              std::string* error = nullptr);
    bool Start(std::string* error = nullptr);
    void Stop();
    void Close();
    bool IsOpen() const;
    uint32_t SampleRate() const { return rate_; }
    uint64_t Underflows() const { return underflows_.load(); }

private:
    static int Callback(void* out, void* in, unsigned int frames, double time, unsigned int status,
                        void* arg);
    AudioMixer& mixer_;
    std::unique_ptr<RtAudio> audio_;
    uint32_t rate_ = 0;
    std::atomic<uint64_t> underflows_{0};
};

// One entry of the audio device list.
struct AudioDevice {
    std::string name;
    AudioApi api = AudioApi::None;
    int index = -1; // the API's device index; -1 for the default device
    bool output = true;
    uint8_t identity[16] = {}; // all zero for the default device
};

// Not real-time (they probe the server and the devices). Empty lists when there is nothing; no
// message is shown. The first entry of a non-empty list is the default device.
std::vector<AudioDevice> ListAudioOutputs();
std::vector<AudioDevice> ListCaptureDevices();
// Finds a device of the given direction by identity (all zero: the default).
bool FindAudioDevice(const uint8_t identity[16], bool output, AudioDevice& out);
// True when a JACK server answers (JACK_DEFAULT_SERVER or the default one).
bool JackServerRunning();

// Device-record flags of the audio devices.
constexpr uint32_t kAudioOutputFlags = 0x0C;  // mixer-backed ("DirectSound") output
constexpr uint32_t kAudioCaptureFlags = 0x04; // mixer-backed ("DirectSound") capture
constexpr uint32_t kWaveOutputFlags = 0x08;   // wave output opened by device number

// Appends audio device records after the filled first ones, up to capacity; returns the new
// count. includeWave: the outputs as numbered wave outputs (flags 0x08, identity = the device's
// index in ListAudioOutputs). includeMixer: the outputs (0x0C) and then the capture devices (0x04)
// with their 16-byte identities. Names are copied with malloc (freed by UnGetDevices).
int AppendAudioDeviceRecords(DeviceRecord* records, int filled, int capacity, bool includeWave,
                             bool includeMixer);

} // namespace dsync::mixer
