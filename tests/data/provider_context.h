// The engine the data-layer tests run against.
//
// Every test of tests/data runs once per provider context. What is known to
// differ between engines lives here, named once: how a fresh database is
// made, the type names and SQL fragments a table definition or a check needs,
// how the engine stores and reports values, its error texts, and what it can
// and cannot do. A test asks its context instead of writing one engine's
// dialect into itself; a test of something an engine does not have skips.
// A context whose engine is not at hand (no server running) makes its tests
// skip, or fail where the test run requires the engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "data/connection.h"
#include "support/temp_dir.h"
#include "sys/date_time.h"

namespace dk::test {

// What an engine can do that the tests depend on.
struct TProviderCapabilities {
  // A table without primary key has a hidden row identity that finds a row
  // again (SQLite's rowid).
  bool RowId = false;
  // An INTEGER key column left out of an INSERT is numbered by the engine.
  bool IntegerKeyNumbered = false;
  // A null written to a key column the engine numbers gets the next number
  // as if the column had been left out (elsewhere it breaks NOT NULL).
  bool NullKeyNumbered = false;
  // CREATE TABLE inside a transaction is undone by its rollback.
  bool TransactionalDdl = false;
  // A connection that stands in the middle of a long result keeps other
  // connections from committing until it has read to the end (SQLite with
  // its rollback journal); writers then wait up to the command timeout.
  bool ReadersHoldBackWriters = false;
  // A text longer than its column's declared size is refused.
  bool TextSizeEnforced = false;
  // A column may be declared with any type name (and none), and the layer
  // reads the field type from that name.
  bool AnyDeclaredType = false;
  // The engine answers statements that cannot stand as a subquery, so a
  // dataset counts their rows by reading (see CountedByReading()).
  bool StatementsOutsideSubqueries = false;
  // The engine gives an expression's result column a type (MAX of an
  // INTEGER column is INTEGER).
  bool TypedExpressions = false;
  // The rows of a bulk batch travel to the engine together, and a row that
  // fails is reported when they arrive.
  bool WritesSentTogether = false;
  // A pessimistic edit locks its row against other connections.
  bool RowLocks = false;
};

// How the engine stores a value, as StoredForm() reports it.
enum class TStorage { Integer, Real, Text, Blob };

class TProviderContext {
 public:
  virtual ~TProviderContext() = default;

  // A name for test names: letters and digits only.
  virtual std::string Name() const = 0;
  virtual const TProviderCapabilities& Capabilities() const = 0;

  // Why the engine cannot be used now (its server is not running); empty
  // when it can.
  virtual std::string Unavailable() const { return {}; }
  // Whether the test run must have this engine, so that its absence fails
  // the tests instead of skipping them.
  virtual bool Required() const { return false; }

  // The connection string of a database the test owns, kept in or named
  // after `dir` (removed when the test ends).
  virtual std::string ConnectionString(const TTempDir& dir) const = 0;
  // Makes the fresh, empty database of ConnectionString(dir) and opens
  // `connection` on it.
  virtual void CreateDatabase(TConnection& connection, const TTempDir& dir) const = 0;
  // How long a second connection waits for a lock before it fails (seconds):
  // short, so that a test that would deadlock fails instead of hanging.
  virtual int BusyTimeout() const { return 2; }
  // The connection string option that lets readers and a writer work at
  // the same time (SQLite's write-ahead journal); empty when the engine
  // does so anyway or cannot.
  virtual std::string ConcurrentReadOption() const { return {}; }
  // A journal option the engine refuses; empty when there is none.
  virtual std::string UnknownJournalOption() const { return {}; }
  // The memory the engine may keep of the database's pages on `connection`,
  // in bytes; -1 when it has no such limit per connection.
  virtual int64_t PageCacheBytes(TConnection& /*connection*/) const { return -1; }

  // Column types for CREATE TABLE.
  virtual std::string Text(int size) const = 0;
  virtual std::string Memo() const = 0;
  virtual std::string Blob() const = 0;
  virtual std::string DateTime() const = 0;
  virtual std::string Boolean() const = 0;
  virtual std::string Float() const = 0;
  virtual std::string SmallInt() const = 0;
  // A key column the engine numbers by itself.
  virtual std::string AutoIncrementKey() const = 0;

  // How a table or column name declared without quotes comes back from the
  // engine's catalogue (the engine may fold its case).
  virtual std::string CatalogName(std::string_view declared) const = 0;
  // The engine's own tables that AutoIncrementKey() makes it create; empty
  // when it makes none.
  virtual std::string SequenceTable() const { return {}; }

  // An expression giving "<storage>:<text>" for the value of `column`, as
  // the engine holds it; StoredForm() builds the expected result.
  virtual std::string StoredFormSql(const std::string& column) const = 0;
  virtual std::string StoredForm(TStorage storage, const std::string& text) const = 0;
  // The expected StoredFormSql() of a boolean the layer wrote to a
  // Boolean() column.
  virtual std::string StoredBoolean(bool value) const = 0;
  // The expected StoredFormSql() of a date-time the layer wrote.
  virtual std::string StoredDateTime(const TDateTime& value) const = 0;
  // An aggregate joining the texts of `column` with ",".
  virtual std::string ListAggregate(const std::string& column) const = 0;
  // The order in which rows were inserted, for ORDER BY.
  virtual std::string InsertionOrder() const = 0;
  // A statement that returns rows but cannot be a subquery and reports the
  // columns of `table` (one row each, a column "name"); see Capabilities().
  virtual std::string CountedByReading(const std::string& /*table*/) const { return {}; }

  // Parts of the engine's error messages.
  virtual std::string ErrorSource() const = 0;
  virtual std::string DuplicateKeyText() const = 0;
  virtual std::string NoSuchTableText(const std::string& table) const = 0;
  virtual std::string DuplicateColumnText(const std::string& column) const = 0;
};

// The contexts every data-layer test runs with.
const std::vector<const TProviderContext*>& ProviderContexts();
// The SQLite context, for the tests of SQLite files themselves.
const TProviderContext& SqliteContext();
// The PostgreSQL context, on the test run's server.
const TProviderContext& PostgresContext();

// How gtest shows a context in test names and messages.
inline void PrintTo(const TProviderContext* context, std::ostream* out) {
  *out << context->Name();
}

// The test name suffix of a context.
struct TContextName {
  std::string operator()(const ::testing::TestParamInfo<const TProviderContext*>& info) const {
    return info.param->Name();
  }
};

}  // namespace dk::test

// Runs the TEST_P tests of `fixture` with every provider context.
#define DK_TEST_WITH_EVERY_PROVIDER(fixture)                                                       \
  INSTANTIATE_TEST_SUITE_P(Provider, fixture, ::testing::ValuesIn(::dk::test::ProviderContexts()), \
                           ::dk::test::TContextName())
