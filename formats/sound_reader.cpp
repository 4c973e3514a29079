#include "formats/sound_reader.h"

#include "formats/diagnostics.h"

#include <algorithm>
#include <cstring>

namespace sound {
namespace {

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

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
    ChunkWalker(InputStream& in, bool aiff) : in_(in), aiff_(aiff) {}

    int Depth() const { return depth_; }
    const ChunkLevel& Top() const { return stack_[depth_]; }
    ChunkLevel& Top() { return stack_[depth_]; }
    const ChunkLevel& Outer() const { return stack_[0]; }
    bool Failed() const { return failed_; }
    bool HaveFormat() const { return haveFormat_; }
    const std::vector<uint8_t>& FormatBlock() const { return format_; }
    // The open chunk is the sound data ("data" or "SSND"), positioned at its samples.
    bool AtSoundData() const {
        return depth_ >= 0 && !Top().container && IdIs(Top().id, aiff_ ? "SSND" : "data");
    }

    // One step; false when there are no more chunks (depth -1) or the file is malformed.
    bool Step() {
        if (failed_ || (depth_ < 0 && started_)) return false;
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
                    Diagnostic("Error: Chunk is too large to fit in container!?!?\n");
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
                    Diagnostic("Error in WAVE file: Chunk is too large to fit!?!?\n");
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
        c.size = aiff_ ? Be32(header + 4) : Le32(header + 4);
        c.remaining = c.size;
        return aiff_ ? DispatchAiff() : DispatchWave();
    }

private:
    bool Fatal(const char* text) {
        Diagnostic(text);
        failed_ = true;
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
        if (depth_ != 0) Diagnostic(std::string(name) + " chunk seen at inner level?!?!\n");
        return true;
    }

    bool ReadText(const char* prefix) {
        std::vector<uint8_t> body;
        if (!ReadBody(body)) return false;
        std::string text(body.begin(), body.end());
        while (!text.empty() && text.back() == '\0') text.pop_back();
        Diagnostic(std::string(prefix) + text + "\n");
        return true;
    }

