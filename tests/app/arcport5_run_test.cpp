// arcport5 as a script and a person meet it: the real program on generated
// archives, its exit status, its log file, its summary, interruption, a full
// disk, the messages that name what is wrong and the check that writes nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "arcport5_sandbox.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

class Arcport5Run : public test::TArcport5Sandbox {};

using test::Query;
using test::Snapshot;

TEST_F(Arcport5Run, ExitStatusIsZeroByDefaultAndTellsTheOutcomeWhenAsked) {
  MakeArchives();
  test::WriteFile(FDir / "out/kaputt.db", "no database");
  struct Case {
    std::vector<std::string> Args;
    int Default, WithExitStatus;
  } cases[] = {
      {{}, 0, 2},                                          // the information box
      {{FDir / "fehlt", Target()}, 0, 2},                  // no source
      {{Source(), FDir / "out/fehlt.db"}, 0, 2},           // no target
      {{Source(), FDir / "out/kaputt.db"}, 0, 1},          // the run fails: banner
      {{Source(), Target(), "extra", "--ignored"}, 0, 0},  // converted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args.empty() ? "(none)" : c.Args.back());
    std::vector<std::string> withStatus = c.Args;
    withStatus.insert(withStatus.begin(), "--exit-status");
    const auto asked = Run(withStatus);
    EXPECT_EQ(asked.Status, c.WithExitStatus) << asked.Err;
    // Without the option: 0, for the converted target's refusal of a second
    // conversion (banner) as well.
    const auto plain = Run(c.Args);
    EXPECT_EQ(plain.Status, c.Default) << plain.Err;
  }
  EXPECT_NE(test::ReadFile(FDir / "out/kaputt.log").find("*** Fehler ***"), std::string::npos);
}

