// The site register and the StationXML file with the hub and a simulated
// instrument: the station's marker exists exactly while its session runs,
// start-up empties the register, and the settings answers produce a valid
// response/STA.xml.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
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

TEST(SiteE2ETest, SettingsAnswersProduceValidStationXml) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--station", "SIT", "--network", "XY", "--id", "01000abc", "--duration",
                            "60", "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  // The first document follows the station learned from the data; the
  // network comes with the setting answers, which begin about 20 seconds
  // into the session.
  const std::string xml = hub.dir() + "response/SIT.xml";
  ASSERT_TRUE(
      waitFor([&] { return readText(xml).find("<Network code=\"XY\">") != std::string::npos; },
              std::chrono::seconds(55)))
      << readText(xml) << hub.allLogs();
  const std::string text = readText(xml);
  EXPECT_NE(text.find("<Station code = \"SIT\">"), std::string::npos) << text;
  const std::string schema = stationXmlSchema();
  if (pathExists(schema)) {
    std::string command = "xmllint --noout --schema '" + schema + "' '" + xml + "' >/dev/null 2>&1";
    EXPECT_EQ(system(command.c_str()), 0) << text;
  }
  sim->signal(SIGTERM);
  EXPECT_TRUE(sim->wait(seconds(20)));
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
}

}  // namespace
