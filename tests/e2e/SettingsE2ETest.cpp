// The hub's setting queries to a simulated instrument and the settings file
// they produce: the query schedule (first query about 20 s after the
// session starts, then one per second while answers come, 5 s after a query
// without an answer, a fresh full cycle 5 s after "Settings changed"), and
// the settings file in the station's download folder.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "metadata/SsFile.h"
#include "support/HubRun.h"

namespace {

using std::chrono::seconds;

// One line of a hub log ("HHMMSS.mmm text") with its second of the day.
struct LogLine {
  long second;
  std::string text;
};

std::vector<LogLine> logLines(const std::string& logs) {
  std::vector<LogLine> lines;
  std::regex re("^(\\d\\d)(\\d\\d)(\\d\\d)\\.\\d{3} (.*)$");
  std::istringstream in(logs);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_search(line, m, re)) continue;
    long second = std::stol(m[1].str()) * 3600 + std::stol(m[2].str()) * 60 + std::stol(m[3].str());
    lines.push_back({second, m[4].str()});
  }
  return lines;
}

// Seconds from a to b within a day that may have turned over midnight.
long secondsBetween(long a, long b) { return (b - a + 86400) % 86400; }

// The setting queries the hub sent, in order: the key and the second.
struct Query {
  long second;
  std::string key;
};

std::vector<Query> queries(const std::vector<LogLine>& lines) {
  std::vector<Query> out;
  std::regex re("^S CO \\[\\? \"([^\"]+)\"\\]");
  std::smatch m;
  for (const LogLine& l : lines) {
    if (std::regex_search(l.text, m, re)) out.push_back({l.second, m[1].str()});
  }
  return out;
}

long firstSecond(const std::vector<LogLine>& lines, const std::string& prefix) {
  for (const LogLine& l : lines)
    if (l.text.rfind(prefix, 0) == 0) return l.second;
  return -1;
}

}  // namespace

TEST(SettingsE2ETest, QueriesFollowTheScheduleAndAnswersMakeTheSettingsFile) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  TempDir tmp;
  std::string simSettings = tmp.file("sim.ss");
  writeText(simSettings, "\"custom_sensitivity_A_0\"=\"0.5\"\n\"unit\"=\"m/s (ro)\"\n");
  // The instrument answers every query (unknown keys with "nil") except
  // during its silence from second 30 to 38.
  auto sim = hub.simulator({"--duration", "56", "--reconnect", "0", "--settings", simSettings,
                            "--script", "30:silence 8;45:command Settings changed"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(sim->wait(seconds(90)));
  ASSERT_TRUE(hub.stopByShutdownFile());

  std::string logs = hub.allLogs();
  std::vector<LogLine> lines = logLines(logs);
  std::vector<Query> qs = queries(lines);
  long start = firstSecond(lines, "start init");
  ASSERT_GE(start, 0) << logs;
  ASSERT_GE(qs.size(), 8u) << logs;

  // The first query is ? "settings_time", about 20 s after the session began.
  EXPECT_EQ(qs[0].key, "settings_time");
  long first = secondsBetween(start, qs[0].second);
  EXPECT_GE(first, 19) << logs;
  EXPECT_LE(first, 23) << logs;
  // Answered keys are followed at the next second, in table order.
  for (int i = 1; i < 6; ++i) {
    EXPECT_STREQ(qs[i].key.c_str(), SsFile::SS_KEYS[i]);
    EXPECT_LE(secondsBetween(qs[i - 1].second, qs[i].second), 2) << qs[i].key;
  }
  // A query the silent instrument did not answer is followed 5 s later.
  int fiveSecondSteps = 0;
  for (size_t i = 1; i < qs.size(); ++i) {
    long gap = secondsBetween(qs[i - 1].second, qs[i].second);
    if (gap >= 4 && gap <= 6) ++fiveSecondSteps;
  }
  EXPECT_GE(fiveSecondSteps, 1) << logs;

  // "Settings changed" starts a full cycle again about 5 s later.
  long changed = firstSecond(lines, "SETTINGS_CHANGED");
  ASSERT_GE(changed, 0) << logs;
  EXPECT_NE(logs.find("SsTime restart called"), std::string::npos);
  bool restarted = false;
  for (size_t i = 1; i < qs.size(); ++i) {
    long after = secondsBetween(changed, qs[i].second);
    if (after > 0 && after < 60) {
      EXPECT_EQ(qs[i].key, "settings_time");
      EXPECT_GE(after, 4);
      EXPECT_LE(after, 7);
      restarted = true;
      break;
    }
  }
  EXPECT_TRUE(restarted) << logs;

  // The answers are in the station's settings file.
  std::string path = hub.dir() + "download/SIM.01000001/settings.ss";
  std::string text = readText(path);
  ASSERT_FALSE(text.empty()) << logs;
  EXPECT_EQ(text.rfind("\"format\"=\"vorlanmeta\"\n", 0), 0u) << text;
  for (const char* line :
       {"\n\"sitename\"=\"SIM\"\n", "\n\"network_code\"=\"XX\"\n", "\n\"build_number\"=4700\n",
        "\n\"cpv\"=838860.8\n", "\n\"serial\"=\"01000001\"\n", "\n\"datalogger\"=\"Dremo\"\n",
        "\n\"custom_sensitivity_A_0\"=0.5\n", "\n\"time\"=\""}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("cpv_chO"), std::string::npos);  // "nil" answers store nothing
  SsFile back;
  ASSERT_EQ(back.read(path), 1);
  EXPECT_EQ(back.getStation(), "SIM");
  EXPECT_EQ(back.getBuildNo(), 4700);
  EXPECT_EQ(back.getHistogramTime().size(), 19u);
}
