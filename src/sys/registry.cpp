#include "sys/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>

#include "sys/api_tools.h"
#include "sys/text.h"

namespace dk {

namespace {

// ---- text encodings -------------------------------------------------------

std::string Utf8ToUtf16Le(std::string_view text) {
  std::string out;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  int32_t i = 0;
  const auto n = static_cast<int32_t>(text.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) c = 0xFFFD;
    uint16_t units[2];
    int32_t len = 0;
    UBool error = false;
    U16_APPEND(units, len, 2, c, error);
    (void)error;  // two units always hold one code point
    for (int32_t k = 0; k < len; ++k) {
      out += static_cast<char>(units[k] & 0xFF);
      out += static_cast<char>(units[k] >> 8);
    }
  }
  return out;
}

// ---- key paths ------------------------------------------------------------

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string JoinPath(const std::vector<std::string>& parts) {
  std::string s;
  for (const auto& p : parts) {
    if (!s.empty()) s += '\\';
    s += p;
  }
  return s;
}

std::string NormalizePath(std::string_view path) {
  return JoinPath(SplitPath(path));
}

// Names compare as SameText compares them: the folded form (FoldedText, the
// fold of every comparison ignoring case) is the key of the hive's maps.
std::string FoldedPath(std::string_view path) {
  return FoldedText(NormalizePath(path));
}

bool IsRootName(std::string_view name, std::string_view rootName) {
  if (SameText(name, rootName)) return true;
  if (SameText(rootName, "HKEY_CURRENT_USER")) return SameText(name, "HKCU");
  if (SameText(rootName, "HKEY_LOCAL_MACHINE")) return SameText(name, "HKLM");
  return false;
}

// The names of every hive an export may hold; keys of the other hives are
// not this hive's business, a name outside this list is a fault of the file.
bool IsAnyRootName(std::string_view name) {
  for (const char* root :
       {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
        "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA", "HKLM", "HKCU", "HKCR", "HKU", "HKCC"})
    if (SameText(name, root)) return true;
  return false;
}

// ---- export file lines ----------------------------------------------------

// Reads a quoted text at `pos` (which holds the opening quote): "\\" and "\""
// are escapes, any other backslash stands for itself. Advances past the closing
// quote; false when there is none.
bool ReadQuoted(std::string_view line, size_t& pos, std::string& out) {
  out.clear();
  ++pos;
  while (pos < line.size()) {
    const char c = line[pos];
    if (c == '\\' && pos + 1 < line.size() && (line[pos + 1] == '\\' || line[pos + 1] == '"')) {
      out += line[pos + 1];
      pos += 2;
    } else if (c == '"') {
      ++pos;
      return true;
    } else {
      out += c;
      ++pos;
    }
  }
  return false;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view SkipBlanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimBlanksRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// What may follow a value or a key line: nothing, or a ';' comment with or
// without blanks before it. A '#' there is no comment (the registry editor
// refuses such a line).
bool OnlyCommentFollows(std::string_view rest) {
  rest = SkipBlanks(rest);
  return rest.empty() || rest[0] == ';';
}

bool StartsWithIgnoringCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && AsciiLower(s.substr(0, prefix.size())) == prefix;
}

// `digits` is 1 to `maxDigits` hexadecimal digits and nothing else.
bool ReadHexNumber(std::string_view digits, size_t maxDigits, uint32_t& value) {
  if (digits.empty() || digits.size() > maxDigits) return false;
  value = 0;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = value * 16 +
            static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
  }
  return true;
}

// Appends the bytes of one line's part of a hex value: numbers of one or two
// hexadecimal digits separated by commas, blanks allowed before a number, a
// comma allowed at the end. False on anything else.
bool AppendHexBytes(std::string_view part, std::string& out) {
  size_t i = 0;
  while (true) {
    while (i < part.size() && IsBlank(part[i])) ++i;
    if (i == part.size()) return true;
    const size_t start = i;
    while (i < part.size() && std::isxdigit(static_cast<unsigned char>(part[i]))) ++i;
    uint32_t byte = 0;
    if (!ReadHexNumber(part.substr(start, i - start), 2, byte)) return false;
    out += static_cast<char>(byte);
    if (i == part.size()) return true;
    if (part[i] != ',') return false;
    ++i;
  }
}

