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

// Quotes are optional and never part of key or value; a line of 119
// characters (quotes counted) is read and 120 rejected; keys of 1..32
// printable characters, values of printable bytes; blanks and further "=" kept.
TEST(JsonLineTest, LinesParseToKeyAndValueOrAreRejected) {
  const std::string v117(117, 'v');
  struct Case {
    std::string line;
    bool ok;
    std::string key, value;
  } cases[] = {
      {"\"sitename\"=\"ABCD\"", true, "sitename", "ABCD"},
      {"sitename=ABCD", true, "sitename", "ABCD"},
      {"na\"me=va\"lue", true, "name", "value"},  // a stray quote inside is dropped too
      {"k=" + v117, true, "k", v117},
      {"k=" + v117 + "v", false, "", ""},
      {"\"k=" + v117, false, "", ""},
      {std::string(32, 'k') + "=1", true, std::string(32, 'k'), "1"},
      {std::string(33, 'k') + "=1", false, "", ""},
      {"a\tb=1", false, "", ""},
      {"=value", false, "", ""},
      {"\"\"=value", false, "", ""},  // nothing left before "=" once quotes go
      {"no equals sign", false, "", ""},
      {"#key=value", false, "", ""},
      {"", false, "", ""},
      {"key=caf\xe9", false, "", ""},
      {"key=a\x7f", false, "", ""},
      {"key=a\x01", false, "", ""},
      {std::string("key=a\0b", 7), false, "", ""},
      {"key=", true, "key", ""},
      {"url=a=b=c", true, "url", "a=b=c"},
      {"\"gain \" = \" 12\"\r\n", true, "gain  ", "  12"},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.line);
    EXPECT_EQ(p.ok, c.ok) << c.line;
    if (p.ok && c.ok) {
      EXPECT_EQ(p.key, c.key) << c.line;
      EXPECT_EQ(p.value, c.value) << c.line;
    }
  }
}
