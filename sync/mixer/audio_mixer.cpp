#include "sync/mixer/audio_mixer.h"
#include "platform/thread_check.h"

#include "sync/mixer/futex.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace dsync::mixer {
using detail::FutexWait;
using detail::FutexWake;
using detail::NowMs;

float GainOf(int32_t attenuation) {
    if (attenuation <= kAttenuationSilent) return 0.0f;
    if (attenuation >= 0) return 1.0f;
    return float(std::pow(10.0, double(attenuation) / 2000.0));
}

void PanGains(int32_t pan, float& left, float& right) {
    pan = std::clamp(pan, kPanLeft, kPanRight);
    left = pan > 0 ? GainOf(-pan) : 1.0f;
    right = pan < 0 ? GainOf(pan) : 1.0f;
}

// ---- Voice ----------------------------------------------------------------------------------

void Voice::Play(bool loop) {
    PlayAt(loop, INT64_MIN, 0);
}

void Voice::PlayAt(bool loop, int64_t startNs, uint32_t dispatchPeriodMs) {
    loop_.store(loop, std::memory_order_relaxed);
    startDispatchMs_.store(dispatchPeriodMs, std::memory_order_relaxed);
    startNs_.store(startNs, std::memory_order_relaxed);
    playing_.store(true, std::memory_order_release);
}

void Voice::Stop() {
    playing_.store(false, std::memory_order_release);
}

void Voice::SetAttenuation(int32_t hundredthsDb) {
    attenuation_.store(std::clamp(hundredthsDb, kAttenuationSilent, 0), std::memory_order_relaxed);
}

void Voice::SetPan(int32_t pan) {
    pan_.store(std::clamp(pan, kPanLeft, kPanRight), std::memory_order_relaxed);
}

void Voice::SetFrequency(uint32_t hz) {
    if (hz != 0) hz = std::clamp(hz, kMinFrequency, kMaxFrequency);
    frequency_.store(hz, std::memory_order_relaxed);
}

void Voice::Rewind() {
    if (IsPlaying()) return;
    if (mixer_) mixer_->WaitForCallback();
    consumed_.store(0, std::memory_order_release);
    if (!static_) {
        written_.store(0, std::memory_order_release);
        endOfStream_.store(false, std::memory_order_release);
        lockedBytes_ = 0;
    }
    events_.store(0, std::memory_order_release);
    rewinds_.fetch_add(1, std::memory_order_release);
}

uint32_t Voice::WritableBytes() const {
    uint64_t written = written_.load(std::memory_order_relaxed);
    if (static_) return uint32_t(size_ - written);
    uint64_t consumed = consumed_.load(std::memory_order_acquire);
    uint64_t room = size_ - (written - consumed);
    return uint32_t(room / frameBytes_ * frameBytes_);
}

uint32_t Voice::Lock(uint32_t bytes, uint8_t** part1, uint32_t* size1, uint8_t** part2,
                     uint32_t* size2) {
    uint32_t room = WritableBytes();
    bytes = std::min(bytes, room);
    uint32_t at = uint32_t(written_.load(std::memory_order_relaxed) % size_);
    uint32_t first = std::min(bytes, size_ - at);
    if (part1) *part1 = data_.get() + at;
    if (size1) *size1 = first;
    if (part2) *part2 = bytes > first ? data_.get() : nullptr;
    if (size2) *size2 = bytes - first;
    lockedBytes_ = bytes;
    return bytes;
}

void Voice::Unlock(uint32_t bytes) {
    bytes = std::min(bytes, lockedBytes_);
    lockedBytes_ = 0;
    if (bytes == 0) return;
    written_.fetch_add(bytes, std::memory_order_release);
    commits_.fetch_add(1, std::memory_order_release);
    if (mixer_ && mixer_->Offline()) FutexWake(commits_);
}

uint32_t Voice::Write(const void* data, uint32_t bytes) {
    uint8_t *p1, *p2;
    uint32_t s1, s2;
    uint32_t n = Lock(bytes, &p1, &s1, &p2, &s2);
    const uint8_t* src = static_cast<const uint8_t*>(data);
    if (s1) std::memcpy(p1, src, s1);
    if (s2) std::memcpy(p2, src + s1, s2);
    Unlock(n);
    return n;
}

void Voice::EndOfStream() {
    endOfStream_.store(true, std::memory_order_release);
    commits_.fetch_add(1, std::memory_order_release);
    if (mixer_ && mixer_->Offline()) FutexWake(commits_);
}

void Voice::Signal(uint32_t bits) {
    detail::SetBits(events_, bits);
}

uint32_t Voice::WaitEvents(int timeoutMs) {
    return detail::WaitBits(events_, timeoutMs);
}

