#include "data/connection.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "data/dataset.h"
#include "sys/text.h"

namespace dk {

namespace {

constexpr const char* kWriteSavepoint = "dk_write";

// An explicit transaction the engine dropped by itself (an I/O failure, a
// full disk): everything written in it is gone, and a write after it would
// be committed on its own, outside the transaction its caller relies on.
[[noreturn]] void ThrowTransactionLost(const EDatabaseError* cause) {
  const auto* provider = dynamic_cast<const EProviderError*>(cause);
  throw EBatchLost(
      std::string("Die Datenbank hat die offene Transaktion verworfen; keine ihrer Änderungen ist "
                  "gespeichert") +
          (cause ? std::string(": ") + cause->what() : std::string(".")),
      0, provider ? provider->NativeError() : 0, provider ? provider->SqlState() : std::string());
}

[[noreturn]] void ThrowBatchLost(int rows, const EDatabaseError& cause) {
  const auto* provider = dynamic_cast<const EProviderError*>(&cause);
  throw EBatchLost(
      "Die Datenbank hat die offene Transaktion verworfen; " + std::to_string(rows) +
          " bereits gespeicherte Datensätze sind nicht geschrieben worden: " + cause.what(),
      rows, provider ? provider->NativeError() : 0,
      provider ? provider->SqlState() : std::string());
}

}  // namespace

TConnection::TConnection() = default;

TConnection::~TConnection() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the failure is on the error list.
  }
  for (TDataSet* ds : FDataSets) ds->FConnection = nullptr;
}

void TConnection::SetConnectionString(std::string value) {
  if (value == FConnectionString) return;
  if (Connected())
    throw EDatabaseError(
        "Die Verbindungszeichenfolge kann bei offener Verbindung nicht geändert werden.");
  FConnectionString = std::move(value);
}

std::string TConnection::Provider() const {
  std::string p = TConnectionString(FConnectionString).Value("Provider");
  return p.empty() ? FProviderName : p;
}

void TConnection::SetProvider(std::string value) {
  FProviderName = std::move(value);
}

void TConnection::Open() {
  if (Connected()) return;
  OpenProvider(false);
}

void TConnection::CreateDatabase() {
  if (Connected()) throw EDatabaseError("Die Verbindung ist bereits geöffnet.");
  OpenProvider(true);
}

void TConnection::DropDatabase() {
  Close();
  const TConnectionString params(EffectiveConnectionString());
  try {
    CreateProvider(params)->Drop(params, Options());
  } catch (const EDatabaseError& e) {
    RecordError(e);
    throw;
  }
}

std::string TConnection::EffectiveConnectionString() const {
  if (!TConnectionString(FConnectionString).Has("Provider") && !FProviderName.empty())
    return "Provider=" + FProviderName + ";" + FConnectionString;
  return FConnectionString;
}

TProviderOptions TConnection::Options() const {
  TProviderOptions options;
  options.ConnectionTimeout = FConnectionTimeout;
  options.CommandTimeout = FCommandTimeout;
  return options;
}

void TConnection::OpenProvider(bool create) {
  TConnectionString params(EffectiveConnectionString());
  try {
    std::unique_ptr<TProvider> provider = CreateProvider(params);
    const TProviderOptions options = Options();
    if (create)
      provider->Create(params, options);
    else
      provider->Open(params, options);
    FProvider = std::move(provider);
    ApplyDeferredFailureHandler();
  } catch (const EDatabaseError& e) {
    RecordError(e);
    throw;
  }
  FTransLevel = 0;
  FBatchOpen = false;
  FBatchRows = 0;
}

