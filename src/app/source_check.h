// The legacy tables looked at block by block before a conversion changes
// anything: a damaged table is found before the first row is written, so
// that it never turns into a silently short copy or a half-converted target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dk {

// One legacy table the Paradox engine finds damaged.
struct TSourceDamage {
  std::string Table;  // DOCUMENT, FTIWID, ...
  std::string Text;   // the file's path and what is wrong, counts included
  // False when not even a salvaged read can take rows from the table (its
  // header cannot be read, it is encrypted).
  bool Salvageable = true;
  int64_t Expected = 0;   // rows the header names
  int64_t Recovered = 0;  // rows a salvaged read returns
  int64_t Lost() const { return Expected > Recovered ? Expected - Recovered : 0; }
};

// The tables the conversion reads (DOCUMENT, DOCBLOBS, IDENTNO, DOCVERS,
// TODO, DOCPRTCL, FTIWORD, FTIWID) in `sourceDir`, each walked over its block
// headers without decoding a value (TParadoxTableFile::Inspect). A table that
// is not there is left to the stages that read it.
std::vector<TSourceDamage> FindDamagedTables(const std::string& sourceDir);

// The one line of the log for a table read salvaged: rows expected,
// recovered and lost.
std::string SalvageLogLine(const TSourceDamage& damage);
// The text that ends a conversion over damaged tables before anything is
// written; `salvage` tells whether --salvage was given (and so the tables
// named are those it cannot read either).
std::string DamagedSourceText(const std::vector<TSourceDamage>& damaged, bool salvage);
// What --check reports for a damaged table.
std::string DamageFindingText(const TSourceDamage& damage);

}  // namespace dk
