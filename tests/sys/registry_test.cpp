#include "sys/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "sys/text.h"

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

// The values of key K of a hive as "name=value" items joined by " | ":
// texts as they are, DWORDs as "dword:" and the number, anything else as its
// type and bytes.
std::string Shown(const THive& hive) {
  const THive::TKey* key = hive.FindKey("K");
  if (!key) return "<kein Schlüssel>";
  std::string s;
  for (const TRegValue* v : key->Values()) {
    if (!s.empty()) s += " | ";
    s += (v->Name.empty() ? "@" : v->Name) + "=";
    if (v->Type == 1 || v->Type == 2 || v->Type == 7) {
      s += v->Data;
    } else if (v->Type == 4) {
      uint32_t n = 0;
      for (size_t i = 0; i < v->Data.size(); ++i)
        n |= static_cast<uint32_t>(static_cast<uint8_t>(v->Data[i])) << (8 * i);
      s += "dword:" + std::to_string(n);
    } else {
      s += "hex(" + std::to_string(v->Type) + "):";
      for (unsigned char c : v->Data) s += std::to_string(c) + " ";
    }
  }
  return s;
}

// Each hive is read as regedit reads it, in every encoding and with every line
// end a Windows export or a hand edit may bring: the values taken, and the
// lines passed over (each named once, with its line number and key).
TEST(HiveParseTest, ReadsAsTheRegistryEditorReads) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n";
  struct TCase {
    const char* Name;
    std::string Text;
    std::string Values;
    size_t Problems;
    std::string FirstProblem;  // a part of the first message
  };
  const TCase cases[] = {
      {"comment after a value", head + "\"V\"=\"/srv/dk/\"  ;moved 2024\n\"W\"=\"x\";note\n",
       "V=/srv/dk/ | W=x", 0, ""},
      {"comment after a dword and after hex",
       head + "\"V\"=dword:0000000a ;ten\n\"W\"=hex:01,02;two\n", "V=dword:10 | W=hex(3):1 2 ", 0,
       ""},
      {"'#' after a value is no comment",
       head + "\"V\"=\"x\" #note\n\"W\"=dword:1#note\n\"X\"=\"kept\"\n", "X=kept", 2,
       "Zeile 4, Schlüssel HKEY_LOCAL_MACHINE\\K: Wert nicht lesbar, übergangen: \"V\"=\"x\" "
       "#note"},
      {"comments in and after a wrapped hex value",
       head + "\"V\"=hex(2):2f,00,73,00,\\;first part\n; a comment line\n  72,00,  \\  ;more\n"
              "    ;indented comment\n  76,00,2f,00,00,00\n\"W\"=\"after\"\n",
       "V=/srv/ | W=after", 0, ""},
      {"blank lines in a wrapped hex value",
       head + "\"V\"=hex(2):2f,00,73,00,\\\n\n  72,00,76,00,\\\n \t\n\n  2f,00,00,00\n", "V=/srv/",
       0, ""},
      {"a '#' line ends a wrapped value unread",
       head + "\"V\"=hex:01,02,\\\n#note\n  03\n\"W\"=\"after\"\n", "W=after", 2,
       "Zeile 4, Schlüssel HKEY_LOCAL_MACHINE\\K: Wert nicht lesbar"},
      {"a wrapped value takes the next value line with it",
       head + "\"V\"=hex:01,02,\\\n\"W\"=\"swallowed\"\n\"X\"=\"after\"\n", "X=after", 1,
       "Zeilen 4-5, Schlüssel HKEY_LOCAL_MACHINE\\K: Wert nicht lesbar"},
      {"a wrapped value never takes a key line",
       head + "\"V\"=hex:01,\\\n[HKEY_LOCAL_MACHINE\\K]\n\"W\"=\"taken\"\n", "W=taken", 1,
       "Zeile 4"},
      {"a break inside a number or without a comma",
       head + "\"V\"=hex:01,0\\\n2\n\"W\"=hex:01\\\n,02\n\"X\"=hex:01,\\\n", "X=hex(3):1 ", 4, ""},
      {"escapes inside quotes", head + "\"a;b#c\"=\"x;y#z \\\"q\\\" \\\\\\\\srv\\\\d \\x\"\n",
       "a;b#c=x;y#z \"q\" \\\\srv\\d \\x", 0, ""},
      {"repeated values and keys: the last setting wins",
       head + "\"V\"=\"1\"\n\"v\"=dword:2\n[HKEY_LOCAL_MACHINE\\Other]\n\"V\"=\"o\"\n"
              "[HKEY_LOCAL_MACHINE\\K]\n\"W\"=\"3\"\n\"V\"=\"4\"\n",
       "V=4 | W=3", 0, ""},
      {"a key line without the closing bracket",
       head + "\"V\"=\"1\"\n[HKEY_LOCAL_MACHINE\\K\n\"W\"=\"lost\"\n\"X\"=\"lost\"\n", "V=1", 1,
       "Zeile 5, Schlüssel [HKEY_LOCAL_MACHINE\\K: Schlüsselzeile ohne schließende Klammer"},
      {"unreadable key lines",
       head + "[ HKEY_LOCAL_MACHINE\\K]\n\"W\"=\"lost\"\n[HKEY_LOCAL_MACHINES\\K]\n"
              "[HKEY_LOCAL_MACHINE\\K] x\n",
       "", 3, "Zeile 4, Schlüssel [ HKEY_LOCAL_MACHINE\\K]: Schlüsselzeile nicht lesbar"},
      {"a deleted key followed by values",
       head + "\"V\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\K]\n\"W\"=\"2\"\n\"X\"=\"3\"\n",
       "<kein Schlüssel>", 1,
       "Zeile 6, Schlüssel HKEY_LOCAL_MACHINE\\K: Werte unter einem gelöschten Schlüssel"},
      {"a deleted key listed again",
       head + "\"V\"=\"1\"\n[-HKLM\\k]\n[HKLM\\K]\n\"W\"=\"2\"\n\"X\"=\"3\"\n\"W\"=-\n", "X=3", 0,
       ""},
      {"values before any key",
       "Windows Registry Editor Version 5.00\n\"V\"=\"1\"\n\"W\"=\"2\"\nx\n"
       "[HKEY_LOCAL_MACHINE\\K]\n\"X\"=\"3\"\n",
       "X=3", 2, "Zeile 2, Schlüssel (keiner): Werte vor dem ersten Schlüssel"},
      {"other hives are not reported",
       head + "\"V\"=\"1\"\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"u\"\nx=y\n", "V=1", 0, ""},
      {"dword forms",
       head + "\"A\"=dword:1\n\"B\"=dword:123456789\n\"C\"=dword:1234 5678\n\"D\"=dword:0x1\n"
              "\"E\"=DWORD:FFFFFFFF\n",
       "A=dword:1 | E=dword:4294967295", 3, "Zeile 5"},
      {"lines that are no value",
       head + "Name=\"x\"\n\"Unterminated=\"x\n\"V\"=\n\"W\"=str:x\n\"X\"=hex:1g\n", "", 5,
       "Zeile 4, Schlüssel HKEY_LOCAL_MACHINE\\K: Zeile nicht lesbar"},
      {"REGEDIT4: hex texts are ANSI",
       "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=hex(2):2f,73,72,76,\\\n  "
       "2f,00\n\"W\"=\"K\u00f6ln\"\n",
       "V=/srv/ | W=K\u00f6ln", 0, ""},
  };
  for (const auto& c : cases) {
    const std::string crlf = WithCrLf(c.Text);
    const std::string cr = [&] {
      std::string s = c.Text;
      std::replace(s.begin(), s.end(), '\n', '\r');
      return s;
    }();
    const std::pair<const char*, std::string> variants[] = {
        {"UTF-8 LF", c.Text},
        {"UTF-8 CR LF", crlf},
        {"UTF-8 CR", cr},
        {"Windows-1252 CR LF", Utf8ToCp1252(crlf)},
        {"UTF-16 LF", Utf16File(Widen(c.Text))},
        {"UTF-16 CR LF", Utf16File(Widen(crlf))},
        {"UTF-16 CR", Utf16File(Widen(cr))}};
    for (const auto& [variant, bytes] : variants) {
      SCOPED_TRACE(std::string(c.Name) + ", " + variant);
      std::vector<std::string> problems;
      std::string unusable;
      const THive hive = THive::Parse(bytes, "HKEY_LOCAL_MACHINE", &problems, &unusable);
      EXPECT_EQ(unusable, "");
      EXPECT_EQ(Shown(hive), c.Values);
      EXPECT_EQ(problems.size(), c.Problems) << (problems.empty() ? "" : problems.front());
      if (!c.FirstProblem.empty() && !problems.empty()) {
        EXPECT_NE(problems.front().find(c.FirstProblem), std::string::npos) << problems.front();
      }
    }
  }
}

