// Document files in the full mode of the index: which files are read, the
// prepared word files, conversions and their temporary files, the size limit
// and the chunked reading, on an open archive whose saves run the record
// rules, the indexer and its worker.
#include "db/document_files.h"

#include <sys/stat.h>

#include <filesystem>

#include "fti_fixture.h"
#include "settings/locations.h"
#include "sys/api_tools.h"
#include "sys/file_names.h"
#include "sys/text_extraction.h"

namespace dk {
namespace {

namespace fs = std::filesystem;
using test::FtiTest;

bool Has(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

class DocumentFilesTest : public FtiTest {
 protected:
  DocumentFilesTest() {
    FSavedTempDir = TempDir;
    TempDir = FDir / "tmp/";
    fs::create_directories(FDir / "files");
  }
  ~DocumentFilesTest() override {
    TempDir = FSavedTempDir;
    ConverterSettings() = FSavedConverters;
  }

  std::string File(const std::string& name, const std::string& content) const {
    const std::string path = FDir / ("files/" + name);
    test::WriteFile(path, content);
    return path;
  }
  int SaveFile(const std::string& fileName, const std::string& name = "Akte") {
    // A type name too short to be a word, and no type of the archive: the
    // file name stays as given.
    return SaveNew({{"FILENAME", fileName}, {"NAME", name}, {"APPLNAME", "X"}});
  }
  std::string FtiUpdate(int docId) const {
    return Select("SELECT FTIUPDATE FROM DOCUMENT WHERE DOCID = " + std::to_string(docId)).at(0);
  }
  // Conversion targets and converter folders left in the temporary folders.
  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    for (const std::string& dir : {TempDir, GetTempDir()})
      for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename();
        if (name.starts_with("~") || name.starts_with("dkl-convert")) names.push_back(name);
      }
    return names;
  }

