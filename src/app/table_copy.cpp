// The table copy of the main window: counting the legacy rows, copying the
// legacy tables row by row into the target and moving the RTF texts.
#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "app/paradox_fields.h"
#include "data/bulk_scope.h"
#include "db/record_copy.h"
#include "db/util/sql_util.h"
#include "sys/api_tools.h"
#include "sys/text.h"

namespace dk {

namespace {

// The transactions of one copy. Every commit of a file database waits for
// the disk (several syncs), so a commit every few thousand rows costs more
// than the inserts themselves; the size of a batch only decides how much a
// crash of the whole process could take back. A batch is therefore closed by
// time, about every two seconds, whatever the rows cost (an FTIWID row a
// microsecond, a DOCUMENT row with its memos far more). Failures behave as in
// a single TBulkScope: a failed write undoes only itself, and the rows are
// committed when the copy ends, also by an exception.
class TCopyTransactions {
 public:
  // `table` is what the status line shows, `countedAs` the legacy table
  // whose row count is its total.
  TCopyTransactions(TConnection& connection, TFormArcport5Main& form, const std::string& table,
                    const std::string& countedAs)
      : FConnection(connection), FForm(form) {
    FForm.BeginTableCopy(table, countedAs);
    Begin();
  }

  // After each row: counts it; closes the batch when its time is up. When the
  // run was asked to stop, commits the rows so far and ends the copy.
  void RowDone() {
    if (FForm.TableRowDone()) {
      FScope->Finish();
      FForm.CheckStop();
    }
    if (++FRows % kCheckEveryRows != 0) return;
    if (std::chrono::steady_clock::now() - FBegun < kBatchTime) return;
    try {
      FScope->Finish();
    } catch (const EDatabaseError&) {
      // As inside one scope: a commit the database refuses for now (another
      // program reads the file) leaves the batch open for the next one to
      // commit; a batch the engine has dropped is lost rows and ends the copy.
      if (!FConnection.Connected() || !FConnection.Engine().InTransaction()) throw;
    }
    Begin();
  }
  // Commits the last batch; raises when the commit fails.
  void Finish() { FScope->Finish(); }

 private:
  static constexpr int kCheckEveryRows = 256;
  static constexpr std::chrono::seconds kBatchTime{2};
  // The scope's own row limit only caps a batch whose rows come very fast.
  static constexpr int kMaxBatchRows = 1000000;

  void Begin() {
    FScope.reset();
    FScope = std::make_unique<TBulkScope>(FConnection, kMaxBatchRows);
    FBegun = std::chrono::steady_clock::now();
  }

