// A scripted hub for the simulator's tests: listens on a loopback port (or
// takes a pseudo-terminal), reads frames with the hub's own reader/writer and
// sends what the test tells it to. Every wait is bounded.
#ifndef VH_TESTS_TOOLS_FAKEHUB_H_
#define VH_TESTS_TOOLS_FAKEHUB_H_

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "io/IO.h"
#include "io/Socket.h"
#include "protocol/PacketReaderWriter.h"
#include "support/PacketText.h"
#include "support/TestSupport.h"

constexpr uint32_t kHubId = 0x00000001;

// The hub's end of a pseudo-terminal, read through the common read loop.
class FdIO : public IO {
 public:
  explicit FdIO(int fd) : fd_(fd) {
    setDescription("pty");
    setConnected(true);
  }
  ~FdIO() override {
    stopReadLoop();
    ::close(fd_);
  }
  bool isConnected() override { return connectedFlag(); }
  int write(const unsigned char* bytes, int count) override {
    return static_cast<int>(::write(fd_, bytes, static_cast<size_t>(count)));
  }
  int ioAvailable() override {
    int n = 0;
    return ioctl(fd_, FIONREAD, &n) == 0 ? n : -1;
  }
  int ioRead(unsigned char* bytes, int count) override {
    ssize_t k = ::read(fd_, bytes, static_cast<size_t>(count));
    if (k < 0) return errno == EAGAIN ? 0 : -1;
    return static_cast<int>(k);
  }
  bool startReadLoop() override { return startReadThread("FdIO::readLoop"); }

 private:
  int fd_;
};

class FakeHub {
 public:
  // Listens on a free loopback port.
  FakeHub() : port_(freeTcpPort()) {
    listener_.init();
    listening_ = listener_.server(static_cast<uint16_t>(port_)) == 0;
  }
  bool listening() const { return listening_; }
  uint16_t port() const { return static_cast<uint16_t>(port_); }

  // Accepts the next instrument connection, waiting at most timeout.
  bool accept(std::chrono::milliseconds timeout) {
    pollfd p{listener_.getDescriptor(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    auto link = std::make_unique<Socket>();
    if (!listener_.accept(*link)) return false;
    attach(std::move(link));
    return true;
  }
  // Opens a pseudo-terminal's slave path as the hub's serial end.
  bool openSerial(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    auto link = std::make_unique<FdIO>(fd);
    if (!link->startReadLoop()) return false;
    attach(std::move(link));
    return true;
  }
  void closeLink() {
    rw_.reset();
    if (link_) link_->close();
    link_.reset();
  }

  // Reads the next frame within timeout. Returns the reader's result, or
  // READ_NOTHING when nothing came.
  int next(SelvomaPacket* p, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (link_->available() < 1) {
      if (std::chrono::steady_clock::now() > deadline) return PacketReaderWriter::READ_NOTHING;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return rw_->read(p, true);
  }
  // Reads frames until one of type arrives (good check word), skipping
  // others, within timeout.
  bool waitFor(uint8_t type, SelvomaPacket* p, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (next(p, left) == PacketReaderWriter::READ_PACKET && p->type == type) return true;
    }
    return false;
  }
  // The hub's opening: IDENTIFY, the answer, LINK_INIT, the answer.
  bool identify(uint32_t* stationId) {
    SelvomaPacket p;
    if (!rw_->writeIdentify(0)) return false;
    if (!waitFor(SelvomaPacket::IDENTIFY, &p, std::chrono::seconds(3))) return false;
    *stationId = p.sourceId;
    if (!rw_->write(SelvomaPacket::LINK_INIT, p.sourceId, 0)) return false;
    return waitFor(SelvomaPacket::LINK_INIT, &p, std::chrono::seconds(3));
  }
  bool send(uint8_t type, uint8_t seqNo) { return rw_->write(type, rw_->getPeerId(), seqNo); }
  bool sendText(uint8_t type, const std::string& text, uint8_t seqNo) {
    SelvomaPacket p;
    p.make(type, kHubId, rw_->getPeerId(), seqNo, text);
    return rw_->write(&p);
  }
  IO* link() { return link_.get(); }

 private:
  void attach(std::unique_ptr<IO> link) {
    link_ = std::move(link);
    rw_ = std::make_unique<PacketReaderWriter>();
    rw_->init(kHubId, link_.get(), nullptr);
  }

  int port_;
  bool listening_ = false;
  Socket listener_;
  std::unique_ptr<IO> link_;
  std::unique_ptr<PacketReaderWriter> rw_;
};

#endif  // VH_TESTS_TOOLS_FAKEHUB_H_
