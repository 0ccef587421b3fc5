// The engine and dkl-pxdump leave the source directory as they found it, and
// the command answers with the documented exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "paradox/database.h"
#include "paradox/query.h"
#include "px_dump.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

std::string Samples(const std::string& sub) {
  return test::SharedDir() + "/paradox-samples/" + sub;
}

struct TFileState {
  std::string Content;
  int64_t MtimeNs;
  mode_t Mode;
  bool operator==(const TFileState& o) const {
    return Content == o.Content && MtimeNs == o.MtimeNs && Mode == o.Mode;
  }
};

// Every file below `dir` with its bytes, modification time and mode.
std::map<std::string, TFileState> Snapshot(const std::string& dir) {
  std::map<std::string, TFileState> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    EXPECT_EQ(::stat(e.path().c_str(), &st), 0);
    files[e.path().string()] = {
        e.is_regular_file() ? test::ReadFile(e.path().string()) : std::string(),
        static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, st.st_mode};
  }
  return files;
}

TEST(ReadOnly, ListingDumpingAndCountingChangeNothing) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  test::TTempDir dir;
  for (const char* sub : {"paradoxdriver/fields", "pxlib", "python-pxlib", "paradoxdriver/encrypt",
                          "paradoxreader-java"}) {
    const std::string to = dir / fs::path(sub).filename().string();
    fs::copy(Samples(sub), to, fs::copy_options::recursive);
  }
  // Files as a Windows archive has them: writable, with an old time stamp.
  for (const auto& e : fs::recursive_directory_iterator(dir.Path())) {
    fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
    if (e.is_regular_file())
      fs::last_write_time(e.path(),
                          fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  }
  const auto before = Snapshot(dir.Path());

  int tables = 0;
  for (const auto& sub : fs::directory_iterator(dir.Path())) {
    std::ostringstream list;
    std::vector<std::string> problems;
    ListParadoxDirectory(sub.path().string(), 0, list, problems);
    for (const auto& t : ListParadoxTables(sub.path().string())) {
      ++tables;
      TPxDumpOptions options;
      options.KeepGoing = true;
      std::ostringstream csv;
      try {
        DumpParadoxTableCsv(sub.path().string(), t.Name, options, csv, problems);
      } catch (const EParadoxError&) {
        // encrypted tables are refused; what matters here is that the refusal
        // leaves no trace either
      }
      TParadoxQuery q;
      q.SetDatabaseName(sub.path().string());
      q.SetSQL("SELECT COUNT(*) AS FRECORDCOUNT FROM " + t.Name);
      try {
        q.Open();
      } catch (const EParadoxError&) {
      }
    }
  }
  EXPECT_GT(tables, 20);
  const auto after = Snapshot(dir.Path());
  ASSERT_EQ(before.size(), after.size()) << "files were created or removed";
  for (const auto& [path, state] : before) {
    ASSERT_TRUE(after.count(path)) << path;
    EXPECT_TRUE(after.at(path) == state) << path << " changed";
  }
}

struct TRun {
  int Status;
  std::string Out;
  std::string Err;
};

TRun RunPxDump(const std::string& args) {
  test::TTempDir tmp;
  const std::string cmd = std::string("'") + DKL_PXDUMP + "' " + args + " >'" + (tmp / "out") +
                          "' 2>'" + (tmp / "err") + "' </dev/null";
  const int raw = std::system(cmd.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::ReadFile(tmp / "out"),
          test::ReadFile(tmp / "err")};
}

TEST(PxDumpCommand, ExitCodesAndMessages) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  const std::string fields = "'" + Samples("paradoxdriver/fields") + "'";
  TRun r = RunPxDump(fields);
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Out.find("graphic240"), std::string::npos);

  r = RunPxDump(fields + " TIMESTAMP");
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, test::ReadFile(Samples("expected/paradoxdriver/fields/timestamp.db.csv")));

  r = RunPxDump("--codepage 1251 '" + Samples("pyparadox") + "' test");
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("Внешний мир"), std::string::npos);

  r = RunPxDump("");
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("dkl-pxdump"), std::string::npos);
  EXPECT_EQ(RunPxDump("--codepage x " + fields).Status, 2);
  EXPECT_EQ(RunPxDump("--bogus " + fields).Status, 2);

  r = RunPxDump(fields + " NOSUCH");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("\"NOSUCH\""), std::string::npos) << r.Err;

  r = RunPxDump("'" + Samples("paradoxdriver/encrypt") + "' encrypted");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("verschlüsselt"), std::string::npos) << r.Err;

  r = RunPxDump("'/nonexistent dir'");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("/nonexistent dir"), std::string::npos) << r.Err;

  // A folder without tables is not "an archive with no rows".
  test::TTempDir empty;
  test::WriteFile(empty / "notes.txt", "no tables here");
  r = RunPxDump("'" + empty.Path() + "'");
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Out, "");
  EXPECT_NE(r.Err.find("\"" + empty.Path() + "\" gibt es keine Paradox-Tabellen"),
            std::string::npos)
      << r.Err;

  r = RunPxDump("--keep-going '" + Samples("paradoxreader-java") + "' MEMBRE");
  EXPECT_EQ(r.Status, 3);
  EXPECT_EQ(r.Out, test::ReadFile(Samples("expected/paradoxreader-java/MEMBRE.DB.csv")));
  EXPECT_NE(r.Err.find("MEMBRE.MB"), std::string::npos) << r.Err;
}

}  // namespace
}  // namespace dk
