// The generator of version 5 archives, read back through the engine that the
// conversion reads them with.
#include "legacy_archive.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "db/util/archive_schema.h"
#include "paradox/query.h"
#include "support/temp_dir.h"
#include "sys/text.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// Every value of a table as text, row by row.
std::string Dump(const std::string& dir, const std::string& table) {
  TParadoxQuery q;
  q.SetDatabaseName(dir);
  q.SetSQL("SELECT * FROM " + table);
  q.Open();
  std::string text;
  for (; !q.Eof(); q.Next()) {
    for (int i = 0; i < q.FieldCount(); ++i) text += q.Fields(i).AsString() + "|";
    text += "\n";
  }
  return text;
}

bool Compatible(TFieldType legacy, TFieldType target) {
  switch (target) {
    case ftInteger:
      return legacy == ftInteger || legacy == ftSmallint;
    case ftString:
      return legacy == ftString;
    case ftBoolean:
      return legacy == ftBoolean;
    case ftDateTime:
      return legacy == ftDateTime || legacy == ftDate;
    case ftMemo:
    case ftFmtMemo:
      return legacy == ftMemo || legacy == ftFmtMemo || legacy == ftString;
    default:
      return false;
  }
}

const char* const kTables[] = {"DOCUMENT", "DOCBLOBS", "IDENTNO", "DOCVERS", "TODO",
                               "DOCPRTCL", "FTIWORD",  "FTIWID",  "DBOPTION"};

TEST(LegacyArchiveTest, TablesMatchTheTargetSchemaAndReadBack) {
  test::TTempDir tmp;
  const std::string dir = tmp / "archiv";
  TLegacyArchiveOptions o;
  o.Documents = 60;
  o.FtiWordRows = 40;
  o.FtiWidRows = 1000;
  const TLegacyArchiveCounts c = WriteLegacyArchive(dir, o);
  EXPECT_EQ(c.Document, 60);
  EXPECT_EQ(c.DocVers, 30);
  EXPECT_EQ(c.Todo, 15);
  EXPECT_EQ(c.DocPrtcl, 120);
  EXPECT_EQ(c.FtiWid, 1000);
  EXPECT_GT(c.EmptyRtf, 0);

  const std::pair<const char*, int64_t> counts[] = {
      {"DOCUMENT", c.Document}, {"DOCBLOBS", c.DocBlobs}, {"IDENTNO", 3},
      {"DOCVERS", c.DocVers},   {"TODO", c.Todo},         {"DOCPRTCL", c.DocPrtcl},
      {"FTIWORD", c.FtiWord},   {"FTIWID", c.FtiWid},     {"DBOPTION", c.DbOption}};
  for (const auto& [table, rows] : counts) {
    TParadoxQuery q;
    q.SetDatabaseName(dir);
    q.SetSQL(std::string("SELECT * FROM ") + table);
    q.Open();
    EXPECT_EQ(q.RecordCount(), rows) << table;
    EXPECT_EQ(q.TableFile()->CodePage(), 1252) << table;
    // The copied tables carry only columns the version 6 archive has, with a
    // type it takes.
    const std::string name = table;
    if (name == "DOCUMENT" || name == "DBOPTION") continue;
    const TSchemaTable* target = FindArchiveTable(name);
    ASSERT_NE(target, nullptr);
    for (int i = 0; i < q.FieldCount(); ++i) {
      const TParadoxField& f = q.Fields(i);
      const TSchemaColumn* column = nullptr;
      for (const TSchemaColumn& col : target->Columns)
        if (f.FieldName() == col.Name) column = &col;
      ASSERT_NE(column, nullptr) << table << "." << f.FieldName();
      EXPECT_TRUE(Compatible(f.DataType(), column->Type)) << table << "." << f.FieldName();
    }
  }
  EXPECT_TRUE(fs::exists(dir + "/DOCUMENT.MB"));
  EXPECT_TRUE(fs::exists(dir + "/DOCBLOBS.MB"));

  // The legacy document columns.
  TParadoxQuery doc;
  doc.SetDatabaseName(dir);
  doc.SetSQL("SELECT * FROM DOCUMENT");
  doc.Open();
  for (const char* legacyName : {"NUMBER", "NOTE", "NAMES"})
    EXPECT_NE(doc.FindField(legacyName), nullptr) << legacyName;
  for (const char* absent : {"DOCNO", "NOTES", "MYNAMES", "DOCGUID", "RTFTEXT"})
    EXPECT_EQ(doc.FindField(absent), nullptr) << absent;
  std::set<TFieldType> types;
  for (int i = 0; i < doc.FieldCount(); ++i) types.insert(doc.Fields(i).DataType());
  for (TFieldType t : {ftString, ftCurrency, ftSmallint, ftDate, ftBoolean, ftInteger, ftFloat,
                       ftMemo, ftDateTime})
    EXPECT_TRUE(types.count(t)) << FieldTypeName(t);
  EXPECT_NE(Dump(dir, "DOCUMENT").find("ä"), std::string::npos);

  // RTF texts read back as generated, with quote characters and umlauts.
  TParadoxQuery blobs;
  blobs.SetDatabaseName(dir);
  blobs.SetSQL("SELECT * FROM DOCBLOBS");
  blobs.Open();
  bool quotes = false, umlauts = false;
  for (; !blobs.Eof(); blobs.Next()) {
    const int id = blobs.FieldByName("DOCID").AsInteger();
    EXPECT_EQ(blobs.FieldByName("RTFTEXT").DataType(), ftFmtMemo);
    EXPECT_EQ(blobs.FieldByName("RTFTEXT").AsString(), LegacyRtfText(o.Seed, id)) << id;
    const std::string rtf = LegacyRtfText(o.Seed, id);
    quotes |= rtf.find("O'Neil") != std::string::npos && rtf.find('"') != std::string::npos;
    umlauts |= rtf.find("ü") != std::string::npos;
  }
  EXPECT_TRUE(quotes);
  EXPECT_TRUE(umlauts);

  // FTIWID holds every pair once.
  TParadoxQuery wid;
  wid.SetDatabaseName(dir);
  wid.SetSQL("SELECT * FROM FTIWID");
  wid.Open();
  std::set<std::pair<int, int>> pairs;
  for (; !wid.Eof(); wid.Next()) {
    const int w = wid.Fields(0).AsInteger(), d = wid.Fields(1).AsInteger();
    EXPECT_TRUE(w >= 1 && w <= 40 && d >= 1 && d <= 60);
    pairs.insert({w, d});
  }
  EXPECT_EQ(pairs.size(), 1000u);
}

