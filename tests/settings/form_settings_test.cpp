#include "settings/form_settings.h"

#include <gtest/gtest.h>

#include "settings/reg_tool.h"
#include "support/settings_sandbox.h"
#include "sys/registry.h"
#include "ui/application.h"

namespace dk {
namespace {

class FormSettingsTest : public test::SettingsTest {
 protected:
  TApplication FApp;
};

TEST_F(FormSettingsTest, SizeableFormsStoreAndRestoreTheirPlace) {
  auto cfg = Load();
  {
    TForm form(nullptr);
    form.Name = "FormTest";
    form.Left = 10, form.Top = 20, form.Width = 300, form.Height = 200;
    form.FormStyle = fsStayOnTop;
    SaveFormSettings(form);
    form.Left = 99;  // maximized: nothing stored
    form.WindowState = wsMaximized;
    SaveFormSettings(form);
  }
  TRegistry reg(TRootKey::CurrentUser);
  ASSERT_TRUE(reg.OpenKeyReadOnly(ComponentSettingsKey + "FormTest"));
  EXPECT_EQ(RegReadInteger(reg, "FormLeft", -1), 10);
  EXPECT_EQ(reg.GetDataType("StayOnTop"), TRegDataType::DWord);

  TForm other(nullptr);
  other.Name = "FormTest";
  other.Position = poScreenCenter;
  RestoreFormSettings(other);
  EXPECT_EQ(other.Position, poDesigned);
  EXPECT_EQ(other.Left, 10);
  EXPECT_EQ(other.Top, 20);
  EXPECT_EQ(other.Width, 300);
  EXPECT_EQ(other.Height, 200);
  EXPECT_EQ(other.FormStyle, fsStayOnTop);

  TForm unknown(nullptr);
  unknown.Name = "FormUnknown";
  unknown.Left = 5;
  unknown.Position = poScreenCenter;
  RestoreFormSettings(unknown);
  EXPECT_EQ(unknown.Left, 5);
  EXPECT_EQ(unknown.Position, poScreenCenter);
}

TEST_F(FormSettingsTest, DialogFormsNeitherReadNorWriteTheRegistry) {
  auto cfg = Load();
  WriteHive(false, "\"FormLeft\"=dword:00000001\n", ComponentSettingsKey + "FormDialog");
  TForm form(nullptr);
  form.Name = "FormDialog";
  form.BorderStyle = bsDialog;
  form.Left = 50;
  RestoreFormSettings(form);
  EXPECT_EQ(form.Left, 50);
  SaveFormSettings(form);
  TRegistry reg(TRootKey::CurrentUser);
  ASSERT_TRUE(reg.OpenKeyReadOnly(ComponentSettingsKey + "FormDialog"));
  EXPECT_EQ(RegReadInteger(reg, "FormLeft", -1), 1);
}

TEST_F(FormSettingsTest, FormFontFromTheSettings) {
  WriteMachine();
  auto cfg = Load();
  TForm form(nullptr);
  RestoreFormSettings(form);  // system font: the design font stays
  EXPECT_EQ(form.Font.Name, "MS Sans Serif");

  cfg->UseSystemFont = false;
  cfg->FormFont = "Arial,12,B";
  int changes = 0;
  form.Font.OnChange = [&] { ++changes; };
  RestoreFormSettings(form);
  EXPECT_EQ(form.Font.Name, "Arial");
  EXPECT_EQ(form.Font.Size(), 12);
  EXPECT_EQ(form.Font.Style, fsBold);
  EXPECT_EQ(changes, 1);

  TForm broken(nullptr);
  cfg->FormFont = "Courier,14,I,0,keineFarbe";
  RestoreFormSettings(broken);
  EXPECT_EQ(broken.Font.Name, "MS Sans Serif");
  EXPECT_EQ(broken.Font.Style, 0);
  EXPECT_NE(test::ReadFile(Common() + "Error.log")
                .find("]: Fehlerhafe Angabe für Formular-Schriftart\r\n"),
            std::string::npos);
}

TEST_F(FormSettingsTest, AnUnwritableHiveIsLoggedNotRaised) {
  WriteMachine();
  auto cfg = Load();
  test::TScopedEnv env("DOKALON_REGISTRY_DIR", FDir / "hive-is-a-file");
  test::WriteFile(FDir / "hive-is-a-file", "");
  TForm form(nullptr);
  form.Name = "FormTest";
  EXPECT_NO_THROW(SaveFormSettings(form));
  EXPECT_NE(test::ReadFile(Common() + "Error.log").find("FormTest"), std::string::npos);
}

TEST(CapitalizeFirst, FirstCharacterOnly) {
  EXPECT_EQ(CapitalizeFirst(""), "");
  EXPECT_EQ(CapitalizeFirst("bitte warten"), "Bitte warten");
  EXPECT_EQ(CapitalizeFirst("ärger über äpfel"), "Ärger über äpfel");
  EXPECT_EQ(CapitalizeFirst("1a"), "1a");
}

}  // namespace
}  // namespace dk
