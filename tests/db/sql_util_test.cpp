#include "db/util/sql_util.h"

#include <gtest/gtest.h>

#include "data/query.h"
#include "data/table.h"
#include "support/temp_dir.h"

namespace dk::test {
namespace {

// Restores the apostrophe whatever a test sets.
struct TQuoteGuard {
  ~TQuoteGuard() { SetSqlQuoteChar('\''); }
};

TEST(SqlQuoted, DoublesTheCurrentQuoteCharacterOnly) {
  TQuoteGuard guard;
  EXPECT_EQ(SqlQuoted("O'Neil"), "'O''Neil'");
  EXPECT_EQ(SqlQuoted(""), "''");
  EXPECT_EQ(SqlQuoted("''"), "''''''");
  SetSqlQuoteChar('"');
  EXPECT_EQ(SqlQuoteChar(), '"');
  EXPECT_EQ(SqlQuoted("O'Neil \"Jr\""), "\"O'Neil \"\"Jr\"\"\"");
  SetSqlQuoteChar('\0');
  EXPECT_EQ(SqlQuoted("a'b"), "'a''b'");
}

TEST(DialectOf, TestsTheProvidersInOrder) {
  struct TCase {
    const char* connection;
    int dialect;
  } cases[] = {
      {"Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\a.mdb", 1},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb", 1},
      {"Provider=MSDataShape.1;Data Provider=SQLOLEDB;Data Source=srv", 1},
      {"PROVIDER=SQLOLEDB.1;Integrated Security=SSPI;Initial Catalog=Archiv", 2},
      {"provider=sqloledb", 2},
      {"Provider=MSDASQL;DSN=archiv", 3},
      {"Provider=SQLite;Data Source=/srv/archiv.db", 3},
      {"Provider=PostgreSQL;Data Source=db:5432", 3},
      {"Data Source=archiv.db", 0},
      {"", 0},
      {"Provider = SQLOLEDB", 0},  // plain substring tests: the blanks hide it
  };
  for (const auto& c : cases) EXPECT_EQ(DialectOf(c.connection), c.dialect) << c.connection;
}

TEST(TypeNames, FollowTheDialectTables) {
  struct TCase {
    TFieldType type;
    const char* jet;
    const char* msSql;
    const char* generic;
  } cases[] = {
      {ftString, "TEXT(30)", "VARCHAR(30)", "CHAR(30)"},
      {ftFixedChar, "TEXT(30)", "CHAR(30)", "CHAR(30)"},
      {ftWideString, "TEXT(30)", "VARCHAR(30)", "CHAR(30)"},
      {ftBoolean, "TEXT(1)", "CHAR(1)", "CHAR(1)"},
      {ftInteger, "INTEGER", "INT", "INTEGER"},
      {ftLargeint, "INTEGER", "INT", "INTEGER"},
      {ftAutoInc, "INTEGER", "INT", "INTEGER"},
      {ftCurrency, "MONEY", "MONEY", "DECIMAL(13,2)"},
      {ftTime, "DATETIME", "DATETIME", "DATE"},
      {ftBlob, "LONGTEXT", "IMAGE", "BLOB"},
      {ftMemo, "LONGTEXT", "TEXT", "BLOB"},
      {ftGraphic, "IMAGE", "IMAGE", "BLOB"},
      {ftOraClob, "IMAGE", "TEXT", "BLOB"},
      {ftCursor, "IMAGE", "", ""},
      {ftBytes, "", "TINYINT", ""},
      {ftBCD, "", "", ""},
      {ftVarBytes, "", "", ""},
      {ftUnknown, "", "", ""},
      {ftGuid, "", "", ""},
      {ftFMTBcd, "", "", ""},
      {static_cast<TFieldType>(40), "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.type));
    EXPECT_EQ(JetTypeName(c.type, "30"), c.jet);
    EXPECT_EQ(MsSqlTypeName(c.type, "30"), c.msSql);
    EXPECT_EQ(GenericTypeName(c.type, "30"), c.generic);
  }
}

TEST(ColumnTypeText, CapsTheSizeAndFollowsTheConnection) {
  const char* jet = "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a";
  EXPECT_EQ(ColumnTypeText(ftString, 300, jet), "TEXT(254)");
  EXPECT_EQ(ColumnTypeText(ftString, 254, jet), "TEXT(254)");
  EXPECT_EQ(ColumnTypeText(ftString, 10, jet), "TEXT(10)");
  TConnection conn;  // the connection's string decides; it need not be open
  conn.SetConnectionString("Provider=SQLOLEDB;Data Source=srv");
  EXPECT_EQ(ColumnTypeText(ftString, 300, conn), "VARCHAR(254)");
  conn.SetConnectionString("Data Source=a.db");
  EXPECT_EQ(ColumnTypeText(ftString, 10, conn), "CHAR(10)");
  EXPECT_EQ(ColumnTypeText(ftDateTime, 0, conn), "DATE");

  conn.SetConnectionString("Provider=SQLOLEDB;Data Source=srv");
  EXPECT_EQ(ColumnDefText("docno", ftString, 30, conn, true), "DOCNO VARCHAR(30) NULL");
  EXPECT_EQ(ColumnDefText("DocId", ftInteger, 0, jet, false), "DOCID INTEGER NOT NULL");
  // An empty type still gives a text; the database rejects it when run.
  EXPECT_EQ(ColumnDefText("X", ftBCD, 0, jet, true), "X  NULL");
  EXPECT_EQ(AlterTableAddText("DOCUMENT", "MYNAMES", "TEXT(50)"),
            "ALTER TABLE DOCUMENT ADD MYNAMES TEXT(50)");
  EXPECT_EQ(AlterTableAddText("FLDTEMPL", "Extra", ""), "ALTER TABLE FLDTEMPL ADD Extra ");
  EXPECT_EQ(SqlNull(conn), " NULL");
  EXPECT_EQ(SqlNotNull(conn), " NOT NULL");
  EXPECT_EQ(BoolToTF(true), "T");
  EXPECT_EQ(BoolToTF(false), "F");
}

TEST(SqlDateTime, WritesTheQuotedIsoFormDateOnlyAtMidnight) {
  TQuoteGuard guard;
  TConnection conn;
  EXPECT_EQ(SqlDateTime(conn, TDateTime::Encode(2024, 3, 9, 7, 5, 0)), "'2024-03-09 07:05:00'");
  EXPECT_EQ(SqlDateTime(conn, TDateTime::Encode(2024, 3, 9)), "'2024-03-09'");
  EXPECT_EQ(SqlDateTime(conn, TDateTime::Encode(2024, 3, 9, 0, 0, 0, 5)),
            "'2024-03-09 00:00:00.005'");
  SetSqlQuoteChar('"');
  EXPECT_EQ(SqlDateTime(conn, TDateTime::Encode(2024, 3, 9)), "\"2024-03-09\"");
}

class SqlUtilDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Conn.SetConnectionString("Provider=SQLite;Data Source=" + (Dir / "u.db"));
    Conn.CreateDatabase();
    Conn.Execute(
        "CREATE TABLE DOCUMENT (DOCID INTEGER, NAME TEXT(50), F FLOAT, D DATETIME, "
        "\"KUNDEN NR\" TEXT(20))");
  }

