#include "db/full_text_retrieval.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <thread>

#include "db/archive.h"
#include "db/doc_database.h"
#include "db/document_files.h"
#include "db/update_fti_thread.h"
#include "db/util/sql_util.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "sys/date_time.h"
#include "sys/file_paths.h"
#include "sys/text.h"
#include "ui/application.h"

namespace dk {

namespace {

// Index words are cut to this many characters (the WORD column's size).
constexpr size_t kMaxWordLength = 30;

// Decodes the code point at `pos` and advances `pos`. A byte that starts no
// valid sequence counts as one character that is never a word character.
char32_t NextCodePoint(std::string_view s, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  size_t len = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  }
  if (len == 0 || pos + len > s.size()) {
    ++pos;
    return 0xFFFD;
  }
  for (size_t i = 1; i < len; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  pos += len;
  return cp;
}

// Lower case by the rules of the Windows ANSI code page for the characters
// a word can hold (A-Z and the Latin-1 capitals).
char32_t AnsiLower(char32_t cp) {
  if (cp >= 'A' && cp <= 'Z') return cp + 0x20;
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
  return cp;
}

bool IsWordChar(const TCharSet& chars, char32_t cp) {
  return cp < 256 && chars.test(cp);
}

}  // namespace

// ---------------------------------------------------------------------------
// Job queue

void TFtiJobQueue::Add(std::unique_ptr<TUpdateFtiItem> job) {
  std::lock_guard<std::mutex> lock(FLock);
  FJobs.push_back(std::move(job));
}

std::unique_ptr<TUpdateFtiItem> TFtiJobQueue::TakeFirst(int& count) {
  std::lock_guard<std::mutex> lock(FLock);
  count = static_cast<int>(FJobs.size());
  if (FJobs.empty()) return nullptr;
  std::unique_ptr<TUpdateFtiItem> job = std::move(FJobs.front());
  FJobs.pop_front();
  return job;
}

void TFtiJobQueue::PutBack(std::vector<std::unique_ptr<TUpdateFtiItem>>& jobs) {
  std::lock_guard<std::mutex> lock(FLock);
  for (auto it = jobs.rbegin(); it != jobs.rend(); ++it)
    if (*it) FJobs.push_front(std::move(*it));
  jobs.clear();
}

int TFtiJobQueue::Count() const {
  std::lock_guard<std::mutex> lock(FLock);
  return static_cast<int>(FJobs.size());
}

std::vector<TUpdateFtiItem> TFtiJobQueue::Items() const {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<TUpdateFtiItem> items;
  for (const auto& job : FJobs) items.push_back(*job);
  return items;
}

int TFtiJobQueue::Clear() {
  std::lock_guard<std::mutex> lock(FLock);
  const int n = static_cast<int>(FJobs.size());
  FJobs.clear();
  return n;
}

// ---------------------------------------------------------------------------
// Free functions

bool IsIndexedField(const TField& field) {
  const TFieldType type = field.DataType();
  const int ignoreLength = Configuration ? Configuration->FtiIgnoreLength : 2;
  if ((type == ftString || type == ftMemo || type == ftWideString) && field.Size() > ignoreLength &&
      field.FieldName() != "DOCGUID")
    return true;
  return AsciiUpper(field.FieldName()) == "NOTES";
}

std::string FoldUmlauts(std::string_view text) {
  std::string s = ReplaceAll(text, "ä", "ae");
  s = ReplaceAll(s, "ö", "oe");
  s = ReplaceAll(s, "ü", "ue");
  return ReplaceAll(s, "ß", "ss");
}

TFtiWordRules TFtiWordRules::FromConfiguration() {
  TFtiWordRules rules;
  if (const TConfiguration* config = Configuration) {
    rules.WordChars = config->WordChars;
    rules.IgnoreDigits = config->IgnoreDigits;
    rules.IgnoreLength = config->FtiIgnoreLength;
    rules.UseSearchWords = config->FtiUseSearchWords;
    rules.WordList = config->WordList;
  }
  return rules;
}

bool InWordList(std::string_view list, std::string_view word) {
  std::string key;
  key.reserve(word.size() + 2);
  key += '.';
  key += word;
  key += '.';
  return list.find(key) != std::string_view::npos;
}

std::vector<std::string> WordListItems(std::string_view list) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t dot = list.find('.', pos);
    if (dot == std::string_view::npos) dot = list.size();
    if (dot > pos) words.emplace_back(list.substr(pos, dot - pos));
    pos = dot + 1;
  }
  return words;
}

