#include "data/dataset.h"

#include <gtest/gtest.h>

#include "data/query.h"
#include "data/table.h"
#include "data_fixture.h"

namespace dk::test {
namespace {

class DataSetTest : public TDataTest {
 protected:
  void SetUp() override {
    TDataTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Conn.Execute("CREATE TABLE PERSON (ID INTEGER PRIMARY KEY, NAME " + Ctx().Text(30) + ", CITY " +
                 Ctx().Text(30) + ", AGE INTEGER)");
    const char* rows[] = {"1,'Müller','Köln',40", "2,'Meier','Bonn',31", "3,'MÜLLER','Bonn',25",
                          "4,'Schmidt',NULL,52", "5,'Schulz','Köln',31"};
    for (const char* r : rows) Conn.Execute(std::string("INSERT INTO PERSON VALUES (") + r + ")");
  }

  std::unique_ptr<TTable> Table(const std::string& name) {
    auto t = std::make_unique<TTable>();
    t->SetConnection(&Conn);
    t->SetTableName(name);
    return t;
  }

  std::unique_ptr<TQuery> Query(const std::string& sql, TConnection* conn = nullptr) {
    auto q = std::make_unique<TQuery>();
    q->SetConnection(conn ? conn : &Conn);
    q->SetSQLText(sql);
    return q;
  }

  int Count(const std::string& where = "") {
    auto q = Query("SELECT COUNT(*) AS N FROM PERSON " + where);
    q->Open();
    return q->FieldByName("N").AsInteger();
  }

  // Records the order in which a dataset fires its hooks.
  void Record(TDataSet& ds, std::vector<std::string>& log) {
    auto hook = [&log](const char* name) {
      return [&log, name](TDataSet&) { log.push_back(name); };
    };
    ds.BeforeOpen = hook("BeforeOpen");
    ds.AfterOpen = hook("AfterOpen");
    ds.BeforeClose = hook("BeforeClose");
    ds.AfterClose = hook("AfterClose");
    ds.BeforeInsert = hook("BeforeInsert");
    ds.AfterInsert = hook("AfterInsert");
    ds.OnNewRecord = hook("OnNewRecord");
    ds.BeforeEdit = hook("BeforeEdit");
    ds.AfterEdit = hook("AfterEdit");
    ds.BeforePost = hook("BeforePost");
    ds.AfterPost = hook("AfterPost");
    ds.BeforeCancel = hook("BeforeCancel");
    ds.AfterCancel = hook("AfterCancel");
    ds.BeforeDelete = hook("BeforeDelete");
    ds.AfterDelete = hook("AfterDelete");
    ds.BeforeScroll = hook("BeforeScroll");
    ds.AfterScroll = hook("AfterScroll");
  }
};

DK_TEST_WITH_EVERY_PROVIDER(DataSetTest);

using Log = std::vector<std::string>;

TEST_P(DataSetTest, StatesAndHooksInOrder) {
  auto t = Table("PERSON");
  Log log;
  Record(*t, log);
  EXPECT_EQ(t->State(), dsInactive);
  t->Open();
  EXPECT_EQ(log, (Log{"BeforeOpen", "AfterOpen", "AfterScroll"}));
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1);

  log.clear();
  t->Append();
  EXPECT_EQ(log,
            (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}));
  EXPECT_EQ(t->State(), dsInsert);
  EXPECT_TRUE(t->FieldByName("NAME").IsNull());
  t->FieldByName("ID").SetAsInteger(6);
  t->FieldByName("NAME").SetAsString("Neu");

