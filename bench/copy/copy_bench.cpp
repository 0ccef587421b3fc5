// The table copy measured: CopyTable of FTIWID rows (two integers) from a
// Paradox table into a new SQLite archive, against the same rows inserted
// with one prepared SQLite statement in one transaction into the same kind of
// table, in the same run.
//
//   copy_bench [ROWS]            throughput (default 10^6 rows)
//   copy_bench --copy-only ROWS  only the copy into a bare table, for a
//                                profiler
//   copy_bench --archive DIR     every copy of the conversion over a legacy
//                                archive (e.g. made by dkl-mklegacy --big) into
//                                a new archive, with the time of each
//   copy_bench --memory [MAX]    peak memory (maxrss) of a child process that
//                                copies 10^5, 10^6, ... rows up to MAX
//                                (default 10^6; 10^7 takes pxlib minutes to
//                                write)
//
// The files go to a directory below $TMPDIR (else /tmp), removed afterwards.

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "app/main_window.h"
#include "db/util/archive_schema.h"
#include "db/util/sql_util.h"
#include "px_writer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU seconds of the process: on a machine shared with other work the wall
// time of a run varies, its CPU time much less.
double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct TTimes {
  double Wall = 0, Cpu = 0;
};

// The rows: word by word, ten documents per word, no pair twice (the table
// has the key WORDID, DOCID).
constexpr long kDocsPerWord = 10;
void RowAt(long i, long& word, long& doc) {
  word = 1 + i / kDocsPerWord;
  doc = 1 + (word * 7919 + (i % kDocsPerWord) * 104729) % 50000;
}

void WriteSource(const std::string& dir, long rows) {
  fs::create_directories(dir);
  dk::TPxTableWriter w(dir + "/FTIWID.DB", dk::ParsePxFieldList("WORDID:I,DOCID:I"));
  for (long i = 0; i < rows; ++i) {
    long word, doc;
    RowAt(i, word, doc);
    w.SetInteger(0, word);
    w.SetInteger(1, doc);
    w.Post();
  }
  w.Close();
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(sqlite3_errmsg(db));
}

// The target: a new archive whose FTIWID has its key (WORDID, DOCID) and the
// index on DOCID, or a bare table of two integer columns, which leaves only
// the cost of the copy itself beside the engine's.
void CreateTarget(const std::string& file, bool archive) {
  if (archive) {
    dk::CreateEmptyArchive(file);
    return;
  }
  sqlite3* db = nullptr;
  Check(sqlite3_open(file.c_str(), &db), db);
  Check(sqlite3_exec(db, "CREATE TABLE FTIWID (WORDID INTEGER, DOCID INTEGER)", nullptr, nullptr,
                     nullptr),
        db);
  sqlite3_close(db);
}

// The baseline: one prepared statement, one transaction, values from memory.
TTimes RawInserts(const std::string& file, long rows, bool archive) {
  CreateTarget(file, archive);
  sqlite3* db = nullptr;
  Check(sqlite3_open(file.c_str(), &db), db);
  auto start = Clock::now();
  const double cpu = CpuSeconds();
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO FTIWID (WORDID, DOCID) VALUES (?1, ?2)", -1, &st,
                           nullptr),
        db);
  for (long i = 0; i < rows; ++i) {
    long word, doc;
    RowAt(i, word, doc);
    sqlite3_bind_int64(st, 1, word);
    sqlite3_bind_int64(st, 2, doc);
    Check(sqlite3_step(st), db);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  const TTimes times{Seconds(start), CpuSeconds() - cpu};
  sqlite3_close(db);
  return times;
}

// Reading every row and field of the source, for the share of the engine.
double ReadSource(const std::string& dir, long rows) {
  auto start = Clock::now();
  dk::TParadoxQuery q;
  q.SetDatabaseName(dir);
  q.SetSQL("SELECT * FROM FTIWID");
  q.Open();
  long n = 0, sum = 0;
  for (; !q.Eof(); q.Next(), ++n) sum += q.Fields(0).AsInteger() + q.Fields(1).AsInteger();
  if (n != rows || sum == 0) throw std::runtime_error("source read back wrong");
  return Seconds(start);
}

struct TCopyResult {
  double Seconds;
  double Cpu;
  int Rows;
};

