// The hub under a service manager: its readiness, watchdog and stop notices
// arrive on a notify socket of the test's own, and the installed unit file
// passes the manager's own check.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/HubRun.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr char WATCHDOG_USEC[] = "400000";  // the hub pings every 200 ms

// A unix datagram socket bound in a temporary folder, as the service manager
// offers it through NOTIFY_SOCKET.
class NotifySocket {
 public:
  NotifySocket() : path_(dir_.file("notify")) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }
  // The next message, or "" when none arrives within timeout.
  std::string receive(milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::string();
    char buf[256];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // Waits (bounded) for message; the others received meanwhile are counted in *others.
  bool waitFor(const std::string& message, seconds bound, std::vector<std::string>* others) {
    const auto end = steady_clock::now() + bound;
    while (steady_clock::now() < end) {
      std::string m = receive(milliseconds(100));
      if (m == message) return true;
      if (!m.empty()) others->push_back(m);
    }
    return false;
  }

 private:
  TempDir dir_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ServiceE2ETest, NotifiesReadyPingsWatchdogAndSaysStopping) {
  TempDir work, home;
  NotifySocket notify;
  ASSERT_TRUE(notify.bound()) << notify.path();
  const int port = freeTcpPort();
  mkdir(work.file("settings").c_str(), 0777);
  writeText(work.file("settings/vorlanhub.props"),
            "serialenabled=0\nport=" + std::to_string(port) + "\n");
  ChildProcess hub({builtProgram("vorlanhub")}, work.path(),
                   {{"HOME", home.path()},
                    {"NOTIFY_SOCKET", notify.path()},
                    {"WATCHDOG_USEC", WATCHDOG_USEC},
                    {"WATCHDOG_PID", ""}});
  ASSERT_TRUE(hub.start());
  std::vector<std::string> before;
  ASSERT_TRUE(notify.waitFor("READY=1", seconds(15), &before)) << hub.output();
  EXPECT_TRUE(before.empty()) << before.front();
  EXPECT_TRUE(portInUse(port)) << "ready before the listener is up";

  // Pings keep coming at about twice the watchdog rate.
  std::vector<std::string> pings;
  const auto end = steady_clock::now() + milliseconds(1500);
  while (steady_clock::now() < end) {
    std::string m = notify.receive(milliseconds(100));
    if (!m.empty()) pings.push_back(m);
  }
  EXPECT_GE(pings.size(), 3u);
  for (const std::string& m : pings) EXPECT_EQ(m, "WATCHDOG=1");

  hub.signal(SIGTERM);
  std::vector<std::string> others;
  EXPECT_TRUE(notify.waitFor("STOPPING=1", seconds(10), &others)) << hub.output();
  ASSERT_TRUE(hub.wait(seconds(30)));
  EXPECT_EQ(hub.exitCode(), 1);
}

TEST(ServiceE2ETest, UnitFilePassesSystemdVerify) {
  const char* tool = "/usr/bin/systemd-analyze";
  if (access(tool, X_OK) != 0)
    GTEST_SKIP() << tool << " is not installed: the unit is not verified";
  TempDir work;
  ChildProcess verify({tool, "verify", VH_BINARY_DIR "/packaging/vorlanhub.service"}, work.path());
  ASSERT_TRUE(verify.start());
  ASSERT_TRUE(verify.wait(seconds(60)));
  EXPECT_EQ(verify.exitCode(), 0) << verify.output();
  // Settings it cannot parse are warnings only: the output must be empty.
  EXPECT_EQ(verify.output(), "");
}

}  // namespace
