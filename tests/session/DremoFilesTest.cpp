// The file retrieval alone: requests through a recording sink, pieces fed
// by hand, a fake clock for the time-outs, the archive, settings and gap
// store on a temporary folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/ActivityFiles.h"
#include "archive/PacketArchive.h"
#include "gaps/Gaps.h"
#include "gaps/Gapses.h"
#include "metadata/SsFile.h"
#include "session/DremoFiles.h"
#include "support/CaptureLog.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "waveform/Miniseed.h"

namespace {

constexpr uint32_t SERIAL = 0x01000001;
constexpr time_t MINUTE = 1474465680;  // 2016-09-21 13:48:00, the minute of the test records

FilePart piece(uint16_t number, const std::string& data) {
  FilePart p;
  p.partNumber = number;
  p.data.assign(data.begin(), data.end());
  return p;
}

class DremoFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive.setLog(&log);
    archive.setGapses(&gapses);
    archive.setArchiveTemplate(dir.path() + "/archive/%S/%Y%M%D_%H%m_%S", "",
                               ArchiveFormat::MINISEED, ArchiveFormat::MINISEED);
    archive.setNetLocStn("CO.00.JSC", SERIAL);
    activity.init(&archive);
    files.setLog(&log);
    files.setGapses(&gapses);
    files.setStation("JSC");
    files.setStationLabel(archive.getStationWithId());
    files.TEST_setClock([this] { return now; });
    files.init();
  }
  // Feeds data as pieces of at most size bytes, then the end piece.
  void feed(const std::string& data, size_t size) {
    uint16_t n = 1;
    for (size_t at = 0; at < data.size(); at += size) files.add(piece(n++, data.substr(at, size)));
    files.add(piece(n, ""));
  }
  std::string folder() const { return DOWNLOAD_DIR + archive.getStationWithId() + "/"; }

  TempDir dir;
  ScopedBaseDir base{dir.path() + "/"};
  CaptureLog log;
  Gapses gapses{&log};
  PacketArchive archive;
  SsFile settings;
  ActivityFiles activity;
  std::vector<std::pair<uint8_t, std::string>> sent;
  time_t now = 1700000000;
  DremoFiles files{archive, settings, activity, [this](uint8_t type, const std::string& text) {
                     sent.emplace_back(type, text);
                   }};
};

TEST_F(DremoFilesTest, MinuteIsAskedByNameStoredOnceAndOneRecordIsAWholeFile) {
  const std::vector<std::string> jsc = testRecords(JSC_RECORDS);
  EXPECT_EQ(files.timeToPath(1680784460), "/data/2023/04/06/12/2023-04-06 1234 00 JSC.ms");
  for (size_t pieces : {1u, 3u}) {  // one piece: first and last at once
    files.get(MINUTE + 20);
    EXPECT_EQ(files.getState(), DremoFiles::ASK_FILE);
    files.doAction();
    ASSERT_EQ(sent.back(),
              std::make_pair(SelvomaPacket::REQUEST_FILE,
                             std::string("/data/2016/09/21/13/2016-09-21 1348 00 JSC.ms")));
    std::string data;
    for (size_t k = 0; k < pieces; ++k) data += jsc[k];
    feed(data, Miniseed::RECORD_LENGTH);
    EXPECT_EQ(files.getState(), DremoFiles::COMPLETE);
    files.doAction();
    EXPECT_TRUE(files.isIdle());
  }
  // The second download brought records 0..2; record 0 was there already.
  EXPECT_EQ(getFileSize(dir.path() + "/archive/JSC/20160921_1348_JSC.ms"),
            static_cast<long long>(3 * Miniseed::RECORD_LENGTH));
}

TEST_F(DremoFilesTest, SettingsFileInOnePieceIsStoredAndAnEmptyFileIsAFailure) {
  files.requestFile("/settings.ss", DremoFiles::SETTINGS);
  feed("\"sitename\"=\"JSC\"\n\"build_number\"=\"5000\"\n", DremoFiles::DOWNLOAD_MAX_BYTES);
  files.doAction();
  EXPECT_TRUE(files.isSettingsStored());
  EXPECT_EQ(settings.getBuildNo(), 5000);
  EXPECT_TRUE(pathExists(folder() + "settings.ss"));
  EXPECT_TRUE(pathExists(folder() + "station.xml"));
  files.clearSettingsStored();
  files.requestFile("/settings.ss", DremoFiles::SETTINGS);
  files.add(piece(1, ""));
  files.doAction();
  EXPECT_FALSE(files.isSettingsStored());
  EXPECT_TRUE(files.isIdle());
}

