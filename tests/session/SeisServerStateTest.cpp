// The session's steps driven one at a time over an in-memory link, with
// the instrument's frames fed before each step.
#include <gtest/gtest.h>

#include <string>

#include "archive/RingOutlet.h"
#include "session/SeisServerState.h"
#include "session/SessionTestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

using S = SeisServerState;

std::string miniseedFrame(uint8_t seq, const std::string& record) {
  return frame(SelvomaPacket::MINISEED, STATION, record, seq);
}

}  // namespace

class SessionStepTest : public SessionFixture {
 protected:
  void SetUp() override {
    initSession();
    session.TEST_setState(S::READ);
    records = realRecords();
    ASSERT_FALSE(records.empty());
  }
  // Feeds one frame and runs READ and PROCESS; returns the state after PROCESS.
  int deliver(const std::string& bytes) {
    io.feedAndPump(bytes);
    int next = session.read();
    EXPECT_EQ(next, S::PROCESS);
    return next == S::PROCESS ? session.process(true) : next;
  }
  int deliverMiniseed(uint8_t seq) {
    return deliver(miniseedFrame(seq, records[seq % records.size()]));
  }
  void setBuild(int build) {
    deliver(frame(SelvomaPacket::COMMAND, STATION, "build_number=" + std::to_string(build), 200));
    io.takeWritten();
  }

  std::vector<std::string> records;
};

// The ring outlet as the session sees it: its scan folder and its switch.
class FakeRing : public RingOutlet {
 public:
  explicit FakeRing(std::string scan) : scan_(std::move(scan)) { setRingOutlet(this); }
  ~FakeRing() override { setRingOutlet(nullptr); }
  std::string getScanDir() override { return scan_; }
  bool isEnabled() override { return on; }
  void setEnabled(bool value) override { on = value; }
  bool restartIfConfChanged() override { return false; }
  bool on = true;

 private:
  std::string scan_;
};

TEST_F(SessionStepTest, InitLogsTheMonitorAndRingSettingsInForce) {
  writeText(
      dir.file("vh.props"),
      "monitorenabled=1\nmonitordir=mon\nmonitornumfiles=50\nringenabled=0\n" + sessionProps());
  initSession();
  std::string text = logText();
  EXPECT_NE(text.find("monitorenabled=1  monitordir=mon  monitorNumFiles=50\n"), std::string::npos)
      << text;
  // Without an outlet nothing is written for a ring; with one, into its scan folder.
  EXPECT_NE(text.find("ringenabled=0  ringpath=\n"), std::string::npos);
  FakeRing ring(dir.file("ring/scan/"));
  writeText(dir.file("vh.props"), "ringenabled=1\n" + sessionProps());
  initSession();
  EXPECT_NE(logText().find("ringenabled=1  ringpath=" + dir.file("ring/scan") + "\n"),
            std::string::npos);
  EXPECT_TRUE(isDir(dir.file("ring/scan")));
}

TEST_F(SessionStepTest, OldBuildAcknowledgesEveryDataFrame) {
  EXPECT_EQ(session.dataAckInterval(), 1);  // an unknown build counts as old
  setBuild(4558);
  for (int seq = 1; seq <= 5; ++seq) deliverMiniseed(static_cast<uint8_t>(seq));
  auto acks = written();
  ASSERT_EQ(acks.size(), 5u);
  for (size_t i = 0; i < acks.size(); ++i) {
    EXPECT_EQ(acks[i].type, SelvomaPacket::ACK);
    EXPECT_EQ(acks[i].seqNo, i + 1);
    EXPECT_EQ(acks[i].destId, STATION);
    EXPECT_EQ(acks[i].sourceId, 1u);
  }
}

TEST_F(SessionStepTest, NewBuildAcknowledgesOnlyMultiplesOf100IncludingZero) {
  setBuild(4559);
  EXPECT_EQ(session.dataAckInterval(), 100);
  for (int seq = 98; seq <= 256; ++seq) deliverMiniseed(static_cast<uint8_t>(seq));
  auto acks = written();
  ASSERT_EQ(acks.size(), 3u);
  EXPECT_EQ(acks[0].seqNo, 100);
  EXPECT_EQ(acks[1].seqNo, 200);
  EXPECT_EQ(acks[2].seqNo, 0);
  EXPECT_EQ(session.getLastAckedSeq(), 0);  // unsent ACKs still move the number
}

