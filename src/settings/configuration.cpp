#include "settings/configuration.h"

#include <stdexcept>

#include "settings/locations.h"
#include "sys/api_tools.h"

namespace dk {

bool ApplicationShowHint = true;
bool ApplicationHintShortCuts = true;

TCharSet LetterChars() {
  TCharSet set;
  for (int c = 'A'; c <= 'Z'; ++c) set.set(static_cast<size_t>(c));
  for (int c = 'a'; c <= 'z'; ++c) set.set(static_cast<size_t>(c));
  for (int c : {196, 214, 220, 223, 228, 246, 252}) set.set(static_cast<size_t>(c));
  return set;
}

TCharSet DigitChars() {
  TCharSet set;
  for (int c = '0'; c <= '9'; ++c) set.set(static_cast<size_t>(c));
  return set;
}

TConfiguration::TConfiguration(bool toolMode) : ToolMode(toolMode) {
  DirWatchDirList.SetSorted(true);
  SetDefaults();
  ReadMachineSettings();
  // After the machine settings, so that their CommonFilesPath moves admin.ini too.
  AdminIniFile = CommonFilesPath + "admin.ini";
  if (FileExists(AdminIniFile)) ReadAdminIni();
  ReadUserSettings();
  ReportHiveDiagnostics();
  LoadWordList();
}

void TConfiguration::SetDefaults() {
  IgnoreDigits = true;
  WordChars = LetterChars();
  WordListFile.clear();
  WordList.clear();
  AdminPass.clear();
  AdminIniFile.clear();
  CommonFilesPath = GetCommonDataFolder() + ApplicationName + "/";
  DocDataBase.clear();
  ApplDataBase.clear();
  OpenLastDB = true;
  AutoCAD = false;
  MegaCAD = false;
  MenuAssociateFiles = false;
  ApplMaximize = true;
  PreviewExe.clear();
  OpenWithExe.clear();
  UserSettingsFound = false;
  LastOpenedDocDB.clear();
  LastOpenedApplDB.clear();
  MenuLargeImages = !ToolMode;
  MenuShowCaption = !ToolMode;
  MenuAutoGray = false;
  MenuStyle = 3;
  MenuBckgrndImage = FileExists(ProgramDir + "menu.bmp") ? ProgramDir + "menu.bmp" : "";
  MenuAnimations = 0;
  MenuShowRecentFirst = false;
  UseSystemFont = true;
  MenuFont.clear();
  FormFont.clear();
  LayoutFile = CommonFilesPath + "Layouts/Layout.lay";
  Protocol = false;
  ShowDocCount = true;
  NoUppercase = false;
  LoadAllRecords = true;
  BNF_WorkAround = false;
  SysChar2WildeCard = false;
  HasCursorSettings = false;
  ServerIndexer = false;
  FtiCreateMode = 2;
  FtiIgnoreLength = 2;
  FtiFileTypes = ".doc.eml.htm.html.msg.pdf.rtf.txt.xls.";
  FtiMaxFileSize = 2;
  OleToTxt = true;
  UpdateOnActivate = true;
  DeleteDkftiFile = true;
  SearchLike = true;
  FtiUseSearchWords = false;
  EnableAct = true;
  ShowIcon = true;
  PrjPreselect = false;
  AllowAllProjects = true;
  DocUpdateEditDate = true;
  DropDownCount = 8;
  ErrorMessage.clear();
  DefaultFilePath = "{OS:MyFiles}/Dokumente/{Doc:Project}/";
  DefaultFileName = "{Doc:Name,Validate}";
  DocVersFileName =
      "{Doc:FileName,FilePath}{Doc:FileName,Name}_Vers{DocVers:DocVers}.{Doc:FileName,FileExt}";
  AllowEditFilename = true;
  DefaultForExistingFile = false;
  DocTypeIgnoreDFEF.clear();
  ConfirmExistingFile = true;
  CreateDocNumber = true;
  AllowEditDocNumber = true;
  MenuCreateDocNumber.clear();
  DefaultDocNumber = "{Doc:DocID}";
  PrevCreateOle = false;
  UseSystemPopupMenu = !ToolMode;
  WarningExecuteCount = 15;
  CheckLinksAllowDeleteAll = false;
  ArchFilePath = "{OS:MyFiles}/Archivierte Dokumente/{Doc:Project}/";
  ArchFileCompress = true;
  MailFieldFrom.clear();
  MailFieldTo.clear();
  MailFieldSubject = "NAME";
  MailFieldBody.clear();
  MailFieldClient.clear();
  MailFieldMailer.clear();
  MailSaveFormat = 1;
  MailSaveFormatEx.clear();
  MailWaitAfterSent = 0;
  BrowserWindowTitles.Clear();
  for (const char* title : {"- Microsoft Internet Explorer", "Netscape", "Mozilla", "Opera - ["})
    BrowserWindowTitles.Add(title);
  BrowserEditClass = "Edit";
  ShowPropDlg = false;
  ImportDefaultFields.Clear();
  for (const char* line : {"Name={Source:Name}", "Project={Source:DirPart,-1,-2}", "State=Normal",
                           "CATEGORY=Datenübernahme"})
    ImportDefaultFields.Add(line);
  ImportSoundFile.clear();
  IgnoreExt.clear();
  ImportFilter.Clear();
  for (const char* pattern : {"~*", "backup*", "sicherungskopie von*", "*_copy*", "*_vers*"})
    ImportFilter.Add(pattern);
  DirWatch = false;
  DirWatchServerIndexer = false;
  PathPersonal = true;
  DirWatchPath.clear();
  WatchSubTrees = false;
  OnlyOwnerFiles = false;
  AcceptorMachines.clear();
  FileOperation = 2;
  AllowCancel = true;
  ExecMacroExt.clear();
  DirWatchTimerInterval = 2000;
  MaxIgnoredFiles = 40;
  WorkTime = -1.0;
  DirWatchDirList.Clear();
  OnlyWinUser = false;
  UserNameFixed = true;
  DefineAccessRights = ToolMode;
  AllowEditAll = true;
  AllowDeleteAll = true;
  AllowDeleteFile = true;
  ProtectedActions.Clear();
  ToDoTimerInterval = 60000;
  ToDoTimerFirstInterval = 10000;
  RemindSoundFile.clear();
  QuoteChar.clear();
}

void TConfiguration::LoadWordList() {
  WordListFile = CommonFilesPath + (FtiUseSearchWords ? "searchword.lst" : "stopword.lst");
  WordList = ".";
  if (!FileExists(WordListFile)) return;
  TStringList lines;
  lines.LoadFromFile(WordListFile);  // an unreadable file raises out of the constructor
  for (const auto& line : lines.Items()) WordList += line + ".";
}

void TConfiguration::SetIgnoreDigits(bool value) {
  if (value == IgnoreDigits) return;
  IgnoreDigits = value;
  WordChars = LetterChars();
  if (!value) WordChars |= DigitChars();
}

std::string GetLayoutsDir() {
  if (!Configuration) throw std::logic_error("GetLayoutsDir: no configuration store exists");
  return Configuration->CommonFilesPath + "Layouts/";
}

}  // namespace dk
