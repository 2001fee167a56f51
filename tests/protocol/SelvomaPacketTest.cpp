#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "protocol/FrameBytes.h"
#include "protocol/SelvomaPacket.h"
#include "support/TestSupport.h"

namespace {

constexpr uint32_t kStation = 0x01234567;

std::string wire(SelvomaPacket& p) {
  std::vector<uint8_t> out(p.length());
  size_t n = p.toBytes(out.data(), out.size());
  return std::string(out.begin(), out.begin() + n);
}

std::string realRecord() { return testRecords(JSC_RECORDS)[0]; }

SelvomaPacket packetWith(uint8_t type, const std::string& payload, uint8_t seq = 0) {
  SelvomaPacket p;
  p.make(type, kStation, 1, seq, payload);
  return p;
}

}  // namespace

TEST(SelvomaPacketTest, WireBytesMatchHandBuiltFrame) {
  SelvomaPacket p;
  p.make(SelvomaPacket::ACK, kStation, 0x1, 7);
  p.time = 0x2d000000;
  EXPECT_EQ(wire(p), frame(SelvomaPacket::ACK, kStation, "", 7, 1, 0x2d000000));
}

TEST(SelvomaPacketTest, CheckWordOfZerosIsZeroAndEveryByteCounts) {
  SelvomaPacket p;
  p.make(0, 0, 0, 0);
  p.sync = 0;
  p.time = 0;
  EXPECT_EQ(p.calcXOR32(), 0u);

  SelvomaPacket q = packetWith(SelvomaPacket::COMMAND, "key=value and some more");
  const uint32_t base = q.calcXOR32();
  for (int i = 0; i < q.payloadLen(); ++i) {
    SelvomaPacket r = q;
    r.payload()[i] ^= 0x01;
    EXPECT_NE(r.calcXOR32(), base) << "payload byte " << i;
  }
  SelvomaPacket r = q;
  r.seqNo ^= 0x80;
  EXPECT_NE(r.calcXOR32(), base);
  r = q;
  r.destId ^= 0x10000;
  EXPECT_NE(r.calcXOR32(), base);
  q.xor32 = base;
  EXPECT_TRUE(q.checkXOR());
}

TEST(SelvomaPacketTest, PayloadLimits) {
  SelvomaPacket p;
  EXPECT_TRUE(p.newPayload(SelvomaPacket::BIGGEST_PAYLOAD));
  EXPECT_EQ(p.length(), SelvomaPacket::BIGGEST_PAYLOAD + 21);
  EXPECT_EQ(p.payload()[SelvomaPacket::BIGGEST_PAYLOAD], 0);  // spare terminator
  EXPECT_FALSE(p.newPayload(SelvomaPacket::BIGGEST_PAYLOAD + 1));
  EXPECT_EQ(p.payloadLen(), 0);
  EXPECT_EQ(p.payload(), nullptr);
  EXPECT_EQ(p.length(), 21);
  EXPECT_FALSE(p.newPayload(-5));
  uint8_t tiny[10];
  EXPECT_EQ(packetWith(SelvomaPacket::COMMAND, "0123456789ABC").toBytes(tiny, sizeof tiny), 0u);
}

TEST(SelvomaPacketTest, CopiesAreDeepAndTextStaysInsidePayload) {
  SelvomaPacket a = packetWith(SelvomaPacket::COMMAND, "abc");
  SelvomaPacket b(a);
  SelvomaPacket c;
  c.clone(a);
  a.payload()[0] = 'X';
  EXPECT_EQ(b.textPayload(0, 3), "abc");
  EXPECT_EQ(c.textPayload(0, 3), "abc");
  // Text is taken from inside the payload only.
  EXPECT_EQ(b.textPayload(1, 100), "bc");
  EXPECT_EQ(b.textPayload(3, 10), "");
  EXPECT_EQ(b.textPayload(-1, 10), "");
  EXPECT_EQ(SelvomaPacket().textPayload(0, 10), "");
}

