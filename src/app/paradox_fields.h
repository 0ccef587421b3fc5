// The legacy query's fields as the conversion writes them into the target:
// their values as the data access layer's values, and the emptiness test of
// the SQL helpers for them.
#pragma once

#include "data/field.h"
#include "data/variant.h"
#include "paradox/query.h"

namespace dk {

// The field's value as a value of the data access layer: NULL as null,
// Logical as a Boolean, Short, Long and Autoincrement as integers, Number,
// Currency and BCD as floats, Date, Time and Timestamp as date-times (a Time
// on day 0), Alpha and the memo kinds as text, Blob, OLE, Graphic, Bytes and
// unknown types as bytes. Raises EParadoxError when the value cannot be read
// (a memo whose .MB is damaged).
TVariant ParadoxFieldValue(const TParadoxField& field);

// Writes the legacy field's value into a target field, converted by the
// target's type (the record copy finds this overload by its argument types);
// a Blob into a text column is decoded from the table's code page (AsText).
// Raises when the value cannot be read or does not fit the target column.
void AssignFieldValue(TField& target, const TParadoxField& source);

// True when the field is missing, null, its text empty or it is a number
// whose integer value is 0; also when reading it fails.
bool IsFieldEmpty(const TParadoxField* field);

}  // namespace dk
