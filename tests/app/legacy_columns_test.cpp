// The legacy DOCUMENT columns the conversion adds, on a file and on a server:
// names that are no plain identifiers arrive under their legacy names with
// their values, field definitions, layout entries and pick lists; a
// 255-character Alpha value arrives whole where the engine enforces sizes;
// a column the target cannot take is a finding of --check.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "arcport5_sandbox.h"
#include "data/connection.h"
#include "data/query.h"
#include "db/database.h"
#include "px_writer.h"
#include "support/pg_server.h"
#include "sys/string_list.h"
#include "sys/text.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// 255 characters, umlauts among them: on the server a character is not a
// byte.
std::string LongNames() {
  std::string text;
  while (Utf8Length(text) < 250) text += "Müller, Jürgen; ";
  text = Utf8Left(text, 250);
  return text + "Ende.";
}

// A legacy column and the values of documents 1 to 3 ("" for none).
struct TLegacyColumn {
  std::string Name;    // as the legacy table names it
  std::string Column;  // the target's column
  char Type;
  int Size;
  std::vector<std::string> Values;
};

const std::vector<TLegacyColumn>& Columns() {
  static const std::vector<TLegacyColumn> columns = {
      {"NAMES", "MYNAMES", 'A', 255, {LongNames(), "Schmidt", ""}},
      {"Kunden Nr", "KUNDEN NR", 'A', 20, {"K-1001", "K 2002", "K-3003"}},
      {"Betrag-EUR", "BETRAG-EUR", 'N', 0, {"12.5", "", "99.75"}},
      {"Größe", "GRÖßE", 'A', 10, {"groß", "klein", "mittel"}},
      {"Abt.", "ABT.", 'A', 10, {"Einkauf", "Verkauf", ""}},
  };
  return columns;
}

void AppendLegacyLines(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  for (const std::string& line : lines) out << Utf8ToCp1252(line) << "\r\n";
}

class LegacyColumns : public test::TArcport5Sandbox {
 protected:
  // The generated archive with a DOCUMENT of three documents holding the
  // columns above, and side files that name them.
  void MakeLegacyArchive() {
    TLegacyArchiveOptions options;
    options.Documents = 3;
    options.FtiWordRows = 5;
    options.FtiWidRows = 6;
    WriteLegacyArchive(Source(), options);
    fs::remove(Source() + "/DOCUMENT.DB");
    fs::remove(Source() + "/DOCUMENT.MB");
    std::vector<TPxWriteField> fields = {
        {"DOCID", 'I', 0}, {"APPLNAME", 'A', 100}, {"NUMBER", 'A', 20}, {"NOTE", 'M', 10}};
    for (const TLegacyColumn& c : Columns()) fields.push_back({c.Name, c.Type, c.Size});
    TPxTableWriter w(Source() + "/DOCUMENT.DB", fields);
    for (int doc = 0; doc < 3; ++doc) {
      w.SetInteger(0, doc + 1);
      w.SetText(1, "Brief");
      w.SetText(2, "N-" + std::to_string(doc + 1));
      for (size_t i = 0; i < Columns().size(); ++i) {
        const TLegacyColumn& c = Columns()[i];
        const std::string& v = c.Values[static_cast<size_t>(doc)];
        if (v.empty()) continue;
        if (c.Type == 'N')
          w.SetFloat(static_cast<int>(i) + 4, std::stod(v));
        else
          w.SetText(static_cast<int>(i) + 4, v);
      }
      w.Post();
    }
    w.Close();
    AppendLegacyLines(Source() + "/document.fld",
                      {"[Kunden Nr]", "Caption=Kundennummer", "EditStyle=1", "UpdateList=1", "",
                       "[Größe]", "Caption=Größe", "", "[Abt.]", "Caption=Abteilung", ""});
    AppendLegacyLines(Source() + "/document.lay",
                      {"Edit20,Doc,Kunden Nr,Left=96,Top=280", "Edit21,Doc,Betrag-EUR,Left=96",
                       "Edit22,Doc,Größe,Left=96", "Edit23,Doc,Abt.,Left=96"});
    AppendLegacyLines(Source() + "/Kunden Nr.itm", {"K-1001", "K-4004"});
  }

