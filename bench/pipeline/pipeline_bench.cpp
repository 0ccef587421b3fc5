// The conversion of a big legacy archive, measured.
//
//   pipeline_bench [--documents N] [--ftiwid N] [--ftiword N] [--rounds N]
//                  [--delays MS,MS,...] [--no-drawn]
//
// Defaults: 20,000 documents (memos and RTF texts included), 2,000,000 FTIWID
// rows, 100,000 FTIWORD rows, DOCVERS, TODO and DOCPRTCL in proportion. The
// legacy archive is generated once (with pxlib, which takes a while) into
// $TMPDIR/dk-pipeline-bench and reused. Each run converts into a fresh empty
// archive, in this process, and reports:
// - the time of every stage (taken from the run log's lines as they come),
// - the overall row rate (rows written to the target per second),
// - the rate of the same rows inserted with one prepared statement per table
//   in one transaction into a fresh database of the same shape (the raw
//   rate), measured in the same run, and the ratio of the two; the raw load
//   takes the rows in the legacy tables' order,
// - all of that for every flush delay of --delays (default 0 and 20 ms per
//   fsync/fdatasync, a slow disk or a network file system), each over
//   --rounds rounds (default 3) alternating conversion and raw load, with the
//   best ratio and the spread, and the syncs of each side,
// - the peak memory (maximum resident set size) after the first conversion,
// - the same conversion again with the terminal view drawing (to /dev/null,
//   as on a terminal), to show what keeping the display current costs.
// The delays and the sync counts come from the slow_sync preload library
// (bench/slowdisk): the program starts itself again with it preloaded.
#include <dlfcn.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_conversion.h"
#include "db/util/archive_schema.h"
#include "paradox/query.h"
#include "sys/file_paths.h"
#include "ui/message_box.h"
#include "ui/terminal_view.h"

using namespace dk::bench;

namespace {

long MaxRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

void SetSyncDelay(int ms) {
  setenv("DK_SYNC_DELAY_MS", std::to_string(ms).c_str(), 1);
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

const char* const kTables[] = {"DOCUMENT", "DOCVERS", "TODO", "DOCPRTCL", "FTIWORD", "FTIWID"};

// The FTIWID rows as the legacy table holds them, read before any clock runs.
// The raw load inserts them in this order, as a loader that reads the legacy
// table and writes each row would: the converted table gives them back in the
// order the conversion wrote them, which is the target's key order.
using TWordRows = std::vector<std::pair<int64_t, int64_t>>;

TWordRows LegacyWordRows(const std::string& sourceDir) {
  TWordRows rows;
  dk::TParadoxQuery q;
  q.SetDatabaseName(sourceDir);
  q.SetSQL("SELECT * FROM FTIWID");
  q.Open();
  rows.reserve(static_cast<size_t>(q.RecordCount()));
  const dk::TParadoxField& word = q.FieldByName("WORDID");
  const dk::TParadoxField& doc = q.FieldByName("DOCID");
  for (; !q.Eof(); q.Next()) rows.emplace_back(word.AsLargeInt(), doc.AsLargeInt());
  return rows;
}

// Inserts every row of the converted tables into a fresh database of the same
// shape with one prepared statement per table, in one transaction; FTIWID's
// rows come from `ftiwid`. Returns the seconds and the rows.
std::pair<double, long long> RawInserts(const std::string& converted, const std::string& fresh,
                                        const TWordRows& ftiwid) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(fresh.c_str(), &db), db, "open");
  Check(sqlite3_exec(db, ("ATTACH '" + converted + "' AS src").c_str(), nullptr, nullptr, nullptr),
        db, "attach");
  for (const char* t : kTables) {
    sqlite3_stmt* st = nullptr;
    // The table and its indexes, as the converted archive has them.
    Check(sqlite3_prepare_v2(db,
                             ("SELECT sql FROM src.sqlite_master WHERE tbl_name='" +
                              std::string(t) + "' AND sql IS NOT NULL ORDER BY type DESC")
                                 .c_str(),
                             -1, &st, nullptr),
          db, "schema");
    while (sqlite3_step(st) == SQLITE_ROW)
      Check(sqlite3_exec(db, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), nullptr,
                         nullptr, nullptr),
            db, "create");
    sqlite3_finalize(st);
  }
  long long rows = 0;
  const auto start = Clock::now();
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (const char* t : kTables) {
    if (std::string(t) == "FTIWID") {
      sqlite3_stmt* ins = nullptr;
      Check(sqlite3_prepare_v2(db, "INSERT INTO main.FTIWID VALUES (?,?)", -1, &ins, nullptr), db,
            "insert");
      for (const auto& [word, doc] : ftiwid) {
        sqlite3_bind_int64(ins, 1, word);
        sqlite3_bind_int64(ins, 2, doc);
        Check(sqlite3_step(ins), db, "step");
        sqlite3_reset(ins);
        ++rows;
      }
      sqlite3_finalize(ins);
      continue;
    }
    sqlite3_stmt* sel = nullptr;
    Check(
        sqlite3_prepare_v2(db, ("SELECT * FROM src." + std::string(t)).c_str(), -1, &sel, nullptr),
        db, "select");
    const int n = sqlite3_column_count(sel);
    std::string sql = "INSERT INTO main." + std::string(t) + " VALUES (";
    for (int i = 0; i < n; ++i) sql += i ? ",?" : "?";
    sql += ")";
    sqlite3_stmt* ins = nullptr;
    Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &ins, nullptr), db, "insert");
    while (sqlite3_step(sel) == SQLITE_ROW) {
      for (int i = 0; i < n; ++i) sqlite3_bind_value(ins, i + 1, sqlite3_column_value(sel, i));
      Check(sqlite3_step(ins), db, "step");
      sqlite3_reset(ins);
      ++rows;
    }
    sqlite3_finalize(ins);
    sqlite3_finalize(sel);
  }
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  const double secs = Seconds(Clock::now() - start);
  sqlite3_close(db);
  return {secs, rows};
}

