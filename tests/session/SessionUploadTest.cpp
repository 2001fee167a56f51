// What a session sends besides data requests: files an instrument asks for
// (REQUEST_FILE), the upload folder's files and firmware blocks.
#include <gtest/gtest.h>

#include <string>

#include "gaps/Gaps.h"
#include "gaps/Gapses.h"
#include "session/SeisServerState.h"
#include "session/SessionTestSupport.h"
#include "util/Dirs.h"
#include "waveform/Zipper.h"

namespace {

using S = SeisServerState;

class SessionUploadTest : public SessionFixture {
 protected:
  explicit SessionUploadTest(const std::string& props = sessionProps()) : SessionFixture(props) {}
  void SetUp() override {
    initSession();
    session.TEST_setState(S::READ);
  }
  int deliver(const std::string& bytes) {
    io.feedAndPump(bytes);
    EXPECT_EQ(session.read(), S::PROCESS);
    return session.process(true);
  }
  // One send decision after the warm-up, and the frames it wrote.
  std::vector<SelvomaPacket> decide() {
    session.TEST_setLoopAgeSecs(SEND_WARMUP_SECS + 1);
    if (session.sendNextRequest() == S::SEND) session.send();
    return written();
  }
  void nameStation() {
    deliver(frame(SelvomaPacket::COMMAND, STATION, "\"sitename\"=\"ABCD\"", 1));
    io.takeWritten();
  }
};

TEST_F(SessionUploadTest, RequestedFileGoesInLinkSizedPartsOnePerDecision) {
  writeText(dir.file("x.bin"), std::string(20000, 'q'));
  session.uploadRequestedFile(dir.file("x.bin"), "STATUS");
  ASSERT_EQ(session.numPendingFileParts(), 12u);
  std::vector<FilePart> parts;
  for (int turn = 0; turn < 200 && session.numPendingFileParts() > 0; ++turn) {
    std::vector<SelvomaPacket> out = decide();
    int fileParts = 0;
    for (const SelvomaPacket& p : out) {
      if (p.type != SelvomaPacket::FILE_PART) continue;
      ++fileParts;
      EXPECT_LE(p.payloadLen(), static_cast<int>(LINK_PAYLOAD_MAX));
      FilePart part;
      ASSERT_TRUE(p.getFilePart(&part));
      part.data.assign(p.payload() + 2, p.payload() + p.payloadLen());
      parts.push_back(part);
    }
    EXPECT_LE(fileParts, 1);
  }
  ASSERT_EQ(parts.size(), 12u);
  EXPECT_EQ(parts[0].partNumber, 0);
  EXPECT_EQ(std::string(parts[0].data.begin(), parts[0].data.end()),
            "INFO:bytes=20000,filename=x.bin,type=STATUS");
  size_t bytes = 0;
  for (int i = 1; i <= 10; ++i) {
    EXPECT_EQ(parts[i].partNumber, i);
    EXPECT_EQ(parts[i].data.size(), i < 10 ? REQUESTED_PART_DATA : 20000 - 9 * REQUESTED_PART_DATA);
    bytes += parts[i].data.size();
  }
  EXPECT_EQ(bytes, 20000u);
  EXPECT_EQ(parts[11].partNumber, 12);  // two above the last data part
  EXPECT_TRUE(parts[11].data.empty());
}

TEST_F(SessionUploadTest, InstrumentRequestsAreAnsweredOrRelayed) {
  for (const char* folder : {"SIM.01000001/", "SIMX.01000002/"}) {
    mkdirs(DOWNLOAD_DIR + folder, true);
    writeText(DOWNLOAD_DIR + folder + "settings.ss", "{\"a\":1}\n");
  }
  const struct {
    const char* request;
    size_t parts;      // pending parts afterwards
    const char* info;  // the information part ends so, or null
  } cases[] = {
      {"SIM.ss", 3, "INFO:bytes=8,filename=settings.ss,type=STATUS"},
      {"NONE.ss", 1, nullptr},  // no such station: the end part only
      {"../etc.ss", 0, nullptr},
      {"TOOLONG.ss", 0, nullptr},
      {"sites", 3, "INFO:bytes=1,filename=sites,type=SITES"},
      {"sites network=../x", 3, "INFO:bytes=1,filename=sites,type=SITES"},
      {"WAVE=202104052345,1,SIM", 3, "filename=20210405_2345.0001min.zip,type=WAVE"},
      {"WAVE=202301020304,2,ABC", 1, nullptr},  // no such station
      {"WAVE=202113020304,2,", 1, nullptr},     // month 13
      {"WAVE=202301020304,2,../SIM.01000001", 1, nullptr},
      {"sites time=2021-04-05 2345 00", 3, "filename=siteinfos,type=SITES"},
      {"SRC=ABCD,data/2023/file.ms", 0, nullptr},
  };
  uint8_t seq = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(deliver(frame(SelvomaPacket::REQUEST_FILE, STATION, c.request, seq++)), S::READ);
    ASSERT_EQ(session.numPendingFileParts(), c.parts);
    if (c.parts == 0) continue;
    // Queued commands ("sampling 1" after the warm-up) may go first.
    std::vector<SelvomaPacket> out;
    for (int turn = 0; turn < 5 && (out.empty() || out.back().type != SelvomaPacket::FILE_PART);
         ++turn) {
      out = decide();
    }
    ASSERT_FALSE(out.empty());
    const SelvomaPacket& first = out.back();
    ASSERT_EQ(first.type, SelvomaPacket::FILE_PART);
    if (c.info != nullptr) {
      const std::string info = first.textPayload(2, 200);
      EXPECT_EQ(info.substr(info.size() - std::min(info.size(), strlen(c.info))), c.info) << info;
    } else {
      EXPECT_EQ(first.payloadLen(), 2);
      EXPECT_EQ(first.payload()[0], 1);
    }
  }
  EXPECT_TRUE(pathExists(DOWNLOAD_DIR + "_._x/sites"));  // the network stays below downloads
  EXPECT_EQ(readText(DOWNLOAD_DIR + "siteinfos").substr(0, 16), "2021-04-05 2345\n");
  EXPECT_EQ(readText(dir.path() + "transactions/request/ABCD.00000000"), "86-/data/2023/file.ms\n");
}