  // Converts into `target` and checks what arrived, through `connectionString`.
  void ConvertAndCheck(const std::string& target, const std::string& log,
                       const std::string& connectionString,
                       const std::map<std::string, std::string>& alterLines) {
    const auto run = Run({"--exit-status", Source(), target});
    ASSERT_EQ(run.Status, 0) << run.Err << test::ReadFile(log);
    const std::string logText = test::ReadFile(log);
    for (const auto& [name, line] : alterLines)
      EXPECT_NE(logText.find("SQL für neues Feld: " + line + "\r\n"), std::string::npos)
          << name << "\n"
          << logText;
    EXPECT_EQ(logText.find("***"), std::string::npos) << logText;

    TConnection connection;
    connection.SetConnectionString(connectionString);
    connection.Open();
    TQuery doc;
    doc.SetConnection(&connection);
    doc.SetSQLText("SELECT * FROM DOCUMENT ORDER BY DOCID");
    doc.Open();
    for (int row = 0; row < 3; ++row, doc.Next()) {
      ASSERT_FALSE(doc.Eof());
      for (const TLegacyColumn& c : Columns()) {
        SCOPED_TRACE(c.Column + ", document " + std::to_string(row + 1));
        // The column carries the name exactly as written.
        const TField* field = nullptr;
        for (int i = 0; i < doc.FieldCount(); ++i)
          if (doc.Fields(i).FieldName() == c.Column) field = &doc.Fields(i);
        ASSERT_NE(field, nullptr);
        const std::string& expected = c.Values[static_cast<size_t>(row)];
        if (c.Type == 'N' && !expected.empty())
          EXPECT_DOUBLE_EQ(field->AsFloat(), std::stod(expected));
        else
          EXPECT_EQ(field->AsString(), expected);
      }
    }
    // The same columns in the field templates.
    TQuery templ;
    templ.SetConnection(&connection);
    templ.SetSQLText("SELECT * FROM FLDTEMPL");
    templ.Open();
    for (const TLegacyColumn& c : Columns())
      EXPECT_NE(templ.FindField(c.Column), nullptr) << c.Column;

    // Field definitions and the pick list under the column's name.
    auto values = [&](const std::string& sql) {
      std::vector<std::string> list;
      TQuery q;
      q.SetConnection(&connection);
      q.SetSQLText(sql);
      q.Open();
      for (; !q.Eof(); q.Next()) list.push_back(q.Fields(0).AsString());
      return list;
    };
    const auto defined = values("SELECT FIELDNAME FROM DOCFLD");
    for (const char* name : {"KUNDEN NR", "GRÖßE", "ABT."})
      EXPECT_NE(std::find(defined.begin(), defined.end(), name), defined.end()) << name;
    const auto lists = values("SELECT ITMLIST FROM ITEMLISTS WHERE ITMNAME='KUNDEN NR'");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_NE(lists[0].find("K-4004"), std::string::npos);

    // The layout copy keeps the entries, which name the columns.
    const auto layouts = values("SELECT OPTVALUE FROM DBOPTION WHERE OPTNAME='LayoutFile'");
    ASSERT_EQ(layouts.size(), 1u);
    const std::string layout = Cp1252ToUtf8(test::ReadFile(layouts[0]));
    for (const TLegacyColumn& c : Columns()) {
      if (c.Name == "NAMES") continue;
      const std::string entry = ",Doc," + c.Name + ",";
      const size_t at = layout.find(entry);
      ASSERT_NE(at, std::string::npos) << entry;
      EXPECT_TRUE(SameText(c.Name, c.Column));
    }
  }
};

TEST_F(LegacyColumns, ArriveUnderTheirNamesWithTheirValuesInAFile) {
  MakeLegacyArchive();
  CreateEmptyArchive(Target());
  // Plain names keep their text; the others are quoted as SQLite quotes names.
  ConvertAndCheck(Target(), Log(), BuildJetConnectionString(Target()),
                  {{"NAMES", "ALTER TABLE DOCUMENT ADD MYNAMES TEXT(254)"},
                   {"Kunden Nr", "ALTER TABLE DOCUMENT ADD \"KUNDEN NR\" TEXT(20)"},
                   {"Betrag-EUR", "ALTER TABLE DOCUMENT ADD \"BETRAG-EUR\" FLOAT"},
                   {"Größe", "ALTER TABLE DOCUMENT ADD \"GRÖßE\" TEXT(10)"},
                   {"Abt.", "ALTER TABLE DOCUMENT ADD \"ABT.\" TEXT(10)"}});
}

TEST_F(LegacyColumns, ArriveUnderTheirNamesWithTheirValuesOnAServer) {
  DK_SKIP_WITHOUT_PG_SERVER();
  test::TTestDatabase database(test::TTestDatabase::TMode::NameOnly);
  MakeLegacyArchive();
  const std::string settings = FDir / "out/serverarchiv.dkcs";
  test::WriteFile(settings,
                  "[AdoConnection]\r\nConnectionString=" + database.ConnectionString() + "\r\n");
  const auto made = test::RunProgram({DKL_MKARCHIVE_EXE, settings}, Options());
  ASSERT_EQ(made.Status, 0) << made.Err;
  // The server keeps the Alpha 255 field's full length; names are quoted in
  // the lower case the server folds unquoted names to.
  ConvertAndCheck(settings, FDir / "out/serverarchiv.log", database.ConnectionString(),
                  {{"NAMES", "ALTER TABLE DOCUMENT ADD MYNAMES CHAR(255)"},
                   {"Kunden Nr", "ALTER TABLE DOCUMENT ADD \"kunden nr\" CHAR(20)"},
                   {"Betrag-EUR", "ALTER TABLE DOCUMENT ADD \"betrag-eur\" FLOAT"},
                   {"Größe", "ALTER TABLE DOCUMENT ADD \"größe\" CHAR(10)"},
                   {"Abt.", "ALTER TABLE DOCUMENT ADD \"abt.\" CHAR(10)"}});
}

