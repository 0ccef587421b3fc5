#include "settings/font_text.h"

#include <gtest/gtest.h>

namespace dk {
namespace {

TEST(FontText, FieldsApplyOneByOne) {
  struct TCase {
    const char* Text;
    std::string Name;
    int Size;  // 0: unchanged height
    TFontStyles Style;
    TFontPitch Pitch;
    TColor Color;
    int Charset;
  };
  const TFont design;
  const TCase cases[] = {
      {"Arial,10,BI", "Arial", 10, fsBold | fsItalic, design.Pitch, design.Color, design.Charset},
      {"Arial;;U", "Arial", 0, fsUnderline, design.Pitch, design.Color, design.Charset},
      {"", design.Name, 0, 0, design.Pitch, design.Color, design.Charset},
      {" Courier New ; 12 ; s ; 2 ; $000000FF ; 238 ; extra", "Courier New", 12, fsStrikeOut,
       fpFixed, 0xFF, 238},
      {"Tahoma,zwölf,,x,clBlack,y", "Tahoma", 0, 0, design.Pitch, 0, design.Charset},
      {",9", design.Name, 9, 0, design.Pitch, design.Color, design.Charset},
  };
  for (const auto& c : cases) {
    TFont font;
    int changes = 0;
    font.OnChange = [&] { ++changes; };
    FontFromText(c.Text, font);
    EXPECT_EQ(font.Name, c.Name) << c.Text;
    if (c.Size)
      EXPECT_EQ(font.Size(), c.Size) << c.Text;
    else
      EXPECT_EQ(font.Height(), design.Height()) << c.Text;
    EXPECT_EQ(font.Style, c.Style) << c.Text;
    EXPECT_EQ(font.Pitch, c.Pitch) << c.Text;
    EXPECT_EQ(font.Color, c.Color) << c.Text;
    EXPECT_EQ(font.Charset, c.Charset) << c.Text;
    EXPECT_EQ(changes, 1) << c.Text;  // one change, whatever the text
  }
}

TEST(FontText, AnInvalidColourRaisesAfterOneChange) {
  TFont font;
  int changes = 0;
  font.OnChange = [&] { ++changes; };
  EXPECT_THROW(FontFromText("Arial,10,B,0,keineFarbe", font), std::invalid_argument);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(font.Name, "Arial");  // the fields before the colour are applied
}

TEST(FontText, NextTokenWalksTheDelimiters) {
  const std::string text = "a,,bc;";
  int pos = 1;
  EXPECT_EQ(NextToken(text, pos, ",;"), "a");
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(NextToken(text, pos, ",;"), "");
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(NextToken(text, pos, ",;"), "bc");
  EXPECT_EQ(pos, 7);  // past the end: a final delimiter gives no empty token
  pos = 3;
  EXPECT_EQ(NextToken("xyz", pos, ","), "z");
  EXPECT_EQ(pos, 4);
}

TEST(FontText, StyleLetters) {
  EXPECT_EQ(StyleFromText("Underline"), fsUnderline | fsItalic);
  EXPECT_EQ(StyleFromText("bius"), fsBold | fsItalic | fsUnderline | fsStrikeOut);
  EXPECT_EQ(StyleFromText("x-y-z"), 0);
  EXPECT_EQ(StyleFromText(""), 0);
}

}  // namespace
}  // namespace dk
