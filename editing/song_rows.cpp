#include "editing/song_rows.h"

#include "editing/field_text.h"
#include "events/event_tree.h"
#include "events/names.h"
#include "events/song_event.h"
#include "platform/thread_check.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "song/song_document.h"

#include <algorithm>
#include <cmath>

namespace editing {

namespace {

// The entry fields a row control edits.
enum Field {
    kFieldName,
    kFieldArm,
    kFieldMuted,
    kFieldMidiVolume,
    kFieldWaveVolume,
    kFieldPan,
    kFieldLoop,
    kFieldRate,
    kFieldStartOffset,
    kFieldLoopLength,
    kFieldTranspose,
    kFieldProgram,
    kFieldDevice,
};

// What a field change puts on the song's stack: the entry's settings and arm before or after.
struct EntryState {
    EntrySettings settings;
    int recordMode = kRecordOff;
};

bool SameField(int field, const EntryState& a, const EntryState& b) {
    const EntrySettings &x = a.settings, &y = b.settings;
    switch (field) {
    case kFieldName:
        return x.name == y.name;
    case kFieldArm:
        return a.recordMode == b.recordMode;
    case kFieldMuted:
        return x.muted == y.muted;
    case kFieldMidiVolume:
        return x.volume == y.volume;
    case kFieldWaveVolume:
        return x.waveVolume == y.waveVolume;
    case kFieldPan:
        return x.pan == y.pan;
    case kFieldLoop:
        return x.loop == y.loop;
    case kFieldRate:
        return x.rate == y.rate;
    case kFieldStartOffset:
        return x.startOffset == y.startOffset;
    case kFieldLoopLength:
        return x.loopLength == y.loopLength;
    case kFieldTranspose:
        return x.transpose == y.transpose;
    case kFieldProgram:
        return x.program == y.program;
    case kFieldDevice:
        return x.device == y.device;
    default:
        return true;
    }
}

uint8_t Channel(const EntrySettings& s) {
    return uint8_t(std::clamp(s.channel, 0, 15));
}

void SendVolume(CPlayEngine& engine, CSongDoc& song, int i) {
    const EntrySettings& s = song.Settings(i);
    const uint8_t level = EntryVolumeController(s);
    EventMidi volume(kSendNow, uint8_t(0xB0 | Channel(s)), 7, level);
    engine.SendMidi(uint32_t(s.device), volume);
    EventMidi fine(kSendNow, uint8_t(0xB0 | Channel(s)), 39, level);
    engine.SendMidi(uint32_t(s.device), fine);
}

void SendPan(CPlayEngine& engine, CSongDoc& song, int i) {
    const EntrySettings& s = song.Settings(i);
    EventMidi pan(kSendNow, uint8_t(0xB0 | Channel(s)), 10, EntryPanController(s));
    engine.SendMidi(uint32_t(s.device), pan);
}

void SendProgram(CPlayEngine& engine, CSongDoc& song, int i) {
    const EntrySettings& s = song.Settings(i);
    EventMidi program(kSendNow, uint8_t(0xC0 | Channel(s)), uint8_t(std::clamp(s.program, 0, 127)),
                      0);
    engine.SendMidi(uint32_t(s.device), program);
}

// What a changed field sends at once.
void SendField(const std::weak_ptr<CPlayEngine>& handle, CSongDoc& song, int i, int field) {
    std::shared_ptr<CPlayEngine> engine = handle.lock();
    if (!engine) return;
    switch (field) {
    case kFieldMuted:
        SendVolume(*engine, song, i);
        break;
    case kFieldMidiVolume:
    case kFieldWaveVolume:
        SendVolume(*engine, song, i);
        engine->SendEntryWaveInfo(i);
        break;
    case kFieldPan:
        SendPan(*engine, song, i);
        engine->SendEntryWaveInfo(i);
        break;
    case kFieldProgram:
        SendProgram(*engine, song, i);
        break;
    default:
        break;
    }
}

// Changing the song's entries resets its merge: a play of this song stops first.
void StopIfPlaying(const std::weak_ptr<CPlayEngine>& handle, const CSongDoc& song) {
    std::shared_ptr<CPlayEngine> engine = handle.lock();
    if (engine && engine->Song() == &song && (engine->IsPlaying() || engine->IsRecording()))
        engine->Stop();
}

bool IsContainedPath(const SongEntry& e) {
    return e.contained || e.settings.sourcePath == kContainedPath;
}

} // namespace

// ---- Commands ----------------------------------------------------------------------------------

// A change of one field of an entry's settings (or its arm).
class SongRows::FieldCommand : public Command {
public:
    FieldCommand(CSongDoc& song, std::weak_ptr<CPlayEngine> engine, uint64_t entry, int field,
                 std::string label, EntryState before, EntryState after)
        : song_(song), engine_(std::move(engine)), entry_(entry), field_(field),
          label_(std::move(label)), before_(std::move(before)), after_(std::move(after)) {}
    std::string Label() const override { return label_; }
    bool Do() override { return Apply(after_); }
    bool Undo() override { return Apply(before_); }

private:
    bool Apply(const EntryState& state) {
        const int i = song_.IndexOf(entry_);
        if (i < 0) return false;
        SongEntry& e = song_.Entry(i);
        EntrySettings& s = e.settings;
        const EntrySettings& v = state.settings;
        switch (field_) {
        case kFieldName:
            s.name = v.name;
            break;
        case kFieldArm:
            e.recordMode = state.recordMode;
            break;
        case kFieldMuted:
            s.muted = v.muted;
            break;
        case kFieldMidiVolume:
            s.volume = v.volume;
            break;
        case kFieldWaveVolume:
            s.waveVolume = v.waveVolume;
            break;
        case kFieldPan:
            s.pan = v.pan;
            break;
        case kFieldLoop:
            s.loop = v.loop;
            break;
        // The entries' scales are computed again.
        case kFieldRate:
            song_.SetEntryRate(i, v.rate);
            break;
        case kFieldStartOffset:
            s.startOffset = v.startOffset;
            break;
        case kFieldLoopLength:
            s.loopLength = v.loopLength;
            break;
        case kFieldTranspose:
            s.transpose = v.transpose;
            break;
        case kFieldProgram:
            s.program = v.program;
            break;
        case kFieldDevice:
            s.device = v.device;
            break;
        default:
            return false;
        }
        song_.SetModifiedFlag();
        song_.UpdateAllViews(nullptr, kHintSongEntry + i);
        SendField(engine_, song_, i, field_);
        return true;
    }

