// Database components on real archives: each test gets an empty version 6
// archive made as dkl-mkarchive makes it, a sandboxed configuration (shared
// data directory, admin.ini and Error.log in the test's temp dir), an
// application object for the screen cursor and a scripted box answerer.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "data/connection.h"
#include "data/query.h"
#include "db/doc_database.h"
#include "db/util/archive_schema.h"
#include "settings/error_log.h"
#include "support/settings_sandbox.h"
#include "support/temp_dir.h"
#include "sys/file_paths.h"
#include "ui/application.h"
#include "ui/message_box.h"

namespace dk::test {

// The document database with the record rules left empty: what the tests
// need of a descendant.
class TTestDocDatabase : public TCustomDocDatabase {
 public:
  using TCustomDocDatabase::TCustomDocDatabase;
  int GetCurrDocType() override { return 0; }
  void BuildCreateTableSQL(TStringList& lines, std::string_view table) override {
    dk::BuildCreateTableSQL(lines, table, Connection());
  }
  void DocBeforeDelete(TDataSet&) override { ++BeforeDeleteCalls; }
  void DocBeforePost(TDataSet&) override { ++BeforePostCalls; }
  bool GetDocTypePickItems(std::string_view fieldName, TStringList& items) override {
    if (fieldName != "APPLNAME") return false;
    items.AddStrings(DocTypeNames);
    return true;
  }

  TStringList DocTypeNames;
  int BeforeDeleteCalls = 0;
  int BeforePostCalls = 0;
};

class DbTest : public SettingsTest {
 protected:
  DbTest() {
    WriteMachine();
    FConfig = Load();
    auto answerer = std::make_unique<TScriptedAnswerer>();
    Boxes = answerer.get();
    FPreviousAnswerer = SetBoxAnswerer(std::move(answerer));
    ArchiveFile = FDir / "archiv.mdb";
    CreateEmptyArchive(ArchiveFile);
  }
  ~DbTest() override { SetBoxAnswerer(std::move(FPreviousAnswerer)); }

  // Reloads the configuration after a test changed admin.ini.
  void ReloadConfiguration() { FConfig = Load(); }

  // A document database on the archive, opened, with the counter retries
  // made short.
  std::unique_ptr<TTestDocDatabase> OpenArchive() {
    auto db = std::make_unique<TTestDocDatabase>(nullptr);
    db->SetDatabaseName(ArchiveFile);
    db->CounterRetryPause = std::chrono::milliseconds(0);
    db->Open();
    return db;
  }

  // A connection of its own on the archive, as another program would have.
  std::unique_ptr<TConnection> Direct() const {
    auto conn = std::make_unique<TConnection>();
    conn->SetConnectionString("Provider=SQLite;Data Source=" + ArchiveFile);
    conn->Open();
    return conn;
  }

  void Exec(const std::string& sql) const { Direct()->Execute(sql); }

  // The rows of a query, each as its columns' texts joined by "|".
  std::vector<std::string> Select(const std::string& sql) const {
    auto conn = Direct();
    TQuery q;
    q.SetConnection(conn.get());
    q.SetSQLText(sql);
    q.Open();
    std::vector<std::string> rows;
    for (; !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.FieldCount(); ++i) row += (i ? "|" : "") + q.Fields(i).AsString();
      rows.push_back(row);
    }
    return rows;
  }

  std::string ErrorLog() const {
    const std::string file = ErrorLogFileName();
    return FileExists(file) ? ReadFile(file) : std::string();
  }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const TMessageBox& box : Boxes->Shown()) texts.push_back(box.Text);
    return texts;
  }

  TApplication FApp;
  std::unique_ptr<TConfiguration> FConfig;
  TScriptedAnswerer* Boxes = nullptr;
  std::unique_ptr<TBoxAnswerer> FPreviousAnswerer;
  std::string ArchiveFile;
};

// Counts the occurrences of `part` in `text`.
inline int Occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

}  // namespace dk::test