TEST_F(Arcport5Run, ConvertsAndSummarisesWithoutRedrawsAndKeepsEarlierLogs) {
  MakeArchives();
  auto run = Run({"--exit-status", Source(), Target()});
  ASSERT_EQ(run.Status, 0) << run.Err;
  const std::string first = test::ReadFile(Log());
  EXPECT_NE(first.find("Import/Konvertierung abgeschlossen"), std::string::npos);
  // The summary on stdout; stderr (no terminal) has plain lines, no redraws.
  EXPECT_NE(run.Out.find("Konvertierung abgeschlossen nach "), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("  FTIWID           800 Zeilen\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("Problemzeilen im Protokoll (*** und übersprungene Zeilen): 0"),
            std::string::npos);
  EXPECT_NE(run.Out.find("Protokoll: " + Log()), std::string::npos);
  EXPECT_EQ(run.Err.find('\x1b'), std::string::npos);
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWID"), "800");

  // A second and a third run: refused as converted, each keeps the log before.
  for (int n = 1; n <= 2; ++n) {
    const std::string before = test::ReadFile(Log());
    run = Run({Source(), Target()});
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(test::ReadFile(FDir / ("out/archiv6." + std::to_string(n) + ".log")), before);
    const std::string log = test::ReadFile(Log());
    EXPECT_NE(log.find("wurde bereits konvertiert (Option Converted: ["), std::string::npos) << log;
    EXPECT_NE(log.find("dkl-mkarchive"), std::string::npos);
  }
  EXPECT_EQ(test::ReadFile(FDir / "out/archiv6.1.log"), first);
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWID"), "800");  // nothing appended twice
  for (const auto& e : fs::directory_iterator(FDir / "out"))
    EXPECT_NE(e.path().filename().string()[0], '~') << e.path();
}

TEST_F(Arcport5Run, MessagesNameThePathAndSayWhatToDo) {
  MakeArchives();
  test::WriteFile(FDir / "datei.txt", "x");
  fs::create_directories(FDir / "ordner.db");
  // A SQLite file that is no archive.
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(std::string(FDir / "out/leer.db").c_str(), &h), SQLITE_OK);
  sqlite3_exec(h, "CREATE TABLE NOTIZEN (X)", nullptr, nullptr, nullptr);
  sqlite3_close(h);
  struct Case {
    std::vector<std::string> Args;
    int Status;
    std::string Text;
    bool Logged;
  } cases[] = {
      {{Source(), FDir / "ordner.db"},
       2,
       "Die Zieldatenbank \"" + FDir / "ordner.db" + "\" ist ein Verzeichnis.",
       false},
      {{FDir / "datei.txt", Target()},
       2,
       "Das Quellverzeichnis \"" + FDir / "datei.txt" + "\" ist eine Datei.",
       false},
      {{Source(), FDir / "out/leer.db"},
       1,
       "\"" + FDir / "out/leer.db" +
           "\" ist eine SQLite-Datei ohne die Tabellen eines "
           "Archivs (es fehlt die Tabelle DOCUMENT). Ein "
           "leeres Archiv der Version 6 legt dkl-mkarchive an.",
       true},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.Args;
    args.insert(args.begin(), "--exit-status");
    const auto run = Run(args);
    EXPECT_EQ(run.Status, c.Status) << run.Err;
    EXPECT_NE(run.Err.find(c.Text), std::string::npos) << run.Err;
    if (c.Logged) {
      EXPECT_NE(test::ReadFile(FDir / "out/leer.log").find(c.Text), std::string::npos);
    }
  }
  EXPECT_EQ(Query(FDir / "out/leer.db", "SELECT COUNT(*) FROM sqlite_master"), "1");

  // Locked by another program: it holds the write lock for the whole run.
  ASSERT_EQ(sqlite3_open(Target().c_str(), &h), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto run = Run({"--exit-status", Source(), Target()});
  sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(h);
  EXPECT_EQ(run.Status, 1);
  EXPECT_NE(test::ReadFile(Log()).find("Die Zieldatenbank \"" + Target() +
                                       "\" ist von einem anderen Programm gesperrt."),
            std::string::npos);
  EXPECT_EQ(run.Err.find("keine lesbare SQLite-Datenbank"), std::string::npos);

  // A folder the run may not write to (root may write anywhere).
  if (geteuid() != 0) {
    fs::permissions(FDir / "out", fs::perms::owner_write, fs::perm_options::remove);
    run = Run({"--exit-status", Source(), Target()});
    fs::permissions(FDir / "out", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Err.find("Der Ordner \"" + FDir / "out/" + "\" der Zieldatenbank"),
              std::string::npos)
        << run.Err;
    EXPECT_NE(run.Err.find("ist nicht beschreibbar"), std::string::npos);
  }
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "0");
}

TEST_F(Arcport5Run, AFullDiskLeavesTheWholeLogOnStderrAndNoCutLog) {
  MakeArchives();
  test::WriteFile(Log(), "the log of an earlier run\r\n");
  auto options = Options();
  options.FileSizeLimit = 0;  // every write to a file fails, as on a full disk
  const auto run = Run({Source(), Target()}, options);
  EXPECT_EQ(run.Status, 3);  // also without --exit-status: the log is lost otherwise
  EXPECT_NE(run.Err.find("Das Protokoll \"" + Log() + "\" kann nicht geschrieben werden"),
            std::string::npos)
      << run.Err;
  const size_t from = run.Err.find("Das vollständige Protokoll folgt.");
  ASSERT_NE(from, std::string::npos);
  const std::string logged = run.Err.substr(from);
  EXPECT_NE(logged.find("Konvertiere altes Archiv " + Source() + "/ nach " + Target()),
            std::string::npos);
  EXPECT_NE(logged.find("******************* Fehler *********************"), std::string::npos);
  // The earlier log stays as it was; no empty or cut file, no temporary file.
  EXPECT_EQ(test::ReadFile(Log()), "the log of an earlier run\r\n");
  for (const auto& e : fs::directory_iterator(FDir / "out")) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "archiv6.db" || name == "archiv6.log") << name;
  }
}