// ---------------------------------------------------------------------------
// Indexer

TFullTextRetrieval::TFullTextRetrieval(TCustomDocDatabase& database) : FDatabase(database) {
  FIndexerQuery = FDatabase.CreateQuery();
  FIndexerQuery->SetName("FtiIndexerQuery");
  FIndexerQuery->SetCursorLocation(FDatabase.Connection().CursorLocation());
  FSpareQuery = FDatabase.CreateQuery();
  FSpareQuery->SetName("FtiSpareQuery");
  FSpareQuery->SetCursorLocation(FDatabase.Connection().CursorLocation());
}

TFullTextRetrieval::~TFullTextRetrieval() {
  FDestroying = true;
  if (FWorker) {
    // Stop between jobs: the worker may be waiting for the main thread (its
    // progress report, its end notification), so the calls it hands over run
    // here until it has ended.
    FWorker->RequestStop();
    while (FWorker && !FWorker->Finished()) {
      if (Application) Application->ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (FWorker && Application) Application->ProcessMessages();
    if (FWorker) FFinished.push_back(std::move(FWorker));
  }
  JoinFinishedWorkers();
  const int left = FJobQueue.Clear();
  if (left > 0)
    WriteErrorLog("Volltextindex: " + std::to_string(left) +
                  " Aufträge wurden beim Schließen nicht mehr ausgeführt; die betroffenen "
                  "Dokumente müssen neu indiziert werden.");
  FDatabase.FreeDataSet(FSpareQuery);
  FDatabase.FreeDataSet(FIndexerQuery);
}

TFtiWordRules TFullTextRetrieval::Rules() const {
  return FHasRules ? FRules : TFtiWordRules::FromConfiguration();
}

void TFullTextRetrieval::SetRules(const TFtiWordRules& rules) {
  FRules = rules;
  FHasRules = true;
}

void TFullTextRetrieval::AddWords(std::string_view text, std::string& list) const {
  const TFtiWordRules rules = Rules();
  const auto minLength = static_cast<size_t>(std::max(0, rules.IgnoreLength));
  size_t pos = 0;
  std::string word;
  while (pos < text.size()) {
    size_t next = pos;
    char32_t cp = NextCodePoint(text, next);
    if (!IsWordChar(rules.WordChars, cp)) {
      pos = next;
      continue;
    }
    // The token: the longest run of word characters, lower-cased.
    word.clear();
    size_t chars = 0;
    while (IsWordChar(rules.WordChars, cp)) {
      AppendUtf8(word, AnsiLower(cp));
      ++chars;
      pos = next;
      if (pos >= text.size()) break;
      cp = NextCodePoint(text, next);
    }
    if (chars < minLength) continue;
    std::string folded = FoldUmlauts(word);
    if (Utf8Length(folded) > kMaxWordLength) folded = Utf8Left(folded, kMaxWordLength);
    if (Utf8Length(folded) < minLength || HasForeignChars(folded) || IsExcludedWord(folded))
      continue;
    if (!InWordList(list, folded)) {
      list += folded;
      list += '.';
    }
  }
}

bool TFullTextRetrieval::HasForeignChars(std::string_view word) const {
  const bool ignoreDigits = Rules().IgnoreDigits;
  for (char c : word) {
    if (c >= 'a' && c <= 'z') continue;
    if (!ignoreDigits && c >= '0' && c <= '9') continue;
    return true;
  }
  return false;
}

bool TFullTextRetrieval::IsExcludedWord(std::string_view word) const {
  const TFtiWordRules rules = Rules();
  if (!rules.UseSearchWords) return InWordList(rules.WordList, word);
  for (const std::string& entry : WordListItems(rules.WordList))
    if (word.substr(0, entry.size()) == entry) return false;
  return true;
}

void TFullTextRetrieval::AddFieldWords(std::string& list) {
  TQuery& doc = *FDatabase.DocQuery();
  for (int i = 0; i < doc.FieldCount(); ++i) {
    const TField& field = doc.Fields(i);
    if (!IsIndexedField(field)) continue;
    const std::string text = field.AsString();
    if (!text.empty()) AddWords(text, list);
  }
  if (FDatabase.OnGetApplicationCaption) {
    try {
      // The handler receives one variable as both source and result: a
      // handler that leaves it alone indexes the type name itself.
      std::string value = doc.FieldByName("APPLNAME").AsString();
      FDatabase.OnGetApplicationCaption(FDatabase, value, value);
      AddWords(value, list);
    } catch (...) {
      // The caption's words are missing; the document's own words stand.
    }
  }
}

bool TFullTextRetrieval::CheckUpdateCurrDocument() {
  if (!Configuration || Configuration->FtiCreateMode == 0) return false;
  TQuery& doc = *FDatabase.DocQuery();
  for (int i = 0; i < doc.FieldCount(); ++i) {
    const TField& field = doc.Fields(i);
    if (!IsIndexedField(field)) continue;
    if (FieldValues.Values(field.FieldName()) != field.AsString()) {
      UpdateFieldWords();
      return true;
    }
  }
  return false;
}

void TFullTextRetrieval::UpdateFieldWords() {
  std::string before = ".";
  for (int i = 0; i < FieldValues.Count(); ++i) AddWords(FieldValues.ValueFromIndex(i), before);
  if (FDatabase.OnGetApplicationCaption) {
    std::string caption;
    FDatabase.OnGetApplicationCaption(FDatabase, FieldValues.Values("APPLNAME"), caption);
    if (!caption.empty()) AddWords(caption, before);
  }
  std::string after = ".";
  AddFieldWords(after);

  const int docId = FDatabase.GetDocID();
  bool queued = false;
  // Removals first: a word that moves between columns is removed and added
  // in this order, never the other way round.
  for (const std::string& word : WordListItems(before))
    if (!InWordList(after, word)) {
      Queue(docId, false, word, fjDeleteWord);
      queued = true;
    }
  for (const std::string& word : WordListItems(after))
    if (!InWordList(before, word)) {
      Queue(docId, false, word, fjAddWord);
      queued = true;
    }
  if (queued) StartWorker();
}

void TFullTextRetrieval::UpdateDocument(int docId, bool newDocument) {
  if (!FDatabase.LocateDocID(docId)) return;
  if (UseServerIndexer)
    QueueServerIndexing();
  else
    IndexCurrDocument(newDocument);
}

void TFullTextRetrieval::AddFileWords(const std::string& fileName, std::string& list) {
  if (FileExists(GetIndexFileName(fileName)))
    ReadIndexFile(*this, fileName, list);
  else
    ReadDocumentFile(*this, fileName, list);
}

void TFullTextRetrieval::StoreFileTime(const std::string& fileName) {
  struct stat st {};
  if (fileName.empty() || stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  struct tm local {};
  const time_t seconds = st.st_mtim.tv_sec;
  localtime_r(&seconds, &local);
  const TDateTime fileTime =
      TDateTime::Encode(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, static_cast<int>(st.st_mtim.tv_nsec / 1000000));
  TQuery& doc = *FDatabase.DocQuery();
  TField* field = doc.FindField("FTIUPDATE");
  if (!field || (!field->IsNull() && field->AsDateTime() == fileTime)) return;
  try {
    if (doc.State() == dsEdit || doc.State() == dsInsert) {
      field->SetAsDateTime(fileTime);
    } else {
      doc.Edit();
      field->SetAsDateTime(fileTime);
      doc.Post();
    }
  } catch (const std::exception&) {
    ShowError(
        "Fehler beim Speichern von \"FTIUPDATE\" in Tabelle \"" + FDatabase.DocTableName + "\".",
        0);
  }
}

void TFullTextRetrieval::IndexCurrDocument(bool newDocument) {
  const std::string fileName = FDatabase.GetDocFileName();
  const int docId = FDatabase.GetDocID();
  std::string words = ".";
  AddFieldWords(words);

  if (Configuration && Configuration->FtiCreateMode == 2 && !IsExcludedFile(fileName)) {
    // The type's command runs before the file is read, so that it can
    // prepare what the reading finds.
    auto* archive = dynamic_cast<TDkArchive*>(&FDatabase);
    if (archive && archive->OnExecuteCommand && archive->ApplDatabase()) {
      const TField* appl = FDatabase.DocQuery()->FindField("APPLNAME");
      const std::string applName = appl ? appl->AsString() : std::string();
      TApplDatabase& types = *archive->ApplDatabase();
      if (types.LocateApplName(applName)) {
        const std::string command = types.GetExecEventCommand(applName, "OnFtiReadFile");
        if (!command.empty()) archive->OnExecuteCommand(*archive, command);
      }
    }
    AddFileWords(fileName, words);
    StoreFileTime(fileName);
  }

  bool queued = false;
  if (!newDocument) {
    Queue(docId, false, std::string(), fjDeleteDocument);
    queued = true;
  }
  for (const std::string& word : WordListItems(words)) {
    Queue(docId, newDocument, word, fjAddWord);
    queued = true;
  }
  if (queued) StartWorker();
}

void TFullTextRetrieval::QueueServerIndexing() {
  const std::string docId = std::to_string(FDatabase.GetDocID());
  try {
    TQuery& query = *FIndexerQuery;
    query.Close();
    query.SQL().Clear();
    query.SQL().Add("INSERT INTO INDEXER");
    query.SQL().Add("(DOCID,OPERATION,POSTDATE)");
    query.SQL().Add("VALUES (");
    query.SQL().Add(SqlQuoted(docId) + ",");
    query.SQL().Add(SqlQuoted("1") + ",");
    query.SQL().Add(SqlDateTime(FDatabase.Connection(), TDateTime::Now()));
    query.SQL().Add(")");
    query.ExecSQL();
  } catch (const std::exception&) {
    WriteErrorLog("Volltextindex: DocID " + docId +
                  " konnte nicht in Tabelle INDEXER eingetragen werden.");
  }
}

void TFullTextRetrieval::Queue(int32_t docId, bool newDocument, std::string word,
                               uint8_t operation) {
  if (FHolding)
    FHeld.emplace_back(docId, newDocument, std::move(word), operation);
  else
    FJobQueue.Add(docId, newDocument, std::move(word), operation);
}

void TFullTextRetrieval::HoldJobs() {
  FHeld.clear();
  FStartHeld = false;
  FHolding = true;
}

void TFullTextRetrieval::DropHeldJobs() {
  FHeld.clear();
  FStartHeld = false;
  FHolding = false;
}

void TFullTextRetrieval::ReleaseHeldJobs(int docId) {
  if (!FHolding) return;
  FHolding = false;
  std::vector<TUpdateFtiItem> held;
  held.swap(FHeld);
  for (TUpdateFtiItem& job : held)
    FJobQueue.Add(docId, job.FNewDocument, std::move(job.FWord), job.FOperation);
  if (FStartHeld || !held.empty()) {
    FStartHeld = false;
    StartWorker();
  }
}

std::vector<int32_t> TFullTextRetrieval::PendingDocIds() const {
  std::vector<int32_t> ids;
  auto note = [&](int32_t id) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  };
  for (const TUpdateFtiItem& job : FJobQueue.Items()) note(job.FDocID);
  for (const TUpdateFtiItem& job : FHeld) note(job.FDocID);
  return ids;
}

void TFullTextRetrieval::WorkerFailed(const std::string& error) {
  FWorkerError = error;
  FGaveUp = true;
  WriteErrorLog("Volltextindex: " + std::to_string(FJobQueue.Count()) +
                " Aufträge konnten nicht ausgeführt werden und bleiben vorgemerkt: " + error);
  if (OnWorkerFailed && !FDestroying) OnWorkerFailed(error);
}

void TFullTextRetrieval::StartWorker() {
  if (FHolding) {
    FStartHeld = true;
    return;
  }
  JoinFinishedWorkers();
  FGaveUp = false;
  if (FWorker) return;
  if (!Application)
    throw std::logic_error(
        "TFullTextRetrieval::StartWorker: the worker reports through the application object, "
        "and none exists");
  FWorker = std::make_unique<TUpdateFtiThread>(FDatabase, *this);
}

void TFullTextRetrieval::WorkerTerminated() {
  // Called by the worker itself, which is still waiting for this call to
  // return: it is joined later, not here.
  if (FWorker) FFinished.push_back(std::move(FWorker));
}

bool TFullTextRetrieval::WaitForWorker() {
  for (;;) {
    if (!FWorker) {
      JoinFinishedWorkers();
      if (FJobQueue.Count() == 0) return FWorkerError.empty();
      // Jobs a worker gave up on wait for the next change, not for a loop
      // that would meet the same failure again at once.
      if (FGaveUp) return false;
      StartWorker();
    }
    if (Application) Application->ProcessMessages();
    if (FWorker && !FWorker->Finished())
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void TFullTextRetrieval::ReportProgress(int max, int pos) {
  if (FDestroying) return;
  if (FDatabase.OnUpdateFtiThreadInfo) FDatabase.OnUpdateFtiThreadInfo(FDatabase, max, pos);
}

void TFullTextRetrieval::JoinFinishedWorkers() {
  // Each has returned from its last call onto the main thread; joining only
  // waits for the thread to leave its body.
  FFinished.clear();
}

}  // namespace dk