    CSongDoc& song_;
    std::weak_ptr<CPlayEngine> engine_;
    uint64_t entry_;
    int field_;
    std::string label_;
    EntryState before_;
    EntryState after_;
};

// The entry's MIDI channel, which every channel message of its store takes. Undo gives each
// message its own channel back when the store is as the change left it; when the document was
// edited since, every channel message takes the earlier channel.
class SongRows::ChannelCommand : public Command {
public:
    ChannelCommand(CSongDoc& song, uint64_t entry, int before, int after)
        : song_(song), entry_(entry), before_(before), after_(after) {}
    std::string Label() const override { return "Channel"; }
    bool Do() override {
        const int i = song_.IndexOf(entry_);
        if (i < 0) return false;
        saved_.clear();
        if (CEventTree* store = song_.EntryEvents(i))
            for (SongEvent* e = store->First(); e; e = store->Next())
                if (e->IsChannelMessage()) saved_.push_back(Mark(*e));
        song_.SetEntryChannel(i, after_);
        song_.UpdateAllViews(nullptr, kHintSongEntry + i);
        return true;
    }
    bool Undo() override {
        const int i = song_.IndexOf(entry_);
        if (i < 0) return false;
        CEventTree* store = song_.EntryEvents(i);
        if (store && Unchanged(*store)) {
            size_t k = 0;
            for (SongEvent* e = store->First(); e; e = store->Next())
                if (e->IsChannelMessage()) e->SetChannel(saved_[k++].channel);
            song_.Settings(i).channel = before_;
            if (song_.Entry(i).document) song_.Entry(i).document->SetModifiedFlag();
            song_.SetModifiedFlag();
        } else {
            song_.SetEntryChannel(i, before_);
        }
        song_.UpdateAllViews(nullptr, kHintSongEntry + i);
        return true;
    }

private:
    struct Saved {
        uint32_t time;
        int kind;
        uint8_t data1;
        int channel;
        bool operator==(const Saved&) const = default;
    };
    static Saved Mark(SongEvent& e) { return {e.time, e.GetKind(), e.GetData1(), e.GetChannel()}; }
    // Whether the store holds the channel messages the change left, in the same order.
    bool Unchanged(CEventTree& store) const {
        size_t k = 0;
        for (SongEvent* e = store.First(); e; e = store.Next()) {
            if (!e->IsChannelMessage()) continue;
            if (k >= saved_.size()) return false;
            Saved now = Mark(*e);
            Saved then = saved_[k++];
            then.channel = std::clamp(after_, 0, 15);
            if (!(now == then)) return false;
        }
        return k == saved_.size();
    }

