// The packet archive against real records (CO.JSC 100 sps, BW.BGLD 200 sps
// with gaps) and hand-made variants of them: minute files read back with
// libmseed, batches, the repeat window, sanity rejections, GAP lines, the
// finished-minute hand-over, the time file, restart and trigger gaps, and
// hostile station codes.
#include <gtest/gtest.h>
#include <libmseed.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "archive/ActivityFiles.h"
#include "archive/PacketArchive.h"
#include "gaps/GapTestSupport.h"
#include "gaps/Gapses.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "waveform/Miniseed.h"

namespace {

constexpr uint32_t SERIAL = 0x01000001;
constexpr size_t REC = Miniseed::RECORD_LENGTH;

using Record = std::vector<uint8_t>;

std::vector<Record> recordsOf(const std::string& name) {
  std::vector<uint8_t> bytes;
  readFile(testData(name), bytes);
  std::vector<Record> out;
  for (size_t at = 0; at + REC <= bytes.size(); at += REC) {
    out.emplace_back(bytes.begin() + at, bytes.begin() + at + REC);
  }
  return out;
}

void putBE16(Record& r, size_t at, int value) {
  r[at] = static_cast<uint8_t>((value >> 8) & 0xff);
  r[at + 1] = static_cast<uint8_t>(value & 0xff);
}
// Records of these files are big-endian.
void setRate(Record& r, int factor, int multiplier = 1) {
  putBE16(r, Miniseed::OFF_RATE_FACTOR, factor);
  putBE16(r, Miniseed::OFF_RATE_MULTIPLIER, multiplier);
}
void setText(Record& r, size_t at, const std::string& text, size_t width) {
  for (size_t i = 0; i < width; ++i) r[at + i] = i < text.size() ? text[i] : ' ';
}

SelvomaPacket packetOf(const Record& r, uint8_t type = SelvomaPacket::MINISEED) {
  SelvomaPacket p;
  p.make(type, SERIAL, 1, 0, r.data(), static_cast<int>(r.size()));
  return p;
}

// Every record of a file as (channel, start) through libmseed.
std::vector<std::pair<std::string, hptime_t>> readBack(const std::string& path) {
  std::vector<std::pair<std::string, hptime_t>> out;
  MSFileParam* fp = nullptr;
  MSRecord* msr = nullptr;
  int rc;
  while ((rc = ms_readmsr_r(&fp, &msr, path.c_str(), 0, nullptr, nullptr, 1, 0, 0)) == MS_NOERROR) {
    out.emplace_back(msr->channel, msr->starttime);
  }
  EXPECT_EQ(rc, MS_ENDOFFILE) << path;
  ms_readmsr_r(&fp, &msr, nullptr, 0, nullptr, nullptr, 0, 0, 0);
  return out;
}

size_t countPrefix(const CaptureLog& log, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& l : log.lines()) n += l.compare(0, prefix.size(), prefix) == 0;
  return n;
}

class FakeTriggers : public ArchiveTriggers {
 public:
  bool writeTrigger(const SelvomaPacket&, const std::string&, const std::string&,
                    const std::string&, const std::string&, uint32_t) override {
    return accept;
  }
  int getRejectSeconds() const override { return 33; }
  bool tooEarly(int) const override { return recent; }
  bool accept = true;
  bool recent = false;
};

class PacketArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive.setLog(&log);
    archive.setGapses(&gapses);
    archive.setArchiveTemplate(dir.path() + "/archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S", "",
                               ArchiveFormat::MINISEED, ArchiveFormat::MINISEED);
    archive.getArchive(0).TEST_setClock([this] { return now; });
    jsc = recordsOf("CO.JSC.00.HHZ.100sps.steim2.mseed");
    ASSERT_EQ(jsc.size(), 14u);
  }
  std::string jscMinute() const {
    return dir.path() + "/archive/JSC/2016/09/21/13/20160921_1348_JSC.ms";
  }

  TempDir dir;
  ScopedBaseDir base{dir.path()};
  CaptureLog log;
  Gapses gapses{&log};
  PacketArchive archive;
  time_t now = 1700000000;
  std::vector<Record> jsc;
};

