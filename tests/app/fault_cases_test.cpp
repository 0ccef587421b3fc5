// arcport5 when the world fails under it: the source table is cut short, another program holds the
// target for a while, the process is killed at any moment. Whatever happens the run says so (a
// clear line in its log, the failure banner, a failing exit status), keeps every row it committed
// before the fault, leaves a target that passes SQLite's integrity check and never touches the
// legacy archive.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "arcport5_sandbox.h"
#include "sys/text.h"

namespace dk {
namespace {

namespace fs = std::filesystem;
using test::Query;
using test::Snapshot;

const char* const kBanner = "******************* Fehler *********************";

class FaultCases : public test::TArcport5Sandbox {
 protected:
  // A run of the big archive started in the background, once FTIWID (the
  // largest table, several seconds of work) is being copied.
  std::unique_ptr<test::TChildProcess> StartAtFtiwid(test::TChildOptions options) {
    return StartAt("Daten übernehmen, Tabelle: FTIWID", Target(), options);
  }
  std::unique_ptr<test::TChildProcess> StartAt(const std::string& stage, const std::string& target,
                                               test::TChildOptions options) {
    auto child = std::make_unique<test::TChildProcess>(
        std::vector<std::string>{ARCPORT5_EXE, "--exit-status", Source(), target}, options);
    EXPECT_TRUE(child->WaitForErr(stage, std::chrono::seconds(120))) << child->Err();
    return child;
  }

