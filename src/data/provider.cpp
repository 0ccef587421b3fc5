#include "data/provider.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "data/connection_string.h"
#include "data/errors.h"
#include "data/postgres/postgres_provider.h"
#include "data/sqlite/sqlite_provider.h"
#include "sys/text.h"

namespace dk {

namespace {

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}

std::map<std::string, TProviderFactory>& Registry() {
  static std::map<std::string, TProviderFactory> registry;
  return registry;
}

std::unique_ptr<TProvider> ProviderByName(const std::string& name) {
  std::string key = AsciiLower(Trim(name));
  if (key == "microsoft.jet.oledb.4.0" || key == "sqlite") return NewSqliteProvider();
  if (key == "postgresql") return NewPostgresProvider();
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto it = Registry().find(key);
    if (it != Registry().end()) return it->second();
  }
  if (key.empty()) throw EDatabaseError("Die Verbindungszeichenfolge nennt keinen Provider.");
  // SQL Server archives (SQLOLEDB) among them: a server archive lives on
  // PostgreSQL here, which the message says, so that the settings file can
  // be pointed at what there is.
  throw EDatabaseError("Der Provider \"" + Trim(name) +
                       "\" ist auf dieser Plattform nicht verfügbar. Ein Archiv liegt hier in "
                       "einer SQLite-Datei (Provider \"Microsoft.Jet.OLEDB.4.0\" oder "
                       "\"SQLite\") oder auf einem PostgreSQL-Server (Provider \"PostgreSQL\").");
}

}  // namespace

void TProvider::Drop(const TConnectionString&, const TProviderOptions&) {
  throw EDatabaseError("Der Provider \"" + Name() + "\" kann keine Datenbank entfernen.");
}

void RegisterProvider(std::string name, TProviderFactory factory) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry()[AsciiLower(Trim(name))] = std::move(factory);
}

TEngineTraits EngineTraitsOf(std::string_view connectionString) {
  TEngineTraits traits;
  try {
    const std::unique_ptr<TProvider> provider = CreateProvider(TConnectionString(connectionString));
    traits.EnforcesDeclaredSizes = provider->EnforcesDeclaredSizes();
    traits.MaxNameBytes = provider->MaxNameBytes();
  } catch (const std::exception&) {
    // no provider: opening the connection names that failure
  }
  return traits;
}

std::unique_ptr<TProvider> CreateProvider(const TConnectionString& params) {
  std::string provider = params.Value("Provider");
  std::string key = AsciiLower(Trim(provider));
  if (key == "msdatashape.1" || key == "msdatashape") {
    // The data shaping provider only passes through to its data provider.
    std::string data = params.Value("Data Provider");
    if (Trim(data).empty())
      throw EDatabaseError("Die Verbindungszeichenfolge nennt keinen Data Provider.");
    return ProviderByName(data);
  }
  return ProviderByName(provider);
}

void FieldTypeOfDeclaredType(std::string_view declared, TFieldType& type, int& size) {
  type = ftUnknown;
  size = 0;
  std::string decl = AsciiUpper(Trim(declared));
  if (decl.empty()) return;
  // Split "NAME(a,b)" into the name and up to two numbers.
  std::string name = decl;
  int a = -1, b = -1;
  size_t open = decl.find('(');
  if (open != std::string::npos) {
    name = Trim(decl.substr(0, open));
    std::string args = decl.substr(open + 1);
    a = std::atoi(args.c_str());
    size_t comma = args.find(',');
    if (comma != std::string::npos) b = std::atoi(args.c_str() + comma + 1);
  }
  // Collapse inner runs of blanks ("DOUBLE  PRECISION").
  std::string norm;
  for (char c : name) {
    if (c == ' ' || c == '\t') {
      if (!norm.empty() && norm.back() != ' ') norm += ' ';
    } else {
      norm += c;
    }
  }
  name = norm;
  auto is = [&](std::initializer_list<const char*> names) {
    for (const char* n : names)
      if (name == n) return true;
    return false;
  };
  if (is({"TEXT", "LONGTEXT", "MEMO", "LONGCHAR", "CLOB", "NTEXT", "MEDIUMTEXT"})) {
    if (a > 0 && (name == "TEXT")) {
      type = ftString;
      size = a;
    } else {
      type = ftMemo;
    }
  } else if (is({"VARCHAR", "CHAR", "CHARACTER", "NVARCHAR", "NCHAR", "VARCHAR2",
                 "CHARACTER VARYING", "NATIONAL CHARACTER", "NATIONAL CHAR", "ALPHANUMERIC",
                 "STRING"})) {
    type = ftString;
    size = a > 0 ? a : 255;
  } else if (is({"INTEGER", "INT", "LONG", "INT4", "MEDIUMINT"})) {
    type = ftInteger;
  } else if (is({"SMALLINT", "TINYINT", "SHORT", "INT2", "BYTE", "INTEGER1", "INTEGER2"})) {
    type = ftSmallint;
  } else if (is({"BIGINT", "INT8", "LARGEINT"})) {
    type = ftLargeint;
  } else if (is({"FLOAT", "DOUBLE", "REAL", "DOUBLE PRECISION", "FLOAT8", "FLOAT4", "SINGLE",
                 "NUMBER"})) {
    type = ftFloat;
  } else if (is({"MONEY", "CURRENCY", "SMALLMONEY"})) {
    type = ftCurrency;
  } else if (is({"DECIMAL", "NUMERIC", "DEC"})) {
    type = b == 2 ? ftCurrency : ftBCD;
    size = b > 0 ? b : 0;
  } else if (is({"DATETIME", "DATE", "TIMESTAMP", "SMALLDATETIME", "DATETIME2"})) {
    type = ftDateTime;
  } else if (is({"TIME"})) {
    type = ftTime;
  } else if (is({"IMAGE", "BLOB", "LONGBINARY", "GENERAL", "OLEOBJECT", "BYTEA", "VARBINARY",
                 "BINARY", "LONGBLOB"})) {
    type = ftBlob;
  } else if (is({"BIT", "BOOLEAN", "BOOL", "YESNO", "LOGICAL"})) {
    type = ftBoolean;
  } else if (is({"COUNTER", "AUTOINCREMENT", "IDENTITY", "SERIAL"})) {
    type = ftAutoInc;
  } else if (is({"GUID", "UNIQUEIDENTIFIER"})) {
    type = ftGuid;
    size = 38;
  }
}

}  // namespace dk
