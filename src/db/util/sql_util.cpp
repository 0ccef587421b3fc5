#include "db/util/sql_util.h"

#include <atomic>

#include "sys/text.h"

namespace dk {

namespace {

// Read by the index worker without a lock, written while the settings load.
std::atomic<char> gQuoteChar{'\''};

struct TTypeRow {
  const char* Jet;
  const char* MsSql;
  const char* Generic;
};

// One row per field type code 0 (ftUnknown) to 32 (ftVariant); "n" stands for
// the size text. Codes above 32 have no column type.
constexpr TTypeRow kTypes[] = {
    {"", "", ""},                          // ftUnknown
    {"TEXT(n)", "VARCHAR(n)", "CHAR(n)"},  // ftString
    {"SMALLINT", "SMALLINT", "SMALLINT"},  // ftSmallint
    {"INTEGER", "INT", "INTEGER"},         // ftInteger
    {"INTEGER", "INT", "INTEGER"},         // ftWord
    {"TEXT(1)", "CHAR(1)", "CHAR(1)"},     // ftBoolean
    {"FLOAT", "FLOAT", "FLOAT"},           // ftFloat
    {"MONEY", "MONEY", "DECIMAL(13,2)"},   // ftCurrency
    {"", "", ""},                          // ftBCD
    {"DATETIME", "DATETIME", "DATE"},      // ftDate
    {"DATETIME", "DATETIME", "DATE"},      // ftTime
    {"DATETIME", "DATETIME", "DATE"},      // ftDateTime
    {"", "TINYINT", ""},                   // ftBytes
    {"", "", ""},                          // ftVarBytes
    {"INTEGER", "INT", "INTEGER"},         // ftAutoInc
    {"LONGTEXT", "IMAGE", "BLOB"},         // ftBlob
    {"LONGTEXT", "TEXT", "BLOB"},          // ftMemo
    {"IMAGE", "IMAGE", "BLOB"},            // ftGraphic
    {"LONGTEXT", "TEXT", "BLOB"},          // ftFmtMemo
    {"IMAGE", "IMAGE", "BLOB"},            // ftParadoxOle
    {"", "", ""},                          // ftDBaseOle
    {"IMAGE", "IMAGE", "BLOB"},            // ftTypedBinary
    {"IMAGE", "", ""},                     // ftCursor
    {"TEXT(n)", "CHAR(n)", "CHAR(n)"},     // ftFixedChar
    {"TEXT(n)", "VARCHAR(n)", "CHAR(n)"},  // ftWideString
    {"INTEGER", "INT", "INTEGER"},         // ftLargeint
    {"IMAGE", "", ""},                     // ftADT
    {"IMAGE", "", ""},                     // ftArray
    {"IMAGE", "", ""},                     // ftReference
    {"", "", ""},                          // ftDataSet
    {"IMAGE", "IMAGE", "BLOB"},            // ftOraBlob
    {"IMAGE", "TEXT", "BLOB"},             // ftOraClob
    {"IMAGE", "", ""},                     // ftVariant
};

std::string TypeName(TFieldType type, std::string_view sizeText, const char* TTypeRow::*column) {
  int code = static_cast<int>(type);
  if (code < 0 || code >= static_cast<int>(std::size(kTypes))) return {};
  std::string name = kTypes[code].*column;
  size_t n = name.find("(n)");
  if (n != std::string::npos) name = name.substr(0, n + 1) + std::string(sizeText) + ")";
  return name;
}

bool IsNumberField(const TField& field) {
  TFieldType t = field.DataType();
  if (IsIntegerType(t) || IsFloatType(t)) return true;
  if (t != ftUnknown) return false;
  // An expression column (MAX(DOCID)) is a number when its value is one.
  try {
    TVarType k = field.RawValue().Type();
    return k == TVarType::Integer || k == TVarType::Float;
  } catch (const EDatabaseError&) {
    return false;
  }
}

}  // namespace

char SqlQuoteChar() {
  return gQuoteChar.load(std::memory_order_relaxed);
}

void SetSqlQuoteChar(char quote) {
  gQuoteChar.store(quote ? quote : '\'', std::memory_order_relaxed);
}

std::string SqlQuoted(std::string_view text) {
  char q = SqlQuoteChar();
  std::string result;
  result.reserve(text.size() + 2);
  result += q;
  for (char c : text) {
    if (c == q) result += q;
    result += c;
  }
  result += q;
  return result;
}

bool IsFieldEmpty(const TField* field) {
  if (!field) return true;
  try {
    if (field->IsNull()) return true;
    if (field->AsString().empty()) return true;
    return IsNumberField(*field) && field->AsLargeInt() == 0;
  } catch (const std::exception&) {
    return true;
  }
}

bool SafeLocate(TDataSet& dataSet, std::string_view column, const TVariant& value) {
  try {
    return dataSet.Locate(column, value, loCaseInsensitive);
  } catch (const std::exception&) {
    return false;
  }
}

bool IsPlainSqlName(std::string_view name) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (name.empty() || !(letter(name[0]) || name[0] == '_')) return false;
  for (char c : name)
    if (!(letter(c) || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

std::string FieldFilterText(const TField& field, std::string_view value) {
  // A legacy column "Kunden Nr" is named as its engine quotes names; a plain
  // name stands as it is.
  std::string name = field.FieldName();
  if (!IsPlainSqlName(name)) {
    TConnection* connection = field.DataSet().Connection();
    if (connection && connection->Connected()) name = connection->QuoteIdentifier(name);
  }
  if (IsNumberField(field)) return name + "=" + std::string(value);
  bool wildcard =
      value.find('_') != std::string_view::npos || value.find('%') != std::string_view::npos;
  return name + (wildcard ? " LIKE " : "=") + SqlQuoted(value);
}

int DialectOf(std::string_view connectionString) {
  std::string s = AsciiLower(connectionString);
  if (s.find("provider=msdatashape.1") != std::string::npos ||
      s.find("provider=microsoft.jet.oledb.") != std::string::npos)
    return 1;
  if (s.find("provider=sqloledb") != std::string::npos) return 2;
  if (s.find("provider=") != std::string::npos) return 3;
  return 0;
}

std::string BoolToTF(bool value) {
  return value ? "T" : "F";
}

std::string SqlDateTime(const TConnection&, TDateTime value) {
  return SqlQuoted(value.IsoTextDateOnlyAtMidnight());
}

std::string SqlNull(const TConnection&) {
  return " NULL";
}

std::string SqlNotNull(const TConnection&) {
  return " NOT NULL";
}

std::string JetTypeName(TFieldType type, std::string_view sizeText) {
  return TypeName(type, sizeText, &TTypeRow::Jet);
}

std::string MsSqlTypeName(TFieldType type, std::string_view sizeText) {
  return TypeName(type, sizeText, &TTypeRow::MsSql);
}

std::string GenericTypeName(TFieldType type, std::string_view sizeText) {
  return TypeName(type, sizeText, &TTypeRow::Generic);
}

std::string ColumnTypeText(TFieldType type, int size, std::string_view connectionString) {
  return DialectTypeName(type, size > 254 ? "254" : std::to_string(size), connectionString);
}

std::string DialectTypeName(TFieldType type, std::string_view sizeText,
                            std::string_view connectionString) {
  switch (DialectOf(connectionString)) {
    case 1:
      return JetTypeName(type, sizeText);
    case 2:
      return MsSqlTypeName(type, sizeText);
    default:
      return GenericTypeName(type, sizeText);
  }
}

std::string ColumnTypeText(TFieldType type, int size, const TConnection& connection) {
  return ColumnTypeText(type, size, connection.ConnectionString());
}

std::string ColumnDefText(std::string_view name, TFieldType type, int size,
                          std::string_view connectionString, bool nullable) {
  return AnsiUpperCase(name) + " " + ColumnTypeText(type, size, connectionString) +
         (nullable ? " NULL" : " NOT NULL");
}

std::string ColumnDefText(std::string_view name, TFieldType type, int size,
                          const TConnection& connection, bool nullable) {
  return AnsiUpperCase(name) + " " + ColumnTypeText(type, size, connection) +
         (nullable ? SqlNull(connection) : SqlNotNull(connection));
}

std::string AlterTableAddText(std::string_view table, std::string_view column,
                              std::string_view type) {
  return "ALTER TABLE " + std::string(table) + " ADD " + std::string(column) + " " +
         std::string(type);
}

}  // namespace dk
