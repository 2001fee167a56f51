// The deferred work of one station: a list of owned gaps in insertion order,
// the time of the latest data seen, and the station id that names its files.
//
// Gap file "<BASE_DIR>time/<station id>.gaps", one line per gap (see Gap.h),
// beside the archive's time file "<station id>.last". It is written whole
// after every pop, after any other change of the list as soon as
// GAP_STORE_INTERVAL_SECS have passed since the last write (a change inside
// that time waits for storeIfChanged, which the session calls with its
// periodic work and the archive with every stored record), when the slot is
// given back and when the gap store is destroyed: a crash loses at most the
// changes of the last few seconds. The lines go to "<name>.tmp", which is
// synced and then renamed over the gap file, so a stop or a crash leaves the
// old list or the new one, never a part. Loading takes what parses and skips
// the rest with a log line.
//
// Backfill works one minute at a time, newest first: a due DLTRIG, DLREQU or
// DLBACK gap of more than a minute gives up its last minute and the rest of
// it goes back into the list.
//
// Thread safety: a Gaps lives in a slot of the one Gapses table and is used
// by the session thread of its station once found. mu_ still guards the list
// and every field, because two links of one station can overlap (a new link
// while the old one runs out its time-out) and the gap store is stored from
// the main thread at the stop. Every public method takes mu_ for its whole
// run; Gapses takes its table lock before a slot's mu_, never the other way.
#ifndef VH_GAPS_GAPS_H_
#define VH_GAPS_GAPS_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "gaps/Gap.h"
#include "util/Mutex.h"

class Log;

constexpr size_t GAPS_MAX = 200;             // gaps in one station's list
constexpr size_t GAPS_ID_MAX = 19;           // characters of a station id
constexpr size_t GAP_FILE_LINES_MAX = 201;   // lines written to or read from a gap file
constexpr size_t GAP_LOAD_LINE_MAX = 78;     // characters of a gap-file line that are read
constexpr size_t GAP_LOAD_LINE_MIN = 31;     // shorter gap-file lines are skipped
constexpr size_t GAP_FILE_READ_MAX = 65536;  // bytes of a gap file examined at most
constexpr time_t GAP_DUE_MARGIN = 4;  // seconds after its pop time (plus offset) a gap is due
constexpr time_t RESTART_GAP_FALLBACK = 120;  // seconds before a restart when no time file exists
constexpr time_t SECONDS_PER_HOUR = 3600;
constexpr int GAP_STORE_INTERVAL_SECS = 5;  // least time between two writes of a changed list

class Gaps {
 public:
  // A free slot: no station, empty list, last data time 0.
  Gaps();
  Gaps(const Gaps&) = delete;
  Gaps& operator=(const Gaps&) = delete;
  ~Gaps();  // Does not store; the Gapses table stores its slots.

  // Adds a gap. Returns true when it was added or merged, or when gap is
  // null; false (the gap is then destroyed) when the list already holds
  // GAPS_MAX gaps ("Too Many Gaps %u\n"), when it starts before GAP_TIME_MIN
  // ("Bad Gap time. Not added."), or when an equal gap is listed. A DLBACK gap
  // that overlaps listed DLBACK gaps is merged into the first of them, and any
  // further ones that the widened gap now overlaps are merged too. An added
  // gap is logged with the list; with a null log nothing is logged. A change
  // is stored as the file comment above says.
  bool push(std::unique_ptr<Gap> gap, Log* log);

  // The next due gap, or null. Tries in turn: DLFILE; BLDTRI or DLTRIG;
  // REQHIS; REQHIS or DELHIS; REQHIS or UPLREQ; REQHIS or DLREQU (each the
  // one with the earliest pop time); REQHIS or DLBACK (the latest pop time).
  // hours is the backfill window; offset (seconds, the instrument's lag) is
  // added to every pop time. The caller owns the returned gap.
  std::unique_ptr<Gap> pop(Log* log, int hours, time_t offset);
  // The gap of action1 or action2 (LAST for none) with the earliest
  // (popOldest) or latest (popNewest) pop time, if it is due, that is when
  // offset + pop time + GAP_DUE_MARGIN < now; null otherwise. A minute gap
  // longer than a minute is split first (see above). The taken gap leaves
  // the list and the list is stored. A DLBACK gap whose pop time + offset is
  // before the window (now - hours), or any DLBACK gap when hours is 0, is
  // dropped whole and null is returned.
  std::unique_ptr<Gap> popOldest(Log* log, Gap::GapAction action1, Gap::GapAction action2,
                                 int hours, time_t offset);
  std::unique_ptr<Gap> popNewest(Log* log, Gap::GapAction action1, Gap::GapAction action2,
                                 int hours, time_t offset);
  // A copy of the gap of the action with the earliest (oldest) or latest pop
  // time, the first listed on a tie; null for LAST or when there is none.
  // Listed gaps that start before GAP_TIME_MIN are removed on the way.
  std::unique_ptr<Gap> peekAgest(Gap::GapAction action, bool oldest);
  // True when an equal gap (Gap::operator==) is listed.
  bool exists(const Gap& gap) const;
  // True when a listed gap overlaps gap (Gap::overlaps).
  bool overlaps(const Gap& gap) const;

