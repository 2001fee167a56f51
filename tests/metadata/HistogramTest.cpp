#include <gtest/gtest.h>

#include <string>

#include "core/VhProps.h"
#include "metadata/Histogram.h"
#include "metadata/SsFile.h"
#include "support/CaptureLog.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/StrToTm.h"
#include "util/TimeUtil.h"

namespace {

time_t utc(const char* text) {
  struct tm broken = {};
  strToTm(text, "%Y-%m-%d %H:%M:%S", &broken);
  return tmToTime_t(broken);
}

// A histogram whose clock reads now, set up from a properties text in
// which "@" stands for the temporary folder.
struct Fixture {
  TempDir dir;
  VhProps props;
  Histogram histogram;
  time_t now = 0;
  explicit Fixture(std::string text) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@'))
      text.replace(at, 1, dir.path());
    writeText(dir.file("vh.props"), text);
    props.read(dir.file("vh.props"));
    histogram.TEST_setClock([this] { return now; });
  }
};

// The settings of one station, with or without a fourth channel.
struct Settings : SsFile {
  explicit Settings(bool ch4) {
    SsFile& s = *this;
    for (const char* line : {"sitename=AB12", "network_code=XX", "serial=00a1b2c3", "sens=0.3",
                             "unit=m/s", "cpv=1000", "gain_A_0=2", "unit_B=g",
                             "custom_sensitivity_B=1.5", "v_supply=12.5", "temperature=21.25",
                             "lat=47.5", "long=-8.25", "alt=410", "sats=9", "card_free_pc=87.5"}) {
      s.set(line);
    }
    s.set("\"last_peak 0\"=\"0.25 m/s 2021-04-05 10:00:00\"");
    s.set("\"last_peak 1\"=\"0.5 g 2021-04-05 10:00:00\"");
    s.set(ch4 ? "ch4_active=1" : "ch4_active=0");
    s.parse();
  }
};

}  // namespace

TEST(HistogramTest, NiceNextTimesAcrossHourAndDay) {
  struct Row {
    int minutes;
    const char* now;
    const char* next;
  } rows[] = {
      {15, "2021-04-05 10:07:30", "2021-04-05 10:15:00"},
      {15, "2021-04-05 10:50:10", "2021-04-05 10:59:40"},  // the full hour 20 s early
      {15, "2021-04-05 10:59:50", "2021-04-05 11:15:00"},  // ... unless that is past
      {15, "2021-04-05 23:59:45", "2021-04-06 00:15:00"},
      {1, "2021-04-05 23:59:10", "2021-04-05 23:59:40"},
      {7, "2021-04-05 10:57:00", "2021-04-05 11:03:00"},  // 9 x 7 minutes is in the next hour
      {0, "2021-04-05 10:00:00", "2021-04-05 10:15:00"},  // 0 reads as 15 minutes
  };
  for (const Row& row : rows) {
    Fixture f("histogramminutes=" + std::to_string(row.minutes) + "\n");
    f.now = utc(row.now);
    f.histogram.readProperties(f.props);
    EXPECT_EQ(f.histogram.getNextRequestTime(), utc(row.next)) << row.minutes << " " << row.now;
  }
  Fixture huge("histogramminutes=2147483647\n");  // seconds beyond 32 bits
  huge.now = utc("2021-04-05 10:07:30");
  huge.histogram.readProperties(huge.props);
  EXPECT_EQ(huge.histogram.getNextRequestTime(), utc("2021-04-05 10:00:00") + 2147483647LL * 60);
}

TEST(HistogramTest, IsTimeFiresOnceAndNamesTheDayFiveMinutesBefore) {
  Fixture f("histogramminutes=1\nhistogramenabled=1\n");
  f.now = utc("2021-04-06 00:01:30");
  f.histogram.readProperties(f.props);
  EXPECT_TRUE(f.histogram.isEnabled());
  EXPECT_EQ(f.histogram.isTime(), 0);
  f.now = utc("2021-04-06 00:02:01");
  const time_t due = f.histogram.isTime();
  EXPECT_EQ(due, utc("2021-04-06 00:02:00"));
  EXPECT_EQ(f.histogram.isTime(), 0);
  EXPECT_EQ(f.histogram.getNextRequestTime(), utc("2021-04-06 00:03:00"));
  EXPECT_EQ(f.histogram.getDremoPath(due), "/histogram/2021-04-05.csv");
  EXPECT_EQ(f.histogram.getLastRequestTime(), due);
  EXPECT_EQ(Histogram::getDremoFilename(utc("2021-04-06 00:05:00")), "2021-04-06.csv");
}

