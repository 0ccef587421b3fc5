// The table copy on real files, through the main window and on its own:
// legacy tables written by pxlib (directly or by the archive generator),
// targets made by the archive creator, read back through a connection of
// their own.
#include "app/table_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "app/main_window.h"
#include "data/query.h"
#include "db/util/archive_schema.h"
#include "legacy_archive.h"
#include "px_writer.h"
#include "settings/error_log.h"
#include "support/pg_server.h"
#include "support/settings_sandbox.h"
#include "support/temp_dir.h"
#include "sys/string_list.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// Every file below `dir` with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) files[entry.path().string()] = test::ReadFile(entry.path());
  return files;
}

std::vector<std::string> Lines(const TStringList& list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list[i]);
  return lines;
}

bool IsGuidText(const std::string& s) {
  static const std::regex guid(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
  return std::regex_match(s, guid);
}

class TableCopyTest : public test::SettingsTest {
 protected:
  TableCopyTest() {
    WriteMachine();
    FConfig = Load();
    FApp = std::make_unique<TApplication>();
    FSource = FDir / "alt";
    fs::create_directories(FSource);
  }
  ~TableCopyTest() override {
    FForm.reset();
    FTarget.reset();
  }

  // A legacy table from CSV whose first row names the fields (NAME:TYPE).
  void WriteLegacyTable(const std::string& name, const std::string& csv) {
    std::istringstream in(csv);
    WritePxTableFromCsv(FSource + "/" + name + ".DB", in);
  }

  // A new empty archive as the product's set-up makes it, opened.
  TConnection& NewTarget(const std::string& file = "ziel.mdb") {
    const std::string path = FDir / file;
    CreateEmptyArchive(path);
    FTarget = std::make_unique<TConnection>();
    FTarget->SetConnectionString(
        "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path);
    FTarget->Open();
    return *FTarget;
  }

  // A new empty archive on the test run's database server, opened; the
  // database goes when the test ends.
  TConnection& NewServerTarget() {
    FServerDb = std::make_unique<test::TTestDatabase>(test::TTestDatabase::TMode::NameOnly);
    const std::string settings = FDir / "ziel.dkcs";
    test::WriteFile(settings,
                    "[AdoConnection]\nConnectionString=" + FServerDb->ConnectionString() + "\n");
    CreateEmptyServerArchive(settings);
    FTarget = std::make_unique<TConnection>();
    FTarget->SetConnectionString(FServerDb->ConnectionString());
    FTarget->Open();
    return *FTarget;
  }

  // The main window with its queries bound as the pipeline binds them.
  TFormArcport5Main& Form() {
    if (!FForm) {
      FForm = std::make_unique<TFormArcport5Main>(nullptr, std::vector<std::string>{});
      FForm->SetSourceDir(FSource);
      FForm->BdeQuerySrc->SetDatabaseName(FSource + "/");
      FForm->ProgressBar->SetMax(1000000);
      if (FTarget) FForm->AdoQueryDst->SetConnection(FTarget.get());
    }
    return *FForm;
  }

  std::vector<std::string> Log() { return Lines(Form().MemoLog->Lines()); }

  // The rows of a query on the target, each row's columns joined by "|".
  std::vector<std::string> Rows(const std::string& sql, TConnection* connection = nullptr) {
    TQuery q;
    q.SetConnection(connection ? connection : FTarget.get());
    q.SetSQLText(sql);
    q.Open();
    std::vector<std::string> rows;
    for (; !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.FieldCount(); ++i)
        row += (i ? "|" : "") + (q.Fields(i).IsNull() ? "<null>" : q.Fields(i).AsString());
      rows.push_back(row);
    }
    return rows;
  }

  // Every column of the legacy table holds the same text in the target, row
  // by row in copy order.
  void ExpectSameRows(const std::string& table) {
    TParadoxQuery legacy;
    legacy.SetDatabaseName(FSource);
    legacy.SetSQL("SELECT * FROM " + table);
    legacy.Open();
    TQuery copy;
    copy.SetConnection(FTarget.get());
    copy.SetSQLText("SELECT * FROM " + table + " ORDER BY rowid");
    copy.Open();
    int rows = 0;
    for (; !legacy.Eof(); legacy.Next(), copy.Next(), ++rows) {
      ASSERT_FALSE(copy.Eof()) << table;
      for (int i = 0; i < legacy.FieldCount(); ++i) {
        const TParadoxField& f = legacy.Fields(i);
        EXPECT_EQ(copy.FieldByName(f.FieldName()).AsString(), f.AsString())
            << table << "." << f.FieldName() << " row " << rows;
      }
    }
    EXPECT_TRUE(copy.Eof()) << table;
    EXPECT_GT(rows, 0) << table;
  }

  std::string ErrorLog() {
    const std::string file = ErrorLogFileName();
    return fs::exists(file) ? test::ReadFile(file) : std::string();
  }

  std::unique_ptr<TConfiguration> FConfig;
  std::unique_ptr<TApplication> FApp;
  std::string FSource;
  std::unique_ptr<test::TTestDatabase> FServerDb;
  std::unique_ptr<TConnection> FTarget;
  std::unique_ptr<TFormArcport5Main> FForm;
};

// The generated legacy archive through every copy the pipeline makes: the
// secondary tables, the documents and the RTF texts from DOCBLOBS into the
// target DOCUMENT; the source stays as it was, byte for byte.
TEST_F(TableCopyTest, CopiesAGeneratedArchiveAndLeavesTheSourceUntouched) {
  TLegacyArchiveOptions options;
  options.Documents = 30;
  options.FtiWordRows = 50;
  options.FtiWidRows = 200;
  const TLegacyArchiveCounts counts = WriteLegacyArchive(FSource, options);
  const auto before = Snapshot(FSource);
  TConnection& target = NewTarget();
  // The columns the pipeline adds to the target before the copy.
  for (const char* column : {"MYNAMES TEXT(80)", "KUNDE TEXT(40)", "ABTEILUNG TEXT(30)",
                             "BETRAG MONEY", "SEITEN SMALLINT", "FAELLIG DATETIME",
                             "ERLEDIGT TEXT(1)", "VORGANGNR INTEGER", "GEWICHT FLOAT"})
    target.Execute(std::string("ALTER TABLE DOCUMENT ADD ") + column);
  TFormArcport5Main& form = Form();

  EXPECT_EQ(form.GetRecordCount("DOCUMENT"), 30);
  EXPECT_EQ(form.GetRecordCount("ftiwid"), 200);
  form.CopyDocuments();
  form.MoveRtfTexts();
  std::vector<std::string> expected = {"Daten übernehmen, Tabelle DOCUMENT",
                                       "30 Datensätze bearbeitet",
                                       "kopiere RTFTEXT von DOCBLOBS nach DOCUMENT",
                                       std::to_string(counts.DocBlobs) + " Datensätze bearbeitet"};
  const std::pair<const char*, int64_t> tables[] = {{"DOCVERS", counts.DocVers},
                                                    {"TODO", counts.Todo},
                                                    {"DOCPRTCL", counts.DocPrtcl},
                                                    {"FTIWORD", counts.FtiWord},
                                                    {"FTIWID", counts.FtiWid}};
  for (const auto& [table, rows] : tables) {
    EXPECT_EQ(form.CopyTable(table), rows) << table;
    expected.push_back(std::string("Daten übernehmen, Tabelle: ") + table);
    expected.push_back(std::to_string(rows) + " Datensätze bearbeitet");
  }
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(form.ProgressBar->Position(), counts.Document + counts.DocBlobs + counts.DocVers +
                                              counts.Todo + counts.DocPrtcl + counts.FtiWord +
                                              counts.FtiWid);
  EXPECT_FALSE(form.BdeQuerySrc->Active());
  EXPECT_EQ(ErrorLog(), "");

  // Documents: legacy names carried over, typed columns converted, RTF moved.
  TQuery doc;
  doc.SetConnection(&target);
  doc.SetSQLText("SELECT * FROM DOCUMENT ORDER BY DOCID");
  doc.Open();
  TParadoxQuery legacy;
  legacy.SetDatabaseName(FSource);
  legacy.SetSQL("SELECT * FROM DOCUMENT");
  legacy.Open();
  std::set<std::string> guids;
  int n = 0;
  for (; !doc.Eof(); doc.Next(), legacy.Next(), ++n) {
    ASSERT_FALSE(legacy.Eof());
    const int id = doc.FieldByName("DOCID").AsInteger();
    ASSERT_EQ(id, legacy.FieldByName("DOCID").AsInteger());
    EXPECT_EQ(doc.FieldByName("DOCNO").AsString(), legacy.FieldByName("NUMBER").AsString());
    EXPECT_EQ(doc.FieldByName("NOTES").AsString(), legacy.FieldByName("NOTE").AsString());
    EXPECT_EQ(doc.FieldByName("MYNAMES").AsString(), legacy.FieldByName("NAMES").AsString());
    EXPECT_EQ(doc.FieldByName("NAME").AsString(), legacy.FieldByName("NAME").AsString());
    EXPECT_EQ(doc.FieldByName("KUNDE").AsString(), legacy.FieldByName("KUNDE").AsString());
    EXPECT_DOUBLE_EQ(doc.FieldByName("BETRAG").AsFloat(), legacy.FieldByName("BETRAG").AsFloat());
    EXPECT_EQ(doc.FieldByName("SEITEN").IsNull(), legacy.FieldByName("SEITEN").IsNull());
    EXPECT_EQ(doc.FieldByName("SEITEN").AsInteger(), legacy.FieldByName("SEITEN").AsInteger());
    EXPECT_EQ(doc.FieldByName("FAELLIG").AsString().substr(0, 10),
              legacy.FieldByName("FAELLIG").AsString());
    EXPECT_EQ(doc.FieldByName("CREATEDATE").AsString(),
              legacy.FieldByName("CREATEDATE").AsString());
    EXPECT_EQ(doc.FieldByName("ERLEDIGT").AsString(), legacy.FieldByName("ERLEDIGT").AsString());
    EXPECT_EQ(doc.FieldByName("FAVORITE").AsString(), legacy.FieldByName("FAVORITE").AsString());
    EXPECT_EQ(doc.FieldByName("VORGANGNR").AsInteger(), 100000 + id * 7);
    const std::string rtf = LegacyRtfText(options.Seed, id);
    if (rtf.empty())
      EXPECT_TRUE(doc.FieldByName("RTFTEXT").IsNull()) << id;
    else
      EXPECT_EQ(doc.FieldByName("RTFTEXT").AsString(), rtf) << id;
    const std::string guid = doc.FieldByName("DOCGUID").AsString();
    EXPECT_TRUE(IsGuidText(guid)) << guid;
    guids.insert(guid);
  }
  EXPECT_EQ(n, 30);
  EXPECT_EQ(guids.size(), 30u);

  // Secondary tables: every row as it was; TODO rows with GUIDs of their own.
  EXPECT_EQ(Rows("SELECT COUNT(*), SUM(WORDID), SUM(DOCID), SUM(WORDID*DOCID) FROM FTIWID"),
            Rows("SELECT " + std::to_string(counts.FtiWid) +
                 ", SUM(WORDID), SUM(DOCID), SUM(WORDID*DOCID) FROM FTIWID"));
  EXPECT_EQ(Rows("SELECT WORD FROM FTIWORD WHERE WORDID IN (1, 21)"),
            (std::vector<std::string>{"angebot", "berber"}));
  for (const std::string& guid : Rows("SELECT TODOGUID FROM TODO")) {
    EXPECT_TRUE(IsGuidText(guid)) << guid;
    guids.insert(guid);
  }
  EXPECT_EQ(guids.size(), static_cast<size_t>(30 + counts.Todo));
  for (const char* table : {"DOCVERS", "DOCPRTCL", "TODO", "FTIWORD"}) ExpectSameRows(table);

  FForm.reset();
  FTarget.reset();
  EXPECT_TRUE(Snapshot(FSource) == before);
}

// Every run gives new GUIDs: two copies of the same legacy rows into two
// targets share none.
TEST_F(TableCopyTest, EveryRunMakesFreshGuids) {
  WriteLegacyTable("TODO", "TODOID:I,DOCID:I,USERNAME:A30\n1,1,MEIER\n2,1,MEIER\n3,2,SCHÄFER\n");
  WriteLegacyTable(
      "DOCUMENT",
      "DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A20\n1,Brief,A-1,,\n2,Brief,A-2,,\n");
  std::set<std::string> all;
  for (const char* file : {"eins.mdb", "zwei.mdb"}) {
    FForm.reset();
    NewTarget(file);
    Form().CopyTable("todo");
    Form().CopyDocuments();
    for (const auto& g : Rows("SELECT TODOGUID FROM TODO UNION ALL SELECT DOCGUID FROM DOCUMENT")) {
      EXPECT_TRUE(IsGuidText(g)) << g;
      all.insert(g);
    }
  }
  EXPECT_EQ(all.size(), 10u);
}

// The RTF texts from a legacy DOCUMENT into a target that keeps them in
// DOCBLOBS: quote characters doubled in the statements, empty texts counted
// but not written.
TEST_F(TableCopyTest, MovesRtfTextsFromTheDocumentIntoDocBlobs) {
  TLegacyArchiveOptions options;
  options.Documents = 25;
  options.RtfInDocument = true;
  const TLegacyArchiveCounts counts = WriteLegacyArchive(FSource, options);
  ASSERT_GT(counts.EmptyRtf, 0);
  TConnection& target = NewTarget();
  target.Execute("ALTER TABLE DOCUMENT DROP COLUMN RTFTEXT");
  Form().CopyDocuments();
  Form().MoveRtfTexts();
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "Daten übernehmen, Tabelle DOCUMENT", "25 Datensätze bearbeitet",
                       "kopiere RTFTEXT von DOCUMENT nach DOCBLOBS", "25 Datensätze bearbeitet"}));
  EXPECT_EQ(Form().ProgressBar->Position(), 50);
  std::vector<std::string> expected;
  for (int id = 1; id <= 25; ++id) {
    const std::string rtf = LegacyRtfText(options.Seed, id);
    if (!rtf.empty()) expected.push_back(std::to_string(id) + "|" + rtf);
  }
  EXPECT_EQ(expected.size(), static_cast<size_t>(25 - counts.EmptyRtf));
  ASSERT_TRUE(std::any_of(expected.begin(), expected.end(), [](const std::string& s) {
    return s.find("O'Neil") != std::string::npos && s.find("\"") != std::string::npos;
  }));
  EXPECT_EQ(Rows("SELECT DOCID, RTFTEXT FROM DOCBLOBS ORDER BY DOCID"), expected);
}

