#include "ui/message_box.h"

#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>

#include "sys/text.h"
#include "ui/application.h"
#include "ui/terminal_view.h"

namespace dk {

namespace {

struct TButtonInfo {
  TMsgDlgBtn Button;
  const char* Text;
  TModalResult Result;
};

// Display order of the buttons, as the system's boxes arrange them.
const TButtonInfo kButtons[] = {
    {mbYes, "&Ja", mrYes},
    {mbNo, "&Nein", mrNo},
    {mbOK, "OK", mrOk},
    {mbCancel, "Abbrechen", mrCancel},
    {mbAbort, "&Abbrechen", mrAbort},
    {mbRetry, "&Wiederholen", mrRetry},
    {mbIgnore, "&Ignorieren", mrIgnore},
    {mbAll, "&Alle", mrAll},
    {mbNoToAll, "N&ein für alle", mrNoToAll},
    {mbYesToAll, "Ja für &alle", mrYesToAll},
    {mbHelp, "&Hilfe", mrNone},
};

std::mutex gAnswererLock;
std::unique_ptr<TBoxAnswerer> gAnswerer;

std::string PlainButtonText(TMsgDlgBtn b) {
  return ReplaceAll(MsgDlgButtonText(b), "&", "");
}

void PrintBox(const TMessageBox& box) {
  std::string out = "\n== " + box.Caption + " ==\n";
  // The system's texts use CR and LF CR as line breaks; the terminal wants LF.
  std::string text = ReplaceAll(box.Text, "\r\n", "\n");
  text = ReplaceAll(text, "\n\r", "\n");
  text = ReplaceAll(text, "\r", "\n");
  out += text + "\n";
  std::string buttons;
  int n = 0;
  for (TMsgDlgBtn b : ButtonsInOrder(box.Buttons)) {
    if (n > 0) buttons += "  ";
    ++n;
    buttons += "(" + std::to_string(n) + ") " + PlainButtonText(b);
  }
  out += buttons + "\n";
  std::cerr << out << std::flush;
}

}  // namespace

std::string MsgDlgCaption(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return "Warnung";
    case mtError:
      return "Fehler";
    case mtInformation:
      return "Information";
    case mtConfirmation:
      return "Bestätigung";
    case mtCustom:
      break;
  }
  return Application ? Application->Title : std::string();
}

std::string MsgDlgButtonText(TMsgDlgBtn button) {
  for (const auto& b : kButtons)
    if (b.Button == button) return b.Text;
  return std::string();
}

TModalResult ModalResultOf(TMsgDlgBtn button) {
  for (const auto& b : kButtons)
    if (b.Button == button) return b.Result;
  return mrNone;
}

std::vector<TMsgDlgBtn> ButtonsInOrder(TMsgDlgButtons buttons) {
  std::vector<TMsgDlgBtn> r;
  for (const auto& b : kButtons)
    if (buttons & b.Button) r.push_back(b.Button);
  return r;
}

TMsgDlgBtn DefaultButton(TMsgDlgButtons buttons) {
  for (TMsgDlgBtn b : {mbOK, mbYes, mbRetry})
    if (buttons & b) return b;
  const auto order = ButtonsInOrder(buttons);
  return order.empty() ? mbOK : order.front();
}

TMsgDlgBtn CancelButton(TMsgDlgButtons buttons) {
  for (TMsgDlgBtn b : {mbCancel, mbNo, mbOK})
    if (buttons & b) return b;
  std::vector<TMsgDlgBtn> order = ButtonsInOrder(buttons & ~mbHelp);
  return order.empty() ? mbOK : order.back();
}

TMsgDlgBtn TNonInteractiveAnswerer::Answer(const TMessageBox& box) {
  const TMsgDlgBtn answer = CancelButton(box.Buttons);
  if (FPrint) {
    PrintBox(box);
    std::cerr << "-> " << PlainButtonText(answer) << " (ohne Rückfrage)\n" << std::flush;
  }
  return answer;
}

