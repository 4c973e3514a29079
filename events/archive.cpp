#include "events/archive.h"

#include "platform/atomic_file.h"
#include "platform/byte_cursor.h"

#include <cstdio>
#include <cstring>

CArchive::CArchive() : mode_(store) {}

CArchive::CArchive(const void* data, size_t size)
    : mode_(load),
      buf_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

CArchive::CArchive(std::vector<uint8_t> bytes) : mode_(load), buf_(std::move(bytes)) {}

bool CArchive::LoadFile(const std::string& path, CArchive& out, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!platform::ReadWholeFile(path, bytes, error)) return false;
    out = CArchive(std::move(bytes));
    return true;
}

bool CArchive::SaveFile(const std::string& path, std::string* error) const {
    return platform::WriteFileAtomically(path, buf_.data(), buf_.size(), error);
}

bool CArchive::Need(size_t n) {
    if (failed_ || mode_ != load || n > Remaining()) {
        failed_ = true;
        return false;
    }
    return true;
}

bool CArchive::CanWrite() {
    // A loading archive is never written into: its buffer is the input being read.
    if (mode_ == store) return true;
    failed_ = true;
    return false;
}

void CArchive::WriteU8(uint8_t v) {
    if (CanWrite()) buf_.push_back(v);
}

void CArchive::WriteU16(uint16_t v) {
    if (CanWrite()) platform::ByteWriter(buf_).Le16(v);
}

void CArchive::WriteU32(uint32_t v) {
    if (CanWrite()) platform::ByteWriter(buf_).Le32(v);
}

void CArchive::WriteFloat(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    WriteU32(bits);
}

void CArchive::WriteDouble(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    WriteU32(static_cast<uint32_t>(bits));
    WriteU32(static_cast<uint32_t>(bits >> 32));
}

void CArchive::WriteString(const std::string& s) {
    const size_t n = s.size();
    if (n < 0xFF) {
        WriteU8(static_cast<uint8_t>(n));
    } else if (n < 0xFFFE) {
        // 0xFFFE is the marker of a wide string in the framework's layout, so the 16-bit
        // form stops one short of it.
        WriteU8(0xFF);
        WriteU16(static_cast<uint16_t>(n));
    } else {
        WriteU8(0xFF);
        WriteU16(0xFFFF);
        WriteU32(static_cast<uint32_t>(n));
    }
    WriteBytes(s.data(), n);
}

void CArchive::WriteBytes(const void* data, size_t n) {
    if (n == 0 || !CanWrite()) return;
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + n);
}

uint8_t CArchive::ReadU8() {
    if (!Need(1)) return 0;
    return buf_[pos_++];
}

uint16_t CArchive::ReadU16() {
    if (!Need(2)) return 0;
    const uint16_t v = platform::LoadLe16(buf_.data() + pos_);
    pos_ += 2;
    return v;
}

uint32_t CArchive::ReadU32() {
    if (!Need(4)) return 0;
    const uint32_t v = platform::LoadLe32(buf_.data() + pos_);
    pos_ += 4;
    return v;
}

float CArchive::ReadFloat() {
    uint32_t bits = ReadU32();
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

double CArchive::ReadDouble() {
    uint64_t lo = ReadU32();
    uint64_t hi = ReadU32();
    uint64_t bits = lo | (hi << 32);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

std::string CArchive::ReadString() {
    uint32_t n = ReadU8();
    if (n == 0xFF) {
        n = ReadU16();
        if (n == 0xFFFE) {
            // A wide string: its length prefix follows again; characters are two bytes each.
            uint32_t wn = ReadU8();
            if (wn == 0xFF) {
                wn = ReadU16();
                if (wn == 0xFFFF) wn = ReadU32();
            }
            if (failed_ || wn > Remaining() / 2) {
                failed_ = true;
                return {};
            }
            std::string s;
            s.reserve(wn);
            for (uint32_t i = 0; i < wn; ++i) {
                uint16_t c = ReadU16();
                s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
            }
            return s;
        }
        if (n == 0xFFFF) n = ReadU32();
    }
    if (failed_ || n > Remaining()) {
        failed_ = true;
        return {};
    }
    std::string s(reinterpret_cast<const char*>(buf_.data() + pos_), n);
    pos_ += n;
    return s;
}

bool CArchive::ReadBytes(void* out, size_t n) {
    if (!Need(n)) {
        if (n) std::memset(out, 0, n);
        return false;
    }
    if (n) std::memcpy(out, buf_.data() + pos_, n);
    pos_ += n;
    return true;
}

bool CArchive::Skip(size_t n) {
    if (!Need(n)) return false;
    pos_ += n;
    return true;
}
