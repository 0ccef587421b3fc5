// The real sample tables against their expected dumps.
//
// Every table under paradox-samples/ is dumped to its end and compared with
// expected/<path>.csv, which an independent reader produced. The few places
// where the expected text is known to be doubtful are listed below, each with
// the value this reader gives and the reason; everything else must be equal
// byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "csv.h"
#include "paradox/paradox_error.h"
#include "paradox/query.h"
#include "px_dump.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

std::string SamplesDir() {
  return test::SharedSamplesDir();
}

// Sample tables, as paths below SamplesDir() ("rparadox/of.db"); none when
// the samples are missing (the tests that need them skip).
std::vector<std::string> SampleTables() {
  std::vector<std::string> tables;
  if (!test::MissingSharedSamples().empty()) return tables;
  const fs::path root = fs::path(SamplesDir()) / "expected";
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    if (rel.size() > 4 && rel.substr(rel.size() - 4) == ".csv")
      tables.push_back(rel.substr(0, rel.size() - 4));
  }
  std::sort(tables.begin(), tables.end());
  return tables;
}

std::string TableDir(const std::string& table) {
  return SamplesDir() + "/" + fs::path(table).parent_path().string();
}
std::string TableName(const std::string& table) {
  return fs::path(table).stem().string();
}

std::string Dump(const std::string& table, TPxDumpOptions options = {},
                 std::vector<std::string>* problemsOut = nullptr) {
  std::ostringstream out;
  std::vector<std::string> problems;
  DumpParadoxTableCsv(TableDir(table), TableName(table), options, out, problems);
  if (problemsOut) *problemsOut = problems;
  return out.str();
}

std::string Expected(const std::string& table) {
  return test::ReadFile(SamplesDir() + "/expected/" + table + ".csv");
}

// Tables that are password-protected. This reader refuses them (it does not
// decrypt), so their expected dumps are not compared; the refusal is.
const std::set<std::string> kEncrypted = {
    "paradoxdriver/encrypt/encrypted.db",     "paradoxdriver/encrypt/encrypted35.db",
    "paradoxdriver/encrypt/encryptedmemo.db", "rparadox/TypSammlung_encrypted.DB",
    "rparadox/country_encrypted.db",          "rparadox/empty_encrypted.db",
};

// Tables whose memo and graphic values partly live in a .MB that is missing.
const std::string kMissingMb = "paradoxreader-java/MEMBRE.DB";

// Single values where the expected dump keeps the other reader's wrong text.
struct TKnownValue {
  const char* Table;
  int Row;  // data row, from 1
  const char* Field;
  const char* Ours;
  const char* Why;
};
const TKnownValue kKnownValues[] = {
    {"paradoxdriver/fields/bcd.db", 1, "C", "0.12299999999999999800000000000000",
     "the other reader prints the nibbles A-F of BCD noise as ':'..'?'; the digits after the "
     "first non-decimal nibble are noise and read as 0"},
    {"paradoxdriver/fields/bcd.db", 2, "C", "-0.12299999999999999800000000000000", "as row 1"},
    {"paradoxdriver/fields/bcd.db", 3, "C", "0.99990000000000001180000000000000", "as row 1"},
    {"paradoxdriver/history/db/fields.db", 1, "B", "0.10000000000000000560000000000000",
     "as bcd.db"},
    {"pxlib/TypSammlung.DB", 2, "BCD", "",
     "byte 0 lacks the bit every valid BCD value has: not a number, read as NULL"},
};

// NOTE1251.DB holds Cyrillic text under a header that says 936 (GBK). Some of
// its byte pairs fall in GBK's user-defined area, which Windows (and ICU's
// windows-936) maps to private-use characters, while the other reader replaced
// them byte by byte with U+FFFD and so resynchronised differently. Up to the
// first U+FFFD of the expected text both agree.
const std::string kGbkTable = "paradoxdriver/history/db/NOTE1251.DB";
const std::string kGbkField = "Note";

class SampleTable : public ::testing::TestWithParam<std::string> {};

