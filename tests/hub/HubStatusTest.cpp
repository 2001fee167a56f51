// The status document and the metrics page rendered from link snapshots:
// values, absent figures, escaping of hostile texts; the day counts of the
// link registry; the folder of an archive template.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "hub/HubStatus.h"
#include "util/Dirs.h"

namespace {

constexpr time_t NOW = 1796614800;  // 2026-12-07T03:40:00Z
constexpr time_t DAY = 86400;

HubFigures hubFigures() {
  HubFigures hub;
  hub.now = NOW;
  hub.uptimeSeconds = 3600;
  hub.links = 2;
  hub.zipQueue = 3;
  hub.logErrorsLastHour = 4;
  ArchiveDisk disk;
  disk.archive = "archive1";
  disk.folder = "archive/";
  disk.known = true;
  disk.freeBytes = 123456789012ULL;
  disk.totalBytes = 999999999999ULL;
  hub.disks.push_back(disk);
  ArchiveDisk missing;
  missing.archive = "archive2";
  missing.folder = "/nowhere/";
  hub.disks.push_back(missing);
  return hub;
}

LinkStatus streamingLink() {
  LinkStatus l;
  l.snapshot.link = "127.0.0.1 Ports: client=4000 server=58772";
  l.snapshot.since = NOW - 60;
  l.snapshot.station = "ABCD.01000abc";
  l.snapshot.lastData = NOW - 2;
  l.snapshot.lagSeconds = 1;
  l.snapshot.gaps[Gap::DLBACK] = 5;
  l.snapshot.gaps[Gap::BLDTRI] = 1;
  l.snapshot.backfill = true;
  l.snapshot.backfillFile = "/data/2026/12/07/04/x.ms";
  l.snapshot.uploadsWaiting = 2;
  l.snapshot.build = 4700;
  l.snapshot.voltage = 12.4f;
  l.snapshot.temperature = -3.5f;
  l.snapshot.cardFreePercent = 87.5f;
  l.recordsToday = 1500;
  l.bytesToday = 768000;
  return l;
}

// A link before identification, with texts an instrument or a system could
// make hostile, and measured values that are not numbers.
LinkStatus hostileLink() {
  LinkStatus l;
  l.snapshot.link = "tty\"S0\\\n\x01\xe9";
  l.snapshot.since = NOW - 5;
  l.snapshot.station = "";
  l.snapshot.voltage = NAN;
  return l;
}

}  // namespace

TEST(HubStatusTest, JsonHoldsEveryFigureAndNullForWhatIsNotKnown) {
  const std::string json = renderStatusJson(hubFigures(), {streamingLink(), hostileLink()});
  EXPECT_NE(json.find("\"written\": \"2026-12-07T03:40:00Z\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"hub\": {\"uptime_seconds\": 3600, \"links\": 2, \"zip_queue\": 3, "
                      "\"log_errors_last_hour\": 4, \"disks\": [{\"archive\": \"archive1\", "
                      "\"folder\": \"archive/\", \"free_bytes\": 123456789012, \"size_bytes\": "
                      "999999999999}, {\"archive\": \"archive2\", \"folder\": \"/nowhere/\", "
                      "\"free_bytes\": null, \"size_bytes\": null}]}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"station\": \"ABCD.01000abc\", \"link\": \"127.0.0.1 Ports: "
                      "client=4000 server=58772\", \"since\": \"2026-12-07T03:39:00Z\", "
                      "\"last_data\": \"2026-12-07T03:39:58Z\", \"lag_seconds\": 1, "
                      "\"records_today\": 1500, \"bytes_today\": 768000, \"gaps_pending\": "
                      "{\"BLDTRI\": 1, \"DLBACK\": 5}, \"backfill\": {\"active\": true, \"file\": "
                      "\"/data/2026/12/07/04/x.ms\"}, \"uploads_waiting\": 2, \"settings\": "
                      "{\"build\": 4700, \"voltage\": 12.40, \"temperature\": -3.50, "
                      "\"card_free_percent\": 87.50}}"),
            std::string::npos)
      << json;
  // Escaped text, no data yet, no build, a voltage that is not a number.
  EXPECT_NE(json.find("\"link\": \"tty\\\"S0\\\\\\u000a\\u0001\\u00e9\""), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"last_data\": null, \"lag_seconds\": null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"gaps_pending\": {}"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"build\": null, \"voltage\": null,"), std::string::npos) << json;
  for (unsigned char c : json) EXPECT_LT(c, 0x80) << "not ASCII";
  EXPECT_NE(renderStatusJson(hubFigures(), {}).find("\"stations\": []"), std::string::npos);
}

