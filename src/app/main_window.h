// The main window of the conversion tool and its run control.
//
// The product starts the tool with two arguments, the legacy archive
// directory and the target database file. The window posts itself a private
// start message when it is first shown; the application-wide hook acts on it
// once: it runs the conversion and closes the window, which ends the program.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/pending_files.h"
#include "data/connection.h"
#include "data/query.h"
#include "db/appl_database.h"
#include "db/archive.h"
#include "paradox/query.h"
#include "ui/application.h"
#include "ui/controls.h"

namespace dk {

// The private start message: WM_APP with wParam 100.
constexpr uintptr_t kStartRunParam = 100;

// How a run ended. The product learns it from the log file; a script asks for
// it as the exit status (arcport5 --exit-status).
enum class TRunOutcome {
  None,       // no run yet
  Refused,    // arguments, source or target refused before anything was read
  Converted,  // the conversion ran to its end
  // The conversion ran to its end over damaged legacy tables read with
  // --salvage: what could not be read is named in the log and the summary.
  ConvertedWithLosses,
  Failed,       // the conversion ended with the error banner
  Interrupted,  // SIGINT or SIGTERM stopped it (banner and interruption line)
};

// One table of the copy stage as the status line and the summary show it.
struct TTableProgress {
  std::string Table;
  long Total = 0;    // legacy rows counted before the copy (-1: not countable)
  long Done = 0;     // legacy rows passed through the copy
  long Skipped = 0;  // rows logged as not copied
  long Lost = 0;     // rows the engine dropped with an open batch
};

class TFormArcport5Main : public TForm {
 public:
  // `args` are the command-line arguments without the program name.
  TFormArcport5Main(TComponent* owner, std::vector<std::string> args);
  ~TFormArcport5Main() override;

  TLabel* LabelSrc;
  TLabel* LabelDst;
  TProgressBar* ProgressBar;
  TLabel* LabelInfo;
  TMemo* MemoLog;
  // The legacy query on the source tables; its database name (the source
  // directory) is set at run time.
  TParadoxQuery* BdeQuerySrc;
  // The design-time connection of AdoQueryDst; never opened.
  TConnection* AdoConnectionDst;
  // The target query; the pipeline binds it to the archive's connection
  // before the first copy.
  TQuery* AdoQueryDst;
  // The target archive; its document-type partner is present only because
  // the archive requires one and is never opened.
  TDkArchive* DkArchiveDst;
  TApplDatabase* ApplDatabaseDummy;

  void FormCreate();
  void FormShow();
  // The application-wide message hook; true when the message was handled.
  bool AppMessage(TMessage& msg);
  // Argument checks, the conversion and the log file.
  void RunConversion();
  // Carries out the conversion between the argument checks and the log file.
  // Sets up the settings and the configuration store, runs the stages and
  // reports a failure that ends them (banner line, message, beep, error
  // box); the archive is closed afterwards either way.
  void ConvertArchive();
  // Shows `text` in the status line and appends it to the log list. Does not
  // repaint; callers let pending messages be processed when they want that.
  void AddLog(const std::string& text);
  // Sees every log line as it is added (benchmarks time the stages by it).
  std::function<void(const std::string&)> OnAddLog;

  // How the run ended.
  TRunOutcome Outcome() const { return FOutcome; }
  // The signal that stopped the run, when Outcome() is Interrupted.
  int StopSignalSeen() const { return FStopSignal; }
  // Why the log file could not be written, or "". The whole log has then been
  // printed on stderr instead.
  const std::string& LogError() const { return FLogError; }
  // What the run did, for standard output once the window is gone: result,
  // duration, rows per table, problem lines and the log's path. Empty when
  // the run was refused.
  const std::string& Summary() const { return FSummary; }
  // The copies so far, in order.
  const std::vector<TTableProgress>& TableProgress() const { return FTables; }

