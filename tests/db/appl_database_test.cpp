#include "db/appl_database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "archive_fixture.h"
#include "data/errors.h"
#include "db/db_fields.h"

namespace dk {
namespace {

using test::ArchiveTest;
using test::Occurrences;
using Rows = std::vector<std::string>;

class ApplDatabaseTest : public ArchiveTest {
 protected:
  ApplDatabaseTest() { OpenBoth(); }

  // Posts the table; true when saved, false when the save was cancelled
  // silently.
  static bool TryPost(TDataSet& table) {
    try {
      table.Post();
      return true;
    } catch (const EAbort&) {
      return false;
    }
  }
};

TEST(DocTypeCodes, LettersMapBothWaysInEitherCase) {
  struct Case {
    char Letter;
    int DocType;
    int Preview;
  };
  const Case cases[] = {
      {'D', 1, 0}, {'d', 1, 0}, {'O', 2, 4}, {'o', 2, 4}, {'W', 3, 0}, {'w', 3, 0},
      {'M', 4, 0}, {'m', 4, 0}, {'K', 0, 1}, {'s', 0, 2}, {'A', 0, 3}, {'g', 0, 5},
      {'H', 0, 6}, {'p', 0, 7}, {'B', 0, 8}, {'X', 0, 0}, {' ', 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.Letter));
    EXPECT_EQ(DocTypeFromChar(c.Letter), c.DocType);
    EXPECT_EQ(DocPreviewFromChar(c.Letter), c.Preview);
  }
  EXPECT_EQ(std::string({DocTypeToChar(0), DocTypeToChar(1), DocTypeToChar(2), DocTypeToChar(3),
                         DocTypeToChar(4), DocTypeToChar(9)}),
            " DOWM ");
  std::string previews;
  for (int code = 0; code <= 9; ++code) previews += DocPreviewToChar(code);
  EXPECT_EQ(previews, " KSAOGHPB ");
  EXPECT_EQ(DocTypeOfField(nullptr), dctUnknown);
}

TEST_F(ApplDatabaseTest, NewTypeGetsDefaultsSymbolAndStandardCommandsWithoutChecks) {
  std::vector<std::string> pickListEvents;
  Archive->OnNewPickListItem = [&](TComponent&, TDkDBField& field) {
    pickListEvents.push_back(field.FieldName);
  };
  int modified = 0;
  Types->OnTableApplModified = [&](TDataSet& ds) {
    EXPECT_EQ(&ds, Types->TableAppl());
    ++modified;
  };

  AddType("Brief", "D");
  EXPECT_TRUE(Types->NewApplRecord);
  EXPECT_EQ(Types->TableAppl()->FieldByName("APPLIMAGE").AsBytes(), kSymbol);
  AddType("Mail", "M");
  // A new type is saved without the name and extension checks.
  AddType("", "D", "");
  EXPECT_TRUE(Boxes->Shown().empty());

  EXPECT_EQ(SelectTypes("SELECT APPLNAME, DOCTYPE, DOCPREVIEW, DOCPATH, VISIBLECMDS, EDITRIGHTS, "
                        "FILEEXT FROM APPL ORDER BY APPLNAME"),
            (Rows{"|D|K|[automatisch]|NOP|T|", "Brief|D|K|[automatisch]|NOP|T|doc",
                  "Mail|M|K|[automatisch]|OP|T|doc"}));
  // "new" of an "M" type is invisible; programs of the document kinds open
  // maximized.
  EXPECT_EQ(SelectTypes("SELECT APPLNAME, CMDNAME, CMDCAPTION, DEFAULTCMD, VISIBLE, APPLEXE, "
                        "SWSHOW, FILEASPARAM FROM APPLCMD WHERE APPLNAME <> '' "
                        "ORDER BY APPLNAME, CMDNAME"),
            (Rows{"Brief|new|Neu...|T|T||3|T", "Brief|open|Öffnen|T|T||3|T",
                  "Brief|print|Drucken...|T|T||3|T", "Mail|new|Neu...|T|F||1|T",
                  "Mail|open|Öffnen|T|T||1|T", "Mail|print|Drucken...|T|T||1|T"}));

  // The name list reaches the archive's APPLNAME pick list.
  EXPECT_EQ(Types->ApplNames, (TStringList{"Brief", "Mail", ""}));
  EXPECT_EQ(Archive->DBFields()->Find("APPLNAME")->Items, Types->ApplNames);
  EXPECT_EQ(pickListEvents, (std::vector<std::string>{"APPLNAME", "APPLNAME", "APPLNAME"}));
  EXPECT_EQ(modified, 3);
}

TEST_F(ApplDatabaseTest, ExtensionsAreStoredWithoutDotsInLowerCase) {
  struct Case {
    const char* Typed;
    const char* Stored;
  };
  const Case cases[] = {{".DOC", "doc"}, {"d.o.c", "doc"}, {"Ä.PDF", "äpdf"}, {"txt", "txt"}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Typed);
    const std::string name = "Typ" + std::to_string(++n);
    AddType(name, "D", c.Typed);
    TTable& ext = *Types->TableFileExt();
    ext.Append();
    ext.FieldByName("FILEEXT").SetAsString(c.Typed);
    ext.Post();
    EXPECT_EQ(SelectTypes("SELECT A.FILEEXT, E.FILEEXT FROM APPL A JOIN FILEEXT E ON "
                          "E.APPLNAME = A.APPLNAME WHERE A.APPLNAME = '" +
                          name + "'"),
              Rows{std::string(c.Stored) + "|" + c.Stored});
  }
}

