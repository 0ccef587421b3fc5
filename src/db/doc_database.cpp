#include "db/doc_database.h"

#include <exception>
#include <thread>

#include "data/errors.h"
#include "db/db_fields.h"
#include "db/full_text_retrieval.h"
#include "db/util/sql_util.h"
#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "settings/messages.h"
#include "sys/file_paths.h"
#include "sys/text.h"
#include "ui/application.h"

namespace dk {

namespace {

bool Editing(const TDataSet& dataSet) {
  return dataSet.State() == dsEdit || dataSet.State() == dsInsert;
}

void CancelIfEditing(TDataSet& dataSet) {
  if (Editing(dataSet)) dataSet.Cancel();
}

// Stores one counter row the way the resynchronisation does: found ignoring
// case and edited, or appended.
void StoreCounter(TTable& table, const std::string& name, int value) {
  if (table.Locate("IDNAME", TVariant(name), loCaseInsensitive)) {
    table.Edit();
  } else {
    table.Append();
    table.FieldByName("IDNAME").SetAsString(name);
  }
  table.FieldByName("NEXTID").SetAsInteger(value);
  try {
    table.Post();
  } catch (...) {
    CancelIfEditing(table);
    throw;
  }
}

// The greatest DOCID + 1 over DOCUMENT and, when it exists, DOCARCH.
int NextDocIdAfterData(TCustomDocDatabase& db) {
  int next = GetMaxID(db.Connection(), "DOCUMENT", "DOCID") + 1;
  if (db.TableExists("DOCARCH"))
    next = std::max(next, GetMaxID(db.Connection(), "DOCARCH", "DOCID") + 1);
  return next;
}

}  // namespace

std::string SaveErrorText(const std::string& what, const std::string& table) {
  return "Fehler beim Speichern von \"" + what + "\" in Tabelle \"" + table + "\".";
}

int GetMaxID(TConnection& connection, std::string_view table, std::string_view column) {
  TQuery query;
  query.SetConnection(&connection);
  query.SetCursorLocation(clUseServer);
  query.SQL().Add("SELECT MAX(" + std::string(column) + ") AS MAX_ID FROM " + std::string(table));
  query.Open();
  const TField& max = query.FieldByName("MAX_ID");
  return IsFieldEmpty(max) ? 0 : max.AsInteger();
}

TCustomDocDatabase::TCustomDocDatabase(TComponent* owner) : TCustomDkDatabase(owner) {
  DocTableName = "DOCUMENT";

  FDocQuery = CreateQuery();
  FDocQuery->SetName("DocQuery");
  RegisterDataSet(FDocQuery);
  // Through the virtual hooks, so that a descendant's rules run.
  FDocQuery->BeforeEdit = [this](TDataSet& ds) { DocBeforeEdit(ds); };
  FDocQuery->AfterInsert = [this](TDataSet& ds) { DocAfterInsert(ds); };
  FDocQuery->AfterScroll = [this](TDataSet& ds) { DocAfterScroll(ds); };
  FDocQuery->BeforeDelete = [this](TDataSet& ds) { DocBeforeDelete(ds); };
  FDocQuery->BeforePost = [this](TDataSet& ds) { DocBeforePost(ds); };
  FDocQuery->OnPostError = [this](TDataSet& ds, EDatabaseError& e, TDataAction& action) {
    DocPostError(ds, e, action);
  };

  FBlobQuery = CreateQuery();
  FBlobQuery->SetName("BlobQuery");
  RegisterDataSet(FBlobQuery);

  FSpareQuery = CreateQuery();
  FSpareQuery->SetName("SpareQuery");
  RegisterDataSet(FSpareQuery);

  FIdentTable = CreateTable("IDENTNO");
  FIdentTable->SetName("IdentTable");
  RegisterDataSet(FIdentTable);
  FIdentTable->BeforePost = [this](TDataSet& ds) { SetUpdateCriteriaKey(ds); };

  FItemListTable = CreateTable("ITEMLISTS");
  FItemListTable->SetName("ItemListTable");
  RegisterDataSet(FItemListTable);

  FFullTextRetrieval = std::make_unique<TFullTextRetrieval>(*this);
  RegisterDataSet(FFullTextRetrieval->IndexerQuery());
  RegisterDataSet(FFullTextRetrieval->SpareQuery());
}

TCustomDocDatabase::~TCustomDocDatabase() {
  try {
    TCustomDocDatabase::Close();
  } catch (...) {
    // A destructor cannot report; the base closes the connection again.
  }
  // The definitions reach into ItemListTable; they go before the datasets.
  FDBFields.reset();
  // The worker reports to this database and reads its indexer's queue: it
  // stops here, before any of them goes.
  FFullTextRetrieval.reset();
  // The datasets outlive this part of the object (the base frees them): no
  // event of theirs may reach a hook of a class already destroyed.
  for (TDataSet* ds : {static_cast<TDataSet*>(FDocQuery), static_cast<TDataSet*>(FIdentTable)}) {
    ds->BeforeEdit = nullptr;
    ds->AfterInsert = nullptr;
    ds->AfterScroll = nullptr;
    ds->BeforeDelete = nullptr;
    ds->BeforePost = nullptr;
    ds->OnPostError = nullptr;
  }
}

void TCustomDocDatabase::DocAfterScroll(TDataSet& dataSet) {
  if (AfterScrollQueryDoc) AfterScrollQueryDoc(dataSet);
}

void TCustomDocDatabase::DocBeforeEdit(TDataSet& dataSet) {
  if (!Configuration || Configuration->FtiCreateMode == 0) return;
  // The list is never cleared: lines of columns the row lacks do not
  // matter, as only the row's own indexed columns are compared.
  TStringList& values = FFullTextRetrieval->FieldValues;
  for (int i = 0; i < dataSet.FieldCount(); ++i) {
    const TField& field = dataSet.Fields(i);
    if (IsIndexedField(field)) values.SetValue(field.FieldName(), field.AsString());
  }
}

void TCustomDocDatabase::EndDataSetReads() {
  for (TDataSet* dataSet : DataSets())
    if (dataSet->Active()) dataSet->EndRead();
}

bool TCustomDocDatabase::GetDocTypePickItems(std::string_view /*fieldName*/,
                                             TStringList& /*items*/) {
  return false;
}

void TCustomDocDatabase::Open() {
  OpenConnection();
  if (!Connected()) return;
  FDBFields.reset();
  FDBFields = std::make_unique<TDkDBFields>(*this);
  const int cursor = Application ? Application->Cursor() : crDefault;
  try {
    ExecuteQueryDoc("SELECT * FROM DOCUMENT WHERE DOCID=1", semOpen);
  } catch (...) {
    if (Application) Application->SetCursor(cursor);
    throw;
  }
  if (Application) Application->SetCursor(cursor);
}

bool TCustomDocDatabase::Close() {
  if (!Connected()) return true;
  CloseConnection();
  Caption.clear();
  if (OnCaptionChange) OnCaptionChange(*this);
  const bool closed = !Connected();
  if (closed) FDBFields.reset();
  return closed;
}

int TCustomDocDatabase::GetDocID() const {
  return FDocQuery->FieldByName("DOCID").AsInteger();
}

std::string TCustomDocDatabase::GetDocFileName() const {
  return FDocQuery->FieldByName("FILENAME").AsString();
}

void TCustomDocDatabase::HoldCounterRows(TTable& table) {
  // On a server several programs take numbers from one counter row at the
  // same moment. The row lock makes each edit wait for the one before and
  // start from the number it stored; without it the second post would find
  // NEXTID changed and fail, and the document needing the number with it.
  // (A file database admits one writer at a time anyway.)
  if (Connected() && Connection().Engine().LocksRows()) table.SetLockType(ltPessimistic);
}

void TCustomDocDatabase::Pause() const {
  if (CounterRetryPause.count() > 0) std::this_thread::sleep_for(CounterRetryPause);
}

int TCustomDocDatabase::CounterFloor(const std::string& name) {
  // The tables whose keys a counter numbers: a counter below their maxima
  // (left so by a conversion that failed or was stopped, which sets the
  // counters only at the end of a good run, or by a restored table) would
  // hand out a number in use.
  const std::string upper = AsciiUpper(name);
  if (upper == "DOCID") return NextDocIdAfterData(*this);
  if (upper == "TODOID" && TableExists("TODO")) return GetMaxID(Connection(), "TODO", "TODOID") + 1;
  if (upper == "FTIWORDID" && TableExists("FTIWORD"))
    return GetMaxID(Connection(), "FTIWORD", "WORDID") + 1;
  return 0;
}

int TCustomDocDatabase::GetNextID(const std::string& name) {
  // The number is taken inside a transaction that holds the counter against
  // every other writer: the engine's write lock on a file database (taken at
  // the start of the transaction), the row lock on a server (taken by the
  // edit). The row is read again under that lock, so two programs can never
  // start from the same NEXTID.
  TTable& table = *FIdentTable;
  TConnection& connection = Connection();
  int failures = 0;
  int level = -1;
  // Undoes this attempt's transaction (a savepoint inside the caller's).
  auto undo = [&] {
    CancelIfEditing(table);
    try {
      if (level >= 0 && connection.Connected() && connection.TransactionLevel() > level)
        connection.RollbackTrans();
    } catch (...) {
    }
  };
  for (;;) {
    int result = -1;
    bool found = false;
    bool editing = false;
    try {
      if (!table.Active()) table.Open();
      HoldCounterRows(table);
      level = connection.TransactionLevel();
      connection.BeginTrans();
      table.Requery();
      found = table.Locate("IDNAME", TVariant(name), loCaseInsensitive);
      editing = true;
      if (found) {
        table.Edit();
        result = table.FieldByName("NEXTID").AsInteger();
      } else {
        table.Append();
        table.FieldByName("IDNAME").SetAsString(name);
        result = 1;
      }
    } catch (const EAbort&) {
      undo();
      throw;
    } catch (const std::exception& e) {
      undo();
      // Another client holds the counter (or the database); wait for it.
      // Anything else before the edit (no counter table) is no reason to.
      if (!editing && !IsLockConflict(e)) throw;
      if (failures == 20) {
        if (MsgKeyValueError(name, e.what()) != mrRetry) throw;
        failures = 0;
      }
      ++failures;
      Pause();
      continue;
    }
    try {
      const int floor = CounterFloor(name);
      if (floor > result) {
        WriteErrorLog("Der Zähler \"" + name + "\" in Tabelle \"IDENTNO\" stand auf " +
                      std::to_string(result) + ", die Daten belegen die Nummern bis " +
                      std::to_string(floor - 1) + "; er wurde auf " + std::to_string(floor) +
                      " vorgestellt.");
        result = floor;
      }
      table.FieldByName("NEXTID").SetAsInteger(static_cast<int64_t>(result) + 1);
      table.Post();
      connection.CommitTrans();
      // The table stays open; its read must not hold the file against the
      // commits of other programs.
      table.EndRead();
    } catch (...) {
      undo();
      // A row appended for a new counter by two programs at once: the one
      // that lost takes its number from the row the other stored.
      if (!found && failures < 20) {
        ++failures;
        try {
          table.Requery();
          if (table.Locate("IDNAME", TVariant(name), loCaseInsensitive)) continue;
        } catch (...) {
        }
      }
      ShowError(SaveErrorText(name, "IDENTNO"), 0);
      throw;
    }
    return result;
  }
}

bool TCustomDocDatabase::SetNextID(const std::string& name, int value) {
  TTable& table = *FIdentTable;
  bool result = false;
  int failures = 0;
  try {
    if (!table.Active()) table.Open();
    HoldCounterRows(table);
    table.Requery();
    if (table.Locate("IDNAME", TVariant(name), loCaseInsensitive)) {
      while (table.State() != dsEdit) {
        try {
          table.Edit();
          table.FieldByName("NEXTID").SetAsInteger(value);
        } catch (const EAbort&) {
          throw;
        } catch (const std::exception& e) {
          if (failures == 1) {
            WriteErrorLog("Fehler beim 1. Versuch, die ID für \"" + name + "\" zu ändern.");
          } else if (failures == 10) {
            if (MsgKeyValueError(name, e.what()) != mrRetry) throw;
            failures = 0;
          }
          ++failures;
          Pause();
        }
      }
    } else {
      table.Append();
      table.FieldByName("IDNAME").SetAsString(name);
      table.FieldByName("NEXTID").SetAsInteger(value);
    }
    try {
      table.Post();
      result = true;
    } catch (const EAbort&) {
      throw;
    } catch (const std::exception& e) {
      CancelIfEditing(table);
      result = false;
      ShowError(SaveErrorText(name, "IDENTNO") + ":\r" + e.what(), 0);
    }
  } catch (...) {
    CancelIfEditing(table);
    throw;
  }
  CancelIfEditing(table);
  return result;
}

void TCustomDocDatabase::SyncIDCounters() {
  // A table of its own: the counter table of the component may be in use.
  TTable counters;
  counters.SetConnection(&Connection());
  counters.SetTableName(FIdentTable->TableName());
  counters.Open();

  StoreCounter(counters, "DOCID", NextDocIdAfterData(*this));
  if (TableExists("TODO"))
    StoreCounter(counters, "TODOID", GetMaxID(Connection(), "TODO", "TODOID") + 1);
  StoreCounter(counters, "FTIWORDID", GetMaxID(Connection(), "FTIWORD", "WORDID") + 1);
}

void TCustomDocDatabase::DocPostError(TDataSet& dataSet, EDatabaseError& /*error*/,
                                      TDataAction& action) {
  if (dataSet.State() != dsInsert) return;
  const int next = NextDocIdAfterData(*this);
  TField& docId = dataSet.FieldByName("DOCID");
  if (docId.AsInteger() >= next) return;
  // The row collides with a document stored meanwhile: it takes a number of
  // its own from the counter (which also moves the counter past the data),
  // never one computed here that another program may be taking right now.
  int id = -1;
  try {
    id = GetNextID("DOCID");
  } catch (const std::exception&) {
    return;
  }
  if (id < next) return;
  RenumberNewDocument(dataSet, id);
  ShowError(
      "Bei Speichern des neuen Datensatzes ist ein Indexfehler aufgetreten. Die Ursache lag in "
      "der Datenbanktabelle IDENTNO. Das Problem wurde behoben, der Fehler sollte jetzt nicht "
      "mehr auftreten.",
      0);
  action = daRetry;
}

void TCustomDocDatabase::RenumberNewDocument(TDataSet& dataSet, int docId) {
  dataSet.FieldByName("DOCID").SetAsInteger(docId);
  LastDocID = docId;
}

void TCustomDocDatabase::ExecuteQueryDoc(const std::string& sqlText, TSqlExecuteMode mode) {
  std::string sql = sqlText;
  if (sql.find('{') != std::string::npos && OnConvertCmdStr) sql = ConvertCmdStr(sql);

  TQuery& query = *FDocQuery;
  if (query.Active()) query.Close();
  FLastSearchSQL = query.SQL();
  query.SetSQLText(sql);

  if (mode == semAuto)
    mode = AnsiUpperCase(sql).find("SELECT") != std::string::npos ? semOpen : semExecute;

  if (BeforeExecuteQueryDoc) BeforeExecuteQueryDoc(query, mode);
  auto restoreLastSearch = [&] {
    query.Close();
    query.SQL() = FLastSearchSQL;
    query.Open();
  };
  try {
    if (mode == semOpen) {
      try {
        query.Open();
      } catch (const EAbort&) {
        throw;
      } catch (const std::exception& e) {
        ShowError(std::string(e.what()) + "\rDie letzte Suche wird wiederhergestellt.", 0);
        restoreLastSearch();
      }
    } else {
      std::exception_ptr failure;
      try {
        query.ExecSQL();
      } catch (...) {
        failure = std::current_exception();
      }
      restoreLastSearch();
      if (failure) std::rethrow_exception(failure);
    }
  } catch (...) {
    if (AfterExecuteQueryDoc) AfterExecuteQueryDoc(query, mode);
    throw;
  }
  if (AfterExecuteQueryDoc) AfterExecuteQueryDoc(query, mode);
}

void TCustomDocDatabase::RefreshQueryDoc() {
  ExecuteQueryDoc("SELECT * FROM " + DocTableName, semOpen);
}

int TCustomDocDatabase::FindDocID(const std::string& column, const std::string& value,
                                  const std::string& table) {
  TOwnedDataSet<TQuery> query(*this, CreateQuery());
  // The probe row gives the column's field, whose type decides the condition.
  query->SQL().Add("SELECT * FROM DOCUMENT");
  query->SQL().Add("WHERE DOCID=1");
  query->Open();
  const std::string where = "WHERE " + FieldFilterText(query->FieldByName(column), value);
  query->Close();
  query->SQL().Clear();

  auto search = [&](const std::string& name) {
    query->SQL().Clear();
    query->SQL().Add("SELECT * FROM " + name);
    query->SQL().Add(where);
    query->Open();
    const int id = query->IsEmpty() ? -1 : query->FieldByName("DOCID").AsInteger();
    query->Close();
    return id;
  };
  if (!table.empty()) return search(table);
  int id = search("DOCUMENT");
  if (id < 0 && TableExists("DOCARCH")) id = search("DOCARCH");
  return id;
}

bool TCustomDocDatabase::LocateDocID(int id) {
  try {
    if (GetDocID() == id) return true;
    return FDocQuery->Locate("DOCID", TVariant(id));
  } catch (const std::exception&) {
    WriteErrorLog("Exception LocateDocID, ID=" + std::to_string(id));
    return false;
  }
}

bool TCustomDocDatabase::OpenDocBlobs(int id) {
  TQuery& blobs = *FBlobQuery;
  if (blobs.Active() && blobs.FieldByName("DOCID").AsInteger() == id) return !blobs.IsEmpty();
  blobs.Close();
  blobs.SQL().Clear();
  blobs.SQL().Add("SELECT * FROM DOCBLOBS");
  blobs.SQL().Add("WHERE DOCID = " + std::to_string(id));
  blobs.Open();
  return !blobs.IsEmpty();
}

TField* TCustomDocDatabase::GetRtfTextField(int id) {
  if (!LocateDocID(id)) return nullptr;
  if (TField* field = FDocQuery->FindField("RTFTEXT")) return field;
  if (OpenDocBlobs(id)) return FBlobQuery->FindField("RTFTEXT");
  return nullptr;
}

bool TCustomDocDatabase::DocFileExists() const {
  return FDocQuery->Active() && FileExists(GetDocFileName());
}

bool TCustomDocDatabase::AddNewPickListItems() {
  if (!FDBFields) return false;
  bool added = false;
  for (int i = 0; i < FDocQuery->FieldCount(); ++i) {
    const TField& field = FDocQuery->Fields(i);
    const std::string value = field.AsString();
    if (value.empty()) continue;
    TDkDBField* definition = FDBFields->Find(field.FieldName());
    if (definition && definition->UpdateList && definition->AddItemToPickList(value, true))
      added = true;
  }
  return added;
}

void TCustomDocDatabase::DocAfterInsert(TDataSet& dataSet) {
  dataSet.FieldByName("FILENAME").SetAsString("[automatisch]");
  dataSet.FieldByName("FAVORITE").SetAsBoolean(false);
}

void TCustomDocDatabase::SetUpdateCriteriaKey(TDataSet& dataSet) {
  if (SqlDialect() == 1 || SqlDialect() == 2)
    dataSet.SetRecordsetProperty("Update Criteria", TVariant(0));
}

}  // namespace dk
