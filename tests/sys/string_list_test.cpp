#include "sys/string_list.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "sys/ini_file.h"
#include "sys/text.h"

namespace dk {
namespace {

TEST(StringList, FileRoundTripWritesCrLfAndReadsAnyLineEnd) {
  test::TTempDir dir;
  test::WriteFile(dir / "in.txt", "eins\r\nzwei\ndrei\rvier");
  TStringList list;
  list.LoadFromFile(dir / "in.txt");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list[3], "vier");
  list.SaveToFile(dir / "out.txt");
  EXPECT_EQ(test::ReadFile(dir / "out.txt"), "eins\r\nzwei\r\ndrei\r\nvier\r\n");
}

TEST(StringList, LegacyFileIsDecoded) {
  test::TTempDir dir;
  test::WriteFile(dir / "cp.txt", "M\xFCller\r\n");
  TStringList list;
  list.LoadFromFile(dir / "cp.txt");
  EXPECT_EQ(list[0], "Müller");
  EXPECT_THROW(list.LoadFromFile(dir / "missing.txt"), std::runtime_error);
}

std::vector<std::string> gNotices;

// NUL bytes of a text file are dropped where it is read, by the line reader
// and the INI reader alike, and the file is named once; UTF-8 and
// Windows-1252 files both.
TEST(StringList, NulBytesOfAFileAreDroppedAndTheFileNamedOnce) {
  test::TTempDir dir;
  gNotices.clear();
  const TTextFileNotice previous =
      SetTextFileNoticeHandler([](const std::string& m) { gNotices.push_back(m); });
  const std::string nul(1, '\0');
  test::WriteFile(dir / "a.itm", "M\xFC" + nul + "ller\r\n" + nul + nul + "Wei\xDF\r\n");
  test::WriteFile(dir / "b.fld", "[NOTE]\r\nCaption=Bemer" + nul + "kung \xC3\xA4\r\n");
  test::WriteFile(dir / "c.itm", "sauber\r\n");
  TStringList list;
  list.LoadFromFile(dir / "a.itm");
  EXPECT_EQ(list.Text(), "Müller\r\nWeiß\r\n");
  EXPECT_EQ(TIniFile(dir / "b.fld").ReadString("NOTE", "Caption", ""), "Bemerkung ä");
  list.LoadFromFile(dir / "c.itm");
  SetTextFileNoticeHandler(previous);
  EXPECT_EQ(gNotices, (std::vector<std::string>{
                          "Die Datei \"" + dir / "a.itm" +
                              "\" enthält 3 NUL-Zeichen; sie wurden beim Lesen entfernt.",
                          "Die Datei \"" + dir / "b.fld" +
                              "\" enthält 1 NUL-Zeichen; sie wurden beim Lesen entfernt."}));
}

TEST(StringList, NameValueAccess) {
  TStringList list{"Typ=Brief", "ort = Köln", "kein Paar"};
  EXPECT_EQ(list.Values("TYP"), "Brief");
  EXPECT_EQ(list.IndexOfName("ort "), 1);
  EXPECT_EQ(list.Values("fehlt"), "");
  list.SetValue("typ", "Fax");
  EXPECT_EQ(list[0], "typ=Fax");
  list.SetValue("neu", "1");
  EXPECT_EQ(list[3], "neu=1");
  list.SetValue("neu", "");
  EXPECT_EQ(list.Count(), 3);
}

TEST(StringList, SortedIgnoresCaseAndDuplicates) {
  TStringList list{"beta", "Alpha", "ALPHA", "äpfel"};
  list.SetSorted(true);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list[0], "Alpha");
  EXPECT_EQ(list.Add("BETA"), 1);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Add("Gamma"), 2);
}

TEST(StringList, CommaText) {
  TStringList list{"a", "b c", "d,e", "say \"hi\"", ""};
  EXPECT_EQ(list.CommaText(), "a,\"b c\",\"d,e\",\"say \"\"hi\"\"\",");
  TStringList back;
  back.SetCommaText(list.CommaText());
  EXPECT_EQ(back, list);
  back.SetCommaText("eins zwei,  drei");
  EXPECT_EQ(back, (TStringList{"eins", "zwei", "drei"}));
  back.SetCommaText("");
  EXPECT_EQ(back.Count(), 0);
}

}  // namespace
}  // namespace dk