TEST_F(PacketArchiveTest, RealRecordsReachTheMinuteFileInOrderAndWhole) {
  for (const Record& r : jsc) ASSERT_TRUE(archive.addPacket(packetOf(r)));
  archive.flush();
  std::vector<uint8_t> written;
  ASSERT_EQ(readFile(jscMinute(), written), static_cast<long long>(jsc.size() * REC));
  for (size_t i = 0; i < jsc.size(); ++i) {
    EXPECT_TRUE(std::equal(jsc[i].begin(), jsc[i].end(), written.begin() + i * REC)) << i;
  }
  auto back = readBack(jscMinute());
  ASSERT_EQ(back.size(), jsc.size());
  for (size_t i = 1; i < back.size(); ++i) EXPECT_LT(back[i - 1].second, back[i].second);
  EXPECT_EQ(archive.getLocation(), "00");
  EXPECT_TRUE(isDir(dir.path() + "/upload/JSC.01000001"));
  // The first record logs a GAP line; so do the file's two sub-millisecond
  // steps, since a start must equal the previous end exactly.
  EXPECT_EQ(countPrefix(log, "GAP "), 3u) << ::testing::PrintToString(log.lines());
  // The time file holds the newest record start written.
  EXPECT_EQ(readText(dir.path() + "/time/JSC.01000001.last"),
            std::to_string(back.back().second / HPTMODULUS));
}

TEST_F(PacketArchiveTest, BatchIsWrittenByTheRecordAfterItFillsUp) {
  // Five records make a batch; above 200 samples per second ten do.
  for (const auto& [rate, batch] : {std::make_pair(100, 5), std::make_pair(250, 10)}) {
    PacketArchive a;
    const std::string folder = dir.path() + "/r" + std::to_string(rate);
    a.setArchiveTemplate(folder + "/%S_%H%m", "", ArchiveFormat::MINISEED, ArchiveFormat::MINISEED);
    for (int i = 0; i <= batch; ++i) {
      EXPECT_FALSE(pathExists(folder + "/JSC_1348.ms")) << rate << " " << i;
      Record r = jsc[i];
      setRate(r, rate);
      a.addPacket(packetOf(r));  // the record after the batch writes it
    }
    EXPECT_EQ(getFileSize(folder + "/JSC_1348.ms"), static_cast<long long>(batch * REC));
    EXPECT_EQ(a.bufferedCount(), 1u);
  }
}

TEST_F(PacketArchiveTest, ResentStretchIsStoredOnceAndNewStartsNeverDropped) {
  for (int i = 0; i < 10; ++i) archive.addPacket(packetOf(jsc[i]));
  // The instrument sends the last seconds again after a "stream" request.
  for (int i = 4; i < 10; ++i) EXPECT_TRUE(archive.addPacket(packetOf(jsc[i])));
  archive.addPacket(packetOf(jsc[9]));  // and a plain repeat
  for (int i = 10; i < 14; ++i) archive.addPacket(packetOf(jsc[i]));
  archive.flush();
  auto back = readBack(jscMinute());
  ASSERT_EQ(back.size(), jsc.size());
  for (size_t i = 1; i < back.size(); ++i) EXPECT_LT(back[i - 1].second, back[i].second);
  // A repeat is no discontinuity: the same GAP lines as without repeats.
  EXPECT_EQ(countPrefix(log, "GAP "), 3u);
}

TEST_F(PacketArchiveTest, InsaneRecordsAreRejectedAndBoundaryRatesPass) {
  struct Case {
    const char* what;
    int rate;
    std::string channel;
    size_t pad;
    bool sane;
    int multiplier = 1;
  } cases[] = {
      {"5 sps", 5, "HHZ", 0, false},           {"20000 sps", 20000, "HHZ", 0, false},
      {"2048 bytes", 100, "HHZ", 1536, false}, {"two-character channel", 100, "HH", 0, false},
      {"10 sps", 10, "HHZ", 0, true},          {"10000 sps", 10000, "HHZ", 0, true},
      {"1024 bytes", 100, "HHZ", 512, true},   {"0.1 sps: -10, -1", -10, "HHZ", 0, false, -1},
  };
  for (const Case& c : cases) {
    PacketArchive a;
    CaptureLog caseLog;
    a.setLog(&caseLog);
    Record r = jsc[0];
    setRate(r, c.rate, c.multiplier);
    setText(r, Miniseed::OFF_CHANNEL, c.channel, Miniseed::CHANNEL_LEN);
    r.resize(r.size() + c.pad, 0);
    EXPECT_EQ(a.addPacket(packetOf(r)), c.sane) << c.what;
    EXPECT_EQ(caseLog.has("Not sane packet. deleted"), !c.sane) << c.what;
    EXPECT_EQ(a.bufferedCount(), c.sane ? 1u : 0u) << c.what;
  }
  // Frames without payload and of other types are accepted without effect.
  SelvomaPacket empty;
  empty.make(SelvomaPacket::MINISEED, SERIAL, 1, 0);
  EXPECT_TRUE(archive.addPacket(empty));
  EXPECT_TRUE(archive.addPacket(packetOf(jsc[0], SelvomaPacket::COMMAND)));
  EXPECT_EQ(archive.bufferedCount(), 0u);
}

