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
#include "settings/messages.h"
#include "ui/application.h"

namespace dk {

std::chrono::milliseconds TUpdateFtiThread::BatchTime{20};
std::chrono::milliseconds TUpdateFtiThread::RetryPause{150};
std::chrono::milliseconds TUpdateFtiThread::LockRetryPause{20};
std::chrono::milliseconds TUpdateFtiThread::BusyWait{50};

namespace {

// The engine reports the database (or a table) locked by another
// connection: a reason to wait and try again, never to drop a job.
bool IsLockConflict(const std::exception& e) {
  const auto* provider = dynamic_cast<const EProviderError*>(&e);
  if (!provider) return false;
  const int primary = provider->NativeError() & 0xff;
  return primary == 5 /* busy */ || primary == 6 /* locked */;
}

// The statement's lines as the log shows them, each followed by CR LF.
std::string LogSql(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

void LowerThreadPriority() {
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, tid);
  if (errno == 0) ::setpriority(PRIO_PROCESS, tid, nice + 1);
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
  FQuery = std::make_unique<TQuery>();
  FQuery->SetConnection(FConnection.get());
  FQuery->SetCursorLocation(FConnection->CursorLocation());
  FThread = std::thread([this] { Execute(); });
}

TUpdateFtiThread::~TUpdateFtiThread() {
  if (FThread.joinable()) FThread.join();
}

// ---------------------------------------------------------------------------
// Statements

void TUpdateFtiThread::Run(const std::vector<std::string>& lines) {
  FQuery->Close();
  FQuery->SQL().Clear();
  for (const std::string& line : lines) FQuery->SQL().Add(line);
  FQuery->ExecSQL();
}

int TUpdateFtiThread::LookupWordId(const std::string& word) {
  FQuery->Close();
  FQuery->SQL().Clear();
  FQuery->SQL().Add("SELECT WORDID FROM FTIWORD");
  FQuery->SQL().Add("WHERE WORD = " + SqlQuoted(word));
  FQuery->Open();
  const int id = FQuery->IsEmpty() ? 0 : static_cast<int>(FQuery->Fields(0).AsInteger());
  FQuery->Close();
  return id;
}

int TUpdateFtiThread::AllocateWordId() {
  int result = -1;
  int failures = 0;
  TQuery& q = *FQuery;
  auto cancelAndClose = [&] {
    if (q.State() == dsEdit || q.State() == dsInsert) q.Cancel();
    q.Close();
  };
  try {
    q.Close();
    q.SQL().Clear();
    q.SQL().Add("SELECT * FROM IDENTNO");
    q.SQL().Add("WHERE IDNAME = " + SqlQuoted("FTIWORDID"));
    q.Open();
    if (q.IsEmpty()) {
      q.Append();
      q.FieldByName("IDNAME").SetAsString("FTIWORDID");
      result = 1;
    } else {
      while (q.State() != dsEdit) {
        try {
          q.Edit();
          result = static_cast<int>(q.FieldByName("NEXTID").AsInteger());
        } catch (const std::exception& e) {
          if (IsLockConflict(e)) throw;
          if (failures == 100) {
            if (MsgKeyValueError("FTIWORDID", e.what()) != mrRetry) throw;
            failures = 0;
          }
          ++failures;
          std::this_thread::sleep_for(RetryPause);
        }
      }
    }
    q.FieldByName("NEXTID").SetAsInteger(static_cast<int64_t>(result) + 1);
    int attempt = 0;
    bool posted = false;
    while (!posted && attempt < 100) {
      ++attempt;
      try {
        q.Post();
        posted = true;
      } catch (const std::exception& e) {
        if (IsLockConflict(e)) throw;
        std::this_thread::sleep_for(RetryPause);
      }
    }
    const std::string next = " (NEXTID=" + std::to_string(static_cast<int64_t>(result) + 1) + ")";
    if (!posted) {
      cancelAndClose();
      ShowError(SaveErrorText("FTIWORDID", "IDENTNO") + next, 0);
      return -1;
    }
    if (attempt > 1)
      WriteErrorLog("Speichern von \"FTIWORDID\" in Tabelle \"IDENTNO\" war erst beim " +
                    std::to_string(attempt) + "ten Versuch erfolgreich." + next);
  } catch (...) {
    cancelAndClose();
    throw;
  }
  cancelAndClose();
  return result;
}

void TUpdateFtiThread::AddWord(const TUpdateFtiItem& job) {
  int id = LookupWordId(job.FWord);
  if (id <= 0) {
    // At most a few rounds: a word number another client took in the
    // meantime, or the word itself inserted by another client, is noticed
    // by the failed insert and resolved here.
    for (int round = 0;; ++round) {
      id = AllocateWordId();
      FQuery->Close();
      if (id == -1) {
        WriteErrorLog("Wort " + job.FWord + " konnte für Dokument " + std::to_string(job.FDocID) +
                      " nicht indexiert werden.");
        return;
      }
      const std::vector<std::string> insert = {
          "INSERT INTO FTIWORD", "(WORD,WORDID)",
          "VALUES (" + SqlQuoted(job.FWord) + "," + std::to_string(id) + ")"};
      try {
        Run(insert);
        break;
      } catch (const EDatabaseError& e) {
        if (IsLockConflict(e)) throw;
        // A pair pointing at a number that belongs to another word (or to
        // none) would put the document under the wrong word: look again.
        const int existing = LookupWordId(job.FWord);
        if (existing > 0) {
          id = existing;
          break;
        }
        WriteErrorLog(std::string(e.what()) + ", DocID=" + std::to_string(job.FDocID) +
                      ", Wort=" + job.FWord + ", SQL.Text=" + LogSql(insert));
        if (round == 2) return;
      }
    }
  }
  const std::vector<std::string> pair = {
      "INSERT INTO FTIWID", "(WORDID,DOCID)",
      "VALUES (" + std::to_string(id) + "," + std::to_string(job.FDocID) + ")"};
  try {
    Run(pair);
  } catch (const EDatabaseError& e) {
    if (IsLockConflict(e)) throw;
    WriteErrorLog(std::string(e.what()) + ", DocID=" + std::to_string(job.FDocID) +
                  ", Wort=" + job.FWord + ", SQL.Text=" + LogSql(pair));
  }
}

void TUpdateFtiThread::DeleteWord(const TUpdateFtiItem& job) {
  const int id = LookupWordId(job.FWord);
  const std::vector<std::string> sql = {"DELETE FROM FTIWID WHERE WORDID=" + std::to_string(id) +
                                        " AND DOCID=" + std::to_string(job.FDocID)};
  try {
    Run(sql);
  } catch (const EDatabaseError& e) {
    if (IsLockConflict(e)) throw;
    WriteErrorLog(std::string(e.what()) + ", deleting \"" + job.FWord + "\", DocID=" +
                  std::to_string(job.FDocID) + ", from table FTIWID, SQL.Text=" + LogSql(sql));
  }
}

void TUpdateFtiThread::DeleteDocumentWords(const TUpdateFtiItem& job) {
  const std::vector<std::string> sql = {"DELETE FROM FTIWID",
                                        "WHERE DocID=" + std::to_string(job.FDocID)};
  try {
    Run(sql);
  } catch (const EDatabaseError& e) {
    if (IsLockConflict(e)) throw;
    WriteErrorLog(std::string(e.what()) + ", deleting all DocID=" + std::to_string(job.FDocID) +
                  ", from table FTIWID, SQL.Text=" + LogSql(sql));
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
    WriteErrorLog("TUpdateFtiThread.Execute, KeyWord = " + job.FWord + " :  " + e.what());
  }
}

// ---------------------------------------------------------------------------
// The body

bool TUpdateFtiThread::ApplyBatch(std::vector<std::unique_ptr<TUpdateFtiItem>>& batch, bool& more) {
  // Jobs taken and applied in this attempt are kept until the commit, so
  // that a rolled-back attempt applies them again.
  const auto start = std::chrono::steady_clock::now();
  FConnection->BeginTrans();
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
    FConnection->CommitTrans();
    return true;
  } catch (const ELockConflict&) {
    try {
      if (FConnection->InTransaction()) FConnection->RollbackTrans();
    } catch (...) {
    }
    return false;
  } catch (...) {
    try {
      if (FConnection->InTransaction()) FConnection->RollbackTrans();
    } catch (...) {
    }
    throw;
  }
}

void TUpdateFtiThread::Execute() {
  LowerThreadPriority();
  std::string outsideError;
  try {
    bool more = true;
    while (more && !FStopRequested) {
      std::vector<std::unique_ptr<TUpdateFtiItem>> batch;
      FQueueCounts.clear();
      // Nothing is taken before an attempt can begin; an empty queue ends
      // the worker without a statement.
      if (FJobQueue.Count() == 0) break;
      for (;;) {
        bool committed = false;
        try {
          committed = ApplyBatch(batch, more);
        } catch (const ELockConflict&) {
          committed = false;
        } catch (const EDatabaseError& e) {
          // BEGIN or COMMIT themselves found the database locked.
          if (!IsLockConflict(e)) throw;
        }
        if (committed) break;
        if (FStopRequested) {
          // Left for the indexer, which counts what was not applied.
          for (auto& job : batch) FJobQueue.Add(std::move(job));
          batch.clear();
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
    Application->Synchronize([this] { FIndexer.WorkerTerminated(); });
  } catch (...) {
  }
  FFinished = true;
}

void TUpdateFtiThread::ReportProgress() {
  FIndexer.ReportProgress(FProgressMax, FDoneCount);
}

void TUpdateFtiThread::ReleaseConnection() {
  try {
    FQuery->Close();
    FConnection->Close();
  } catch (...) {
  }
}

}  // namespace dk
