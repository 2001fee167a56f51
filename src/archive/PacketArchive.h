// The per-link store for waveform data, one per instrument session.
//
// The session hands the archive every MINISEED frame it accepts (and its
// trigger handling every TRIGGER frame). The archive learns the identity of
// the station the link serves (network, location, station, instrument id)
// and its channel names from the records, drops repeated and insane records,
// logs discontinuities as "GAP" lines, keeps a few records in a buffer and
// appends them in one block to the minute file of each of its two archive
// trees (paths from ArchiveFile templates). It notices finished minutes,
// hands each of them to the minute hook (zipping) in order, keeps the
// station's time file "<base>time/<station id>.last" with the last data
// time, and records restart gaps and trigger work in the shared gap store.
//
// Buffer. Records wait in the buffer until BATCH (BATCH_FAST above
// FAST_RATE samples per second) are there; the next record writes them. The
// owner calls flush() when the link ends, so acknowledged records that still
// wait are never lost. Records that cannot be stored in an archive (no path,
// as in the Pi mode without its USB drive, a file that does not open, a full
// disk) become a backfill gap for their span, so that the instrument is
// asked for them again; the failure is logged once per minute and file.
//
// Repeats. A record whose channel and start time equal those of one of the
// last RECENT_STARTS records of its channel slot is dropped: the instrument
// re-sends the last seconds after the hub's "stream" re-request.
//
// Instrument codes reach file paths (archive, time, gap and upload folders,
// the session log), so station, network and location are stored through
// safePathCode.
//
// Open minute files. Each archive keeps the minute file it appends to open
// between batches; it is closed when the writes move to another file, when
// the minute is handed on to be zipped (finishWrite), at the end of the link
// (flush) and with the archive. Each append checks, under the minute's lock,
// that the open file is still the one at the minute's path (a zip job of
// another link of the station, or a downloaded minute written over it, may
// have replaced it) and else opens the path again, reopening its zip first.
//
// Ownership and threads: owned by one session and used by that session's
// thread only. Not shared: no lock of its own. Its appends to a minute file
// (with the reopening of a zipped minute) hold that minute's MinuteLock,
// which the zip jobs hold while they place a zip and remove its minute. The
// log, gap store and trigger handling are not owned and must outlive the
// archive.
#ifndef VH_ARCHIVE_PACKETARCHIVE_H_
#define VH_ARCHIVE_PACKETARCHIVE_H_

#include <array>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/MonitorBuffer.h"
#include "gaps/Gap.h"
#include "protocol/SelvomaPacket.h"
#include "waveform/ArchiveFile.h"
#include "waveform/Miniseed.h"

class Gapses;
class Log;

constexpr size_t ARCHIVE_NETWORK_LEN = 2;
constexpr size_t ARCHIVE_LOCATION_LEN = 2;
constexpr size_t ARCHIVE_STATION_LEN = 5;
constexpr size_t ARCHIVE_STATION_ID_MAX = 18;  // characters of "%s.%08x"
constexpr float ARCHIVE_RATE_MIN = 10.0f;      // sane sample rates, inclusive
constexpr float ARCHIVE_RATE_MAX = 10000.0f;
constexpr int ARCHIVE_PAYLOAD_MAX = 1024;  // payload bytes of a sane record

// What the archive needs of its link's trigger handling. The trigger
// component implements it; the archive does not own it.
class ArchiveTriggers {
 public:
  virtual ~ArchiveTriggers() = default;
  // Writes the trigger file of the TRIGGER packet for the station; false when
  // the trigger is rejected (the handling sleeps after a recent trigger).
  virtual bool writeTrigger(const SelvomaPacket& packet, const std::string& network,
                            const std::string& station, const std::string& location,
                            const std::string& verticalChannel, uint32_t id) = 0;
  // Seconds a rejected trigger waits ("trigger sleep").
  virtual int getRejectSeconds() const = 0;
  // True while the last accepted trigger is less than seconds old.
  virtual bool tooEarly(int seconds) const = 0;
};

