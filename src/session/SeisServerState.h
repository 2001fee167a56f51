// The session of one instrument link.
//
// Created, run and destroyed by the link's own thread (serverTask), which
// calls the constructor, init, loop and the destructor in that order. The
// session owns the framing layer (PacketReaderWriter), the received and
// outgoing packet slots and one of each per-station component it uses: the
// packet archive, the settings file and its query timer, the histograms,
// the outgoing upload queue, the file retrieval (DremoFiles) with its
// request queue and activity files, and the trigger handling (Trigger),
// whose waveform packages run in a thread of their own (TriggerZip) that
// shares only an atomic running flag with the session; the destructor waits
// for it, at most TRIGGER_ZIP_WAIT_SECS. The link, the properties, the gap store
// and the log are not owned and must outlive the session.
//
// loop() is a state machine: INIT_IDENTIFY and INIT_LINK at link start,
// then READ (one frame without waiting), PROCESS (dispatch by message type),
// NEXT_REQUEST (choose the next frame to send) and SEND, until FINISH. Every
// turn it checks the loop time-out (property "timeout", seconds without a
// good frame), and acknowledges the last good frame at least every
// KEEPALIVE_SECS. The session ends (FINISH) rather than retrying: on the
// time-out, a dead link, a failed write, failed identification, the
// instrument's "shutdown", "serialenabled" off on a serial link, or
// requestStop().
//
// Clocks. Every duration the session measures (time-outs, the keep-alive,
// periodic work, the warm-up, its schedules) is taken from a monotonic
// clock (monoMs), so that a step of the wall clock, such as the first time
// synchronisation of a computer without a battery clock, neither ends the
// session nor silences it. The wall clock stays where times are written or
// compared with record times (the lag, the settings' "time" entry).
//
// Thread safety: every operation runs on the session's thread except
// requestStop(), which any thread may call. Other threads reach the session
// only through components that lock themselves (the link's read loop fills
// the link's lock-free receive ring; the properties and the log lock
// themselves).
#ifndef VH_SESSION_SEISSERVERSTATE_H_
#define VH_SESSION_SEISSERVERSTATE_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/ActivityFiles.h"
#include "archive/PacketArchive.h"
#include "gaps/RequestFiles.h"
#include "metadata/Histogram.h"
#include "metadata/SiteFolder.h"
#include "metadata/SsFile.h"
#include "metadata/SsTimer.h"
#include "protocol/Flash.h"
#include "protocol/PacketReaderWriter.h"
#include "protocol/SelvomaPacket.h"
#include "protocol/Upload.h"
#include "session/DremoFiles.h"
#include "session/LinkStatus.h"
#include "triggers/Trigger.h"
#include "util/DirScan.h"

class Gapses;
class IO;
class Log;
class VhProps;

