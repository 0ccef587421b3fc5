// The index update worker: applies the indexer's jobs to FTIWORD and FTIWID
// on a connection of its own, one step below normal priority, and ends when
// the queue is empty.
//
// Jobs are applied strictly in queue order. Each job is one or two short
// prepared statements; a new word also takes a number from the counter row
// FTIWORDID, which each batch reads once and stores before it commits. The
// worker groups consecutive jobs into one transaction of at most BatchTime,
// so that the tables are written at the speed of the engine rather than of
// one commit per statement, while the main thread's own writes never wait
// longer than one short batch for the write lock.
//
// Several programs may index into one archive. A batch holds the counter
// from its first new word to its commit (SQLite's write lock, which the
// batch takes at its start; a server's row lock on the counter row) and looks
// a word up once more when it has got hold of it: a word is created by one
// batch only and has one number, whoever else indexes it. A counter found
// below the highest word number is moved past it.
//
// A busy database never costs a job: when the engine reports the database
// locked (another client, or a dataset of the main thread standing in the
// middle of a long result and so holding SQLite's read lock), the batch is
// rolled back and tried again after LockRetryPause, for as long as it takes.
// The worker waits at most BusyWait inside one attempt and asks the owner to
// end the reads of its datasets (TCustomDocDatabase::EndDataSetReads) between
// attempts, so an open cursor of the main thread cannot hold it back for
// ever. Between attempts it also honours a stop request.
//
// A batch is applied whole or not at all. Only a row the engine refuses for
// itself (a key already there) costs its job, with a line in the error log.
// Any other failure (a full disk, an I/O error, a lost connection) rolls the
// batch back and puts its jobs back at the head of the queue; the batch is
// tried again BatchRetries times, and then the worker ends and tells the
// indexer (TFullTextRetrieval::WorkerError), leaving the jobs for the next
// worker.
//
// After every job the worker reports its progress through a synchronous call
// onto the main thread (OnUpdateFtiThreadInfo of the owner): APos the jobs
// done, AMax the queue length when the job was taken plus the jobs done. The
// last report has AMax 0. Then the indexer's WorkerTerminated runs on the main
// thread and the thread ends.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "data/connection.h"
#include "data/provider.h"
#include "db/full_text_retrieval.h"
#include "sys/variant.h"

namespace dk {

class TUpdateFtiThread {
 public:
  // Main thread. Opens the worker's connection (copied from the owner's) and
  // starts the thread; a connection that cannot be opened raises and no
  // thread runs.
  TUpdateFtiThread(TCustomDocDatabase& database, TFullTextRetrieval& indexer);
  // Joins the thread (the indexer frees a worker only after it has ended or
  // was asked to stop).
  ~TUpdateFtiThread();
  TUpdateFtiThread(const TUpdateFtiThread&) = delete;
  TUpdateFtiThread& operator=(const TUpdateFtiThread&) = delete;

  // Any thread: stop after the current job (and its batch's commit).
  void RequestStop() { FStopRequested = true; }
  // The body has ended (its end notification may still be pending).
  bool Finished() const { return FFinished; }

  // The thread body's parts, on the worker thread.
  void AddWord(const TUpdateFtiItem& job);
  void DeleteWord(const TUpdateFtiItem& job);
  void DeleteDocumentWords(const TUpdateFtiItem& job);
  // The next word number from the counter row FTIWORDID (handing out 1 when
  // the row is missing), read once per batch; the batch stores the counter
  // before it commits.
  int AllocateWordId();

  // Tuning, set before a worker starts. BatchTime: the longest a batch
  // holds the write lock; LockRetryPause: the pause before a locked batch is
  // tried again;
  // BusyWait: how long SQLite waits for a lock within one attempt.
  static std::chrono::milliseconds BatchTime;
  static std::chrono::milliseconds LockRetryPause;
  static std::chrono::milliseconds BusyWait;
  // A batch that fails for another reason than a lock is rolled back and
  // tried again this many times, after BatchRetryPause times the attempt;
  // then the worker ends and leaves its jobs queued.
  static std::chrono::milliseconds BatchRetryPause;
  static int BatchRetries;

 private:
  void Execute();
  bool ApplyBatch(std::vector<std::unique_ptr<TUpdateFtiItem>>& batch, bool& more);
  void Apply(const TUpdateFtiItem& job);
  void Rollback();
  // On the main thread: the owner's progress event with the current values.
  void ReportProgress();
  void ReleaseConnection();
  void Prepare();
  void Write(TProviderStatement& statement, const std::vector<TVariant>& values);
  int LookupWordId(const std::string& word);
  // Reads the counter under the batch's lock, once per batch; true when this
  // call read it.
  bool LoadWordCounter();
  void StoreWordCounter();

  TCustomDocDatabase& FDatabase;
  TFullTextRetrieval& FIndexer;
  TFtiJobQueue& FJobQueue;
  std::unique_ptr<TConnection> FConnection;
  // The worker's statements, prepared once on its connection.
  std::unique_ptr<TProviderStatement> FFindWord, FInsertWord, FInsertPair, FDeletePair,
      FDeleteDocument, FReadCounter, FMaxWordId, FUpdateCounter, FInsertCounter;
  // Word numbers known to this worker; those the current batch inserted
  // leave again when it is rolled back.
  std::unordered_map<std::string, int> FWordIds;
  std::vector<std::string> FBatchWords;
  bool FCounterLoaded = false, FCounterExists = false, FCounterDirty = false;
  int FNextWordId = 1;
  int FQueueCount = 0;
  // The queue length at the take of each job of the current batch.
  std::vector<int> FQueueCounts;
  int FDoneCount = 0;
  int FProgressMax = 0;
  std::atomic<bool> FStopRequested{false};
  std::atomic<bool> FFinished{false};
  std::thread FThread;
};

}  // namespace dk