// Reads the data of a hex value: `part` is the text after "hex...:" on the
// value's line, `next` the index of the line after it; it is advanced past
// every line the value takes. A part may end with a comma and a backslash:
// the value goes on with the next line that is neither blank nor a ';'
// comment (a number is never split across lines). A '#' line or a key line
// there ends the value as unreadable and is read as what it is; the end of
// the file ends the value with what was read.
bool ReadHexData(std::string_view part, const std::vector<std::string>& lines, size_t& next,
                 std::string& out) {
  bool firstPart = true;
  while (true) {
    const size_t comment = part.find(';');
    if (comment != std::string_view::npos) part = part.substr(0, comment);
    part = TrimBlanksRight(part);
    const bool continues = !part.empty() && part.back() == '\\';
    if (continues) {
      part = TrimBlanksRight(part.substr(0, part.size() - 1));
      // Only the value's own line may break right after "hex:".
      if (part.empty() ? !firstPart : part.back() != ',') return false;
    }
    if (!AppendHexBytes(part, out)) return false;
    if (!continues) return true;
    while (true) {
      if (next >= lines.size()) return true;
      const std::string_view line = SkipBlanks(lines[next]);
      if (line.empty() || line[0] == ';') {
        ++next;
        continue;
      }
      if (line[0] == '#' || line[0] == '[') return false;
      part = line;
      ++next;
      firstPart = false;
      break;
    }
  }
}

// Texts of hex(2) and hex(7) values: UTF-16LE in version 5 files, ANSI bytes in
// REGEDIT4 files. Returned as UTF-8 without terminators; multi-string items
// separated by '\0'.
std::string DecodeHexText(const std::string& bytes, bool unicode, bool multi) {
  std::string text = unicode ? Utf16ToUtf8(bytes, false) : DecodeLegacyText(bytes);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (!multi) {
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
  }
  return text;
}

std::string HexList(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) s += ',';
    const auto b = static_cast<uint8_t>(bytes[i]);
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::string Escape(std::string_view text) {
  std::string s;
  for (char c : text) {
    if (c == '\\' || c == '"') s += '\\';
    s += c;
  }
  return s;
}

std::string DWordBytes(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

uint32_t DWordFromBytes(std::string_view s) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < s.size(); ++i)
    v |= static_cast<uint32_t>(static_cast<uint8_t>(s[i])) << (8 * i);
  return v;
}

std::mutex& HiveWriteLock() {
  static std::mutex lock;
  return lock;
}

// The bytes of a file; false with `error` set when it exists but cannot be
// read (no permission, a directory, an I/O error).
bool ReadWholeFile(const std::string& fileName, std::string& bytes, int& error) {
  bytes.clear();
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    ok = false;
  }
  if (ok && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  error = ok ? 0 : errno;
  ::close(fd);
  return ok;
}

// Reads the hive file of `root`; what it could not take goes to
// `diagnostics`. A missing file is an empty hive without a word.
THive LoadHiveFile(TRootKey root, THiveDiagnostics& diagnostics) {
  diagnostics = {};
  const std::string fileName = HiveFileName(root);
  const std::string prefix = "Registrierungsdatei \"" + fileName + "\"";
  const std::string ignored = "; ihre Einstellungen bleiben unberücksichtigt";
  std::string bytes;
  int error = 0;
  if (!ReadWholeFile(fileName, bytes, error)) {
    if (error != ENOENT && error != ENOTDIR)
      diagnostics.Unusable =
          prefix + " kann nicht gelesen werden (" + GetSystemErrorText(error) + ")" + ignored;
    return {};
  }
  std::vector<std::string> lines;
  std::string unusable;
  THive hive = THive::Parse(bytes, RootKeyName(root), &lines, &unusable);
  if (!unusable.empty())
    diagnostics.Unusable = prefix + " kann nicht gelesen werden: " + unusable + ignored;
  for (auto& line : lines) diagnostics.Lines.push_back(prefix + ", " + line);
  return hive;
}

