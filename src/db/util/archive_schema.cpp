#include "db/util/archive_schema.h"

#include <filesystem>

#include "data/errors.h"
#include "data/table.h"
#include "db/util/sql_util.h"
#include "sys/ini_file.h"
#include "sys/text.h"

namespace dk {

namespace {

// A column of the document columns list, NOT NULL only as the key of DOCUMENT.
std::vector<TSchemaColumn> MakeDocumentColumns() {
  return {
      {"DOCID", ftInteger, 0, true},        {"APPLNAME", ftString, 100, true},
      {"DOCNO", ftString, 20, false},       {"NAME", ftString, 50, false},
      {"PROJECT", ftString, 80, false},     {"CATEGORY", ftString, 30, false},
      {"STATE", ftString, 30, false},       {"USERNAME", ftString, 30, false},
      {"MAILFROM", ftString, 30, false},    {"TEMPLATE", ftString, 254, false},
      {"FILENAME", ftString, 254, false},   {"FAVORITE", ftBoolean, 0, false},
      {"DOCTYPE", ftString, 2, false},      {"ACCESSRIGHTS", ftString, 40, false},
      {"CREATEDATE", ftDateTime, 0, false}, {"EDITDATE", ftDateTime, 0, false},
      {"FTIUPDATE", ftDateTime, 0, false},  {"LASTREMARK", ftString, 150, false},
      {"DOCGUID", ftString, 38, false},     {"NOTES", ftMemo, 0, false},
      {"RTFTEXT", ftFmtMemo, 0, false},
  };
}

TSchemaTable Table(const char* name, std::vector<TSchemaColumn> columns,
                   std::vector<const char*> key, std::vector<const char*> indexed = {},
                   bool documentShaped = false, bool optional = false) {
  TSchemaTable t;
  t.Name = name;
  t.Columns = std::move(columns);
  t.PrimaryKey = std::move(key);
  t.Indexed = std::move(indexed);
  t.DocumentShaped = documentShaped;
  t.Optional = optional;
  return t;
}

std::vector<TSchemaTable> MakeArchiveTables() {
  std::vector<TSchemaColumn> doc = DocumentColumns();
  std::vector<TSchemaColumn> templ = {{"TEMPLATENAME", ftString, 50, true}};
  for (TSchemaColumn c : doc) {
    c.NotNull = false;
    templ.push_back(c);
  }
  std::vector<TSchemaTable> t;
  t.push_back(Table("DOCUMENT", doc, {"DOCID"}, {}, true, false));
  t.push_back(Table("DOCARCH", doc, {"DOCID"}, {}, true, true));
  t.push_back(Table("FLDTEMPL", templ, {"TEMPLATENAME"}, {}, true, false));
  t.push_back(Table("DOCBLOBS", {{"DOCID", ftInteger, 0, true}, {"RTFTEXT", ftFmtMemo, 0, false}},
                    {"DOCID"}));
  t.push_back(Table("DOCVERS",
                    {{"DOCID", ftInteger, 0, true},
                     {"VERSION", ftInteger, 0, false},
                     {"FILENAME", ftString, 254, false},
                     {"CREATEDATE", ftDateTime, 0, false},
                     {"USERNAME", ftString, 30, false},
                     {"REMARK", ftString, 254, false}},
                    {}, {"DOCID"}));
  t.push_back(Table("DOCPRTCL",
                    {{"DOCID", ftInteger, 0, true},
                     {"CREATEDATE", ftDateTime, 0, false},
                     {"USERNAME", ftString, 30, false},
                     {"PROTOCOL", ftString, 254, false}},
                    {}, {"DOCID"}));
  t.push_back(Table("TODO",
                    {{"TODOID", ftInteger, 0, true},
                     {"TODOGUID", ftString, 38, false},
                     {"DOCID", ftInteger, 0, false},
                     {"USERNAME", ftString, 30, false},
                     {"TODOTYPE", ftString, 50, false},
                     {"TODONAME", ftString, 80, false},
                     {"TODOPRT", ftString, 30, false},
                     {"CREATEDATE", ftDateTime, 0, false},
                     {"HINTPOPUP", ftBoolean, 0, false},
                     {"HINTDATE", ftDateTime, 0, false},
                     {"DONE", ftBoolean, 0, false},
                     {"NOTES", ftMemo, 0, false}},
                    {"TODOID"}, {"DOCID"}, false, true));
  t.push_back(Table("IDENTNO", {{"IDNAME", ftString, 30, true}, {"NEXTID", ftInteger, 0, false}},
                    {"IDNAME"}));
  t.push_back(Table("FTIWORD", {{"WORDID", ftInteger, 0, true}, {"WORD", ftString, 30, false}},
                    {"WORDID"}, {"WORD"}));
  t.push_back(Table("FTIWID", {{"WORDID", ftInteger, 0, true}, {"DOCID", ftInteger, 0, true}},
                    {"WORDID", "DOCID"}, {"DOCID"}));
  t.push_back(Table("INDEXER",
                    {{"DOCID", ftInteger, 0, false},
                     {"OPERATION", ftInteger, 0, false},
                     {"POSTDATE", ftDateTime, 0, false}},
                    {}));
  t.push_back(Table("DOCFLD",
                    {{"FIELDNAME", ftString, 30, true},
                     {"CAPTION", ftString, 80, false},
                     {"VISIBLE", ftBoolean, 0, false},
                     {"ALLOWEMPTY", ftBoolean, 0, false},
                     {"SHOWINSEARCHMENU", ftBoolean, 0, false},
                     {"DBEDITTABSH", ftInteger, 0, false},
                     {"EDITSTYLE", ftInteger, 0, false},
                     {"UPDATELIST", ftBoolean, 0, false},
                     {"FILEPATH", ftString, 254, false},
                     {"GLOBALLIST", ftBoolean, 0, false}},
                    {"FIELDNAME"}));
  t.push_back(Table("ITEMLISTS", {{"ITMNAME", ftString, 30, true}, {"ITMLIST", ftMemo, 0, false}},
                    {"ITMNAME"}));
  // Option values hold paths and log stamps: a memo cuts nothing off.
  t.push_back(Table("DBOPTION", {{"OPTNAME", ftString, 50, true}, {"OPTVALUE", ftMemo, 0, false}},
                    {"OPTNAME"}));
  t.push_back(Table("APPL",
                    {{"APPLNAME", ftString, 100, true},
                     {"DOCTYPE", ftString, 1, false},
                     {"DOCPREVIEW", ftString, 1, false},
                     {"DOCPATH", ftString, 254, false},
                     {"FILEEXT", ftString, 20, false},
                     {"VISIBLECMDS", ftString, 10, false},
                     {"EDITRIGHTS", ftBoolean, 0, false},
                     {"APPLIMAGE", ftGraphic, 0, false},
                     {"HASEXECEVENT", ftBoolean, 0, false},
                     {"SHELLNEWVALUE", ftString, 254, false},
                     {"DOCPREVIEWEXE", ftString, 254, false},
                     {"ICONFILE", ftString, 254, false}},
                    {"APPLNAME"}));
  t.push_back(Table("APPLCMD",
                    {{"APPLNAME", ftString, 100, true},
                     {"CMDNAME", ftString, 50, true},
                     {"CMDCAPTION", ftString, 80, false},
                     {"EXECEVENT", ftString, 50, false},
                     {"APPLEXE", ftString, 254, false},
                     {"DEFAULTCMD", ftBoolean, 0, false},
                     {"VISIBLE", ftBoolean, 0, false},
                     {"CHANGEDIR", ftBoolean, 0, false},
                     {"TERMWAIT", ftBoolean, 0, false},
                     {"EXECMACRO", ftBoolean, 0, false},
                     {"FILEASPARAM", ftBoolean, 0, false},
                     {"SWSHOW", ftInteger, 0, false}},
                    {"APPLNAME", "CMDNAME"}));
  t.push_back(Table("FILEEXT", {{"APPLNAME", ftString, 100, true}, {"FILEEXT", ftString, 20, true}},
                    {"APPLNAME", "FILEEXT"}));
  t.push_back(Table("TEMPLATE",
                    {{"APPLNAME", ftString, 100, true},
                     {"TEMPLATENAME", ftString, 100, true},
                     {"TEMPLATEFILE", ftString, 254, false},
                     {"TEMPLATEACTIVE", ftBoolean, 0, false}},
                    {"APPLNAME", "TEMPLATENAME"}));
  return t;
}

std::string Join(const std::vector<const char*>& names) {
  std::string s;
  for (const char* n : names) s += (s.empty() ? "" : ",") + std::string(n);
  return s;
}

struct TFieldSeed {
  const char* Name;
  const char* Caption;
  bool Visible, AllowEmpty, ShowInSearchMenu;
  int EditStyle;
  bool UpdateList;
};

// The product's definitions of the DOCUMENT columns for a new archive.
constexpr TFieldSeed kFieldSeeds[] = {
    {"DOCID", "Dokument-Nr.", true, true, true, 0, false},
    {"APPLNAME", "Dokumenttyp", true, false, true, 1, false},
    {"DOCNO", "Dokumentnummer", true, true, true, 0, false},
    {"NAME", "Bezeichnung", true, true, true, 0, false},
    {"PROJECT", "Projekt", true, true, true, 1, true},
    {"CATEGORY", "Kategorie", true, true, true, 1, true},
    {"STATE", "Status", true, true, true, 1, true},
    {"USERNAME", "Benutzer", true, true, true, 1, false},
    {"MAILFROM", "Absender", true, true, false, 0, false},
    {"TEMPLATE", "Vorlage", true, true, false, 1, false},
    {"FILENAME", "Dateiname", true, true, true, 0, false},
    {"FAVORITE", "Favorit", true, true, false, 0, false},
    {"DOCTYPE", "Dokumentart", false, true, false, 0, false},
    {"ACCESSRIGHTS", "Zugriffsrechte", false, true, false, 0, false},
    {"CREATEDATE", "Erstellt am", true, true, true, 0, false},
    {"EDITDATE", "Geändert am", true, true, true, 0, false},
    {"FTIUPDATE", "Volltextindex aktualisiert", false, true, false, 0, false},
    {"LASTREMARK", "Letzte Bemerkung", true, true, false, 0, false},
    {"DOCGUID", "Dokument-GUID", false, true, false, 0, false},
    {"NOTES", "Notizen", true, true, true, 0, false},
    {"RTFTEXT", "RTF-Text", false, true, false, 0, false},
};

}  // namespace

const std::vector<TSchemaColumn>& DocumentColumns() {
  static const std::vector<TSchemaColumn> columns = MakeDocumentColumns();
  return columns;
}

const std::vector<std::string>& StandardDocumentColumns() {
  static const std::vector<std::string> names = {"DOCID",    "DOCTYPE", "CREATEDATE", "EDITDATE",
                                                 "FILENAME", "RTFTEXT", "USERNAME"};
  return names;
}

const std::vector<TSchemaTable>& ArchiveTables() {
  static const std::vector<TSchemaTable> tables = MakeArchiveTables();
  return tables;
}

const TSchemaTable* FindArchiveTable(std::string_view name) {
  for (const auto& t : ArchiveTables())
    if (AsciiUpper(t.Name) == AsciiUpper(name)) return &t;
  return nullptr;
}

void BuildCreateTableSQL(TStringList& lines, std::string_view table,
                         std::string_view connectionString) {
  lines.Clear();
  bool isTemplate = AsciiUpper(Trim(table)) == "FLDTEMPL";
  lines.Add("CREATE TABLE " + std::string(table));
  lines.Add("(");
  if (isTemplate)
    lines.Add(ColumnDefText("TEMPLATENAME", ftString, 50, connectionString, false) + ",");
  for (const TSchemaColumn& c : DocumentColumns())
    lines.Add(ColumnDefText(c.Name, c.Type, c.Size, connectionString, !(c.NotNull && !isTemplate)) +
              ",");
  lines.Add(isTemplate ? "PRIMARY KEY (TEMPLATENAME)" : "PRIMARY KEY (DOCID)");
  lines.Add(")");
}

void BuildCreateTableSQL(TStringList& lines, std::string_view table,
                         const TConnection& connection) {
  BuildCreateTableSQL(lines, table, connection.ConnectionString());
}

std::vector<std::string> ArchiveCreateStatements(std::string_view connectionString) {
  std::vector<std::string> statements;
  for (const TSchemaTable& t : ArchiveTables()) {
    TStringList lines;
    if (t.DocumentShaped) {
      BuildCreateTableSQL(lines, t.Name, connectionString);
    } else {
      lines.Add(std::string("CREATE TABLE ") + t.Name);
      lines.Add("(");
      for (size_t i = 0; i < t.Columns.size(); ++i) {
        const TSchemaColumn& c = t.Columns[i];
        bool last = i + 1 == t.Columns.size() && t.PrimaryKey.empty();
        lines.Add(ColumnDefText(c.Name, c.Type, c.Size, connectionString, !c.NotNull) +
                  (last ? "" : ","));
      }
      if (!t.PrimaryKey.empty()) lines.Add("PRIMARY KEY (" + Join(t.PrimaryKey) + ")");
      lines.Add(")");
    }
    std::string text;
    for (int i = 0; i < lines.Count(); ++i) text += (i ? "\r\n" : "") + lines[i];
    statements.push_back(std::move(text));
    for (const char* column : t.Indexed)
      statements.push_back(std::string("CREATE INDEX IDX_") + t.Name + "_" + column + " ON " +
                           t.Name + " (" + column + ")");
  }
  return statements;
}

namespace {

// Makes every table of the archive on the new, open `conn` and fills DOCFLD.
void FillEmptyArchive(TConnection& conn, const std::string& connectionString) {
  conn.BeginTrans();
  for (const std::string& statement : ArchiveCreateStatements(connectionString))
    conn.Execute(statement);
  TTable docfld;
  docfld.SetConnection(&conn);
  docfld.SetTableName("DOCFLD");
  docfld.Open();
  for (const TFieldSeed& f : kFieldSeeds) {
    docfld.Append();
    docfld.FieldByName("FIELDNAME").SetAsString(f.Name);
    docfld.FieldByName("CAPTION").SetAsString(f.Caption);
    docfld.FieldByName("VISIBLE").SetAsBoolean(f.Visible);
    docfld.FieldByName("ALLOWEMPTY").SetAsBoolean(f.AllowEmpty);
    docfld.FieldByName("SHOWINSEARCHMENU").SetAsBoolean(f.ShowInSearchMenu);
    docfld.FieldByName("DBEDITTABSH").SetAsInteger(6);
    docfld.FieldByName("EDITSTYLE").SetAsInteger(f.EditStyle);
    docfld.FieldByName("UPDATELIST").SetAsBoolean(f.UpdateList);
    docfld.FieldByName("FILEPATH").SetAsString("");
    docfld.FieldByName("GLOBALLIST").SetAsBoolean(false);
    docfld.Post();
  }
  docfld.Close();
  conn.CommitTrans();
  conn.Close();
}

}  // namespace

void CreateEmptyArchive(const std::string& fileName) {
  // The archive is made as the product's set-up makes a Jet file: dialect 1.
  std::string connectionString =
      "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + fileName;
  TConnection conn;
  conn.SetConnectionString(connectionString);
  conn.CreateDatabase();
  try {
    FillEmptyArchive(conn, connectionString);
  } catch (...) {
    try {
      conn.Close();
    } catch (...) {
    }
    std::error_code ec;
    std::filesystem::remove(fileName, ec);
    throw;
  }
}

void CreateEmptyServerArchive(const std::string& settingsFile) {
  const TIniFile settings(settingsFile);
  const std::string connectionString = settings.ReadString("AdoConnection", "ConnectionString", "");
  if (Trim(connectionString).empty())
    throw EDatabaseError("Die Verbindungsdatei \"" + settingsFile +
                         "\" nennt keine Datenbank ([AdoConnection] ConnectionString fehlt).");
  TConnection conn;
  conn.SetConnectionString(connectionString);
  conn.SetConnectionTimeout(settings.ReadInteger("AdoConnection", "ConnectionTimeOut", 15));
  conn.SetCommandTimeout(settings.ReadInteger("AdoConnection", "CommandTimeOut", 30));
  conn.CreateDatabase();
  try {
    FillEmptyArchive(conn, connectionString);
  } catch (...) {
    // The new database goes again rather than stay half made.
    try {
      conn.DropDatabase();
    } catch (...) {
    }
    throw;
  }
}

}  // namespace dk
