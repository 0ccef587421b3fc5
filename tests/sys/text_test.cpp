#include "sys/text.h"

#include <gtest/gtest.h>

namespace dk {
namespace {

TEST(Text, Utf8Validity) {
  EXPECT_TRUE(IsValidUtf8("Müller"));
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_FALSE(IsValidUtf8("M\xFCller"));     // Windows-1252 ü
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));      // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(IsValidUtf8("ab\xE2\x82"));    // cut sequence
}

TEST(Text, LegacyTextDecoding) {
  EXPECT_EQ(DecodeLegacyText("Stra\xDF"
                             "e \x80"),
            "Straße €");
  EXPECT_EQ(DecodeLegacyText("\xEF\xBB\xBFGrüße"), "Grüße");
  EXPECT_EQ(DecodeLegacyText("plain"), "plain");
}

// Document text for the index: the BOM names the encoding, else UTF-8 when
// valid, else Windows-1252; a read that stopped inside the file may cut only
// the last UTF-8 character.
TEST(Text, DocumentTextDecoding) {
  using namespace std::string_literals;
  struct TCase {
    std::string Bytes;
    bool Cut;
    std::string Text;
  } cases[] = {
      {"M\xC3\xBCller", false, "Müller"},
      {"\xEF\xBB\xBFM\xC3\xBCller", false, "Müller"},
      {"M\xFCller \x80", false, "Müller €"},
      {"\xFF\xFEM\0\xFC\0l\0\x3D\xD8\x00\xDE"s, false, "Mül\U0001F600"},  // UTF-16LE
      {"\xFE\xFF\0M\0\xFC\0l\xD8\x3D\xDE\x00"s, false, "Mül\U0001F600"},  // UTF-16BE
      {"\xFF\xFEM\0\x3D\xD8"s, true, "M\uFFFD"},  // a surrogate pair cut in half
      {"\xFF\xFEM\0l"s, true, "M"},               // an odd byte
      {"Gr\xC3\xB6\xC3", true, "Grö"},            // cut inside the last character
      {"Gr\xC3\xB6\xC3", false, "GrÃ¶Ã"},         // a whole file: Windows-1252
      {"Gr\xF6\xDF", true, "Größ"},               // Windows-1252 cut is no UTF-8
      {"", false, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeDocumentText(c.Bytes, c.Cut), c.Text) << c.Bytes;
}

TEST(Text, CodePages) {
  struct Case {
    int cp;
    std::string bytes;
    std::string text;
  } cases[] = {
      {1252, "\xC4\xD6\xDC\xE4\xF6\xFC\xDF", "ÄÖÜäöüß"},
      {437, "\x8E\x99\x9A\x84\x94\x81\xE1", "ÄÖÜäöüß"},
      {850, "\x8E\x99\x9A\x84\x94\x81\xE1", "ÄÖÜäöüß"},
      {866, "\x8F\xE0\xA8\xA2\xA5\xE2", "Привет"},
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
      {936, "\xD6\xD0\xCE\xC4", "中文"},
      // Windows cells where ICU's IBM tables differ: micro sign, not Greek mu.
      {437, "\xE6", "\u00B5"},
      {850, "\xE6", "\u00B5"},
      {865, "\xE6", "\u00B5"},
      {852, "\xAA", "\u00AC"},
  };
  for (const auto& c : cases) {
    TCodePage cp(c.cp);
    EXPECT_EQ(cp.Decode(c.bytes), c.text) << c.cp;
  }
  EXPECT_FALSE(TCodePage::IsKnown(4711));
  EXPECT_THROW(TCodePage(4711), std::runtime_error);
  EXPECT_EQ(Utf8ToCp1252("Größe €"),
            "Gr\xF6\xDF"
            "e \x80");
}

TEST(Text, CaseMappingAndComparison) {
  EXPECT_EQ(AnsiUpperCase("äöü straße"), "ÄÖÜ STRAßE");  // ß has no one-letter capital
  EXPECT_EQ(AnsiUpperCase("müller"), "MÜLLER");
  EXPECT_EQ(AnsiLowerCase("MÜLLER"), "müller");
  EXPECT_TRUE(SameText("MÜLLER", "müller"));
  EXPECT_TRUE(SameText("docid", "DOCID"));
  EXPECT_FALSE(SameText("DOCID", "DOCIDX"));
  EXPECT_LT(AnsiCompareText("abc", "ABD"), 0);
  EXPECT_GT(AnsiCompareText("Zebra", "apfel"), 0);
  // Windows-1252 bytes are compared as the characters they stand for.
  EXPECT_TRUE(SameText("M\xFCller", "MÜLLER"));
}

TEST(Text, CharacterCountsAndTrim) {
  EXPECT_EQ(Utf8Length("Grüße"), 5u);
  EXPECT_EQ(Utf8Left("Grüße", 3), "Grü");
  EXPECT_EQ(Utf8Left("ab", 5), "ab");
  EXPECT_EQ(Trim(" \t x y \r\n"), "x y");
  EXPECT_EQ(ReplaceAll("a..b..", "..", "."), "a.b.");
}

}  // namespace
}  // namespace dk
