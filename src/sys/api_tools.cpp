#include "sys/api_tools.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>
#include <vector>

#include "sys/text.h"

namespace dk {

namespace {

TSystemUi& UiHooks() {
  static TSystemUi ui;
  return ui;
}

void ShowErrorCode(int code) {
  const std::string text = GetSystemErrorText(code);
  if (!text.empty()) ShowSystemErrorBox(text);
}

bool Confirm(const std::string& text) {
  return UiHooks().Confirm ? UiHooks().Confirm(text) : false;
}

// Moves with rename(2), or across file systems by copying and removing the
// source; a copy whose source cannot be removed is taken back.
bool MovePath(const std::string& source, const std::string& target) {
  if (std::rename(source.c_str(), target.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  namespace fs = std::filesystem;
  std::error_code ec;
  const bool isDir = fs::is_directory(source, ec);
  if (isDir)
    fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
             ec);
  else
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    fs::remove_all(target, ec);
    return false;
  }
  if (isDir ? fs::remove_all(source, ec) == static_cast<std::uintmax_t>(-1) || ec
            : !fs::remove(source, ec)) {
    fs::remove_all(target, ec);
    return false;
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

std::string HomeDir() {
  return EnvOr("HOME", "");
}

// XDG_DOCUMENTS_DIR of the user's user-dirs.dirs, with $HOME expanded.
std::string XdgDocumentsDir() {
  const std::string config = EnvOr("XDG_CONFIG_HOME", HomeDir() + "/.config");
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    const std::string key = "XDG_DOCUMENTS_DIR=";
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.compare(0, 5, "$HOME") == 0) value = HomeDir() + value.substr(5);
    return value;
  }
  return {};
}

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  DIR* d = ::opendir(directory.empty() ? "." : directory.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return AnsiCompareText(a, b) < 0; });
  return names;
}

}  // namespace

void SetSystemUi(TSystemUi ui) {
  UiHooks() = std::move(ui);
}

const TSystemUi& SystemUi() {
  return UiHooks();
}

void ShowSystemErrorBox(const std::string& text) {
  if (UiHooks().ShowErrorBox)
    UiHooks().ShowErrorBox(text);
  else
    std::cerr << "Fehler: " << text << std::endl;
}

std::string GetSystemErrorText(int code) {
  if (!strerrordesc_np(code)) return {};
  char buf[256];
  // The GNU strerror_r returns the text, localised when the process has set a
  // locale.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

void ShowLastError() {
  ShowErrorCode(errno);
}

bool FileCopy(const std::string& source, const std::string& target, bool overwrite,
              bool showErrorBox) {
  const TSystemUi& ui = UiHooks();
  const int saved = ui.GetCursor ? ui.GetCursor() : 0;
  if (ui.SetCursor) ui.SetCursor(crHourGlassCursor);
  struct TRestore {
    const TSystemUi& Ui;
    int Cursor;
    ~TRestore() {
      if (Ui.SetCursor) Ui.SetCursor(Cursor);
    }
  } restore{ui, saved};

  namespace fs = std::filesystem;
  std::error_code ec;
  bool ok = false;
  if (fs::is_directory(source, ec)) {
    ec = std::make_error_code(std::errc::is_a_directory);
  } else {
    ok = fs::copy_file(source, target,
                       overwrite ? fs::copy_options::overwrite_existing : fs::copy_options::none,
                       ec);
  }
  if (!ok && showErrorBox) ShowErrorCode(ec ? ec.value() : EIO);
  return ok;
}

bool ShellMoveFile(const std::string& source, const std::string& target, bool allowConfirmations) {
  if (source.empty() || target.empty()) return false;
  struct stat st {};
  if (::lstat(source.c_str(), &st) != 0) return false;
  const bool rename = SameText(ExtractFilePath(source), ExtractFilePath(target));
  if (!rename) {
    const std::string dir = ExtractFileDir(target);
    if (!dir.empty() && !DirectoryExists(dir) && !ForceDirectories(dir)) return false;
  }
  if (::lstat(target.c_str(), &st) == 0 && !SameFile(source, target)) {
    if (allowConfirmations &&
        !Confirm("Die Datei \"" + target +
                 "\" ist bereits vorhanden. Möchten Sie die vorhandene Datei ersetzen?"))
      return false;
  }
  if (!MovePath(source, target)) return false;
  return ::lstat(target.c_str(), &st) == 0;
}

bool MoveFileKeepingTarget(const std::string& source, const std::string& target) {
  if (source.empty() || target.empty()) return false;
  struct stat st {};
  if (::lstat(source.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  const std::string dir = ExtractFileDir(target);
  if (!dir.empty() && !DirectoryExists(dir) && !ForceDirectories(dir)) return false;
  // A target that is the source itself (the same name, or a hard link) is
  // no other file: the rename changes only the name.
  if (SameFile(source, target)) return std::rename(source.c_str(), target.c_str()) == 0;
  // The kernel refuses an existing target in the same step as it renames, so
  // a file another program creates meanwhile is never replaced.
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno == EEXIST) return false;
  if (errno == EXDEV || errno == EINVAL || errno == ENOSYS) {
    // Another file system, or one without that kind of rename: a new link
    // is refused for an existing name too; else copy into a file that must
    // not exist yet, and remove the source.
    if (errno != EXDEV && ::link(source.c_str(), target.c_str()) == 0) {
      if (::unlink(source.c_str()) == 0) return true;
      ::unlink(target.c_str());
      return false;
    }
    if (errno == EEXIST) return false;
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::copy_file(source, target, fs::copy_options::none, ec)) {
      if (ec != std::errc::file_exists) fs::remove(target, ec);
      return false;
    }
    if (!fs::remove(source, ec)) {
      fs::remove(target, ec);
      return false;
    }
    return true;
  }
  return false;
}

std::string GetComputerNameText() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  std::string name(buf);
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  if (name.size() > 15) name.resize(15);
  return name;
}

