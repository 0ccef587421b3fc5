#include "db/db_fields.h"

#include <exception>

#include "data/errors.h"
#include "data/query.h"
#include "db/doc_database.h"
#include "db/util/sql_util.h"
#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "sys/api_tools.h"
#include "sys/file_names.h"
#include "sys/file_paths.h"
#include "sys/ini_file.h"
#include "sys/text.h"
#include "ui/application.h"
#include "ui/message_box.h"

namespace dk {

namespace {

// Opens a dataset for the length of a scope and closes it again when it was
// closed before.
class TOpenForScope {
 public:
  explicit TOpenForScope(TDataSet& dataSet) : FDataSet(dataSet), FWasOpen(dataSet.Active()) {
    if (!FWasOpen) FDataSet.Open();
  }
  ~TOpenForScope() {
    if (!FWasOpen) FDataSet.Close();
  }
  TOpenForScope(const TOpenForScope&) = delete;
  TOpenForScope& operator=(const TOpenForScope&) = delete;

 private:
  TDataSet& FDataSet;
  bool FWasOpen;
};

int SetCursorOf(int cursor) {
  const int old = Application ? Application->Cursor() : crDefault;
  if (Application) Application->SetCursor(cursor);
  return old;
}

std::string Tf(bool value) {
  return SqlQuoted(BoolToTF(value));
}

}  // namespace

bool FieldHasItemList(int editStyle, std::string_view fieldName) {
  if (editStyle < 1 || editStyle > 4) return false;
  const std::string name = AnsiUpperCase(fieldName);
  return name != "USERNAME" && name != "APPLNAME" && name != "ACCESSRIGHTS" && name != "TEMPLATE";
}

void AddPathItem(TStringList& list, const std::string& path) {
  auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
  std::string parent;
  const size_t pos = path.find_last_of("\\/");
  if (pos != std::string::npos) {
    // "/" at the very start is the root of this platform's paths, as C:\ is
    // on Windows; a leading backslash alone names no parent.
    const bool keepDelimiter =
        pos > 0 ? path[pos - 1] == ':' || isSeparator(path[pos - 1]) : path[pos] == '/';
    parent = path.substr(0, keepDelimiter ? pos + 1 : pos);
  }
  if (!parent.empty() && parent != path && list.IndexOf(parent) < 0) AddPathItem(list, parent);
  list.Add(path);
}

// ---------------------------------------------------------------------------
// TDkDBField

TDkDBField::TDkDBField(TCustomDocDatabase& owner, std::string_view fieldName, std::string caption,
                       bool visible, bool allowEmpty, bool showInSearchMenu, int dbEditTabSh,
                       int editStyle, bool updateList, std::string filePath, bool globalList)
    : FieldName(AnsiUpperCase(fieldName)),
      Caption(std::move(caption)),
      Visible(visible),
      AllowEmpty(allowEmpty),
      ShowInSearchMenu(showInSearchMenu),
      DBEditTabSh(dbEditTabSh),
      EditStyle(static_cast<uint8_t>(editStyle)),
      UpdateList(updateList),
      FilePath(std::move(filePath)),
      GlobalList(globalList),
      FOwner(owner) {
  if (UsesItems()) LoadPickItems();
}

bool TDkDBField::UsesItems() const {
  return (EditStyle >= 1 && EditStyle <= 4) || EditStyle == 13;
}

bool TDkDBField::HasItemList() const {
  return FieldHasItemList(EditStyle, FieldName);
}

std::string TDkDBField::GlobalListFileName() const {
  return (Configuration ? Configuration->CommonFilesPath : std::string()) + FieldName + ".itm";
}

void TDkDBField::LoadPickItems() {
  Items.Clear();
  if (HasItemList()) {
    if (GlobalList) {
      // A global list that is missing or unreadable is simply empty.
      try {
        if (Configuration) Items.LoadFromFile(GlobalListFileName());
      } catch (const std::exception&) {
        Items.Clear();
      }
      return;
    }
    TDataSet& table = *FOwner.ItemListTable();
    TOpenForScope open(table);
    if (table.Locate("ITMNAME", TVariant(FieldName), loCaseInsensitive))
      Items.SetText(table.FieldByName("ITMLIST").AsString());
    return;
  }
  if (EditStyle == 13) {
    LoadFileList();
  } else if (FieldName == "USERNAME") {
    Items.AddStrings(UserNames);
  } else if (FieldName == "APPLNAME" || FieldName == "TEMPLATE") {
    TStringList names;
    if (FOwner.GetDocTypePickItems(FieldName, names)) Items.AddStrings(names);
  }
}

void TDkDBField::LoadFileList() {
  TStringList parts;
  parts.SetCommaText(FilePath);
  try {
    if (parts.Count() >= 3) {
      const std::string directory = Trim(parts[0]);
      const std::string masks = Trim(parts[1]);
      const std::string& mode = parts[2];
      ListFiles(directory, masks, SameText(mode, "FileName"), Items, false,
                !SameText(mode, "Name"));
      return;
    }
  } catch (const std::exception&) {
    // Reported below like a malformed FilePath.
  }
  WriteErrorLog("Feld " + FieldName + ": fehlerhafte Dateimaske");
}

void TDkDBField::SavePickItems() {
  if (GlobalList) {
    const std::string fileName = GlobalListFileName();
    MakeBackupCopy(fileName);
    Items.SaveToFile(fileName);
    return;
  }
  TDataSet& table = *FOwner.ItemListTable();
  TOpenForScope open(table);
  try {
    if (table.Locate("ITMNAME", TVariant(FieldName), loCaseInsensitive)) {
      table.Edit();
    } else {
      table.Append();
      table.FieldByName("ITMNAME").SetAsString(FieldName);
    }
    table.FieldByName("ITMLIST").SetAsString(Items.Text());
    table.Post();
  } catch (...) {
    // The table is shared by every definition: a row left in edit state would
    // be posted by the next definition's locate.
    if (table.State() == dsEdit || table.State() == dsInsert) table.Cancel();
    throw;
  }
}

bool TDkDBField::AddItemToPickList(const std::string& item, bool store) {
  if (!UsesItems() || !UpdateList) return false;
  bool result = false;
  TStringList work;
  work.SetSorted(true);
  work.AddStrings(Items);

  // Paths typed here end in "/", those from Windows in a backslash; the
  // root "/" itself stays as it is.
  std::string value = item;
  if (!value.empty() && (value.back() == '\\' || (value.back() == '/' && value.size() > 1)))
    value.pop_back();
  if (work.IndexOf(value) >= 0) return false;

  if (EditStyle == 1 || EditStyle == 2) {
    work.Add(value);
    result = true;
  } else if (EditStyle == 3 || EditStyle == 4) {
    AddPathItem(work, value);
    result = true;
  } else {
    WriteErrorLog("AddItemToPickList: ItemList missing for field \"" + FieldName + "\"");
  }
  Items = TStringList();
  Items.AddStrings(work);
  if (store) {
    SavePickItems();
    if (FOwner.OnNewPickListItem) FOwner.OnNewPickListItem(FOwner, *this);
  }
  return result;
}

// ---------------------------------------------------------------------------
// TDkDBFields

TDkDBFields::TDkDBFields(TCustomDocDatabase& owner) : FOwner(owner) {
  LoadFromDb();
}

TDkDBFields::~TDkDBFields() = default;

void TDkDBFields::Clear() {
  FItems.clear();
  FNames.clear();
}

TDkDBField& TDkDBFields::Items(int index) const {
  return *FItems.at(static_cast<size_t>(index));
}

int TDkDBFields::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < FNames.size(); ++i)
    if (SameText(FNames[i], name)) return static_cast<int>(i);
  return -1;
}

