// dkl-archive as several users run it on one archive at the same time, in an
// SQLite file and on a server: numbers are never shared, a word is stored
// once, and the index of every document holds exactly its words; a counter
// left behind the data does not lead to a collision; a disk that runs full
// while the index is written is reported, and "reindex" completes the index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "arcport5_sandbox.h"
#include "data/connection.h"
#include "data/query.h"
#include "support/pg_server.h"
#include "sys/string_list.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// A number written with letters, so that it forms part of an index word
// (digits separate words).
std::string Letters(int n) {
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('a' + n % 10));
    n /= 10;
  } while (n > 0);
  return s;
}

class ArchiveToolWritersBase : public test::TArcport5Sandbox {
 protected:
  bool OnServer() const { return FServer; }

  // An empty archive in a file or on the test run's server.
  void MakeArchive(bool server) {
    FServer = server;
    TArcport5Sandbox::SetUp();
    if (OnServer()) {
      FDatabase.emplace(test::TTestDatabase::TMode::NameOnly);
      FArchive = FDir / "out/archiv.dkcs";
      test::WriteFile(FArchive, "[AdoConnection]\r\nConnectionString=" +
                                    FDatabase->ConnectionString() + "\r\n");
    } else {
      FArchive = FDir / "out/archiv.db";
    }
    const auto made = test::RunProgram({DKL_MKARCHIVE_EXE, FArchive}, Options());
    ASSERT_EQ(made.Status, 0) << made.Err;
  }

  std::string ConnectionString() const {
    return OnServer() ? FDatabase->ConnectionString() : "Provider=SQLite;Data Source=" + FArchive;
  }

  test::TProgramRun Tool(std::vector<std::string> args, long fileSizeLimit = -1) const {
    args.insert(args.begin(), {DKL_ARCHIVE_EXE, FArchive});
    test::TChildOptions options = Options();
    options.FileSizeLimit = fileSizeLimit;
    return test::RunProgram(args, options);
  }

  // Every row of `sql`, its fields joined by "|".
  std::vector<std::string> Select(const std::string& sql) const {
    TConnection connection;
    connection.SetConnectionString(ConnectionString());
    connection.Open();
    TQuery query;
    query.SetConnection(&connection);
    query.SetSQLText(sql);
    query.Open();
    std::vector<std::string> rows;
    for (; !query.Eof(); query.Next()) {
      std::string row;
      for (int i = 0; i < query.FieldCount(); ++i)
        row += (i ? "|" : "") + query.Fields(i).AsString();
      rows.push_back(row);
    }
    return rows;
  }
  void Exec(const std::string& sql) const {
    TConnection connection;
    connection.SetConnectionString(ConnectionString());
    connection.Open();
    connection.Execute(sql);
  }

  // Every document's index words as "DOCID|word", sorted.
  std::vector<std::string> IndexPairs() const {
    std::vector<std::string> pairs = Select(
        "SELECT P.DOCID, W.WORD FROM FTIWID P JOIN FTIWORD W ON W.WORDID = P.WORDID ORDER BY "
        "P.DOCID, W.WORD");
    std::sort(pairs.begin(), pairs.end());
    return pairs;
  }

  // What must hold of any archive after any mix of writers: no number and no
  // word twice, no pair without its word or document.
  void ExpectConsistentArchive() const {
    EXPECT_EQ(Select("SELECT WORD FROM FTIWORD GROUP BY WORD HAVING COUNT(*) > 1"),
              std::vector<std::string>{})
        << "a word stored under two numbers";
    EXPECT_EQ(Select("SELECT DOCNO FROM DOCUMENT GROUP BY DOCNO HAVING COUNT(*) > 1"),
              std::vector<std::string>{})
        << "a document number given twice";
    EXPECT_EQ(Select("SELECT DOCID FROM DOCUMENT GROUP BY DOCID HAVING COUNT(*) > 1"),
              std::vector<std::string>{});
    EXPECT_EQ(Select("SELECT P.WORDID, P.DOCID FROM FTIWID P LEFT JOIN FTIWORD W ON W.WORDID = "
                     "P.WORDID WHERE W.WORDID IS NULL"),
              std::vector<std::string>{})
        << "pairs without their word";
    EXPECT_EQ(Select("SELECT P.WORDID, P.DOCID FROM FTIWID P LEFT JOIN DOCUMENT D ON D.DOCID = "
                     "P.DOCID WHERE D.DOCID IS NULL"),
              std::vector<std::string>{})
        << "pairs of documents that are not there";
    const std::vector<std::string> next =
        Select("SELECT NEXTID FROM IDENTNO WHERE IDNAME = 'DOCID'");
    const std::vector<std::string> highest = Select("SELECT MAX(DOCID) FROM DOCUMENT");
    if (!next.empty() && !highest.empty() && !highest[0].empty()) {
      EXPECT_GT(std::stoll(next[0]), std::stoll(highest[0]));
    }
  }

