#include "documents/wave_document.h"

#include "formats/pcm_convert.h"
#include "formats/sample_format.h"
#include "platform/byte_cursor.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

namespace {

std::atomic<bool> g_compress{false};
std::atomic<CWaveDoc::ReleaseHook> g_release{nullptr};

bool Contains(const std::string& s, const char* part) {
    return s.find(part) != std::string::npos;
}

// What a sound file's reader and decoder wrote about it goes to the user-messages sink, as
// notes: the standard error stream unless a sink keeps them.
void PassOn(const formats::Notes& notes) {
    for (const std::string& note : notes) platform::Messages().Note(note);
}

std::string FileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Holds a wave's mutex while its store changes, so a streaming thread never reads half a change.
class WaveLock {
public:
    explicit WaveLock(EventWave* w) : wave_(w), taken_(w && !w->IsLocked() && w->Lock(0) != 0) {}
    ~WaveLock() {
        if (taken_) wave_->Unlock();
    }
    WaveLock(const WaveLock&) = delete;
    WaveLock& operator=(const WaveLock&) = delete;

private:
    EventWave* wave_;
    bool taken_;
};

} // namespace

const char* CWaveDoc::CommandPrompt(int id) {
    switch (id) {
    case kIdCut:
        return "Cut the selection and put it on the Clipboard\nCut";
    case kIdCopy:
        return "Copy the selection and put it on the Clipboard\nCopy";
    case kIdPaste:
        return "Insert Clipboard contents\nPaste";
    case kIdUndo:
        return "Undo the last action.";
    case kIdDeleteMode:
        return "Select to delete selection, or just make it silent.";
    case kIdOpenForEdit:
        return "Open the file so that it can be edited.";
    case kIdOpenTemporary:
        return "Open a temporary file for editing.";
    case kIdOpenDisk:
        return "Open a disk file for editing.";
    case kIdProperties:
        return "Set the wave display properties";
    default:
        return "";
    }
}

CWaveDoc::CWaveDoc() = default;

CWaveDoc::CWaveDoc(EventWave* songEvent, uint32_t* ownerFlag)
    : wave_(songEvent), ownsEvent_(false), ownerFlag_(ownerFlag) {
    SetChannelCount(1, false);
    if (wave_) {
        if (CEventTree* ch = GetChannelEvents(1)) ch->Add(wave_);
        AfterChange();
    }
}

CWaveDoc::~CWaveDoc() {
    if (ownerFlag_) *ownerFlag_ = 0;
    DropEvent();
}

void CWaveDoc::SetCompressWaves(bool on) {
    g_compress.store(on);
}
bool CWaveDoc::CompressWaves() {
    return g_compress.load();
}
void CWaveDoc::SetReleaseHook(ReleaseHook hook) {
    g_release.store(hook);
}

void CWaveDoc::Release() {
    ReleaseHook hook = g_release.load();
    if (hook && wave_) hook(wave_);
}

CWaveDoc::Clipboard& CWaveDoc::GetClipboard() {
    static Clipboard clipboard;
    return clipboard;
}

sound::WaveData* CWaveDoc::Data() const {
    return wave_ ? static_cast<sound::WaveData*>(wave_->sound) : nullptr;
}

uint32_t CWaveDoc::FrameBytes() const {
    return wave_ && wave_->info.format.nBlockAlign ? wave_->info.format.nBlockAlign : 1;
}

uint32_t CWaveDoc::FrameCount() const {
    return Data() ? Data()->DataLength() / FrameBytes() : 0;
}

void CWaveDoc::DropEvent() {
    if (!wave_) return;
    CEventTree* ch = GetChannelEvents(1);
    if (ownsEvent_) {
        if (!ch || !ch->Remove(wave_)) DeleteSongEvent(wave_);
    } else if (ch) {
        ch->Unlink(wave_);
    }
    wave_ = nullptr;
}

