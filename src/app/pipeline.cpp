// The conversion pipeline: a version 5 archive (Paradox tables and side
// files in the source directory) carried into an existing version 6 archive.
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/main_window.h"
#include "app/stop_signal.h"
#include "app/target_probe.h"
#include "db/appl_database.h"
#include "db/archive.h"
#include "db/db_fields.h"
#include "db/util/sql_util.h"
#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "settings/reg_tool.h"
#include "sys/api_tools.h"
#include "sys/file_names.h"
#include "sys/file_paths.h"
#include "sys/registry.h"
#include "sys/text.h"
#include "ui/message_box.h"

namespace dk {

namespace {

// The legacy document columns that change their names on the way, in the
// order the field definitions are renamed.
struct TRenamedColumn {
  const char* Legacy;
  const char* Target;
};
constexpr std::array<TRenamedColumn, 3> kRenamedColumns{{
    {"NUMBER", "DOCNO"},
    {"NOTE", "NOTES"},
    {"NAMES", "MYNAMES"},
}};

// The legacy name of a renamed target column, or "".
std::string LegacyNameOf(std::string_view target) {
  for (const auto& r : kRenamedColumns)
    if (SameText(target, r.Target)) return r.Legacy;
  return std::string();
}

// The target name of a legacy column name, or "".
std::string TargetNameOf(std::string_view legacy) {
  for (const auto& r : kRenamedColumns)
    if (SameText(legacy, r.Legacy)) return r.Target;
  return std::string();
}

// The legacy tables whose rows make up the progress budget, in counting order.
constexpr std::array<const char*, 8> kCountedTables{"DOCUMENT", "DOCBLOBS", "IDENTNO", "DOCVERS",
                                                    "TODO",     "DOCPRTCL", "FTIWORD", "FTIWID"};

// The tables copied row by row after the documents, in this order.
constexpr std::array<const char*, 5> kCopiedTables{"DOCVERS", "TODO", "DOCPRTCL", "FTIWORD",
                                                   "FTIWID"};

constexpr const char* kSupportKey = "SOFTWARE\\Tesmarin\\Dokalon Pro\\Settings";

// Finds `pattern` (ASCII) in `line` ignoring the case of ASCII letters.
size_t FindAsciiIgnoringCase(std::string_view line, std::string_view pattern) {
  if (pattern.empty() || line.size() < pattern.size()) return std::string_view::npos;
  for (size_t i = 0; i + pattern.size() <= line.size(); ++i) {
    size_t k = 0;
    while (k < pattern.size()) {
      char a = line[i + k], b = pattern[k];
      if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
      if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
      if (a != b) break;
      ++k;
    }
    if (k == pattern.size()) return i;
  }
  return std::string_view::npos;
}

std::string ReadBytes(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw std::runtime_error("Die Datei \"" + fileName + "\" kann nicht gelesen werden.");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const std::string& fileName, const std::string& bytes) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out)
    throw std::runtime_error("Die Datei \"" + fileName + "\" kann nicht geschrieben werden.");
}

}  // namespace

std::string RewriteLayoutLine(std::string line) {
  static constexpr std::array<std::pair<const char*, const char*>, 3> kLayoutRenames{{
      {",Doc,NUMBER,", ",Doc,DOCNO,"},
      {",Doc,NOTE,", ",Doc,NOTES,"},
      {",Doc,NAMES,", ",Doc,MYNAMES,"},
  }};
  for (const auto& [from, to] : kLayoutRenames) {
    const size_t hit = FindAsciiIgnoringCase(line, from);
    if (hit != std::string::npos) line.replace(hit, std::string_view(from).size(), to);
  }
  return line;
}

void RewriteLayoutFile(const std::string& fileName) {
  // Byte by byte: the layout may be in the legacy code page, and every byte
  // the three renames do not touch stays as it was, line ends included.
  const std::string bytes = ReadBytes(fileName);
  std::string out;
  out.reserve(bytes.size() + 64);
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    out += RewriteLayoutLine(bytes.substr(start, end - start));
    size_t next = end;
    if (next < bytes.size() && bytes[next] == '\r') ++next;
    if (next < bytes.size() && bytes[next] == '\n') ++next;
    out.append(bytes, end, next - end);
    start = next;
  }
  WriteBytes(fileName, out);
}

std::string FindSupportFile(const std::string& fileName, const std::string& sourceDir) {
  std::string path = FindFileIgnoringCase(sourceDir, fileName);
  if (FileExists(path)) return path;
  TRegistry reg(TRootKey::LocalMachine);
  if (reg.OpenKeyReadOnly(kSupportKey)) {
    path = ExtractFilePath(RegReadString(reg, "ApplDatabase", "")) + fileName;
    if (!FileExists(path))
      path = IncludeTrailingPathDelimiter(RegReadString(reg, "CommonFilesPath", "")) + fileName;
  } else {
    const std::string parent = ExtractFilePath(ExcludeTrailingPathDelimiter(sourceDir));
    path = FindFileIgnoringCase(parent, fileName);
    if (!FileExists(path)) {
      const std::string grandParent = ExtractFilePath(ExcludeTrailingPathDelimiter(parent));
      path = FindFileIgnoringCase(grandParent, fileName);
    }
  }
  reg.CloseKey();
  return path;
}

