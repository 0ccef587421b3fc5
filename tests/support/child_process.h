// Runs one of the project's programs as a child process, the way a user or a
// script does: its own working directory and environment additions, standard
// input from /dev/null, standard output and error read through pipes (a
// file-size limit given to the child does not cut what the test reads).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace dk::test {

struct TChildOptions {
  std::string WorkingDir;                  // empty: the test's own
  std::map<std::string, std::string> Env;  // set in the child
  long FileSizeLimit = -1;                 // RLIMIT_FSIZE in bytes; -1: none
};

class TChildProcess {
 public:
  // Starts `argv` (argv[0] is the program's path).
  explicit TChildProcess(const std::vector<std::string>& argv, const TChildOptions& options = {}) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
    FPid = fork();
    if (FPid < 0) throw std::runtime_error("fork failed");
    if (FPid == 0) {
      if (!options.WorkingDir.empty() && chdir(options.WorkingDir.c_str()) != 0) _exit(126);
      for (const auto& [name, value] : options.Env) setenv(name.c_str(), value.c_str(), 1);
      if (options.FileSizeLimit >= 0) {
        const rlimit limit{static_cast<rlim_t>(options.FileSizeLimit),
                           static_cast<rlim_t>(options.FileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      const int in = open("/dev/null", O_RDONLY);
      if (in < 0) _exit(126);
      dup2(in, 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      // Only 1 and 2 lead to the pipes: a daemon the child starts (a database
      // server) must not keep them open, or the test waits for their end.
      if (out[1] > 2) close(out[1]);
      if (err[1] > 2) close(err[1]);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    FOutFd = out[0];
    FErrFd = err[0];
    fcntl(FOutFd, F_SETFL, O_NONBLOCK);
    fcntl(FErrFd, F_SETFL, O_NONBLOCK);
  }
  ~TChildProcess() {
    if (FPid > 0 && !FDone) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    close(FOutFd);
    close(FErrFd);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  void Signal(int sig) { kill(FPid, sig); }

  // Waits until standard error contains `text`; false when the child ended
  // or `limit` passed first.
  bool WaitForErr(const std::string& text, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (FErr.find(text) == std::string::npos) {
      Pump();
      if (FDone || std::chrono::steady_clock::now() > end) return false;
      if (waitpid(FPid, &FRaw, WNOHANG) == FPid) Finish();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Waits for the end; the exit status, or 128 + the signal that ended it.
  // A child still running after `limit` is killed.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(300)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!FDone) {
      Pump();
      if (waitpid(FPid, &FRaw, WNOHANG) == FPid) {
        Finish();
        break;
      }
      if (std::chrono::steady_clock::now() > end) {
        kill(FPid, SIGKILL);
        waitpid(FPid, &FRaw, 0);
        Finish();
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(FRaw) ? WEXITSTATUS(FRaw) : 128 + WTERMSIG(FRaw);
  }
  // True when a signal ended the child (rather than exit()).
  bool Signaled() const { return FDone && WIFSIGNALED(FRaw); }

  const std::string& Out() const { return FOut; }
  const std::string& Err() const { return FErr; }

 private:
  void Pump() {
    char buf[65536];
    for (auto [fd, target] : {std::pair{FOutFd, &FOut}, std::pair{FErrFd, &FErr}}) {
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) target->append(buf, static_cast<size_t>(n));
    }
  }
  void Finish() {
    FDone = true;
    // The child is gone: what is left in the pipes ends with end of file.
    fcntl(FOutFd, F_SETFL, 0);
    fcntl(FErrFd, F_SETFL, 0);
    Pump();
  }

  pid_t FPid = -1;
  int FOutFd = -1, FErrFd = -1;
  int FRaw = 0;
  bool FDone = false;
  std::string FOut, FErr;
};

struct TProgramRun {
  int Status;
  std::string Out, Err;
};

// Runs `argv` to its end.
inline TProgramRun RunProgram(const std::vector<std::string>& argv,
                              const TChildOptions& options = {}) {
  TChildProcess child(argv, options);
  const int status = child.Wait();
  return {status, child.Out(), child.Err()};
}

}  // namespace dk::test
