#include "px_writer.h"

extern "C" {
#include <paradox.h>  // pxlib's header declares C functions without extern "C"
}
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace dk {

namespace {

struct TTypeInfo {
  char Letter;
  int PxType;
  int FixedSize;  // 0: from the field's Size
};
constexpr TTypeInfo kTypes[] = {
    {'A', pxfAlpha, 0},    {'D', pxfDate, 4},        {'S', pxfShort, 2},   {'I', pxfLong, 4},
    {'$', pxfCurrency, 8}, {'N', pxfNumber, 8},      {'L', pxfLogical, 1}, {'M', pxfMemoBLOb, 0},
    {'B', pxfBLOb, 0},     {'F', pxfFmtMemoBLOb, 0}, {'O', pxfOLE, 0},     {'G', pxfGraphic, 0},
    {'T', pxfTime, 4},     {'@', pxfTimestamp, 8},   {'+', pxfAutoInc, 4}, {'#', pxfBCD, 17},
    {'Y', pxfBytes, 0},
};

const TTypeInfo& TypeOf(char letter) {
  for (const auto& t : kTypes)
    if (t.Letter == letter) return t;
  throw std::runtime_error(std::string("pxwrite: unknown field type '") + letter + "'");
}

bool IsBlobType(char t) {
  return t == 'M' || t == 'B' || t == 'F' || t == 'O' || t == 'G';
}

// UTF-8 to a legacy code page through ICU, refusing characters the code page
// lacks.
class TEncoder {
 public:
  explicit TEncoder(int codePage) {
    const std::string n = std::to_string(codePage);
    for (const std::string& name : {"windows-" + n, "cp" + n, "ibm-" + n}) {
      UErrorCode err = U_ZERO_ERROR;
      FCnv = ucnv_open(name.c_str(), &err);
      if (U_SUCCESS(err) && FCnv) break;
      if (FCnv) ucnv_close(FCnv);
      FCnv = nullptr;
    }
    if (!FCnv) throw std::runtime_error("pxwrite: unknown code page " + n);
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setFromUCallBack(FCnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  }
  ~TEncoder() { ucnv_close(FCnv); }
  TEncoder(const TEncoder&) = delete;
  TEncoder& operator=(const TEncoder&) = delete;

  std::string Encode(std::string_view utf8) const {
    if (utf8.empty()) return {};
    std::vector<UChar> u16(utf8.size() + 1);
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(u16.data(), static_cast<int32_t>(u16.size()), &len, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &err);
    if (U_FAILURE(err)) throw std::runtime_error("pxwrite: text is not valid UTF-8");
    std::string out(static_cast<size_t>(len) * 4 + 4, '\0');
    err = U_ZERO_ERROR;
    ucnv_reset(FCnv);
    const int32_t n =
        ucnv_fromUChars(FCnv, out.data(), static_cast<int32_t>(out.size()), u16.data(), len, &err);
    if (U_FAILURE(err))
      throw std::runtime_error("pxwrite: \"" + std::string(utf8) +
                               "\" cannot be written in the table's code page");
    out.resize(static_cast<size_t>(n));
    return out;
  }

 private:
  UConverter* FCnv = nullptr;
};

std::string MbPathOf(const std::string& dbPath) {
  const size_t slash = dbPath.find_last_of('/');
  const size_t dot = dbPath.rfind('.');
  const std::string base = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                               ? dbPath.substr(0, dot)
                               : dbPath;
  return base + ".MB";
}

// pxlib seeks and reads its own file a hundred times per record; on a real
// file that is a system call each and makes big tables take minutes. The table
// is therefore built in memory behind a stdio stream and written out whole
// when it is closed.
struct TMemFile {
  std::vector<char> Data;
  size_t Pos = 0;

  static ssize_t Read(void* cookie, char* buf, size_t size) {
    auto* f = static_cast<TMemFile*>(cookie);
    const size_t n = f->Pos >= f->Data.size() ? 0 : std::min(size, f->Data.size() - f->Pos);
    std::memcpy(buf, f->Data.data() + f->Pos, n);
    f->Pos += n;
    return static_cast<ssize_t>(n);
  }
  static ssize_t Write(void* cookie, const char* buf, size_t size) {
    auto* f = static_cast<TMemFile*>(cookie);
    if (f->Data.size() < f->Pos + size) f->Data.resize(f->Pos + size);
    std::memcpy(f->Data.data() + f->Pos, buf, size);
    f->Pos += size;
    return static_cast<ssize_t>(size);
  }
  static int Seek(void* cookie, off64_t* offset, int whence) {
    auto* f = static_cast<TMemFile*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(f->Pos)
                                              : static_cast<off64_t>(f->Data.size());
    if (base + *offset < 0) return -1;
    f->Pos = static_cast<size_t>(base + *offset);
    *offset = static_cast<off64_t>(f->Pos);
    return 0;
  }
  static int Close(void*) { return 0; }
};

}  // namespace

struct TPxTableWriter::TImpl {
  pxdoc_t* Px = nullptr;
  std::vector<TPxWriteField> Fields;
  std::vector<int> Offsets;
  std::vector<int> Sizes;
  std::vector<char> Record;
  TEncoder Encoder;
  std::string LastError;
  std::string Path;
  TMemFile Memory;
  FILE* Stream = nullptr;

  explicit TImpl(int codePage) : Encoder(codePage) {}

  static void OnError(pxdoc_t*, int type, const char* msg, void* data) {
    if (type == PX_Warning) return;
    static_cast<TImpl*>(data)->LastError = msg ? msg : "";
  }
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("pxwrite: " + Path + ": " + what +
                             (LastError.empty() ? "" : " (" + LastError + ")"));
  }
  char* At(int field) { return Record.data() + Offsets.at(static_cast<size_t>(field)); }
  void Expect(int field, const char* letters) const {
    const char t = Fields.at(static_cast<size_t>(field)).Type;
    if (!std::strchr(letters, t))
      Fail("field \"" + Fields[static_cast<size_t>(field)].Name + "\" of type " + t +
           " does not take this value");
  }
  void Clear(int field) {
    std::memset(At(field), 0, static_cast<size_t>(Sizes[static_cast<size_t>(field)]));
  }
};

TPxTableWriter::TPxTableWriter(const std::string& dbPath, const std::vector<TPxWriteField>& fields,
                               const TPxWriteOptions& options)
    : FImpl(std::make_unique<TImpl>(options.CodePage)) {
  TImpl& m = *FImpl;
  m.Path = dbPath;
  m.Fields = fields;
  if (fields.empty() || fields.size() > 255) m.Fail("a table needs 1 to 255 fields");
  int offset = 0;
  bool hasBlob = false;
  auto* pxf = static_cast<pxfield_t*>(std::calloc(fields.size(), sizeof(pxfield_t)));
  for (size_t i = 0; i < fields.size(); ++i) {
    const TPxWriteField& f = fields[i];
    const TTypeInfo& t = TypeOf(f.Type);
    int size = t.FixedSize;
    int decimals = 0;
    if (f.Type == 'A' || f.Type == 'Y') {
      if (f.Size < 1 || f.Size > 255) m.Fail("field \"" + f.Name + "\" needs a size of 1 to 255");
      size = f.Size;
    } else if (IsBlobType(f.Type)) {
      if (f.Size < 0 || f.Size > 240) m.Fail("field \"" + f.Name + "\" needs a leader of 0 to 240");
      size = f.Size + 10;
      hasBlob = true;
    } else if (f.Type == '#') {
      if (f.Size < 1 || f.Size > 32)
        m.Fail("BCD field \"" + f.Name + "\" needs 1 to 32 decimal places");
      decimals = f.Size;
    }
    const std::string name = m.Encoder.Encode(f.Name);
    pxf[i].px_fname = strdup(name.c_str());
    pxf[i].px_ftype = static_cast<char>(t.PxType);
    pxf[i].px_flen = size;
    pxf[i].px_fdc = decimals;
    m.Offsets.push_back(offset);
    m.Sizes.push_back(size);
    offset += size;
  }
  m.Record.assign(static_cast<size_t>(offset), 0);
  if (!std::ofstream(dbPath, std::ios::binary | std::ios::trunc)) m.Fail("cannot create the file");
  m.Px = PX_new3(&TImpl::OnError, nullptr, nullptr, nullptr, &m);
  if (!m.Px) m.Fail("pxlib cannot start");
  cookie_io_functions_t io = {&TMemFile::Read, &TMemFile::Write, &TMemFile::Seek, &TMemFile::Close};
  m.Stream = fopencookie(&m.Memory, "w+", io);
  if (m.Stream) std::setvbuf(m.Stream, nullptr, _IONBF, 0);  // the memory is the buffer
  const int type = options.PrimaryKeyFields > 0 ? pxfFileTypIndexDB : pxfFileTypNonIndexDB;
  if (!m.Stream || PX_create_fp(m.Px, pxf, static_cast<int>(fields.size()), m.Stream, type) < 0) {
    PX_delete(m.Px);
    m.Px = nullptr;
    if (m.Stream) std::fclose(m.Stream);
    m.Stream = nullptr;
    m.Fail("cannot create the table");
  }
  try {
    const size_t slash = dbPath.find_last_of('/');
    const std::string fileName = dbPath.substr(slash == std::string::npos ? 0 : slash + 1);
    PX_set_tablename(m.Px, fileName.c_str());
    if (PX_set_value(m.Px, "codepage", static_cast<float>(options.CodePage)) < 0)
      m.Fail("cannot set the code page");
    if (options.PrimaryKeyFields > 0 &&
        PX_set_value(m.Px, "numprimkeys", static_cast<float>(options.PrimaryKeyFields)) < 0)
      m.Fail("cannot set the key fields");
    if (hasBlob && PX_set_blob_file(m.Px, MbPathOf(dbPath).c_str()) < 0)
      m.Fail("cannot create the blob file");
  } catch (...) {
    Close();
    throw;
  }
}

TPxTableWriter::~TPxTableWriter() {
  try {
    Close();
  } catch (...) {
  }
}

int TPxTableWriter::FieldCount() const {
  return static_cast<int>(FImpl->Fields.size());
}

void TPxTableWriter::SetNull(int field) {
  FImpl->Clear(field);
}

void TPxTableWriter::SetText(int field, std::string_view utf8) {
  TImpl& m = *FImpl;
  m.Expect(field, "AMF");
  m.Clear(field);
  const std::string bytes = m.Encoder.Encode(utf8);
  const int size = m.Sizes[static_cast<size_t>(field)];
  if (m.Fields[static_cast<size_t>(field)].Type == 'A') {
    if (bytes.size() > static_cast<size_t>(size))
      m.Fail("text too long for field \"" + m.Fields[static_cast<size_t>(field)].Name + "\"");
    if (bytes.find('\0') != std::string::npos) m.Fail("Alpha text holds a NUL character");
    if (!bytes.empty())
      PX_put_data_alpha(m.Px, m.At(field), size, const_cast<char*>(bytes.c_str()));
    return;
  }
  SetBytes(field, bytes);
}

void TPxTableWriter::SetInteger(int field, int64_t value) {
  TImpl& m = *FImpl;
  m.Expect(field, "SI+");
  if (m.Fields[static_cast<size_t>(field)].Type == 'S') {
    if (value < -32767 || value > 32767) m.Fail("Short value out of range");
    PX_put_data_short(m.Px, m.At(field), 2, static_cast<short>(value));
  } else {
    if (value < -2147483647 || value > 2147483647) m.Fail("Long value out of range");
    PX_put_data_long(m.Px, m.At(field), 4, static_cast<int>(value));
  }
}

void TPxTableWriter::SetFloat(int field, double value) {
  TImpl& m = *FImpl;
  m.Expect(field, "N$");
  PX_put_data_double(m.Px, m.At(field), 8, value);
}

void TPxTableWriter::SetBool(int field, bool value) {
  TImpl& m = *FImpl;
  m.Expect(field, "L");
  PX_put_data_byte(m.Px, m.At(field), 1, value ? 1 : 0);
}

void TPxTableWriter::SetDate(int field, int year, int month, int day) {
  TImpl& m = *FImpl;
  m.Expect(field, "D");
  // pxlib counts Julian day numbers; Paradox counts from 0001-01-01 = 1.
  const long days = PX_GregorianToSdn(year, month, day) - 1721425;
  PX_put_data_long(m.Px, m.At(field), 4, static_cast<int>(days));
}

void TPxTableWriter::SetTime(int field, int64_t msOfDay) {
  TImpl& m = *FImpl;
  m.Expect(field, "T");
  if (msOfDay < 0 || msOfDay >= 86400000) m.Fail("time of day out of range");
  PX_put_data_long(m.Px, m.At(field), 4, static_cast<int>(msOfDay));
}

void TPxTableWriter::SetTimestamp(int field, int year, int month, int day, int64_t msOfDay) {
  TImpl& m = *FImpl;
  m.Expect(field, "@");
  if (msOfDay < 0 || msOfDay >= 86400000) m.Fail("time of day out of range");
  const long days = PX_GregorianToSdn(year, month, day) - 1721425;
  PX_put_data_double(m.Px, m.At(field), 8,
                     static_cast<double>(days) * 86400000.0 + static_cast<double>(msOfDay));
}

void TPxTableWriter::SetBcd(int field, std::string_view decimal) {
  TImpl& m = *FImpl;
  m.Expect(field, "#");
  // pxlib shifts the digits unless the text has exactly as many decimal
  // places as the field; bring it to that form first.
  const int scale = m.Fields[static_cast<size_t>(field)].Size;
  std::string text(decimal);
  const size_t point = text.find('.');
  std::string intPart = point == std::string::npos ? text : text.substr(0, point);
  std::string frac = point == std::string::npos ? "" : text.substr(point + 1);
  bool negative = false;
  if (!intPart.empty() && (intPart[0] == '-' || intPart[0] == '+')) {
    negative = intPart[0] == '-';
    intPart.erase(0, 1);
  }
  if (intPart.empty()) intPart = "0";
  for (char c : intPart + frac)
    if (!std::isdigit(static_cast<unsigned char>(c))) m.Fail("\"" + text + "\" is no decimal");
  if (frac.size() > static_cast<size_t>(scale)) m.Fail("\"" + text + "\" has too many decimals");
  if (intPart.size() + static_cast<size_t>(scale) > 32)
    m.Fail("\"" + text + "\" has too many digits");
  frac.append(static_cast<size_t>(scale) - frac.size(), '0');
  const std::string normal = (negative ? "-" : "") + intPart + "." + frac;
  m.Clear(field);
  PX_put_data_bcd(m.Px, m.At(field), scale, const_cast<char*>(normal.c_str()));
}

void TPxTableWriter::SetBytes(int field, std::string_view bytes) {
  TImpl& m = *FImpl;
  m.Expect(field, "YBOGMF");
  m.Clear(field);
  const int size = m.Sizes[static_cast<size_t>(field)];
  if (m.Fields[static_cast<size_t>(field)].Type == 'Y') {
    if (bytes.size() > static_cast<size_t>(size)) m.Fail("too many bytes for a Bytes field");
    std::string padded(bytes);
    padded.resize(static_cast<size_t>(size), '\0');
    PX_put_data_bytes(m.Px, m.At(field), size, padded.data());
    return;
  }
  if (bytes.empty()) return;
  std::string copy(bytes);
  if (PX_put_data_blob(m.Px, m.At(field), size, copy.data(), static_cast<int>(copy.size())) < 0)
    m.Fail("cannot write a blob value");
}

void TPxTableWriter::Post() {
  TImpl& m = *FImpl;
  if (!m.Px) m.Fail("the table is closed");
  if (PX_put_record(m.Px, m.Record.data()) < 0) m.Fail("cannot write a record");
  std::fill(m.Record.begin(), m.Record.end(), 0);
}

void TPxTableWriter::Close() {
  TImpl& m = *FImpl;
  if (!m.Px) return;
  PX_close(m.Px);
  PX_delete(m.Px);
  m.Px = nullptr;
  std::fclose(m.Stream);
  m.Stream = nullptr;
  std::ofstream out(m.Path, std::ios::binary | std::ios::trunc);
  out.write(m.Memory.Data.data(), static_cast<std::streamsize>(m.Memory.Data.size()));
  out.close();
  if (!out) m.Fail("cannot write the file");
  m.Memory = TMemFile();
}

namespace {

std::string Prefixed(uint8_t kind, std::string_view data) {
  std::string v = {'\x01', '\x00', '\x00', static_cast<char>(kind)};
  const uint32_t n = static_cast<uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) v += static_cast<char>((n >> (8 * i)) & 0xFF);
  v += data;
  return v;
}

}  // namespace

