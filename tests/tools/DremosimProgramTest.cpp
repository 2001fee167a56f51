// The dremosim program as users run it: several instruments in one process,
// the summary at the end of a signal, the script and the help text.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "FakeHub.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

using std::chrono::seconds;

TEST(DremosimProgramTest, CountThreeConnectsThreeDistinctStationsAndSummarisesOnSigterm) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  FakeHub hub;
  ASSERT_TRUE(hub.listening());
  ChildProcess sim({builtProgram("dremosim"), "--port", std::to_string(hub.port()), "--count", "3",
                    "--id", "01000100", "--station", "LD", "--as-fast-as-possible", "--records",
                    "2", "--reconnect", "0"},
                   dir.path());
  ASSERT_TRUE(sim.start());
  std::set<uint32_t> ids;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(hub.accept(seconds(5))) << i;
    uint32_t id = 0;
    ASSERT_TRUE(hub.identify(&id)) << i;
    SelvomaPacket p;
    ASSERT_TRUE(hub.waitFor(SelvomaPacket::MINISEED, &p, seconds(5)));
    ASSERT_TRUE(hub.send(SelvomaPacket::ACK, p.seqNo));
    ids.insert(id);
    hub.closeLink();
  }
  EXPECT_EQ(ids, (std::set<uint32_t>{0x01000100, 0x01000101, 0x01000102}));
  sim.signal(SIGTERM);
  ASSERT_TRUE(sim.wait(seconds(8)));
  EXPECT_EQ(sim.exitCode(), 0);
  std::string out = sim.output();
  for (const char* line : {"summary LD id=01000100 ", "summary LD01 id=01000101 ",
                           "summary LD02 id=01000102 ", "summary total instruments=3 "}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  EXPECT_TRUE(std::regex_search(out, std::regex("summary total instruments=3 frames=[0-9]+ "
                                                "acks=3 nacks=0 commands=0")))
      << out;
}

TEST(DremosimProgramTest, ScriptQuitEndsInOrderAndHelpListsTheCommands) {
  TempDir dir;
  ChildProcess sim({builtProgram("dremosim"), "--pty", "--script", "0.3:quit"}, dir.path());
  ASSERT_TRUE(sim.start());
  ASSERT_TRUE(sim.wait(seconds(8)));
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_TRUE(std::regex_search(sim.output(), std::regex("pty SIM /dev/pts/[0-9]+\n")))
      << sim.output();
  EXPECT_NE(sim.output().find("summary SIM id=01000001 frames=0 "), std::string::npos);

  // Commands appended to the control file are taken; "quit" ends the run.
  std::string control = dir.file("sim.ctl");
  ChildProcess controlled({builtProgram("dremosim"), "--pty", "--control", control}, dir.path());
  ASSERT_TRUE(controlled.start());
  ASSERT_TRUE(waitFor([&] { return pathExists(control); }, seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  writeText(control, "dance\nquit\n");
  ASSERT_TRUE(controlled.wait(seconds(5)));
  EXPECT_EQ(controlled.exitCode(), 0);
  EXPECT_NE(controlled.output().find("unknown command: dance"), std::string::npos)
      << controlled.output();

  ChildProcess help({builtProgram("dremosim"), "--help"}, dir.path());
  ASSERT_TRUE(help.start());
  ASSERT_TRUE(help.wait(seconds(5)));
  EXPECT_EQ(help.exitCode(), 0);
  for (const char* word : {"--port", "--pty", "--count", "--control", "--script", "trigger N",
                           "badcheck", "silence N", "nack N", "frame TT", "Examples:"}) {
    EXPECT_NE(help.output().find(word), std::string::npos) << word;
  }

  ChildProcess wrong({builtProgram("dremosim"), "--port", "5000", "--id", "04000000"}, dir.path());
  ASSERT_TRUE(wrong.start());
  ASSERT_TRUE(wrong.wait(seconds(5)));
  EXPECT_EQ(wrong.exitCode(), 2);
  EXPECT_NE(wrong.output().find("--id"), std::string::npos);
}

}  // namespace
