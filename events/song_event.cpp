#include "events/song_event.h"

#include "events/archive.h"
#include "events/names.h"
#include "events/wave_sound.h"
#include "platform/named_mutex.h"
#include "platform/user_messages.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

// ---------------------------------------------------------------------------------------------
// SongEvent: the base behaviour of every slot.

void SongEvent::Reset() {
    time = 0;
}
bool SongEvent::IsValue() const {
    return false;
}
bool SongEvent::IsWave() const {
    return false;
}
bool SongEvent::IsMidi() const {
    return false;
}
bool SongEvent::IsBlock() const {
    return false;
}
bool SongEvent::IsPlayable() const {
    return false;
}
bool SongEvent::IsNote() const {
    return false;
}
bool SongEvent::IsNoteOn() const {
    return false;
}
bool SongEvent::IsNoteOff() const {
    return false;
}

bool SongEvent::IsChannelMessage() const {
    const int kind = GetKind();
    return kind >= 8 && kind <= 14;
}

int SongEvent::Reserved10() const {
    return 0;
}
void SongEvent::Reserved11() {}
void SongEvent::GetTypeName(std::string& text) const {
    text += "SongEvent";
}
uint32_t SongEvent::GetDuration() const {
    return 0;
}

SongEvent* SongEvent::Clone() const {
    auto* copy = new SongEvent;
    copy->CopyFrom(*this);
    return copy;
}

void SongEvent::CopyFrom(const SongEvent& other) {
    time = other.time;
}
bool SongEvent::IsEqual(const SongEvent& other) const {
    return time == other.time;
}

void SongEvent::Serialize(CArchive& ar) {
    // The kind byte is read by SongEventSerialize, which chooses the class; a base event stores
    // nothing else and reads nothing.
    if (ar.IsStoring()) ar.WriteU8(IsWave() ? 1 : (IsValue() ? 2 : 0));
}

void SongEvent::GetNoteName(std::string&) const {}
void SongEvent::GetDrumName(std::string&) const {}
int SongEvent::GetKind() const {
    return 0;
}
int SongEvent::SetKind(int) {
    return 0;
}
int SongEvent::GetChannel() const {
    return 0;
}
void SongEvent::SetChannel(int) {}
uint8_t SongEvent::GetData1() const {
    return 0;
}
void SongEvent::SetData1(uint8_t) {}
uint8_t SongEvent::GetData2() const {
    return 0;
}
void SongEvent::SetData2(uint8_t) {}
uint8_t SongEvent::GetData3() const {
    return 0;
}
void SongEvent::SetData3(uint8_t) {}
void SongEvent::SetDuration(uint32_t) {}
void SongEvent::SetFromMidiEvent(const MidiEvent&) {}
uint8_t* SongEvent::GetMessageBytes() {
    return nullptr;
}
double SongEvent::GetValue() const {
    return 0.0;
}
void SongEvent::SetValue(double) {}

// ---------------------------------------------------------------------------------------------
// EventMidi

bool EventMidi::IsMidi() const {
    return true;
}
bool EventMidi::IsPlayable() const {
    return true;
}
bool EventMidi::IsNote() const {
    return status >= 0x80 && status <= 0x9F;
}
bool EventMidi::IsNoteOn() const {
    return status >= 0x90 && status <= 0x9F && data2 != 0;
}

bool EventMidi::IsNoteOff() const {
    return (status >= 0x80 && status <= 0x8F) || (status >= 0x90 && status <= 0x9F && data2 == 0);
}

void EventMidi::GetTypeName(std::string& text) const {
    if (IsNote())
        text += "MIDI Note";
    else if (status >= 0xA0 && status <= 0xAF)
        text += "MIDI Key Pressure";
    else if (status >= 0xB0 && status <= 0xBF)
        text += "MIDI Control Change";
    else if (status >= 0xC0 && status <= 0xCF)
        text += "MIDI Instrument Change";
    else if (status >= 0xD0 && status <= 0xDF)
        text += "MIDI Channel Pressure";
    else if (status >= 0xE0 && status <= 0xEF)
        text += "MIDI Pitch Bend";
    else if (status == 0)
        text += "Midi Tempo change";
    else if (status == 0xF0)
        text += "MIDI System Exclusive Msg";
    else if (status >= 0xF1 && status <= 0xF6)
        text += "MIDI System Common Msg";
    else
        text += "Midi Non-Note";
}

