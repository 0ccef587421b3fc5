// dkl-archive adds documents of every kind the full-text index reads, and
// `search` finds each by the words of its content. The files are the
// fixtures LibreOffice and the mail writer made at build time.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/util/archive_schema.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "sys/text_extraction.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

class ArchiveToolFilesTest : public ::testing::Test {
 protected:
  ArchiveToolFilesTest() {
    fs::create_directories(FDir / "reg");
    fs::create_directories(FDir / "common");
    test::WriteFile(FDir / "reg/HKEY_LOCAL_MACHINE.reg",
                    "Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"
                    "\"CommonFilesPath\"=\"" +
                        FDir / "common/" + "\"\r\n");
    Archive = FDir / "archiv6.db";
    CreateEmptyArchive(Archive);
  }

  std::string Tool(const std::string& args, int* status = nullptr) const {
    const std::string cmd = "timeout 300 " + std::string(DKL_ARCHIVE_EXE) + " " + Archive + " " +
                            args + " </dev/null >" + FDir / "out.txt" + " 2>" + FDir / "err.txt";
    const int rc = std::system(cmd.c_str());
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return test::ReadFile(FDir / "out.txt");
  }
  std::string Err() const { return test::ReadFile(FDir / "err.txt"); }

  test::TTempDir FDir;
  test::TScopedEnv FRegistry{"DOKALON_REGISTRY_DIR", FDir / "reg"};
  test::TScopedEnv FTemp{"TMPDIR", FDir.Path()};
  std::string Archive;
};

TEST_F(ArchiveToolFilesTest, EachKindOfDocumentIsFoundByItsContent) {
  const std::string fixtures = DK_TEXT_FIXTURES;
  const bool office = !FindProgram("soffice").empty();
  const bool mail = !FindProgram("msgconvert").empty();
  const bool pdf = fs::exists(fs::path(DKL_ARCHIVE_EXE).parent_path() / "pdftotext");
  test::WriteFile(FDir / "notiz.txt", "Eine Notiz über Gartenzwerge\r\n");
  const struct {
    std::string file;
    bool available;
    std::string search;
  } cases[] = {
      {FDir / "notiz.txt", true, "gartenzwerge"},
      {fixtures + "/sample.pdf", pdf, "kaesebroetchen zelleeins"},
      {fixtures + "/sample.doc", office, "uebergroessen zellevier"},
      {fixtures + "/sample.rtf", office, "schlusssatz verweistext"},
      {fixtures + "/sample.xls", office, "kundenname muellerei"},
      {fixtures + "/plain.msg", mail, "gartenmoebel rechnung"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    if (!c.available || !fs::exists(c.file)) {
      std::printf("skipped: %s (converter or fixture missing; run scripts/setup.sh)\n",
                  c.file.c_str());
      continue;
    }
    // A copy of its own, so the archive's file handling never touches the
    // fixture.
    const std::string copy = FDir / fs::path(c.file).filename().string();
    if (copy != c.file) fs::copy_file(c.file, copy, fs::copy_options::overwrite_existing);
    int status = -1;
    const std::string id = Tool("add " + copy + " --type Brief", &status);
    ASSERT_EQ(status, 0) << Err();
    // The sample text is the same in the PDF, the .doc and the .rtf.
    const std::string found = Tool("search " + c.search);
    EXPECT_NE(("\n" + found).find("\n" + id), std::string::npos) << found;
  }
  // Nothing of the conversions is left in the temporary folder.
  for (const auto& e : fs::recursive_directory_iterator(FDir.Path())) {
    const std::string name = e.path().filename();
    EXPECT_FALSE(name.starts_with("dkl-convert") || name.starts_with("~")) << e.path();
  }
}

}  // namespace
}  // namespace dk
