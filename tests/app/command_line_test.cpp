// The command line of every program, through the real binaries: --help,
// --version and an unknown option, which is refused and never taken as a file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "sys/program_options.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

struct TProgram {
  const char* Name;
  const char* Path;
};

const TProgram kPrograms[] = {
    {"arcport5", ARCPORT5_EXE},         {"dkl-mkarchive", DKL_MKARCHIVE_EXE},
    {"dkl-pxdump", DKL_PXDUMP_EXE},     {"dkl-pxwrite", DKL_PXWRITE_EXE},
    {"dkl-mklegacy", DKL_MKLEGACY_EXE},
};

bool IsEmptyDir(const std::string& dir) {
  return fs::is_empty(dir);
}

TEST(CommandLine, HelpVersionAndUnknownOptionsOfEveryProgram) {
  for (const TProgram& p : kPrograms) {
    SCOPED_TRACE(p.Name);
    test::TTempDir cwd;
    test::TChildOptions options;
    options.WorkingDir = cwd.Path();

    auto run = test::RunProgram({p.Path, "--help"}, options);
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out.rfind("Aufruf: " + std::string(p.Name) + " ", 0), 0u) << run.Out;
    EXPECT_NE(run.Out.find("--version"), std::string::npos);
    EXPECT_EQ(run.Err, "");

    run = test::RunProgram({p.Path, "--version"}, options);
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out, std::string(p.Name) + " " + ProjectVersion() + "\n");

    // Before a file name, after it and glued to a value: refused, named, and
    // nothing is created (once dkl-mkarchive made a file called "--help=x").
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus", "x.db"}, {"x.db", "--bogus"}, {"--bogus=1", "x"}}) {
      std::vector<std::string> argv{p.Path};
      argv.insert(argv.end(), args.begin(), args.end());
      run = test::RunProgram(argv, options);
      const bool afterArgument = args[0] == "x.db" && std::string(p.Name) == "arcport5";
      if (afterArgument) continue;  // arcport5 takes options only before its arguments
      EXPECT_EQ(run.Status, 2) << args[0];
      EXPECT_NE(run.Err.find("unbekannte Option \"--bogus\""), std::string::npos) << run.Err;
      EXPECT_EQ(run.Out, "");
    }
    EXPECT_TRUE(IsEmptyDir(cwd.Path()));

    // "--" ends the options: a file name that starts with "-" is a file name.
    if (std::string(p.Name) == "dkl-mkarchive") {
      run = test::RunProgram({p.Path, "--", "-neu.db"}, options);
      EXPECT_EQ(run.Status, 0) << run.Err;
      EXPECT_TRUE(fs::exists(cwd / "-neu.db"));
    }
  }
}

TEST(CommandLine, UsageErrorsOfTheToolsEndWithStatus2) {
  struct Case {
    std::vector<std::string> Argv;
    std::string Message;
  } cases[] = {
      {{DKL_MKARCHIVE_EXE}, "DATEI fehlt"},
      {{DKL_MKARCHIVE_EXE, "a.db", "b.db"}, "zu viele Argumente: \"b.db\""},
      {{DKL_PXDUMP_EXE, "--codepage=abc", "."}, "nicht \"abc\""},
      {{DKL_PXWRITE_EXE, "--keys"}, "die Option \"--keys\" verlangt einen Wert"},
      {{DKL_MKLEGACY_EXE, "--documents", "-3", "d"}, "nicht \"-3\""},
      {{DKL_MKLEGACY_EXE}, "VERZEICHNIS fehlt"},
  };
  for (const auto& c : cases) {
    test::TTempDir cwd;
    const auto run = test::RunProgram(c.Argv, {cwd.Path(), {}, -1});
    EXPECT_EQ(run.Status, 2) << c.Message;
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("--help"), std::string::npos) << run.Err;
    EXPECT_TRUE(IsEmptyDir(cwd.Path()));
  }
}

}  // namespace
}  // namespace dk
