#include "sys/file_paths.h"

#include <sys/stat.h>
#include <unicode/utf8.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "sys/text.h"

namespace dk {

namespace {

size_t NameStart(std::string_view fileName) {
  const size_t slash = fileName.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

size_t ExtStart(std::string_view fileName) {
  const size_t start = NameStart(fileName);
  const size_t dot = fileName.rfind('.');
  return dot == std::string_view::npos || dot < start ? fileName.size() : dot;
}

std::u32string Chars(std::string_view s) {
  std::u32string out;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t i = 0;
  const auto n = static_cast<int32_t>(s.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    out += static_cast<char32_t>(c < 0 ? 0xFFFD : c);
  }
  return out;
}

bool Match(const std::u32string& name, size_t ni, const std::u32string& mask, size_t mi) {
  // Iterative glob with a single backtrack point: linear for the masks in use.
  size_t starMask = std::u32string::npos, starName = 0;
  while (ni < name.size()) {
    if (mi < mask.size() && (mask[mi] == U'?' || mask[mi] == name[ni])) {
      ++ni;
      ++mi;
    } else if (mi < mask.size() && mask[mi] == U'*') {
      starMask = mi++;
      starName = ni;
    } else if (starMask != std::u32string::npos) {
      mi = starMask + 1;
      ni = ++starName;
    } else {
      return false;
    }
  }
  while (mi < mask.size() && mask[mi] == U'*') ++mi;
  return mi == mask.size();
}

}  // namespace

std::string ExtractFilePath(std::string_view fileName) {
  return std::string(fileName.substr(0, NameStart(fileName)));
}

std::string ExtractFileDir(std::string_view fileName) {
  const size_t start = NameStart(fileName);
  if (start == 0) return {};
  if (start == 1) return "/";
  return std::string(fileName.substr(0, start - 1));
}

std::string ExtractFileName(std::string_view fileName) {
  return std::string(fileName.substr(NameStart(fileName)));
}

std::string ExtractFileExt(std::string_view fileName) {
  return std::string(fileName.substr(ExtStart(fileName)));
}

std::string ChangeFileExt(std::string_view fileName, std::string_view ext) {
  return std::string(fileName.substr(0, ExtStart(fileName))) + std::string(ext);
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string s(path);
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
  std::string s(path);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string ExpandFileName(std::string_view fileName) {
  if (fileName.empty()) return {};
  std::error_code ec;
  auto p = std::filesystem::absolute(std::filesystem::path(std::string(fileName)), ec);
  if (ec) return std::string(fileName);
  return p.lexically_normal().string();
}

bool FileExists(const std::string& fileName) {
  struct stat st {};
  return !fileName.empty() && ::stat(fileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) throw std::runtime_error("Verzeichnis kann nicht erstellt werden");
  std::error_code ec;
  std::filesystem::create_directories(ExcludeTrailingPathDelimiter(path), ec);
  return DirectoryExists(path);
}

bool MatchesMask(std::string_view name, std::string_view mask) {
  const std::u32string n = Chars(AnsiUpperCase(name));
  const std::u32string m = Chars(AnsiUpperCase(mask));
  if (Match(n, 0, m, 0)) return true;
  // "name.*" also finds "name", as the Windows file search does.
  if (m.size() >= 2 && m.compare(m.size() - 2, 2, U".*") == 0 &&
      n.find(U'.') == std::u32string::npos)
    return Match(n, 0, m.substr(0, m.size() - 2), 0);
  return false;
}

bool HasWildcards(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

std::string FindFileIgnoringCase(std::string_view dir, std::string_view name) {
  const std::string base = dir.empty() ? std::string() : IncludeTrailingPathDelimiter(dir);
  const std::string exact = base + std::string(name);
  if (FileExists(exact)) return exact;
  std::error_code ec;
  std::filesystem::directory_iterator it(base.empty() ? std::string(".") : base, ec);
  if (ec) return exact;
  for (const auto& entry : it) {
    const std::string entryName = entry.path().filename().string();
    if (SameText(entryName, name) && FileExists(base + entryName)) return base + entryName;
  }
  return exact;
}

}  // namespace dk
