// The statements the Paradox engine runs.
//
// The conversion only ever asks a legacy directory for all rows of a table,
// in the order of the table or of some of its fields, and for its row count,
// so the engine understands exactly
//   SELECT * FROM T
//   SELECT * FROM T ORDER BY F1, F2, ...
//   SELECT COUNT(*) AS FRECORDCOUNT FROM T
// in any letter case, with any blanks or line breaks between the words and
// around the text, and an optional ";" at the end. T is a bare table name
// (letters, digits, "_", "$", "-"), optionally with the extension ".DB"; the
// fields are bare names of the same kind, without the extension. Anything else
// is refused with a message that quotes the statement.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dk {

struct TParadoxStatement {
  enum TKind { skSelectAll, skCount };
  TKind Kind = skSelectAll;
  std::string Table;                 // as written, without ".DB"
  std::vector<std::string> OrderBy;  // the fields after ORDER BY, as written
};

// Raises EParadoxError for any other statement.
TParadoxStatement ParseParadoxStatement(std::string_view sql);

}  // namespace dk
