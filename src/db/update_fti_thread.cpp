#include "db/update_fti_thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <utility>

#include "data/errors.h"
#include "db/doc_database.h"
#include "db/util/sql_util.h"
#include "settings/error_log.h"
#include "ui/application.h"

namespace dk {

std::chrono::milliseconds TUpdateFtiThread::BatchTime{20};
std::chrono::milliseconds TUpdateFtiThread::LockRetryPause{20};
std::chrono::milliseconds TUpdateFtiThread::BusyWait{50};
std::chrono::milliseconds TUpdateFtiThread::BatchRetryPause{250};
int TUpdateFtiThread::BatchRetries = 3;

namespace {

void LowerThreadPriority() {
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, tid);
  if (errno == 0) ::setpriority(PRIO_PROCESS, tid, nice + 1);
}

// A write the engine refused for its row alone (a key or other constraint):
// the transaction goes on, and trying again would meet the same refusal.
bool IsRowError(const std::exception& e) {
  const auto* provider = dynamic_cast<const EProviderError*>(&e);
  if (!provider) return false;
  return provider->NativeError() == kDuplicateKeyError || provider->SqlState().starts_with("23");
}

}  // namespace

// A job whose statements must be tried again as a whole (the database was
// locked); it carries no message of its own.
struct ELockConflict {
  std::exception_ptr Error;
};

TUpdateFtiThread::TUpdateFtiThread(TCustomDocDatabase& database, TFullTextRetrieval& indexer)
    : FDatabase(database), FIndexer(indexer), FJobQueue(indexer.JobQueue()) {
  TConnection& owner = database.Connection();
  FConnection = std::make_unique<TConnection>();
  FConnection->SetLoginPrompt(false);
  FConnection->SetAttributes(owner.Attributes());
  std::string connectionString = owner.ConnectionString();
  // On SQLite a short wait for the lock within one attempt: the worker
  // retries on its own, and meanwhile nobody waits long for the write lock
  // it holds.
  if (owner.Connected() && owner.Engine().Name() == "SQLite")
    connectionString += ";Busy Timeout=" + std::to_string(BusyWait.count());
  FConnection->SetConnectionString(connectionString);
  FConnection->SetConnectOptions(owner.ConnectOptions());
  FConnection->SetCursorLocation(owner.CursorLocation());
  FConnection->SetIsolationLevel(owner.IsolationLevel());
  FConnection->SetProvider(owner.Provider());
  FConnection->Open();
  // The pairs arrive in word order, not in key order: a page cache that
  // holds the touched part of FTIWID saves most of the reads and writes.
  if (FConnection->Engine().Name() == "SQLite") FConnection->Execute("PRAGMA cache_size=-32768");
  FThread = std::thread([this] { Execute(); });
}

TUpdateFtiThread::~TUpdateFtiThread() {
  if (FThread.joinable()) FThread.join();
}

// ---------------------------------------------------------------------------
// Statements

void TUpdateFtiThread::Prepare() {
  if (FFindWord) return;
  FFindWord = FConnection->Prepare("SELECT WORDID FROM FTIWORD WHERE WORD = :WORD");
  FInsertWord = FConnection->Prepare("INSERT INTO FTIWORD (WORD,WORDID) VALUES (:WORD,:WORDID)");
  FInsertPair = FConnection->Prepare("INSERT INTO FTIWID (WORDID,DOCID) VALUES (:WORDID,:DOCID)");
  FDeletePair = FConnection->Prepare("DELETE FROM FTIWID WHERE WORDID=:WORDID AND DOCID=:DOCID");
  FDeleteDocument = FConnection->Prepare("DELETE FROM FTIWID WHERE DocID=:DOCID");
  // On a server the counter row stays locked until the batch ends: no other
  // writer creates a word meanwhile (see AllocateWordId).
  FReadCounter =
      FConnection->Prepare(std::string("SELECT NEXTID FROM IDENTNO WHERE IDNAME = 'FTIWORDID'") +
                           (FConnection->Engine().LocksRows() ? " FOR UPDATE" : ""));
  FMaxWordId = FConnection->Prepare("SELECT MAX(WORDID) FROM FTIWORD");
  FUpdateCounter =
      FConnection->Prepare("UPDATE IDENTNO SET NEXTID = :NEXTID WHERE IDNAME = 'FTIWORDID'");
  FInsertCounter =
      FConnection->Prepare("INSERT INTO IDENTNO (IDNAME,NEXTID) VALUES ('FTIWORDID',:NEXTID)");
}