void CWaveDoc::AttachNewEvent(EventWave* wave) {
    Release();
    DropEvent();
    SetChannelCount(1, false);
    wave_ = wave;
    ownsEvent_ = true;
    if (CEventTree* ch = GetChannelEvents(1)) ch->Add(wave_);
    History().Clear();
    AfterChange();
}

void CWaveDoc::AfterChange() {
    if (wave_ && wave_->info.format.nSamplesPerSec)
        unitsPerBeat_ = wave_->info.format.nSamplesPerSec;
}

bool CWaveDoc::OnNewDocument() {
    auto* wave = new EventWave;
    wave->flags = kWavePlaybackCopy | kWaveOwnsSound;
    auto* data = new sound::WaveData;
    wave->sound = data;
    const std::string temp = platform::GetTempName(true);
    if (temp.empty() || !data->CreateTempAu(wave->info, temp)) {
        DeleteSongEvent(wave);
        platform::MessageBox("Could not open wave file.");
        return false;
    }
    AttachNewEvent(wave);
    SetModifiedFlag(false);
    return true;
}

bool CWaveDoc::OnOpenDocument(const std::string& path) {
    auto* wave = new EventWave;
    wave->flags = kWavePlaybackCopy | kWaveOwnsSound;
    auto* data = new sound::WaveData;
    wave->sound = data;
    formats::Notes notes;
    formats::Result opened;
    if (Contains(path, ".wav") || Contains(path, ".WAV")) {
        // Compressed data is decoded into the temporary WAVE file.
        opened = data->OpenWave(wave->info, path, platform::GetTempName(false), &notes);
    } else {
        opened = data->OpenSoundFile(wave->info, path, &notes);
        if (opened && !Contains(path, ".tmp") && !Contains(path, ".TMP")) {
            const std::string temp = platform::GetTempName(true);
            opened = temp.empty() ? formats::Result(formats::Code::CannotOpen, "no temporary name")
                                  : data->CopyToTempAu(wave->info, temp, &notes);
        }
    }
    PassOn(notes);
    if (!opened) {
        platform::MessageBox("Could not open wave file.");
        DeleteSongEvent(wave);
        return false;
    }
    wave->SetName(path);
    SetTitle(FileName(path));
    AttachNewEvent(wave);
    SetPathName(path);
    SetModifiedFlag(false);
    return true;
}

bool CWaveDoc::OnSaveDocument(const std::string& path) {
    sound::WaveData* data = Data();
    bool ok = data != nullptr;
    if (ok) {
        WaveLock lock(wave_);
        ok = data->SaveAsWave(wave_->info, path, CompressWaves()).Ok();
    }
    if (!ok) {
        platform::MessageBox("Could not save file");
        return false;
    }
    SetModifiedFlag(false);
    if (CDocListener* l = Listener()) l->DocumentSaved(*this);
    return true;
}

void CWaveDoc::OnCloseDocument() {
    Release();
    DropEvent();
    CChanDoc::OnCloseDocument();
}

bool CWaveDoc::MakeTempCopy() {
    sound::WaveData* data = Data();
    if (!data) return false;
    const std::string temp = platform::GetTempName(true);
    if (temp.empty()) return false;
    Release();
    WaveLock lock(wave_);
    formats::Notes notes;
    const formats::Result copied = data->CopyToTempAu(wave_->info, temp, &notes);
    PassOn(notes);
    return copied.Ok();
}

bool CWaveDoc::MakeMemoryStore() {
    sound::WaveData* data = Data();
    if (!data) return false;
    Release();
    WaveLock lock(wave_);
    return data->MakeMemory(wave_->info).Ok();
}

bool CWaveDoc::EnsureWritable() {
    sound::WaveData* data = Data();
    if (!data) return false;
    if (data->IsWritable()) return true;
    if (platform::Messages().Ask("File not open for writing. Open temporary file?",
                                 platform::Answer::No) == platform::Answer::Yes)
        MakeTempCopy();
    return false;
}

bool CWaveDoc::SelectionBytes(uint32_t startFrame, uint32_t endFrame, uint32_t& start,
                              uint32_t& n) {
    const uint32_t frames = FrameCount();
    if (endFrame > frames) endFrame = frames;
    if (startFrame >= endFrame) return false;
    start = startFrame * FrameBytes();
    n = (endFrame - startFrame) * FrameBytes();
    return true;
}