// Which side has RTFTEXT decides the move; a failing statement is logged and
// the move goes on; a legacy DOCBLOBS without RTFTEXT ends it.
TEST_F(TableCopyTest, RtfMoveByWhereTheColumnsAre) {
  WriteLegacyTable("DOCUMENT",
                   "DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A20,RTFTEXT:F10\n"
                   "1,Brief,A-1,,,\"{\\rtf1 It's \\'e4 \"\"x\"\"}\"\n2,Brief,A-2,,,\n");
  TConnection& target = NewTarget();
  // Both sides have the column: the document copy carried the texts.
  Form().CopyDocuments();
  Form().MoveRtfTexts();
  EXPECT_EQ(Log().size(), 2u);
  EXPECT_EQ(Rows("SELECT RTFTEXT FROM DOCUMENT ORDER BY DOCID"),
            (std::vector<std::string>{"{\\rtf1 It's \\'e4 \"x\"}", "<null>"}));

  // Only the legacy side has it, and the target's DOCBLOBS holds DOCID 1
  // already: that statement fails, is logged, and the row is still counted.
  target.Execute("DELETE FROM DOCUMENT");
  target.Execute("ALTER TABLE DOCUMENT DROP COLUMN RTFTEXT");
  target.Execute("INSERT INTO DOCBLOBS (DOCID, RTFTEXT) VALUES (1, 'alt')");
  FForm.reset();
  Form().CopyDocuments();
  Form().MoveRtfTexts();
  EXPECT_EQ(Log(),
            (std::vector<std::string>{
                "Daten übernehmen, Tabelle DOCUMENT", "2 Datensätze bearbeitet",
                "kopiere RTFTEXT von DOCUMENT nach DOCBLOBS",
                "*** RTF-Text konnte nicht kopiert werden ***",
                "Ursache: UNIQUE constraint failed: DOCBLOBS.DOCID", "2 Datensätze bearbeitet"}));

  // Neither side has it.
  target.Execute("DELETE FROM DOCUMENT");
  WriteLegacyTable("DOCUMENT",
                   "DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A20\n3,Brief,A-3,,\n");
  FForm.reset();
  Form().CopyDocuments();
  Form().MoveRtfTexts();
  EXPECT_EQ(Log().back(), "*** Datenfeld RTFTEXT weder in document noch in DOCBLOBS gefunden ***");

  // Only the target has it, and the legacy DOCBLOBS lacks it.
  target.Execute("DELETE FROM DOCUMENT");
  target.Execute("ALTER TABLE DOCUMENT ADD RTFTEXT LONGTEXT");
  WriteLegacyTable("DOCBLOBS", "DOCID:I,TEXT:M10\n3,abc\n");
  FForm.reset();
  Form().CopyDocuments();
  EXPECT_THROW(Form().MoveRtfTexts(), std::exception);
  EXPECT_EQ(Log().back(), "kopiere RTFTEXT von DOCBLOBS nach DOCUMENT");
}

