// dkl-archive adds documents of every kind the full-text index reads, and
// `search` finds each by the words of its content. The files are the
// fixtures LibreOffice and the mail writer made at build time.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "db/util/archive_schema.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "sys/text_extraction.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

class ArchiveToolFilesTest : public ::testing::Test {
 protected:
  ArchiveToolFilesTest() {
    fs::create_directories(FDir / "reg");
    fs::create_directories(FDir / "common");
    test::WriteFile(FDir / "reg/HKEY_LOCAL_MACHINE.reg",
                    "Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"
                    "\"CommonFilesPath\"=\"" +
                        FDir / "common/" + "\"\r\n");
    Archive = FDir / "archiv6.db";
    CreateEmptyArchive(Archive);
  }

  std::string Tool(const std::string& args, int* status = nullptr) const {
    const std::string cmd = "timeout 300 " + std::string(DKL_ARCHIVE_EXE) + " " + Archive + " " +
                            args + " </dev/null >" + FDir / "out.txt" + " 2>" + FDir / "err.txt";
    const int rc = std::system(cmd.c_str());
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return test::ReadFile(FDir / "out.txt");
  }
  std::string Err() const { return test::ReadFile(FDir / "err.txt"); }

  test::TTempDir FDir;
  test::TScopedEnv FRegistry{"DOKALON_REGISTRY_DIR", FDir / "reg"};
  test::TScopedEnv FTemp{"TMPDIR", FDir.Path()};
  std::string Archive;
};

TEST_F(ArchiveToolFilesTest, EachKindOfDocumentIsFoundByItsContent) {
  const std::string fixtures = DK_TEXT_FIXTURES;
  const bool office = !FindProgram("soffice").empty();
  const bool mail = !FindProgram("msgconvert").empty();
  const bool pdf = fs::exists(fs::path(DKL_ARCHIVE_EXE).parent_path() / "pdftotext");
  test::WriteFile(FDir / "notiz.txt", "Eine Notiz über Gartenzwerge\r\n");
  const struct {
    std::string file;
    bool available;
    std::string search;
  } cases[] = {
      {FDir / "notiz.txt", true, "gartenzwerge"},
      {fixtures + "/sample.pdf", pdf, "kaesebroetchen zelleeins"},
      {fixtures + "/sample.doc", office, "uebergroessen zellevier"},
      {fixtures + "/sample.rtf", office, "schlusssatz verweistext"},
      {fixtures + "/sample.xls", office, "kundenname muellerei"},
      {fixtures + "/plain.msg", mail, "gartenmoebel rechnung"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    if (!c.available || !fs::exists(c.file)) {
      std::printf("skipped: %s (converter or fixture missing; run scripts/setup.sh)\n",
                  c.file.c_str());
      continue;
    }
    // A copy of its own, so the archive's file handling never touches the
    // fixture.
    const std::string copy = FDir / fs::path(c.file).filename().string();
    if (copy != c.file) fs::copy_file(c.file, copy, fs::copy_options::overwrite_existing);
    int status = -1;
    const std::string id = Tool("add " + copy + " --type Brief", &status);
    ASSERT_EQ(status, 0) << Err();
    // The sample text is the same in the PDF, the .doc and the .rtf.
    const std::string found = Tool("search " + c.search);
    EXPECT_NE(("\n" + found).find("\n" + id), std::string::npos) << found;
  }
  // Nothing of the conversions is left in the temporary folder.
  for (const auto& e : fs::recursive_directory_iterator(FDir.Path())) {
    const std::string name = e.path().filename();
    EXPECT_FALSE(name.starts_with("dkl-convert") || name.starts_with("~")) << e.path();
  }
}

// Text files from Windows machines: "Müller Straße Größe" in each encoding a
// text may come in is found by its folded words, in every kind of file read
// as text and in a prepared word file.
TEST_F(ArchiveToolFilesTest, TextInEveryEncodingIsFoundByItsWords) {
  // The texts hold Latin-1 characters only: one or two UTF-8 bytes each,
  // the same number as a Windows-1252 byte.
  const auto latin1 = [](const std::string& utf8) {
    std::u16string units;
    for (size_t i = 0; i < utf8.size(); ++i) {
      const auto b = static_cast<unsigned char>(utf8[i]);
      units += b < 0x80
                   ? char16_t(b)
                   : char16_t(((b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    }
    return units;
  };
  const auto utf16 = [&](const std::string& text, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : latin1(text)) {
      const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
      out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
  };
  const struct {
    const char* Name;
    std::function<std::string(const std::string&)> Encode;
  } encodings[] = {
      {"utf8", [](const std::string& t) { return t; }},
      {"utf8bom", [](const std::string& t) { return "\xEF\xBB\xBF" + t; }},
      {"cp1252",
       [&](const std::string& t) {
         std::string out;
         for (char16_t c : latin1(t)) out += static_cast<char>(c);
         return out;
       }},
      {"utf16le", [&](const std::string& t) { return utf16(t, false); }},
      {"utf16be", [&](const std::string& t) { return utf16(t, true); }},
  };
  const struct {
    const char* Suffix;
    std::string Text;
  } kinds[] = {
      {".txt", "Müller Straße Größe\r\n"},
      {".htm", "<html><body><p>Müller Straße Größe</p></body></html>"},
      {".eml", "Subject: Brief\r\n\r\nMüller Straße Größe\r\n"},
      {"", "Müller Straße Größe\r\n"},
      {".doc.dkfti", ".Müller.Straße.Größe.\r\n"},
  };
  for (const auto& e : encodings) {
    for (const auto& k : kinds) {
      SCOPED_TRACE(std::string(e.Name) + k.Suffix);
      std::string file = FDir / (std::string("text-") + e.Name + k.Suffix);
      test::WriteFile(file, e.Encode(k.Text));
      if (file.ends_with(".dkfti")) {
        // A prepared word file stands beside the document it was made for.
        file.resize(file.size() - 6);
        test::WriteFile(file, "");
      }
      int status = -1;
      const std::string id = Tool("add " + file + " --type X", &status);
      ASSERT_EQ(status, 0) << Err();
      const std::string found = Tool("search mueller strasse groesse");
      EXPECT_NE(("\n" + found).find("\n" + id), std::string::npos) << found;
    }
  }
}

// What add cannot take is named with its reason, and nothing is saved.
TEST_F(ArchiveToolFilesTest, AddNamesAFolderAndAMissingFile) {
  fs::create_directories(FDir / "ordner");
  const struct {
    std::string Path;
    std::string Message;
  } cases[] = {
      {FDir / "ordner",
       "\"" + FDir / "ordner" + "\" ist ein Ordner; add nimmt eine einzelne Datei."},
      {FDir / "fehlt.txt", "Die Datei \"" + FDir / "fehlt.txt" + "\" wurde nicht gefunden."},
  };
  for (const auto& c : cases) {
    int status = -1;
    EXPECT_EQ(Tool("add " + c.Path + " --type X", &status), "");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Err(), "dkl-archive: " + c.Message + "\n");
  }
  EXPECT_EQ(Tool("list"), "");
}

}  // namespace
}  // namespace dk
