// Clocks and UTC time conversions shared by every part of the hub.
#ifndef VH_UTIL_TIMEUTIL_H_
#define VH_UTIL_TIMEUTIL_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "util/Mutex.h"

// Serialises the conversion of the clock into broken-down time and its
// formatting (formatUtc, formatLocal, log time stamps) in the whole process.
extern Mutex TIMELOCK;

constexpr size_t FORMATTED_TIME_MAX = 63;  // characters of a formatUtc/formatLocal text

// Sleeps for the given microseconds; values of a second or more are cut to
// 999999 (callers sleep whole seconds with sleep()).
void sleepu(long microseconds);

// UTC broken-down time of t (t below 1 counts as 0), tm_isdst = -1.
void gmtm(struct tm* out, time_t t);
void nowtm(struct tm* out);
void localTime(time_t t, struct tm* out);

// strftime of t as UTC (gmtm) or local time, under TIMELOCK. Empty when
// the text would be longer than FORMATTED_TIME_MAX characters.
std::string formatUtc(time_t t, const char* format);
std::string formatLocal(time_t t, const char* format);
// t in UTC as "%Y-%m-%d %H:%M:%S" (formatUtc).
std::string time_tToStr(time_t t);

// Parses text with the format "%Y-%m-%d %H%M %S" (see strToTm) into UTC
// seconds. Returns 0 when the text does not match.
time_t strToTime_t(const char* text);

// Milliseconds of the wall clock: 32 bits (wraps), 64 bits, and seconds.
uint32_t tic();
int64_t getMillisec();
double getFloatSec();

// out = in with each field increased, then normalised as a UTC calendar
// time. A resulting year at or before 2010 prints "Huh?  year=%d\n".
void addTime(const struct tm& in, struct tm* out, int years, int months, int days, int hours,
             int minutes, int seconds);

// timegm of a broken-down UTC time.
time_t tmToTime_t(const struct tm& t);

#endif  // VH_UTIL_TIMEUTIL_H_