TEST(SelvomaPacketTest, FilePartReader) {
  std::string payload("\x03\x00", 2);
  payload += std::string(2000, 'd');
  FilePart part;
  ASSERT_TRUE(packetWith(SelvomaPacket::FILE_PART, payload).getFilePart(&part));
  EXPECT_EQ(part.partNumber, 3);
  EXPECT_EQ(part.data.size(), FILE_PART_MAX_DATA);

  ASSERT_TRUE(packetWith(SelvomaPacket::FILE_PART, std::string("\x01\x02", 2)).getFilePart(&part));
  EXPECT_EQ(part.partNumber, 0x0201);
  EXPECT_TRUE(part.data.empty());
  EXPECT_FALSE(packetWith(SelvomaPacket::FILE_PART, "x").getFilePart(&part));
  EXPECT_FALSE(packetWith(SelvomaPacket::COMMAND, "xyz").getFilePart(&part));
}

TEST(SelvomaPacketTest, TriggerReader) {
  // time 0x01020304, usec 500000, mask 0x05, spare, alarm 4.
  std::string bytes("\x04\x03\x02\x01\x20\xa1\x07\x00\x05\x00\x00\x04", 12);
  SelTrigger t;
  ASSERT_TRUE(packetWith(SelvomaPacket::TRIGGER, bytes).getSelTrigger(&t));
  EXPECT_EQ(t.time, 0x01020304);
  EXPECT_EQ(t.usec, 500000u);
  EXPECT_EQ(t.channelMask, 5);
  EXPECT_EQ(t.alarmType, 4);
  uint8_t back[SEL_TRIGGER_LENGTH];
  t.toBytes(back);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), sizeof back), bytes);

  EXPECT_FALSE(packetWith(SelvomaPacket::TRIGGER, bytes.substr(0, 11)).getSelTrigger(&t));
  EXPECT_EQ(t.alarmType, SelTrigger::ALARM_UNKNOWN);
  EXPECT_FALSE(packetWith(SelvomaPacket::COMMAND, bytes).getSelTrigger(&t));

  EXPECT_STREQ(alarmName(15), "15");
  EXPECT_STREQ(alarmName(16), "UNKNOWN");
  EXPECT_STREQ(alarmName(-1), "UNKNOWN");
}

TEST(SelvomaPacketTest, MiniseedAccessorsOnRealRecord) {
  const std::string record = realRecord();
  const hptime_t start = ms_time2hptime(2016, 265, 13, 48, 0, 8400);
  for (uint8_t type : {SelvomaPacket::MINISEED, SelvomaPacket::FILE_PART}) {
    std::string payload = type == SelvomaPacket::FILE_PART ? std::string("\x01\x00", 2) : "";
    SelvomaPacket p = packetWith(type, payload + record);
    std::string station, network, location, channel;
    ASSERT_TRUE(p.getMiniseedStation(&station, &network, &location));
    EXPECT_EQ(station, "JSC");
    EXPECT_EQ(network, "CO");
    EXPECT_EQ(location, "00");
    EXPECT_TRUE(p.getMiniseedChannel(&channel));
    EXPECT_EQ(channel, "HHZ");
    EXPECT_EQ(p.getMiniseedStartTime(), start);
    EXPECT_EQ(p.getMiniseedEndTime(), start + 990000);
    EXPECT_EQ(p.getMiniseedSampleRate(), 100);
    MSTrace trace;
    p.getMSTrace(&trace);
    EXPECT_STREQ(trace.station, "JSC");
  }
  SelvomaPacket m = packetWith(SelvomaPacket::MINISEED, record);
  EXPECT_EQ(m.getStartSec(), SelvomaPacket::hptimeToSelTime(start));
  EXPECT_EQ(packetWith(SelvomaPacket::COMMAND, record).getStartSec(), 0u);
  std::string channel;
  EXPECT_TRUE(packetWith(SelvomaPacket::COMMAND, record).getMiniseedChannel(&channel));
  EXPECT_EQ(channel, "!!!");
}

