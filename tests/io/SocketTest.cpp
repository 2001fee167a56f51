#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "io/Socket.h"
#include "support/TestSupport.h"
#include "util/Console.h"

using std::chrono::milliseconds;

namespace {

constexpr milliseconds kWait{5000};

// A plain system socket connected to 127.0.0.1:port (bytes our code did not write).
class RawPeer {
 public:
  explicit RawPeer(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    localPort_ = ntohs(local.sin_port);
  }
  ~RawPeer() { closeNow(); }
  bool connected() const { return connected_; }
  int localPort() const { return localPort_; }
  int fd() const { return fd_; }
  void send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  std::string receive(size_t count) {
    std::string got;
    char buffer[4096];
    while (got.size() < count) {
      ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // Closes with a reset instead of an orderly end of stream.
  void reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    closeNow();
  }
  void closeNow() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  int localPort_ = 0;
};

class SocketTest : public ::testing::Test {
 protected:
  // A listener on a free port and one accepted client from a raw peer.
  void acceptOne() {
    port_ = freeTcpPort();
    listener_.setLog(&log_);
    listener_.init();
    ASSERT_EQ(listener_.server(static_cast<uint16_t>(port_)), 0);
    peer_ = std::make_unique<RawPeer>(port_);
    ASSERT_TRUE(peer_->connected());
    client_ = std::make_unique<Socket>();
    client_->setLog(&log_);
    ASSERT_TRUE(listener_.accept(*client_));
  }
  std::string readAll(Socket& socket, int count) {
    std::vector<unsigned char> buffer(static_cast<size_t>(count));
    int n = socket.read(buffer.data(), count);
    return std::string(buffer.begin(), buffer.begin() + std::max(n, 0));
  }

