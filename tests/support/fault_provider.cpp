#include "support/fault_provider.h"

#include <csignal>
#include <memory>

#include "data/errors.h"
#include "data/provider.h"

namespace dk::test {

namespace {

// SQLite's result codes for the faults, so the layer sees what it would see
// from the real engine.
constexpr int kBusyCode = 5;
constexpr int kIoErrorCode = 10;
constexpr int kFullCode = 13;
constexpr int kConstraintCode = 19;

const char* PointName(TFaultPoint point) {
  switch (point) {
    case TFaultPoint::Open:
      return "Öffnen";
    case TFaultPoint::Begin:
      return "Transaktionsbeginn";
    case TFaultPoint::Step:
      return "Anweisung";
    case TFaultPoint::Commit:
      return "Commit";
    case TFaultPoint::AfterCommit:
      return "nach dem Commit";
  }
  return "?";
}

// Statements name their tables as each engine quotes them ("DOCUMENT",
// "document"): a fault matches its statement part ignoring case.
std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

[[noreturn]] void RaiseLost() {
  throw EProviderError("Verbindung zum Server verloren (eingespeister Fehler)", kIoErrorCode,
                       "08006");
}

class TFaultStatement;

class TFaultProvider : public TProvider {
 public:
  std::string Name() const override { return "Fault"; }

  void Open(const TConnectionString& params, const TProviderOptions& options) override {
    Start(params);
    FaultPlan().Check(TFaultPoint::Open, {}, [](TFaultKind) {});
    FInner->Open(InnerParams(params), options);
  }
  void Create(const TConnectionString& params, const TProviderOptions& options) override {
    Start(params);
    FaultPlan().Check(TFaultPoint::Open, {}, [](TFaultKind) {});
    FInner->Create(InnerParams(params), options);
  }
  void Close() override {
    if (FInner && !FLost) FInner->Close();
    FAborted = false;
  }

  std::unique_ptr<TProviderStatement> Prepare(std::string_view sql) override;
  std::unique_ptr<TProviderStatement> PrepareWithRowId(std::string_view sql,
                                                       std::string_view table) override;

  void BeginTransaction() override {
    Usable();
    FaultPlan().Check(TFaultPoint::Begin, {}, [this](TFaultKind kind) { React(kind); });
    FInner->BeginTransaction();
  }
  void Commit() override {
    Usable();
    if (FAborted) {
      // A server ends a spoiled transaction with a rollback, whatever was asked.
      FAborted = false;
      FInner->Rollback();
      throw EProviderError("Die Transaktion war abgebrochen und wurde zurückgesetzt", kIoErrorCode,
                           "25P02");
    }
    FaultPlan().Check(TFaultPoint::Commit, {}, [this](TFaultKind kind) { React(kind); });
    FInner->Commit();
    FaultPlan().Check(TFaultPoint::AfterCommit, {}, [](TFaultKind) {});
  }
  void Rollback() override {
    Usable(false);
    FAborted = false;
    FInner->Rollback();
  }
  void Savepoint(std::string_view name) override {
    Usable();
    FInner->Savepoint(name);
  }
  void ReleaseSavepoint(std::string_view name) override {
    Usable();
    FInner->ReleaseSavepoint(name);
  }
  void RollbackToSavepoint(std::string_view name) override {
    Usable(false);
    FAborted = false;
    FInner->RollbackToSavepoint(name);
  }
  bool InTransaction() const override { return !FLost && FInner && FInner->InTransaction(); }
  bool TakeWriteBlocked() override { return FInner && FInner->TakeWriteBlocked(); }
  void SetPageCacheLimit(size_t bytes) override {
    if (FInner) FInner->SetPageCacheLimit(bytes);
  }
  bool FailedStatementAbortsTransaction() const override {
    return FaultPlan().ServerLike() || (FInner && FInner->FailedStatementAbortsTransaction());
  }
  int64_t LastInsertId() override {
    Usable();
    return FInner->LastInsertId();
  }
  std::vector<std::string> TableNames(bool systemTables) override {
    Usable();
    return FInner->TableNames(systemTables);
  }
  TTableInfo TableInfo(std::string_view table) override {
    Usable();
    return FInner->TableInfo(table);
  }
  std::string QuoteIdentifier(std::string_view name) const override {
    return FInner->QuoteIdentifier(name);
  }

  // The engine's reaction to a fault, before it is raised.
  void React(TFaultKind kind) {
    switch (kind) {
      case TFaultKind::Full:
      case TFaultKind::IoError:
        if (FInner->InTransaction()) FInner->Rollback();
        FAborted = false;
        break;
      case TFaultKind::LostConnection:
        FInner->Close();
        FLost = true;
        break;
      case TFaultKind::Busy:
      case TFaultKind::Constraint:
      case TFaultKind::Kill:
      case TFaultKind::Terminate:
        break;
    }
  }
  // A statement failed inside a transaction: a server spoils the transaction.
  void StatementFailed() {
    if (FaultPlan().ServerLike() && InTransaction()) FAborted = true;
  }
  // Fails when the connection is gone, and (unless `mayRollBack`) while a
  // spoiled transaction waits for its rollback.
  void Usable(bool mayRollBack = true) const {
    if (FLost) RaiseLost();
    if (FAborted && mayRollBack)
      throw EProviderError(
          "Die laufende Transaktion ist abgebrochen; Befehle werden bis zum Ende der "
          "Transaktion ignoriert",
          kIoErrorCode, "25P02");
  }