bool CWaveDoc::Copy(uint32_t startFrame, uint32_t endFrame) {
    uint32_t start, n;
    if (!Data() || !SelectionBytes(startFrame, endFrame, start, n)) return false;
    Clipboard& clip = GetClipboard();
    std::vector<uint8_t> bytes(n);
    if (Data()->ReadAt(start, bytes.data(), n) != n) return false;
    clip.bytes = std::move(bytes);
    clip.format = wave_->info.format;
    return true;
}

// One edit of the bytes: what was at start and what is there after the edit.
class CWaveDoc::SpliceCommand : public Command {
public:
    SpliceCommand(CWaveDoc& doc, std::string label, uint32_t start, std::vector<uint8_t> before,
                  std::vector<uint8_t> after)
        : doc_(doc), label_(std::move(label)), start_(start), before_(std::move(before)),
          after_(std::move(after)) {}
    std::string Label() const override { return label_; }
    bool Do() override {
        return doc_.Splice(start_, static_cast<uint32_t>(before_.size()), after_);
    }
    bool Undo() override {
        return doc_.Splice(start_, static_cast<uint32_t>(after_.size()), before_);
    }

private:
    CWaveDoc& doc_;
    std::string label_;
    uint32_t start_;
    std::vector<uint8_t> before_;
    std::vector<uint8_t> after_;
};

bool CWaveDoc::Splice(uint32_t start, uint32_t removeLength, const std::vector<uint8_t>& bytes) {
    sound::WaveData* data = Data();
    if (!data || !data->IsWritable()) return false;
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    Release();
    bool ok;
    {
        WaveLock lock(wave_);
        if (n == removeLength)
            ok = data->WriteAt(start, bytes.data(), n) == n;
        else
            ok = data->Erase(start, removeLength) &&
                 data->Insert(start, n ? bytes.data() : nullptr, n);
    }
    if (!ok) return false;
    SetModifiedFlag(true);
    UpdateAllViews(nullptr);
    return true;
}

bool CWaveDoc::RemoveOrSilence(uint32_t start, uint32_t n, DeleteMode mode, const char* label) {
    sound::WaveData* data = Data();
    std::vector<uint8_t> before(n);
    if (data->ReadAt(start, before.data(), n) != n) return false;
    std::vector<uint8_t> after;
    if (mode == DeleteMode::Silence) after.assign(n, data->SilenceByte());
    return History().Push(
        std::make_unique<SpliceCommand>(*this, label, start, std::move(before), std::move(after)));
}

bool CWaveDoc::Cut(uint32_t startFrame, uint32_t endFrame, DeleteMode mode) {
    if (!EnsureWritable()) return false;
    if (!Copy(startFrame, endFrame)) return false;
    uint32_t start, n;
    SelectionBytes(startFrame, endFrame, start, n);
    return RemoveOrSilence(start, n, mode, "Cut");
}

bool CWaveDoc::Delete(uint32_t startFrame, uint32_t endFrame, DeleteMode mode) {
    if (!EnsureWritable()) return false;
    uint32_t start, n;
    if (!SelectionBytes(startFrame, endFrame, start, n)) return false;
    return RemoveOrSilence(start, n, mode, mode == DeleteMode::Silence ? "Silence" : "Delete");
}

namespace {

// Mixes b into a sample by sample; 8-bit unsigned, 16-bit signed little-endian.
void Mix(uint8_t* a, const uint8_t* b, size_t bytes, int bits, bool add) {
    if (bits == 8) {
        for (size_t i = 0; i < bytes; ++i) {
            if (add) { // the signals are added about the 128 offset and limited
                const int s = (a[i] - 128) + (b[i] - 128);
                a[i] = static_cast<uint8_t>(std::clamp(s, -128, 127) + 128);
            } else {
                a[i] = static_cast<uint8_t>((a[i] + b[i]) / 2);
            }
        }
        return;
    }
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const int x = static_cast<int16_t>(platform::LoadLe16(a + i));
        const int y = static_cast<int16_t>(platform::LoadLe16(b + i));
        const int s = add ? std::clamp(x + y, -32768, 32767) : (x + y) / 2;
        platform::StoreLe16(a + i, static_cast<uint16_t>(s));
    }
}

} // namespace

