// The registry store: the two hives the product uses, kept as text files in the
// format of registry exports so that an administrator can export the product's
// keys on Windows and drop the file in.
//
// HKEY_LOCAL_MACHINE is HKEY_LOCAL_MACHINE.reg, HKEY_CURRENT_USER is
// HKEY_CURRENT_USER.reg, both in $DOKALON_REGISTRY_DIR when that is set;
// otherwise /etc/dokalon/HKEY_LOCAL_MACHINE.reg and
// $XDG_CONFIG_HOME/dokalon/HKEY_CURRENT_USER.reg (~/.config when unset).
//
// Reading follows the rules by which the registry editor imports such a file,
// so that a hive means here what it means on Windows:
// - The first line is "Windows Registry Editor Version 5.00" or "REGEDIT4"
//   (blanks before it allowed); the file is UTF-16LE with a BOM, or UTF-8
//   (Windows-1252 when not valid UTF-8), with CR LF, LF or CR alone. A file
//   without that header is no hive: nothing of it is used. A missing file and
//   an empty one are empty hives.
// - Blank lines and lines whose first non-blank character is ';' or '#' are
//   comments. After a value, a ';' (with or without blanks before it) starts a
//   comment; '#' does not. Inside quotes ';' and '#' are data; "\\" and "\""
//   are escapes, any other backslash stands for itself.
// - A hex value continues on the next line after a trailing backslash (after
//   a comma); a ';' comment may follow the backslash. Blank lines and ';'
//   comment lines between the parts are skipped; a '#' line ends the value as
//   unreadable. A key line is never taken as a continuation.
// - "[-key]" deletes the key (and what lies below it) read so far, "name"=-
//   deletes the value; values after a deleted key, after a key line that
//   cannot be read and before the first key are not taken. A value set twice
//   keeps the last setting.
// - Key and value names compare ignoring case; a key exists also when only
//   keys below it are listed.
// A line that cannot be taken is passed over and named in the diagnostics of
// the reading (file, line number, key), which the caller reports.
//
// Writing rewrites the whole hive atomically (temporary file, then rename) as
// "Windows Registry Editor Version 5.00" in UTF-8 with CR LF; every write
// re-reads the file first, so values written by another program meanwhile are
// kept. A file that is no hive is never overwritten. Writers within this
// process are serialised.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sys/string_list.h"

