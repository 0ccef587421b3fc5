#include "sys/registry.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

// UTF-16LE bytes with a BOM, as regedit writes them.
std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

// ASCII and two-byte UTF-8 sequences are all the fixtures hold.
std::u16string Widen(const std::string& utf8) {
  std::u16string wide;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    if (b >= 0xC0) {
      wide += static_cast<char16_t>(((b & 0x1F) << 6) | (static_cast<uint8_t>(utf8[i + 1]) & 0x3F));
      i += 2;
    } else {
      wide += static_cast<char16_t>(b);
      ++i;
    }
  }
  return wide;
}

std::string WithCrLf(std::string s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const char* const kExport =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\n"
    "\"CommonFilesPath\"=\"\\\\\\\\server\\\\Dokalon \\\"Pro\\\"\\\\\"\n"
    "@=\"default value\"\n"
    "\"FtiCreateMode\"=dword:00000102\n"
    "\"Blob\"=hex:01,02,ff,\\\n"
    "  10\n"
    "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,e4,00,00,00\n"
    "\"Name\"=\"K\u00f6ln\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\n"
    "\"Foreign\"=\"belongs to another hive\"\n";

class RegistryTest : public ::testing::Test {
 protected:
  test::TTempDir FDir;
  test::TScopedEnv FEnv{"DOKALON_REGISTRY_DIR", FDir.Path()};
  std::string MachineFile() const { return FDir / "HKEY_LOCAL_MACHINE.reg"; }
  std::string UserFile() const { return FDir / "HKEY_CURRENT_USER.reg"; }
};

TEST_F(RegistryTest, HiveFilesFollowTheEnvironment) {
  EXPECT_EQ(HiveFileName(TRootKey::LocalMachine), MachineFile());
  EXPECT_EQ(HiveFileName(TRootKey::CurrentUser), UserFile());
  test::TScopedEnv noDir("DOKALON_REGISTRY_DIR", "");
  test::TScopedEnv config("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(HiveFileName(TRootKey::LocalMachine), "/etc/dokalon/HKEY_LOCAL_MACHINE.reg");
  EXPECT_EQ(HiveFileName(TRootKey::CurrentUser), "/cfg/dokalon/HKEY_CURRENT_USER.reg");
}

TEST_F(RegistryTest, EveryEncodingAndLineEndReadsTheSame) {
  const std::string utf8 = kExport;
  const std::string variants[] = {utf8, WithCrLf(utf8), Utf16File(Widen(utf8)),
                                  Utf16File(Widen(WithCrLf(utf8)))};
  for (const auto& bytes : variants) {
    test::WriteFile(MachineFile(), bytes);
    TRegistry reg(TRootKey::LocalMachine);
    ASSERT_TRUE(reg.OpenKeyReadOnly("software\\TESMARIN\\Dokalon\\settings"));
    EXPECT_EQ(reg.ReadString("commonfilespath"), "\\\\server\\Dokalon \"Pro\"\\");
    EXPECT_EQ(reg.ReadString(""), "default value");
    EXPECT_EQ(reg.ReadInteger("FtiCreateMode"), 258);
    EXPECT_EQ(reg.ReadBinaryData("Blob"), std::string("\x01\x02\xff\x10", 4));
    EXPECT_EQ(reg.GetDataType("Expand"), TRegDataType::ExpandString);
    EXPECT_EQ(reg.ReadString("Expand"), "%TEMP%ä");
    EXPECT_EQ(reg.ReadString("Name"), "Köln");
    EXPECT_FALSE(reg.ValueExists("Foreign"));
  }
}

TEST_F(RegistryTest, KeysAndValueTypes) {
  test::WriteFile(MachineFile(), kExport);
  TRegistry reg(TRootKey::LocalMachine);
  EXPECT_TRUE(reg.KeyExists("SOFTWARE\\Tesmarin"));  // parents of listed keys exist
  EXPECT_FALSE(reg.KeyExists("SOFTWARE\\Other"));
  EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE\\Other"));
  EXPECT_FALSE(std::filesystem::exists(UserFile()));

  ASSERT_TRUE(reg.OpenKeyReadOnly("SOFTWARE\\Tesmarin\\Dokalon\\Settings"));
  EXPECT_THROW(reg.ReadInteger("Name"), ERegistryException);          // a string
  EXPECT_THROW(reg.ReadString("FtiCreateMode"), ERegistryException);  // a DWORD
  EXPECT_THROW(reg.ReadBool("Missing"), ERegistryException);
  EXPECT_THROW(reg.WriteInteger("FormLeft", 1), ERegistryException);  // opened for reading
  TStringList names;
  reg.GetValueNames(names);
  EXPECT_EQ(names.Count(), 6);
}

TEST_F(RegistryTest, MalformedLinesAreSkippedAndMissingFilesAreEmpty) {
  TRegistry reg(TRootKey::CurrentUser);
  EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE"));
  test::WriteFile(UserFile(),
                  "garbage before any key\n"
                  "[HKEY_CURRENT_USER\\K]\n"
                  "\"Unterminated=\"x\n"
                  "\"BadDword\"=dword:xyz\n"
                  "\"TooLong\"=dword:123456789\n"
                  "\"BadHex\"=hex:1g\n"
                  "\"Deleted\"=-\n"
                  "\"Good\"=dword:0000000a\n"
                  "[-HKEY_CURRENT_USER\\Gone]\n"
                  "\"Lost\"=\"x\"\n"
                  "[HKEY_CURRENT_USER\\Unclosed\n");
  ASSERT_TRUE(reg.OpenKeyReadOnly("K"));
  TStringList names;
  reg.GetValueNames(names);
  EXPECT_EQ(names, TStringList{"Good"});
  EXPECT_FALSE(reg.KeyExists("\\Gone"));
}

TEST_F(RegistryTest, WritesRewriteTheHiveAtomicallyAndKeepOtherKeys) {
  test::WriteFile(UserFile(), Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                        u"[HKEY_CURRENT_USER\\Other]\r\n\"Keep\"=\"me\"\r\n"));
  {
    TRegistry reg(TRootKey::CurrentUser);
    ASSERT_FALSE(reg.OpenKey("SOFTWARE\\Forms\\FormX", false));
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Forms\\FormX", true));
    reg.WriteInteger("FormLeft", -20);
    reg.WriteBool("StayOnTop", true);
    reg.WriteString("Path", "C:\\Daten \"neu\"");
    reg.WriteBinaryData("Bytes", std::string("\0\x7f", 2));
    reg.WriteInteger("formleft", 30);  // same value, other spelling
    reg.CloseKey();
  }
  const std::string text = test::ReadFile(UserFile());
  EXPECT_TRUE(text.starts_with("Windows Registry Editor Version 5.00\r\n")) << text;
  EXPECT_NE(text.find("\"FormLeft\"=dword:0000001e\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Path\"=\"C:\\\\Daten \\\"neu\\\"\"\r\n"), std::string::npos) << text;
  for (const auto& e : std::filesystem::directory_iterator(FDir.Path()))
    EXPECT_EQ(e.path().filename(), "HKEY_CURRENT_USER.reg");  // no temporary file left

  TRegistry reg(TRootKey::CurrentUser);
  ASSERT_TRUE(reg.OpenKeyReadOnly("Other"));
  EXPECT_EQ(reg.ReadString("Keep"), "me");
  ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Forms\\FormX"));
  EXPECT_EQ(reg.ReadInteger("FormLeft"), 30);
  EXPECT_TRUE(reg.ReadBool("StayOnTop"));
  EXPECT_EQ(reg.ReadString("Path"), "C:\\Daten \"neu\"");
  EXPECT_EQ(reg.ReadBinaryData("Bytes"), std::string("\0\x7f", 2));
}

TEST_F(RegistryTest, WriteKeepsValuesAnotherWriterAddedMeanwhile) {
  TRegistry first(TRootKey::CurrentUser);
  TRegistry second(TRootKey::CurrentUser);
  ASSERT_TRUE(first.OpenKey("K", true));
  ASSERT_TRUE(second.OpenKey("K", true));
  first.WriteInteger("A", 1);
  second.WriteInteger("B", 2);
  TRegistry reader(TRootKey::CurrentUser);
  ASSERT_TRUE(reader.OpenKeyReadOnly("K"));
  EXPECT_EQ(reader.ReadInteger("A"), 1);
  EXPECT_EQ(reader.ReadInteger("B"), 2);
}

TEST_F(RegistryTest, AnUnwritableHiveRaisesOnWrite) {
  test::TScopedEnv env("DOKALON_REGISTRY_DIR", FDir / "file-not-dir");
  test::WriteFile(FDir / "file-not-dir", "");
  TRegistry reg(TRootKey::CurrentUser);
  EXPECT_FALSE(reg.OpenKey("K", true));
}

}  // namespace
}  // namespace dk
