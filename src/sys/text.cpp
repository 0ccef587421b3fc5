#include "sys/text.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace dk {

bool IsValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t i = 0;
  const auto n = static_cast<int32_t>(s.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) return false;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

// ICU names of Windows code page numbers; ICU knows the "cpNNN" and
// "windows-NNN" aliases for everything a legacy archive may carry.
std::vector<std::string> IcuNames(int codePage) {
  const std::string n = std::to_string(codePage);
  return {"windows-" + n, "cp" + n, "ibm-" + n};
}

UConverter* OpenConverter(int codePage) {
  for (const auto& name : IcuNames(codePage)) {
    UErrorCode err = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open(name.c_str(), &err);
    if (U_SUCCESS(err) && cnv) return cnv;
    if (cnv) ucnv_close(cnv);
  }
  return nullptr;
}

// ICU's tables for the DOS code pages are IBM's, which differ from the
// Windows tables in a few cells (0xE6 is the Greek mu there, the micro sign on
// Windows). Legacy text was written and read on Windows, so its cells win: a
// micro sign must stay one, or it cannot go back to Windows-1252.
struct TWindowsCell {
  int CodePage;
  uint8_t Byte;
  char32_t CodePoint;
};
constexpr TWindowsCell kWindowsCells[] = {
    {437, 0xE6, U'\u00B5'}, {860, 0xE6, U'\u00B5'}, {861, 0xE6, U'\u00B5'},
    {862, 0xE6, U'\u00B5'}, {863, 0xE6, U'\u00B5'}, {865, 0xE6, U'\u00B5'},
    {852, 0xAA, U'\u00AC'}, {869, 0x88, U'\u00B7'}, {869, 0xEF, U'\u0384'},
};

const TCodePage& Cp1252() {
  static const TCodePage cp(1252);
  return cp;
}

// Runs `fn` on each code point of `s`; invalid UTF-8 is taken as Windows-1252.
template <typename Fn>
void ForEachCodePoint(std::string_view s, Fn&& fn) {
  if (!IsValidUtf8(s)) {
    const std::string decoded = Cp1252ToUtf8(s);
    ForEachCodePoint(std::string_view(decoded), fn);
    return;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t i = 0;
  const auto n = static_cast<int32_t>(s.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    fn(static_cast<char32_t>(c));
  }
}

std::u32string Folded(std::string_view s) {
  std::u32string r;
  r.reserve(s.size());
  ForEachCodePoint(s, [&](char32_t c) {
    r += static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
  });
  return r;
}

}  // namespace

struct TCodePage::TConverter {
  UConverter* Cnv = nullptr;
  std::mutex Lock;  // an ICU converter keeps state and is not thread-safe
  ~TConverter() {
    if (Cnv) ucnv_close(Cnv);
  }
};

TCodePage::TCodePage(int codePage) : FNumber(codePage) {
  UConverter* cnv = OpenConverter(codePage);
  if (!cnv) throw std::runtime_error("Unbekannte Codepage " + std::to_string(codePage));
  FConverter = std::make_unique<TConverter>();
  FConverter->Cnv = cnv;
  FSingleByte = ucnv_getMaxCharSize(cnv) == 1;
  if (!FSingleByte) return;
  for (int b = 0; b < 256; ++b) {
    const char in = static_cast<char>(b);
    UChar buf[4];
    UErrorCode err = U_ZERO_ERROR;
    ucnv_reset(cnv);
    const int32_t len = ucnv_toUChars(cnv, buf, 4, &in, 1, &err);
    std::string& cell = FTable[b];
    if (U_FAILURE(err) || len <= 0) {
      AppendUtf8(cell, U'\uFFFD');
      continue;
    }
    int32_t i = 0;
    while (i < len) {
      UChar32 c;
      U16_NEXT(buf, i, len, c);
      AppendUtf8(cell, static_cast<char32_t>(c));
    }
  }
  for (const auto& fix : kWindowsCells) {
    if (fix.CodePage != codePage) continue;
    FTable[fix.Byte].clear();
    AppendUtf8(FTable[fix.Byte], fix.CodePoint);
  }
}