TEST(HistogramTest, RecordHeaderAndDataLine) {
  Fixture f("histogramarchive=@h/%S/%Y%M%D_%H%m_%S.csv\n");
  f.now = utc("2021-04-05 10:15:00");
  f.histogram.readProperties(f.props);
  EXPECT_EQ(f.histogram.getMode(), HISTOGRAM_SELF);
  const std::string head =
      "# Histogram & SOH\n# Site=AB12\n# Serial=00a1b2c3\n# sensor:\n#   \"sens\"=0.300000\n"
      "#   \"unit\"=\"m/s\"\n";
  const std::string tail =
      "# recorder:\n#   \"cpv\"=1000.0\n#   \"gain\"=2.0000\n"
      "\"datetime\",\"sum raw\",\"sum m/s\",\"chO raw\",\"chO g\",\"Voltage\",\"Temperature\","
      "\"Latitude\",\"Longitude\",\"Altitude(m)\",\"Sats\",\"hAcc\",\"vAcc\",\"vcxo\",\"% Free\"\n"
      "2021-04-05 10:15:00,0.0,0.250000,0.0,";
  const std::string values = ",12.50,21.2,47.50000,-8.25000,410.00,9,0.0,0.0,0,87.50000\n";
  EXPECT_EQ(f.histogram.text(Settings(false)), head + tail + "0.000000" + values);
  const std::string withCh4 = head +
                              "# sensor channel O:\n#   \"sens_B\"=1.500000\n"
                              "#   \"unit_B\"=\"g\"\n" +
                              tail + "0.500000" + values;
  EXPECT_EQ(f.histogram.text(Settings(true)), withCh4);

  CaptureLog log;
  const std::string path = f.histogram.write(Settings(true), &log);
  EXPECT_EQ(path, f.dir.path() + "h/AB12/20210405_1015_AB12.csv");
  EXPECT_EQ(readText(path), withCh4);
  EXPECT_TRUE(log.has("Write Histogram: [" + path + "]"));
}

TEST(HistogramTest, TidoraModeKeepsNoArchiveAndModeZeroIsDisabled) {
  ScopedValue<int> mode(MODE, MODE_TIDORA);
  Fixture f("histogramenabled=2\nhistogramarchive=elsewhere/%S.csv\n");
  f.histogram.readProperties(f.props);
  EXPECT_EQ(f.histogram.getMode(), HISTOGRAM_OFF);
  EXPECT_FALSE(f.histogram.isEnabled());
  EXPECT_NE(f.histogram.getLocalPath(0, "XX", "AB12", 1).find("/DataArchive/histogram/AB12/"),
            std::string::npos);
}

TEST(HistogramTest, ParserReadsGoodLinesAndSetsBadOnesAside) {
  const std::string header = "\"datetime\",\"sum peak\",\"Sats\"\r\n";
  struct Row {
    const char* name;
    std::string text;
    bool ok;
    size_t rows, rejected, firstRejected;
  } rows[] = {
      {"good, CRLF, comments", "# c\n\n" + header + "2021-04-05 10:00:00,0.5,9\n", true, 1, 0, 0},
      {"no header", "# only a comment\n", false, 0, 0, 0},
      {"header without time", "\"a\",\"b\"\n2021-04-05 10:00:00,1\n", false, 0, 0, 0},
      {"header of one column", "\"datetime\"\n", false, 0, 0, 0},
      {"header too wide", "datetime" + std::string(HISTOGRAM_COLUMNS_MAX, ','), false, 0, 0, 0},
      {"binary header", std::string("date\0time,x\n", 12), false, 0, 0, 0},
      {"bad rows",
       header + "2021-04-05 10:00:00,1\n"        // too few fields
                "2021-04-05 10:00:00,1,2,3\n"    // too many
                "2021-04-05 10:00,1,2\n"         // short time
                "2021-04-05 10:00:00x,1,2\n"     // trailing text in the time
                "2021-04-05 10:00:00,1e999,2\n"  // out of range
                "2021-04-05 10:00:00,nan,2\n"    // not finite
                "2021-04-05 10:00:00,,2\n"       // empty
                "2021-04-05 10:00:00,1\x01,2\n"  // control byte
                "2021-04-05 10:00:01,1.5,-2\n",  // good
       true, 1, 8, 2},
      {"overlong line",
       header + "2021-04-05 10:00:00," + std::string(HISTOGRAM_LINE_MAX, '1') +
           ",2\n2021-04-05 10:00:00,1,2",
       true, 1, 1, 2},
      {"too big", header + std::string(HISTOGRAM_FILE_MAX, '\n'), false, 0, 0, 0},
  };
  for (const Row& row : rows) {
    HistogramTable table;
    std::string error;
    EXPECT_EQ(parseHistogramFile(row.text.data(), row.text.size(), &table, &error), row.ok)
        << row.name;
    EXPECT_EQ(error.empty(), row.ok) << row.name;
    EXPECT_EQ(table.rows.size(), row.rows) << row.name;
    EXPECT_EQ(table.rejected, row.rejected) << row.name;
    EXPECT_EQ(table.firstRejected, row.firstRejected) << row.name;
  }
  HistogramTable table;
  std::string error;
  const std::string good = header + "2021-04-05 10:00:00,0.5,9";
  ASSERT_TRUE(parseHistogramFile(good.data(), good.size(), &table, &error));
  EXPECT_EQ(table.columns, (std::vector<std::string>{"datetime", "sum peak", "Sats"}));
  EXPECT_EQ(table.rows[0].time, utc("2021-04-05 10:00:00"));
  EXPECT_EQ(table.rows[0].values, (std::vector<double>{0.5, 9}));
}