// An empty table, a missing one, a row that cannot be posted, a value that
// does not fit its column, an auto-increment column.
TEST_F(TableCopyTest, CopyTableEdgeCases) {
  TConnection& target = NewTarget();
  target.Execute(
      "CREATE TABLE WERTE (ID INTEGER PRIMARY KEY AUTOINCREMENT, NUM INTEGER, KLEIN SMALLINT, "
      "TEXT TEXT(5), TAG DATETIME, NUR_ZIEL TEXT(10) DEFAULT 'bleibt')");
  target.Execute("CREATE TABLE EINDEUTIG (K INTEGER PRIMARY KEY, V TEXT(10))");
  WriteLegacyTable("FTIWID", "WORDID:I,DOCID:I\n");
  WriteLegacyTable("WERTE",
                   "ID:I,NUM:A10,KLEIN:I,TEXT:A20,TAG:@,NUR_QUELLE:A5\n"
                   "100,12,7,Größenwahn,2003-04-05 06:07:08,x\n"
                   "200,zwölf,70000,,,y\n"
                   "300,,-3,a'b,1999-12-31 00:00:00,\n");
  WriteLegacyTable("EINDEUTIG", "K:I,V:A10\n1,eins\n1,doppelt\n2,zwei\n");
  TFormArcport5Main& form = Form();

  EXPECT_EQ(form.GetRecordCount("FTIWID"), 0);
  EXPECT_EQ(form.GetRecordCount("FEHLT"), -1);
  EXPECT_EQ(form.CopyTable("FTIWID"), 0);
  EXPECT_THROW(form.CopyTable("FEHLT"), std::exception);
  EXPECT_EQ(form.CopyTable("WERTE"), 3);
  EXPECT_EQ(form.CopyTable("EINDEUTIG"), 2);
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 11u);
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 5),
            (std::vector<std::string>{"Daten übernehmen, Tabelle: FTIWID",
                                      "0 Datensätze bearbeitet", "Daten übernehmen, Tabelle: FEHLT",
                                      "Daten übernehmen, Tabelle: WERTE",
                                      "Feld \"NUM\" nicht übernommen: 'zwölf' is not a valid "
                                      "integer value for field 'NUM'"}));
  EXPECT_EQ(log[5].rfind("Feld \"KLEIN\" nicht übernommen: 70000 is not a valid value", 0), 0u)
      << log[5];
  EXPECT_EQ(
      std::vector<std::string>(log.begin() + 6, log.begin() + 9),
      (std::vector<std::string>{"3 Datensätze bearbeitet", "Daten übernehmen, Tabelle: EINDEUTIG",
                                "Datensatz \"1\" konnte nicht kopiert werden."}));
  EXPECT_EQ(log[9].rfind("Ursache: ", 0), 0u) << log[9];
  EXPECT_EQ(log[10], "2 Datensätze bearbeitet");
  EXPECT_EQ(form.ProgressBar->Position(), 6);

  // The engine numbers ID; a text longer than its column arrives whole;
  // values that do not fit leave their column empty and are reported in the
  // error log.
  EXPECT_EQ(Rows("SELECT ID, NUM, KLEIN, TEXT, TAG, NUR_ZIEL FROM WERTE ORDER BY ID"),
            (std::vector<std::string>{"1|12|7|Größenwahn|2003-04-05 06:07:08|bleibt",
                                      "2|<null>|<null>|<null>|<null>|bleibt",
                                      "3|<null>|-3|a'b|1999-12-31|bleibt"}));
  EXPECT_EQ(Rows("SELECT K, V FROM EINDEUTIG ORDER BY K"),
            (std::vector<std::string>{"1|eins", "2|zwei"}));
  const std::string errors = ErrorLog();
  EXPECT_NE(errors.find("]: Fieldvalue from \"NUM\" could not be read.\r\n"), std::string::npos);
  EXPECT_NE(errors.find("]: Fieldvalue from \"KLEIN\" could not be read.\r\n"), std::string::npos);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2);
}