// A file that is no hive is the administrator's to mend: a write must not
// replace it by a hive holding only what this program writes.
THive LoadHiveForWriting(TRootKey root) {
  THiveDiagnostics diagnostics;
  THive hive = LoadHiveFile(root, diagnostics);
  if (!diagnostics.Unusable.empty()) throw ERegistryException(diagnostics.Unusable);
  return hive;
}

void SaveHiveFile(TRootKey root, const THive& hive) {
  namespace fs = std::filesystem;
  const std::string fileName = HiveFileName(root);
  const fs::path dir = fs::path(fileName).parent_path();
  std::error_code ec;
  if (!dir.empty()) fs::create_directories(dir, ec);
  std::string tmpl = fileName + ".XXXXXX";
  const int fd = mkstemp(tmpl.data());
  if (fd < 0)
    throw ERegistryException("Registrierungsdatei kann nicht geschrieben werden: " + fileName);
  const std::string text = hive.Format(RootKeyName(root));
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && std::rename(tmpl.c_str(), fileName.c_str()) != 0) ok = false;
  if (!ok) {
    ::unlink(tmpl.c_str());
    throw ERegistryException("Registrierungsdatei kann nicht geschrieben werden: " + fileName);
  }
}

}  // namespace

// ---- THive ----------------------------------------------------------------

namespace {

// Where a line of the file stands: which key its values go to.
enum class TSection {
  None,        // before the first key
  Own,         // a key of this hive
  Foreign,     // a key of another hive: not this hive's business
  Deleted,     // "[-key]": its values are not taken
  Unreadable,  // a key line that cannot be read (reported itself)
};

struct TValueLine {
  TRegValue Value;
  bool Deletion = false;  // "name"=-
};

// Reads a value line (`line` begins with '"' or '@'); `next` is advanced past
// the continuation lines of a hex value. False when the line cannot be taken.
bool ParseValueLine(std::string_view line, const std::vector<std::string>& lines, size_t& next,
                    bool unicode, TValueLine& v) {
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ReadQuoted(line, pos, v.Value.Name)) {
    return false;
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return false;
  const std::string_view data = SkipBlanks(line.substr(pos + 1));
  if (data.empty()) return false;
  if (data[0] == '"') {
    size_t p = 0;
    if (!ReadQuoted(data, p, v.Value.Data) || !OnlyCommentFollows(data.substr(p))) return false;
    v.Value.Type = static_cast<uint32_t>(TRegDataType::String);
    return true;
  }
  if (data[0] == '-') {
    v.Deletion = true;
    return OnlyCommentFollows(data.substr(1));
  }
  if (StartsWithIgnoringCase(data, "dword:")) {
    const std::string_view rest = data.substr(6);
    size_t digits = 0;
    while (digits < rest.size() && std::isxdigit(static_cast<unsigned char>(rest[digits])))
      ++digits;
    uint32_t number = 0;
    if (!ReadHexNumber(rest.substr(0, digits), 8, number) ||
        !OnlyCommentFollows(rest.substr(digits)))
      return false;
    v.Value.Type = static_cast<uint32_t>(TRegDataType::DWord);
    v.Value.Data = DWordBytes(number);
    return true;
  }
  if (StartsWithIgnoringCase(data, "hex")) {
    std::string_view rest = data.substr(3);
    uint32_t type = static_cast<uint32_t>(TRegDataType::Binary);
    if (!rest.empty() && rest[0] == '(') {
      const size_t close = rest.find(')');
      if (close == std::string_view::npos || !ReadHexNumber(rest.substr(1, close - 1), 8, type))
        return false;
      rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest[0] != ':') return false;
    std::string bytes;
    if (!ReadHexData(rest.substr(1), lines, next, bytes)) return false;
    v.Value.Type = type;
    if (type == 1 || type == 2 || type == 7)
      v.Value.Data = DecodeHexText(bytes, unicode, type == 7);
    else
      v.Value.Data = std::move(bytes);
    return true;
  }
  return false;
}

// A line as a message quotes it: without leading blanks, at most 80
// characters.
std::string Quoted(std::string_view line) {
  const std::string s = Trim(line);
  return Utf8Length(s) > 80 ? Utf8Left(s, 80) + "..." : s;
}

}  // namespace

