// Damaged tables: copies of real samples, cut or overwritten on purpose. Every
// fault must surface as EParadoxError naming the file and the fault, never as
// a crash, a hang, a read past the end or silently lost rows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "paradox/query.h"
#include "paradox/table_file.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

std::string Samples(const std::string& sub) {
  return test::SharedDir() + "/paradox-samples/" + sub;
}

// Copies table `name` of sample directory `from` with its .MB as T.DB / T.MB.
void CopyTable(const std::string& from, const std::string& name, const std::string& toDir) {
  for (const auto& e : fs::directory_iterator(Samples(from))) {
    const std::string file = e.path().filename().string();
    const std::string stem = e.path().stem().string();
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (stem == name && (ext == ".DB" || ext == ".MB"))
      fs::copy_file(e.path(), toDir + "/T" + ext, fs::copy_options::overwrite_existing);
  }
}

void Patch(const std::string& path, uint64_t offset, std::initializer_list<int> bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  for (int b : bytes) f.put(static_cast<char>(b));
}
void PatchU16(const std::string& path, uint64_t offset, int v) {
  Patch(path, offset, {v & 0xFF, (v >> 8) & 0xFF});
}
void PatchU32(const std::string& path, uint64_t offset, uint32_t v) {
  Patch(path, offset,
        {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
         static_cast<int>((v >> 16) & 0xFF), static_cast<int>(v >> 24)});
}

// Opens T in `dir` and reads every value of every row; returns the row count.
int64_t ReadAll(const std::string& dir, const std::string& table = "T") {
  TParadoxQuery q;
  q.SetDatabaseName(dir);
  q.SetSQL("SELECT * FROM " + table);
  q.Open();
  int64_t rows = 0;
  for (; !q.Eof(); q.Next(), ++rows)
    for (int i = 0; i < q.FieldCount(); ++i) {
      q.Fields(i).AsString();
      q.Fields(i).AsBytes();
    }
  return rows;
}

int HeaderSize(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  unsigned char b[4] = {};
  f.read(reinterpret_cast<char*>(b), 4);
  return b[2] | (b[3] << 8);
}

struct TDamage {
  const char* Name;
  const char* Dir;    // sample directory
  const char* Table;  // sample table
  std::function<void(const std::string& db, const std::string& mb)> Harm;
  const char* Fault;  // a word of the expected message
  bool InMb;          // the message names the .MB rather than the .DB
};

const TDamage kDamages[] = {
    {"CutInTheData", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { fs::resize_file(db, 2048 + 3000); },
     "abgeschnitten", false},
    {"CutInTheHeader", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { fs::resize_file(db, 60); }, "zu kurz", false},
    {"HeaderSizeBeyondFile", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 0x02, 0xFFFF); }, "Kopfgröße",
     false},
    {"IndexFileNamedDb", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { Patch(db, 0x04, {1}); }, "Indexdatei", false},
    {"UnknownVersion", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { Patch(db, 0x39, {0x20}); }, "Version", false},
    {"BlockSizeZero", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { Patch(db, 0x05, {0}); }, "Blockgröße", false},
    {"BlockSizeTooBig", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { Patch(db, 0x05, {33}); }, "Blockgröße", false},
    {"RecordSizeAgainstFields", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 0x00, 72); }, "Datensatzlänge",
     false},
    {"NoFields", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 0x21, 0); }, "Feldanzahl", false},
    {"MoreFieldsThanDescribed", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 0x21, 200); }, "Tabellenkopf",
     false},
    {"FieldOfUnknownTypeAndNoSize", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) {
       Patch(db, 0x78, {0x42, 0});
     },
     "Typ", false},
    {"FirstBlockBeyondBlocks", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 0x0E, 9); }, "Tabellenkopf",
     false},
    {"NextBlockOutOfRange", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 2048, 999); }, "Block 999",
     false},
    {"ChainLoop", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 2048 + 2 * 2048, 1); },
     "Schleife", false},
    {"RecordOffsetNotWholeRecords", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 2048 + 4, 71 * 3 + 5); },
     "Datenlänge", false},
    {"RecordOffsetBeyondBlock", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 2048 + 4, 71 * 40); },
     "Datenlänge", false},
    {"RecordOffsetBelowEmpty", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU16(db, 2048 + 4, 0x10000 - 142); },
     "Datenlänge", false},
    {"BlocksBeyondTheFile", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) {
       // The header claims more blocks than the file holds and the chain
       // runs into them.
       PatchU16(db, 0x0C, 40);
       PatchU16(db, 2048 + 7 * 2048, 30);
     },
     "abgeschnitten", false},
    {"EncryptedLevel7", "paradoxdriver/db", "ORDERS",
     [](const std::string& db, const std::string&) { PatchU32(db, 0x5C, 0x0A25E09A); },
     "verschlüsselt", false},
    {"EncryptedLevel3", "paradoxdriver/mtdemo", "AMOUNT",
     [](const std::string& db, const std::string&) { PatchU32(db, 0x25, 0x0A25E09A); },
     "verschlüsselt", false},
    {"FieldNamesBeyondHeader", "paradoxdriver/mtdemo", "AMOUNT",
     [](const std::string& db, const std::string&) { PatchU16(db, 0x02, HeaderSize(db) - 4); },
     "Feldnamen", false},
    {"BlobPointerOutOfRange", "paradoxdriver/fields", "memo",
     [](const std::string& db, const std::string&) {
       // memo.db: Id (+, 4 bytes), then the memo M250 with its pointer at 240.
       PatchU32(db, 2048 + 6 + 4 + 240, 0x7FFF003F);
     },
     "außerhalb", true},
    {"BlobPointerToTheHeaderBlock", "paradoxdriver/fields", "memo",
     [](const std::string& db, const std::string&) { PatchU32(db, 2048 + 6 + 4 + 240, 0x3F); },
     "Blob-Zeiger", true},
    {"BlobLengthAgainstSlot", "paradoxdriver/fields", "memo",
     [](const std::string& db, const std::string&) { PatchU32(db, 2048 + 6 + 4 + 244, 556); },
     "Blob-Länge", true},
    {"BlobSlotIndexOutOfRange", "paradoxdriver/fields", "memo",
     [](const std::string& db, const std::string&) { Patch(db, 2048 + 6 + 4 + 240, {0x40}); },
     "Eintrag", true},
    {"BlobFileCut", "paradoxdriver/fields", "graphic",
     [](const std::string&, const std::string& mb) {
       fs::resize_file(mb, fs::file_size(mb) - 5000);
     },
     "Dateiende", true},
    {"BlobFileMissing", "paradoxdriver/fields", "memo",
     [](const std::string&, const std::string& mb) { fs::remove(mb); }, "T.MB", false},
    {"BlobFileWithoutHeaderBlock", "paradoxdriver/fields", "memo",
     [](const std::string&, const std::string& mb) { Patch(mb, 0, {0x5A}); },
     "keine Paradox-Blob-Datei", true},
    {"BlobFileEmpty", "paradoxdriver/fields", "memo",
     [](const std::string&, const std::string& mb) { fs::resize_file(mb, 0); }, "leer", true},
};