TMsgDlgBtn TInteractiveAnswerer::Answer(const TMessageBox& box) {
  PrintBox(box);
  const auto order = ButtonsInOrder(box.Buttons);
  const TMsgDlgBtn def = DefaultButton(box.Buttons);
  while (true) {
    std::cerr << "Auswahl [" << PlainButtonText(def) << "]: " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) {
      std::cerr << "\n";
      return TNonInteractiveAnswerer(false).Answer(box);
    }
    line = Trim(line);
    TMsgDlgBtn chosen = line.empty() ? def : static_cast<TMsgDlgBtn>(0);
    if (!chosen) {
      char* end = nullptr;
      const long n = std::strtol(line.c_str(), &end, 10);
      if (*end == '\0' && n >= 1 && n <= static_cast<long>(order.size()))
        chosen = order[static_cast<size_t>(n - 1)];
    }
    if (!chosen) {
      for (TMsgDlgBtn b : order) {
        const std::string text = MsgDlgButtonText(b);
        const size_t amp = text.find('&');
        const char key =
            amp != std::string::npos && amp + 1 < text.size() ? text[amp + 1] : text[0];
        if (SameText(std::string(1, key), line) || SameText(PlainButtonText(b), line)) {
          chosen = b;
          break;
        }
      }
    }
    if (!chosen) continue;
    if (chosen == mbHelp) {
      std::cerr << "Hilfe: Thema " << box.HelpContext << "\n";
      continue;
    }
    return chosen;
  }
}

void TInteractiveAnswerer::WaitForClose() {
  std::cerr << "Enter schließt das Programm." << std::flush;
  std::string line;
  std::getline(std::cin, line);
}

TMsgDlgBtn TScriptedAnswerer::Answer(const TMessageBox& box) {
  std::lock_guard<std::mutex> guard(FLock);
  FShown.push_back(box);
  while (!FAnswers.empty()) {
    const TMsgDlgBtn a = FAnswers.front();
    FAnswers.pop_front();
    if (a == mbHelp) continue;  // help shows the topic; the box stays open
    return a;
  }
  return CancelButton(box.Buttons);
}

void TScriptedAnswerer::Push(TMsgDlgBtn answer) {
  std::lock_guard<std::mutex> guard(FLock);
  FAnswers.push_back(answer);
}

std::vector<TMessageBox> TScriptedAnswerer::Shown() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FShown;
}

void TScriptedAnswerer::Clear() {
  std::lock_guard<std::mutex> guard(FLock);
  FShown.clear();
  FAnswers.clear();
}

TBoxAnswerer& BoxAnswerer() {
  std::lock_guard<std::mutex> guard(gAnswererLock);
  if (!gAnswerer) {
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO))
      gAnswerer = std::make_unique<TInteractiveAnswerer>();
    else
      gAnswerer = std::make_unique<TNonInteractiveAnswerer>();
  }
  return *gAnswerer;
}

std::unique_ptr<TBoxAnswerer> SetBoxAnswerer(std::unique_ptr<TBoxAnswerer> answerer) {
  std::lock_guard<std::mutex> guard(gAnswererLock);
  std::swap(gAnswerer, answerer);
  return answerer;
}

TModalResult MessageDlgCaption(const std::string& caption, const std::string& text,
                               TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) {
  TMessageBox box;
  box.Type = type;
  box.Caption = caption;
  box.Text = text;
  box.Buttons = buttons;
  box.HelpContext = helpContext;
  TMsgDlgBtn answer = mbOK;
  auto show = [&] {
    if (Application && Application->TerminalView()) Application->TerminalView()->ClearStatus();
    answer = BoxAnswerer().Answer(box);
    if (Application && Application->TerminalView()) Application->TerminalView()->Refresh(true);
  };
  if (Application && !Application->IsMainThread())
    Application->Synchronize(show);
  else
    show();
  return ModalResultOf(answer);
}

TModalResult MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
                        int helpContext) {
  return MessageDlgCaption(MsgDlgCaption(type), text, type, buttons, helpContext);
}

}  // namespace dk
