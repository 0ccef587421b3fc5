// SQLite as the data layer's tests see it: a database file in the test's
// folder; declared type names kept as written (TEXT(30) gives the field
// size); values stored by storage class with date-times as ISO texts; the
// hidden rowid; and a rollback journal in which a reader in the middle of a
// result holds back other connections' commits.
#include "data/query.h"
#include "provider_context.h"

namespace dk::test {
namespace {

int64_t Pragma(TConnection& connection, const std::string& name) {
  TQuery q;
  q.SetConnection(&connection);
  q.SetSQLText("PRAGMA " + name);
  q.Open();
  return q.Fields(0).AsLargeInt();
}

class TSqliteContext : public TProviderContext {
 public:
  std::string Name() const override { return "SQLite"; }
  const TProviderCapabilities& Capabilities() const override {
    static const TProviderCapabilities caps{.RowId = true,
                                            .IntegerKeyNumbered = true,
                                            .NullKeyNumbered = true,
                                            .TransactionalDdl = true,
                                            .ReadersHoldBackWriters = true,
                                            .AnyDeclaredType = true,
                                            .StatementsOutsideSubqueries = true};
    return caps;
  }

  std::string ConnectionString(const TTempDir& dir) const override {
    return "Provider=SQLite;Data Source=" + (dir / "test.db");
  }
  void CreateDatabase(TConnection& connection, const TTempDir& dir) const override {
    connection.SetConnectionString(ConnectionString(dir));
    connection.CreateDatabase();
  }
  std::string ConcurrentReadOption() const override { return ";Journal Mode=WAL"; }
  std::string UnknownJournalOption() const override { return ";Journal Mode=FAST"; }
  int64_t PageCacheBytes(TConnection& connection) const override {
    // A negative cache size is in KiB, a positive one in pages.
    const int64_t size = Pragma(connection, "cache_size");
    return size < 0 ? -size * 1024 : size * Pragma(connection, "page_size");
  }

  std::string Text(int size) const override { return "TEXT(" + std::to_string(size) + ")"; }
  std::string Memo() const override { return "LONGTEXT"; }
  std::string Blob() const override { return "IMAGE"; }
  std::string DateTime() const override { return "DATETIME"; }
  std::string Boolean() const override { return "BIT"; }
  std::string Float() const override { return "FLOAT"; }
  std::string SmallInt() const override { return "SMALLINT"; }
  std::string AutoIncrementKey() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }

  std::string CatalogName(std::string_view declared) const override {
    return std::string(declared);
  }
  std::string SequenceTable() const override { return "sqlite_sequence"; }

  std::string StoredFormSql(const std::string& column) const override {
    return "typeof(" + column + ") || ':' || CAST(" + column + " AS TEXT)";
  }
  std::string StoredForm(TStorage storage, const std::string& text) const override {
    static const char* const names[] = {"integer", "real", "text", "blob"};
    return std::string(names[static_cast<int>(storage)]) + ":" + text;
  }
  std::string StoredBoolean(bool value) const override {
    return StoredForm(TStorage::Integer, value ? "1" : "0");
  }
  // The provider writes a date-time as its ISO text, the date alone at
  // midnight, so that the texts compare in time order and equal literals.
  std::string StoredDateTime(const TDateTime& value) const override {
    return StoredForm(TStorage::Text, value.IsoTextDateOnlyAtMidnight());
  }
  std::string ListAggregate(const std::string& column) const override {
    return "group_concat(" + column + ", ',')";
  }
  std::string InsertionOrder() const override { return "rowid"; }
  std::string CountedByReading(const std::string& table) const override {
    return "PRAGMA table_info(" + table + ")";
  }

  std::string ErrorSource() const override { return "SQLite"; }
  std::string DuplicateKeyText() const override { return "UNIQUE constraint failed"; }
  std::string NoSuchTableText(const std::string& table) const override {
    return "no such table: " + table;
  }
  std::string DuplicateColumnText(const std::string& column) const override {
    return "duplicate column name: " + column;
  }
};

}  // namespace

const TProviderContext& SqliteContext() {
  static const TSqliteContext context;
  return context;
}

const std::vector<const TProviderContext*>& ProviderContexts() {
  static const std::vector<const TProviderContext*> contexts{&SqliteContext(), &PostgresContext()};
  return contexts;
}

}  // namespace dk::test