// A legacy TODO into a target TODO without the optional TODOGUID column: the
// rows are copied without a GUID instead of being refused one by one.
TEST_F(TableCopyTest, TodoWithoutGuidColumnKeepsItsRows) {
  TConnection& target = NewTarget();
  target.Execute("ALTER TABLE TODO DROP COLUMN TODOGUID");
  WriteLegacyTable("TODO", "TODOID:I,DOCID:I,USERNAME:A30\n1,1,MEIER\n2,1,SCHÄFER\n");
  EXPECT_EQ(Form().CopyTable("TODO"), 2);
  EXPECT_EQ(Rows("SELECT TODOID, USERNAME FROM TODO ORDER BY TODOID"),
            (std::vector<std::string>{"1|MEIER", "2|SCHÄFER"}));
}

// A legacy DOCUMENT without NUMBER: every row logs the line and lacks its
// DOCNO, but keeps NOTES, DOCGUID and MYNAMES; the cause is named once and
// the rows it cost are counted at the end. A target without MYNAMES simply
// does not get the names.
TEST_F(TableCopyTest, DocumentSpecialColumns) {
  TConnection& target = NewTarget();
  target.Execute("ALTER TABLE DOCUMENT ADD MYNAMES TEXT(80)");
  WriteLegacyTable("DOCUMENT",
                   "DOCID:I,APPLNAME:A100,NAME:A50,NOTE:M10,NAMES:A80\n"
                   "1,Brief,Erster,Notiz eins,\"Müller, Jürgen\"\n"
                   "2,Brief,Zweiter,,Weiß\n");
  Form().CopyDocuments();
  const std::string line =
      "*** NUMBER, NOTES, NAMES oder DOCGUID konnte nicht übernommen werden ***";
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "Daten übernehmen, Tabelle DOCUMENT", line,
                       "Feld \"DOCNO\" nicht übernommen: " + FSource +
                           "/DOCUMENT.DB: Feld \"NUMBER\" nicht gefunden",
                       line, "Feld \"DOCNO\" in insgesamt 2 Datensätzen nicht übernommen",
                       "2 Datensätze bearbeitet"}));
  const auto rows =
      Rows("SELECT DOCID, NAME, DOCNO, NOTES, MYNAMES, DOCGUID FROM DOCUMENT ORDER BY DOCID");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].rfind("1|Erster|<null>|Notiz eins|Müller, Jürgen|", 0), 0u) << rows[0];
  EXPECT_EQ(rows[1].rfind("2|Zweiter|<null>||Weiß|", 0), 0u) << rows[1];
  for (const std::string& row : rows) EXPECT_TRUE(IsGuidText(row.substr(row.rfind('|') + 1)));

  target.Execute("DELETE FROM DOCUMENT");
  target.Execute("ALTER TABLE DOCUMENT DROP COLUMN MYNAMES");
  WriteLegacyTable("DOCUMENT",
                   "DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A80\n"
                   "1,Brief,A-1,Notiz mit Überlänge für die .MB,Weiß\n");
  FForm.reset();
  Form().CopyDocuments();
  EXPECT_EQ(Log(), (std::vector<std::string>{"Daten übernehmen, Tabelle DOCUMENT",
                                             "1 Datensätze bearbeitet"}));
  const auto copied = Rows("SELECT DOCNO, NOTES, DOCGUID FROM DOCUMENT");
  ASSERT_EQ(copied.size(), 1u);
  EXPECT_EQ(copied[0].rfind("A-1|Notiz mit Überlänge für die .MB|", 0), 0u) << copied[0];
  EXPECT_TRUE(IsGuidText(copied[0].substr(copied[0].rfind('|') + 1)));
}

