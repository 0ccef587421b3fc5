// The archive's rules for saving and deleting documents and to-do entries.
#include <gtest/gtest.h>

#include <filesystem>

#include "db/archive.h"
#include "fti_fixture.h"
#include "settings/locations.h"
#include "sys/file_names.h"
#include "sys/file_paths.h"
#include "sys/text.h"

namespace dk {
namespace {

using test::FtiTest;
using Rows = std::vector<std::string>;

class RecordRulesTest : public FtiTest {
 protected:
  RecordRulesTest() {
    FConfig->Protocol = true;
    UserName = "Anna";
    // Document files are named after the project, as a host's placeholder
    // expansion names them.
    FConfig->DefaultFileName = "{Doc:Project}";
    Archive->OnConvertCmdStr = [this](TComponent&, const std::string& src, std::string& value) {
      value =
          ReplaceAll(src, "{Doc:Project}", Archive->DocQuery()->FieldByName("PROJECT").AsString());
      value =
          ReplaceAll(value, "{Doc:DocID}", Archive->DocQuery()->FieldByName("DOCID").AsString());
    };
    AddType("Mappe", "M", "pdf");
    AddType("Web", "W", "");
  }

  std::string Column(int docId, const std::string& column) const {
    const Rows rows =
        Select("SELECT " + column + " FROM DOCUMENT WHERE DOCID = " + std::to_string(docId));
    return rows.empty() ? "<none>" : rows.front();
  }
  Rows Protocol(int docId) const {
    return Select("SELECT USERNAME || '|' || PROTOCOL FROM DOCPRTCL WHERE DOCID = " +
                  std::to_string(docId));
  }
  std::string Docs() const { return FDir / "docs/"; }
};

TEST_F(RecordRulesTest, NewDocumentsGetNumberOwnerTypeAndFileNameByTypeLetter) {
  std::filesystem::create_directories(Docs());
  test::WriteFile(Docs() + "Akte.doc", "besetzt");
  struct Case {
    const char* Type;
    const char* FileName;
    const char* Letter;
    std::string Expected;
  };
  const Case cases[] = {
      // A taken default name gets a number; the type's extension is used.
      {"Brief", "[automatisch]", "D", Docs() + "Akte1.doc"},
      // The extension of the marker text wins over the type's.
      {"Mappe", "[automatisch].txt", "M", Docs() + "Akte.txt"},
      {"Brief", "/elsewhere/own.doc", "D", "/elsewhere/own.doc"},
      {"Notiz", "[automatisch]", "O", "(internes Dokument)"},
      {"Web", "http://example.org/", "W", "http://example.org/"},
      // An unknown type leaves DOCTYPE and the file name as they were.
      {"Unbekannt", "[automatisch]", "", "[automatisch]"},
  };
  int expectedId = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Type);
    const int id = SaveNew({{"APPLNAME", c.Type}, {"PROJECT", "Akte"}, {"FILENAME", c.FileName}});
    EXPECT_EQ(id, expectedId++);
    EXPECT_EQ(Column(id, "FILENAME"), c.Expected);
    EXPECT_EQ(Column(id, "DOCTYPE"), c.Letter);
    EXPECT_EQ(Column(id, "USERNAME"), "Anna");
    EXPECT_EQ(Column(id, "DOCGUID").size(), 38u);
  }
  EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO WHERE IDNAME = 'DOCID'"), Rows{"7"});
  EXPECT_EQ(test::Occurrences(NewLog(), "QDBP GetCurrDocType=dctUnknown"), 1);
  Wait();
}

