#include "db/full_text_retrieval.h"

#include <gtest/gtest.h>

#include "db/update_fti_thread.h"
#include "fti_fixture.h"
#include "settings/locations.h"
#include "sys/text.h"

namespace dk {
namespace {

using test::FtiTest;
using Rows = std::vector<std::string>;

class FullTextRetrievalTest : public FtiTest {
 protected:
  std::string Split(const std::string& text) const {
    std::string list = ".";
    Fti->AddWords(text, list);
    return list;
  }
};

TEST_F(FullTextRetrievalTest, SplitsTextIntoFoldedWordsByTheConfiguredRules) {
  struct Case {
    const char* Text;
    bool IgnoreDigits;
    int IgnoreLength;
    bool SearchWords;
    const char* WordList;
    const char* Expected;
  };
  const std::string letters35 = "Abcdefghijklmnopqrstuvwxyzabcdefghi";
  const Case cases[] = {
      // Umlauts and ß fold after lower-casing; each word once.
      {"Müller STRASSE Straße", true, 2, false, ".", ".mueller.strasse."},
      {"ÄRGER über Öl", true, 2, false, ".", ".aerger.ueber.oel."},
      // Punctuation, blanks and characters outside the word letters separate.
      {"Haus-Garten, (Haus); Café", true, 2, false, ".", ".haus.garten.caf."},
      // One-letter words are too short; digits separate or belong to words.
      {"a b c Raum12b", true, 2, false, ".", ".raum."},
      {"a b c Raum12b 7 42", false, 2, false, ".", ".raum12b.42."},
      // The minimum length counts characters before folding.
      {"ab abc Öl", true, 3, false, ".", ".abc."},
      // Stop words are excluded exactly as they stand in the list.
      {"und Haus oder", true, 2, false, ".und.oder.", ".haus."},
      {"und", true, 2, false, ".Und.", ".und."},
      // Search words admit only words that begin with one of them.
      {"Haus Hausbau Haustür Baumhaus", true, 2, true, ".haus.", ".haus.hausbau.haustuer."},
      {"Haus", true, 2, true, ".Haus..", "."},
      {"Haus", true, 2, true, ".", "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    FConfig->SetIgnoreDigits(c.IgnoreDigits);
    FConfig->FtiIgnoreLength = c.IgnoreLength;
    FConfig->FtiUseSearchWords = c.SearchWords;
    FConfig->WordList = c.WordList;
    EXPECT_EQ(Split(c.Text), c.Expected);
  }
  FConfig->SetIgnoreDigits(true);
  FConfig->FtiIgnoreLength = 2;
  FConfig->FtiUseSearchWords = false;
  FConfig->WordList = ".";

  // Long words are cut to 30 characters before the duplicate test.
  const std::string cut = AsciiLower(letters35.substr(0, 30));
  EXPECT_EQ(Split(letters35 + " " + letters35.substr(0, 30) + "xyz"), "." + cut + ".");
  // A list that already holds a word keeps it once, in first-seen order.
  std::string list = ".garten.";
  Fti->AddWords("Haus Garten haus", list);
  EXPECT_EQ(list, ".garten.haus.");
}

TEST_F(FullTextRetrievalTest, StopWordFileLinesAreTakenAsTheyStand) {
  test::WriteFile(Common() + "stopword.lst", "Und\r\noder\r\n");
  ReloadConfiguration();
  EXPECT_EQ(FConfig->WordList, ".Und.oder.");
  EXPECT_EQ(Split("und oder Haus"), ".und.haus.");
  EXPECT_TRUE(Fti->IsExcludedWord("oder"));
  EXPECT_FALSE(Fti->IsExcludedWord("und"));
}

TEST_F(FullTextRetrievalTest, IndexedFieldsAreLongTextColumnsAndNotesOfAnyKind) {
  Exec(
      "CREATE TABLE T (SHORT2 TEXT(2), LONG3 TEXT(3), DOCGUID TEXT(38), notes INTEGER, "
      "MEMOCOL MEMO, NUM INTEGER)");
  auto conn = Direct();
  TQuery q;
  q.SetConnection(conn.get());
  q.SetSQLText("SELECT * FROM T");
  q.Open();
  struct Case {
    const char* Field;
    int IgnoreLength;
    bool Indexed;
  };
  const Case cases[] = {{"SHORT2", 2, false}, {"SHORT2", 1, true},   {"LONG3", 2, true},
                        {"LONG3", 3, false},  {"DOCGUID", 2, false}, {"notes", 2, true},
                        {"notes", 50, true},  {"NUM", 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Field) + " " + std::to_string(c.IgnoreLength));
    FConfig->FtiIgnoreLength = c.IgnoreLength;
    EXPECT_EQ(IsIndexedField(q.FieldByName(c.Field)), c.Indexed);
  }
  FConfig->FtiIgnoreLength = 2;
  // The document table: its long text columns and NOTES, not DOCTYPE (2).
  const TQuery& doc = *Archive->DocQuery();
  EXPECT_TRUE(IsIndexedField(doc.FieldByName("NAME")));
  EXPECT_TRUE(IsIndexedField(doc.FieldByName("NOTES")));
  EXPECT_FALSE(IsIndexedField(doc.FieldByName("DOCTYPE")));
  EXPECT_FALSE(IsIndexedField(doc.FieldByName("DOCGUID")));
  EXPECT_EQ(FoldUmlauts("Grüße aus Köln"), "Gruesse aus Koeln");
}

TEST_F(FullTextRetrievalTest, NewDocumentIsIndexedWithItsColumnsAndTypeCaption) {
  Archive->OnGetApplicationCaption = [](TComponent&, const std::string& src, std::string& value) {
    if (src == "Brief") value = "Geschäftsbrief";
  };
  HoldWriteLock();
  const int id = SaveNew({{"APPLNAME", "Brief"},
                          {"NAME", "Angebot Müller"},
                          {"PROJECT", "Straße"},
                          {"NOTES", "rot rot"}});
  // New documents queue only additions, in column order, caption last.
  const std::string add = std::to_string(id) + " 0 ";
  EXPECT_EQ(Queue(), (Rows{add + "brief", add + "angebot", add + "mueller", add + "strasse",
                           add + "rot", add + "geschaeftsbrief"}));
  EXPECT_TRUE(Fti->IsWorkerRunning());
  Release();
  Wait();
  EXPECT_FALSE(Fti->IsWorkerRunning());
  EXPECT_EQ(Words(id), (Rows{"angebot", "brief", "geschaeftsbrief", "mueller", "rot", "strasse"}));
}

TEST_F(FullTextRetrievalTest, EditQueuesRemovalsBeforeAdditionsAndNothingForOtherColumns) {
  const int id = SaveNew({{"APPLNAME", "Brief"}, {"NAME", "rot Haus"}});
  Wait();
  ASSERT_EQ(Words(id), (Rows{"brief", "haus", "rot"}));

  HoldWriteLock();
  Change(id, {{"NAME", "Haus blau"}});
  EXPECT_EQ(Queue(), (Rows{std::to_string(id) + " 1 rot", std::to_string(id) + " 0 blau"}));
  Release();
  Wait();
  EXPECT_EQ(Words(id), (Rows{"blau", "brief", "haus"}));

  // A column the index does not read: no job, no worker.
  int reports = 0;
  Archive->OnUpdateFtiThreadInfo = [&](TComponent&, int, int) { ++reports; };
  Change(id, {{"DOCTYPE", "W"}});
  EXPECT_TRUE(Queue().empty());
  EXPECT_FALSE(Fti->IsWorkerRunning());
  Archive->DocQuery()->Edit();
  EXPECT_FALSE(Fti->CheckUpdateCurrDocument());
  Archive->DocQuery()->Cancel();
  EXPECT_EQ(reports, 0);
}

TEST_F(FullTextRetrievalTest, ReindexingRemovesAllWordsFirstAndLeavesTheCurrentOnes) {
  const int id = SaveNew({{"APPLNAME", "Brief"}, {"NAME", "alt"}});
  Wait();
  Exec("UPDATE DOCUMENT SET NAME = 'neu' WHERE DOCID = " + std::to_string(id));
  Archive->RefreshQueryDoc();
  HoldWriteLock();
  Fti->UpdateDocument(id, false);
  EXPECT_EQ(Queue(), (Rows{std::to_string(id) + " 2 ", std::to_string(id) + " 0 brief",
                           std::to_string(id) + " 0 neu"}));
  Release();
  Wait();
  EXPECT_EQ(Words(id), (Rows{"brief", "neu"}));
  // An unknown DOCID indexes nothing.
  Fti->UpdateDocument(9999, false);
  EXPECT_TRUE(Queue().empty());
}

TEST_F(FullTextRetrievalTest, NoIndexModeQueuesNothing) {
  FConfig->FtiCreateMode = 0;
  const int id = SaveNew({{"APPLNAME", "Brief"}, {"NAME", "Haus"}});
  Change(id, {{"NAME", "Garten"}});
  Archive->DocQuery()->Delete();
  EXPECT_TRUE(Queue().empty());
  EXPECT_FALSE(Fti->IsWorkerRunning());
  EXPECT_EQ(Fti->FieldValues.Count(), 0);
}

TEST_F(FullTextRetrievalTest, ServerIndexerModeRequestsNewDocumentsAndQueuesChangesLocally) {
  // What the archive decides on opening a database on a network drive.
  Fti->UseServerIndexer = true;

  const int id = SaveNew({{"APPLNAME", "Brief"}, {"NAME", "Haus"}});
  EXPECT_TRUE(Queue().empty());
  EXPECT_FALSE(Fti->IsWorkerRunning());
  const Rows requests = Select("SELECT DOCID, OPERATION FROM INDEXER");
  EXPECT_EQ(requests, Rows{std::to_string(id) + "|1"});

  HoldWriteLock();
  Change(id, {{"NAME", "Garten"}});
  EXPECT_EQ(Queue(), (Rows{std::to_string(id) + " 1 haus", std::to_string(id) + " 0 garten"}));
  Archive->DocQuery()->Delete();
  EXPECT_EQ(Queue().back(), std::to_string(id) + " 2 ");
  Release();
  Wait();
  EXPECT_TRUE(Words(id).empty());
  EXPECT_EQ(Select("SELECT COUNT(*) FROM INDEXER"), Rows{"1"});
}

}  // namespace
}  // namespace dk
