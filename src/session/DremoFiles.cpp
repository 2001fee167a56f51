#include "session/DremoFiles.h"

#include <sys/stat.h>

#include <cstdio>

#include "archive/ActivityFiles.h"
#include "archive/PacketArchive.h"
#include "core/Log.h"
#include "gaps/Gapses.h"
#include "metadata/Histogram.h"
#include "metadata/HistogramCsv.h"
#include "metadata/SsFile.h"
#include "metadata/StationXml.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char NULL_NAME[] = "null";
constexpr char SETTINGS_MARK[] = ".ss";
constexpr char SETTINGS_RAW[] = "s.ss";
constexpr char SETTINGS_NAME[] = "settings.ss";
constexpr char STATION_XML[] = "station.xml";
constexpr char HISTOGRAM_NAME[] = "histogram.csv";
constexpr char TIME_TEXT[] = "%Y-%m-%d %H%M %S";

std::string lastComponent(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// folder below base: empty, "." and ".." components dropped, each other one
// made safe; empty when the result is longer than maxChars.
std::string confine(const std::string& base, const std::string& folder, size_t maxChars) {
  std::string out = base;
  while (!out.empty() && out.back() == '/') out.pop_back();
  size_t at = 0;
  while (at <= folder.size()) {
    size_t end = folder.find_first_of("/\\", at);
    if (end == std::string::npos) end = folder.size();
    const std::string part = folder.substr(at, end - at);
    if (!part.empty() && part != "." && part != "..") out += "/" + safePathCode(part);
    at = end + 1;
  }
  return out.size() > maxChars ? std::string() : out;
}

}  // namespace

DremoFiles::DremoFiles(PacketArchive& archive, SsFile& settings, ActivityFiles& activity,
                       RequestSink sink)
    : archive_(archive),
      settings_(settings),
      activity_(activity),
      sink_(std::move(sink)),
      clock_([] { return time(nullptr); }) {
  init();
}

void DremoFiles::setStation(const std::string& station) {
  station_ = bounded(station, STATION_MAX);
}

std::string DremoFiles::downloadFolder() const {
  return label_.empty() ? std::string() : DOWNLOAD_DIR + safePathCode(label_) + "/";
}

void DremoFiles::init() {
  state_ = IDLE;
  fileType_ = OTHER;
  requestedTime_ = 0;
  filePath_.clear();
  fileName_.clear();
  activityOn_ = false;
  destFolder_.clear();
  destPath_.clear();
  bytes_.clear();
  bytes_.shrink_to_fit();
  received_ = 0;
  lastActivity_ = now();
}

std::string DremoFiles::timeToPath(time_t t) const {
  return formatUtc(t, "/data/%Y/%m/%d/%H/%Y-%m-%d %H%M 00") + " " + station_ + ".ms";
}

void DremoFiles::get(time_t t) {
  init();
  requestedTime_ = t;
  fileType_ = MINISEED;
  takePath(timeToPath(t));
}

void DremoFiles::takePath(const std::string& name) {
  lastActivity_ = now();
  filePath_ = bounded(name, PATH_MAX_CHARS);
  fileName_ = lastComponent(filePath_);
  state_ = ASK_FILE;
}

void DremoFiles::setFilePath(const std::string& name) {
  lastActivity_ = now();
  if (name.empty() || name == NULL_NAME) {
    init();
    return;
  }
  takePath(name);
}

std::string DremoFiles::repairFilePath(const std::string& name) const {
  const std::string wanted = formatUtc(requestedTime_, " %H%M ");
  if (requestedTime_ <= 0 || name.find(wanted) != std::string::npos) return name;
  const size_t at = name.find(formatUtc(requestedTime_ - 60, " %H%M "));
  if (at == std::string::npos) return name;
  std::string repaired = name;
  repaired.replace(at, wanted.size(), wanted);
  if (at + wanted.size() + 1 < repaired.size()) repaired[at + wanted.size() + 1] = '1';
  logLine(log_, LOG_ADD, "Repair path [%s]->[%s]", name.c_str(), repaired.c_str());
  return repaired;
}

