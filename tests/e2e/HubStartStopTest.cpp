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

TEST(HubStartStopTest, StopSignalsStopTheHubInOrder) {
  for (int sig : {SIGTERM, SIGINT}) {
    HubRun hub;
    ASSERT_TRUE(hub.start()) << hub.process().output();
    ASSERT_TRUE(hub.stopBySignal(sig, seconds(5))) << "hub ignored the signal";
    std::string log = hub.log("vh");
    std::string line =
        std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") + " received. Orderly stop.\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_NE(log.find(" Closing VorlanHub\n"), std::string::npos) << log;
  }
}

TEST(HubStartStopTest, TidoraModeUsesTreeUnderHome) {
  TempDir work, home;
  ChildProcess p({builtProgram("vorlanhub"), "--pi", "--tidora"}, work.path(),
                 {{"HOME", home.path()}});
  ASSERT_TRUE(p.start());
  std::string base = home.path() + "lumetrafiles/tidora/";
  ASSERT_TRUE(waitFor([&] { return pathExists(base + "time"); }, seconds(10))) << p.output();
  EXPECT_TRUE(pathExists(base + "upload"));
  EXPECT_TRUE(waitFor(
      [&] {
        for (const auto& name : listDir(base + "log"))
          if (readText(base + "log/" + name).find("Start VorlanHub for Tidora v127.") !=
              std::string::npos)
            return true;
        return false;
      },
      seconds(5)));
  EXPECT_FALSE(pathExists(work.file("time")));
  p.signal(SIGTERM);
  ASSERT_TRUE(p.wait(seconds(5)));
  EXPECT_EQ(p.exitCode(), 1);
}

}  // namespace
