#include "paradox/table_file.h"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include "paradox/file_io.h"

namespace dk {

namespace {

uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr int kFixedHeader = 0x58;
constexpr int kExtendedHeader = 0x78;

// Size in the record and dataset type of each known code; 0 = taken from the
// descriptor's size byte.
struct TCodeInfo {
  uint8_t Code;
  char Letter;
  int FixedSize;
  TFieldType DataType;
};
constexpr TCodeInfo kCodes[] = {
    {pxAlpha, 'A', 0, ftString},      {pxDate, 'D', 4, ftDate},
    {pxShort, 'S', 2, ftSmallint},    {pxLong, 'I', 4, ftInteger},
    {pxCurrency, '$', 8, ftCurrency}, {pxNumber, 'N', 8, ftFloat},
    {pxLogical, 'L', 1, ftBoolean},   {pxMemo, 'M', 0, ftMemo},
    {pxBlob, 'B', 0, ftBlob},         {pxFmtMemo, 'F', 0, ftFmtMemo},
    {pxOle, 'O', 0, ftParadoxOle},    {pxGraphic, 'G', 0, ftGraphic},
    {pxTime, 'T', 4, ftTime},         {pxTimestamp, '@', 8, ftDateTime},
    {pxAutoInc, '+', 4, ftAutoInc},   {pxBcd, '#', 17, ftBCD},
    {pxBytes, 'Y', 0, ftBytes},
};

const TCodeInfo* CodeInfo(uint8_t code) {
  for (const auto& info : kCodes)
    if (info.Code == code) return &info;
  return nullptr;
}

std::string Hex2(int v) {
  static const char* digits = "0123456789ABCDEF";
  std::string s = "0x";
  s += digits[(v >> 4) & 15];
  s += digits[v & 15];
  return s;
}

std::string FileTypeText(int type) {
  switch (type) {
    case 1:
      return "Primärindex (.PX)";
    case 3:
    case 5:
    case 6:
    case 8:
      return "Sekundärindex (.Xnn)";
    case 4:
    case 7:
      return "Sekundärindex (.Ynn)";
    default:
      return "unbekannter Dateityp";
  }
}

}  // namespace

char PxFieldLetter(uint8_t code) {
  const TCodeInfo* info = CodeInfo(code);
  return info ? info->Letter : '?';
}

bool PxIsBlobCode(uint8_t code) {
  return code == pxMemo || code == pxBlob || code == pxFmtMemo || code == pxOle ||
         code == pxGraphic;
}

const TCodePage& PxCodePage(int codePage) {
  static std::mutex lock;
  static std::map<int, std::unique_ptr<TCodePage>> pages;
  std::lock_guard<std::mutex> guard(lock);
  auto it = pages.find(codePage);
  if (it != pages.end()) return *it->second;
  std::unique_ptr<TCodePage> page;
  try {
    if (codePage <= 0) throw std::runtime_error("");
    page = std::make_unique<TCodePage>(codePage);
  } catch (const std::exception&) {
    throw EParadoxError("Codepage " + std::to_string(codePage) +
                        " wird auf dieser Plattform nicht unterstützt");
  }
  return *pages.emplace(codePage, std::move(page)).first->second;
}

TParadoxTableFile::TParadoxTableFile(const std::string& path, int codePage) : FPath(path) {
  FFd = PxOpenReadOnly(path, FFileSize);
  try {
    ReadHeader();
    int cp = codePage;
    if (cp <= 0) cp = FHeader.HeaderCodePage;
    if (cp <= 0) cp = FHeader.FileVersionId <= 4 ? 437 : 1252;
    try {
      FCodePage = &PxCodePage(cp);
    } catch (const EParadoxError& e) {
      Fail(e.what());
    }
    std::vector<uint8_t> head(static_cast<size_t>(FHeader.HeaderSize));
    PxReadAt(FFd, FPath, head.data(), head.size(), 0);
    ParseFields(head);
  } catch (...) {
    ::close(FFd);
    throw;
  }
  FVisited.assign(65536 / 64, 0);
}

TParadoxTableFile::~TParadoxTableFile() {
  if (FFd >= 0) ::close(FFd);
}

void TParadoxTableFile::Fail(const std::string& fault) const {
  throw EParadoxError(FPath + ": " + fault);
}

void TParadoxTableFile::ReadHeader() {
  if (FFileSize < kFixedHeader)
    Fail("keine Paradox-Tabelle: die Datei ist mit " + std::to_string(FFileSize) +
         " Bytes zu kurz für einen Tabellenkopf");
  uint8_t h[kExtendedHeader] = {};
  const size_t want =
      FFileSize < kExtendedHeader ? static_cast<size_t>(FFileSize) : kExtendedHeader;
  PxReadAt(FFd, FPath, h, want, 0);

  TPxHeader& x = FHeader;
  x.RecordSize = U16(h + 0x00);
  x.HeaderSize = U16(h + 0x02);
  x.FileType = h[0x04];
  x.BlockSizeCode = h[0x05];
  x.NumRecords = U32(h + 0x06);
  x.FileBlocks = U16(h + 0x0C);
  x.FirstBlock = U16(h + 0x0E);
  x.LastBlock = U16(h + 0x10);
  x.NumFields = U16(h + 0x21);
  x.PrimaryKeyFields = U16(h + 0x23);
  x.FileVersionId = h[0x39];
  x.AutoIncValue = U32(h + 0x49);
  x.FirstFreeBlock = U16(h + 0x4D);

  if (x.FileType != 0 && x.FileType != 2) {
    if (x.FileType <= 8)
      Fail("keine Paradox-Tabelle, sondern eine Indexdatei: " + FileTypeText(x.FileType));
    Fail("keine Paradox-Tabelle: unbekannter Dateityp " + Hex2(x.FileType));
  }
  if (x.FileVersionId < 3 || x.FileVersionId > 12)
    Fail("keine Paradox-Tabelle oder unbekannte Version: Versionskennung " + Hex2(x.FileVersionId));
  const bool extended = x.FileVersionId >= 5;
  const int minHeader = extended ? kExtendedHeader : kFixedHeader;
  if (x.HeaderSize < minHeader || static_cast<uint64_t>(x.HeaderSize) > FFileSize)
    Fail("ungültiger Tabellenkopf: Kopfgröße " + std::to_string(x.HeaderSize) +
         " passt nicht zur Datei (" + std::to_string(FFileSize) + " Bytes)");
  if (x.BlockSizeCode < 1 || x.BlockSizeCode > 32)
    Fail("ungültiger Tabellenkopf: Blockgröße " + std::to_string(x.BlockSizeCode) +
         " KiB (erlaubt sind 1 bis 32)");
  x.BlockSize = x.BlockSizeCode * 1024;
  if (x.RecordSize < 1 || x.RecordSize > x.BlockSize - 6)
    Fail("ungültiger Tabellenkopf: Datensatzlänge " + std::to_string(x.RecordSize) +
         " passt nicht in einen Block von " + std::to_string(x.BlockSize) + " Bytes");
  if (x.NumFields < 1 || x.NumFields > 255)
    Fail("ungültiger Tabellenkopf: Feldanzahl " + std::to_string(x.NumFields));
  if (x.FirstBlock > x.FileBlocks || x.LastBlock > x.FileBlocks)
    Fail("ungültiger Tabellenkopf: erster/letzter Block " + std::to_string(x.FirstBlock) + "/" +
         std::to_string(x.LastBlock) + ", aber nur " + std::to_string(x.FileBlocks) + " Blöcke");

  const uint32_t crypt1 = U32(h + 0x25);
  if (!extended) {
    x.Encrypted = crypt1 != 0;
  } else {
    const uint32_t crypt2 = U32(h + 0x5C);
    x.Encrypted = crypt2 != 0 || (crypt1 != 0 && crypt1 != 0xFF00FF00u);
    x.HeaderCodePage = U16(h + 0x6A);
  }
}

void TParadoxTableFile::ParseFields(const std::vector<uint8_t>& head) {
  const TPxHeader& x = FHeader;
  const int n = x.NumFields;
  const size_t base = x.FileVersionId >= 5 ? kExtendedHeader : kFixedHeader;
  const size_t tableNameLen = x.FileVersionId >= 12 ? 261 : 79;
  if (base + 2 * static_cast<size_t>(n) > head.size())
    Fail("ungültiger Tabellenkopf: die Feldbeschreibungen reichen über den Kopf hinaus");
  FFields.resize(static_cast<size_t>(n));
  int offset = 0;
  for (int i = 0; i < n; ++i) {
    TPxFieldDef& f = FFields[static_cast<size_t>(i)];
    f.Code = head[base + 2 * static_cast<size_t>(i)];
    f.SizeByte = head[base + 2 * static_cast<size_t>(i) + 1];
    const TCodeInfo* info = CodeInfo(f.Code);
    const std::string which = "Feld " + std::to_string(i + 1);
    if (!info) {
      // An unknown type is kept as raw bytes of the descriptor's size, so the
      // other fields still read; a size of 0 leaves nothing to go by.
      if (f.SizeByte == 0)
        Fail("ungültiger Tabellenkopf: " + which + " hat den unbekannten Typ " + Hex2(f.Code));
      f.Size = f.SizeByte;
      f.DataType = ftUnknown;
    } else if (f.Code == pxBcd) {
      if (f.SizeByte > 32)
        Fail("ungültiger Tabellenkopf: " + which + " (BCD) hat " + std::to_string(f.SizeByte) +
             " Nachkommastellen (höchstens 32)");
      f.Size = 17;
      f.DataSize = f.SizeByte;
    } else if (info->FixedSize != 0) {
      if (f.SizeByte != info->FixedSize)
        Fail("ungültiger Tabellenkopf: " + which + " (Typ " + info->Letter + ") hat die Größe " +
             std::to_string(f.SizeByte) + " statt " + std::to_string(info->FixedSize));
      f.Size = info->FixedSize;
    } else if (PxIsBlobCode(f.Code)) {
      if (f.SizeByte < 10)
        Fail("ungültiger Tabellenkopf: " + which + " (Typ " + info->Letter + ") hat die Größe " +
             std::to_string(f.SizeByte) + " (mindestens 10)");
      f.Size = f.SizeByte;
      f.DataSize = f.SizeByte - 10;
    } else {
      if (f.SizeByte == 0)
        Fail("ungültiger Tabellenkopf: " + which + " (Typ " + info->Letter + ") hat die Größe 0");
      f.Size = f.SizeByte;
      f.DataSize = f.SizeByte;
    }
    if (info) f.DataType = info->DataType;
    f.Offset = offset;
    offset += f.Size;
  }
  if (offset != x.RecordSize)
    Fail("ungültiger Tabellenkopf: Datensatzlänge " + std::to_string(x.RecordSize) +
         ", die Felder ergeben aber " + std::to_string(offset) + " Bytes");

  size_t pos = base + 6 * static_cast<size_t>(n) + 4 + tableNameLen;
  for (int i = 0; i < n; ++i) {
    const size_t start = pos;
    while (pos < head.size() && head[pos] != 0) ++pos;
    if (pos >= head.size())
      Fail("ungültiger Tabellenkopf: die Feldnamen reichen über den Kopf hinaus");
    FFields[static_cast<size_t>(i)].Name = FCodePage->Decode(
        std::string_view(reinterpret_cast<const char*>(head.data() + start), pos - start));
    ++pos;
  }
  // Behind the names: the field numbers and the sort order's name (levels 4
  // and later), then zeros up to the header size. Anything else there means
  // the header size reaches into the data blocks.
  if (x.FileVersionId >= 5) pos += 2 * static_cast<size_t>(n);
  while (pos < head.size() && head[pos] != 0) ++pos;
  for (; pos < head.size(); ++pos)
    if (head[pos] != 0) {
      FDataInHeader = pos;
      break;
    }
}

bool TParadoxTableFile::HasBlobFields() const {
  for (const auto& f : FFields)
    if (PxIsBlobCode(f.Code)) return true;
  return false;
}

std::string TParadoxTableFile::VersionText() const {
  const int v = FHeader.FileVersionId;
  if (v == 3) return "3.0";
  if (v == 4) return "3.5";
  if (v <= 9) return "4.0";
  if (v <= 11) return "5.0";
  return "7.0";
}

void TParadoxTableFile::CheckReadable() const {
  if (FHeader.Encrypted)
    Fail(
        "die Tabelle ist verschlüsselt (kennwortgeschützt); verschlüsselte Tabellen werden nicht "
        "gelesen");
}

uint64_t TParadoxTableFile::BlockOffset(int block) const {
  return static_cast<uint64_t>(FHeader.HeaderSize) +
         static_cast<uint64_t>(block - 1) * static_cast<uint64_t>(FHeader.BlockSize);
}

void TParadoxTableFile::CheckChainStep(int from, int block, std::vector<uint64_t>& visited) const {
  const std::string origin =
      from == 0 ? std::string("der Tabellenkopf") : "Block " + std::to_string(from);
  if (block > FHeader.FileBlocks)
    Fail("Blockkette beschädigt: " + origin + " verweist auf Block " + std::to_string(block) +
         ", die Tabelle hat nur " + std::to_string(FHeader.FileBlocks) + " Blöcke");
  uint64_t& word = visited[static_cast<size_t>(block) / 64];
  const uint64_t bit = uint64_t{1} << (block % 64);
  if (word & bit)
    Fail("Blockkette beschädigt: " + origin + " verweist erneut auf Block " +
         std::to_string(block) + " (Schleife)");
  word |= bit;
}

TParadoxTableFile::TBlockHead TParadoxTableFile::CheckBlockHead(int block,
                                                                const uint8_t* head6) const {
  const int recSize = FHeader.RecordSize;
  const int addDataSize = static_cast<int16_t>(U16(head6 + 4));
  if (addDataSize < -recSize || addDataSize > FHeader.BlockSize - 6 - recSize ||
      addDataSize % recSize != 0)
    Fail("Block " + std::to_string(block) + " beschädigt: ungültige Datenlänge " +
         std::to_string(addDataSize) + " (Datensatzlänge " + std::to_string(recSize) +
         ", Blockgröße " + std::to_string(FHeader.BlockSize) + ")");
  TBlockHead r;
  r.Next = U16(head6);
  r.Count = addDataSize / recSize + 1;
  const uint64_t end = BlockOffset(block) + 6 + static_cast<uint64_t>(r.Count) * recSize;
  if (end > FFileSize)
    Fail("Datei abgeschnitten: Block " + std::to_string(block) + " endet bei Byte " +
         std::to_string(end) + ", die Datei hat nur " + std::to_string(FFileSize) + " Bytes");
  return r;
}

uint64_t TParadoxTableFile::CountRecords() const {
  CheckReadable();
  if (FHeader.FileBlocks == 0 || FHeader.FirstBlock == 0) return 0;
  std::vector<uint64_t> visited(65536 / 64, 0);
  uint64_t total = 0;
  int from = 0;
  for (int block = FHeader.FirstBlock; block != 0;) {
    CheckChainStep(from, block, visited);
    const uint64_t offset = BlockOffset(block);
    if (offset + 6 > FFileSize)
      Fail("Datei abgeschnitten: Block " + std::to_string(block) + " beginnt bei Byte " +
           std::to_string(offset) + ", die Datei hat nur " + std::to_string(FFileSize) + " Bytes");
    uint8_t head6[6];
    PxReadAt(FFd, FPath, head6, 6, offset);
    const TBlockHead h = CheckBlockHead(block, head6);
    total += static_cast<uint64_t>(h.Count);
    from = block;
    block = h.Next;
  }
  return total;
}

std::string TPxChainReport::Text() const {
  std::string s = "der Tabellenkopf nennt " + std::to_string(HeaderRows) +
                  " Datensätze, die Blockkette enthält " + std::to_string(ChainRows);
  for (const std::string& fault : Faults) s += "; " + fault;
  return s;
}

TPxChainReport TParadoxTableFile::Walk(std::vector<TSalvageBlock>* order) const {
  CheckReadable();
  TPxChainReport r;
  r.HeaderRows = FHeader.NumRecords;
  const int blocks = FHeader.FileBlocks;
  const int recSize = FHeader.RecordSize;
  const auto n = [](uint64_t v) { return std::to_string(v); };

  if (FDataInHeader != 0) {
    // Blocks read from the wrong place would be garbage: nothing is salvaged.
    r.Faults.push_back("Tabellenkopf beschädigt: die Kopfgröße " + n(FHeader.HeaderSize) +
                       " reicht in die Daten, ab Byte " + n(FDataInHeader) +
                       " steht dort kein Kopf mehr");
    r.HeaderBroken = true;
    return r;
  }
  const uint64_t claimed =
      static_cast<uint64_t>(FHeader.HeaderSize) + static_cast<uint64_t>(blocks) * FHeader.BlockSize;
  // The last block may be shorter on disk than a whole block (seen in real
  // tables); more than that is missing.
  if (blocks > 0 && claimed > FFileSize + static_cast<uint64_t>(FHeader.BlockSize))
    r.Faults.push_back("die Datei hat nur " + n(FFileSize) + " Bytes, Kopfgröße " +
                       n(FHeader.HeaderSize) + " und " + n(blocks) + " Blöcke zu " +
                       n(FHeader.BlockSize) + " Bytes verlangen " + n(claimed) +
                       " (abgeschnitten oder Kopfgröße beschädigt)");

  struct TRaw {
    bool Present = false;
    int Next = 0, Prev = 0, Add = 0;
  };
  std::vector<TRaw> raw(static_cast<size_t>(blocks) + 1);
  for (int b = 1; b <= blocks; ++b) {
    const uint64_t offset = BlockOffset(b);
    if (offset + 6 > FFileSize) break;
    uint8_t h[6];
    PxReadAt(FFd, FPath, h, 6, offset);
    raw[static_cast<size_t>(b)] = {true, U16(h), U16(h + 2), static_cast<int16_t>(U16(h + 4))};
  }
  // The records a block declares (-1 for an invalid length) and how many of
  // them lie wholly inside the file.
  const auto declared = [&](int b) {
    const int add = raw[static_cast<size_t>(b)].Add;
    if (add < -recSize || add > FHeader.BlockSize - 6 - recSize || add % recSize != 0) return -1;
    return add / recSize + 1;
  };
  const auto fitting = [&](int b) {
    const uint64_t fit = (FFileSize - BlockOffset(b) - 6) / static_cast<uint64_t>(recSize);
    return static_cast<int>(std::min<uint64_t>(fit, std::numeric_limits<int>::max()));
  };

  enum : char { kNone, kChain, kFree, kOutside };
  std::vector<char> state(static_cast<size_t>(blocks) + 1, kNone);
  int from = 0;
  int block = blocks == 0 ? 0 : FHeader.FirstBlock;
  while (block != 0) {
    const std::string origin = from == 0 ? std::string("der Tabellenkopf") : "Block " + n(from);
    if (block > blocks) {
      r.Faults.push_back("Blockkette beschädigt: " + origin + " verweist auf Block " + n(block) +
                         ", die Tabelle hat nur " + n(blocks) + " Blöcke");
      break;
    }
    if (state[static_cast<size_t>(block)] != kNone) {
      r.Faults.push_back("Blockkette beschädigt: " + origin + " verweist erneut auf Block " +
                         n(block) + " (Schleife)");
      break;
    }
    const TRaw& h = raw[static_cast<size_t>(block)];
    if (!h.Present) {
      r.Faults.push_back("Datei abgeschnitten: Block " + n(block) + " beginnt bei Byte " +
                         n(BlockOffset(block)) + ", die Datei hat nur " + n(FFileSize) + " Bytes");
      break;
    }
    if (h.Prev != from) {
      r.Faults.push_back("Blockkette beschädigt: Block " + n(block) + " nennt als Vorgänger " +
                         (h.Prev == 0 ? std::string("keinen Block") : "Block " + n(h.Prev)) +
                         ", erreicht über " + origin + " (Block überschrieben oder genullt)");
      break;
    }
    const int count = declared(block);
    if (count < 0) {
      r.Faults.push_back("Block " + n(block) + " beschädigt: ungültige Datenlänge " + n(h.Add));
      break;
    }
    state[static_cast<size_t>(block)] = kChain;
    const int fit = std::min(count, fitting(block));
    if (fit > 0 && order) order->push_back({block, fit});
    r.ChainRows += static_cast<uint64_t>(std::max(fit, 0));
    if (fit < count) {
      r.Faults.push_back("Datei abgeschnitten: Block " + n(block) + " endet bei Byte " +
                         n(BlockOffset(block) + 6 + static_cast<uint64_t>(count) * recSize) +
                         ", die Datei hat nur " + n(FFileSize) + " Bytes");
      block = -1;
      break;
    }
    from = block;
    block = h.Next;
  }
  if (block == 0 && from != 0 && from != FHeader.LastBlock)
    r.Faults.push_back("Blockkette beschädigt: sie endet bei Block " + n(from) +
                       ", der Tabellenkopf nennt Block " + n(FHeader.LastBlock) + " als letzten");

  for (int b = FHeader.FirstFreeBlock;
       b > 0 && b <= blocks && state[static_cast<size_t>(b)] == kNone;
       b = raw[static_cast<size_t>(b)].Present ? raw[static_cast<size_t>(b)].Next : 0)
    state[static_cast<size_t>(b)] = kFree;

  std::vector<int> outside(static_cast<size_t>(blocks) + 1, 0);  // records that come back
  for (int b = 1; b <= blocks; ++b) {
    const TRaw& h = raw[static_cast<size_t>(b)];
    if (state[static_cast<size_t>(b)] != kNone || !h.Present) continue;
    const int count = std::min(declared(b), fitting(b));
    if (count <= 0 || h.Prev < 1 || h.Prev > blocks || h.Prev == b || h.Next > blocks ||
        h.Next == b || state[static_cast<size_t>(h.Prev)] == kFree)
      continue;
    outside[static_cast<size_t>(b)] = count;
    state[static_cast<size_t>(b)] = kOutside;
    ++r.OutsideBlocks;
    r.OutsideRows += static_cast<uint64_t>(count);
  }
  if (r.OutsideBlocks > 0)
    r.Faults.push_back(n(static_cast<uint64_t>(r.OutsideBlocks)) + " Blöcke mit " +
                       n(r.OutsideRows) + " Datensätzen liegen außerhalb der Blockkette");
  r.SalvageRows = r.ChainRows + r.OutsideRows;

  if (order) {
    // Runs of blocks linked both ways stay together, in their order.
    const auto take = [&](int b) {
      order->push_back({b, outside[static_cast<size_t>(b)]});
      outside[static_cast<size_t>(b)] = 0;
    };
    const auto linkedFrom = [&](int b) {
      const int prev = raw[static_cast<size_t>(b)].Prev;
      return outside[static_cast<size_t>(prev)] > 0 && raw[static_cast<size_t>(prev)].Next == b;
    };
    for (int pass = 0; pass < 2; ++pass)
      for (int b = 1; b <= blocks; ++b) {
        if (outside[static_cast<size_t>(b)] == 0 || (pass == 0 && linkedFrom(b))) continue;
        for (int at = b; at != 0 && outside[static_cast<size_t>(at)] > 0;) {
          take(at);
          const int next = raw[static_cast<size_t>(at)].Next;
          at = next != 0 && raw[static_cast<size_t>(next)].Prev == at ? next : 0;
        }
      }
  }
  return r;
}

TPxChainReport TParadoxTableFile::Inspect() const {
  return Walk(nullptr);
}

TPxChainReport TParadoxTableFile::ReadSalvaged() {
  FSalvageOrder.clear();
  TPxChainReport r = Walk(&FSalvageOrder);
  FSalvage = true;
  FRecord = nullptr;
  return r;
}

void TParadoxTableFile::LoadSalvageBlock(const TSalvageBlock& b) {
  const uint64_t offset = BlockOffset(b.Block);
  const uint64_t avail = FFileSize - offset;
  const size_t want = avail < static_cast<uint64_t>(FHeader.BlockSize)
                          ? static_cast<size_t>(avail)
                          : static_cast<size_t>(FHeader.BlockSize);
  FSpare.resize(static_cast<size_t>(FHeader.BlockSize));
  PxReadAt(FFd, FPath, FSpare.data(), want, offset);
  FBlock.swap(FSpare);
  FBlockNo = b.Block;
  FBlockNext = 0;
  FBlockCount = b.Count;
  FIndex = 0;
}

bool TParadoxTableFile::LoadBlock(int block) {
  const uint64_t offset = BlockOffset(block);
  if (offset + 6 > FFileSize)
    Fail("Datei abgeschnitten: Block " + std::to_string(block) + " beginnt bei Byte " +
         std::to_string(offset) + ", die Datei hat nur " + std::to_string(FFileSize) + " Bytes");
  // The last block may be shorter on disk than a whole block; only what the
  // block header declares must be there.
  const uint64_t avail = FFileSize - offset;
  const size_t want = avail < static_cast<uint64_t>(FHeader.BlockSize)
                          ? static_cast<size_t>(avail)
                          : static_cast<size_t>(FHeader.BlockSize);
  // Read into the spare buffer, so that the current record stays readable
  // when the rest of the chain holds only empty blocks.
  FSpare.resize(static_cast<size_t>(FHeader.BlockSize));
  PxReadAt(FFd, FPath, FSpare.data(), want, offset);
  const TBlockHead h = CheckBlockHead(block, FSpare.data());
  FBlockNo = block;
  FBlockNext = h.Next;
  if (h.Count == 0) return false;
  FBlock.swap(FSpare);
  FBlockCount = h.Count;
  FIndex = 0;
  return true;
}

bool TParadoxTableFile::AdvanceBlock() {
  if (FSalvage) {
    if (FSalvagePos >= FSalvageOrder.size()) return false;
    LoadSalvageBlock(FSalvageOrder[FSalvagePos++]);
    return true;
  }
  while (FBlockNext != 0) {
    const int next = FBlockNext;
    CheckChainStep(FBlockNo, next, FVisited);
    if (LoadBlock(next)) return true;
  }
  return false;
}

bool TParadoxTableFile::First() {
  CheckReadable();
  FRecord = nullptr;
  FBlockNo = 0;
  FBlockNext = 0;
  FBlockCount = 0;
  FIndex = 0;
  std::fill(FVisited.begin(), FVisited.end(), 0);
  if (FSalvage) {
    FSalvagePos = 0;
    if (!AdvanceBlock()) return false;
    FRecord = FBlock.data() + 6;
    return true;
  }
  if (FHeader.FileBlocks == 0 || FHeader.FirstBlock == 0) return false;
  CheckChainStep(0, FHeader.FirstBlock, FVisited);
  if (!LoadBlock(FHeader.FirstBlock) && !AdvanceBlock()) return false;
  FRecord = FBlock.data() + 6;
  return true;
}

bool TParadoxTableFile::Next() {
  if (!FRecord) return false;
  if (FIndex + 1 < FBlockCount) {
    ++FIndex;
    FRecord += FHeader.RecordSize;
    return true;
  }
  if (!AdvanceBlock()) return false;
  FRecord = FBlock.data() + 6;
  return true;
}

}  // namespace dk
