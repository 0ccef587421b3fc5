#include "sys/registry.h"

#include <fcntl.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

#include "sys/text.h"

namespace dk {

namespace {

// ---- text encodings -------------------------------------------------------

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  std::vector<uint16_t> units(bytes.size() / 2);
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                     (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  int32_t i = 0;
  const auto n = static_cast<int32_t>(units.size());
  while (i < n) {
    UChar32 c;
    U16_NEXT(units.data(), i, n, c);
    if (U_IS_SURROGATE(c)) c = 0xFFFD;  // a lone surrogate never travels further
    AppendUtf8(out, static_cast<char32_t>(c));
  }
  return out;
}

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

// True when `inner` is `outer` or lies below it; `strictlyBelow` asks for the
// latter. Components compare ignoring case.
bool PathWithin(const std::vector<std::string>& inner, const std::vector<std::string>& outer,
                bool strictlyBelow) {
  if (inner.size() < outer.size() || (strictlyBelow && inner.size() == outer.size())) return false;
  for (size_t i = 0; i < outer.size(); ++i)
    if (!SameText(inner[i], outer[i])) return false;
  return true;
}

bool IsRootName(std::string_view name, std::string_view rootName) {
  if (SameText(name, rootName)) return true;
  if (SameText(rootName, "HKEY_CURRENT_USER")) return SameText(name, "HKCU");
  if (SameText(rootName, "HKEY_LOCAL_MACHINE")) return SameText(name, "HKLM");
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

bool ParseHexBytes(std::string_view text, std::string& out) {
  out.clear();
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == '\\' || c == ' ' || c == '\t') {
      if (!digits.empty()) {
        if (digits.size() > 2) return false;
        out += static_cast<char>(std::stoi(digits, nullptr, 16));
        digits.clear();
      }
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (!digits.empty()) {
    if (digits.size() > 2) return false;
    out += static_cast<char>(std::stoi(digits, nullptr, 16));
  }
  return true;
}

// Texts of hex(2) and hex(7) values: UTF-16LE in version 5 files, ANSI bytes in
// REGEDIT4 files. Returned as UTF-8 without terminators; multi-string items
// separated by '\0'.
std::string DecodeHexText(const std::string& bytes, bool unicode, bool multi) {
  std::string text = unicode ? Utf16LeToUtf8(bytes) : DecodeLegacyText(bytes);
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

std::string ReadWholeFile(const std::string& fileName, bool& ok) {
  std::ifstream in(fileName, std::ios::binary);
  ok = static_cast<bool>(in);
  if (!in) return {};
  std::ostringstream s;
  s << in.rdbuf();
  ok = !in.bad();
  return s.str();
}

THive LoadHiveFile(TRootKey root) {
  bool ok = false;
  const std::string bytes = ReadWholeFile(HiveFileName(root), ok);
  if (!ok) return {};
  return THive::Parse(bytes, RootKeyName(root));
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

THive THive::Parse(std::string_view bytes, std::string_view rootName) {
  std::string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE)
    text = Utf16LeToUtf8(bytes.substr(2));
  else
    text = DecodeLegacyText(bytes);

  THive hive;
  bool unicode = true;  // hex(2)/hex(7) bytes are UTF-16LE unless the file says REGEDIT4
  TKey* current = nullptr;
  bool skipping = true;  // no key yet, or a key of another hive
  const std::vector<std::string> lines = SplitLines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = Trim(lines[i]);
    // Binary values continue on the next line after a trailing backslash.
    if (line.find("=hex") != std::string::npos) {
      while (!line.empty() && line.back() == '\\' && i + 1 < lines.size())
        line = line.substr(0, line.size() - 1) + Trim(lines[++i]);
    }
    if (line.empty() || line[0] == ';') continue;
    if (line == "REGEDIT4") {
      unicode = false;
      continue;
    }
    if (line.front() == '[') {
      current = nullptr;
      skipping = true;
      if (line.back() != ']' || (line.size() > 1 && line[1] == '-')) continue;
      const std::string inner = line.substr(1, line.size() - 2);
      const size_t slash = inner.find('\\');
      const std::string root = inner.substr(0, slash);
      if (!IsRootName(root, rootName)) continue;
      const std::string path = slash == std::string::npos ? std::string() : inner.substr(slash + 1);
      current = &hive.CreateKey(path);
      skipping = false;
      continue;
    }
    if (skipping || !current) continue;

    TRegValue value;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      if (!ReadQuoted(line, pos, value.Name)) continue;
    } else {
      continue;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') continue;
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const std::string_view data = std::string_view(line).substr(pos);
    if (!data.empty() && data[0] == '"') {
      size_t p = pos;
      if (!ReadQuoted(line, p, value.Data)) continue;
      if (!Trim(std::string_view(line).substr(p)).empty()) continue;
      value.Type = static_cast<uint32_t>(TRegDataType::String);
    } else if (data.size() > 6 && AsciiLower(data.substr(0, 6)) == "dword:") {
      auto digits = Trim(data.substr(6));
      if (digits.empty() || digits.size() > 8) continue;
      char* end = nullptr;
      const unsigned long v = std::strtoul(digits.c_str(), &end, 16);
      if (*end != '\0') continue;
      value.Type = static_cast<uint32_t>(TRegDataType::DWord);
      value.Data = DWordBytes(static_cast<uint32_t>(v));
    } else if (data.size() >= 4 && AsciiLower(data.substr(0, 3)) == "hex") {
      std::string_view rest = data.substr(3);
      uint32_t type = static_cast<uint32_t>(TRegDataType::Binary);
      if (!rest.empty() && rest[0] == '(') {
        const size_t close = rest.find(')');
        if (close == std::string_view::npos) continue;
        char* end = nullptr;
        const std::string num(rest.substr(1, close - 1));
        type = static_cast<uint32_t>(std::strtoul(num.c_str(), &end, 16));
        if (num.empty() || *end != '\0') continue;
        rest = rest.substr(close + 1);
      }
      if (rest.empty() || rest[0] != ':') continue;
      std::string bytesOut;
      if (!ParseHexBytes(rest.substr(1), bytesOut)) continue;
      value.Type = type;
      if (type == 1 || type == 2 || type == 7)
        value.Data = DecodeHexText(bytesOut, unicode, type == 7);
      else
        value.Data = std::move(bytesOut);
    } else {
      continue;  // "-" (a deletion) or something this store does not know
    }
    bool replaced = false;
    for (auto& v : current->Values)
      if (SameText(v.Name, value.Name)) {
        v = value;
        replaced = true;
      }
    if (!replaced) current->Values.push_back(std::move(value));
  }
  return hive;
}

std::string THive::Format(std::string_view rootName) const {
  std::string s = "Windows Registry Editor Version 5.00\r\n";
  for (const auto& key : FKeys) {
    s += "\r\n[";
    s += rootName;
    if (!key.Path.empty()) s += "\\" + key.Path;
    s += "]\r\n";
    for (const auto& v : key.Values) {
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
  const auto parts = SplitPath(path);
  for (const auto& key : FKeys) {
    const auto keyParts = SplitPath(key.Path);
    if (keyParts.size() == parts.size() && PathWithin(keyParts, parts, false)) return &key;
  }
  return nullptr;
}

bool THive::KeyExists(std::string_view path) const {
  const auto parts = SplitPath(path);
  if (parts.empty()) return true;
  for (const auto& key : FKeys)
    if (PathWithin(SplitPath(key.Path), parts, false)) return true;
  return false;
}

THive::TKey& THive::CreateKey(std::string_view path) {
  if (const TKey* key = FindKey(path)) return const_cast<TKey&>(*key);
  FKeys.push_back(TKey{NormalizePath(path), {}});
  return FKeys.back();
}

bool THive::DeleteKey(std::string_view path) {
  const auto parts = SplitPath(path);
  if (parts.empty()) return false;
  const auto before = FKeys.size();
  std::erase_if(FKeys,
                [&](const TKey& key) { return PathWithin(SplitPath(key.Path), parts, false); });
  return FKeys.size() != before;
}

std::vector<std::string> THive::SubKeyNames(std::string_view path) const {
  const auto parts = SplitPath(path);
  std::vector<std::string> names;
  for (const auto& key : FKeys) {
    const auto keyParts = SplitPath(key.Path);
    if (!PathWithin(keyParts, parts, true)) continue;
    const std::string& name = keyParts[parts.size()];
    bool known = false;
    for (const auto& n : names)
      if (SameText(n, name)) known = true;
    if (!known) names.push_back(name);
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
  FHive = LoadHiveFile(FRoot);
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
    if (!canCreate) return false;
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
  if (!key) return nullptr;
  for (const auto& v : key->Values)
    if (SameText(v.Name, name)) return &v;
  return nullptr;
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
    for (const auto& v : key->Values) names.Add(v.Name);
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
  THive fresh = LoadHiveFile(FRoot);  // keep what others wrote since the key was opened
  THive::TKey& key = fresh.CreateKey(FCurrentPath);
  bool replaced = false;
  for (auto& v : key.Values)
    if (SameText(v.Name, value.Name)) {
      v.Type = value.Type;
      v.Data = value.Data;
      replaced = true;
    }
  if (!replaced) key.Values.push_back(std::move(value));
  try {
    SaveHiveFile(FRoot, fresh);
  } catch (const ERegistryException&) {
    throw ERegistryException(failed);
  }
  FHive = std::move(fresh);
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
  THive fresh = LoadHiveFile(FRoot);
  const THive::TKey* key = fresh.FindKey(FCurrentPath);
  if (!key) return false;
  auto& values = const_cast<THive::TKey*>(key)->Values;
  const auto before = values.size();
  std::erase_if(values, [&](const TRegValue& v) { return SameText(v.Name, name); });
  if (values.size() == before) return false;
  try {
    SaveHiveFile(FRoot, fresh);
  } catch (const ERegistryException&) {
    return false;
  }
  FHive = std::move(fresh);
  return true;
}

bool TRegistry::DeleteKey(std::string_view path) {
  const std::string resolved = ResolvePath(path);
  std::lock_guard<std::mutex> guard(HiveWriteLock());
  THive fresh = LoadHiveFile(FRoot);
  if (!fresh.DeleteKey(resolved)) return false;
  try {
    SaveHiveFile(FRoot, fresh);
  } catch (const ERegistryException&) {
    return false;
  }
  if (FOpen) FHive = std::move(fresh);
  return true;
}

}  // namespace dk