uint32_t EventMidi::GetDuration() const {
    return duration;
}

SongEvent* EventMidi::Clone() const {
    auto* copy = new EventMidi;
    copy->CopyFrom(*this);
    return copy;
}

void EventMidi::CopyFrom(const SongEvent& other) {
    // Read through the virtual accessors so that any kind can be copied into a MIDI event (a
    // kind without message bytes gives zeros); the kind and channel rebuild the status byte.
    time = other.time;
    duration = other.GetDuration();
    status = static_cast<uint8_t>(((other.GetKind() & 0x0F) << 4) | (other.GetChannel() & 0x0F));
    data1 = other.GetData1();
    data2 = other.GetData2();
    data3 = other.GetData3();
}

bool EventMidi::IsEqual(const SongEvent& other) const {
    if (!other.IsMidi()) return false;
    const uint8_t otherStatus =
        static_cast<uint8_t>(((other.GetKind() & 0x0F) << 4) | (other.GetChannel() & 0x0F));
    return time == other.time && duration == other.GetDuration() && status == otherStatus &&
           data1 == other.GetData1() && data2 == other.GetData2() && data3 == other.GetData3();
}

void EventMidi::Serialize(CArchive& ar) {
    SongEvent::Serialize(ar);
    if (ar.IsStoring()) {
        ar.WriteU8(status);
        ar.WriteU8(data1);
        ar.WriteU8(data2);
        ar.WriteU8(data3);
        ar.WriteU32(time);
        ar.WriteU32(duration);
    } else {
        status = ar.ReadU8();
        data1 = ar.ReadU8();
        data2 = ar.ReadU8();
        data3 = ar.ReadU8();
        time = ar.ReadU32();
        duration = ar.ReadU32();
    }
}

void EventMidi::GetNoteName(std::string& text) const {
    AppendNoteName(text, data1);
}
void EventMidi::GetDrumName(std::string& text) const {
    AppendDrumName(text, data1);
}
int EventMidi::GetKind() const {
    return status >> 4;
}

int EventMidi::SetKind(int kind) {
    const int channel = status & 0x0F;
    status = static_cast<uint8_t>(((kind & 0x0F) << 4) | channel);
    return channel;
}

int EventMidi::GetChannel() const {
    return status & 0x0F;
}

void EventMidi::SetChannel(int channel) {
    status = static_cast<uint8_t>((status & 0xF0) | (channel & 0x0F));
}

uint8_t EventMidi::GetData1() const {
    return data1;
}
void EventMidi::SetData1(uint8_t b) {
    data1 = b;
}
uint8_t EventMidi::GetData2() const {
    return data2;
}
void EventMidi::SetData2(uint8_t b) {
    data2 = b;
}
uint8_t EventMidi::GetData3() const {
    return data3;
}
void EventMidi::SetData3(uint8_t b) {
    data3 = b;
}
void EventMidi::SetDuration(uint32_t d) {
    duration = d;
}

void EventMidi::SetFromMidiEvent(const MidiEvent& m) {
    status = m.status;
    data1 = m.data1;
    data2 = m.data2;
    data3 = m.data3;
}

uint8_t* EventMidi::GetMessageBytes() {
    return &status;
}

void EventMidi::GetShortMessage(uint32_t& out) const {
    out = ShortMessage();
}

uint32_t EventMidi::ShortMessage() const {
    return static_cast<uint32_t>(status) | (static_cast<uint32_t>(data1) << 8) |
           (static_cast<uint32_t>(data2) << 16) | (static_cast<uint32_t>(data3) << 24);
}

