// One simulated instrument against a scripted hub on a loopback socket (and
// on a pseudo-terminal): identification, the data stream checked by
// libmseed, sequence numbers, acknowledgements, re-sending, setting queries,
// file requests and faults.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Card.h"
#include "FakeHub.h"
#include "Instrument.h"
#include "metadata/HistogramCsv.h"
#include "support/TestSupport.h"
#include "util/FileUtil.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint32_t kStation = 0x01000abc;

class InstrumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hub_.listening());
    config_.stationId = kStation;
    config_.station = "TST";
    config_.network = "ZZ";
    config_.location = "01";
    config_.channels = {"HHZ", "HHN", "HHE"};
    config_.sampleRate = 100;
    config_.port = hub_.port();
    config_.asFastAsPossible = true;
    config_.reconnectSeconds = 0;
  }

  // Starts the instrument and goes through the hub's opening (over the
  // pseudo-terminal when the config asks for one); with quietFirst, checks
  // that nothing comes before the hub's IDENTIFY.
  void startAndIdentify(bool quietFirst = false) {
    instrument_ = std::make_unique<Instrument>(config_);
    std::string error;
    ASSERT_TRUE(instrument_->start(&error)) << error;
    if (config_.usePty) {
      ASSERT_EQ(instrument_->ptyPath().rfind("/dev/pts/", 0), 0u) << instrument_->ptyPath();
      ASSERT_TRUE(hub_.openSerial(instrument_->ptyPath()));
    } else {
      ASSERT_TRUE(hub_.accept(seconds(5)));
    }
    SelvomaPacket p;
    if (quietFirst) {
      EXPECT_EQ(hub_.next(&p, milliseconds(300)), PacketReaderWriter::READ_NOTHING);
    }
    uint32_t id = 0;
    ASSERT_TRUE(hub_.identify(&id));
    EXPECT_EQ(id, kStation);
  }

  // Hands the instrument a control command, as a control line would.
  void post(ControlCommand::Kind kind, int number = 0, const std::string& text = "") {
    ControlCommand c;
    c.kind = kind;
    c.number = number;
    c.text = text;
    instrument_->post(c);
  }

  // The file parts of the reply to a file request up to the empty end piece
  // (or part 0), appended to *parts; false on a time-out.
  bool fileParts(const std::string& path, uint8_t seq, std::vector<FilePart>* parts) {
    if (!hub_.sendText(SelvomaPacket::REQUEST_FILE, path, seq)) return false;
    for (;;) {
      SelvomaPacket p;
      FilePart part;
      if (!hub_.waitFor(SelvomaPacket::FILE_PART, &p, seconds(5)) || !p.getFilePart(&part)) {
        return false;
      }
      parts->push_back(part);
      if (part.data.empty() || part.partNumber == 0) return true;
    }
  }

  // The next n MINISEED frames (other frames are skipped).
  std::vector<SelvomaPacket> data(size_t n) {
    std::vector<SelvomaPacket> frames;
    SelvomaPacket p;
    while (frames.size() < n && hub_.waitFor(SelvomaPacket::MINISEED, &p, seconds(5))) {
      frames.push_back(p);
    }
    return frames;
  }

  void TearDown() override {
    if (instrument_) {
      instrument_->requestStop();
      instrument_->join();
    }
    hub_.closeLink();
  }

  TempDir dir_;
  ScopedBaseDir base_{dir_.path()};
  FakeHub hub_;
  InstrumentConfig config_;
  std::unique_ptr<Instrument> instrument_;
};

TEST_F(InstrumentTest, NoDataBeforeLinkInitAndValidRecordsAfterIt) {
  startAndIdentify(true);  // before the hub's IDENTIFY the instrument waits silently
  std::vector<SelvomaPacket> frames = data(60);
  ASSERT_EQ(frames.size(), 60u);
  std::map<std::string, hptime_t> nextStart;
  for (SelvomaPacket& f : frames) {
    EXPECT_EQ(f.sourceId, kStation);
    EXPECT_EQ(f.destId, kHubId);
    ASSERT_EQ(f.payloadLen(), SIM_RECORD_LENGTH);
    MSRecord* raw = nullptr;
    ASSERT_EQ(
        msr_parse(reinterpret_cast<char*>(f.payload()), f.payloadLen(), &raw, f.payloadLen(), 1, 0),
        MS_NOERROR);
    MsRecordPtr msr(raw);
    EXPECT_STREQ(msr->network, "ZZ");
    EXPECT_STREQ(msr->station, "TST");
    EXPECT_STREQ(msr->location, "01");
    EXPECT_DOUBLE_EQ(msr->samprate, 100.0);
    EXPECT_EQ(msr->encoding, DE_STEIM2);
    EXPECT_EQ(msr->numsamples, msr->samplecnt);
    std::string channel = msr->channel;
    if (nextStart.count(channel)) {
      EXPECT_EQ(msr->starttime, nextStart[channel]) << channel;
    }
    nextStart[channel] = msr->starttime + msr->samplecnt * HPTMODULUS / 100;
  }
  EXPECT_EQ(nextStart.size(), 3u);  // all three channels streamed
}

