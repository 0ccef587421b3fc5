// A fresh SQLite database file per test, reached through the layer.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "data/connection.h"
#include "support/temp_dir.h"

namespace dk::test {

inline std::string SqliteConnectionString(const std::string& file) {
  return "Provider=SQLite;Data Source=" + file;
}

inline std::string JetConnectionString(const std::string& file) {
  return "Provider=MSDataShape.1;Data Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file;
}

class TDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFile = FDir / "test.db";
    Conn.SetConnectionString(SqliteConnectionString(FFile));
    Conn.CreateDatabase();
  }

  // A second connection on the same file, as another program would have.
  std::unique_ptr<TConnection> OtherConnection() {
    auto other = std::make_unique<TConnection>();
    other->SetConnectionString(SqliteConnectionString(FFile));
    other->SetCommandTimeout(2);
    other->Open();
    return other;
  }

  TTempDir FDir;
  std::string FFile;
  TConnection Conn;
};

}  // namespace dk::test
