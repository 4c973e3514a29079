// The AU-style temporary file: a 28-byte big-endian header (".snd", header size 28, data size
// 0x7FFFFFFF, encoding 240 for unsigned 8-bit or 241 for signed 16-bit little-endian samples,
// rate, channels, 4 zero bytes), then the sample bytes exactly as the wave data holds them.
// Read and written at any position through a 32768-byte stream buffer.
#pragma once

#include "events/wave_format.h"
#include "formats/result.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sound {

constexpr uint32_t kAuTempHeaderSize = 28;
constexpr uint32_t kAuEncodingU8 = 240;
constexpr uint32_t kAuEncodingS16LE = 241;

class CAuTempFile {
public:
    CAuTempFile() = default;
    ~CAuTempFile();
    CAuTempFile(const CAuTempFile&) = delete;
    CAuTempFile& operator=(const CAuTempFile&) = delete;

    // Creates (or truncates) the file and writes the header for the format (8 or 16 bits):
    // CannotOpen or WriteFailed when it cannot.
    formats::Result Create(const std::string& path, const WAVEFORMATEX& format);
    // WriteFailed when a write or a read failed since the file was created.
    formats::Result Close();
    bool IsOpen() const { return file_ != nullptr; }
    const std::string& Path() const { return path_; }

    uint32_t ReadAt(uint64_t position, void* out, uint32_t n);
    uint32_t WriteAt(uint64_t position, const void* data, uint32_t n);
    uint32_t Length() const { return length_; }
    // Shrinks, or grows filling with `silence`.
    bool SetLength(uint32_t n, uint8_t silence);
    // Rewrites the header for a new format.
    bool SetFormat(const WAVEFORMATEX& format);
    // A write or read error happened (sticky until the next Create; Close reports it).
    bool Failed() const { return failed_; }

private:
    bool WriteHeader();
    bool Position(uint64_t at, int op);

    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    std::string path_;
    WAVEFORMATEX format_;
    uint32_t length_ = 0;
    uint64_t filePos_ = 0;
    int lastOp_ = 0;
    bool failed_ = false;
};

} // namespace sound
