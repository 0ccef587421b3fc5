// A conversion run under a machine hive as an administrator edits it by hand:
// the CommonFilesPath the hive names decides where the layouts, the global
// pick lists and Error.log go, whatever comments surround it.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/main_window.h"
#include "db/util/archive_schema.h"
#include "legacy_archive.h"
#include "support/settings_sandbox.h"
#include "sys/string_list.h"
#include "ui/message_box.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// UTF-16LE with a BOM and CR LF, as a Windows editor saves an export; the
// texts are ASCII.
std::string WindowsExport(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char c : text) {
    if (c == '\n') bytes += std::string("\r\0", 2);
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

// The UTF-16LE bytes of a text with its terminator, as hex(2) lists them.
std::string HexText(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (char c : text + '\0') {
    s += digits[static_cast<uint8_t>(c) >> 4];
    s += digits[static_cast<uint8_t>(c) & 15];
    s += ",00,";
  }
  return s;
}

class HandEditedHiveTest : public test::SettingsTest {
 protected:
  void SetUp() override {
    auto a = std::make_unique<TScriptedAnswerer>();
    FAnswerer = a.get();
    FPrevious = SetBoxAnswerer(std::move(a));
  }
  void TearDown() override { SetBoxAnswerer(std::move(FPrevious)); }

  TScriptedAnswerer* FAnswerer = nullptr;
  std::unique_ptr<TBoxAnswerer> FPrevious;
};

TEST_F(HandEditedHiveTest, RunWritesWhereTheHiveSays) {
  const std::string common = Common();  // ends with "/"
  const std::string key = "[HKEY_LOCAL_MACHINE\\" + SettingsKey + "]\n";
  // The CommonFilesPath as hex(2), wrapped after every eighth character, with
  // a comment after each break, a comment line and a blank line between the
  // parts (line ends converted twice).
  std::string wrapped = "\"CommonFilesPath\"=hex(2):";
  const std::string hex = HexText(common);
  for (size_t i = 0; i < hex.size(); i += 48)
    wrapped += hex.substr(i, 48) + (i + 48 < hex.size() ? "\\ ;Teil\n; Kommentar\n\n  " : "\n");
  const struct {
    const char* Name;
    std::string Hive;
  } cases[] = {
      {"a comment after the value",
       "Windows Registry Editor Version 5.00\n\n; von Hand angepasst\n" + key +
           "\"CommonFilesPath\"=\"" + common + "\"  ;neuer Ort\n\"OpenLastDB\"=dword:1 #alt\n"},
      {"a wrapped value with comments and a blank line",
       "Windows Registry Editor Version 5.00\n\n; von Hand angepasst\n" + key + wrapped +
           "\"OpenLastDB\"=dword:1 #alt\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string run = FDir / c.Name;
    fs::remove_all(common);
    fs::create_directories(common);
    test::WriteFile(FDir / "reg/HKEY_LOCAL_MACHINE.reg", WindowsExport(c.Hive));
    const std::string source = run + "/archive/legacy";
    const std::string target = run + "/ziel.db";
    WriteLegacyArchive(source);
    CreateEmptyArchive(target);
    {
      TApplication app;
      TFormArcport5Main form(nullptr, {source, target});
      form.Show();
      app.Run();
    }
    EXPECT_TRUE(FAnswerer->Shown().empty());

    // The layout and the global pick list in the shared data directory, the
    // hive's unread line first in its Error.log; nothing under glued names
    // beside it.
    EXPECT_TRUE(fs::exists(common + "Layouts/ziel.lay"));
    EXPECT_TRUE(fs::exists(common + "PROJECT.itm"));
    TStringList log;
    log.LoadFromFile(common + "Error.log");
    // (The run's own records, such as the missing to-do lists, follow it.)
    ASSERT_GE(log.Count(), 1);
    EXPECT_NE(
        log[0].find("Registrierungsdatei \"" + FDir / "reg/HKEY_LOCAL_MACHINE.reg" + "\", Zeile "),
        std::string::npos)
        << log[0];
    EXPECT_NE(log[0].find(", Schlüssel HKEY_LOCAL_MACHINE\\" + SettingsKey +
                          ": Wert nicht lesbar, übergangen: \"OpenLastDB\"=dword:1 #alt"),
              std::string::npos)
        << log[0];
    for (const auto& e : fs::directory_iterator(FDir.Path()))
      EXPECT_FALSE(e.path().filename().string().starts_with("common") &&
                   e.path().filename() != "common")
          << e.path();
  }
}

}  // namespace
}  // namespace dk