TEST_F(PacketArchiveTest, ChannelSlotsFollowTheFirstName) {
  EXPECT_TRUE(archive.setChanname("HHZ"));
  EXPECT_FALSE(archive.setChanname("HHZ"));
  EXPECT_FALSE(archive.isChannameChanged());
  EXPECT_TRUE(archive.setChanname("HHE"));
  EXPECT_EQ(archive.getChanname(0), "HHE");
  EXPECT_EQ(archive.getChanname(1), "");  // not seen yet
  // The StationXML table holds every slot: east, north, vertical, fourth, sum.
  EXPECT_EQ(archive.getChannames(),
            (std::array<std::string, 7>{"HHE", "HHN", "HHZ", "HHO", "", "", "SUM"}));
  EXPECT_EQ(archive.getChannelIndex("HHN"), 1);
  EXPECT_EQ(archive.getChannelIndex("HHO"), 3);
  EXPECT_EQ(archive.getChannelIndex("SUMX"), 6);
  EXPECT_EQ(archive.getChannelIndex("BHZ"), 0);  // no slot holds it
  EXPECT_FALSE(archive.setChanname("HH"));
  // Numbered horizontals keep their own slots and names.
  PacketArchive numbered;
  for (const char* name : {"LHZ", "LH1", "LH2", "LH1", "LHZ"}) numbered.setChanname(name);
  EXPECT_EQ(numbered.getChannelIndex("LH2"), 0);
  EXPECT_EQ(numbered.getChannelIndex("LH1"), 1);
  EXPECT_EQ(numbered.getChannelIndex("LHZ"), 2);
  EXPECT_EQ(numbered.getChanname(1), "LH1");
  EXPECT_FALSE(numbered.isChannameChanged());  // the last names changed nothing
}

TEST_F(PacketArchiveTest, DiscontinuitiesOfRealDataLogGapLines) {
  auto bgld = recordsOf("BW.BGLD..EHE.200sps.steim1.gaps.mseed");
  ASSERT_EQ(bgld.size(), 128u);
  for (const Record& r : bgld) ASSERT_TRUE(archive.addPacket(packetOf(r)));
  // The first record and the file's three gaps.
  EXPECT_EQ(countPrefix(log, "GAP EHE End:"), 4u);
  for (const std::string& l : log.lines()) {
    if (l.rfind("GAP ", 0) == 0) {
      EXPECT_NE(l.find("  sps:200"), std::string::npos) << l;
    }
  }
}

