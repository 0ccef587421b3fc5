// The configuration store: every setting of a program of the product in one
// object, published as the global Configuration (settings/locations.h).
//
// The constructor fills the store from four sources in a fixed order: defaults
// in code, the machine settings (HKEY_LOCAL_MACHINE\SettingsKey), the
// administrator's admin.ini in CommonFilesPath, the user settings
// (HKEY_CURRENT_USER\SettingsKey); then it loads the word list of the
// full-text index. Later sources win. Afterwards the store is only read, also
// by the index worker thread without a lock; nothing is ever written back.
// Missing keys, values of the wrong type, numbers that cannot be read and a
// missing admin.ini all give defaults without a report.
//
// Most settings have no reader in this system; the store holds them all the
// same so that the registry and admin.ini formats stay complete. Local path
// settings use "/" (CommonFilesPath, LayoutFile, the file-name templates
// DefaultFilePath and ArchFilePath, DirWatchPath); a value read from a
// Windows admin.ini keeps the separators it was written with.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "sys/string_list.h"

namespace dk {

// One flag per Windows-1252 character code. The letters and digits the index
// uses have the same numbers as their Unicode code points.
using TCharSet = std::bitset<256>;

// "A"-"Z", "a"-"z" and Ä Ö Ü ß ä ö ü.
TCharSet LetterChars();
// "0"-"9".
TCharSet DigitChars();

// The application-wide tooltip switches carried by the user settings: tooltips
// shown at all, and shortcut keys shown in tooltips. Both start true.
extern bool ApplicationShowHint;
extern bool ApplicationHintShortCuts;

class TRegistry;

class TConfiguration {
 public:
  // Runs the whole load. The conversion tool passes true. Raises when the
  // word list file exists but cannot be read.
  explicit TConfiguration(bool toolMode);
  ~TConfiguration() = default;
  TConfiguration(const TConfiguration&) = delete;
  TConfiguration& operator=(const TConfiguration&) = delete;

  // Sets every property to its default (LastOpenedDBs keeps its items).
  void SetDefaults();
  // HKEY_LOCAL_MACHINE\SettingsKey, read only; the values from ApplMaximize
  // on are skipped in tool mode.
  void ReadMachineSettings();
  // AdminIniFile; when it does not exist, SetDefaults instead.
  void ReadAdminIni();
  // HKEY_CURRENT_USER\SettingsKey, read only and never created.
  void ReadUserSettings();
  // WordListFile := CommonFilesPath + "searchword.lst" or "stopword.lst"
  // (after FtiUseSearchWords); WordList := "." followed by each line of that
  // file and a "." (just "." without the file).
  void LoadWordList();
  // Sets IgnoreDigits and rebuilds WordChars (letters, plus digits when
  // digits are not ignored); nothing when the value is unchanged.
  void SetIgnoreDigits(bool value);

