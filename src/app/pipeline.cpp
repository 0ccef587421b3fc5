// The conversion pipeline: a version 5 archive (Paradox tables and side
// files in the source directory) carried into an existing version 6 archive.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/legacy_columns.h"
#include "app/main_window.h"
#include "app/pending_files.h"
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

// The legacy layout's bytes, read through a copy into a temporary file: a
// layout that cannot be read shows the error box of the file copy, as
// without --atomic, and nothing is written where the layouts live.
bool ReadLegacyLayout(const std::string& legacyLayout, std::string& bytes) {
  std::error_code ec;
  std::string temp = std::filesystem::temp_directory_path(ec).string();
  if (ec || temp.empty()) temp = "/tmp";
  temp += "/arcport5-layout.XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0)
    throw std::runtime_error("Im Ordner für temporäre Dateien kann keine Datei angelegt werden (" +
                             temp + "): " + std::strerror(errno));
  close(fd);
  const bool copied = FileCopy(legacyLayout, temp, true, true);
  struct TRemove {
    std::string Path;
    ~TRemove() { unlink(Path.c_str()); }
  } remove{temp};
  if (!copied) return false;
  bytes = ReadBytes(temp);
  return true;
}

void WriteBytes(const std::string& fileName, const std::string& bytes) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out)
    throw std::runtime_error("Die Datei \"" + fileName + "\" kann nicht geschrieben werden.");
}

// The columns of the legacy DOCUMENT, upper case; none when it cannot be
// opened (opening the source names that failure in its own stage).
std::vector<std::string> LegacyDocumentColumns(const std::string& sourceDir) {
  std::vector<std::string> columns;
  try {
    TParadoxQuery query;
    query.SetDatabaseName(sourceDir);
    query.SetSQL("SELECT * FROM DOCUMENT");
    query.Open();
    for (int i = 0; i < query.FieldCount(); ++i)
      columns.push_back(AsciiUpper(query.Fields(i).FieldName()));
  } catch (const std::exception&) {
    columns.clear();
  }
  return columns;
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
    // Stopped on request: the copy has committed its rows (with --atomic the
    // transaction is taken back). The log says so under the banner; no box
    // and no beep, the user asked for it.
    FOutcome = TRunOutcome::Interrupted;
    FStopSignal = e.Signal();
    AddLog("******************* Fehler *********************");
    AddLog(e.what());
    RollBackAtomic();
  } catch (const std::exception& e) {
    if (const auto* lost = dynamic_cast<const EBatchLost*>(&e); lost && !FTables.empty())
      FTables.back().Lost += lost->LostRows();
    AddLog("******************* Fehler *********************");
    AddLog(e.what());
    // The engine's own text ("database is locked") names neither the file
    // nor the cause a user can act on.
    if (IsLockConflict(e)) AddLog(TargetLockedDuringRunText(FTargetDb));
    if (RollBackAtomic()) {
      // The commit happened after all and its files are in place: the run
      // converted, as the log says after the error.
      FOutcome = FDamageLost.empty() ? TRunOutcome::Converted : TRunOutcome::ConvertedWithLosses;
      AddLog("Import/Konvertierung abgeschlossen");
      return;
    }
    Beep();
    MessageDlg(e.what(), mtError, mbOK);
  }
}

