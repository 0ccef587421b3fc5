#include "data/field.h"

#include <gtest/gtest.h>

#include <sstream>

#include "data/query.h"
#include "data/table.h"
#include "data_fixture.h"

namespace dk::test {
namespace {

TEST(DateTime, EncodesDecodesAndWritesIsoAndGermanTexts) {
  TDateTime t = TDateTime::Encode(2024, 2, 29, 13, 5, 9, 120);
  int y, m, d, h, n, s, ms;
  t.DecodeDate(y, m, d);
  t.DecodeTime(h, n, s, ms);
  EXPECT_EQ((std::vector<int>{y, m, d, h, n, s, ms}),
            (std::vector<int>{2024, 2, 29, 13, 5, 9, 120}));
  EXPECT_EQ(t.IsoText(), "2024-02-29 13:05:09.120");
  EXPECT_EQ(t.GermanText(), "29.02.2024 13:05:09");
  TDateTime midnight = TDateTime::Encode(1999, 12, 31);
  EXPECT_EQ(midnight.IsoText(), "1999-12-31 00:00:00");
  EXPECT_EQ(midnight.IsoTextDateOnlyAtMidnight(), "1999-12-31");
  EXPECT_EQ(midnight.GermanText(), "31.12.1999");
  // The system's day numbers: 0 is 1899-12-30; before it the time of day
  // stays a positive fraction.
  EXPECT_EQ(TDateTime::FromDays(0).IsoText(), "1899-12-30 00:00:00");
  EXPECT_EQ(TDateTime::FromDays(2.25).IsoText(), "1900-01-01 06:00:00");
  EXPECT_EQ(TDateTime::FromDays(-1.25).IsoText(), "1899-12-29 06:00:00");
  EXPECT_DOUBLE_EQ(TDateTime::FromDays(-1.25).Days(), -1.25);
  EXPECT_THROW(TDateTime::Encode(2023, 2, 29), std::invalid_argument);
}

TEST(DateTime, ParsesIsoAndGermanFormsOnly) {
  struct TCase {
    const char* text;
    const char* iso;  // nullptr: not a date-time
  } cases[] = {
      {"2024-05-17 13:45:00", "2024-05-17 13:45:00"},
      {" 2024-05-17T13:45 ", "2024-05-17 13:45:00"},
      {"2024-05-17 13:45:00.5", "2024-05-17 13:45:00.500"},
      {"2024-05-17", "2024-05-17 00:00:00"},
      {"17.05.2024 13:45", "2024-05-17 13:45:00"},
      {"7.5.2024", "2024-05-07 00:00:00"},
      {"08:30:00", "1899-12-30 08:30:00"},
      {"31.04.2024", nullptr},
      {"2024-13-01", nullptr},
      {"2024-05-17 24:00", nullptr},
      {"heute", nullptr},
      {"", nullptr},
      {"2024-05-17 13:45 Uhr", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = TDateTime::Parse(c.text);
    if (c.iso) {
      ASSERT_TRUE(parsed);
      EXPECT_EQ(parsed->IsoText(), c.iso);
    } else {
      EXPECT_FALSE(parsed);
    }
  }
}

class FieldTest : public TDataTest {
 protected:
  void SetUp() override {
    TDataTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const TProviderContext& c = Ctx();
    Conn.Execute("CREATE TABLE V (ID INTEGER PRIMARY KEY, S " + c.Text(5) + ", FLAG " + c.Text(1) +
                 ", N INTEGER, SI " + c.SmallInt() + ", F " + c.Float() + ", D " + c.DateTime() +
                 ", M " + c.Memo() + ", B " + c.Blob() + ", BOOL " + c.Boolean() + ")");
    T.SetConnection(&Conn);
    T.SetTableName("V");
    T.Open();
  }

  // The value of `column` in the row of the highest ID as the engine holds
  // it, "<storage>:<text>" (see TProviderContext::StoredFormSql).
  std::string Stored(const std::string& column) {
    TQuery q;
    q.SetConnection(&Conn);
    q.SetSQLText("SELECT " + Ctx().StoredFormSql(column) + " AS X FROM V ORDER BY ID DESC LIMIT 1");
    q.Open();
    return q.FieldByName("X").AsString();
  }
  std::string Expected(TStorage storage, const std::string& text) const {
    return Ctx().StoredForm(storage, text);
  }

  TTable T;
};

DK_TEST_WITH_EVERY_PROVIDER(FieldTest);

TEST_P(FieldTest, DeclaredColumnTypesGiveFieldTypes) {
  if (!Can().AnyDeclaredType) GTEST_SKIP() << "the engine names its own types";
  Conn.Execute(
      "CREATE TABLE TYPES (A TEXT(50), B VARCHAR(20), C CHAR(3), D INTEGER, E INT, F SMALLINT, "
      "G TINYINT, H FLOAT, I DOUBLE, J REAL, K MONEY, L DECIMAL(10,2), M DECIMAL(10,4), "
      "N NUMERIC, O DATETIME, P DATE, Q TIMESTAMP, R LONGTEXT, S TEXT, T MEMO, U IMAGE, V BLOB, "
      "W LONGBINARY, X, Y COUNTER)");
  TTable t;
  t.SetConnection(&Conn);
  t.SetTableName("TYPES");
  t.Open();
  struct TCase {
    const char* name;
    TFieldType type;
    int size;
  } cases[] = {
      {"A", ftString, 50},  {"B", ftString, 20},  {"C", ftString, 3},   {"D", ftInteger, 0},
      {"E", ftInteger, 0},  {"F", ftSmallint, 0}, {"G", ftSmallint, 0}, {"H", ftFloat, 0},
      {"I", ftFloat, 0},    {"J", ftFloat, 0},    {"K", ftCurrency, 0}, {"L", ftCurrency, 2},
      {"M", ftBCD, 4},      {"N", ftBCD, 0},      {"O", ftDateTime, 0}, {"P", ftDateTime, 0},
      {"Q", ftDateTime, 0}, {"R", ftMemo, 0},     {"S", ftMemo, 0},     {"T", ftMemo, 0},
      {"U", ftBlob, 0},     {"V", ftBlob, 0},     {"W", ftBlob, 0},     {"X", ftUnknown, 0},
      {"Y", ftAutoInc, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FieldTypeName(t.FieldByName(c.name).DataType()), std::string(FieldTypeName(c.type)));
    if (c.type == ftString) {
      EXPECT_EQ(t.FieldByName(c.name).Size(), c.size);
    }
  }
}

TEST_P(FieldTest, AValueThatDoesNotFitFailsItsAssignmentAndKeepsTheOldValue) {
  T.Append();
  if (!Can().IntegerKeyNumbered) T.FieldByName("ID").SetAsInteger(1);
  T.FieldByName("N").SetAsInteger(7);
  struct TCase {
    const char* field;
    TVariant value;
    const char* message;
  } cases[] = {
      {"N", "abc", "'abc' is not a valid integer value for field 'N'"},
      {"N", "1.5", "'1.5' is not a valid integer value for field 'N'"},
      {"F", "zwei", "'zwei' is not a valid floating point value for field 'F'"},
      {"D", "31.04.2024", "'31.04.2024' is not a valid date and time for field 'D'"},
      {"BOOL", "vielleicht", "'vielleicht' is not a valid boolean value for field 'BOOL'"},
      {"SI", 40000,
       "40000 is not a valid value for field 'SI'. The allowed range is -32768 to 32767"},
      {"N", TVariant::Bytes("\x01\x02"),
       "A binary value cannot be assigned to the integer field 'N'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      T.FieldByName(c.field).SetAsVariant(c.value);
      FAIL() << "accepted";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(T.FieldByName("N").AsInteger(), 7);
  EXPECT_TRUE(T.FieldByName("F").IsNull());
  T.Post();
  EXPECT_EQ(Stored("N"), Expected(TStorage::Integer, "7"));
}

TEST_P(FieldTest, ValuesAreConvertedByTheColumnType) {
  T.Append();
  T.FieldByName("ID").SetAsString(" 12 ");
  // Longer than the column's size: kept whole where the engine allows it.
  const std::string text = Can().TextSizeEnforced ? "Über" : "Überlänge";
  T.FieldByName("S").SetAsString(text);
  T.FieldByName("FLAG").SetAsBoolean(true);
  T.FieldByName("N").SetAsFloat(2.5);  // rounds to even, as the system did
  T.FieldByName("F").SetAsString("1,25");
  T.FieldByName("BOOL").SetAsString("F");
  T.FieldByName("D").SetAsString("17.05.2024 13:45");
  T.Post();
  EXPECT_EQ(Stored("ID"), Expected(TStorage::Integer, "12"));
  EXPECT_EQ(Stored("S"), Expected(TStorage::Text, text));
  EXPECT_EQ(T.FieldByName("S").AsString(), text);
  EXPECT_EQ(Stored("FLAG"), Expected(TStorage::Text, "T"));
  EXPECT_EQ(Stored("N"), Expected(TStorage::Integer, "2"));
  EXPECT_EQ(Stored("F"), Expected(TStorage::Real, "1.25"));
  EXPECT_EQ(Stored("BOOL"), Ctx().StoredBoolean(false));
  EXPECT_EQ(Stored("D"), Ctx().StoredDateTime(TDateTime::Encode(2024, 5, 17, 13, 45)));
  EXPECT_EQ(T.FieldByName("F").AsString(), "1.25");
  EXPECT_FALSE(T.FieldByName("BOOL").AsBoolean());
  EXPECT_EQ(T.FieldByName("BOOL").AsString(), "False");
  EXPECT_EQ(T.FieldByName("D").DisplayText(), "17.05.2024 13:45:00");

  // Booleans in text columns: written as T or F, read as true when the text
  // begins with T, t, Y or y.
  Conn.Execute("UPDATE V SET FLAG = 'y'");
  T.Requery();
  EXPECT_TRUE(T.FieldByName("FLAG").AsBoolean());
  for (const char* text : {"F", "n", "", "X"}) {
    Conn.Execute(std::string("UPDATE V SET FLAG = '") + text + "'");
    T.Requery();
    EXPECT_FALSE(T.FieldByName("FLAG").AsBoolean()) << text;
  }
  T.Edit();
  T.FieldByName("FLAG").SetAsBoolean(false);
  T.Post();
  EXPECT_EQ(Stored("FLAG"), Expected(TStorage::Text, "F"));
}

TEST_P(FieldTest, DateTimesRoundTripAsIsoText) {
  TDateTime values[] = {TDateTime::Encode(2024, 5, 17, 13, 45, 1, 250),
                        TDateTime::Encode(2001, 1, 1), TDateTime::Encode(1899, 12, 30, 23, 59, 59)};
  int id = 0;
  for (TDateTime v : values) {
    T.Append();
    T.FieldByName("ID").SetAsInteger(++id);
    T.FieldByName("D").SetAsDateTime(v);
    T.Post();
  }
  EXPECT_EQ(Stored("D"), Ctx().StoredDateTime(values[2]));
  Conn.Execute("UPDATE V SET ID = 4 WHERE ID = 2");
  EXPECT_EQ(Stored("D"), Ctx().StoredDateTime(values[1]));
  TQuery q;
  q.SetConnection(&Conn);
  q.SetSQLText("SELECT D FROM V ORDER BY D DESC");
  q.Open();
  for (TDateTime v : values) {
    EXPECT_EQ(q.FieldByName("D").AsDateTime(), v);
    EXPECT_EQ(q.FieldByName("D").AsVariant(), TVariant(v));
    q.Next();
  }
  // The ISO texts compare in time order inside the engine, and a midnight
  // value equals its literal.
  q.Close();
  q.SetSQLText("SELECT ID FROM V WHERE D > '2001-01-01' ORDER BY D");
  q.Open();
  EXPECT_EQ(q.FieldByName("ID").AsInteger(), 1);
  q.Close();
  q.SetSQLText("SELECT ID FROM V WHERE D = '2001-01-01'");
  q.Open();
  EXPECT_EQ(q.FieldByName("ID").AsInteger(), 4);
}

TEST_P(FieldTest, AssignCopiesNullsAndConvertsByType) {
  Conn.Execute(
      "INSERT INTO V (ID, S, N, F, D, M) VALUES (1, 'x', 42, 0.5, '2020-02-02 10:00:00', 'memo')");
  TQuery src;
  src.SetConnection(&Conn);
  src.SetSQLText("SELECT ID, S, N, F, D, M, NULL AS NOVALUE FROM V");
  src.Open();
  T.Append();
  T.FieldByName("ID").SetAsInteger(2);
  T.FieldByName("S").SetAsString("old");
  T.FieldByName("S").Assign(src.FieldByName("NOVALUE"));
  EXPECT_TRUE(T.FieldByName("S").IsNull());
  T.FieldByName("S").Assign(src.FieldByName("N"));  // integer into text
  T.FieldByName("M").Assign(src.FieldByName("D"));  // date-time into memo
  T.FieldByName("N").Assign(src.FieldByName("F"));  // 0.5 rounds to 0
  T.FieldByName("D").Assign(src.FieldByName("D"));
  T.Post();
  EXPECT_EQ(T.FieldByName("S").AsString(), "42");
  EXPECT_EQ(T.FieldByName("M").AsString(), "2020-02-02 10:00:00");
  EXPECT_EQ(T.FieldByName("N").AsInteger(), 0);
  EXPECT_EQ(Stored("D"), Ctx().StoredDateTime(TDateTime::Encode(2020, 2, 2, 10)));
}

TEST_P(FieldTest, BlobsLoadFromAndSaveToStreams) {
  std::string bytes("\x00\x01\xff binary \x00 end", 15);
  T.Append();
  T.FieldByName("ID").SetAsInteger(1);
  std::istringstream in(bytes);
  T.FieldByName("B").LoadFromStream(in);
  T.FieldByName("M").SetAsString("{\\rtf1 Text mit 'Quote'}");
  T.Post();
  // Binary data in a memo column keeps its bytes.
  T.Append();
  T.FieldByName("ID").SetAsInteger(2);
  T.FieldByName("M").SetAsBytes(bytes);
  T.Post();
  EXPECT_EQ(Stored("M").substr(0, Expected(TStorage::Blob, "").size()),
            Expected(TStorage::Blob, ""));
  T.Requery();
  T.Next();
  EXPECT_EQ(T.FieldByName("M").AsBytes(), bytes);
  T.First();
  T.Requery();
  std::ostringstream out;
  T.FieldByName("B").SaveToStream(out);
  EXPECT_EQ(out.str(), bytes);
  EXPECT_EQ(T.FieldByName("M").AsString(), "{\\rtf1 Text mit 'Quote'}");
  EXPECT_TRUE(T.FieldByName("B").IsBlob());
}

TEST_P(FieldTest, ExpressionColumnsKeepTheEngineValue) {
  Conn.Execute("INSERT INTO V (ID, N) VALUES (3, 5), (9, 1)");
  TQuery q;
  q.SetConnection(&Conn);
  q.SetSQLText("SELECT MAX(ID) AS MAX_ID, COUNT(*) AS FRECORDCOUNT, MAX(S) AS NOVALUE FROM V");
  q.Open();
  // An engine that types its expressions says so; the others leave it open.
  EXPECT_EQ(q.FieldByName("MAX_ID").DataType(), Can().TypedExpressions ? ftInteger : ftUnknown);
  EXPECT_EQ(q.FieldByName("MAX_ID").AsInteger(), 9);
  EXPECT_EQ(q.FieldByName("FRECORDCOUNT").AsString(), "2");
  EXPECT_TRUE(q.FieldByName("NOVALUE").IsNull());
  EXPECT_EQ(q.FieldByName("NOVALUE").AsInteger(), 0);
}

}  // namespace
}  // namespace dk::test