TEST_F(InstrumentTest, RealTimeSendsTheBacklogAtOnceAndNoFutureData) {
  config_.asFastAsPossible = false;
  config_.backlogSeconds = 12;
  startAndIdentify();
  hptime_t started = static_cast<hptime_t>(time(nullptr) - 12) * HPTMODULUS;
  // About 3 s per record and channel: three channels of 12 s are at least 9 records.
  auto begin = std::chrono::steady_clock::now();
  std::vector<SelvomaPacket> frames = data(9);
  ASSERT_EQ(frames.size(), 9u);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, seconds(2));  // not paced out
  for (SelvomaPacket& f : frames) {
    hptime_t now = static_cast<hptime_t>(time(nullptr) + 1) * HPTMODULUS;
    EXPECT_LE(Miniseed::getEndTime(f.payload()), now);
    EXPECT_GE(Miniseed::getStartTime(f.payload()), started - HPTMODULUS);
  }
}

TEST_F(InstrumentTest, SequenceNumbersWrapAcksAreCountedAndNacksResend) {
  config_.records = 300;
  startAndIdentify();
  std::vector<SelvomaPacket> frames = data(300);
  ASSERT_EQ(frames.size(), 300u);
  for (size_t i = 1; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].seqNo, static_cast<uint8_t>(frames[i - 1].seqNo + 1)) << i;
  }
  EXPECT_EQ(frames[256].seqNo, frames[0].seqNo);  // 255 went on to 0
  // A hub with the 1-in-100 rule acknowledges three of them.
  for (int i : {99, 199, 299}) ASSERT_TRUE(hub_.send(SelvomaPacket::ACK, frames[i].seqNo));
  EXPECT_TRUE(waitFor([&] { return instrument_->acks() == 3; }, seconds(5)));
  EXPECT_EQ(instrument_->nacks(), 0u);
  EXPECT_GE(instrument_->framesSent(), 302u);  // IDENTIFY, LINK_INIT and the data
  // A NACK re-sends from the named frame on, under fresh numbers.
  ASSERT_TRUE(hub_.send(SelvomaPacket::NACK, frames[294].seqNo));
  std::vector<SelvomaPacket> again = data(6);
  ASSERT_EQ(again.size(), 6u);
  for (size_t i = 0; i < again.size(); ++i) {
    EXPECT_EQ(payloadText(again[i]), payloadText(frames[294 + i])) << i;
  }
  EXPECT_EQ(again[0].seqNo, static_cast<uint8_t>(frames[299].seqNo + 1));
  EXPECT_TRUE(
      waitFor([&] { return instrument_->nacks() == 1 && instrument_->resent() == 6; }, seconds(5)));
}

TEST_F(InstrumentTest, StreamCommandResendsTheLastSecondsAndIsAcknowledged) {
  config_.records = 30;
  startAndIdentify();
  std::vector<SelvomaPacket> frames = data(30);
  ASSERT_EQ(frames.size(), 30u);
  hptime_t newest = 0;
  for (SelvomaPacket& f : frames) newest = std::max(newest, Miniseed::getEndTime(f.payload()));
  std::vector<std::string> expected;
  for (SelvomaPacket& f : frames) {
    if (Miniseed::getEndTime(f.payload()) > newest - 4 * HPTMODULUS) {
      expected.push_back(payloadText(f));
    }
  }
  ASSERT_FALSE(expected.empty());
  ASSERT_LT(expected.size(), frames.size());
  ASSERT_TRUE(hub_.sendText(SelvomaPacket::COMMAND, "stream 4", 17));
  SelvomaPacket ack;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::ACK, &ack, seconds(5)));
  EXPECT_EQ(ack.seqNo, 17);
  std::vector<SelvomaPacket> again = data(expected.size());
  ASSERT_EQ(again.size(), expected.size());
  for (size_t i = 0; i < again.size(); ++i) EXPECT_EQ(payloadText(again[i]), expected[i]) << i;
  EXPECT_EQ(instrument_->commands(), 1u);
}

