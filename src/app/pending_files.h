// The files a conversion in one transaction (arcport5 --atomic) writes
// outside the database: the layout copy in the Layouts folder and the global
// pick lists in the common files folder.
//
// Until the transaction commits they exist only in memory, so that a run
// that fails, is stopped or is killed leaves the common files as they were.
// Just before the commit the run writes them, together with the value of the
// option "Converted" it is about to commit, into one record file beside the
// target (TPendingFiles::WriteRecord); after the commit it puts them in place
// and removes the record. A process killed between the commit and the end of
// the placement leaves the record behind: the next run on that target finds
// it and settles it before anything else (SettlePendingFiles). When the
// target holds the recorded "Converted" the commit happened and the files are
// put in place now; otherwise the transaction was rolled back and the record
// is dropped.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace dk {

class TPendingFiles {
 public:
  struct TFile {
    std::string Path;
    std::string Bytes;
    // The file's earlier content is kept as a backup copy (NAME.~ext) when
    // the new one replaces it, as a saved global pick list keeps it.
    bool Backup = false;
  };

  // Keeps `bytes` for `path`; a second file of the same path replaces the
  // first (and keeps its backup wish).
  void Add(const std::string& path, std::string bytes, bool backup);
  // The bytes kept for `path`, or nullptr.
  const std::string* Find(const std::string& path) const;
  bool Empty() const { return FFiles.empty(); }
  const std::vector<TFile>& Files() const { return FFiles; }

  // Writes the files and `converted` into the record `recordPath` (complete
  // or not at all: a temporary file, synced and renamed). Raises with a
  // message naming the file.
  void WriteRecord(const std::string& recordPath, const std::string& converted) const;
  // Reads a record; raises when it cannot be read or is not complete.
  static TPendingFiles ReadRecord(const std::string& recordPath, std::string& converted);

  // Puts every file in place: missing folders are made, each file is written
  // beside its final name, synced and renamed over it (a backup copy first
  // where asked for). A file that already holds its bytes is left alone, so
  // that placing twice changes nothing. Raises naming the file that failed.
  void Place() const;

 private:
  std::vector<TFile> FFiles;
};

// The record file of a target: the target's path with ".atomic" appended.
std::string PendingRecordName(const std::string& targetDb);

// What SettlePendingFiles did.
enum class TSettled {
  Nothing,    // no record
  Dropped,    // the record's run was not committed; the record is removed
  Completed,  // the record's run was committed; its files are now in place
  Undecided,  // the target could not be read; the record stays
};

// Settles the record on `targetDb` (see above): of an earlier run, or with
// `ownRun` of the run itself after its commit failed (an answer lost on the
// way may hide a commit that happened). `convertedOfTarget` reads the option
// "Converted" of the target ("" when absent) and raises when the target
// cannot be read. What is done is reported through `log`.
TSettled SettlePendingFiles(const std::string& targetDb,
                            const std::function<std::string()>& convertedOfTarget,
                            const std::function<void(const std::string&)>& log, bool ownRun);

}  // namespace dk
