#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/TimeUtil.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedBaseDir base_{dir_.path()};
};

TEST_F(LogTest, FileNamedByUtcDateAndFirst29CharactersOfName) {
  std::string name40(40, 'n');
  for (int i = 0; i < 40; ++i) name40[i] = static_cast<char>('a' + i % 26);
  Log log(name40.c_str());
  log.flush("hello");
  struct tm tm;
  nowtm(&tm);
  char date[16];
  strftime(date, sizeof date, "%Y%m%d", &tm);
  std::string expected = dir_.path() + "log/log." + date + "." + name40.substr(0, 29) + ".txt";
  EXPECT_EQ(log.getPath(), expected);
  EXPECT_TRUE(pathExists(expected)) << expected;
}

TEST_F(LogTest, LineFormsByVerbosity) {
  Log normal("vh");
  normal.flush("some text");
  std::string text = readText(normal.getPath());
  EXPECT_TRUE(std::regex_match(text, std::regex("[0-9]{6}\\.[0-9]{3} some text\n"))) << text;
  Log verbose("vv");  // with the date and the hexadecimal id
  verbose.setVerbose(1);
  verbose.setId(0xabc);
  verbose.flush("detail");
  text = readText(verbose.getPath());
  EXPECT_TRUE(std::regex_match(text, std::regex("[0-9]{8} [0-9]{6}\\.[0-9]{3} 00000abc detail\n")))
      << text;
}

TEST_F(LogTest, VerbosityZeroCachesUntilFlushOrTheEnd) {
  Log log("cache");
  for (int i = 0; i < 10; ++i) log.addf("line %d", i);
  EXPECT_FALSE(pathExists(log.getPath()));
  log.flush();
  std::string text = readText(log.getPath());
  EXPECT_NE(text.find("line 0\n"), std::string::npos);
  EXPECT_NE(text.find("line 9\n"), std::string::npos);
  std::string path;
  {
    Log ending("dtor");
    ending.add("cached");
    path = ending.getPath();
    EXPECT_FALSE(pathExists(path));
  }
  EXPECT_NE(readText(path).find("cached"), std::string::npos);
}

TEST_F(LogTest, CacheIsWrittenWhenItWouldOverflow) {
  Log log("batch");
  std::string text(100, 'x');
  int added = 0;
  while (!pathExists(log.getPath()) && added < 100) {
    log.add(text.c_str());
    ++added;
  }
  // Each line is 112 characters: 36 fit into 4096 with room to spare, the 37th forces the write.
  EXPECT_EQ(added, 37);
  std::string written = readText(log.getPath());
  EXPECT_EQ(written.size(), 37u * 112u);
}

TEST_F(LogTest, VerboseOnlyLinesNeedVerbosityOneAndTwoWritesAtOnce) {
  Log log("vo");
  log.add("hidden", true);
  log.addVerbose("hidden too");
  log.addfVerbose("hidden %d", 3);
  log.flush();
  EXPECT_FALSE(pathExists(log.getPath()));
  log.setVerbose(1);
  log.add("shown", true);
  log.flush();
  EXPECT_NE(readText(log.getPath()).find("shown"), std::string::npos);
  log.setVerbose(2);  // every line is written at once
  log.add("at once");
  EXPECT_NE(readText(log.getPath()).find("at once"), std::string::npos);
}

TEST_F(LogTest, LinesAreCutTo599Characters) {
  Log log("long");
  std::string text(1000, 'y');
  log.flush(text.c_str());
  std::string written = readText(log.getPath());
  EXPECT_EQ(written.size(), 599u);
}

TEST_F(LogTest, UnwritableFolderDropsLineAndKeepsCache) {
  // BASE_DIR points below a regular file, so the log folder cannot be made.
  writeText(dir_.file("blocker"), "x");
  ScopedBaseDir bad(dir_.file("blocker") + "/");
  Log log("nowhere");
  log.add("kept in cache");
  log.flush("dropped");  // fails: cache stays
  {
    ScopedBaseDir good(dir_.path());
    log.flush();
    std::string text = readText(log.getPath());
    EXPECT_NE(text.find("kept in cache"), std::string::npos);
    EXPECT_EQ(text.find("dropped"), std::string::npos);
  }
}

TEST_F(LogTest, ConcurrentWritersKeepLinesWhole) {
  Log log("mt");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 500; ++i) log.addf("thread %d line %d", t, i);
    });
  }
  for (auto& th : threads) th.join();
  log.flush();
  std::string text = readText(log.getPath());
  std::regex lineRe("[0-9]{6}\\.[0-9]{3} thread [0-3] line [0-9]+");
  size_t lines = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(text.substr(start, end - start), lineRe));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 2000u);
}

// Error lines are counted by minute; the hour is the current minute and the
// 59 before it, and a minute's bucket is reused an hour later.
TEST(LogErrorTallyTest, CountsErrorWordsOfTheLastHourOnly) {
  EXPECT_TRUE(isLogErrorText("socket.accept() FAILED. Port 1"));
  EXPECT_TRUE(isLogErrorText("Could not create Server Thread"));
  EXPECT_FALSE(isLogErrorText("LOOP START"));
  const time_t base = 2000000000 - 2000000000 % 60;  // far from the real clock's minutes
  const int before = logErrorsLastHour(base);
  noteLogError(base);
  noteLogError(base + 59);
  noteLogError(base + 60 * 59);
  EXPECT_EQ(logErrorsLastHour(base + 60 * 59), before + 3);
  EXPECT_EQ(logErrorsLastHour(base + 60 * 60), before + 1);  // the first minute left the hour
  noteLogError(base + 60 * 60);                              // reuses that minute's bucket
  EXPECT_EQ(logErrorsLastHour(base + 60 * 60), before + 2);
}

}  // namespace
