#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SendTimes.h"
#include "support/TestSupport.h"

namespace {

long long wallUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The first record of a real recording (station JSC, channel HHZ, start
// 2016-09-21T13:48:00.0000Z, day 265, plus its time correction of 84 x 100 us).
std::string realRecord() {
  return readText(testData("CO.JSC.00.HHZ.100sps.steim2.mseed")).substr(0, 512);
}

// Each line names the station, the channel, the record's start (us) and the
// moment it was sent; lines from several threads stay whole.
TEST(SendTimesTest, ThreadsWriteWholeLinesAndNothingAfterClose) {
  TempDir dir;
  SendTimes times;
  std::string error;
  ASSERT_TRUE(times.open(dir.file("st"), &error)) << error;
  std::string record = realRecord();
  ASSERT_EQ(record.size(), 512u);
  const long long before = wallUs();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        times.note("JSC", reinterpret_cast<const uint8_t*>(record.data()), SendTimes::nowUs());
      }
    });
  }
  for (auto& t : threads) t.join();
  const long long after = wallUs();
  times.close();
  times.note("JSC", reinterpret_cast<const uint8_t*>(record.data()), after);  // closed: ignored
  std::istringstream in(readText(dir.file("st")));
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    ASSERT_EQ(line.compare(0, 25, "JSC HHZ 1474465680008400 "), 0) << line;
    const long long sent = std::stoll(line.substr(25));
    ASSERT_TRUE(sent >= before && sent <= after) << line;
  }
  EXPECT_EQ(lines, 2000);
}

TEST(SendTimesTest, OpenInAMissingFolderFailsWithTheReason) {
  TempDir dir;
  SendTimes times;
  std::string error;
  EXPECT_FALSE(times.open(dir.file("missing/st"), &error));
  EXPECT_NE(error.find("missing/st"), std::string::npos) << error;
}

}  // namespace
