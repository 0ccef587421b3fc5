#include "sys/app_exec.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace dk {
namespace {

TEST(AppExecTest, FreshComponentAndCommandLine) {
  TAppExec exec;
  EXPECT_EQ(exec.ErrNo(), -1);
  EXPECT_TRUE(exec.ChangeDir);
  EXPECT_FALSE(exec.Wait);
  EXPECT_EQ(exec.ShowCommand(), 1);
  std::string text = "kept";
  exec.GetErrorText(text);
  EXPECT_EQ(text, "No execution");

  exec.ExeName = "C:\\Tools\\conv.exe";
  exec.SetExeParams(TStringList{"-a", "-b"});
  EXPECT_EQ(exec.CommandLine(), "C:\\Tools\\conv.exe -a -b");
}

TEST(AppExecTest, ExePathAndWindowStateSetters) {
  const struct {
    const char* in;
    const char* out;
  } paths[] = {{"C:\\Tools\\", "C:\\Tools"}, {"C:\\", "C:\\"}, {"\\", "\\"},
               {"/opt/conv/", "/opt/conv"},  {"/", "/"},       {"/opt", "/opt"}};
  for (const auto& p : paths) {
    TAppExec exec;
    exec.SetExePath(p.in);
    EXPECT_EQ(exec.ExePath(), p.out) << p.in;
  }
  TAppExec exec;
  exec.SetWindowState(TWindowState::wsMinimized);
  EXPECT_EQ(exec.ShowCommand(), 2);
  exec.SetWindowState(TWindowState::wsMaximized);
  EXPECT_EQ(exec.ShowCommand(), 3);
  exec.SetWindowState(TWindowState::wsNormal);
  EXPECT_EQ(exec.ShowCommand(), 1);
}

TEST(AppExecTest, SplitsLikeTheWindowsCommandLine) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("conv -eol dos \"a b.pdf\" \"c.txt\""),
            (V{"conv", "-eol", "dos", "a b.pdf", "c.txt"}));
  EXPECT_EQ(SplitCommandLine("  prog\t\"say \"\"hi\"\"\"  \"\" x"),
            (V{"prog", "say \"hi\"", "", "x"}));
  EXPECT_EQ(SplitCommandLine("/opt/my tools/conv"), (V{"/opt/my", "tools/conv"}));
  EXPECT_TRUE(SplitCommandLine("   ").empty());
}

TEST(AppExecTest, StartFailuresGiveTheirCodes) {
  test::TTempDir dir;
  const std::string plain = dir / "plain.sh";
  test::WriteFile(plain, "#!/bin/sh\n");
  chmod(plain.c_str(), 0644);
  const std::string garbage = dir / "garbage";
  test::WriteFile(garbage, std::string("\x7f"
                                       "ELF\x01\x02garbage",
                                       13));
  chmod(garbage.c_str(), 0755);

  const struct {
    std::string exe;
    int errNo;
    std::string text;
  } cases[] = {
      {dir / "missing", 2, "Anwendung nicht vorhanden: " + dir / "missing"},
      {"no-such-program-anywhere", 2, "Anwendung nicht vorhanden: no-such-program-anywhere"},
      {plain + "/sub", 3, "Verzeichnis der Anwendung nicht vorhanden: " + plain + "/sub"},
      {plain, 5,
       "Es wurde versucht auf nicht verbundene Anwendung zuzugreifen oder Netzwerkrechte nicht "
       "ausreichend"},
      {garbage, 11, "Anwendung defekt. Keine Windows-Anwendung oder Fehler in der EXE-Datei"},
  };
  for (const auto& c : cases) {
    TAppExec exec;
    exec.ExeName = c.exe;
    try {
      exec.Execute();
      ADD_FAILURE() << c.exe << " started";
    } catch (const EAppExecWinExec& e) {
      EXPECT_EQ(exec.ErrNo(), c.errNo) << c.exe;
      EXPECT_EQ(std::string(e.what()), c.text) << c.exe;
    }
  }
}

TEST(AppExecTest, ErrNoAfterWaitedAndUnwaitedRuns) {
  TAppExec exec;
  exec.ExeName = "/bin/true";
  exec.Execute();
  EXPECT_EQ(exec.ErrNo(), -1);  // not waited: keeps its value
  int status = 0;
  ASSERT_EQ(waitpid(exec.ProcessId(), &status, 0), exec.ProcessId());
  exec.Wait = true;
  exec.ExeName = "/bin/false";  // a failing program is not detected
  exec.Execute();
  EXPECT_EQ(exec.ErrNo(), 0);
}

TEST(AppExecTest, EntersTheFolderForTheProgramOnly) {
  test::TTempDir dir;
  const auto before = std::filesystem::current_path();
  TAppExec exec;
  exec.ExeName = "/bin/sh";
  exec.ExeParams().Add("-c");
  exec.ExeParams().Add("\"pwd > here.txt\"");
  exec.SetExePath(dir.Path() + "/");
  exec.Wait = true;
  exec.Execute();
  EXPECT_EQ(test::ReadFile(dir / "here.txt"),
            std::filesystem::canonical(dir.Path()).string() + "\n");
  EXPECT_EQ(std::filesystem::current_path(), before);

  exec.SetExePath(dir / "absent");
  try {
    exec.Execute();
    FAIL() << "started in a missing folder";
  } catch (const EAppExecChDir& e) {
    EXPECT_NE(std::string(e.what()).find(dir / "absent"), std::string::npos);
  }
  EXPECT_EQ(exec.ErrNo(), 0);  // unchanged by the folder failure
}

TEST(AppExecTest, TimeLimitEndsAHungProgramAndItsChildren) {
  test::TTempDir dir;
  TAppExec exec;
  exec.ExeName = "/bin/sh";
  exec.ExeParams().Add("-c");
  exec.ExeParams().Add("\"sleep 60 & echo $! > child; wait\"");
  exec.SetExePath(dir.Path());
  exec.Wait = true;
  exec.TimeLimitMs = 300;
  exec.Execute();
  EXPECT_TRUE(exec.TimedOut());
  EXPECT_EQ(exec.ErrNo(), 0);
  const pid_t child = std::stoi(test::ReadFile(dir / "child"));
  // The orphaned sleep is left to whatever reaps orphans here; ended means
  // gone or a zombie.
  const auto running = [child] {
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
  };
  for (int i = 0; i < 100 && running(); ++i) usleep(10000);
  EXPECT_FALSE(running());
}

}  // namespace
}  // namespace dk
