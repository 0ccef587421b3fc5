#include "sys/app_exec.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "sys/api_tools.h"

extern char** environ;

namespace dk {

namespace {

// The codes of the error table for what posix_spawn reports.
int MapSpawnError(int error) {
  switch (error) {
    case ENOENT:
      return 2;
    case ENOTDIR:
      return 3;
    case EACCES:
    case EPERM:
      return 5;
    case ENOMEM:
      return 8;
    case ENOEXEC:
      return 11;
    default:
      return error;
  }
}

// The folder must be one the started program can enter; checked here so that
// a bad folder is reported as such and not as a missing program.
void CheckFolder(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw EAppExecChDir(path + ": " + GetSystemErrorText(errno));
  if (!S_ISDIR(st.st_mode)) throw EAppExecChDir(path + ": " + GetSystemErrorText(ENOTDIR));
  if (access(path.c_str(), X_OK) != 0) throw EAppExecChDir(path + ": " + GetSystemErrorText(errno));
}

// Waits for `pid`; with a limit, ends its process group when the limit passes.
// True when the limit ended it.
bool WaitForProcess(pid_t pid, int limitMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, limitMs > 0 ? WNOHANG : 0);
    if (r == pid) return false;
    if (r < 0 && errno != EINTR) return false;
    if (limitMs > 0 && r == 0) {
      if (Clock::now() >= deadline) {
        kill(-pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return true;
      }
      std::this_thread::sleep_for(pause);
      if (pause < std::chrono::milliseconds(50)) pause *= 2;
    }
  }
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < commandLine.size(); ++i) {
    const char c = commandLine[i];
    if (c == '"') {
      inWord = true;
      if (quoted && i + 1 < commandLine.size() && commandLine[i + 1] == '"') {
        word += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

void TAppExec::SetExePath(const std::string& path) {
  if (path == FExePath) return;
  FExePath = path;
  const size_t n = FExePath.size();
  if (n == 0) return;
  const char last = FExePath.back();
  if (last != '\\' && last != '/') return;
  if (n == 1) return;
  if (n == 3 && FExePath[1] == ':') return;
  FExePath.pop_back();
}

void TAppExec::SetWindowState(TWindowState state) {
  if (state == FWindowState) return;
  FWindowState = state;
  switch (state) {
    case TWindowState::wsNormal:
      FShowCommand = 1;
      break;
    case TWindowState::wsMinimized:
      FShowCommand = 2;
      break;
    case TWindowState::wsMaximized:
      FShowCommand = 3;
      break;
  }
}

std::string TAppExec::CommandLine() const {
  std::string line = ExeName;
  for (const auto& param : FExeParams.Items()) line += " " + param;
  return line;
}

void TAppExec::Execute() {
  // No fixed buffer: long paths of a converter's files must not cut the line.
  const std::string line = CommandLine();
  const bool enterFolder = ChangeDir && !FExePath.empty();
  if (enterFolder) CheckFolder(FExePath);

  std::vector<std::string> words = SplitCommandLine(line);
  FTimedOut = false;
  FProcessId = 0;
  int error = 0;
  pid_t pid = 0;
  if (words.empty() || words[0].empty()) {
    error = ENOENT;
  } else {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (enterFolder) posix_spawn_file_actions_addchdir_np(&actions, FExePath.c_str());
    if (DiscardOutput) {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that a time limit ends the programs it started
    // as well (office converters start a second process).
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    error = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
  if (error != 0) {
    FErrNo = MapSpawnError(error);
    std::string text;
    GetErrorText(text);
    // A code without an entry of the table must still say what failed.
    if (text.empty()) text = "Unbekannter Fehler beim Ausführen der Anwendung: " + ExeName;
    throw EAppExecWinExec(text);
  }
  FProcessId = pid;
  if (Wait) {
    FTimedOut = WaitForProcess(pid, TimeLimitMs);
    FErrNo = 0;
  }
}

void TAppExec::GetErrorText(std::string& text) const {
  switch (FErrNo) {
    case -1:
      text = "No execution";
      return;
    case 0:
      text = "Ungenügender Speicher, Anwendung defekt oder nicht vorhanden";
      return;
    case 2:
      text = "Anwendung nicht vorhanden: " + ExeName;
      return;
    case 3:
      text = "Verzeichnis der Anwendung nicht vorhanden: " + ExeName;
      return;
    case 5:
      text =
          "Es wurde versucht auf nicht verbundene Anwendung zuzugreifen oder Netzwerkrechte nicht "
          "ausreichend";
      return;
    case 6:
      text = "Library required separate data segments for each task";
      return;
    case 8:
      text = "Unzureichender Speicher für die Anwendung";
      return;
    case 10:
      text = "Falsche Windows-Version";
      return;
    case 11:
      text = "Anwendung defekt. Keine Windows-Anwendung oder Fehler in der EXE-Datei";
      return;
    case 12:
      text = "Anwendung ist keine Windows-Anwendung";
      return;
    case 13:
      text = "Anwendung ist eine MS-DOS 4.0-Anwendung";
      return;
    case 14:
      text = "Type of executable file was unknown";
      return;
    case 15:
      text =
          "Attempt was made to load a real-mode application (developed for an earlier version of "
          "Windows)";
      return;
    case 16:
      text =
          "Attempt to load second instance of an executable containing multiple data segments not "
          "marked read-only";
      return;
    case 19:
      text =
          "Attempt was made to load a compressed executable file. The file must be decompressed "
          "before it can be loaded";
      return;
    case 20:
      text =
          "Dynamic-link library (DLL) file was invalid. One of the DLLs required to run this "
          "application was corrupt";
      return;
    case 21:
      text = "Application requires 32-bit extensions";
      return;
    default:
      if (FErrNo >= 32) text = "Unbekannter Fehler beim Ausführen der Anwendung";
      return;
  }
}

}  // namespace dk
