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

// A silent cancel, never shown to the user.
class EAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

// Raises EAbort.
[[noreturn]] void Abort();

}  // namespace dk
