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
