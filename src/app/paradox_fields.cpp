#include "app/paradox_fields.h"

#include <exception>

namespace dk {

void AssignFieldValue(TField& target, const TParadoxField& source) {
  switch (source.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
      // The index tables are all integers: they skip the general value.
      if (source.IsNull())
        target.Clear();
      else
        target.SetAsInteger(source.AsLargeInt());
      return;
    case ftBlob:
      // A Blob holding text (an RTF text) into a text column: decoded like a
      // memo, never as raw legacy bytes inside the column's UTF-8 text.
      if (IsTextType(target.DataType())) {
        if (source.IsNull())
          target.Clear();
        else
          target.SetAsString(source.AsText());
        return;
      }
      target.SetAsVariant(source.Value());
      return;
    default:
      target.SetAsVariant(source.Value());
  }
}

bool IsFieldEmpty(const TParadoxField* field) {
  if (!field) return true;
  try {
    if (field->IsNull()) return true;
    if (field->AsString().empty()) return true;
    switch (field->DataType()) {
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftAutoInc:
      case ftLargeint:
      case ftFloat:
      case ftCurrency:
      case ftBCD:
        return field->AsLargeInt() == 0;
      default:
        return false;
    }
  } catch (const std::exception&) {
    return true;
  }
}

}  // namespace dk
