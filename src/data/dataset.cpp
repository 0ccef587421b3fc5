#include "data/dataset.h"

#include <algorithm>
#include <limits>

#include "sys/text.h"

namespace dk {

namespace {

const char* const kClosed = "Cannot perform this operation on a closed dataset";
const char* const kOpen = "Cannot perform this operation on an open dataset";
const char* const kNotEditing = "Dataset not in edit or insert mode";
const char* const kEmpty = "Cannot perform this operation on an empty dataset";
const char* const kReadOnly = "Cannot modify a read-only dataset";
const char* const kNoResultSet = "CommandText does not return a result set";
const char* const kNoConnection = "Missing Connection or ConnectionString";
const char* const kRowNotLocated =
    "Row cannot be located for updating. Some values may have been changed since it was last "
    "read.";
const char* const kNoKey = "Insufficient key column information for updating or refreshing.";
const char* const kUnknownProperty =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";

// Table and column names are ASCII; this comparison needs no allocation.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::vector<std::string> SplitNames(std::string_view names) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string name = Trim(names.substr(start, end - start));
    if (!name.empty()) result.push_back(std::move(name));
    start = end + 1;
  }
  return result;
}

bool TextMatches(const std::string& value, const std::string& wanted, TLocateOptions options) {
  bool partial = options & loPartialKey;
  if (options & loCaseInsensitive) {
    if (!partial) return SameText(value, wanted);
    std::string v = AnsiUpperCase(value), w = AnsiUpperCase(wanted);
    return v.compare(0, w.size(), w) == 0;
  }
  return partial ? value.compare(0, wanted.size(), wanted) == 0 : value == wanted;
}

// Whether a stored value equals the wanted one, compared the way the
// column's type reads it.
bool ValueMatches(TFieldType type, const TVariant& raw, const TVariant& wanted,
                  TLocateOptions options) {
  if (wanted.IsNull()) return raw.IsNull();
  if (raw.IsNull()) return false;
  try {
    if (type == ftUnknown) {
      bool rawNumber = raw.Type() == TVarType::Integer || raw.Type() == TVarType::Float;
      bool wantedNumber = wanted.Type() == TVarType::Integer || wanted.Type() == TVarType::Float;
      if (rawNumber && wantedNumber)
        return ValueAsFloat(type, raw, {}) == ValueAsFloat(type, wanted, {});
      return TextMatches(raw.ToString(), wanted.ToString(), options);
    }
    TVariant w = ValueForColumn(type, wanted, {});
    if (w.IsNull()) return false;
    if (IsTextType(type)) return TextMatches(ValueAsString(type, raw), w.Text(), options);
    if (IsIntegerType(type)) return ValueAsLargeInt(type, raw, {}) == w.Integer();
    if (IsFloatType(type)) return ValueAsFloat(type, raw, {}) == w.Float();
    if (type == ftBoolean) return ValueAsBoolean(type, raw) == w.Boolean();
    if (IsDateTimeType(type)) return ValueAsDateTime(type, raw, {}) == w.DateTime();
    if (IsBlobType(type))
      return (raw.Type() == TVarType::Bytes ? raw.BytesData() : raw.ToString()) == w.BytesData();
    return raw.ToString() == w.ToString();
  } catch (const EDatabaseError&) {
    return false;  // a value that cannot be read as the column's type matches nothing
  }
}

