// Appending rows through a dataset in a bulk scope against the same inserts
// made directly with one prepared SQLite statement in one transaction, and the
// peak memory of appending to tables of growing size.
//
//   data_bench [ROWS]        throughput, both ways, in this run (default 10^6);
//                            the dataset also with a single commit, which
//                            shows the layer's own cost without the durable
//                            commits of the bulk scope
//   data_bench --memory      peak memory (maxrss) of a child process per table
//                            size (10^5, 10^6, 10^7 rows) that appends all rows
//                            through a dataset, then opens the full table,
//                            reads and counts it and appends more
//
// The database files go to $TMPDIR (else /tmp) and are removed afterwards.

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "data/bulk_scope.h"
#include "data/connection.h"
#include "data/query.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string TempFile(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/" + name + "-" + std::to_string(getpid()) +
         ".db";
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(sqlite3_errmsg(db));
}

// Seconds of processor time the process has used, user and system.
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TTiming {
  double Wall = 1e9;
  double Cpu = 1e9;
};

// Runs `run` and keeps the best wall and processor time seen so far.
template <class F>
void Measure(TTiming& best, F run) {
  double cpu = CpuSeconds();
  auto start = Clock::now();
  run();
  best.Wall = std::min(best.Wall, std::chrono::duration<double>(Clock::now() - start).count());
  best.Cpu = std::min(best.Cpu, CpuSeconds() - cpu);
}

// The baseline: one prepared statement, one transaction.
double RawInserts(const std::string& file, long rows) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(file.c_str(), &db), db);
  Check(sqlite3_exec(db, "CREATE TABLE BENCH (A INTEGER, B INTEGER)", nullptr, nullptr, nullptr),
        db);
  auto start = Clock::now();
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO BENCH (A, B) VALUES (?1, ?2)", -1, &st, nullptr), db);
  for (long i = 0; i < rows; ++i) {
    sqlite3_bind_int64(st, 1, i);
    sqlite3_bind_int64(st, 2, 2 * i);
    Check(sqlite3_step(st), db);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_close(db);
  return seconds;
}

// Appends `rows` rows through a dataset open on the whole table.
void LayerAppend(dk::TConnection& conn, long first, long rows,
                 int commitEvery = dk::kDefaultBulkCommitRows) {
  dk::TQuery q;
  q.SetConnection(&conn);
  q.SetSQLText("SELECT * FROM BENCH");
  q.Open();
  dk::TBulkScope scope(conn, commitEvery);
  for (long i = first; i < first + rows; ++i) {
    q.Append();
    q.FieldByName("A").SetAsInteger(i);
    q.FieldByName("B").SetAsInteger(2 * i);
    q.Post();
  }
  scope.Finish();
}

double LayerInserts(const std::string& file, long rows, int commitEvery) {
  dk::TConnection conn;
  conn.SetConnectionString("Provider=SQLite;Data Source=" + file);
  conn.CreateDatabase();
  conn.Execute("CREATE TABLE BENCH (A INTEGER, B INTEGER)");
  auto start = Clock::now();
  LayerAppend(conn, 0, rows, commitEvery);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What one fsync of a small write costs on the disk of $TMPDIR: a durable
// commit of the bulk scope takes about four of them.
double FsyncMilliseconds() {
  std::string file = TempFile("dkbench-sync");
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return -1;
  char block[4096] = {};
  auto start = Clock::now();
  for (int i = 0; i < 50; ++i) {
    std::fwrite(block, 1, sizeof block, f);
    std::fflush(f);
    fdatasync(fileno(f));
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / 50;
  std::fclose(f);
  unlink(file.c_str());
  return ms;
}

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Child process: the table grows to `rows` rows by appends through a dataset
// open on the whole table, in a bulk scope; then a dataset opens the full
// table, reads a few rows, counts them and appends 1000 more.
int MemoryChild(long rows) {
  std::string file = TempFile("dkbench-mem");
  {
    dk::TConnection conn;
    conn.SetConnectionString("Provider=SQLite;Data Source=" + file);
    conn.CreateDatabase();
    conn.Execute("CREATE TABLE BENCH (A INTEGER, B INTEGER)");
    LayerAppend(conn, 0, rows);
    dk::TQuery q;
    q.SetConnection(&conn);
    q.SetSQLText("SELECT * FROM BENCH");
    q.Open();
    for (int i = 0; i < 1000 && !q.Eof(); ++i) q.Next();
    if (q.RecordCount() != rows) throw std::runtime_error("row count");
    q.Close();
    LayerAppend(conn, rows, 1000);
  }
  std::printf("  %9ld rows: maxrss %6ld KiB\n", rows, MaxRssKb());
  std::fflush(stdout);
  unlink(file.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string(argv[1]) == "--memory") {
      std::printf("Peak memory (one child process per table size):\n");
      std::fflush(stdout);
      for (long rows : {100000L, 1000000L, 10000000L}) {
        pid_t pid = fork();
        if (pid == 0) _exit(MemoryChild(rows));
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
      }
      return 0;
    }
    long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
    std::string rawFile = TempFile("dkbench-raw"), layerFile = TempFile("dkbench-layer");
    double fsyncMs = FsyncMilliseconds();
    // The machine may be shared: the three ways run in turn, three times, and
    // each keeps its best times. Processor time leaves out the waits for the
    // disk (and for other programs), wall time includes them.
    TTiming raw, layer, layerOne;
    for (int round = 0; round < 3; ++round) {
      Measure(raw, [&] { RawInserts(rawFile, rows); });
      unlink(rawFile.c_str());
      Measure(layer, [&] { LayerInserts(layerFile, rows, dk::kDefaultBulkCommitRows); });
      unlink(layerFile.c_str());
      Measure(layerOne, [&] { LayerInserts(layerFile, rows, static_cast<int>(rows)); });
      unlink(layerFile.c_str());
    }
    std::printf("rows: %ld, fsync of a small write: %.2f ms, best of 3 runs each\n", rows, fsyncMs);
    std::printf("%-58s %8s %12s %6s %8s %6s\n", "", "wall s", "rows/s", "ratio", "cpu s", "ratio");
    auto line = [&](const std::string& name, const TTiming& t) {
      std::printf("%-58s %8.3f %12.0f %6.2f %8.3f %6.2f\n", name.c_str(), t.Wall, rows / t.Wall,
                  raw.Wall / t.Wall, t.Cpu, raw.Cpu / t.Cpu);
    };
    line("raw SQLite, one statement, one transaction", raw);
    line("dataset Append/Post, bulk scope, commit every " +
             std::to_string(dk::kDefaultBulkCommitRows) + " rows",
         layer);
    line("dataset Append/Post, bulk scope, one commit", layerOne);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "data_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
