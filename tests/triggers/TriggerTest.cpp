// The trigger handling of one link: trigger file entries, the reject
// period, peak entries, broadcasts to the network's upload folders, refused
// input (short records, implausible times, storms, unreadable texts); and a
// trigger waveform package assembled from minute files of three channels.
#include <gtest/gtest.h>
#include <libmseed.h>

#include <map>
#include <string>
#include <vector>

#include "archive/TriggerFile.h"
#include "support/CaptureLog.h"
#include "support/MseedRecords.h"
#include "support/TestSupport.h"
#include "triggers/Trigger.h"
#include "triggers/TriggerZip.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

constexpr uint32_t ID = 0x01000abc;
constexpr time_t T0 = 1680782400;  // 2023-04-06 12:00:00 UTC

SelvomaPacket triggerPacket(time_t t, uint32_t usec, uint8_t type) {
  SelTrigger record;
  record.time = static_cast<int32_t>(SelvomaPacket::time_tToSelTime(t));
  record.usec = usec;
  record.channelMask = 7;
  record.alarmType = type;
  uint8_t bytes[SEL_TRIGGER_LENGTH];
  record.toBytes(bytes);
  SelvomaPacket p;
  p.make(SelvomaPacket::TRIGGER, ID, 1, 0, bytes, sizeof bytes);
  return p;
}

class TriggerTest : public ::testing::Test {
 protected:
  TriggerTest() {
    trigger.setLog(&log);
    trigger.setRejectPeriod(Trigger::REJECT_SECS_SESSION);
    trigger.setArchive(dir.file("trigxml/%S/%Y%M%D_%H%m_%s_%S.trig"), "", "", nullptr, nullptr);
    trigger.TEST_setClock([this] { return now; });
  }
  bool send(uint8_t type, time_t t = T0 + 50, uint32_t usec = 0) {
    return trigger.writeTrigger(triggerPacket(t, usec, type), "XX", "TRG1", "00", "HHZ", ID);
  }
  std::string fileOf(time_t t) {
    return readText(dir.file("trigxml/TRG1/" + formatUtc(t, "%Y%m%d_%H%M_%S") + "_TRG1.trig.xml"));
  }

  TempDir dir;
  ScopedBaseDir base{dir.path()};
  CaptureLog log;
  Trigger trigger;
  time_t now = T0 + 60;
};

TEST_F(TriggerTest, TriggerFileHoldsTheExactEntryWithMilliseconds) {
  ASSERT_TRUE(send(4, T0 + 50, 123456));
  EXPECT_EQ(fileOf(T0 + 50),
            "<trigger>\n  <station>TRG1</station>\n  <network>XX</network>\n"
            "  <location>00</location>\n  <channel>HHZ</channel>\n"
            "  <triggertype>4 STALTA TRIGGER</triggertype>\n"
            "  <time>2023-04-06 1200 50.123</time>\n</trigger>\n\n");
  EXPECT_EQ(TriggerFile::getTriggerText(20), "20 UNKNOWN");
  // A microsecond count beyond a second cannot show as four digits.
  EXPECT_NE(TriggerFile::makeXml("XX", "A", "00", "HHZ", "4 X", T0, 5000000).find(" 00.999<"),
            std::string::npos);
}

TEST_F(TriggerTest, RejectPeriodAndItsExceptions) {
  ASSERT_TRUE(send(4));
  now += 5;
  EXPECT_FALSE(send(4, T0 + 55));
  EXPECT_TRUE(log.has("Trigger rejected.  Too early 5<10secs"));
  now += 10;
  // An own trigger follows a broadcast one at once; a second broadcast waits.
  ASSERT_TRUE(send(8, T0 + 70));
  now += 2;
  EXPECT_TRUE(send(3, T0 + 72));
  now += 11;
  ASSERT_TRUE(send(8, T0 + 83));
  now += 2;
  EXPECT_FALSE(send(8, T0 + 85));
  // An alarm is written but starts no period.
  now += 20;
  ASSERT_TRUE(send(0, T0 + 105));
  now += 1;
  EXPECT_TRUE(send(4, T0 + 106));
  EXPECT_TRUE(trigger.tooEarly(45));
  now += 45;
  EXPECT_FALSE(trigger.tooEarly(45));
}

TEST_F(TriggerTest, PeakEntryOnlyAfterAWrittenTrigger) {
  EXPECT_FALSE(trigger.writePeakTrig("XX", "TRG1", "00", "SUM", ID, 0.5, "m/s", T0 + 50, 0));
  EXPECT_TRUE(log.has("No Threshold Trigger. Peak Trig ignored"));
  ASSERT_TRUE(send(4));
  EXPECT_TRUE(trigger.writePeakTrig("XX", "TRG1", "00", "SUM", ID, 0.5, "m/s", T0 + 50, 250000));
  EXPECT_FALSE(trigger.writePeakTrig("XX", "TRG1", "00", "SUM", ID, 0.7, "m/s", T0 + 50, 0));
  const std::string file = fileOf(T0 + 50);
  EXPECT_NE(file.find("<triggertype>5 MAX</triggertype>\n  <peak>0.500000</peak>\n"
                      "  <peakunits>m/s</peakunits>\n  <time>2023-04-06 1200 50.250</time>"),
            std::string::npos)
      << file;
  EXPECT_EQ(file.find("0.700000"), std::string::npos);
}

