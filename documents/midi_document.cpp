#include "documents/midi_document.h"

#include "documents/midi_event_slab.h"
#include "platform/user_messages.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>
#include <vector>

namespace {

CMidiDoc::TempoSource g_tempoSource = nullptr;

uint32_t Clamp32(uint64_t v) {
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                    : static_cast<uint32_t>(v);
}

// A note-off implied by a note, waiting to be written.
struct PendingOff {
    uint64_t time;
    uint64_t order;
    uint8_t status;
    uint8_t key;
    bool operator>(const PendingOff& o) const {
        return time != o.time ? time > o.time : order > o.order;
    }
};

} // namespace

const char* MidiFileProblemMessage(const formats::Result& result) {
    switch (result.GetCode()) {
    case formats::Code::CannotOpen:
    case formats::Code::WriteFailed:
        return kMidiOpenProblemMessage;
    case formats::Code::CannotReopen:
        return kMidiReopenProblemMessage;
    default:
        return nullptr;
    }
}

void ShowMidiFileProblem(const formats::Result& result) {
    if (const char* text = MidiFileProblemMessage(result)) platform::MessageBox(text);
}

CMidiDoc::CMidiDoc() {
    // A new document holds one empty channel.
    SetChannelCount(1, false);
    State(1).loaded = true;
}

CMidiDoc::~CMidiDoc() = default;

void CMidiDoc::SetClockTempoSource(TempoSource source) {
    g_tempoSource = source;
}

void CMidiDoc::SetExportFormat(int format) {
    exportFormat_ = format == 0 ? 0 : 1;
    formatFromFile_ = false;
}

uint32_t CMidiDoc::EventsRead(int channel) const {
    return channel >= 1 && channel <= kMaxChannels ? state_[size_t(channel)].eventsRead : 0;
}

bool CMidiDoc::IsChannelLoaded(int channel) const {
    return channel >= 1 && channel <= kMaxChannels && state_[size_t(channel)].loaded;
}

void CMidiDoc::FreeAll() {
    for (int i = 1; i <= GetChannelCount(); ++i) CChanDoc::FreeChannel(i);
    CChanDoc::SetChannelCount(0, false);
    for (ChannelState& s : state_) {
        ChannelMixRecord* mix = s.mix;
        s = ChannelState{};
        s.mix = mix;
    }
    file_.reset();
    // The events already made keep their slabs; new ones start afresh.
    slabs_.reset();
    loadedLength_ = 0;
}

bool CMidiDoc::OnOpenDocument(const std::string& path) {
    auto file = std::make_unique<MidiFile>();
    int format = 1;
    const formats::Result opened = file->Open(path, 'r', format);
    if (!opened || file->Division() == 0) {
        ShowMidiFileProblem(opened);
        platform::MessageBox(kMidiOpenFailedMessage);
        return false;
    }
    const int tracks = file->TrackCount();
    FreeAll();
    file_ = std::move(file);
    fileFormat_ = format;
    fileDivision_ = file_->RawDivision();
    exportFormat_ = format;
    formatFromFile_ = true;
    uint32_t division = static_cast<uint32_t>(file_->Division());
    SetTicksPerBeat(kUnitsPerBeat, division);
    SetTicksPerBeat(kPlayResolution, division);
    SetPathName(path);
    int n = std::min(tracks, kMaxChannels);
    CChanDoc::SetChannelCount(n, false);
    for (int i = 1; i <= n; ++i) LoadChannel(i);
    SetModifiedFlag(false);
    return true;
}