class PacketArchive {
 public:
  static constexpr int NUM_ARCHIVES = 2;
  static constexpr int NUM_SLOTS = 7;  // 0 E, 1 N, 2 Z, 3 O, 4 and 5 spare, 6 SUM
  static constexpr int SLOT_E = 0;
  static constexpr int SLOT_N = 1;
  static constexpr int SLOT_Z = 2;
  static constexpr int SLOT_O = 3;
  static constexpr int SLOT_SUM = 6;
  static constexpr size_t BATCH = 5;               // records written together
  static constexpr size_t BATCH_FAST = 10;         // ... above FAST_RATE
  static constexpr float FAST_RATE = 200.0f;       // samples per second
  static constexpr size_t RECENT_STARTS = 64;      // start times kept per slot for the repeat test
  static constexpr int TRIGGER_HOLD_SECS = 45;     // no minute finishing this soon after a trigger
  static constexpr int TRIGGER_RECORD_SECS = 60;   // record-by-record writes this soon after one
  static constexpr int TRIGGER_GAP_SECS = 59;      // duration of a DLTRIG minute gap
  static constexpr int TRIGGER_BUILD_EXTRA = 61;   // build-trigger end after the last minute
  static constexpr int DELETE_AFTER_MINUTES = 60;  // finished minutes between old-file deletions,
  static constexpr int DELETE_SPREAD = 60;         // ... plus a random 0..DELETE_SPREAD-1
  static constexpr int TRIGWAVE_DEFAULT_SECS = 30;
  static constexpr int STORE_FAILURE_LOG_SECS = 60;  // one failure line per file this often
  static constexpr size_t RING_PATH_MAX = 149;
  static constexpr int RING_RECORD_MAX = 512;
  static constexpr long RING_DRAIN_MS = 2000;  // flush waits this long for the ring's writer
  static constexpr long RING_MAX_AGE_SECS = 30;
  static constexpr long RING_CLEANUP_SECS = 31;
  static constexpr int MONITOR_SETTINGS_SECS =
      30;  // the monitor's settings copy at most this often
  static constexpr char MINUTE_EXTENSION[] = ".ms";
  static constexpr char ZIPPED_MINUTE_EXTENSION[] = ".ms.zip";

  // Receives each finished minute file, in the order the minutes finished,
  // on the session's thread: the path, the archive number (1 or 2) and the
  // data time of the write that noticed it. Without a hook the plain minute
  // files stay in the archive.
  using MinuteHook =
      std::function<void(const std::string& minutePath, int archiveNumber, time_t t)>;
  // Extracts the entry named like the file of minutePath from zipPath into
  // the file's folder, appending to the file. False when it cannot.
  using Dezipper = std::function<bool(const std::string& zipPath, const std::string& minutePath)>;

  // Empty identity, channel slots "  E", "  N", "  Z", "  O", "", "", "SUM";
  // archive 1 and 2 without templates; trigger waveform 30 s / 30 s, on.
  PacketArchive();
  PacketArchive(const PacketArchive&) = delete;
  PacketArchive& operator=(const PacketArchive&) = delete;
  // Closes the open minute files and ends this archive's count on its
  // station in the gap store (see holdGapSlot).
  ~PacketArchive();

  // References, not owned (null: none).
  void setLog(Log* log) { log_ = log; }
  // The gap store must outlive the archive and stay the same once a record
  // was stored.
  void setGapses(Gapses* gaps) { gaps_ = gaps; }
  void setTrigger(ArchiveTriggers* trigger) { trigger_ = trigger; }
  void setMinuteHook(MinuteHook hook) { minuteHook_ = std::move(hook); }
  void setDezipper(Dezipper dezipper) { dezipper_ = std::move(dezipper); }

  // Identity. The setters store the code through safePathCode, cut to its
  // width. setStn ignores an empty station.
  void setNet(const std::string& net);
  void setLoc(const std::string& loc);
  void setStn(const std::string& stn);
  void setId(uint32_t id) { id_ = id; }
  // Copies net and loc; the station only when it is not empty; then the id.
  void setNetLocStnId(const std::string& net, const std::string& loc, const std::string& stn,
                      uint32_t id);
  // Parses "NET.LOC.STA" (':' also separates) and stores the id: characters
  // outside '!'..'z' become '_', each field keeps its width, trailing blanks
  // go; an empty network becomes "__", location and station "_". A third
  // separator logs "BAD PacketArchive.setNetLocStn %s" and ends the parse.
  void setNetLocStn(const std::string& text, uint32_t id);
  // Rebuilds the station id "%s.%08x"; true when it did not change.
  bool makeStationId();

