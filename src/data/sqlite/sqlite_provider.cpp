#include "data/sqlite/sqlite_provider.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "data/errors.h"
#include "data/parameters.h"
#include "sys/text.h"

namespace dk {

namespace {

constexpr const char* kProviderName = "SQLite";

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

int NativeNumber(int extendedCode) {
  switch (extendedCode) {
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
    case SQLITE_CONSTRAINT_ROWID:
      return kDuplicateKeyError;
    default:
      return extendedCode;
  }
}

[[noreturn]] void ThrowEngineError(int extendedCode, const std::string& message) {
  std::string state = (extendedCode & 0xff) == SQLITE_CONSTRAINT ? "23000" : "HY000";
  throw EProviderError(message, NativeNumber(extendedCode), state);
}

[[noreturn]] void ThrowDbError(sqlite3* db) {
  ThrowEngineError(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
}

// Skips blanks, statement separators and comments; returns the rest.
std::string_view SkipFiller(std::string_view s) {
  for (;;) {
    while (!s.empty() && (static_cast<unsigned char>(s.front()) <= ' ' || s.front() == ';'))
      s.remove_prefix(1);
    if (s.substr(0, 2) == "--") {
      size_t nl = s.find('\n');
      s = nl == std::string_view::npos ? std::string_view() : s.substr(nl + 1);
    } else if (s.substr(0, 2) == "/*") {
      size_t end = s.find("*/", 2);
      s = end == std::string_view::npos ? std::string_view() : s.substr(end + 2);
    } else {
      return s;
    }
  }
}

// The upper-case words of `sql` outside quotes and comments, in order.
std::vector<std::string> Words(std::string_view sql) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (SkipSqlQuoteOrComment(sql, i)) continue;
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t start = i;
      while (i < sql.size() &&
             (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_' || sql[i] == '$'))
        ++i;
      words.push_back(AsciiUpper(sql.substr(start, i - start)));
    } else {
      ++i;
    }
  }
  return words;
}

// True for "ALTER TABLE t ADD [COLUMN] name" without a column type. SQLite
// would add a column without a type; the other engines the system was made
// for reject such a statement, and callers rely on that (a field type
// without a column type in the dialect must not pass unnoticed).
bool AddsColumnWithoutType(std::string_view sql) {
  std::vector<std::string> words = Words(sql);
  if (words.size() < 4 || words[0] != "ALTER" || words[1] != "TABLE") return false;
  std::string upper = AsciiUpper(sql);
  size_t add = upper.find("ADD");
  while (add != std::string::npos &&
         !((add == 0 || !std::isalnum(static_cast<unsigned char>(upper[add - 1]))) &&
           (add + 3 >= upper.size() || !std::isalnum(static_cast<unsigned char>(upper[add + 3])))))
    add = upper.find("ADD", add + 3);
  if (add == std::string::npos) return false;
  std::string_view rest = SkipFiller(sql.substr(add + 3));
  if (AsciiUpper(rest.substr(0, 6)) == "COLUMN" &&
      (rest.size() == 6 || !std::isalnum(static_cast<unsigned char>(rest[6]))))
    rest = SkipFiller(rest.substr(6));
  // The column name, bare or quoted.
  if (rest.empty()) return true;
  char c = rest.front();
  size_t end;
  if (c == '"' || c == '`' || c == '[') {
    end = rest.find(c == '[' ? ']' : c, 1);
    end = end == std::string_view::npos ? rest.size() : end + 1;
  } else {
    end = 0;
    while (end < rest.size() &&
           (std::isalnum(static_cast<unsigned char>(rest[end])) || rest[end] == '_'))
      ++end;
  }
  return SkipFiller(rest.substr(end)).empty();
}

class TSqliteStatement : public TProviderStatement {
 public:
  TSqliteStatement(sqlite3* db, sqlite3_stmt* stmt, std::string_view sql)
      : FDb(db), FStmt(stmt), FSql(sql) {
    if (!sqlite3_stmt_readonly(stmt)) {
      std::vector<std::string> words = Words(sql);
      // Statements that are or manage transactions themselves.
      static const char* const kOwnTransaction[] = {"BEGIN",     "COMMIT",  "END",     "ROLLBACK",
                                                    "SAVEPOINT", "RELEASE", "PRAGMA",  "VACUUM",
                                                    "ATTACH",    "DETACH",  "ANALYZE", "REINDEX"};
      FWrapWrite = !words.empty();
      for (const char* w : kOwnTransaction)
        if (!words.empty() && words[0] == w) FWrapWrite = false;
    }
    int count = sqlite3_column_count(stmt);
    FColumns.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      TColumnInfo& col = FColumns[static_cast<size_t>(i)];
      const char* name = sqlite3_column_name(stmt, i);
      col.Name = name ? name : "";
      const char* decl = sqlite3_column_decltype(stmt, i);
      FieldTypeOfDeclaredType(decl ? decl : "", col.DataType, col.Size);
      const char* table = sqlite3_column_table_name(stmt, i);
      const char* origin = sqlite3_column_origin_name(stmt, i);
      if (table && origin) {
        col.BaseTable = table;
        col.BaseColumn = origin;
        int autoinc = 0;
        if (sqlite3_table_column_metadata(db, sqlite3_column_database_name(stmt, i), table, origin,
                                          nullptr, nullptr, nullptr, nullptr,
                                          &autoinc) == SQLITE_OK &&
            autoinc)
          col.DataType = ftAutoInc;
      }
    }
  }
  ~TSqliteStatement() override { sqlite3_finalize(FStmt); }

