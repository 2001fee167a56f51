// The session's side of the file retrieval: gaps taken from the store become
// requests (histograms of mode 1, client minutes, named files), the stored
// histogram is deleted on the instrument, and the instrument's "no file" and
// "no sd card" answers end a download.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gaps/Gapses.h"
#include "session/SessionTestSupport.h"
#include "util/Dirs.h"
#include "util/TimeUtil.h"

namespace {

using S = SeisServerState;

FilePart piece(uint16_t number, const std::string& data) {
  FilePart p;
  p.partNumber = number;
  p.data.assign(data.begin(), data.end());
  return p;
}

class SessionFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeText(dir.file("vh.props"),
              sessionProps() + "histogramenabled=1\nhistogramarchive=hist/%S/%Y%M%D_%H%m_%S.csv\n");
    vhProps.read(dir.file("vh.props"));
    ASSERT_TRUE(session.init(&io, &vhProps, &gapses, &log));
    mono = session.monoMs();
    session.TEST_setMonoClock([this] { return mono; });
    session.TEST_setLoopAgeSecs(GAP_CHECK_WARMUP_SECS + 1);
    session.TEST_archive().setNetLocStn("CO.00.JSC", STATION);
    deliver(frame(SelvomaPacket::COMMAND, STATION, "ok", 1));  // the instrument is known
    io.takeWritten();
  }
  ~SessionFilesTest() override {
    log.flush();
    system(("cat " + dir.path() + "log/*").c_str());
    MinuteZip::waitAll(std::chrono::seconds(30));
  }

  void deliver(const std::string& bytes) {
    session.TEST_setState(S::READ);
    io.feedAndPump(bytes);
    ASSERT_EQ(session.read(), S::PROCESS);
    session.process(true);
  }
  // One gap check, a second after the one before.
  void checkGaps() {
    mono += 1000;
    session.checkForGapRequest();
  }
  std::string nextRequest() {
    std::unique_ptr<SelvomaPacket> p = session.readOldestRequest();
    return p ? textOf(*p) : "(none)";
  }
  std::string label() { return session.TEST_archive().getStationWithId(); }
  bool logHas(const std::string& text) {
    log.flush();
    for (const std::string& name : listDir(dir.path() + "log/")) {
      if (readText(dir.path() + "log/" + name).find(text) != std::string::npos) return true;
    }
    return false;
  }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  ScopedBaseDir base{dir.path()};
  VhProps vhProps;
  Log log{"sess"};
  MemoryIO io;
  Gapses gapses{&log};
  int64_t mono = 0;         // the session's monotonic clock, ms
  SeisServerState session;  // after the gap store: it leaves its slot when it ends
};

}  // namespace

TEST_F(SessionFilesTest, InstrumentHistogramIsFetchedStoredAndThenDeletedByItsOwnDay) {
  ASSERT_EQ(label(), "JSC.01000001");
  // The schedule makes a REQHIS gap once the nice time has come.
  session.TEST_histogram().TEST_setClock([] { return time(nullptr) + 3600; });
  session.maybeRequestHistogramFile();
  EXPECT_NE(gapses.getGaps(label())->peekAgest(Gap::REQHIS, true), nullptr);

  // A request of 00:02 asks for (and later deletes) the day before.
  const time_t t = (time(nullptr) - 3600) / 86400 * 86400 + 120;
  const std::string path = "/histogram/" + formatUtc(t - 86400, "%Y-%m-%d") + ".csv";
  ASSERT_TRUE(gapses.addHistogram(label(), t, nullptr));
  checkGaps();
  EXPECT_EQ(nextRequest(), path);
  EXPECT_TRUE(logHas("REQUESTING HISTOGRAM: [" + formatUtc(t, "%Y%m%d_%H%M_%S") + "][" + path));
  const std::string csv = "\"datetime\",\"Voltage\"\n2021-04-05 10:00:00,12.4\n";
  DremoFiles& files = session.TEST_dremoFiles();
  files.add(piece(1, csv));
  files.add(piece(2, ""));
  files.doAction();
  EXPECT_EQ(readText("hist/JSC/" + formatUtc(t, "%Y%m%d_%H%M") + "_JSC.csv"), csv);
  checkGaps();
  EXPECT_TRUE(session.TEST_upload().containsCommand("del " + path));

  // A file that fails the check stays on the instrument.
  session.TEST_upload().clearPackets();
  session.sendHistogramRequest(t);
  files.add(piece(1, "<html>\n"));
  files.add(piece(2, ""));
  files.doAction();
  EXPECT_TRUE(logHas("Histogram [" + path + "] refused: bad header (line 1)"));
  checkGaps();
  EXPECT_FALSE(session.TEST_upload().hasPackets());

  // An instrument from 0x3000000 on is never asked for its histogram.
  deliver(frame(SelvomaPacket::COMMAND, HISTOGRAM_ID_LIMIT, "ok", 9));
  session.TEST_histogram().TEST_setClock([] { return time(nullptr) + 7200; });
  session.maybeRequestHistogramFile();
  EXPECT_EQ(gapses.getGaps("JSC.03000000")->peekAgest(Gap::REQHIS, true), nullptr);
}

TEST_F(SessionFilesTest, ClientMinutesAndNamedFilesAreAskedForAndMissingFilesEndTheDownload) {
  const time_t minute = time(nullptr) / 60 * 60 - 900;
  DremoFiles& files = session.TEST_dremoFiles();
  session.requestTime(minute);
  checkGaps();
  EXPECT_TRUE(logHas("Start download REQUEST"));
  files.doAction();
  EXPECT_EQ(nextRequest(), files.timeToPath(minute));
  deliver(frame(SelvomaPacket::FILE_PART, STATION, std::string(2, '\0') + "none", 2));
  EXPECT_TRUE(files.isIdle());
  EXPECT_TRUE(logHas("backfill fail | " + files.timeToPath(minute) + " | no file"));

  files.requestFilename(minute);
  EXPECT_EQ(nextRequest(), formatUtc(minute, "%Y-%m-%d %H%M 00"));
  deliver(frame(SelvomaPacket::RESPONSE_FILE_NAME, STATION, "no sd card", 3));
  EXPECT_TRUE(files.isIdle());
  EXPECT_TRUE(logHas(" | no sd card"));

  // "vftp_get" from the instrument (or a local packet file): its folder is
  // taken below the station's download folder.
  deliver(frame(SelvomaPacket::COMMAND, STATION, "vftp_get /logs/a.txt,../../out", 4));
  std::unique_ptr<Gap> gap = gapses.getGaps(label())->peekAgest(Gap::DLFILE, true);
  ASSERT_NE(gap, nullptr);
  files.requestFile(gap->text1(), gap->text2());  // the gap's action, once it is due
  EXPECT_EQ(nextRequest(), "/logs/a.txt");
  EXPECT_EQ(files.getDestinationPath(), DOWNLOAD_DIR + label() + "/out/a.txt");
}