bool CWaveDoc::Paste(uint32_t atFrame, PasteMode mode) {
    const Clipboard& clip = GetClipboard();
    if (clip.empty() || !EnsureWritable()) return false;
    sound::WaveData* data = Data();
    const WAVEFORMATEX& f = wave_->info.format;
    // The clipboard in this sound's format.
    std::vector<uint8_t> bytes;
    if (std::memcmp(&clip.format, &f, sizeof f) == 0 ||
        (clip.format.nChannels == f.nChannels && clip.format.wBitsPerSample == f.wBitsPerSample &&
         clip.format.nSamplesPerSec == f.nSamplesPerSec)) {
        bytes = clip.bytes;
    } else {
        size_t at = 0;
        const bool ok = sound::ConvertPcm(
            clip.format, f, clip.bytes.size() / clip.format.nBlockAlign,
            [&](void* out, size_t n) {
                n = std::min(n, clip.bytes.size() - at);
                std::memcpy(out, clip.bytes.data() + at, n);
                at += n;
                return n;
            },
            [&](const void* d, size_t n) {
                bytes.insert(bytes.end(), static_cast<const uint8_t*>(d),
                             static_cast<const uint8_t*>(d) + n);
                return true;
            });
        if (!ok) return false;
    }
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    const uint32_t length = data->DataLength();
    const uint32_t start = std::min(atFrame, FrameCount()) * FrameBytes();
    if (n == 0 || uint64_t(length) + n > 0xFFFFFFF0u) return false;

    std::vector<uint8_t> before;
    if (mode != PasteMode::Insert) {
        const uint32_t replaced = std::min(n, length - start);
        before.resize(replaced);
        if (data->ReadAt(start, before.data(), replaced) != replaced) return false;
        if (mode != PasteMode::Overwrite) {
            // Mix over the existing part; beyond the end the sound is silence.
            std::vector<uint8_t> under(n, data->SilenceByte());
            std::copy(before.begin(), before.end(), under.begin());
            Mix(under.data(), bytes.data(), n, f.wBitsPerSample, mode == PasteMode::MixAdd);
            bytes.swap(under);
        }
    }
    return History().Push(std::make_unique<SpliceCommand>(*this, "Paste", start, std::move(before),
                                                          std::move(bytes)));
}

bool CWaveDoc::Undo() {
    if (!Data() || !Data()->IsWritable()) return false;
    return History().Undo();
}

bool CWaveDoc::Redo() {
    if (!Data() || !Data()->IsWritable()) return false;
    return History().Redo();
}

