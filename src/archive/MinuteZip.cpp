#include "archive/MinuteZip.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <set>
#include <system_error>
#include <thread>

#include "archive/MinuteLock.h"
#include "core/Log.h"
#include "util/Console.h"
#include "util/DirScan.h"
#include "util/FileUtil.h"
#include "util/Mutex.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Zipper.h"

namespace {

constexpr double MS_PER_SECOND = 1000.0;
constexpr size_t THREAD_NAME_MAX = 15;      // characters pthread_setname_np accepts
constexpr size_t MINUTE_EXTENSION_LEN = 2;  // "ms" of X.ms, replaced by the companions' endings

// One queued zip job.
struct Job {
  std::unique_ptr<MinuteZipOrder> order;
  unsigned sequence = 0;  // numbers its partial file
};

// The zip workers and their queue. Workers wait on changed for a job they
// may take; waitAll waits on it for the end of the last job.
struct Pool {
  Mutex mu;
  std::condition_variable changed;
  std::deque<Job> queue GUARDED_BY(mu);
  std::set<std::string> zipping GUARDED_BY(mu);  // station ids a worker zips now
  int busy GUARDED_BY(mu) = 0;                   // jobs being zipped
  int wanted GUARDED_BY(mu) = 0;                 // workers set; 0 until setWorkers
  int started GUARDED_BY(mu) = 0;                // workers running
  int draining GUARDED_BY(mu) = 0;               // waitAll callers: no pauses
};

// Never destroyed: detached workers wait on it until the process ends.
Pool& pool() {
  static Pool* const p = new Pool;
  return *p;
}

int defaultWorkers() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, MinuteZip::ZIP_WORKERS_MAX));
}

int wantedLocked(Pool& p) REQUIRES(p.mu) { return p.wanted > 0 ? p.wanted : defaultWorkers(); }

// Called between a zip's placement and its minute's removal, and once the
// zip is built (tests); set while no zip job runs.
std::function<void(const std::string&)> placedHook;
std::function<void(const std::string&)> builtHook;
std::atomic<long> jobPauseUs{MinuteZip::ZIP_JOB_PAUSE_US};

// Numbers the zip jobs' partial files.
std::atomic<unsigned> zipSequence{0};

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates or replaces path with text. False when it could not be written whole.
bool writeWhole(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (fclose(f) != 0) ok = false;
  if (!ok) removeFile(path);
  return ok;
}

// Zips the minute and puts the zip beside it; removes the minute file only
// once the zip is in place. A zip of the minute already there (its
// extraction failed when late records came) is never replaced by one with
// fewer records: its entry is merged, followed by the minute file. Every
// outcome is logged in log.
void zipMinute(const MinuteZipOrder& order, const std::string& tmp, unsigned sequence, Log* log) {
  const std::string zipName = MinuteZip::zipNameFor(order.minutePath);
  const std::string built = sformat("%s%s", tmp.c_str(), zipName.c_str());
  const std::string folder = folderOf(order.minutePath);
  const std::string placed = MinuteZip::zipPathFor(order.minutePath);
  const std::string part = sformat("%s/.%s.%u.part", folder.c_str(), zipName.c_str(), sequence);
  const std::string entry = lastComponent(order.minutePath);
  const std::string merged = tmp + entry;
  log->addf("Zipping up a file called %s", built.c_str());
  for (int attempt = 0; attempt < MinuteZip::ZIP_ATTEMPTS; ++attempt) {
    long long size = getFileSize(order.minutePath);
    if (size < 0) {
      log->addf("Minute file is gone, nothing to zip [%s]", order.minutePath.c_str());
      return;
    }
    std::vector<std::string> files = order.files;
    long long entryBytes = size;
    const long long placedSize = getFileSize(placed);
    if (placedSize >= 0) {
      std::vector<uint8_t> earlier, minute;
      if (!Zipper::extractFile(placed, entry, &earlier)) {
        log->addf("Cannot read %s to merge, minute file kept beside it", placed.c_str());
        return;
      }
      size = readFile(order.minutePath, minute);
      earlier.insert(earlier.end(), minute.begin(), minute.end());
      if (size < 0 || !writeWhole(merged, std::string(earlier.begin(), earlier.end()))) {
        log->addf("Cannot merge %s, minute file kept", placed.c_str());
        return;
      }
      entryBytes = static_cast<long long>(earlier.size());
      std::replace(files.begin(), files.end(), order.minutePath, merged);
      log->addf("Merging the records of %s", placed.c_str());
    }
    if (!Zipper::compressFiles(built, files)) {
      log->addf("Could not zip %s, minute file kept", order.minutePath.c_str());
      return;
    }
    if (builtHook) builtHook(order.minutePath);
    chmod(built.c_str(), MODE_SHARED_FILE);
    if (Zipper::entrySize(built, entry) != entryBytes) continue;  // the minute grew meanwhile
    long long zipSize = getFileSize(built);
    if (!copyFile(built, part) || getFileSize(part) != zipSize) {
      removeFile(part);
      log->addf("Could not copy %s to %s, minute file kept", built.c_str(), placed.c_str());
      return;
    }
    chmod(part.c_str(), MODE_SHARED_FILE);
    // The archive appends and extracts under the same lock: between this
    // check and the removal the minute cannot change.
    MinuteLock lock(order.minutePath);
    if (getFileSize(order.minutePath) != size || getFileSize(placed) != placedSize) {
      removeFile(part);
      continue;
    }
    if (rename(part.c_str(), placed.c_str()) != 0) {
      removeFile(part);
      log->addf("Could not place %s, minute file kept", placed.c_str());
      return;
    }
    if (placedHook) placedHook(order.minutePath);
    removeFile(order.minutePath);
    return;
  }
  log->addf("Minute file kept changing while zipped, left unzipped [%s]", order.minutePath.c_str());
}