TEST_F(TriggerTest, BroadcastGoesToTheOtherStationsUploadFoldersOnly) {
  const std::vector<std::string> stations = {"TRG1.01000abc", "TRG2.01000abd", "TRG3.01000abe",
                                             "../escape", ".hidden"};
  const SelvomaPacket packet = triggerPacket(T0 + 50, 0x10, 4);
  EXPECT_EQ(trigger.writeBroadcasts(packet, stations, "TRG1.01000abc", 30), 2);
  EXPECT_TRUE(log.has("Broadcast skipping self = TRG1.01000abc"));
  const std::string name = std::to_string(SelvomaPacket::time_tToSelTime(T0 + 50)) + ".trig.pkt";
  const std::string line =
      sformat("81-[%08x][%08x][07][00][00][08]", SelvomaPacket::time_tToSelTime(T0 + 50), 0x10);
  EXPECT_EQ(readText(dir.file("upload/TRG2.01000abd/" + name)), "8A stream 30\n" + line);
  EXPECT_TRUE(pathExists(dir.file("upload/TRG3.01000abe/" + name)));
  EXPECT_EQ(listDir(dir.file("upload")),
            (std::vector<std::string>{"TRG2.01000abd", "TRG3.01000abe"}));
  EXPECT_FALSE(pathExists(dir.file("escape")));
  trigger.setTriggerBackfill(true);
  EXPECT_EQ(trigger.writeBroadcasts(packet, stations, "TRG1.01000abc", 30), 2);
  EXPECT_EQ(readText(dir.file("upload/TRG2.01000abd/" + name)), line);
  EXPECT_EQ(trigger.writeBroadcasts(triggerPacket(T0, 0, 0), stations, "x", 30), 0);
  EXPECT_TRUE(log.hasPrefix("NO BROADCAST. for: 81-"));
}

TEST_F(TriggerTest, RefusedInputWritesNothingAndStartsNoPeriod) {
  SelvomaPacket shortPacket;
  const uint8_t bytes[5] = {1, 2, 3, 4, 5};
  shortPacket.make(SelvomaPacket::TRIGGER, ID, 1, 0, bytes, sizeof bytes);
  EXPECT_FALSE(trigger.writeTrigger(shortPacket, "XX", "TRG1", "00", "HHZ", ID));
  EXPECT_TRUE(log.has("Trigger payload of 5 bytes holds no trigger record"));
  EXPECT_FALSE(send(4, now + 2 * Trigger::TIME_FUTURE_MAX_SECS));
  EXPECT_FALSE(send(4, now - 2 * Trigger::TIME_PAST_MAX_SECS));
  EXPECT_EQ(trigger.getLastTriggerTime(), 0);
  EXPECT_FALSE(pathExists(dir.file("trigxml")));
  // A storm of alarms: one minute's budget is written, the rest logged once.
  int written = 0;
  for (int i = 0; i < 300; ++i) written += send(1, T0 + i % 60) ? 1 : 0;
  EXPECT_EQ(written, Trigger::ENTRIES_PER_MINUTE_MAX);
  EXPECT_TRUE(log.hasPrefix("Trigger storm: "));
}

TEST(TriggerTextTest, LevelTriggerInfoAndTextTriggersParseOrRefuse) {
  LevelTriggerInfo info;
  const std::string sel = std::to_string(SelvomaPacket::time_tToSelTime(T0));
  ASSERT_TRUE(Trigger::parseLevelTriggerInfo("=0.0050 m/s time: " + sel + ".5", 7, &info));
  EXPECT_DOUBLE_EQ(info.peak, 0.005);
  EXPECT_EQ(info.units, "m/s");
  EXPECT_EQ(info.time, T0);
  EXPECT_EQ(info.microseconds, 500000);
  ASSERT_TRUE(Trigger::parseLevelTriggerInfo("=2.5verylongunit time: 0", 7, &info));
  EXPECT_EQ(info.units, "verylon");
  EXPECT_EQ(info.time, 7);
  for (const char* bad : {"0.5 m/s time: 1", "=0 m/s time: 1", "=nan m/s time: 1",
                          "=inf m/s time: 1", "=0.5 m/s", "=0.5 time:", "=0.5 time: x"}) {
    EXPECT_FALSE(Trigger::parseLevelTriggerInfo(bad, 7, &info)) << bad;
  }
  SelTrigger record;
  ASSERT_TRUE(Trigger::parseTextTrigger("trigger 4 2023-04-06T12:00:50.25", &record));
  EXPECT_EQ(record.alarmType, 4);
  EXPECT_EQ(SelvomaPacket::selTimeToTime_t(static_cast<uint32_t>(record.time)), T0 + 50);
  EXPECT_EQ(record.usec, 250000u);
  for (const char* bad : {"trigger x 2023-04-06T12:00:50", "trigger 4 1999-04-06T12:00:50",
                          "trigger 4 2023-99-99Tzz", "trigger 4"}) {
    EXPECT_FALSE(Trigger::parseTextTrigger(bad, &record)) << bad;
  }
}