void CMidiDoc::LoadChannel(int channel) {
    ChannelState& st = State(channel);
    CEventTree* store = CChanDoc::GetChannelEvents(channel);
    st.loaded = true;
    if (!file_ || !store || file_->TrackCount() < channel) return;
    const int track = channel - 1;
    file_->Rewind();
    store->Last();
    st.eventsRead = 0;
    st.firstNoteChannel = -1;
    st.volume.fill(-1);
    st.pan.fill(-1);
    st.program.fill(-1);

    // The open notes of each MIDI channel and key, most recent on top: a note-off closes the
    // latest note-on of its key that is still sounding. Entries of closed notes are reused, so
    // the table holds only the notes sounding at once, not every note of the track.
    struct Open {
        EventMidi* note;
        int32_t below;
    };
    std::array<int32_t, 16 * 128> top;
    top.fill(-1);
    std::vector<Open> open;
    int32_t freeOpen = -1;

    std::vector<MidiRawEvent> batch(kBatchSize);
    uint64_t now = 0;
    uint64_t longest = 0;
    bool full = true;
    // Tracks are read in time order: link them as a chain and balance once at the end.
    CEventTree::Appender append(*store);
    if (!slabs_) slabs_ = std::make_unique<MidiEventSlabs>();
    MidiEventSlabs& slabs = *slabs_;
    while (full) {
        const size_t got = file_->ReadEvents(track, batch.data(), batch.size());
        full = got == batch.size();
        for (size_t k = 0; k < got; ++k) {
            const MidiRawEvent& e = batch[k];
            now += e.delta;
            if (now > kMidiMaxEventTime) {
                // Shown once; the rest of the track is not read.
                platform::MessageBox(kMidiReadProblemMessage);
                full = false;
                break;
            }
            ++st.eventsRead;
            longest = now; // times never go back
            const uint8_t kind = e.status & 0xF0;
            const size_t midiChannel = e.status & 0x0F;
            if (kind == 0x80 || kind == 0x90) {
                if (st.firstNoteChannel < 0) st.firstNoteChannel = int(midiChannel);
                if (kind == 0x80 || e.data2 == 0) {
                    int32_t& slot = top[midiChannel * 128 + (e.data1 & 0x7F)];
                    if (slot >= 0) {
                        Open& o = open[size_t(slot)];
                        o.note->duration = static_cast<uint32_t>(now - o.note->time);
                        const int32_t closed = slot;
                        slot = o.below;
                        o.below = freeOpen;
                        freeOpen = closed;
                    }
                    continue; // a note-off with no sounding note is dropped
                }
            } else if (kind == 0xB0) {
                if (e.data1 == 7 && st.volume[midiChannel] < 0) st.volume[midiChannel] = e.data2;
                if (e.data1 == 10 && st.pan[midiChannel] < 0) st.pan[midiChannel] = e.data2;
            } else if (kind == 0xC0 && st.program[midiChannel] < 0) {
                st.program[midiChannel] = e.data1;
            }
            EventMidi* ev =
                slabs.New(static_cast<uint32_t>(now), e.status, e.data1, e.data2, 0, e.data3);
            append.Append(ev);
            if (kind == 0x90) {
                int32_t& slot = top[midiChannel * 128 + (e.data1 & 0x7F)];
                int32_t at = freeOpen;
                if (at >= 0) {
                    freeOpen = open[size_t(at)].below;
                    open[size_t(at)] = {ev, slot};
                } else {
                    at = static_cast<int32_t>(open.size());
                    open.push_back({ev, slot});
                }
                slot = at;
            }
        }
    }
    append.Finish();
    loadedLength_ = std::max(loadedLength_, static_cast<uint32_t>(longest));
    if (st.mix) ReadChannelProperties(channel);
}

const std::string& CMidiDoc::TrackName(int channel) {
    ChannelState& st = State(channel);
    if (!st.nameKnown && file_ && channel <= file_->TrackCount()) {
        std::string text;
        file_->Rewind();
        if (file_->LookupMeta(channel - 1, 3, text) >= 0) st.name = text;
        st.nameKnown = true;
    }
    return st.name;
}

void CMidiDoc::ReadTrackProperties(int channel, ChannelMixRecord& out) {
    if (channel < 1 || channel > GetChannelCount()) return;
    GetChannelEvents(channel);
    ChannelState& st = State(channel);
    const std::string& path = GetPathName();
    out.sourcePath = path;
    const std::string& name = TrackName(channel);
    if (!name.empty()) {
        out.name = name;
    } else {
        size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) {
            out.name = GetTitle();
        } else {
            std::string file = path.substr(slash + 1);
            out.name = file.size() > 4 ? file.substr(0, file.size() - 4) : std::string();
        }
    }
    if (st.firstNoteChannel < 0) return;
    size_t c = static_cast<size_t>(st.firstNoteChannel);
    out.channel = st.firstNoteChannel;
    if (st.volume[c] >= 0) out.volume = static_cast<float>(st.volume[c] * 100 / 127) / 100.0f;
    if (st.pan[c] >= 0) out.pan = static_cast<float>(st.pan[c] * 100 / 127) / 100.0f;
    if (st.program[c] >= 0) out.program = st.program[c];
}

void CMidiDoc::ReadChannelProperties(int channel) {
    if (channel < 1 || channel > kMaxChannels || !State(channel).mix) return;
    ReadTrackProperties(channel, *State(channel).mix);
}

void CMidiDoc::SetMixRecord(int channel, ChannelMixRecord* record) {
    if (channel < 1 || channel > kMaxChannels) return;
    State(channel).mix = record;
}

ChannelMixRecord* CMidiDoc::GetMixRecord(int channel) const {
    return channel >= 1 && channel <= kMaxChannels ? state_[size_t(channel)].mix : nullptr;
}