// With zipping off: the StationXML and settings copies beside the first
// minute file of a folder.
void copyBeside(const MinuteZipOrder& order, const std::string& xmlCopy, const std::string& ssCopy,
                Log* log) {
  log->add("NOT ZIPPING");
  if (order.minutePath.size() <= MINUTE_EXTENSION_LEN) return;
  const std::string base =
      order.minutePath.substr(0, order.minutePath.size() - MINUTE_EXTENSION_LEN);
  if (hasFilesWithExtension(folderOf(order.minutePath), ".ss")) return;
  const std::string xmlDest = sformat("%sstation.xml", base.c_str());
  if (!isFile(xmlDest) && copyFile(xmlCopy, xmlDest)) chmod(xmlDest.c_str(), MODE_SHARED_FILE);
  removeFile(xmlCopy);
  log->addf("Copy [%s] to [%s]", xmlCopy.c_str(), xmlDest.c_str());
  const std::string ssDest = sformat("%sss", base.c_str());
  if (!isFile(ssDest)) {
    if (copyFile(ssCopy, ssDest)) chmod(ssDest.c_str(), MODE_SHARED_FILE);
    log->addf("Copy [%s] to [%s]", ssCopy.c_str(), ssDest.c_str());
  }
}

void runZip(std::unique_ptr<MinuteZipOrder> order, unsigned sequence) {
  if (!order) {
    pprintf("NULL params for saveZip\n");
    return;
  }
  const int64_t startMs = getMillisec();
  const std::string tmp = makeTmpDir(order->stationId);
  Log log(sformat("%s.minute", order->stationId.c_str()).c_str());
  log.setId(static_cast<int>(order->id));
  log.addf("Start zip of %s", order->minutePath.c_str());
  if (tmp.empty()) {
    log.addf("Cannot make a temporary folder, minute file kept [%s]", order->minutePath.c_str());
  } else {
    const std::string xmlCopy = sformat("%s%s.station.xml", tmp.c_str(), order->stationId.c_str());
    const std::string ssCopy = sformat("%s%s.ss", tmp.c_str(), order->stationId.c_str());
    if (!order->settings.empty() && writeWhole(ssCopy, order->settings)) {
      chmod(ssCopy.c_str(), MODE_SHARED_FILE);
      if (order->makeStationXml) order->makeStationXml(ssCopy, xmlCopy);
      chmod(xmlCopy.c_str(), MODE_SHARED_FILE);
    }
    for (const std::string& companion : {xmlCopy, ssCopy, order->minutePath}) {
      order->files.insert(order->files.begin(), companion);
      log.addf("Zip file list [%s]", companion.c_str());
    }
    if (order->format != ArchiveFormat::MINISEED) {
      log.addf("Minute file unknown format: %d", static_cast<int>(order->format));
    } else if (order->zipArchive) {
      zipMinute(*order, tmp, sequence, &log);
    } else {
      copyBeside(*order, xmlCopy, ssCopy, &log);
    }
    deleteFolder(tmp);
  }
  log.addf("End zip dur=%.3f", static_cast<double>(getMillisec() - startMs) / MS_PER_SECOND);
  order.reset();
  log.addf("closePthread [%s]", "void* saveZip(void*)");
}

