#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "metadata/JsonFile.h"
#include "support/TestSupport.h"

namespace {

constexpr int CAPACITY = 30000;

// Parses text as a freshly loaded buffer.
int parseText(JsonFile& f, const std::string& text) {
  f.clear();
  EXPECT_EQ(f.append(text.data(), static_cast<int>(text.size())), 1);
  return f.parseFile();
}

std::string value(const JsonFile& f, const std::string& key) {
  std::string v = "<missing>";
  f.getStr(key, v);
  return v;
}

// Lines of text whose last line "b=zz..." ends just before offset
// breakAt, where the caller puts the line break.
std::string linesEndingAt(size_t breakAt) {
  std::string text;
  while (breakAt - text.size() > 110) text += "p=" + std::string(97, 'y') + "\n";
  text += "b=" + std::string(breakAt - text.size() - 2, 'z');
  return text;
}

}  // namespace

// The line rules themselves are in JsonLineTest; set() and parsing apply them.
TEST(JsonFileLineTest, SetTakesGoodLinesAndRefusesBadOnes) {
  JsonFile f(CAPACITY);
  EXPECT_EQ(f.set("\"sitename\"=\"AB12\"\r\n"), 1);
  EXPECT_EQ(value(f, "sitename"), "AB12");
  EXPECT_EQ(f.set("j=" + std::string(118, 'v')), 0);
  EXPECT_EQ(f.set("key=caf\xc3\xa9"), 0);
  EXPECT_EQ(f.set("# comment=1"), 0);
  EXPECT_EQ(f.size(), 1u);
}

TEST(JsonFileParseTest, BufferParsesLineByLineUpToANulByte) {
  struct Case {
    std::string text;
    int parsed;
  } cases[] = {
      {"j=" + std::string(118, 'v') + "\nk=" + std::string(117, 'v') + "\nafter=1\n", 2},
      {"\r\n\n\"a\"=\"1\"\r\n\"b\"=2\r\n", 2},  // leading breaks, CR LF
      {std::string("a=1\n\0b=2\n", 9), 1},
  };
  for (const Case& c : cases) {
    JsonFile f(CAPACITY);
    EXPECT_EQ(parseText(f, c.text), c.parsed) << c.text;
    EXPECT_FALSE(f.hasKey("j"));
  }
}

TEST(JsonFileParseTest, ParsingStopsAfter500LinesOrAtOffset20000) {
  std::string text;
  for (int i = 0; i < 497; ++i) text += i % 2 ? "# comment\n" : "bad line\n";
  text += "line498=1\r\n\r\n\n";  // a run of breaks counts with its line
  text += "line499=1\n";
  text += "line500=1\n";
  text += "line501=1\n";
  JsonFile f(CAPACITY);
  EXPECT_EQ(parseText(f, text), 3);
  EXPECT_TRUE(f.hasKey("line500"));
  EXPECT_FALSE(f.hasKey("line501"));
  // Parsing also ends at the first line break at offset 20000 or later.
  parseText(f, linesEndingAt(19999) + "\nc=1\n");
  EXPECT_TRUE(f.hasKey("b"));
  EXPECT_TRUE(f.hasKey("c"));
  JsonFile g(CAPACITY);
  parseText(g, linesEndingAt(20000) + "\nd=1\n");
  EXPECT_TRUE(g.hasKey("b"));
  EXPECT_FALSE(g.hasKey("d"));
}

TEST(JsonFileParseTest, ReparsingKeepsKeysTheNewTextLacksAndLeavesChangedFlag) {
  JsonFile f(CAPACITY);
  parseText(f, "a=1\nb=2\n");
  EXPECT_FALSE(f.isChanged());
  parseText(f, "b=3\n");
  EXPECT_EQ(value(f, "a"), "1");
  EXPECT_EQ(value(f, "b"), "3");
  EXPECT_FALSE(f.isChanged());
}

TEST(JsonFileBufferTest, AppendHoldsAtMostCapacityMinusOneBytes) {
  JsonFile f(10);
  EXPECT_EQ(f.append("12345", 0), 1);
  EXPECT_EQ(f.append("6789", 4), 1);
  EXPECT_EQ(f.getUsed(), 9);
  EXPECT_EQ(f.append("0", 1), 0);
  EXPECT_EQ(f.getUsed(), 9);
  EXPECT_EQ(f.append(nullptr, 1), 0);
  f.clear();
  EXPECT_EQ(f.getUsed(), 0);
  EXPECT_TRUE(f.isEnd());
  // Pieces appended separately parse as one file.
  JsonFile g(CAPACITY);
  g.append("\"sitena", 0);
  g.append("me\"=\"AB", 0);
  g.append("12\"\nx=", 0);
  g.append("5\n", 0);
  EXPECT_EQ(g.parseFile(), 2);
  EXPECT_EQ(value(g, "sitename"), "AB12");
  EXPECT_EQ(value(g, "x"), "5");
}

