// The error log and the error box.
//
// Problems the component layer survives are appended to one file, Error.log,
// in the product's shared data directory (Configuration->CommonFilesPath), or
// in the program directory when that directory does not exist. The file is
// UTF-8 with CR LF, only ever appended to; each call adds exactly one record:
//   "[" dd.mm.yyyy hh:nn:ss " " UserName " an " ComputerName "]: " message CR LF
// The message is written as passed in, line breaks and all.
#pragma once

#include <string>

namespace dk {

class TConfiguration;

// Appends one record. Safe from any thread: records of concurrent callers are
// never interleaved (one append of the whole record per call). Never raises:
// any failure (no configuration store, the file cannot be created or written)
// sounds the default beep and the record is lost.
void WriteErrorLog(const std::string& message) noexcept;
// The same for a store that is still reading its sources and is not yet
// Configuration: the record goes where `config` says.
void WriteErrorLog(const TConfiguration& config, const std::string& message) noexcept;

// "[dd.mm.yyyy hh:nn:ss " + UserName + " an " + ComputerName + "]", local time.
std::string GetLogStamp();

// The file the next record goes to.
std::string ErrorLogFileName();

// Lets the text files read below the settings layer (side files of an
// archive, settings files) report what their reading changed (NUL bytes
// dropped) into this log. InitSettingsLocations calls it.
void InstallTextFileNotices();

// Logs the message (every LF CR pair written as four blanks and LF CR), then
// shows it in a modal error box with the administrator's contact text
// (Configuration->ErrorMessage) after a CR. The box has OK, plus Help when
// `helpContext` is above 0. From another thread the main thread shows the box
// while the caller waits.
void ShowError(const std::string& message, int helpContext = 0);

}  // namespace dk
