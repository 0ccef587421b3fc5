// dkl-mkarchive [OPTION]... FILE
//
// Creates FILE as a new SQLite database holding an empty version 6 archive,
// as the product's set-up does: every archive table, the document tables by
// the system's own CREATE text (Jet dialect), and German field definitions of
// the document columns in DOCFLD. An existing FILE is never touched.
//
// A connection settings file (FILE.dkcs) names a database on a server
// instead: that database is created there, in the generic dialect, and must
// not exist yet. The settings file itself is only read.
//
// Exit codes: 0 created, 1 failed (the reason on stderr), 2 wrong usage.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "db/database.h"
#include "db/util/archive_schema.h"
#include "sys/program_options.h"

int main(int argc, char** argv) {
  dk::TProgramOptions cli("dkl-mkarchive", "[OPTION]... DATEI",
                          "Legt DATEI als neue SQLite-Datenbank mit einem leeren Archiv der "
                          "Version 6 an.\nEine vorhandene DATEI bleibt unverändert.\n\n"
                          "Ist DATEI eine Verbindungsdatei (.dkcs), wird die Datenbank, die ihre\n"
                          "Verbindungszeichenfolge nennt, auf dem Datenbankserver angelegt.");
  cli.SetEpilog(
      "Status: 0 angelegt, 1 fehlgeschlagen (Grund auf der Standardfehlerausgabe),\n"
      "2 falscher Aufruf.");
  dk::TParsedOptions parsed;
  if (auto status = cli.Parse(argc, argv, parsed)) return *status;
  if (parsed.Positional().empty() || parsed.Positional()[0].empty())
    return cli.UsageError("DATEI fehlt");
  if (parsed.Positional().size() > 1)
    return cli.UsageError("zu viele Argumente: \"" + parsed.Positional()[1] + "\"");
  const std::string file = parsed.Positional()[0];
  if (dk::IsConnectionFileName(file)) {
    if (access(file.c_str(), R_OK) != 0) {
      std::fprintf(stderr, "dkl-mkarchive: Die Verbindungsdatei \"%s\" ist nicht lesbar: %s\n",
                   file.c_str(), std::strerror(errno));
      return 1;
    }
    try {
      dk::CreateEmptyServerArchive(file);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "dkl-mkarchive: %s\n", e.what());
      return 1;
    }
    std::printf("Leeres Archiv auf dem Datenbankserver angelegt: %s\n", file.c_str());
    return 0;
  }
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
