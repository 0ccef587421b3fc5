// The table copy of the conversion: legacy rows appended to the target's
// tables, the documents with their renamed columns, the RTF texts moved to
// where the target keeps them.
//
//   TTableCopy copy(source, target, log, progress);   // both queries bound
//   copy.CopyDocuments();
//   copy.MoveRtfTexts();                              // right after the documents
//   copy.CopyTable("TODO");
//
// The copy knows neither the window nor the settings: it reads through the
// legacy query (its directory set), writes through the target query's
// connection and reports by the log callback and the progress events. Each
// copy logs its table and the rows it handled. The copies write through a
// bulk scope on the target connection: a failed row undoes only itself, and
// every row reported as posted is committed when the copy ends, also when it
// ends by a failure.
#pragma once

#include <functional>
#include <string>

#include "data/query.h"
#include "paradox/query.h"

namespace dk {

class TCopyTransactions;
class TCopyFailures;

// What a copy reports while it runs. An empty member is skipped.
struct TCopyProgress {
  // A copy begins: `table` as the status line shows it (RTFTEXT for the RTF
  // move), its total the row count of the legacy table `countedAs`.
  std::function<void(const std::string& table, const std::string& countedAs)> Begin;
  // One source row has passed through the copy, written or not.
  // `letMessagesThrough` is false in the RTF move, which keeps pending window
  // messages waiting until it is done. Returns true when the run was asked to
  // stop: the copy then commits the rows so far and calls Stop.
  std::function<bool(bool letMessagesThrough)> Step;
  // Ends the run after a stop request by raising; when it returns, the copy
  // goes on.
  std::function<void()> Stop;
  // The legacy rows of `table` are being put in the target's key order,
  // before Begin: `done` of `total` rows read into the sort. Returns true
  // when the run was asked to stop: the copy then calls Stop, whose raising
  // ends the sort with nothing copied.
  std::function<bool(const std::string& table, int64_t done, int64_t total)> Sort;
};

class TTableCopy {
 public:
  using TLog = std::function<void(const std::string& line)>;

  // `source` has its directory set; `target` is bound to the connection the
  // copies write through. Both must outlive the copy.
  TTableCopy(TParadoxQuery& source, TQuery& target, TLog log, TCopyProgress progress);

  // Appends every row of the legacy table to the target table of the same
  // name, column by column by name; a TODO row gets a new TODOGUID. A row
  // that cannot be filled or posted is logged and skipped. Returns the rows
  // posted; leaves both queries closed. A table that cannot be opened raises.
  int CopyTable(const std::string& tableName);
  // Appends the legacy DOCUMENT rows to the target DOCUMENT: the columns of
  // the same name, NUMBER as DOCNO, NOTE as NOTES, NAMES as MYNAMES (when the
  // target has it) and a new DOCGUID. A row that cannot be posted raises,
  // after every row before it has been committed. Leaves both queries open on
  // DOCUMENT for MoveRtfTexts.
  void CopyDocuments();
  // Right after CopyDocuments: carries the RTF texts to the target's
  // DOCBLOBS when only the legacy DOCUMENT has RTFTEXT, or from the legacy
  // DOCBLOBS into the target DOCUMENT when only the target has it.
  void MoveRtfTexts();

 private:
  void Log(const std::string& line) const;
  // Opens both queries on `sql`, the target first.
  void OpenBoth(const std::string& sql);
  // The source rows from the current one on, each RTF text by `statement`.
  void WriteRtfTexts(TQuery& statement, bool bytes, TCopyFailures& failures,
                     TCopyTransactions& transactions);

  TParadoxQuery& FSource;
  TQuery& FTarget;
  TLog FLog;
  TCopyProgress FProgress;
};

// The rows of legacy table `tableName` in `sourceDir`, counted with a query
// of its own (read salvaged when `salvage` is set); -1 when the table cannot
// be counted.
int CountLegacyRows(const std::string& sourceDir, const std::string& tableName,
                    bool salvage = false);

}  // namespace dk
