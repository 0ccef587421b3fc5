// The database component base: one connection, turned from a single file name
// into a working database.
//
// `DatabaseName` is either a Jet database file (on this platform an SQLite
// file, opened directly) or a connection settings file (".dkcs" for an
// archive, ".aplcs" for a document-type database, extension compared without
// regard to case): an INI file whose section "AdoConnection" holds a full
// connection string and the connection's options.
//
// The component owns its connection and every dataset it creates; the
// datasets registered in DataSets() receive the component's four cursor
// settings before each connect. Descendants (the document database, the
// archive, the document-type database) create their datasets in their
// constructors with CreateQuery/CreateTable, register the ones they keep and
// bind the datasets' events to their own operations there.
//
// Main thread only. Failures are exceptions with the system's German texts;
// provider errors pass to the caller unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/connection.h"
#include "data/dataset.h"
#include "data/query.h"
#include "data/table.h"
#include "sys/component.h"
#include "sys/string_list.h"

namespace dk {

// Events of the components. An empty function means the step is skipped.
using TNotifyEvent = std::function<void(TComponent& sender)>;
// Placeholder expansion by the host: `value` starts as a copy of `src` and
// receives the expanded text.
using TGetValueExNotifyEvent =
    std::function<void(TComponent& sender, const std::string& src, std::string& value)>;

// True when the extension is ".dkcs" or ".aplcs", without regard to case
// ("Archiv.DKCS" is a settings file, "archiv.dkcs.mdb" is not).
bool IsConnectionFileName(std::string_view fileName);

// "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
// the file name.
std::string BuildJetConnectionString(std::string_view fileName);

// The drive kind the lock-type rule asks for (GetDriveKind of the database
// name). A test machine cannot mount a network share, so tests put a probe of
// their own here; nullptr restores GetDriveKind. Returns the previous probe.
using TDriveKindProbe = std::function<int(const std::string& path)>;
TDriveKindProbe SetDriveKindProbe(TDriveKindProbe probe);

class TCustomDkDatabase : public TComponent {
 public:
  // Closed, with the cursor defaults: server side, keyset, optimistic, cache
  // size 1; SqlDialect 0.
  explicit TCustomDkDatabase(TComponent* owner);
  // Closes the connection (AfterCloseConnection fires if it was open), then
  // frees the datasets and the connection.
  ~TCustomDkDatabase() override;

  // The owned connection; its login prompt is always off.
  TConnection& Connection() const { return *FConnection; }

  // Published. Assigning the current value does nothing; assigning another
  // value while connected raises EDatabaseError "Cannot perform this operation
  // on an open database" and keeps the old name.
  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& value);

  // Dialect of the connected database (0 unknown, 1 Jet, 2 SQL Server, 3
  // another provider); fixed from one open to the next.
  uint8_t SqlDialect() const { return FSqlDialect; }

  // The settings every registered dataset receives before each connect.
  // Loaded anew at the start of every open (administrator overrides, the
  // network-drive rule, a settings file's cursor location).
  TCursorLocation CursorLocation = clUseServer;
  TCursorType CursorType = ctKeyset;
  TADOLockType LockType = ltOptimistic;
  int CacheSize = 1;

  // Datasets that receive the cursor settings, in registration order. The
  // list does not own them; the component does (CreateQuery, CreateTable).
  const std::vector<TDataSet*>& DataSets() const { return FDataSets; }
  void RegisterDataSet(TDataSet* dataSet);

  // Published events.
  TNotifyEvent AfterConnect;               // after a successful open
  TGetValueExNotifyEvent OnConvertCmdStr;  // placeholder expansion, see ConvertCmdStr
  TNotifyEvent AfterCloseConnection;       // after a successful close

  // Opens the connection if it is closed: the database file must exist
  // (EDatabaseError "Die Datei "<name>" wurde nicht gefunden." otherwise, also
  // for a settings file), then the cursor settings are loaded, the
  // connection is set up from the name and the settings go to every
  // registered dataset; then the connection opens and AfterConnect fires.
  void OpenConnection();
  // Closes the connection if it is open (its datasets close with it), then
  // fires AfterCloseConnection.
  void CloseConnection();
  bool Connected() const { return FConnection->Connected(); }
  bool IsConnectionFile() const { return IsConnectionFileName(FDatabaseName); }

  // A new dataset on Connection(), owned by the component, with CacheSize,
  // CursorLocation, CursorType and LockType set in that order (a table gets
  // its name first). Not registered in DataSets(): callers register the ones
  // they keep and free the others with FreeDataSet (or TOwnedDataSet).
  TQuery* CreateQuery();
  TTable* CreateTable(std::string_view tableName);
  // Frees a dataset this component created and drops it from DataSets().
  void FreeDataSet(TDataSet* dataSet);

  // The connection's user tables, without the engine's own.
  TStringList GetTableNames();
  // False while closed; otherwise whether GetTableNames holds the name,
  // compared without regard to case.
  bool TableExists(std::string_view tableName);

  // Stores one row of DBOPTION: inserted when OPTNAME has none, else the first
  // one is updated. Errors pass to the caller.
  void WriteOption(const std::string& name, const std::string& value);
  // Executes "DELETE FROM <table> WHERE <column> = <value>"; the value goes in
  // verbatim, unquoted.
  void DeleteRows(std::string_view table, std::string_view keyColumn, std::string_view keyValue);

  // `src` passed through OnConvertCmdStr; unchanged without a handler.
  std::string ConvertCmdStr(const std::string& src);

 protected:
  // The steps of OpenConnection, in their order.
  void LoadCursorSettings();
  void SetupConnection();
  void ApplyCursorSettings();

 private:
  std::unique_ptr<TConnection> FConnection;
  std::string FDatabaseName;
  uint8_t FSqlDialect = 0;
  std::vector<TDataSet*> FDataSets;
  std::vector<std::unique_ptr<TDataSet>> FOwnedDataSets;
};

// Frees a dataset from CreateQuery/CreateTable when the scope ends, on every
// way out.
template <class T>
class TOwnedDataSet {
 public:
  TOwnedDataSet(TCustomDkDatabase& owner, T* dataSet) : FOwner(owner), FDataSet(dataSet) {}
  ~TOwnedDataSet() { FOwner.FreeDataSet(FDataSet); }
  TOwnedDataSet(const TOwnedDataSet&) = delete;
  TOwnedDataSet& operator=(const TOwnedDataSet&) = delete;

  T* operator->() const { return FDataSet; }
  T& operator*() const { return *FDataSet; }
  T* Get() const { return FDataSet; }

 private:
  TCustomDkDatabase& FOwner;
  T* FDataSet;
};

}  // namespace dk
