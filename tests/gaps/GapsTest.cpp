#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "gaps/GapTestSupport.h"
#include "gaps/Gaps.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"

namespace {

constexpr char STATION[] = "STA.0000abcd";

class GapsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gaps_.setStationWithId(STATION)); }

  bool pushGap(time_t start, time_t end, Gap::GapAction action) {
    return gaps_.push(std::make_unique<Gap>(start, end, action), &log_);
  }
  std::string timeFolder() const { return dir_.path() + "time/"; }
  std::string gapFile() const { return timeFolder() + STATION + ".gaps"; }

  TempDir dir_;
  ScopedBaseDir base_{dir_.path()};
  CaptureLog log_;
  Gaps gaps_;
  const time_t ten_ = hourAgo(3);  // "10:00"
};

TEST_F(GapsTest, OverlappingBackfillMergesIntoTheListedGap) {
  ASSERT_TRUE(pushGap(ten_ + 30, ten_ + 130, Gap::DLBACK));   // 10:00:30 .. 10:02:10
  ASSERT_TRUE(pushGap(ten_ + 180, ten_ + 200, Gap::DLBACK));  // 10:03
  std::vector<Gap> list = gaps_.getList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].start(), ten_);
  EXPECT_EQ(list[0].end(), ten_ + 239);
  EXPECT_EQ(list[0].popTime(), ten_ + 240);
}

TEST_F(GapsTest, MergeThatBridgesTwoBackfillGapsLeavesOneAndOnlyBackfillMerges) {
  ASSERT_TRUE(pushGap(ten_, ten_ + 59, Gap::DLBACK));
  ASSERT_TRUE(pushGap(ten_ + 600, ten_ + 659, Gap::DLBACK));
  ASSERT_TRUE(pushGap(ten_ + 60, ten_ + 599, Gap::DLBACK));
  std::vector<Gap> list = gaps_.getList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].start(), ten_);
  EXPECT_EQ(list[0].end(), ten_ + 659);
  ASSERT_TRUE(pushGap(ten_, ten_ + 59, Gap::DLTRIG));
  ASSERT_TRUE(pushGap(ten_ + 60, ten_ + 119, Gap::DLTRIG));
  EXPECT_EQ(gaps_.size(), 3u);
}

TEST_F(GapsTest, ListHoldsTwoHundredGapsAndRefusesTheNext) {
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(pushGap(ten_ + 10 * i, ten_ + 10 * i, Gap::BLDTRI));
  EXPECT_FALSE(pushGap(ten_ + 5000, ten_ + 5000, Gap::BLDTRI));
  EXPECT_EQ(gaps_.size(), GAPS_MAX);
  EXPECT_TRUE(log_.has("Too Many Gaps 200\n"));  // Interface log line
}

TEST_F(GapsTest, GapsBefore2019AndDuplicatesAreRefused) {
  EXPECT_FALSE(pushGap(GAP_TIME_MIN - 1, GAP_TIME_MIN + 100, Gap::BLDTRI));
  EXPECT_TRUE(log_.has("Bad Gap time. Not added."));
  EXPECT_TRUE(pushGap(GAP_TIME_MIN, GAP_TIME_MIN + 100, Gap::BLDTRI));
  EXPECT_TRUE(log_.has("----- PUSHED GAP " +
                       Gap(GAP_TIME_MIN, GAP_TIME_MIN + 100, Gap::BLDTRI).bigString() + "  (1)"));
  EXPECT_FALSE(pushGap(GAP_TIME_MIN, GAP_TIME_MIN + 100, Gap::BLDTRI));
  EXPECT_EQ(gaps_.size(), 1u);
}