TEST_F(Arcport5Run, SigintStopsAtTheNextRowAndKeepsWhatWasCommitted) {
  MakeBigArchives();
  test::TChildProcess child({ARCPORT5_EXE, "--exit-status", Source(), Target()}, Options());
  ASSERT_TRUE(child.WaitForErr("Daten übernehmen, Tabelle: FTIWID", std::chrono::seconds(120)))
      << child.Err();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(), 130) << child.Err();
  EXPECT_FALSE(child.Signaled());

  const std::string log = test::ReadFile(Log());
  EXPECT_NE(log.find("******************* Fehler *********************"), std::string::npos);
  const std::string head = "Konvertierung abgebrochen durch SIGINT in Tabelle FTIWID nach ";
  const size_t at = log.find(head);
  ASSERT_NE(at, std::string::npos) << log;
  const long rows = std::stol(log.substr(at + head.size()));
  EXPECT_GT(rows, 0);
  EXPECT_LT(rows, 300000);
  EXPECT_NE(log.find(" von 300000 Zeilen; die Zieldatenbank ist damit teilweise konvertiert"),
            std::string::npos);
  EXPECT_EQ(Query(Target(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWID"), std::to_string(rows));
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "400");
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DBOPTION WHERE OPTNAME='Converted'"), "0");
  EXPECT_NE(child.Out().find("Konvertierung abgebrochen (SIGINT)"), std::string::npos);
  EXPECT_NE(child.Out().find("FTIWID     "), std::string::npos);
}

TEST_F(Arcport5Run, ASecondSigintEndsAtOnceAndTheTargetStaysConsistent) {
  MakeBigArchives();
  test::TChildProcess child({ARCPORT5_EXE, Source(), Target()}, Options());
  ASSERT_TRUE(child.WaitForErr("Daten übernehmen, Tabelle: FTIWID", std::chrono::seconds(120)));
  // SIGTERM asks to stop; the SIGINT right after it does not wait.
  child.Signal(SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  child.Signal(SIGINT);
  child.Wait();
  EXPECT_TRUE(child.Signaled()) << child.Err();
  EXPECT_EQ(Query(Target(), "PRAGMA integrity_check"), "ok");
}

TEST_F(Arcport5Run, CheckReadsEverythingFindsDamageAndWritesNothing) {
  MakeArchives();
  // DOCUMENT.MB zeroed behind its header, FTIWID.DB gone.
  const std::string mb = Source() + "/DOCUMENT.MB";
  std::string bytes = test::ReadFile(mb);
  ASSERT_GT(bytes.size(), 4096u);
  std::fill(bytes.begin() + 4096, bytes.end(), '\0');
  test::WriteFile(mb, bytes);
  fs::remove(Source() + "/FTIWID.DB");

  const auto before = Snapshot(FDir.Path());
  auto run = Run({"--check", Source(), Target()});
  EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
  EXPECT_EQ(Snapshot(FDir.Path()), before);  // target, source, common, registry alike
  EXPECT_NE(run.Out.find("DOCUMENT.MB"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("Tabelle FTIWID: "), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("Befunde ("), std::string::npos);

  // An intact pair: no findings, status 0, still nothing written.
  fs::remove_all(FDir / "v5");
  WriteLegacyArchive(Source(), {});
  const auto intact = Snapshot(FDir.Path());
  run = Run({"--check", Source(), Target()});
  EXPECT_EQ(run.Status, 0) << run.Out;
  EXPECT_NE(run.Out.find("Keine Befunde"), std::string::npos);
  EXPECT_NE(run.Out.find("800 Zeilen aus FTIWID kopieren"), std::string::npos);
  EXPECT_EQ(Snapshot(FDir.Path()), intact);
}

}  // namespace
}  // namespace dk
