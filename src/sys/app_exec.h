// The launcher of external programs: starts a program from a program name and
// a list of parameters, optionally in the program's folder, and can wait for
// its end. The PDF converter of the full-text index is started through it.
//
// The command line is split as the product's Windows heritage splits it:
// blanks separate words, double quotes group, and a doubled quote inside
// quotes stands for one quote. The first word names the program; a name
// without "/" is looked up on PATH. A failed start maps errno to the codes of
// the error table: ENOENT 2, ENOTDIR 3, EACCES and EPERM 5, ENOMEM 8,
// ENOEXEC 11; other errno values are passed on unchanged.
//
// The folder is entered by the started program only: changing the current
// directory of the whole process would move it under every other thread (the
// index worker) as well. A waited start may carry a time limit; a program that
// exceeds it is ended together with the programs it started.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "sys/string_list.h"

namespace dk {

class EAppExec : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The program's folder cannot be entered; no program was started.
class EAppExecChDir : public EAppExec {
 public:
  using EAppExec::EAppExec;
};
// The program could not be started; ErrNo holds the code.
class EAppExecWinExec : public EAppExec {
 public:
  using EAppExec::EAppExec;
};

enum class TWindowState { wsNormal, wsMinimized, wsMaximized };

class TAppExec {
 public:
  TAppExec() = default;
  TAppExec(const TAppExec&) = delete;
  TAppExec& operator=(const TAppExec&) = delete;

  // Enter ExePath before starting (when it is not empty).
  bool ChangeDir = true;
  // The program file; it opens the command line as it stands.
  std::string ExeName;
  // Wait until the started program has ended.
  bool Wait = false;
  // With Wait: milliseconds after which a program still running is ended
  // (SIGKILL to its process group); 0 waits without limit.
  int TimeLimitMs = 0;
  // Send the program's standard output and error to /dev/null (converters
  // that report every file would otherwise write into the caller's output).
  bool DiscardOutput = false;

  // -1 before any start; the error code after a failed start; 0 after a
  // start that was waited for.
  int ErrNo() const { return FErrNo; }

  // The parameters, appended to the command line each after one blank,
  // without quoting: parameters that need quotes carry them.
  TStringList& ExeParams() { return FExeParams; }
  const TStringList& ExeParams() const { return FExeParams; }
  void SetExeParams(const TStringList& params) { FExeParams = params; }

  const std::string& ExePath() const { return FExePath; }
  // Stores the folder without a trailing separator ("\" or "/"), except for a
  // lone separator and a drive root such as "C:\".
  void SetExePath(const std::string& path);

  // Recorded only: a started program here has no window to show.
  TWindowState WindowState() const { return FWindowState; }
  void SetWindowState(TWindowState state);
  // 1 normal, 2 minimized, 3 maximized, in step with WindowState.
  int ShowCommand() const { return FShowCommand; }

  // ExeName followed by each parameter.
  std::string CommandLine() const;
  // Starts the program. Throws EAppExecChDir when the folder cannot be
  // entered, EAppExecWinExec when the program cannot be started. The exit
  // code of a started program is not examined.
  void Execute();
  // Sets `text` to the message for ErrNo; codes without a message leave it
  // unchanged.
  void GetErrorText(std::string& text) const;

  // The process of the last start; 0 before any.
  pid_t ProcessId() const { return FProcessId; }
  // True when the last waited start was ended by the time limit.
  bool TimedOut() const { return FTimedOut; }

 private:
  int FErrNo = -1;
  TStringList FExeParams;
  std::string FExePath;
  TWindowState FWindowState = TWindowState::wsNormal;
  int FShowCommand = 1;
  pid_t FProcessId = 0;
  bool FTimedOut = false;
};

// Splits a command line into words: blanks and tabs separate words outside
// quotes, double quotes group, "" inside quotes is one quote character.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace dk
