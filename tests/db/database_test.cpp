#include "db/database.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "data/errors.h"
#include "db_fixture.h"
#include "sys/api_tools.h"
#include "sys/text.h"

namespace dk {
namespace {

using test::DbTest;

class DatabaseTest : public DbTest {
 protected:
  ~DatabaseTest() override { SetDriveKindProbe(nullptr); }

  // Every database file of these tests lies on the drive kind given here.
  void SetDriveKind(int kind) {
    SetDriveKindProbe([this, kind](const std::string& path) {
      ProbedPaths.push_back(path);
      return kind;
    });
  }

  std::string WriteSettingsFile(const std::string& name, const std::string& body) {
    const std::string file = FDir / name;
    test::WriteFile(file, "[AdoConnection]\r\n" + body);
    return file;
  }

  std::vector<std::string> ProbedPaths;
};

TEST(DatabaseNames, SettingsFilesAreRecognisedByExtensionIgnoringCase) {
  struct TCase {
    const char* Name;
    bool IsSettingsFile;
  };
  const TCase cases[] = {
      {"/daten/Archiv.DKCS", true},  {"/daten/typen.aplcs", true},
      {"/daten/Typen.ApLcS", true},  {"/daten/archiv.dkcs.mdb", false},
      {"/daten/archiv.mdb", false},  {"/daten/dkcs", false},
      {"/daten.dkcs/archiv", false}, {"/daten/archiv.dkcsx", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsConnectionFileName(c.Name), c.IsSettingsFile) << c.Name;
  EXPECT_EQ(BuildJetConnectionString("/daten/archiv.mdb"),
            "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data "
            "Source=/daten/archiv.mdb");
}

TEST_F(DatabaseTest, OpensAJetFileAndFiresItsEventsOncePerChange) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* db = new TCustomDkDatabase(owner.get());
  int connects = 0, closes = 0;
  db->AfterConnect = [&](TComponent& sender) {
    EXPECT_EQ(&sender, db);
    ++connects;
  };
  db->AfterCloseConnection = [&](TComponent&) { ++closes; };
  db->SetDatabaseName(ArchiveFile);
  EXPECT_FALSE(db->Connected());
  EXPECT_EQ(db->SqlDialect(), 0);

  db->OpenConnection();
  db->OpenConnection();
  EXPECT_TRUE(db->Connected());
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(db->SqlDialect(), 1);
  EXPECT_EQ(db->Connection().ConnectionString(), BuildJetConnectionString(ArchiveFile));
  EXPECT_FALSE(db->Connection().LoginPrompt());

  db->CloseConnection();
  db->CloseConnection();
  EXPECT_EQ(closes, 1);

  // Freed with its owner, an open database closes first.
  db->OpenConnection();
  owner.reset();
  EXPECT_EQ(connects, 2);
  EXPECT_EQ(closes, 2);
}

TEST_F(DatabaseTest, MissingFilesAndRenamingAnOpenDatabase) {
  TCustomDkDatabase db(nullptr);
  int connects = 0;
  db.AfterConnect = [&](TComponent&) { ++connects; };
  for (const std::string& missing : {FDir / "fehlt.mdb", FDir / "fehlt.dkcs"}) {
    db.SetDatabaseName(missing);
    try {
      db.OpenConnection();
      ADD_FAILURE() << "opened " << missing;
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), "Die Datei \"" + missing + "\" wurde nicht gefunden.");
    }
    EXPECT_FALSE(db.Connected());
    EXPECT_TRUE(db.Connection().ConnectionString().empty());
  }
  EXPECT_EQ(connects, 0);

  db.SetDatabaseName(ArchiveFile);
  db.OpenConnection();
  db.SetDatabaseName(ArchiveFile);  // the same name: nothing happens
  try {
    db.SetDatabaseName(FDir / "anderes.mdb");
    ADD_FAILURE() << "renamed an open database";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on an open database");
  }
  EXPECT_EQ(db.DatabaseName(), ArchiveFile);
  EXPECT_TRUE(db.Connected());
}