  // Another program's read transaction on the target: it holds back every
  // commit until it ends (COMMIT, then sqlite3_close).
  sqlite3* HoldReadLock() {
    sqlite3* reader = nullptr;
    if (sqlite3_open_v2(Target().c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_busy_timeout(reader, 10000) != SQLITE_OK ||
        sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM DOCUMENT;", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
      sqlite3_close(reader);
      return nullptr;
    }
    return reader;
  }

  // Options of a run under the library that injects file system faults.
  test::TChildOptions PreloadOptions() {
    auto options = Options();
    options.Env["LD_PRELOAD"] = DK_FAULT_PRELOAD;
    // The preloaded library comes before the sanitizer runtime of a sanitizer build.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.Env["ASAN_OPTIONS"] =
        std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    return options;
  }

  // The source's file of that name, whatever its case.
  fs::path SourceFile(const std::string& name) {
    for (const auto& e : fs::directory_iterator(Source()))
      if (AsciiLower(e.path().filename().string()) == AsciiLower(name)) return e.path();
    return {};
  }

  void ExpectConsistentAndUnconverted() {
    EXPECT_EQ(Query(Target(), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DBOPTION WHERE OPTNAME='Converted'"), "0");
  }
};

// The target may not grow past a few megabytes: the FTIWID copy meets a
// failing write. The engine drops the open batch; that is no failure of one
// row but lost rows, so the run stops there and fails, and no row counts as
// copied that is not in the target.
TEST_F(FaultCases, AFullDiskEndsTheRunAsFailedAndKeepsWhatWasCommitted) {
  MakeBigArchives();
  const auto before = Snapshot(Source());
  auto options = Options();
  options.FileSizeLimit = 4 << 20;
  const auto run = Run({"--exit-status", Source(), Target()}, options);
  EXPECT_EQ(run.Status, 1) << run.Err;
  const std::string log = test::ReadFile(Log());
  EXPECT_NE(log.find(kBanner), std::string::npos) << log;
  EXPECT_NE(log.find("bereits gespeicherte Datensätze sind nicht geschrieben worden"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Import/Konvertierung abgeschlossen"), std::string::npos);
  ExpectConsistentAndUnconverted();
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "400");
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWORD"), "1000");
  // The summary claims no more FTIWID rows than the target holds and counts
  // the others as lost (all of them when the disk fills at the commit).
  const std::string kept = Query(Target(), "SELECT COUNT(*) FROM FTIWID");
  EXPECT_NE(kept, "300000");
  EXPECT_TRUE(std::regex_search(
      run.Out, std::regex("FTIWID +" + kept + "( von 300000)? Zeilen, [1-9][0-9]* verloren")))
      << kept << "\n"
      << run.Out;
  EXPECT_EQ(Snapshot(Source()), before);
}

// The legacy table is cut short during the run (a copy on a share that went
// away, a file overwritten by a restore): the run names the file and the
// fault and keeps what it copied. FTIWID is cut when the DOCUMENT copy first
// opens DOCUMENT.MB, after the run counted every table and before it reads
// FTIWID (which it reads whole before writing, to write in key order).
TEST_F(FaultCases, ASourceTableCutDuringTheRunIsNamedAndTheCopiedRowsStay) {
  MakeBigArchives();
  const fs::path ftiwid = SourceFile("FTIWID.DB");
  const fs::path documentMemo = SourceFile("DOCUMENT.MB");
  ASSERT_FALSE(ftiwid.empty());
  ASSERT_FALSE(documentMemo.empty());
  const auto fullSize = fs::file_size(ftiwid);
  auto options = PreloadOptions();
  options.Env["DK_VANISH_ON_OPEN"] = fs::canonical(documentMemo).string();
  options.Env["DK_CUT_FILES"] = fs::canonical(ftiwid).string();
  const auto run = Run({"--exit-status", Source(), Target()}, options);
  EXPECT_EQ(run.Status, 1) << run.Err;
  EXPECT_EQ(fs::file_size(ftiwid), fullSize / 4);
  const std::string log = test::ReadFile(Log());
  EXPECT_NE(log.find(kBanner), std::string::npos);
  EXPECT_NE(log.find(ftiwid.string()), std::string::npos) << log;
  EXPECT_NE(log.find("abgeschnitten"), std::string::npos) << log;
  ExpectConsistentAndUnconverted();
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "400");
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWORD"), "1000");
}

// Another program reads the target for a while (its read lock holds back
// every commit): the run waits and ends complete.
TEST_F(FaultCases, ATargetLockedForAWhileOnlyDelaysTheRun) {
  MakeBigArchives();
  auto child = StartAtFtiwid(Options());
  sqlite3* reader = HoldReadLock();
  ASSERT_NE(reader, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  EXPECT_EQ(child->Wait(), 0) << child->Err();
  EXPECT_EQ(Query(Target(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWID"), "300000");
}

// The target's file system turns read-only in the middle of the FTIWID copy
// (as after an I/O error the kernel remounts it): the run fails, the log that
// cannot be written lands whole on stderr, the earlier log stays, and once
// the file system is back the target is consistent with every row committed
// before the fault.
TEST_F(FaultCases, ATargetTurningReadOnlyEndsTheRunWithTheLogOnStderr) {
  MakeBigArchives();
  const auto before = Snapshot(Source());
  test::WriteFile(Log(), "the log of an earlier run\r\n");
  auto options = PreloadOptions();
  const std::string trigger = FDir / "read-only-now";
  options.Env["DK_READONLY_DIR"] = fs::canonical(FDir / "out").string();
  options.Env["DK_READONLY_TRIGGER"] = trigger;
  auto child = StartAtFtiwid(options);
  test::WriteFile(trigger, "");
  EXPECT_EQ(child->Wait(), 3) << child->Err();  // the status of a log that could not be written
  EXPECT_EQ(test::ReadFile(Log()), "the log of an earlier run\r\n");
  const std::string err = child->Err();
  EXPECT_NE(err.find("\"" + Log() + "\" kann nicht geschrieben werden"), std::string::npos) << err;
  EXPECT_NE(err.find(kBanner), std::string::npos) << err;
  EXPECT_NE(err.find("Daten übernehmen, Tabelle: FTIWID"), std::string::npos) << err;
  ExpectConsistentAndUnconverted();
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "400");
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWORD"), "1000");
  EXPECT_EQ(Snapshot(Source()), before);
}

// The FTIWID table vanishes after the run has counted it and before its
// copy (a share that went away, a restore in progress): the run names the
// missing file and fails, keeping the tables it copied.
TEST_F(FaultCases, ASourceTableVanishingDuringTheRunIsNamed) {
  MakeBigArchives();
  const fs::path ftiwid = SourceFile("FTIWID.DB");
  const fs::path documentMemo = SourceFile("DOCUMENT.MB");
  ASSERT_FALSE(ftiwid.empty());
  ASSERT_FALSE(documentMemo.empty());
  auto options = PreloadOptions();
  // The DOCUMENT memo file is first opened by the copy of DOCUMENT, after the
  // tables were counted.
  options.Env["DK_VANISH_ON_OPEN"] = fs::canonical(documentMemo).string();
  options.Env["DK_VANISH_FILES"] = fs::canonical(ftiwid).string();
  const auto run = Run({"--exit-status", Source(), Target()}, options);
  EXPECT_EQ(run.Status, 1) << run.Err;
  EXPECT_FALSE(fs::exists(ftiwid));
  const std::string log = test::ReadFile(Log());
  EXPECT_NE(log.find(kBanner), std::string::npos) << log;
  EXPECT_NE(log.find("Tabelle \"FTIWID\" nicht gefunden (keine Datei FTIWID.DB)"),
            std::string::npos)
      << log;
  ExpectConsistentAndUnconverted();
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "400");
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM FTIWORD"), "1000");
}

// A damaged legacy table (the archive's own tables, damaged as a failing
// disk or an aborted copy leaves them): each run fails with the file and the
// fault in the log, the target consistent and unconverted, the source as it
// was, and not a row written: the damage is found before the first change.
TEST_F(FaultCases, ADamagedLegacyTableEndsTheRunNamingFileAndFault) {
  const auto u16 = [](std::string& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v & 0xff);
    b[at + 1] = static_cast<char>(v >> 8);
  };
  const auto headerSize = [](const std::string& b) {
    return static_cast<size_t>(static_cast<uint8_t>(b[2]) | static_cast<uint8_t>(b[3]) << 8);
  };
  const auto blockSize = [](const std::string& b) { return static_cast<size_t>(b[5]) * 1024; };
  struct TCase {
    const char* Table;
    const char* Damage;
    std::function<void(std::string&)> Apply;
    const char* Fault;
    const char* CopiedBefore;  // a table the run copies before the damaged one
  };
  const std::vector<TCase> cases = {
      {"DOCUMENT", "cut in its first block",
       [&](std::string& b) { b.resize(headerSize(b) + blockSize(b) / 2); }, "Datei abgeschnitten",
       nullptr},
      {"DOCVERS", "record length", [&](std::string& b) { u16(b, 0, 7); },
       "ungültiger Tabellenkopf: Datensatzlänge 7", "DOCUMENT"},
      {"TODO", "first block number", [&](std::string& b) { u16(b, 14, 0x7000); },
       "ungültiger Tabellenkopf: erster/letzter Block", "DOCVERS"},
      {"DOCPRTCL", "header size", [&](std::string& b) { u16(b, 2, 0xffff); },
       "ungültiger Tabellenkopf: Kopfgröße 65535", "DOCVERS"},
      {"FTIWID", "next-block pointer", [&](std::string& b) { u16(b, headerSize(b), 0x7fff); },
       "Blockkette beschädigt: Block 1 verweist auf Block 32767", "FTIWORD"},
      {"FTIWID", "data length of a block",
       [&](std::string& b) { u16(b, headerSize(b) + 4, static_cast<uint16_t>(blockSize(b) * 3)); },
       "Block 1 beschädigt: ungültige Datenlänge", "FTIWORD"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Table) + ", " + c.Damage);
    fs::remove_all(FDir / "v5");
    fs::remove(Target());
    fs::remove(Log());
    MakeArchives();
    const fs::path table = SourceFile(std::string(c.Table) + ".DB");
    ASSERT_FALSE(table.empty());
    std::string bytes = test::ReadFile(table.string());
    c.Apply(bytes);
    test::WriteFile(table.string(), bytes);
    const auto before = Snapshot(Source());

    const auto run = Run({"--exit-status", Source(), Target()});
    EXPECT_EQ(run.Status, 1) << run.Err;
    const std::string log = test::ReadFile(Log());
    EXPECT_NE(log.find(kBanner), std::string::npos) << log;
    EXPECT_NE(log.find(table.string() + ": "), std::string::npos) << log;
    EXPECT_NE(log.find(c.Fault), std::string::npos) << log;
    ExpectConsistentAndUnconverted();
    // Every table is looked at before the first change: not even the tables
    // before the damaged one are copied.
    if (c.CopiedBefore) {
      EXPECT_EQ(Query(Target(), std::string("SELECT COUNT(*) FROM ") + c.CopiedBefore), "0");
    }
    EXPECT_EQ(Snapshot(Source()), before);
  }
}

// Another program keeps reading the target and never lets go: the run does
// not wait for ever. Through a settings file with a short command time-out
// (the default waits 30 seconds per attempt), it ends as failed, names the
// locked file, and keeps what it committed before.
TEST_F(FaultCases, ATargetLockedForGoodEndsTheRunAndNamesTheFile) {
  MakeBigArchives();
  const auto before = Snapshot(Source());
  const std::string settings = FDir / "out/archiv6.dkcs";
  test::WriteFile(settings, "[AdoConnection]\r\nConnectionString=Provider=SQLite;Data Source=" +
                                Target() + "\r\nCommandTimeOut=1\r\n");
  auto child = StartAt("Daten übernehmen, Tabelle: DOCVERS", settings, Options());
  sqlite3* reader = HoldReadLock();
  ASSERT_NE(reader, nullptr);
  const int status = child->Wait();
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  EXPECT_EQ(status, 1) << child->Err();
  const std::string log = test::ReadFile(Log());
  EXPECT_NE(log.find(kBanner), std::string::npos) << log;
  EXPECT_NE(
      log.find("Die Zieldatenbank \"" + settings + "\" ist von einem anderen Programm gesperrt."),
      std::string::npos)
      << log;
  ExpectConsistentAndUnconverted();
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "400");
  EXPECT_EQ(Snapshot(Source()), before);
}

// Killed without warning at points spread over the run: each time the
// target is consistent, unconverted, and the earlier log is untouched.
TEST_F(FaultCases, KilledAtAnyMomentLeavesAConsistentTarget) {
  MakeBigArchives();
  test::WriteFile(Log(), "the log of an earlier run\r\n");
  const fs::path empty = FDir / "empty.db";
  fs::copy_file(Target(), empty);
  for (int delayMs : {30, 250, 600, 1200, 2000}) {
    SCOPED_TRACE(delayMs);
    fs::copy_file(empty, Target(), fs::copy_options::overwrite_existing);
    fs::remove(Target() + "-journal");
    test::TChildProcess child({ARCPORT5_EXE, "--exit-status", Source(), Target()}, Options());
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    child.Signal(SIGKILL);
    child.Wait();
    EXPECT_EQ(Query(Target(), "PRAGMA integrity_check"), "ok");
    if (!child.Signaled()) continue;  // a fast machine finished first
    EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DBOPTION WHERE OPTNAME='Converted'"), "0");
    EXPECT_EQ(test::ReadFile(Log()), "the log of an earlier run\r\n");
  }
}

}  // namespace
}  // namespace dk
