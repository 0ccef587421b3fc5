#include "settings/progress_bar.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/settings_sandbox.h"
#include "ui/application.h"
#include "ui/message_box.h"

namespace dk {
namespace {

class ProgressBarTest : public test::SettingsTest {
 protected:
  ProgressBarTest() {
    auto a = std::make_unique<TScriptedAnswerer>();
    FAnswerer = a.get();
    FPrevious = SetBoxAnswerer(std::move(a));
    FConfig = Load();
  }
  ~ProgressBarTest() override { SetBoxAnswerer(std::move(FPrevious)); }

  TApplication FApp;
  TScriptedAnswerer* FAnswerer = nullptr;
  std::unique_ptr<TBoxAnswerer> FPrevious;
  std::unique_ptr<TConfiguration> FConfig;
};

TEST_F(ProgressBarTest, DesignedLayout) {
  TFormProgressBar form(nullptr);
  EXPECT_EQ(form.Name, "FormProgressBar");
  EXPECT_EQ(form.Caption, "Bitte warten...");
  EXPECT_EQ(form.BorderStyle, bsDialog);
  EXPECT_EQ(form.Position, poScreenCenter);
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(form.FBarWidth, 401);
  EXPECT_EQ(form.ProgressBar->Max(), 100);
  EXPECT_EQ(form.ProgressBar->HelpContext, 107);
  EXPECT_FALSE(form.BtnCancel->Visible());
  EXPECT_FALSE(form.LabelTop->Visible());
  EXPECT_FALSE(form.LabelBottom->Visible());
  EXPECT_TRUE(form.BtnCancel->Cancel);
}

TEST_F(ProgressBarTest, BarMakesRoomForTheCancelButton) {
  TFormProgressBar form(nullptr);
  form.BtnCancel->Show();
  form.Show();
  EXPECT_EQ(form.ProgressBar->Width, 336 - 16 - 6);
  form.Close();
  EXPECT_FALSE(form.BtnCancel->Visible());
  form.Show();
  EXPECT_EQ(form.ProgressBar->Width, 401);
}

TEST_F(ProgressBarTest, ShowResetsAndCloseClearsTheWindow) {
  TFormProgressBar form(nullptr);
  form.ProgressBar->SetMax(10);
  form.LabelTop->Show();
  form.LabelBottom->Show();
  form.Show();
  form.SetStatusText("Lese Dokument");
  form.ProgressBar->SetPosition(7);
  EXPECT_EQ(form.LabelTop->Caption(), "Lese Dokument");
  form.Close();
  EXPECT_EQ(form.Caption, "Bitte warten");
  EXPECT_FALSE(form.LabelTop->Visible());
  EXPECT_FALSE(form.LabelBottom->Visible());
  EXPECT_EQ(form.LabelTop->Caption(), "");
  form.Show();
  EXPECT_EQ(form.ProgressBar->Position(), 0);
}

TEST_F(ProgressBarTest, CancelAsksAndOnlyYesCancels) {
  TFormProgressBar form(nullptr);
  form.BtnCancel->Show();
  form.Show();
  FAnswerer->Push(mbNo);
  form.BtnCancel->Click();
  EXPECT_FALSE(form.FCancelled);
  EXPECT_TRUE(form.Visible());  // the button never closes the window
  FAnswerer->Push(mbYes);
  form.BtnCancel->Click();
  EXPECT_TRUE(form.FCancelled);
  form.Show();
  EXPECT_FALSE(form.FCancelled);
  const auto shown = FAnswerer->Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].Text, "Möchten Sie wirklich abbrechen?");
  EXPECT_EQ(shown[0].Caption, "Bestätigung");
  EXPECT_EQ(shown[0].Buttons, mbYes | mbNo);
}

TEST_F(ProgressBarTest, LongFileNamesAreShortenedFromTheLeft) {
  TFormProgressBar form(nullptr);
  const std::string path =
      "/home/benutzer/Dokumente/Projekte/Kunde Mustermann/Unterlagen 2005/Angebote/Angebot.doc";
  form.SetFileName(path);
  const std::string shown = form.LabelBottom->Caption();
  EXPECT_NE(shown.find(".../"), std::string::npos) << shown;  // leading folders gave way
  EXPECT_TRUE(shown.ends_with("/Angebot.doc")) << shown;
  EXPECT_LE(static_cast<int>(shown.size()), form.LabelBottom->WidthInChars());
  form.SetFileName("/a/b.doc");
  EXPECT_EQ(form.LabelBottom->Caption(), "/a/b.doc");
}

TEST_F(ProgressBarTest, TakesTheFormFontAndStoresNoPosition) {
  FConfig->UseSystemFont = false;
  FConfig->FormFont = "Arial,10";
  {
    TFormProgressBar form(nullptr);
    EXPECT_EQ(form.Font.Name, "Arial");
    EXPECT_EQ(form.Font.Size(), 10);
    form.Show();
    form.Close();
  }
  EXPECT_FALSE(std::filesystem::exists(FDir / "reg/HKEY_CURRENT_USER.reg"));
}

}  // namespace
}  // namespace dk