  const std::string& getStation() const { return station_; }
  const std::string& getNetwork() const { return network_; }
  const std::string& getLocation() const { return location_; }
  uint32_t getId() const { return id_; }
  const std::string& getStationWithId() const { return stationId_; }
  // "%s.%s.%s" of network, location and station.
  std::string getNetLocStn() const;

  // Channels. setChanname returns true when the name's slot is seen for the
  // first time; a name that is not 3 characters long logs
  // "Channame==%s?  Is that right?" and returns false. A new name for slot
  // E, N or Z renames slots 0..3 to its first two characters plus E, N, Z, O.
  bool setChanname(const std::string& name);
  // 6 for "SUM", else the first slot holding the name's first 3 characters, else 0.
  int getChannelIndex(const std::string& name) const;
  // The slot's name, or empty while the slot has not been seen.
  std::string getChanname(int slot) const;
  // The names of all seven slots, seen or not: the StationXML channel table.
  const std::array<std::string, NUM_SLOTS>& getChannames() const { return channels_; }
  bool isChannameChanged() const { return channameChanged_; }

  // The main entry: checks and stores one frame. Frames without payload and
  // of types other than MINISEED and TRIGGER: true, no effect. A repeated
  // record: true, not stored. An insane record (rate outside
  // ARCHIVE_RATE_MIN..MAX, payload above ARCHIVE_PAYLOAD_MAX, channel not 3
  // characters) logs "Not sane packet. deleted" and gives false. A rejected
  // trigger gives false.
  bool addPacket(const SelvomaPacket& packet);
  // At the end of a link: writes the buffered records (see write) unless the
  // buffer is empty, then the time file with the newest data time written,
  // and hands on every minute still waiting to be finished, the current one
  // included, so that none stays unzipped because this link went away.
  void flush();
  // Appends the buffered records to the minute file of each enabled archive
  // (in one block, or record by record while a trigger is recent) after
  // handing on finished minutes. Does not clear the buffer.
  void write();
  // Empties the buffer.
  void clear() { buffer_.clear(); }
  size_t bufferedCount() const { return buffer_.size(); }

  // Appends length bytes to path (mode 0666) through archive 1's open minute
  // file (see the file comment), first reopening the minute from its zip
  // (MinuteZip::zipPathFor) when it was zipped already. When the
  // zip cannot be extracted it stays, path holds only the new records, and
  // the zip job merges the two when the minute is finished again. False
  // when the file cannot be opened or written (a short write is cut off).
  bool writeBytes(const std::string& path, const uint8_t* bytes, size_t length);
  // Stores a minute downloaded from the instrument (whole records) in the
  // minute file of time t of each enabled archive, merged with what that
  // minute holds already (its zip reopened first): the records there stay,
  // a downloaded record is added only when no record of its channel and
  // start time is there (nor in the minutes before and after, where a live
  // batch that began there put it), and the file is rewritten in time order (through a
  // temporary file); then the minute is finished. False (logged) when bytes
  // hold no record or an archive could not be written.
  bool storeDownloadedMinute(const uint8_t* bytes, size_t length, time_t t);
  // Old-file deletion every DELETE_AFTER_MINUTES + random finished minutes,
  // and the minute hook. archiveNumber is 1 or 2.
  void finishWrite(const std::string& path, int archiveNumber, time_t t);

  // Writes t as "%ld" to "<base or RAM disk>time/<station id>.last" (mode
  // 0666), replacing it whole. Nothing for a station id shorter than 2
  // characters or holding "nil.".
  void writeTimeFile(time_t t);
  // Writes the time file with now when missing, then sets its times to now.
  void touchTimeFile();
  std::string getTimeFilePath() const;
  // Once per link: logs "Adding Restart Gap [%s], %ld=%d" and records the
  // restart gap from the previous link's last data time to the packet's
  // start.
  void checkForRestartGap(const SelvomaPacket& packet);
  bool isRestartGapDone() const { return restartGapDone_; }
  // While on and no restart gap has been recorded yet, the first time-file
  // write of the link keeps the time the file held (the previous link's last
  // data): the restart gap must start from there, not from this link's first
  // minutes, while the time file itself stays current all along.
  void setRestartGapWanted(bool on) { restartGapWanted_ = on; }

