// A fresh database per test, reached through the layer, on the engine of the
// test's provider context.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "data/connection.h"
#include "provider_context.h"
#include "support/temp_dir.h"

namespace dk::test {

inline std::string SqliteConnectionString(const std::string& file) {
  return "Provider=SQLite;Data Source=" + file;
}

inline std::string JetConnectionString(const std::string& file) {
  return "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file;
}

class TDataTest : public ::testing::TestWithParam<const TProviderContext*> {
 protected:
  void SetUp() override {
    if (const std::string missing = Ctx().Unavailable(); !missing.empty()) {
      if (Ctx().Required()) FAIL() << missing;
      GTEST_SKIP() << missing;
    }
    Ctx().CreateDatabase(Conn, FDir);
  }

  const TProviderContext& Ctx() const { return *GetParam(); }
  const TProviderCapabilities& Can() const { return Ctx().Capabilities(); }

  // A second connection on the same database, as another program would have.
  std::unique_ptr<TConnection> OtherConnection(const std::string& options = "") {
    auto other = std::make_unique<TConnection>();
    other->SetConnectionString(Ctx().ConnectionString(FDir) + options);
    other->SetCommandTimeout(Ctx().BusyTimeout());
    other->Open();
    return other;
  }

  TTempDir FDir;
  TConnection Conn;
};

}  // namespace dk::test
