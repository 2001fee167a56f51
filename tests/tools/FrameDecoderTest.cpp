// The instrument-side frame decoder on hand-made bytes: frames from the hub's
// id (which the hub's own reader would refuse as a sender), garbage, split
// frames, bad check words and oversized lengths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameDecoder.h"
#include "support/PacketText.h"

namespace {

// A frame built byte by byte, independent of SelvomaPacket's writer.
std::vector<uint8_t> handFrame(uint8_t type, uint32_t source, uint8_t seq,
                               const std::string& payload) {
  std::vector<uint8_t> f = {0x55, type, static_cast<uint8_t>(payload.size()),
                            static_cast<uint8_t>(payload.size() >> 8)};
  for (uint32_t v : {source, 0x01000001u, 0u}) {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  f.push_back(seq);
  f.insert(f.end(), payload.begin(), payload.end());
  uint32_t x = 0;
  for (uint8_t b : f) {
    x ^= b;
    x = (x >> 8) | (x << 24);
  }
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(x >> (8 * i)));
  return f;
}

}  // namespace

TEST(FrameDecoderTest, HubIdGarbageAndSplitFramesDecode) {
  FrameDecoder d;
  std::vector<uint8_t> bytes = {0x00, 0x11, 0x22};
  std::vector<uint8_t> a = handFrame(SelvomaPacket::COMMAND, 1, 7, "? \"sitename\"");
  std::vector<uint8_t> b = handFrame(SelvomaPacket::ACK, 1, 8, "");
  bytes.insert(bytes.end(), a.begin(), a.end());
  bytes.insert(bytes.end(), b.begin(), b.end());
  SelvomaPacket p;
  d.feed(bytes.data(), 10);  // the header is not complete yet
  EXPECT_EQ(d.next(&p), FrameDecoder::NEED_MORE);
  d.feed(bytes.data() + 10, bytes.size() - 10);
  ASSERT_EQ(d.next(&p), FrameDecoder::FRAME);
  EXPECT_EQ(p.type, SelvomaPacket::COMMAND);
  EXPECT_EQ(p.sourceId, 1u);
  EXPECT_EQ(p.seqNo, 7);
  EXPECT_EQ(payloadText(p), "? \"sitename\"");
  ASSERT_EQ(d.next(&p), FrameDecoder::FRAME);
  EXPECT_EQ(p.type, SelvomaPacket::ACK);
  EXPECT_EQ(p.payloadLen(), 0);
  EXPECT_EQ(d.next(&p), FrameDecoder::NEED_MORE);
  EXPECT_EQ(d.skippedBytes(), 3u);
}

TEST(FrameDecoderTest, BadCheckWordIsReportedAndNextFrameStillDecodes) {
  std::vector<uint8_t> bytes = handFrame(SelvomaPacket::COMMAND, 1, 3, "stream 4");
  bytes[SELVOMA_HEADER_LENGTH + 2] ^= 0x01;  // one payload bit
  std::vector<uint8_t> good = handFrame(SelvomaPacket::NACK, 1, 9, "");
  bytes.insert(bytes.end(), good.begin(), good.end());
  FrameDecoder d;
  d.feed(bytes.data(), bytes.size());
  SelvomaPacket p;
  ASSERT_EQ(d.next(&p), FrameDecoder::BAD_CHECK);
  EXPECT_EQ(p.seqNo, 3);
  ASSERT_EQ(d.next(&p), FrameDecoder::FRAME);
  EXPECT_EQ(p.type, SelvomaPacket::NACK);
  EXPECT_EQ(p.seqNo, 9);
}

TEST(FrameDecoderTest, PayloadAtLinkLimitDecodesAndOneMoreIsSkipped) {
  FrameDecoder d;
  std::vector<uint8_t> atLimit =
      handFrame(SelvomaPacket::FILE_PART, 1, 1, std::string(LINK_PAYLOAD_MAX, 'x'));
  d.feed(atLimit.data(), atLimit.size());
  SelvomaPacket p;
  ASSERT_EQ(d.next(&p), FrameDecoder::FRAME);
  EXPECT_EQ(p.payloadLen(), static_cast<int>(LINK_PAYLOAD_MAX));

  std::vector<uint8_t> tooLong =
      handFrame(SelvomaPacket::FILE_PART, 1, 2, std::string(LINK_PAYLOAD_MAX + 1, 'x'));
  std::vector<uint8_t> after = handFrame(SelvomaPacket::ACK, 1, 5, "");
  tooLong.insert(tooLong.end(), after.begin(), after.end());
  d.feed(tooLong.data(), tooLong.size());
  ASSERT_EQ(d.next(&p), FrameDecoder::FRAME);  // the ACK behind the oversized header
  EXPECT_EQ(p.type, SelvomaPacket::ACK);
  EXPECT_EQ(p.seqNo, 5);
}
