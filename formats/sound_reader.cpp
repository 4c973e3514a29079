#include "formats/sound_reader.h"

#include "platform/byte_cursor.h"

#include <algorithm>
#include <cstring>

namespace sound {
namespace {

using formats::Code;
using formats::Result;
using platform::ByteOrder;

bool IdIs(const char id[4], const char* four) {
    return std::memcmp(id, four, 4) == 0;
}
std::string IdText(const char id[4]) {
    return std::string(id, 4);
}

constexpr int kMaxDepth = 5;

struct ChunkLevel {
    char id[4] = {};
    uint32_t size = 0;
    uint32_t remaining = 0;
    bool container = false;
    char form[4] = {};
};

// Walks the chunks of a WAVE (little-endian sizes) or AIFF (big-endian sizes) file one step at a
// time, keeping a stack of the open chunks.
class ChunkWalker {
public:
    ChunkWalker(InputStream& in, bool aiff, formats::Notes& notes)
        : in_(in), aiff_(aiff), order_(aiff ? ByteOrder::Big : ByteOrder::Little), notes_(notes) {}

    int Depth() const { return depth_; }
    const ChunkLevel& Top() const { return stack_[depth_]; }
    ChunkLevel& Top() { return stack_[depth_]; }
    const ChunkLevel& Outer() const { return stack_[0]; }
    bool Failed() const { return !failure_.Ok(); }
    const Result& Failure() const { return failure_; }
    bool HaveFormat() const { return haveFormat_; }
    const std::vector<uint8_t>& FormatBlock() const { return format_; }
    // The open chunk is the sound data ("data" or "SSND"), positioned at its samples.
    bool AtSoundData() const {
        return depth_ >= 0 && !Top().container && IdIs(Top().id, aiff_ ? "SSND" : "data");
    }

    // One step; false when there are no more chunks (depth -1) or the file is malformed.
    bool Step() {
        if (Failed() || (depth_ < 0 && started_)) return false;
        started_ = true;
        if (depth_ >= 0 && !Top().container) {
            const ChunkLevel closed = Top();
            const uint64_t pad = closed.size & 1;
            in_.Skip(uint64_t(closed.remaining) + pad);
            --depth_;
            if (depth_ >= 0) {
                if (!Top().container) return Fatal("Chunk contained in non-Container?!?!\n");
                const uint64_t used = uint64_t(closed.size) + pad + 8;
                if (Top().remaining < used) {
                    Note("Error: Chunk is too large to fit in container!?!?\n");
                    Top().remaining = 0;
                } else {
                    Top().remaining -= static_cast<uint32_t>(used);
                }
            }
        }
        while (depth_ >= 0 && Top().remaining <= 7) {
            const ChunkLevel closed = Top();
            in_.Skip(closed.remaining);
            --depth_;
            if (depth_ >= 0) {
                if (!Top().container) return Fatal("Chunk contained in non-container?!?!\n");
                const uint64_t used = uint64_t(closed.size) + 8;
                if (Top().remaining < used) {
                    Note("Error in WAVE file: Chunk is too large to fit!?!?\n");
                    Top().remaining = 0;
                } else {
                    Top().remaining -= static_cast<uint32_t>(used);
                }
            }
        }
        uint8_t header[8];
        if (in_.AtEnd() || in_.Read(header, 8) < 8) {
            depth_ = -1;
            return false;
        }
        if (depth_ + 1 >= kMaxDepth) return Fatal("Error: Chunks are nested too deeply.\n");
        ++depth_;
        ChunkLevel& c = Top();
        c = ChunkLevel();
        std::memcpy(c.id, header, 4);
        c.size = platform::Load32(header + 4, order_);
        c.remaining = c.size;
        return aiff_ ? DispatchAiff() : DispatchWave();
    }

private:
    void Note(std::string text) { notes_.push_back(std::move(text)); }

    bool Fatal(const char* text, Code code = Code::Malformed) {
        Note(text);
        failure_ = Result(code, text);
        depth_ = -1;
        return false;
    }

    // Reads the whole body of the open chunk; refused when it claims more than the file holds.
    bool ReadBody(std::vector<uint8_t>& out) {
        ChunkLevel& c = Top();
        if (c.remaining > in_.Left()) return Fatal("Error: Chunk is larger than the file!?!?\n");
        out.resize(c.remaining);
        if (in_.Read(out.data(), out.size()) < out.size())
            return Fatal("Error: Chunk is larger than the file!?!?\n");
        c.remaining = 0;
        return true;
    }

