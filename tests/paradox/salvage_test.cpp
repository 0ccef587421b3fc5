// Damaged block chains of pxlib-written tables: the walk over every block
// header reports each fault with the counts, and a salvaged read returns
// exactly the rows whose blocks are sound, never the stale rows of blocks
// that left the chain.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <vector>

#include "paradox/query.h"
#include "paradox/table_file.h"
#include "px_writer.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

constexpr int kRows = 200;

// Where the rows of the intact table lie. pxlib fills the blocks one after
// the other and chains them in that order.
struct TLayout {
  std::string Path;
  int HeaderSize = 0;
  int BlockSize = 0;
  int RecordSize = 0;
  std::vector<int> Counts;  // records of block 1, 2, ...
  uint64_t Offset(int block) const {
    return static_cast<uint64_t>(HeaderSize) + static_cast<uint64_t>(block - 1) * BlockSize;
  }
  // The ids (1-based row numbers) of the rows of `block`.
  std::vector<int> Ids(int block) const {
    const int first = std::accumulate(Counts.begin(), Counts.begin() + (block - 1), 0) + 1;
    std::vector<int> ids(static_cast<size_t>(Counts[static_cast<size_t>(block - 1)]));
    std::iota(ids.begin(), ids.end(), first);
    return ids;
  }
  std::vector<int> IdsExcept(std::initializer_list<int> blocks) const {
    std::vector<int> ids;
    for (int b = 1; b <= static_cast<int>(Counts.size()); ++b)
      if (std::find(blocks.begin(), blocks.end(), b) == blocks.end())
        for (int id : Ids(b)) ids.push_back(id);
    return ids;
  }
};

int ReadU16(const std::string& path, uint64_t offset) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  unsigned char b[2] = {};
  f.read(reinterpret_cast<char*>(b), 2);
  return b[0] | (b[1] << 8);
}

void PatchU16(const std::string& path, uint64_t offset, int v) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.put(static_cast<char>(v & 0xFF));
  f.put(static_cast<char>((v >> 8) & 0xFF));
}

void PatchU32(const std::string& path, uint64_t offset, uint32_t v) {
  PatchU16(path, offset, static_cast<int>(v & 0xFFFF));
  PatchU16(path, offset + 2, static_cast<int>(v >> 16));
}

void Zero(const std::string& path, uint64_t offset, size_t n) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  const std::string zeros(n, '\0');
  f.write(zeros.data(), static_cast<std::streamsize>(n));
}

// Takes `block` out of the chain as a deletion of all its rows does: its
// neighbours are linked to each other and the header count shrinks. The
// block keeps its old records and its length.
void Unlink(const TLayout& l, int block) {
  const int prev = ReadU16(l.Path, l.Offset(block) + 2);
  const int next = ReadU16(l.Path, l.Offset(block));
  PatchU16(l.Path, l.Offset(prev), next);
  if (next != 0) PatchU16(l.Path, l.Offset(next) + 2, prev);
  PatchU32(l.Path, 0x06, static_cast<uint32_t>(kRows - l.Counts[static_cast<size_t>(block - 1)]));
}

TLayout WriteTable(const std::string& path) {
  {
    TPxTableWriter w(path, ParsePxFieldList("ID:I,TEXT:A60"));
    for (int id = 1; id <= kRows; ++id) {
      w.SetInteger(0, id);
      w.SetText(1, "Zeile " + std::to_string(id) + " mit Umlauten: äöü");
      w.Post();
    }
  }
  TLayout l;
  l.Path = path;
  l.RecordSize = ReadU16(path, 0x00);
  l.HeaderSize = ReadU16(path, 0x02);
  std::ifstream f(path, std::ios::binary);
  f.seekg(5);
  l.BlockSize = f.get() * 1024;
  const int blocks = ReadU16(path, 0x0C);
  for (int b = 1; b <= blocks; ++b) {
    const int add = static_cast<int16_t>(ReadU16(path, l.Offset(b) + 4));
    l.Counts.push_back(add / l.RecordSize + 1);
    EXPECT_EQ(ReadU16(path, l.Offset(b)), b == blocks ? 0 : b + 1);
    EXPECT_EQ(ReadU16(path, l.Offset(b) + 2), b - 1);
  }
  return l;
}

struct TSalvageCase {
  const char* Name;
  std::function<void(const TLayout&)> Harm;
  std::function<std::vector<int>(const TLayout&)> Salvaged;  // ids, in order
  uint32_t HeaderRows;                                       // 0: the table's row count
  const char* Fault;                                         // a word of the report
};

