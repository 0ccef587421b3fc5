// A look at the target archive before the conversion touches it.
//
// The archive component opens any SQLite file and fails later, in the middle
// of the work, with a message about a table or a lock. These checks name the
// real cause first and say what to do; they read the file only. A connection
// settings file (".dkcs") is probed through the database it names.
#pragma once

#include <string>
#include <vector>

namespace dk {

struct TTargetProbe {
  // The file starts with the SQLite header, or is a connection settings
  // file; the other members are filled only then.
  bool IsDatabase = false;
  // Another program holds a lock that keeps this run from writing (or, for a
  // read-only probe, from reading).
  bool Locked = false;
  // The first archive table the file lacks, or "".
  std::string MissingTable;
  // The value of the option "Converted" (the stamp of the earlier run), or ""
  // when the archive was not converted yet.
  std::string Converted;
  // The columns of the target DOCUMENT, upper case.
  std::vector<std::string> DocumentColumns;
  // The rows of the target DOCUMENT.
  long long Documents = 0;
  // The value of the option "LayoutFile", or "".
  std::string LayoutFile;
  // The connection string the archive opens the target with (its dialect
  // decides the column types of the legacy columns).
  std::string ConnectionString;
  // A read failure other than a lock (damaged file), or "".
  std::string Error;
};

// The tables a conversion reads or writes, in the order it first needs them.
const std::vector<std::string>& ConversionTables();

// Probes the SQLite file `path`, waiting up to `lockWaitMs` for a lock to go.
// With `forWriting`, the probe also asks for the write lock (and gives it back
// at once; nothing is written); otherwise the file is opened read-only. For a
// connection settings file the database it names is opened and read (a
// failure to connect is the probe's Error; locks are not asked for).
TTargetProbe ProbeTarget(const std::string& path, bool forWriting, int lockWaitMs);

// The messages of the refusals and probe findings, each naming the path.
std::string TargetIsDirectoryText(const std::string& path);
std::string SourceIsFileText(const std::string& path);
std::string TargetFolderNotWritableText(const std::string& folder, const std::string& target);
std::string TargetLockedText(const std::string& path);
// The line after the error of a run that met the target locked for longer than
// the data layer waits.
std::string TargetLockedDuringRunText(const std::string& path);
std::string MissingArchiveTableText(const std::string& path, const std::string& table);
std::string AlreadyConvertedText(const std::string& path, const std::string& converted);

// What an earlier run of the conversion that did not finish leaves in the
// target, each as a short phrase; empty for a target a conversion may start
// on. Only what no fresh archive holds counts: documents in DOCUMENT, the
// option LayoutFile naming the copy of the layout the conversion makes for
// this target (its name with a number before ".lay"), and MYNAMES while the
// legacy DOCUMENT has NAMES (the conversion adds it under that name).
// Legacy columns the target has already do not count: the product's own
// archives may define them, and the conversion passes them over.
// `legacyColumns`: the columns of the legacy DOCUMENT, upper case.
std::vector<std::string> PartlyConvertedSigns(const TTargetProbe& probe, const std::string& path,
                                              const std::vector<std::string>& legacyColumns);
std::string PartlyConvertedText(const std::string& path, const std::vector<std::string>& signs);
// What the user can do with a target that a conversion left unfinished.
std::string RedoConversionAdvice();

}  // namespace dk
