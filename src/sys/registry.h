// The registry store: the two hives the product uses, kept as text files in the
// format of registry exports so that an administrator can export the product's
// keys on Windows and drop the file in.
//
// HKEY_LOCAL_MACHINE is HKEY_LOCAL_MACHINE.reg, HKEY_CURRENT_USER is
// HKEY_CURRENT_USER.reg, both in $DOKALON_REGISTRY_DIR when that is set;
// otherwise /etc/dokalon/HKEY_LOCAL_MACHINE.reg and
// $XDG_CONFIG_HOME/dokalon/HKEY_CURRENT_USER.reg (~/.config when unset).
//
// Reading accepts "Windows Registry Editor Version 5.00" and "REGEDIT4" files,
// in UTF-16LE with a BOM or in UTF-8 (Windows-1252 when not valid UTF-8), with
// CR LF or LF. A missing or unreadable file is an empty hive; lines that cannot
// be understood are skipped. Key and value names compare ignoring case; a key
// exists also when only keys below it are listed.
//
// Writing rewrites the whole hive atomically (temporary file, then rename) as
// "Windows Registry Editor Version 5.00" in UTF-8 with CR LF; every write
// re-reads the file first, so values written by another program meanwhile are
// kept. Writers within this process are serialised.
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

// The contents of one hive. Key paths are kept without the hive name and
// without leading or trailing backslashes, in the spelling first seen.
class THive {
 public:
  struct TKey {
    std::string Path;
    std::vector<TRegValue> Values;
  };

  // Parses an export file's bytes; `rootName` is the hive's own name
  // ("HKEY_CURRENT_USER"): keys of other hives in the file are ignored.
  static THive Parse(std::string_view bytes, std::string_view rootName);
  // The export text of the hive (UTF-8, CR LF).
  std::string Format(std::string_view rootName) const;

  bool KeyExists(std::string_view path) const;
  const TKey* FindKey(std::string_view path) const;
  TKey& CreateKey(std::string_view path);
  // Removes the key and every key below it; false when nothing was there.
  bool DeleteKey(std::string_view path);
  // Names of the keys directly below `path`.
  std::vector<std::string> SubKeyNames(std::string_view path) const;

  const std::vector<TKey>& Keys() const { return FKeys; }

 private:
  std::vector<TKey> FKeys;
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

 private:
  std::string ResolvePath(std::string_view path) const;
  void LoadHive();
  const TRegValue* FindValue(std::string_view name) const;
  void WriteValue(TRegValue value);

  TRootKey FRoot;
  THive FHive;
  bool FOpen = false;
  bool FWritable = false;
  std::string FCurrentPath;
};

}  // namespace dk
