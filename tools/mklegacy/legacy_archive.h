// Writes a realistic version 5 archive: the Paradox tables of a legacy
// archive directory (through pxlib, an implementation independent of the
// engine that reads them) and its side files. The same generator makes the
// small bundled sample, the fixtures of the tests and the archive of the
// benchmarks; only the row counts differ.
//
// What an archive holds:
// - DOCUMENT with the standard columns under their legacy names (NUMBER,
//   NOTE as a memo, NAMES; no DOCGUID) and non-standard columns of several
//   types: KUNDE (Alpha), ABTEILUNG (Alpha), BETRAG (Currency), SEITEN
//   (Short), FAELLIG (Date), ERLEDIGT (Logical), VORGANGNR (Long), GEWICHT
//   (Number); RTFTEXT (formatted memo) too when RtfInDocument is set.
// - DOCBLOBS (DOCID, RTFTEXT as formatted memo): RTF texts with apostrophes,
//   double quotes and umlauts, most long enough for the .MB; some rows with
//   an empty text. Empty when RtfInDocument is set.
// - IDENTNO (the counters DOCID, TODOID, FTIWORDID), DOCVERS, TODO (no
//   TODOGUID), DOCPRTCL, FTIWORD, FTIWID (pairs unique, word by word) and
//   DBOPTION, with the columns the version 6 archive has under the same names.
// - All tables Paradox 7 in code page 1252, texts with umlauts.
// - Side files in Windows-1252 with CR LF: document.fld (an INI section per
//   field, NUMBER and NAMES included), document.lay (lines with ",Doc,NUMBER,",
//   ",Doc,NOTE,", ",Doc,NAMES,", one of them in lower case, one line with two
//   occurrences), reqfield.itm (lines NUMBER, NAME and KUNDE), the local pick
//   lists NAMES.itm and KUNDE.itm, and PROJECT.itm in the PARENT directory of
//   the archive, which a conversion finds only by its search for support
//   files (a global list).
//
// The content depends only on the options (seed included); the files differ
// between runs only in the bytes pxlib leaves undefined in its headers.
#pragma once

#include <cstdint>
#include <string>

namespace dk {

struct TLegacyArchiveOptions {
  int64_t Documents = 40;
  int64_t FtiWordRows = 300;
  int64_t FtiWidRows = 800;
  // Rows of the tables that follow the documents; -1: proportional to the
  // documents (versions one per two documents, to-dos one per four,
  // protocol entries two per document).
  int64_t VersionRows = -1;
  int64_t TodoRows = -1;
  int64_t ProtocolRows = -1;
  uint64_t Seed = 5;
  // RTFTEXT lives in the legacy DOCUMENT instead of DOCBLOBS.
  bool RtfInDocument = false;
  // Write the side files (document.fld, document.lay, reqfield.itm, pick
  // lists), the global pick list in the parent directory included.
  bool SideFiles = true;
};

// Row counts of what was written.
struct TLegacyArchiveCounts {
  int64_t Document = 0, DocBlobs = 0, IdentNo = 0, DocVers = 0, Todo = 0, DocPrtcl = 0, FtiWord = 0,
          FtiWid = 0, DbOption = 0;
  // DOCBLOBS (or DOCUMENT) rows whose RTFTEXT is empty.
  int64_t EmptyRtf = 0;
  int64_t Total() const {
    return Document + DocBlobs + IdentNo + DocVers + Todo + DocPrtcl + FtiWord + FtiWid + DbOption;
  }
};

// Creates the archive in `dir` (made when missing; existing tables of the
// same names are replaced). Throws std::runtime_error when a table or file
// cannot be written or the options contradict each other (more FTIWID rows
// than documents times words).
TLegacyArchiveCounts WriteLegacyArchive(const std::string& dir,
                                        const TLegacyArchiveOptions& options = {});

// The RTF text the generator writes for document `docId` (empty for the
// documents without one), as it reads back decoded to UTF-8. Tests and
// benchmarks check the converted texts against it.
std::string LegacyRtfText(uint64_t seed, int64_t docId);

}  // namespace dk
