#include "data/dataset.h"

#include <algorithm>

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
const char* const kNoKey = "Insufficient key column information for updating or refreshing.";
const char* const kUnknownProperty =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";

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

}  // namespace

// Every move of the current row begins the same way: the row being edited is
// posted or cancelled (unless the move itself decides what becomes of it),
// before-scroll fires, and the dataset must still be open afterwards, as a
// handler may close it. Done() ends a move that took place with after-scroll
// and the news for the data sources; a move that fails or goes nowhere ends
// without them.
class TDataSet::TScrollGuard {
 public:
  enum TEntry { LeaveEditing, AsItStands };

  explicit TScrollGuard(TDataSet& dataSet, TEntry entry = LeaveEditing) : FDataSet(dataSet) {
    if (entry == LeaveEditing) dataSet.CheckBrowseMode();
    dataSet.Fire(dataSet.BeforeScroll);
    dataSet.CheckActive();
  }
  void Done() {
    FDataSet.Fire(FDataSet.AfterScroll);
    FDataSet.DataChanged();
  }

 private:
  TDataSet& FDataSet;
};

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
  FCursor.Release();
  FWriter.ReleaseStatements();
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
  FCursor.Release();
  FWriter.ReleaseStatements();
}

TVariant TDataSet::RecordsetProperty(std::string_view name) const {
  if (AsciiSameText(Trim(name), "Update Criteria")) return TVariant(FUpdateCriteria);
  throw EDatabaseError(kUnknownProperty);
}

void TDataSet::SetRecordsetProperty(std::string_view name, const TVariant& value) {
  if (!AsciiSameText(Trim(name), "Update Criteria")) throw EDatabaseError(kUnknownProperty);
  int64_t v = ValueAsLargeInt(ftInteger, value, name);
  if (v < 0 || v > 3) throw EDatabaseError("\"Update Criteria\" takes the values 0 to 3");
  FUpdateCriteria = static_cast<int>(v);
}

bool TDataSet::CanModify() const {
  return Active() && FLockType != ltReadOnly && !FWriter.Table().empty();
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
  try {
    ReleaseRowLock(false);
  } catch (const EDatabaseError&) {
    // The connection keeps the failure on its error list.
  }
  FCursor.Release();
  FWriter.Clear();
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
  Fire(AfterClose);
}

void TDataSet::OpenCursor() {
  TConnection& conn = *FConnection;
  FCommand = BuildCommand();
  FUpdateCriteria = 2;
  ReleaseStatements();
  FWriter.Clear();
  FRecordCount = -1;
  std::unique_ptr<TProviderStatement> statement = conn.Prepare(FCommand.Sql);
  if (!statement->ReturnsRows()) throw EDatabaseError(kNoResultSet);
  // The dataset writes to the one table all its columns come from.
  FWriter.Describe(conn, statement);
  CreateFields(*statement);
  FOriginal.clear();
  FRowId.SetNull();
  FModified = false;

  BindCommand(*statement);
  FCursor.Attach(conn, std::move(statement), FWriter.UsesRowId());
  FHasRow = false;
  if (GoToRow(1)) {
    FEof = false;
    FBof = true;
  } else {
    SetEmpty();
  }
}

void TDataSet::CreateFields(const TProviderStatement& statement) {
  int offset = FWriter.UsesRowId() ? 1 : 0;
  int count = statement.ColumnCount() - offset;
  FFields.clear();
  FFields.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const TColumnInfo& col = statement.Column(i + offset);
    auto field = std::make_unique<TField>(*this, i, col.Name, col.DataType, col.Size);
    field->FOrigin = col.BaseColumn;
    const TTableColumn* column = nullptr;
    field->FReadOnly = !FWriter.WritesTo(col, column);
    if (column)
      field->FRequired = column->NotNull && !column->HasDefault && !column->EngineNumbered;
    FFields.push_back(std::move(field));
  }
  FBuffer.assign(static_cast<size_t>(count), TVariant());
  FAssigned.assign(static_cast<size_t>(count), 0);
}