TEST(SelvomaPacketTest, MiniseedAccessorsNeverReadPastShortPayload) {
  // The fixed header is 48 bytes: 47 are too few for any field.
  const std::string record = realRecord();
  SelvomaPacket p = packetWith(SelvomaPacket::MINISEED, record.substr(0, 47));
  std::string station, network, location, channel;
  EXPECT_FALSE(p.getMiniseedStation(&station, &network, &location));
  EXPECT_FALSE(p.getMiniseedChannel(&channel));
  EXPECT_EQ(channel, "???");
  EXPECT_EQ(p.getMiniseedStartTime(), 0);
  EXPECT_EQ(p.getMiniseedEndTime(), 0);
  EXPECT_EQ(p.getMiniseedSampleRate(), 0);
  EXPECT_EQ(p.getStartSec(), 0u);
  EXPECT_EQ(p.toShortString(), "MI 00:00.000 ???");

  SelvomaPacket exact = packetWith(SelvomaPacket::MINISEED, record.substr(0, 48));
  EXPECT_TRUE(exact.getMiniseedChannel(&channel));
  // A FILE_PART needs two more bytes for its part number.
  SelvomaPacket part =
      packetWith(SelvomaPacket::FILE_PART, std::string("\x01\x00", 2) + record.substr(0, 47));
  EXPECT_FALSE(part.getMiniseedChannel(&channel));
}

TEST(SelvomaPacketTest, ShortSummaries) {
  EXPECT_EQ(packetWith(SelvomaPacket::MINISEED, realRecord()).toShortString(), "MI 48:00.008 HHZ");
  EXPECT_EQ(packetWith(SelvomaPacket::FILE_PART, std::string("\x03\x00xyz", 5)).toShortString(),
            "FI 3");
  EXPECT_EQ(packetWith(SelvomaPacket::FILE_PART, "x").toShortString(), "FI. TOO SHORT FOR INDEX.");
  EXPECT_EQ(packetWith(SelvomaPacket::REQUEST_FILE, std::string(60, 'n')).toShortString(),
            "RE [" + std::string(49, 'n') + "]");
  EXPECT_EQ(packetWith(SelvomaPacket::COMMAND, std::string("set\tx\x01", 6)).toShortString(),
            "CO [set~x~]");
  EXPECT_EQ(packetWith(SelvomaPacket::COMMAND, std::string(90, 'c')).toShortString(),
            "CO [" + std::string(80, 'c') + "]");
  std::string ssf("\xd2\x04\x00\x00\xef\xbe\xad\xde", 8);
  EXPECT_EQ(packetWith(SelvomaPacket::START_SEND_FILE, ssf + "fw.bin").toShortString(),
            "ST fw.bin  size=1234 crc=deadbeef");
  EXPECT_EQ(packetWith(SelvomaPacket::START_SEND_FILE, ssf).toShortString(),
            "ST [TOO SHORT PAYLOAD]");
  EXPECT_EQ(packetWith(SelvomaPacket::START_SEND_FILE, ssf).textStartSendFilePayload(),
            "ST [TOO SHORT PAYLOAD]");
  EXPECT_EQ(packetWith(SelvomaPacket::ACK, "").toShortString(), "AC");
  EXPECT_EQ(packetWith(SelvomaPacket::IDENT_NL, "").toShortString(), "ID");
  EXPECT_EQ(packetWith(0x82, "abcdefghijklmnop").toShortString(), "UN [abcdefghij]");

  // selTime 0x2d000000 = 2023-12-04 03:12:00 UTC; usec 250000; mask 7; alarm 3.
  std::string trig("\x00\x00\x00\x2d\x90\xd0\x03\x00\x07\x00\x00\x03", 12);
  std::regex expected(
      R"(TR 754974720=2023-12-04 03:12:00\.250000 chns=07 3=HIGH LEVEL TRIGGER lag=[0-9.]+)");
  std::string text = packetWith(SelvomaPacket::TRIGGER, trig).toShortString();
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  EXPECT_EQ(packetWith(SelvomaPacket::TRIGGER, "short").toShortString(),
            "TR ERROR Parsing Trigger packet.");
}

