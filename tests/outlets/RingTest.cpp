// The ring server outlet with a stand-in program: the default configuration
// rules, its reading, the supervisor's restarts, switching off and the
// restart on a configuration change.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>

#include "outlets/Ring.h"
#include "support/CaptureLog.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class RingTest : public ::testing::Test {
 protected:
  // A stand-in for the ring server: notes its pid and argument, then runs body.
  void program(const std::string& body) {
    const std::string path = exe.file("ringservervh");
    writeText(path, "#!/bin/sh\necho \"$$ $1\" >> " + exe.file("starts") + "\n" + body + "\n");
    chmod(path.c_str(), 0755);
  }
  std::vector<std::string> starts() {
    std::vector<std::string> lines;
    std::istringstream in(readText(exe.file("starts")));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  TempDir dir, exe;
  ScopedBaseDir base{dir.path()};
  ScopedValue<std::string> vhDir{VH_DIR, exe.path()};
  CaptureLog log;
  Ring ring;
};

TEST_F(RingTest, DefaultConfigurationReplacesOnlyASmallFile) {
  ring.setLog(&log);
  ring.init();
  const std::string conf = dir.file("settings/ring.conf");
  const std::string ringDir = dir.path() + "ring";
  EXPECT_EQ(readText(conf),
            "ServerID \"DremoLink\"\nRingDirectory " + ringDir +
                "/data\nDataLinkPort 16000\nSeedLinkPort 18000\n"
                "TransferLogDirectory " +
                ringDir + "/log\nMSeedScan " + ringDir + "/scan/ StateFile=" + ringDir +
                "/scan.state InitCurrentState=y\nRingSize 100000000\nWatchParent\n");
  EXPECT_EQ(ring.getScanDir(), ringDir + "/scan/");
  EXPECT_TRUE(isDir(ringDir + "/data") && isDir(ringDir + "/log") && isDir(ringDir + "/scan"));

  RingConf parsed;
  ASSERT_TRUE(parsed.read(conf));
  EXPECT_EQ(parsed.serverId(), "DremoLink");
  EXPECT_EQ(parsed.scan().stateFile, ringDir + "/scan.state");
  EXPECT_TRUE(parsed.scan().initCurrentState);
  EXPECT_TRUE(parsed.watchParent());
  EXPECT_TRUE(parsed.unknownKeys().empty());

  for (size_t size : {99, 100}) {
    const std::string mine = "SeedLinkPort 1234\nOther x\n" + std::string(size - 27, '#') + "\n";
    ASSERT_EQ(mine.size(), size);
    writeText(conf, mine);
    EXPECT_EQ(ring.writeDefaultRingConf(), size == 99);
    EXPECT_EQ(readText(conf) == mine, size == 100) << size;
  }
  ASSERT_TRUE(parsed.read(conf));
  EXPECT_EQ(parsed.unknownKeys(), std::vector<std::string>{"Other"});
}

TEST_F(RingTest, ChildRestartsAfterItEndsAndSwitchingOffEndsIt) {
  program("exit 3");
  ring.setLog(&log);
  ring.init();
  ring.TEST_setPauses(milliseconds(50), milliseconds(50));
  ring.setEnabled(true);
  ASSERT_TRUE(waitFor([&] { return starts().size() >= 3; }, seconds(10)));
  EXPECT_NE(starts()[0].find(ring.getConfPath()), std::string::npos);
  EXPECT_TRUE(log.has("RINGSERVER CLOSED. system() result=3"));
  ring.setEnabled(false);
  const size_t n = starts().size();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(starts().size(), n);  // no restart once off

  removeFile(exe.file("starts"));
  program("exec sleep 30");  // ignores nothing: SIGTERM ends it
  ring.setEnabled(true);
  ASSERT_TRUE(waitFor([&] { return ring.childPid() > 0; }, seconds(10)));
  const pid_t child = ring.childPid();
  // A change of the configuration restarts the child.
  struct utimbuf later {
    time(nullptr) + 5, time(nullptr) + 5
  };
  utime(ring.getConfPath().c_str(), &later);
  EXPECT_TRUE(ring.restartIfConfChanged());
  EXPECT_FALSE(ring.restartIfConfChanged());
  EXPECT_NE(kill(child, 0), 0);  // ended and reaped
  ASSERT_TRUE(waitFor([&] { return ring.childPid() > 0; }, seconds(10)));
  const pid_t second = ring.childPid();
  EXPECT_NE(second, child);
  ring.setEnabled(false);
  EXPECT_EQ(ring.childPid(), 0);
  EXPECT_NE(kill(second, 0), 0);
}

TEST_F(RingTest, MissingProgramEndsTheSupervisorWithALogLine) {
  ring.setLog(&log);
  ring.init();
  ring.setEnabled(true);
  ASSERT_TRUE(
      waitFor([&] { return log.hasPrefix(exe.file("ringservervh") + " not found."); }, seconds(5)));
  ring.setEnabled(false);
}

}  // namespace