    CSongDoc& song_;
    uint64_t entry_;
    int before_;
    int after_;
    std::vector<Saved> saved_;
};

// Delete(!) and Un-Include: the entry leaves the song and is kept here until the step is
// forgotten, so that Undo puts it back where it was.
class SongRows::RemoveCommand : public Command {
public:
    RemoveCommand(CSongDoc& song, std::weak_ptr<CPlayEngine> engine, uint64_t entry,
                  std::string label)
        : song_(song), engine_(std::move(engine)), entry_(entry), label_(std::move(label)) {}
    std::string Label() const override { return label_; }
    bool Do() override {
        const int i = song_.IndexOf(entry_);
        if (i < 0) return false;
        StopIfPlaying(engine_, song_);
        index_ = i;
        taken_ = song_.TakeEntry(i);
        return taken_ != nullptr;
    }
    bool Undo() override {
        if (!taken_) return false;
        StopIfPlaying(engine_, song_);
        return song_.InsertEntry(index_, taken_) >= 0;
    }

private:
    CSongDoc& song_;
    std::weak_ptr<CPlayEngine> engine_;
    uint64_t entry_;
    std::string label_;
    int index_ = 0;
    std::unique_ptr<SongEntry> taken_;
};

// Contain: the entry's document becomes part of the song. Undo gives the entry its earlier
// document back; Redo the contained one (the same document, with whatever it holds).
class SongRows::ContainCommand : public Command {
public:
    ContainCommand(CSongDoc& song, std::weak_ptr<CPlayEngine> engine, uint64_t entry)
        : song_(song), engine_(std::move(engine)), entry_(entry) {}
    std::string Label() const override { return "Contain"; }
    bool Do() override {
        const int i = song_.IndexOf(entry_);
        if (i < 0) return false;
        StopIfPlaying(engine_, song_);
        before_ = Take(i);
        if (!song_.Contain(i)) {
            song_.Settings(i).sourcePath = before_.path;
            return false;
        }
        after_ = Take(i);
        return true;
    }
    bool Undo() override { return Put(before_); }
    bool Redo() override { return Put(after_); }

private:
    struct State {
        std::shared_ptr<CChanDoc> document;
        int channel = 1;
        bool contained = false;
        std::string path;
    };
    State Take(int i) {
        const SongEntry& e = song_.Entry(i);
        return {e.document, e.channel, e.contained, e.settings.sourcePath};
    }
    bool Put(const State& state) {
        const int i = song_.IndexOf(entry_);
        if (i < 0) return false;
        StopIfPlaying(engine_, song_);
        song_.Settings(i).sourcePath = state.path;
        song_.SetEntryDocument(i, state.document, state.channel, state.contained);
        return true;
    }