TEST_F(PacketArchiveTest, EveryFinishedMinuteIsHandedOnInOrderWhenDataOutrunsTheHold) {
  std::vector<std::string> finished;
  archive.setMinuteHook([&](const std::string& path, int number, time_t) {
    EXPECT_EQ(number, 1);
    EXPECT_TRUE(isFile(path)) << path;
    finished.push_back(path);
  });
  // Catching-up data: one record every 6 data seconds, the clock moving
  // 5 s per data minute, so minutes change faster than the 10-second hold.
  const hptime_t t0 = static_cast<hptime_t>(1700000040) * HPTMODULUS;  // 22:14:00
  for (int i = 0; i < 140; ++i) {
    Record r = jsc[i % jsc.size()];
    ASSERT_TRUE(Miniseed::setStartTime(r.data(), t0 + i * 6 * HPTMODULUS));
    archive.addPacket(packetOf(r));
    now += i % 2;
  }
  EXPECT_LT(finished.size(), 13u);  // most are still waiting
  now += 60;
  for (int i = 140; i < 146; ++i) {
    Record r = jsc[i % jsc.size()];
    Miniseed::setStartTime(r.data(), t0 + i * 6 * HPTMODULUS);
    archive.addPacket(packetOf(r));
  }
  std::vector<std::string> expected;
  for (int m = 14; m < 27; ++m) {
    expected.push_back(dir.path() + "/archive/JSC/2023/11/14/22/20231114_22" + std::to_string(m) +
                       "_JSC.ms");
  }
  EXPECT_EQ(finished, expected);
  EXPECT_EQ(archive.getArchive(0).pendingFinished(), 1u);  // 22:27 waits out its hold

  // The link ends: the waiting minute and the current one are handed on at
  // once, in order, none twice, so no minute stays unfinished.
  archive.flush();
  expected.push_back(dir.path() + "/archive/JSC/2023/11/14/22/20231114_2227_JSC.ms");
  expected.push_back(dir.path() + "/archive/JSC/2023/11/14/22/20231114_2228_JSC.ms");
  EXPECT_EQ(finished, expected);
  EXPECT_EQ(archive.getArchive(0).pendingFinished(), 0u);
  archive.flush();
  EXPECT_EQ(finished.size(), expected.size());
}

TEST_F(PacketArchiveTest, RereadPropertiesKeepTheMinutesOrHandThemOnWhenTheTemplateChanged) {
  std::vector<std::string> finished;
  archive.setMinuteHook([&](const std::string& path, int, time_t) { finished.push_back(path); });
  const std::string folder = dir.path() + "/wave";  // a plain folder: the default path is added
  archive.setArchiveTemplate(folder, "", ArchiveFormat::MINISEED, ArchiveFormat::MINISEED);
  for (int i = 0; i < 6; ++i) archive.addPacket(packetOf(jsc[i]));
  const std::string minute = folder + "/JSC/2016/09/21/13/2016-09-21 1348 00 JSC.ms";
  ASSERT_EQ(archive.getArchive(0).getCurrentPath(), minute);
  archive.setArchiveTemplate(folder, "", ArchiveFormat::MINISEED, ArchiveFormat::MINISEED);
  EXPECT_EQ(archive.getArchive(0).getCurrentPath(), minute);  // the same property: kept
  EXPECT_TRUE(finished.empty());
  archive.setArchiveTemplate(dir.path() + "/new/%S_%H%m", "", ArchiveFormat::MINISEED,
                             ArchiveFormat::MINISEED);
  EXPECT_EQ(finished, std::vector<std::string>{minute});  // a new one: the old minute is finished
}

TEST_F(PacketArchiveTest, RecordsThatCannotBeStoredBecomeOneLineAndABackfillGap) {
  writeText(dir.path() + "/blocked", "a file where a folder must be");
  // A path under a file, and the Pi mode's USB drive missing (an empty path).
  for (const std::string& tmpl : {dir.path() + "/blocked/%S_%H%m", std::string("%USB/%S_%H%m")}) {
    CaptureLog caseLog;
    Gapses caseGaps{&caseLog};
    PacketArchive a;
    a.setLog(&caseLog);
    a.setGapses(&caseGaps);
    a.setArchiveTemplate(tmpl, "", ArchiveFormat::MINISEED, ArchiveFormat::MINISEED);
    a.getArchive(0).TEST_setDriveFinder([] { return std::string(); });
    for (size_t i = 0; i < jsc.size(); ++i) {
      Record r = jsc[i];
      Miniseed::setStartTime(r.data(), (1700000040 + 2 * static_cast<hptime_t>(i)) * HPTMODULUS);
      a.addPacket(packetOf(r));
    }
    a.flush();  // three batches fail
    EXPECT_EQ(countPrefix(caseLog, "Cannot store records in archive 1 ["), 1u) << tmpl;
    auto gaps = caseGaps.getGaps("JSC.01000001")->getList();
    ASSERT_EQ(gaps.size(), 1u) << tmpl;
    EXPECT_EQ(gaps[0].action(), Gap::DLBACK);
    EXPECT_EQ(gaps[0].start(), 1700000040);  // 22:14:00, the whole minute of the records
    EXPECT_GE(gaps[0].end(), 1700000040 + 28);
  }
}

