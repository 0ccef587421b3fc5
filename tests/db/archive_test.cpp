#include "db/archive.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "archive_fixture.h"
#include "data/errors.h"
#include "db/db_fields.h"
#include "db/full_text_retrieval.h"
#include "settings/locations.h"
#include "sys/file_paths.h"
#include "sys/text.h"

namespace dk {
namespace {

using test::ArchiveTest;
using test::Occurrences;
using Rows = std::vector<std::string>;

class DkArchiveTest : public ArchiveTest {
 protected:
  // Lets the message loop run until `done` or two seconds have passed.
  static void PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done() && std::chrono::steady_clock::now() < end) {
      Application->ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

TEST_F(DkArchiveTest, ConstructionRegistersTheDatasetsInOrderAndKeepsTheStoredSettings) {
  EXPECT_EQ(
      Archive->DataSets(),
      (std::vector<TDataSet*>{
          Archive->DocQuery(), Archive->BlobQuery(), Archive->SpareQuery(), Archive->IdentTable(),
          Archive->ItemListTable(), Archive->FullTextRetrieval()->IndexerQuery(),
          Archive->FullTextRetrieval()->SpareQuery(), Archive->HostQuery(0), Archive->TodoQuery(),
          Archive->ReminderQuery(), Archive->HostQuery(1), Archive->HostQuery(2)}));
  EXPECT_EQ(Types->DataSets(),
            (std::vector<TDataSet*>{Types->TableAppl(), Types->TableApplCmd(),
                                    Types->TableFileExt(), Types->TableTemplate()}));
  EXPECT_EQ(Archive->DocTableSource(), dtsDocument);
  EXPECT_EQ(Archive->ApplDatabase(), Types);
  EXPECT_EQ(Types->DocArchive(), Archive);

  // The conversion's use: the partner is present but never opened.
  Archive->SyncCreateBackup = false;
  Archive->SyncDataPriority = sdpMainDB;
  Archive->SyncFilePriority = sfpUserDlg;
  Archive->Open();
  EXPECT_FALSE(Types->Connected());
  EXPECT_TRUE(Archive->DBFields()->Find("APPLNAME")->Items.Empty());
  Archive->RefreshQueryDoc();
  Archive->WriteOption("Converted", "ok");
  Archive->SyncIDCounters();
  EXPECT_TRUE(Archive->Close());
  EXPECT_TRUE(Archive->Close());
  EXPECT_EQ(Select("SELECT OPTVALUE FROM DBOPTION WHERE OPTNAME='Converted'"), Rows{"ok"});
}

TEST_F(DkArchiveTest, OpenNeedsThePartnerAndRunsOnce) {
  TDkArchive lone(nullptr);
  lone.SetDatabaseName(ArchiveFile);
  try {
    lone.Open();
    ADD_FAILURE() << "opened without a partner";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Entwickler: Anwendungsdatenbank ist nicht zugeordnet");
  }
  EXPECT_FALSE(lone.Connected());

  test::WriteFile(Common() + "todotype.itm", "Anruf\r\nBesuch\r\n");
  test::WriteFile(Common() + "todoname.itm", "Rückruf\r\n");
  // todoprt.itm is missing: logged, and the archive opens all the same.
  FConfig->ToDoTimerInterval = 60000;
  Archive->OnTodoPopup = [](TDataSet&) {};
  int captions = 0;
  Archive->OnCaptionChange = [&](TComponent&) { ++captions; };
  Archive->Open();
  EXPECT_TRUE(Archive->Connected());
  EXPECT_EQ(Archive->Caption, "archiv.mdb");
  EXPECT_EQ(captions, 1);
  EXPECT_EQ(Archive->TodoTypeItems, (TStringList{"Anruf", "Besuch"}));
  EXPECT_EQ(Archive->TodoNameItems, TStringList{"Rückruf"});
  EXPECT_TRUE(Archive->TodoPrtItems.Empty());
  EXPECT_EQ(Occurrences(ErrorLog(), "Fehler beim Lesen der Auswahllisten todo* aus " + Common()),
            1);
  TTimer* timer = Archive->ReminderTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->Interval(), 10000u);
  EXPECT_TRUE(timer->Enabled());

  // Open on an open archive: no second timer, no reload of the lists.
  test::WriteFile(Common() + "todotype.itm", "Neu\r\n");
  Archive->Open();
  EXPECT_EQ(Archive->ReminderTimer(), timer);
  EXPECT_EQ(Archive->TodoTypeItems, (TStringList{"Anruf", "Besuch"}));
  EXPECT_EQ(captions, 1);

  EXPECT_TRUE(Archive->Close());
  EXPECT_EQ(Archive->ReminderTimer(), nullptr);
  EXPECT_EQ(Archive->Caption, "");
  EXPECT_EQ(captions, 2);
}

TEST_F(DkArchiveTest, AFailedOpenLeavesTheArchiveClosed) {
  Exec("DROP TABLE DOCFLD");
  EXPECT_THROW(Archive->Open(), EDatabaseError);
  EXPECT_FALSE(Archive->Connected());
  EXPECT_EQ(Archive->Caption, "");
  EXPECT_EQ(Archive->DBFields(), nullptr);

  Archive->SetDatabaseName(FDir / "fehlt.mdb");
  try {
    Archive->Open();
    ADD_FAILURE() << "opened a missing file";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Die Datei \"" + FDir / "fehlt.mdb" + "\" wurde nicht gefunden.");
  }
  EXPECT_FALSE(Archive->Connected());
  EXPECT_EQ(Archive->Caption, "");
}

TEST_F(DkArchiveTest, ReminderTimerOnlyWithIntervalAndHandler) {
  struct Case {
    int Interval;
    bool Handler;
    bool Timer;
  };
  const Case cases[] = {
      {0, true, false}, {-1, true, false}, {60000, false, false}, {60000, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Interval) + (c.Handler ? " with handler" : " without"));
    FConfig->ToDoTimerInterval = c.Interval;
    Archive->OnTodoPopup = nullptr;
    if (c.Handler) Archive->OnTodoPopup = [](TDataSet&) {};
    Archive->Open();
    EXPECT_EQ(Archive->ReminderTimer() != nullptr, c.Timer);
    Archive->Close();
  }
}