  log.clear();
  t->Post();
  EXPECT_EQ(log, (Log{"BeforePost", "AfterPost"}));
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "Neu");

  log.clear();
  t->Edit();
  EXPECT_EQ(log, (Log{"BeforeEdit", "AfterEdit"}));
  EXPECT_EQ(t->State(), dsEdit);
  t->FieldByName("NAME").SetAsString("Anders");
  log.clear();
  t->Cancel();
  EXPECT_EQ(log, (Log{"BeforeCancel", "AfterCancel"}));
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "Neu");

  log.clear();
  t->Delete();
  EXPECT_EQ(log, (Log{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
  EXPECT_EQ(Count("WHERE ID = 6"), 0);

  log.clear();
  t->Close();
  EXPECT_EQ(log, (Log{"BeforeClose", "AfterClose"}));
  EXPECT_EQ(t->State(), dsInactive);
}

TEST_P(DataSetTest, EditIsANoOpWhileEditingAndAppendsOnAnEmptyDataSet) {
  auto q = Query("SELECT * FROM PERSON WHERE ID = 99");
  Log log;
  q->Open();
  Record(*q, log);
  EXPECT_TRUE(q->IsEmpty());
  EXPECT_TRUE(q->Eof());
  q->Edit();
  EXPECT_EQ(q->State(), dsInsert);
  EXPECT_EQ(log.front(), "BeforeInsert");
  log.clear();
  q->Edit();
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(q->State(), dsInsert);
}

TEST_P(DataSetTest, RaisingInBeforePostWritesNothingAndKeepsTheState) {
  auto t = Table("PERSON");
  t->Open();
  t->BeforePost = [](TDataSet& ds) {
    if (ds.FieldByName("NAME").AsString().empty()) Abort();
  };
  t->Append();
  t->FieldByName("ID").SetAsInteger(7);
  EXPECT_THROW(t->Post(), EAbort);
  EXPECT_EQ(t->State(), dsInsert);
  EXPECT_EQ(Count("WHERE ID = 7"), 0);
  t->FieldByName("NAME").SetAsString("Sieben");
  t->Post();
  EXPECT_EQ(Count("WHERE ID = 7"), 1);

  // Handlers that cancel the row leave nothing to write.
  t->BeforePost = [](TDataSet& ds) { ds.Cancel(); };
  t->Edit();
  t->FieldByName("NAME").SetAsString("Acht");
  t->Post();
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(Count("WHERE NAME = 'Acht'"), 0);
  t->BeforePost = nullptr;
  t->OnPostError = [](TDataSet& ds, EDatabaseError&, TDataAction& action) {
    if (ds.State() != dsBrowse) ds.Cancel();
    action = daRetry;
  };
  t->Append();
  t->FieldByName("ID").SetAsInteger(1);
  EXPECT_THROW(t->Post(), EDatabaseError);
  EXPECT_EQ(t->State(), dsBrowse);
  t->BeforeScroll = [](TDataSet& ds) { ds.Close(); };
  EXPECT_THROW(t->Next(), EDatabaseError);
  EXPECT_FALSE(t->Active());
}

TEST_P(DataSetTest, RaisingInBeforeDeleteKeepsTheRow) {
  auto t = Table("PERSON");
  t->Open();
  t->BeforeDelete = [](TDataSet&) { Abort(); };
  EXPECT_THROW(t->Delete(), EAbort);
  EXPECT_EQ(Count(), 5);
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1);
  // A failing delete goes through its error handler.
  t->BeforeDelete = nullptr;
  auto other = OtherConnection();
  other->Execute("DELETE FROM PERSON WHERE ID = 1");
  int calls = 0;
  t->OnDeleteError = [&](TDataSet&, EDatabaseError&, TDataAction& action) {
    ++calls;
    action = daAbort;
  };
  EXPECT_THROW(t->Delete(), EAbort);
  EXPECT_EQ(calls, 1);
}

TEST_P(DataSetTest, FailingPostKeepsTheRowUntilCancel) {
  auto t = Table("PERSON");
  t->Open();
  t->Next();  // Meier is current
  t->Append();
  t->FieldByName("ID").SetAsInteger(3);  // taken
  t->FieldByName("NAME").SetAsString("Doppelt");
  EXPECT_THROW(t->Post(), EProviderError);
  EXPECT_EQ(t->State(), dsInsert);
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "Doppelt");
  EXPECT_EQ(Conn.Errors().at(0).NativeError, kDuplicateKeyError);
  // Moving on tries to post again and fails the same way.
  EXPECT_THROW(t->Next(), EProviderError);
  t->Cancel();
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "Meier");
  EXPECT_EQ(Count(), 5);

  // The same in edit state: the key 1 is taken.
  t->Edit();
  t->FieldByName("ID").SetAsInteger(1);
  EXPECT_THROW(t->Post(), EProviderError);
  EXPECT_EQ(t->State(), dsEdit);
  t->FieldByName("ID").SetAsInteger(20);
  t->Post();
  EXPECT_EQ(Count("WHERE ID = 20 AND NAME = 'Meier'"), 1);
}

