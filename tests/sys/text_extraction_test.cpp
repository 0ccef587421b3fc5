#include "sys/text_extraction.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "support/temp_dir.h"
#include "sys/app_exec.h"
#include "sys/rtf_reader.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// Fixtures made at build time by LibreOffice and the mail writer.
std::string Fixture(const std::string& name) {
  return std::string(DK_TEXT_FIXTURES) + "/" + name;
}

// The words of the sample document, in scripts that need the code pages and
// Unicode escapes right.
const char* const kSampleWords[] = {"Angebot",     "Gartenbau", "Käsebrötchen", "Straße",
                                    "Übergrößen",  "Привет",    "Καλημέρα",     "東京",
                                    "Verweistext", "Zelleeins", "Zellevier",    "Schlusssatz"};

void ExpectSampleWords(const std::string& text, const std::string& what) {
  for (const char* word : kSampleWords)
    EXPECT_NE(text.find(word), std::string::npos) << what << " lacks " << word << ":\n" << text;
}

// Non-empty lines with surrounding blanks and tabs removed.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t b = line.find_first_not_of(" \t\r\f");
    if (b == std::string::npos) continue;
    const size_t e = line.find_last_not_of(" \t\r\f");
    lines.push_back(line.substr(b, e - b + 1));
  }
  return lines;
}

#define REQUIRE_PROGRAM(name, package) \
  if (FindProgram(name).empty())       \
  GTEST_SKIP() << name " is not installed (Debian package " package "); run scripts/setup.sh"
#define REQUIRE_FIXTURE(name) \
  if (!fs::exists(Fixture(name))) GTEST_SKIP() << "fixture " << name << " was not made"

TEST(HtmlToTextTest, DropsMarkupAndBlankLinesAndConvertsUmlautEntities) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"<p>&Auml;rger</p>", "aerger\r\n"},
      {"&AUML;&ouml;&Uuml;&szlig;", "aeoeuess\r\n"},
      {"Ma&SZLIG; &amp; &lt;", "Ma&SZLIG; &amp; &lt;\r\n"},
      {"a > b <b>fett</b>", "a > b fett\r\n"},
      {"<a\nhref='x'>eins</a>\r\n   \n\tzwei\r\rdrei\n", "eins\r\n\tzwei\r\ndrei\r\n"},
      {"<unclosed eins zwei", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(HtmlToText(c.in), c.out) << c.in;
}