void TConnection::Close() {
  if (!Connected()) return;
  std::vector<TDataSet*> dataSets = FDataSets;
  for (TDataSet* ds : dataSets)
    if (std::find(FDataSets.begin(), FDataSets.end(), ds) != FDataSets.end()) ds->Close();
  for (TDataSet* ds : FDataSets) ds->ReleaseStatements();
  std::unique_ptr<TProvider> provider = std::move(FProvider);
  // Rows a bulk scope reported as written are committed, never dropped.
  bool committed = true;
  std::exception_ptr failure;
  if (FBatchOpen) {
    try {
      provider->Commit();
    } catch (const EDatabaseError& e) {
      RecordError(e);
      committed = false;
      failure = std::current_exception();
    }
  }
  if (FTransLevel > 0 || !committed) {
    try {
      provider->Rollback();
    } catch (const EDatabaseError&) {
    }
  }
  FTransLevel = 0;
  FBatchOpen = false;
  FBatchRows = 0;
  FPageCacheRaised = false;
  provider->Close();
  if (failure) std::rethrow_exception(failure);
}

void TConnection::SetDeferredFailureHandler(TDeferredFailureHandler handler) {
  if (!handler && FProvider) {
    // What is kept is sent while its handler still listens.
    try {
      FProvider->FlushDeferred();
    } catch (const EDatabaseError& e) {
      RecordError(e);
    }
  }
  FDeferredFailure = std::move(handler);
  ApplyDeferredFailureHandler();
}

void TConnection::ApplyDeferredFailureHandler() {
  if (!FProvider) return;
  if (!FDeferredFailure) {
    FProvider->SetDeferredFailureHandler(nullptr);
    return;
  }
  FProvider->SetDeferredFailureHandler([this](const std::string& tag, const EDatabaseError& error) {
    RecordError(error);
    return FDeferredFailure(tag, error);
  });
}

void TConnection::CheckConnected() const {
  if (!Connected()) throw EDatabaseError("Die Verbindung ist nicht geöffnet.");
}

TProvider& TConnection::Engine() {
  CheckConnected();
  return *FProvider;
}

std::unique_ptr<TProviderStatement> TConnection::Prepare(std::string_view sql) {
  CheckConnected();
  try {
    return FProvider->Prepare(sql);
  } catch (const EDatabaseError& e) {
    RecordError(e);
    throw;
  }
}

TTableInfo TConnection::TableInfo(std::string_view table) {
  CheckConnected();
  try {
    return FProvider->TableInfo(table);
  } catch (const EDatabaseError& e) {
    RecordError(e);
    throw;
  }
}

std::string TConnection::QuoteIdentifier(std::string_view name) {
  return Engine().QuoteIdentifier(name);
}

void TConnection::RecordError(const EDatabaseError& error) {
  TProviderErrorInfo info;
  info.Description = error.what();
  if (const auto* p = dynamic_cast<const EProviderError*>(&error)) {
    info.NativeError = p->NativeError();
    info.SqlState = p->SqlState();
  }
  info.Source = FProvider ? FProvider->Name() : Provider();
  FErrors.clear();
  FErrors.push_back(std::move(info));
}

