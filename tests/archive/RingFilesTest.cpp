// The packet archive's scan files for the ring server: one file per
// station, channel and second, the size limit and the folder rules; the
// ring's writer thread keeps each link's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "archive/PacketArchive.h"
#include "archive/RingWriter.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "waveform/Miniseed.h"

namespace {

const uint8_t* bytesOf(const std::string& r) { return reinterpret_cast<const uint8_t*>(r.data()); }

TEST(RingFilesTest, OneFilePerStationChannelAndSecond) {
  TempDir dir;
  ScopedBaseDir base{dir.path()};
  ScopedValue<std::string> home{HOMEDIR, dir.path() + "home"};
  PacketArchive archive;
  archive.setRing("%U/scan/", true);
  EXPECT_EQ(archive.getRingPath(), dir.path() + "home/scan");
  ASSERT_TRUE(isDir(archive.getRingPath()));

  const std::vector<std::string> recs = testRecords(JSC_RECORDS);  // 13:48:00.0084 to 13:48:30
  std::string sameSecond = recs[0];
  Miniseed::setStartTime(reinterpret_cast<uint8_t*>(&sameSecond[0]),
                         Miniseed::getStartTime(bytesOf(recs[0])) + HPTMODULUS / 2);
  archive.sendMiniseedToRing(bytesOf(recs[0]), 512);
  archive.sendMiniseedToRing(bytesOf(sameSecond), 512);
  archive.sendMiniseedToRing(bytesOf(recs[13]), 512);
  const std::string big(1024, 'x');
  archive.sendMiniseedToRing(bytesOf(big), 1024);
  ASSERT_TRUE(RingWriter::drain(5000));
  EXPECT_EQ(listDir(archive.getRingPath()),
            (std::vector<std::string>{"2016-09-21_1348_00.CO.00.JSC.HHZ.ms",
                                      "2016-09-21_1348_27.CO.00.JSC.HHZ.ms"}));
  EXPECT_EQ(readText(archive.getRingPath() + "/2016-09-21_1348_00.CO.00.JSC.HHZ.ms"),
            recs[0] + sameSecond);

  // addPacket hands each stored record on.
  SelvomaPacket packet;
  packet.make(SelvomaPacket::MINISEED, 0x01000001, 1, 0, bytesOf(recs[2]), 512);
  ASSERT_TRUE(archive.addPacket(packet));
  archive.flush();  // waits for the writer
  EXPECT_EQ(listDir(archive.getRingPath()).size(), 3u);
  archive.clear();
}

// Several links offering at once, more than the queue holds: every record
// is written whole, none twice; a single link's records keep their order.
TEST(RingFilesTest, WriterLosesNothingAndKeepsALinksOrder) {
  TempDir dir;
  constexpr int LINKS = 4;
  constexpr size_t PER_LINK = RingWriter::RING_QUEUE_MAX / 2;
  constexpr size_t RECORD = 16;
  auto recordText = [](int link, size_t i) {
    char text[RECORD];
    snprintf(text, sizeof text, "%d:%013zu", link, i);
    return std::string(text, RECORD);
  };
  std::vector<std::thread> links;
  for (int link = 0; link < LINKS; ++link) {
    links.emplace_back([&, link] {
      for (size_t i = 0; i < PER_LINK; ++i) {
        const std::string record = recordText(link, i);
        RingWriter::offer(dir.file("link" + std::to_string(link)), bytesOf(record), RECORD);
      }
    });
  }
  for (std::thread& t : links) t.join();
  ASSERT_TRUE(RingWriter::drain(20000));
  for (int link = 0; link < LINKS; ++link) {
    const std::string text = readText(dir.file("link" + std::to_string(link)));
    ASSERT_EQ(text.size(), PER_LINK * RECORD) << link;
    std::vector<std::string> records;
    for (size_t at = 0; at < text.size(); at += RECORD) records.push_back(text.substr(at, RECORD));
    std::sort(records.begin(), records.end());
    for (size_t i = 0; i < PER_LINK; ++i) ASSERT_EQ(records[i], recordText(link, i)) << link;
  }

  // One link that never fills its queue: its order holds.
  constexpr size_t ALONE = RingWriter::RING_QUEUE_MAX / RingWriter::RING_WRITERS / 2;
  for (size_t i = 0; i < ALONE; ++i) {
    RingWriter::offer(dir.file("alone"), bytesOf(recordText(9, i)), RECORD);
  }
  ASSERT_TRUE(RingWriter::drain(20000));
  const std::string alone = readText(dir.file("alone"));
  ASSERT_EQ(alone.size(), ALONE * RECORD);
  for (size_t i = 0; i < ALONE; ++i) ASSERT_EQ(alone.substr(i * RECORD, RECORD), recordText(9, i));
}

}  // namespace