TEST_F(DremoFilesTest, TimeOutsAreRetriedPerFileAndATimedOutMinuteIsPushedBackOnce) {
  const time_t minute = 1680784440;       // 2023-04-06 12:34
  for (int file = 0; file < 2; ++file) {  // the second file gets its own re-attempts
    files.get(minute);
    files.doAction();
    for (int attempt = 0; attempt <= DremoFiles::RETRIES_MAX; ++attempt) {
      now += DremoFiles::TIMEOUT_SECS - 1;
      files.doAction();
      EXPECT_EQ(files.getState(), DremoFiles::RECEIVING);
      now += 1;
      files.doAction();
    }
    EXPECT_TRUE(files.isIdle());
  }
  EXPECT_EQ(sent.size(), 2u * (1 + DremoFiles::RETRIES_MAX));
  size_t pushed = 0;
  for (const std::string& line : log.lines()) pushed += line.rfind("backfill later | ", 0) == 0;
  EXPECT_EQ(pushed, 1u);
  std::unique_ptr<Gap> gap =
      gapses.getGaps(archive.getStationWithId())->peekAgest(Gap::DLBACK, true);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(gap->start(), minute);
  EXPECT_GT(gap->popTime(), now);

  // With some pieces the file is stored with ".incomplete"; "no file" is final.
  files.get(MINUTE);
  files.doAction();
  files.add(piece(1, testRecords(JSC_RECORDS)[0]));
  for (int attempt = 0; attempt <= DremoFiles::RETRIES_MAX; ++attempt) {
    if (attempt > 0) files.add(piece(1, testRecords(JSC_RECORDS)[0]));
    now += DremoFiles::TIMEOUT_SECS;
    files.doAction();
  }
  EXPECT_EQ(files.getState(), DremoFiles::COMPLETE);
  EXPECT_EQ(files.getFilePath(), files.timeToPath(MINUTE) + DremoFiles::INCOMPLETE);
  files.get(MINUTE);
  files.fail("no file");
  EXPECT_TRUE(files.isIdle());
  EXPECT_TRUE(log.has("backfill fail | " + files.timeToPath(MINUTE) + " | no file"));
}

TEST_F(DremoFilesTest, ClientFileLandsThroughAPartFileInsideTheDownloadFolder) {
  files.requestFile("/logs/../x.txt", "../../../etc/./hub");
  EXPECT_EQ(files.getDestinationPath(), folder() + "etc/hub/x.txt");
  files.add(piece(1, "abc"));
  EXPECT_EQ(readText(files.getDestinationPath() + ".part"), "abc");
  files.add(piece(2, "def"));
  files.add(piece(3, ""));
  EXPECT_EQ(readText(files.getDestinationPath()), "abcdef");
  EXPECT_EQ(readText(activity.getFolder() + "x.txt"), "Finish");
  files.doAction();
  EXPECT_TRUE(files.isIdle());
  // After the re-attempts a client's download ends in "Fail".
  files.requestFile("/y.txt", "in");
  for (int attempt = 0; attempt <= DremoFiles::RETRIES_MAX; ++attempt) {
    now += DremoFiles::TIMEOUT_SECS;
    files.doAction();
  }
  EXPECT_EQ(readText(activity.getFolder() + "y.txt"), "Fail");
}

TEST_F(DremoFilesTest, NamesAreRepairedOversizedFilesRefusedAndALateEndAsksByTime) {
  files.get(1680784440);  // 12:34
  EXPECT_EQ(files.repairFilePath("/data/x/2023-04-06 1233 00 ABCD.ms"),
            "/data/x/2023-04-06 1234 01 ABCD.ms");
  EXPECT_EQ(files.repairFilePath("/data/x/2023-04-06 1234 00 ABCD.ms"),
            "/data/x/2023-04-06 1234 00 ABCD.ms");
  files.requestFile("/big", DremoFiles::OTHER);
  const std::string block(FILE_PART_MAX_DATA, 'x');
  for (uint16_t n = 1; !files.isIdle(); ++n) files.add(piece(n, block));
  EXPECT_LE(files.getDownloadedBytes(), DremoFiles::DOWNLOAD_MAX_BYTES);
  EXPECT_TRUE(log.hasPrefix("backfill fail | /big | larger than"));
  files.get(MINUTE);
  files.add(piece(5, ""));  // an end while not receiving
  EXPECT_EQ(files.getState(), DremoFiles::WAIT_NAME);
  EXPECT_EQ(sent.back(),
            std::make_pair(SelvomaPacket::REQUEST_FILE_TIME, std::string("2016-09-21 1348 00")));
}

}  // namespace
