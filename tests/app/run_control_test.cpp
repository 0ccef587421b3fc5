#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "app/main_window.h"
#include "support/settings_sandbox.h"
#include "ui/message_box.h"

namespace dk {
namespace {

// The settings live in a sandbox: a run that gets past the argument checks
// reads the registry and writes Error.log and layouts.
class RunControlTest : public test::SettingsTest {
 protected:
  void SetUp() override {
    WriteMachine();
    auto a = std::make_unique<TScriptedAnswerer>();
    FAnswerer = a.get();
    FPrevious = SetBoxAnswerer(std::move(a));
    FApp = std::make_unique<TApplication>();
    FApp->Title = "DKL 5to6-Konverter";
  }
  void TearDown() override { SetBoxAnswerer(std::move(FPrevious)); }

  // Shows the window and runs a fresh loop until the window closes.
  std::unique_ptr<TFormArcport5Main> Run(std::vector<std::string> args) {
    FApp.reset();
    FApp = std::make_unique<TApplication>();
    auto form = std::make_unique<TFormArcport5Main>(nullptr, std::move(args));
    form->Show();
    FApp->Run();
    return form;
  }

  std::unique_ptr<TApplication> FApp;
  TScriptedAnswerer* FAnswerer = nullptr;
  std::unique_ptr<TBoxAnswerer> FPrevious;
};

TEST_F(RunControlTest, TooFewArgumentsShowTheInformationBoxAndWriteNothing) {
  const std::string info =
      "Dieses Programm wird vom Dokalon für die Datenübernahme aus Version 5.0 verwendet. Eine "
      "andere Verwendung ist nicht vorgesehen. Das Programm wird jetzt beendet.";
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{FDir.Path()}}) {
    FAnswerer->Clear();
    auto form = Run(args);
    const auto shown = FAnswerer->Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Type, mtInformation);
    EXPECT_EQ(shown[0].Buttons, mbOK);
    EXPECT_EQ(shown[0].Text, info);
    EXPECT_FALSE(form->Visible());
  }
  for (const auto& e : std::filesystem::recursive_directory_iterator(FDir.Path()))
    EXPECT_NE(e.path().extension(), ".log") << e.path();
}

TEST_F(RunControlTest, MissingSourceIsShownWithTheAddedSlash) {
  Run({FDir / "fehlt", FDir / "ziel.mdb"});
  const auto shown = FAnswerer->Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Type, mtError);
  EXPECT_EQ(shown[0].Text,
            "Das Quellverzeichnis \"" + (FDir / "fehlt") + "/\" ist nicht vorhanden.");
  EXPECT_FALSE(std::filesystem::exists(FDir / "ziel.log"));
}

TEST_F(RunControlTest, MissingTargetIsShownAsPassed) {
  Run({FDir.Path(), FDir / "ziel.mdb"});
  const auto shown = FAnswerer->Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Text,
            "Die Zieldatenbank \"" + (FDir / "ziel.mdb") + "\" ist nicht vorhanden.");
  EXPECT_FALSE(std::filesystem::exists(FDir / "ziel.log"));
}

TEST_F(RunControlTest, ValidArgumentsShowThePathsAndLeaveTheLogBesideTheTarget) {
  test::WriteFile(FDir / "neu.mdb", "");
  // A third argument is ignored.
  auto form = Run({FDir.Path(), FDir / "neu.mdb", "überzählig"});
  // The empty file is no archive: the conversion reports that, and the log
  // is written all the same.
  ASSERT_EQ(FAnswerer->Shown().size(), 1u);
  EXPECT_EQ(FAnswerer->Shown()[0].Type, mtError);
  EXPECT_EQ(form->SourceDir(), FDir.Path() + "/");
  EXPECT_EQ(form->LabelSrc->Caption(), FDir.Path() + "/");
  EXPECT_EQ(form->LabelDst->Caption(), FDir / "neu.mdb");
  TStringList log;
  log.LoadFromFile(FDir / "neu.log");
  EXPECT_GE(log.IndexOf("******************* Fehler *********************"), 0) << log.Text();
}

