// arcport5 --atomic: a run that fails, is stopped or is killed at any point
// leaves the target's schema and rows and the common files folder exactly as
// they were, and the same command then converts. The runs are failed,
// stopped (SIGTERM) and killed (SIGKILL) at exact calls of the database
// engine through the fault-injecting provider (arcport5_faults).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/pending_files.h"
#include "arcport5_sandbox.h"
#include "data/connection.h"
#include "data/query.h"
#include "support/pg_server.h"
#include "sys/string_list.h"
#include "sys/text.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// The schema and every row of every table, as text: what the tests compare
// before and after a run.
struct TArchiveDump {
  std::string Schema;
  std::map<std::string, std::vector<std::string>> Rows;  // by table, rows sorted
  bool operator==(const TArchiveDump&) const = default;
};

TArchiveDump DumpArchive(const std::string& connectionString) {
  TConnection connection;
  connection.SetConnectionString(connectionString);
  connection.Open();
  TArchiveDump dump;
  const bool sqlite = connectionString.find("Provider=SQLite") != std::string::npos;
  TQuery schema;
  schema.SetConnection(&connection);
  schema.SetSQLText(sqlite ? "SELECT type || ' ' || name || ': ' || COALESCE(sql, '') FROM "
                             "sqlite_master ORDER BY type, name"
                           : "SELECT table_name || '.' || column_name || ' ' || data_type || ' ' "
                             "|| COALESCE(character_maximum_length, 0) FROM "
                             "information_schema.columns WHERE table_schema = 'public' "
                             "ORDER BY table_name, ordinal_position");
  schema.Open();
  for (; !schema.Eof(); schema.Next()) dump.Schema += schema.Fields(0).AsString() + "\n";
  TStringList tables;
  connection.GetTableNames(tables);
  for (const std::string& table : tables.Items()) {
    TQuery rows;
    rows.SetConnection(&connection);
    rows.SetSQLText("SELECT * FROM " + table);
    rows.Open();
    std::vector<std::string>& out = dump.Rows[AsciiUpper(table)];
    for (; !rows.Eof(); rows.Next()) {
      std::string row;
      for (int i = 0; i < rows.FieldCount(); ++i) row += rows.Fields(i).AsString() + "|";
      out.push_back(row);
    }
    std::sort(out.begin(), out.end());
  }
  return dump;
}

std::string Count(const TArchiveDump& dump, const std::string& table) {
  const auto it = dump.Rows.find(table);
  return it == dump.Rows.end() ? "keine Tabelle" : std::to_string(it->second.size());
}

// Every file below the common files folder with its bytes, but Error.log:
// a log like the run log, which keeps what the run noted.
std::map<std::string, std::string> CommonFiles(const std::string& dir) {
  std::map<std::string, std::string> files = test::Snapshot(dir);
  files.erase(dir + "/Error.log");
  return files;
}

// The points of a run where it is failed, stopped or killed, each as the
// call of the engine it happens at.
struct TPoint {
  const char* Name;
  const char* Step;  // statement part of a "step" fault, or "" for the commit
  int Skip;          // matching calls that pass first
};

const std::vector<TPoint>& Points() {
  static const std::vector<TPoint> points = {
      // the first legacy column added to FLDTEMPL, after it was added to DOCUMENT
      {"während der ALTER-Anweisungen", "ALTER TABLE FLDTEMPL", 0},
      // field definitions, layout option and pick lists are written by then
      {"nach Felddefinitionen und Auswahllisten", "INSERT INTO \"DOCUMENT\"", 0},
      {"während der DOCUMENT-Kopie", "INSERT INTO \"DOCUMENT\"", 20},
      {"während der FTIWID-Kopie", "INSERT INTO \"FTIWID\"", 400},
      // the last write before the commit: the option "Converted"
      {"am Commit", "", 0},
  };
  return points;
}

class AtomicRun : public test::TArcport5Sandbox {
 protected:
  std::string Common() const { return FDir / "common"; }
  std::string Settings() const { return FDir / "out/archiv6.dkcs"; }
  std::string SettingsLog() const { return FDir / "out/archiv6.log"; }
  std::string Record() const { return Settings() + ".atomic"; }