    bool OpenContainer(const char* name) {
        ChunkLevel& c = Top();
        c.container = true;
        if (c.remaining < 4 || in_.Read(c.form, 4) < 4) {
            depth_ = -1;
            return false;
        }
        c.remaining -= 4;
        if (depth_ != 0) Note(std::string(name) + " chunk seen at inner level?!?!\n");
        return true;
    }

    bool ReadText(const char* prefix) {
        std::vector<uint8_t> body;
        if (!ReadBody(body)) return false;
        std::string text(body.begin(), body.end());
        while (!text.empty() && text.back() == '\0') text.pop_back();
        Note(std::string(prefix) + text + "\n");
        return true;
    }

    bool DispatchWave() {
        ChunkLevel& c = Top();
        if (depth_ != 0 && !IdIs(Outer().id, "RIFF")) return true;
        if (IdIs(c.id, "RIFF")) return OpenContainer("RIFF");
        if (depth_ == 0) {
            Note("Outermost chunk is not RIFF ?!?!\n");
            depth_ = -1;
            return false;
        }
        if (IdIs(c.id, "fmt ")) {
            if (depth_ != 1) Note("FMT chunk seen at wrong level?!?!\n");
            if (!ReadBody(format_)) return false;
            haveFormat_ = true;
            return true;
        }
        if (IdIs(c.id, "data")) return true;
        if (c.id[0] == 'I') {
            const char* prefix = IdIs(c.id, "IART")   ? "Artist: "
                                 : IdIs(c.id, "ICMT") ? "Comment: "
                                 : IdIs(c.id, "ICOP") ? "Copyright: "
                                 : IdIs(c.id, "INAM") ? "Title: "
                                                      : "Text: ";
            return ReadText(prefix);
        }
        Note("Ignoring unrecognized `" + IdText(c.id) + "' chunk\n");
        return true;
    }

    bool DispatchAiff() {
        ChunkLevel& c = Top();
        if (depth_ != 0 && !IdIs(Outer().id, "FORM")) return true;
        if (IdIs(c.id, "FORM")) return OpenContainer("FORM");
        if (depth_ == 0) {
            Note("Outermost chunk is not FORM ?!?!\n");
            depth_ = -1;
            return false;
        }
        if (IdIs(c.id, "FVER")) {
            std::vector<uint8_t> body;
            if (!ReadBody(body)) return false;
            platform::ByteReader version(body);
            if (version.Be32() != 0xA2805140u)
                return Fatal("Unrecognized AIFC file format.\n", Code::Unsupported);
            return true;
        }
        if (IdIs(c.id, "COMM")) {
            if (depth_ != 1) Note("COMM chunk seen at wrong level?!?!\n");
            if (!ReadBody(format_)) return false;
            haveFormat_ = true;
            return true;
        }
        if (IdIs(c.id, "SSND")) {
            uint8_t skip[8];
            if (c.remaining < 8 || in_.Read(skip, 8) < 8) {
                c.remaining = 0;
                return true;
            }
            c.remaining -= 8;
            return true;
        }
        if (IdIs(c.id, "(c) ")) return ReadText("Copyright: ");
        if (IdIs(c.id, "ANNO")) return ReadText("Annotation: ");
        if (IdIs(c.id, "AUTH")) return ReadText("Author: ");
        if (IdIs(c.id, "NAME")) return ReadText("Name: ");
        Note("Ignoring unrecognized `" + IdText(c.id) + "' chunk\n");
        return true;
    }