// Records of channel cha from start for seconds, each starting where the one
// before ended (a real 100 sps record with its times and channel rewritten).
std::vector<Miniseed::Record> track(const std::string& cha, hptime_t start, int seconds) {
  const std::vector<std::string> real = testRecords(JSC_RECORDS);
  std::vector<Miniseed::Record> out;
  for (hptime_t t = start; t < start + seconds * HPTMODULUS;) {
    Miniseed::Record r;
    std::copy(real[0].begin(), real[0].begin() + r.size(), r.begin());
    for (size_t i = 0; i < 3; ++i) r[Miniseed::OFF_CHANNEL + i] = static_cast<uint8_t>(cha[i]);
    for (size_t i = 0; i < 4; ++i) r[Miniseed::OFF_STATION + i] = static_cast<uint8_t>("TRG1"[i]);
    r[Miniseed::OFF_STATION + 4] = ' ';
    EXPECT_TRUE(Miniseed::setStartTime(r.data(), t));
    t = Miniseed::getEndTime(r.data());
    out.push_back(r);
  }
  return out;
}

TEST_F(TriggerTest, WaveformPackageHoldsTheMergedWindowSettingsStationXmlAndTriggerFile) {
  const std::string label = "TRG1.01000abc";
  // Three minute files (12:00 .. 12:02) of three continuous channels; a
  // record goes to the minute of its start.
  std::map<time_t, std::string> minutes;
  for (const char* cha : {"HHZ", "HHN", "HHE"}) {
    for (const Miniseed::Record& r : track(cha, T0 * HPTMODULUS, 180)) {
      const time_t minute = Miniseed::getStartTime(r.data()) / HPTMODULUS / 60 * 60;
      minutes[minute].append(reinterpret_cast<const char*>(r.data()), r.size());
    }
  }
  for (const auto& [minute, bytes] : minutes) {
    const std::string path = dir.file("arch/TRG1/" + formatUtc(minute, "%Y%m%d_%H%M") + ".ms");
    mkdirs(path, false);
    writeText(path, bytes);
  }
  mkdirs(DOWNLOAD_DIR + label, true);
  writeText(DOWNLOAD_DIR + label + "/settings.ss",
            "\"sitename\"=\"TRG1\"\n\"network_code\"=\"XX\"\n");
  ASSERT_TRUE(send(4, T0 + 50));

  auto order = std::make_unique<TriggerZipOrder>();
  order->triggerTime = T0 + 50;
  order->preSecs = 15;
  order->postSecs = 30;
  order->network = "XX";
  order->station = "TRG1";
  order->id = ID;
  order->stationLabel = label;
  order->outputTemplates = {dir.file("pkg/%S/%Y%M%D_%H%m_%s_%S"), ""};
  order->outputEnabled = {true, false};
  order->extractTemplate = dir.file("arch/%S/%Y%M%D_%H%m");
  order->xmlTemplate = trigger.getXmlArchive().getTemplate();
  order->channels = {"HHE", "HHN", "HHZ", "HHO", "", "", "SUM"};
  order->running = std::make_shared<std::atomic<bool>>(true);
  auto running = order->running;
  TriggerZip::assembleTriggerZip(std::move(order));
  EXPECT_FALSE(running->load());

  const std::string zip = dir.file("pkg/TRG1/20230406_1200_50_TRG1.zip");
  const std::string out = dir.file("unzipped");
  mkdirs(out, true);
  std::vector<std::string> files;
  ASSERT_TRUE(Zipper::uncompressFile(zip, out, &files));
  EXPECT_EQ(listDir(out),
            (std::vector<std::string>{"20230406_1200_00_TRG1.ms", "20230406_1200_50_TRG1.trig.xml",
                                      "TRG1.01000abc.station.xml", "settings.ss"}));
  // One continuous trace per channel covering 12:00:35 .. 12:01:21.
  int bad = 0;
  std::map<std::string, std::vector<hptime_t>> starts;
  for (const RecordId& r : recordsIn(readText(out + "/20230406_1200_00_TRG1.ms"), &bad)) {
    starts[r.channel].push_back(r.start);
  }
  EXPECT_EQ(bad, 0);
  ASSERT_EQ(starts.size(), 3u);
  const std::vector<Miniseed::Record> reference = track("HHZ", T0 * HPTMODULUS, 180);
  std::string window;
  for (const Miniseed::Record& r : reference) {
    if (Miniseed::getEndTime(r.data()) >= (T0 + 35) * HPTMODULUS &&
        Miniseed::getStartTime(r.data()) <= (T0 + 81) * HPTMODULUS)
      window.append(reinterpret_cast<const char*>(r.data()), r.size());
  }
  std::vector<hptime_t> expected;
  for (const RecordId& r : recordsIn(window, &bad)) expected.push_back(r.start);
  for (const auto& [channel, list] : starts) EXPECT_EQ(list, expected) << channel;
}

}  // namespace
