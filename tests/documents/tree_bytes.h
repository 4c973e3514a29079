// Builds tree files byte by byte for tests (little-endian, archive strings).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace treebytes {

struct Bytes {
    std::vector<uint8_t> b;

    Bytes& U8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
    Bytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
    Bytes& F32(float f) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        return U32(v);
    }
    Bytes& Str(const std::string& s) { // short strings only
        U8(static_cast<uint8_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& Add(const Bytes& other) {
        b.insert(b.end(), other.b.begin(), other.b.end());
        return *this;
    }
    // A node's base record: name, start, duration.
    Bytes& Base(const std::string& name, uint32_t start, uint32_t duration) {
        return Str(name).U32(start).U32(duration);
    }
    // A Null branch: its type name and record.
    Bytes& NullBranch(uint32_t duration) { return Str("Null").Base("NULL", 0, duration); }
    // A MIDI event as the event store writes it.
    Bytes& Midi(uint8_t status, uint8_t d1, uint8_t d2, uint32_t time, uint32_t duration) {
        return U8(0).U8(status).U8(d1).U8(d2).U8(0).U32(time).U32(duration);
    }
    Bytes& Value(float v) { return U8(2).F32(v); }
    // An event store header; the events follow.
    Bytes& StoreHeader(uint32_t count, uint32_t length) {
        return U16(1).U32(count).U32(length).U8(1);
    }
};

// The head of a file: version, magic (versions 4 and up), solvable (versions 3 and up).
inline Bytes Header(uint32_t version, uint16_t solvable = 1, uint32_t magic = 71682) {
    Bytes h;
    h.U32(version);
    if (version > 3) h.U32(magic);
    if (version > 2) h.U16(solvable);
    return h;
}

} // namespace treebytes