bool StepRecorded(TProviderStatement& statement, TConnection* connection) {
  try {
    return statement.Step();
  } catch (const EDatabaseError& e) {
    statement.Reset();
    if (connection) connection->RecordError(e);
    throw;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TDataSource

TDataSource::TDataSource(TDataSet* dataSet) {
  SetDataSet(dataSet);
}

TDataSource::~TDataSource() {
  SetDataSet(nullptr);
  for (TDataSet* detail : FDetails) detail->FMasterSource = nullptr;
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == FDataSet) return;
  if (FDataSet) {
    auto& list = FDataSet->FDataSources;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FDataSet = dataSet;
  if (FDataSet) FDataSet->FDataSources.push_back(this);
}

void TDataSource::DataChanged() {
  if (OnDataChange) OnDataChange(*this);
  std::vector<TDataSet*> details = FDetails;
  for (TDataSet* detail : details) detail->MasterChanged();
}

void TDataSource::FieldChanged(const TField& field) {
  std::vector<TDataSet*> details = FDetails;
  for (TDataSet* detail : details) detail->MasterFieldChanged(field);
}

// ---------------------------------------------------------------------------
// TDataSet: life cycle

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  // No events here: the handlers' owners may be gone already.
  FCursor.reset();
  FSpare.reset();
  FWriteCache.clear();
  if (FConnection) FConnection->UnregisterDataSet(this);
  if (FMasterSource) {
    auto& list = FMasterSource->FDetails;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  for (TDataSource* source : FDataSources) source->FDataSet = nullptr;
}

void TDataSet::SetConnection(TConnection* connection) {
  if (connection == FConnection) return;
  Close();
  ReleaseStatements();
  if (FConnection) FConnection->UnregisterDataSet(this);
  FConnection = connection;
  if (FConnection) FConnection->RegisterDataSet(this);
}

TConnection& TDataSet::CheckConnection() {
  if (!FConnection) throw EDatabaseError(kNoConnection);
  if (!FConnection->Connected()) FConnection->Open();
  return *FConnection;
}

void TDataSet::CheckActive() const {
  if (FState == dsInactive) throw EDatabaseError(kClosed);
}

void TDataSet::CheckInactive() const {
  if (FState != dsInactive) throw EDatabaseError(kOpen);
}

void TDataSet::ReleaseStatements() {
  FWindow.clear();
  FWindowBytes = 0;
  FCursor.reset();
  FSpare.reset();
  FWriteCache.clear();
  FInsertStatement = nullptr;
  FInsertMask.clear();
}

TVariant TDataSet::RecordsetProperty(std::string_view name) const {
  if (SameName(Trim(name), "Update Criteria")) return TVariant(FUpdateCriteria);
  throw EDatabaseError(kUnknownProperty);
}

void TDataSet::SetRecordsetProperty(std::string_view name, const TVariant& value) {
  if (!SameName(Trim(name), "Update Criteria")) throw EDatabaseError(kUnknownProperty);
  int64_t v = ValueAsLargeInt(ftInteger, value, name);
  if (v < 0 || v > 3) throw EDatabaseError("\"Update Criteria\" takes the values 0 to 3");
  FUpdateCriteria = static_cast<int>(v);
}

bool TDataSet::CanModify() const {
  return Active() && FLockType != ltReadOnly && !FUpdateTable.empty();
}

void TDataSet::Open() {
  if (Active()) return;
  Fire(BeforeOpen);
  CheckConnection();
  try {
    OpenCursor();
  } catch (...) {
    ReleaseStatements();
    FFields.clear();
    FBuffer.clear();
    FAssigned.clear();
    SetEmpty();
    throw;
  }
  FState = dsBrowse;
  Fire(AfterOpen);
  if (FHasRow) Fire(AfterScroll);
  DataChanged();
}

void TDataSet::Close() {
  if (!Active()) return;
  Fire(BeforeClose);
  FWindow.clear();
  FWindowBytes = 0;
  FCursor.reset();
  FSpare.reset();
  FWriteCache.clear();
  FInsertStatement = nullptr;
  FInsertMask.clear();
  FFields.clear();
  FBuffer.clear();
  FOriginal.clear();
  FAssigned.clear();
  FSavedBuffer.clear();
  FModified = false;
  FState = dsInactive;
  FHasRow = false;
  FRecNo = 0;
  FEof = FBof = true;
  FUpdateTable.clear();
  FKeyFields.clear();
  Fire(AfterClose);
}

void TDataSet::OpenCursor() {
  TConnection& conn = *FConnection;
  FCommand = BuildCommand();
  FUpdateCriteria = 2;
  ReleaseStatements();
  FColumnOffset = 0;
  FUpdateTable.clear();
  FKeyFields.clear();
  FUseRowId = false;
  FRowIdName.clear();
  FEngineNumberedField = -1;
  FNoKeyReason.clear();
  FRecordCount = -1;

  std::unique_ptr<TProviderStatement> statement = conn.Prepare(FCommand.Sql);
  if (!statement->ReturnsRows()) throw EDatabaseError(kNoResultSet);

  // The dataset writes to the one table all its columns come from.
  std::string table;
  bool singleTable = true;
  for (int i = 0; i < statement->ColumnCount(); ++i) {
    const std::string& base = statement->Column(i).BaseTable;
    if (base.empty()) continue;
    if (table.empty())
      table = base;
    else if (!SameName(table, base))
      singleTable = false;
  }
  TTableInfo info;
  if (!table.empty() && singleTable) info = conn.TableInfo(table);
  if (info.Exists) {
    FUpdateTable = info.Name;
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
        if (SameName(col.BaseTable, info.Name) && SameName(col.BaseColumn, c->Name)) {
          keyFields.push_back(i);
          break;
        }
      }
    }
    if (!key.empty() && keyFields.size() == key.size()) {
      FKeyFields = std::move(keyFields);
    } else if (!info.RowIdName.empty()) {
      std::unique_ptr<TProviderStatement> withId;
      try {
        withId = conn.Engine().PrepareWithRowId(FCommand.Sql, info.Name);
      } catch (const EDatabaseError& e) {
        conn.RecordError(e);
        throw;
      }
      if (withId) {
        statement = std::move(withId);
        FColumnOffset = 1;
        FUseRowId = true;
        FRowIdName = info.RowIdName;
      }
    }
    if (FKeyFields.empty() && !FUseRowId) FNoKeyReason = kNoKey;
  }

  int count = statement->ColumnCount() - FColumnOffset;
  FFields.clear();
  FFields.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const TColumnInfo& col = statement->Column(i + FColumnOffset);
    auto field = std::make_unique<TField>(*this, i, col.Name, col.DataType, col.Size);
    field->FOrigin = col.BaseColumn;
    bool ours =
        !FUpdateTable.empty() && !col.BaseColumn.empty() && SameName(col.BaseTable, FUpdateTable);
    field->FReadOnly = !ours;
    if (ours) {
      for (const auto& c : info.Columns) {
        if (!SameName(c.Name, col.BaseColumn)) continue;
        field->FRequired = c.NotNull && !c.HasDefault && !c.EngineNumbered;
        if (c.EngineNumbered && FEngineNumberedField < 0) FEngineNumberedField = i;
        break;
      }
    }
    FFields.push_back(std::move(field));
  }
  FBuffer.assign(static_cast<size_t>(count), TVariant());
  FAssigned.assign(static_cast<size_t>(count), 0);
  FOriginal.clear();
  FRowId.SetNull();
  FModified = false;

  BindCommand(*statement);
  FCursor = std::move(statement);
  RerunCursor();
  FHasRow = false;
  if (GoToRow(1)) {
    FEof = false;
    FBof = true;
  } else {
    SetEmpty();
  }
}

