// arcport5 over legacy tables whose block chain is damaged: --check names the
// file with the header's count and the rows found, the conversion ends
// before it changes the target, and --salvage converts what can be read and
// says exactly what was lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "arcport5_sandbox.h"
#include "sys/text.h"

namespace dk {
namespace {

namespace fs = std::filesystem;
using test::Query;
using test::Snapshot;

const char* const kBanner = "******************* Fehler *********************";

// The blocks of a table as the generator wrote them: pxlib fills them one
// after the other and chains them in that order.
struct TTableLayout {
  std::string Path;
  int HeaderSize = 0, BlockSize = 0, RecordSize = 0;
  std::vector<int> Counts;  // records of block 1, 2, ...

  explicit TTableLayout(const std::string& path) : Path(path) {
    const std::string bytes = test::ReadFile(path);
    const auto u16 = [&](size_t at) {
      return static_cast<unsigned char>(bytes[at]) |
             (static_cast<unsigned char>(bytes[at + 1]) << 8);
    };
    RecordSize = u16(0);
    HeaderSize = u16(2);
    BlockSize = static_cast<unsigned char>(bytes[5]) * 1024;
    for (int b = 1; b <= u16(0x0C); ++b)
      Counts.push_back(static_cast<int16_t>(u16(Offset(b) + 4)) / RecordSize + 1);
  }
  size_t Offset(int block) const {
    return static_cast<size_t>(HeaderSize) + static_cast<size_t>(block - 1) * BlockSize;
  }
  int RowsBefore(int block) const {
    int rows = 0;
    for (int b = 1; b < block; ++b) rows += Counts[static_cast<size_t>(b - 1)];
    return rows;
  }
  int Rows() const { return RowsBefore(static_cast<int>(Counts.size()) + 1); }
  void Write(size_t at, const std::string& bytes) const {
    std::fstream f(Path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
};

// What a damage leaves, as the test knows it from the intact layout.
struct TExpected {
  int HeaderRows = 0;  // the header's count after the damage
  int ChainRows = 0;   // rows on the chain up to the fault
  int Recovered = -1;  // rows a salvage reads; -1: not even a salvage reads the table
};

struct TDamageCase {
  const char* Name;
  const char* Table;  // the damaged table
  const char* Fault;  // a word of the message
  std::function<TExpected(const TTableLayout&)> Harm;
};

const TDamageCase kCases[] = {
    {"ZeroedNextPointerInDocument", "DOCUMENT", "endet bei Block 5",
     [](const TTableLayout& l) {
       l.Write(l.Offset(5), std::string(2, '\0'));
       return TExpected{l.Rows(), l.RowsBefore(6), l.Rows()};
     }},
    {"ZeroedNextPointerInFtiwid", "FTIWID", "endet bei Block 3",
     [](const TTableLayout& l) {
       l.Write(l.Offset(3), std::string(2, '\0'));
       return TExpected{l.Rows(), l.RowsBefore(4), l.Rows()};
     }},
    {"ZeroedDataBlockInDocument", "DOCUMENT", "Vorgänger",
     [](const TTableLayout& l) {
       l.Write(l.Offset(8), std::string(static_cast<size_t>(l.BlockSize), '\0'));
       return TExpected{l.Rows(), l.RowsBefore(8), l.Rows() - l.Counts[7]};
     }},
    {"HeaderCountAboveTheChain", "DOCUMENT", "nennt 250",
     [](const TTableLayout& l) {
       l.Write(0x06, std::string("\xFA\0\0\0", 4));
       return TExpected{250, l.Rows(), l.Rows()};
     }},
    {"FtiwidCutInItsSixthBlock", "FTIWID", "abgeschnitten",
     [](const TTableLayout& l) {
       fs::resize_file(l.Path, l.Offset(6) + 6 + 40 * static_cast<size_t>(l.RecordSize) + 3);
       return TExpected{l.Rows(), l.RowsBefore(6) + 40, l.RowsBefore(6) + 40};
     }},
    {"ZeroedDataBlockInDocblobs", "DOCBLOBS", "Vorgänger",
     [](const TTableLayout& l) {
       l.Write(l.Offset(2), std::string(static_cast<size_t>(l.BlockSize), '\0'));
       return TExpected{l.Rows(), l.RowsBefore(2), l.Rows() - l.Counts[1]};
     }},
    {"DocumentHeaderSizeDamaged", "DOCUMENT", "Kopfgröße 65535",
     [](const TTableLayout& l) {
       l.Write(0x02, "\xFF\xFF");
       return TExpected{l.Rows(), 0, -1};
     }},
};

class DamagedSource : public test::TArcport5Sandbox,
                      public ::testing::WithParamInterface<TDamageCase> {
 protected:
  fs::path SourceFile(const std::string& name) {
    for (const auto& e : fs::directory_iterator(Source()))
      if (AsciiUpper(e.path().filename().string()) == name) return e.path();
    return {};
  }
  std::string Count(const std::string& table) {
    return Query(Target(), "SELECT COUNT(*) FROM " + table);
  }
};

TEST_P(DamagedSource, IsAFindingStopsTheRunBeforeAnyChangeAndIsSalvagedExactly) {
  const TDamageCase& c = GetParam();
  TLegacyArchiveOptions options;
  options.Documents = 200;
  options.FtiWidRows = 3000;
  MakeArchives(options);
  const std::string file = SourceFile(std::string(c.Table) + ".DB").string();
  const TTableLayout layout(file);
  ASSERT_GE(layout.Counts.size(), std::string(c.Table) == "DOCBLOBS" ? 3u : 8u);
  const TExpected e = c.Harm(layout);
  const std::string counts = "der Tabellenkopf nennt " + std::to_string(e.HeaderRows) +
                             " Datensätze, die Blockkette enthält " + std::to_string(e.ChainRows);

  // --check: a finding naming the file and the counts.
  auto run = Run({"--check", Source(), Target()});
  EXPECT_EQ(run.Status, 1) << run.Out;
  EXPECT_NE(run.Out.find("Tabelle " + std::string(c.Table) + ": " + file + ": " + counts),
            std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find(c.Fault), std::string::npos) << run.Out;

  // The conversion ends before it changes anything, with the same text.
  const std::string target = test::ReadFile(Target());
  const auto common = Snapshot(FDir / "common");
  run = Run({"--exit-status", Source(), Target()});
  EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
  EXPECT_EQ(test::ReadFile(Target()), target);
  EXPECT_EQ(Snapshot(FDir / "common"), common);
  std::string log = test::ReadFile(Log());
  EXPECT_NE(log.find(kBanner), std::string::npos) << log;
  EXPECT_NE(log.find("Das alte Archiv ist beschädigt, am Ziel wurde nichts geändert. " + file +
                     ": " + counts),
            std::string::npos)
      << log;

  // --salvage: what can be read, the loss in one line, status 1.
  run = Run({"--exit-status", "--salvage", Source(), Target()});
  EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
  log = test::ReadFile(Log());
  if (e.Recovered < 0) {
    EXPECT_EQ(test::ReadFile(Target()), target);
    EXPECT_NE(log.find("Auch --salvage kann diese Tabelle nicht lesen."), std::string::npos) << log;
    return;
  }
  const int lost = std::max(e.HeaderRows - e.Recovered, 0);
  EXPECT_NE(log.find("*** Tabelle " + std::string(c.Table) + " beschädigt, gelesen so weit " +
                     "lesbar: " + std::to_string(e.HeaderRows) + " Zeilen erwartet, " +
                     std::to_string(e.Recovered) + " gerettet, " + std::to_string(lost) +
                     " verloren (" + file + ": " + counts),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Import/Konvertierung abgeschlossen"), std::string::npos) << log;
  EXPECT_EQ(log.find(kBanner), std::string::npos) << log;
  // DOCBLOBS's texts go into the target's DOCUMENT.
  if (std::string(c.Table) != "DOCBLOBS") {
    EXPECT_EQ(Count(c.Table), std::to_string(e.Recovered));
  }
  EXPECT_NE(run.Out.find("Konvertierung mit Verlusten abgeschlossen"), std::string::npos)
      << run.Out;
  if (lost > 0) {
    // DOCBLOBS has no copy line of its own in the summary.
    const std::string rows =
        std::string(c.Table) == "DOCBLOBS" ? "" : std::to_string(e.Recovered) + " Zeilen, ";
    EXPECT_TRUE(std::regex_search(
        run.Out, std::regex(std::string(c.Table) + " +" + rows + std::to_string(lost) +
                            " in der beschädigten Tabelle verloren")))
        << run.Out;
  }

  // The rows of the other tables stay, also those of documents that were
  // lost; these are counted.
  EXPECT_EQ(Count("DOCVERS"), "100");
  EXPECT_EQ(Count("DOCPRTCL"), "400");
  const std::string orphans =
      Query(Target(),
            "SELECT COUNT(*) FROM DOCVERS x WHERE NOT EXISTS (SELECT 1 FROM DOCUMENT d WHERE "
            "d.DOCID = x.DOCID)");
  if (std::string(c.Name) == "ZeroedDataBlockInDocument") {
    EXPECT_NE(orphans, "0");
  }
  if (orphans != "0") {
    EXPECT_NE(log.find("Zeilen anderer Tabellen gehören zu Dokumenten, die in der beschädigten "
                       "Tabelle DOCUMENT verloren sind: DOCVERS " +
                       orphans + ","),
              std::string::npos)
        << log;
  } else {
    EXPECT_EQ(log.find("Zeilen anderer Tabellen gehören"), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedSource, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

class IntactSource : public test::TArcport5Sandbox {};

TEST_F(IntactSource, SalvageChangesNothingAndTheHelpListsIt) {
  MakeArchives();
  auto run = Run({"--exit-status", "--salvage", Source(), Target()});
  EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
  const std::string log = test::ReadFile(Log());
  EXPECT_EQ(log.find("beschädigt"), std::string::npos) << log;
  EXPECT_EQ(Query(Target(), "SELECT COUNT(*) FROM DOCUMENT"), "40");
  run = Run({"--help"});
  EXPECT_NE(run.Out.find("--salvage"), std::string::npos) << run.Out;
}

}  // namespace
}  // namespace dk