void TUpdateFtiThread::Write(TProviderStatement& statement, const std::vector<TVariant>& values) {
  statement.Reset();
  for (size_t i = 0; i < values.size(); ++i) statement.Bind(static_cast<int>(i), values[i]);
  FConnection->RunWrite(statement);
}

int TUpdateFtiThread::LookupWordId(const std::string& word) {
  if (auto it = FWordIds.find(word); it != FWordIds.end()) return it->second;
  TProviderStatement& find = *FFindWord;
  find.Reset();
  find.Bind(0, TVariant(word));
  int id = 0;
  try {
    if (find.Step()) {
      TVariant value;
      find.ReadValue(0, value);
      id = static_cast<int>(value.IsNull() ? 0 : std::stoll(value.ToString()));
    }
  } catch (...) {
    find.Reset();
    throw;
  }
  find.Reset();
  // Word rows are only ever added, never changed or removed: a number once
  // read stays right.
  if (id > 0) FWordIds.emplace(word, id);
  return id;
}

namespace {

// The first column of the statement's one row as a number; `otherwise` when
// there is no row or the value is null.
int64_t ReadNumber(TProviderStatement& statement, int64_t otherwise, bool* found = nullptr) {
  statement.Reset();
  int64_t result = otherwise;
  if (found) *found = false;
  try {
    if (statement.Step()) {
      TVariant value;
      statement.ReadValue(0, value);
      if (found) *found = true;
      if (!value.IsNull()) result = std::stoll(value.ToString());
    }
  } catch (...) {
    statement.Reset();
    throw;
  }
  statement.Reset();
  return result;
}

}  // namespace

bool TUpdateFtiThread::LoadWordCounter() {
  // Once per batch, inside its transaction: a file database is held by the
  // write lock the batch took at its start, a server's counter row by the
  // row lock this read takes. Until the batch commits nobody else can hand
  // out a word number or create a word, so a word looked up from now on is
  // either there or is this batch's to create.
  if (FCounterLoaded) return false;
  bool exists = false;
  const int64_t stored = ReadNumber(*FReadCounter, 1, &exists);
  FCounterExists = exists;
  FNextWordId = static_cast<int>(stored);
  // A counter behind the words (a conversion that did not finish) would hand
  // out a number a word has.
  const int floor = static_cast<int>(ReadNumber(*FMaxWordId, 0)) + 1;
  if (floor > FNextWordId) {
    WriteErrorLog("Der Zähler \"FTIWORDID\" in Tabelle \"IDENTNO\" stand auf " +
                  std::to_string(FNextWordId) + ", die Wörter belegen die Nummern bis " +
                  std::to_string(floor - 1) + "; er wurde auf " + std::to_string(floor) +
                  " vorgestellt.");
    FNextWordId = floor;
    FCounterDirty = true;
  }
  FCounterLoaded = true;
  return true;
}

int TUpdateFtiThread::AllocateWordId() {
  LoadWordCounter();
  FCounterDirty = true;
  return FNextWordId++;
}

void TUpdateFtiThread::StoreWordCounter() {
  if (!FCounterDirty) return;
  const std::string next = " (NEXTID=" + std::to_string(FNextWordId) + ")";
  try {
    if (FCounterExists)
      Write(*FUpdateCounter, {TVariant(FNextWordId)});
    else
      Write(*FInsertCounter, {TVariant(FNextWordId)});
  } catch (const std::exception& e) {
    if (IsLockConflict(e)) throw;
    ShowError(SaveErrorText("FTIWORDID", "IDENTNO") + next, 0);
    throw;
  }
  FCounterDirty = false;
  FCounterLoaded = false;
}