TCodePage::~TCodePage() = default;

bool TCodePage::IsKnown(int codePage) {
  UConverter* cnv = OpenConverter(codePage);
  if (!cnv) return false;
  ucnv_close(cnv);
  return true;
}

const TCodePage* TCodePage::Shared(int codePage) {
  // Built once per code page and kept for the life of the process: a table
  // holds one entry per known code page, never one per number asked for.
  static std::mutex lock;
  static auto* pages = new std::map<int, std::unique_ptr<TCodePage>>;
  const std::lock_guard<std::mutex> guard(lock);
  const auto it = pages->find(codePage);
  if (it != pages->end()) return it->second.get();
  if (!IsKnown(codePage)) return nullptr;
  return pages->emplace(codePage, std::make_unique<TCodePage>(codePage)).first->second.get();
}

void TCodePage::Decode(std::string_view bytes, std::string& out) const {
  if (FSingleByte) {
    out.reserve(out.size() + bytes.size());
    for (unsigned char b : bytes) {
      if (b < 0x80 && FTable[b].size() == 1)
        out += static_cast<char>(b);
      else
        out += FTable[b];
    }
    return;
  }
  std::lock_guard<std::mutex> guard(FConverter->Lock);
  std::vector<UChar> buf(bytes.size() * 2 + 4);
  UErrorCode err = U_ZERO_ERROR;
  ucnv_reset(FConverter->Cnv);
  const int32_t len = ucnv_toUChars(FConverter->Cnv, buf.data(), static_cast<int32_t>(buf.size()),
                                    bytes.data(), static_cast<int32_t>(bytes.size()), &err);
  if (U_FAILURE(err)) {
    out += Cp1252ToUtf8(bytes);
    return;
  }
  int32_t i = 0;
  while (i < len) {
    UChar32 c;
    U16_NEXT(buf.data(), i, len, c);
    AppendUtf8(out, static_cast<char32_t>(c));
  }
}

std::string TCodePage::Decode(std::string_view bytes) const {
  std::string out;
  Decode(bytes, out);
  return out;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  return Cp1252().Decode(bytes);
}

std::string Utf8ToCp1252(std::string_view text) {
  static const std::array<char32_t, 256> table = [] {
    std::array<char32_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
      const std::string u = Cp1252ToUtf8(std::string(1, static_cast<char>(b)));
      const auto* p = reinterpret_cast<const uint8_t*>(u.data());
      int32_t i = 0;
      UChar32 c;
      U8_NEXT(p, i, static_cast<int32_t>(u.size()), c);
      t[b] = static_cast<char32_t>(c);
    }
    return t;
  }();
  std::string out;
  ForEachCodePoint(text, [&](char32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
      return;
    }
    for (int b = 0x80; b < 256; ++b) {
      if (table[b] == c) {
        out += static_cast<char>(b);
        return;
      }
    }
    out += '?';
  });
  return out;
}

std::string DecodeLegacyText(std::string_view bytes) {
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return Cp1252ToUtf8(bytes);
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  std::vector<uint16_t> units(bytes.size() / 2);
  const int hi = bigEndian ? 0 : 1;
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<uint16_t>((static_cast<uint8_t>(bytes[2 * i + hi]) << 8) |
                                     static_cast<uint8_t>(bytes[2 * i + 1 - hi]));
  out.reserve(units.size());
  int32_t i = 0;
  const auto n = static_cast<int32_t>(units.size());
  while (i < n) {
    if (units[static_cast<size_t>(i)] < 0x80) {  // mostly ASCII
      out += static_cast<char>(units[static_cast<size_t>(i++)]);
      continue;
    }
    UChar32 c;
    U16_NEXT(units.data(), i, n, c);
    if (U_IS_SURROGATE(c)) c = 0xFFFD;  // a lone surrogate never travels further
    AppendUtf8(out, static_cast<char32_t>(c));
  }
  return out;
}