TEST(RtfReaderTest, SmallDocuments) {
  const struct {
    const char* rtf;
    const char* text;
  } cases[] = {
      // paragraphs, line breaks, destinations that hold no text
      {R"({\rtf1\ansi{\fonttbl{\f0\froman Times;}}{\colortbl;\red0\green0\blue0;})"
       R"({\stylesheet{\s0 Normal;}}{\info{\title Titelwort}{\author Autor}})"
       R"({\header Kopfzeile\par}\pard eins\par zwei\line drei\par})",
       "eins\r\nzwei\r\ndrei\r\n"},
      // \'hh in the document's code page and in a font's charset
      {R"({\rtf1\ansi\ansicpg1252 K\'e4se\par})", "Käse\r\n"},
      {R"({\rtf1\ansi\ansicpg1251 \'cf\'f0\'e8\par})", "При\r\n"},
      {R"({\rtf1\ansi{\fonttbl{\f0 Arial;}{\f1\fcharset161 Arial Greek;}})"
       R"(\f0 \'e4 {\f1 \'e1\'e2}\'e4\par})",
       "ä αβä\r\n"},
      {R"({\rtf1\ansi\ansicpg932 \'93\'8c\'8b\'9e\par})", "東京\r\n"},
      // \uN with its fallback skipped, \ucN, negative values, surrogate pairs
      {R"({\rtf1 a\u8364?b\uc2\u8364\'80\'80c{\uc0\u252}d\u-3850?\par})", "a€b€cüd\uf0f6\r\n"},
      {R"({\rtf1 \u-10179?\u-8704?\par})", "😀\r\n"},
      // fields: the result, not the instruction; pictures and objects
      {R"({\rtf1 Ein {\field{\*\fldinst HYPERLINK "http://x.de"}{\fldrslt Verweis}} da.)"
       R"({\*\shppict{\pict\pngblip 89504e47}}{\nonshppict{\pict 0102}})"
       R"({\object{\*\objdata 0105}{\result Ersatz}}\par})",
       "Ein Verweis da.Ersatz\r\n"},
      // tables: each cell on its own line
      {R"({\rtf1 \trowd\cellx100\cellx200 A1\cell B1\cell\row\trowd A2\cell B2\cell\row Ende\par})",
       "A1\r\nB1\r\nA2\r\nB2\r\nEnde\r\n"},
      // symbols, tabs, escaped braces, binary data, source line ends
      {"{\\rtf1 x\\tab y\\emdash\\{\\}\\\\ \\bin3 {}\\\\~z\r\nw\\par}", "x\ty—{}\\ \u00a0zw\r\n"},
      // unterminated text still ends its line; unbalanced braces do not fail
      {R"({\rtf1 offen)", "offen\r\n"},
      {R"(}}{\rtf1 a}}\par)", "a\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(RtfToText(c.rtf), c.text) << c.rtf;

  std::string buffer = R"({\rtf1 Puffer\par})";
  RtfStreamToText(buffer);
  EXPECT_EQ(buffer, "Puffer\r\n");
}

// LibreOffice's RTF comes out line by line as LibreOffice's own plain-text
// export of the same file, and the .doc export holds the same words.
TEST(OfficeConversionTest, WordProcessorFiles) {
  REQUIRE_PROGRAM("soffice", "libreoffice-writer-nogui");
  REQUIRE_FIXTURE("sample.rtf");
  REQUIRE_FIXTURE("sample.doc");
  test::TTempDir dir;
  const std::string ours = RtfToText(test::ReadFile(Fixture("sample.rtf")));
  ExpectSampleWords(ours, "RTF reader");
  EXPECT_EQ(ours.find("Liberation"), std::string::npos);
  EXPECT_EQ(ours.find("HYPERLINK"), std::string::npos);

  ASSERT_TRUE(WordDocToText(Fixture("sample.rtf"), dir / "rtf.txt"));
  EXPECT_EQ(Lines(ours), Lines(test::ReadFile(dir / "rtf.txt")));

  ASSERT_TRUE(WordDocToText(Fixture("sample.doc"), dir / "doc.txt"));
  const std::string doc = test::ReadFile(dir / "doc.txt");
  EXPECT_FALSE(doc.starts_with("\xEF\xBB\xBF"));
  ExpectSampleWords(doc, ".doc");
  // nothing of the conversion is left behind
  for (const auto& entry : fs::directory_iterator(fs::path(DK_TEXT_FIXTURES)))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".~lock")) << entry.path();
}

TEST(OfficeConversionTest, SpreadsheetFile) {
  REQUIRE_PROGRAM("soffice", "libreoffice-calc-nogui");
  REQUIRE_FIXTURE("sample.xls");
  test::TTempDir dir;
  ASSERT_TRUE(ExcelBookToText(Fixture("sample.xls"), dir / "xls.txt"));
  EXPECT_EQ(Lines(test::ReadFile(dir / "xls.txt")),
            (std::vector<std::string>{"Kundenname\tBestellmenge", "Müllerei\t4711"}));
}