void CMidiDoc::ClearMixRecord(ChannelMixRecord* record) {
    for (ChannelState& s : state_)
        if (s.mix == record) s.mix = nullptr;
}

int CMidiDoc::SetChannelCount(int n, bool keepExtra) {
    n = std::clamp(n, 0, kMaxChannels);
    int before = GetChannelCount();
    int count = CChanDoc::SetChannelCount(n, keepExtra);
    for (int i = count + 1; i <= before; ++i) {
        ChannelMixRecord* mix = State(i).mix;
        State(i) = ChannelState{};
        State(i).mix = mix;
    }
    // Channels beyond the file's tracks start empty.
    for (int i = before + 1; i <= count; ++i)
        if (!file_ || i > file_->TrackCount()) State(i).loaded = true;
    return count;
}

CEventTree* CMidiDoc::GetChannelEvents(int channel) {
    if (channel < 1 || channel > GetChannelCount()) return nullptr;
    if (!State(channel).loaded) LoadChannel(channel);
    return CChanDoc::GetChannelEvents(channel);
}

void CMidiDoc::FreeChannel(int channel) {
    if (channel < 1 || channel > GetChannelCount()) return;
    CChanDoc::FreeChannel(channel);
    ChannelState& st = State(channel);
    st.pending = nullptr;
    st.stepping = false;
    // With the file still open the channel is read again when next asked for.
    st.loaded = !(file_ && channel <= file_->TrackCount());
    st.eventsRead = 0;
}

uint32_t CMidiDoc::GetLength(int) {
    uint64_t longest = 0;
    for (int i = 1; i <= GetChannelCount(); ++i)
        if (CEventTree* store = GetChannelEvents(i))
            longest = std::max<uint64_t>(longest, static_cast<uint32_t>(store->GetLength(1)));
    return Clamp32(longest / unitsPerBeat_ + 2);
}

DocExtent CMidiDoc::GetExtent() {
    uint32_t beats = GetLength(0) - 2;
    return DocExtent{static_cast<int>(std::max<uint32_t>(10, std::min<uint32_t>(beats, 1 << 30))),
                     127};
}

void CMidiDoc::RewindAll() {
    for (int i = 1; i <= GetChannelCount(); ++i) {
        ChannelState& st = State(i);
        CEventTree* store = GetChannelEvents(i);
        st.pending = store ? store->First() : nullptr;
        st.pendingTime = store ? store->CurrentTime() : 0;
        st.stepping = true;
    }
}

uint32_t CMidiDoc::SetPosition(double beats) {
    uint32_t units = CChanDoc::SetPosition(beats);
    for (int i = 1; i <= GetChannelCount(); ++i) {
        ChannelState& st = State(i);
        CEventTree* store = GetChannelEvents(i);
        if (!store) continue;
        store->Seek(units);
        st.pending = store->Next();
        st.pendingTime = store->CurrentTime();
        st.stepping = true;
    }
    return units;
}

SongEvent* CMidiDoc::PeekNextEvent(int& channel, uint32_t& ticks) {
    SongEvent* best = nullptr;
    uint32_t bestTime = 0;
    channel = 0;
    for (int i = 1; i <= GetChannelCount(); ++i) {
        ChannelState& st = State(i);
        if (!st.stepping) {
            CEventTree* store = GetChannelEvents(i);
            st.pending = store ? store->First() : nullptr;
            st.pendingTime = store ? store->CurrentTime() : 0;
            st.stepping = true;
        }
        if (st.pending && (!best || st.pendingTime < bestTime)) {
            best = st.pending;
            bestTime = st.pendingTime;
            channel = i;
        }
    }
    ticks = best ? UnitsToTicks(bestTime) : kNoTime;
    return best;
}

void CMidiDoc::Advance(int channel) {
    if (channel < 1 || channel > GetChannelCount()) return;
    ChannelState& st = State(channel);
    CEventTree* store = GetChannelEvents(channel);
    if (!store || !st.pending) return;
    st.pending = store->Next();
    st.pendingTime = st.pending ? store->CurrentTime() : 0;
}

void CMidiDoc::ChangeTicksPerBeat(uint32_t newUnitsPerBeat) {
    if (newUnitsPerBeat == 0) return;
    newUnitsPerBeat = std::min<uint32_t>(newUnitsPerBeat, 32767);
    for (int i = 1; i <= GetChannelCount(); ++i) GetChannelEvents(i);
    CChanDoc::ChangeTicksPerBeat(newUnitsPerBeat);
    SetTicksPerBeat(kPlayResolution, newUnitsPerBeat);
}

