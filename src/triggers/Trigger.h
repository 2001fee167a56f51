// The trigger handling of one link. An instrument reports events in TRIGGER
// frames (a SelTrigger record: time, microseconds, channel mask, alarm type)
// and peak values in "level trigger info" commands; it may also report a
// trigger as a "trigger " text. Each accepted trigger becomes an entry in a
// trigger file of the trigger XML archive (TriggerFile), and, while the
// waveform archive is not zipped, one beside the waveform minute files
// (".trig.xml"). Seismic triggers of the types 3, 4, 5 and 7 are passed on
// to the other stations of the network as packet files in their upload
// folders ("<base>upload/<station>/<selTime>.trig.pkt").
//
// Reject period: a trigger that follows the last seismic trigger (types 3,
// 4, 5, 7, 8) by less than the reject period is rejected, except an own
// trigger after a broadcast one. Alarms (types 0, 1, 2 and the others) are
// written but do not start a period. A trigger whose record is missing or
// whose time lies more than TIME_PAST_MAX_SECS before or TIME_FUTURE_MAX_SECS
// after the hub's clock is refused with a log line and starts nothing; at
// most ENTRIES_PER_MINUTE_MAX entries are written per minute, so that an
// instrument that reports hundreds of alarms cannot flood the disk.
//
// Ownership and threads: owned by the session and used on its thread only
// (it is the packet archive's ArchiveTriggers). The waveform archives given
// to setArchive belong to the packet archive and must outlive the trigger.
// No lock.
#ifndef VH_TRIGGERS_TRIGGER_H_
#define VH_TRIGGERS_TRIGGER_H_

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "archive/PacketArchive.h"
#include "protocol/SelvomaPacket.h"
#include "waveform/ArchiveFile.h"

class Log;

// The values of a "level trigger info" text.
struct LevelTriggerInfo {
  double peak = 0;
  std::string units;  // at most Trigger::UNITS_MAX characters
  time_t time = 0;    // Unix seconds
  long microseconds = 0;
};

class Trigger : public ArchiveTriggers {
 public:
  static constexpr int REJECT_SECS_INITIAL = 15;
  static constexpr int REJECT_SECS_SESSION = 10;  // the reject period a session uses
  static constexpr uint8_t LAST_TYPE_INITIAL = 99;
  static constexpr uint8_t BROADCAST_TYPE = 8;
  static constexpr long TIME_PAST_MAX_SECS = 7L * 86400;  // older trigger times are refused
  static constexpr long TIME_FUTURE_MAX_SECS = 3600;      // ... and later ones
  static constexpr int ENTRIES_PER_MINUTE_MAX = 30;       // trigger entries written per minute
  static constexpr long BROADCAST_FILE_AGE_SECS = 10000;  // broadcast files' times are set back
  static constexpr size_t BROADCAST_STATIONS_MAX = 999;   // stations a broadcast goes to
  static constexpr size_t UNITS_MAX = 7;                  // characters of peak units
  static constexpr size_t LEVEL_TIME_SKIP = 6;            // the time starts this far after "time:"
  static constexpr size_t FRACTION_DIGITS = 6;
  static constexpr size_t TEXT_TRIGGER_TYPE_AT = 8;   // "trigger " texts: the type digit
  static constexpr size_t TEXT_TRIGGER_TIME_AT = 10;  // ... and the time
  static constexpr char XML_EXTENSION[] = ".xml";
  static constexpr char WAVE_EXTENSION[] = ".trig.xml";
  static constexpr char PEAK_CHANNEL[] = "SUM";

  using Clock = std::function<time_t()>;

  // Reject period REJECT_SECS_INITIAL, last type LAST_TYPE_INITIAL, no
  // templates, the trigger waveform archives disabled.
  Trigger();
  Trigger(const Trigger&) = delete;
  Trigger& operator=(const Trigger&) = delete;

  void setLog(Log* log) { log_ = log; }
  // The trigger XML template; each non-empty trigger waveform template is set
  // and its archive enabled; wave1 and wave2 (may be null) are the packet
  // archive's archives, which get ".trig.xml" files beside their minutes.
  void setArchive(const std::string& xmlTemplate, const std::string& trigWave1,
                  const std::string& trigWave2, ArchiveFile* wave1, ArchiveFile* wave2);
  // Output i (0 or 1) of the trigger waveform assembly.
  ArchiveFile& getTrigWaveArchive(int i) { return trigWave_[i]; }
  ArchiveFile& getXmlArchive() { return xmlArchive_; }
  void setRejectPeriod(int seconds) { rejectPeriod_ = seconds; }
  void setTriggerBackfill(bool on) { triggerBackfill_ = on; }
  bool isTriggerBackfill() const { return triggerBackfill_; }
  void setBroadcastEnabled(bool on) { broadcastEnabled_ = on; }
  bool isBroadcastEnabled() const { return broadcastEnabled_; }

