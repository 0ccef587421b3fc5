// Datasets: the rows of a query or a table, one current row at a time.
//
// Rows are fetched as they are read: the dataset keeps a forward cursor over
// its prepared statement and a buffer with the current row, never the whole
// result, so opening a table of millions of rows and appending to it costs no
// memory for the rows not read. The cursor reads a little ahead (at most
// kReadAheadRows rows or kReadAheadBytes bytes): a result that fits is read to
// its end at once, which ends the engine's read of it, so that an open
// dataset on a few rows does not keep other connections from writing (one
// that stands in the middle of a longer result keeps SQLite's read lock until
// it reaches the end or closes). What needs other rows works from that:
// - First and Requery run the statement again (First only when something was
//   written since it last ran); Next steps the cursor.
// - Prior, MoveBy backwards and the row after a Delete run the statement
//   again and step to the wanted position, so they cost the rows before it.
// - Last steps to the end. RecordCount asks the engine for COUNT(*) and keeps
//   the answer until the next write on the connection.
// - Locate and Lookup scan a second cursor of the same statement from the
//   first row; a found row becomes the current one by swapping the cursors,
//   and a failed Locate leaves the position alone.
// - Rows written through the dataset are visible to the next run of the
//   statement; whether a cursor already running sees them is up to the
//   engine (SQLite may deliver a row again that an update moved ahead).
//
// States and hooks follow the classic dataset the system was written for:
// Open makes the first row current and fires after-scroll (when there is a
// row); Append fires before-insert, before-scroll, the master fields are
// filled, on-new-record, after-insert, after-scroll; Edit fires before-edit
// and after-edit (Edit on an empty dataset appends); Post fires before-post
// (raising there keeps the state and writes nothing), writes, returns to
// browse and fires after-post. A failed write calls the post-error handler,
// which may answer daRetry (the write alone is tried again, at most
// kMaxPostRetries times in a row), daAbort (EAbort is raised) or daFail (the
// error propagates); the row stays in insert or edit state until Cancel.
// Delete fires before-delete, before-scroll, after-delete, after-scroll.
// Moving to another row while editing posts a modified row and cancels an
// unmodified one.
//
// Writing: a dataset whose columns come from one table writes INSERT, UPDATE
// and DELETE statements on it. An INSERT names only the assigned columns. Rows
// are found by the primary key, or by the engine's row identity when the
// table has none; with the recordset property "Update Criteria" 0 the key
// alone decides, with 2 (the default) the original values of the changed
// columns must still match too, with 1 those of all columns. An update or
// delete that matches no row fails with "Row cannot be located for updating.
// Some values may have been changed since it was last read." The INSERT
// statements are prepared once per set of assigned columns and reused.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/connection.h"
#include "data/errors.h"
#include "data/field.h"
#include "data/provider.h"
#include "data/read_cursor.h"
#include "data/row_writer.h"
#include "sys/string_list.h"
#include "sys/variant.h"

namespace dk {

enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };
enum TDataAction { daFail, daAbort, daRetry };
enum TLocateOption : unsigned { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = unsigned;

// How often in a row a post-error handler may ask for a retry before the
// error is raised after all; guards against a handler that always retries.
constexpr int kMaxPostRetries = 100;

class TDataSet;

// Connects a dataset to the datasets that follow it (details) and to handlers
// of its changes.
class TDataSource {
 public:
  explicit TDataSource(TDataSet* dataSet = nullptr);
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  TDataSet* DataSet() const { return FDataSet; }
  void SetDataSet(TDataSet* dataSet);

  // Fired after the dataset opened, scrolled, posted, cancelled, deleted or
  // re-ran its query.
  std::function<void(TDataSource&)> OnDataChange;

 private:
  friend class TDataSet;
  void DataChanged();
  void FieldChanged(const TField& field);

  TDataSet* FDataSet = nullptr;
  std::vector<TDataSet*> FDetails;
};

class TDataSet {
 public:
  using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
  using TDataSetErrorEvent = std::function<void(TDataSet&, EDatabaseError&, TDataAction&)>;

  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  // A name for messages.
  const std::string& Name() const { return FName; }
  void SetName(std::string name) { FName = std::move(name); }

