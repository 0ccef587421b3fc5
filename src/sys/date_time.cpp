#include "sys/date_time.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace dk {

namespace {

constexpr int64_t kMsecsPerDay = 86400000;

// Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

// 1899-12-30 counted from 1970-01-01.
const int64_t kOriginDays = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

bool ValidDate(int y, int m, int d) {
  return y >= 1 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= DaysInMonth(y, m);
}

bool ValidTime(int h, int n, int s, int ms) {
  return h >= 0 && h < 24 && n >= 0 && n < 60 && s >= 0 && s < 60 && ms >= 0 && ms < 1000;
}

// Floor division for negative millisecond counts (dates before 1899-12-30).
int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// A small cursor over the text being parsed.
struct TScanner {
  std::string_view s;
  size_t pos = 0;
  bool AtEnd() const { return pos >= s.size(); }
  char Peek() const { return AtEnd() ? '\0' : s[pos]; }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++pos;
    return true;
  }
  // Reads between minDigits and maxDigits decimal digits.
  bool Number(int minDigits, int maxDigits, int& value) {
    int count = 0;
    value = 0;
    while (count < maxDigits && Peek() >= '0' && Peek() <= '9') {
      value = value * 10 + (s[pos++] - '0');
      ++count;
    }
    return count >= minDigits;
  }
};

// "HH:MM", "HH:MM:SS" or "HH:MM:SS.fff..." (more fraction digits are rounded).
bool ParseTime(TScanner& sc, int& h, int& n, int& sec, int& ms) {
  sec = 0;
  ms = 0;
  if (!sc.Number(1, 2, h) || !sc.Take(':') || !sc.Number(2, 2, n)) return false;
  if (sc.Take(':')) {
    if (!sc.Number(2, 2, sec)) return false;
    if (sc.Take('.') || sc.Take(',')) {
      double frac = 0, scale = 0.1;
      if (!(sc.Peek() >= '0' && sc.Peek() <= '9')) return false;
      while (sc.Peek() >= '0' && sc.Peek() <= '9') {
        frac += (sc.s[sc.pos++] - '0') * scale;
        scale /= 10;
      }
      ms = static_cast<int>(std::lround(frac * 1000));
      if (ms == 1000) ms = 999;  // never roll over into the next second
    }
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

TDateTime TDateTime::Encode(int year, int month, int day, int hour, int minute, int second,
                            int msec) {
  if (!ValidDate(year, month, day)) throw std::invalid_argument("Ungültiges Datum");
  if (!ValidTime(hour, minute, second, msec)) throw std::invalid_argument("Ungültige Uhrzeit");
  int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kOriginDays;
  return TDateTime(days * kMsecsPerDay + ((hour * 60LL + minute) * 60 + second) * 1000 + msec);
}

TDateTime TDateTime::FromDays(double days) {
  // The system's day numbers keep the time of day as a positive fraction even
  // before the origin; -1.25 is 1899-12-29 06:00.
  double whole = std::trunc(days);
  double frac = std::fabs(days - whole);
  int64_t ms = static_cast<int64_t>(whole) * kMsecsPerDay + std::llround(frac * kMsecsPerDay);
  return TDateTime(ms);
}

TDateTime TDateTime::Now() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t t = static_cast<std::time_t>(FloorDiv(ms, 1000));
  std::tm local{};
  localtime_r(&t, &local);
  return Encode(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec > 59 ? 59 : local.tm_sec,
                static_cast<int>(ms - FloorDiv(ms, 1000) * 1000));
}

double TDateTime::Days() const {
  int64_t days = FloorDiv(FMsecs, kMsecsPerDay);
  double frac = static_cast<double>(FMsecs - days * kMsecsPerDay) / kMsecsPerDay;
  return days >= 0 ? days + frac : days - frac;  // see FromDays
}

void TDateTime::DecodeDate(int& year, int& month, int& day) const {
  CivilFromDays(FloorDiv(FMsecs, kMsecsPerDay) + kOriginDays, year, month, day);
}

void TDateTime::DecodeTime(int& hour, int& minute, int& second, int& msec) const {
  int64_t t = FMsecs - FloorDiv(FMsecs, kMsecsPerDay) * kMsecsPerDay;
  msec = static_cast<int>(t % 1000);
  t /= 1000;
  second = static_cast<int>(t % 60);
  t /= 60;
  minute = static_cast<int>(t % 60);
  hour = static_cast<int>(t / 60);
}

bool TDateTime::HasTime() const {
  return FMsecs - FloorDiv(FMsecs, kMsecsPerDay) * kMsecsPerDay != 0;
}

std::string TDateTime::IsoText() const {
  int y, m, d, h, n, s, ms;
  DecodeDate(y, m, d);
  DecodeTime(h, n, s, ms);
  char buf[40];
  if (ms != 0)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, h, n, s, ms);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d, h, n, s);
  return buf;
}

std::string TDateTime::IsoTextDateOnlyAtMidnight() const {
  if (HasTime()) return IsoText();
  int y, m, d;
  DecodeDate(y, m, d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string TDateTime::GermanText() const {
  int y, m, d, h, n, s, ms;
  DecodeDate(y, m, d);
  DecodeTime(h, n, s, ms);
  char buf[40];
  if (HasTime())
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", d, m, y, h, n, s);
  else
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", d, m, y);
  return buf;
}

std::optional<TDateTime> TDateTime::Parse(std::string_view text) {
  TScanner sc{TrimBlanks(text)};
  if (sc.s.empty()) return std::nullopt;
  int y = 1899, m = 12, d = 30, h = 0, n = 0, s = 0, ms = 0;
  size_t colon = sc.s.find(':');
  size_t dash = sc.s.find('-');
  size_t dot = sc.s.find('.');
  bool timeOnly = colon != std::string_view::npos &&
                  (dash == std::string_view::npos || dash > colon) &&
                  (dot == std::string_view::npos || dot > colon);
  if (timeOnly) {
    if (!ParseTime(sc, h, n, s, ms)) return std::nullopt;
  } else {
    int a;
    if (!sc.Number(1, 4, a)) return std::nullopt;
    if (sc.Take('-')) {  // ISO: YYYY-MM-DD
      y = a;
      if (!sc.Number(1, 2, m) || !sc.Take('-') || !sc.Number(1, 2, d)) return std::nullopt;
    } else if (sc.Take('.')) {  // German: d.m.yyyy
      d = a;
      if (!sc.Number(1, 2, m) || !sc.Take('.') || !sc.Number(4, 4, y)) return std::nullopt;
    } else {
      return std::nullopt;
    }
    if (!sc.AtEnd()) {
      if (!(sc.Take(' ') || sc.Take('T'))) return std::nullopt;
      while (sc.Take(' ')) {
      }
      if (!ParseTime(sc, h, n, s, ms)) return std::nullopt;
    }
  }
  if (!sc.AtEnd()) return std::nullopt;
  if (!ValidDate(y, m, d) || !ValidTime(h, n, s, ms)) return std::nullopt;
  return Encode(y, m, d, h, n, s, ms);
}

}  // namespace dk