// A DOCUMENT row that cannot be posted ends the copy with the failure; every
// row before it is committed and visible to another connection at once.
TEST_F(TableCopyTest, DocumentPostFailureKeepsTheRowsBefore) {
  const std::string path = FDir / "ziel.mdb";
  NewTarget();
  WriteLegacyTable("DOCUMENT",
                   "DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A20\n1,Brief,A-1,,\n"
                   "2,Brief,A-2,,\n2,Brief,A-3,,\n4,Brief,A-4,,\n");
  EXPECT_THROW(Form().CopyDocuments(), std::exception);
  EXPECT_EQ(Log(), std::vector<std::string>{"Daten übernehmen, Tabelle DOCUMENT"});
  TConnection other;
  other.SetConnectionString("Provider=SQLite;Data Source=" + path);
  other.Open();
  EXPECT_EQ(Rows("SELECT DOCID, DOCNO FROM DOCUMENT ORDER BY DOCID", &other),
            (std::vector<std::string>{"1|A-1", "2|A-2"}));
}

// On a server the rows of a copy travel together, and a row that fails is
// found among them afterwards: the log says the same, the same rows arrive.
// A DOCUMENT row that fails there still ends the copy and keeps exactly the
// rows before it.
TEST_F(TableCopyTest, RowsFailingOnAServerAreReportedAsTheyWouldBeAlone) {
  DK_SKIP_WITHOUT_PG_SERVER();
  TConnection& target = NewServerTarget();
  target.Execute("CREATE TABLE EINDEUTIG (K INTEGER PRIMARY KEY, V CHAR(10))");
  std::string csv = "K:I,V:A10\n1,eins\n1,doppelt\n";
  for (int k = 2; k <= 3000; ++k) csv += std::to_string(k) + ",v\n";
  csv += "2999,spät\n";
  WriteLegacyTable("EINDEUTIG", csv);
  EXPECT_EQ(Form().CopyTable("EINDEUTIG"), 3000);
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1], "Datensatz \"1\" konnte nicht kopiert werden.");
  EXPECT_EQ(log[2].rfind("Ursache: duplicate key value", 0), 0u) << log[2];
  EXPECT_EQ(log[3], "Datensatz \"2999\" konnte nicht kopiert werden.");
  EXPECT_EQ(log[4], "insgesamt 2 Datensätze nicht kopiert");
  EXPECT_EQ(log[5], "3000 Datensätze bearbeitet");
  EXPECT_EQ(Rows("SELECT COUNT(*), MIN(V), MAX(V) FROM EINDEUTIG"),
            std::vector<std::string>{"3000|eins|v"});

  WriteLegacyTable("DOCUMENT",
                   "DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A20\n1,Brief,A-1,,\n"
                   "2,Brief,A-2,,\n2,Brief,A-3,,\n4,Brief,A-4,,\n");
  FForm.reset();
  EXPECT_THROW(Form().CopyDocuments(), std::exception);
  EXPECT_EQ(Log(), std::vector<std::string>{"Daten übernehmen, Tabelle DOCUMENT"});
  TConnection other;
  other.SetConnectionString(FServerDb->ConnectionString());
  other.Open();
  EXPECT_EQ(Rows("SELECT DOCID, DOCNO FROM DOCUMENT ORDER BY DOCID", &other),
            (std::vector<std::string>{"1|A-1", "2|A-2"}));
}