void TDataSet::BindCommand(TProviderStatement& statement) const {
  int count = statement.ParamCount();
  for (int p = 0; p < count; ++p) {
    std::string name = statement.ParamName(p);
    const TVariant* value = nullptr;
    if (!name.empty()) {
      for (const auto& param : FCommand.Params)
        if (AsciiSameText(param.first, name)) {
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

void TDataSet::EndRead() {
  FCursor.EndRead();
}

bool TDataSet::GoToRow(int ordinal) {
  if (ordinal <= 0) return false;
  if (FHasRow && FRowFromCursor && FRecNo == ordinal && FCursor.Position() == ordinal) return true;
  if (!FCursor.MoveTo(ordinal, FBuffer, FRowId)) return false;
  FRecNo = ordinal;
  FHasRow = true;
  FRowFromCursor = true;
  return true;
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
  TScrollGuard scroll(*this);
  // Something written since the statement ran shows up in a fresh run.
  if (FCursor.Stamp() != FConnection->ChangeCount()) FCursor.Rerun();
  if (GoToRow(1))
    FEof = false;
  else
    SetEmpty();
  FBof = true;
  scroll.Done();
}

void TDataSet::Next() {
  TScrollGuard scroll(*this);
  if (FEof) return;
  if (!FHasRow) {
    FEof = true;
    return;
  }
  bool moved;
  if (FCursor.Position() == FRecNo) {
    // The cursor stands at the current row (or, for an appended row, at the
    // row it was appended after).
    moved = TakeRow();
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
  scroll.Done();
}

void TDataSet::Prior() {
  TScrollGuard scroll(*this);
  if (FBof) return;
  int target = FRowFromCursor ? FRecNo - 1 : FRecNo;
  if (target >= 1 && GoToRow(target))
    FEof = false;
  else
    FBof = true;
  scroll.Done();
}

void TDataSet::Last() {
  TScrollGuard scroll(*this);
  bool any = FHasRow && FRowFromCursor && FCursor.Position() == FRecNo;
  if (!any) {
    FCursor.Rerun();
    any = TakeRow();
  }
  if (any) {
    while (TakeRow()) {
    }
    FRecNo = FCursor.Position();
    FHasRow = true;
    FRowFromCursor = true;
    FEof = true;
    FBof = false;
  } else {
    SetEmpty();
  }
  scroll.Done();
}

int TDataSet::MoveBy(int distance) {
  TScrollGuard scroll(*this);
  int moved = 0;
  if (distance > 0 && !FEof && FHasRow) {
    while (moved < distance) {
      bool ok = FCursor.Position() == FRecNo ? TakeRow() : GoToRow(FRecNo + 1);
      if (!ok) {
        FEof = true;
        break;
      }
      if (FCursor.Position() != FRecNo) ++FRecNo;
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
  scroll.Done();
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
  CheckBrowseMode();
  TCommand command = BuildCommand();
  if (command.Sql != FCommand.Sql) {
    Close();
    Open();
    return;
  }
  FCommand = std::move(command);
  TScrollGuard scroll(*this, TScrollGuard::AsItStands);
  FCursor.Rerun();
  BindCommand(FCursor.Statement());
  FRecordCount = -1;
  FHasRow = false;
  if (GoToRow(1))
    FEof = false;
  else
    SetEmpty();
  FBof = true;
  scroll.Done();
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
    if (AsciiSameText(field->FieldName(), name)) return field.get();
  // A name outside ASCII (a legacy column "Größe" held as "GRÖßE") compares
  // per character.
  if (std::any_of(name.begin(), name.end(), [](char c) { return c & 0x80; }))
    for (const auto& field : FFields)
      if (SameText(field->FieldName(), name)) return field.get();
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
  if (FLockType == ltReadOnly || FWriter.Table().empty()) throw EDatabaseError(kReadOnly);
  if (update && !FWriter.CanFindRows()) throw EDatabaseError(kNoKey);
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
  CheckBrowseMode();
  CheckCanWrite(false);
  Fire(BeforeInsert);
  TScrollGuard scroll(*this, TScrollGuard::AsItStands);
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
  scroll.Done();
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
  LockRow();
  FOriginal = FBuffer;
  std::fill(FAssigned.begin(), FAssigned.end(), 0);
  FModified = false;
  FState = dsEdit;
  Fire(AfterEdit);
}

void TDataSet::LockRow() {
  // A pessimistic dataset on an engine with row locks holds the row it
  // edits until Post or Cancel, in a transaction of its own unless one is
  // open already.
  if (FLockType != ltPessimistic || !FWriter.CanFindRows()) return;
  TConnection& conn = *FConnection;
  if (!conn.Engine().LocksRows()) return;
  const bool own = !conn.InTransaction();
  if (own) conn.BeginTrans();
  try {
    FWriter.Lock(conn, FBuffer, FRowId);
  } catch (...) {
    if (own) conn.RollbackTrans();
    throw;
  }
  FLockTransaction = own;
}

void TDataSet::ReleaseRowLock(bool commit) {
  if (!FLockTransaction) return;
  FLockTransaction = false;
  if (!FConnection || !FConnection->InTransaction()) return;
  if (commit)
    FConnection->CommitTrans();
  else
    FConnection->RollbackTrans();
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
  ReleaseRowLock(true);
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
    ReleaseRowLock(false);
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
  TScrollGuard scroll(*this, TScrollGuard::AsItStands);
  if (!FHasRow) throw EDatabaseError(kEmpty);
  RunOperation(&TDataSet::InternalDelete, OnDeleteError);
  FState = dsBrowse;
  FOriginal.clear();
  FModified = false;
  RepositionAfterDelete();
  Fire(AfterDelete);
  scroll.Done();
}

void TDataSet::RepositionAfterDelete() {
  if (FRowFromCursor) {
    // The row after the deleted one takes the deleted row's position.
    if (FCursor.Position() == FRecNo) {
      if (TakeRow()) {
        // The rows after the deleted one moved up a place.
        FCursor.RowRemoved();
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
    if (FCursor.Position() == FRecNo && TakeRow()) {
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

void TDataSet::InternalInsert() {
  // A post-error handler may have cancelled the row before asking to retry.
  if (FState != dsInsert) throw EDatabaseError(kNotEditing);
  FWriter.Insert(*FConnection, FBuffer, FAssigned, FRowId);
}

void TDataSet::InternalUpdate() {
  if (FState != dsEdit || FOriginal.size() != FBuffer.size()) throw EDatabaseError(kNotEditing);
  FWriter.Update(*FConnection, FOriginal, FBuffer, FAssigned, FRowId, FUpdateCriteria);
}

void TDataSet::InternalDelete() {
  CheckActive();
  if (!FHasRow) throw EDatabaseError(kEmpty);
  FWriter.Delete(*FConnection, FState == dsEdit ? FOriginal : FBuffer, FRowId, FUpdateCriteria);
}

// ---------------------------------------------------------------------------
// Locate and Lookup

TProviderStatement& TDataSet::Spare() {
  TProviderStatement& spare = FCursor.Spare();
  BindCommand(spare);
  return spare;
}

int TDataSet::Scan(TProviderStatement& spare, const std::vector<int>& fields,
                   const std::vector<TVariant>& values, TLocateOptions options) {
  TVariant raw;
  int ordinal = 0;
  while (StepRecorded(spare, FConnection)) {
    ++ordinal;
    bool all = true;
    for (size_t k = 0; k < fields.size() && all; ++k) {
      const TField& f = *FFields[static_cast<size_t>(fields[k])];
      spare.ReadValue(fields[k] + FCursor.ColumnOffset(), raw);
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
  TScrollGuard scroll(*this, TScrollGuard::AsItStands);
  int ordinal = Scan(Spare(), fields, keyValues, options);
  if (ordinal == 0) return false;
  // The scanning statement stands on the row: it becomes the dataset's
  // cursor, which reads ahead from there and so ends the read of a short
  // result at once (a table kept open for lookups, the ID counters, does not
  // hold back other writers).
  FCursor.AdoptSpare(ordinal, FBuffer, FRowId);
  FRecNo = ordinal;
  FHasRow = true;
  FRowFromCursor = true;
  FEof = false;
  FBof = false;
  scroll.Done();
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
  TProviderStatement& spare = Spare();
  if (Scan(spare, fields, keyValues, 0) == 0) return TVariant();
  TVariant raw;
  spare.ReadValue(result.Index() + FCursor.ColumnOffset(), raw);
  spare.Reset();
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
    if (AsciiSameText(link.second, masterField.FieldName())) {
      MasterChanged();
      return;
    }
}

}  // namespace dk
