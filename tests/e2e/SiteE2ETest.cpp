// The site register with the hub and a simulated instrument: the station's
// marker exists exactly while its session runs, start-up empties the register.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "support/HubRun.h"

namespace {

using std::chrono::seconds;

const char MARKER[] = "transactions/sites/XY/SIT.01000abc";

TEST(SiteE2ETest, MarkerExistsWhileTheSessionRuns) {
  HubRun hub;
  // A marker left by an earlier run is gone once the hub has started.
  writeText(hub.dir() + "transactions/sites/QQ/OLD.00000001", "");
  ASSERT_TRUE(hub.start());
  EXPECT_FALSE(pathExists(hub.dir() + "transactions/sites/QQ"));

  auto sim = hub.simulator({"--station", "SIT", "--network", "XY", "--id", "01000abc", "--duration",
                            "8", "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  const std::string marker = hub.dir() + MARKER;
  EXPECT_TRUE(waitFor([&] { return pathExists(marker); }, std::chrono::seconds(15)))
      << hub.allLogs();
  ASSERT_TRUE(sim->wait(seconds(20)));
  // The session ends when the link closes, and takes its marker with it.
  EXPECT_TRUE(waitFor([&] { return !pathExists(marker); }, std::chrono::seconds(40)))
      << hub.allLogs();
  EXPECT_FALSE(pathExists(hub.dir() + "transactions/sites/XY"));
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

}  // namespace
