#include "archive/MonitorBuffer.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "archive/TriggerFile.h"
#include "core/Log.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"

namespace {

constexpr char HOME_CODE[] = "%U";
constexpr char TIME_FORMAT[] = "%Y-%m-%d_%H%M_%S";
constexpr char RECORD_EXTENSION[] = ".ms";
constexpr char TRIGGER_EXTENSION[] = ".trig.xml";
constexpr int FOLDER_ENTRIES = 2;  // "." and ".."

int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Deletes each path: folders with their contents, files.
void removeEntries(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (isDir(path)) {
      deleteFolder(path);
    } else {
      removeFile(path);
    }
  }
}

}  // namespace

MonitorBuffer::MonitorBuffer() : clock_(steadyMs) { buffer_.reserve(BUFFER_BYTES); }

void MonitorBuffer::setDir(const std::string& folder) {
  std::string dir = bounded(folder, DIR_MAX);
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  if (dir.compare(0, 2, HOME_CODE) == 0) dir = HOMEDIR + dir.substr(2);
  dir_ = dir;
  if (dir_.empty()) return;
  mkdirs(dir_, true);
  chmod(dir_.c_str(), MODE_SHARED_FOLDER);
}

void MonitorBuffer::addPacket(const SelvomaPacket& packet, Log* log) {
  if (packet.type != SelvomaPacket::MINISEED) return;
  const int length = packet.payloadLen();
  if (length <= 0 || length > PAYLOAD_MAX) return;
  if (buffer_.size() + static_cast<size_t>(length) > BUFFER_BYTES) {
    logLine(log, LOG_ADD, "MonitorBuffer.addPacket TOO BIG PAYLOADLEN=%d", length);
    write(log);
    return;
  }
  buffer_.insert(buffer_.end(), packet.payload(), packet.payload() + length);
  if (buffer_.size() >= FULL_BYTES || clock_() - lastWriteMs_ >= WRITE_EVERY_MS) write(log);
}

void MonitorBuffer::write(Log* log) {
  if (buffer_.size() < WRITE_MIN_BYTES || dir_.empty()) return;
  MSTrace header;
  Miniseed::getMSTraceHeader(buffer_.data(), &header);
  const time_t t = static_cast<time_t>(header.starttime / HPTMODULUS);
  const long micro = static_cast<long>(header.starttime % HPTMODULUS);
  const std::string path = fileName(header.station, header.network, header.location, header.channel,
                                    t, micro < 0 ? 0 : micro, RECORD_EXTENSION);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    mkdirs(dir_, true);
    chmod(dir_.c_str(), MODE_SHARED_FOLDER);
    f = fopen(path.c_str(), "wb");
  }
  if (f == nullptr) {
    logLine(log, LOG_ADD, "Monitor folder: cannot write [%s]", path.c_str());
  } else {
    const bool ok = fwrite(buffer_.data(), 1, buffer_.size(), f) == buffer_.size();
    if (fclose(f) != 0 || !ok) {
      logLine(log, LOG_ADD, " CANT WRITE [%s] n=%zu ", path.c_str(), buffer_.size());
      removeFile(path);
    } else {
      chmod(path.c_str(), MODE_SHARED_FILE);
    }
  }
  buffer_.clear();
  lastWriteMs_ = clock_();
}

void MonitorBuffer::clear(const std::string& station) {
  buffer_.clear();
  if (station.empty() || dir_.size() < CLEAR_MIN_DIR) return;
  const std::string inner = "." + station + ".";
  const std::string prefix = station + ".";
  std::vector<std::string> doomed;
  forEachEntry(dir_, CLEAR_MAX_ENTRIES, [&](const char* name, const std::string& path) {
    const std::string n(name);
    if (n.find(inner) != std::string::npos || n.compare(0, prefix.size(), prefix) == 0) {
      doomed.push_back(path);
    }
    return true;
  });
  removeEntries(doomed);
}

