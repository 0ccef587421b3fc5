// A dataset over all rows of one table (or, as a detail, the rows that match
// the master's current row).
#pragma once

#include <string>

#include "data/dataset.h"

namespace dk {

class TTable : public TDataSet {
 public:
  TTable() = default;

  const std::string& TableName() const { return FTableName; }
  // Refused while the table is open.
  void SetTableName(std::string name);

 protected:
  TCommand BuildCommand() override;

 private:
  std::string FTableName;
};

}  // namespace dk
