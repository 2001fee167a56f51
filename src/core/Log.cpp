#include "core/Log.h"

#include <sys/time.h>

#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {
constexpr char DEFAULT_LOG_NAME[] = "log";
// A line is cached only while more than this many characters stay free.
constexpr size_t LOG_CACHE_SLACK = 2;
constexpr time_t SECONDS_PER_MINUTE = 60;
// The words that make a line an error line, in lower case.
const char* const ERROR_WORDS[] = {"error", "fail", "could not", "cannot"};

// The error tally: one bucket per minute of the last hour, the bucket of
// minute m at m % LOG_ERROR_MINUTES, stamped with its minute.
struct ErrorTally {
  Mutex mu;
  std::array<time_t, LOG_ERROR_MINUTES> minute GUARDED_BY(mu){};
  std::array<int, LOG_ERROR_MINUTES> count GUARDED_BY(mu){};
};

ErrorTally& errorTally() {
  static ErrorTally* tally = new ErrorTally();  // lives as long as the process
  return *tally;
}

void countIfError(const char* text) {
  if (isLogErrorText(text)) noteLogError(time(nullptr));
}
}  // namespace

bool isLogErrorText(const char* text) {
  if (text == nullptr) return false;
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (const char* word : ERROR_WORDS)
    if (lower.find(word) != std::string::npos) return true;
  return false;
}

void noteLogError(time_t t) {
  ErrorTally& tally = errorTally();
  const time_t m = t / SECONDS_PER_MINUTE;
  const size_t slot = static_cast<size_t>(m % LOG_ERROR_MINUTES);
  MutexLock lock(tally.mu);
  if (tally.minute[slot] != m) {
    tally.minute[slot] = m;
    tally.count[slot] = 0;
  }
  ++tally.count[slot];
}

int logErrorsLastHour(time_t now) {
  ErrorTally& tally = errorTally();
  const time_t m = now / SECONDS_PER_MINUTE;
  int total = 0;
  MutexLock lock(tally.mu);
  for (int i = 0; i < LOG_ERROR_MINUTES; ++i) {
    if (tally.minute[i] <= m && tally.minute[i] > m - LOG_ERROR_MINUTES) total += tally.count[i];
  }
  return total;
}

Log::Log() = default;

Log::Log(const char* name) { init(name); }

Log::~Log() { flush(); }

void Log::init(const char* name) {
  lastLogTime_.store(time(nullptr), std::memory_order_relaxed);
  verbosity_.store(0, std::memory_order_relaxed);
  id_.store(0, std::memory_order_relaxed);
  MutexLock lock(mu_);
  station_ = (name == nullptr || *name == '\0') ? DEFAULT_LOG_NAME : bounded(name, LOG_NAME_MAX);
  cache_.clear();
}

void Log::setStation(const char* name) {
  MutexLock lock(mu_);
  station_ = bounded(name == nullptr ? "" : name, LOG_NAME_MAX);
}

std::string Log::getStation() const {
  MutexLock lock(mu_);
  return station_;
}

std::string Log::getLogDir() const { return BASE_DIR + "log/"; }

std::string Log::pathFor(const std::string& station) const {
  struct tm tm;
  nowtm(&tm);
  return sformat("%slog.%4d%02d%02d.%s.txt", getLogDir().c_str(), tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, station.c_str());
}

std::string Log::getPath() const { return pathFor(getStation()); }

long Log::secsSinceLastLog() const {
  return time(nullptr) - lastLogTime_.load(std::memory_order_relaxed);
}

std::string Log::makeStr(const char* text) {
  char timeText[16];
  char dateText[16] = "";
  int millis;
  int verbosity = getVerbosness();
  {
    MutexLock lock(TIMELOCK);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    gmtm(&tm, tv.tv_sec);
    lastLogTime_.store(tv.tv_sec, std::memory_order_relaxed);
    millis = static_cast<int>(tv.tv_usec / 1000);
    strftime(timeText, sizeof timeText, "%H%M%S", &tm);
    if (verbosity > 0) strftime(dateText, sizeof dateText, "%Y%m%d", &tm);
  }
  if (verbosity >= 1) {
    return sformatBounded(LOG_LINE_MAX, "%s %s.%03d %08x %s\n", dateText, timeText, millis,
                          static_cast<unsigned>(id_.load(std::memory_order_relaxed)), text);
  }
  return sformatBounded(LOG_LINE_MAX, "%s.%03d %s\n", timeText, millis, text);
}

void Log::add(const char* text, bool verboseOnly) {
  if (text == nullptr) return;
  if (verboseOnly && getVerbosness() < 1) return;
  countIfError(text);
  std::string line = makeStr(text);
  if (DOPRINTF.load(std::memory_order_relaxed)) {
    fputs(line.c_str(), stdout);
    fflush(stdout);
  }
  MutexLock lock(mu_);
  size_t needed = line.size() + cache_.size();
  if (needed + LOG_CACHE_SLACK < LOG_CACHE_SIZE && getVerbosness() < 2) {
    cache_ += line;
    return;
  }
  writeLocked(line);
  if (writeCount_++ > LOG_PRUNE_WRITES) pruneOldLogsLocked();
}

void Log::addf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogLine(this, LOG_ADD, format, args);
  va_end(args);
}

void Log::addfVerbose(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogLine(this, LOG_VERBOSE, format, args);
  va_end(args);
}

void Log::flush(const char* text) {
  std::string line;
  if (text != nullptr) {
    countIfError(text);
    line = makeStr(text);
    if (DOPRINTF.load(std::memory_order_relaxed)) {
      fputs(line.c_str(), stdout);
      fflush(stdout);
    }
  }
  MutexLock lock(mu_);
  if (line.empty() && cache_.empty()) return;
  writeLocked(line);
}

void Log::flushf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogLine(this, LOG_FLUSH, format, args);
  va_end(args);
}

void Log::writeLocked(const std::string& line) {
  std::string path = pathFor(station_);
  FILE* f = fopen(path.c_str(), "a");
  if (f == nullptr) {
    mkdirs(path, false);
    f = fopen(path.c_str(), "a");
  }
  if (f == nullptr) {
    printf("Cant write log to %s\n", path.c_str());
    mkdirs(path, false);
    return;  // the line is dropped; the cache stays for the next attempt
  }
  fwrite(cache_.data(), 1, cache_.size(), f);
  cache_.clear();
  fwrite(line.data(), 1, line.size(), f);
  fclose(f);
}

void Log::pruneOldLogsLocked() {
  deleteOldFiles(getLogDir(), MODE == MODE_PI ? LOG_KEEP_SECONDS_PI : LOG_KEEP_SECONDS);
  writeCount_ = 0;
}

void vlogLine(Log* log, LogWrite how, const char* format, va_list args) {
  if (log == nullptr) return;
  if (how == LOG_VERBOSE && log->getVerbosness() < 1) return;
  std::string text = bounded(vsformat(format, args), LOG_LINE_MAX);
  if (how == LOG_FLUSH) {
    log->flush(text.c_str());
  } else {
    log->add(text.c_str(), how == LOG_VERBOSE);
  }
}

void logLine(Log* log, LogWrite how, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogLine(log, how, format, args);
  va_end(args);
}
