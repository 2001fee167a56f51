// The gap store of the hub: one Gaps list per station, in a table of
// GAPSES_SLOTS slots shared by every instrument link.
//
// Ownership: start-up creates the one Gapses before the first listener or
// serial watcher starts and hands a pointer to every link; it destroys it at
// the orderly stop, which writes every station's gap file. Sessions hold the
// pointer only; it must outlive them.
//
// Slots: a slot is claimed the first time its station id is asked for, its
// list is then loaded from the station's gap file. Sessions count themselves
// on their station (attach, detach); when the last session of a station
// detaches, its gap file is written and, once that worked, the slot is free
// for the next new station. A slot claimed without any session (a gap pushed
// for a station that is not linked) keeps its station until one attaches and
// detaches. An id the table cannot hold (empty, longer than GAPS_ID_MAX
// characters, or new when every slot is taken) gets the separate list named
// "BLANK", never another station's list.
//
// Locks: mu_ guards the station index, the session counts and the claiming
// and freeing of slots (and the BLANK list's claim), so two links that meet a
// new station at once get one slot and one load. Every operation on a
// station's list runs under mu_ and then that Gaps' own lock (see Gaps.h), so
// a slot cannot be given back and claimed by another station in the middle of
// it. mu_ is always taken before a slot's lock, never while one is held. The
// backfill window is an atomic, set by any session and read by pop.
#ifndef VH_GAPS_GAPSES_H_
#define VH_GAPS_GAPSES_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "gaps/Gap.h"
#include "gaps/Gaps.h"

class Log;

constexpr size_t GAPSES_SLOTS = 200;       // stations in the table
constexpr int OLDEST_HOURS_INITIAL = 23;   // backfill window (hours) until a session sets it
constexpr char BLANK_STATION[] = "BLANK";  // id of the list for ids the table cannot hold

class Gapses {
 public:
  // log receives the store's own messages (gap files that cannot be read or
  // written, ids the table cannot hold); null sends them to the console. It
  // must outlive the store.
  explicit Gapses(Log* log = nullptr);
  Gapses(const Gapses&) = delete;
  Gapses& operator=(const Gapses&) = delete;
  // storeAll().
  ~Gapses();

  // The list of the station: its slot, or the first free slot, claimed and
  // loaded from the gap file; the BLANK list for an id the table cannot hold.
  // Never null; valid until the slot is given back (see detach), for the
  // diagnosis and the tests. Takes mu_.
  Gaps* getGaps(const std::string& stationId);

  // A session of the station begins (its first record names the station):
  // claims its slot like getGaps and counts the session.
  void attach(const std::string& stationId);
  // A session of the station ends. After the last one the station's gap file
  // is written and its slot given back; when the write fails the slot stays
  // (with a log line) and is tried again at the next detach.
  void detach(const std::string& stationId);
  // Gaps::storeIfChanged on the station's list, or on the BLANK list when
  // the station has no slot; claims nothing.
  bool storeIfChanged(const std::string& stationId);

  // Gaps::countByAction of the station's own list; all zero when the
  // station has no slot (claims nothing).
  std::array<int, Gap::ACTION_COUNT> countByAction(const std::string& stationId);

  // Gaps::push on the station's list. Returns false when it is refused; the
  // gap is then destroyed.
  bool push(const std::string& stationId, std::unique_ptr<Gap> gap, Log* log);
  // Makers: build a gap and push it.
  //   Gap(start, start + duration, action)
  bool push(const std::string& stationId, time_t start, time_t duration, Gap::GapAction action,
            Log* log);
  //   BLDTRI from start to end (prints "\n\n pushBuildTrigger push\n")
  bool pushBuildTrigger(const std::string& stationId, time_t start, time_t end, Log* log);
  //   REQHIS from t to t + 60
  bool addHistogram(const std::string& stationId, time_t t, Log* log);
  //   DELHIS from t to t
  bool addDeleteHistogram(const std::string& stationId, time_t t, Log* log);
  //   DLFILE of the named file and its text
  bool addRequestFile(const std::string& stationId, const std::string& text1,
                      const std::string& text2, Log* log);
  // Gaps::addRestartGap on the station's list.
  bool addRestartGap(const std::string& stationId, time_t t, time_t last, Log* log);
  // Sets the station's last data time (every stored packet).
  void setDataTime(const std::string& stationId, time_t t);

  // The station's next due gap within the backfill window, or null
  // (Gaps::pop); offset is the instrument's lag in seconds. A popped gap is
  // logged as "POP GAP %s" followed by the list. The caller owns the gap.
  std::unique_ptr<Gap> pop(const std::string& stationId, Log* log, time_t offset);

  // Removes the DLBACK gaps of the station's own list. Returns how many
  // went. The BLANK list is shared by every station it holds and is left
  // alone.
  size_t deleteBackfills(const std::string& stationId);
  // The backfill window in hours (property "backfillhours"); 0 drops all
  // backfill as it comes up.
  void setOldestHours(int hours) { oldestHours_.store(hours, std::memory_order_relaxed); }
  int getOldestHours() const { return oldestHours_.load(std::memory_order_relaxed); }
  // Prints the table to the console, for diagnosis.
  void printGaps();
  // Writes the gap file of every claimed list. Returns how many were written.
  size_t storeAll();

  // Number of station slots claimed (the BLANK list not counted).
  size_t stationCount();

 private:
  // getGaps under mu_.
  Gaps* slotLocked(const std::string& stationId) REQUIRES(mu_);
  // The BLANK list, claimed on first use; mu_ held.
  Gaps* blankLocked(const std::string& stationId) REQUIRES(mu_);

  Log* const log_;                                      // not owned
  std::atomic<int> oldestHours_{OLDEST_HOURS_INITIAL};  // relaxed: a plain setting

  // The table lock, taken before a slot's own lock. The slots are reached
  // only under it; a Gaps handed out is then used under that slot's lock.
  Mutex mu_;
  std::array<Gaps, GAPSES_SLOTS> slots_ GUARDED_BY(mu_);
  std::array<int, GAPSES_SLOTS> sessions_ GUARDED_BY(mu_){};  // sessions attached per slot
  std::map<std::string, size_t> index_ GUARDED_BY(mu_);       // station id -> slot
  Gaps blank_ GUARDED_BY(mu_);
  bool blankClaimed_ GUARDED_BY(mu_) = false;
  bool blankReported_ GUARDED_BY(mu_) = false;  // the BLANK fallback was logged
};

#endif  // VH_GAPS_GAPSES_H_
