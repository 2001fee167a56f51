// The built hub started as operators start it: in a working folder of its
// own, stopped by the shutdown file or by a stop signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/HubRun.h"

namespace {

using std::chrono::seconds;

// --version (-v) and --history print and end without creating anything.
TEST(HubStartStopTest, VersionAndHistoryOptionsPrintAndCreateNothing) {
  TempDir empty, home;
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"-v", "vorlanHub version 127\n"},
      {"--version", "vorlanHub version 127\n"},
      {"--history", "<dt>127</dt>"}};
  for (const auto& [opt, expected] : cases) {
    ChildProcess p({builtProgram("vorlanhub"), "--pi", opt}, empty.path(), {{"HOME", home.path()}});
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.wait(seconds(10)));
    EXPECT_EQ(p.exitCode(), 0) << opt;
    EXPECT_NE(p.output().find(expected), std::string::npos) << opt << ": " << p.output();
  }
  for (const auto& name : listDir(empty.path())) ADD_FAILURE() << "created " << name;
  EXPECT_TRUE(listDir(home.path()).empty());
}

TEST(HubStartStopTest, StartsInWorkingFolderAndStopsOnShutdownFile) {
  HubRun hub;
  ASSERT_TRUE(hub.start()) << hub.process().output();
  const std::string dir = hub.dir();
  EXPECT_EQ(readText(dir + "settings/vhversion"), "127");
  EXPECT_NE(readText(dir + "settings/vhhistory.html").find("<dt>127</dt>"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat((dir + "upload").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_TRUE(pathExists(dir + "download"));
  EXPECT_TRUE(pathExists(dir + "time"));

  std::string log = hub.log("vh");
  const std::string port = std::to_string(hub.port());
  for (const std::string& lines :
       {"vorlanhub\nportlow=" + port + "\nporthigh=" + port +
            "\nsourceId=1\nrequestDir=transactions/\n",
        std::string("archive1=archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S\narchive2=\n"),
        std::string("settings=0\nsettingcommands=1\n"), std::string("verbose=0\nbackfill=1\n")})
    EXPECT_NE(log.find(lines), std::string::npos) << lines << "\n" << log;

  auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(hub.stopByShutdownFile()) << "hub did not stop with status 1";
  EXPECT_LE(std::chrono::steady_clock::now() - asked, seconds(12));
  EXPECT_FALSE(pathExists(dir + "shutdown"));
  log = hub.log("vh");
  EXPECT_NE(log.find(" shutdown file found\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Closing VorlanHub\n"), std::string::npos) << log;
}

// SIGINT here; SIGTERM with running sessions in the session end-to-end test.
TEST(HubStartStopTest, StopSignalStopsTheHubInOrder) {
  HubRun hub;
  ASSERT_TRUE(hub.start()) << hub.process().output();
  ASSERT_TRUE(hub.stopBySignal(SIGINT, seconds(5))) << "hub ignored the signal";
  std::string log = hub.log("vh");
  EXPECT_NE(log.find("SIGINT received. Orderly stop.\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Closing VorlanHub\n"), std::string::npos) << log;
  // The listener ends quietly.
  EXPECT_NE(log.find("Socket Thread stopped port = " + std::to_string(hub.port())),
            std::string::npos);
  EXPECT_EQ(log.find("ERROR accept()"), std::string::npos) << log;
}

// The Tidora mode keeps its tree under HOME. With the companion's alive file
// missing, the first session's periodic check starts the orderly stop and
// the hub exits with status 0.
TEST(HubStartStopTest, TidoraModeUsesTreeUnderHomeAndStopsWhenCompanionIsGone) {
  TempDir work, home;
  std::string base = home.path() + "lumetrafiles/tidora/";
  const int port = freeTcpPort();
  ASSERT_EQ(system(("mkdir -p '" + base + "settings'").c_str()), 0);
  writeText(base + "settings/vorlanhub.props",
            "serialenabled=0\nport=" + std::to_string(port) + "\n");
  ChildProcess p({builtProgram("vorlanhub"), "--pi", "--tidora"}, work.path(),
                 {{"HOME", home.path()}});
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(waitFor([&] { return pathExists(base + "time"); }, seconds(10))) << p.output();
  EXPECT_TRUE(pathExists(base + "upload"));
  EXPECT_FALSE(pathExists(work.file("time")));
  ChildProcess sim({builtProgram("dremosim"), "--port", std::to_string(port), "--duration", "60",
                    "--reconnect", "0"},
                   work.path());
  ASSERT_TRUE(sim.start());
  ASSERT_TRUE(p.wait(seconds(40))) << p.output();
  EXPECT_EQ(p.exitCode(), 0);
  std::string logs;
  for (const auto& name : listDir(base + "log")) logs += readText(base + "log/" + name);
  for (const char* line :
       {"Start VorlanHub for Tidora v127.", "not running (",
        "Orderly stop asked by a session. Exit status 0.", " Closing VorlanHub\n", " loop end\n"})
    EXPECT_NE(logs.find(line), std::string::npos) << line << "\n" << logs;
  sim.signal(SIGTERM);
  sim.wait(seconds(10));
}

}  // namespace
