#include "song/song_document.h"

#include "documents/event_list_document.h"
#include "documents/midi_document.h"
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "platform/user_messages.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {

bool IsKind(const CChanDoc& doc, uint32_t kind) {
    return doc.GetDocKind() == kind;
}

int DocumentChannels(CChanDoc& doc) {
    uint32_t kind = doc.GetDocKind();
    if (kind == kDocKindDendra || kind == kDocKindWordList || kind == kDocKindWave) return 1;
    return std::max(1, doc.GetChannelCount());
}

} // namespace

std::string MissingFileQuestion(const std::string& path) {
    return "Could not find [" + path + "]. Search for file?";
}

CSongDoc::CSongDoc() {
    unitsPerBeat_ = kSongUnitsPerBeat;
    playResolution_ = kSongPlayResolution;
    // The wave buffer only ever refers to sounds that others own.
    waveBuffer_.flags = kWaveReference;
    endMarker_.time = kNoTime;
}

CSongDoc::~CSongDoc() {
    for (auto& e : entries_)
        if (e->document && IsKind(*e->document, kDocKindMidi))
            static_cast<CMidiDoc&>(*e->document).ClearMixRecord(&e->settings);
    // The buffer's sound belongs to a document that may go first.
    waveBuffer_.sound = nullptr;
}

bool CSongDoc::OnNewDocument() {
    while (!entries_.empty()) RemoveEntry(EntryCount() - 1);
    header_ = EntrySettings{};
    description_.clear();
    length_ = 0;
    prepared_ = false;
    ResetMerge();
    UpdateAllViews(nullptr);
    return CChanDoc::OnNewDocument();
}

void CSongDoc::SetDescription(const std::string& text) {
    if (text == description_) return;
    description_ = text;
    SetModifiedFlag();
}

void CSongDoc::ResetMerge() {
    activeCount_ = 0;
    last_ = -1;
    advanceLast_ = false;
    currentEntry_ = -1;
    currentTime_ = 0;
    for (Cursor& c : cursors_) c = Cursor{};
}

void CSongDoc::FillEntrySettings(SongEntry& entry) {
    CChanDoc& doc = *entry.document;
    EntrySettings& s = entry.settings;
    s.name = doc.GetTitle();
    s.sourcePath = doc.GetPathName();
    s.word1 = entry.channel;
    if (IsKind(doc, kDocKindMidi)) {
        auto& midi = static_cast<CMidiDoc&>(doc);
        midi.ReadTrackProperties(entry.channel, s);
        if (s.name.empty()) s.name = doc.GetTitle() + " " + std::to_string(entry.channel);
        s.sourcePath = doc.GetPathName();
    }
    s.HoldToRanges();
}

int CSongDoc::AddEntry(std::shared_ptr<CChanDoc> doc, int channel, const EntrySettings* settings) {
    if (EntryCount() >= kMaxSongEntries) return -1;
    auto entry = std::make_unique<SongEntry>();
    entry->document = std::move(doc);
    entry->channel = channel;
    if (entry->document) {
        FillEntrySettings(*entry);
        entry->document->SetIncluded(true);
    }
    if (settings) {
        entry->settings = *settings;
        entry->settings.HoldToRanges();
    }
    entry->settings.word1 = channel;
    if (entry->document && IsKind(*entry->document, kDocKindMidi))
        static_cast<CMidiDoc&>(*entry->document).SetMixRecord(channel, &entry->settings);
    entries_.push_back(std::move(entry));
    prepared_ = false;
    return EntryCount() - 1;
}

int CSongDoc::IncludeDocument(std::shared_ptr<CChanDoc> document) {
    if (!document) return 0;
    uint32_t kind = document->GetDocKind();
    if (kind == kDocKindSong || kind == kDocKindCollection) {
        platform::MessageBox(kCannotIncludeMessage);
        return 0;
    }
    for (int i = EntryCount() - 1; i >= 0; --i)
        if (Entry(i).document == document) RemoveEntry(i);
    ResetMerge();
    int added = 0;
    const int channels = DocumentChannels(*document);
    for (int ch = 1; ch <= channels; ++ch) {
        int index = AddEntry(document, ch, nullptr);
        if (index < 0) {
            platform::MessageBox(kTooManyEntriesMessage);
            break;
        }
        ++added;
        UpdateAllViews(nullptr, kHintSongEntry + index);
    }
    if (added) SetModifiedFlag();
    return added;
}

