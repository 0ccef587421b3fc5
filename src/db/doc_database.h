// The document database: the database component base plus everything that
// concerns documents but not yet one product's rules.
//
// It owns the document dataset DocQuery (over DOCUMENT, or DOCARCH when a
// descendant switches DocTableName), the DOCBLOBS query, the ID counters in
// IDENTNO, the pick-list table ITEMLISTS and the field definitions DBFields.
// It allocates and repairs IDs, finds documents by DOCID or by a column value,
// reaches a document's RTF text in DOCUMENT or DOCBLOBS and runs user
// searches, showing the previous search again when one fails.
//
// The record rules are left to a descendant (the archive): GetCurrDocType,
// BuildCreateTableSQL, DocBeforeDelete and DocBeforePost are abstract. The
// document dataset's events are bound in the constructor to the virtual hooks,
// so the most derived implementation always runs.
//
// Several client programs may share one archive: a counter is taken in a
// transaction that holds it against the others (SQLite's write lock, a
// server's row lock) and read again there, so no number is handed out twice;
// busy counters are retried. A counter found below the keys of its tables
// moves past them. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "data/dataset.h"
#include "data/field.h"
#include "data/query.h"
#include "data/table.h"
#include "db/database.h"
#include "sys/string_list.h"

namespace dk {

class TDkDBField;
class TDkDBFields;
class TFullTextRetrieval;

// How ExecuteQueryDoc runs its SQL.
enum TSqlExecuteMode {
  semAuto = 0,    // semOpen when the upper-cased text holds "SELECT" anywhere, else semExecute
  semOpen = 1,    // open a row-returning query
  semExecute = 2  // execute a statement, then show the previous search again
};

// Which table the document dataset shows (switched by the archive).
enum TDocTableSource { dtsDocument = 0, dtsDocArch = 1 };

using TDataSetNotifyEvent = TDataSet::TDataSetNotifyEvent;
using TExecuteQueryNotifyEvent = std::function<void(TDataSet& dataSet, TSqlExecuteMode execMode)>;
using TDkDBFieldNotifyEvent = std::function<void(TComponent& sender, TDkDBField& field)>;
using TUpdateFtiNotifyEvent = std::function<void(TComponent& sender, int aMax, int aPos)>;

// The text of the failed counter post, also used by the field definitions:
// "Fehler beim Speichern von "<what>" in Tabelle "<table>"."
std::string SaveErrorText(const std::string& what, const std::string& table);

// MAX(column) of the table through a new server-side query on the
// connection; 0 when the maximum is null, empty or zero.
int GetMaxID(TConnection& connection, std::string_view table, std::string_view column);

class TCustomDocDatabase : public TCustomDkDatabase {
 public:
  // Creates and wires the datasets: DocQuery (events bound to the hooks
  // below), BlobQuery, a spare query for the host, IdentTable on IDENTNO
  // (before-post -> SetUpdateCriteriaKey), ItemListTable on ITEMLISTS and
  // the full-text indexer's two queries, all registered in DataSets().
  // DocTableName is "DOCUMENT".
  explicit TCustomDocDatabase(TComponent* owner);
  // Runs this class's Close, then frees the indexer (which stops and waits
  // for its worker). A descendant whose Close does more calls its own Close
  // in its destructor first.
  ~TCustomDocDatabase() override;

  // --- Virtual operations, in slot order ---

