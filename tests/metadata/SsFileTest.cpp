#include <gtest/gtest.h>

#include <string>

#include "metadata/SsFile.h"

TEST(SsFileTest, BuildNumberComesFromReplyAndDefaultsToMinusOne) {
  SsFile s;
  s.parse();
  EXPECT_EQ(s.getBuildNo(), -1);
  EXPECT_EQ(s.set("\"build_number\"=\"4559\""), 1);
  EXPECT_EQ(s.getBuildNo(), -1);  // set() alone does not parse
  s.parse();
  EXPECT_EQ(s.getBuildNo(), 4559);
  s.set("build_number=abc");
  s.parse();
  EXPECT_EQ(s.getBuildNo(), -1);
}

TEST(SsFileTest, NilRemovesAndLongLinesAreRefused) {
  SsFile s;
  s.set("sitename=ABCDE");
  EXPECT_TRUE(s.hasKey("sitename"));
  EXPECT_EQ(s.set("sitename=nil"), 1);
  EXPECT_FALSE(s.hasKey("sitename"));
  std::string line80 = "k=" + std::string(78, 'v');
  EXPECT_EQ(s.set(line80), 0);
  EXPECT_FALSE(s.hasKey("k"));
  EXPECT_EQ(s.set(line80.substr(0, 79)), 1);
  EXPECT_TRUE(s.hasKey("k"));
  EXPECT_EQ(s.set("no equals sign"), 0);
}

TEST(SsFileTest, ReadOnlyMarkIsCutFromTextValues) {
  SsFile s;
  s.set("sitename=ABCD (ro)");
  s.set("network_code=AU");
  s.set("location_id=00");
  s.parse();
  EXPECT_EQ(s.getStation(), "ABCD");
  EXPECT_EQ(s.getNetwork(), "AU");
  EXPECT_EQ(s.getLocation(), "00");
  EXPECT_EQ(s.getChars("missing"), "");
}

TEST(SsFileTest, KeyTableHas97KeysAndTellingRows) {
  EXPECT_STREQ(SsFile::SS_KEYS[0], "settings_time");
  EXPECT_STREQ(SsFile::SS_KEYS[3], "build_number");
  EXPECT_STREQ(SsFile::SS_KEYS[84], "v_supply");
  EXPECT_STREQ(SsFile::SS_KEYS[95], "?last_peak 0");
  EXPECT_STREQ(SsFile::SS_KEYS[22], "input_mode");
  EXPECT_STREQ(SsFile::SS_KEYS[42], "input_mode");
  EXPECT_STREQ(SsFile::SS_KEYS[96], "?last_peak 1");
  EXPECT_STREQ(SsFile::SS_KEYS[SS_NUM_KEYS], "");
}
