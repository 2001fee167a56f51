#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "util/StrToTm.h"
#include "util/TimeUtil.h"

namespace {
constexpr char HUB_FORMAT[] = "%Y-%m-%d %H%M %S";
constexpr int UNTOUCHED = -99;

struct tm sentinelTm() {
  struct tm t;
  memset(&t, 0, sizeof t);
  t.tm_sec = t.tm_min = t.tm_hour = t.tm_mday = t.tm_mon = t.tm_year = t.tm_wday = t.tm_yday =
      UNTOUCHED;
  return t;
}
}  // namespace

// The fields of t as "year mon mday hour min sec wday yday"; -99 is a field
// the parse left alone.
std::string fields(const struct tm& t) {
  char text[96];
  snprintf(text, sizeof text, "%d %d %d %d %d %d %d %d", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour,
           t.tm_min, t.tm_sec, t.tm_wday, t.tm_yday);
  return text;
}

struct ParseCase {
  const char* text;
  const char* format;
  int used;              // characters used, -1 for a failed parse
  const char* expected;  // fields(t) after a parse that did not fail
};

TEST(StrToTmTest, ParsesTable) {
  const ParseCase cases[] = {
      {"2023-04-06 1345 02", HUB_FORMAT, 18, "123 3 6 13 45 2 -99 -99"},
      {"2023-04-06 1345 02 trailing", HUB_FORMAT, 18, "123 3 6 13 45 2 -99 -99"},
      {"2023-04-06 1375 02", HUB_FORMAT, 18, "123 3 6 13 75 2 -99 -99"},  // minute 75 kept
      // text ending before a number
      {"2023-04-06 1345", HUB_FORMAT, -1, ""},
      {"2023-04-06 13", HUB_FORMAT, -1, ""},
      {"2023-04-06 1", HUB_FORMAT, -1, ""},  // the hour needs two characters
      {"2023-04-", HUB_FORMAT, -1, ""},
      {"", HUB_FORMAT, -1, ""},
      // literal mismatch
      {"2023/04/06 1345 02", HUB_FORMAT, -1, ""},
      {"2023-04-06 13:45 02", HUB_FORMAT, -1, ""},
      {"0930", "%H%M", 4, "-99 -99 -99 9 30 -99 -99 -99"},
      {"7:30", "%H:%M", -1, ""},
      // names in any case; the full name is used, not "Thu" and "Sep"
      {"thu, 06 APR 2023", "%a, %d %b %Y", 16, "123 3 6 -99 -99 -99 4 -99"},
      {"Thursday September", "%A %B", 18, "-99 8 -99 -99 -99 -99 4 -99"},
      {"Thx", "%a", -1, ""},
      {"Ma", "%b", -1, ""},
      {"04/06/23 13:45:02", "%D %T", 17, "123 3 6 13 45 2 -99 -99"},
      {"12/31/69", "%D", 8, "169 11 31 -99 -99 -99 -99 -99"},  // years below 70 are 2000 onwards
      {"12/31/70", "%D", 8, "70 11 31 -99 -99 -99 -99 -99"},
      {"20 100%", "%C %j%%", 7, "100 -99 -99 -99 -99 -99 -99 99"},
      {"UTC 13:45", "%Z", 0, "-99 -99 -99 -99 -99 -99 -99 -99"},  // nothing of the text is used
      {"13:45", "%c%R", 5, "-99 -99 -99 13 45 -99 -99 -99"},
      {"7", "%u", 1, "-99 -99 -99 -99 -99 -99 0 -99"},  // left to the C library
      {"1", "%", -1, ""},                               // a lone "%" ends the format badly
      {"99999999999999999999", "%C", 20, "2147483647 -99 -99 -99 -99 -99 -99 -99"},
  };
  for (const ParseCase& c : cases) {
    struct tm t = sentinelTm();
    const char* end = strToTm(c.text, c.format, &t);
    EXPECT_EQ(end == nullptr ? -1 : static_cast<int>(end - c.text), c.used) << c.text;
    if (end != nullptr) {
      EXPECT_EQ(fields(t), c.expected) << c.text;
    }
  }
  struct tm t = sentinelTm();
  ASSERT_NE(strToTm("99999999999999999999", "%Y", &t), nullptr);
  EXPECT_GT(t.tm_year, 0);  // no overflow
}

TEST(StrToTmTest, StrToTimeTGivesUtcSecondsAndCarriesMinutes) {
  EXPECT_EQ(strToTime_t("2023-04-06 1345 02"), 1680788702);
  EXPECT_EQ(time_tToStr(strToTime_t("2023-04-06 1375 02")), "2023-04-06 14:15:02");
  EXPECT_EQ(strToTime_t("2023-04-06"), 0);
}
