// The song's merge, positioning, pass preparation and recording.
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "song/song_document.h"
#include "tree/solve.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Pass preparation alternates over the whole program.
bool g_passToggle = false;

uint32_t Hold32(uint64_t v) {
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                    : static_cast<uint32_t>(v);
}

uint64_t HoldToU64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 1.8e19) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(v);
}

uint8_t HoldByte(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 127));
}

} // namespace

uint64_t CSongDoc::ToSong(const Cursor& c, uint32_t docTime) const {
    if (c.identity) return docTime;
    uint64_t q = static_cast<uint64_t>(docTime) * kSongUnitsPerBeat;
    if (c.unitRate) return q / c.den;
    return HoldToU64(
        std::floor(static_cast<double>(q) / (static_cast<double>(c.den) * c.rate) + 1e-6));
}

uint64_t CSongDoc::ToDoc(const Cursor& c, uint64_t songUnits, bool roundUp) const {
    if (c.unitRate && songUnits <= std::numeric_limits<uint64_t>::max() / c.den) {
        uint64_t n = songUnits * c.den;
        return roundUp ? (n + kSongUnitsPerBeat - 1) / kSongUnitsPerBeat : n / kSongUnitsPerBeat;
    }
    double x =
        static_cast<double>(songUnits) * static_cast<double>(c.den) * c.rate / kSongUnitsPerBeat;
    return HoldToU64(roundUp ? std::ceil(x - 1e-6) : std::floor(x + 1e-6));
}

uint32_t CSongDoc::ToTicks(uint64_t songUnits) const {
    if (playResolution_ == kSongUnitsPerBeat) return Hold32(songUnits);
    if (songUnits > std::numeric_limits<uint64_t>::max() / playResolution_) return UINT32_MAX;
    return Hold32(songUnits * playResolution_ / kSongUnitsPerBeat);
}

bool CSongDoc::IsEndMarker(const SongEvent* e) {
    return e && e->IsMidi() && static_cast<const EventMidi*>(e)->status == 0 && e->time >= kNoTime;
}

void CSongDoc::LoadCursor(int i) {
    Cursor& c = cursors_[static_cast<size_t>(i)];
    const SongEntry& e = Entry(i);
    c = Cursor{};
    c.store = EntryEvents(i);
    if (!c.store) return;
    uint32_t units = e.document->GetTicksPerBeat(kUnitsPerBeat);
    c.den = units ? units : kSongUnitsPerBeat;
    float rate = e.settings.rate;
    if (!(rate >= kMinEntryRate && rate <= kMaxEntryRate)) rate = 1.0f;
    c.rate = rate;
    c.unitRate = rate == 1.0f;
    c.identity = c.unitRate && c.den == kSongUnitsPerBeat;
    c.loop = e.settings.loop != 0;
    c.loopLength = std::max(e.settings.loopLength, kMinLoopLength);
    c.startOffset = e.settings.startOffset;
}

void CSongDoc::Refill(Cursor& c) {
    c.bufPos = c.bufLen = 0;
    int n = 0;
    if (c.lastTaken && c.store->CurrentEvent() != c.lastTaken) {
        // Something else walked the store: find the last event taken again.
        c.store->Seek(c.lastTime);
        SongEvent* e = c.store->Next();
        while (e && e != c.lastTaken && c.store->CurrentTime() == c.lastTime) e = c.store->Next();
        if (e != c.lastTaken) {
            // It is gone: the event found is the next one.
            if (!e) return;
            c.buf[0] = e;
            c.bufTime[0] = c.store->CurrentTime();
            n = 1;
        }
    }
    // Events are taken in batches: one store walked at a time stays in the cache.
    for (; n < Cursor::kBatch; ++n) {
        SongEvent* e = c.store->Next();
        if (!e) break;
        c.buf[static_cast<size_t>(n)] = e;
        c.bufTime[static_cast<size_t>(n)] = c.store->CurrentTime();
    }
    c.bufLen = n;
    if (n > 0) {
        c.lastTaken = c.buf[static_cast<size_t>(n - 1)];
        c.lastTime = c.bufTime[static_cast<size_t>(n - 1)];
    }
}

void CSongDoc::Fetch(Cursor& c) {
    if (c.bufPos >= c.bufLen) Refill(c);
    if (c.bufPos < c.bufLen) {
        c.pending = c.buf[static_cast<size_t>(c.bufPos)];
        c.pendingTime = c.bufTime[static_cast<size_t>(c.bufPos)];
        ++c.bufPos;
    } else {
        c.pending = nullptr;
    }
}