void Voice::Notify(uint64_t from, uint64_t to) {
    // from, to: byte offsets in the buffer of one contiguous stretch just consumed.
    uint32_t bits = 0;
    for (int i = 0; i < notifyCount_; ++i)
        if (notify_[i] > from && notify_[i] <= to) bits |= NotificationBit(i);
    if (bits) Signal(bits);
}

namespace {

// Converts frames PCM frames to planar floats.
void Convert(const uint8_t* src, uint32_t frames, const PcmFormat& f, float* left, float* right) {
    if (f.bitsPerSample == 8) {
        constexpr float k = 1.0f / 128.0f;
        if (f.channels == 1) {
            for (uint32_t i = 0; i < frames; ++i) left[i] = float(int(src[i]) - 128) * k;
        } else {
            for (uint32_t i = 0; i < frames; ++i) {
                left[i] = float(int(src[2 * i]) - 128) * k;
                right[i] = float(int(src[2 * i + 1]) - 128) * k;
            }
        }
    } else {
        constexpr float k = 1.0f / 32768.0f;
        auto s16 = [](const uint8_t* p) { return int16_t(uint16_t(p[0] | (p[1] << 8))); };
        if (f.channels == 1) {
            for (uint32_t i = 0; i < frames; ++i) left[i] = float(s16(src + 2 * i)) * k;
        } else {
            for (uint32_t i = 0; i < frames; ++i) {
                left[i] = float(s16(src + 4 * i)) * k;
                right[i] = float(s16(src + 4 * i + 2)) * k;
            }
        }
    }
}

} // namespace

uint32_t Voice::Pull(uint32_t frames, bool offline) {
    uint32_t pulled = 0;
    int waitedMs = 0;
    while (pulled < frames && !resampler_.Ended()) {
        uint32_t space = resampler_.Space();
        if (space == 0) break;
        uint64_t consumed = consumed_.load(std::memory_order_relaxed);
        uint64_t written = written_.load(std::memory_order_acquire);
        uint32_t at, avail;
        if (static_) {
            uint32_t length = uint32_t(written / frameBytes_ * frameBytes_);
            if (length == 0) {
                resampler_.MarkEnd();
                break;
            }
            if (loop_.load(std::memory_order_relaxed)) {
                at = uint32_t(consumed % length);
                avail = length - at;
            } else {
                if (consumed >= length) {
                    resampler_.MarkEnd();
                    break;
                }
                at = uint32_t(consumed);
                avail = length - at;
            }
        } else {
            uint64_t ready = written - consumed;
            if (ready < frameBytes_) {
                if (endOfStream_.load(std::memory_order_acquire)) {
                    // Acquire again: bytes written just before the end mark count.
                    if (written_.load(std::memory_order_acquire) - consumed >= frameBytes_)
                        continue;
                    resampler_.MarkEnd();
                    break;
                }
                if (!offline || waitedMs >= 2000) break;
                uint32_t c = commits_.load(std::memory_order_acquire);
                if (written_.load(std::memory_order_acquire) != written ||
                    endOfStream_.load(std::memory_order_acquire))
                    continue;
                FutexWait(commits_, c, 10);
                waitedMs += 10;
                continue;
            }
            at = uint32_t(consumed % size_);
            avail = uint32_t(std::min<uint64_t>(ready, size_ - at));
        }
        uint32_t n = std::min({frames - pulled, avail / frameBytes_, space});
        if (n == 0) break;
        Convert(data_.get() + at, n, format_, resampler_.AppendPointer(0),
                resampler_.AppendPointer(1));
        resampler_.Appended(n);
        uint32_t bytes = n * frameBytes_;
        // The room is published before the owner is told, so a woken writer sees it.
        consumed_.store(consumed + bytes, std::memory_order_release);
        Notify(at, uint64_t(at) + bytes);
        pulled += n;
    }
    if (!resampler_.Ended() && Exhausted()) resampler_.MarkEnd();
    return pulled;
}

bool Voice::Exhausted() const {
    uint64_t consumed = consumed_.load(std::memory_order_relaxed);
    uint64_t written = written_.load(std::memory_order_acquire);
    if (static_)
        return !loop_.load(std::memory_order_relaxed) &&
               consumed >= written / frameBytes_ * frameBytes_;
    return endOfStream_.load(std::memory_order_acquire) &&
           written_.load(std::memory_order_acquire) - consumed < frameBytes_;
}

