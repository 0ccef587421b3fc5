// The bookkeeping of one table copy: the transactions its rows are written
// in and the failures it reports.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/table_copy.h"
#include "data/bulk_scope.h"
#include "data/connection.h"

namespace dk {

// The transactions of one copy: one bulk scope over the whole copy, committed
// when the copy ends. Every commit of a file database waits for the disk
// (several syncs), and after a commit every index page the copy touches again
// must first be saved to the rollback journal, synced before the page cache
// may spill: a large table committed in slices (once a minute, say) copies
// several times slower once its indexes outgrow the cache, with the syncs
// growing with the table. Inside one transaction the new pages need no
// journal. The size of a batch only decides how much a crash of the whole
// process could take back, and a killed run is reported and redone anyway.
// The engine may keep up to 64 MiB of pages meanwhile: FTIWID's DOCID index
// takes its rows in no order, and with the engine's usual 2 MB each of them
// lands on a page that was written out and must be read back (twice the time
// for the large table). The memory is given back when the copy ends.
// Failures behave as in a single TBulkScope: a failed write undoes only
// itself, a commit refused for now keeps the batch open, and the rows are
// committed when the copy ends, also by an exception.
class TCopyTransactions {
 public:
  static constexpr TBulkPolicy kPolicy{0, std::chrono::milliseconds(0), size_t{64} << 20};

  // Reports the copy's beginning: `table` is what the status line shows,
  // `countedAs` the legacy table whose row count is its total.
  TCopyTransactions(TConnection& connection, const TCopyProgress& progress,
                    const std::string& table, const std::string& countedAs);
  // Commits what is left, as Finish, reporting no failure.
  ~TCopyTransactions();
  TCopyTransactions(const TCopyTransactions&) = delete;
  TCopyTransactions& operator=(const TCopyTransactions&) = delete;

  // Lets an engine that can (a server) send the copy's rows together instead
  // of one round trip each. A row that fails is then reported to `handler`
  // when the rows are sent, at the latest by Finish, under the tag the copy
  // gave it with Tag before its post.
  void DeferFailures(TDeferredFailureHandler handler);
  // Whether rows are sent together, so that each needs its tag.
  bool Defers() const { return FDeferring && FConnection.DefersWrites(); }
  void Tag(std::string tag) { FConnection.SetWriteTag(std::move(tag)); }

  // After each source row: reports the step. When the run was asked to stop,
  // commits the rows so far and reports the stop.
  void RowDone(bool letMessagesThrough);
  // Commits the last batch; raises when the commit fails.
  void Finish() { FScope->Finish(); }

 private:
  TConnection& FConnection;
  const TCopyProgress& FProgress;
  std::unique_ptr<TBulkScope> FScope;
  bool FDeferring = false;
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
  explicit TCopyFailures(TTableCopy::TLog log) : FLog(std::move(log)) {}

  // A value of target column `column` not taken over.
  void Value(const std::string& column, const std::exception& cause);
  // A row not copied, or an RTF text not moved; the caller has logged the
  // row's own line already.
  void Row(const std::exception& cause) { Other("Datensätze", cause); }
  void RtfText(const std::exception& cause) { Other("RTF-Texte", cause); }

  // The counts of the kinds that failed more than once.
  void LogCounts();

 private:
  struct TKind {
    std::string Name;
    int Count = 0;
  };

  void Other(const char* kind, const std::exception& cause);
  // Counts one failure of `kind`; returns the count so far.
  int Count(const std::string& kind);
  void Log(const std::string& line) const {
    if (FLog) FLog(line);
  }

  TTableCopy::TLog FLog;
  std::vector<TKind> FKinds;  // a few at most, in the order they first failed
};

}  // namespace dk