void CSongDoc::Rewind(Cursor& c, uint32_t docPos) {
    if (docPos == 0)
        c.store->Restart();
    else
        c.store->Seek(docPos);
    c.bufPos = c.bufLen = 0;
    c.lastTaken = nullptr;
    Fetch(c);
}

void CSongDoc::Settle(int i) {
    Cursor& c = cursors_[static_cast<size_t>(i)];
    bool wrapped = false;
    for (;;) {
        uint64_t rel = c.pending ? ToSong(c, c.pendingTime) : 0;
        if (c.loop && (!c.pending || rel >= c.loopLength)) {
            // A loop with nothing inside it ends the entry for this pass.
            if (wrapped) break;
            wrapped = true;
            c.loopAcc += c.loopLength;
            Entry(i).loopAccumulated = c.loopAcc;
            Rewind(c, 0);
            continue;
        }
        if (!c.pending) break;
        uint64_t t = rel + c.loopAcc + c.startOffset;
        if (ToTicks(t) >= kNoTime) break; // beyond any time a clock can count
        c.next = t;
        return;
    }
    c.pending = nullptr;
    c.next = UINT64_MAX;
    Entry(i).loopAccumulated = c.loopAcc;
}

void CSongDoc::AdvanceEntry(int i) {
    Cursor& c = cursors_[static_cast<size_t>(i)];
    if (!c.pending) return;
    Fetch(c);
    Settle(i);
}

void CSongDoc::PositionEntry(int i, uint64_t pos) {
    Cursor& c = cursors_[static_cast<size_t>(i)];
    c.loopAcc = 0;
    c.pending = nullptr;
    c.next = UINT64_MAX;
    if (!c.store) {
        Entry(i).loopAccumulated = 0;
        return;
    }
    uint64_t rel = 0;
    if (pos > c.startOffset) {
        rel = pos - c.startOffset;
        if (c.loop) {
            c.loopAcc = rel / c.loopLength * c.loopLength;
            rel %= c.loopLength;
        }
    }
    Rewind(c, Hold32(ToDoc(c, rel, true)));
    Settle(i);
}

void CSongDoc::RebuildActive(bool recording) {
    activeCount_ = 0;
    for (int i = 0; i < EntryCount(); ++i) {
        const SongEntry& e = Entry(i);
        if (!cursors_[static_cast<size_t>(i)].store || e.settings.muted) continue;
        if (recording && e.recordMode != kRecordOff) continue;
        active_[static_cast<size_t>(activeCount_++)] = i;
    }
    BuildHeap();
}

uint64_t CSongDoc::KeyOf(int i) const {
    uint64_t t = cursors_[static_cast<size_t>(i)].next;
    // Merged times stay below 10^12 (the end of the clock's count at any resolution).
    return t == UINT64_MAX ? UINT64_MAX : t << 6 | static_cast<uint64_t>(i);
}

void CSongDoc::SiftDown(int at) {
    const int n = activeCount_;
    const uint64_t item = heap_[static_cast<size_t>(at)];
    for (;;) {
        int child = 2 * at + 1;
        if (child >= n) break;
        uint64_t key = heap_[static_cast<size_t>(child)];
        if (child + 1 < n && heap_[static_cast<size_t>(child + 1)] < key)
            key = heap_[static_cast<size_t>(++child)];
        if (item <= key) break;
        heap_[static_cast<size_t>(at)] = key;
        at = child;
    }
    heap_[static_cast<size_t>(at)] = item;
}

void CSongDoc::BuildHeap() {
    for (int k = 0; k < activeCount_; ++k)
        heap_[static_cast<size_t>(k)] = KeyOf(active_[static_cast<size_t>(k)]);
    for (int k = activeCount_ / 2 - 1; k >= 0; --k) SiftDown(k);
}

void CSongDoc::Seek(double beat, bool recording) {
    if (!prepared_) ComputeScales();
    double units = beat * kSongUnitsPerBeat;
    position_ = units > 0.0 ? HoldToU64(units) : 0;
    last_ = -1;
    advanceLast_ = false;
    currentEntry_ = -1;
    currentTime_ = ToTicks(position_);
    recordingSeek_ = recording;
    for (Cursor& c : cursors_) c = Cursor{};
    for (int i = 0; i < EntryCount(); ++i) {
        LoadCursor(i);
        PositionEntry(i, position_);
    }
    RebuildActive(recording);
}

