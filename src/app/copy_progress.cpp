// The main window's side of the table copy: each copy delegated to
// TTableCopy, its progress below the bar, the stop request and, at the end,
// the summary of the rows per table.
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "app/main_window.h"
#include "app/stop_signal.h"
#include "app/table_copy.h"
#include "app/target_probe.h"

namespace dk {

namespace {

// "1:05" or "1:02:05".
std::string DurationText(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

// The copy over the window's queries, reporting to its log and progress bar.
TTableCopy CopyOf(TFormArcport5Main& form) {
  TCopyProgress progress;
  progress.Begin = [&form](const std::string& table, const std::string& countedAs) {
    form.BeginTableCopy(table, countedAs);
  };
  progress.Step = [&form, rows = 0](bool letMessagesThrough) mutable {
    form.ProgressBar->StepIt();
    // Pending messages and the display every few rows, not per row: a
    // refresh of the display reads the clock, and an FTIWID row costs about
    // a microsecond. A stop request is looked at with every row.
    if (letMessagesThrough && Application && ++rows % 64 == 0) Application->ProcessMessages();
    return form.TableRowDone();
  };
  progress.Stop = [&form] { form.CheckStop(); };
  progress.Sort = [&form](const std::string& table, int64_t done, int64_t total) {
    return form.TableSortProgress(table, done, total);
  };
  return TTableCopy(
      *form.BdeQuerySrc, *form.AdoQueryDst, [&form](const std::string& line) { form.AddLog(line); },
      std::move(progress));
}

}  // namespace

int TFormArcport5Main::GetRecordCount(const std::string& tableName) {
  return CountLegacyRows(FSourceDir, tableName, BdeQuerySrc->Salvage());
}

int TFormArcport5Main::CopyTable(const std::string& tableName) {
  return CopyOf(*this).CopyTable(tableName);
}

void TFormArcport5Main::CopyDocuments() {
  CopyOf(*this).CopyDocuments();
}

void TFormArcport5Main::MoveRtfTexts() {
  CopyOf(*this).MoveRtfTexts();
}

bool TFormArcport5Main::TableSortProgress(const std::string& table, int64_t done, int64_t total) {
  FSorting = {table, done, total};
  const auto now = std::chrono::steady_clock::now();
  if (done == 0 || done == total || now - FLastShown >= std::chrono::milliseconds(100)) {
    FLastShown = now;
    ProgressBar->SetDetail(table + ": Sortieren, " + std::to_string(done) + " von " +
                           std::to_string(total) + " Zeilen gelesen");
    if (Application) Application->ProcessMessages();
  }
  return StopSignal() != 0;
}

void TFormArcport5Main::BeginTableCopy(const std::string& table, const std::string& countedAs) {
  FSorting = {};
  TTableProgress t;
  t.Table = table;
  const auto counted = FSourceCounts.find(countedAs);
  t.Total = counted == FSourceCounts.end() ? -1 : counted->second;
  FTables.push_back(t);
  FTableStart = FRateStamp = std::chrono::steady_clock::now();
  FRateRows = 0;
  FRate = 0;
  ShowTableProgress(true);
}

bool TFormArcport5Main::TableRowDone() {
  if (FTables.empty()) return StopSignal() != 0;
  ++FTables.back().Done;
  // The clock is read only every few rows: an FTIWID row costs about a
  // microsecond.
  if (FTables.back().Done % 64 == 0) ShowTableProgress(false);
  return StopSignal() != 0;
}

void TFormArcport5Main::ShowTableProgress(bool force) {
  if (FTables.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - FLastShown < std::chrono::milliseconds(100)) return;
  FLastShown = now;
  const TTableProgress& t = FTables.back();
  // The rate over the last second or more, so that it follows a table whose
  // rows change in cost without jumping with every redraw.
  const double window = std::chrono::duration<double>(now - FRateStamp).count();
  if (window >= 1.0) {
    const double rate = (t.Done - FRateRows) / window;
    FRate = FRate == 0 ? rate : 0.5 * FRate + 0.5 * rate;
    FRateStamp = now;
    FRateRows = t.Done;
  }
  std::string detail = t.Table + ": " + std::to_string(t.Done);
  if (t.Total >= 0) detail += " von " + std::to_string(t.Total);
  detail += " Zeilen";
  if (FRate > 0) {
    detail += ", " + std::to_string(static_cast<long>(FRate + 0.5)) + " Zeilen/s";
    if (t.Total > t.Done) detail += ", noch etwa " + DurationText((t.Total - t.Done) / FRate);
  }
  ProgressBar->SetDetail(detail);
}

void TFormArcport5Main::CheckStop() {
  const int sig = StopSignal();
  if (sig == 0) return;
  std::string text = "Konvertierung abgebrochen durch " + SignalName(sig);
  if (!FSorting.Table.empty()) {
    text += " in Tabelle " + FSorting.Table + " beim Sortieren nach " +
            std::to_string(FSorting.Done) + " von " + std::to_string(FSorting.Total) +
            " Zeilen; aus ihr wurde nichts übernommen";
  } else if (!FTables.empty()) {
    const TTableProgress& t = FTables.back();
    text += " in Tabelle " + t.Table + " nach " + std::to_string(t.Done);
    if (t.Total >= 0) text += " von " + std::to_string(t.Total);
    text += " Zeilen";
  }
  // With --atomic the transaction is taken back next; the line after says so.
  if (FAtomic) throw EInterrupted(sig, text + ".");
  throw EInterrupted(sig, text + "; " + StoppedTargetText());
}

std::string TFormArcport5Main::StoppedTargetText() const {
  if (!FTargetChanged) return "an der Zieldatenbank wurde nichts geändert.";
  return "die Zieldatenbank ist damit teilweise konvertiert, und die Konvertierung kann dort "
         "nicht fortgesetzt werden. " +
         RedoConversionAdvice();
}

void TFormArcport5Main::BuildSummary() {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FRunStart).count();
  std::string s = "arcport5: ";
  switch (FOutcome) {
    case TRunOutcome::Converted:
      s += "Konvertierung abgeschlossen";
      break;
    case TRunOutcome::ConvertedWithLosses:
      s += "Konvertierung mit Verlusten abgeschlossen";
      break;
    case TRunOutcome::Interrupted:
      s += "Konvertierung abgebrochen (" + SignalName(FStopSignal) + ")";
      break;
    default:
      s += "Konvertierung fehlgeschlagen";
      break;
  }
  s += " nach " + DurationText(seconds) + "\n";
  for (const TTableProgress& t : FTables) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-10s %9ld", t.Table.c_str(), t.Done - t.Skipped - t.Lost);
    s += line;
    if (t.Total >= 0 && t.Done != t.Total) s += " von " + std::to_string(t.Total);
    s += " Zeilen";
    if (t.Skipped > 0) s += ", " + std::to_string(t.Skipped) + " übersprungen";
    if (t.Lost > 0) s += ", " + std::to_string(t.Lost) + " verloren";
    if (const auto damaged = FDamageLost.find(t.Table); damaged != FDamageLost.end())
      s += ", " + std::to_string(damaged->second) + " in der beschädigten Tabelle verloren";
    s += "\n";
  }
  // Damaged tables that have no copy line of their own (DOCBLOBS, whose
  // texts count as RTFTEXT, and IDENTNO).
  for (const auto& [table, lost] : FDamageLost) {
    bool shown = false;
    for (const TTableProgress& t : FTables) shown = shown || t.Table == table;
    if (shown) continue;
    char line[160];
    std::snprintf(line, sizeof line, "  %-10s %9lld in der beschädigten Tabelle verloren\n",
                  table.c_str(), static_cast<long long>(lost));
    s += line;
  }
  s += "  Problemzeilen im Protokoll (*** und übersprungene Zeilen): " +
       std::to_string(FProblemLines) + "\n";
  if (FLogError.empty())
    s += "  Protokoll: " + LogFileName(FTargetDb) + "\n";
  else
    s += "  Protokoll: nicht geschrieben (steht auf der Standardfehlerausgabe)\n";
  FSummary = s;
}

}  // namespace dk
