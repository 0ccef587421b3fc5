// dkl-mkarchive [OPTION]... FILE
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
#include "sys/program_options.h"

int main(int argc, char** argv) {
  dk::TProgramOptions cli("dkl-mkarchive", "[OPTION]... DATEI",
                          "Legt DATEI als neue SQLite-Datenbank mit einem leeren Archiv der "
                          "Version 6 an.\nEine vorhandene DATEI bleibt unverändert.");
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
