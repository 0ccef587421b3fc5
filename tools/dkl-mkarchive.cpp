// dkl-mkarchive FILE
//
// Creates FILE as a new SQLite database holding an empty version 6 archive,
// as the product's set-up does: every archive table, the document tables by
// the system's own CREATE text (Jet dialect), and German field definitions of
// the document columns in DOCFLD. An existing FILE is never touched.
//
// Exit codes: 0 created, 1 failed (the reason on stderr), 2 wrong usage.

#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>

#include "db/util/archive_schema.h"

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]).empty()) {
    std::fprintf(stderr,
                 "Aufruf: dkl-mkarchive DATEI\n"
                 "Legt DATEI als neue SQLite-Datenbank mit einem leeren Archiv der Version 6 "
                 "an.\n");
    return 2;
  }
  std::string file = argv[1];
  struct stat st {};
  if (lstat(file.c_str(), &st) == 0) {
    std::fprintf(stderr,
                 "dkl-mkarchive: \"%s\" existiert bereits und bleibt unverändert; das Archiv "
                 "wird nur als neue Datei angelegt.\n",
                 file.c_str());
    return 1;
  }
  try {
    dk::CreateEmptyArchive(file);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dkl-mkarchive: %s\n", e.what());
    return 1;
  }
  std::printf("Leeres Archiv angelegt: %s\n", file.c_str());
  return 0;
}