  // Configuration. A template that differs from the stored one (as
  // ArchiveFile::templateFor gives it) first hands on every minute of that
  // archive still waiting to be finished, then starts afresh.
  void setArchiveTemplate(const std::string& template1, const std::string& template2,
                          ArchiveFile::ArchiveFormat format1, ArchiveFile::ArchiveFormat format2);
  // Empty text: the template of archive 1.
  void setExtractArchiveTemplate(const std::string& text);
  // Age limits in days (0: never delete).
  void setOldDays(int days1, int days2);
  void setTrigWave(int preSecs, int postSecs, bool enabled);
  void setTriggerBackfill(bool on) { triggerBackfill_ = on; }
  void setZipArchive(bool on) { zipArchive_ = on; }
  bool isZipArchive() const { return zipArchive_; }
  // Archive 1 or 2 (index 0 or 1).
  ArchiveFile& getArchive(int index) { return archives_[index]; }
  ArchiveFile& getExtractArchive() { return extractArchive_; }

  // The archive-1 path of t with extension ".ms.zip", no tracking.
  std::string getFilePath(time_t t);
  // Ring server outlet. setRing takes the scan folder (at most
  // RING_PATH_MAX characters, one trailing '/' or '\\' dropped, a leading
  // "%U" replaced by the home folder) and the switch, and creates the folder
  // when on. While on, addPacket hands every stored record to
  // sendPacketToRing, which writes it (sendMiniseedToRing) and, at most every
  // RING_CLEANUP_SECS across all links of the process (they share the scan
  // folder), deletes the scan files older than RING_MAX_AGE_SECS.
  // sendMiniseedToRing hands a record of 1..RING_RECORD_MAX bytes to the
  // ring's writer (RingWriter), which appends it to
  // "<scan folder>/<start %Y-%m-%d_%H%M_%S>.<net>.<loc>.<sta>.<channel>.ms"
  // (mode 0666): one file per station, channel and second. Write failures
  // are not reported: the archive holds the record. flush() waits (at most
  // RING_DRAIN_MS) until the writer has written what was handed on.
  void setRing(const std::string& path, bool enabled);
  bool isRingEnabled() const { return ringEnabled_; }
  const std::string& getRingPath() const { return ringPath_; }
  void sendPacketToRing(const SelvomaPacket& packet);
  void sendMiniseedToRing(const uint8_t* bytes, int length);

  // The station's next due gap (Gapses::pop with offset seconds), or null.
  std::unique_ptr<Gap> getGap(time_t offset);
  // Logs "Deleting Backfills" and removes the station's DLBACK gaps.
  void deleteBackfills();
  // Writes the station's gap file when its list waits to be written
  // (Gapses::storeIfChanged); the session calls it with its periodic work.
  void storeChangedGaps();

  // The monitor folder (MonitorBuffer): folder, cap and switch.
  void setMonitor(const std::string& folder, int maxFiles, bool enabled);
  bool isMonitorEnabled() const { return monitor_.isEnabled(); }
  const std::string& getMonitorDir() const { return monitor_.getDir(); }
  MonitorBuffer& getMonitor() { return monitor_; }
  // Passes a stored record or an accepted trigger on to the monitor folder,
  // unless it is off or full: a record (with the station's settings copy at
  // most every MONITOR_SETTINGS_SECS), the trigger file of a seismic trigger
  // (channel: the vertical one once seen, else "SUM").
  void sendPacketToMonitor(const SelvomaPacket& packet);
  // Copies "<download>/<station id>/<name>" into the monitor folder as
  // "<station id>.<name>", when the monitor is on and the file exists.
  void sendDownloadToMonitor(const std::string& name);

  void TEST_setClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

 private:
  struct RecentStart {
    std::string channel;
    hptime_t start;
  };