TEST_F(ApplDatabaseTest, SavingAnExistingTypeRunsTheChecks) {
  const std::string viewer = FDir / "viewer";
  test::WriteFile(viewer, "");
  const std::string missing = FDir / "missing/viewer";
  struct Case {
    const char* What;
    std::function<void(TTable&)> Change;
    TMsgDlgBtn Answer;
    std::string Box;  // empty: no box
    bool Saved;
    const char* Row;  // DOCTYPE|DOCPREVIEW|EDITRIGHTS after the save
  };
  auto set = [](const char* column, std::string value) {
    return [column, value](TTable& t) { t.FieldByName(column).SetAsString(value); };
  };
  auto preview = [](std::string exe) {
    return [exe](TTable& t) {
      t.FieldByName("DOCPREVIEW").SetAsString("a");
      t.FieldByName("DOCPREVIEWEXE").SetAsString(exe);
    };
  };
  const Case cases[] = {
      {"blank name", set("APPLNAME", "  "), mbOK,
       "Geben Sie bitte eine Bezeichnung für die Anwendung ein.\r" + Contact(), false, "D|K|T"},
      {"document type without extension", set("FILEEXT", " . "), mbOK,
       "Geben Sie bitte die Dateiendung ein.\r" + Contact(), false, "D|K|T"},
      {"missing preview program, OK", preview(missing), mbOK,
       "Vorschauprogramm: " + missing + " nicht vorhanden.\r" + Contact(), false, "D|K|T"},
      {"missing preview program, Ignore", preview(missing), mbIgnore,
       "Vorschauprogramm: " + missing + " nicht vorhanden.\r" + Contact(), true, "D|a|T"},
      {"preview program with a placeholder", preview("{ProgramDir}viewer"), mbOK, "", true,
       "D|a|T"},
      {"existing preview program", preview(viewer), mbOK, "", true, "D|a|T"},
      {"internal type", set("DOCTYPE", "o"), mbOK, "", true, "o|K|F"},
      {"web type", set("DOCTYPE", "W"), mbOK, "", true, "W|H|T"},
      {"unknown letter", set("DOCTYPE", "X"), mbOK, "Unbekannter Dokumenttyp X\r" + Contact(), true,
       "X|K|T"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    const std::string name = "Typ" + std::to_string(++n);
    AddType(name);
    Boxes->Clear();
    TTable& appl = *Types->TableAppl();
    appl.Edit();
    c.Change(appl);
    Boxes->Push(c.Answer);
    EXPECT_EQ(TryPost(appl), c.Saved);
    EXPECT_EQ(BoxTexts(), c.Box.empty() ? Rows{} : Rows{c.Box});
    // A cancelled save leaves the row in edit mode for the user to correct.
    EXPECT_EQ(appl.State(), c.Saved ? dsBrowse : dsEdit);
    if (!c.Saved) appl.Cancel();
    EXPECT_EQ(SelectTypes("SELECT DOCTYPE, DOCPREVIEW, EDITRIGHTS FROM APPL WHERE APPLNAME = '" +
                          name + "'"),
              Rows{c.Row});
  }
  EXPECT_EQ(Occurrences(ErrorLog(), "Unbekannter Dokumenttyp X"), 1);
}

TEST_F(ApplDatabaseTest, FieldFileNameTakesTheFirstExistingAlternative) {
  const std::string a = FDir / "a.exe";
  const std::string b = FDir / "b.exe";
  const std::string comma = FDir / "x,y.exe";
  test::WriteFile(b, "");
  test::WriteFile(comma, "");
  struct Case {
    std::string Value;
    std::string Expected;
  };
  const Case cases[] = {
      {a + "," + b, b},           // only the second exists
      {a + "," + a, ""},          // none exists
      {a, a},                     // a single name is taken as it stands
      {comma, comma},             // a file whose name holds a comma
      {"\"" + b + "\"," + a, b},  // quoted items of comma text
  };
  AddType("Brief");
  TTable& appl = *Types->TableAppl();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Value);
    appl.Edit();
    appl.FieldByName("DOCPREVIEWEXE").SetAsString(c.Value);
    EXPECT_EQ(Types->GetFieldFileName(appl, "DOCPREVIEWEXE"), c.Expected);
    appl.Cancel();
  }
}