  const std::string& Sql() const override { return FSql; }
  int ParamCount() const override { return sqlite3_bind_parameter_count(FStmt); }
  std::string ParamName(int index) const override {
    const char* name = sqlite3_bind_parameter_name(FStmt, index + 1);
    if (!name || !*name) return {};
    return name + 1;  // without the ":", "@" or "$"
  }

  void Bind(int index, const TVariant& v) override {
    int i = index + 1;
    int rc = SQLITE_OK;
    switch (v.Type()) {
      case TVarType::Null:
        rc = sqlite3_bind_null(FStmt, i);
        break;
      case TVarType::Integer:
        rc = sqlite3_bind_int64(FStmt, i, v.Integer());
        break;
      case TVarType::Float:
        rc = sqlite3_bind_double(FStmt, i, v.Float());
        break;
      case TVarType::Boolean:
        rc = sqlite3_bind_int(FStmt, i, v.Boolean() ? 1 : 0);
        break;
      case TVarType::Text:
        rc = sqlite3_bind_text64(FStmt, i, v.Text().data(), v.Text().size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
        break;
      case TVarType::Bytes:
        rc = sqlite3_bind_blob64(FStmt, i, v.BytesData().data(), v.BytesData().size(),
                                 SQLITE_TRANSIENT);
        break;
      case TVarType::DateTime: {
        // The same text as an SQL date-time literal, so that stored values
        // and literals compare equal and in time order.
        std::string text = v.DateTime().IsoTextDateOnlyAtMidnight();
        rc = sqlite3_bind_text64(FStmt, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      }
    }
    if (rc != SQLITE_OK) ThrowDbError(FDb);
  }

  bool ReturnsRows() const override { return !FColumns.empty(); }
  int ColumnCount() const override { return static_cast<int>(FColumns.size()); }
  const TColumnInfo& Column(int index) const override {
    return FColumns.at(static_cast<size_t>(index));
  }

  bool Step() override {
    if (FDone) return false;
    // A write outside a transaction runs in one that takes the write lock at
    // once (waiting for it as long as the busy time-out allows). Left to
    // itself SQLite would first read and then ask for the write lock, and two
    // connections writing at the same time would then make one of them fail
    // at once with "database is locked" instead of waiting its turn.
    bool wrapped = false;
    if (FWrapWrite && !FStarted && sqlite3_get_autocommit(FDb)) {
      if (sqlite3_exec(FDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        ThrowDbError(FDb);
      wrapped = true;
    }
    FStarted = true;
    sqlite3_int64 before = sqlite3_total_changes64(FDb);
    int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW) {
      if (wrapped) FWrapped = true;
      return true;
    }
    if (rc == SQLITE_DONE) {
      FDone = true;
      FChanges = sqlite3_total_changes64(FDb) != before ? sqlite3_changes64(FDb) : 0;
      if (wrapped || FWrapped) {
        FWrapped = false;
        if (sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
          int code = sqlite3_extended_errcode(FDb);
          std::string message = sqlite3_errmsg(FDb);
          sqlite3_reset(FStmt);
          if (!sqlite3_get_autocommit(FDb))
            sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
          FChanges = 0;
          ThrowEngineError(code, message);
        }
      }
      return false;
    }
    int code = sqlite3_extended_errcode(FDb);
    std::string message = sqlite3_errmsg(FDb);
    sqlite3_reset(FStmt);
    if ((wrapped || FWrapped) && !sqlite3_get_autocommit(FDb))
      sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    FWrapped = false;
    ThrowEngineError(code, message);
  }

  void ReadValue(int index, TVariant& out) const override {
    // A statement the engine prepared again after a schema change may have
    // fewer columns than the fields made from it.
    if (index < 0 || index >= sqlite3_data_count(FStmt)) {
      out.SetNull();
      return;
    }
    switch (sqlite3_column_type(FStmt, index)) {
      case SQLITE_INTEGER:
        out.SetInteger(sqlite3_column_int64(FStmt, index));
        break;
      case SQLITE_FLOAT:
        out.SetFloat(sqlite3_column_double(FStmt, index));
        break;
      case SQLITE_TEXT: {
        const char* p = reinterpret_cast<const char*>(sqlite3_column_text(FStmt, index));
        out.SetText(
            std::string_view(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(FStmt, index))));
        break;
      }
      case SQLITE_BLOB: {
        const char* p = static_cast<const char*>(sqlite3_column_blob(FStmt, index));
        out.SetBytes(
            std::string_view(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(FStmt, index))));
        break;
      }
      default:
        out.SetNull();
    }
  }

  void Reset() override {
    sqlite3_reset(FStmt);
    // A write that delivered rows and was left before its end is undone with
    // the transaction it ran in.
    if (FWrapped && !sqlite3_get_autocommit(FDb))
      sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    FWrapped = false;
    FDone = false;
    FStarted = false;
  }

  int64_t RowsAffected() const override { return FChanges; }

  // The statement's column 0 was added as the row identity of `table`; its
  // description belongs to no field.
  bool FirstColumnIsRowIdOf(std::string_view table) const {
    if (FColumns.empty()) return false;
    const char* decl = sqlite3_column_decltype(FStmt, 0);
    return AsciiUpper(FColumns[0].BaseTable) == AsciiUpper(table) && decl &&
           AsciiUpper(decl) == "INTEGER";
  }

 private:
  sqlite3* FDb;
  sqlite3_stmt* FStmt;
  std::string FSql;
  std::vector<TColumnInfo> FColumns;
  bool FDone = false;
  bool FStarted = false;    // stepped since the last Reset
  bool FWrapWrite = false;  // a write that runs in a transaction of its own
  bool FWrapped = false;    // that transaction is open, rows still coming
  int64_t FChanges = 0;
};

class TSqliteProvider : public TProvider {
 public:
  ~TSqliteProvider() override { Close(); }