std::vector<const TRegValue*> THive::TKey::Values() const {
  std::vector<const TSlot*> slots;
  slots.reserve(FValues.size());
  for (const auto& [name, slot] : FValues) slots.push_back(&slot);
  std::sort(slots.begin(), slots.end(),
            [](const TSlot* a, const TSlot* b) { return a->Order < b->Order; });
  std::vector<const TRegValue*> values;
  values.reserve(slots.size());
  for (const TSlot* slot : slots) values.push_back(&slot->Value);
  return values;
}

const TRegValue* THive::TKey::FindValue(std::string_view name) const {
  const auto it = FValues.find(FoldedText(name));
  return it == FValues.end() ? nullptr : &it->second.Value;
}

void THive::TKey::SetValue(TRegValue value) {
  auto [it, added] = FValues.try_emplace(FoldedText(value.Name));
  if (added) {
    it->second.Order = FNextValueOrder++;
    it->second.Value = std::move(value);
  } else {
    it->second.Value.Type = value.Type;
    it->second.Value.Data = std::move(value.Data);
  }
}

bool THive::TKey::DeleteValue(std::string_view name) {
  return FValues.erase(FoldedText(name)) > 0;
}

THive THive::Parse(std::string_view bytes, std::string_view rootName,
                   std::vector<std::string>* problems, std::string* unusable) {
  std::string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE)
    text = Utf16ToUtf8(bytes.substr(2), false);
  else
    text = DecodeLegacyText(bytes);

  THive hive;
  const std::vector<std::string> lines = SplitLines(text);
  // An empty file is an empty hive; anything else must name its format on
  // the first line, or none of it is used (the registry editor imports
  // nothing from such a file).
  if (Trim(text).empty()) return hive;
  const std::string_view header = TrimBlanksRight(SkipBlanks(lines.front()));
  const bool unicode = header == "Windows Registry Editor Version 5.00";
  if (!unicode && header != "REGEDIT4") {
    if (unusable)
      *unusable = text.find('\0') == std::string::npos
                      ? "die erste Zeile ist nicht \"Windows Registry Editor Version 5.00\" "
                        "oder \"REGEDIT4\""
                  : bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0'
                      ? "die Datei sieht nach UTF-16 ohne Byte-Order-Mark aus"
                      : "die Datei enthält Nullbytes, sie ist keine Textdatei";
    return hive;
  }

  TSection section = TSection::None;
  TKey* current = nullptr;
  std::string sectionKey = "(keiner)";  // the key as messages name it
  bool sectionReported = false;         // values dropped in a section are named once
  const auto report = [&](size_t first, size_t last, std::string_view why) {
    if (!problems) return;
    std::string where = first == last
                            ? "Zeile " + std::to_string(first)
                            : "Zeilen " + std::to_string(first) + "-" + std::to_string(last);
    problems->push_back(where + ", Schlüssel " + sectionKey + ": " + std::string(why) + ": " +
                        Quoted(lines[first - 1]));
  };

  for (size_t next = 1; next < lines.size();) {
    const size_t lineNo = next + 1;
    const std::string_view line = SkipBlanks(lines[next]);
    ++next;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;

    if (line[0] == '[') {
      // The key name runs to the last ']'; a blank right after '[' and text
      // after ']' other than a ';' comment make the line unreadable.
      current = nullptr;
      section = TSection::Unreadable;
      sectionReported = false;
      sectionKey = std::string(TrimBlanksRight(line));
      const size_t close = line.rfind(']');
      if (close == std::string_view::npos) {
        report(lineNo, lineNo,
               "Schlüsselzeile ohne schließende Klammer, die Werte darunter werden übergangen");
        continue;
      }
      std::string_view inner = line.substr(1, close - 1);
      const bool deletion = !inner.empty() && inner[0] == '-';
      if (deletion) inner.remove_prefix(1);
      const size_t slash = inner.find('\\');
      const std::string_view root = inner.substr(0, slash);
      const std::string_view path =
          slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
      if (inner.empty() || IsBlank(inner[0]) || !OnlyCommentFollows(line.substr(close + 1)) ||
          !IsAnyRootName(root)) {
        report(lineNo, lineNo, "Schlüsselzeile nicht lesbar, die Werte darunter werden übergangen");
        continue;
      }
      sectionKey = std::string(inner);
      if (!IsRootName(root, rootName)) {
        section = TSection::Foreign;
      } else if (deletion) {
        section = TSection::Deleted;
        hive.DeleteKey(path);
      } else {
        section = TSection::Own;
        current = &hive.CreateKey(path);
        sectionKey =
            std::string(rootName) + (current->Path().empty() ? "" : "\\" + current->Path());
      }
      continue;
    }

    if (line[0] == '"' || line[0] == '@') {
      TValueLine v;
      const bool ok = ParseValueLine(line, lines, next, unicode, v);
      switch (section) {
        case TSection::Own:
          if (!ok)
            report(lineNo, next, "Wert nicht lesbar, übergangen");
          else if (v.Deletion)
            current->DeleteValue(v.Value.Name);
          else
            current->SetValue(std::move(v.Value));
          break;
        case TSection::None:
        case TSection::Deleted:
          if (!sectionReported)
            report(lineNo, next,
                   section == TSection::None ? "Werte vor dem ersten Schlüssel werden übergangen"
                                             : "Werte unter einem gelöschten Schlüssel werden "
                                               "übergangen");
          sectionReported = true;
          break;
        case TSection::Foreign:
        case TSection::Unreadable:
          break;
      }
      continue;
    }

    if (section != TSection::Foreign && section != TSection::Unreadable)
      report(lineNo, lineNo, "Zeile nicht lesbar, übergangen");
  }
  return hive;
}