TEST_F(SessionStepTest, NextStateAfterAckLooksForWorkEveryThirdNumber) {
  EXPECT_EQ(deliverMiniseed(3), S::NEXT_REQUEST);
  EXPECT_EQ(deliverMiniseed(4), S::READ);
  EXPECT_EQ(deliverMiniseed(5), S::READ);
  EXPECT_EQ(deliverMiniseed(6), S::NEXT_REQUEST);
  EXPECT_EQ(deliverMiniseed(0), S::NEXT_REQUEST);
}

TEST_F(SessionStepTest, OutOfOrderFrameIsLoggedAndStillStored) {
  deliverMiniseed(3);
  deliverMiniseed(5);
  EXPECT_NE(logText().find("Why seqNo==5 and not 4?"), std::string::npos);
  EXPECT_EQ(session.TEST_archive().getStation(), "JSC");
  EXPECT_EQ(session.getStationLabel(), "JSC.01000001");
}

TEST_F(SessionStepTest, NackMovesOwnNumberingBack) {
  EXPECT_EQ(deliver(frame(SelvomaPacket::NACK, STATION, "", 10)), S::READ);
  EXPECT_EQ(session.getVhSeq(), 9);
  deliver(frame(SelvomaPacket::NACK, STATION, "", 0));
  EXPECT_EQ(session.getVhSeq(), 255);

  // The next frame the hub originates reuses the number the instrument expects.
  deliver(frame(SelvomaPacket::NACK, STATION, "", 10));
  io.takeWritten();
  session.TEST_setLoopAgeSecs(11);
  session.TEST_upload().addCommand("hello");
  session.sendNextRequest();
  auto out = written();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(textOf(out[0]), "hello");
  EXPECT_EQ(out[0].seqNo, 10);
  EXPECT_EQ(out[0].destId, STATION);
}

TEST_F(SessionStepTest, BadCheckWordQueuesStreamCommandOnceAndRaisesVerbosity) {
  deliverMiniseed(4);
  io.takeWritten();
  EXPECT_EQ(session.getLastErrorMs(), 0);
  std::string bad = miniseedFrame(5, records[0]);
  bad[30] ^= 0x01;
  io.feedAndPump(bad);
  EXPECT_EQ(session.read(), S::NEXT_REQUEST);
  EXPECT_EQ(log.getVerbosness(), 2);
  EXPECT_NE(session.getLastErrorMs(), 0);
  EXPECT_TRUE(written().empty());  // no NACK, no ACK for a bad frame
  std::string second = miniseedFrame(6, records[1]);
  second[40] ^= 0x01;
  io.feedAndPump(second);
  EXPECT_EQ(session.read(), S::NEXT_REQUEST);

  Upload& queue = session.TEST_upload();
  ASSERT_EQ(queue.numPackets(), 2);
  EXPECT_EQ(textOf(*queue.front()), "sleep 10");
  EXPECT_TRUE(queue.containsCommand("stream 4"));
}

TEST_F(SessionStepTest, QuietVerbosityIsNotRaisedByBadFrame) {
  log.setVerbose(-1);
  std::string bad = miniseedFrame(5, records[0]);
  bad[30] ^= 0x01;
  io.feedAndPump(bad);
  session.read();
  EXPECT_EQ(log.getVerbosness(), -1);
}

TEST_F(SessionStepTest, LongCommandReachesDispatcherAsFirst512Bytes) {
  std::string text = "dir " + std::string(596, 'a');
  deliver(frame(SelvomaPacket::COMMAND, STATION, text, 1));
  std::string logged = logText();
  EXPECT_NE(logged.find(text.substr(0, 512) + "\n"), std::string::npos);
  EXPECT_EQ(logged.find(text.substr(0, 513)), std::string::npos);
}

TEST_F(SessionStepTest, ReplyEndsAtAnEmbeddedTerminatorAndControlCharactersBecomeTildes) {
  deliver(frame(SelvomaPacket::COMMAND, STATION, std::string("network_code=AU\0junk", 20), 1));
  EXPECT_EQ(session.TEST_archive().getNetwork(), "AU");
  EXPECT_EQ(session.TEST_ssFile().getChars("network_code"), "AU");
  deliver(frame(SelvomaPacket::COMMAND, STATION, "custom_name=a\x01z", 2));
  EXPECT_EQ(session.TEST_ssFile().getChars("custom_name"), "a~z");
}

