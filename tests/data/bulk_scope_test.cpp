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
  q.SetSQLText("SELECT group_concat(ID, ',') AS L FROM (SELECT ID FROM T ORDER BY ID)");
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

}  // namespace
}  // namespace dk::test