    InputStream& in_;
    bool aiff_;
    ByteOrder order_;
    formats::Notes& notes_;
    ChunkLevel stack_[kMaxDepth];
    int depth_ = -1;
    bool started_ = false;
    Result failure_;
    bool haveFormat_ = false;
    std::vector<uint8_t> format_;
};

class AuReader : public SoundReader {
public:
    explicit AuReader(std::unique_ptr<InputStream> in)
        : SoundReader(std::move(in), Container::Au) {}

protected:
    Result StartUp() override {
        uint8_t h[24];
        const size_t got = in_->Read(h, sizeof h);
        platform::ByteReader header(h, got);
        if (!header.Match(".snd", 4) || got < sizeof h)
            return Fail(Code::NotRecognized, "Input file is not an AU file.\n");
        const uint32_t headerSize = header.Be32();
        header.Be32(); // the data size is not used
        const uint32_t encoding = header.Be32();
        rate_ = header.Be32();
        channels_ = header.Be32();
        if (headerSize < 24 || headerSize > in_->Size())
            return Fail(Code::Malformed,
                        "AU header size " + std::to_string(headerSize) + " is out of range.\n");
        in_->Seek(headerSize);
        Encoding e;
        bool note = true;
        switch (encoding) {
        case 1:
            e = Encoding::MuLaw;
            break;
        case 2:
            e = Encoding::PcmS8;
            break;
        case 3:
            e = Encoding::PcmS16BE;
            break;
        case 240: // the temporary file's own encodings: the samples as the wave data holds them
            e = Encoding::PcmU8;
            note = false;
            break;
        case 241:
            e = Encoding::PcmS16LE;
            note = false;
            break;
        default:
            return Fail(Code::Unsupported,
                        "AU format " + std::to_string(encoding) + " not supported.\n");
        }
        if (Result r = MakePlain(e, note); !r) return r;
        dataStart_ = headerSize;
        dataLength_ = in_->Size() - headerSize; // the data-size field is not used
        dataLeft_ = dataLength_;
        haveData_ = true;
        return Result();
    }
};

class ChunkReader : public SoundReader {
public:
    ChunkReader(std::unique_ptr<InputStream> in, bool aiff)
        : SoundReader(std::move(in), aiff ? Container::Aiff : Container::Wave),
          walker_(*in_, aiff, notes_), aiff_(aiff) {}

protected:
    Result StartUp() override {
        Note(aiff_ ? "File Format: Apple AIFF/AIFF-C\n" : "File Format: Microsoft WAVE\n");
        walker_.Step();
        const bool ok =
            walker_.Depth() == 0 && walker_.Top().container &&
            (aiff_ ? IdIs(walker_.Top().id, "FORM") &&
                         (IdIs(walker_.Top().form, "AIFF") || IdIs(walker_.Top().form, "AIFC"))
                   : IdIs(walker_.Top().id, "RIFF") && IdIs(walker_.Top().form, "WAVE"));
        if (!ok)
            return Fail(Code::Malformed, aiff_ ? "Outermost chunk in AIFF file isn't FORM/AIF?!!"
                                               : "Outermost chunk in WAVE file isn't RIFF!!");
        while (!walker_.HaveFormat() && walker_.Step()) {
        }
        if (walker_.Failed()) return walker_.Failure();
        if (!walker_.HaveFormat())
            return Fail(Code::Malformed,
                        aiff_ ? "No `COMM' chunk found?!?!\n" : "No `fmt' chunk found?!?!\n");
        if (Result r = aiff_ ? ChooseAiff() : ChooseWave(); !r) return r;
        // Find the sound data now, so that its length is known.
        while (!walker_.AtSoundData() && walker_.Step()) {
        }
        if (walker_.Failed()) return walker_.Failure();
        if (walker_.AtSoundData()) {
            dataStart_ = in_->Tell();
            dataLength_ = std::min<uint64_t>(walker_.Top().remaining, in_->Left());
        } else {
            Note("I didn't find any sound data!?!?\n");
            dataStart_ = in_->Tell();
            dataLength_ = 0;
        }
        dataLeft_ = dataLength_;
        haveData_ = true;
        return Result();
    }

private:
    Result ChooseWave() {
        const std::vector<uint8_t>& f = walker_.FormatBlock();
        if (f.size() < 16)
            return Fail(Code::Malformed,
                        "The `fmt' chunk is too short (" + std::to_string(f.size()) + " bytes).\n");
        platform::ByteReader fmt(f);
        formatTag_ = fmt.Le16();
        channels_ = fmt.Le16();
        rate_ = fmt.Le32();
        fmt.Le32(); // bytes per second
        const unsigned blockAlign = fmt.Le16();
        const unsigned bits = fmt.Le16();
        switch (formatTag_) {
        case kWaveFormatPcm:
            if (bits <= 8) return MakePlain(Encoding::PcmU8, true);
            if (bits <= 16) return MakePlain(Encoding::PcmS16LE, true);
            break;
        case kWaveFormatImaAdpcm: {
            if (bits != 4)
                return Fail(Code::Malformed, "IMA ADPCM requires 4 bits per sample, not " +
                                                 std::to_string(bits) + "\n");
            if (f.size() < 20)
                return Fail(Code::Malformed, "IMA ADPCM requires additional decompression data.\n");
            if (Result r = CheckShape(); !r) return r;
            fmt.Le16(); // the extra size
            samplesPerBlock_ = fmt.Le16();
            blockBytes_ = blockAlign ? blockAlign : ImaMsBlockBytes(channels_, samplesPerBlock_);
            if (samplesPerBlock_ == 0 ||
                blockBytes_ < ImaMsRequiredBytes(channels_, samplesPerBlock_))
                return Fail(Code::Malformed, "IMA ADPCM block of " + std::to_string(blockBytes_) +
                                                 " bytes cannot hold " +
                                                 std::to_string(samplesPerBlock_) +
                                                 " samples per block.\n");
            decoder_ = MakeImaMsDecoder(*this, channels_, samplesPerBlock_, blockBytes_);
            Note(EncodingNote(Encoding::ImaMs, channels_));
            return Result();
        }
        case kWaveFormatAlaw:
            return MakePlain(Encoding::ALaw, true);
        case kWaveFormatMulaw:
            return MakePlain(Encoding::MuLaw, true);
        case 2:
            return Fail(Code::Unsupported, "I don't support MS ADPCM compression.\n");
        default:
            break;
        }
        return Fail(Code::Unsupported,
                    "I don't support WAVE compression type " + std::to_string(formatTag_) + "\n");
    }