  // Type code of the current document (0 unknown).
  virtual int GetCurrDocType() = 0;
  // Fills `lines` with the CREATE TABLE text of a document-shaped table.
  virtual void BuildCreateTableSQL(TStringList& lines, std::string_view table) = 0;
  // After-scroll of DocQuery: fires AfterScrollQueryDoc.
  virtual void DocAfterScroll(TDataSet& dataSet);
  // Before-delete of DocQuery: delete rights and cascade; raising cancels.
  virtual void DocBeforeDelete(TDataSet& dataSet) = 0;
  // Before-edit of DocQuery: when FtiCreateMode is not 0, the indexer's
  // snapshot of the indexed fields (FieldValues; an empty text removes the
  // column's line), compared after the post.
  virtual void DocBeforeEdit(TDataSet& dataSet);
  // Before-post of DocQuery: the record rules; raising cancels the post.
  virtual void DocBeforePost(TDataSet& dataSet) = 0;
  // OpenConnection; then new DBFields (loaded from DOCFLD) and DocQuery opened
  // on the probe "SELECT * FROM DOCUMENT WHERE DOCID=1" (every column, at
  // most one row), the screen cursor restored afterwards.
  virtual void Open();
  // True when closed afterwards. Closes the connection, clears Caption, fires
  // OnCaptionChange and frees DBFields.
  virtual bool Close();

  // The pick list of a field whose items come from the document-type
  // component (APPLNAME, TEMPLATE): a descendant that has one copies the list
  // into `items` and returns true. Called by TDkDBField::LoadPickItems.
  virtual bool GetDocTypePickItems(std::string_view fieldName, TStringList& items);

  // --- Datasets and state ---

  TQuery* DocQuery() const { return FDocQuery; }
  TQuery* BlobQuery() const { return FBlobQuery; }
  // Registered, free for the host's own use.
  TQuery* SpareQuery() const { return FSpareQuery; }
  TTable* IdentTable() const { return FIdentTable; }
  TTable* ItemListTable() const { return FItemListTable; }
  // The field definitions; null while closed.
  TDkDBFields* DBFields() const { return FDBFields.get(); }
  // The SQL lines DocQuery had before the last ExecuteQueryDoc.
  TStringList& LastSearchSQL() { return FLastSearchSQL; }

  // The full-text indexer of this database, created with it. Its worker has
  // ended when the database has gone (see full_text_retrieval.h).
  TFullTextRetrieval* FullTextRetrieval() const { return FFullTextRetrieval.get(); }

  std::string DocTableName = "DOCUMENT";
  // Display caption of the open database; empty while closed.
  std::string Caption;
  // DOCID most recently given to a new document.
  int32_t LastDocID = 0;
  // The document being posted had a blank DOCID when its post began.
  bool IsNewDocument = false;

  // Spacing of the counter retries. 150 ms in the product; tests shorten it.
  std::chrono::milliseconds CounterRetryPause{150};

  // --- Published events ---

  TExecuteQueryNotifyEvent AfterExecuteQueryDoc;  // also when the query failed
  TDataSetNotifyEvent AfterScrollQueryDoc;
  TExecuteQueryNotifyEvent BeforeExecuteQueryDoc;
  TDataSetNotifyEvent BeforePostDocument;  // last step of the document before-post rules
  TNotifyEvent OnCaptionChange;
  TNotifyEvent OnCreateNewDocument;
  TGetValueExNotifyEvent OnGetApplicationCaption;
  TDkDBFieldNotifyEvent OnNewPickListItem;  // a field definition stored a new item
  TUpdateFtiNotifyEvent OnUpdateFtiThreadInfo;

  // --- Operations ---

  // DOCID and FILENAME of DocQuery's current row.
  int GetDocID() const;
  std::string GetDocFileName() const;

  // Hands out the next ID of a counter (row found ignoring case) and stores
  // NEXTID + 1; a new counter hands out 1 and stores 2. The number is taken
  // in a transaction of its own (a savepoint inside an open one) that holds
  // the counter against other programs: SQLite's write lock, a server's row
  // lock; the row is read again under it. A counter below the keys of its
  // tables (DOCID: DOCUMENT and DOCARCH, TODOID: TODO, FTIWORDID: FTIWORD)
  // first moves past them, with a line in the error log. An attempt that
  // fails (the counter or the database held by another client) is retried
  // every CounterRetryPause; at the 21st failure in a row, and at every 20th
  // after a Retry, MsgKeyValueError asks (Cancel raises the error). A failed
  // post or commit shows the error and raises it.
  int GetNextID(const std::string& name);
  // Sets a counter to `value` (row created when missing). A failing edit is
  // retried as above: logged at the 2nd failure, asked at the 11th (after
  // Retry: logged at the next, asked at the 10th further). A failed post
  // shows the error and returns false.
  bool SetNextID(const std::string& name, int value);
  // Sets DOCID (after DOCUMENT and DOCARCH), TODOID (when TODO exists) and
  // FTIWORDID to the table maxima + 1; a counter above the data is lowered.
  // Errors pass to the caller.
  void SyncIDCounters();