int64_t TConnection::RunWrite(TProviderStatement& statement, bool deferrable) {
  CheckConnected();
  TProvider& p = *FProvider;
  // A batch whose final commit failed earlier is committed before anything
  // else is written.
  if (FBatchOpen && FBulkDepth == 0 && FTransLevel == 0) CommitBatch();
  if (FTransLevel > 0 && !p.InTransaction()) {
    try {
      ThrowTransactionLost(nullptr);
    } catch (const EDatabaseError& e) {
      RecordError(e);
      throw;
    }
  }
  if (FBulkDepth > 0 && FTransLevel == 0 && !FBatchOpen) {
    try {
      p.BeginTransaction();
    } catch (const EDatabaseError& e) {
      RecordError(e);
      throw;
    }
    FBatchOpen = true;
    FBatchRefusals = 0;
    FBatchRows = 0;
    FBatchBegun = std::chrono::steady_clock::now();
  }
  // A row of a bulk batch the engine sends later together with others; also
  // inside an explicit transaction that holds the whole bulk load (the engine
  // takes back a group that fails up to a savepoint of its own).
  const bool defer = deferrable && FBulkDepth > 0 && (FBatchOpen || FTransLevel > 0) &&
                     p.DefersWrites() && p.CanDeferWrite(statement);
  bool savepoint = !defer && p.InTransaction() && p.FailedStatementAbortsTransaction();
  try {
    if (savepoint) p.Savepoint(kWriteSavepoint);
    try {
      if (defer)
        p.DeferWrite(statement, std::exchange(FWriteTag, std::string()));
      else
        while (statement.Step()) {
        }
    } catch (...) {
      statement.Reset();
      if (savepoint && p.InTransaction()) {
        p.RollbackToSavepoint(kWriteSavepoint);
        p.ReleaseSavepoint(kWriteSavepoint);
      }
      throw;
    }
    if (savepoint) p.ReleaseSavepoint(kWriteSavepoint);
  } catch (const EDatabaseError& e) {
    RecordError(e);
    if (FTransLevel > 0 && !p.InTransaction()) {
      try {
        ThrowTransactionLost(&e);
      } catch (const EDatabaseError& lostError) {
        RecordError(lostError);
        throw;
      }
    }
    if (FBatchOpen && !p.InTransaction()) {
      // The engine dropped the whole batch (an I/O failure, a full disk):
      // rows already reported as written are gone, and the caller must know.
      int lost = FBatchRows;
      FBatchOpen = false;
      FBatchRows = 0;
      if (lost > 0) {
        try {
          ThrowBatchLost(lost, e);
        } catch (const EDatabaseError& lostError) {
          RecordError(lostError);
          throw;
        }
      }
    }
    throw;
  }
  int64_t rows = defer ? 1 : statement.RowsAffected();
  statement.Reset();
  ++FChangeCount;
  // A write that found the file held by a reader is a commit held up: it is
  // tried now rather than at the end of a long batch, whose pages meanwhile
  // stay in memory. Refused often enough in a row, the batch is given up.
  const bool blocked = FBatchOpen && FProvider->TakeWriteBlocked();
  if (FBatchOpen && (BatchDue(++FBatchRows) || blocked)) {
    try {
      CommitBatch();
    } catch (const EDatabaseError&) {
      // A commit the database refused for now (locked by another reader)
      // keeps the batch open; the next write or the end of the scope commits
      // it. The error stays on the list. A batch the engine dropped is
      // reported at once.
      if (!FBatchOpen) throw;
    }
  }
  return rows;
}

void TConnection::CommitBatch() {
  if (!FBatchOpen) return;
  try {
    FProvider->Commit();
  } catch (const EDatabaseError& e) {
    RecordError(e);
    if (FProvider->InTransaction() && ++FBatchRefusals >= kMaxRefusedBatchCommits) {
      try {
        FProvider->Rollback();
      } catch (const EDatabaseError& rollbackError) {
        RecordError(rollbackError);
      }
    }
    if (!FProvider->InTransaction()) {
      int lost = FBatchRows;
      FBatchOpen = false;
      FBatchRows = 0;
      FBatchRefusals = 0;
      try {
        ThrowBatchLost(lost, e);
      } catch (const EDatabaseError& lostError) {
        RecordError(lostError);
        throw;
      }
    }
    throw;
  }
  FBatchOpen = false;
  FBatchRows = 0;
  FBatchRefusals = 0;
  LowerPageCache();
}

bool TConnection::BatchDue(int rows) const {
  constexpr int kCheckTimeEveryRows = 256;
  if (FBulkPolicy.Rows > 0 && rows >= FBulkPolicy.Rows) return true;
  return FBulkPolicy.Time.count() > 0 && rows % kCheckTimeEveryRows == 0 &&
         std::chrono::steady_clock::now() - FBatchBegun >= FBulkPolicy.Time;
}

void TConnection::BeginBulk(const TBulkPolicy& policy) {
  if (FBulkDepth == 0) {
    FBulkPolicy = policy;
    if (policy.PageCache > 0 && Connected()) {
      FProvider->SetPageCacheLimit(policy.PageCache);
      FPageCacheRaised = true;
    }
  }
  ++FBulkDepth;
}

