// dkl-archive ARCHIV BEFEHL [ARGUMENT]...
//
// Works on the documents of an archive through the archive component, so the
// record rules (numbers, owner, file names, protocol, delete rights), the
// full-text indexer and its worker run exactly as in the product's own
// programs. Settings come from the same registry hives and admin.ini as the
// converter's. Before it ends, the program waits until the index worker has
// applied every job; on a terminal it shows the worker's progress.
//
// Exit codes: 0 done, 1 failed (the reason on stderr; also when the change
// was stored but the index worker could not apply all of its words, which a
// later "reindex DOCID" completes), 2 wrong usage.

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "data/errors.h"
#include "data/query.h"
#include "db/appl_database.h"
#include "db/archive.h"
#include "db/full_text_retrieval.h"
#include "db/util/sql_util.h"
#include "settings/configuration.h"
#include "settings/locations.h"
#include "sys/api_tools.h"
#include "sys/component.h"
#include "sys/file_paths.h"
#include "sys/program_options.h"
#include "sys/text.h"
#include "ui/application.h"

namespace dk {
namespace {

// A failure the program reports as it stands and ends with status 1.
struct EToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Documents are read in DOCID windows this large: a window is read to its
// end at once, so the program never holds a read open while the worker
// writes.
constexpr int kWindow = 50;

std::string LoginName() {
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) return pw->pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

// A file that `add` can take: present, no folder, readable.
void CheckReadableFile(const std::string& file) {
  if (DirectoryExists(file))
    throw EToolError("\"" + file + "\" ist ein Ordner; add nimmt eine einzelne Datei.");
  if (!FileExists(file)) throw EToolError("Die Datei \"" + file + "\" wurde nicht gefunden.");
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw EToolError("Die Datei \"" + file +
                     "\" kann nicht gelesen werden: " + GetSystemErrorText(errno));
  ::close(fd);
}

int ParseDocId(const std::string& text) {
  char* end = nullptr;
  const long id = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || id <= 0 || id > 0x7fffffff)
    throw EToolError("\"" + text + "\" ist keine DOCID (eine ganze Zahl größer als 0).");
  return static_cast<int>(id);
}

// "SPALTE=WERT", the column in upper case.
std::pair<std::string, std::string> ParseAssignment(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw EToolError("\"" + text + "\" ist keine Zuweisung SPALTE=WERT.");
  return {AsciiUpper(Trim(text.substr(0, eq))), text.substr(eq + 1)};
}

class TArchiveTool {
 public:
  TArchiveTool(const std::string& archiveFile, const std::string& typesFile)
      : FTypes(new TApplDatabase(&FOwner)), FArchive(new TDkArchive(&FOwner)) {
    if (!FileExists(archiveFile))
      throw EToolError("Das Archiv \"" + archiveFile + "\" wurde nicht gefunden.");
    FArchive->SetApplDatabase(FTypes);
    FTypes->SetDocArchive(FArchive);
    FArchive->SetDatabaseName(archiveFile);
    FTypes->SetDatabaseName(typesFile.empty() ? archiveFile : typesFile);
    FProgress = ::isatty(STDERR_FILENO) == 1;
    FArchive->OnUpdateFtiThreadInfo = [this](TComponent&, int max, int pos) {
      if (!FProgress) return;
      if (max > 0)
        std::fprintf(stderr, "\rVolltextindex: %d von %d Aufträgen", pos, max);
      else if (pos > 0)
        std::fprintf(stderr, "\rVolltextindex: %d Aufträge ausgeführt.      \n", pos);
    };
    // The one placeholder kind this program expands: "{Doc:COLUMN}" (with
    // options after a comma ignored) becomes the column of the current
    // document. Others stay as they are.
    FArchive->OnConvertCmdStr = [this](TComponent&, const std::string& src, std::string& value) {
      value = ExpandDocPlaceholders(src);
    };
    FArchive->Open();
    FTypes->Open();
  }

  ~TArchiveTool() {
    try {
      Finish();
    } catch (...) {
    }
  }

  // Every queued index job applied, then the archive closed. False when the
  // index worker had to leave jobs undone (IndexError says why); the
  // documents themselves are stored all the same.
  bool Finish() {
    bool complete = true;
    if (FArchive->Connected()) {
      TFullTextRetrieval& fti = *FArchive->FullTextRetrieval();
      complete = fti.WaitForWorker();
      if (!complete) FIndexError = fti.WorkerError();
    }
    FArchive->Close();
    FTypes->Close();
    return complete;
  }
  const std::string& IndexError() const { return FIndexError; }

