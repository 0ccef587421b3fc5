// The full-text indexer: which words belong to a document, and the jobs that
// keep the word index (FTIWORD, FTIWID) in step with the documents.
//
// A document's words come from its text columns (IsIndexedField), the
// caption of its type (OnGetApplicationCaption of the owner) and, in the full
// mode, the content of its file. The indexer never writes the index tables
// itself: it appends one job per change to its job queue and starts the
// update worker (update_fti_thread.h), which applies the jobs on a connection
// of its own. Saving a document therefore only computes words and queues
// jobs. Instead of indexing a new document locally the indexer can leave a
// request row in INDEXER for an indexing service (UseServerIndexer).
//
// Words: runs of the configured word characters (letters, plus digits when
// they are not ignored), at least FtiIgnoreLength characters long, lower
// case, with ä ö ü ß folded to ae oe ue ss, cut to 30 characters, made only
// of a-z (and 0-9), and not excluded by the configured stop or search words.
// Sets of words are dotted word lists: ".haus.garten.", in the order of first
// occurrence.
//
// Lifetime: the document database creates its indexer in its constructor and
// frees it in its destructor. A worker never outlives the indexer: the
// destructor asks a running worker to stop after its current job, waits for
// it (running the worker's calls onto the main thread meanwhile) and writes
// the number of jobs left unapplied to the error log; those documents are
// brought back into the index by indexing them again. A host that wants every
// job applied calls WaitForWorker first.
//
// Main thread only, except the job queue, which the worker shares.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "data/field.h"
#include "data/query.h"
#include "settings/configuration.h"
#include "sys/string_list.h"

namespace dk {

class TCustomDocDatabase;
class TUpdateFtiThread;

// Operations of a job.
constexpr uint8_t fjAddWord = 0;         // the document gains FWord
constexpr uint8_t fjDeleteWord = 1;      // the document loses FWord
constexpr uint8_t fjDeleteDocument = 2;  // the document loses all its words

// One change of the word index.
class TUpdateFtiItem {
 public:
  TUpdateFtiItem(int32_t docId, bool newDocument, std::string word, uint8_t operation)
      : FDocID(docId), FNewDocument(newDocument), FOperation(operation), FWord(std::move(word)) {}

  int32_t FDocID;
  // Set for the word jobs of a document being created; nothing depends on it.
  bool FNewDocument;
  uint8_t FOperation;
  // Lower case, at most 30 characters; empty for fjDeleteDocument.
  std::string FWord;
};

// The queue shared by the indexer (appends at the end) and the worker (takes
// from the front). The lock is held only for one append or one take.
class TFtiJobQueue {
 public:
  void Add(std::unique_ptr<TUpdateFtiItem> job);
  void Add(int32_t docId, bool newDocument, std::string word, uint8_t operation) {
    Add(std::make_unique<TUpdateFtiItem>(docId, newDocument, std::move(word), operation));
  }
  // Removes and returns the first job (null when empty); `count` receives the
  // queue's length before the removal.
  std::unique_ptr<TUpdateFtiItem> TakeFirst(int& count);
  // Puts jobs taken earlier back at the head of the queue, in their order.
  void PutBack(std::vector<std::unique_ptr<TUpdateFtiItem>>& jobs);
  int Count() const;
  // Copies of the queued jobs in queue order.
  std::vector<TUpdateFtiItem> Items() const;
  // Drops every job; returns how many there were.
  int Clear();

 private:
  mutable std::mutex FLock;
  std::deque<std::unique_ptr<TUpdateFtiItem>> FJobs;
};

// True for a text column the index reads: ftString, ftMemo or ftWideString
// declared larger than FtiIgnoreLength, except DOCGUID; and NOTES (any case)
// whatever its type and size.
bool IsIndexedField(const TField& field);
// ä -> ae, ö -> oe, ü -> ue, ß -> ss.
std::string FoldUmlauts(std::string_view text);

// The settings of the word rules, taken from the configuration (its defaults
// without one).
struct TFtiWordRules {
  TCharSet WordChars = LetterChars();
  bool IgnoreDigits = true;
  int IgnoreLength = 2;
  bool UseSearchWords = false;
  std::string WordList = ".";

  static TFtiWordRules FromConfiguration();
};

// "." + word + "." occurs in the dotted list.
bool InWordList(std::string_view list, std::string_view word);
// The words of a dotted list in order.
std::vector<std::string> WordListItems(std::string_view list);

class TFullTextRetrieval {
 public:
  explicit TFullTextRetrieval(TCustomDocDatabase& database);
  virtual ~TFullTextRetrieval();
  TFullTextRetrieval(const TFullTextRetrieval&) = delete;
  TFullTextRetrieval& operator=(const TFullTextRetrieval&) = delete;

  // --- Called by the record rules ---

