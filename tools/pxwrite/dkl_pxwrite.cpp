// dkl-pxwrite: writes a Paradox 7 table from CSV, for tests and for building
// legacy archives to convert.
//
//   dkl-pxwrite [--codepage N] [--keys N] OUT.DB [IN.csv]
//
// The first CSV row names the fields as NAME:TYPE[SIZE] (e.g. "DOCID:I",
// "TITLE:A80", "NOTE:M40", "PRICE:#2"); the values are written in the format
// dkl-pxdump prints. Without IN.csv the CSV is read from stdin. A memo or blob
// field makes an .MB beside the table. Exit status: 0 done, 1 failure, 2 usage.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "px_writer.h"
#include "sys/program_options.h"

namespace {

bool ParseNumber(const std::string& s, int& v) {
  try {
    size_t used = 0;
    v = std::stoi(s, &used);
    return used == s.size() && v >= 0;
  } catch (...) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  dk::TProgramOptions cli(
      "dkl-pxwrite", "[OPTION]... AUS.DB [EIN.csv]",
      "Schreibt eine Paradox-7-Tabelle aus CSV (ohne EIN.csv von der Standardeingabe).\n"
      "Die erste CSV-Zeile nennt die Felder als NAME:TYP[GRÖSSE], z. B. ID:I,TITEL:A80,\n"
      "NOTIZ:M40; die Werte stehen so, wie dkl-pxdump sie ausgibt. Ein Memo- oder\n"
      "Blob-Feld legt eine .MB neben die Tabelle.");
  cli.AddValue("codepage", 0, "N", "schreibt Texte in Codepage N")
      .AddValue("keys", 0, "N", "die ersten N Felder bilden den Primärschlüssel")
      .SetEpilog("Status: 0 geschrieben, 1 fehlgeschlagen, 2 falscher Aufruf.");
  dk::TParsedOptions parsed;
  if (auto status = cli.Parse(argc, argv, parsed)) return *status;
  dk::TPxWriteOptions options;
  for (const char* name : {"codepage", "keys"}) {
    if (!parsed.Has(name)) continue;
    int& target = std::string(name) == "codepage" ? options.CodePage : options.PrimaryKeyFields;
    if (!ParseNumber(parsed.Value(name), target))
      return cli.UsageError(std::string("--") + name + " verlangt eine Zahl, nicht \"" +
                            parsed.Value(name) + "\"");
  }
  const std::vector<std::string>& args = parsed.Positional();
  if (args.empty()) return cli.UsageError("AUS.DB fehlt");
  if (args.size() > 2) return cli.UsageError("zu viele Argumente: \"" + args[2] + "\"");
  try {
    int64_t rows;
    if (args.size() == 2) {
      std::ifstream in(args[1], std::ios::binary);
      if (!in) {
        std::cerr << "dkl-pxwrite: \"" << args[1] << "\" kann nicht gelesen werden\n";
        return 1;
      }
      rows = dk::WritePxTableFromCsv(args[0], in, options);
    } else {
      rows = dk::WritePxTableFromCsv(args[0], std::cin, options);
    }
    std::cerr << "dkl-pxwrite: " << rows << " Datensätze nach " << args[0] << " geschrieben\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "dkl-pxwrite: " << e.what() << '\n';
    return 1;
  }
}