void TDataSet::BindCommand(TProviderStatement& statement) const {
  int count = statement.ParamCount();
  for (int p = 0; p < count; ++p) {
    std::string name = statement.ParamName(p);
    const TVariant* value = nullptr;
    if (!name.empty()) {
      for (const auto& param : FCommand.Params)
        if (SameName(param.first, name)) {
          value = &param.second;
          break;
        }
    } else if (static_cast<size_t>(p) < FCommand.Params.size()) {
      value = &FCommand.Params[static_cast<size_t>(p)].second;
    }
    try {
      statement.Bind(p, value ? *value : TVariant());
    } catch (const EDatabaseError& e) {
      if (FConnection) FConnection->RecordError(e);
      throw;
    }
  }
}

// ---------------------------------------------------------------------------
// Cursor and navigation

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

void TDataSet::RerunCursor() {
  FCursor->Reset();
  FWindow.clear();
  FWindowBytes = 0;
  FStatementDone = false;
  FCursorPos = 0;
  FCursorAtEnd = false;
  FCursorStamp = FConnection->ChangeCount();
}

void TDataSet::FillWindow() {
  size_t columns = FBuffer.size() + static_cast<size_t>(FColumnOffset);
  while (!FStatementDone && FWindow.size() < kReadAheadRows &&
         (FWindow.empty() || FWindowBytes < kReadAheadBytes)) {
    if (!StepRecorded(*FCursor, FConnection)) {
      // Reset ends the engine's read of the statement (and its read lock).
      FCursor->Reset();
      FStatementDone = true;
      break;
    }
    std::vector<TVariant> row(columns);
    for (size_t c = 0; c < columns; ++c) FCursor->ReadValue(static_cast<int>(c), row[c]);
    FWindowBytes += RowBytes(row);
    FWindow.push_back(std::move(row));
  }
}

void TDataSet::EndRead() {
  if (!FCursor || FStatementDone || FCursorAtEnd) return;
  FCursor->Reset();
  FWindow.clear();
  FWindowBytes = 0;
  // A position past every row: the next move (GoToRow) runs the statement
  // again instead of reading on from a cursor that no longer stands there.
  FCursorPos = std::numeric_limits<int>::max();
}

bool TDataSet::TakeRow(bool load) {
  if (FWindow.empty()) FillWindow();
  if (FWindow.empty()) {
    FCursorAtEnd = true;
    return false;
  }
  std::vector<TVariant>& row = FWindow.front();
  FWindowBytes -= RowBytes(row);
  if (load) {
    size_t offset = static_cast<size_t>(FColumnOffset);
    for (size_t i = 0; i < FBuffer.size(); ++i) FBuffer[i] = std::move(row[i + offset]);
    if (offset)
      FRowId = std::move(row[0]);
    else
      FRowId.SetNull();
  }
  FWindow.pop_front();
  ++FCursorPos;
  return true;
}