SongEvent* CSongDoc::GetNextEvent(int& device) {
    if (advanceLast_) {
        advanceLast_ = false;
        if (last_ >= 0) {
            AdvanceEntry(last_);
            if (activeCount_ > 0 && heap_[0] != UINT64_MAX && int(heap_[0] & 63) == last_) {
                heap_[0] = KeyOf(last_);
                SiftDown(0);
            } else {
                BuildHeap();
            }
        }
    }
    for (;;) {
        const uint64_t root = activeCount_ > 0 ? heap_[0] : UINT64_MAX;
        if (root == UINT64_MAX) {
            last_ = -1;
            currentEntry_ = -1;
            device = kDeviceDefault;
            endMarker_.status = endMarker_.data1 = endMarker_.data2 = endMarker_.data3 = 0;
            endMarker_.duration = 0;
            endMarker_.time = kNoTime;
            return &endMarker_;
        }
        const int best = static_cast<int>(root & 63);
        const uint64_t bestTime = root >> 6;
        Cursor& c = cursors_[static_cast<size_t>(best)];
        SongEvent* ev = c.pending;
        const bool midi = ev->IsMidi();
        if (!midi && !ev->IsWave()) {
            // Numbers and byte blocks are not playable.
            AdvanceEntry(best);
            heap_[0] = KeyOf(best);
            SiftDown(0);
            continue;
        }
        const EntrySettings& s = Entry(best).settings;
        last_ = best;
        advanceLast_ = true;
        currentEntry_ = best;
        position_ = bestTime;
        currentTime_ = ToTicks(bestTime);
        if (!midi) {
            waveBuffer_.CopyFrom(*ev);
            waveBuffer_.flags |= kWaveReference;
            waveBuffer_.time = currentTime_;
            waveBuffer_.info.volume = s.waveVolume;
            waveBuffer_.info.balance = s.pan;
            waveBuffer_.info.rateFactor = s.rate;
            device = kDeviceDefault;
            return &waveBuffer_;
        }
        const auto& source = static_cast<const EventMidi&>(*ev);
        midiBuffer_.status = source.status;
        midiBuffer_.data1 = source.data1;
        midiBuffer_.data2 = source.data2;
        midiBuffer_.data3 = source.data3;
        midiBuffer_.duration = source.duration;
        midiBuffer_.time = currentTime_;
        uint32_t d = source.duration;
        if (d && !(c.identity && playResolution_ == kSongUnitsPerBeat)) {
            if (c.unitRate)
                midiBuffer_.duration = Hold32(uint64_t(d) * playResolution_ / c.den);
            else
                midiBuffer_.duration = Hold32(HoldToU64(
                    std::floor(double(d) * playResolution_ / (double(c.den) * c.rate) + 1e-6)));
        }
        const uint8_t kind = midiBuffer_.status & 0xF0;
        if (s.transpose != 0 && (kind == 0x80 || kind == 0x90 || kind == 0xA0))
            midiBuffer_.data1 =
                HoldByte(int(midiBuffer_.data1) + std::clamp(s.transpose, -256, 256));
        if (kind == 0x90 && midiBuffer_.data2 != 0) {
            // The small allowance keeps 100 × 0.9 at 90 although 0.9 is not exact in binary.
            double v = std::floor(double(midiBuffer_.data2) * double(s.volume) + 1e-4);
            midiBuffer_.data2 = HoldByte(v == v ? static_cast<int>(std::min(v, 127.0)) : 0);
        }
        device = s.device;
        return &midiBuffer_;
    }
}

void CSongDoc::StepBack() {
    if (last_ >= 0) advanceLast_ = false;
}

bool CSongDoc::PreparePass() {
    g_passToggle = !g_passToggle;
    if (!g_passToggle) return false;
    for (int i = 0; i < EntryCount(); ++i) {
        SongEntry& e = Entry(i);
        if (!e.document || e.document->GetDocKind() != kDocKindDendra) continue;
        if (!e.document->IsModified()) continue;
        // Getting the events of a changed tree solves it again, which replaces the events the
        // merge stands on: the entry is positioned again just after the last merged time.
        if (last_ == i) advanceLast_ = false;
        bool wasActive = cursors_[static_cast<size_t>(i)].store != nullptr;
        LoadCursor(i);
        if (wasActive) PositionEntry(i, position_ + 1);
    }
    BuildHeap();
    return true;
}