void Voice::Mix(float* left, float* right, uint32_t frames, uint32_t mixRate, bool offline) {
    uint32_t rewinds = rewinds_.load(std::memory_order_acquire);
    if (fresh_ || rewinds != seenRewinds_) {
        resampler_.Reset(format_.channels);
        seenRewinds_ = rewinds;
        fresh_ = false;
    }
    uint32_t hz = frequency_.load(std::memory_order_relaxed);
    if (hz == 0) hz = format_.sampleRate;
    resampler_.SetRatio(hz, mixRate);

    float gain = GainOf(attenuation_.load(std::memory_order_relaxed));
    float pl, pr;
    PanGains(pan_.load(std::memory_order_relaxed), pl, pr);
    const float gl = gain * pl, gr = gain * pr;

    float* out[2] = {scratch_[0], scratch_[1]};
    uint32_t done = 0;
    while (done < frames) {
        uint32_t want = std::min(frames - done, SincResampler::kMaxOutput);
        uint32_t need = resampler_.InputNeeded(want);
        if (need) Pull(need, offline);
        uint32_t got = resampler_.Produce(out, want);
        const float* a = scratch_[0];
        const float* b = format_.channels == 2 ? scratch_[1] : scratch_[0];
        for (uint32_t i = 0; i < got; ++i) {
            left[done + i] += a[i] * gl;
            right[done + i] += b[i] * gr;
        }
        done += got;
        if (resampler_.Finished()) {
            playing_.store(false, std::memory_order_release);
            if (static_) {
                consumed_.store(0, std::memory_order_release);
                fresh_ = true;
            }
            Signal(kVoiceEnded);
            return;
        }
        if (got < want) {
            if (!static_) underruns_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

// ---- AudioMixer -----------------------------------------------------------------------------

AudioMixer::AudioMixer(uint32_t sampleRate) : rate_(sampleRate ? sampleRate : 48000) {
    PrepareResamplerTables();
    for (auto& v : voices_) {
        v.reset(new Voice());
        v->mixer_ = this;
    }
}

AudioMixer::~AudioMixer() {
    WaitForCallback();
}

void AudioMixer::SetSampleRate(uint32_t rate) {
    if (rate >= 1000) rate_.store(rate, std::memory_order_relaxed);
}

Voice* AudioMixer::CreateVoice(const VoiceDesc& desc) {
    if (!desc.format.Valid() || desc.notifications.size() > size_t(kMaxNotifications))
        return nullptr;
    const uint32_t fb = desc.format.BlockAlign();
    const uint32_t size = desc.bufferBytes / fb * fb;
    if (size == 0) return nullptr;
    for (uint32_t n : desc.notifications)
        if (n == 0 || n > size) return nullptr;
    std::lock_guard<std::mutex> guard(configLock_);
    for (auto& slot : voices_) {
        Voice& v = *slot;
        if (v.inUse_.load(std::memory_order_acquire)) continue;
        std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
        if (!data) return nullptr;
        std::memset(data.get(), desc.format.bitsPerSample == 8 ? 0x80 : 0, size);
        v.format_ = desc.format;
        v.size_ = size;
        v.frameBytes_ = fb;
        v.static_ = desc.isStatic;
        v.data_ = std::move(data);
        v.notifyCount_ = int(desc.notifications.size());
        for (int i = 0; i < v.notifyCount_; ++i) v.notify_[i] = desc.notifications[size_t(i)];
        v.playing_.store(false);
        v.loop_.store(false);
        v.attenuation_.store(0);
        v.pan_.store(0);
        v.frequency_.store(0);
        v.written_.store(0);
        v.consumed_.store(0);
        v.endOfStream_.store(false);
        v.underruns_.store(0);
        v.events_.store(0);
        v.lockedBytes_ = 0;
        v.fresh_ = true;
        v.inUse_.store(true, std::memory_order_release);
        return &v;
    }
    return nullptr;
}

void AudioMixer::ReleaseVoice(Voice* voice) {
    if (!voice) return;
    std::lock_guard<std::mutex> guard(configLock_);
    for (auto& slot : voices_) {
        if (slot.get() != voice || !voice->inUse_.load()) continue;
        voice->playing_.store(false, std::memory_order_release);
        voice->inUse_.store(false, std::memory_order_release);
        WaitForCallback();
        voice->data_.reset();
        voice->size_ = 0;
        voice->Signal(kVoiceWake); // a thread still waiting on it wakes up
        return;
    }
}

int AudioMixer::ActiveVoices() const {
    int n = 0;
    for (const auto& v : voices_) n += v->inUse_.load(std::memory_order_relaxed) ? 1 : 0;
    return n;
}

bool AudioMixer::AddSource(AudioSource* source) {
    if (!source) return false;
    std::lock_guard<std::mutex> guard(configLock_);
    for (auto& s : sources_)
        if (s.load() == source) return true;
    for (auto& s : sources_) {
        if (s.load() == nullptr) {
            s.store(source, std::memory_order_release);
            return true;
        }
    }
    return false;
}

void AudioMixer::RemoveSource(AudioSource* source) {
    std::lock_guard<std::mutex> guard(configLock_);
    for (auto& s : sources_)
        if (s.load() == source) s.store(nullptr, std::memory_order_release);
    WaitForCallback();
}

void AudioMixer::SetMasterAttenuation(int32_t hundredthsDb) {
    masterAttenuation_.store(std::clamp(hundredthsDb, kAttenuationSilent, 0));
}

void AudioMixer::SetMasterPan(int32_t pan) {
    masterPan_.store(std::clamp(pan, kPanLeft, kPanRight));
}

void AudioMixer::WaitForCallback() const {
    uint64_t s = inside_.load();
    if ((s & 1) == 0) return;
    const int64_t until = NowMs() + 2000;
    while (inside_.load() == s && NowMs() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void AudioMixer::Render(float* left, float* right, uint32_t frames, const jack::BlockTime* at) {
    DENDRA_REALTIME();
    inside_.fetch_add(1);
    jack::BlockTime block;
    if (at) block = *at;
    while (frames > 0) {
        uint32_t n = std::min(frames, kBlock);
        RenderBlock(left, right, n, at ? &block : nullptr);
        block.frame += n;
        left += n;
        right += n;
        frames -= n;
    }
    inside_.fetch_add(1);
}

void AudioMixer::RenderBlock(float* left, float* right, uint32_t frames,
                             const jack::BlockTime* at) {
    std::memset(left, 0, frames * sizeof(float));
    std::memset(right, 0, frames * sizeof(float));
    const uint32_t rate = rate_.load(std::memory_order_relaxed);
    const bool offline = offline_.load(std::memory_order_relaxed);
    for (auto& slot : voices_) {
        Voice& v = *slot;
        if (!v.inUse_.load(std::memory_order_acquire) ||
            !v.playing_.load(std::memory_order_acquire))
            continue;
        uint32_t offset = 0;
        int64_t startNs = v.startNs_.load(std::memory_order_relaxed);
        if (startNs != INT64_MIN) {
            int64_t frame = 0;
            if (at && jack::TheTimeline().FrameAt(startNs, frame)) {
                frame +=
                    jack::OutputLatencyFrames(at->cycleFrames, at->rate, v.startDispatchMs_.load());
                if (frame >= at->frame + frames) continue; // its frame is still to come
                if (frame > at->frame) offset = uint32_t(frame - at->frame);
            }
            // Started now (a PlayAt that came meanwhile keeps its own time).
            v.startNs_.compare_exchange_strong(startNs, INT64_MIN);
        }
        v.Mix(left + offset, right + offset, frames - offset, rate, offline);
    }
    const uint64_t position = position_.load(std::memory_order_relaxed);
    for (auto& s : sources_) {
        AudioSource* source = s.load(std::memory_order_acquire);
        if (!source) continue;
        if (at)
            source->RenderAt(sourceLeft_, sourceRight_, frames, position, *at);
        else
            source->Render(sourceLeft_, sourceRight_, frames, position);
        for (uint32_t i = 0; i < frames; ++i) {
            left[i] += sourceLeft_[i];
            right[i] += sourceRight_[i];
        }
    }
    float gain = GainOf(masterAttenuation_.load(std::memory_order_relaxed));
    float pl, pr;
    PanGains(masterPan_.load(std::memory_order_relaxed), pl, pr);
    const float gl = gain * pl, gr = gain * pr;
    if (gl != 1.0f || gr != 1.0f) {
        for (uint32_t i = 0; i < frames; ++i) {
            left[i] *= gl;
            right[i] *= gr;
        }
    }
    position_.store(position + frames, std::memory_order_release);
}

// ---- OfflineSink ----------------------------------------------------------------------------

OfflineSink::OfflineSink(AudioMixer& mixer, uint32_t sampleRate) : mixer_(mixer) {
    mixer_.SetSampleRate(sampleRate);
    mixer_.SetOffline(true);
}

OfflineSink::~OfflineSink() {
    mixer_.SetOffline(false);
}

const float* OfflineSink::Pull(uint32_t frames) {
    left_.resize(frames);
    right_.resize(frames);
    interleaved_.resize(size_t(frames) * 2);
    mixer_.Render(left_.data(), right_.data(), frames);
    for (uint32_t i = 0; i < frames; ++i) {
        interleaved_[2 * size_t(i)] = left_[i];
        interleaved_[2 * size_t(i) + 1] = right_[i];
    }
    pulled_ += frames;
    return interleaved_.data();
}

} // namespace dsync::mixer