  std::string Name() const override { return kProviderName; }

  void Open(const TConnectionString& params, const TProviderOptions& options) override {
    std::string path = DataSource(params);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR)
        throw EDatabaseError("Die Datenbankdatei " + Quoted(path) + " wurde nicht gefunden.");
      throw EDatabaseError("Die Datenbankdatei " + Quoted(path) +
                           " kann nicht geöffnet werden: " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode))
      throw EDatabaseError("Die Datenbankdatei " + Quoted(path) +
                           " ist ein Verzeichnis, keine Datei.");
    CheckHeader(path);
    OpenFile(path, SQLITE_OPEN_READWRITE, options);
    if (sqlite3_db_readonly(FDb, "main") == 1) {
      Close();
      throw EDatabaseError("Die Datenbankdatei " + Quoted(path) +
                           " kann nur gelesen werden; sie muss beschreibbar sein.");
    }
    // Reading the schema finds encrypted and damaged files now rather than at
    // the first query.
    try {
      Exec("SELECT count(*) FROM sqlite_master");
    } catch (const EProviderError& e) {
      Close();
      throw EDatabaseError("Die Datei " + Quoted(path) +
                           " ist keine lesbare SQLite-Datenbank: " + e.what());
    }
    ApplyJournalMode(params);
    ApplyBusyTimeout(params);
  }