  // What went wrong after the document was saved (it keeps its DOCID); empty
  // when nothing did.
  std::string AddProblem;

  int Add(const std::string& file, const std::string& type,
          const std::vector<std::string>& assignments) {
    CheckReadableFile(file);
    if (!FTypes->LocateApplName(type))
      std::fprintf(stderr,
                   "dkl-archive: Warnung: Dokumenttyp \"%s\" ist nicht angelegt; das Dokument "
                   "wird ohne Typbuchstaben gespeichert.\n",
                   type.c_str());
    TQuery& doc = *FArchive->DocQuery();
    doc.Append();
    try {
      doc.FieldByName("APPLNAME").SetAsString(type);
      doc.FieldByName("FILENAME").SetAsString(ExpandFileName(file));
      doc.FieldByName("NAME").SetAsString(ChangeFileExt(ExtractFileName(file), ""));
      Assign(assignments);
      doc.Post();
    } catch (...) {
      if (doc.State() == dsInsert) doc.Cancel();
      throw;
    }
    const int docId = FArchive->GetDocID();
    // Gone before the index read it: the document is saved with the words
    // of its row only, which the caller must learn of.
    if (!FileExists(file))
      AddProblem = "Die Datei \"" + file + "\" ist während des Speicherns verschwunden. Das " +
                   "Dokument " + std::to_string(docId) +
                   " ist gespeichert, aber ohne die Wörter der Datei indexiert; mit der Datei " +
                   "wieder an ihrem Platz ergänzt \"reindex " + std::to_string(docId) +
                   "\" den Index.";
    return docId;
  }

  void Set(int docId, const std::vector<std::string>& assignments) {
    Locate(docId);
    TQuery& doc = *FArchive->DocQuery();
    doc.Edit();
    try {
      Assign(assignments);
      doc.Post();
    } catch (...) {
      if (doc.State() == dsEdit) doc.Cancel();
      throw;
    }
  }

  void Delete(int docId) {
    Locate(docId);
    try {
      FArchive->DocQuery()->Delete();
    } catch (const EAbort&) {
      throw EToolError("Dokument " + std::to_string(docId) + " wurde nicht gelöscht.");
    }
  }

  void List() {
    ForEachDocument([](TQuery& doc) {
      std::printf("%s\t%s\t%s\t%s\n", doc.FieldByName("DOCID").AsString().c_str(),
                  doc.FieldByName("APPLNAME").AsString().c_str(),
                  doc.FieldByName("NAME").AsString().c_str(),
                  doc.FieldByName("FILENAME").AsString().c_str());
    });
  }

  void Words(int docId) {
    Locate(docId);
    for (const std::string& word :
         Rows("SELECT W.WORD FROM FTIWID P JOIN FTIWORD W ON W.WORDID = P.WORDID WHERE P.DOCID = " +
              std::to_string(docId) + " ORDER BY W.WORD"))
      std::printf("%s\n", word.c_str());
  }

  void Search(const std::vector<std::string>& terms) {
    // Folded and checked as the indexer folds the words of a document: a
    // term it would never index can never be found.
    std::string list = ".";
    for (const std::string& term : terms) {
      std::string words = ".";
      FArchive->FullTextRetrieval()->AddWords(term, words);
      const std::vector<std::string> found = WordListItems(words);
      if (found.empty())
        throw EToolError("\"" + term + "\" ist kein Wort, das der Volltextindex aufnimmt.");
      for (const std::string& word : found)
        if (!InWordList(list, word)) list += word + ".";
    }
    const std::vector<std::string> words = WordListItems(list);
    std::string in;
    for (const std::string& word : words) in += (in.empty() ? "" : ",") + SqlQuoted(word);
    for (const std::string& id : Rows("SELECT P.DOCID FROM FTIWID P JOIN FTIWORD W ON W.WORDID = "
                                      "P.WORDID WHERE W.WORD IN (" +
                                      in + ") GROUP BY P.DOCID HAVING COUNT(DISTINCT W.WORD) = " +
                                      std::to_string(words.size()) + " ORDER BY P.DOCID"))
      std::printf("%s\n", id.c_str());
  }

  int Reindex(int docId) {
    TFullTextRetrieval& fti = *FArchive->FullTextRetrieval();
    if (docId > 0) {
      Locate(docId);
      fti.UpdateDocument(docId, false);
      return 1;
    }
    int count = 0;
    ForEachDocument([&](TQuery& doc) {
      fti.UpdateDocument(static_cast<int>(doc.FieldByName("DOCID").AsInteger()), false);
      ++count;
    });
    return count;
  }