void DremoFiles::request(uint8_t type, const std::string& text) {
  lastActivity_ = now();
  bytes_.clear();
  received_ = 0;
  sink_(type, text);
  takePath(text);
}

void DremoFiles::requestFile(const std::string& path, FileType type, time_t t) {
  retries_ = 0;
  if (type != MINISEED) requestedTime_ = t;
  askFile(path, type);
}

void DremoFiles::askFile(const std::string& path, FileType type) {
  activityOn_ = false;
  logLine(log_, LOG_VERBOSE, "start %s", path.c_str());
  request(SelvomaPacket::REQUEST_FILE, path);
  fileType_ = type;
  state_ = RECEIVING;
}

void DremoFiles::requestFile(const std::string& path, const std::string& destFolder) {
  requestFile(path, CLIENT);
  activityOn_ = true;
  const std::string base = downloadFolder();
  destFolder_ = base.empty() ? std::string() : confine(base, destFolder, PATH_MAX_CHARS);
  const std::string name = safePathCode(fileName_);
  if (destFolder_.empty() || name.empty()) {
    giveUp("no destination");
    return;
  }
  destPath_ = destFolder_ + "/" + name;
  activity_.deleteOld();
  activity("Start");
}

void DremoFiles::requestFilename(time_t t) {
  const std::string text = formatUtc(t, TIME_TEXT);
  logLine(log_, LOG_ADD, "backfill request | %s", text.c_str());
  request(SelvomaPacket::REQUEST_FILE_TIME, text);
  activity_.writeDownload(t, "Request");
  activity("Request");
  state_ = WAIT_NAME;
  fileType_ = MINISEED;
  requestedTime_ = t;
  retries_ = 0;
  lastActivity_ = now();
}

void DremoFiles::activity(const std::string& text) { activity_.write(fileName_, text); }

void DremoFiles::fail(const std::string& reason) {
  logLine(log_, LOG_ADD, "backfill fail | %s | %s", filePath_.c_str(), reason.c_str());
  activity(reason);
  activity_.deleteDownload(requestedTime_);
  init();
}

void DremoFiles::giveUp(const std::string& why) {
  logLine(log_, LOG_ADD, "backfill fail | %s | %s", filePath_.c_str(), why.c_str());
  activity("Fail");
  if (!destPath_.empty()) removeFile(destPath_ + PART_SUFFIX);
  init();
}

void DremoFiles::add(const FilePart& piece) {
  if (piece.partNumber < 2 || state_ == IDLE) state_ = RECEIVING;
  lastActivity_ = now();
  if (filePath_.empty()) {
    logLine(log_, LOG_ADD, "FILE_PART %u without a file asked for: ignored", piece.partNumber);
    state_ = IDLE;
    return;
  }
  if (piece.partNumber == 0) {
    activity_.writeDownload(requestedTime_, "Fail");
    activity("Fail");
    repeat(false);
    return;
  }
  if (piece.data.empty()) {
    if (state_ != RECEIVING) {
      if (fileType_ == MINISEED && requestedTime_ > 0) {
        requestFilename(requestedTime_);
      } else {
        logLine(log_, LOG_ADD, "End of [%s] out of turn: ignored", filePath_.c_str());
      }
      return;
    }
    if (fileType_ == CLIENT) {
      if (rename((destPath_ + PART_SUFFIX).c_str(), destPath_.c_str()) != 0) {
        giveUp("cannot place " + destPath_);
        return;
      }
      logLine(log_, LOG_ADD, "backfill complete | %s", filePath_.c_str());
      activity("Finish");
    }
    state_ = COMPLETE;
    activity_.deleteDownload(requestedTime_);
    return;
  }
  if (received_ + piece.data.size() > DOWNLOAD_MAX_BYTES) {
    giveUp(sformat("larger than %zu bytes", DOWNLOAD_MAX_BYTES));
    return;
  }
  received_ += piece.data.size();
  if (fileType_ == CLIENT && destPath_.empty()) {
    giveUp("no destination");  // never a part file in the working folder
    return;
  }
  if (fileType_ == CLIENT) {
    const std::string part = destPath_ + PART_SUFFIX;
    if (piece.partNumber == 1) mkdirs(part, false);
    FILE* f = fopen(part.c_str(), piece.partNumber == 1 ? "wb" : "ab");
    const bool ok =
        f != nullptr && fwrite(piece.data.data(), 1, piece.data.size(), f) == piece.data.size();
    if (f != nullptr && fclose(f) != 0) f = nullptr;
    if (!ok || f == nullptr) {
      giveUp("cannot write " + part);
      return;
    }
    chmod(part.c_str(), MODE_SHARED_FILE);
  } else {
    bytes_.insert(bytes_.end(), piece.data.begin(), piece.data.end());
  }
  if (piece.partNumber % PROGRESS_EVERY == 0 && piece.data.size() > PROGRESS_MIN_BYTES) {
    const int kb = static_cast<int>(received_ / 1024);
    activity_.writeDownload(requestedTime_, sformat("%dkB", kb));
    if (activityOn_) activity(sformat("%dkB", kb));
  }
}