// A damaged memo file costs only the values stored in it. Every document is
// posted with its DOCNO, MYNAMES and a GUID of its own; the notes that fit
// the record and the RTF texts still arrive; the log names the file and its
// fault once per column and counts the rest when the table is done.
TEST_F(TableCopyTest, DamagedMemoFileIsNamedAndTakesNothingElse) {
  const struct {
    const char* Name;
    void (*Damage)(const std::string& mb);
    const char* Fault;  // in the cause line, after the file's name
  } cases[] = {
      {"missing", [](const std::string& mb) { fs::remove(mb); }, ".MB, und die fehlt"},
      {"cut", [](const std::string& mb) { fs::resize_file(mb, fs::file_size(mb) / 3); }, ".MB: "},
      {"emptied", [](const std::string& mb) { fs::resize_file(mb, 0); },
       ".MB: die Blob-Datei ist leer"},
      {"zeroed",
       [](const std::string& mb) { test::WriteFile(mb, std::string(fs::file_size(mb), '\0')); },
       ".MB: "},
  };
  TLegacyArchiveOptions options;
  options.Documents = 40;
  options.FtiWordRows = 10;
  options.FtiWidRows = 20;
  const std::string star =
      "*** NUMBER, NOTES, NAMES oder DOCGUID konnte nicht übernommen werden ***";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TLegacyArchiveCounts counts = WriteLegacyArchive(FSource, options);
    // What the intact archive holds, per document: DOCNO|NOTES|MYNAMES.
    std::vector<std::string> intact;
    {
      TParadoxQuery legacy;
      legacy.SetDatabaseName(FSource);
      legacy.SetSQL("SELECT * FROM DOCUMENT");
      for (legacy.Open(); !legacy.Eof(); legacy.Next())
        intact.push_back(legacy.FieldByName("NUMBER").AsString() + "|" +
                         legacy.FieldByName("NOTE").AsString() + "|" +
                         legacy.FieldByName("NAMES").AsString());
    }
    c.Damage(FSource + "/DOCUMENT.MB");
    FForm.reset();
    NewTarget(std::string(c.Name) + ".mdb").Execute("ALTER TABLE DOCUMENT ADD MYNAMES TEXT(80)");
    Form().CopyDocuments();
    Form().MoveRtfTexts();

    // Rows: all there, notes lost only where the file held them.
    const auto rows = Rows(
        "SELECT DOCNO, COALESCE(NOTES, '<lost>'), MYNAMES, DOCGUID FROM DOCUMENT ORDER BY DOCID");
    ASSERT_EQ(rows.size(), intact.size());
    std::set<std::string> guids;
    int lost = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::string guid = rows[i].substr(rows[i].rfind('|') + 1);
      EXPECT_TRUE(IsGuidText(guid)) << rows[i];
      guids.insert(guid);
      const std::string row = rows[i].substr(0, rows[i].rfind('|'));
      if (row.find("|<lost>|") != std::string::npos) {
        ++lost;
        EXPECT_EQ(row.substr(0, row.find('|')), intact[i].substr(0, intact[i].find('|')));
        EXPECT_EQ(row.substr(row.rfind('|')), intact[i].substr(intact[i].rfind('|')));
      } else {
        EXPECT_EQ(row, intact[i]);
      }
    }
    EXPECT_EQ(guids.size(), rows.size());
    ASSERT_GT(lost, 1);
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM DOCUMENT WHERE RTFTEXT IS NOT NULL")[0],
              std::to_string(counts.DocBlobs - counts.EmptyRtf));

    // The log: the row's line for each row that lost its note, the cause once
    // after the first, the count at the end of the table.
    const std::vector<std::string> log = Log();
    const auto first = std::find(log.begin(), log.end(), star);
    ASSERT_NE(first, log.end());
    ASSERT_NE(first + 1, log.end());
    const std::string cause = *(first + 1);
    EXPECT_EQ(cause.rfind("Feld \"NOTES\" nicht übernommen: " + FSource + "/DOCUMENT", 0), 0u)
        << cause;
    EXPECT_NE(cause.find(std::string("DOCUMENT") + c.Fault), std::string::npos) << cause;
    EXPECT_EQ(std::count(log.begin(), log.end(), star), lost);
    EXPECT_EQ(std::count(log.begin(), log.end(), cause), 1);
    const std::string counted =
        "Feld \"NOTES\" in insgesamt " + std::to_string(lost) + " Datensätzen nicht übernommen";
    const std::vector<std::string> end = {counted, "40 Datensätze bearbeitet",
                                          "kopiere RTFTEXT von DOCBLOBS nach DOCUMENT"};
    const auto at = std::find(log.begin(), log.end(), counted);
    ASSERT_NE(at, log.end());
    EXPECT_EQ(std::vector<std::string>(at, at + 3), end);
    EXPECT_EQ(log.size(), static_cast<size_t>(lost) + 6);

    // The same for the other copies: the to-do notes of a damaged TODO.MB.
    c.Damage(FSource + "/TODO.MB");
    EXPECT_EQ(Form().CopyTable("TODO"), counts.Todo);
    const std::vector<std::string> all = Log();
    const std::vector<std::string> todo(all.begin() + static_cast<long>(log.size()), all.end());
    ASSERT_GE(todo.size(), 3u);
    EXPECT_EQ(todo.front(), "Daten übernehmen, Tabelle: TODO");
    EXPECT_EQ(todo[1].rfind("Feld \"NOTES\" nicht übernommen: " + FSource + "/TODO", 0), 0u)
        << todo[1];
    EXPECT_NE(todo[1].find(std::string("TODO") + c.Fault), std::string::npos) << todo[1];
    if (todo.size() == 4) {
      EXPECT_TRUE(std::regex_match(
          todo[2], std::regex("Feld \"NOTES\" in insgesamt [0-9]+ Datensätzen nicht übernommen")))
          << todo[2];
    }
    EXPECT_LE(todo.size(), 4u);
    EXPECT_EQ(todo.back(), std::to_string(counts.Todo) + " Datensätze bearbeitet");
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM TODO WHERE TODOGUID IS NULL"),
              std::vector<std::string>{"0"});
  }
}