TEST_P(DataSetTest, PostErrorHandlerCanRetryAbortOrFail) {
  auto t = Table("PERSON");
  t->Open();
  int calls = 0;
  t->OnPostError = [&](TDataSet& ds, EDatabaseError&, TDataAction& action) {
    ++calls;
    // The repair of the system's document post: take the next free number.
    ds.FieldByName("ID").SetAsInteger(100);
    action = daRetry;
  };
  t->Append();
  t->FieldByName("ID").SetAsInteger(2);
  t->FieldByName("NAME").SetAsString("Wiederholt");
  t->Post();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(Count("WHERE ID = 100 AND NAME = 'Wiederholt'"), 1);

  t->OnPostError = [](TDataSet&, EDatabaseError&, TDataAction& action) { action = daAbort; };
  t->Append();
  t->FieldByName("ID").SetAsInteger(1);
  EXPECT_THROW(t->Post(), EAbort);
  EXPECT_EQ(t->State(), dsInsert);
  t->Cancel();

  // A handler that always asks for a retry does not loop forever.
  calls = 0;
  t->OnPostError = [&](TDataSet&, EDatabaseError&, TDataAction& action) {
    ++calls;
    action = daRetry;
  };
  t->Append();
  t->FieldByName("ID").SetAsInteger(1);
  EXPECT_THROW(t->Post(), EProviderError);
  EXPECT_EQ(calls, kMaxPostRetries + 1);
}

TEST_P(DataSetTest, NavigatesWithoutReadingAhead) {
  auto q = Query("SELECT * FROM PERSON ORDER BY ID");
  q->Open();
  EXPECT_TRUE(q->Bof());
  EXPECT_FALSE(q->Eof());
  std::vector<int> ids;
  while (!q->Eof()) {
    ids.push_back(q->FieldByName("ID").AsInteger());
    q->Next();
  }
  EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 5);  // Eof stays on the last row
  EXPECT_EQ(q->RecNo(), 5);
  q->Prior();
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 4);
  q->First();
  EXPECT_EQ(q->RecNo(), 1);
  q->Prior();
  EXPECT_TRUE(q->Bof());
  EXPECT_EQ(q->MoveBy(3), 3);
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 4);
  EXPECT_EQ(q->MoveBy(-10), -3);
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 1);
  q->Last();
  EXPECT_TRUE(q->Eof());
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 5);
  EXPECT_EQ(q->RecordCount(), 5);
  Conn.Execute("DELETE FROM PERSON WHERE ID > 3");
  EXPECT_EQ(q->RecordCount(), 3);  // a write makes it count again
  q->First();
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 1);
}

TEST_P(DataSetTest, MovingWhileEditingPostsAModifiedRowAndCancelsAnUnmodifiedOne) {
  auto t = Table("PERSON");
  t->Open();
  t->Edit();
  t->FieldByName("AGE").SetAsInteger(41);
  t->Next();
  EXPECT_EQ(Count("WHERE ID = 1 AND AGE = 41"), 1);
  t->Append();
  t->Next();  // nothing assigned: no row
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(Count(), 5);
}

TEST_P(DataSetTest, LocateExactIgnoringCaseAndOnSeveralColumns) {
  auto t = Table("PERSON");
  t->Open();
  struct TCase {
    const char* fields;
    std::vector<TVariant> values;
    TLocateOptions options;
    int expectedId;  // 0: not found
  } cases[] = {
      {"NAME", {"MÜLLER"}, 0, 3},
      {"NAME", {"müller"}, 0, 0},
      {"NAME", {"müller"}, loCaseInsensitive, 1},
      {"name", {"Sch"}, loPartialKey, 4},
      {"NAME", {"sch"}, loPartialKey, 0},
      {"NAME", {"sch"}, loPartialKey | loCaseInsensitive, 4},
      {"CITY;AGE", {"Bonn", 25}, 0, 3},
      {"CITY;AGE", {"Köln", "31"}, 0, 5},  // a number given as text
      {"CITY", {TVariant()}, 0, 4},        // null finds null
      {"AGE", {31.0}, 0, 2},
      {"AGE", {"abc"}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fields) + " " + c.values[0].ToString());
    t->First();
    t->Next();  // Meier
    bool found = t->Locate(c.fields, c.values, c.options);
    EXPECT_EQ(found, c.expectedId != 0);
    // A failed locate leaves the current row where it was.
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), found ? c.expectedId : 2);
  }
  // The found row is current for editing and moving on.
  ASSERT_TRUE(t->Locate("ID", 4));
  EXPECT_EQ(t->RecNo(), 4);
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 5);
  EXPECT_THROW(t->Locate("NOSUCH", 1), EDatabaseError);
}

