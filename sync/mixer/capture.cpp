#include "sync/mixer/capture.h"
#include "platform/thread_check.h"

#include "sync/mixer/futex.h"
#include "sync/mixer/quiet_alsa.h"
#include "sync/mixer/rtaudio_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <jack/jack.h>
#include <rtaudio/RtAudio.h>

namespace dsync::mixer {

// ---- CaptureStream --------------------------------------------------------------------------

CaptureStream::CaptureStream(const PcmFormat& format, uint32_t capacityBytes, uint32_t notifyBytes)
    : format_(format), frameBytes_(format.BlockAlign() ? format.BlockAlign() : 1),
      inputRate_(format.sampleRate) {
    size_ = std::max(capacityBytes / frameBytes_, 1u) * frameBytes_;
    notify_ = std::max(notifyBytes / frameBytes_, 1u) * frameBytes_;
    data_.reset(new uint8_t[size_]);
    std::memset(data_.get(), 0, size_);
    nextNotify_ = notify_;
    resampler_.Reset(2);
    resampler_.SetRatio(inputRate_, format_.sampleRate);
}

void CaptureStream::SetInputRate(uint32_t rate) {
    if (rate < 1000) return;
    inputRate_ = rate;
    resampler_.SetRatio(rate, format_.sampleRate);
}

void CaptureStream::Clear() {
    produced_.store(0);
    consumed_.store(0);
    dropped_.store(0);
    events_.store(0);
    nextNotify_ = notify_;
    resampler_.Reset(2);
    SetInputRate(inputRate_);
}

void CaptureStream::PushFrames(const float* left, const float* right, uint32_t frames) {
    if (!left) return;
    if (!right) right = left;
    float* outs[2] = {out_[0], out_[1]};
    uint32_t done = 0;
    while (done < frames) {
        uint32_t n = std::min(frames - done, resampler_.Space());
        if (n > 0) {
            std::memcpy(resampler_.AppendPointer(0), left + done, n * sizeof(float));
            std::memcpy(resampler_.AppendPointer(1), right + done, n * sizeof(float));
            resampler_.Appended(n);
            done += n;
        }
        uint32_t got;
        while ((got = resampler_.Produce(outs, SincResampler::kMaxOutput)) > 0)
            Append(out_[0], out_[1], got);
        if (n == 0 && resampler_.Space() == 0) break; // cannot happen with a sane step
    }
}

void CaptureStream::Append(const float* left, const float* right, uint32_t frames) {
    uint8_t* b = bytes_;
    auto to16 = [](float x) {
        long v = std::lrint(double(x) * 32768.0);
        return int16_t(std::clamp<long>(v, -32768, 32767));
    };
    auto to8 = [](float x) {
        long v = std::lrint(double(x) * 128.0) + 128;
        return uint8_t(std::clamp<long>(v, 0, 255));
    };
    for (uint32_t i = 0; i < frames; ++i) {
        float l = left[i], r = right[i];
        if (format_.channels == 1) l = (l + r) * 0.5f;
        for (int c = 0; c < format_.channels; ++c) {
            float x = c == 0 ? l : r;
            if (format_.bitsPerSample == 8) {
                *b++ = to8(x);
            } else {
                uint16_t v = uint16_t(to16(x));
                *b++ = uint8_t(v & 0xFF);
                *b++ = uint8_t(v >> 8);
            }
        }
    }
    uint32_t bytes = frames * frameBytes_;
    uint64_t produced = produced_.load(std::memory_order_relaxed);
    uint64_t room = size_ - (produced - consumed_.load(std::memory_order_acquire));
    uint32_t take = uint32_t(std::min<uint64_t>(bytes, room));
    if (take < bytes) dropped_.fetch_add(bytes - take, std::memory_order_relaxed);
    if (take == 0) return;
    uint32_t at = uint32_t(produced % size_);
    uint32_t first = std::min(take, size_ - at);
    std::memcpy(data_.get() + at, bytes_, first);
    if (take > first) std::memcpy(data_.get(), bytes_ + first, take - first);
    produced += take;
    produced_.store(produced, std::memory_order_release);
    if (produced >= nextNotify_) {
        while (nextNotify_ <= produced) nextNotify_ += notify_;
        Signal(kCaptureData);
    }
}

uint32_t CaptureStream::Available() const {
    return uint32_t(produced_.load(std::memory_order_acquire) -
                    consumed_.load(std::memory_order_relaxed));
}

uint32_t CaptureStream::Peek(uint32_t bytes, const uint8_t** part1, uint32_t* size1,
                             const uint8_t** part2, uint32_t* size2) const {
    bytes = std::min(bytes, Available());
    uint32_t at = uint32_t(consumed_.load(std::memory_order_relaxed) % size_);
    uint32_t first = std::min(bytes, size_ - at);
    if (part1) *part1 = data_.get() + at;
    if (size1) *size1 = first;
    if (part2) *part2 = bytes > first ? data_.get() : nullptr;
    if (size2) *size2 = bytes - first;
    return bytes;
}

void CaptureStream::Consume(uint32_t bytes) {
    bytes = std::min(bytes, Available());
    consumed_.store(consumed_.load(std::memory_order_relaxed) + bytes, std::memory_order_release);
}

uint32_t CaptureStream::Read(void* dst, uint32_t bytes) {
    const uint8_t *p1, *p2;
    uint32_t s1, s2;
    uint32_t n = Peek(bytes, &p1, &s1, &p2, &s2);
    uint8_t* d = static_cast<uint8_t*>(dst);
    if (s1) std::memcpy(d, p1, s1);
    if (s2) std::memcpy(d + s1, p2, s2);
    Consume(n);
    return n;
}

uint32_t CaptureStream::CopyNewest(void* dst, uint32_t bytes) const {
    uint64_t produced = produced_.load(std::memory_order_acquire);
    uint32_t avail = uint32_t(produced - consumed_.load(std::memory_order_relaxed));
    uint32_t n = std::min(bytes, avail) / frameBytes_ * frameBytes_;
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint64_t from = produced - n;
    for (uint32_t i = 0; i < n; ++i) d[i] = data_[size_t((from + i) % size_)];
    return n;
}

uint32_t CaptureStream::WaitEvents(int timeoutMs) {
    return detail::WaitBits(events_, timeoutMs);
}

void CaptureStream::Wake() {
    Signal(kCaptureWake);
}

void CaptureStream::Signal(uint32_t bits) {
    detail::SetBits(events_, bits);
}

// ---- JackCapture ----------------------------------------------------------------------------

namespace {
void QuietJack(const char*) {}
} // namespace

JackCapture::JackCapture(CaptureStream& stream) : stream_(stream) {}

JackCapture::~JackCapture() {
    Close();
}

bool JackCapture::Open(const std::string& clientName, std::string* error) {
    if (client_) return true;
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
    jack_status_t status{};
    client_ = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (!client_) {
        if (error) *error = "no JACK server";
        return false;
    }
    jack_set_process_callback(client_, &JackCapture::Process, this);
    stream_.SetInputRate(jack_get_sample_rate(client_));
    return true;
}

bool JackCapture::Start() {
    if (!client_) return false;
    if (running_) return true;
    ports_[0] = jack_port_register(client_, "in_left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    ports_[1] =
        jack_port_register(client_, "in_right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!ports_[0] || !ports_[1] || jack_activate(client_) != 0) {
        for (auto& p : ports_)
            if (p) jack_port_unregister(client_, p), p = nullptr;
        return false;
    }
    running_ = true;
    return true;
}

void JackCapture::Stop() {
    if (!client_ || !running_) return;
    jack_deactivate(client_);
    for (auto& p : ports_)
        if (p) jack_port_unregister(client_, p), p = nullptr;
    running_ = false;
}

void JackCapture::Close() {
    Stop();
    if (client_) jack_client_close(client_);
    client_ = nullptr;
}

std::string JackCapture::PortName(int channel) const {
    if (channel < 0 || channel > 1 || !ports_[channel]) return {};
    return jack_port_name(ports_[channel]);
}

uint32_t JackCapture::SampleRate() const {
    return client_ ? jack_get_sample_rate(client_) : 0;
}

int JackCapture::Process(uint32_t frames, void* arg) {
    DENDRA_REALTIME();
    auto* self = static_cast<JackCapture*>(arg);
    if (!self->ports_[0] || !self->ports_[1]) return 0;
    auto* l = static_cast<const float*>(jack_port_get_buffer(self->ports_[0], frames));
    auto* r = static_cast<const float*>(jack_port_get_buffer(self->ports_[1], frames));
    self->stream_.PushFrames(l, r, frames);
    return 0;
}

// ---- RtAudioCapture -------------------------------------------------------------------------

RtAudioCapture::RtAudioCapture(CaptureStream& stream) : stream_(stream) {}

RtAudioCapture::~RtAudioCapture() {
    Close();
}

bool RtAudioCapture::Open(int api, int device, uint32_t rate, std::string* error) {
    Close();
    detail::QuietAlsa quiet;
    try {
        audio_ = std::make_unique<RtAudio>(api == 3 ? RtAudio::LINUX_PULSE : RtAudio::LINUX_ALSA);
        audio_->showWarnings(false);
        if (audio_->getDeviceCount() == 0) {
            if (error) *error = "no capture devices";
            audio_.reset();
            return false;
        }
        unsigned id = device < 0 ? audio_->getDefaultInputDevice() : unsigned(device);
        RtAudio::DeviceInfo info = audio_->getDeviceInfo(id);
        if (!info.probed || info.inputChannels == 0) {
            if (error) *error = "not a capture device";
            audio_.reset();
            return false;
        }
        if (rate == 0) rate = info.preferredSampleRate ? info.preferredSampleRate : 48000;
        channels_ = std::min(info.inputChannels, 2u);
        RtAudio::StreamParameters in;
        in.deviceId = id;
        in.nChannels = channels_;
        RtAudio::StreamOptions options;
        options.flags = RTAUDIO_NONINTERLEAVED;
        options.streamName = "Dendra capture";
        unsigned frames = 512;
        audio_->openStream(nullptr, &in, RTAUDIO_FLOAT32, rate, &frames, &RtAudioCapture::Callback,
                           this, &options);
        stream_.SetInputRate(audio_->getStreamSampleRate());
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        audio_.reset();
        return false;
    }
}

bool RtAudioCapture::Start(std::string* error) {
    if (!audio_) return false;
    return StartRtStream(*audio_, error);
}

void RtAudioCapture::Stop() {
    if (audio_) StopRtStream(*audio_);
}

void RtAudioCapture::Close() {
    CloseRtStream(audio_);
}

int RtAudioCapture::Callback(void*, void* in, unsigned int frames, double, unsigned int,
                             void* arg) {
    DENDRA_REALTIME();
    auto* self = static_cast<RtAudioCapture*>(arg);
    const float* l = static_cast<const float*>(in);
    if (!l) return 0;
    self->stream_.PushFrames(l, self->channels_ == 2 ? l + frames : nullptr, frames);
    return 0;
}

// ---- GeneratedCapture -----------------------------------------------------------------------

GeneratedCapture::GeneratedCapture(CaptureStream& stream, AudioSource& generator, uint32_t rate)
    : stream_(stream), generator_(generator), rate_(rate ? rate : 48000) {
    stream_.SetInputRate(rate_);
}

GeneratedCapture::~GeneratedCapture() {
    Stop();
}

void GeneratedCapture::Pump(uint32_t frames) {
    while (frames > 0) {
        uint32_t n = std::min(frames, AudioMixer::kBlock);
        uint64_t at = position_.load(std::memory_order_relaxed);
        generator_.Render(left_, right_, n, at);
        stream_.PushFrames(left_, right_, n);
        position_.store(at + n);
        frames -= n;
    }
}

void GeneratedCapture::Start(uint32_t blockFrames) {
    if (run_.exchange(true)) return;
    blockFrames = std::clamp(blockFrames, 1u, AudioMixer::kBlock);
    thread_ = std::thread([this, blockFrames] {
        auto next = std::chrono::steady_clock::now();
        const auto period = std::chrono::nanoseconds(int64_t(blockFrames) * 1000000000 / rate_);
        while (run_.load()) {
            Pump(blockFrames);
            next += period;
            std::this_thread::sleep_until(next);
        }
    });
}

void GeneratedCapture::Stop() {
    run_.store(false);
    if (thread_.joinable()) thread_.join();
}

void SineSource::Render(float* left, float* right, uint32_t frames, uint64_t framePosition) {
    const double w = 2.0 * M_PI * frequency_ / double(rate_);
    for (uint32_t i = 0; i < frames; ++i) {
        double n = double(framePosition + i);
        float v = float(amplitude_ * std::sin(w * n));
        left[i] = v;
        right[i] = v;
    }
}

} // namespace dsync::mixer
