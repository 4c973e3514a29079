// A binary input for the sound-file readers: a file through a 32768-byte stream buffer, or
// bytes in memory (tests, fuzzers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace sound {

class InputStream {
public:
    virtual ~InputStream() = default;
    // Reads up to n bytes; fewer only at the end.
    virtual size_t Read(void* out, size_t n) = 0;
    // Moves to an absolute position (held to the size); false when beyond the end.
    virtual bool Seek(uint64_t position) = 0;
    virtual uint64_t Tell() const = 0;
    virtual uint64_t Size() const = 0;

    uint64_t Left() const { return Tell() < Size() ? Size() - Tell() : 0; }
    bool AtEnd() const { return Tell() >= Size(); }
    // Skips n bytes; false when the end came first (the position is then the end).
    bool Skip(uint64_t n);
};

class FileInputStream : public InputStream {
public:
    ~FileInputStream() override;
    // Null when the path cannot be opened as a regular file.
    static std::unique_ptr<FileInputStream> Open(const std::string& path);
    size_t Read(void* out, size_t n) override;
    bool Seek(uint64_t position) override;
    uint64_t Tell() const override { return pos_; }
    uint64_t Size() const override { return size_; }

private:
    FileInputStream() = default;
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
    std::vector<char> buffer_;
};

class MemoryInputStream : public InputStream {
public:
    // Keeps a view of the bytes; the caller keeps them alive.
    MemoryInputStream(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    size_t Read(void* out, size_t n) override;
    bool Seek(uint64_t position) override;
    uint64_t Tell() const override { return pos_; }
    uint64_t Size() const override { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace sound
