// Backfill from the instrument's card: a backfill gap the hub recorded
// before it stopped (in the station's gap file) is fetched at the next link
// by the card's own file names, and every fetched record ends in the archive
// once, beside the live records of the same link. With "settings" on, the
// settings file is fetched once the retrieval is free, and its StationXML
// written.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/HubRun.h"
#include "support/MseedRecords.h"
#include "util/FileUtil.h"
#include "util/TimeUtil.h"

namespace {

using std::chrono::seconds;

TEST(BackfillE2ETest, RecordedGapIsFetchedByNameAndEveryRecordIsStoredOnce) {
  HubRun hub("ziparchive=0\nverbose=2\nsettings=1\n");
  const std::string card = hub.dir() + "/card";
  // A due backfill gap over two minutes that only the card holds: from nine to
  // seven minutes ago, due five minutes ago (pop time, start, end, DLBACK).
  const time_t now = time(nullptr) / 60 * 60;
  mkdirs(hub.dir() + "/time/", true);
  writeText(hub.dir() + "/time/SIM.01000001.gaps", std::to_string(now - 300) + " " +
                                                       std::to_string(now - 540) + " " +
                                                       std::to_string(now - 421) + " 6\n");
  ASSERT_TRUE(hub.start());
  auto sim = hub.simulator({"--card", card, "--prefill", "660", "--duration", "90"});
  ASSERT_TRUE(sim->start());

  std::vector<std::string> onCard;
  ASSERT_TRUE(waitFor([&] { return (onCard = filesBelow(card + "/data", ".ms")).size() >= 11; },
                      seconds(20)))
      << onCard.size();
  // Minutes are fetched newest first; the older one ends the gap.
  std::vector<std::string> wanted;
  for (const std::string& f : onCard) {
    const std::string name = f.substr(card.size());
    if (name.find(formatUtc(now - 540, "%Y-%m-%d %H%M")) != std::string::npos ||
        name.find(formatUtc(now - 480, "%Y-%m-%d %H%M")) != std::string::npos) {
      wanted.push_back(name);
    }
  }
  ASSERT_FALSE(wanted.empty()) << onCard.front();
  for (const std::string& name : wanted) {
    ASSERT_TRUE(hub.waitForLog("backfill complete | " + name, seconds(80))) << hub.allLogs();
  }
  ASSERT_TRUE(hub.waitForLog("backfill complete | /settings.ss", seconds(60))) << hub.allLogs();
  ASSERT_TRUE(hub.stopByShutdownFile(seconds(30)));
  EXPECT_TRUE(pathExists(hub.dir() + "/download/SIM.01000001/station.xml"));
  sim->signal(SIGTERM);
  sim->wait(seconds(10));

  const std::string logs = hub.allLogs();
  for (const std::string& name : wanted) {
    EXPECT_NE(logs.find("REQUEST FILE     [" + name + "]"), std::string::npos) << name;
  }
  std::set<std::pair<std::string, hptime_t>> archived;
  for (const std::string& f : filesBelow(hub.dir() + "/archive/SIM", ".ms")) {
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
  EXPECT_GE(fetched, wanted.size());
}

}  // namespace
