#include "sys/file_names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "sys/api_tools.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

TEST(FileNames, MakeUniqueFileNameCountsUpBeforeTheExtension) {
  test::TTempDir dir;
  std::string name = dir / "Brief.doc";
  MakeUniqueFileName(name);
  EXPECT_EQ(name, dir / "Brief.doc");  // free: unchanged

  test::WriteFile(dir / "Brief.doc", "");
  MakeUniqueFileName(name);
  EXPECT_EQ(name, dir / "Brief1.doc");
  test::WriteFile(dir / "Brief1.doc", "");
  name = dir / "Brief.doc";
  MakeUniqueFileName(name);
  EXPECT_EQ(name, dir / "Brief2.doc");

  test::WriteFile(dir / "Brief.neu.doc", "");
  name = dir / "Brief.neu.doc";
  MakeUniqueFileName(name);
  EXPECT_EQ(name, dir / "Brief.neu1.doc");

  fs::create_directories(dir / "Ablage");  // a folder counts as taken
  name = dir / "Ablage";
  MakeUniqueFileName(name);
  EXPECT_EQ(name, dir / "Ablage1");
}

TEST(FileNames, CleanFileNameBothModes) {
  struct TCase {
    std::string Text;
    bool Strict;
    std::string Expected;
  };
  const TCase cases[] = {
      {"(internes Dokument)", true, "(internes Dokument)"},
      {"http://www.example.com/a/b.html?x=1;y=[2]", true, "httpwwwexamplecomabhtmlx1y2"},
      {"C:\\Ablage\\Brief.doc", true, "CAblageBriefdoc"},
      {"a<b>c|d*e\"f", true, "abcdef"},
      {std::string(300, 'x') + ".doc", true, std::string(255, 'x')},
      {std::string(254, 'x') + "äöü", true, std::string(254, 'x') + "ä"},  // characters count
      {"//server/share//dir///file?.doc", false, "//server/share/dir/file.doc"},
      {"/home/user//Ablage/Brief.doc", false, "/home/user/Ablage/Brief.doc"},
      {"/home/user/Ablage/Brief[1].doc", false, "/home/user/Ablage/Brief1.doc"},
      {"C:\\\\Ablage\\Brief.doc", false, "C:\\\\Ablage\\Brief.doc"},  // backslashes are data
  };
  for (const auto& c : cases)
    EXPECT_EQ(CleanFileName(c.Text, c.Strict), c.Expected) << c.Text << " strict " << c.Strict;
}

TEST(FileNames, NumberedVariants) {
  struct TCase {
    const char* A;
    const char* B;
    bool Variant;
  };
  const TCase cases[] = {{"Report3.doc", "report.DOC", true},
                         {"/x/Report3.doc", "/y/Report12.doc", true},
                         {"Report3.doc", "Report3.txt", false},
                         {"2023.doc", "1999.doc", true},
                         {"Brief.doc", "Briefe.doc", false},
                         {"ÄRGER1.doc", "ärger.doc", true},
                         {"Report", "Report2", true}};
  for (const auto& c : cases)
    EXPECT_EQ(IsNumberedVariant(c.A, c.B), c.Variant) << c.A << " " << c.B;

  test::TTempDir dir;
  EXPECT_TRUE(IsSameOrVariantFile(dir / "a/../Brief.doc", dir / "BRIEF.doc"));
  EXPECT_TRUE(IsSameOrVariantFile(dir / "Brief.doc", dir / "Brief7.doc"));
  EXPECT_FALSE(IsSameOrVariantFile(dir / "a/Brief.doc", dir / "b/Brief7.doc"));
}

TEST(FileNames, FileSizeByName) {
  test::TTempDir dir;
  EXPECT_EQ(FileSizeByName(dir / "missing.doc"), -1);
  EXPECT_EQ(FileSizeByName(dir / "*.doc"), -1);
  test::WriteFile(dir / "b.doc", "12345");
  test::WriteFile(dir / "a.doc", "123");
  EXPECT_EQ(FileSizeByName(dir / "b.doc"), 5);
  EXPECT_EQ(FileSizeByName(dir / "B.DOC"), 5);  // names ignore case
  EXPECT_EQ(FileSizeByName(dir / "?.doc"), 3);
  EXPECT_EQ(FileSizeByName(dir / "missing/*.doc"), -1);
}

TEST(FileNames, UrlAndHtmlTests) {
  EXPECT_TRUE(IsUrl("HTTP://x"));
  EXPECT_TRUE(IsUrl("https://x"));
  EXPECT_TRUE(IsUrl("Ftp://x"));
  EXPECT_FALSE(IsUrl("mailto:x"));
  EXPECT_FALSE(IsUrl("http:/x"));
  EXPECT_TRUE(IsHtmlFile("/a/Seite.HTML"));
  EXPECT_TRUE(IsHtmlFile("seite.htm"));
  EXPECT_FALSE(IsHtmlFile("seite.html.txt"));
}

TEST(FileNames, ReadOnlyAttribute) {
  test::TTempDir dir;
  const std::string f = dir / "x.doc";
  EXPECT_TRUE(IsFileReadOnly(f));  // missing
  test::WriteFile(f, "");
  fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write);
  EXPECT_FALSE(IsFileReadOnly(f));
  SetFileReadOnly(f, 1);
  EXPECT_TRUE(IsFileReadOnly(f));
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::group_write, fs::perms::none);
  SetFileReadOnly(f, 1);  // already read-only: nothing
  SetFileReadOnly(f, 0);
  EXPECT_FALSE(IsFileReadOnly(f));
  SetFileReadOnly(dir / "missing", 1);  // nothing, no box
}

TEST(FileNames, BackupCopy) {
  test::TTempDir dir;
  test::WriteFile(dir / "Brief.doc", "neu");
  test::WriteFile(dir / "Brief.~doc", "alt");
  test::WriteFile(dir / "Liste", "ohne");
  MakeBackupCopy(dir / "Brief.doc");
  MakeBackupCopy(dir / "Liste");
  MakeBackupCopy(dir / "missing.doc");
  EXPECT_EQ(test::ReadFile(dir / "Brief.~doc"), "neu");
  EXPECT_EQ(test::ReadFile(dir / "Liste.~"), "ohne");
  EXPECT_FALSE(fs::exists(dir / "missing.~doc"));
}

TEST(FileNames, AddFileNamesHonoursTheAttributeMask) {
  test::TTempDir dir;
  test::WriteFile(dir / "b.dot", "");
  test::WriteFile(dir / "A.DOT", "");
  test::WriteFile(dir / ".hidden.dot", "");
  fs::create_directories(dir / "folder.dot");
  TStringList list;
  AddFileNames(dir / "*.dot", 0, list);
  EXPECT_EQ(list, (TStringList{"A.DOT", "b.dot"}));
  list.Clear();
  AddFileNames(dir / "*.dot", faAnyFile, list);
  EXPECT_EQ(list, (TStringList{".hidden.dot", "A.DOT", "b.dot", "folder.dot"}));
  list.Clear();
  AddFileNames(dir / "*.xyz", faAnyFile, list);
  EXPECT_TRUE(list.Empty());
}

}  // namespace
}  // namespace dk