  // ArchiveTriggers. writeTrigger handles one TRIGGER packet and is true when
  // a trigger file was written; false when the trigger was refused, rejected
  // ("Trigger rejected.  Too early %d<%dsecs") or could not be written.
  bool writeTrigger(const SelvomaPacket& packet, const std::string& network,
                    const std::string& station, const std::string& location,
                    const std::string& verticalChannel, uint32_t id) override;
  int getRejectSeconds() const override { return rejectPeriod_; }
  bool tooEarly(int seconds) const override { return clock_() - lastTriggerTime_ < seconds; }

  // Writes one trigger entry into the trigger XML archive and the enabled
  // waveform archives ("WRITTEN Trigger %s. %s"); true when the last write
  // succeeded.
  bool writeTrig(const std::string& network, const std::string& station,
                 const std::string& location, const std::string& channel, uint32_t id,
                 const std::string& triggerText, time_t t, long microseconds);
  // Writes a peak entry, only after a trigger entry was written since the
  // last peak ("No Threshold Trigger. Peak Trig ignored" otherwise).
  bool writePeakTrig(const std::string& network, const std::string& station,
                     const std::string& location, const std::string& channel, uint32_t id,
                     double peak, const std::string& units, time_t t, long microseconds);
  // Broadcasts a seismic trigger (3, 4, 5, 7) to every station of stations
  // except ownName, as "<selTime>.trig.pkt" in its upload folder: with
  // trigger backfill the TRIGGER line alone, otherwise "8A stream <seconds>"
  // first. A name that is not a single plain path element is skipped
  // (logged). Returns the number of files written.
  int writeBroadcasts(const SelvomaPacket& packet, const std::vector<std::string>& stations,
                      const std::string& ownName, int streamSeconds);

  // The trigger XML files of the minute of t; of the seconds t - before ..
  // t + after. Return the number added to list.
  int getTriggerPaths(std::vector<std::string>& list, const std::string& network,
                      const std::string& station, uint32_t id, time_t t);
  int getTriggerPaths(std::vector<std::string>& list, const std::string& network,
                      const std::string& station, uint32_t id, time_t t, int before, int after);

  // True when t lies within TIME_PAST_MAX_SECS before and
  // TIME_FUTURE_MAX_SECS after now.
  bool isPlausibleTime(time_t t) const;

  // The text after the first 20 characters of a "level trigger info"
  // command: "=", the peak, its units, and "time:" with a selTime (0: now)
  // and a fraction of up to FRACTION_DIGITS digits. False (out untouched
  // otherwise) when a part is missing, the peak is 0 or not a finite number.
  static bool parseLevelTriggerInfo(const std::string& text, time_t now, LevelTriggerInfo* out);
  // A "trigger " text: the type digit at TEXT_TRIGGER_TYPE_AT and a time
  // starting with "2" at TEXT_TRIGGER_TIME_AT (any form the time-string
  // parser of libmseed reads). False when it is not such a text.
  static bool parseTextTrigger(const std::string& text, SelTrigger* out);

  void TEST_setClock(Clock clock) { clock_ = std::move(clock); }
  time_t getLastTriggerTime() const { return lastTriggerTime_; }

 private:
  // The minute's entry budget; logs once a minute when it is spent.
  bool takeEntryBudget();

  Log* log_ = nullptr;  // not owned
  ArchiveFile xmlArchive_;
  std::array<ArchiveFile, 2> trigWave_;
  std::array<ArchiveFile*, 2> waveArchives_{};  // not owned, may be null
  bool triggerBackfill_ = false;
  bool broadcastEnabled_ = false;
  time_t lastTriggerTime_ = 0;  // hub clock when the last seismic trigger was accepted
  uint8_t lastTriggerType_ = LAST_TYPE_INITIAL;
  bool thresholdWritten_ = false;  // a trigger entry opens the way for one peak entry
  int rejectPeriod_ = REJECT_SECS_INITIAL;
  time_t budgetMinute_ = 0;  // hub-clock minute of the entry budget
  int budgetUsed_ = 0;
  bool budgetLogged_ = false;
  Clock clock_;
};

#endif  // VH_TRIGGERS_TRIGGER_H_