TEST_F(InstrumentTest, SleepCommandPausesData) {
  config_.records = 400;
  startAndIdentify();
  ASSERT_EQ(data(5).size(), 5u);
  ASSERT_TRUE(hub_.sendText(SelvomaPacket::COMMAND, "sleep 2", 3));
  SelvomaPacket ack;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::ACK, &ack, seconds(5)));
  auto acked = std::chrono::steady_clock::now();
  // Frames sent before the ACK came before it; the next one waits out the sleep.
  SelvomaPacket p;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::MINISEED, &p, seconds(5)));
  EXPECT_GE(std::chrono::steady_clock::now() - acked, milliseconds(1800));
}

TEST_F(InstrumentTest, SettingQueriesAreAnsweredAndUnknownKeysGiveNil) {
  config_.buildNumber = 4500;
  config_.records = 1;
  startAndIdentify();
  struct Case {
    const char* query;
    const char* reply;
  } cases[] = {{"? \"sitename\"", "\"sitename\"=\"TST\""},
               {"? \"build_number\"", "\"build_number\"=4500"},
               {"? \"network_code\"", "\"network_code\"=\"ZZ\""},
               {"? \"sampling_rate\"", "\"sampling_rate\"=100"},
               {"last_peak 0", "\"last_peak 0\"=\"0.0012 m/s "},
               {"gain_A_0=2", "\"gain_A_0\"=2"}};
  uint8_t seq = 40;
  for (const Case& c : cases) {
    ASSERT_TRUE(hub_.sendText(SelvomaPacket::COMMAND, c.query, seq++));
    SelvomaPacket reply;
    ASSERT_TRUE(hub_.waitFor(SelvomaPacket::COMMAND, &reply, seconds(5))) << c.query;
    EXPECT_EQ(payloadText(reply).rfind(c.reply, 0), 0u) << c.query << " -> " << payloadText(reply);
  }
  ASSERT_TRUE(hub_.sendText(SelvomaPacket::COMMAND, "? \"no_such\"", seq++));
  SelvomaPacket reply;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::COMMAND, &reply, seconds(5)));
  // The hub's reader turns the bare "nil" into key=nil.
  EXPECT_NE(payloadText(reply).find("no_such"), std::string::npos) << payloadText(reply);
  EXPECT_NE(payloadText(reply).find("=nil"), std::string::npos) << payloadText(reply);
  EXPECT_EQ(instrument_->commands(), 7u);
}

