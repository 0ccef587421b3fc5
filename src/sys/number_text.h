// Numbers read from texts, the one reading shared by the data access layer's
// fields and the Paradox engine's fields.
//
// Both accept blanks around the number and a leading "+" or "-"; the integer
// reading takes decimal digits only, the float reading also "1e5", "inf" and
// "nan". They differ in one rule, the decimal comma, which each caller names:
// a text that a user typed or the system wrote in German ("3,5") belongs to
// the data access layer's fields, which accept it; the Paradox engine reads
// an Alpha field as a number the way the legacy engine did, with "." only,
// and a "3,5" there is no number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace dk {

// Nothing for an empty text, anything but a decimal integer and a value
// outside the int64 range.
std::optional<int64_t> ParseInteger(std::string_view text);

enum class TDecimalComma {
  Rejected,  // "3,5" is no number
  Accepted   // "3,5" is 3.5 when the text has no "." and only this one ","
};

// Nothing for an empty text and anything but a decimal float.
std::optional<double> ParseFloat(std::string_view text, TDecimalComma comma);

}  // namespace dk
