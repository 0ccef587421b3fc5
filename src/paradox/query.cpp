#include "paradox/query.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "paradox/blob_file.h"
#include "paradox/database.h"
#include "paradox/record_sort.h"
#include "paradox/statement.h"
#include "paradox/values.h"
#include "sys/api_tools.h"
#include "sys/number_text.h"
#include "sys/text.h"

namespace dk {

namespace {

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

size_t AlphaLength(const uint8_t* p, int size) {
  const void* nul = std::memchr(p, 0, static_cast<size_t>(size));
  return nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p)
             : static_cast<size_t>(size);
}

std::string_view Chars(const uint8_t* p, size_t n) {
  return std::string_view(reinterpret_cast<const char*>(p), n);
}

}  // namespace

// ---------------------------------------------------------------- TParadoxField

TParadoxField::TParadoxField(TParadoxQuery* owner, int index, const TPxFieldDef* def)
    : FOwner(owner),
      FIndex(index),
      FDef(def),
      FName(def->Name),
      FDataType(def->DataType),
      FSize(def->DataSize) {}

TParadoxField::TParadoxField(TParadoxQuery* owner, std::string name, int64_t constant)
    : FOwner(owner), FIndex(0), FConstant(constant), FName(std::move(name)), FDataType(ftInteger) {}

char TParadoxField::ParadoxType() const {
  return FDef ? PxFieldLetter(FDef->Code) : 'I';
}

const uint8_t* TParadoxField::Bytes() const {
  const uint8_t* rec = FOwner->CurrentRecord();
  return rec ? rec + FDef->Offset : nullptr;
}

std::string TParadoxField::Describe() const {
  return "Feld \"" + FName + "\"";
}

void TParadoxField::Fail(const std::string& fault) const {
  const TParadoxTableFile* table = FOwner->TableFile();
  throw EParadoxError((table ? table->Path() + ": " : std::string()) + Describe() + ": " + fault);
}

bool TParadoxField::IsNull() const {
  if (!FDef) {
    FOwner->CurrentRecord();
    return false;
  }
  const uint8_t* p = Bytes();
  if (!p) return true;
  switch (FDef->Code) {
    case pxAlpha:
    case pxLogical:
      return p[0] == 0;
    case pxMemo:
    case pxBlob:
    case pxFmtMemo:
    case pxOle:
    case pxGraphic:
      return U32(p + FDef->LeaderSize() + 4) == 0;
    case pxBcd:
      return !(p[0] & 0x40);
    default:
      return PxIsBlank(p, static_cast<size_t>(FDef->Size));
  }
}

void TParadoxField::ReadBlob(const uint8_t* p, std::string& out) const {
  const int leader = FDef->LeaderSize();
  const uint32_t pointer = U32(p + leader);
  const uint32_t length = U32(p + leader + 4);
  if (length == 0) return;
  if (length <= static_cast<uint32_t>(leader)) {
    out.append(reinterpret_cast<const char*>(p), length);
    return;
  }
  const TParadoxBlobFile* blob = FOwner->BlobFile();
  if (!blob && !FOwner->FBlobFault.empty()) Fail(FOwner->FBlobFault);
  if (!blob) {
    std::string mb = FOwner->TableFile()->Path();
    const size_t slash = mb.find_last_of('/');
    mb = mb.substr(slash == std::string::npos ? 0 : slash + 1);
    mb = mb.substr(0, mb.rfind('.')) + ".MB";
    Fail("der Wert (" + std::to_string(length) + " Bytes) steht in der Blob-Datei " + mb +
         ", und die fehlt");
  }
  blob->Read(pointer, length, FOwner->TableFile()->Path() + ", " + Describe(), out);
}