double CMidiDoc::SaveTempo() const {
    double bpm = exportTempo_;
    if (!(bpm > 0.0) && g_tempoSource) bpm = g_tempoSource();
    if (!(bpm > 0.0) || !std::isfinite(bpm)) bpm = kDefaultTempoBpm;
    return bpm;
}

bool CMidiDoc::WriteFile(const std::string& path) {
    const int channels = GetChannelCount();
    for (int i = 1; i <= channels; ++i) GetChannelEvents(i);
    int format = exportFormat_;
    if (channels == 1) format = 0;
    // A document read from a format 0 file that has gained channels keeps them all.
    else if (format == 0 && formatFromFile_)
        format = 1;

    MidiFile out;
    if (formats::Result r = out.Open(path, 'w', format); !r) {
        ShowMidiFileProblem(r);
        return false;
    }
    // A division the header cannot hold is brought into range, and the times with it.
    uint32_t division = unitsPerBeat_;
    uint32_t written = division;
    while (written > 32767 && written % 2 == 0) written /= 2;
    if (written > 32767) written = 32767;
    out.SetDivision(static_cast<int>(written));
    auto toFile = [&](uint64_t t) -> uint64_t {
        if (written == division) return t;
        return uint64_t(written) * (t / division) + (t % division) * written / division;
    };

    std::vector<MidiRawEvent> raw;
    for (int j = 1; j <= std::max(channels, 1); ++j) {
        raw.clear();
        CEventTree* store = CChanDoc::GetChannelEvents(j);
        std::priority_queue<PendingOff, std::vector<PendingOff>, std::greater<PendingOff>> offs;
        uint64_t last = 0;
        uint64_t order = 0;
        auto emit = [&](uint64_t t, uint8_t status, uint8_t d1, uint8_t d2, uint8_t d3) {
            uint64_t ft = toFile(t);
            raw.push_back({Clamp32(ft - std::min(ft, last)), status, d1, d2, d3});
            last = std::max(last, ft);
        };
        bool first = true;
        for (SongEvent* e = store ? store->First() : nullptr; e; e = store->Next()) {
            if (!e->IsMidi()) continue;
            uint64_t t = store->CurrentTime();
            const uint8_t* b = e->GetMessageBytes();
            if (j == 1 && first && b[0] != 0) {
                // The first track starts with the tempo unless it begins with one.
                uint32_t us = static_cast<uint32_t>(
                    std::clamp(std::lround(60000000.0 / SaveTempo()), 1L, 0xFFFFFFL));
                raw.push_back({0, 0, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us)});
            }
            first = false;
            // Note-offs due by now go first, so a note struck again at the moment the previous
            // one ends is not cut off.
            while (!offs.empty() && offs.top().time <= t) {
                emit(offs.top().time, offs.top().status, offs.top().key, 0, 0);
                offs.pop();
            }
            emit(t, b[0], b[1], b[2], b[3]);
            if (e->IsNoteOn())
                offs.push({t + e->GetDuration(), order++, uint8_t(b[0] - 0x10), b[1]});
        }
        if (j == 1 && first) {
            uint32_t us = static_cast<uint32_t>(
                std::clamp(std::lround(60000000.0 / SaveTempo()), 1L, 0xFFFFFFL));
            raw.push_back({0, 0, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us)});
        }
        while (!offs.empty()) {
            emit(offs.top().time, offs.top().status, offs.top().key, 0, 0);
            offs.pop();
        }

        ChannelState& st = State(j);
        std::string name = st.mix ? st.mix->name : TrackName(j);
        if (!name.empty())
            out.WriteMeta(j - 1, 3, name);
        else
            out.BeginTrack(j - 1);
        for (const MidiRawEvent& e : raw) out.WriteEvent(e);
        if (format == 0) break;
    }
    if (formats::Result r = out.Close(); !r) {
        ShowMidiFileProblem(r);
        return false;
    }
    return true;
}

bool CMidiDoc::OnSaveDocument(const std::string& path) {
    // Names still to be read from the file are read before anything changes.
    for (int i = 1; i <= GetChannelCount(); ++i) TrackName(i);
    if (!WriteFile(path)) {
        // The file as it was is kept, and so is the fact that the work is unsaved.
        return false;
    }
    SetModifiedFlag(false);
    // A temporary export document is nothing the application keeps track of.
    if (CDocListener* l = Listener(); l && !IsExport()) l->DocumentSaved(*this);
    return true;
}

void CMidiDoc::OnCloseDocument() {
    if (!IsIncluded()) {
        FreeAll();
        SetModifiedFlag(false);
    }
    CChanDoc::OnCloseDocument();
}