bool CWaveDoc::ReadAll(std::vector<uint8_t>& out) {
    sound::WaveData* data = Data();
    if (!data) return false;
    const uint32_t n = data->DataLength();
    try {
        out.resize(n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return n == 0 || data->ReadAt(0, out.data(), n) == n;
}

bool CWaveDoc::SetSoundFormat(const WAVEFORMATEX& format, bool convert) {
    sound::WaveData* data = Data();
    if (!data || !data->IsWritable()) return false;
    Release();
    bool ok;
    {
        WaveLock lock(wave_);
        ok = data->SetFormat(wave_->info, format, convert);
    }
    if (!ok) return false;
    AfterChange();
    SetModifiedFlag(true);
    UpdateAllViews(nullptr);
    return true;
}

bool CWaveDoc::RestoreSound(const WAVEFORMATEX& format, const std::vector<uint8_t>& bytes) {
    sound::WaveData* data = Data();
    if (!data || !data->IsWritable()) return false;
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    Release();
    bool ok;
    {
        WaveLock lock(wave_);
        ok = data->SetFormat(wave_->info, format, false) && data->SetLength(n, true) &&
             (n == 0 || data->WriteAt(0, bytes.data(), n) == n);
    }
    if (!ok) return false;
    AfterChange();
    SetModifiedFlag(true);
    UpdateAllViews(nullptr);
    return true;
}

// A change of the sound's format: converted (with a copy of the sound as it was) or only
// relabelled (a new sample rate).
class CWaveDoc::FormatCommand : public Command {
public:
    FormatCommand(CWaveDoc& doc, std::string label, const WAVEFORMATEX& from,
                  const WAVEFORMATEX& to, bool convert, std::vector<uint8_t> before)
        : doc_(doc), label_(std::move(label)), from_(from), to_(to), convert_(convert),
          before_(std::move(before)) {}
    std::string Label() const override { return label_; }
    bool Do() override {
        if (!convert_) return doc_.SetSoundFormat(to_, false);
        if (doc_.SetSoundFormat(to_, true)) return true;
        // A conversion that failed while writing may have left the store short: put it back.
        doc_.RestoreSound(from_, before_);
        return false;
    }
    bool Undo() override {
        if (!convert_) return doc_.SetSoundFormat(from_, false);
        std::vector<uint8_t> now;
        if (!doc_.ReadAll(now)) return false;
        if (doc_.RestoreSound(from_, before_)) return true;
        doc_.RestoreSound(to_, now);
        return false;
    }

private:
    CWaveDoc& doc_;
    std::string label_;
    WAVEFORMATEX from_;
    WAVEFORMATEX to_;
    bool convert_;
    std::vector<uint8_t> before_;
};

bool CWaveDoc::ConvertTo(const WAVEFORMATEX& format) {
    if (!wave_ || !EnsureWritable()) return false;
    if (!sound::IsHeldPcm(format)) {
        platform::MessageBox("Unable to change format.");
        return false;
    }
    const WAVEFORMATEX from = wave_->info.format;
    std::vector<uint8_t> before;
    if (Data()->DataLength() <= kMaxFormatUndoBytes && ReadAll(before)) {
        if (History().Push(std::make_unique<FormatCommand>(*this, kChangeFormatLabel, from, format,
                                                           true, std::move(before))))
            return true;
        platform::MessageBox("Unable to change format.");
        return false;
    }
    // Too large to keep a copy of: changed without a step, and no earlier step fits any more.
    if (!SetSoundFormat(format, true)) {
        platform::MessageBox("Unable to change format.");
        return false;
    }
    History().Clear();
    return true;
}

bool CWaveDoc::ChangeFormat(uint32_t flag) {
    if (sound::FlagIndex(flag) < 0) {
        platform::MessageBox("Unable to change format.");
        return false;
    }
    return ConvertTo(sound::FlagToFormat(flag));
}

bool CWaveDoc::SetSampleRate(uint32_t rate) {
    if (!wave_ || rate == 0 || !EnsureWritable()) return false;
    const WAVEFORMATEX from = wave_->info.format;
    WAVEFORMATEX to = from;
    to.nSamplesPerSec = rate;
    to.nAvgBytesPerSec = rate * to.nBlockAlign;
    if (rate == from.nSamplesPerSec) return true;
    return History().Push(std::make_unique<FormatCommand>(*this, "Sample Rate", from, to, false,
                                                          std::vector<uint8_t>{}));
}

bool CWaveDoc::InsertSilence(uint32_t atFrame, uint32_t frames) {
    if (frames == 0 || !EnsureWritable()) return false;
    sound::WaveData* data = Data();
    const uint64_t n = uint64_t(frames) * FrameBytes();
    if (uint64_t(data->DataLength()) + n > 0xFFFFFFF0u) return false;
    const uint32_t start = std::min(atFrame, FrameCount()) * FrameBytes();
    std::vector<uint8_t> silence(static_cast<size_t>(n), data->SilenceByte());
    return History().Push(std::make_unique<SpliceCommand>(
        *this, "Insert Silence", start, std::vector<uint8_t>{}, std::move(silence)));
}
