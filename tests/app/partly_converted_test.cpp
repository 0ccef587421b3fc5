// A target that a conversion left unfinished (a failure in the middle, a stop
// request): the next run on it is refused with one message saying what
// happened and what to do, before it writes anything (no second layout copy,
// no column, no row), and --check reports it as a finding.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "arcport5_sandbox.h"
#include "data/connection.h"
#include "data/query.h"
#include "support/pg_server.h"
#include "sys/text.h"

namespace dk {
namespace {

namespace fs = std::filesystem;
using test::Query;
using test::Snapshot;

const char* const kPartly = "teilweise konvertiert";
const char* const kAdvice = "Legen Sie mit dkl-mkarchive ein neues leeres Archiv an";

void Exec(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &error);
  const std::string text = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(h);
  ASSERT_EQ(rc, SQLITE_OK) << text;
}

class PartlyConverted : public test::TArcport5Sandbox {
 protected:
  // The refused rerun on `target`: --check finds it, the run refuses it with
  // the message in its log, and neither writes into the target or the
  // common folder. `snapshot` gives the target's content.
  void ExpectRerunRefused(const std::string& target, const std::string& log,
                          const std::function<std::map<std::string, std::string>()>& snapshot,
                          const std::vector<std::string>& signs) {
    const auto before = snapshot();
    const auto common = Snapshot(FDir / "common");
    const auto check = Run({"--check", Source(), target});
    EXPECT_EQ(check.Status, 1) << check.Out << check.Err;
    EXPECT_NE(check.Out.find(kPartly), std::string::npos) << check.Out;
    EXPECT_EQ(check.Out.find("Keine Befunde"), std::string::npos) << check.Out;

    const auto rerun = Run({"--exit-status", Source(), target});
    EXPECT_EQ(rerun.Status, 1) << rerun.Err;
    const std::string text = test::ReadFile(log);
    EXPECT_NE(text.find("Die Zieldatenbank \"" + target + "\" ist von einer früheren"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(kAdvice), std::string::npos) << text;
    for (const std::string& sign : signs) EXPECT_NE(text.find(sign), std::string::npos) << sign;
    // Refused before the first stage that writes.
    EXPECT_EQ(text.find("nicht-Standard Datenfelder"), std::string::npos) << text;
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(Snapshot(FDir / "common"), common);
  }

  std::map<std::string, std::string> TargetFiles() {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(FDir / "out"))
      if (e.path().extension() != ".log")
        files[e.path().string()] = test::ReadFile(e.path().string());
    return files;
  }