void TFormArcport5Main::RunStages() {
  StartLog();
  if (SettleEarlierAtomicRun()) return;
  CheckSourceTables();
  CountSourceRows();
  CheckStop();
  OpenTarget();
  BeginAtomic();
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
  const std::string connectionString = connection.ConnectionString();
  // Every name is checked before the first statement: a name the target
  // cannot take ends the run with the target unchanged.
  struct TNewColumn {
    const TParadoxField* Field;
    std::string SqlName;
  };
  std::vector<TNewColumn> columns;
  for (int i = 0; i < BdeQuerySrc->FieldCount(); ++i) {
    const TParadoxField& field = BdeQuerySrc->Fields(i);
    const std::string upper = AnsiUpperCase(field.FieldName());
    if (archive.DocQuery()->FindField(upper) || SameText(upper, "NUMBER") ||
        SameText(upper, "NOTE"))
      continue;
    const std::string name = LegacyColumnName(field.FieldName());
    const std::string problem = UnusableColumnNameReason(name, connectionString);
    if (!problem.empty())
      throw std::runtime_error(UnusableColumnNameText(field.FieldName(), problem));
    // A name with a blank, a hyphen or an umlaut is quoted: unquoted, SQL
    // would take "KUNDEN NR TEXT(20)" as a column KUNDEN of type "NR TEXT(20)".
    columns.push_back({&field, ColumnNameInSql(name, connection)});
  }
  for (const TNewColumn& column : columns) {
    const TParadoxField& field = *column.Field;
    std::string type = LegacyColumnType(field.DataType(), field.Size(), connectionString);
    const std::string statement = AlterTableAddText("DOCUMENT", column.SqlName, type);
    AddLog("SQL für neues Feld: " + statement);
    FTargetChanged = true;
    connection.Execute(statement);
    type = LegacyColumnType(field.DataType(), field.Size(), connectionString);
    connection.Execute(AlterTableAddText("FLDTEMPL", column.SqlName, type));
  }
  statements.Finish();
  ProgressBar->StepBy(5);
  archive.RefreshQueryDoc();
}

void TFormArcport5Main::CopyLayout() {
  TDkArchive& archive = *DkArchiveDst;
  FTargetChanged = true;
  const std::string layoutsDir = GetLayoutsDir();
  // With --atomic the folder is made when the layout is put in place.
  if (!FAtomic && !DirectoryExists(layoutsDir)) ForceDirectories(layoutsDir);
  std::string layout = layoutsDir + ChangeFileExt(ExtractFileName(archive.DatabaseName()), ".lay");
  MakeUniqueFileName(layout);
  const std::string legacyLayout = FindFileIgnoringCase(FSourceDir, "document.lay");
  AddLog("kopiere Layout \"" + legacyLayout + "\" nach \"" + layout + "\"");
  if (FAtomic) {
    std::string bytes;
    if (ReadLegacyLayout(legacyLayout, bytes)) {
      archive.WriteOption("LayoutFile", layout);
      FPendingFiles.Add(layout, RewriteLayoutText(bytes), false);
    }
    return;
  }
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
  // With --atomic the run is complete only once its transaction has
  // committed: the line follows the commit there.
  if (!FAtomic) AddLog("Import/Konvertierung abgeschlossen");
  const std::string converted = GetLogStamp() + "converted from paradox archive";
  archive.WriteOption("Converted", converted);
  if (FAtomic) CommitAtomic(converted);
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
  // A run that failed or was stopped left its columns, layout copy or rows:
  // a second one would fail on them (or copy the documents twice) and copy
  // the layout once more. Refused before anything is written.
  const std::vector<std::string> signs =
      PartlyConvertedSigns(probe, FTargetDb, LegacyDocumentColumns(FSourceDir));
  if (!signs.empty()) throw std::runtime_error(PartlyConvertedText(FTargetDb, signs));
}

void TFormArcport5Main::BeginAtomic() {
  if (!FAtomic) return;
  DkArchiveDst->Connection().BeginTrans();
  FAtomicState = TAtomicState::Open;
  AddLog(
      "Konvertierung in einer Transaktion (--atomic): Zieldatenbank, Layout und globale "
      "Auswahllisten ändern sich erst, wenn alles übernommen ist.");
}

