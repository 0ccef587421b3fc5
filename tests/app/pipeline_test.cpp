// The whole conversion on generated legacy archives: the target database,
// the layout file, the options, the pick lists and the run log.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <regex>

#include "app/main_window.h"
#include "db/util/archive_schema.h"
#include "legacy_archive.h"
#include "px_writer.h"
#include "support/settings_sandbox.h"
#include "sys/string_list.h"
#include "sys/text.h"
#include "ui/message_box.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// Every file below `dir` with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().string()] = test::ReadFile(e.path().string());
  return files;
}

// Rows of one SQL query as "a|b|c" lines.
std::vector<std::string> Rows(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  EXPECT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(h) << " in " << sql;
  } else {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i) row += '|';
        if (const auto* t = sqlite3_column_text(st, i)) row += reinterpret_cast<const char*>(t);
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(h);
  return rows;
}

std::string One(const std::string& db, const std::string& sql) {
  const auto rows = Rows(db, sql);
  return rows.empty() ? std::string("<none>") : rows.front();
}

class PipelineTest : public test::SettingsTest {
 protected:
  void SetUp() override {
    WriteMachine();
    auto a = std::make_unique<TScriptedAnswerer>();
    FAnswerer = a.get();
    FPrevious = SetBoxAnswerer(std::move(a));
    FSource = FDir / "archive/legacy";
    FTarget = FDir / "ziel.db";
    CreateEmptyArchive(FTarget);
  }
  void TearDown() override { SetBoxAnswerer(std::move(FPrevious)); }

  // Runs the program as the product starts it; returns the run log's lines.
  TStringList Convert() {
    const auto before = Snapshot(FSource);
    {
      TApplication app;
      TFormArcport5Main form(nullptr, {FSource, FTarget});
      form.Show();
      app.Run();
    }
    EXPECT_EQ(Snapshot(FSource), before) << "the legacy archive was changed";
    TStringList log;
    log.LoadFromFile(FDir / "ziel.log");
    return log;
  }

  // Replaces the legacy DOCUMENT by one with `fields` and one row per entry
  // of `texts` (DOCID ascending; every text field gets the text).
  void WriteDocumentTable(const std::vector<TPxWriteField>& fields, int rows) {
    fs::remove(FSource + "/DOCUMENT.DB");
    fs::remove(FSource + "/DOCUMENT.MB");
    TPxTableWriter w(FSource + "/DOCUMENT.DB", fields);
    for (int r = 1; r <= rows; ++r) {
      for (int i = 0; i < w.FieldCount(); ++i) {
        switch (fields[static_cast<size_t>(i)].Type) {
          case 'I':
            w.SetInteger(i, r);
            break;
          case 'A':
          case 'M':
            w.SetText(i, fields[static_cast<size_t>(i)].Name + " " + std::to_string(r));
            break;
          case '#':
            w.SetBcd(i, "12.50");
            break;
          default:
            break;
        }
      }
      w.Post();
    }
    w.Close();
  }

  TScriptedAnswerer* FAnswerer = nullptr;
  std::unique_ptr<TBoxAnswerer> FPrevious;
  std::string FSource;
  std::string FTarget;
};

