// Record helpers against real records (big-endian, as archived by data
// centres), the same records byte-swapped by hand into little-endian order,
// and records packed by libmseed itself. libmseed's own parser is the oracle
// for the values of the real files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "util/FileUtil.h"
#include "waveform/Miniseed.h"

namespace {

using Record = Miniseed::Record;
using RecordList = Miniseed::RecordList;

const char* const kRealFiles[] = {
    "CO.JSC.00.HHZ.100sps.steim2.mseed", "GT.BOSA.00.BHx.3comp.steim2.mseed",
    "BW.BGLD..EHE.200sps.steim1.gaps.mseed", "IU.COLA.00.LHx.3comp.steim2.mseed",
    "XX.TEST.00.BHZ.detection-blockette201.mseed"};

RecordList loadRecords(const std::string& name) {
  std::vector<uint8_t> bytes;
  EXPECT_GT(readFile(testData(name), bytes), 0) << name;
  return Miniseed::arrayToPackets(bytes.data(), bytes.size());
}

// The fixed header of a big-endian record turned into little-endian order:
// every 2- and 4-byte field of offsets 20..51 is reversed.
Record toLittleEndian(const Record& big) {
  Record r = big;
  const size_t twoByte[] = {20, 22, 28, 30, 32, 34, 44, 46, 48, 50};
  for (size_t off : twoByte) Miniseed::swap(r.data() + off, 2);
  Miniseed::swap(r.data() + 40, 4);  // time correction
  return r;
}

hptime_t hp(int year, int day, int hour, int min, int sec, int usec) {
  return ms_time2hptime(year, day, hour, min, sec, usec);
}

void handleRecord(char* record, int length, void* data) {
  auto* out = static_cast<std::vector<Record>*>(data);
  ASSERT_EQ(static_cast<size_t>(length), Miniseed::RECORD_LENGTH);
  Record r;
  memcpy(r.data(), record, Miniseed::RECORD_LENGTH);
  out->push_back(r);
}

// One record packed by libmseed: 100 samples of int32 at the given rate.
Record packRecord(const char* station, const char* channel, hptime_t start, double rate,
                  int byteOrder, int numSamples = 100) {
  MsRecordPtr msr = Miniseed::newMsRecord();
  snprintf(msr->network, sizeof msr->network, "VH");
  snprintf(msr->station, sizeof msr->station, "%s", station);
  snprintf(msr->location, sizeof msr->location, "00");
  snprintf(msr->channel, sizeof msr->channel, "%s", channel);
  msr->dataquality = 'D';
  msr->starttime = start;
  msr->samprate = rate;
  msr->reclen = static_cast<int32_t>(Miniseed::RECORD_LENGTH);
  msr->encoding = DE_INT32;
  msr->byteorder = static_cast<int8_t>(byteOrder);
  auto* samples = static_cast<int32_t*>(calloc(numSamples, sizeof(int32_t)));
  for (int i = 0; i < numSamples; ++i) samples[i] = i * 7 - 300;
  msr->datasamples = samples;  // freed by msr_free
  msr->numsamples = numSamples;
  msr->sampletype = 'i';
  std::vector<Record> out;
  int64_t packed = 0;
  int n = msr_pack(msr.get(), handleRecord, &out, &packed, 1, 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(packed, numSamples);
  return out.empty() ? Record{} : out[0];
}

std::string station(const uint8_t* r) {
  std::string s;
  EXPECT_TRUE(Miniseed::getStation(r, &s));
  return s;
}

std::string channel(const uint8_t* r) {
  std::string s;
  Miniseed::getChannel(r, &s);
  return s;
}

}  // namespace

TEST(MiniseedTest, RealRecordsAgreeWithLibmseedParser) {
  for (const char* name : kRealFiles) {
    RecordList records = loadRecords(name);
    ASSERT_FALSE(records.empty()) << name;
    for (Record& r : records) {
      // msr_unpack swaps the header of its own copy; keep r untouched.
      Record copy = r;
      MSRecord* raw = nullptr;
      ASSERT_EQ(msr_unpack(reinterpret_cast<char*>(copy.data()), copy.size(), &raw, 0, 0),
                MS_NOERROR)
          << name;
      MsRecordPtr msr(raw);
      EXPECT_TRUE(Miniseed::isBigEndian(r.data()));
      EXPECT_TRUE(Miniseed::isMiniseed(r.data(), r.size()));
      EXPECT_EQ(Miniseed::getStartTime(r.data()), ms_btime2hptime(&msr->fsdh->start_time));
      EXPECT_EQ(Miniseed::getNumSamples(r.data()), msr->samplecnt);
      EXPECT_EQ(Miniseed::getBeginningOfData(r.data()), msr->fsdh->data_offset);
      EXPECT_EQ(Miniseed::getSampleRate(r.data()), msr_nomsamprate(msr.get()));
      std::string text;
      EXPECT_TRUE(Miniseed::getChannel(r.data(), &text)) << text;  // LH1 and LH2 too
      ASSERT_TRUE(Miniseed::getNetwork(r.data(), &text));
      EXPECT_EQ(text, msr->network);
      EXPECT_EQ(station(r.data()), msr->station);
      ASSERT_TRUE(Miniseed::getLocation(r.data(), &text));
      EXPECT_EQ(text, msr->location);
      EXPECT_EQ(channel(r.data()), msr->channel);
    }
  }
}

TEST(MiniseedTest, KnownValuesOfRealFiles) {
  RecordList jsc = loadRecords("CO.JSC.00.HHZ.100sps.steim2.mseed");
  ASSERT_EQ(jsc.size(), 14u);
  EXPECT_EQ(Miniseed::getStartTime(jsc[0].data()), hp(2016, 265, 13, 48, 0, 8400));
  EXPECT_EQ(Miniseed::getSampleRate(jsc[0].data()), 100);
  EXPECT_EQ(Miniseed::getNumSamples(jsc[0].data()), 99);
  EXPECT_EQ(Miniseed::getEndTime(jsc[0].data()), hp(2016, 265, 13, 48, 0, 8400) + 990000);

  RecordList bgld = loadRecords("BW.BGLD..EHE.200sps.steim1.gaps.mseed");
  ASSERT_EQ(bgld.size(), 128u);
  std::string location = "unchanged";
  ASSERT_TRUE(Miniseed::getLocation(bgld[0].data(), &location));
  EXPECT_EQ(location, "");  // two blanks trimmed
  EXPECT_EQ(Miniseed::getSampleRate(bgld[0].data()), 200);

  // No samples, rate 0: the end is the start.
  RecordList detection = loadRecords("XX.TEST.00.BHZ.detection-blockette201.mseed");
  ASSERT_EQ(detection.size(), 1u);
  EXPECT_EQ(Miniseed::getSampleRate(detection[0].data()), 0);
  EXPECT_EQ(Miniseed::getEndTime(detection[0].data()), Miniseed::getStartTime(detection[0].data()));
}

TEST(MiniseedTest, LittleEndianCopyOfRealRecordGivesSameFields) {
  for (const char* name : kRealFiles) {
    for (const Record& big : loadRecords(name)) {
      Record little = toLittleEndian(big);
      ASSERT_FALSE(Miniseed::isBigEndian(little.data()));
      // The order follows the start's year and day, not the first blockette.
      Record noB1000 = big;
      noB1000[48] = 0;
      noB1000[49] = 201;
      ASSERT_TRUE(Miniseed::isBigEndian(noB1000.data()));
      for (const Record& r : {little, noB1000}) {
        EXPECT_EQ(Miniseed::getStartTime(r.data()), Miniseed::getStartTime(big.data()));
        EXPECT_EQ(Miniseed::getEndTime(r.data()), Miniseed::getEndTime(big.data()));
        EXPECT_EQ(Miniseed::getNumSamples(r.data()), Miniseed::getNumSamples(big.data()));
        EXPECT_EQ(Miniseed::getSampleRate(r.data()), Miniseed::getSampleRate(big.data()));
        EXPECT_EQ(Miniseed::getBeginningOfData(r.data()), Miniseed::getBeginningOfData(big.data()));
        EXPECT_EQ(station(r.data()), station(big.data()));
      }
    }
  }
}

TEST(MiniseedTest, SetStartTimeKeepsEachRecordsByteOrder) {
  Record big = loadRecords("GT.BOSA.00.BHx.3comp.steim2.mseed")[0];
  Record little = toLittleEndian(big);
  const hptime_t t = hp(2024, 366, 23, 59, 58, 123400);
  ASSERT_TRUE(Miniseed::setStartTime(big.data(), t));
  ASSERT_TRUE(Miniseed::setStartTime(little.data(), t));
  EXPECT_EQ(Miniseed::getStartTime(big.data()), t);
  EXPECT_EQ(Miniseed::getStartTime(little.data()), t);
  // The patched big-endian record still parses, with the new time.
  MSRecord* raw = nullptr;
  ASSERT_EQ(msr_unpack(reinterpret_cast<char*>(big.data()), big.size(), &raw, 0, 0), MS_NOERROR);
  MsRecordPtr msr(raw);
  EXPECT_EQ(msr->starttime, t);
  // The year as written on the wire in each order.
  EXPECT_EQ(little[20], 2024 & 0xff);
  EXPECT_EQ(little[21], 2024 >> 8);
  EXPECT_EQ(toLittleEndian(big), little);
}

TEST(MiniseedTest, LibmseedPackedRecordsInBothByteOrders) {
  const hptime_t noon = hp(2023, 100, 12, 0, 0, 0);
  Record big = packRecord("DREMO", "HHZ", noon, 100.0, 1);
  Record little = packRecord("DREMO", "HHZ", noon, 100.0, 0);
  ASSERT_TRUE(Miniseed::isBigEndian(big.data()));
  ASSERT_FALSE(Miniseed::isBigEndian(little.data()));
  for (const Record& r : {big, little}) {
    EXPECT_TRUE(Miniseed::isMiniseed(r.data(), r.size()));
    EXPECT_EQ(station(r.data()), "DREMO");
    EXPECT_EQ(channel(r.data()), "HHZ");
    EXPECT_EQ(Miniseed::getStartTime(r.data()), noon);
    // 100 samples at 100 sps from 12:00:00.000 end at 12:00:01.000.
    EXPECT_EQ(Miniseed::getEndTime(r.data()), hp(2023, 100, 12, 0, 1, 0));
    EXPECT_EQ(Miniseed::getNumSamples(r.data()), 100);
  }
  // Negative factors and multipliers divide; a multiplier of 0 counts as 1.
  // 100 samples at 0.1 sps last 1000 s; at rate 0 the end is the start.
  const struct {
    int factor, multiplier;
    double rate;
    hptime_t duration;
  } rates[] = {{-10, 1, 0.1, 1000 * HPTMODULUS}, {-10, -1, 0.1, 1000 * HPTMODULUS},
               {1, -10, 0.1, 1000 * HPTMODULUS}, {5, -2, 2.5, 40 * HPTMODULUS},
               {50, 0, 50, 2 * HPTMODULUS},      {0, 1, 0, 0}};
  for (const auto& c : rates) {
    big[Miniseed::OFF_RATE_FACTOR] = static_cast<uint8_t>(c.factor >> 8);
    big[Miniseed::OFF_RATE_FACTOR + 1] = static_cast<uint8_t>(c.factor);
    big[Miniseed::OFF_RATE_MULTIPLIER] = static_cast<uint8_t>(c.multiplier >> 8);
    big[Miniseed::OFF_RATE_MULTIPLIER + 1] = static_cast<uint8_t>(c.multiplier);
    EXPECT_DOUBLE_EQ(Miniseed::getSampleRate(big.data()), c.rate)
        << c.factor << " " << c.multiplier;
    EXPECT_EQ(Miniseed::getEndTime(big.data()), noon + c.duration) << c.factor;
  }
}

TEST(MiniseedTest, ChannelAcceptance) {
  Record r = packRecord("DREMO", "HHZ", hp(2023, 1, 0, 0, 0, 0), 100.0, 1);
  struct Case {
    const char* code;
    bool accepted;
  } cases[] = {{"HHZ", true}, {"SUM", true},  {"ENE", true},  {"BHN", true},  {"HNO", true},
               {"EHI", true}, {"HHX", true},  {"hhz", false}, {"H1Z", false}, {"LH1", true},
               {"HH2", true}, {"HZ ", false}, {"HH-", false}, {"HHz", false}};
  for (const Case& c : cases) {
    memcpy(r.data() + Miniseed::OFF_CHANNEL, c.code, Miniseed::CHANNEL_LEN);
    std::string out;
    EXPECT_EQ(Miniseed::getChannel(r.data(), &out), c.accepted) << c.code;
  }
}

TEST(MiniseedTest, NonBlankReservedByteRejectsTextFields) {
  Record r = loadRecords("CO.JSC.00.HHZ.100sps.steim2.mseed")[0];
  r[Miniseed::OFF_RESERVED] = 'X';
  std::string out = "untouched";
  EXPECT_FALSE(Miniseed::getStation(r.data(), &out));
  EXPECT_FALSE(Miniseed::getNetwork(r.data(), &out));
  EXPECT_FALSE(Miniseed::getLocation(r.data(), &out));
  EXPECT_FALSE(Miniseed::getChannel(r.data(), &out));
  EXPECT_EQ(out, "untouched");
  EXPECT_FALSE(Miniseed::isMiniseed(r.data(), r.size()));
  MSTrace trace;
  Miniseed::getMSTraceHeader(r.data(), &trace);
  EXPECT_STREQ(trace.station, "");
  EXPECT_EQ(trace.starttime, hp(2016, 265, 13, 48, 0, 8400));

  // isMiniseed also takes a 0 reserved byte, but not a foreign quality or a short buffer.
  r[Miniseed::OFF_RESERVED] = 0;
  EXPECT_TRUE(Miniseed::isMiniseed(r.data(), r.size()));
  EXPECT_FALSE(Miniseed::isMiniseed(r.data(), Miniseed::RECORD_LENGTH - 1));
  EXPECT_FALSE(Miniseed::isMiniseed(nullptr, Miniseed::RECORD_LENGTH));
  for (char q : std::string("DRMQB")) {
    r[Miniseed::OFF_QUALITY] = static_cast<uint8_t>(q);
    EXPECT_TRUE(Miniseed::isMiniseed(r.data(), r.size())) << q;
  }
  for (char q : std::string("XdA\x00", 4)) {
    r[Miniseed::OFF_QUALITY] = static_cast<uint8_t>(q);
    EXPECT_FALSE(Miniseed::isMiniseed(r.data(), r.size())) << int(q);
  }
}

TEST(MiniseedTest, ChannelUnits) {
  for (const char* c : {"HH", "HHZE"})
    EXPECT_EQ(Miniseed::getChannelUnits(c), Miniseed::UNITS_UNKNOWN);
  EXPECT_EQ(Miniseed::getChannelUnits(nullptr), Miniseed::UNITS_UNKNOWN);
  for (const char* c : {"HNZ", "hnz"})
    EXPECT_EQ(Miniseed::getChannelUnits(c), Miniseed::UNITS_ACCELERATION);
  EXPECT_EQ(Miniseed::getChannelUnits("HHZ"), Miniseed::UNITS_VELOCITY);
}

TEST(MiniseedTest, TraceHeaderFromRecordAndNull) {
  Record r = loadRecords("GT.BOSA.00.BHx.3comp.steim2.mseed")[0];
  MSTrace trace;
  Miniseed::getMSTraceHeader(r.data(), &trace);
  EXPECT_STREQ(trace.network, "GT");
  EXPECT_STREQ(trace.station, "BOSA");
  EXPECT_STREQ(trace.location, "00");
  EXPECT_STREQ(trace.channel, "BHE");
  EXPECT_EQ(trace.dataquality, 'M');
  EXPECT_EQ(trace.type, 'z');
  EXPECT_EQ(trace.sampletype, 'i');
  EXPECT_EQ(trace.samprate, 40.0);
  EXPECT_EQ(trace.samplecnt, Miniseed::getNumSamples(r.data()));
  EXPECT_EQ(trace.starttime, hp(2010, 173, 22, 26, 7, 0));
  EXPECT_EQ(trace.endtime, Miniseed::getEndTime(r.data()));

  Miniseed::getMSTraceHeader(nullptr, &trace);
  EXPECT_STREQ(trace.station, "");
  EXPECT_EQ(trace.starttime, 0);
  EXPECT_EQ(trace.samplecnt, 0);
}

namespace {

// Records of 10 s each (100 samples at 10 sps) from the given second of 12:00.
Record recordAt(int second, const char* chan = "HHZ", int samples = 100) {
  Record r = loadRecords("CO.JSC.00.HHZ.100sps.steim2.mseed")[0];
  memcpy(r.data() + Miniseed::OFF_CHANNEL, chan, Miniseed::CHANNEL_LEN);
  EXPECT_TRUE(Miniseed::setStartTime(r.data(), hp(2023, 100, 12, 0, second, 0)));
  // 10 sps: factor 10, multiplier 1 (big-endian).
  r[Miniseed::OFF_RATE_FACTOR] = 0;
  r[Miniseed::OFF_RATE_FACTOR + 1] = 10;
  r[Miniseed::OFF_NUM_SAMPLES] = static_cast<uint8_t>(samples >> 8);
  r[Miniseed::OFF_NUM_SAMPLES + 1] = static_cast<uint8_t>(samples);
  return r;
}

time_t unixAt(int second) { return hp(2023, 100, 12, 0, second, 0) / HPTMODULUS; }

void writeRecords(const std::string& path, const RecordList& records) {
  std::vector<uint8_t> bytes = Miniseed::packetsToArray(records);
  writeText(path, std::string(bytes.begin(), bytes.end()));
}

RecordList readRecords(const std::string& path) {
  std::vector<uint8_t> bytes;
  readFile(path, bytes);
  return Miniseed::arrayToPackets(bytes.data(), bytes.size());
}

}  // namespace

TEST(MiniseedTest, RewriteTakesRecordsTouchingTheWindow) {
  TempDir dir;
  // 12:00:05-12:00:15 touches [12:00:10, 12:00:20]; 11:59:59-12:00:09 does not;
  // 12:00:20-12:00:30 starts on the end bound and is taken; 12:00:21 is not.
  Record spans = recordAt(5);
  Record before = recordAt(-1);
  Record atEnd = recordAt(20);
  Record after = recordAt(21);
  writeRecords(dir.file("a.ms"), {before, spans});
  writeRecords(dir.file("b.ms"), {atEnd, after});
  writeRecords(dir.file("c.ms"), {before});
  writeText(dir.file("settings.ss"), "not a record");
  std::vector<std::string> paths = {dir.file("a.ms"), dir.file("b.ms"), dir.file("c.ms"),
                                    dir.file("settings.ss")};
  const std::string out = dir.file("out.ms");
  EXPECT_EQ(Miniseed::rewrite(&paths, out, unixAt(10), unixAt(20), nullptr), 2);
  EXPECT_EQ(readRecords(out), (RecordList{spans, atEnd}));
  // The sources that gave records drop out; the others stay; the output joins.
  EXPECT_EQ(paths, (std::vector<std::string>{dir.file("c.ms"), dir.file("settings.ss"), out}));
  std::vector<std::string> none;
  EXPECT_EQ(Miniseed::rewrite(&none, "/nonexistent-folder/out.ms", 0, 1, nullptr), -1);
  EXPECT_TRUE(none.empty());
}

TEST(MiniseedTest, RewriteReadsExtractedZipEntriesAndCleansUp) {
  TempDir dir;
  Record inside = recordAt(12, "HHN");
  std::string extractedFolder;
  auto unzip = [&](const std::string& zip, const std::string& folder,
                   std::vector<std::string>* files) {
    EXPECT_EQ(zip, dir.file("minute.ms.zip"));
    extractedFolder = folder;
    writeRecords(folder + "/minute.ms", {inside, recordAt(40)});
    writeText(folder + "/settings.ss", "x");
    files->push_back(folder + "/minute.ms");
    files->push_back(folder + "/settings.ss");
    return true;
  };
  writeText(dir.file("minute.ms.zip"), "zip bytes");
  std::vector<std::string> paths = {dir.file("minute.ms.zip")};
  const std::string out = dir.file("out.ms");
  EXPECT_EQ(Miniseed::rewrite(&paths, out, unixAt(10), unixAt(20), unzip), 1);
  EXPECT_EQ(readRecords(out), RecordList{inside});
  EXPECT_EQ(paths, std::vector<std::string>{out});
  ASSERT_FALSE(extractedFolder.empty());
  EXPECT_FALSE(pathExists(extractedFolder));

  // Without a zip reader the zip stays listed and nothing is written.
  std::vector<std::string> again = {dir.file("minute.ms.zip")};
  EXPECT_EQ(Miniseed::rewrite(&again, dir.file("none.ms"), unixAt(10), unixAt(20), nullptr), 0);
  EXPECT_EQ(again.size(), 2u);
}

TEST(MiniseedTest, ClipKeepsStartsInHalfOpenWindowAndMergeDropsRepeatedRecords) {
  RecordList all = {recordAt(9), recordAt(10), recordAt(19), recordAt(20)};
  std::vector<uint8_t> bytes = Miniseed::packetsToArray(all);
  bytes.resize(bytes.size() + 100);  // a partial trailing record is ignored
  RecordList out;
  Miniseed::clip(&out, bytes.data(), bytes.size(), unixAt(10), 10);
  EXPECT_EQ(out, (RecordList{all[1], all[2]}));
  // Merge drops records with the same start, channel and station.
  Record z10 = recordAt(10, "HHZ");
  Record n10 = recordAt(10, "HHN");
  Record z20 = recordAt(20, "HHZ");
  Record otherStation = z10;
  memcpy(otherStation.data() + Miniseed::OFF_STATION, "OTHER", Miniseed::STATION_LEN);
  Record sameKeyOtherData = z10;
  sameKeyOtherData[Miniseed::RECORD_LENGTH - 1] ^= 0xff;

  EXPECT_TRUE(Miniseed::containsPacket({n10, z10}, sameKeyOtherData.data()));
  EXPECT_FALSE(Miniseed::containsPacket({n10, z20}, z10.data()));
  EXPECT_FALSE(Miniseed::containsPacket({z10}, otherStation.data()));

  out.clear();
  Miniseed::merge(&out, {z10, n10}, {sameKeyOtherData, z20, otherStation});
  EXPECT_EQ(out, (RecordList{z10, n10, z20, otherStation}));
}

TEST(MiniseedTest, ArrayConversionKeepsWholeRecordsOnly) {
  RecordList records = loadRecords("GT.BOSA.00.BHx.3comp.steim2.mseed");
  std::vector<uint8_t> bytes = Miniseed::packetsToArray(records);
  ASSERT_EQ(bytes.size(), records.size() * Miniseed::RECORD_LENGTH);
  EXPECT_EQ(Miniseed::arrayToPackets(bytes.data(), bytes.size() - 1).size(), records.size() - 1);
  EXPECT_EQ(Miniseed::arrayToPackets(bytes.data(), bytes.size()), records);
}