std::string TParadoxField::AsString() const {
  if (!FDef) {
    FOwner->CurrentRecord();
    return std::to_string(FConstant);
  }
  std::string out;
  if (IsNull()) return out;
  const uint8_t* p = Bytes();
  switch (FDef->Code) {
    case pxAlpha:
      FOwner->FTable->Decoder().Decode(Chars(p, AlphaLength(p, FDef->Size)), out);
      return out;
    case pxShort:
      return std::to_string(PxDecodeInt16(p));
    case pxLong:
    case pxAutoInc:
      return std::to_string(PxDecodeInt32(p));
    case pxNumber:
    case pxCurrency:
      return PxFormatFloat(PxDecodeDouble(p));
    case pxLogical:
      return AsBoolean() ? "T" : "F";
    case pxDate:
      PxAppendDate(out, PxDecodeInt32(p));
      return out;
    case pxTime: {
      const int64_t ms = PxDecodeInt32(p);
      if (ms < 0 || ms >= kPxMsPerDay) Fail("ungültige Uhrzeit (" + std::to_string(ms) + " ms)");
      PxAppendTime(out, ms);
      return out;
    }
    case pxTimestamp: {
      int64_t day, ms;
      const double v = PxDecodeDouble(p);
      if (!PxSplitTimestamp(v, day, ms)) Fail("ungültiger Zeitstempel (" + PxFormatFloat(v) + ")");
      PxAppendDate(out, day);
      out += ' ';
      PxAppendTime(out, ms);
      return out;
    }
    case pxBcd:
      PxDecodeBcd(p, FDef->SizeByte, out);
      return out;
    case pxMemo:
    case pxFmtMemo: {
      std::string raw;
      ReadBlob(p, raw);
      FOwner->FTable->Decoder().Decode(raw, out);
      return out;
    }
    case pxBlob:
    case pxOle:
    case pxGraphic:
      ReadBlob(p, out);
      return out;
    default:
      out.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(FDef->Size));
      return out;
  }
}

std::string TParadoxField::AsText() const {
  if (!FDef || FDef->Code != pxBlob || IsNull()) return AsString();
  std::string raw;
  ReadBlob(Bytes(), raw);
  std::string out;
  FOwner->FTable->Decoder().Decode(raw, out);
  return out;
}

int64_t TParadoxField::AsLargeInt() const {
  if (!FDef) {
    FOwner->CurrentRecord();
    return FConstant;
  }
  if (IsNull()) return 0;
  const uint8_t* p = Bytes();
  switch (FDef->Code) {
    case pxShort:
      return PxDecodeInt16(p);
    case pxLong:
    case pxAutoInc:
      return PxDecodeInt32(p);
    case pxLogical:
      return AsBoolean() ? 1 : 0;
    case pxNumber:
    case pxCurrency:
    case pxBcd: {
      const double v = AsFloat();
      if (!(std::fabs(v) < 9.2e18)) Fail("der Wert " + PxFormatFloat(v) + " ist keine Ganzzahl");
      return static_cast<int64_t>(std::nearbyint(v));  // halves to even, as the legacy Round
    }
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo: {
      const std::string text = AsString();
      const auto v = ParseInteger(text);
      if (!v) Fail("\"" + text + "\" ist keine gültige Ganzzahl");
      return *v;
    }
    default:
      Fail(std::string("ein Wert vom Typ ") + FieldTypeName(FDataType) +
           " lässt sich nicht als Ganzzahl lesen");
  }
}

int TParadoxField::AsInteger() const {
  const int64_t v = AsLargeInt();
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    Fail("der Wert " + std::to_string(v) + " liegt außerhalb des Bereichs einer Ganzzahl");
  return static_cast<int>(v);
}