// One frame each: the state PROCESS leads to, the ACK written (or none) and
// a log line.
TEST_F(SessionStepTest, SingleFramesLeadToTheirStateAndAnswer) {
  const struct {
    uint8_t type;
    std::string payload;
    uint8_t seq;
    int state;  // -1: not checked
    int ack;    // number of the one ACK written; -1: nothing written
    const char* line;
  } cases[] = {
      {0x90, "abc", 12, -1, 12, "UNKNOWN(90)"},
      {SelvomaPacket::COMMAND, "system shutdown", 44, S::FINISH, 44, "SHUTDOWN [system shutdown]"},
      {SelvomaPacket::COMMAND, "nil", 1, -1, -1, nullptr},
      {SelvomaPacket::COMMAND, "ok", 2, -1, -1, nullptr},
      {SelvomaPacket::COMMAND, "station_name", 3, -1, 3, nullptr},  // too short: only acked
      {SelvomaPacket::REQUEST_FILE, std::string(100, 'f'), 4, S::READ, 4, nullptr},
      {SelvomaPacket::REQUEST_FILE, std::string(99, 'f'), 5, S::READ, -1, nullptr},
      {SelvomaPacket::FLASH, "block", 1, S::READ, -1, nullptr},
      {SelvomaPacket::LINK_INIT, "", 0, S::INIT_IDENTIFY, -1, nullptr},
      {SelvomaPacket::IDENT_NL, "", 0, S::INIT_LINK, -1, nullptr},
      {SelvomaPacket::IDENTIFY, "", 0, S::READ, -1, nullptr},
      {SelvomaPacket::ACK, "", 0, S::NEXT_REQUEST, -1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + c.payload.substr(0, 20));
    session.TEST_setState(S::READ);
    const int state = deliver(frame(c.type, STATION, c.payload, c.seq));
    if (c.state >= 0) {
      EXPECT_EQ(state, c.state);
    }
    auto out = written();
    if (c.ack < 0) {
      EXPECT_TRUE(out.empty());
    } else {
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].type, SelvomaPacket::ACK);
      EXPECT_EQ(out[0].seqNo, c.ack);
    }
    if (c.line != nullptr) {
      EXPECT_NE(logText().find(c.line), std::string::npos);
    }
  }
  EXPECT_EQ(logText().find("STATION_NAME"), std::string::npos);
}

TEST_F(SessionStepTest, SettingRepliesReachSettingsAndArchive) {
  EXPECT_EQ(deliver(frame(SelvomaPacket::COMMAND, STATION, "\"sitename\"=\"ABCD\"", 1)),
            S::NEXT_REQUEST);
  EXPECT_EQ(session.TEST_archive().getStation(), "ABCD");
  EXPECT_EQ(session.getStationLabel(), "ABCD.01000001");
  EXPECT_TRUE(isDir(dir.path() + "upload/ABCD.01000001"));
  EXPECT_TRUE(pathExists(dir.path() + "time/ABCD.01000001.last"));  // commands touch it
  deliver(frame(SelvomaPacket::COMMAND, STATION, "sitename=nil", 2));
  EXPECT_EQ(session.TEST_archive().getStation(), "ABCD");
  EXPECT_FALSE(session.TEST_ssFile().hasKey("sitename"));
  deliver(frame(SelvomaPacket::COMMAND, STATION, "location_id=10", 3));
  EXPECT_EQ(session.TEST_archive().getLocation(), "10");
}

TEST_F(SessionStepTest, SettingsChangedRestartsTheQueryCycle) {
  deliver(frame(SelvomaPacket::COMMAND, STATION, "Settings changed", 1));
  EXPECT_EQ(session.TEST_ssTimer().getIndex(), 0);
  EXPECT_NEAR(session.TEST_ssTimer().getNextTime(), time(nullptr) + 5, 1);
  EXPECT_EQ(written().size(), 1u);
}

TEST_F(SessionStepTest, FailedUploadReplyAbandonsUpload) {
  session.TEST_upload().addCommand("a");
  session.TEST_upload().addCommand("b");
  deliver(frame(SelvomaPacket::COMMAND, STATION, "rx status: 3", 1));
  EXPECT_FALSE(session.TEST_upload().isInProgress());
}

TEST_F(SessionStepTest, BadPacketIsAnsweredWithNackAndAnEmptyRequestFileIsNotSent) {
  EXPECT_EQ(deliver(frame(SelvomaPacket::BAD_PACKET, STATION, "", 9)), S::SEND);
  EXPECT_EQ(session.send(), S::READ);
  auto out = written();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, SelvomaPacket::NACK);
  EXPECT_EQ(out[0].seqNo, 9);
  session.TEST_outgoing().make(SelvomaPacket::REQUEST_FILE, 1, STATION, 0);
  EXPECT_EQ(session.send(), S::READ);
  EXPECT_TRUE(written().empty());
}

