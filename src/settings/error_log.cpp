#include "settings/error_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "settings/configuration.h"
#include "settings/locations.h"
#include "sys/file_paths.h"
#include "sys/text.h"
#include "ui/application.h"
#include "ui/message_box.h"

namespace dk {

namespace {

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

bool AppendRecord(const std::string& fileName, const std::string& record) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // O_APPEND puts each write at the end as one piece, also against other
  // programs of the product appending to the same file.
  size_t done = 0;
  bool ok = true;
  while (done < record.size()) {
    const ssize_t n = ::write(fd, record.data() + done, record.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace

std::string GetLogStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char buf[80];
  std::snprintf(buf, sizeof buf, "[%02d.%02d.%04d %02d:%02d:%02d", t.tm_mday, t.tm_mon + 1,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return std::string(buf) + " " + UserName + " an " + ComputerName + "]";
}

namespace {

std::string ErrorLogFileOf(const TConfiguration& config) {
  if (DirectoryExists(config.CommonFilesPath))
    return IncludeTrailingPathDelimiter(config.CommonFilesPath) + "Error.log";
  return ProgramDir + "Error.log";
}

void WriteRecord(const TConfiguration* config, const std::string& message) noexcept {
  try {
    std::lock_guard<std::mutex> guard(LogLock());
    if (!config) {
      Beep();  // reports before the store exists or after it is freed are lost
      return;
    }
    if (!AppendRecord(ErrorLogFileOf(*config), GetLogStamp() + ": " + message + "\r\n")) Beep();
  } catch (...) {
    try {
      Beep();
    } catch (...) {
    }
  }
}

void TextFileNotice(const std::string& message) {
  WriteErrorLog(message);
}

}  // namespace

void InstallTextFileNotices() {
  SetTextFileNoticeHandler(&TextFileNotice);
}

std::string ErrorLogFileName() {
  if (Configuration) return ErrorLogFileOf(*Configuration);
  return ProgramDir + "Error.log";
}

void WriteErrorLog(const std::string& message) noexcept {
  WriteRecord(Configuration, message);
}

void WriteErrorLog(const TConfiguration& config, const std::string& message) noexcept {
  WriteRecord(&config, message);
}

void ShowError(const std::string& message, int helpContext) {
  WriteErrorLog(ReplaceAll(message, "\n\r", "    \n\r"));
  const std::string contact = Configuration ? Configuration->ErrorMessage : std::string();
  MessageDlg(message + "\r" + contact, mtError,
             static_cast<TMsgDlgButtons>(mbOK | (helpContext > 0 ? mbHelp : 0)), helpContext);
}

}  // namespace dk