void MonitorBuffer::clearAll() {
  buffer_.clear();
  if (dir_.size() < CLEAR_MIN_DIR) return;
  std::vector<std::string> doomed;
  forEachEntry(dir_, CLEAR_MAX_ENTRIES, [&](const char*, const std::string& path) {
    doomed.push_back(path);
    return true;
  });
  removeEntries(doomed);
}

int MonitorBuffer::getNumFiles() {
  if (countCalls_ == 0) {
    int seen = 0;
    // Counting stops at the cap: a folder past it is full however many more it holds.
    const size_t limit = static_cast<size_t>(std::max(maxFiles_, 0)) + FOLDER_ENTRIES;
    const bool read = forEachEntry(dir_, limit, [&seen](const char*, const std::string&) {
      ++seen;
      return true;
    });
    fileCount_ = read ? seen + FOLDER_ENTRIES : -1;
  }
  countCalls_ = (countCalls_ + 1) % COUNT_EVERY;
  return fileCount_;
}

bool MonitorBuffer::copyAs(const std::string& path, const std::string& name, Log* log) {
  if (!enabled_ || dir_.empty() || isFull()) return false;
  const long long size = getFileSize(path);
  if (size < 0) return false;
  if (size > COPY_MAX_BYTES) {
    logLine(log, LOG_ADD, "Monitor folder: [%s] too large to copy (%lld bytes)", path.c_str(),
            size);
    return false;
  }
  const std::string target = dir_ + "/" + safePathCode(name);
  if (!copyFile(path, target)) return false;
  chmod(target.c_str(), MODE_SHARED_FILE);
  touchFile(target, COPY_AGE_SECS);
  return true;
}

bool MonitorBuffer::writeFile(const std::string& path, Log* log) {
  const size_t slash = path.rfind('/');
  const bool copied = copyAs(path, slash == std::string::npos ? path : path.substr(slash + 1), log);
  if (copied) logLine(log, LOG_ADD, "filepath=%s  monpath=%s", path.c_str(), dir_.c_str());
  return copied;
}

std::string MonitorBuffer::fileName(const std::string& station, const std::string& network,
                                    const std::string& location, const std::string& channel,
                                    time_t t, long microseconds, const char* extension) const {
  return sformatBounded(TRIGGER_PATH_MAX, "%s/%s.%06ld.%s.%s.%s.%s%s", dir_.c_str(),
                        formatUtc(t, TIME_FORMAT).c_str(), microseconds,
                        safePathCode(network).c_str(), safePathCode(location).c_str(),
                        safePathCode(station).c_str(), safePathCode(channel).c_str(), extension);
}

std::string MonitorBuffer::getTriggerPath(const std::string& station, const std::string& network,
                                          const std::string& location, const std::string& channel,
                                          time_t t, long microseconds) const {
  return fileName(station, network, location, channel, t, microseconds, TRIGGER_EXTENSION);
}

bool MonitorBuffer::writeTrigger(const SelvomaPacket& packet, const std::string& station,
                                 const std::string& network, const std::string& location,
                                 const std::string& channel, Log* log) {
  SelTrigger record;
  if (station.empty() || network.empty() || channel.empty() || dir_.empty() ||
      !packet.getSelTrigger(&record)) {
    return false;
  }
  const time_t t = SelvomaPacket::selTimeToTime_t(static_cast<uint32_t>(record.time));
  const long micro = std::min<long>(record.usec, TriggerFile::MICROS_MAX);
  return TriggerFile::makeFile(getTriggerPath(station, network, location, channel, t, micro),
                               network, station, location, channel,
                               TriggerFile::getTriggerText(record.alarmType), t, micro, log);
}

bool MonitorBuffer::writePeakTrigger(const std::string& station, const std::string& network,
                                     const std::string& location, const std::string& channel,
                                     double peak, const std::string& units, time_t t,
                                     long microseconds, Log* log) {
  if (!enabled_ || dir_.empty() || isFull()) return false;
  return TriggerFile::makePeakFile(
      getTriggerPath(station, network, location, channel, t, microseconds), network, station,
      location, channel, peak, units, t, microseconds, log);
}
