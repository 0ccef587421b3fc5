#include "data/read_cursor.h"

#include <limits>
#include <utility>

#include "data/connection.h"

namespace dk {

namespace {

size_t RowBytes(const std::vector<TVariant>& row) {
  size_t bytes = 0;
  for (const TVariant& v : row) {
    bytes += sizeof(TVariant);
    if (v.Type() == TVarType::Text) bytes += v.Text().size();
    if (v.Type() == TVarType::Bytes) bytes += v.BytesData().size();
  }
  return bytes;
}

}  // namespace

bool StepRecorded(TProviderStatement& statement, TConnection* connection) {
  try {
    return statement.Step();
  } catch (const EDatabaseError& e) {
    statement.Reset();
    if (connection) connection->RecordError(e);
    throw;
  }
}

void TReadCursor::Attach(TConnection& connection, std::unique_ptr<TProviderStatement> statement,
                         bool rowIdColumn) {
  Release();
  FConnection = &connection;
  FStatement = std::move(statement);
  FColumnOffset = rowIdColumn ? 1 : 0;
  Rerun();
}

void TReadCursor::Release() {
  FWindow.clear();
  FWindowBytes = 0;
  FStatement.reset();
  FSpare.reset();
}

void TReadCursor::Restart(int position) {
  FWindow.clear();
  FWindowBytes = 0;
  FStatementDone = false;
  FPosition = position;
  FAtEnd = false;
  FStamp = FConnection->ChangeCount();
}

void TReadCursor::Rerun() {
  FStatement->Reset();
  Restart(0);
}

void TReadCursor::FillWindow() {
  size_t columns = static_cast<size_t>(FStatement->ColumnCount());
  while (!FStatementDone && FWindow.size() < kReadAheadRows &&
         (FWindow.empty() || FWindowBytes < kReadAheadBytes)) {
    if (!StepRecorded(*FStatement, FConnection)) {
      // Reset ends the engine's read of the statement (and its read lock).
      FStatement->Reset();
      FStatementDone = true;
      break;
    }
    std::vector<TVariant> row(columns);
    for (size_t c = 0; c < columns; ++c) FStatement->ReadValue(static_cast<int>(c), row[c]);
    FWindowBytes += RowBytes(row);
    FWindow.push_back(std::move(row));
  }
}

std::vector<TVariant>* TReadCursor::Front() {
  if (FWindow.empty()) FillWindow();
  if (FWindow.empty()) {
    FAtEnd = true;
    return nullptr;
  }
  return &FWindow.front();
}

void TReadCursor::PopFront(size_t bytes) {
  FWindowBytes -= bytes;
  FWindow.pop_front();
  ++FPosition;
}

bool TReadCursor::SkipRow() {
  std::vector<TVariant>* next = Front();
  if (!next) return false;
  PopFront(RowBytes(*next));
  return true;
}

bool TReadCursor::TakeRow(std::vector<TVariant>& row, TVariant& rowId) {
  std::vector<TVariant>* next = Front();
  if (!next) return false;
  size_t bytes = RowBytes(*next);  // before its values are moved out
  size_t offset = static_cast<size_t>(FColumnOffset);
  for (size_t i = 0; i < row.size(); ++i) row[i] = std::move((*next)[i + offset]);
  if (offset)
    rowId = std::move((*next)[0]);
  else
    rowId.SetNull();
  PopFront(bytes);
  return true;
}

bool TReadCursor::MoveTo(int ordinal, std::vector<TVariant>& row, TVariant& rowId) {
  if (FAtEnd && ordinal > FPosition) return false;
  if (FPosition >= ordinal || FAtEnd) Rerun();
  while (FPosition < ordinal - 1)
    if (!SkipRow()) return false;
  return TakeRow(row, rowId);
}

void TReadCursor::EndRead() {
  if (!FStatement || FStatementDone || FAtEnd) return;
  FStatement->Reset();
  FWindow.clear();
  FWindowBytes = 0;
  FPosition = std::numeric_limits<int>::max();
}

TProviderStatement& TReadCursor::Spare() {
  if (!FSpare) FSpare = FConnection->Prepare(FStatement->Sql());
  FSpare->Reset();
  return *FSpare;
}

void TReadCursor::AdoptSpare(int ordinal, std::vector<TVariant>& row, TVariant& rowId) {
  std::swap(FStatement, FSpare);
  FSpare->Reset();
  Restart(ordinal);
  Load(*FStatement, row, rowId);
  FillWindow();
}

void TReadCursor::Load(const TProviderStatement& statement, std::vector<TVariant>& row,
                       TVariant& rowId) const {
  for (size_t i = 0; i < row.size(); ++i)
    statement.ReadValue(static_cast<int>(i) + FColumnOffset, row[i]);
  if (FColumnOffset)
    statement.ReadValue(0, rowId);
  else
    rowId.SetNull();
}

}  // namespace dk
