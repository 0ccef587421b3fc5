// A connection to one database through the provider its connection string
// names.
//
// Transactions: outside BeginTrans/CommitTrans every write is committed when
// it has run, as each statement stands on its own. A TBulkScope (see
// bulk_scope.h) groups the writes of a table copy into transactions that are
// committed at the end of the scope and as its TBulkPolicy says; a failed
// write there undoes only itself. BeginTrans nests: the inner levels are
// savepoints of the outer transaction.
//
// Errors: every failure the engine reports is raised as EProviderError and
// stays in Errors() until the next failure replaces it, with its native
// number (kDuplicateKeyError for a unique or primary-key violation).
//
// Closing the connection closes the datasets bound to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/errors.h"
#include "data/provider.h"
#include "sys/string_list.h"

namespace dk {

class TDataSet;

// Cursor settings as the system keeps them; the layer reports them and an
// engine honours what it can. They never change what a query returns.
enum TCursorLocation { clUseServer = 0, clUseClient = 1 };
enum TCursorType { ctUnspecified, ctOpenForwardOnly, ctKeyset, ctDynamic, ctStatic };
enum TADOLockType { ltUnspecified, ltReadOnly, ltPessimistic, ltOptimistic, ltBatchOptimistic };
enum TIsolationLevel {
  ilUnspecified,
  ilChaos,
  ilReadUncommitted,
  ilBrowse,
  ilCursorStability,
  ilReadCommitted,
  ilRepeatableRead,
  ilSerializable,
  ilIsolated
};

// Rows a bulk scope writes at most before it commits.
constexpr int kDefaultBulkCommitRows = 5000;
// A commit of a bulk batch that the database refuses for now (another program
// holds the file) keeps the batch open for the next attempt; after this many
// refusals in a row, each after waiting the command time-out, the database
// counts as locked for good and the batch is given up as lost rows instead of
// growing in memory while the program waits on without end.
constexpr int kMaxRefusedBatchCommits = 3;

// When a bulk scope commits its open batch before the scope ends: after
// `Rows` rows, or once `Time` has passed since the batch began, whichever
// comes first; 0 leaves out a limit of that kind. Every commit of a file
// database waits for the disk, so the limits only decide how much a crash of
// the whole process can take back. The time is read every few hundred rows,
// not per row. `PageCache` lets the engine keep that many bytes of the
// database's pages in memory while the outermost scope lives (0: its own
// limit): a large load into tables with several indexes otherwise writes and
// reads back the same pages again and again.
struct TBulkPolicy {
  int Rows = kDefaultBulkCommitRows;
  std::chrono::milliseconds Time{0};
  size_t PageCache = 0;
};

// A scope whose writes are committed only when it ends.
constexpr TBulkPolicy kBulkCommitAtEnd{0, std::chrono::milliseconds(0)};

class TConnection {
 public:
  TConnection();
  ~TConnection();
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  const std::string& ConnectionString() const { return FConnectionString; }
  // Refused while the connection is open.
  void SetConnectionString(std::string value);
  // The "Provider" of the connection string, else the one set here.
  std::string Provider() const;
  void SetProvider(std::string value);

  bool LoginPrompt() const { return FLoginPrompt; }
  void SetLoginPrompt(bool value) { FLoginPrompt = value; }
  int ConnectionTimeout() const { return FConnectionTimeout; }
  void SetConnectionTimeout(int seconds) { FConnectionTimeout = seconds; }
  int CommandTimeout() const { return FCommandTimeout; }
  void SetCommandTimeout(int seconds) { FCommandTimeout = seconds; }
  TCursorLocation CursorLocation() const { return FCursorLocation; }
  void SetCursorLocation(TCursorLocation value) { FCursorLocation = value; }
  TIsolationLevel IsolationLevel() const { return FIsolationLevel; }
  void SetIsolationLevel(TIsolationLevel value) { FIsolationLevel = value; }
  int Attributes() const { return FAttributes; }
  void SetAttributes(int value) { FAttributes = value; }
  int ConnectOptions() const { return FConnectOptions; }
  void SetConnectOptions(int value) { FConnectOptions = value; }

