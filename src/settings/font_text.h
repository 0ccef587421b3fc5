// Font texts, the format of the MenuFont and FormFont settings: up to six
// fields separated by "," or ";", each trimmed: name, size in points, style
// (the letters B, I, U, S anywhere, in either case), pitch (0 default,
// 1 variable, 2 fixed), colour (a colour name such as clWindowText or a number
// such as $000000FF) and character set. Empty trailing fields may be left out.
#pragma once

#include <string>
#include <string_view>

#include "ui/controls.h"

namespace dk {

// Applies a font text to `font` field by field; a field that is no number
// keeps the font's value, an empty name field keeps the name. An invalid
// colour raises std::invalid_argument after the fields before it have been
// applied. The font signals exactly one change, also when it raises.
void FontFromText(std::string_view text, TFont& font);

// The token from `pos` (1-based, updated) up to the next character of
// `delimiters` (excluded); `pos` moves past the delimiter, or to the end plus
// one when there is none. Two delimiters in a row give an empty token; a text
// that ends with a delimiter gives no further empty token.
std::string NextToken(std::string_view text, int& pos, std::string_view delimiters);

// Bold for "B", italic for "I", underline for "U", strike-out for "S",
// anywhere in the field, in either case: "Underline" is underline and italic.
TFontStyles StyleFromText(std::string_view field);

}  // namespace dk
