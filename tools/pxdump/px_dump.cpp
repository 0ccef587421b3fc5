#include "px_dump.h"

#include <algorithm>
#include <iomanip>
#include <memory>
#include <sstream>

#include "paradox/database.h"
#include "paradox/query.h"
#include "paradox/table_file.h"
#include "paradox/values.h"
#include "sys/text.h"

namespace dk {

void AppendCsvField(std::string& out, std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += value;
    return;
  }
  out += '"';
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

namespace {

void AppendHex(std::string& out, const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  out.reserve(out.size() + bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
}

void AppendValue(std::string& out, const TParadoxField& field, uint8_t code) {
  if (field.IsNull()) return;
  switch (code) {
    case pxNumber:
    case pxCurrency:
      out += PxFormatFloatRepr(field.AsFloat());
      return;
    case pxBlob:
    case pxOle:
    case pxGraphic:
    case pxBytes:
      AppendHex(out, field.AsBytes());
      return;
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo:
    case pxShort:
    case pxLong:
    case pxAutoInc:
    case pxDate:
    case pxTime:
    case pxTimestamp:
    case pxLogical:
    case pxBcd:
      AppendCsvField(out, field.AsString());
      return;
    default:
      AppendHex(out, field.AsBytes());
      return;
  }
}

void EndRow(std::string& row, int fields, bool allEmpty) {
  if (fields == 1 && allEmpty) row += "\"\"";
  row += '\n';
}

}  // namespace

int DumpParadoxTableCsv(const std::string& dir, const std::string& table,
                        const TPxDumpOptions& options, std::ostream& out,
                        std::vector<std::string>& problems) {
  TParadoxQuery q;
  q.SetDatabaseName(dir);
  q.SetSQL("SELECT * FROM " + table);
  if (options.CodePage > 0) {
    std::string name = table;
    if (name.size() > 3 && AsciiUpper(name.substr(name.size() - 3)) == ".DB")
      name.resize(name.size() - 3);
    q.SetTableCodePage(name, options.CodePage);
  }
  q.Open();
  for (const auto& w : q.Warnings()) problems.push_back(w);
  const int n = q.FieldCount();
  std::vector<uint8_t> codes;
  for (const auto& def : q.TableFile()->Fields()) codes.push_back(def.Code);

  std::string row;
  bool allEmpty = true;
  for (int i = 0; i < n; ++i) {
    if (i > 0) row += ',';
    AppendCsvField(row, q.Fields(i).FieldName());
    allEmpty = allEmpty && q.Fields(i).FieldName().empty();
  }
  EndRow(row, n, allEmpty);

  int unreadable = 0;
  std::string buffer = std::move(row);
  for (; !q.Eof(); q.Next()) {
    const size_t rowStart = buffer.size();
    for (int i = 0; i < n; ++i) {
      if (i > 0) buffer += ',';
      const size_t valueStart = buffer.size();
      try {
        AppendValue(buffer, q.Fields(i), codes[static_cast<size_t>(i)]);
      } catch (const EParadoxError& e) {
        if (!options.KeepGoing) throw;
        buffer.resize(valueStart);
        ++unreadable;
        problems.push_back("Zeile " + std::to_string(q.RecNo()) + ": " + e.what());
      }
    }
    EndRow(buffer, n, buffer.size() == rowStart);
    if (buffer.size() >= (1u << 16)) {
      out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      buffer.clear();
    }
  }
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  out.flush();
  return unreadable;
}

void ListParadoxDirectory(const std::string& dir, int codePage, std::ostream& out,
                          std::vector<std::string>& problems) {
  struct TLine {
    std::string Cells[7];
  };
  std::vector<TLine> lines;
  lines.push_back({{"Tabelle", "Version", "Zeilen", "Felder", "Codepage", "MB", "Hinweis"}});
  bool cpFootnote = false;
  const std::vector<TParadoxTableEntry> entries = ListParadoxTables(dir);
  if (entries.empty()) {
    // A header line alone would read as "an archive with no rows" to a script.
    problems.push_back("im Verzeichnis \"" + dir +
                       "\" gibt es keine Paradox-Tabellen (keine Datei *.DB)");
    return;
  }
  for (const TParadoxTableEntry& entry : entries) {
    TLine line;
    line.Cells[0] = entry.Name;
    line.Cells[5] = entry.MbPath.empty() ? "nein" : "ja";
    try {
      TParadoxTableFile table(entry.DbPath, codePage);
      const TPxHeader& h = table.Header();
      line.Cells[1] = table.VersionText();
      line.Cells[3] = std::to_string(h.NumFields);
      line.Cells[4] = std::to_string(table.CodePage());
      if (codePage <= 0 && h.HeaderCodePage == 0) {
        line.Cells[4] += '*';
        cpFootnote = true;
      }
      std::string remarks = h.FileType == 0 ? "mit Schlüssel" : "";
      if (h.Encrypted) {
        line.Cells[2] = std::to_string(h.NumRecords);
        remarks += std::string(remarks.empty() ? "" : ", ") +
                   "verschlüsselt (wird nicht gelesen; Zeilen laut Tabellenkopf)";
      } else {
        const uint64_t count = table.CountRecords();
        line.Cells[2] = std::to_string(count);
        if (count != h.NumRecords)
          remarks += std::string(remarks.empty() ? "" : ", ") + "Tabellenkopf nennt " +
                     std::to_string(h.NumRecords) + " Zeilen";
      }
      line.Cells[6] = remarks;
    } catch (const EParadoxError& e) {
      line.Cells[6] = "FEHLER";
      problems.push_back(e.what());
    }
    lines.push_back(line);
  }
  size_t width[7] = {};
  for (const auto& l : lines)
    for (int c = 0; c < 7; ++c) width[c] = std::max(width[c], l.Cells[c].size());
  for (const auto& l : lines) {
    std::string text;
    for (int c = 0; c < 7; ++c) {
      const std::string& cell = l.Cells[c];
      const bool right = c == 2 || c == 3;
      const size_t pad = width[c] - cell.size();
      if (right) text.append(pad, ' ');
      text += cell;
      if (c < 6 && !right) text.append(pad, ' ');
      if (c < 6) text += "  ";
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  }
  if (cpFootnote)
    out << "* keine Codepage im Tabellenkopf: gelesen als 437 (Paradox 3.x) bzw. 1252\n";
  out.flush();
}

}  // namespace dk