TEST_F(SessionUploadTest, UploadCutOffIsSentWholeByTheNextSession) {
  nameStation();
  const std::string folder = dir.path() + "upload/ABCD.01000001/";
  writeText(folder + "f.dat", std::string(2000, 'd'));
  // The queued "sleep 10" pauses the queue for a second of the upload's clock.
  int64_t nowMs = 1000000;
  session.TEST_upload().TEST_setClock([&nowMs] { return nowMs; });
  session.TEST_setMonoClock([&nowMs] { return nowMs; });
  for (int turn = 0; turn < 10 && !pathExists(folder + "f.dat.sent.00"); ++turn) {
    nowMs += 2000;
    decide();
  }
  ASSERT_TRUE(pathExists(folder + "f.dat.sent.00"));
  session.finish();
  EXPECT_EQ(readText(folder + "f.dat"), std::string(2000, 'd'));
  EXPECT_NE(logText().find("Upload unfinished: [" + folder + "f.dat]"), std::string::npos);
  EXPECT_EQ(readText(DOWNLOAD_DIR + "ABCD.01000001/activity/activity"), "closed");
}

TEST_F(SessionUploadTest, RequestFilesBecomeRequestsAndDownloads) {
  Gapses gaps;
  ASSERT_TRUE(session.init(&io, &vhProps, &gaps, &log));
  session.TEST_setState(S::READ);
  nameStation();
  const std::string request = dir.path() + "transactions/request/";
  writeText(request + "job_01000001.txt", "8A sampling 1\n86 /data/x.ms\n");
  writeText(request + "XABCD.00000000", "8A not for us\n");
  touchFile(request + "job_01000001.txt", 5);
  std::unique_ptr<SelvomaPacket> first = session.readOldestRequest();
  ASSERT_TRUE(first);
  EXPECT_EQ(textOf(*first), "sampling 1");
  EXPECT_EQ(first->destId, STATION);
  EXPECT_FALSE(session.readOldestRequest());
  EXPECT_FALSE(pathExists(request + "job_01000001.txt"));
  EXPECT_TRUE(pathExists(request + "XABCD.00000000"));
  // The file is fetched into the station's "requested" folder.
  const std::vector<Gap> list = gaps.getGaps("ABCD.01000001")->getList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].action(), Gap::DLFILE);
  EXPECT_EQ(list[0].text1(), "/data/x.ms");
  EXPECT_EQ(list[0].text2(), REQUESTED_FOLDER);
  session.finish();
}

class SessionFlashTest : public SessionUploadTest {
 protected:
  SessionFlashTest()
      : SessionUploadTest(sessionProps() + "flashenabled=1\nflashinterval=60000\n") {}
};

TEST_F(SessionFlashTest, BlocksGoFirstAndTheNextOnlyAfterAnAnswer) {
  nameStation();
  writeText(dir.path() + "upload/ABCD.01000001/Selvoma.bin",
            std::string(static_cast<size_t>(FLASH_IMAGE_MIN), 'i'));
  std::vector<SelvomaPacket> out = decide();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(textOf(out[0]), "sampling 0");
  // No answer yet: nothing at all goes out, not even the queued commands.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(decide().empty());
  deliver(frame(SelvomaPacket::COMMAND, STATION, "flash_write 0 ok", 2));
  io.takeWritten();
  out = decide();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, SelvomaPacket::FLASH);
  EXPECT_EQ(out[0].payload()[0], 0);
  EXPECT_EQ(out[0].seqNo, 1);
}

}  // namespace
