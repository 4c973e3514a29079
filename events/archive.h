// The document archive: little-endian binary serialization in the framework's conventions.
//
// Integers are little-endian; floats travel as their 32-bit pattern; strings carry a length
// prefix of one byte, or 0xFF then a 16-bit length, or 0xFF, 0xFFFF then a 32-bit length.
//
// A loading archive reads from a byte buffer it owns. Every read is bounds-checked: a read past
// the end, or a string longer than the bytes that remain, puts the archive in a failed state,
// returns zeros, and leaves it failed (as does a write into a loading archive); callers test
// Failed() (or the result of a read). No read allocates more than the bytes that remain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CArchive {
public:
    enum Mode { load, store };

    // A storing archive that writes into its own buffer.
    CArchive();
    // A loading archive over a copy of the bytes.
    CArchive(const void* data, size_t size);
    explicit CArchive(std::vector<uint8_t> bytes);

    // Reads the whole file into a loading archive; false (and *error set) when it cannot be read.
    static bool LoadFile(const std::string& path, CArchive& out, std::string* error = nullptr);
    // Writes what was stored to path through a temporary file renamed over it.
    bool SaveFile(const std::string& path, std::string* error = nullptr) const;

    bool IsStoring() const { return mode_ == store; }
    bool IsLoading() const { return mode_ == load; }

    bool Failed() const { return failed_; }
    void Fail() { failed_ = true; }
    bool AtEnd() const { return pos_ >= buf_.size(); }
    size_t Remaining() const { return pos_ < buf_.size() ? buf_.size() - pos_ : 0; }
    size_t Position() const { return pos_; }
    // Bytes stored so far (storing) or the whole input (loading).
    const std::vector<uint8_t>& Buffer() const { return buf_; }

    // Writing.
    void WriteU8(uint8_t v);
    void WriteU16(uint16_t v);
    void WriteU32(uint32_t v);
    void WriteI16(int16_t v) { WriteU16(static_cast<uint16_t>(v)); }
    void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }
    void WriteFloat(float v);
    void WriteDouble(double v);
    void WriteString(const std::string& s);
    void WriteBytes(const void* data, size_t n);

    // Reading; on failure each returns 0 (or empty) and the archive is failed.
    uint8_t ReadU8();
    uint16_t ReadU16();
    uint32_t ReadU32();
    int16_t ReadI16() { return static_cast<int16_t>(ReadU16()); }
    int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
    float ReadFloat();
    double ReadDouble();
    std::string ReadString();
    bool ReadBytes(void* out, size_t n);
    bool Skip(size_t n);

    // MFC-style stream operators for the common widths.
    CArchive& operator<<(uint8_t v) {
        WriteU8(v);
        return *this;
    }
    CArchive& operator<<(uint16_t v) {
        WriteU16(v);
        return *this;
    }
    CArchive& operator<<(int16_t v) {
        WriteI16(v);
        return *this;
    }
    CArchive& operator<<(uint32_t v) {
        WriteU32(v);
        return *this;
    }
    CArchive& operator<<(int32_t v) {
        WriteI32(v);
        return *this;
    }
    CArchive& operator<<(float v) {
        WriteFloat(v);
        return *this;
    }
    CArchive& operator<<(const std::string& v) {
        WriteString(v);
        return *this;
    }
    CArchive& operator>>(uint8_t& v) {
        v = ReadU8();
        return *this;
    }
    CArchive& operator>>(uint16_t& v) {
        v = ReadU16();
        return *this;
    }
    CArchive& operator>>(int16_t& v) {
        v = ReadI16();
        return *this;
    }
    CArchive& operator>>(uint32_t& v) {
        v = ReadU32();
        return *this;
    }
    CArchive& operator>>(int32_t& v) {
        v = ReadI32();
        return *this;
    }
    CArchive& operator>>(float& v) {
        v = ReadFloat();
        return *this;
    }
    CArchive& operator>>(std::string& v) {
        v = ReadString();
        return *this;
    }

private:
    bool Need(size_t n);
    bool CanWrite();

    Mode mode_;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    bool failed_ = false;
};
