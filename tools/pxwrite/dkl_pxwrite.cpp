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

namespace {

int Usage() {
  std::cerr << "usage: dkl-pxwrite [--codepage N] [--keys N] OUT.DB [IN.csv]\n"
               "  The first CSV row names the fields as NAME:TYPE[SIZE], e.g. ID:I,TITLE:A80.\n";
  return 2;
}

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
  dk::TPxWriteOptions options;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--codepage" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], options.CodePage)) return Usage();
    } else if (a == "--keys" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], options.PrimaryKeyFields)) return Usage();
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage();
    } else {
      args.push_back(a);
    }
  }
  if (args.empty() || args.size() > 2) return Usage();
  try {
    int64_t rows;
    if (args.size() == 2) {
      std::ifstream in(args[1], std::ios::binary);
      if (!in) {
        std::cerr << "dkl-pxwrite: cannot read " << args[1] << '\n';
        return 1;
      }
      rows = dk::WritePxTableFromCsv(args[0], in, options);
    } else {
      rows = dk::WritePxTableFromCsv(args[0], std::cin, options);
    }
    std::cerr << "dkl-pxwrite: " << rows << " records written to " << args[0] << '\n';
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "dkl-pxwrite: " << e.what() << '\n';
    return 1;
  }
}
