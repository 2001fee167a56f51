// The monitor folder: record files written about twice a second and named
// after their first record, the folder cap, trigger files of seismic types
// only, and the clearing of a station's files when the station changes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/MonitorBuffer.h"
#include "archive/PacketArchive.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"

namespace {

constexpr uint32_t SERIAL = 0x01000001;

SelvomaPacket packetOf(const std::string& bytes, uint8_t type = SelvomaPacket::MINISEED) {
  SelvomaPacket p;
  p.make(type, SERIAL, 1, 0, reinterpret_cast<const uint8_t*>(bytes.data()),
         static_cast<int>(bytes.size()));
  return p;
}

SelvomaPacket triggerOf(uint8_t type) {
  SelTrigger record;
  record.time = static_cast<int32_t>(SelvomaPacket::time_tToSelTime(1680782450));
  record.alarmType = type;
  uint8_t bytes[SEL_TRIGGER_LENGTH];
  record.toBytes(bytes);
  return packetOf(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes),
                  SelvomaPacket::TRIGGER);
}

// The name the monitor gives a file of records starting with record.
std::string recordFileName(const std::string& record) {
  const hptime_t start = Miniseed::getStartTime(reinterpret_cast<const uint8_t*>(record.data()));
  return formatUtc(static_cast<time_t>(start / HPTMODULUS), "%Y-%m-%d_%H%M_%S") +
         sformatBounded(7, ".%06ld", static_cast<long>(start % HPTMODULUS)) + ".CO.00.JSC.HHZ.ms";
}

class MonitorBufferTest : public ::testing::Test {
 protected:
  MonitorBufferTest() {
    monitor.setDir(dir.file("mon/"));
    monitor.setEnabled(true);
    monitor.TEST_setClock([this] { return nowMs; });
  }
  TempDir dir;
  MonitorBuffer monitor;
  int64_t nowMs = 100000;
  std::vector<std::string> records = testRecords(JSC_RECORDS);
};

TEST_F(MonitorBufferTest, RecordFilesHoldWholeRecordsNamedAfterTheFirst) {
  EXPECT_EQ(monitor.getDir(), dir.file("mon"));
  monitor.addPacket(packetOf(records[0]), nullptr);  // the first write is due at once
  for (int i = 1; i <= 3; ++i) {
    nowMs += 100;
    monitor.addPacket(packetOf(records[i]), nullptr);
  }
  EXPECT_EQ(listDir(dir.file("mon")), std::vector<std::string>{recordFileName(records[0])});
  nowMs += 200;
  monitor.addPacket(packetOf(records[4]), nullptr);
  EXPECT_EQ(readText(dir.file("mon/" + recordFileName(records[1]))),
            records[1] + records[2] + records[3] + records[4]);
  EXPECT_EQ(monitor.bufferedBytes(), 0u);
  nowMs += 1000;
  monitor.addPacket(packetOf(std::string(MonitorBuffer::PAYLOAD_MAX + 1, 'x')), nullptr);
  EXPECT_EQ(monitor.bufferedBytes(), 0u);
  EXPECT_EQ(listDir(dir.file("mon")).size(), 2u);
}

TEST_F(MonitorBufferTest, ArchiveStopsFeedingAFullFolderAndWritesSeismicTriggersOnly) {
  PacketArchive archive;
  archive.setMonitor(dir.file("mon"), 200, true);
  for (int i = 0; i < 198; ++i) writeText(dir.file("mon/viewer" + std::to_string(i)), "");
  MonitorBuffer& m = archive.getMonitor();
  EXPECT_TRUE(m.isFull());
  archive.addPacket(triggerOf(4));
  EXPECT_EQ(listDir(dir.file("mon")).size(), 198u);
  // The viewer takes files; the count is refreshed only on one query in 22.
  removeFile(dir.file("mon/viewer0"));
  int stillFull = 0;
  while (m.isFull() && stillFull < 100) ++stillFull;
  EXPECT_EQ(stillFull, MonitorBuffer::COUNT_EVERY - 2);
  archive.setNetLocStn("XX.00.TRG1", SERIAL);
  for (uint8_t type : {0, 1, 2, 6, 9, 3, 4, 5, 7, 8}) archive.addPacket(triggerOf(type));
  std::vector<std::string> triggers;
  for (const std::string& name : listDir(dir.file("mon"))) {
    if (name.find(".trig.xml") != std::string::npos) triggers.push_back(name);
  }
  ASSERT_EQ(triggers.size(), 1u);  // the five seismic types name one file (one second)
  EXPECT_EQ(triggers[0], "2023-04-06_1200_50.000000.XX.00.TRG1.SUM.trig.xml");
  const std::string entries = readText(dir.file("mon/" + triggers[0]));
  for (const char* type : {"3 HIGH", "4 STALTA", "5 LOW LEVEL", "7 LEVEL 2", "8 BROADCAST"})
    EXPECT_NE(entries.find(type), std::string::npos) << type;
  EXPECT_EQ(entries.find("TEMPERATURE"), std::string::npos);
  EXPECT_EQ(entries.find("WAVE_TRIGGER"), std::string::npos);
}

TEST_F(MonitorBufferTest, NewStationClearsTheFilesOfTheOldAndTheNewStation) {
  PacketArchive archive;
  archive.setMonitor(dir.file("mon"), 200, true);
  archive.setNetLocStn("XX.00.OLD", SERIAL);
  for (const char* name : {"a.XX.00.OLD.HHZ.ms", "OLD.01000001.settings.ss", "b.XX.00.NEW.HHZ.ms",
                           "c.XX.00.OLDER.HHZ.ms", "d.XX.00.OTHER.HHZ.ms"}) {
    writeText(dir.file(std::string("mon/") + name), "x");
  }
  archive.setStn("NEW");
  EXPECT_EQ(listDir(dir.file("mon")),
            (std::vector<std::string>{"c.XX.00.OLDER.HHZ.ms", "d.XX.00.OTHER.HHZ.ms"}));
  monitor.clearAll();
  EXPECT_TRUE(listDir(dir.file("mon")).empty());
  EXPECT_TRUE(isDir(dir.file("mon")));
}

}  // namespace