  // A new (or re-indexed) document: made current with LocateDocID (nothing
  // when that fails), then either an INDEXER request (UseServerIndexer) or
  // IndexCurrDocument.
  void UpdateDocument(int docId, bool newDocument);
  // After an edit: compares the indexed columns with the snapshot in
  // FieldValues; at the first difference queues the words lost and gained
  // (UpdateFieldWords) and returns true. False in mode 0 or without change.
  bool CheckUpdateCurrDocument();
  // Starts a worker unless one runs (a running worker takes new jobs too).
  // Raises when the worker's connection cannot be opened; the jobs stay.
  void StartWorker();
  bool IsWorkerRunning() const { return FWorker != nullptr; }
  // Main thread: runs the worker's calls onto the main thread and restarts a
  // worker for jobs that arrived after the last one ended, until the queue is
  // empty and no worker runs, or until a worker gave up on jobs it could not
  // apply (they stay queued). True when every job was applied.
  bool WaitForWorker();

  // Jobs of a document whose row is not stored yet wait here instead of in
  // the queue, so that the worker never files words under a number the row
  // may still lose (a key collision gives it another). HoldJobs drops what a
  // post that failed left held and holds from now on; ReleaseHeldJobs queues
  // the held jobs under `docId` and starts the worker; DropHeldJobs forgets
  // them.
  void HoldJobs();
  void ReleaseHeldJobs(int docId);
  void DropHeldJobs();
  bool HoldingJobs() const { return FHolding; }

  // What the last worker could not apply: empty while all went well. A worker
  // that cannot apply a batch (a full disk, an I/O error, a lost connection)
  // rolls it back, puts its jobs back at the head of the queue and tries
  // again a few times before it gives up; the jobs then wait in the queue
  // for the next worker. Cleared when a later worker applies its jobs.
  const std::string& WorkerError() const { return FWorkerError; }
  // The documents that still have jobs queued or held.
  std::vector<int32_t> PendingDocIds() const;
  // Told on the main thread when a worker gives up (the error text).
  std::function<void(const std::string& error)> OnWorkerFailed;

  // --- Words ---

  // Appends the accepted words of `text` to the dotted list `list`.
  void AddWords(std::string_view text, std::string& list) const;
  // A character outside a-z (and 0-9 when digits are not ignored).
  bool HasForeignChars(std::string_view word) const;
  // Excluded by the stop words, or not starting with any search word.
  bool IsExcludedWord(std::string_view word) const;
  // The words of the current document's indexed columns, then of its type's
  // caption (a failure of that step is ignored).
  void AddFieldWords(std::string& list);
  // Queues the removal of the snapshot's words the row lost, then the
  // addition of the words it gained; starts the worker when it queued any.
  void UpdateFieldWords();
  // Queues all words of the current document (for an existing one after
  // removing all its words) and starts the worker.
  void IndexCurrDocument(bool newDocument);
  // An INSERT INTO INDEXER request for the current document; a failure is
  // logged.
  void QueueServerIndexing();
  // End notification of the worker, on the main thread.
  void WorkerTerminated();

  // The rules in force: read from the configuration by every operation that
  // splits words, unless SetRules fixed them for this indexer.
  TFtiWordRules Rules() const;
  void SetRules(const TFtiWordRules& rules);

  TCustomDocDatabase& Database() const { return FDatabase; }
  TFtiJobQueue& JobQueue() { return FJobQueue; }
  TQuery* IndexerQuery() const { return FIndexerQuery; }
  TQuery* SpareQuery() const { return FSpareQuery; }

  // Snapshot of the indexed columns of the document that last entered
  // editing (Name=Value; an empty value has no line).
  TStringList FieldValues;
  // New documents go to the indexing service (set by the archive's Open).
  bool UseServerIndexer = false;

 private:
  friend class TUpdateFtiThread;

  // The words of the current document's file (full mode): its prepared word
  // file when there is one, else its content (document_files.h).
  void AddFileWords(const std::string& fileName, std::string& list);
  // Stores the file's last-write time (local time) into FTIUPDATE of the
  // current row when it differs; the row is saved unless it is being edited
  // or inserted already. A failure is shown and logged; the words still go.
  void StoreFileTime(const std::string& fileName);
  // Fires the owner's progress event unless the indexer is going away.
  void ReportProgress(int max, int pos);
  // The worker gave up (main thread), or applied a batch after an earlier
  // failure.
  void WorkerFailed(const std::string& error);
  void WorkerRecovered() { FWorkerError.clear(); }
  // Into the held jobs while holding, else into the queue.
  void Queue(int32_t docId, bool newDocument, std::string word, uint8_t operation);
  void JoinFinishedWorkers();

  TCustomDocDatabase& FDatabase;
  TQuery* FIndexerQuery = nullptr;
  TQuery* FSpareQuery = nullptr;
  TFtiJobQueue FJobQueue;
  std::unique_ptr<TUpdateFtiThread> FWorker;
  // Workers whose end notification has run; joined at the next occasion.
  std::vector<std::unique_ptr<TUpdateFtiThread>> FFinished;
  bool FHasRules = false;
  TFtiWordRules FRules;
  bool FDestroying = false;
  bool FHolding = false;
  bool FStartHeld = false;
  // The last worker gave up; a new one starts only with the next change.
  bool FGaveUp = false;
  std::vector<TUpdateFtiItem> FHeld;
  std::string FWorkerError;
};

}  // namespace dk
