// SIGINT and SIGTERM during a conversion.
//
// The first of them only asks the run to stop: the copies look at the request
// after every row, commit what they wrote and end the run through its failure
// path (banner, log), so nothing already written is lost and the target stays
// consistent. A second one ends the process at once, as the signal would
// without a handler; SQLite's journal then takes the open transaction back.
#pragma once

#include <stdexcept>
#include <string>

namespace dk {

// Installs the handlers for SIGINT and SIGTERM. The program also ignores
// SIGPIPE and SIGXFSZ, so that a closed output or a file-size limit becomes
// a write error that the run reports (and survives to write its log)
// instead of ending it.
void InstallStopSignals();

// The signal that asked the run to stop, or 0.
int StopSignal();
// Forgets a stop request (for a second run in the same process).
void ClearStopSignal();

// Ends a run that was asked to stop. The message is the log line.
class EInterrupted : public std::runtime_error {
 public:
  EInterrupted(int signal, const std::string& message)
      : std::runtime_error(message), FSignal(signal) {}
  int Signal() const { return FSignal; }

 private:
  int FSignal;
};

// "SIGINT" or "SIGTERM" (or "Signal N").
std::string SignalName(int signal);

}  // namespace dk
