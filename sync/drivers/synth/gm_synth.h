// The built-in synthesizer, "Dendra GM Synth": a MIDI output device rendered by FluidSynth with a
// General MIDI soundfont.
//
// Each message carries the exact time of the clock tick it was dispatched for; the synth turns that
// time into a sample position when it takes the message in to render, and applies the message
// there, so playback timing does not depend on when the timer thread woke. Rendered for an output
// on a JACK server, the position is the message's frame on the server's time line plus the latency
// every JACK output of the library keeps (jack_timeline.h), so the synth sounds together with the
// JACK MIDI outputs; elsewhere it comes from the time origin, sample rate and latency given. Note:
// FluidSynth applies messages at the start of its 64-frame control blocks, so a message takes
// effect at the first block boundary at or after its sample (the same one on every render).
//
// Threads: messages arrive on the clock's thread or the user-interface thread through a
// preallocated ring (Send allocates nothing); Render runs on the audio thread (the mixer) or the
// offline renderer, and is the only caller of FluidSynth.
#pragma once

#include "sync/drivers/driver.h"
#include "sync/drivers/jack/jack_timeline.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

typedef struct _fluid_synth_t fluid_synth_t;
typedef struct _fluid_hashtable_t fluid_settings_t;

namespace dsync {

class GmSynth {
public:
    static constexpr const char* kName = "Dendra GM Synth";
    static constexpr size_t kMaxSysex = 256;

    GmSynth();
    ~GmSynth();
    GmSynth(const GmSynth&) = delete;
    GmSynth& operator=(const GmSynth&) = delete;

    // The soundfont search: the setting when it names a readable file, then the standard General
    // MIDI soundfonts of the system. Empty when none is found.
    static std::string FindSoundFont(const std::string& setting);
    // The Devices/SoundFont setting (the program passes it in; it takes effect at the next load).
    void SetSoundFontSetting(const std::string& path);
    std::string SoundFontSetting() const;

    // Loads the soundfont and makes the synth ready (not real-time). False when no soundfont is
    // found or FluidSynth refuses it.
    bool Load(double sampleRate = 44100.0);
    bool Loaded() const { return synth_ != nullptr; }
    void Unload();
    std::string SoundFontPath() const { return soundFont_; }
    double SampleRate() const { return sampleRate_; }

    // The time line: sample 0 of the render is at originNs; messages sound latencyFrames later.
    void SetTimeOrigin(int64_t originNs, int64_t latencyFrames = 0);
    // The sample a time on the clock's time line maps to.
    int64_t SampleOf(int64_t exactNs) const;

    // Real-time: queue a message (see DispatchTime). False when the ring is full.
    bool SendShort(uint32_t message, const DispatchTime& at);
    bool SendLong(const uint8_t* data, uint32_t length, const DispatchTime& at);
    // The clock's dispatch period (see MidiOutPort::SetDispatchPeriod); the largest given counts.
    void SetDispatchPeriod(uint32_t ms);
    // Real-time: silences everything and restores the channels' defaults, as a device reset does.
    bool Reset();

    // Renders frames into left and right (overwriting). Real-time once loaded. at: where the
    // frames lie on a JACK server's time line, when the output plays there.
    void Render(float* left, float* right, uint32_t frames, const jack::BlockTime* at = nullptr);
    int64_t RenderedFrames() const { return rendered_; }

    // Output volume: left level in the low 16 bits, right level in the high 16 bits.
    uint32_t VolumeWord() const { return volume_.load(); }
    void SetVolumeWord(uint32_t w) { volume_.store(w); }

    uint64_t Dropped() const { return dropped_.load(); }

private:
    // One stretch of samples from the synthesizer library.
    void WriteFloat(int frames, float* left, float* right);
    struct Event {
        int64_t sample = 0;   // in the ring: the time on the clock's time line (INT64_MIN: at once)
        uint32_t message = 0; // 0: sysex in bytes; 0xFFFFFFFF: reset
        uint32_t length = 0;
        uint8_t bytes[kMaxSysex];
    };
    bool Push(const Event& e);
    void Apply(const Event& e);

    mutable std::mutex settingLock_;
    std::string setting_;
    std::string soundFont_;
    double sampleRate_ = 44100.0;
    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;

    std::atomic<int64_t> originNs_{0};
    std::atomic<int64_t> latency_{0};
    int64_t rendered_ = 0;
    std::atomic<uint32_t> dispatchMs_{0};
    std::atomic<uint32_t> volume_{0xFFFFFFFFu};
    std::atomic<uint64_t> dropped_{0};

    // Ring of incoming events (several senders, serialised by a short lock), then the pending
    // list in sample order (render thread only). Both preallocated.
    std::mutex pushLock_;
    std::vector<Event> ring_;
    std::atomic<uint32_t> ringWrite_{0}, ringRead_{0};
    std::vector<Event> pending_;
    size_t pendingCount_ = 0;
};

// The process's built-in synth.
GmSynth& BuiltInSynth();

} // namespace dsync
