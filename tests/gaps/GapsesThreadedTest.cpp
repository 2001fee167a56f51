// Several link threads meeting the one gap store at once. Run under
// ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gaps/GapTestSupport.h"
#include "gaps/Gapses.h"
#include "support/TestSupport.h"

namespace {

constexpr int THREADS = 16;
constexpr int STATIONS_PER_THREAD = 10;
constexpr int MINUTES = 30;

std::string stationId(int thread, int station) {
  char id[GAPS_ID_MAX + 1];
  snprintf(id, sizeof id, "T%02dS%02d.%08x", thread, station, thread * 100 + station);
  return id;
}

class GapsesThreadedTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedBaseDir base_{dir_.path()};
  CaptureLog log_;
  const time_t ten_ = hourAgo(3);
};

// Every thread is the session of its own stations: it finds their slots,
// records single backfill minutes (which merge into one gap), then takes
// them back one minute at a time. The main thread stores the table
// meanwhile, as the stop does.
TEST_F(GapsesThreadedTest, ManyStationsAtOnceEachGetOneSlotAndKeepTheirOwnGaps) {
  Gapses gapses(&log_);
  gapses.setOldestHours(24);
  std::vector<std::vector<Gaps*>> found(THREADS, std::vector<Gaps*>(STATIONS_PER_THREAD));
  std::vector<std::vector<std::vector<time_t>>> popped(
      THREADS, std::vector<std::vector<time_t>>(STATIONS_PER_THREAD));
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int s = 0; s < STATIONS_PER_THREAD; ++s) found[t][s] = gapses.getGaps(stationId(t, s));
      for (int m = 0; m < MINUTES; ++m) {
        for (int s = 0; s < STATIONS_PER_THREAD; ++s) {
          gapses.push(stationId(t, s), ten_ + 60 * m, 59, Gap::DLBACK, &log_);
          gapses.setDataTime(stationId(t, s), ten_ + 60 * m);
        }
      }
      for (int s = 0; s < STATIONS_PER_THREAD; ++s) {
        while (std::unique_ptr<Gap> gap = gapses.pop(stationId(t, s), &log_, 0)) {
          popped[t][s].push_back(gap->start());
        }
      }
    });
  }
  go.store(true);
  for (int i = 0; i < 20; ++i) gapses.storeAll();
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(gapses.stationCount(), static_cast<size_t>(THREADS * STATIONS_PER_THREAD));
  for (int t = 0; t < THREADS; ++t) {
    for (int s = 0; s < STATIONS_PER_THREAD; ++s) {
      Gaps* gaps = gapses.getGaps(stationId(t, s));
      EXPECT_EQ(gaps, found[t][s]);
      EXPECT_EQ(gaps->getStationId(), stationId(t, s));
      EXPECT_EQ(gaps->getDataTime(), ten_ + 60 * (MINUTES - 1));
      // Every minute once, newest first.
      ASSERT_EQ(popped[t][s].size(), static_cast<size_t>(MINUTES)) << stationId(t, s);
      for (int m = 0; m < MINUTES; ++m) {
        EXPECT_EQ(popped[t][s][m], ten_ + 60 * (MINUTES - 1 - m));
      }
    }
  }
}

// A new link of a station can start while the old one still runs out its
// time-out: both use the station's list at once.
TEST_F(GapsesThreadedTest, TwoLinksOfOneStationLoseNoGap) {
  constexpr int LINKS = 4;
  constexpr int PER_LINK = 40;
  Gapses gapses(&log_);
  std::atomic<bool> go{false};
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int l = 0; l < LINKS; ++l) {
    threads.emplace_back([&, l] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < PER_LINK; ++i) {
        time_t start = ten_ + 10 * (l * PER_LINK + i);
        ASSERT_TRUE(gapses.pushBuildTrigger("SAME.00000001", start, start + 5, &log_));
        if (i % 2 == 0 && gapses.pop("SAME.00000001", &log_, 0)) taken.fetch_add(1);
      }
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(gapses.stationCount(), 1u);
  EXPECT_EQ(taken.load() + static_cast<int>(gapses.getGaps("SAME.00000001")->size()),
            LINKS * PER_LINK);
}

// Links of twice as many stations as the table holds come and go on
// several threads: the last link of a station gives its slot back after
// writing its gap file, and no station ever sees another one's gaps.
TEST_F(GapsesThreadedTest, SlotsOfEndedStationsServeNewOnesWithoutMixingLists) {
  constexpr int ROUNDS = 2 * static_cast<int>(GAPSES_SLOTS) / THREADS + 1;
  Gapses gapses(&log_);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int s = 0; s < ROUNDS; ++s) {
        const std::string id = stationId(t, s);
        gapses.attach(id);
        gapses.attach(id);  // a new link while the old one runs out its time-out
        gapses.push(id, ten_ + 60 * s, 59, Gap::DLTRIG, &log_);
        gapses.detach(id);
        EXPECT_EQ(gapses.getGaps(id)->size(), 1u) << id;
        gapses.detach(id);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(gapses.stationCount(), 0u);
  for (int t = 0; t < THREADS; ++t) {
    for (int s = 0; s < ROUNDS; ++s) {
      const std::string text = readText(dir_.path() + "time/" + stationId(t, s) + ".gaps");
      EXPECT_EQ(text.find(std::to_string(ten_ + 60 * s) + " "), 11u) << text;  // after the pop time
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }
  }
}

// Stations with gap files met by several links at once are loaded into one
// slot each, once.
TEST_F(GapsesThreadedTest, ConcurrentFirstLookupsLoadEachFileIntoOneSlot) {
  constexpr int STATIONS = 50;
  mkdir((dir_.path() + "time").c_str(), 0777);
  for (int s = 0; s < STATIONS; ++s) {
    writeText(dir_.path() + "time/" + stationId(0, s) + ".gaps",
              "1700000040 1699999980 1700000039 6    \n"
              "1700000500 1700000400 1700000500 0    \n");
  }
  Gapses gapses(&log_);
  std::vector<std::vector<Gaps*>> found(THREADS, std::vector<Gaps*>(STATIONS));
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < STATIONS; ++i) {
        int s = (i + 7 * t) % STATIONS;  // each thread meets them in another order
        found[t][s] = gapses.getGaps(stationId(0, s));
        found[t][s]->size();
      }
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(gapses.stationCount(), static_cast<size_t>(STATIONS));
  for (int s = 0; s < STATIONS; ++s) {
    for (int t = 1; t < THREADS; ++t) EXPECT_EQ(found[t][s], found[0][s]);
    EXPECT_EQ(found[0][s]->size(), 2u);
  }
}

}  // namespace