  // Makes the document current in DocQuery; a failing lookup is logged and
  // counts as not found.
  bool LocateDocID(int id);
  // DOCID of the first row where the column matches the value (LIKE for "%"
  // and "_" in a text column), searched in `table`, or in DOCUMENT and then,
  // if it exists, DOCARCH; -1 when nothing matches.
  int FindDocID(const std::string& column, const std::string& value, const std::string& table = "");
  // BlobQuery on the DOCBLOBS row of the document; true when there is one.
  bool OpenDocBlobs(int id);
  // The RTFTEXT field of the document (DocQuery's column, else DOCBLOBS'),
  // or null.
  TField* GetRtfTextField(int id);

  // Runs a search or statement on DocQuery (see TSqlExecuteMode). A search
  // that cannot be opened is shown with "Die letzte Suche wird
  // wiederhergestellt." and the previous one is opened again; a statement is
  // followed by the previous search, its error passing to the caller.
  // BeforeExecuteQueryDoc and AfterExecuteQueryDoc fire once each, After
  // also on failure.
  void ExecuteQueryDoc(const std::string& sql, TSqlExecuteMode mode);
  // ExecuteQueryDoc("SELECT * FROM " + DocTableName, semOpen).
  void RefreshQueryDoc();
  // DocQuery is open and its FILENAME names an existing file.
  bool DocFileExists() const;
  // Offers every non-empty column value of DocQuery to the pick list of its
  // field definition when that has UpdateList set; true when a list grew.
  bool AddNewPickListItems();

  // Ends the reads of the registered datasets that stand in the middle of a
  // result, keeping their rows (TDataSet::EndRead). The index worker asks for
  // it, on the main thread, when the database is locked for its writes.
  void EndDataSetReads();

  // Dataset hooks of this class (bound in the constructor).
  // After-insert of DocQuery: FILENAME "[automatisch]", FAVORITE false.
  void DocAfterInsert(TDataSet& dataSet);
  // Post-error of DocQuery: a new row whose DOCID lies below the table maxima
  // takes a new number from the counter (GetNextID, which moves a counter
  // found behind the data past it), RenumberNewDocument gives the row that
  // number, and the post is retried.
  void DocPostError(TDataSet& dataSet, EDatabaseError& error, TDataAction& action);
  // Gives a new row whose number collided its new number: DOCID and
  // LastDocID here; a descendant also renews what it derived from the number.
  virtual void RenumberNewDocument(TDataSet& dataSet, int docId);
  // Before-post of IdentTable (and of the archive's to-do dataset): for Jet
  // and SQL Server, updates find the row by its key alone.
  void SetUpdateCriteriaKey(TDataSet& dataSet);

 private:
  void Pause() const;
  // The lowest number a counter may hand out: one above the keys of the
  // tables it numbers (0 for a counter of no known table).
  int CounterFloor(const std::string& name);
  // Lets the counter table hold the row it edits where the engine has row
  // locks (a server).
  void HoldCounterRows(TTable& table);

  std::unique_ptr<TDkDBFields> FDBFields;
  std::unique_ptr<TFullTextRetrieval> FFullTextRetrieval;
  TQuery* FDocQuery = nullptr;
  TQuery* FBlobQuery = nullptr;
  TQuery* FSpareQuery = nullptr;
  TTable* FIdentTable = nullptr;
  TTable* FItemListTable = nullptr;
  TStringList FLastSearchSQL;
};

}  // namespace dk
