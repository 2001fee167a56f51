#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {
// Runs the test with the working folder set to a fresh temporary folder, so
// that relative paths of mkdirs can be checked.
class FileUtilTest : public ::testing::Test {
 protected:
  TempDir tmp_;
  ScopedCwd cwd_{tmp_.path()};
};

std::vector<std::string> readLines(FILE* f) {
  std::vector<std::string> lines;
  std::string line;
  while (getLine(f, line)) lines.push_back(line);
  return lines;
}
}  // namespace

TEST_F(FileUtilTest, MkdirsForFileCreatesOnlyTheFolders) {
  EXPECT_EQ(mkdirs("data/day/c.txt", false), 0);
  EXPECT_TRUE(isDir("data"));
  EXPECT_TRUE(isDir("data/day"));
  EXPECT_FALSE(pathExists("data/day/c.txt"));
  EXPECT_EQ(mkdirs("data/day/c.txt", true), 0);
  EXPECT_TRUE(isDir("data/day/c.txt"));
  EXPECT_NE(mkdirs("data/day/c.txt", true), 0);         // the last create reports "exists"
  EXPECT_EQ(mkdirs(tmp_.path() + "x1/y2\\", true), 0);  // absolute, trailing backslash
  EXPECT_TRUE(isDir(tmp_.path() + "x1/y2"));
  EXPECT_EQ(mkdirsf("%sfmt/%d/f.txt", tmp_.path().c_str(), 7), 0);
  EXPECT_TRUE(isDir(tmp_.path() + "fmt/7"));
}

TEST_F(FileUtilTest, MkdirsNeverCreatesPrefixOfTwoCharacters) {
  EXPECT_NE(mkdirs("a/day/c.txt", false), 0);
  EXPECT_FALSE(pathExists("a"));
  EXPECT_NE(mkdirs("ab/day/", true), 0);
  EXPECT_FALSE(pathExists("ab"));
  EXPECT_EQ(mkdirs("abc/day/", true), 0);  // three characters are created
  EXPECT_TRUE(isDir("abc/day"));
  EXPECT_NE(mkdirs("plainname", false), 0);  // a bare file name has no folder
  EXPECT_FALSE(pathExists("plainname"));
}

TEST(TextTest, MakeLinuxPathUsesSingleForwardSlashesAndTrimTailCutsShortTexts) {
  std::string p = "C:\\data\\\\day//x.ms";
  makeLinuxPath(p);
  EXPECT_EQ(p, "C:/data/day/x.ms");
  p = "a///b/:c";
  makeLinuxPath(p);
  EXPECT_EQ(p, "a/b:c");
  // trimTail cuts only texts of at most 20 characters.
  std::string t = "ABC12 \r\n~{";
  trimTail(t);
  EXPECT_EQ(t, "ABC12");
  t = "xyz";
  trimTail(t);
  EXPECT_EQ(t, "xyz");
  std::string longText = std::string(21, 'a') + "\n";
  t = longText;
  trimTail(t);
  EXPECT_EQ(t, longText);  // longer than 20: left alone
}

TEST(GetLineTest, StreamStopsAtControlBytesAndSkipsLineBreaks) {
  const char data[] =
      "\r\n\r\nab\tcd\x01\x7f\xff"
      "ef\nlast";
  FILE* f = fmemopen(const_cast<char*>(data), sizeof data - 1, "rb");
  ASSERT_NE(f, nullptr);
  std::vector<std::string> lines = readLines(f);
  fclose(f);
  EXPECT_EQ(lines, (std::vector<std::string>{"ab", "cd", "", "", "ef", "last"}));
  // At most GETLINE_MAX bytes are examined per line.
  std::string longData(1500, 'a');
  f = fmemopen(&longData[0], longData.size(), "rb");
  ASSERT_NE(f, nullptr);
  lines = readLines(f);
  fclose(f);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), GETLINE_MAX);
  EXPECT_EQ(lines[1].size(), 500u);
}

TEST(GetLineTest, BufferFormAdvancesAndEndsWithMinusOne) {
  const char data[] =
      "\nab\x02"
      "cd\r\n";
  long length = sizeof data - 1;
  long pos = 0;
  std::string line;
  ASSERT_TRUE(getLine(data, length, pos, line));
  EXPECT_EQ(line, "ab");
  EXPECT_EQ(pos, 4);
  ASSERT_TRUE(getLine(data, length, pos, line));
  EXPECT_EQ(line, "cd");
  EXPECT_EQ(pos, 7);
  EXPECT_FALSE(getLine(data, length, pos, line));  // only line breaks left
  EXPECT_EQ(pos, -1);
  EXPECT_FALSE(getLine(data, length, pos, line));
  EXPECT_EQ(pos, -1);

  pos = 0;
  ASSERT_TRUE(getLine("tail", 4, pos, line));
  EXPECT_EQ(line, "tail");
  EXPECT_EQ(pos, -1);
}