void TUpdateFtiThread::AddWord(const TUpdateFtiItem& job) {
  int id = LookupWordId(job.FWord);
  // Another writer may have created the word after the lookup and before
  // this batch held the counter: look again once it does.
  if (id <= 0 && LoadWordCounter()) id = LookupWordId(job.FWord);
  if (id <= 0) {
    id = AllocateWordId();
    const std::string insertText = "INSERT INTO FTIWORD\r\n(WORD,WORDID)\r\nVALUES (" +
                                   SqlQuoted(job.FWord) + "," + std::to_string(id) + ")\r\n";
    try {
      Write(*FInsertWord, {TVariant(job.FWord), TVariant(id)});
      FWordIds.emplace(job.FWord, id);
      FBatchWords.push_back(job.FWord);
    } catch (const EDatabaseError& e) {
      if (!IsRowError(e)) throw;
      // A pair pointing at a number that belongs to another word (or to
      // none) would file the document under the wrong word: the word
      // inserted meanwhile by another client is used, else no pair is made.
      WriteErrorLog(std::string(e.what()) + ", DocID=" + std::to_string(job.FDocID) +
                    ", Wort=" + job.FWord + ", SQL.Text=" + insertText);
      id = LookupWordId(job.FWord);
      if (id <= 0) {
        WriteErrorLog("Wort " + job.FWord + " konnte für Dokument " + std::to_string(job.FDocID) +
                      " nicht indexiert werden.");
        return;
      }
    }
  }
  try {
    Write(*FInsertPair, {TVariant(id), TVariant(job.FDocID)});
  } catch (const EDatabaseError& e) {
    if (!IsRowError(e)) throw;
    WriteErrorLog(std::string(e.what()) + ", DocID=" + std::to_string(job.FDocID) +
                  ", Wort=" + job.FWord + ", SQL.Text=INSERT INTO FTIWID\r\n(WORDID,DOCID)\r\n" +
                  "VALUES (" + std::to_string(id) + "," + std::to_string(job.FDocID) + ")\r\n");
  }
}

void TUpdateFtiThread::DeleteWord(const TUpdateFtiItem& job) {
  const int id = LookupWordId(job.FWord);
  try {
    Write(*FDeletePair, {TVariant(id), TVariant(job.FDocID)});
  } catch (const EDatabaseError& e) {
    if (!IsRowError(e)) throw;
    WriteErrorLog(std::string(e.what()) + ", deleting \"" + job.FWord +
                  "\", DocID=" + std::to_string(job.FDocID) +
                  ", from table FTIWID, SQL.Text=DELETE FROM FTIWID WHERE WORDID=" +
                  std::to_string(id) + " AND DOCID=" + std::to_string(job.FDocID) + "\r\n");
  }
}

void TUpdateFtiThread::DeleteDocumentWords(const TUpdateFtiItem& job) {
  try {
    Write(*FDeleteDocument, {TVariant(job.FDocID)});
  } catch (const EDatabaseError& e) {
    if (!IsRowError(e)) throw;
    WriteErrorLog(std::string(e.what()) + ", deleting all DocID=" + std::to_string(job.FDocID) +
                  ", from table FTIWID, SQL.Text=DELETE FROM FTIWID\r\nWHERE DocID=" +
                  std::to_string(job.FDocID) + "\r\n");
  }
}

