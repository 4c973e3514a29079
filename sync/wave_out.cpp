#include "sync/wave_out.h"

#include "events/song_event.h"
#include "events/wave_sound.h"
#include "platform/named_mutex.h"
#include "platform/user_messages.h"
#include "sync/messages.h"
#include "sync/mixer/audio_output.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using dsync::StreamBuffer;
using namespace dsync::mixer;

namespace dsync {

bool FormatOfCode(uint32_t code, WAVEFORMATEX& format) {
    for (int i = 0; i < 12; ++i) {
        if (code != (1u << i)) continue;
        static const uint32_t rates[3] = {11025, 22050, 44100};
        format = WAVEFORMATEX{};
        format.wFormatTag = kWaveFormatPcm;
        format.nChannels = uint16_t((i % 4) & 1 ? 2 : 1);
        format.wBitsPerSample = uint16_t((i % 4) >= 2 ? 16 : 8);
        format.nSamplesPerSec = rates[i / 4];
        format.nBlockAlign = uint16_t(format.nChannels * format.wBitsPerSample / 8);
        format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
        return true;
    }
    return false;
}

bool PcmOf(const WAVEFORMATEX& f, PcmFormat& out) {
    if (f.wFormatTag != kWaveFormatPcm) return false;
    out.channels = f.nChannels;
    out.sampleRate = f.nSamplesPerSec;
    out.bitsPerSample = f.wBitsPerSample;
    return out.Valid();
}

namespace {

// Reads into dst from the wave's sound at s.readPosition, looping when asked. Marks the stream
// ended at the end of a sound that does not loop, when a looping sound yields nothing at all from
// its start (an empty sound would otherwise be read forever), and when the sound's data proves
// damaged or unreadable; that last is told to the user-interface thread as "problem reading
// buffer.". Caller holds the wave's mutex. Allocates nothing.
uint32_t ReadSound(StreamBuffer& s, uint8_t* dst, uint32_t want) {
    EventWave& w = *s.wave;
    uint32_t got = 0;
    while (got < want && !s.ended.load(std::memory_order_relaxed)) {
        const bool fromStart = s.readPosition == 0;
        uint32_t n = 0;
        if (w.sound && w.sound->SeekBytes(w.info, s.readPosition))
            n = w.sound->Read(w.info, dst + got, want - got);
        got += n;
        s.readPosition += n;
        if (got < want) {
            if (w.sound && w.sound->ReadFailed()) {
                platform::PostMessageBox(kReadProblemMessage);
                s.ended.store(true, std::memory_order_relaxed);
            } else if (w.info.loop != 0 && !(n == 0 && fromStart))
                s.readPosition = 0;
            else
                s.ended.store(true, std::memory_order_relaxed);
        }
    }
    return got;
}

} // namespace

uint32_t FillSegment(StreamBuffer& s, uint32_t bytes) {
    if (!s.voice || !s.wave || s.ended.load(std::memory_order_relaxed)) return 0;
    bytes = std::min(bytes, s.voice->WritableBytes());
    if (bytes == 0) return 0;
    uint8_t *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    const uint32_t total = s.voice->Lock(bytes, &p1, &n1, &p2, &n2);
    if (total == 0) {
        platform::PostMessageBox(kLockProblemMessage);
        return 0;
    }
    const uint8_t silence = s.voice->Format().bitsPerSample == 8 ? 0x80 : 0x00;
    platform::NamedMutex* m = s.wave->mutex;
    if (m) m->Lock(0);
    uint32_t got1 = ReadSound(s, p1, n1);
    uint32_t got2 = n2 ? ReadSound(s, p2, n2) : 0;
    if (m) m->Unlock();
    std::memset(p1 + got1, silence, n1 - got1);
    if (n2) std::memset(p2 + got2, silence, n2 - got2);
    s.voice->Unlock(total);
    s.writePosition = (s.writePosition + total) % s.bufferBytes;
    ++s.fills;
    // The silence after the end plays through, then the voice stops by itself.
    if (s.ended.load(std::memory_order_relaxed)) s.voice->EndOfStream();
    return total;
}

namespace {

void StreamThread(StreamBuffer* s) {
    const uint32_t segmentBits = NotificationBit(0) | NotificationBit(1) | NotificationBit(2);
    while (!s->stop.load()) {
        const uint32_t bits = s->voice->WaitEvents(500);
        if (s->stop.load()) break;
        if (!(bits & segmentBits)) continue;
        std::lock_guard<std::mutex> g(s->fillLock);
        for (uint32_t i = 0; i < StreamBuffer::kSegments; ++i)
            if (bits & NotificationBit(int(i))) FillSegment(*s, s->segmentBytes);
    }
}

} // namespace
} // namespace dsync

