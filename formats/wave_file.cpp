#include "formats/wave_file.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace sound {
namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The largest data a RIFF file with a header of `start` bytes can describe.
uint64_t MaxData(uint64_t start) {
    return start >= 0xFFFFFFF0u ? 0 : 0xFFFFFFF0u - start;
}

} // namespace

CWaveFile::~CWaveFile() {
    Close();
}

void CWaveFile::Reset() {
    file_ = nullptr;
    writing_ = false;
    lastOp_ = 0;
    pos_ = 0;
    length_ = 0;
    dataStart_ = 0;
    hasFact_ = false;
    factSamples_ = 0;
    extra_.clear();
}

bool CWaveFile::OpenRead(const std::string& path) {
    Close();
    failed_ = false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    struct stat st {};
    if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    auto fail = [&] {
        std::fclose(f);
        return false;
    };
    uint8_t riff[12];
    if (std::fread(riff, 1, 12, f) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        return fail();
    const uint64_t riffEnd = std::min<uint64_t>(uint64_t(Le32(riff + 4)) + 8, size);
    // Walk the chunks of the RIFF body for "fmt ", "fact" and "data".
    uint64_t pos = 12;
    bool haveFmt = false;
    bool haveData = false;
    uint64_t dataStart = 0;
    uint32_t dataSize = 0;
    WAVEFORMATEX fmt;
    std::vector<uint8_t> extra;
    bool hasFact = false;
    uint32_t fact = 0;
    while (pos + 8 <= riffEnd && !haveData) {
        uint8_t h[8];
        if (::fseeko(f, static_cast<off_t>(pos), SEEK_SET) != 0 || std::fread(h, 1, 8, f) != 8)
            return fail();
        const uint32_t csize = Le32(h + 4);
        const uint64_t body = pos + 8;
        if (std::memcmp(h, "data", 4) == 0) {
            haveData = true;
            dataStart = body;
            dataSize = csize;
            break;
        }
        if (body + csize > size) return fail(); // a chunk beyond the file
        if (std::memcmp(h, "fmt ", 4) == 0 && !haveFmt) {
            if (csize < 16) return fail();
            uint8_t rec[16];
            if (std::fread(rec, 1, 16, f) != 16) return fail();
            fmt.wFormatTag = Le16(rec);
            fmt.nChannels = Le16(rec + 2);
            fmt.nSamplesPerSec = Le32(rec + 4);
            fmt.nAvgBytesPerSec = Le32(rec + 8);
            fmt.nBlockAlign = Le16(rec + 12);
            fmt.wBitsPerSample = Le16(rec + 14);
            fmt.cbSize = 0;
            if (csize > 17 && fmt.wFormatTag != kWaveFormatPcm) {
                uint8_t cb[2];
                if (std::fread(cb, 1, 2, f) != 2) return fail();
                uint16_t n = Le16(cb);
                if (n > csize - 18) n = 0;
                extra.resize(n);
                if (n && std::fread(extra.data(), 1, n, f) != n) return fail();
                fmt.cbSize = n;
            }
            haveFmt = true;
        } else if (std::memcmp(h, "fact", 4) == 0 && csize >= 4) {
            uint8_t v[4];
            if (std::fread(v, 1, 4, f) != 4) return fail();
            hasFact = true;
            fact = Le32(v);
        }
        pos = body + csize + (csize & 1);
    }
    if (!haveFmt || !haveData) return fail();
    if (fmt.nChannels != 1 && fmt.nChannels != 2) return fail();
    if (fmt.nSamplesPerSec == 0) return fail();
    if (fmt.wFormatTag == kWaveFormatPcm &&
        ((fmt.wBitsPerSample != 8 && fmt.wBitsPerSample != 16) ||
         fmt.nBlockAlign != fmt.wBitsPerSample / 8 * fmt.nChannels))
        return fail();
    // The readable length is the data chunk's, held to what the file holds: neither the pad
    // byte of an odd chunk nor any chunk after the data is sound.
    const uint64_t readable = std::min<uint64_t>(dataSize, size - dataStart);
    if (::fseeko(f, static_cast<off_t>(dataStart), SEEK_SET) != 0) return fail();

    file_ = f;
    path_ = path;
    kind_ = kRead;
    writing_ = false;
    lastOp_ = 1;
    format_ = fmt;
    extra_ = std::move(extra);
    dataStart_ = dataStart;
    pos_ = 0;
    length_ = static_cast<uint32_t>(std::min<uint64_t>(readable, 0xFFFFFFFFu));
    fileSize_ = size;
    hasFact_ = hasFact;
    factSamples_ = fact;
    const uint32_t align = fmt.nBlockAlign ? fmt.nBlockAlign : 1;
    const size_t rounded = 16384 / align * align;
    buffer_.resize(rounded != 0 ? rounded : 16384);
    std::setvbuf(f, buffer_.data(), _IOFBF, buffer_.size());
    return true;
}

bool CWaveFile::OpenWrite(const std::string& path, const WAVEFORMATEX& format,
                          const std::vector<uint8_t>& extra, uint32_t expected, Kind kind) {
    Close();
    failed_ = false;
    if (extra.size() > 0xFFFF) return false;
    std::FILE* f = std::fopen(path.c_str(), "w+b");
    if (!f) return false;
    file_ = f;
    path_ = path;
    kind_ = kind;
    writing_ = true;
    format_ = format;
    format_.cbSize = static_cast<uint16_t>(extra.size());
    extra_ = extra;
    hasFact_ = format.wFormatTag != kWaveFormatPcm;
    const uint32_t fmtSize = 18 + format_.cbSize;
    dataStart_ = 12 + 8 + fmtSize + (fmtSize & 1) + (hasFact_ ? 12 : 0) + 8;
    const uint32_t align = format.nBlockAlign ? format.nBlockAlign : 0;
    size_t bufSize = align ? 16384 / align * align : 16384;
    if (bufSize == 0) bufSize = 16384;
    buffer_.resize(bufSize);
    std::setvbuf(f, buffer_.data(), _IOFBF, buffer_.size());
    if (!WriteHeader(expected)) {
        std::fclose(f);
        ::unlink(path.c_str());
        Reset();
        return false;
    }
    lastOp_ = 2;
    pos_ = 0;
    length_ = 0;
    return true;
}

bool CWaveFile::WriteHeader(uint32_t dataSize) {
    std::vector<uint8_t> h;
    h.reserve(static_cast<size_t>(dataStart_));
    auto tag = [&](const char* four) {
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(four[i]));
    };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto u16 = [&](uint16_t v) {
        h.push_back(static_cast<uint8_t>(v));
        h.push_back(static_cast<uint8_t>(v >> 8));
    };
    const uint32_t fmtSize = 18 + format_.cbSize;
    const uint64_t riff = dataStart_ - 8 + dataSize + (dataSize & 1);
    tag("RIFF");
    u32(riff > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(riff));
    tag("WAVE");
    tag("fmt ");
    u32(fmtSize);
    u16(format_.wFormatTag);
    u16(format_.nChannels);
    u32(format_.nSamplesPerSec);
    u32(format_.nAvgBytesPerSec);
    u16(format_.nBlockAlign);
    u16(format_.wBitsPerSample);
    u16(format_.cbSize);
    for (uint8_t b : extra_) h.push_back(b);
    if (fmtSize & 1) h.push_back(0);
    if (hasFact_) {
        tag("fact");
        u32(4);
        u32(factSamples_);
    }
    tag("data");
    u32(dataSize);
    if (h.size() != dataStart_ || ::fseeko(file_, 0, SEEK_SET) != 0) return false;
    lastOp_ = 2;
    return std::fwrite(h.data(), 1, h.size(), file_) == h.size();
}

