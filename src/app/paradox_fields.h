// The legacy query's fields as the conversion writes them into the target
// (their values are the system's values already: TParadoxField::Value), and
// the emptiness test of the SQL helpers for them.
#pragma once

#include "data/field.h"
#include "paradox/query.h"

namespace dk {

// Writes the legacy field's value into a target field, converted by the
// target's type (the record copy finds this overload by its argument types);
// a Blob into a text column is decoded from the table's code page (AsText).
// Raises when the value cannot be read or does not fit the target column.
void AssignFieldValue(TField& target, const TParadoxField& source);

// True when the field is missing, null, its text empty or it is a number
// whose integer value is 0; also when reading it fails.
bool IsFieldEmpty(const TParadoxField* field);

}  // namespace dk
