// Faults of the file system under a running program, loaded with LD_PRELOAD
// by the fault tests of the conversion; with the variables unset it changes
// nothing.
//
// A folder turning read-only, as a file system that the kernel remounts
// read-only after an error does: once the file named by DK_READONLY_TRIGGER
// exists, every write, truncation, creation, renaming or removal below
// DK_READONLY_DIR fails with EROFS, also through descriptors opened before.
// Reading goes on.
//
// Files vanishing or cut short at a chosen step, as on a share that goes away
// or under a restore: the first time the program opens the file
// DK_VANISH_ON_OPEN (an absolute path), the files listed in DK_VANISH_FILES
// (separated by ':') are removed and those in DK_CUT_FILES are cut to a
// quarter of their size, before the open goes on.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::atomic<bool> Triggered{false};

bool IsTriggered() {
  if (Triggered.load(std::memory_order_relaxed)) return true;
  const char* trigger = std::getenv("DK_READONLY_TRIGGER");
  if (!trigger || !*trigger) return false;
  struct stat st {};
  if (::stat(trigger, &st) != 0) return false;
  Triggered.store(true, std::memory_order_relaxed);
  return true;
}

bool Below(const std::string& path) {
  const char* dir = std::getenv("DK_READONLY_DIR");
  if (!dir || !*dir) return false;
  const size_t n = std::strlen(dir);
  return path.compare(0, n, dir) == 0 && (path.size() == n || path[n] == '/' || dir[n - 1] == '/');
}

std::string FdPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string Absolute(int dirFd, const char* path) {
  if (!path) return {};
  if (path[0] == '/') return path;
  std::string base;
  if (dirFd == AT_FDCWD) {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return path;
    base = cwd;
  } else {
    base = FdPath(dirFd);
  }
  return base + "/" + path;
}

bool RefuseFd(int fd) {
  if (!IsTriggered() || !Below(FdPath(fd))) return false;
  errno = EROFS;
  return true;
}

bool RefusePath(int dirFd, const char* path) {
  if (!IsTriggered() || !Below(Absolute(dirFd, path))) return false;
  errno = EROFS;
  return true;
}

bool Writes(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

template <typename T>
T Next(const char* name);

// Calls `fn` for each path of the ':'-separated list in variable `name`.
template <typename F>
void ForEachListed(const char* name, F fn) {
  const char* value = std::getenv(name);
  const std::string list = value ? value : "";
  for (size_t start = 0; start < list.size();) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    const std::string file = list.substr(start, end - start);
    if (!file.empty()) fn(file);
    start = end + 1;
  }
}

// Removes or cuts the listed files the first time the marker file is opened.
void WatchOpen(int dirFd, const char* path) {
  static std::mutex lock;
  static bool done = false;
  const char* marker = std::getenv("DK_VANISH_ON_OPEN");
  if (!marker || !*marker || !path) return;
  // The marker is compared with the file's real path: the program may reach
  // it through a link or a path with "." or "..".
  const std::string opened = Absolute(dirFd, path);
  char real[PATH_MAX];
  if (opened != marker && !(::realpath(opened.c_str(), real) && marker == std::string(real)))
    return;
  const std::lock_guard<std::mutex> guard(lock);
  if (done) return;
  done = true;
  static auto removeFile = Next<int (*)(const char*)>("unlink");
  static auto cutFile = Next<int (*)(const char*, off_t)>("truncate");
  ForEachListed("DK_VANISH_FILES", [](const std::string& file) { removeFile(file.c_str()); });
  ForEachListed("DK_CUT_FILES", [](const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) cutFile(file.c_str(), st.st_size / 4);
  });
}