TEST(HubStatusTest, MetricsPageHasOneFamilyPerFigureAndEscapedLabels) {
  const std::string page = renderMetrics(hubFigures(), {streamingLink(), hostileLink()});
  const std::string abcd =
      "{station=\"ABCD.01000abc\",link=\"127.0.0.1 Ports: client=4000 server=58772\"}";
  for (const std::string& line : std::vector<std::string>{
           std::string("vorlanhub_uptime_seconds 3600\n"),
           std::string("vorlanhub_links 2\n"),
           std::string("vorlanhub_zip_queue 3\n"),
           std::string("vorlanhub_log_errors_last_hour 4\n"),
           std::string("vorlanhub_disk_free_bytes{archive=\"archive1\",folder=\"archive/\"} "
                       "123456789012\n"),
           "vorlanhub_link_since_timestamp_seconds" + abcd + " 1796614740\n",
           "vorlanhub_link_last_data_timestamp_seconds" + abcd + " 1796614798\n",
           "vorlanhub_link_lag_seconds" + abcd + " 1\n",
           "vorlanhub_link_records_today" + abcd + " 1500\n",
           "vorlanhub_link_bytes_today" + abcd + " 768000\n",
           "vorlanhub_link_backfill_active" + abcd + " 1\n",
           "vorlanhub_link_uploads_waiting" + abcd + " 2\n",
           "vorlanhub_link_build" + abcd + " 4700\n",
           "vorlanhub_link_voltage_volts" + abcd + " 12.4\n",
           "vorlanhub_link_temperature_celsius" + abcd + " -3.5\n",
           std::string("vorlanhub_link_gaps_pending{station=\"ABCD.01000abc\",link=\"127.0.0.1 "
                       "Ports: client=4000 server=58772\",action=\"DLBACK\"} 5\n"),
           std::string("# TYPE vorlanhub_link_lag_seconds gauge\n"),
       }) {
    EXPECT_NE(page.find(line), std::string::npos) << line << "\n" << page;
  }
  const std::string hostile = "{station=\"\",link=\"tty\\\"S0\\\\\\n??\"}";
  EXPECT_NE(page.find("vorlanhub_link_voltage_volts" + hostile + " NaN\n"), std::string::npos)
      << page;
  // Figures that are not known have no sample; the unknown disk neither.
  EXPECT_EQ(page.find("vorlanhub_link_lag_seconds" + hostile), std::string::npos);
  EXPECT_EQ(page.find("vorlanhub_link_build" + hostile), std::string::npos);
  EXPECT_EQ(page.find("archive2"), std::string::npos);
  EXPECT_EQ(page.find("action=\"BLDTRI\"} 1"), page.rfind("action=\"BLDTRI\"} 1"));
  size_t families = 0;
  for (size_t at = page.find("# TYPE "); at != std::string::npos; at = page.find("# TYPE ", at + 1))
    ++families;
  EXPECT_EQ(families, 17u);
}

TEST(HubStatusTest, RegistryKeepsDayCountsPerStationAcrossLinksAndStartsEachDayAtZero) {
  LinkRegistry registry;
  LinkSnapshot s;
  s.station = "ABCD.01000abc";
  const uint64_t first = registry.add(s);
  registry.publish(first, s, 10, 5120, NOW);
  registry.remove(first);
  EXPECT_TRUE(registry.links(NOW).empty());
  const uint64_t second = registry.add(s);  // the station reconnects the same day
  EXPECT_NE(second, first);
  registry.publish(second, s, 2, 1024, NOW + 10);
  std::vector<LinkStatus> links = registry.links(NOW + 10);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].recordsToday, 12u);
  EXPECT_EQ(links[0].bytesToday, 6144u);
  EXPECT_EQ(registry.links(NOW + DAY)[0].recordsToday, 0u);  // not yet published that day
  registry.publish(second, s, 1, 512, NOW + DAY);
  EXPECT_EQ(registry.links(NOW + DAY)[0].recordsToday, 1u);
  registry.publish(first, s, 100, 100, NOW + DAY);  // a link that left counts nothing
  EXPECT_EQ(registry.links(NOW + DAY)[0].recordsToday, 1u);
}

TEST(HubStatusTest, ArchiveFolderIsTheTemplatesFixedPart) {
  EXPECT_EQ(archiveFolderOf("archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S"), "archive/");
  EXPECT_EQ(archiveFolderOf("/data/vh/archive/%S/%Y"), "/data/vh/archive/");
  EXPECT_EQ(archiveFolderOf("%U/lumetrafiles/DataArchive/%S/%Y"),
            HOMEDIR + "/lumetrafiles/DataArchive/");
  EXPECT_EQ(archiveFolderOf("%S/%Y/%M"), ".");
  EXPECT_EQ(archiveFolderOf("/data/archive"), "/data/");
  // A folder that does not exist yet is measured on its nearest parent.
  const ArchiveDisk disk = diskOf("archive1", "/tmp/does/not/exist/yet/");
  EXPECT_TRUE(disk.known);
  EXPECT_GT(disk.totalBytes, 0u);
}