namespace dk {

enum class TRootKey { LocalMachine, CurrentUser };

// Registry value types with the numbers the registry gives them.
enum class TRegDataType : uint32_t {
  None = 0,
  String = 1,        // REG_SZ
  ExpandString = 2,  // REG_EXPAND_SZ
  Binary = 3,        // REG_BINARY
  DWord = 4,         // REG_DWORD
  MultiString = 7,   // REG_MULTI_SZ
  QWord = 11,        // REG_QWORD
};

// A failed registry operation: a value that is missing or of another type, a
// key that is not open, a hive that cannot be written.
class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One value as stored: texts (String, ExpandString, MultiString with its items
// separated by '\0') are UTF-8, a DWord is its 4 little-endian bytes, anything
// else is the raw bytes.
struct TRegValue {
  std::string Name;  // empty: the key's default value ("@")
  uint32_t Type = 0;
  std::string Data;
};

// What one reading of a hive file could not take, in messages that name the
// file.
struct THiveDiagnostics {
  // Why the whole file was passed over (it is no hive, or cannot be read);
  // empty when it was used.
  std::string Unusable;
  // One message per line passed over: line number, key, why, the line.
  std::vector<std::string> Lines;
};

// The contents of one hive. Lookups of keys and values go through ordered
// maps by their case-folded names, so loading is linear in the file's size
// up to a logarithmic factor.
class THive {
 public:
  class TKey {
   public:
    // Without the hive name and without leading or trailing backslashes, in
    // the spelling first seen.
    const std::string& Path() const { return FPath; }
    // The values in the order they were first set.
    std::vector<const TRegValue*> Values() const;
    const TRegValue* FindValue(std::string_view name) const;
    // A value of the same name (ignoring case) is replaced in its place and
    // keeps its spelling.
    void SetValue(TRegValue value);
    bool DeleteValue(std::string_view name);

   private:
    friend class THive;
    struct TSlot {
      uint64_t Order;
      TRegValue Value;
    };
    std::string FPath;
    uint64_t FOrder = 0;
    uint64_t FNextValueOrder = 0;
    std::map<std::string, TSlot, std::less<>> FValues;  // by folded name
  };

  // Parses an export file's bytes; `rootName` is the hive's own name
  // ("HKEY_CURRENT_USER"): keys of other hives in the file are ignored.
  // Lines passed over are described in `problems` (without the file name:
  // "Zeile 7, Schlüssel ...: why: line"); `unusable` is set to why the file
  // is no hive when it is none (the hive is then empty).
  static THive Parse(std::string_view bytes, std::string_view rootName,
                     std::vector<std::string>* problems = nullptr, std::string* unusable = nullptr);
  // The export text of the hive (UTF-8, CR LF).
  std::string Format(std::string_view rootName) const;

  bool KeyExists(std::string_view path) const;
  const TKey* FindKey(std::string_view path) const;
  TKey& CreateKey(std::string_view path);
  // Removes the key and every key below it; false when nothing was there.
  bool DeleteKey(std::string_view path);
  // Names of the keys directly below `path`.
  std::vector<std::string> SubKeyNames(std::string_view path) const;
  size_t KeyCount() const { return FKeys.size(); }

 private:
  uint64_t FNextKeyOrder = 0;
  std::map<std::string, TKey, std::less<>> FKeys;  // by folded path
};

// The file that holds a hive.
std::string HiveFileName(TRootKey root);
std::string_view RootKeyName(TRootKey root);

// Access to one hive in the manner of the system's registry object: open a key
// (for reading without creating it, or for writing with creation), read and
// write its values, close it. Reads see the hive as it was when the key was
// opened.
class TRegistry {
 public:
  explicit TRegistry(TRootKey root = TRootKey::CurrentUser);
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  TRootKey RootKey() const { return FRoot; }
  void SetRootKey(TRootKey root);

  // Paths are relative to the open key unless they begin with "\" (or no key
  // is open). Both return false instead of raising.
  bool KeyExists(std::string_view path);
  bool OpenKeyReadOnly(std::string_view path);
  // Opens a key for writing; a missing key is created (written to the hive at
  // once) when `canCreate` is true, else the open fails.
  bool OpenKey(std::string_view path, bool canCreate);
  void CloseKey();
  bool HasCurrentKey() const { return FOpen; }
  const std::string& CurrentPath() const { return FCurrentPath; }

  bool ValueExists(std::string_view name) const;
  TRegDataType GetDataType(std::string_view name) const;
  void GetValueNames(TStringList& names) const;
  void GetKeyNames(TStringList& names) const;

  // The readers raise ERegistryException when the value is missing or of a
  // type they do not read: ReadString takes String and ExpandString values,
  // ReadInteger and ReadBool DWord values, ReadBinaryData any value.
  std::string ReadString(std::string_view name) const;
  int ReadInteger(std::string_view name) const;
  bool ReadBool(std::string_view name) const;
  std::string ReadBinaryData(std::string_view name) const;

  // The writers need a key opened with OpenKey; each one rewrites the hive
  // file and raises ERegistryException when that fails.
  void WriteString(std::string_view name, std::string_view value);
  void WriteExpandString(std::string_view name, std::string_view value);
  void WriteInteger(std::string_view name, int value);
  void WriteBool(std::string_view name, bool value) { WriteInteger(name, value ? 1 : 0); }
  void WriteBinaryData(std::string_view name, std::string_view bytes);
  bool DeleteValue(std::string_view name);
  // Deletes a key with everything below it (path rules as for OpenKey).
  bool DeleteKey(std::string_view path);

  // What the last reading of the hive file could not take.
  const THiveDiagnostics& Diagnostics() const { return FDiagnostics; }

 private:
  std::string ResolvePath(std::string_view path) const;
  void LoadHive();
  const TRegValue* FindValue(std::string_view name) const;
  void WriteValue(TRegValue value);

  TRootKey FRoot;
  THive FHive;
  THiveDiagnostics FDiagnostics;
  bool FOpen = false;
  bool FWritable = false;
  std::string FCurrentPath;
};

}  // namespace dk
