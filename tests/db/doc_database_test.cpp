#include "db/doc_database.h"

#include <gtest/gtest.h>

#include "data/errors.h"
#include "db/db_fields.h"
#include "db/full_text_retrieval.h"
#include "db_fixture.h"
#include "sys/text.h"

namespace dk {
namespace {

using test::DbTest;
using test::Occurrences;
using test::TTestDocDatabase;
using Rows = std::vector<std::string>;

class DocDatabaseTest : public DbTest {};

TEST_F(DocDatabaseTest, OpenLoadsDefinitionsAndProbesTheDocumentTableThenCloseFreesThem) {
  TTestDocDatabase db(nullptr);
  db.SetDatabaseName(ArchiveFile);
  int captionChanges = 0;
  db.OnCaptionChange = [&](TComponent&) { ++captionChanges; };
  EXPECT_EQ(db.DocTableName, "DOCUMENT");
  EXPECT_EQ(db.DBFields(), nullptr);
  ASSERT_NE(db.FullTextRetrieval(), nullptr);
  TFullTextRetrieval& fti = *db.FullTextRetrieval();
  EXPECT_EQ(db.DataSets(),
            (std::vector<TDataSet*>{db.DocQuery(), db.BlobQuery(), db.SpareQuery(), db.IdentTable(),
                                    db.ItemListTable(), fti.IndexerQuery(), fti.SpareQuery()}));

  Application->SetCursor(crHourGlass);
  db.Open();
  EXPECT_EQ(Application->Cursor(), crHourGlass);
  ASSERT_NE(db.DBFields(), nullptr);
  EXPECT_EQ(db.DBFields()->Count(), 21);
  EXPECT_TRUE(db.DocQuery()->Active());
  EXPECT_EQ(db.DocQuery()->SQLText(), "SELECT * FROM DOCUMENT WHERE DOCID=1");
  EXPECT_NE(db.DocQuery()->FindField("RTFTEXT"), nullptr);

  db.Caption = "archiv.mdb";
  EXPECT_TRUE(db.Close());
  EXPECT_FALSE(db.Connected());
  EXPECT_FALSE(db.DocQuery()->Active());
  EXPECT_EQ(db.Caption, "");
  EXPECT_EQ(db.DBFields(), nullptr);
  EXPECT_TRUE(db.Close());
  EXPECT_EQ(captionChanges, 1);
}

TEST_F(DocDatabaseTest, AnOpenDatabaseWithARowBeingInsertedGoesWithItsOwner) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* db = new TTestDocDatabase(owner.get());
  int closes = 0;
  db->AfterCloseConnection = [&](TComponent&) { ++closes; };
  db->SetDatabaseName(ArchiveFile);
  db->Open();
  db->DocQuery()->Append();
  owner.reset();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCUMENT"), Rows{"0"});
}

TEST_F(DocDatabaseTest, DocumentEventsReachTheHooks) {
  auto db = OpenArchive();
  std::vector<int> scrolled;
  db->AfterScrollQueryDoc = [&](TDataSet& ds) { scrolled.push_back(ds.RecNo()); };
  TQuery& doc = *db->DocQuery();
  doc.Append();
  EXPECT_EQ(doc.FieldByName("FILENAME").AsString(), "[automatisch]");
  EXPECT_EQ(doc.FieldByName("FAVORITE").AsString(), "F");
  doc.FieldByName("DOCID").SetAsInteger(1);
  doc.FieldByName("APPLNAME").SetAsString("Brief");
  doc.Post();
  EXPECT_EQ(db->BeforePostCalls, 1);
  db->RefreshQueryDoc();
  EXPECT_FALSE(scrolled.empty());
  db->DocQuery()->Delete();
  EXPECT_EQ(db->BeforeDeleteCalls, 1);
}

TEST_F(DocDatabaseTest, CountersAreFoundIgnoringCaseAndCreatedWhenMissing) {
  auto db = OpenArchive();
  EXPECT_EQ(db->GetNextID("DOCID"), 1);
  EXPECT_EQ(Select("SELECT IDNAME, NEXTID FROM IDENTNO"), Rows{"DOCID|2"});
  EXPECT_EQ(db->GetNextID("docid"), 2);
  EXPECT_EQ(Select("SELECT IDNAME, NEXTID FROM IDENTNO"), Rows{"DOCID|3"});

  EXPECT_TRUE(db->SetNextID("Docid", 40));
  EXPECT_TRUE(db->SetNextID("TODOID", 7));
  EXPECT_EQ(Select("SELECT IDNAME, NEXTID FROM IDENTNO ORDER BY IDNAME"),
            (Rows{"DOCID|40", "TODOID|7"}));
  EXPECT_EQ(db->GetNextID("DocId"), 40);
  EXPECT_EQ(db->IdentTable()->State(), dsBrowse);
}

TEST_F(DocDatabaseTest, SyncIDCountersSetsTheCountersFromTheTableMaxima) {
  struct TCase {
    const char* Name;
    bool DocArch, Todo;
    std::vector<std::string> Setup;
    Rows Expected;
  };
  const TCase cases[] = {
      {"empty tables, no DOCARCH, no TODO",
       false,
       false,
       {"INSERT INTO IDENTNO VALUES ('DOCID', 50), ('TODOID', 77)"},
       {"DOCID|1", "FTIWORDID|1", "TODOID|77"}},
      {"DOCARCH holds the larger DOCID; names in lower case",
       true,
       true,
       {"INSERT INTO DOCUMENT (DOCID, APPLNAME) VALUES (3, 'A'), (7, 'A')",
        "INSERT INTO DOCARCH (DOCID, APPLNAME) VALUES (12, 'A')",
        "INSERT INTO TODO (TODOID) VALUES (4)", "INSERT INTO FTIWORD VALUES (9, 'wort')",
        "INSERT INTO IDENTNO VALUES ('docid', 500)"},
       {"FTIWORDID|10", "TODOID|5", "docid|13"}},
      {"DOCUMENT holds the larger DOCID",
       true,
       true,
       {"INSERT INTO DOCUMENT (DOCID, APPLNAME) VALUES (20, 'A')",
        "INSERT INTO DOCARCH (DOCID, APPLNAME) VALUES (12, 'A')"},
       {"DOCID|21", "FTIWORDID|1", "TODOID|1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove(ArchiveFile);
    CreateEmptyArchive(ArchiveFile);
    if (!c.DocArch) Exec("DROP TABLE DOCARCH");
    if (!c.Todo) Exec("DROP TABLE TODO");
    for (const auto& sql : c.Setup) Exec(sql);
    auto db = OpenArchive();
    db->SyncIDCounters();
    EXPECT_EQ(Select("SELECT IDNAME, NEXTID FROM IDENTNO ORDER BY IDNAME"), c.Expected);
  }
}

TEST_F(DocDatabaseTest, ABusyCounterIsRetriedAndTheUserAskedAtTheRightAttempt) {
  enum TOp { opGetNext, opSetNext };
  struct TCase {
    TOp Op;
    int Failures;
    std::vector<TMsgDlgBtn> Answers;
    int Questions;
    int LogLines;
    bool Raises;
  };
  const TCase cases[] = {
      {opGetNext, 20, {}, 0, 0, false},
      {opGetNext, 21, {mbRetry}, 1, 0, false},
      {opGetNext, 40, {mbRetry}, 1, 0, false},
      {opGetNext, 41, {mbRetry, mbRetry}, 2, 0, false},
      {opGetNext, 21, {mbCancel}, 1, 0, true},
      {opSetNext, 1, {}, 0, 0, false},
      {opSetNext, 2, {}, 0, 1, false},
      {opSetNext, 10, {}, 0, 1, false},
      {opSetNext, 11, {mbRetry}, 1, 1, false},
      {opSetNext, 12, {mbRetry}, 1, 2, false},
      {opSetNext, 21, {mbRetry, mbRetry}, 2, 2, false},
      {opSetNext, 11, {mbCancel}, 1, 1, true},
  };
  auto db = OpenArchive();
  Exec("INSERT INTO IDENTNO VALUES ('DOCID', 10)");
  const std::string logLine = "Fehler beim 1. Versuch, die ID für \"DOCID\" zu ändern.";
  for (const auto& c : cases) {
    SCOPED_TRACE((c.Op == opGetNext ? "GetNextID, " : "SetNextID, ") + std::to_string(c.Failures) +
                 " failures");
    // Another client's write: the counter table kept open on its row must not
    // hold it back.
    Exec("UPDATE IDENTNO SET NEXTID = 10");
    Boxes->Clear();
    for (TMsgDlgBtn answer : c.Answers) Boxes->Push(answer);
    const int logBefore = Occurrences(ErrorLog(), logLine);
    int attempts = 0;
    db->IdentTable()->BeforeEdit = [&](TDataSet&) {
      if (++attempts <= c.Failures) throw EDatabaseError("Datensatz ist gesperrt");
    };

    try {
      if (c.Op == opGetNext)
        EXPECT_EQ(db->GetNextID("DOCID"), 10);
      else
        EXPECT_TRUE(db->SetNextID("DOCID", 33));
      EXPECT_FALSE(c.Raises);
      EXPECT_EQ(attempts, c.Failures + 1);
      EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO"), Rows{c.Op == opGetNext ? "11" : "33"});
    } catch (const EDatabaseError& e) {
      EXPECT_TRUE(c.Raises);
      EXPECT_STREQ(e.what(), "Datensatz ist gesperrt");
      EXPECT_EQ(attempts, c.Failures);
      EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO"), Rows{"10"});
    }
    EXPECT_EQ(db->IdentTable()->State(), dsBrowse);
    const auto shown = Boxes->Shown();
    ASSERT_EQ(static_cast<int>(shown.size()), c.Questions);
    for (const auto& box : shown) {
      EXPECT_EQ(box.Text,
                "Der Schlüsselwert für \"DOCID\" konnte nicht ermittelt werden:\r"
                "Datensatz ist gesperrt");
      EXPECT_EQ(box.Buttons, mbCancel | mbRetry | mbHelp);
    }
    EXPECT_EQ(Occurrences(ErrorLog(), logLine) - logBefore, c.LogLines);
  }
}

TEST_F(DocDatabaseTest, ACounterThatCannotBeStoredIsShown) {
  auto db = OpenArchive();
  Exec("INSERT INTO IDENTNO VALUES ('DOCID', 10)");
  Exec(
      "CREATE TRIGGER NOSAVE BEFORE UPDATE ON IDENTNO BEGIN SELECT RAISE(ABORT, 'gesperrt'); "
      "END");

  EXPECT_THROW(db->GetNextID("DOCID"), EDatabaseError);
  EXPECT_FALSE(db->SetNextID("DOCID", 20));
  EXPECT_EQ(db->IdentTable()->State(), dsBrowse);
  EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO"), Rows{"10"});
  const auto texts = BoxTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_TRUE(texts[0].starts_with("Fehler beim Speichern von \"DOCID\" in Tabelle \"IDENTNO\".\r"))
      << texts[0];
  EXPECT_TRUE(
      texts[1].starts_with("Fehler beim Speichern von \"DOCID\" in Tabelle \"IDENTNO\".:\r"))
      << texts[1];
  EXPECT_NE(texts[1].find("gesperrt"), std::string::npos);
}

TEST_F(DocDatabaseTest, ANewDocumentThatCollidesGetsTheDocIdAfterTheData) {
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME) VALUES (5, 'A')");
  Exec("INSERT INTO DOCARCH (DOCID, APPLNAME) VALUES (8, 'A')");
  Exec("INSERT INTO IDENTNO VALUES ('DOCID', 3)");
  auto db = OpenArchive();
  db->RefreshQueryDoc();
  TQuery& doc = *db->DocQuery();

  doc.Append();
  doc.FieldByName("DOCID").SetAsInteger(5);
  doc.FieldByName("APPLNAME").SetAsString("A");
  doc.Post();
  EXPECT_EQ(doc.FieldByName("DOCID").AsInteger(), 9);
  EXPECT_EQ(db->LastDocID, 9);
  EXPECT_EQ(Select("SELECT DOCID FROM DOCUMENT ORDER BY DOCID"), (Rows{"5", "9"}));
  EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO"), Rows{"10"});
  ASSERT_EQ(BoxTexts().size(), 1u);
  EXPECT_TRUE(BoxTexts()[0].starts_with(
      "Bei Speichern des neuen Datensatzes ist ein Indexfehler aufgetreten. Die Ursache lag in "
      "der Datenbanktabelle IDENTNO. Das Problem wurde behoben, der Fehler sollte jetzt nicht "
      "mehr auftreten.\r"));

  // A failure that is no collision below the maxima keeps its own error.
  doc.Append();
  doc.FieldByName("DOCID").SetAsInteger(100);
  EXPECT_THROW(doc.Post(), EDatabaseError);  // APPLNAME is NOT NULL
  EXPECT_EQ(doc.State(), dsInsert);
  doc.Cancel();
  EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO"), Rows{"10"});
  EXPECT_EQ(BoxTexts().size(), 1u);
}

TEST_F(DocDatabaseTest, ExecuteQueryDocOpensOrExecutesAndRestoresTheLastSearch) {
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME, NAME) VALUES (1, 'A', 'Eins'), (2, 'A', 'Zwei')");
  auto db = OpenArchive();
  std::vector<std::string> events;
  db->BeforeExecuteQueryDoc = [&](TDataSet& ds, TSqlExecuteMode mode) {
    EXPECT_EQ(&ds, db->DocQuery());
    events.push_back("before " + std::to_string(mode));
  };
  db->AfterExecuteQueryDoc = [&](TDataSet&, TSqlExecuteMode mode) {
    events.push_back("after " + std::to_string(mode));
  };
  const std::string previous = "SELECT * FROM DOCUMENT";
  const std::string restored = "Die letzte Suche wird wiederhergestellt.";

  struct TCase {
    std::string Sql;
    TSqlExecuteMode Mode;
    int RunAs;
    std::string SqlAfter;
    bool Raises;
    bool Box;
    Rows Names;
  };
  const TCase cases[] = {
      {"UPDATE DOCUMENT SET NAME='Neu' WHERE DOCID=1",
       semAuto,
       semExecute,
       previous,
       false,
       false,
       {"Neu", "Zwei"}},
      {"DELETE FROM DOCUMENT WHERE DOCID IN (SELECT DOCID FROM DOCUMENT)",
       semAuto,
       semOpen,
       previous,
       false,
       true,
       {"Eins", "Zwei"}},
      {"select * from DOCUMENT where DOCID=2",
       semAuto,
       semOpen,
       "select * from DOCUMENT where DOCID=2",
       false,
       false,
       {"Eins", "Zwei"}},
      {"SELECT * FROM NOSUCHTABLE", semAuto, semOpen, previous, false, true, {"Eins", "Zwei"}},
      {"UPDATE NOSUCHTABLE SET NAME='x'",
       semAuto,
       semExecute,
       previous,
       true,
       false,
       {"Eins", "Zwei"}},
      {"UPDATE DOCUMENT SET NAME='Neu' WHERE DOCID=1",
       semOpen,
       semOpen,
       previous,
       false,
       true,
       {"Eins", "Zwei"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Sql);
    Exec("UPDATE DOCUMENT SET NAME = CASE DOCID WHEN 1 THEN 'Eins' ELSE 'Zwei' END");
    db->RefreshQueryDoc();
    events.clear();
    Boxes->Clear();

    bool raised = false;
    try {
      db->ExecuteQueryDoc(c.Sql, c.Mode);
    } catch (const EDatabaseError&) {
      raised = true;
    }
    EXPECT_EQ(raised, c.Raises);
    EXPECT_EQ(events, (std::vector<std::string>{"before " + std::to_string(c.RunAs),
                                                "after " + std::to_string(c.RunAs)}));
    EXPECT_TRUE(db->DocQuery()->Active());
    EXPECT_EQ(db->DocQuery()->SQLText(), c.SqlAfter);
    EXPECT_EQ(db->LastSearchSQL().Text(), previous + "\r\n");
    const auto texts = BoxTexts();
    ASSERT_EQ(texts.size(), c.Box ? 1u : 0u);
    if (c.Box) {
      EXPECT_NE(texts[0].find("\r" + restored + "\r"), std::string::npos) << texts[0];
    }
    EXPECT_EQ(Select("SELECT NAME FROM DOCUMENT ORDER BY DOCID"), c.Names);
  }

  // Placeholders go through the host when it has a handler.
  db->OnConvertCmdStr = [](TComponent&, const std::string& src, std::string& value) {
    value = ReplaceAll(src, "{Nr}", "2");
  };
  db->ExecuteQueryDoc("SELECT * FROM DOCUMENT WHERE DOCID={Nr}", semAuto);
  EXPECT_EQ(db->DocQuery()->SQLText(), "SELECT * FROM DOCUMENT WHERE DOCID=2");
  EXPECT_EQ(db->GetDocID(), 2);
}

TEST_F(DocDatabaseTest, FindDocIDSearchesDocumentThenDocArch) {
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME, NAME) VALUES (1, 'A', 'Müller'), (2, 'A', 'Meier')");
  Exec("INSERT INTO DOCARCH (DOCID, APPLNAME, NAME) VALUES (3, 'A', 'Schulze')");
  struct TCase {
    const char* Column;
    const char* Value;
    const char* Table;
    int Expected;
  };
  const TCase withDocArch[] = {
      {"NAME", "Mü%", "", 1},
      {"NAME", "Mü", "", -1},
      {"NAME", "M_ier", "", 2},
      {"NAME", "Schulze", "", 3},
      {"NAME", "Schulze", "DOCUMENT", -1},
      {"NAME", "Schulze", "DOCARCH", 3},
      {"DOCID", "2", "", 2},
      {"NAME", "O'Neil", "", -1},
  };
  {
    auto db = OpenArchive();
    for (const auto& c : withDocArch)
      EXPECT_EQ(db->FindDocID(c.Column, c.Value, c.Table), c.Expected)
          << c.Column << "=" << c.Value << " in " << c.Table;
  }
  Exec("DROP TABLE DOCARCH");
  auto db = OpenArchive();
  EXPECT_EQ(db->FindDocID("NAME", "Schulze"), -1);
  EXPECT_EQ(db->FindDocID("NAME", "Meier"), 2);
}

TEST_F(DocDatabaseTest, DocumentLookupsAndTheRtfTextInDocumentOrDocBlobs) {
  const std::string file = FDir / "brief.txt";
  test::WriteFile(file, "x");
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME, FILENAME, RTFTEXT) VALUES (1, 'A', '" + file +
       "', '{\\rtf1 eins}'), (2, 'A', '" + FDir / "fehlt.txt" + "', NULL)");
  {
    auto db = OpenArchive();
    EXPECT_TRUE(db->LocateDocID(1));   // the probe row
    EXPECT_FALSE(db->LocateDocID(2));  // not in the probe's result
    db->RefreshQueryDoc();
    EXPECT_TRUE(db->LocateDocID(2));
    EXPECT_EQ(db->GetDocID(), 2);
    EXPECT_FALSE(db->DocFileExists());
    EXPECT_TRUE(db->LocateDocID(1));
    EXPECT_EQ(db->GetDocFileName(), file);
    EXPECT_TRUE(db->DocFileExists());

    TField* rtf = db->GetRtfTextField(1);
    ASSERT_NE(rtf, nullptr);
    EXPECT_EQ(&rtf->DataSet(), db->DocQuery());
    EXPECT_EQ(rtf->AsString(), "{\\rtf1 eins}");
    EXPECT_EQ(db->GetRtfTextField(99), nullptr);

    db->DocQuery()->Close();
    EXPECT_FALSE(db->DocFileExists());
    EXPECT_FALSE(db->LocateDocID(5));
    EXPECT_NE(ErrorLog().find("]: Exception LocateDocID, ID=5\r\n"), std::string::npos);
  }

