#include "settings/error_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "settings/messages.h"
#include "support/settings_sandbox.h"
#include "sys/api_tools.h"
#include "ui/application.h"
#include "ui/message_box.h"

namespace dk {
namespace {

class ErrorLogTest : public test::SettingsTest {
 protected:
  ErrorLogTest() {
    auto a = std::make_unique<TScriptedAnswerer>();
    FAnswerer = a.get();
    FPrevious = SetBoxAnswerer(std::move(a));
    FConfig = Load();
  }
  ~ErrorLogTest() override { SetBoxAnswerer(std::move(FPrevious)); }

  std::string ProgramLog() const { return FDir / "program/Error.log"; }

  TApplication FApp;
  TScriptedAnswerer* FAnswerer = nullptr;
  std::unique_ptr<TBoxAnswerer> FPrevious;
  std::unique_ptr<TConfiguration> FConfig;
};

TEST_F(ErrorLogTest, RecordsGoToTheSharedDirectoryOrElseBesideTheProgram) {
  struct TCase {
    std::string CommonFilesPath;
    std::string Expected;
  };
  const TCase cases[] = {{Common(), Common() + "Error.log"},
                         {"", ProgramLog()},
                         {FDir / "no/such/dir/", ProgramLog()}};
  for (const auto& c : cases) {
    FConfig->CommonFilesPath = c.CommonFilesPath;
    EXPECT_EQ(ErrorLogFileName(), c.Expected);
    WriteErrorLog("Eintrag");
    EXPECT_TRUE(test::ReadFile(c.Expected).ends_with("]: Eintrag\r\n"));
  }
}

TEST_F(ErrorLogTest, RecordLayoutAndStampWithAnEmptyUser) {
  FConfig->CommonFilesPath = Common();
  test::WriteFile(Common() + "Error.log", "earlier record\r\n");
  WriteErrorLog("Zeile 1\nZeile 2");
  UserName = "Meier";
  WriteErrorLog("zweiter");
  const std::string text = test::ReadFile(Common() + "Error.log");
  const std::string stamp = R"(\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)";
  const std::regex layout("earlier record\r\n" + stamp + "  an " + ComputerName +
                          "\\]: Zeile 1\nZeile 2\r\n" + stamp + " Meier an " + ComputerName +
                          "\\]: zweiter\r\n");
  EXPECT_TRUE(std::regex_match(text, layout)) << text;
  EXPECT_TRUE(
      std::regex_match(GetLogStamp(), std::regex(stamp + " Meier an " + ComputerName + "\\]")));
}

TEST_F(ErrorLogTest, FailuresBeepAndNeverRaise) {
  const int beeps = BeepCount();
  Configuration = nullptr;  // before the store exists: lost
  WriteErrorLog("verloren");
  EXPECT_EQ(BeepCount(), beeps + 1);
  EXPECT_FALSE(FileExists(ProgramLog()));
  EXPECT_FALSE(FileExists(Common() + "Error.log"));

  Configuration = FConfig.get();
  FConfig->CommonFilesPath = Common();
  std::filesystem::create_directories(Common() + "Error.log");  // cannot be opened
  WriteErrorLog("auch verloren");
  EXPECT_EQ(BeepCount(), beeps + 2);
}

TEST_F(ErrorLogTest, RecordsOfTwoThreadsAreNeverInterleaved) {
  FConfig->CommonFilesPath = Common();
  const std::string a(3000, 'a');
  const std::string b(3000, 'b');
  auto writer = [](const std::string& text) {
    for (int i = 0; i < 200; ++i) WriteErrorLog(text);
  };
  std::thread t1(writer, a);
  std::thread t2(writer, b);
  t1.join();
  t2.join();
  TStringList lines;
  lines.LoadFromFile(Common() + "Error.log");
  ASSERT_EQ(lines.Count(), 400);
  for (const auto& line : lines.Items()) {
    const size_t colon = line.find("]: ");
    ASSERT_NE(colon, std::string::npos);
    const std::string message = line.substr(colon + 3);
    EXPECT_TRUE(message == a || message == b);
  }
}

TEST_F(ErrorLogTest, ShowErrorLogsThenShowsWithTheContactText) {
  FConfig->CommonFilesPath = Common();
  ShowError("Erste\n\rZweite\r\nDritte", 0);
  FConfig->ErrorMessage = "Bitte Herrn Müller anrufen";
  ShowError("Fehlschlag", 7305);
  ShowError("negativ", -1);

  const std::string log = test::ReadFile(Common() + "Error.log");
  EXPECT_NE(log.find("]: Erste    \n\rZweite\r\nDritte\r\n"), std::string::npos) << log;
  const auto shown = FAnswerer->Shown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].Caption, "Fehler");
  EXPECT_EQ(shown[0].Text, "Erste\n\rZweite\r\nDritte\r");  // empty contact: a single CR
  EXPECT_EQ(shown[0].Buttons, mbOK);
  EXPECT_EQ(shown[1].Text, "Fehlschlag\rBitte Herrn Müller anrufen");
  EXPECT_EQ(shown[1].Buttons, mbOK | mbHelp);
  EXPECT_EQ(shown[1].HelpContext, 7305);
  EXPECT_EQ(shown[2].Buttons, mbOK);
}