void DremoFiles::doAction() {
  switch (state_) {
    case ASK_BY_TIME:
      requestFilename(requestedTime_);
      break;
    case WAIT_NAME:
    case RECEIVING:
      testTimeout();
      break;
    case ASK_FILE:
      requestFile(filePath_, fileType_, requestedTime_);
      break;
    case COMPLETE:
      storeFile();
      break;
    default:
      break;
  }
}

void DremoFiles::testTimeout() {
  const long silent = static_cast<long>(now() - lastActivity_);
  if (state_ == IDLE || silent < TIMEOUT_SECS) return;
  logLine(log_, LOG_ADD, "fail download timeout %ld secs.  %s", silent, filePath_.c_str());
  repeat(true);
}

void DremoFiles::repeat(bool timedOut) {
  if (filePath_.empty()) {
    state_ = IDLE;
    return;
  }
  if (retries_ < RETRIES_MAX) {
    logLine(log_, LOG_ADD, "RE-ATTEMPT to retrieve %s", filePath_.c_str());
    ++retries_;
    const bool on = activityOn_;
    askFile(filePath_, fileType_);
    activityOn_ = on;
    return;
  }
  if (!bytes_.empty() && fileType_ != CLIENT) {
    filePath_ += INCOMPLETE;
    state_ = COMPLETE;
    return;
  }
  if (timedOut && fileType_ == MINISEED && requestedTime_ > 0 && gaps_ != nullptr &&
      pushedBack_.count(requestedTime_) == 0 && pushedBack_.size() < PUSHED_BACK_MAX) {
    auto gap = std::make_unique<Gap>(requestedTime_, requestedTime_ + 59, Gap::DLBACK);
    gap->setPopTime(now() + PUSH_BACK_SECS);
    if (gaps_->push(archive_.getStationWithId(), std::move(gap), log_)) {
      pushedBack_.insert(requestedTime_);
      logLine(log_, LOG_ADD, "backfill later | %s", filePath_.c_str());
    }
  }
  giveUp("timeout");
}

bool DremoFiles::writeDownload(const std::string& name, const std::vector<uint8_t>& data) {
  const std::string folder = downloadFolder();
  const std::string base = safePathCode(lastComponent(name));
  if (folder.empty() || base.empty()) {
    logLine(log_, LOG_ADD, "PacketArchive.addFilePath.  path==NULL");
    return false;
  }
  const std::string path = folder + base;
  removeFile(path);
  mkdirs(path, false);
  FILE* f = fopen(path.c_str(), "wb");
  logLine(log_, LOG_VERBOSE, "Opening path to: [%s], ok=%d", path.c_str(), f != nullptr);
  if (f == nullptr) {
    logLine(log_, LOG_ADD, "NO FILE for [%s]", path.c_str());
    return false;
  }
  const bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  const bool closed = fclose(f) == 0;
  chmod(path.c_str(), MODE_SHARED_FILE);
  return ok && closed;
}