TEST_F(PacketArchiveTest, RecentTriggerWritesEachRecordToItsEndTimeWhateverItsLength) {
  FakeTriggers triggers;
  triggers.recent = true;
  archive.setTrigger(&triggers);
  Record longer = jsc[1];
  longer.resize(2 * REC, 0);  // 1024 bytes: sane, not a 512-byte record
  archive.addPacket(packetOf(jsc[0]));
  archive.addPacket(packetOf(longer));
  archive.flush();
  EXPECT_EQ(getFileSize(jscMinute()), static_cast<long long>(3 * REC));
}

TEST_F(PacketArchiveTest, HostileStationCodesStayInsideTheTrees) {
  const char* hostile[] = {"../..", "/etc", "..\\x", ".hid"};
  for (const char* code : hostile) {
    PacketArchive a;
    a.setArchiveTemplate(dir.path() + "/archive/%S/%Y/%S_%H%m", "", ArchiveFormat::MINISEED,
                         ArchiveFormat::MINISEED);
    Record r = jsc[0];
    setText(r, Miniseed::OFF_STATION, code, Miniseed::STATION_LEN);
    setText(r, Miniseed::OFF_NETWORK, "/.", Miniseed::NETWORK_LEN);
    ASSERT_TRUE(a.addPacket(packetOf(r))) << code;
    a.flush();
    EXPECT_EQ(a.getStation().find('/'), std::string::npos) << code;
    EXPECT_EQ(a.getStation().find('\\'), std::string::npos) << code;
    EXPECT_NE(a.getStation()[0], '.') << code;
    EXPECT_EQ(a.getNetwork(), "_.");
    EXPECT_TRUE(
        isFile(dir.path() + "/archive/" + a.getStation() + "/2016/" + a.getStation() + "_1348.ms"))
        << code;
    EXPECT_TRUE(isFile(dir.path() + "/time/" + a.getStationWithId() + ".last")) << code;
    EXPECT_TRUE(isDir(dir.path() + "/upload/" + a.getStationWithId())) << code;
  }
  EXPECT_FALSE(pathExists(dir.path() + "/../etc"));
  EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"archive", "time", "upload"}));
}

TEST_F(PacketArchiveTest, StationTextIsParsedByTheFieldRules) {
  archive.setNetLocStn("AU.00.ABCDEFG", 0x1a2b);
  EXPECT_EQ(archive.getNetwork(), "AU");
  EXPECT_EQ(archive.getLocation(), "00");
  EXPECT_EQ(archive.getStation(), "ABCDE");
  EXPECT_EQ(archive.getStationWithId(), "ABCDE.00001a2b");
  EXPECT_EQ(archive.getNetLocStn(), "AU.00.ABCDE");
  archive.setNetLocStn("..", 1);
  EXPECT_EQ(archive.getNetLocStn(), "__._._");
  archive.setNetLocStn("A.B.C.D", 1);
  EXPECT_EQ(archive.getNetLocStn(), "A.B.C");
  archive.setNetLocStn("N:L:S/x y", 1);  // ':' separates; blanks become '_'
  EXPECT_EQ(archive.getStation(), "S_x_y");
}

TEST_F(PacketArchiveTest, RestartGapStartsFromThePreviousLinkNotFromThisOne) {
  // The previous link archived up to 22:10:30.
  const time_t last = 1700000000 - 170;                                // 22:10:30
  const hptime_t t0 = static_cast<hptime_t>(1700000040) * HPTMODULUS;  // 22:14:00
  mkdirs(dir.path() + "/time/", true);
  writeText(dir.path() + "/time/JSC.01000001.last", std::to_string(last));
  archive.setRestartGapWanted(true);
  // Minutes finish before the session knows it may record the restart gap.
  for (int i = 0; i < 30; ++i) {
    Record r = jsc[i % jsc.size()];
    Miniseed::setStartTime(r.data(), t0 + i * 10 * HPTMODULUS);
    archive.addPacket(packetOf(r));
    now += 11;
  }
  // The time file stays current meanwhile.
  const time_t current = std::stol(readText(dir.path() + "/time/JSC.01000001.last"));
  EXPECT_GT(current, last);
  Record r = jsc[0];
  Miniseed::setStartTime(r.data(), t0 + 300 * HPTMODULUS);
  SelvomaPacket p = packetOf(r);
  archive.checkForRestartGap(p);
  archive.checkForRestartGap(p);  // once per link
  EXPECT_EQ(countPrefix(log, "Adding Restart Gap [JSC], "), 1u);
  auto gaps = gapses.getGaps("JSC.01000001")->getList();
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].action(), Gap::DLBACK);
  EXPECT_EQ(gaps[0].start(), (last - 60) / 60 * 60);
  EXPECT_EQ(std::stol(readText(dir.path() + "/time/JSC.01000001.last")), current);
}

