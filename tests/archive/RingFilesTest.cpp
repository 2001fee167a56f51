// The packet archive's scan files for the ring server: one file per
// station, channel and second, the size limit and the folder rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/PacketArchive.h"
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
  EXPECT_EQ(listDir(archive.getRingPath()),
            (std::vector<std::string>{"2016-09-21_1348_00.CO.00.JSC.HHZ.ms",
                                      "2016-09-21_1348_27.CO.00.JSC.HHZ.ms"}));
  EXPECT_EQ(readText(archive.getRingPath() + "/2016-09-21_1348_00.CO.00.JSC.HHZ.ms"),
            recs[0] + sameSecond);

  // addPacket hands each stored record on.
  SelvomaPacket packet;
  packet.make(SelvomaPacket::MINISEED, 0x01000001, 1, 0, bytesOf(recs[2]), 512);
  ASSERT_TRUE(archive.addPacket(packet));
  EXPECT_EQ(listDir(archive.getRingPath()).size(), 3u);
  archive.clear();
}

}  // namespace
