// The monitor folder: a drop folder for a live viewer, which reads the files
// and deletes them. The link puts small files of fresh miniSEED records
// there (collected in memory and written about twice a second, so the
// folder gets few, reasonably sized files), trigger files of fresh seismic
// triggers, and copies of the station's settings and histogram.
//
// File names in the folder (codes from records pass through safePathCode):
//   records   "<folder>/<%Y-%m-%d_%H%M_%S>.<usec 6>.<net>.<loc>.<sta>.<cha>.ms",
//             named after the first buffered record (a file may hold several
//             channels);
//   triggers  the same with ".trig.xml" for the trigger time;
//   copies    "<folder>/<station id>.settings.ss", ".histogram.csv".
//
// The folder is capped: once it holds maxFiles entries (the two folder
// entries "." and ".." counted) nothing more is written until the viewer
// removes files. The folder is counted on one query in COUNT_EVERY only.
//
// Ownership and threads: owned by one PacketArchive and used by its
// session's thread only; no lock. The clock is replaceable for tests.
#ifndef VH_ARCHIVE_MONITORBUFFER_H_
#define VH_ARCHIVE_MONITORBUFFER_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "protocol/SelvomaPacket.h"

class Log;

class MonitorBuffer {
 public:
  static constexpr size_t DIR_MAX = 255;           // characters of the folder
  static constexpr int MAX_FILES_INITIAL = 1000;   // the cap before setMaxFiles
  static constexpr size_t BUFFER_BYTES = 10000;    // records collected at most
  static constexpr size_t FULL_BYTES = 9401;       // from here every record writes
  static constexpr size_t WRITE_MIN_BYTES = 256;   // a smaller buffer is never written
  static constexpr int PAYLOAD_MAX = 1024;         // longer payloads are never buffered
  static constexpr int64_t WRITE_EVERY_MS = 500;   // the buffer is written this often
  static constexpr int COUNT_EVERY = 22;           // one query in this many counts the folder
  static constexpr int CLEAR_MAX_ENTRIES = 10000;  // entries looked at by clear
  static constexpr size_t CLEAR_MIN_DIR = 2;       // shorter folder names are never cleared
  static constexpr size_t TRIGGER_PATH_MAX = 319;  // characters of a trigger file path
  static constexpr long COPY_AGE_SECS = 600;       // copies get their times this far back
  static constexpr long long COPY_MAX_BYTES = 30001LL * 1024;  // larger files are not copied

  using MsClock = std::function<int64_t()>;

  // Disabled, cap MAX_FILES_INITIAL, no folder.
  MonitorBuffer();
  MonitorBuffer(const MonitorBuffer&) = delete;
  MonitorBuffer& operator=(const MonitorBuffer&) = delete;

  // At most DIR_MAX characters, one trailing '/' or '\\' dropped, a leading
  // "%U" replaced by the home folder; creates the folder (mode 0777).
  void setDir(const std::string& folder);
  const std::string& getDir() const { return dir_; }
  void setEnabled(bool on) { enabled_ = on; }
  bool isEnabled() const { return enabled_; }
  void setMaxFiles(int n) { maxFiles_ = n; }

  // Buffers the record of a MINISEED packet (anything else is ignored, as is
  // a payload of 0 or above PAYLOAD_MAX bytes) and writes the buffer when
  // WRITE_EVERY_MS have passed since the last write, or when it is nearly
  // full. A record that does not fit is dropped (logged).
  void addPacket(const SelvomaPacket& packet, Log* log);
  // Writes the buffer as one file when it holds at least WRITE_MIN_BYTES.
  void write(Log* log);
  size_t bufferedBytes() const { return buffer_.size(); }

  // Empties the buffer; with a non-empty station code also deletes the
  // station's files: names holding ".<station>." or beginning with
  // "<station>.". A folder name shorter than CLEAR_MIN_DIR is never touched.
  void clear(const std::string& station);
  // Empties the buffer and deletes every file and sub-folder of the folder.
  void clearAll();

  // Entries in the folder, "." and ".." counted; -1 when it cannot be read.
  // Counts only on one call in COUNT_EVERY; the others return the last count.
  int getNumFiles();
  bool isFull() { return getNumFiles() >= maxFiles_; }

  // Copies the file into the folder as name (mode 0666, times COPY_AGE_SECS
  // back), when enabled and not full. False when nothing was copied.
  bool copyAs(const std::string& path, const std::string& name, Log* log);
  // copyAs under the file's last path component.
  bool writeFile(const std::string& path, Log* log);

  // The trigger file of a TRIGGER packet, when every code is present.
  bool writeTrigger(const SelvomaPacket& packet, const std::string& station,
                    const std::string& network, const std::string& location,
                    const std::string& channel, Log* log);
  // A peak entry as its own file.
  bool writePeakTrigger(const std::string& station, const std::string& network,
                        const std::string& location, const std::string& channel, double peak,
                        const std::string& units, time_t t, long microseconds, Log* log);
  // "<folder>/<%Y-%m-%d_%H%M_%S>.<usec>.<net>.<loc>.<sta>.<cha>.trig.xml".
  std::string getTriggerPath(const std::string& station, const std::string& network,
                             const std::string& location, const std::string& channel, time_t t,
                             long microseconds) const;

  void TEST_setClock(MsClock clock) { clock_ = std::move(clock); }

 private:
  // "<folder>/<time>.<usec>.<net>.<loc>.<sta>.<cha><extension>".
  std::string fileName(const std::string& station, const std::string& network,
                       const std::string& location, const std::string& channel, time_t t,
                       long microseconds, const char* extension) const;

  bool enabled_ = false;
  int maxFiles_ = MAX_FILES_INITIAL;
  std::string dir_;              // no trailing separator
  int64_t lastWriteMs_ = 0;      // clock ms of the last file written
  std::vector<uint8_t> buffer_;  // concatenated records, at most BUFFER_BYTES
  int countCalls_ = 0;           // 0..COUNT_EVERY-1; the folder is counted at 0
  int fileCount_ = 0;            // the last count; -1: the folder could not be read
  MsClock clock_;
};

#endif  // VH_ARCHIVE_MONITORBUFFER_H_