  void Open();
  // Creates the database the connection string names and opens it; fails
  // when it exists already. Used by set-up tools, never by the system itself.
  void CreateDatabase();
  // Closes the connection and removes the database the connection string
  // names, where the engine keeps databases of its own (a server); for a
  // set-up tool that could not finish the database it created.
  void DropDatabase();
  void Close();
  bool Connected() const { return FProvider != nullptr; }

  // Returns the new nesting level (1 for the outermost transaction).
  int BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  bool InTransaction() const { return FTransLevel > 0; }
  int TransactionLevel() const { return FTransLevel; }

  // Runs one SQL statement as a plain command; a result is discarded.
  // Returns the number of rows the statement changed.
  int64_t Execute(std::string_view sql);

  // The user tables (and views), or with `systemTables` also the engine's.
  void GetTableNames(TStringList& list, bool systemTables = false);

  const std::vector<TProviderErrorInfo>& Errors() const { return FErrors; }
  void ClearErrors() { FErrors.clear(); }

  // For the layer's datasets and tools.
  TProvider& Engine();
  std::unique_ptr<TProviderStatement> Prepare(std::string_view sql);
  TTableInfo TableInfo(std::string_view table);
  std::string QuoteIdentifier(std::string_view name);
  // Runs a prepared write statement (bound already) under the transaction
  // rules above and returns the rows it changed. A `deferrable` write (an
  // INSERT whose caller needs nothing back from the engine) may be kept by
  // an engine that sends bulk writes together; it then counts as one row.
  int64_t RunWrite(TProviderStatement& statement, bool deferrable = false);

  // Lets the engine send the writes of a bulk batch together (see
  // TProvider::DeferWrite), where it can: a row that fails then is recorded
  // on the error list and reported to `handler`, with the tag set for it by
  // SetWriteTag. An empty handler sends what is kept and ends the deferral.
  void SetDeferredFailureHandler(TDeferredFailureHandler handler);
  // Whether writes are deferred now.
  bool DefersWrites() const { return FProvider && FProvider->DefersWrites(); }
  // What the next deferrable write is called in a failure report.
  void SetWriteTag(std::string tag) { FWriteTag = std::move(tag); }
  // Advances with every write made through this connection.
  uint64_t ChangeCount() const { return FChangeCount; }
  // Adds a failure to the error list, replacing the entries of an earlier one.
  void RecordError(const EDatabaseError& error);

 private:
  friend class TDataSet;
  friend class TBulkScope;

  void RegisterDataSet(TDataSet* dataSet);
  void UnregisterDataSet(TDataSet* dataSet);
  void OpenProvider(bool create);
  // Gives the provider the connection's handler of deferred failures.
  void ApplyDeferredFailureHandler();
  // The connection string with the provider set by SetProvider.
  std::string EffectiveConnectionString() const;
  TProviderOptions Options() const;
  void CheckConnected() const;

  void BeginBulk(const TBulkPolicy& policy);
  // Ends one bulk scope; the outermost commits. Throws when the commit fails.
  void EndBulk();
  void CommitBatch();
  // Returns the engine to its own page cache once no bulk batch needs more.
  void LowerPageCache();
  // Whether the open batch of `rows` rows is to be committed now.
  bool BatchDue(int rows) const;

  std::string FConnectionString;
  std::string FProviderName;
  bool FLoginPrompt = false;
  int FConnectionTimeout = 15;
  int FCommandTimeout = 30;
  TCursorLocation FCursorLocation = clUseClient;
  TIsolationLevel FIsolationLevel = ilCursorStability;
  int FAttributes = 0;
  int FConnectOptions = 0;

  std::unique_ptr<TProvider> FProvider;
  std::vector<TDataSet*> FDataSets;
  std::vector<TProviderErrorInfo> FErrors;
  int FTransLevel = 0;
  uint64_t FChangeCount = 0;

  TDeferredFailureHandler FDeferredFailure;
  std::string FWriteTag;

  int FBulkDepth = 0;
  TBulkPolicy FBulkPolicy;
  bool FBatchOpen = false;        // the engine transaction is the bulk scope's batch
  bool FPageCacheRaised = false;  // by the bulk policy, until the batch is committed
  int FBatchRows = 0;
  int FBatchRefusals = 0;  // commits of the open batch refused in a row
  std::chrono::steady_clock::time_point FBatchBegun;
};

}  // namespace dk
