// The document-type database: what kinds of documents an archive holds.
//
// Every document belongs to a document type, a named row of APPL that says
// which program opens, prints or creates it (APPLCMD), which file extensions
// (FILEEXT) and templates (TEMPLATE) belong to it, where its files go by
// default and how it is previewed. The component keeps these four tables on
// its own connection:
// - the three detail tables follow the current type (master field APPLNAME)
//   and a detail row appended while a type is current receives its name;
// - new rows get their defaults, rows are checked before they are saved and
//   problems are reported in German boxes; a refused save or delete shows
//   its box and then cancels silently (EAbort), leaving the row as it was;
// - deleting a type deletes its commands, extensions and templates;
// - the summary columns VISIBLECMDS and HASEXECEVENT of APPL follow the
//   commands;
// - a new type registers the template files of its extension found in the
//   shared template directory;
// - ApplNames and TemplateNames are the pick lists that the partner
//   archive's APPLNAME and TEMPLATE field definitions offer.
//
// An archive (TDkArchive) requires one of these as its partner: the archive's
// ApplDatabase and this component's DocArchive point at each other. Each side
// forgets the other when the other is destroyed.
//
// Main thread only: the component, its tables and all handlers live on the
// user-interface thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/dataset.h"
#include "data/field.h"
#include "data/table.h"
#include "db/database.h"
#include "sys/string_list.h"

namespace dk {

class TDkArchive;
class TImageList;

// Document type codes, stored as one letter in APPL.DOCTYPE and
// DOCUMENT.DOCTYPE: 1 "D" (a document file: needs an extension, may use an
// external preview program; the default of a new type), 2 "O" (the content
// lives in the database: preview "K", no edit rights), 3 "W" (preview "H"),
// 4 "M" (its standard command "new" is invisible). Any other letter, or
// none, is dctUnknown.
constexpr int dctUnknown = 0;

// Letters read in either case: "D" 1, "O" 2, "W" 3, "M" 4, anything else 0.
int DocTypeFromChar(char letter);
// 0 " ", 1 "D", 2 "O", 3 "W", 4 "M"; any other code " ".
char DocTypeToChar(int docType);
// The type code of the field's first character; 0 for no field, a null or an
// empty value.
int DocTypeOfField(const TField* field);
// Preview kinds in APPL.DOCPREVIEW, either case: "K" 1, "S" 2, "A" 3 (the
// external program named in DOCPREVIEWEXE), "O" 4, "G" 5, "H" 6, "P" 7,
// "B" 8; anything else 0.
int DocPreviewFromChar(char letter);
// The letter of a preview code in upper case; 0 (and any unknown code) " ".
char DocPreviewToChar(int preview);

class TApplDatabase : public TCustomDkDatabase {
 public:
  // Builds the four tables (registered in DataSets() in the order APPL,
  // APPLCMD, FILEEXT, TEMPLATE), the master source of the details, the two
  // lists, and binds the handlers below.
  explicit TApplDatabase(TComponent* owner);
  ~TApplDatabase() override;

  // --- Published ---

  // The partner archive whose field definitions receive the pick lists. Not
  // owned; cleared when that archive is destroyed.
  TDkArchive* DocArchive() const { return FDocArchive; }
  void SetDocArchive(TDkArchive* archive);
  // Image 0 is the symbol a new type receives (APPLIMAGE). Not owned. Without
  // a list or an image 0 a new type gets no symbol.
  TImageList* DocImages = nullptr;
  // Called with TableAppl after a type row was saved or deleted.
  TDataSet::TDataSetNotifyEvent OnTableApplModified;

  // --- Tables and state ---

  TTable* TableAppl() const { return FTableAppl; }  // the current row is the current type
  TTable* TableApplCmd() const { return FTableApplCmd; }
  TTable* TableFileExt() const { return FTableFileExt; }
  TTable* TableTemplate() const { return FTableTemplate; }
  // Master link of the three detail tables.
  TDataSource& SourceAppl() const { return *FSourceAppl; }

  // Set when a type row is inserted, cleared when one is edited; the first
  // save of a new type registers its template files.
  bool NewApplRecord = false;
  // APPLNAME of every type, in the order the query returns them, and
  // TEMPLATENAME of every template of all types. Empty until the first
  // UpdateApplNameLists / UpdateTemplateList (after a type or template row
  // was saved or deleted).
  TStringList ApplNames;
  TStringList TemplateNames;

