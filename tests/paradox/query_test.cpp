// The dataset as the table copies use it: statements, fields by position and
// name, type codes, cursor moves and value conversions.
#include "paradox/query.h"

#include <gtest/gtest.h>

#include "error_text.h"
#include "paradox/statement.h"
#include "paradox/values.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

std::string Samples(const std::string& sub) {
  return test::SharedDir() + "/paradox-samples/" + sub;
}

using test::ErrorOf;

TEST(Statement, AcceptsTheTwoFormsInAnySpelling) {
  struct Case {
    const char* Sql;
    TParadoxStatement::TKind Kind;
    const char* Table;
  } cases[] = {
      {"SELECT * FROM DOCUMENT", TParadoxStatement::skSelectAll, "DOCUMENT"},
      {"  select *\r\n  from docvers ;  ", TParadoxStatement::skSelectAll, "docvers"},
      {"Select * From Todo;", TParadoxStatement::skSelectAll, "Todo"},
      {"SELECT * FROM FTIWID.DB", TParadoxStatement::skSelectAll, "FTIWID"},
      {"SELECT COUNT(*) AS FRECORDCOUNT FROM DOCPRTCL", TParadoxStatement::skCount, "DOCPRTCL"},
      {"select count ( * ) as frecordcount from x_1;", TParadoxStatement::skCount, "x_1"},
  };
  for (const auto& c : cases) {
    const TParadoxStatement st = ParseParadoxStatement(c.Sql);
    EXPECT_EQ(st.Kind, c.Kind) << c.Sql;
    EXPECT_EQ(st.Table, c.Table) << c.Sql;
  }
}

TEST(Statement, RefusesEverythingElse) {
  for (const char* sql :
       {"", ";", "SELECT NAME FROM T", "SELECT * FROM T WHERE ID = 1", "SELECT * FROM T, U",
        "SELECT COUNT(*) FROM T", "SELECT COUNT(*) AS N FROM T", "DELETE FROM T",
        "SELECT * FROM ../T", "SELECT * FROM T; DROP TABLE T", "SELECT * FROM \"T\"",
        "SELECT * FROM T;;", "SELECT * FROM a.b"}) {
    const std::string msg = ErrorOf([&] { ParseParadoxStatement(sql); });
    EXPECT_NE(msg, "") << "accepted: " << sql;
  }
  EXPECT_NE(ErrorOf([] { ParseParadoxStatement("UPDATE T SET A=1"); }).find("UPDATE T SET A=1"),
            std::string::npos)
      << "the message quotes the statement";
}

TEST(Query, TableNameIgnoresCaseAndCountsRows) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  TParadoxQuery q;
  q.SetDatabaseName(Samples("paradoxdriver/db") + "/");
  q.SetSQL("select count(*) as FRECORDCOUNT from customer");
  q.Open();
  ASSERT_EQ(q.FieldCount(), 1);
  EXPECT_EQ(q.Fields(0).FieldName(), "FRECORDCOUNT");
  EXPECT_EQ(q.FieldByName("FRecordCount").AsInteger(), 20);
  EXPECT_FALSE(q.Eof());
  q.Next();
  EXPECT_TRUE(q.Eof());
}

TEST(Query, MissingTableFailsAtOpenNamingDirectoryAndTable) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  TParadoxQuery q;
  q.SetDatabaseName(Samples("paradoxdriver/db"));
  q.SetSQL("SELECT COUNT(*) AS FRECORDCOUNT FROM DOCUMENT");
  const std::string msg = ErrorOf([&] { q.Open(); });
  EXPECT_NE(msg.find(Samples("paradoxdriver/db")), std::string::npos) << msg;
  EXPECT_NE(msg.find("\"DOCUMENT\""), std::string::npos) << msg;
  EXPECT_FALSE(q.Active());

  q.SetDatabaseName("/nonexistent/dir");
  EXPECT_NE(ErrorOf([&] { q.Open(); }).find("/nonexistent/dir"), std::string::npos);
}

