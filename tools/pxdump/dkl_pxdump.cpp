// dkl-pxdump: inspect the Paradox tables of a legacy archive before converting.
//
//   dkl-pxdump [--codepage N] DIR          lists the tables of DIR (exit 1 when
//                                          it holds none)
//   dkl-pxdump [--codepage N] [--keep-going] DIR TABLE
//                                          writes TABLE as CSV to stdout
//
// Exit status: 0 done; 1 a failure (the message is on stderr); 2 wrong usage;
// 3 with --keep-going, when values could not be read (they are empty in the
// CSV and listed on stderr).
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "paradox/paradox_error.h"
#include "px_dump.h"
#include "sys/program_options.h"

namespace {

bool ParseCodePage(const std::string& text, int& codePage) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || !end || *end != 0 || v <= 0 || v > 65535) return false;
  codePage = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  dk::TProgramOptions cli("dkl-pxdump", "[OPTION]... VERZEICHNIS",
                          "Ohne TABELLE: listet die Paradox-Tabellen des Verzeichnisses.\n"
                          "Mit TABELLE: schreibt die Tabelle als CSV (UTF-8) auf die "
                          "Standardausgabe.");
  cli.AddSynopsis("[OPTION]... VERZEICHNIS TABELLE")
      .AddValue("codepage", 0, "N", "liest Texte in Codepage N statt der des Tabellenkopfs")
      .AddFlag("keep-going", 0, "nicht lesbare Werte leer ausgeben, melden und weitermachen")
      .SetEpilog(
          "Status: 0 fertig, 1 Fehler (auch: keine Paradox-Tabellen im Verzeichnis),\n"
          "2 falscher Aufruf, 3 mit --keep-going: Werte waren nicht lesbar.");
  dk::TParsedOptions parsed;
  if (auto status = cli.Parse(argc, argv, parsed)) return *status;
  dk::TPxDumpOptions options;
  options.KeepGoing = parsed.Has("keep-going");
  if (parsed.Has("codepage") && !ParseCodePage(parsed.Value("codepage"), options.CodePage))
    return cli.UsageError("--codepage verlangt eine Codepage-Nummer (1 bis 65535), nicht \"" +
                          parsed.Value("codepage") + "\"");
  const std::vector<std::string>& args = parsed.Positional();
  if (args.empty()) return cli.UsageError("VERZEICHNIS fehlt");
  if (args.size() > 2) return cli.UsageError("zu viele Argumente: \"" + args[2] + "\"");
  std::vector<std::string> problems;
  try {
    std::ios::sync_with_stdio(false);
    if (args.size() == 1) {
      dk::ListParadoxDirectory(args[0], options.CodePage, std::cout, problems);
      for (const auto& p : problems) std::cerr << "dkl-pxdump: " << p << '\n';
      return problems.empty() ? 0 : 1;
    }
    const int unreadable = dk::DumpParadoxTableCsv(args[0], args[1], options, std::cout, problems);
    for (const auto& p : problems) std::cerr << "dkl-pxdump: " << p << '\n';
    if (!std::cout) {
      std::cerr << "dkl-pxdump: die Ausgabe kann nicht geschrieben werden\n";
      return 1;
    }
    if (unreadable > 0) {
      std::cerr << "dkl-pxdump: " << unreadable << " Werte konnten nicht gelesen werden\n";
      return 3;
    }
    return 0;
  } catch (const dk::EParadoxError& e) {
    std::cout.flush();
    std::cerr << "dkl-pxdump: " << e.what() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "dkl-pxdump: " << e.what() << '\n';
    return 1;
  }
}
