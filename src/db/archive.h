// The archive component: one document archive of the product.
//
// TDkArchive completes the document database with the product's rules: which
// document table the document dataset shows (DOCUMENT or DOCARCH), opening
// and closing as a whole, where a document's file belongs, the command a
// document type runs after a document was saved, the periodic reminder check
// of to-do entries, and the CREATE TABLE text of document-shaped tables.
//
// An archive needs a partner document-type database in ApplDatabase (whose
// DocArchive points back); Open refuses to run without one. Typical use on a
// form, both components owned by the form:
//   auto* types = new TApplDatabase(form);
//   auto* archive = new TDkArchive(form);
//   archive->SetApplDatabase(types);
//   types->SetDocArchive(archive);
//   archive->SetDatabaseName(file);
//   archive->Open();   // ... work on it ...
//   archive->Close();
//
// The record rules run in the events of the document dataset and the to-do
// dataset: a new document gets its DOCID from the counter, its owner, type
// letter, document number and file name; a changed document may have its
// file moved to where its attributes now say it belongs; every save keeps
// the pick lists, the full-text index and the file access rights in step; a
// deletion is refused to users who may not delete and otherwise takes the
// document's dependent rows (never its file) with it. Protocol rows record
// such events in DOCPRTCL.
//
// Main thread only; the reminder timer fires on the main thread between
// other work.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/dataset.h"
#include "data/query.h"
#include "db/appl_database.h"
#include "db/doc_database.h"
#include "sys/string_list.h"
#include "ui/application.h"

namespace dk {

// Synchronisation settings the archive stores for its host; it does not act
// on them.
enum TSyncDataPriority { sdpMainDB, sdpSyncDB };
enum TSyncFilePriority { sfpUserDlg, sfpNewest, sfpMainDB, sfpSyncDB };

// A file the full-text indexer cannot read itself: the host converts
// `aSrcFile` and returns the name of the converted file in `aDstName`.
using TConvertFileNotifyEvent =
    std::function<void(TComponent& sender, const std::string& aSrcFile, std::string& aDstName)>;
using TChangeDocTableSourceNotifyEvent =
    std::function<void(TComponent& sender, TDocTableSource aNewDocTableSource)>;
// The host runs the named command of the document type.
using TDkDBNotifyEvent = std::function<void(TComponent& sender, const std::string& aParam)>;
// The host applies access rights to a document file.
using TSetFileAccessRightsNotifyEvent =
    std::function<void(TComponent& sender, const std::string& aFileName,
                       const std::string& aAccessRights, const std::string& aOwner)>;

class TDkArchive : public TCustomDocDatabase {
 public:
  // In this order: DocTableSource dtsDocument; the document database; five
  // registered queries (a spare one, TodoQuery, ReminderQuery, two more
  // spare ones); DocQuery's after-post bound to DocAfterPost; the three
  // to-do pick lists.
  explicit TDkArchive(TComponent* owner);
  // Closes the archive (the reminder timer goes with it), then frees the
  // queries and lists and destroys the document database.
  ~TDkArchive() override;

  // --- Virtual operations of the document database, in slot order ---

