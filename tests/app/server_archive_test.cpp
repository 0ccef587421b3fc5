// Archives on a PostgreSQL server, named by a connection settings file
// (.dkcs): the conversion gives the same archive as into an SQLite file,
// dkl-archive works on it, several programs allocate document ids on it at
// once, and a server that goes away in the middle of a run costs no more than
// the rows that were not yet committed.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/table_copy.h"
#include "arcport5_sandbox.h"
#include "data/connection.h"
#include "data/query.h"
#include "db/database.h"
#include "paradox/query.h"
#include "px_writer.h"
#include "support/pg_server.h"
#include "sys/string_list.h"
#include "sys/text.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

const char* const kBanner = "******************* Fehler *********************";

// The lines of a text (CR LF or LF), without their ends.
std::vector<std::string> Lines(const std::string& text) {
  return SplitLines(text);
}

std::string SettingsText(const std::string& connectionString) {
  return "[AdoConnection]\r\nConnectionString=" + connectionString + "\r\n";
}

// A table of an archive read through the data layer: the column names in
// upper case, sorted, and every row as "NAME=value|NAME=value..." in that
// column order, sorted. Values of `fresh` columns (new GUIDs made by the
// conversion) are replaced by "<neu>" after checking that each is set and
// unique; `normalise` rewrites the others.
struct TTableContent {
  bool Exists = false;
  std::vector<std::string> Columns;
  std::vector<std::string> Rows;
};

template <class F>
TTableContent ReadTable(TConnection& connection, const std::string& table,
                        const std::set<std::string>& fresh, F normalise) {
  TTableContent content;
  content.Exists = connection.TableInfo(table).Exists;
  if (!content.Exists) return content;
  TQuery query;
  query.SetConnection(&connection);
  query.SetSQLText("SELECT * FROM " + table);
  query.Open();
  std::vector<std::pair<std::string, int>> order;  // upper-case name, field index
  for (int i = 0; i < query.FieldCount(); ++i)
    order.emplace_back(AsciiUpper(query.Fields(i).FieldName()), i);
  std::sort(order.begin(), order.end());
  for (const auto& [name, index] : order) content.Columns.push_back(name);
  std::map<std::string, std::set<std::string>> freshValues;
  for (; !query.Eof(); query.Next()) {
    std::string row;
    for (const auto& [name, index] : order) {
      std::string value = query.Fields(index).AsString();
      if (fresh.count(name)) {
        EXPECT_FALSE(value.empty()) << table << "." << name;
        EXPECT_TRUE(freshValues[name].insert(value).second)
            << table << "." << name << ": " << value;
        value = "<neu>";
      }
      row += (row.empty() ? "" : "|") + name + "=" + normalise(value);
    }
    content.Rows.push_back(row);
  }
  std::sort(content.Rows.begin(), content.Rows.end());
  return content;
}

// Adds a failure naming the rows only one side holds (a few of each).
void ExpectSameRows(const std::string& table, const std::vector<std::string>& file,
                    const std::vector<std::string>& server) {
  std::vector<std::string> onlyFile, onlyServer;
  std::set_difference(file.begin(), file.end(), server.begin(), server.end(),
                      std::back_inserter(onlyFile));
  std::set_difference(server.begin(), server.end(), file.begin(), file.end(),
                      std::back_inserter(onlyServer));
  if (onlyFile.empty() && onlyServer.empty()) return;
  std::string text = table + ": " + std::to_string(file.size()) + " rows in the file, " +
                     std::to_string(server.size()) + " on the server";
  for (const auto& [side, rows] :
       {std::pair{"only in the file: ", &onlyFile}, std::pair{"only on the server: ", &onlyServer}})
    for (size_t i = 0; i < rows->size() && i < 4; ++i)
      text += "\n  " + std::string(side) + (*rows)[i];
  ADD_FAILURE() << text;
}

class ServerArchive : public test::TArcport5Sandbox {
 protected:
  void SetUp() override {
    DK_SKIP_WITHOUT_PG_SERVER();
    TArcport5Sandbox::SetUp();
    FDatabase.emplace(test::TTestDatabase::TMode::NameOnly);
  }