TEST_F(GapsTest, PopTakesTheNewestMinuteAndPutsTheRestBack) {
  ASSERT_TRUE(pushGap(ten_, ten_ + 179, Gap::DLBACK));  // 10:00:00 .. 10:02:59
  std::unique_ptr<Gap> gap = gaps_.pop(&log_, 24, 0);
  ASSERT_TRUE(gap);
  EXPECT_EQ(gap->start(), ten_ + 120);
  EXPECT_EQ(gap->end(), ten_ + 179);
  std::vector<Gap> rest = gaps_.getList();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].start(), ten_);
  EXPECT_EQ(rest[0].end(), ten_ + 119);
  EXPECT_EQ(rest[0].popTime(), ten_ + 120);
  // The whole gap comes out minute by minute, newest first, each minute once,
  // before an older gap.
  ASSERT_TRUE(pushGap(ten_ - 3600, ten_ - 3541, Gap::DLBACK));
  std::vector<time_t> starts;
  while (std::unique_ptr<Gap> next = gaps_.pop(&log_, 24, 0)) starts.push_back(next->start());
  EXPECT_EQ(starts, (std::vector<time_t>{ten_ + 60, ten_, ten_ - 3600}));
  EXPECT_EQ(gaps_.size(), 0u);
}

TEST_F(GapsTest, PopOrderIsFileThenTriggerThenHistogramThenBackfill) {
  ASSERT_TRUE(pushGap(ten_ + 600, ten_ + 659, Gap::DLBACK));
  ASSERT_TRUE(pushGap(ten_ + 100, ten_ + 160, Gap::REQHIS));
  ASSERT_TRUE(pushGap(ten_, ten_ + 59, Gap::DLTRIG));
  ASSERT_TRUE(pushGap(ten_ + 30, ten_ + 40, Gap::BLDTRI));
  ASSERT_TRUE(gaps_.push(std::make_unique<Gap>("file.ms", "x"), &log_));
  // A file gap is due 5 s after it was made; an offset of -10 s makes it due now.
  std::vector<Gap::GapAction> order;
  while (std::unique_ptr<Gap> gap = gaps_.pop(&log_, 24, -10)) order.push_back(gap->action());
  // The trigger build (due 10:00:40) comes before the trigger minute (due 10:01:00).
  EXPECT_EQ(order, (std::vector<Gap::GapAction>{Gap::DLFILE, Gap::BLDTRI, Gap::DLTRIG, Gap::REQHIS,
                                                Gap::DLBACK}));
}

TEST_F(GapsTest, GapIsDueFourSecondsAfterPopTimePlusLag) {
  time_t now = time(nullptr);
  ASSERT_TRUE(pushGap(now - 100, now - 100, Gap::BLDTRI));  // due at now - 100
  EXPECT_FALSE(gaps_.pop(&log_, 24, 200));                  // lag 200 s: not before now + 104
  EXPECT_EQ(gaps_.size(), 1u);
  EXPECT_TRUE(gaps_.pop(&log_, 24, 60));
}

// Backfill outside the window (hours before now, moved back by the lag) is
// dropped whole; other work is not.
TEST_F(GapsTest, BackfillOutsideTheWindowIsDroppedWhole) {
  struct Push {
    int hoursAgo;
    time_t length;
    Gap::GapAction action;
  };
  struct Case {
    std::vector<Push> pushes;
    int windowHours;
    long lag;
    std::vector<Gap::GapAction> popped;
  } cases[] = {
      {{{30, 599, Gap::DLBACK}, {30, 59, Gap::DLTRIG}}, 24, 0, {Gap::DLTRIG}},
      {{{3, 179, Gap::DLBACK}, {3, 59, Gap::DLREQU}}, 0, 0, {Gap::DLREQU}},
      {{{25, 59, Gap::DLBACK}}, 24, 0, {}},
      {{{25, 59, Gap::DLBACK}}, 24, 7200, {Gap::DLBACK}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windowHours * 100000 + c.lag);
    Gaps gaps;
    ASSERT_TRUE(gaps.setStationWithId(STATION));
    for (const Push& p : c.pushes) {
      time_t start = hourAgo(p.hoursAgo);
      ASSERT_TRUE(gaps.push(std::make_unique<Gap>(start, start + p.length, p.action), &log_));
    }
    std::vector<Gap::GapAction> popped;
    while (std::unique_ptr<Gap> gap = gaps.pop(&log_, c.windowHours, c.lag)) {
      popped.push_back(gap->action());
    }
    EXPECT_EQ(popped, c.popped);
    EXPECT_EQ(gaps.size(), 0u);
    EXPECT_EQ(readText(gapFile()), "");  // the file follows the list
  }
}

