#include "sync/drivers/synth/gm_synth.h"
#include "platform/thread_check.h"

#include "platform/timer.h"
#include "sync/devices.h"
#include "sync/messages.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fluidsynth.h>

namespace dsync {

namespace {
constexpr uint32_t kRingSize = 4096;
constexpr uint32_t kResetMessage = 0xFFFFFFFFu;

bool Readable(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

void QuietFluid(int, const char*, void*) {}
} // namespace

GmSynth::GmSynth() : ring_(kRingSize), pending_(kRingSize) {}

GmSynth::~GmSynth() {
    Unload();
}

std::string GmSynth::FindSoundFont(const std::string& setting) {
    if (Readable(setting)) return setting;
    const char* standard[] = {"/usr/share/sounds/sf2/default-GM.sf2",
                              "/usr/share/sounds/sf2/TimGM6mb.sf2",
                              "/usr/share/sounds/sf2/FluidR3_GM.sf2"};
    for (const char* p : standard)
        if (Readable(p)) return p;
    std::error_code ec;
    std::vector<std::string> sf3;
    for (const auto& e : std::filesystem::directory_iterator("/usr/share/sounds/sf3", ec)) {
        if (e.path().extension() == ".sf3" && Readable(e.path().string()))
            sf3.push_back(e.path().string());
    }
    std::sort(sf3.begin(), sf3.end());
    return sf3.empty() ? std::string() : sf3.front();
}

void GmSynth::SetSoundFontSetting(const std::string& path) {
    std::lock_guard<std::mutex> g(settingLock_);
    setting_ = path;
}

std::string GmSynth::SoundFontSetting() const {
    std::lock_guard<std::mutex> g(settingLock_);
    return setting_;
}

bool GmSynth::Load(double sampleRate) {
    std::string path = FindSoundFont(SoundFontSetting());
    if (synth_ && path == soundFont_ && sampleRate == sampleRate_) return true;
    Unload();
    if (path.empty()) return false;
    static bool quiet = [] {
        for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
            fluid_set_log_function(level, QuietFluid, nullptr);
        return true;
    }();
    (void)quiet;
    settings_ = new_fluid_settings();
    if (!settings_) return false;
    fluid_settings_setnum(settings_, "synth.sample-rate", sampleRate);
    fluid_settings_setint(settings_, "synth.cpu-cores", 1);
    fluid_settings_setint(settings_, "synth.threadsafe-api", 0);
    synth_ = new_fluid_synth(settings_);
    if (!synth_ || fluid_synth_sfload(synth_, path.c_str(), 1) == FLUID_FAILED) {
        Unload();
        return false;
    }
    soundFont_ = path;
    sampleRate_ = sampleRate;
    rendered_ = 0;
    pendingCount_ = 0;
    ringRead_.store(ringWrite_.load());
    return true;
}

void GmSynth::Unload() {
    if (synth_) delete_fluid_synth(synth_);
    synth_ = nullptr;
    if (settings_) delete_fluid_settings(settings_);
    settings_ = nullptr;
    soundFont_.clear();
}

void GmSynth::SetTimeOrigin(int64_t originNs, int64_t latencyFrames) {
    originNs_.store(originNs);
    latency_.store(latencyFrames);
}

int64_t GmSynth::SampleOf(int64_t exactNs) const {
    long double offset = (long double)(exactNs - originNs_.load()) * sampleRate_ / 1e9L;
    return int64_t(offset + 0.5L) + latency_.load();
}

bool GmSynth::Push(const Event& e) {
    std::lock_guard<std::mutex> g(pushLock_);
    uint32_t w = ringWrite_.load(std::memory_order_relaxed);
    uint32_t next = (w + 1) % kRingSize;
    if (next == ringRead_.load(std::memory_order_acquire)) {
        dropped_.fetch_add(1);
        return false;
    }
    ring_[w].sample = e.sample;
    ring_[w].message = e.message;
    ring_[w].length = e.length;
    if (e.length) std::memcpy(ring_[w].bytes, e.bytes, e.length);
    ringWrite_.store(next, std::memory_order_release);
    return true;
}

void GmSynth::SetDispatchPeriod(uint32_t ms) {
    uint32_t old = dispatchMs_.load();
    while (ms > old && !dispatchMs_.compare_exchange_weak(old, ms)) {
    }
}

bool GmSynth::SendShort(uint32_t message, const DispatchTime& at) {
    Event e;
    e.sample = at.exactNs == kAsSoonAsPossible ? INT64_MIN : at.exactNs;
    e.message = message;
    return Push(e);
}

bool GmSynth::SendLong(const uint8_t* data, uint32_t length, const DispatchTime& at) {
    if (!data || length == 0 || length > kMaxSysex) {
        dropped_.fetch_add(1);
        return false;
    }
    Event e;
    e.sample = at.exactNs == kAsSoonAsPossible ? INT64_MIN : at.exactNs;
    e.message = 0;
    e.length = length;
    std::memcpy(e.bytes, data, length);
    return Push(e);
}

bool GmSynth::Reset() {
    Event e;
    e.sample = INT64_MIN;
    e.message = kResetMessage;
    return Push(e);
}

void GmSynth::Apply(const Event& e) {
    if (e.message == kResetMessage) {
        fluid_synth_system_reset(synth_);
        return;
    }
    if (e.message == 0) {
        // FluidSynth wants the message without its 0xF0 and 0xF7 framing.
        const uint8_t* d = e.bytes;
        uint32_t n = e.length;
        if (n && d[0] == 0xF0) {
            ++d;
            --n;
        }
        if (n && d[n - 1] == 0xF7) --n;
        if (n)
            fluid_synth_sysex(synth_, reinterpret_cast<const char*>(d), int(n), nullptr, nullptr,
                              nullptr, 0);
        return;
    }
    uint8_t st = e.message & 0xFF, d1 = (e.message >> 8) & 0x7F, d2 = (e.message >> 16) & 0x7F;
    int ch = st & 0x0F;
    switch (st & 0xF0) {
    case 0x80:
        fluid_synth_noteoff(synth_, ch, d1);
        break;
    case 0x90:
        if (d2)
            fluid_synth_noteon(synth_, ch, d1, d2);
        else
            fluid_synth_noteoff(synth_, ch, d1);
        break;
    case 0xA0:
        fluid_synth_key_pressure(synth_, ch, d1, d2);
        break;
    case 0xB0:
        fluid_synth_cc(synth_, ch, d1, d2);
        break;
    case 0xC0:
        fluid_synth_program_change(synth_, ch, d1);
        break;
    case 0xD0:
        fluid_synth_channel_pressure(synth_, ch, d1);
        break;
    case 0xE0:
        fluid_synth_pitch_bend(synth_, ch, d1 | d2 << 7);
        break;
    default:
        if (st == 0xFF) fluid_synth_system_reset(synth_);
        break;
    }
}

void GmSynth::WriteFloat(int frames, float* left, float* right) {
    // The synthesizer library renders through a parallel runtime that allocates its team's
    // structures inside the call; that is outside what this program can hold to its real-time
    // rules, so the call is exempt from the checks (everything around it is not).
    DENDRA_REALTIME_EXEMPT();
    fluid_synth_write_float(synth_, frames, left, 0, 1, right, 0, 1);
}

void GmSynth::Render(float* left, float* right, uint32_t frames, const jack::BlockTime* at) {
    if (!left || !right) return;
    // On a JACK server whose rate the synth renders at: the frames of its time line.
    jack::Timeline& timeline = jack::TheTimeline();
    const bool onServer =
        at && at->rate != 0 && double(at->rate) == sampleRate_ && timeline.Anchored();
    int64_t latency = 0;
    if (onServer) {
        latency = jack::OutputLatencyFrames(at->cycleFrames, at->rate, dispatchMs_.load());
        if (at->latencyReport) at->latencyReport->store(uint32_t(latency));
    }
    bool timed = false;
    if (!synth_) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        rendered_ += frames;
        return;
    }
    // Take what arrived, keeping the pending list in sample order (stable for equal samples).
    uint32_t r = ringRead_.load(std::memory_order_relaxed);
    const uint32_t w = ringWrite_.load(std::memory_order_acquire);
    while (r != w) {
        if (pendingCount_ == pending_.size()) {
            dropped_.fetch_add(1);
        } else {
            Event& in = ring_[r];
            int64_t s = rendered_;
            if (in.sample != INT64_MIN) {
                int64_t frame = 0;
                if (onServer && timeline.FrameAt(in.sample, frame))
                    s = rendered_ + (frame + latency - at->frame);
                else
                    s = SampleOf(in.sample);
                s = std::max(s, rendered_);
                timed = true;
            }
            size_t i = pendingCount_;
            while (i > 0 && pending_[i - 1].sample > s) {
                std::swap(pending_[i], pending_[i - 1]);
                --i;
            }
            pending_[i].sample = s;
            pending_[i].message = in.message;
            pending_[i].length = in.length;
            if (in.length) std::memcpy(pending_[i].bytes, in.bytes, in.length);
            ++pendingCount_;
        }
        r = (r + 1) % kRingSize;
    }
    ringRead_.store(r, std::memory_order_release);
    if (timed && onServer) timeline.NoteUse(platform::MonotonicNs());