// Records on which thread each box was shown.
class TThreadRecordingAnswerer : public TBoxAnswerer {
 public:
  TMsgDlgBtn Answer(const TMessageBox& box) override {
    FOnMainThread.push_back(Application->IsMainThread());
    FTexts.push_back(box.Text);
    return FAnswer;
  }
  TMsgDlgBtn FAnswer = mbOK;
  std::vector<bool> FOnMainThread;
  std::vector<std::string> FTexts;
};

TEST_F(ErrorLogTest, BoxesOfAnotherThreadAreShownByTheMainThread) {
  auto owned = std::make_unique<TThreadRecordingAnswerer>();
  auto* answerer = owned.get();
  answerer->FAnswer = mbRetry;
  auto previous = SetBoxAnswerer(std::move(owned));
  std::atomic<bool> done{false};
  TModalResult keyResult = mrNone;
  std::thread worker([&] {
    ShowError("aus dem Hintergrund", 0);
    keyResult = MsgKeyValueError("DOCID", "gesperrt");
    done = true;
  });
  while (!done) FApp.ProcessMessages();
  worker.join();
  auto recorder = SetBoxAnswerer(std::move(previous));  // alive for the checks below
  ASSERT_EQ(answerer->FOnMainThread.size(), 2u);
  EXPECT_TRUE(answerer->FOnMainThread[0]);
  EXPECT_TRUE(answerer->FOnMainThread[1]);
  EXPECT_EQ(keyResult, mrRetry);
}

TEST_F(ErrorLogTest, SharedMessageBoxes) {
  FAnswerer->Push(mbCancel);
  EXPECT_EQ(MsgKeyValueError("DOCID", "Zeile gesperrt"), mrCancel);
  FAnswerer->Push(mbOK);
  EXPECT_EQ(MsgCopyMoveFailed("/srv/Brief.doc"), mrOk);
  EXPECT_EQ(MsgCopyMoveFailed("/srv/Brief.doc"), mrCancel);  // unscripted: changes nothing
  const auto shown = FAnswerer->Shown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].Caption, "Fehler");
  EXPECT_EQ(shown[0].Text,
            "Der Schlüsselwert für \"DOCID\" konnte nicht ermittelt werden:\rZeile gesperrt");
  EXPECT_EQ(shown[0].Buttons, mbCancel | mbRetry | mbHelp);
  EXPECT_EQ(shown[0].HelpContext, 90006);
  EXPECT_EQ(shown[1].Caption, "Warnung");
  EXPECT_EQ(shown[1].Text,
            "\"/srv/Brief.doc\" konnte nicht kopiert/verschoben werden. Schließen Sie bitte die "
            "Datei, falls sie noch geöffnet ist.");
  EXPECT_EQ(shown[1].Buttons, mbOK | mbCancel);
  EXPECT_EQ(shown[1].HelpContext, 0);
}

TEST_F(ErrorLogTest, SystemFunctionsShowTheirBoxesThroughTheToolkit) {
  // InitSettingsLocations (in the sandbox) connected them.
  test::WriteFile(FDir / "a.txt", "a");
  test::WriteFile(FDir / "b.txt", "b");
  FApp.SetCursor(crSQLWait);
  EXPECT_FALSE(FileCopy(FDir / "a.txt", FDir / "b.txt", false, true));
  EXPECT_EQ(FApp.Cursor(), crSQLWait);
  FAnswerer->Push(mbYes);
  EXPECT_TRUE(ShellMoveFile(FDir / "a.txt", FDir / "b.txt", true));
  const auto shown = FAnswerer->Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].Caption, "Fehler");
  EXPECT_EQ(shown[0].Text, GetSystemErrorText(EEXIST));
  EXPECT_EQ(shown[1].Caption, "Bestätigung");
  EXPECT_EQ(shown[1].Buttons, mbYes | mbNo);
}

}  // namespace
}  // namespace dk