// ---- construction and opening ----------------------------------------------------------------

CWaveOut::CWaveOut(uint32_t dev) : device(dev) {
    ownMixer_ = std::make_unique<AudioMixer>();
    mixer_ = ownMixer_.get();
    if (dev != kMixerForm) cooperativeLevel = 0;
}

CWaveOut::CWaveOut(AudioMixer& mixer, OfflineSink* sink) : mixer_(&mixer), sink_(sink) {}

CWaveOut::~CWaveOut() {
    if (open_) Close();
    for (auto& s : streams)
        if (s) DestroyStream(*s);
    EmptyList();
}

bool CWaveOut::OpenBackend(const uint8_t* identity) {
    if (!ownMixer_) return true; // the caller's mixer, pulled by the caller
    AudioDevice dev;
    if (device != kMixerForm) {
        std::vector<AudioDevice> list = ListAudioOutputs();
        if (device >= list.size()) return false;
        dev = list[device];
    } else {
        static const uint8_t zero[16] = {};
        if (!FindAudioDevice(identity ? identity : zero, true, dev)) return false;
    }
    std::string error;
    if (dev.api == AudioApi::Jack) {
        jack_ = std::make_unique<JackOutput>(*mixer_);
        if (jack_->Open("out", &error) && jack_->Start(true, &error)) return true;
        jack_.reset();
        return false;
    }
    rtaudio_ = std::make_unique<RtAudioOutput>(*mixer_);
    if (rtaudio_->Open(dev.api, dev.index, 0, 512, &error) && rtaudio_->Start(&error)) return true;
    rtaudio_.reset();
    return false;
}

void CWaveOut::CloseBackend() {
    if (jack_) jack_->Close();
    jack_.reset();
    if (rtaudio_) rtaudio_->Close();
    rtaudio_.reset();
}

unsigned CWaveOut::OpenWaveOut(platform::Window owner, CSync* syncClock, const uint8_t* identity) {
    if (open_) Close();
    nextTime.store(kNoTime);
    ownerWindow = owner;
    clock = syncClock;
    if (identity)
        std::memcpy(deviceIdentity, identity, 16);
    else
        std::memset(deviceIdentity, 0, 16);
    if (!OpenBackend(identity)) return 0;
    primaryOpen_ = true;
    serviceWindow = platform::Queue().Register(this);
    if (clock) clock->AttachWaveOut(this, this);
    streamCount = 0;
    for (auto& s : streams) {
        if (!s) s = std::make_unique<StreamBuffer>();
        ++streamCount;
    }
    nextStream = 0;
    open_ = true;
    return 1;
}

std::string CWaveOut::PortName(int channel) const {
    return jack_ ? jack_->PortName(channel) : std::string();
}

uint64_t CWaveOut::Xruns() const {
    return jack_ ? jack_->Xruns() : 0;
}

// ---- the pending list -------------------------------------------------------------------------

int CWaveOut::AddEvent(EventWave* wave) {
    if (!wave || !wave->sound || pendingCount >= kMaxPending) return 0;
    auto* copy = new EventWave;
    copy->CopyFrom(*wave);
    if (!(wave->flags & kWavePlaybackCopy)) copy->flags |= kWavePlaybackCopy;
    eventList.Lock(0);
    eventList.Add(copy);
    nextTime.store(eventList.FirstTime());
    ++pendingCount;
    eventList.Unlock();
    return 1;
}

