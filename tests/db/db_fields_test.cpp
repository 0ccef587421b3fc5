#include "db/db_fields.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "data/errors.h"
#include "db_fixture.h"
#include "settings/locations.h"
#include "sys/text.h"

namespace dk {
namespace {

using test::DbTest;
using Rows = std::vector<std::string>;

class DbFieldsTest : public DbTest {
 protected:
  ~DbFieldsTest() override { UserNames.Clear(); }

  // A definition appended to the open archive's collection.
  TDkDBField& Define(const std::string& name, int editStyle, bool updateList = true,
                     const std::string& filePath = "", bool globalList = false) {
    return Db->DBFields()->Add(name, name, true, true, false, 6, editStyle, updateList, filePath,
                               globalList);
  }

  Rows DocfldRows() const {
    return Select(
        "SELECT FIELDNAME, CAPTION, VISIBLE, ALLOWEMPTY, SHOWINSEARCHMENU, DBEDITTABSH, "
        "EDITSTYLE, UPDATELIST, FILEPATH, GLOBALLIST FROM DOCFLD ORDER BY rowid");
  }

  static Rows Names(const TDkDBFields& fields) {
    Rows names;
    for (int i = 0; i < fields.Count(); ++i) names.push_back(fields.Items(i).FieldName);
    return names;
  }