TEST_F(ApplDatabaseTest, CommandsKeepTheSummaryColumnsAndTheSymbolFileInStep) {
  AddType("Brief");
  auto summary = [&] {
    return SelectTypes("SELECT VISIBLECMDS, HASEXECEVENT FROM APPL WHERE APPLNAME = 'Brief'");
  };
  TTable& cmd = *Types->TableApplCmd();
  ASSERT_TRUE(Types->FindCommand("PRINT"));
  cmd.Edit();
  cmd.FieldByName("VISIBLE").SetAsBoolean(false);
  cmd.Post();
  EXPECT_EQ(summary(), Rows{"NO|"});

  AddCommand("ListAssociatedFiles");
  EXPECT_EQ(summary(), Rows{"NOL|"});
  EXPECT_EQ(SelectTypes("SELECT CMDCAPTION FROM APPLCMD WHERE CMDNAME = 'ListAssociatedFiles'"),
            Rows{"ListAssociatedFiles"});

  AddCommand("archivieren", "AfterPostNewDoc");
  EXPECT_EQ(summary(), Rows{"NOL|T"});
  EXPECT_EQ(Types->GetExecEventCommand("Brief", "AfterPostNewDoc"), "archivieren");
  EXPECT_EQ(Types->GetExecEventCommand("Brief", "AfterPostChangedDoc"), "");
  // HASEXECEVENT false hides the command even though its row exists.
  Types->SetApplField("HASEXECEVENT", "F");
  EXPECT_EQ(Types->GetExecEventCommand("Brief", "AfterPostNewDoc"), "");
  Types->UpdateHasExecEvent();
  EXPECT_EQ(Types->GetExecEventCommand("Brief", "AfterPostNewDoc"), "archivieren");

  // The symbol file is the program of "open", taken when the type is saved.
  ASSERT_TRUE(Types->FindCommand("open"));
  cmd.Edit();
  cmd.FieldByName("APPLEXE").SetAsString("/usr/bin/textedit");
  cmd.Post();
  TTable& appl = *Types->TableAppl();
  appl.Edit();
  appl.FieldByName("SHELLNEWVALUE").SetAsString("x");
  appl.Post();
  EXPECT_EQ(SelectTypes("SELECT ICONFILE FROM APPL"), Rows{"/usr/bin/textedit"});
  EXPECT_TRUE(Boxes->Shown().empty());

  cmd.Append();
  Boxes->Clear();
  EXPECT_THROW(cmd.Post(), EAbort);
  EXPECT_EQ(BoxTexts(), Rows{"Geben Sie bitte eine Bezeichnung für den Befehl ein.\r" + Contact()});
  cmd.Cancel();
}