void FreshArchive(const std::string& target) {
  fs::remove(target);
  fs::remove(dk::ChangeFileExt(target, ".log"));
  dk::CreateEmptyArchive(target);
}

struct TRound {
  double Conversion = 0, Raw = 0;
  long ConversionSyncs = 0, RawSyncs = 0;
  double Ratio() const { return Raw / Conversion; }
};

}  // namespace

int main(int argc, char** argv) {
  // Without the preload library, start again with it.
  if (SyncCount() < 0 && !std::getenv("DK_SLOW_SYNC_TRIED")) {
    setenv("DK_SLOW_SYNC_TRIED", "1", 1);
    setenv("LD_PRELOAD", DKL_SLOW_SYNC_LIB, 1);
    execv("/proc/self/exe", argv);
    std::perror("execv");
  }
  if (SyncCount() < 0) std::fprintf(stderr, "slow_sync not loaded: no delays, no sync counts\n");
  TArchiveSize size;
  int rounds = 3;
  bool drawnRun = true;
  std::vector<int> delays{0, 20};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-drawn") {
      drawnRun = false;
      continue;
    }
    if (i + 1 >= argc) break;
    const std::string value = argv[++i];
    const long long v = std::atoll(value.c_str());
    if (size.Take(a, v))
      continue;
    else if (a == "--rounds")
      rounds = std::max(1, static_cast<int>(v));
    else if (a == "--delays") {
      delays.clear();
      for (size_t p = 0; p <= value.size();) {
        const size_t comma = std::min(value.find(',', p), value.size());
        delays.push_back(std::atoi(value.substr(p, comma - p).c_str()));
        p = comma + 1;
      }
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/dk-pipeline-bench";
  const std::string source = LegacyArchive(base, size);
  const std::string work = base + "/run";
  PrepareRunFolder(work);

  const std::string target = work + "/archiv6.db";
  long rss = -1;
  TWordRows legacyWords;
  long long rows = 0;
  TRun stages;
  std::vector<std::vector<TRound>> results;
  for (int delay : delays) {
    SetSyncDelay(delay);
    std::vector<TRound>& perDelay = results.emplace_back();
    for (int r = 0; r < rounds; ++r) {
      TRound round;
      long syncs = SyncCount();
      FreshArchive(target);
      const TRun plain = Convert(source, target, false);
      round.Conversion = plain.Total;
      round.ConversionSyncs = SyncCount() - syncs;
      if (rss < 0) rss = MaxRssKiB();
      // Read only now: the peak memory is the conversion's alone.
      if (legacyWords.empty()) legacyWords = LegacyWordRows(source);
      if (delay == delays.front() && (stages.Total == 0 || plain.Total < stages.Total))
        stages = plain;
      fs::remove(work + "/raw.db");
      syncs = SyncCount();
      const auto [rawSecs, rawRows] = RawInserts(target, work + "/raw.db", legacyWords);
      round.Raw = rawSecs;
      round.RawSyncs = SyncCount() - syncs;
      rows = rawRows;
      perDelay.push_back(round);
      std::fprintf(stderr, "%d ms, round %d: conversion %.2f s, raw %.2f s, ratio %.2f\n", delay,
                   r + 1, round.Conversion, round.Raw, round.Ratio());
    }
  }
  SetSyncDelay(0);

  std::printf("stage times (s) and syncs, best conversion at %d ms:\n", delays.front());
  for (const TRun::TStage& s : stages.Stages)
    std::printf("  %8.3f %5ld  %s\n", s.Seconds, s.Syncs, s.Name.c_str());
  std::printf("rows written:            %lld\n", rows);
  for (size_t d = 0; d < delays.size(); ++d) {
    const std::vector<TRound>& rs = results[d];
    const auto byConversion = [](const TRound& a, const TRound& b) {
      return a.Conversion < b.Conversion;
    };
    const auto byRaw = [](const TRound& a, const TRound& b) { return a.Raw < b.Raw; };
    const auto byRatio = [](const TRound& a, const TRound& b) { return a.Ratio() < b.Ratio(); };
    const TRound& conv = *std::min_element(rs.begin(), rs.end(), byConversion);
    const TRound& raw = *std::min_element(rs.begin(), rs.end(), byRaw);
    const auto [lo, hi] = std::minmax_element(rs.begin(), rs.end(), byRatio);
    std::printf("flush delay %d ms, %d rounds:\n", delays[d], rounds);
    std::printf("  conversion (best):     %.2f s, %.0f rows/s, %ld syncs\n", conv.Conversion,
                rows / conv.Conversion, conv.ConversionSyncs);
    std::printf("  raw inserts (best):    %.2f s, %.0f rows/s, %ld syncs\n", raw.Raw,
                rows / raw.Raw, raw.RawSyncs);
    std::printf("  ratio conversion/raw:  %.2f best-of-each, rounds %.2f .. %.2f\n",
                raw.Raw / conv.Conversion, lo->Ratio(), hi->Ratio());
  }
  std::printf("peak memory (max RSS):   %.1f MiB\n", rss / 1024.0);
  if (drawnRun) {
    FreshArchive(work + "/archiv6-drawn.db");
    const TRun drawn = Convert(source, work + "/archiv6-drawn.db", true);
    std::printf("with the display drawn:  %.2f s (%.2f of the best plain run)\n", drawn.Total,
                drawn.Total / stages.Total);
  }
  return 0;
}
