// A value of one column or parameter: null, integer, float, boolean, text,
// bytes or date-time.
//
// Providers hand out values in their engine's storage form (SQLite: integer,
// float, text or bytes) and accept every kind when binding (a date-time is
// bound in the engine's date-time form). Conversions between kinds by a
// column's type belong to TField, not here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "sys/date_time.h"

namespace dk {

enum class TVarType { Null, Integer, Float, Boolean, Text, Bytes, DateTime };

class TVariant {
 public:
  TVariant() = default;
  TVariant(std::nullptr_t) {}
  TVariant(int v) : FValue(static_cast<int64_t>(v)) {}
  TVariant(long v) : FValue(static_cast<int64_t>(v)) {}
  TVariant(long long v) : FValue(static_cast<int64_t>(v)) {}
  TVariant(double v) : FValue(v) {}
  TVariant(bool v) : FValue(v) {}
  TVariant(const char* v) : FValue(std::string(v)) {}
  TVariant(std::string_view v) : FValue(std::string(v)) {}
  TVariant(std::string v) : FValue(std::move(v)) {}
  TVariant(TDateTime v) : FValue(v) {}
  // Binary data (a blob), as opposed to text.
  static TVariant Bytes(std::string bytes);

  TVarType Type() const { return static_cast<TVarType>(FValue.index()); }
  bool IsNull() const { return FValue.index() == 0; }

  // Exact accessors: the caller has checked Type().
  int64_t Integer() const { return std::get<int64_t>(FValue); }
  double Float() const { return std::get<double>(FValue); }
  bool Boolean() const { return std::get<bool>(FValue); }
  const std::string& Text() const { return std::get<std::string>(FValue); }
  const std::string& BytesData() const { return std::get<TBytesBox>(FValue).Data; }
  TDateTime DateTime() const { return std::get<TDateTime>(FValue); }

  // Reuses the text's storage (the row buffer of a forward cursor calls these
  // for every row).
  void SetNull() { FValue = std::monostate{}; }
  void SetInteger(int64_t v) { FValue = v; }
  void SetFloat(double v) { FValue = v; }
  void SetText(std::string_view v);
  void SetBytes(std::string_view v);

  // A plain text of any kind, for messages and comparisons: integers in
  // decimal, floats in the shortest form that reads back ("." as decimal
  // separator), booleans "True"/"False", date-times in the ISO form the
  // databases store (the date alone at midnight), null empty.
  std::string ToString() const;

  bool operator==(const TVariant& other) const { return FValue == other.FValue; }

 private:
  struct TBytesBox {
    std::string Data;
    bool operator==(const TBytesBox&) const = default;
  };
  std::variant<std::monostate, int64_t, double, bool, std::string, TBytesBox, TDateTime> FValue;
};

// Float to text in the shortest form that reads back to the same number, with
// "." as decimal separator ("0.1", "1E20", "15").
std::string FloatToText(double v);

}  // namespace dk