TEST_F(ApplDatabaseTest, DeletingATypeTakesItsDetailsAndAsksOnlyWhenDocumentsUseIt) {
  AddType("Akte");
  AddType("Brief");
  TTable& ext = *Types->TableFileExt();
  ext.Append();
  ext.FieldByName("FILEEXT").SetAsString("rtf");
  ext.Post();
  TTable& templ = *Types->TableTemplate();
  templ.Append();
  templ.FieldByName("TEMPLATENAME").SetAsString("Standard");
  templ.Post();
  EXPECT_EQ(Types->TemplateNames, TStringList{"Standard"});
  auto details = [&](const std::string& type) {
    return SelectTypes("SELECT (SELECT COUNT(*) FROM APPLCMD WHERE APPLNAME='" + type +
                       "'), (SELECT COUNT(*) FROM FILEEXT WHERE APPLNAME='" + type +
                       "'), (SELECT COUNT(*) FROM TEMPLATE WHERE APPLNAME='" + type + "')");
  };
  ASSERT_EQ(details("Brief"), Rows{"3|1|1"});

  // A document of the type: the user is warned, No keeps everything.
  Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME) VALUES (1, 'Brief')");
  const std::string question =
      "Dem Dokumenttyp Brief sind Dokumente zugeordnet. Wenn Sie den Dokumenttyp löschen, können "
      "diese Dokumente nicht mehr bearbeitet werden. Sind Sie sicher, dass Sie Brief löschen "
      "möchten?";
  Boxes->Push(mbNo);
  EXPECT_THROW(Types->TableAppl()->Delete(), EAbort);
  EXPECT_EQ(BoxTexts(), Rows{question});
  EXPECT_EQ(details("Brief"), Rows{"3|1|1"});
  EXPECT_EQ(Application->Cursor(), crDefault);

  Boxes->Clear();
  Boxes->Push(mbYes);
  Types->TableAppl()->Delete();
  EXPECT_EQ(BoxTexts(), Rows{question});
  EXPECT_EQ(details("Brief"), Rows{"0|0|0"});
  EXPECT_EQ(details("Akte"), Rows{"3|0|0"});
  EXPECT_EQ(Types->ApplNames, TStringList{"Akte"});
  EXPECT_EQ(Types->TemplateNames, TStringList{});
  EXPECT_EQ(Archive->DBFields()->Find("APPLNAME")->Items, TStringList{"Akte"});

  // No document uses "Akte": nothing is asked.
  Boxes->Clear();
  ASSERT_TRUE(Types->LocateApplName("akte"));
  Types->TableAppl()->Delete();
  EXPECT_TRUE(Boxes->Shown().empty());
  EXPECT_EQ(details("Akte"), Rows{"0|0|0"});
  EXPECT_EQ(SelectTypes("SELECT COUNT(*) FROM APPL"), Rows{"0"});
  EXPECT_EQ(Occurrences(ErrorLog(), "Dokumenttyp Brief gelöscht"), 1);
  EXPECT_EQ(Occurrences(ErrorLog(), "Dokumenttyp Akte gelöscht"), 1);
}