  TConnection* Connection() const { return FConnection; }
  // Closes the dataset first when it is open.
  void SetConnection(TConnection* connection);

  TCursorLocation CursorLocation() const { return FCursorLocation; }
  void SetCursorLocation(TCursorLocation value) { FCursorLocation = value; }
  TCursorType CursorType() const { return FCursorType; }
  void SetCursorType(TCursorType value) { FCursorType = value; }
  // ltReadOnly refuses every change, as a read-only recordset does.
  TADOLockType LockType() const { return FLockType; }
  void SetLockType(TADOLockType value) { FLockType = value; }
  int CacheSize() const { return FCacheSize; }
  void SetCacheSize(int value) { FCacheSize = value; }

  // Properties of the open recordset: "Update Criteria" (0 key columns, 1 all
  // columns, 2 changed columns (default), 3 key columns). Every Open starts
  // with the defaults. Unknown names fail.
  TVariant RecordsetProperty(std::string_view name) const;
  void SetRecordsetProperty(std::string_view name, const TVariant& value);

  // Opens the connection when it is closed. A statement that returns no rows
  // fails ("CommandText does not return a result set") without running.
  void Open();
  // Discards an unposted row.
  void Close();
  bool Active() const { return FState != dsInactive; }
  void SetActive(bool active) { active ? Open() : Close(); }
  TDataSetState State() const { return FState; }
  // The dataset writes to a table (and is not read-only).
  bool CanModify() const;

  void First();
  void Next();
  void Prior();
  void Last();
  // Returns the number of rows moved.
  int MoveBy(int distance);
  // True after Next on the last row, and at once on an empty result.
  bool Eof() const { return FEof; }
  bool Bof() const { return FBof; }
  bool IsEmpty() const { return !FHasRow && FState != dsInsert; }
  // Position of the current row from 1; 0 when there is none. A row
  // appended and posted here keeps the position of the row it was appended
  // after; Next goes on from there.
  int RecNo() const { return FRecNo; }
  int RecordCount();
  // Runs the statement again with the current parameter values and makes the
  // first row current.
  void Requery();
  // Ends the engine's read of a result the cursor stands in the middle of
  // (and so SQLite's read lock, which holds back other connections' commits)
  // and keeps the current row; the next move runs the statement again and
  // steps to its position. Nothing when the result was read to its end.
  void EndRead();

  int FieldCount() const { return static_cast<int>(FFields.size()); }
  TField& Fields(int index) const;
  // Fails with "Field 'X' not found" for a missing column.
  TField& FieldByName(std::string_view name) const;
  // nullptr for a missing column (callers probe optional columns so).
  TField* FindField(std::string_view name) const;
  void GetFieldNames(TStringList& list) const;

  void Append();
  void Insert() { Append(); }
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  bool Modified() const { return FModified; }
  // Posts a modified row, cancels an unmodified one.
  void CheckBrowseMode();

  // Finds the first row whose columns (names separated by ";") hold the
  // values; exact, or ignoring case (loCaseInsensitive) or as prefixes
  // (loPartialKey) for texts. A null value finds a null column. True makes
  // the row current.
  bool Locate(std::string_view keyFields, const std::vector<TVariant>& keyValues,
              TLocateOptions options = 0);
  bool Locate(std::string_view keyFields, const TVariant& keyValue, TLocateOptions options = 0);
  // The value of `resultField` in the first row found as by an exact Locate,
  // null when there is none; the position does not change.
  TVariant Lookup(std::string_view keyFields, const std::vector<TVariant>& keyValues,
                  std::string_view resultField);
  TVariant Lookup(std::string_view keyFields, const TVariant& keyValue,
                  std::string_view resultField);

  // Master-detail: the dataset shows only the rows that match the current row
  // of the master source's dataset, follows its moves, and fills the master
  // values into the rows it appends. MasterFields lists the linked columns,
  // separated by ";", each "NAME" (same name on both sides) or
  // "DETAIL=MASTER". A table object filters by them; a query object binds
  // its parameters named after master columns.
  TDataSource* MasterSource() const { return FMasterSource; }
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return FMasterFields; }
  void SetMasterFields(std::string fields) { FMasterFields = std::move(fields); }

  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, OnNewRecord;
  TDataSetNotifyEvent BeforeEdit, AfterEdit, BeforePost, AfterPost;
  TDataSetNotifyEvent BeforeCancel, AfterCancel, BeforeDelete, AfterDelete;
  TDataSetNotifyEvent BeforeScroll, AfterScroll;
  TDataSetErrorEvent OnPostError, OnDeleteError;

