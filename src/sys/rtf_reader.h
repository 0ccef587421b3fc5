// The rich-text reader of the full-text index: turns an RTF document into its
// plain text the way a word processor's plain-text export does.
//
// - Each paragraph (\par) becomes one line ending in CR LF; a line break
//   (\line) and every table cell (\cell) end a line too, so each cell stands on
//   its own line, and a table row adds nothing further.
// - Destinations that hold no document text are skipped: the font, colour and
//   style tables, document information, pictures, headers and footers, list
//   labels, every ignorable destination ({\* ...}: field instructions,
//   bookmarks, footnotes, embedded object data) and binary data (\bin).
//   Field results and the result of embedded objects are text.
// - \'hh is a byte in the code page of the current font (its \fcharset or
//   \cpg), else in the document's code page (\ansicpg, \mac, \pc, \pca;
//   Windows-1252 without one). Consecutive bytes are decoded together, so
//   double-byte code pages work.
// - \uN is the Unicode character N (negative values count from 65536; two
//   halves of a surrogate pair give one character); the \ucN fallback
//   characters after it are skipped.
//
// The result is UTF-8. Malformed input never fails: unbalanced braces and
// truncated control words end or close what they can.
#pragma once

#include <string>
#include <string_view>

namespace dk {

std::string RtfToText(std::string_view rtf);

}  // namespace dk
