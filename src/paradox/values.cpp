#include "paradox/values.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace dk {

bool PxIsBlank(const uint8_t* p, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (p[i] != 0) return false;
  return true;
}

int32_t PxDecodeInt16(const uint8_t* p) {
  const uint16_t raw = static_cast<uint16_t>(((p[0] ^ 0x80u) << 8) | p[1]);
  return static_cast<int16_t>(raw);
}

int32_t PxDecodeInt32(const uint8_t* p) {
  const uint32_t raw = (static_cast<uint32_t>(p[0] ^ 0x80u) << 24) |
                       (static_cast<uint32_t>(p[1]) << 16) | (static_cast<uint32_t>(p[2]) << 8) |
                       static_cast<uint32_t>(p[3]);
  return static_cast<int32_t>(raw);
}

double PxDecodeDouble(const uint8_t* p) {
  uint64_t raw = 0;
  for (int i = 0; i < 8; ++i) raw = (raw << 8) | p[i];
  if (raw & (uint64_t{1} << 63))
    raw &= ~(uint64_t{1} << 63);
  else
    raw = ~raw;
  double value;
  std::memcpy(&value, &raw, sizeof value);
  return value;
}

bool PxDecodeBcd(const uint8_t* p, int scale, std::string& out) {
  if (!(p[0] & 0x40)) return false;
  if (scale < 0) scale = 0;
  if (scale > 32) scale = 32;
  const bool negative = !(p[0] & 0x80);
  char digits[32];
  bool noise = false;
  bool nonZero = false;
  for (int i = 0; i < 32; ++i) {
    int nibble = (i % 2 == 0) ? (p[1 + i / 2] >> 4) : (p[1 + i / 2] & 0x0F);
    if (negative) nibble = 15 - nibble;
    if (nibble > 9) noise = true;
    if (noise) nibble = 0;
    nonZero = nonZero || nibble != 0;
    digits[i] = static_cast<char>('0' + nibble);
  }
  if (negative && nonZero) out += '-';
  const int intDigits = 32 - scale;
  int first = 0;
  while (first < intDigits - 1 && digits[first] == '0') ++first;
  if (intDigits == 0)
    out += '0';
  else
    out.append(digits + first, static_cast<size_t>(intDigits - first));
  if (scale > 0) {
    out += '.';
    out.append(digits + intDigits, static_cast<size_t>(scale));
  }
  return true;
}

// Day counts relative to 1970-01-01 (days_from_civil / civil_from_days after
// H. Hinnant's public-domain calendar algorithms), shifted to Paradox day
// numbers: 1970-01-01 is day 719163.
namespace {
constexpr int64_t kUnixEpochDay = 719163;
}

TPxCivilDate PxDateFromDayNumber(int64_t day) {
  int64_t z = day - kUnixEpochDay + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

int64_t PxDayNumberFromDate(int64_t year, int month, int day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + kUnixEpochDay;
}

namespace {

void AppendPadded(std::string& out, int64_t value, int width) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  const int len = static_cast<int>(res.ptr - buf);
  for (int i = len; i < width; ++i) out += '0';
  out.append(buf, res.ptr);
}

}  // namespace

void PxAppendDate(std::string& out, int64_t dayNumber) {
  const TPxCivilDate d = PxDateFromDayNumber(dayNumber);
  if (d.Year < 0) {
    out += '-';
    AppendPadded(out, -d.Year, 4);
  } else {
    AppendPadded(out, d.Year, 4);
  }
  out += '-';
  AppendPadded(out, d.Month, 2);
  out += '-';
  AppendPadded(out, d.Day, 2);
}

void PxAppendTime(std::string& out, int64_t ms) {
  AppendPadded(out, ms / 3600000, 2);
  out += ':';
  AppendPadded(out, ms / 60000 % 60, 2);
  out += ':';
  AppendPadded(out, ms / 1000 % 60, 2);
  if (ms % 1000 != 0) {
    out += '.';
    AppendPadded(out, ms % 1000, 3);
  }
}

bool PxSplitTimestamp(double value, int64_t& dayNumber, int64_t& msOfDay) {
  if (!std::isfinite(value)) return false;
  constexpr double kLimit = 2147483647.0 * static_cast<double>(kPxMsPerDay);
  if (value > kLimit || value < -kLimit) return false;
  const auto ms = static_cast<int64_t>(std::llround(value));
  int64_t day = ms / kPxMsPerDay;
  int64_t rest = ms % kPxMsPerDay;
  if (rest < 0) {
    rest += kPxMsPerDay;
    --day;
  }
  dayNumber = day;
  msOfDay = rest;
  return true;
}

double PxDelphiDateTime(int64_t dayNumber, int64_t msOfDay) {
  const double date = static_cast<double>(dayNumber - kPxDelphiEpochDay);
  const double time = static_cast<double>(msOfDay) / static_cast<double>(kPxMsPerDay);
  return date < 0 ? date - time : date + time;
}

namespace {

std::string FormatFloat(double value, bool keepPointZero) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  std::string out;
  if (!sci.empty() && sci[0] == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const size_t ePos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, ePos))
    if (c != '.') digits += c;
  int exp = 0;
  std::from_chars(sci.data() + ePos + 1 + (sci[ePos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exp);
  const int n = static_cast<int>(digits.size());
  if (exp < -4 || exp >= 16) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += exp < 0 ? '-' : '+';
    const int a = exp < 0 ? -exp : exp;
    if (a < 10) out += '0';
    out += std::to_string(a);
  } else if (exp >= n - 1) {
    out += digits;
    out.append(static_cast<size_t>(exp - (n - 1)), '0');
    if (keepPointZero) out += ".0";
  } else if (exp >= 0) {
    out.append(digits, 0, static_cast<size_t>(exp + 1));
    out += '.';
    out.append(digits, static_cast<size_t>(exp + 1));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  }
  return out;
}

}  // namespace

std::string PxFormatFloat(double value) {
  return FormatFloat(value, false);
}
std::string PxFormatFloatRepr(double value) {
  return FormatFloat(value, true);
}

}  // namespace dk
