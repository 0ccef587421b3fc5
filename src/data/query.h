// A dataset over an SQL text with named parameters, which can also run
// statements that return no rows.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "data/dataset.h"
#include "data/parameters.h"
#include "sys/string_list.h"

namespace dk {

class TQuery : public TDataSet {
 public:
  TQuery() = default;
  ~TQuery() override;

  // The SQL text, line by line; the lines are joined with line breaks.
  TStringList& SQL() { return FSQL; }
  const TStringList& SQL() const { return FSQL; }
  std::string SQLText() const;
  void SetSQLText(std::string_view text);

  // The parameters named in the current SQL text.
  TParameters& Parameters();
  bool ParamCheck() const { return FParamCheck; }
  void SetParamCheck(bool value) { FParamCheck = value; }

  // Runs the SQL text as a statement (a row-returning statement runs and its
  // rows are discarded); returns the number of rows it changed. Opens the
  // connection when it is closed.
  int64_t ExecSQL();
  // Lets ExecSQL leave a write to an engine that sends the writes of a bulk
  // batch together (see TConnection::SetDeferredFailureHandler); it then
  // counts as one row, whatever the statement will change.
  void SetDeferrable(bool value) { FDeferrable = value; }

 protected:
  TCommand BuildCommand() override;
  std::vector<std::pair<std::string, std::string>> MasterLinks() const override;
  void ReleaseStatements() override;

 private:
  void SyncParameters();

  TStringList FSQL;
  TParameters FParameters;
  std::string FParsedSql;
  bool FParsed = false;
  bool FParamCheck = true;
  bool FDeferrable = false;
  std::unique_ptr<TProviderStatement> FExecStatement;
};

}  // namespace dk
