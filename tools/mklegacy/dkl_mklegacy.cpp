// dkl-mklegacy: writes a realistic version 5 archive (Paradox tables and side
// files) for trying out, testing and measuring the conversion.
//
//   dkl-mklegacy DIR [options]
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

namespace {

int Usage(bool asked = false) {
  (asked ? std::cout : std::cerr)
      << "usage: dkl-mklegacy DIR [options]\n"
         "  --documents N      DOCUMENT rows (default 40)\n"
         "  --ftiword N        FTIWORD rows (default 300)\n"
         "  --ftiwid N         FTIWID rows (default 800)\n"
         "  --versions N       DOCVERS rows (default: one per two documents)\n"
         "  --todos N          TODO rows (default: one per four documents)\n"
         "  --protocol N       DOCPRTCL rows (default: two per document)\n"
         "  --big              20000 documents, 100000 FTIWORD, 2000000 FTIWID rows\n"
         "  --seed N           another content of the same shape (default 5)\n"
         "  --rtf-in-document  RTFTEXT in DOCUMENT instead of DOCBLOBS\n"
         "  --no-side-files    only the tables\n"
         "PROJECT.itm, a global pick list, goes into the parent directory of DIR.\n";
  return asked ? 0 : 2;
}

bool ParseCount(const std::string& s, int64_t& v) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && v >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  dk::TLegacyArchiveOptions o;
  std::vector<std::string> args(argv + 1, argv + argc);
  // --big sets the sizes first, so that explicit counts override it.
  for (const std::string& a : args)
    if (a == "--big") {
      o.Documents = 20000;
      o.FtiWordRows = 100000;
      o.FtiWidRows = 2000000;
    }
  std::string dir;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto count = [&](int64_t& target) {
      return i + 1 < args.size() && ParseCount(args[++i], target);
    };
    int64_t seed = 0;
    if (a == "--documents") {
      if (!count(o.Documents)) return Usage();
    } else if (a == "--ftiword") {
      if (!count(o.FtiWordRows)) return Usage();
    } else if (a == "--ftiwid") {
      if (!count(o.FtiWidRows)) return Usage();
    } else if (a == "--versions") {
      if (!count(o.VersionRows)) return Usage();
    } else if (a == "--todos") {
      if (!count(o.TodoRows)) return Usage();
    } else if (a == "--protocol") {
      if (!count(o.ProtocolRows)) return Usage();
    } else if (a == "--seed") {
      if (!count(seed)) return Usage();
      o.Seed = static_cast<uint64_t>(seed);
    } else if (a == "--big") {
    } else if (a == "--help" || a == "-h") {
      return Usage(true);
    } else if (a == "--rtf-in-document") {
      o.RtfInDocument = true;
    } else if (a == "--no-side-files") {
      o.SideFiles = false;
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else if (dir.empty()) {
      dir = a;
    } else {
      return Usage();
    }
  }
  if (dir.empty()) return Usage();
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