bool CWaveFile::Close() {
    if (!file_) return true;
    bool ok = !failed_;
    if (writing_) {
        ok = WriteHeader(length_) && ok;
        if (length_ & 1) { // the pad byte of an odd data chunk
            const uint8_t pad = 0;
            ok = ::fseeko(file_, static_cast<off_t>(dataStart_ + length_), SEEK_SET) == 0 &&
                 std::fwrite(&pad, 1, 1, file_) == 1 && ok;
        }
        ok = std::fflush(file_) == 0 && ok;
        const off_t end = static_cast<off_t>(dataStart_ + length_ + (length_ & 1));
        ok = ::ftruncate(fileno(file_), end) == 0 && ok;
        ok = std::ferror(file_) == 0 && ok;
    }
    ok = std::fclose(file_) == 0 && ok;
    Reset();
    return ok;
}

bool CWaveFile::PrepareFor(bool write) {
    const int op = write ? 2 : 1;
    if (lastOp_ == op) return true;
    if (::fseeko(file_, static_cast<off_t>(dataStart_ + pos_), SEEK_SET) != 0) {
        failed_ = true;
        return false;
    }
    lastOp_ = op;
    return true;
}

int CWaveFile::ReadByte() {
    uint8_t b;
    return Read(&b, 1) == 1 ? b : -1;
}

