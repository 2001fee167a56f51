#include <gtest/gtest.h>

#include <string>

#include "protocol/SelRequest.h"
#include "protocol/SelvomaPacket.h"

TEST(SelRequestTest, ParseSplitsTypeAndValueAfterOneSeparator) {
  SelRequest r;
  ASSERT_TRUE(r.parse("8A sampling 1"));
  EXPECT_EQ(r.getKey(), "8A");
  EXPECT_EQ(r.getValue(), "sampling 1");
  EXPECT_EQ(r.getIntKey(), 0x8A);
  EXPECT_FALSE(r.isRequest());
  // Any one character separates; it is not part of the value.
  ASSERT_TRUE(r.parse("86\t/data/x"));
  EXPECT_EQ(r.getValue(), "/data/x");
}

TEST(SelRequestTest, ShortLinesGiveNoValueOrAreRefused) {
  SelRequest r(0x86, "keep");
  EXPECT_FALSE(r.parse("8"));
  EXPECT_EQ(r.getValue(), "keep");  // a refused line changes nothing
  ASSERT_TRUE(r.parse("8A"));
  EXPECT_TRUE(r.isRequest());
  ASSERT_TRUE(r.parse("8A "));
  EXPECT_TRUE(r.isRequest());
  ASSERT_TRUE(r.parse("8A x"));
  EXPECT_EQ(r.getValue(), "x");
}

TEST(SelRequestTest, ValueIsCutAt299Characters) {
  SelRequest r;
  ASSERT_TRUE(r.parse("8A " + std::string(400, 'v')));
  EXPECT_EQ(r.getValue().size(), SEL_REQUEST_VALUE_MAX);
  SelRequest c(0x8A, std::string(300, 'w'));
  EXPECT_EQ(c.getValue().size(), SEL_REQUEST_VALUE_MAX);
}

TEST(SelRequestTest, ConstructorFormsUpperCaseHexKey) {
  EXPECT_EQ(SelRequest(138, "abc").getKey(), "8A");
  EXPECT_EQ(SelRequest(0xFB, "").getKey(), "FB");
  EXPECT_EQ(SelRequest(7, "").getKey(), "07");
}

TEST(SelRequestTest, ToStringOmitsTheBlankWithoutValue) {
  SelRequest r;
  r.parse("8A sampling 1");
  EXPECT_EQ(r.toString(), "8A sampling 1");
  r.parse("FB");
  EXPECT_EQ(r.toString(), "FB");
}

TEST(SelRequestTest, TypedValuesUseTheirBases) {
  SelRequest r;
  r.parse("8A 0x10");
  EXPECT_EQ(r.getUint32(), 16u);
  r.parse("8A 010");
  EXPECT_EQ(r.getUint32(), 8u);  // a leading 0 is octal
  EXPECT_EQ(r.getSint32(), 10);  // but the signed reading is decimal
  r.parse("8A 300");
  EXPECT_EQ(r.getUint8(), 44);
  r.setSint32(-5);
  EXPECT_EQ(r.getValue(), "-5");
  r.setUint32(4000000000u);
  EXPECT_EQ(r.getUint32(), 4000000000u);
  r.setFloat(1.5f);
  EXPECT_EQ(r.getValue(), "1.500000");
  EXPECT_FLOAT_EQ(r.getFloat(), 1.5f);
}

TEST(SelRequestTest, FillPacketReplacesTypeAndPayload) {
  SelvomaPacket p;
  p.make(SelvomaPacket::MINISEED, 1, 2, 3, std::string(100, 'x'));
  SelRequest r;
  r.parse("8A stream 4");
  r.fillPacket(&p);
  EXPECT_EQ(p.type, SelvomaPacket::COMMAND);
  ASSERT_EQ(p.payloadLen(), 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.payload()), 8), "stream 4");

  r.parse("8A");
  r.fillPacket(&p);
  EXPECT_EQ(p.type, SelvomaPacket::COMMAND);
  EXPECT_EQ(p.payloadLen(), 0);
  EXPECT_EQ(p.payload(), nullptr);
}

TEST(SelRequestTest, NonHexKeyGivesTypeZero) {
  SelRequest r;
  r.parse("zz text");
  EXPECT_EQ(r.getIntKey(), 0);
}