 private:
  void Start(const TConnectionString& params) {
    FInner = CreateProvider(TConnectionString("Provider=" + params.Value("Inner Provider")));
    FLost = false;
    FAborted = false;
  }
  static TConnectionString InnerParams(const TConnectionString& params) {
    std::string text = "Provider=" + params.Value("Inner Provider");
    for (const auto& [key, value] : params.Items())
      if (key != "Provider" && key != "Inner Provider") text += ";" + key + "=" + value;
    return TConnectionString(text);
  }

  std::unique_ptr<TProvider> FInner;
  bool FLost = false;
  bool FAborted = false;
};

class TFaultStatement : public TProviderStatement {
 public:
  TFaultStatement(TFaultProvider& owner, std::unique_ptr<TProviderStatement> inner)
      : FOwner(owner), FInner(std::move(inner)) {}

  const std::string& Sql() const override { return FInner->Sql(); }
  int ParamCount() const override { return FInner->ParamCount(); }
  std::string ParamName(int index) const override { return FInner->ParamName(index); }
  void Bind(int index, const TVariant& value) override { FInner->Bind(index, value); }
  bool ReturnsRows() const override { return FInner->ReturnsRows(); }
  int ColumnCount() const override { return FInner->ColumnCount(); }
  const TColumnInfo& Column(int index) const override { return FInner->Column(index); }

  bool Step() override {
    FOwner.Usable();
    try {
      FaultPlan().Check(TFaultPoint::Step, FInner->Sql(),
                        [this](TFaultKind kind) { FOwner.React(kind); });
      return FInner->Step();
    } catch (const EDatabaseError&) {
      FOwner.StatementFailed();
      throw;
    }
  }
  void ReadValue(int index, TVariant& out) const override { FInner->ReadValue(index, out); }
  void Reset() override { FInner->Reset(); }
  int64_t RowsAffected() const override { return FInner->RowsAffected(); }

 private:
  TFaultProvider& FOwner;
  std::unique_ptr<TProviderStatement> FInner;
};

std::unique_ptr<TProviderStatement> TFaultProvider::Prepare(std::string_view sql) {
  Usable();
  return std::make_unique<TFaultStatement>(*this, FInner->Prepare(sql));
}

std::unique_ptr<TProviderStatement> TFaultProvider::PrepareWithRowId(std::string_view sql,
                                                                     std::string_view table) {
  Usable();
  auto inner = FInner->PrepareWithRowId(sql, table);
  if (!inner) return nullptr;
  return std::make_unique<TFaultStatement>(*this, std::move(inner));
}

}  // namespace

void TFaultPlan::Add(TFault fault) {
  std::lock_guard lock(FLock);
  FFaults.push_back(std::move(fault));
}

void TFaultPlan::Clear() {
  std::lock_guard lock(FLock);
  FFaults.clear();
  FInjected = 0;
  FServerLike = false;
}

int TFaultPlan::Injected() const {
  std::lock_guard lock(FLock);
  return FInjected;
}

void TFaultPlan::SetServerLike(bool on) {
  std::lock_guard lock(FLock);
  FServerLike = on;
}

bool TFaultPlan::ServerLike() const {
  std::lock_guard lock(FLock);
  return FServerLike;
}

bool TFaultPlan::Fire(TFaultPoint point, const std::string& sql, TFaultKind& kind) {
  std::lock_guard lock(FLock);
  for (TFault& f : FFaults) {
    if (f.Point != point || f.Times == 0) continue;
    if (!f.SqlContains.empty() && Upper(sql).find(Upper(f.SqlContains)) == std::string::npos)
      continue;
    if (f.Skip > 0) {
      --f.Skip;
      continue;
    }
    if (f.Times > 0) --f.Times;
    ++FInjected;
    kind = f.Kind;
    return true;
  }
  return false;
}

void TFaultPlan::Raise(TFaultKind kind, TFaultPoint point) {
  const std::string where = std::string(" (eingespeister Fehler bei ") + PointName(point) + ")";
  switch (kind) {
    case TFaultKind::Busy:
      throw EProviderError("database is locked" + where, kBusyCode);
    case TFaultKind::Full:
      throw EProviderError("database or disk is full" + where, kFullCode);
    case TFaultKind::IoError:
      throw EProviderError("disk I/O error" + where, kIoErrorCode);
    case TFaultKind::LostConnection:
      RaiseLost();
    case TFaultKind::Constraint:
      throw EProviderError("constraint failed" + where, kConstraintCode);
    case TFaultKind::Kill:
    case TFaultKind::Terminate:
      break;
  }
  throw EProviderError("fault" + where, 0);
}

bool TFaultPlan::SendSignal(TFaultKind kind) {
  if (kind == TFaultKind::Kill) raise(SIGKILL);
  if (kind != TFaultKind::Terminate) return false;
  raise(SIGTERM);
  return true;
}

TFaultPlan& FaultPlan() {
  static TFaultPlan plan;
  return plan;
}

void RegisterFaultProvider() {
  RegisterProvider("Fault", [] { return std::make_unique<TFaultProvider>(); });
}

}  // namespace dk::test