bool CWaveFile::WriteByte(uint8_t b) {
    return Write(&b, 1) == 1;
}

uint32_t CWaveFile::Read(void* buffer, uint32_t n) {
    if (!file_ || pos_ >= length_) return 0;
    if (n > length_ - pos_) n = length_ - pos_;
    if (!PrepareFor(false)) return 0;
    const size_t got = std::fread(buffer, 1, n, file_);
    pos_ += static_cast<uint32_t>(got);
    return static_cast<uint32_t>(got);
}

uint32_t CWaveFile::Write(const void* buffer, uint32_t n) {
    if (!file_ || !writing_) return 0;
    const uint64_t room = MaxData(dataStart_);
    if (pos_ >= room) return 0;
    if (n > room - pos_) n = static_cast<uint32_t>(room - pos_);
    if (!PrepareFor(true)) return 0;
    const size_t put = std::fwrite(buffer, 1, n, file_);
    if (put < n) failed_ = true;
    pos_ += static_cast<uint32_t>(put);
    if (pos_ > length_) length_ = pos_;
    return static_cast<uint32_t>(put);
}

bool CWaveFile::Seek(int64_t offset, bool relative) {
    if (!file_) return false;
    const int64_t target = relative ? int64_t(pos_) + offset : offset;
    if (target < 0) return false;
    if (writing_ ? uint64_t(target) > MaxData(dataStart_) : uint64_t(target) > length_)
        return false;
    if (::fseeko(file_, static_cast<off_t>(dataStart_ + uint64_t(target)), SEEK_SET) != 0)
        return false;
    pos_ = static_cast<uint32_t>(target);
    return true;
}

bool CWaveFile::SetLength(uint32_t n, bool fill) {
    if (!file_) return false;
    if (!writing_) {
        if (n > length_) return false;
        length_ = n;
        if (pos_ > length_) Seek(length_, false);
        return true;
    }
    if (n > MaxData(dataStart_)) return false;
    if (n > length_) {
        const uint32_t keep = pos_;
        const uint8_t silence =
            format_.wFormatTag == kWaveFormatPcm && format_.wBitsPerSample == 8 ? 0x80 : 0x00;
        if (!Seek(length_, false)) return false;
        if (fill) {
            uint8_t block[4096];
            std::memset(block, silence, sizeof block);
            uint32_t left = n - length_;
            while (left) {
                const uint32_t k = left < sizeof block ? left : uint32_t(sizeof block);
                if (Write(block, k) != k) return false;
                left -= k;
            }
        } else {
            // Without fill the new part is whatever the file holds there (zeros for a new file).
            if (!Seek(n, false)) return false;
            length_ = n;
        }
        return Seek(keep, false);
    }
    length_ = n;
    if (pos_ > length_) return Seek(length_, false);
    return true;
}

bool CWaveFile::SetFormat(const WAVEFORMATEX& format) {
    if (!writing_) return false;
    if (format.cbSize != format_.cbSize) return false;
    if ((format.wFormatTag != kWaveFormatPcm) != hasFact_) return false;
    format_ = format;
    return true;
}

} // namespace sound
