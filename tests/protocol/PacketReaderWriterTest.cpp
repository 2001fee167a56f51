// The reader over hand-built byte streams in an in-memory link without a
// read thread: every byte is in the ring before read() runs, and the end of
// the stream marks the link dead, so no test waits on the link's sleeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/Log.h"
#include "protocol/FrameBytes.h"
#include "protocol/MemoryIO.h"
#include "protocol/PacketReaderWriter.h"
#include "support/CaptureLog.h"
#include "support/TestSupport.h"
#include "util/TimeUtil.h"

namespace {

constexpr uint32_t kOwnId = 0x00000001;
constexpr uint32_t kStation = 0x01A2B3C4;

class PacketReaderWriterTest : public ::testing::Test {
 protected:
  PacketReaderWriterTest() : base_(dir_.path()), log_("ST.01a2b3c4") {
    rw_.init(kOwnId, &io_, &log_);
  }

  // Feeds the stream, ends it and reads one frame.
  int readAll(const std::string& bytes, SelvomaPacket* p) {
    io_.feedAndPump(bytes);
    io_.endOfStream();
    return rw_.read(p, false);
  }

  TempDir dir_;
  ScopedBaseDir base_;
  MemoryIO io_;
  CaptureLog log_;
  PacketReaderWriter rw_;
};

}  // namespace

TEST_F(PacketReaderWriterTest, RoundTripOfEveryMessageType) {
  const uint8_t types[] = {0x81, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A,
                           0x8B, 0xAA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x82};
  std::string stream;
  for (uint8_t t : types) {
    std::string payload(t % 7 == 0 ? 0 : t, static_cast<char>(t));
    stream += frame(t, kStation, payload, t);
  }
  io_.feedAndPump(stream);
  for (uint8_t t : types) {
    SelvomaPacket p;
    ASSERT_EQ(rw_.read(&p, false), PacketReaderWriter::READ_PACKET) << int(t);
    EXPECT_EQ(p.type, t);
    EXPECT_EQ(p.seqNo, t);
    EXPECT_EQ(p.sourceId, kStation);
    EXPECT_EQ(p.payloadLen(), t % 7 == 0 ? 0 : t);
    const std::string payload(t % 7 == 0 ? 0 : t, static_cast<char>(t));
    const char* bytes = reinterpret_cast<const char*>(p.payload());
    EXPECT_EQ(bytes == nullptr ? std::string() : std::string(bytes, p.payloadLen()), payload);
    // Written back, the frame carries our id and the peer's, else the same bytes.
    SelvomaPacket copy = p;
    ASSERT_TRUE(rw_.write(&copy));
    EXPECT_EQ(io_.takeWritten(), frame(t, kOwnId, payload, t, kStation, p.time));
  }
  SelvomaPacket p;
  EXPECT_EQ(rw_.read(&p, false), PacketReaderWriter::READ_NOTHING);
  EXPECT_EQ(rw_.getReceivedCount(), 16);
  EXPECT_EQ(rw_.getSentCount(), 16);
}

TEST_F(PacketReaderWriterTest, GarbageBeforeFrameIsSkippedAndReported) {
  SelvomaPacket p;
  std::string good = frame(SelvomaPacket::COMMAND, kStation, "hello");
  ASSERT_EQ(readAll(std::string("\x00\x11\x22", 3) + good, &p), PacketReaderWriter::READ_PACKET);
  EXPECT_EQ(p.textPayload(0, 10), "hello");
  EXPECT_TRUE(
      log_.has("Skipping bad bytes (1).  3 bad bytes. avail=" + std::to_string(good.size() - 1)));
  EXPECT_TRUE(log_.has("R CO [hello]"));
  EXPECT_EQ(rw_.getPeerId(), kStation);
}

