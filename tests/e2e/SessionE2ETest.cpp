// The hub with many simulated instruments over loopback: twenty at once,
// and a stop signal while sessions run (with their site register markers).
#include <gtest/gtest.h>

#include <string>

#include "support/HubRun.h"

namespace {

using std::chrono::seconds;

TEST(SessionE2ETest, TwentyInstrumentsAtOnce) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sims = hub.simulator(
      {"--count", "20", "--duration", "30", "--station-prefix", "M", "--reconnect", "0"});
  ASSERT_TRUE(sims->start());
  ASSERT_TRUE(sims->wait(seconds(60)));
  EXPECT_TRUE(hub.running());
  std::string out = sims->output();
  for (int i = 1; i <= 20; ++i) {
    char station[8];
    snprintf(station, sizeof station, "M%02d", i);
    SimSummary s = simSummary(out, station);
    ASSERT_TRUE(s.found) << station << "\n" << out;
    EXPECT_GE(s.records, 7) << station;
    EXPECT_GE(s.acks, 3) << station;
    EXPECT_EQ(s.nacks, 0) << station;
    EXPECT_EQ(s.bad, 0) << station;
  }
  // The stop also waits for the zip threads of twenty stations' last minutes.
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(60)));
  EXPECT_NE(hub.log("vh").find("shutdown file found"), std::string::npos);
  EXPECT_EQ(countOf(hub.log("vh"), "Thread start Client ["), 20u) << hub.log("vh");
}

// Each running session has its station's marker in the site register; a
// stop signal ends every session (each takes its marker with it) before the
// hub goes. Start-up empties the register of markers an earlier run left.
TEST(SessionE2ETest, StopSignalEndsRunningSessionsFirst) {
  HubRun hub;
  const std::string sites = hub.dir() + "transactions/sites/";
  writeText(sites + "QQ/OLD.00000001", "");
  ASSERT_TRUE(hub.start());
  EXPECT_FALSE(pathExists(sites + "QQ"));
  auto sims = hub.simulator(
      {"--count", "3", "--network", "XY", "--duration", "30", "--reconnect", "0", "--verbose"});
  ASSERT_TRUE(sims->start());
  ASSERT_TRUE(waitFor([&] { return countOf(sims->output(), "link started") >= 3; }, seconds(15)))
      << sims->output();
  EXPECT_TRUE(waitFor([&] { return listDir(sites + "XY").size() == 3; }, seconds(15)))
      << hub.allLogs();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, seconds(15));
  // Each session finished as on a closed link before the hub went away.
  EXPECT_EQ(countOf(hub.allLogs(), "loop end"), 3u) << hub.allLogs();
  EXPECT_EQ(countOf(hub.allLogs(), "CLOSE     "), 3u) << hub.allLogs();
  EXPECT_FALSE(pathExists(sites + "XY"));
  EXPECT_NE(hub.log("vh").find("SIGTERM received. Orderly stop.\n"), std::string::npos);
  sims->signal(SIGTERM);
  sims->wait(seconds(10));
}

}  // namespace
