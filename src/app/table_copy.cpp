// The table copy of the main window: counting the legacy rows, copying the
// legacy tables row by row into the target and moving the RTF texts.
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/paradox_fields.h"
#include "data/bulk_scope.h"
#include "data/query.h"
#include "db/record_copy.h"
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

// The failures of one copy by kind: a column whose values are not taken
// over, rows that are not copied, RTF texts that are not moved. The first
// failure of a kind is followed in the log by its cause as the engine reports
// it (a damaged or missing memo file names itself and its fault); the
// further ones are only counted, and the count is logged once when the table
// is done, so that one bad file neither floods the log nor goes unnamed.
// Only failures reach this class; the rows that copy cleanly never do.
class TCopyFailures {
 public:
  explicit TCopyFailures(TFormArcport5Main& form) : FForm(form) {}

  // A value of target column `column` not taken over.
  void Value(const std::string& column, const std::exception& cause) {
    if (Count("Feld \"" + column + "\"") == 1)
      FForm.AddLog("Feld \"" + column + "\" nicht übernommen: " + cause.what());
  }
  // A row not copied, or an RTF text not moved; the caller has logged the
  // row's own line already.
  void Row(const std::exception& cause) { Other("Datensätze", cause); }
  void RtfText(const std::exception& cause) { Other("RTF-Texte", cause); }

  // The counts of the kinds that failed more than once.
  void LogCounts() {
    for (const TKind& kind : FKinds) {
      if (kind.Count < 2) continue;
      if (kind.Name.rfind("Feld ", 0) == 0)
        FForm.AddLog(kind.Name + " in insgesamt " + std::to_string(kind.Count) +
                     " Datensätzen nicht übernommen");
      else
        FForm.AddLog("insgesamt " + std::to_string(kind.Count) + " " + kind.Name +
                     " nicht kopiert");
    }
  }

 private:
  struct TKind {
    std::string Name;
    int Count = 0;
  };

  void Other(const char* kind, const std::exception& cause) {
    if (Count(kind) == 1) FForm.AddLog(std::string("Ursache: ") + cause.what());
  }
  // Counts one failure of `kind`; returns the count so far.
  int Count(const std::string& kind) {
    for (TKind& k : FKinds)
      if (k.Name == kind) return ++k.Count;
    FKinds.push_back({kind, 1});
    return 1;
  }

