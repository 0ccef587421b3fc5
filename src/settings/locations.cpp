#include "settings/locations.h"

#include <unistd.h>

#include <stdexcept>

#include "settings/error_log.h"
#include "settings/messages.h"
#include "sys/api_tools.h"
#include "sys/ini_file.h"

namespace dk {

namespace {

TStringList MakeSortedList() {
  TStringList list;
  list.SetSorted(true);
  return list;
}

}  // namespace

std::string RegistryRoot;
std::string ProductName;
std::string ProductEdition;
std::string ApplicationName;
std::string SettingsKey;
std::string ComponentSettingsKey;
std::string ProgramDir;
std::string TempDir;
std::string ComputerName;
bool IsWinNT = false;
TConfiguration* Configuration = nullptr;
std::string UserName;
TStringList UserNames = MakeSortedList();
bool DevActive = false;
bool AdminActive = false;

std::string GetProgramDir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return ExtractFilePath(std::string(buf, static_cast<size_t>(n)));
}

void InitSettingsLocations(TComponent* mainWindow) {
  InitSettingsLocations(mainWindow, GetProgramDir());
}

void InitSettingsLocations(TComponent* /*mainWindow*/, const std::string& programDir) {
  InstallTextFileNotices();  // local.ini below is the first text file read
  RegistryRoot = "SOFTWARE\\Tesmarin\\Dokalon\\";
  ProductName = "Dokalon";
  ProgramDir = programDir.empty() ? std::string() : IncludeTrailingPathDelimiter(programDir);
  TempDir = GetTempDir() + ProductName + "/";
  try {
    if (!DirectoryExists(TempDir)) ForceDirectories(TempDir);
  } catch (const std::exception&) {
    // Start-up goes on; the writes into TempDir fail later and are handled there.
  }
  ComputerName = GetComputerNameText();
  // local.ini is read only after ProgramDir is known, and the keys are derived
  // only after its override.
  const std::string localIni = ProgramDir + "local.ini";
  if (FileExists(localIni))
    RegistryRoot = TIniFile(localIni).ReadString("Options", "RegistryPath", RegistryRoot);
  ProductEdition = "Pro";
  ApplicationName = ProductName + " " + ProductEdition;
  SettingsKey = RegistryRoot + "Settings";
  ComponentSettingsKey = RegistryRoot + "Component Settings\\";
  // No theming component: HasComCtl6 answers false on this platform.
  IsWinNT = IsWinNTPlatform();
  InstallSystemUi();
}

}  // namespace dk