bool IsWinNTPlatform() {
  return true;
}

bool HasComCtl6() {
  return false;
}

void GetSpecialFolder(int folder, std::string& path) {
  std::string result;
  switch (folder) {
    case CSIDL_COMMON_APPDATA:
      result = "/var/lib";
      break;
    case CSIDL_PERSONAL: {
      const std::string xdg = XdgDocumentsDir();
      if (!xdg.empty() && DirectoryExists(xdg))
        result = xdg;
      else if (DirectoryExists(HomeDir() + "/Documents"))
        result = HomeDir() + "/Documents";
      else
        result = HomeDir();
      break;
    }
    case CSIDL_APPDATA:
      result = EnvOr("XDG_CONFIG_HOME", HomeDir().empty() ? "" : HomeDir() + "/.config");
      break;
    default:
      return;
  }
  if (result.empty()) return;
  path = IncludeTrailingPathDelimiter(result);
}

std::string GetCommonDataFolder() {
  std::string result;
  GetSpecialFolder(CSIDL_COMMON_APPDATA, result);
  if (result.empty() || !DirectoryExists(result)) GetSpecialFolder(CSIDL_PERSONAL, result);
  return IncludeTrailingPathDelimiter(result);
}

std::string GetTempDir() {
  return IncludeTrailingPathDelimiter(EnvOr("TMPDIR", "/tmp"));
}

std::string GetTempFile() {
  std::string tmpl = GetTempDir() + "~XXXXXX.tmp";
  const int fd = ::mkstemps(tmpl.data(), 4);
  if (fd < 0) return {};
  ::close(fd);
  return tmpl;
}

namespace {

// Bumped in the child of every fork: a child must not hand out the random
// bytes its parent still holds, or both would make the same GUIDs.
std::atomic<unsigned> gForkGeneration{0};

void AfterForkInChild() {
  gForkGeneration.fetch_add(1, std::memory_order_relaxed);
}

// Random bytes from the kernel, fetched 4 KiB at a time: a table copy makes
// a GUID per row, and one system call per GUID costs more than the rest of
// it. Each thread has its own buffer; bytes handed out are wiped from it.
void RandomBytes(unsigned char* out, size_t n) {
  static const int registered = pthread_atfork(nullptr, nullptr, AfterForkInChild);
  (void)registered;
  struct TBuffer {
    unsigned char Bytes[4096];
    size_t Used = sizeof(Bytes);
    unsigned Generation = 0;
  };
  thread_local TBuffer buffer;
  const unsigned generation = gForkGeneration.load(std::memory_order_relaxed);
  if (buffer.Used + n > sizeof(buffer.Bytes) || buffer.Generation != generation) {
    size_t filled = 0;
    while (filled < sizeof(buffer.Bytes)) {
      const ssize_t got = getrandom(buffer.Bytes + filled, sizeof(buffer.Bytes) - filled, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "getrandom");
      }
      filled += static_cast<size_t>(got);
    }
    buffer.Used = 0;
    buffer.Generation = generation;
  }
  std::memcpy(out, buffer.Bytes + buffer.Used, n);
  std::memset(buffer.Bytes + buffer.Used, 0, n);
  buffer.Used += n;
}

}  // namespace

std::string NewGuidText() {
  unsigned char bytes[16];
  RandomBytes(bytes, sizeof(bytes));
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // the standard variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  // "{" 8-4-4-4-12 "}"; the dashes stand where the filler puts them.
  std::string text(38, '-');
  text.front() = '{';
  text.back() = '}';
  size_t pos = 1;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) ++pos;
    text[pos++] = kHex[bytes[i] >> 4];
    text[pos++] = kHex[bytes[i] & 0x0F];
  }
  return text;
}

void ListFiles(const std::string& directory, const std::string& masks, bool withPath,
               TStringList& list, bool /*withIcons*/, bool keepExtension) {
  const std::string dir = IncludeTrailingPathDelimiter(directory);
  const std::vector<std::string> entries = DirectoryEntries(dir);
  size_t start = 0;
  while (start < masks.size()) {
    size_t end = masks.find(';', start);
    if (end == std::string::npos) end = masks.size();
    const std::string mask = masks.substr(start, end - start);
    start = end + 1;
    if (mask.empty()) continue;
    for (const auto& name : entries) {
      if (!MatchesMask(name, mask)) continue;
      std::string item = withPath ? dir + name : name;
      if (!keepExtension) item = ChangeFileExt(item, "");
      list.Add(item);
    }
  }
}

int GetDriveKind(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) return dkUnknown;
  struct statfs sfs {};
  while (::statfs(p.c_str(), &sfs) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return dkUnknown;
    if (!p.has_relative_path()) return dkUnknown;
    p = p.parent_path();
  }
  switch (static_cast<uint32_t>(sfs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x01021997:  // 9P
    case 0x65735546:  // FUSE
      return dkRemote;
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
      return dkRamDisk;
    case 0x9660:      // ISO 9660
    case 0x15013346:  // UDF
      return dkCdRom;
    default:
      return dkFixed;
  }
}

}  // namespace dk
