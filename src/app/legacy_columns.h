// How the conversion names and types the legacy DOCUMENT columns it adds to
// the target. The run and --check share these rules, so that the check finds
// exactly the columns the run would fail on.
#pragma once

#include <string>
#include <string_view>

#include "data/connection.h"
#include "sys/field_type.h"

namespace dk {

// The column type of a legacy column in the target of `connectionString`:
// ColumnTypeText of the dialect, except that on an engine that enforces the
// declared size of a text column (a server) the legacy length is kept where
// the dialect caps it at 254, so that every value of an Alpha 255 field
// fits. The empty text for a type the dialect has no column type for.
std::string LegacyColumnType(TFieldType type, int size, std::string_view connectionString);

// The name of the target column of a legacy field: the upper-case field
// name, NAMES becoming MYNAMES.
std::string LegacyColumnName(std::string_view fieldName);

// The column name as it goes into the ALTER text: a plain name
// (IsPlainSqlName) as it stands, any other quoted as the connection's engine
// quotes names.
std::string ColumnNameInSql(std::string_view name, TConnection& connection);

// Why the target of `connectionString` cannot hold a column of this name at
// all, or "" when it can.
std::string UnusableColumnNameReason(std::string_view name, std::string_view connectionString);

// The message of a legacy field whose name the target cannot take.
std::string UnusableColumnNameText(std::string_view fieldName, std::string_view reason);

// The Paradox type of a legacy field for messages ("Alpha", "BCD", ...).
std::string ParadoxTypeName(char letter);

}  // namespace dk