TEST_F(InstrumentTest, RequestFileSendsPiecesAndAnEndPieceOrPartZero) {
  config_.cardDir = dir_.path() + "card";
  config_.records = 1;
  std::vector<uint8_t> real;
  ASSERT_GT(readFile(testData("CO.JSC.00.HHZ.100sps.steim2.mseed"), real), 0);
  const std::string msPath = "/data/2016/09/21/13/2016-09-21 1348 00 TST.ms";
  mkdirs(config_.cardDir + msPath, false);
  writeText(config_.cardDir + msPath, std::string(real.begin(), real.end()));
  startAndIdentify();

  // A miniSEED minute: one record per piece, numbered from 1, then an empty end piece.
  std::vector<FilePart> parts;
  ASSERT_TRUE(fileParts(msPath, 1, &parts));
  std::string assembled;
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].partNumber, i + 1);
    EXPECT_EQ(parts[i].data.size(), i + 1 < parts.size() ? Miniseed::RECORD_LENGTH : 0u);
    assembled.append(parts[i].data.begin(), parts[i].data.end());
  }
  EXPECT_EQ(assembled, std::string(real.begin(), real.end()));

  // The settings file, in pieces of up to 1024 bytes, reads as settings lines.
  parts.clear();
  ASSERT_TRUE(fileParts("/settings.ss", 2, &parts));
  std::string settings;
  for (const FilePart& part : parts) {
    EXPECT_LE(part.data.size(), FILE_PART_MAX_DATA);
    settings.append(part.data.begin(), part.data.end());
  }
  EXPECT_NE(settings.find("\"sitename\"=\"TST\"\n"), std::string::npos);

  // Missing files and paths outside the card: part 0 with at most 9 bytes.
  for (const char* missing : {"/data/2001/01/01/00/2001-01-01 0000 00 TST.ms", "/../secret"}) {
    parts.clear();
    ASSERT_TRUE(fileParts(missing, 3, &parts));
    ASSERT_EQ(parts.size(), 1u) << missing;
    EXPECT_EQ(parts[0].partNumber, 0) << missing;
    EXPECT_LE(parts[0].data.size(), FILE_PART_MISSING_MAX_DATA) << missing;
  }
  EXPECT_EQ(instrument_->requests(), 4u);

  // Today's histogram file passes the hub's check, and "del" removes it.
  const std::string histogram = Card::histogramPath(time(nullptr));
  parts.clear();
  ASSERT_TRUE(fileParts(histogram, 4, &parts));
  std::string csv;
  for (const FilePart& part : parts) csv.append(part.data.begin(), part.data.end());
  const HistogramCsv check =
      checkHistogramCsv(reinterpret_cast<const uint8_t*>(csv.data()), csv.size());
  EXPECT_TRUE(check.ok) << check.error << "\n" << csv;
  ASSERT_TRUE(hub_.sendText(SelvomaPacket::COMMAND, "del " + histogram, 5));
  SelvomaPacket ack;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::ACK, &ack, seconds(5)));
  parts.clear();
  ASSERT_TRUE(fileParts(histogram, 6, &parts));
  EXPECT_EQ(parts.front().partNumber, 0);
}

TEST_F(InstrumentTest, RequestFileTimeNamesRecordedMinutesOrNull) {
  config_.cardDir = dir_.path() + "card";
  config_.prefillSeconds = 180;
  config_.records = 1;
  startAndIdentify();
  time_t earlier = time(nullptr) - 120;
  char text[32];
  struct tm tm;
  gmtime_r(&earlier, &tm);
  strftime(text, sizeof text, "%Y-%m-%d %H%M %S", &tm);
  ASSERT_TRUE(hub_.sendText(SelvomaPacket::REQUEST_FILE_TIME, text, 5));
  SelvomaPacket p;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::RESPONSE_FILE_NAME, &p, seconds(5)));
  EXPECT_EQ(payloadText(p), Card::minutePath(earlier, "TST"));
  EXPECT_TRUE(isFile(config_.cardDir + payloadText(p)));

  ASSERT_TRUE(hub_.sendText(SelvomaPacket::REQUEST_FILE_TIME, "2001-01-01 0000 00", 6));
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::RESPONSE_FILE_NAME, &p, seconds(5)));
  EXPECT_EQ(payloadText(p), "null");
}

TEST_F(InstrumentTest, InjectedFaultsFailTheHubsChecksAndTheStreamGoesOn) {
  config_.records = 3;
  startAndIdentify();
  ASSERT_EQ(data(3).size(), 3u);
  SelvomaPacket p;

  post(ControlCommand::BADCHECK);
  post(ControlCommand::TRIGGER, 2);  // goes out with the bad check word
  ASSERT_EQ(hub_.next(&p, seconds(5)), PacketReaderWriter::READ_FAILED);
  EXPECT_EQ(p.type, SelvomaPacket::TRIGGER);  // the frame was read whole
  EXPECT_FALSE(p.checkXOR());

  post(ControlCommand::FOREIGN);
  ASSERT_EQ(hub_.next(&p, seconds(5)), PacketReaderWriter::READ_FAILED);
  EXPECT_EQ(p.type, SelvomaPacket::BAD_PACKET);  // a foreign station id

  post(ControlCommand::GARBAGE, 50);
  post(ControlCommand::COMMAND, 0, "Settings changed");
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::COMMAND, &p, seconds(5)));
  EXPECT_EQ(payloadText(p), "Settings changed");

  post(ControlCommand::TRIGGER, 3);
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::TRIGGER, &p, seconds(5)));
  SelTrigger t;
  ASSERT_TRUE(p.getSelTrigger(&t));
  EXPECT_EQ(t.alarmType, 3);
  EXPECT_EQ(t.channelMask, 0x07);
  EXPECT_LE(std::labs(static_cast<long>(SelvomaPacket::selTimeToTime_t(t.time) - time(nullptr))),
            2);
}

