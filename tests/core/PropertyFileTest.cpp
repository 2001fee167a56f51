#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/PropertyFile.h"
#include "support/TestSupport.h"

namespace {

class PropertyFileTest : public ::testing::Test {
 protected:
  // Writes text (hand-made bytes) to a file and reads it into props_.
  void load(const std::string& text) {
    path_ = dir_.file("test.props");
    writeText(path_, text);
    ASSERT_TRUE(props_.read(path_));
  }
  std::string value(const std::string& key) { return props_.get(key, ""); }

  TempDir dir_;
  std::string path_;
  PropertyFile props_;
};

struct ParseCase {
  const char* rule;
  std::string text;
  std::map<std::string, std::string> expected;  // the whole map
};

TEST_F(PropertyFileTest, LinesParseIntoTheExpectedMap) {
  const ParseCase cases[] = {
      {"first occurrence wins", "port=58772\nport=1234\n", {{"port", "58772"}}},
      // inner quotes stay, trailing ones go
      {"blanks and quotes around key and value",
       "   \"ring\" = \"0\"   \n\t\"a\"=\"say \"hi\"\"\r\n",
       {{"ring", "0"}, {"a", "say \"hi"}}},
      // the section text is not trimmed
      {"section prefixes later keys",
       "top=1\n[alpha]\na=1\n[ beta ]\nb=2\n",
       {{"top", "1"}, {"alpha.a", "1"}, {" beta .b", "2"}}},
      // "=" wins over the blank; the rest is the value
      {"blank separates without =, one word is ignored",
       "verbose 2\nlonely\nurl=a b=c\n",
       {{"verbose", "2"}, {"url", "a b=c"}}},
      {"comments and empty keys", "# port=1\n* port=2\n  # x=3\n=5\nempty=\n\n", {{"empty", ""}}},
      // "plain" has no blank: nothing to continue; group first, then the section
      {"indented key continues the group",
       "group alpha=1\n beta=2\nplain=3\n gamma=4\n[s]\ng a=1\n b=2\n",
       {{"group alpha", "1"},
        {"group beta", "2"},
        {"plain", "3"},
        {"gamma", "4"},
        {"s.g a", "1"},
        {"s.g b", "2"}}},
      // the first piece is "k=" plus 997 characters; "q=tail" is a line of its own
      {"long line read in pieces of 999",
       "k=" + std::string(997, 'v') + "q=tail\nafter=1\n",
       {{"k", std::string(997, 'v')}, {"q", "tail"}, {"after", "1"}}},
  };
  for (const ParseCase& c : cases) {
    load(c.text);
    std::map<std::string, std::string> got;
    for (const std::string& key : props_.getKeys()) got[key] = value(key);
    EXPECT_EQ(got, c.expected) << c.rule;
  }
}

TEST_F(PropertyFileTest, MissingFileGivesEmptyMapAndReadReplacesEverything) {
  EXPECT_FALSE(props_.read(dir_.file("none.props")));
  EXPECT_EQ(props_.size(), 0u);
  EXPECT_EQ(props_.getModTime(), 0);
  EXPECT_EQ(props_.getPropFilePath(), dir_.file("none.props"));
  // A read replaces everything, recorded defaults too.
  load("a=1\n");
  props_.get("recorded", "x");
  writeText(path_, "b=2\n");
  ASSERT_TRUE(props_.reread());
  EXPECT_FALSE(props_.hasKey("a"));
  EXPECT_FALSE(props_.hasKey("recorded"));
  EXPECT_EQ(value("b"), "2");
}

TEST_F(PropertyFileTest, ChangedFollowsTheModificationTime) {
  load("a=1\n");
  time_t t = props_.getModTime();
  EXPECT_NE(t, 0);
  EXPECT_EQ(props_.getReadModTime(), t);
  EXPECT_FALSE(props_.changed(t));
  struct timespec times[2] = {{t + 5, 0}, {t + 5, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  EXPECT_TRUE(props_.changed(t));
  EXPECT_EQ(props_.getModTime(), t + 5);
}

TEST_F(PropertyFileTest, LookupsRecordNonEmptyDefaultsAndGetIntParsesLikeStreamExtraction) {
  load("");
  EXPECT_EQ(props_.get("a", ""), "");
  EXPECT_FALSE(props_.hasKey("a"));
  EXPECT_EQ(props_.get("b", "dflt"), "dflt");
  EXPECT_EQ(value("b"), "dflt");
  EXPECT_EQ(props_.getInt("five", 5), 5);
  EXPECT_EQ(value("five"), "5");
  EXPECT_EQ(props_.getLong("minus", -3), -3);
  EXPECT_EQ(value("minus"), "-3");
  load("abc=abc\nmixed=12abc\nspaced=  -7\nbig=99999999999\nsmall=-99999999999\nempty=\n");
  EXPECT_EQ(props_.getInt("abc", 9), 0);
  EXPECT_EQ(props_.getInt("mixed", 9), 12);
  EXPECT_EQ(props_.getInt("spaced", 9), -7);
  EXPECT_EQ(props_.getInt("big", 9), INT_MAX);
  EXPECT_EQ(props_.getInt("small", 9), INT_MIN);
  EXPECT_EQ(props_.getLong("big", 9), 99999999999L);
  // An empty value counts as missing and is replaced by the default.
  EXPECT_EQ(props_.getInt("empty", 4), 4);
  EXPECT_EQ(value("empty"), "4");
}

TEST_F(PropertyFileTest, GetHexWithAndWithoutPrefix) {
  load("a=0x1A\nb=1A\nc=0X1a\nd=0x\ne=zz\nf=1Azz\ng=123456789ab\n");
  EXPECT_EQ(props_.getHex("a", 7), 26);
  EXPECT_EQ(props_.getHex("b", 7), 26);
  EXPECT_EQ(props_.getHex("c", 7), 26);
  EXPECT_EQ(props_.getHex("d", 7), 7);  // nothing left after the prefix
  EXPECT_EQ(props_.getHex("e", 7), 0);
  EXPECT_EQ(props_.getHex("f", 7), 26);
  EXPECT_EQ(props_.getHex("g", 7), -1);  // beyond 32 bits: 0xffffffff
  // A missing key records its default as hex text.
  EXPECT_EQ(props_.getHex("id", 0x3000000), 0x3000000);
  EXPECT_EQ(value("id"), "3000000");
  EXPECT_EQ(props_.getHex("neg", -1), -1);  // recorded as ffffffff and read back
  EXPECT_EQ(value("neg"), "ffffffff");
}

TEST_F(PropertyFileTest, GetPathTurnsBackslashesAndCuts) {
  load("p=C:\\data\\archive\nlong=" + std::string(250, 'x') + "\n");
  EXPECT_EQ(props_.getPath("p", ""), "C:/data/archive");
  EXPECT_EQ(props_.getPath("long", "").size(), PROP_PATH_MAX);
  EXPECT_EQ(props_.getPath("missing", "a\\b"), "a/b");
  // An extension is appended only when absent.
  load("a=dir/file\nb=dir/file.ms\nc=x.ms/file\n");
  EXPECT_EQ(props_.getPathWithExtension("a", ".ms"), "dir/file.ms");
  EXPECT_EQ(props_.getPathWithExtension("b", ".ms"), "dir/file.ms");
  EXPECT_EQ(props_.getPathWithExtension("c", ".ms"), "x.ms/file");  // contained anywhere
  EXPECT_EQ(props_.getPathWithExtension("missing", ".ms"), "");
  EXPECT_FALSE(props_.hasKey("missing"));
  EXPECT_EQ(props_.getPathWithExtension("a", ""), "dir/file");
}

TEST_F(PropertyFileTest, WriteHasHeaderSortedEntriesAndEndLine) {
  load("zeta=1\nAlpha=2\nalpha=4\n[s]\nb=3\n");
  props_.getInt("middle", 7);
  std::string out = dir_.file("sub/dir/out.props");
  ASSERT_TRUE(props_.write(out));  // folders are created
  std::string text = readText(out);
  std::string expectedHead = "# " + out + "\n# ";
  ASSERT_EQ(text.compare(0, expectedHead.size(), expectedHead), 0) << text;
  size_t stampEnd = text.find('\n', expectedHead.size());  // then a time stamp
  EXPECT_EQ(text.substr(stampEnd), "\n\nAlpha=2\nalpha=4\nmiddle=7\ns.b=3\nzeta=1\n\n# end.\n");
}

TEST_F(PropertyFileTest, WriteReplacesTheStoredFileWithOneThatReadsBackTheSame) {
  load("\"q\" = \"v w\"\n[sec]\nk=1\ng a=2\n b=3\n");
  props_.get("added", "2");
  ASSERT_TRUE(props_.write());  // to the stored path, replaced whole
  EXPECT_FALSE(pathExists(path_ + ".tmp"));
  PropertyFile again;
  ASSERT_TRUE(again.read(path_));
  EXPECT_EQ(again.getKeys(), props_.getKeys());
  for (const std::string& key : props_.getKeys()) EXPECT_EQ(again.get(key, ""), value(key)) << key;
  // A failed write returns false and leaves nothing behind.
  std::string blocked = dir_.file("blocked");
  writeText(blocked, "a plain file where a folder would be needed");
  EXPECT_FALSE(props_.write(blocked + "/x.props"));
  EXPECT_FALSE(pathExists(blocked + "/x.props"));
  PropertyFile empty;
  EXPECT_FALSE(empty.write());  // no path stored
}

struct QuoteCase {
  const char* line;
  size_t size;
  const char* expected;  // "old": refused, destination untouched
};

TEST(PutQuotesOnKeyTest, QuotesTheKeyOnlyAndRefusesLinesWithoutKey) {
  const QuoteCase cases[] = {
      {"gain=2", 100, "\"gain\"=2"},
      {"\"gain\"=2", 100, "\"gain\"=2"},
      {"\"gain=2", 100, "\"gain\"=2"},
      {"gain==2", 100, "\"gain\"=2"},  // a run of "=" is one separator
      {"gain=", 100, "\"gain\"="},
      {"gain", 100, "\"gain\"="},
      {"url=a=b", 100, "\"url\"=a=b"},    // the value keeps its own "="
      {"gain=12345", 10, "\"gain\"=12"},  // at most size - 1 written
      {"", 100, "old"},
      {"===", 100, "old"},
      {"a=1", 0, "old"},
  };
  for (const QuoteCase& c : cases) {
    std::string out = "old";
    EXPECT_EQ(PropertyFile::putQuotesOnKey(c.line, out, c.size), std::string(c.expected) != "old")
        << c.line;
    EXPECT_EQ(out, c.expected) << c.line;
  }
}

}  // namespace