TEST_P(DataSetTest, LookupReturnsAValueWithoutMoving) {
  auto t = Table("PERSON");
  t->Open();
  t->Next();
  EXPECT_EQ(t->Lookup("NAME", "Schulz", "AGE"), TVariant(31));
  EXPECT_EQ(t->Lookup("CITY;AGE", std::vector<TVariant>{"Bonn", 25}, "NAME"), TVariant("MÜLLER"));
  EXPECT_TRUE(t->Lookup("NAME", "Niemand", "AGE").IsNull());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
}

TEST_P(DataSetTest, AutoIncrementColumnsAreFtAutoIncAndPlainIntegerKeysFtInteger) {
  Conn.Execute("CREATE TABLE A (ID " + Ctx().AutoIncrementKey() + ", V " + Ctx().Text(10) + ")");
  auto a = Table("A");
  a->Open();
  EXPECT_EQ(a->FieldByName("ID").DataType(), ftAutoInc);
  if (Can().AnyDeclaredType) {
    Conn.Execute("CREATE TABLE C (ID COUNTER, V TEXT(10))");
    auto c = Table("C");
    c->Open();
    EXPECT_EQ(c->FieldByName("ID").DataType(), ftAutoInc);
  }
  auto p = Table("PERSON");
  p->Open();
  EXPECT_EQ(p->FieldByName("ID").DataType(), ftInteger);

  // The engine's number shows in the posted row; where the engine numbers
  // an INTEGER key without a value, that row can be edited afterwards too.
  std::vector<TTable*> numbered{a.get()};
  if (Can().IntegerKeyNumbered) numbered.push_back(p.get());
  for (TTable* t : numbered) {
    t->Append();
    t->FieldByName(t == a.get() ? "V" : "NAME").SetAsString("x");
    t->Post();
    int id = t->FieldByName("ID").AsInteger();
    EXPECT_GT(id, 0);
    t->Edit();
    t->FieldByName(t == a.get() ? "V" : "NAME").SetAsString("y");
    t->Post();
  }
  if (Can().IntegerKeyNumbered) {
    EXPECT_EQ(Count("WHERE ID = 6 AND NAME = 'y'"), 1);
  }
}

TEST_P(DataSetTest, AKeyLeftNullForTheEngineShowsTheNumberItGot) {
  if (!Can().NullKeyNumbered) GTEST_SKIP() << "the engine refuses a null key";
  Conn.Execute("CREATE TABLE A (ID " + Ctx().AutoIncrementKey() + ", V " + Ctx().Text(10) + ")");
  auto t = Table("A");
  t->Open();
  for (const char* value : {"x", "y"}) {
    t->Append();
    t->FieldByName("ID").Clear();  // assigned, but null
    t->FieldByName("V").SetAsString(value);
    t->Post();
  }
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
  // The row is found again by that number.
  t->Edit();
  t->FieldByName("V").SetAsString("z");
  t->Post();
  t->Delete();
  auto q = Query("SELECT ID, V FROM A");
  q->Open();
  EXPECT_EQ(q->RecordCount(), 1);
  EXPECT_EQ(q->FieldByName("V").AsString(), "x");
}

TEST_P(DataSetTest, InsertNamesOnlyTheAssignedColumns) {
  Conn.Execute("CREATE TABLE D (ID INTEGER PRIMARY KEY, FILENAME " + Ctx().Text(50) +
               " DEFAULT '[automatisch]', STATE " + Ctx().Text(10) +
               " NOT NULL DEFAULT 'neu', NOTE " + Ctx().Text(20) + ")");
  auto t = Table("D");
  t->Open();
  t->Append();
  t->FieldByName("ID").SetAsInteger(1);
  t->FieldByName("NOTE").Clear();  // assigned null is written as null
  t->Post();
  auto q = Query("SELECT * FROM D");
  q->Open();
  EXPECT_EQ(q->FieldByName("FILENAME").AsString(), "[automatisch]");
  EXPECT_EQ(q->FieldByName("STATE").AsString(), "neu");
  EXPECT_TRUE(q->FieldByName("NOTE").IsNull());
  EXPECT_FALSE(t->FieldByName("STATE").Required());
}