  // The settings file of the server archive; its run log lies beside it.
  std::string Settings() const { return FDir / "out/serverarchiv.dkcs"; }
  std::string ServerLog() const { return FDir / "out/serverarchiv.log"; }

  // Writes the settings file of the test's database and makes the empty
  // archive there, as a user does.
  void MakeServerArchive() {
    test::WriteFile(Settings(), SettingsText(FDatabase->ConnectionString()));
    const auto made = test::RunProgram({DKL_MKARCHIVE_EXE, Settings()}, Options());
    ASSERT_EQ(made.Status, 0) << made.Err;
  }

  // dkl-archive on the server archive.
  test::TProgramRun Tool(std::vector<std::string> args) const {
    args.insert(args.begin(), {DKL_ARCHIVE_EXE, Settings()});
    return test::RunProgram(args, Options());
  }

  // The first field of the first row of `sql` in the server archive.
  std::string ValueOnServer(const std::string& sql) const {
    return test::ValueOnTestServer(FDatabase->Name(), sql);
  }

  // Replaces the legacy FTIWORD by the same rows plus two more whose WORDID
  // an earlier row has: rows the conversion cannot copy into the table's key,
  // in the middle of the table as it is read.
  void AddDuplicateWordIds() {
    std::vector<std::pair<int64_t, std::string>> rows;
    {
      TParadoxQuery legacy;
      legacy.SetDatabaseName(Source());
      legacy.SetSQL("SELECT * FROM FTIWORD");
      legacy.Open();
      for (; !legacy.Eof(); legacy.Next())
        rows.emplace_back(legacy.FieldByName("WORDID").AsLargeInt(),
                          legacy.FieldByName("WORD").AsString());
    }
    ASSERT_GT(rows.size(), 10u);
    rows.emplace_back(7, "doppelt");
    rows.emplace_back(9, "nochmal");
    fs::remove(Source() + "/FTIWORD.DB");
    TPxTableWriter w(Source() + "/FTIWORD.DB", ParsePxFieldList("WORDID:I,WORD:A30"));
    for (const auto& [id, word] : rows) {
      w.SetInteger(0, id);
      w.SetText(1, word);
      w.Post();
    }
    w.Close();
  }

  std::optional<test::TTestDatabase> FDatabase;
};