// ---------------------------------------------------------------------------------------------
// EventValue

void EventValue::Reset() {
    time = 0;
    value = 0.0f;
}

bool EventValue::IsValue() const {
    return true;
}

SongEvent* EventValue::Clone() const {
    auto* copy = new EventValue;
    copy->CopyFrom(*this);
    return copy;
}

void EventValue::CopyFrom(const SongEvent& other) {
    value = static_cast<float>(other.GetValue());
    time = other.time;
}

bool EventValue::IsEqual(const SongEvent& other) const {
    return other.IsValue() && other.GetValue() == static_cast<double>(value);
}

void EventValue::Serialize(CArchive& ar) {
    SongEvent::Serialize(ar);
    // Only the value travels; a value read back has time 0.
    if (ar.IsStoring())
        ar.WriteFloat(value);
    else
        value = ar.ReadFloat();
}

double EventValue::GetValue() const {
    return value;
}
void EventValue::SetValue(double v) {
    value = static_cast<float>(v);
}
void EventValue::ClearValue() {
    value = 0.0f;
}

// ---------------------------------------------------------------------------------------------
// EventBlock

EventBlock::~EventBlock() {
    FreeBuffer();
}

bool EventBlock::IsBlock() const {
    return true;
}
void EventBlock::GetTypeName(std::string& text) const {
    text += "Event Block";
}

SongEvent* EventBlock::Clone() const {
    auto* copy = new EventBlock;
    copy->CopyFrom(*this);
    return copy;
}

void EventBlock::CopyFrom(const SongEvent& other) {
    time = other.time;
    if (!other.IsBlock() || &other == this) return;
    const auto& src = static_cast<const EventBlock&>(other);
    Allocate(src.count);
    if (src.count) std::memcpy(bytes, src.bytes, src.count);
}

void EventBlock::Serialize(CArchive& ar) {
    SongEvent::Serialize(ar);
    if (ar.IsStoring()) {
        ar.WriteU32(count);
        ar.WriteBytes(bytes, count);
        return;
    }
    const uint32_t n = ar.ReadU32();
    if (ar.Failed()) return;
    if (n > ar.Remaining()) {
        // Never allocate more than the input can hold.
        ar.Fail();
        return;
    }
    Allocate(n);
    ar.ReadBytes(bytes, n);
}

uint8_t EventBlock::GetByte(uint32_t i) const {
    return i < count ? bytes[i] : 0;
}

void EventBlock::SetByte(uint32_t i, uint8_t b) {
    if (i < count) bytes[i] = b;
}

void EventBlock::Allocate(uint32_t n) {
    FreeBuffer();
    if (n) bytes = new uint8_t[n]();
    count = n;
}

void EventBlock::Write(const void* source, uint32_t length, uint32_t position, bool overwrite) {
    if (length == 0) return;
    const uint64_t end = static_cast<uint64_t>(position) + length;
    if (overwrite) {
        if (end > std::numeric_limits<uint32_t>::max()) return;
        if (end > count) {
            auto* grown = new uint8_t[end]();
            if (count) std::memcpy(grown, bytes, count);
            delete[] bytes;
            bytes = grown;
            count = static_cast<uint32_t>(end);
        }
        std::memcpy(bytes + position, source, length);
        return;
    }
    // Insertion past the end pads with zeros up to the position.
    const uint64_t newCount = static_cast<uint64_t>(std::max(count, position)) + length;
    if (newCount > std::numeric_limits<uint32_t>::max()) return;
    auto* grown = new uint8_t[newCount]();
    const uint32_t before = std::min(count, position);
    if (before) std::memcpy(grown, bytes, before);
    std::memcpy(grown + position, source, length);
    if (count > position)
        std::memcpy(grown + position + length, bytes + position, count - position);
    delete[] bytes;
    bytes = grown;
    count = static_cast<uint32_t>(newCount);
}