class Damage : public ::testing::TestWithParam<TDamage> {};

TEST_P(Damage, IsReportedWithFileAndFault) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  const TDamage& d = GetParam();
  test::TTempDir dir;
  CopyTable(d.Dir, d.Table, dir.Path());
  const std::string db = dir / "T.DB";
  const std::string mb = dir / "T.MB";
  ReadAll(dir.Path());  // the undamaged copy reads
  d.Harm(db, mb);
  try {
    ReadAll(dir.Path());
    FAIL() << "the damage went unnoticed";
  } catch (const EParadoxError& e) {
    const std::string msg = e.what();
    EXPECT_NE(msg.find(d.InMb ? mb : db), std::string::npos) << msg;
    EXPECT_NE(msg.find(d.Fault), std::string::npos) << msg;
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, Damage, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Damage, NotATable) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  test::TTempDir dir;
  fs::copy_file(Samples("onyx-jtech/db/ZTrackerSL.PX"), dir / "LOG.DB");
  test::WriteFile(dir / "EMPTY.DB", "");
  fs::copy_file(Samples("paradoxdriver/db/ORDERS.PX"), dir / "INDEX.DB");
  const std::pair<const char*, const char*> cases[] = {
      {"LOG", "keine Paradox-Tabelle"},
      {"EMPTY", "zu kurz"},
      {"INDEX", "Indexdatei"},
  };
  for (const auto& [table, fault] : cases) {
    try {
      ReadAll(dir.Path(), table);
      ADD_FAILURE() << table << " was read as a table";
    } catch (const EParadoxError& e) {
      EXPECT_NE(std::string(e.what()).find(dir / (std::string(table) + ".DB")), std::string::npos)
          << e.what();
      EXPECT_NE(std::string(e.what()).find(fault), std::string::npos) << e.what();
    }
  }
}

TEST(Damage, HeaderCountDifferingFromTheChainIsAWarning) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  // The rows are where the chain says; a stale count in the header must not
  // hide or invent rows, but it is worth a note.
  test::TTempDir dir;
  CopyTable("paradoxdriver/db", "ORDERS", dir.Path());
  PatchU32(dir / "T.DB", 0x06, 300);
  TParadoxQuery q;
  q.SetDatabaseName(dir.Path());
  q.SetSQL("SELECT * FROM T");
  q.Open();
  EXPECT_EQ(q.RecordCount(), 224);
  ASSERT_EQ(q.Warnings().size(), 1u);
  EXPECT_NE(q.Warnings()[0].find("300"), std::string::npos) << q.Warnings()[0];
  EXPECT_EQ(ReadAll(dir.Path()), 224);
}

