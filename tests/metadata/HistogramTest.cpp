#include <gtest/gtest.h>

#include <string>

#include "core/VhProps.h"
#include "metadata/Histogram.h"
#include "metadata/HistogramCsv.h"
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

TEST(HistogramTest, InstrumentFilesAreAskedForAtNiceTimesForTheDayFiveMinutesBefore) {
  Fixture f("histogramenabled=1\nhistogramminutes=15\n");
  f.now = utc("2021-04-06 10:07:30");
  f.histogram.readProperties(f.props);
  EXPECT_EQ(f.histogram.getNextRequestTime(), utc("2021-04-06 10:15:00"));
  EXPECT_EQ(f.histogram.getNiceNextTime(utc("2021-04-06 10:50:10")), utc("2021-04-06 10:59:40"));
  EXPECT_EQ(f.histogram.getNiceNextTime(utc("2021-04-06 10:59:50")), utc("2021-04-06 11:15:00"));
  EXPECT_EQ(f.histogram.isTime(), 0);
  f.now = utc("2021-04-06 10:15:01");
  EXPECT_EQ(f.histogram.isTime(), utc("2021-04-06 10:15:00"));
  EXPECT_EQ(f.histogram.isTime(), 0);
  EXPECT_EQ(f.histogram.getNextRequestTime(), utc("2021-04-06 10:30:00"));
  // Just after midnight the file asked for (and later deleted) is the
  // previous day's.
  const time_t early = utc("2021-04-06 00:02:00");
  EXPECT_EQ(Histogram::getDremoPath(early), "/histogram/2021-04-05.csv");
  EXPECT_EQ(Histogram::getDremoPath(utc("2021-04-06 00:05:00")), "/histogram/2021-04-06.csv");
  Fixture zero("histogramminutes=0\n");
  zero.histogram.readProperties(zero.props);
  EXPECT_EQ(zero.histogram.getIntervalSecs(), HISTOGRAM_INTERVAL_DEFAULT_SECS);
}

TEST(HistogramTest, CsvCheckTakesHeaderAndDataLinesAndRefusesAnythingElse) {
  auto check = [](const std::string& text) {
    return checkHistogramCsv(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  const std::string header = "# Histogram\n\"datetime\",\"Voltage\",\"% Free\"\r\n";
  HistogramCsv good = check(header + "2021-04-05 10:00:00,12.40,87.5\n\n2021-04-05 11:00:00,1,2");
  EXPECT_TRUE(good.ok) << good.error;
  EXPECT_EQ(good.columns, 3u);
  EXPECT_EQ(good.rows, 2u);
  EXPECT_EQ(good.last, utc("2021-04-05 11:00:00"));
  EXPECT_TRUE(check(header).ok);
  const struct {
    std::string text;
    size_t line;
  } bad[] = {
      {"", 0},
      {"# only a comment\n", 2},
      {"datetime,Voltage\n", 1},
      {header + "2021-04-05 10:00:00,12.40\n", 3},
      {header + "2021-04-05 10:00:00,12.40,87.5,1\n", 3},
      {header + "yesterday,12.40,87.5\n", 3},
      {header + "2021-04-05 10:00:00,nan,87.5\n", 3},
      {header + "2021-04-05 10:00:00,,87.5\n", 3},
      {header + "2021-04-05 10:00:00,1,2\x01\n", 3},
      {header + std::string(HISTOGRAM_LINE_MAX + 1, '1'), 3},
      {std::string(HISTOGRAM_FILE_MAX + 1, '\n'), 0},
  };
  for (const auto& b : bad) {
    const HistogramCsv result = check(b.text);
    EXPECT_FALSE(result.ok) << b.text.substr(0, 80);
    EXPECT_EQ(result.line, b.line) << result.error;
  }
}