void EventBlock::Shrink(uint32_t n) {
    // The buffer keeps its size; only the first count - n bytes stay counted.
    count -= std::min(n, count);
}

void EventBlock::FreeBuffer() {
    delete[] bytes;
    bytes = nullptr;
    count = 0;
}

// ---------------------------------------------------------------------------------------------
// WaveInfo

bool WaveInfo::ControlBit(uint32_t bit, int set) {
    if (set == 1)
        options |= bit;
    else if (set == 0)
        options &= ~bit;
    return (options & bit) != 0;
}

// ---------------------------------------------------------------------------------------------
// EventWave

namespace {
const char* MutexNameFor(const std::string& name) {
    return name.empty() ? kDefaultWaveMutexName : name.c_str();
}

void DestroySound(WaveSound* sound) {
    sound->Close();
    delete sound;
}
} // namespace

EventWave::EventWave() {
    mutex = platform::AcquireNamedMutex(kDefaultWaveMutexName);
}

EventWave::~EventWave() {
    if (!released_) Release();
}

bool EventWave::Release() {
    if (released_) return true;
    if ((flags & kWavePlaybackCopy) && !(flags & kWaveReference)) {
        // A device still streams this sound: the sound and the mutex stay with it.
        if (info.busy != 0) return false;
        if ((flags & kWaveOwnsSound) && sound) {
            DestroySound(sound);
            sound = nullptr;
        }
    }
    Unlock();
    info.name.clear();
    platform::ReleaseNamedMutex(mutex);
    mutex = nullptr;
    released_ = true;
    return true;
}

bool EventWave::IsWave() const {
    return true;
}
bool EventWave::IsPlayable() const {
    return true;
}
void EventWave::GetTypeName(std::string& text) const {
    text += "Wave Event";
}
uint32_t EventWave::GetDuration() const {
    return duration;
}
void EventWave::SetDuration(uint32_t d) {
    duration = d;
}

SongEvent* EventWave::Clone() const {
    auto* copy = new EventWave;
    copy->CopyFrom(*this);
    return copy;
}

void EventWave::CopyFrom(const SongEvent& other) {
    time = other.time;
    if (!other.IsWave() || &other == this) return;
    const auto& src = static_cast<const EventWave&>(other);
    sound = src.sound;
    startOffset = src.startOffset;
    duration = src.duration;
    const std::string name = src.info.name;
    info.word0 = src.info.word0;
    info.busy = src.info.busy;
    info.loop = src.info.loop;
    info.volume = src.info.volume;
    info.balance = src.info.balance;
    info.rateFactor = src.info.rateFactor;
    info.bytesPerSample = src.info.bytesPerSample;
    info.options = src.info.options;
    info.format = src.info.format;
    SetName(name);
    if (flags & kWaveReference)
        flags = (flags & ~kWavePlaybackCopy) | (src.flags & kWavePlaybackCopy);
}

void EventWave::Serialize(CArchive& ar) {
    Serialize(ar, false);
}

void EventWave::Serialize(CArchive& ar, bool withData) {
    SongEvent::Serialize(ar);
    if (ar.IsStoring()) {
        const bool hasData = withData && sound != nullptr;
        ar.WriteString(info.name);
        ar.WriteU32(time);
        ar.WriteU16(static_cast<uint16_t>(info.bytesPerSample));
        ar.WriteU16(1); // marker: flags, loop and options follow
        ar.WriteU16(static_cast<uint16_t>(flags));
        ar.WriteU16(static_cast<uint16_t>(info.loop));
        ar.WriteU32(info.options);
        ar.WriteU16(hasData ? 1 : 0);
        if (hasData) sound->Serialize(ar, info);
        return;
    }

    const std::string name = ar.ReadString();
    if (ar.Failed()) return;
    SetName(name);
    time = ar.ReadU32();
    info.bytesPerSample = ar.ReadU16();
    if (ar.ReadU16() != 0) {
        ar.ReadU16(); // the stored flags describe the writer's copy, not this one
        flags = 0;
        info.loop = ar.ReadU16();
        info.options = ar.ReadU32();
    }
    const uint16_t hasData = ar.ReadU16();
    if (ar.Failed() || hasData == 0) return;

    WaveSound* loaded = MakeWaveSoundForLoading();
    if (!loaded) {
        // No sound layer to read the data into: the rest of the archive cannot be interpreted.
        ar.Fail();
        return;
    }
    loaded->Serialize(ar, info);
    if (ar.Failed()) {
        DestroySound(loaded);
        return;
    }
    // The event made this sound, so it is the one to release it.
    if (sound && (flags & kWaveOwnsSound) && (flags & kWavePlaybackCopy) &&
        !(flags & kWaveReference))
        DestroySound(sound);
    sound = loaded;
    flags |= kWavePlaybackCopy | kWaveOwnsSound;
}

