#include "sync/wave_in.h"

#include "events/song_event.h"
#include "platform/named_mutex.h"
#include "platform/user_messages.h"
#include "sync/mixer/audio_output.h"
#include "sync/mixer/capture.h"
#include "sync/wave_out.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

using namespace dsync::mixer;

namespace dsync {

void CompletionEvent::Signal() {
    {
        std::lock_guard<std::mutex> g(m_);
        set_ = true;
    }
    cv_.notify_all();
}

bool CompletionEvent::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return set_; })) return false;
    set_ = false;
    return true;
}

void CompletionEvent::Reset() {
    std::lock_guard<std::mutex> g(m_);
    set_ = false;
}

uint32_t CaptureLevel(const uint8_t* part1, uint32_t size1, const uint8_t* part2, uint32_t size2,
                      uint16_t bitsPerSample) {
    const uint32_t width = bitsPerSample == 8 ? 1 : 2;
    uint64_t sum = 0;
    uint32_t taken = 0;
    auto add = [&](const uint8_t* p, uint32_t size) {
        for (uint32_t i = 0; i + width <= size && taken < 64; i += width, ++taken) {
            if (width == 1)
                sum += uint32_t(std::abs(int(p[i]) - 128));
            else
                sum += uint32_t(std::abs(int(int16_t(uint16_t(p[i] | (p[i + 1] << 8))))));
        }
    };
    if (part1) add(part1, size1);
    if (part2) add(part2, size2);
    const double level = std::sqrt(double(sum) / 64.0 * 0.01) * 100.0;
    return uint32_t(std::min(level, 100.0));
}

int32_t CaptureMean(const uint8_t* bytes, uint32_t size, uint16_t bitsPerSample) {
    int64_t sum = 0;
    uint32_t n = 0;
    if (bitsPerSample == 8) {
        for (uint32_t i = 0; i < size; ++i, ++n) sum += int32_t(bytes[i]) * 256;
    } else {
        for (uint32_t i = 0; i + 1 < size; i += 2, ++n)
            sum += int16_t(uint16_t(bytes[i] | (bytes[i + 1] << 8)));
    }
    return n ? int32_t(sum / n) : 0;
}

namespace {

// The blocks of the inputs alive, with their serials.
struct LiveBlocks {
    std::mutex m;
    std::unordered_map<const WaveInBlock*, uint64_t> serials;
    uint64_t next = 1;
};
LiveBlocks& Blocks() {
    static LiveBlocks blocks;
    return blocks;
}

} // namespace

WaveInBlock* LiveWaveInBlock(uintptr_t wParam, intptr_t lParam) {
    auto* block = reinterpret_cast<WaveInBlock*>(lParam);
    if (!block) return nullptr;
    LiveBlocks& b = Blocks();
    std::lock_guard<std::mutex> g(b.m);
    auto it = b.serials.find(block);
    return it != b.serials.end() && it->second == uint64_t(wParam) ? block : nullptr;
}

} // namespace dsync

CWaveIn::CWaveIn() {
    dsync::FormatOfCode(formatCode, format_);
    block_.completion = &completion_;
    dsync::LiveBlocks& b = dsync::Blocks();
    std::lock_guard<std::mutex> g(b.m);
    block_.serial = b.next++;
    b.serials[&block_] = block_.serial;
}

CWaveIn::~CWaveIn() {
    Close();
    dsync::LiveBlocks& b = dsync::Blocks();
    std::lock_guard<std::mutex> g(b.m);
    b.serials.erase(&block_);
}

bool CWaveIn::Build() {
    // Every format code can be captured (the stream converts from the device); an unknown code
    // falls back to the lowest one.
    WAVEFORMATEX f;
    if (!dsync::FormatOfCode(formatCode, f)) {
        formatCode = 0x1;
        dsync::FormatOfCode(formatCode, f);
    }
    format_ = f;
    const PcmFormat pcm{f.nChannels, f.nSamplesPerSec, f.wBitsPerSample};
    const uint32_t block = pcm.BlockAlign();
    const uint32_t bytes = pcm.BytesPerSecond() * 2;
    segmentBytes = bytes / kSegments / block * block;
    stream_ = std::make_unique<CaptureStream>(pcm, bytes, segmentBytes);
    std::string error;
    if (source_ == Source::Generated) {
        generated_ = std::make_unique<GeneratedCapture>(*stream_, *generator_, generatorRate_);
        return true;
    }
    AudioDevice dev;
    if (!FindAudioDevice(identity_, false, dev)) {
        stream_.reset();
        return false;
    }
    if (dev.api == AudioApi::Jack) {
        jack_ = std::make_unique<JackCapture>(*stream_);
        if (jack_->Open("dendra-wavein", &error)) return true;
        jack_.reset();
    } else {
        rtaudio_ = std::make_unique<RtAudioCapture>(*stream_);
        if (rtaudio_->Open(int(dev.api), dev.index, f.nSamplesPerSec, &error)) return true;
        rtaudio_.reset();
    }
    stream_.reset();
    return false;
}

