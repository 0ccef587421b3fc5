// A sandbox for the settings: registry hives, the temporary directory, the
// program directory and the shared data directory all live in one temp dir.
// For test programs that link dk_settings.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "settings/configuration.h"
#include "settings/locations.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "sys/api_tools.h"

namespace dk::test {

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    std::filesystem::create_directories(FDir / "reg");
    std::filesystem::create_directories(FDir / "program");
    std::filesystem::create_directories(FDir / "tmp");
    std::filesystem::create_directories(FDir / "common");
    InitSettingsLocations(nullptr, FDir / "program");
  }
  ~SettingsTest() override {
    Configuration = nullptr;
    DevActive = false;
    AdminActive = false;
    ApplicationShowHint = true;
    ApplicationHintShortCuts = true;
    UserName.clear();
    SetSystemUi({});
  }

  std::string Common() const { return FDir / "common/"; }

  // Writes a hive with one key below SettingsKey (or `key`) holding `values`
  // (export lines, "\n"-separated).
  void WriteHive(bool machine, const std::string& values, const std::string& key = "") {
    const std::string root = machine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
    WriteFile(FDir / ("reg/" + root + ".reg"), "Windows Registry Editor Version 5.00\n\n[" + root +
                                                   "\\" + (key.empty() ? SettingsKey : key) +
                                                   "]\n" + values);
  }
  // Machine settings that move CommonFilesPath (and so admin.ini) into the
  // sandbox, plus `values`.
  void WriteMachine(const std::string& values = "") {
    WriteHive(true, "\"CommonFilesPath\"=\"" + Common() + "\"\n" + values);
  }
  void WriteAdminIni(const std::string& text) { WriteFile(Common() + "admin.ini", text); }

  std::unique_ptr<TConfiguration> Load(bool toolMode = true) {
    auto cfg = std::make_unique<TConfiguration>(toolMode);
    Configuration = cfg.get();
    return cfg;
  }

  TTempDir FDir;
  TScopedEnv FRegistryEnv{"DOKALON_REGISTRY_DIR", FDir / "reg"};
  TScopedEnv FTmpEnv{"TMPDIR", FDir / "tmp"};
};

}  // namespace dk::test