constexpr long IDLE_SLEEP_US = 4002;         // loop: pause when nothing is to be read
constexpr long IDLE_WAIT_MAX_US = 100000;    // loop: READ waits this long at most for bytes
constexpr long IDLE_WAIT_QUIET_US = 500000;  // ... and this long when nothing is queued to go out
constexpr int SILENCE_LOG_SECS = 5;          // loop: "Nothing Logged" after this
constexpr int SILENCE_LOG_SECS_QUIET = 120;  // ... at log verbosity -1
constexpr int KEEPALIVE_SECS = 7;            // loop: longest time without an ACK
constexpr int PERIODIC_SECS = 6;             // loop: periodic work
constexpr int LOOP_TIMEOUT_MS_DEFAULT = 30000;  // before init
constexpr int RECEIVE_DELTA_SECS_DEFAULT = 90;  // before init
constexpr int RECEIVE_DELTA_SECS = 30;          // read(): silence that ends the session
constexpr int IDENTIFY_POLLS = 20;              // initIdentify: polls for a reply
constexpr long IDENTIFY_POLL_US = 50004;        // initIdentify: pause between polls
constexpr int IDENTIFY_MAX_NO_REPLY = 5;        // initIdentify: attempts without a reply
constexpr long IDENTIFY_RETRY_US = 1000;        // initIdentify: pause before the next attempt
constexpr int STREAM_CMD_SECONDS = 4;           // seconds of data asked for again after a bad frame
constexpr int BUILD_ACK_EVERY_FRAME = 4558;     // builds up to this one want every frame acked
constexpr int DATA_ACK_INTERVAL = 100;          // later builds: ACK seqNo multiples of this
constexpr int ACK_NEXT_REQUEST_EVERY = 3;       // ackSeq multiples of this look for work
constexpr int NEXT_REQUEST_EVERY = 3;           // idle decisions: every third looks again
constexpr int SEND_WARMUP_SECS = 10;            // sendNextRequest: queues wait this long
constexpr int NEXT_REQUEST_COUNTER_MAX = 9999;  // nextRequestCounter wraps after this
constexpr long LAG_UNSET = -999999;             // lag not known
constexpr int LAG_LEARN_SECS = 40;              // setLag: later values ignored
constexpr int LAG_LOG_SECS = 20;                // setLag: larger lags are logged
constexpr size_t COMMAND_TEXT_MAX = 512;        // bytes of a COMMAND handed to processCommand
constexpr size_t STATION_LABEL_MAX = 18;        // characters of "%s.%08x"
constexpr int REQUEST_FILE_MAX_NAME = 99;       // REQUEST_FILE payloads handled as requests
constexpr int PROPS_WRITE_BACK_BYTES = 200;     // smaller property files are written back
constexpr int STOP_DRAIN_FRAMES_MAX = 1000;     // orderly stop: frames taken from the ring at most
constexpr int TIDORA_ALIVE_MAX_SECS = 20;       // companion silence that ends the process
constexpr int TIDORA_GONE_EXIT_STATUS = 0;      // exit status of the process after that
constexpr int UPLOAD_PAUSE_FILE_PART_SECS = 60;  // setting queries wait during a file upload
constexpr size_t UPLOAD_FOLDER_SCAN_MAX = 999;   // names of an upload folder looked at
// checkForUpload: a busy queue is looked at again this much sooner.
constexpr int64_t UPLOAD_CHECK_SLACK_MS = 2000;
constexpr int BACKFILL_ERROR_QUIET_SECS = 120;  // the retrieval acts this long after a link error
constexpr int GAP_CHECK_WARMUP_SECS = 20;       // no gap is popped this early in a session
constexpr size_t REQUEST_QUEUE_MAX = 64;        // request packets waiting to be sent
constexpr size_t RESPONSE_FILE_NAME_MAX = 69;   // longer names are ignored
constexpr size_t NO_FILE_PART_MAX = 9;          // a part 0 this short: the file does not exist
constexpr uint32_t SETTINGS_FILE_ID_LIMIT =
    0x3000000;  // instruments from here have no settings file
constexpr char SETTINGS_FILE_PATH[] = "/settings.ss";
constexpr uint32_t HISTOGRAM_ID_LIMIT = 0x3000000;    // instruments from here keep no histograms
constexpr time_t REQUEST_TIME_SPAN_SECS = 59;         // a DLREQU gap of requestTime
constexpr int SETTINGS_FILE_FIRST_SECS = 25;          // first settings-file time after init
constexpr int SETTINGS_FILE_PERIOD_SECS = 1800;       // then this often with setting queries on,
constexpr int SETTINGS_FILE_PERIOD_QUIET_SECS = 300;  // ... and this often with them off
constexpr int REQUEST_FILES_CHECK_MS = 1000;          // the request folder is read this often
// Files that request files ask the instrument for land in this folder of
// the station's download folder.
constexpr char REQUESTED_FOLDER[] = "requested";
// Files an instrument asks for go out as FILE_PARTs of this many data bytes
// (a part number and its data fill the largest link payload).
constexpr size_t REQUESTED_PART_DATA = LINK_PAYLOAD_MAX - FILE_PART_INDEX_LENGTH;
constexpr int REQUESTED_PARTS_MAX = 30000;        // data parts of one requested file
constexpr size_t TRIGGER_BUILDS_WAITING_MAX = 8;  // packages waiting for the running one
constexpr int TRIGGER_ZIP_WAIT_SECS = 21;         // the end waits this long for a package

