#include "sys/string_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sys/text.h"

namespace dk {

TStringList::TStringList(std::initializer_list<std::string> items) : FItems(items) {}

void TStringList::SetString(int index, std::string value) {
  FItems.at(static_cast<size_t>(index)) = std::move(value);
}

int TStringList::Add(std::string s) {
  if (!FSorted) {
    FItems.push_back(std::move(s));
    return Count() - 1;
  }
  auto it = std::lower_bound(
      FItems.begin(), FItems.end(), s,
      [](const std::string& a, const std::string& b) { return AnsiCompareText(a, b) < 0; });
  if (it != FItems.end() && SameText(*it, s)) return static_cast<int>(it - FItems.begin());
  it = FItems.insert(it, std::move(s));
  return static_cast<int>(it - FItems.begin());
}

void TStringList::Insert(int index, std::string s) {
  if (index < 0 || index > Count())
    throw std::out_of_range("Listenindex überschreitet das Maximum");
  FItems.insert(FItems.begin() + index, std::move(s));
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count())
    throw std::out_of_range("Listenindex überschreitet das Maximum");
  FItems.erase(FItems.begin() + index);
}

void TStringList::AddStrings(const TStringList& other) {
  for (const auto& s : other.FItems) Add(s);
}

int TStringList::IndexOf(std::string_view s) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(FItems[static_cast<size_t>(i)], s)) return i;
  return -1;
}

void TStringList::SetSorted(bool sorted) {
  if (sorted == FSorted) return;
  FSorted = sorted;
  if (!sorted) return;
  std::vector<std::string> old;
  old.swap(FItems);
  for (auto& s : old) Add(std::move(s));
}

int TStringList::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = FItems[static_cast<size_t>(i)];
    const size_t eq = s.find('=');
    if (eq != std::string::npos && SameText(std::string_view(s).substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStringList::Names(int index) const {
  const std::string& s = (*this)[index];
  const size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& s = (*this)[index];
  const size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

std::string TStringList::Values(std::string_view name) const {
  const int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValue(std::string_view name, std::string_view value) {
  const int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line = std::string(name) + "=" + std::string(value);
  if (i >= 0)
    FItems[static_cast<size_t>(i)] = std::move(line);
  else
    Add(std::move(line));
}

std::string TStringList::Text() const {
  std::string r;
  for (const auto& s : FItems) {
    r += s;
    r += "\r\n";
  }
  return r;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
    ++i;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

void TStringList::SetText(std::string_view text) {
  FItems.clear();
  for (auto& line : SplitLines(text)) Add(std::move(line));
}

std::string TStringList::CommaText() const {
  std::string r;
  for (size_t i = 0; i < FItems.size(); ++i) {
    if (i > 0) r += ',';
    const std::string& s = FItems[i];
    const bool quote = s.empty() ? false : s.find_first_of(", \"") != std::string::npos;
    if (!quote) {
      r += s;
      continue;
    }
    r += '"';
    for (char c : s) {
      if (c == '"') r += '"';
      r += c;
    }
    r += '"';
  }
  return r;
}

void TStringList::SetCommaText(std::string_view text) {
  FItems.clear();
  size_t i = 0;
  const size_t n = text.size();
  auto skipSeparators = [&] {
    while (i < n && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  };
  skipSeparators();
  while (i < n) {
    std::string item;
    if (text[i] == '"') {
      ++i;
      while (i < n) {
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
    } else {
      while (i < n && text[i] != ',' && static_cast<unsigned char>(text[i]) > ' ')
        item += text[i++];
    }
    Add(std::move(item));
    skipSeparators();
    if (i < n && text[i] == ',') {
      ++i;
      skipSeparators();
      // A comma at the very end stands for one more, empty item.
      if (i >= n) Add(std::string());
    }
  }
}

void TStringList::LoadFromFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in)
    throw std::runtime_error("Die Datei \"" + fileName +
                             "\" kann nicht gelesen werden: " + std::strerror(errno));
  std::ostringstream buf;
  buf << in.rdbuf();
  SetText(DecodeLegacyTextFile(buf.str(), fileName));
}

void TStringList::SaveToFile(const std::string& fileName) const {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  if (!out)
    throw std::runtime_error("Die Datei \"" + fileName +
                             "\" kann nicht geschrieben werden: " + std::strerror(errno));
  const std::string text = Text();
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out)
    throw std::runtime_error("Die Datei \"" + fileName +
                             "\" kann nicht geschrieben werden: " + std::strerror(errno));
}

}  // namespace dk
