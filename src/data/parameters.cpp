#include "data/parameters.h"

#include <cctype>

#include "data/errors.h"
#include "sys/text.h"

namespace dk {

bool SkipSqlQuoteOrComment(std::string_view sql, size_t& i) {
  const char c = sql[i];
  size_t end;
  if (c == '\'' || c == '"' || c == '`' || c == '[') {
    end = sql.find(c == '[' ? ']' : c, i + 1);
    i = end == std::string_view::npos ? sql.size() : end + 1;
  } else if (sql.substr(i, 2) == "--") {
    end = sql.find('\n', i);
    i = end == std::string_view::npos ? sql.size() : end + 1;
  } else if (sql.substr(i, 2) == "/*") {
    end = sql.find("*/", i + 2);
    i = end == std::string_view::npos ? sql.size() : end + 2;
  } else {
    return false;
  }
  return true;
}

namespace {

// Calls `found(start, end, name)` for every parameter of `sql`: the colon at
// `start`, the name's end at `end`.
template <typename F>
void ScanParameters(std::string_view sql, F found) {
  size_t i = 0;
  auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  while (i < sql.size()) {
    char c = sql[i];
    if (SkipSqlQuoteOrComment(sql, i)) continue;
    if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
      i += 2;
    } else if (c == ':' && i + 1 < sql.size() &&
               (std::isalpha(static_cast<unsigned char>(sql[i + 1])) || sql[i + 1] == '_') &&
               (i == 0 || !isNameChar(sql[i - 1]))) {
      const size_t colon = i++;
      while (i < sql.size() && isNameChar(sql[i])) ++i;
      found(colon, i, sql.substr(colon + 1, i - colon - 1));
    } else {
      ++i;
    }
  }
}

int IndexOfName(const std::vector<std::string>& names, std::string_view name) {
  for (size_t k = 0; k < names.size(); ++k)
    if (AsciiUpper(names[k]) == AsciiUpper(name)) return static_cast<int>(k);
  return -1;
}

}  // namespace

std::vector<std::string> ParseParameterNames(std::string_view sql) {
  std::vector<std::string> names;
  ScanParameters(sql, [&](size_t, size_t, std::string_view name) {
    if (IndexOfName(names, name) < 0) names.emplace_back(name);
  });
  return names;
}

std::string NumberParameters(std::string_view sql, std::vector<std::string>& names) {
  names.clear();
  std::string out;
  size_t copied = 0;
  ScanParameters(sql, [&](size_t start, size_t end, std::string_view name) {
    int index = IndexOfName(names, name);
    if (index < 0) {
      index = static_cast<int>(names.size());
      names.emplace_back(name);
    }
    out.append(sql.substr(copied, start - copied));
    out += "$" + std::to_string(index + 1);
    copied = end;
  });
  out.append(sql.substr(copied));
  return out;
}

TParameter& TParameters::Items(int index) {
  if (index < 0 || index >= Count())
    throw EDatabaseError("List index out of bounds (" + std::to_string(index) + ")");
  return *FItems[static_cast<size_t>(index)];
}

TParameter* TParameters::FindParam(std::string_view name) {
  for (auto& p : FItems)
    if (AsciiUpper(p->Name) == AsciiUpper(name)) return p.get();
  return nullptr;
}

TParameter& TParameters::ParamByName(std::string_view name) {
  TParameter* p = FindParam(name);
  if (!p) throw EDatabaseError("Parameter '" + std::string(name) + "' not found");
  return *p;
}

TParameter& TParameters::CreateParameter(std::string name, TFieldType dataType,
                                         TParameterDirection direction, int size, TVariant value) {
  auto p = std::make_unique<TParameter>();
  p->Name = std::move(name);
  p->DataType = dataType;
  p->Direction = direction;
  p->Size = size;
  p->Value = std::move(value);
  FItems.push_back(std::move(p));
  return *FItems.back();
}

void TParameters::ParseSql(std::string_view sql) {
  std::vector<std::unique_ptr<TParameter>> old = std::move(FItems);
  FItems.clear();
  for (std::string& name : ParseParameterNames(sql)) {
    std::unique_ptr<TParameter> kept;
    for (auto& p : old)
      if (p && AsciiUpper(p->Name) == AsciiUpper(name)) {
        kept = std::move(p);
        break;
      }
    if (!kept) {
      kept = std::make_unique<TParameter>();
      kept->Name = std::move(name);
    }
    FItems.push_back(std::move(kept));
  }
}

TVariant TParameters::BindValue(const TParameter& parameter) {
  const TVariant& v = parameter.Value;
  bool dateType = parameter.DataType == ftDate || parameter.DataType == ftTime ||
                  parameter.DataType == ftDateTime || parameter.DataType == ftTimeStamp;
  if (dateType && v.Type() == TVarType::Text) {
    if (auto parsed = TDateTime::Parse(v.Text())) return TVariant(*parsed);
  }
  return v;
}

}  // namespace dk