  // Opens the connection (OpenConnection), then TableAppl and the three
  // detail tables. Nothing when already open.
  void Open();
  // Closes the connection; the tables close with it.
  void Close() { CloseConnection(); }

  // --- Operations ---

  // APPLNAME of the current type; empty while TableAppl is closed.
  std::string GetApplName() const;
  // Type code 0 to 4 and preview code 0 to 8 of the current type.
  int GetDocType() const;
  int GetDocPreview() const;
  // A program file name from a column that may list alternatives: the text
  // itself when it holds no "," or names an existing file; otherwise the
  // first item of it, split as comma text, that names an existing file, or
  // empty.
  std::string GetFieldFileName(const TDataSet& table, std::string_view column) const;
  // Writes one column of the current type without the save checks: nothing
  // when the column already holds the text; otherwise the row is put into
  // edit mode (unless it is being edited or inserted), set, and posted if
  // this call began the edit.
  void SetApplField(std::string_view column, const std::string& text);
  // Makes the type current: true at once when the current APPLNAME equals the
  // name exactly, else after a search ignoring case. False when not found or
  // when the search fails.
  bool LocateApplName(const std::string& applName);
  // Makes the command of the current type current in TableApplCmd (name
  // ignoring case); false when not found or when the search fails.
  bool FindCommand(const std::string& cmdName);
  // The command that handles an event for a type: empty unless the current
  // type row has HASEXECEVENT set (callers make the type current first);
  // then CMDNAME of the command row with that APPLNAME and EXECEVENT, or
  // empty when there is none or the lookup fails.
  std::string GetExecEventCommand(const std::string& applName, const std::string& eventName);
  // Reload ApplNames (TemplateNames) from APPL (TEMPLATE) and, when the
  // partner archive is connected, hand it to the archive's APPLNAME
  // (TEMPLATE) field definition and fire the archive's OnNewPickListItem.
  // A failure on the archive's side is logged, not raised.
  void UpdateApplNameLists();
  void UpdateTemplateList();
  // Registers the files "*.<FILEEXT of the type>" of the directory as active
  // templates of the type, except those whose base name is already a
  // TEMPLATENAME of the type or whose path is already one of its
  // TEMPLATEFILEs (both ignoring case). Nothing when the type is unknown,
  // has no extension, or the directory does not exist.
  void CreateTemplatesFromDir(const std::string& applName, const std::string& directory);
  // Recompute the summary columns of the current type from its commands.
  void UpdateVisibleCmds();
  void UpdateHasExecEvent();
  // Appends the standard commands "new", "open" and "print" that the current
  // type lacks, each running `exeFileName`.
  void CreateStdCommands(const std::string& exeFileName);

  // --- Dataset handlers, bound in the constructor ---

  void ApplAfterInsert(TDataSet& dataSet);
  void ApplAfterEdit(TDataSet& dataSet);
  void ApplBeforePost(TDataSet& dataSet);
  void ApplAfterPost(TDataSet& dataSet);
  void ApplBeforeDelete(TDataSet& dataSet);
  void ApplAfterDelete(TDataSet& dataSet);
  // Post-error handler of all four tables: a duplicate key is shown as a
  // name that must be unique and the save is cancelled silently; any other
  // error fails the save unchanged.
  void ApplPostError(TDataSet& dataSet, EDatabaseError& error, TDataAction& action);
  void CmdAfterInsert(TDataSet& dataSet);
  void CmdBeforePost(TDataSet& dataSet);
  void CmdAfterPost(TDataSet& dataSet);
  void ExtBeforePost(TDataSet& dataSet);
  void TemplateChanged(TDataSet& dataSet);

 private:
  friend class TDkArchive;

  // Reloads `list` from one column of a table and hands it to the partner
  // archive's field definition of `fieldName`.
  void UpdatePickList(TStringList& list, const char* table, const char* column,
                      const char* fieldName, const char* failureText);

  TTable* FTableAppl = nullptr;
  TTable* FTableApplCmd = nullptr;
  TTable* FTableFileExt = nullptr;
  TTable* FTableTemplate = nullptr;
  std::unique_ptr<TDataSource> FSourceAppl;

  // Set while SetApplField writes a column: ApplBeforePost does not run.
  bool FApplChecksDetached = false;

  TDkArchive* FDocArchive = nullptr;
  // Archives whose ApplDatabase is this component; they forget it when it
  // goes.
  std::vector<TDkArchive*> FReferringArchives;
};

}  // namespace dk
