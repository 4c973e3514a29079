#include "sync/mixer/audio_output.h"
#include "platform/thread_check.h"

#include "sync/devices.h"
#include "sync/drivers/jack/jack_session.h"
#include "sync/mixer/quiet_alsa.h"
#include "sync/mixer/rtaudio_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <jack/jack.h>
#include <rtaudio/RtAudio.h>

namespace dsync::mixer {
namespace {

void QuietJack(const char*) {}

void QuietenJack() {
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
}

} // namespace

// ---- JackOutput -----------------------------------------------------------------------------

JackOutput::JackOutput(AudioMixer& mixer) : mixer_(mixer) {}

JackOutput::~JackOutput() {
    Close();
}

bool JackOutput::Open(const std::string& name, std::string* error) {
    if (open_) return true;
    QuietenJack();
    jack::Session& session = jack::TheSession();
    if (!session.Acquire()) {
        if (error) *error = "no JACK server";
        return false;
    }
    open_ = true;
    name_ = name.empty() ? "out" : name;
    xrunBase_ = session.Xruns();
    mixer_.SetSampleRate(jack_get_sample_rate(session.Client()));
    return true;
}

bool JackOutput::Start(bool connectToPlayback, std::string* error) {
    if (!open_) {
        if (error) *error = "not open";
        return false;
    }
    if (running_) return true;
    jack::Session& session = jack::TheSession();
    ports_[0] = session.RegisterPort(name_ + "_left", JACK_DEFAULT_AUDIO_TYPE, true);
    ports_[1] = session.RegisterPort(name_ + "_right", JACK_DEFAULT_AUDIO_TYPE, true);
    if (!ports_[0] || !ports_[1] || !session.Add(this)) {
        for (auto& p : ports_)
            if (p) session.UnregisterPort(p), p = nullptr;
        if (error) *error = "cannot register the JACK ports";
        return false;
    }
    running_ = true;
    if (connectToPlayback) {
        jack_client_t* client = session.Client();
        const char** playback = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsPhysical | JackPortIsInput);
        if (playback) {
            for (int c = 0; c < 2 && playback[c]; ++c)
                jack_connect(client, jack_port_name(ports_[c]), playback[c]);
            if (playback[0] && !playback[1])
                jack_connect(client, jack_port_name(ports_[1]), playback[0]);
            jack_free(playback);
        }
    }
    return true;
}

void JackOutput::Stop() {
    if (!open_ || !running_) return;
    jack::Session& session = jack::TheSession();
    session.Remove(this);
    for (auto& p : ports_)
        if (p) session.UnregisterPort(p), p = nullptr;
    running_ = false;
}

void JackOutput::Close() {
    Stop();
    if (open_) jack::TheSession().Release();
    open_ = false;
}

bool JackOutput::IsOpen() const {
    return open_;
}

std::string JackOutput::PortName(int channel) const {
    if (channel < 0 || channel > 1 || !ports_[channel]) return {};
    return jack_port_name(ports_[channel]);
}

uint32_t JackOutput::SampleRate() const {
    jack_client_t* c = open_ ? jack::TheSession().Client() : nullptr;
    return c ? jack_get_sample_rate(c) : 0;
}

uint32_t JackOutput::BufferSize() const {
    jack_client_t* c = open_ ? jack::TheSession().Client() : nullptr;
    return c ? jack_get_buffer_size(c) : 0;
}

uint64_t JackOutput::Xruns() const {
    return open_ ? jack::TheSession().Xruns() - xrunBase_ : 0;
}

bool JackOutput::ServerGone() const {
    return open_ && jack::TheSession().Gone();
}

void JackOutput::Process(const jack::CycleInfo& cycle) {
    auto* l = static_cast<float*>(jack_port_get_buffer(ports_[0], cycle.frames));
    auto* r = static_cast<float*>(jack_port_get_buffer(ports_[1], cycle.frames));
    jack::BlockTime at;
    at.frame = cycle.frame;
    at.cycleFrames = cycle.frames;
    at.rate = cycle.rate;
    at.latencyReport = &latency_;
    mixer_.Render(l, r, cycle.frames, &at);
}