double TParadoxField::AsFloat() const {
  if (!FDef) return static_cast<double>(AsLargeInt());
  if (IsNull()) return 0;
  const uint8_t* p = Bytes();
  switch (FDef->Code) {
    case pxShort:
      return PxDecodeInt16(p);
    case pxLong:
    case pxAutoInc:
      return PxDecodeInt32(p);
    case pxNumber:
    case pxCurrency:
      return PxDecodeDouble(p);
    case pxLogical:
      return AsBoolean() ? 1 : 0;
    case pxDate:
    case pxTime:
    case pxTimestamp:
      return AsDateTime();
    case pxBcd:
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo: {
      const std::string text = AsString();
      // "." only: see TDecimalComma.
      const auto v = ParseFloat(text, TDecimalComma::Rejected);
      if (!v) Fail("\"" + text + "\" ist keine gültige Zahl");
      return *v;
    }
    default:
      Fail(std::string("ein Wert vom Typ ") + FieldTypeName(FDataType) +
           " lässt sich nicht als Zahl lesen");
  }
}

bool TParadoxField::AsBoolean() const {
  if (!FDef) return AsLargeInt() != 0;
  if (IsNull()) return false;
  const uint8_t* p = Bytes();
  switch (FDef->Code) {
    case pxLogical:
      return (p[0] & 0x7F) != 0;
    case pxShort:
    case pxLong:
    case pxAutoInc:
    case pxNumber:
    case pxCurrency:
    case pxBcd:
      return AsFloat() != 0;
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo: {
      const std::string text = AsString();
      return !text.empty() &&
             (text[0] == 'T' || text[0] == 't' || text[0] == 'Y' || text[0] == 'y');
    }
    default:
      Fail(std::string("ein Wert vom Typ ") + FieldTypeName(FDataType) +
           " lässt sich nicht als Wahrheitswert lesen");
  }
}

double TParadoxField::AsDateTime() const {
  if (!FDef) Fail("die Zeilenzahl ist kein Datum");
  if (IsNull()) return 0;
  const uint8_t* p = Bytes();
  switch (FDef->Code) {
    case pxDate:
      return static_cast<double>(PxDecodeInt32(p) - kPxDelphiEpochDay);
    case pxTime: {
      const int64_t ms = PxDecodeInt32(p);
      if (ms < 0 || ms >= kPxMsPerDay) Fail("ungültige Uhrzeit (" + std::to_string(ms) + " ms)");
      return static_cast<double>(ms) / static_cast<double>(kPxMsPerDay);
    }
    case pxTimestamp: {
      int64_t day, ms;
      const double v = PxDecodeDouble(p);
      if (!PxSplitTimestamp(v, day, ms)) Fail("ungültiger Zeitstempel (" + PxFormatFloat(v) + ")");
      return PxDelphiDateTime(day, ms);
    }
    case pxShort:
    case pxLong:
    case pxAutoInc:
    case pxNumber:
    case pxCurrency:
    case pxBcd:
      return AsFloat();
    default:
      Fail(std::string("ein Wert vom Typ ") + FieldTypeName(FDataType) +
           " lässt sich nicht als Datum lesen");
  }
}

std::vector<uint8_t> TParadoxField::AsBytes() const {
  if (!FDef) {
    const std::string s = AsString();
    return std::vector<uint8_t>(s.begin(), s.end());
  }
  if (IsNull()) return {};
  const uint8_t* p = Bytes();
  if (PxIsBlobCode(FDef->Code)) {
    std::string raw;
    ReadBlob(p, raw);
    return std::vector<uint8_t>(raw.begin(), raw.end());
  }
  if (FDef->Code == pxAlpha) return std::vector<uint8_t>(p, p + AlphaLength(p, FDef->Size));
  return std::vector<uint8_t>(p, p + FDef->Size);
}

TVariant TParadoxField::Value() const {
  if (!FDef) return TVariant(AsLargeInt());
  if (IsNull()) return TVariant();
  switch (FDef->Code) {
    case pxLogical:
      return TVariant(AsBoolean());
    case pxShort:
    case pxLong:
    case pxAutoInc:
      return TVariant(AsLargeInt());
    case pxNumber:
    case pxCurrency:
    case pxBcd:
      return TVariant(AsFloat());
    case pxDate:
    case pxTime:
    case pxTimestamp:
      return TVariant(TDateTime::FromDays(AsDateTime()));
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo:
      return TVariant(AsString());
    default: {
      const std::vector<uint8_t> bytes = AsBytes();
      return TVariant::Bytes(std::string(bytes.begin(), bytes.end()));
    }
  }
}

