#include "app/paradox_fields.h"

#include <exception>
#include <type_traits>
#include <variant>

#include "data/date_time.h"

namespace dk {

TVariant ParadoxFieldValue(const TParadoxField& field) {
  return std::visit(
      [](auto&& v) -> TVariant {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return TVariant();
        } else if constexpr (std::is_same_v<V, bool> || std::is_same_v<V, double>) {
          return TVariant(v);
        } else if constexpr (std::is_same_v<V, int64_t>) {
          return TVariant(static_cast<long long>(v));
        } else if constexpr (std::is_same_v<V, TPxDateTime>) {
          return TVariant(TDateTime::FromDays(v.Value));
        } else if constexpr (std::is_same_v<V, std::string>) {
          return TVariant(std::move(v));
        } else {
          return TVariant::Bytes(std::string(v.begin(), v.end()));
        }
      },
      field.Value());
}

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
      target.SetAsVariant(ParadoxFieldValue(source));
      return;
    default:
      target.SetAsVariant(ParadoxFieldValue(source));
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
