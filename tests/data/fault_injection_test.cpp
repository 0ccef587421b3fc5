// The layer's failure paths, driven by the fault-injecting provider over a
// real SQLite file: the savepoint of a server-like engine, a batch the engine
// dropped, a commit refused for now or for good, the cap on post retries, a
// failing open and a lost connection. Whatever fails, no row reported as
// written is lost without an error, and every other row is kept.
#include <gtest/gtest.h>

#include <string>

#include "data/bulk_scope.h"
#include "data/connection.h"
#include "data/dataset.h"
#include "data/errors.h"
#include "data/query.h"
#include "support/fault_provider.h"
#include "support/temp_dir.h"

namespace dk::test {
namespace {

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterFaultProvider();
    FaultPlan().Clear();
    FFile = FDir / "fault.db";
    TConnection setup;
    setup.SetConnectionString("Provider=SQLite;Data Source=" + FFile);
    setup.CreateDatabase();
    setup.Execute("CREATE TABLE T (ID INTEGER PRIMARY KEY, V TEXT(10))");
    setup.Close();
    Conn.SetConnectionString("Provider=Fault;Inner Provider=SQLite;Data Source=" + FFile);
    Conn.SetCommandTimeout(1);
    Conn.Open();
    Target.SetConnection(&Conn);
    Target.SetSQLText("SELECT * FROM T");
    Target.Open();
  }
  void TearDown() override { FaultPlan().Clear(); }

  // Appends one row as the table copy does; a failure cancels only it.
  bool Copy(int id, std::string* error = nullptr) {
    try {
      Target.Append();
      Target.FieldByName("ID").SetAsInteger(id);
      Target.FieldByName("V").SetAsString("row");
      Target.Post();
      return true;
    } catch (const EDatabaseError& e) {
      if (error) *error = e.what();
      if (const auto* lost = dynamic_cast<const EBatchLost*>(&e)) LostRows = lost->LostRows();
      if (Target.State() != dsBrowse) Target.Cancel();
      return false;
    }
  }

  // The rows on disk, read by a connection of its own.
  int Stored() {
    TConnection reader;
    reader.SetConnectionString("Provider=SQLite;Data Source=" + FFile);
    reader.Open();
    TQuery q;
    q.SetConnection(&reader);
    q.SetSQLText("SELECT COUNT(*) AS N FROM T");
    q.Open();
    return q.FieldByName("N").AsInteger();
  }

  int LostRows = -1;  // of the last EBatchLost a copy met
  TTempDir FDir;
  std::string FFile;
  TConnection Conn;
  TQuery Target;
};

// A server engine spoils the whole transaction at a failing statement; the
// layer's savepoint around each write keeps the rows before and after it.
TEST_F(FaultInjectionTest, ServerLikeEngineKeepsTheOtherRowsThroughTheSavepoint) {
  FaultPlan().SetServerLike(true);
  FaultPlan().Add({TFaultPoint::Step, TFaultKind::Constraint, "INSERT", 4, 1});
  int posted = 0;
  {
    TBulkScope scope(Conn, 100);
    for (int id = 1; id <= 10; ++id) posted += Copy(id);
    scope.Finish();
  }
  EXPECT_EQ(FaultPlan().Injected(), 1);
  EXPECT_EQ(posted, 9);
  EXPECT_EQ(Stored(), 9);
}

// A full disk or an I/O error makes the engine drop the open batch: the rows
// posted in it before are named as lost, the rows committed before stay, and
// the copy goes on with a new batch.
TEST_F(FaultInjectionTest, ADroppedBatchIsReportedWithItsRows) {
  for (TFaultKind kind : {TFaultKind::Full, TFaultKind::IoError}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Conn.Execute("DELETE FROM T");
    Target.Close();
    Target.Open();
    FaultPlan().Clear();
    FaultPlan().Add({TFaultPoint::Step, kind, "INSERT", 7, 1});
    std::string error;
    int posted = 0;
    {
      TBulkScope scope(Conn, 5);
      for (int id = 1; id <= 12; ++id) {
        std::string e;
        posted += Copy(id, &e);
        if (!e.empty()) error = e;
      }
      scope.Finish();
    }
    // Rows 1-5 were committed; 6 and 7 sat in the dropped batch with 8.
    EXPECT_NE(error.find("2 bereits gespeicherte Datensätze"), std::string::npos) << error;
    EXPECT_EQ(LostRows, 2);
    EXPECT_EQ(posted, 11);
    EXPECT_EQ(Stored(), 9);
  }
}