TEST_P(SampleTable, DumpsAsExpected) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  const std::string table = GetParam();
  const std::string path = SamplesDir() + "/" + table;
  if (kEncrypted.count(table)) {
    try {
      Dump(table);
      FAIL() << "an encrypted table was read: " << table;
    } catch (const EParadoxError& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("verschlüsselt"), std::string::npos) << e.what();
    }
    return;
  }
  if (table == kMissingMb) {
    // Strict: the first value that needs the missing .MB stops the dump.
    try {
      Dump(table);
      FAIL() << "values from a missing .MB were read";
    } catch (const EParadoxError& e) {
      EXPECT_NE(std::string(e.what()).find("MEMBRE.MB"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("\"Memo\""), std::string::npos) << e.what();
    }
    // Going on: those values are empty, as in the expected dump, and reported.
    std::vector<std::string> problems;
    TPxDumpOptions options;
    options.KeepGoing = true;
    EXPECT_EQ(Dump(table, options, &problems), Expected(table));
    EXPECT_EQ(problems.size(), 8u);  // Memo rows 1 and 4, Photo rows 1-6
    return;
  }

  const std::string ours = Dump(table);
  const std::string expected = Expected(table);
  bool hasExceptions = table == kGbkTable;
  for (const auto& k : kKnownValues) hasExceptions = hasExceptions || table == k.Table;
  if (!hasExceptions) {
    EXPECT_TRUE(ours == expected) << table << ": the dump differs from the expected CSV";
    return;
  }

  const auto a = test::ParseCsv(ours);
  const auto b = test::ParseCsv(expected);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_FALSE(a.empty());
  ASSERT_EQ(a[0], b[0]);
  std::set<std::pair<int, std::string>> seen;
  for (size_t r = 1; r < a.size(); ++r) {
    ASSERT_EQ(a[r].size(), b[r].size()) << "row " << r;
    for (size_t c = 0; c < a[r].size(); ++c) {
      const std::string& field = a[0][c];
      const TKnownValue* known = nullptr;
      for (const auto& k : kKnownValues)
        if (table == k.Table && static_cast<size_t>(k.Row) == r && field == k.Field) known = &k;
      if (known) {
        EXPECT_EQ(a[r][c], known->Ours)
            << table << " row " << r << " " << field << ": " << known->Why;
        EXPECT_NE(b[r][c], known->Ours) << "the expected dump was corrected; drop the exception";
        seen.insert({static_cast<int>(r), field});
      } else if (table == kGbkTable && field == kGbkField && a[r][c] != b[r][c]) {
        const size_t bad = b[r][c].find("\xEF\xBF\xBD");
        ASSERT_NE(bad, std::string::npos) << "row " << r;
        EXPECT_EQ(a[r][c].substr(0, bad), b[r][c].substr(0, bad)) << "row " << r;
      } else {
        EXPECT_EQ(a[r][c], b[r][c]) << table << " row " << r << " field " << field;
      }
    }
  }
  for (const auto& k : kKnownValues)
    if (table == k.Table) {
      EXPECT_TRUE(seen.count({k.Row, k.Field})) << k.Field << " row " << k.Row;
    }
}

std::string ParamName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name;
  for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleTable, ::testing::ValuesIn(SampleTables()), ParamName);
// Without the samples there is nothing to instantiate, and that is no fault.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SampleTable);

TEST(Samples, EveryTableHasAnExpectedDump) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  // Guards the list above: a sample without expected dump would go untested.
  std::set<std::string> expected;
  for (const auto& t : SampleTables()) expected.insert(t);
  EXPECT_EQ(expected.size(), 182u);
  for (const auto& e : fs::recursive_directory_iterator(SamplesDir())) {
    const std::string rel = fs::relative(e.path(), SamplesDir()).string();
    if (rel.rfind("expected/", 0) == 0 || !e.is_regular_file()) continue;
    const std::string ext = e.path().extension().string();
    if (ext == ".DB" || ext == ".db") {
      EXPECT_TRUE(expected.count(rel)) << rel;
    }
  }
}

TEST(Samples, EveryDirectoryLists) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  std::set<std::string> dirs;
  for (const auto& t : SampleTables()) dirs.insert(TableDir(t));
  for (const auto& dir : dirs) {
    std::ostringstream out;
    std::vector<std::string> problems;
    ListParadoxDirectory(dir, 0, out, problems);
    EXPECT_TRUE(problems.empty()) << dir << ": " << (problems.empty() ? "" : problems[0]);
    EXPECT_NE(out.str().find("Tabelle"), std::string::npos);
  }
}

TEST(Samples, ListingShowsVersionRowsFieldsCodePageAndMb) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  std::ostringstream out;
  std::vector<std::string> problems;
  ListParadoxDirectory(SamplesDir() + "/paradoxdriver/encrypt", 0, out, problems);
  const std::string text = out.str();
  // name, version, rows, fields, code page, .MB, remark
  EXPECT_NE(text.find("encrypted35    3.5           2       2  437*      nein  verschlüsselt"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("encryptedmemo  4.0           2       1  1252      ja"), std::string::npos)
      << text;
}

TEST(Samples, CodePageOverrideReadsTheRealEncoding) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  // of.db is a Paradox 3.5 table without code page, really cp866; of_cp866.db
  // is the same register saved with code page 866 in its header.
  TPxDumpOptions options;
  options.CodePage = 866;
  EXPECT_TRUE(Dump("rparadox/of.db", options) == Expected("rparadox/of_cp866.db"));

  options.CodePage = 1251;
  EXPECT_NE(Dump("pyparadox/test.db", options).find("1,0,Внешний мир,,"), std::string::npos);
  EXPECT_NE(Dump(kGbkTable, options).find("При разработке электронных сервисов"),
            std::string::npos);
}

}  // namespace
}  // namespace dk