void CWaveOut::EmptyList() {
    eventList.Lock(0);
    eventList.RemoveAll();
    eventList.Unlock();
    for (auto& s : streams)
        if (s) s->preparedFor = nullptr;
}

void CWaveOut::RemoveEvents() {
    nextTime.store(kNoTime);
    EmptyList();
    StopAllStreams();
}

// ---- stream buffers --------------------------------------------------------------------------

bool CWaveOut::StreamPlaying(int i) const {
    const StreamBuffer* s = streams[i].get();
    return s && s->voice && s->voice->IsPlaying();
}

StreamBuffer* CWaveOut::FindByName(const std::string& name, bool idleOnly) {
    for (int i = 0; i < streamCount; ++i) {
        StreamBuffer* s = streams[i].get();
        if (!s->wave || s->wave->Name() != name) continue;
        if (idleOnly && s->voice && s->voice->IsPlaying()) continue;
        return s;
    }
    return nullptr;
}

void CWaveOut::StopStream(StreamBuffer& s) {
    if (s.voice) s.voice->Stop();
}

void CWaveOut::StopAllStreams() {
    for (int i = 0; i < streamCount; ++i) StopStream(*streams[i]);
}

void CWaveOut::DestroyStream(StreamBuffer& s) {
    if (s.voice) s.voice->Stop();
    if (s.thread.joinable()) {
        s.stop.store(true);
        s.voice->Wake();
        s.thread.join();
    }
    s.stop.store(false);
    if (s.voice) mixer_->ReleaseVoice(s.voice);
    s.voice = nullptr;
    if (s.wave) DeleteSongEvent(s.wave);
    s.wave = nullptr;
    s.preparedFor = nullptr;
    s.ended.store(false);
    s.isStatic = false;
    s.bufferBytes = s.segmentBytes = s.writePosition = s.readPosition = 0;
}

namespace {
uint32_t AlignedStart(const EventWave& w, uint32_t block, uint32_t length) {
    int64_t start = w.startOffset < 0 ? 0 : w.startOffset;
    start = start / block * block;
    return uint32_t(std::min<int64_t>(start, length));
}
} // namespace

bool CWaveOut::Load(StreamBuffer& s, const EventWave& event) {
    DestroyStream(s);
    auto* copy = static_cast<EventWave*>(event.Clone());
    PcmFormat f;
    if (!copy->sound || !dsync::PcmOf(copy->info.format, f)) {
        DeleteSongEvent(copy);
        platform::MessageBox("Could not create a stream buffer.");
        return false;
    }
    const uint32_t block = f.BlockAlign();
    const uint32_t perSecond = f.BytesPerSecond();
    const uint32_t length = copy->sound->DataLength() / block * block;
    const uint32_t start = AlignedStart(*copy, block, length);
    const uint32_t threeSeconds = perSecond * 3;
    VoiceDesc d;
    d.format = f;
    if (start == 0 && length > perSecond && length <= threeSeconds) {
        d.isStatic = true;
        d.bufferBytes = length;
    } else {
        d.bufferBytes = threeSeconds;
        const uint32_t seg = (threeSeconds / StreamBuffer::kSegments + block - 1) / block * block;
        for (uint32_t i = 1; i <= StreamBuffer::kSegments; ++i)
            d.notifications.push_back(std::min(seg * i, threeSeconds));
        s.segmentBytes = seg;
    }
    Voice* v = mixer_->CreateVoice(d);
    if (!v) {
        DeleteSongEvent(copy);
        platform::MessageBox("Could not create a stream buffer.");
        return false;
    }
    std::lock_guard<std::mutex> g(s.fillLock);
    s.voice = v;
    s.wave = copy;
    s.isStatic = d.isStatic;
    s.bufferBytes = v->BufferBytes();
    s.segments = StreamBuffer::kSegments;
    s.writePosition = 0;
    s.readPosition = start;
    s.ended.store(false);
    v->SetAttenuation(0);
    if (s.isStatic) {
        s.segmentBytes = 0;
        uint8_t *p1, *p2;
        uint32_t n1, n2;
        uint32_t total = v->Lock(length, &p1, &n1, &p2, &n2);
        platform::NamedMutex* m = copy->mutex;
        if (m) m->Lock(0);
        uint32_t got = 0;
        if (copy->sound->SeekBytes(copy->info, 0)) got = copy->sound->Read(copy->info, p1, n1);
        if (m) m->Unlock();
        if (got < n1) std::memset(p1 + got, f.bitsPerSample == 8 ? 0x80 : 0, n1 - got);
        v->Unlock(total);
        s.writePosition = total % s.bufferBytes;
    } else {
        dsync::FillSegment(s, s.bufferBytes);
        s.thread = std::thread(dsync::StreamThread, &s);
    }
    return true;
}

