#include "paradox/record_sort.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "paradox/paradox_error.h"

namespace dk {

namespace {

// What one run reads from the temporary file at a time.
constexpr size_t kRunReadBytes = 64 * 1024;

uint64_t BigEndian64(const uint8_t* p) {
  uint64_t v = 0;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

// The k-way merge of the spilled runs: each run has a window of its entries
// in memory; a heap keeps the runs ordered by their current entry.
class TPxRecordSort::TMerge {
 public:
  explicit TMerge(TPxRecordSort& owner) : FOwner(owner) {
    const size_t runs = owner.FRuns.size();
    // The windows together stay within the budget of the sort.
    const size_t perRun = std::max<size_t>(
        1,
        std::min(kRunReadBytes, owner.FBudgetEntries * owner.FEntrySize / runs) / owner.FEntrySize);
    FReaders.resize(runs);
    for (size_t i = 0; i < runs; ++i) {
      FReaders[i].Window.resize(perRun * owner.FEntrySize);
    }
  }

  bool Start() {
    FHeap.clear();
    for (size_t i = 0; i < FReaders.size(); ++i) {
      TReader& r = FReaders[i];
      r.Offset = FOwner.FRuns[i].Offset;
      r.Left = FOwner.FRuns[i].Entries;
      r.Pos = r.End = 0;
      if (Fill(r)) FHeap.push_back(i);
    }
    std::make_heap(FHeap.begin(), FHeap.end(), Later());
    return !FHeap.empty();
  }

  // Moves past the current entry; false when none is left.
  bool Advance() {
    std::pop_heap(FHeap.begin(), FHeap.end(), Later());
    TReader& r = FReaders[FHeap.back()];
    r.Pos += FOwner.FEntrySize;
    if (r.Pos < r.End || Fill(r))
      std::push_heap(FHeap.begin(), FHeap.end(), Later());
    else
      FHeap.pop_back();
    return !FHeap.empty();
  }

  const uint8_t* Current() const {
    const TReader& r = FReaders[FHeap.front()];
    return r.Window.data() + r.Pos;
  }

 private:
  struct TReader {
    std::vector<uint8_t> Window;
    size_t Pos = 0, End = 0;  // the entries in the window
    uint64_t Offset = 0;      // of the next entry not yet read
    uint64_t Left = 0;        // entries not yet read
  };

  // Orders the heap with the smallest entry on top; of equal entries the one
  // of the earlier run, which holds the earlier records.
  struct TLater {
    const TMerge* Merge = nullptr;
    bool operator()(size_t a, size_t b) const;
  };
  TLater Later() const { return {this}; }

  bool Fill(TReader& r) {
    if (r.Left == 0) return false;
    const size_t entries =
        static_cast<size_t>(std::min<uint64_t>(r.Left, r.Window.size() / FOwner.FEntrySize));
    const size_t bytes = entries * FOwner.FEntrySize;
    size_t done = 0;
    while (done < bytes) {
      const ssize_t n = ::pread(FOwner.FFd, r.Window.data() + done, bytes - done,
                                static_cast<off_t>(r.Offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) FOwner.Fail("kann nicht gelesen werden", n < 0 ? errno : EIO);
      done += static_cast<size_t>(n);
    }
    r.Offset += bytes;
    r.Left -= entries;
    r.Pos = 0;
    r.End = bytes;
    return true;
  }

  TPxRecordSort& FOwner;
  std::vector<TReader> FReaders;
  std::vector<size_t> FHeap;
};

bool TPxRecordSort::TMerge::TLater::operator()(size_t a, size_t b) const {
  const TReader& ra = Merge->FReaders[a];
  const TReader& rb = Merge->FReaders[b];
  const int c = Merge->FOwner.CompareKeys(ra.Window.data() + ra.Pos, rb.Window.data() + rb.Pos);
  return c != 0 ? c > 0 : a > b;
}

TPxRecordSort::TPxRecordSort(int recordSize, std::vector<TKeyPart> key, size_t memoryBudget,
                             std::string spillDir, std::string describe)
    : FRecordSize(recordSize),
      FKey(std::move(key)),
      FSpillDir(std::move(spillDir)),
      FDescribe(std::move(describe)) {
  // A key made of the record's first bytes, in order, is compared where it
  // stands; any other key is copied in front of each record.
  int prefix = 0;
  for (const TKeyPart& part : FKey) {
    if (part.Offset == prefix) prefix += part.Size;
    FKeySize += static_cast<size_t>(part.Size);
  }
  FKeyCopy = static_cast<size_t>(prefix) == FKeySize ? 0 : FKeySize;
  FEntrySize = FKeyCopy + static_cast<size_t>(FRecordSize);
  // Each entry in memory also has its place in the order.
  FBudgetEntries = std::max<size_t>(2, memoryBudget / (FEntrySize + sizeof(uint32_t)));
  FBudgetEntries = std::min<size_t>(FBudgetEntries, UINT32_MAX);
}

TPxRecordSort::~TPxRecordSort() {
  if (FFd >= 0) ::close(FFd);
}

void TPxRecordSort::Pack(const uint8_t* record, uint8_t* entry) const {
  if (FKeyCopy > 0) {
    for (const TKeyPart& part : FKey) {
      std::memcpy(entry, record + part.Offset, static_cast<size_t>(part.Size));
      entry += part.Size;
    }
  }
  std::memcpy(entry, record, static_cast<size_t>(FRecordSize));
}

void TPxRecordSort::Add(const uint8_t* record) {
  // Reserved whole, so that growing never holds two copies; pages not yet
  // written take no memory.
  if (FBuffer.capacity() == 0) FBuffer.reserve(FBudgetEntries * FEntrySize);
  if (FBuffer.size() / FEntrySize >= FBudgetEntries) SpillBuffer();
  const size_t at = FBuffer.size();
  FBuffer.resize(at + FEntrySize);
  Pack(record, FBuffer.data() + at);
  ++FCount;
}

int TPxRecordSort::CompareKeys(const uint8_t* a, const uint8_t* b) const {
  // A key of 8 bytes (two integers, FTIWID's) is compared as one number: the
  // sort of two million records then takes half the time.
  if (FKeySize == 8) {
    const uint64_t ka = BigEndian64(a), kb = BigEndian64(b);
    return ka < kb ? -1 : ka > kb ? 1 : 0;
  }
  return std::memcmp(a, b, FKeySize);
}

void TPxRecordSort::SortBuffer() {
  const size_t entries = FBuffer.size() / FEntrySize;
  FOrder.resize(entries);
  for (size_t i = 0; i < entries; ++i) FOrder[i] = static_cast<uint32_t>(i);
  // Equal keys keep the order of their records.
  std::sort(FOrder.begin(), FOrder.end(), [this](uint32_t a, uint32_t b) {
    const int c = CompareKeys(Entry(a), Entry(b));
    return c != 0 ? c < 0 : a < b;
  });
}

void TPxRecordSort::SpillBuffer() {
  if (FBuffer.empty()) return;
  if (FFd < 0) OpenSpillFile();
  SortBuffer();
  TRun run{FSpillSize, FOrder.size()};
  // Written in pieces through one window, in the sorted order.
  std::vector<uint8_t> out;
  out.reserve(std::max(kRunReadBytes, FEntrySize));
  const auto flush = [&] {
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pwrite(FFd, out.data() + done, out.size() - done,
                                 static_cast<off_t>(FSpillSize + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Fail("kann nicht geschrieben werden", n < 0 ? errno : ENOSPC);
      done += static_cast<size_t>(n);
    }
    FSpillSize += out.size();
    out.clear();
  };
  for (uint32_t i : FOrder) {
    if (out.size() + FEntrySize > out.capacity()) flush();
    out.insert(out.end(), Entry(i), Entry(i) + FEntrySize);
  }
  flush();
  FRuns.push_back(run);
  FBuffer.clear();
  FOrder.clear();
}

void TPxRecordSort::OpenSpillFile() {
  std::string path = FSpillDir;
  if (path.empty()) path = "/tmp";
  if (path.back() != '/') path += '/';
  path += "dk-sort-XXXXXX";
  FFd = ::mkostemp(path.data(), O_CLOEXEC);
  FSpillPath = path;
  if (FFd < 0) Fail("kann nicht angelegt werden", errno);
  ::unlink(path.c_str());
}

void TPxRecordSort::Fail(const std::string& what, int error) const {
  throw EParadoxError(FDescribe + ": die Zwischendatei zum Sortieren \"" + FSpillPath + "\" " +
                      what + ": " + std::strerror(error));
}

void TPxRecordSort::Finish() {
  if (FFinished) return;
  FFinished = true;
  if (FRuns.empty()) {
    SortBuffer();
    return;
  }
  SpillBuffer();
  FBuffer.shrink_to_fit();
  FOrder.shrink_to_fit();
  FMerge = std::make_unique<TMerge>(*this);
}

bool TPxRecordSort::First() {
  FAtEnd = false;
  if (FMerge) {
    FRecord = FMerge->Start() ? Unpack(FMerge->Current()) : nullptr;
  } else {
    FPosition = 0;
    FRecord = FOrder.empty() ? nullptr : Unpack(Entry(FOrder[0]));
  }
  return FRecord != nullptr;
}

bool TPxRecordSort::Next() {
  if (!FRecord || FAtEnd) return false;
  if (FMerge) {
    FAtEnd = !FMerge->Advance();
    if (!FAtEnd) FRecord = Unpack(FMerge->Current());
    return !FAtEnd;
  }
  FAtEnd = FPosition + 1 >= FOrder.size();
  if (FAtEnd) return false;
  FRecord = Unpack(Entry(FOrder[++FPosition]));
  return true;
}

}  // namespace dk
