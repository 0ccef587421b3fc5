#include "ui/message_box.h"

#include <gtest/gtest.h>

#include <thread>

#include "ui/application.h"

namespace dk {
namespace {

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto a = std::make_unique<TScriptedAnswerer>();
    FAnswerer = a.get();
    FPrevious = SetBoxAnswerer(std::move(a));
  }
  void TearDown() override { SetBoxAnswerer(std::move(FPrevious)); }
  TScriptedAnswerer* FAnswerer = nullptr;
  std::unique_ptr<TBoxAnswerer> FPrevious;
};

TEST_F(MessageBoxTest, CaptionsButtonsAndResults) {
  TApplication app;
  FAnswerer->Push(mbRetry);
  EXPECT_EQ(MessageDlg("Kein Schlüssel", mtError, mbCancel | mbRetry | mbHelp, 90006), mrRetry);
  FAnswerer->Push(mbYes);
  EXPECT_EQ(MessageDlg("Wirklich?", mtConfirmation, mbYes | mbNo), mrYes);
  const auto shown = FAnswerer->Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].Caption, "Fehler");
  EXPECT_EQ(shown[0].HelpContext, 90006);
  EXPECT_EQ(shown[1].Caption, "Bestätigung");
  EXPECT_EQ(MsgDlgCaption(mtWarning), "Warnung");
  EXPECT_EQ(MsgDlgCaption(mtInformation), "Information");
  EXPECT_EQ(MsgDlgButtonText(mbYes), "&Ja");
  EXPECT_EQ(MsgDlgButtonText(mbNo), "&Nein");
  EXPECT_EQ(MsgDlgButtonText(mbCancel), "Abbrechen");
  EXPECT_EQ(MsgDlgButtonText(mbRetry), "&Wiederholen");
  EXPECT_EQ(MsgDlgButtonText(mbHelp), "&Hilfe");
}

TEST_F(MessageBoxTest, UnscriptedBoxesTakeTheButtonThatChangesNothing) {
  struct Case {
    TMsgDlgButtons buttons;
    TModalResult result;
  } cases[] = {
      {mbOK, mrOk},
      {mbYes | mbNo, mrNo},
      {mbYes | mbNo | mbCancel, mrCancel},
      {mbCancel | mbRetry | mbHelp, mrCancel},
      {mbOK | mbCancel, mrCancel},
  };
  for (const auto& c : cases) EXPECT_EQ(MessageDlg("?", mtWarning, c.buttons), c.result);
  // Help shows its topic and leaves the box open for the next answer.
  FAnswerer->Push(mbHelp);
  FAnswerer->Push(mbOK);
  EXPECT_EQ(MessageDlg("!", mtError, mbOK | mbHelp, 7305), mrOk);
}

TEST_F(MessageBoxTest, BoxFromAnotherThreadIsShownByTheMainThread) {
  TApplication app;
  FAnswerer->Push(mbOK);
  TModalResult result = mrNone;
  std::thread worker([&] {
    result = MessageDlg("aus dem Hintergrund", mtWarning, mbOK | mbCancel);
    app.Terminate();
  });
  app.Run();
  worker.join();
  EXPECT_EQ(result, mrOk);
}

TEST(MessageBoxDefaults, DefaultAndCancelButtons) {
  EXPECT_EQ(DefaultButton(mbYes | mbNo), mbYes);
  EXPECT_EQ(DefaultButton(mbCancel | mbRetry), mbRetry);
  EXPECT_EQ(CancelButton(mbOK | mbHelp), mbOK);
  EXPECT_EQ(ButtonsInOrder(mbHelp | mbOK | mbCancel),
            (std::vector<TMsgDlgBtn>{mbOK, mbCancel, mbHelp}));
}

}  // namespace
}  // namespace dk
