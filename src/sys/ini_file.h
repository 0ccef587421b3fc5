// INI files as the product reads them: local.ini, admin.ini, the connection
// settings files (".dkcs", ".aplcs") and the legacy field description file.
//
// The whole file is read once. Each line is trimmed; empty lines and lines that
// begin with ";" are skipped; "[name]" opens a section; lines before the first
// section are ignored. Other lines are key=value with the blanks around the
// first "=" removed; a line without "=" is kept as it stands (it shows up in
// whole-section reads, but it is no key). Section and key names compare
// ignoring case; when a key occurs twice in a section the first one counts, and
// a section that occurs twice is read as one. Texts are taken from after the
// "=" to the end of the line, quotes and all.
//
// Legacy text rules apply: UTF-8 when the file is valid UTF-8 (a BOM is
// dropped), Windows-1252 otherwise. A missing or unreadable file reads as an
// empty file; nothing here raises.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sys/string_list.h"

namespace dk {

class TIniFile {
 public:
  // An empty file.
  TIniFile() = default;
  // Reads `fileName` as DecodeLegacyTextFile decodes it (NUL bytes dropped
  // and reported); a file that does not exist or cannot be read is empty.
  explicit TIniFile(const std::string& fileName);

  // An INI text already in memory (UTF-8).
  static TIniFile FromText(std::string_view text);

  const std::string& FileName() const { return FFileName; }

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  // Decimal, or hexadecimal after "$", "0x" or "0X", optionally signed; a
  // value that is no 32-bit number gives the default.
  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
  // An integer: 0 is false, any other number true; anything else ("yes",
  // "true", empty) gives the default.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
  // A decimal fraction with "," or "." as the separator, optionally with an
  // exponent; anything else gives the default.
  double ReadFloat(std::string_view section, std::string_view key, double defaultValue) const;

  // The section names in file order.
  void ReadSections(TStringList& sections) const;
  // The key names of a section in file order (lines without "=" left out).
  void ReadSection(std::string_view section, TStringList& keys) const;
  // The lines of a section as they stand after trimming: "key=value", or the
  // plain text of a line without "=". Clears `lines` first.
  void ReadSectionValues(std::string_view section, TStringList& lines) const;

 private:
  struct TSection {
    std::string Name;
    std::vector<std::string> Lines;
    // Folded key -> index of its first line in Lines.
    std::unordered_map<std::string, size_t> Keys;
  };
  void Parse(std::string_view text);
  const TSection* FindSection(std::string_view section) const;
  std::optional<std::string> FindValue(std::string_view section, std::string_view key) const;

  std::string FFileName;
  std::vector<TSection> FSections;
  std::unordered_map<std::string, size_t> FSectionIndex;  // folded name -> index
};

// The number rules of INI files and the registry's DWORD texts, shared with the
// settings readers: decimal, or hexadecimal after "$", "0x" or "0X", with an
// optional sign and surrounding blanks. Hexadecimal values up to FFFFFFFF wrap
// into the 32-bit range as the original readers did.
std::optional<int> ParseIniInteger(std::string_view text);
std::optional<double> ParseIniFloat(std::string_view text);

}  // namespace dk
