#include "data/field.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>

#include "data/connection.h"
#include "data/dataset.h"
#include "data/errors.h"
#include "data/provider.h"
#include "sys/number_text.h"
#include "sys/text.h"

namespace dk {

namespace {

std::string Q(std::string_view s) {
  return "'" + std::string(s) + "'";
}

[[noreturn]] void NotValid(std::string_view value, const char* what, std::string_view name) {
  throw EDatabaseError(Q(value) + " is not a valid " + what + " for field " + Q(name));
}

bool TextIsTrue(std::string_view s) {
  return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
}

const char* KindName(TVarType t) {
  switch (t) {
    case TVarType::Bytes:
      return "binary";
    case TVarType::DateTime:
      return "date-time";
    default:
      return "this";
  }
}

// Date part or time part only, for the date and time column types.
TDateTime ForDateType(TFieldType type, TDateTime v) {
  int64_t ms = v.Milliseconds();
  int64_t day = 86400000;
  int64_t days = ms >= 0 ? ms / day : -((-ms + day - 1) / day);
  if (type == ftDate) return TDateTime::FromMilliseconds(days * day);
  if (type == ftTime) return TDateTime::FromMilliseconds(ms - days * day);
  return v;
}

void RangeCheck(TFieldType type, int64_t v, std::string_view name) {
  int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
  if (type == ftSmallint) {
    lo = -32768;
    hi = 32767;
  } else if (type == ftWord) {
    lo = 0;
    hi = 65535;
  }
  if (v < lo || v > hi)
    throw EDatabaseError(std::to_string(v) + " is not a valid value for field " + Q(name) +
                         ". The allowed range is " + std::to_string(lo) + " to " +
                         std::to_string(hi));
}

}  // namespace

bool IsTextType(TFieldType t) {
  return t == ftString || t == ftFixedChar || t == ftWideString || t == ftMemo || t == ftFmtMemo ||
         t == ftGuid || t == ftOraClob;
}

bool IsIntegerType(TFieldType t) {
  return t == ftSmallint || t == ftInteger || t == ftWord || t == ftAutoInc || t == ftLargeint;
}

bool IsFloatType(TFieldType t) {
  return t == ftFloat || t == ftCurrency || t == ftBCD || t == ftFMTBcd;
}

bool IsDateTimeType(TFieldType t) {
  return t == ftDate || t == ftTime || t == ftDateTime || t == ftTimeStamp;
}

bool IsBlobType(TFieldType t) {
  return t == ftBlob || t == ftGraphic || t == ftParadoxOle || t == ftDBaseOle ||
         t == ftTypedBinary || t == ftBytes || t == ftVarBytes || t == ftOraBlob;
}

std::string ValueAsString(TFieldType type, const TVariant& raw) {
  switch (raw.Type()) {
    case TVarType::Null:
      return {};
    case TVarType::Integer:
      if (type == ftBoolean) return raw.Integer() != 0 ? "True" : "False";
      return std::to_string(raw.Integer());
    case TVarType::Boolean:
      if (IsTextType(type)) return raw.Boolean() ? "T" : "F";
      return raw.Boolean() ? "True" : "False";
    default:
      return raw.ToString();
  }
}

int64_t ValueAsLargeInt(TFieldType, const TVariant& raw, std::string_view name) {
  switch (raw.Type()) {
    case TVarType::Null:
      return 0;
    case TVarType::Integer:
      return raw.Integer();
    case TVarType::Float: {
      double d = std::nearbyint(raw.Float());
      if (!std::isfinite(d) || std::fabs(d) >= 9.2e18)
        NotValid(raw.ToString(), "integer value", name);
      return static_cast<int64_t>(d);
    }
    case TVarType::Boolean:
      return raw.Boolean() ? 1 : 0;
    case TVarType::Text: {
      if (Trim(raw.Text()).empty()) return 0;
      auto v = ParseInteger(raw.Text());
      if (!v) NotValid(raw.Text(), "integer value", name);
      return *v;
    }
    case TVarType::DateTime:
    case TVarType::Bytes:
      break;
  }
  throw EDatabaseError("Field " + Q(name) + " holds a " + KindName(raw.Type()) +
                       " value that cannot be read as an integer");
}

double ValueAsFloat(TFieldType, const TVariant& raw, std::string_view name) {
  switch (raw.Type()) {
    case TVarType::Null:
      return 0;
    case TVarType::Integer:
      return static_cast<double>(raw.Integer());
    case TVarType::Float:
      return raw.Float();
    case TVarType::Boolean:
      return raw.Boolean() ? 1 : 0;
    case TVarType::Text: {
      if (Trim(raw.Text()).empty()) return 0;
      auto v = ParseFloat(raw.Text(), TDecimalComma::Accepted);
      if (!v) NotValid(raw.Text(), "floating point value", name);
      return *v;
    }
    case TVarType::DateTime:
      return raw.DateTime().Days();
    case TVarType::Bytes:
      break;
  }
  throw EDatabaseError("Field " + Q(name) +
                       " holds a binary value that cannot be read as a number");
}

bool ValueAsBoolean(TFieldType, const TVariant& raw) {
  switch (raw.Type()) {
    case TVarType::Integer:
      return raw.Integer() != 0;
    case TVarType::Float:
      return raw.Float() != 0;
    case TVarType::Boolean:
      return raw.Boolean();
    case TVarType::Text:
      return TextIsTrue(raw.Text());
    default:
      return false;
  }
}

TDateTime ValueAsDateTime(TFieldType type, const TVariant& raw, std::string_view name) {
  switch (raw.Type()) {
    case TVarType::Null:
      return TDateTime();
    case TVarType::DateTime:
      return raw.DateTime();
    case TVarType::Integer:
      return TDateTime::FromDays(static_cast<double>(raw.Integer()));
    case TVarType::Float:
      return TDateTime::FromDays(raw.Float());
    case TVarType::Text: {
      auto v = TDateTime::Parse(raw.Text());
      if (!v) NotValid(raw.Text(), "date and time", name);
      return ForDateType(type, *v);
    }
    default:
      break;
  }
  throw EDatabaseError("Field " + Q(name) +
                       " holds a value that cannot be read as a date and time");
}

TVariant ValueAsVariant(TFieldType type, const TVariant& raw) {
  if (raw.IsNull()) return raw;
  try {
    if (IsTextType(type)) return TVariant(ValueAsString(type, raw));
    if (IsIntegerType(type)) return TVariant(ValueAsLargeInt(type, raw, {}));
    if (IsFloatType(type)) return TVariant(ValueAsFloat(type, raw, {}));
    if (type == ftBoolean) {
      if (raw.Type() == TVarType::Text) {
        const std::string& t = raw.Text();
        if (t.empty() || !(TextIsTrue(t) || t[0] == 'F' || t[0] == 'f' || t[0] == 'N' ||
                           t[0] == 'n' || t == "0" || t == "1"))
          return raw;
        return TVariant(TextIsTrue(t) || t == "1");
      }
      return TVariant(ValueAsBoolean(type, raw));
    }
    if (IsDateTimeType(type)) return TVariant(ValueAsDateTime(type, raw, {}));
    if (IsBlobType(type)) {
      if (raw.Type() == TVarType::Bytes) return raw;
      return TVariant::Bytes(raw.ToString());
    }
  } catch (const EDatabaseError&) {
    // A value the column's type cannot read (SQLite stores any value in any
    // column) comes back as stored.
  }
  return raw;
}

namespace {

// The conversions of ValueForColumn, one per kind of column.

TVariant ForTextColumn(const TVariant& value) {
  std::string text;
  switch (value.Type()) {
    case TVarType::Boolean:
      text = value.Boolean() ? "T" : "F";
      break;
    case TVarType::Bytes:
      // Binary data (a legacy blob copied into a memo column, which the Jet
      // type table makes of ftBlob) keeps its bytes; only UTF-8 becomes text.
      if (!IsValidUtf8(value.BytesData())) return value;
      text = value.BytesData();
      break;
    default:
      text = value.ToString();
  }
  // The declared size is the engine's business: SQLite keeps the whole
  // text in any TEXT(n), and an engine that enforces sizes refuses the row.
  // A text cut here would be lost without a word (a 255-character Paradox
  // Alpha value arrives in a column the dialect caps at 254).
  return TVariant(std::move(text));
}

TVariant ForIntegerColumn(TFieldType type, const TVariant& value, std::string_view name) {
  int64_t v;
  switch (value.Type()) {
    case TVarType::Text: {
      if (Trim(value.Text()).empty()) return TVariant();
      auto parsed = ParseInteger(value.Text());
      if (!parsed) NotValid(value.Text(), "integer value", name);
      v = *parsed;
      break;
    }
    case TVarType::Float: {
      double d = value.Float();
      if (!std::isfinite(d) || std::fabs(d) >= 9.2e18)
        NotValid(value.ToString(), "integer value", name);
      v = static_cast<int64_t>(std::nearbyint(d));
      break;
    }
    case TVarType::Integer:
      v = value.Integer();
      break;
    case TVarType::Boolean:
      v = value.Boolean() ? 1 : 0;
      break;
    default:
      throw EDatabaseError("A " + std::string(KindName(value.Type())) +
                           " value cannot be assigned to the integer field " + Q(name));
  }
  RangeCheck(type, v, name);
  return TVariant(v);
}

TVariant ForFloatColumn(TFieldType type, const TVariant& value, std::string_view name) {
  double v;
  switch (value.Type()) {
    case TVarType::Text: {
      if (Trim(value.Text()).empty()) return TVariant();
      auto parsed = ParseFloat(value.Text(), TDecimalComma::Accepted);
      if (!parsed) NotValid(value.Text(), "floating point value", name);
      v = *parsed;
      break;
    }
    case TVarType::Integer:
      v = static_cast<double>(value.Integer());
      break;
    case TVarType::Float:
      v = value.Float();
      break;
    case TVarType::Boolean:
      v = value.Boolean() ? 1 : 0;
      break;
    case TVarType::DateTime:
      v = value.DateTime().Days();
      break;
    default:
      throw EDatabaseError("A binary value cannot be assigned to the numeric field " + Q(name));
  }
  if (type == ftCurrency) v = std::round(v * 10000) / 10000;
  return TVariant(v);
}

TVariant ForBooleanColumn(const TVariant& value, std::string_view name) {
  switch (value.Type()) {
    case TVarType::Boolean:
      return value;
    case TVarType::Integer:
      return TVariant(value.Integer() != 0);
    case TVarType::Float:
      return TVariant(value.Float() != 0);
    case TVarType::Text: {
      std::string t = Trim(value.Text());
      if (t.empty()) return TVariant();
      char c = t[0];
      if (c == 'T' || c == 't' || c == 'Y' || c == 'y' || t == "1") return TVariant(true);
      if (c == 'F' || c == 'f' || c == 'N' || c == 'n' || t == "0") return TVariant(false);
      NotValid(value.Text(), "boolean value", name);
    }
    default:
      throw EDatabaseError("A " + std::string(KindName(value.Type())) +
                           " value cannot be assigned to the boolean field " + Q(name));
  }
}

TVariant ForDateTimeColumn(TFieldType type, const TVariant& value, std::string_view name) {
  switch (value.Type()) {
    case TVarType::DateTime:
      return TVariant(ForDateType(type, value.DateTime()));
    case TVarType::Integer:
      return TVariant(ForDateType(type, TDateTime::FromDays(static_cast<double>(value.Integer()))));
    case TVarType::Float:
      if (!std::isfinite(value.Float()) || std::fabs(value.Float()) > 3e6)
        NotValid(value.ToString(), "date and time", name);
      return TVariant(ForDateType(type, TDateTime::FromDays(value.Float())));
    case TVarType::Text: {
      if (Trim(value.Text()).empty()) return TVariant();
      auto parsed = TDateTime::Parse(value.Text());
      if (!parsed) NotValid(value.Text(), "date and time", name);
      return TVariant(ForDateType(type, *parsed));
    }
    default:
      throw EDatabaseError("A " + std::string(KindName(value.Type())) +
                           " value cannot be assigned to the date-time field " + Q(name));
  }
}

}  // namespace

TVariant ValueForColumn(TFieldType type, const TVariant& value, std::string_view name) {
  if (value.IsNull()) return value;
  if (IsTextType(type)) return ForTextColumn(value);
  if (IsIntegerType(type)) return ForIntegerColumn(type, value, name);
  if (IsFloatType(type)) return ForFloatColumn(type, value, name);
  if (type == ftBoolean) return ForBooleanColumn(value, name);
  if (IsDateTimeType(type)) return ForDateTimeColumn(type, value, name);
  if (IsBlobType(type)) {
    if (value.Type() == TVarType::Bytes) return value;
    return TVariant::Bytes(value.ToString());
  }
  return value;  // a column without a type takes any value
}

TField::TField(TDataSet& dataSet, int index, std::string name, TFieldType type, int size)
    : FDataSet(dataSet), FIndex(index), FName(std::move(name)), FType(type), FSize(size) {}

bool TField::IsBlob() const {
  return IsBlobType(FType) || FType == ftMemo || FType == ftFmtMemo;
}

const TVariant& TField::RawValue() const {
  FDataSet.CheckActive();
  return FDataSet.FBuffer[static_cast<size_t>(FIndex)];
}

bool TField::IsNull() const {
  return RawValue().IsNull();
}

std::string TField::AsString() const {
  return ValueAsString(FType, RawValue());
}

int TField::AsInteger() const {
  int64_t v = ValueAsLargeInt(FType, RawValue(), FName);
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    throw EDatabaseError(std::to_string(v) + " is out of the integer range of field " + Q(FName));
  return static_cast<int>(v);
}

int64_t TField::AsLargeInt() const {
  return ValueAsLargeInt(FType, RawValue(), FName);
}

double TField::AsFloat() const {
  return ValueAsFloat(FType, RawValue(), FName);
}

bool TField::AsBoolean() const {
  return ValueAsBoolean(FType, RawValue());
}

TDateTime TField::AsDateTime() const {
  return ValueAsDateTime(FType, RawValue(), FName);
}

TVariant TField::AsVariant() const {
  return ValueAsVariant(FType, RawValue());
}

std::string TField::AsBytes() const {
  const TVariant& v = RawValue();
  return v.Type() == TVarType::Bytes ? v.BytesData() : AsString();
}

std::string TField::DisplayText() const {
  const TVariant& v = RawValue();
  if (IsDateTimeType(FType) && !v.IsNull()) {
    try {
      return AsDateTime().GermanText();
    } catch (const EDatabaseError&) {
    }
  }
  return AsString();
}

void TField::Store(const TVariant& value) {
  FDataSet.CheckEditing(*this);
  TVariant converted = ValueForColumn(FType, value, FName);
  // An engine that enforces the declared size would refuse the whole row,
  // naming only the type; the value fails here alone, naming its column.
  if (FSize > 0 && (FType == ftString || FType == ftFixedChar || FType == ftWideString) &&
      converted.Type() == TVarType::Text && converted.Text().size() > static_cast<size_t>(FSize)) {
    const size_t length = Utf8Length(converted.Text());
    TConnection* connection = FDataSet.Connection();
    if (length > static_cast<size_t>(FSize) && connection && connection->Connected() &&
        connection->Engine().EnforcesDeclaredSizes())
      throw EDatabaseError("Der Text für Feld \"" + FName + "\" hat " + std::to_string(length) +
                           " Zeichen; die Spalte fasst " + std::to_string(FSize) + ".");
  }
  size_t i = static_cast<size_t>(FIndex);
  FDataSet.FBuffer[i] = std::move(converted);
  FDataSet.FAssigned[i] = 1;
  FDataSet.FModified = true;
  FDataSet.FieldChanged(*this);
}

void TField::Clear() {
  Store(TVariant());
}
void TField::SetAsString(std::string_view value) {
  Store(TVariant(value));
}
void TField::SetAsInteger(int64_t value) {
  Store(TVariant(value));
}
void TField::SetAsFloat(double value) {
  Store(TVariant(value));
}
void TField::SetAsBoolean(bool value) {
  Store(TVariant(value));
}
void TField::SetAsDateTime(TDateTime value) {
  Store(TVariant(value));
}
void TField::SetAsVariant(const TVariant& value) {
  Store(value);
}
void TField::SetAsBytes(std::string_view bytes) {
  Store(TVariant::Bytes(std::string(bytes)));
}

void TField::Assign(const TField& source) {
  if (source.IsNull()) {
    Clear();
    return;
  }
  SetAsVariant(source.AsVariant());
}

void TField::LoadFromStream(std::istream& in) {
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  SetAsBytes(bytes);
}

void TField::SaveToStream(std::ostream& out) const {
  std::string bytes = AsBytes();
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TField::LoadFromFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw EDatabaseError("Die Datei \"" + fileName + "\" kann nicht gelesen werden.");
  LoadFromStream(in);
}

void TField::SaveToFile(const std::string& fileName) const {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  if (!out) throw EDatabaseError("Die Datei \"" + fileName + "\" kann nicht geschrieben werden.");
  SaveToStream(out);
  if (!out) throw EDatabaseError("Die Datei \"" + fileName + "\" kann nicht geschrieben werden.");
}

}  // namespace dk