class SeisServerState {
 public:
  // States; the values are stored as integers (5 is not used).
  static constexpr int INIT_IDENTIFY = 0;
  static constexpr int INIT_LINK = 1;
  static constexpr int READ = 2;
  static constexpr int PROCESS = 3;
  static constexpr int PROCESS_LOCAL = 4;
  static constexpr int NEXT_REQUEST = 6;
  static constexpr int SEND = 7;
  static constexpr int FINISH = 8;

  // No link, no log, state INIT_IDENTIFY; then zero().
  SeisServerState();
  SeisServerState(const SeisServerState&) = delete;
  SeisServerState& operator=(const SeisServerState&) = delete;
  ~SeisServerState();

  // Binds the session to its link and reads its settings from the
  // properties (rereading the file). io, props and log must outlive the
  // session; gaps may be null and is only kept. Always true.
  bool init(IO* io, VhProps* props, Gapses* gaps, Log* log);
  // Runs the state machine; returns after finish() and "loop end" once the
  // state becomes FINISH.
  void loop();
  // Makes loop() go to FINISH at its next turn (within about one bounded
  // read). Any thread; safe before, during and after loop().
  void requestStop() { stopRequested_.store(true, std::memory_order_release); }

  // The state operations below run on the session's thread; each returns
  // the next state.

  // Sends IDENTIFY and waits about a second for a reply: INIT_LINK when the
  // instrument identified itself, SEND (an ACK) when another frame came,
  // INIT_IDENTIFY to try again, FINISH after IDENTIFY_MAX_NO_REPLY attempts
  // without a reply or on a dead link.
  int initIdentify();
  // Sends LINK_INIT and reads the reply: READ (PROCESS when the reply is a
  // frame that needs dispatching) or FINISH.
  int initLink();
  // One frame without waiting: PROCESS, NEXT_REQUEST (nothing there, or a
  // failed frame: the stream command is queued) or FINISH (dead link,
  // silence beyond receiveDeltaSecs).
  int read();
  // Dispatches the received frame; checkSeq is false for frames injected
  // locally.
  int process(bool checkSeq);
  // With makeAck, the outgoing slot becomes an ACK of the received frame,
  // sent when its seqNo is a multiple of k. READ, or NEXT_REQUEST when ackSeq
  // is a multiple of ACK_NEXT_REQUEST_EVERY; FINISH when the ACK could not be
  // written.
  int sendACK(bool makeAck, int k);
  // Writes the outgoing slot: READ, or FINISH when the write failed.
  int send();
  // Chooses what to send next: SEND, READ, NEXT_REQUEST, PROCESS_LOCAL or FINISH.
  int sendNextRequest();
  // Acts on the text of an inbound COMMAND and acknowledges it:
  // NEXT_REQUEST, or FINISH for "shutdown".
  int processCommand(std::string text);
  // The text of a "station_name" command from its 14th character
  // ("NET.LOC.STA" after spaces and "="): the archive takes it; a changed
  // station re-reads its settings and gets its upload folder; then the
  // station's site marker is touched and the first-contact step runs.
  void processStationNameCommand(const std::string& text);
  // First contact, once per session (after each stored record and each
  // station-name command): the log, the site marker, the stored settings,
  // the per-station overrides "settings.<STA>" and "backfill.<STA>" (logged
  // as "backfilll for %s = %d"), the upload folder.
  void checkFirstStoreWave();

