// The figures of the running instrument links for the hub's status file and
// metrics page.
//
// Each session publishes a LinkSnapshot of its link (what it is, since when,
// the station, the newest data, pending gaps, backfill, uploads waiting and a
// summary of the instrument's settings) into the one LinkRegistry, together
// with the live records and bytes it stored since its last publish; the
// registry adds those to the station's counts of the UTC day, which outlast
// the link (a station that reconnects keeps its day's counts). The status
// writer and the metrics page take a copy of every link (links()).
//
// Thread safety: the registry's one lock, mu_, guards the link table and the
// day counts. Under it the callers only copy snapshots in or out: no I/O, no
// other lock is taken while it is held, so a session never waits on a
// reader's file or socket. Sessions build their snapshot before they call
// publish.
#ifndef VH_SESSION_LINKSTATUS_H_
#define VH_SESSION_LINKSTATUS_H_

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "gaps/Gap.h"
#include "util/Mutex.h"

constexpr size_t LINK_DAY_COUNTS_MAX = 1000;  // stations whose day counts are kept
constexpr long LINK_BUILD_UNKNOWN = -1;       // the instrument's build is not known yet

// One link as the status shows it. Times are Unix seconds of the wall clock.
struct LinkSnapshot {
  std::string link;                           // TCP address and port, or the serial port
  time_t since = 0;                           // the link's session began
  std::string station;                        // station label "%s.%08x"; empty until known
  time_t lastData = 0;                        // end of the newest live record; 0: none yet
  long lagSeconds = 0;                        // hub clock minus that end when it was stored
  std::array<int, Gap::ACTION_COUNT> gaps{};  // pending gaps of the station, by action
  bool backfill = false;                      // a minute is being fetched from the card
  std::string backfillFile;                   // the instrument's file being fetched
  int uploadsWaiting = 0;                     // files waiting in the station's upload folder
  long build = LINK_BUILD_UNKNOWN;            // instrument settings: "build_number"
  float voltage = 0;                          // "v_supply"
  float temperature = 0;                      // "temperature"
  float cardFreePercent = 0;                  // "card_free_pc"
};

// A link with its station's counts of the day.
struct LinkStatus {
  LinkSnapshot snapshot;
  uint64_t recordsToday = 0;
  uint64_t bytesToday = 0;
};

class LinkRegistry {
 public:
  // The process-wide registry; lives as long as the process.
  static LinkRegistry& instance();

  LinkRegistry() = default;
  LinkRegistry(const LinkRegistry&) = delete;
  LinkRegistry& operator=(const LinkRegistry&) = delete;

  // A link begins; returns its key for publish and remove (never 0).
  uint64_t add(const LinkSnapshot& snapshot);
  // Replaces the link's snapshot and adds records and bytes to the counts of
  // its station (when known) for the UTC day of now; counts of an earlier
  // day start again from zero. When LINK_DAY_COUNTS_MAX stations are counted
  // already, those of earlier days make room; a station beyond that is not
  // counted. Unknown keys are ignored.
  void publish(uint64_t key, const LinkSnapshot& snapshot, uint64_t records, uint64_t bytes,
               time_t now);
  // The link ended; its station's day counts stay.
  void remove(uint64_t key);
  // Every link in the order they began, with the day counts of its station
  // as of the UTC day of now (zero when they are of an earlier day).
  std::vector<LinkStatus> links(time_t now) const;

 private:
  struct DayCount {
    long day = 0;  // UTC day number (Unix seconds / 86400)
    uint64_t records = 0;
    uint64_t bytes = 0;
  };

  mutable Mutex mu_;
  std::map<uint64_t, LinkSnapshot> links_ GUARDED_BY(mu_);  // by key: the order they began
  std::map<std::string, DayCount> days_ GUARDED_BY(mu_);    // by station label
  uint64_t nextKey_ GUARDED_BY(mu_) = 1;
};

#endif  // VH_SESSION_LINKSTATUS_H_
