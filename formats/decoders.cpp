#include "formats/decoders.h"

#include "platform/byte_cursor.h"

#include <algorithm>
#include <cmath>
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

// Reads until n bytes are in or the source has ended (a source may hand out fewer than asked
// before its end, so a sample is never split here).
size_t ReadFull(ByteSource& source, uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        const size_t k = source.ReadBytes(out + got, n - got);
        if (k == 0) break;
        got += k;
    }
    return got;
}

// One sample of a wide encoding as the 32-bit integer it is (24-bit samples shifted up by 8).
template <unsigned Bytes, bool Big> int32_t LoadInt(const uint8_t* p) {
    uint32_t u;
    if constexpr (Bytes == 3)
        u = Big ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8)
                : (uint32_t(p[2]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[0]) << 8);
    else
        u = Big ? platform::LoadBe32(p) : platform::LoadLe32(p);
    return static_cast<int32_t>(u);
}

template <bool Big> float LoadFloat(const uint8_t* p) {
    const uint32_t u = Big ? platform::LoadBe32(p) : platform::LoadLe32(p);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

template <bool Big> double LoadDouble(const uint8_t* p) {
    const uint64_t hi = Big ? platform::LoadBe32(p) : platform::LoadLe32(p + 4);
    const uint64_t lo = Big ? platform::LoadBe32(p + 4) : platform::LoadLe32(p);
    const uint64_t u = hi << 32 | lo;
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

// A single-precision sample rounded as RoundToPcm16 rounds it. The sample times 32768 has at
// most 24 significant bits, so adding 32768.5 is exact whenever the sum's fraction matters, and
// truncating the positive sum is the floor.
int16_t RoundFloat32(float f) {
    const double x = double(f) * 32768.0;
    if (!(x < 32767.0)) return x != x ? 0 : 32767;
    if (x <= -32768.0) return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(x + 32768.5) - 32768);
}

// 24- and 32-bit PCM and IEEE float of one or two channels, converted to 16 bits as they are
// read.
template <unsigned Bytes, bool Big, bool Float> class WideDecoder : public SampleDecoder {
public:
    WideDecoder(ByteSource& s, Encoding e) : SampleDecoder(s), encoding_(e) {}
    Encoding GetEncoding() const override { return encoding_; }
    size_t Decode(void* out, size_t count) override {
        int16_t* o = static_cast<int16_t*>(out);
        size_t done = 0;
        while (done < count) {
            const size_t want = count - done < kChunk ? count - done : kChunk;
            const size_t got = ReadFull(source_, raw_, want * Bytes);
            const size_t n = got / Bytes;
            const uint8_t* p = raw_;
            int16_t* d = o + done;
            for (size_t i = 0; i < n; ++i, p += Bytes) {
                if constexpr (!Float)
                    d[i] = RoundPcm32To16(LoadInt<Bytes, Big>(p));
                else if constexpr (Bytes == 4)
                    d[i] = RoundFloat32(LoadFloat<Big>(p));
                else
                    d[i] = RoundToPcm16(LoadDouble<Big>(p) * 32768.0);
            }
            done += n;
            if (n < want) break; // the end (a partial last sample is not a sample)
        }
        return done;
    }

private:
    static constexpr size_t kChunk = 4096;
    Encoding encoding_;
    uint8_t raw_[kChunk * Bytes];
};

std::unique_ptr<SampleDecoder> MakeWideDecoder(Encoding e, ByteSource& s) {
    switch (e) {
    case Encoding::PcmS24LE:
        return std::make_unique<WideDecoder<3, false, false>>(s, e);
    case Encoding::PcmS24BE:
        return std::make_unique<WideDecoder<3, true, false>>(s, e);
    case Encoding::PcmS32LE:
        return std::make_unique<WideDecoder<4, false, false>>(s, e);
    case Encoding::PcmS32BE:
        return std::make_unique<WideDecoder<4, true, false>>(s, e);
    case Encoding::Float32LE:
        return std::make_unique<WideDecoder<4, false, true>>(s, e);
    case Encoding::Float32BE:
        return std::make_unique<WideDecoder<4, true, true>>(s, e);
    case Encoding::Float64LE:
        return std::make_unique<WideDecoder<8, false, true>>(s, e);
    case Encoding::Float64BE:
        return std::make_unique<WideDecoder<8, true, true>>(s, e);
    default:
        return nullptr;
    }
}

// One sample of any plain encoding in 16-bit steps, unrounded.
using SampleValue = double (*)(const uint8_t*);
SampleValue ValueOf(Encoding e) {
    switch (e) {
    case Encoding::PcmU8:
        return [](const uint8_t* p) { return double((p[0] - 128) * 256); };
    case Encoding::PcmS8:
        return [](const uint8_t* p) { return double(int8_t(p[0]) * 256); };
    case Encoding::PcmS16LE:
        return [](const uint8_t* p) { return double(int16_t(platform::LoadLe16(p))); };
    case Encoding::PcmS16BE:
        return [](const uint8_t* p) { return double(int16_t(platform::LoadBe16(p))); };
    case Encoding::MuLaw:
        return [](const uint8_t* p) { return double(MuLawTable()[p[0]]); };
    case Encoding::ALaw:
        return [](const uint8_t* p) { return double(ALawTable()[p[0]]); };
    case Encoding::PcmS24LE:
        return [](const uint8_t* p) { return LoadInt<3, false>(p) / 65536.0; };
    case Encoding::PcmS24BE:
        return [](const uint8_t* p) { return LoadInt<3, true>(p) / 65536.0; };
    case Encoding::PcmS32LE:
        return [](const uint8_t* p) { return LoadInt<4, false>(p) / 65536.0; };
    case Encoding::PcmS32BE:
        return [](const uint8_t* p) { return LoadInt<4, true>(p) / 65536.0; };
    case Encoding::Float32LE:
        return [](const uint8_t* p) { return double(LoadFloat<false>(p)) * 32768.0; };
    case Encoding::Float32BE:
        return [](const uint8_t* p) { return double(LoadFloat<true>(p)) * 32768.0; };
    case Encoding::Float64LE:
        return [](const uint8_t* p) { return LoadDouble<false>(p) * 32768.0; };
    case Encoding::Float64BE:
        return [](const uint8_t* p) { return LoadDouble<true>(p) * 32768.0; };
    default:
        return nullptr;
    }
}

// Which side a WAVE speaker position feeds: 1 left, 2 right, 3 both, 0 neither; -1 for the
// positions the format leaves undefined.
int SideOfSpeaker(unsigned bit) {
    switch (bit) {
    case 0:  // front left
    case 4:  // back left
    case 6:  // front left of centre
    case 9:  // side left
    case 12: // top front left
    case 15: // top back left
        return 1;
    case 1:  // front right
    case 5:  // back right
    case 7:  // front right of centre
    case 10: // side right
    case 14: // top front right
    case 17: // top back right
        return 2;
    case 2:  // front centre
    case 8:  // back centre
    case 11: // top centre
    case 13: // top front centre
    case 16: // top back centre
        return 3;
    case 3: // low-frequency effects
        return 0;
    default:
        return -1;
    }
}

// More than two channels of a plain encoding, each frame mixed down to a left and a right
// 16-bit sample. A call may end between the two: the right one waits for the next call.
class MixdownDecoder : public SampleDecoder {
public:
    MixdownDecoder(ByteSource& s, const PlainLayout& l, SampleValue value)
        : SampleDecoder(s), encoding_(l.encoding), value_(value), channels_(l.channels),
          sampleBytes_(EncodedSampleBytes(l.encoding)), frameBytes_(sampleBytes_ * l.channels),
          framesPerChunk_(std::max<size_t>(1, kRawBytes / frameBytes_)),
          raw_(framesPerChunk_ * frameBytes_), side_(l.channels) {
        // The speaker positions of the channels in order: the mask's set bits, or the WAVE
        // order itself; past them, and for files without positions, left and right by turns.
        unsigned c = 0;
        if (l.channelMask != 0) {
            for (unsigned bit = 0; bit < 32 && c < channels_; ++bit)
                if (l.channelMask & (1u << bit)) side_[c++] = SideOfSpeaker(bit);
        } else if (l.waveSpeakerOrder) {
            for (; c < channels_ && c < 18; ++c) side_[c] = SideOfSpeaker(c);
        }
        for (; c < channels_; ++c) side_[c] = -1;
        for (unsigned i = 0; i < channels_; ++i) {
            if (side_[i] < 0) side_[i] = (i % 2 == 0) ? 1 : 2;
            if (side_[i] & 1) ++left_;
            if (side_[i] & 2) ++right_;
        }
    }
    Encoding GetEncoding() const override { return encoding_; }
    size_t Decode(void* out, size_t count) override {
        int16_t* o = static_cast<int16_t*>(out);
        size_t done = 0;
        if (count && pendingRight_) {
            o[done++] = rightSample_;
            pendingRight_ = false;
        }
        while (done < count) {
            size_t want = (count - done + 1) / 2;
            if (want > framesPerChunk_) want = framesPerChunk_;
            const size_t got = ReadFull(source_, raw_.data(), want * frameBytes_);
            const size_t frames = got / frameBytes_;
            const uint8_t* p = raw_.data();
            for (size_t f = 0; f < frames; ++f) {
                double l = 0.0, r = 0.0;
                for (unsigned c = 0; c < channels_; ++c, p += sampleBytes_) {
                    const double v = value_(p);
                    if (side_[c] & 1) l += v;
                    if (side_[c] & 2) r += v;
                }
                l = left_ ? l / left_ : r / right_;
                r = right_ ? r / right_ : l;
                o[done++] = RoundToPcm16(l);
                const int16_t rs = RoundToPcm16(r);
                if (done < count) {
                    o[done++] = rs;
                } else {
                    rightSample_ = rs;
                    pendingRight_ = true;
                }
            }
            if (frames < want) break;
        }
        return done;
    }
    void Reset() override { pendingRight_ = false; }

private:
    static constexpr size_t kRawBytes = 32768;
    Encoding encoding_;
    SampleValue value_;
    unsigned channels_;
    unsigned sampleBytes_;
    size_t frameBytes_;
    size_t framesPerChunk_;
    std::vector<uint8_t> raw_;
    std::vector<int> side_; // 1 left, 2 right, 3 both, 0 neither
    unsigned left_ = 0;
    unsigned right_ = 0;
    bool pendingRight_ = false;
    int16_t rightSample_ = 0;
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
    case Encoding::PcmS24LE:
        return "pcm-s24le";
    case Encoding::PcmS24BE:
        return "pcm-s24be";
    case Encoding::PcmS32LE:
        return "pcm-s32le";
    case Encoding::PcmS32BE:
        return "pcm-s32be";
    case Encoding::Float32LE:
        return "float32le";
    case Encoding::Float32BE:
        return "float32be";
    case Encoding::Float64LE:
        return "float64le";
    case Encoding::Float64BE:
        return "float64be";
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
    case Encoding::PcmS24LE:
        return "Encoding: 24-bit LSB PCM\n";
    case Encoding::PcmS24BE:
        return "Encoding: 24-bit MSB PCM\n";
    case Encoding::PcmS32LE:
        return "Encoding: 32-bit LSB PCM\n";
    case Encoding::PcmS32BE:
        return "Encoding: 32-bit MSB PCM\n";
    case Encoding::Float32LE:
        return "Encoding: 32-bit LSB IEEE floating point\n";
    case Encoding::Float32BE:
        return "Encoding: 32-bit MSB IEEE floating point\n";
    case Encoding::Float64LE:
        return "Encoding: 64-bit LSB IEEE floating point\n";
    case Encoding::Float64BE:
        return "Encoding: 64-bit MSB IEEE floating point\n";
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
        return MakeWideDecoder(e, source);
    }
}

