// vhplot on an archive laid out as the hub keeps it, filled with real records
// (three real gaps), one minute zipped, plus a damaged zip and a file that is
// not miniSEED: both are skipped with a message and the rest is drawn.
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "Plot.h"
#include "support/TestSupport.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "waveform/Zipper.h"

namespace {

constexpr char BGLD_RECORDS[] = "BW.BGLD..EHE.200sps.steim1.gaps.mseed";  // 2008-01-01 00:00-00:04
constexpr size_t OFF_START_MINUTE = 25;  // BTIME minute byte of the record header
constexpr time_t DAY = 1199145600;       // 2008-01-01 00:00:00 UTC

std::string minuteFile(const TempDir& dir, int minute, const char* extension) {
  return dir.file("archive/BGLD/2008/01/01/00/") + sformat("20080101_00%02d_BGLD", minute) +
         extension;
}

double offset(hptime_t t) { return static_cast<double>(t) / HPTMODULUS - DAY; }

// The font caches that cairo and fontconfig keep for the process are given
// back at the end, so the leak check sees only what the plots leave behind.
class FontCaches : public ::testing::Environment {
 public:
  void TearDown() override {
    cairo_debug_reset_static_data();
    FcFini();
  }
};
const auto* const fontCaches = ::testing::AddGlobalTestEnvironment(new FontCaches);

TEST(VhplotTest, DrawsDayWithRealGapsAndSkipsDamagedFiles) {
  TempDir dir;
  ASSERT_GT(mkdirs(dir.file("archive/BGLD/2008/01/01/00/"), true), -1);
  for (const std::string& record : testRecords(BGLD_RECORDS)) {
    FILE* f = fopen(minuteFile(dir, record[OFF_START_MINUTE], ".ms").c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fwrite(record.data(), 1, record.size(), f);
    fclose(f);
  }
  ASSERT_TRUE(Zipper::compressFile(minuteFile(dir, 2, ".ms.zip"), minuteFile(dir, 2, ".ms")));
  ASSERT_TRUE(removeFile(minuteFile(dir, 2, ".ms")));
  writeText(minuteFile(dir, 5, ".ms.zip"), "PK\x03\x04 not a zip at all");
  writeText(minuteFile(dir, 6, ".ms"), std::string(1024, 'x'));

  DayRequest request;
  request.archiveTemplate = dir.file("archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S");
  request.station = "BGLD";
  request.day = DAY + 3600;
  request.now = DAY + 10 * 86400;
  for (const char* name : {"day.png", "day.svg"}) {
    request.outPath = dir.file(name);
    DayReport report;
    ASSERT_TRUE(plotStationDay(request, &report)) << report.error;
    EXPECT_EQ(report.channel, "EHE");
    // The three gaps of the records (2.06, 2.06 and 4.12 s) and the rest of the day.
    ASSERT_EQ(report.gaps.size(), 4u);
    const double lengths[] = {2.06, 2.06, 4.12};
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(offset(report.gaps[i].end) - offset(report.gaps[i].start), lengths[i], 0.01);
    EXPECT_NEAR(offset(report.gaps[0].start), 1.975, 0.01);
    EXPECT_NEAR(offset(report.gaps[3].start), 271.795, 0.01);  // minute 2 came from its zip
    EXPECT_EQ(offset(report.gaps[3].end), 86400);
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_NE(report.problems[0].find("_0005_BGLD.ms.zip: damaged zip"), std::string::npos);
    EXPECT_NE(report.problems[1].find("_0006_BGLD.ms: not miniSEED"), std::string::npos);
  }
  EXPECT_EQ(readText(dir.file("day.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");
  const std::string svg = readText(dir.file("day.svg"));
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("<svg"), std::string::npos);

  std::vector<std::string> problems;
  std::string error;
  ASSERT_TRUE(
      plotOverview(request.archiveTemplate, DAY + 600, dir.file("all.html"), &problems, &error))
      << error;
  const std::string html = readText(dir.file("all.html"));
  EXPECT_NE(html.find("<td>BGLD</td><td>EHE</td><td><svg"), std::string::npos);
  EXPECT_NE(html.find("2008-01-01 00:00:01.975 - 2008-01-01 00:00:04.035"), std::string::npos);
  EXPECT_EQ(problems.size(), 2u);
}

}  // namespace