    Result ChooseAiff() {
        const std::vector<uint8_t>& f = walker_.FormatBlock();
        if (f.size() < 18)
            return Fail(Code::Malformed, "The `COMM' chunk is too short (" +
                                             std::to_string(f.size()) + " bytes).\n");
        platform::ByteReader comm(f);
        channels_ = comm.Be16();
        comm.Be32(); // frames
        const unsigned bits = comm.Be16();
        if (!AiffRate(comm.Span(10), &rate_))
            return Fail(Code::Unsupported, "AIFF sample rate out of range.\n");
        char type[4] = {'N', 'O', 'N', 'E'};
        if (f.size() >= 22) comm.Bytes(type, 4);
        if (IdIs(type, "NONE")) {
            if (bits <= 8) return MakePlain(Encoding::PcmS8, true);
            if (bits <= 16) return MakePlain(Encoding::PcmS16BE, true);
            return Fail(Code::Unsupported,
                        "I don't support AIFF sample size " + std::to_string(bits) + "\n");
        }
        if (IdIs(type, "ulaw")) return MakePlain(Encoding::MuLaw, true);
        if (IdIs(type, "ima4")) {
            if (Result r = CheckShape(); !r) return r;
            decoder_ = MakeImaAppleDecoder(*this, channels_);
            Note(EncodingNote(Encoding::ImaApple, channels_));
            return Result();
        }
        return Fail(Code::Unsupported,
                    "I don't support AIFF-C compression type " + IdText(type) + "\n");
    }