// A zip worker: takes the oldest job of a station no other worker zips,
// runs it without the pool's lock, pauses, and takes the next; ends when the
// number of workers was lowered below its own.
void workerLoop(int index) {
  pthread_setname_np(pthread_self(), sformatBounded(THREAD_NAME_MAX, "zip-%d", index).c_str());
  Pool& p = pool();
  for (;;) {
    Job job;
    {
      MutexLock lock(p.mu);
      std::deque<Job>::iterator next;
      p.mu.wait(p.changed, [&]() REQUIRES(p.mu) {
        if (index >= wantedLocked(p)) return true;
        next = std::find_if(p.queue.begin(), p.queue.end(), [&p](const Job& j) REQUIRES(p.mu) {
          return p.zipping.count(j.order->stationId) == 0;
        });
        return next != p.queue.end();
      });
      if (index >= wantedLocked(p)) {
        --p.started;
        p.changed.notify_all();
        return;
      }
      job = std::move(*next);
      p.queue.erase(next);
      p.zipping.insert(job.order->stationId);
      ++p.busy;
    }
    const std::string stationId = job.order->stationId;
    try {
      runZip(std::move(job.order), job.sequence);
    } catch (...) {
      pprintf("saveZip ended by an exception\n");
    }
    bool pause = false;
    {
      MutexLock lock(p.mu);
      p.zipping.erase(stationId);
      --p.busy;
      pause = p.draining == 0;
      p.changed.notify_all();
    }
    if (pause) sleepu(jobPauseUs.load(std::memory_order_relaxed));
  }
}

}  // namespace

std::string MinuteZip::zipNameFor(const std::string& minutePath) {
  return bounded(lastComponent(minutePath), ZIP_NAME_BASE_MAX) + ZIP_SUFFIX;
}

std::string MinuteZip::zipPathFor(const std::string& minutePath) {
  return folderOf(minutePath) + "/" + zipNameFor(minutePath);
}

void MinuteZip::saveZip(std::unique_ptr<MinuteZipOrder> order) {
  runZip(std::move(order), zipSequence.fetch_add(1, std::memory_order_relaxed));
}

void MinuteZip::setWorkers(int count) {
  Pool& p = pool();
  MutexLock lock(p.mu);
  p.wanted = count < 1 ? defaultWorkers() : std::min(count, ZIP_WORKERS_MAX);
  p.changed.notify_all();  // workers beyond the new number end
}

int MinuteZip::workers() {
  Pool& p = pool();
  MutexLock lock(p.mu);
  return wantedLocked(p);
}

bool MinuteZip::start(std::unique_ptr<MinuteZipOrder> order, Log* linkLog) {
  if (!order) {
    pprintf("NULL params for saveZip\n");
    return false;
  }
  const std::string minutePath = order->minutePath;
  Pool& p = pool();
  size_t full = 0;  // the queue's length when it was full
  bool noWorker = false;
  {
    MutexLock lock(p.mu);
    if (p.queue.size() >= ZIP_QUEUE_MAX) {
      full = p.queue.size();
    } else {
      p.queue.push_back(Job{std::move(order), zipSequence.fetch_add(1, std::memory_order_relaxed)});
      if (p.started < wantedLocked(p)) {
        try {
          std::thread(workerLoop, p.started).detach();
          ++p.started;
        } catch (const std::system_error&) {
          // A running worker takes the job later; with none it is dropped.
          if (p.started == 0) {
            p.queue.pop_back();
            noWorker = true;
          }
        }
      }
      p.changed.notify_all();
    }
  }
  if (full > 0) {
    logLine(linkLog, LOG_ADD, "Zip queue full (%zu minutes waiting), minute left unzipped [%s]",
            full, minutePath.c_str());
    return false;
  }
  if (noWorker) {
    logLine(linkLog, LOG_ADD, "Could not create saveZip thread");
    return false;
  }
  logLine(linkLog, LOG_ADD, "Zip minute to [%s].", minutePath.c_str());
  return true;
}

bool MinuteZip::waitAll(std::chrono::milliseconds bound) {
  Pool& p = pool();
  MutexLock lock(p.mu);
  ++p.draining;
  const bool done =
      p.mu.waitUntil(p.changed, std::chrono::steady_clock::now() + bound,
                     [&p]() REQUIRES(p.mu) { return p.queue.empty() && p.busy == 0; });
  --p.draining;
  return done;
}

int MinuteZip::running() {
  Pool& p = pool();
  MutexLock lock(p.mu);
  return static_cast<int>(p.queue.size()) + p.busy;
}

void MinuteZip::TEST_setPlacedHook(std::function<void(const std::string&)> hook) {
  placedHook = std::move(hook);
}

void MinuteZip::TEST_setBuiltHook(std::function<void(const std::string&)> hook) {
  builtHook = std::move(hook);
}

void MinuteZip::TEST_setJobPause(long microseconds) {
  jobPauseUs.store(microseconds, std::memory_order_relaxed);
}
