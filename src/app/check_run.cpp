// arcport5 --check: everything a conversion would read, read to its end, and
// the target looked at, before anything is written. The report says what was
// found and what the conversion would do; nothing is written anywhere (no log,
// no settings, no layout, no Error.log), the target is opened read-only.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/legacy_columns.h"
#include "app/main_window.h"
#include "app/pending_files.h"
#include "app/source_check.h"
#include "app/target_probe.h"
#include "paradox/query.h"
#include "sys/api_tools.h"
#include "sys/file_paths.h"
#include "sys/string_list.h"
#include "sys/text.h"

namespace dk {

namespace {

// The legacy tables in the order the conversion reads them.
constexpr const char* kLegacyTables[] = {"DOCUMENT", "DOCBLOBS", "IDENTNO", "DOCVERS",
                                         "TODO",     "DOCPRTCL", "FTIWORD", "FTIWID"};

struct TTableRead {
  std::string Name;
  long Rows = 0;
  long BadValues = 0;
  std::string Failure;     // the table could not be opened or read to its end
  std::string FirstValue;  // the first value that could not be read
  std::vector<std::string> Columns;
  std::vector<std::pair<TFieldType, int>> Types;
  std::vector<std::string> FieldNames;  // as the table has them
  std::vector<char> Letters;            // the Paradox types
};

// Reads every value of every row, memos and blobs included.
TTableRead ReadLegacyTable(const std::string& sourceDir, const std::string& table) {
  TTableRead r;
  r.Name = table;
  TParadoxQuery query;
  try {
    query.SetDatabaseName(sourceDir);
    query.SetSQL("SELECT * FROM " + table);
    query.Open();
    for (int i = 0; i < query.FieldCount(); ++i) {
      r.Columns.push_back(AsciiUpper(query.Fields(i).FieldName()));
      r.Types.push_back({query.Fields(i).DataType(), query.Fields(i).Size()});
      r.FieldNames.push_back(query.Fields(i).FieldName());
      r.Letters.push_back(query.Fields(i).ParadoxType());
    }
    while (!query.Eof()) {
      for (int i = 0; i < query.FieldCount(); ++i) {
        try {
          (void)query.Fields(i).Value();
        } catch (const std::exception& e) {
          if (r.BadValues++ == 0) r.FirstValue = e.what();
        }
      }
      ++r.Rows;
      query.Next();
    }
  } catch (const std::exception& e) {
    r.Failure = e.what();
  }
  return r;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
}

// The bytes of the legacy tables (.DB and .MB) in `dir`.
long long LegacyBytes(const std::string& dir) {
  long long total = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      const std::string upper = AsciiUpper(name);
      if (upper.size() > 3 && (upper.ends_with(".DB") || upper.ends_with(".MB")))
        total += FileSize(dir + name);
    }
    closedir(d);
  }
  return total;
}

std::string MegaBytes(long long bytes) {
  return std::to_string((bytes + 1024 * 1024 - 1) / (1024 * 1024)) + " MB";
}