TEST_P(DataSetTest, UpdateCriteriaDecidesWhetherAChangedRowIsFound) {
  Conn.Execute("CREATE TABLE IDENTNO (IDNAME " + Ctx().Text(20) +
               " PRIMARY KEY, NEXTID INTEGER, NOTE " + Ctx().Text(10) + ")");
  Conn.Execute("INSERT INTO IDENTNO VALUES ('DOCID', 5, 'a')");
  auto other = OtherConnection();
  auto t = Table("IDENTNO");
  t->Open();

  // Default: the original value of the changed column must still be there.
  t->Edit();
  t->FieldByName("NEXTID").SetAsInteger(6);
  other->Execute("UPDATE IDENTNO SET NEXTID = 9");
  try {
    t->Post();
    FAIL() << "a changed row was overwritten";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(),
                 "Row cannot be located for updating. Some values may have been changed since it "
                 "was last read.");
  }
  EXPECT_EQ(t->State(), dsEdit);
  t->Cancel();
  EXPECT_EQ(t->RecordsetProperty("Update Criteria"), TVariant(2));

  // A change of another column does not stand in the way.
  t->Requery();
  t->Edit();
  t->FieldByName("NEXTID").SetAsInteger(10);
  other->Execute("UPDATE IDENTNO SET NOTE = 'b'");
  t->Post();

  // Key only: the last writer wins.
  t->Requery();
  t->SetRecordsetProperty("Update Criteria", 0);
  t->Edit();
  t->FieldByName("NEXTID").SetAsInteger(11);
  other->Execute("UPDATE IDENTNO SET NEXTID = 50");
  t->Post();
  TQuery q;
  q.SetConnection(other.get());
  q.SetSQLText("SELECT NEXTID, NOTE FROM IDENTNO");
  q.Open();
  EXPECT_EQ(q.FieldByName("NEXTID").AsInteger(), 11);
  EXPECT_EQ(q.FieldByName("NOTE").AsString(), "b");

  // A row deleted by someone else cannot be updated or deleted, whatever
  // the criteria.
  other->Execute("DELETE FROM IDENTNO");
  t->Edit();
  t->FieldByName("NEXTID").SetAsInteger(12);
  EXPECT_THROW(t->Post(), EDatabaseError);
  t->Cancel();
  EXPECT_THROW(t->Delete(), EDatabaseError);
  EXPECT_THROW(t->SetRecordsetProperty("No Such Property", 1), EDatabaseError);
}

TEST_P(DataSetTest, RowsOfATableWithoutKeyAreFoundByTheirRowId) {
  if (!Can().RowId) GTEST_SKIP() << "no row identity";
  Conn.Execute("CREATE TABLE LOG (TXT " + Ctx().Text(10) + ", N INTEGER)");
  for (int i = 0; i < 3; ++i) Conn.Execute("INSERT INTO LOG VALUES ('same', 1)");
  auto q = Query("SELECT TXT, N FROM LOG WHERE N = 1");
  q->Open();
  EXPECT_EQ(q->FieldCount(), 2);  // the row identity is no field
  q->Next();
  q->Edit();
  q->FieldByName("N").SetAsInteger(2);
  q->Post();
  q->Append();
  q->FieldByName("TXT").SetAsString("new");
  q->Post();
  q->Edit();
  q->FieldByName("N").SetAsInteger(3);
  q->Post();
  auto check = Query("SELECT " + Ctx().ListAggregate("N") +
                     " AS L FROM (SELECT N FROM LOG ORDER BY " + Ctx().InsertionOrder() + ") AS S");
  check->Open();
  EXPECT_EQ(check->FieldByName("L").AsString(), "1,2,1,3");
}