TEST_F(PipelineTest, ConvertsAGeneratedArchive) {
  const TLegacyArchiveCounts counts = WriteLegacyArchive(FSource);
  const TStringList log = Convert();
  EXPECT_TRUE(FAnswerer->Shown().empty());

  // The run log, line by line.
  const std::string src = FSource + "/";
  const std::string layout = Common() + "Layouts/ziel.lay";
  std::vector<std::string> expected = {
      "<stamp> Konvertiere altes Archiv " + src + " nach " + FTarget,
      "Ermittle Datensatzanzahl der Quelle...",
      "öffne " + FTarget,
      "öffne document.db",
      "nicht-Standard Datenfelder...",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD MYNAMES TEXT(80)",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD KUNDE TEXT(40)",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD ABTEILUNG TEXT(30)",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD BETRAG MONEY",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD SEITEN SMALLINT",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD FAELLIG DATETIME",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD ERLEDIGT TEXT(1)",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD VORGANGNR INTEGER",
      "SQL für neues Feld: ALTER TABLE DOCUMENT ADD GEWICHT FLOAT",
      "Feldbeschreibungen importieren..." + src + "document.fld",
      "kopiere Layout \"" + src + "document.lay\" nach \"" + layout + "\"",
      "Daten kopieren",
      "Daten übernehmen, Tabelle DOCUMENT",
      std::to_string(counts.Document) + " Datensätze bearbeitet",
      "kopiere RTFTEXT von DOCBLOBS nach DOCUMENT",
      std::to_string(counts.DocBlobs) + " Datensätze bearbeitet",
  };
  for (const char* table : {"DOCVERS", "TODO", "DOCPRTCL", "FTIWORD", "FTIWID"}) {
    expected.push_back(std::string("Daten übernehmen, Tabelle: ") + table);
    const int64_t n = std::string(table) == "DOCVERS"    ? counts.DocVers
                      : std::string(table) == "TODO"     ? counts.Todo
                      : std::string(table) == "DOCPRTCL" ? counts.DocPrtcl
                      : std::string(table) == "FTIWORD"  ? counts.FtiWord
                                                         : counts.FtiWid;
    expected.push_back(std::to_string(n) + " Datensätze bearbeitet");
  }
  expected.push_back("Import/Konvertierung abgeschlossen");
  ASSERT_EQ(log.Count(), static_cast<int>(expected.size())) << log.Text();
  const std::regex stamp(R"(^\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d  an [^\]]+\])");
  EXPECT_TRUE(std::regex_search(log[0], stamp)) << log[0];
  EXPECT_EQ(std::regex_replace(log[0], stamp, "<stamp>"), expected[0]);
  for (int i = 1; i < log.Count(); ++i) EXPECT_EQ(log[i], expected[static_cast<size_t>(i)]);

  // The data: renamed columns, fresh GUIDs, RTF texts with their quotes.
  EXPECT_EQ(One(FTarget, "SELECT COUNT(*), COUNT(DISTINCT DOCGUID) FROM DOCUMENT"),
            std::to_string(counts.Document) + "|" + std::to_string(counts.Document));
  EXPECT_EQ(One(FTarget, "SELECT COUNT(*) FROM DOCUMENT WHERE DOCNO IS NULL OR MYNAMES IS NULL"),
            "0");
  for (int64_t id : {1, 2, 3}) {
    EXPECT_EQ(
        One(FTarget, "SELECT COALESCE(RTFTEXT,'') FROM DOCUMENT WHERE DOCID=" + std::to_string(id)),
        LegacyRtfText(5, id));
  }
  EXPECT_EQ(One(FTarget, "SELECT COUNT(*), COUNT(DISTINCT TODOGUID) FROM TODO"),
            std::to_string(counts.Todo) + "|" + std::to_string(counts.Todo));
  EXPECT_EQ(One(FTarget, "SELECT COUNT(*) FROM FTIWID"), std::to_string(counts.FtiWid));
  // FLDTEMPL got the same extra columns.
  EXPECT_NE(One(FTarget, "SELECT sql FROM sqlite_master WHERE name='FLDTEMPL'").find("MYNAMES"),
            std::string::npos);
  // Counters above the copied maxima.
  EXPECT_EQ(One(FTarget, "SELECT NEXTID FROM IDENTNO WHERE IDNAME='DOCID'"),
            std::to_string(counts.Document + 1));

  // Field definitions: NUMBER became DOCNO (required through reqfield.itm's
  // legacy line NUMBER), NAMES became MYNAMES with its local list.
  EXPECT_EQ(
      One(FTarget, "SELECT COUNT(*) FROM DOCFLD WHERE FIELDNAME IN ('NUMBER','NOTE','NAMES')"),
      "0");
  EXPECT_EQ(One(FTarget, "SELECT ALLOWEMPTY FROM DOCFLD WHERE FIELDNAME='DOCNO'"), "F");
  EXPECT_EQ(One(FTarget, "SELECT ALLOWEMPTY FROM DOCFLD WHERE FIELDNAME='NAME'"), "F");
  EXPECT_EQ(One(FTarget, "SELECT GLOBALLIST FROM DOCFLD WHERE FIELDNAME='MYNAMES'"), "F");
  EXPECT_NE(One(FTarget, "SELECT ITMLIST FROM ITEMLISTS WHERE ITMNAME='MYNAMES'").find("Müller"),
            std::string::npos);
  EXPECT_NE(One(FTarget, "SELECT ITMLIST FROM ITEMLISTS WHERE ITMNAME='KUNDE'"), "<none>");
  // PROJECT.itm lies only in the parent directory: a global list.
  EXPECT_EQ(One(FTarget, "SELECT GLOBALLIST FROM DOCFLD WHERE FIELDNAME='PROJECT'"), "T");
  EXPECT_TRUE(fs::exists(Common() + "PROJECT.itm"));

  // The layout and the options.
  const std::string lay = test::ReadFile(layout);
  EXPECT_EQ(lay.find(",Doc,NUMBER,"), std::string::npos);
  EXPECT_NE(lay.find(",Doc,MYNAMES,"), std::string::npos);
  EXPECT_EQ(One(FTarget, "SELECT OPTVALUE FROM DBOPTION WHERE OPTNAME='LayoutFile'"), layout);
  const std::string converted =
      One(FTarget, "SELECT OPTVALUE FROM DBOPTION WHERE OPTNAME='Converted'");
  EXPECT_TRUE(
      std::regex_match(converted, std::regex(R"(\[.*  an .*\]converted from paradox archive)")))
      << converted;
}