// Reads a side file as the conversion does; "" or the failure.
std::string ReadSideFile(const std::string& path, int& lines) {
  try {
    TStringList list;
    list.LoadFromFile(path);
    lines = list.Count();
    return std::string();
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace

int RunCheck(const std::vector<std::string>& args) {
  auto refuse = [](const std::string& text) {
    std::cerr << "arcport5: " << text << '\n';
    return 2;
  };
  if (args.size() < 2)
    return refuse("--check braucht QUELLVERZEICHNIS und ZIELDATENBANK (arcport5 --help).");
  std::string source = args[0];
  if (source.back() != '/') source += '/';
  const std::string& target = args[1];
  if (!DirectoryExists(source))
    return refuse(FileExists(args[0])
                      ? SourceIsFileText(args[0])
                      : "Das Quellverzeichnis \"" + source + "\" ist nicht vorhanden.");
  if (!FileExists(target))
    return refuse(DirectoryExists(target)
                      ? TargetIsDirectoryText(target)
                      : "Die Zieldatenbank \"" + target + "\" ist nicht vorhanden.");
  const size_t slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "./" : target.substr(0, slash + 1);

  std::vector<std::string> findings;
  std::ostringstream out;
  out << "Prüfung ohne Schreiben: " << source << " -> " << target << "\n\nQuelle:\n";

  // The tables, each to its end, and each walked over its blocks: a damaged
  // chain may read without a failure and still lose rows.
  std::vector<TSourceDamage> damaged;
  try {
    damaged = FindDamagedTables(source);
  } catch (const std::exception&) {
    // the reads below name what cannot be read
  }
  std::vector<TTableRead> tables;
  for (const char* name : kLegacyTables) {
    tables.push_back(ReadLegacyTable(source, name));
    const TTableRead& t = tables.back();
    char line[256];
    const auto damage = std::find_if(damaged.begin(), damaged.end(),
                                     [&](const TSourceDamage& d) { return d.Table == name; });
    if (damage != damaged.end()) {
      std::snprintf(line, sizeof line, "  %-9s beschädigt: ", name);
      out << line << DamageFindingText(*damage) << '\n';
      findings.push_back("Tabelle " + std::string(name) + ": " + DamageFindingText(*damage));
      continue;
    }
    if (!t.Failure.empty()) {
      std::snprintf(line, sizeof line, "  %-9s nicht lesbar: ", name);
      out << line << t.Failure << '\n';
      // DOCBLOBS and IDENTNO are read only for the RTF move and the counts.
      findings.push_back("Tabelle " + std::string(name) + ": " + t.Failure);
      continue;
    }
    std::snprintf(line, sizeof line, "  %-9s %9ld Zeilen gelesen", name, t.Rows);
    out << line;
    if (t.BadValues > 0) {
      out << ", " << t.BadValues << " Werte nicht lesbar (erster: " << t.FirstValue << ")";
      findings.push_back("Tabelle " + std::string(name) + ": " + std::to_string(t.BadValues) +
                         " Werte nicht lesbar, erster: " + t.FirstValue);
    }
    out << '\n';
  }

  // The side files.
  auto side = [&](const std::string& label, const std::string& path, const std::string& missing) {
    if (!FileExists(path)) {
      out << "  " << label << ": fehlt (" << missing << ")\n";
      return;
    }
    int lines = 0;
    const std::string failure = ReadSideFile(path, lines);
    if (failure.empty()) {
      out << "  " << label << ": " << path << ", " << lines << " Zeilen gelesen\n";
    } else {
      out << "  " << label << ": nicht lesbar: " << failure << '\n';
      findings.push_back(label + ": " + failure);
    }
  };
  side("document.fld", FindFileIgnoringCase(source, "document.fld"),
       "die Felddefinitionen des Ziels bleiben");
  side("document.lay", FindFileIgnoringCase(source, "document.lay"),
       "kein Layout; die Konvertierung zeigt dazu einen Fehler und läuft weiter");
  side("reqfield.itm", FindSupportFile("reqfield.itm", source),
       "keine Pflichtfelder; Zeile \"*** Pflichtfeld-Definitionen ...\" im Protokoll");
  {
    TStringList lists;
    ListFiles(source, "*.itm", true, lists, false, true);
    for (const std::string& path : lists.Items())
      if (AsciiUpper(path).ends_with("/REQFIELD.ITM") == false)
        side("Auswahlliste " + path.substr(path.find_last_of('/') + 1), path, "");
  }

  // The target, read-only.
  out << "\nZiel:\n";
  const TTargetProbe probe = ProbeTarget(target, false, 3000);
  std::vector<std::string> newColumns;
  if (!probe.IsDatabase) {
    findings.push_back("Die Zieldatenbank \"" + target + "\" ist keine SQLite-Datenbank.");
  } else if (probe.Locked) {
    findings.push_back(TargetLockedText(target));
  } else if (!probe.Error.empty()) {
    findings.push_back("Die Zieldatenbank \"" + target + "\" ist nicht lesbar: " + probe.Error);
  } else if (!probe.MissingTable.empty()) {
    findings.push_back(MissingArchiveTableText(target, probe.MissingTable));
  } else {
    out << "  Archivtabellen vorhanden\n";
    const TTableRead& doc = tables.front();
    const std::vector<std::string> signs = PartlyConvertedSigns(probe, target, doc.Columns);
    if (!probe.Converted.empty())
      findings.push_back(AlreadyConvertedText(target, probe.Converted));
    else if (!signs.empty())
      findings.push_back(PartlyConvertedText(target, signs));
    else
      out << "  noch nicht konvertiert\n";
    auto has = [&](const std::string& c) {
      return std::any_of(probe.DocumentColumns.begin(), probe.DocumentColumns.end(),
                         [&](const std::string& t) { return SameText(t, c); });
    };
    for (size_t i = 0; i < doc.Columns.size(); ++i) {
      const std::string& c = doc.Columns[i];
      // NAMES is tested under its own name and added as MYNAMES (a MYNAMES
      // already there is a sign of an earlier run, above).
      if (has(c) || c == "NUMBER" || c == "NOTE") continue;
      const std::string name = LegacyColumnName(doc.FieldNames[i]);
      if (c == "NAMES" && has(name)) continue;
      const std::string problem = UnusableColumnNameReason(name, probe.ConnectionString);
      if (!problem.empty()) {
        findings.push_back(UnusableColumnNameText(doc.FieldNames[i], problem));
        continue;
      }
      // The type the run's ALTER statement would give it: an empty one ends
      // the run there.
      if (LegacyColumnType(doc.Types[i].first, doc.Types[i].second, probe.ConnectionString)
              .empty()) {
        findings.push_back("Die Spalte \"" + doc.FieldNames[i] +
                           "\" des alten DOCUMENT hat den Typ " + ParadoxTypeName(doc.Letters[i]) +
                           ", für den die Zieldatenbank keinen Spaltentyp hat; die Konvertierung "
                           "würde beim Anlegen der Spalte abbrechen.");
        continue;
      }
      newColumns.push_back(name);
    }
  }
  // A run with --atomic ended between its commit and its files: the next
  // conversion settles the record first (pending_files.h).
  if (FileExists(PendingRecordName(target)))
    out << "  \"" << PendingRecordName(target)
        << "\" eines mit --atomic beendeten Laufs liegt vor; die Konvertierung wertet sie "
           "zuerst aus\n";
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    findings.push_back(TargetFolderNotWritableText(folder, target));
  const long long needed = 2 * LegacyBytes(source);
  struct statvfs fs {};
  if (statvfs(folder.c_str(), &fs) == 0) {
    const long long free = static_cast<long long>(fs.f_bavail) * fs.f_frsize;
    out << "  freier Platz im Ordner " << folder << ": " << MegaBytes(free)
        << ", geschätzt nötig: " << MegaBytes(needed) << " (doppelte Größe der alten Tabellen)\n";
    if (free < needed)
      findings.push_back("Im Ordner \"" + folder + "\" sind nur " + MegaBytes(free) +
                         " frei; die Konvertierung braucht etwa " + MegaBytes(needed) + ".");
  }

  out << "\nDie Konvertierung würde:\n";
  if (!newColumns.empty()) {
    out << "  in DOCUMENT und FLDTEMPL die Spalten anlegen:";
    for (const auto& c : newColumns) out << ' ' << c;
    out << '\n';
  }
  out << "  Felddefinitionen, Pflichtfelder, Layout und Auswahllisten übernehmen\n";
  for (const TTableRead& t : tables) {
    const bool isDamaged = std::any_of(damaged.begin(), damaged.end(),
                                       [&](const TSourceDamage& d) { return d.Table == t.Name; });
    if (t.Name == "IDENTNO" || t.Name == "DOCBLOBS" || !t.Failure.empty() || isDamaged) continue;
    out << "  " << t.Rows << " Zeilen aus " << t.Name << " kopieren\n";
  }
  out << "  die Zähler in IDENTNO nachführen und die Option Converted setzen\n";

  if (findings.empty()) {
    out << "\nKeine Befunde: die Konvertierung kann laufen.\n";
  } else {
    out << "\nBefunde (" << findings.size() << "):\n";
    for (const auto& f : findings) out << "  - " << f << '\n';
  }
  std::cout << out.str() << std::flush;
  return findings.empty() ? 0 : 1;
}

}  // namespace dk
