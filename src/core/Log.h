// Text logs of the hub: one file per log name and UTC day,
// "<BASE_DIR>log/log.YYYYMMDD.<name>.txt", opened, appended and closed at
// every write so that log files may be moved or deleted at any time.
//
// Lines are stamped to the millisecond. Below verbosity 2 they are cached up
// to LOG_CACHE_SIZE characters and written in batches, which spares the SD
// card of small hosts; at verbosity 2 or more every line is written at once.
// flush() always writes at once, and the destructor writes what is cached.
//
// Thread safety: a Log may be used by several threads (the main log by every
// listener, watcher and session; a session log by its session and the
// transport's read loop). mu_ guards the cache and the file writes; the time
// stamp is formed under TIMELOCK; the verbosity is a relaxed atomic that any
// thread may set.
#ifndef VH_CORE_LOG_H_
#define VH_CORE_LOG_H_

#include <atomic>
#include <cstdarg>
#include <ctime>
#include <string>

#include "util/Mutex.h"

constexpr size_t LOG_NAME_MAX = 29;           // characters of the log name used in the file name
constexpr size_t LOG_LINE_MAX = 599;          // characters of one formatted line
constexpr size_t LOG_CACHE_SIZE = 4096;       // characters cached before a batch write
constexpr int LOG_PRUNE_WRITES = 1000;        // batch writes between prunings of old logs
constexpr long LOG_KEEP_SECONDS = 1209600;    // 14 days
constexpr long LOG_KEEP_SECONDS_PI = 172800;  // 2 days in the Pi mode

class Log {
 public:
  // Needs init() before use (the process-wide miniSEED log).
  Log();
  // init(name).
  explicit Log(const char* name);
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  // Writes the cached lines.
  virtual ~Log();

  // Log name (at most LOG_NAME_MAX characters, "log" when null or empty),
  // verbosity 0, id 0, empty cache, log folder BASE_DIR + "log/".
  void init(const char* name);

  void setStation(const char* name);
  std::string getStation() const;
  void setVerbose(int verbosity) { verbosity_.store(verbosity, std::memory_order_relaxed); }
  int getVerbosness() const { return verbosity_.load(std::memory_order_relaxed); }
  bool isVerbose() const { return getVerbosness() > 0; }
  void setId(int id) { id_.store(id, std::memory_order_relaxed); }

  // Adds one line. A verboseOnly line is dropped below verbosity 1. The line
  // goes to the cache unless it would fill it or verbosity is 2 or more; then
  // the cache and the line are written.
  virtual void add(const char* text, bool verboseOnly = false);
  void addVerbose(const char* text) { add(text, true); }
  void addf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void addfVerbose(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Writes the cache and then this line (if any) at once.
  void flush(const char* text = nullptr);
  void flushf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::string getLogDir() const;
  std::string getPath() const;
  // Seconds since the last line was formatted (or since init).
  long secsSinceLastLog() const;

  // The formatted form of text as it would be written now, for tests.
  std::string TEST_makeStr(const char* text) { return makeStr(text); }

 private:
  std::string makeStr(const char* text);
  // The file of this UTC day for the given log name.
  std::string pathFor(const std::string& station) const;
  void writeLocked(const std::string& line) REQUIRES(mu_);
  void pruneOldLogsLocked() REQUIRES(mu_);

  std::atomic<int> verbosity_{0};
  std::atomic<int> id_{0};
  std::atomic<long> lastLogTime_{0};  // seconds

  mutable Mutex mu_;
  std::string station_ GUARDED_BY(mu_);
  std::string cache_ GUARDED_BY(mu_);
  int writeCount_ GUARDED_BY(mu_) = 0;  // batch writes since the last pruning
};

// How logLine writes a line: to the cache (Log::add), to the cache only at
// verbosity 1 or more (Log::addVerbose), or at once with the cache
// (Log::flush).
enum LogWrite { LOG_ADD, LOG_VERBOSE, LOG_FLUSH };

// Formats one line, cut to LOG_LINE_MAX characters, and writes it to log as
// how says. Does nothing when log is null, so components whose log is
// optional call it directly.
void logLine(Log* log, LogWrite how, const char* format, ...) __attribute__((format(printf, 3, 4)));
void vlogLine(Log* log, LogWrite how, const char* format, va_list args);

// The process-wide tally of error lines, for the hub's status. A line that a
// Log writes (or caches) counts as an error line when its text holds
// "error", "fail", "could not" or "cannot" in any case. The tally keeps one
// count per UTC minute for the last LOG_ERROR_MINUTES minutes under its own
// mutex (taken after a Log's mu_ is released, never with it held); any
// thread.
constexpr int LOG_ERROR_MINUTES = 60;
bool isLogErrorText(const char* text);
// Counts one error line at time t.
void noteLogError(time_t t);
// Error lines counted in the LOG_ERROR_MINUTES minutes up to and including
// the minute of now.
int logErrorsLastHour(time_t now);

#endif  // VH_CORE_LOG_H_
