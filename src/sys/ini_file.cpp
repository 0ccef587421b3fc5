#include "sys/ini_file.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "sys/text.h"

namespace dk {

TIniFile::TIniFile(const std::string& fileName) : FFileName(fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return;
  Parse(DecodeLegacyTextFile(bytes.str(), fileName));
}

TIniFile TIniFile::FromText(std::string_view text) {
  TIniFile ini;
  ini.Parse(text);
  return ini;
}

void TIniFile::Parse(std::string_view text) {
  TSection* current = nullptr;
  for (const std::string& raw : SplitLines(text)) {
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      std::string name = Trim(std::string_view(line).substr(1, line.size() - 2));
      const auto [it, added] = FSectionIndex.try_emplace(FoldedText(name), FSections.size());
      if (added) FSections.push_back(TSection{std::move(name), {}, {}});
      current = &FSections[it->second];
      continue;
    }
    if (!current) continue;  // lines before the first section
    const size_t eq = line.find('=');
    if (eq != std::string::npos) {
      std::string key = TrimRight(std::string_view(line).substr(0, eq));
      line = key + "=" + TrimLeft(std::string_view(line).substr(eq + 1));
      current->Keys.try_emplace(FoldedText(key), current->Lines.size());
    }
    current->Lines.push_back(std::move(line));
  }
}

const TIniFile::TSection* TIniFile::FindSection(std::string_view section) const {
  const auto it = FSectionIndex.find(FoldedText(section));
  return it == FSectionIndex.end() ? nullptr : &FSections[it->second];
}

std::optional<std::string> TIniFile::FindValue(std::string_view section,
                                               std::string_view key) const {
  const TSection* s = FindSection(section);
  if (!s) return std::nullopt;
  const auto it = s->Keys.find(FoldedText(key));
  if (it == s->Keys.end()) return std::nullopt;
  const std::string& line = s->Lines[it->second];
  return line.substr(line.find('=') + 1);
}

bool TIniFile::SectionExists(std::string_view section) const {
  return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return FindValue(section, key).has_value();
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
  auto v = FindValue(section, key);
  return v ? *v : std::string(defaultValue);
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
  auto v = FindValue(section, key);
  if (!v) return defaultValue;
  return ParseIniInteger(*v).value_or(defaultValue);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  auto v = FindValue(section, key);
  if (!v) return defaultValue;
  auto n = ParseIniInteger(*v);
  return n ? *n != 0 : defaultValue;
}

double TIniFile::ReadFloat(std::string_view section, std::string_view key,
                           double defaultValue) const {
  auto v = FindValue(section, key);
  if (!v) return defaultValue;
  return ParseIniFloat(*v).value_or(defaultValue);
}

void TIniFile::ReadSections(TStringList& sections) const {
  sections.Clear();
  for (const auto& s : FSections) sections.Add(s.Name);
}

void TIniFile::ReadSection(std::string_view section, TStringList& keys) const {
  keys.Clear();
  const TSection* s = FindSection(section);
  if (!s) return;
  for (const auto& line : s->Lines) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) keys.Add(line.substr(0, eq));
  }
}

void TIniFile::ReadSectionValues(std::string_view section, TStringList& lines) const {
  lines.Clear();
  const TSection* s = FindSection(section);
  if (!s) return;
  for (const auto& line : s->Lines) lines.Add(line);
}

std::optional<int> ParseIniInteger(std::string_view text) {
  std::string t = Trim(text);
  std::string_view s = t;
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s[0] == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (base == 16) {
    if (value > 0xFFFFFFFFull) return std::nullopt;
    auto v = static_cast<int32_t>(static_cast<uint32_t>(value));
    return negative ? static_cast<int>(-static_cast<int64_t>(v)) : v;
  }
  const int64_t signedValue = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  if (value > 0x80000000ull || signedValue > INT32_MAX || signedValue < INT32_MIN)
    return std::nullopt;
  return static_cast<int>(signedValue);
}

std::optional<double> ParseIniFloat(std::string_view text) {
  std::string t = Trim(text);
  for (char& c : t)
    if (c == ',') c = '.';
  if (t.empty()) return std::nullopt;
  const char* first = t.data();
  if (*first == '+') ++first;
  double value = 0;
  auto [end, ec] = std::from_chars(first, t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return value;
}

}  // namespace dk