// ---------------------------------------------------------------- TParadoxQuery

TParadoxQuery::TParadoxQuery() = default;
TParadoxQuery::~TParadoxQuery() = default;

void TParadoxQuery::SetDatabaseName(const std::string& dir) {
  Close();
  FDatabaseName = dir;
}

void TParadoxQuery::SetSQL(const std::string& sql) {
  Close();
  FSQL = sql;
}

void TParadoxQuery::SetSalvage(bool salvage) {
  Close();
  FSalvage = salvage;
}

void TParadoxQuery::SetTableCodePage(const std::string& table, int codePage) {
  const std::string key = AsciiUpper(table);
  if (codePage <= 0)
    FCodePages.erase(key);
  else
    FCodePages[key] = codePage;
}

int TParadoxQuery::TableCodePage(const std::string& table) const {
  auto it = FCodePages.find(AsciiUpper(table));
  return it == FCodePages.end() ? 0 : it->second;
}

void TParadoxQuery::Open() {
  if (FActive) return;
  try {
    const TParadoxStatement st = ParseParadoxStatement(FSQL);
    if (FDatabaseName.empty())
      throw EParadoxError("Paradox: kein Verzeichnis der Tabellen angegeben (DatabaseName)");
    const TParadoxTableEntry entry = FindParadoxTable(FDatabaseName, st.Table);
    FTable = std::make_unique<TParadoxTableFile>(entry.DbPath, TableCodePage(st.Table));
    FTable->CheckReadable();
    uint64_t count = 0;
    if (FSalvage) {
      FChainReport = FTable->ReadSalvaged();
      count = FChainReport.SalvageRows;
      if (FChainReport.Damaged()) FWarnings.push_back(entry.DbPath + ": " + FChainReport.Text());
    } else if ((count = FTable->CountRecords()) != FTable->Header().NumRecords) {
      FWarnings.push_back(entry.DbPath + ": der Tabellenkopf nennt " +
                          std::to_string(FTable->Header().NumRecords) +
                          " Datensätze, die Blockkette enthält " + std::to_string(count));
    }
    FIsCount = st.Kind == TParadoxStatement::skCount;
    FActive = true;
    if (FIsCount) {
      FFields.emplace_back(new TParadoxField(this, "FRECORDCOUNT", static_cast<int64_t>(count)));
      FRecordCount = 1;
      FHasRow = true;
    } else {
      FRecordCount = static_cast<int64_t>(count);
      if (FTable->HasBlobFields() && !entry.MbPath.empty()) {
        FBlobPath = entry.MbPath;
        // A .MB that cannot be used (empty, no header block) costs only the
        // values stored in it, as a missing one does: the rows and the values
        // kept in the records still read.
        try {
          FBlob = std::make_unique<TParadoxBlobFile>(entry.MbPath);
        } catch (const EParadoxError& e) {
          FBlobFault = e.what();
          FWarnings.push_back(FBlobFault);
        }
      }
      const auto& defs = FTable->Fields();
      for (size_t i = 0; i < defs.size(); ++i)
        FFields.emplace_back(new TParadoxField(this, static_cast<int>(i), &defs[i]));
      if (!st.OrderBy.empty()) SortRecords(st.OrderBy);
      FHasRow = MoveFirst();
    }
    FEof = !FHasRow;
    FBof = true;
    FRecNo = FHasRow ? 1 : 0;
  } catch (...) {
    Close();
    throw;
  }
}

void TParadoxQuery::Close() {
  FActive = false;
  FEof = true;
  FBof = true;
  FRecordCount = 0;
  FRecNo = 0;
  FIsCount = false;
  FHasRow = false;
  FFields.clear();
  FBlob.reset();
  FBlobPath.clear();
  FBlobFault.clear();
  FSort.reset();
  FTable.reset();
  FWarnings.clear();
  FChainReport = TPxChainReport();
}

