#include "paradox/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "paradox/paradox_error.h"

namespace dk {

int PxOpenReadOnly(const std::string& path, uint64_t& size) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) throw EParadoxError(path + ": Datei nicht gefunden");
    throw EParadoxError(path + ": Datei kann nicht geöffnet werden: " + std::strerror(err));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw EParadoxError(path + ": keine gewöhnliche Datei");
  }
  size = static_cast<uint64_t>(st.st_size);
  return fd;
}

void PxReadAt(int fd, const std::string& path, void* buffer, size_t size, uint64_t offset) {
  auto* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EParadoxError(path + ": Lesefehler an Byte " + std::to_string(offset + done) + ": " +
                          std::strerror(errno));
    }
    if (n == 0)
      throw EParadoxError(path + ": unerwartetes Dateiende an Byte " +
                          std::to_string(offset + done) + " (die Datei ist abgeschnitten)");
    done += static_cast<size_t>(n);
  }
}

}  // namespace dk
