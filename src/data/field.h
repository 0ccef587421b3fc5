// One column of a dataset's current row.
//
// A field reads and writes the dataset's row buffer, converting by its type:
// - Text columns (ftString, ftMemo, ...) hold text; a Boolean is written as
//   "T" or "F", and reads as true when the text begins with T, t, Y or y. A
//   text longer than a ftString column's size is never cut (SQLite keeps it
//   whole; where the engine enforces sizes the value is refused): a cut
//   would lose characters without a word.
//   Binary data that is not UTF-8 is kept as it is, never re-coded.
// - Integer, float, Boolean and date-time columns accept text only when it
//   reads as such a value; otherwise the assignment fails with a message that
//   names the value and the field, and the row keeps its old value.
// - Date-time columns take ISO ("2024-05-17 13:45:00") and German
//   ("17.05.2024 13:45") texts; AsString gives the stored ISO text.
// - A column the engine gives no type (an expression such as COUNT(*)) keeps
//   whatever value the engine delivered and converts it when read.
//
// Assignments need the dataset in edit or insert state; a field that does not
// belong to the dataset's table (an expression, a joined column) is read-only.
// Fields live while their dataset is open; Close and Open make new ones.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "sys/field_type.h"
#include "sys/variant.h"

namespace dk {

class TDataSet;

class TField {
 public:
  TField(TDataSet& dataSet, int index, std::string name, TFieldType type, int size);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  TDataSet& DataSet() const { return FDataSet; }
  const std::string& FieldName() const { return FName; }
  TFieldType DataType() const { return FType; }
  int Size() const { return FSize; }
  // Position in select order, from 0.
  int Index() const { return FIndex; }
  bool ReadOnly() const { return FReadOnly; }
  // The column is NOT NULL without a default and not numbered by the engine.
  bool Required() const { return FRequired; }
  // The table column behind the field; empty for an expression.
  const std::string& Origin() const { return FOrigin; }
  bool IsBlob() const;

  bool IsNull() const;
  // Null reads as "", 0, 0.0, false and 1899-12-30 00:00.
  std::string AsString() const;
  int AsInteger() const;  // fails when the value exceeds 32 bits
  int64_t AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;
  // The value in the kind of the field's type (Integer for integer columns,
  // DateTime for date-time columns, ...); a stored value that does not read
  // as that kind comes back as stored.
  TVariant AsVariant() const;
  TVariant Value() const { return AsVariant(); }
  // The bytes of a blob or the text of any other field.
  std::string AsBytes() const;
  // For display: date-times in German form, otherwise AsString.
  std::string DisplayText() const;
  // The value as held in the row buffer, in the engine's form.
  const TVariant& RawValue() const;

  void Clear();  // sets null
  void SetAsString(std::string_view value);
  void SetAsInteger(int64_t value);
  void SetAsLargeInt(int64_t value) { SetAsInteger(value); }
  void SetAsFloat(double value);
  void SetAsBoolean(bool value);
  void SetAsDateTime(TDateTime value);
  void SetAsVariant(const TVariant& value);
  void SetValue(const TVariant& value) { SetAsVariant(value); }
  void SetAsBytes(std::string_view bytes);
  // Takes another field's value, null included, converted by this field's type.
  void Assign(const TField& source);

  void LoadFromStream(std::istream& in);
  void SaveToStream(std::ostream& out) const;
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName) const;

 private:
  friend class TDataSet;
  void Store(const TVariant& value);

  TDataSet& FDataSet;
  int FIndex;
  std::string FName;
  TFieldType FType;
  int FSize;
  bool FReadOnly = false;
  bool FRequired = false;
  std::string FOrigin;
};

// The conversions of TField on a bare value, for a column of `type`; `name`
// goes into the failure messages. The dataset uses them to compare rows it
// has not made current.
std::string ValueAsString(TFieldType type, const TVariant& raw);
int64_t ValueAsLargeInt(TFieldType type, const TVariant& raw, std::string_view name);
double ValueAsFloat(TFieldType type, const TVariant& raw, std::string_view name);
bool ValueAsBoolean(TFieldType type, const TVariant& raw);
TDateTime ValueAsDateTime(TFieldType type, const TVariant& raw, std::string_view name);
TVariant ValueAsVariant(TFieldType type, const TVariant& raw);
// `value` converted to what a column of `type` stores; fails with
// EDatabaseError when it does not fit. Texts are never shortened to a
// column's declared size.
TVariant ValueForColumn(TFieldType type, const TVariant& value, std::string_view name);

bool IsTextType(TFieldType type);
bool IsIntegerType(TFieldType type);
bool IsFloatType(TFieldType type);
bool IsDateTimeType(TFieldType type);
bool IsBlobType(TFieldType type);

}  // namespace dk