void TFormArcport5Main::CommitAtomic(const std::string& converted) {
  // The last moment a stop request can still take everything back.
  if (const int sig = StopSignal())
    throw EInterrupted(sig, "Konvertierung abgebrochen durch " + SignalName(sig) +
                                " vor dem Abschluss der Transaktion.");
  TConnection& connection = DkArchiveDst->Connection();
  const std::string record = PendingRecordName(FTargetDb);
  // The files wait beside the target until the commit: a run killed between
  // the commit and their placement leaves the record, and the next run puts
  // them in place (SettleEarlierAtomicRun).
  if (!FPendingFiles.Empty()) FPendingFiles.WriteRecord(record, converted);
  connection.CommitTrans();
  FAtomicState = TAtomicState::Committed;
  AddLog("Import/Konvertierung abgeschlossen");
  if (FPendingFiles.Empty()) return;
  FPendingFiles.Place();
  for (const TPendingFiles::TFile& f : FPendingFiles.Files()) AddLog("abgelegt: " + f.Path);
  if (unlink(record.c_str()) != 0 && errno != ENOENT)
    throw std::runtime_error("Die Datei \"" + record +
                             "\" kann nicht entfernt werden: " + std::strerror(errno));
}

bool TFormArcport5Main::RollBackAtomic() {
  const TAtomicState state = FAtomicState;
  FAtomicState = TAtomicState::None;
  if (state == TAtomicState::Open) {
    TConnection& connection = DkArchiveDst->Connection();
    try {
      if (connection.Connected() && connection.InTransaction()) connection.RollbackTrans();
    } catch (const std::exception&) {
      // The engine takes the transaction back when the connection closes
      // (a server) or the next program opens the file (SQLite's journal).
    }
  }
  try {
    DkArchiveDst->Close();
  } catch (const std::exception&) {
    // the failure being reported is the one that counts
  }
  if (state == TAtomicState::None) return false;
  if (state == TAtomicState::Committed) {
    AddLog(
        "Die Zieldatenbank ist konvertiert; ihre Dateien sind noch nicht alle abgelegt. "
        "Derselbe Aufruf legt sie ab (siehe \"" +
        PendingRecordName(FTargetDb) + "\").");
    return false;
  }
  // A commit whose answer was lost may still have happened: the record
  // beside the target decides, as it would for the next run.
  TSettled settled = TSettled::Nothing;
  try {
    settled = SettlePendingFiles(
        FTargetDb, [this] { return TargetConvertedValue(); },
        [this](const std::string& line) { AddLog(line); }, true);
  } catch (const std::exception& e) {
    AddLog(e.what());
    settled = TSettled::Undecided;
  }
  if (settled == TSettled::Completed) return true;
  if (settled == TSettled::Undecided) return false;
  AddLog(
      "Es wurde nichts geändert: die Transaktion ist zurückgenommen, Zieldatenbank, Layout und "
      "globale Auswahllisten sind wie vor dem Lauf. Derselbe Aufruf kann wiederholt werden.");
  return false;
}

bool TFormArcport5Main::SettleEarlierAtomicRun() {
  const TSettled settled = SettlePendingFiles(
      FTargetDb, [this] { return TargetConvertedValue(); },
      [this](const std::string& line) { AddLog(line); }, false);
  if (settled == TSettled::Undecided)
    throw std::runtime_error("Die Zieldatenbank \"" + FTargetDb +
                             "\" wird nicht konvertiert, solange unklar ist, ob ein früherer Lauf "
                             "sie konvertiert hat.");
  if (settled != TSettled::Completed) return false;
  AddLog("Import/Konvertierung abgeschlossen");
  return true;
}

std::string TFormArcport5Main::TargetConvertedValue() const {
  // Asked for writing: a run killed in its commit leaves a hot journal, which
  // a read-only open refuses and only a writer rolls back (the write lock is
  // given back at once; nothing else is written).
  const TTargetProbe probe = ProbeTarget(FTargetDb, true, 3000);
  if (probe.Locked) throw std::runtime_error(TargetLockedText(FTargetDb));
  if (!probe.Error.empty()) throw std::runtime_error(probe.Error);
  return probe.Converted;
}

}  // namespace dk