TEST(Query, FieldsByPositionAndNameAndTheirTypes) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  // TypSammlung holds one field of every Paradox type.
  TParadoxQuery q;
  q.SetDatabaseName(Samples("pxlib"));
  q.SetSQL("SELECT * FROM TypSammlung");
  q.Open();
  struct Want {
    const char* Name;
    TFieldType Type;
    int Size;
    char Letter;
  } want[] = {
      {"Alpha", ftString, 30, 'A'},        {"Numerisch", ftFloat, 0, 'N'},
      {"Währung", ftCurrency, 0, '$'},     {"Integer kurz", ftSmallint, 0, 'S'},
      {"Integer lang", ftInteger, 0, 'I'}, {"BCD", ftBCD, 6, '#'},
      {"Datum", ftDate, 0, 'D'},           {"Zeit", ftTime, 0, 'T'},
      {"Datum/Zeit", ftDateTime, 0, '@'},  {"Memo", ftMemo, 1, 'M'},
      {"Logisch", ftBoolean, 0, 'L'},      {"Zähler", ftAutoInc, 0, '+'},
      {"Binär", ftBlob, 0, 'B'},           {"Bytes", ftBytes, 255, 'Y'},
  };
  ASSERT_EQ(q.FieldCount(), 14);
  for (int i = 0; i < 14; ++i) {
    EXPECT_EQ(q.Fields(i).FieldName(), want[i].Name);
    EXPECT_EQ(q.Fields(i).Index(), i);
    EXPECT_EQ(q.Fields(i).DataType(), want[i].Type) << want[i].Name;
    EXPECT_EQ(q.Fields(i).Size(), want[i].Size) << want[i].Name;
    EXPECT_EQ(q.Fields(i).ParadoxType(), want[i].Letter) << want[i].Name;
    EXPECT_NE(std::string(FieldTypeName(q.Fields(i).DataType())), "ftUnknown");
    EXPECT_EQ(&q.FieldByName(want[i].Name), &q.Fields(i));
  }
  EXPECT_EQ(q.FindField("ZÄHLER"), &q.Fields(11)) << "names compare ignoring case, umlauts too";
  EXPECT_EQ(q.FindField("NUMBER"), nullptr);
  EXPECT_NE(ErrorOf([&] { q.FieldByName("NUMBER"); }).find("\"NUMBER\""), std::string::npos);
  EXPECT_NE(ErrorOf([&] { q.Fields(14); }), "");
  EXPECT_NE(ErrorOf([&] { q.Fields(-1); }), "");
}

// The codes are a contract: stored settings and the copy rules compare them
// as numbers.
static_assert(ftString == 1 && ftSmallint == 2 && ftInteger == 3 && ftBoolean == 5 &&
              ftFloat == 6 && ftCurrency == 7 && ftBCD == 8 && ftDate == 9 && ftTime == 10 &&
              ftDateTime == 11 && ftBytes == 12 && ftAutoInc == 14 && ftBlob == 15 &&
              ftMemo == 16 && ftGraphic == 17 && ftFmtMemo == 18 && ftParadoxOle == 19 &&
              ftFMTBcd == 37);

TEST(Query, OtherTypeCodesOfTheMapping) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  struct Case {
    const char* Dir;
    const char* Table;
    const char* Field;
    TFieldType Type;
  } cases[] = {
      {"paradoxdriver/fields", "fmemo", "FMEMO", ftFmtMemo},
      {"paradoxdriver/fields", "ole", "OLE", ftParadoxOle},
      {"paradoxdriver/fields", "graphic", "Graphic", ftGraphic},
  };
  for (const auto& c : cases) {
    TParadoxQuery q;
    q.SetDatabaseName(Samples(c.Dir));
    q.SetSQL(std::string("SELECT * FROM ") + c.Table);
    q.Open();
    TParadoxField* f = q.FindField(c.Field);
    ASSERT_NE(f, nullptr) << c.Table;
    EXPECT_EQ(f->DataType(), c.Type) << c.Table;
  }
}

