#include "paradox/statement.h"

#include <cctype>
#include <vector>

#include "paradox/paradox_error.h"
#include "sys/text.h"

namespace dk {

namespace {

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '-' ||
         c == '.';
}

// Splits into words, names and the punctuation "*", "(", ")", ";", ",".
bool Tokenize(std::string_view sql, std::vector<std::string>& tokens) {
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '*' || c == '(' || c == ')' || c == ';' || c == ',') {
      tokens.emplace_back(1, c);
      ++i;
    } else if (IsNameChar(c)) {
      const size_t start = i;
      while (i < sql.size() && IsNameChar(sql[i])) ++i;
      tokens.emplace_back(sql.substr(start, i - start));
    } else {
      return false;
    }
  }
  return true;
}

bool ValidTableName(std::string& name) {
  if (name.size() > 3 && AsciiUpper(name.substr(name.size() - 3)) == ".DB")
    name.resize(name.size() - 3);
  if (name.empty()) return false;
  for (char c : name)
    if (c == '.') return false;
  return true;
}

// The tokens from `at` on: nothing, or ORDER BY and a list of field names.
bool OrderFields(const std::vector<std::string>& t, size_t at, std::vector<std::string>& fields) {
  if (at == t.size()) return true;
  if (t.size() < at + 3 || AsciiUpper(t[at]) != "ORDER" || AsciiUpper(t[at + 1]) != "BY")
    return false;
  for (size_t i = at + 2; i < t.size(); i += 2) {
    const std::string& name = t[i];
    if (name == "*" || name == "(" || name == ")" || name == ";" || name == "," ||
        name.find('.') != std::string::npos)
      return false;
    fields.push_back(name);
    if (i + 1 < t.size() && t[i + 1] != ",") return false;
    if (i + 1 == t.size() - 1) return false;  // a trailing comma
  }
  return true;
}

}  // namespace

TParadoxStatement ParseParadoxStatement(std::string_view sql) {
  std::vector<std::string> t;
  const bool ok = Tokenize(sql, t);
  if (ok && !t.empty() && t.back() == ";") t.pop_back();
  auto word = [&](size_t i, const char* w) { return i < t.size() && AsciiUpper(t[i]) == w; };
  TParadoxStatement st;
  if (ok && t.size() >= 4 && word(0, "SELECT") && t[1] == "*" && word(2, "FROM") &&
      OrderFields(t, 4, st.OrderBy)) {
    st.Kind = TParadoxStatement::skSelectAll;
    st.Table = t[3];
  } else if (ok && t.size() == 9 && word(0, "SELECT") && word(1, "COUNT") && t[2] == "(" &&
             t[3] == "*" && t[4] == ")" && word(5, "AS") && word(6, "FRECORDCOUNT") &&
             word(7, "FROM")) {
    st.Kind = TParadoxStatement::skCount;
    st.Table = t[8];
  } else {
    throw EParadoxError("Paradox: nicht unterstützte Anweisung \"" + std::string(Trim(sql)) +
                        "\" (möglich sind nur \"SELECT * FROM Tabelle [ORDER BY Feld, ...]\" "
                        "und \"SELECT COUNT(*) AS FRECORDCOUNT FROM Tabelle\")");
  }
  if (!ValidTableName(st.Table))
    throw EParadoxError("Paradox: ungültiger Tabellenname \"" + st.Table + "\" in \"" +
                        std::string(Trim(sql)) + "\"");
  return st;
}

}  // namespace dk