bool TDataSet::GoToRow(int ordinal) {
  if (ordinal <= 0) return false;
  if (FHasRow && FRowFromCursor && FRecNo == ordinal && FCursorPos == ordinal) return true;
  if (FCursorAtEnd && ordinal > FCursorPos) return false;
  if (FCursorPos >= ordinal || FCursorAtEnd) RerunCursor();
  while (FCursorPos < ordinal - 1)
    if (!TakeRow(false)) return false;
  if (!TakeRow(true)) return false;
  FRecNo = ordinal;
  FHasRow = true;
  FRowFromCursor = true;
  return true;
}

void TDataSet::LoadFromStatement(const TProviderStatement& statement) {
  for (size_t i = 0; i < FBuffer.size(); ++i)
    statement.ReadValue(static_cast<int>(i) + FColumnOffset, FBuffer[i]);
  if (FColumnOffset)
    statement.ReadValue(0, FRowId);
  else
    FRowId.SetNull();
}

void TDataSet::SetEmpty() {
  FHasRow = false;
  FRowFromCursor = false;
  FRecNo = 0;
  FEof = FBof = true;
  for (auto& v : FBuffer) v.SetNull();
  FRowId.SetNull();
}

void TDataSet::First() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  // Something written since the statement ran shows up in a fresh run.
  if (FCursorStamp != FConnection->ChangeCount()) RerunCursor();
  if (GoToRow(1))
    FEof = false;
  else
    SetEmpty();
  FBof = true;
  Fire(AfterScroll);
  DataChanged();
}

void TDataSet::Next() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  if (FEof) return;
  if (!FHasRow) {
    FEof = true;
    return;
  }
  bool moved;
  if (FCursorPos == FRecNo) {
    // The cursor stands at the current row (or, for an appended row, at the
    // row it was appended after).
    moved = TakeRow(true);
    if (moved) {
      ++FRecNo;
      FRowFromCursor = true;
    }
  } else {
    moved = GoToRow(FRecNo + 1);
  }
  if (moved)
    FBof = false;
  else
    FEof = true;
  Fire(AfterScroll);
  DataChanged();
}

void TDataSet::Prior() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  if (FBof) return;
  int target = FRowFromCursor ? FRecNo - 1 : FRecNo;
  if (target >= 1 && GoToRow(target))
    FEof = false;
  else
    FBof = true;
  Fire(AfterScroll);
  DataChanged();
}

void TDataSet::Last() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  bool any = FHasRow && FRowFromCursor && FCursorPos == FRecNo;
  if (!any) {
    RerunCursor();
    any = TakeRow(true);
  }
  if (any) {
    while (TakeRow(true)) {
    }
    FRecNo = FCursorPos;
    FHasRow = true;
    FRowFromCursor = true;
    FEof = true;
    FBof = false;
  } else {
    SetEmpty();
  }
  Fire(AfterScroll);
  DataChanged();
}

int TDataSet::MoveBy(int distance) {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  int moved = 0;
  if (distance > 0 && !FEof && FHasRow) {
    while (moved < distance) {
      bool ok = FCursorPos == FRecNo ? TakeRow(true) : GoToRow(FRecNo + 1);
      if (!ok) {
        FEof = true;
        break;
      }
      if (FCursorPos != FRecNo) ++FRecNo;
      FRowFromCursor = true;
      ++moved;
    }
    if (moved > 0) FBof = false;
  } else if (distance < 0 && !FBof && FHasRow) {
    int from = FRowFromCursor ? FRecNo : FRecNo + 1;
    int target = std::max(1, from + distance);
    if (target < from && GoToRow(target)) {
      moved = target - from;
      FEof = false;
    }
    if (from + distance < 1) FBof = true;
  }
  Fire(AfterScroll);
  DataChanged();
  return moved;
}

int TDataSet::RecordCount() {
  CheckActive();
  if (FRecordCount >= 0 && FRecordCountStamp == FConnection->ChangeCount()) return FRecordCount;
  std::string sql = FCommand.Sql;
  while (!sql.empty() && (static_cast<unsigned char>(sql.back()) <= ' ' || sql.back() == ';'))
    sql.pop_back();
  int64_t count = -1;
  try {
    // The line breaks keep a trailing comment of the statement from hiding
    // the closing parenthesis.
    auto statement =
        FConnection->Engine().Prepare("SELECT COUNT(*) FROM (\n" + sql + "\n) AS dk_count");
    BindCommand(*statement);
    TVariant v;
    if (statement->Step()) statement->ReadValue(0, v);
    if (v.Type() == TVarType::Integer) count = v.Integer();
  } catch (const EDatabaseError&) {
    count = -1;  // not every statement can be a subquery; count by reading
  }
  if (count < 0) {
    TProviderStatement& spare = Spare();
    count = 0;
    while (StepRecorded(spare, FConnection)) ++count;
    spare.Reset();
  }
  FRecordCount = static_cast<int>(count);
  FRecordCountStamp = FConnection->ChangeCount();
  return FRecordCount;
}