  TConnection& FConnection;
  TFormArcport5Main& FForm;
  std::unique_ptr<TBulkScope> FScope;
  std::chrono::steady_clock::time_point FBegun;
  long FRows = 0;
};

std::string CountText(int count) {
  return std::to_string(count) + " Datensätze bearbeitet";
}

void LetMessagesThrough() {
  if (Application) Application->ProcessMessages();
}

// The target query's connection, which the copies write through.
TConnection& TargetConnection(TQuery& query) {
  TConnection* connection = query.Connection();
  if (!connection) throw EDatabaseError("AdoQueryDst: keine Verbindung zugeordnet.");
  return *connection;
}

// The text of the source row's first column for the log; a value that cannot
// be read must not turn the logging of a skipped row into a failure of the
// whole copy.
std::string FirstColumnText(const TParadoxQuery& source) {
  try {
    return source.FieldCount() > 0 ? source.Fields(0).AsString() : std::string();
  } catch (const std::exception&) {
    return std::string();
  }
}

}  // namespace

int TFormArcport5Main::GetRecordCount(const std::string& tableName) {
  TParadoxQuery query;
  try {
    query.SetDatabaseName(FSourceDir);
    query.SetSQL("SELECT COUNT(*) AS FRECORDCOUNT FROM " + tableName);
    query.Open();
    const int count = query.FieldByName("FRECORDCOUNT").AsInteger();
    query.Close();
    return count;
  } catch (const std::exception&) {
    return -1;
  }
}

int TFormArcport5Main::CopyTable(const std::string& tableName) {
  AddLog("Daten übernehmen, Tabelle: " + tableName);
  const std::string sql = "SELECT * FROM " + tableName;
  AdoQueryDst->Close();
  AdoQueryDst->SetSQLText(sql);
  AdoQueryDst->Open();
  BdeQuerySrc->Close();
  BdeQuerySrc->SetSQL(sql);
  BdeQuerySrc->Open();

  // A TODO row always gets a GUID of its own; a target without the optional
  // TODOGUID column takes the rows without one rather than refusing them all.
  TField* todoGuid = SameText(tableName, "TODO") ? AdoQueryDst->FindField("TODOGUID") : nullptr;
  const TRecordCopyMap map(*BdeQuerySrc, *AdoQueryDst);
  int count = 0;
  TCopyTransactions transactions(TargetConnection(*AdoQueryDst), *this, tableName, tableName);
  while (!BdeQuerySrc->Eof()) {
    try {
      AdoQueryDst->Append();
      CopyRecordFields(*BdeQuerySrc, map);
      if (todoGuid) todoGuid->SetAsString(NewGuidText());
      AdoQueryDst->Post();
      ++count;
    } catch (const std::exception&) {
      if (AdoQueryDst->State() != dsBrowse) AdoQueryDst->Cancel();
      AddLog("Datensatz \"" + FirstColumnText(*BdeQuerySrc) + "\" konnte nicht kopiert werden.");
    }
    ProgressBar->StepIt();
    LetMessagesThrough();
    transactions.RowDone();
    BdeQuerySrc->Next();
  }
  // The rows are counted as written only once they are committed.
  transactions.Finish();
  AddLog(CountText(count));
  AdoQueryDst->Close();
  BdeQuerySrc->Close();
  return count;
}

void TFormArcport5Main::CopyDocuments() {
  AddLog("Daten übernehmen, Tabelle DOCUMENT");
  AdoQueryDst->Close();
  AdoQueryDst->SetSQLText("SELECT * FROM DOCUMENT");
  AdoQueryDst->Open();
  BdeQuerySrc->Close();
  BdeQuerySrc->SetSQL("SELECT * FROM DOCUMENT");
  BdeQuerySrc->Open();

  const TRecordCopyMap map(*BdeQuerySrc, *AdoQueryDst);
  TField* myNames = AdoQueryDst->FindField("MYNAMES");
  int count = 0;
  // A row that cannot be posted ends the copy (and the conversion); every
  // row posted before it is committed on the way out.
  TCopyTransactions transactions(TargetConnection(*AdoQueryDst), *this, "DOCUMENT", "DOCUMENT");
  while (!BdeQuerySrc->Eof()) {
    AdoQueryDst->Append();
    CopyRecordFields(*BdeQuerySrc, map);
    try {
      AdoQueryDst->FieldByName("DOCNO").SetAsString(BdeQuerySrc->FieldByName("NUMBER").AsString());
      AdoQueryDst->FieldByName("NOTES").SetAsString(BdeQuerySrc->FieldByName("NOTE").AsString());
      AdoQueryDst->FieldByName("DOCGUID").SetAsString(NewGuidText());
      if (myNames) myNames->SetAsString(BdeQuerySrc->FieldByName("NAMES").AsString());
    } catch (const std::exception&) {
      AddLog("*** NUMBER, NOTES, NAMES oder DOCGUID konnte nicht übernommen werden ***");
    }
    AdoQueryDst->Post();
    ProgressBar->StepIt();
    ++count;
    LetMessagesThrough();
    transactions.RowDone();
    BdeQuerySrc->Next();
  }
  transactions.Finish();
  AddLog(CountText(count));
}

void TFormArcport5Main::MoveRtfTexts() {
  int count = 0;
  const bool sourceHasRtf = BdeQuerySrc->FindField("RTFTEXT") != nullptr;
  const bool targetHasRtf = AdoQueryDst->FindField("RTFTEXT") != nullptr;
  if (sourceHasRtf && targetHasRtf) return;  // CopyDocuments carried them
  if (!sourceHasRtf && !targetHasRtf) {
    AddLog("*** Datenfeld RTFTEXT weder in document noch in DOCBLOBS gefunden ***");
    return;
  }

  TConnection& target = TargetConnection(*AdoQueryDst);
  if (sourceHasRtf) {
    AddLog("kopiere RTFTEXT von DOCUMENT nach DOCBLOBS");
    BdeQuerySrc->First();
  } else {
    AddLog("kopiere RTFTEXT von DOCBLOBS nach DOCUMENT");
    BdeQuerySrc->Close();
    BdeQuerySrc->SetSQL("SELECT * FROM DOCBLOBS");
    BdeQuerySrc->Open();
  }
  // A legacy DOCBLOBS without RTFTEXT is a damaged archive: it raises here.
  const TParadoxField& rtf = BdeQuerySrc->FieldByName("RTFTEXT");
  TCopyTransactions transactions(target, *this, "RTFTEXT", sourceHasRtf ? "DOCUMENT" : "DOCBLOBS");
  while (!BdeQuerySrc->Eof()) {
    if (!IsFieldEmpty(&rtf)) {
      try {
        const std::string docId = BdeQuerySrc->FieldByName("DOCID").AsString();
        if (sourceHasRtf)
          target.Execute("INSERT INTO DOCBLOBS (DOCID,RTFTEXT) VALUES(" + docId + "," +
                         SqlQuoted(rtf.AsString()) + ")");
        else
          target.Execute("UPDATE DOCUMENT SET RTFTEXT=" + SqlQuoted(rtf.AsString()) + " " +
                         "WHERE DOCID=" + docId);
      } catch (const std::exception&) {
        AddLog("*** RTF-Text konnte nicht kopiert werden ***");
      }
    }
    ProgressBar->StepIt();
    ++count;
    transactions.RowDone();
    BdeQuerySrc->Next();
  }
  transactions.Finish();
  AddLog(CountText(count));
}

}  // namespace dk
