// Zipping of finished minute files: a zip job per finished minute and
// archive packs the minute file X.ms with the station's settings copy
// (<station id>.ss), a StationXML document made from those settings
// (<station id>.station.xml) and the minute's trigger files into X.ms.zip
// beside it, and then removes X.ms.
//
// The jobs wait in one bounded queue (ZIP_QUEUE_MAX orders) for a small pool
// of zip workers ("zip-N" in top -H; setWorkers, the "zipworkers" property,
// default the number of cores). A worker takes the oldest job whose station
// no other worker is zipping, so the minutes of a station are zipped one at
// a time and in the order they finished; after each job it pauses
// (ZIP_JOB_PAUSE_US, without any lock held), which keeps zipping from
// crowding out the links on small hosts. The pause is skipped while the
// orderly stop drains the queue (waitAll). A full queue takes no more
// orders: the minute stays unzipped (logged), as after any failed zip.
//
// The zip is built in a private folder LUMETRAFILES/tmp/zzz<n><station id>/,
// copied into the minute's folder under a hidden temporary name
// (".X.ms.zip.<n>.part", skipped by the folder scans) and renamed to X.ms.zip
// only when the copy is complete and its size checked. X.ms is removed only
// after that rename, and only when the zip's X.ms entry has the size X.ms
// still has then; a minute that grew while it was zipped (late data) is
// zipped again, up to ZIP_ATTEMPTS times. A failure at any step leaves X.ms
// in place and no partial zip behind.
//
// A zip of the minute that is already there (late records whose extraction
// failed went to a new X.ms) is never replaced by one with fewer records:
// its X.ms entry followed by X.ms make the new entry, and a zip whose entry
// cannot be read stays, with X.ms beside it.
//
// The last size check, the rename and the removal run under the minute's
// MinuteLock, which the archive's writer also holds while it extracts and
// appends: a late record reaches either the zip or the minute file, never a
// file that is then removed.
//
// With zipping off, the thread instead puts X.station.xml and X.ss beside
// the first minute of a folder (a folder that already holds a ".ss" file
// gets none) and leaves the minute file alone.
//
// Threads and ownership: start() is called by the link's session thread
// (PacketArchive::finishWrite) and hands the work order to the queue; the
// worker that takes it owns it and frees it, writes only the job's own log
// "<station id>.minute", and touches nothing of the link, so the job may
// outlive the session. The workers are detached and live until the process
// ends (a worker beyond a lowered count ends when it next wakes). waitAll()
// lets the orderly stop wait, bounded, until the queue is empty and no job
// runs. The queue, the stations being zipped, the counts and the condition
// variable are guarded by the pool's mutex (a process-wide object that is
// never destroyed, so that waiting workers outlive static destruction); no
// job runs under it.
#ifndef VH_ARCHIVE_MINUTEZIP_H_
#define VH_ARCHIVE_MINUTEZIP_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "util/ArchiveFormat.h"

class Log;

// Writes the StationXML document for the settings file at settingsPath (the
// job's settings copy) to destination. Runs on a zip worker, possibly after the session has
// ended, so it must hold copies of what it needs (the archive's channel names). Returns false when
// nothing was written.
using StationXmlMaker =
    std::function<bool(const std::string& settingsPath, const std::string& destination)>;

// The work order of one zip job; filled by the archive, owned by the job.
struct MinuteZipOrder {
  std::string minutePath;          // the finished minute file
  std::string stationId;           // "%s.%08x" of station and serial number
  uint32_t id = 0;                 // serial number: the id of the thread's log
  std::vector<std::string> files;  // the minute's trigger files
  ArchiveFormat format = ArchiveFormat::MINISEED;
  bool zipArchive = true;  // the archive's "ziparchive" switch
  // The station's settings file as it was when the minute finished, read on
  // the session's thread: the file itself may be rewritten while the thread
  // runs. Empty: no settings yet, so neither a settings copy nor StationXML.
  std::string settings;
  StationXmlMaker makeStationXml;  // empty: no StationXML entry
};

class MinuteZip {
 public:
  static constexpr size_t ZIP_NAME_BASE_MAX = 59;  // characters of X.ms kept in the zip name
  static constexpr int ZIP_ATTEMPTS = 3;           // zips of one minute that grew meanwhile
  static constexpr char ZIP_SUFFIX[] = ".zip";
  static constexpr size_t ZIP_QUEUE_MAX = 2048;     // orders waiting for a worker
  static constexpr long ZIP_JOB_PAUSE_US = 200000;  // a worker's pause after each job
  static constexpr int ZIP_WORKERS_MAX = 64;        // "zipworkers" above this is cut

  MinuteZip() = delete;

  // The number of zip workers: count, or the number of cores when count is
  // below 1 (at most ZIP_WORKERS_MAX). Start-up sets it before any link
  // starts; until then the number of cores.
  static void setWorkers(int count);
  static int workers();  // the number set (or the default)

  // Queues order for the zip workers (starting a worker when fewer than the
  // number set run) and logs "Zip minute to [%s]." in linkLog (not used
  // afterwards; may be null). Returns false, dropping the order and leaving
  // the minute unzipped, when the queue is full (logged "Zip queue full (%zu
  // minutes waiting), minute left unzipped [%s]") or no worker runs and none
  // could be started (logged "Could not create saveZip thread"). A null order
  // prints "NULL params for saveZip" and gives false.
  static bool start(std::unique_ptr<MinuteZipOrder> order, Log* linkLog);

  // The job itself, on the calling thread (tests). A null order prints
  // "NULL params for saveZip".
  static void saveZip(std::unique_ptr<MinuteZipOrder> order);

  // The name of the zip of a minute file: its last path component, cut to
  // ZIP_NAME_BASE_MAX characters, plus ".zip".
  static std::string zipNameFor(const std::string& minutePath);
  // The zip of a minute file: zipNameFor in the minute's folder.
  static std::string zipPathFor(const std::string& minutePath);

  // Waits until the queue is empty and no job runs, at most bound; the
  // workers skip their pauses meanwhile. True when all are done.
  static bool waitAll(std::chrono::milliseconds bound);
  static int running();  // jobs queued or being zipped

  // Runs hook between a zip's placement and its minute's removal, with the
  // minute's lock held; set it only while no zip job runs.
  static void TEST_setPlacedHook(std::function<void(const std::string&)> hook);
  // Runs hook (with the minute path) once the zip is built and before its
  // minute entry is checked; set it only while no zip job runs.
  static void TEST_setBuiltHook(std::function<void(const std::string&)> hook);
  // The pause after each job (microseconds; default ZIP_JOB_PAUSE_US).
  static void TEST_setJobPause(long microseconds);
};

#endif  // VH_ARCHIVE_MINUTEZIP_H_
