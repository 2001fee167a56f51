// Archive path templates. An ArchiveFile turns a template such as
// "archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S" into the path of one station's file
// for one moment, creates the folders of such a path, notices when the
// minute being written has changed (so that a minute file is finished),
// finds existing archive files for a span of time and deletes files older
// than an age limit.
//
// Template codes, each replaced wherever it occurs (numbers zero-padded to
// the width shown, times UTC):
//   %USB first USB drive (Usb::firstDrive)   %U  home folder (HOMEDIR)
//   %N   network     %S station     %I serial number, 8 lower-case hex digits
//   %Y   year (4)    %M month (2)   %D day of month (2)   %d day of year (3)
//   %H   hour (2)    %m minute (2)  %s second (2)         %u microseconds (6)
// "%USB" is matched before "%U". The template is read once from left to
// right, so a value is never scanned for codes again. Network and station
// pass through safePathCode first: an instrument can never name a path
// outside the archive tree. Characters outside 32..126 in a resolved path
// become 'X'; resolved paths are cut to ARCHIVE_PATH_MAX characters.
//
// Finished minutes. While change tracking is on (PacketArchive's writes),
// every move of the written path to a later file finishes the file before
// it. Each finished file waits HOLD_SECONDS in a first-in first-out queue, so
// records of the old minute that arrive late still reach it, and changed()
// then hands the finished files out one per call, oldest first. Data that
// arrives faster than real time therefore finishes every minute, however
// quickly the minutes follow each other. A write that goes back to an older
// file is late data: it finishes nothing, and a file reopened that way after
// it was handed out is finished again at the next move forward.
//
// Thread safety: none. An ArchiveFile is used by one thread only (its link's
// session thread or that link's trigger handling); substitution and the
// tracking state are per object.
#ifndef VH_WAVEFORM_ARCHIVEFILE_H_
#define VH_WAVEFORM_ARCHIVEFILE_H_

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "util/ArchiveFormat.h"

class Log;

constexpr size_t ARCHIVE_TEMPLATE_MAX = 199;  // characters of a stored template
constexpr size_t ARCHIVE_RESOLVE_MAX = 219;   // characters of the substitution buffer
constexpr size_t ARCHIVE_PATH_MAX = 199;      // characters of a resolved path
constexpr size_t ARCHIVE_FILENAME_MAX = 99;   // characters of getFilename's result
// Templates this short keep their deletion root without "data" or "rchive".
constexpr size_t ARCHIVE_SHORT_TEMPLATE = 7;

class ArchiveFile {
 public:
  using ArchiveFormat = ::ArchiveFormat;

  // Appended to a template that holds no date code: the template is a folder.
  static constexpr char DEFAULT_PATH[] = "/%S/%Y/%M/%D/%H/%Y-%M-%D %H%m 00 %S.ms";
  // Extension of minute files.
  static constexpr char _extension[] = ".ms";
  // Seconds a finished file waits before changed() reports it.
  static constexpr int HOLD_SECONDS = 10;
  // Finished files waiting beyond this many have their hold cut short (oldest
  // first), so the queue stays bounded and still loses none.
  static constexpr size_t FINISHED_QUEUE_MAX = 256;
  static constexpr int GETFILES_ATTEMPTS = 5;       // tries per minute with wait set
  static constexpr size_t STATION_LIST_MAX = 9999;  // entries of getFiles' station list
  static constexpr int MKDIRS_MIN_YEAR = 2000;      // mkdirs creates nothing before this year
  static constexpr int TRIGGER_MIN_YEAR = 2010;     // getFilesInMinute warns before this year

  // Sources of the current time, of the USB drive and of getFiles' one-second
  // pause; tests replace them.
  using Clock = std::function<time_t()>;
  using DriveFinder = std::function<std::string()>;
  using Sleeper = std::function<void()>;

  // Empty template (not configured), enabled, format MINISEED, no age limit.
  ArchiveFile();
  // The same, then setTemplate(tmpl).
  explicit ArchiveFile(const std::string& tmpl);
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;
  ~ArchiveFile();  // Closes the download file.

  // Clears every field (template, tracking, download file) and enables the
  // object. The clock, drive finder and sleeper stay.
  void init();

