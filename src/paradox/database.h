// A directory of Paradox tables, the "database" of the Paradox engine.
//
// Table T is the file T.DB in the directory, the name matched ignoring case
// (legacy archives come from Windows, where "Document.db" and "DOCUMENT.DB"
// are the same file); its memo and blob file is T.MB, matched the same way.
// Index files (.PX, .Xnn, .Ynn) are never needed.
#pragma once

#include <string>
#include <vector>

namespace dk {

struct TParadoxTableEntry {
  std::string Name;    // the file name without ".DB", as it is spelt on disk
  std::string DbPath;  // full path of the .DB file
  std::string MbPath;  // full path of the .MB file, empty when there is none
};

// The tables of `dir`, sorted by name ignoring case. Raises EParadoxError when
// the directory cannot be read.
std::vector<TParadoxTableEntry> ListParadoxTables(const std::string& dir);

// Finds table `name` (without ".DB") in `dir`. Raises EParadoxError when the
// directory cannot be read, when there is no such table, or when several files
// differ from the name only in case and none matches it exactly.
TParadoxTableEntry FindParadoxTable(const std::string& dir, const std::string& name);

}  // namespace dk