  // Queues "sleep 10" and "stream <seconds>" unless that stream command is
  // already queued.
  void sendStreamCmd(int seconds);
  // In the Tidora run mode: when the companion's alive file is older than
  // TIDORA_ALIVE_MAX_SECS (or missing), this session stops in order and the
  // process stop hook is asked for the orderly stop of the whole hub with
  // exit status TIDORA_GONE_EXIT_STATUS.
  void checkTidora();
  // The process-wide request for the hub's orderly stop with an exit status
  // (null: none). Start-up sets it before any session runs; it must return
  // at once (the stop it starts waits for the calling session).
  static void setProcessStopHook(void (*hook)(int exitStatus)) { processStopHook_.store(hook); }
  // A setting reply "key=value": stored in the settings file. When the
  // settings changed (on every second call, SsFile::isChanged) they are
  // stamped with "time" and written to the download folder and as
  // StationXML. Station, network and location replies also reach the
  // archive; a "sitename" of "nil" logs "NIL Station name: [%s]" only.
  void processSetSetting(const std::string& line);
  // Reads DOWNLOAD_DIR/<station label>/settings.ss into the settings and
  // logs "<station> build=<n>", or "fail download <path>" (the settings then
  // stay as they were).
  void readSettings();
  // Asks the file retrieval for SETTINGS_FILE_PATH as a settings file,
  // unless the instrument id is SETTINGS_FILE_ID_LIMIT or above.
  void requestSettingsFile();
  // At most once a second (the periodic work): pops the station's next due
  // gap and acts on it, unless the session is younger than
  // GAP_CHECK_WARMUP_SECS, the instrument is unknown, file parts are being
  // uploaded or the retrieval is busy (logged as "dremoFiles state: %d").
  void checkForGapRequest();
  // A DLFILE gap: fetch the instrument's file text1 into the folder text2
  // (below the station's download folder).
  void requestFile(const std::string& text1, const std::string& text2);
  // A DLREQU gap of the minute from t (59 s) for the link's station.
  void requestTime(time_t t);
  // The end of a query cycle: the state-of-health record of the parsed
  // settings into the histogram archive, copied to the monitor folder as
  // "<label>.histogram.csv"; without a histogram archive (mode 0) the record
  // is written for that copy only and removed again.
  void writeHistogramRecord();
  // In histogram mode 1 with the archive on: when the histogram schedule
  // is due (Histogram::isTime) and the instrument id is below
  // HISTOGRAM_ID_LIMIT, a REQHIS gap of the due time for the station.
  void maybeRequestHistogramFile();
  // A REQHIS gap: logs "REQUESTING HISTOGRAM: [%s][%s]" and fetches the
  // instrument's daily file of a request at t as a histogram.
  void sendHistogramRequest(time_t t);
  // A DELHIS gap: queues the COMMAND "del <path>" of the instrument's file
  // that a request at t fetched.
  void sendHistogramRemove(time_t t);
  // The oldest queued request packet, addressed to the instrument; null
  // when none waits. At most every REQUEST_FILES_CHECK_MS the client request
  // files meant for this link are read first: their REQUEST_FILE lines become
  // downloads into REQUESTED_FOLDER (a DLFILE gap), the other lines queued
  // requests.
  std::unique_ptr<SelvomaPacket> readOldestRequest();
  // Seconds between the newest record and the hub clock (called when a
  // record is stored): stored during the first LAG_LEARN_SECS of the loop or
  // while none is known.
  void setLag(long seconds);
  uint8_t getVhSeq() const { return vhSeq_; }