TEST_F(RunControlTest, LongPathsAreShortenedToTheLabelWidth) {
  std::string deep = FDir.Path();
  for (int i = 0; i < 12; ++i) deep += "/verzeichnis-mit-langem-namen-" + std::to_string(i);
  std::filesystem::create_directories(deep);
  test::WriteFile(deep + "/archiv.db", "");
  auto form = Run({deep, deep + "/archiv.db"});
  const std::string shown = form->LabelDst->Caption();
  EXPECT_NE(shown, deep + "/archiv.db");
  EXPECT_LE(static_cast<int>(shown.size()), form->LabelDst->WidthInChars());
  EXPECT_TRUE(shown.ends_with("/archiv.db"));
}

TEST_F(RunControlTest, LogFileName) {
  EXPECT_EQ(LogFileName("/daten/neu.mdb"), "/daten/neu.log");
  EXPECT_EQ(LogFileName("/daten/archiv"), "/daten/archiv.log");
  EXPECT_EQ(LogFileName("/daten.v6/archiv"), "/daten.v6/archiv.log");
  EXPECT_EQ(LogFileName("a.b.sqlite"), "a.b.log");
}

TEST_F(RunControlTest, StartMessageActsOnlyAfterShowAndOnlyOnce) {
  TFormArcport5Main form(nullptr, {});
  // The hook is installed at creation, but nothing starts before the window
  // is shown and has posted its start message.
  FApp->ProcessMessages();
  EXPECT_TRUE(form.RunPending());
  EXPECT_TRUE(FAnswerer->Shown().empty());
  form.Show();
  FApp->ProcessMessages();
  EXPECT_FALSE(form.RunPending());
  EXPECT_EQ(FAnswerer->Shown().size(), 1u);
  EXPECT_FALSE(form.Visible());
  // A second start message (the window shown again) only closes the window.
  form.Show();
  FApp->ProcessMessages();
  EXPECT_EQ(FAnswerer->Shown().size(), 1u);
  EXPECT_FALSE(form.Visible());
}

TEST_F(RunControlTest, UnwritableLogIsReportedNotCrashed) {
  test::WriteFile(FDir / "ziel.db", "");
  std::filesystem::create_directory(FDir / "ziel.log");  // a directory blocks the file
  std::string reported;
  FApp->OnException = [&](const std::string& text) { reported = text; };
  TFormArcport5Main form(nullptr, {FDir.Path(), FDir / "ziel.db"});
  form.Show();
  FApp->Run();
  // Reported by the run itself (the whole log goes to stderr, the exit status
  // says so), not as a crash; the folder in the way is left alone.
  EXPECT_EQ(reported, "");
  EXPECT_NE(form.LogError().find(FDir / "ziel.log"), std::string::npos) << form.LogError();
  EXPECT_EQ(ExitStatusOf(form), 3);
  EXPECT_TRUE(std::filesystem::is_directory(FDir / "ziel.log"));
  EXPECT_TRUE(std::filesystem::is_empty(FDir / "ziel.log"));
  EXPECT_FALSE(std::filesystem::exists(FDir / "ziel.1.log"));
}

// The real program with stdin closed and no terminal: the boxes answer
// themselves, the program ends with status 0.
TEST(Arcport5Program, FinishesWithoutATerminal) {
  test::TTempDir dir;
  for (const std::string& args : {std::string(), " " + dir.Path() + " " + dir.Path() + "/x.db"}) {
    const std::string cmd = "timeout 30 " + std::string(ARCPORT5_EXE) + args + " </dev/null >" +
                            dir.Path() + "/out.txt 2>&1";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << cmd;
  }
  EXPECT_NE(test::ReadFile(dir / "out.txt").find("ist nicht vorhanden"), std::string::npos);
}

}  // namespace
}  // namespace dk
