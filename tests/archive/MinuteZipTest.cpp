// Minute zipping on real records: the zip's place, name and entries, the
// minute file kept on every failure, the copies beside the minutes with
// zipping off, late data during zipping (and written by the archive while
// minutes are zipped), the worker pool (a station's minutes one at a time and
// in order, the bounded queue) and the bounded wait at the stop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/MinuteZip.h"
#include "archive/PacketArchive.h"
#include "core/Log.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "waveform/Zipper.h"

namespace {

constexpr char kStationId[] = "ABCD.0000002a";
constexpr char kXml[] = "<FDSNStationXML/>\n";

std::vector<std::string> unzipNames(const std::string& zip, const std::string& folder) {
  std::vector<std::string> files;
  mkdirs(folder, true);
  EXPECT_TRUE(Zipper::uncompressFile(zip, folder, &files));
  std::vector<std::string> out;
  for (const std::string& f : files) out.push_back(f.substr(f.rfind('/') + 1));
  return out;
}

class MinuteZipTest : public ::testing::Test {
 protected:
  MinuteZipTest() : base_(dir_.path()) {}
  void SetUp() override {
    oldLumetra_ = LUMETRAFILES;
    LUMETRAFILES = dir_.path() + "lumetra";
    MinuteZip::TEST_setJobPause(0);
    folder_ = dir_.file("archive/ABCD/2023/04/06/");
    mkdirs(folder_, true);
    settings_ = dir_.file("download/ABCD.0000002a/settings.ss");
    mkdirs(settings_, false);
    writeText(settings_, "\"sitename\"=\"ABCD\"\n");
  }
  void TearDown() override {
    MinuteZip::TEST_setJobPause(MinuteZip::ZIP_JOB_PAUSE_US);
    MinuteZip::setWorkers(0);
    LUMETRAFILES = oldLumetra_;
  }

  // A minute file of real three-channel records.
  std::string minute(const std::string& name) {
    std::string path = folder_ + name;
    EXPECT_TRUE(copyFile(testData("GT.BOSA.00.BHx.3comp.steim2.mseed"), path));
    return path;
  }

  std::unique_ptr<MinuteZipOrder> order(const std::string& minutePath, bool zip = true) {
    auto o = std::make_unique<MinuteZipOrder>();
    o->minutePath = minutePath;
    o->stationId = kStationId;
    o->id = 0x2a;
    o->zipArchive = zip;
    o->settings = readText(settings_);
    o->makeStationXml = [](const std::string& settings, const std::string& destination) {
      if (!isFile(settings)) return false;
      writeText(destination, kXml);
      return true;
    };
    return o;
  }