EventWave* CSongDoc::StartAudioRecord(uint32_t songTime) {
    audioEntry_ = -1;
    audioWritten_ = 0;
    for (int i = 0; i < EntryCount(); ++i) {
        SongEntry& e = Entry(i);
        if (e.recordMode != kRecordWave || !e.document || e.document->GetDocKind() != kDocKindWave)
            continue;
        auto& wave = static_cast<CWaveDoc&>(*e.document);
        if (!wave.Wave() || !wave.Data()) return nullptr;
        if (!wave.Data()->IsWritable() && !wave.MakeTempCopy()) return nullptr;
        audioEntry_ = i;
        e.settings.startOffset = songTime;
        return wave.Wave();
    }
    return nullptr;
}

uint32_t CSongDoc::AppendRecordedAudio(const void* first, uint32_t firstBytes, const void* second,
                                       uint32_t secondBytes) {
    if (audioEntry_ < 0) return 0;
    auto& wave = static_cast<CWaveDoc&>(*Entry(audioEntry_).document);
    sound::WaveData* data = wave.Data();
    if (!data) return 0;
    uint32_t written = 0;
    if (first && firstBytes) written += data->WriteAt(audioWritten_, first, firstBytes);
    if (second && secondBytes)
        written += data->WriteAt(audioWritten_ + written, second, secondBytes);
    audioWritten_ += written;
    return written;
}

uint32_t CSongDoc::EndAudioRecord() {
    if (audioEntry_ < 0) return 0;
    uint32_t written = audioWritten_;
    CChanDoc& doc = *Entry(audioEntry_).document;
    if (written) {
        doc.SetModifiedFlag();
        doc.UpdateAllViews(nullptr);
        SetModifiedFlag();
    }
    UpdateAllViews(nullptr, kHintSongEntry + audioEntry_);
    audioEntry_ = -1;
    audioWritten_ = 0;
    return written;
}

int CSongDoc::LiveMidiInput(const EventMidi& event, LiveOutput& output) {
    int taken = 0;
    for (int i = 0; i < EntryCount(); ++i) {
        SongEntry& e = Entry(i);
        if (e.recordMode != kRecordTree || !e.document ||
            e.document->GetDocKind() != kDocKindDendra)
            continue;
        static_cast<CDendraDoc&>(*e.document).PlayInputEvent(event, output);
        ++taken;
    }
    return taken;
}

int CSongDoc::MergeRecorded(CEventTree& recorded) {
    int target = -1;
    for (int i = 0; i < EntryCount() && target < 0; ++i)
        if (Entry(i).recordMode == kRecordMidi && EntryEvents(i)) target = i;
    if (target < 0) return 0;
    SongEntry& e = Entry(target);
    CEventTree* store = EntryEvents(target);
    Cursor& c = cursors_[static_cast<size_t>(target)];
    const bool wasActive = c.store != nullptr;
    LoadCursor(target);
    int merged = 0;
    for (SongEvent* ev = recorded.First(); ev; ev = recorded.Next()) {
        uint64_t t = recorded.CurrentTime();
        uint64_t rel = t > c.startOffset ? t - c.startOffset : 0;
        if (c.loop) rel %= c.loopLength;
        SongEvent* copy = ev->Clone();
        if (!copy) continue;
        if (copy->IsChannelMessage()) copy->SetChannel(e.settings.channel);
        if (copy->IsMidi() && copy->GetDuration())
            copy->SetDuration(Hold32(ToDoc(c, copy->GetDuration(), false)));
        copy->time = Hold32(ToDoc(c, rel, false));
        store->Add(copy);
        ++merged;
    }
    recorded.Clear();
    e.document->SetModifiedFlag();
    e.document->UpdateAllViews(nullptr);
    UpdateAllViews(nullptr, kHintSongEntry + target);
    if (last_ == target) advanceLast_ = false;
    if (wasActive) PositionEntry(target, position_ + 1);
    BuildHeap();
    return merged;
}

void CSongDoc::Optimize() {
    // The merge finds its place again by itself: balancing keeps every event and time.
    for (int i = 0; i < EntryCount(); ++i)
        if (CEventTree* store = EntryEvents(i)) store->Balance();
}