  // Triggers (SessionTriggers.cpp). A TRIGGER frame: the archive (and
  // through it the trigger handling) takes it; an accepted one is broadcast
  // to the other stations of the network registered in the site folder,
  // when "broadcast" is on.
  void storeTrigger(const SelvomaPacket& packet);
  // The text of a "level trigger info" command from its 21st character: a
  // peak entry (channel "SUM") after the last trigger entry, and the monitor
  // folder's peak file. Unreadable texts are logged and dropped.
  void processLevelTriggerInfoCommand(const std::string& text);
  // A whole "trigger " text: stored as a TRIGGER frame when it holds a type
  // digit and a time (Trigger::parseTextTrigger).
  void processTextTrigger(const std::string& text);
  // Trigger backfill for the instrument's build (VhProps::doBackfillTriggers)
  // into the archive and the trigger handling.
  void updateTrigBackfill();
  // A waveform file for a companion's request: the minutes start .. start +
  // minutes of station ("STA.hexserial"; empty: every station of network in
  // the site register) with their settings and StationXML, zipped to
  // "<download>/<station label>/<%Y%m%d_%H%M of start>.<minutes>min.zip"
  // (logged as "start makeWaveFile %s"). Returns the zip's path, empty when
  // nothing was zipped. Keeps the loop time-out from counting the work as
  // silence.
  std::string makeWaveFile(time_t start, int minutes, const std::string& station,
                           const std::string& network);
  // A trigger waveform package is being assembled.
  bool isAssembling() const { return assembling_->load(std::memory_order_acquire); }
  const std::string& getMonitorPath() const { return archive_.getMonitorDir(); }
  float getSampleRate() const { return sampleRate_; }

  // An instrument's REQUEST_FILE text: "SRC=<site>,<path>" relays the request to the link
  // of that site; "WAVE=YYYYMMDDhhmm,<minutes>,<station>" sends a waveform
  // file (makeWaveFile; at most an hour, of a register name, a bare station
  // code or, when empty, the whole network); "<station>.ss" sends that
  // station's settings file, "sites[...network=NN][...time=T]" the site list
  // or the site information of the five minutes from T (the hub's time text
  // or Unix seconds). Refused or unanswerable requests get the end part only.
  // Any earlier pending file parts are dropped first.
  void processRequestFile(const std::string& name);
  // Queues path as pending FILE_PART payloads: the information part (part 0,
  // "INFO:bytes=%d,filename=%s,type=%s"), data parts of REQUESTED_PART_DATA
  // bytes from 1, and the end part (two above the last data part; 1 without
  // information part when the file cannot be opened). Empty path: nothing.
  void uploadRequestedFile(const std::string& path, const std::string& type);
  void clearRequestedFile() { pendingFileParts_.clear(); }
  // An UPLREQ gap: the waveform file of the network's stations (makeWaveFile)
  // for (end - start) / 60 + 1 minutes from start, at most an hour, replaces
  // any pending file parts; nothing when no file came out.
  void completeUploadRequest(time_t start, time_t end);
  size_t numPendingFileParts() const { return pendingFileParts_.size(); }

  // The link's figures for the hub's status (SessionStatus.cpp): the link
  // joins the LinkRegistry at the start of loop(), publishes with the
  // periodic work and leaves at the end of loop() (or in the destructor).
  void publishStatus();
  uint64_t getStatusKey() const { return statusKey_; }

  // Resets the per-link counters (construction, identification, link start).
  void zero();
  // Ends the link: empties the upload queue, writes the activity text
  // "closed", closes the link, logs "FINISH".
  // Safe in any state, also when init was never called.
  void finish();

  // The current state; any thread may read it (diagnostics, tests).
  int getState() const { return state_.load(); }
  long getLag() const { return lag_; }
  uint8_t getAckSeq() const { return ackSeq_; }
  int getLastAckedSeq() const { return lastAckedSeq_; }
  int getLoopTimeoutMs() const { return loopTimeoutMs_; }
  // Monotonic milliseconds of the last receive error or logging silence; 0: none yet.
  int64_t getLastErrorMs() const { return lastErrorMs_; }
  // Milliseconds of the session's monotonic clock.
  int64_t monoMs() const { return monoClock_(); }
  const std::string& getStationLabel() const { return stationLabel_; }
  // Acknowledgement interval of data frames for the known build number.
  int dataAckInterval() const;

