// Text handling shared by every subsystem.
//
// Inside the program every text is UTF-8. Text from legacy files and tables is
// decoded where it enters: by a known code page, or (for legacy text files) as
// UTF-8 when it is valid UTF-8 and as Windows-1252 otherwise. Case mapping and
// comparisons ignoring case work on characters through ICU, never through the
// process locale.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

namespace dk {

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view s);

// Decodes a legacy text file's bytes: a UTF-8 BOM is dropped; valid UTF-8 stays
// as it is, anything else is read as Windows-1252.
std::string DecodeLegacyText(std::string_view bytes);

// Decodes the bytes of legacy text file `fileName` (a side file of an archive,
// a settings file) as DecodeLegacyText does, and drops its NUL bytes: no text
// of the system holds one, and a NUL would cut a value short wherever it goes
// on. A file that held any is reported once, naming it, through the notice
// handler below.
std::string DecodeLegacyTextFile(std::string_view bytes, const std::string& fileName);

// UTF-16 bytes without their BOM to UTF-8, little- or big-endian. An odd last
// byte is dropped, a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// Decodes the bytes of a document file that is read as text for the index
// (plain text, HTML, mail, prepared word files): a BOM names UTF-8, UTF-16LE
// or UTF-16BE; without one, valid UTF-8 stays as it is and anything else is
// read as Windows-1252, the text of a Windows machine. `cut` says that the
// bytes stop before the end of the file: a UTF-8 character cut off there is
// dropped rather than taking the whole text for Windows-1252.
std::string DecodeDocumentText(std::string_view bytes, bool cut);

// Where the notices of DecodeLegacyTextFile go (the error log installs itself
// here); without a handler they are dropped. Returns the previous handler.
using TTextFileNotice = void (*)(const std::string& message);
TTextFileNotice SetTextFileNoticeHandler(TTextFileNotice handler);

// Encodes one code point as UTF-8 and appends it.
void AppendUtf8(std::string& out, char32_t cp);

// A code page that turns legacy bytes into UTF-8. Single-byte code pages are
// decoded through a 256-entry table built once (this is the hot path of table
// reading); multi-byte code pages go through an ICU converter.
class TCodePage {
 public:
  // `codePage` is a Windows code page number (1252, 437, 850, 866, 1251, 936,
  // ...). Throws std::runtime_error when the platform does not know it.
  explicit TCodePage(int codePage);
  ~TCodePage();
  TCodePage(const TCodePage&) = delete;
  TCodePage& operator=(const TCodePage&) = delete;

  int Number() const { return FNumber; }
  bool IsSingleByte() const { return FSingleByte; }

  // Appends the decoded text of `bytes` to `out`.
  void Decode(std::string_view bytes, std::string& out) const;
  std::string Decode(std::string_view bytes) const;

  // True when the platform can decode code page `codePage`.
  static bool IsKnown(int codePage);
  // One instance per code page for the whole process (decoding is safe from
  // several threads), or nullptr when the platform does not know it.
  static const TCodePage* Shared(int codePage);

 private:
  int FNumber;
  bool FSingleByte = false;
  std::array<std::string, 256> FTable;
  struct TConverter;
  std::unique_ptr<TConverter> FConverter;
};

// Windows-1252 bytes to UTF-8.
std::string Cp1252ToUtf8(std::string_view bytes);
// UTF-8 to Windows-1252; characters without a 1252 byte become "?".
std::string Utf8ToCp1252(std::string_view text);

// Upper and lower case per character ("ä" -> "Ä"); invalid UTF-8 is decoded as
// Windows-1252 first.
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);

// Comparison ignoring case, per character. Returns <0, 0, >0.
int AnsiCompareText(std::string_view a, std::string_view b);
inline bool SameText(std::string_view a, std::string_view b) {
  return AnsiCompareText(a, b) == 0;
}
// The form under which names compare: SameText(a, b) holds exactly when
// FoldedText(a) == FoldedText(b). For keys of maps of names.
std::string FoldedText(std::string_view s);
// Comparison that respects case, by code point.
int AnsiCompareStr(std::string_view a, std::string_view b);

// Number of characters (code points) of a UTF-8 text.
size_t Utf8Length(std::string_view s);
// The first `count` characters of a UTF-8 text.
std::string Utf8Left(std::string_view s, size_t count);

// Whitespace and control characters (<= ' ') removed from both ends, as the
// system's Trim does.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// ASCII-only helpers for names of tables, columns and keys.
std::string AsciiUpper(std::string_view s);
std::string AsciiLower(std::string_view s);
// Equality ignoring ASCII case, without allocating.
bool AsciiSameText(std::string_view a, std::string_view b);

// Replaces every occurrence of `from` (exact case) by `to`.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace dk