    CSongDoc& song_;
    std::weak_ptr<CPlayEngine> engine_;
    uint64_t entry_;
    State before_;
    State after_;
};

// Include: a document's entries added at the end of the song. Undo takes them out (keeping them
// and their document), Redo puts them back where they were.
class SongRows::IncludeCommand : public Command {
public:
    IncludeCommand(CSongDoc& song, std::weak_ptr<CPlayEngine> engine,
                   std::shared_ptr<CChanDoc> document)
        : song_(song), engine_(std::move(engine)), document_(std::move(document)) {}
    std::string Label() const override { return "Include"; }
    bool Do() override {
        StopIfPlaying(engine_, song_);
        const int added = song_.IncludeDocument(document_);
        if (added <= 0) return false;
        for (int i = song_.EntryCount() - added; i < song_.EntryCount(); ++i)
            entries_.push_back(song_.Entry(i).serial);
        return true;
    }
    bool Undo() override {
        StopIfPlaying(engine_, song_);
        taken_.clear();
        for (auto e = entries_.rbegin(); e != entries_.rend(); ++e) {
            const int i = song_.IndexOf(*e);
            if (i < 0) continue;
            taken_.push_back({i, song_.TakeEntry(i)});
        }
        return !taken_.empty();
    }
    bool Redo() override {
        if (taken_.empty()) return false;
        StopIfPlaying(engine_, song_);
        bool all = true;
        for (auto t = taken_.rbegin(); t != taken_.rend(); ++t)
            all &= t->entry && song_.InsertEntry(t->index, t->entry) >= 0;
        taken_.clear();
        return all;
    }

private:
    struct Taken {
        int index;
        std::unique_ptr<SongEntry> entry;
    };
    CSongDoc& song_;
    std::weak_ptr<CPlayEngine> engine_;
    std::shared_ptr<CChanDoc> document_;
    std::vector<uint64_t> entries_;
    std::vector<Taken> taken_;
};

// ---- The model ---------------------------------------------------------------------------------

SongRows::SongRows(CSongDoc& song, CPlayEngine* engine, const FrameSettings& settings)
    : song_(song), engine_(engine ? engine->WeakHandle() : std::weak_ptr<CPlayEngine>()),
      settings_(settings) {
    DENDRA_UI_THREAD();
    song_.AddView(this);
}

SongRows::~SongRows() {
    song_.RemoveView(this);
}

int SongRows::RowCount() const {
    return song_.EntryCount();
}

bool SongRows::Valid(int row) const {
    return row >= 0 && row < song_.EntryCount();
}

void SongRows::ScrollTo(int firstRow) {
    const int last = std::max(0, RowCount() - kVisibleRows);
    const int held = std::clamp(firstRow, 0, last);
    if (held == firstRow_) return;
    firstRow_ = held;
    if (listener_) listener_(-1);
}

const char* SongRows::ColumnCaption(SongColumn column) {
    switch (column) {
    case SongColumn::kName:
        return "Track Name";
    case SongColumn::kRec:
        return "Rec";
    case SongColumn::kMute:
        return "Volume";
    case SongColumn::kVolume:
        return "Volume";
    case SongColumn::kPan:
        return "Pan";
    case SongColumn::kLoop:
        return "Loop";
    case SongColumn::kSpeed:
        return "Speed";
    case SongColumn::kStartTime:
        return "Start Time";
    case SongColumn::kDuration:
        return "Duration";
    case SongColumn::kChannel:
        return "Chan";
    case SongColumn::kPitch:
        return "Pitch";
    case SongColumn::kPatch:
        return "Patch";
    case SongColumn::kDestination:
        return "Destination";
    }
    return "";
}

const std::vector<std::string>& SongRows::VolumeTypeChoices() {
    static const std::vector<std::string> choices{"Wave Volume", "MIDI Volume"};
    return choices;
}

void SongRows::SetVolumeType(VolumeType type) {
    if (type == volumeType_) return;
    volumeType_ = type;
    if (listener_) listener_(-1);
}

std::vector<std::string> SongRows::DestinationNames(std::vector<uint32_t>* devices) const {
    std::vector<std::string> names;
    std::shared_ptr<CPlayEngine> engine = engine_.lock();
    PlayDevices* dev = engine ? engine->Devices() : nullptr;
    if (!dev) return names;
    for (const PlayPort& p : dev->OpenMidiOutPorts()) {
        names.push_back(p.name);
        if (devices) devices->push_back(p.device);
    }
    return names;
}

SongCell SongRows::Cell(int row, SongColumn column) const {
    SongCell c;
    if (!Valid(row)) return c;
    const SongEntry& e = song_.Entry(row);
    const EntrySettings& s = e.settings;
    switch (column) {
    case SongColumn::kName:
        c.text = s.name;
        break;
    case SongColumn::kRec:
        c.kind = CellKind::kCheck;
        c.checked = e.recordMode != kRecordOff;
        break;
    case SongColumn::kMute:
        c.kind = CellKind::kCheck;
        c.checked = s.muted != 0;
        break;
    case SongColumn::kVolume: {
        const float level = volumeType_ == VolumeType::kWave ? s.waveVolume : s.volume;
        c.kind = CellKind::kNumber;
        c.text = FormatNumber(double(level) * 10.0);
        c.max = kMaxVolumeNumber;
        c.spin = int(std::lround(double(level) * 1000.0));
        break;
    }
    case SongColumn::kPan:
        c.kind = CellKind::kNumber;
        c.text = FormatNumber(double(s.pan) * 10.0);
        c.max = kMaxPanNumber;
        break;
    case SongColumn::kLoop:
        c.kind = CellKind::kCheck;
        c.checked = s.loop != 0;
        break;
    case SongColumn::kSpeed:
        c.kind = CellKind::kNumber;
        c.text = FormatNumber(double(s.rate));
        c.min = kMinEntryRate;
        c.max = kMaxEntryRate;
        break;
    case SongColumn::kStartTime:
        c.kind = CellKind::kTime;
        c.text = FormatTime(s.startOffset, kSongUnitsPerBeat, settings_.Times());
        c.max = kMaxStartTime;
        break;
    case SongColumn::kDuration:
        c.kind = CellKind::kTime;
        c.text = FormatTime(s.loopLength, kSongUnitsPerBeat, settings_.Times());
        c.min = kMinDuration;
        c.max = kMaxDuration;
        break;
    case SongColumn::kChannel:
        c.kind = CellKind::kNumber;
        c.integer = true;
        c.text = std::to_string(Channel(s) + 1);
        c.min = 1;
        c.max = 16;
        break;
    case SongColumn::kPitch:
        c.kind = CellKind::kNumber;
        c.integer = true;
        c.text = std::to_string(s.transpose);
        c.min = -kMaxTranspose;
        c.max = kMaxTranspose;
        break;
    case SongColumn::kPatch:
        c.kind = CellKind::kChoice;
        for (int p = 0; p < kInstrumentCount; ++p) c.choices.emplace_back(InstrumentName(p));
        c.choice = std::clamp(s.program, 0, kInstrumentCount - 1);
        c.text = c.choices[size_t(c.choice)];
        break;
    case SongColumn::kDestination: {
        c.kind = CellKind::kChoice;
        std::vector<uint32_t> devices;
        c.choices = DestinationNames(&devices);
        for (size_t k = 0; k < devices.size(); ++k)
            if (int64_t(devices[k]) == int64_t(s.device)) c.choice = int(k);
        if (c.choice >= 0) c.text = c.choices[size_t(c.choice)];
        break;
    }
    }
    return c;
}

// ---- Edits -------------------------------------------------------------------------------------

bool SongRows::PushField(int row, int field, const std::function<void(SongEntry&)>& change) {
    DENDRA_UI_THREAD();
    if (!Valid(row)) return false;
    const SongEntry& entry = song_.Entry(row);
    EntryState before{entry.settings, entry.recordMode};
    SongEntry edited;
    edited.document = entry.document;
    edited.settings = entry.settings;
    edited.recordMode = entry.recordMode;
    change(edited);
    EntryState after{edited.settings, edited.recordMode};
    if (SameField(field, before, after)) return true;
    static const char* const kLabels[] = {
        "Rename", "Record Arm", "Mute",     "Volume", "Volume", "Pan",        "Loop",
        "Speed",  "Start Time", "Duration", "Pitch",  "Patch",  "Destination"};
    std::string label = kLabels[field];
    if (field == kFieldMuted && !after.settings.muted) label = "Unmute";
    return song_.History().Push(std::make_unique<FieldCommand>(song_, engine_, entry.serial, field,
                                                               std::move(label), std::move(before),
                                                               std::move(after)));
}

bool SongRows::SetName(int row, const std::string& name) {
    return PushField(row, kFieldName, [&](SongEntry& e) { e.settings.name = name; });
}

bool SongRows::ToggleArm(int row) {
    return PushField(row, kFieldArm, [](SongEntry& e) {
        if (e.recordMode != kRecordOff)
            e.recordMode = kRecordOff;
        else if (e.document && e.document->GetDocKind() == kDocKindDendra)
            e.recordMode = kRecordTree;
        else if (e.document && e.document->GetDocKind() == kDocKindWave)
            e.recordMode = kRecordWave;
        else
            e.recordMode = kRecordMidi;
    });
}

bool SongRows::SetMuted(int row, bool muted) {
    return PushField(row, kFieldMuted, [&](SongEntry& e) { e.settings.muted = muted ? 1 : 0; });
}

bool SongRows::SetVolume(int row, double number) {
    if (!std::isfinite(number)) return false;
    const float level = float(std::clamp(number, 0.0, kMaxVolumeNumber) * 0.1);
    if (volumeType_ == VolumeType::kWave)
        return PushField(row, kFieldWaveVolume,
                         [&](SongEntry& e) { e.settings.waveVolume = level; });
    return PushField(row, kFieldMidiVolume, [&](SongEntry& e) { e.settings.volume = level; });
}

bool SongRows::SetVolumeSpin(int row, int position) {
    return SetVolume(row, double(position) / 100.0);
}

bool SongRows::SetPan(int row, double number) {
    if (!std::isfinite(number)) return false;
    const float balance = float(std::clamp(number, 0.0, kMaxPanNumber) * 0.1);
    return PushField(row, kFieldPan, [&](SongEntry& e) { e.settings.pan = balance; });
}

bool SongRows::SetLoop(int row, bool loop) {
    return PushField(row, kFieldLoop, [&](SongEntry& e) { e.settings.loop = loop ? 1 : 0; });
}

bool SongRows::SetSpeed(int row, double speed) {
    if (!std::isfinite(speed)) return false;
    const float rate =
        std::clamp(float(speed), kMinEntryRate, kMaxEntryRate); // 0 becomes 0.01, 250 becomes 100
    return PushField(row, kFieldRate, [&](SongEntry& e) { e.settings.rate = rate; });
}

bool SongRows::SetStartTime(int row, const std::string& text) {
    if (!Valid(row)) return false;
    const std::optional<uint64_t> units = ParseTime(text, kSongUnitsPerBeat);
    if (!units) {
        platform::MessageBox(kNotATimeMessage);
        return false;
    }
    const uint32_t held = uint32_t(std::min<uint64_t>(*units, kMaxStartTime));
    return PushField(row, kFieldStartOffset, [&](SongEntry& e) { e.settings.startOffset = held; });
}

bool SongRows::SetDuration(int row, const std::string& text) {
    if (!Valid(row)) return false;
    const std::optional<uint64_t> units = ParseTime(text, kSongUnitsPerBeat);
    if (!units) {
        platform::MessageBox(kNotATimeMessage);
        return false;
    }
    const uint32_t held = uint32_t(std::clamp<uint64_t>(*units, kMinDuration, kMaxDuration));
    return PushField(row, kFieldLoopLength, [&](SongEntry& e) { e.settings.loopLength = held; });
}

bool SongRows::SetChannel(int row, int number) {
    DENDRA_UI_THREAD();
    if (!Valid(row)) return false;
    const int channel = std::clamp(number, 1, 16) - 1;
    const SongEntry& entry = song_.Entry(row);
    bool same = entry.settings.channel == channel;
    if (same)
        if (CEventTree* store = song_.EntryEvents(row))
            for (SongEvent* e = store->First(); e && same; e = store->Next())
                if (e->IsChannelMessage() && e->GetChannel() != channel) same = false;
    if (same) return true;
    return song_.History().Push(
        std::make_unique<ChannelCommand>(song_, entry.serial, entry.settings.channel, channel));
}

bool SongRows::SetPitch(int row, int transpose) {
    const int held = std::clamp(transpose, -kMaxTranspose, kMaxTranspose);
    return PushField(row, kFieldTranspose, [&](SongEntry& e) { e.settings.transpose = held; });
}

bool SongRows::SetPatch(int row, int program) {
    if (program < 0 || program >= kInstrumentCount) return false;
    return PushField(row, kFieldProgram, [&](SongEntry& e) { e.settings.program = program; });
}

bool SongRows::SetDestination(int row, int choice) {
    std::vector<uint32_t> devices;
    DestinationNames(&devices);
    if (choice < 0 || size_t(choice) >= devices.size()) return false;
    const int32_t device = int32_t(devices[size_t(choice)]);
    return PushField(row, kFieldDevice, [&](SongEntry& e) { e.settings.device = device; });
}

bool SongRows::EditText(int row, SongColumn column, const std::string& text) {
    if (!Valid(row)) return false;
    switch (column) {
    case SongColumn::kName:
        return SetName(row, text);
    case SongColumn::kStartTime:
        return SetStartTime(row, text);
    case SongColumn::kDuration:
        return SetDuration(row, text);
    case SongColumn::kVolume:
    case SongColumn::kPan:
    case SongColumn::kSpeed: {
        const std::optional<double> n = ParseNumber(text);
        if (!n) {
            platform::MessageBox(kNotANumberMessage);
            return false;
        }
        if (column == SongColumn::kVolume) return SetVolume(row, *n);
        if (column == SongColumn::kPan) return SetPan(row, *n);
        return SetSpeed(row, *n);
    }
    case SongColumn::kChannel:
    case SongColumn::kPitch: {
        const std::optional<int64_t> n = ParseInteger(text);
        if (!n) {
            platform::MessageBox(kNotAnIntegerMessage);
            return false;
        }
        // Held to the column's range before narrowing.
        const int value = int(std::clamp<int64_t>(*n, -1000, 1000));
        return column == SongColumn::kChannel ? SetChannel(row, value) : SetPitch(row, value);
    }
    default:
        return false;
    }
}

bool SongRows::Toggle(int row, SongColumn column) {
    if (!Valid(row)) return false;
    const SongEntry& e = song_.Entry(row);
    switch (column) {
    case SongColumn::kRec:
        return ToggleArm(row);
    case SongColumn::kMute:
        return SetMuted(row, e.settings.muted == 0);
    case SongColumn::kLoop:
        return SetLoop(row, e.settings.loop == 0);
    default:
        return false;
    }
}

bool SongRows::Choose(int row, SongColumn column, int index) {
    if (column == SongColumn::kPatch) return SetPatch(row, index);
    if (column == SongColumn::kDestination) return SetDestination(row, index);
    return false;
}

// ---- The entry menu ----------------------------------------------------------------------------

std::vector<EntryMenuItem> SongRows::EntryMenu(int row) {
    if (!Valid(row)) return {};
    SongEntry& e = song_.Entry(row);
    if (e.settings.sourcePath == "this") e.settings.sourcePath = kContainedPath;
    if (IsContainedPath(e))
        return {{EntryCommand::kDisplay, "Display"}, {EntryCommand::kDelete, "Delete(!)"}};
    return {{EntryCommand::kContain, "Contain"}, {EntryCommand::kUnInclude, "Un-Include"}};
}

bool SongRows::Run(int row, EntryCommand command) {
    DENDRA_UI_THREAD();
    if (!Valid(row)) return false;
    SongEntry& e = song_.Entry(row);
    switch (command) {
    case EntryCommand::kDisplay: {
        if (!IsContainedPath(e) || !e.document || !display_) return false;
        if (!displayed_.insert(e.serial).second) return false; // its window is open already
        display_(*e.document, song_.GetTitle() + " :: " + e.settings.name);
        return true;
    }
    case EntryCommand::kDelete:
        if (!IsContainedPath(e)) return false;
        if (platform::Messages().Ask(kDeleteContainedQuestion, platform::Answer::No) !=
            platform::Answer::Yes)
            return false;
        return Remove(row, "Delete Entry");
    case EntryCommand::kUnInclude:
        if (IsContainedPath(e)) return false;
        return Remove(row, "Un-Include");
    case EntryCommand::kContain:
        return Contain(row);
    }
    return false;
}

bool SongRows::Remove(int row, const char* label) {
    return song_.History().Push(
        std::make_unique<RemoveCommand>(song_, engine_, song_.Entry(row).serial, label));
}

bool SongRows::Contain(int row) {
    SongEntry& e = song_.Entry(row);
    if (IsContainedPath(e)) return false;
    if (!e.document) {
        platform::MessageBox(kMissingDocumentMessage);
        return false;
    }
    const uint32_t kind = e.document->GetDocKind();
    if (kind == kDocKindWave) {
        platform::MessageBox(kCannotContainSoundMessage);
        return false;
    }
    if (kind != kDocKindMidi && kind != kDocKindDendra && kind != kDocKindWordList) return false;
    return song_.History().Push(std::make_unique<ContainCommand>(song_, engine_, e.serial));
}

bool SongRows::IncludeFile(const std::string& path) {
    DENDRA_UI_THREAD();
    std::shared_ptr<CChanDoc> document = CSongDoc::OpenDocumentByPath(path);
    if (!document) return false;
    return song_.History().Push(std::make_unique<IncludeCommand>(song_, engine_, document));
}

void SongRows::DisplayClosed(int row) {
    if (Valid(row)) displayed_.erase(song_.Entry(row).serial);
}

void SongRows::OnUpdate(CDocView*, long hint) {
    if (hint < kHintSongEntry) {
        // Entries came or went: forget windows of entries that left, keep the rows in range.
        std::erase_if(displayed_, [&](uint64_t e) { return song_.IndexOf(e) < 0; });
        firstRow_ = std::clamp(firstRow_, 0, std::max(0, RowCount() - kVisibleRows));
    }
    if (listener_) listener_(hint >= kHintSongEntry ? int(hint - kHintSongEntry) : -1);
}

} // namespace editing
