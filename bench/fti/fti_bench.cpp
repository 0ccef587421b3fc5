// The full-text index measured on the DOCUMENT rows of a generated and
// converted archive (dkl-mklegacy, arcport5):
//
// 1. Worker rate: every document of the archive is indexed as a new document
//    (the jobs queued while the main connection holds the write lock, so
//    the worker starts on a full queue); the time until the worker has
//    applied all jobs, against loading the same (document, text) pairs into
//    an SQLite FTS5 table in one transaction.
// 2. Save time: the same rows saved again as new documents through the
//    archive component, once with the worker idle at each save (the host
//    waits for it after every save) and once with the worker busy (the host
//    only processes its messages between saves); percentiles of the time
//    Post takes.
//
//   fti_bench [DOCUMENTS]   default 10000; the saves use the first 2000
//                           documents unless DOCUMENTS is smaller
//
// The files go to a directory below $TMPDIR (else /tmp), removed afterwards.

#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/connection.h"
#include "data/query.h"
#include "db/appl_database.h"
#include "db/archive.h"
#include "db/full_text_retrieval.h"
#include "db/update_fti_thread.h"
#include "db/util/archive_schema.h"
#include "legacy_archive.h"
#include "settings/configuration.h"
#include "settings/locations.h"
#include "ui/application.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(sqlite3_errmsg(db));
}

void Sql(const std::string& file, const std::string& sql) {
  dk::TConnection c;
  c.SetConnectionString("Provider=SQLite;Data Source=" + file);
  c.Open();
  c.Execute(sql);
}

// One document row: its DOCID and the texts of its columns by name.
struct TDoc {
  int Id = 0;
  std::map<std::string, std::string> Columns;
  std::string IndexText;  // the texts of the indexed columns, blank-separated
};

std::vector<TDoc> ReadDocuments(const std::string& file) {
  dk::TConnection c;
  c.SetConnectionString("Provider=SQLite;Data Source=" + file);
  c.Open();
  dk::TQuery q;
  q.SetConnection(&c);
  q.SetSQLText("SELECT * FROM DOCUMENT ORDER BY DOCID");
  q.Open();
  std::vector<TDoc> docs;
  for (; !q.Eof(); q.Next()) {
    TDoc d;
    d.Id = static_cast<int>(q.FieldByName("DOCID").AsInteger());
    for (int i = 0; i < q.FieldCount(); ++i) {
      const dk::TField& f = q.Fields(i);
      if (f.FieldName() == "DOCID" || f.IsNull()) continue;
      d.Columns[f.FieldName()] = f.AsString();
      if (dk::IsIndexedField(f)) d.IndexText += f.AsString() + " ";
    }
    docs.push_back(std::move(d));
  }
  return docs;
}

double Fts5Seconds(const std::string& file, const std::vector<TDoc>& docs) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(file.c_str(), &db), db);
  const auto start = Clock::now();
  Check(sqlite3_exec(db, "CREATE VIRTUAL TABLE T USING fts5(body)", nullptr, nullptr, nullptr), db);
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO T(rowid, body) VALUES (?, ?)", -1, &st, nullptr), db);
  for (const TDoc& d : docs) {
    sqlite3_bind_int(st, 1, d.Id);
    sqlite3_bind_text(st, 2, d.IndexText.c_str(), static_cast<int>(d.IndexText.size()),
                      SQLITE_STATIC);
    Check(sqlite3_step(st), db);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  const double s = Seconds(start);
  sqlite3_close(db);
  return s;
}

// CPU seconds of the process: on a machine shared with other work the wall
// time varies much more than the CPU time.
double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[i];
}

// An archive and its type database (the same file) on one owner.
struct TOpenArchive {
  explicit TOpenArchive(const std::string& file) {
    types = new dk::TApplDatabase(&owner);
    archive = new dk::TDkArchive(&owner);
    archive->SetApplDatabase(types);
    types->SetDocArchive(archive);
    archive->SetDatabaseName(file);
    types->SetDatabaseName(file);
    archive->Open();
    types->Open();
  }
  dk::TComponent owner{nullptr};
  dk::TApplDatabase* types;
  dk::TDkArchive* archive;
};

}  // namespace

