#include "sys/file_names.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "sys/api_tools.h"
#include "sys/file_paths.h"
#include "sys/text.h"

namespace dk {

namespace {

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

struct TEntry {
  std::string Name;
  struct stat Stat;
};

// Entries of the folder of `mask` whose names match its name part, sorted
// ignoring case. A name without wildcards that exists as written comes first
// on its own.
std::vector<TEntry> FindEntries(const std::string& mask) {
  std::vector<TEntry> found;
  const std::string dir = ExtractFilePath(mask);
  const std::string pattern = ExtractFileName(mask);
  if (pattern.empty()) return found;
  struct stat st {};
  if (!HasWildcards(pattern) && ::stat(mask.c_str(), &st) == 0) {
    found.push_back(TEntry{pattern, st});
    return found;
  }
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return found;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || !MatchesMask(name, pattern)) continue;
    if (::stat((dir + name).c_str(), &st) != 0 && ::lstat((dir + name).c_str(), &st) != 0) continue;
    found.push_back(TEntry{name, st});
  }
  ::closedir(d);
  std::sort(found.begin(), found.end(),
            [](const TEntry& a, const TEntry& b) { return AnsiCompareText(a.Name, b.Name) < 0; });
  return found;
}

std::string StripTrailingDigits(std::string s) {
  while (!s.empty() && s.back() >= '0' && s.back() <= '9') s.pop_back();
  return s;
}

}  // namespace

bool IsFileReadOnly(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) return true;
  return (st.st_mode & S_IWUSR) == 0;
}

void SetFileReadOnly(const std::string& fileName, int mode) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) return;
  const bool readOnly = (st.st_mode & S_IWUSR) == 0;
  mode_t newMode;
  if (mode == 1 && !readOnly)
    newMode = st.st_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else if (mode == 0 && readOnly)
    newMode = st.st_mode | S_IWUSR;
  else
    return;
  if (::chmod(fileName.c_str(), newMode & 07777) != 0)
    ShowSystemErrorBox("Dateiattribut \"Schreibschutz\" konnte nicht geändert werden");
}

bool IsNumberedVariant(const std::string& a, const std::string& b) {
  const std::string na = AnsiUpperCase(ExtractFileName(a));
  const std::string nb = AnsiUpperCase(ExtractFileName(b));
  if (na == nb) return true;
  if (ExtractFileExt(na) != ExtractFileExt(nb)) return false;
  return StripTrailingDigits(ChangeFileExt(na, "")) == StripTrailingDigits(ChangeFileExt(nb, ""));
}

bool IsSameOrVariantFile(const std::string& a, const std::string& b) {
  if (SameText(a, b)) return true;
  const std::string ea = ExpandFileName(a);
  const std::string eb = ExpandFileName(b);
  if (SameText(ea, eb)) return true;
  return SameText(ExtractFilePath(ea), ExtractFilePath(eb)) && IsNumberedVariant(a, b);
}

void MakeUniqueFileName(std::string& fileName) {
  if (!PathExists(fileName)) return;
  const std::string ext = ExtractFileExt(fileName);
  const std::string base = ChangeFileExt(fileName, "");
  for (unsigned long n = 1;; ++n) {
    std::string candidate = base + std::to_string(n) + ext;
    if (!PathExists(candidate)) {
      fileName = std::move(candidate);
      return;
    }
  }
}

void MakeBackupCopy(const std::string& fileName) {
  if (!FileExists(fileName)) return;
  const std::string ext = ExtractFileExt(fileName);
  const std::string backup = ChangeFileExt(fileName, ".~" + (ext.empty() ? ext : ext.substr(1)));
  FileCopy(fileName, backup, true, true);
}

std::string CleanFileName(const std::string& text, bool strict) {
  std::string s = text;
  const std::string removed = strict ? "/[]?;\"<>|*=" : "[]?;\"<>|*=";
  std::erase_if(s, [&](char c) { return removed.find(c) != std::string::npos; });
  if (strict) {
    if (Utf8Length(s) > 255) s = Utf8Left(s, 255);
    std::erase_if(s, [](char c) { return c == '\\' || c == '.' || c == ':'; });
    return s;
  }
  if (s.find("//") == std::string::npos) return s;
  const bool network = s.compare(0, 2, "//") == 0;
  if (network) s.erase(0, 1);
  for (size_t pos; (pos = s.find("//", 1)) != std::string::npos;) s.erase(pos, 1);
  if (network) s.insert(0, "/");
  return s;
}

bool IsHtmlFile(const std::string& fileName) {
  const std::string ext = AsciiLower(ExtractFileExt(fileName));
  return ext == ".htm" || ext == ".html";
}

bool IsUrl(const std::string& text) {
  const std::string t = AnsiLowerCase(text);
  return t.starts_with("http://") || t.starts_with("https://") || t.starts_with("ftp://");
}

int32_t FileSizeByName(const std::string& fileName) {
  const auto found = FindEntries(fileName);
  if (found.empty()) return -1;
  const struct stat& st = found.front().Stat;
  if (S_ISDIR(st.st_mode)) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(st.st_size)));
}

void AddFileNames(const std::string& mask, int attributes, TStringList& list) {
  for (const auto& e : FindEntries(mask)) {
    if (S_ISDIR(e.Stat.st_mode) && !(attributes & faDirectory)) continue;
    if (e.Name[0] == '.' && !(attributes & faHidden)) continue;
    list.Add(e.Name);
  }
}

}  // namespace dk
