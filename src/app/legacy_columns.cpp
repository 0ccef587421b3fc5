#include "app/legacy_columns.h"

#include "data/provider.h"
#include "db/util/sql_util.h"
#include "sys/text.h"

namespace dk {

std::string LegacyColumnType(TFieldType type, int size, std::string_view connectionString) {
  if (size <= 254 || !EngineTraitsOf(connectionString).EnforcesDeclaredSizes)
    return ColumnTypeText(type, size, connectionString);
  return DialectTypeName(type, std::to_string(size), connectionString);
}

std::string LegacyColumnName(std::string_view fieldName) {
  const std::string name = AnsiUpperCase(fieldName);
  return name == "NAMES" ? "MYNAMES" : name;
}

std::string ColumnNameInSql(std::string_view name, TConnection& connection) {
  return IsPlainSqlName(name) ? std::string(name) : connection.QuoteIdentifier(name);
}

std::string UnusableColumnNameReason(std::string_view name, std::string_view connectionString) {
  if (Trim(name).empty()) return "der Name ist leer";
  for (char c : name)
    if (static_cast<unsigned char>(c) < ' ') return "der Name enthält ein Steuerzeichen";
  // An engine that cuts longer names would let two columns meet under one.
  const size_t limit = EngineTraitsOf(connectionString).MaxNameBytes;
  if (limit > 0 && name.size() > limit)
    return "der Name ist länger als die " + std::to_string(limit) +
           " Bytes, die die Datenbank für einen Namen hat";
  return std::string();
}

std::string UnusableColumnNameText(std::string_view fieldName, std::string_view reason) {
  return "Das Feld \"" + std::string(fieldName) +
         "\" des alten DOCUMENT kann in der Zieldatenbank nicht als Spalte angelegt werden: " +
         std::string(reason) + ".";
}

std::string ParadoxTypeName(char letter) {
  switch (letter) {
    case 'A':
      return "Alpha";
    case 'D':
      return "Date";
    case 'S':
      return "Short";
    case 'I':
      return "Long Integer";
    case '$':
      return "Money";
    case 'N':
      return "Number";
    case 'L':
      return "Logical";
    case 'M':
      return "Memo";
    case 'B':
      return "Binary";
    case 'F':
      return "Formatted Memo";
    case 'O':
      return "OLE";
    case 'G':
      return "Graphic";
    case 'T':
      return "Time";
    case '@':
      return "Timestamp";
    case '+':
      return "Autoincrement";
    case '#':
      return "BCD";
    case 'Y':
      return "Bytes";
    default:
      return std::string("Typ ") + letter;
  }
}

}  // namespace dk