 protected:
  // The statement the dataset opens, with the values of its named
  // parameters (looked up by name without regard to case; an unnamed
  // parameter takes the value at its position).
  struct TCommand {
    std::string Sql;
    std::vector<std::pair<std::string, TVariant>> Params;
  };
  virtual TCommand BuildCommand() = 0;
  // The master's link columns as (detail column, master column) pairs.
  virtual std::vector<std::pair<std::string, std::string>> MasterLinks() const;
  void CheckInactive() const;
  TConnection& CheckConnection();
  // Frees every prepared statement (the connection closes).
  virtual void ReleaseStatements();

 private:
  friend class TField;
  friend class TDataSource;
  friend class TConnection;

  void CheckActive() const;
  void CheckEditing(const TField& field) const;
  void CheckCanWrite(bool update) const;
  // The row lock of a pessimistic edit (see Edit); released by Post (with
  // its write) or Cancel.
  void LockRow();
  void ReleaseRowLock(bool commit);
  void Fire(const TDataSetNotifyEvent& event) {
    if (event) event(*this);
  }
  void DataChanged();
  void FieldChanged(const TField& field);
  void MasterChanged();
  void MasterFieldChanged(const TField& masterField);

  // The frame every move of the current row shares (dataset.cpp).
  class TScrollGuard;

  void OpenCursor();
  void CreateFields(const TProviderStatement& statement);
  void BindCommand(TProviderStatement& statement) const;
  // Makes row `ordinal` (from 1) current, running the statement again when
  // the cursor stands behind it. False (nothing changed) when there are
  // fewer rows.
  bool GoToRow(int ordinal);
  // Makes the cursor's next row current; false at the end.
  bool TakeRow() { return FCursor.TakeRow(FBuffer, FRowId); }
  void SetEmpty();
  TProviderStatement& Spare();
  // The ordinal of the first row of `spare` that matches, which `spare`
  // then stands on; 0 when none does.
  int Scan(TProviderStatement& spare, const std::vector<int>& fields,
           const std::vector<TVariant>& values, TLocateOptions options);
  std::vector<int> ResolveFields(std::string_view names) const;

  void InternalInsert();
  void InternalUpdate();
  void InternalDelete();
  void RunOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& handler);
  void RepositionAfterDelete();

  std::string FName;
  TConnection* FConnection = nullptr;
  TCursorLocation FCursorLocation = clUseClient;
  TCursorType FCursorType = ctKeyset;
  TADOLockType FLockType = ltOptimistic;
  // Edit began a transaction to hold the row's lock until Post or Cancel.
  bool FLockTransaction = false;
  int FCacheSize = 1;
  int FUpdateCriteria = 2;

  TDataSetState FState = dsInactive;
  std::vector<std::unique_ptr<TField>> FFields;
  std::vector<TVariant> FBuffer;    // the current row, one value per field
  std::vector<TVariant> FOriginal;  // the row as it was when Edit began
  std::vector<char> FAssigned;      // fields assigned since Append or Edit
  TVariant FRowId;                  // the engine's row identity, when used
  bool FModified = false;
  // The browse row to return to when an Append is cancelled.
  std::vector<TVariant> FSavedBuffer;
  TVariant FSavedRowId;
  bool FSavedHasRow = false, FSavedEof = false, FSavedBof = false, FSavedFromCursor = false;

  TCommand FCommand;
  TReadCursor FCursor;
  TRowWriter FWriter{FFields};
  int FRecNo = 0;        // ordinal of the current row in the cursor's sequence
  bool FHasRow = false;  // a posted row is current
  bool FRowFromCursor = false;
  bool FEof = true, FBof = true;

  int FRecordCount = -1;
  uint64_t FRecordCountStamp = 0;

  TDataSource* FMasterSource = nullptr;
  std::string FMasterFields;
  std::vector<TDataSource*> FDataSources;
};

}  // namespace dk
