// dkl-mklegacy: writes a realistic version 5 archive (Paradox tables and side
// files) for trying out, testing and measuring the conversion.
//
//   dkl-mklegacy [options] DIR
//
//   --documents N     DOCUMENT rows (default 40)
//   --ftiword N       FTIWORD rows (default 300)
//   --ftiwid N        FTIWID rows (default 800)
//   --versions N      DOCVERS rows (default: one per two documents)
//   --todos N         TODO rows (default: one per four documents)
//   --protocol N      DOCPRTCL rows (default: two per document)
//   --big             the benchmark archive: 20000 documents, 100000 FTIWORD
//                     and 2000000 FTIWID rows (other options still apply)
//   --seed N          another content of the same shape (default 5)
//   --rtf-in-document RTFTEXT in DOCUMENT instead of DOCBLOBS
//   --no-side-files   only the tables
//
// The pick list PROJECT.itm goes into the parent directory of DIR, where a
// conversion finds it only by its search for support files. Exit status: 0
// done, 1 failure, 2 usage.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "legacy_archive.h"
#include "sys/program_options.h"

namespace {

bool ParseCount(const std::string& s, int64_t& v) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && v >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  dk::TProgramOptions cli(
      "dkl-mklegacy", "[OPTION]... VERZEICHNIS",
      "Schreibt ein Archiv der Version 5 (Paradox-Tabellen und Nebendateien) nach\n"
      "VERZEICHNIS, zum Ausprobieren, Testen und Messen der Konvertierung. Die\n"
      "globale Auswahlliste PROJECT.itm kommt in das übergeordnete Verzeichnis.");
  cli.AddValue("documents", 0, "N", "Zeilen in DOCUMENT (Vorgabe 40)")
      .AddValue("ftiword", 0, "N", "Zeilen in FTIWORD (Vorgabe 300)")
      .AddValue("ftiwid", 0, "N", "Zeilen in FTIWID (Vorgabe 800)")
      .AddValue("versions", 0, "N", "Zeilen in DOCVERS (Vorgabe: eine je zwei Dokumente)")
      .AddValue("todos", 0, "N", "Zeilen in TODO (Vorgabe: eine je vier Dokumente)")
      .AddValue("protocol", 0, "N", "Zeilen in DOCPRTCL (Vorgabe: zwei je Dokument)")
      .AddFlag("big", 0, "20000 Dokumente, 100000 FTIWORD-, 2000000 FTIWID-Zeilen")
      .AddValue("seed", 0, "N", "ein anderer Inhalt gleicher Form (Vorgabe 5)")
      .AddFlag("rtf-in-document", 0, "RTFTEXT in DOCUMENT statt in DOCBLOBS")
      .AddFlag("no-side-files", 0, "nur die Tabellen")
      .SetEpilog(
          "Ausdrücklich genannte Zahlen gehen den Größen von --big vor.\n"
          "Status: 0 geschrieben, 1 fehlgeschlagen, 2 falscher Aufruf.");
  dk::TParsedOptions parsed;
  if (auto status = cli.Parse(argc, argv, parsed)) return *status;
  dk::TLegacyArchiveOptions o;
  // --big sets the sizes first, so that explicit counts override it.
  if (parsed.Has("big")) {
    o.Documents = 20000;
    o.FtiWordRows = 100000;
    o.FtiWidRows = 2000000;
  }
  int64_t seed = -1;
  const std::pair<const char*, int64_t*> counts[] = {{"documents", &o.Documents},
                                                     {"ftiword", &o.FtiWordRows},
                                                     {"ftiwid", &o.FtiWidRows},
                                                     {"versions", &o.VersionRows},
                                                     {"todos", &o.TodoRows},
                                                     {"protocol", &o.ProtocolRows},
                                                     {"seed", &seed}};
  for (const auto& [name, target] : counts) {
    if (parsed.Has(name) && !ParseCount(parsed.Value(name), *target))
      return cli.UsageError(std::string("--") + name + " verlangt eine Zahl ab 0, nicht \"" +
                            parsed.Value(name) + "\"");
  }
  if (seed >= 0) o.Seed = static_cast<uint64_t>(seed);
  o.RtfInDocument = parsed.Has("rtf-in-document");
  o.SideFiles = !parsed.Has("no-side-files");
  if (parsed.Positional().empty()) return cli.UsageError("VERZEICHNIS fehlt");
  if (parsed.Positional().size() > 1)
    return cli.UsageError("zu viele Argumente: \"" + parsed.Positional()[1] + "\"");
  const std::string dir = parsed.Positional()[0];
  try {
    const dk::TLegacyArchiveCounts c = dk::WriteLegacyArchive(dir, o);
    std::printf(
        "dkl-mklegacy: %s\n  DOCUMENT %lld, DOCBLOBS %lld (%lld without RTF text), IDENTNO %lld,\n"
        "  DOCVERS %lld, TODO %lld, DOCPRTCL %lld, FTIWORD %lld, FTIWID %lld, DBOPTION %lld\n",
        dir.c_str(), static_cast<long long>(c.Document), static_cast<long long>(c.DocBlobs),
        static_cast<long long>(c.EmptyRtf), static_cast<long long>(c.IdentNo),
        static_cast<long long>(c.DocVers), static_cast<long long>(c.Todo),
        static_cast<long long>(c.DocPrtcl), static_cast<long long>(c.FtiWord),
        static_cast<long long>(c.FtiWid), static_cast<long long>(c.DbOption));
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "dkl-mklegacy: " << e.what() << '\n';
    return 1;
  }
}
