#include "db/util/archive_schema.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "data/query.h"
#include "data/table.h"
#include "support/temp_dir.h"

namespace dk::test {
namespace {

const char* const kJet =
    "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb";
const char* const kMsSql = "Provider=SQLOLEDB.1;Data Source=server;Initial Catalog=Archiv";
const char* const kOther = "Provider=PostgreSQL;Data Source=db";

TEST(BuildCreateTableSQL, JetDocumentTable) {
  TStringList lines;
  lines.Add("left over");
  BuildCreateTableSQL(lines, "DOCUMENT", kJet);
  EXPECT_EQ(lines, (TStringList{"CREATE TABLE DOCUMENT",
                                "(",
                                "DOCID INTEGER NOT NULL,",
                                "APPLNAME TEXT(100) NOT NULL,",
                                "DOCNO TEXT(20) NULL,",
                                "NAME TEXT(50) NULL,",
                                "PROJECT TEXT(80) NULL,",
                                "CATEGORY TEXT(30) NULL,",
                                "STATE TEXT(30) NULL,",
                                "USERNAME TEXT(30) NULL,",
                                "MAILFROM TEXT(30) NULL,",
                                "TEMPLATE TEXT(254) NULL,",
                                "FILENAME TEXT(254) NULL,",
                                "FAVORITE TEXT(1) NULL,",
                                "DOCTYPE TEXT(2) NULL,",
                                "ACCESSRIGHTS TEXT(40) NULL,",
                                "CREATEDATE DATETIME NULL,",
                                "EDITDATE DATETIME NULL,",
                                "FTIUPDATE DATETIME NULL,",
                                "LASTREMARK TEXT(150) NULL,",
                                "DOCGUID TEXT(38) NULL,",
                                "NOTES LONGTEXT NULL,",
                                "RTFTEXT LONGTEXT NULL,",
                                "PRIMARY KEY (DOCID)",
                                ")"}));
}

TEST(BuildCreateTableSQL, OtherDialectsAndTheTemplateTable) {
  TStringList ms, other, templ;
  BuildCreateTableSQL(ms, "DOCARCH", kMsSql);
  EXPECT_EQ(ms[0], "CREATE TABLE DOCARCH");
  EXPECT_EQ(ms[2], "DOCID INT NOT NULL,");
  EXPECT_EQ(ms[3], "APPLNAME VARCHAR(100) NOT NULL,");
  EXPECT_EQ(ms[13], "FAVORITE CHAR(1) NULL,");
  EXPECT_EQ(ms[16], "CREATEDATE DATETIME NULL,");
  EXPECT_EQ(ms[21], "NOTES TEXT NULL,");

  BuildCreateTableSQL(other, "DOCUMENT", kOther);
  EXPECT_EQ(other[3], "APPLNAME CHAR(100) NOT NULL,");
  EXPECT_EQ(other[16], "CREATEDATE DATE NULL,");
  EXPECT_EQ(other[22], "RTFTEXT BLOB NULL,");
  EXPECT_EQ(other[23], "PRIMARY KEY (DOCID)");

  // The template table is recognised without regard to case; the name is
  // written as given.
  BuildCreateTableSQL(templ, "fldtempl", kJet);
  ASSERT_EQ(templ.Count(), 26);
  EXPECT_EQ(templ[0], "CREATE TABLE fldtempl");
  EXPECT_EQ(templ[2], "TEMPLATENAME TEXT(50) NOT NULL,");
  EXPECT_EQ(templ[3], "DOCID INTEGER NULL,");
  EXPECT_EQ(templ[4], "APPLNAME TEXT(100) NULL,");
  EXPECT_EQ(templ[24], "PRIMARY KEY (TEMPLATENAME)");
  EXPECT_EQ(templ[25], ")");
}

class ArchiveTest : public ::testing::Test {
 protected:
  void OpenArchive() {
    Conn.SetConnectionString(
        std::string("Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;"
                    "Data Source=") +
        File);
    Conn.Open();
  }

