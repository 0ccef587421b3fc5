#include "db/appl_database.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "data/errors.h"
#include "data/query.h"
#include "db/archive.h"
#include "db/db_fields.h"
#include "db/util/sql_util.h"
#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "sys/file_names.h"
#include "sys/file_paths.h"
#include "sys/text.h"
#include "ui/application.h"
#include "ui/image_list.h"
#include "ui/message_box.h"

namespace dk {

namespace {

// The administrator's contact text that follows every error box.
std::string ErrorMessageText() {
  return Configuration ? Configuration->ErrorMessage : std::string();
}

// An error box with OK; `text` carries its own line break before the
// contact text.
void ErrorBox(const std::string& text) {
  MessageDlg(text + ErrorMessageText(), mtError, mbOK);
}

// Extensions are kept without dots and in lower case: ".DOC" and "d.o.c" are
// both "doc".
std::string NormalizedExt(const std::string& ext) {
  std::string s = ext;
  s.erase(std::remove(s.begin(), s.end(), '.'), s.end());
  return AnsiLowerCase(s);
}

// Writes the text unless the field holds it already, so that a null column
// stays null when nothing changes.
void SetTextIfChanged(TField& field, const std::string& text) {
  if (field.AsString() != text) field.SetAsString(text);
}

void NormalizeExtField(TDataSet& dataSet) {
  TField& ext = dataSet.FieldByName("FILEEXT");
  SetTextIfChanged(ext, NormalizedExt(ext.AsString()));
}

// A flag column read from a lookup: text columns hold "T" for true.
bool IsTrueValue(const TVariant& value) {
  switch (value.Type()) {
    case TVarType::Text:
      return value.Text() == "T";
    case TVarType::Boolean:
      return value.Boolean();
    case TVarType::Integer:
      return value.Integer() != 0;
    default:
      return false;
  }
}

// Posts a row appended by this component; a row that cannot be saved is
// discarded, so that the table is not left in insert state behind the
// caller's back.
void PostOrCancel(TDataSet& dataSet) {
  try {
    dataSet.Post();
  } catch (...) {
    if (dataSet.State() == dsInsert || dataSet.State() == dsEdit) dataSet.Cancel();
    throw;
  }
}

// The SQL-wait cursor for a scope; the previous cursor comes back on every
// way out.
class TSqlWaitCursor {
 public:
  TSqlWaitCursor() : FPrevious(Application ? Application->Cursor() : crDefault) {
    if (Application) Application->SetCursor(crSQLWait);
  }
  ~TSqlWaitCursor() {
    if (Application) Application->SetCursor(FPrevious);
  }
  TSqlWaitCursor(const TSqlWaitCursor&) = delete;
  TSqlWaitCursor& operator=(const TSqlWaitCursor&) = delete;

