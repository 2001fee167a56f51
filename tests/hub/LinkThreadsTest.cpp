#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "hub/LinkThreads.h"

namespace {

struct CloseCase {
  long seconds;
  const char* line;
  bool pause;
};

TEST(SessionCloseLineTest, FormChosenByDuration) {
  const CloseCase cases[] = {
      {0, "CLOSE     0 secs", true},
      {59, "CLOSE     59 secs", true},
      {60, "CLOSE     60 secs", false},
      {119, "CLOSE     119 secs", false},
      {120, "CLOSE     2 minutes", false},
      {7199, "CLOSE     119 minutes", false},
      {7200, "CLOSE     2 hours, 0 minutes", false},
      {7500, "CLOSE     2 hours, 5 minutes", false},
      {86399, "CLOSE     23 hours, 59 minutes", false},
      {86400, "CLOSE     1 days, 0 hours", false},
      {90000, "CLOSE     1 days, 1 hours", false},
  };
  for (const auto& c : cases) {
    bool pause = !c.pause;
    EXPECT_EQ(sessionCloseLine(c.seconds, &pause), c.line) << c.seconds;
    EXPECT_EQ(pause, c.pause) << c.seconds;
  }
}

TEST(LinkThreadsTest, StopRefusesNewLinksAndSessionsAndWaitsForRunningOnes) {
  LinkThreads& links = LinkThreads::instance();
  links.TEST_reset();
  ASSERT_TRUE(links.beginLink());
  EXPECT_EQ(links.runningLinks(), 1);
  // The link ends a little after the stop began; the stop waits for it.
  std::thread link([&links] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    links.endLink();
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(links.stopAll(std::chrono::seconds(5)));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
  link.join();
  EXPECT_FALSE(links.beginLink());
  EXPECT_FALSE(links.addSession(nullptr));
  EXPECT_FALSE(links.sleepUnlessStopping(std::chrono::seconds(5)));
  links.TEST_reset();
}

TEST(LinkThreadsTest, StopGivesUpAfterItsBoundWhenALinkHangs) {
  LinkThreads& links = LinkThreads::instance();
  links.TEST_reset();
  ASSERT_TRUE(links.beginLink());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(links.stopAll(std::chrono::milliseconds(300)));
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::seconds(5));
  links.TEST_reset();
}

}  // namespace
