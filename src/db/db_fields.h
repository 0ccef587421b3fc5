// Field definitions of the document columns and their pick lists.
//
// Each document database keeps one collection, DBFields, loaded from the
// table DOCFLD when the database opens. A definition says how a column is
// shown and edited and owns the column's pick list (Items). Pick lists live
// either in the table ITEMLISTS (one row per field, ITMLIST one item per line)
// or, for global lists, as "<FIELDNAME>.itm" files in the common files
// directory, where the previous file is kept as ".~itm" before each write.
//
// Edit styles: 0 no list; 1, 2 a flat list; 3, 4 a list of backslash paths
// (adding a path adds its missing parents); 13 file names listed from disk as
// FilePath prescribes ("directory,masks,mode"); anything else no list.
//
// A legacy archive describes its fields in document.fld, an INI file with one
// section per field; ImportFromFile reads it.
//
// Main thread only; not shared with the index worker.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/connection.h"
#include "sys/string_list.h"

namespace dk {

class TCustomDocDatabase;

// True when edit style 1 to 4 gives the field a list of its own: every name
// except USERNAME, APPLNAME, ACCESSRIGHTS and TEMPLATE (ignoring case), whose
// lists come from elsewhere or do not exist.
bool FieldHasItemList(int editStyle, std::string_view fieldName);

// Adds a path to a sorted list, its missing parents first: for
// C:\Daten\Kunden the items C:\, C:\Daten and C:\Daten\Kunden, each once.
// "\" and "/" both separate; a separator right after ":" or after another
// separator stays with the parent, so drive roots keep the form C:\ and
// network paths their leading \\ (or //); a leading "/" is the root "/".
void AddPathItem(TStringList& list, const std::string& path);

class TDkDBField {
 public:
  // The name is stored in upper case; Items is loaded (LoadPickItems) when
  // the definition uses items. Failures reading ITEMLISTS pass to the caller.
  TDkDBField(TCustomDocDatabase& owner, std::string_view fieldName, std::string caption,
             bool visible, bool allowEmpty, bool showInSearchMenu, int dbEditTabSh, int editStyle,
             bool updateList, std::string filePath, bool globalList);
  TDkDBField(const TDkDBField&) = delete;
  TDkDBField& operator=(const TDkDBField&) = delete;

  TCustomDocDatabase& Owner() const { return FOwner; }

  std::string FieldName;  // upper case
  std::string Caption;
  bool Visible = true;
  bool AllowEmpty = true;  // false marks a required field
  bool ShowInSearchMenu = false;
  int DBEditTabSh = 6;
  uint8_t EditStyle = 0;    // a larger number keeps its low 8 bits
  bool UpdateList = false;  // entered values join the pick list
  std::string FilePath;     // source of a file list (edit style 13)
  bool GlobalList = false;  // the list is a file in the common files directory
  TStringList Items;        // the pick list

  // Edit style 1 to 4 or 13.
  bool UsesItems() const;
  // FieldHasItemList of this definition.
  bool HasItemList() const;
  // Configuration->CommonFilesPath + FieldName + ".itm".
  std::string GlobalListFileName() const;

  // Fills Items from its source: the global file (a missing or unreadable
  // file leaves Items empty) or the ITEMLISTS row for a list of its own; the
  // files FilePath lists for edit style 13 (a malformed FilePath is logged as
  // "Feld <name>: fehlerhafte Dateimaske"); the process's user names for
  // USERNAME; the document-type component's lists for APPLNAME and TEMPLATE
  // when the owner has one.
  void LoadPickItems();
  // Writes Items to the global file (after a backup of the old one) or to the
  // ITEMLISTS row. Failures pass to the caller.
  void SavePickItems();
  // Adds an item to the pick list when the definition uses items and has
  // UpdateList set, unless it is there already ignoring case (a trailing
  // backslash of the item is dropped first). Items ends up sorted. With
  // `store`, the list is saved and the owner's OnNewPickListItem fires. True
  // when the item was added; a file list (edit style 13) takes no items.
  bool AddItemToPickList(const std::string& item, bool store);

 private:
  void LoadFileList();

  TCustomDocDatabase& FOwner;
};

class TDkDBFields {
 public:
  // Loads the definitions from DOCFLD (LoadFromDb).
  explicit TDkDBFields(TCustomDocDatabase& owner);
  ~TDkDBFields();
  TDkDBFields(const TDkDBFields&) = delete;
  TDkDBFields& operator=(const TDkDBFields&) = delete;

  TCustomDocDatabase& Owner() const { return FOwner; }

  void Clear();
  int Count() const { return static_cast<int>(FItems.size()); }
  TDkDBField& Items(int index) const;
  // Position of the first definition of that name, ignoring case; -1 if none.
  int IndexOf(std::string_view name) const;
  // The first definition of that name, ignoring case, or null.
  TDkDBField* Find(std::string_view name) const;

  // Appends a new definition; the name is not tested for duplicates.
  TDkDBField& Add(std::string_view fieldName, std::string caption, bool visible, bool allowEmpty,
                  bool showInSearchMenu, int dbEditTabSh, int editStyle, bool updateList,
                  std::string filePath, bool globalList);
  // Appends a copy of `source` under `newName`, or under its own name when
  // `newName` is empty.
  TDkDBField& AddCopy(const TDkDBField& source, std::string_view newName = {});
  // Removes the first definition of that name. With `fromDatabase` also its
  // DOCFLD row and, after a question, its ITEMLISTS row; a failure there is
  // logged, not raised.
  void Delete(std::string_view name, bool fromDatabase);

  // Replaces the collection by the sections of a legacy description file;
  // false (and nothing changed) when the file does not exist.
  bool ImportFromFile(const std::string& fileName);
  // Replaces the collection by the rows of DOCFLD. GLOBALLIST and ALLOWEMPTY
  // may be missing (false and true); the other columns must exist.
  bool LoadFromDb();
  // Replaces the content of DOCFLD with the collection in one transaction,
  // under the SQL-wait cursor (the default cursor afterwards). A failure is
  // rolled back, the cursor from before is restored and the failure is
  // reported with ShowError, not raised.
  void SaveAll(TConnection& connection);

 private:
  TCustomDocDatabase& FOwner;
  std::vector<std::unique_ptr<TDkDBField>> FItems;
  std::vector<std::string> FNames;  // upper-case names, parallel to FItems
};

}  // namespace dk
