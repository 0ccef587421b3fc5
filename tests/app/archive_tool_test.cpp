// dkl-archive as a user runs it, on an archive the converter made.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/util/archive_schema.h"
#include "legacy_archive.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

class ArchiveToolTest : public ::testing::Test {
 protected:
  ArchiveToolTest() {
    std::system(("mkdir -p " + FDir / "reg " + FDir / "common").c_str());
    test::WriteFile(FDir / "reg/HKEY_LOCAL_MACHINE.reg",
                    "Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"
                    "\"CommonFilesPath\"=\"" +
                        FDir / "common/" + "\"\r\n");
    TLegacyArchiveOptions legacy;
    legacy.Documents = 12;
    legacy.FtiWordRows = 40;
    legacy.FtiWidRows = 60;
    WriteLegacyArchive(FDir / "v5", legacy);
    Archive = FDir / "archiv6.db";
    CreateEmptyArchive(Archive);
    EXPECT_EQ(Run(std::string(ARCPORT5_EXE) + " " + FDir / "v5" + " " + Archive).Status, 0);
    test::WriteFile(FDir / "angebot.txt", "Text");
  }

  struct TResult {
    int Status = -1;
    std::string Out, Err;
    std::vector<std::string> Lines() const {
      std::vector<std::string> lines;
      size_t pos = 0;
      while (pos < Out.size()) {
        const size_t nl = Out.find('\n', pos);
        lines.push_back(Out.substr(pos, nl - pos));
        pos = nl == std::string::npos ? Out.size() : nl + 1;
      }
      return lines;
    }
  };

  TResult Run(const std::string& command) const {
    const std::string cmd =
        "timeout 60 " + command + " </dev/null >" + FDir / "out.txt" + " 2>" + FDir / "err.txt";
    const int status = std::system(cmd.c_str());
    TResult r;
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.Out = test::ReadFile(FDir / "out.txt");
    r.Err = test::ReadFile(FDir / "err.txt");
    return r;
  }
  TResult Tool(const std::string& args) const {
    return Run(std::string(DKL_ARCHIVE_EXE) + " " + Archive + " " + args);
  }

  test::TTempDir FDir;
  test::TScopedEnv FRegistry{"DOKALON_REGISTRY_DIR", FDir / "reg"};
  std::string Archive;
};

TEST_F(ArchiveToolTest, AddSetSearchWordsAndDeleteGoThroughTheRecordRulesAndTheIndex) {
  const TResult list = Tool("list");
  ASSERT_EQ(list.Status, 0) << list.Err;
  ASSERT_EQ(list.Lines().size(), 12u);

  const TResult add = Tool("add " + FDir / "angebot.txt" +
                           " --type Brief --set 'PROJECT=Straßenbau' "
                           "--set 'NOTES=Müller & Söhne'");
  ASSERT_EQ(add.Status, 0) << add.Err;
  ASSERT_EQ(add.Lines().size(), 1u);
  const std::string id = add.Lines()[0];
  EXPECT_EQ(id, "13");  // after the converted documents
  EXPECT_EQ(Tool("list").Lines().back(), id + "\tBrief\tangebot\t" + FDir / "angebot.txt");

  // The worker has applied every job before the program ended.
  const std::vector<std::string> words = Tool("words " + id).Lines();
  for (const char* w : {"angebot", "brief", "mueller", "soehne", "strassenbau"})
    EXPECT_NE(std::find(words.begin(), words.end(), w), words.end()) << w;
  EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
  EXPECT_EQ(Tool("search MÜLLER straßenbau").Out, id + "\n");

  ASSERT_EQ(Tool(id + " --set x=y").Status, 2);
  const TResult set = Tool("set " + id + " 'NOTES=Schmidt'");
  ASSERT_EQ(set.Status, 0) << set.Err;
  // Converted documents may hold the word too; this one no longer does.
  EXPECT_EQ(("\n" + Tool("search mueller").Out).find("\n" + id + "\n"), std::string::npos);
  EXPECT_EQ(Tool("search schmidt angebot").Out, id + "\n");

  const TResult del = Tool("delete " + id);
  ASSERT_EQ(del.Status, 0) << del.Err;
  EXPECT_EQ(Tool("search schmidt").Out, "");
  EXPECT_EQ(Tool("list").Lines().size(), 12u);
  EXPECT_EQ(test::ReadFile(FDir / "angebot.txt"), "Text");
}

TEST_F(ArchiveToolTest, ReindexRebuildsTheWordsOfTheConvertedDocuments) {
  const TResult reindex = Tool("reindex");
  ASSERT_EQ(reindex.Status, 0) << reindex.Err;
  EXPECT_NE(reindex.Err.find("12 Dokumente"), std::string::npos) << reindex.Err;
  // Each document is found by the words of its own name.
  const std::string first = Tool("list").Lines()[0];
  const std::string docId = first.substr(0, first.find('\t'));
  const std::vector<std::string> words = Tool("words " + docId).Lines();
  ASSERT_FALSE(words.empty());
  const TResult found = Tool("search " + words.front());
  EXPECT_NE(("\n" + found.Out).find("\n" + docId + "\n"), std::string::npos) << found.Out;
}

TEST_F(ArchiveToolTest, BadInputIsNamedAndEndsWithAFailureStatus) {
  struct Case {
    std::string Args;
    int Status;
    std::string Message;
  };
  const std::vector<Case> cases = {
      {"words 999", 1, "Dokument 999 gibt es im Archiv nicht."},
      {"delete abc", 1, "\"abc\" ist keine DOCID"},
      {"set 1 NOSUCH=1", 1, "Die Spalte \"NOSUCH\" gibt es in DOCUMENT nicht."},
      {"add " + FDir / "fehlt.txt" + " --type Brief", 1, "fehlt.txt\" wurde nicht gefunden."},
      {"search a", 1, "\"a\" ist kein Wort, das der Volltextindex aufnimmt."},
      {"add " + FDir / "angebot.txt", 2, "add braucht --type TYP"},
      {"frobnicate", 2, "unbekannter Befehl \"frobnicate\""},
      {"list --bogus", 2, "bogus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Args);
    const TResult r = Tool(c.Args);
    EXPECT_EQ(r.Status, c.Status);
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
  }
  const TResult missing = Run(std::string(DKL_ARCHIVE_EXE) + " " + FDir / "nein.db list");
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Err.find("nein.db\" wurde nicht gefunden"), std::string::npos);
  EXPECT_EQ(Run(std::string(DKL_ARCHIVE_EXE) + " --help").Status, 0);
}

}  // namespace
}  // namespace dk
