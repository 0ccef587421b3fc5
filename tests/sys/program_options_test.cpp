#include "sys/program_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace dk {
namespace {

struct TRun {
  std::optional<int> Status;
  TParsedOptions Parsed;
  std::string Out, Err;
};

TProgramOptions Sample(bool stopAtFirst = false) {
  TProgramOptions o("dkl-probe", "[OPTION]... QUELLE ZIEL", "Prüft etwas.");
  o.AddFlag("exit-status", 0, "liefert den Ausgang als Status")
      .AddFlag("check", 'c', "prüft nur")
      .AddValue("codepage", 0, "N", "Codepage N")
      .AddValue("output", 'o', "DATEI", "schreibt nach DATEI")
      .AddFlag("exit-code-only", 0, "nur zum Prüfen der Mehrdeutigkeit")
      .StopAtFirstArgument(stopAtFirst);
  return o;
}

TRun Parse(const TProgramOptions& options, std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = options.Program();
  argv.push_back(program.data());
  for (auto& a : args) argv.push_back(a.data());
  const std::vector<char*> before = argv;
  TRun run;
  std::ostringstream out, err;
  run.Status = options.Parse(static_cast<int>(argv.size()), argv.data(), run.Parsed, out, err);
  EXPECT_EQ(argv, before) << "the caller's argv is left as it was";
  run.Out = out.str();
  run.Err = err.str();
  return run;
}

TEST(ProgramOptions, OptionsValuesAndPositionalArguments) {
  const auto options = Sample();
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> positional;
    bool check;
    std::string codepage;
  } cases[] = {
      {{"a", "b"}, {"a", "b"}, false, ""},
      {{"--check", "--codepage=850", "a", "b"}, {"a", "b"}, true, "850"},
      {{"--codepage", "437", "a"}, {"a"}, false, "437"},
      {{"a", "-c", "b"}, {"a", "b"}, true, ""},            // options may follow arguments
      {{"--codepage=1", "--codepage=2"}, {}, false, "2"},  // the last one counts
      {{"--che", "a"}, {"a"}, true, ""},                   // an unambiguous prefix
      {{"--", "--check", "-c", "-"}, {"--check", "-c", "-"}, false, ""},
      {{"-", "a"}, {"-", "a"}, false, ""},
  };
  for (const auto& c : cases) {
    const auto run = Parse(options, c.args);
    SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
    EXPECT_FALSE(run.Status);
    EXPECT_EQ(run.Parsed.Positional(), c.positional);
    EXPECT_EQ(run.Parsed.Has("check"), c.check);
    EXPECT_EQ(run.Parsed.Value("codepage"), c.codepage);
    EXPECT_EQ(run.Out + run.Err, "");
  }
  const auto run = Parse(options, {"-o", "x", "-oy", "--output=z"});
  EXPECT_EQ(run.Parsed.Values("output"), (std::vector<std::string>{"x", "y", "z"}));
}

TEST(ProgramOptions, StopAtFirstArgumentTakesTheRestAsItStands) {
  const auto run = Parse(Sample(true), {"--check", "quelle", "ziel", "--help", "--bogus"});
  EXPECT_FALSE(run.Status);
  EXPECT_TRUE(run.Parsed.Has("check"));
  EXPECT_EQ(run.Parsed.Positional(),
            (std::vector<std::string>{"quelle", "ziel", "--help", "--bogus"}));
  EXPECT_EQ(run.Out + run.Err, "");
}

TEST(ProgramOptions, UsageErrorsNameTheOptionAndEndWithStatus2) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--help-me", "a"}, "unbekannte Option \"--help-me\""},
      {{"a", "--bogus=1"}, "unbekannte Option \"--bogus\""},
      {{"-x"}, "unbekannte Option \"-x\""},
      {{"-cx"}, "unbekannte Option \"-x\""},
      {{"--exit"}, "die Option \"--exit\" ist mehrdeutig"},
      {{"--codepage"}, "die Option \"--codepage\" verlangt einen Wert"},
      {{"a", "-o"}, "die Option \"--output\" verlangt einen Wert"},
      {{"--check=yes"}, "die Option \"--check\" erlaubt keinen Wert"},
  };
  for (const auto& c : cases) {
    const auto run = Parse(Sample(), c.args);
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err, "dkl-probe: " + c.message + "\nAufruf und Optionen: dkl-probe --help\n");
    EXPECT_EQ(run.Out, "");
  }
}

TEST(ProgramOptions, HelpAndVersionEndWithStatus0) {
  const auto options = Sample();
  for (const std::string arg : {"--help", "-h", "--he"}) {
    const auto run = Parse(options, {"a", arg, "--bogus"});
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out, options.UsageText());
    EXPECT_EQ(run.Err, "");
  }
  const auto run = Parse(options, {"--version"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, std::string("dkl-probe ") + ProjectVersion() + "\n");
  EXPECT_NE(std::string(ProjectVersion()), "");
}

TEST(ProgramOptions, UsageTextListsEveryOptionAligned) {
  auto options = Sample();
  options.AddSynopsis("--check QUELLE").SetEpilog("Status: 0 gut, 2 falsch aufgerufen.");
  options.AddFlag("quiet", 'q', "erste Zeile\nzweite Zeile");
  EXPECT_EQ(options.UsageText(),
            "Aufruf: dkl-probe [OPTION]... QUELLE ZIEL\n"
            "        dkl-probe --check QUELLE\n"
            "Prüft etwas.\n"
            "\n"
            "Optionen:\n"
            "      --exit-status     liefert den Ausgang als Status\n"
            "  -c, --check           prüft nur\n"
            "      --codepage=N      Codepage N\n"
            "  -o, --output=DATEI    schreibt nach DATEI\n"
            "      --exit-code-only  nur zum Prüfen der Mehrdeutigkeit\n"
            "  -q, --quiet           erste Zeile\n"
            "                        zweite Zeile\n"
            "  -h, --help            zeigt diese Hilfe und endet\n"
            "      --version         zeigt Programmname und Version und endet\n"
            "\n"
            "Status: 0 gut, 2 falsch aufgerufen.\n");
}

}  // namespace
}  // namespace dk