void CWaveOut::Rewind(StreamBuffer& s) {
    std::lock_guard<std::mutex> g(s.fillLock);
    s.voice->Rewind();
    if (s.isStatic) return;
    const uint32_t block = s.voice->Format().BlockAlign();
    s.readPosition = AlignedStart(*s.wave, block, s.wave->sound->DataLength() / block * block);
    s.writePosition = 0;
    s.ended.store(false);
    dsync::FillSegment(s, s.bufferBytes);
}

bool CWaveOut::Prepare(EventWave* event) {
    if (!event || streamCount == 0) return false;
    StreamBuffer* s = FindByName(event->Name(), true);
    if (s) {
        if (s->preparedFor == event) return true;
        if (s->voice && s->wave->startOffset == event->startOffset &&
            s->wave->sound == event->sound) {
            // Same sound from the same place: the loaded data stays; take the new copy.
            auto* copy = static_cast<EventWave*>(event->Clone());
            {
                std::lock_guard<std::mutex> g(s->fillLock);
                DeleteSongEvent(s->wave);
                s->wave = copy;
            }
            Rewind(*s);
        } else if (!Load(*s, *event)) {
            return false;
        }
        s->preparedFor = event;
        return true;
    }
    s = streams[nextStream].get();
    if (s->voice && s->voice->IsPlaying()) return false;
    if (!Load(*s, *event)) return false;
    s->preparedFor = event;
    nextStream = (nextStream + 1) % streamCount;
    return true;
}

void CWaveOut::ApplyInfo(StreamBuffer& s, const WaveInfo& info) {
    WaveInfo& mine = s.wave->info;
    if (s.wave->mutex) s.wave->mutex->Lock(0);
    mine.loop = info.loop;
    mine.volume = info.volume;
    mine.balance = info.balance;
    mine.rateFactor = info.rateFactor;
    if (s.wave->mutex) s.wave->mutex->Unlock();
    if (mine.options & kWaveCtrlPan)
        s.voice->SetPan(int32_t(std::lround((info.balance - 0.5) * 20000.0)));
    if (mine.options & kWaveCtrlVolume)
        s.voice->SetAttenuation(int32_t(std::lround((info.volume - 1.0) * 10000.0)));
    if (mine.options & kWaveCtrlFrequency) {
        double hz = double(s.voice->Format().sampleRate) * info.rateFactor;
        hz = std::clamp(hz, double(kMinFrequency), double(kMaxFrequency));
        s.voice->SetFrequency(uint32_t(std::lround(hz)));
    }
    if (s.voice->IsPlaying() && s.isStatic) s.voice->Play(info.loop != 0);
}

void CWaveOut::PrepareNext() {
    eventList.Lock(0);
    SongEvent* first = eventList.head;
    if (first && first->IsWave()) Prepare(static_cast<EventWave*>(first));
    eventList.Unlock();
}

void CWaveOut::LoadFirst() {
    eventList.Lock(0);
    int n = 0;
    for (SongEvent* e = eventList.head; e && n < streamCount; e = e->next, ++n)
        if (e->IsWave()) Prepare(static_cast<EventWave*>(e));
    eventList.Unlock();
}