  // Type code of DocQuery's current document from the first letter of its
  // DOCTYPE, either case (see DocTypeFromChar); 0 without one.
  int GetCurrDocType() override;
  // The CREATE TABLE lines of a document-shaped table for this connection's
  // dialect (dk::BuildCreateTableSQL): FLDTEMPL, compared ignoring case, is
  // the template table with TEMPLATENAME first and as its key. The caller
  // executes the lines as one statement.
  void BuildCreateTableSQL(TStringList& lines, std::string_view table) override;
  // Refused (error box, then a silent EAbort) unless MayDeleteDocument;
  // otherwise logs the deletion and deletes the document's TODO, DOCVERS and
  // DOCPRTCL rows, queues the removal of its index words and deletes its
  // DOCBLOBS row. A failing DELETE cancels the row's deletion; rows deleted
  // before it stay deleted.
  void DocBeforeDelete(TDataSet& dataSet) override;
  // The index snapshot, and OldAccessRights when AccessRightsMode is set.
  void DocBeforeEdit(TDataSet& dataSet) override;
  // In this order: IsNewDocument (DOCID empty); a DOCGUID when the column is
  // there and empty; for a new document the DOCID from the counter (failure:
  // row cancelled, "Dokumentdatensatz kann nicht gespeichert werden." shown,
  // error raised), USERNAME, DOCTYPE of its type, DOCNO from
  // DefaultDocNumber (a typed one kept only with AllowEditDocNumber), the
  // file name by type letter and OnCreateNewDocument; DOCNO upper-cased with
  // NoUppercase; for an existing document the file move after attribute
  // changes (DefaultForExistingFile); the pick lists; the full-text index;
  // OnSetFileAccessRights; BeforePostDocument.
  void DocBeforePost(TDataSet& dataSet) override;
  // Opens the archive as a whole; nothing when it is open already. Raises
  // "Entwickler: Anwendungsdatenbank ist nicht zugeordnet" without a
  // partner. Shows DOCUMENT, sets Caption to the file name of DatabaseName,
  // opens the document database (its failures leave the archive closed and
  // pass to the caller), decides AccessRightsMode and UseServerIndexer,
  // loads the to-do pick lists (a missing file is logged and the open goes
  // on) and starts the reminder timer when reminders are configured.
  void Open() override;
  // The document database's close, then the reminder timer is freed. True
  // when closed.
  bool Close() override;
  // APPLNAME and TEMPLATE offer the partner's ApplNames and TemplateNames.
  bool GetDocTypePickItems(std::string_view fieldName, TStringList& items) override;

  // --- Published ---

  // The partner document-type database. Not owned; cleared when the partner
  // is destroyed.
  TApplDatabase* ApplDatabase() const { return FApplDatabase; }
  void SetApplDatabase(TApplDatabase* applDatabase);

  bool SyncCreateBackup = false;
  TSyncDataPriority SyncDataPriority = sdpMainDB;
  TSyncFilePriority SyncFilePriority = sfpUserDlg;

  TConvertFileNotifyEvent OnConvertFileForFTI;
  TDataSet::TDataSetNotifyEvent AfterPostDocument;
  TChangeDocTableSourceNotifyEvent OnChangeDocTableSource;
  TDkDBNotifyEvent OnExecuteCommand;
  TSetFileAccessRightsNotifyEvent OnSetFileAccessRights;
  // Due reminders were found; the dataset holds them while the event runs.
  TDataSet::TDataSetNotifyEvent OnTodoPopup;

  // --- Datasets and state ---

  // Which table the document dataset shows.
  TDocTableSource DocTableSource() const { return FDocTableSource; }
  // Switches DocTableName between DOCUMENT and DOCARCH. When DocQuery is
  // open, the first occurrence of the other table's name in its SQL
  // (ignoring case) is replaced and the query reopened between
  // BeforeExecuteQueryDoc and AfterExecuteQueryDoc (semOpen; After also when
  // the open fails, whose error then passes on). LastSearchSQL is cleared so
  // that a later failed search cannot fall back to the other table.
  // OnChangeDocTableSource fires. Nothing when the source is unchanged.
  void SetDocTableSource(TDocTableSource source);

  // To-do entries; the host sets its SQL.
  TQuery* TodoQuery() const { return FTodoQuery; }
  // Used only by CheckReminders.
  TQuery* ReminderQuery() const { return FReminderQuery; }
  // Registered queries free for the host's own use, index 0 to 2.
  TQuery* HostQuery(int index) const { return FHostQueries.at(static_cast<size_t>(index)); }

  // To-do pick lists from todotype.itm, todoname.itm and todoprt.itm in the
  // common files directory, one item per line; loaded by Open.
  TStringList TodoTypeItems;
  TStringList TodoNameItems;
  TStringList TodoPrtItems;

  // Exists while the archive is open and reminders are configured.
  TTimer* ReminderTimer() const { return FReminderTimer.get(); }

