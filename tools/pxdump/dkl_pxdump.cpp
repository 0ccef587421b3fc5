// dkl-pxdump: inspect the Paradox tables of a legacy archive before converting.
//
//   dkl-pxdump [--codepage N] DIR          lists the tables of DIR
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

namespace {

int Usage() {
  std::cerr << "Aufruf: dkl-pxdump [--codepage N] VERZEICHNIS\n"
               "        dkl-pxdump [--codepage N] [--keep-going] VERZEICHNIS TABELLE\n"
               "Ohne TABELLE: listet die Paradox-Tabellen des Verzeichnisses.\n"
               "Mit TABELLE: schreibt die Tabelle als CSV (UTF-8) auf die Standardausgabe.\n"
               "  --codepage N   liest Texte in Codepage N statt der des Tabellenkopfs\n"
               "  --keep-going   nicht lesbare Werte leer ausgeben, melden und weitermachen\n";
  return 2;
}

bool ParseCodePage(const char* text, int& codePage) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!end || *end != 0 || v <= 0 || v > 65535) return false;
  codePage = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  dk::TPxDumpOptions options;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--codepage" && i + 1 < argc) {
      if (!ParseCodePage(argv[++i], options.CodePage)) return Usage();
    } else if (a.rfind("--codepage=", 0) == 0) {
      if (!ParseCodePage(argv[i] + 11, options.CodePage)) return Usage();
    } else if (a == "--keep-going") {
      options.KeepGoing = true;
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage();
    } else {
      args.push_back(a);
    }
  }
  if (args.empty() || args.size() > 2) return Usage();
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