  void Create(const TConnectionString& params, const TProviderOptions& options) override {
    std::string path = DataSource(params);
    // O_EXCL makes the refusal of an existing file race-free.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST)
        throw EDatabaseError("Die Datei " + Quoted(path) +
                             " existiert bereits; eine neue Datenbank wird nur als neue Datei "
                             "angelegt.");
      throw EDatabaseError("Die Datenbankdatei " + Quoted(path) +
                           " kann nicht angelegt werden: " + std::strerror(errno));
    }
    ::close(fd);
    try {
      OpenFile(path, SQLITE_OPEN_READWRITE, options);
      // Writes the database header, so that the new file is an SQLite
      // database even before the first table exists.
      Exec("PRAGMA user_version = 0");
      Exec("VACUUM");
    } catch (...) {
      Close();
      ::unlink(path.c_str());
      throw;
    }
  }

  void Close() override {
    if (!FDb) return;
    sqlite3_close_v2(FDb);
    FDb = nullptr;
    FCacheLimitSaved = false;
  }

  std::unique_ptr<TProviderStatement> Prepare(std::string_view sql) override {
    CheckOpen();
    if (AddsColumnWithoutType(sql))
      ThrowEngineError(SQLITE_ERROR,
                       "Syntaxfehler in der Felddefinition: der neuen Spalte fehlt der Typ.");
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sql.size() > static_cast<size_t>(INT_MAX))
      ThrowEngineError(SQLITE_TOOBIG, "SQL text too long");
    int rc = sqlite3_prepare_v2(FDb, sql.data(), static_cast<int>(sql.size()), &stmt, &tail);
    if (rc != SQLITE_OK) ThrowDbError(FDb);
    if (!stmt) ThrowEngineError(SQLITE_MISUSE, "Die SQL-Anweisung ist leer.");
    std::string_view rest = SkipFiller(std::string_view(tail, sql.data() + sql.size() - tail));
    if (!rest.empty()) {
      sqlite3_finalize(stmt);
      ThrowEngineError(SQLITE_ERROR, "Es ist nur eine SQL-Anweisung erlaubt; danach folgt noch: " +
                                         std::string(rest.substr(0, 60)));
    }
    return std::make_unique<TSqliteStatement>(FDb, stmt, sql);
  }

  std::unique_ptr<TProviderStatement> PrepareWithRowId(std::string_view sql,
                                                       std::string_view table) override {
    // Only a plain SELECT over rows of the table can carry the rowid of each
    // row: grouping, DISTINCT and compound selects make rows that are no
    // table rows.
    std::vector<std::string> words = Words(sql);
    if (words.empty() || words[0] != "SELECT") return nullptr;
    if (words.size() > 1 && (words[1] == "DISTINCT" || words[1] == "ALL")) return nullptr;
    for (const std::string& w : words)
      if (w == "GROUP" || w == "UNION" || w == "INTERSECT" || w == "EXCEPT" || w == "WINDOW" ||
          w == "VALUES")
        return nullptr;
    TTableInfo info = TableInfo(table);
    if (!info.Exists || info.RowIdName.empty()) return nullptr;
    std::string_view body = SkipFiller(sql);
    body.remove_prefix(6);  // "SELECT"
    for (const std::string& prefix : {QuoteIdentifier(info.Name) + ".", std::string()}) {
      std::string text =
          "SELECT " + prefix + info.RowIdName + " AS dk_rowid__, " + std::string(body);
      std::unique_ptr<TProviderStatement> stmt;
      try {
        stmt = Prepare(text);
      } catch (const EProviderError&) {
        continue;
      }
      auto* st = static_cast<TSqliteStatement*>(stmt.get());
      if (!st->FirstColumnIsRowIdOf(info.Name)) continue;
      bool singleTable = true;
      for (int i = 1; i < st->ColumnCount(); ++i) {
        const TColumnInfo& col = st->Column(i);
        if (!col.BaseTable.empty() && AsciiUpper(col.BaseTable) != AsciiUpper(info.Name))
          singleTable = false;
      }
      if (singleTable) return stmt;
    }
    return nullptr;
  }

  void BeginTransaction() override {
    FWriteBlocked = false;
    Exec("BEGIN IMMEDIATE");
  }
  void Commit() override { Exec("COMMIT"); }
  void Rollback() override {
    // The engine may have rolled back by itself after an I/O or memory
    // failure; there is nothing left to undo then.
    if (InTransaction()) Exec("ROLLBACK");
  }
  void Savepoint(std::string_view name) override { Exec("SAVEPOINT " + QuoteIdentifier(name)); }
  void ReleaseSavepoint(std::string_view name) override {
    Exec("RELEASE SAVEPOINT " + QuoteIdentifier(name));
  }
  void RollbackToSavepoint(std::string_view name) override {
    Exec("ROLLBACK TO SAVEPOINT " + QuoteIdentifier(name));
  }
  bool InTransaction() const override { return FDb && !sqlite3_get_autocommit(FDb); }
  bool FailedStatementAbortsTransaction() const override { return false; }
  bool TakeWriteBlocked() override { return std::exchange(FWriteBlocked, false); }
  // The engine's page cache of 2 MB makes a large load write and read back
  // the pages of every index filled in random order (FTIWID's DOCID index
  // above all) again and again. The cache takes memory only for the pages it
  // holds, and gives it back when the limit returns.
  void SetPageCacheLimit(size_t bytes) override {
    if (!FDb) return;
    if (bytes == 0) {
      if (!FCacheLimitSaved) return;
      FCacheLimitSaved = false;
      sqlite3_exec(FDb, ("PRAGMA cache_size = " + std::to_string(FSavedCacheLimit)).c_str(),
                   nullptr, nullptr, nullptr);
      return;
    }
    if (!FCacheLimitSaved) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(FDb, "PRAGMA cache_size", -1, &stmt, nullptr) != SQLITE_OK) return;
      const bool read = sqlite3_step(stmt) == SQLITE_ROW;
      if (read) FSavedCacheLimit = sqlite3_column_int64(stmt, 0);
      sqlite3_finalize(stmt);
      if (!read) return;
      FCacheLimitSaved = true;
    }
    // A negative size is in KiB.
    const long long kib = static_cast<long long>(std::max<size_t>(bytes / 1024, 1));
    sqlite3_exec(FDb, ("PRAGMA cache_size = -" + std::to_string(kib)).c_str(), nullptr, nullptr,
                 nullptr);
  }
  int64_t LastInsertId() override { return FDb ? sqlite3_last_insert_rowid(FDb) : 0; }

  std::vector<std::string> TableNames(bool systemTables) override {
    auto stmt =
        Prepare("SELECT name FROM sqlite_master WHERE type IN ('table','view') ORDER BY name");
    std::vector<std::string> names;
    TVariant v;
    while (stmt->Step()) {
      stmt->ReadValue(0, v);
      if (v.Type() != TVarType::Text) continue;
      if (!systemTables && AsciiLower(v.Text()).rfind("sqlite_", 0) == 0) continue;
      names.push_back(v.Text());
    }
    if (systemTables) names.insert(names.begin(), "sqlite_master");
    return names;
  }

  TTableInfo TableInfo(std::string_view table) override {
    TTableInfo info;
    auto find = Prepare(
        "SELECT name, type, sql FROM sqlite_master WHERE type IN ('table','view') AND "
        "name = ?1 COLLATE NOCASE");
    find->Bind(0, TVariant(table));
    if (!find->Step()) return info;
    TVariant v;
    find->ReadValue(0, v);
    info.Name = v.Text();
    info.Exists = true;
    find->ReadValue(1, v);
    bool isTable = v.Type() == TVarType::Text && v.Text() == "table";

    auto cols = Prepare(
        "SELECT name, type, \"notnull\", dflt_value IS NOT NULL, pk FROM pragma_table_info(?1)");
    cols->Bind(0, TVariant(info.Name));
    int keyColumns = 0;
    while (cols->Step()) {
      TTableColumn c;
      cols->ReadValue(0, v);
      c.Name = v.ToString();
      cols->ReadValue(1, v);
      std::string declared = v.ToString();
      FieldTypeOfDeclaredType(declared, c.DataType, c.Size);
      cols->ReadValue(2, v);
      c.NotNull = v.Type() == TVarType::Integer && v.Integer() != 0;
      cols->ReadValue(3, v);
      c.HasDefault = v.Type() == TVarType::Integer && v.Integer() != 0;
      cols->ReadValue(4, v);
      c.KeyPosition = v.Type() == TVarType::Integer ? static_cast<int>(v.Integer()) : 0;
      if (c.KeyPosition > 0) ++keyColumns;
      int autoinc = 0;
      if (isTable &&
          sqlite3_table_column_metadata(FDb, nullptr, info.Name.c_str(), c.Name.c_str(), nullptr,
                                        nullptr, nullptr, nullptr, &autoinc) == SQLITE_OK &&
          autoinc)
        c.DataType = ftAutoInc;
      if (c.KeyPosition > 0 && AsciiUpper(Trim(declared)) == "INTEGER") c.EngineNumbered = true;
      info.Columns.push_back(std::move(c));
    }
    if (!isTable) return info;  // a view has no row identity of its own

    // An INTEGER PRIMARY KEY of an ordinary table is the rowid itself and
    // numbered by the engine; a table WITHOUT ROWID has no rowid at all.
    find->ReadValue(2, v);
    std::vector<std::string> words = Words(v.ToString());
    bool withoutRowId =
        words.size() >= 2 && words.back() == "ROWID" && words[words.size() - 2] == "WITHOUT";
    for (auto& c : info.Columns)
      c.EngineNumbered = !withoutRowId && c.EngineNumbered && keyColumns == 1;
    if (!withoutRowId) {
      for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
        bool shadowed = false;
        for (const auto& c : info.Columns)
          if (AsciiLower(c.Name) == candidate) shadowed = true;
        if (!shadowed) {
          info.RowIdName = candidate;
          break;
        }
      }
    }
    return info;
  }

  std::string QuoteIdentifier(std::string_view name) const override {
    return "\"" + ReplaceAll(name, "\"", "\"\"") + "\"";
  }

 private:
  static std::string DataSource(const TConnectionString& params) {
    std::string path = Trim(params.Value("Data Source"));
    if (path.empty())
      throw EDatabaseError(
          "Die Verbindungszeichenfolge nennt keine Datenbankdatei (\"Data Source\").");
    return path;
  }

  static void CheckHeader(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      throw EDatabaseError("Die Datenbankdatei " + Quoted(path) +
                           " kann nicht geöffnet werden: " + std::strerror(errno));
    char header[16] = {};
    ssize_t n = ::read(fd, header, sizeof header);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, "SQLite format 3", sizeof header) != 0)
      throw EDatabaseError("Die Datei " + Quoted(path) + " ist keine SQLite-Datenbank.");
  }

  void OpenFile(const std::string& path, int flags, const TProviderOptions& options) {
    Close();
    sqlite3* db = nullptr;
    // A connection is used by one thread at a time (the index worker has its
    // own), so the engine's per-call locking is left out.
    int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close_v2(db);
      throw EDatabaseError("Die Datenbankdatei " + Quoted(path) +
                           " kann nicht geöffnet werden: " + message);
    }
    FDb = db;
    sqlite3_extended_result_codes(FDb, 1);
    // A locked database is waited for as long as a command may take.
    const int timeout = options.CommandTimeout > 0 ? options.CommandTimeout : 3600;
    SetBusyTimeout(timeout > INT_MAX / 1000 ? INT_MAX : timeout * 1000);
  }

  // Waits for a locked database up to `ms` milliseconds per statement, as
  // sqlite3_busy_timeout does, with one exception: inside an open
  // transaction the only wait is the engine's try to write changed pages to
  // the file before the commit (its page cache is full) while another
  // connection reads. Waiting there would cost the whole time-out for every
  // further page; the engine keeps the pages in memory instead, and the
  // connection learns through TakeWriteBlocked that its commit is held up.
  // A COMMIT and a BEGIN run outside the transaction and wait as usual.
  void SetBusyTimeout(int ms) {
    FBusyTimeoutMs = ms;
    sqlite3_busy_handler(FDb, &TSqliteProvider::OnBusy, this);
  }

  static int OnBusy(void* self, int count) {
    auto* p = static_cast<TSqliteProvider*>(self);
    // Holding the write lock inside a transaction, the engine waits only to
    // spill pages (during COMMIT the connection counts as outside again).
    if (!sqlite3_get_autocommit(p->FDb) && sqlite3_txn_state(p->FDb, nullptr) == SQLITE_TXN_WRITE) {
      p->FWriteBlocked = true;
      return 0;
    }
    // The pauses of sqlite3_busy_timeout: short at first, then 100 ms each.
    static constexpr int kDelays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    constexpr int kSteps = static_cast<int>(sizeof kDelays / sizeof kDelays[0]);
    long long waited = 0;
    for (int i = 0; i < count && i < kSteps; ++i) waited += kDelays[i];
    if (count > kSteps) waited += static_cast<long long>(count - kSteps) * kDelays[kSteps - 1];
    if (waited >= p->FBusyTimeoutMs) return 0;
    const long long delay = std::min<long long>(
        count < kSteps ? kDelays[count] : kDelays[kSteps - 1], p->FBusyTimeoutMs - waited);
    sqlite3_sleep(static_cast<int>(delay));
    return 1;
  }

  // "Journal Mode=WAL" (or DELETE, TRUNCATE, PERSIST) in the connection
  // string sets the file's journal mode; without it the file keeps its own.
  // WAL lets other connections write while a dataset of this one stands in
  // the middle of a long result, but needs all clients on one machine.
  void ApplyJournalMode(const TConnectionString& params) {
    std::string mode = AsciiUpper(Trim(params.Value("Journal Mode")));
    if (mode.empty()) return;
    if (mode != "WAL" && mode != "DELETE" && mode != "TRUNCATE" && mode != "PERSIST") {
      Close();
      throw EDatabaseError("Unbekannter Wert für \"Journal Mode\": " + mode);
    }
    try {
      Exec("PRAGMA journal_mode=" + mode);
    } catch (const EDatabaseError&) {
      Close();
      throw;
    }
  }

  // "Busy Timeout=<milliseconds>" in the connection string replaces the wait
  // for a locked database that the command time-out gives in whole seconds:
  // a connection that retries on its own (the index worker) waits briefly,
  // so that nobody waits long for the lock it holds meanwhile.
  void ApplyBusyTimeout(const TConnectionString& params) {
    const std::string text = Trim(params.Value("Busy Timeout"));
    if (text.empty()) return;
    char* end = nullptr;
    const long ms = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || ms < 0 || ms > INT_MAX) {
      Close();
      throw EDatabaseError("Ungültiger Wert für \"Busy Timeout\": " + text);
    }
    SetBusyTimeout(static_cast<int>(ms));
  }

  void CheckOpen() const {
    if (!FDb) throw EDatabaseError("Die Verbindung ist nicht geöffnet.");
  }

  void Exec(const std::string& sql) {
    auto stmt = Prepare(sql);
    while (stmt->Step()) {
    }
  }

  sqlite3* FDb = nullptr;
  int FBusyTimeoutMs = 0;
  bool FWriteBlocked = false;
  bool FCacheLimitSaved = false;  // a load has raised the cache limit
  long long FSavedCacheLimit = 0;
};

}  // namespace

std::unique_ptr<TProvider> NewSqliteProvider() {
  return std::make_unique<TSqliteProvider>();
}

}  // namespace dk