TEST_F(DatabaseTest, CursorSettingsFollowTheDriveAndTheAdministrator) {
  struct TCase {
    const char* AdminIni;  // nullptr: no admin.ini
    int DriveKind;
    TCursorLocation Location;
    TCursorType Type;
    TADOLockType Lock;
    int Cache;
    bool DriveAsked;
  };
  const TCase cases[] = {
      {nullptr, dkFixed, clUseServer, ctKeyset, ltOptimistic, 1, true},
      {nullptr, dkRemote, clUseServer, ctKeyset, ltPessimistic, 1, true},
      {"[DataBase]\r\nCacheSize=50\r\n", dkRemote, clUseServer, ctKeyset, ltOptimistic, 50, false},
      {"[DataBase]\r\nCursorLocation=1\r\nCursorType=3\r\nLockType=4\r\nCacheSize=9\r\n", dkRemote,
       clUseClient, ctDynamic, ltBatchOptimistic, 9, false},
      // Another section's keys are no cursor settings.
      {"[Other]\r\nCacheSize=50\r\n", dkRemote, clUseServer, ctKeyset, ltPessimistic, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.AdminIni ? c.AdminIni : "no admin.ini");
    std::filesystem::remove(Common() + "admin.ini");
    if (c.AdminIni) WriteAdminIni(c.AdminIni);
    ReloadConfiguration();
    SetDriveKind(c.DriveKind);
    ProbedPaths.clear();

    TCustomDkDatabase db(nullptr);
    TQuery* query = db.CreateQuery();
    TTable* table = db.CreateTable("IDENTNO");
    db.RegisterDataSet(query);
    db.RegisterDataSet(table);
    db.SetDatabaseName(ArchiveFile);
    db.OpenConnection();

    EXPECT_EQ(db.CursorLocation, c.Location);
    EXPECT_EQ(db.CursorType, c.Type);
    EXPECT_EQ(db.LockType, c.Lock);
    EXPECT_EQ(db.CacheSize, c.Cache);
    EXPECT_EQ(db.Connection().CursorLocation(), c.Location);
    for (TDataSet* ds : {static_cast<TDataSet*>(query), static_cast<TDataSet*>(table)}) {
      EXPECT_EQ(ds->CursorLocation(), c.Location);
      EXPECT_EQ(ds->CursorType(), c.Type);
      EXPECT_EQ(ds->LockType(), c.Lock);
      EXPECT_EQ(ds->CacheSize(), c.Cache);
    }
    EXPECT_EQ(ProbedPaths,
              c.DriveAsked ? std::vector<std::string>{ArchiveFile} : std::vector<std::string>{});
  }
}

TEST_F(DatabaseTest, SettingsFileSetsUpTheConnection) {
  // The administrator asks for client-side cursors; the settings file's own
  // cursor location wins for the connection and every dataset.
  WriteAdminIni("[DataBase]\r\nCursorLocation=1\r\n");
  ReloadConfiguration();
  ASSERT_TRUE(FConfig->HasCursorSettings);

  struct TCase {
    const char* Name;
    std::string Body;
    TCursorLocation Location;
    int ConnectionTimeout, CommandTimeout;
  };
  const std::string cs = "ConnectionString=Provider=SQLite;Data Source=" + ArchiveFile + "\r\n";
  const TCase cases[] = {
      {"Archiv.DKCS", cs + "CursorLocation=0\r\nConnectionTimeOut=7\r\nCommandTimeOut=5\r\n",
       clUseServer, 7, 5},
      {"typen.aplcs", cs, clUseClient, 15, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TCustomDkDatabase db(nullptr);
    TQuery* query = db.CreateQuery();
    db.RegisterDataSet(query);
    db.SetDatabaseName(WriteSettingsFile(c.Name, c.Body));
    EXPECT_TRUE(db.IsConnectionFile());
    db.OpenConnection();
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(db.SqlDialect(), 3);
    EXPECT_EQ(db.Connection().ConnectionString(), "Provider=SQLite;Data Source=" + ArchiveFile);
    EXPECT_EQ(db.Connection().ConnectionTimeout(), c.ConnectionTimeout);
    EXPECT_EQ(db.Connection().CommandTimeout(), c.CommandTimeout);
    EXPECT_EQ(db.Connection().CursorLocation(), c.Location);
    EXPECT_EQ(db.CursorLocation, c.Location);
    EXPECT_EQ(query->CursorLocation(), c.Location);
    EXPECT_TRUE(db.TableExists("DOCUMENT"));
  }
}

TEST_F(DatabaseTest, PlaceholdersInTheConnectionStringGoThroughTheHostOnly) {
  const std::string raw = "Provider=SQLite;Data Source={Archivordner}/archiv.mdb";
  const std::string file = WriteSettingsFile("archiv.dkcs", "ConnectionString=" + raw + "\r\n");

  // No handler: the text is used as it stands and the dialect read from it.
  TCustomDkDatabase plain(nullptr);
  plain.SetDatabaseName(file);
  EXPECT_THROW(plain.OpenConnection(), EDatabaseError);
  EXPECT_FALSE(plain.Connected());
  EXPECT_EQ(plain.Connection().ConnectionString(), raw);
  EXPECT_EQ(plain.SqlDialect(), 3);

  TCustomDkDatabase expanded(nullptr);
  std::vector<std::string> asked;
  expanded.OnConvertCmdStr = [&](TComponent&, const std::string& src, std::string& value) {
    asked.push_back(src);
    EXPECT_EQ(value, src);
    value = ReplaceAll(src, "{Archivordner}", FDir.Path());
  };
  expanded.SetDatabaseName(file);
  expanded.OpenConnection();
  EXPECT_TRUE(expanded.Connected());
  EXPECT_EQ(asked, std::vector<std::string>{raw});
  EXPECT_EQ(expanded.Connection().ConnectionString(), "Provider=SQLite;Data Source=" + ArchiveFile);
}

TEST_F(DatabaseTest, SettingsFileWithoutConnectionStringFailsInTheProvider) {
  TCustomDkDatabase db(nullptr);
  db.SetDatabaseName(WriteSettingsFile("leer.dkcs", "CursorLocation=1\r\n"));
  EXPECT_THROW(db.OpenConnection(), EDatabaseError);
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Connection().ConnectionString(), "");
  EXPECT_EQ(db.SqlDialect(), 0);
}