const TSalvageCase kCases[] = {
    {"ZeroedNextPointer", [](const TLayout& l) { PatchU16(l.Path, l.Offset(3), 0); },
     [](const TLayout& l) { return l.IdsExcept({}); }, 0, "endet bei Block 3"},
    {"NextPointerOutOfRange", [](const TLayout& l) { PatchU16(l.Path, l.Offset(2), 999); },
     [](const TLayout& l) { return l.IdsExcept({}); }, 0, "Block 999"},
    {"ZeroedDataBlock", [](const TLayout& l) { Zero(l.Path, l.Offset(3), l.BlockSize); },
     [](const TLayout& l) { return l.IdsExcept({3}); }, 0, "Vorgänger"},
    {"HeaderCountAboveTheChain", [](const TLayout& l) { PatchU32(l.Path, 0x06, kRows + 50); },
     [](const TLayout& l) { return l.IdsExcept({}); }, kRows + 50, "nennt 250"},
    {"FileCutInABlock",
     [](const TLayout& l) {
       fs::resize_file(l.Path, l.Offset(5) + 6 + 10 * static_cast<uint64_t>(l.RecordSize) + 7);
     },
     [](const TLayout& l) {
       std::vector<int> ids = l.IdsExcept({5, 6, 7});
       const std::vector<int> cut = l.Ids(5);
       ids.insert(ids.end(), cut.begin(), cut.begin() + 10);
       return ids;
     },
     0, "abgeschnitten"},
    {"StaleBlockOnTheFreeList",
     [](const TLayout& l) {
       // Block 3 freed with its old rows still in it, then the chain broken
       // behind block 5: the rows of 6 and 7 come back, those of 3 must not.
       Unlink(l, 3);
       PatchU16(l.Path, l.Offset(3), 0);
       PatchU16(l.Path, 0x4D, 3);
       PatchU16(l.Path, l.Offset(5), 0);
     },
     [](const TLayout& l) { return l.IdsExcept({3}); }, kRows - 31, "endet bei Block 5"},
    {"StaleBlockWithoutPredecessor",
     [](const TLayout& l) {
       Unlink(l, 3);
       PatchU16(l.Path, l.Offset(3), 0);
       PatchU16(l.Path, l.Offset(3) + 2, 0);
       PatchU16(l.Path, l.Offset(5), 0);
     },
     [](const TLayout& l) { return l.IdsExcept({3}); }, kRows - 31, "endet bei Block 5"},
    {"StaleEmptiedBlock",
     [](const TLayout& l) {
       // An emptied block off the chain keeps its predecessor but declares
       // no rows.
       Unlink(l, 3);
       PatchU16(l.Path, l.Offset(3) + 4, 0x10000 - l.RecordSize);
       PatchU16(l.Path, l.Offset(5), 0);
     },
     [](const TLayout& l) { return l.IdsExcept({3}); }, kRows - 31, "endet bei Block 5"},
};

class Salvage : public ::testing::TestWithParam<TSalvageCase> {};

TEST_P(Salvage, ReportsTheFaultAndReadsExactlyTheSoundBlocks) {
  const TSalvageCase& c = GetParam();
  test::TTempDir dir;
  const TLayout l = WriteTable(dir / "T.DB");
  ASSERT_EQ(l.Counts.size(), 7u);  // 31 records of 64 bytes in a block of 2 KiB
  ASSERT_EQ(l.Counts[2], 31);
  {
    TParadoxTableFile intact(l.Path);
    EXPECT_FALSE(intact.Inspect().Damaged()) << intact.Inspect().Text();
  }
  c.Harm(l);

  TParadoxTableFile table(l.Path);
  const TPxChainReport report = table.Inspect();
  EXPECT_TRUE(report.Damaged());
  const uint32_t headerRows = c.HeaderRows ? c.HeaderRows : kRows;
  EXPECT_EQ(report.HeaderRows, headerRows);
  EXPECT_NE(
      report.Text().find("der Tabellenkopf nennt " + std::to_string(headerRows) +
                         " Datensätze, die Blockkette enthält " + std::to_string(report.ChainRows)),
      std::string::npos)
      << report.Text();
  EXPECT_NE(report.Text().find(c.Fault), std::string::npos) << report.Text();

  const std::vector<int> expected = c.Salvaged(l);
  EXPECT_EQ(report.SalvageRows, expected.size());
  TParadoxQuery q;
  q.SetDatabaseName(dir.Path());
  q.SetSalvage(true);
  q.SetSQL("SELECT * FROM T");
  q.Open();
  EXPECT_EQ(q.RecordCount(), static_cast<int64_t>(expected.size()));
  ASSERT_EQ(q.Warnings().size(), 1u);
  EXPECT_NE(q.Warnings()[0].find(l.Path), std::string::npos);
  std::vector<int> ids;
  for (; !q.Eof(); q.Next()) {
    ids.push_back(q.FieldByName("ID").AsInteger());
    EXPECT_EQ(q.FieldByName("TEXT").AsString(),
              "Zeile " + std::to_string(ids.back()) + " mit Umlauten: äöü");
  }
  EXPECT_EQ(ids, expected);

  // Sorted, the same rows.
  q.Close();
  q.SetSQL("SELECT * FROM T ORDER BY TEXT");
  q.Open();
  int64_t sorted = 0;
  for (; !q.Eof(); q.Next()) ++sorted;
  EXPECT_EQ(sorted, static_cast<int64_t>(expected.size()));
}

INSTANTIATE_TEST_SUITE_P(Chains, Salvage, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Salvage, AnIntactTableReadsAlikeEitherWay) {
  test::TTempDir dir;
  WriteTable(dir / "T.DB");
  for (bool salvage : {false, true}) {
    TParadoxQuery q;
    q.SetDatabaseName(dir.Path());
    q.SetSalvage(salvage);
    q.SetSQL("SELECT * FROM T");
    q.Open();
    EXPECT_TRUE(q.Warnings().empty());
    int expected = 1;
    for (; !q.Eof(); q.Next()) EXPECT_EQ(q.FieldByName("ID").AsInteger(), expected++);
    EXPECT_EQ(expected, kRows + 1);
  }
}

}  // namespace
}  // namespace dk