void TDataSet::Requery() {
  CheckActive();
  CheckBrowseMode();
  TCommand command = BuildCommand();
  if (command.Sql != FCommand.Sql) {
    Close();
    Open();
    return;
  }
  FCommand = std::move(command);
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  RerunCursor();
  BindCommand(*FCursor);
  FRecordCount = -1;
  FHasRow = false;
  if (GoToRow(1))
    FEof = false;
  else
    SetEmpty();
  FBof = true;
  Fire(AfterScroll);
  DataChanged();
}

// ---------------------------------------------------------------------------
// Fields

TField& TDataSet::Fields(int index) const {
  if (index < 0 || index >= FieldCount())
    throw EDatabaseError("List index out of bounds (" + std::to_string(index) + ")");
  return *FFields[static_cast<size_t>(index)];
}

TField* TDataSet::FindField(std::string_view name) const {
  for (const auto& field : FFields)
    if (SameName(field->FieldName(), name)) return field.get();
  return nullptr;
}

TField& TDataSet::FieldByName(std::string_view name) const {
  TField* field = FindField(name);
  if (!field)
    throw EDatabaseError((FName.empty() ? std::string() : FName + ": ") + "Field '" +
                         std::string(name) + "' not found");
  return *field;
}

void TDataSet::GetFieldNames(TStringList& list) const {
  list.Clear();
  for (const auto& field : FFields) list.Add(field->FieldName());
}

std::vector<int> TDataSet::ResolveFields(std::string_view names) const {
  std::vector<int> result;
  for (const std::string& name : SplitNames(names)) result.push_back(FieldByName(name).Index());
  if (result.empty()) throw EDatabaseError("Field '' not found");
  return result;
}

void TDataSet::CheckEditing(const TField& field) const {
  if (FState != dsEdit && FState != dsInsert) throw EDatabaseError(kNotEditing);
  if (field.FReadOnly) throw EDatabaseError("Field '" + field.FieldName() + "' cannot be modified");
}

void TDataSet::CheckCanWrite(bool update) const {
  if (FLockType == ltReadOnly || FUpdateTable.empty()) throw EDatabaseError(kReadOnly);
  if (update && FKeyFields.empty() && !FUseRowId) throw EDatabaseError(FNoKeyReason);
}

void TDataSet::FieldChanged(const TField& field) {
  if (FDataSources.empty()) return;
  std::vector<TDataSource*> sources = FDataSources;
  for (TDataSource* source : sources) source->FieldChanged(field);
}

void TDataSet::DataChanged() {
  if (FDataSources.empty()) return;
  std::vector<TDataSource*> sources = FDataSources;
  for (TDataSource* source : sources) source->DataChanged();
}

// ---------------------------------------------------------------------------
// Editing

void TDataSet::CheckBrowseMode() {
  CheckActive();
  if (FState == dsEdit || FState == dsInsert) {
    if (FModified)
      Post();
    else
      Cancel();
  }
}

void TDataSet::Append() {
  CheckActive();
  CheckBrowseMode();
  CheckCanWrite(false);
  Fire(BeforeInsert);
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  // The browse row waits in FSavedBuffer for a Cancel; swapping keeps both
  // buffers' storage (appending rows is the table copy's hot path).
  std::swap(FSavedBuffer, FBuffer);
  FBuffer.resize(FSavedBuffer.size());
  FSavedRowId = FRowId;
  FSavedHasRow = FHasRow;
  FSavedEof = FEof;
  FSavedBof = FBof;
  FSavedFromCursor = FRowFromCursor;
  for (auto& v : FBuffer) v.SetNull();
  FRowId.SetNull();
  std::fill(FAssigned.begin(), FAssigned.end(), 0);
  FState = dsInsert;
  try {
    TDataSet* master = FMasterSource ? FMasterSource->DataSet() : nullptr;
    if (master && master->Active()) {
      for (const auto& [detailName, masterName] : MasterLinks()) {
        TField* detail = FindField(detailName);
        TField* source = master->FindField(masterName);
        if (detail && source && !detail->ReadOnly()) detail->Assign(*source);
      }
    }
    Fire(OnNewRecord);
  } catch (...) {
    std::swap(FBuffer, FSavedBuffer);
    FRowId = FSavedRowId;
    FState = dsBrowse;
    FModified = false;
    throw;
  }
  FModified = false;
  Fire(AfterInsert);
  Fire(AfterScroll);
  DataChanged();
}

