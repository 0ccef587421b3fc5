// The three readers of the configuration store: machine settings, admin.ini
// and user settings. Each value is read with the property's current value as
// its default unless noted, so a missing value changes nothing.
#include <iostream>

#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "settings/reg_tool.h"
#include "sys/api_tools.h"
#include "sys/ini_file.h"
#include "sys/registry.h"
#include "sys/text.h"

namespace dk {

namespace {

// Directory settings end with a separator; a value from a Windows admin.ini
// that already ends with a backslash keeps it.
std::string WithTrailingSeparator(std::string s) {
  if (s.empty() || (s.back() != '/' && s.back() != '\\')) s += '/';
  return s;
}

// "key=value" -> "value"; a line without "=" -> "".
std::string ValuePart(const std::string& line) {
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

uint8_t LowByte(int v) {
  return static_cast<uint8_t>(static_cast<uint32_t>(v) & 0xFF);
}

}  // namespace

void TConfiguration::NoteHiveDiagnostics(const TRegistry& reg) {
  const THiveDiagnostics& d = reg.Diagnostics();
  if (!d.Unusable.empty()) FUnusableHives.push_back(d.Unusable);
  FSkippedHiveLines.insert(FSkippedHiveLines.end(), d.Lines.begin(), d.Lines.end());
}

void TConfiguration::ReportHiveDiagnostics() {
  for (const auto& warning : FUnusableHives) {
    std::cerr << "Warnung: " << warning << std::endl;
    WriteErrorLog(*this, warning);
  }
  for (const auto& line : FSkippedHiveLines) WriteErrorLog(*this, line);
  FUnusableHives.clear();
  FSkippedHiveLines.clear();
}

void TConfiguration::ReadMachineSettings() {
  TRegistry reg(TRootKey::LocalMachine);
  const bool found = reg.KeyExists(SettingsKey) && reg.OpenKeyReadOnly(SettingsKey);
  NoteHiveDiagnostics(reg);  // of the last reading; both read the same file
  if (!found) return;
  CommonFilesPath = RegReadString(reg, "CommonFilesPath", CommonFilesPath);
  DocDataBase = RegReadString(reg, "DocDataBase", DocDataBase);
  ApplDataBase = RegReadString(reg, "ApplDataBase", ApplDataBase);
  OpenLastDB = RegReadBool(reg, "OpenLastDB", OpenLastDB);
  AutoCAD = RegReadBool(reg, "AutoCAD", AutoCAD);
  MegaCAD = RegReadBool(reg, "MegaCAD", MegaCAD);
  if (!ToolMode) {
    ApplMaximize = RegReadBool(reg, "ApplMaximize", ApplMaximize);
    PreviewExe = RegReadString(reg, "PreviewExe", PreviewExe);
    OpenWithExe = RegReadString(reg, "OpenWithExe", OpenWithExe);
    DropDownCount = RegReadInteger(reg, "DropDownCount", DropDownCount);
    UseSystemPopupMenu = RegReadBool(reg, "UseSystemPopupMenu", UseSystemPopupMenu);
    PrjPreselect = RegReadBool(reg, "PrjPreselect", PrjPreselect);
    ShowDocCount = RegReadBool(reg, "ShowDocCount", ShowDocCount);
    LoadAllRecords = RegReadBool(reg, "LoadAllRecords", LoadAllRecords);
    ShowIcon = RegReadBool(reg, "ShowIcon", ShowIcon);
    FtiCreateMode = LowByte(RegReadInteger(reg, "FtiCreateMode", FtiCreateMode));
    SetIgnoreDigits(RegReadBool(reg, "FtiIgnoreDigits", IgnoreDigits));
    FtiIgnoreLength = RegReadInteger(reg, "FtiIgnoreLength", FtiIgnoreLength);
    FtiFileTypes = RegReadString(reg, "FtiFileType", FtiFileTypes);
    FtiMaxFileSize = RegReadInteger(reg, "FtiMaxFileSize", FtiMaxFileSize);
    FtiUseSearchWords = RegReadBool(reg, "FtiUseSearchWords", FtiUseSearchWords);
  }
  reg.CloseKey();
}

void TConfiguration::ReadUserSettings() {
  TRegistry reg(TRootKey::CurrentUser);
  UserSettingsFound = reg.OpenKeyReadOnly(SettingsKey);
  NoteHiveDiagnostics(reg);
  if (!UserSettingsFound) return;
  ApplicationShowHint = RegReadBool(reg, "ShowHint", true);
  ApplicationHintShortCuts = RegReadBool(reg, "HintShortCuts", true);
  LastOpenedDocDB = RegReadString(reg, "LastOpenedDocDB", LastOpenedDocDB);
  LastOpenedApplDB = RegReadString(reg, "LastOpenedApplDB", LastOpenedApplDB);
  LastOpenedDBs.SetCommaText(RegReadString(reg, "LastOpenedDBs", ""));
  MenuLargeImages = RegReadBool(reg, "MenuLargeImages", MenuLargeImages);
  MenuShowCaption = RegReadBool(reg, "MenuShowCaption", MenuShowCaption);
  MenuAutoGray = RegReadBool(reg, "MenuAutoGray", MenuAutoGray);
  MenuStyle = RegReadInteger(reg, "MenuStyle", MenuStyle);
  MenuBckgrndImage = RegReadString(reg, "MenuBckgrndImage", MenuBckgrndImage);
  MenuAnimations = LowByte(RegReadInteger(reg, "MenuAnimations", 0));
  MenuShowRecentFirst = RegReadBool(reg, "MenuShowRecentFirst", MenuShowRecentFirst);
  UseSystemFont = RegReadBool(reg, "UseSystemFont", UseSystemFont);
  MenuFont = RegReadString(reg, "MenuFont", MenuFont);
  FormFont = RegReadString(reg, "FormFont", FormFont);
  LayoutFile = RegReadString(reg, "LayoutFile", LayoutFile);
  reg.CloseKey();
}

void TConfiguration::ReadAdminIni() {
  if (!FileExists(AdminIniFile)) {
    SetDefaults();
    return;
  }
  const TIniFile ini(AdminIniFile);
  TStringList lines;

  Protocol = ini.ReadBool("DataBase", "Protocol", Protocol);
  ShowDocCount = ini.ReadBool("DataBase", "ShowDocCount", ShowDocCount);
  NoUppercase = ini.ReadBool("DataBase", "NoUppercase", NoUppercase);
  LoadAllRecords = ini.ReadBool("DataBase", "LoadAllRecords", LoadAllRecords);
  BNF_WorkAround = ini.ReadBool("DataBase", "BNF_WorkAround", BNF_WorkAround);
  SysChar2WildeCard = ini.ReadBool("DataBase", "SysChar2WildeCard", SysChar2WildeCard);
  // An empty QuoteChar names no character: the current one stays. The
  // archive's engines delimit texts with the apostrophe alone: SQLite reads a
  // double-quoted text as a column name when one of that name exists (a
  // search for the word "word" would match every row), a PostgreSQL server
  // always does. Another character is kept here for what it says and named
  // once in Error.log; the literals stay with the apostrophe.
  if (ini.ValueExists("DataBase", "QuoteChar")) {
    QuoteChar = Utf8Left(ini.ReadString("DataBase", "QuoteChar", ""), 1);
    if (!QuoteChar.empty() && QuoteChar != "'")
      FSkippedHiveLines.push_back("Die Einstellung [DataBase] QuoteChar=" + QuoteChar + " in \"" +
                                  AdminIniFile +
                                  "\" wird nicht verwendet: SQLite und PostgreSQL begrenzen Texte "
                                  "nur mit dem Apostroph.");
  }
  HasCursorSettings =
      ini.ValueExists("DataBase", "CursorLocation") || ini.ValueExists("DataBase", "CursorType") ||
      ini.ValueExists("DataBase", "LockType") || ini.ValueExists("DataBase", "CacheSize");

  ServerIndexer = ini.ReadBool("FullTextIndex", "ServerIndexer", ServerIndexer);
  FtiCreateMode = LowByte(ini.ReadInteger("FullTextIndex", "CreateMode", FtiCreateMode));
  SetIgnoreDigits(ini.ReadBool("FullTextIndex", "IgnoreDigits", IgnoreDigits));
  FtiIgnoreLength = ini.ReadInteger("FullTextIndex", "IgnoreLength", FtiIgnoreLength);
  FtiFileTypes = ini.ReadString("FullTextIndex", "FileTypes", FtiFileTypes);
  FtiMaxFileSize = ini.ReadInteger("FullTextIndex", "MaxFileSize", FtiMaxFileSize);
  OleToTxt = ini.ReadBool("FullTextIndex", "OleToTxt", OleToTxt);
  UpdateOnActivate = ini.ReadBool("FullTextIndex", "UpdateOnActivate", UpdateOnActivate);
  SearchLike = ini.ReadBool("FullTextIndex", "SearchLike", SearchLike);
  DeleteDkftiFile = ini.ReadBool("FullTextIndex", "DeleteDkftiFile", DeleteDkftiFile);
  FtiUseSearchWords = ini.ReadBool("FullTextIndex", "UseSearchWords", FtiUseSearchWords);

  ShowIcon = ini.ReadBool("Optimize", "ShowIcon", ShowIcon);
  EnableAct = ini.ReadBool("Optimize", "EnableAct", EnableAct);
  PrjPreselect = ini.ReadBool("Optimize", "PrjPreselect", PrjPreselect);
  AllowAllProjects = ini.ReadBool("Optimize", "AllowAllProjects", AllowAllProjects);
  DocUpdateEditDate = ini.ReadBool("Optimize", "DocUpdateEditDate", DocUpdateEditDate);

  DropDownCount = ini.ReadInteger("View", "DropDownCount", DropDownCount);
  ErrorMessage = ini.ReadString("Admin", "ErrorMessage", ErrorMessage);
  MenuAssociateFiles = ini.ReadBool("View", "MenuAssociateFiles", MenuAssociateFiles);

  DefaultFilePath =
      WithTrailingSeparator(ini.ReadString("Document", "DefaultFilePath", DefaultFilePath));
  DefaultFileName = ini.ReadString("Document", "DefaultFileName", DefaultFileName);
  DocVersFileName = ini.ReadString("Document", "DocVersFileName", DocVersFileName);
  AllowEditFilename = ini.ReadBool("Document", "AllowEditFilename", AllowEditFilename);
  // Existing files get the default name only where the user may not edit it.
  if (!AllowEditFilename)
    DefaultForExistingFile =
        ini.ReadBool("Document", "DefaultForExistingFile", DefaultForExistingFile);
  else
    DefaultForExistingFile = false;
  DocTypeIgnoreDFEF = ini.ReadString("Document", "DocTypeIgnoreDFEF", DocTypeIgnoreDFEF);
  ConfirmExistingFile = ini.ReadBool("Document", "ConfirmExistingFile", ConfirmExistingFile);
  CreateDocNumber = ini.ReadBool("Document", "CreateDocNumber", CreateDocNumber);
  AllowEditDocNumber = ini.ReadBool("Document", "AllowEditDocNumber", AllowEditDocNumber);
  MenuCreateDocNumber = ini.ReadString("Document", "MenuCreateDocNumber", MenuCreateDocNumber);
  DefaultDocNumber = ini.ReadString("Document", "DefaultDocNumber", DefaultDocNumber);
  PrevCreateOle = ini.ReadBool("Document", "PrevCreateOle", PrevCreateOle);
  UseSystemPopupMenu = ini.ReadBool("Document", "UseSystemPopupMenu", UseSystemPopupMenu);
  WarningExecuteCount = ini.ReadInteger("Document", "WarningExecuteCount", WarningExecuteCount);
  CheckLinksAllowDeleteAll =
      ini.ReadBool("Document", "CheckLinksAllowDeleteAll", CheckLinksAllowDeleteAll);

  ArchFilePath = WithTrailingSeparator(ini.ReadString("ArchDoc", "FilePath", ArchFilePath));
  ArchFileCompress = ini.ReadBool("ArchDoc", "FileCompress", ArchFileCompress);

  MailFieldFrom = ini.ReadString("eMail", "FieldFrom", MailFieldFrom);
  MailFieldTo = ini.ReadString("eMail", "FieldTo", MailFieldTo);
  MailFieldSubject = ini.ReadString("eMail", "FieldSubject", MailFieldSubject);
  MailFieldBody = ini.ReadString("eMail", "FieldBody", MailFieldBody);
  MailFieldClient = ini.ReadString("eMail", "FieldClient", MailFieldClient);
  MailFieldMailer = ini.ReadString("eMail", "FieldMailer", MailFieldMailer);
  if (ini.ValueExists("eMail", "SaveFormat"))
    MailSaveFormat = LowByte(ini.ReadInteger("eMail", "SaveFormat", 1));
  MailSaveFormatEx = ini.ReadString("eMail", "SaveFormatEx", MailSaveFormatEx);
  MailWaitAfterSent = ini.ReadInteger("eMail", "WaitAfterSent", MailWaitAfterSent);

  if (ini.ValueExists("Import", "BrowserWindowTitle"))
    BrowserWindowTitles.Add(ini.ReadString("Import", "BrowserWindowTitle", ""));
  BrowserEditClass = ini.ReadString("Import", "BrowserEditClass", BrowserEditClass);
  ShowPropDlg = ini.ReadBool("Import", "ShowPropDlg", ShowPropDlg);
  ImportSoundFile = ini.ReadString("Import", "SoundFile", ImportSoundFile);
  IgnoreExt = AnsiLowerCase(ini.ReadString("Import", "IgnoreExt", IgnoreExt));

  // A missing section leaves the list empty: the defaults survive only
  // without any admin.ini.
  ini.ReadSectionValues("ImportDefaultFields", ImportDefaultFields);
  if (ini.SectionExists("ImportFilter")) {
    ini.ReadSectionValues("ImportFilter", lines);
    ImportFilter.Clear();
    for (const auto& line : lines.Items()) ImportFilter.Add(ValuePart(line));
  }

  DirWatch = ini.ReadBool("DirWatch", "Watch", DirWatch);
  PathPersonal = ini.ReadBool("DirWatch", "PathPersonal", PathPersonal);
  DirWatchPath = WithTrailingSeparator(ini.ReadString("DirWatch", "Path", DirWatchPath));
  WatchSubTrees = ini.ReadBool("DirWatch", "WatchSubTrees", WatchSubTrees);
  DirWatchServerIndexer = ini.ReadBool("DirWatch", "ServerIndexer", DirWatchServerIndexer);
  OnlyOwnerFiles = ini.ReadBool("DirWatch", "OnlyOwnerFiles", OnlyOwnerFiles);
  AcceptorMachines = ini.ReadString("DirWatch", "AcceptorMachines", AcceptorMachines);
  FileOperation = ini.ReadInteger("DirWatch", "FileOperation", FileOperation);
  AllowCancel = ini.ReadBool("DirWatch", "AllowCancel", AllowCancel);
  ExecMacroExt = AnsiLowerCase(ini.ReadString("DirWatch", "ExecMacroExt", ExecMacroExt));
  DirWatchTimerInterval = ini.ReadInteger("DirWatch", "TimerInterval", DirWatchTimerInterval);
  MaxIgnoredFiles = ini.ReadInteger("DirWatch", "MaxIgnoredFiles", MaxIgnoredFiles);
  WorkTime = ini.ReadFloat("DirWatch", "WorkTime", WorkTime);
  ini.ReadSectionValues("DirWatchDirList", lines);
  DirWatchDirList.Clear();
  for (const auto& line : lines.Items()) DirWatchDirList.Add(ValuePart(line));

  OnlyWinUser = ini.ReadBool("Secure", "OnlyWinUser", OnlyWinUser);
  UserNameFixed = !ini.ReadBool("Secure", "EditUserName", !UserNameFixed);
  DefineAccessRights = ini.ReadBool("Secure", "DefineAccessRights", DefineAccessRights);
  AllowEditAll = !ini.ReadBool("Secure", "DisallowEditAll", !AllowEditAll);
  AllowDeleteAll = !ini.ReadBool("Secure", "DisallowDeleteAll", !AllowDeleteAll);
  AllowDeleteFile = !ini.ReadBool("Secure", "DisallowDeleteFile", !AllowDeleteFile);
  AdminPass = ini.ReadString("Secure", "AdminPass", AdminPass);

  if (ini.SectionExists("ProtectedActions"))
    ini.ReadSectionValues("ProtectedActions", ProtectedActions);

  ToDoTimerInterval = ini.ReadInteger("ToDo", "TimerInterval", ToDoTimerInterval);
  ToDoTimerFirstInterval = ini.ReadInteger("ToDo", "TimerFistInterval", ToDoTimerFirstInterval);
  RemindSoundFile = ini.ReadString("ToDo", "RemindSoundFile", RemindSoundFile);

  DevActive = ini.ReadBool("Developer", "DevActive", false);
  AdminActive = ini.ReadBool("Developer", "AdminActive", false);
}

}  // namespace dk
