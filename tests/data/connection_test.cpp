#include "data/connection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "data/query.h"
#include "data/table.h"
#include "data_fixture.h"

namespace dk::test {
namespace {

std::string OpenError(const std::string& connectionString) {
  TConnection conn;
  conn.SetConnectionString(connectionString);
  try {
    conn.Open();
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(conn.Connected());
    EXPECT_FALSE(conn.Errors().empty());
    return e.what();
  }
  return "opened";
}

TEST(ConnectionOpen, SaysWhatIsWrongAndNeverCreatesAFile) {
  TTempDir dir;
  WriteFile(dir / "text.db", "this is a plain text file, long enough to have a header");
  WriteFile(dir / "empty.db", "");
  std::filesystem::create_directory(dir / "folder.db");
  struct TCase {
    std::string connection;
    std::string expected;
  } cases[] = {
      {SqliteConnectionString(dir / "missing.db"), "wurde nicht gefunden"},
      {JetConnectionString(dir / "missing.db"), "wurde nicht gefunden"},
      {SqliteConnectionString(dir / "text.db"), "ist keine SQLite-Datenbank"},
      {JetConnectionString(dir / "empty.db"), "ist keine SQLite-Datenbank"},
      {SqliteConnectionString(dir / "folder.db"), "ist ein Verzeichnis"},
      // A SQL Server archive: the message names what there is instead.
      {"Provider=SQLOLEDB.1;Data Source=server;Initial Catalog=archiv",
       "Der Provider \"SQLOLEDB.1\" ist auf dieser Plattform nicht verfügbar. Ein Archiv liegt "
       "hier in einer SQLite-Datei (Provider \"Microsoft.Jet.OLEDB.4.0\" oder \"SQLite\") oder "
       "auf einem PostgreSQL-Server (Provider \"PostgreSQL\")."},
      {"Provider=MSDataShape.1;Data Provider=SQLOLEDB;Data Source=x",
       "\"SQLOLEDB\" ist auf dieser Plattform nicht verfügbar"},
      {"Data Source=" + (dir / "x.db"), "nennt keinen Provider"},
      {"Provider=SQLite", "nennt keine Datenbankdatei"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.connection);
    EXPECT_NE(OpenError(c.connection).find(c.expected), std::string::npos)
        << OpenError(c.connection);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));
  // The messages name the file.
  EXPECT_NE(OpenError(SqliteConnectionString(dir / "text.db")).find(dir / "text.db"),
            std::string::npos);
}

TEST(ConnectionOpen, JetRoleOpensAnExistingSqliteFileReadWrite) {
  TTempDir dir;
  {
    TConnection create;
    create.SetConnectionString(SqliteConnectionString(dir / "a.db"));
    create.CreateDatabase();
    create.Execute("CREATE TABLE T (A INTEGER)");
  }
  for (const std::string& cs : {JetConnectionString(dir / "a.db"),
                                "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + (dir / "a.db"),
                                "provider=sqlite; data source = \"" + (dir / "a.db") + "\""}) {
    SCOPED_TRACE(cs);
    TConnection conn;
    conn.SetConnectionString(cs);
    conn.Open();
    EXPECT_EQ(conn.Execute("INSERT INTO T VALUES (1)"), 1);
  }
}

TEST(ConnectionOpen, RefusesAFileThatCanOnlyBeRead) {
  if (geteuid() == 0) GTEST_SKIP() << "root can write any file";
  TTempDir dir;
  {
    TConnection create;
    create.SetConnectionString(SqliteConnectionString(dir / "ro.db"));
    create.CreateDatabase();
    create.Execute("CREATE TABLE T (A INTEGER)");
  }
  chmod((dir / "ro.db").c_str(), 0444);
  EXPECT_NE(OpenError(SqliteConnectionString(dir / "ro.db")).find("nur gelesen"),
            std::string::npos);
}

TEST(ConnectionCreate, RefusesAnExistingFile) {
  TTempDir dir;
  WriteFile(dir / "there.db", "keep me");
  TConnection conn;
  conn.SetConnectionString(SqliteConnectionString(dir / "there.db"));
  EXPECT_THROW(conn.CreateDatabase(), EDatabaseError);
  EXPECT_EQ(ReadFile(dir / "there.db"), "keep me");
  // A new database is an SQLite file even before it holds a table.
  conn.SetConnectionString(SqliteConnectionString(dir / "new.db"));
  conn.CreateDatabase();
  conn.Close();
  conn.Open();
  EXPECT_TRUE(conn.Connected());
}

// The tests above are about SQLite files and the connection strings that
// name them; the ones below run on every engine.
class ConnectionTest : public TDataTest {};
DK_TEST_WITH_EVERY_PROVIDER(ConnectionTest);

TEST_P(ConnectionTest, SqlErrorsCarryTheEngineMessageAndStayOnTheErrorList) {
  Conn.Execute("CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME " + Ctx().Text(20) + " UNIQUE)");
  Conn.Execute("INSERT INTO T VALUES (1, 'a')");
  try {
    Conn.Execute("INSERT INTO T VALUES (1, 'b')");
    FAIL() << "duplicate key accepted";
  } catch (const EProviderError& e) {
    EXPECT_NE(std::string(e.what()).find(Ctx().DuplicateKeyText()), std::string::npos);
    EXPECT_EQ(e.NativeError(), kDuplicateKeyError);
  }
  ASSERT_EQ(Conn.Errors().size(), 1u);
  EXPECT_EQ(Conn.Errors()[0].NativeError, -105121349);
  // A unique index other than the key counts the same.
  EXPECT_THROW(Conn.Execute("INSERT INTO T VALUES (2, 'a')"), EProviderError);
  EXPECT_EQ(Conn.Errors()[0].NativeError, kDuplicateKeyError);
  // Success leaves the list alone; the next failure replaces it.
  Conn.Execute("INSERT INTO T VALUES (3, 'c')");
  ASSERT_EQ(Conn.Errors().size(), 1u);
  EXPECT_THROW(Conn.Execute("SELECT * FROM NOSUCHTABLE"), EProviderError);
  ASSERT_EQ(Conn.Errors().size(), 1u);
  EXPECT_NE(Conn.Errors()[0].Description.find(Ctx().NoSuchTableText("NOSUCHTABLE")),
            std::string::npos);
  EXPECT_NE(Conn.Errors()[0].NativeError, kDuplicateKeyError);
  EXPECT_EQ(Conn.Errors()[0].Source, Ctx().ErrorSource());
}

TEST_P(ConnectionTest, ExecuteRunsExactlyOneStatement) {
  Conn.Execute("CREATE TABLE T (A INTEGER);");
  EXPECT_THROW(Conn.Execute("INSERT INTO T VALUES (1); DROP TABLE T"), EProviderError);
  TStringList names;
  Conn.GetTableNames(names);
  EXPECT_EQ(names.IndexOf(Ctx().CatalogName("T")), 0);
  EXPECT_EQ(Conn.Execute("INSERT INTO T VALUES (1); -- done"), 1);
}

TEST_P(ConnectionTest, AColumnWithoutTypeIsRejected) {
  Conn.Execute("CREATE TABLE DOCUMENT (DOCID INTEGER)");
  for (const char* sql :
       {"ALTER TABLE DOCUMENT ADD EXTRA ", "ALTER TABLE DOCUMENT ADD COLUMN EXTRA;",
        "ALTER TABLE DOCUMENT ADD \"EXTRA\""}) {
    SCOPED_TRACE(sql);
    EXPECT_THROW(Conn.Execute(sql), EProviderError);
  }
  Conn.Execute("ALTER TABLE DOCUMENT ADD MYNAMES " + Ctx().Text(50));
  Conn.Execute("ALTER TABLE DOCUMENT ADD \"ADDRESS\" " + Ctx().Text(50));
  // A column that exists already is rejected by the engine itself.
  EXPECT_THROW(Conn.Execute("ALTER TABLE DOCUMENT ADD MYNAMES " + Ctx().Text(50)), EProviderError);
  EXPECT_NE(Conn.Errors().at(0).Description.find(Ctx().DuplicateColumnText("MYNAMES")),
            std::string::npos);
}

TEST_P(ConnectionTest, TableNamesListUserTablesAndViews) {
  Conn.Execute("CREATE TABLE B (ID " + Ctx().AutoIncrementKey() + ")");  // may make engine tables
  Conn.Execute("CREATE TABLE A (X INTEGER)");
  Conn.Execute("CREATE VIEW V AS SELECT * FROM A");
  TStringList names;
  Conn.GetTableNames(names);
  EXPECT_EQ(names,
            (TStringList{Ctx().CatalogName("A"), Ctx().CatalogName("B"), Ctx().CatalogName("V")}));
  if (!Ctx().SequenceTable().empty()) {
    Conn.GetTableNames(names, true);
    EXPECT_GE(names.IndexOf(Ctx().SequenceTable()), 0);
  }
}

TEST_P(ConnectionTest, TransactionsNestAndRollBack) {
  Conn.Execute("CREATE TABLE T (A INTEGER)");
  auto other = OtherConnection();
  auto count = [&](TConnection& c) {
    TQuery q;
    q.SetConnection(&c);
    q.SetSQLText("SELECT COUNT(*) AS N FROM T");
    q.Open();
    return q.FieldByName("N").AsInteger();
  };
  EXPECT_EQ(Conn.BeginTrans(), 1);
  Conn.Execute("INSERT INTO T VALUES (1)");
  EXPECT_EQ(Conn.BeginTrans(), 2);
  Conn.Execute("INSERT INTO T VALUES (2)");
  Conn.RollbackTrans();  // only the inner level
  EXPECT_EQ(count(Conn), 1);
  EXPECT_TRUE(Conn.InTransaction());
  Conn.CommitTrans();
  EXPECT_FALSE(Conn.InTransaction());
  EXPECT_EQ(count(*other), 1);
  Conn.BeginTrans();
  Conn.Execute("INSERT INTO T VALUES (3)");
  Conn.Execute("CREATE TABLE U (A INTEGER)");
  Conn.RollbackTrans();
  EXPECT_EQ(count(*other), 1);
  EXPECT_THROW(Conn.CommitTrans(), EDatabaseError);
  TStringList names;
  Conn.GetTableNames(names);
  EXPECT_EQ(names.IndexOf(Ctx().CatalogName("U")) >= 0, !Can().TransactionalDdl);
}

TEST_P(ConnectionTest, WritesOutsideATransactionAreCommittedAtOnce) {
  Conn.Execute("CREATE TABLE T (A INTEGER)");
  for (int i = 0; i < 5; ++i) Conn.Execute("INSERT INTO T VALUES (" + std::to_string(i) + ")");
  // A dataset whose cursor stands in the middle of its rows does not hold
  // back the writes made meanwhile.
  TTable t;
  t.SetConnection(&Conn);
  t.SetTableName("T");
  t.Open();
  t.Next();
  t.Append();
  t.FieldByName("A").SetAsInteger(99);
  t.Post();
  Conn.Execute("UPDATE T SET A = 7 WHERE A = 0");
  auto other = OtherConnection();
  TQuery q;
  q.SetConnection(other.get());
  q.SetSQLText("SELECT SUM(A) AS S, COUNT(*) AS N FROM T");
  q.Open();
  EXPECT_EQ(q.FieldByName("N").AsInteger(), 6);
  EXPECT_EQ(q.FieldByName("S").AsInteger(), 1 + 2 + 3 + 4 + 7 + 99);
}

TEST_P(ConnectionTest, AnOpenDataSetOnAFewRowsDoesNotBlockOtherWriters) {
  Conn.Execute("CREATE TABLE IDENTNO (IDNAME " + Ctx().Text(20) + " PRIMARY KEY, NEXTID INTEGER)");
  Conn.Execute("INSERT INTO IDENTNO VALUES ('DOCID', 1), ('TODOID', 1), ('FTIWORDID', 1)");
  TTable t;
  t.SetConnection(&Conn);
  t.SetTableName("IDENTNO");
  t.Open();
  ASSERT_TRUE(t.Locate("IDNAME", "todoid", loCaseInsensitive));
  auto other = OtherConnection();
  EXPECT_EQ(other->Execute("UPDATE IDENTNO SET NEXTID = 5"), 3);
  t.Requery();
  EXPECT_EQ(t.FieldByName("NEXTID").AsInteger(), 5);
}

TEST_P(ConnectionTest, WalJournalLetsOthersWriteWhileALongResultIsRead) {
  if (Ctx().ConcurrentReadOption().empty()) GTEST_SKIP() << "no such option";
  Conn.Execute("CREATE TABLE T (A INTEGER)");
  for (int i = 0; i < 500; ++i) Conn.Execute("INSERT INTO T VALUES (" + std::to_string(i) + ")");
  Conn.Close();
  Conn.SetConnectionString(Ctx().ConnectionString(FDir) + Ctx().ConcurrentReadOption());
  TTable t;
  t.SetConnection(&Conn);
  t.SetTableName("T");
  t.Open();
  t.Next();  // stands in the middle of 500 rows
  auto other = OtherConnection();
  EXPECT_EQ(other->Execute("DELETE FROM T WHERE A > 100"), 399);
  if (!Ctx().UnknownJournalOption().empty()) {
    TConnection bad;
    bad.SetConnectionString(Ctx().ConnectionString(FDir) + Ctx().UnknownJournalOption());
    EXPECT_THROW(bad.Open(), EDatabaseError);
  }
}

TEST_P(ConnectionTest, EndReadLetsOthersCommitAndKeepsTheCurrentRow) {
  Conn.Execute("CREATE TABLE T (A INTEGER PRIMARY KEY)");
  Conn.BeginTrans();
  for (int i = 0; i < 500; ++i) Conn.Execute("INSERT INTO T VALUES (" + std::to_string(i) + ")");
  Conn.CommitTrans();
  TQuery q;
  q.SetConnection(&Conn);
  q.SetSQLText("SELECT A FROM T ORDER BY A");
  q.Open();
  EXPECT_EQ(q.MoveBy(99), 99);  // in the middle of 500 rows
  if (Can().ReadersHoldBackWriters) {
    // Until then the dataset's read holds back another connection's commit.
    TConnection impatient;
    impatient.SetConnectionString(Ctx().ConnectionString(FDir));
    impatient.SetCommandTimeout(1);
    impatient.Open();
    EXPECT_THROW(impatient.Execute("DELETE FROM T WHERE A < 50"), EProviderError);
  }
  q.EndRead();
  auto other = OtherConnection();
  EXPECT_EQ(other->Execute("DELETE FROM T WHERE A < 50"), 50);
  EXPECT_EQ(q.FieldByName("A").AsInteger(), 99);
  // The next move runs the statement again and steps to the next position.
  q.Next();
  EXPECT_EQ(q.RecNo(), 101);
  EXPECT_EQ(q.FieldByName("A").AsInteger(), 150);
  q.EndRead();  // at the end of a short result there is nothing to end
  q.Last();
  q.EndRead();
  q.First();
  EXPECT_EQ(q.FieldByName("A").AsInteger(), 50);
}

TEST_P(ConnectionTest, AWorkerThreadWritesThroughItsOwnConnection) {
  Conn.Execute("CREATE TABLE FTIWID (WORDID INTEGER, DOCID INTEGER)");
  // The table is opened while still empty: where readers hold back writers,
  // a dataset standing in the middle of a longer result keeps a read lock,
  // and a write from that connection while the other one waits to commit
  // would be refused at once (SQLite's deadlock rule) instead of waiting its
  // turn.
  TTable t;
  t.SetConnection(&Conn);
  t.SetTableName("FTIWID");
  t.Open();
  std::thread worker([this] {
    TConnection own;
    own.SetConnectionString(Ctx().ConnectionString(FDir));
    own.Open();
    for (int i = 0; i < 200; ++i)
      own.Execute("INSERT INTO FTIWID (WORDID, DOCID) VALUES (" + std::to_string(i) + ", 2)");
  });
  for (int i = 0; i < 200; ++i) {
    t.Append();
    t.FieldByName("WORDID").SetAsInteger(i);
    t.FieldByName("DOCID").SetAsInteger(1);
    t.Post();
  }
  worker.join();
  TQuery q;
  q.SetConnection(&Conn);
  q.SetSQLText("SELECT COUNT(*) AS N, SUM(DOCID) AS S FROM FTIWID");
  q.Open();
  EXPECT_EQ(q.FieldByName("N").AsInteger(), 400);
  EXPECT_EQ(q.FieldByName("S").AsInteger(), 600);
}

TEST_P(ConnectionTest, ConnectionStringIsFixedWhileOpenAndClosingClosesDataSets) {
  Conn.Execute("CREATE TABLE T (A INTEGER)");
  EXPECT_THROW(Conn.SetConnectionString("Provider=SQLite;Data Source=/x.db"), EDatabaseError);
  TTable t;
  t.SetConnection(&Conn);
  t.SetTableName("T");
  int closed = 0;
  t.AfterClose = [&](TDataSet&) { ++closed; };
  t.Open();
  Conn.Close();
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(closed, 1);
  // Opening a dataset opens its connection.
  t.Open();
  EXPECT_TRUE(Conn.Connected());
}

}  // namespace
}  // namespace dk::test