double EventWave::GetValue() const {
    return sound ? sound->GetValue(info) : 0.0;
}

void EventWave::SetValue(double v) {
    if (sound) sound->SetValue(info, v);
}

void EventWave::SetName(const std::string& text) {
    // Hold the current mutex while the name changes, so that nobody using the old name sees a
    // half-renamed event.
    platform::NamedMutex* old = mutex;
    const bool heldAlready = old && lock == old;
    if (old && !heldAlready) old->Lock(0);
    info.name = text;
    mutex = platform::AcquireNamedMutex(MutexNameFor(info.name));
    lock = nullptr;
    if (old) {
        old->Unlock();
        // The registry counts users: the mutex survives while other events share its name.
        platform::ReleaseNamedMutex(old);
    }
    released_ = false;
}

int EventWave::Lock(uint32_t timeoutMs) {
    if (!mutex) return 0;
    if (lock) return 1; // already held through this event
    if (!mutex->Lock(timeoutMs)) return 0;
    lock = mutex;
    return 1;
}

void EventWave::Unlock() {
    if (!lock) return;
    platform::NamedMutex* held = lock;
    lock = nullptr;
    held->Unlock();
}

uint32_t EventWave::Read(void* buffer, uint32_t samples) {
    if (!sound || info.bytesPerSample <= 0) return 0;
    const uint64_t bytes =
        static_cast<uint64_t>(samples) * static_cast<uint32_t>(info.bytesPerSample);
    if (bytes > std::numeric_limits<uint32_t>::max()) return 0;
    return sound->Read(info, buffer, static_cast<uint32_t>(bytes));
}

int EventWave::Seek(int mode, int64_t position) {
    if (!sound || info.bytesPerSample <= 0 || info.bytesPerSample > 0xFFFF) return 0;
    const int64_t bps = info.bytesPerSample;
    const int64_t length = sound->DataLength();
    // Guard the multiplication: anything this far out is past the end anyway.
    if (position > length || position < -length) return 0;
    int64_t target;
    if (mode == 1)
        target = position * bps;
    else if (mode == 0)
        target = static_cast<int64_t>(sound->TellBytes()) + position * bps;
    else
        return 0;
    if (target < 0 || target >= length) return 0;
    return sound->SeekBytes(info, static_cast<uint32_t>(target)) ? 1 : 0;
}

double EventWave::LengthInSeconds() const {
    if (!sound || info.format.nAvgBytesPerSec == 0) return 0.0;
    return static_cast<double>(sound->DataLength()) / info.format.nAvgBytesPerSec;
}

double EventWave::LengthInMilliseconds() const {
    return LengthInSeconds() * 1000.0;
}

int EventWave::SeekMilliseconds(double ms) {
    const double position =
        ms * 0.001 * info.format.nChannels * static_cast<double>(info.format.nSamplesPerSec);
    if (!(position >= 0.0) || position >= 4294967296.0) return 0;
    return Seek(1, static_cast<int64_t>(position));
}

bool EventWave::SetFormat(const WAVEFORMATEX& format, bool convert) {
    if (!sound) return false;
    if (!sound->IsWritable()) {
        platform::MessageBox("File not open for writing");
        return false;
    }
    return sound->SetFormat(info, format, convert);
}