unsigned CWaveIn::Create(platform::Window owner, const uint8_t* identity) {
    Close();
    ownerWindow = owner;
    source_ = Source::Device;
    if (identity)
        std::memcpy(identity_, identity, 16);
    else
        std::memset(identity_, 0, 16);
    return Build() ? 1 : 0;
}

unsigned CWaveIn::CreateGenerated(platform::Window owner, AudioSource& source, uint32_t rate,
                                  bool realTime) {
    Close();
    ownerWindow = owner;
    source_ = Source::Generated;
    generator_ = &source;
    generatorRate_ = rate;
    generatorRealTime_ = realTime;
    return Build() ? 1 : 0;
}

std::string CWaveIn::PortName(int channel) const {
    return jack_ ? jack_->PortName(channel) : std::string();
}

void CWaveIn::PumpGenerated(uint32_t frames) {
    if (generated_) generated_->Pump(frames);
}

void CWaveIn::Release() {
    if (jack_) jack_->Close();
    jack_.reset();
    if (rtaudio_) rtaudio_->Close();
    rtaudio_.reset();
    generated_.reset();
    stream_.reset();
}

void CWaveIn::Close() {
    Stop();
    Release();
    recording_.store(false);
    if (target_) DeleteSongEvent(target_);
    target_ = nullptr;
    // A block still waiting in the message queue reads as empty from now on.
    block_.size1 = block_.size2 = 0;
    block_.data1 = block_.data2 = nullptr;
}

int CWaveIn::AddEvent(EventWave* wave) {
    if (!wave || !wave->sound) return 0;
    const bool wasRunning = running_;
    Stop();
    if (target_) DeleteSongEvent(target_);
    target_ = static_cast<EventWave*>(wave->Clone());
    const WAVEFORMATEX& have = target_->info.format;
    if (have.wFormatTag != format_.wFormatTag || have.nChannels != format_.nChannels ||
        have.nSamplesPerSec != format_.nSamplesPerSec ||
        have.wBitsPerSample != format_.wBitsPerSample) {
        target_->SetFormat(format_, false);
        wave->SetFormat(format_, false);
    }
    recording_.store(true);
    if (wasRunning) Start();
    return 1;
}

int CWaveIn::Start() {
    if (!stream_) return 1;
    if (running_) return 0;
    completion_.Reset();
    stop_.store(false);
    if (jack_ && !jack_->Start()) return 1;
    if (rtaudio_) {
        std::string error;
        if (!rtaudio_->Start(&error)) return 1;
    }
    if (generated_ && generatorRealTime_) generated_->Start();
    thread_ = std::thread([this] { Thread(); });
    running_ = true;
    return 0;
}

void CWaveIn::Stop() {
    if (!running_) return;
    stop_.store(true);
    completion_.Signal(); // a thread waiting for the program's completion wakes too
    if (stream_) stream_->Wake();
    thread_.join();
    if (jack_) jack_->Stop();
    if (rtaudio_) rtaudio_->Stop();
    if (generated_) generated_->Stop();
    running_ = false;
}

unsigned CWaveIn::GetWaveCaps(uint32_t* code) {
    if (code) *code = formatCode;
    return 0xFFFF;
}

void CWaveIn::SetWaveCaps(uint32_t code) {
    const uint32_t previous = formatCode;
    Close();
    WAVEFORMATEX f;
    formatCode = code;
    if (dsync::FormatOfCode(code, f) && Build()) return;
    platform::MessageBox("Could not reset Wave Input format");
    formatCode = previous;
    Build();
}

void CWaveIn::Thread() {
    const uint16_t bits = format_.wBitsPerSample;
    while (!stop_.load()) {
        const uint32_t events = stream_->WaitEvents(500);
        if (stop_.load()) break;
        if (!(events & dsync::mixer::kCaptureData)) continue;
        if (recording_.load() && target_) {
            platform::NamedMutex* m = target_->mutex;
            if (m) m->Lock(0);
            const uint8_t *p1 = nullptr, *p2 = nullptr;
            uint32_t n1 = 0, n2 = 0;
            const uint32_t total = stream_->Peek(stream_->Available(), &p1, &n1, &p2, &n2);
            bool done = false;
            if (total > 0) {
                block_.size1 = n1;
                block_.data1 = p1;
                block_.data2 = p2;
                block_.size2 = n2;
                block_.level = dsync::CaptureLevel(p1, n1, p2, n2, bits);
                platform::PostMessage(ownerWindow, dsync::kMsgWaveInData, uintptr_t(block_.serial),
                                      reinterpret_cast<intptr_t>(&block_));
                while (!stop_.load() && !(done = completion_.Wait(500))) {
                }
                if (done && !stop_.load()) stream_->Consume(total);
            }
            if (m) m->Unlock();
        } else {
            if (levelMonitor_.load()) {
                uint8_t newest[20];
                const uint32_t n = stream_->CopyNewest(newest, sizeof newest);
                platform::PostMessage(ownerWindow, dsync::kMsgWaveInLevel,
                                      uintptr_t(dsync::CaptureMean(newest, n, bits)),
                                      reinterpret_cast<intptr_t>(this));
            }
            stream_->Consume(stream_->Available());
        }
    }
}