 private:
  void Locate(int docId) {
    FArchive->ExecuteQueryDoc(
        "SELECT * FROM " + FArchive->DocTableName + " WHERE DOCID=" + std::to_string(docId),
        semOpen);
    if (FArchive->DocQuery()->IsEmpty() || !FArchive->LocateDocID(docId))
      throw EToolError("Dokument " + std::to_string(docId) + " gibt es im Archiv nicht.");
  }

  std::string ExpandDocPlaceholders(const std::string& text) const {
    std::string out;
    size_t pos = 0;
    for (;;) {
      const size_t start = text.find("{Doc:", pos);
      const size_t end = start == std::string::npos ? start : text.find('}', start);
      if (end == std::string::npos) return out + text.substr(pos);
      std::string name = text.substr(start + 5, end - start - 5);
      name = AsciiUpper(Trim(name.substr(0, name.find(','))));
      const TField* field = FArchive->DocQuery()->FindField(name);
      out += text.substr(pos, start - pos);
      out += field ? field->AsString() : text.substr(start, end + 1 - start);
      pos = end + 1;
    }
  }

  void Assign(const std::vector<std::string>& assignments) {
    TQuery& doc = *FArchive->DocQuery();
    for (const std::string& text : assignments) {
      const auto [column, value] = ParseAssignment(text);
      TField* field = doc.FindField(column);
      if (!field)
        throw EToolError("Die Spalte \"" + column + "\" gibt es in " + FArchive->DocTableName +
                         " nicht.");
      if (column == "DOCID") throw EToolError("Die DOCID vergibt das Archiv selbst.");
      field->SetAsString(value);
    }
  }

  // The documents in DOCID order, window by window; `visit` sees each as the
  // current row of the document dataset.
  template <class F>
  void ForEachDocument(F visit) {
    const std::string table = FArchive->DocTableName;
    const int last = GetMaxID(FArchive->Connection(), table, "DOCID");
    TQuery& doc = *FArchive->DocQuery();
    for (int from = 0; from < last; from += kWindow) {
      FArchive->ExecuteQueryDoc(
          "SELECT * FROM " + table + " WHERE DOCID > " + std::to_string(from) +
              " AND DOCID <= " + std::to_string(from + kWindow) + " ORDER BY DOCID",
          semOpen);
      for (; !doc.Eof(); doc.Next()) visit(doc);
      Application->ProcessMessages();
    }
  }

  std::vector<std::string> Rows(const std::string& sql) {
    TOwnedDataSet<TQuery> query(*FArchive, FArchive->CreateQuery());
    query->SetSQLText(sql);
    query->Open();
    std::vector<std::string> rows;
    for (; !query->Eof(); query->Next()) rows.push_back(query->Fields(0).AsString());
    return rows;
  }