void JackOutput::SetCaptureLatency(uint32_t, uint32_t) {
    // What the ports carry is as old as the latency the sources add (the synthesizer's).
    const uint32_t latency = latency_.load();
    jack_latency_range_t range{latency, latency};
    for (jack_port_t* p : ports_)
        if (p) jack_port_set_latency_range(p, JackCaptureLatency, &range);
}

// ---- RtAudioOutput --------------------------------------------------------------------------

RtAudioOutput::RtAudioOutput(AudioMixer& mixer) : mixer_(mixer) {}

RtAudioOutput::~RtAudioOutput() {
    Close();
}

bool RtAudioOutput::IsOpen() const {
    return audio_ && audio_->isStreamOpen();
}

bool RtAudioOutput::Open(AudioApi api, int device, uint32_t rate, uint32_t bufferFrames,
                         std::string* error) {
    Close();
    detail::QuietAlsa quiet;
    try {
        audio_ = std::make_unique<RtAudio>(api == AudioApi::Pulse ? RtAudio::LINUX_PULSE
                                                                  : RtAudio::LINUX_ALSA);
        audio_->showWarnings(false);
        if (audio_->getDeviceCount() == 0) {
            if (error) *error = "no audio output devices";
            audio_.reset();
            return false;
        }
        unsigned id = device < 0 ? audio_->getDefaultOutputDevice() : unsigned(device);
        RtAudio::DeviceInfo info = audio_->getDeviceInfo(id);
        if (!info.probed || info.outputChannels < 2) {
            if (error) *error = "not a stereo output device";
            audio_.reset();
            return false;
        }
        if (rate == 0) rate = info.preferredSampleRate ? info.preferredSampleRate : 48000;
        RtAudio::StreamParameters out;
        out.deviceId = id;
        out.nChannels = 2;
        RtAudio::StreamOptions options;
        options.flags = RTAUDIO_NONINTERLEAVED;
        options.streamName = "Dendra";
        unsigned frames = std::clamp(bufferFrames, 64u, 8192u);
        audio_->openStream(&out, nullptr, RTAUDIO_FLOAT32, rate, &frames, &RtAudioOutput::Callback,
                           this, &options);
        rate_ = audio_->getStreamSampleRate();
        mixer_.SetSampleRate(rate_);
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        audio_.reset();
        return false;
    }
}

bool RtAudioOutput::Start(std::string* error) {
    if (!audio_) {
        if (error) *error = "not open";
        return false;
    }
    return StartRtStream(*audio_, error);
}

void RtAudioOutput::Stop() {
    if (audio_) StopRtStream(*audio_);
}

void RtAudioOutput::Close() {
    CloseRtStream(audio_);
}

int RtAudioOutput::Callback(void* out, void*, unsigned int frames, double, unsigned int status,
                            void* arg) {
    DENDRA_REALTIME();
    auto* self = static_cast<RtAudioOutput*>(arg);
    if (status & RTAUDIO_OUTPUT_UNDERFLOW) self->underflows_.fetch_add(1);
    float* l = static_cast<float*>(out);
    if (l) self->mixer_.Render(l, l + frames, frames);
    return 0;
}

// ---- Device list ----------------------------------------------------------------------------