bool DremoFiles::storeSettings() {
  const std::string folder = downloadFolder();
  if (!writeDownload(SETTINGS_RAW, bytes_)) return false;
  if (settings_.read(folder + SETTINGS_RAW) <= 0) {
    logLine(log_, LOG_ADD, "Settings file [%s] holds no settings", filePath_.c_str());
    return false;
  }
  deleteOldFiles(folder, SETTINGS_KEEP_SECS);
  settings_.writeDownload(label_, log_);
  StationXml::copyConvert(folder + SETTINGS_NAME, folder + STATION_XML, archive_.getChannames());
  archive_.sendDownloadToMonitor(SETTINGS_NAME);
  settingsStored_ = true;
  return true;
}

bool DremoFiles::storeMinute() {
  return archive_.storeDownloadedMinute(bytes_.data(), bytes_.size(), requestedTime_);
}

bool DremoFiles::storeHistogram() {
  const bool copied = writeDownload(station_ + "_" + HISTOGRAM_NAME, bytes_);
  const HistogramCsv csv = checkHistogramCsv(bytes_.data(), bytes_.size());
  if (!csv.ok) {
    logLine(log_, LOG_ADD, "Histogram [%s] refused: %s (line %zu); left on the instrument",
            filePath_.c_str(), csv.error.c_str(), csv.line);
    return false;
  }
  // The checked file is also the viewer's histogram.
  if (copied) {
    archive_.getMonitor().copyAs(downloadFolder() + safePathCode(station_ + "_" + HISTOGRAM_NAME),
                                 safePathCode(label_) + "." + HISTOGRAM_NAME, log_);
  }
  if (histogram_ == nullptr) return copied;
  const std::string path = histogram_->getLocalPath(requestedTime_, archive_.getNetwork(),
                                                    archive_.getStation(), archive_.getId());
  if (path.empty()) {
    logLine(log_, LOG_ADD, "FAIL Histogram: PATH=NULL");
    return false;
  }
  mkdirs(path, false);
  FILE* f = fopen(path.c_str(), "wb");
  bool written = f != nullptr && fwrite(bytes_.data(), 1, bytes_.size(), f) == bytes_.size();
  if (f != nullptr && fclose(f) != 0) written = false;
  logLine(log_, LOG_ADD, "%s Histogram: [%s] %zu rows", written ? "Write" : "FAIL", path.c_str(),
          csv.rows);
  if (!written) return false;
  chmod(path.c_str(), MODE_SHARED_FILE);
  const bool whole = !endsWith(filePath_, INCOMPLETE);
  if (whole && gaps_ != nullptr && requestedTime_ > 0) {
    gaps_->addDeleteHistogram(archive_.getStationWithId(), requestedTime_, log_);
  }
  return true;
}

void DremoFiles::storeFile() {
  lastActivity_ = now();
  if (fileType_ == CLIENT) {
    init();
    return;
  }
  logLine(log_, LOG_ADD, "Start storeFile() %s", filePath_.c_str());
  if (fileName_.find(SETTINGS_MARK) != std::string::npos) fileType_ = SETTINGS;
  bool stored = false;
  if (bytes_.empty()) {
    logLine(log_, LOG_ADD, "No Pieces.  Ignored.");
  } else {
    switch (fileType_) {
      case MINISEED:
        stored = storeMinute();
        break;
      case SETTINGS:
        stored = storeSettings();
        break;
      case HISTOGRAM:
        stored = storeHistogram();
        break;
      default:
        stored = writeDownload(fileName_, bytes_);
        break;
    }
  }
  if (stored) {
    logLine(log_, LOG_ADD, "Finish storeFile() %s", filePath_.c_str());
    logLine(log_, LOG_ADD, "backfill complete | %s", filePath_.c_str());
    activity("Finish");
    if (activityOn_) activity_.deleteOld();
  } else {
    logLine(log_, LOG_ADD, "backfill fail | %s | not stored", filePath_.c_str());
    activity("Fail");
  }
  init();
}