TEST_F(PipelineTest, SideFilesMissingEverywhere) {
  TLegacyArchiveOptions options;
  options.SideFiles = false;
  WriteLegacyArchive(FSource, options);
  const std::string before =
      One(FTarget, "SELECT GROUP_CONCAT(FIELDNAME || ALLOWEMPTY) FROM DOCFLD");
  const TStringList log = Convert();
  EXPECT_GE(log.IndexOf("*** Pflichtfeld-Definitionen konnten nicht übernommen werden ***"), 0);
  // No description file: the target's definitions stay (with the renames'
  // successors), none became required.
  EXPECT_EQ(One(FTarget, "SELECT COUNT(*) FROM DOCFLD WHERE ALLOWEMPTY='F'"),
            One(FDir / "ziel.db", "SELECT COUNT(*) FROM DOCFLD WHERE ALLOWEMPTY='F'"));
  EXPECT_NE(before, "<none>");
  // No layout: the copy's error box, no option.
  ASSERT_EQ(FAnswerer->Shown().size(), 1u);
  EXPECT_EQ(FAnswerer->Shown()[0].Type, mtError);
  EXPECT_EQ(One(FTarget, "SELECT COUNT(*) FROM DBOPTION WHERE OPTNAME='LayoutFile'"), "0");
  EXPECT_EQ(log[log.Count() - 1], "Import/Konvertierung abgeschlossen");
}

TEST_F(PipelineTest, OnlyStandardColumnsAddNothing) {
  WriteLegacyArchive(FSource);
  WriteDocumentTable({{"DOCID", 'I', 0},
                      {"APPLNAME", 'A', 100},
                      {"NUMBER", 'A', 20},
                      {"NAME", 'A', 50},
                      {"NOTE", 'M', 40}},
                     3);
  const TStringList log = Convert();
  for (const std::string& line : log.Items())
    EXPECT_EQ(line.find("SQL für neues Feld: "), std::string::npos) << line;
  EXPECT_EQ(One(FTarget, "SELECT DOCNO, NOTES FROM DOCUMENT WHERE DOCID=2"), "NUMBER 2|NOTE 2");
}

TEST_F(PipelineTest, ColumnWithoutTargetTypeEndsTheRunButKeepsTheLog) {
  WriteLegacyArchive(FSource);
  WriteDocumentTable(
      {{"DOCID", 'I', 0}, {"NUMBER", 'A', 20}, {"KUNDE", 'A', 40}, {"BETRAG", '#', 2}}, 2);
  const TStringList log = Convert();
  const int banner = log.IndexOf("******************* Fehler *********************");
  ASSERT_GE(banner, 0) << log.Text();
  EXPECT_EQ(log[banner - 1], "SQL für neues Feld: ALTER TABLE DOCUMENT ADD BETRAG ");
  ASSERT_EQ(banner + 2, log.Count());
  ASSERT_EQ(FAnswerer->Shown().size(), 1u);
  EXPECT_EQ(FAnswerer->Shown()[0].Text, log[banner + 1]);
  // What was done before the failure stays: the column added before it.
  EXPECT_NE(One(FTarget, "SELECT sql FROM sqlite_master WHERE name='DOCUMENT'").find("KUNDE"),
            std::string::npos);
}

