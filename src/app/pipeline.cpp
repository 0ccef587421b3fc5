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
#include "data/bulk_scope.h"
#include "data/errors.h"
#include "db/appl_database.h"
#include "db/archive.h"
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

// The legacy tables whose rows make up the progress budget, in counting order.
constexpr std::array<const char*, 8> kCountedTables{"DOCUMENT", "DOCBLOBS", "IDENTNO", "DOCVERS",
                                                    "TODO",     "DOCPRTCL", "FTIWORD", "FTIWID"};

// The tables copied row by row after the documents, in this order.
constexpr std::array<const char*, 5> kCopiedTables{"DOCVERS", "TODO", "DOCPRTCL", "FTIWORD",
                                                   "FTIWID"};

constexpr const char* kSupportKey = "SOFTWARE\\Tesmarin\\Dokalon Pro\\Settings";

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
    // Byte for byte: AsciiUpper keeps every position.
    const size_t hit = AsciiUpper(line).find(AsciiUpper(from));
    if (hit != std::string::npos) line.replace(hit, std::string_view(from).size(), to);
  }
  return line;
}

std::string RewriteLayoutText(std::string_view bytes) {
  // Byte by byte: the layout may be in the legacy code page, and every byte
  // the three renames do not touch stays as it was, line ends included.
  std::string out;
  out.reserve(bytes.size() + 64);
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    out += RewriteLayoutLine(std::string(bytes.substr(start, end - start)));
    size_t next = end;
    if (next < bytes.size() && bytes[next] == '\r') ++next;
    if (next < bytes.size() && bytes[next] == '\n') ++next;
    out.append(bytes, end, next - end);
    start = next;
  }
  return out;
}

void RewriteLayoutFile(const std::string& fileName) {
  WriteBytes(fileName, RewriteLayoutText(ReadBytes(fileName)));
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
    FOutcome = FDamageLost.empty() ? TRunOutcome::Converted : TRunOutcome::ConvertedWithLosses;
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
    if (const auto* lost = dynamic_cast<const EBatchLost*>(&e); lost && !FTables.empty())
      FTables.back().Lost += lost->LostRows();
    AddLog("******************* Fehler *********************");
    AddLog(e.what());
    // The engine's own text ("database is locked") names neither the file
    // nor the cause a user can act on.
    if (IsLockConflict(e)) AddLog(TargetLockedDuringRunText(FTargetDb));
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
  StartLog();
  CheckSourceTables();
  CountSourceRows();
  CheckStop();
  OpenTarget();
  OpenSource();
  CheckStop();
  AddMissingDocumentColumns();
  CheckStop();
  ImportFieldDescriptions();
  AddStoredFieldDefinitions();
  MarkRequiredFields();
  CheckStop();
  CopyLayout();
  CheckStop();
  LoadPickLists();
  CheckStop();
  CopyData();
  ReportRowsOfLostDocuments();
  CheckStop();
  FinishTarget();
}

void TFormArcport5Main::StartLog() {
  AddLog(GetLogStamp() + " Konvertiere altes Archiv " + FSourceDir + " nach " + FTargetDb);
  AddLog("Ermittle Datensatzanzahl der Quelle...");
  Application->ProcessMessages();
}

// The progress budget: the legacy rows plus the fixed advances of the stages.
void TFormArcport5Main::CountSourceRows() {
  int budget = 30;
  for (const char* table : kCountedTables) {
    const int count = GetRecordCount(table);
    FSourceCounts[table] = count;
    budget += count;
  }
  ProgressBar->SetMax(budget);
}

void TFormArcport5Main::OpenTarget() {
  TDkArchive& archive = *DkArchiveDst;
  AddLog("öffne " + FTargetDb);
  CheckTargetBeforeOpen();
  archive.SetDatabaseName(FTargetDb);
  archive.Open();
  ProgressBar->StepBy(5);
  archive.RefreshQueryDoc();
}

void TFormArcport5Main::OpenSource() {
  AddLog("öffne document.db");
  BdeQuerySrc->Close();
  BdeQuerySrc->SetDatabaseName(FSourceDir);
  BdeQuerySrc->SetSQL("SELECT * FROM DOCUMENT");
  BdeQuerySrc->Open();
  ProgressBar->StepBy(5);
}

// The legacy document columns the target lacks. NAMES is tested under its
// legacy name and added as MYNAMES even when the target has that column; the
// database then rejects the statement and the run ends.
void TFormArcport5Main::AddMissingDocumentColumns() {
  TDkArchive& archive = *DkArchiveDst;
  AddLog("nicht-Standard Datenfelder...");
  TConnection& connection = archive.Connection();
  // The statements are committed together: every commit waits for the disk.
  // A statement that fails still undoes only itself and ends the run; the
  // columns added before it stay, as if each had been committed on its own.
  TBulkScope statements(connection, kBulkCommitAtEnd);
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
  statements.Finish();
  ProgressBar->StepBy(5);
  archive.RefreshQueryDoc();
}

void TFormArcport5Main::CopyLayout() {
  TDkArchive& archive = *DkArchiveDst;
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
}

void TFormArcport5Main::CopyData() {
  AdoQueryDst->SetConnection(&DkArchiveDst->Connection());
  AddLog("Daten kopieren");
  CopyDocuments();
  MoveRtfTexts();
  for (const char* table : kCopiedTables) CopyTable(table);
}

void TFormArcport5Main::FinishTarget() {
  TDkArchive& archive = *DkArchiveDst;
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
  if (!probe.IsDatabase) return;  // the archive's own open names what the file is
  if (probe.Locked) throw std::runtime_error(TargetLockedText(FTargetDb));
  if (!probe.Error.empty()) return;
  if (!probe.MissingTable.empty())
    throw std::runtime_error(MissingArchiveTableText(FTargetDb, probe.MissingTable));
  // A second conversion would append every document, version and word again.
  if (!probe.Converted.empty())
    throw std::runtime_error(AlreadyConvertedText(FTargetDb, probe.Converted));
}

}  // namespace dk