  // The fault-injecting settings file over the engine's own connection
  // string, and a common folder that already holds the layout of that name
  // and the global pick list the run merges into.
  void Prepare(const std::string& connectionString) {
    FConnectionString = connectionString;
    test::WriteFile(
        Settings(),
        "[AdoConnection]\r\nConnectionString=" +
            ReplaceAll(connectionString, "Provider=", "Provider=Fault;Inner Provider=") + "\r\n");
    fs::create_directories(Common() + "/Layouts");
    test::WriteFile(Common() + "/Layouts/archiv6.lay", "eine frühere Maske\r\n");
    test::WriteFile(Common() + "/PROJECT.itm", "Altbestand\r\n");
  }

  test::TProgramRun RunWith(const std::string& faults) const {
    auto options = Options();
    if (!faults.empty()) options.Env["DK_FAULTS"] = faults;
    return test::RunProgram(
        {ARCPORT5_FAULTS_EXE, "--exit-status", "--atomic", Source(), Settings()}, options);
  }

  // The fault spec of `kind` at `point`.
  static std::string FaultAt(const TPoint& point, const std::string& kind) {
    if (*point.Step) return "step|" + kind + "|" + std::to_string(point.Skip) + "|1|" + point.Step;
    // SIGTERM is looked at right before the commit, so it comes with the
    // last write; SIGKILL and failures hit the commit itself.
    if (kind == "term") return "step|term|1|1|INSERT INTO \"DBOPTION\"";
    return "commit|" + kind + "|0|1|";
  }

  // The same command once more, without faults: it converts, the layout goes
  // to a free name next to the earlier one, the pick list is merged with a
  // backup of the earlier one, no record is left.
  void ExpectTheSameCommandConverts(const TArchiveDump& before) {
    const auto rerun = RunWith("");
    ASSERT_EQ(rerun.Status, 0) << rerun.Err;
    const TArchiveDump after = DumpArchive(FConnectionString);
    EXPECT_EQ(Count(after, "DOCUMENT"), "40");
    EXPECT_EQ(Count(after, "FTIWID"), "800");
    EXPECT_EQ(Count(after, "DBOPTION"), std::to_string(before.Rows.at("DBOPTION").size() + 2));
    EXPECT_FALSE(fs::exists(Record()));
    EXPECT_EQ(test::ReadFile(Common() + "/Layouts/archiv6.lay"), "eine frühere Maske\r\n");
    const std::string layout = test::ReadFile(Common() + "/Layouts/archiv61.lay");
    EXPECT_NE(layout.find(",Doc,DOCNO,"), std::string::npos) << layout;
    EXPECT_EQ(test::ReadFile(Common() + "/PROJECT.~itm"), "Altbestand\r\n");
    const std::string list = test::ReadFile(Common() + "/PROJECT.itm");
    EXPECT_NE(list.find("Altbestand"), std::string::npos);
    EXPECT_GT(SplitLines(list).size(), 2u) << list;
  }

  std::string FConnectionString;
};

// Failed, stopped and killed at five points each: the target's schema and
// rows and the common files are as before, the log (for the runs that live
// to write it) says that nothing was changed, and the same command converts.
TEST_F(AtomicRun, FailedStoppedOrKilledAnywhereChangesNothingAndCanBeRunAgain) {
  struct TKind {
    const char* Name;
    std::function<std::string(const TPoint&)> Fault;
    int Status;  // -1: killed
  };
  const std::vector<TKind> kinds = {
      {"Fehler",
       [](const TPoint& p) {
         // A failure that ends the run: a rejected ALTER or DOCUMENT row ends
         // it at once, an I/O failure drops the engine's transaction.
         const bool endsAlone = std::string(p.Step).find("FTIWID") == std::string::npos;
         return FaultAt(p, endsAlone ? "constraint" : "ioerror");
       },
       1},
      {"SIGTERM", [](const TPoint& p) { return FaultAt(p, "term"); }, 143},
      {"SIGKILL", [](const TPoint& p) { return FaultAt(p, "kill"); }, -1},
  };
  for (const TKind& kind : kinds) {
    for (const TPoint& point : Points()) {
      SCOPED_TRACE(std::string(kind.Name) + " " + point.Name);
      fs::remove_all(FDir / "v5");
      fs::remove_all(FDir / "out");
      fs::remove_all(Common());
      fs::create_directories(FDir / "out");
      MakeArchives();
      Prepare("Provider=SQLite;Data Source=" + Target());
      const TArchiveDump before = DumpArchive(FConnectionString);
      const auto common = CommonFiles(Common());

      const auto run = RunWith(kind.Fault(point));
      if (kind.Status < 0) {
        EXPECT_EQ(run.Status, 128 + SIGKILL) << run.Err;
      } else {
        EXPECT_EQ(run.Status, kind.Status) << run.Err;
        const std::string log = test::ReadFile(SettingsLog());
        EXPECT_NE(log.find("Es wurde nichts geändert"), std::string::npos) << log;
        EXPECT_EQ(log.find("Import/Konvertierung abgeschlossen"), std::string::npos) << log;
      }
      EXPECT_EQ(DumpArchive(FConnectionString), before);
      EXPECT_EQ(CommonFiles(Common()), common);
      ExpectTheSameCommandConverts(before);
    }
  }
}

