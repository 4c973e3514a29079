#include "formats/wave_data.h"

#include "events/archive.h"
#include "events/song_event.h"
#include "formats/au_temp_file.h"
#include "formats/ima_adpcm.h"
#include "formats/pcm_convert.h"
#include "formats/sample_format.h"
#include "formats/wave_file.h"
#include "platform/byte_cursor.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sound {

using formats::Code;
using formats::Result;

constexpr uint32_t kMemoryBlockBytes = 16384;
constexpr uint32_t kCopyChunk = 65536;

class SoundStore {
public:
    virtual ~SoundStore() = default;
    virtual StoreKind Kind() const = 0;
    virtual uint32_t Length() const = 0;
    virtual uint32_t ReadAt(uint32_t position, void* out, uint32_t n) = 0;
    virtual uint32_t WriteAt(uint32_t, const void*, uint32_t) { return 0; }
    virtual bool SetLength(uint32_t, uint8_t) { return false; }
    virtual bool Writable() const { return false; }
    virtual bool SetFormat(const WAVEFORMATEX&) { return false; }
    virtual std::string Path() const { return std::string(); }
    virtual bool Close() { return true; }
    // The store's data proved damaged or unreadable (sticky; any thread, allocates nothing).
    virtual bool Failed() const { return false; }
    // Why, when Failed (user-interface thread).
    virtual Result Status() const {
        return Failed() ? Result(Code::ReadFailed, Path() + ": cannot be read") : Result();
    }
    // Moves what reading met since the last call (damage read past, the failure) to `notes`.
    virtual void TakeNotes(formats::Notes&) {}
};

namespace {

class WaveFileStore : public SoundStore {
public:
    explicit WaveFileStore(std::unique_ptr<CWaveFile> f) : file_(std::move(f)) {}
    ~WaveFileStore() override { file_->Close(); }
    StoreKind Kind() const override {
        return file_->IsWriting() ? StoreKind::WaveTemp : StoreKind::WaveRead;
    }
    uint32_t Length() const override { return file_->Length(); }
    uint32_t ReadAt(uint32_t position, void* out, uint32_t n) override {
        if (position >= file_->Length() || !file_->Seek(position, false)) return 0;
        return file_->Read(out, n);
    }
    uint32_t WriteAt(uint32_t position, const void* data, uint32_t n) override {
        if (!file_->IsWriting() || position > file_->Length() || !file_->Seek(position, false))
            return 0;
        return file_->Write(data, n);
    }
    bool SetLength(uint32_t n, uint8_t) override {
        return file_->IsWriting() && file_->SetLength(n, true);
    }
    bool Writable() const override { return file_->IsWriting(); }
    bool SetFormat(const WAVEFORMATEX& f) override { return file_->SetFormat(f); }
    std::string Path() const override { return file_->Path(); }
    bool Close() override { return file_->Close().Ok(); }
    bool Failed() const override { return file_->Failed(); }

private:
    std::unique_ptr<CWaveFile> file_;
};

class AuStore : public SoundStore {
public:
    explicit AuStore(std::unique_ptr<CAuTempFile> f) : file_(std::move(f)) {}
    StoreKind Kind() const override { return StoreKind::AuTemp; }
    uint32_t Length() const override { return file_->Length(); }
    uint32_t ReadAt(uint32_t position, void* out, uint32_t n) override {
        return file_->ReadAt(position, out, n);
    }
    uint32_t WriteAt(uint32_t position, const void* data, uint32_t n) override {
        return file_->WriteAt(position, data, n);
    }
    bool SetLength(uint32_t n, uint8_t silence) override { return file_->SetLength(n, silence); }
    bool Writable() const override { return file_->IsOpen(); }
    bool SetFormat(const WAVEFORMATEX& f) override { return file_->SetFormat(f); }
    std::string Path() const override { return file_->Path(); }
    bool Close() override { return file_->Close().Ok(); }
    bool Failed() const override { return file_->Failed(); }

private:
    std::unique_ptr<CAuTempFile> file_;
};

// A sound-file reader as a store: read only, sequential, rewound or skipped for other
// positions (PCM and G.711 seek directly).
class ReaderStore : public SoundStore {
public:
    ReaderStore(std::unique_ptr<SoundReader> r, std::string path)
        : reader_(std::move(r)), path_(std::move(path)),
          length_(static_cast<uint32_t>(std::min<uint64_t>(reader_->DecodedBytes(), 0xFFFFFFFEu) /
                                        reader_->BytesPerSample() * reader_->BytesPerSample())) {}
    StoreKind Kind() const override { return StoreKind::Reader; }
    uint32_t Length() const override { return length_; }
    uint32_t ReadAt(uint32_t position, void* out, uint32_t n) override {
        if (!reader_ || reader_->Failed() || position >= length_) return 0;
        const uint32_t bps = static_cast<uint32_t>(reader_->BytesPerSample());
        if (position % bps) return 0;
        if (position != at_ && !MoveTo(position)) return 0;
        if (n > length_ - position) n = length_ - position;
        const size_t got = reader_->ReadDecoded(out, n);
        at_ += static_cast<uint32_t>(got);
        return static_cast<uint32_t>(got);
    }
    std::string Path() const override { return path_; }
    bool Close() override {
        reader_.reset();
        length_ = 0;
        return true;
    }
    bool Failed() const override { return reader_ && reader_->Failed(); }
    Result Status() const override { return reader_ ? reader_->Status() : Result(); }
    void TakeNotes(formats::Notes& notes) override {
        if (reader_) reader_->TakeNotes(notes);
    }

private:
    bool MoveTo(uint32_t position) {
        if (reader_->CanSeek()) {
            if (!reader_->SeekDecoded(position)) return false;
            at_ = position;
            return true;
        }
        if (position < at_) {
            if (!reader_->Rewind()) return false;
            at_ = 0;
        }
        uint8_t skip[8192];
        while (at_ < position) {
            const uint32_t k = std::min<uint32_t>(position - at_, sizeof skip);
            const size_t got = reader_->ReadDecoded(skip, k);
            at_ += static_cast<uint32_t>(got);
            if (got < k) return false;
        }
        return true;
    }

