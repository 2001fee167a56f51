// Nothing lost: the hub with a simulated instrument stores every accepted
// record exactly once in its minute files, read back with libmseed; time
// files, GAP lines, and the restart gap across a hub restart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/HubRun.h"
#include "support/MseedRecords.h"
#include "util/TimeUtil.h"

namespace {

using std::chrono::seconds;
namespace fs = std::filesystem;

struct Stored {
  std::string file;
  std::string channel;
  hptime_t start;
};

// Every record of every "*.ms" file below folder, files in name order.
std::vector<Stored> readArchive(const std::string& folder) {
  std::vector<Stored> out;
  for (const std::string& f : filesBelow(folder, ".ms")) {
    int bad = 0;
    for (const RecordId& r : recordsIn(readText(f), &bad)) out.push_back({f, r.channel, r.start});
    EXPECT_EQ(bad, 0) << f;
  }
  return out;
}

std::string minuteName(hptime_t t, const std::string& station) {
  return formatUtc(t / HPTMODULUS, "%Y/%m/%d/%H/%Y%m%d_%H%M_") + station + ".ms";
}

TEST(ArchiveE2ETest, ThreeChannelsForThreeMinutesAreStoredOnceInOrder) {
  HubRun hub("ziparchive=0\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--channels", "HHZ,HHN,HHE", "--rate", "100", "--backlog", "200",
                            "--as-fast-as-possible", "--records", "300", "--duration", "12",
                            "--reconnect", "0"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(sim->wait(seconds(40)));
  SimSummary s = simSummary(sim->output(), "SIM");
  ASSERT_TRUE(s.found) << sim->output();
  ASSERT_TRUE(hub.waitForLog("FINISH", seconds(40))) << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));

  const std::string root = hub.dir() + "/archive/SIM";
  auto stored = readArchive(root);
  EXPECT_EQ(static_cast<long>(stored.size()), s.records) << sim->output();
  std::map<std::string, std::vector<hptime_t>> byChannel;
  std::set<std::pair<std::string, hptime_t>> seen;
  for (const Stored& r : stored) {
    EXPECT_TRUE(seen.insert({r.channel, r.start}).second) << "twice: " << r.channel << r.start;
    byChannel[r.channel].push_back(r.start);
    // A batch goes to the minute of its first record: the record's own
    // minute or the one before.
    hptime_t minute = HPTMODULUS * 60;
    std::string own = root + "/" + minuteName(r.start, "SIM");
    std::string before = root + "/" + minuteName(r.start - minute, "SIM");
    EXPECT_TRUE(r.file == own || r.file == before) << r.file << " " << own;
  }
  ASSERT_EQ(byChannel.size(), 3u);
  hptime_t first = stored.front().start, last = stored.front().start;
  for (const auto& [channel, starts] : byChannel) {
    EXPECT_TRUE(std::is_sorted(starts.begin(), starts.end())) << channel;
    first = std::min(first, starts.front());
    last = std::max(last, starts.back());
    // The first record of each channel logs a GAP line, contiguous ones none.
    EXPECT_EQ(countOf(hub.allLogs(), "GAP " + channel + " End:"), 1u) << channel;
  }
  EXPECT_GE(last - first, 3 * 60 * HPTMODULUS - 60 * HPTMODULUS / 2);
  EXPECT_EQ(readText(hub.dir() + "/time/SIM.01000001.last"), std::to_string(last / HPTMODULUS));
}

TEST(ArchiveE2ETest, HubRestartWhileTheInstrumentRecordsLeavesARestartGap) {
  HubRun hub("ziparchive=0\nverbose=2\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--reconnect", "1", "--duration", "150"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(hub.waitForLog("GAP HHE End:", seconds(20))) << hub.allLogs();
  sleep(3);
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  const std::string lastPath = hub.dir() + "/time/SIM.01000001.last";
  const std::string before = readText(lastPath);
  ASSERT_FALSE(before.empty());
  const long last = std::stol(before);
  sleep(5);  // the instrument keeps recording while no hub listens

  ASSERT_TRUE(hub.start());
  ASSERT_TRUE(hub.waitForLog("Adding Restart Gap [SIM], ", seconds(90))) << hub.allLogs();
  ASSERT_TRUE(hub.waitForLog("ADDING RESTART GAP SIM.01000001 ", seconds(5))) << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  sim->signal(SIGTERM);
  sim->wait(seconds(10));

  // The gap file lists the restart gap in its line format, and it is still
  // there after the stop.
  const std::string gaps = readText(hub.dir() + "/time/SIM.01000001.gaps");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(gaps, m, std::regex("^([0-9]+) ([0-9]+) ([0-9]+) 6    \n")))
      << gaps;
  const long start = std::stol(m[2].str()), end = std::stol(m[3].str());
  EXPECT_EQ(start, (last - 60) / 60 * 60);
  // The restart came more than 5 s after the last stored second; the gap
  // reaches past it to the end of a later minute.
  EXPECT_GE(end, last + 5);
  EXPECT_EQ((end + 1) % 60, 0);
}

// A power cut while the link is down: the gap recorded before it is in the
// gap file, and the next hub keeps it.
TEST(ArchiveE2ETest, GapRecordedBeforeAKillWhileTheLinkIsDownSurvivesIt) {
  HubRun hub("ziparchive=0\nverbose=2\n");
  // Settings kept from an earlier link: the restart gap needs the channels.
  fs::create_directories(hub.dir() + "/download/SIM.01000001");
  writeText(hub.dir() + "/download/SIM.01000001/settings.ss", "\"tele_chan[0]\"=\"1\"\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({});
  ASSERT_TRUE(sim->start());
  const std::string added = "ADDING RESTART GAP SIM.01000001 ";
  ASSERT_TRUE(hub.waitForLog(added, seconds(20))) << hub.allLogs();
  sim->signal(SIGTERM);
  ASSERT_TRUE(sim->wait(seconds(10)));
  hub.process().signal(SIGKILL);
  ASSERT_TRUE(hub.process().wait(seconds(10)));
  const std::string path = hub.dir() + "/time/SIM.01000001.gaps";
  const std::string killed = readText(path);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(killed, m, std::regex("^[0-9]+ ([0-9]+) ([0-9]+) 6    \n")))
      << killed;
  const long start = std::stol(m[1].str()), end = std::stol(m[2].str());

  ASSERT_TRUE(hub.start());
  auto again = hub.simulator({});
  ASSERT_TRUE(again->start());
  ASSERT_TRUE(waitFor([&] { return countOf(hub.allLogs(), added) >= 2; }, seconds(20)))
      << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  // The new restart gap is merged into the old one or listed beside it.
  bool kept = false;
  const std::string gaps = readText(path);
  std::regex line("([0-9]+) ([0-9]+) ([0-9]+) 6    \n");
  for (auto it = std::sregex_iterator(gaps.begin(), gaps.end(), line); it != std::sregex_iterator();
       ++it) {
    kept = kept || (std::stol((*it)[2].str()) <= start && std::stol((*it)[3].str()) >= end);
  }
  EXPECT_TRUE(kept) << killed << "---\n" << gaps;
}

}  // namespace