// CopyTable as the pipeline runs it: the main window's queries, the target
// query on the archive's connection.
TCopyResult CopyWithWindow(const std::string& dir, const std::string& file, bool archive) {
  CreateTarget(file, archive);
  dk::TApplication app;
  dk::TConnection conn;
  conn.SetConnectionString(
      "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file);
  conn.Open();
  dk::TFormArcport5Main form(nullptr, {});
  form.SetSourceDir(dir);
  form.BdeQuerySrc->SetDatabaseName(dir + "/");
  form.AdoQueryDst->SetConnection(&conn);
  form.ProgressBar->SetMax(form.GetRecordCount("FTIWID") + 30);
  auto start = Clock::now();
  const double cpu = CpuSeconds();
  const int rows = form.CopyTable("FTIWID");
  const double seconds = Seconds(start);
  const double cpuSeconds = CpuSeconds() - cpu;
  conn.Close();
  return {seconds, cpuSeconds, rows};
}

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::string WorkDir() {
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/dk-copybench-" + std::to_string(getpid());
}

// The copies of the conversion's data stage over a whole legacy archive; the
// target gets the legacy archive's extra document columns first, typed as the
// conversion types them.
int CopyArchive(const std::string& dir) {
  const std::string work = WorkDir();
  fs::create_directories(work);
  const std::string file = work + "/ziel.mdb";
  dk::CreateEmptyArchive(file);
  dk::TApplication app;
  dk::TConnection conn;
  conn.SetConnectionString(
      "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file);
  conn.Open();
  dk::TFormArcport5Main form(nullptr, {});
  form.SetSourceDir(dir);
  form.BdeQuerySrc->SetDatabaseName(dir + "/");
  form.AdoQueryDst->SetConnection(&conn);
  {
    dk::TQuery target;
    target.SetConnection(&conn);
    target.SetSQLText("SELECT * FROM DOCUMENT");
    target.Open();
    dk::TParadoxQuery legacy;
    legacy.SetDatabaseName(dir);
    legacy.SetSQL("SELECT * FROM DOCUMENT");
    legacy.Open();
    for (int i = 0; i < legacy.FieldCount(); ++i) {
      std::string name = legacy.Fields(i).FieldName();
      if (target.FindField(name) || name == "NUMBER" || name == "NOTE") continue;
      if (name == "NAMES") name = "MYNAMES";
      conn.Execute("ALTER TABLE DOCUMENT ADD " + name + " " +
                   dk::ColumnTypeText(legacy.Fields(i).DataType(), legacy.Fields(i).Size(), conn));
    }
  }
  long total = 0;
  for (const char* table :
       {"DOCUMENT", "DOCBLOBS", "DOCVERS", "TODO", "DOCPRTCL", "FTIWORD", "FTIWID"})
    total += form.GetRecordCount(table);
  form.ProgressBar->SetMax(static_cast<int>(total));
  auto all = Clock::now();
  auto start = Clock::now();
  form.CopyDocuments();
  std::printf("  %-24s %8.2f s\n", "CopyDocuments", Seconds(start));
  start = Clock::now();
  form.MoveRtfTexts();
  std::printf("  %-24s %8.2f s\n", "MoveRtfTexts", Seconds(start));
  for (const char* table : {"DOCVERS", "TODO", "DOCPRTCL", "FTIWORD", "FTIWID"}) {
    start = Clock::now();
    form.CopyTable(table);
    std::printf("  CopyTable %-14s %8.2f s\n", table, Seconds(start));
  }
  const double seconds = Seconds(all);
  std::printf("  %ld rows in %.2f s: %.0f rows/s, maxrss %ld KiB\n", total, seconds,
              total / seconds, MaxRssKb());
  for (int i = 0; i < form.MemoLog->Lines().Count(); ++i)
    std::printf("    %s\n", form.MemoLog->Lines()[i].c_str());
  conn.Close();
  fs::remove_all(work);
  return 0;
}

int Memory(long maxRows) {
  const std::string work = WorkDir();
  std::printf("Peak memory of CopyTable (one child process per table size):\n");
  for (long rows = 100000; rows <= maxRows; rows *= 10) {
    const std::string dir = work + "/src" + std::to_string(rows);
    auto start = Clock::now();
    WriteSource(dir, rows);
    const double written = Seconds(start);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      try {
        const TCopyResult r = CopyWithWindow(dir, dir + "/ziel.mdb", true);
        std::printf("  %9ld rows: copy %7.2f s, maxrss %7ld KiB (source written in %.1f s)\n",
                    static_cast<long>(r.Rows), r.Seconds, MaxRssKb(), written);
        std::fflush(stdout);
        _exit(r.Rows == rows ? 0 : 1);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "copy_bench: %s\n", e.what());
        _exit(1);
      }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    fs::remove_all(dir);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  fs::remove_all(work);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string(argv[1]) == "--memory")
      return Memory(argc > 2 ? std::atol(argv[2]) : 1000000);
    if (argc > 2 && std::string(argv[1]) == "--archive") return CopyArchive(argv[2]);
    if (argc > 2 && std::string(argv[1]) == "--copy-only") {
      // For a profiler: the source is written first, then only copied.
      const long rows = std::atol(argv[2]);
      const std::string work = WorkDir();
      WriteSource(work + "/alt", rows);
      std::fprintf(stderr, "copy_bench: source written, copying\n");
      const TCopyResult copy = CopyWithWindow(work + "/alt", work + "/bare.mdb", false);
      fs::remove_all(work);
      std::printf("CopyTable into a bare table: %.3f s %.0f rows/s\n", copy.Seconds,
                  rows / copy.Seconds);
      return 0;
    }
    const long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::string work = WorkDir();
    const std::string dir = work + "/alt";
    auto start = Clock::now();
    WriteSource(dir, rows);
    const double written = Seconds(start);
    const double read = ReadSource(dir, rows);
    std::printf("FTIWID rows: %ld (source written by pxlib in %.1f s)\n", rows, written);
    std::printf("engine read, every row and field:        %7.3f s %10.0f rows/s\n", read,
                rows / read);
    for (bool archive : {true, false}) {
      const std::string tag = archive ? "archive" : "bare";
      const TTimes raw = RawInserts(work + "/raw-" + tag + ".mdb", rows, archive);
      const TCopyResult copy = CopyWithWindow(dir, work + "/copy-" + tag + ".mdb", archive);
      if (copy.Rows != rows) throw std::runtime_error("CopyTable posted a wrong number of rows");
      std::printf("%s FTIWID%s:\n", archive ? "Archive" : "Bare",
                  archive ? " (key WORDID, DOCID; index on DOCID)" : " (two integers, no key)");
      std::printf("  raw SQLite, prepared, one transaction: %7.3f s %10.0f rows/s (CPU %.3f s)\n",
                  raw.Wall, rows / raw.Wall, raw.Cpu);
      std::printf(
          "  CopyTable:                             %7.3f s %10.0f rows/s (CPU %.3f s)  "
          "ratio %.2f (by CPU time %.2f)\n",
          copy.Seconds, rows / copy.Seconds, copy.Cpu, raw.Wall / copy.Seconds, raw.Cpu / copy.Cpu);
      std::fflush(stdout);
    }
    fs::remove_all(work);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "copy_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
