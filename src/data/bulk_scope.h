// Groups the writes of a table copy into transactions.
//
// While a scope lives, the writes on its connection (posts of its datasets,
// Execute, ExecSQL) run inside a transaction that is committed as the policy
// says (every `commitEvery` rows, or by rows and/or time) and when the scope
// ends, normally or by an exception:
// nothing reported as written is left uncommitted or rolled back. A write that
// fails undoes only itself; every row posted before and after it stays. An
// explicit BeginTrans inside the scope first commits the rows so far.
//
// The destructor cannot report a failing final commit (the database stays
// locked by another program past the command time-out); the failure is then on
// the connection's error list and the rows are committed with the next write
// or when the connection closes. Call Finish() to learn of it as an exception.
#pragma once

#include "data/connection.h"

namespace dk {

class TBulkScope {
 public:
  explicit TBulkScope(TConnection& connection, int commitEvery = kDefaultBulkCommitRows);
  TBulkScope(TConnection& connection, const TBulkPolicy& policy);
  ~TBulkScope();
  TBulkScope(const TBulkScope&) = delete;
  TBulkScope& operator=(const TBulkScope&) = delete;

  // Ends the scope now and commits; throws when the commit fails.
  void Finish();

 private:
  TConnection& FConnection;
  bool FActive = true;
};

}  // namespace dk
