#include <gtest/gtest.h>

#include "data/dataset.h"
#include "data/query.h"
#include "data/table.h"
#include "data_fixture.h"

namespace dk::test {
namespace {

class MasterDetailTest : public TDataTest {
 protected:
  void SetUp() override {
    TDataTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const TProviderContext& c = Ctx();
    Conn.Execute("CREATE TABLE APPL (APPLNAME " + c.Text(100) + " PRIMARY KEY, DOCTYPE " +
                 c.Text(1) + ")");
    Conn.Execute("CREATE TABLE APPLCMD (APPLNAME " + c.Text(100) + ", CMDNAME " + c.Text(50) +
                 ", VISIBLE " + c.Text(1) +
                 ", "
                 "PRIMARY KEY (APPLNAME, CMDNAME))");
    Conn.Execute("INSERT INTO APPL VALUES ('Brief', 'D'), ('Notiz', 'O'), ('Web', 'W')");
    Conn.Execute(
        "INSERT INTO APPLCMD VALUES ('Brief', 'new', 'T'), ('Brief', 'open', 'T'), "
        "('Notiz', 'open', 'F')");
    Appl.SetConnection(&Conn);
    Appl.SetTableName("APPL");
    Source.SetDataSet(&Appl);
    Cmd.SetConnection(&Conn);
    Cmd.SetTableName("APPLCMD");
    Cmd.SetMasterSource(&Source);
    Cmd.SetMasterFields("APPLNAME");
    Appl.Open();
    Cmd.Open();
  }

  std::vector<std::string> Commands() {
    std::vector<std::string> names;
    for (Cmd.First(); !Cmd.Eof(); Cmd.Next())
      names.push_back(Cmd.FieldByName("CMDNAME").AsString());
    return names;
  }

  TTable Appl;
  TDataSource Source;
  TTable Cmd;
};

DK_TEST_WITH_EVERY_PROVIDER(MasterDetailTest);

using Names = std::vector<std::string>;

TEST_P(MasterDetailTest, DetailFollowsTheMasterRow) {
  EXPECT_EQ(Commands(), (Names{"new", "open"}));
  Appl.Next();
  EXPECT_EQ(Commands(), (Names{"open"}));
  Appl.Next();
  EXPECT_TRUE(Cmd.IsEmpty());
  ASSERT_TRUE(Appl.Locate("APPLNAME", "brief", loCaseInsensitive));
  EXPECT_EQ(Cmd.RecordCount(), 2);
}

TEST_P(MasterDetailTest, AppendedDetailRowsReceiveTheMasterValue) {
  Appl.Last();  // Web
  Cmd.Append();
  EXPECT_EQ(Cmd.FieldByName("APPLNAME").AsString(), "Web");
  EXPECT_FALSE(Cmd.Modified());
  Cmd.FieldByName("CMDNAME").SetAsString("print");
  Cmd.Post();
  EXPECT_EQ(Commands(), (Names{"print"}));

  // A new master row: its details appear once its name is set.
  Appl.Append();
  EXPECT_TRUE(Cmd.IsEmpty());
  Appl.FieldByName("APPLNAME").SetAsString("Notiz");
  EXPECT_EQ(Commands(), (Names{"open"}));
  Appl.FieldByName("APPLNAME").SetAsString("Mail");
  Appl.Post();
  Cmd.Append();
  Cmd.FieldByName("CMDNAME").SetAsString("new");
  Cmd.Post();
  TQuery q;
  q.SetConnection(&Conn);
  q.SetSQLText("SELECT COUNT(*) AS N FROM APPLCMD WHERE APPLNAME = 'Mail'");
  q.Open();
  EXPECT_EQ(q.FieldByName("N").AsInteger(), 1);
}

TEST_P(MasterDetailTest, MovingTheMasterPostsTheDetailFirst) {
  Cmd.Edit();
  Cmd.FieldByName("VISIBLE").SetAsBoolean(false);
  Appl.Next();
  Appl.First();
  ASSERT_TRUE(Cmd.Locate("CMDNAME", "new"));
  EXPECT_FALSE(Cmd.FieldByName("VISIBLE").AsBoolean());
}

TEST_P(MasterDetailTest, DetailQueryBindsParametersNamedAfterMasterColumns) {
  TQuery detail;
  detail.SetConnection(&Conn);
  detail.SetSQLText("SELECT * FROM APPLCMD WHERE APPLNAME = :APPLNAME ORDER BY CMDNAME DESC");
  detail.SetMasterSource(&Source);
  detail.Open();
  EXPECT_EQ(detail.FieldByName("CMDNAME").AsString(), "open");
  Appl.Next();
  EXPECT_EQ(detail.RecordCount(), 1);
  detail.Append();
  EXPECT_EQ(detail.FieldByName("APPLNAME").AsString(), "Notiz");
  detail.Cancel();
  int changes = 0;
  Source.OnDataChange = [&](TDataSource&) { ++changes; };
  Appl.Next();
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(detail.IsEmpty());
}

}  // namespace
}  // namespace dk::test