TEST_F(PacketArchiveTest, TimeFileWithoutATimeCountsAsNone) {
  mkdirs(dir.path() + "/time/", true);
  writeText(dir.path() + "/time/JSC.01000001.last", "99999999999999999999999");
  archive.setRestartGapWanted(true);
  Record r = jsc[0];
  const time_t t = 1700000040;  // 22:14:00
  Miniseed::setStartTime(r.data(), static_cast<hptime_t>(t) * HPTMODULUS);
  ASSERT_TRUE(archive.addPacket(packetOf(r)));  // names the station
  archive.checkForRestartGap(packetOf(r));
  auto gaps = gapses.getGaps("JSC.01000001")->getList();
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].start(), t - 180);  // two minutes before the record, less one
  EXPECT_TRUE(log.hasPrefix("Time file [" + dir.path()));
}

TEST_F(PacketArchiveTest, WaveTriggerPushesMinuteGapsNewestFirstAndTheBuildGap) {
  archive.setNetLocStn("XX.00.TRG", SERIAL);
  archive.setTrigWave(15, 30, true);
  archive.setTriggerBackfill(true);
  const time_t noon = 1700049600;  // 2023-11-15 12:00:00
  SelTrigger trigger;
  trigger.time = static_cast<int32_t>(SelvomaPacket::time_tToSelTime(noon + 50));
  trigger.alarmType = 4;
  uint8_t bytes[SEL_TRIGGER_LENGTH];
  trigger.toBytes(bytes);
  SelvomaPacket p;
  p.make(SelvomaPacket::TRIGGER, SERIAL, 1, 0, bytes, SEL_TRIGGER_LENGTH);
  EXPECT_TRUE(archive.addPacket(p));
  auto gaps = gapses.getGaps("TRG.01000001")->getList();
  ASSERT_EQ(gaps.size(), 3u);
  EXPECT_EQ(gaps[0].action(), Gap::DLTRIG);
  EXPECT_EQ(gaps[0].start(), noon + 60);
  EXPECT_EQ(gaps[1].start(), noon);
  EXPECT_EQ(gaps[2].action(), Gap::BLDTRI);
  EXPECT_EQ(gaps[2].end(), noon + 121);

  FakeTriggers sleeping;
  sleeping.accept = false;
  archive.setTrigger(&sleeping);
  EXPECT_FALSE(archive.addPacket(p));
  EXPECT_TRUE(log.has("Trigger rejected. trigger sleep=33secs"));
}

TEST_F(PacketArchiveTest, ZippedMinuteIsReopenedBeforeAnAppend) {
  const std::string longName = std::string(70, 'm') + ".ms";  // its zip name is cut
  const struct {
    std::string path, zip;
    bool extracts;
    const char* after;
  } cases[] = {
      {dir.path() + "/m.ms", dir.path() + "/m.ms.zip", true, "oldnew"},
      {dir.path() + "/" + longName, dir.path() + "/" + longName.substr(0, 59) + ".zip", true,
       "oldnew"},
      // A failed extraction keeps the zip; the minute holds the new records only.
      {dir.path() + "/f.ms", dir.path() + "/f.ms.zip", false, "new"},
  };
  for (const auto& c : cases) {
    writeText(c.zip, "zip");
    std::vector<std::string> calls;
    archive.setDezipper([&](const std::string& zip, const std::string& minute) {
      calls.push_back(zip + " " + minute);
      writeText(minute, "old");
      return c.extracts;
    });
    const uint8_t more[] = {'n', 'e', 'w'};
    EXPECT_TRUE(archive.writeBytes(c.path, more, sizeof more));
    EXPECT_EQ(calls, (std::vector<std::string>{c.zip + " " + c.path}));
    EXPECT_EQ(pathExists(c.zip), !c.extracts) << c.path;
    EXPECT_EQ(readText(c.path), c.after);
  }
}