  SelvomaPacket& TEST_received() { return received_; }
  SelvomaPacket& TEST_outgoing() { return outgoing_; }
  Upload& TEST_upload() { return upload_; }
  Flash& TEST_flash() { return flash_; }
  RequestFiles& TEST_requestFiles() { return requestFiles_; }
  SsFile& TEST_ssFile() { return ssFile_; }
  SsTimer& TEST_ssTimer() { return ssTimer_; }
  PacketArchive& TEST_archive() { return archive_; }
  SiteFolder& TEST_siteFolder() { return siteFolder_; }
  DremoFiles& TEST_dremoFiles() { return dremoFiles_; }
  Trigger& TEST_trigger() { return trigger_; }
  size_t TEST_buildsWaiting() const { return buildsWaiting_.size(); }
  void TEST_setAssembling(bool on) { assembling_->store(on); }
  Histogram& TEST_histogram() { return histogram_; }
  bool TEST_doSettingFile() const { return doSettingFile_; }
  void TEST_setState(int state) { state_ = state; }
  void TEST_setLoopAgeSecs(int seconds) { loopStartMs_ = monoMs() - 1000LL * seconds; }
  // Replaces the monotonic clock (milliseconds).
  void TEST_setMonoClock(std::function<int64_t()> clock) { monoClock_ = std::move(clock); }
  void TEST_setLastAckedSeq(int seq) { lastAckedSeq_ = seq; }

 private:
  // The action of state; unknown states log "Unknown state. FINISH.".
  int runState(int state);
  // The loop's periodic work (every PERIODIC_SECS).
  void periodic();
  // The orderly stop, as a closed link ends: the frame already read is
  // dispatched, the complete frames still in the link's ring are read
  // without waiting and dispatched (at most STOP_DRAIN_FRAMES_MAX), so that
  // their records are stored, and the last of them is acknowledged.
  void drainOnStop();
  // Acknowledges the last frame that was read whole with a good check word,
  // without touching the packet slots or the state. False when the write failed.
  bool sendKeepAlive();
  // The keep-alive when KEEPALIVE_SECS have passed since the last one and a
  // station id is known. False when its write failed.
  bool serveKeepAlive();
  // The reader's wait hook: serves the keep-alive while a frame is awaited
  // (a stalled frame holds the reader for seconds); false on a stop request
  // or a failed keep-alive, which ends the read.
  bool whileReadWaits();
  // Remembers the received slot as the last good frame.
  void noteGoodFrame();
  // True while frames wait to go out or a file is being moved (or the
  // sending step's warm-up runs): the idle wait then keeps its short bound.
  bool hasQueuedWork() const;
  // Takes one frame from the upload queue and sends or injects it. True
  // when a frame was taken.
  bool checkForUpload();
  // The flash list's next block, sent at once. False when flashing is idle;
  // true while it is busy (nothing else may be sent).
  bool sendFlashBlock();
  // The next pending part of a file the instrument asked for, as the
  // outgoing FILE_PART; false when none waits.
  bool nextPendingFilePart();
  // The download folder of a station code ("<station>.<id8>"), the one
  // whose settings file changed last; empty when there is none.
  std::string findStationFolder(const std::string& station) const;
  // The sequence check of data frames: logs "Why seqNo==%d and not %d?".
  void checkSequence();
  // Stores the received data frame unless it repeats the sequence number of
  // the one before (logs "REPEAT PACKET skipped %d"); checkSeq is false for
  // frames injected locally, which are never taken for repeats.
  void store(bool checkSeq);
  // Hands a MINISEED frame to the archive; learns the lag, the restart gap
  // (property "fixgaps") and the station's settings entries.
  void storeMiniseedPacket();
  // stationLabel = "%s.%08x" (archive station, instrument id); the log gets it.
  void updateStationLabel();
  // Touches the station's site marker (at most every TOUCH_INTERVAL_SECS);
  // moves it when the archive's station or network has changed.
  void touchSiteMarker();
  // Removes the station's site marker, if one was made.
  void removeSiteMarker();
  // "settings.<STA>" and "backfill.<STA>" over the hub-wide switches.
  void applyStationOverrides();
  uint32_t instrumentId() const { return lastGoodStationId_; }
  // Appends a request of type with text to the request queue (at most
  // REQUEST_QUEUE_MAX; more are logged and dropped: the retrieval asks again).
  void queueRequest(uint8_t type, const std::string& text);
  // A RESPONSE_FILE_NAME while the retrieval waits for a name.
  void takeFileName();
  // A FILE_PART for the retrieval.
  void takeFilePart();
  // The retrieval's next step, when it has work and the link has been free
  // of errors for BACKFILL_ERROR_QUIET_SECS; a stored settings file is read.
  bool driveRetrieval(int64_t now);
  // The trigger settings of the properties (init).
  void initTriggers();
  // A BLDTRI gap: the buffered records go to the archive (and leave the
  // buffer), then the package is started, or waits while one is assembled
  // (at most TRIGGER_BUILDS_WAITING_MAX wait; more are logged and dropped).
  void buildTrigger(time_t t);
  // The next waiting package, once none is being assembled (periodic work).
  void startWaitingBuild();
  // Starts the assembly thread for the trigger at t.
  void startTriggerZip(time_t t);
  // A DLTRIG gap: the minute at t is fetched from the instrument when
  // trigger backfill is on and the archive's zip of it is incomplete.
  void downloadTrigger(time_t t);
  // The session's end waits, at most TRIGGER_ZIP_WAIT_SECS, for a package.
  void waitForTriggerZip();

