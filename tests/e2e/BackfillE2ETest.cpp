// Backfill from the instrument's card: a hub restarted while the simulator
// kept recording fetches every minute of its restart gap by the card's own
// file name, newest first, and every record ends in the archive once, the
// minutes the hub never saw (the card's prefill) included.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/HubRun.h"
#include "support/MseedRecords.h"

namespace {

using std::chrono::seconds;
namespace fs = std::filesystem;

// The "*.ms" files below folder, sorted by path.
std::vector<std::string> minuteFiles(const std::string& folder) {
  std::vector<std::string> files;
  if (!fs::exists(folder)) return files;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file() && e.path().extension() == ".ms") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(BackfillE2ETest, RestartGapIsFetchedByNameAndEveryRecordIsStoredOnce) {
  HubRun hub("ziparchive=0\nverbose=2\n");
  const std::string card = hub.dir() + "/card";
  ASSERT_TRUE(hub.start());
  auto sim =
      hub.simulator({"--card", card, "--prefill", "70", "--reconnect", "1", "--duration", "280"});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(hub.waitForLog("GAP HHE End:", seconds(20))) << hub.allLogs();
  sleep(2);
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  sleep(2);  // the instrument keeps recording
  ASSERT_TRUE(hub.start());

  // The restart gap reaches back past the card's oldest minute, fetched last.
  const std::vector<std::string> onCard = minuteFiles(card + "/data");
  ASSERT_GE(onCard.size(), 2u);
  const std::string oldest = onCard.front().substr(card.size());
  ASSERT_TRUE(hub.waitForLog("backfill complete | " + oldest, seconds(240))) << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  sim->signal(SIGTERM);
  sim->wait(seconds(10));

  const std::string logs = hub.allLogs();
  EXPECT_NE(logs.find("REQUEST FILE     [" + oldest + "]"), std::string::npos);
  std::set<std::pair<std::string, hptime_t>> archived;
  for (const std::string& f : minuteFiles(hub.dir() + "/archive/SIM")) {
    int bad = 0;
    for (const RecordId& r : recordsIn(readText(f), &bad)) {
      EXPECT_TRUE(archived.insert({r.channel, r.start}).second)
          << "twice: " << r.channel << " " << r.start << " in " << f;
    }
    EXPECT_EQ(bad, 0) << f;
  }
  size_t fetched = 0;
  for (const std::string& f : onCard) {
    if (logs.find("backfill complete | " + f.substr(card.size())) == std::string::npos) continue;
    ++fetched;
    int bad = 0;
    for (const RecordId& r : recordsIn(readText(f), &bad)) {
      EXPECT_EQ(archived.count({r.channel, r.start}), 1u) << r.channel << " " << r.start << f;
    }
  }
  EXPECT_GE(fetched, 2u);
}

}  // namespace