  // Properties, in their declared order. Readers elsewhere only read them.
  bool ToolMode = false;
  bool IgnoreDigits = true;
  std::string WordListFile;
  std::string AdminPass;
  std::string AdminIniFile;
  std::string CommonFilesPath;
  std::string DocDataBase;
  std::string ApplDataBase;
  bool OpenLastDB = true;
  bool AutoCAD = false;
  bool MegaCAD = false;
  bool MenuAssociateFiles = false;
  bool ApplMaximize = true;
  std::string PreviewExe;
  std::string OpenWithExe;
  bool UserSettingsFound = false;
  std::string LastOpenedDocDB;
  std::string LastOpenedApplDB;
  TStringList LastOpenedDBs;
  bool MenuLargeImages = true;
  bool MenuShowCaption = true;
  bool MenuAutoGray = false;
  int MenuStyle = 3;
  std::string MenuBckgrndImage;
  uint8_t MenuAnimations = 0;
  bool MenuShowRecentFirst = false;
  bool UseSystemFont = true;
  std::string MenuFont;  // font text
  std::string FormFont;  // font text
  std::string LayoutFile;
  bool Protocol = false;
  bool ShowDocCount = true;
  bool NoUppercase = false;
  bool LoadAllRecords = true;
  bool BNF_WorkAround = false;
  bool SysChar2WildeCard = false;
  bool HasCursorSettings = false;
  bool ServerIndexer = false;
  uint8_t FtiCreateMode = 2;
  int FtiIgnoreLength = 2;
  std::string FtiFileTypes;
  std::string WordList;
  int FtiMaxFileSize = 2;  // megabytes
  bool OleToTxt = true;
  bool UpdateOnActivate = true;
  bool DeleteDkftiFile = true;
  bool SearchLike = true;
  TCharSet WordChars;
  bool FtiUseSearchWords = false;
  bool EnableAct = true;
  bool ShowIcon = true;
  bool PrjPreselect = false;
  bool AllowAllProjects = true;
  bool DocUpdateEditDate = true;
  int DropDownCount = 8;
  std::string ErrorMessage;
  std::string DefaultFilePath;
  std::string DefaultFileName;
  std::string DocVersFileName;
  bool AllowEditFilename = true;
  bool DefaultForExistingFile = false;
  std::string DocTypeIgnoreDFEF;
  bool ConfirmExistingFile = true;
  bool CreateDocNumber = true;
  bool AllowEditDocNumber = true;
  std::string MenuCreateDocNumber;
  std::string DefaultDocNumber;
  bool PrevCreateOle = false;
  bool UseSystemPopupMenu = true;
  int WarningExecuteCount = 15;
  bool CheckLinksAllowDeleteAll = false;
  std::string ArchFilePath;
  bool ArchFileCompress = true;
  std::string MailFieldFrom;
  std::string MailFieldTo;
  std::string MailFieldSubject;
  std::string MailFieldBody;
  std::string MailFieldClient;
  std::string MailFieldMailer;
  uint8_t MailSaveFormat = 1;
  std::string MailSaveFormatEx;
  int MailWaitAfterSent = 0;
  TStringList BrowserWindowTitles;
  std::string BrowserEditClass;
  bool ShowPropDlg = false;
  TStringList ImportDefaultFields;
  std::string ImportSoundFile;
  std::string IgnoreExt;
  TStringList ImportFilter;
  bool DirWatch = false;
  bool DirWatchServerIndexer = false;
  bool PathPersonal = true;
  std::string DirWatchPath;
  bool WatchSubTrees = false;
  bool OnlyOwnerFiles = false;
  std::string AcceptorMachines;
  int FileOperation = 2;
  bool AllowCancel = true;
  std::string ExecMacroExt;
  int DirWatchTimerInterval = 2000;  // milliseconds
  int MaxIgnoredFiles = 40;
  double WorkTime = -1.0;
  TStringList DirWatchDirList;  // sorted, duplicates ignored
  bool OnlyWinUser = false;
  bool UserNameFixed = true;
  bool DefineAccessRights = false;
  bool AllowEditAll = true;
  bool AllowDeleteAll = true;
  bool AllowDeleteFile = true;
  TStringList ProtectedActions;
  int ToDoTimerInterval = 60000;       // milliseconds
  int ToDoTimerFirstInterval = 10000;  // milliseconds
  std::string RemindSoundFile;

  // The SQL quote character named by admin.ini [DataBase] QuoteChar (its
  // first character), or empty when admin.ini names none (also for an empty
  // value). The literals keep the apostrophe whatever it names: the
  // archive's engines delimit texts with nothing else (another character is
  // named in Error.log when the store loads).
  std::string QuoteChar;

 private:
  // Collects what the readings of a hive file could not take.
  void NoteHiveDiagnostics(const TRegistry& reg);
  // Reports the collected problems once the sources are read, so that they
  // go to the Error.log the settings name: each one as a record, and a hive
  // that was passed over as a whole also as a warning on standard error.
  void ReportHiveDiagnostics();

  std::vector<std::string> FUnusableHives;
  std::vector<std::string> FSkippedHiveLines;
};

// CommonFilesPath + "Layouts/". Raises when no configuration store exists.
std::string GetLayoutsDir();

}  // namespace dk