std::string DecodeDocumentText(std::string_view bytes, bool cut) {
  const auto starts = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
  if (starts("\xFF\xFE")) return Utf16ToUtf8(bytes.substr(2), false);
  if (starts("\xFE\xFF")) return Utf16ToUtf8(bytes.substr(2), true);
  if (starts("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  std::string_view whole = bytes;
  if (cut && !bytes.empty()) {
    // Only where the reading stopped inside the file may a UTF-8 character
    // be cut off; the end of a file is the end of its last character.
    size_t start = bytes.size() - 1;
    for (int back = 0; back < 3 && start > 0 && (static_cast<uint8_t>(bytes[start]) & 0xC0) == 0x80;
         ++back)
      --start;
    const auto lead = static_cast<uint8_t>(bytes[start]);
    const size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (lead >= 0xC0 && start + len > bytes.size()) whole = bytes.substr(0, start);
  }
  if (IsValidUtf8(whole)) return std::string(whole);
  return Cp1252ToUtf8(bytes);
}

namespace {

std::atomic<TTextFileNotice> gTextFileNotice{nullptr};

}  // namespace

TTextFileNotice SetTextFileNoticeHandler(TTextFileNotice handler) {
  return gTextFileNotice.exchange(handler);
}

std::string DecodeLegacyTextFile(std::string_view bytes, const std::string& fileName) {
  std::string text = DecodeLegacyText(bytes);
  const size_t nuls = static_cast<size_t>(std::count(text.begin(), text.end(), '\0'));
  if (nuls == 0) return text;
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  if (TTextFileNotice notice = gTextFileNotice.load())
    notice("Die Datei \"" + fileName + "\" enthält " + std::to_string(nuls) +
           " NUL-Zeichen; sie wurden beim Lesen entfernt.");
  return text;
}

std::string AnsiUpperCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  ForEachCodePoint(s, [&](char32_t c) {
    AppendUtf8(out, static_cast<char32_t>(u_toupper(static_cast<UChar32>(c))));
  });
  return out;
}

std::string AnsiLowerCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  ForEachCodePoint(s, [&](char32_t c) {
    AppendUtf8(out, static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))));
  });
  return out;
}

int AnsiCompareText(std::string_view a, std::string_view b) {
  // ASCII fast path: names of tables, columns and keys are ASCII.
  bool ascii = true;
  for (unsigned char c : a) ascii = ascii && c < 0x80;
  for (unsigned char c : b) ascii = ascii && c < 0x80;
  if (ascii) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      unsigned char x = static_cast<unsigned char>(a[i]);
      unsigned char y = static_cast<unsigned char>(b[i]);
      if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  const std::u32string fa = Folded(a);
  const std::u32string fb = Folded(b);
  return fa.compare(fb) < 0 ? -1 : (fa == fb ? 0 : 1);
}

std::string FoldedText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool ascii = true;
  for (unsigned char c : s) ascii = ascii && c < 0x80;
  if (ascii) {
    for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return out;
  }
  for (char32_t c : Folded(s)) AppendUtf8(out, c);
  return out;
}

int AnsiCompareStr(std::string_view a, std::string_view b) {
  // UTF-8 byte order is code point order.
  const int r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

size_t Utf8Length(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string Utf8Left(std::string_view s, size_t count) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == count) return std::string(s.substr(0, i));
      ++chars;
    }
  }
  return std::string(s);
}

std::string TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= ' ') --n;
  return std::string(s.substr(0, n));
}

std::string Trim(std::string_view s) {
  return TrimRight(TrimLeft(s));
}

std::string AsciiUpper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

std::string AsciiLower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

bool AsciiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string r;
  size_t pos = 0;
  while (true) {
    const size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    r.append(s.substr(pos, hit - pos));
    r.append(to);
    pos = hit + from.size();
  }
  r.append(s.substr(pos));
  return r;
}

}  // namespace dk