TEST_F(DkArchiveTest, AccessRightsAndServerIndexerFollowTheConfigurationAndTheDatabase) {
  const std::string settingsFile = FDir / "archiv.dkcs";
  test::WriteFile(settingsFile, "[AdoConnection]\r\nConnectionString=Provider=SQLite;Data Source=" +
                                    ArchiveFile + "\r\n");
  struct Case {
    bool DefineAccessRights;
    bool ServerIndexer;
    bool SettingsFile;
    bool AccessRightsMode;
    bool UseServerIndexer;
  };
  const Case cases[] = {
      {false, false, false, false, false},
      {true, true, false, true, false},  // a database file on a local disk
      {false, true, true, false, true},  // a server database
      {true, false, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.DefineAccessRights) + std::to_string(c.ServerIndexer) +
                 std::to_string(c.SettingsFile));
    FConfig->DefineAccessRights = c.DefineAccessRights;
    FConfig->ServerIndexer = c.ServerIndexer;
    Archive->SetDatabaseName(c.SettingsFile ? settingsFile : ArchiveFile);
    Archive->Open();
    EXPECT_EQ(Archive->AccessRightsMode, c.AccessRightsMode);
    EXPECT_EQ(Archive->UseServerIndexer, c.UseServerIndexer);
    Archive->Close();
  }
}

