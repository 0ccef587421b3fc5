// Named parameters of a query: ":NAME" in the SQL text, bound by the provider.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sys/field_type.h"
#include "sys/variant.h"

namespace dk {

enum TParameterDirection { pdUnknown, pdInput, pdOutput, pdInputOutput, pdReturnValue };

struct TParameter {
  std::string Name;
  TFieldType DataType = ftUnknown;
  TParameterDirection Direction = pdInput;
  int Size = 0;
  TVariant Value;
};

class TParameters {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TParameter& Items(int index);
  // Fails with "Parameter 'X' not found" for a name the SQL text lacks.
  TParameter& ParamByName(std::string_view name);
  TParameter* FindParam(std::string_view name);
  TParameter& CreateParameter(std::string name, TFieldType dataType,
                              TParameterDirection direction = pdInput, int size = 0,
                              TVariant value = {});
  void Clear() { FItems.clear(); }

  // Rebuilds the list from the names in `sql`; parameters that keep their
  // name keep their type and value.
  void ParseSql(std::string_view sql);

  // The value to bind: a text given for a date-time parameter is read as a
  // date-time, as the provider expects one.
  static TVariant BindValue(const TParameter& parameter);

 private:
  std::vector<std::unique_ptr<TParameter>> FItems;
};

// The parameter names of an SQL text in order of first appearance, each once
// (compared without regard to case): a colon followed by a letter or "_",
// outside quoted texts, quoted names and comments, and not part of "::".
std::vector<std::string> ParseParameterNames(std::string_view sql);

// `sql` with each parameter replaced by "$n", n counting from 1 in the order
// of ParseParameterNames (a name used twice is one number), for engines that
// number their parameters; `names` receives the names in that order.
std::string NumberParameters(std::string_view sql, std::vector<std::string>& names);

// When a quoted text, quoted name or comment starts at `i` in `sql`, moves
// `i` past it and returns true. Scanners of SQL text use it so that nothing
// inside quotes or comments counts as a parameter or a word.
bool SkipSqlQuoteOrComment(std::string_view sql, size_t& i);

}  // namespace dk
