// The sandbox of the tests that run the real arcport5: generated legacy
// archives, an empty target, a machine hive that puts the shared data
// directory (layouts, global pick lists, Error.log) below the test's folder.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "db/util/archive_schema.h"
#include "legacy_archive.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace dk::test {

// A sandbox like the sample job's: a machine hive that puts the shared data
// directory (layouts, global pick lists, Error.log) below the test's folder.
class TArcport5Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(FDir / "registry");
    std::filesystem::create_directories(FDir / "common");
    std::filesystem::create_directories(FDir / "out");
    std::filesystem::create_directories(FDir / "tmp");
    WriteFile(FDir / "registry/HKEY_LOCAL_MACHINE.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"
              "\"CommonFilesPath\"=\"" +
                  FDir / "common/" + "\"\r\n");
  }

  std::string Source() const { return FDir / "v5/archiv"; }
  std::string Target() const { return FDir / "out/archiv6.db"; }
  std::string Log() const { return FDir / "out/archiv6.log"; }

  void MakeArchives(TLegacyArchiveOptions options = {}) {
    WriteLegacyArchive(Source(), options);
    CreateEmptyArchive(Target());
  }
  // A legacy archive whose FTIWID copy takes a few seconds, written once for
  // every test that needs one (writing it takes longer than converting it).
  void MakeBigArchives() {
    static TTempDir big;
    static bool written = false;
    if (!written) {
      TLegacyArchiveOptions options;
      options.Documents = 400;
      options.FtiWordRows = 1000;
      options.FtiWidRows = 300000;
      WriteLegacyArchive(big / "v5/archiv", options);
      written = true;
    }
    std::filesystem::copy(big / "v5", FDir / "v5", std::filesystem::copy_options::recursive);
    CreateEmptyArchive(Target());
  }

  TChildOptions Options() const {
    TChildOptions o;
    o.WorkingDir = FDir.Path();
    o.Env["DOKALON_REGISTRY_DIR"] = FDir / "registry";
    o.Env["TMPDIR"] = FDir / "tmp";
    return o;
  }

  TProgramRun Run(std::vector<std::string> args, TChildOptions options) const {
    args.insert(args.begin(), ARCPORT5_EXE);
    return RunProgram(args, options);
  }
  TProgramRun Run(std::vector<std::string> args) const { return Run(args, Options()); }

  TTempDir FDir;
};

// Opened for writing, as the next program on the archive would: a run killed
// in the middle of a commit leaves a hot journal that only a writer may roll
// back, and a read-only reader would refuse the file instead.
inline std::string Query(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  std::string result;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    else
      result = std::string("ERROR: ") + sqlite3_errmsg(h);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(h);
  return result;
}

// Every file below `dir` with its bytes.
inline std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    files[e.path().string()] = e.is_regular_file() ? ReadFile(e.path().string()) : "<dir>";
  return files;
}

}  // namespace dk::test