TEST_F(DkArchiveTest, DocTableSourceReplacesOnlyTheTableNameAndReopens) {
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME, PROJECT) VALUES (1, 'Brief', 'Document')");
  Exec("INSERT INTO DOCARCH (DOCID, APPLNAME, PROJECT) VALUES (2, 'Brief', 'Document')");
  Exec("INSERT INTO DOCARCH (DOCID, APPLNAME, PROJECT) VALUES (3, 'Brief', 'Akte')");
  Archive->Open();
  std::vector<std::string> events;
  Archive->BeforeExecuteQueryDoc = [&](TDataSet&, TSqlExecuteMode mode) {
    events.push_back("before " + std::to_string(mode));
  };
  Archive->AfterExecuteQueryDoc = [&](TDataSet&, TSqlExecuteMode mode) {
    events.push_back("after " + std::to_string(mode));
  };
  Archive->OnChangeDocTableSource = [&](TComponent& sender, TDocTableSource source) {
    EXPECT_EQ(&sender, Archive);
    events.push_back("source " + std::to_string(source));
  };
  TQuery& doc = *Archive->DocQuery();
  Archive->ExecuteQueryDoc("select * from Document where PROJECT = 'Document'", semOpen);
  events.clear();

  Archive->SetDocTableSource(dtsDocArch);
  EXPECT_EQ(Archive->DocTableName, "DOCARCH");
  EXPECT_EQ(doc.SQLText(), "select * from DOCARCH where PROJECT = 'Document'");
  EXPECT_TRUE(doc.Active());
  EXPECT_EQ(doc.FieldByName("DOCID").AsInteger(), 2);
  EXPECT_EQ(doc.RecordCount(), 1);
  EXPECT_TRUE(Archive->LastSearchSQL().Empty());
  EXPECT_EQ(events, (Rows{"before 1", "after 1", "source 1"}));

  events.clear();
  Archive->SetDocTableSource(dtsDocArch);
  EXPECT_TRUE(events.empty());

  Archive->SetDocTableSource(dtsDocument);
  EXPECT_EQ(doc.SQLText(), "select * from DOCUMENT where PROJECT = 'Document'");
  EXPECT_EQ(doc.FieldByName("DOCID").AsInteger(), 1);

  // With the dataset closed only the table name changes.
  doc.Close();
  events.clear();
  Archive->SetDocTableSource(dtsDocArch);
  EXPECT_EQ(Archive->DocTableName, "DOCARCH");
  EXPECT_EQ(doc.SQLText(), "select * from DOCUMENT where PROJECT = 'Document'");
  EXPECT_FALSE(doc.Active());
  EXPECT_EQ(events, Rows{"source 1"});

  // Opening always returns to DOCUMENT.
  Archive->Close();
  Archive->Open();
  EXPECT_EQ(Archive->DocTableSource(), dtsDocument);
  EXPECT_EQ(Archive->DocTableName, "DOCUMENT");

  // A reopen that fails still closes the query events; its error passes on.
  Archive->ExecuteQueryDoc("SELECT * FROM DOCUMENT", semOpen);
  Exec("DROP TABLE DOCARCH");
  events.clear();
  EXPECT_THROW(Archive->SetDocTableSource(dtsDocArch), EDatabaseError);
  EXPECT_EQ(events, (Rows{"before 1", "after 1"}));
}

TEST_F(DkArchiveTest, DocumentPathAndDefaultFileName) {
  const std::string defaultDir = FDir / "ablage/Standard/";
  FConfig->DefaultFilePath = FDir / "ablage/{Doc:Project}/";
  FConfig->DefaultFileName = "{Doc:Name,Validate}";
  std::string expandedName;
  Archive->OnConvertCmdStr = [&](TComponent&, const std::string& src, std::string& value) {
    EXPECT_EQ(value, src);
    value = ReplaceAll(src, "{Doc:Project}", "Standard");
    value = ReplaceAll(value, "{Doc:Name,Validate}", expandedName);
  };
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME) VALUES (7, 'Brief')");
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME) VALUES (8, 'Akte')");
  OpenBoth();
  AddType("Akte", "W", "");
  AddType("Brief", "D", "doc");
  Archive->RefreshQueryDoc();
  ASSERT_TRUE(Archive->LocateDocID(7));
  ASSERT_TRUE(Archive->IsDocApplCurrent());

  struct Case {
    const char* DocPath;
    std::string Expected;
  };
  const Case cases[] = {
      {"[automatisch]", defaultDir},
      {"[automatisch]/Briefe", defaultDir},
      {"   ", defaultDir},
      {"  /srv/Briefe  ", "/srv/Briefe/"},
      {"/srv//Briefe|alt/", "/srv/Briefealt/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.DocPath);
    Types->SetApplField("DOCPATH", c.DocPath);
    EXPECT_EQ(Archive->GetDocPath(), c.Expected);
  }
  // The type table standing on another type: the default path.
  ASSERT_TRUE(Types->LocateApplName("Akte"));
  EXPECT_FALSE(Archive->IsDocApplCurrent());
  EXPECT_EQ(Archive->GetDocPath(), defaultDir);

  // The name expands to nothing: the DOCID, plus the extension of the type.
  ASSERT_TRUE(Types->LocateApplName("Brief"));
  Types->SetApplField("DOCPATH", "[automatisch]");
  expandedName = "";
  EXPECT_EQ(Archive->GetDefaultDocFileName(), defaultDir + "7.doc");
  EXPECT_TRUE(DirectoryExists(defaultDir));
  expandedName = " Angebot: 3.5 ";
  EXPECT_EQ(Archive->GetDefaultDocFileName(), defaultDir + "Angebot 35.doc");
  // A type without extension adds none.
  ASSERT_TRUE(Archive->LocateDocID(8));
  ASSERT_TRUE(Types->LocateApplName("Akte"));
  EXPECT_EQ(Archive->GetDefaultDocFileName(), defaultDir + "Angebot 35");

  // A directory that cannot be made is left to the later file operation.
  test::WriteFile(FDir / "datei", "");
  FConfig->DefaultFilePath = FDir / "datei/unter/";
  EXPECT_EQ(Archive->GetDefaultDocFileName(), FDir / "datei/unter/Angebot 35");
}