    const int64_t end = rendered_ + frames;
    size_t applied = 0;
    int64_t pos = rendered_;
    while (pos < end) {
        while (applied < pendingCount_ && pending_[applied].sample <= pos)
            Apply(pending_[applied++]);
        int64_t next = end;
        if (applied < pendingCount_) next = std::min(next, pending_[applied].sample);
        int chunk = int(next - pos);
        int offset = int(pos - rendered_);
        WriteFloat(chunk, left + offset, right + offset);
        pos = next;
    }
    // Keep what is still to come at the front of the list.
    if (applied) {
        for (size_t i = applied; i < pendingCount_; ++i)
            std::swap(pending_[i - applied], pending_[i]);
        pendingCount_ -= applied;
    }
    uint32_t vol = volume_.load();
    float gl = float(vol & 0xFFFF) / 65535.0f, gr = float(vol >> 16) / 65535.0f;
    if (gl != 1.0f || gr != 1.0f) {
        for (uint32_t i = 0; i < frames; ++i) {
            left[i] *= gl;
            right[i] *= gr;
        }
    }
    rendered_ = end;
}

GmSynth& BuiltInSynth() {
    static GmSynth synth;
    return synth;
}

namespace {
class SynthPort : public MidiOutPort {
public:
    explicit SynthPort(GmSynth& s) : synth_(s) {}
    int SendShort(uint32_t message, const DispatchTime& at) override {
        return synth_.SendShort(message, at) ? 0 : int(kNotReady);
    }
    int SendLong(const uint8_t* data, uint32_t length, const DispatchTime& at) override {
        synth_.SendLong(data, length, at);
        return 0;
    }
    int Reset() override { return synth_.Reset() ? 0 : int(kNotReady); }
    void SetDispatchPeriod(uint32_t ms) override { synth_.SetDispatchPeriod(ms); }
    bool HasVolume() const override { return true; }
    bool HasLeftRightVolume() const override { return true; }
    uint32_t GetVolumeWord() const override { return synth_.VolumeWord(); }
    void SetVolumeWord(uint32_t w) override { synth_.SetVolumeWord(w); }

private:
    GmSynth& synth_;
};

class SynthDriverImpl : public MidiDriver {
public:
    const char* Name() const override { return "Synth"; }
    bool IsSystemDriver() const override { return false; }
    std::vector<std::string> Outputs() override { return {GmSynth::kName}; }
    std::vector<std::string> Inputs() override { return {}; }
    unsigned OpenOutput(const std::string& port, const std::string&,
                        std::unique_ptr<MidiOutPort>& out) override {
        if (port != GmSynth::kName) return kBadDeviceId;
        GmSynth& s = BuiltInSynth();
        if (!s.Loaded() && !s.Load(s.SampleRate())) return kNoDriver;
        out = std::make_unique<SynthPort>(s);
        return kNoError;
    }
    unsigned OpenInput(const std::string&, const std::string&, MidiInSink*,
                       std::unique_ptr<MidiInPort>&) override {
        return kBadDeviceId;
    }
};
} // namespace

MidiDriver& SynthDriver() {
    static SynthDriverImpl driver;
    return driver;
}

} // namespace dsync
