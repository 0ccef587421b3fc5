#include "data/bulk_scope.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "data/query.h"
#include "data/table.h"
#include "data_fixture.h"

namespace dk::test {
namespace {

class BulkScopeTest : public TDataTest {
 protected:
  void SetUp() override {
    TDataTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Conn.Execute("CREATE TABLE T (ID INTEGER PRIMARY KEY, V " + Ctx().Text(10) + ")");
    Other = OtherConnection();
    Target.SetConnection(&Conn);
    Target.SetSQLText("SELECT * FROM T");
    Target.Open();
  }

  // The rows another program sees.
  int Visible() {
    TQuery q;
    q.SetConnection(Other.get());
    q.SetSQLText("SELECT COUNT(*) AS N FROM T");
    q.Open();
    return q.FieldByName("N").AsInteger();
  }

  // Appends and posts one row as the table copy does: a failure cancels the
  // row and the copy goes on.
  bool Copy(int id) {
    try {
      Target.Append();
      Target.FieldByName("ID").SetAsInteger(id);
      Target.FieldByName("V").SetAsString("row");
      Target.Post();
      return true;
    } catch (const EDatabaseError&) {
      if (Target.State() != dsBrowse) Target.Cancel();
      return false;
    }
  }

  std::unique_ptr<TConnection> Other;
  TQuery Target;
};

DK_TEST_WITH_EVERY_PROVIDER(BulkScopeTest);

TEST_P(BulkScopeTest, AFailingRowKeepsEveryOtherRow) {
  int posted = 0;
  {
    TBulkScope scope(Conn, 4);
    for (int id : {1, 2, 3, 2, 4, 5, 6, 5, 7, 8}) posted += Copy(id);
    EXPECT_EQ(Conn.Errors().at(0).NativeError, kDuplicateKeyError);
  }
  EXPECT_EQ(posted, 8);
  EXPECT_EQ(Visible(), 8);
}

// A server engine sends the rows of a batch together; a row that fails there
// is reported later, by tag. Either way each failing row fails alone, in row
// order, the first of two equal keys wins, and the connection's own reads see
// every row written before them.
TEST_P(BulkScopeTest, RowsSentTogetherReportEachFailingRowByItsTag) {
  std::vector<std::string> failed;
  Conn.SetDeferredFailureHandler([&](const std::string& tag, const EDatabaseError&) {
    failed.push_back(tag);
    return true;
  });
  std::vector<std::pair<int, std::string>> rows;
  for (int id = 1; id <= 20000; ++id) {
    rows.emplace_back(id, "row");
    // Repeated keys: one right after its first, others thousands of rows
    // later, in another group of rows sent together.
    if (id == 7) rows.emplace_back(7, "second");
    if (id == 12000) rows.emplace_back(5, "second");
    if (id == 19990) rows.emplace_back(19000, "second");
  }
  int counted = 0;
  {
    TBulkScope scope(Conn, kBulkCommitAtEnd);
    EXPECT_EQ(Conn.DefersWrites(), Can().WritesSentTogether);
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto& [id, value] = rows[i];
      const std::string tag = std::to_string(id) + "/" + value;
      Conn.SetWriteTag(tag);
      try {
        Target.Append();
        Target.FieldByName("ID").SetAsInteger(id);
        Target.FieldByName("V").SetAsString(value);
        Target.Post();
        ++counted;
      } catch (const EDatabaseError&) {
        Target.Cancel();
        failed.push_back(tag);
      }
      if (i == 100) {
        TQuery count;
        count.SetConnection(&Conn);
        count.SetSQLText("SELECT COUNT(*) AS N FROM T");
        count.Open();
        EXPECT_EQ(count.FieldByName("N").AsInteger(), 100);  // one of the 101 failed
      }
    }
    scope.Finish();
  }
  Conn.SetDeferredFailureHandler(nullptr);
  EXPECT_EQ(failed, (std::vector<std::string>{"7/second", "5/second", "19000/second"}));
  EXPECT_EQ(Conn.Errors().at(0).NativeError, kDuplicateKeyError);
  EXPECT_EQ(Visible(), 20000);
  EXPECT_EQ(counted - (Can().WritesSentTogether ? 3 : 0), 20000);
  TQuery kept;
  kept.SetConnection(Other.get());
  kept.SetSQLText("SELECT COUNT(*) AS N FROM T WHERE V = 'second'");
  kept.Open();
  EXPECT_EQ(kept.FieldByName("N").AsInteger(), 0);
}

// Other writes a query leaves to the engine (SetDeferrable) travel together
// as well, and one that fails fails alone, in order: the second of two
// updates to the same unique value fails, whether they are a few rows or
// hundreds apart.
TEST_P(BulkScopeTest, UpdatesSentTogetherFailAloneInOrder) {
  Conn.Execute("CREATE TABLE U (ID INTEGER PRIMARY KEY, V " + Ctx().Text(10) + " UNIQUE)");
  for (int id = 1; id <= 600; id += 100) {
    std::string values;
    for (int k = id; k < id + 100; ++k)
      values += (k > id ? "," : "") + std::string("(") + std::to_string(k) + ",'a" +
                std::to_string(k) + "')";
    Conn.Execute("INSERT INTO U (ID, V) VALUES " + values);
  }
  std::vector<std::string> failed;
  Conn.SetDeferredFailureHandler([&](const std::string& tag, const EDatabaseError& e) {
    EXPECT_EQ(Conn.Errors().at(0).Description, e.what());
    failed.push_back(tag);
    return true;
  });
  TQuery update;
  update.SetConnection(&Conn);
  update.SetSQLText("UPDATE U SET V=:V WHERE ID=:ID");
  update.SetDeferrable(true);
  {
    TBulkScope scope(Conn, kBulkCommitAtEnd);
    for (int id = 1; id <= 600; ++id) {
      const std::string value = id == 2 || id == 500 ? "b1" : "b" + std::to_string(id);
      Conn.SetWriteTag(std::to_string(id));
      update.Parameters().ParamByName("V").Value = TVariant(value);
      update.Parameters().ParamByName("ID").Value = TVariant(id);
      try {
        update.ExecSQL();
      } catch (const EDatabaseError&) {
        failed.push_back(std::to_string(id));
      }
    }
    scope.Finish();
  }
  Conn.SetDeferredFailureHandler(nullptr);
  EXPECT_EQ(failed, (std::vector<std::string>{"2", "500"}));
  TQuery check;
  check.SetConnection(Other.get());
  check.SetSQLText("SELECT COUNT(*) AS N FROM U WHERE V LIKE 'b%'");
  check.Open();
  EXPECT_EQ(check.FieldByName("N").AsInteger(), 598);
}

TEST_P(BulkScopeTest, CommitsEveryFewRowsAndAtTheEnd) {
  {
    TBulkScope scope(Conn, 3);
    for (int id = 1; id <= 7; ++id) Copy(id);
    EXPECT_EQ(Visible(), 6);  // two batches committed, one row pending
    scope.Finish();
    EXPECT_EQ(Visible(), 7);
  }
  EXPECT_EQ(Visible(), 7);
}

TEST_P(BulkScopeTest, APolicyByTimeCommitsOnlyOnceItsTimeHasPassed) {
  // No row limit: however many rows, the batch waits for its time; the time
  // is looked at every 256 rows.
  TBulkScope scope(Conn, TBulkPolicy{0, std::chrono::seconds(1)});
  int id = 0;
  while (id < 300) Copy(++id);
  EXPECT_EQ(Visible(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  while (id < 511) Copy(++id);
  EXPECT_EQ(Visible(), 0);
  Copy(++id);  // the 256th row of the second count is the next look at the time
  EXPECT_EQ(Visible(), 512);
  Copy(++id);
  scope.Finish();
  EXPECT_EQ(Visible(), 513);
}

TEST_P(BulkScopeTest, ScopeLeftByAnExceptionCommitsWhatWasPosted) {
  try {
    TBulkScope scope(Conn, 1000);
    for (int id = 1; id <= 5; ++id) Copy(id);
    throw std::runtime_error("stage failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(Visible(), 5);
  EXPECT_FALSE(Conn.InTransaction());
}

TEST_P(BulkScopeTest, RowsBeforeAnExplicitTransactionSurviveItsRollback) {
  TBulkScope scope(Conn, 1000);
  Copy(1);
  Copy(2);
  Conn.BeginTrans();
  EXPECT_EQ(Visible(), 2);
  Copy(3);
  Conn.RollbackTrans();
  Copy(4);
  scope.Finish();
  TQuery q;
  q.SetConnection(Other.get());
  q.SetSQLText("SELECT " + Ctx().ListAggregate("ID") +
               " AS L FROM (SELECT ID FROM T ORDER BY ID) AS S");
  q.Open();
  EXPECT_EQ(q.FieldByName("L").AsString(), "1,2,4");
}

TEST_P(BulkScopeTest, ClosingTheConnectionCommitsAPendingBatch) {
  TBulkScope scope(Conn, 1000);
  Copy(1);
  Copy(2);
  Conn.Close();
  EXPECT_EQ(Visible(), 2);
}

// A large load may let the engine keep more of the file's pages in memory,
// for as long as the outermost scope lives; the memory is given back after.
TEST_P(BulkScopeTest, ThePageCacheOfALoadLastsAsLongAsItsScope) {
  const int64_t usual = Ctx().PageCacheBytes(Conn);
  if (usual < 0) GTEST_SKIP() << "no page cache limit per connection";
  constexpr size_t kLoad = size_t{8} << 20;
  {
    TBulkScope scope(Conn, TBulkPolicy{0, std::chrono::milliseconds(0), kLoad});
    EXPECT_EQ(Ctx().PageCacheBytes(Conn), static_cast<int64_t>(kLoad));
    EXPECT_TRUE(Copy(1));
    {
      // An inner scope follows the outer one's policy.
      TBulkScope inner(Conn, TBulkPolicy{0, std::chrono::milliseconds(0), 1 << 20});
      EXPECT_TRUE(Copy(2));
    }
    EXPECT_EQ(Ctx().PageCacheBytes(Conn), static_cast<int64_t>(kLoad));
    EXPECT_EQ(Visible(), 0);
  }
  EXPECT_EQ(Visible(), 2);
  EXPECT_EQ(Ctx().PageCacheBytes(Conn), usual);
}

// Another program reads the file while a batch grows past the engine's page
// cache. Writing changed pages to the file must wait for that reader; waiting
// the command time-out for every further page would stall the copy for hours.
// The batch's commit is tried at once instead, and refused often enough in a
// row, the batch is given up as lost rows: after a few time-outs, not one per
// page.
TEST_P(BulkScopeTest, ABatchHeldUpByAReaderIsGivenUpAfterAFewRefusedCommits) {
  if (!Can().ReadersHoldBackWriters) GTEST_SKIP() << "readers do not hold back writers here";
  Conn.Execute("CREATE TABLE R (A INTEGER PRIMARY KEY)");
  Conn.BeginTrans();
  for (int i = 0; i < 500; ++i) Conn.Execute("INSERT INTO R VALUES (" + std::to_string(i) + ")");
  Conn.CommitTrans();
  TQuery reader;
  reader.SetConnection(Other.get());
  reader.SetSQLText("SELECT A FROM R ORDER BY A");
  reader.Open();
  ASSERT_EQ(reader.MoveBy(99), 99);  // stands in a long result: holds a read lock

  TConnection impatient;
  impatient.SetConnectionString(Ctx().ConnectionString(FDir));
  impatient.SetCommandTimeout(1);
  impatient.Open();
  impatient.Execute("PRAGMA cache_size=20");
  const std::string text(1000, 'x');
  int written = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    TBulkScope scope(impatient, kBulkCommitAtEnd);
    for (; written < 20000; ++written)
      impatient.Execute("INSERT INTO T (ID, V) VALUES (" + std::to_string(written + 1) + ", '" +
                        text + "')");
    FAIL() << "the batch outgrew the page cache without being given up";
  } catch (const EBatchLost& e) {
    EXPECT_GT(e.LostRows(), 0);
  }
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 20.0) << written << " rows written";
  EXPECT_FALSE(impatient.InTransaction());
  reader.Close();
  EXPECT_EQ(Visible(), 0);
  // Once the reader has let go, the connection writes again.
  EXPECT_EQ(impatient.Execute("INSERT INTO T (ID, V) VALUES (1, 'a')"), 1);
  EXPECT_EQ(Visible(), 1);
}

}  // namespace
}  // namespace dk::test
