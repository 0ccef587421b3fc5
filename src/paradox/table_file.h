// One Paradox table file (.DB): its header, its field descriptors and a cursor
// over its records.
//
// The file is opened read-only and never locked, written or renamed. All
// levels are read: Paradox 3.0 and 3.5 (DOS), 4.x, 5.x and 7 (the format of
// Paradox 7 to 11). Records come in the order of the data-block chain, which is
// primary-key order for keyed tables; no index file is needed. Only one block
// is held in memory at a time, so memory does not depend on the table's size.
//
// Every fault of the file (not a table, an encrypted table, a header that
// contradicts itself or the file, a block pointer out of range, a loop in the
// chain, a block cut off by the end of the file) raises EParadoxError with the
// file's path and the fault; nothing is read past the end of the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "paradox/paradox_error.h"
#include "sys/field_type.h"
#include "sys/text.h"

namespace dk {

// Paradox field type codes as stored in the field descriptors.
enum TPxFieldCode : uint8_t {
  pxAlpha = 0x01,
  pxDate = 0x02,
  pxShort = 0x03,
  pxLong = 0x04,
  pxCurrency = 0x05,
  pxNumber = 0x06,
  pxLogical = 0x09,
  pxMemo = 0x0C,
  pxBlob = 0x0D,
  pxFmtMemo = 0x0E,
  pxOle = 0x0F,
  pxGraphic = 0x10,
  pxTime = 0x14,
  pxTimestamp = 0x15,
  pxAutoInc = 0x16,
  pxBcd = 0x17,
  pxBytes = 0x18,
};

// The type letter Paradox shows for a field code ('A', 'D', '#', ...); '?' for
// a code it does not know.
char PxFieldLetter(uint8_t code);
// True for the codes whose value may live in the .MB file (M, B, F, O, G).
bool PxIsBlobCode(uint8_t code);

struct TPxFieldDef {
  std::string Name;  // decoded from the table's code page
  uint8_t Code = 0;  // TPxFieldCode, or an unknown code
  int SizeByte = 0;  // the descriptor's size byte (BCD: decimal places)
  int Offset = 0;    // offset in the record
  int Size = 0;      // bytes in the record
  TFieldType DataType = ftUnknown;
  int DataSize = 0;                             // the size a dataset reports: Alpha/Bytes length,
                                                // BCD decimal places, blob leader length, else 0
  int LeaderSize() const { return Size - 10; }  // blob types only
};

struct TPxHeader {
  int RecordSize = 0;
  int HeaderSize = 0;
  int FileType = 0;  // 0 keyed, 2 unkeyed
  int BlockSizeCode = 0;
  int BlockSize = 0;
  uint32_t NumRecords = 0;  // as the header says; the chain decides
  int FileBlocks = 0;
  int FirstBlock = 0;
  int LastBlock = 0;
  int NumFields = 0;
  int PrimaryKeyFields = 0;
  int FileVersionId = 0;   // byte 0x39: 3 = 3.0, 4 = 3.5, 5..9 = 4.x, 10/11 = 5.x, 12 = 7
  int HeaderCodePage = 0;  // 0 when the header has none (levels 3.x) or says 0
  uint32_t AutoIncValue = 0;
  int FirstFreeBlock = 0;  // head of the list of free blocks, 0 when there is none
  bool Encrypted = false;
};

// What a walk over every block header of a table found (Inspect). Reading
// rows never depends on it unless the table is read salvaged.
struct TPxChainReport {
  uint32_t HeaderRows = 0;  // the record count of the header
  uint64_t ChainRows = 0;   // records on the chain up to its first fault
  // Records a salvaged read returns: those of the chain, whole records of a
  // block cut off by the end of the file, and those of the blocks outside the
  // chain that come back (OutsideBlocks, OutsideRows).
  uint64_t SalvageRows = 0;
  int OutsideBlocks = 0;
  uint64_t OutsideRows = 0;
  std::vector<std::string> Faults;  // what is wrong with the blocks, without the path
  // The header's size reaches into the data: no block can be found, nothing
  // is salvaged.
  bool HeaderBroken = false;
  // Faults, or a header count that differs from the chain.
  bool Damaged() const { return !Faults.empty() || HeaderRows != ChainRows; }
  // "der Tabellenkopf nennt 200 Datensätze, die Blockkette enthält 60; ..."
  std::string Text() const;
};

class TParadoxTableFile {
 public:
  // Opens `path` and reads its header. `codePage` overrides the code page of
  // the header; 0 takes the header's, or for a header without one (or 0)
  // 437 on levels 3.x, which are DOS tables, and 1252 otherwise. An encrypted
  // table opens (its header is in clear text) but refuses to be read.
  explicit TParadoxTableFile(const std::string& path, int codePage = 0);
  ~TParadoxTableFile();
  TParadoxTableFile(const TParadoxTableFile&) = delete;
  TParadoxTableFile& operator=(const TParadoxTableFile&) = delete;

