#include "fuzz_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace dk::fuzz {

namespace {

struct TScratch {
  std::string Dir;
  TScratch() {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : nullptr;
    if (!base) base = std::getenv("TMPDIR");
    if (!base || !*base) base = "/tmp";
    std::string tmpl = std::string(base) + "/dkl-fuzz-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("no scratch folder below " + tmpl);
    Dir = tmpl + "/";
  }
  ~TScratch() {
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }
};

}  // namespace

const std::string& ScratchDir() {
  static const TScratch scratch;
  return scratch.Dir;
}

std::string WriteScratch(const std::string& name, std::string_view bytes) {
  const std::string path = ScratchDir() + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return path;
}

void RemoveScratch(const std::string& name) {
  ::unlink((ScratchDir() + name).c_str());
}

}  // namespace dk::fuzz