std::string PxGraphicValue(std::string_view image) {
  return Prefixed(1, image);
}
std::string PxOleValue(std::string_view data) {
  return Prefixed(2, data);
}

std::vector<TPxWriteField> ParsePxFieldList(std::string_view list) {
  std::vector<TPxWriteField> fields;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(',', pos);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view item = list.substr(pos, end - pos);
    const size_t colon = item.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 >= item.size())
      throw std::runtime_error("pxwrite: field \"" + std::string(item) +
                               "\" is not NAME:TYPE[SIZE]");
    TPxWriteField f;
    f.Name = std::string(item.substr(0, colon));
    f.Type = static_cast<char>(std::toupper(static_cast<unsigned char>(item[colon + 1])));
    TypeOf(f.Type);
    const std::string_view size = item.substr(colon + 2);
    if (!size.empty()) {
      auto res = std::from_chars(size.data(), size.data() + size.size(), f.Size);
      if (res.ec != std::errc() || res.ptr != size.data() + size.size())
        throw std::runtime_error("pxwrite: field \"" + std::string(item) + "\" has a bad size");
    }
    fields.push_back(f);
    pos = end + 1;
  }
  return fields;
}

namespace {

// Reads one CSV row (RFC 4180); false at the end of the input.
bool ReadCsvRow(std::istream& in, std::vector<std::string>& row) {
  row.clear();
  std::string field;
  bool any = false;
  bool quoted = false;
  int c;
  while ((c = in.get()) != EOF) {
    any = true;
    if (quoted) {
      if (c == '"') {
        if (in.peek() == '"') {
          field += '"';
          in.get();
        } else {
          quoted = false;
        }
      } else {
        field += static_cast<char>(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
    } else if (c == '\n') {
      row.push_back(std::move(field));
      return true;
    } else if (c != '\r' || in.peek() != '\n') {
      field += static_cast<char>(c);
    }
  }
  if (any) row.push_back(std::move(field));
  return any;
}

bool ParseInt(std::string_view s, int64_t& v) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  auto res = std::from_chars(s.data(), s.data() + s.size(), v);
  return res.ec == std::errc() && res.ptr == s.data() + s.size() && !s.empty();
}

bool ParseDate(std::string_view s, int& y, int& m, int& d) {
  int64_t a, b, c;
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  if (!ParseInt(s.substr(0, 4), a) || !ParseInt(s.substr(5, 2), b) || !ParseInt(s.substr(8, 2), c))
    return false;
  y = static_cast<int>(a);
  m = static_cast<int>(b);
  d = static_cast<int>(c);
  return m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

bool ParseTime(std::string_view s, int64_t& ms) {
  int64_t h, mi, se, z = 0;
  if (s.size() < 8 || s[2] != ':' || s[5] != ':') return false;
  if (!ParseInt(s.substr(0, 2), h) || !ParseInt(s.substr(3, 2), mi) ||
      !ParseInt(s.substr(6, 2), se))
    return false;
  if (s.size() > 8 && (s[8] != '.' || s.size() != 12 || !ParseInt(s.substr(9), z))) return false;
  ms = ((h * 60 + mi) * 60 + se) * 1000 + z;
  return h < 24 && mi < 60 && se < 60;
}

bool ParseHex(std::string_view s, std::string& out) {
  if (s.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int v;
    auto res = std::from_chars(s.data() + i, s.data() + i + 2, v, 16);
    if (res.ec != std::errc() || res.ptr != s.data() + i + 2) return false;
    out += static_cast<char>(v);
  }
  return true;
}

}  // namespace

int64_t WritePxTableFromCsv(const std::string& dbPath, std::istream& csv,
                            const TPxWriteOptions& options) {
  std::vector<std::string> row;
  if (!ReadCsvRow(csv, row)) throw std::runtime_error("pxwrite: the CSV has no header row");
  std::vector<TPxWriteField> fields;
  for (const auto& name : row) {
    const auto one = ParsePxFieldList(name);
    fields.push_back(one.at(0));
  }
  TPxTableWriter w(dbPath, fields, options);
  int64_t count = 0;
  while (ReadCsvRow(csv, row)) {
    ++count;
    if (row.size() == 1 && fields.size() > 1 && row[0].empty()) {
      --count;  // a blank line
      continue;
    }
    if (row.size() != fields.size())
      throw std::runtime_error("pxwrite: row " + std::to_string(count) + " has " +
                               std::to_string(row.size()) + " fields instead of " +
                               std::to_string(fields.size()));
    for (size_t i = 0; i < fields.size(); ++i) {
      const std::string& v = row[i];
      const int f = static_cast<int>(i);
      if (v.empty()) continue;
      auto bad = [&]() {
        throw std::runtime_error("pxwrite: row " + std::to_string(count) + ", field \"" +
                                 fields[i].Name + "\": bad value \"" + v + "\"");
      };
      int y = 0, m = 0, d = 0;
      int64_t n = 0;
      std::string bytes;
      switch (fields[i].Type) {
        case 'A':
        case 'M':
        case 'F':
          w.SetText(f, v);
          break;
        case 'S':
        case 'I':
        case '+':
          if (!ParseInt(v, n)) bad();
          w.SetInteger(f, n);
          break;
        case 'N':
        case '$': {
          double x;
          auto res = std::from_chars(v.data() + (v[0] == '+'), v.data() + v.size(), x);
          if (res.ec != std::errc() || res.ptr != v.data() + v.size()) bad();
          w.SetFloat(f, x);
          break;
        }
        case 'L':
          if (v != "T" && v != "F") bad();
          w.SetBool(f, v == "T");
          break;
        case 'D':
          if (!ParseDate(v, y, m, d)) bad();
          w.SetDate(f, y, m, d);
          break;
        case 'T':
          if (!ParseTime(v, n)) bad();
          w.SetTime(f, n);
          break;
        case '@':
          if (v.size() < 19 || v[10] != ' ' || !ParseDate(v.substr(0, 10), y, m, d) ||
              !ParseTime(std::string_view(v).substr(11), n))
            bad();
          w.SetTimestamp(f, y, m, d, n);
          break;
        case '#':
          w.SetBcd(f, v);
          break;
        default:
          if (!ParseHex(v, bytes)) bad();
          w.SetBytes(f, bytes);
          break;
      }
    }
    w.Post();
  }
  w.Close();
  return count;
}

}  // namespace dk