  bool FServer = false;
  std::optional<test::TTestDatabase> FDatabase;
  std::string FArchive;
};

class ArchiveToolWriters : public ArchiveToolWritersBase,
                           public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) DK_SKIP_WITHOUT_PG_SERVER();
    MakeArchive(GetParam());
  }
};

class ArchiveToolFullDisk : public ArchiveToolWritersBase {
 protected:
  void SetUp() override { MakeArchive(false); }
};

// Four programs add, change and delete documents on one archive at the same
// time, their texts sharing words that are new to the archive. Afterwards
// every document's index is what indexing it alone gives ("reindex" of the
// whole archive changes nothing), and every call of every program ended as
// it should. DK_STRESS_ROUNDS sets the adds per program (a longer local run).
TEST_P(ArchiveToolWriters, FourProgramsAtOnceKeepNumbersWordsAndIndexRight) {
  int rounds = 20;
  if (const char* env = std::getenv("DK_STRESS_ROUNDS"); env && std::atoi(env) > 0)
    rounds = std::atoi(env);
  constexpr int kPrograms = 4;
  fs::create_directories(FDir / "docs");
  // The i-th file of every program shares "neu..." with the i-th of the
  // others, which all four try to create at about the same time.
  auto fileOf = [&](int p, int i) {
    return FDir / ("docs/p" + std::to_string(p) + "_" + std::to_string(i) + ".txt");
  };
  for (int p = 0; p < kPrograms; ++p)
    for (int i = 0; i < rounds; ++i)
      test::WriteFile(fileOf(p, i), "Gemeinsam neu" + Letters(i) + " rund" + Letters(i % 7) +
                                        " eigen" + Letters(p) + "x" + Letters(i) + "\n");

  struct TCall {
    std::string What;  // "add", "set", "delete"
    int DocId = 0;
    int Status = -1;
    std::string Err;
  };
  std::vector<std::vector<TCall>> calls(kPrograms);
  std::vector<std::thread> programs;
  for (int p = 0; p < kPrograms; ++p) {
    programs.emplace_back([&, p] {
      std::vector<int> mine;
      for (int i = 0; i < rounds; ++i) {
        const auto add = Tool({"add", fileOf(p, i), "--type", "Brief"});
        TCall call{"add", 0, add.Status, add.Err};
        if (add.Status == 0) call.DocId = std::atoi(add.Out.c_str());
        calls[p].push_back(call);
        if (call.DocId > 0) mine.push_back(call.DocId);
        if (i % 3 == 2 && !mine.empty()) {
          const int id = mine[mine.size() / 2];
          const auto set = Tool(
              {"set", std::to_string(id), "NOTES=Notiz neu" + Letters(i) + " anders" + Letters(p)});
          calls[p].push_back({"set", id, set.Status, set.Err});
        }
        if (i % 5 == 4 && !mine.empty()) {
          const int id = mine.front();
          mine.erase(mine.begin());
          const auto del = Tool({"delete", std::to_string(id)});
          calls[p].push_back({"delete", id, del.Status, del.Err});
        }
      }
    });
  }
  for (std::thread& program : programs) program.join();

  std::set<int> added, deleted;
  std::map<int, std::string> notes;
  for (int p = 0; p < kPrograms; ++p) {
    for (const TCall& call : calls[p]) {
      EXPECT_EQ(call.Status, 0) << call.What << " " << call.DocId << ": " << call.Err;
      if (call.What == "add") {
        EXPECT_GT(call.DocId, 0) << call.Err;
        EXPECT_TRUE(added.insert(call.DocId).second) << "DOCID " << call.DocId << " printed twice";
      } else if (call.What == "delete") {
        deleted.insert(call.DocId);
      }
    }
  }
  // What each program was told is what the archive holds.
  std::vector<std::string> expected;
  for (int id : added)
    if (!deleted.count(id)) expected.push_back(std::to_string(id));
  std::vector<std::string> stored = Select("SELECT DOCID FROM DOCUMENT");
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, expected);
  ASSERT_NO_FATAL_FAILURE(ExpectConsistentArchive());

  // Each document carries its own file's words, and nothing else than
  // indexing it on its own gives.
  const std::vector<std::string> before = IndexPairs();
  for (const std::string& id : expected) {
    const std::string file = Select("SELECT FILENAME FROM DOCUMENT WHERE DOCID = " + id)[0];
    const std::string own = file.substr(file.rfind("/p") + 2);  // "P_I.txt"
    const int p = std::atoi(own.c_str());
    const int i = std::atoi(own.c_str() + own.find('_') + 1);
    const std::string word = "eigen" + Letters(p) + "x" + Letters(i);
    EXPECT_TRUE(std::binary_search(before.begin(), before.end(), id + "|" + word))
        << "document " << id << " lacks " << word;
  }
  const auto reindex = Tool({"reindex"});
  ASSERT_EQ(reindex.Status, 0) << reindex.Err;
  EXPECT_EQ(IndexPairs(), before);
  ExpectConsistentArchive();
}