TEST_F(RecordRulesTest, DocumentNumberFollowsCreateAndEditSettings) {
  struct Case {
    bool Create;
    bool AllowEdit;
    const char* Typed;
    bool NoUppercase;
    const char* Expected;
  };
  const Case cases[] = {
      {true, true, "", false, "#"},     {true, true, "a-7", false, "a-7"},
      {true, false, "a-7", false, "#"}, {false, false, "a-7", false, "a-7"},
      {false, false, "", false, ""},    {true, true, "a-7", true, "A-7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Typed) + (c.Create ? " create" : "") + (c.AllowEdit ? " edit" : ""));
    FConfig->CreateDocNumber = c.Create;
    FConfig->AllowEditDocNumber = c.AllowEdit;
    FConfig->NoUppercase = c.NoUppercase;
    const int id = SaveNew({{"APPLNAME", "Web"}, {"DOCNO", c.Typed}});
    const std::string expected = c.Expected == std::string("#") ? std::to_string(id) : c.Expected;
    EXPECT_EQ(Column(id, "DOCNO"), expected);
  }
  Wait();
}

TEST_F(RecordRulesTest, ACounterThatCannotBeReadCancelsTheNewDocument) {
  Exec("DROP TABLE IDENTNO");
  TQuery& doc = *Archive->DocQuery();
  doc.Append();
  doc.FieldByName("APPLNAME").SetAsString("Web");
  EXPECT_ANY_THROW(doc.Post());
  EXPECT_EQ(doc.State(), dsBrowse);
  EXPECT_EQ(BoxTexts().back().find("Dokumentdatensatz kann nicht gespeichert werden."), 0u);
  EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCUMENT"), Rows{"0"});
}

// A counter behind the data (a conversion that stopped before it set the
// counters) and a row another program stored under the number between its
// allocation and the insert: the new document ends up with a number of its
// own, and its document number, file name, index words and protocol rows
// follow that number.
TEST_F(RecordRulesTest, ANewDocumentNeverSharesItsNumberAndWhatFollowsFromIt) {
  struct TCase {
    const char* Name;
    bool CounterBehind;   // NEXTID set back by one before the add
    bool ForeignRow;      // another program stores a row under the number
    bool RepairBox;       // the box of the repaired collision
    const char* LogLine;  // expected in the error log
  };
  const TCase cases[] = {
      {"counter one behind", true, false, false,
       "stand auf 2, die Daten belegen die Nummern bis 2"},
      {"row stored under the number meanwhile", false, true, true, ""},
  };
  FConfig->CreateDocNumber = true;
  FConfig->DefaultFileName = "{Doc:Project}-{Doc:DocID}";
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Exec("DELETE FROM DOCUMENT");
    Exec("DELETE FROM DOCPRTCL");
    Exec("DELETE FROM FTIWID");
    Exec("DELETE FROM IDENTNO WHERE IDNAME = 'DOCID'");
    Boxes->Clear();
    Archive->OnCreateNewDocument = nullptr;
    SaveNew({{"APPLNAME", "Brief"}, {"PROJECT", "Akte"}, {"NOTES", "vorher"}});
    SaveNew({{"APPLNAME", "Brief"}, {"PROJECT", "Akte"}, {"NOTES", "vorher"}});
    Wait();
    if (c.CounterBehind) Exec("UPDATE IDENTNO SET NEXTID = NEXTID - 1 WHERE IDNAME = 'DOCID'");
    int foreign = 0;
    Archive->OnCreateNewDocument = [&](TComponent&) {
      Archive->AddProtocol(Archive->LastDocID, "neu angelegt");
      if (c.ForeignRow && foreign == 0) {
        foreign = Archive->LastDocID;
        Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME, DOCNO) VALUES (" + std::to_string(foreign) +
             ", 'Web', 'fremd')");
      }
    };
    const int id = SaveNew({{"APPLNAME", "Brief"},
                            {"PROJECT", "Akte"},
                            {"NOTES", "Kollision"},
                            {"FILENAME", "[automatisch]"}});
    Wait();
    EXPECT_EQ(id, c.ForeignRow ? 4 : 3);
    EXPECT_EQ(Archive->LastDocID, id);
    EXPECT_EQ(Column(id, "DOCNO"), std::to_string(id));
    EXPECT_EQ(Column(id, "FILENAME"), Docs() + "Akte-" + std::to_string(id) + ".doc");
    const Rows words = Words(id);
    EXPECT_NE(std::find(words.begin(), words.end(), "kollision"), words.end());
    EXPECT_EQ(std::find(words.begin(), words.end(), "vorher"), words.end());
    EXPECT_EQ(Protocol(id), Rows{"Anna|neu angelegt"});
    EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCUMENT"), Rows{c.ForeignRow ? "4" : "3"});
    EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO WHERE IDNAME = 'DOCID'"),
              Rows{std::to_string(id + 1)});
    if (foreign) {
      EXPECT_EQ(Column(foreign, "DOCNO"), "fremd");
      EXPECT_EQ(Words(foreign), Rows{});
      EXPECT_EQ(Protocol(foreign), Rows{});
    }
    const auto texts = BoxTexts();
    EXPECT_EQ(texts.size(), c.RepairBox ? 1u : 0u);
    if (c.RepairBox && !texts.empty()) {
      EXPECT_EQ(texts[0].find("Bei Speichern des neuen Datensatzes ist ein Indexfehler"), 0u);
    }
    if (*c.LogLine) {
      EXPECT_NE(NewLog().find(c.LogLine), std::string::npos) << NewLog();
    }
  }
}

