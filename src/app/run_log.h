// The run log file of a conversion, written so that a caller never finds a
// cut, empty or lost log.
#pragma once

#include <string>

namespace dk {

// Writes `text` as the log file `logPath`. The text goes into a temporary
// file beside it ("~NAME.XXXXXX"), is synced and then renamed into place, so
// the file is either complete or not there at all. An earlier log of that name
// is kept under the next free name NAME.1.log, NAME.2.log, ... before the new
// one takes its place. Throws std::runtime_error naming the file and the
// cause (folder not writable, disk full, file size limit); the temporary file
// is removed then and an earlier log stays where it was.
void SaveRunLog(const std::string& text, const std::string& logPath);

// The name an earlier log `logPath` is kept under: "NAME.N.log" (or
// "NAME.log.N" when the name does not end in ".log") with the smallest N >= 1
// that names no file.
std::string KeptLogName(const std::string& logPath);

}  // namespace dk