  // An archive that keeps the RTF texts in DOCBLOBS.
  Exec("ALTER TABLE DOCUMENT DROP COLUMN RTFTEXT");
  Exec("INSERT INTO DOCBLOBS VALUES (1, '{\\rtf1 blob}')");
  auto db = OpenArchive();
  db->RefreshQueryDoc();
  TField* rtf = db->GetRtfTextField(1);
  ASSERT_NE(rtf, nullptr);
  EXPECT_EQ(&rtf->DataSet(), db->BlobQuery());
  EXPECT_EQ(rtf->AsString(), "{\\rtf1 blob}");
  EXPECT_TRUE(db->OpenDocBlobs(1));
  EXPECT_EQ(db->GetRtfTextField(2), nullptr);
  EXPECT_FALSE(db->OpenDocBlobs(2));
}

TEST_F(DocDatabaseTest, ValuesOfTheDocumentJoinThePickListsThatWantThem) {
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME, NAME, PROJECT) VALUES (1, 'A', 'Brief', 'Alpha')");
  auto db = OpenArchive();
  std::vector<std::string> announced;
  db->OnNewPickListItem = [&](TComponent& sender, TDkDBField& field) {
    EXPECT_EQ(&sender, db.get());
    announced.push_back(field.FieldName);
  };
  // Seeded definitions: PROJECT, CATEGORY and STATE take new values; NAME
  // has no list.
  EXPECT_TRUE(db->AddNewPickListItems());
  EXPECT_EQ(announced, std::vector<std::string>{"PROJECT"});
  EXPECT_EQ(Select("SELECT ITMNAME, ITMLIST FROM ITEMLISTS"), Rows{"PROJECT|Alpha\r\n"});
  EXPECT_FALSE(db->AddNewPickListItems());
  EXPECT_EQ(announced.size(), 1u);
}

}  // namespace
}  // namespace dk