  VhProps* props_ = nullptr;  // not owned
  time_t propsModTime_ = 0;
  PacketReaderWriter rw_;
  SelvomaPacket received_;              // the frame last read (or injected)
  SelvomaPacket outgoing_;              // the frame about to be sent
  int lastAckedSeq_ = -1;               // seqNo of the last frame acknowledged; -1: none
  std::function<int64_t()> monoClock_;  // steady clock in ms unless a test replaces it
  int64_t lastRxTic_ = 0;  // monotonic ms: last good frame read, or last FILE_PART sent
  uint32_t ownId_ = 0;     // the hub's id, property "sourceid"
  int noReplyCount_ = 0;   // identification attempts without a reply
  PacketArchive archive_;
  IO* io_ = nullptr;  // not owned
  SsTimer ssTimer_;
  Log* log_ = nullptr;  // not owned
  std::string stationLabel_;
  SiteFolder siteFolder_;    // this station's marker in the site register
  int64_t loopStartMs_ = 0;  // monotonic
  Gapses* gaps_ = nullptr;   // not owned, may be null
  Upload upload_;
  Flash flash_;
  RequestFiles requestFiles_;
  // Payloads of the FILE_PARTs of a file the instrument asked for (part
  // number and data), in sending order.
  std::deque<std::vector<uint8_t>> pendingFileParts_;
  int64_t lastRequestFilesMs_ = 0;  // monotonic: the request folder was last read
  bool samplingRestartPending_ = true;
  int nextRequestCounter_ = 0;
  int64_t lastErrorMs_ = 0;  // monotonic: last receive error or logging silence; 0: none yet
  long lag_ = LAG_UNSET;
  float sampleRate_ = 0;                   // of the last record
  uint8_t ackSeq_ = 255;                   // seqNo of the last received frame sendACK handled
  uint8_t vhSeq_ = 255;                    // seqNo of the last frame the hub originated
  std::atomic<int> state_{INIT_IDENTIFY};  // written by the session thread only
  int receiveDeltaSecs_ = RECEIVE_DELTA_SECS_DEFAULT;
  int loopTimeoutMs_ = LOOP_TIMEOUT_MS_DEFAULT;
  SsFile ssFile_;
  Histogram histogram_;              // the station's state-of-health records
  int64_t nextSettingsFileMs_ = 0;   // monotonic: next settings-file request (or monitor copy)
  bool overwriteStationXml_ = true;  // property "overwritestationxml"
  ActivityFiles activity_;
  // Files fetched from the instrument; its requests go to requests_.
  DremoFiles dremoFiles_{
      archive_, ssFile_, activity_,
      [this](uint8_t type, const std::string& text) { queueRequest(type, text); }};
  std::deque<std::unique_ptr<SelvomaPacket>> requests_;  // request queue, oldest first
  int64_t lastGapCheckMs_ = 0;                           // monotonic

