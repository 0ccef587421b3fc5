#include "ui/controls.h"

#include <gtest/gtest.h>

#include "sys/text.h"

namespace dk {
namespace {

TEST(Controls, ProgressBarStaysWithinMinAndMax) {
  TApplication app;
  TForm form(nullptr);
  auto* bar = new TProgressBar(&form);
  bar->SetMax(10);
  bar->Step = 4;
  bar->StepIt();
  bar->StepIt();
  EXPECT_EQ(bar->Position(), 8);
  bar->StepIt();
  EXPECT_EQ(bar->Position(), 10);
  bar->StepBy(5);
  EXPECT_EQ(bar->Position(), 10);
  bar->SetMax(6);  // a smaller maximum pulls the position along
  EXPECT_EQ(bar->Position(), 6);
  bar->SetPosition(-3);
  EXPECT_EQ(bar->Position(), 0);
  // The pipeline sets a negative budget when tables cannot be counted.
  bar->SetMax(-1);
  EXPECT_EQ(bar->Min(), -1);
}

TEST(Controls, OwnerFreesItsComponents) {
  TApplication app;
  auto* form = new TForm(nullptr);
  auto* label = new TLabel(form);
  auto* memo = new TMemo(form);
  EXPECT_EQ(form->Controls(), (std::vector<TControl*>{label, memo}));
  delete memo;  // a component freed early leaves its owner's list
  EXPECT_EQ(form->Controls(), (std::vector<TControl*>{label}));
  delete form;  // frees the label; the sanitizer build sees a leak otherwise
}

TEST(Controls, MinimizeNameKeepsTheFileName) {
  const std::string path = "/home/kunde/Dokumente/Projekte/Unterlagen/Angebot.doc";
  struct Case {
    int width;
    std::string expected;
  } cases[] = {
      {100, path},
      {40, "/.../Projekte/Unterlagen/Angebot.doc"},
      {25, "/.../Angebot.doc"},
      {12, "...gebot.doc"},
  };
  for (const auto& c : cases) {
    const std::string got = MinimizeName(path, c.width);
    EXPECT_EQ(got, c.expected) << c.width;
    EXPECT_LE(static_cast<int>(Utf8Length(got)), c.width);
  }
  EXPECT_EQ(MinimizeName("C:\\Dokumente\\Projekte\\Kunde\\Angebot.doc", 20), "...\\Angebot.doc");
}

TEST(Controls, FontSizeHeightAndColours) {
  TFont font;
  EXPECT_EQ(font.Height(), -13);
  font.SetSize(10);
  EXPECT_EQ(font.Size(), 10);
  int changes = 0;
  font.OnChange = [&] { ++changes; };
  font.BeginUpdate();
  font.SetSize(12);
  font.Style = fsBold;
  font.EndUpdate();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(StringToColor("clRed"), 0x0000FF);
  EXPECT_EQ(StringToColor("CLWINDOWTEXT"), static_cast<TColor>(0xFF000008u));
  EXPECT_EQ(StringToColor("$000000FF"), 255);
  EXPECT_EQ(StringToColor("0x10"), 16);
  EXPECT_EQ(StringToColor("42"), 42);
  EXPECT_THROW(StringToColor("dunkelrot"), std::invalid_argument);
  EXPECT_THROW(StringToColor(""), std::invalid_argument);
}

}  // namespace
}  // namespace dk
