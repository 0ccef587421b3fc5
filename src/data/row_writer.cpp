#include "data/row_writer.h"

#include <algorithm>

#include "data/connection.h"
#include "data/field.h"
#include "sys/text.h"

namespace dk {

namespace {

const char* const kRowNotLocated =
    "Row cannot be located for updating. Some values may have been changed since it was last "
    "read.";

void BindAll(TProviderStatement& statement, const std::vector<TVariant>& values,
             TConnection& connection) {
  statement.Reset();
  try {
    for (size_t i = 0; i < values.size(); ++i) statement.Bind(static_cast<int>(i), values[i]);
  } catch (const EDatabaseError& e) {
    connection.RecordError(e);
    throw;
  }
}

// The one table the columns of `statement` come from; empty when they come
// from several or none.
std::string SingleBaseTable(const TProviderStatement& statement) {
  std::string table;
  for (int i = 0; i < statement.ColumnCount(); ++i) {
    const std::string& base = statement.Column(i).BaseTable;
    if (base.empty()) continue;
    if (table.empty())
      table = base;
    else if (!AsciiSameText(table, base))
      return {};
  }
  return table;
}

}  // namespace

void TRowWriter::Clear() {
  ReleaseStatements();
  FTable.clear();
  FColumns.clear();
  FKeyFields.clear();
  FUseRowId = false;
  FRowIdName.clear();
  FEngineNumberedField = -1;
}

void TRowWriter::ReleaseStatements() {
  FStatements.clear();
  FInsertStatement = nullptr;
  FInsertMask.clear();
}

void TRowWriter::Describe(TConnection& connection, std::unique_ptr<TProviderStatement>& statement) {
  Clear();
  std::string table = SingleBaseTable(*statement);
  if (table.empty()) return;
  TTableInfo info = connection.TableInfo(table);
  if (!info.Exists) return;
  FTable = info.Name;
  FColumns = info.Columns;
  FindKey(connection, info, statement);
  int offset = FUseRowId ? 1 : 0;
  for (int i = 0; i + offset < statement->ColumnCount(); ++i) {
    const TTableColumn* column = nullptr;
    if (WritesTo(statement->Column(i + offset), column) && column && column->EngineNumbered) {
      FEngineNumberedField = i;
      break;
    }
  }
}

void TRowWriter::FindKey(TConnection& connection, const TTableInfo& info,
                         std::unique_ptr<TProviderStatement>& statement) {
  std::vector<const TTableColumn*> key;
  for (const auto& c : info.Columns)
    if (c.KeyPosition > 0) key.push_back(&c);
  std::sort(key.begin(), key.end(), [](const TTableColumn* a, const TTableColumn* b) {
    return a->KeyPosition < b->KeyPosition;
  });
  std::vector<int> keyFields;
  for (const TTableColumn* c : key) {
    for (int i = 0; i < statement->ColumnCount(); ++i) {
      const TColumnInfo& col = statement->Column(i);
      if (AsciiSameText(col.BaseTable, info.Name) && AsciiSameText(col.BaseColumn, c->Name)) {
        keyFields.push_back(i);
        break;
      }
    }
  }
  if (!key.empty() && keyFields.size() == key.size()) {
    FKeyFields = std::move(keyFields);
    return;
  }
  if (info.RowIdName.empty()) return;
  std::unique_ptr<TProviderStatement> withId;
  try {
    withId = connection.Engine().PrepareWithRowId(statement->Sql(), info.Name);
  } catch (const EDatabaseError& e) {
    connection.RecordError(e);
    throw;
  }
  if (!withId) return;
  statement = std::move(withId);
  FUseRowId = true;
  FRowIdName = info.RowIdName;
}

bool TRowWriter::WritesTo(const TColumnInfo& result, const TTableColumn*& column) const {
  column = nullptr;
  if (FTable.empty() || result.BaseColumn.empty() || !AsciiSameText(result.BaseTable, FTable))
    return false;
  for (const TTableColumn& c : FColumns)
    if (AsciiSameText(c.Name, result.BaseColumn)) {
      column = &c;
      break;
    }
  return true;
}

bool TRowWriter::IsKey(int field) const {
  return std::find(FKeyFields.begin(), FKeyFields.end(), field) != FKeyFields.end();
}

TProviderStatement& TRowWriter::WriteStatement(TConnection& connection, const std::string& sql) {
  auto it = FStatements.find(sql);
  if (it != FStatements.end()) return *it->second;
  if (FStatements.size() >= kMaxWriteStatements) ReleaseStatements();
  std::unique_ptr<TProviderStatement> statement = connection.Prepare(sql);
  TProviderStatement& result = *statement;
  FStatements.emplace(sql, std::move(statement));
  return result;
}

TProviderStatement& TRowWriter::InsertStatement(TConnection& connection,
                                                const std::vector<char>& assigned) {
  if (FInsertStatement && FInsertMask == assigned) return *FInsertStatement;
  std::string columns, values;
  int k = 0;
  for (size_t i = 0; i < FFields.size(); ++i) {
    if (!assigned[i]) continue;
    if (k) {
      columns += ",";
      values += ",";
    }
    columns += connection.QuoteIdentifier(FFields[i]->Origin());
    values += ":p" + std::to_string(++k);
  }
  std::string sql = "INSERT INTO " + connection.QuoteIdentifier(FTable) +
                    (k ? " (" + columns + ") VALUES (" + values + ")" : " DEFAULT VALUES");
  FInsertStatement = &WriteStatement(connection, sql);
  FInsertMask = assigned;
  return *FInsertStatement;
}

void TRowWriter::Insert(TConnection& connection, std::vector<TVariant>& row,
                        const std::vector<char>& assigned, TVariant& rowId) {
  // RunWrite leaves the statement reset, ready for new values.
  TProviderStatement& statement = InsertStatement(connection, assigned);
  try {
    int k = 0;
    for (size_t i = 0; i < FFields.size(); ++i)
      if (assigned[i]) statement.Bind(k++, row[i]);
  } catch (const EDatabaseError& e) {
    connection.RecordError(e);
    throw;
  }
  // Only a row whose engine number nobody reads back may be sent later.
  const bool deferrable = !FUseRowId && FEngineNumberedField < 0;
  connection.RunWrite(statement, deferrable);
  if (deferrable) return;
  int64_t id = connection.Engine().LastInsertId();
  if (FUseRowId) rowId.SetInteger(id);
  if (FEngineNumberedField < 0) return;
  // The engine numbers a null as well as a left-out column; the row must
  // show that number, or an Edit of it would look for a null key.
  TVariant& numbered = row[static_cast<size_t>(FEngineNumberedField)];
  if (!assigned[static_cast<size_t>(FEngineNumberedField)] || numbered.IsNull())
    numbered.SetInteger(id);
}

std::string TRowWriter::RowCondition(TConnection& connection, const std::vector<TVariant>& values,
                                     const TVariant& rowId, const std::vector<int>& changedFields,
                                     int criteria, std::vector<TVariant>& binds) const {
  std::string where;
  auto add = [&](const std::string& column, const TVariant& value) {
    if (!where.empty()) where += " AND ";
    if (value.IsNull()) {
      where += column + " IS NULL";
    } else {
      binds.push_back(value);
      where += column + "=:p" + std::to_string(binds.size());
    }
  };
  auto addField = [&](size_t i) {
    add(connection.QuoteIdentifier(FFields[i]->Origin()), values[i]);
  };
  if (FUseRowId)
    add(FRowIdName, rowId);
  else
    for (int k : FKeyFields) addField(static_cast<size_t>(k));
  if (criteria == 1) {
    for (size_t i = 0; i < FFields.size(); ++i) {
      const TField& f = *FFields[i];
      if (f.ReadOnly() || IsKey(static_cast<int>(i)) || IsBlobType(f.DataType())) continue;
      addField(i);
    }
  } else if (criteria == 2) {
    for (int i : changedFields)
      if (!IsKey(i)) addField(static_cast<size_t>(i));
  }
  return where;
}

void TRowWriter::RunFindingRow(TConnection& connection, const std::string& sql,
                               const std::vector<TVariant>& binds) {
  TProviderStatement& statement = WriteStatement(connection, sql);
  BindAll(statement, binds, connection);
  if (connection.RunWrite(statement) == 0) {
    EDatabaseError error(kRowNotLocated);
    connection.RecordError(error);
    throw error;
  }
}

void TRowWriter::Lock(TConnection& connection, std::vector<TVariant>& row, const TVariant& rowId) {
  // The row as it is now, locked: what another connection wrote before the
  // lock is what the edit starts from.
  std::vector<size_t> read;
  std::string columns;
  for (size_t i = 0; i < FFields.size(); ++i) {
    const std::string& origin = FFields[i]->Origin();
    if (origin.empty()) continue;
    for (const TTableColumn& c : FColumns)
      if (AsciiSameText(c.Name, origin)) {
        columns += (read.empty() ? "" : ", ") + connection.QuoteIdentifier(origin);
        read.push_back(i);
        break;
      }
  }
  std::vector<TVariant> binds;
  const std::string sql = "SELECT " + (read.empty() ? std::string("1") : columns) + " FROM " +
                          connection.QuoteIdentifier(FTable) + " WHERE " +
                          RowCondition(connection, row, rowId, {}, 0, binds) + " FOR UPDATE";
  std::unique_ptr<TProviderStatement> statement = connection.Prepare(sql);
  BindAll(*statement, binds, connection);
  bool found = false;
  try {
    found = statement->Step();
  } catch (const EDatabaseError& e) {
    connection.RecordError(e);
    throw;
  }
  if (!found) {
    EDatabaseError error(kRowNotLocated);
    connection.RecordError(error);
    throw error;
  }
  for (size_t k = 0; k < read.size(); ++k) statement->ReadValue(static_cast<int>(k), row[read[k]]);
}

void TRowWriter::Update(TConnection& connection, const std::vector<TVariant>& original,
                        const std::vector<TVariant>& row, const std::vector<char>& assigned,
                        const TVariant& rowId, int criteria) {
  std::vector<int> changed;
  for (size_t i = 0; i < FFields.size(); ++i)
    if (assigned[i] && !(row[i] == original[i])) changed.push_back(static_cast<int>(i));
  if (changed.empty()) return;
  std::vector<TVariant> binds;
  std::string sql = "UPDATE " + connection.QuoteIdentifier(FTable) + " SET ";
  for (size_t k = 0; k < changed.size(); ++k) {
    size_t i = static_cast<size_t>(changed[k]);
    binds.push_back(row[i]);
    sql += (k ? "," : "") + connection.QuoteIdentifier(FFields[i]->Origin()) + "=:p" +
           std::to_string(binds.size());
  }
  sql += " WHERE " + RowCondition(connection, original, rowId, changed, criteria, binds);
  RunFindingRow(connection, sql, binds);
}

void TRowWriter::Delete(TConnection& connection, const std::vector<TVariant>& row,
                        const TVariant& rowId, int criteria) {
  std::vector<TVariant> binds;
  std::string sql = "DELETE FROM " + connection.QuoteIdentifier(FTable) + " WHERE " +
                    RowCondition(connection, row, rowId, {}, criteria, binds);
  RunFindingRow(connection, sql, binds);
}

}  // namespace dk
