#include "app/source_check.h"

#include <exception>
#include <set>
#include <stdexcept>

#include "app/main_window.h"
#include "paradox/database.h"
#include "paradox/table_file.h"
#include "sys/text.h"

namespace dk {

namespace {

constexpr const char* kReadTables[] = {"DOCUMENT", "DOCBLOBS", "IDENTNO", "DOCVERS",
                                       "TODO",     "DOCPRTCL", "FTIWORD", "FTIWID"};

}  // namespace

std::vector<TSourceDamage> FindDamagedTables(const std::string& sourceDir) {
  std::vector<TSourceDamage> damaged;
  const std::vector<TParadoxTableEntry> present = ListParadoxTables(sourceDir);
  for (const char* name : kReadTables) {
    bool there = false;
    for (const TParadoxTableEntry& e : present) there = there || AsciiUpper(e.Name) == name;
    if (!there) continue;
    TSourceDamage d;
    d.Table = name;
    try {
      const TParadoxTableEntry entry = FindParadoxTable(sourceDir, name);
      const TParadoxTableFile table(entry.DbPath);
      const TPxChainReport report = table.Inspect();
      if (!report.Damaged()) continue;
      d.Text = entry.DbPath + ": " + report.Text();
      d.Expected = report.HeaderRows;
      d.Recovered = static_cast<int64_t>(report.SalvageRows);
      d.Salvageable = !report.HeaderBroken;
    } catch (const std::exception& e) {
      d.Text = e.what();
      d.Salvageable = false;
    }
    damaged.push_back(d);
  }
  return damaged;
}

std::string SalvageLogLine(const TSourceDamage& d) {
  return "*** Tabelle " + d.Table +
         " beschädigt, gelesen so weit lesbar: " + std::to_string(d.Expected) +
         " Zeilen erwartet, " + std::to_string(d.Recovered) + " gerettet, " +
         std::to_string(d.Lost()) + " verloren (" + d.Text + ") ***";
}

std::string DamagedSourceText(const std::vector<TSourceDamage>& damaged, bool salvage) {
  std::string s = "Das alte Archiv ist beschädigt, am Ziel wurde nichts geändert.";
  for (const TSourceDamage& d : damaged)
    if (!salvage || !d.Salvageable) s += " " + d.Text + ".";
  s += salvage ? " Auch --salvage kann diese Tabelle nicht lesen."
               : " Mit --salvage übernimmt die Konvertierung, was lesbar ist, und nennt die "
                 "Verluste.";
  return s;
}

std::string DamageFindingText(const TSourceDamage& d) {
  if (!d.Salvageable) return d.Text;
  return d.Text + " (mit --salvage: " + std::to_string(d.Recovered) + " Zeilen lesbar, " +
         std::to_string(d.Lost()) + " verloren)";
}

// ---------------------------------------------------------------- the run's stages

void TFormArcport5Main::CheckSourceTables() {
  const std::vector<TSourceDamage> damaged = FindDamagedTables(FSourceDir);
  if (damaged.empty()) return;
  bool readable = FSalvage;
  for (const TSourceDamage& d : damaged) readable = readable && d.Salvageable;
  if (!readable) throw std::runtime_error(DamagedSourceText(damaged, FSalvage));
  for (const TSourceDamage& d : damaged) {
    AddLog(SalvageLogLine(d));
    FDamageLost[d.Table] = d.Lost();
  }
  BdeQuerySrc->SetSalvage(true);
}

void TFormArcport5Main::ReportRowsOfLostDocuments() {
  const auto lost = FDamageLost.find("DOCUMENT");
  if (lost == FDamageLost.end() || lost->second == 0) return;
  // The converted target holds only this run's documents: a row whose DOCID
  // matches none of them belonged to a document that could not be read.
  static constexpr const char* kReferring[] = {"DOCVERS", "TODO", "DOCPRTCL", "FTIWID", "DOCBLOBS"};
  int64_t total = 0;
  std::string parts;
  for (const char* table : kReferring) {
    try {
      TQuery count;
      count.SetConnection(&DkArchiveDst->Connection());
      count.SetSQLText(std::string("SELECT COUNT(*) FROM ") + table +
                       " x WHERE NOT EXISTS (SELECT 1 FROM DOCUMENT d WHERE d.DOCID = x.DOCID)");
      count.Open();
      const int64_t rows = count.Fields(0).AsLargeInt();
      count.Close();
      if (rows == 0) continue;
      total += rows;
      parts += (parts.empty() ? "" : ", ") + std::string(table) + " " + std::to_string(rows);
    } catch (const std::exception&) {
      // A target table without DOCID has no rows that refer to documents.
    }
  }
  // RTF texts that go into the target's DOCUMENT have no row to go to.
  int64_t texts = 0;
  try {
    if (DkArchiveDst->DocQuery()->FindField("RTFTEXT")) {
      std::set<int64_t> documents;
      TQuery ids;
      ids.SetConnection(&DkArchiveDst->Connection());
      ids.SetSQLText("SELECT DOCID FROM DOCUMENT");
      for (ids.Open(); !ids.Eof(); ids.Next()) documents.insert(ids.Fields(0).AsLargeInt());
      ids.Close();
      TParadoxQuery blobs;
      blobs.SetSalvage(BdeQuerySrc->Salvage());
      blobs.SetDatabaseName(FSourceDir);
      blobs.SetSQL("SELECT * FROM DOCBLOBS");
      blobs.Open();
      const TParadoxField& docId = blobs.FieldByName("DOCID");
      const TParadoxField& rtf = blobs.FieldByName("RTFTEXT");
      for (; !blobs.Eof(); blobs.Next())
        if (!rtf.IsNull() && !documents.count(docId.AsLargeInt())) ++texts;
    }
  } catch (const std::exception&) {
    // no legacy DOCBLOBS to carry texts from: nothing to count
  }
  if (!parts.empty()) parts += " übernommen";
  if (texts > 0) {
    total += texts;
    parts += (parts.empty() ? "" : ", ") + std::string("RTF-Texte ") + std::to_string(texts) +
             " ohne Dokument nicht übernommen";
  }
  if (total > 0)
    AddLog("*** " + std::to_string(total) +
           " Zeilen anderer Tabellen gehören zu Dokumenten, die in der beschädigten Tabelle "
           "DOCUMENT verloren sind: " +
           parts + " ***");
}

}  // namespace dk
