// Zipper against zips read back by hand (central directory parsed here,
// not by libzip), zips made by the zip command line tool and by libzip
// directly with hostile entry names, and minute zips of real records.
#include <gtest/gtest.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

// One entry of a zip's central directory, read from the raw bytes.
struct CentralEntry {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t uncompressedSize = 0;
};

uint16_t le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}
uint32_t le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(le16(b, at)) | static_cast<uint32_t>(le16(b, at + 2)) << 16;
}

// Walks the central directory headers (signature PK\1\2) in file order.
std::vector<CentralEntry> centralDirectory(const std::string& zipPath) {
  const std::string b = readText(zipPath);
  std::vector<CentralEntry> entries;
  size_t at = b.find(std::string("PK\x01\x02", 4));
  while (at != std::string::npos && at + 46 <= b.size() && le32(b, at) == 0x02014b50) {
    CentralEntry e;
    e.flags = le16(b, at + 8);
    e.method = le16(b, at + 10);
    e.uncompressedSize = le32(b, at + 24);
    size_t nameLen = le16(b, at + 28), extraLen = le16(b, at + 30), commentLen = le16(b, at + 32);
    e.name = b.substr(at + 46, nameLen);
    entries.push_back(e);
    at += 46 + nameLen + extraLen + commentLen;
  }
  return entries;
}

std::vector<std::string> names(const std::vector<CentralEntry>& entries) {
  std::vector<std::string> out;
  for (const CentralEntry& e : entries) out.push_back(e.name);
  return out;
}

class ZipperTest : public ::testing::Test {
 protected:
  std::string make(const std::string& relative, const std::string& text) {
    std::string path = dir_.file(relative);
    mkdirs(path, false);
    writeText(path, text);
    return path;
  }

  TempDir dir_;
  ScopedValue<std::string> lumetra_{LUMETRAFILES, dir_.path() + "lumetra"};
};

TEST_F(ZipperTest, EntriesTakeLastComponentInOrderDeflatedFast) {
  std::string minute = make("a/20230406_1234_ABCD.ms", std::string(5000, 'x'));
  std::string ss = make("b/ABCD.0000002a.ss", "\"sitename\"=\"ABCD\"\n");
  std::string zip = dir_.file("out.zip");
  ASSERT_TRUE(Zipper::compress2Files(zip, minute, ss));
  auto entries = centralDirectory(zip);
  ASSERT_EQ(names(entries),
            (std::vector<std::string>{"20230406_1234_ABCD.ms", "ABCD.0000002a.ss"}));
  for (const CentralEntry& e : entries) {
    EXPECT_EQ(e.method, ZIP_CM_DEFLATE) << e.name;
    // General purpose bits 1-2 = "10": the fast deflate levels.
    EXPECT_EQ(e.flags & 0x6, 0x4) << e.name;
  }
  EXPECT_EQ(entries[0].uncompressedSize, 5000u);
  EXPECT_LT(getFileSize(zip), 5000);
}