TDkDBField* TDkDBFields::Find(std::string_view name) const {
  const int index = IndexOf(name);
  return index < 0 ? nullptr : FItems[static_cast<size_t>(index)].get();
}

TDkDBField& TDkDBFields::Add(std::string_view fieldName, std::string caption, bool visible,
                             bool allowEmpty, bool showInSearchMenu, int dbEditTabSh, int editStyle,
                             bool updateList, std::string filePath, bool globalList) {
  auto field = std::make_unique<TDkDBField>(FOwner, fieldName, std::move(caption), visible,
                                            allowEmpty, showInSearchMenu, dbEditTabSh, editStyle,
                                            updateList, std::move(filePath), globalList);
  FNames.push_back(field->FieldName);
  FItems.push_back(std::move(field));
  return *FItems.back();
}

TDkDBField& TDkDBFields::AddCopy(const TDkDBField& source, std::string_view newName) {
  return Add(newName.empty() ? std::string_view(source.FieldName) : newName, source.Caption,
             source.Visible, source.AllowEmpty, source.ShowInSearchMenu, source.DBEditTabSh,
             source.EditStyle, source.UpdateList, source.FilePath, source.GlobalList);
}

void TDkDBFields::Delete(std::string_view name, bool fromDatabase) {
  const std::string upper = AnsiUpperCase(name);
  const int index = IndexOf(upper);
  if (index >= 0) {
    FItems.erase(FItems.begin() + index);
    FNames.erase(FNames.begin() + index);
  }
  if (!fromDatabase) return;
  TDataSet& table = *FOwner.ItemListTable();
  try {
    TQuery del;
    del.SetConnection(&FOwner.Connection());
    del.SetSQLText("DELETE FROM DOCFLD WHERE FIELDNAME=:FIELDNAME");
    del.Parameters().ParamByName("FIELDNAME").Value = TVariant(upper);
    del.ExecSQL();
    if (!table.Active()) table.Open();
    if (table.Locate("ITMNAME", TVariant(upper), loCaseInsensitive) &&
        MessageDlg("Soll auch die Auswahlliste gelöscht werden?", mtConfirmation, mbYes | mbNo) ==
            mrYes)
      table.Delete();
    table.Close();
  } catch (const std::exception&) {
    try {
      table.Close();
    } catch (const std::exception&) {
    }
    WriteErrorLog("Error while deleting from DOCFLD or ITEMLISTS");
  }
}

