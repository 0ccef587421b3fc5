// The one failure type of the Paradox engine.
#pragma once

#include <stdexcept>
#include <string>

namespace dk {

// Raised for every fault of the engine: a missing or unreadable file, a file
// that is not a Paradox table, an encrypted table, a damaged header, block or
// blob, an unsupported statement. The message names the file (or the table and
// directory) and the fault, in German like every message of the system, so a
// caller can show or log it as it stands.
class EParadoxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dk
