#include "app/target_probe.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>

#include "data/connection.h"
#include "data/query.h"
#include "db/database.h"
#include "sys/file_paths.h"
#include "sys/ini_file.h"
#include "sys/string_list.h"
#include "sys/text.h"

namespace dk {

namespace {

bool HasSqliteHeader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char header[16] = {};
  in.read(header, sizeof header);
  return in.gcount() == 16 && std::memcmp(header, "SQLite format 3", 16) == 0;
}

bool IsBusy(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

class TDb {
 public:
  ~TDb() { sqlite3_close_v2(Db); }
  sqlite3* Db = nullptr;
};

// The first of `tables` (upper case) that lacks a conversion table, or "".
std::string FirstMissingTable(const std::vector<std::string>& tables) {
  for (const std::string& t : ConversionTables())
    if (std::find(tables.begin(), tables.end(), t) == tables.end()) return t;
  return {};
}

// Runs one statement and hands each row's values as texts to the receiver;
// false when the statement failed (the reader has noted why in the probe).
using TRowReader = std::function<bool(
    const std::string& sql, const std::function<void(const std::vector<std::string>&)>& row)>;

// What a file archive and a server archive tell alike, read through `rows`:
// the missing table, "Converted", "LayoutFile" and the documents. False when a
// statement failed.
bool ReadArchiveState(TTargetProbe& probe, const std::vector<std::string>& tables,
                      const TRowReader& rows) {
  probe.MissingTable = FirstMissingTable(tables);
  if (!probe.MissingTable.empty()) return true;
  bool converted = false;
  if (!rows("SELECT OPTVALUE FROM DBOPTION WHERE UPPER(OPTNAME)='CONVERTED'",
            [&](const std::vector<std::string>& r) {
              converted = true;
              probe.Converted = r.at(0);
            }))
    return false;
  // A value written by the conversion is never empty; an empty one still
  // marks the archive as converted.
  if (converted && probe.Converted.empty()) probe.Converted = "ohne Zeitangabe";
  return rows("SELECT OPTVALUE FROM DBOPTION WHERE UPPER(OPTNAME)='LAYOUTFILE'",
              [&](const std::vector<std::string>& r) { probe.LayoutFile = r.at(0); }) &&
         rows("SELECT COUNT(*) FROM DOCUMENT",
              [&](const std::vector<std::string>& r) { probe.Documents = std::stoll(r.at(0)); });
}

TTargetProbe ProbeSettingsTarget(const std::string& path, int lockWaitMs) {
  TTargetProbe probe;
  probe.IsDatabase = true;
  const TIniFile settings(path);
  TConnection conn;
  probe.ConnectionString = settings.ReadString("AdoConnection", "ConnectionString", "");
  conn.SetConnectionString(probe.ConnectionString);
  conn.SetConnectionTimeout(settings.ReadInteger("AdoConnection", "ConnectionTimeOut", 15));
  conn.SetCommandTimeout(std::max(1, lockWaitMs / 1000));
  // A failing statement throws; the catch below tells a lock from the rest.
  const TRowReader rows = [&](const std::string& sql, const auto& row) {
    TQuery query;
    query.SetConnection(&conn);
    query.SetSQLText(sql);
    query.Open();
    for (; !query.Eof(); query.Next()) {
      std::vector<std::string> values;
      for (int i = 0; i < query.FieldCount(); ++i) values.push_back(query.Fields(i).AsString());
      row(values);
    }
    query.Close();
    return true;
  };
  try {
    conn.Open();
    TStringList names;
    conn.GetTableNames(names);
    std::vector<std::string> tables;
    for (const std::string& name : names.Items()) tables.push_back(AsciiUpper(name));
    ReadArchiveState(probe, tables, rows);
    if (probe.MissingTable.empty())
      for (const TTableColumn& column : conn.TableInfo("DOCUMENT").Columns)
        probe.DocumentColumns.push_back(AsciiUpper(column.Name));
  } catch (const std::exception& e) {
    if (IsLockConflict(e))
      probe.Locked = true;
    else
      probe.Error = e.what();
  }
  return probe;
}

}  // namespace

const std::vector<std::string>& ConversionTables() {
  static const std::vector<std::string> tables{"DOCUMENT",  "FLDTEMPL", "DOCFLD",  "DBOPTION",
                                               "ITEMLISTS", "DOCBLOBS", "DOCVERS", "TODO",
                                               "DOCPRTCL",  "FTIWORD",  "FTIWID",  "IDENTNO"};
  return tables;
}

TTargetProbe ProbeTarget(const std::string& path, bool forWriting, int lockWaitMs) {
  if (IsConnectionFileName(path)) return ProbeSettingsTarget(path, lockWaitMs);
  TTargetProbe probe;
  if (!HasSqliteHeader(path)) return probe;
  probe.IsDatabase = true;
  probe.ConnectionString = BuildJetConnectionString(path);
  TDb db;
  const int flags = forWriting ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
  int rc = sqlite3_open_v2(path.c_str(), &db.Db, flags, nullptr);
  if (rc != SQLITE_OK) {
    probe.Error = db.Db ? sqlite3_errmsg(db.Db) : sqlite3_errstr(rc);
    return probe;
  }
  sqlite3_busy_timeout(db.Db, lockWaitMs);
  if (forWriting) {
    // Asking for the write lock is what the conversion's first write will do;
    // with a rollback journal nothing is written until a page changes.
    rc = sqlite3_exec(db.Db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (IsBusy(rc)) {
      probe.Locked = true;
      return probe;
    }
  }
  auto text = [](sqlite3_stmt* stmt, int col) {
    const auto* p = sqlite3_column_text(stmt, col);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
  };
  const TRowReader rows = [&](const std::string& sql, const auto& row) {
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v2(db.Db, sql.c_str(), -1, &stmt, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<std::string> values;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) values.push_back(text(stmt, i));
      row(values);
      rc = SQLITE_OK;
    }
    sqlite3_finalize(stmt);
    if (rc == SQLITE_DONE || rc == SQLITE_OK) return true;
    if (IsBusy(rc))
      probe.Locked = true;
    else
      probe.Error = sqlite3_errmsg(db.Db);
    return false;
  };
  std::vector<std::string> tables;
  if (rows("SELECT name FROM sqlite_master WHERE type='table'",
           [&](const std::vector<std::string>& r) { tables.push_back(AsciiUpper(r.at(0))); }) &&
      ReadArchiveState(probe, tables, rows) && probe.MissingTable.empty())
    rows("PRAGMA table_info(DOCUMENT)", [&](const std::vector<std::string>& r) {
      probe.DocumentColumns.push_back(AsciiUpper(r.at(1)));
    });
  if (forWriting) sqlite3_exec(db.Db, "ROLLBACK", nullptr, nullptr, nullptr);
  return probe;
}

std::string TargetIsDirectoryText(const std::string& path) {
  return "Die Zieldatenbank \"" + path +
         "\" ist ein Verzeichnis. Angegeben werden muss die Datei des Archivs (z. B. "
         "archiv6.db); ein leeres Archiv legt dkl-mkarchive an.";
}

std::string SourceIsFileText(const std::string& path) {
  return "Das Quellverzeichnis \"" + path +
         "\" ist eine Datei. Angegeben werden muss das Verzeichnis des alten Archivs, in dem "
         "DOCUMENT.DB liegt.";
}

std::string TargetFolderNotWritableText(const std::string& folder, const std::string& target) {
  return "Der Ordner \"" + folder + "\" der Zieldatenbank \"" + target +
         "\" ist nicht beschreibbar. Die Konvertierung braucht dort Schreibrechte: SQLite legt "
         "neben der Datenbank sein Journal an, und das Protokoll wird dort gespeichert.";
}

std::string TargetLockedText(const std::string& path) {
  return "Die Zieldatenbank \"" + path +
         "\" ist von einem anderen Programm gesperrt. Schließen Sie das Programm, das sie "
         "geöffnet hat (z. B. Dokalon), und starten Sie die Konvertierung erneut.";
}

std::string TargetLockedDuringRunText(const std::string& path) {
  return "Die Zieldatenbank \"" + path + "\" ist von einem anderen Programm gesperrt.";
}

std::string MissingArchiveTableText(const std::string& path, const std::string& table) {
  return "Die Zieldatenbank \"" + path + "\" ist " +
         (IsConnectionFileName(path) ? "eine Datenbank" : "eine SQLite-Datei") +
         " ohne die Tabellen eines Archivs (es fehlt die Tabelle " + table +
         "). Ein leeres Archiv der Version 6 legt dkl-mkarchive an.";
}

std::string AlreadyConvertedText(const std::string& path, const std::string& converted) {
  return "Die Zieldatenbank \"" + path +
         "\" wurde bereits konvertiert (Option Converted: " + converted +
         "). Ein Archiv wird nur einmal konvertiert; eine zweite Übernahme würde jedes "
         "Dokument doppelt anlegen. Für eine neue Übernahme legen Sie mit dkl-mkarchive ein "
         "leeres Archiv an.";
}

namespace {

// The copy of the layout the conversion makes for `target`: the target's
// name with ".lay", a number before the extension when that name was taken.
bool IsLayoutCopyOf(const std::string& layout, const std::string& target) {
  const std::string base = AsciiLower(ChangeFileExt(ExtractFileName(target), ""));
  std::string name = AsciiLower(ExtractFileName(layout));
  if (base.empty() || !name.starts_with(base) || !name.ends_with(".lay")) return false;
  name = name.substr(base.size(), name.size() - base.size() - 4);
  return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<std::string> PartlyConvertedSigns(const TTargetProbe& probe, const std::string& path,
                                              const std::vector<std::string>& legacyColumns) {
  std::vector<std::string> signs;
  auto has = [](const std::vector<std::string>& list, const char* name) {
    return std::find(list.begin(), list.end(), name) != list.end();
  };
  if (has(legacyColumns, "NAMES") && has(probe.DocumentColumns, "MYNAMES"))
    signs.push_back("die Spalte MYNAMES für das alte Feld NAMES ist schon angelegt");
  if (!probe.LayoutFile.empty() && IsLayoutCopyOf(probe.LayoutFile, path))
    signs.push_back("die Option LayoutFile nennt schon die Layoutkopie \"" + probe.LayoutFile +
                    "\"");
  if (probe.Documents > 0)
    signs.push_back("DOCUMENT enthält schon " + std::to_string(probe.Documents) +
                    (probe.Documents == 1 ? " Dokument" : " Dokumente"));
  return signs;
}

std::string RedoConversionAdvice() {
  return "Legen Sie mit dkl-mkarchive ein neues leeres Archiv an und konvertieren Sie erneut, "
         "oder spielen Sie die Sicherung des Archivs zurück und konvertieren Sie dann.";
}

std::string PartlyConvertedText(const std::string& path, const std::vector<std::string>& signs) {
  std::string list;
  for (const std::string& sign : signs) list += (list.empty() ? "" : "; ") + sign;
  return "Die Zieldatenbank \"" + path +
         "\" ist von einer früheren Konvertierung, die nicht zu Ende gelaufen ist, teilweise "
         "konvertiert (" +
         list +
         "). Dort kann keine Konvertierung fortgesetzt oder wiederholt werden: sie würde "
         "Spalten und Dokumente ein zweites Mal anlegen. " +
         RedoConversionAdvice();
}

}  // namespace dk