// One legacy archive (with rows that cannot be copied) converted once into
// an SQLite file and once into a server database: the same outcome, the same
// summary and log, the same rows in every table.
TEST_F(ServerArchive, ConvertsIntoTheSameArchiveAsIntoAFile) {
  MakeArchives();
  ASSERT_NO_FATAL_FAILURE(AddDuplicateWordIds());
  ASSERT_NO_FATAL_FAILURE(MakeServerArchive());
  const auto intoFile = Run({"--exit-status", Source(), Target()});
  ASSERT_EQ(intoFile.Status, 0) << intoFile.Err;
  const auto intoServer = Run({"--exit-status", Source(), Settings()});
  ASSERT_EQ(intoServer.Status, 0) << intoServer.Err;

  // What names the target or depends on the clock.
  const std::regex stamp(R"(\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d [^\]]*\])");
  const auto normalise = [&](std::string text, const std::string& target, const std::string& log) {
    const std::string base = fs::path(target).stem().string();
    text = ReplaceAll(text, target, "<ziel>");
    text = ReplaceAll(text, log, "<protokoll>");
    text = ReplaceAll(text, "Layouts/" + base + ".lay", "Layouts/<ziel>.lay");
    return std::regex_replace(text, stamp, "<stempel>");
  };
  const auto normaliseLog = [&](const std::string& text, const std::string& target,
                                const std::string& log) {
    std::vector<std::string> lines;
    for (std::string line : Lines(normalise(text, target, log))) {
      // The column types are the dialect's, the cause of a failed row is the
      // engine's own text: the column's name and that there is a cause stay.
      static const std::regex column(R"(^(SQL für neues Feld: ALTER TABLE \w+ ADD \w+) .*$)");
      line = std::regex_replace(line, column, "$1 <typ>");
      if (line.starts_with("Ursache: ")) line = "Ursache: <Meldung der Datenbank>";
      // The duration of the run.
      static const std::regex duration(R"( nach \d+:\d\d(:\d\d)?$)");
      line = std::regex_replace(line, duration, " nach <dauer>");
      lines.push_back(line);
    }
    return lines;
  };

  const std::string fileLog = test::ReadFile(Log());
  const std::string serverLog = test::ReadFile(ServerLog());
  EXPECT_EQ(normaliseLog(intoServer.Out, Settings(), ServerLog()),
            normaliseLog(intoFile.Out, Target(), Log()));
  const auto logLines = normaliseLog(fileLog, Target(), Log());
  EXPECT_EQ(normaliseLog(serverLog, Settings(), ServerLog()), logLines);
  // The log is not trivially clean: the two rows that could not be copied.
  for (const char* line :
       {"Datensatz \"7\" konnte nicht kopiert werden.",
        "Datensatz \"9\" konnte nicht kopiert werden.", "insgesamt 2 Datensätze nicht kopiert",
        "Import/Konvertierung abgeschlossen"})
    EXPECT_NE(std::find(logLines.begin(), logLines.end(), line), logLines.end()) << line;
  EXPECT_NE(intoServer.Out.find("Problemzeilen im Protokoll (*** und übersprungene Zeilen): 2"),
            std::string::npos)
      << intoServer.Out;
  EXPECT_NE(intoServer.Out.find("Protokoll: " + ServerLog()), std::string::npos);

  // Every table, row by row.
  TConnection file, server;
  file.SetConnectionString(BuildJetConnectionString(Target()));
  file.Open();
  server.SetConnectionString(FDatabase->ConnectionString());
  server.Open();
  const std::set<std::string> fresh = {"DOCGUID", "TODOGUID"};
  for (const TSchemaTable& table : ArchiveTables()) {
    SCOPED_TRACE(table.Name);
    const TTableContent inFile = ReadTable(file, table.Name, fresh, [&](const std::string& v) {
      return normalise(v, Target(), Log());
    });
    const TTableContent onServer = ReadTable(server, table.Name, fresh, [&](const std::string& v) {
      return normalise(v, Settings(), ServerLog());
    });
    ASSERT_EQ(onServer.Exists, inFile.Exists);
    EXPECT_EQ(onServer.Columns, inFile.Columns);
    ExpectSameRows(table.Name, inFile.Rows, onServer.Rows);
    if (std::string(table.Name) == "DOCUMENT") {
      EXPECT_EQ(inFile.Rows.size(), 40u);
      for (const char* column : {"DOCNO", "NOTES", "MYNAMES", "KUNDE", "ABTEILUNG", "BETRAG",
                                 "SEITEN", "FAELLIG", "ERLEDIGT", "VORGANGNR", "GEWICHT"}) {
        EXPECT_NE(std::find(onServer.Columns.begin(), onServer.Columns.end(), column),
                  onServer.Columns.end())
            << column;
        EXPECT_NE(std::find(inFile.Columns.begin(), inFile.Columns.end(), column),
                  inFile.Columns.end())
            << column;
      }
    }
    if (std::string(table.Name) == "FTIWORD") {
      EXPECT_EQ(onServer.Rows.size(), 300u);
    }
  }
}

