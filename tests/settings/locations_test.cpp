#include "settings/locations.h"

#include <gtest/gtest.h>

#include "support/settings_sandbox.h"
#include "sys/api_tools.h"

namespace dk {
namespace {

using LocationsTest = test::SettingsTest;

TEST_F(LocationsTest, LocalIniRegistryPathVariants) {
  struct TCase {
    const char* LocalIni;  // null: no local.ini
    const char* Settings;
    const char* ComponentSettings;
  };
  const TCase cases[] = {
      {nullptr, "SOFTWARE\\Tesmarin\\Dokalon\\Settings",
       "SOFTWARE\\Tesmarin\\Dokalon\\Component Settings\\"},
      {"[Options]\r\nRegistryPath=SOFTWARE\\Other\\Place\\\r\n", "SOFTWARE\\Other\\Place\\Settings",
       "SOFTWARE\\Other\\Place\\Component Settings\\"},
      // Used exactly as written: without its backslash "Settings" runs on.
      {"[Options]\nRegistryPath=SOFTWARE\\Other\\Place\n", "SOFTWARE\\Other\\PlaceSettings",
       "SOFTWARE\\Other\\PlaceComponent Settings\\"},
      {"[Options]\nRegistryPath=\n", "Settings", "Component Settings\\"},
      {"[Options]\nOther=1\n", "SOFTWARE\\Tesmarin\\Dokalon\\Settings",
       "SOFTWARE\\Tesmarin\\Dokalon\\Component Settings\\"},
      {"\x01\x02 not an ini file \xFF", "SOFTWARE\\Tesmarin\\Dokalon\\Settings",
       "SOFTWARE\\Tesmarin\\Dokalon\\Component Settings\\"},
  };
  for (const auto& c : cases) {
    test::TTempDir program;
    if (c.LocalIni) test::WriteFile(program / "local.ini", c.LocalIni);
    InitSettingsLocations(nullptr, program.Path());
    EXPECT_EQ(SettingsKey, c.Settings) << (c.LocalIni ? c.LocalIni : "none");
    EXPECT_EQ(ComponentSettingsKey, c.ComponentSettings);
  }
}

TEST_F(LocationsTest, GlobalsAfterStartUp) {
  EXPECT_EQ(ProgramDir, FDir / "program/");
  EXPECT_EQ(ProductName, "Dokalon");
  EXPECT_EQ(ProductEdition, "Pro");
  EXPECT_EQ(ApplicationName, "Dokalon Pro");
  EXPECT_EQ(TempDir, FDir / "tmp/Dokalon/");
  EXPECT_TRUE(DirectoryExists(TempDir));
  EXPECT_EQ(ComputerName, GetComputerNameText());
  EXPECT_TRUE(IsWinNT);
  EXPECT_TRUE(UserNames.Sorted());
  EXPECT_EQ(UserName, "");

  InitSettingsLocations(nullptr);  // the real program directory: the test binary's
  EXPECT_EQ(ProgramDir, GetProgramDir());
  EXPECT_FALSE(ProgramDir.empty());
  EXPECT_EQ(ProgramDir.back(), '/');
}

TEST_F(LocationsTest, AnUncreatableTempDirDoesNotStopStartUp) {
  std::filesystem::remove_all(FDir / "tmp/Dokalon");
  test::WriteFile(FDir / "tmp/Dokalon", "a file where the directory should be");
  InitSettingsLocations(nullptr, FDir / "program");
  EXPECT_EQ(TempDir, FDir / "tmp/Dokalon/");
  EXPECT_FALSE(DirectoryExists(TempDir));
  EXPECT_EQ(SettingsKey, "SOFTWARE\\Tesmarin\\Dokalon\\Settings");
}

}  // namespace
}  // namespace dk
