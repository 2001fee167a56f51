#include "util/StrToTm.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

const char* const WEEKDAYS_FULL[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
const char* const WEEKDAYS_ABBR[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTHS_FULL[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
const char* const MONTHS_ABBR[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int DAYS_IN_WEEK = 7;
constexpr int MONTHS_IN_YEAR = 12;
constexpr int TM_YEAR_BASE = 1900;
constexpr int TWO_DIGIT_YEAR_PIVOT = 70;
constexpr long long YEARS_PER_CENTURY = 100;
// Numbers larger than this are clamped so that no field overflows an int.
constexpr long NUMBER_LIMIT = 100000000L;

void skipSpace(const char*& s) {
  while (*s != '\0' && isspace(static_cast<unsigned char>(*s))) ++s;
}

// A decimal number with optional leading blanks; false when no digit follows.
bool readNumber(const char*& s, int& value) {
  skipSpace(s);
  bool negative = false;
  if (*s == '-' || *s == '+') {
    negative = (*s == '-');
    if (!isdigit(static_cast<unsigned char>(s[1]))) return false;
    ++s;
  }
  if (!isdigit(static_cast<unsigned char>(*s))) return false;
  long v = 0;
  while (isdigit(static_cast<unsigned char>(*s))) {
    if (v < NUMBER_LIMIT) v = v * 10 + (*s - '0');
    ++s;
  }
  value = static_cast<int>(negative ? -v : v);
  return true;
}

// Exactly two characters as the hour; both must be digits.
bool readTwoDigitHour(const char*& s, int& value) {
  if (!isdigit(static_cast<unsigned char>(s[0])) || !isdigit(static_cast<unsigned char>(s[1])))
    return false;
  value = (s[0] - '0') * 10 + (s[1] - '0');
  s += 2;
  return true;
}

// Full names first, so "Monday" is not taken as "Mon" + "day".
int matchName(const char*& s, const char* const* full, const char* const* abbr, int count) {
  int i = match_string(&s, full, count);
  if (i >= 0) return i;
  return match_string(&s, abbr, count);
}

}  // namespace

int match_string(const char** position, const char* const* names, int count) {
  for (int i = 0; i < count; ++i) {
    size_t len = strlen(names[i]);
    if (strncasecmp(*position, names[i], len) == 0) {
      *position += len;
      return i;
    }
  }
  return -1;
}

const char* strToTm(const char* text, const char* format, struct tm* tm) {
  if (text == nullptr || format == nullptr || tm == nullptr) return nullptr;
  const char* s = text;
  for (const char* f = format; *f != '\0'; ++f) {
    if (isspace(static_cast<unsigned char>(*f))) {
      skipSpace(s);
      continue;
    }
    if (*f != '%') {
      if (*s != *f) return nullptr;
      ++s;
      continue;
    }
    ++f;
    if (*f == '\0') return nullptr;
    int n = 0;
    switch (*f) {
      case 'Y':
        if (!readNumber(s, n)) return nullptr;
        tm->tm_year = n - TM_YEAR_BASE;
        break;
      case 'y':
        if (!readNumber(s, n)) return nullptr;
        tm->tm_year = n < TWO_DIGIT_YEAR_PIVOT ? n + 100 : n;
        break;
      case 'C': {
        if (!readNumber(s, n)) return nullptr;
        long long year = static_cast<long long>(n) * YEARS_PER_CENTURY - TM_YEAR_BASE;
        tm->tm_year = static_cast<int>(year < INT_MIN ? INT_MIN : year > INT_MAX ? INT_MAX : year);
        break;
      }
      case 'm':
        if (!readNumber(s, n)) return nullptr;
        tm->tm_mon = n - 1;
        break;
      case 'd':
      case 'e':
        if (!readNumber(s, n)) return nullptr;
        tm->tm_mday = n;
        break;
      case 'H':
      case 'k':
        if (!readTwoDigitHour(s, n)) return nullptr;
        tm->tm_hour = n;
        break;
      case 'M':
        if (!readNumber(s, n)) return nullptr;
        tm->tm_min = n;
        break;
      case 'S':
        if (!readNumber(s, n)) return nullptr;
        tm->tm_sec = n;
        break;
      case 'j':
        if (!readNumber(s, n)) return nullptr;
        tm->tm_yday = n - 1;
        break;
      case 'a':
      case 'A': {
        int i = matchName(s, WEEKDAYS_FULL, WEEKDAYS_ABBR, DAYS_IN_WEEK);
        if (i < 0) return nullptr;
        tm->tm_wday = i;
        break;
      }
      case 'b':
      case 'h':
      case 'B': {
        int i = matchName(s, MONTHS_FULL, MONTHS_ABBR, MONTHS_IN_YEAR);
        if (i < 0) return nullptr;
        tm->tm_mon = i;
        break;
      }
      case 'D':
        s = strToTm(s, "%m/%d/%y", tm);
        if (s == nullptr) return nullptr;
        break;
      case 'R':
        s = strToTm(s, "%H:%M", tm);
        if (s == nullptr) return nullptr;
        break;
      case 'T':
      case 'X':
        s = strToTm(s, "%H:%M:%S", tm);
        if (s == nullptr) return nullptr;
        break;
      case 'n':
      case 't':
        skipSpace(s);
        break;
      case 'Z':
      case 'c':
        break;
      case '%':
        if (*s != '%') return nullptr;
        ++s;
        break;
      default: {
        // Conversions the hub never uses: as the C library parses them.
        char one[4] = {'%', *f, '\0', '\0'};
        if ((*f == 'E' || *f == 'O') && f[1] != '\0') one[2] = *++f;
        s = strptime(s, one, tm);
        if (s == nullptr) return nullptr;
        break;
      }
    }
  }
  return s;
}