    ChunkWalker walker_;
    bool aiff_;
};

bool IsPcm(Encoding e) {
    return e == Encoding::PcmU8 || e == Encoding::PcmS8 || e == Encoding::PcmS16LE ||
           e == Encoding::PcmS16BE;
}

} // namespace

const char* ContainerName(Container c) {
    switch (c) {
    case Container::Wave:
        return "wave";
    case Container::Aiff:
        return "aiff";
    case Container::Au:
        return "au";
    }
    return "?";
}

bool AiffRate(const uint8_t ext[10], uint32_t* rate) {
    const unsigned exponent = platform::LoadBe16(ext);
    if (exponent & 0x8000) return false; // negative
    const int e = static_cast<int>(exponent & 0x7FFF) - 16383;
    if (e < 0 || e > 31) return false;
    const uint32_t mantissa = platform::LoadBe32(ext + 2);
    *rate = mantissa >> (31 - e);
    return *rate != 0;
}

SoundReader::~SoundReader() = default;

Result SoundReader::Fail(Code code, std::string text) {
    Note(text);
    return Result(code, std::move(text));
}

Result SoundReader::CheckShape() {
    if (channels_ != 1 && channels_ != 2)
        return Fail(Code::Unsupported,
                    "Sounds of " + std::to_string(channels_) + " channels are not supported.\n");
    if (rate_ == 0) return Fail(Code::Malformed, "A sample rate of 0 is not supported.\n");
    return Result();
}

Result SoundReader::MakePlain(Encoding e, bool note) {
    // PCM is named before the shape is checked, G.711 once its decoder is made.
    if (note && IsPcm(e)) Note(EncodingNote(e, channels_));
    if (Result r = CheckShape(); !r) return r;
    decoder_ = MakePcmOrG711Decoder(e, *this);
    if (!decoder_) return Result(Code::Unsupported, EncodingName(e));
    if (note && !IsPcm(e)) Note(EncodingNote(e, channels_));
    return Result();
}

Result SoundReader::Status() const {
    return decoder_ ? decoder_->Status() : Result();
}

void SoundReader::TakeNotes(formats::Notes& notes) {
    if (!decoder_) return;
    for (; problemsNoted_ < decoder_->ProblemCount(); ++problemsNoted_)
        notes.emplace_back(decoder_->Problem(problemsNoted_));
}

WAVEFORMATEX SoundReader::TargetFormat() const {
    WAVEFORMATEX f;
    f.wFormatTag = kWaveFormatPcm;
    f.nChannels = static_cast<uint16_t>(channels_);
    f.nSamplesPerSec = rate_;
    f.wBitsPerSample = static_cast<uint16_t>(8 * BytesPerSample());
    f.nBlockAlign = static_cast<uint16_t>(f.wBitsPerSample * f.nChannels / 8);
    f.nAvgBytesPerSec = f.nBlockAlign * rate_;
    f.cbSize = 0;
    return f;
}

uint64_t SoundReader::DecodedBytes() const {
    return DecodedSamples(GetEncoding(), dataLength_, channels_, samplesPerBlock_, blockBytes_) *
           static_cast<uint64_t>(BytesPerSample());
}

size_t SoundReader::ReadBytes(void* out, size_t n) {
    if (!haveData_) return 0;
    if (n > dataLeft_) n = static_cast<size_t>(dataLeft_);
    const size_t got = in_->Read(out, n);
    dataLeft_ -= got;
    return got;
}

size_t SoundReader::ReadDecoded(void* out, size_t n) {
    const size_t bps = static_cast<size_t>(BytesPerSample());
    return decoder_->Decode(out, n / bps) * bps;
}

bool SoundReader::Rewind() {
    return SeekDecoded(0);
}

bool SoundReader::CanSeek() const {
    const Encoding e = GetEncoding();
    return e != Encoding::ImaMs && e != Encoding::ImaApple;
}

bool SoundReader::SeekDecoded(uint64_t position) {
    if (!haveData_ || Failed()) return false;
    uint64_t encoded = 0;
    if (position != 0) {
        if (!CanSeek()) return false;
        const Encoding e = GetEncoding();
        const bool wide = e == Encoding::MuLaw || e == Encoding::ALaw;
        if (wide && (position & 1)) return false;
        encoded = wide ? position / 2 : position;
    }
    if (encoded > dataLength_) return false;
    if (!in_->Seek(dataStart_ + encoded)) return false;
    dataLeft_ = dataLength_ - encoded;
    decoder_->Reset(); // no half sample or decoded block is carried over
    return true;
}

OpenedSound OpenSoundReader(std::unique_ptr<InputStream> in) {
    OpenedSound opened;
    if (!in) {
        opened.result = Result(Code::CannotOpen, "no input");
        return opened;
    }
    uint8_t head[12] = {};
    const size_t got = in->Read(head, sizeof head);
    in->Seek(0);
    platform::ByteReader magic(head, got);
    std::unique_ptr<SoundReader> reader;
    if (magic.Match(".snd", 4)) {
        reader = std::make_unique<AuReader>(std::move(in));
    } else if (got >= 12 && (magic.Match("RIFF", 4) || magic.Match("FORM", 4))) {
        const bool aiff = std::memcmp(head, "FORM", 4) == 0;
        magic.Skip(4);
        if (aiff ? magic.Match("AIFF", 4) || magic.Match("AIFC", 4) : magic.Match("WAVE", 4))
            reader = std::make_unique<ChunkReader>(std::move(in), aiff);
    }
    if (!reader) {
        opened.result = Result(Code::NotRecognized, "not an AU, WAVE or AIFF file");
        return opened;
    }
    opened.result = reader->StartUp();
    if (opened.result && !reader->decoder_)
        opened.result = Result(Code::Unsupported, "no decoder for the sound data");
    opened.notes = std::move(reader->notes_);
    reader->notes_.clear();
    if (opened.result) opened.reader = std::move(reader);
    return opened;
}

OpenedSound OpenSoundReader(const std::string& path) {
    std::unique_ptr<FileInputStream> in = FileInputStream::Open(path);
    if (!in) {
        OpenedSound opened;
        opened.result = Result(Code::CannotOpen, "cannot open " + path);
        return opened;
    }
    return OpenSoundReader(std::move(in));
}

} // namespace sound