TEST_F(GapsTest, DeleteBackfillsKeepsOtherWork) {
  ASSERT_TRUE(pushGap(ten_, ten_ + 59, Gap::DLBACK));
  ASSERT_TRUE(pushGap(ten_ + 600, ten_ + 659, Gap::DLBACK));
  ASSERT_TRUE(pushGap(ten_, ten_ + 59, Gap::DLTRIG));
  EXPECT_EQ(gaps_.deleteBackfills(), 2u);
  std::vector<Gap> list = gaps_.getList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].action(), Gap::DLTRIG);
}

TEST_F(GapsTest, StoredFileHoldsOneCutLinePerGapAndLoadsWithTheOldEndAsPopTime) {
  ASSERT_TRUE(pushGap(1699999980, 1700000039, Gap::DLBACK));
  ASSERT_TRUE(pushGap(1700000000, 1700000010, Gap::REQHIS));
  ASSERT_TRUE(gaps_.store(&log_));
  EXPECT_EQ(readText(gapFile()),
            "1700000040 1699999980 1700000039 6    \n"
            "1700000010 1700000000 1700000010 2    \n");
  struct stat st;
  ASSERT_EQ(stat(gapFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_FALSE(pathExists(gapFile() + ".tmp"));
  // Loading makes the old end the pop time and adds a minute to the end.
  Gaps again;
  ASSERT_TRUE(again.setStationWithId(STATION));
  EXPECT_EQ(again.load(&log_), 2u);
  std::vector<Gap> list = again.getList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].action(), Gap::DLBACK);
  EXPECT_EQ(list[0].start(), 1699999980);
  EXPECT_EQ(list[0].popTime(), 1700000039);
  EXPECT_EQ(list[0].end(), 1700000099);
  EXPECT_EQ(list[1].action(), Gap::REQHIS);
  EXPECT_EQ(list[1].popTime(), 1700000010);
  EXPECT_EQ(list[1].end(), 1700000070);
}

TEST_F(GapsTest, HandWrittenFileLoadsWhatParsesAndLogsEachSkippedLine) {
  mkdir(timeFolder().c_str(), 0777);
  writeText(gapFile(),
            "1700000040 1699999980 1700000039 6    \n"                           // 1 backfill
            "\n"                                                                 // 2 blank
            "garbage line that is long enough to be read\n"                      // 3
            "1700000500 1700000400 1700000500\n"                                 // 4 trigger build
            "junk\n"                                                             // 5 too short
            "1700000900 1700000800 1700000900 2    #2023-11-14 22:28:20  2023-"  // 6 histogram,
            "11-14 22:26:40  2023-11-14 22:28:20  REQHIS and more comment text\n"  // long line
            "1700000040 1699999980 1700000039 7    \n"  // 7 file: skipped
            "1500000000 1500000000 1500000000 1    \n"  // 8 before 2019
            "1700001000 1700001050 170000105");         // 9 cut off
  EXPECT_EQ(gaps_.load(&log_), 3u);
  std::vector<Gap> list = gaps_.getList();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].action(), Gap::DLBACK);
  EXPECT_EQ(list[1].action(), Gap::BLDTRI);
  EXPECT_EQ(list[1].start(), 1700000400);
  EXPECT_EQ(list[2].action(), Gap::REQHIS);
  EXPECT_EQ(list[2].start(), 1700000800);
  std::string prefix = "Gap file " + gapFile() + " line ";
  EXPECT_TRUE(log_.has(prefix + "3 skipped (not a number)"));
  EXPECT_TRUE(log_.has(prefix + "5 skipped (too short)"));
  EXPECT_TRUE(log_.has(prefix + "7 skipped (action not restorable)"));
  EXPECT_TRUE(log_.has(prefix + "9 skipped (no action)"));
  EXPECT_FALSE(log_.hasPrefix(prefix + "2 "));
  EXPECT_FALSE(log_.hasPrefix("----- PUSHED GAP"));  // loading pushes quietly
}

