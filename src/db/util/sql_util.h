// SQL literals, filters, column types per SQL dialect and DDL texts.
//
// Every SQL text the system sends is assembled as plain text: values inline
// as literals, tables and columns created or extended with type names chosen
// per dialect. The dialect is a small code derived from the connection
// string: 0 no provider named, 1 Jet (directly or through the data shaping
// provider), 2 SQL Server (SQLOLEDB), 3 any other provider. Dialects 0 and 3
// share the generic type table.
//
// The functions keep no state except the process-wide quote character, which
// every string literal uses. It stays the apostrophe in the programs: the
// archive's engines take no other character as the delimiter of a text.
#pragma once

#include <string>
#include <string_view>

#include "data/connection.h"
#include "data/dataset.h"
#include "data/field.h"
#include "sys/date_time.h"
#include "sys/field_type.h"

namespace dk {

// The quote character of SQL string literals; the apostrophe until set.
char SqlQuoteChar();
// Sets the quote character; "\0" restores the apostrophe.
void SetSqlQuoteChar(char quote);

// The text enclosed in the quote character, every quote character inside
// doubled: O'Neil gives 'O''Neil'.
std::string SqlQuoted(std::string_view text);

// True when the field is null, its text is empty, or it is numeric with the
// integer value 0; also when there is no field or reading it fails.
bool IsFieldEmpty(const TField* field);
inline bool IsFieldEmpty(const TField& field) {
  return IsFieldEmpty(&field);
}

// Locate on one column ignoring case; false instead of a failure.
bool SafeLocate(TDataSet& dataSet, std::string_view column, const TVariant& value);

// A name SQL takes as it stands: a letter or "_", then letters, digits and
// "_", all ASCII. Other names (a legacy column "Kunden Nr") must be quoted.
bool IsPlainSqlName(std::string_view name);

// A condition on the field for a WHERE clause: for a field that accepts
// letters (not a number field) NAME LIKE 'value' when the value holds "_" or
// "%", else NAME='value'; for a number field NAME=value, unquoted. A name
// that is not plain is quoted as the field's connection quotes names.
std::string FieldFilterText(const TField& field, std::string_view value);

// The dialect code 0 to 3 of a connection string (plain substring tests on
// its lower-case form: the data shaping and Jet providers first, then
// SQLOLEDB, then any "provider=").
int DialectOf(std::string_view connectionString);

// "T" for true, "F" for false.
std::string BoolToTF(bool value);

// The quoted ISO text of a date-time ("YYYY-MM-DD HH:MM:SS", a fraction only
// when there is one, the date alone at exactly midnight): the form the
// databases store and compare. The connection does not change the text.
std::string SqlDateTime(const TConnection& connection, TDateTime value);
// " NULL" and " NOT NULL", with the leading blank, for every dialect.
std::string SqlNull(const TConnection& connection);
std::string SqlNotNull(const TConnection& connection);

// The column type of a field type code in one dialect's table; `sizeText`
// replaces n in TEXT(n) and the like. The empty text for a code without an
// entry (ftBCD, ftVarBytes, codes beyond ftVariant, ...).
std::string JetTypeName(TFieldType type, std::string_view sizeText);
std::string MsSqlTypeName(TFieldType type, std::string_view sizeText);
std::string GenericTypeName(TFieldType type, std::string_view sizeText);
// The type name of the table of the connection string's dialect.
std::string DialectTypeName(TFieldType type, std::string_view sizeText,
                            std::string_view connectionString);

// The column type for the dialect of the connection's connection string; a
// size above 254 counts as 254.
std::string ColumnTypeText(TFieldType type, int size, const TConnection& connection);
std::string ColumnTypeText(TFieldType type, int size, std::string_view connectionString);

// A column definition for CREATE TABLE: the upper-case name, a blank, the
// column type, then " NULL" or " NOT NULL". A nullable string column docno of
// size 30 on SQL Server gives DOCNO VARCHAR(30) NULL.
std::string ColumnDefText(std::string_view name, TFieldType type, int size,
                          const TConnection& connection, bool nullable);
std::string ColumnDefText(std::string_view name, TFieldType type, int size,
                          std::string_view connectionString, bool nullable);

// "ALTER TABLE " + table + " ADD " + column + " " + type, the names as passed.
std::string AlterTableAddText(std::string_view table, std::string_view column,
                              std::string_view type);

}  // namespace dk
