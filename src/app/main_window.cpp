#include "app/main_window.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "app/run_log.h"
#include "app/stop_signal.h"
#include "app/target_probe.h"
#include "sys/file_paths.h"
#include "sys/program_options.h"
#include "ui/message_box.h"
#include "ui/terminal_view.h"

namespace dk {

namespace {

// The folder a file lies in, as a path that ends with "/".
std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// A log line that reports a problem: the "***" lines (the banner among them)
// and the rows a copy skipped.
bool IsSkippedRowLine(const std::string& line) {
  static const std::string head = "Datensatz \"", tail = "\" konnte nicht kopiert werden.";
  return line.size() >= head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
         line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string LogFileName(const std::string& targetDb) {
  const size_t slash = targetDb.find_last_of('/');
  const size_t dot = targetDb.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    return targetDb.substr(0, dot) + ".log";
  return targetDb + ".log";
}

TFormArcport5Main::TFormArcport5Main(TComponent* owner, std::vector<std::string> args)
    : TForm(owner), FArgs(std::move(args)) {
  Name = "FormArcport5Main";
  Caption = "Dokalon Konverter für V 5.0 Paradox-Archive";
  BorderStyle = bsToolWindow;
  ClientWidth = 688;
  ClientHeight = 391;
  Font.Name = "MS Sans Serif";
  Font.SetHeight(-13);

  LabelSrc = new TLabel(this);
  LabelSrc->Name = "LabelSrc";
  LabelSrc->AutoSize = false;
  LabelSrc->Left = 24;
  LabelSrc->Top = 16;
  LabelSrc->Width = 641;
  LabelSrc->Height = 19;

  LabelDst = new TLabel(this);
  LabelDst->Name = "LabelDst";
  LabelDst->AutoSize = false;
  LabelDst->Left = 16;
  LabelDst->Top = 44;
  LabelDst->Width = 649;
  LabelDst->Height = 19;

  ProgressBar = new TProgressBar(this);
  ProgressBar->Name = "ProgressBar";
  ProgressBar->Left = 16;
  ProgressBar->Top = 76;
  ProgressBar->Width = 649;
  ProgressBar->Height = 16;
  ProgressBar->SetMin(0);
  ProgressBar->SetMax(100);
  ProgressBar->Step = 1;

  LabelInfo = new TLabel(this);
  LabelInfo->Name = "LabelInfo";
  LabelInfo->AutoSize = false;
  LabelInfo->Left = 16;
  LabelInfo->Top = 104;
  LabelInfo->Width = 649;
  LabelInfo->Height = 19;

  MemoLog = new TMemo(this);
  MemoLog->Name = "MemoLog";
  MemoLog->Left = 16;
  MemoLog->Top = 136;
  MemoLog->Width = 649;
  MemoLog->Height = 185;

  FBdeQuerySrc = std::make_unique<TParadoxQuery>();
  BdeQuerySrc = FBdeQuerySrc.get();
  FAdoConnectionDst = std::make_unique<TConnection>();
  AdoConnectionDst = FAdoConnectionDst.get();
  FAdoQueryDst = std::make_unique<TQuery>();
  AdoQueryDst = FAdoQueryDst.get();
  AdoQueryDst->SetName("AdoQueryDst");
  AdoQueryDst->SetConnection(AdoConnectionDst);

  OnCreate = [this] { FormCreate(); };
  OnShow = [this] { FormShow(); };
  // The archive and its document-type partner, as designed: the partner is
  // there only because the archive requires one; it is never opened.
  DkArchiveDst = new TDkArchive(this);
  DkArchiveDst->Name = "DkArchiveDst";
  ApplDatabaseDummy = new TApplDatabase(this);
  ApplDatabaseDummy->Name = "ApplDatabaseDummy";
  DkArchiveDst->SetApplDatabase(ApplDatabaseDummy);
  DkArchiveDst->SyncCreateBackup = false;
  DkArchiveDst->SyncDataPriority = sdpMainDB;
  DkArchiveDst->SyncFilePriority = sfpUserDlg;

  DoCreate();
}

TFormArcport5Main::~TFormArcport5Main() {
  if (Application) Application->OnMessage = nullptr;
  DoDestroy();
}

void TFormArcport5Main::FormCreate() {
  FRunPending = true;
  Application->OnMessage = [this](TMessage& msg) { return AppMessage(msg); };
}

void TFormArcport5Main::FormShow() {
  Application->PostMessage(Handle(), WM_APP, kStartRunParam, 0);
}

bool TFormArcport5Main::AppMessage(TMessage& msg) {
  if (msg.Msg != WM_APP || msg.WParam != kStartRunParam) return false;
  if (FRunPending) RunConversion();
  Close();
  return true;
}

void TFormArcport5Main::RunConversion() {
  FRunPending = false;
  FOutcome = TRunOutcome::Refused;
  if (FArgs.size() < 2) {
    MessageDlg(
        "Dieses Programm wird vom Dokalon für die Datenübernahme aus Version 5.0 verwendet. Eine "
        "andere Verwendung ist nicht vorgesehen. Das Programm wird jetzt beendet.",
        mtInformation, mbOK);
    return;
  }
  SetSourceDir(FArgs[0]);
  FTargetDb = FArgs[1];
  if (!DirectoryExists(FSourceDir)) {
    // A file given as the source would read as "missing" otherwise.
    if (FileExists(FArgs[0]))
      MessageDlg(SourceIsFileText(FArgs[0]), mtError, mbOK);
    else
      MessageDlg("Das Quellverzeichnis \"" + FSourceDir + "\" ist nicht vorhanden.", mtError, mbOK);
    return;
  }
  if (!FileExists(FTargetDb)) {
    if (DirectoryExists(FTargetDb))
      MessageDlg(TargetIsDirectoryText(FTargetDb), mtError, mbOK);
    else
      MessageDlg("Die Zieldatenbank \"" + FTargetDb + "\" ist nicht vorhanden.", mtError, mbOK);
    return;
  }
  // SQLite needs the folder for its journal and the run for its log; without
  // it the run would fail half-way and could not even leave its log.
  if (access(FolderOf(FTargetDb).c_str(), W_OK | X_OK) != 0) {
    MessageDlg(TargetFolderNotWritableText(FolderOf(FTargetDb), FTargetDb), mtError, mbOK);
    return;
  }
  LabelSrc->SetCaption(MinimizeName(FSourceDir, LabelSrc->WidthInChars()));
  LabelDst->SetCaption(MinimizeName(FTargetDb, LabelDst->WidthInChars()));

  FPrepared = false;
  FOutcome = TRunOutcome::Failed;
  FRunStart = std::chrono::steady_clock::now();
  try {
    ConvertArchive();
  } catch (...) {
    // A failure that escapes after the preparation still leaves the log.
    if (FPrepared) {
      SaveLog();
      BuildSummary();
    }
    throw;
  }
  SaveLog();
  BuildSummary();
}

void TFormArcport5Main::SaveLog() {
  const std::string logPath = LogFileName(FTargetDb);
  try {
    SaveRunLog(MemoLog->Lines().Text(), logPath);
  } catch (const std::exception& e) {
    // The log is the one channel of the result: when the file cannot take it,
    // stderr gets all of it, and the exit status says so.
    FLogError = e.what();
    if (Application && Application->TerminalView()) Application->TerminalView()->ClearStatus();
    std::string out = "arcport5: " + FLogError + " Das vollständige Protokoll folgt.\n";
    for (const std::string& line : MemoLog->Lines().Items()) out += line + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
  }
}

void TFormArcport5Main::SetSourceDir(const std::string& dir) {
  FSourceDir = dir;
  if (FSourceDir.empty() || FSourceDir.back() != '/') FSourceDir += '/';
}

void TFormArcport5Main::AddLog(const std::string& text) {
  LabelInfo->SetCaption(text);
  MemoLog->Append(text);
  if (text.find("***") != std::string::npos) {
    ++FProblemLines;
  } else if (IsSkippedRowLine(text)) {
    ++FProblemLines;
    if (!FTables.empty()) ++FTables.back().Skipped;
  }
  if (OnAddLog) OnAddLog(text);
}

int ExitStatusOf(const TFormArcport5Main& form) {
  if (!form.LogError().empty()) return 3;
  switch (form.Outcome()) {
    case TRunOutcome::Converted:
      return 0;
    case TRunOutcome::ConvertedWithLosses:
      return 1;
    case TRunOutcome::Refused:
    case TRunOutcome::None:
      return 2;
    case TRunOutcome::Interrupted:
      return 128 + form.StopSignalSeen();
    case TRunOutcome::Failed:
      break;
  }
  return 1;
}

int RunArcport5(int argc, char** argv) {
  TProgramOptions cli("arcport5", "[OPTION]... QUELLVERZEICHNIS ZIELDATENBANK",
                      "Konvertiert ein Archiv der Version 5 (Verzeichnis mit Paradox-Tabellen)\n"
                      "in die vorhandene Archivdatenbank der Version 6. Das Protokoll steht\n"
                      "danach neben der Zieldatenbank (gleicher Name, Endung .log); ein\n"
                      "früheres Protokoll bleibt als NAME.1.log, NAME.2.log, ... erhalten.\n"
                      "Optionen stehen vor den beiden Argumenten.");
  cli.AddFlag("exit-status", 0,
              "Ausgang als Status: 0 konvertiert, 1 fehlgeschlagen oder\n"
              "mit Verlusten konvertiert (--salvage), 2 abgewiesen,\n"
              "130/143 durch SIGINT/SIGTERM abgebrochen")
      .AddFlag("salvage", 0,
               "liest beschädigte alte Tabellen, so weit sie lesbar sind,\n"
               "statt die Konvertierung vor der ersten Änderung zu beenden;\n"
               "das Protokoll nennt je Tabelle erwartete, gerettete und\n"
               "verlorene Zeilen")
      .AddFlag("atomic", 0,
               "alles oder nichts: die ganze Konvertierung in einer Transaktion;\n"
               "Layout und globale Auswahllisten werden erst nach ihrem Abschluss\n"
               "abgelegt. Nach einem Fehler, Abbruch oder Absturz ist nichts\n"
               "geändert, und derselbe Aufruf kann wiederholt werden")
      .AddFlag("check", 0,
               "prüft Quelle und Ziel vollständig und meldet, was die\n"
               "Konvertierung tun würde; schreibt nichts")
      .SetEpilog(
          "Ohne --exit-status ist der Status immer 0 (der Aufrufer liest das Protokoll).\n"
          "Kann das Protokoll nicht geschrieben werden, steht es vollständig auf der\n"
          "Standardfehlerausgabe, und der Status ist 3. --check: 0 bereit, 1 Befunde,\n"
          "2 abgewiesen.\n"
          "Strg+C (SIGINT) oder SIGTERM beendet den Lauf nach der laufenden Zeile; das\n"
          "Übernommene bleibt gespeichert (mit --atomic: nichts ist geändert). Ein\n"
          "zweites Strg+C beendet sofort.\n"
          "--atomic empfiehlt sich für Skripte und Stapel-Migrationen.")
      .StopAtFirstArgument();
  TParsedOptions parsed;
  if (auto status = cli.Parse(argc, argv, parsed)) return *status;
  if (parsed.Has("check")) return RunCheck(parsed.Positional());
  const bool exitStatus = parsed.Has("exit-status");

  InstallStopSignals();
  int status = 0;
  std::string summary;
  try {
    TApplication app;
    app.Title = "DKL 5to6-Konverter";
    app.SetTerminalView(TTerminalView::ForStderr());
    TFormArcport5Main form(nullptr, parsed.Positional());
    form.SetSalvage(parsed.Has("salvage"));
    form.SetAtomic(parsed.Has("atomic"));
    form.Show();
    app.Run();  // reports a failure that escapes the run itself
    summary = form.Summary();
    status = exitStatus || !form.LogError().empty() ? ExitStatusOf(form) : 0;
  } catch (const std::exception& e) {
    std::cerr << "DKL 5to6-Konverter: " << e.what() << std::endl;
    if (exitStatus) status = 1;
  }
  if (!summary.empty()) {
    std::fwrite(summary.data(), 1, summary.size(), stdout);
    std::fflush(stdout);
  }
  return status;
}

}  // namespace dk
