// The conversion of a big legacy archive into an archive on a PostgreSQL
// server, against COPY of the same rows.
//
//   server_bench [--documents N] [--ftiwid N] [--ftiword N] [--rounds N]
//
// Defaults: the large archive of pipeline_bench (20,000 documents, 2,000,000
// FTIWID rows, 100,000 FTIWORD rows). The benchmark starts a server of its
// own on loopback (scripts/pg_server.sh, below $TMPDIR/dk-pipeline-bench) and
// stops it at the end. Each round
// - makes a fresh server archive with the set-up of dkl-mkarchive and
//   converts into it in this process (stage times from the run log),
// - reads every copied table back (COPY TO, not timed), makes an empty twin
//   of the converted database (same tables, columns and indexes) and loads
//   the same rows into it with one COPY per table in one transaction, the
//   fastest way the server takes rows,
// and reports both times, the rows per second and the ratio COPY/conversion.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_conversion.h"
#include "db/util/archive_schema.h"

using namespace dk::bench;

namespace {

const char* const kTables[] = {"document", "docvers", "todo", "docprtcl", "ftiword", "ftiwid"};

std::string gServerDir;

void StopServer() {
  if (gServerDir.empty()) return;
  const std::string cmd =
      "bash " DK_SOURCE_DIR "/scripts/pg_server.sh stop " + gServerDir + " >/dev/null";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "stopping the server failed\n");
}

PGconn* Connect(const std::string& port, const std::string& database) {
  const std::string info =
      "host=127.0.0.1 port=" + port + " user=postgres dbname=" + database + " sslmode=disable";
  PGconn* conn = PQconnectdb(info.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    std::fprintf(stderr, "connect %s: %s", database.c_str(), PQerrorMessage(conn));
    std::exit(1);
  }
  return conn;
}

void Exec(PGconn* conn, const std::string& sql) {
  PGresult* r = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    std::fprintf(stderr, "%s: %s", sql.c_str(), PQerrorMessage(conn));
    std::exit(1);
  }
  PQclear(r);
}

// The rows of `table` in COPY's text form, and their number.
std::pair<std::string, long long> CopyOut(PGconn* conn, const std::string& table) {
  PGresult* r = PQexec(conn, ("COPY " + table + " TO STDOUT").c_str());
  if (PQresultStatus(r) != PGRES_COPY_OUT) {
    std::fprintf(stderr, "copy out %s: %s", table.c_str(), PQerrorMessage(conn));
    std::exit(1);
  }
  PQclear(r);
  std::string data;
  long long rows = 0;
  char* line = nullptr;
  int n;
  while ((n = PQgetCopyData(conn, &line, 0)) > 0) {
    data.append(line, static_cast<size_t>(n));
    PQfreemem(line);
    ++rows;
  }
  PQclear(PQgetResult(conn));
  return {std::move(data), rows};
}

void CopyIn(PGconn* conn, const std::string& table, const std::string& data) {
  PGresult* r = PQexec(conn, ("COPY " + table + " FROM STDIN").c_str());
  if (PQresultStatus(r) != PGRES_COPY_IN) {
    std::fprintf(stderr, "copy in %s: %s", table.c_str(), PQerrorMessage(conn));
    std::exit(1);
  }
  PQclear(r);
  if (PQputCopyData(conn, data.data(), static_cast<int>(data.size())) != 1 ||
      PQputCopyEnd(conn, nullptr) != 1) {
    std::fprintf(stderr, "copy in %s: %s", table.c_str(), PQerrorMessage(conn));
    std::exit(1);
  }
  r = PQgetResult(conn);
  if (PQresultStatus(r) != PGRES_COMMAND_OK) {
    std::fprintf(stderr, "copy in %s: %s", table.c_str(), PQerrorMessage(conn));
    std::exit(1);
  }
  PQclear(r);
}

// Loads the rows of the converted archive into an empty twin of it with COPY;
// returns the seconds of the load and the rows.
std::pair<double, long long> CopyLoad(const std::string& port) {
  std::vector<std::pair<std::string, std::string>> data;
  long long rows = 0;
  {
    PGconn* conn = Connect(port, "converted");
    for (const char* t : kTables) {
      auto [text, n] = CopyOut(conn, t);
      data.emplace_back(t, std::move(text));
      rows += n;
    }
    PQfinish(conn);
  }
  PGconn* admin = Connect(port, "postgres");
  Exec(admin, "DROP DATABASE IF EXISTS copied WITH (FORCE)");
  Exec(admin, "CREATE DATABASE copied TEMPLATE converted");
  PQfinish(admin);
  PGconn* conn = Connect(port, "copied");
  std::string tables;
  for (const char* t : kTables) tables += (tables.empty() ? "" : ", ") + std::string(t);
  Exec(conn, "TRUNCATE " + tables);
  Exec(conn, "CHECKPOINT");
  const auto start = Clock::now();
  Exec(conn, "BEGIN");
  for (const auto& [table, text] : data) CopyIn(conn, table, text);
  Exec(conn, "COMMIT");
  const double secs = Seconds(Clock::now() - start);
  PQfinish(conn);
  return {secs, rows};
}

}  // namespace

int main(int argc, char** argv) {
  TArchiveSize size;
  int rounds = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const long long v = std::atoll(argv[i + 1]);
    if (!size.Take(a, v) && a == "--rounds") rounds = std::max(1, static_cast<int>(v));
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/dk-pipeline-bench";
  const std::string source = LegacyArchive(base, size);
  const std::string work = base + "/server-run";
  PrepareRunFolder(work);

  gServerDir = base + "/pg";
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
  const std::string settings = work + "/archiv6.dkcs";
  {
    std::FILE* f = std::fopen(settings.c_str(), "w");
    std::fprintf(f,
                 "[AdoConnection]\nConnectionString=Provider=PostgreSQL;Data Source=127.0.0.1:%s;"
                 "Initial Catalog=converted;User ID=postgres\n",
                 port.c_str());
    std::fclose(f);
  }

  TRun best;
  double bestCopy = 0;
  long long rows = 0;
  for (int r = 0; r < rounds; ++r) {
    PGconn* admin = Connect(port, "postgres");
    Exec(admin, "DROP DATABASE IF EXISTS converted WITH (FORCE)");
    PQfinish(admin);
    dk::CreateEmptyServerArchive(settings);
    const TRun run = Convert(source, settings, false);
    const auto [copySecs, copyRows] = CopyLoad(port);
    rows = copyRows;
    std::fprintf(stderr, "round %d: conversion %.2f s, COPY %.2f s, ratio %.3f\n", r + 1, run.Total,
                 copySecs, copySecs / run.Total);
    if (best.Total == 0 || run.Total < best.Total) best = run;
    if (bestCopy == 0 || copySecs < bestCopy) bestCopy = copySecs;
  }
  std::printf("stage times (s), best conversion:\n");
  for (const TRun::TStage& s : best.Stages) std::printf("  %8.3f  %s\n", s.Seconds, s.Name.c_str());
  std::printf("rows written:           %lld\n", rows);
  std::printf("conversion (best):      %.2f s, %.0f rows/s\n", best.Total, rows / best.Total);
  std::printf("COPY (best):            %.2f s, %.0f rows/s\n", bestCopy, rows / bestCopy);
  std::printf("ratio conversion/COPY:  %.3f (rate of the conversion / rate of COPY)\n",
              bestCopy / best.Total);
  return 0;
}
