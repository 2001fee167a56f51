#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "gaps/GapTestSupport.h"
#include "gaps/Gapses.h"
#include "support/TestSupport.h"

namespace {

class GapsesTest : public ::testing::Test {
 protected:
  std::string gapFile(const std::string& id) const { return dir_.path() + "time/" + id + ".gaps"; }
  static std::string stationId(int i) {
    char id[GAPS_ID_MAX + 1];
    snprintf(id, sizeof id, "S%03d.%08x", i, i);
    return id;
  }

  TempDir dir_;
  ScopedBaseDir base_{dir_.path()};
  CaptureLog log_;
  const time_t ten_ = hourAgo(3);
};

TEST_F(GapsesTest, EachStationGetsItsOwnSlotLoadedFromItsFile) {
  mkdir((dir_.path() + "time").c_str(), 0777);
  writeText(gapFile("B.00000002"), "1700000040 1699999980 1700000039 6    \n");
  Gapses gapses(&log_);
  Gaps* a = gapses.getGaps("A.00000001");
  Gaps* b = gapses.getGaps("B.00000002");
  EXPECT_NE(a, b);
  EXPECT_EQ(gapses.getGaps("A.00000001"), a);
  EXPECT_EQ(a->size(), 0u);
  EXPECT_EQ(b->size(), 1u);
  EXPECT_EQ(b->getStationId(), "B.00000002");
  EXPECT_EQ(gapses.stationCount(), 2u);
}

TEST_F(GapsesTest, UnusableIdsAndAFullTableShareTheBlankList) {
  Gapses gapses(&log_);
  Gaps* blank = gapses.getGaps("");
  EXPECT_EQ(blank->getStationId(), BLANK_STATION);
  EXPECT_EQ(gapses.getGaps(std::string(20, 'L')), blank);
  for (size_t i = 0; i < GAPSES_SLOTS; ++i) {
    Gaps* gaps = gapses.getGaps(stationId(static_cast<int>(i)));
    ASSERT_NE(gaps, blank);
    ASSERT_EQ(gaps->getStationId(), stationId(static_cast<int>(i)));
  }
  EXPECT_EQ(gapses.stationCount(), GAPSES_SLOTS);
  // The next station must not land in another station's list.
  Gaps* extra = gapses.getGaps("EXTRA.00000999");
  EXPECT_EQ(extra, blank);
  EXPECT_EQ(gapses.getGaps(stationId(0))->getStationId(), stationId(0));
  EXPECT_TRUE(log_.hasPrefix("Gap table cannot hold station "));
}

TEST_F(GapsesTest, MakersBuildTheirActions) {
  Gapses gapses(&log_);
  const std::string id = "A.00000001";
  EXPECT_TRUE(gapses.push(id, ten_ + 30, 59, Gap::DLTRIG, &log_));
  EXPECT_TRUE(gapses.pushBuildTrigger(id, ten_ + 40, ten_ + 121, &log_));
  EXPECT_TRUE(gapses.addHistogram(id, ten_, &log_));
  EXPECT_TRUE(gapses.addDeleteHistogram(id, ten_ + 5, &log_));
  EXPECT_TRUE(gapses.addRequestFile(id, "a.ms", "b", &log_));
  std::vector<Gap> list = gapses.getGaps(id)->getList();
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].action(), Gap::DLTRIG);
  EXPECT_EQ(list[0].start(), ten_);
  EXPECT_EQ(list[0].end(), ten_ + 119);  // 10:00:30 + 59 s reaches into 10:01
  EXPECT_EQ(list[1].action(), Gap::BLDTRI);
  EXPECT_EQ(list[1].end(), ten_ + 121);
  EXPECT_EQ(list[2].action(), Gap::REQHIS);
  EXPECT_EQ(list[2].end(), ten_ + 60);
  EXPECT_EQ(list[3].action(), Gap::DELHIS);
  EXPECT_EQ(list[3].end(), ten_ + 5);
  EXPECT_EQ(list[4].action(), Gap::DLFILE);
  EXPECT_EQ(list[4].text1(), "a.ms");
}

TEST_F(GapsesTest, PopUsesTheWindowAndLogsThePoppedGap) {
  Gapses gapses(&log_);
  const std::string id = "A.00000001";
  time_t old = hourAgo(30);
  ASSERT_TRUE(gapses.push(id, old, 59, Gap::DLBACK, &log_));
  gapses.setOldestHours(24);
  EXPECT_FALSE(gapses.pop(id, &log_, 0));
  ASSERT_TRUE(gapses.push(id, old, 59, Gap::DLBACK, &log_));
  gapses.setOldestHours(48);
  std::unique_ptr<Gap> gap = gapses.pop(id, &log_, 0);
  ASSERT_TRUE(gap);
  EXPECT_TRUE(log_.has("POP GAP " + gap->bigString()));  // Interface log line
}

TEST_F(GapsesTest, DeleteBackfillsClearsOnlyThatStation) {
  Gapses gapses(&log_);
  ASSERT_TRUE(gapses.push("A.00000001", ten_, 59, Gap::DLBACK, &log_));
  ASSERT_TRUE(gapses.push("B.00000002", ten_, 59, Gap::DLBACK, &log_));
  ASSERT_TRUE(gapses.push("B.00000002", ten_, 59, Gap::DLTRIG, &log_));
  EXPECT_EQ(gapses.deleteBackfills("B.00000002"), 1u);
  EXPECT_EQ(gapses.getGaps("A.00000001")->size(), 1u);
  EXPECT_EQ(gapses.getGaps("B.00000002")->getList().at(0).action(), Gap::DLTRIG);
}

TEST_F(GapsesTest, ChangesAreWrittenAtOnceOrWithinTheIntervalAndAtTheStop) {
  {
    Gapses gapses(&log_);
    ASSERT_TRUE(gapses.addRestartGap("A.00000001", ten_ + 30, 0, &log_));
    ASSERT_TRUE(gapses.push("B.00000002", ten_, 59, Gap::DLTRIG, &log_));
    ASSERT_TRUE(gapses.push("B.00000002", ten_ + 600, 59, Gap::DLTRIG, &log_));
    gapses.getGaps("C.00000003");  // no gaps: an empty file
    // A crash now keeps the first change of each list; the second one waits
    // out the write interval.
    Gapses afterCrash(&log_);
    EXPECT_EQ(afterCrash.getGaps("A.00000001")->size(), 1u);
    EXPECT_EQ(afterCrash.getGaps("B.00000002")->size(), 1u);
    EXPECT_FALSE(gapses.storeIfChanged("B.00000002"));
  }
  EXPECT_TRUE(pathExists(gapFile("C.00000003")));
  EXPECT_EQ(readText(gapFile("C.00000003")), "");
  Gapses again(&log_);
  EXPECT_EQ(again.getGaps("A.00000001")->size(), 1u);
  EXPECT_EQ(again.getGaps("B.00000002")->getList().at(1).action(), Gap::DLTRIG);
}

TEST_F(GapsesTest, DataTimeIsKeptPerStation) {
  Gapses gapses(&log_);
  gapses.setDataTime("A.00000001", ten_);
  gapses.setDataTime("B.00000002", ten_ + 1);
  EXPECT_EQ(gapses.getGaps("A.00000001")->getDataTime(), ten_);
  EXPECT_EQ(gapses.getGaps("A.00000001")->toString(),
            "Gaps Object: A.00000001  lastDataTime:" + std::to_string(ten_));
}

}  // namespace