  TTempDir Dir;
  std::string File = Dir / "archiv.db";
  TConnection Conn;
};

TEST_F(ArchiveTest, EmptyArchiveHoldsEveryTableWithItsColumnsAndKeys) {
  CreateEmptyArchive(File);
  OpenArchive();
  TStringList names;
  Conn.GetTableNames(names);
  TStringList expected;
  for (const auto& t : ArchiveTables()) expected.Add(t.Name);
  expected.SetSorted(true);
  EXPECT_EQ(names, expected);

  for (const auto& t : ArchiveTables()) {
    SCOPED_TRACE(t.Name);
    TTableInfo info = Conn.TableInfo(t.Name);
    ASSERT_EQ(info.Columns.size(), t.Columns.size());
    std::vector<std::string> key;
    for (size_t i = 0; i < t.Columns.size(); ++i) {
      EXPECT_EQ(info.Columns[i].Name, t.Columns[i].Name);
      EXPECT_EQ(info.Columns[i].NotNull, t.Columns[i].NotNull);
      if (info.Columns[i].KeyPosition > 0) key.push_back(info.Columns[i].Name);
    }
    EXPECT_EQ(key.size(), t.PrimaryKey.size());
  }

  // The document tables carry exactly the builder's Jet text.
  for (const char* table : {"DOCUMENT", "DOCARCH", "FLDTEMPL"}) {
    TStringList lines;
    BuildCreateTableSQL(lines, table, Conn);
    std::string text;
    for (int i = 0; i < lines.Count(); ++i) text += (i ? "\r\n" : "") + lines[i];
    TQuery q;
    q.SetConnection(&Conn);
    q.SetSQLText("SELECT sql FROM sqlite_master WHERE name = :t");
    q.Parameters().ParamByName("t").Value = table;
    q.Open();
    EXPECT_EQ(q.FieldByName("sql").AsString(), text) << table;
  }

  // Field types as the layer reads them back.
  TTable doc;
  doc.SetConnection(&Conn);
  doc.SetTableName("DOCUMENT");
  doc.Open();
  EXPECT_TRUE(doc.IsEmpty());
  EXPECT_EQ(doc.FieldByName("DOCID").DataType(), ftInteger);
  EXPECT_EQ(doc.FieldByName("APPLNAME").Size(), 100);
  EXPECT_EQ(doc.FieldByName("FAVORITE").DataType(), ftString);
  EXPECT_EQ(doc.FieldByName("CREATEDATE").DataType(), ftDateTime);
  EXPECT_EQ(doc.FieldByName("NOTES").DataType(), ftMemo);
}

TEST_F(ArchiveTest, FieldDefinitionsOfTheDocumentColumnsAreGerman) {
  CreateEmptyArchive(File);
  OpenArchive();
  TTable docfld;
  docfld.SetConnection(&Conn);
  docfld.SetTableName("DOCFLD");
  docfld.Open();
  EXPECT_EQ(docfld.RecordCount(), static_cast<int>(DocumentColumns().size()));
  for (const std::string& column : StandardDocumentColumns())
    EXPECT_TRUE(docfld.Locate("FIELDNAME", column)) << column;
  ASSERT_TRUE(docfld.Locate("FIELDNAME", "EDITDATE"));
  EXPECT_EQ(docfld.FieldByName("CAPTION").AsString(), "Geändert am");
  EXPECT_EQ(docfld.FieldByName("VISIBLE").RawValue(), TVariant("T"));
  EXPECT_EQ(docfld.FieldByName("DBEDITTABSH").AsInteger(), 6);
  ASSERT_TRUE(docfld.Locate("FIELDNAME", "RTFTEXT"));
  EXPECT_EQ(docfld.FieldByName("VISIBLE").RawValue(), TVariant("F"));
  ASSERT_TRUE(docfld.Locate("FIELDNAME", "APPLNAME"));
  EXPECT_FALSE(docfld.FieldByName("ALLOWEMPTY").AsBoolean());
}

TEST_F(ArchiveTest, AnExistingFileIsNeverTouched) {
  WriteFile(File, "not an archive");
  EXPECT_THROW(CreateEmptyArchive(File), EDatabaseError);
  EXPECT_EQ(ReadFile(File), "not an archive");
}

#ifdef DKL_MKARCHIVE
int RunTool(const std::string& arguments) {
  int status =
      std::system((std::string(DKL_MKARCHIVE) + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ArchiveTest, CompanionProgramCreatesAnArchiveAndRefusesExistingFiles) {
  EXPECT_EQ(RunTool(""), 2);
  EXPECT_EQ(RunTool("'" + File + "'"), 0);
  OpenArchive();
  TStringList names;
  Conn.GetTableNames(names);
  EXPECT_EQ(names.Count(), static_cast<int>(ArchiveTables().size()));
  Conn.Close();
  std::string before = ReadFile(File);
  EXPECT_EQ(RunTool("'" + File + "'"), 1);
  EXPECT_EQ(ReadFile(File), before);
  EXPECT_EQ(RunTool("'" + (Dir / "no/such/dir/a.db") + "'"), 1);
  EXPECT_FALSE(std::filesystem::exists(Dir / "no"));
}
#endif

}  // namespace
}  // namespace dk::test