TEST(Damage, EmptyLastBlockKeepsTheLastRowCurrent) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  // ORDERS has 8 blocks in the chain 1..8; emptying the last one leaves the
  // rows of block 7 as the end, and the cursor must stay on the last of them.
  test::TTempDir dir;
  CopyTable("paradoxdriver/db", "ORDERS", dir.Path());
  PatchU16(dir / "T.DB", 2048 + 7 * 2048 + 4, 0x10000 - 71);
  TParadoxQuery q;
  q.SetDatabaseName(dir.Path());
  q.SetSQL("SELECT * FROM T");
  q.Open();
  const int64_t rows = q.RecordCount();
  EXPECT_LT(rows, 224);
  std::string last;
  int64_t n = 0;
  for (; !q.Eof(); q.Next(), ++n) last = q.Fields(0).AsString();
  EXPECT_EQ(n, rows);
  EXPECT_EQ(q.Fields(0).AsString(), last);
  EXPECT_EQ(q.Warnings().size(), 1u) << "the header still counts 224";
}

// A .MB that is missing, empty or without its header block costs only the
// values stored in it: the table opens (with a warning for a .MB that is
// there but unusable), and the rows and their other values read.
TEST(Damage, UnusableBlobFileOnlyMattersForValuesBeyondTheLeader) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  const struct {
    const char* Name;
    void (*Harm)(const std::string& mb);
    const char* Fault;
    size_t Warnings;
  } cases[] = {
      {"missing", [](const std::string& mb) { fs::remove(mb); }, "T.MB, und die fehlt", 0},
      {"empty", [](const std::string& mb) { fs::resize_file(mb, 0); },
       "T.MB: die Blob-Datei ist leer", 1},
      {"headerless", [](const std::string& mb) { Patch(mb, 0, {0x5A}); },
       "T.MB: keine Paradox-Blob-Datei", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TTempDir dir;
    CopyTable("pxlib", "TypSammlung", dir.Path());
    c.Harm(dir / "T.MB");
    TParadoxQuery q;
    q.SetDatabaseName(dir.Path());
    q.SetSQL("SELECT * FROM T");
    q.Open();
    EXPECT_EQ(q.Warnings().size(), c.Warnings);
    EXPECT_EQ(q.FieldByName("Memo").AsString(), "") << "a NULL memo needs no .MB";
    q.Next();
    q.Next();
    EXPECT_TRUE(q.FieldByName("Memo").IsNull() == false);
    try {
      q.FieldByName("Memo").AsString();
      ADD_FAILURE() << "the memo read";
    } catch (const EParadoxError& e) {
      EXPECT_NE(std::string(e.what()).find(c.Fault), std::string::npos) << e.what();
    }
    EXPECT_EQ(q.FieldByName("Alpha").AsString(), "Fünfter Datensatz") << "the row itself reads";
  }
}

// Random damage: bytes of the header, the blocks and the .MB overwritten, and
// files cut at random lengths. Reading must end in a value or EParadoxError.
TEST(Damage, RandomBytesNeverCrash) {
  DK_SKIP_WITHOUT_SHARED_SAMPLES();
  const std::pair<const char*, const char*> tables[] = {
      {"paradoxdriver/mtdemo", "KRENTAL"},  // level 3.0, unaligned header, 1 KiB blocks
      {"pxlib", "TypSammlung"},             // every type, memo in the .MB
      {"paradoxdriver/fields", "graphic"},  // large blobs in type-2 blocks
      {"python-pxlib", "KOMMENT"},          // memos in slots, chain out of file order
  };
  std::mt19937 rng(20240611);
  int reported = 0, read = 0;
  for (const auto& [from, name] : tables) {
    for (int round = 0; round < 60; ++round) {
      test::TTempDir dir;
      CopyTable(from, name, dir.Path());
      const bool inMb = fs::exists(dir / "T.MB") && round % 3 == 2;
      const std::string target = inMb ? dir / "T.MB" : dir / "T.DB";
      const uint64_t size = fs::file_size(target);
      if (round % 5 == 4) {
        fs::resize_file(target, std::uniform_int_distribution<uint64_t>(0, size - 1)(rng));
      } else {
        const int n = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < n; ++i) {
          // Mostly the structure: header and block headers of the .DB.
          uint64_t at = std::uniform_int_distribution<uint64_t>(0, size - 1)(rng);
          if (!inMb && rng() % 2) at = std::uniform_int_distribution<uint64_t>(0, 0x80)(rng);
          Patch(target, at, {static_cast<int>(rng() & 0xFF)});
        }
      }
      try {
        ReadAll(dir.Path());
        ++read;
      } catch (const EParadoxError&) {
        ++reported;
      }
    }
  }
  EXPECT_GT(reported, 0);
  EXPECT_GT(read, 0);
}

}  // namespace
}  // namespace dk
