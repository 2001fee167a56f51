#include "util/TimeUtil.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/Console.h"
#include "util/StrToTm.h"

Mutex TIMELOCK;

namespace {
constexpr long MAX_SLEEPU = 999999;
constexpr int SUSPICIOUS_YEAR = 2010;
constexpr char STRTOTIME_FORMAT[] = "%Y-%m-%d %H%M %S";
constexpr char TIME_TO_STR_FORMAT[] = "%Y-%m-%d %H:%M:%S";
}  // namespace

void sleepu(long microseconds) {
  if (microseconds <= 0) return;
  if (microseconds > MAX_SLEEPU) microseconds = MAX_SLEEPU;
  struct timespec req = {0, microseconds * 1000};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

void gmtm(struct tm* out, time_t t) {
  if (t < 1) t = 0;
  gmtime_r(&t, out);
  out->tm_isdst = -1;
}

void nowtm(struct tm* out) { gmtm(out, time(nullptr)); }

void localTime(time_t t, struct tm* out) { localtime_r(&t, out); }

namespace {
std::string formatTime(time_t t, const char* format, bool utc) {
  MutexLock lock(TIMELOCK);
  struct tm tm;
  if (utc)
    gmtm(&tm, t);
  else
    localTime(t, &tm);
  char text[FORMATTED_TIME_MAX + 1];
  size_t n = strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}
}  // namespace

std::string formatUtc(time_t t, const char* format) { return formatTime(t, format, true); }

std::string formatLocal(time_t t, const char* format) { return formatTime(t, format, false); }

std::string time_tToStr(time_t t) { return formatUtc(t, TIME_TO_STR_FORMAT); }

time_t tmToTime_t(const struct tm& t) {
  struct tm copy = t;
  return timegm(&copy);
}

time_t strToTime_t(const char* text) {
  if (text == nullptr) return 0;
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  if (strToTm(text, STRTOTIME_FORMAT, &tm) == nullptr) return 0;
  return tmToTime_t(tm);
}

int64_t getMillisec() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

uint32_t tic() { return static_cast<uint32_t>(getMillisec()); }

double getFloatSec() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

void addTime(const struct tm& in, struct tm* out, int years, int months, int days, int hours,
             int minutes, int seconds) {
  struct tm t = in;
  t.tm_year += years;
  t.tm_mon += months;
  t.tm_mday += days;
  t.tm_hour += hours;
  t.tm_min += minutes;
  t.tm_sec += seconds;
  time_t secs = timegm(&t);
  gmtm(out, secs);
  if (out->tm_year + 1900 <= SUSPICIOUS_YEAR) pprintf("Huh?  year=%d\n", out->tm_year + 1900);
}
