// A provider that hands every call to another engine and fails chosen calls
// on demand, the way a busy, full, failing or vanished database would, so the
// layer's failure paths can be driven on purpose with real SQLite underneath.
//
//   RegisterFaultProvider();
//   conn.SetConnectionString("Provider=Fault;Inner Provider=SQLite;Data Source=" + file);
//   FaultPlan().Add({TFaultPoint::Commit, TFaultKind::Busy});
//
// The plan is one per process and shared by every fault provider; Clear() it
// between cases. What a failure does to the open transaction follows the
// engines: Busy leaves it open (the statement or commit may be tried again);
// Full and IoError roll it back, as SQLite does after a full disk or an I/O
// error; LostConnection closes the inner engine, and every later call fails.
// With ServerLike set, the provider behaves as a server engine does: a failed
// statement spoils the whole open transaction, and only a rollback (to a
// savepoint) makes it usable again.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace dk::test {

// AfterCommit fires once the engine has committed, before the caller learns
// of it.
enum class TFaultPoint { Open, Begin, Step, Commit, AfterCommit };
// Kill and Terminate fail nothing: the process sends itself SIGKILL or
// SIGTERM at that call (a run killed or asked to stop at an exact point),
// and the call goes on as it would.
enum class TFaultKind { Busy, Full, IoError, LostConnection, Constraint, Kill, Terminate };

struct TFault {
  TFaultPoint Point = TFaultPoint::Step;
  TFaultKind Kind = TFaultKind::IoError;
  // Step only: a statement whose text contains this, ignoring case (empty:
  // any statement).
  std::string SqlContains;
  // Matching calls that pass before the first failure.
  int Skip = 0;
  // Failures in a row once it fires; -1 for every further matching call.
  int Times = 1;
};

class TFaultPlan {
 public:
  void Add(TFault fault);
  // Removes every fault, ends the server-like mode, zeroes the count.
  void Clear();
  // Failures raised so far.
  int Injected() const;
  void SetServerLike(bool on);
  bool ServerLike() const;

  // For the provider: raises when a fault of `point` fires for `sql`.
  // Returns the kind that fired through the exception; the caller first
  // applies the engine's reaction (rollback, close) via `react`.
  template <typename React>
  void Check(TFaultPoint point, const std::string& sql, React react);

 private:
  bool Fire(TFaultPoint point, const std::string& sql, TFaultKind& kind);
  [[noreturn]] static void Raise(TFaultKind kind, TFaultPoint point);
  // Sends the signal of Kill or Terminate; false for the other kinds.
  static bool SendSignal(TFaultKind kind);

  mutable std::mutex FLock;
  std::vector<TFault> FFaults;
  int FInjected = 0;
  bool FServerLike = false;
};

TFaultPlan& FaultPlan();

// Registers the provider as "Fault"; the connection string's "Inner
// Provider" names the engine underneath, every other key goes to it as is.
void RegisterFaultProvider();

template <typename React>
void TFaultPlan::Check(TFaultPoint point, const std::string& sql, React react) {
  TFaultKind kind;
  if (!Fire(point, sql, kind) || SendSignal(kind)) return;
  react(kind);
  Raise(kind, point);
}

}  // namespace dk::test