TEST(Query, ValuesInEveryReading) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  TParadoxQuery q;
  q.SetDatabaseName(Samples("pxlib"));
  q.SetSQL("SELECT * FROM TypSammlung");
  q.Open();
  // Row 1.
  EXPECT_EQ(q.FieldByName("Alpha").AsString(), "AAA Irgendein Text");
  EXPECT_EQ(q.FieldByName("Alpha").Value(), TVariant("AAA Irgendein Text"));
  EXPECT_EQ(q.FieldByName("Integer lang").Value(), TVariant(40));
  EXPECT_EQ(q.FieldByName("Numerisch").Value(), TVariant(40.0));
  EXPECT_EQ(q.FieldByName("Datum").Value(), TVariant(TDateTime::Encode(1970, 1, 1)));
  EXPECT_TRUE(q.FieldByName("Logisch").Value().IsNull());

  // Conversions between kinds, in the manner of the legacy fields.
  struct Case {
    const char* Field;
    std::string Text;
    double Float;
  };
  const Case cases[] = {
      {"Numerisch", "40", 40},    {"Währung", "40", 40},    {"Integer kurz", "40", 40},
      {"Integer lang", "40", 40}, {"BCD", "40.000000", 40}, {"Zähler", "1", 1},
      {"Logisch", "", 0},         {"Memo", "", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(q.FieldByName(c.Field).AsString(), c.Text) << c.Field;
    EXPECT_DOUBLE_EQ(q.FieldByName(c.Field).AsFloat(), c.Float) << c.Field;
    EXPECT_EQ(q.FieldByName(c.Field).AsInteger(), static_cast<int>(c.Float)) << c.Field;
  }
  EXPECT_DOUBLE_EQ(q.FieldByName("Datum/Zeit").AsDateTime(), 25569 + 11.0 / 24);
  EXPECT_NE(ErrorOf([&] { q.FieldByName("Alpha").AsInteger(); }).find("\"AAA Irgendein Text\""),
            std::string::npos);
  EXPECT_NE(ErrorOf([&] { q.FieldByName("Alpha").AsDateTime(); }), "");
  EXPECT_NE(ErrorOf([&] { q.FieldByName("Datum").AsBoolean(); }), "");
  EXPECT_EQ(q.FieldByName("Numerisch").AsDateTime(), 40.0) << "a number is a TDateTime as well";

  q.Next();
  q.Next();
  // Row 3 ("Fünfter Datensatz"): a date before year 1, kept as a TDateTime;
  // the memo lies in the .MB behind its 1-byte leader.
  EXPECT_EQ(q.FieldByName("Datum").AsString(), "-0001-12-31");
  EXPECT_EQ(q.FieldByName("Datum").AsDateTime(), -366.0 - kPxDelphiEpochDay);
  EXPECT_EQ(q.FieldByName("Datum/Zeit").AsString(), "-0001-12-31 01:00:00");
  EXPECT_DOUBLE_EQ(q.FieldByName("Datum/Zeit").AsDateTime(), -366.0 - kPxDelphiEpochDay - 1.0 / 24);
  EXPECT_EQ(q.FieldByName("Memo").AsString(), "Dies ist eine Memo im 'Fünften Datensat'");
  EXPECT_EQ(q.FieldByName("Zeit").AsString(), "01:10:12");
  q.Next();
  q.Next();
  EXPECT_EQ(q.FieldByName("Alpha").AsString(), "Zweite Zeile");
  EXPECT_TRUE(q.FieldByName("Logisch").AsBoolean());
  EXPECT_EQ(q.FieldByName("Logisch").Value(), TVariant(true));
  EXPECT_EQ(q.FieldByName("Integer kurz").AsInteger(), -40);
  EXPECT_EQ(q.FieldByName("BCD").AsString(), "-40.000000");
}

