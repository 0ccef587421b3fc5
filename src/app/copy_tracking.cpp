#include "app/copy_tracking.h"

namespace dk {

TCopyTransactions::TCopyTransactions(TConnection& connection, const TCopyProgress& progress,
                                     const std::string& table, const std::string& countedAs)
    : FConnection(connection), FProgress(progress) {
  if (FProgress.Begin) FProgress.Begin(table, countedAs);
  FScope = std::make_unique<TBulkScope>(FConnection, kPolicy);
}

TCopyTransactions::~TCopyTransactions() {
  FScope.reset();
  if (FDeferring) FConnection.SetDeferredFailureHandler(nullptr);
}

void TCopyTransactions::DeferFailures(TDeferredFailureHandler handler) {
  FDeferring = handler != nullptr;
  FConnection.SetDeferredFailureHandler(std::move(handler));
}

void TCopyTransactions::RowDone(bool letMessagesThrough) {
  if (FProgress.Step && FProgress.Step(letMessagesThrough)) {
    FScope->Finish();
    if (FProgress.Stop) FProgress.Stop();
    // The run goes on: the rows after the stop are grouped as before.
    FScope.reset();
    FScope = std::make_unique<TBulkScope>(FConnection, kPolicy);
  }
}

void TCopyFailures::Value(const std::string& column, const std::exception& cause) {
  if (Count("Feld \"" + column + "\"") == 1)
    Log("Feld \"" + column + "\" nicht übernommen: " + cause.what());
}

void TCopyFailures::LogCounts() {
  for (const TKind& kind : FKinds) {
    if (kind.Count < 2) continue;
    if (kind.Name.rfind("Feld ", 0) == 0)
      Log(kind.Name + " in insgesamt " + std::to_string(kind.Count) +
          " Datensätzen nicht übernommen");
    else
      Log("insgesamt " + std::to_string(kind.Count) + " " + kind.Name + " nicht kopiert");
  }
}

void TCopyFailures::Other(const char* kind, const std::exception& cause) {
  if (Count(kind) == 1) Log(std::string("Ursache: ") + cause.what());
}

int TCopyFailures::Count(const std::string& kind) {
  for (TKind& k : FKinds)
    if (k.Name == kind) return ++k.Count;
  FKinds.push_back({kind, 1});
  return 1;
}

}  // namespace dk
