// What a database engine must provide to the data access layer.
//
// A provider owns one engine connection and nothing else: it opens and creates
// databases, prepares statements, binds parameters by position, steps through
// result rows, describes result columns and tables, and runs transactions and
// savepoints. Everything above it (row buffer, states, events, INSERT/UPDATE/
// DELETE generation, locate, master-detail, batching) is the layer's and works
// the same for every engine. A provider signals engine failures with
// EProviderError, mapping its unique and primary-key violations to
// kDuplicateKeyError.
//
// Providers are chosen by the connection string's "Provider=" value. The layer
// knows its built-in providers; RegisterProvider adds others (a read-only
// engine over legacy tables, a server engine) without changes above.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/connection_string.h"
#include "sys/field_type.h"
#include "sys/variant.h"

namespace dk {

// One column of a statement's result.
struct TColumnInfo {
  std::string Name;  // the result column's name (its alias if one was given)
  TFieldType DataType = ftUnknown;
  int Size = 0;
  // The table and column the value comes from; empty for expressions.
  std::string BaseTable;
  std::string BaseColumn;
};

// One column of a table.
struct TTableColumn {
  std::string Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;
  bool NotNull = false;
  bool HasDefault = false;
  int KeyPosition = 0;  // 1-based position in the primary key, 0 when not part of it
  // The engine fills the column by itself when an INSERT leaves it out, and
  // LastInsertId() then gives its value (an auto-increment column, SQLite's
  // INTEGER PRIMARY KEY).
  bool EngineNumbered = false;
};

struct TTableInfo {
  bool Exists = false;
  std::string Name;
  std::vector<TTableColumn> Columns;
  // An expression naming a row's hidden identity when the table has no
  // primary key (SQLite's rowid), usable in WHERE; empty when there is none.
  std::string RowIdName;
};

struct TProviderOptions {
  int ConnectionTimeout = 15;  // seconds
  int CommandTimeout = 30;     // seconds; how long a locked database is waited for
};

// A prepared statement. Parameters are numbered from 0 in the order of their
// first appearance in the text; a name used twice is one parameter.
class TProviderStatement {
 public:
  virtual ~TProviderStatement() = default;

  virtual const std::string& Sql() const = 0;
  virtual int ParamCount() const = 0;
  // The name of parameter `index` without its colon, empty for an unnamed one.
  virtual std::string ParamName(int index) const = 0;
  virtual void Bind(int index, const TVariant& value) = 0;

  // True for a statement that delivers rows (a SELECT).
  virtual bool ReturnsRows() const = 0;
  virtual int ColumnCount() const = 0;
  virtual const TColumnInfo& Column(int index) const = 0;

  // Runs the statement when it has not run since the last Reset and moves to
  // its next row. Returns false at the end of the rows (at once for a
  // statement without rows). Must not be called again after it returned false
  // until Reset.
  virtual bool Step() = 0;
  // The current row's value of column `index`, in the engine's storage form.
  virtual void ReadValue(int index, TVariant& out) const = 0;
  // Back to the state before the first Step; bindings stay.
  virtual void Reset() = 0;
  // Rows changed by the last complete run of an INSERT, UPDATE or DELETE.
  virtual int64_t RowsAffected() const = 0;
};

class EDatabaseError;

// Told of a bulk write the engine sent later, together with others, and that
// failed then: `tag` is what the writer said of the row when it wrote it.
// Returns whether the rows kept after it are still to be written; false
// drops them, as a writer that stops at its first failure would never have
// written them.
using TDeferredFailureHandler =
    std::function<bool(const std::string& tag, const EDatabaseError& error)>;

class TProvider {
 public:
  virtual ~TProvider() = default;

  virtual std::string Name() const = 0;
  // Opens an existing database; never creates one. Fails with a message that
  // names the database and says what is wrong (missing, not a database, ...).
  virtual void Open(const TConnectionString& params, const TProviderOptions& options) = 0;
  // Creates a new, empty database and opens it; fails when it exists already.
  virtual void Create(const TConnectionString& params, const TProviderOptions& options) = 0;
  virtual void Close() = 0;
  // Removes the database the connection string names, for a set-up that
  // could not finish the database it created; the provider is closed. Fails
  // where the engine has no such thing (a database file is removed as a file).
  virtual void Drop(const TConnectionString& params, const TProviderOptions& options);

  virtual std::unique_ptr<TProviderStatement> Prepare(std::string_view sql) = 0;
  // Prepares `sql` with the row identity of `table` (TTableInfo::RowIdName)
  // as an extra first result column, when the engine can do so reliably for
  // this statement; otherwise returns nullptr.
  virtual std::unique_ptr<TProviderStatement> PrepareWithRowId(std::string_view sql,
                                                               std::string_view table) = 0;