  // The last frame read whole with a good check word: what acknowledgements
  // outside process() may acknowledge.
  uint32_t lastGoodStationId_ = 0;
  uint8_t lastGoodSeq_ = 0;
  bool storedData_ = false;        // a record of this link reached the archive
  int lastStoreSeq_ = -1;          // seqNo of the last frame given to store(); -1: none
  bool fixGaps_ = true;            // property "fixgaps": restart gaps are recorded
  bool doBackfill_ = true;         // property "backfill"
  int64_t nextUploadCheckMs_ = 0;  // monotonic: checkForUpload skips work until after this
  std::atomic<bool> stopRequested_{false};
  static std::atomic<void (*)(int)> processStopHook_;
  int64_t lastKeepAliveMs_ = 0;   // monotonic: the last keep-alive (or the loop start)
  bool keepAliveFailed_ = false;  // a keep-alive sent inside a read could not be written

  // The site register. The marker is kept under the station and network it
  // was made for, so that a station renamed by the instrument moves it.
  bool firstStoreWaveDone_ = false;            // checkFirstStoreWave ran
  bool doSettingFile_ = false;                 // property "settings", or "settings.<STA>"
  std::string markedStation_, markedNetwork_;  // of the marker; empty: none yet

  // Triggers: the handling is the archive's ArchiveTriggers. The assembly
  // thread shares only the running flag (an atomic it clears at its end).
  Trigger trigger_;
  int trigPreSecs_ = 0;       // property "trigwavepresecs"
  int trigPostSecs_ = 0;      // property "trigwavepostsecs"
  bool trimTrigFile_ = true;  // property "trimtrigfile"
  int monitorMaxFiles_ = 0;   // property "monitornumfiles"
  std::shared_ptr<std::atomic<bool>> assembling_ = std::make_shared<std::atomic<bool>>(false);
  std::deque<time_t> buildsWaiting_;  // trigger times of packages waiting, oldest first

  // Status (SessionStatus.cpp).
  // Joins the LinkRegistry with the link's description and start.
  void joinStatus();
  // Leaves the LinkRegistry (nothing when not in it).
  void leaveStatus();
  // A live record was stored: its bytes, end time and lag count for the status.
  void noteStoredForStatus();
  // Files waiting to be sent in the station's upload folder (UPLOAD_DIR +
  // station label); copies already sent (".sent.") and files set aside
  // (".bad") do not count. At most UPLOAD_FOLDER_SCAN_MAX names are looked
  // at. The folder is listed again only when it can have changed
  // (uploadStamp_), since the sending step asks several times a second.
  int uploadFilesWaiting();
  FolderStamp uploadStamp_;          // the upload folder at its last listing
  int uploadWaiting_ = 0;            // what that listing counted
  uint64_t statusKey_ = 0;           // in the LinkRegistry; 0: not there
  time_t statusSince_ = 0;           // wall clock: the loop began
  uint64_t recordsUnpublished_ = 0;  // live records stored since the last publish
  uint64_t bytesUnpublished_ = 0;    // ... and their bytes
  time_t lastDataTime_ = 0;          // end of the newest live record stored; 0: none
  long lastDataLag_ = 0;             // hub clock minus that end, when it was stored
};

#endif  // VH_SESSION_SEISSERVERSTATE_H_