void TFormArcport5Main::ConvertArchive() {
  InitSettingsLocations(this);
  std::unique_ptr<TConfiguration> config = std::make_unique<TConfiguration>(true);
  Configuration = config.get();
  FPrepared = true;
  Application->SetCursor(crSQLWait);
  struct TCleanUp {
    std::unique_ptr<TConfiguration>& Config;
    ~TCleanUp() {
      Application->SetCursor(crDefault);
      Configuration = nullptr;
      Config.reset();
    }
  } cleanUp{config};

  Application->ProcessMessages();
  try {
    RunStages();
    FOutcome = TRunOutcome::Converted;
  } catch (const EInterrupted& e) {
    // Stopped on request: the copy has committed its rows. The log says so
    // under the banner; no box and no beep, the user asked for it.
    FOutcome = TRunOutcome::Interrupted;
    FStopSignal = e.Signal();
    AddLog("******************* Fehler *********************");
    AddLog(e.what());
    try {
      DkArchiveDst->Close();
    } catch (const std::exception&) {
      // the interruption is what the log reports
    }
  } catch (const std::exception& e) {
    AddLog("******************* Fehler *********************");
    AddLog(e.what());
    try {
      DkArchiveDst->Close();
    } catch (const std::exception&) {
      // the failure being reported is the one that counts
    }
    Beep();
    MessageDlg(e.what(), mtError, mbOK);
  }
}