TEST_F(PacketReaderWriterTest, FlippedPayloadByteIsCheckWordErrorAndNextFrameReads) {
  std::string bad = frame(SelvomaPacket::COMMAND, kStation + 1, "abcdef");
  bad[17 + 2] ^= 0x01;
  io_.feedAndPump(bad + frame(SelvomaPacket::COMMAND, kStation, "second"));
  SelvomaPacket p;
  EXPECT_EQ(rw_.read(&p, false), PacketReaderWriter::READ_FAILED);
  EXPECT_EQ(p.type, SelvomaPacket::COMMAND);  // keeps its type
  EXPECT_TRUE(log_.has("BAD SELVOMA XOR32 in above packet"));
  EXPECT_EQ(io_.flushes(), 0);  // the link is not cleared
  EXPECT_EQ(rw_.getPeerId(), 0u);
  ASSERT_EQ(rw_.read(&p, false), PacketReaderWriter::READ_PACKET);
  EXPECT_EQ(p.textPayload(0, 10), "second");
  EXPECT_EQ(rw_.getPeerId(), kStation);
}

TEST_F(PacketReaderWriterTest, CorruptedLengthWithValidCheckWordIsLengthError) {
  for (uint32_t length : {2100u, 10001u, 65535u}) {
    std::string body = frameBody(SelvomaPacket::COMMAND, length, kStation, 1, 0, 0, "abc");
    appendLE(&body, columnCheckWord(body), 4);
    MemoryIO io;
    io.feedAndPump(body);
    rw_.init(kOwnId, &io, &log_);
    SelvomaPacket p;
    EXPECT_EQ(rw_.read(&p, false), PacketReaderWriter::READ_FAILED);
    EXPECT_EQ(p.type, SelvomaPacket::BAD_PACKET);
    EXPECT_EQ(p.payloadLen(), 0);
    EXPECT_EQ(io.flushes(), 1);
    EXPECT_EQ(io.available(), 0);
    EXPECT_TRUE(log_.has(
        "PacketReaderWriter.receivePayload() payloadLen=" + std::to_string(length) + " this BAD"));
  }
}

TEST_F(PacketReaderWriterTest, PayloadAtLinkLimitPassesOneMoreFails) {
  std::string atLimit(LINK_PAYLOAD_MAX, 'p');
  SelvomaPacket p;
  ASSERT_EQ(readAll(frame(SelvomaPacket::FILE_PART, kStation, atLimit), &p),
            PacketReaderWriter::READ_PACKET);
  EXPECT_EQ(p.payloadLen(), static_cast<int>(LINK_PAYLOAD_MAX));

  SelvomaPacket out;
  out.make(SelvomaPacket::FILE_PART, 0, 0, 1, atLimit);
  EXPECT_TRUE(rw_.write(&out));
  EXPECT_EQ(io_.takeWritten().size(), LINK_PAYLOAD_MAX + 21);
  out.make(SelvomaPacket::FILE_PART, 0, 0, 1, atLimit + "x");
  EXPECT_FALSE(rw_.write(&out));
  EXPECT_EQ(io_.takeWritten(), "");
  EXPECT_EQ(rw_.getSentCount(), 1);
}

TEST_F(PacketReaderWriterTest, StationIdRange) {
  struct Case {
    uint32_t id;
    bool accepted;
  } cases[] = {{0x01000000, true},  {0x03FFFFFF, true}, {0x00FFFFFF, false},
               {0x04000000, false}, {0, false},         {CFUN_STATION_ID, false}};
  for (const Case& c : cases) {
    MemoryIO io;
    io.feedAndPump(frame(SelvomaPacket::ACK, c.id));
    rw_.init(kOwnId, &io, &log_);
    SelvomaPacket p;
    int result = rw_.read(&p, false);
    EXPECT_EQ(result == PacketReaderWriter::READ_PACKET, c.accepted) << std::hex << c.id;
    if (!c.accepted) {
      EXPECT_EQ(p.type, SelvomaPacket::BAD_PACKET);
      EXPECT_EQ(io.flushes(), 1);
    }
  }
  EXPECT_TRUE(log_.has("bad station id = 67108864 ( 4000000)"));
  // Only the modem's reply read as a station id gets the hint.
  EXPECT_TRUE(log_.has("bad station id = 1853187683 (6e756663)"));
  const std::vector<std::string> lines = log_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "You may be using \"Telemetry->Device: 3G Modem.\"  Set it to \"Serial\""),
            1);
}

