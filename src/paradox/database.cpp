#include "paradox/database.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "paradox/paradox_error.h"
#include "sys/text.h"

namespace dk {

namespace {

namespace fs = std::filesystem;

std::string WithoutTrailingSeparator(std::string dir) {
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

struct TDirFile {
  std::string FileName;
  std::string Base;  // without the extension
  std::string Ext;   // upper case, with the dot
};

std::vector<TDirFile> ReadDir(const std::string& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) throw EParadoxError(dir + ": das Verzeichnis kann nicht gelesen werden: " + ec.message());
  std::vector<TDirFile> files;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec)
      throw EParadoxError(dir + ": das Verzeichnis kann nicht gelesen werden: " + ec.message());
    std::error_code typeEc;
    if (it->is_directory(typeEc)) continue;
    const std::string name = it->path().filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) continue;
    files.push_back({name, name.substr(0, dot), AsciiUpper(name.substr(dot))});
  }
  if (ec) throw EParadoxError(dir + ": das Verzeichnis kann nicht gelesen werden: " + ec.message());
  return files;
}

std::string Join(const std::string& dir, const std::string& file) {
  return dir == "/" ? "/" + file : dir + "/" + file;
}

// The .MB belonging to a table: the same base name, preferring the exact spelling.
std::string FindMb(const std::string& dir, const std::vector<TDirFile>& files,
                   const std::string& base) {
  const TDirFile* found = nullptr;
  for (const auto& f : files) {
    if (f.Ext != ".MB" || AsciiUpper(f.Base) != AsciiUpper(base)) continue;
    if (f.Base == base) return Join(dir, f.FileName);
    if (!found) found = &f;
  }
  return found ? Join(dir, found->FileName) : std::string();
}

}  // namespace

std::vector<TParadoxTableEntry> ListParadoxTables(const std::string& dirIn) {
  const std::string dir = WithoutTrailingSeparator(dirIn);
  const std::vector<TDirFile> files = ReadDir(dir);
  std::vector<TParadoxTableEntry> tables;
  for (const auto& f : files) {
    if (f.Ext != ".DB") continue;
    tables.push_back({f.Base, Join(dir, f.FileName), FindMb(dir, files, f.Base)});
  }
  std::sort(tables.begin(), tables.end(), [](const auto& a, const auto& b) {
    const std::string ua = AsciiUpper(a.Name), ub = AsciiUpper(b.Name);
    return ua != ub ? ua < ub : a.Name < b.Name;
  });
  return tables;
}

TParadoxTableEntry FindParadoxTable(const std::string& dirIn, const std::string& name) {
  const std::string dir = WithoutTrailingSeparator(dirIn);
  const std::vector<TDirFile> files = ReadDir(dir);
  const std::string upper = AsciiUpper(name);
  std::vector<const TDirFile*> candidates;
  for (const auto& f : files)
    if (f.Ext == ".DB" && AsciiUpper(f.Base) == upper) candidates.push_back(&f);
  if (candidates.empty())
    throw EParadoxError(dir + ": Tabelle \"" + name + "\" nicht gefunden (keine Datei " + name +
                        ".DB)");
  const TDirFile* pick = candidates.size() == 1 ? candidates[0] : nullptr;
  for (const TDirFile* f : candidates)
    if (!pick && f->Base == name) pick = f;
  if (!pick)
    throw EParadoxError(dir + ": Tabelle \"" + name +
                        "\" ist mehrdeutig (mehrere Dateien unterscheiden sich nur in der "
                        "Groß-/Kleinschreibung)");
  return {pick->Base, Join(dir, pick->FileName), FindMb(dir, files, pick->Base)};
}

}  // namespace dk
