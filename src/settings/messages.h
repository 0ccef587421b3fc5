// The shared message boxes that drive retry loops elsewhere, and the
// connection of the system functions (file copy, moves, read-only attribute)
// to the toolkit's boxes and cursor.
#pragma once

#include <string>

#include "ui/message_box.h"

namespace dk {

// "Der Schlüsselwert für "<key>" konnte nicht ermittelt werden:" CR <error>,
// an error box with Cancel, Retry and Help (help context 90006). Returns
// mrCancel or mrRetry. Callers retry on their own first and ask only after a
// number of failed attempts; Cancel makes them raise the last error.
TModalResult MsgKeyValueError(const std::string& keyName, const std::string& errorText);

// ""<file>" konnte nicht kopiert/verschoben werden. Schließen Sie bitte die
// Datei, falls sie noch geöffnet ist.", a warning box with OK and Cancel.
// Returns mrOk (try again) or mrCancel.
TModalResult MsgCopyMoveFailed(const std::string& fileName);

// Lets FileCopy, ShellMoveFile and SetFileReadOnly show their boxes and the
// hourglass through the toolkit. InitSettingsLocations calls it.
void InstallSystemUi();

}  // namespace dk
