// The built hub started as operators start it: in a working folder of its
// own, stopped by the shutdown file or by a stop signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <string>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

using std::chrono::seconds;

std::string todaysLog(const std::string& base, const std::string& name) {
  char date[16];
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  strftime(date, sizeof date, "%Y%m%d", &tm);
  return base + "log/log." + date + "." + name + ".txt";
}

class HubStartStopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(work_.file("settings").c_str(), 0777);
    mkdir(home_.file("").c_str(), 0777);
    port_ = freeTcpPort();
    writeText(work_.file("settings/vorlanhub.props"),
              "serialenabled=0\nport=" + std::to_string(port_) + "\n");
  }

  ChildProcess hub(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {builtProgram("vorlanhub")};
    args.insert(args.end(), extra.begin(), extra.end());
    return ChildProcess(args, work_.path(), {{"HOME", home_.path()}});
  }

  // Waits until the main log holds the configuration lines, i.e. start-up is through.
  bool waitForStartup() {
    return waitFor(
        [&] {
          return readText(todaysLog(work_.path(), "vh")).find("backfill=") != std::string::npos;
        },
        seconds(10));
  }

  TempDir work_;
  TempDir home_;
  int port_ = 0;
};

// --version (-v) and --history print and end without creating anything.
TEST_F(HubStartStopTest, VersionAndHistoryOptionsPrintAndCreateNothing) {
  TempDir empty;
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"-v", "vorlanHub version 127\n"},
      {"--version", "vorlanHub version 127\n"},
      {"--history", "<dt>127</dt>"}};
  for (const auto& [opt, expected] : cases) {
    ChildProcess p({builtProgram("vorlanhub"), "--pi", opt}, empty.path(),
                   {{"HOME", home_.path()}});
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.wait(seconds(10)));
    EXPECT_EQ(p.exitCode(), 0) << opt;
    EXPECT_NE(p.output().find(expected), std::string::npos) << opt << ": " << p.output();
  }
  for (const auto& name : listDir(empty.path())) ADD_FAILURE() << "created " << name;
  EXPECT_TRUE(listDir(home_.path()).empty());
}

TEST_F(HubStartStopTest, StartsInWorkingFolderAndStopsOnShutdownFile) {
  ChildProcess p = hub();
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(waitForStartup()) << p.output();

  EXPECT_EQ(readText(work_.file("settings/vhversion")), "127");
  EXPECT_NE(readText(work_.file("settings/vhhistory.html")).find("<dt>127</dt>"),
            std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(work_.file("upload").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_TRUE(pathExists(work_.file("download")));
  EXPECT_TRUE(pathExists(work_.file("time")));

  std::string log = readText(todaysLog(work_.path(), "vh"));
  std::string config = "vorlanhub\nportlow=" + std::to_string(port_) +
                       "\nporthigh=" + std::to_string(port_) +
                       "\nsourceId=1\nrequestDir=transactions/\n";
  EXPECT_NE(log.find(config), std::string::npos) << log;
  EXPECT_NE(log.find("archive1=archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S\narchive2=\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("settings=0\nsettingcommands=1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("verbose=0\nbackfill=1\n"), std::string::npos) << log;

  auto asked = std::chrono::steady_clock::now();
  writeText(work_.file("shutdown"), "");
  ASSERT_TRUE(p.wait(seconds(15))) << "hub did not stop";
  auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_LE(took, seconds(12));
  EXPECT_EQ(p.exitCode(), 1);
  EXPECT_FALSE(pathExists(work_.file("shutdown")));
  log = readText(todaysLog(work_.path(), "vh"));
  EXPECT_NE(log.find(" shutdown file found\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Closing VorlanHub\n"), std::string::npos) << log;
}

TEST_F(HubStartStopTest, StopSignalsStopTheHubInOrder) {
  for (int sig : {SIGTERM, SIGINT}) {
    ASSERT_EQ(system(("rm -rf '" + work_.file("log") + "'").c_str()), 0);
    ChildProcess p = hub();
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(waitForStartup()) << p.output();
    p.signal(sig);
    ASSERT_TRUE(p.wait(seconds(5))) << "hub ignored the signal";
    EXPECT_EQ(p.exitCode(), 1);
    std::string log = readText(todaysLog(work_.path(), "vh"));
    std::string line =
        std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") + " received. Orderly stop.\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_NE(log.find(" Closing VorlanHub\n"), std::string::npos) << log;
    // The listener ends quietly.
    EXPECT_NE(log.find("Socket Thread stopped port = " + std::to_string(port_)), std::string::npos);
    EXPECT_EQ(log.find("ERROR accept()"), std::string::npos) << log;
  }
}

// The Tidora mode keeps its tree under HOME. With the companion's alive file
// missing, the first session's periodic check starts the orderly stop and
// the hub exits with status 0.
TEST_F(HubStartStopTest, TidoraModeUsesTreeUnderHomeAndStopsWhenCompanionIsGone) {
  std::string base = home_.path() + "lumetrafiles/tidora/";
  ASSERT_EQ(system(("mkdir -p '" + base + "settings'").c_str()), 0);
  writeText(base + "settings/vorlanhub.props",
            "serialenabled=0\nport=" + std::to_string(port_) + "\n");
  ChildProcess p = hub({"--pi", "--tidora"});
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(waitFor([&] { return pathExists(base + "time"); }, seconds(10))) << p.output();
  EXPECT_TRUE(pathExists(base + "upload"));
  EXPECT_NE(readText(todaysLog(base, "vh")).find("Start VorlanHub for Tidora v127."),
            std::string::npos);
  EXPECT_FALSE(pathExists(work_.file("time")));
  ChildProcess sim({builtProgram("dremosim"), "--port", std::to_string(port_), "--duration", "60",
                    "--reconnect", "0"},
                   work_.path());
  ASSERT_TRUE(sim.start());
  ASSERT_TRUE(p.wait(seconds(40))) << p.output();
  EXPECT_EQ(p.exitCode(), 0);
  std::string logs;
  for (const auto& name : listDir(base + "log")) logs += readText(base + "log/" + name);
  for (const char* line : {"not running (", "Orderly stop asked by a session. Exit status 0.",
                           " Closing VorlanHub\n", " loop end\n"})
    EXPECT_NE(logs.find(line), std::string::npos) << line << "\n" << logs;
  sim.signal(SIGTERM);
  sim.wait(seconds(10));
}

}  // namespace