TEST_F(DkArchiveTest, CreateTextOfTheTemplateTableIgnoresTheCaseOfItsName) {
  Archive->Open();
  TStringList lines{"old"};
  Archive->BuildCreateTableSQL(lines, "fldtempl");
  ASSERT_GE(lines.Count(), 5);
  EXPECT_EQ(lines[0], "CREATE TABLE fldtempl");
  EXPECT_EQ(lines[2], "TEMPLATENAME TEXT(50) NOT NULL,");
  EXPECT_EQ(lines[3], "DOCID INTEGER NULL,");
  EXPECT_EQ(lines[lines.Count() - 2], "PRIMARY KEY (TEMPLATENAME)");
  EXPECT_EQ(lines[lines.Count() - 1], ")");

  Archive->BuildCreateTableSQL(lines, "DOCTEST");
  EXPECT_EQ(lines[2], "DOCID INTEGER NOT NULL,");
  EXPECT_EQ(lines[lines.Count() - 2], "PRIMARY KEY (DOCID)");
  Archive->Connection().Execute(lines.Text());
  EXPECT_TRUE(Archive->TableExists("doctest"));
}

TEST_F(DkArchiveTest, RemindersOfTheCurrentUserAreDueOnTheTimer) {
  Exec(
      "INSERT INTO TODO (TODOID, USERNAME, HINTPOPUP, HINTDATE) VALUES "
      "(1, '', 'T', '2000-01-01 10:00:00'), (2, '', 'T', '2999-01-01 10:00:00'), "
      "(3, 'anna', 'T', '2000-01-01 10:00:00'), (4, '', 'F', '2000-01-01 10:00:00'), "
      "(5, NULL, 'T', '2000-01-01 10:00:00')");
  ASSERT_EQ(UserName, "");
  FConfig->ToDoTimerInterval = 50000;
  FConfig->ToDoTimerFirstInterval = 1;
  std::vector<std::vector<int>> popups;
  Archive->OnTodoPopup = [&](TDataSet& ds) {
    EXPECT_EQ(&ds, Archive->ReminderQuery());
    EXPECT_FALSE(Archive->ReminderTimer()->Enabled());
    std::vector<int> ids;
    for (; !ds.Eof(); ds.Next()) ids.push_back(ds.FieldByName("TODOID").AsInteger());
    popups.push_back(ids);
  };
  Archive->Open();
  PumpUntil([&] { return !popups.empty(); });
  ASSERT_EQ(popups, (std::vector<std::vector<int>>{{1}}));
  EXPECT_EQ(Archive->ReminderQuery()->SQL(),
            (TStringList{"SELECT * FROM TODO", "WHERE HINTPOPUP='T'", "  AND USERNAME=''",
                         "  AND HINTDATE < :paramHintDate"}));
  EXPECT_FALSE(Archive->ReminderQuery()->Active());
  EXPECT_EQ(Archive->ReminderTimer()->Interval(), 50000u);
  EXPECT_TRUE(Archive->ReminderTimer()->Enabled());

  // A check that fails is shown once and stops the reminders.
  Exec("DROP TABLE TODO");
  Archive->CheckReminders();
  ASSERT_EQ(Boxes->Shown().size(), 1u);
  const TMessageBox box = Boxes->Shown()[0];
  EXPECT_EQ(box.HelpContext, 7305);
  EXPECT_EQ(box.Text.rfind("Fehler bei Abfrage der Tätigkeiten mit Erinnerungsfunktion. Die "
                           "automatische Erinnerung wird jetzt deaktiviert. \n\rFehlermeldung: ",
                           0),
            0u);
  EXPECT_NE(box.Text.find("TODO"), std::string::npos);
  EXPECT_FALSE(Archive->ReminderTimer()->Enabled());
  EXPECT_FALSE(Archive->ReminderQuery()->Active());
  EXPECT_EQ(popups.size(), 1u);
}

