// The hub's status for monitoring with a simulated instrument: the status
// file names the station with its figures, the metrics port serves GET and
// refuses other methods and oversized requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "support/HubRun.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Sends request to the loopback port and returns everything the server
// answers until it closes (at most a few seconds).
std::string httpExchange(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;  // the server may close early on an oversized request
      sent += static_cast<size_t>(n);
    }
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    while (poll(&p, 1, 5000) == 1) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

}  // namespace

TEST(StatusE2ETest, StatusFileAndMetricsPortShowTheStationAndAnswerGetOnly) {
  const int metricsPort = freeTcpPort();
  // The settings file is fetched from the instrument's card 25 s into the link.
  HubRun hub("metricsport=" + std::to_string(metricsPort) + "\nsettings=1\n");
  ASSERT_TRUE(hub.start());
  ASSERT_TRUE(hub.waitForLog("Metrics server on 127.0.0.1 port " + std::to_string(metricsPort),
                             seconds(10)))
      << hub.allLogs();
  TempDir card;
  auto sim = hub.simulator({"--station", "ABCD", "--id", "01000abc", "--card", card.path()});
  ASSERT_TRUE(sim->start());

  // The station's figures, its settings summary among them.
  const std::string statusPath = hub.dir() + "status.json";
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string s = readText(statusPath);
        return s.find("\"station\": \"ABCD.01000abc\"") != std::string::npos &&
               s.find("\"voltage\": 12.40") != std::string::npos &&
               s.find("\"records_today\": 0,") == std::string::npos;
      },
      seconds(90)))
      << readText(statusPath);
  const std::string status = readText(statusPath);
  EXPECT_NE(status.find("\"links\": 1,"), std::string::npos) << status;
  EXPECT_NE(status.find("{\"archive\": \"archive1\", \"folder\": \"archive/\", \"free_bytes\": "),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("\"temperature\": 21.50, \"card_free_percent\": 87.50"), std::string::npos)
      << status;
  EXPECT_NE(status.find("\"last_data\": \"20"), std::string::npos) << status;

  const std::string metrics =
      httpExchange(metricsPort, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(metrics.rfind("HTTP/1.1 200", 0), 0u) << metrics;
  EXPECT_NE(metrics.find("\nvorlanhub_links 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("\nvorlanhub_link_records_today{station=\"ABCD.01000abc\",link=\""),
            std::string::npos)
      << metrics;
  const std::string json =
      httpExchange(metricsPort, "GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_NE(json.find("\"station\": \"ABCD.01000abc\""), std::string::npos) << json;

  const std::string post = httpExchange(
      metricsPort, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
  EXPECT_NE(post.find("Allow: GET"), std::string::npos) << post;
  const std::string missing =
      httpExchange(metricsPort, "GET /other HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(missing.rfind("HTTP/1.1 404", 0), 0u) << missing;
  const std::string huge = httpExchange(metricsPort, "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                                         std::string(40000, 'a') + "\r\n\r\n");
  EXPECT_EQ(huge.rfind("HTTP/1.1 4", 0), 0u) << huge.substr(0, 200);

  // The link leaves the status when it ends.
  sim->signal(SIGTERM);
  ASSERT_TRUE(sim->wait(seconds(20)));
  EXPECT_TRUE(
      waitFor([&] { return readText(statusPath).find("\"stations\": []") != std::string::npos; },
              seconds(60)))
      << readText(statusPath);
  EXPECT_TRUE(hub.stopBySignal(SIGTERM));
}