TEST(HiveParseTest, AFileWithoutTheHeaderIsNoHive) {
  const std::string utf16NoBom = Utf16File(
                                     u"Windows Registry Editor Version 5.00\r\n\r\n"
                                     u"[HKEY_CURRENT_USER\\K]\r\n\"V\"=\"1\"\r\n")
                                     .substr(2);
  const struct {
    std::string Bytes;
    std::string Why;  // empty: an empty hive without a word
  } cases[] = {
      {"", ""},
      {" \r\n\r\n", ""},
      {"  REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"1\"\n", ""},  // blanks before the header
      {utf16NoBom, "die Datei sieht nach UTF-16 ohne Byte-Order-Mark aus"},
      {std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
       "die Datei enthält Nullbytes, sie ist keine Textdatei"},
      {"[HKEY_CURRENT_USER\\K]\n\"V\"=\"1\"\n", "die erste Zeile ist nicht"},
      {"\nREGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"1\"\n", "die erste Zeile ist nicht"},
      {"regedit4\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"1\"\n", "die erste Zeile ist nicht"},
      {"REGEDIT4 FOO\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"1\"\n", "die erste Zeile ist nicht"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Bytes);
    std::vector<std::string> problems;
    std::string unusable;
    const THive hive = THive::Parse(c.Bytes, "HKEY_CURRENT_USER", &problems, &unusable);
    EXPECT_TRUE(problems.empty());
    if (c.Why.empty()) {
      EXPECT_EQ(unusable, "");
    } else {
      EXPECT_NE(unusable.find(c.Why), std::string::npos) << unusable;
      EXPECT_EQ(hive.KeyCount(), 0u);
    }
  }
}