TEST(SelvomaPacketTest, VerbosityLevels) {
  SelvomaPacket ack = packetWith(SelvomaPacket::ACK, "", 7);
  SelvomaPacket cmd = packetWith(SelvomaPacket::COMMAND, "reboot", 12);
  SelvomaPacket ms = packetWith(SelvomaPacket::MINISEED, realRecord(), 1);
  EXPECT_EQ(cmd.toString(-2), "");
  EXPECT_EQ(cmd.toString(3), "");
  EXPECT_EQ(ack.toString(-1), "");
  EXPECT_EQ(ms.toString(-1), "");
  EXPECT_EQ(packetWith(SelvomaPacket::FILE_PART, "ab").toString(-1), "");
  EXPECT_EQ(cmd.toString(-1), "CO [reboot]");
  EXPECT_EQ(cmd.toString(0), "CO [reboot]");
  EXPECT_EQ(ack.toString(1), "ACK     FF ln=  0 seq=007");
  EXPECT_EQ(cmd.toString(2), "COMMAND 8A ln=  6 seq=012 [reboot]");
  std::regex msLong(
      R"(MINSEED 88 ln=512 seq=001 99smp 2016,265,13:48:00\.0084 JSC:CO:HHZ lag=[0-9.]+)");
  EXPECT_TRUE(std::regex_match(ms.toString(1), msLong)) << ms.toString(1);

  std::string flash(
      "\x03\x00\x00\x00\xcd\xab\x00\x00"
      "ABC\x01",
      12);
  EXPECT_EQ(packetWith(SelvomaPacket::FLASH, flash).toString(1),
            "FLASH   8B ln= 12 seq=000 003 x0000abcd [ABC~]");
  EXPECT_EQ(packetWith(SelvomaPacket::FILE_PART, std::string("\x02\x00", 2) + std::string(30, 'q'))
                .toString(1),
            "FILPART 87 ln= 32 seq=000 [2][" + std::string(20, 'q') + "]");
  EXPECT_EQ(packetWith(0x90, std::string(50, 'u')).toString(1),
            "UNKNOWN(0x90) 90 ln= 50 seq=000 [" + std::string(40, 'u') + "]");
  // Without their fixed part, long forms show the payload as text or the short-index note.
  SelvomaPacket shortFlash = packetWith(SelvomaPacket::FLASH, "short");
  EXPECT_EQ(shortFlash.toShortString(), "FL [short]");
  EXPECT_EQ(shortFlash.toString(1), "FLASH   8B ln=  5 seq=000 [short]");
  EXPECT_EQ(packetWith(SelvomaPacket::MINISEED, "short").toString(1),
            "MINSEED 88 ln=  5 seq=000 [short]");
  EXPECT_EQ(packetWith(SelvomaPacket::FILE_PART, "x").toString(1),
            "FILPART 87 ln=  1 seq=000. TOO SHORT FOR INDEX.");
  // Every summary stays within its bound, whatever the payload.
  SelvomaPacket big = packetWith(SelvomaPacket::RESPONSE_FILE_NAME, std::string(5000, 'z'));
  for (int v = -1; v <= 2; ++v) EXPECT_LE(big.toString(v).size(), SELVOMA_TEXT_MAX);
}

TEST(SelvomaPacketTest, SequenceNumbersWrapAndSelTimeEpoch) {
  EXPECT_EQ(SelvomaPacket::incrementSeqNo(255), 0);
  EXPECT_EQ(SelvomaPacket::incrementSeqNo(7), 8);
  EXPECT_EQ(SelvomaPacket::decrementSeqNo(0), 255);
  EXPECT_EQ(SelvomaPacket::decrementSeqNo(8), 7);
  EXPECT_EQ(SelvomaPacket::time_tToSelTime(946684800), 0u);
  EXPECT_EQ(SelvomaPacket::selTimeToTime_t(0), 946684800);
  EXPECT_EQ(SelvomaPacket::hptimeToSelTime(946684801999999LL), 1u);
  SelvomaPacket p;
  EXPECT_NEAR(static_cast<double>(SelvomaPacket::selTimeToTime_t(p.time)),
              static_cast<double>(::time(nullptr)), 5.0);
}
