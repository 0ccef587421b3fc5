// An archive and its document-type database placed on one owner, as a host
// window places them: each on an empty version 6 archive file of its own,
// wired to each other, the type database with an image list whose image 0 is
// the symbol of new types.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "data/connection.h"
#include "data/query.h"
#include "db/appl_database.h"
#include "db/archive.h"
#include "db_fixture.h"
#include "sys/component.h"
#include "ui/image_list.h"

namespace dk::test {

class ArchiveTest : public DbTest {
 protected:
  ArchiveTest() {
    TypesFile = FDir / "types.mdb";
    CreateEmptyArchive(TypesFile);
    FConfig->ErrorMessage = "Bitte wenden Sie sich an Ihren Administrator.";
    // Reminders are configured per test.
    FConfig->ToDoTimerInterval = 0;

    Images = new TImageList(&Form);
    Images->Add(kSymbol);
    Types = new TApplDatabase(&Form);
    Types->DocImages = Images;
    Types->SetDatabaseName(TypesFile);
    Archive = new TDkArchive(&Form);
    Archive->SetApplDatabase(Types);
    Types->SetDocArchive(Archive);
    Archive->SetDatabaseName(ArchiveFile);
    Archive->CounterRetryPause = std::chrono::milliseconds(0);
  }

  void OpenBoth() {
    Archive->Open();
    Types->Open();
  }

  // Appends and saves a type row through the component.
  void AddType(const std::string& name, const std::string& letter = "D",
               const std::string& ext = "doc") {
    TTable& appl = *Types->TableAppl();
    appl.Append();
    appl.FieldByName("APPLNAME").SetAsString(name);
    appl.FieldByName("DOCTYPE").SetAsString(letter);
    appl.FieldByName("FILEEXT").SetAsString(ext);
    appl.Post();
  }

  // Appends and saves a command of the current type.
  void AddCommand(const std::string& name, const std::string& execEvent = "") {
    TTable& cmd = *Types->TableApplCmd();
    cmd.Append();
    cmd.FieldByName("CMDNAME").SetAsString(name);
    if (!execEvent.empty()) cmd.FieldByName("EXECEVENT").SetAsString(execEvent);
    cmd.Post();
  }

  // The rows of a query on the type database, columns joined by "|".
  std::vector<std::string> SelectTypes(const std::string& sql) const {
    TConnection conn;
    conn.SetConnectionString("Provider=SQLite;Data Source=" + TypesFile);
    conn.SetCommandTimeout(5);
    conn.Open();
    TQuery q;
    q.SetConnection(&conn);
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

  std::string Contact() const { return FConfig->ErrorMessage; }

  static constexpr const char* kSymbol = "BM\x01\x02symbol";

  // The owner of the components; they go with it, before the configuration
  // and the application object of the base fixture.
  TComponent Form{nullptr};
  TImageList* Images = nullptr;
  TApplDatabase* Types = nullptr;
  TDkArchive* Archive = nullptr;
  std::string TypesFile;
};

}  // namespace dk::test