  TempDir dir_;
  ScopedBaseDir base_;
  std::string oldLumetra_, folder_, settings_;
};

TEST_F(MinuteZipTest, MinuteBecomesZipWithCompanionsAndIsRemoved) {
  std::string path = minute("20230406_1234_ABCD.ms");
  std::string original = readText(path);
  std::string trigger = dir_.file("triggers/20230406_123410_ABCD.xml");
  mkdirs(trigger, false);
  writeText(trigger, "<trigger/>");
  auto o = order(path);
  o->files.push_back(trigger);
  MinuteZip::saveZip(std::move(o));

  std::string zip = path + ".zip";
  ASSERT_TRUE(pathExists(zip));
  EXPECT_FALSE(pathExists(path));
  struct stat st;
  ASSERT_EQ(stat(zip.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  std::string out = dir_.file("out/");
  EXPECT_EQ(unzipNames(zip, out),
            (std::vector<std::string>{"20230406_1234_ABCD.ms", "ABCD.0000002a.ss",
                                      "ABCD.0000002a.station.xml", "20230406_123410_ABCD.xml"}));
  EXPECT_EQ(readText(out + "20230406_1234_ABCD.ms"), original);
  EXPECT_EQ(readText(out + "ABCD.0000002a.ss"), "\"sitename\"=\"ABCD\"\n");
  EXPECT_EQ(readText(out + "ABCD.0000002a.station.xml"), kXml);
  EXPECT_TRUE(pathExists(trigger));
  // Nothing else is left in the archive folder or the scratch folders.
  EXPECT_EQ(listDir(folder_), std::vector<std::string>{"20230406_1234_ABCD.ms.zip"});
  EXPECT_TRUE(listDir(LUMETRAFILES + "/tmp").empty());
}

TEST_F(MinuteZipTest, ZipAlreadyThereIsMergedNeverReplacedByFewerRecords) {
  std::string path = minute("20230406_1242_ABCD.ms");
  const std::string first = readText(path);
  MinuteZip::saveZip(order(path));
  // Late records whose extraction failed went to a new minute file.
  const std::string late = readText(testData("CO.JSC.00.HHZ.100sps.steim2.mseed")).substr(0, 512);
  writeText(path, late);
  MinuteZip::saveZip(order(path));
  EXPECT_FALSE(pathExists(path));
  std::vector<uint8_t> data;
  ASSERT_TRUE(Zipper::extractFile(path + ".zip", "20230406_1242_ABCD.ms", &data));
  EXPECT_EQ(std::string(data.begin(), data.end()), first + late);
  // A zip that cannot be read stays as it is, and so does the minute.
  writeText(path + ".zip", "not a zip");
  writeText(path, late);
  MinuteZip::saveZip(order(path));
  EXPECT_EQ(readText(path + ".zip"), "not a zip");
  EXPECT_EQ(readText(path), late);
}

TEST_F(MinuteZipTest, MinuteStaysWhenTheZipCannotBePlaced) {
  std::string path = minute("20230406_1235_ABCD.ms");
  std::string original = readText(path);
  // A folder in the zip's place makes the final rename fail.
  mkdirs(path + ".zip/blocker/", true);
  MinuteZip::saveZip(order(path));
  EXPECT_EQ(readText(path), original);
  for (const std::string& name : listDir(folder_)) {
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
  }
  // Without a scratch folder nothing is zipped either.
  std::string other = minute("20230406_1236_ABCD.ms");
  LUMETRAFILES = "/proc/no-such-place";
  MinuteZip::saveZip(order(other));
  EXPECT_TRUE(pathExists(other));
  EXPECT_FALSE(pathExists(other + ".zip"));
}

// Without settings the minute is still zipped; the XML format makes no zip.
TEST_F(MinuteZipTest, MissingSettingsStillZipsTheMinuteAndXmlMakesNoZip) {
  std::string path = minute("20230406_1237_ABCD.ms");
  auto o = order(path);
  o->settings.clear();
  MinuteZip::saveZip(std::move(o));
  EXPECT_EQ(unzipNames(path + ".zip", dir_.file("out/")),
            std::vector<std::string>{"20230406_1237_ABCD.ms"});
  std::string xml = minute("20230406_1238_ABCD.ms");
  o = order(xml);
  o->format = ArchiveFormat::XML;
  MinuteZip::saveZip(std::move(o));
  EXPECT_TRUE(pathExists(xml));
  EXPECT_FALSE(pathExists(xml + ".zip"));
}

TEST_F(MinuteZipTest, ZipOffPutsCopiesBesideTheFirstMinuteOfAFolderOnly) {
  std::string first = minute("20230406_1200_ABCD.ms");
  std::string second = minute("20230406_1201_ABCD.ms");
  MinuteZip::saveZip(order(first, false));
  MinuteZip::saveZip(order(second, false));
  EXPECT_EQ(listDir(folder_),
            (std::vector<std::string>{"20230406_1200_ABCD.ms", "20230406_1200_ABCD.ss",
                                      "20230406_1200_ABCD.station.xml", "20230406_1201_ABCD.ms"}));
  EXPECT_EQ(readText(folder_ + "20230406_1200_ABCD.station.xml"), kXml);
  EXPECT_EQ(readText(folder_ + "20230406_1200_ABCD.ss"), readText(settings_));
  EXPECT_TRUE(listDir(LUMETRAFILES + "/tmp").empty());
}

TEST_F(MinuteZipTest, MinuteThatGrowsWhileZippedIsZippedWhole) {
  std::string path = minute("20230406_1239_ABCD.ms");
  std::string late = readText(testData("CO.JSC.00.HHZ.100sps.steim2.mseed")).substr(0, 512);
  // A late record arrives once the zip is built, before it is placed.
  std::string whole = readText(path) + late;
  bool appended = false;
  MinuteZip::TEST_setBuiltHook([&](const std::string& minutePath) {
    if (appended) return;
    appended = true;
    FILE* f = fopen(minutePath.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fwrite(late.data(), 1, late.size(), f);
    fclose(f);
  });
  MinuteZip::saveZip(order(path));
  MinuteZip::TEST_setBuiltHook(nullptr);
  ASSERT_TRUE(appended);
  ASSERT_FALSE(pathExists(path));
  std::vector<uint8_t> data;
  ASSERT_TRUE(Zipper::extractFile(path + ".zip", "20230406_1239_ABCD.ms", &data));
  EXPECT_EQ(std::string(data.begin(), data.end()), whole);
}

// The archive's writer with the session's extraction of a zipped minute.
void useRealDezipper(PacketArchive* archive) {
  archive->setDezipper([](const std::string& zip, const std::string& minute) {
    const size_t slash = minute.rfind('/');
    return Zipper::extractFile(zip, minute.substr(slash + 1), minute.substr(0, slash), true);
  });
}

// The minute's records wherever they are: its zip's entry or its file.
std::string minuteRecords(const std::string& path) {
  std::vector<uint8_t> data;
  if (pathExists(path + ".zip")) {
    EXPECT_FALSE(pathExists(path)) << "minute and zip side by side: " << path;
    EXPECT_TRUE(Zipper::extractFile(path + ".zip", path.substr(path.rfind('/') + 1), &data));
    return std::string(data.begin(), data.end());
  }
  return readText(path);
}

TEST_F(MinuteZipTest, LateRecordsWrittenWhileMinutesAreZippedAreNeverLost) {
  PacketArchive archive;
  useRealDezipper(&archive);
  const std::string late = readText(testData("CO.JSC.00.HHZ.100sps.steim2.mseed")).substr(0, 512);
  const auto append = [&](const std::string& path) {
    archive.writeBytes(path, reinterpret_cast<const uint8_t*>(late.data()), late.size());
  };
  // A record that comes between the zip's placement and the minute's removal.
  std::string path = minute("20230406_1243_ABCD.ms");
  std::string expected = readText(path) + late;
  std::thread writer;
  MinuteZip::TEST_setPlacedHook([&](const std::string& minutePath) {
    writer = std::thread(append, minutePath);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  MinuteZip::saveZip(order(path));
  MinuteZip::TEST_setPlacedHook(nullptr);
  writer.join();
  EXPECT_EQ(minuteRecords(path), expected);

  // Many minutes zipped, again and again, while late records reach them.
  constexpr int kMinutes = 6, kRounds = 3, kLate = 30;
  std::vector<std::string> paths, whole;
  for (int m = 0; m < kMinutes; ++m) {
    paths.push_back(minute("20230406_13" + std::to_string(10 + m) + "_ABCD.ms"));
    whole.push_back(readText(paths.back()));
  }
  for (int i = 0; i < kLate; ++i) whole[i % kMinutes] += late;
  std::thread lateWriter([&] {
    for (int i = 0; i < kLate; ++i) {
      append(paths[i % kMinutes]);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    for (const std::string& p : paths) ASSERT_TRUE(MinuteZip::start(order(p), nullptr));
  }
  lateWriter.join();
  ASSERT_TRUE(MinuteZip::waitAll(std::chrono::seconds(60)));
  for (int m = 0; m < kMinutes; ++m) EXPECT_EQ(minuteRecords(paths[m]), whole[m]) << paths[m];
}

TEST_F(MinuteZipTest, OpenMinuteZippedAwayMeanwhileTakesTheNextRecordsAfterItsOwn) {
  PacketArchive archive;
  useRealDezipper(&archive);
  const std::string record = readText(testData("CO.JSC.00.HHZ.100sps.steim2.mseed")).substr(0, 512);
  const auto append = [&](const std::string& path) {
    return archive.writeBytes(path, reinterpret_cast<const uint8_t*>(record.data()), record.size());
  };
  // The archive keeps the minute open; a zip job (of another link of the
  // station) zips it and removes it meanwhile.
  const std::string path = folder_ + "20230406_1300_ABCD.ms";
  ASSERT_TRUE(append(path));
  MinuteZip::saveZip(order(path));
  ASSERT_TRUE(pathExists(path + ".zip"));
  ASSERT_FALSE(pathExists(path));
  ASSERT_TRUE(append(path));
  EXPECT_EQ(minuteRecords(path), record + record);
}

TEST_F(MinuteZipTest, WorkersZipAStationsMinutesInOrderAndWaitAllIsBounded) {
  Log linkLog("link");
  MinuteZip::setWorkers(2);
  // Two stations, three minutes each; the built hook notes the order and
  // whether two jobs of one station ever ran at once.
  constexpr int kMinutes = 3;
  std::mutex mu;
  std::vector<std::string> built;
  std::map<std::string, int> inFlight;
  bool overlap = false;
  std::vector<std::string> paths;
  MinuteZip::TEST_setBuiltHook([&](const std::string& minutePath) {
    const std::string station = minutePath.substr(minutePath.size() - 7, 4);
    {
      std::lock_guard<std::mutex> lock(mu);
      built.push_back(minutePath);
      if (++inFlight[station] > 1) overlap = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::lock_guard<std::mutex> lock(mu);
    --inFlight[station];
  });
  MinuteZip::TEST_setJobPause(100000);
  for (int m = 0; m < kMinutes; ++m) {
    for (const char* station : {"ABCD", "EFGH"}) {
      paths.push_back(minute(sformat("20230406_124%d_%s.ms", m, station)));
      auto o = order(paths.back());
      o->stationId = std::string(station) + ".0000002a";
      ASSERT_TRUE(MinuteZip::start(std::move(o), &linkLog));
    }
  }
  EXPECT_FALSE(MinuteZip::waitAll(std::chrono::milliseconds(10)));
  EXPECT_GT(MinuteZip::running(), 0);
  EXPECT_TRUE(MinuteZip::waitAll(std::chrono::seconds(30)));
  EXPECT_EQ(MinuteZip::running(), 0);
  MinuteZip::TEST_setBuiltHook(nullptr);
  EXPECT_FALSE(overlap);
  for (const std::string& p : paths) {
    EXPECT_TRUE(pathExists(p + ".zip")) << p;
    EXPECT_FALSE(pathExists(p)) << p;
  }
  for (const char* station : {"ABCD", "EFGH"}) {
    std::vector<std::string> mine;
    for (const std::string& b : built) {
      if (b.compare(b.size() - 7, 4, station) == 0) mine.push_back(b);
    }
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end())) << station;
    EXPECT_EQ(mine.size(), static_cast<size_t>(kMinutes)) << station;
  }
}

TEST_F(MinuteZipTest, FullQueueLeavesTheMinuteUnzippedAndSaysSo) {
  Log linkLog("link");
  MinuteZip::setWorkers(1);
  // The one worker is held inside its first job while the queue fills.
  std::mutex mu;
  std::condition_variable cv;
  bool held = false, release = false;
  MinuteZip::TEST_setBuiltHook([&](const std::string&) {
    std::unique_lock<std::mutex> lock(mu);
    held = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  const std::string first = minute("20230406_1250_ABCD.ms");
  ASSERT_TRUE(MinuteZip::start(order(first), &linkLog));
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return held; }));
  }
  // Orders of minutes that are not there: each job ends at once.
  for (size_t i = 0; i < MinuteZip::ZIP_QUEUE_MAX; ++i) {
    ASSERT_TRUE(MinuteZip::start(order(folder_ + "gone.ms"), nullptr));
  }
  const std::string late = minute("20230406_1251_ABCD.ms");
  EXPECT_FALSE(MinuteZip::start(order(late), &linkLog));
  linkLog.flush();
  EXPECT_NE(readText(linkLog.getPath())
                .find("Zip queue full (2048 minutes waiting), minute left "
                      "unzipped [" +
                      late + "]"),
            std::string::npos);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
    cv.notify_all();
  }
  EXPECT_TRUE(MinuteZip::waitAll(std::chrono::seconds(60)));
  MinuteZip::TEST_setBuiltHook(nullptr);
  EXPECT_TRUE(pathExists(first + ".zip"));
  EXPECT_TRUE(pathExists(late));
}

}  // namespace
