#include "data/query.h"

#include "sys/text.h"

namespace dk {

TQuery::~TQuery() {
  FExecStatement.reset();
}

std::string TQuery::SQLText() const {
  std::string text;
  for (int i = 0; i < FSQL.Count(); ++i) {
    if (i) text += "\r\n";
    text += FSQL[i];
  }
  return text;
}

void TQuery::SetSQLText(std::string_view text) {
  FSQL.SetText(text);
}

void TQuery::SyncParameters() {
  std::string text = SQLText();
  if (FParsed && text == FParsedSql) return;
  if (FParamCheck) FParameters.ParseSql(text);
  FParsedSql = std::move(text);
  FParsed = true;
}

TParameters& TQuery::Parameters() {
  SyncParameters();
  return FParameters;
}

TDataSet::TCommand TQuery::BuildCommand() {
  SyncParameters();
  TCommand command;
  command.Sql = FParsedSql;
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  for (int i = 0; i < FParameters.Count(); ++i) {
    const TParameter& p = FParameters.Items(i);
    TVariant value = TParameters::BindValue(p);
    // A detail query takes the values of parameters named after master
    // columns from the master's current row.
    if (master && master->Active())
      if (TField* f = master->FindField(p.Name)) value = f->AsVariant();
    command.Params.emplace_back(p.Name, std::move(value));
  }
  return command;
}

std::vector<std::pair<std::string, std::string>> TQuery::MasterLinks() const {
  auto links = TDataSet::MasterLinks();
  if (!links.empty()) return links;
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!master) return links;
  for (const std::string& name : ParseParameterNames(SQLText()))
    if (master->FindField(name)) links.emplace_back(name, name);
  return links;
}

void TQuery::ReleaseStatements() {
  FExecStatement.reset();
  TDataSet::ReleaseStatements();
}

int64_t TQuery::ExecSQL() {
  TConnection& conn = CheckConnection();
  TCommand command = BuildCommand();
  if (!FExecStatement || FExecStatement->Sql() != command.Sql) {
    FExecStatement.reset();
    FExecStatement = conn.Prepare(command.Sql);
  }
  TProviderStatement& statement = *FExecStatement;
  statement.Reset();
  try {
    for (int p = 0; p < statement.ParamCount(); ++p) {
      std::string name = statement.ParamName(p);
      TVariant value;
      bool found = false;
      for (const auto& param : command.Params)
        if (!name.empty() && AsciiUpper(param.first) == AsciiUpper(name)) {
          value = param.second;
          found = true;
          break;
        }
      if (!found && name.empty() && static_cast<size_t>(p) < command.Params.size())
        value = command.Params[static_cast<size_t>(p)].second;
      statement.Bind(p, value);
    }
    if (statement.ReturnsRows()) {
      statement.Step();
      statement.Reset();
      return 0;
    }
  } catch (const EDatabaseError& e) {
    statement.Reset();
    conn.RecordError(e);
    throw;
  }
  return conn.RunWrite(statement, FDeferrable);
}

}  // namespace dk