void CWaveOut::StartNext() {
    eventList.Lock(0);
    SongEvent* first = eventList.head;
    if (!first || (clock && first->time > clock->now.load())) {
        // Nothing due (a late or repeated start message).
        nextTime.store(eventList.FirstTime());
        eventList.Unlock();
        return;
    }
    auto* event = static_cast<EventWave*>(first);
    StreamBuffer* s = nullptr;
    for (int i = 0; i < streamCount && !s; ++i)
        if (streams[i]->preparedFor == event && !StreamPlaying(i)) s = streams[i].get();
    if (!s && Prepare(event)) s = FindByName(event->Name(), true);
    if (s && s->voice) {
        ApplyInfo(*s, event->info);
        // At the frame of the event's tick where the output has a frame time line (JACK).
        s->voice->PlayAt(s->isStatic && event->info.loop != 0,
                         clock ? clock->TimeOfTick(event->time) : INT64_MIN,
                         clock ? clock->DispatchPeriodMs() : 0);
    }
    for (auto& b : streams)
        if (b && b->preparedFor == event) b->preparedFor = nullptr;
    eventList.Remove(event);
    const int was = pendingCount;
    if (pendingCount > 0) --pendingCount;
    if (was == 11)
        platform::PostMessage(ownerWindow, dsync::kMsgRefill, 0, reinterpret_cast<intptr_t>(this));
    nextTime.store(eventList.FirstTime());
    eventList.Unlock();
}

void CWaveOut::GetNewInfo(EventWave* wave) {
    if (!wave) return;
    StreamBuffer* s = FindByName(wave->Name(), false);
    if (s && s->voice) ApplyInfo(*s, wave->info);
}

void CWaveOut::CloseWave(EventWave* wave) {
    if (!wave) return;
    for (int i = 0; i < streamCount; ++i)
        if (streams[i]->wave && streams[i]->wave->Name() == wave->Name())
            DestroyStream(*streams[i]);
}

void CWaveOut::HandleMessage(uint32_t message, uintptr_t, intptr_t) {
    if (message == dsync::kMsgWavePrepare)
        PrepareNext();
    else if (message == dsync::kMsgWaveStart)
        StartNext();
}

// ---- the primary output ----------------------------------------------------------------------

int CWaveOut::Start() {
    primaryPlaying_ = primaryOpen_;
    return 0;
}

void CWaveOut::Stop() {
    StopAllStreams();
    primaryPlaying_ = false;
    nextTime.store(kNoTime);
    RemoveEvents();
    pendingCount = 0;
    StopAllStreams();
}

void CWaveOut::Reset() {
    StopAllStreams();
    nextTime.store(kNoTime);
    RemoveEvents();
    pendingCount = 0;
    StopAllStreams();
}

void CWaveOut::Close() {
    Reset();
    if (clock) clock->DetachWaveOut(this);
    for (auto& s : streams)
        if (s) DestroyStream(*s);
    if (serviceWindow) platform::Queue().Unregister(serviceWindow);
    serviceWindow = 0;
    CloseBackend();
    primaryOpen_ = primaryPlaying_ = false;
    open_ = false;
}

void CWaveOut::SetVolume(float v) {
    if (primaryOpen_)
        mixer_->SetMasterAttenuation(int32_t(std::lround((double(v) - 1.0) * 10000.0)));
}

float CWaveOut::GetVolume() {
    if (!primaryOpen_) return 1.0f;
    return float(1.0 + mixer_->MasterAttenuation() / 10000.0);
}

void CWaveOut::SetBalance(float b) {
    if (primaryOpen_) mixer_->SetMasterPan(int32_t(std::lround((double(b) - 0.5) * 20000.0)));
}

float CWaveOut::GetBalance() {
    if (!primaryOpen_) return 0.5f;
    return float((mixer_->MasterPan() + 10000) * 0.00005);
}

unsigned CWaveOut::GetWaveCaps(uint32_t* code) {
    if (code) *code = formatCode;
    return 0xFFFF;
}

void CWaveOut::SetWaveCaps(uint32_t code) {
    StopAllStreams();
    // The mixer plays at its output's rate; the code is kept for what the program asks back.
    formatCode = code;
}