bool TDkDBFields::ImportFromFile(const std::string& fileName) {
  if (!FileExists(fileName)) return false;
  const TIniFile ini(fileName);
  TStringList sections;
  ini.ReadSections(sections);
  Clear();
  for (int i = 0; i < sections.Count(); ++i) {
    const std::string& s = sections[i];
    Add(s, ini.ReadString(s, "Caption", s), ini.ReadBool(s, "Visible", true),
        ini.ReadBool(s, "AllowEmpty", true), ini.ReadBool(s, "ShowInSearchMenu", false),
        ini.ReadInteger(s, "DBEditTabSh", 6), ini.ReadInteger(s, "EditStyle", 0),
        ini.ReadBool(s, "UpdateList", false), ini.ReadString(s, "FilePath", ""),
        ini.ReadBool(s, "GlobalList", false));
  }
  return true;
}

bool TDkDBFields::LoadFromDb() {
  Clear();
  TConnection& connection = FOwner.Connection();
  TQuery query;
  query.SetConnection(&connection);
  query.SetCursorLocation(connection.CursorLocation());
  query.SQL().Add("SELECT * FROM DOCFLD");
  query.Open();
  for (; !query.Eof(); query.Next()) {
    const TField* global = query.FindField("GLOBALLIST");
    const TField* allowEmpty = query.FindField("ALLOWEMPTY");
    Add(query.FieldByName("FIELDNAME").AsString(), query.FieldByName("CAPTION").AsString(),
        query.FieldByName("VISIBLE").AsBoolean(), allowEmpty ? allowEmpty->AsBoolean() : true,
        query.FieldByName("SHOWINSEARCHMENU").AsBoolean(),
        query.FieldByName("DBEDITTABSH").AsInteger(), query.FieldByName("EDITSTYLE").AsInteger(),
        query.FieldByName("UPDATELIST").AsBoolean(), query.FieldByName("FILEPATH").AsString(),
        global ? global->AsBoolean() : false);
  }
  return true;
}

void TDkDBFields::SaveAll(TConnection& connection) {
  connection.BeginTrans();
  const int oldCursor = SetCursorOf(crSQLWait);
  std::string values;
  try {
    connection.Execute("DELETE FROM DOCFLD");
    // The values are bound, not written into the statement: captions and
    // file paths come from legacy files and may hold any character.
    TQuery insert;
    insert.SetConnection(&connection);
    insert.SetSQLText(
        "INSERT INTO DOCFLD (FIELDNAME,CAPTION,VISIBLE,ALLOWEMPTY,SHOWINSEARCHMENU,DBEDITTABSH,"
        "EDITSTYLE,UPDATELIST,FILEPATH,GLOBALLIST) VALUES (:FIELDNAME,:CAPTION,:VISIBLE,"
        ":ALLOWEMPTY,:SHOWINSEARCHMENU,:DBEDITTABSH,:EDITSTYLE,:UPDATELIST,:FILEPATH,:GLOBALLIST)");
    TParameters& p = insert.Parameters();
    for (const auto& f : FItems) {
      // The row as the failure report shows it.
      values = SqlQuoted(f->FieldName) + "," + SqlQuoted(f->Caption) + "," + Tf(f->Visible) + "," +
               Tf(f->AllowEmpty) + "," + Tf(f->ShowInSearchMenu) + "," +
               std::to_string(f->DBEditTabSh) + "," + std::to_string(f->EditStyle) + "," +
               Tf(f->UpdateList) + "," + SqlQuoted(f->FilePath) + "," + Tf(f->GlobalList);
      p.ParamByName("FIELDNAME").Value = TVariant(f->FieldName);
      p.ParamByName("CAPTION").Value = TVariant(f->Caption);
      p.ParamByName("VISIBLE").Value = TVariant(BoolToTF(f->Visible));
      p.ParamByName("ALLOWEMPTY").Value = TVariant(BoolToTF(f->AllowEmpty));
      p.ParamByName("SHOWINSEARCHMENU").Value = TVariant(BoolToTF(f->ShowInSearchMenu));
      p.ParamByName("DBEDITTABSH").Value = TVariant(static_cast<long long>(f->DBEditTabSh));
      p.ParamByName("EDITSTYLE").Value = TVariant(static_cast<long long>(f->EditStyle));
      p.ParamByName("UPDATELIST").Value = TVariant(BoolToTF(f->UpdateList));
      p.ParamByName("FILEPATH").Value = TVariant(f->FilePath);
      p.ParamByName("GLOBALLIST").Value = TVariant(BoolToTF(f->GlobalList));
      insert.ExecSQL();
    }
    SetCursorOf(crDefault);
    connection.CommitTrans();
  } catch (const std::exception& e) {
    SetCursorOf(oldCursor);
    try {
      connection.RollbackTrans();
    } catch (const std::exception&) {
      // The report below names the failure that matters.
    }
    ShowError(SaveErrorText(values, "DOCFLD") + e.what(), 0);
  }
}

}  // namespace dk
