// Field type codes shared by every dataset of the system: the data access
// layer's fields and the Paradox engine's fields report their type with these
// codes, and the SQL dialect functions map them to column types. The numbering
// is fixed (0 = ftUnknown .. 37 = ftFMTBcd): stored settings and the copy rules
// compare the codes as numbers.
#pragma once

namespace dk {

enum TFieldType {
  ftUnknown = 0,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
  ftTimeStamp,
  ftFMTBcd
};

// The code's name as the system spells it ("ftString"); "ftUnknown" for a code
// outside 0..37.
constexpr const char* FieldTypeName(int type) {
  constexpr const char* names[] = {
      "ftUnknown",    "ftString",     "ftSmallint", "ftInteger",     "ftWord",      "ftBoolean",
      "ftFloat",      "ftCurrency",   "ftBCD",      "ftDate",        "ftTime",      "ftDateTime",
      "ftBytes",      "ftVarBytes",   "ftAutoInc",  "ftBlob",        "ftMemo",      "ftGraphic",
      "ftFmtMemo",    "ftParadoxOle", "ftDBaseOle", "ftTypedBinary", "ftCursor",    "ftFixedChar",
      "ftWideString", "ftLargeint",   "ftADT",      "ftArray",       "ftReference", "ftDataSet",
      "ftOraBlob",    "ftOraClob",    "ftVariant",  "ftInterface",   "ftIDispatch", "ftGuid",
      "ftTimeStamp",  "ftFMTBcd"};
  static_assert(sizeof(names) / sizeof(names[0]) == ftFMTBcd + 1);
  return type >= 0 && type <= ftFMTBcd ? names[type] : names[0];
}

}  // namespace dk
