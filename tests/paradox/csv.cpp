#include "csv.h"

namespace dk::test {

std::vector<TCsvRow> ParseCsv(std::string_view text) {
  std::vector<TCsvRow> rows;
  TCsvRow row;
  std::string field;
  size_t i = 0;
  bool fieldStarted = false;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"' && !fieldStarted) {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += text[i++];
      }
      fieldStarted = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
      fieldStarted = false;
      ++i;
    } else if (c == '\n') {
      row.push_back(std::move(field));
      field.clear();
      fieldStarted = false;
      rows.push_back(std::move(row));
      row.clear();
      ++i;
    } else {
      field += c;
      fieldStarted = true;
      ++i;
    }
  }
  if (fieldStarted || !row.empty()) {
    row.push_back(std::move(field));
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace dk::test
