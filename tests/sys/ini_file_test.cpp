#include "sys/ini_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace dk {
namespace {

TEST(IniFile, LinesSectionsAndKeysFollowTheWindowsRules) {
  const TIniFile ini = TIniFile::FromText(
      "orphan=before any section\r\n"
      "  [Options]  \r\n"
      "; RegistryPath=commented out\r\n"
      "\r\n"
      "  RegistryPath =  SOFTWARE\\Other\\Place\\  \r\n"
      "registrypath=second one loses\r\n"
      "Quoted=\"kept as it stands\"\r\n"
      "no equals sign here\r\n"
      "[OPTIONS]\r\n"
      "Late=merged\r\n");
  EXPECT_FALSE(ini.ValueExists("", "orphan"));
  EXPECT_TRUE(ini.SectionExists("options"));
  EXPECT_EQ(ini.ReadString("OPTIONS", "registryPATH", "x"), "SOFTWARE\\Other\\Place\\");
  EXPECT_EQ(ini.ReadString("Options", "Quoted", ""), "\"kept as it stands\"");
  EXPECT_EQ(ini.ReadString("Options", "Late", ""), "merged");
  EXPECT_EQ(ini.ReadString("Options", "Missing", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("Nowhere", "RegistryPath", "dflt"), "dflt");

  TStringList lines;
  ini.ReadSectionValues("options", lines);
  EXPECT_EQ(lines,
            (TStringList{"RegistryPath=SOFTWARE\\Other\\Place\\", "registrypath=second one loses",
                         "Quoted=\"kept as it stands\"", "no equals sign here", "Late=merged"}));
  TStringList keys;
  ini.ReadSection("Options", keys);
  EXPECT_EQ(keys.Count(), 4);
  ini.ReadSectionValues("Nowhere", lines);
  EXPECT_TRUE(lines.Empty());
}

TEST(IniFile, NumbersAndBooleans) {
  const TIniFile ini = TIniFile::FromText(
      "[N]\ndec=42\nneg=-7\ndollar=$1F\nhex=0x10\nHEX=0X10\nbig=$FFFFFFFF\n"
      "over=2147483648\nword=yes\nempty=\nzero=0\nspace= 12 \nfrac=1,5\ndot=2.25\n"
      "exp=1e3\nhalf=1,5x\n");
  struct TCase {
    const char* Key;
    int Int;
    bool Bool;
  };
  // Default 99 / true marks "not a number".
  const TCase cases[] = {{"dec", 42, true},   {"neg", -7, true},    {"dollar", 31, true},
                         {"hex", 16, true},   {"big", -1, true},    {"over", 99, true},
                         {"word", 99, true},  {"empty", 99, true},  {"zero", 0, false},
                         {"space", 12, true}, {"missing", 99, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(ini.ReadInteger("N", c.Key, 99), c.Int) << c.Key;
    EXPECT_EQ(ini.ReadBool("N", c.Key, true), c.Bool) << c.Key;
  }
  EXPECT_FALSE(ini.ReadBool("N", "word", false));  // "yes" is no number: the default
  EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "frac", -1), 1.5);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "dot", -1), 2.25);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "exp", -1), 1000);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "half", -1), -1);
}

TEST(IniFile, FilesAreDecodedAsLegacyTextAndMissingFilesAreEmpty) {
  test::TTempDir dir;
  test::WriteFile(dir / "cp1252.ini", "[Admin]\r\nErrorMessage=Bitte Herrn M\xFCller anrufen\r\n");
  test::WriteFile(dir / "utf8bom.ini", "\xEF\xBB\xBF[Admin]\nErrorMessage=M\xC3\xBCller\n");
  EXPECT_EQ(TIniFile(dir / "cp1252.ini").ReadString("Admin", "ErrorMessage", ""),
            "Bitte Herrn Müller anrufen");
  EXPECT_EQ(TIniFile(dir / "utf8bom.ini").ReadString("admin", "errormessage", ""), "Müller");
  const TIniFile missing(dir / "missing.ini");
  EXPECT_FALSE(missing.SectionExists("Admin"));
  EXPECT_EQ(missing.ReadInteger("A", "B", 5), 5);
  // A directory where the file should be reads as empty as well.
  EXPECT_FALSE(TIniFile(dir.Path()).SectionExists("Admin"));
}

}  // namespace
}  // namespace dk