TEST_F(DatabaseTest, TableNamesOptionsAndRowDeletion) {
  TCustomDkDatabase db(nullptr);
  db.SetDatabaseName(ArchiveFile);
  EXPECT_FALSE(db.TableExists("DOCUMENT"));  // closed: no error either
  db.OpenConnection();
  EXPECT_TRUE(db.TableExists("identno"));
  EXPECT_FALSE(db.TableExists("NOSUCHTABLE"));
  EXPECT_GE(db.GetTableNames().IndexOf("DOCFLD"), 0);

  db.WriteOption("Converted", "erste");
  db.WriteOption("O'Neil", "x");
  db.WriteOption("Converted", "zweite");
  EXPECT_EQ(Select("SELECT OPTNAME, OPTVALUE FROM DBOPTION ORDER BY OPTNAME"),
            (std::vector<std::string>{"Converted|zweite", "O'Neil|x"}));

  Exec("INSERT INTO TODO (TODOID, DOCID) VALUES (1, 17), (2, 17), (3, 170), (4, 7)");
  db.DeleteRows("TODO", "DOCID", "17");
  EXPECT_EQ(Select("SELECT TODOID FROM TODO ORDER BY TODOID"),
            (std::vector<std::string>{"3", "4"}));
  EXPECT_THROW(db.DeleteRows("NOSUCHTABLE", "DOCID", "17"), EDatabaseError);
}

TEST_F(DatabaseTest, CreatedDataSetsCarryTheSettingsAndBelongToTheComponent) {
  TCustomDkDatabase db(nullptr);
  db.CursorLocation = clUseClient;
  db.CursorType = ctStatic;
  db.LockType = ltReadOnly;
  db.CacheSize = 25;
  TTable* table = db.CreateTable("IDENTNO");
  TQuery* query = db.CreateQuery();
  EXPECT_EQ(table->TableName(), "IDENTNO");
  for (TDataSet* ds : {static_cast<TDataSet*>(table), static_cast<TDataSet*>(query)}) {
    EXPECT_EQ(ds->Connection(), &db.Connection());
    EXPECT_EQ(ds->CursorLocation(), clUseClient);
    EXPECT_EQ(ds->CursorType(), ctStatic);
    EXPECT_EQ(ds->LockType(), ltReadOnly);
    EXPECT_EQ(ds->CacheSize(), 25);
  }
  EXPECT_TRUE(db.DataSets().empty());
  db.RegisterDataSet(query);
  db.RegisterDataSet(query);
  EXPECT_EQ(db.DataSets().size(), 1u);
  db.FreeDataSet(query);
  EXPECT_TRUE(db.DataSets().empty());
  // The table goes with the component.
}

}  // namespace
}  // namespace dk