  std::string FSavedTempDir;
  TConverterSettings FSavedConverters = ConverterSettings();
};

TEST_F(DocumentFilesTest, WhichFilesTakePart) {
  const std::string doc = File("Brief.DOC", "x");
  const std::string odt = File("Brief.odt", "x");
  const std::string bare = File("Liesmich", "x");
  const struct {
    std::string types;
    std::string file;
    bool excluded;
  } cases[] = {
      {".doc.eml.htm.html.msg.pdf.rtf.txt.xls.", doc, false},
      {".doc.eml.htm.html.msg.pdf.rtf.txt.xls.", odt, true},
      {".doc.eml.htm.html.msg.pdf.rtf.txt.xls.", FDir / "files/fehlt.doc", true},
      {".doc.eml.htm.html.msg.pdf.rtf.txt.xls.", bare, false},  // tested as "."
      {".pdf.", bare, false},
      {".pdf.", kInternalDocument, false},
      {".doc.eml.htm.html.msg.pdf.rtf.txt.xls.", "{COM:LotusNotes,1234}", true},
      {".txt.COM:LOTUSNOTES.", "{com:LotusNotes,1234}", false},
      {".doc.eml.htm.html.msg.pdf.rtf.txt.xls.", "{COM:ohne Komma}", true},  // tested as ".."
      {"..", "{COM:ohne Komma}", false},
  };
  for (const auto& c : cases) {
    FConfig->FtiFileTypes = c.types;
    EXPECT_EQ(IsExcludedFile(c.file), c.excluded) << c.types << " " << c.file;
  }
}

TEST_F(DocumentFilesTest, NamesOfPreparedWordFilesAndConversionTargets) {
  EXPECT_EQ(GetIndexFileName("/ablage/Brief.doc"), "/ablage/Brief.doc.dkfti");
  EXPECT_EQ(GetIndexFileName(kInternalDocument), TempDir + "(internes Dokument).dkfti");
  EXPECT_EQ(GetIndexFileName("http://host/a.pdf"),
            TempDir + CleanFileName("http://host/a.pdf", true) + ".dkfti");
  EXPECT_EQ(GetIndexFileName("{COM:LotusNotes,12}"),
            TempDir + CleanFileName("{COM:LotusNotes,12}", true) + ".dkfti");
  EXPECT_EQ(GetConversionTempName("/ablage/Angebot.doc"), TempDir + "~Angebot.tmp");
  test::WriteFile(TempDir + "~Angebot.tmp", "");
  EXPECT_EQ(GetConversionTempName("/ablage/Angebot.doc"), TempDir + "~Angebot1.tmp");
}

// The full mode reads the file and records its time; a file of another type,
// a missing file and the row-only mode leave both alone.
TEST_F(DocumentFilesTest, FullModeReadsTheFileAndRecordsItsTime) {
  const std::string txt = File("notiz.txt", "Gartenzwerg und Sonnenblume\r\n");
  const int read = SaveFile(txt);
  const int other = SaveFile(File("notiz.odt", "Gartenzwerg"));
  const int missing = SaveFile(FDir / "files/fehlt.txt");
  FConfig->FtiCreateMode = 1;
  const int rowOnly = SaveFile(txt);
  Wait();

  const auto words = Words(read);
  EXPECT_TRUE(Has(words, "gartenzwerg") && Has(words, "sonnenblume") && Has(words, "akte"));
  struct stat st {};
  ASSERT_EQ(stat(txt.c_str(), &st), 0);
  struct tm local {};
  localtime_r(&st.st_mtim.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  EXPECT_TRUE(FtiUpdate(read).starts_with(stamp)) << FtiUpdate(read) << " vs " << stamp;

  for (int id : {other, missing, rowOnly}) {
    EXPECT_TRUE(Has(Words(id), "akte")) << id;
    EXPECT_FALSE(Has(Words(id), "gartenzwerg")) << id;
    EXPECT_EQ(FtiUpdate(id), "") << id;
  }
}

TEST_F(DocumentFilesTest, PreparedWordFileIsUsedAndDeleted) {
  const std::string doc = File("Brief.doc", "Rohinhalt");
  test::WriteFile(doc + ".dkfti", ".vorbereitet.xy.\r\n");
  const int first = SaveFile(doc);
  Wait();
  EXPECT_TRUE(Has(Words(first), "vorbereitet") && Has(Words(first), "xy"));
  EXPECT_FALSE(Has(Words(first), "rohinhalt"));
  EXPECT_FALSE(fs::exists(doc + ".dkfti"));

  // All internal documents share one prepared file; kept, both take it.
  FConfig->DeleteDkftiFile = false;
  test::WriteFile(GetIndexFileName(kInternalDocument), ".gemeinsam.");
  const int a = SaveFile(kInternalDocument, "Erste");
  const int b = SaveFile(kInternalDocument, "Zweite");
  Wait();
  EXPECT_TRUE(Has(Words(a), "gemeinsam") && Has(Words(a), "erste"));
  EXPECT_TRUE(Has(Words(b), "gemeinsam") && Has(Words(b), "zweite"));
  EXPECT_TRUE(fs::exists(GetIndexFileName(kInternalDocument)));
}

TEST_F(DocumentFilesTest, InternalDocumentIsReadFromItsRichText) {
  FConfig->FtiFileTypes = ".pdf.";
  TQuery& doc = *Archive->DocQuery();
  doc.Append();
  doc.FieldByName("FILENAME").SetAsString(kInternalDocument);
  doc.FieldByName("APPLNAME").SetAsString("X");
  doc.FieldByName("RTFTEXT").SetAsString(
      R"({\rtf1\ansi{\fonttbl{\f0 Arial;}}\f0 Rechnung f\'fcr Z\u228?une\par})");
  doc.Post();
  const int id = Archive->GetDocID();
  Wait();
  const auto words = Words(id);
  EXPECT_TRUE(Has(words, "fuer") && Has(words, "rechnung") && Has(words, "zaeune"));
  EXPECT_FALSE(Has(words, "arial"));
}

// 5 MB of text: 2 MB read by default, all of it with no limit; a word across
// the first chunk border is indexed whole.
TEST_F(DocumentFilesTest, SizeLimitAndWordAcrossTheChunkBorder) {
  std::string text(5 * 1048576, ' ');
  const auto put = [&](size_t pos, const std::string& word) {
    text.replace(pos, word.size(), word);
  };
  put(0, "Anfangswort");
  put(1048576 - 4, "Grenzwort");
  put(2097152 - 20, "Innenwort");
  put(3 * 1048576, "Spaetwort");
  const std::string file = File("gross.txt", text);
  const int limited = SaveFile(file);
  FConfig->FtiMaxFileSize = 0;
  const int whole = SaveFile(file);
  Wait();
  for (const char* word : {"anfangswort", "grenzwort", "innenwort"}) {
    EXPECT_TRUE(Has(Words(limited), word)) << word;
    EXPECT_TRUE(Has(Words(whole), word)) << word;
  }
  EXPECT_FALSE(Has(Words(limited), "spaetwort"));
  EXPECT_TRUE(Has(Words(whole), "spaetwort"));
  // no piece of the border word
  EXPECT_FALSE(Has(Words(limited), "grenz") || Has(Words(limited), "wort"));
}

// Chunks of any size give the words of the whole text: no word and no UTF-8
// sequence is cut.
TEST_F(DocumentFilesTest, ChunksNeverCutAWordOrACharacter) {
  const std::string text = "Gärtnerei Öl größer €uro Straße ääää x Привет Zaun";
  std::string whole = ".";
  Fti->AddWords(text, whole);
  for (size_t chunk = 1; chunk <= text.size(); ++chunk) {
    std::string list = ".";
    AddContentWords(*Fti, text, false, list, chunk);
    EXPECT_EQ(list, whole) << "chunk " << chunk;
  }
  std::string html = ".";
  AddContentWords(*Fti, "<p>Kl&auml;ger</p>\n<b>Zeuge</b>", true, html, 1024);
  EXPECT_EQ(html, ".klaeger.zeuge.");
}

// A conversion that fails is logged and the file read as it is; a converted
// temporary file is gone afterwards; a missing PDF converter is logged.
TEST_F(DocumentFilesTest, ConversionsAndTheirTemporaryFiles) {
  ConverterSettings().OfficeProgram = FDir / "kein-office";
  const std::string failing = File("kaputt.doc", "Rohtext");
  const int raw = SaveFile(failing);
  Wait();
  EXPECT_TRUE(Has(Words(raw), "rohtext"));
  EXPECT_NE(
      NewLog().find(failing + " konnte zur Indexierung nicht in Textdatei konvertiert werden"),
      std::string::npos)
      << NewLog();

  // A stand-in converter that writes its result where the real one would.
  const std::string fake = FDir / "office.sh";
  test::WriteFile(fake,
                  "#!/bin/sh\nwhile [ $# -gt 1 ]; do [ \"$1\" = --outdir ] && out=$2; shift; done\n"
                  "echo Umgewandelt > \"$out/x.txt\"\n");
  chmod(fake.c_str(), 0755);
  ConverterSettings().OfficeProgram = fake;
  const int converted = SaveFile(File("gut.xls", "binaer"));
  Wait();
  EXPECT_TRUE(Has(Words(converted), "umgewandelt"));
  EXPECT_FALSE(Has(Words(converted), "binaer"));
  EXPECT_TRUE(TempFiles().empty()) << TempFiles().at(0);

  const int pdf = SaveFile(File("scan.pdf", "%PDF-1.4 Pdfinhalt"));
  Wait();
  EXPECT_FALSE(Has(Words(pdf), "pdfinhalt"));
  EXPECT_NE(NewLog().find("Die Datei \"" + ProgramDir +
                          "pdftotext\" wurde nicht gefunden.. PDF konnte zur Indexierung nicht in "
                          "Textdatei konvertiert werden"),
            std::string::npos)
      << NewLog();
}

// A file that goes after the indexer chose it, or a name that turned into
// a folder, is named with what is wrong; the words so far stay.
TEST_F(DocumentFilesTest, AFileThatCannotBeReadIsNamed) {
  fs::create_directories(FDir / "files/ordner.txt");
  const struct {
    std::string File;
    std::string Message;
  } cases[] = {
      {FDir / "files/weg.txt", "Die Datei \"" + FDir / "files/weg.txt" +
                                   "\" ist nicht mehr vorhanden; ihr Inhalt kann nicht indexiert "
                                   "werden."},
      {FDir / "files/ordner.txt", "\"" + FDir / "files/ordner.txt" +
                                      "\" ist ein Ordner und keine Datei; er kann nicht indexiert "
                                      "werden."},
  };
  for (const auto& c : cases) {
    std::string list = ".akte.";
    try {
      ReadDocumentFile(*Fti, c.File, list);
      ADD_FAILURE() << c.File;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.Message);
    }
    EXPECT_EQ(list, ".akte.");
  }
}

}  // namespace
}  // namespace dk
