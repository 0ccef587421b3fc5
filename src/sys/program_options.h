// The command line of every program of the project, the GNU way.
//
// A program describes its options once; the same description parses argv and
// prints the usage text, so the two never disagree. Built on getopt_long from
// the C library:
//   - long options "--name" and "--name=VALUE" or "--name VALUE"; an
//     unambiguous prefix of a long name is accepted ("--exit" for
//     "--exit-status"); optional one-letter forms "-x", "-xVALUE", "-x VALUE";
//   - "--" ends the options: everything after it is a positional argument,
//     even when it starts with "-"; a lone "-" is a positional argument;
//   - "--help" (and "-h") prints the usage text on standard output, exit 0;
//     "--version" prints "PROGRAM VERSION" (one version for the whole project,
//     set in CMake), exit 0;
//   - an unknown or ambiguous option, a missing value or a value given to a
//     flag is a usage error: one line naming the option on standard error,
//     a hint to --help, exit status 2. Such an argument is never taken as a
//     file name.
// Every text the parser prints is German, as are the programs' own texts.
//
//   dk::TProgramOptions options("dkl-pxdump", "[OPTION]... VERZEICHNIS [TABELLE]",
//                               "Listet die Paradox-Tabellen ...");
//   options.AddValue("codepage", 0, "N", "liest Texte in Codepage N");
//   dk::TParsedOptions parsed;
//   if (auto status = options.Parse(argc, argv, parsed)) return *status;
//   if (parsed.Positional().empty()) return options.UsageError("VERZEICHNIS fehlt");
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dk {

// The project's version, the same for every program ("1.2.0").
const char* ProjectVersion();

// What one parse found: the options in the order given and the positional
// arguments.
class TParsedOptions {
 public:
  // True when the option `longName` was given at least once.
  bool Has(std::string_view longName) const;
  // The value of the last `longName` given; empty when it was not given.
  std::string Value(std::string_view longName) const;
  // Every value given for `longName`, in order.
  std::vector<std::string> Values(std::string_view longName) const;
  const std::vector<std::string>& Positional() const { return FPositional; }

 private:
  friend class TProgramOptions;
  std::vector<std::pair<std::string, std::string>> FGiven;
  std::vector<std::string> FPositional;
};

class TProgramOptions {
 public:
  // `program` is the name printed in messages and by --version; `synopsis`
  // follows it in the "Aufruf:" line; `description` is a paragraph (may be
  // several lines) printed by --help below it.
  TProgramOptions(std::string program, std::string synopsis, std::string description);

  // An option without a value. `shortName` is 0 when there is no
  // one-letter form. A `help` of several lines ("\n") is indented as one
  // block in the usage text.
  TProgramOptions& AddFlag(std::string longName, char shortName, std::string help);
  // An option with a mandatory value; `valueName` is shown in the usage text.
  TProgramOptions& AddValue(std::string longName, char shortName, std::string valueName,
                            std::string help);
  // Another "Aufruf:" line, for programs with more than one form.
  TProgramOptions& AddSynopsis(std::string synopsis);
  // A paragraph printed after the option list (exit status, examples).
  TProgramOptions& SetEpilog(std::string epilog);

  // Options are recognised only before the first positional argument; the
  // rest is taken as it stands. For programs whose callers pass arguments
  // after the positional ones that must never be read as options. By default
  // options and positional arguments may be mixed.
  TProgramOptions& StopAtFirstArgument(bool stop = true);

  // Parses argv into `parsed`. Returns nothing when the program should go on;
  // otherwise the exit status to end with at once (0 after --help or
  // --version, 2 after a usage error), having printed what it has to print.
  std::optional<int> Parse(int argc, char** argv, TParsedOptions& parsed) const;
  std::optional<int> Parse(int argc, char** argv, TParsedOptions& parsed, std::ostream& out,
                           std::ostream& err) const;

  // The full usage text that --help prints.
  std::string UsageText() const;

  // Reports a usage error the program itself found (a missing or surplus
  // argument, a value out of range): "PROGRAM: MESSAGE" and the hint to
  // --help on `err`. Returns 2, the exit status of a usage error.
  int UsageError(std::string_view message) const;
  int UsageError(std::string_view message, std::ostream& err) const;

  const std::string& Program() const { return FProgram; }

 private:
  struct TOption {
    std::string LongName;
    char ShortName = 0;
    std::string ValueName;  // empty for a flag
    std::string Help;
  };
  std::string FProgram;
  std::vector<std::string> FSynopses;
  std::string FDescription;
  std::string FEpilog;
  std::vector<TOption> FOptions;
  bool FStopAtFirstArgument = false;
};

}  // namespace dk