TEST_F(PacketReaderWriterTest, TruncatedFramesOnClosedLinkFailWithoutClearing) {
  const std::string whole = frame(SelvomaPacket::COMMAND, kStation, "truncated");
  for (size_t cut : {size_t(5), size_t(17), size_t(20), whole.size() - 1}) {
    MemoryIO io;
    io.feedAndPump(whole.substr(0, cut));
    io.endOfStream();
    rw_.init(kOwnId, &io, &log_);
    SelvomaPacket p;
    EXPECT_EQ(rw_.read(&p, true), PacketReaderWriter::READ_FAILED) << cut;
    EXPECT_EQ(io.flushes(), 0) << cut;
    EXPECT_EQ(io.available(), -1);
  }
  EXPECT_TRUE(log_.hasPrefix("     0 NOT ENOUGH HEADER BYTES... numbytes= 5 < 17"));
  EXPECT_TRUE(log_.has("BAD receivePayload.  p.payloadLen=9 n=3"));
  // Garbage alone on a closed link: no frame, nothing cleared.
  rw_.init(kOwnId, &io_, &log_);
  SelvomaPacket p;
  EXPECT_EQ(readAll(std::string(100, 'g'), &p), PacketReaderWriter::READ_FAILED);
  EXPECT_EQ(io_.flushes(), 0);
}

TEST_F(PacketReaderWriterTest, NoLinkFailsCleanly) {
  PacketReaderWriter rw;
  CaptureLog log("x");
  rw.init(kOwnId, nullptr, &log);
  SelvomaPacket p;
  EXPECT_EQ(rw.read(&p, true), PacketReaderWriter::READ_FAILED);
  EXPECT_FALSE(rw.write(&p));
  EXPECT_TRUE(log.has("NULL io in PacketReaderWriter.init()"));
  EXPECT_TRUE(log.has("NULL io in PacketReaderWriter.read"));
  EXPECT_TRUE(log.has("io is NULL in PacketReaderWriter.write"));
}

TEST_F(PacketReaderWriterTest, WriterStampsOwnAndPeerIds) {
  SelvomaPacket p;
  ASSERT_EQ(readAll(frame(SelvomaPacket::IDENTIFY, kStation), &p), PacketReaderWriter::READ_PACKET);
  SelvomaPacket out;
  out.make(SelvomaPacket::COMMAND, 0xdead, 0xbeef, 9, "status");
  ASSERT_TRUE(rw_.write(&out));
  std::string bytes = io_.takeWritten();
  EXPECT_EQ(bytes, frame(SelvomaPacket::COMMAND, kOwnId, "status", 9, kStation, out.time));
  EXPECT_EQ(out.sourceId, kOwnId);
  EXPECT_EQ(out.destId, kStation);

  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0x12345678, 42));
  bytes = io_.takeWritten();
  ASSERT_EQ(bytes.size(), 21u);
  EXPECT_EQ(static_cast<uint8_t>(bytes[16]), 42);
  ASSERT_TRUE(rw_.writeIdentify(kStation));
  bytes = io_.takeWritten();
  EXPECT_EQ(static_cast<uint8_t>(bytes[1]), SelvomaPacket::IDENTIFY);
  EXPECT_EQ(bytes[16], 0);
}

TEST_F(PacketReaderWriterTest, ShortWriteFailsAndDisconnectClosesLink) {
  io_.setWriteLimit(10);
  EXPECT_FALSE(rw_.write(SelvomaPacket::ACK, 0, 1));
  EXPECT_EQ(rw_.getSentCount(), 0);
  rw_.disconnect();
  EXPECT_FALSE(io_.isConnected());
}