  virtual void BeginTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual void Savepoint(std::string_view name) = 0;
  virtual void ReleaseSavepoint(std::string_view name) = 0;
  virtual void RollbackToSavepoint(std::string_view name) = 0;
  virtual bool InTransaction() const = 0;
  // True when a failing statement spoils the open transaction as a whole, so
  // that every write inside a transaction needs a savepoint of its own to
  // keep the others (a server engine); false when the engine undoes only the
  // failing statement (SQLite).
  virtual bool FailedStatementAbortsTransaction() const = 0;
  // True when a table read without ORDER BY delivers its rows by its primary
  // key, as far as the system relies on it (SQLite, with rows kept in key or
  // insertion order); false for an engine whose order changes as rows are
  // updated, for which a table dataset asks for the key order.
  virtual bool ReadsTablesInKeyOrder() const { return true; }
  // True when "SELECT ... FOR UPDATE" takes row locks that last until the
  // transaction ends (a server), so that a pessimistic dataset can hold the
  // row it edits.
  virtual bool LocksRows() const { return false; }
  // True when the engine refuses a text longer than the declared size of its
  // column (a server); SQLite keeps any text in any TEXT(n).
  virtual bool EnforcesDeclaredSizes() const { return false; }
  // The longest name in bytes the engine keeps whole, 0 for no limit.
  virtual size_t MaxNameBytes() const { return 0; }
  // True (once, then false until it happens again) when a write inside the
  // open transaction found the database held by another connection: the
  // engine could not move changed pages out of memory while another
  // connection reads, so the transaction keeps them in memory and cannot be
  // committed before that reader lets go. The write itself has succeeded.
  virtual bool TakeWriteBlocked() { return false; }
  // Lets the engine keep up to `bytes` of the database's pages in memory, for
  // a large load; 0 returns to the engine's own limit. Only a hint: an engine
  // without such a limit ignores it, and a failure to apply it is ignored.
  virtual void SetPageCacheLimit(size_t /*bytes*/) {}

  // Bulk writes sent together. An engine whose every command is a round trip
  // to a server may, inside a transaction, keep the bound values of a plain
  // INSERT (DeferWrite, where CanDeferWrite allows it) instead of running it,
  // and send the rows it kept together before its next other command, before
  // a commit, or once enough have gathered. A row that fails then is reported
  // to the handler and undoes only itself. Nothing is deferred without a
  // handler; a rollback drops what is kept.
  virtual void SetDeferredFailureHandler(TDeferredFailureHandler /*handler*/) {}
  virtual bool DefersWrites() const { return false; }
  virtual bool CanDeferWrite(const TProviderStatement& /*statement*/) const { return false; }
  // Keeps the row `statement` has bound (the statement may be reset and
  // bound anew at once). A value the engine cannot take fails here.
  virtual void DeferWrite(TProviderStatement& /*statement*/, std::string /*tag*/) {}
  // Sends what is kept now.
  virtual void FlushDeferred() {}
  // The value the engine gave the engine-numbered column (or the hidden row
  // identity) of the row inserted last on this connection.
  virtual int64_t LastInsertId() = 0;

  // User tables and views; with `systemTables` the engine's own as well.
  virtual std::vector<std::string> TableNames(bool systemTables) = 0;
  virtual TTableInfo TableInfo(std::string_view table) = 0;
  virtual std::string QuoteIdentifier(std::string_view name) const = 0;
};

using TProviderFactory = std::function<std::unique_ptr<TProvider>()>;

// Adds a provider for the connection string value "Provider=<name>"
// (compared without regard to case). A later registration of the same name
// replaces the earlier one.
void RegisterProvider(std::string name, TProviderFactory factory);

// The provider for a connection string:
// - "Microsoft.Jet.OLEDB.4.0", directly or as "Data Provider" below
//   "MSDataShape.1": an SQLite database file (the role of a Jet file);
// - "SQLite": an SQLite database file;
// - "PostgreSQL": a database on a PostgreSQL server;
// - a registered name: that provider;
// - anything else fails with a message that the provider is not available.
std::unique_ptr<TProvider> CreateProvider(const TConnectionString& params);

// What the provider a connection string names (without connecting) tells of
// its engine; the defaults of TProvider when it names none this system has.
struct TEngineTraits {
  bool EnforcesDeclaredSizes = false;
  size_t MaxNameBytes = 0;
};
TEngineTraits EngineTraitsOf(std::string_view connectionString);

// The field type and size of a declared column type ("TEXT(50)" gives
// ftString 50, "INTEGER" ftInteger, "COUNTER" ftAutoInc, no type ftUnknown).
void FieldTypeOfDeclaredType(std::string_view declared, TFieldType& type, int& size);

}  // namespace dk
