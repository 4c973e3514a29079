#include "formats/wave_file.h"

#include "platform/byte_cursor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace sound {
namespace {

using formats::Code;
using formats::Result;

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

Result CWaveFile::OpenRead(const std::string& path) {
    Close();
    failed_ = false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return Result(Code::CannotOpen, path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return Result(Code::CannotOpen, path + ": not a regular file");
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    auto fail = [&](Code code, const char* why) {
        std::fclose(f);
        return Result(code, why);
    };
    // Reads n bytes at the file's position into a cursor; a short read fails the cursor.
    uint8_t buf[18];
    auto read = [&](size_t n) {
        const size_t got = std::fread(buf, 1, n, f);
        platform::ByteReader r(buf, got);
        if (got < n) r.Fail();
        return r;
    };
    platform::ByteReader riff = read(12);
    if (!riff.Match("RIFF", 4)) return fail(Code::NotRecognized, "no RIFF chunk");
    const uint64_t riffEnd = std::min<uint64_t>(uint64_t(riff.Le32()) + 8, size);
    if (!riff.Match("WAVE", 4)) return fail(Code::NotRecognized, "not a RIFF WAVE file");
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
        if (::fseeko(f, static_cast<off_t>(pos), SEEK_SET) != 0)
            return fail(Code::ReadFailed, "cannot seek");
        platform::ByteReader h = read(8);
        const bool isData = h.Match("data", 4);
        const bool isFmt = !isData && h.Match("fmt ", 4);
        const bool isFact = !isData && !isFmt && h.Match("fact", 4);
        if (!isData && !isFmt && !isFact) h.Skip(4);
        const uint32_t csize = h.Le32();
        if (h.Failed()) return fail(Code::ReadFailed, "a chunk header cannot be read");
        const uint64_t body = pos + 8;
        if (isData) {
            haveData = true;
            dataStart = body;
            dataSize = csize;
            break;
        }
        if (body + csize > size) return fail(Code::Malformed, "a chunk runs past the end");
        if (isFmt && !haveFmt) {
            if (csize < 16) return fail(Code::Malformed, "the fmt chunk is too short");
            const bool extended = csize > 17;
            platform::ByteReader rec = read(extended ? 18 : 16);
            fmt.wFormatTag = rec.Le16();
            fmt.nChannels = rec.Le16();
            fmt.nSamplesPerSec = rec.Le32();
            fmt.nAvgBytesPerSec = rec.Le32();
            fmt.nBlockAlign = rec.Le16();
            fmt.wBitsPerSample = rec.Le16();
            fmt.cbSize = 0;
            if (extended && fmt.wFormatTag != kWaveFormatPcm) {
                uint16_t n = rec.Le16();
                if (n > csize - 18) n = 0;
                extra.resize(n);
                if (n && std::fread(extra.data(), 1, n, f) != n) rec.Fail();
                fmt.cbSize = n;
            }
            if (rec.Failed()) return fail(Code::ReadFailed, "the fmt chunk cannot be read");
            haveFmt = true;
        } else if (isFact && csize >= 4) {
            platform::ByteReader v = read(4);
            fact = v.Le32();
            if (v.Failed()) return fail(Code::ReadFailed, "the fact chunk cannot be read");
            hasFact = true;
        }
        pos = body + csize + (csize & 1);
    }
    if (!haveFmt) return fail(Code::Malformed, "no fmt chunk");
    if (!haveData) return fail(Code::Malformed, "no data chunk");
    if (fmt.nChannels != 1 && fmt.nChannels != 2)
        return fail(Code::Unsupported, "not 1 or 2 channels");
    if (fmt.nSamplesPerSec == 0) return fail(Code::Malformed, "a sample rate of 0");
    if (fmt.wFormatTag == kWaveFormatPcm &&
        ((fmt.wBitsPerSample != 8 && fmt.wBitsPerSample != 16) ||
         fmt.nBlockAlign != fmt.wBitsPerSample / 8 * fmt.nChannels))
        return fail(Code::Unsupported, "PCM other than 8 or 16 bits");
    // The readable length is the data chunk's, held to what the file holds: neither the pad
    // byte of an odd chunk nor any chunk after the data is sound.
    const uint64_t readable = std::min<uint64_t>(dataSize, size - dataStart);
    if (::fseeko(f, static_cast<off_t>(dataStart), SEEK_SET) != 0)
        return fail(Code::ReadFailed, "cannot seek");

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
    return Result();
}

Result CWaveFile::OpenWrite(const std::string& path, const WAVEFORMATEX& format,
                            const std::vector<uint8_t>& extra, uint32_t expected, Kind kind) {
    Close();
    failed_ = false;
    if (extra.size() > 0xFFFF) return Result(Code::Refused, "more than 65535 extra format bytes");
    std::FILE* f = std::fopen(path.c_str(), "w+b");
    if (!f) return Result(Code::CannotOpen, path + ": " + std::strerror(errno));
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
        return Result(Code::WriteFailed, path + ": the header cannot be written");
    }
    lastOp_ = 2;
    pos_ = 0;
    length_ = 0;
    return Result();
}

bool CWaveFile::WriteHeader(uint32_t dataSize) {
    std::vector<uint8_t> h;
    h.reserve(static_cast<size_t>(dataStart_));
    platform::ByteWriter w(h);
    const uint32_t fmtSize = 18 + format_.cbSize;
    const uint64_t riff = dataStart_ - 8 + dataSize + (dataSize & 1);
    w.Tag("RIFF").Le32(riff > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(riff)).Tag("WAVE");
    w.Tag("fmt ").Le32(fmtSize);
    w.Le16(format_.wFormatTag).Le16(format_.nChannels);
    w.Le32(format_.nSamplesPerSec).Le32(format_.nAvgBytesPerSec);
    w.Le16(format_.nBlockAlign).Le16(format_.wBitsPerSample).Le16(format_.cbSize);
    w.Bytes(extra_.data(), extra_.size());
    if (fmtSize & 1) w.U8(0);
    if (hasFact_) w.Tag("fact").Le32(4).Le32(factSamples_);
    w.Tag("data").Le32(dataSize);
    if (h.size() != dataStart_ || ::fseeko(file_, 0, SEEK_SET) != 0) return false;
    lastOp_ = 2;
    return std::fwrite(h.data(), 1, h.size(), file_) == h.size();
}

Result CWaveFile::Close() {
    if (!file_) return Result();
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
    const bool writing = writing_;
    const std::string path = path_;
    Reset();
    if (ok) return Result();
    return Result(writing ? Code::WriteFailed : Code::ReadFailed,
                  path + ": " + (writing ? "cannot be written" : "cannot be read"));
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
    if (got < n && std::ferror(file_)) failed_ = true;
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