    std::unique_ptr<SoundReader> reader_;
    std::string path_;
    uint32_t length_;
    uint32_t at_ = 0;
};

// Memory in 16384-byte blocks; every block but the last is full; each block's time field is
// its first byte offset.
class MemoryStore : public SoundStore {
public:
    ~MemoryStore() override {
        for (EventBlock* b : blocks_) delete b;
    }
    StoreKind Kind() const override { return StoreKind::Memory; }
    uint32_t Length() const override { return length_; }
    uint32_t ReadAt(uint32_t position, void* out, uint32_t n) override {
        if (position >= length_) return 0;
        if (n > length_ - position) n = length_ - position;
        uint8_t* o = static_cast<uint8_t*>(out);
        uint32_t done = 0;
        while (done < n) {
            const uint32_t at = position + done;
            const EventBlock* b = blocks_[at / kMemoryBlockBytes];
            const uint32_t off = at % kMemoryBlockBytes;
            const uint32_t k = std::min(n - done, b->count - off);
            std::memcpy(o + done, b->bytes + off, k);
            done += k;
        }
        return n;
    }
    uint32_t WriteAt(uint32_t position, const void* data, uint32_t n) override {
        if (position > length_) return 0;
        if (n > 0xFFFFFFFFu - position) n = 0xFFFFFFFFu - position;
        if (position + n > length_ && !Grow(position + n, 0)) return 0;
        const uint8_t* d = static_cast<const uint8_t*>(data);
        uint32_t done = 0;
        while (done < n) {
            const uint32_t at = position + done;
            EventBlock* b = blocks_[at / kMemoryBlockBytes];
            const uint32_t off = at % kMemoryBlockBytes;
            const uint32_t k = std::min(n - done, b->count - off);
            std::memcpy(b->bytes + off, d + done, k);
            done += k;
        }
        return n;
    }
    bool SetLength(uint32_t n, uint8_t silence) override {
        if (n >= length_) return Grow(n, silence);
        const size_t keep = (n + kMemoryBlockBytes - 1) / kMemoryBlockBytes;
        while (blocks_.size() > keep) {
            delete blocks_.back();
            blocks_.pop_back();
        }
        if (!blocks_.empty()) {
            EventBlock* last = blocks_.back();
            const uint32_t want = n - static_cast<uint32_t>(last->time);
            if (last->count > want) last->Shrink(last->count - want);
        }
        length_ = n;
        return true;
    }
    bool Writable() const override { return true; }
    bool SetFormat(const WAVEFORMATEX&) override { return true; }

private:
    bool Grow(uint32_t n, uint8_t silence) {
        try {
            while (length_ < n) {
                if (blocks_.empty() || blocks_.back()->count == kMemoryBlockBytes) {
                    auto* b = new EventBlock;
                    b->time = static_cast<uint32_t>(blocks_.size()) * kMemoryBlockBytes;
                    b->Allocate(kMemoryBlockBytes);
                    b->count = 0;
                    blocks_.push_back(b);
                }
                EventBlock* last = blocks_.back();
                const uint32_t k = std::min(n - length_, kMemoryBlockBytes - last->count);
                std::memset(last->bytes + last->count, silence, k);
                last->count += k;
                length_ += k;
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    std::vector<EventBlock*> blocks_;
    uint32_t length_ = 0;
};

void SetInfoFormat(WaveInfo& info, const WAVEFORMATEX& f) {
    info.format = f;
    info.bytesPerSample = f.wBitsPerSample / 8;
}

// The WAVE layer's data as a decoder's byte source.
class WaveFileSource : public ByteSource {
public:
    explicit WaveFileSource(CWaveFile& f) : file_(f) {}
    size_t ReadBytes(void* out, size_t n) override {
        return file_.Read(out, static_cast<uint32_t>(std::min<size_t>(n, 0xFFFFFFFFu)));
    }

private:
    CWaveFile& file_;
};

WaveSound* MakeForLoading() {
    return new WaveData();
}

} // namespace

const char* StoreKindName(StoreKind k) {
    switch (k) {
    case StoreKind::None:
        return "none";
    case StoreKind::WaveRead:
        return "wave";
    case StoreKind::WaveTemp:
        return "wave-temp";
    case StoreKind::AuTemp:
        return "au-temp";
    case StoreKind::Reader:
        return "reader";
    case StoreKind::Memory:
        return "memory";
    }
    return "?";
}

WaveData::WaveData() : store_(std::make_unique<MemoryStore>()) {}
WaveData::~WaveData() = default;

void WaveData::Adopt(WaveInfo& info, std::unique_ptr<SoundStore> store, const WAVEFORMATEX& f) {
    if (store_) store_->Close();
    store_ = std::move(store);
    format_ = f;
    pos_ = 0;
    SetInfoFormat(info, f);
}

void WaveData::Close() {
    if (store_) store_->Close();
    store_ = std::make_unique<MemoryStore>();
    pos_ = 0;
}

uint32_t WaveData::DataLength() const {
    return store_->Length();
}
bool WaveData::IsWritable() const {
    return store_->Writable();
}
bool WaveData::ReadFailed() const {
    return store_->Failed();
}
StoreKind WaveData::Kind() const {
    return store_->Kind();
}
std::string WaveData::StorePath() const {
    return store_->Path();
}

uint32_t WaveData::Read(WaveInfo&, void* buffer, uint32_t bytes) {
    const uint32_t got = store_->ReadAt(pos_, buffer, bytes);
    pos_ += got;
    return got;
}

uint32_t WaveData::Write(WaveInfo&, const void* buffer, uint32_t bytes) {
    if (!store_->Writable()) return 0;
    const uint32_t put = store_->WriteAt(pos_, buffer, bytes);
    pos_ += put;
    return put;
}

bool WaveData::SeekBytes(WaveInfo&, uint32_t position) {
    if (position >= store_->Length()) return false;
    pos_ = position;
    return true;
}

uint32_t WaveData::ReadAt(uint32_t position, void* out, uint32_t n) const {
    return store_->ReadAt(position, out, n);
}

uint32_t WaveData::WriteAt(uint32_t position, const void* data, uint32_t n) {
    return store_->Writable() ? store_->WriteAt(position, data, n) : 0;
}

bool WaveData::SetLength(uint32_t n, bool fill) {
    if (!store_->Writable()) return false;
    (void)fill; // every store fills what it adds with silence
    if (!store_->SetLength(n, SilenceByte())) return false;
    if (pos_ > n) pos_ = n;
    return true;
}

bool WaveData::Insert(uint32_t position, const void* data, uint32_t n) {
    const uint32_t length = store_->Length();
    if (!store_->Writable() || position > length || n > 0xFFFFFFFFu - length) return false;
    if (n == 0) return true;
    if (!store_->SetLength(length + n, SilenceByte())) return false;
    // Move the tail up, last chunk first.
    std::vector<uint8_t> buf(kCopyChunk);
    uint32_t end = length;
    while (end > position) {
        const uint32_t k = std::min<uint32_t>(end - position, kCopyChunk);
        const uint32_t from = end - k;
        if (store_->ReadAt(from, buf.data(), k) != k ||
            store_->WriteAt(from + n, buf.data(), k) != k)
            return false;
        end = from;
    }
    if (data) {
        if (store_->WriteAt(position, data, n) != n) return false;
    } else {
        std::vector<uint8_t> silence(std::min<uint32_t>(n, kCopyChunk), SilenceByte());
        for (uint32_t done = 0; done < n;) {
            const uint32_t k = std::min<uint32_t>(n - done, kCopyChunk);
            if (store_->WriteAt(position + done, silence.data(), k) != k) return false;
            done += k;
        }
    }
    return true;
}

bool WaveData::Erase(uint32_t position, uint32_t n) {
    const uint32_t length = store_->Length();
    if (!store_->Writable() || position > length) return false;
    if (n > length - position) n = length - position;
    if (n == 0) return true;
    std::vector<uint8_t> buf(kCopyChunk);
    for (uint32_t from = position + n; from < length;) {
        const uint32_t k = std::min<uint32_t>(length - from, kCopyChunk);
        if (store_->ReadAt(from, buf.data(), k) != k ||
            store_->WriteAt(from - n, buf.data(), k) != k)
            return false;
        from += k;
    }
    if (!store_->SetLength(length - n, SilenceByte())) return false;
    if (pos_ > length - n) pos_ = length - n;
    return true;
}

Result WaveData::CopyAll(SoundStore& to) const {
    std::vector<uint8_t> buf(kCopyChunk);
    const uint32_t length = store_->Length();
    for (uint32_t at = 0; at < length;) {
        const uint32_t k = std::min<uint32_t>(length - at, kCopyChunk);
        const uint32_t got = store_->ReadAt(at, buf.data(), k);
        if (got == 0) {
            if (store_->Failed()) return store_->Status();
            return Result(Code::ReadFailed, "the sound ended after " + std::to_string(at) + " of " +
                                                std::to_string(length) + " bytes");
        }
        if (to.WriteAt(at, buf.data(), got) != got)
            return Result(Code::WriteFailed, "the copy of the sound cannot be written");
        at += got;
    }
    return Result();
}

WaveSound* WaveData::Copy(WaveInfo& info) const {
    auto mem = std::make_unique<MemoryStore>();
    if (!CopyAll(*mem).Ok()) return nullptr;
    auto* copy = new WaveData();
    copy->Adopt(info, std::move(mem), format_);
    copy->sourceTag_ = sourceTag_;
    copy->sourceContainer_ = sourceContainer_;
    copy->sourceEncoding_ = sourceEncoding_;
    return copy;
}

double WaveData::GetValue(const WaveInfo&) const {
    uint8_t b[2] = {};
    if (format_.wBitsPerSample == 8) {
        if (store_->ReadAt(pos_, b, 1) != 1) return 0.0;
        return b[0] / 127.5 - 1.0;
    }
    if (store_->ReadAt(pos_, b, 2) != 2) return 0.0;
    return static_cast<int16_t>(platform::LoadLe16(b)) / 32767.0;
}

void WaveData::SetValue(WaveInfo& info, double v) {
    const float x = static_cast<float>(v);
    if (format_.wBitsPerSample == 8) {
        const uint8_t b = FloatToSample8(x);
        Write(info, &b, 1);
    } else {
        uint8_t b[2];
        platform::StoreLe16(b, static_cast<uint16_t>(FloatToSample16(x)));
        Write(info, b, 2);
    }
}

bool WaveData::SetFormat(WaveInfo& info, const WAVEFORMATEX& format, bool convert) {
    if (!store_->Writable() || !IsHeldPcm(format)) return false;
    if (!convert) {
        if (!store_->SetFormat(format)) return false;
        format_ = format;
        SetInfoFormat(info, format);
        return true;
    }
    // Convert into memory, then write the result back into this store.
    MemoryStore converted;
    uint32_t readAt = 0;
    uint32_t writeAt = 0;
    const uint64_t frames = store_->Length() / format_.nBlockAlign;
    const bool ok = ConvertPcm(
        format_, format, frames,
        [&](void* out, size_t n) {
            const uint32_t got = store_->ReadAt(readAt, out, static_cast<uint32_t>(n));
            readAt += got;
            return static_cast<size_t>(got);
        },
        [&](const void* data, size_t n) {
            if (uint64_t(writeAt) + n > 0xFFFFFFF0u) return false;
            const uint32_t put = converted.WriteAt(writeAt, data, static_cast<uint32_t>(n));
            writeAt += put;
            return put == n;
        });
    if (!ok) return false;
    const WAVEFORMATEX old = format_;
    if (!store_->SetFormat(format)) return false;
    format_ = format;
    const uint32_t length = converted.Length();
    std::vector<uint8_t> buf(kCopyChunk);
    bool written = store_->SetLength(0, SilenceByte());
    for (uint32_t at = 0; written && at < length;) {
        const uint32_t k = std::min<uint32_t>(length - at, kCopyChunk);
        written =
            converted.ReadAt(at, buf.data(), k) == k && store_->WriteAt(at, buf.data(), k) == k;
        at += k;
    }
    if (!written) {
        // The store could not take the converted samples; put the old format back.
        store_->SetFormat(old);
        format_ = old;
        return false;
    }
    pos_ = 0;
    SetInfoFormat(info, format);
    return true;
}

void WaveData::Serialize(CArchive& ar, WaveInfo& info) {
    if (ar.IsStoring()) {
        ar.WriteU16(format_.wFormatTag);
        ar.WriteU16(format_.nChannels);
        ar.WriteU32(format_.nSamplesPerSec);
        ar.WriteU32(format_.nAvgBytesPerSec);
        ar.WriteU16(format_.nBlockAlign);
        ar.WriteU16(format_.wBitsPerSample);
        ar.WriteU16(0);
        ar.WriteU16(static_cast<uint16_t>(format_.wBitsPerSample / 8));
        const uint32_t length = store_->Length();
        ar.WriteU32(length);
        std::vector<uint8_t> buf(kCopyChunk);
        for (uint32_t at = 0; at < length;) {
            const uint32_t k = std::min<uint32_t>(length - at, kCopyChunk);
            const uint32_t got = store_->ReadAt(at, buf.data(), k);
            if (got != k) std::memset(buf.data() + got, SilenceByte(), k - got);
            ar.WriteBytes(buf.data(), k);
            at += k;
        }
        return;
    }
    WAVEFORMATEX f;
    f.wFormatTag = ar.ReadU16();
    f.nChannels = ar.ReadU16();
    f.nSamplesPerSec = ar.ReadU32();
    f.nAvgBytesPerSec = ar.ReadU32();
    f.nBlockAlign = ar.ReadU16();
    f.wBitsPerSample = ar.ReadU16();
    const uint16_t cb = ar.ReadU16();
    ar.ReadU16(); // bytes per sample: follows from the format
    const uint32_t length = ar.ReadU32();
    f.cbSize = 0;
    if (ar.Failed() || cb != 0 || !IsHeldPcm(f) || length > ar.Remaining()) {
        ar.Fail();
        return;
    }
    auto mem = std::make_unique<MemoryStore>();
    std::vector<uint8_t> buf(kCopyChunk);
    for (uint32_t at = 0; at < length;) {
        const uint32_t k = std::min<uint32_t>(length - at, kCopyChunk);
        if (!ar.ReadBytes(buf.data(), k) || mem->WriteAt(at, buf.data(), k) != k) {
            ar.Fail();
            return;
        }
        at += k;
    }
    Adopt(info, std::move(mem), f);
}

Result WaveData::OpenWave(WaveInfo& info, const std::string& path, const std::string& tempPath,
                          formats::Notes* notes) {
    auto note = [&](const std::string& text) {
        if (notes) notes->push_back(text);
    };
    auto fail = [&](Code code, const std::string& why) {
        note(why);
        return Result(code, why);
    };
    auto file = std::make_unique<CWaveFile>();
    if (Result r = file->OpenRead(path); !r) return r;
    const WAVEFORMATEX src = file->Format();
    if (src.wFormatTag == kWaveFormatPcm) {
        Adopt(info, std::make_unique<WaveFileStore>(std::move(file)), src);
        sourceTag_ = kWaveFormatPcm;
        sourceContainer_ = Container::Wave;
        sourceEncoding_ = src.wBitsPerSample == 8 ? Encoding::PcmU8 : Encoding::PcmS16LE;
        return Result();
    }
    // Compressed: decode into a hidden temporary WAVE file.
    WaveFileSource source(*file);
    std::unique_ptr<SampleDecoder> decoder;
    switch (src.wFormatTag) {
    case kWaveFormatImaAdpcm: {
        const std::vector<uint8_t>& extra = file->Extra();
        if (src.wBitsPerSample != 4)
            return fail(Code::Malformed, "IMA ADPCM requires 4 bits per sample, not " +
                                             std::to_string(src.wBitsPerSample) + "\n");
        if (extra.size() < 2)
            return fail(Code::Malformed, "IMA ADPCM requires additional decompression data.\n");
        const unsigned spb = platform::LoadLe16(extra.data());
        const size_t block = src.nBlockAlign;
        if (spb == 0 || block < ImaMsRequiredBytes(src.nChannels, spb))
            return fail(Code::Malformed, "IMA ADPCM block of " + std::to_string(block) +
                                             " bytes cannot hold " + std::to_string(spb) +
                                             " samples per block.\n");
        decoder = MakeImaMsDecoder(source, src.nChannels, spb, block);
        break;
    }
    case kWaveFormatMulaw:
        decoder = MakePcmOrG711Decoder(Encoding::MuLaw, source);
        break;
    case kWaveFormatAlaw:
        decoder = MakePcmOrG711Decoder(Encoding::ALaw, source);
        break;
    default:
        return fail(Code::Unsupported, "I don't support WAVE compression type " +
                                           std::to_string(src.wFormatTag) + "\n");
    }
    note(EncodingNote(decoder->GetEncoding(), src.nChannels));
    if (tempPath.empty()) return Result(Code::Refused, "no temporary file for the decoded sound");
    const WAVEFORMATEX pcm = MakePcmFormat(src.nSamplesPerSec, src.nChannels, 16);
    auto temp = std::make_unique<CWaveFile>();
    if (Result r = temp->OpenWrite(tempPath, pcm, {}, 0, CWaveFile::kTemporary); !r) return r;
    // Whole blocks are decoded, as other readers do; the "fact" chunk's count is not applied.
    std::vector<int16_t> samples(32768);
    std::vector<uint8_t> le(samples.size() * 2);
    Result written;
    for (;;) {
        const size_t got = decoder->Decode(samples.data(), samples.size());
        for (size_t i = 0; i < got; ++i)
            platform::StoreLe16(&le[2 * i], static_cast<uint16_t>(samples[i]));
        const uint32_t bytes = static_cast<uint32_t>(got * 2);
        if (got && temp->Write(le.data(), bytes) != bytes) {
            written = Result(Code::WriteFailed, tempPath + ": cannot be written");
            break;
        }
        if (got < samples.size()) break;
    }
    for (size_t i = 0; i < decoder->ProblemCount(); ++i) note(decoder->Problem(i));
    Result r = decoder->Status();
    if (r && temp->Failed()) r = Result(Code::WriteFailed, tempPath + ": cannot be written");
    if (r) r = written;
    if (!r) {
        temp->Close();
        return r;
    }
    file->Close();
    temp->Seek(0, false);
    Adopt(info, std::make_unique<WaveFileStore>(std::move(temp)), pcm);
    sourceTag_ = src.wFormatTag;
    sourceContainer_ = Container::Wave;
    sourceEncoding_ = decoder->GetEncoding();
    return Result();
}

Result WaveData::OpenSoundFile(WaveInfo& info, const std::string& path, formats::Notes* notes) {
    OpenedSound opened = OpenSoundReader(path);
    if (notes) notes->insert(notes->end(), opened.notes.begin(), opened.notes.end());
    if (!opened.result) return opened.result;
    std::unique_ptr<SoundReader>& reader = opened.reader;
    const WAVEFORMATEX f = reader->TargetFormat();
    const Container c = reader->GetContainer();
    const Encoding e = reader->GetEncoding();
    const uint16_t tag = reader->FormatTag();
    Adopt(info, std::make_unique<ReaderStore>(std::move(reader), path), f);
    sourceTag_ = tag;
    sourceContainer_ = c;
    sourceEncoding_ = e;
    return Result();
}

Result WaveData::CreateTempAu(WaveInfo& info, const std::string& tempPath) {
    WAVEFORMATEX f = info.format;
    if (!IsHeldPcm(f)) return Result(Code::Refused, "not a PCM format a sound holds");
    auto au = std::make_unique<CAuTempFile>();
    if (Result r = au->Create(tempPath, f); !r) return r;
    Adopt(info, std::make_unique<AuStore>(std::move(au)), f);
    sourceTag_ = kWaveFormatPcm;
    return Result();
}

Result WaveData::CopyToTempAu(WaveInfo& info, const std::string& tempPath, formats::Notes* notes) {
    auto au = std::make_unique<CAuTempFile>();
    if (Result r = au->Create(tempPath, format_); !r) return r;
    auto store = std::make_unique<AuStore>(std::move(au));
    Result copied = CopyAll(*store);
    if (notes) store_->TakeNotes(*notes);
    if (!copied) {
        store->Close();
        return copied;
    }
    const uint32_t keep = pos_;
    const WAVEFORMATEX f = format_;
    Adopt(info, std::move(store), f);
    pos_ = keep < DataLength() ? keep : 0;
    return Result();
}

Result WaveData::MakeMemory(WaveInfo& info) {
    auto mem = std::make_unique<MemoryStore>();
    if (Result r = CopyAll(*mem); !r) return r;
    const uint32_t keep = pos_;
    Adopt(info, std::move(mem), format_);
    pos_ = keep;
    return Result();
}

} // namespace sound

namespace sound {
namespace {

bool SameFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A name beside target for the file being written; empty when none can be made.
std::string TempBeside(const std::string& target) {
    std::string pattern = target + ".XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = ::mkstemp(buf.data());
    if (fd < 0) return std::string();
    struct stat st {};
    const mode_t mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    ::fchmod(fd, mode);
    ::close(fd);
    return std::string(buf.data());
}

bool FsyncPath(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

ImaMsLayout ImaMsLayoutFor(const WAVEFORMATEX& pcm) {
    ImaMsLayout l;
    const unsigned ch = pcm.nChannels ? pcm.nChannels : 1;
    const unsigned perChannel = pcm.nSamplesPerSec <= 11025   ? 256
                                : pcm.nSamplesPerSec <= 22050 ? 512
                                                              : 1024;
    l.samplesPerBlock = ImaMsSamplesPerBlock(1, perChannel);
    l.format.wFormatTag = kWaveFormatImaAdpcm;
    l.format.nChannels = static_cast<uint16_t>(ch);
    l.format.nSamplesPerSec = pcm.nSamplesPerSec;
    l.format.nBlockAlign = static_cast<uint16_t>(perChannel * ch);
    l.format.wBitsPerSample = 4;
    l.format.cbSize = 2;
    l.format.nAvgBytesPerSec = static_cast<uint32_t>(
        (uint64_t(pcm.nSamplesPerSec) * l.format.nBlockAlign + l.samplesPerBlock / 2) /
        l.samplesPerBlock);
    l.extra = static_cast<uint16_t>(l.samplesPerBlock);
    return l;
}

Result WaveData::SaveAsWave(WaveInfo& info, const std::string& path, bool compress) {
    if (!IsHeldPcm(format_)) return Result(Code::Refused, "the sound is not PCM");
    const std::string source = store_->Path();
    const bool overSource =
        (store_->Kind() == StoreKind::WaveRead || store_->Kind() == StoreKind::Reader) &&
        SameFile(source, path);
    // A compressed file cannot be read back as the same samples: keep them in memory.
    if (overSource && compress) {
        if (Result r = MakeMemory(info); !r) return r;
    }

    const std::string temp = TempBeside(path);
    if (temp.empty()) return Result(Code::CannotOpen, "cannot create a file beside " + path);
    CWaveFile out;
    const uint32_t length = store_->Length();
    bool ok;
    if (!compress) {
        ok = out.OpenWrite(temp, format_, {}, length, CWaveFile::kWrite).Ok();
        std::vector<uint8_t> buf(kCopyChunk);
        for (uint32_t at = 0; ok && at < length;) {
            const uint32_t k = std::min<uint32_t>(length - at, kCopyChunk);
            ok = store_->ReadAt(at, buf.data(), k) == k && out.Write(buf.data(), k) == k;
            at += k;
        }
    } else {
        const ImaMsLayout l = ImaMsLayoutFor(format_);
        const unsigned ch = format_.nChannels;
        const uint32_t frames = length / format_.nBlockAlign;
        const uint32_t blocks = (frames + l.samplesPerBlock - 1) / l.samplesPerBlock;
        std::vector<uint8_t> extra(2);
        platform::StoreLe16(extra.data(), l.extra);
        out.SetFactSamples(frames);
        ok = out.OpenWrite(temp, l.format, extra, blocks * uint32_t(l.format.nBlockAlign),
                           CWaveFile::kWrite)
                 .Ok();
        std::vector<uint8_t> raw(size_t(l.samplesPerBlock) * format_.nBlockAlign);
        std::vector<int16_t> pcm(size_t(l.samplesPerBlock) * ch);
        std::vector<uint8_t> block(l.format.nBlockAlign);
        ImaState state[2];
        for (uint32_t b = 0; ok && b < blocks; ++b) {
            const uint32_t first = b * l.samplesPerBlock;
            const uint32_t n = std::min<uint32_t>(l.samplesPerBlock, frames - first);
            const uint32_t bytes = n * format_.nBlockAlign;
            ok = store_->ReadAt(first * format_.nBlockAlign, raw.data(), bytes) == bytes;
            const size_t samples = size_t(n) * ch;
            for (size_t i = 0; i < samples; ++i)
                pcm[i] = format_.wBitsPerSample == 8
                             ? Widen8(raw[i])
                             : static_cast<int16_t>(platform::LoadLe16(&raw[2 * i]));
            std::fill(pcm.begin() + static_cast<long>(samples), pcm.end(), 0);
            ImaMsEncodeBlock(pcm.data(), ch, l.samplesPerBlock, state, block.data());
            ok = ok && out.Write(block.data(), static_cast<uint32_t>(block.size())) == block.size();
        }
    }
    ok = out.Close().Ok() && ok;
    ok = ok && FsyncPath(temp);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        return Result(Code::WriteFailed, "cannot write " + path + ": " + why);
    }
    if (overSource) {
        // The old file is gone from its name; go on reading the same samples from the new one.
        auto file = std::make_unique<CWaveFile>();
        const uint32_t keep = pos_;
        if (file->OpenRead(path).Ok() && file->Format().wFormatTag == kWaveFormatPcm) {
            const WAVEFORMATEX f = format_;
            Adopt(info, std::make_unique<WaveFileStore>(std::move(file)), f);
            pos_ = keep < DataLength() ? keep : 0;
        } else {
            // Still readable through the open old file. Should even that fail, the sound stays
            // in its store: the file is saved either way.
            (void)MakeMemory(info);
        }
    }
    return Result();
}

void InstallWaveSoundFactory() {
    SetWaveSoundFactory(&MakeForLoading);
}

} // namespace sound
