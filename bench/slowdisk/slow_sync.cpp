// A slow disk for benchmarks, by LD_PRELOAD:
//
//   DK_SYNC_DELAY_MS=20 DK_SYNC_REPORT=1 LD_PRELOAD=.../libdk_slow_sync.so prog
//
// Every fsync and fdatasync of the process sleeps DK_SYNC_DELAY_MS
// milliseconds (0 or unset: none) after the real call, as a disk or a network
// file system that takes that long to confirm a flush. The variable is read
// at every call, so a program may change it between the parts it measures.
// The syncs are counted; with DK_SYNC_REPORT=1 the count goes to stderr at
// exit (when there was any), and a program that finds dk_sync_count (dlsym)
// reads it as it runs.
#include <dlfcn.h>
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<long> gSyncs{0};

using TSyncFn = int (*)(int);

TSyncFn Next(const char* name) {
  return reinterpret_cast<TSyncFn>(dlsym(RTLD_NEXT, name));
}

void Delay() {
  const char* text = std::getenv("DK_SYNC_DELAY_MS");
  const long ms = text ? std::atol(text) : 0;
  if (ms <= 0) return;
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

int Sync(TSyncFn real, int fd) {
  const int rc = real ? real(fd) : -1;
  const int error = errno;
  gSyncs.fetch_add(1, std::memory_order_relaxed);
  Delay();
  errno = error;  // the caller reads the real call's errno
  return rc;
}

struct TReport {
  ~TReport() {
    // A process that never flushed says nothing: the helpers a program starts
    // inherit the preload and would fill the output with zeros.
    const char* text = std::getenv("DK_SYNC_REPORT");
    if (text && *text && *text != '0' && gSyncs.load(std::memory_order_relaxed) > 0)
      std::fprintf(stderr, "syncs: %ld\n", gSyncs.load(std::memory_order_relaxed));
  }
} gReport;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int fsync(int fd) {
  static const TSyncFn real = Next("fsync");
  return Sync(real, fd);
}

__attribute__((visibility("default"))) int fdatasync(int fd) {
  static const TSyncFn real = Next("fdatasync");
  return Sync(real, fd);
}

// The syncs seen so far.
__attribute__((visibility("default"))) long dk_sync_count() {
  return gSyncs.load(std::memory_order_relaxed);
}
}
