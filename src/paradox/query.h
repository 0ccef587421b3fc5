// The read-only dataset of the Paradox engine: a query on a directory of
// Paradox tables, in the manner of the legacy engine's query component.
//
//   TParadoxQuery q;
//   q.SetDatabaseName("/data/legacy/");      // the directory
//   q.SetSQL("SELECT * FROM DOCUMENT");      // or SELECT COUNT(*) AS FRECORDCOUNT FROM ...
//   q.Open();                                // on the first row
//   for (; !q.Eof(); q.Next()) {
//     TParadoxField* no = q.FindField("NUMBER");   // nullptr when missing
//     std::string text = q.FieldByName("NOTE").AsString();
//   }
//   q.Close();
//
// Rows stream block by block in the table's block-chain order; memory does not
// depend on the number of rows. With ORDER BY, Open reads the whole table and
// sorts its records by the bytes of the named fields (numbers, dates and times
// in the order of their values, blanks first; Alpha in the order of its code
// page bytes; rows with equal keys in the table's order), in at most
// SortMemory bytes and beyond that through a temporary file in $TMPDIR that
// is removed at once. Values are decoded from the current row when a field is
// read; memo and blob values are read from the .MB only then. The source
// directory is never written, created in, locked or renamed.
//
// Failures raise EParadoxError, whose message names the file (or directory and
// table) and the fault: Open fails for a missing table, a file that is not a
// table, an encrypted table, a damaged header or block chain, an unknown code
// page, any statement the engine does not understand (statement.h) and
// ORDER BY a missing field or a memo or blob field; First and Next fail at a
// block that is damaged (with ORDER BY, Open reads every block); reading a
// field fails for a memo or blob value that cannot be read (a missing, empty
// or headerless .MB, a pointer out of range), and only that value: the rows
// and their other values still read.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "paradox/paradox_error.h"
#include "paradox/table_file.h"
#include "sys/field_type.h"
#include "sys/variant.h"

namespace dk {

class TParadoxBlobFile;
class TPxRecordSort;
class TParadoxQuery;

// One column of the current row. Owned by its query; valid while the query is
// open.
class TParadoxField {
 public:
  const std::string& FieldName() const { return FName; }
  // The type code: Alpha ftString, Date ftDate, Short ftSmallint, Long
  // ftInteger, Currency ftCurrency, Number ftFloat, Logical ftBoolean, Memo
  // ftMemo, Blob ftBlob, Formatted memo ftFmtMemo, OLE ftParadoxOle, Graphic
  // ftGraphic, Time ftTime, Timestamp ftDateTime, Autoincrement ftAutoInc, BCD
  // ftBCD, Bytes ftBytes; a type the engine does not know is ftUnknown (its
  // value is the raw bytes). The row count of the COUNT statement is ftInteger.
  TFieldType DataType() const { return FDataType; }
  // Alpha and Bytes: the length; BCD: the decimal places; memo and blob
  // kinds: the length of the part kept in the row; other types 0.
  int Size() const { return FSize; }
  int Index() const { return FIndex; }
  // The Paradox type letter ('A', 'N', '#', ...); 'I' for the row count.
  char ParadoxType() const;

  // True for a blank value. Alpha: an empty text is NULL (Paradox does not
  // tell them apart); memo and blob kinds: a length of 0.
  bool IsNull() const;

  // Text of the value; "" for NULL. Alpha, memo and formatted memo: decoded
  // from the table's code page. Integers: decimal. Number and Currency: the
  // shortest text that reads back as the same double ("40", "0.1", "1e+20").
  // BCD: the exact decimal with all its decimal places ("1.20"). Date
  // "YYYY-MM-DD", Time "hh:mm:ss[.zzz]", Timestamp "YYYY-MM-DD hh:mm:ss[.zzz]".
  // Logical "T" or "F". Blob, OLE, Graphic and Bytes: the raw bytes.
  std::string AsString() const;
  // AsString, except that a Blob is decoded from the table's code page as a
  // memo is: legacy archives kept texts (RTF above all) in Blob fields, and
  // their bytes must not travel on undecoded into a text column.
  std::string AsText() const;
  // Integers as they are; Number, Currency and BCD rounded; Logical 1/0; text
  // parsed as a decimal integer. NULL gives 0. Raises EParadoxError for a text
  // that is no integer, a value out of range or a type without numbers.
  int AsInteger() const;
  int64_t AsLargeInt() const;
  // Numbers as doubles; date kinds as TDateTime; text parsed. NULL gives 0.
  double AsFloat() const;
  // Logical as it is; numbers: not 0; text: starts with T, t, Y or y. NULL gives false.
  bool AsBoolean() const;
  // Date, Time and Timestamp as TDateTime (a Time is the fraction of a day);
  // numbers are taken as TDateTime values. NULL gives 0. Raises EParadoxError
  // for other types.
  double AsDateTime() const;
  // The stored bytes: memo and blob kinds the whole value (Graphic and OLE
  // with their 8-byte Paradox prefix), Alpha the undecoded text, Bytes all n
  // bytes, other types their record bytes. NULL gives no bytes.
  std::vector<uint8_t> AsBytes() const;
  // The value as the system's value, the form in which a copy writes it into
  // a target field: NULL as null, Logical as a Boolean, Short, Long and
  // Autoincrement (and the row count) as integers, Number, Currency and BCD as
  // floats, Date, Time and Timestamp as date-times (a Time on day 0), Alpha
  // and the memo kinds as text, Blob, OLE, Graphic, Bytes and unknown types as
  // bytes. Raises EParadoxError when the value cannot be read.
  TVariant Value() const;

