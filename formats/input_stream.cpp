#include "formats/input_stream.h"

#include <cstring>
#include <sys/stat.h>

namespace sound {

bool InputStream::Skip(uint64_t n) {
    if (n > Left()) {
        Seek(Size());
        return false;
    }
    return Seek(Tell() + n);
}

FileInputStream::~FileInputStream() {
    if (file_) std::fclose(file_);
}

std::unique_ptr<FileInputStream> FileInputStream::Open(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return nullptr;
    struct stat st {};
    if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return nullptr;
    }
    std::unique_ptr<FileInputStream> s(new FileInputStream());
    s->file_ = f;
    s->size_ = static_cast<uint64_t>(st.st_size);
    s->buffer_.resize(32768);
    std::setvbuf(f, s->buffer_.data(), _IOFBF, s->buffer_.size());
    return s;
}

size_t FileInputStream::Read(void* out, size_t n) {
    const size_t got = std::fread(out, 1, n, file_);
    pos_ += got;
    return got;
}

bool FileInputStream::Seek(uint64_t position) {
    const bool inside = position <= size_;
    if (!inside) position = size_;
    if (::fseeko(file_, static_cast<off_t>(position), SEEK_SET) != 0) return false;
    pos_ = position;
    return inside;
}

size_t MemoryInputStream::Read(void* out, size_t n) {
    const size_t left = size_ - pos_;
    if (n > left) n = left;
    if (n) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return n;
}

bool MemoryInputStream::Seek(uint64_t position) {
    if (position > size_) {
        pos_ = size_;
        return false;
    }
    pos_ = static_cast<size_t>(position);
    return true;
}

} // namespace sound
