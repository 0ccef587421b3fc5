// A reader of the dump's CSV (RFC 4180), for comparing dumps field by field.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dk::test {

using TCsvRow = std::vector<std::string>;

// Splits CSV text into rows of fields; quoted fields may hold commas, quotes
// (doubled) and line breaks.
std::vector<TCsvRow> ParseCsv(std::string_view text);

}  // namespace dk::test
