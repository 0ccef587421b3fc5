// Modal message boxes and who answers them.
//
// A box has a kind (which gives its German caption), a text, a set of buttons
// and a help context. Who answers is exchangeable: on an interactive terminal
// the user is asked; otherwise the box is answered at once with the button
// that changes nothing (Cancel if offered, else No, else OK); tests install a
// scripted answerer and read what was shown.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dk {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

enum TMsgDlgBtn : uint16_t {
  mbYes = 1 << 0,
  mbNo = 1 << 1,
  mbOK = 1 << 2,
  mbCancel = 1 << 3,
  mbAbort = 1 << 4,
  mbRetry = 1 << 5,
  mbIgnore = 1 << 6,
  mbAll = 1 << 7,
  mbNoToAll = 1 << 8,
  mbYesToAll = 1 << 9,
  mbHelp = 1 << 10,
};
using TMsgDlgButtons = uint16_t;

// What a closed box returns.
enum TModalResult {
  mrNone = 0,
  mrOk = 1,
  mrCancel = 2,
  mrAbort = 3,
  mrRetry = 4,
  mrIgnore = 5,
  mrYes = 6,
  mrNo = 7,
  mrAll = 8,
  mrNoToAll = 9,
  mrYesToAll = 10,
};

// "Fehler", "Warnung", "Bestätigung", "Information"; the application title for
// mtCustom.
std::string MsgDlgCaption(TMsgDlgType type);
// "OK", "Abbrechen", "&Ja", "&Nein", "&Wiederholen", "&Hilfe", ...
std::string MsgDlgButtonText(TMsgDlgBtn button);
TModalResult ModalResultOf(TMsgDlgBtn button);
// The buttons of a set in the order a box shows them.
std::vector<TMsgDlgBtn> ButtonsInOrder(TMsgDlgButtons buttons);
// The button Enter presses: OK, else Yes, else Retry, else the first.
TMsgDlgBtn DefaultButton(TMsgDlgButtons buttons);
// The button that changes nothing: Cancel, else No, else OK, else the last.
TMsgDlgBtn CancelButton(TMsgDlgButtons buttons);

struct TMessageBox {
  TMsgDlgType Type = mtInformation;
  std::string Caption;
  std::string Text;
  TMsgDlgButtons Buttons = mbOK;
  int HelpContext = 0;
};

class TBoxAnswerer {
 public:
  virtual ~TBoxAnswerer() = default;
  // Shows the box and returns the button that closed it. Help never closes a
  // box: an answerer shows the help topic and asks again.
  virtual TMsgDlgBtn Answer(const TMessageBox& box) = 0;
  // After the default error report: waits until the user lets the program go.
  virtual void WaitForClose() {}
};

// Asks on the terminal: caption, text and the buttons are printed to stderr,
// the answer is read from stdin (Enter takes the default button; a number or
// the button's underlined letter chooses). End of input answers like the
// non-interactive answerer.
class TInteractiveAnswerer : public TBoxAnswerer {
 public:
  TMsgDlgBtn Answer(const TMessageBox& box) override;
  void WaitForClose() override;
};

// Prints the box to stderr and answers with the button that changes nothing.
class TNonInteractiveAnswerer : public TBoxAnswerer {
 public:
  explicit TNonInteractiveAnswerer(bool print = true) : FPrint(print) {}
  TMsgDlgBtn Answer(const TMessageBox& box) override;

 private:
  bool FPrint;
};

// For tests: records every box and answers from a queue of buttons; when the
// queue is empty it answers like the non-interactive answerer. Thread-safe.
class TScriptedAnswerer : public TBoxAnswerer {
 public:
  TMsgDlgBtn Answer(const TMessageBox& box) override;
  void Push(TMsgDlgBtn answer);
  std::vector<TMessageBox> Shown() const;
  void Clear();

 private:
  mutable std::mutex FLock;
  std::deque<TMsgDlgBtn> FAnswers;
  std::vector<TMessageBox> FShown;
};

// The process's answerer. Without one installed: interactive when stdin and
// stderr are terminals, else non-interactive.
TBoxAnswerer& BoxAnswerer();
// Installs an answerer (nullptr: back to the automatic choice); returns the
// previous one.
std::unique_ptr<TBoxAnswerer> SetBoxAnswerer(std::unique_ptr<TBoxAnswerer> answerer);

// Shows a modal box and returns the result of the button chosen. Called on
// another thread, the box is shown by the main thread and the caller waits.
TModalResult MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
                        int helpContext = 0);

// The box with a caption of the caller's choice (Application.MessageBox).
TModalResult MessageDlgCaption(const std::string& caption, const std::string& text,
                               TMsgDlgType type, TMsgDlgButtons buttons, int helpContext = 0);

}  // namespace dk