  TempDir dir_;
  ScopedBaseDir base_{dir_.path()};
  Log log_{"io"};
  Socket listener_;
  int port_ = 0;
  std::unique_ptr<RawPeer> peer_;
  std::unique_ptr<Socket> client_;
};

TEST_F(SocketTest, AcceptedClientIsDescribedAndCarriesBytesBothWays) {
  acceptOne();
  std::string want = "127.0.0.1 Ports: client=" + std::to_string(peer_->localPort()) +
                     " server=" + std::to_string(port_);
  EXPECT_EQ(client_->getDescription(), want);
  EXPECT_EQ(client_->getKind(), IO::KIND_SOCKET);
  EXPECT_TRUE(client_->isConnected());
  EXPECT_EQ(std::string(listener_.getDescription()), "0.0.0.0." + std::to_string(port_));
  // Bytes from the peer arrive through the ring; replies reach the peer.
  peer_->send("hello instrument");
  EXPECT_EQ(readAll(*client_, 16), "hello instrument");
  const unsigned char reply[] = {0x55, 0x00, 0xff, 0x10};
  EXPECT_EQ(client_->write(reply, 4), 4);
  EXPECT_EQ(peer_->receive(4), std::string("\x55\x00\xff\x10", 4));
  EXPECT_EQ(client_->write(reply, 0), 0);
  EXPECT_EQ(client_->getBytesIn(), 16u);
}

TEST_F(SocketTest, LargeStreamArrivesCompleteAndInOrder) {
  acceptOne();
  std::string data(3 * RING_CAPACITY + 77, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + i / 256);
  std::thread sender([&] { peer_->send(data); });
  std::string got = readAll(*client_, static_cast<int>(data.size()));
  sender.join();
  EXPECT_TRUE(got == data) << got.size();
}

TEST_F(SocketTest, OrderlyPeerCloseMakesAvailableNegativeAfterBufferedBytes) {
  acceptOne();
  peer_->send("last");
  peer_->closeNow();
  ASSERT_TRUE(waitFor([&] { return client_->isLinkDead(); }, kWait));
  EXPECT_EQ(client_->available(), 4);
  EXPECT_EQ(readAll(*client_, 4), "last");
  EXPECT_EQ(client_->available(), -1);
  log_.flush();
  // Interface log line: the operator sees why the link ended.
  std::string text = readText(log_.getPath());
  EXPECT_NE(text.find("Link dead: end of stream. [127.0.0.1 Ports: client="), std::string::npos)
      << text;
}

TEST_F(SocketTest, PeerResetMakesAvailableNegative) {
  acceptOne();
  peer_->reset();
  ASSERT_TRUE(waitFor([&] { return client_->available() < 0; }, kWait));
  EXPECT_EQ(client_->getLastReadResult(), -1);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(SocketTest, WaitForBytesEndsOnlyWhenTheWholeRequestIsInTheRing) {
  acceptOne();
  peer_->send("abc");
  ASSERT_TRUE(waitFor([&] { return client_->available() == 3; }, kWait));
  // Three bytes are not eight: the wait runs to its time-out; an idle peer
  // keeps the link alive.
  EXPECT_FALSE(client_->waitForBytes(8, 30000));
  EXPECT_FALSE(client_->isLinkDead());
  std::thread later([&] {
    usleep(50000);
    peer_->send("defgh");
    usleep(30000);
    peer_->send("ij");  // a read gathers a frame that arrives in parts
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client_->waitForBytes(8, 20000000));
  // Woken by the arrival, long before the 20-second bound.
  EXPECT_LT(secondsSince(start), 10.0);
  EXPECT_EQ(readAll(*client_, 10), "abcdefghij");
  later.join();
}

TEST_F(SocketTest, WaitForBytesEndsWhenThePeerClosesTheLink) {
  acceptOne();
  std::thread later([&] {
    usleep(50000);
    peer_->closeNow();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client_->waitForBytes(1, 20000000));
  EXPECT_LT(secondsSince(start), 10.0);
  later.join();
  EXPECT_TRUE(client_->isLinkDead());
  EXPECT_EQ(client_->available(), -1);
}

TEST_F(SocketTest, CloseWakesAnIdleReadLoopInsteadOfWaitingOutItsPoll) {
  // The read loop of an idle link blocks in poll for up to
  // READLOOP_WAIT_MAX_MS; close() must end it at once through the wake-up.
  // Without the wake-up a close would take half that bound on average; the
  // median of several closes is compared, so a busy machine does not decide
  // the outcome.
  std::vector<double> took;
  for (int i = 0; i < 9; ++i) {
    acceptOne();
    usleep(20000);  // the read loop is in its wait
    auto start = std::chrono::steady_clock::now();
    client_->close();
    took.push_back(secondsSince(start));
    EXPECT_FALSE(client_->isConnected());
  }
  std::sort(took.begin(), took.end());
  EXPECT_LT(took[took.size() / 2], READLOOP_WAIT_MAX_MS / 4 / 1000.0);
}

TEST_F(SocketTest, BindConflictIsReportedAndAnotherPortStillServes) {
  int taken = freeTcpPort();
  Socket first;
  first.init();
  ASSERT_EQ(first.server(static_cast<uint16_t>(taken)), 0);
  Socket second;
  second.setLog(&log_);
  second.init();
  DOPRINTF = true;
  testing::internal::CaptureStdout();
  int rc = second.server(static_cast<uint16_t>(taken));
  std::string out = testing::internal::GetCapturedStdout();
  DOPRINTF = false;
  EXPECT_LT(rc, 0);
  std::string line =
      "Cannot Bind to Port " + std::to_string(taken) + ".  result=" + std::to_string(rc) + "\n";
  EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_EQ(second.getErrno(), EADDRINUSE);

  int other = freeTcpPort();
  Socket third;
  third.init();
  ASSERT_EQ(third.server(static_cast<uint16_t>(other)), 0);
  RawPeer peer(other);
  ASSERT_TRUE(peer.connected());
  Socket client;
  ASSERT_TRUE(third.accept(client));
  peer.send("ok");
  EXPECT_EQ(readAll(client, 2), "ok");
}

TEST_F(SocketTest, ClientConnectByNameAndAddressStartsReadingOrFails) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    port_ = freeTcpPort();
    Socket server;
    server.init();
    ASSERT_EQ(server.server(static_cast<uint16_t>(port_)), 0);
    Socket outgoing;
    outgoing.init();
    ASSERT_TRUE(outgoing.connect(host, static_cast<uint16_t>(port_))) << host;
    Socket incoming;
    ASSERT_TRUE(server.accept(incoming));
    const unsigned char text[] = "pong";
    ASSERT_EQ(incoming.write(text, 4), 4);
    EXPECT_EQ(readAll(outgoing, 4), "pong") << host;
  }
  // A closed port or an unknown host fails.
  Socket outgoing;
  outgoing.setLog(&log_);
  outgoing.init();
  EXPECT_FALSE(outgoing.connect("127.0.0.1", static_cast<uint16_t>(freeTcpPort())));
  EXPECT_FALSE(outgoing.isConnected());
  Socket unnamed;
  EXPECT_FALSE(unnamed.connect("no-such-host.invalid", 1));
  const unsigned char text[] = "packet";
  EXPECT_EQ(Socket::openSendClose("127.0.0.1", static_cast<uint16_t>(freeTcpPort()), text, 6), -1);
}

TEST_F(SocketTest, OpenSendCloseDelivers) {
  port_ = freeTcpPort();
  listener_.init();
  ASSERT_EQ(listener_.server(static_cast<uint16_t>(port_)), 0);
  const unsigned char text[] = "packet";
  EXPECT_EQ(Socket::openSendClose("127.0.0.1", static_cast<uint16_t>(port_), text, 6), 6);
  Socket client;
  ASSERT_TRUE(listener_.accept(client));
  EXPECT_EQ(readAll(client, 6), "packet");
}

TEST_F(SocketTest, CloseOfListenerKeepsItsDescriptorAndCountsStayBalanced) {
  int before = Socket::_numSockets.load();
  acceptOne();
  EXPECT_EQ(Socket::_numSockets.load(), before + 2);
  int fd = listener_.getDescriptor();
  listener_.close();  // not connected: untouched
  EXPECT_EQ(listener_.getDescriptor(), fd);
  client_->close();
  EXPECT_EQ(client_->getDescriptor(), -1);
  EXPECT_FALSE(client_->isConnected());
  client_->close();  // already closed: nothing
  EXPECT_EQ(Socket::_numSockets.load(), before + 1);
  const unsigned char byte = 1;
  EXPECT_EQ(client_->write(&byte, 1), -1);
}

TEST_F(SocketTest, DeletingSocketWhilePeerStreamsStopsReadingAndClosesDescriptor) {
  int before = Socket::_numSockets.load();
  acceptOne();
  int fd = peer_->fd();
  std::thread streamer([fd] {
    std::string chunk(65536, 'z');
    for (int i = 0; i < 40; ++i) {
      if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
    }
  });
  usleep(20000);
  client_.reset();  // the session is over: its socket is deleted mid-stream
  streamer.join();
  EXPECT_EQ(Socket::_numSockets.load(), before + 1);
  // The peer sees the connection go away.
  std::string rest;
  char buffer[65536];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) rest.append(buffer, n);
  EXPECT_LE(n, 0);
}

}  // namespace
