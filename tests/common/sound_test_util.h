// Helpers shared by the sound tests: scratch folders, file bytes, little builders of sound files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace soundtest {

// A fresh folder removed when the object goes.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "dendra-sound-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        path_ = mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Byte builders.
struct Bytes {
    std::vector<uint8_t> b;
    Bytes& tag(const char* four) {
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(four[i]));
        return *this;
    }
    Bytes& le16(uint32_t v) {
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(v >> 8));
        return *this;
    }
    Bytes& le32(uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Bytes& be16(uint32_t v) {
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
        return *this;
    }
    Bytes& be32(uint32_t v) {
        for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Bytes& raw(const std::vector<uint8_t>& v) {
        for (uint8_t x : v) b.push_back(x);
        return *this;
    }
    Bytes& fill(size_t n, uint8_t v) {
        for (size_t i = 0; i < n; ++i) b.push_back(v);
        return *this;
    }
};

// A canonical PCM WAVE file.
inline std::vector<uint8_t> PcmWave(uint16_t channels, uint32_t rate, uint16_t bits,
                                    const std::vector<uint8_t>& data) {
    const uint16_t align = uint16_t(bits / 8 * channels);
    Bytes w;
    w.tag("RIFF").le32(uint32_t(36 + data.size() + (data.size() & 1))).tag("WAVE");
    w.tag("fmt ")
        .le32(16)
        .le16(1)
        .le16(channels)
        .le32(rate)
        .le32(rate * align)
        .le16(align)
        .le16(bits);
    w.tag("data").le32(uint32_t(data.size())).raw(data);
    if (data.size() & 1) w.fill(1, 0);
    return w.b;
}

inline bool HaveSox() {
    return std::system("command -v sox >/dev/null 2>&1") == 0;
}

} // namespace soundtest