void CSongDoc::ReleaseIfUnused(CChanDoc* doc) {
    if (!doc) return;
    for (auto& e : entries_)
        if (e->document.get() == doc) return;
    doc->SetIncluded(false);
}

void CSongDoc::RemoveEntry(int index) {
    TakeEntry(index);
}

std::unique_ptr<SongEntry> CSongDoc::TakeEntry(int index) {
    if (index < 0 || index >= EntryCount()) return nullptr;
    std::unique_ptr<SongEntry> entry = std::move(entries_[static_cast<size_t>(index)]);
    entries_.erase(entries_.begin() + index);
    if (entry->document && IsKind(*entry->document, kDocKindMidi))
        static_cast<CMidiDoc&>(*entry->document).ClearMixRecord(&entry->settings);
    ReleaseIfUnused(entry->document.get());
    if (audioEntry_ == index) audioEntry_ = -1;
    if (audioEntry_ > index) --audioEntry_;
    ResetMerge();
    prepared_ = false;
    SetModifiedFlag();
    UpdateAllViews(nullptr);
    return entry;
}

int CSongDoc::InsertEntry(int index, std::unique_ptr<SongEntry>& entry) {
    if (!entry || EntryCount() >= kMaxSongEntries) return -1;
    index = std::clamp(index, 0, EntryCount());
    SongEntry& e = *entry;
    entries_.insert(entries_.begin() + index, std::move(entry));
    if (e.document) {
        e.document->SetIncluded(true);
        if (IsKind(*e.document, kDocKindMidi))
            static_cast<CMidiDoc&>(*e.document).SetMixRecord(e.channel, &e.settings);
    }
    if (audioEntry_ >= index) ++audioEntry_;
    ResetMerge();
    prepared_ = false;
    SetModifiedFlag();
    UpdateAllViews(nullptr);
    return index;
}

uint64_t SongEntry::NextSerial() {
    static std::atomic<uint64_t> next{0};
    return ++next;
}

int CSongDoc::IndexOf(uint64_t serial) const {
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i]->serial == serial) return static_cast<int>(i);
    return -1;
}

void CSongDoc::SetEntryDocument(int index, std::shared_ptr<CChanDoc> document, int channel,
                                bool contained) {
    if (index < 0 || index >= EntryCount()) return;
    SongEntry& e = Entry(index);
    if (e.document && IsKind(*e.document, kDocKindMidi))
        static_cast<CMidiDoc&>(*e.document).ClearMixRecord(&e.settings);
    std::shared_ptr<CChanDoc> old = std::move(e.document);
    e.document = std::move(document);
    e.channel = channel;
    e.settings.word1 = channel;
    e.contained = contained;
    if (e.document) {
        e.document->SetIncluded(true);
        if (IsKind(*e.document, kDocKindMidi))
            static_cast<CMidiDoc&>(*e.document).SetMixRecord(channel, &e.settings);
    }
    if (old != e.document) ReleaseIfUnused(old.get());
    ResetMerge();
    prepared_ = false;
    SetModifiedFlag();
    UpdateAllViews(nullptr, kHintSongEntry + index);
}

CEventTree* CSongDoc::EntryEvents(int index) {
    if (index < 0 || index >= EntryCount()) return nullptr;
    SongEntry& e = Entry(index);
    if (!e.document) return nullptr;
    CChanDoc& doc = *e.document;
    switch (doc.GetDocKind()) {
    case kDocKindDendra:
        return &static_cast<CDendraDoc&>(doc).GetEvents(1);
    case kDocKindWordList:
        return &static_cast<CSELDoc&>(doc).GetEvents();
    default:
        return doc.GetChannelEvents(e.channel);
    }
}

void CSongDoc::ToggleArm(int index) {
    if (index < 0 || index >= EntryCount()) return;
    SongEntry& e = Entry(index);
    if (e.recordMode != kRecordOff) {
        e.recordMode = kRecordOff;
    } else if (e.document && IsKind(*e.document, kDocKindDendra)) {
        e.recordMode = kRecordTree;
    } else if (e.document && IsKind(*e.document, kDocKindWave)) {
        e.recordMode = kRecordWave;
    } else {
        e.recordMode = kRecordMidi;
    }
    UpdateAllViews(nullptr, kHintSongEntry + index);
}