TEST_F(PacketReaderWriterTest, NilReplyGetsTheKeyOfTheLastSetting) {
  const std::string k31(31, 'k');
  struct Case {
    const char* first;
    std::string sent;
    const char* expectedReply;
  } cases[] = {{"dummy", "gain=5", "gain=nil"},
               {"dummy", "? sampling_rate", "sampling_rate=nil"},
               {"gain=5", "dummy", "nil"},  // forgets the key
               {"dummy", "? x", "nil"},     // a key of one character is not used
               // 32 bytes: ignored, an earlier key stays
               {"gain=5", "?" + k31, "gain=nil"},
               {"gain=5", k31 + "=", "gain=nil"}};
  for (const Case& c : cases) {
    MemoryIO io;
    rw_.init(kOwnId, &io, &log_);
    SelvomaPacket out;
    out.make(SelvomaPacket::COMMAND, 0, 0, 1, c.first);
    ASSERT_TRUE(rw_.write(&out));
    out.make(SelvomaPacket::COMMAND, 0, 0, 1, c.sent);
    ASSERT_TRUE(rw_.write(&out));
    io.feedAndPump(frame(SelvomaPacket::COMMAND, kStation, "nil"));
    SelvomaPacket reply;
    ASSERT_EQ(rw_.read(&reply, false), PacketReaderWriter::READ_PACKET) << c.sent;
    EXPECT_EQ(reply.textPayload(0, 100), c.expectedReply) << c.sent;
  }
}

TEST_F(PacketReaderWriterTest, OneCsvLinePerHourOfTraffic) {
  // 2024-03-05 10:59:58 UTC.
  time_t now = 1709636398;
  rw_.TEST_setClock([&now] { return now; });
  io_.feedAndPump(frame(SelvomaPacket::COMMAND, kStation, "abc"));  // 24 bytes
  SelvomaPacket p;
  ASSERT_EQ(rw_.read(&p, false), PacketReaderWriter::READ_PACKET);
  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0, 1));  // first write: no line
  now += 1;
  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0, 2));
  const std::string csv = dir_.path() + "log/sendreceive.202403.ST.01a2b3c4.csv";
  EXPECT_FALSE(pathExists(csv));
  now += 2;  // 11:00:01
  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0, 3));
  EXPECT_EQ(readText(csv), "2024-03-05 10:00,ST.01a2b3c4,memory,42,23\n");
  EXPECT_EQ(rw_.getBytesSent(), 21u);  // the new hour starts with this frame
  EXPECT_EQ(rw_.getBytesReceived(), 0u);
  now += 1800;
  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0, 4));
  now += 1800;  // 12:00:01
  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0, 5));
  EXPECT_EQ(readText(csv),
            "2024-03-05 10:00,ST.01a2b3c4,memory,42,23\n"
            "2024-03-05 11:00,ST.01a2b3c4,memory,42,0\n");
  // A day later at the same hour still closes the hour.
  now += 86400;
  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0, 6));
  EXPECT_NE(readText(csv).find("2024-03-05 12:00,ST.01a2b3c4,memory,21,0\n"), std::string::npos);
}

TEST_F(PacketReaderWriterTest, ReceivedFramesAreLoggedAtVerbosity) {
  log_.setVerbose(1);
  io_.feedAndPump(frame(SelvomaPacket::ACK, kStation, "", 7));
  SelvomaPacket p;
  ASSERT_EQ(rw_.read(&p, false), PacketReaderWriter::READ_PACKET);
  EXPECT_TRUE(log_.has("     1 R ACK     FF ln=  0 seq=007"));
  ASSERT_TRUE(rw_.write(SelvomaPacket::ACK, 0, 7));
  EXPECT_TRUE(log_.has("     1 S ACK     FF ln=  0 seq=007"));
}