  // Ignores empty text. A template without "%Y", "%M", "%D", "%H" or "%m" is
  // a folder: it loses one trailing '/' and gets DEFAULT_PATH appended. The
  // result, cut to ARCHIVE_TEMPLATE_MAX characters, becomes the template and
  // the deletion root; the root is cleared when the text is longer than
  // ARCHIVE_SHORT_TEMPLATE characters and holds neither "data" nor "rchive".
  void setTemplate(const std::string& text);
  // The template setTemplate stores for text (empty for empty text): a
  // property compares with it to see whether the template changed.
  static std::string templateFor(const std::string& text);
  const std::string& getTemplate() const { return template_; }
  const std::string& getDeletionRoot() const { return deletionRoot_; }

  void setFormat(ArchiveFormat format) { format_ = format; }
  ArchiveFormat getFormat() const { return format_; }
  // Lower-cases text in place; MINISEED for "miniseed" or "ms", else XML for
  // "xml", else MINISEED.
  static ArchiveFormat parseFormat(std::string& text) { return ::parseFormat(text); }

  void setEnabled(bool enabled) { enabled_ = enabled; }
  // The enabled flag is set and a template is configured.
  bool isEnabled() const { return enabled_ && !template_.empty(); }

  // Seconds after which deleteOld removes a file; 0 or less never deletes.
  void setAgeLimit(int32_t seconds) { ageLimit_ = seconds; }
  int32_t getAgeLimit() const { return ageLimit_; }

  // The path of tmpl for the codes and time t (UTC broken-down) with
  // extension appended unless empty or already contained. With track set,
  // the path takes part in the finished-minute tracking (see the file
  // comment). Returns the empty text when tmpl is empty (printing
  // "ArchiveFile.getPath()  templat==null") or names a USB drive and none is
  // mounted.
  std::string getPath(const std::string& tmpl, const std::string& network,
                      const std::string& station, uint32_t id, const struct tm& t,
                      long microseconds, const std::string& extension, bool track);
  // The same with this object's template.
  std::string getPath(const std::string& network, const std::string& station, uint32_t id,
                      const struct tm& t, long microseconds, const std::string& extension,
                      bool track);

  // getPath with this object's template, and then, for a non-empty path of a
  // time in MKDIRS_MIN_YEAR or later, creates every folder leading to the
  // file. Returns the path (empty for an empty template).
  std::string mkdirs(const std::string& network, const std::string& station, uint32_t id,
                     const struct tm& t, long microseconds, const std::string& extension,
                     bool track);
  std::string mkdirs(const std::string& network, const std::string& station, uint32_t id, time_t t,
                     long microseconds, const std::string& extension, bool track);

  // The last element of the resolved path (no tracking), at most
  // ARCHIVE_FILENAME_MAX characters.
  std::string getFilename(const std::string& network, const std::string& station, uint32_t id,
                          time_t t, long microseconds, const std::string& extension);

  // True when the oldest finished file has waited more than HOLD_SECONDS and
  // is not the file the last tracked path named; it moves to
  // getFinishedPath() and leaves the queue. Call it again (until false) to
  // receive further finished files. Otherwise sets the modification time of
  // the waiting files and of the current file to now, and returns false. log
  // (may be null) receives a verbose line per finished file.
  bool changed(Log* log);
  // At the end of a link: the files reopened by late data and then the
  // current file join the finished ones, and each call hands out the oldest
  // finished file at once, without its hold (no record of this link can
  // still arrive). Returns false when none is left. A later write to such a
  // file reopens it (see the file comment).
  bool closeOut(Log* log);
  // The file changed() reported last.
  const std::string& getFinishedPath() const { return finished_; }
  // The file the latest tracked write went to.
  const std::string& getCurrentPath() const { return current_; }
  // Finished files not yet reported.
  size_t pendingFinished() const { return pending_.size(); }

  // The folder that deleteOld walks: the deletion root up to the last '/'
  // before its first station, network, serial or time code, with "%USB" and
  // "%U" expanded. Empty (nothing is walked) when there is no deletion root,
  // no such folder, or the folder is longer than ARCHIVE_SHORT_TEMPLATE
  // characters and holds neither "data" nor "rchive".
  std::string getDeletionFolder() const;
  // Removes every file, link and folder below getDeletionFolder() (which
  // itself stays) last modified more than the age limit ago; a folder that is
  // not empty stays. Nothing without an age limit above 0. Returns the number
  // removed.
  int deleteOld();

