// An ordered list of texts, the workhorse of the log list, pick lists, layout
// files and the configuration's lists.
//
// Files are read line by line accepting CR LF, LF and CR and decoded as legacy
// text (UTF-8 when valid, else Windows-1252); they are written as UTF-8 with
// CR LF after every line. Name=Value access splits each line at its first "=".
// In sorted mode the list keeps its items in order ignoring case and, like the
// system's sorted lists with duplicates ignored, refuses a second item that
// equals an existing one ignoring case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dk {

class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> items);

  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }
  const std::string& operator[](int index) const { return FItems.at(static_cast<size_t>(index)); }
  const std::string& Strings(int index) const { return (*this)[index]; }
  void SetString(int index, std::string value);
  const std::vector<std::string>& Items() const { return FItems; }

  // Appends (or, when sorted, inserts in order) and returns the index; in
  // sorted mode a duplicate is not added and the existing index is returned.
  int Add(std::string s);
  void Insert(int index, std::string s);
  void Delete(int index);
  void Clear() { FItems.clear(); }
  void AddStrings(const TStringList& other);

  // Index of the first item equal to `s` ignoring case, or -1.
  int IndexOf(std::string_view s) const;

  bool Sorted() const { return FSorted; }
  // Turning sorting on sorts the items and drops duplicates ignoring case.
  void SetSorted(bool sorted);

  // Name=Value access. Names compare ignoring case.
  int IndexOfName(std::string_view name) const;
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  std::string Values(std::string_view name) const;
  // Sets the value of `name`; an empty value removes the line, as the system's
  // lists do.
  void SetValue(std::string_view name, std::string_view value);

  // All items, each followed by CR LF.
  std::string Text() const;
  // Replaces the items by the lines of `text` (CR LF, LF or CR).
  void SetText(std::string_view text);

  // Comma text: items separated by commas; an item holding a comma, blank or
  // double quote is quoted, inner quotes doubled.
  std::string CommaText() const;
  // Splits at commas and blanks outside double quotes.
  void SetCommaText(std::string_view text);

  // Reads a text file as DecodeLegacyTextFile decodes it (NUL bytes dropped
  // and reported). Throws std::runtime_error naming the file when it cannot
  // be read.
  void LoadFromFile(const std::string& fileName);
  // Throws std::runtime_error naming the file when it cannot be written.
  void SaveToFile(const std::string& fileName) const;

  bool operator==(const TStringList& other) const { return FItems == other.FItems; }

 private:
  std::vector<std::string> FItems;
  bool FSorted = false;
};

// Splits text into lines at CR LF, LF or CR; a final line end adds no line.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace dk
