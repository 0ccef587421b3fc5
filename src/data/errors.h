// Failures of the data access layer.
//
// EDatabaseError is every failure a database operation reports: a closed
// dataset, a missing field, a value that does not fit its column, a row that
// cannot be located. EProviderError is a failure the engine reported; it also
// enters the connection's error list with its native number. EAbort is the
// silent cancel: callers stop what they do and show nothing.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace dk {

// The native error number of a unique or primary-key violation, whatever the
// engine: the number the system tests for in the connection's error list.
constexpr int kDuplicateKeyError = -105121349;

class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One entry of a connection's error list.
struct TProviderErrorInfo {
  std::string Description;
  int NativeError = 0;
  std::string SqlState;
  std::string Source;  // the provider's name
};

class EProviderError : public EDatabaseError {
 public:
  EProviderError(const std::string& message, int nativeError, std::string sqlState = {})
      : EDatabaseError(message), FNativeError(nativeError), FSqlState(std::move(sqlState)) {}
  int NativeError() const { return FNativeError; }
  const std::string& SqlState() const { return FSqlState; }

 private:
  int FNativeError;
  std::string FSqlState;
};

// The engine dropped the open batch of a bulk scope (a full disk, an I/O
// error, a lost connection): rows already reported as written are gone. Not
// a failure of one row: whoever copies rows must stop and say so rather than
// go on as if only the current row had failed.
class EBatchLost : public EProviderError {
 public:
  EBatchLost(const std::string& message, int lostRows, int nativeError, std::string sqlState)
      : EProviderError(message, nativeError, std::move(sqlState)), FLostRows(lostRows) {}
  int LostRows() const { return FLostRows; }

 private:
  int FLostRows;
};

// A silent cancel, never shown to the user.
class EAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

// Raises EAbort.
[[noreturn]] void Abort();

// The engine reports the database (or a table) locked by another connection:
// a reason to wait and try again, or to name the other program, never a fault
// of the data.
bool IsLockConflict(const std::exception& e);

}  // namespace dk
