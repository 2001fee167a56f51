#include "archive/MinuteZip.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
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

// The running zip threads; waitAll waits on the condition.
struct Running {
  Mutex mu;
  std::condition_variable ended;
  int count GUARDED_BY(mu) = 0;
};

Running& runningState() {
  static Running state;
  return state;
}

// Called between a zip's placement and its minute's removal (tests); set
// while no zip thread runs.
std::function<void(const std::string&)> placedHook;

// Numbers the zip threads (thread names) and their partial files.
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

bool MinuteZip::start(std::unique_ptr<MinuteZipOrder> order, Log* linkLog) {
  const std::string minutePath = order ? order->minutePath : std::string();
  const unsigned sequence = zipSequence.fetch_add(1, std::memory_order_relaxed);
  Running& state = runningState();
  {
    MutexLock lock(state.mu);
    ++state.count;
  }
  try {
    std::thread thread([order = std::move(order), sequence]() mutable {
      std::string name = sformatBounded(THREAD_NAME_MAX, "zip-%u", sequence);
      pthread_setname_np(pthread_self(), name.c_str());
      try {
        runZip(std::move(order), sequence);
      } catch (...) {
        pprintf("saveZip ended by an exception\n");
      }
      Running& done = runningState();
      MutexLock lock(done.mu);
      --done.count;
      done.ended.notify_all();
    });
    thread.detach();
  } catch (const std::system_error&) {
    {
      MutexLock lock(state.mu);
      --state.count;
      state.ended.notify_all();
    }
    if (linkLog != nullptr) linkLog->add("Could not create saveZip thread");
    return false;
  }
  if (linkLog != nullptr) linkLog->addf("Zip minute to [%s].", minutePath.c_str());
  return true;
}

bool MinuteZip::waitAll(std::chrono::milliseconds bound) {
  Running& state = runningState();
  MutexLock lock(state.mu);
  return state.mu.waitUntil(state.ended, std::chrono::steady_clock::now() + bound,
                            [&state]() REQUIRES(state.mu) { return state.count == 0; });
}

int MinuteZip::running() {
  Running& state = runningState();
  MutexLock lock(state.mu);
  return state.count;
}

void MinuteZip::TEST_setPlacedHook(std::function<void(const std::string&)> hook) {
  placedHook = std::move(hook);
}
