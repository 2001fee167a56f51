// The reader on links whose bytes arrive through a read-loop thread: a frame
// split across two device reads, and a TCP loopback pair of Sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "io/Socket.h"
#include "protocol/FrameBytes.h"
#include "protocol/MemoryIO.h"
#include "protocol/PacketReaderWriter.h"
#include "support/PacketText.h"
#include "support/TestSupport.h"

namespace {

constexpr uint32_t kHubId = 0x00000001;
constexpr uint32_t kStation = 0x01000042;

}  // namespace

TEST(PacketReaderWriterThreadedTest, FrameSplitAcrossTwoReadsStillParses) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  Log log("split");
  const std::string whole = frame(SelvomaPacket::COMMAND, kStation, std::string(300, 'c'));
  for (size_t cut : {size_t(3), size_t(10), size_t(17), size_t(100), whole.size() - 2}) {
    MemoryIO io;
    io.setLog(&log);
    ASSERT_TRUE(io.startReadLoop());
    PacketReaderWriter rw;
    rw.init(kHubId, &io, &log);
    io.feed(whole.substr(0, cut));
    std::thread late([&io, &whole, cut] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      io.feed(whole.substr(cut));
    });
    SelvomaPacket p;
    EXPECT_EQ(rw.read(&p, true), PacketReaderWriter::READ_PACKET) << cut;
    late.join();
    EXPECT_EQ(payloadText(p), std::string(300, 'c')) << cut;
    io.close();
  }
}

// A header that stops after a few bytes keeps the reader in its bounded
// waits; the wait hook is called all along and ends the read when it says so.
TEST(PacketReaderWriterThreadedTest, StalledHeaderServesWaitHookAndStopsOnItsWord) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  Log log("stall");
  MemoryIO io;
  ASSERT_TRUE(io.startReadLoop());
  PacketReaderWriter rw;
  rw.init(kHubId, &io, &log);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Clock::time_point last = start;
  Clock::duration longestGap{};
  int calls = 0;
  rw.setWaitHook([&] {
    const Clock::time_point now = Clock::now();
    longestGap = std::max(longestGap, now - last);
    last = now;
    ++calls;
    return now - start < std::chrono::milliseconds(2500);
  });
  io.feed(frame(SelvomaPacket::COMMAND, kStation, "abc").substr(0, 6));
  ASSERT_TRUE(io.waitForBytes(6, 1000000));
  SelvomaPacket p;
  EXPECT_EQ(rw.read(&p, false), PacketReaderWriter::READ_STOPPED);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
  EXPECT_GT(calls, 20);
  EXPECT_LT(longestGap, std::chrono::milliseconds(300));
  io.close();
}

class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int port = freeTcpPort();
    listener_.setLog(&log_);
    listener_.init();
    ASSERT_EQ(listener_.server(static_cast<uint16_t>(port)), 0);
    instrument_.setLog(&log_);
    ASSERT_TRUE(instrument_.connect("127.0.0.1", static_cast<uint16_t>(port)));
    hub_.setLog(&log_);
    ASSERT_TRUE(listener_.accept(hub_));
    hubRw_.init(kHubId, &hub_, &log_);
  }

  std::string readRaw(Socket& s, int count) {
    std::vector<unsigned char> buffer(static_cast<size_t>(count));
    int n = s.read(buffer.data(), count);
    return std::string(buffer.begin(), buffer.begin() + std::max(n, 0));
  }

  TempDir dir_;
  ScopedBaseDir base_{dir_.path()};
  Log log_{"loop"};
  Socket listener_;
  Socket instrument_;
  Socket hub_;
  PacketReaderWriter hubRw_;
};

TEST_F(LoopbackTest, FramesBothWays) {
  std::string stream = std::string("\x01\x02", 2);  // line noise first
  for (int i = 0; i < 50; ++i) {
    stream += frame(SelvomaPacket::MINISEED, kStation, std::string(512, static_cast<char>(i)),
                    static_cast<uint8_t>(i));
  }
  ASSERT_EQ(instrument_.write(reinterpret_cast<const unsigned char*>(stream.data()),
                              static_cast<int>(stream.size())),
            static_cast<int>(stream.size()));
  for (int i = 0; i < 50; ++i) {
    SelvomaPacket p;
    ASSERT_EQ(hubRw_.read(&p, true), PacketReaderWriter::READ_PACKET) << i;
    EXPECT_EQ(p.seqNo, i);
    EXPECT_EQ(payloadText(p), std::string(512, static_cast<char>(i)));
  }
  ASSERT_TRUE(hubRw_.write(SelvomaPacket::ACK, kStation, 49));
  std::string ack = readRaw(instrument_, 21);
  ASSERT_EQ(ack.size(), 21u);
  EXPECT_EQ(ack, frame(SelvomaPacket::ACK, kHubId, "", 49, kStation,
                       static_cast<uint32_t>(
                           static_cast<uint8_t>(ack[12]) | static_cast<uint8_t>(ack[13]) << 8 |
                           static_cast<uint8_t>(ack[14]) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(ack[15])) << 24)));
}

TEST_F(LoopbackTest, PeerClosingMidFrameEndsTheRead) {
  std::string half = frame(SelvomaPacket::COMMAND, kStation, "never finished").substr(0, 25);
  instrument_.write(reinterpret_cast<const unsigned char*>(half.data()),
                    static_cast<int>(half.size()));
  instrument_.close();
  ASSERT_TRUE(waitFor([this] { return hub_.isLinkDead(); }, std::chrono::seconds(5)));
  SelvomaPacket p;
  EXPECT_EQ(hubRw_.read(&p, true), PacketReaderWriter::READ_FAILED);
  EXPECT_LT(hub_.available(), 0);
  EXPECT_EQ(hubRw_.read(&p, false), PacketReaderWriter::READ_NOTHING);
}
