// The text of the editing models' fields: numbers, and times in beats.
//
// Times in beats as the user types and reads them (the song window's Start Time and Duration, and
// wherever a time in beats is shown): a value in units, at u units per beat, in one of two styles.
//   Colon style:   the whole beats, ":" and the remaining units (2500 at 1000 per beat: "2:500").
//   Decimal style: the whole beats, "." and the fraction of a beat to three digits, truncated
//                  ("2.500"; 2050 is "2.050").
// Reading: a whole number is whole beats; after ":" come units, after "." a fraction of a beat
// (u × the fraction, truncated). Either separator is read in either style, so a time typed in the
// other style means what it says. Spaces around the text are ignored; anything else (a sign, a
// letter, a second separator, no digit at all) is no time. Values too large for 64 bits are held
// at the largest value, so that callers hold them to their own ranges.
#pragma once

#include "editing/frame_settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace editing {

std::string FormatTime(uint64_t units, uint32_t unitsPerBeat, TimeStyle style);
// The units of a time text, or nothing when the text is no time (or unitsPerBeat is 0).
std::optional<uint64_t> ParseTime(std::string_view text, uint32_t unitsPerBeat);

// Numbers typed into a field: spaces around them are ignored; a finite decimal number (with an
// optional sign, fraction and exponent) is read, anything else is no number.
std::optional<double> ParseNumber(std::string_view text);
// A whole number (optional sign, digits); nothing for any other text or beyond 64 bits.
std::optional<int64_t> ParseInteger(std::string_view text);
// A number with at most `decimals` digits after the point, trailing zeros dropped ("9", "0.25").
std::string FormatNumber(double value, int decimals = 2);

} // namespace editing