  TQuery& Open(const std::string& sql) {
    Q.Close();
    Q.SetConnection(&Conn);
    Q.SetSQLText(sql);
    Q.Open();
    return Q;
  }

  TTempDir Dir;
  TConnection Conn;
  TQuery Q;
};

TEST_F(SqlUtilDbTest, FieldFilterTextQuotesTextFieldsAndUsesLikeForWildcards) {
  Open("SELECT * FROM DOCUMENT WHERE DOCID=1");
  struct TCase {
    const char* field;
    const char* value;
    const char* expected;
  } cases[] = {
      {"NAME", "Mü%er", "NAME LIKE 'Mü%er'"},
      {"NAME", "M_ller", "NAME LIKE 'M_ller'"},
      {"NAME", "Müller", "NAME='Müller'"},
      {"NAME", "O'Neil", "NAME='O''Neil'"},
      {"DOCID", "17", "DOCID=17"},
      {"F", "1.5", "F=1.5"},
      {"D", "2024-01-01", "D='2024-01-01'"},
      {"KUNDEN NR", "K-1", "\"KUNDEN NR\"='K-1'"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FieldFilterText(Q.FieldByName(c.field), c.value), c.expected) << c.value;
  // The condition works on the database.
  Conn.Execute(
      "INSERT INTO DOCUMENT VALUES (1, 'Müller', 0, NULL, 'K-1'), (2, 'Meier', 0, NULL, NULL)");
  Open("SELECT * FROM DOCUMENT WHERE " + FieldFilterText(Q.FieldByName("NAME"), "M%er"));
  EXPECT_EQ(Q.RecordCount(), 2);
  Open("SELECT * FROM DOCUMENT WHERE " + FieldFilterText(Q.FieldByName("KUNDEN NR"), "K-1"));
  EXPECT_EQ(Q.RecordCount(), 1);
}

TEST_F(SqlUtilDbTest, IsFieldEmptyForNullEmptyZeroAndUnreadableValues) {
  Conn.Execute(
      "INSERT INTO DOCUMENT (DOCID, NAME, F, D) VALUES (0, '', 0.0, NULL), (5, '0', 0.25, "
      "'2024-01-01'), "
      "('abc', NULL, 7, NULL)");
  Open("SELECT * FROM DOCUMENT");
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("DOCID")));  // 0
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("NAME")));   // ""
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("F")));      // 0.0
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("D")));      // null
  Q.Next();
  EXPECT_FALSE(IsFieldEmpty(Q.FieldByName("DOCID")));
  EXPECT_FALSE(IsFieldEmpty(Q.FieldByName("NAME")));  // the text "0" is not a number field
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("F")));      // 0.25 has the integer value 0
  EXPECT_FALSE(IsFieldEmpty(Q.FieldByName("D")));
  Q.Next();
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("DOCID")));  // 'abc' in an integer column cannot be read
  EXPECT_TRUE(IsFieldEmpty(nullptr));
  EXPECT_TRUE(IsFieldEmpty(Q.FindField("MYNAMES")));
  // The maximum of an empty table, an expression without a declared type.
  Conn.Execute("DELETE FROM DOCUMENT");
  Open("SELECT MAX(DOCID) AS MAX_ID FROM DOCUMENT");
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("MAX_ID")));
  Conn.Execute("INSERT INTO DOCUMENT (DOCID) VALUES (0)");
  Open("SELECT MAX(DOCID) AS MAX_ID FROM DOCUMENT");
  EXPECT_TRUE(IsFieldEmpty(Q.FieldByName("MAX_ID")));
}

TEST_F(SqlUtilDbTest, SafeLocateIgnoresCaseAndNeverFails) {
  Conn.Execute(
      "INSERT INTO DOCUMENT (DOCID, NAME, F, D) VALUES (1, 'ÄRGER', 0, NULL), (2, 'ärger', 0, "
      "NULL)");
  TTable t;
  t.SetConnection(&Conn);
  t.SetTableName("DOCUMENT");
  EXPECT_FALSE(SafeLocate(t, "NAME", "ärger"));  // closed
  t.Open();
  t.Next();
  EXPECT_TRUE(SafeLocate(t, "NAME", "ärger"));
  EXPECT_EQ(t.FieldByName("DOCID").AsInteger(), 1);
  EXPECT_FALSE(SafeLocate(t, "NOSUCHCOLUMN", "x"));
  EXPECT_FALSE(SafeLocate(t, "NAME", "nichts"));
}

}  // namespace
}  // namespace dk::test