TEST_F(GapsTest, LastLineLackingOnlyItsNewlineStillCounts) {
  mkdir(timeFolder().c_str(), 0777);
  writeText(gapFile(), "1700000100 1700000040 1700000099 6");
  EXPECT_EQ(gaps_.load(&log_), 1u);
}

TEST_F(GapsTest, LoadReadsAtMost201Lines) {
  mkdir(timeFolder().c_str(), 0777);
  std::string text;
  for (int i = 0; i < 210; ++i) {
    long t = 1700000000 + 10 * i;
    text += std::to_string(t) + " " + std::to_string(t) + " " + std::to_string(t) + " 0    \n";
  }
  writeText(gapFile(), text);
  EXPECT_EQ(gaps_.load(&log_), GAPS_MAX);  // 201 lines read, the list takes 200
  EXPECT_TRUE(log_.has("Gap file " + gapFile() + " lines after 201 skipped"));
}

TEST_F(GapsTest, FailedStoreKeepsThePreviousFile) {
  ASSERT_TRUE(pushGap(1699999980, 1700000039, Gap::DLBACK));
  ASSERT_TRUE(gaps_.store(&log_));
  std::string before = readText(gapFile());
  ASSERT_TRUE(pushGap(1700000000, 1700000010, Gap::BLDTRI));
  // A folder in the way of the temporary file makes the write fail.
  ASSERT_EQ(mkdir((gapFile() + ".tmp").c_str(), 0777), 0);
  EXPECT_FALSE(gaps_.store(&log_));
  EXPECT_EQ(readText(gapFile()), before);
  EXPECT_TRUE(log_.hasPrefix("Can't write gap file " + gapFile()));
}

TEST_F(GapsTest, RestartWithoutTimeFileBackfillsFromThreeMinutesBefore) {
  time_t t = ten_ + 30;  // first record at 10:00:30
  EXPECT_TRUE(gaps_.addRestartGap(t, 0, &log_));
  std::vector<Gap> list = gaps_.getList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].action(), Gap::DLBACK);
  EXPECT_EQ(list[0].start(), ten_ - 180);  // 09:57:00
  EXPECT_EQ(list[0].end(), ten_ + 119);    // 10:01:59
  EXPECT_EQ(gaps_.getDataTime(), t - 120);
}

TEST_F(GapsTest, RestartBackfillsFromTheLastDataTime) {
  time_t last = ten_ - 3600 + 15;  // last archived second 09:00:15
  EXPECT_TRUE(gaps_.addRestartGap(ten_ + 30, last, &log_));
  std::vector<Gap> list = gaps_.getList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].start(), ten_ - 3660);
  EXPECT_EQ(list[0].end(), ten_ + 119);
  EXPECT_EQ(gaps_.getDataTime(), last);
}

TEST(GapsIdTest, HostileStationIdStaysInTheTimeFolder) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  Gaps gaps;
  ASSERT_TRUE(gaps.setStationWithId("../../x\\y.00000001"));
  EXPECT_EQ(gaps.getGapFilePath(), dir.path() + "time/_._.._x_y.00000001.gaps");
  EXPECT_TRUE(gaps.store(nullptr));
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"time"});
}

TEST(GapsIdTest, EmptyOrOverlongIdIsIgnored) {
  Gaps gaps;
  EXPECT_FALSE(gaps.setStationWithId(""));
  EXPECT_FALSE(gaps.setStationWithId(std::string(20, 'A')));
  EXPECT_FALSE(gaps.hasStation());
  EXPECT_FALSE(gaps.store(nullptr));
  EXPECT_TRUE(gaps.setStationWithId(std::string(19, 'A')));
  EXPECT_FALSE(gaps.setStationWithId("OTHER.00000001"));
  EXPECT_EQ(gaps.getStationId(), std::string(19, 'A'));
}

}  // namespace