std::string THive::Format(std::string_view rootName) const {
  std::vector<const TKey*> keys;
  keys.reserve(FKeys.size());
  for (const auto& [folded, key] : FKeys) keys.push_back(&key);
  std::sort(keys.begin(), keys.end(),
            [](const TKey* a, const TKey* b) { return a->FOrder < b->FOrder; });
  std::string s = "Windows Registry Editor Version 5.00\r\n";
  for (const TKey* key : keys) {
    s += "\r\n[";
    s += rootName;
    if (!key->Path().empty()) s += "\\" + key->Path();
    s += "]\r\n";
    for (const TRegValue* value : key->Values()) {
      const TRegValue& v = *value;
      s += v.Name.empty() ? std::string("@") : "\"" + Escape(v.Name) + "\"";
      s += '=';
      switch (v.Type) {
        case static_cast<uint32_t>(TRegDataType::String):
          s += "\"" + Escape(v.Data) + "\"";
          break;
        case static_cast<uint32_t>(TRegDataType::DWord): {
          char buf[16];
          std::snprintf(buf, sizeof buf, "dword:%08x", DWordFromBytes(v.Data));
          s += buf;
          break;
        }
        case static_cast<uint32_t>(TRegDataType::Binary):
          s += "hex:" + HexList(v.Data);
          break;
        case 2:
        case 7: {
          std::string bytes = Utf8ToUtf16Le(v.Data);
          bytes.append(v.Type == 7 ? 4 : 2, '\0');
          char buf[16];
          std::snprintf(buf, sizeof buf, "hex(%x):", v.Type);
          s += buf + HexList(bytes);
          break;
        }
        default: {
          char buf[16];
          std::snprintf(buf, sizeof buf, "hex(%x):", v.Type);
          s += buf + HexList(v.Data);
        }
      }
      s += "\r\n";
    }
  }
  return s;
}

const THive::TKey* THive::FindKey(std::string_view path) const {
  const auto it = FKeys.find(FoldedPath(path));
  return it == FKeys.end() ? nullptr : &it->second;
}

bool THive::KeyExists(std::string_view path) const {
  const std::string folded = FoldedPath(path);
  if (folded.empty() || FKeys.contains(folded)) return true;
  // Keys below it sort right after folded + "\" (other keys, such as
  // folded + " x", may come between the key and them).
  const std::string below = folded + "\\";
  const auto it = FKeys.lower_bound(below);
  return it != FKeys.end() && it->first.starts_with(below);
}

THive::TKey& THive::CreateKey(std::string_view path) {
  const std::string normal = NormalizePath(path);
  auto [it, added] = FKeys.try_emplace(FoldedText(normal));
  if (added) {
    it->second.FPath = normal;
    it->second.FOrder = FNextKeyOrder++;
  }
  return it->second;
}