TEST(OfficeConversionTest, MissingProgramOrFileAnswersFalse) {
  test::TTempDir dir;
  const TConverterSettings saved = ConverterSettings();
  ConverterSettings().OfficeProgram = dir / "no-office";
  ConverterSettings().MailProgram = dir / "no-mail";
  test::WriteFile(dir / "a.doc", "x");
  EXPECT_FALSE(WordDocToText(dir / "a.doc", dir / "a.txt"));
  EXPECT_FALSE(ExcelBookToText(dir / "a.doc", dir / "a.txt"));
  EXPECT_FALSE(OutlookMsgToText(dir / "a.doc", dir / "a.txt"));
  EXPECT_FALSE(fs::exists(dir / "a.txt"));
  ConverterSettings() = saved;
  EXPECT_FALSE(WordDocToText(dir / "missing.doc", dir / "a.txt"));
  EXPECT_FALSE(OutlookMsgToText(dir / "missing.msg", dir / "a.txt"));
}

// A converter that hangs is ended by the time limit; its profile and output
// folder are gone afterwards.
TEST(OfficeConversionTest, HungConverterEndsByTimeLimit) {
  test::TTempDir dir;
  const std::string fake = dir / "soffice";
  test::WriteFile(fake,
                  "#!/bin/sh\n"
                  "for a in \"$@\"; do case \"$a\" in -env:UserInstallation=file://*)\n"
                  "  p=${a#-env:UserInstallation=file://}; mkdir -p \"$p\"; echo x > \"$p/lock\";\n"
                  "  echo \"$p\" > " +
                      dir / "profile" +
                      ";; esac; done\n"
                      "sleep 60\n");
  chmod(fake.c_str(), 0755);
  test::WriteFile(dir / "a.doc", "x");
  const TConverterSettings saved = ConverterSettings();
  ConverterSettings().OfficeProgram = fake;
  ConverterSettings().OfficeTimeLimitMs = 500;
  EXPECT_FALSE(WordDocToText(dir / "a.doc", dir / "a.txt"));
  ConverterSettings() = saved;
  const std::string profile = Lines(test::ReadFile(dir / "profile")).at(0);
  EXPECT_FALSE(fs::exists(fs::path(profile).parent_path())) << profile;
  EXPECT_FALSE(fs::exists(dir / "a.txt"));
}

TEST(MailConversionTest, PlainBodyElseHtmlBody) {
  REQUIRE_PROGRAM("msgconvert", "libemail-outlook-message-perl");
  REQUIRE_FIXTURE("plain.msg");
  test::TTempDir dir;
  ASSERT_TRUE(OutlookMsgToText(Fixture("plain.msg"), dir / "plain.txt"));
  EXPECT_EQ(Lines(test::ReadFile(dir / "plain.txt")),
            (std::vector<std::string>{"Guten Tag,", "anbei die Rechnung über Gartenmöbel."}));
  ASSERT_TRUE(OutlookMsgToText(Fixture("html.msg"), dir / "html.txt"));
  EXPECT_EQ(test::ReadFile(dir / "html.txt"),
            "Nur Htmlinhalt ueber Zaunlatten\r\nZweite Zeile\r\n");
}

TEST(PdfConversionTest, ConverterInTheProgramDirectory) {
  const std::string program = std::string(DK_PROGRAM_BIN_DIR) + "/pdftotext";
  if (!fs::exists(program))
    GTEST_SKIP() << "pdftotext is not installed (Debian package poppler-utils)";
  REQUIRE_FIXTURE("sample.pdf");
  test::TTempDir dir;
  // blanks and a quote in the names reach the converter as one word each
  const std::string source = dir / "mein \"Angebot\".pdf";
  fs::copy_file(Fixture("sample.pdf"), source);
  const std::string target = dir / "text ziel.txt";
  RunPdfToText(program, source, target);
  const std::string text = test::ReadFile(target);
  ExpectSampleWords(text, "pdftotext");
  EXPECT_NE(text.find("Gartenbau\r\n"), std::string::npos);

  try {
    RunPdfToText(dir / "pdftotext", source, target);
    FAIL() << "a missing converter started";
  } catch (const EAppExecWinExec& e) {
    EXPECT_EQ(std::string(e.what()), "Anwendung nicht vorhanden: " + dir / "pdftotext");
  }
}

}  // namespace
}  // namespace dk
