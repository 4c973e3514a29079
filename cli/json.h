// A tiny JSON writer producing compact text (no spaces), for the command-line program.
//
// Strings are written as UTF-8: valid UTF-8 passes through, any other byte is taken as a
// Latin-1 character (the encoding older files used for names). Non-finite numbers become null.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

class JsonWriter {
public:
    JsonWriter& BeginObject() { return Open('{'); }
    JsonWriter& EndObject() { return Close('}'); }
    JsonWriter& BeginArray() { return Open('['); }
    JsonWriter& EndArray() { return Close(']'); }

    JsonWriter& Key(std::string_view key) {
        Separate();
        AppendString(key);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }
    JsonWriter& String(std::string_view s) {
        Separate();
        AppendString(s);
        return *this;
    }
    JsonWriter& Int(int64_t v) {
        Separate();
        out_ += std::to_string(v);
        return *this;
    }
    JsonWriter& UInt(uint64_t v) {
        Separate();
        out_ += std::to_string(v);
        return *this;
    }
    JsonWriter& Bool(bool v) {
        Separate();
        out_ += v ? "true" : "false";
        return *this;
    }
    JsonWriter& Null() {
        Separate();
        out_ += "null";
        return *this;
    }
    // The shortest text that reads back as the same float.
    JsonWriter& Float(float v) {
        Separate();
        if (!std::isfinite(v)) {
            out_ += "null";
            return *this;
        }
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, r.ptr);
        return *this;
    }
    JsonWriter& Double(double v) {
        Separate();
        if (!std::isfinite(v)) {
            out_ += "null";
            return *this;
        }
        char buf[40];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, r.ptr);
        return *this;
    }
    // Inserts text that is already JSON.
    JsonWriter& Raw(std::string_view json) {
        Separate();
        out_ += json;
        return *this;
    }

    const std::string& Text() const { return out_; }

private:
    JsonWriter& Open(char c) {
        Separate();
        out_ += c;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& Close(char c) {
        if (!first_.empty()) first_.pop_back();
        out_ += c;
        return *this;
    }
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
    static size_t Utf8Length(std::string_view s, size_t i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        if (n == 0 || (c >= 0xF5) || i + n > s.size()) return 0;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
        unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
        if (c == 0xE0 && c1 < 0xA0) return 0;  // overlong
        if (c == 0xED && c1 >= 0xA0) return 0; // surrogate
        if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
        if (c == 0xF4 && c1 >= 0x90) return 0; // beyond U+10FFFF
        return n;
    }
    void AppendString(std::string_view s) {
        out_ += '"';
        for (size_t i = 0; i < s.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c >= 0x80) {
                size_t n = Utf8Length(s, i);
                if (n > 0) {
                    out_.append(s.substr(i, n));
                    i += n - 1;
                } else {
                    out_ += static_cast<char>(0xC0 | (c >> 6));
                    out_ += static_cast<char>(0x80 | (c & 0x3F));
                }
                continue;
            }
            switch (c) {
            case '"':
                out_ += "\\\"";
                break;
            case '\\':
                out_ += "\\\\";
                break;
            case '\n':
                out_ += "\\n";
                break;
            case '\r':
                out_ += "\\r";
                break;
            case '\t':
                out_ += "\\t";
                break;
            case '\b':
                out_ += "\\b";
                break;
            case '\f':
                out_ += "\\f";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    static const char* hex = "0123456789abcdef";
                    out_ += "\\u00";
                    out_ += hex[c >> 4];
                    out_ += hex[c & 15];
                } else {
                    out_ += static_cast<char>(c);
                }
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

} // namespace cli
