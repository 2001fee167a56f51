#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gaps/Gap.h"

namespace {

// 2023-11-14 22:13:20 UTC; 22:13:00 is its minute.
constexpr time_t T = 1700000000;
constexpr time_t MINUTE_OF_T = 1699999980;

// Minute actions widen to whole minutes and are due after the end; the others
// keep their interval and are due at its end.
TEST(GapTest, IntervalAndPopTimeFollowTheAction) {
  struct Case {
    Gap::GapAction action;
    time_t start, end, pop;
  } cases[] = {
      {Gap::DLTRIG, MINUTE_OF_T, MINUTE_OF_T + 179, MINUTE_OF_T + 180},
      {Gap::DLREQU, MINUTE_OF_T, MINUTE_OF_T + 179, MINUTE_OF_T + 180},
      {Gap::DLBACK, MINUTE_OF_T, MINUTE_OF_T + 179, MINUTE_OF_T + 180},
      {Gap::BLDTRI, MINUTE_OF_T + 30, MINUTE_OF_T + 130, MINUTE_OF_T + 130},
      {Gap::REQHIS, MINUTE_OF_T + 30, MINUTE_OF_T + 130, MINUTE_OF_T + 130},
      {Gap::DELHIS, MINUTE_OF_T + 30, MINUTE_OF_T + 130, MINUTE_OF_T + 130},
  };
  for (const Case& c : cases) {
    Gap gap(MINUTE_OF_T + 30, MINUTE_OF_T + 130, c.action);  // 22:13:30 .. 22:15:10
    EXPECT_EQ(gap.start(), c.start) << c.action;
    EXPECT_EQ(gap.end(), c.end) << c.action;
    EXPECT_EQ(gap.popTime(), c.pop) << c.action;
  }
}

TEST(GapTest, UploadRequestIsDue45SecondsPerStartedMinuteAndFileGapAtOnce) {
  time_t before = time(nullptr);
  Gap gap(T, T + 150, Gap::UPLREQ);  // (150 + 30) / 60 = 3 minutes
  time_t after = time(nullptr);
  EXPECT_EQ(gap.start(), T);
  EXPECT_EQ(gap.end(), T + 150);
  EXPECT_GE(gap.popTime(), before + 135);
  EXPECT_LE(gap.popTime(), after + 135);
  // A file gap is due at once and keeps its texts.
  Gap file("DR/20231114.ms", "note");
  EXPECT_EQ(file.action(), Gap::DLFILE);
  EXPECT_EQ(file.text1(), "DR/20231114.ms");
  EXPECT_EQ(file.text2(), "note");
  EXPECT_GE(file.start(), before - 1);
  EXPECT_EQ(file.start(), file.end());
  EXPECT_EQ(file.start(), file.popTime());
}

TEST(GapTest, OverlapNeedsSameActionAndIntervalsWithinOneSecond) {
  Gap a(T, T + 100, Gap::BLDTRI);
  EXPECT_TRUE(a.overlaps(Gap(T + 101, T + 200, Gap::BLDTRI)));   // touches
  EXPECT_FALSE(a.overlaps(Gap(T + 102, T + 200, Gap::BLDTRI)));  // one second apart
  EXPECT_TRUE(a.overlaps(Gap(T - 50, T - 1, Gap::BLDTRI)));
  EXPECT_FALSE(a.overlaps(Gap(T - 50, T - 2, Gap::BLDTRI)));
  EXPECT_FALSE(a.overlaps(Gap(T, T + 100, Gap::REQHIS)));
}

TEST(GapTest, MergeTakesLaterPopEarlierStartLaterEndAndEquality) {
  Gap a(MINUTE_OF_T, MINUTE_OF_T + 59, Gap::DLBACK);
  a.merge(Gap(MINUTE_OF_T - 120, MINUTE_OF_T - 61, Gap::DLBACK));
  EXPECT_EQ(a.start(), MINUTE_OF_T - 120);
  EXPECT_EQ(a.end(), MINUTE_OF_T + 59);
  EXPECT_EQ(a.popTime(), MINUTE_OF_T + 60);
  // Equality looks at the interval and the action.
  EXPECT_TRUE(Gap(T, T + 5, Gap::BLDTRI) == Gap(T, T + 5, Gap::BLDTRI));
  EXPECT_FALSE(Gap(T, T + 5, Gap::BLDTRI) == Gap(T, T + 6, Gap::BLDTRI));
  EXPECT_FALSE(Gap(T, T + 5, Gap::BLDTRI) == Gap(T, T + 5, Gap::DELHIS));
}

TEST(GapTest, ActionNamesClampOutOfRangeValuesAndTextForms) {
  EXPECT_STREQ(Gap::actionName(Gap::DLBACK), "DLBACK");
  EXPECT_STREQ(Gap::actionName(-3), "ALMOST ");
  EXPECT_STREQ(Gap::actionName(12), "LAST  ");
  EXPECT_STREQ(Gap::actionName(8), "EIGHT ");
  // The gap-file line and the long form.
  Gap gap(MINUTE_OF_T, MINUTE_OF_T + 59, Gap::DLBACK);
  EXPECT_EQ(gap.toString(),
            "1700000040 1699999980 1700000039 6    "
            "#2023-11-14 22:14:00  2023-11-14 22:13:00  2023-11-14 22:13:59  DLBACK");
  EXPECT_EQ(gap.bigString(), "DLBACK pop:20231114_2214_00 20231114_2213_00->20231114_2213_59");
}

// Gap-file lines as operators and older versions may have left them: the old
// end becomes the pop time and the end gains a minute.
TEST(GapTest, LinesParseToActionStartPopAndEnd) {
  struct Case {
    const char* line;
    Gap::GapAction action;
    time_t start, pop, end;
  } cases[] = {
      {"1700000040 1699999980 1700000039 6    ", Gap::DLBACK, 1699999980, 1700000039, 1700000099},
      {"1700000040 1699999980 1700000039", Gap::BLDTRI, 1699999980, 1700000039, 1700000099},
      {"1700000040\t1699999980 1700000039 2 #2023-11-14 22:14:00  xx\r", Gap::REQHIS, 1699999980,
       1700000039, 1700000099},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Gap> gap = Gap::fromLine(c.line);
    ASSERT_TRUE(gap) << c.line;
    EXPECT_EQ(gap->action(), c.action) << c.line;
    EXPECT_EQ(gap->start(), c.start) << c.line;
    EXPECT_EQ(gap->popTime(), c.pop) << c.line;
    EXPECT_EQ(gap->end(), c.end) << c.line;
  }
}

TEST(GapTest, MalformedLinesAreRefusedWithAReason) {
  struct Case {
    const char* line;
    const char* why;
  } cases[] = {
      {"this is not a gap line at all, no", "not a number"},
      {"1700000040 1699999980 17000x0039 6", "not a number"},
      {"1700000040 1699999980 1700000039 6x", "not a number"},
      {"1700000040 1699999980 1700000039 junk", "not a number"},
      {"1700000040 1699999980 # 1700000039 6", "fewer than three numbers"},
      {"1700000040 1700000039 1699999980 6", "end before start"},
      {"1700000040 -1699999980 1700000039 6", "time out of range"},
      {"1 1 99999999999999999999999999 6", "time out of range"},
      {"1700000040 1699999980 1700000039 7", "action not restorable"},
      {"1700000040 1699999980 1700000039 42", "action not restorable"},
      {"1700000040 1699999980 1700000039 -1", "action not restorable"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(Gap::fromLine(c.line, &why)) << c.line;
    EXPECT_EQ(why, c.why) << c.line;
  }
  // Three numbers without an action, where the action is required.
  std::string why;
  EXPECT_FALSE(Gap::fromLine("1700000040 1699999980 1700000039", &why, true));
  EXPECT_EQ(why, "no action");
}

}  // namespace
