// The fetching of one file at a time from the instrument's storage over the
// packet link: a minute of miniSEED for backfill, the settings file, the
// histogram file, or a file a client names.
//
// It asks for the file (REQUEST_FILE, or REQUEST_FILE_TIME on the by-time
// path), collects the FILE_PART pieces that arrive, asks again after
// TIMEOUT_SECS of silence (RETRIES_MAX times per file), and stores the
// pieces by file type. States: IDLE, ASK_BY_TIME, WAIT_NAME (by time),
// ASK_FILE (name known), RECEIVING, COMPLETE (store at the next action).
//
// Everything it is given comes from the instrument (names, part numbers,
// texts) or from a client's command: a name reaches the file system only as
// its last path component made safe (safePathCode) inside the station's
// download folder, a client's destination folder only below that folder,
// and at most DOWNLOAD_MAX_BYTES are held; a larger file is given up with a
// log line and a "Fail" activity text.
//
// Ownership and threads: owned by one session and used on its thread only;
// no lock. The archive, settings, activity files and gap store are the
// session's and outlive this object; requests go out through the sink the
// session gives (its request queue).
#ifndef VH_SESSION_DREMOFILES_H_
#define VH_SESSION_DREMOFILES_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "protocol/SelvomaPacket.h"

class ActivityFiles;
class Gapses;
class Histogram;
class Log;
class PacketArchive;
class SsFile;

class DremoFiles {
 public:
  enum State {
    IDLE = 0,
    ASK_BY_TIME = 1,
    WAIT_NAME = 2,
    ASK_FILE = 3,
    RECEIVING = 4,
    COMPLETE = 5
  };
  enum FileType { MINISEED = 0, SETTINGS = 1, HISTOGRAM = 2, CLIENT = 3, OTHER = 4 };

  static constexpr int TIMEOUT_SECS = 21;          // silence before a re-attempt
  static constexpr int RETRIES_MAX = 2;            // re-attempts per file
  static constexpr int PUSH_BACK_SECS = 600;       // a timed-out minute is asked again this late
  static constexpr size_t PUSHED_BACK_MAX = 1024;  // minutes remembered as pushed back
  static constexpr size_t DOWNLOAD_MAX_BYTES = 8u << 20;  // bytes of one file held at most
  static constexpr size_t PATH_MAX_CHARS = 255;           // instrument path of a file
  static constexpr size_t STATION_MAX = 9;                // station code in instrument file names
  static constexpr int PROGRESS_EVERY = 10;               // pieces between progress reports
  static constexpr size_t PROGRESS_MIN_BYTES = 100;       // ... of pieces larger than this
  static constexpr long SETTINGS_KEEP_SECS = 1209600;     // older download files go
  static constexpr char INCOMPLETE[] = ".incomplete";
  static constexpr char PART_SUFFIX[] = ".part";

  // Sends a request: the message type and its text payload.
  using RequestSink = std::function<void(uint8_t type, const std::string& text)>;

  DremoFiles(PacketArchive& archive, SsFile& settings, ActivityFiles& activity, RequestSink sink);
  DremoFiles(const DremoFiles&) = delete;
  DremoFiles& operator=(const DremoFiles&) = delete;

  void setLog(Log* log) { log_ = log; }
  void setGapses(Gapses* gaps) { gaps_ = gaps; }
  // Where fetched histogram files go (the session's); without one they are
  // kept in the download folder only.
  void setHistogram(Histogram* histogram) { histogram_ = histogram; }
  // The download folder name ("%s.%08x" of station and instrument id).
  void setStationLabel(const std::string& label) { label_ = label; }
  void setStation(const std::string& station);

