#include "sys/number_text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace dk {
namespace {

TEST(NumberText, IntegersInDecimalOnly) {
  struct TCase {
    const char* text;
    std::optional<int64_t> value;
  } cases[] = {
      {"12", 12},
      {" -7 ", -7},
      {"+40", 40},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},  // out of range
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"+", std::nullopt},
      {"1.0", std::nullopt},
      {"1 2", std::nullopt},
      {"0x10", std::nullopt},
      {"12a", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text), c.value) << '"' << c.text << '"';
}

// The decimal comma is the one rule in which the two readings differ; every
// other text reads the same under both.
TEST(NumberText, FloatsWithAndWithoutTheDecimalComma) {
  struct TCase {
    const char* text;
    std::optional<double> rejected;  // TDecimalComma::Rejected
    std::optional<double> accepted;  // TDecimalComma::Accepted
  } cases[] = {
      {"3.5", 3.5, 3.5},
      {" -0.25 ", -0.25, -0.25},
      {"+1e3", 1000, 1000},
      {"40", 40, 40},
      {"3,5", std::nullopt, 3.5},
      {"-1,25", std::nullopt, -1.25},
      {"1,234.5", std::nullopt, std::nullopt},  // a "." makes the comma no separator
      {"1,2,3", std::nullopt, std::nullopt},    // two commas: no number
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"3.5 kg", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseFloat(c.text, TDecimalComma::Rejected), c.rejected) << '"' << c.text << '"';
    EXPECT_EQ(ParseFloat(c.text, TDecimalComma::Accepted), c.accepted) << '"' << c.text << '"';
  }
  EXPECT_TRUE(std::isinf(*ParseFloat("-inf", TDecimalComma::Rejected)));
}

}  // namespace
}  // namespace dk