 private:
  friend class TParadoxQuery;
  TParadoxField(TParadoxQuery* owner, int index, const TPxFieldDef* def);
  TParadoxField(TParadoxQuery* owner, std::string name, int64_t constant);

  const uint8_t* Bytes() const;  // the field in the current row, or nullptr
  // The stored bytes of a memo or blob field (raw, undecoded).
  void ReadBlob(const uint8_t* p, std::string& out) const;
  std::string Describe() const;  // "Feld \"X\"" for messages
  [[noreturn]] void Fail(const std::string& fault) const;

  TParadoxQuery* FOwner;
  int FIndex;
  const TPxFieldDef* FDef = nullptr;  // null for the row count
  int64_t FConstant = 0;
  std::string FName;
  TFieldType FDataType = ftUnknown;
  int FSize = 0;
};

class TParadoxQuery {
 public:
  TParadoxQuery();
  ~TParadoxQuery();
  TParadoxQuery(const TParadoxQuery&) = delete;
  TParadoxQuery& operator=(const TParadoxQuery&) = delete;

  // The directory of the tables; a trailing "/" (or "\") is allowed. Setting
  // it closes the query.
  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& dir);
  // The statement. Setting it closes the query.
  const std::string& SQL() const { return FSQL; }
  void SetSQL(const std::string& sql);

  // Reads table `table` (name ignoring case, without ".DB") in code page
  // `codePage` instead of the one in its header; 0 removes the override.
  // Headers are known to be wrong for tables written on misconfigured
  // machines (Cyrillic text under 1252, DOS tables without any code page).
  void SetTableCodePage(const std::string& table, int codePage);
  int TableCodePage(const std::string& table) const;  // 0 when not overridden

  // Reads damaged tables as far as they can be read (TParadoxTableFile::
  // ReadSalvaged) instead of failing at a broken block chain; ChainReport()
  // then tells what the open table lost. Setting it closes the query.
  bool Salvage() const { return FSalvage; }
  void SetSalvage(bool salvage);
  // The walk of the open table's blocks when it was read salvaged.
  const TPxChainReport& ChainReport() const { return FChainReport; }

  // The memory in which a statement with ORDER BY sorts before it spills
  // sorted runs to its temporary file; 32 MiB unless set.
  size_t SortMemory() const { return FSortMemory; }
  void SetSortMemory(size_t bytes) { FSortMemory = bytes; }
  // Called while Open sorts for an ORDER BY, with the records read into the
  // sort so far of the table's `total`: at the start, every 65,536 records
  // and when all are in (`done` == `total`, before the last of them are
  // sorted). A callback that raises ends the Open and leaves the query
  // closed; nothing of the sort is left behind.
  std::function<void(int64_t done, int64_t total)> OnSortProgress;

  // Runs the statement and makes the first row current.
  void Open();
  void Close();
  bool Active() const { return FActive; }
  void SetActive(bool active) { active ? Open() : Close(); }

  void First();
  // Moves to the next row; after the last row Eof turns true and the last row
  // stays current.
  void Next();
  bool Eof() const { return FEof; }
  bool Bof() const { return FBof; }
  bool IsEmpty() const { return FRecordCount == 0; }
  // The number of rows (counted along the block chain when opened).
  int64_t RecordCount() const;
  // 1-based number of the current row; 0 when there is none.
  int64_t RecNo() const { return FRecNo; }

  int FieldCount() const { return static_cast<int>(FFields.size()); }
  // Raise EParadoxError for an index out of range or a missing name.
  TParadoxField& Fields(int index) const;
  TParadoxField& FieldByName(std::string_view name) const;
  // The field of that name ignoring case, or nullptr.
  TParadoxField* FindField(std::string_view name) const;

  // The open table's file (nullptr while closed); its header, version and code page.
  const TParadoxTableFile* TableFile() const { return FTable.get(); }
  // Path of the open table's .MB, empty when there is none.
  const std::string& BlobFileName() const { return FBlobPath; }
  // Notes about the open table that did not stop reading it, e.g. a header
  // row count that differs from the rows in the block chain.
  const std::vector<std::string>& Warnings() const { return FWarnings; }
  // How many sorted runs the last ORDER BY spilled; 0 when it sorted in memory.
  size_t SpilledRuns() const;

 private:
  friend class TParadoxField;
  void CheckActive(const char* operation) const;
  // Reads every record into the sort of the ORDER BY fields.
  void SortRecords(const std::vector<std::string>& fields);
  bool MoveFirst();
  bool MoveNext();
  const uint8_t* CurrentRecord() const;
  const TParadoxBlobFile* BlobFile() const;

  std::string FDatabaseName;
  std::string FSQL;
  std::map<std::string, int> FCodePages;  // upper-case table name -> code page
  bool FSalvage = false;
  TPxChainReport FChainReport;
  bool FActive = false;
  bool FEof = true;
  bool FBof = true;
  int64_t FRecordCount = 0;
  int64_t FRecNo = 0;
  bool FIsCount = false;
  bool FHasRow = false;
  std::unique_ptr<TParadoxTableFile> FTable;
  size_t FSortMemory = size_t{32} << 20;
  std::unique_ptr<TPxRecordSort> FSort;  // only with ORDER BY
  std::string FBlobPath;
  std::unique_ptr<TParadoxBlobFile> FBlob;  // only for a table with memo or blob fields
  std::string FBlobFault;                   // why the .MB beside the table cannot be used
  std::vector<std::unique_ptr<TParadoxField>> FFields;
  std::vector<std::string> FWarnings;
};

}  // namespace dk