void TDataSet::Edit() {
  CheckActive();
  if (FState == dsEdit || FState == dsInsert) return;
  if (!FHasRow) {
    Append();
    return;
  }
  CheckCanWrite(true);
  Fire(BeforeEdit);
  CheckActive();
  if (!FHasRow) throw EDatabaseError(kEmpty);
  FOriginal = FBuffer;
  std::fill(FAssigned.begin(), FAssigned.end(), 0);
  FModified = false;
  FState = dsEdit;
  Fire(AfterEdit);
}

void TDataSet::Post() {
  CheckActive();
  if (FState != dsEdit && FState != dsInsert) return;
  Fire(BeforePost);
  // A handler that cancelled the row (or closed the dataset) leaves nothing
  // to write.
  if (FState != dsEdit && FState != dsInsert) return;
  bool inserting = FState == dsInsert;
  RunOperation(inserting ? &TDataSet::InternalInsert : &TDataSet::InternalUpdate, OnPostError);
  FState = dsBrowse;
  FOriginal.clear();
  FModified = false;
  if (inserting) {
    FHasRow = true;
    FRowFromCursor = false;
    FEof = false;
    FBof = false;
  }
  Fire(AfterPost);
  DataChanged();
}

void TDataSet::Cancel() {
  CheckActive();
  if (FState == dsEdit) {
    Fire(BeforeCancel);
    FBuffer = FOriginal;
    FOriginal.clear();
  } else if (FState == dsInsert) {
    Fire(BeforeCancel);
    std::swap(FBuffer, FSavedBuffer);
    FRowId = FSavedRowId;
    FHasRow = FSavedHasRow;
    FEof = FSavedEof;
    FBof = FSavedBof;
    FRowFromCursor = FSavedFromCursor;
  } else {
    return;
  }
  FState = dsBrowse;
  FModified = false;
  Fire(AfterCancel);
  DataChanged();
}

void TDataSet::Delete() {
  CheckActive();
  if (FState == dsInsert) {
    Cancel();
    return;
  }
  if (!FHasRow) throw EDatabaseError(kEmpty);
  CheckCanWrite(true);
  Fire(BeforeDelete);
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  if (!FHasRow) throw EDatabaseError(kEmpty);
  RunOperation(&TDataSet::InternalDelete, OnDeleteError);
  FState = dsBrowse;
  FOriginal.clear();
  FModified = false;
  RepositionAfterDelete();
  Fire(AfterDelete);
  Fire(AfterScroll);
  DataChanged();
}

void TDataSet::RepositionAfterDelete() {
  if (FRowFromCursor) {
    // The row after the deleted one takes the deleted row's position.
    if (FCursorPos == FRecNo) {
      if (TakeRow(true)) {
        FCursorPos = FRecNo;
        FEof = false;
        return;
      }
    } else {
      FHasRow = false;
      if (GoToRow(FRecNo)) {
        FEof = false;
        return;
      }
    }
    FHasRow = false;
    if (FRecNo > 1 && GoToRow(FRecNo - 1)) {
      FEof = true;
      return;
    }
  } else {
    // An appended row: go on with the row the cursor holds after it, else
    // the row it was appended after.
    if (FCursorPos == FRecNo && TakeRow(true)) {
      ++FRecNo;
      FRowFromCursor = true;
      FEof = false;
      return;
    }
    FHasRow = false;
    if (FRecNo >= 1 && GoToRow(FRecNo)) {
      FEof = true;
      return;
    }
  }
  SetEmpty();
}

void TDataSet::RunOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& handler) {
  int retries = 0;
  for (;;) {
    try {
      (this->*operation)();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (handler) handler(*this, e, action);
      if (action == daRetry && retries++ < kMaxPostRetries) continue;
      if (action == daAbort) throw EAbort();
      throw;
    }
  }
}

TProviderStatement& TDataSet::WriteStatement(const std::string& sql) {
  auto it = FWriteCache.find(sql);
  if (it != FWriteCache.end()) return *it->second;
  if (FWriteCache.size() >= 64) {
    FWriteCache.clear();
    FInsertStatement = nullptr;
    FInsertMask.clear();
  }
  std::unique_ptr<TProviderStatement> statement = FConnection->Prepare(sql);
  TProviderStatement& result = *statement;
  FWriteCache.emplace(sql, std::move(statement));
  return result;
}

namespace {

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

}  // namespace

