// Where the product's settings and files are: the registry path of the
// product, the program and temporary directories, the product and edition
// names, the computer name and the platform family, plus the few globals the
// component layer shares (the configuration store, the current user).
//
// The host fills the location globals once at start-up with
// InitSettingsLocations, on the main thread, before anything reads them and
// before it creates the configuration store; afterwards they are only read.
// Directory texts end with "/". Registry paths keep their backslashes: they
// are registry data, not local paths.
#pragma once

#include <string>

#include "sys/string_list.h"

namespace dk {

class TComponent;
class TConfiguration;

// "SOFTWARE\Tesmarin\Dokalon\", or [Options] RegistryPath of local.ini beside
// the program, used exactly as written.
extern std::string RegistryRoot;
extern std::string ProductName;      // "Dokalon"
extern std::string ProductEdition;   // "Pro"
extern std::string ApplicationName;  // "Dokalon Pro"
// RegistryRoot + "Settings": the machine and the user settings.
extern std::string SettingsKey;
// RegistryRoot + "Component Settings\": form positions below it.
extern std::string ComponentSettingsKey;
// The directory of the running program file.
extern std::string ProgramDir;
// The system temporary directory + ProductName + "/".
extern std::string TempDir;
// At most 15 characters; empty when it cannot be read.
extern std::string ComputerName;
// True: this platform keeps file access rights.
extern bool IsWinNT;

// The one configuration store of the process, created and freed by the host;
// null outside that span.
extern TConfiguration* Configuration;
// The current user; the conversion tool never sets it, so it stays empty.
extern std::string UserName;
// User names offered for USERNAME item lists; sorted, empty unless a host
// fills it.
extern TStringList UserNames;

// Filled from admin.ini [Developer] by the configuration store; false until
// then. AdminActive lets the archive's delete-permission test pass for
// everybody.
extern bool DevActive;
extern bool AdminActive;

// Fills the location globals and connects the system functions to the
// toolkit's boxes and cursor. `mainWindow` would own a theming component;
// this platform has none (the common controls test answers false).
void InitSettingsLocations(TComponent* mainWindow);
// The same with another program directory, for hosts whose files lie
// elsewhere and for tests.
void InitSettingsLocations(TComponent* mainWindow, const std::string& programDir);

// The directory of the running program file, with a trailing "/".
std::string GetProgramDir();

}  // namespace dk