TEST(JsonFileValueTest, SetStrReportsDifferenceAndSetsFlagOnlyThen) {
  JsonFile f(CAPACITY);
  EXPECT_EQ(f.setStr("k", ""), 0);  // a missing key compares as ""
  EXPECT_FALSE(f.isChanged());
  EXPECT_TRUE(f.hasKey("k"));
  EXPECT_EQ(f.setStr("k", "v"), 1);
  EXPECT_TRUE(f.isChanged());
  f.setChanged(false);
  EXPECT_EQ(f.setStr("k", "v"), 0);
  EXPECT_FALSE(f.isChanged());
  f.remove("k");
  EXPECT_FALSE(f.hasKey("k"));
  EXPECT_FALSE(f.isChanged());
}

TEST(JsonFileValueTest, ConversionsUseLeadingDigitsOrTheDefaultAndRespectSizes) {
  struct Case {
    std::string line;
    int asInt;  // default -7
  } cases[] = {
      {"v=abc", -7},
      {"v=12abc", 12},
      {"v=12 more text", 12},
      {"v=", -7},
      {"v=99999999999999", 2147483647},
      {"v=" + std::string(31, '0') + "5", 0},  // only the first 31 characters are converted
  };
  for (const Case& c : cases) {
    JsonFile f(CAPACITY);
    f.set(c.line);
    EXPECT_EQ(f.getInt("v", -7), c.asInt) << c.line;
  }
  JsonFile f(CAPACITY);
  f.set("float=2.5e3x");
  f.set("letters=abc");
  EXPECT_EQ(f.getInt("missing", -7), -7);
  EXPECT_FLOAT_EQ(f.getFloat("float", 0), 2500.0f);
  EXPECT_FLOAT_EQ(f.getFloat("letters", 1.5f), 1.5f);
  // getChars copies at most size - 1 characters.
  f.set("k=abcdef");
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(f.getChars("k", buf, 4), 1);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(f.getChars("k", buf, 0), 0);
  EXPECT_EQ(f.getChars("", buf, 4), 0);
  buf[0] = 'q';
  EXPECT_EQ(f.getChars("missing", buf, 4), 0);
  EXPECT_EQ(buf[0], 'q');
  f.setInt("i", -42);
  f.setFloat("f", 3.14159, 2);
  f.setFloat("g", 2.0, 0);
  EXPECT_EQ(value(f, "i"), "-42");
  EXPECT_EQ(value(f, "f"), "3.14");
  EXPECT_EQ(value(f, "g"), "2");
  f.setFloat("big", 1e40, 6);
  EXPECT_LE(value(f, "big").size(), 31u);
}

TEST(JsonFileValueTest, IsNumeric) {
  for (const char* yes : {"12", "-1.5e3"}) EXPECT_TRUE(JsonFile::isNumeric(yes)) << yes;
  for (const char* no : {"", "12a", "12 ", "AB12"}) EXPECT_FALSE(JsonFile::isNumeric(no)) << no;
}

class JsonFileWriteTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(JsonFileWriteTest, WrittenFileHasFormatLineCommentsAndSortedQuotedEntries) {
  JsonFile f(CAPACITY);
  f.setFormatKey("format");
  f.set("zeta=last");
  f.set("format=fmt");
  f.set("alpha=1.5");
  f.set("Beta=x y");
  f.setChanged(false);
  std::string path = dir.file("sub/folder/k.ss");  // folders are created
  ASSERT_EQ(f.write(path), 1);
  EXPECT_FALSE(f.isChanged());
  std::string text = readText(path);
  std::string head = "\"format\"=\"fmt\"\n\n# " + path + "\n# ";
  EXPECT_EQ(text.substr(0, head.size()), head);
  size_t body = text.find("\n\n", head.size());
  ASSERT_NE(body, std::string::npos);
  // Byte-wise key order: upper case first.
  EXPECT_EQ(text.substr(body + 2),
            "\"Beta\"=\"x y\"\n\"alpha\"=1.5\n\"datalogger\"=\"Dremo\"\n\"zeta\"=\"last\"\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(JsonFileWriteTest, HandMadeFileReadsAndWritesBackTheSameEntries) {
  std::string path = dir.file("in.ss");
  writeText(path,
            "\"format\"=\"vorlanmeta\"\n# made by hand\n\nsitename=AB12\n\"cpv\"=838860.8\n"
            "\"unit\"=\"m/s\"\n\"serial\"=\"0012ab\"\n");
  JsonFile f(CAPACITY);
  EXPECT_EQ(f.read(path), 1);
  EXPECT_EQ(f.size(), 5u);
  EXPECT_EQ(value(f, "sitename"), "AB12");
  std::string out = dir.file("out.ss");
  ASSERT_EQ(f.write(out), 1);
  JsonFile g(CAPACITY);
  EXPECT_EQ(g.read(out), 1);
  auto expected = f.entries();
  EXPECT_EQ(g.entries(), expected);
  EXPECT_NE(readText(out).find("\"cpv\"=838860.8\n"), std::string::npos);
}

TEST_F(JsonFileWriteTest, ValueWithLineBreakCannotAddLinesToTheFile) {
  JsonFile f(CAPACITY);
  f.setChars("source", "tcp\nsitename=EVIL");
  std::string path = dir.file("x.ss");
  ASSERT_EQ(f.write(path), 1);
  JsonFile g(CAPACITY);
  g.read(path);
  EXPECT_FALSE(g.hasKey("sitename"));
  EXPECT_EQ(value(g, "source"), "tcp~sitename=EVIL");
}

TEST_F(JsonFileWriteTest, ReadAndWriteFailuresKeepEntries) {
  JsonFile f(CAPACITY);
  f.set("keep=1");
  EXPECT_EQ(f.read(dir.file("missing.ss")), 0);
  EXPECT_EQ(value(f, "keep"), "1");
  std::string big = dir.file("big.ss");
  std::string text = "first=1\n" + std::string(590, '#') + "\nlast=1\n";
  ASSERT_EQ(text.size(), 606u);
  writeText(big, text);
  JsonFile small(606);
  // The second 512-byte chunk does not fit: what fitted is parsed.
  EXPECT_EQ(small.read(big), 0);
  EXPECT_EQ(value(small, "first"), "1");
  EXPECT_FALSE(small.hasKey("last"));
  EXPECT_EQ(small.getUsed(), 512);
  JsonFile enough(607);
  EXPECT_EQ(enough.read(big), 1);
  EXPECT_EQ(value(enough, "last"), "1");
  // A failed write keeps the entries too: a file stands where a folder must be.
  EXPECT_EQ(f.write(big + "/sub/x.ss"), 0);
  EXPECT_EQ(value(f, "keep"), "1");
}

// A file whose line writer starts a second write of the same object and
// looks at the file being written meanwhile.
class ReentrantFile : public JsonFile {
 public:
  explicit ReentrantFile(std::string nested) : JsonFile(CAPACITY), nested_(std::move(nested)) {}
  int writeLine(FILE* stream, const std::string& key, const std::string& value) override {
    if (nestedResult_ < 0) nestedResult_ = write(nested_);
    if (!watched_.empty()) seenDuringWrite_ = readText(watched_);
    return JsonFile::writeLine(stream, key, value);
  }
  using JsonFile::writeLine;
  int nestedResult_ = -1;
  std::string watched_, seenDuringWrite_;

 private:
  std::string nested_;
};

TEST_F(JsonFileWriteTest, WriteDuringWriteReturnsAtOnceAndWritesNothing) {
  ReentrantFile f(dir.file("nested.ss"));
  f.set("k=v");
  // A reader meets the old file whole until the new one replaces it.
  writeText(dir.file("outer.ss"), "old");
  f.watched_ = dir.file("outer.ss");
  ASSERT_EQ(f.write(dir.file("outer.ss")), 1);
  EXPECT_EQ(f.seenDuringWrite_, "old");
  EXPECT_NE(readText(dir.file("outer.ss")).find("\"k\"=\"v\""), std::string::npos);
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"outer.ss"});
  f.watched_.clear();
  EXPECT_EQ(f.nestedResult_, 0);
  EXPECT_FALSE(pathExists(dir.file("nested.ss")));
  // The guard is released: the next write goes through.
  EXPECT_EQ(f.write(dir.file("again.ss")), 1);
}

TEST_F(JsonFileWriteTest, WriteLineOfMissingOrEmptyKeyWritesNothing) {
  JsonFile f(CAPACITY);
  std::string path = dir.file("lines");
  FILE* stream = fopen(path.c_str(), "w");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(f.writeLine(stream, "missing"), 0);
  EXPECT_EQ(f.writeLine(stream, ""), 0);
  EXPECT_EQ(f.writeLine(nullptr, "k", "v"), 0);
  fclose(stream);
  EXPECT_EQ(readText(path), "");
}