TEST_F(InstrumentTest, BadFrameFromTheHubIsNackedAndDisconnectReconnects) {
  config_.records = 1;
  config_.reconnectSeconds = 1;
  startAndIdentify();
  // A COMMAND whose check word is wrong: built by hand and written raw.
  SelvomaPacket c;
  c.make(SelvomaPacket::COMMAND, kHubId, kStation, 77, "sampling 1");
  uint8_t bytes[64];
  size_t n = c.toBytes(bytes, sizeof bytes);
  bytes[n - 1] ^= 0x5A;
  ASSERT_EQ(hub_.link()->write(bytes, static_cast<int>(n)), static_cast<int>(n));
  SelvomaPacket p;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::NACK, &p, seconds(5)));
  EXPECT_EQ(p.seqNo, 77);
  EXPECT_EQ(instrument_->badFrames(), 1u);

  post(ControlCommand::DISCONNECT);
  EXPECT_TRUE(waitFor([&] { return hub_.link()->available() < 0; }, seconds(5)));
  hub_.closeLink();
  ASSERT_TRUE(hub_.accept(seconds(5)));  // back after the reconnect pause
  uint32_t id = 0;
  EXPECT_TRUE(hub_.identify(&id) && id == kStation);
}

TEST_F(InstrumentTest, NackAndFrameCommandsSendBareFramesAndOnlyFramesTakeADataNumber) {
  config_.records = 3;
  startAndIdentify();
  std::vector<SelvomaPacket> frames = data(3);
  ASSERT_EQ(frames.size(), 3u);
  uint8_t next = SelvomaPacket::incrementSeqNo(frames[2].seqNo);

  post(ControlCommand::NACK, 10);
  SelvomaPacket p;
  ASSERT_EQ(hub_.next(&p, seconds(5)), PacketReaderWriter::READ_PACKET);
  EXPECT_EQ(p.type, SelvomaPacket::NACK);
  EXPECT_EQ(p.seqNo, 10);
  EXPECT_EQ(p.sourceId, kStation);
  EXPECT_EQ(p.destId, kHubId);
  EXPECT_EQ(p.payloadLen(), 0);

  post(ControlCommand::FRAME, 0x90);
  ASSERT_EQ(hub_.next(&p, seconds(5)), PacketReaderWriter::READ_PACKET);
  EXPECT_EQ(p.type, 0x90);
  EXPECT_EQ(p.seqNo, next);  // the NACK took no number
  EXPECT_EQ(p.payloadLen(), 0);

  post(ControlCommand::TRIGGER, 1);
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::TRIGGER, &p, seconds(5)));
  EXPECT_EQ(p.seqNo, SelvomaPacket::incrementSeqNo(next));  // the frame took one
}

TEST_F(InstrumentTest, PseudoTerminalCarriesTheExchange) {
  config_.usePty = true;
  config_.records = 2;
  startAndIdentify();
  SelvomaPacket p;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::MINISEED, &p, seconds(5)));
  EXPECT_EQ(p.payloadLen(), SIM_RECORD_LENGTH);
  ASSERT_TRUE(hub_.send(SelvomaPacket::ACK, p.seqNo));
  EXPECT_TRUE(waitFor([&] { return instrument_->acks() == 1; }, seconds(5)));
}

TEST_F(InstrumentTest, PseudoTerminalOutlivesAHubThatDoesNotRead) {
  config_.usePty = true;
  config_.identify = false;  // streams at once, into a line nobody reads
  config_.records = 400;
  instrument_ = std::make_unique<Instrument>(config_);
  std::string error;
  ASSERT_TRUE(instrument_->start(&error)) << error;
  // The line fills up and stays full longer than the write bound.
  std::this_thread::sleep_for(milliseconds(LINK_WRITE_TIMEOUT_MS + 700));
  EXPECT_FALSE(instrument_->finished());
  ASSERT_TRUE(hub_.openSerial(instrument_->ptyPath()));
  SelvomaPacket p;
  ASSERT_TRUE(hub_.waitFor(SelvomaPacket::MINISEED, &p, seconds(5)));
  EXPECT_EQ(p.sourceId, kStation);
}

}  // namespace