  // Records the data missed while the hub or the link was down: with last the
  // last data time before the outage (the station's time file as the link
  // found it), or t - 120 when it is not known (0), sets the last data time
  // to last and pushes a DLBACK gap from last - 60 to t + 60. Returns
  // whether the gap was added.
  bool addRestartGap(time_t t, time_t last, Log* log);
  // Removes every DLBACK gap. Returns how many were removed.
  size_t deleteBackfills();
  // Writes the gap file when the list changed since its last write and
  // GAP_STORE_INTERVAL_SECS have passed since that write. Returns whether it
  // wrote.
  bool storeIfChanged(Log* log);

  // Writes the list to the gap file (mode 0666), creating the "time" folder
  // when it is missing. Returns false, with a log line (console without a
  // log), when the file cannot be written; the old file is then untouched.
  // Does nothing and returns false without a station.
  bool store(Log* log = nullptr);
  // Adds the gaps of the gap file to the list, each pushed without logging.
  // A missing file is no error. Lines shorter than GAP_LOAD_LINE_MIN are
  // skipped; of a longer line the first GAP_LOAD_LINE_MAX characters count.
  // Lines that do not parse (Gap::fromLine), a cut-off last line without its
  // newline that lacks the action, and everything after GAP_FILE_LINES_MAX
  // lines or GAP_FILE_READ_MAX bytes are skipped, each with a log line
  // (console without a log). Returns the number of gaps added.
  size_t load(Log* log = nullptr);

  // Gives a free slot its station id. Ignores an empty id and ids of more
  // than GAPS_ID_MAX characters. Returns whether the id was taken.
  bool setStationWithId(const std::string& id);
  bool hasStation() const;
  std::string getStationId() const;
  void setDataTime(time_t t);
  time_t getDataTime() const;

  // The list as "--- Gap List %s ---", one long form per gap and
  // "----   End   ----\n\n"; to the console when log is null.
  void logGaps(Log* log) const;
  // "Gaps Object: %s  lastDataTime:%ld".
  std::string toString() const;
  // A copy of the list, in order.
  std::vector<Gap> getList() const;
  size_t size() const;
  // How many gaps of each action the list holds, indexed by action (actions
  // outside 0..ACTION_COUNT-1 are not counted).
  std::array<int, Gap::ACTION_COUNT> countByAction() const;

  // The path of the gap file of this station.
  std::string getGapFilePath() const;

 private:
  friend class Gapses;  // claims a free slot and loads it under its table lock

  bool pushLocked(std::unique_ptr<Gap> gap, Log* log) REQUIRES(mu_);
  std::unique_ptr<Gap> popAgestLocked(Log* log, Gap::GapAction action1, Gap::GapAction action2,
                                      int hours, time_t offset, bool oldest) REQUIRES(mu_);
  // Index of the chosen gap of the action, or -1.
  long peekAgestLocked(Gap::GapAction action, bool oldest) REQUIRES(mu_);
  bool storeLocked(Log* log) REQUIRES(mu_);
  size_t loadLocked(Log* log) REQUIRES(mu_);
  void logGapsLocked(Log* log) const REQUIRES(mu_);
  // "<folder>time/<station id><extension>", the id made safe for a path.
  std::string stationPathLocked(const std::string& folder, const char* extension) const
      REQUIRES(mu_);
  bool setStationLocked(const std::string& id) REQUIRES(mu_);
  // After a change of the list: stores it when the interval allows, else
  // leaves it to storeIfChanged.
  void changedLocked(Log* log) REQUIRES(mu_);
  bool storeDueLocked() const REQUIRES(mu_);
  // setStationWithId and load as one step, under mu_. Returns whether the
  // id was taken.
  bool claim(const std::string& id, Log* log);
  // Stores the list and, when that worked, makes the slot free again (no
  // station, empty list, last data time 0). Returns whether it is free.
  bool release(Log* log);

  mutable Mutex mu_;
  std::vector<std::unique_ptr<Gap>> list_ GUARDED_BY(mu_);  // insertion order, at most GAPS_MAX
  time_t lastDataTime_ GUARDED_BY(mu_) = 0;                 // Unix seconds of the latest data seen
  bool hasStation_ GUARDED_BY(mu_) = false;                 // set when the slot is claimed
  std::string stationId_ GUARDED_BY(mu_);                   // set with hasStation_
  bool changed_ GUARDED_BY(mu_) = false;     // the list changed since the gap file was written
  bool writeTried_ GUARDED_BY(mu_) = false;  // lastWrite_ holds a time
  std::chrono::steady_clock::time_point lastWrite_ GUARDED_BY(mu_);  // last attempt to store
};

#endif  // VH_GAPS_GAPS_H_
