// The schedule of setting queries sent to one instrument. The timer walks
// the key table (SsFile::SS_KEYS) and yields one COMMAND per key, 5 seconds
// apart or as soon as the previous answer arrived (setReadyForNext). At the
// end of a cycle the next one starts at the next whole minute: a full cycle
// of all keys at every whole hour, the state-of-health keys from "v_supply"
// at the other five-minute marks, and the two peak keys at the remaining
// minutes. The first query is due 20 seconds after construction.
//
// Not shared: one timer per session, used only by that session's thread.
#ifndef VH_METADATA_SSTIMER_H_
#define VH_METADATA_SSTIMER_H_

#include <ctime>
#include <functional>
#include <memory>
#include <string>

class Log;
class SelvomaPacket;

constexpr int SS_FIRST_DELAY_SECS = 20;  // first key due this long after construction
constexpr int SS_KEY_STEP_SECS = 5;      // between two keys of a cycle
constexpr int SS_FULL_START = 0;         // index of "settings_time"
constexpr int SS_HEALTH_START = 84;      // index of "v_supply"
constexpr int SS_PEAK_START = 95;        // index of "?last_peak 0"
constexpr int SS_HOUR_PERIOD = 3600;     // seconds between full cycles
constexpr int SS_HEALTH_PERIOD = 300;    // seconds between state-of-health cycles
constexpr int SS_MINUTE = 60;

class SsTimer {
 public:
  static const char* const BLANK;  // "": nothing due

  // Index 0, keys SsFile::SS_KEYS, inactive, first key due in
  // SS_FIRST_DELAY_SECS, restart index SS_HEALTH_START, no log.
  SsTimer();
  SsTimer(const SsTimer&) = delete;
  SsTimer& operator=(const SsTimer&) = delete;
  virtual ~SsTimer();

  // keys ends with an empty string and must outlive the timer. Index 0.
  void setKeys(const char* const* keys);
  void setActive(bool on) { active_ = on; }
  bool isActive() const { return active_; }
  // The log is not owned (null: none).
  void setLog(Log* log) { log_ = log; }

  // The next key's time lies before now.
  virtual bool isTime() const;
  // The key that is due (and moves on), or BLANK. At the end of a cycle the
  // empty end marker is returned once.
  std::string next();
  // A new COMMAND for the next due key: "? \"key\"", or the key without its
  // "?" for keys that begin with one. Null when inactive or nothing is due.
  std::unique_ptr<SelvomaPacket> getPacket();
  // The write-file flag (set at the end of every cycle), cleared by the call.
  bool isWriteFileTime();
  bool isEndOfKeys() const;
  int getIndex() const { return index_; }
  time_t getNextTime() const { return nextTime_; }
  // The next key is due now.
  void setReadyForNext() { nextTime_ = now(); }
  // The next key waits at least seconds from now.
  void pause(int seconds);
  // Logs "SsTime restart called" and starts a full cycle SS_KEY_STEP_SECS from now.
  virtual void restart();
  // Moves the next time on: by SS_KEY_STEP_SECS inside a cycle; at its end to
  // the next whole minute, choosing the kind of the next cycle.
  void calcNextTime();

  // Replaces the wall clock.
  void TEST_setClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

 private:
  time_t now() const { return clock_ ? clock_() : time(nullptr); }

  int index_ = 0;
  const char* const* keys_;
  bool active_ = false;
  time_t nextTime_;
  int restartIndex_ = SS_HEALTH_START;
  bool writeFile_ = false;
  Log* log_ = nullptr;  // not owned
  std::function<time_t()> clock_;
};

#endif  // VH_METADATA_SSTIMER_H_
