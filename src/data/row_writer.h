// The row writer of a dataset: the INSERT, UPDATE and DELETE statements on
// the one table a dataset's columns come from.
//
// Rows are found again by the table's primary key or, when the statement does
// not deliver the whole key, by the engine's hidden row identity (SQLite's
// rowid), which the statement then delivers as an extra first column. The
// row condition adds the original values of columns by the update criteria
// (0 and 3 the key alone, 1 every column but blobs, 2 the changed columns),
// so that a write does not overwrite a change someone else made meanwhile;
// an update or delete that finds no row fails with "Row cannot be located
// for updating. Some values may have been changed since it was last read."
//
// The statements are prepared once per text and kept (at most
// kMaxWriteStatements); the INSERT of the same set of assigned columns is
// reused without building its text again, as a table copy appends thousands
// of rows that way.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/provider.h"
#include "sys/variant.h"

namespace dk {

class TConnection;
class TField;

// Write statements a dataset keeps prepared before it starts afresh.
constexpr size_t kMaxWriteStatements = 64;

class TRowWriter {
 public:
  using TFieldList = std::vector<std::unique_ptr<TField>>;

  // `fields` are the dataset's fields, in the order of its row values.
  explicit TRowWriter(const TFieldList& fields) : FFields(fields) {}
  TRowWriter(const TRowWriter&) = delete;
  TRowWriter& operator=(const TRowWriter&) = delete;

  // Forgets the table and frees the statements.
  void Clear();
  // Frees the prepared statements only (the connection closes).
  void ReleaseStatements();

  // Finds the table every column of the freshly prepared `statement` comes
  // from (none for a join or a statement without table columns) and how its
  // rows are found again. When that takes the row identity, `statement` is
  // replaced by one that delivers it as column 0; then UsesRowId().
  void Describe(TConnection& connection, std::unique_ptr<TProviderStatement>& statement);

  // The table written to; empty when the dataset cannot write.
  const std::string& Table() const { return FTable; }
  bool UsesRowId() const { return FUseRowId; }
  // Rows can be found again for an update or delete.
  bool CanFindRows() const { return !FKeyFields.empty() || FUseRowId; }
  // Whether a result column is one of the table's (so its field can be
  // written); `column` then points to the table's description of it, or is
  // nullptr when the table does not list it.
  bool WritesTo(const TColumnInfo& result, const TTableColumn*& column) const;

  // Inserts the assigned values of `row`. The engine's number of the new
  // row goes into `rowId` (with the row identity) and into an engine-numbered
  // field that was left out or assigned null.
  void Insert(TConnection& connection, std::vector<TVariant>& row,
              const std::vector<char>& assigned, TVariant& rowId);
  // Writes the assigned values of `row` that differ from `original`; nothing
  // when none does.
  void Update(TConnection& connection, const std::vector<TVariant>& original,
              const std::vector<TVariant>& row, const std::vector<char>& assigned,
              const TVariant& rowId, int criteria);
  void Delete(TConnection& connection, const std::vector<TVariant>& row, const TVariant& rowId,
              int criteria);
  // Takes the engine's lock on the row of `row` (by its key) for the open
  // transaction and reads its columns again into `row`, as they are now;
  // fails when another connection holds it past the command time-out, or
  // when the row is gone.
  void Lock(TConnection& connection, std::vector<TVariant>& row, const TVariant& rowId);

 private:
  // The WHERE clause that finds the row of `values`, whose parameters are
  // appended to `binds`.
  std::string RowCondition(TConnection& connection, const std::vector<TVariant>& values,
                           const TVariant& rowId, const std::vector<int>& changedFields,
                           int criteria, std::vector<TVariant>& binds) const;
  bool IsKey(int field) const;
  TProviderStatement& WriteStatement(TConnection& connection, const std::string& sql);
  TProviderStatement& InsertStatement(TConnection& connection, const std::vector<char>& assigned);
  void RunFindingRow(TConnection& connection, const std::string& sql,
                     const std::vector<TVariant>& binds);
  void FindKey(TConnection& connection, const TTableInfo& info,
               std::unique_ptr<TProviderStatement>& statement);

  const TFieldList& FFields;
  std::string FTable;
  std::vector<TTableColumn> FColumns;  // the table's columns
  std::vector<int> FKeyFields;
  bool FUseRowId = false;
  std::string FRowIdName;
  int FEngineNumberedField = -1;

  std::vector<char> FInsertMask;
  TProviderStatement* FInsertStatement = nullptr;
  std::unordered_map<std::string, std::unique_ptr<TProviderStatement>> FStatements;
};

}  // namespace dk