void TDataSet::InternalInsert() {
  // A post-error handler may have cancelled the row before asking to retry.
  if (FState != dsInsert) throw EDatabaseError(kNotEditing);
  TConnection& conn = *FConnection;
  if (!FInsertStatement || FInsertMask != FAssigned) {
    std::string columns, values;
    int k = 0;
    for (size_t i = 0; i < FFields.size(); ++i) {
      if (!FAssigned[i]) continue;
      if (k) {
        columns += ",";
        values += ",";
      }
      columns += conn.QuoteIdentifier(FFields[i]->Origin());
      values += ":p" + std::to_string(++k);
    }
    std::string sql = "INSERT INTO " + conn.QuoteIdentifier(FUpdateTable) +
                      (k ? " (" + columns + ") VALUES (" + values + ")" : " DEFAULT VALUES");
    FInsertStatement = &WriteStatement(sql);
    FInsertMask = FAssigned;
  }
  // RunWrite leaves the statement reset, ready for new values.
  TProviderStatement& statement = *FInsertStatement;
  try {
    int k = 0;
    for (size_t i = 0; i < FFields.size(); ++i)
      if (FAssigned[i]) statement.Bind(k++, FBuffer[i]);
  } catch (const EDatabaseError& e) {
    conn.RecordError(e);
    throw;
  }
  conn.RunWrite(statement);
  if (FUseRowId || FEngineNumberedField >= 0) {
    int64_t id = conn.Engine().LastInsertId();
    if (FUseRowId) FRowId.SetInteger(id);
    size_t f = static_cast<size_t>(FEngineNumberedField);
    if (FEngineNumberedField >= 0 && !FAssigned[f]) FBuffer[f].SetInteger(id);
  }
}

std::string TDataSet::RowCondition(const std::vector<TVariant>& values,
                                   const std::vector<int>& changedFields, bool allColumns,
                                   std::vector<TVariant>& binds) const {
  TConnection& conn = *FConnection;
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
  if (FUseRowId) {
    add(FRowIdName, FRowId);
  } else {
    for (int k : FKeyFields)
      add(conn.QuoteIdentifier(FFields[static_cast<size_t>(k)]->Origin()),
          values[static_cast<size_t>(k)]);
  }
  auto isKey = [&](int i) {
    return std::find(FKeyFields.begin(), FKeyFields.end(), i) != FKeyFields.end();
  };
  if (allColumns) {
    for (size_t i = 0; i < FFields.size(); ++i) {
      const TField& f = *FFields[i];
      if (f.ReadOnly() || isKey(static_cast<int>(i)) || IsBlobType(f.DataType())) continue;
      add(conn.QuoteIdentifier(f.Origin()), values[i]);
    }
  } else if (FUpdateCriteria == 2) {
    for (int i : changedFields) {
      if (isKey(i)) continue;
      add(conn.QuoteIdentifier(FFields[static_cast<size_t>(i)]->Origin()),
          values[static_cast<size_t>(i)]);
    }
  }
  return where;
}

void TDataSet::InternalUpdate() {
  if (FState != dsEdit || FOriginal.size() != FBuffer.size()) throw EDatabaseError(kNotEditing);
  TConnection& conn = *FConnection;
  std::vector<int> changed;
  for (size_t i = 0; i < FFields.size(); ++i)
    if (FAssigned[i] && !(FBuffer[i] == FOriginal[i])) changed.push_back(static_cast<int>(i));
  if (changed.empty()) return;
  std::vector<TVariant> binds;
  std::string sql = "UPDATE " + conn.QuoteIdentifier(FUpdateTable) + " SET ";
  for (size_t k = 0; k < changed.size(); ++k) {
    size_t i = static_cast<size_t>(changed[k]);
    binds.push_back(FBuffer[i]);
    sql += (k ? "," : "") + conn.QuoteIdentifier(FFields[i]->Origin()) + "=:p" +
           std::to_string(binds.size());
  }
  sql += " WHERE " + RowCondition(FOriginal, changed, FUpdateCriteria == 1, binds);
  TProviderStatement& statement = WriteStatement(sql);
  BindAll(statement, binds, conn);
  if (conn.RunWrite(statement) == 0) {
    EDatabaseError error(kRowNotLocated);
    conn.RecordError(error);
    throw error;
  }
}

void TDataSet::InternalDelete() {
  CheckActive();
  if (!FHasRow) throw EDatabaseError(kEmpty);
  TConnection& conn = *FConnection;
  const std::vector<TVariant>& values = FState == dsEdit ? FOriginal : FBuffer;
  std::vector<TVariant> binds;
  std::string sql = "DELETE FROM " + conn.QuoteIdentifier(FUpdateTable) + " WHERE " +
                    RowCondition(values, {}, FUpdateCriteria == 1, binds);
  TProviderStatement& statement = WriteStatement(sql);
  BindAll(statement, binds, conn);
  if (conn.RunWrite(statement) == 0) {
    EDatabaseError error(kRowNotLocated);
    conn.RecordError(error);
    throw error;
  }
}