TEST_P(DataSetTest, DeleteMovesToTheNextRowAndCanEmptyTheTable) {
  auto t = Table("PERSON");
  t->Open();
  t->Next();
  t->Delete();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  t->Last();
  t->Delete();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4);
  t->First();
  while (!t->IsEmpty()) t->Delete();
  EXPECT_EQ(Count(), 0);
  EXPECT_TRUE(t->Eof());
  EXPECT_THROW(t->Delete(), EDatabaseError);
}

TEST_P(DataSetTest, DataSetsOverSeveralTablesOrExpressionsAreReadOnly) {
  Conn.Execute("CREATE TABLE CITY (NAME " + Ctx().Text(30) + ", LAND " + Ctx().Text(30) + ")");
  auto join = Query("SELECT P.NAME, C.LAND FROM PERSON P JOIN CITY C ON C.NAME = P.CITY");
  join->Open();
  EXPECT_FALSE(join->CanModify());
  try {
    join->Append();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot modify a read-only dataset");
  }
  auto expr = Query("SELECT ID, NAME || '!' AS LOUD FROM PERSON");
  expr->Open();
  EXPECT_TRUE(expr->CanModify());
  EXPECT_TRUE(expr->FieldByName("LOUD").ReadOnly());
  expr->Edit();
  EXPECT_THROW(expr->FieldByName("LOUD").SetAsString("x"), EDatabaseError);
  expr->Cancel();
  auto t = Table("PERSON");
  t->SetLockType(ltReadOnly);
  t->Open();
  EXPECT_THROW(t->Edit(), EDatabaseError);
}

TEST_P(DataSetTest, FieldsAreFoundByNameIgnoringCase) {
  auto t = Table("PERSON");
  EXPECT_EQ(t->FindField("NAME"), nullptr);  // closed
  t->Open();
  EXPECT_EQ(t->FieldCount(), 4);
  EXPECT_EQ(&t->FieldByName("name"), &t->Fields(1));
  EXPECT_EQ(t->FindField("MYNAMES"), nullptr);
  try {
    t->FieldByName("MYNAMES");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'MYNAMES' not found");
  }
  EXPECT_THROW(t->FieldByName("NAME").SetAsString("x"), EDatabaseError);  // browse state
}

TEST_P(DataSetTest, QueriesBindNamedParametersAndRequeryWithNewValues) {
  auto q = Query("SELECT * FROM PERSON\r\nWHERE CITY = :city AND AGE < :AGE AND NAME <> ':nix'");
  ASSERT_EQ(q->Parameters().Count(), 2);
  q->Parameters().ParamByName("CITY").Value = "Köln";
  q->Parameters().ParamByName("age").Value = 35;
  q->Open();
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 5);
  q->Parameters().ParamByName("AGE").Value = 100;
  q->Requery();
  EXPECT_EQ(q->RecordCount(), 2);
  EXPECT_THROW(q->Parameters().ParamByName("nix"), EDatabaseError);

  // A date-time parameter compares with the stored ISO texts.
  Conn.Execute("CREATE TABLE TODO (ID INTEGER, HINTDATE " + Ctx().DateTime() + ")");
  Conn.Execute("INSERT INTO TODO VALUES (1, '2024-05-01 08:00:00'), (2, '2024-06-01 08:00:00')");
  auto due = Query("SELECT * FROM TODO WHERE HINTDATE < :paramHintDate");
  TParameter& p = due->Parameters().ParamByName("paramHintDate");
  p.DataType = ftDateTime;
  p.Value = TDateTime::Encode(2024, 5, 15);
  due->Open();
  EXPECT_EQ(due->RecordCount(), 1);
  EXPECT_EQ(due->FieldByName("ID").AsInteger(), 1);
}

TEST_P(DataSetTest, ExecSqlRunsStatementsAndOpenRefusesThemWithoutRunning) {
  auto q = Query("UPDATE PERSON SET AGE = AGE + 1 WHERE CITY = :c");
  q->Parameters().ParamByName("c").Value = "Bonn";
  EXPECT_EQ(q->ExecSQL(), 2);
  auto del = Query("DELETE FROM PERSON WHERE ID IN (SELECT ID FROM PERSON)");
  try {
    del->Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "CommandText does not return a result set");
  }
  EXPECT_FALSE(del->Active());
  EXPECT_EQ(Count(), 5);
}