// Killed after the commit, before its files are in place: the one moment
// that no order of commit and file placement closes. The target is
// converted; the record beside it holds the files, and the same command puts
// them in place and ends as converted, without converting again.
TEST_F(AtomicRun, KilledAfterTheCommitTheSameCommandPutsTheFilesInPlace) {
  MakeArchives();
  Prepare("Provider=SQLite;Data Source=" + Target());
  const TArchiveDump before = DumpArchive(FConnectionString);
  const auto killed = RunWith("aftercommit|kill|0|1|");
  EXPECT_EQ(killed.Status, 128 + SIGKILL) << killed.Err;
  EXPECT_EQ(Count(DumpArchive(FConnectionString), "DOCUMENT"), "40");
  EXPECT_TRUE(fs::exists(Record()));
  EXPECT_FALSE(fs::exists(Common() + "/Layouts/archiv61.lay"));
  EXPECT_EQ(test::ReadFile(Common() + "/PROJECT.itm"), "Altbestand\r\n");
  const auto check =
      test::RunProgram({ARCPORT5_FAULTS_EXE, "--check", Source(), Settings()}, Options());
  EXPECT_NE(check.Out.find(Record() + "\" eines mit --atomic beendeten Laufs liegt vor"),
            std::string::npos)
      << check.Out;

  ExpectTheSameCommandConverts(before);
  const std::string log = test::ReadFile(SettingsLog());
  EXPECT_NE(log.find("vor dem Ablegen seiner Dateien beendet"), std::string::npos) << log;
  EXPECT_EQ(log.find("Daten kopieren"), std::string::npos) << log;
}

// A commit whose answer is lost but that happened: the run settles its own
// record at once, puts the files in place and ends as converted.
TEST_F(AtomicRun, ACommitThatHappenedDespiteItsErrorEndsAsConverted) {
  MakeArchives();
  Prepare("Provider=SQLite;Data Source=" + Target());
  const auto run = RunWith("aftercommit|ioerror|0|1|");
  EXPECT_EQ(run.Status, 0) << run.Err;
  const std::string log = test::ReadFile(SettingsLog());
  const size_t saved = log.find("trotz des Fehlers gespeichert");
  ASSERT_NE(saved, std::string::npos) << log;
  EXPECT_NE(log.find("Import/Konvertierung abgeschlossen", saved), std::string::npos) << log;
  EXPECT_EQ(log.find("Es wurde nichts geändert"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(Record()));
  EXPECT_EQ(Count(DumpArchive(FConnectionString), "DOCUMENT"), "40");
  EXPECT_NE(test::ReadFile(Common() + "/Layouts/archiv61.lay").find(",Doc,DOCNO,"),
            std::string::npos);
}

// A record whose sizes do not fit its bytes is refused as damaged, naming
// the file, however large the size it claims.
TEST_F(AtomicRun, ARecordWithSizesBeyondItsBytesIsDamaged) {
  const std::string record = FDir / "out/archiv6.db.atomic";
  for (const std::string size :
       {"18446744073709551615", "18446744073709551614", "99999999999999999999999", "6", "3"}) {
    SCOPED_TRACE(size);
    test::WriteFile(record, "arcport5 --atomic 1\nconverted " + size + "\nabcd\nend\n");
    std::string converted;
    try {
      TPendingFiles::ReadRecord(record, converted);
      ADD_FAILURE() << "angenommen";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + record + "\" ist unvollständig oder beschädigt"),
                std::string::npos)
          << e.what();
    }
  }
}

