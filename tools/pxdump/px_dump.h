// What dkl-pxdump prints: the table list of a legacy directory and the CSV dump
// of one table.
//
// The CSV follows RFC 4180 in UTF-8 without BOM, every row ending with LF; a
// field is quoted only when it holds a comma, a double quote, CR or LF, and a
// row made of one empty field is written as "". The first row holds the field
// names, then one row per record in block-chain order. Values: NULL is an
// empty field; Alpha, memo and formatted memo are text in the table's code
// page; Short, Long, Autoincrement decimal; Number and Currency the shortest
// text that reads back as the same double, whole numbers with ".0", exponent
// below 1e-4 and from 1e16 on; Date YYYY-MM-DD; Time hh:mm:ss[.zzz]; Timestamp
// YYYY-MM-DD hh:mm:ss[.zzz]; Logical T or F; BCD with all its decimal places;
// Blob, OLE, Graphic and Bytes lower-case hex of every stored byte.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace dk {

struct TPxDumpOptions {
  int CodePage = 0;        // read the table in this code page instead of its header's
  bool KeepGoing = false;  // write an empty field for a value that cannot be read
};

// Writes table `table` of `dir` as CSV to `out` and returns the number of
// values that could not be read (only with KeepGoing; each is described in
// `problems`). Otherwise any failure raises EParadoxError.
int DumpParadoxTableCsv(const std::string& dir, const std::string& table,
                        const TPxDumpOptions& options, std::ostream& out,
                        std::vector<std::string>& problems);

// Writes the list of the tables of `dir` to `out`: name, file version, rows,
// fields, code page, whether a .MB belongs to it, and remarks. A table that
// cannot be read is listed with its fault and described in `problems`. A
// directory without tables writes nothing and says so in `problems`.
// Raises EParadoxError when the directory cannot be read.
void ListParadoxDirectory(const std::string& dir, int codePage, std::ostream& out,
                          std::vector<std::string>& problems);

// A CSV field as the dump writes it.
void AppendCsvField(std::string& out, std::string_view value);

}  // namespace dk
