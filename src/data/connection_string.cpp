#include "data/connection_string.h"

#include "sys/text.h"

namespace dk {

TConnectionString::TConnectionString(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    size_t eq = text.find('=', i);
    size_t semi = text.find(';', i);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      // A part without "=" carries no value; skip it.
      if (semi == std::string_view::npos) break;
      i = semi + 1;
      continue;
    }
    std::string key = Trim(text.substr(i, eq - i));
    i = eq + 1;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::string value;
    if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
      char q = text[i++];
      while (i < text.size()) {
        if (text[i] == q) {
          if (i + 1 < text.size() && text[i + 1] == q) {
            value += q;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value += text[i++];
      }
      size_t end = text.find(';', i);
      i = end == std::string_view::npos ? text.size() : end + 1;
    } else {
      size_t end = text.find(';', i);
      value =
          Trim(text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
      i = end == std::string_view::npos ? text.size() : end + 1;
    }
    if (!key.empty()) FItems.emplace_back(std::move(key), std::move(value));
  }
}

std::string TConnectionString::Value(std::string_view key) const {
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if (AsciiUpper(it->first) == AsciiUpper(key)) return it->second;
  return {};
}

bool TConnectionString::Has(std::string_view key) const {
  for (const auto& item : FItems)
    if (AsciiUpper(item.first) == AsciiUpper(key)) return true;
  return false;
}

}  // namespace dk