  std::unique_ptr<test::TChildProcess> StartAt(const std::string& stage) {
    auto child = std::make_unique<test::TChildProcess>(
        std::vector<std::string>{ARCPORT5_EXE, "--exit-status", Source(), Target()}, Options());
    EXPECT_TRUE(child->WaitForErr(stage, std::chrono::seconds(120))) << child->Err();
    return child;
  }
};

// The first run fails (or is stopped) in one of its stages; what it leaves
// is recognised whichever stage it was.
TEST_F(PartlyConverted, ARerunAfterAFailedRunIsRefusedAndWritesNothing) {
  struct TCase {
    const char* Stage;
    std::function<void()> Fail;  // makes the first run end early
    std::vector<std::string> Signs;
  };
  const std::vector<TCase> cases = {
      // FLDTEMPL has KUNDE already: its ALTER fails after MYNAMES was added.
      {"ALTER",
       [this] {
         Exec(Target(), "ALTER TABLE FLDTEMPL ADD KUNDE TEXT(40)");
         const auto run = Run({"--exit-status", Source(), Target()});
         EXPECT_EQ(run.Status, 1) << run.Err;
       },
       {"die Spalte MYNAMES"}},
      // The target refuses the 20th document.
      {"DOCUMENT",
       [this] {
         Exec(Target(),
              "CREATE TRIGGER refuse BEFORE INSERT ON DOCUMENT WHEN NEW.DOCID = 20 "
              "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END");
         const auto run = Run({"--exit-status", Source(), Target()});
         EXPECT_EQ(run.Status, 1) << run.Err;
         EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "19");
       },
       {"die Spalte MYNAMES", "die Option LayoutFile nennt schon die Layoutkopie",
        "DOCUMENT enthält schon 19 Dokumente"}},
      // Stopped while FTIWID is copied: the stop's line says the target is
      // now partly converted.
      {"FTIWID",
       [this] {
         auto child = StartAt("Daten übernehmen, Tabelle: FTIWID");
         child->Signal(SIGTERM);
         EXPECT_EQ(child->Wait(), 143) << child->Err();
         const std::string log = test::ReadFile(Log());
         // The stop may meet FTIWID while it is sorted or while it is copied.
         EXPECT_NE(log.find("Konvertierung abgebrochen durch SIGTERM in Tabelle FTIWID "),
                   std::string::npos)
             << log;
         EXPECT_NE(log.find("die Zieldatenbank ist damit teilweise konvertiert, und die "
                            "Konvertierung kann dort nicht fortgesetzt werden. " +
                            std::string(kAdvice)),
                   std::string::npos)
             << log;
       },
       {"DOCUMENT enthält schon 400 Dokumente"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Stage);
    fs::remove_all(FDir / "v5");
    fs::remove_all(FDir / "out");
    fs::remove_all(FDir / "common");
    fs::create_directories(FDir / "out");
    fs::create_directories(FDir / "common");
    if (std::string(c.Stage) == "FTIWID")
      MakeBigArchives();
    else
      MakeArchives();
    c.Fail();
    EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DBOPTION WHERE OPTNAME='Converted'"), "0");
    ExpectRerunRefused(
        Target(), Log(), [this] { return TargetFiles(); }, c.Signs);
  }
}

// A fresh archive passes: no sign of an earlier run, the conversion runs.
TEST_F(PartlyConverted, AFreshArchiveIsNoPartlyConvertedOne) {
  MakeArchives();
  const auto check = Run({"--check", Source(), Target()});
  EXPECT_EQ(check.Status, 0) << check.Out;
  EXPECT_EQ(check.Out.find(kPartly), std::string::npos);
  const auto run = Run({"--exit-status", Source(), Target()});
  EXPECT_EQ(run.Status, 0) << run.Err;
}

// The same on a server archive: a run that failed in the ALTER stage is
// refused the second time, and the server's tables stay as they were.
TEST_F(PartlyConverted, ARerunOnAServerArchiveIsRefusedAndWritesNothing) {
  DK_SKIP_WITHOUT_PG_SERVER();
  test::TTestDatabase database(test::TTestDatabase::TMode::NameOnly);
  MakeArchives();
  const std::string settings = FDir / "out/serverarchiv.dkcs";
  test::WriteFile(settings,
                  "[AdoConnection]\r\nConnectionString=" + database.ConnectionString() + "\r\n");
  const auto made = test::RunProgram({DKL_MKARCHIVE_EXE, settings}, Options());
  ASSERT_EQ(made.Status, 0) << made.Err;
  test::ExecOnTestServer(database.Name(), "ALTER TABLE FLDTEMPL ADD KUNDE CHAR(40)");
  const auto first = Run({"--exit-status", Source(), settings});
  EXPECT_EQ(first.Status, 1) << first.Err;

  const auto serverContent = [&] {
    std::map<std::string, std::string> content;
    TConnection connection;
    connection.SetConnectionString(database.ConnectionString());
    connection.Open();
    for (const TSchemaTable& table : ArchiveTables()) {
      if (!connection.TableInfo(table.Name).Exists) continue;
      TQuery query;
      query.SetConnection(&connection);
      query.SetSQLText(std::string("SELECT * FROM ") + table.Name);
      query.Open();
      std::string& text = content[table.Name];
      for (int i = 0; i < query.FieldCount(); ++i) text += query.Fields(i).FieldName() + ";";
      for (; !query.Eof(); query.Next())
        for (int i = 0; i < query.FieldCount(); ++i) text += "|" + query.Fields(i).AsString();
    }
    return content;
  };
  ExpectRerunRefused(settings, FDir / "out/serverarchiv.log", serverContent,
                     {"die Spalte MYNAMES"});
}

}  // namespace
}  // namespace dk
