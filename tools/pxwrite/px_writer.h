// Writes Paradox tables through pxlib, an implementation independent of the
// engine: tests read back what it wrote, benchmarks and end-to-end runs build
// legacy archives with it.
//
// What pxlib 0.6.8 can and cannot do decides what this writer offers:
// - It writes Paradox 7 tables (file version 0x0C) with 2 KiB blocks or larger,
//   in any code page given for the header.
// - Memo, formatted memo, blob, OLE and graphic values go in the record when
//   they fit the leader, otherwise into a new .MB beside the table.
// - BCD values need at least one decimal place (pxlib loses the digits of a
//   BCD field with none); the writer refuses such a field.
// - Reading back through pxlib is not offered: 0.6.8 aborts when it opens an
//   existing .MB.
// Text is given in UTF-8 and stored in the table's code page; a character the
// code page lacks is an error, so a fixture never holds a silent "?".
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dk {

struct TPxWriteField {
  std::string Name;
  // The Paradox type letter: A Alpha, D Date, S Short, I Long, $ Currency,
  // N Number, L Logical, M Memo, B Blob, F Formatted memo, O OLE, G Graphic,
  // T Time, @ Timestamp, + Autoincrement, # BCD, Y Bytes.
  char Type = 'A';
  // A and Y: the length (1-255). M, B, F, O, G: the leader kept in the record
  // (the record holds Size + 10 bytes; 1-240, B also 0). #: decimal places
  // (1-32). Other types: ignored.
  int Size = 0;
};

struct TPxWriteOptions {
  int CodePage = 1252;
  int PrimaryKeyFields = 0;  // > 0 writes a keyed table (the first N fields)
};

class TPxTableWriter {
 public:
  // Creates `dbPath` (and, when there are memo or blob fields, the .MB of the
  // same name with extension ".MB"). Throws std::runtime_error.
  TPxTableWriter(const std::string& dbPath, const std::vector<TPxWriteField>& fields,
                 const TPxWriteOptions& options = {});
  ~TPxTableWriter();
  TPxTableWriter(const TPxTableWriter&) = delete;
  TPxTableWriter& operator=(const TPxTableWriter&) = delete;

  int FieldCount() const;

  // Values of the record being built; every field starts NULL.
  void SetNull(int field);
  void SetText(int field, std::string_view utf8);                               // A, M, F
  void SetInteger(int field, int64_t value);                                    // S, I, +
  void SetFloat(int field, double value);                                       // N, $
  void SetBool(int field, bool value);                                          // L
  void SetDate(int field, int year, int month, int day);                        // D
  void SetTime(int field, int64_t msOfDay);                                     // T
  void SetTimestamp(int field, int year, int month, int day, int64_t msOfDay);  // @
  void SetBcd(int field, std::string_view decimal);                             // #, e.g. "-123.45"
  // Y: exactly the bytes (zero-filled to the length); B, O, G: the value as
  // stored (Graphic and OLE values begin with their 8-byte Paradox prefix, see
  // PxGraphicValue); M, F: raw bytes in the code page.
  void SetBytes(int field, std::string_view bytes);

  // Appends the record and starts a new, all-NULL one.
  void Post();
  // Finishes the files; called by the destructor when not called before.
  void Close();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// A Graphic value as Paradox stores it: the prefix 01 00 00 01 and the
// length of `image` (u32 little-endian), then the image (a BMP).
std::string PxGraphicValue(std::string_view image);
// An OLE value as Paradox stores it: the prefix 01 00 00 02 and the length.
std::string PxOleValue(std::string_view data);

// Parses a field list "NAME:TYPE[SIZE],..." such as "ID:I,TITLE:A80,NOTE:M40,
// PRICE:#2". Throws std::runtime_error for a malformed entry.
std::vector<TPxWriteField> ParsePxFieldList(std::string_view list);

// Writes a table from CSV in the dump format of dkl-pxdump: the first row
// names the fields as "NAME:TYPE[SIZE]", every further row is a record. An
// empty field is NULL; D YYYY-MM-DD, T hh:mm:ss[.zzz], @ YYYY-MM-DD
// hh:mm:ss[.zzz], L T or F, numbers in C notation, B/O/G/Y lower- or
// upper-case hex, text as UTF-8. Returns the number of records. Throws
// std::runtime_error naming the row and field of a bad value.
int64_t WritePxTableFromCsv(const std::string& dbPath, std::istream& csv,
                            const TPxWriteOptions& options = {});

}  // namespace dk
