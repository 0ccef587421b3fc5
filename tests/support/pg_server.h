// The PostgreSQL server of the test run (scripts/pg_server.sh, started by the
// CTest fixture pg_server): whether it runs, fresh databases on it and plain
// commands against it. A test that needs it begins with
// DK_SKIP_WITHOUT_PG_SERVER(); in a fixture that is SetUp(), which also makes
// the TTestDatabase (a std::optional member), since a constructor cannot skip.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

namespace dk::test {

// The folder of the test server: $DK_PG_SERVER_DIR, else the one of the build.
inline std::string TestServerDir() {
  if (const char* dir = std::getenv("DK_PG_SERVER_DIR"); dir && *dir) return dir;
#ifdef DK_PG_SERVER_DIR
  return DK_PG_SERVER_DIR;
#else
  return std::string();
#endif
}

// The port the test server's start wrote down, empty when there is none (the
// server may have ended since).
inline std::string RecordedTestServerPort() {
  const std::string dir = TestServerDir();
  if (dir.empty()) return std::string();
  std::ifstream in(dir + "/port");
  std::string port;
  if (!std::getline(in, port) || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos)
    return std::string();
  const long number = std::stol(port);
  return number > 0 && number < 65536 ? port : std::string();
}

// Whether the tests must fail rather than skip without the server: the test
// command sets DK_REQUIRE_PG=1.
inline bool TestServerRequired() {
  const char* value = std::getenv("DK_REQUIRE_PG");
  return value && std::string(value) == "1";
}

using TPgConnection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using TPgResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

// The libpq parameters for `database` on the test server at `port`; the
// user's PG* variables change nothing but what is not given here.
class TPgParams {
 public:
  TPgParams(std::string port, std::string database)
      : FPort(std::move(port)), FDatabase(std::move(database)) {
    FValues[1] = FPort.c_str();
    FValues[2] = FDatabase.c_str();
  }
  TPgParams(const TPgParams&) = delete;
  TPgParams& operator=(const TPgParams&) = delete;

  const char* const* Keys() const { return FKeys; }
  const char* const* Values() const { return FValues; }

 private:
  std::string FPort;
  std::string FDatabase;
  const char* FKeys[8] = {"host",    "port",       "dbname", "user", "connect_timeout",
                          "sslmode", "gssencmode", nullptr};
  const char* FValues[8] = {"127.0.0.1", nullptr,   nullptr,   "postgres",
                            "10",        "disable", "disable", nullptr};
};

// Why no test server is there to use, empty when it answers.
inline std::string MissingPgServer() {
  const std::string prefix =
      "the PostgreSQL test server is not running (see scripts/pg_server.sh): ";
  const std::string dir = TestServerDir();
  if (dir.empty()) return prefix + "DK_PG_SERVER_DIR is not set";
  const std::string port = RecordedTestServerPort();
  if (port.empty()) return prefix + "no port in " + dir + "/port";
  const TPgParams params(port, "postgres");
  switch (PQpingParams(params.Keys(), params.Values(), 0)) {
    case PQPING_OK:
      return std::string();
    case PQPING_REJECT:
      return prefix + "the server on 127.0.0.1:" + port + " refuses connections";
    default:
      return prefix + "nothing answers on 127.0.0.1:" + port;
  }
}

// The port of the running test server, empty when there is none.
inline std::string TestServerPort() {
  return MissingPgServer().empty() ? RecordedTestServerPort() : std::string();
}

// Notices ("does not exist, skipping") would only clutter the test output.
inline void IgnoreNotice(void*, const char*) {}

// A connection as user postgres to `database` on the test server.
inline TPgConnection ConnectTestServer(const std::string& database) {
  const std::string port = RecordedTestServerPort();
  if (port.empty()) throw std::runtime_error(MissingPgServer());
  const TPgParams params(port, database);
  TPgConnection connection(PQconnectdbParams(params.Keys(), params.Values(), 0), &PQfinish);
  if (!connection) throw std::runtime_error("libpq: out of memory");
  if (PQstatus(connection.get()) != CONNECTION_OK)
    throw std::runtime_error("cannot connect to database " + database +
                             " on the PostgreSQL test server (127.0.0.1:" + port +
                             "): " + PQerrorMessage(connection.get()));
  PQsetNoticeProcessor(connection.get(), IgnoreNotice, nullptr);
  return connection;
}

// Runs `sql` (one or more statements) against `database` on the test server
// and returns the result of the last statement; throws with the server's
// message when it fails.
inline TPgResult RunOnTestServer(const std::string& database, const std::string& sql) {
  TPgConnection connection = ConnectTestServer(database);
  TPgResult result(PQexec(connection.get(), sql.c_str()), &PQclear);
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    std::string message = result ? PQresultErrorMessage(result.get()) : "";
    if (message.empty()) message = PQerrorMessage(connection.get());
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
      message.pop_back();
    throw std::runtime_error(message + " (" + sql + ")");
  }
  return result;
}