  TComponent FOwner{nullptr};
  TApplDatabase* FTypes;
  TDkArchive* FArchive;
  bool FProgress = false;
  std::string FIndexError;
};

int Run(int argc, char** argv) {
  TProgramOptions options(
      "dkl-archive", "[OPTION]... ARCHIV BEFEHL [ARGUMENT]...",
      "Bearbeitet die Dokumente eines Archivs (SQLite-Datei) über die Archivkomponente:\n"
      "Nummern, Dateinamen, Protokoll, Löschrechte und Volltextindex wie im Produkt.\n"
      "Befehle:\n"
      "  add DATEI --type TYP [--set SPALTE=WERT]...  neues Dokument, gibt die DOCID aus\n"
      "  set DOCID SPALTE=WERT...                      ändert Spalten eines Dokuments\n"
      "  delete DOCID                                  löscht ein Dokument (nicht die Datei)\n"
      "  list                                          DOCID, Typ, Name und Datei je Zeile\n"
      "  words DOCID                                   die Indexwörter, sortiert\n"
      "  search WORT...                                DOCIDs mit allen Wörtern im Index\n"
      "  reindex [DOCID]                               indiziert ein oder alle Dokumente neu");
  options.AddValue("type", 't', "TYP", "Dokumenttyp (APPLNAME) eines neuen Dokuments")
      .AddValue("set", 's', "SPALTE=WERT", "setzt eine Spalte des neuen Dokuments (mehrfach)")
      .AddValue("types", 0, "DATEI",
                "Dokumenttyp-Datenbank (sonst ApplDataBase der Einstellungen, sonst das Archiv)")
      .SetEpilog(
          "Vor dem Ende wartet das Programm, bis der Volltextindex alle Änderungen enthält.\n"
          "Rückgabewert: 0 erledigt, 1 fehlgeschlagen (auch: Änderung gespeichert, Volltextindex\n"
          "unvollständig), 2 falscher Aufruf.");
  TParsedOptions parsed;
  if (auto status = options.Parse(argc, argv, parsed)) return *status;
  const std::vector<std::string>& args = parsed.Positional();
  if (args.size() < 2) return options.UsageError(args.empty() ? "ARCHIV fehlt" : "BEFEHL fehlt");
  const std::string& verb = args[1];
  const std::vector<std::string> rest(args.begin() + 2, args.end());
  auto need = [&](bool ok, const char* what) {
    if (!ok) throw std::invalid_argument(what);
  };

  // A file-size limit reached while writing is a failed write (EFBIG) the
  // database reports, not the end of the program.
  signal(SIGXFSZ, SIG_IGN);
  TApplication application;
  InitSettingsLocations(nullptr);
  TConfiguration config(false);
  Configuration = &config;
  UserName = LoginName();
  struct TResetConfiguration {
    ~TResetConfiguration() { Configuration = nullptr; }
  } resetConfiguration;

  try {
    if (verb == "add") {
      need(rest.size() == 1, "add braucht genau eine DATEI");
      need(parsed.Has("type"), "add braucht --type TYP");
    } else if (verb == "set") {
      need(rest.size() >= 2, "set braucht DOCID und mindestens eine Zuweisung SPALTE=WERT");
    } else if (verb == "delete" || verb == "words") {
      need(rest.size() == 1, "der Befehl braucht genau eine DOCID");
    } else if (verb == "list") {
      need(rest.empty(), "list nimmt keine Argumente");
    } else if (verb == "search") {
      need(!rest.empty(), "search braucht mindestens ein WORT");
    } else if (verb == "reindex") {
      need(rest.size() <= 1, "reindex nimmt höchstens eine DOCID");
    } else {
      throw std::invalid_argument("unbekannter Befehl \"" + verb + "\"");
    }
    if (verb != "add" && (parsed.Has("type") || parsed.Has("set")))
      throw std::invalid_argument("--type und --set gelten nur für add");
  } catch (const std::invalid_argument& e) {
    return options.UsageError(e.what());
  }

  // The document the command changed (0: all of them, -1: none).
  int changed = -1;
  try {
    std::string types = parsed.Value("types");
    if (types.empty() && FileExists(config.ApplDataBase)) types = config.ApplDataBase;
    TArchiveTool tool(args[0], types);
    if (verb == "add") {
      const int id = tool.Add(rest[0], parsed.Value("type"), parsed.Values("set"));
      changed = id;
      std::printf("%d\n", id);
      if (!tool.AddProblem.empty()) throw EToolError(tool.AddProblem);
    } else if (verb == "set") {
      changed = ParseDocId(rest[0]);
      tool.Set(changed, std::vector<std::string>(rest.begin() + 1, rest.end()));
    } else if (verb == "delete") {
      changed = ParseDocId(rest[0]);
      tool.Delete(changed);
    } else if (verb == "list") {
      tool.List();
    } else if (verb == "words") {
      tool.Words(ParseDocId(rest[0]));
    } else if (verb == "search") {
      tool.Search(rest);
    } else {
      changed = rest.empty() ? 0 : ParseDocId(rest[0]);
      const int n = tool.Reindex(changed);
      std::fprintf(stderr, "%d Dokumente werden neu indiziert.\n", n);
    }
    std::fflush(stdout);
    if (!tool.Finish()) {
      // The change itself is stored; only the word index lags behind it.
      const std::string archive = args[0];
      const std::string& reason = tool.IndexError();
      if (verb == "delete")
        std::fprintf(stderr,
                     "dkl-archive: Das Dokument %d ist gelöscht, seine Wörter konnten aber nicht "
                     "aus dem Volltextindex entfernt werden: %s\n",
                     changed, reason.c_str());
      else if (changed > 0)
        std::fprintf(stderr,
                     "dkl-archive: Das Dokument %d ist gespeichert, sein Volltextindex ist aber "
                     "unvollständig: %s\nDer Befehl \"dkl-archive %s reindex %d\" "
                     "vervollständigt ihn.\n",
                     changed, reason.c_str(), archive.c_str(), changed);
      else
        std::fprintf(stderr,
                     "dkl-archive: Der Volltextindex ist unvollständig: %s\nDer Befehl "
                     "\"dkl-archive %s reindex\" vervollständigt ihn.\n",
                     reason.c_str(), archive.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "dkl-archive: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace dk

int main(int argc, char** argv) {
  return dk::Run(argc, argv);
}