  // For each minute from start to start + minutes (inclusive) adds every
  // readable file of the resolved path (no extension, no tracking) with
  // ".trig.ms.zip", ".ms.zip", ".xml.zip", ".ms", ".xml" or ".zip" appended
  // to list, logging "*Found %s" (entries already in list are not added
  // twice). With wait set, a minute with no file is tried again after a pause
  // of one second, GETFILES_ATTEMPTS times in all. log may be null. Returns
  // the number of entries in list.
  int getFiles(std::vector<std::string>& list, const std::string& network,
               const std::string& station, uint32_t id, time_t start, int minutes, bool wait,
               Log* log);
  // The same for each station id "STA.hexserial" of stationIds (an entry
  // without a point means serial 0), for at most STATION_LIST_MAX entries.
  int getFiles(std::vector<std::string>& list, const std::string& network,
               const std::vector<std::string>& stationIds, time_t start, int minutes, bool wait,
               Log* log);

  // Adds to list the existing files of the minute of t, with "%u" dropped and
  // extension appended: the 60 names of seconds 0..59 when the template has
  // "%s", else the one name. Logs "FOUND trig file: [%s]=%d" (path, second)
  // for each. Returns the number added.
  int getFilesInMinute(std::vector<std::string>& list, const std::string& network,
                       const std::string& station, uint32_t id, time_t t,
                       const std::string& extension, Log* log);
  // Adds the existing files named for each second from t - before to
  // t + after, with "%u" dropped and extension appended, logging
  // "FOUND SEC trig file: [%s]=%d" (path, seconds from t). Returns the number
  // added.
  int getFilesInSeconds(std::vector<std::string>& list, const std::string& network,
                        const std::string& station, uint32_t id, time_t t, int before, int after,
                        const std::string& extension, Log* log);

  // Prints the fields of t on the console for diagnosis.
  static void printtm(const struct tm& t);

  void TEST_setClock(Clock clock) { clock_ = std::move(clock); }
  void TEST_setDriveFinder(DriveFinder finder) { driveFinder_ = std::move(finder); }
  void TEST_setSleeper(Sleeper sleeper) { sleeper_ = std::move(sleeper); }

 private:
  struct Codes;
  struct Finished {
    std::string path;
    time_t due;  // reported once the clock has passed this time
  };

  // Template text with every code applied, at most ARCHIVE_RESOLVE_MAX
  // characters; empty when a needed USB drive is missing.
  std::string substitute(const std::string& tmpl, const Codes& codes) const;
  // substitute, then non-printing characters to 'X', the extension and the
  // ARCHIVE_PATH_MAX cut.
  std::string finalPath(const std::string& tmpl, const Codes& codes,
                        const std::string& extension) const;
  // Records a write to path (data time t) for the finished-file tracking.
  void track(const std::string& path, time_t t);
  void finish(const std::string& path, time_t now);
  // Adds path to list when it is readable and not listed yet; true when readable.
  static bool addReadable(std::vector<std::string>& list, const std::string& path);

  std::string template_;      // empty: not configured
  std::string lastFolder_;    // folder of the last path mkdirs made
  std::string deletionRoot_;  // template kept for deleteOld; empty: never delete
  ArchiveFormat format_ = ArchiveFormat::MINISEED;
  bool enabled_ = true;
  int32_t ageLimit_ = 0;  // seconds; 0 never deletes

  // Finished-file tracking.
  std::string current_;      // newest file written with tracking
  time_t currentTime_ = 0;   // data time of the last write to current_
  std::string lastTracked_;  // file of the latest tracked write (may be older than current_)
  // The second of the last touching of the waiting files by changed(): file
  // times are whole seconds, so touching them again within it changes nothing.
  time_t touchedAt_ = 0;
  struct Reopened {
    std::string path;
    time_t time;
  };
  std::vector<Reopened> reopened_;  // reported files written again since, oldest first once sorted
  std::deque<Finished> pending_;    // finished files not yet reported, oldest first
  std::string finished_;            // reported last by changed()

  Clock clock_;
  DriveFinder driveFinder_;
  Sleeper sleeper_;
};

#endif  // VH_WAVEFORM_ARCHIVEFILE_H_