TEST_F(RecordRulesTest, ChangedAttributesMoveTheFileKeepingItsReadOnlyAttribute) {
  FConfig->DefaultForExistingFile = true;
  std::filesystem::create_directories(Docs());
  const int id =
      SaveNew({{"APPLNAME", "Brief"}, {"PROJECT", "Akte"}, {"FILENAME", "[automatisch]"}});
  const std::string first = Docs() + "Akte.doc";
  ASSERT_EQ(Column(id, "FILENAME"), first);
  test::WriteFile(first, "Inhalt");
  SetFileReadOnly(first, 1);

  // Unchanged attributes, and a numbered variant of the default name: no move.
  Change(id, {{"NAME", "ohne Umzug"}});
  std::filesystem::rename(first, Docs() + "Akte3.doc");
  Change(id, {{"FILENAME", Docs() + "Akte3.doc"}});
  EXPECT_EQ(Column(id, "FILENAME"), Docs() + "Akte3.doc");
  EXPECT_TRUE(Protocol(id).empty());

  Change(id, {{"PROJECT", "Vertrag"}});
  const std::string moved = Docs() + "Vertrag.doc";
  EXPECT_EQ(Column(id, "FILENAME"), moved);
  EXPECT_EQ(test::ReadFile(moved), "Inhalt");
  EXPECT_FALSE(FileExists(Docs() + "Akte3.doc"));
  EXPECT_TRUE(IsFileReadOnly(moved));
  EXPECT_EQ(Protocol(id), Rows{"Anna|Datei wurde wegen Attributänderung umbenannt/verschoben"});

  // A type whose name is listed is left where it is.
  FConfig->DocTypeIgnoreDFEF = "Akte,Brief";
  Change(id, {{"PROJECT", "Liste"}});
  EXPECT_EQ(Column(id, "FILENAME"), moved);
  Wait();
}

TEST_F(RecordRulesTest, AFailedMoveIsRecordedAndLeavesTheFileAsItWas) {
  FConfig->DefaultForExistingFile = true;
  std::filesystem::create_directories(Docs());
  const std::string file = Docs() + "Akte.doc";
  test::WriteFile(file, "Inhalt");
  SetFileReadOnly(file, 1);
  const int id = SaveNew({{"APPLNAME", "Brief"}, {"PROJECT", "Akte"}, {"FILENAME", file}});
  // The new place lies below a file: no directory can be made there.
  test::WriteFile(FDir / "blocker", "");
  FConfig->DefaultFilePath = FDir / "blocker/sub/";
  Boxes->Push(mbOK);      // try again
  Boxes->Push(mbCancel);  // give up
  Change(id, {{"PROJECT", "Vertrag"}});
  EXPECT_EQ(Column(id, "FILENAME"), file);
  EXPECT_EQ(Column(id, "PROJECT"), "Vertrag");
  EXPECT_TRUE(IsFileReadOnly(file));
  std::string shown;
  for (const std::string& text : BoxTexts()) shown += text + "\n";
  EXPECT_EQ(test::Occurrences(shown, "konnte nicht kopiert/verschoben werden"), 2) << shown;
  EXPECT_EQ(Protocol(id),
            Rows{"Anna|Datei sollte wegen Attributänderung verschoben werden. Verschieben ist "
                 "gescheitert."});
  Wait();
}

