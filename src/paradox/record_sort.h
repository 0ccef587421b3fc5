// The records of one table in the order of chosen fields, with bounded
// memory: an external merge sort of the raw records.
//
//   TPxRecordSort sort(table.Header().RecordSize, {{0, 4}, {4, 4}}, 64 << 20,
//                      "/tmp", table.Path());
//   for (bool more = table.First(); more; more = table.Next()) sort.Add(table.Record());
//   sort.Finish();
//   for (bool more = sort.First(); more; more = sort.Next()) Use(sort.Record());
//
// Records are compared by the bytes of their key parts, part after part. The
// table file stores every number, date and time so that its bytes compare in
// the order of the values (a blank value first), so the byte order is the
// value order for those types; Alpha texts come in the order of their code
// page bytes. Records with equal keys keep the order in which they were added.
//
// Up to `memoryBudget` bytes of records are sorted in memory; more are sorted
// in runs of that size, written to a temporary file in `spillDir` and merged
// while reading. The file is removed as soon as it is created, so a killed
// process leaves nothing behind. A failure to create, write or read it raises
// EParadoxError naming the directory, the table (`describe`) and the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dk {

class TPxRecordSort {
 public:
  struct TKeyPart {
    int Offset = 0;  // in the record
    int Size = 0;
  };

  TPxRecordSort(int recordSize, std::vector<TKeyPart> key, size_t memoryBudget,
                std::string spillDir, std::string describe);
  ~TPxRecordSort();
  TPxRecordSort(const TPxRecordSort&) = delete;
  TPxRecordSort& operator=(const TPxRecordSort&) = delete;

  // Before Finish.
  void Add(const uint8_t* record);
  void Finish();

  // After Finish, as often as wanted. First positions on the first record,
  // Next on the following one; both return false when there is none.
  bool First();
  bool Next();
  // The current record's bytes, valid until the cursor moves; after the last
  // record, Next keeps it on the last one.
  const uint8_t* Record() const { return FRecord; }

  uint64_t Count() const { return FCount; }
  // The runs written to the temporary file; 0 when everything fit in memory.
  size_t SpilledRuns() const { return FRuns.size(); }

 private:
  struct TRun {
    uint64_t Offset = 0;  // of its first entry in the file
    uint64_t Entries = 0;
  };
  class TMerge;

  const uint8_t* Entry(size_t index) const { return FBuffer.data() + index * FEntrySize; }
  // Puts the record's key in front of it unless the key is the record's start.
  void Pack(const uint8_t* record, uint8_t* entry) const;
  const uint8_t* Unpack(const uint8_t* entry) const { return entry + FKeyCopy; }
  // <0, 0 or >0 as the key of entry `a` sorts before, with or after `b`'s.
  int CompareKeys(const uint8_t* a, const uint8_t* b) const;
  void SortBuffer();
  void SpillBuffer();
  void OpenSpillFile();
  [[noreturn]] void Fail(const std::string& what, int error) const;

  int FRecordSize;
  std::vector<TKeyPart> FKey;
  size_t FKeySize = 0;  // bytes compared
  size_t FKeyCopy = 0;  // bytes of key stored in front of the record (0 when it is a prefix)
  size_t FEntrySize = 0;
  size_t FBudgetEntries = 0;
  std::string FSpillDir;
  std::string FDescribe;

  std::vector<uint8_t> FBuffer;  // entries of the run being gathered
  std::vector<uint32_t> FOrder;  // the sorted order of the entries in memory
  std::vector<TRun> FRuns;
  int FFd = -1;
  std::string FSpillPath;  // as created, for messages; the file is already removed
  uint64_t FSpillSize = 0;
  uint64_t FCount = 0;
  bool FFinished = false;

  size_t FPosition = 0;  // in FOrder, when nothing was spilled
  std::unique_ptr<TMerge> FMerge;
  const uint8_t* FRecord = nullptr;
  bool FAtEnd = false;  // Next went past the last record
};

}  // namespace dk