namespace {

uint64_t NameHash(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

void MakeIdentity(AudioDevice& d) {
    std::memset(d.identity, 0, sizeof d.identity);
    d.identity[0] = uint8_t(d.api);
    d.identity[1] = d.output ? 1 : 2;
    uint32_t index = uint32_t(d.index);
    for (int i = 0; i < 4; ++i) d.identity[2 + i] = uint8_t(index >> (8 * i));
    uint64_t h = NameHash(d.name);
    for (int i = 0; i < 8; ++i) d.identity[6 + i] = uint8_t(h >> (8 * i));
}

bool PulseServerLikely() {
    if (const char* s = std::getenv("PULSE_SERVER"); s && *s) return true;
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    if (!run || !*run) return false;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(run) / "pulse" / "native", ec);
}

void ListRtAudio(AudioApi api, bool output, std::vector<AudioDevice>& list) {
    detail::QuietAlsa quiet;
    try {
        RtAudio audio(api == AudioApi::Pulse ? RtAudio::LINUX_PULSE : RtAudio::LINUX_ALSA);
        audio.showWarnings(false);
        unsigned count = audio.getDeviceCount();
        for (unsigned i = 0; i < count; ++i) {
            RtAudio::DeviceInfo info;
            try {
                info = audio.getDeviceInfo(i);
            } catch (const std::exception&) {
                continue;
            }
            if (!info.probed) continue;
            if (output ? info.outputChannels < 2 : info.inputChannels < 1) continue;
            AudioDevice d;
            d.name = (api == AudioApi::Pulse ? "PulseAudio: " : "ALSA: ") + info.name;
            d.api = api;
            d.index = int(i);
            d.output = output;
            MakeIdentity(d);
            list.push_back(std::move(d));
        }
    } catch (const std::exception&) {
    }
}

std::vector<AudioDevice> List(bool output) {
    std::vector<AudioDevice> list;
    if (JackServerRunning()) {
        AudioDevice d;
        d.name = output ? "JACK output" : "JACK input";
        d.api = AudioApi::Jack;
        d.index = 0;
        d.output = output;
        MakeIdentity(d);
        list.push_back(d);
    }
    if (PulseServerLikely()) ListRtAudio(AudioApi::Pulse, output, list);
    ListRtAudio(AudioApi::Alsa, output, list);
    if (!list.empty()) {
        AudioDevice def = list.front();
        def.name = output ? "Default output" : "Default input";
        if (def.api != AudioApi::Jack) def.index = -1;
        std::memset(def.identity, 0, sizeof def.identity);
        list.insert(list.begin(), def);
    }
    return list;
}

char* CopyName(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

} // namespace

bool JackServerRunning() {
    QuietenJack();
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("DendraAudioProbe", JackNoStartServer, &status);
    if (!probe) return false;
    jack_client_close(probe);
    return true;
}

std::vector<AudioDevice> ListAudioOutputs() {
    return List(true);
}

std::vector<AudioDevice> ListCaptureDevices() {
    return List(false);
}

bool FindAudioDevice(const uint8_t identity[16], bool output, AudioDevice& out) {
    std::vector<AudioDevice> list = List(output);
    if (list.empty()) return false;
    static const uint8_t zero[16] = {};
    if (std::memcmp(identity, zero, 16) == 0) {
        out = list.front();
        return true;
    }
    for (const AudioDevice& d : list)
        if (std::memcmp(d.identity, identity, 16) == 0) return out = d, true;
    // The same device under another index (the order changed): match the API and the name.
    for (const AudioDevice& d : list)
        if (d.identity[0] == identity[0] && std::memcmp(d.identity + 6, identity + 6, 8) == 0)
            return out = d, true;
    return false;
}

int AppendAudioDeviceRecords(DeviceRecord* records, int filled, int capacity, bool includeWave,
                             bool includeMixer) {
    if (!records || filled >= capacity || (!includeWave && !includeMixer)) return filled;
    std::vector<AudioDevice> outputs = ListAudioOutputs();
    auto put = [&](const AudioDevice& d, uint32_t flags, const uint8_t* identity, uint32_t number) {
        if (filled >= capacity) return;
        DeviceRecord& r = records[filled++];
        r.flags = flags;
        r.name = CopyName(d.name);
        std::memset(r.identity, 0, sizeof r.identity);
        if (identity) {
            std::memcpy(r.identity, identity, 16);
        } else {
            for (int i = 0; i < 4; ++i) r.identity[i] = uint8_t(number >> (8 * i));
        }
        r.extra = 0;
    };
    if (includeWave)
        for (size_t i = 0; i < outputs.size(); ++i)
            put(outputs[i], kWaveOutputFlags, nullptr, uint32_t(i));
    if (includeMixer) {
        for (const AudioDevice& d : outputs) put(d, kAudioOutputFlags, d.identity, 0);
        for (const AudioDevice& d : ListCaptureDevices()) put(d, kAudioCaptureFlags, d.identity, 0);
    }
    return filled;
}

} // namespace dsync::mixer
