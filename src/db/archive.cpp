#include "db/archive.h"

#include <algorithm>
#include <exception>

#include "data/errors.h"
#include "data/parameters.h"
#include "db/full_text_retrieval.h"
#include "db/util/archive_schema.h"
#include "db/util/sql_util.h"
#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "settings/messages.h"
#include "sys/api_tools.h"
#include "sys/date_time.h"
#include "sys/file_names.h"
#include "sys/file_paths.h"
#include "sys/text.h"

namespace dk {

namespace {

// Replaces the first occurrence of `from` (ASCII, compared ignoring case).
std::string ReplaceFirstIgnoringCase(const std::string& text, std::string_view from,
                                     std::string_view to) {
  const size_t pos = AsciiUpper(text).find(AsciiUpper(from));
  if (pos == std::string::npos) return text;
  return text.substr(0, pos) + std::string(to) + text.substr(pos + from.size());
}

unsigned TimerInterval(int milliseconds) {
  return static_cast<unsigned>(std::max(0, milliseconds));
}

}  // namespace

TDkArchive::TDkArchive(TComponent* owner) : TCustomDocDatabase(owner) {
  // The cursor defaults of the component base apply as they stand.
  auto registered = [this](const char* name) {
    TQuery* query = CreateQuery();
    query->SetName(name);
    RegisterDataSet(query);
    return query;
  };
  FHostQueries[0] = registered("HostQuery0");
  FTodoQuery = registered("TodoQuery");
  FTodoQuery->BeforePost = [this](TDataSet& ds) { TodoBeforePost(ds); };
  FReminderQuery = registered("ReminderQuery");
  FHostQueries[1] = registered("HostQuery1");
  FHostQueries[2] = registered("HostQuery2");
  DocQuery()->AfterPost = [this](TDataSet& ds) { DocAfterPost(ds); };
}

TDkArchive::~TDkArchive() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the base closes the connection again.
  }
  FReminderTimer.reset();
  FRetiredTimers.clear();
  SetApplDatabase(nullptr);
  for (TApplDatabase* applDatabase : FReferringApplDatabases) applDatabase->FDocArchive = nullptr;
  FReferringApplDatabases.clear();
  // DocQuery outlives this part of the object (the base frees it).
  DocQuery()->AfterPost = nullptr;
  for (TQuery* query :
       {FHostQueries[2], FHostQueries[1], FReminderQuery, FTodoQuery, FHostQueries[0]})
    FreeDataSet(query);
}

