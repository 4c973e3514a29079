// The WAVE file layer: RIFF WAVE files read and written through a buffered file.
//
// Reading finds the "fmt " and "data" chunks inside the RIFF chunk; positions are bytes of sound
// data counted from the data start. Writing creates the file with a RIFF chunk, an 18-byte
// "fmt " record and its extra bytes, a "fact" chunk for compressed formats and a "data" chunk;
// closing completes the chunk sizes with what was actually written.
#pragma once

#include "events/wave_format.h"
#include "formats/result.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sound {

class CWaveFile {
public:
    enum Kind { kRead = 1, kWrite = 2, kTemporary = 8 };

    CWaveFile() = default;
    ~CWaveFile();
    CWaveFile(const CWaveFile&) = delete;
    CWaveFile& operator=(const CWaveFile&) = delete;

    // Kind 1. Fails when the file cannot be opened (CannotOpen), is no RIFF "WAVE" file
    // (NotRecognized), lacks a "fmt " or "data" chunk or has a chunk beyond the file (Malformed),
    // or holds what this layer cannot (Unsupported: a channel count other than 1 or 2, PCM other
    // than 8 or 16 bits). The object is then closed.
    formats::Result OpenRead(const std::string& path);
    // Kinds 2 and 8: creates (truncates) the file. `expected` is the data size written into the
    // headers until closing. A "fact" chunk with factSamples is written for non-PCM formats.
    formats::Result OpenWrite(const std::string& path, const WAVEFORMATEX& format,
                              const std::vector<uint8_t>& extra, uint32_t expected, Kind kind);
    // Completes a written file; WriteFailed when anything could not be written (ReadFailed when
    // a read failed on a file opened for reading). The object is closed afterwards either way.
    formats::Result Close();
    bool IsOpen() const { return file_ != nullptr; }
    bool IsWriting() const { return writing_; }
    Kind GetKind() const { return kind_; }
    const std::string& Path() const { return path_; }

    int ReadByte(); // -1 at the end
    bool WriteByte(uint8_t b);
    uint32_t Read(void* buffer, uint32_t n);
    uint32_t Write(const void* buffer, uint32_t n);
    // Positions are relative to the data start: absolute, or from the current position.
    bool Seek(int64_t offset, bool relative);
    uint32_t Tell() const { return pos_; }
    // Grows or shrinks the readable length; growing with fill writes silence (writing only).
    bool SetLength(uint32_t n, bool fill);
    uint32_t Length() const { return length_; }

    const WAVEFORMATEX& Format() const { return format_; }
    const std::vector<uint8_t>& Extra() const { return extra_; }
    // Writing: a new PCM format of the same header size, stored when the file is closed.
    bool SetFormat(const WAVEFORMATEX& format);
    // Frames named by a "fact" chunk (compressed data), when the file has one.
    bool HasFact() const { return hasFact_; }
    uint32_t FactSamples() const { return factSamples_; }
    void SetFactSamples(uint32_t n) { factSamples_ = n; }
    uint64_t DataStart() const { return dataStart_; }
    // A write or read error happened (sticky until the next open; Close reports it).
    bool Failed() const { return failed_; }

private:
    bool PrepareFor(bool write);
    bool WriteHeader(uint32_t dataSize);
    void Reset();

    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    std::string path_;
    Kind kind_ = kRead;
    bool writing_ = false;
    bool failed_ = false;
    int lastOp_ = 0; // 1 read, 2 write: the stream is re-positioned when the direction changes
    WAVEFORMATEX format_;
    std::vector<uint8_t> extra_;
    uint64_t dataStart_ = 0;
    uint32_t pos_ = 0;
    uint32_t length_ = 0;
    uint64_t fileSize_ = 0;
    bool hasFact_ = false;
    uint32_t factSamples_ = 0;
};

} // namespace sound
