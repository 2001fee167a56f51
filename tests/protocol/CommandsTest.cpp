#include <gtest/gtest.h>

#include "protocol/Commands.h"

// The row the dispatcher takes for a text (the session tests show each row's
// action): the first keyword in table order anywhere in the text, "trigger "
// only at the start, 999 for a setting reply, -1 for anything else.
TEST(CommandsTest, TextsFindTheirRows) {
  const struct {
    const char* text;
    int row;
  } cases[] = {
      {"odir=/a", 0},  // contains "dir" though it is a reply
      {"please shutdown now", 7},
      {"shutdown dir", 0},
      {"trigger 1 2021-04-05T10:00:00.000000", 5},
      {"rx status: 0", 8},
      {"rx status: 3", 9},
      {"a trigger here", -1},
      {"a trigger x=1", 999},
      {"trigger", -1},  // the keyword holds its trailing blank
      {"sampling_rate=100", 999},
      {"hello", -1},
      {"", -1},
      {"settings changed", -1},  // case matters
  };
  for (const auto& c : cases) EXPECT_EQ(Commands::index(c.text), c.row) << c.text;
}