TEST_F(PacketArchiveTest, DownloadedMinuteIsMergedWithWhatTheMinuteHolds) {
  archive.setNetLocStn("CO.00.JSC", SERIAL);
  std::vector<std::string> finished;
  archive.setMinuteHook([&](const std::string& path, int, time_t) { finished.push_back(path); });
  const time_t t = 1474465680;  // 2016-09-21 13:48:00
  auto bytesOf = [&](std::initializer_list<int> which) {
    std::vector<uint8_t> out;
    for (int k : which) out.insert(out.end(), jsc[k].begin(), jsc[k].end());
    return out;
  };
  // One record alone is a whole minute; then live records 3 and 5 are there
  // (5 in the zip, reopened), 6 waits in the buffer, 7 is in the next
  // minute, and the download brings 2..7: each once, in order.
  std::vector<uint8_t> one = bytesOf({1});
  ASSERT_TRUE(archive.storeDownloadedMinute(one.data(), one.size(), t));
  EXPECT_EQ(getFileSize(jscMinute()), static_cast<long long>(REC));
  std::vector<uint8_t> live = bytesOf({3});
  ASSERT_TRUE(archive.writeBytes(jscMinute(), live.data(), live.size()));
  writeText(jscMinute() + ".zip", "zip");
  archive.setDezipper([&](const std::string&, const std::string& minute) {
    FILE* f = fopen(minute.c_str(), "ab");
    const bool ok = f != nullptr && fwrite(jsc[5].data(), 1, REC, f) == REC;
    return f != nullptr && fclose(f) == 0 && ok;
  });
  ASSERT_TRUE(archive.addPacket(packetOf(jsc[6])));  // waits in the buffer
  // A live batch that began in the next minute holds record 7.
  ASSERT_TRUE(archive.writeBytes(dir.path() + "/archive/JSC/2016/09/21/13/20160921_1349_JSC.ms",
                                 jsc[7].data(), REC));
  std::vector<uint8_t> download = bytesOf({5, 2, 3, 4, 6, 7});
  ASSERT_TRUE(archive.storeDownloadedMinute(download.data(), download.size(), t));
  archive.write();  // the buffer went into the minute before the merge
  const auto records = readBack(jscMinute());
  ASSERT_EQ(records.size(), 6u);
  for (size_t k = 0; k < records.size(); ++k) {
    EXPECT_NEAR(records[k].second, Miniseed::getStartTime(jsc[k + 1].data()), 1000) << k;
  }
  EXPECT_FALSE(pathExists(jscMinute() + ".zip"));
  EXPECT_EQ(finished, (std::vector<std::string>{jscMinute(), jscMinute()}));
  EXPECT_FALSE(archive.storeDownloadedMinute(download.data(), REC - 1, t));
}

TEST_F(PacketArchiveTest, ActivityTextsAreOrderedAndMarkersSitInTheExtractArchive) {
  ActivityFiles activity;
  archive.setNetLocStn("CO.00.ABCD", SERIAL);
  activity.init(&archive);
  activity.write("../../x", "Start");
  activity.write("x", "Finish");
  const std::string text = activity.getFolder() + "x";
  EXPECT_EQ(activity.getFolder(), DOWNLOAD_DIR + "ABCD.01000001/activity/");
  EXPECT_EQ(readText(text), "Finish");
  auto mtime = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
  };
  const time_t first = mtime(text);
  activity.write("y", "Request");
  EXPECT_EQ(mtime(activity.getFolder() + "y"), first + 1);
  const time_t t = 1680784440 + 20;  // 2023-04-06 12:34:20
  activity.writeDownload(t, "Request");
  const std::string marker =
      dir.path() + "/archive/ABCD/2023/04/06/12/20230406_1234_ABCD.backfill.txt";
  EXPECT_EQ(readText(marker), "Request");
  struct stat st {};
  ASSERT_EQ(stat(marker.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  activity.deleteDownload(t);
  EXPECT_FALSE(pathExists(marker));
}

}  // namespace
