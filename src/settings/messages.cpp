#include "settings/messages.h"

#include "sys/api_tools.h"
#include "ui/application.h"

namespace dk {

TModalResult MsgKeyValueError(const std::string& keyName, const std::string& errorText) {
  return MessageDlg(
      "Der Schlüsselwert für \"" + keyName + "\" konnte nicht ermittelt werden:\r" + errorText,
      mtError, mbCancel | mbRetry | mbHelp, 90006);
}

TModalResult MsgCopyMoveFailed(const std::string& fileName) {
  return MessageDlg("\"" + fileName +
                        "\" konnte nicht kopiert/verschoben werden. Schließen Sie bitte die "
                        "Datei, falls sie noch geöffnet ist.",
                    mtWarning, mbOK | mbCancel, 0);
}

void InstallSystemUi() {
  TSystemUi ui;
  ui.GetCursor = [] { return Application ? Application->Cursor() : crDefault; };
  ui.SetCursor = [](int cursor) {
    if (Application) Application->SetCursor(cursor);
  };
  ui.ShowErrorBox = [](const std::string& text) { MessageDlg(text, mtError, mbOK, 0); };
  ui.Confirm = [](const std::string& text) {
    return MessageDlg(text, mtConfirmation, mbYes | mbNo, 0) == mrYes;
  };
  SetSystemUi(std::move(ui));
}

}  // namespace dk