void TParadoxQuery::SortRecords(const std::vector<std::string>& fields) {
  std::vector<TPxRecordSort::TKeyPart> key;
  for (const std::string& name : fields) {
    const TParadoxField& field = FieldByName(name);
    if (PxIsBlobCode(field.FDef->Code))
      throw EParadoxError(FTable->Path() + ": nach " + field.Describe() +
                          " kann nicht sortiert werden (Memo- oder Blobfeld)");
    key.push_back({field.FDef->Offset, field.FDef->Size});
  }
  FSort = std::make_unique<TPxRecordSort>(FTable->Header().RecordSize, std::move(key), FSortMemory,
                                          GetTempDir(), FTable->Path());
  // A large table takes a second or more before its first row: the caller
  // may show how far the sort is, and stop it.
  constexpr int64_t kProgressRecords = 65536;
  const int64_t total = FRecordCount;
  int64_t done = 0;
  if (OnSortProgress) OnSortProgress(0, total);
  for (bool more = FTable->First(); more; more = FTable->Next()) {
    FSort->Add(FTable->Record());
    if (++done % kProgressRecords == 0 && OnSortProgress) OnSortProgress(done, total);
  }
  if (OnSortProgress && done % kProgressRecords != 0) OnSortProgress(done, total);
  FSort->Finish();
}

bool TParadoxQuery::MoveFirst() {
  return FSort ? FSort->First() : FTable->First();
}

bool TParadoxQuery::MoveNext() {
  return FSort ? FSort->Next() : FTable->Next();
}

size_t TParadoxQuery::SpilledRuns() const {
  return FSort ? FSort->SpilledRuns() : 0;
}

void TParadoxQuery::CheckActive(const char* operation) const {
  if (!FActive)
    throw EParadoxError(std::string("Paradox: ") + operation +
                        " ist nicht möglich, die Abfrage ist geschlossen");
}

void TParadoxQuery::First() {
  CheckActive("First");
  if (!FIsCount) FHasRow = MoveFirst();
  FEof = !FHasRow;
  FBof = true;
  FRecNo = FHasRow ? 1 : 0;
}

void TParadoxQuery::Next() {
  CheckActive("Next");
  if (FEof) return;
  FBof = false;
  if (!FIsCount && MoveNext()) {
    ++FRecNo;
    return;
  }
  FEof = true;
}

int64_t TParadoxQuery::RecordCount() const {
  CheckActive("RecordCount");
  return FRecordCount;
}

TParadoxField& TParadoxQuery::Fields(int index) const {
  CheckActive("Fields");
  if (index < 0 || index >= FieldCount())
    throw EParadoxError(FTable->Path() + ": Feldnummer " + std::to_string(index) +
                        " außerhalb von 0.." + std::to_string(FieldCount() - 1));
  return *FFields[static_cast<size_t>(index)];
}

TParadoxField* TParadoxQuery::FindField(std::string_view name) const {
  for (const auto& f : FFields)
    if (SameText(f->FieldName(), name)) return f.get();
  return nullptr;
}

TParadoxField& TParadoxQuery::FieldByName(std::string_view name) const {
  CheckActive("FieldByName");
  TParadoxField* f = FindField(name);
  if (!f)
    throw EParadoxError(FTable->Path() + ": Feld \"" + std::string(name) + "\" nicht gefunden");
  return *f;
}

const uint8_t* TParadoxQuery::CurrentRecord() const {
  CheckActive("Das Lesen eines Feldes");
  if (FIsCount || !FHasRow) return nullptr;
  return FSort ? FSort->Record() : FTable->Record();
}

const TParadoxBlobFile* TParadoxQuery::BlobFile() const {
  return FBlob.get();
}

}  // namespace dk
