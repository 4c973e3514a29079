#include "editing/field_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace editing {

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

uint64_t AddHeld(uint64_t a, uint64_t b) {
    return a > kMax - b ? kMax : a + b;
}

uint64_t MulHeld(uint64_t a, uint64_t b) {
    return b != 0 && a > kMax / b ? kMax : a * b;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

} // namespace

std::string FormatTime(uint64_t units, uint32_t unitsPerBeat, TimeStyle style) {
    if (unitsPerBeat == 0) unitsPerBeat = 1;
    const uint64_t beats = units / unitsPerBeat;
    const uint64_t rest = units % unitsPerBeat;
    std::string text = std::to_string(beats);
    if (style == TimeStyle::kColon) return text + ":" + std::to_string(rest);
    // rest < unitsPerBeat < 2^32, so rest × 1000 stays in 64 bits.
    const uint64_t thousandths = rest * 1000 / unitsPerBeat;
    std::string frac = std::to_string(thousandths);
    return text + "." + std::string(3 - frac.size(), '0') + frac;
}

std::optional<uint64_t> ParseTime(std::string_view text, uint32_t unitsPerBeat) {
    if (unitsPerBeat == 0) return std::nullopt;
    text = Trim(text);
    size_t i = 0;
    bool digits = false;
    uint64_t beats = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, digits = true)
        beats = AddHeld(MulHeld(beats, 10), uint64_t(text[i] - '0'));
    uint64_t units = MulHeld(beats, unitsPerBeat);
    if (i == text.size()) return digits ? std::optional<uint64_t>(units) : std::nullopt;
    const char separator = text[i++];
    if (separator == ':') {
        uint64_t extra = 0;
        for (; i < text.size() && IsDigit(text[i]); ++i, digits = true)
            extra = AddHeld(MulHeld(extra, 10), uint64_t(text[i] - '0'));
        units = AddHeld(units, extra);
    } else if (separator == '.') {
        // The fraction's first nine digits; later ones lie below a billionth of a beat.
        uint64_t numerator = 0, denominator = 1;
        for (; i < text.size() && IsDigit(text[i]); ++i, digits = true)
            if (denominator < 1000000000) {
                numerator = numerator * 10 + uint64_t(text[i] - '0');
                denominator *= 10;
            }
        units = AddHeld(units, numerator * unitsPerBeat / denominator);
    } else {
        return std::nullopt;
    }
    if (i != text.size() || !digits) return std::nullopt;
    return units;
}

std::optional<double> ParseNumber(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    // Only digits, a sign, a point and an exponent: no "inf", "nan" or hexadecimal forms.
    for (char c : text)
        if (!IsDigit(c) && c != '-' && c != '+' && c != '.' && c != 'e' && c != 'E')
            return std::nullopt;
    double value = 0.0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<int64_t> ParseInteger(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

std::string FormatNumber(double value, int decimals) {
    if (!std::isfinite(value)) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    std::string text = buf;
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    return text;
}

} // namespace editing
