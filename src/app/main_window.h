// The main window of the conversion tool and its run control.
//
// The product starts the tool with two arguments, the legacy archive
// directory and the target database file. The window posts itself a private
// start message when it is first shown; the application-wide hook acts on it
// once: it runs the conversion and closes the window, which ends the program.
#pragma once

#include <string>
#include <vector>

#include "ui/application.h"
#include "ui/controls.h"

namespace dk {

// The private start message: WM_APP with wParam 100.
constexpr uintptr_t kStartRunParam = 100;

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

  void FormCreate();
  void FormShow();
  // The application-wide message hook; true when the message was handled.
  bool AppMessage(TMessage& msg);
  // Argument checks, the conversion and the log file.
  void RunConversion();
  // Carries out the conversion between the argument checks and the log file.
  void ConvertArchive();
  // Shows `text` in the status line and appends it to the log list. Does not
  // repaint; callers let pending messages be processed when they want that.
  void AddLog(const std::string& text);

  const std::string& SourceDir() const { return FSourceDir; }
  const std::string& TargetDb() const { return FTargetDb; }
  bool RunPending() const { return FRunPending; }

 private:
  std::vector<std::string> FArgs;
  bool FRunPending = false;
  std::string FSourceDir;
  std::string FTargetDb;
  // Set once the conversion's preparation (settings, configuration) is done:
  // from then on a failure still leaves the log file behind.
  bool FPrepared = false;
};

// The name of the run log: the target's name with its extension replaced by
// ".log" (appended when the name has none).
std::string LogFileName(const std::string& targetDb);

// The program entry: application object, title, main window, message loop.
// Returns the exit status, which is 0 in every case.
int RunArcport5(int argc, char** argv);

}  // namespace dk
