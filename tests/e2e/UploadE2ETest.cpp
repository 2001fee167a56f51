// The upload folder end to end: a ".pkt" file and a plain file dropped into
// the station's folder reach the simulated instrument in name order, paced
// by its answers; the plain file arrives whole (size and CRC-32 checked by
// the instrument, which stores it on its card); a local frame is injected
// into the hub instead of sent, and "sleep" never reaches the instrument.
#include <gtest/gtest.h>

#include <string>

#include "support/HubRun.h"
#include "util/FileUtil.h"

namespace {

using std::chrono::seconds;

TEST(UploadE2ETest, DroppedFilesReachTheInstrumentInNameOrderAndAreMarkedSent) {
  HubRun hub("verbose=1\n");
  const std::string folder = hub.dir() + "upload/SIM.01000001/";
  const std::string card = hub.dir() + "card";
  mkdirs(folder, true);
  std::string content;
  for (int i = 0; i < 1500; ++i) content += static_cast<char>((i * 31) & 0xff);
  writeText(folder + "hello.bin", content);
  writeText(folder + "a.pkt", "8A hello instrument\n8A sleep 3\n8A-dir injected locally\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--card", card, "--duration", "40", "--reconnect", "0", "--verbose"});
  ASSERT_TRUE(sim->start());

  ASSERT_TRUE(waitFor([&] { return readText(card + "/hello.bin") == content; }, seconds(40)))
      << sim->output() << hub.allLogs();
  EXPECT_TRUE(pathExists(folder + "a.pkt.sent.00"));
  EXPECT_TRUE(pathExists(folder + "hello.bin.sent.00"));
  EXPECT_FALSE(pathExists(folder + "hello.bin"));

  const std::string out = sim->output();
  const size_t command = out.find("hello instrument");
  const size_t upload = out.find("upload start /hello.bin size=1500");
  ASSERT_NE(command, std::string::npos) << out;
  ASSERT_NE(upload, std::string::npos) << out;
  EXPECT_LT(command, upload);  // .pkt files first
  ASSERT_TRUE(waitFor(
      [&] {
        return sim->output().find("upload end /hello.bin: 1500 bytes complete") !=
               std::string::npos;
      },
      seconds(10)));
  EXPECT_EQ(out.find("sleep 3"), std::string::npos);
  EXPECT_EQ(out.find("injected locally"), std::string::npos);
  sim->signal(SIGTERM);
  sim->wait(seconds(10));
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
  // The logs are whole once the hub has stopped.
  const std::string logs = hub.allLogs();
  EXPECT_NE(logs.find("Upload complete [/hello.bin]"), std::string::npos) << logs;
  EXPECT_NE(logs.find("rx status: 0"), std::string::npos);
  EXPECT_NE(logs.find(" dir injected locally"), std::string::npos);
}

}  // namespace