  // Progress of the copy stage (copy_progress.cpp). BeginTableCopy starts the
  // rows of `table` (RTFTEXT for the RTF move), whose total is the count of
  // the legacy table `countedAs`; TableRowDone counts one legacy row and, at
  // most every tenth of a second, shows rows done of total, rows per second
  // and the time left below the progress bar. It returns true when the run
  // was asked to stop (SIGINT, SIGTERM): the copy then commits what it wrote
  // and calls CheckStop.
  void BeginTableCopy(const std::string& table, const std::string& countedAs);
  bool TableRowDone();
  // The sort of `table` before its copy, as a step of its own below the
  // bar: rows read into the sort of the total. Returns true when the run was
  // asked to stop, as TableRowDone does.
  bool TableSortProgress(const std::string& table, int64_t done, int64_t total);
  // Ends the run with EInterrupted when a stop signal came.
  void CheckStop();

  // The table copy (table_copy.h) over BdeQuerySrc and AdoQueryDst, logging
  // by AddLog. Each copy advances ProgressBar by one step per source row and,
  // except the RTF move, lets pending messages be processed after every row.
  int GetRecordCount(const std::string& tableName);
  int CopyTable(const std::string& tableName);
  void CopyDocuments();
  void MoveRtfTexts();

  // --salvage: damaged legacy tables are read as far as they can be instead
  // of ending the run before it changes anything.
  void SetSalvage(bool salvage) { FSalvage = salvage; }
  // The whole conversion in one transaction on the target, the files it
  // writes outside the database put in place only once it has committed
  // (arcport5 --atomic). Set before the run.
  void SetAtomic(bool value) { FAtomic = value; }
  bool Atomic() const { return FAtomic; }

  // The source directory as RunConversion sets it (a trailing "/" added),
  // for callers that run single stages.
  void SetSourceDir(const std::string& dir);

  const std::string& SourceDir() const { return FSourceDir; }
  const std::string& TargetDb() const { return FTargetDb; }
  bool RunPending() const { return FRunPending; }

 private:
  // The stages of the conversion, one after the other (the functions below).
  void RunStages();
  // The stages of the run, in the order RunStages runs them, with a look for
  // a stop request between them.
  void StartLog();
  // Every legacy table walked over its blocks before the target is touched:
  // damage ends the run, or with --salvage is logged table by table.
  void CheckSourceTables();
  void CountSourceRows();
  void OpenTarget();
  void OpenSource();
  void AddMissingDocumentColumns();
  void ImportFieldDescriptions();
  void AddStoredFieldDefinitions();
  void MarkRequiredFields();
  void CopyLayout();
  void LoadPickLists();
  void CopyData();
  // After a salvaged DOCUMENT: the rows of the other tables whose document
  // was lost, counted in one log line.
  void ReportRowsOfLostDocuments();
  void FinishTarget();
  // The transaction of a run with --atomic (pipeline.cpp): begun once the
  // target is open, committed with the files put in place after it, rolled
  // back on the way out of a failed or stopped run.
  void BeginAtomic();
  void CommitAtomic(const std::string& converted);
  // True when the settle found the commit happened after all.
  bool RollBackAtomic();
  // Settles what an earlier run with --atomic left beside the target; true
  // when that run had converted the target and only its files were missing.
  bool SettleEarlierAtomicRun();
  // The option "Converted" of the target (read with the write lock asked for,
  // which rolls back a hot journal).
  std::string TargetConvertedValue() const;
  // The checks of the target that must pass before it is opened: a lock held
  // by another program, a SQLite file without the archive tables, an archive
  // converted before. Raises with a message that names the cause.
  void CheckTargetBeforeOpen();
  // Writes the log file (run_log.h); when that fails, the whole log goes to
  // stderr with the reason.
  void SaveLog();
  void ShowTableProgress(bool force);
  void BuildSummary();
  // What a stop request leaves in the target, for the line that reports the
  // stop: the one place of that text.
  std::string StoppedTargetText() const;