// With --atomic the rows still travel to the server together, inside the one
// transaction: the rows the server refuses are reported with their lines
// before the table's counts, every other row arrives, and the commit at the
// end makes the archive converted.
TEST_F(ServerArchive, WithAtomicRefusedRowsAreReportedAndTheOthersArrive) {
  MakeArchives();
  ASSERT_NO_FATAL_FAILURE(AddDuplicateWordIds());
  ASSERT_NO_FATAL_FAILURE(MakeServerArchive());
  const auto run = Run({"--exit-status", "--atomic", Source(), Settings()});
  ASSERT_EQ(run.Status, 0) << run.Err;
  const auto lines = Lines(test::ReadFile(ServerLog()));
  const auto at = [&lines](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto counted = at("insgesamt 2 Datensätze nicht kopiert");
  EXPECT_LT(at("Datensatz \"7\" konnte nicht kopiert werden."), counted);
  EXPECT_LT(at("Datensatz \"9\" konnte nicht kopiert werden."), counted);
  EXPECT_LT(counted, at("300 Datensätze bearbeitet"));
  EXPECT_LT(at("300 Datensätze bearbeitet"), at("Import/Konvertierung abgeschlossen"));
  EXPECT_EQ(ValueOnServer("SELECT COUNT(*) FROM ftiword"), "300");
  EXPECT_EQ(ValueOnServer("SELECT COUNT(*) FROM ftiwid"), "800");
  EXPECT_EQ(ValueOnServer("SELECT COUNT(*) FROM dboption WHERE optname = 'Converted'"), "1");
}

// dkl-archive on a converted server archive: the commands and their output
// as on a file.
TEST_F(ServerArchive, TheArchiveToolWorksOnAServerArchive) {
  TLegacyArchiveOptions legacy;
  legacy.Documents = 12;
  legacy.FtiWordRows = 40;
  legacy.FtiWidRows = 60;
  WriteLegacyArchive(Source(), legacy);
  ASSERT_NO_FATAL_FAILURE(MakeServerArchive());
  const auto converted = Run({"--exit-status", Source(), Settings()});
  ASSERT_EQ(converted.Status, 0) << converted.Err;
  const std::string file = FDir / "angebot.txt";
  test::WriteFile(file, "Text");

  auto list = Tool({"list"});
  ASSERT_EQ(list.Status, 0) << list.Err;
  EXPECT_EQ(Lines(list.Out).size(), 12u) << list.Out;

  const auto add = Tool({"add", file, "--type", "Brief", "--set", "PROJECT=Straßenbau", "--set",
                         "NOTES=Müller & Söhne"});
  ASSERT_EQ(add.Status, 0) << add.Err;
  EXPECT_EQ(add.Out, "13\n");  // after the converted documents
  list = Tool({"list"});
  ASSERT_EQ(Lines(list.Out).size(), 13u) << list.Out;
  EXPECT_EQ(Lines(list.Out).back(), "13\tBrief\tangebot\t" + file);

  // The index worker has written the words before the program ended; the
  // server gives them in byte order.
  const std::vector<std::string> words = Lines(Tool({"words", "13"}).Out);
  for (const char* w : {"angebot", "brief", "mueller", "soehne", "strassenbau"})
    EXPECT_NE(std::find(words.begin(), words.end(), w), words.end()) << w;
  EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
  EXPECT_EQ(Tool({"search", "MÜLLER", "straßenbau"}).Out, "13\n");

  const auto set = Tool({"set", "13", "NOTES=Schmidt"});
  ASSERT_EQ(set.Status, 0) << set.Err;
  EXPECT_EQ(("\n" + Tool({"search", "mueller"}).Out).find("\n13\n"), std::string::npos);
  EXPECT_EQ(Tool({"search", "schmidt", "angebot"}).Out, "13\n");

  const auto del = Tool({"delete", "13"});
  ASSERT_EQ(del.Status, 0) << del.Err;
  EXPECT_EQ(Tool({"search", "schmidt"}).Out, "");
  EXPECT_EQ(Lines(Tool({"list"}).Out).size(), 12u);
  // The document and its index rows are gone from the server.
  EXPECT_EQ(ValueOnServer("SELECT (SELECT COUNT(*) FROM DOCUMENT WHERE DOCID = 13) + "
                          "(SELECT COUNT(*) FROM FTIWID WHERE DOCID = 13)"),
            "0");

  const auto reindex = Tool({"reindex"});
  ASSERT_EQ(reindex.Status, 0) << reindex.Err;
  EXPECT_NE(reindex.Err.find("12 Dokumente"), std::string::npos) << reindex.Err;
  const std::vector<std::string> firstWords = Lines(Tool({"words", "1"}).Out);
  ASSERT_FALSE(firstWords.empty());
  EXPECT_NE(("\n" + Tool({"search", firstWords.front()}).Out).find("\n1\n"), std::string::npos);

  const auto missing = Tool({"words", "999"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Err.find("Dokument 999 gibt es im Archiv nicht."), std::string::npos)
      << missing.Err;
}

// Two programs adding documents to one server archive at the same time: each
// document gets a DOCID of its own, every add succeeds, and the counter stays
// above them all. Two allocations meet only when their few milliseconds
// overlap, so each program adds a hundred documents.
TEST_F(ServerArchive, ConcurrentProgramsNeverShareADocId) {
  ASSERT_NO_FATAL_FAILURE(MakeServerArchive());
  constexpr int kPerProgram = 100;
  // Each program adds its documents one call after the other, as fast as it
  // can, and goes on after a failed call; its exit status is the number of
  // calls that failed. Both run before either is waited for.
  const std::string loop = "failed=0; for i in $(seq " + std::to_string(kPerProgram) +
                           "); do \"$0\" \"$1\" add \"$2\" --type Brief || "
                           "failed=$((failed + 1)); done; exit $failed";
  std::vector<std::unique_ptr<test::TChildProcess>> programs;
  for (const char* name : {"erster.txt", "zweiter.txt"}) {
    test::WriteFile(FDir / name, std::string("Dokument ") + name);
    programs.push_back(std::make_unique<test::TChildProcess>(
        std::vector<std::string>{"/bin/bash", "-c", loop, DKL_ARCHIVE_EXE, Settings(), FDir / name},
        Options()));
  }
  std::vector<std::string> printed;
  for (auto& program : programs) {
    const int failed = program->Wait();
    // The reasons, without the warning every call gives for the type.
    std::set<std::string> reasons;
    for (const std::string& line : Lines(program->Err()))
      if (line.starts_with("dkl-archive: ") && line.find("Warnung") == std::string::npos)
        reasons.insert(line);
    std::string text;
    for (const std::string& reason : reasons) text += "\n  " + reason;
    EXPECT_EQ(failed, 0) << "calls of add that failed; the reasons:" << text;
    const std::vector<std::string> ids = Lines(program->Out());
    EXPECT_EQ(ids.size() + static_cast<size_t>(failed), static_cast<size_t>(kPerProgram))
        << program->Out();
    printed.insert(printed.end(), ids.begin(), ids.end());
  }
  std::sort(printed.begin(), printed.end());
  EXPECT_EQ(std::adjacent_find(printed.begin(), printed.end()), printed.end())
      << "a DOCID was handed out twice";

  TConnection server;
  server.SetConnectionString(FDatabase->ConnectionString());
  server.Open();
  TQuery query;
  query.SetConnection(&server);
  query.SetSQLText("SELECT DOCID FROM DOCUMENT");
  query.Open();
  std::vector<std::string> stored;
  int64_t highest = 0;
  for (; !query.Eof(); query.Next()) {
    stored.push_back(query.Fields(0).AsString());
    highest = std::max(highest, query.Fields(0).AsLargeInt());
  }
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored.size(), static_cast<size_t>(2 * kPerProgram));
  EXPECT_EQ(stored, printed);
  const std::string next = ValueOnServer("SELECT NEXTID FROM IDENTNO WHERE IDNAME = 'DOCID'");
  ASSERT_FALSE(next.empty());
  EXPECT_GT(std::stoll(next), highest);
}

// A PostgreSQL server of one test's own (scripts/pg_server.sh in a folder
// below /tmp, which the server's user can reach), stopped and removed with
// the object.
class TOwnServer {
 public:
  TOwnServer() {
    char folder[] = "/tmp/dk-pg-own-XXXXXX";
    if (!mkdtemp(folder)) throw std::runtime_error("mkdtemp failed");
    FDir = folder;
    const auto started = Script("start");
    if (started.Status != 0) {
      FFailure = started.Out + started.Err;
      return;
    }
    std::ifstream port(FDir + "/port");
    if (!std::getline(port, FPort) || FPort.empty()) FFailure = "no port in " + FDir + "/port";
  }
  ~TOwnServer() {
    try {
      Script("stop");
    } catch (...) {
    }
  }
  TOwnServer(const TOwnServer&) = delete;
  TOwnServer& operator=(const TOwnServer&) = delete;

  // Empty when the server started.
  const std::string& Failure() const { return FFailure; }
  const std::string& Port() const { return FPort; }

  // pause: a fast shutdown (the postmaster gets SIGINT), the data kept;
  // resume: the same server started again.
  test::TProgramRun Script(const std::string& action) const {
    return test::RunProgram(
        {"/bin/bash", std::string(DK_SOURCE_DIR) + "/scripts/pg_server.sh", action, FDir});
  }

  // The first field of the first row of `sql` in `database`; empty when it
  // fails or there is no row.
  std::string Value(const std::string& database, const std::string& sql) const {
    const test::TPgParams params(FPort, database);
    test::TPgConnection connection(PQconnectdbParams(params.Keys(), params.Values(), 0), &PQfinish);
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK) return std::string();
    test::TPgResult result(PQexec(connection.get(), sql.c_str()), &PQclear);
    if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK ||
        PQntuples(result.get()) == 0 || PQgetisnull(result.get(), 0, 0))
      return std::string();
    return PQgetvalue(result.get(), 0, 0);
  }

 private:
  std::string FDir, FPort, FFailure;
};