// A value longer than a column the server archive had already (KUNDE, 5
// characters, against the legacy Alpha 40) fails alone, naming the column;
// the documents arrive with their other values.
TEST_F(LegacyColumns, AValueTooLongForAServerColumnFailsAloneNamingTheColumn) {
  DK_SKIP_WITHOUT_PG_SERVER();
  test::TTestDatabase database(test::TTestDatabase::TMode::NameOnly);
  MakeArchives();
  fs::remove(Target());
  const std::string settings = FDir / "out/serverarchiv.dkcs";
  test::WriteFile(settings,
                  "[AdoConnection]\r\nConnectionString=" + database.ConnectionString() + "\r\n");
  const auto made = test::RunProgram({DKL_MKARCHIVE_EXE, settings}, Options());
  ASSERT_EQ(made.Status, 0) << made.Err;
  test::ExecOnTestServer(database.Name(), "ALTER TABLE DOCUMENT ADD KUNDE CHAR(5)");
  test::ExecOnTestServer(database.Name(), "ALTER TABLE FLDTEMPL ADD KUNDE CHAR(5)");
  const auto run = Run({"--exit-status", Source(), settings});
  EXPECT_EQ(run.Status, 0) << run.Err;
  const std::string log = test::ReadFile(FDir / "out/serverarchiv.log");
  EXPECT_NE(log.find("Feld \"KUNDE\" nicht übernommen: Der Text für Feld \"KUNDE\" hat "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" Zeichen; die Spalte fasst 5."), std::string::npos) << log;
  EXPECT_EQ(test::ValueOnTestServer(database.Name(), "SELECT COUNT(*) FROM DOCUMENT"), "40");
  EXPECT_EQ(test::ValueOnTestServer(database.Name(),
                                    "SELECT COUNT(*) FROM DOCUMENT WHERE MYNAMES IS NOT NULL AND "
                                    "NAME IS NOT NULL"),
            test::ValueOnTestServer(database.Name(),
                                    "SELECT COUNT(*) FROM DOCUMENT WHERE MYNAMES IS NOT NULL"));
}

// Legacy column types without a column type in the target's dialect: --check
// names each such column and its type, and the run indeed ends at its ALTER.
TEST_F(LegacyColumns, ColumnsWithoutAColumnTypeAreFindingsOfTheCheck) {
  TLegacyArchiveOptions options;
  options.Documents = 2;
  options.FtiWordRows = 5;
  options.FtiWidRows = 4;
  WriteLegacyArchive(Source(), options);
  CreateEmptyArchive(Target());
  fs::remove(Source() + "/DOCUMENT.DB");
  fs::remove(Source() + "/DOCUMENT.MB");
  {
    TPxTableWriter w(
        Source() + "/DOCUMENT.DB",
        {{"DOCID", 'I', 0}, {"APPLNAME", 'A', 100}, {"ZINSSATZ", '#', 2}, {"KENNUNG", 'Y', 4}});
    w.SetInteger(0, 1);
    w.SetText(1, "Brief");
    w.Post();
    w.Close();
  }
  const auto check = Run({"--check", Source(), Target()});
  EXPECT_EQ(check.Status, 1) << check.Out;
  for (const char* finding :
       {"Die Spalte \"ZINSSATZ\" des alten DOCUMENT hat den Typ BCD, für den die Zieldatenbank "
        "keinen Spaltentyp hat",
        "Die Spalte \"KENNUNG\" des alten DOCUMENT hat den Typ Bytes, für den die Zieldatenbank "
        "keinen Spaltentyp hat"})
    EXPECT_NE(check.Out.find(finding), std::string::npos) << finding << "\n" << check.Out;
  const auto run = Run({"--exit-status", Source(), Target()});
  EXPECT_EQ(run.Status, 1);
  EXPECT_NE(
      test::ReadFile(Log()).find("SQL für neues Feld: ALTER TABLE DOCUMENT ADD ZINSSATZ \r\n"),
      std::string::npos)
      << test::ReadFile(Log());
}

}  // namespace
}  // namespace dk