template <typename T>
T Next(const char* name) {
  return reinterpret_cast<T>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

// The mode argument follows only when the flags create a file.
#define DK_MODE_ARG(flags)                         \
  mode_t mode = 0;                                 \
  if ((flags) & (O_CREAT | O_TMPFILE)) {           \
    va_list args;                                  \
    va_start(args, flags);                         \
    mode = static_cast<mode_t>(va_arg(args, int)); \
    va_end(args);                                  \
  }

int open(const char* path, int flags, ...) {
  DK_MODE_ARG(flags)
  WatchOpen(AT_FDCWD, path);
  if (Writes(flags) && RefusePath(AT_FDCWD, path)) return -1;
  static auto next = Next<int (*)(const char*, int, ...)>("open");
  return next(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  DK_MODE_ARG(flags)
  WatchOpen(AT_FDCWD, path);
  if (Writes(flags) && RefusePath(AT_FDCWD, path)) return -1;
  static auto next = Next<int (*)(const char*, int, ...)>("open64");
  return next(path, flags, mode);
}

int openat(int dirFd, const char* path, int flags, ...) {
  DK_MODE_ARG(flags)
  WatchOpen(dirFd, path);
  if (Writes(flags) && RefusePath(dirFd, path)) return -1;
  static auto next = Next<int (*)(int, const char*, int, ...)>("openat");
  return next(dirFd, path, flags, mode);
}

int openat64(int dirFd, const char* path, int flags, ...) {
  DK_MODE_ARG(flags)
  WatchOpen(dirFd, path);
  if (Writes(flags) && RefusePath(dirFd, path)) return -1;
  static auto next = Next<int (*)(int, const char*, int, ...)>("openat64");
  return next(dirFd, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
  WatchOpen(AT_FDCWD, path);
  if (std::strpbrk(mode, "wa+") && RefusePath(AT_FDCWD, path)) return nullptr;
  static auto next = Next<FILE* (*)(const char*, const char*)>("fopen");
  return next(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  WatchOpen(AT_FDCWD, path);
  if (std::strpbrk(mode, "wa+") && RefusePath(AT_FDCWD, path)) return nullptr;
  static auto next = Next<FILE* (*)(const char*, const char*)>("fopen64");
  return next(path, mode);
}

// mkstemp opens inside the C library, past the hooks above.
int mkstemp(char* pattern) {
  if (RefusePath(AT_FDCWD, pattern)) return -1;
  static auto next = Next<int (*)(char*)>("mkstemp");
  return next(pattern);
}

int mkostemp(char* pattern, int flags) {
  if (RefusePath(AT_FDCWD, pattern)) return -1;
  static auto next = Next<int (*)(char*, int)>("mkostemp");
  return next(pattern, flags);
}

ssize_t write(int fd, const void* data, size_t size) {
  if (RefuseFd(fd)) return -1;
  static auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  return next(fd, data, size);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  if (RefuseFd(fd)) return -1;
  static auto next = Next<ssize_t (*)(int, const struct iovec*, int)>("writev");
  return next(fd, parts, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  if (RefuseFd(fd)) return -1;
  static auto next = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return next(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  if (RefuseFd(fd)) return -1;
  static auto next = Next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  return next(fd, data, size, offset);
}

int ftruncate(int fd, off_t length) {
  if (RefuseFd(fd)) return -1;
  static auto next = Next<int (*)(int, off_t)>("ftruncate");
  return next(fd, length);
}

int ftruncate64(int fd, off64_t length) {
  if (RefuseFd(fd)) return -1;
  static auto next = Next<int (*)(int, off64_t)>("ftruncate64");
  return next(fd, length);
}

int fchmod(int fd, mode_t mode) {
  if (RefuseFd(fd)) return -1;
  static auto next = Next<int (*)(int, mode_t)>("fchmod");
  return next(fd, mode);
}

int unlink(const char* path) {
  if (RefusePath(AT_FDCWD, path)) return -1;
  static auto next = Next<int (*)(const char*)>("unlink");
  return next(path);
}

int unlinkat(int dirFd, const char* path, int flags) {
  if (RefusePath(dirFd, path)) return -1;
  static auto next = Next<int (*)(int, const char*, int)>("unlinkat");
  return next(dirFd, path, flags);
}

int rename(const char* from, const char* to) {
  if (RefusePath(AT_FDCWD, from) || RefusePath(AT_FDCWD, to)) return -1;
  static auto next = Next<int (*)(const char*, const char*)>("rename");
  return next(from, to);
}

int mkdir(const char* path, mode_t mode) {
  if (RefusePath(AT_FDCWD, path)) return -1;
  static auto next = Next<int (*)(const char*, mode_t)>("mkdir");
  return next(path, mode);
}

}  // extern "C"