// ---------------------------------------------------------------------------
// Locate and Lookup

TProviderStatement& TDataSet::Spare() {
  if (!FSpare) FSpare = FConnection->Prepare(FCursor->Sql());
  FSpare->Reset();
  BindCommand(*FSpare);
  return *FSpare;
}

int TDataSet::Scan(const std::vector<int>& fields, const std::vector<TVariant>& values,
                   TLocateOptions options) {
  TProviderStatement& spare = Spare();
  TVariant raw;
  int ordinal = 0;
  while (StepRecorded(spare, FConnection)) {
    ++ordinal;
    bool all = true;
    for (size_t k = 0; k < fields.size() && all; ++k) {
      const TField& f = *FFields[static_cast<size_t>(fields[k])];
      spare.ReadValue(fields[k] + FColumnOffset, raw);
      all = ValueMatches(f.DataType(), raw, values[k], options);
    }
    if (all) return ordinal;
  }
  spare.Reset();
  return 0;
}

bool TDataSet::Locate(std::string_view keyFields, const TVariant& keyValue,
                      TLocateOptions options) {
  return Locate(keyFields, std::vector<TVariant>{keyValue}, options);
}

bool TDataSet::Locate(std::string_view keyFields, const std::vector<TVariant>& keyValues,
                      TLocateOptions options) {
  CheckActive();
  CheckBrowseMode();
  std::vector<int> fields = ResolveFields(keyFields);
  if (fields.size() != keyValues.size())
    throw EDatabaseError("Locate: " + std::to_string(fields.size()) + " fields but " +
                         std::to_string(keyValues.size()) + " values");
  Fire(BeforeScroll);
  CheckActive();  // a handler may have closed the dataset
  int ordinal = Scan(fields, keyValues, options);
  if (ordinal == 0) return false;
  // The scanning cursor stands on the row: it becomes the dataset's cursor.
  std::swap(FCursor, FSpare);
  FSpare->Reset();
  FWindow.clear();
  FWindowBytes = 0;
  FStatementDone = false;
  FCursorPos = ordinal;
  FCursorAtEnd = false;
  FCursorStamp = FConnection->ChangeCount();
  LoadFromStatement(*FCursor);
  // Reading ahead ends the read of a short result at once, so that a table
  // kept open for lookups (the ID counters) does not hold back other writers.
  FillWindow();
  FRecNo = ordinal;
  FHasRow = true;
  FRowFromCursor = true;
  FEof = false;
  FBof = false;
  Fire(AfterScroll);
  DataChanged();
  return true;
}

TVariant TDataSet::Lookup(std::string_view keyFields, const TVariant& keyValue,
                          std::string_view resultField) {
  return Lookup(keyFields, std::vector<TVariant>{keyValue}, resultField);
}

TVariant TDataSet::Lookup(std::string_view keyFields, const std::vector<TVariant>& keyValues,
                          std::string_view resultField) {
  CheckActive();
  CheckBrowseMode();
  std::vector<int> fields = ResolveFields(keyFields);
  if (fields.size() != keyValues.size())
    throw EDatabaseError("Lookup: " + std::to_string(fields.size()) + " fields but " +
                         std::to_string(keyValues.size()) + " values");
  const TField& result = FieldByName(resultField);
  if (Scan(fields, keyValues, 0) == 0) return TVariant();
  TVariant raw;
  FSpare->ReadValue(result.Index() + FColumnOffset, raw);
  FSpare->Reset();
  return ValueAsVariant(result.DataType(), raw);
}

// ---------------------------------------------------------------------------
// Master-detail

void TDataSet::SetMasterSource(TDataSource* source) {
  if (source == FMasterSource) return;
  if (FMasterSource) {
    auto& list = FMasterSource->FDetails;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FMasterSource = source;
  if (FMasterSource) FMasterSource->FDetails.push_back(this);
  MasterChanged();
}

std::vector<std::pair<std::string, std::string>> TDataSet::MasterLinks() const {
  std::vector<std::pair<std::string, std::string>> links;
  for (const std::string& part : SplitNames(FMasterFields)) {
    size_t eq = part.find('=');
    if (eq == std::string::npos)
      links.emplace_back(part, part);
    else
      links.emplace_back(Trim(part.substr(0, eq)), Trim(part.substr(eq + 1)));
  }
  return links;
}

void TDataSet::MasterChanged() {
  if (Active()) Requery();
}

void TDataSet::MasterFieldChanged(const TField& masterField) {
  if (!Active()) return;
  for (const auto& link : MasterLinks())
    if (SameName(link.second, masterField.FieldName())) {
      MasterChanged();
      return;
    }
}

}  // namespace dk
