// OLE DB style connection strings: "Key=Value;Key=Value", keys compared
// without regard to case, values optionally enclosed in double or single
// quotes (a doubled quote inside stands for one).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dk {

class TConnectionString {
 public:
  TConnectionString() = default;
  explicit TConnectionString(std::string_view text);

  // The value of `key` (the last one when the key repeats), or empty.
  std::string Value(std::string_view key) const;
  bool Has(std::string_view key) const;
  const std::vector<std::pair<std::string, std::string>>& Items() const { return FItems; }

 private:
  std::vector<std::pair<std::string, std::string>> FItems;
};

}  // namespace dk