void TDkArchive::SetApplDatabase(TApplDatabase* applDatabase) {
  if (applDatabase == FApplDatabase) return;
  if (FApplDatabase) {
    auto& list = FApplDatabase->FReferringArchives;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FApplDatabase = applDatabase;
  if (FApplDatabase) FApplDatabase->FReferringArchives.push_back(this);
}

// ---------------------------------------------------------------------------
// Virtual operations

int TDkArchive::GetCurrDocType() {
  return DocTypeOfField(DocQuery()->FindField("DOCTYPE"));
}

void TDkArchive::BuildCreateTableSQL(TStringList& lines, std::string_view table) {
  dk::BuildCreateTableSQL(lines, table, Connection());
}

void TDkArchive::DocBeforeEdit(TDataSet& dataSet) {
  TCustomDocDatabase::DocBeforeEdit(dataSet);
  if (AccessRightsMode) OldAccessRights = dataSet.FieldByName("ACCESSRIGHTS").AsString();
}

// ---------------------------------------------------------------------------
// Document record rules

void TDkArchive::DocBeforePost(TDataSet& dataSet) {
  // A connection that reads in the middle of a result cannot wait for the
  // write lock: SQLite refuses it at once while another connection (the
  // index worker) commits. Ending the reads first lets the save wait its
  // turn instead of failing.
  EndDataSetReads();
  const TConfiguration* config = Configuration;
  IsNewDocument = IsFieldEmpty(dataSet.FieldByName("DOCID"));
  if (TField* guid = dataSet.FindField("DOCGUID"); guid && IsFieldEmpty(guid))
    guid->SetAsString(NewGuidText());

  // What a post of a new document that failed left waiting is dropped.
  FPostingNew = false;
  FHeldProtocol.clear();
  FullTextRetrieval()->DropHeldJobs();

  if (IsNewDocument) {
    try {
      LastDocID = GetNextID("DOCID");
      if (LastDocID < 0) throw EDatabaseError("Fehler: DOCID=" + std::to_string(LastDocID));
    } catch (...) {
      dataSet.Cancel();
      ShowError("Dokumentdatensatz kann nicht gespeichert werden.", 0);
      throw;
    }
    FPostingNew = true;
    dataSet.FieldByName("DOCID").SetAsInteger(LastDocID);
    dataSet.FieldByName("USERNAME").SetAsString(UserName);
    const std::string applName = dataSet.FieldByName("APPLNAME").AsString();
    if (FApplDatabase && FApplDatabase->LocateApplName(applName))
      dataSet.FieldByName("DOCTYPE").SetAsString(
          FApplDatabase->TableAppl()->FieldByName("DOCTYPE").AsString());
    FEnteredDocNo = dataSet.FieldByName("DOCNO").AsString();
    FEnteredFileName = dataSet.FieldByName("FILENAME").AsString();
    ApplyNumberRules(dataSet);
    if (OnCreateNewDocument) OnCreateNewDocument(*this);
  }

  if (config && config->NoUppercase) {
    TField& docNo = dataSet.FieldByName("DOCNO");
    docNo.SetAsString(AnsiUpperCase(docNo.AsString()));
  }
  if (!IsNewDocument) MoveFileAfterAttributeChange(dataSet);
  AddNewPickListItems();

  if (config && config->FtiCreateMode != 0) {
    if (IsNewDocument)
      IndexNewDocument();
    else
      FullTextRetrieval()->CheckUpdateCurrDocument();
  }

  if (AccessRightsMode && DocFileExists()) {
    const std::string rights = dataSet.FieldByName("ACCESSRIGHTS").AsString();
    const bool unchanged = !IsNewDocument && rights == OldAccessRights;
    if (!unchanged && OnSetFileAccessRights)
      OnSetFileAccessRights(*this, dataSet.FieldByName("FILENAME").AsString(), rights,
                            dataSet.FieldByName("USERNAME").AsString());
  }
  if (BeforePostDocument) BeforePostDocument(dataSet);
}

void TDkArchive::ApplyNumberRules(TDataSet& dataSet) {
  const TConfiguration* config = Configuration;
  if (config && config->CreateDocNumber &&
      !(config->AllowEditDocNumber && !dataSet.FieldByName("DOCNO").AsString().empty()))
    dataSet.FieldByName("DOCNO").SetAsString(ConvertCmdStr(config->DefaultDocNumber));
  AssignNewFileName(dataSet);
}

void TDkArchive::IndexNewDocument() {
  // The worker sees the jobs only once the row is stored under its number
  // (DocAfterPost): a collision must not file words under the other
  // document.
  TFullTextRetrieval& fti = *FullTextRetrieval();
  fti.HoldJobs();
  fti.UpdateDocument(GetDocID(), true);
}

void TDkArchive::RenumberNewDocument(TDataSet& dataSet, int docId) {
  TCustomDocDatabase::RenumberNewDocument(dataSet, docId);
  if (!FPostingNew) return;
  dataSet.FieldByName("DOCNO").SetAsString(FEnteredDocNo);
  dataSet.FieldByName("FILENAME").SetAsString(FEnteredFileName);
  // The type table may have moved since (a host's handler); the rules read
  // the document's own type.
  if (FApplDatabase) FApplDatabase->LocateApplName(dataSet.FieldByName("APPLNAME").AsString());
  ApplyNumberRules(dataSet);
  const TConfiguration* config = Configuration;
  if (config && config->NoUppercase) {
    TField& docNo = dataSet.FieldByName("DOCNO");
    docNo.SetAsString(AnsiUpperCase(docNo.AsString()));
  }
  if (config && config->FtiCreateMode != 0) IndexNewDocument();
}

void TDkArchive::AssignNewFileName(TDataSet& dataSet) {
  TField& fileName = dataSet.FieldByName("FILENAME");
  switch (GetCurrDocType()) {
    case 0:
      WriteErrorLog("QDBP GetCurrDocType=dctUnknown");
      break;
    case 1:
    case 4: {
      const std::string current = fileName.AsString();
      if (current.rfind("[automatisch]", 0) != 0) break;
      std::string name = GetDefaultDocFileName();
      const std::string ext = ExtractFileExt(current);
      if (!ext.empty()) name = ChangeFileExt(name, ext);
      MakeUniqueFileName(name);
      fileName.SetAsString(name);
      break;
    }
    case 2:
      fileName.SetAsString("(internes Dokument)");
      break;
    default:
      break;
  }
}

void TDkArchive::MoveFileAfterAttributeChange(TDataSet& dataSet) {
  const TConfiguration* config = Configuration;
  if (!config || !config->DefaultForExistingFile || !DocFileExists()) return;
  const std::string applName = dataSet.FieldByName("APPLNAME").AsString();
  if (!applName.empty() && config->DocTypeIgnoreDFEF.find(applName) != std::string::npos) return;
  // The default name belongs to the document's own type, whatever type the
  // type table stood on.
  if (FApplDatabase) FApplDatabase->LocateApplName(applName);

  const std::string oldName = GetDocFileName();
  const std::string defaultName = ChangeFileExt(GetDefaultDocFileName(), ExtractFileExt(oldName));
  if (IsSameOrVariantFile(defaultName, oldName)) return;
  for (;;) {
    // The free name is chosen for every try: a name that another program
    // took meanwhile is never replaced, the move fails with its message.
    std::string newName = defaultName;
    MakeUniqueFileName(newName);
    const bool readOnly = IsFileReadOnly(oldName);
    if (readOnly) SetFileReadOnly(oldName, 0);
    if (MoveFileKeepingTarget(oldName, newName)) {
      dataSet.FieldByName("FILENAME").SetAsString(newName);
      AddProtocol(GetDocID(), "Datei wurde wegen Attributänderung umbenannt/verschoben");
      if (readOnly) SetFileReadOnly(newName, 1);
      return;
    }
    // The file stays where it was, and as protected as it was.
    if (readOnly) SetFileReadOnly(oldName, 1);
    if (MsgCopyMoveFailed(oldName) != mrOk) {
      AddProtocol(GetDocID(),
                  "Datei sollte wegen Attributänderung verschoben werden. Verschieben ist "
                  "gescheitert.");
      return;
    }
  }
}

bool TDkArchive::MayDeleteDocument() {
  if (AdminActive) return true;
  if (!Configuration || Configuration->AllowDeleteAll) return true;
  return SameText(DocQuery()->FieldByName("USERNAME").AsString(), UserName);
}

void TDkArchive::DocBeforeDelete(TDataSet& dataSet) {
  EndDataSetReads();  // see DocBeforePost
  if (!MayDeleteDocument()) {
    const std::string name = dataSet.FieldByName("NAME").AsString();
    ShowError("'" + ReplaceAll(name, "'", "''") +
                  "' wurde nicht gelöscht, Sie dürfen nur Ihre eigenen Dokumente löschen.",
              0);
    Abort();
  }
  const std::string docId = dataSet.FieldByName("DOCID").AsString();
  WriteErrorLog("Dokument \"" + docId + "\" gelöscht");
  DeleteRows("TODO", "DOCID", docId);
  DeleteRows("DOCVERS", "DOCID", docId);
  DeleteRows("DOCPRTCL", "DOCID", docId);
  if (Configuration && Configuration->FtiCreateMode != 0) {
    FullTextRetrieval()->JobQueue().Add(
        static_cast<int32_t>(dataSet.FieldByName("DOCID").AsInteger()), false, std::string(),
        fjDeleteDocument);
    FullTextRetrieval()->StartWorker();
  }
  DeleteRows("DOCBLOBS", "DOCID", docId);
}

void TDkArchive::AddProtocol(int docId, const std::string& text) {
  if (docId == 0 || !Configuration || !Configuration->Protocol) return;
  if (FPostingNew && docId == LastDocID) {
    FHeldProtocol.push_back(text);
    return;
  }
  // Quotes would end the literal in the dialects that do not double them.
  std::string clean = ReplaceAll(ReplaceAll(text, "\"", ""), "'", "");
  try {
    Connection().Execute("INSERT INTO DOCPRTCL (DOCID,CREATEDATE,USERNAME,PROTOCOL) VALUES (" +
                         std::to_string(docId) + "," + SqlDateTime(Connection(), TDateTime::Now()) +
                         "," + SqlQuoted(UserName) + "," + SqlQuoted(clean) + ")");
  } catch (const std::exception& e) {
    WriteErrorLog("Protokoll zu Datensatz " + std::to_string(docId) +
                  " konnte nicht erstellt werden:\r" + e.what());
  }
}

void TDkArchive::TodoBeforePost(TDataSet& dataSet) {
  EndDataSetReads();  // see DocBeforePost
  SetUpdateCriteriaKey(dataSet);
  if (IsFieldEmpty(dataSet.FieldByName("TODOID")))
    dataSet.FieldByName("TODOID").SetAsInteger(GetNextID("TODOID"));
  if (TField* guid = dataSet.FindField("TODOGUID"); guid && IsFieldEmpty(guid))
    guid->SetAsString(NewGuidText());
}

void TDkArchive::Open() {
  if (Connected()) return;
  if (!FApplDatabase) throw EDatabaseError("Entwickler: Anwendungsdatenbank ist nicht zugeordnet");
  if (!FCheckingReminders) FRetiredTimers.clear();

  SetDocTableSource(dtsDocument);
  Caption = ExtractFileName(DatabaseName());
  try {
    TCustomDocDatabase::Open();
  } catch (...) {
    // A half-done open (connection up, definitions or probe failed) is
    // undone: the archive is either open as a whole or closed.
    try {
      TCustomDocDatabase::Close();
    } catch (...) {
    }
    Caption.clear();
    throw;
  }
  if (!Connected()) {
    Caption.clear();
    return;
  }
  if (OnCaptionChange) OnCaptionChange(*this);

  const TConfiguration* config = Configuration;
  AccessRightsMode = config && config->DefineAccessRights && IsWinNT &&
                     DocQuery()->FindField("ACCESSRIGHTS") != nullptr;
  UseServerIndexer = config && config->ServerIndexer &&
                     (IsConnectionFile() || GetDriveKind(DatabaseName()) == dkRemote);
  FullTextRetrieval()->UseServerIndexer = UseServerIndexer;

  LoadTodoPickLists();
  if (config && config->ToDoTimerInterval > 0 && OnTodoPopup) StartReminderTimer();
}

bool TDkArchive::Close() {
  const bool closed = TCustomDocDatabase::Close();
  FreeReminderTimer();
  return closed;
}

bool TDkArchive::GetDocTypePickItems(std::string_view fieldName, TStringList& items) {
  if (!FApplDatabase) return false;
  if (fieldName == "APPLNAME") {
    items.AddStrings(FApplDatabase->ApplNames);
    return true;
  }
  if (fieldName == "TEMPLATE") {
    items.AddStrings(FApplDatabase->TemplateNames);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Document table source

void TDkArchive::SetDocTableSource(TDocTableSource source) {
  if (source == FDocTableSource) return;
  FDocTableSource = source;
  TQuery& query = *DocQuery();
  const bool wasOpen = query.Active();
  query.Close();

  const bool document = source == dtsDocument;
  DocTableName = document ? "DOCUMENT" : "DOCARCH";
  // Only the first occurrence is the table after FROM; the same word later in
  // a condition (a project named so) stays.
  if (wasOpen)
    query.SetSQLText(
        ReplaceFirstIgnoringCase(query.SQLText(), document ? "DOCARCH" : "DOCUMENT", DocTableName));
  LastSearchSQL().Clear();

  if (wasOpen) {
    if (BeforeExecuteQueryDoc) BeforeExecuteQueryDoc(query, semOpen);
    try {
      query.Open();
    } catch (...) {
      if (AfterExecuteQueryDoc) AfterExecuteQueryDoc(query, semOpen);
      throw;
    }
    if (AfterExecuteQueryDoc) AfterExecuteQueryDoc(query, semOpen);
  }
  if (OnChangeDocTableSource) OnChangeDocTableSource(*this, source);
}

// ---------------------------------------------------------------------------
// To-do pick lists and reminders

void TDkArchive::LoadTodoPickLists() {
  const std::string dir = Configuration ? Configuration->CommonFilesPath : std::string();
  try {
    TodoTypeItems.LoadFromFile(dir + "todotype.itm");
    TodoNameItems.LoadFromFile(dir + "todoname.itm");
    TodoPrtItems.LoadFromFile(dir + "todoprt.itm");
  } catch (const std::exception&) {
    WriteErrorLog("Fehler beim Lesen der Auswahllisten todo* aus " + dir);
  }
}

void TDkArchive::StartReminderTimer() {
  FReminderTimer = std::make_unique<TTimer>();
  FReminderTimer->OnTimer = [this](TTimer&) { CheckReminders(); };
  FReminderTimer->SetInterval(TimerInterval(Configuration->ToDoTimerFirstInterval));
  FReminderTimer->SetEnabled(true);
}

void TDkArchive::FreeReminderTimer() {
  if (FReminderTimer) {
    FReminderTimer->SetEnabled(false);
    // The timer's own handler may be what closes the archive: then the timer
    // must outlive the handler.
    if (FCheckingReminders)
      FRetiredTimers.push_back(std::move(FReminderTimer));
    else
      FReminderTimer.reset();
  }
  if (!FCheckingReminders) FRetiredTimers.clear();
}

void TDkArchive::CheckReminders() {
  // A closed archive has nothing to check, and its connection must not be
  // opened behind its back by the query.
  if (!Connected()) return;
  const bool wasChecking = FCheckingReminders;
  FCheckingReminders = true;
  TTimer* timer = FReminderTimer.get();
  TQuery& query = *FReminderQuery;
  try {
    if (timer) {
      timer->SetEnabled(false);
      timer->SetInterval(TimerInterval(Configuration ? Configuration->ToDoTimerInterval : 0));
    }
    query.Close();
    query.SQL().Clear();
    query.SQL().Add("SELECT * FROM TODO");
    query.SQL().Add("WHERE HINTPOPUP=" + SqlQuoted("T"));
    query.SQL().Add("  AND USERNAME=" + SqlQuoted(UserName));
    query.SQL().Add("  AND HINTDATE < :paramHintDate");
    TParameter& hintDate = query.Parameters().ParamByName("paramHintDate");
    hintDate.DataType = ftDateTime;
    hintDate.Direction = pdInput;
    hintDate.Value = TVariant(TDateTime::Now());
    query.Open();
    if (!query.IsEmpty() && OnTodoPopup) OnTodoPopup(query);
    // The handler may have closed (and reopened) the archive: only the timer
    // that fired runs again.
    if (timer && FReminderTimer.get() == timer) timer->SetEnabled(true);
    query.Close();
  } catch (const std::exception& e) {
    if (timer && FReminderTimer.get() == timer) timer->SetEnabled(false);
    ShowError(
        "Fehler bei Abfrage der Tätigkeiten mit Erinnerungsfunktion. Die automatische Erinnerung "
        "wird jetzt deaktiviert. \n\rFehlermeldung: " +
            std::string(e.what()),
        7305);
    try {
      query.Close();
    } catch (...) {
    }
  }
  FCheckingReminders = wasChecking;
}

// ---------------------------------------------------------------------------
// File placement

bool TDkArchive::IsDocApplCurrent() const {
  try {
    if (!FApplDatabase) return false;
    const TTable& appl = *FApplDatabase->TableAppl();
    const TQuery& doc = *DocQuery();
    if (!appl.Active() || appl.IsEmpty() || !doc.Active()) return false;
    return appl.FieldByName("APPLNAME").AsString() == doc.FieldByName("APPLNAME").AsString();
  } catch (const std::exception&) {
    return false;
  }
}

std::string TDkArchive::GetDocPath() {
  std::string path;
  const bool current = IsDocApplCurrent();
  if (current) path = Trim(FApplDatabase->TableAppl()->FieldByName("DOCPATH").AsString());
  if (!current || path.empty() || path.rfind("[automatisch]", 0) == 0)
    path = Configuration ? Configuration->DefaultFilePath : std::string();
  path = ConvertCmdStr(path);
  return IncludeTrailingPathDelimiter(CleanFileName(path, false));
}

std::string TDkArchive::GetDefaultDocFileName() {
  const std::string dir = GetDocPath();
  try {
    if (!DirectoryExists(dir)) ForceDirectories(dir);
  } catch (const std::exception&) {
    // The file operation that needs the directory reports the problem.
  }
  std::string name = Configuration ? Configuration->DefaultFileName : std::string();
  name = Trim(CleanFileName(ConvertCmdStr(name), true));
  if (name.empty()) name = std::to_string(GetDocID());

  std::string ext;
  if (FApplDatabase) {
    const TTable& appl = *FApplDatabase->TableAppl();
    if (appl.Active() && !appl.IsEmpty()) ext = appl.FieldByName("FILEEXT").AsString();
  }
  if (!ext.empty()) name += "." + ext;
  return dir + name;
}

// ---------------------------------------------------------------------------
// After a document was saved

void TDkArchive::DocAfterPost(TDataSet& dataSet) {
  if (FPostingNew) {
    // The row is stored: what waited for its number follows it now.
    FPostingNew = false;
    const int docId = GetDocID();
    std::vector<std::string> held;
    held.swap(FHeldProtocol);
    for (const std::string& text : held) AddProtocol(docId, text);
    FullTextRetrieval()->ReleaseHeldJobs(docId);
  }
  if (OnExecuteCommand && FApplDatabase) {
    const char* event = IsNewDocument ? "AfterPostNewDoc" : "AfterPostChangedDoc";
    const TField* applField = dataSet.FindField("APPLNAME");
    const std::string applName = applField ? applField->AsString() : std::string();
    // The event commands belong to the document's own type, which need not
    // be the type the type table stands on.
    if (FApplDatabase->LocateApplName(applName)) {
      const std::string command = FApplDatabase->GetExecEventCommand(applName, event);
      if (!command.empty()) OnExecuteCommand(*this, command);
    }
  }
  if (AfterPostDocument) AfterPostDocument(dataSet);
}

}  // namespace dk