TEST(Query, CursorMovesLikeTheLegacyDataset) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  TParadoxQuery q;
  q.SetDatabaseName(Samples("paradoxdriver/fields"));
  q.SetSQL("SELECT * FROM long");
  EXPECT_NE(ErrorOf([&] { q.Next(); }), "") << "a closed dataset refuses to move";
  EXPECT_NE(ErrorOf([&] { q.RecordCount(); }), "");
  q.SetActive(true);
  EXPECT_TRUE(q.Active());
  EXPECT_TRUE(q.Bof());
  EXPECT_EQ(q.RecordCount(), 3);
  std::vector<std::string> seen;
  for (; !q.Eof(); q.Next()) seen.push_back(q.Fields(0).AsString());
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_FALSE(q.Bof());
  EXPECT_EQ(q.RecNo(), 3);
  EXPECT_EQ(q.Fields(0).AsString(), seen.back()) << "the last row stays current at the end";
  q.Next();
  EXPECT_TRUE(q.Eof());
  q.First();
  EXPECT_FALSE(q.Eof());
  EXPECT_EQ(q.Fields(0).AsString(), seen.front());
  // A new statement closes the query; the fields go with it.
  q.SetSQL("SELECT * FROM time");
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.FieldCount(), 0);
  q.Open();
  EXPECT_EQ(q.FieldCount(), 1);
  q.Close();
  EXPECT_FALSE(q.Active());
}

TEST(Query, RealTablesThatBreakEasyAssumptions) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  struct Case {
    const char* Dir;
    const char* Table;
    int64_t Rows;
    const char* Why;
  } cases[] = {
      {"paradoxdriver/areas", "STATES", 53, "keyed, without its .PX"},
      {"paradoxdriver/mtdemo", "AMOUNT", 50, "Paradox 3.0: header of 0x167 bytes, unaligned"},
      {"kippdx2sqlite", "B00005", 0, "empty data block with a negative record offset"},
      {"python-pxlib", "KOMMENT", 59, "chain 1-20-21-..., not in file order"},
      {"paradoxdriver/areas", "ZIPCODES", 43185, "last block shorter than a block on disk"},
      {"paradoxreader-java", "MEMBRE", 6, "92 fields, 16 KiB blocks, 0x1000 header"},
  };
  for (const auto& c : cases) {
    TParadoxQuery q;
    q.SetDatabaseName(Samples(c.Dir));
    q.SetSQL(std::string("SELECT * FROM ") + c.Table);
    q.Open();
    int64_t n = 0;
    for (; !q.Eof(); q.Next()) ++n;
    EXPECT_EQ(n, c.Rows) << c.Table << ": " << c.Why;
    EXPECT_EQ(q.RecordCount(), c.Rows) << c.Table;
    EXPECT_TRUE(q.Warnings().empty()) << c.Table;
  }
}

TEST(Query, CodePageOverridePerTable) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  TParadoxQuery q;
  q.SetDatabaseName(Samples("pyparadox"));
  q.SetSQL("SELECT * FROM test");
  q.Open();
  EXPECT_EQ(q.FieldByName("Name").AsString(), "Âíåøíèé ìèð") << "the header says 1252";
  q.SetTableCodePage("TEST", 1251);
  EXPECT_EQ(q.TableCodePage("test"), 1251);
  q.Close();
  q.Open();
  EXPECT_EQ(q.FieldByName("Name").AsString(), "Внешний мир");
  EXPECT_EQ(q.TableFile()->CodePage(), 1251);
  q.SetTableCodePage("test", 0);
  q.Close();
  q.Open();
  EXPECT_EQ(q.TableFile()->CodePage(), 1252);

  q.SetTableCodePage("test", 4711);
  q.Close();
  const std::string msg = ErrorOf([&] { q.Open(); });
  EXPECT_NE(msg.find("4711"), std::string::npos) << msg;
  EXPECT_NE(msg.find("test.db"), std::string::npos) << msg;
}

TEST(Query, BlobValuesWholeAndWithTheirPrefix) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  TParadoxQuery q;
  q.SetDatabaseName(Samples("paradoxdriver/fields"));
  q.SetSQL("SELECT * FROM graphic");
  q.Open();
  TParadoxField& g = q.FieldByName("Graphic");
  const std::vector<uint8_t> v = g.AsBytes();
  ASSERT_GT(v.size(), 8u);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[3], 1);
  EXPECT_EQ(v[8], 'B');
  EXPECT_EQ(v[9], 'M');
  const uint32_t len = v[4] | (v[5] << 8) | (v[6] << 16) | (static_cast<uint32_t>(v[7]) << 24);
  EXPECT_EQ(len, v.size() - 8);
  EXPECT_EQ(g.Value().Type(), TVarType::Bytes);
}

}  // namespace
}  // namespace dk
