// The Paradox engine on damaged tables and memo files. An input is a table
// file and its memo file: four bytes (little endian) give the length of the
// table part, the table follows, the rest is the memo file (none when empty).
// Every value of every row is read, as the conversion reads them, also in the
// order of the first two fields through a sort with so little memory that it
// merges runs from its temporary file, and once more salvaged (blocks outside
// a broken chain read too); the only failure allowed is the engine's own
// error naming the file and the fault.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_files.h"
#include "paradox/paradox_error.h"
#include "paradox/query.h"

namespace {

void ReadAll(const std::string& dir, const std::string& sql, bool salvage = false) {
  dk::TParadoxQuery query;
  query.SetDatabaseName(dir);
  query.SetSQL(sql);
  query.SetSalvage(salvage);
  query.SetSortMemory(256);
  try {
    query.Open();
  } catch (const dk::EParadoxError&) {
    return;
  }
  try {
    for (; !query.Eof(); query.Next()) {
      for (int i = 0; i < query.FieldCount(); ++i) {
        const dk::TParadoxField& field = query.Fields(i);
        try {
          (void)field.IsNull();
          (void)field.Value();
          (void)field.AsString();
        } catch (const dk::EParadoxError&) {
          // One value that cannot be read; the row's others still can.
        }
      }
    }
  } catch (const dk::EParadoxError&) {
    // A damaged block ends the rows.
  }
}

// The statement ordering by the table's first two fields; empty when the
// table does not open or a name cannot stand in a statement.
std::string OrderedStatement(const std::string& dir) {
  dk::TParadoxQuery query;
  query.SetDatabaseName(dir);
  query.SetSQL("SELECT * FROM T");
  std::string fields;
  try {
    query.Open();
    for (int i = 0; i < query.FieldCount() && i < 2; ++i) {
      const std::string& name = query.Fields(i).FieldName();
      if (name.empty()) return {};
      for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return {};
      fields += (i ? ", " : "") + name;
    }
  } catch (const dk::EParadoxError&) {
    return {};
  }
  return fields.empty() ? std::string() : "SELECT * FROM T ORDER BY " + fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t tableSize = 0;
  std::memcpy(&tableSize, data, 4);
  data += 4;
  size -= 4;
  if (tableSize > size) tableSize = static_cast<uint32_t>(size);
  dk::fuzz::WriteScratch("T.DB", dk::fuzz::AsView(data, tableSize));
  if (size > tableSize)
    dk::fuzz::WriteScratch("T.MB", dk::fuzz::AsView(data + tableSize, size - tableSize));
  else
    dk::fuzz::RemoveScratch("T.MB");
  ReadAll(dk::fuzz::ScratchDir(), "SELECT * FROM T");
  ReadAll(dk::fuzz::ScratchDir(), "SELECT * FROM T", true);
  ReadAll(dk::fuzz::ScratchDir(), "select count(*) as FRECORDCOUNT from t;");
  const std::string ordered = OrderedStatement(dk::fuzz::ScratchDir());
  if (!ordered.empty()) {
    ReadAll(dk::fuzz::ScratchDir(), ordered);
    ReadAll(dk::fuzz::ScratchDir(), ordered, true);
  }
  return 0;
}
