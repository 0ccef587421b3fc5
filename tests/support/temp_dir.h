// Test helpers shared by every test program.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace dk::test {

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it.
class TTempDir {
 public:
  TTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dktest-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    FPath = tmpl;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << bytes;
}

// The shared folder beside the checkout (samples, fixtures of the team).
inline std::string SharedDir() {
  return std::string(DK_SOURCE_DIR) + "/../shared";
}

// The folder of the shared Paradox samples, or, when a checkout has none
// beside it (a clone of its own), the reason to skip a test that needs it.
inline std::string SharedSamplesDir() {
  return SharedDir() + "/paradox-samples";
}
inline std::string MissingSharedSamples() {
  std::error_code ec;
  if (std::filesystem::is_directory(SharedSamplesDir(), ec)) return std::string();
  return "the shared samples are missing: no folder " + SharedSamplesDir();
}

}  // namespace dk::test

// Skips the current test when the shared samples are not there; every other
// test runs as usual.
#define DK_SKIP_WITHOUT_SHARED_SAMPLES()                                                      \
  do {                                                                                        \
    if (const std::string dkMissing = ::dk::test::MissingSharedSamples(); !dkMissing.empty()) \
      GTEST_SKIP() << dkMissing;                                                              \
  } while (false)

namespace dk::test {}  // namespace dk::test