  // The record repeats one of the recent records of its slot.
  bool isRepeat(int slot, const std::string& channel, hptime_t start) const;
  void rememberStart(int slot, const std::string& channel, hptime_t start);
  bool addTrigger(const SelvomaPacket& packet);
  void insertPacket(const SelvomaPacket& packet);
  // Counts this archive as a session of its current station in the gap
  // store (Gapses::attach), moving the count when the station changed, so
  // that the station's slot is given back only after its last link ended.
  void holdGapSlot();
  // The records of a minute file and of its zip, read without changing them.
  Miniseed::RecordList recordsOfMinute(const std::string& path);
  // The minute path of archive index for time t (folders created).
  std::string minutePath(int index, time_t t, bool track);
  // Appends length bytes to path through archive index's open minute file
  // (see the file comment), as writeBytes does. False when the file cannot
  // be opened or written (a short write is cut off).
  bool appendToMinute(int index, const std::string& path, const uint8_t* bytes, size_t length);
  // Closes the open minute file of every archive, or only those open on path.
  void closeMinutes(const std::string& path = std::string());
  // Re-extracts the zip of path into path (appending) and removes the zip;
  // on a failure path is put back as it was and the zip stays (logged).
  void dezip(const std::string& path);
  // Records first..last could not be stored in archive index at path
  // (possibly empty): the log line (see the file comment) and the gap.
  void storeFailed(int index, const std::string& path, const SelvomaPacket& first,
                   const SelvomaPacket& last);
  // writeTimeFile(t), keeping the previous link's time first (see
  // setRestartGapWanted).
  void noteTimeFile(time_t t);
  // The time in the station's time file; 0 when there is none or it holds no
  // decimal time from 1 to GAP_TIME_MAX (logged).
  time_t readTimeFile() const;

  Log* log_ = nullptr;                  // not owned
  Gapses* gaps_ = nullptr;              // not owned, may be null
  std::string gapStation_;              // station counted in gaps_, empty for none
  ArchiveTriggers* trigger_ = nullptr;  // not owned, may be null
  MinuteHook minuteHook_;
  Dezipper dezipper_;
  std::function<time_t()> clock_;

  std::array<ArchiveFile, NUM_ARCHIVES> archives_;
  ArchiveFile extractArchive_;
  bool extractIsArchive1_ = true;  // no extract template of its own

  std::string network_, location_, station_;  // safe path codes
  uint32_t id_ = 0;
  std::string stationId_;

  std::array<std::string, NUM_SLOTS> channels_;
  std::array<bool, NUM_SLOTS> channelSeen_{};
  bool channameChanged_ = false;
  std::array<hptime_t, NUM_SLOTS> expectedStart_{};  // us; end of the slot's last record
  std::array<std::deque<RecentStart>, NUM_SLOTS> recent_;

  struct StoreFailure {
    std::string path;   // the file of the last failure line
    time_t loggedAt{};  // clock time of that line
  };
  std::array<StoreFailure, NUM_ARCHIVES> storeFailures_{};

  struct OpenMinute {
    std::string path;  // empty: none open
    int fd = -1;
  };
  std::array<OpenMinute, NUM_ARCHIVES> openMinutes_;

  std::vector<SelvomaPacket> buffer_;  // MINISEED copies waiting to be written
  time_t newestWritten_ = 0;           // start second of the newest record written
  bool restartGapDone_ = false;
  bool restartGapWanted_ = false;
  struct PreviousTime {
    bool kept = false;      // read before this link's first time-file write
    std::string stationId;  // the station whose file it was
    time_t time = 0;        // 0: there was no time file
  };
  PreviousTime previousTime_;  // for the restart gap
  time_t timeFileValue_ = 0;   // the time this archive wrote last; 0: none yet

  int trigPreSecs_ = TRIGWAVE_DEFAULT_SECS;
  int trigPostSecs_ = TRIGWAVE_DEFAULT_SECS;
  bool trigWaveEnabled_ = true;
  bool triggerBackfill_ = false;
  bool zipArchive_ = true;
  int deletionCounter_ = 0;  // finished minutes since the last old-file deletion

  std::string ringPath_;  // scan folder of the ring server outlet
  bool ringEnabled_ = false;
  MonitorBuffer monitor_;
  time_t monitorSettingsTime_ = 0;  // clock time of the last settings copy to the monitor
};

#endif  // VH_ARCHIVE_PACKETARCHIVE_H_