    bool DispatchWave() {
        ChunkLevel& c = Top();
        if (depth_ != 0 && !IdIs(Outer().id, "RIFF")) return true;
        if (IdIs(c.id, "RIFF")) return OpenContainer("RIFF");
        if (depth_ == 0) {
            Diagnostic("Outermost chunk is not RIFF ?!?!\n");
            depth_ = -1;
            return false;
        }
        if (IdIs(c.id, "fmt ")) {
            if (depth_ != 1) Diagnostic("FMT chunk seen at wrong level?!?!\n");
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
        Diagnostic("Ignoring unrecognized `" + IdText(c.id) + "' chunk\n");
        return true;
    }

    bool DispatchAiff() {
        ChunkLevel& c = Top();
        if (depth_ != 0 && !IdIs(Outer().id, "FORM")) return true;
        if (IdIs(c.id, "FORM")) return OpenContainer("FORM");
        if (depth_ == 0) {
            Diagnostic("Outermost chunk is not FORM ?!?!\n");
            depth_ = -1;
            return false;
        }
        if (IdIs(c.id, "FVER")) {
            std::vector<uint8_t> body;
            if (!ReadBody(body)) return false;
            if (body.size() < 4 || Be32(body.data()) != 0xA2805140u)
                return Fatal("Unrecognized AIFC file format.\n");
            return true;
        }
        if (IdIs(c.id, "COMM")) {
            if (depth_ != 1) Diagnostic("COMM chunk seen at wrong level?!?!\n");
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
        Diagnostic("Ignoring unrecognized `" + IdText(c.id) + "' chunk\n");
        return true;
    }

    InputStream& in_;
    bool aiff_;
    ChunkLevel stack_[kMaxDepth];
    int depth_ = -1;
    bool started_ = false;
    bool failed_ = false;
    bool haveFormat_ = false;
    std::vector<uint8_t> format_;
};

class AuReader : public SoundReader {
public:
    explicit AuReader(std::unique_ptr<InputStream> in)
        : SoundReader(std::move(in), Container::Au) {}

protected:
    bool StartUp() override {
        uint8_t h[24];
        if (in_->Read(h, 24) < 24 || std::memcmp(h, ".snd", 4) != 0) {
            Diagnostic("Input file is not an AU file.\n");
            return false;
        }
        const uint32_t headerSize = Be32(h + 4);
        const uint32_t encoding = Be32(h + 12);
        rate_ = Be32(h + 16);
        channels_ = Be32(h + 20);
        if (headerSize < 24 || headerSize > in_->Size()) {
            Diagnostic("AU header size " + std::to_string(headerSize) + " is out of range.\n");
            return false;
        }
        in_->Seek(headerSize);
        Encoding e;
        switch (encoding) {
        case 1:
            e = Encoding::MuLaw;
            break;
        case 2:
            Diagnostic("Encoding: 8-bit signed (two's complement) PCM\n");
            e = Encoding::PcmS8;
            break;
        case 3:
            Diagnostic("Encoding: 16-bit MSB PCM\n");
            e = Encoding::PcmS16BE;
            break;
        case 240:
            e = Encoding::PcmU8;
            break;
        case 241:
            e = Encoding::PcmS16LE;
            break;
        default:
            Diagnostic("AU format " + std::to_string(encoding) + " not supported.\n");
            return false;
        }
        if (!CheckShape()) return false;
        decoder_ = MakePcmOrG711Decoder(e, *this);
        dataStart_ = headerSize;
        dataLength_ = in_->Size() - headerSize; // the data-size field is not used
        dataLeft_ = dataLength_;
        haveData_ = true;
        return true;
    }
};

class ChunkReader : public SoundReader {
public:
    ChunkReader(std::unique_ptr<InputStream> in, bool aiff)
        : SoundReader(std::move(in), aiff ? Container::Aiff : Container::Wave), walker_(*in_, aiff),
          aiff_(aiff) {}

protected:
    bool StartUp() override {
        Diagnostic(aiff_ ? "File Format: Apple AIFF/AIFF-C\n" : "File Format: Microsoft WAVE\n");
        walker_.Step();
        const bool ok =
            walker_.Depth() == 0 && walker_.Top().container &&
            (aiff_ ? IdIs(walker_.Top().id, "FORM") &&
                         (IdIs(walker_.Top().form, "AIFF") || IdIs(walker_.Top().form, "AIFC"))
                   : IdIs(walker_.Top().id, "RIFF") && IdIs(walker_.Top().form, "WAVE"));
        if (!ok) {
            Diagnostic(aiff_ ? "Outermost chunk in AIFF file isn't FORM/AIF?!!"
                             : "Outermost chunk in WAVE file isn't RIFF!!");
            return false;
        }
        while (!walker_.HaveFormat() && walker_.Step()) {
        }
        if (walker_.Failed()) return false;
        if (!walker_.HaveFormat()) {
            Diagnostic(aiff_ ? "No `COMM' chunk found?!?!\n" : "No `fmt' chunk found?!?!\n");
            return false;
        }
        if (!(aiff_ ? ChooseAiff() : ChooseWave())) return false;
        // Find the sound data now, so that its length is known.
        while (!walker_.AtSoundData() && walker_.Step()) {
        }
        if (walker_.Failed()) return false;
        if (walker_.AtSoundData()) {
            dataStart_ = in_->Tell();
            dataLength_ = std::min<uint64_t>(walker_.Top().remaining, in_->Left());
        } else {
            Diagnostic("I didn't find any sound data!?!?\n");
            dataStart_ = in_->Tell();
            dataLength_ = 0;
        }
        dataLeft_ = dataLength_;
        haveData_ = true;
        return true;
    }

private:
    bool ChooseWave() {
        const std::vector<uint8_t>& f = walker_.FormatBlock();
        if (f.size() < 16) {
            Diagnostic("The `fmt' chunk is too short (" + std::to_string(f.size()) + " bytes).\n");
            return false;
        }
        formatTag_ = Le16(f.data());
        channels_ = Le16(f.data() + 2);
        rate_ = Le32(f.data() + 4);
        const unsigned blockAlign = Le16(f.data() + 12);
        const unsigned bits = Le16(f.data() + 14);
        switch (formatTag_) {
        case kWaveFormatPcm:
            if (bits <= 8) {
                Diagnostic("Encoding: 8-bit unsigned (excess-128) PCM\n");
                return Make(Encoding::PcmU8);
            }
            if (bits <= 16) {
                Diagnostic("Encoding: 16-bit LSB PCM\n");
                return Make(Encoding::PcmS16LE);
            }
            break;
        case kWaveFormatImaAdpcm: {
            if (bits != 4) {
                Diagnostic("IMA ADPCM requires 4 bits per sample, not " + std::to_string(bits) +
                           "\n");
                return false;
            }
            if (f.size() < 20) {
                Diagnostic("IMA ADPCM requires additional decompression data.\n");
                return false;
            }
            if (!CheckShape()) return false;
            samplesPerBlock_ = Le16(f.data() + 18);
            blockBytes_ = blockAlign ? blockAlign : ImaMsBlockBytes(channels_, samplesPerBlock_);
            if (samplesPerBlock_ == 0 ||
                blockBytes_ < ImaMsRequiredBytes(channels_, samplesPerBlock_)) {
                Diagnostic("IMA ADPCM block of " + std::to_string(blockBytes_) +
                           " bytes cannot hold " + std::to_string(samplesPerBlock_) +
                           " samples per block.\n");
                return false;
            }
            decoder_ = MakeImaMsDecoder(*this, channels_, samplesPerBlock_, blockBytes_);
            return true;
        }
        case kWaveFormatAlaw:
            return Make(Encoding::ALaw);
        case kWaveFormatMulaw:
            return Make(Encoding::MuLaw);
        case 2:
            Diagnostic("I don't support MS ADPCM compression.\n");
            return false;
        default:
            break;
        }
        Diagnostic("I don't support WAVE compression type " + std::to_string(formatTag_) + "\n");
        return false;
    }

    bool ChooseAiff() {
        const std::vector<uint8_t>& f = walker_.FormatBlock();
        if (f.size() < 18) {
            Diagnostic("The `COMM' chunk is too short (" + std::to_string(f.size()) + " bytes).\n");
            return false;
        }
        channels_ = Be16(f.data());
        const unsigned bits = Be16(f.data() + 6);
        if (!AiffRate(f.data() + 8, &rate_)) {
            Diagnostic("AIFF sample rate out of range.\n");
            return false;
        }
        char type[4] = {'N', 'O', 'N', 'E'};
        if (f.size() >= 22) std::memcpy(type, f.data() + 18, 4);
        if (IdIs(type, "NONE")) {
            if (bits <= 8) {
                Diagnostic("Encoding: 8-bit signed (two's complement) PCM\n");
                return Make(Encoding::PcmS8);
            }
            if (bits <= 16) {
                Diagnostic("Encoding: 16-bit MSB PCM\n");
                return Make(Encoding::PcmS16BE);
            }
            Diagnostic("I don't support AIFF sample size " + std::to_string(bits) + "\n");
            return false;
        }
        if (IdIs(type, "ulaw")) return Make(Encoding::MuLaw);
        if (IdIs(type, "ima4")) {
            if (!CheckShape()) return false;
            decoder_ = MakeImaAppleDecoder(*this, channels_);
            return true;
        }
        Diagnostic("I don't support AIFF-C compression type " + IdText(type) + "\n");
        return false;
    }

    bool Make(Encoding e) {
        if (!CheckShape()) return false;
        decoder_ = MakePcmOrG711Decoder(e, *this);
        return decoder_ != nullptr;
    }

    ChunkWalker walker_;
    bool aiff_;
};

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
    const unsigned exponent = Be16(ext);
    if (exponent & 0x8000) return false; // negative
    const int e = static_cast<int>(exponent & 0x7FFF) - 16383;
    if (e < 0 || e > 31) return false;
    const uint32_t mantissa = Be32(ext + 2);
    *rate = mantissa >> (31 - e);
    return *rate != 0;
}

SoundReader::~SoundReader() = default;

bool SoundReader::CheckShape() {
    if (channels_ != 1 && channels_ != 2) {
        Diagnostic("Sounds of " + std::to_string(channels_) + " channels are not supported.\n");
        return false;
    }
    if (rate_ == 0) {
        Diagnostic("A sample rate of 0 is not supported.\n");
        return false;
    }
    return true;
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
    if (!haveData_ || failed_) return 0;
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

std::unique_ptr<SoundReader> OpenSoundReader(std::unique_ptr<InputStream> in) {
    if (!in) return nullptr;
    uint8_t head[12] = {};
    const size_t got = in->Read(head, sizeof head);
    in->Seek(0);
    std::unique_ptr<SoundReader> reader;
    if (got >= 4 && std::memcmp(head, ".snd", 4) == 0)
        reader = std::make_unique<AuReader>(std::move(in));
    else if (got >= 12 && std::memcmp(head, "RIFF", 4) == 0 &&
             std::memcmp(head + 8, "WAVE", 4) == 0)
        reader = std::make_unique<ChunkReader>(std::move(in), false);
    else if (got >= 12 && std::memcmp(head, "FORM", 4) == 0 &&
             (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0))
        reader = std::make_unique<ChunkReader>(std::move(in), true);
    if (!reader || !reader->StartUp() || !reader->decoder_) return nullptr;
    return reader;
}

std::unique_ptr<SoundReader> OpenSoundReader(const std::string& path) {
    return OpenSoundReader(FileInputStream::Open(path));
}

} // namespace sound
