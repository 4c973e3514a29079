// Bytes in either byte order: loads and stores at a pointer, a bounds-checked reading cursor and
// an appending writer. The file formats and the archive assemble every multi-byte field through
// these, so a field is decoded the same way wherever it appears.
//
// ByteReader reads from bytes in memory that the caller keeps alive. Every read is checked
// against the end: the first read that finds too few bytes fails the cursor, returns 0 (or
// zero-fills), and leaves the position where it was; from then on every read returns 0 and
// Failed() stays true, so a parser may read a whole record and test once at the end.
//
// ByteWriter appends to a byte vector and patches fields already written (a length known only at
// the end); a patch outside what was written changes nothing and returns false.
//
// Header only and allocation-free apart from the writer's vector: usable on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace platform {

enum class ByteOrder { Little, Big };

// Loads and stores at p; the caller has checked that the bytes are there.
constexpr uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
constexpr uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
constexpr uint16_t LoadBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
constexpr uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
constexpr uint16_t Load16(const uint8_t* p, ByteOrder order) {
    return order == ByteOrder::Little ? LoadLe16(p) : LoadBe16(p);
}
constexpr uint32_t Load32(const uint8_t* p, ByteOrder order) {
    return order == ByteOrder::Little ? LoadLe32(p) : LoadBe32(p);
}

constexpr void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
constexpr void StoreBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}
    explicit ByteReader(const std::vector<uint8_t>& bytes)
        : ByteReader(bytes.data(), bytes.size()) {}

    uint8_t U8() {
        const uint8_t* p = Take(1);
        return p ? *p : 0;
    }
    uint16_t Le16() {
        const uint8_t* p = Take(2);
        return p ? LoadLe16(p) : 0;
    }
    uint32_t Le32() {
        const uint8_t* p = Take(4);
        return p ? LoadLe32(p) : 0;
    }
    uint16_t Be16() {
        const uint8_t* p = Take(2);
        return p ? LoadBe16(p) : 0;
    }
    uint32_t Be32() {
        const uint8_t* p = Take(4);
        return p ? LoadBe32(p) : 0;
    }
    uint16_t U16(ByteOrder order) {
        const uint8_t* p = Take(2);
        return p ? Load16(p, order) : 0;
    }
    uint32_t U32(ByteOrder order) {
        const uint8_t* p = Take(4);
        return p ? Load32(p, order) : 0;
    }
    // Copies n bytes to out; on failure out is zero-filled and false returned.
    bool Bytes(void* out, size_t n) {
        const uint8_t* p = Take(n);
        if (p && n) std::memcpy(out, p, n);
        if (!p && n) std::memset(out, 0, n);
        return p != nullptr;
    }
    // The next n bytes in place (valid while the bytes live); null on failure.
    const uint8_t* Span(size_t n) { return Take(n); }
    // True when the next bytes are the n bytes of `tag`; they are consumed only then. Never fails
    // the cursor (a tag that does not match, or does not fit, is an answer, not an error).
    bool Match(const char* tag, size_t n) {
        if (failed_ || n > size_ - pos_ || std::memcmp(data_ + pos_, tag, n) != 0) return false;
        pos_ += n;
        return true;
    }
    bool Skip(size_t n) { return Take(n) != nullptr; }
    // Moves to an absolute position; beyond the end fails the cursor.
    bool Seek(size_t position) {
        if (failed_ || position > size_) return Fail();
        pos_ = position;
        return true;
    }

    bool Failed() const { return failed_; }
    // Marks the data as wrong although every read fitted (a value out of range).
    bool Fail() {
        failed_ = true;
        return false;
    }
    size_t Position() const { return pos_; }
    size_t Size() const { return size_; }
    size_t Remaining() const { return size_ - pos_; }
    bool AtEnd() const { return pos_ == size_; }

private:
    const uint8_t* Take(size_t n) {
        if (failed_ || n > size_ - pos_) {
            failed_ = true;
            return nullptr;
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool failed_ = false;
};

class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    ByteWriter& U8(uint8_t v) {
        out_.push_back(v);
        return *this;
    }
    ByteWriter& Le16(uint16_t v) { return Put<2>(v, StoreLe16); }
    ByteWriter& Le32(uint32_t v) { return Put<4>(v, StoreLe32); }
    ByteWriter& Be16(uint16_t v) { return Put<2>(v, StoreBe16); }
    ByteWriter& Be32(uint32_t v) { return Put<4>(v, StoreBe32); }
    ByteWriter& U16(uint16_t v, ByteOrder order) {
        return order == ByteOrder::Little ? Le16(v) : Be16(v);
    }
    ByteWriter& U32(uint32_t v, ByteOrder order) {
        return order == ByteOrder::Little ? Le32(v) : Be32(v);
    }
    ByteWriter& Bytes(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        if (n) out_.insert(out_.end(), p, p + n);
        return *this;
    }
    // Four characters of a chunk or file tag, as written ("RIFF", "MTrk").
    ByteWriter& Tag(const char* four) { return Bytes(four, 4); }
    ByteWriter& Fill(size_t n, uint8_t v) {
        out_.insert(out_.end(), n, v);
        return *this;
    }

    // Patches written bytes at `at`.
    bool Le16At(size_t at, uint16_t v) { return PutAt<2>(at, v, StoreLe16); }
    bool Le32At(size_t at, uint32_t v) { return PutAt<4>(at, v, StoreLe32); }
    bool Be16At(size_t at, uint16_t v) { return PutAt<2>(at, v, StoreBe16); }
    bool Be32At(size_t at, uint32_t v) { return PutAt<4>(at, v, StoreBe32); }

    size_t Size() const { return out_.size(); }

private:
    template <size_t N, class V, class Store> ByteWriter& Put(V v, Store store) {
        uint8_t b[N];
        store(b, v);
        out_.insert(out_.end(), b, b + N);
        return *this;
    }
    template <size_t N, class V, class Store> bool PutAt(size_t at, V v, Store store) {
        if (at > out_.size() || N > out_.size() - at) return false;
        store(out_.data() + at, v);
        return true;
    }

    std::vector<uint8_t>& out_;
};

} // namespace platform
