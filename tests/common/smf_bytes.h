// Hand-built Standard MIDI File bytes for the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include <unistd.h>

namespace smf {

using Bytes = std::vector<uint8_t>;

inline void Be32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
inline void Be16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
inline uint32_t ReadBe32(const Bytes& b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
           b[at + 3];
}
inline uint16_t ReadBe16(const Bytes& b, size_t at) {
    return uint16_t((b[at] << 8) | b[at + 1]);
}

inline Bytes Header(uint16_t format, uint16_t tracks, uint16_t division) {
    Bytes b{'M', 'T', 'h', 'd'};
    Be32(b, 6);
    Be16(b, format);
    Be16(b, tracks);
    Be16(b, division);
    return b;
}

// A track chunk around the given event bytes; `length` overrides the chunk length.
inline Bytes Track(const Bytes& events, int64_t length = -1) {
    Bytes b{'M', 'T', 'r', 'k'};
    Be32(b, length < 0 ? uint32_t(events.size()) : uint32_t(length));
    b.insert(b.end(), events.begin(), events.end());
    return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline const Bytes kEnd{0x00, 0xFF, 0x2F, 0x00};

inline void WriteFile(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh scratch directory for one test (per process, under the build folder).
inline std::string ScratchDir(const std::string& name) {
    auto dir = std::filesystem::path(DENDRA_BINARY_DIR) / "midi-scratch" /
               (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

} // namespace smf
