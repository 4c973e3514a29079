#include "formats/au_temp_file.h"

#include <cstring>
#include <unistd.h>

namespace sound {
namespace {
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
constexpr uint64_t kMaxLength = 0x7FFFFFFFu; // what the header's data size promises at most
} // namespace

CAuTempFile::~CAuTempFile() {
    Close();
}

bool CAuTempFile::Create(const std::string& path, const WAVEFORMATEX& format) {
    Close();
    failed_ = false;
    std::FILE* f = std::fopen(path.c_str(), "w+b");
    if (!f) return false;
    file_ = f;
    buffer_.resize(32768);
    std::setvbuf(f, buffer_.data(), _IOFBF, buffer_.size());
    path_ = path;
    format_ = format;
    length_ = 0;
    if (!WriteHeader()) {
        std::fclose(f);
        file_ = nullptr;
        return false;
    }
    return true;
}

bool CAuTempFile::WriteHeader() {
    uint8_t h[kAuTempHeaderSize] = {};
    std::memcpy(h, ".snd", 4);
    PutBe32(h + 4, kAuTempHeaderSize);
    PutBe32(h + 8, 0x7FFFFFFFu);
    PutBe32(h + 12, format_.wBitsPerSample == 8 ? kAuEncodingU8 : kAuEncodingS16LE);
    PutBe32(h + 16, format_.nSamplesPerSec);
    PutBe32(h + 20, format_.nChannels);
    if (!Position(0, 2)) return false;
    const bool ok = std::fwrite(h, 1, sizeof h, file_) == sizeof h;
    filePos_ = ok ? sizeof h : 0;
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

bool CAuTempFile::Close() {
    if (!file_) return true;
    bool ok = !failed_ && std::fflush(file_) == 0 && std::ferror(file_) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    lastOp_ = 0;
    return ok;
}

uint32_t CAuTempFile::ReadAt(uint64_t position, void* out, uint32_t n) {
    if (!file_ || position >= length_) return 0;
    if (n > length_ - position) n = static_cast<uint32_t>(length_ - position);
    if (!Position(kAuTempHeaderSize + position, 1)) return 0;
    const size_t got = std::fread(out, 1, n, file_);
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