bool EventWave::SetSampleRate(uint32_t rate) {
    WAVEFORMATEX format = info.format;
    format.nSamplesPerSec = rate;
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return SetFormat(format, false);
}

EventWave* EventWave::MakeTempCopy() const {
    if (!sound) return nullptr;
    auto* copy = new EventWave;
    copy->time = time;
    copy->duration = duration;
    copy->info.word0 = info.word0;
    copy->info.loop = info.loop;
    copy->info.volume = info.volume;
    copy->info.balance = info.balance;
    copy->info.rateFactor = info.rateFactor;
    copy->info.bytesPerSample = info.bytesPerSample;
    copy->info.options = info.options;
    copy->info.format = info.format;
    copy->SetName("Temp");
    copy->sound = sound->Copy(copy->info);
    if (!copy->sound) {
        delete copy;
        return nullptr;
    }
    copy->flags = kWavePlaybackCopy | kWaveOwnsSound;
    return copy;
}

uint32_t EventWave::WriteFloatSamples(const float* samples, uint32_t count) {
    if (!sound || count == 0) return 0;
    const int bps = info.bytesPerSample;
    if (bps != 1 && bps != 2 && bps != 4) return 0;
    constexpr uint32_t kChunk = 256;
    uint8_t buffer[kChunk * 4];
    uint32_t written = 0;
    while (written < count) {
        const uint32_t n = std::min(kChunk, count - written);
        const float* src = samples + written;
        for (uint32_t i = 0; i < n; ++i) {
            if (bps == 1) {
                buffer[i] = FloatToSample8(src[i]);
            } else if (bps == 2) {
                const auto s = static_cast<uint16_t>(FloatToSample16(src[i]));
                buffer[2 * i] = static_cast<uint8_t>(s);
                buffer[2 * i + 1] = static_cast<uint8_t>(s >> 8);
            } else {
                std::memcpy(buffer + 4 * i, &src[i], 4); // stored as it is
            }
        }
        const uint32_t bytes = n * static_cast<uint32_t>(bps);
        const uint32_t done = sound->Write(info, buffer, bytes);
        written += done / static_cast<uint32_t>(bps);
        if (done < bytes) break;
    }
    return written;
}

// ---------------------------------------------------------------------------------------------
// Free functions

void DeleteSongEvent(SongEvent* event) {
    if (!event) return;
    if (event->IsMidi()) {
        delete event;
    } else if (event->IsWave()) {
        auto* wave = static_cast<EventWave*>(event);
        wave->Release();
        delete wave;
    } else if (event->IsValue()) {
        delete event;
    } else if (event->IsBlock()) {
        static_cast<EventBlock*>(event)->FreeBuffer();
        delete event;
    } else {
        platform::MessageBox("Event not deleted!");
    }
}

SongEvent* SongEventSerialize(CArchive& ar) {
    if (ar.IsStoring()) {
        platform::MessageBox("SongEventSerialize()");
        return nullptr;
    }
    const uint8_t kind = ar.ReadU8();
    if (ar.Failed()) return nullptr;
    SongEvent* event;
    if (kind == 1)
        event = new EventWave;
    else if (kind == 2)
        event = new EventValue;
    else
        event = new EventMidi;
    event->Serialize(ar);
    if (ar.Failed()) {
        DeleteSongEvent(event);
        return nullptr;
    }
    return event;
}

namespace {
float HeldSample(float x) {
    if (std::isnan(x)) return 0.0f;
    return std::clamp(x, -1.0f, 1.0f);
}
} // namespace

uint8_t FloatToSample8(float x) {
    return static_cast<uint8_t>((static_cast<double>(HeldSample(x)) + 1.0) * 127.5);
}

int16_t FloatToSample16(float x) {
    return static_cast<int16_t>(static_cast<double>(HeldSample(x)) * 32767.0);
}