TEST_F(FileUtilTest, CopyFileFailuresAndCopyOntoItself) {
  const std::string text(4096, 'x');
  writeText(tmp_.file("src.txt"), text);
  EXPECT_FALSE(copyFile(tmp_.file("src.txt"), tmp_.file("missing/dst.txt")));
  EXPECT_FALSE(copyFile(tmp_.file("nosuch.txt"), tmp_.file("dst.txt")));
  EXPECT_FALSE(pathExists(tmp_.file("dst.txt")));
  EXPECT_TRUE(copyFile(tmp_.file("src.txt"), tmp_.file("./src.txt")));
  EXPECT_EQ(readText(tmp_.file("src.txt")), text);
  if (!pathExists("/dev/full")) return;
  EXPECT_FALSE(copyFile(tmp_.file("src.txt"), "/dev/full"));  // a failed write
  EXPECT_TRUE(pathExists("/dev/full"));                       // a device is never removed
}

TEST_F(FileUtilTest, CopyFileCopiesMoreThanFifteenMegabytes) {
  // 16 MiB + 3 bytes, sparse except for marks near both ends.
  const off_t size = 16 * 1024 * 1024 + 3;
  std::string src = tmp_.file("big.bin");
  int fd = open(src.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  ASSERT_EQ(pwrite(fd, "HEAD", 4, 0), 4);
  ASSERT_EQ(pwrite(fd, "END", 3, size - 3), 3);
  close(fd);

  std::string dst = tmp_.file("copy.bin");
  ASSERT_TRUE(copyFile(src, dst));
  EXPECT_EQ(getFileSize(dst), static_cast<long long>(size));
  std::vector<uint8_t> a, b;
  ASSERT_EQ(readFile(src, a), static_cast<long long>(size));
  ASSERT_EQ(readFile(dst, b), static_cast<long long>(size));
  EXPECT_TRUE(a == b);
  EXPECT_EQ(std::string(b.end() - 3, b.end()), "END");
}

TEST_F(FileUtilTest, ReadFileAndSizes) {
  std::vector<uint8_t> data;
  EXPECT_EQ(readFile("", data), -1);
  EXPECT_EQ(readFile(tmp_.file("none"), data), -1);
  EXPECT_EQ(getFileSize(tmp_.file("none")), -1);
  writeText(tmp_.file("empty"), "");
  EXPECT_EQ(readFile(tmp_.file("empty"), data), 0);
  EXPECT_TRUE(data.empty());
  writeText(tmp_.file("f"), std::string("a\0b", 3));
  EXPECT_EQ(readFile(tmp_.file("f"), data), 3);
  EXPECT_EQ(data, (std::vector<uint8_t>{'a', 0, 'b'}));
  EXPECT_EQ(getFileSize(tmp_.file("f")), 3);
  EXPECT_EQ(getFileSize(tmp_.path()), -1);  // a folder is no file
}

TEST_F(FileUtilTest, TouchFileSetsTimesAndFileAgeSeesLatest) {
  std::string f = tmp_.file("t");
  writeText(f, "x");
  ASSERT_TRUE(touchFile(f, 3600));
  EXPECT_NEAR(static_cast<double>(fileModifiedTime(f)), static_cast<double>(time(nullptr) - 3600),
              5);
  // The status change of the touch itself is recent, so the age is small.
  EXPECT_LT(fileAge(f), 5);
  ASSERT_TRUE(touchFileTime(f, 1000000000));
  EXPECT_EQ(fileModifiedTime(f), 1000000000);
  EXPECT_FALSE(touchFile(tmp_.file("missing"), 0));
  EXPECT_EQ(fileModifiedTime(tmp_.file("missing")), 0);
  EXPECT_GT(fileAge(tmp_.file("missing")), 1000000000L);
}

TEST_F(FileUtilTest, DeleteFolderRemovesTreeButNotLinkTargets) {
  TempDir outside;
  writeText(outside.file("keep.txt"), "keep");
  ASSERT_EQ(mkdirs(tmp_.path() + "tree/a/b/", true), 0);
  writeText(tmp_.file("tree/a/b/f1"), "1");
  writeText(tmp_.file("tree/f2"), "2");
  ASSERT_EQ(symlink(outside.path().c_str(), tmp_.file("tree/link").c_str()), 0);
  EXPECT_TRUE(deleteFolder(tmp_.file("tree")));
  EXPECT_FALSE(pathExists(tmp_.file("tree")));
  EXPECT_EQ(readText(outside.file("keep.txt")), "keep");
  EXPECT_FALSE(deleteFolder(tmp_.file("tree")));
  // Hidden entries stay, so the folder stays too.
  ASSERT_EQ(mkdirs(tmp_.path() + "hid/", true), 0);
  writeText(tmp_.file("hid/.keep"), "k");
  writeText(tmp_.file("hid/gone"), "g");
  EXPECT_FALSE(deleteFolder(tmp_.file("hid")));
  EXPECT_TRUE(pathExists(tmp_.file("hid/.keep")));
  EXPECT_FALSE(pathExists(tmp_.file("hid/gone")));
}

TEST_F(FileUtilTest, MakeTmpDirCreatesDistinctFolders) {
  ScopedValue<std::string> lumetra(LUMETRAFILES, tmp_.path() + "lumetrafiles");
  std::string a = makeTmpDir();
  std::string b = makeTmpDir("_trig");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(tmp_.path() + "lumetrafiles/tmp/zzz", 0), 0u);
  EXPECT_TRUE(endsWith(b, "_trig/"));
  EXPECT_TRUE(isDir(a) && isDir(b));
  LUMETRAFILES = "/proc/self/no/such";
  EXPECT_EQ(makeTmpDir(), "");  // nothing can be created
}
