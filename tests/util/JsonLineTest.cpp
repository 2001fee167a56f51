#include <gtest/gtest.h>

#include <string>

#include "util/JsonLine.h"

namespace {
struct Parsed {
  bool ok;
  std::string key, value;
};
Parsed parse(const std::string& line) {
  Parsed p;
  p.ok = parseJsonLine(line, p.key, p.value);
  return p;
}
}  // namespace

TEST(JsonLineTest, QuotesAreOptional) {
  Parsed a = parse("\"sitename\"=\"ABCD\"");
  Parsed b = parse("sitename=ABCD");
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(a.key, "sitename");
  EXPECT_EQ(a.value, "ABCD");
  EXPECT_EQ(b.key, a.key);
  EXPECT_EQ(b.value, a.value);
}

TEST(JsonLineTest, LineOf119IsReadAnd120Rejected) {
  std::string key = "k";
  std::string at = key + "=" + std::string(119 - 2, 'v');
  ASSERT_EQ(at.size(), 119u);
  Parsed p = parse(at);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.value.size(), 117u);
  EXPECT_FALSE(parse(at + "v").ok);
  // The limit counts the raw line, quotes included.
  EXPECT_FALSE(parse("\"" + at).ok);
}

TEST(JsonLineTest, KeyRulesAreEnforced) {
  EXPECT_TRUE(parse(std::string(32, 'k') + "=1").ok);
  EXPECT_FALSE(parse(std::string(33, 'k') + "=1").ok);
  EXPECT_FALSE(parse("a\tb=1").ok);
  EXPECT_FALSE(parse("=value").ok);
  EXPECT_FALSE(parse("\"\"=value").ok);  // nothing left before "=" once quotes go
  EXPECT_FALSE(parse("no equals sign").ok);
  EXPECT_FALSE(parse("#key=value").ok);
  EXPECT_FALSE(parse("").ok);
}

TEST(JsonLineTest, ValueRulesAreEnforced) {
  EXPECT_FALSE(parse("key=caf\xe9").ok);
  EXPECT_FALSE(parse("key=a\x7f").ok);
  EXPECT_FALSE(parse(std::string("key=a\0b", 7)).ok);
  Parsed empty = parse("key=");
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(empty.value, "");
  Parsed more = parse("url=a=b=c");
  ASSERT_TRUE(more.ok);
  EXPECT_EQ(more.key, "url");
  EXPECT_EQ(more.value, "a=b=c");
}

TEST(JsonLineTest, BlanksAreKeptAndLineEndsRemoved) {
  Parsed p = parse("\"gain \" = \" 12\"\r\n");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.key, "gain  ");
  EXPECT_EQ(p.value, "  12");
}
