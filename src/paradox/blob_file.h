// The memo and blob file (.MB) of a Paradox table.
//
// A record keeps, for each memo, formatted memo, blob, OLE or graphic field, a
// leader (the first bytes of the value), the value's length and a pointer into
// the .MB. Short values live wholly in the leader and need no .MB; longer ones
// sit in a block of their own (type 2) or in a slot of a shared block (type 3).
// The file is opened read-only; every pointer and length is checked against
// the block it names and the size of the file before anything is read.
#pragma once

#include <cstdint>
#include <string>

namespace dk {

class TParadoxBlobFile {
 public:
  // Opens the file and checks that it starts with a header block. Raises
  // EParadoxError naming `path` when it is missing, unreadable, not a blob
  // file, or encrypted (the header block of an encrypted .MB is scrambled).
  explicit TParadoxBlobFile(const std::string& path);
  ~TParadoxBlobFile();
  TParadoxBlobFile(const TParadoxBlobFile&) = delete;
  TParadoxBlobFile& operator=(const TParadoxBlobFile&) = delete;

  const std::string& Path() const { return FPath; }
  uint64_t FileSize() const { return FFileSize; }

  // Appends the `length` bytes stored under `pointer` (both as the record
  // holds them) to `out`. `what` names the value for messages ("Feld \"Notes\"").
  // Raises EParadoxError naming this file and the fault when the pointer or
  // the length do not agree with the file.
  void Read(uint32_t pointer, uint32_t length, const std::string& what, std::string& out) const;

 private:
  [[noreturn]] void Fail(const std::string& what, const std::string& fault) const;

  std::string FPath;
  int FFd = -1;
  uint64_t FFileSize = 0;
};

}  // namespace dk
