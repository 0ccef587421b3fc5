#include "app/pending_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sys/file_paths.h"

namespace dk {

namespace {

constexpr const char* kRecordHead = "arcport5 --atomic 1\n";

[[noreturn]] void Fail(const std::string& path, const std::string& what, int error) {
  throw std::runtime_error("Die Datei \"" + path + "\" kann nicht geschrieben werden (" + what +
                           ": " + std::strerror(error) + ").");
}

// The permissions a file created with open(..., 0666) would get.
mode_t PlainFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

void SyncFolderOf(const std::string& path) {
  const std::string dir = ExtractFilePath(path);
  const int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes `bytes` to `path` through the temporary file `temp` beside it:
// written, synced, renamed over `path`. A failure leaves `path` as it was.
void ReplaceFile(const std::string& path, const std::string& temp, const std::string& bytes) {
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail(temp, "Anlegen", errno);
  const auto failWith = [&](const char* what, int error) {
    close(fd);
    unlink(temp.c_str());
    Fail(temp, what, error);
  };
  size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failWith("Schreiben", n < 0 ? errno : ENOSPC);
    off += static_cast<size_t>(n);
  }
  if (fchmod(fd, PlainFileMode()) != 0) failWith("Rechte", errno);
  if (fsync(fd) != 0) failWith("Sichern", errno);
  if (close(fd) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    Fail(temp, "Schließen", error);
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    Fail(path, "Umbenennen", error);
  }
  SyncFolderOf(path);
}

// The temporary name beside `path`: always the same, so that a placement
// killed half-way leaves at most this one file, which the next one reuses.
std::string TempBeside(const std::string& path) {
  return ExtractFilePath(path) + "~" + ExtractFileName(path) + ".atomic";
}

// The backup copy's name as a saved pick list makes it: NAME.~itm.
std::string BackupName(const std::string& path) {
  const std::string ext = ExtractFileExt(path);
  return ChangeFileExt(path, ".~" + (ext.empty() ? ext : ext.substr(1)));
}

bool ReadWhole(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  bytes = s.str();
  return static_cast<bool>(in) || in.eof();
}

void AppendField(std::string& out, const std::string& name, const std::string& value) {
  out += name + " " + std::to_string(value.size()) + "\n" + value + "\n";
}

// Reads "name SIZE\n" followed by SIZE bytes and "\n" at `pos`.
bool ReadField(const std::string& in, size_t& pos, const std::string& name, std::string& value) {
  const std::string head = name + " ";
  if (in.compare(pos, head.size(), head) != 0) return false;
  const size_t eol = in.find('\n', pos);
  if (eol == std::string::npos) return false;
  const std::string size = in.substr(pos + head.size(), eol - pos - head.size());
  if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos) return false;
  // Twenty digits could pass the range of the number; no field is that long.
  if (size.size() > 19) return false;
  const size_t n = std::stoull(size);
  // Compared with what is left, so that a size near the largest number does
  // not wrap around.
  if (n >= in.size() - eol - 1 || in[eol + 1 + n] != '\n') return false;
  value = in.substr(eol + 1, n);
  pos = eol + 1 + n + 1;
  return true;
}

}  // namespace

void TPendingFiles::Add(const std::string& path, std::string bytes, bool backup) {
  for (TFile& f : FFiles) {
    if (f.Path == path) {
      f.Bytes = std::move(bytes);
      f.Backup = f.Backup || backup;
      return;
    }
  }
  FFiles.push_back({path, std::move(bytes), backup});
}

const std::string* TPendingFiles::Find(const std::string& path) const {
  for (const TFile& f : FFiles)
    if (f.Path == path) return &f.Bytes;
  return nullptr;
}

void TPendingFiles::WriteRecord(const std::string& recordPath, const std::string& converted) const {
  std::string out = kRecordHead;
  AppendField(out, "converted", converted);
  for (const TFile& f : FFiles) {
    AppendField(out, f.Backup ? "file+backup" : "file", f.Path);
    AppendField(out, "bytes", f.Bytes);
  }
  out += "end\n";
  ReplaceFile(recordPath, recordPath + ".tmp", out);
}

