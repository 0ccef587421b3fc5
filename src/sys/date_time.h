// A point in time as the system's date-time values carry it: a calendar date
// and a time of day, without time zone, to the millisecond.
//
// The value counts milliseconds from 1899-12-30 00:00, the origin of the
// system's date-time numbers, so Days() gives the familiar fractional day
// number and whole days and times of day convert without loss. Texts are the
// ISO form that the databases store and compare ("YYYY-MM-DD HH:MM:SS", a
// fraction only when there is one) and the product's German form for display
// ("dd.mm.yyyy hh:nn:ss").
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dk {

class TDateTime {
 public:
  TDateTime() = default;

  // Throws std::invalid_argument for a date or time outside the calendar
  // (month 13, 31 April, hour 24, year outside 1..9999).
  static TDateTime Encode(int year, int month, int day, int hour = 0, int minute = 0,
                          int second = 0, int msec = 0);
  static TDateTime FromMilliseconds(int64_t msecs) { return TDateTime(msecs); }
  // From the fractional day number (1.5 is 1899-12-31 12:00), rounded to the
  // millisecond.
  static TDateTime FromDays(double days);
  // The local date and time of the machine.
  static TDateTime Now();

  int64_t Milliseconds() const { return FMsecs; }
  double Days() const;

  void DecodeDate(int& year, int& month, int& day) const;
  void DecodeTime(int& hour, int& minute, int& second, int& msec) const;
  // True when the time of day is not exactly midnight.
  bool HasTime() const;

  // "YYYY-MM-DD HH:MM:SS", with ".fff" only when the milliseconds are not 0.
  std::string IsoText() const;
  // As IsoText, but only "YYYY-MM-DD" at exactly midnight.
  std::string IsoTextDateOnlyAtMidnight() const;
  // "dd.mm.yyyy hh:nn:ss"; only "dd.mm.yyyy" at exactly midnight.
  std::string GermanText() const;

  // Reads the ISO forms ("YYYY-MM-DD", optionally followed by a blank or "T"
  // and "HH:MM", "HH:MM:SS" or "HH:MM:SS.fff..."), the German forms
  // ("d.m.yyyy", optionally followed by "h:nn" or "h:nn:ss") and a bare time
  // ("HH:MM[:SS]", on day 0). Surrounding blanks are ignored. Anything else,
  // or an impossible date, gives nothing.
  static std::optional<TDateTime> Parse(std::string_view text);

  auto operator<=>(const TDateTime&) const = default;

 private:
  explicit TDateTime(int64_t msecs) : FMsecs(msecs) {}
  int64_t FMsecs = 0;
};

}  // namespace dk