TEST(LegacyArchiveTest, SideFilesAreLegacyWindowsText) {
  test::TTempDir tmp;
  const std::string dir = tmp / "archiv";
  TLegacyArchiveOptions o;
  o.Documents = 5;
  WriteLegacyArchive(dir, o);
  const std::string lay = test::ReadFile(dir + "/document.lay");
  EXPECT_FALSE(IsValidUtf8(lay));
  const std::string text = Cp1252ToUtf8(lay);
  EXPECT_NE(text.find("Größe"), std::string::npos);
  EXPECT_NE(text.find("\r\nEdit3,doc,number,"), std::string::npos);
  EXPECT_NE(text.find(",Doc,NAMES,"), std::string::npos);
  const size_t twice = text.find(",Doc,NOTE,Left=8,Top=300");
  ASSERT_NE(twice, std::string::npos);
  EXPECT_NE(text.find(",Doc,NOTE,", twice + 1), std::string::npos);

  const std::string fld = Cp1252ToUtf8(test::ReadFile(dir + "/document.fld"));
  for (const char* section : {"[NUMBER]\r\n", "[NAMES]\r\n", "[KUNDE]\r\n", "Caption=Fällig am"})
    EXPECT_NE(fld.find(section), std::string::npos) << section;
  const std::string req = test::ReadFile(dir + "/reqfield.itm");
  EXPECT_EQ(req.rfind("NUMBER\r\nNAME\r\n", 0), 0u);
  EXPECT_NE(Cp1252ToUtf8(test::ReadFile(dir + "/NAMES.itm")).find("Müller, Jürgen\r\n"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(dir + "/KUNDE.itm"));
  EXPECT_FALSE(fs::exists(dir + "/PROJECT.itm"));
  EXPECT_TRUE(fs::exists(tmp / "PROJECT.itm"));
}

TEST(LegacyArchiveTest, ContentFollowsTheSeed) {
  test::TTempDir tmp;
  TLegacyArchiveOptions o;
  o.Documents = 8;
  o.FtiWordRows = 5;
  o.FtiWidRows = 20;
  o.SideFiles = false;
  WriteLegacyArchive(tmp / "a", o);
  WriteLegacyArchive(tmp / "b", o);
  o.Seed = 6;
  WriteLegacyArchive(tmp / "c", o);
  for (const char* table : kTables) {
    EXPECT_EQ(Dump(tmp / "a", table), Dump(tmp / "b", table)) << table;
    if (std::string(table) == "DOCUMENT") {
      EXPECT_NE(Dump(tmp / "a", table), Dump(tmp / "c", table));
    }
  }
  EXPECT_FALSE(fs::exists(tmp / "a/document.fld"));
  o.FtiWidRows = 41;  // more than five words in eight documents
  EXPECT_THROW(WriteLegacyArchive(tmp / "d", o), std::runtime_error);
}

}  // namespace
}  // namespace dk
