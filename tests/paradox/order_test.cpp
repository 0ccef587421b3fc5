// Rows in the order of chosen fields: a table written (by pxlib) in no order
// reads back sorted, the same whether the records fit in the sort's memory
// or go through its temporary file in many runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <tuple>

#include "error_text.h"
#include "paradox/query.h"
#include "paradox/statement.h"
#include "px_writer.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

struct TWordRow {
  std::optional<int> WordId;  // NULL sorts first
  int DocId = 0;
  std::string Word;
  int Written = 0;  // the place in the table
};

using test::ErrorOf;

class OrderBy : public ::testing::Test {
 protected:
  // 3,000 rows in random order, in many blocks: repeated keys (to show that
  // equal keys keep the table's order), negative numbers and blank keys.
  void SetUp() override {
    std::mt19937 random(7);
    for (int i = 0; i < 3000; ++i) {
      TWordRow row;
      const int draw = static_cast<int>(random() % 400);
      if (draw != 0) row.WordId = draw - 150;
      row.DocId = static_cast<int>(random() % 50) - 10;
      row.Word = "w" + std::to_string(random() % 1000);
      row.Written = i;
      FRows.push_back(row);
    }
    TPxTableWriter w((fs::path(FDir.Path()) / "WORDS.DB").string(),
                     {{"WORDID", 'I', 0}, {"DOCID", 'I', 0}, {"WORD", 'A', 12}, {"NOTE", 'M', 10}});
    for (const TWordRow& row : FRows) {
      if (row.WordId) w.SetInteger(0, *row.WordId);
      w.SetInteger(1, row.DocId);
      w.SetText(2, row.Word);
      w.SetText(3, "Notiz " + std::to_string(row.Written) + " " + std::string(20, 'x'));
      w.Post();
    }
  }

  // The rows of the statement as (WORDID or -1000 for blank, DOCID, place).
  std::vector<TWordRow> Read(TParadoxQuery& q) {
    std::vector<TWordRow> rows;
    for (; !q.Eof(); q.Next()) {
      TWordRow row;
      if (!q.FieldByName("WORDID").IsNull()) row.WordId = q.FieldByName("WORDID").AsInteger();
      row.DocId = q.FieldByName("DOCID").AsInteger();
      row.Word = q.FieldByName("WORD").AsString();
      // The memo is read from the .MB through the sorted record's pointer.
      const std::string note = q.FieldByName("NOTE").AsString();
      row.Written = std::stoi(note.substr(6));
      EXPECT_EQ(q.RecNo(), static_cast<int64_t>(rows.size()) + 1);
      rows.push_back(row);
    }
    return rows;
  }

  static std::vector<int> Places(const std::vector<TWordRow>& rows) {
    std::vector<int> places;
    for (const TWordRow& row : rows) places.push_back(row.Written);
    return places;
  }

  test::TTempDir FDir;
  std::vector<TWordRow> FRows;
};

TEST_F(OrderBy, RowsComeInKeyOrderInMemoryAndThroughSpilledRuns) {
  std::vector<TWordRow> byKey = FRows;
  std::stable_sort(byKey.begin(), byKey.end(), [](const TWordRow& a, const TWordRow& b) {
    return std::make_tuple(a.WordId.has_value(), a.WordId.value_or(0), a.DocId) <
           std::make_tuple(b.WordId.has_value(), b.WordId.value_or(0), b.DocId);
  });
  std::vector<TWordRow> byDoc = FRows;
  std::stable_sort(byDoc.begin(), byDoc.end(),
                   [](const TWordRow& a, const TWordRow& b) { return a.DocId < b.DocId; });

  test::TTempDir spill;
  const test::TScopedEnv tmp("TMPDIR", spill.Path());
  struct TCase {
    size_t Memory;
    bool Spills;
  } cases[] = {{size_t{32} << 20, false}, {4096, true}, {64, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Memory);
    TParadoxQuery q;
    q.SetDatabaseName(FDir.Path());
    q.SetSortMemory(c.Memory);
    // The key at the record's start, and a key that is not.
    q.SetSQL("select * from words order by WORDID, docid;");
    q.Open();
    EXPECT_EQ(q.SpilledRuns() > 1, c.Spills) << q.SpilledRuns();
    EXPECT_EQ(q.RecordCount(), 3000);
    EXPECT_EQ(Places(Read(q)), Places(byKey));
    // After the end the last row stays current; First starts over.
    EXPECT_EQ(q.FieldByName("DOCID").AsInteger(), byKey.back().DocId);
    q.First();
    EXPECT_EQ(Places(Read(q)), Places(byKey));

    q.SetSQL("SELECT * FROM WORDS ORDER BY DOCID");
    q.Open();
    EXPECT_EQ(Places(Read(q)), Places(byDoc));
    // The temporary file is gone as soon as it is made.
    EXPECT_TRUE(fs::is_empty(spill.Path()));
  }
}

TEST_F(OrderBy, FaultsNameTheTableAndTheCause) {
  TParadoxQuery q;
  q.SetDatabaseName(FDir.Path());
  const std::string table = (fs::path(FDir.Path()) / "WORDS.DB").string();
  struct TCase {
    const char* Sql;
    const char* Fault;
  } cases[] = {
      {"SELECT * FROM WORDS ORDER BY WORDNO", "Feld \"WORDNO\" nicht gefunden"},
      {"SELECT * FROM WORDS ORDER BY NOTE", "Feld \"NOTE\" kann nicht sortiert werden"},
  };
  for (const TCase& c : cases) {
    q.SetSQL(c.Sql);
    const std::string msg = ErrorOf([&] { q.Open(); });
    EXPECT_NE(msg.find(table), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.Fault), std::string::npos) << msg;
    EXPECT_FALSE(q.Active());
  }
  // A temporary directory that cannot take the file, once the rows spill.
  const test::TScopedEnv tmp("TMPDIR", FDir.Path() + "/missing");
  q.SetSortMemory(1024);
  q.SetSQL("SELECT * FROM WORDS ORDER BY WORDID");
  const std::string msg = ErrorOf([&] { q.Open(); });
  EXPECT_NE(msg.find(table), std::string::npos) << msg;
  EXPECT_NE(msg.find(FDir.Path() + "/missing/"), std::string::npos) << msg;
  EXPECT_NE(msg.find("kann nicht angelegt werden"), std::string::npos) << msg;
  EXPECT_FALSE(q.Active());
}

TEST(OrderByStatement, FieldListsAndWhatIsRefused) {
  const TParadoxStatement st =
      ParseParadoxStatement(" select * from FTIWID order by WORDID ,DocId ; ");
  EXPECT_EQ(st.Kind, TParadoxStatement::skSelectAll);
  EXPECT_EQ(st.Table, "FTIWID");
  EXPECT_EQ(st.OrderBy, (std::vector<std::string>{"WORDID", "DocId"}));
  EXPECT_TRUE(ParseParadoxStatement("SELECT * FROM T").OrderBy.empty());
  for (const char* sql :
       {"SELECT * FROM T ORDER BY", "SELECT * FROM T ORDER A", "SELECT * FROM T ORDER BY A,",
        "SELECT * FROM T ORDER BY A B", "SELECT * FROM T ORDER BY ,A",
        "SELECT * FROM T ORDER BY T.A", "SELECT * FROM T ORDER BY A DESC", "SELECT * FROM T BY A",
        "SELECT COUNT(*) AS FRECORDCOUNT FROM T ORDER BY A"}) {
    EXPECT_NE(ErrorOf([&] { ParseParadoxStatement(sql); }), "") << "accepted: " << sql;
  }
}

}  // namespace
}  // namespace dk