// Leaves a hot journal on `db`: a process that changes more pages in one
// transaction than its cache holds, so that some reach the file, and is
// killed before the commit.
void LeaveHotJournal(const std::string& db) {
  const pid_t pid = fork();
  if (pid == 0) {
    sqlite3* h = nullptr;
    if (sqlite3_open(db.c_str(), &h) == SQLITE_OK &&
        sqlite3_exec(h,
                     "PRAGMA cache_size=2; BEGIN; CREATE TABLE BALLAST(X); "
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<2000) "
                     "INSERT INTO BALLAST SELECT randomblob(500) FROM n;",
                     nullptr, nullptr, nullptr) == SQLITE_OK)
      raise(SIGKILL);
    _exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  ASSERT_TRUE(fs::exists(db + "-journal"));
}

// A run killed in its commit leaves a hot journal beside the record; with
// nothing opening the target in between, the next run on the file itself
// rolls the journal back, settles the record either way and ends as
// converted.
TEST_F(AtomicRun, AHotJournalBesideTheRecordIsRolledBackAndTheRecordSettled) {
  const std::string converted = "20260101120000 converted from paradox archive";
  struct TCase {
    const char* Name;
    bool Committed;  // the target holds the recorded "Converted"
    const char* LogLine;
  };
  for (const TCase& c : {TCase{"zurückgenommen", false, "blieb unverändert"},
                         TCase{"gespeichert", true, "vor dem Ablegen seiner Dateien beendet"}}) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(FDir / "v5");
    fs::remove_all(FDir / "out");
    fs::remove_all(Common());
    fs::create_directories(FDir / "out");
    fs::create_directories(Common());
    MakeArchives();
    if (c.Committed) {
      ASSERT_EQ(test::Query(Target(),
                            "INSERT INTO DBOPTION (OPTNAME, OPTVALUE) VALUES "
                            "('Converted', '" +
                                converted + "') RETURNING OPTNAME"),
                "Converted");
    }
    const std::string layout = Common() + "/Layouts/archiv6.lay";
    TPendingFiles files;
    files.Add(layout, "die Maske des Laufs\r\n", false);
    files.WriteRecord(Target() + ".atomic", converted);
    LeaveHotJournal(Target());

    const auto run = Run({"--exit-status", "--atomic", Source(), Target()});
    EXPECT_EQ(run.Status, 0) << run.Err;
    const std::string log = test::ReadFile(Log());
    EXPECT_NE(log.find(c.LogLine), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(Target() + ".atomic"));
    EXPECT_FALSE(fs::exists(Target() + "-journal"));
    EXPECT_EQ(test::Query(Target(), "SELECT COUNT(*) FROM sqlite_master WHERE name='BALLAST'"),
              "0");
    if (c.Committed) {
      EXPECT_EQ(test::ReadFile(layout), "die Maske des Laufs\r\n");
      EXPECT_EQ(log.find("Daten kopieren"), std::string::npos) << log;
    } else {
      // the run's own layout copy, not the dropped record's
      EXPECT_NE(test::ReadFile(layout).find(",Doc,DOCNO,"), std::string::npos);
      EXPECT_EQ(test::Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "40");
    }
  }
}

// The same on a server archive: a failure in the FTIWID copy and a kill
// during it leave the server's tables and the common files as they were.
TEST_F(AtomicRun, OnAServerFailedOrKilledChangesNothingAndCanBeRunAgain) {
  DK_SKIP_WITHOUT_PG_SERVER();
  const TPoint& ftiwid = Points()[3];
  for (const std::string kind : {"ioerror", "kill"}) {
    SCOPED_TRACE(kind);
    fs::remove_all(FDir / "v5");
    fs::remove_all(FDir / "out");
    fs::remove_all(Common());
    fs::create_directories(FDir / "out");
    MakeArchives();
    test::TTestDatabase database(test::TTestDatabase::TMode::NameOnly);
    test::WriteFile(FDir / "out/make.dkcs",
                    "[AdoConnection]\r\nConnectionString=" + database.ConnectionString() + "\r\n");
    const auto made = test::RunProgram({DKL_MKARCHIVE_EXE, FDir / "out/make.dkcs"}, Options());
    ASSERT_EQ(made.Status, 0) << made.Err;
    Prepare(database.ConnectionString());
    const TArchiveDump before = DumpArchive(FConnectionString);
    const auto common = CommonFiles(Common());

    const auto run = RunWith(FaultAt(ftiwid, kind));
    EXPECT_EQ(run.Status, kind == "kill" ? 128 + SIGKILL : 1) << run.Err;
    EXPECT_EQ(DumpArchive(FConnectionString), before);
    EXPECT_EQ(CommonFiles(Common()), common);
    ExpectTheSameCommandConverts(before);
  }
}

}  // namespace
}  // namespace dk
