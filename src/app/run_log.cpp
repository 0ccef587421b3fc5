#include "app/run_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace dk {

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

[[noreturn]] void Fail(const std::string& logPath, const std::string& what, int error) {
  throw std::runtime_error("Das Protokoll \"" + logPath + "\" kann nicht geschrieben werden (" +
                           what + ": " + std::strerror(error) + ").");
}

// The permissions a file created with open(..., 0666) would get.
mode_t PlainFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string KeptLogName(const std::string& logPath) {
  const std::string ext = ".log";
  const bool hasExt = logPath.size() > ext.size() &&
                      logPath.compare(logPath.size() - ext.size(), ext.size(), ext) == 0;
  const std::string stem = hasExt ? logPath.substr(0, logPath.size() - ext.size()) : logPath;
  for (int n = 1;; ++n) {
    const std::string name =
        hasExt ? stem + "." + std::to_string(n) + ext : logPath + "." + std::to_string(n);
    if (!Exists(name)) return name;
  }
}

void SaveRunLog(const std::string& text, const std::string& logPath) {
  const size_t slash = logPath.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : logPath.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? logPath : logPath.substr(slash + 1);
  std::string temp = (slash == std::string::npos ? std::string() : dir) + "~" + base + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) Fail(logPath, "Ordner \"" + dir + "\"", errno);

  // Past this point every failure removes the temporary file: what stays
  // behind is either the complete new log or nothing new at all.
  auto failWith = [&](const std::string& what, int error) {
    close(fd);
    unlink(temp.c_str());
    Fail(logPath, what, error);
  };
  size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failWith("Schreiben", n < 0 ? errno : ENOSPC);
    off += static_cast<size_t>(n);
  }
  if (fchmod(fd, PlainFileMode()) != 0) failWith("Rechte", errno);
  if (fsync(fd) != 0) failWith("Sichern", errno);
  if (close(fd) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    Fail(logPath, "Schließen", error);
  }
  struct stat st {};
  if (lstat(logPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    unlink(temp.c_str());
    // Only an earlier log is moved aside, never a folder or a link that
    // happens to carry the name.
    Fail(logPath, "der Name ist schon vergeben und keine Datei", EEXIST);
  }
  if (Exists(logPath)) {
    const std::string kept = KeptLogName(logPath);
    if (rename(logPath.c_str(), kept.c_str()) != 0) {
      const int error = errno;
      unlink(temp.c_str());
      Fail(logPath, "Umbenennen des früheren Protokolls in \"" + kept + "\"", error);
    }
  }
  if (rename(temp.c_str(), logPath.c_str()) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    Fail(logPath, "Umbenennen", error);
  }
  // The new name is durable only once the folder itself is synced.
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
}

}  // namespace dk
