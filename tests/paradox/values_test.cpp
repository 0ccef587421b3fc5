// Decoding rules of single values, checked against bytes given in the format
// description and values counted by hand.
#include "paradox/values.h"

#include <gtest/gtest.h>

#include <cmath>

namespace dk {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s += static_cast<char>(x);
  return s;
}
const uint8_t* U(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(Values, IntegersAndDoubles) {
  EXPECT_EQ(PxDecodeInt16(U(Bytes({0x80, 0x01}))), 1);
  EXPECT_EQ(PxDecodeInt16(U(Bytes({0x7F, 0xFF}))), -1);
  EXPECT_EQ(PxDecodeInt16(U(Bytes({0x80, 0x00}))), 0);
  EXPECT_EQ(PxDecodeInt32(U(Bytes({0x80, 0x00, 0x01, 0x00}))), 256);
  EXPECT_EQ(PxDecodeInt32(U(Bytes({0x7F, 0xFF, 0xFF, 0x00}))), -256);
  EXPECT_EQ(PxDecodeInt32(U(Bytes({0x93, 0xDE, 0x43, 0x55}))), 333333333);
  EXPECT_EQ(PxDecodeDouble(U(Bytes({0xBF, 0xF0, 0, 0, 0, 0, 0, 0}))), 1.0);
  EXPECT_EQ(PxDecodeDouble(U(Bytes({0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}))), -1.0);
  EXPECT_EQ(PxDecodeDouble(U(Bytes({0x80, 0, 0, 0, 0, 0, 0, 0}))), 0.0);
  EXPECT_EQ(PxDecodeDouble(U(Bytes({0xC0, 0x69, 0x0B, 0x85, 0x1E, 0xB8, 0x51, 0xEC}))), 200.36);
  EXPECT_EQ(PxDecodeDouble(U(Bytes({0x3F, 0xA6, 0xDF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}))), -100.5);
  // NULL is all bytes zero, not only the first four.
  EXPECT_TRUE(PxIsBlank(U(Bytes({0, 0, 0, 0, 0, 0, 0, 0})), 8));
  EXPECT_FALSE(PxIsBlank(U(Bytes({0, 0, 0, 0, 0, 0, 0, 1})), 8));
}

TEST(Values, Bcd) {
  struct Case {
    std::string Bytes;
    int Scale;
    const char* Text;
  } cases[] = {
      {Bytes({0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x23}), 2, "1.23"},
      {Bytes({0x42, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
              0xFF, 0xFE, 0xDC}),
       2, "-1.23"},
      {Bytes({0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x45}), 2, "123.45"},
      {Bytes({0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 2, "0.00"},
      {Bytes({0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42}), 0, "42"},
      {Bytes({0xE0, 0x12, 0x29, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x98, 0x0B, 0x00, 0xE0, 0x00,
              0x00, 0xBF, 0x4A}),
       32, "0.12299999999999999800000000000000"},  // noise after the 19th digit
      {Bytes({0xE0, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99,
              0x99, 0x99, 0x99}),
       32, "0.99999999999999999999999999999999"},
      {Bytes({0xC0, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99,
              0x99, 0x99, 0x99}),
       0, "99999999999999999999999999999999"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_TRUE(PxDecodeBcd(U(c.Bytes), c.Scale, out));
    EXPECT_EQ(out, c.Text);
  }
  std::string out;
  EXPECT_FALSE(
      PxDecodeBcd(U(Bytes({0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), 6, out))
      << "without the valid bit it is no number";
  EXPECT_EQ(out, "");
}

TEST(Values, DayNumbersAndTexts) {
  struct Case {
    int64_t Day;
    const char* Text;
  } cases[] = {
      {1, "0001-01-01"},       {736695, "2018-01-01"}, {730120, "2000-01-01"},
      {728783, "1996-05-04"},  {36160, "0100-01-01"},  {693594, "1899-12-30"},
      {3652059, "9999-12-31"}, {0, "0000-12-31"},      {-365, "0000-01-01"},
      {-366, "-0001-12-31"},   {730179, "2000-02-29"},
  };
  for (const auto& c : cases) {
    std::string text;
    PxAppendDate(text, c.Day);
    EXPECT_EQ(text, c.Text);
    const TPxCivilDate d = PxDateFromDayNumber(c.Day);
    EXPECT_EQ(PxDayNumberFromDate(d.Year, d.Month, d.Day), c.Day);
  }
  std::string t;
  PxAppendTime(t, 36000000);
  EXPECT_EQ(t, "10:00:00");
  t.clear();
  PxAppendTime(t, 3723004);
  EXPECT_EQ(t, "01:02:03.004");
}

TEST(Values, TimestampsAndTDateTime) {
  int64_t day, ms;
  ASSERT_TRUE(PxSplitTimestamp(63716202001000.0, day, ms));
  std::string text;
  PxAppendDate(text, day);
  text += ' ';
  PxAppendTime(text, ms);
  EXPECT_EQ(text, "2020-02-01 01:00:01");
  ASSERT_TRUE(PxSplitTimestamp(-31618800000.0, day, ms));
  EXPECT_EQ(day, -366);
  EXPECT_EQ(ms, 3600000);
  EXPECT_FALSE(PxSplitTimestamp(NAN, day, ms));
  EXPECT_FALSE(PxSplitTimestamp(1e300, day, ms));

  EXPECT_EQ(PxDelphiDateTime(730120, 0), 36526.0);
  EXPECT_EQ(PxDelphiDateTime(693594, 43200000), 0.5);
  EXPECT_EQ(PxDelphiDateTime(693593, 21600000), -1.25) << "the legacy rule before 1899-12-30";
}

TEST(Values, FloatTexts) {
  struct Case {
    double Value;
    const char* Repr;
    const char* Plain;
  } cases[] = {
      {40.0, "40.0", "40"},
      {-40.0, "-40.0", "-40"},
      {0.0, "0.0", "0"},
      {0.1, "0.1", "0.1"},
      {200.36, "200.36", "200.36"},
      {1.0 / 3, "0.3333333333333333", "0.3333333333333333"},
      {1e-4, "0.0001", "0.0001"},
      {1e-5, "1e-05", "1e-05"},
      {1.5e-7, "1.5e-07", "1.5e-07"},
      {1e15, "1000000000000000.0", "1000000000000000"},
      {1e16, "1e+16", "1e+16"},
      {-1.25e20, "-1.25e+20", "-1.25e+20"},
      {123456789012.5, "123456789012.5", "123456789012.5"},
      {1e300, "1e+300", "1e+300"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PxFormatFloatRepr(c.Value), c.Repr);
    EXPECT_EQ(PxFormatFloat(c.Value), c.Plain);
  }
}

}  // namespace
}  // namespace dk