TEST_F(ZipperTest, FirstFileOfANameWinsAndShortNamesAreSkipped) {
  std::string first = make("a/same.txt", "first");
  std::string second = make("b/same.txt", "second");
  std::string shortName = make("c/ab", "short");
  std::string zip = dir_.file("out.zip");
  ASSERT_TRUE(Zipper::compressFiles(zip, {first, shortName, second, dir_.file("missing.txt")}));
  EXPECT_EQ(names(centralDirectory(zip)), std::vector<std::string>{"same.txt"});
  std::vector<uint8_t> data;
  ASSERT_TRUE(Zipper::extractFile(zip, "same.txt", &data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "first");
}

TEST_F(ZipperTest, ZipInputContributesItsEntriesNotItself) {
  std::string inner = dir_.file("inner.zip");
  ASSERT_TRUE(Zipper::compressFiles(
      inner, {make("i/trig.xml", "<t/>"), make("i/X.ms", "old"), make("i/.hidden", "h")}));
  std::string minute = make("m/X.ms", "minute");
  std::string zip = dir_.file("out.zip");
  ASSERT_TRUE(Zipper::compressFiles(zip, {minute, inner}));
  EXPECT_EQ(names(centralDirectory(zip)),
            (std::vector<std::string>{"X.ms", "trig.xml", ".hidden"}));
  std::vector<uint8_t> data;
  ASSERT_TRUE(Zipper::extractFile(zip, "X.ms", &data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "minute");
  // The scratch folder of the inner zip is gone.
  EXPECT_TRUE(listDir(LUMETRAFILES + "/tmp").empty());
}

TEST_F(ZipperTest, FailedZipsLeaveNothingAndBadZipsOrMissingEntriesFail) {
  std::string zip = dir_.file("out.zip");
  writeText(zip, "stale");
  EXPECT_FALSE(Zipper::compressFiles(zip, {dir_.file("missing1"), dir_.file("missing2")}));
  EXPECT_FALSE(pathExists(zip));
  EXPECT_FALSE(Zipper::compressFile(dir_.file("no/such/folder/out.zip"), make("f.txt", "x")));
  // Unreadable zips and missing entries fail.
  std::string garbage = make("g.zip", "PK\x03\x04 not really a zip");
  std::vector<uint8_t> data{1, 2, 3};
  EXPECT_FALSE(Zipper::extractFile(garbage, "x", &data));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(Zipper::uncompressFile(garbage, dir_.path(), nullptr));
  std::string real = dir_.file("real.zip");
  ASSERT_TRUE(Zipper::compressFile(real, make("a/entry.txt", "e")));
  EXPECT_FALSE(Zipper::extractFile(real, "other.txt", &data));
  EXPECT_EQ(Zipper::entrySize(real, "entry.txt"), 1);
  EXPECT_EQ(Zipper::entrySize(real, "other.txt"), -1);
  // Extraction needs ".zip" in the path.
  std::string renamed = dir_.file("real.bin");
  ASSERT_TRUE(copyFile(real, renamed));
  EXPECT_FALSE(Zipper::uncompressFile(renamed, dir_.path(), nullptr));
}

// Set-up installs the zip tools: our zips are read by them and theirs by us.
TEST_F(ZipperTest, WorksWithZipsOfTheZipTools) {
  make("src/one.txt", "first file\n");
  make("src/two.bin", std::string(70000, '\x07'));
  std::string zip = dir_.file("tool.zip");
  ASSERT_EQ(
      system(("cd " + dir_.file("src") + " && zip -q -9 " + zip + " one.txt two.bin").c_str()), 0);
  std::string out = dir_.file("out/");
  mkdirs(out, true);
  std::vector<std::string> files;
  ASSERT_TRUE(Zipper::uncompressFile(zip, out, &files));
  EXPECT_EQ(files, (std::vector<std::string>{out + "one.txt", out + "two.bin"}));
  EXPECT_EQ(readText(out + "one.txt"), "first file\n");
  EXPECT_EQ(readText(out + "two.bin"), std::string(70000, '\x07'));
  // Directory form with append: the entry goes after what the file holds.
  writeText(out + "one.txt", "kept\n");
  ASSERT_TRUE(Zipper::extractFile(zip, "one.txt", dir_.file("out"), true));
  EXPECT_EQ(readText(out + "one.txt"), "kept\nfirst file\n");
  ASSERT_TRUE(Zipper::extractFile(zip, "one.txt", dir_.file("out"), false));
  EXPECT_EQ(readText(out + "one.txt"), "first file\n");

  std::string body(100000, 'q');
  std::string ours = dir_.file("ours.zip");
  ASSERT_TRUE(Zipper::compressFile(ours, make("a/body.ms", body)));
  EXPECT_EQ(system(("unzip -tq " + ours + " >/dev/null").c_str()), 0);
  ASSERT_EQ(system(("unzip -q " + ours + " -d " + dir_.file("x/")).c_str()), 0);
  EXPECT_EQ(readText(dir_.file("x/body.ms")), body);
}

TEST_F(ZipperTest, HostileEntryNamesStayInsideTheFolder) {
  std::string zip = dir_.file("hostile.zip");
  int error = 0;
  zip_t* za = zip_open(zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(za, nullptr);
  static const char kBody[] = "payload";
  for (const char* name : {"../escaped.txt", "sub/inner.txt", "/abs.txt", "ok.txt"}) {
    zip_source_t* s = zip_source_buffer(za, kBody, sizeof(kBody) - 1, 0);
    ASSERT_GE(zip_file_add(za, name, s, 0), 0) << name;
  }
  ASSERT_EQ(zip_close(za), 0);
  std::string out = dir_.file("deep/out/");
  mkdirs(out, true);
  std::vector<std::string> files;
  Zipper::uncompressFile(zip, out, &files);
  EXPECT_EQ(files, std::vector<std::string>{out + "ok.txt"});
  EXPECT_FALSE(pathExists(dir_.file("deep/escaped.txt")));
  EXPECT_FALSE(pathExists("/abs.txt"));
  EXPECT_FALSE(Zipper::extractFile(zip, "../escaped.txt", out, false));
  EXPECT_FALSE(pathExists(dir_.file("deep/escaped.txt")));
}

TEST_F(ZipperTest, MutexHoldsBackZipReadingsButNotTheWritingOfANewZip) {
  std::string source = make("a/held.txt", "h");
  std::string zip = dir_.file("held.zip");
  std::string outer = dir_.file("outer.zip");
  Zipper::lockMutex();
  // A new zip of plain files is its caller's own: written while the mutex is held.
  EXPECT_TRUE(Zipper::compressFile(zip, source));
  // A zip taken as a source is read, and reading waits for the mutex.
  std::atomic<bool> done{false};
  std::thread writer([&] {
    Zipper::compressFile(outer, zip);
    done = true;
  });
  bool finishedWhileHeld = waitFor([&] { return done.load(); }, std::chrono::milliseconds(300));
  Zipper::unlockMutex();
  EXPECT_FALSE(finishedWhileHeld);
  EXPECT_TRUE(waitFor([&] { return done.load(); }, std::chrono::seconds(10)));
  writer.join();
  std::vector<uint8_t> data;
  EXPECT_TRUE(Zipper::extractFile(outer, "held.txt", &data));
}

// A minute zip of real records: the channel count and the first start.
class NumChannelsTest : public ZipperTest {
 protected:
  std::string minuteZipOf(const std::string& testFile, const std::string& minuteName) {
    std::string minute = dir_.file("m/" + minuteName);
    mkdirs(minute, false);
    EXPECT_TRUE(copyFile(testData(testFile), minute));
    std::string zip = dir_.file(minuteName + ".zip");
    EXPECT_TRUE(Zipper::compressFile(zip, minute));
    return zip;
  }
};

TEST_F(NumChannelsTest, CountsChannelsFromTheMinuteEntryOrGivesZero) {
  time_t start = 0;
  EXPECT_EQ(Miniseed::numChannelsInZipFile(
                minuteZipOf("CO.JSC.00.HHZ.100sps.steim2.mseed", "20160921_1348_JSC.ms"), &start),
            1);
  struct tm t = {};
  t.tm_year = 2016 - 1900, t.tm_mon = 8, t.tm_mday = 21, t.tm_hour = 13, t.tm_min = 48;
  EXPECT_EQ(start, timegm(&t));
  // Records grouped E,E,E,E,N,N,N,N,Z,Z within the first ten.
  EXPECT_EQ(Miniseed::numChannelsInZipFile(
                minuteZipOf("GT.BOSA.00.BHx.3comp.steim2.mseed", "20100622_2226_BOSA.ms"), &start),
            3);
  t = {};
  t.tm_year = 2010 - 1900, t.tm_mon = 5, t.tm_mday = 22, t.tm_hour = 22, t.tm_min = 26,
  t.tm_sec = 7;
  EXPECT_EQ(start, timegm(&t));

  // A zip without the entry its name promises, or no zip at all, gives 0.
  ASSERT_TRUE(copyFile(dir_.file("20100622_2226_BOSA.ms.zip"), dir_.file("b.ms.zip")));
  start = 42;
  EXPECT_EQ(Miniseed::numChannelsInZipFile(dir_.file("b.ms.zip"), &start), 0);
  EXPECT_EQ(start, 42);
  EXPECT_EQ(Miniseed::numChannelsInZipFile(dir_.file("m/20100622_2226_BOSA.ms"), &start), 0);
}

}  // namespace