void TUpdateFtiThread::Apply(const TUpdateFtiItem& job) {
  try {
    switch (job.FOperation) {
      case fjAddWord:
        AddWord(job);
        break;
      case fjDeleteWord:
        DeleteWord(job);
        break;
      case fjDeleteDocument:
        DeleteDocumentWords(job);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    if (IsLockConflict(e)) throw ELockConflict{std::current_exception()};
    // Only a row the engine refused costs its job; any other failure (a
    // full disk, an I/O error, a lost connection) is the batch's.
    if (!IsRowError(e)) throw;
    WriteErrorLog("TUpdateFtiThread.Execute, KeyWord = " + job.FWord + " :  " + e.what());
  }
}

// ---------------------------------------------------------------------------
// The body

bool TUpdateFtiThread::ApplyBatch(std::vector<std::unique_ptr<TUpdateFtiItem>>& batch, bool& more) {
  // Jobs taken and applied in this attempt are kept until the commit, so
  // that a rolled-back attempt applies them again.
  const auto start = std::chrono::steady_clock::now();
  Prepare();
  FConnection->BeginTrans();
  FBatchWords.clear();
  try {
    for (const auto& job : batch) Apply(*job);
    more = true;
    while (std::chrono::steady_clock::now() - start < BatchTime && !FStopRequested) {
      int count = 0;
      std::unique_ptr<TUpdateFtiItem> job = FJobQueue.TakeFirst(count);
      if (!job) {
        more = false;
        break;
      }
      // The queue length when the job was taken goes into its report.
      batch.push_back(std::move(job));
      FQueueCount = count;
      FQueueCounts.push_back(count);
      Apply(*batch.back());
    }
    try {
      StoreWordCounter();
    } catch (const std::exception& e) {
      if (IsLockConflict(e)) throw ELockConflict{std::current_exception()};
      throw;
    }
    // An engine that gave up the transaction by itself (SQLite does after a
    // full disk or an I/O error) has lost the batch's writes.
    if (!FConnection->Engine().InTransaction())
      throw EDatabaseError(
          "Die Transaktion des Volltextindex wurde von der Datenbank abgebrochen.");
    FConnection->CommitTrans();
    FBatchWords.clear();
    return true;
  } catch (const ELockConflict&) {
    Rollback();
    return false;
  } catch (...) {
    Rollback();
    throw;
  }
}

void TUpdateFtiThread::Rollback() {
  try {
    if (FConnection->InTransaction()) FConnection->RollbackTrans();
  } catch (...) {
  }
  // What the batch wrote is gone: its new words and its counter reading.
  for (const std::string& word : FBatchWords) FWordIds.erase(word);
  FBatchWords.clear();
  FCounterLoaded = false;
  FCounterDirty = false;
}

void TUpdateFtiThread::Execute() {
  LowerThreadPriority();
  std::string outsideError;
  // A batch the engine could not take: its jobs are back in the queue.
  std::string batchError;
  try {
    bool more = true;
    while (more && !FStopRequested) {
      std::vector<std::unique_ptr<TUpdateFtiItem>> batch;
      FQueueCounts.clear();
      // Nothing is taken before an attempt can begin; an empty queue ends
      // the worker without a statement.
      if (FJobQueue.Count() == 0) break;
      int failures = 0;
      for (;;) {
        bool committed = false;
        try {
          committed = ApplyBatch(batch, more);
        } catch (const ELockConflict&) {
          committed = false;
        } catch (const std::exception& e) {
          // BEGIN or COMMIT themselves found the database locked.
          if (!IsLockConflict(e)) {
            // A full disk, an I/O error, a lost connection: the batch was
            // rolled back as a whole. Tried again after a pause, as the
            // cause may pass; then left in the queue for the next worker.
            Rollback();
            if (++failures > BatchRetries || FStopRequested) {
              batchError = e.what();
              FJobQueue.PutBack(batch);
              more = false;
              break;
            }
            std::this_thread::sleep_for(BatchRetryPause * failures);
            continue;
          }
        }
        if (committed) break;
        if (FStopRequested) {
          // Left for the indexer, which counts what was not applied.
          FJobQueue.PutBack(batch);
          more = false;
          break;
        }
        std::this_thread::sleep_for(LockRetryPause);
        // A dataset of the main thread standing in a long result holds the
        // read lock that keeps the commit from finishing.
        try {
          Application->Synchronize([this] { FDatabase.EndDataSetReads(); });
        } catch (const std::exception&) {
          // The next attempt waits again; the jobs stay in the batch.
        }
      }
      if (batch.empty()) continue;
      std::vector<std::pair<int, int>> reports;
      for (size_t i = 0; i < batch.size(); ++i) {
        ++FDoneCount;
        FProgressMax = FQueueCounts[i] + FDoneCount;
        reports.emplace_back(FProgressMax, FDoneCount);
      }
      Application->Synchronize([this, &reports] {
        for (const auto& [max, pos] : reports) FIndexer.ReportProgress(max, pos);
      });
    }
  } catch (const std::exception& e) {
    outsideError = e.what();
  } catch (const ELockConflict&) {
    outsideError = "database locked";
  }
  ReleaseConnection();
  FProgressMax = 0;
  try {
    Application->Synchronize([this] { FIndexer.ReportProgress(FProgressMax, FDoneCount); });
  } catch (const std::exception& e) {
    if (outsideError.empty()) outsideError = e.what();
  }
  if (!outsideError.empty()) WriteErrorLog("TUpdateFtiThread.Execute: " + outsideError);
  try {
    const bool stopped = FStopRequested;
    Application->Synchronize([this, &batchError, stopped] {
      if (!batchError.empty())
        FIndexer.WorkerFailed(batchError);
      else if (!stopped)
        FIndexer.WorkerRecovered();
      FIndexer.WorkerTerminated();
    });
  } catch (...) {
  }
  FFinished = true;
}

void TUpdateFtiThread::ReportProgress() {
  FIndexer.ReportProgress(FProgressMax, FDoneCount);
}

void TUpdateFtiThread::ReleaseConnection() {
  for (auto* statement : {&FFindWord, &FInsertWord, &FInsertPair, &FDeletePair, &FDeleteDocument,
                          &FReadCounter, &FMaxWordId, &FUpdateCounter, &FInsertCounter})
    statement->reset();
  try {
    FConnection->Close();
  } catch (...) {
  }
}

}  // namespace dk