// RTF texts kept in Blob fields arrive as text decoded from the table's code
// page, whichever way they travel (the move from DOCBLOBS, the move into
// DOCBLOBS, the column copy); a NUL inside and the quote characters travel
// with them.
TEST_F(TableCopyTest, RtfBlobsArriveDecodedAndWhole) {
  const std::string stored = std::string(
                                 "{\\rtf1\\ansi Gr\xFC\xDF"
                                 "e an Fr. M\xFC"
                                 "ller \x80 ") +
                             '\0' + " O'Neil sagt \"ja\"}";
  const std::string text =
      std::string("{\\rtf1\\ansi Grüße an Fr. Müller € ") + '\0' + " O'Neil sagt \"ja\"}";
  const auto writeTable = [&](const std::string& name, const std::string& fields) {
    fs::remove(FSource + "/" + name + ".DB");
    fs::remove(FSource + "/" + name + ".MB");
    TPxTableWriter w(FSource + "/" + name + ".DB", ParsePxFieldList(fields));
    w.SetInteger(0, 1);
    if (name == "DOCUMENT") w.SetText(1, "Brief");
    if (fields.find("RTFTEXT") != std::string::npos) w.SetBytes(w.FieldCount() - 1, stored);
    w.Post();
  };
  const struct {
    const char* Name;
    bool LegacyDocumentHasRtf, TargetDocumentHasRtf;
    const char* Result;
  } cases[] = {
      {"from DOCBLOBS", false, true, "SELECT typeof(RTFTEXT), RTFTEXT FROM DOCUMENT"},
      {"into DOCBLOBS", true, false, "SELECT typeof(RTFTEXT), RTFTEXT FROM DOCBLOBS"},
      {"column copy", true, true, "SELECT typeof(RTFTEXT), RTFTEXT FROM DOCUMENT"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    writeTable("DOCBLOBS", "DOCID:I,RTFTEXT:B10");
    writeTable("DOCUMENT", std::string("DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A20") +
                               (c.LegacyDocumentHasRtf ? ",RTFTEXT:B10" : ""));
    TConnection& target = NewTarget("ziel" + std::to_string(++n) + ".mdb");
    if (!c.TargetDocumentHasRtf) target.Execute("ALTER TABLE DOCUMENT DROP COLUMN RTFTEXT");
    FForm.reset();
    Form().CopyDocuments();
    Form().MoveRtfTexts();
    for (const std::string& line : Log()) EXPECT_EQ(line.find("***"), std::string::npos) << line;
    EXPECT_EQ(Rows(c.Result), std::vector<std::string>{"text|" + text});
  }
}

// The copy on its own: a legacy table written by pxlib, a new archive file,
// no window and no settings. What it logs and the progress events it raises
// are recorded as they come.
class TableCopyAloneTest : public ::testing::Test {
 protected:
  TableCopyAloneTest() : FSource(FDir / "alt") {
    fs::create_directories(FSource);
    CreateEmptyArchive(FDir / "ziel.mdb");
    FConnection.SetConnectionString("Provider=SQLite;Data Source=" + FDir / "ziel.mdb");
    FConnection.Open();
    FTargetQuery.SetConnection(&FConnection);
    FSourceQuery.SetDatabaseName(FSource);
  }

  void WriteLegacyTable(const std::string& name, const std::string& csv) {
    std::istringstream in(csv);
    WritePxTableFromCsv(FSource + "/" + name + ".DB", in);
  }

  // A copy whose progress events land in FEvents: "begin TABLE COUNTEDAS",
  // then per source row "row" (messages let through) or "row, no messages".
  // Step answers a stop request from row `stopAt` on.
  TTableCopy Copy(int stopAt = 0) {
    TCopyProgress progress;
    progress.Begin = [this](const std::string& table, const std::string& countedAs) {
      FEvents.push_back("begin " + table + " " + countedAs);
    };
    progress.Step = [this, stopAt](bool letMessagesThrough) {
      FEvents.push_back(letMessagesThrough ? "row" : "row, no messages");
      return stopAt > 0 && ++FRows >= stopAt;
    };
    progress.Stop = [this] {
      FEvents.push_back("stop");
      throw std::runtime_error("angehalten");
    };
    progress.Sort = [this](const std::string& table, int64_t done, int64_t total) {
      FEvents.push_back("sort " + table + " " + std::to_string(done) + " " + std::to_string(total));
      return FStopSort;
    };
    return TTableCopy(
        FSourceQuery, FTargetQuery, [this](const std::string& line) { FLog.push_back(line); },
        std::move(progress));
  }

  // The rows of a query on the target through a connection of its own, each
  // row's columns joined by "|".
  std::vector<std::string> Rows(const std::string& sql) {
    TConnection other;
    other.SetConnectionString("Provider=SQLite;Data Source=" + FDir / "ziel.mdb");
    other.Open();
    TQuery q;
    q.SetConnection(&other);
    q.SetSQLText(sql);
    std::vector<std::string> rows;
    for (q.Open(); !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.FieldCount(); ++i)
        row += (i ? "|" : "") + (q.Fields(i).IsNull() ? "<null>" : q.Fields(i).AsString());
      rows.push_back(row);
    }
    return rows;
  }

  test::TTempDir FDir;
  std::string FSource;
  TConnection FConnection;
  TQuery FTargetQuery;
  TParadoxQuery FSourceQuery;
  std::vector<std::string> FLog;
  std::vector<std::string> FEvents;
  int FRows = 0;
  bool FStopSort = false;  // the sort's reports answer a stop request
};