TEST_F(PipelineTest, LayoutNameIsMadeUnique) {
  WriteLegacyArchive(FSource);
  fs::create_directories(Common() + "Layouts");
  test::WriteFile(Common() + "Layouts/ziel.lay", "belegt");
  Convert();
  EXPECT_EQ(test::ReadFile(Common() + "Layouts/ziel.lay"), "belegt");
  EXPECT_EQ(One(FTarget, "SELECT OPTVALUE FROM DBOPTION WHERE OPTNAME='LayoutFile'"),
            Common() + "Layouts/ziel1.lay");
}

// Texts longer than the 254 characters the column types allow arrive whole:
// a 255-character Alpha value with umlauts in MYNAMES and in an extra column,
// and a layout path beyond 254 characters in the option LayoutFile. The
// column types stay capped.
TEST_F(PipelineTest, LongTextsArriveWhole) {
  std::string longText;
  while (Utf8Length(longText) < 255) longText += "Jürgen Müller-Lüdenscheidt & Söhne; ";
  longText = Utf8Left(longText, 255);
  std::string common = Common();
  while (common.size() <= 254) common += "Gemeinsame Dateien für alle Arbeitsplätze/";
  WriteHive(true, "\"CommonFilesPath\"=\"" + common + "\"\n");
  WriteLegacyArchive(FSource);
  fs::remove(FSource + "/DOCUMENT.MB");
  {
    TPxTableWriter w(FSource + "/DOCUMENT.DB",
                     ParsePxFieldList("DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A255,"
                                      "KUNDE:A255"));
    w.SetInteger(0, 1);
    w.SetText(1, "Brief");
    w.SetText(2, "A-1");
    w.SetText(4, longText);
    w.SetText(5, longText);
    w.Post();
  }
  const TStringList log = Convert();
  EXPECT_GE(log.IndexOf("SQL für neues Feld: ALTER TABLE DOCUMENT ADD MYNAMES TEXT(254)"), 0);
  EXPECT_GE(log.IndexOf("SQL für neues Feld: ALTER TABLE DOCUMENT ADD KUNDE TEXT(254)"), 0);
  EXPECT_EQ(log[log.Count() - 1], "Import/Konvertierung abgeschlossen");
  EXPECT_EQ(One(FTarget, "SELECT MYNAMES FROM DOCUMENT"), longText);
  EXPECT_EQ(One(FTarget, "SELECT KUNDE FROM DOCUMENT"), longText);
  const std::string layout = common + "Layouts/ziel.lay";
  EXPECT_EQ(One(FTarget, "SELECT OPTVALUE FROM DBOPTION WHERE OPTNAME='LayoutFile'"), layout);
  EXPECT_TRUE(fs::exists(layout));
}

// NUL bytes in side files (the field descriptions, a pick list) are dropped
// where the files are read, each file named once in the error log; the
// values around them arrive.
TEST_F(PipelineTest, NulBytesInSideFilesAreDroppedAndReported) {
  WriteLegacyArchive(FSource);
  const auto insertNul = [](const std::string& file, const std::string& before) {
    std::string bytes = test::ReadFile(file);
    const size_t at = bytes.find(before);
    ASSERT_NE(at, std::string::npos) << before;
    bytes.insert(at, std::string(2, '\0'));
    test::WriteFile(file, bytes);
  };
  insertNul(FSource + "/document.fld", "merkung");  // Caption=Be..merkung of NOTE
  insertNul(FSource + "/document.fld", "Kunde");    // Caption=..Kunde of KUNDE
  insertNul(FSource + "/NAMES.itm", "ller");
  const TStringList log = Convert();
  EXPECT_EQ(log[log.Count() - 1], "Import/Konvertierung abgeschlossen");
  EXPECT_TRUE(FAnswerer->Shown().empty());
  EXPECT_EQ(One(FTarget, "SELECT CAPTION FROM DOCFLD WHERE FIELDNAME='NOTES'"), "Bemerkung");
  EXPECT_EQ(One(FTarget, "SELECT CAPTION FROM DOCFLD WHERE FIELDNAME='KUNDE'"), "Kunde");
  const std::string items = One(FTarget, "SELECT ITMLIST FROM ITEMLISTS WHERE ITMNAME='MYNAMES'");
  EXPECT_NE(items.find("Müller"), std::string::npos) << items;
  EXPECT_EQ(items.find('\0'), std::string::npos);

  TStringList errors;
  errors.LoadFromFile(Common() + "Error.log");
  std::vector<std::string> nulLines;
  for (const std::string& line : errors.Items())
    if (line.find("NUL") != std::string::npos)
      nulLines.push_back(line.substr(line.find("]: ") + 3));
  EXPECT_EQ(nulLines,
            (std::vector<std::string>{
                "Die Datei \"" + FSource +
                    "/document.fld\" enthält 4 NUL-Zeichen; sie wurden beim Lesen "
                    "entfernt.",
                "Die Datei \"" + FSource +
                    "/NAMES.itm\" enthält 2 NUL-Zeichen; sie wurden beim Lesen entfernt."}));
}

