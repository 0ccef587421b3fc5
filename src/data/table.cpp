#include "data/table.h"

#include "sys/text.h"

namespace dk {

void TTable::SetTableName(std::string name) {
  if (name == FTableName) return;
  CheckInactive();
  FTableName = std::move(name);
}

TDataSet::TCommand TTable::BuildCommand() {
  if (Trim(FTableName).empty()) throw EDatabaseError("Missing TableName property");
  TConnection& conn = *Connection();
  TCommand command;
  command.Sql = "SELECT * FROM " + conn.QuoteIdentifier(Trim(FTableName));
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  auto links = MasterLinks();
  if (master && !links.empty()) {
    // Without a current master row the detail shows nothing: a null value
    // equals no column value.
    std::string where;
    int n = 0;
    for (const auto& [detail, masterName] : links) {
      std::string param = "dk_master_" + std::to_string(++n);
      where += (n > 1 ? " AND " : " WHERE ") + conn.QuoteIdentifier(detail) + " = :" + param;
      TVariant value;
      if (master->Active() && !master->IsEmpty())
        if (TField* f = master->FindField(masterName)) value = f->AsVariant();
      command.Params.emplace_back(param, std::move(value));
    }
    command.Sql += where;
  }
  if (!conn.Engine().ReadsTablesInKeyOrder()) {
    const TTableInfo info = conn.TableInfo(Trim(FTableName));
    std::vector<std::string> key;
    for (const TTableColumn& column : info.Columns)
      if (column.KeyPosition > 0) {
        if (key.size() < static_cast<size_t>(column.KeyPosition))
          key.resize(static_cast<size_t>(column.KeyPosition));
        key[static_cast<size_t>(column.KeyPosition - 1)] = conn.QuoteIdentifier(column.Name);
      }
    std::string order;
    for (const std::string& column : key)
      if (!column.empty()) order += (order.empty() ? " ORDER BY " : ", ") + column;
    command.Sql += order;
  }
  return command;
}

}  // namespace dk