  TFormArcport5Main& FForm;
  std::vector<TKind> FKinds;  // a few at most, in the order they first failed
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
  TCopyFailures failures(*this);
  const auto valueFailed = [&failures](TField& target, const std::exception& cause) {
    failures.Value(target.FieldName(), cause);
  };
  int count = 0;
  TCopyTransactions transactions(TargetConnection(*AdoQueryDst), *this, tableName, tableName);
  while (!BdeQuerySrc->Eof()) {
    try {
      AdoQueryDst->Append();
      CopyRecordFields(*BdeQuerySrc, map, valueFailed);
      if (todoGuid) todoGuid->SetAsString(NewGuidText());
      AdoQueryDst->Post();
      ++count;
    } catch (const std::exception& e) {
      if (AdoQueryDst->State() != dsBrowse) AdoQueryDst->Cancel();
      AddLog("Datensatz \"" + FirstColumnText(*BdeQuerySrc) + "\" konnte nicht kopiert werden.");
      failures.Row(e);
    }
    ProgressBar->StepIt();
    LetMessagesThrough();
    transactions.RowDone();
    BdeQuerySrc->Next();
  }
  // The rows are counted as written only once they are committed.
  transactions.Finish();
  failures.LogCounts();
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
  TCopyFailures failures(*this);
  const auto valueFailed = [&failures](TField& target, const std::exception& cause) {
    failures.Value(target.FieldName(), cause);
  };
  // The columns of the special assignments, looked up once. A missing one
  // fails each row's assignment through FieldByName, whose message names the
  // table and the column.
  TField* const docNo = AdoQueryDst->FindField("DOCNO");
  TField* const notes = AdoQueryDst->FindField("NOTES");
  TField* const docGuid = AdoQueryDst->FindField("DOCGUID");
  TField* const myNames = AdoQueryDst->FindField("MYNAMES");
  const TParadoxField* const number = BdeQuerySrc->FindField("NUMBER");
  const TParadoxField* const note = BdeQuerySrc->FindField("NOTE");
  const TParadoxField* const names = BdeQuerySrc->FindField("NAMES");
  const auto target = [this](TField* field, const char* name) -> TField& {
    return field ? *field : AdoQueryDst->FieldByName(name);
  };
  const auto source = [this](const TParadoxField* field, const char* name) -> const TParadoxField& {
    return field ? *field : BdeQuerySrc->FieldByName(name);
  };
  int count = 0;
  // A row that cannot be posted ends the copy (and the conversion); every
  // row posted before it is committed on the way out.
  TCopyTransactions transactions(TargetConnection(*AdoQueryDst), *this, "DOCUMENT", "DOCUMENT");
  while (!BdeQuerySrc->Eof()) {
    AdoQueryDst->Append();
    CopyRecordFields(*BdeQuerySrc, map, valueFailed);
    // Each special assignment stands on its own: a memo that cannot be read
    // (NOTE in a damaged .MB) or a legacy table without NUMBER must not cost
    // the row its GUID or its names. The row's line is logged once, each
    // column's cause once per table.
    bool rowLogged = false;
    const auto assign = [&](const char* column, auto&& assignment) {
      try {
        assignment();
      } catch (const std::exception& e) {
        if (!rowLogged)
          AddLog("*** NUMBER, NOTES, NAMES oder DOCGUID konnte nicht übernommen werden ***");
        rowLogged = true;
        failures.Value(column, e);
      }
    };
    assign("DOCNO",
           [&] { target(docNo, "DOCNO").SetAsString(source(number, "NUMBER").AsString()); });
    assign("NOTES", [&] { target(notes, "NOTES").SetAsString(source(note, "NOTE").AsString()); });
    assign("DOCGUID", [&] { target(docGuid, "DOCGUID").SetAsString(NewGuidText()); });
    if (myNames)
      assign("MYNAMES", [&] { myNames->SetAsString(source(names, "NAMES").AsString()); });
    AdoQueryDst->Post();
    ProgressBar->StepIt();
    ++count;
    LetMessagesThrough();
    transactions.RowDone();
    BdeQuerySrc->Next();
  }
  transactions.Finish();
  failures.LogCounts();
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
  // Without DOCID each text fails on its own, as its statement would.
  const TParadoxField* const docId = BdeQuerySrc->FindField("DOCID");
  // The texts travel as bound values: an RTF text may hold any byte, a NUL
  // included, which no SQL literal carries. A text column gets the text
  // decoded (a legacy Blob in the table's code page); only a binary target
  // column gets the bytes of a Blob as they are stored.
  TQuery statement;
  statement.SetConnection(&target);
  TFieldType targetType = ftMemo;
  if (sourceHasRtf) {
    statement.SetSQLText("INSERT INTO DOCBLOBS (DOCID,RTFTEXT) VALUES(:DOCID,:RTFTEXT)");
    try {
      TQuery probe;
      probe.SetConnection(&target);
      probe.SetSQLText("SELECT RTFTEXT FROM DOCBLOBS WHERE 0=1");
      probe.Open();
      targetType = probe.Fields(0).DataType();
    } catch (const std::exception&) {
      // Without the column every statement fails and is logged below.
    }
  } else {
    statement.SetSQLText("UPDATE DOCUMENT SET RTFTEXT=:RTFTEXT WHERE DOCID=:DOCID");
    targetType = AdoQueryDst->FieldByName("RTFTEXT").DataType();
  }
  const bool bytes = rtf.DataType() == ftBlob && !IsTextType(targetType);
  TParameter& idParam = statement.Parameters().ParamByName("DOCID");
  TParameter& textParam = statement.Parameters().ParamByName("RTFTEXT");
  TCopyFailures failures(*this);
  TCopyTransactions transactions(target, *this, "RTFTEXT", sourceHasRtf ? "DOCUMENT" : "DOCBLOBS");
  // A memo or Blob text is read once: a value that cannot be read (a damaged
  // .MB) is a failed text, not an empty one that is passed over in silence.
  const TFieldType rtfType = rtf.DataType();
  const bool memoKind = rtfType == ftMemo || rtfType == ftFmtMemo || IsBlobType(rtfType);
  while (!BdeQuerySrc->Eof()) {
    if (!rtf.IsNull() && (memoKind || !IsFieldEmpty(&rtf))) {
      try {
        textParam.Value = bytes ? ParadoxFieldValue(rtf) : TVariant(rtf.AsText());
        idParam.Value = ParadoxFieldValue(docId ? *docId : BdeQuerySrc->FieldByName("DOCID"));
        statement.ExecSQL();
      } catch (const std::exception& e) {
        AddLog("*** RTF-Text konnte nicht kopiert werden ***");
        failures.RtfText(e);
      }
    }
    ProgressBar->StepIt();
    ++count;
    transactions.RowDone();
    BdeQuerySrc->Next();
  }
  transactions.Finish();
  failures.LogCounts();
  AddLog(CountText(count));
}

}  // namespace dk
