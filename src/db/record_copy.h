// Copying one record's values into another dataset's current row, by column
// name.
//
// The source may be any dataset that offers FieldCount, Fields(i) and, for
// each field, FieldName: a dataset of this layer or the read-only legacy
// query. How a source field's value is written into a target field is the
// overload AssignFieldValue(TField& target, const SourceField& source), found
// by argument-dependent lookup; the overload for the layer's own fields is
// below, the one for the legacy query's fields lives with the conversion
// tool, which is the only code that knows both sides.
//
//   target.Append();
//   CopyRecordFields(source, target);   // every column of the same name
//   target.Post();
//
// The rules a caller relies on:
// - Columns are taken in the source's select order; a source column without
//   a target column of the same name (ignoring case) is dropped silently, and
//   target columns without a namesake keep their defaults.
// - A target column of type ftAutoInc is never written: the engine numbers it.
// - A value that cannot be read or does not fit the target column (text in an
//   integer column, a number out of its column's range) leaves that column
//   alone, appends "Fieldvalue from "NAME" could not be read." with the target
//   column's name to the error log, and the copy goes on with the next column.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "data/dataset.h"
#include "data/field.h"
#include "settings/error_log.h"
#include "sys/field_type.h"

namespace dk {

// Null included, converted by the target's type.
inline void AssignFieldValue(TField& target, const TField& source) {
  target.Assign(source);
}

// The target field of each source column, or nullptr where the column is not
// written; worked out once for a pair of open datasets, so that a table copy
// does not look every column up again for every row. Valid while both
// datasets stay open on the same statements.
class TRecordCopyMap {
 public:
  template <class TSourceDataSet>
  TRecordCopyMap(const TSourceDataSet& source, const TDataSet& target) {
    const int count = source.FieldCount();
    FTargets.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      TField* field = target.FindField(source.Fields(i).FieldName());
      FTargets.push_back(field && field->DataType() != ftAutoInc ? field : nullptr);
    }
  }

  int Count() const { return static_cast<int>(FTargets.size()); }
  TField* Target(int sourceIndex) const { return FTargets[static_cast<size_t>(sourceIndex)]; }

 private:
  std::vector<TField*> FTargets;
};

// Copies the current source record into the current target record (which
// must be in insert or edit state) along a map made for these two datasets.
// `onFailure(TField& target, const std::exception& cause)` is called for each
// column left alone, after its error log line, so that a caller can report
// the cause (a copy names a damaged memo file once, not once per row).
template <class TSourceDataSet, class TOnFailure>
void CopyRecordFields(const TSourceDataSet& source, const TRecordCopyMap& map,
                      TOnFailure&& onFailure) {
  const int count = map.Count();
  for (int i = 0; i < count; ++i) {
    TField* target = map.Target(i);
    if (!target) continue;
    try {
      AssignFieldValue(*target, source.Fields(i));
    } catch (const std::exception& e) {
      WriteErrorLog("Fieldvalue from \"" + target->FieldName() + "\" could not be read.");
      onFailure(*target, e);
    }
  }
}

template <class TSourceDataSet>
void CopyRecordFields(const TSourceDataSet& source, const TRecordCopyMap& map) {
  CopyRecordFields(source, map, [](TField&, const std::exception&) {});
}

// Copies the current source record into the current target record by column
// name (see the rules at the top).
template <class TSourceDataSet>
void CopyRecordFields(const TSourceDataSet& source, TDataSet& target) {
  CopyRecordFields(source, TRecordCopyMap(source, target));
}

}  // namespace dk