void TConnection::EndBulk() {
  if (FBulkDepth > 0) --FBulkDepth;
  if (FBulkDepth == 0 && FBatchOpen && FTransLevel == 0 && Connected()) CommitBatch();
  // Inside an explicit transaction nothing is committed here, but the rows the
  // engine keeps are sent now, so that their failures reach the scope's
  // writer before it reports its counts.
  if (FBulkDepth == 0 && !FBatchOpen && FTransLevel > 0 && Connected()) {
    try {
      FProvider->FlushDeferred();
    } catch (const EDatabaseError& e) {
      RecordError(e);
      throw;
    }
  }
  LowerPageCache();
}

void TConnection::LowerPageCache() {
  // A batch whose commit was refused keeps its pages until it is committed.
  if (!FPageCacheRaised || FBulkDepth > 0 || FBatchOpen || !Connected()) return;
  FPageCacheRaised = false;
  FProvider->SetPageCacheLimit(0);
}

int TConnection::BeginTrans() {
  CheckConnected();
  try {
    // Rows of a bulk batch belong to no explicit transaction: they are
    // committed before it begins, so its rollback cannot take them along.
    if (FBatchOpen) CommitBatch();
    if (FTransLevel == 0)
      FProvider->BeginTransaction();
    else
      FProvider->Savepoint("dk_trans_" + std::to_string(FTransLevel + 1));
  } catch (const EDatabaseError& e) {
    RecordError(e);
    throw;
  }
  return ++FTransLevel;
}

void TConnection::CommitTrans() {
  CheckConnected();
  if (FTransLevel == 0) throw EDatabaseError("Es ist keine Transaktion aktiv.");
  if (FTransLevel == 1 && !FProvider->InTransaction()) {
    // Dropped by the engine: a server would take the COMMIT without a word.
    FTransLevel = 0;
    try {
      ThrowTransactionLost(nullptr);
    } catch (const EDatabaseError& e) {
      RecordError(e);
      throw;
    }
  }
  try {
    if (FTransLevel == 1)
      FProvider->Commit();
    else
      FProvider->ReleaseSavepoint("dk_trans_" + std::to_string(FTransLevel));
  } catch (const EDatabaseError& e) {
    RecordError(e);
    if (FTransLevel == 1 && !FProvider->InTransaction()) FTransLevel = 0;
    throw;
  }
  --FTransLevel;
}

void TConnection::RollbackTrans() {
  CheckConnected();
  if (FTransLevel == 0) throw EDatabaseError("Es ist keine Transaktion aktiv.");
  try {
    if (FTransLevel == 1) {
      FTransLevel = 0;
      FProvider->Rollback();
      return;
    }
    std::string name = "dk_trans_" + std::to_string(FTransLevel);
    --FTransLevel;
    FProvider->RollbackToSavepoint(name);
    FProvider->ReleaseSavepoint(name);
  } catch (const EDatabaseError& e) {
    RecordError(e);
    throw;
  }
}

int64_t TConnection::Execute(std::string_view sql) {
  std::unique_ptr<TProviderStatement> statement = Prepare(sql);
  if (statement->ReturnsRows()) {
    try {
      statement->Step();
    } catch (const EDatabaseError& e) {
      RecordError(e);
      throw;
    }
    return 0;
  }
  return RunWrite(*statement);
}

void TConnection::GetTableNames(TStringList& list, bool systemTables) {
  CheckConnected();
  list.Clear();
  try {
    for (auto& name : FProvider->TableNames(systemTables)) list.Add(std::move(name));
  } catch (const EDatabaseError& e) {
    RecordError(e);
    throw;
  }
}

void TConnection::RegisterDataSet(TDataSet* dataSet) {
  if (std::find(FDataSets.begin(), FDataSets.end(), dataSet) == FDataSets.end())
    FDataSets.push_back(dataSet);
}

void TConnection::UnregisterDataSet(TDataSet* dataSet) {
  FDataSets.erase(std::remove(FDataSets.begin(), FDataSets.end(), dataSet), FDataSets.end());
}

}  // namespace dk