// The DOCID counter set back by one, as a conversion that did not end well
// leaves it: the next add takes the number after the data, with its document
// number and its words, and says nothing but a line in the error log.
TEST_P(ArchiveToolWriters, ACounterBehindTheDataIsMovedPastIt) {
  test::WriteFile(FDir / "a.txt", "Erstes Dokument");
  test::WriteFile(FDir / "b.txt", "Zweites Dokument nachzuegler");
  ASSERT_EQ(Tool({"add", FDir / "a.txt", "--type", "Brief"}).Status, 0);
  Exec("UPDATE IDENTNO SET NEXTID = NEXTID - 1 WHERE IDNAME = 'DOCID'");
  const auto add = Tool({"add", FDir / "b.txt", "--type", "Brief"});
  ASSERT_EQ(add.Status, 0) << add.Err;
  EXPECT_EQ(add.Out, "2\n");
  EXPECT_EQ(add.Err.find("Indexfehler"), std::string::npos) << add.Err;
  EXPECT_EQ(Select("SELECT DOCID, DOCNO FROM DOCUMENT ORDER BY DOCID"),
            (std::vector<std::string>{"1|1", "2|2"}));
  EXPECT_EQ(Tool({"search", "nachzuegler"}).Out, "2\n");
  EXPECT_EQ(Tool({"search", "erstes"}).Out, "1\n");
  EXPECT_NE(test::ReadFile(FDir / "common/Error.log").find("\"DOCID\" in Tabelle \"IDENTNO\""),
            std::string::npos);
  ExpectConsistentArchive();
}

// The archive's file may grow only so far (a file-size limit, as a full disk
// behaves for the file): the document is stored, the index batches that no
// longer fit are rolled back and kept, and the program ends with status 1,
// saying that the document is saved and that "reindex" completes its index.
// The limits stop the writes of the index early, in the middle and near
// the end of its batch.
TEST_F(ArchiveToolFullDisk, AFullDiskDuringIndexingIsReportedAndReindexCompletesIt) {
  constexpr int kWords = 3000;
  std::string text;
  for (int i = 0; i < kWords; ++i) text += "wort" + Letters(i) + "z ";
  test::WriteFile(FDir / "gross.txt", text);
  test::WriteFile(FDir / "klein.txt", "Vorweg");
  ASSERT_EQ(Tool({"add", FDir / "klein.txt", "--type", "Brief"}).Status, 0);
  const std::string pristine = FDir / "vorher.db";
  fs::copy_file(FArchive, pristine);
  const long size = static_cast<long>(fs::file_size(FArchive));
  const std::string fileWords =
      "SELECT COUNT(*) FROM FTIWID P JOIN FTIWORD W ON W.WORDID = P.WORDID WHERE P.DOCID = 2 "
      "AND W.WORD LIKE 'wort%z'";
  for (long room : {8L << 10, 64L << 10, 128L << 10}) {
    SCOPED_TRACE(std::to_string(room >> 10) + " KB room");
    fs::copy_file(pristine, FArchive, fs::copy_options::overwrite_existing);
    const auto add = Tool({"add", FDir / "gross.txt", "--type", "Brief"}, size + room);
    EXPECT_EQ(add.Status, 1) << add.Err;
    EXPECT_EQ(add.Out, "2\n");
    EXPECT_NE(add.Err.find("Das Dokument 2 ist gespeichert"), std::string::npos) << add.Err;
    EXPECT_NE(add.Err.find(" reindex 2\""), std::string::npos) << add.Err;
    EXPECT_EQ(Select("SELECT NAME FROM DOCUMENT WHERE DOCID = 2"),
              std::vector<std::string>{"gross"});
    const std::string partial = Select(fileWords)[0];
    EXPECT_NE(partial, std::to_string(kWords));
    ExpectConsistentArchive();

    const auto reindex = Tool({"reindex", "2"});
    ASSERT_EQ(reindex.Status, 0) << reindex.Err;
    EXPECT_EQ(Select(fileWords), std::vector<std::string>{std::to_string(kWords)});
    ExpectConsistentArchive();
  }
}

INSTANTIATE_TEST_SUITE_P(Engine, ArchiveToolWriters, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Server" : "SQLite");
                         });

}  // namespace
}  // namespace dk