// Runs a plain command (or several) against `database` on the test server.
inline void ExecOnTestServer(const std::string& database, const std::string& sql) {
  RunOnTestServer(database, sql);
}

// The first field of the first row `sql` returns, empty when there is no row
// or the field is NULL.
inline std::string ValueOnTestServer(const std::string& database, const std::string& sql) {
  const TPgResult result = RunOnTestServer(database, sql);
  if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0 ||
      PQgetisnull(result.get(), 0, 0))
    return std::string();
  return PQgetvalue(result.get(), 0, 0);
}

// A database of its own for a test, on the test server, dropped again at the
// end (connections still open to it are ended).
class TTestDatabase {
 public:
  // Create: the database is made at once. NameOnly: only a fresh name is
  // reserved, for tests that make the database themselves; it is dropped all
  // the same when it exists by then.
  enum class TMode { Create, NameOnly };

  explicit TTestDatabase(TMode mode = TMode::Create) : FPort(RecordedTestServerPort()) {
    if (FPort.empty()) throw std::runtime_error(MissingPgServer());
    static std::atomic<unsigned> counter{0};
    char random[9];
    std::snprintf(random, sizeof random, "%08x", static_cast<unsigned>(std::random_device()()));
    FName = "dktest_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" + random;
    if (mode == TMode::Create) ExecOnTestServer("postgres", "CREATE DATABASE " + QuotedName());
  }
  ~TTestDatabase() {
    try {
      ExecOnTestServer("postgres", "DROP DATABASE IF EXISTS " + QuotedName() + " WITH (FORCE)");
    } catch (...) {
    }
  }
  TTestDatabase(const TTestDatabase&) = delete;
  TTestDatabase& operator=(const TTestDatabase&) = delete;

  const std::string& Name() const { return FName; }
  const std::string& Port() const { return FPort; }
  // The connection string of the project's data layer for this database.
  std::string ConnectionString() const {
    return "Provider=PostgreSQL;Data Source=127.0.0.1:" + FPort + ";Initial Catalog=" + FName +
           ";User ID=postgres";
  }

 private:
  std::string QuotedName() const { return "\"" + FName + "\""; }

  std::string FPort;
  std::string FName;
};

}  // namespace dk::test

// Skips the current test when the PostgreSQL test server does not answer, or
// fails it when the test run requires the server (DK_REQUIRE_PG=1).
#define DK_SKIP_WITHOUT_PG_SERVER()                                                        \
  do {                                                                                     \
    if (const std::string dkMissing = ::dk::test::MissingPgServer(); !dkMissing.empty()) { \
      if (::dk::test::TestServerRequired()) {                                              \
        FAIL() << dkMissing;                                                               \
      } else {                                                                             \
        GTEST_SKIP() << dkMissing;                                                         \
      }                                                                                    \
    }                                                                                      \
  } while (false)