TEST_F(RegistryTest, DiagnosticsNameTheFileAndBrokenHivesAreNeverOverwritten) {
  TRegistry reg(TRootKey::CurrentUser);
  EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE"));  // a missing file is an empty hive
  EXPECT_EQ(reg.Diagnostics().Unusable, "");

  test::WriteFile(UserFile(),
                  "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n"
                  "\"V\"=\"1\" #x\r\n\"W\"=\"2\"\r\n");
  ASSERT_TRUE(reg.OpenKeyReadOnly("K"));
  ASSERT_EQ(reg.Diagnostics().Lines.size(), 1u);
  EXPECT_EQ(reg.Diagnostics().Lines[0],
            "Registrierungsdatei \"" + UserFile() +
                "\", Zeile 4, Schlüssel HKEY_CURRENT_USER\\K: Wert nicht lesbar, übergangen: "
                "\"V\"=\"1\" #x");

  const std::string broken = std::string("\x01\x02junk\0\xff", 8);
  test::WriteFile(UserFile(), broken);
  EXPECT_FALSE(reg.OpenKeyReadOnly("K"));
  EXPECT_EQ(reg.Diagnostics().Unusable,
            "Registrierungsdatei \"" + UserFile() +
                "\" kann nicht gelesen werden: die Datei enthält Nullbytes, sie ist keine "
                "Textdatei; ihre Einstellungen bleiben unberücksichtigt");
  EXPECT_FALSE(reg.OpenKey("K", true));
  EXPECT_EQ(test::ReadFile(UserFile()), broken);

  std::filesystem::remove(UserFile());
  std::filesystem::create_directory(UserFile());
  EXPECT_FALSE(reg.OpenKey("K", true));
  EXPECT_NE(reg.Diagnostics().Unusable.find("\" kann nicht gelesen werden ("), std::string::npos)
      << reg.Diagnostics().Unusable;
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