TEST_F(RecordRulesTest, DeletingNeedsTheRightAndTakesDependentRowsButNotTheFile) {
  std::filesystem::create_directories(Docs());
  const std::string file = Docs() + "Akte.doc";
  test::WriteFile(file, "Inhalt");
  const int id = SaveNew({{"APPLNAME", "Brief"}, {"NAME", "Bob's Akte"}, {"FILENAME", file}});
  Exec("UPDATE DOCUMENT SET USERNAME = 'BOB' WHERE DOCID = " + std::to_string(id));
  for (const char* table : {"TODO", "DOCVERS", "DOCPRTCL", "DOCBLOBS"}) {
    const std::string key = std::string(table) == "TODO" ? "TODOID, DOCID" : "DOCID";
    const std::string values =
        std::string(table) == "TODO" ? "5, " + std::to_string(id) : std::to_string(id);
    Exec("INSERT INTO " + std::string(table) + " (" + key + ") VALUES (" + values + ")");
  }
  Wait();
  ASSERT_FALSE(Words(id).empty());
  Archive->RefreshQueryDoc();

  struct Case {
    bool AllowDeleteAll;
    bool Admin;
    const char* User;
    bool Deleted;
  };
  const Case cases[] = {{false, false, "Anna", false},
                        {false, true, "Anna", true},
                        {true, false, "Anna", true},
                        {false, false, "bob", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.User) + (c.Admin ? " admin" : "") +
                 (c.AllowDeleteAll ? " all" : ""));
    FConfig->AllowDeleteAll = c.AllowDeleteAll;
    AdminActive = c.Admin;
    UserName = c.User;
    ASSERT_TRUE(Archive->LocateDocID(id));
    EXPECT_EQ(Archive->MayDeleteDocument(), c.Deleted);
  }

  FConfig->AllowDeleteAll = false;
  AdminActive = false;
  UserName = "Anna";
  Boxes->Clear();
  ASSERT_TRUE(Archive->LocateDocID(id));
  try {
    Archive->DocQuery()->Delete();
    ADD_FAILURE() << "deleted without the right";
  } catch (const EAbort&) {
  }
  EXPECT_EQ(
      BoxTexts().front().find(
          "'Bob''s Akte' wurde nicht gelöscht, Sie dürfen nur Ihre eigenen Dokumente löschen."),
      0u);
  EXPECT_EQ(Column(id, "DOCID"), std::to_string(id));

  UserName = "bob";
  ASSERT_TRUE(Archive->LocateDocID(id));
  Archive->DocQuery()->Delete();
  Wait();
  EXPECT_EQ(Column(id, "DOCID"), "<none>");
  for (const char* table : {"TODO", "DOCVERS", "DOCPRTCL", "DOCBLOBS"})
    EXPECT_EQ(Select("SELECT COUNT(*) FROM " + std::string(table)), Rows{"0"}) << table;
  EXPECT_TRUE(Words(id).empty());
  EXPECT_TRUE(FileExists(file));
  EXPECT_NE(NewLog().find("Dokument \"" + std::to_string(id) + "\" gelöscht"), std::string::npos);
}

TEST_F(RecordRulesTest, ProtocolRowsLoseTheirQuotesAndNeedADocumentAndTheSetting) {
  Archive->AddProtocol(4, "Er sagte \"ja\" und 'nein'");
  Archive->AddProtocol(0, "kein Dokument");
  FConfig->Protocol = false;
  Archive->AddProtocol(4, "ausgeschaltet");
  EXPECT_EQ(Select("SELECT DOCID || '|' || USERNAME || '|' || PROTOCOL FROM DOCPRTCL"),
            Rows{"4|Anna|Er sagte ja und nein"});
  EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCPRTCL WHERE CREATEDATE IS NULL"), Rows{"0"});
}

TEST_F(RecordRulesTest, ToDoEntriesTakeTheirNumberFromTheCounter) {
  Exec("INSERT INTO IDENTNO (IDNAME, NEXTID) VALUES ('TODOID', 40)");
  TQuery& todo = *Archive->TodoQuery();
  todo.SetSQLText("SELECT * FROM TODO");
  todo.Open();
  for (int typed : {0, 77}) {
    todo.Append();
    todo.FieldByName("DOCID").SetAsInteger(1);
    if (typed) todo.FieldByName("TODOID").SetAsInteger(typed);
    todo.Post();
  }
  EXPECT_EQ(Select("SELECT TODOID FROM TODO ORDER BY TODOID"), (Rows{"40", "77"}));
  EXPECT_EQ(Select("SELECT NEXTID FROM IDENTNO WHERE IDNAME = 'TODOID'"), Rows{"41"});
  EXPECT_EQ(Select("SELECT COUNT(*) FROM TODO WHERE LENGTH(TODOGUID) = 38"), Rows{"2"});
}

TEST_F(RecordRulesTest, AccessRightsAreHandedToTheHostForNewAndChangedRights) {
  Archive->Close();
  FConfig->DefineAccessRights = true;
  Archive->Open();
  ASSERT_TRUE(Archive->AccessRightsMode);
  std::filesystem::create_directories(Docs());
  const std::string file = Docs() + "Akte.doc";
  test::WriteFile(file, "Inhalt");
  Rows calls;
  Archive->OnSetFileAccessRights = [&](TComponent&, const std::string& name,
                                       const std::string& rights, const std::string& owner) {
    calls.push_back(name + "|" + rights + "|" + owner);
  };
  const int id = SaveNew({{"APPLNAME", "Brief"}, {"FILENAME", file}, {"ACCESSRIGHTS", "r"}});
  Change(id, {{"NAME", "gleiche Rechte"}});
  Change(id, {{"ACCESSRIGHTS", "rw"}});
  EXPECT_EQ(calls, (Rows{file + "|r|Anna", file + "|rw|Anna"}));
  Wait();
}

}  // namespace
}  // namespace dk
