#include "app/stop_signal.h"

#include <signal.h>

namespace dk {

namespace {

volatile sig_atomic_t gStopSignal = 0;

void OnStopSignal(int sig) {
  if (gStopSignal != 0) {
    // The second request: the user does not want to wait for the next row.
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  gStopSignal = sig;
}

}  // namespace

void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

int StopSignal() {
  return gStopSignal;
}

void ClearStopSignal() {
  gStopSignal = 0;
}

std::string SignalName(int signal) {
  if (signal == SIGINT) return "SIGINT";
  if (signal == SIGTERM) return "SIGTERM";
  return "Signal " + std::to_string(signal);
}

}  // namespace dk
