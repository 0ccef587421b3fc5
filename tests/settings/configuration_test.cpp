#include "settings/configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "settings/error_log.h"
#include "settings/reg_tool.h"
#include "support/settings_sandbox.h"
#include "sys/api_tools.h"

namespace dk {
namespace {

using ConfigurationTest = test::SettingsTest;

TEST_F(ConfigurationTest, WithoutAnySourceEveryPropertyHasItsDefault) {
  auto cfg = Load(false);
  EXPECT_EQ(cfg->CommonFilesPath, GetCommonDataFolder() + "Dokalon Pro/");
  EXPECT_EQ(cfg->AdminIniFile, cfg->CommonFilesPath + "admin.ini");
  EXPECT_EQ(cfg->LayoutFile, cfg->CommonFilesPath + "Layouts/Layout.lay");
  EXPECT_EQ(GetLayoutsDir(), cfg->CommonFilesPath + "Layouts/");
  EXPECT_FALSE(cfg->UserSettingsFound);
  EXPECT_TRUE(cfg->IgnoreDigits);
  EXPECT_EQ(cfg->WordChars, LetterChars());
  EXPECT_TRUE(cfg->WordChars.test(0xE4));  // ä
  EXPECT_FALSE(cfg->WordChars.test('5'));
  EXPECT_EQ(cfg->FtiCreateMode, 2);
  EXPECT_EQ(cfg->FtiFileTypes, ".doc.eml.htm.html.msg.pdf.rtf.txt.xls.");
  EXPECT_EQ(cfg->MenuStyle, 3);
  EXPECT_EQ(cfg->MenuBckgrndImage, "");
  EXPECT_EQ(cfg->DefaultFilePath, "{OS:MyFiles}/Dokumente/{Doc:Project}/");
  EXPECT_EQ(cfg->DefaultDocNumber, "{Doc:DocID}");
  EXPECT_EQ(cfg->MailFieldSubject, "NAME");
  EXPECT_EQ(cfg->BrowserWindowTitles,
            (TStringList{"- Microsoft Internet Explorer", "Netscape", "Mozilla", "Opera - ["}));
  EXPECT_EQ(cfg->ImportDefaultFields,
            (TStringList{"Name={Source:Name}", "Project={Source:DirPart,-1,-2}", "State=Normal",
                         "CATEGORY=Datenübernahme"}));
  EXPECT_EQ(cfg->ImportFilter,
            (TStringList{"~*", "backup*", "sicherungskopie von*", "*_copy*", "*_vers*"}));
  EXPECT_TRUE(cfg->DirWatchDirList.Empty());
  EXPECT_TRUE(cfg->DirWatchDirList.Sorted());
  EXPECT_EQ(cfg->DirWatchPath, "");
  EXPECT_DOUBLE_EQ(cfg->WorkTime, -1.0);
  EXPECT_EQ(cfg->ToDoTimerFirstInterval, 10000);
  EXPECT_EQ(cfg->QuoteChar, "");
  EXPECT_FALSE(DevActive);
  // Defaults that follow the tool mode.
  EXPECT_TRUE(cfg->MenuLargeImages);
  EXPECT_TRUE(cfg->MenuShowCaption);
  EXPECT_TRUE(cfg->UseSystemPopupMenu);
  EXPECT_FALSE(cfg->DefineAccessRights);
  auto tool = Load(true);
  EXPECT_FALSE(tool->MenuLargeImages);
  EXPECT_FALSE(tool->MenuShowCaption);
  EXPECT_FALSE(tool->UseSystemPopupMenu);
  EXPECT_TRUE(tool->DefineAccessRights);
}

TEST_F(ConfigurationTest, MenuBitmapBesideTheProgramIsTheDefaultBackground) {
  test::WriteFile(ProgramDir + "menu.bmp", "BM");
  EXPECT_EQ(Load()->MenuBckgrndImage, ProgramDir + "menu.bmp");
}

const char* const kMachineValues =
    "\"DocDataBase\"=\"/data/doc.mdb\"\n"
    "\"OpenLastDB\"=dword:00000000\n"
    "\"AutoCAD\"=dword:00000005\n"
    "\"ApplMaximize\"=dword:00000000\n"
    "\"PreviewExe\"=\"viewer\"\n"
    "\"DropDownCount\"=dword:00000014\n"
    "\"UseSystemPopupMenu\"=dword:00000001\n"
    "\"ShowDocCount\"=dword:00000000\n"
    "\"FtiCreateMode\"=dword:00000102\n"
    "\"FtiIgnoreDigits\"=dword:00000000\n"
    "\"FtiFileType\"=\".txt.\"\n"
    "\"FtiMaxFileSize\"=\"9\"\n"  // a string where a DWORD belongs: default
    "\"FtiUseSearchWords\"=dword:00000001\n";

TEST_F(ConfigurationTest, ToolModeSkipsTheMachineValuesFromApplMaximizeOn) {
  WriteMachine(kMachineValues);
  auto cfg = Load(true);
  EXPECT_EQ(cfg->CommonFilesPath, Common());
  EXPECT_EQ(cfg->DocDataBase, "/data/doc.mdb");
  EXPECT_FALSE(cfg->OpenLastDB);
  EXPECT_TRUE(cfg->AutoCAD);
  EXPECT_TRUE(cfg->ApplMaximize);
  EXPECT_EQ(cfg->PreviewExe, "");
  EXPECT_EQ(cfg->DropDownCount, 8);
  EXPECT_FALSE(cfg->UseSystemPopupMenu);
  EXPECT_TRUE(cfg->ShowDocCount);
  EXPECT_EQ(cfg->FtiCreateMode, 2);
  EXPECT_TRUE(cfg->IgnoreDigits);
  EXPECT_FALSE(cfg->FtiUseSearchWords);
  EXPECT_EQ(cfg->WordListFile, Common() + "stopword.lst");

  auto full = Load(false);
  EXPECT_FALSE(full->ApplMaximize);
  EXPECT_EQ(full->PreviewExe, "viewer");
  EXPECT_EQ(full->DropDownCount, 20);
  EXPECT_TRUE(full->UseSystemPopupMenu);
  EXPECT_FALSE(full->ShowDocCount);
  EXPECT_EQ(full->FtiCreateMode, 2);  // 258, low 8 bits
  EXPECT_FALSE(full->IgnoreDigits);
  EXPECT_TRUE(full->WordChars.test('0'));
  EXPECT_EQ(full->FtiFileTypes, ".txt.");
  EXPECT_EQ(full->FtiMaxFileSize, 2);
  EXPECT_EQ(full->WordListFile, Common() + "searchword.lst");
}

TEST_F(ConfigurationTest, AdminIniAllowEditFilenameGatesDefaultForExistingFile) {
  WriteMachine();
  struct TCase {
    const char* Document;
    bool Expected;
  };
  const TCase cases[] = {{"AllowEditFilename=1\nDefaultForExistingFile=1\n", false},
                         {"AllowEditFilename=0\nDefaultForExistingFile=1\n", true},
                         {"AllowEditFilename=0\n", false},
                         {"DefaultForExistingFile=1\n", false}};
  for (const auto& c : cases) {
    WriteAdminIni(std::string("[Document]\n") + c.Document);
    EXPECT_EQ(Load()->DefaultForExistingFile, c.Expected) << c.Document;
  }
}

TEST_F(ConfigurationTest, AdminIniNumbersBooleansAndSections) {
  WriteMachine("\"ShowDocCount\"=dword:00000000\n\"DropDownCount\"=dword:00000014\n");
  WriteAdminIni(
      "; administrator's file\r\n"
      "[DataBase]\r\n"
      "Protocol=0x1\r\n"
      "NoUppercase=$1\r\n"
      "LoadAllRecords=yes\r\n"  // no number: the default (true) stays
      "BNF_WorkAround = 1\r\n"
      "ShowDocCount=1\r\n"  // admin.ini wins over the machine settings
      "QuoteChar=\"\r\n"
      "CacheSize=50\r\n"
      "[FullTextIndex]\r\n"
      "CreateMode=258\r\n"
      "IgnoreDigits=0\r\n"
      "[View]\r\n"
      "DropDownCount=12\r\n"
      "[Admin]\r\n"
      "ErrorMessage=Bitte Herrn M\xFCller anrufen (Tel. 123)\r\n"
      "[Document]\r\n"
      "DefaultFilePath=/srv/ablage\r\n"
      "[ArchDoc]\r\n"
      "FilePath=\\\\server\\archiv\\\r\n"
      "[eMail]\r\n"
      "SaveFormat=$0103\r\n"
      "[Import]\r\n"
      "BrowserWindowTitle=Firefox\r\n"
      "IgnoreExt=.TMP.BAK.\r\n"
      "[ImportFilter]\r\n"
      "1=*.tmp\r\n"
      "2=~$*\r\n"
      "[DirWatch]\r\n"
      "WorkTime=1,5\r\n"
      "ExecMacroExt=.DOC\r\n"
      "[DirWatchDirList]\r\n"
      "a=/srv/zeta\r\n"
      "b=/srv/Alpha\r\n"
      "c=/SRV/ZETA\r\n"
      "no equals sign\r\n"
      "[Secure]\r\n"
      "DisallowDeleteAll=1\r\n"
      "EditUserName=1\r\n"
      "[ProtectedActions]\r\n"
      "Delete=1\r\n"
      "[ToDo]\r\n"
      "TimerFistInterval=500\r\n"
      "[Developer]\r\n"
      "AdminActive=1\r\n");
  auto cfg = Load(false);
  EXPECT_TRUE(cfg->Protocol);
  EXPECT_TRUE(cfg->NoUppercase);
  EXPECT_TRUE(cfg->LoadAllRecords);
  EXPECT_TRUE(cfg->BNF_WorkAround);
  EXPECT_TRUE(cfg->ShowDocCount);
  EXPECT_EQ(cfg->QuoteChar, "\"");
  // The engines would read a double-quoted text as a column name: the
  // literals keep the apostrophe, and the administrator learns why.
  ASSERT_TRUE(std::filesystem::exists(ErrorLogFileName()));
  EXPECT_NE(test::ReadFile(ErrorLogFileName())
                .find("Die Einstellung [DataBase] QuoteChar=\" in \"" + cfg->AdminIniFile +
                      "\" wird nicht verwendet: SQLite und PostgreSQL begrenzen Texte nur mit "
                      "dem Apostroph."),
            std::string::npos);
  EXPECT_TRUE(cfg->HasCursorSettings);
  EXPECT_EQ(cfg->FtiCreateMode, 2);
  EXPECT_FALSE(cfg->IgnoreDigits);
  for (char c = '0'; c <= '9'; ++c) EXPECT_TRUE(cfg->WordChars.test(static_cast<size_t>(c)));
  EXPECT_EQ(cfg->DropDownCount, 12);
  EXPECT_EQ(cfg->ErrorMessage, "Bitte Herrn Müller anrufen (Tel. 123)");
  EXPECT_EQ(cfg->DefaultFilePath, "/srv/ablage/");
  EXPECT_EQ(cfg->ArchFilePath, "\\\\server\\archiv\\");
  EXPECT_EQ(cfg->MailSaveFormat, 3);
  EXPECT_EQ(cfg->BrowserWindowTitles.Count(), 5);
  EXPECT_EQ(cfg->BrowserWindowTitles[4], "Firefox");
  EXPECT_EQ(cfg->IgnoreExt, ".tmp.bak.");
  EXPECT_EQ(cfg->ExecMacroExt, ".doc");
  EXPECT_TRUE(cfg->ImportDefaultFields.Empty());  // section missing from an existing admin.ini
  EXPECT_EQ(cfg->ImportFilter, (TStringList{"*.tmp", "~$*"}));
  EXPECT_DOUBLE_EQ(cfg->WorkTime, 1.5);
  EXPECT_EQ(cfg->DirWatchPath, "/");  // [DirWatch] Path missing: just the separator
  EXPECT_EQ(cfg->DirWatchDirList, (TStringList{"", "/srv/Alpha", "/srv/zeta"}));
  EXPECT_FALSE(cfg->AllowDeleteAll);
  EXPECT_TRUE(cfg->AllowEditAll);
  EXPECT_FALSE(cfg->UserNameFixed);
  EXPECT_EQ(cfg->ProtectedActions, TStringList{"Delete=1"});
  EXPECT_EQ(cfg->ToDoTimerFirstInterval, 500);
  EXPECT_TRUE(AdminActive);
  EXPECT_FALSE(DevActive);
}

TEST_F(ConfigurationTest, AdminIniOddValuesKeepDefaults) {
  WriteMachine();
  WriteAdminIni(
      "[DataBase]\nQuoteChar=\nCursorLocation\n"  // no "=": no key
      "[FullTextIndex]\nMaxFileSize=zwei\nIgnoreLength=99999999999\n"
      "[eMail]\nSaveFormat=x\n[DirWatch]\nPath=/watch/\nWorkTime=abc\n");
  auto cfg = Load();
  EXPECT_EQ(cfg->QuoteChar, "");
  EXPECT_FALSE(std::filesystem::exists(ErrorLogFileName()));
  EXPECT_FALSE(cfg->HasCursorSettings);
  EXPECT_EQ(cfg->FtiMaxFileSize, 2);
  EXPECT_EQ(cfg->FtiIgnoreLength, 2);
  EXPECT_EQ(cfg->MailSaveFormat, 1);
  EXPECT_EQ(cfg->DirWatchPath, "/watch/");
  EXPECT_DOUBLE_EQ(cfg->WorkTime, -1.0);
  EXPECT_EQ(cfg->ImportFilter.Count(), 5);  // no [ImportFilter]: the defaults stay
}

TEST_F(ConfigurationTest, ReadAdminIniWithoutTheFileFallsBackToDefaults) {
  WriteMachine("\"DocDataBase\"=\"/data/doc.mdb\"\n");
  auto cfg = Load();
  ASSERT_EQ(cfg->DocDataBase, "/data/doc.mdb");
  cfg->ReadAdminIni();
  EXPECT_EQ(cfg->DocDataBase, "");
}

TEST_F(ConfigurationTest, UserSettings) {
  WriteMachine();
  WriteHive(false,
            "\"ShowHint\"=dword:00000000\n"
            "\"LastOpenedDBs\"=\"/a/doc.mdb,\\\"/b/mit blank.mdb\\\" /c.mdb\"\n"
            "\"MenuStyle\"=dword:00000001\n"
            "\"MenuAnimations\"=dword:00000203\n"
            "\"UseSystemFont\"=dword:00000000\n"
            "\"FormFont\"=\"Arial,10,B\"\n"
            "\"LayoutFile\"=\"/srv/x.lay\"\n");
  auto cfg = Load();
  EXPECT_TRUE(cfg->UserSettingsFound);
  EXPECT_FALSE(ApplicationShowHint);
  EXPECT_TRUE(ApplicationHintShortCuts);
  EXPECT_EQ(cfg->LastOpenedDBs, (TStringList{"/a/doc.mdb", "/b/mit blank.mdb", "/c.mdb"}));
  EXPECT_EQ(cfg->MenuStyle, 1);
  EXPECT_EQ(cfg->MenuAnimations, 3);
  EXPECT_FALSE(cfg->UseSystemFont);
  EXPECT_EQ(cfg->FormFont, "Arial,10,B");
  EXPECT_EQ(cfg->LayoutFile, "/srv/x.lay");
}

TEST_F(ConfigurationTest, WordList) {
  WriteMachine();
  test::WriteFile(Common() + "stopword.lst", "und\r\noder\r\n der\r\n");
  test::WriteFile(Common() + "searchword.lst",
                  "M\xFC"
                  "ller\n");
  auto cfg = Load();
  EXPECT_EQ(cfg->WordList, ".und.oder. der.");  // lines as they are
  WriteAdminIni("[FullTextIndex]\nUseSearchWords=1\n");
  cfg = Load();
  EXPECT_EQ(cfg->WordListFile, Common() + "searchword.lst");
  EXPECT_EQ(cfg->WordList, ".Müller.");
  if (geteuid() != 0) {  // root reads any file
    chmod((Common() + "searchword.lst").c_str(), 0);
    EXPECT_THROW(Load(), std::runtime_error);
  }
}

TEST_F(ConfigurationTest, SetIgnoreDigitsRebuildsTheWordCharacters) {
  auto cfg = Load();
  cfg->SetIgnoreDigits(false);
  EXPECT_EQ(cfg->WordChars, LetterChars() | DigitChars());
  cfg->SetIgnoreDigits(true);
  EXPECT_EQ(cfg->WordChars, LetterChars());
  EXPECT_EQ(LetterChars().count(), 59u);
}

TEST_F(ConfigurationTest, GetLayoutsDirNeedsTheStore) {
  Configuration = nullptr;
  EXPECT_THROW(GetLayoutsDir(), std::logic_error);
}

TEST_F(ConfigurationTest, RegistryReadersNeverRaise) {
  WriteHive(false, "\"Text\"=\"abc\"\n\"Number\"=dword:ffffffff\n\"Bytes\"=hex:01\n", "K");
  TRegistry reg(TRootKey::CurrentUser);
  EXPECT_EQ(RegReadString(reg, "Text", "d"), "d");  // no key open
  ASSERT_TRUE(reg.OpenKeyReadOnly("K"));
  EXPECT_EQ(RegReadString(reg, "Text", "d"), "abc");
  EXPECT_EQ(RegReadString(reg, "Number", "d"), "d");
  EXPECT_EQ(RegReadInteger(reg, "Number", 5), -1);
  EXPECT_EQ(RegReadInteger(reg, "Text", 5), 5);
  EXPECT_EQ(RegReadInteger(reg, "Bytes", 5), 5);
  EXPECT_TRUE(RegReadBool(reg, "Number", false));
  EXPECT_TRUE(RegReadBool(reg, "Missing", true));
}

// A hive that is no hive is named once on standard error and in Error.log;
// a line passed over is named in Error.log only. The records go to the
// Error.log of the CommonFilesPath the settings end with.
TEST_F(ConfigurationTest, HiveProblemsAreReportedOnce) {
  const std::string machine = FDir / "reg/HKEY_LOCAL_MACHINE.reg";
  const std::string user = FDir / "reg/HKEY_CURRENT_USER.reg";
  std::string utf16NoBom;
  for (char c : std::string("Windows Registry Editor Version 5.00\r\n"))
    utf16NoBom += std::string{c, '\0'};
  const struct {
    const char* Name;
    std::function<void()> Write;
    // A part of each record, in order; the first is also the warning.
    std::vector<std::string> Log;
  } cases[] = {
      {"a line passed over, a user hive in UTF-16 without BOM",
       [&] {
         WriteMachine("\"OpenLastDB\"=dword:0 #off\n");
         test::WriteFile(user, utf16NoBom);
       },
       {"Registrierungsdatei \"" + user +
            "\" kann nicht gelesen werden: die Datei sieht nach UTF-16 ohne Byte-Order-Mark "
            "aus; ihre Einstellungen bleiben unberücksichtigt",
        "Registrierungsdatei \"" + machine + "\", Zeile 5, Schlüssel HKEY_LOCAL_MACHINE\\" +
            SettingsKey + ": Wert nicht lesbar, übergangen: \"OpenLastDB\"=dword:0 #off"}},
      {"a machine hive of binary junk",
       [&] {
         test::WriteFile(machine, std::string("\x7f"
                                              "ELF\x02\x01\x01\0\0\0",
                                              10));
       },
       {"Registrierungsdatei \"" + machine +
        "\" kann nicht gelesen werden: die Datei enthält Nullbytes, sie ist keine Textdatei; "
        "ihre Einstellungen bleiben unberücksichtigt"}},
  };
  // Without a readable machine hive the settings keep the machine-wide
  // CommonFilesPath, whose Error.log other programs on this machine may
  // write to as well: only the records that name this test's hives count.
  auto ownRecords = [&] {
    std::vector<std::string> records;
    const std::string logFile = ErrorLogFileName();
    if (!std::filesystem::exists(logFile)) return records;
    TStringList log;
    log.LoadFromFile(logFile);
    for (int i = 0; i < log.Count(); ++i)
      if (log[i].find(FDir.Path()) != std::string::npos) records.push_back(log[i]);
    return records;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove(machine);
    std::filesystem::remove(user);
    c.Write();
    testing::internal::CaptureStderr();
    auto cfg = Load();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(cfg->OpenLastDB);                        // what was not read keeps its default
    EXPECT_EQ(err, "Warnung: " + c.Log.front() + "\n");  // one warning
    std::vector<std::string> log = ownRecords();
    ASSERT_EQ(log.size(), c.Log.size()) << ErrorLogFileName();
    for (size_t i = 0; i < c.Log.size(); ++i)
      EXPECT_NE(log[i].find(c.Log[i]), std::string::npos) << log[i];
    // Records of this test only, in whichever log they went to.
    if (ErrorLogFileName().rfind(FDir.Path(), 0) == 0) std::filesystem::remove(ErrorLogFileName());
  }
}

}  // namespace
}  // namespace dk
