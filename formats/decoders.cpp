#include "formats/decoders.h"

#include <cstring>
#include <string>

namespace sound {
namespace {

int16_t MuLawExpand(uint8_t u) {
    u = static_cast<uint8_t>(~u);
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return static_cast<int16_t>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

int16_t ALawExpand(uint8_t a) {
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    switch (seg) {
    case 0:
        t += 8;
        break;
    case 1:
        t += 0x108;
        break;
    default:
        t += 0x108;
        t <<= seg - 1;
    }
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

struct G711Tables {
    int16_t mu[256];
    int16_t a[256];
    G711Tables() {
        for (int i = 0; i < 256; ++i) {
            mu[i] = MuLawExpand(static_cast<uint8_t>(i));
            a[i] = ALawExpand(static_cast<uint8_t>(i));
        }
    }
};

const G711Tables& Tables() {
    static const G711Tables tables; // built once, on first use
    return tables;
}

// Reads 8-bit data straight into the output, converting signed bytes in place.
class Pcm8Decoder : public SampleDecoder {
public:
    Pcm8Decoder(ByteSource& s, bool isSigned) : SampleDecoder(s), signed_(isSigned) {}
    Encoding GetEncoding() const override { return signed_ ? Encoding::PcmS8 : Encoding::PcmU8; }
    int BytesPerSample() const override { return 1; }
    size_t Decode(void* out, size_t count) override {
        uint8_t* o = static_cast<uint8_t*>(out);
        const size_t n = source_.ReadBytes(o, count);
        if (signed_)
            for (size_t i = 0; i < n; ++i) o[i] ^= 0x80;
        return n;
    }

private:
    bool signed_;
};

bool HostIsLittleEndian() {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

class Pcm16Decoder : public SampleDecoder {
public:
    Pcm16Decoder(ByteSource& s, bool bigEndian) : SampleDecoder(s), big_(bigEndian) {}
    Encoding GetEncoding() const override { return big_ ? Encoding::PcmS16BE : Encoding::PcmS16LE; }
    size_t Decode(void* out, size_t count) override {
        uint8_t* o = static_cast<uint8_t*>(out);
        size_t have = 0;
        if (pending_) {
            o[0] = odd_;
            pending_ = false;
            have = 1;
        }
        have += source_.ReadBytes(o + have, count * 2 - have);
        const size_t n = have / 2;
        if (have & 1) { // keep a split sample for the next call
            odd_ = o[have - 1];
            pending_ = true;
        }
        const bool swap = big_ == HostIsLittleEndian();
        if (swap)
            for (size_t i = 0; i < n; ++i) {
                const uint8_t t = o[2 * i];
                o[2 * i] = o[2 * i + 1];
                o[2 * i + 1] = t;
            }
        return n;
    }

    void Reset() override { pending_ = false; }

private:
    bool big_;
    bool pending_ = false;
    uint8_t odd_ = 0;
};

class G711Decoder : public SampleDecoder {
public:
    G711Decoder(ByteSource& s, bool mu)
        : SampleDecoder(s), mu_(mu), table_(mu ? MuLawTable() : ALawTable()) {}
    Encoding GetEncoding() const override { return mu_ ? Encoding::MuLaw : Encoding::ALaw; }
    size_t Decode(void* out, size_t count) override {
        int16_t* o = static_cast<int16_t*>(out);
        uint8_t buf[4096];
        size_t done = 0;
        while (done < count) {
            const size_t want = count - done < sizeof buf ? count - done : sizeof buf;
            const size_t n = source_.ReadBytes(buf, want);
            for (size_t i = 0; i < n; ++i) o[done + i] = table_[buf[i]];
            done += n;
            if (n < want) break;
        }
        return done;
    }

private:
    bool mu_;
    const int16_t* table_;
};

// Decodes a block (or a set of packets) at a time into interleaved frames, then copies out.
class FrameBufferDecoder : public SampleDecoder {
public:
    using SampleDecoder::SampleDecoder;
    size_t Decode(void* out, size_t count) override {
        int16_t* o = static_cast<int16_t*>(out);
        size_t done = 0;
        while (done < count) {
            if (pos_ == frames_.size()) {
                if (exhausted_ || !Refill()) {
                    // Nothing of a half-read block or packet is given out.
                    frames_.clear();
                    pos_ = 0;
                    exhausted_ = true;
                    break;
                }
                continue;
            }
            size_t n = frames_.size() - pos_;
            if (n > count - done) n = count - done;
            std::memcpy(o + done, frames_.data() + pos_, n * sizeof(int16_t));
            pos_ += n;
            done += n;
        }
        return done;
    }

    void Reset() override {
        frames_.clear();
        pos_ = 0;
        exhausted_ = false;
    }

protected:
    // Fills frames_ with the next decoded samples; false at the end of the data.
    virtual bool Refill() = 0;
    void SetDecoded(size_t samples) {
        frames_.resize(samples);
        pos_ = 0;
    }
    std::vector<int16_t> frames_;
    size_t pos_ = 0;
    bool exhausted_ = false;
};

class ImaMsDecoder : public FrameBufferDecoder {
public:
    ImaMsDecoder(ByteSource& s, unsigned channels, unsigned samplesPerBlock, size_t blockBytes)
        : FrameBufferDecoder(s), channels_(channels), spb_(samplesPerBlock), block_(blockBytes),
          channelProblem_("IMA ADPCM supports 1 or 2 channels, not " + std::to_string(channels) +
                          "\n") {
        decoded_.resize(static_cast<size_t>(spb_) * channels_);
    }
    Encoding GetEncoding() const override { return Encoding::ImaMs; }

protected:
    bool Refill() override {
        if (channels_ < 1 || channels_ > 2) {
            Fail(channelProblem_.c_str());
            return false;
        }
        if (source_.ReadBytes(block_.data(), block_.size()) < block_.size()) return false;
        ImaBlockErrors errors;
        const size_t n = ImaMsDecodeBlock(block_.data(), block_.size(), channels_, spb_,
                                          decoded_.data(), &errors);
        if (errors.badIndex) Warn("IMA ADPCM Format Error (bad index value)\n");
        if (errors.syncError) Warn("IMA ADPCM Format Error (synchronization error)\n");
        frames_.assign(decoded_.begin(), decoded_.begin() + static_cast<long>(n * channels_));
        pos_ = 0;
        return n > 0;
    }

private:
    unsigned channels_;
    unsigned spb_;
    std::vector<uint8_t> block_;
    std::vector<int16_t> decoded_;
    std::string channelProblem_;
};

class ImaAppleDecoder : public FrameBufferDecoder {
public:
    ImaAppleDecoder(ByteSource& s, unsigned channels)
        : FrameBufferDecoder(s), channels_(channels) {}
    Encoding GetEncoding() const override { return Encoding::ImaApple; }
    void Reset() override {
        FrameBufferDecoder::Reset();
        state_[0] = state_[1] = ImaState();
    }

protected:
    bool Refill() override {
        if (channels_ < 1 || channels_ > 2) return false; // nothing to give: end the data
        SetDecoded(64 * static_cast<size_t>(channels_));
        for (unsigned c = 0; c < channels_; ++c) {
            uint8_t packet[34];
            if (source_.ReadBytes(packet, sizeof packet) < sizeof packet) return false;
            if (!ImaAppleDecodePacket(packet, state_[c], frames_.data() + c, channels_)) {
                Fail("Synchronization error.\n");
                return false;
            }
        }
        return true;
    }

private:
    unsigned channels_;
    ImaState state_[2];
};

} // namespace

const char* EncodingName(Encoding e) {
    switch (e) {
    case Encoding::PcmU8:
        return "pcm-u8";
    case Encoding::PcmS8:
        return "pcm-s8";
    case Encoding::PcmS16LE:
        return "pcm-s16le";
    case Encoding::PcmS16BE:
        return "pcm-s16be";
    case Encoding::MuLaw:
        return "mu-law";
    case Encoding::ALaw:
        return "a-law";
    case Encoding::ImaMs:
        return "ima-adpcm-ms";
    case Encoding::ImaApple:
        return "ima-adpcm-apple";
    }
    return "unknown";
}

std::string EncodingNote(Encoding e, unsigned channels) {
    const char* stereo = channels == 2 ? " (stereo)" : "";
    switch (e) {
    case Encoding::PcmU8:
        return "Encoding: 8-bit unsigned (excess-128) PCM\n";
    case Encoding::PcmS8:
        return "Encoding: 8-bit signed (two's complement) PCM\n";
    case Encoding::PcmS16LE:
        return "Encoding: 16-bit LSB PCM\n";
    case Encoding::PcmS16BE:
        return "Encoding: 16-bit MSB PCM\n";
    case Encoding::MuLaw:
        return "Encoding: ITU G.711 mu-Law\n";
    case Encoding::ALaw:
        return "Encoding: ITU G.711 A-Law\n";
    case Encoding::ImaMs:
        return std::string("Encoding: IMA ADPCM (Microsoft variant)") + stereo + "\n";
    case Encoding::ImaApple:
        return std::string("Encoding: IMA ADPCM (Apple variant)") + stereo + "\n";
    }
    return "Encoding: unknown\n";
}

void SampleDecoder::Warn(const char* text) {
    if (failure_) return; // nothing is decoded after the failure
    for (size_t i = 0; i < problemCount_; ++i)
        if (problems_[i] == text || std::strcmp(problems_[i], text) == 0) return;
    if (problemCount_ < kMaxProblems) problems_[problemCount_++] = text;
}

void SampleDecoder::Fail(const char* text) {
    if (failure_) return;
    failure_ = text;
    // The failure is always among the problems, last.
    if (problemCount_ == kMaxProblems) --problemCount_;
    problems_[problemCount_++] = text;
}

formats::Result SampleDecoder::Status() const {
    if (!failure_) return formats::Result();
    return formats::Result(formats::Code::Malformed, failure_);
}

formats::Result SampleDecoder::MinMaxSamplingRate(uint32_t*, uint32_t*) const {
    return formats::Result(formats::Code::Refused, "MinMaxSamplingRate undefined\n");
}

formats::Result SampleDecoder::MinMaxChannels(unsigned*, unsigned*) const {
    return formats::Result(formats::Code::Refused, "MinMaxChannels undefined\n");
}

size_t SampleDecoder::GetSamples(int16_t* out, size_t count) {
    if (BytesPerSample() == 2) return Decode(out, count);
    // Decode the bytes into the back half of the buffer, then widen from the front.
    uint8_t* bytes = reinterpret_cast<uint8_t*>(out) + count;
    const size_t n = Decode(bytes, count);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<int16_t>((bytes[i] - 128) * 256);
    return n;
}

std::unique_ptr<SampleDecoder> MakePcmOrG711Decoder(Encoding e, ByteSource& source) {
    switch (e) {
    case Encoding::PcmU8:
        return std::make_unique<Pcm8Decoder>(source, false);
    case Encoding::PcmS8:
        return std::make_unique<Pcm8Decoder>(source, true);
    case Encoding::PcmS16LE:
        return std::make_unique<Pcm16Decoder>(source, false);
    case Encoding::PcmS16BE:
        return std::make_unique<Pcm16Decoder>(source, true);
    case Encoding::MuLaw:
        return std::make_unique<G711Decoder>(source, true);
    case Encoding::ALaw:
        return std::make_unique<G711Decoder>(source, false);
    default:
        return nullptr;
    }
}

std::unique_ptr<SampleDecoder> MakeImaMsDecoder(ByteSource& source, unsigned channels,
                                                unsigned samplesPerBlock, size_t blockBytes) {
    return std::make_unique<ImaMsDecoder>(source, channels, samplesPerBlock, blockBytes);
}

std::unique_ptr<SampleDecoder> MakeImaAppleDecoder(ByteSource& source, unsigned channels) {
    return std::make_unique<ImaAppleDecoder>(source, channels);
}

const int16_t* MuLawTable() {
    return Tables().mu;
}
const int16_t* ALawTable() {
    return Tables().a;
}

uint64_t DecodedSamples(Encoding e, uint64_t bytes, unsigned channels, unsigned samplesPerBlock,
                        size_t blockBytes) {
    switch (e) {
    case Encoding::PcmU8:
    case Encoding::PcmS8:
    case Encoding::MuLaw:
    case Encoding::ALaw:
        return bytes;
    case Encoding::PcmS16LE:
    case Encoding::PcmS16BE:
        return bytes / 2;
    case Encoding::ImaMs: {
        if (blockBytes == 0 || channels == 0) return 0;
        return bytes / blockBytes * samplesPerBlock * channels;
    }
    case Encoding::ImaApple:
        if (channels == 0) return 0;
        return bytes / (34u * channels) * 64u * channels;
    }
    return 0;
}

} // namespace sound