bool IsPlainEncoding(Encoding e) {
    return EncodedSampleBytes(e) != 0;
}

unsigned EncodedSampleBytes(Encoding e) {
    switch (e) {
    case Encoding::PcmU8:
    case Encoding::PcmS8:
    case Encoding::MuLaw:
    case Encoding::ALaw:
        return 1;
    case Encoding::PcmS16LE:
    case Encoding::PcmS16BE:
        return 2;
    case Encoding::PcmS24LE:
    case Encoding::PcmS24BE:
        return 3;
    case Encoding::PcmS32LE:
    case Encoding::PcmS32BE:
    case Encoding::Float32LE:
    case Encoding::Float32BE:
        return 4;
    case Encoding::Float64LE:
    case Encoding::Float64BE:
        return 8;
    case Encoding::ImaMs:
    case Encoding::ImaApple:
        return 0;
    }
    return 0;
}

std::unique_ptr<SampleDecoder> MakePlainDecoder(const PlainLayout& layout, ByteSource& source) {
    if (!IsPlainEncoding(layout.encoding) || layout.channels == 0 ||
        layout.channels > kMaxMixedChannels)
        return nullptr;
    if (layout.channels <= 2) return MakePcmOrG711Decoder(layout.encoding, source);
    return std::make_unique<MixdownDecoder>(source, layout, ValueOf(layout.encoding));
}

int16_t RoundToPcm16(double x) {
    if (x != x) return 0;
    if (x >= 32767.0) return 32767;
    if (x <= -32768.0) return -32768;
    double f = std::floor(x);
    if (x - f >= 0.5) f += 1.0; // exact: x - floor(x) loses nothing below 2^52
    return static_cast<int16_t>(f);
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
    case Encoding::PcmS24LE:
    case Encoding::PcmS24BE:
    case Encoding::PcmS32LE:
    case Encoding::PcmS32BE:
    case Encoding::Float32LE:
    case Encoding::Float32BE:
    case Encoding::Float64LE:
    case Encoding::Float64BE:
        return bytes / EncodedSampleBytes(e);
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