// The server stops (a fast shutdown) while the FTIWID copy is under way: the
// run fails with the banner and its log, and once the server is back every
// table copied before FTIWID is complete and FTIWID holds no more than was
// committed.
TEST_F(ServerArchive, AServerStoppedDuringTheCopyKeepsWhatWasCommitted) {
  const TOwnServer own;
  ASSERT_EQ(own.Failure(), "");
  MakeBigArchives();
  const std::string database = "dkausfall";
  test::WriteFile(Settings(),
                  SettingsText("Provider=PostgreSQL;Data Source=127.0.0.1:" + own.Port() +
                               ";Initial Catalog=" + database + ";User ID=postgres"));
  const auto made = test::RunProgram({DKL_MKARCHIVE_EXE, Settings()}, Options());
  ASSERT_EQ(made.Status, 0) << made.Err;

  test::TChildProcess child({ARCPORT5_EXE, "--exit-status", Source(), Settings()}, Options());
  ASSERT_TRUE(child.WaitForErr("Daten übernehmen, Tabelle: FTIWID", std::chrono::seconds(120)))
      << child.Err();
  // The first FTIWID rows have reached the server (written, not committed).
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (std::string size; (size.empty() || size == "0") && std::chrono::steady_clock::now() < end;
       size = own.Value(database, "SELECT pg_relation_size('ftiwid')"))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto paused = own.Script("pause");
  ASSERT_EQ(paused.Status, 0) << paused.Err;
  EXPECT_EQ(child.Wait(std::chrono::seconds(120)), 1) << child.Err();
  EXPECT_FALSE(child.Signaled());

  ASSERT_TRUE(fs::exists(ServerLog()));
  const std::string log = test::ReadFile(ServerLog());
  EXPECT_NE(log.find(kBanner), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1:" + own.Port()), std::string::npos) << log;
  EXPECT_EQ(log.find("Import/Konvertierung abgeschlossen"), std::string::npos);
  EXPECT_NE(child.Out().find("Konvertierung fehlgeschlagen"), std::string::npos) << child.Out();

  const auto resumed = own.Script("resume");
  ASSERT_EQ(resumed.Status, 0) << resumed.Err;
  for (const char* table : {"DOCUMENT", "DOCVERS", "TODO", "DOCPRTCL", "FTIWORD"}) {
    SCOPED_TRACE(table);
    const int legacy = CountLegacyRows(Source(), table);
    ASSERT_GT(legacy, 0);
    EXPECT_EQ(own.Value(database, std::string("SELECT COUNT(*) FROM ") + table),
              std::to_string(legacy));
  }
  const std::string kept = own.Value(database, "SELECT COUNT(*) FROM FTIWID");
  ASSERT_FALSE(kept.empty());
  EXPECT_LE(std::stol(kept), CountLegacyRows(Source(), "FTIWID"));
  // The summary counts no row as copied that the server does not hold.
  EXPECT_TRUE(std::regex_search(child.Out(), std::regex("FTIWID +" + kept + "( von \\d+)? Zeilen")))
      << kept << "\n"
      << child.Out();
  EXPECT_EQ(own.Value(database, "SELECT COUNT(*) FROM DBOPTION WHERE OPTNAME = 'Converted'"), "0");
}

}  // namespace
}  // namespace dk