TPendingFiles TPendingFiles::ReadRecord(const std::string& recordPath, std::string& converted) {
  std::string in;
  const auto damaged = [&recordPath] {
    return std::runtime_error("Die Datei \"" + recordPath +
                              "\" ist unvollständig oder beschädigt; sie wurde nicht angewendet.");
  };
  if (!ReadWhole(recordPath, in))
    throw std::runtime_error("Die Datei \"" + recordPath +
                             "\" kann nicht gelesen werden: " + std::strerror(errno));
  const std::string head = kRecordHead;
  if (in.compare(0, head.size(), head) != 0) throw damaged();
  size_t pos = head.size();
  if (!ReadField(in, pos, "converted", converted)) throw damaged();
  TPendingFiles files;
  while (in.compare(pos, 4, "end\n") != 0) {
    TFile f;
    if (ReadField(in, pos, "file+backup", f.Path))
      f.Backup = true;
    else if (!ReadField(in, pos, "file", f.Path))
      throw damaged();
    if (!ReadField(in, pos, "bytes", f.Bytes)) throw damaged();
    files.FFiles.push_back(std::move(f));
  }
  if (pos + 4 != in.size()) throw damaged();
  return files;
}

void TPendingFiles::Place() const {
  for (const TFile& f : FFiles) {
    const std::string dir = ExtractFilePath(f.Path);
    if (!dir.empty() && !DirectoryExists(dir) && !ForceDirectories(dir))
      Fail(dir, "Ordner anlegen", errno ? errno : EIO);
    std::string old;
    const bool exists = ReadWhole(f.Path, old);
    if (exists && old == f.Bytes) continue;
    if (exists && f.Backup) {
      const std::string backup = BackupName(f.Path);
      ReplaceFile(backup, TempBeside(backup), old);
    }
    ReplaceFile(f.Path, TempBeside(f.Path), f.Bytes);
  }
}

std::string PendingRecordName(const std::string& targetDb) {
  return targetDb + ".atomic";
}

TSettled SettlePendingFiles(const std::string& targetDb,
                            const std::function<std::string()>& convertedOfTarget,
                            const std::function<void(const std::string&)>& log, bool ownRun) {
  const std::string record = PendingRecordName(targetDb);
  // A record that was being written when its run ended never counted.
  unlink((record + ".tmp").c_str());
  struct stat st {};
  if (lstat(record.c_str(), &st) != 0) return TSettled::Nothing;
  std::string recorded;
  const TPendingFiles files = TPendingFiles::ReadRecord(record, recorded);
  std::string converted;
  try {
    converted = convertedOfTarget();
  } catch (const std::exception& e) {
    log("Die Datei \"" + record + "\" bleibt: ob die Zieldatenbank " +
        (ownRun ? "die Transaktion dieses Laufs" : "die Transaktion eines früheren Laufs") +
        " gespeichert hat, ist nicht festzustellen (" + e.what() +
        "). Derselbe Aufruf entscheidet es, sobald die Zieldatenbank lesbar ist.");
    return TSettled::Undecided;
  }
  if (converted != recorded) {
    // That transaction was rolled back: its files never counted.
    if (unlink(record.c_str()) != 0 && errno != ENOENT) Fail(record, "Entfernen", errno);
    SyncFolderOf(record);
    if (!ownRun)
      log("Ein früherer Lauf mit --atomic wurde vor seinem Abschluss beendet; die Zieldatenbank "
          "blieb unverändert. Seine Datei \"" +
          record + "\" ist entfernt.");
    return TSettled::Dropped;
  }
  log(ownRun ? "Die Transaktion ist trotz des Fehlers gespeichert worden (" + recorded +
                   "); die Dateien der Konvertierung werden jetzt abgelegt:"
             : "Ein früherer Lauf mit --atomic hat die Zieldatenbank konvertiert (" + recorded +
                   "), wurde aber vor dem Ablegen seiner Dateien beendet. Sie werden jetzt "
                   "abgelegt:");
  files.Place();
  for (const TPendingFiles::TFile& f : files.Files()) log("abgelegt: " + f.Path);
  if (unlink(record.c_str()) != 0 && errno != ENOENT) Fail(record, "Entfernen", errno);
  SyncFolderOf(record);
  return TSettled::Completed;
}

}  // namespace dk