  std::vector<std::string> FArgs;
  bool FRunPending = false;
  std::string FSourceDir;
  std::string FTargetDb;
  // Set once the conversion's preparation (settings, configuration) is done:
  // from then on a failure still leaves the log file behind.
  bool FPrepared = false;
  TRunOutcome FOutcome = TRunOutcome::None;
  int FStopSignal = 0;
  // Set before the run first writes into the target (a column, the layout
  // copy): a run that ends from then on leaves it partly converted.
  bool FTargetChanged = false;
  std::string FLogError;
  std::string FSummary;
  // Legacy row counts of the progress budget, by table.
  std::map<std::string, int> FSourceCounts;
  bool FSalvage = false;
  // Rows lost in damaged legacy tables read with --salvage, by table.
  std::map<std::string, int64_t> FDamageLost;
  std::vector<TTableProgress> FTables;
  // The table being sorted before its copy; empty once the copy has begun.
  struct TSortProgress {
    std::string Table;
    int64_t Done = 0;
    int64_t Total = 0;
  } FSorting;
  int FProblemLines = 0;
  std::chrono::steady_clock::time_point FRunStart{};
  std::chrono::steady_clock::time_point FTableStart{};
  std::chrono::steady_clock::time_point FLastShown{};
  // Rows per second of the current table, over the last second or so.
  std::chrono::steady_clock::time_point FRateStamp{};
  long FRateRows = 0;
  double FRate = 0;

  bool FAtomic = false;
  enum class TAtomicState { None, Open, Committed };
  TAtomicState FAtomicState = TAtomicState::None;
  // The files of the run with --atomic, kept until the commit.
  TPendingFiles FPendingFiles;

  std::unique_ptr<TParadoxQuery> FBdeQuerySrc;
  std::unique_ptr<TConnection> FAdoConnectionDst;
  std::unique_ptr<TQuery> FAdoQueryDst;
};

// Where to look for a legacy side file: the source directory; else, when
// the machine has the key "SOFTWARE\Tesmarin\Dokalon Pro\Settings", the
// directory of its "ApplDatabase" and then its "CommonFilesPath"; else the
// parent and the grandparent of the source directory. Returns the last path
// formed, whether or not it exists. Names are matched ignoring case.
std::string FindSupportFile(const std::string& fileName, const std::string& sourceDir);

// The layout rewrite of one line: ",Doc,NUMBER,", ",Doc,NOTE," and
// ",Doc,NAMES," become ",Doc,DOCNO,", ",Doc,NOTES," and ",Doc,MYNAMES,", each
// only at its first occurrence, ignoring case.
std::string RewriteLayoutLine(std::string line);
// The layout rewrite of a whole file's bytes; bytes outside the renames, line
// ends included, stay as they are.
std::string RewriteLayoutText(std::string_view bytes);
// Rewrites a layout file in place.
void RewriteLayoutFile(const std::string& fileName);

// The name of the run log: the target's name with its extension replaced by
// ".log" (appended when the name has none).
std::string LogFileName(const std::string& targetDb);

// The program entry: options, application object, title, main window,
// message loop, summary. Without options the exit status is 0 in every case
// (the caller reads the log file); with --exit-status it is 0 converted,
// 1 failed, 2 refused, 128 + signal interrupted. A log file that cannot be
// written makes it 3 in every mode (the log is then on stderr). --check
// reads and reports without writing (check_run.cpp).
int RunArcport5(int argc, char** argv);

// arcport5 --check SOURCE TARGET (check_run.cpp): reads every legacy table to
// its end and the side files, looks at the target read-only, prints what it
// found and what a conversion would do. Writes nothing anywhere. Returns 0
// when nothing stands in the way, 1 with findings, 2 when refused.
int RunCheck(const std::vector<std::string>& args);

// The exit status of a finished run as --exit-status reports it.
int ExitStatusOf(const TFormArcport5Main& form);

}  // namespace dk
