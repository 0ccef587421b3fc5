// The read-ahead cursor of a dataset: a forward cursor over the dataset's
// prepared statement that hands out one row at a time and reads a little
// ahead of it.
//
// It reads at most kReadAheadRows rows or kReadAheadBytes bytes ahead (always
// at least one row). A result that fits is read to its end at once and the
// statement reset there, which ends the engine's read of it: SQLite keeps a
// read lock while a statement stands in the middle of its rows, and that lock
// holds back the commits of other connections. So an open dataset on a few
// rows (the ID counters) never stands in another writer's way; one in the
// middle of a longer result does until it reaches the end, closes or is told
// to EndRead.
//
// Rows are numbered from 1 in the order the statement delivers them;
// Position() is the number of the row handed out last, 0 before the first.
// Going back means running the statement again (Rerun) and stepping forward.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "data/provider.h"
#include "sys/variant.h"

namespace dk {

class TConnection;

// How far a dataset's cursor reads ahead of the current row.
constexpr size_t kReadAheadRows = 64;
constexpr size_t kReadAheadBytes = 256 * 1024;

// Steps `statement` to its next row. A failure goes to the connection's error
// list (when there is one) and leaves the statement reset, so that it holds
// no read lock while the error travels up.
bool StepRecorded(TProviderStatement& statement, TConnection* connection);

class TReadCursor {
 public:
  TReadCursor() = default;
  TReadCursor(const TReadCursor&) = delete;
  TReadCursor& operator=(const TReadCursor&) = delete;

  // Takes over a prepared and bound statement of `connection` and stands
  // before its first row. With `rowIdColumn` the statement's column 0 is the
  // row identity and the dataset's values start at column 1.
  void Attach(TConnection& connection, std::unique_ptr<TProviderStatement> statement,
              bool rowIdColumn);
  // Frees both statements (the dataset closes, or its connection does).
  void Release();
  bool Attached() const { return FStatement != nullptr; }
  // The statement, for binding its parameters anew after Rerun.
  TProviderStatement& Statement() const { return *FStatement; }
  int ColumnOffset() const { return FColumnOffset; }

  // Runs the statement again from its first row.
  void Rerun();
  // Hands out the next row: its values (one per field) into `row` and its
  // row identity (null without one) into `rowId`. False at the end of the
  // rows, leaving both alone.
  bool TakeRow(std::vector<TVariant>& row, TVariant& rowId);
  // Passes over the next row; false at the end.
  bool SkipRow();
  // Makes row `ordinal` the one handed out last, running the statement again
  // when the cursor stands at or behind it. False when there are fewer rows.
  bool MoveTo(int ordinal, std::vector<TVariant>& row, TVariant& rowId);
  // Ends the engine's read of a statement that stands in the middle of its
  // rows. The cursor then counts as past every row, so that the next MoveTo
  // runs the statement again instead of reading on from nowhere.
  void EndRead();

  int Position() const { return FPosition; }
  // The row handed out last was deleted: the rows after it move up a place.
  void RowRemoved() { --FPosition; }
  // The statement has handed out its last row.
  bool AtEnd() const { return FAtEnd; }
  // The connection's change count when the statement last ran from the
  // start; a later write may not show in the rows still to come.
  uint64_t Stamp() const { return FStamp; }

  // A second statement of the same text for scans (Locate, Lookup, counting
  // by reading), reset and ready for binding; prepared on first use.
  TProviderStatement& Spare();
  // After a scan stopped the spare statement on row `ordinal`, the spare
  // takes the cursor's place: its row goes into `row` and `rowId`, and the
  // cursor reads ahead from there.
  void AdoptSpare(int ordinal, std::vector<TVariant>& row, TVariant& rowId);

 private:
  void FillWindow();
  // The next row read ahead, reading on when none is; nullptr at the end.
  std::vector<TVariant>* Front();
  void PopFront(size_t bytes);
  void Load(const TProviderStatement& statement, std::vector<TVariant>& row, TVariant& rowId) const;
  void Restart(int position);

  TConnection* FConnection = nullptr;
  std::unique_ptr<TProviderStatement> FStatement;
  std::unique_ptr<TProviderStatement> FSpare;
  int FColumnOffset = 0;
  std::deque<std::vector<TVariant>> FWindow;  // rows read ahead, all columns
  size_t FWindowBytes = 0;
  bool FStatementDone = false;  // the statement has delivered its last row
  int FPosition = 0;
  bool FAtEnd = false;
  uint64_t FStamp = 0;
};

}  // namespace dk