TEST_P(DataSetTest, AppendingToAnOpenTableKeepsReadingIt) {
  auto t = Table("PERSON");
  t->Open();
  t->Next();
  for (int id = 10; id < 13; ++id) {
    t->Append();
    t->FieldByName("ID").SetAsInteger(id);
    t->Post();
  }
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 12);
  t->Cancel();
  t->Next();  // the row after the one current before the appends
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  EXPECT_EQ(t->RecordCount(), 8);
  t->First();
  int rows = 0;
  while (!t->Eof()) {
    ++rows;
    t->Next();
  }
  EXPECT_EQ(rows, 8);
}

// A pessimistic dataset holds the row it edits where the engine has row
// locks: another program's edit of that row waits and fails with a lock
// conflict until Post or Cancel lets go; other rows stay free. Without row
// locks the lock type changes nothing.
TEST_P(DataSetTest, APessimisticEditHoldsItsRowUntilPostOrCancel) {
  auto mine = Table("PERSON");
  mine->SetLockType(ltPessimistic);
  mine->Open();
  auto other = OtherConnection();
  TTable theirs;
  theirs.SetConnection(other.get());
  theirs.SetTableName("PERSON");
  theirs.SetLockType(ltPessimistic);
  theirs.Open();
  const auto theirEditFails = [&] {
    try {
      theirs.Edit();
      theirs.Cancel();
      return false;
    } catch (const EDatabaseError& e) {
      EXPECT_TRUE(IsLockConflict(e)) << e.what();
      return true;
    }
  };
  mine->Edit();
  EXPECT_EQ(theirEditFails(), Can().RowLocks);
  theirs.Next();  // another row
  theirs.Edit();
  theirs.FieldByName("CITY").SetAsString("Essen");
  theirs.Post();
  theirs.First();
  mine->FieldByName("NAME").SetAsString("Schmitz");
  mine->Post();
  EXPECT_FALSE(Conn.InTransaction());
  EXPECT_FALSE(theirEditFails());
  mine->Edit();
  EXPECT_EQ(theirEditFails(), Can().RowLocks);
  mine->Cancel();
  EXPECT_FALSE(theirEditFails());
  theirs.Requery();
  EXPECT_EQ(theirs.FieldByName("NAME").AsString(), "Schmitz");
}

TEST_P(DataSetTest, RequerySeesWhatOtherConnectionsWrote) {
  auto t = Table("PERSON");
  t->Open();
  auto other = OtherConnection();
  other->Execute("INSERT INTO PERSON (ID, NAME) VALUES (0, 'Null')");
  other->Execute("UPDATE PERSON SET NAME = 'Mueller' WHERE ID = 1");
  t->Requery();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "Null");
  EXPECT_EQ(t->RecordCount(), 6);
  EXPECT_EQ(t->Lookup("ID", 1, "NAME"), TVariant("Mueller"));
}

TEST_P(DataSetTest, StatementsThatCannotBeASubqueryAreCountedByReading) {
  if (!Can().StatementsOutsideSubqueries) GTEST_SKIP() << "every statement is a subquery";
  auto q = Query(Ctx().CountedByReading("PERSON"));
  q->Open();
  EXPECT_FALSE(q->CanModify());
  EXPECT_EQ(q->RecordCount(), 4);
  EXPECT_EQ(q->FieldByName("name").AsString(), Ctx().CatalogName("ID"));
}

TEST_P(DataSetTest, AnEmptyTableIsAtItsEndAtOnce) {
  Conn.Execute("CREATE TABLE E (A INTEGER)");
  auto t = Table("E");
  Log log;
  Record(*t, log);
  t->Open();
  EXPECT_EQ(log, (Log{"BeforeOpen", "AfterOpen"}));
  EXPECT_TRUE(t->Eof());
  EXPECT_TRUE(t->IsEmpty());
  EXPECT_EQ(t->RecordCount(), 0);
  t->Append();
  EXPECT_FALSE(t->IsEmpty());
  t->FieldByName("A").SetAsInteger(1);
  t->Post();
  EXPECT_FALSE(t->IsEmpty());
  t->Next();
  EXPECT_TRUE(t->Eof());
  t->First();
  EXPECT_EQ(t->FieldByName("A").AsInteger(), 1);
}

}  // namespace
}  // namespace dk::test