  std::unique_ptr<test::TTestDocDatabase> Db;
};

TEST(DbFieldRules, WhichFieldsHaveAListOfTheirOwn) {
  struct TCase {
    int EditStyle;
    const char* Name;
    bool HasItemList;
  };
  const TCase cases[] = {
      {1, "PROJECT", true},       {2, "Kunde", true},     {3, "ablage", true},
      {4, "ORDNER", true},        {0, "PROJECT", false},  {5, "PROJECT", false},
      {13, "PROJECT", false},     {1, "username", false}, {2, "ApplName", false},
      {3, "ACCESSRIGHTS", false}, {4, "Template", false}, {1, "TEMPLATES", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FieldHasItemList(c.EditStyle, c.Name), c.HasItemList) << c.EditStyle << " " << c.Name;
}

TEST(DbFieldRules, APathBringsItsMissingParentsOnce) {
  struct TCase {
    Rows Before;
    std::string Path;
    Rows After;
  };
  const TCase cases[] = {
      {{}, "C:\\Daten\\Kunden", {"C:\\", "C:\\Daten", "C:\\Daten\\Kunden"}},
      {{"C:\\Daten"},
       "C:\\Daten\\Kunden\\Nord",
       {"C:\\Daten", "C:\\Daten\\Kunden", "C:\\Daten\\Kunden\\Nord"}},
      {{},
       "\\\\server\\share\\x",
       {"\\\\", "\\\\server", "\\\\server\\share", "\\\\server\\share\\x"}},
      {{"Archiv"}, "Kunden", {"Archiv", "Kunden"}},
      {{}, "\\Daten\\Kunden", {"\\Daten", "\\Daten\\Kunden"}},
      // Paths of this platform split at "/" alike.
      {{}, "/srv/daten/kunden", {"/", "/srv", "/srv/daten", "/srv/daten/kunden"}},
      {{"/SRV"}, "/srv/daten", {"/SRV", "/srv/daten"}},
      {{}, "//server/share", {"//", "//server", "//server/share"}},
      {{}, "C:/Daten\\Kunden", {"C:/", "C:/Daten", "C:/Daten\\Kunden"}},
  };
  for (const auto& c : cases) {
    TStringList list;
    list.SetSorted(true);
    for (const auto& s : c.Before) list.Add(s);
    AddPathItem(list, c.Path);
    EXPECT_EQ(list.Items(), c.After) << c.Path;
  }
}

TEST_F(DbFieldsTest, DescriptionFileSectionsTakeTheDefaultsOfMissingKeys) {
  Db = OpenArchive();
  TDkDBFields& fields = *Db->DBFields();
  ASSERT_EQ(fields.Count(), 21);

  EXPECT_FALSE(fields.ImportFromFile(FDir / "document.fld"));
  EXPECT_EQ(fields.Count(), 21);

  test::WriteFile(Common() + "KUNDE.itm", "Meier\r\nAdam\r\n");
  test::WriteFile(FDir / "document.fld",
                  "[Projekt]\r\n"
                  "[kunde]\r\nCaption=Kunde des Auftrags\r\nVisible=0\r\nAllowEmpty=0\r\n"
                  "ShowInSearchMenu=1\r\nDBEditTabSh=2\r\nEditStyle=257\r\nUpdateList=1\r\n"
                  "FilePath=C:\\Listen\r\nGlobalList=1\r\n"
                  "[Nummer]\r\nVisible=ja\r\nDBEditTabSh=zwei\r\nEditStyle=-1\r\n");
  EXPECT_TRUE(fields.ImportFromFile(FDir / "document.fld"));
  ASSERT_EQ(Names(fields), (Rows{"PROJEKT", "KUNDE", "NUMMER"}));

  struct TExpected {
    std::string Caption;
    bool Visible, AllowEmpty, ShowInSearchMenu;
    int Tab, Style;
    bool UpdateList;
    std::string FilePath;
    bool Global;
    Rows Items;
  };
  const TExpected expected[] = {
      {"Projekt", true, true, false, 6, 0, false, "", false, {}},
      {"Kunde des Auftrags", false, false, true, 2, 1, true, "C:\\Listen", true, {"Meier", "Adam"}},
      {"Nummer", true, true, false, 6, 255, false, "", false, {}},
  };
  for (int i = 0; i < 3; ++i) {
    const TDkDBField& f = fields.Items(i);
    const TExpected& e = expected[i];
    SCOPED_TRACE(f.FieldName);
    EXPECT_EQ(f.Caption, e.Caption);
    EXPECT_EQ(f.Visible, e.Visible);
    EXPECT_EQ(f.AllowEmpty, e.AllowEmpty);
    EXPECT_EQ(f.ShowInSearchMenu, e.ShowInSearchMenu);
    EXPECT_EQ(f.DBEditTabSh, e.Tab);
    EXPECT_EQ(f.EditStyle, e.Style);
    EXPECT_EQ(f.UpdateList, e.UpdateList);
    EXPECT_EQ(f.FilePath, e.FilePath);
    EXPECT_EQ(f.GlobalList, e.Global);
    EXPECT_EQ(f.Items.Items(), e.Items);
  }
}

TEST_F(DbFieldsTest, DocfldWithoutTheOptionalColumnsAndWithoutARequiredOne) {
  Exec("DROP TABLE DOCFLD");
  Exec(
      "CREATE TABLE DOCFLD (FIELDNAME TEXT(30) NOT NULL PRIMARY KEY, CAPTION TEXT(80), "
      "VISIBLE TEXT(1), SHOWINSEARCHMENU TEXT(1), DBEDITTABSH INTEGER, EDITSTYLE INTEGER, "
      "UPDATELIST TEXT(1), FILEPATH TEXT(254))");
  Exec(
      "INSERT INTO DOCFLD VALUES ('project', 'Projekt', 'T', 'y', 3, 1, 'F', ''), "
      "('X', 'X', 'f', 'N', NULL, 300, 't', 'p')");
  Exec(
      "INSERT INTO ITEMLISTS VALUES ('Project', 'Alpha' || char(13, 10) || 'Beta' || "
      "char(13, 10))");
  Db = OpenArchive();
  const TDkDBFields& fields = *Db->DBFields();
  ASSERT_EQ(Names(fields), (Rows{"PROJECT", "X"}));
  const TDkDBField& project = fields.Items(0);
  EXPECT_TRUE(project.Visible);
  EXPECT_TRUE(project.ShowInSearchMenu);
  EXPECT_TRUE(project.AllowEmpty);
  EXPECT_FALSE(project.GlobalList);
  EXPECT_EQ(project.DBEditTabSh, 3);
  EXPECT_EQ(project.Items.Items(), (Rows{"Alpha", "Beta"}));  // from ITEMLISTS
  const TDkDBField& x = fields.Items(1);
  EXPECT_FALSE(x.Visible);
  EXPECT_FALSE(x.ShowInSearchMenu);
  EXPECT_TRUE(x.UpdateList);
  EXPECT_EQ(x.DBEditTabSh, 0);
  EXPECT_EQ(x.EditStyle, 300 % 256);

  Db->Close();
  Exec("ALTER TABLE DOCFLD DROP COLUMN CAPTION");
  try {
    Db->Open();
    ADD_FAILURE() << "opened without CAPTION";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("Field 'CAPTION' not found"), std::string::npos)
        << e.what();
  }
}

TEST_F(DbFieldsTest, PickListsComeFromTheirSources) {
  const std::string dir = FDir / "Vor lagen";
  std::filesystem::create_directories(dir);
  for (const char* name : {"b.DOC", "a.doc", "c.txt", "d.xls"})
    test::WriteFile(dir + "/" + name, "");
  test::WriteFile(Common() + "GLOBAL.itm", "Eins\r\nZwei\r\n");
  Exec("INSERT INTO ITEMLISTS VALUES ('lokal', 'L1' || char(13, 10) || 'L2')");
  UserNames.Add("anna");
  UserNames.Add("bert");
  Db = OpenArchive();
  Db->DocTypeNames = TStringList{"Brief", "Fax"};

  struct TCase {
    const char* Name;
    int Style;
    std::string FilePath;
    bool Global;
    Rows Items;
  };
  const std::string quoted = "\"" + dir + "\"";
  const TCase cases[] = {
      {"LOKAL", 1, "", false, {"L1", "L2"}},
      {"NEU", 2, "", false, {}},
      {"GLOBAL", 3, "", true, {"Eins", "Zwei"}},
      {"FEHLT", 4, "", true, {}},
      {"DOKS", 13, quoted + ", *.doc;*.txt ,Name", false, {"a", "b", "c"}},
      {"DOKS", 13, quoted + ",*.txt,filename", false, {dir + "/c.txt"}},
      {"DOKS", 13, quoted + ",*.xls,Liste", false, {"d.xls"}},
      {"USERNAME", 1, "", false, {"anna", "bert"}},
      {"APPLNAME", 1, "", false, {"Brief", "Fax"}},
      {"TEMPLATE", 1, "", false, {}},
      {"ACCESSRIGHTS", 1, "", false, {}},
      {"LOKAL", 0, "", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " " + c.FilePath);
    TDkDBField& f = Define(c.Name, c.Style, false, c.FilePath, c.Global);
    EXPECT_EQ(f.Items.Items(), c.Items);
    f.LoadPickItems();
    EXPECT_EQ(f.Items.Items(), c.Items);
  }
  EXPECT_EQ(test::Occurrences(ErrorLog(), "fehlerhafte Dateimaske"), 0);

  Define("DOKS", 13, false, quoted + ",*.doc");
  EXPECT_EQ(test::Occurrences(ErrorLog(), "]: Feld DOKS: fehlerhafte Dateimaske\r\n"), 1);
}

TEST_F(DbFieldsTest, AddItemToPickListIgnoresCaseAndATrailingBackslash) {
  Db = OpenArchive();
  struct TCase {
    int Style;
    bool UpdateList;
    Rows Before;
    std::string Item;
    bool Added;
    Rows After;
  };
  const TCase cases[] = {
      {1, true, {"beta", "Alpha"}, "ALPHA", false, {"beta", "Alpha"}},
      {2, true, {"beta", "Alpha"}, "Gamma\\", true, {"Alpha", "beta", "Gamma"}},
      {1, true, {"Alpha"}, "alpha\\", false, {"Alpha"}},
      {1, true, {"Müller"}, "MÜLLER", false, {"Müller"}},
      {3, true, {"C:\\Daten"}, "c:\\daten\\", false, {"C:\\Daten"}},
      {4, true, {}, "C:\\Daten\\Kunden\\", true, {"C:\\", "C:\\Daten", "C:\\Daten\\Kunden"}},
      {3, true, {"/srv/daten"}, "/SRV/Daten/", false, {"/srv/daten"}},
      {3, true, {}, "/srv/daten/", true, {"/", "/srv", "/srv/daten"}},
      {3, true, {"/srv"}, "/", true, {"/", "/srv"}},
      {1, true, {"a/b"}, "A/B/", false, {"a/b"}},
      {1, false, {}, "x", false, {}},
      {0, true, {}, "x", false, {}},
      {13, true, {"b", "a"}, "c", false, {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Style) + " " + c.Item);
    TDkDBField& f = Define("F", c.Style, c.UpdateList, "x,y,z");
    f.Items = TStringList();
    for (const auto& s : c.Before) f.Items.Add(s);
    EXPECT_EQ(f.AddItemToPickList(c.Item, false), c.Added);
    EXPECT_EQ(f.Items.Items(), c.After);
  }
  EXPECT_EQ(test::Occurrences(ErrorLog(), "]: AddItemToPickList: ItemList missing for field \"F\""),
            1);
  EXPECT_EQ(Select("SELECT * FROM ITEMLISTS"), Rows{});
}

TEST_F(DbFieldsTest, AStoredItemGoesToItsListAndIsAnnounced) {
  test::WriteFile(Common() + "KUNDE.itm", "Meier\r\n");
  Db = OpenArchive();
  std::vector<std::string> announced;
  Db->OnNewPickListItem = [&](TComponent&, TDkDBField& f) { announced.push_back(f.FieldName); };

  TDkDBField& local = Define("Ablage", 1);
  EXPECT_TRUE(local.AddItemToPickList("Nord", true));
  EXPECT_TRUE(local.AddItemToPickList("Ost", true));
  EXPECT_FALSE(local.AddItemToPickList("nord", true));
  EXPECT_EQ(Select("SELECT ITMNAME, ITMLIST FROM ITEMLISTS"), Rows{"ABLAGE|Nord\r\nOst\r\n"});
  EXPECT_FALSE(Db->ItemListTable()->Active());

  TDkDBField& global = Define("kunde", 1, true, "", true);
  EXPECT_EQ(global.Items.Items(), Rows{"Meier"});
  EXPECT_TRUE(global.AddItemToPickList("Adam", true));
  EXPECT_EQ(test::ReadFile(Common() + "KUNDE.itm"), "Adam\r\nMeier\r\n");
  EXPECT_EQ(test::ReadFile(Common() + "KUNDE.~itm"), "Meier\r\n");
  EXPECT_EQ(announced, (Rows{"ABLAGE", "ABLAGE", "KUNDE"}));
}

TEST_F(DbFieldsTest, TheCollectionKeepsItsOrderAndFindsTheFirstOfAName) {
  Db = OpenArchive();
  TDkDBFields fields(*Db);
  fields.Clear();
  fields.Add("x", "Erstes", true, true, false, 6, 0, false, "", false);
  fields.Add("Y", "Zweites", false, true, false, 6, 0, false, "", false);
  fields.AddCopy(*fields.Find("X"), "z");
  fields.AddCopy(*fields.Find("y"));
  EXPECT_EQ(Names(fields), (Rows{"X", "Y", "Z", "Y"}));
  EXPECT_EQ(fields.Find("Z")->Caption, "Erstes");
  EXPECT_EQ(fields.IndexOf("y"), 1);
  EXPECT_EQ(fields.Find("nix"), nullptr);
  fields.Delete("y", false);
  EXPECT_EQ(Names(fields), (Rows{"X", "Z", "Y"}));
  fields.Delete("nix", false);
  EXPECT_EQ(fields.Count(), 3);
}

TEST_F(DbFieldsTest, SaveAllWritesTheCollectionAndRestoresTheCursorRule) {
  Db = OpenArchive();
  TDkDBFields& fields = *Db->DBFields();
  fields.Clear();
  fields.Add("PROJECT", "Pro'jekt", true, false, true, 3, 1, true, "C:\\x", false);
  fields.Add("NOTES", "Notizen", false, true, false, 6, 0, false, "", true);
  fields.Add("ABLAGE", "Ablage", true, true, false, 2, 4, false, "", false);
  const Rows expected = {"PROJECT|Pro'jekt|T|F|T|3|1|T|C:\\x|F", "NOTES|Notizen|F|T|F|6|0|F||T",
                         "ABLAGE|Ablage|T|T|F|2|4|F||F"};

  for (int round = 0; round < 2; ++round) {
    Application->SetCursor(crHourGlass);
    fields.SaveAll(Db->Connection());
    EXPECT_EQ(Application->Cursor(), crDefault);
    EXPECT_EQ(DocfldRows(), expected);
  }
  EXPECT_TRUE(Boxes->Shown().empty());
  EXPECT_FALSE(Db->Connection().InTransaction());

  // A second definition of one name cannot be stored: nothing changes.
  fields.Add("NOTES", "Doppelt", true, true, false, 6, 0, false, "", false);
  Application->SetCursor(crHourGlass);
  fields.SaveAll(Db->Connection());
  EXPECT_EQ(Application->Cursor(), crHourGlass);
  EXPECT_FALSE(Db->Connection().InTransaction());
  EXPECT_EQ(DocfldRows(), expected);
  const auto texts = BoxTexts();
  ASSERT_EQ(texts.size(), 1u);
  const std::string head =
      "Fehler beim Speichern von \"'NOTES','Doppelt','T','T','F',6,0,'F','','F'\" in Tabelle "
      "\"DOCFLD\".";
  EXPECT_TRUE(texts[0].starts_with(head)) << texts[0];
  EXPECT_GT(texts[0].size(), head.size() + 1);
  EXPECT_NE(ErrorLog().find(head), std::string::npos);

  // What was saved loads back unchanged.
  TDkDBFields loaded(*Db);
  ASSERT_EQ(Names(loaded), (Rows{"PROJECT", "NOTES", "ABLAGE"}));
  EXPECT_EQ(loaded.Items(0).Caption, "Pro'jekt");
  EXPECT_FALSE(loaded.Items(0).AllowEmpty);
  EXPECT_TRUE(loaded.Items(1).GlobalList);
}

// The values are bound, so any text goes in and comes back as it was: quote
// characters, a NUL, a caption of a legacy file in any length.
TEST_F(DbFieldsTest, SaveAllStoresAnyTextAsItIs) {
  Db = OpenArchive();
  TDkDBFields& fields = *Db->DBFields();
  fields.Clear();
  const std::string caption = std::string("Bemer") + '\0' + "kung \"O'Neil\" -- ;";
  const std::string path = std::string(300, 'x') + "\\'; DROP TABLE DOCFLD; --";
  fields.Add("NOTES", caption, true, true, false, 6, 2, false, path, false);
  fields.SaveAll(Db->Connection());
  EXPECT_TRUE(Boxes->Shown().empty());
  TDkDBFields loaded(*Db);
  ASSERT_EQ(loaded.Count(), 1);
  EXPECT_EQ(loaded.Items(0).Caption, caption);
  EXPECT_EQ(loaded.Items(0).FilePath, path);
  EXPECT_EQ(loaded.Items(0).EditStyle, 2);

  loaded.Delete("notes", true);
  EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCFLD"), Rows{"0"});
}

TEST_F(DbFieldsTest, DeletingAStoredDefinitionAsksAboutItsPickList) {
  struct TCase {
    const char* Name;
    TMsgDlgBtn Answer;
    bool Asked;
    Rows ListsAfter;
  };
  const TCase cases[] = {
      {"project", mbYes, true, {"STATE"}},
      {"PROJECT", mbNo, true, {"PROJECT", "STATE"}},
      {"CATEGORY", mbYes, false, {"PROJECT", "STATE"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + (c.Answer == mbYes ? " yes" : " no"));
    std::filesystem::remove(ArchiveFile);
    CreateEmptyArchive(ArchiveFile);
    Exec("INSERT INTO ITEMLISTS VALUES ('PROJECT', 'a'), ('STATE', 'b')");
    Db = OpenArchive();
    Boxes->Clear();
    Boxes->Push(c.Answer);
    Db->DBFields()->Delete(c.Name, true);
    EXPECT_EQ(Db->DBFields()->Find(c.Name), nullptr);
    EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCFLD WHERE FIELDNAME='" + AnsiUpperCase(c.Name) + "'"),
              Rows{"0"});
    EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCFLD"), Rows{"20"});
    EXPECT_EQ(Select("SELECT ITMNAME FROM ITEMLISTS ORDER BY ITMNAME"), c.ListsAfter);
    const auto shown = Boxes->Shown();
    ASSERT_EQ(shown.size(), c.Asked ? 1u : 0u);
    if (c.Asked) {
      EXPECT_EQ(shown[0].Text, "Soll auch die Auswahlliste gelöscht werden?");
      EXPECT_EQ(shown[0].Type, mtConfirmation);
      EXPECT_EQ(shown[0].Buttons, mbYes | mbNo);
    }
    EXPECT_FALSE(Db->ItemListTable()->Active());
    Db.reset();
  }

  // The collection alone, and a failure of the stored part.
  Db = OpenArchive();
  Db->DBFields()->Delete("STATE", false);
  EXPECT_EQ(Select("SELECT COUNT(*) FROM DOCFLD"), Rows{"20"});
  Db->Connection().Execute("DROP TABLE ITEMLISTS");
  Db->DBFields()->Delete("NAME", true);
  EXPECT_EQ(test::Occurrences(ErrorLog(), "]: Error while deleting from DOCFLD or ITEMLISTS\r\n"),
            1);
}

}  // namespace
}  // namespace dk