bool THive::DeleteKey(std::string_view path) {
  const std::string folded = FoldedPath(path);
  if (folded.empty()) return false;
  bool deleted = FKeys.erase(folded) > 0;
  const std::string below = folded + "\\";
  auto it = FKeys.lower_bound(below);
  while (it != FKeys.end() && it->first.starts_with(below)) {
    it = FKeys.erase(it);
    deleted = true;
  }
  return deleted;
}

std::vector<std::string> THive::SubKeyNames(std::string_view path) const {
  const std::string folded = FoldedPath(path);
  const std::string below = folded.empty() ? std::string() : folded + "\\";
  const size_t depth = SplitPath(path).size();
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (auto it = FKeys.lower_bound(below); it != FKeys.end() && it->first.starts_with(below);
       ++it) {
    const auto parts = SplitPath(it->second.Path());
    if (parts.size() <= depth) continue;
    if (seen.insert(FoldedText(parts[depth])).second) names.push_back(parts[depth]);
  }
  return names;
}

// ---- hive files -----------------------------------------------------------

std::string_view RootKeyName(TRootKey root) {
  return root == TRootKey::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string HiveFileName(TRootKey root) {
  const std::string file = std::string(RootKeyName(root)) + ".reg";
  if (const char* dir = std::getenv("DOKALON_REGISTRY_DIR"); dir && *dir)
    return std::string(dir) + "/" + file;
  if (root == TRootKey::LocalMachine) return "/etc/dokalon/" + file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/dokalon/" + file;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config/dokalon/" + file;
}

// ---- TRegistry ------------------------------------------------------------

TRegistry::TRegistry(TRootKey root) : FRoot(root) {}

TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(TRootKey root) {
  CloseKey();
  FRoot = root;
}

std::string TRegistry::ResolvePath(std::string_view path) const {
  if (!path.empty() && path[0] == '\\') return NormalizePath(path);
  if (FOpen) return NormalizePath(FCurrentPath + "\\" + std::string(path));
  return NormalizePath(path);
}

void TRegistry::LoadHive() {
  FHive = LoadHiveFile(FRoot, FDiagnostics);
}

bool TRegistry::KeyExists(std::string_view path) {
  const std::string resolved = ResolvePath(path);
  if (!FOpen) LoadHive();
  return FHive.KeyExists(resolved);
}

bool TRegistry::OpenKeyReadOnly(std::string_view path) {
  const std::string resolved = ResolvePath(path);
  LoadHive();
  CloseKey();
  if (!FHive.KeyExists(resolved)) return false;
  FOpen = true;
  FWritable = false;
  FCurrentPath = resolved;
  return true;
}

bool TRegistry::OpenKey(std::string_view path, bool canCreate) {
  const std::string resolved = ResolvePath(path);
  CloseKey();
  std::lock_guard<std::mutex> guard(HiveWriteLock());
  LoadHive();
  if (!FHive.KeyExists(resolved)) {
    if (!canCreate || !FDiagnostics.Unusable.empty()) return false;
    FHive.CreateKey(resolved);
    try {
      SaveHiveFile(FRoot, FHive);
    } catch (const ERegistryException&) {
      return false;
    }
  }
  FOpen = true;
  FWritable = true;
  FCurrentPath = resolved;
  return true;
}

void TRegistry::CloseKey() {
  FOpen = false;
  FWritable = false;
  FCurrentPath.clear();
}

const TRegValue* TRegistry::FindValue(std::string_view name) const {
  if (!FOpen) return nullptr;
  const THive::TKey* key = FHive.FindKey(FCurrentPath);
  return key ? key->FindValue(name) : nullptr;
}

bool TRegistry::ValueExists(std::string_view name) const {
  return FindValue(name) != nullptr;
}

TRegDataType TRegistry::GetDataType(std::string_view name) const {
  const TRegValue* v = FindValue(name);
  return v ? static_cast<TRegDataType>(v->Type) : TRegDataType::None;
}

void TRegistry::GetValueNames(TStringList& names) const {
  names.Clear();
  if (!FOpen) return;
  if (const THive::TKey* key = FHive.FindKey(FCurrentPath))
    for (const TRegValue* v : key->Values()) names.Add(v->Name);
}

void TRegistry::GetKeyNames(TStringList& names) const {
  names.Clear();
  if (!FOpen) return;
  for (auto& n : FHive.SubKeyNames(FCurrentPath)) names.Add(n);
}

std::string TRegistry::ReadString(std::string_view name) const {
  const TRegValue* v = FindValue(name);
  if (!v) throw ERegistryException("Fehler beim Lesen der Daten von '" + std::string(name) + "'");
  if (v->Type != static_cast<uint32_t>(TRegDataType::String) &&
      v->Type != static_cast<uint32_t>(TRegDataType::ExpandString))
    throw ERegistryException("Ungültiger Datentyp für '" + std::string(name) + "'");
  return v->Data;
}

int TRegistry::ReadInteger(std::string_view name) const {
  const TRegValue* v = FindValue(name);
  if (!v) throw ERegistryException("Fehler beim Lesen der Daten von '" + std::string(name) + "'");
  if (v->Type != static_cast<uint32_t>(TRegDataType::DWord) || v->Data.size() != 4)
    throw ERegistryException("Ungültiger Datentyp für '" + std::string(name) + "'");
  return static_cast<int>(DWordFromBytes(v->Data));
}

bool TRegistry::ReadBool(std::string_view name) const {
  return ReadInteger(name) != 0;
}

std::string TRegistry::ReadBinaryData(std::string_view name) const {
  const TRegValue* v = FindValue(name);
  if (!v) throw ERegistryException("Fehler beim Lesen der Daten von '" + std::string(name) + "'");
  return v->Data;
}

void TRegistry::WriteValue(TRegValue value) {
  const std::string failed = "Fehler beim Setzen der Daten für '" + value.Name + "'";
  if (!FOpen || !FWritable) throw ERegistryException(failed);
  std::lock_guard<std::mutex> guard(HiveWriteLock());
  try {
    THive fresh = LoadHiveForWriting(FRoot);  // keep what others wrote since the key was opened
    fresh.CreateKey(FCurrentPath).SetValue(std::move(value));
    SaveHiveFile(FRoot, fresh);
    FHive = std::move(fresh);
  } catch (const ERegistryException&) {
    throw ERegistryException(failed);
  }
}

void TRegistry::WriteString(std::string_view name, std::string_view value) {
  WriteValue(TRegValue{std::string(name), static_cast<uint32_t>(TRegDataType::String),
                       std::string(value)});
}

void TRegistry::WriteExpandString(std::string_view name, std::string_view value) {
  WriteValue(TRegValue{std::string(name), static_cast<uint32_t>(TRegDataType::ExpandString),
                       std::string(value)});
}

void TRegistry::WriteInteger(std::string_view name, int value) {
  WriteValue(TRegValue{std::string(name), static_cast<uint32_t>(TRegDataType::DWord),
                       DWordBytes(static_cast<uint32_t>(value))});
}

void TRegistry::WriteBinaryData(std::string_view name, std::string_view bytes) {
  WriteValue(TRegValue{std::string(name), static_cast<uint32_t>(TRegDataType::Binary),
                       std::string(bytes)});
}

bool TRegistry::DeleteValue(std::string_view name) {
  if (!FOpen || !FWritable) return false;
  std::lock_guard<std::mutex> guard(HiveWriteLock());
  try {
    THive fresh = LoadHiveForWriting(FRoot);
    if (!fresh.FindKey(FCurrentPath) || !fresh.CreateKey(FCurrentPath).DeleteValue(name))
      return false;
    SaveHiveFile(FRoot, fresh);
    FHive = std::move(fresh);
    return true;
  } catch (const ERegistryException&) {
    return false;
  }
}

bool TRegistry::DeleteKey(std::string_view path) {
  const std::string resolved = ResolvePath(path);
  std::lock_guard<std::mutex> guard(HiveWriteLock());
  try {
    THive fresh = LoadHiveForWriting(FRoot);
    if (!fresh.DeleteKey(resolved)) return false;
    SaveHiveFile(FRoot, fresh);
    if (FOpen) FHive = std::move(fresh);
    return true;
  } catch (const ERegistryException&) {
    return false;
  }
}

}  // namespace dk