 private:
  int FPrevious;
};

struct TStdCommand {
  const char* Name;
  const char* Caption;
  char Letter;  // its letter in VISIBLECMDS
};

constexpr TStdCommand kStdCommands[] = {
    {"new", "Neu...", 'N'},
    {"open", "Öffnen", 'O'},
    {"print", "Drucken...", 'P'},
};

}  // namespace

// ---------------------------------------------------------------------------
// Code conversions

int DocTypeFromChar(char letter) {
  switch (letter) {
    case 'D':
    case 'd':
      return 1;
    case 'O':
    case 'o':
      return 2;
    case 'W':
    case 'w':
      return 3;
    case 'M':
    case 'm':
      return 4;
    default:
      return dctUnknown;
  }
}

char DocTypeToChar(int docType) {
  static constexpr char kLetters[] = {' ', 'D', 'O', 'W', 'M'};
  return docType >= 0 && docType <= 4 ? kLetters[docType] : ' ';
}

int DocTypeOfField(const TField* field) {
  if (!field || field->IsNull()) return dctUnknown;
  const std::string text = field->AsString();
  return text.empty() ? dctUnknown : DocTypeFromChar(text[0]);
}

namespace {
constexpr char kPreviewLetters[] = {' ', 'K', 'S', 'A', 'O', 'G', 'H', 'P', 'B'};
}  // namespace

int DocPreviewFromChar(char letter) {
  const char upper = AsciiUpper(std::string(1, letter))[0];
  for (int code = 1; code <= 8; ++code)
    if (kPreviewLetters[code] == upper) return code;
  return 0;
}

char DocPreviewToChar(int preview) {
  return preview >= 0 && preview <= 8 ? kPreviewLetters[preview] : ' ';
}

// ---------------------------------------------------------------------------
// Construction

TApplDatabase::TApplDatabase(TComponent* owner) : TCustomDkDatabase(owner) {
  FTableAppl = CreateTable("APPL");
  FTableAppl->SetName("TableAppl");
  RegisterDataSet(FTableAppl);
  FTableAppl->AfterInsert = [this](TDataSet& ds) { ApplAfterInsert(ds); };
  FTableAppl->AfterEdit = [this](TDataSet& ds) { ApplAfterEdit(ds); };
  FTableAppl->AfterPost = [this](TDataSet& ds) { ApplAfterPost(ds); };
  // SetApplField writes summary columns without the save checks.
  FTableAppl->BeforePost = [this](TDataSet& ds) {
    if (!FApplChecksDetached) ApplBeforePost(ds);
  };
  FTableAppl->BeforeDelete = [this](TDataSet& ds) { ApplBeforeDelete(ds); };
  FTableAppl->AfterDelete = [this](TDataSet& ds) { ApplAfterDelete(ds); };
  auto postError = [this](TDataSet& ds, EDatabaseError& e, TDataAction& action) {
    ApplPostError(ds, e, action);
  };
  FTableAppl->OnPostError = postError;
  FSourceAppl = std::make_unique<TDataSource>(FTableAppl);

  auto makeDetail = [&](const char* table, const char* name) {
    TTable* detail = CreateTable(table);
    detail->SetName(name);
    RegisterDataSet(detail);
    detail->OnPostError = postError;
    detail->SetMasterSource(FSourceAppl.get());
    detail->SetMasterFields("APPLNAME");
    return detail;
  };

  FTableApplCmd = makeDetail("APPLCMD", "TableApplCmd");
  FTableApplCmd->AfterInsert = [this](TDataSet& ds) { CmdAfterInsert(ds); };
  FTableApplCmd->BeforePost = [this](TDataSet& ds) { CmdBeforePost(ds); };
  FTableApplCmd->AfterPost = [this](TDataSet& ds) { CmdAfterPost(ds); };

  FTableFileExt = makeDetail("FILEEXT", "TableFileExt");
  FTableFileExt->BeforePost = [this](TDataSet& ds) { ExtBeforePost(ds); };

  FTableTemplate = makeDetail("TEMPLATE", "TableTemplate");
  FTableTemplate->AfterPost = [this](TDataSet& ds) { TemplateChanged(ds); };
  FTableTemplate->AfterDelete = [this](TDataSet& ds) { TemplateChanged(ds); };
}

TApplDatabase::~TApplDatabase() {
  SetDocArchive(nullptr);
  for (TDkArchive* archive : FReferringArchives) archive->FApplDatabase = nullptr;
  FReferringArchives.clear();
  // Close while the master link still exists, so that no handler of a
  // closing table meets a half-destroyed component.
  try {
    CloseConnection();
  } catch (...) {
    // A destructor cannot report; the base closes the connection again.
  }
  for (TTable* table : {FTableTemplate, FTableFileExt, FTableApplCmd})
    table->SetMasterSource(nullptr);
  FSourceAppl.reset();
  for (TTable* table : {FTableTemplate, FTableFileExt, FTableApplCmd, FTableAppl})
    FreeDataSet(table);
}

void TApplDatabase::SetDocArchive(TDkArchive* archive) {
  if (archive == FDocArchive) return;
  if (FDocArchive) {
    auto& list = FDocArchive->FReferringApplDatabases;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FDocArchive = archive;
  if (FDocArchive) FDocArchive->FReferringApplDatabases.push_back(this);
}

void TApplDatabase::Open() {
  OpenConnection();
  if (!Connected()) return;
  // The master first: the details open on its current type.
  for (TTable* table : {FTableAppl, FTableApplCmd, FTableFileExt, FTableTemplate})
    if (!table->Active()) table->Open();
}

// ---------------------------------------------------------------------------
// The current type

std::string TApplDatabase::GetApplName() const {
  if (!FTableAppl->Active()) return {};
  return FTableAppl->FieldByName("APPLNAME").AsString();
}

int TApplDatabase::GetDocType() const {
  return DocTypeOfField(FTableAppl->FindField("DOCTYPE"));
}

int TApplDatabase::GetDocPreview() const {
  const TField* field = FTableAppl->FindField("DOCPREVIEW");
  if (!field || field->IsNull()) return 0;
  const std::string text = field->AsString();
  return text.empty() ? 0 : DocPreviewFromChar(text[0]);
}

std::string TApplDatabase::GetFieldFileName(const TDataSet& table, std::string_view column) const {
  const std::string value = table.FieldByName(column).AsString();
  if (value.find(',') == std::string::npos || FileExists(value)) return value;
  TStringList alternatives;
  alternatives.SetCommaText(value);
  for (const std::string& candidate : alternatives.Items())
    if (FileExists(candidate)) return candidate;
  return {};
}

void TApplDatabase::SetApplField(std::string_view column, const std::string& text) {
  TTable& appl = *FTableAppl;
  if (appl.FieldByName(column).AsString() == text) return;
  // The checks of ApplBeforePost are for what a user typed; a summary column
  // written here must not trigger their boxes.
  const bool wasDetached = FApplChecksDetached;
  FApplChecksDetached = true;
  const bool beganEdit = appl.State() != dsEdit && appl.State() != dsInsert;
  try {
    if (beganEdit) appl.Edit();
    appl.FieldByName(column).SetAsString(text);
    if (beganEdit) appl.Post();
  } catch (...) {
    // An edit begun here and not saved is undone, so that the row is not
    // left in edit mode for a later save to pick up unchecked.
    if (beganEdit && appl.State() == dsEdit) appl.Cancel();
    FApplChecksDetached = wasDetached;
    throw;
  }
  FApplChecksDetached = wasDetached;
}

bool TApplDatabase::LocateApplName(const std::string& applName) {
  try {
    TTable& appl = *FTableAppl;
    if (appl.Active() && !appl.IsEmpty() && GetApplName() == applName) return true;
    return appl.Locate("APPLNAME", TVariant(applName), loCaseInsensitive);
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
}

bool TApplDatabase::FindCommand(const std::string& cmdName) {
  try {
    return FTableApplCmd->Locate("APPLNAME;CMDNAME", {TVariant(GetApplName()), TVariant(cmdName)},
                                 loCaseInsensitive);
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
}

std::string TApplDatabase::GetExecEventCommand(const std::string& applName,
                                               const std::string& eventName) {
  try {
    if (!FTableAppl->FieldByName("HASEXECEVENT").AsBoolean()) return {};
    const TVariant command = FTableApplCmd->Lookup(
        "APPLNAME;EXECEVENT", {TVariant(applName), TVariant(eventName)}, "CMDNAME");
    return command.IsNull() ? std::string() : command.ToString();
  } catch (const std::exception&) {
    return {};
  }
}

// ---------------------------------------------------------------------------
// Pick lists and templates

void TApplDatabase::UpdatePickList(TStringList& list, const char* table, const char* column,
                                   const char* fieldName, const char* failureText) {
  list.Clear();
  {
    TOwnedDataSet<TQuery> query(*this, CreateQuery());
    query->SQL().Add(std::string("SELECT * FROM ") + table);
    query->Open();
    for (; !query->Eof(); query->Next()) list.Add(query->FieldByName(column).AsString());
  }
  if (!FDocArchive || !FDocArchive->Connected()) return;
  try {
    TDkDBFields* fields = FDocArchive->DBFields();
    TDkDBField* field = fields ? fields->Find(fieldName) : nullptr;
    if (!field) {
      WriteErrorLog(failureText);
      return;
    }
    field->LoadPickItems();
    if (FDocArchive->OnNewPickListItem) FDocArchive->OnNewPickListItem(*FDocArchive, *field);
  } catch (const std::exception&) {
    WriteErrorLog(failureText);
  }
}

void TApplDatabase::UpdateApplNameLists() {
  UpdatePickList(ApplNames, "APPL", "APPLNAME", "APPLNAME",
                 "TApplDatabase.UpdateApplNameLists: [ApplName].LoadPickItems");
}

void TApplDatabase::UpdateTemplateList() {
  UpdatePickList(TemplateNames, "TEMPLATE", "TEMPLATENAME", "TEMPLATE",
                 "TApplDatabase.UpdateTemplateList: [Template].LoadPickItems");
}

void TApplDatabase::CreateTemplatesFromDir(const std::string& applName,
                                           const std::string& directory) {
  if (!LocateApplName(applName) || !DirectoryExists(directory)) return;
  const std::string ext = FTableAppl->FieldByName("FILEEXT").AsString();
  if (ext.empty()) return;

  // The rows belong to the type as it is stored: a name given in another
  // letter case would make them another type's rows.
  const std::string storedName = GetApplName();
  const std::string dir = IncludeTrailingPathDelimiter(directory);
  TStringList files;
  AddFileNames(dir + "*." + ext, faAnyFile, files);
  TTable& templates = *FTableTemplate;
  for (const std::string& file : files.Items()) {
    const std::string name = ChangeFileExt(file, "");
    const std::string path = dir + file;
    // A template is known by its name or by its file, whichever matches.
    if (SafeLocate(templates, "TEMPLATENAME", TVariant(name)) ||
        SafeLocate(templates, "TEMPLATEFILE", TVariant(path)))
      continue;
    templates.Append();
    templates.FieldByName("APPLNAME").SetAsString(storedName);
    templates.FieldByName("TEMPLATENAME").SetAsString(name);
    templates.FieldByName("TEMPLATEFILE").SetAsString(path);
    templates.FieldByName("TEMPLATEACTIVE").SetAsBoolean(true);
    PostOrCancel(templates);
  }
}

// ---------------------------------------------------------------------------
// Commands and summary columns

void TApplDatabase::UpdateVisibleCmds() {
  const std::string applName = GetApplName();
  std::string letters;
  for (const TStdCommand& command : kStdCommands) {
    const TVariant visible = FTableApplCmd->Lookup(
        "APPLNAME;CMDNAME", {TVariant(applName), TVariant(command.Name)}, "VISIBLE");
    if (IsTrueValue(visible)) letters += command.Letter;
  }
  if (FindCommand("ListAssociatedFiles")) letters += 'L';
  SetApplField("VISIBLECMDS", letters);
}

void TApplDatabase::UpdateHasExecEvent() {
  bool has = false;
  {
    TOwnedDataSet<TQuery> query(*this, CreateQuery());
    query->SQL().Add("SELECT * FROM APPLCMD");
    query->SQL().Add("WHERE APPLNAME = " + SqlQuoted(GetApplName()));
    query->Open();
    for (; !query->Eof() && !has; query->Next())
      has = !IsFieldEmpty(query->FieldByName("EXECEVENT"));
  }
  if (has != FTableAppl->FieldByName("HASEXECEVENT").AsBoolean())
    SetApplField("HASEXECEVENT", has ? "T" : "F");
}

void TApplDatabase::CreateStdCommands(const std::string& exeFileName) {
  TTable& commands = *FTableApplCmd;
  for (const TStdCommand& command : kStdCommands) {
    if (FindCommand(command.Name)) continue;
    commands.Append();
    commands.FieldByName("APPLNAME").SetAsString(GetApplName());
    commands.FieldByName("CMDNAME").SetAsString(command.Name);
    commands.FieldByName("CMDCAPTION").SetAsString(command.Caption);
    commands.FieldByName("DEFAULTCMD").SetAsBoolean(true);
    if (std::string_view(command.Name) == "new")
      commands.FieldByName("VISIBLE").SetAsBoolean(GetDocType() != 4);
    commands.FieldByName("APPLEXE").SetAsString(exeFileName);
    PostOrCancel(commands);
  }
}

// ---------------------------------------------------------------------------
// Handlers of APPL

void TApplDatabase::ApplAfterInsert(TDataSet& dataSet) {
  NewApplRecord = true;
  dataSet.FieldByName("DOCTYPE").SetAsString(std::string(1, DocTypeToChar(1)));
  dataSet.FieldByName("DOCPREVIEW").SetAsString("K");
  dataSet.FieldByName("DOCPATH").SetAsString("[automatisch]");
  dataSet.FieldByName("VISIBLECMDS").SetAsString("NOP");
  dataSet.FieldByName("EDITRIGHTS").SetAsBoolean(true);
  std::string bitmap;
  if (DocImages && DocImages->GetBitmap(0, bitmap))
    dataSet.FieldByName("APPLIMAGE").SetAsBytes(bitmap);
}

void TApplDatabase::ApplAfterEdit(TDataSet& /*dataSet*/) {
  NewApplRecord = false;
}

void TApplDatabase::ApplBeforePost(TDataSet& dataSet) {
  NormalizeExtField(dataSet);
  // A new type gets its standard commands; the checks below are for an
  // existing type being saved again.
  if (dataSet.State() == dsInsert) {
    CreateStdCommands("");
    return;
  }

  if (Trim(dataSet.FieldByName("APPLNAME").AsString()).empty()) {
    ErrorBox("Geben Sie bitte eine Bezeichnung für die Anwendung ein.\r");
    Abort();
  }

  switch (GetDocType()) {
    case 1:
      if (Trim(dataSet.FieldByName("FILEEXT").AsString()).empty()) {
        ErrorBox("Geben Sie bitte die Dateiendung ein.\r");
        Abort();
      }
      if (GetDocPreview() == 3) {
        const std::string program = GetFieldFileName(dataSet, "DOCPREVIEWEXE");
        // A placeholder in braces is expanded by the host when the preview
        // runs; the file cannot be checked before.
        if (!FileExists(program) &&
            dataSet.FieldByName("DOCPREVIEWEXE").AsString().find('{') == std::string::npos) {
          if (MessageDlg(
                  "Vorschauprogramm: " + program + " nicht vorhanden.\r" + ErrorMessageText(),
                  mtError, mbOK | mbIgnore) != mrIgnore)
            Abort();
        }
      }
      break;
    case 2:
      dataSet.FieldByName("DOCPREVIEW").SetAsString("K");
      dataSet.FieldByName("EDITRIGHTS").SetAsBoolean(false);
      break;
    case 3:
      dataSet.FieldByName("DOCPREVIEW").SetAsString("H");
      break;
    case 4:
      break;
    default:
      ShowError("Unbekannter Dokumenttyp " + dataSet.FieldByName("DOCTYPE").AsString(), 0);
      break;
  }

  // The type's symbol file is the program of its command "open", for every
  // type code.
  std::string iconFile;
  try {
    const TVariant exe = FTableApplCmd->Lookup(
        "APPLNAME;CMDNAME", {TVariant(GetApplName()), TVariant("open")}, "APPLEXE");
    if (!exe.IsNull()) iconFile = exe.ToString();
  } catch (const std::exception&) {
    iconFile.clear();
  }
  SetTextIfChanged(dataSet.FieldByName("ICONFILE"), iconFile);
}

void TApplDatabase::ApplAfterPost(TDataSet& /*dataSet*/) {
  UpdateApplNameLists();
  if (OnTableApplModified) OnTableApplModified(*FTableAppl);
  if (NewApplRecord && Configuration)
    CreateTemplatesFromDir(GetApplName(), Configuration->CommonFilesPath + "Template");
}

void TApplDatabase::ApplBeforeDelete(TDataSet& dataSet) {
  const std::string name = dataSet.FieldByName("APPLNAME").AsString();
  // A closed archive cannot be asked: its connection is not opened behind
  // its back, so it counts as no partner.
  bool used = false;
  if (FDocArchive && FDocArchive->Connected()) {
    TSqlWaitCursor wait;
    used = FDocArchive->FindDocID("APPLNAME", name) >= 0;
  }
  if (used && MessageDlg("Dem Dokumenttyp " + name +
                             " sind Dokumente zugeordnet. Wenn Sie den Dokumenttyp löschen, "
                             "können diese Dokumente nicht mehr bearbeitet werden. "
                             "Sind Sie sicher, dass Sie " +
                             name + " löschen möchten?",
                         mtWarning, mbYes | mbNo) != mrYes)
    Abort();

  for (const char* detail : {"APPLCMD", "FILEEXT", "TEMPLATE"})
    Connection().Execute(std::string("DELETE FROM ") + detail +
                         " WHERE APPLNAME = " + SqlQuoted(name));
  WriteErrorLog("Dokumenttyp " + name + " gelöscht");
}

void TApplDatabase::ApplAfterDelete(TDataSet& /*dataSet*/) {
  for (TTable* detail : {FTableApplCmd, FTableFileExt, FTableTemplate})
    if (detail->Active()) detail->Requery();
  // The deleted type and its templates leave the pick lists as well.
  UpdateApplNameLists();
  UpdateTemplateList();
  if (OnTableApplModified) OnTableApplModified(*FTableAppl);
}

void TApplDatabase::ApplPostError(TDataSet& dataSet, EDatabaseError& error, TDataAction& action) {
  // The error list belongs to the last failure the engine reported; a
  // failure of the data layer itself leaves an older list behind.
  if (!dynamic_cast<EProviderError*>(&error)) return;
  std::string what;
  if (&dataSet == FTableAppl)
    what = "des Dokumenttypen";
  else if (&dataSet == FTableApplCmd)
    what = "des Befehls";
  else if (&dataSet == FTableFileExt)
    what = "der Dateiendung";
  for (const TProviderErrorInfo& info : Connection().Errors()) {
    if (info.NativeError != kDuplicateKeyError) continue;
    ErrorBox("Die Bezeichnung " + what +
             " muss eindeutig sein.Geben Sie eine Bezeichnung ein, die noch nicht vorhanden "
             "ist.\r");
    action = daAbort;
    return;
  }
}

// ---------------------------------------------------------------------------
// Handlers of the detail tables

void TApplDatabase::CmdAfterInsert(TDataSet& dataSet) {
  const int docType = GetDocType();
  dataSet.FieldByName("CHANGEDIR").SetAsBoolean(false);
  dataSet.FieldByName("VISIBLE").SetAsBoolean(true);
  // Window show codes of the platform: 3 maximized, 1 normal.
  dataSet.FieldByName("SWSHOW").SetAsInteger(docType == 1 || docType == 3 ? 3 : 1);
  dataSet.FieldByName("DEFAULTCMD").SetAsBoolean(true);
  dataSet.FieldByName("TERMWAIT").SetAsBoolean(false);
  dataSet.FieldByName("EXECMACRO").SetAsBoolean(false);
  dataSet.FieldByName("FILEASPARAM").SetAsBoolean(true);
}

void TApplDatabase::CmdBeforePost(TDataSet& dataSet) {
  const std::string name = dataSet.FieldByName("CMDNAME").AsString();
  if (name.empty()) {
    ErrorBox("Geben Sie bitte eine Bezeichnung für den Befehl ein.\r");
    Abort();
  }
  TField& caption = dataSet.FieldByName("CMDCAPTION");
  if (caption.AsString().empty()) caption.SetAsString(name);
}

void TApplDatabase::CmdAfterPost(TDataSet& /*dataSet*/) {
  UpdateVisibleCmds();
  UpdateHasExecEvent();
}

void TApplDatabase::ExtBeforePost(TDataSet& dataSet) {
  NormalizeExtField(dataSet);
}

void TApplDatabase::TemplateChanged(TDataSet& /*dataSet*/) {
  UpdateTemplateList();
}

}  // namespace dk
