#include "formats/au_temp_file.h"

#include "platform/byte_cursor.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace sound {
namespace {
constexpr uint64_t kMaxLength = 0x7FFFFFFFu; // what the header's data size promises at most
} // namespace

CAuTempFile::~CAuTempFile() {
    Close();
}

formats::Result CAuTempFile::Create(const std::string& path, const WAVEFORMATEX& format) {
    Close();
    failed_ = false;
    std::FILE* f = std::fopen(path.c_str(), "w+b");
    if (!f) return formats::Result(formats::Code::CannotOpen, path + ": " + std::strerror(errno));
    file_ = f;
    buffer_.resize(32768);
    std::setvbuf(f, buffer_.data(), _IOFBF, buffer_.size());
    path_ = path;
    format_ = format;
    length_ = 0;
    if (!WriteHeader()) {
        std::fclose(f);
        file_ = nullptr;
        return formats::Result(formats::Code::WriteFailed, path + ": the header cannot be written");
    }
    return formats::Result();
}

bool CAuTempFile::WriteHeader() {
    std::vector<uint8_t> h;
    platform::ByteWriter(h)
        .Tag(".snd")
        .Be32(kAuTempHeaderSize)
        .Be32(0x7FFFFFFFu)
        .Be32(format_.wBitsPerSample == 8 ? kAuEncodingU8 : kAuEncodingS16LE)
        .Be32(format_.nSamplesPerSec)
        .Be32(format_.nChannels)
        .Fill(4, 0);
    if (!Position(0, 2)) return false;
    const bool ok = std::fwrite(h.data(), 1, h.size(), file_) == h.size();
    filePos_ = ok ? h.size() : 0;
    if (!ok) failed_ = true;
    return ok;
}

bool CAuTempFile::Position(uint64_t at, int op) {
    if (lastOp_ == op && filePos_ == at) return true;
    if (::fseeko(file_, static_cast<off_t>(at), SEEK_SET) != 0) {
        failed_ = true;
        return false;
    }
    filePos_ = at;
    lastOp_ = op;
    return true;
}

formats::Result CAuTempFile::Close() {
    if (!file_) return formats::Result();
    bool ok = !failed_ && std::fflush(file_) == 0 && std::ferror(file_) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    lastOp_ = 0;
    if (ok) return formats::Result();
    return formats::Result(formats::Code::WriteFailed, path_ + ": a read or a write failed");
}

uint32_t CAuTempFile::ReadAt(uint64_t position, void* out, uint32_t n) {
    if (!file_ || position >= length_) return 0;
    if (n > length_ - position) n = static_cast<uint32_t>(length_ - position);
    if (!Position(kAuTempHeaderSize + position, 1)) return 0;
    const size_t got = std::fread(out, 1, n, file_);
    if (got < n && std::ferror(file_)) failed_ = true;
    filePos_ += got;
    return static_cast<uint32_t>(got);
}

uint32_t CAuTempFile::WriteAt(uint64_t position, const void* data, uint32_t n) {
    if (!file_ || position > length_ || position >= kMaxLength) return 0;
    if (n > kMaxLength - position) n = static_cast<uint32_t>(kMaxLength - position);
    if (!Position(kAuTempHeaderSize + position, 2)) return 0;
    const size_t put = std::fwrite(data, 1, n, file_);
    if (put < n) failed_ = true;
    filePos_ += put;
    if (position + put > length_) length_ = static_cast<uint32_t>(position + put);
    return static_cast<uint32_t>(put);
}

bool CAuTempFile::SetLength(uint32_t n, uint8_t silence) {
    if (!file_ || n > kMaxLength) return false;
    if (n <= length_) {
        if (std::fflush(file_) != 0) return false;
        if (::ftruncate(fileno(file_), static_cast<off_t>(kAuTempHeaderSize + uint64_t(n))) != 0)
            return false;
        lastOp_ = 0; // the stream must be re-positioned
        length_ = n;
        return true;
    }
    uint8_t block[4096];
    std::memset(block, silence, sizeof block);
    while (length_ < n) {
        const uint32_t k = n - length_ < sizeof block ? n - length_ : uint32_t(sizeof block);
        if (WriteAt(length_, block, k) != k) return false;
    }
    return true;
}

bool CAuTempFile::SetFormat(const WAVEFORMATEX& format) {
    if (!file_) return false;
    format_ = format;
    return WriteHeader();
}

} // namespace sound