// A commit the database refuses for now (another program reads) keeps the
// batch open; the next commit takes every row.
TEST_F(FaultInjectionTest, ACommitRefusedForNowKeepsTheBatch) {
  FaultPlan().Add({TFaultPoint::Commit, TFaultKind::Busy, {}, 0, 2});
  int posted = 0;
  {
    TBulkScope scope(Conn, 3);
    for (int id = 1; id <= 10; ++id) posted += Copy(id);
    scope.Finish();
  }
  EXPECT_EQ(FaultPlan().Injected(), 2);
  EXPECT_EQ(Conn.Errors().at(0).NativeError, 5);
  EXPECT_EQ(posted, 10);
  EXPECT_EQ(Stored(), 10);
}

// Refused for good: Finish says so, and the rows are committed when the
// connection closes once the database is free again.
TEST_F(FaultInjectionTest, ACommitRefusedForGoodIsRaisedAndTheRowsFollowAtClose) {
  FaultPlan().Add({TFaultPoint::Commit, TFaultKind::Busy, {}, 0, -1});
  {
    TBulkScope scope(Conn, 100);
    for (int id = 1; id <= 4; ++id) EXPECT_TRUE(Copy(id));
    EXPECT_THROW(scope.Finish(), EDatabaseError);
  }
  EXPECT_EQ(Stored(), 0);
  FaultPlan().Clear();
  Target.Close();
  Conn.Close();
  EXPECT_EQ(Stored(), 4);
}

// Locked for good: a full batch tries to commit at every further row; after
// the third refusal in a row it is given up as lost rows, named with their
// number, instead of growing for ever. The rows after it start a new batch.
TEST_F(FaultInjectionTest, ADatabaseLockedForGoodEndsTheBatchAsLostRows) {
  FaultPlan().Add({TFaultPoint::Commit, TFaultKind::Busy, {}, 0, -1});
  std::string error;
  int posted = 0;
  {
    TBulkScope scope(Conn, 3);
    for (int id = 1; id <= 7; ++id) {
      std::string e;
      posted += Copy(id, &e);
      if (!e.empty()) error = e;
    }
    EXPECT_THROW(scope.Finish(), EDatabaseError);
  }
  // Refused at rows 3, 4 and 5, then once more at the end of the scope.
  EXPECT_EQ(FaultPlan().Injected(), kMaxRefusedBatchCommits + 1);
  EXPECT_EQ(LostRows, 5);
  EXPECT_NE(error.find("5 bereits gespeicherte Datensätze"), std::string::npos) << error;
  EXPECT_EQ(posted, 6);
  FaultPlan().Clear();
  Target.Close();
  Conn.Close();
  EXPECT_EQ(Stored(), 2);
}

// A post-error handler that always answers "retry" is stopped after the cap.
TEST_F(FaultInjectionTest, RetriesOfAFailingPostAreCapped) {
  FaultPlan().Add({TFaultPoint::Step, TFaultKind::Busy, "INSERT", 0, -1});
  int asked = 0;
  Target.OnPostError = [&](TDataSet&, EDatabaseError&, TDataAction& action) {
    ++asked;
    action = daRetry;
  };
  Target.Append();
  Target.FieldByName("ID").SetAsInteger(1);
  EXPECT_THROW(Target.Post(), EDatabaseError);
  EXPECT_EQ(asked, kMaxPostRetries + 1);
  EXPECT_EQ(FaultPlan().Injected(), kMaxPostRetries + 1);
  EXPECT_EQ(Target.State(), dsInsert);
  Target.Cancel();
}

TEST_F(FaultInjectionTest, AFailingOpenLeavesTheConnectionClosed) {
  Target.Close();
  Conn.Close();
  FaultPlan().Add({TFaultPoint::Open, TFaultKind::IoError, {}, 0, 1});
  EXPECT_THROW(Conn.Open(), EDatabaseError);
  EXPECT_FALSE(Conn.Connected());
  Conn.Open();
  EXPECT_TRUE(Conn.Connected());
}

// A lost connection: what was committed stays, the open batch is reported
// lost, and every further write fails with the same clear error.
TEST_F(FaultInjectionTest, ALostConnectionKeepsTheCommittedRows) {
  FaultPlan().Add({TFaultPoint::Step, TFaultKind::LostConnection, "INSERT", 6, 1});
  std::string first, later;
  {
    TBulkScope scope(Conn, 4);
    for (int id = 1; id <= 9; ++id) {
      std::string e;
      Copy(id, &e);
      if (!e.empty()) (first.empty() ? first : later) = e;
    }
  }
  // Rows 1-4 were committed; 5 and 6 sat in the batch the loss took.
  EXPECT_EQ(LostRows, 2);
  EXPECT_NE(first.find("2 bereits gespeicherte Datensätze"), std::string::npos) << first;
  EXPECT_NE(later.find("Verbindung zum Server verloren"), std::string::npos) << later;
  EXPECT_EQ(Stored(), 4);
}

}  // namespace
}  // namespace dk::test