TEST_F(ApplDatabaseTest, NewTypeRegistersTheTemplatesOfItsExtensionOnce) {
  const std::string dir = Common() + "Template";
  std::filesystem::create_directories(dir);
  for (const char* file : {"Angebot.doc", "Brief.DOC", "Notiz.txt"})
    test::WriteFile(dir + "/" + file, "");

  AddType("Korrespondenz", "D", "doc");
  EXPECT_EQ(SelectTypes("SELECT TEMPLATENAME, TEMPLATEFILE, TEMPLATEACTIVE FROM TEMPLATE "
                        "WHERE APPLNAME = 'Korrespondenz' ORDER BY TEMPLATENAME"),
            (Rows{"Angebot|" + dir + "/Angebot.doc|T", "Brief|" + dir + "/Brief.DOC|T"}));
  EXPECT_EQ(Types->TemplateNames, (TStringList{"Angebot", "Brief"}));
  EXPECT_EQ(Archive->DBFields()->Find("TEMPLATE")->Items, Types->TemplateNames);

  // Known by name (ignoring case) or by file, whichever matches.
  TTable& templ = *Types->TableTemplate();
  auto addTemplate = [&](const std::string& name, const std::string& file) {
    templ.Append();
    templ.FieldByName("TEMPLATENAME").SetAsString(name);
    templ.FieldByName("TEMPLATEFILE").SetAsString(file);
    templ.Post();
  };
  addTemplate("rechnung", "/elsewhere/r.doc");
  addTemplate("Vorlage V", dir + "/Vertrag.doc");
  for (const char* file : {"Rechnung.doc", "Vertrag.doc", "Memo.doc"})
    test::WriteFile(dir + "/" + file, "");
  for (int pass = 0; pass < 2; ++pass) Types->CreateTemplatesFromDir("KORRESPONDENZ", dir);
  EXPECT_EQ(SelectTypes("SELECT TEMPLATENAME, TEMPLATEFILE FROM TEMPLATE ORDER BY TEMPLATENAME"),
            (Rows{"Angebot|" + dir + "/Angebot.doc", "Brief|" + dir + "/Brief.DOC",
                  "Memo|" + dir + "/Memo.doc", "Vorlage V|" + dir + "/Vertrag.doc",
                  "rechnung|/elsewhere/r.doc"}));

  // Unknown type, missing directory, type without extension: nothing.
  AddType("Notiz", "W", "");
  Types->CreateTemplatesFromDir("Unbekannt", dir);
  Types->CreateTemplatesFromDir("Korrespondenz", dir + "/fehlt");
  Types->CreateTemplatesFromDir("Notiz", dir);
  EXPECT_EQ(SelectTypes("SELECT COUNT(*) FROM TEMPLATE"), Rows{"5"});
}

TEST_F(ApplDatabaseTest, DuplicateNamesAreRefusedWithTheTableNamed) {
  AddType("Brief");
  TTable& ext = *Types->TableFileExt();
  ext.Append();
  ext.FieldByName("FILEEXT").SetAsString("doc");
  ext.Post();
  TTable& templ = *Types->TableTemplate();
  templ.Append();
  templ.FieldByName("TEMPLATENAME").SetAsString("Standard");
  templ.Post();

  struct Case {
    TTable* Table;
    const char* Column;
    const char* Value;
    const char* Named;
  };
  const Case cases[] = {
      {Types->TableAppl(), "APPLNAME", "Brief", "des Dokumenttypen"},
      {Types->TableApplCmd(), "CMDNAME", "new", "des Befehls"},
      {Types->TableFileExt(), "FILEEXT", ".DOC", "der Dateiendung"},
      {Types->TableTemplate(), "TEMPLATENAME", "Standard", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Table->TableName());
    Boxes->Clear();
    c.Table->Append();
    c.Table->FieldByName(c.Column).SetAsString(c.Value);
    EXPECT_THROW(c.Table->Post(), EAbort);
    EXPECT_EQ(BoxTexts(), Rows{std::string("Die Bezeichnung ") + c.Named +
                               " muss eindeutig sein.Geben Sie eine Bezeichnung ein, die noch "
                               "nicht vorhanden ist.\r" +
                               Contact()});
    EXPECT_EQ(c.Table->State(), dsInsert);
    c.Table->Cancel();
  }

  // Any other error of the database fails the save as it is.
  Boxes->Clear();
  ext.Append();
  EXPECT_THROW(ext.Post(), EProviderError);
  EXPECT_TRUE(Boxes->Shown().empty());
  ext.Cancel();
  EXPECT_EQ(SelectTypes("SELECT COUNT(*) FROM APPL"), Rows{"1"});
}

TEST_F(ApplDatabaseTest, PickListsThatCannotReachTheArchiveAreLogged) {
  Archive->DBFields()->Delete("APPLNAME", false);
  AddType("Brief");
  EXPECT_EQ(Types->ApplNames, TStringList{"Brief"});
  EXPECT_EQ(Occurrences(ErrorLog(), "TApplDatabase.UpdateApplNameLists: [ApplName].LoadPickItems"),
            1);
  // A closed archive is not asked at all.
  Archive->Close();
  AddType("Akte");
  EXPECT_EQ(Types->ApplNames, (TStringList{"Brief", "Akte"}));
  EXPECT_EQ(Occurrences(ErrorLog(), "LoadPickItems"), 1);
}

}  // namespace
}  // namespace dk