  const std::string& Path() const { return FPath; }
  const TPxHeader& Header() const { return FHeader; }
  const std::vector<TPxFieldDef>& Fields() const { return FFields; }
  uint64_t FileSize() const { return FFileSize; }
  // The code page in effect for names, Alpha and memo values.
  int CodePage() const { return FCodePage->Number(); }
  const TCodePage& Decoder() const { return *FCodePage; }
  bool HasBlobFields() const;
  // "3.0", "3.5", "4.0", "5.0" or "7.0".
  std::string VersionText() const;

  // Raises EParadoxError for a table whose records cannot be read (encrypted).
  void CheckReadable() const;

  // Walks the whole block chain, checking every block, and returns the number
  // of records in it. Reads 6 bytes per block.
  uint64_t CountRecords() const;

  // Walks every block header of the file, the chain first, without reading
  // a record, and reports what does not fit together: a chain that ends or
  // breaks before the block the header names as its last, a block whose
  // predecessor field names another block than the one that leads to it (a
  // zeroed block), a pointer out of range, a loop, a block cut off by the end
  // of the file, blocks with records outside the chain and the free list, a
  // header count other than the chain's. Never fails for a block; raises for
  // an encrypted table. Reads 6 bytes per block.
  //
  // A salvaged read takes the chain up to its first fault and then the blocks
  // outside it whose header is sound: at least one record declared in a valid
  // way, a predecessor field that names another block of the table that is
  // not on the free list. Blocks on the free list, blocks declaring no record
  // and blocks without a predecessor (only the first block of the chain has
  // none, and the header names it) are left: they hold stale rows that were
  // deleted or moved. Bytes past a block's last record are never read.
  TPxChainReport Inspect() const;
  // From now on the cursor reads what Inspect's salvage takes, chain blocks
  // first, then the blocks outside it one run of linked blocks after the
  // other. Returns the report.
  TPxChainReport ReadSalvaged();

  // The record cursor. First positions on the first record and Next on the
  // following one; both return false when there is none (Next then stays on
  // the last record). Record points at the current record's RecordSize bytes
  // and stays valid until the cursor moves.
  bool First();
  bool Next();
  const uint8_t* Record() const { return FRecord; }

  // Raises EParadoxError naming this file.
  [[noreturn]] void Fail(const std::string& fault) const;

 private:
  struct TBlockHead {
    int Next = 0;
    int Count = 0;
  };
  void ReadHeader();
  void ParseFields(const std::vector<uint8_t>& head);
  uint64_t BlockOffset(int block) const;
  TBlockHead CheckBlockHead(int block, const uint8_t* head6) const;
  void CheckChainStep(int from, int block, std::vector<uint64_t>& visited) const;
  bool LoadBlock(int block);
  bool AdvanceBlock();
  struct TSalvageBlock {
    int Block = 0;
    int Count = 0;
  };
  TPxChainReport Walk(std::vector<TSalvageBlock>* order) const;
  void LoadSalvageBlock(const TSalvageBlock& b);

  std::string FPath;
  int FFd = -1;
  uint64_t FFileSize = 0;
  TPxHeader FHeader;
  std::vector<TPxFieldDef> FFields;
  const TCodePage* FCodePage = nullptr;
  size_t FDataInHeader = 0;  // first byte behind the header's fields that is not padding

  std::vector<uint8_t> FBlock;     // the block of the current record
  std::vector<uint8_t> FSpare;     // the block being read
  std::vector<uint64_t> FVisited;  // one bit per block number, against loops
  int FBlockNo = 0;
  int FBlockNext = 0;
  int FBlockCount = 0;
  int FIndex = 0;
  const uint8_t* FRecord = nullptr;
  bool FSalvage = false;
  std::vector<TSalvageBlock> FSalvageOrder;
  size_t FSalvagePos = 0;
};

// The decoder of a code page, built once per process and shared. Raises
// EParadoxError when the platform does not know the code page.
const TCodePage& PxCodePage(int codePage);

}  // namespace dk
