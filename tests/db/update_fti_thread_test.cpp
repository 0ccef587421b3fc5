#include "db/update_fti_thread.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <utility>

#include "fti_fixture.h"
#include "settings/error_log.h"
#include "support/fault_provider.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

using test::FtiTest;
using Rows = std::vector<std::string>;
using Report = std::pair<int, int>;

class UpdateFtiThreadTest : public FtiTest {
 protected:
  UpdateFtiThreadTest() {
    Archive->OnUpdateFtiThreadInfo = [this](TComponent& sender, int max, int pos) {
      EXPECT_EQ(&sender, Archive);
      EXPECT_TRUE(Application->IsMainThread());
      Reports.emplace_back(max, pos);
    };
  }

  // FTIWORD as "WORDID|WORD", FTIWID as "WORDID|DOCID", the counter.
  Rows WordRows() const { return Select("SELECT WORDID, WORD FROM FTIWORD ORDER BY WORDID"); }
  Rows PairRows() const {
    return Select("SELECT WORDID, DOCID FROM FTIWID ORDER BY WORDID, DOCID");
  }
  Rows Counter() const { return Select("SELECT NEXTID FROM IDENTNO WHERE IDNAME = 'FTIWORDID'"); }

  std::vector<Report> Reports;
};

TEST_F(UpdateFtiThreadTest, JobsChangeTheIndexTablesInQueueOrder) {
  struct Job {
    int DocId;
    uint8_t Operation;
    const char* Word;
  };
  struct Case {
    const char* Name;
    std::vector<std::string> Setup;
    std::vector<Job> Jobs;
    Rows Words;
    Rows Pairs;
    Rows Counter;
  };
  const Case cases[] = {
      {"an empty queue executes nothing",
       {"UPDATE IDENTNO SET NEXTID = 7 WHERE IDNAME = 'FTIWORDID'"},
       {},
       {},
       {},
       {"7"}},
      {"the same word for two documents is one word with two pairs",
       {"UPDATE IDENTNO SET NEXTID = 5 WHERE IDNAME = 'FTIWORDID'"},
       {{1, fjAddWord, "haus"}, {2, fjAddWord, "haus"}},
       {"5|haus"},
       {"5|1", "5|2"},
       {"6"}},
      {"without a counter row the first word gets 1 and the row 2",
       {"DELETE FROM IDENTNO WHERE IDNAME = 'FTIWORDID'"},
       {{1, fjAddWord, "haus"}},
       {"1|haus"},
       {"1|1"},
       {"2"}},
      {"removing an unknown word removes nothing",
       {"INSERT INTO FTIWORD (WORDID, WORD) VALUES (3, 'rot')",
        "INSERT INTO FTIWID (WORDID, DOCID) VALUES (3, 1)"},
       {{1, fjDeleteWord, "gibtsnicht"}, {1, fjDeleteWord, "rot"}, {2, fjDeleteWord, "rot"}},
       {"3|rot"},
       {},
       {}},
      {"a re-index leaves exactly the added pairs",
       {"UPDATE IDENTNO SET NEXTID = 10 WHERE IDNAME = 'FTIWORDID'",
        "INSERT INTO FTIWORD (WORDID, WORD) VALUES (1, 'alt')",
        "INSERT INTO FTIWORD (WORDID, WORD) VALUES (2, 'neu')",
        "INSERT INTO FTIWID (WORDID, DOCID) VALUES (1, 4)",
        "INSERT INTO FTIWID (WORDID, DOCID) VALUES (2, 4)",
        "INSERT INTO FTIWID (WORDID, DOCID) VALUES (1, 5)"},
       {{4, fjDeleteDocument, ""}, {4, fjAddWord, "neu"}, {4, fjAddWord, "dazu"}},
       {"1|alt", "2|neu", "10|dazu"},
       {"1|5", "2|4", "10|4"},
       {"11"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Exec("DELETE FROM FTIWORD");
    Exec("DELETE FROM FTIWID");
    Exec("DELETE FROM IDENTNO WHERE IDNAME = 'FTIWORDID'");
    Exec("INSERT INTO IDENTNO (IDNAME, NEXTID) VALUES ('FTIWORDID', 1)");
    for (const std::string& sql : c.Setup) Exec(sql);
    if (c.Counter.empty()) Exec("DELETE FROM IDENTNO WHERE IDNAME = 'FTIWORDID'");
    Reports.clear();
    for (const Job& job : c.Jobs) Fti->JobQueue().Add(job.DocId, false, job.Word, job.Operation);
    Fti->StartWorker();
    Wait();
    EXPECT_EQ(WordRows(), c.Words);
    EXPECT_EQ(PairRows(), c.Pairs);
    EXPECT_EQ(Counter(), c.Counter);
    ASSERT_FALSE(Reports.empty());
    EXPECT_EQ(Reports.back(), Report(0, static_cast<int>(c.Jobs.size())));
    if (c.Jobs.empty()) {
      EXPECT_EQ(Reports, std::vector<Report>{Report(0, 0)});
    }
  }
  EXPECT_EQ(NewLog(), "");
}

TEST_F(UpdateFtiThreadTest, ProgressCountsJobsAgainstTheQueueAndEndsWithZero) {
  HoldWriteLock();
  for (int i = 0; i < 10; ++i) Fti->JobQueue().Add(1, true, "wort" + std::string(1, 'a' + i), 0);
  Fti->StartWorker();
  Release();
  Wait();
  std::vector<Report> expected;
  for (int i = 1; i <= 10; ++i) expected.emplace_back(11, i);
  expected.emplace_back(0, 10);
  EXPECT_EQ(Reports, expected);
  EXPECT_EQ(Words(1).size(), 10u);
}

TEST_F(UpdateFtiThreadTest, JobsQueuedWhileTheWorkerRunsAreTakenByTheSameWorker) {
  HoldWriteLock();
  Fti->JobQueue().Add(900, false, "eins", fjAddWord);
  Fti->StartWorker();
  // The worker waits for the lock; further saves add to its queue.
  const int id = SaveNew({{"APPLNAME", "Brief"}, {"NAME", "zwei drei"}});
  Fti->JobQueue().Add(900, false, "vier", fjAddWord);
  Release();
  Wait();
  EXPECT_EQ(Words(900), (Rows{"eins", "vier"}));
  EXPECT_EQ(Words(id), (Rows{"brief", "drei", "zwei"}));
  // One worker: one final report, after all five jobs.
  int ends = 0;
  for (const Report& r : Reports) ends += r.first == 0;
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(Reports.back(), Report(0, 5));
}

TEST_F(UpdateFtiThreadTest, ABusyDatabaseDelaysJobsButLosesNone) {
  // Another client writes for a while: the worker waits and tries again.
  auto other = Direct();
  other->BeginTrans();
  for (int i = 0; i < 20; ++i) Fti->JobQueue().Add(7, false, "wort" + std::to_string(i), 0);
  Fti->StartWorker();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  while (std::chrono::steady_clock::now() < until) {
    Application->ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(Fti->IsWorkerRunning());
  EXPECT_TRUE(PairRows().empty());
  other->CommitTrans();
  Wait();
  EXPECT_EQ(Words(7).size(), 20u);
  EXPECT_EQ(NewLog(), "");
}

// A full disk under the worker: the batch goes back whole into the queue. A
// failure that passes within the worker's retries costs nothing; one that
// lasts ends the worker with its jobs queued in their order, the indexer
// knows why, and the next worker applies them all.
TEST_F(UpdateFtiThreadTest, ABatchTheEngineCannotTakeStaysQueuedAndTheIndexerHearsOfIt) {
  test::RegisterFaultProvider();
  const std::string settings = FDir / "fehler.dkcs";
  test::WriteFile(settings,
                  "[AdoConnection]\r\nConnectionString=Provider=Fault;Inner "
                  "Provider=SQLite;Data Source=" +
                      ArchiveFile + "\r\n");
  Archive->Close();
  Archive->SetDatabaseName(settings);
  Archive->Open();
  const auto pause = TUpdateFtiThread::BatchRetryPause;
  TUpdateFtiThread::BatchRetryPause = std::chrono::milliseconds(1);
  struct TCase {
    const char* Name;
    int Failures;  // -1: until the plan is cleared
    bool GivesUp;
  };
  const TCase cases[] = {{"passes within the retries", 2, false}, {"lasts", -1, true}};
  int docId = 20;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ++docId;
    test::FaultPlan().Clear();
    test::FaultPlan().Add(
        {test::TFaultPoint::Step, test::TFaultKind::Full, "INSERT INTO FTIWID", 3, c.Failures});
    Rows queued;
    for (int i = 0; i < 10; ++i) {
      Fti->JobQueue().Add(docId, false, "wort" + std::string(1, static_cast<char>('a' + i)),
                          fjAddWord);
      queued.push_back(std::to_string(docId) + " 0 wort" +
                       std::string(1, static_cast<char>('a' + i)));
    }
    std::string told;
    Fti->OnWorkerFailed = [&](const std::string& error) { told = error; };
    Fti->StartWorker();
    EXPECT_EQ(Fti->WaitForWorker(), !c.GivesUp);
    if (c.GivesUp) {
      EXPECT_EQ(Words(docId), Rows{});
      EXPECT_EQ(Queue(), queued);
      EXPECT_FALSE(Fti->WorkerError().empty());
      EXPECT_EQ(told, Fti->WorkerError());
      EXPECT_EQ(Fti->PendingDocIds(), std::vector<int32_t>{docId});
      EXPECT_NE(NewLog().find("Aufträge konnten nicht ausgeführt werden und bleiben vorgemerkt"),
                std::string::npos)
          << NewLog();
      test::FaultPlan().Clear();
      Fti->StartWorker();
      EXPECT_TRUE(Fti->WaitForWorker());
    }
    EXPECT_EQ(Words(docId).size(), 10u);
    EXPECT_EQ(Queue(), Rows{});
    EXPECT_EQ(Fti->WorkerError(), "");
  }
  test::FaultPlan().Clear();
  TUpdateFtiThread::BatchRetryPause = pause;
}

TEST_F(UpdateFtiThreadTest, AnOpenCursorOfTheMainThreadDoesNotHoldTheWorkerBack) {
  for (int i = 0; i < 300; ++i)
    Exec("INSERT INTO DOCUMENT (DOCID, APPLNAME, NAME) VALUES (" + std::to_string(1000 + i) +
         ", 'Brief', 'Dokument " + std::to_string(i) + "')");
  // The document dataset stands on its third row of a long result, which
  // keeps SQLite's read lock: a commit of another connection cannot finish.
  Archive->ExecuteQueryDoc("SELECT * FROM DOCUMENT ORDER BY DOCID", semOpen);
  TQuery& doc = *Archive->DocQuery();
  doc.Next();
  doc.Next();
  ASSERT_EQ(doc.FieldByName("DOCID").AsInteger(), 1002);

  Fti->JobQueue().Add(1001, false, "gefunden", fjAddWord);
  Fti->StartWorker();
  Wait();
  EXPECT_EQ(Words(1001), Rows{"gefunden"});
  // The dataset kept its row and reads on from there.
  EXPECT_EQ(doc.FieldByName("DOCID").AsInteger(), 1002);
  doc.Next();
  EXPECT_EQ(doc.FieldByName("DOCID").AsInteger(), 1003);
  doc.Prior();
  EXPECT_EQ(doc.FieldByName("DOCID").AsInteger(), 1002);
  EXPECT_EQ(NewLog(), "");
}

TEST_F(UpdateFtiThreadTest, DestroyingTheArchiveStopsItsWorkerAndLogsWhatWasLeft) {
  HoldWriteLock();
  for (int i = 0; i < 50; ++i) Fti->JobQueue().Add(3, false, "wort" + std::to_string(i), 0);
  Fti->StartWorker();
  Release();
  delete Archive;
  Archive = nullptr;
  // Whatever the worker had not applied is named in the log; no pair is
  // half-written.
  const int pairs = static_cast<int>(PairRows().size());
  const std::string log = NewLog();
  if (pairs < 50) {
    EXPECT_NE(log.find(std::to_string(50 - pairs) + " Aufträge wurden beim Schließen"),
              std::string::npos)
        << log;
  } else {
    EXPECT_EQ(log, "");
  }
}

// Saves, changes and deletes documents at random while the worker runs; at
// the end the index equals the words computed afresh from the documents.
TEST_F(UpdateFtiThreadTest, StressedIndexEqualsARecomputationFromTheDocuments) {
  const char* vocabulary[] = {"haus", "garten", "baum",  "dach", "keller", "fenster", "tuer",
                              "rot",  "blau",   "gruen", "alt",  "neu",    "angebot", "rechnung"};
  std::mt19937 random(42);
  auto text = [&] {
    std::string t;
    const int n = static_cast<int>(random() % 4);
    for (int i = 0; i < n; ++i) t += std::string(i ? " " : "") + vocabulary[random() % 14];
    return t;
  };
  // The dataset shows the whole document table, as a host's list does.
  Archive->RefreshQueryDoc();
  std::vector<int> live;
  // Fewer under the thread sanitizer, whose run is many times slower.
  const char* limit = std::getenv("DK_FTI_STRESS_OPERATIONS");
  const int operations = limit ? std::atoi(limit) : 2000;
  for (int op = 0; op < operations; ++op) {
    const unsigned kind = live.size() < 20 ? 0 : random() % 4;
    if (kind <= 1) {
      live.push_back(SaveNew({{"APPLNAME", "Brief"}, {"NAME", text()}, {"PROJECT", text()}}));
    } else if (kind == 2) {
      Change(live[random() % live.size()], {{"NAME", text()}, {"NOTES", text()}});
    } else {
      const size_t at = random() % live.size();
      ASSERT_TRUE(Archive->LocateDocID(live[at]));
      Archive->DocQuery()->Delete();
      live.erase(live.begin() + static_cast<long>(at));
    }
    Application->ProcessMessages();
  }
  Wait();

  std::set<std::string> expected;
  Archive->RefreshQueryDoc();
  for (TQuery& doc = *Archive->DocQuery(); !doc.Eof(); doc.Next()) {
    std::string words = ".";
    Fti->AddFieldWords(words);
    for (const std::string& w : WordListItems(words))
      expected.insert(doc.FieldByName("DOCID").AsString() + "|" + w);
  }
  const Rows actual =
      Select("SELECT P.DOCID || '|' || W.WORD FROM FTIWID P JOIN FTIWORD W ON W.WORDID = P.WORDID");
  EXPECT_EQ(std::set<std::string>(actual.begin(), actual.end()), expected);
  EXPECT_EQ(actual.size(), expected.size());
  EXPECT_EQ(Select("SELECT COUNT(*) FROM (SELECT WORD FROM FTIWORD GROUP BY WORD HAVING "
                   "COUNT(*) > 1)"),
            Rows{"0"});
  EXPECT_EQ(NewLog().find("TUpdateFtiThread"), std::string::npos);
}

}  // namespace
}  // namespace dk
