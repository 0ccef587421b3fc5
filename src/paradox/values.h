// Decoding of Paradox field values from the bytes of a record.
//
// Paradox stores numbers so that they sort as unsigned bytes: integers
// (Short, Long, Autoincrement, Date, Time) big-endian with the sign bit
// flipped, doubles (Number, Currency, Timestamp) big-endian with the sign bit
// set for values >= 0 and every bit inverted for negative ones. A field whose
// bytes are all zero is blank (NULL). The functions here take a pointer into
// the record; the caller has checked that the field lies inside it and that it
// is not blank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dk {

// True when all `size` bytes are zero: the blank value of every fixed-size type.
bool PxIsBlank(const uint8_t* p, size_t size);

int32_t PxDecodeInt16(const uint8_t* p);
int32_t PxDecodeInt32(const uint8_t* p);
double PxDecodeDouble(const uint8_t* p);

// Appends the decimal text of a 17-byte BCD value with exactly `scale`
// fraction digits (no point when `scale` is 0) and returns true. A value whose
// byte 0 lacks the "valid" bit (bit 6) is not a number; the function then
// appends nothing and returns false, and callers treat the value as NULL.
// Digits after the first non-decimal nibble are noise written by old engines
// (a double printed to too many places) and read as 0.
bool PxDecodeBcd(const uint8_t* p, int scale, std::string& out);

// Dates are day numbers in the proleptic Gregorian calendar with 0001-01-01 as
// day 1 (the day before is 0000-12-31, year 0 being 1 BC).
struct TPxCivilDate {
  int64_t Year;
  int Month;
  int Day;
};
TPxCivilDate PxDateFromDayNumber(int64_t day);
int64_t PxDayNumberFromDate(int64_t year, int month, int day);

constexpr int64_t kPxMsPerDay = 86400000;
// Day number of 1899-12-30, day 0 of the Delphi TDateTime used by the system.
constexpr int64_t kPxDelphiEpochDay = 693594;

// "YYYY-MM-DD"; years before 1 are written astronomically ("-0001-12-31").
void PxAppendDate(std::string& out, int64_t dayNumber);
// "hh:mm:ss", with ".zzz" only when the milliseconds are not 0. `ms` lies in
// 0 .. kPxMsPerDay - 1.
void PxAppendTime(std::string& out, int64_t ms);

// Splits a Timestamp value (milliseconds since the start of day 0) into day
// number and milliseconds of the day (rounded to whole milliseconds). Returns
// false for a value that is not finite or lies beyond the range of an int32
// day number.
bool PxSplitTimestamp(double value, int64_t& dayNumber, int64_t& msOfDay);

// Delphi TDateTime of a day and a time of day: days since 1899-12-30, the time
// as the fraction of a day. Before 1899-12-30 the time is subtracted, as the
// system's date functions do (1899-12-29 06:00 is -1.25).
double PxDelphiDateTime(int64_t dayNumber, int64_t msOfDay);

// The shortest text that reads back as the same double, in the manner of
// Python's repr but without a ".0" on whole numbers: "40", "200.36", "1e+20",
// "1.5e-05". The exponent form is used below 1e-4 and from 1e16 on.
std::string PxFormatFloat(double value);
// The same, with ".0" kept on whole numbers ("40.0"): Python's repr exactly.
std::string PxFormatFloatRepr(double value);

}  // namespace dk