bool CSongDoc::Contain(int index) {
    if (index < 0 || index >= EntryCount()) return false;
    SongEntry& e = Entry(index);
    if (e.settings.sourcePath == "this") e.settings.sourcePath = kContainedPath;
    if (e.contained || !e.document) return false;
    CChanDoc& doc = *e.document;
    uint32_t kind = doc.GetDocKind();
    if (kind == kDocKindMidi) {
        auto list = std::make_shared<CSELDoc>();
        list->SetTitle(e.settings.name);
        if (CEventTree* store = doc.GetChannelEvents(e.channel)) list->ReplaceEvents(*store);
        list->SetUnitsPerBeat(doc.GetTicksPerBeat(kUnitsPerBeat));
        list->SetTicksPerBeat(kPlayResolution, doc.GetTicksPerBeat(kPlayResolution));
        list->SetModifiedFlag(false);
        static_cast<CMidiDoc&>(doc).ClearMixRecord(&e.settings);
        std::shared_ptr<CChanDoc> old = std::move(e.document);
        e.document = list;
        e.channel = 1;
        e.settings.word1 = 1;
        list->SetIncluded(true);
        ReleaseIfUnused(old.get());
    } else if (kind != kDocKindDendra && kind != kDocKindWordList) {
        return false;
    }
    e.contained = true;
    e.settings.sourcePath = kContainedPath;
    ResetMerge();
    prepared_ = false;
    SetModifiedFlag();
    UpdateAllViews(nullptr, kHintSongEntry + index);
    return true;
}

void CSongDoc::SetEntryChannel(int index, int channel) {
    if (index < 0 || index >= EntryCount()) return;
    channel = std::clamp(channel, 0, 15);
    Settings(index).channel = channel;
    if (CEventTree* store = EntryEvents(index)) {
        for (SongEvent* ev = store->First(); ev; ev = store->Next())
            if (ev->IsChannelMessage()) ev->SetChannel(channel);
        if (Entry(index).document) Entry(index).document->SetModifiedFlag();
    }
    SetModifiedFlag();
}

void CSongDoc::SetEntryRate(int index, float rate) {
    if (index < 0 || index >= EntryCount()) return;
    float held = rate == rate ? std::clamp(rate, kMinEntryRate, kMaxEntryRate) : 1.0f;
    if (held == Settings(index).rate) return;
    Settings(index).rate = held;
    SetModifiedFlag();
    if (prepared_) ComputeScales();
}

void CSongDoc::ComputeScales() {
    for (auto& e : entries_) {
        double units =
            e->document ? e->document->GetTicksPerBeat(kUnitsPerBeat) : kSongUnitsPerBeat;
        e->settings.scale = units * static_cast<double>(e->settings.rate) / kSongUnitsPerBeat;
    }
}

void CSongDoc::Prepare() {
    prepared_ = true;
    ComputeScales();
    Seek(0.0, false);
}

uint32_t CSongDoc::GetLength(int recompute) {
    if (recompute == 1) {
        uint64_t longest = 0;
        for (int i = 0; i < EntryCount(); ++i) {
            SongEntry& e = Entry(i);
            CEventTree* store = EntryEvents(i);
            if (!store) continue;
            int32_t len = store->GetLength(1);
            double units = e.document->GetTicksPerBeat(kUnitsPerBeat);
            double song = len > 0 ? len * kSongUnitsPerBeat / (units * e.settings.rate) : 0.0;
            if (e.settings.loop) song = std::min(song, static_cast<double>(e.settings.loopLength));
            uint64_t end = e.settings.startOffset + static_cast<uint64_t>(std::ceil(song));
            longest = std::max(longest, end);
        }
        uint64_t beats = (longest + kSongUnitsPerBeat - 1) / kSongUnitsPerBeat + 2;
        beats = std::min<uint64_t>(beats, UINT32_MAX / kSongUnitsPerBeat);
        length_ = static_cast<uint32_t>(beats * kSongUnitsPerBeat);
    }
    return length_ / kSongUnitsPerBeat;
}

void CSongDoc::SetLength(uint32_t beats) {
    beats = std::min<uint32_t>(beats, UINT32_MAX / kSongUnitsPerBeat);
    length_ = beats * kSongUnitsPerBeat;
}

void CSongDoc::SetTicksPerBeat(int which, uint32_t value) {
    // A song always counts 1000 units per beat; only its play resolution can be set.
    if (which == kPlayResolution && value > 0) playResolution_ = value;
}