TEST_F(SessionStepTest, LinkDyingInsideAFrameFinishesWithoutRecoveryRequest) {
  std::string f = miniseedFrame(1, records[0]);
  io.feedAndPump(f.substr(0, 100));
  io.endOfStream();
  EXPECT_EQ(session.read(), S::FINISH);
  EXPECT_FALSE(session.TEST_upload().hasPackets());
}

// The orderly stop ends as a closed link does: the frame already read and
// the complete frames still in the ring are stored, the last one is
// acknowledged (data ACKs are thinned out here), an unfinished one is dropped.
TEST_F(SessionStepTest, StopStoresWhatWasReadAndAcknowledgesTheLastFrame) {
  setBuild(4559);
  io.feedAndPump(miniseedFrame(1, records[1]) + miniseedFrame(2, records[2]) +
                 miniseedFrame(3, records[3]) + miniseedFrame(4, records[4]).substr(0, 10));
  session.TEST_setState(session.read());
  session.requestStop();
  session.loop();
  auto out = written();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, SelvomaPacket::ACK);
  EXPECT_EQ(out[0].seqNo, 3);
  EXPECT_EQ(session.getLastAckedSeq(), 3);
  EXPECT_EQ(session.TEST_archive().getStation(), "JSC");
}

TEST_F(SessionStepTest, FailedWriteFinishes) {
  io.setWriteLimit(5);
  EXPECT_EQ(deliverMiniseed(1), S::FINISH);
}

TEST_F(SessionStepTest, LagIsLearnedEarlyFromTheFirstRecordAndKeptLater) {
  session.TEST_setLoopAgeSecs(0);
  deliverMiniseed(1);
  hptime_t end = session.TEST_received().getMiniseedEndTime();
  EXPECT_NEAR(session.getLag(), static_cast<long>(time(nullptr) - end / HPTMODULUS), 1);
  session.setLag(25);
  EXPECT_EQ(session.getLag(), 25);
  session.setLag(3);  // within the first 40 s every value counts
  EXPECT_EQ(session.getLag(), 3);
  session.TEST_setLoopAgeSecs(60);
  session.setLag(50);
  EXPECT_EQ(session.getLag(), 3);
  session.zero();
  session.setLag(50);  // not known any more: stored even late
  EXPECT_EQ(session.getLag(), 50);
}

TEST_F(SessionStepTest, SamplingRestartIsSentAfterWarmup) {
  session.TEST_setLoopAgeSecs(0);
  EXPECT_EQ(session.sendNextRequest(), S::NEXT_REQUEST);  // within 10 s: nothing queued
  EXPECT_FALSE(session.TEST_upload().hasPackets());
  session.TEST_setLoopAgeSecs(11);
  EXPECT_EQ(session.sendNextRequest(), S::READ);
  auto out = written();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(textOf(out[0]), "sampling 1");
  EXPECT_EQ(out[0].seqNo, 0);                        // the first frame the hub originates
  EXPECT_EQ(session.TEST_upload().numPackets(), 1);  // "sleep 10", a local pause
}

TEST_F(SessionStepTest, SettingQueriesWaitOnlyForFilesInTheUploadFolder) {
  std::string props = sessionProps();
  props.replace(props.find("settingcommands=0"), 17, "settingcommands=1");
  writeText(dir.file("vh.props"), props);
  initSession();
  deliver(frame(SelvomaPacket::COMMAND, STATION, "sitename=ABCD", 1));
  const std::string waiting = dir.path() + "upload/ABCD.01000001/a.pkt";
  writeText(waiting, "8A dir\n");
  session.TEST_setLoopAgeSecs(11);
  session.TEST_ssTimer().TEST_setClock([] { return time(nullptr) + 3600; });  // a query is due
  session.sendNextRequest();  // "sampling 1" goes out, "sleep 10" stays, the query waits
  EXPECT_EQ(session.TEST_upload().numPackets(), 1);
  removeFile(waiting);
  session.sendNextRequest();  // queued commands do not hold the query back
  EXPECT_EQ(session.TEST_upload().numPackets(), 2);
}

TEST(SessionLifeTest, FinishIsSafeWithoutInit) {
  SeisServerState session;
  session.finish();
  session.finish();
  EXPECT_EQ(session.getState(), SeisServerState::INIT_IDENTIFY);
}
