#include "app/copy_tracking.h"

namespace dk {

TCopyTransactions::TCopyTransactions(TConnection& connection, const TCopyProgress& progress,
                                     const std::string& table, const std::string& countedAs)
    : FConnection(connection), FProgress(progress) {
  if (FProgress.Begin) FProgress.Begin(table, countedAs);
  Begin();
}

void TCopyTransactions::RowDone(bool letMessagesThrough) {
  if (FProgress.Step && FProgress.Step(letMessagesThrough)) {
    FScope->Finish();
    if (FProgress.Stop) FProgress.Stop();
  }
  if (++FRows % kCheckEveryRows != 0) return;
  if (std::chrono::steady_clock::now() - FBegun < kBatchTime) return;
  try {
    FScope->Finish();
  } catch (const EDatabaseError&) {
    // As inside one scope: a commit the database refuses for now (another
    // program reads the file) leaves the batch open for the next one to
    // commit; a batch the engine has dropped is lost rows and ends the copy.
    if (!FConnection.Connected() || !FConnection.Engine().InTransaction()) throw;
  }
  Begin();
}

void TCopyTransactions::Begin() {
  FScope.reset();
  FScope = std::make_unique<TBulkScope>(FConnection, kMaxBatchRows);
  FBegun = std::chrono::steady_clock::now();
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