TEST(LayoutRewrite, FirstOccurrenceIgnoringCase) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"Edit1,Doc,NUMBER,Left=8", "Edit1,Doc,DOCNO,Left=8"},
      {"edit1,doc,number,x", "edit1,Doc,DOCNO,x"},
      {"M,Doc,NOTE,a,Doc,NOTE,b", "M,Doc,NOTES,a,Doc,NOTE,b"},
      {"C,Doc,NAMES,", "C,Doc,MYNAMES,"},
      {"C,Doc,NUMBERS,", "C,Doc,NUMBERS,"},
      {"Label,Doc,NAME,", "Label,Doc,NAME,"},
  };
  for (const auto& c : cases) EXPECT_EQ(RewriteLayoutLine(c.in), c.out);

  test::TTempDir dir;
  // Legacy bytes (Windows-1252) and mixed line ends survive untouched.
  test::WriteFile(dir / "a.lay",
                  "L,Doc,NOTE,Gr\xF6\xDF"
                  "e\r\nX,Doc,NUMBER,\nEnde");
  RewriteLayoutFile(dir / "a.lay");
  EXPECT_EQ(test::ReadFile(dir / "a.lay"),
            "L,Doc,NOTES,Gr\xF6\xDF"
            "e\r\nX,Doc,DOCNO,\nEnde");
}

class SupportFileTest : public test::SettingsTest {};

TEST_F(SupportFileTest, SearchOrder) {
  const std::string root = FDir / "a";
  fs::create_directories(root + "/b/src");
  const std::string src = root + "/b/src/";
  // Without the key: source, parent, grandparent; names ignoring case.
  test::WriteFile(root + "/REQFIELD.ITM", "x");
  EXPECT_EQ(FindSupportFile("reqfield.itm", src), root + "/REQFIELD.ITM");
  test::WriteFile(root + "/b/reqfield.itm", "x");
  EXPECT_EQ(FindSupportFile("reqfield.itm", src), root + "/b/reqfield.itm");
  test::WriteFile(src + "reqfield.itm", "x");
  EXPECT_EQ(FindSupportFile("reqfield.itm", src), src + "reqfield.itm");
  EXPECT_EQ(FindSupportFile("fehlt.itm", src), root + "/fehlt.itm");

  // With the key, even with empty values, the parents are not tried.
  WriteHive(true, "\"ApplDatabase\"=\"\"\n\"CommonFilesPath\"=\"\"\n",
            "SOFTWARE\\Tesmarin\\Dokalon Pro\\Settings");
  EXPECT_EQ(FindSupportFile("x.itm", root + "/b/src/"), "/x.itm");
  WriteHive(true,
            "\"ApplDatabase\"=\"" + root + "/b/appl.db\"\n\"CommonFilesPath\"=\"" + root + "\"\n",
            "SOFTWARE\\Tesmarin\\Dokalon Pro\\Settings");
  EXPECT_EQ(FindSupportFile("reqfield.itm", root + "/leer/"), root + "/b/reqfield.itm");
  EXPECT_EQ(FindSupportFile("fehlt.itm", root + "/leer/"), root + "/fehlt.itm");
}

}  // namespace
}  // namespace dk
