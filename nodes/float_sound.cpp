#include "nodes/float_sound.h"

#include "events/archive.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

std::mutex& LiveLock() {
    static std::mutex m;
    return m;
}
std::unordered_set<const WaveSound*>& Live() {
    static std::unordered_set<const WaveSound*> live;
    return live;
}

void SetFloatFormat(WaveInfo& info, uint16_t channels, uint32_t rate) {
    info.format.wFormatTag = kWaveFormatIeeeFloat;
    info.format.nChannels = channels;
    info.format.nSamplesPerSec = rate;
    info.format.wBitsPerSample = 32;
    info.format.nBlockAlign = static_cast<uint16_t>(4 * channels);
    info.format.nAvgBytesPerSec = rate * 4u * channels;
    info.format.cbSize = 0;
    info.bytesPerSample = 4;
}

} // namespace

FloatSound::FloatSound(size_t count) : samples(count, 0.0f) {
    std::lock_guard<std::mutex> g(LiveLock());
    Live().insert(this);
}

FloatSound::~FloatSound() {
    std::lock_guard<std::mutex> g(LiveLock());
    Live().erase(this);
}

FloatSound* FloatSound::Of(const EventWave& block) {
    if (!block.sound) return nullptr;
    std::lock_guard<std::mutex> g(LiveLock());
    if (!Live().count(block.sound)) return nullptr;
    return static_cast<FloatSound*>(block.sound);
}

void FloatSound::Close() {}

uint32_t FloatSound::DataLength() const {
    const size_t bytes = samples.size() * sizeof(float);
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

uint32_t FloatSound::Read(WaveInfo&, void* buffer, uint32_t bytes) {
    const uint32_t length = DataLength();
    if (position_ >= length || !buffer) return 0;
    const uint32_t n = std::min(bytes, length - position_);
    std::memcpy(buffer, reinterpret_cast<const uint8_t*>(samples.data()) + position_, n);
    position_ += n;
    return n;
}

uint32_t FloatSound::Write(WaveInfo&, const void* buffer, uint32_t bytes) {
    if (!buffer) return 0;
    const uint64_t end = uint64_t{position_} + bytes;
    if (end > UINT32_MAX) return 0;
    const size_t need = static_cast<size_t>((end + 3) / 4);
    if (need > samples.size()) samples.resize(need, 0.0f);
    std::memcpy(reinterpret_cast<uint8_t*>(samples.data()) + position_, buffer, bytes);
    position_ = static_cast<uint32_t>(end);
    return bytes;
}

bool FloatSound::SeekBytes(WaveInfo&, uint32_t position) {
    if (position >= DataLength()) return false;
    position_ = position;
    return true;
}

WaveSound* FloatSound::Copy(WaveInfo&) const {
    auto* c = new FloatSound(0);
    c->samples = samples;
    c->startIndex = startIndex;
    c->totalLength = totalLength;
    return c;
}

bool FloatSound::SetFormat(WaveInfo& info, const WAVEFORMATEX& format, bool) {
    if (format.wFormatTag != kWaveFormatIeeeFloat || format.wBitsPerSample != 32 ||
        format.nChannels != info.format.nChannels || format.nSamplesPerSec == 0) {
        return false;
    }
    SetFloatFormat(info, format.nChannels, format.nSamplesPerSec);
    return true;
}

void FloatSound::Serialize(CArchive& ar, WaveInfo&) {
    if (ar.IsStoring()) {
        ar.WriteU32(startIndex);
        ar.WriteU32(totalLength);
        ar.WriteU32(static_cast<uint32_t>(samples.size()));
        for (float f : samples) ar.WriteFloat(f);
        return;
    }
    const uint32_t start = ar.ReadU32();
    const uint32_t total = ar.ReadU32();
    const uint32_t count = ar.ReadU32();
    if (ar.Failed()) return;
    std::vector<float> read;
    // Reserve nothing from the stored count: a hostile count must not allocate by itself.
    for (uint32_t i = 0; i < count; ++i) {
        const float f = ar.ReadFloat();
        if (ar.Failed()) return;
        read.push_back(f);
    }
    samples.swap(read);
    startIndex = start;
    totalLength = total;
    position_ = 0;
}

std::unique_ptr<EventWave> MakeSampleBlock(uint32_t frames, uint16_t channels, uint32_t rate,
                                           uint32_t startIndex, uint32_t totalLength) {
    channels = std::clamp<uint16_t>(channels, 1, 8);
    rate = std::max<uint32_t>(rate, 1);
    auto block = std::make_unique<EventWave>();
    auto* sound = new FloatSound(size_t{frames} * channels);
    sound->startIndex = startIndex;
    sound->totalLength = totalLength;
    block->sound = sound;
    block->flags = kWavePlaybackCopy | kWaveOwnsSound;
    SetFloatFormat(block->info, channels, rate);
    return block;
}

std::unique_ptr<EventWave> MakeBlockCopy(const EventWave& block) {
    const FloatSound* from = FloatSound::Of(block);
    if (!from) return nullptr;
    auto copy = std::make_unique<EventWave>();
    auto* sound = new FloatSound(from->samples.size());
    sound->startIndex = from->startIndex;
    sound->totalLength = from->totalLength;
    copy->sound = sound;
    copy->flags = kWavePlaybackCopy | kWaveOwnsSound;
    copy->info.format = block.info.format;
    copy->info.bytesPerSample = 4;
    return copy;
}

bool ViewOf(EventWave& block, BlockView& view) {
    view = BlockView{};
    FloatSound* sound = FloatSound::Of(block);
    if (!sound) return false;
    view.s = sound->samples.data();
    view.n = sound->samples.size();
    view.start = sound->startIndex;
    view.channels = block.info.format.nChannels;
    view.rate = block.info.format.nSamplesPerSec;
    return true;
}