void TFormArcport5Main::RunStages() {
  TDkArchive& archive = *DkArchiveDst;

  // 1. Start.
  AddLog(GetLogStamp() + " Konvertiere altes Archiv " + FSourceDir + " nach " + FTargetDb);
  AddLog("Ermittle Datensatzanzahl der Quelle...");
  Application->ProcessMessages();

  // 2. Progress budget: the legacy rows plus the fixed advances of the stages.
  int budget = 30;
  for (const char* table : kCountedTables) {
    const int count = GetRecordCount(table);
    FSourceCounts[table] = count;
    budget += count;
  }
  ProgressBar->SetMax(budget);
  CheckStop();

  // 3. Target.
  AddLog("öffne " + FTargetDb);
  CheckTargetBeforeOpen();
  archive.SetDatabaseName(FTargetDb);
  archive.Open();
  ProgressBar->StepBy(5);
  archive.RefreshQueryDoc();

  // 4. Source.
  AddLog("öffne document.db");
  BdeQuerySrc->Close();
  BdeQuerySrc->SetDatabaseName(FSourceDir);
  BdeQuerySrc->SetSQL("SELECT * FROM DOCUMENT");
  BdeQuerySrc->Open();
  ProgressBar->StepBy(5);

  CheckStop();

  // 5. The legacy document columns the target lacks. NAMES is tested under
  // its legacy name and added as MYNAMES even when the target has that
  // column; the database then rejects the statement and the run ends.
  AddLog("nicht-Standard Datenfelder...");
  TConnection& connection = archive.Connection();
  for (int i = 0; i < BdeQuerySrc->FieldCount(); ++i) {
    const TParadoxField& field = BdeQuerySrc->Fields(i);
    std::string name = AsciiUpper(field.FieldName());
    if (archive.DocQuery()->FindField(name) || SameText(name, "NUMBER") || SameText(name, "NOTE"))
      continue;
    if (SameText(name, "NAMES")) name = "MYNAMES";
    std::string type = ColumnTypeText(field.DataType(), field.Size(), connection);
    const std::string statement = AlterTableAddText("DOCUMENT", name, type);
    AddLog("SQL für neues Feld: " + statement);
    connection.Execute(statement);
    type = ColumnTypeText(field.DataType(), field.Size(), connection);
    connection.Execute(AlterTableAddText("FLDTEMPL", name, type));
  }
  ProgressBar->StepBy(5);
  archive.RefreshQueryDoc();

  CheckStop();

  // 6. Field descriptions, then the renames.
  TDkDBFields& fields = *archive.DBFields();
  const std::string fldPath = FindFileIgnoringCase(FSourceDir, "document.fld");
  AddLog("Feldbeschreibungen importieren..." + fldPath);
  fields.ImportFromFile(fldPath);
  for (const auto& r : kRenamedColumns) {
    if (TDkDBField* def = fields.Find(r.Legacy)) {
      fields.AddCopy(*def, r.Target);
      fields.Delete(r.Legacy, false);
    }
  }
  ProgressBar->StepBy(5);

  // 7. Definitions of columns the description file does not cover.
  {
    TDkDBFields stored(archive);
    stored.LoadFromDb();
    TQuery& doc = *archive.DocQuery();
    for (int i = 0; i < doc.FieldCount(); ++i) {
      const std::string name = AsciiUpper(doc.Fields(i).FieldName());
      if (fields.Find(name)) continue;
      if (const TDkDBField* def = stored.Find(name)) fields.AddCopy(*def);
    }
  }
  ProgressBar->StepBy(1);

  // 8. Required fields. A line naming a legacy column marks its successor.
  const std::string reqPath = FindSupportFile("reqfield.itm", FSourceDir);
  if (FileExists(reqPath)) {
    TStringList lines;
    lines.LoadFromFile(reqPath);
    for (const std::string& line : lines.Items()) {
      TDkDBField* def = fields.Find(line);
      if (!def) {
        const std::string successor = TargetNameOf(line);
        if (!successor.empty()) def = fields.Find(successor);
      }
      if (def) def->AllowEmpty = false;
    }
  } else {
    AddLog("*** Pflichtfeld-Definitionen konnten nicht übernommen werden ***");
  }
  ProgressBar->StepBy(5);

  CheckStop();

  // 9. Layout.
  const std::string layoutsDir = GetLayoutsDir();
  if (!DirectoryExists(layoutsDir)) ForceDirectories(layoutsDir);
  std::string layout = layoutsDir + ChangeFileExt(ExtractFileName(archive.DatabaseName()), ".lay");
  MakeUniqueFileName(layout);
  const std::string legacyLayout = FindFileIgnoringCase(FSourceDir, "document.lay");
  AddLog("kopiere Layout \"" + legacyLayout + "\" nach \"" + layout + "\"");
  if (FileCopy(legacyLayout, layout, false, true)) {
    archive.WriteOption("LayoutFile", layout);
    RewriteLayoutFile(layout);
  }

  CheckStop();

  // 10. Pick lists. A renamed field finds its local list under the legacy
  // name first (NAMES.itm for MYNAMES), then under the new one.
  for (int i = 0; i < fields.Count(); ++i) {
    TDkDBField& def = fields.Items(i);
    if (!def.HasItemList()) continue;
    std::string local;
    const std::string legacy = LegacyNameOf(def.FieldName);
    if (!legacy.empty()) local = FindFileIgnoringCase(FSourceDir, legacy + ".itm");
    if (local.empty() || !FileExists(local))
      local = FindFileIgnoringCase(FSourceDir, def.FieldName + ".itm");
    if (FileExists(local)) {
      def.GlobalList = false;
      def.Items.LoadFromFile(local);
    } else {
      def.GlobalList = true;
      def.LoadPickItems();
      const std::string supportList = FindSupportFile(def.FieldName + ".itm", FSourceDir);
      if (FileExists(supportList)) {
        const bool updateList = def.UpdateList;
        def.UpdateList = true;
        try {
          TStringList lines;
          lines.LoadFromFile(supportList);
          for (const std::string& line : lines.Items()) def.AddItemToPickList(line, false);
        } catch (...) {
          def.UpdateList = updateList;
          throw;
        }
        def.UpdateList = updateList;
      }
    }
    def.SavePickItems();
  }
  fields.SaveAll(connection);
  ProgressBar->StepBy(5);

  CheckStop();

  // 11. Data.
  AdoQueryDst->SetConnection(&connection);
  AddLog("Daten kopieren");
  CopyDocuments();
  MoveRtfTexts();
  for (const char* table : kCopiedTables) CopyTable(table);

  CheckStop();

  // 12. Close down.
  AdoQueryDst->Close();
  archive.SyncIDCounters();
  AddLog("Import/Konvertierung abgeschlossen");
  archive.WriteOption("Converted", GetLogStamp() + "converted from paradox archive");
  archive.Close();
  // The budget counts rows that never advance the bar (IDENTNO, DOCBLOBS
  // when the RTF texts stay where they are): a finished run shows 100%.
  ProgressBar->SetPosition(ProgressBar->Max());
  ProgressBar->SetDetail("");
}

void TFormArcport5Main::CheckTargetBeforeOpen() {
  // The data layer waits up to its command time-out for a lock; a few
  // seconds tell a lock that a saving program gives back from one that stays.
  const TTargetProbe probe = ProbeTarget(FTargetDb, true, 3000);
  if (!probe.IsSqlite) return;  // the archive's own open names what the file is
  if (probe.Locked) throw std::runtime_error(TargetLockedText(FTargetDb));
  if (!probe.Error.empty()) return;
  if (!probe.MissingTable.empty())
    throw std::runtime_error(MissingArchiveTableText(FTargetDb, probe.MissingTable));
  // A second conversion would append every document, version and word again.
  if (!probe.Converted.empty())
    throw std::runtime_error(AlreadyConvertedText(FTargetDb, probe.Converted));
}

}  // namespace dk
