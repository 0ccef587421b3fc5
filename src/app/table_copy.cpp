#include "app/table_copy.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "app/copy_tracking.h"
#include "app/paradox_fields.h"
#include "data/errors.h"
#include "data/query.h"
#include "db/record_copy.h"
#include "sys/api_tools.h"
#include "sys/text.h"

namespace dk {

namespace {

std::string CountText(int count) {
  return std::to_string(count) + " Datensätze bearbeitet";
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

// Prepares the statement of the RTF move, into the target's DOCBLOBS or into
// its DOCUMENT, and returns the type of the target column.
TFieldType PrepareRtfStatement(TQuery& statement, TQuery& target, bool intoDocBlobs) {
  statement.SetConnection(&TargetConnection(target));
  if (!intoDocBlobs) {
    statement.SetSQLText("UPDATE DOCUMENT SET RTFTEXT=:RTFTEXT WHERE DOCID=:DOCID");
    return target.FieldByName("RTFTEXT").DataType();
  }
  statement.SetSQLText("INSERT INTO DOCBLOBS (DOCID,RTFTEXT) VALUES(:DOCID,:RTFTEXT)");
  try {
    TQuery probe;
    probe.SetConnection(statement.Connection());
    probe.SetSQLText("SELECT RTFTEXT FROM DOCBLOBS WHERE 0=1");
    probe.Open();
    return probe.Fields(0).DataType();
  } catch (const std::exception&) {
    // Without the column every statement fails and is logged on its own.
    return ftMemo;
  }
}

// The target's primary key of the large tables whose key comes from the legacy
// rows. Their rows are read in that order: the target's key then grows at its
// end instead of each row landing on a page of its own, which loads a large
// table much faster. The order of rows is not kept in the target (every
// table has a key, no row number is shown); only DOCPRTCL numbers its entries
// in the order they come, so it and the smaller tables keep the legacy order.
const char* TargetKeyOrder(const std::string& tableName) {
  static constexpr std::pair<const char*, const char*> kKeyOrdered[] = {
      {"FTIWORD", "WORDID"},
      {"FTIWID", "WORDID, DOCID"},
  };
  for (const auto& [table, key] : kKeyOrdered)
    if (SameText(tableName, table)) return key;
  return nullptr;
}

// True when the legacy table has every field of `key` ("A, B").
bool HasKeyFields(const TParadoxQuery& source, std::string_view key) {
  for (size_t start = 0; start <= key.size();) {
    const size_t comma = std::min(key.find(',', start), key.size());
    if (!source.FindField(Trim(key.substr(start, comma - start)))) return false;
    start = comma + 1;
  }
  return true;
}

}  // namespace

int CountLegacyRows(const std::string& sourceDir, const std::string& tableName, bool salvage) {
  TParadoxQuery query;
  try {
    query.SetSalvage(salvage);
    query.SetDatabaseName(sourceDir);
    query.SetSQL("SELECT COUNT(*) AS FRECORDCOUNT FROM " + tableName);
    query.Open();
    const int count = query.FieldByName("FRECORDCOUNT").AsInteger();
    query.Close();
    return count;
  } catch (const std::exception&) {
    return -1;
  }
}

TTableCopy::TTableCopy(TParadoxQuery& source, TQuery& target, TLog log, TCopyProgress progress)
    : FSource(source), FTarget(target), FLog(std::move(log)), FProgress(std::move(progress)) {}

void TTableCopy::Log(const std::string& line) const {
  if (FLog) FLog(line);
}

void TTableCopy::OpenBoth(const std::string& sql) {
  FTarget.Close();
  FTarget.SetSQLText(sql);
  FTarget.Open();
  FSource.Close();
  FSource.SetSQL(sql);
  FSource.Open();
}

int TTableCopy::CopyTable(const std::string& tableName) {
  Log("Daten übernehmen, Tabelle: " + tableName);
  OpenBoth("SELECT * FROM " + tableName);
  // A legacy table without the key's fields is copied as it stands, each row
  // failing on its own as it would.
  if (const char* key = TargetKeyOrder(tableName); key && HasKeyFields(FSource, key)) {
    FSource.Close();
    FSource.SetSQL("SELECT * FROM " + tableName + " ORDER BY " + key);
    FSource.OnSortProgress = [this, &tableName](int64_t done, int64_t total) {
      if (FProgress.Sort && FProgress.Sort(tableName, done, total) && FProgress.Stop)
        FProgress.Stop();
    };
    struct TForgetSort {
      TParadoxQuery& Source;
      ~TForgetSort() { Source.OnSortProgress = nullptr; }
    } forgetSort{FSource};
    FSource.Open();
  }

  // A TODO row always gets a GUID of its own; a target without the optional
  // TODOGUID column takes the rows without one rather than refusing them all.
  TField* todoGuid = SameText(tableName, "TODO") ? FTarget.FindField("TODOGUID") : nullptr;
  const TRecordCopyMap map(FSource, FTarget);
  TCopyFailures failures(FLog);
  const auto valueFailed = [&failures](TField& target, const std::exception& cause) {
    failures.Value(target.FieldName(), cause);
  };
  int count = 0;
  TCopyTransactions transactions(TargetConnection(FTarget), FProgress, tableName, tableName);
  // On a server the rows travel together; a row that fails there is logged
  // when they arrive, with the same line, and no longer counts as copied.
  transactions.DeferFailures([&](const std::string& tag, const EDatabaseError& e) {
    Log("Datensatz \"" + tag + "\" konnte nicht kopiert werden.");
    failures.Row(e);
    --count;
    return true;
  });
  while (!FSource.Eof()) {
    try {
      FTarget.Append();
      CopyRecordFields(FSource, map, valueFailed);
      if (todoGuid) todoGuid->SetAsString(NewGuidText());
      if (transactions.Defers()) transactions.Tag(FirstColumnText(FSource));
      FTarget.Post();
      ++count;
    } catch (const EBatchLost&) {
      // Not a failure of this row: the engine has dropped the rows of the
      // open batch (a full disk, an I/O error). Going on would count them as
      // copied; the copy ends and the run fails with the number lost.
      if (FTarget.State() != dsBrowse) FTarget.Cancel();
      throw;
    } catch (const std::exception& e) {
      if (FTarget.State() != dsBrowse) FTarget.Cancel();
      Log("Datensatz \"" + FirstColumnText(FSource) + "\" konnte nicht kopiert werden.");
      failures.Row(e);
    }
    transactions.RowDone(true);
    FSource.Next();
  }
  // The rows are counted as written only once they are committed.
  transactions.Finish();
  failures.LogCounts();
  Log(CountText(count));
  FTarget.Close();
  FSource.Close();
  return count;
}

void TTableCopy::CopyDocuments() {
  Log("Daten übernehmen, Tabelle DOCUMENT");
  OpenBoth("SELECT * FROM DOCUMENT");

  const TRecordCopyMap map(FSource, FTarget);
  TCopyFailures failures(FLog);
  const auto valueFailed = [&failures](TField& target, const std::exception& cause) {
    failures.Value(target.FieldName(), cause);
  };
  // The columns of the special assignments, looked up once. A missing one
  // fails each row's assignment through FieldByName, whose message names the
  // table and the column.
  TField* const docNo = FTarget.FindField("DOCNO");
  TField* const notes = FTarget.FindField("NOTES");
  TField* const docGuid = FTarget.FindField("DOCGUID");
  TField* const myNames = FTarget.FindField("MYNAMES");
  const TParadoxField* const number = FSource.FindField("NUMBER");
  const TParadoxField* const note = FSource.FindField("NOTE");
  const TParadoxField* const names = FSource.FindField("NAMES");
  const auto target = [this](TField* field, const char* name) -> TField& {
    return field ? *field : FTarget.FieldByName(name);
  };
  const auto source = [this](const TParadoxField* field, const char* name) -> const TParadoxField& {
    return field ? *field : FSource.FieldByName(name);
  };
  int count = 0;
  // A row that cannot be posted ends the copy (and the conversion); every
  // row posted before it is committed on the way out.
  // On a server the rows travel together: the first that fails there drops
  // the rows posted after it and ends the copy as its own post would have.
  // (Declared before the transactions, whose end may still send rows.)
  std::optional<EDatabaseError> sentRowFailed;
  TCopyTransactions transactions(TargetConnection(FTarget), FProgress, "DOCUMENT", "DOCUMENT");
  transactions.DeferFailures([&](const std::string&, const EDatabaseError& e) {
    sentRowFailed = e;
    return false;
  });
  const auto endAtASentFailure = [&] {
    if (sentRowFailed) throw EDatabaseError(*sentRowFailed);
  };
  while (!FSource.Eof()) {
    FTarget.Append();
    CopyRecordFields(FSource, map, valueFailed);
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
          Log("*** NUMBER, NOTES, NAMES oder DOCGUID konnte nicht übernommen werden ***");
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
    FTarget.Post();
    endAtASentFailure();
    ++count;
    transactions.RowDone(true);
    endAtASentFailure();
    FSource.Next();
  }
  transactions.Finish();
  endAtASentFailure();
  failures.LogCounts();
  Log(CountText(count));
}

void TTableCopy::MoveRtfTexts() {
  const bool sourceHasRtf = FSource.FindField("RTFTEXT") != nullptr;
  const bool targetHasRtf = FTarget.FindField("RTFTEXT") != nullptr;
  if (sourceHasRtf && targetHasRtf) return;  // CopyDocuments carried them
  if (!sourceHasRtf && !targetHasRtf) {
    Log("*** Datenfeld RTFTEXT weder in document noch in DOCBLOBS gefunden ***");
    return;
  }

  TConnection& target = TargetConnection(FTarget);
  if (sourceHasRtf) {
    Log("kopiere RTFTEXT von DOCUMENT nach DOCBLOBS");
    FSource.First();
  } else {
    Log("kopiere RTFTEXT von DOCBLOBS nach DOCUMENT");
    FSource.Close();
    FSource.SetSQL("SELECT * FROM DOCBLOBS");
    FSource.Open();
  }
  // A legacy DOCBLOBS without RTFTEXT is a damaged archive: it raises here.
  const TFieldType rtfType = FSource.FieldByName("RTFTEXT").DataType();
  // The texts travel as bound values: an RTF text may hold any byte, a NUL
  // included, which no SQL literal carries. A text column gets the text
  // decoded (a legacy Blob in the table's code page); only a binary target
  // column gets the bytes of a Blob as they are stored.
  TQuery statement;
  const TFieldType targetType = PrepareRtfStatement(statement, FTarget, sourceHasRtf);
  const bool bytes = rtfType == ftBlob && !IsTextType(targetType);
  TCopyFailures failures(FLog);
  TCopyTransactions transactions(target, FProgress, "RTFTEXT",
                                 sourceHasRtf ? "DOCUMENT" : "DOCBLOBS");
  // On a server the texts travel together; a text that fails there is
  // logged when they arrive, with the same line.
  statement.SetDeferrable(true);
  transactions.DeferFailures([this, &failures](const std::string&, const EDatabaseError& e) {
    Log("*** RTF-Text konnte nicht kopiert werden ***");
    failures.RtfText(e);
    return true;
  });
  WriteRtfTexts(statement, bytes, failures, transactions);
}

void TTableCopy::WriteRtfTexts(TQuery& statement, bool bytes, TCopyFailures& failures,
                               TCopyTransactions& transactions) {
  const TParadoxField& rtf = FSource.FieldByName("RTFTEXT");
  // Without DOCID each text fails on its own, as its statement would.
  const TParadoxField* const docId = FSource.FindField("DOCID");
  TParameter& idParam = statement.Parameters().ParamByName("DOCID");
  TParameter& textParam = statement.Parameters().ParamByName("RTFTEXT");
  // A memo or Blob text is read once: a value that cannot be read (a damaged
  // .MB) is a failed text, not an empty one that is passed over in silence.
  const TFieldType rtfType = rtf.DataType();
  const bool memoKind = rtfType == ftMemo || rtfType == ftFmtMemo || IsBlobType(rtfType);
  int count = 0;
  while (!FSource.Eof()) {
    if (!rtf.IsNull() && (memoKind || !IsFieldEmpty(&rtf))) {
      try {
        TVariant text = bytes ? rtf.Value() : TVariant(rtf.AsText());
        // An empty text, like a null one, is no text to carry over.
        const bool empty =
            text.IsNull() ||
            (text.Type() == TVarType::Bytes ? text.BytesData() : text.ToString()).empty();
        if (!empty) {
          textParam.Value = std::move(text);
          idParam.Value = (docId ? *docId : FSource.FieldByName("DOCID")).Value();
          statement.ExecSQL();
        }
      } catch (const EBatchLost&) {
        throw;  // the texts written before are lost, as in CopyTable
      } catch (const std::exception& e) {
        Log("*** RTF-Text konnte nicht kopiert werden ***");
        failures.RtfText(e);
      }
    }
    ++count;
    transactions.RowDone(false);
    FSource.Next();
  }
  transactions.Finish();
  failures.LogCounts();
  Log(CountText(count));
}

}  // namespace dk
