#include <gtest/gtest.h>

#include <climits>
#include <cstring>

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

TEST(StrToTmTest, HubFormatParsesCompactTimeStamp) {
  struct tm t = sentinelTm();
  const char* text = "2023-04-06 1345 02";
  const char* end = strToTm(text, HUB_FORMAT, &t);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end, text + strlen(text));
  EXPECT_EQ(t.tm_year, 123);
  EXPECT_EQ(t.tm_mon, 3);
  EXPECT_EQ(t.tm_mday, 6);
  EXPECT_EQ(t.tm_hour, 13);
  EXPECT_EQ(t.tm_min, 45);
  EXPECT_EQ(t.tm_sec, 2);
  EXPECT_EQ(t.tm_wday, UNTOUCHED);  // fields the format does not name stay
  EXPECT_EQ(t.tm_yday, UNTOUCHED);
}

TEST(StrToTmTest, ReturnsPositionAfterLastCharacterUsed) {
  struct tm t = sentinelTm();
  const char* text = "2023-04-06 1345 02 trailing";
  EXPECT_EQ(strToTm(text, HUB_FORMAT, &t), text + 18);
}

TEST(StrToTmTest, StrToTimeTGivesUtcSeconds) {
  EXPECT_EQ(strToTime_t("2023-04-06 1345 02"), 1680788702);
  EXPECT_EQ(time_tToStr(strToTime_t("2023-04-06 1345 02")), "2023-04-06 13:45:02");
}

TEST(StrToTmTest, MinuteOf75IsKeptAndCarriedLater) {
  struct tm t = sentinelTm();
  ASSERT_NE(strToTm("2023-04-06 1375 02", HUB_FORMAT, &t), nullptr);
  EXPECT_EQ(t.tm_min, 75);
  EXPECT_EQ(time_tToStr(strToTime_t("2023-04-06 1375 02")), "2023-04-06 14:15:02");
}

TEST(StrToTmTest, TextEndingBeforeANumberFails) {
  struct tm t = sentinelTm();
  EXPECT_EQ(strToTm("2023-04-06 1345", HUB_FORMAT, &t), nullptr);
  EXPECT_EQ(strToTm("2023-04-06 13", HUB_FORMAT, &t), nullptr);
  EXPECT_EQ(strToTm("2023-04-06 1", HUB_FORMAT, &t), nullptr);  // hour needs two characters
  EXPECT_EQ(strToTm("2023-04-", HUB_FORMAT, &t), nullptr);
  EXPECT_EQ(strToTm("", HUB_FORMAT, &t), nullptr);
  EXPECT_EQ(strToTime_t("2023-04-06"), 0);
}

TEST(StrToTmTest, LiteralMismatchFails) {
  struct tm t = sentinelTm();
  EXPECT_EQ(strToTm("2023/04/06 1345 02", HUB_FORMAT, &t), nullptr);
  EXPECT_EQ(strToTm("2023-04-06 13:45 02", HUB_FORMAT, &t), nullptr);
}

TEST(StrToTmTest, HourTakesExactlyTwoCharacters) {
  struct tm t = sentinelTm();
  ASSERT_NE(strToTm("0930", "%H%M", &t), nullptr);
  EXPECT_EQ(t.tm_hour, 9);
  EXPECT_EQ(t.tm_min, 30);
  EXPECT_EQ(strToTm("7:30", "%H:%M", &t), nullptr);
}

TEST(StrToTmTest, WeekdayAndMonthNamesInAnyCase) {
  struct tm t = sentinelTm();
  const char* text = "thu, 06 APR 2023";
  const char* end = strToTm(text, "%a, %d %b %Y", &t);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(*end, '\0');
  EXPECT_EQ(t.tm_wday, 4);
  EXPECT_EQ(t.tm_mon, 3);
  EXPECT_EQ(t.tm_mday, 6);
  EXPECT_EQ(t.tm_year, 123);

  t = sentinelTm();
  end = strToTm("Thursday September", "%A %B", &t);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(*end, '\0');  // the full name is used, not "Thu" and "Sep"
  EXPECT_EQ(t.tm_wday, 4);
  EXPECT_EQ(t.tm_mon, 8);

  EXPECT_EQ(strToTm("Thx", "%a", &t), nullptr);
  EXPECT_EQ(strToTm("Ma", "%b", &t), nullptr);
}

TEST(StrToTmTest, CompositeConversions) {
  struct tm t = sentinelTm();
  ASSERT_NE(strToTm("04/06/23 13:45:02", "%D %T", &t), nullptr);
  EXPECT_EQ(t.tm_mon, 3);
  EXPECT_EQ(t.tm_mday, 6);
  EXPECT_EQ(t.tm_year, 123);
  EXPECT_EQ(t.tm_hour, 13);
  EXPECT_EQ(t.tm_min, 45);
  EXPECT_EQ(t.tm_sec, 2);
  ASSERT_NE(strToTm("12/31/69", "%D", &t), nullptr);
  EXPECT_EQ(t.tm_year, 169);  // two-digit years below 70 are 2000 onwards
  ASSERT_NE(strToTm("12/31/70", "%D", &t), nullptr);
  EXPECT_EQ(t.tm_year, 70);
  ASSERT_NE(strToTm("20 100%", "%C %j%%", &t), nullptr);
  EXPECT_EQ(t.tm_year, 100);
  EXPECT_EQ(t.tm_yday, 99);
}

TEST(StrToTmTest, IgnoredAndDelegatedConversions) {
  struct tm t = sentinelTm();
  const char* text = "UTC 13:45";
  EXPECT_EQ(strToTm(text, "%Z", &t), text);  // nothing of the text is used
  EXPECT_EQ(strToTm(text + 4, "%c%R", &t), text + strlen(text));
  EXPECT_EQ(t.tm_hour, 13);
  ASSERT_NE(strToTm("7", "%u", &t), nullptr);  // left to the C library
  EXPECT_EQ(t.tm_wday, 0);
  EXPECT_EQ(strToTm("1", "%", &t), nullptr);  // a lone "%" ends the format badly
}

TEST(StrToTmTest, HugeNumbersDoNotOverflow) {
  struct tm t = sentinelTm();
  ASSERT_NE(strToTm("99999999999999999999", "%C", &t), nullptr);
  EXPECT_EQ(t.tm_year, INT_MAX);
  ASSERT_NE(strToTm("99999999999999999999", "%Y", &t), nullptr);
  EXPECT_GT(t.tm_year, 0);
}
