// Live data out of the box: a simulated instrument streams into the hub, the
// hub runs its ring server, and a SeedLink client written here (sharing no
// code with the server) receives every live record once, in order, with
// consecutive sequence numbers; the hub's stop ends the ring server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/HubRun.h"
#include "support/MseedRecords.h"

namespace {

using std::chrono::seconds;

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// Reads SeedLink packets ("SL" + 6 hex digits + 512 bytes) until count have
// come or the deadline passed.
std::vector<std::string> readPackets(int fd, size_t count, seconds bound) {
  timeval tv{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::string bytes;
  while (bytes.size() < count * 520 && std::chrono::steady_clock::now() < deadline) {
    char buffer[8192];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n > 0) bytes.append(buffer, static_cast<size_t>(n));
  }
  std::vector<std::string> packets;
  for (size_t at = 0; at + 520 <= bytes.size(); at += 520) packets.push_back(bytes.substr(at, 520));
  return packets;
}

TEST(RingE2ETest, LiveRecordsReachASeedLinkClient) {
  HubRun hub("ringenabled=1\n");
  const int port = freeTcpPort();
  mkdir((hub.dir() + "/settings").c_str(), 0777);
  writeText(hub.dir() + "/settings/ring.conf",
            "ServerID \"E2E\"\nRingDirectory ring/data\nSeedLinkPort " + std::to_string(port) +
                "\nTransferLogDirectory ring/log\n"
                "MSeedScan ring/scan/ StateFile=ring/scan.state InitCurrentState=y\n"
                "RingSize 2000000\nWatchParent\n");
  ASSERT_TRUE(hub.start());
  int fd = -1;
  ASSERT_TRUE(waitFor([&] { return (fd = connectTo(port)) >= 0; }, seconds(20))) << hub.allLogs();
  const std::string hello = "HELLO\r\n";
  ASSERT_EQ(send(fd, hello.data(), hello.size(), 0), static_cast<ssize_t>(hello.size()));
  char answer[256] = {};
  ASSERT_GT(recv(fd, answer, sizeof answer - 1, 0), 0);
  EXPECT_NE(std::string(answer).find("SeedLink v3.1"), std::string::npos);
  const std::string request = "STATION SIM\r\nSELECT HHZ\r\nDATA\r\nEND\r\n";
  send(fd, request.data(), request.size(), 0);
  char ok[12] = {};
  ASSERT_EQ(recv(fd, ok, sizeof ok, MSG_WAITALL), 12);
  EXPECT_EQ(std::string(ok, sizeof ok), "OK\r\nOK\r\nOK\r\n");

  auto sim = hub.simulator({"--channels", "HHZ", "--rate", "100", "--as-fast-as-possible",
                            "--records", "20", "--duration", "3", "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  const std::vector<std::string> packets = readPackets(fd, 20, seconds(15));
  ASSERT_TRUE(sim->wait(seconds(20)));
  ASSERT_EQ(packets.size(), 20u) << sim->output() << hub.allLogs();
  unsigned previous = 0;
  hptime_t previousStart = 0;
  for (const std::string& p : packets) {
    ASSERT_EQ(p.substr(0, 2), "SL");
    const unsigned seq = std::stoul(p.substr(2, 6), nullptr, 16);
    if (previous != 0) {
      EXPECT_EQ(seq, previous + 1);
    }
    previous = seq;
    int bad = 0;
    const std::vector<RecordId> rec = recordsIn(p.substr(8), &bad);
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].channel, "HHZ");
    EXPECT_GT(rec[0].start, previousStart);
    previousStart = rec[0].start;
  }
  close(fd);
  ASSERT_TRUE(hub.stopBySignal(SIGTERM));
  EXPECT_TRUE(waitFor([&] { return !portInUse(port); }, seconds(10)));
}

}  // namespace