// A table with a row the target refuses, then the documents and the RTF
// texts from the legacy DOCBLOBS: the refused row is logged with its cause
// and skipped, every source row is one step, the RTF move's steps let no
// messages through.
TEST_F(TableCopyAloneTest, CopiesLogsARefusedRowAndStepsOncePerRow) {
  FConnection.Execute("CREATE TABLE KUNDEN (K INTEGER PRIMARY KEY, NAME TEXT(20))");
  WriteLegacyTable("KUNDEN", "K:I,NAME:A20\n1,Meier\n1,Doppelt\n2,Schäfer\n");
  WriteLegacyTable("DOCUMENT",
                   "DOCID:I,APPLNAME:A100,NUMBER:A20,NOTE:M10,NAMES:A20\n"
                   "1,Brief,A-1,Notiz,\n2,Brief,A-2,,\n");
  WriteLegacyTable("DOCBLOBS", "DOCID:I,RTFTEXT:F10\n2,{\\rtf1 zwei}\n");

  EXPECT_EQ(Copy().CopyTable("KUNDEN"), 2);
  EXPECT_FALSE(FSourceQuery.Active());
  Copy().CopyDocuments();
  Copy().MoveRtfTexts();

  EXPECT_EQ(FLog,
            (std::vector<std::string>{
                "Daten übernehmen, Tabelle: KUNDEN", "Datensatz \"1\" konnte nicht kopiert werden.",
                "Ursache: UNIQUE constraint failed: KUNDEN.K", "2 Datensätze bearbeitet",
                "Daten übernehmen, Tabelle DOCUMENT", "2 Datensätze bearbeitet",
                "kopiere RTFTEXT von DOCBLOBS nach DOCUMENT", "1 Datensätze bearbeitet"}));
  EXPECT_EQ(FEvents, (std::vector<std::string>{"begin KUNDEN KUNDEN", "row", "row", "row",
                                               "begin DOCUMENT DOCUMENT", "row", "row",
                                               "begin RTFTEXT DOCBLOBS", "row, no messages"}));
  EXPECT_EQ(Rows("SELECT K, NAME FROM KUNDEN ORDER BY K"),
            (std::vector<std::string>{"1|Meier", "2|Schäfer"}));
  EXPECT_EQ(Rows("SELECT DOCID, DOCNO, NOTES, RTFTEXT FROM DOCUMENT ORDER BY DOCID"),
            (std::vector<std::string>{"1|A-1|Notiz|<null>", "2|A-2||{\\rtf1 zwei}"}));
  EXPECT_EQ(CountLegacyRows(FSource, "kunden"), 3);
  EXPECT_EQ(CountLegacyRows(FSource, "FEHLT"), -1);
}

// A stop request answered by a step: the rows so far are committed before
// Stop raises, and the copy ends there.
TEST_F(TableCopyAloneTest, StopRequestCommitsTheRowsSoFar) {
  FConnection.Execute("CREATE TABLE KUNDEN (K INTEGER PRIMARY KEY, NAME TEXT(20))");
  WriteLegacyTable("KUNDEN", "K:I,NAME:A20\n1,a\n2,b\n3,c\n4,d\n");
  EXPECT_THROW(Copy(2).CopyTable("KUNDEN"), std::runtime_error);
  EXPECT_EQ(FEvents, (std::vector<std::string>{"begin KUNDEN KUNDEN", "row", "row", "stop"}));
  EXPECT_EQ(Rows("SELECT K FROM KUNDEN ORDER BY K"), (std::vector<std::string>{"1", "2"}));
}

// FTIWID is read in the target's key order: the sort reports how far it is
// before the copy begins, and a stop request during the sort ends the copy
// with nothing copied and the source closed.
TEST_F(TableCopyAloneTest, TheSortBeforeACopyReportsAndHeedsAStop) {
  std::string csv = "WORDID:I,DOCID:I\n";
  for (int id = 70000; id > 0; --id) csv += std::to_string(id) + ",1\n";
  WriteLegacyTable("FTIWID", csv);

  FStopSort = true;
  EXPECT_THROW(Copy().CopyTable("FTIWID"), std::runtime_error);
  EXPECT_EQ(FEvents, (std::vector<std::string>{"sort FTIWID 0 70000", "stop"}));
  EXPECT_FALSE(FSourceQuery.Active());
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM FTIWID"), std::vector<std::string>{"0"});

  FStopSort = false;
  FEvents.clear();
  EXPECT_EQ(Copy().CopyTable("FTIWID"), 70000);
  ASSERT_GT(FEvents.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(FEvents.begin(), FEvents.begin() + 5),
            (std::vector<std::string>{"sort FTIWID 0 70000", "sort FTIWID 65536 70000",
                                      "sort FTIWID 70000 70000", "begin FTIWID FTIWID", "row"}));
  EXPECT_EQ(Rows("SELECT MIN(WORDID), MAX(WORDID), COUNT(*) FROM FTIWID"),
            std::vector<std::string>{"1|70000|70000"});
}

}  // namespace
}  // namespace dk
