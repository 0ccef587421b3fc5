#include "sys/string_list.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

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