TEST_F(DkArchiveTest, ThePopupHandlerMayCloseTheArchive) {
  Exec(
      "INSERT INTO TODO (TODOID, USERNAME, HINTPOPUP, HINTDATE) VALUES "
      "(1, '', 'T', '2000-01-01')");
  FConfig->ToDoTimerInterval = 50000;
  FConfig->ToDoTimerFirstInterval = 1;
  int popups = 0;
  Archive->OnTodoPopup = [&](TDataSet&) {
    ++popups;
    Archive->Close();
  };
  Archive->Open();
  PumpUntil([&] { return popups > 0; });
  EXPECT_EQ(popups, 1);
  EXPECT_FALSE(Archive->Connected());
  EXPECT_EQ(Archive->ReminderTimer(), nullptr);
  Application->ProcessMessages();
  // Closed, a direct check neither runs nor opens the connection again.
  Archive->CheckReminders();
  EXPECT_FALSE(Archive->Connected());
  EXPECT_EQ(popups, 1);
}

TEST_F(DkArchiveTest, SavedDocumentRunsTheCommandOfItsTypesEvent) {
  OpenBoth();
  AddType("Brief");
  AddCommand("archivieren", "AfterPostNewDoc");
  AddCommand("melden", "AfterPostChangedDoc");
  AddType("Akte");
  std::vector<std::string> calls;
  Archive->OnExecuteCommand = [&](TComponent& sender, const std::string& command) {
    EXPECT_EQ(&sender, Archive);
    calls.push_back(command);
  };
  Archive->AfterPostDocument = [&](TDataSet& ds) {
    EXPECT_EQ(&ds, Archive->DocQuery());
    calls.push_back("after post");
  };

  TQuery& doc = *Archive->DocQuery();
  Archive->RefreshQueryDoc();
  // The record rules decide at the start of a post that the row is new
  // (its DOCID is empty).
  doc.Append();
  doc.FieldByName("APPLNAME").SetAsString("Brief");
  doc.Post();
  EXPECT_EQ(calls, (Rows{"archivieren", "after post"}));

  // The type table stood on another type; the document's own type counts.
  ASSERT_TRUE(Types->LocateApplName("Akte"));
  calls.clear();
  doc.Edit();
  doc.FieldByName("NAME").SetAsString("Angebot");
  doc.Post();
  EXPECT_EQ(calls, (Rows{"melden", "after post"}));

  calls.clear();
  doc.Append();
  doc.FieldByName("APPLNAME").SetAsString("Akte");
  doc.Post();
  EXPECT_EQ(calls, Rows{"after post"});

  // The document type of the current document, from its DOCTYPE letter.
  struct Case {
    const char* Letter;
    int DocType;
  };
  const Case cases[] = {{"D", 1}, {"d", 1}, {"o", 2}, {"W", 3}, {"m", 4}, {"", 0}, {"X", 0}};
  doc.Edit();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Letter);
    doc.FieldByName("DOCTYPE").SetAsString(c.Letter);
    EXPECT_EQ(Archive->GetCurrDocType(), c.DocType);
  }
  doc.FieldByName("DOCTYPE").Clear();
  EXPECT_EQ(Archive->GetCurrDocType(), dctUnknown);
  doc.Cancel();
}

TEST_F(DkArchiveTest, PartnersForgetEachOtherWhenOneGoes) {
  OpenBoth();
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME) VALUES (1, 'Brief')");
  AddType("Brief");
  Archive->RefreshQueryDoc();
  EXPECT_TRUE(Archive->IsDocApplCurrent());
  Types->Close();
  EXPECT_FALSE(Archive->IsDocApplCurrent());

  delete Types;
  EXPECT_EQ(Archive->ApplDatabase(), nullptr);
  EXPECT_FALSE(Archive->IsDocApplCurrent());
  Archive->Close();
  try {
    Archive->Open();
    ADD_FAILURE() << "opened without a partner";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Entwickler: Anwendungsdatenbank ist nicht zugeordnet");
  }

  TApplDatabase other(nullptr);
  other.SetDocArchive(Archive);
  delete Archive;
  EXPECT_EQ(other.DocArchive(), nullptr);
}

}  // namespace
}  // namespace dk