int main(int argc, char** argv) {
  const int documents = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int saves = std::min(documents, 2000);
  const char* base = std::getenv("TMPDIR");
  const fs::path dir =
      fs::path(base && *base ? base : "/tmp") / ("fti_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir / "reg");
  fs::create_directories(dir / "common");
  std::FILE* hive = std::fopen((dir / "reg/HKEY_LOCAL_MACHINE.reg").c_str(), "w");
  std::fprintf(hive,
               "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\"
               "Tesmarin\\Dokalon\\Settings]\r\n\"CommonFilesPath\"=\"%s/common/\"\r\n",
               dir.c_str());
  std::fclose(hive);
  setenv("DOKALON_REGISTRY_DIR", (dir / "reg").c_str(), 1);

  try {
    std::printf("Generating and converting an archive of %d documents ...\n", documents);
    dk::TLegacyArchiveOptions legacy;
    legacy.Documents = documents;
    legacy.FtiWordRows = 100;
    legacy.FtiWidRows = 100;
    dk::WriteLegacyArchive((dir / "v5").string(), legacy);
    const std::string converted = (dir / "converted.db").string();
    dk::CreateEmptyArchive(converted);
    const std::string cmd = std::string(ARCPORT5_EXE) + " " + (dir / "v5").string() + " " +
                            converted + " </dev/null >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("conversion failed");
    const std::vector<TDoc> docs = ReadDocuments(converted);
    // Document types for every APPLNAME, letter W: the rows keep their file
    // names, as converted documents do.
    std::set<std::string> applNames;
    for (const TDoc& d : docs)
      applNames.insert(d.Columns.count("APPLNAME") ? d.Columns.at("APPLNAME") : "");
    for (const std::string& name : applNames)
      if (!name.empty())
        Sql(converted, "INSERT INTO APPL (APPLNAME, DOCTYPE) VALUES ('" + name + "', 'W')");
    Sql(converted, "DELETE FROM FTIWORD");
    Sql(converted, "DELETE FROM FTIWID");
    Sql(converted, "UPDATE IDENTNO SET NEXTID = 1 WHERE IDNAME = 'FTIWORDID'");

    dk::TApplication app;
    dk::InitSettingsLocations(nullptr);
    dk::TConfiguration config(false);
    dk::Configuration = &config;
    config.CreateDocNumber = false;

    // 1. The worker on a full queue, against FTS5.
    const std::string workerDb = (dir / "worker.db").string();
    fs::copy_file(converted, workerDb);
    double workerSeconds = 0, workerCpu = 0;
    std::vector<double> indexerTimes;
    long jobs = 0, pairs = 0;
    {
      TOpenArchive a(workerDb);
      dk::TFullTextRetrieval& fti = *a.archive->FullTextRetrieval();
      a.archive->OnUpdateFtiThreadInfo = [&](dk::TComponent&, int, int pos) {
        jobs = std::max(jobs, static_cast<long>(pos));
      };
      a.archive->RefreshQueryDoc();
      dk::TQuery& doc = *a.archive->DocQuery();
      a.archive->Connection().BeginTrans();
      // What a save of each document spends in the indexer: its words and
      // its jobs (the worker cannot take them before the commit below).
      for (; !doc.Eof(); doc.Next()) {
        const auto t = Clock::now();
        fti.IndexCurrDocument(true);
        indexerTimes.push_back(Seconds(t) * 1000.0);
      }
      a.archive->Connection().CommitTrans();
      const auto start = Clock::now();
      const double cpu = CpuSeconds();
      fti.WaitForWorker();
      workerSeconds = Seconds(start);
      workerCpu = CpuSeconds() - cpu;
      dk::TQuery count;
      count.SetConnection(&a.archive->Connection());
      count.SetSQLText("SELECT COUNT(*) FROM FTIWID");
      count.Open();
      pairs = static_cast<long>(count.Fields(0).AsInteger());
    }
    const double fts5Cpu0 = CpuSeconds();
    const double fts5Seconds = Fts5Seconds((dir / "fts5.db").string(), docs);
    const double fts5Cpu = CpuSeconds() - fts5Cpu0;
    const double n = static_cast<double>(docs.size());
    std::printf("\nIndexing %zu documents (%ld jobs, %ld word-document pairs):\n", docs.size(),
                jobs, pairs);
    std::printf("  worker  %8.2f s wall %8.2f s CPU  %9.0f documents/s  %9.0f pairs/s (wall)\n",
                workerSeconds, workerCpu, n / workerSeconds,
                static_cast<double>(pairs) / workerSeconds);
    std::printf("  FTS5    %8.2f s wall %8.2f s CPU  %9.0f documents/s (wall)\n", fts5Seconds,
                fts5Cpu, n / fts5Seconds);
    std::printf("  worker rate / FTS5 rate: %.2f by wall time, %.2f by CPU time (goal 0.25)\n",
                fts5Seconds / workerSeconds, fts5Cpu / workerCpu);

    // 2. Saves through the archive component, worker idle against busy.
    std::printf("  indexer per document (words and jobs, ms): p50 %.3f  p99 %.3f  max %.3f\n",
                Percentile(indexerTimes, 0.5), Percentile(indexerTimes, 0.99),
                Percentile(indexerTimes, 1.0));
    std::vector<double> rulesTimes;
    auto saveRun = [&](const std::string& file, bool waitEachSave, double& total) {
      rulesTimes.clear();
      TOpenArchive a(file);
      a.archive->Connection().Execute("DELETE FROM DOCUMENT");
      a.archive->RefreshQueryDoc();
      dk::TQuery& doc = *a.archive->DocQuery();
      std::vector<double> times;
      Clock::time_point rulesStart;
      a.archive->OnCreateNewDocument = [&](dk::TComponent&) { rulesStart = Clock::now(); };
      a.archive->BeforePostDocument = [&](dk::TDataSet&) {
        rulesTimes.push_back(Seconds(rulesStart) * 1000.0);
      };
      const auto start = Clock::now();
      for (int i = 0; i < saves; ++i) {
        doc.Append();
        for (const auto& [name, value] : docs[static_cast<size_t>(i)].Columns)
          if (dk::TField* f = doc.FindField(name)) f->SetAsString(value);
        const auto t = Clock::now();
        doc.Post();
        times.push_back(Seconds(t) * 1000.0);
        if (waitEachSave)
          a.archive->FullTextRetrieval()->WaitForWorker();
        else
          dk::Application->ProcessMessages();
      }
      a.archive->FullTextRetrieval()->WaitForWorker();
      total = Seconds(start);
      return times;
    };
    const std::string idleDb = (dir / "idle.db").string();
    const std::string busyDb = (dir / "busy.db").string();
    fs::copy_file(converted, idleDb);
    fs::copy_file(converted, busyDb);
    double idleTotal = 0, busyTotal = 0;
    const std::vector<double> idle = saveRun(idleDb, true, idleTotal);
    const std::vector<double> idleRules = rulesTimes;
    const std::vector<double> busy = saveRun(busyDb, false, busyTotal);
    const std::vector<double> busyRules = rulesTimes;
    std::printf("\nSaving %d documents through the archive (time of Post, ms):\n", saves);
    std::printf("  worker idle  p50 %6.2f  p99 %6.2f  max %7.2f  (run %.1f s)\n",
                Percentile(idle, 0.5), Percentile(idle, 0.99), Percentile(idle, 1.0), idleTotal);
    std::printf("  worker busy  p50 %6.2f  p99 %6.2f  max %7.2f  (run %.1f s, index done)\n",
                Percentile(busy, 0.5), Percentile(busy, 0.99), Percentile(busy, 1.0), busyTotal);
    std::printf(
        "  of which pick lists, index and access rights (ms): idle p50 %.3f p99 %.3f, "
        "busy p50 %.3f p99 %.3f\n",
        Percentile(idleRules, 0.5), Percentile(idleRules, 0.99), Percentile(busyRules, 0.5),
        Percentile(busyRules, 0.99));
    dk::Configuration = nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fti_bench: %s\n", e.what());
    fs::remove_all(dir);
    return 1;
  }
  fs::remove_all(dir);
  return 0;
}
