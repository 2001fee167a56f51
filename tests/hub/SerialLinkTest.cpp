// A serial instrument served by the hub's serial watcher: the simulator
// serves the instrument end of a pseudo-terminal and the watcher's first
// port is redirected to it (the fixed port table is not touched; only the
// path changes, so the port is opened as a device without modem-control
// lines would be).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "archive/MinuteZip.h"
#include "core/Log.h"
#include "core/VhProps.h"
#include "gaps/Gapses.h"
#include "hub/LinkThreads.h"
#include "io/Rs232.h"
#include "io/Serial.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

using std::chrono::seconds;

TEST(SerialLinkTest, WatcherRunsASessionOverAPseudoTerminal) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  ScopedCwd cwd(dir.path());  // the default archive and register folders are relative
  ChildProcess sim({builtProgram("dremosim"), "--pty", "--station", "SER1", "--id", "01000abc",
                    "--duration", "40", "--verbose"},
                   dir.path());
  ASSERT_TRUE(sim.start());
  std::smatch m;
  std::string out;
  ASSERT_TRUE(waitFor(
      [&] {
        out = sim.output();
        return std::regex_search(out, m, std::regex("pty SER1 (/dev/pts/[0-9]+)"));
      },
      seconds(10)))
      << out;
  RS232_TEST_redirect(0, m[1].str().c_str());

  writeText(dir.file("vorlanhub.props"), "serialenabled=1\ntimeout=10\n");
  VhProps props;
  ASSERT_TRUE(props.read(dir.file("vorlanhub.props")));
  Log log("vh");
  Gapses gaps(&log);
  LinkThreads::instance().TEST_reset();
  std::vector<std::unique_ptr<Serial>> serials;
  serials.push_back(std::make_unique<Serial>());
  EXPECT_EQ(watchSerial(serials, &props, &log, &gaps), 1);

  EXPECT_TRUE(waitFor([] { return _numOpenSerial.load() == 1; }, seconds(10)));
  ASSERT_TRUE(
      waitFor([&] { return sim.output().find("link started") != std::string::npos; }, seconds(20)))
      << sim.output();
  // Data flows and is acknowledged over the serial line.
  EXPECT_TRUE(
      waitFor([&] { return sim.output().find("] R ACK") != std::string::npos; }, seconds(20)))
      << sim.output();

  EXPECT_TRUE(LinkThreads::instance().stopAll(seconds(20)));
  // The finished session handed its minutes to zip threads, as at the hub's stop.
  EXPECT_TRUE(MinuteZip::waitAll(seconds(30)));
  EXPECT_EQ(_numOpenSerial.load(), 0);
  log.flush();
  std::string logs;
  for (const auto& name : listDir(dir.file("log"))) logs += readText(dir.file("log/" + name));
  EXPECT_NE(logs.find("dev/ttyS0,115200,8N1 has no modem-control lines"), std::string::npos)
      << logs;
  EXPECT_NE(logs.find("Init_Identify. Connected"), std::string::npos) << logs;
  EXPECT_NE(logs.find("SLEEP BEFORE FINISH"), std::string::npos) << logs;
  sim.signal(SIGTERM);
  EXPECT_TRUE(sim.wait(seconds(10)));
  RS232_TEST_redirect(0, nullptr);
  LinkThreads::instance().TEST_reset();
}

}  // namespace
