// What arcport5 --atomic costs against the default run, measured in one run:
// the large generated archive converted alternately both ways, into an
// SQLite file and into an archive on a PostgreSQL server of its own.
//
//   atomic_bench [--documents N] [--ftiwid N] [--ftiword N] [--rounds N]
//                [--no-server]
//
// For each way and engine it reports the best time of --rounds rounds
// (default 2) and the peak disk use during the run: for a file the bytes
// the target's folder (database and journal) holds above the empty archive,
// for a server the bytes its data folder (tables and write-ahead log) holds
// above what it held before the run; sampled every 20 ms by a thread.
#include <libpq-fe.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench_conversion.h"
#include "db/util/archive_schema.h"

using namespace dk::bench;

namespace {

std::string gServerDir;

void StopServer() {
  if (gServerDir.empty()) return;
  const std::string cmd =
      "bash " DK_SOURCE_DIR "/scripts/pg_server.sh stop " + gServerDir + " >/dev/null";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "stopping the server failed\n");
}

// The bytes the files below `dir` take on disk.
long long DiskBytes(const std::string& dir) {
  long long bytes = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec),
       end;
       it != end; it.increment(ec)) {
    if (ec) break;
    struct stat st {};
    if (lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
      bytes += static_cast<long long>(st.st_blocks) * 512;
  }
  return bytes;
}

// Samples DiskBytes(dir) while it lives; Peak() above the first sample.
class TDiskPeak {
 public:
  explicit TDiskPeak(std::string dir) : FDir(std::move(dir)), FBase(DiskBytes(FDir)) {
    FPeak = FBase;
    FThread = std::thread([this] {
      while (!FStop) {
        FPeak = std::max(FPeak.load(), DiskBytes(FDir));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~TDiskPeak() { Stop(); }
  long long Stop() {
    if (FThread.joinable()) {
      FStop = true;
      FThread.join();
      FPeak = std::max(FPeak.load(), DiskBytes(FDir));
    }
    return FPeak - FBase;
  }

 private:
  std::string FDir;
  long long FBase;
  std::atomic<long long> FPeak{0};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

struct TBest {
  double Seconds = 0;
  long long Peak = 0;
  void Take(double s, long long peak) {
    if (Seconds == 0 || s < Seconds) Seconds = s;
    Peak = std::max(Peak, peak);
  }
};

void Report(const char* engine, const TBest& plain, const TBest& atomic) {
  std::printf("%s:\n", engine);
  std::printf("  default   %8.2f s   peak disk %8.1f MiB\n", plain.Seconds, plain.Peak / 1048576.0);
  std::printf("  --atomic  %8.2f s   peak disk %8.1f MiB\n", atomic.Seconds,
              atomic.Peak / 1048576.0);
  std::printf("  ratio --atomic/default: time %.3f, peak disk %.3f\n",
              atomic.Seconds / plain.Seconds,
              plain.Peak > 0 ? static_cast<double>(atomic.Peak) / plain.Peak : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  TArchiveSize size;
  int rounds = 2;
  bool server = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-server") {
      server = false;
      continue;
    }
    if (i + 1 >= argc) break;
    const long long v = std::atoll(argv[++i]);
    if (!size.Take(a, v) && a == "--rounds") rounds = std::max(1, static_cast<int>(v));
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/dk-pipeline-bench";
  const std::string source = LegacyArchive(base, size);
  const std::string work = base + "/atomic-run";

  TBest filePlain, fileAtomic;
  for (int r = 0; r < rounds; ++r) {
    for (const bool atomic : {false, true}) {
      PrepareRunFolder(work);
      fs::create_directories(work + "/target");
      const std::string target = work + "/target/archiv6.db";
      dk::CreateEmptyArchive(target);
      TDiskPeak peak(work + "/target");
      const TRun run = Convert(source, target, false, atomic);
      const long long bytes = peak.Stop();
      std::fprintf(stderr, "file, round %d, %s: %.2f s, peak %.1f MiB\n", r + 1,
                   atomic ? "--atomic" : "default", run.Total, bytes / 1048576.0);
      (atomic ? fileAtomic : filePlain).Take(run.Total, bytes);
    }
  }
  Report("SQLite file", filePlain, fileAtomic);
  std::fflush(stdout);
  if (!server) return 0;

  gServerDir = base + "/pg-atomic";
  std::atexit(StopServer);
  if (std::system(
          ("bash " DK_SOURCE_DIR "/scripts/pg_server.sh start " + gServerDir + " >&2").c_str()) !=
      0)
    return 1;
  std::string port;
  {
    std::FILE* f = std::fopen((gServerDir + "/port").c_str(), "r");
    char buf[16] = {};
    if (!f || !std::fgets(buf, sizeof buf, f)) return 1;
    std::fclose(f);
    port = std::string(buf, std::strcspn(buf, "\n"));
  }
  TBest serverPlain, serverAtomic;
  for (int r = 0; r < rounds; ++r) {
    for (const bool atomic : {false, true}) {
      PrepareRunFolder(work);
      const std::string settings = work + "/archiv6.dkcs";
      {
        std::FILE* f = std::fopen(settings.c_str(), "w");
        std::fprintf(f,
                     "[AdoConnection]\nConnectionString=Provider=PostgreSQL;Data "
                     "Source=127.0.0.1:%s;Initial Catalog=converted;User ID=postgres\n",
                     port.c_str());
        std::fclose(f);
      }
      {
        const std::string info = "host=127.0.0.1 port=" + port + " user=postgres dbname=postgres";
        PGconn* admin = PQconnectdb(info.c_str());
        PQclear(PQexec(admin, "DROP DATABASE IF EXISTS converted WITH (FORCE)"));
        PQclear(PQexec(admin, "CHECKPOINT"));
        PQfinish(admin);
      }
      dk::CreateEmptyServerArchive(settings);
      TDiskPeak peak(gServerDir);
      const TRun run = Convert(source, settings, false, atomic);
      const long long bytes = peak.Stop();
      std::fprintf(stderr, "server, round %d, %s: %.2f s, peak %.1f MiB\n", r + 1,
                   atomic ? "--atomic" : "default", run.Total, bytes / 1048576.0);
      (atomic ? serverAtomic : serverPlain).Take(run.Total, bytes);
    }
  }
  Report("PostgreSQL server", serverPlain, serverAtomic);
  return 0;
}