  // File access rights are maintained for this archive (set by Open).
  bool AccessRightsMode = false;
  // ACCESSRIGHTS of the document when its edit began (record rules).
  std::string OldAccessRights;
  // Decided by Open for the full-text indexer: index requests go to the
  // indexing service (configured ServerIndexer, and a server database or a
  // database file on a network drive).
  bool UseServerIndexer = false;

  // --- Operations ---

  // The directory for the current document's file, with a trailing "/": the
  // current type's DOCPATH, or the configured DefaultFilePath when that is
  // empty, begins with "[automatisch]" or the type table does not stand on
  // the document's type; passed through OnConvertCmdStr and cleaned as a
  // path.
  std::string GetDocPath();
  // GetDocPath (created when missing; a failure is left to the later file
  // operation) + the configured DefaultFileName, expanded and cleaned as one
  // name, or the DOCID when that is empty, + "." + the current type's FILEEXT
  // when it has one.
  std::string GetDefaultDocFileName();
  // The type table's current row has exactly the current document's
  // APPLNAME. Never raises: false when either cannot be read.
  bool IsDocApplCurrent() const;
  // The reminder check (the timer's handler): selects the current user's due
  // to-do entries with a reminder and fires OnTodoPopup with them, then lets
  // the timer run again at ToDoTimerInterval. A failing check is shown (help
  // context 7305) and leaves the timer stopped until the archive is opened
  // again.
  void CheckReminders();
  // After-post of DocQuery: runs the document type's command for
  // "AfterPostNewDoc" or "AfterPostChangedDoc" through OnExecuteCommand, then
  // fires AfterPostDocument.
  void DocAfterPost(TDataSet& dataSet);
  // Before-post of TodoQuery: key-only updates; an empty TODOID gets the
  // next "TODOID" counter value, an empty TODOGUID a new GUID.
  void TodoBeforePost(TDataSet& dataSet);
  // True with AdminActive, with AllowDeleteAll, or when the current document
  // belongs to UserName (ignoring case).
  bool MayDeleteDocument();
  // A DOCPRTCL row for the document (nothing for DOCID 0 or without the
  // Protocol setting), its text without double quotes and apostrophes. A
  // failure is logged, never raised. Rows for a new document whose row is
  // being posted are written once the row is stored, under the number it
  // was stored with.
  void AddProtocol(int docId, const std::string& text);

 protected:
  // A new row that collided: the number, then the document number, the file
  // name and the index jobs taken again from the new number.
  void RenumberNewDocument(TDataSet& dataSet, int docId) override;

 private:
  friend class TApplDatabase;

  // DOCNO and FILENAME of a new document from its number (the rules run
  // once more with the entered values when the number changes).
  void ApplyNumberRules(TDataSet& dataSet);
  // The index jobs of a new document, held until its row is stored.
  void IndexNewDocument();

  // The file name of a new document by its type letter.
  void AssignNewFileName(TDataSet& dataSet);
  // Moves an existing document's file to its default place and name when
  // they changed; a failed move is offered again (MsgCopyMoveFailed) or
  // recorded, and the file keeps its read-only attribute either way.
  void MoveFileAfterAttributeChange(TDataSet& dataSet);
  void LoadTodoPickLists();
  void StartReminderTimer();
  void FreeReminderTimer();

  TApplDatabase* FApplDatabase = nullptr;
  // While a new document's row is posted: its DOCNO and FILENAME as entered,
  // and the protocol texts that wait for the row.
  bool FPostingNew = false;
  std::string FEnteredDocNo, FEnteredFileName;
  std::vector<std::string> FHeldProtocol;
  // Document-type databases whose DocArchive is this archive; they forget it
  // when it goes.
  std::vector<TApplDatabase*> FReferringApplDatabases;

  TDocTableSource FDocTableSource = dtsDocument;
  TQuery* FTodoQuery = nullptr;
  TQuery* FReminderQuery = nullptr;
  std::array<TQuery*, 3> FHostQueries{};

  std::unique_ptr<TTimer> FReminderTimer;
  // Timers closed from inside their own handler wait here until it has
  // returned.
  std::vector<std::unique_ptr<TTimer>> FRetiredTimers;
  bool FCheckingReminders = false;
};

}  // namespace dk
