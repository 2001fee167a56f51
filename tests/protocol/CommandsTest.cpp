#include <gtest/gtest.h>

#include "protocol/Commands.h"

TEST(CommandsTest, TableRowsInOrder) {
  EXPECT_EQ(Commands::index("dir"), 0);
  EXPECT_EQ(Commands::index("station_name ABCDE"), 1);
  EXPECT_EQ(Commands::index("level trigger info 1 2 3 4"), 2);
  EXPECT_EQ(Commands::index("flash_write ok"), 3);
  EXPECT_EQ(Commands::index("Settings changed"), 4);
  EXPECT_EQ(Commands::index("trigger 1 2021-04-05T10:00:00.000000"), 5);
  EXPECT_EQ(Commands::index("vftp_get /a,/b"), 6);
  EXPECT_EQ(Commands::index("shutdown"), 7);
  EXPECT_EQ(Commands::index("rx status: 0"), 8);
  EXPECT_EQ(Commands::index("rx status: 3"), 9);
}

TEST(CommandsTest, FirstKeywordInTableOrderWinsAnywhereInText) {
  EXPECT_EQ(Commands::index("odir=/a"), 0);  // contains "dir" though it is a reply
  EXPECT_EQ(Commands::index("please shutdown now"), 7);
  EXPECT_EQ(Commands::index("shutdown dir"), 0);
}

TEST(CommandsTest, TriggerCountsOnlyAtTheStart) {
  EXPECT_EQ(Commands::index("a trigger here"), -1);
  EXPECT_EQ(Commands::index("a trigger x=1"), 999);
  EXPECT_EQ(Commands::index("trigger"), -1);  // the keyword holds its trailing blank
}

TEST(CommandsTest, SettingReplyAndUnrecognised) {
  EXPECT_EQ(Commands::index("sampling_rate=100"), 999);
  EXPECT_EQ(Commands::index("hello"), -1);
  EXPECT_EQ(Commands::index(""), -1);
  EXPECT_EQ(Commands::index("settings changed"), -1);  // case matters
}
