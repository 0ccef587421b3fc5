#include "sys/number_text.h"

#include <charconv>
#include <string>

#include "sys/text.h"

namespace dk {

std::optional<int64_t> ParseInteger(std::string_view text) {
  const std::string t = Trim(text);
  std::string_view s = t;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  int64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<double> ParseFloat(std::string_view text, TDecimalComma comma) {
  std::string t = Trim(text);
  if (t.empty()) return std::nullopt;
  if (comma == TDecimalComma::Accepted && t.find('.') == std::string::npos) {
    const size_t at = t.find(',');
    if (at != std::string::npos && t.find(',', at + 1) == std::string::npos) t[at] = '.';
  }
  std::string_view s = t;
  if (s.front() == '+') s.remove_prefix(1);
  double v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace dk
