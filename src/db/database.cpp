#include "db/database.h"

#include <algorithm>

#include "data/errors.h"
#include "db/util/sql_util.h"
#include "settings/configuration.h"
#include "settings/locations.h"
#include "sys/api_tools.h"
#include "sys/file_paths.h"
#include "sys/ini_file.h"
#include "sys/text.h"

namespace dk {

namespace {

TDriveKindProbe& DriveKindProbe() {
  static TDriveKindProbe probe;
  return probe;
}

int DriveKindOf(const std::string& path) {
  const TDriveKindProbe& probe = DriveKindProbe();
  return probe ? probe(path) : GetDriveKind(path);
}

// The enumerations hold only their codes; a number outside them (a typing
// error in admin.ini) keeps the default instead of becoming an invalid value.
TCursorLocation CursorLocationOf(int code, TCursorLocation fallback) {
  return code == 0 ? clUseServer : code == 1 ? clUseClient : fallback;
}
TCursorType CursorTypeOf(int code, TCursorType fallback) {
  return code >= ctUnspecified && code <= ctStatic ? static_cast<TCursorType>(code) : fallback;
}
TADOLockType LockTypeOf(int code, TADOLockType fallback) {
  return code >= ltUnspecified && code <= ltBatchOptimistic ? static_cast<TADOLockType>(code)
                                                            : fallback;
}

}  // namespace

bool IsConnectionFileName(std::string_view fileName) {
  const std::string ext = ExtractFileExt(fileName);
  return SameText(ext, ".dkcs") || SameText(ext, ".aplcs");
}

std::string BuildJetConnectionString(std::string_view fileName) {
  return "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
         std::string(fileName);
}

TDriveKindProbe SetDriveKindProbe(TDriveKindProbe probe) {
  TDriveKindProbe old = std::move(DriveKindProbe());
  DriveKindProbe() = std::move(probe);
  return old;
}

TCustomDkDatabase::TCustomDkDatabase(TComponent* owner)
    : TComponent(owner), FConnection(std::make_unique<TConnection>()) {
  FConnection->SetLoginPrompt(false);
}

TCustomDkDatabase::~TCustomDkDatabase() {
  try {
    CloseConnection();
  } catch (...) {
    // A destructor cannot report; the failure is on the connection's error list.
  }
  FDataSets.clear();
  FOwnedDataSets.clear();
  FConnection.reset();
}

void TCustomDkDatabase::SetDatabaseName(const std::string& value) {
  if (value == FDatabaseName) return;
  if (Connected()) throw EDatabaseError("Cannot perform this operation on an open database");
  FDatabaseName = value;
}

void TCustomDkDatabase::RegisterDataSet(TDataSet* dataSet) {
  if (dataSet && std::find(FDataSets.begin(), FDataSets.end(), dataSet) == FDataSets.end())
    FDataSets.push_back(dataSet);
}

void TCustomDkDatabase::OpenConnection() {
  if (Connected()) return;
  if (!FileExists(FDatabaseName))
    throw EDatabaseError("Die Datei \"" + FDatabaseName + "\" wurde nicht gefunden.");
  LoadCursorSettings();
  SetupConnection();
  ApplyCursorSettings();
  FConnection->Open();
  if (Connected() && AfterConnect) AfterConnect(*this);
}

void TCustomDkDatabase::CloseConnection() {
  if (!Connected()) return;
  FConnection->Close();
  if (!Connected() && AfterCloseConnection) AfterCloseConnection(*this);
}

void TCustomDkDatabase::LoadCursorSettings() {
  if (Configuration && Configuration->HasCursorSettings) {
    const TIniFile admin(Configuration->AdminIniFile);
    CursorLocation =
        CursorLocationOf(admin.ReadInteger("DataBase", "CursorLocation", 0), clUseServer);
    CursorType = CursorTypeOf(admin.ReadInteger("DataBase", "CursorType", 2), ctKeyset);
    LockType = LockTypeOf(admin.ReadInteger("DataBase", "LockType", 3), ltOptimistic);
    CacheSize = admin.ReadInteger("DataBase", "CacheSize", 1);
    return;
  }
  CursorLocation = clUseServer;
  CursorType = ctKeyset;
  CacheSize = 1;
  // Several clients writing one file over a share need the row locks.
  LockType = DriveKindOf(FDatabaseName) == dkRemote ? ltPessimistic : ltOptimistic;
}

void TCustomDkDatabase::SetupConnection() {
  TConnection& conn = *FConnection;
  if (IsConnectionFile()) {
    const TIniFile settings(FDatabaseName);
    const char* section = "AdoConnection";
    conn.SetConnectionString(settings.ReadString(section, "ConnectionString", ""));
    conn.SetLoginPrompt(settings.ReadBool(section, "LoginPrompt", false));
    conn.SetConnectionTimeout(settings.ReadInteger(section, "ConnectionTimeOut", 15));
    conn.SetCommandTimeout(settings.ReadInteger(section, "CommandTimeOut", 30));
    conn.SetCursorLocation(
        CursorLocationOf(settings.ReadInteger(section, "CursorLocation", 1), clUseClient));
    CursorLocation = conn.CursorLocation();
    if (conn.ConnectionString().find('{') != std::string::npos)
      conn.SetConnectionString(ConvertCmdStr(conn.ConnectionString()));
    FSqlDialect = static_cast<uint8_t>(DialectOf(conn.ConnectionString()));
    return;
  }
  FSqlDialect = 1;
  conn.SetConnectionString(BuildJetConnectionString(FDatabaseName));
  conn.SetCursorLocation(CursorLocation);
  // A Jet file takes no options from anywhere: a settings file opened before
  // under this component must not leave its options behind.
  conn.SetLoginPrompt(false);
  conn.SetConnectionTimeout(15);
  conn.SetCommandTimeout(30);
}

void TCustomDkDatabase::ApplyCursorSettings() {
  if (FDataSets.empty()) return;
  const TDataSet& first = *FDataSets.front();
  if (first.CursorLocation() == CursorLocation && first.CursorType() == CursorType &&
      first.LockType() == LockType && first.CacheSize() == CacheSize)
    return;
  for (TDataSet* ds : FDataSets) {
    ds->SetCacheSize(CacheSize);
    ds->SetCursorLocation(CursorLocation);
    ds->SetCursorType(CursorType);
    ds->SetLockType(LockType);
  }
}

TQuery* TCustomDkDatabase::CreateQuery() {
  auto query = std::make_unique<TQuery>();
  query->SetConnection(FConnection.get());
  query->SetCacheSize(CacheSize);
  query->SetCursorLocation(CursorLocation);
  query->SetCursorType(CursorType);
  query->SetLockType(LockType);
  TQuery* result = query.get();
  FOwnedDataSets.push_back(std::move(query));
  return result;
}

TTable* TCustomDkDatabase::CreateTable(std::string_view tableName) {
  auto table = std::make_unique<TTable>();
  table->SetConnection(FConnection.get());
  table->SetTableName(std::string(tableName));
  table->SetCacheSize(CacheSize);
  table->SetCursorLocation(CursorLocation);
  table->SetCursorType(CursorType);
  table->SetLockType(LockType);
  TTable* result = table.get();
  FOwnedDataSets.push_back(std::move(table));
  return result;
}

void TCustomDkDatabase::FreeDataSet(TDataSet* dataSet) {
  if (!dataSet) return;
  FDataSets.erase(std::remove(FDataSets.begin(), FDataSets.end(), dataSet), FDataSets.end());
  auto it = std::find_if(FOwnedDataSets.begin(), FOwnedDataSets.end(),
                         [&](const auto& owned) { return owned.get() == dataSet; });
  if (it != FOwnedDataSets.end()) FOwnedDataSets.erase(it);
}

TStringList TCustomDkDatabase::GetTableNames() {
  TStringList names;
  FConnection->GetTableNames(names, false);
  return names;
}

bool TCustomDkDatabase::TableExists(std::string_view tableName) {
  if (!Connected()) return false;
  return GetTableNames().IndexOf(tableName) >= 0;
}

void TCustomDkDatabase::WriteOption(const std::string& name, const std::string& value) {
  TOwnedDataSet<TQuery> query(*this, CreateQuery());
  query->SQL().Add("SELECT * FROM DBOPTION");
  query->SQL().Add("WHERE OPTNAME=" + SqlQuoted(name));
  query->Open();
  if (query->IsEmpty())
    query->Append();
  else
    query->Edit();
  query->FieldByName("OPTNAME").SetAsString(name);
  query->FieldByName("OPTVALUE").SetAsString(value);
  query->Post();
}

void TCustomDkDatabase::DeleteRows(std::string_view table, std::string_view keyColumn,
                                   std::string_view keyValue) {
  FConnection->Execute("DELETE FROM " + std::string(table) + " WHERE " + std::string(keyColumn) +
                       " = " + std::string(keyValue));
}

std::string TCustomDkDatabase::ConvertCmdStr(const std::string& src) {
  std::string value = src;
  if (OnConvertCmdStr) OnConvertCmdStr(*this, src, value);
  return value;
}

}  // namespace dk
