// An open archive with two document types, for the full-text index and the
// record rules: documents are saved through the archive's document dataset,
// so the record rules, the indexer and its worker run as in the product.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive_fixture.h"
#include "data/connection.h"
#include "db/full_text_retrieval.h"
#include "db/update_fti_thread.h"

namespace dk::test {

class FtiTest : public ArchiveTest {
 protected:
  FtiTest() {
    // The product's pauses, shortened: the behaviour stays, the tests run
    // faster.
    TUpdateFtiThread::LockRetryPause = std::chrono::milliseconds(5);
    FConfig->DefaultFilePath = FDir / "docs/";
    FConfig->DefaultFileName = "";
    // Index words come from the columns a test sets: no generated document
    // number.
    FConfig->CreateDocNumber = false;
    OpenBoth();
    AddType("Brief", "D", "doc");
    AddType("Notiz", "O", "");
    Fti = Archive->FullTextRetrieval();
    FLogStart = ErrorLog().size();
  }
  ~FtiTest() override { TUpdateFtiThread::LockRetryPause = std::chrono::milliseconds(20); }

  // Appends a document with the given column texts (FILENAME empty unless
  // given) and saves it; returns its DOCID.
  int SaveNew(const std::map<std::string, std::string>& columns) {
    TQuery& doc = *Archive->DocQuery();
    doc.Append();
    doc.FieldByName("FILENAME").SetAsString("");
    for (const auto& [name, value] : columns) doc.FieldByName(name).SetAsString(value);
    doc.Post();
    return Archive->GetDocID();
  }

  // Changes columns of a saved document through an edit of the dataset.
  void Change(int docId, const std::map<std::string, std::string>& columns) {
    ASSERT_TRUE(Archive->LocateDocID(docId));
    TQuery& doc = *Archive->DocQuery();
    doc.Edit();
    for (const auto& [name, value] : columns) doc.FieldByName(name).SetAsString(value);
    doc.Post();
  }

  void Wait() { Fti->WaitForWorker(); }

  // What the error log received since the fixture opened the archive.
  std::string NewLog() const { return ErrorLog().substr(FLogStart); }

  // The document's index words, sorted.
  std::vector<std::string> Words(int docId) const {
    return Select(
        "SELECT W.WORD FROM FTIWID P JOIN FTIWORD W ON W.WORDID = P.WORDID WHERE P.DOCID = " +
        std::to_string(docId) + " ORDER BY W.WORD");
  }

  // The queued jobs as "DOCID op word".
  std::vector<std::string> Queue() const {
    std::vector<std::string> jobs;
    for (const TUpdateFtiItem& job : Fti->JobQueue().Items())
      jobs.push_back(std::to_string(job.FDocID) + " " + std::to_string(job.FOperation) + " " +
                     job.FWord);
    return jobs;
  }

  // The archive's own connection in a transaction: the main thread goes on
  // saving documents, while the worker cannot begin a batch, so its jobs
  // stay queued where a test can read them until Release.
  void HoldWriteLock() { Archive->Connection().BeginTrans(); }
  void Release() { Archive->Connection().CommitTrans(); }

  TFullTextRetrieval* Fti = nullptr;
  size_t FLogStart = 0;
};

}  // namespace dk::test