  // Prepares the backfill of the minute of t (state ASK_FILE).
  void get(time_t t);
  // The instrument's file of the minute of t:
  // "/data/%Y/%m/%d/%H/%Y-%m-%d %H%M 00 <station>.ms".
  std::string timeToPath(time_t t) const;
  // Asks for path, stored as type (state RECEIVING); a new file: its
  // re-attempts are counted from 0. t is the time the file is for (a
  // histogram's request time, whose local path it is stored under and whose
  // DELHIS gap a stored file pushes), or 0.
  void requestFile(const std::string& path, FileType type, time_t t = 0);
  // A client-named download into destFolder, taken below the station's
  // download folder; activity texts on.
  void requestFile(const std::string& path, const std::string& destFolder);
  // Asks for the file of the minute of t by time (state WAIT_NAME).
  void requestFilename(time_t t);
  // Takes name as the file being fetched (state ASK_FILE); an empty or
  // "null" name resets.
  void setFilePath(const std::string& name);
  // A RESPONSE_FILE_NAME: when it names the minute before the one asked
  // for (" %H%M "), that text becomes the minute asked for, and the
  // character two places after it '1'.
  std::string repairFilePath(const std::string& name) const;
  // The instrument has no such file (or no card): logs
  // "backfill fail | %s | <reason>", the activity texts, and goes idle.
  void fail(const std::string& reason);
  // A received piece.
  void add(const FilePart& piece);
  // Advances the state: asks, watches for silence, or stores.
  void doAction();
  // After TIMEOUT_SECS without activity (not idle): "fail download timeout"
  // and repeat(true).
  void testTimeout();
  // Asks again (RETRIES_MAX times per file); then stores what came with
  // INCOMPLETE appended to the path, or gives up ("Fail"). A minute given up
  // after a time-out is pushed back once as a DLBACK gap due PUSH_BACK_SECS
  // later.
  void repeat(bool timedOut);
  // Stores the received bytes by type (a client's file is in place already).
  void storeFile();
  // Idle, no file, no bytes; the retry count stays.
  void init();

  int getState() const { return state_; }
  bool isIdle() const { return state_ == IDLE; }
  bool isWaitingForName() const { return state_ == WAIT_NAME; }
  FileType getFileType() const { return fileType_; }
  const std::string& getFilePath() const { return filePath_; }
  const std::string& getDestinationPath() const { return destPath_; }
  size_t getDownloadedBytes() const { return received_; }
  // Set when a settings file has just been stored; the session clears it.
  bool isSettingsStored() const { return settingsStored_; }
  void clearSettingsStored() { settingsStored_ = false; }

  void TEST_setClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

 private:
  time_t now() const { return clock_(); }
  std::string downloadFolder() const;
  // path, file name, state ASK_FILE (no reset).
  void takePath(const std::string& name);
  void request(uint8_t type, const std::string& text);
  // requestFile without resetting the re-attempt count.
  void askFile(const std::string& path, FileType type);
  void giveUp(const std::string& why);
  void activity(const std::string& text);
  // The download path of name (last component, made safe) in the station's
  // download folder; written whole.
  bool writeDownload(const std::string& name, const std::vector<uint8_t>& data);
  bool storeSettings();
  bool storeMinute();
  // A histogram file: the download copy, then, when it passes the CSV check,
  // the histogram archive's file of the request time and a DELHIS gap for
  // that time (not for a file cut short by time-outs).
  bool storeHistogram();

  PacketArchive& archive_;
  SsFile& settings_;
  ActivityFiles& activity_;
  RequestSink sink_;
  Log* log_ = nullptr;              // not owned
  Gapses* gaps_ = nullptr;          // not owned, may be null
  Histogram* histogram_ = nullptr;  // not owned, may be null
  std::function<time_t()> clock_;
  std::string label_;
  std::string station_;

  int state_ = IDLE;
  FileType fileType_ = OTHER;
  time_t requestedTime_ = 0;
  std::string filePath_, fileName_;
  std::vector<uint8_t> bytes_;  // received data, in arrival order
  size_t received_ = 0;         // data bytes received (for a client's file: written)
  time_t lastActivity_ = 0;
  int retries_ = 0;
  bool settingsStored_ = false;
  bool activityOn_ = false;
  std::string destFolder_, destPath_;
  std::set<time_t> pushedBack_;  // minutes already pushed back once
};

#endif  // VH_SESSION_DREMOFILES_H_
