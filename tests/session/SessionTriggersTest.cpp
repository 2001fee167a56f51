// The session's trigger paths over an in-memory link: a TRIGGER frame
// becomes a trigger file and broadcasts to the network's other registered
// stations; a peak after it becomes a peak entry; a BLDTRI gap writes the
// archive buffer out once (its records leave the buffer).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gaps/Gapses.h"
#include "session/SessionTestSupport.h"
#include "support/HubRun.h"
#include "support/MseedRecords.h"
#include "util/Dirs.h"
#include "waveform/Zipper.h"

namespace {

using S = SeisServerState;

std::string triggerPayload(time_t t, uint8_t type) {
  SelTrigger record;
  record.time = static_cast<int32_t>(SelvomaPacket::time_tToSelTime(t));
  record.alarmType = type;
  uint8_t bytes[SEL_TRIGGER_LENGTH];
  record.toBytes(bytes);
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// The gap store outlives the session (a base destroyed after the fixture).
struct GapStoreHolder {
  Gapses gapses{nullptr};
};

class SessionTriggersTest : public GapStoreHolder, public SessionFixture {
 protected:
  SessionTriggersTest()
      : SessionFixture("broadcast=1\nziparchive=0\ntrigbackfill=0\ntrigwaveenabled=0\n" +
                       sessionProps()) {}
  void SetUp() override {
    ASSERT_TRUE(session.init(&io, &vhProps, &gapses, &log));
    session.TEST_setState(S::READ);
    records = realRecords();
  }
  void deliver(const std::string& bytes) {
    io.feedAndPump(bytes);
    ASSERT_EQ(session.read(), S::PROCESS);
    session.process(true);
    io.takeWritten();
  }
  void deliverMiniseed(uint8_t seq) {
    deliver(frame(SelvomaPacket::MINISEED, STATION, records[seq % records.size()], seq));
  }

  std::vector<std::string> records;
};

TEST_F(SessionTriggersTest, TriggerFrameWritesTheFileBroadcastsAndOpensThePeak) {
  deliverMiniseed(1);  // the station: CO JSC
  SiteFolder& sites = session.TEST_siteFolder();
  sites.addStation("JSC2", "CO", 0x01000002, nullptr);
  sites.addStation("JSC3", "CO", 0x01000003, nullptr);
  const time_t now = time(nullptr);
  deliver(frame(SelvomaPacket::TRIGGER, STATION, triggerPayload(now, 4), 2));
  const std::string xml = logText();
  EXPECT_NE(xml.find("WRITTEN Trigger 4 STALTA TRIGGER. archive/trigxml/JSC/"), std::string::npos)
      << xml;
  EXPECT_EQ(filesBelow(dir.file("archive/trigxml/JSC"), ".trig.xml").size(), 1u);
  const std::string name = std::to_string(SelvomaPacket::time_tToSelTime(now)) + ".trig.pkt";
  EXPECT_TRUE(pathExists(dir.file("upload/JSC2.01000002/" + name)));
  EXPECT_TRUE(pathExists(dir.file("upload/JSC3.01000003/" + name)));
  EXPECT_FALSE(pathExists(dir.file("upload/JSC.01000001/" + name)));

  deliver(frame(SelvomaPacket::COMMAND, STATION, "level trigger info 1=0.25 m/s time: 0", 3));
  deliver(frame(SelvomaPacket::COMMAND, STATION, "level trigger info 1=nan m/s time: 0", 4));
  const std::string text = logText();
  EXPECT_NE(text.find("Peak Trigger. archive/trigxml/JSC/"), std::string::npos) << text;
  EXPECT_NE(text.find("Level trigger info not understood: [=nan m/s time: 0]"), std::string::npos);
}

// Two more stations of the network name themselves and get the broadcast
// files of a trigger at the first in their upload folders.
TEST_F(SessionTriggersTest, BroadcastIsSentByTheOtherStationsSessions) {
  struct Peer {
    MemoryIO io;
    SeisServerState session;
  } peers[2];
  int64_t ms = 1000000;
  for (uint32_t i = 0; i < 2; ++i) {
    Peer& p = peers[i];
    ASSERT_TRUE(p.session.init(&p.io, &vhProps, &gapses, &log));
    p.session.TEST_setMonoClock([&ms] { return ms; });
    p.session.TEST_upload().TEST_setClock([&ms] { return ms; });
    p.session.TEST_setState(S::READ);
    uint8_t seq = 1;
    for (const std::string& line : {std::string("\"network_code\"=\"CO\""),
                                    "\"sitename\"=\"JSC" + std::to_string(i + 2) + "\""}) {
      p.io.feedAndPump(frame(SelvomaPacket::COMMAND, STATION + 1 + i, line, seq++));
      ASSERT_EQ(p.session.read(), S::PROCESS);
      p.session.process(true);
    }
  }
  deliverMiniseed(1);
  const time_t now = time(nullptr);
  deliver(frame(SelvomaPacket::TRIGGER, STATION, triggerPayload(now, 4), 2));
  // Each asks its instrument for the stream and files the trigger as its own
  // broadcast trigger (the packet file's TRIGGER line is injected locally).
  for (Peer& p : peers) {
    std::string commands;
    for (int turn = 0; turn < 20; ++turn) {
      ms += 500;
      p.session.TEST_setLoopAgeSecs(SEND_WARMUP_SECS + 1);
      const int next = p.session.sendNextRequest();
      if (next == S::SEND) p.session.send();
      if (next == S::PROCESS_LOCAL) p.session.process(false);
      for (const SelvomaPacket& f : splitFrames(p.io.takeWritten())) {
        if (f.type == SelvomaPacket::COMMAND) commands += textOf(f) + ";";
      }
    }
    EXPECT_NE(commands.find("stream 30;"), std::string::npos) << commands;
    const std::string station = p.session.getStationLabel().substr(0, 4);
    EXPECT_NE(logText().find("WRITTEN Trigger 8 BROADCAST TRIGGER. archive/trigxml/" + station),
              std::string::npos)
        << station;
  }
}

TEST_F(SessionTriggersTest, BuildTriggerGapWritesTheBufferOnce) {
  session.TEST_setLoopAgeSecs(0);
  for (uint8_t seq = 1; seq <= 3; ++seq) deliverMiniseed(seq);
  session.setLag(0);
  ASSERT_EQ(session.TEST_archive().bufferedCount(), 3u);
  gapses.pushBuildTrigger("JSC.01000001", time(nullptr) - 120, time(nullptr) - 60, &log);
  session.TEST_setLoopAgeSecs(GAP_CHECK_WARMUP_SECS + 5);
  session.checkForGapRequest();
  EXPECT_NE(logText().find("TIME TO BUILD TRIGGER - "), std::string::npos);
  EXPECT_EQ(session.TEST_archive().bufferedCount(), 0u);
  for (uint8_t seq = 4; seq <= 13; ++seq) deliverMiniseed(seq);
  session.finish();
  // Every record delivered is in the archive once.
  int bad = 0;
  std::vector<hptime_t> stored;
  for (const std::string& f : filesBelow(dir.file("archive/JSC"), ".ms")) {
    for (const RecordId& r : recordsIn(readText(f), &bad)) stored.push_back(r.start);
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(stored.size(), 13u);
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(std::adjacent_find(stored.begin(), stored.end()), stored.end());
}

TEST_F(SessionTriggersTest, PackagesWaitWhileOneIsAssembledAndTheirNumberIsBounded) {
  int64_t ms = 1000000;
  session.TEST_setMonoClock([&ms] { return ms; });
  session.TEST_setLoopAgeSecs(0);
  deliverMiniseed(1);
  session.setLag(0);
  session.TEST_setAssembling(true);
  const time_t first = time(nullptr) - 3600;
  const size_t storm = TRIGGER_BUILDS_WAITING_MAX + 3;
  for (size_t i = 0; i < storm; ++i) {
    const time_t t = first + 100 * static_cast<time_t>(i);
    gapses.pushBuildTrigger("JSC.01000001", t, t + 30, nullptr);
  }
  session.TEST_setLoopAgeSecs(GAP_CHECK_WARMUP_SECS + 5);
  for (size_t i = 0; i < storm; ++i) {
    ms += 1001;  // one gap a second
    session.checkForGapRequest();
  }
  EXPECT_EQ(session.TEST_buildsWaiting(), TRIGGER_BUILDS_WAITING_MAX);
  const std::string text = logText();
  EXPECT_EQ(countOf(text, "waits for the one being assembled"), TRIGGER_BUILDS_WAITING_MAX);
  EXPECT_EQ(countOf(text, "packages wait already"), 3u) << text;
  session.TEST_setAssembling(false);
}

TEST_F(SessionTriggersTest, WaveFileZipsTheRequestedMinutesWithTheSettings) {
  deliverMiniseed(1);
  const time_t start = 1617666300;  // 2021-04-05 23:45
  ArchiveFile& extract = session.TEST_archive().getExtractArchive();
  for (int m = 0; m < 4; ++m) {
    writeText(extract.mkdirs("CO", "JSC", STATION, start + 60 * m, 0, ".ms", false), records[m]);
  }
  const std::string label = "JSC.01000001";
  mkdirs(DOWNLOAD_DIR + label, true);
  writeText(DOWNLOAD_DIR + label + "/settings.ss", "\"sitename\"=\"JSC\"\n");
  const std::string zip = session.makeWaveFile(start, 3, label, "CO");
  EXPECT_EQ(zip, DOWNLOAD_DIR + label + "/20210405_2345.0003min.zip");
  std::vector<std::string> files;
  mkdirs(dir.file("out"), true);
  ASSERT_TRUE(Zipper::uncompressFile(zip, dir.file("out"), &files));
  // Minutes 23:45 .. 23:48 (the request's end is inclusive), the settings
  // and the StationXML.
  EXPECT_EQ(files.size(), 6u);
  EXPECT_TRUE(pathExists(dir.file("out/settings.ss")));
  EXPECT_TRUE(pathExists(dir.file("out/" + label + ".station.xml")));
  // A client's upload request of the same minutes goes to the instrument.
  session.completeUploadRequest(start, start + 150);
  EXPECT_GT(session.numPendingFileParts(), 2u);
  EXPECT_NE(logText().find("Requested file [" + zip + "]"), std::string::npos);
}

}  // namespace
