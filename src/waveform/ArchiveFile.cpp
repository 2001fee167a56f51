#include "waveform/ArchiveFile.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/Log.h"
#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "util/Usb.h"

namespace {

constexpr char USB_CODE[] = "%USB";
constexpr size_t USB_CODE_LEN = sizeof(USB_CODE) - 1;
constexpr char DATE_CODES[][3] = {"%Y", "%M", "%D", "%H", "%m"};
constexpr char SECONDS_CODE[] = "%s";
// Code letters after '%' that depend on the station or the time; the
// deletion folder ends before the first of them.
constexpr char STATION_TIME_CODES[] = "NSIYMDdHmsu";
// Extensions getFiles tries, in this order.
constexpr const char* FOUND_EXTENSIONS[] = {".trig.ms.zip", ".ms.zip", ".xml.zip",
                                            ".ms",          ".xml",    ".zip"};
constexpr int SECONDS_PER_MINUTE = 60;
constexpr char UNPRINTABLE_FILL = 'X';

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

bool isDeletableRoot(const std::string& text) {
  return text.size() <= ARCHIVE_SHORT_TEMPLATE || contains(text, "data") ||
         contains(text, "rchive");
}

// State of one deleteOld walk: nftw's callback takes no user pointer, and
// each thread runs its own walk.
thread_local time_t tDeleteBefore = 0;
thread_local int tDeleteRemoved = 0;

int removeIfOld(const char* path, const struct stat* st, int flag, struct FTW* ftwbuf) {
  if (ftwbuf->level == 0 || flag == FTW_NS) return 0;  // the root itself stays
  if (st->st_mtime >= tDeleteBefore) return 0;
  // Folders come after their contents (FTW_DEPTH) with the time they had
  // before; one that still holds something is not removed.
  bool folder = flag == FTW_DP || flag == FTW_D || flag == FTW_DNR;
  if ((folder ? rmdir(path) : unlink(path)) == 0) ++tDeleteRemoved;
  return 0;
}

}  // namespace

struct ArchiveFile::Codes {
  std::string network;  // already passed through safePathCode
  std::string station;  // likewise
  uint32_t id = 0;
  struct tm t {};
  long microseconds = 0;
  bool dropMicroseconds = false;  // "%u" gives nothing
};

ArchiveFile::ArchiveFile()
    : clock_([] { return time(nullptr); }),
      driveFinder_([] { return Usb::firstDrive(); }),
      sleeper_([] { sleep(1); }) {
  init();
}

ArchiveFile::ArchiveFile(const std::string& tmpl) : ArchiveFile() { setTemplate(tmpl); }

ArchiveFile::~ArchiveFile() = default;

void ArchiveFile::init() {
  template_.clear();
  deletionRoot_.clear();
  format_ = ArchiveFormat::MINISEED;
  enabled_ = true;
  ageLimit_ = 0;
  current_.clear();
  currentTime_ = 0;
  lastTracked_.clear();
  reopened_.clear();
  pending_.clear();
  finished_.clear();
}

std::string ArchiveFile::templateFor(const std::string& text) {
  if (text.empty()) return std::string();
  std::string tmpl = text;
  bool hasDate = std::any_of(std::begin(DATE_CODES), std::end(DATE_CODES),
                             [&](const char* code) { return contains(tmpl, code); });
  if (!hasDate) {
    if (tmpl.back() == '/') tmpl.pop_back();
    tmpl += DEFAULT_PATH;
  }
  return bounded(tmpl, ARCHIVE_TEMPLATE_MAX);
}

void ArchiveFile::setTemplate(const std::string& text) {
  if (text.empty()) return;
  template_ = templateFor(text);
  deletionRoot_ = isDeletableRoot(template_) ? template_ : std::string();
}

std::string ArchiveFile::substitute(const std::string& tmpl, const Codes& codes) const {
  std::string usb;
  if (contains(tmpl, USB_CODE)) {
    usb = driveFinder_();
    if (usb.empty()) {
      pprintf("ArchiveFile.replace _template=[%s] firstDrive=nuthin\n", tmpl.c_str());
      return std::string();
    }
  }
  const struct tm& t = codes.t;
  std::string out;
  for (size_t i = 0; i < tmpl.size() && out.size() < ARCHIVE_RESOLVE_MAX; ++i) {
    if (tmpl[i] != '%' || i + 1 >= tmpl.size()) {
      out += tmpl[i];
      continue;
    }
    if (tmpl.compare(i, USB_CODE_LEN, USB_CODE) == 0) {
      out += usb;
      i += USB_CODE_LEN - 1;
      continue;
    }
    switch (tmpl[i + 1]) {
      case 'U':
        out += HOMEDIR;
        break;
      case 'N':
        out += codes.network;
        break;
      case 'S':
        out += codes.station;
        break;
      case 'I':
        out += sformat("%08x", codes.id);
        break;
      case 'Y':
        out += sformat("%04d", t.tm_year + 1900);
        break;
      case 'M':
        out += sformat("%02d", t.tm_mon + 1);
        break;
      case 'D':
        out += sformat("%02d", t.tm_mday);
        break;
      case 'd':
        out += sformat("%03d", t.tm_yday + 1);
        break;
      case 'H':
        out += sformat("%02d", t.tm_hour);
        break;
      case 'm':
        out += sformat("%02d", t.tm_min);
        break;
      case 's':
        out += sformat("%02d", t.tm_sec);
        break;
      case 'u':
        if (!codes.dropMicroseconds)
          out += sformat("%06lu", static_cast<unsigned long>(codes.microseconds));
        break;
      default:  // not a code: the '%' stays
        out += '%';
        continue;
    }
    ++i;
  }
  return bounded(out, ARCHIVE_RESOLVE_MAX);
}

std::string ArchiveFile::finalPath(const std::string& tmpl, const Codes& codes,
                                   const std::string& extension) const {
  std::string path = substitute(tmpl, codes);
  if (path.empty()) return path;
  for (char& c : path) {
    if (!isPrintableAscii(c)) c = UNPRINTABLE_FILL;
  }
  if (!extension.empty() && !contains(path, extension.c_str())) path += extension;
  return bounded(path, ARCHIVE_PATH_MAX);
}

std::string ArchiveFile::getPath(const std::string& tmpl, const std::string& network,
                                 const std::string& station, uint32_t id, const struct tm& t,
                                 long microseconds, const std::string& extension, bool track) {
  if (tmpl.empty()) {
    pprintf("ArchiveFile.getPath()  templat==null");
    return std::string();
  }
  Codes codes;
  codes.network = safePathCode(network);
  codes.station = safePathCode(station);
  codes.id = id;
  codes.t = t;
  codes.microseconds = microseconds;
  std::string path = finalPath(tmpl, codes, extension);
  if (track && !path.empty()) this->track(path, tmToTime_t(t));
  return path;
}

std::string ArchiveFile::getPath(const std::string& network, const std::string& station,
                                 uint32_t id, const struct tm& t, long microseconds,
                                 const std::string& extension, bool track) {
  return getPath(template_, network, station, id, t, microseconds, extension, track);
}

std::string ArchiveFile::mkdirs(const std::string& network, const std::string& station, uint32_t id,
                                const struct tm& t, long microseconds, const std::string& extension,
                                bool track) {
  if (template_.empty()) return std::string();
  std::string path = getPath(network, station, id, t, microseconds, extension, track);
  if (t.tm_year + 1900 < MKDIRS_MIN_YEAR || path.empty()) return path;
  // Successive records share their folder: one look instead of a mkdir per level.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (!folder.empty() && folder == lastFolder_ && isDir(folder)) return path;
  ::mkdirs(path, false);
  lastFolder_ = folder;
  return path;
}

std::string ArchiveFile::mkdirs(const std::string& network, const std::string& station, uint32_t id,
                                time_t t, long microseconds, const std::string& extension,
                                bool track) {
  struct tm broken;
  gmtm(&broken, t);
  return mkdirs(network, station, id, broken, microseconds, extension, track);
}

std::string ArchiveFile::getFilename(const std::string& network, const std::string& station,
                                     uint32_t id, time_t t, long microseconds,
                                     const std::string& extension) {
  struct tm broken;
  gmtm(&broken, t);
  std::string path = getPath(network, station, id, broken, microseconds, extension, false);
  size_t slash = path.rfind('/');
  return bounded(slash == std::string::npos ? path : path.substr(slash + 1), ARCHIVE_FILENAME_MAX);
}

void ArchiveFile::track(const std::string& path, time_t t) {
  lastTracked_ = path;
  if (current_.empty()) {
    current_ = path;
    currentTime_ = t;
    return;
  }
  if (path != current_ && t < currentTime_) {
    // Late data for an older file. One still waiting in the queue gets it
    // before it is reported; one already reported is finished again once
    // the writes are back at the newest file.
    bool known = std::any_of(pending_.begin(), pending_.end(),
                             [&](const Finished& f) { return f.path == path; }) ||
                 std::any_of(reopened_.begin(), reopened_.end(),
                             [&](const Reopened& r) { return r.path == path; });
    if (!known) reopened_.push_back({path, t});
    return;
  }
  time_t now = clock_();
  std::sort(reopened_.begin(), reopened_.end(),
            [](const Reopened& a, const Reopened& b) { return a.time < b.time; });
  for (const Reopened& r : reopened_) finish(r.path, now);
  reopened_.clear();
  if (path != current_) finish(current_, now);
  current_ = path;
  currentTime_ = t;
}

void ArchiveFile::finish(const std::string& path, time_t now) {
  for (const Finished& f : pending_) {
    if (f.path == path) return;
  }
  if (pending_.size() >= FINISHED_QUEUE_MAX) {
    for (Finished& f : pending_) {
      if (f.due != 0) {
        f.due = 0;
        break;
      }
    }
  }
  pending_.push_back({path, now + HOLD_SECONDS});
}

bool ArchiveFile::changed(Log* log) {
  time_t now = clock_();
  if (!pending_.empty() && pending_.front().due < now && pending_.front().path != lastTracked_) {
    finished_ = pending_.front().path;
    pending_.pop_front();
    if (log != nullptr) log->addfVerbose("Minute finished [%s]", finished_.c_str());
    return true;
  }
  if (now == touchedAt_) return false;
  touchedAt_ = now;
  for (const Finished& f : pending_) {
    if (isFile(f.path)) touchFile(f.path, 0);
  }
  if (!current_.empty() && isFile(current_)) touchFile(current_, 0);
  return false;
}

bool ArchiveFile::closeOut(Log* log) {
  // Reported files that late data reopened are finished again first.
  std::sort(reopened_.begin(), reopened_.end(),
            [](const Reopened& a, const Reopened& b) { return a.time < b.time; });
  for (const Reopened& r : reopened_) finish(r.path, clock_());
  reopened_.clear();
  if (!current_.empty()) {
    bool known = std::any_of(pending_.begin(), pending_.end(),
                             [this](const Finished& f) { return f.path == current_; });
    if (!known) pending_.push_back({current_, clock_()});
    current_.clear();
    lastTracked_.clear();
  }
  if (pending_.empty()) return false;
  finished_ = pending_.front().path;
  pending_.pop_front();
  if (log != nullptr) log->addfVerbose("Minute finished [%s]", finished_.c_str());
  return true;
}

std::string ArchiveFile::getDeletionFolder() const {
  const std::string& root = deletionRoot_;
  std::string fixed;
  for (size_t i = 0; i < root.size(); ++i) {
    if (root[i] != '%' || i + 1 >= root.size()) {
      fixed += root[i];
    } else if (root.compare(i, USB_CODE_LEN, USB_CODE) == 0) {
      std::string usb = driveFinder_();
      if (usb.empty()) return std::string();
      fixed += usb;
      i += USB_CODE_LEN - 1;
    } else if (root[i + 1] == 'U') {
      fixed += HOMEDIR;
      ++i;
    } else if (strchr(STATION_TIME_CODES, root[i + 1]) != nullptr) {
      break;
    } else {
      fixed += root[i];
    }
  }
  size_t slash = fixed.rfind('/');
  if (slash == std::string::npos) return std::string();
  fixed.resize(slash + 1);
  return isDeletableRoot(fixed) ? fixed : std::string();
}

int ArchiveFile::deleteOld() {
  if (ageLimit_ <= 0 || deletionRoot_.empty()) return 0;
  std::string folder = getDeletionFolder();
  if (folder.size() < DELETE_MIN_FOLDER_LEN) return 0;
  tDeleteBefore = clock_() - ageLimit_;
  tDeleteRemoved = 0;
  nftw(folder.c_str(), removeIfOld, DELETE_MAX_OPEN_FOLDERS, FTW_PHYS | FTW_DEPTH);
  return tDeleteRemoved;
}

bool ArchiveFile::addReadable(std::vector<std::string>& list, const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  fclose(f);
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
  return true;
}

int ArchiveFile::getFiles(std::vector<std::string>& list, const std::string& network,
                          const std::string& station, uint32_t id, time_t start, int minutes,
                          bool wait, Log* log) {
  int attempts = wait ? GETFILES_ATTEMPTS : 1;
  for (int m = 0; m <= minutes; ++m) {
    struct tm t;
    gmtm(&t, start + static_cast<time_t>(m) * SECONDS_PER_MINUTE);
    std::string path = getPath(network, station, id, t, 0, std::string(), false);
    if (path.empty()) continue;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
      int found = 0;
      for (const char* extension : FOUND_EXTENSIONS) {
        std::string candidate = path + extension;
        size_t listed = list.size();
        if (!addReadable(list, candidate)) continue;
        ++found;
        if (log != nullptr && list.size() > listed) log->addf("*Found %s", candidate.c_str());
      }
      if (found > 0 || attempt == attempts) break;
      sleeper_();
      if (log != nullptr) log->addf("Nothing found.  Try again (%d)", attempt);
    }
  }
  return static_cast<int>(list.size());
}

int ArchiveFile::getFiles(std::vector<std::string>& list, const std::string& network,
                          const std::vector<std::string>& stationIds, time_t start, int minutes,
                          bool wait, Log* log) {
  size_t count = std::min(stationIds.size(), STATION_LIST_MAX);
  for (size_t i = 0; i < count; ++i) {
    std::string station, serial;
    uint32_t id = 0;
    if (splitStr(stationIds[i], '.', station, serial)) {
      id = static_cast<uint32_t>(strtoul(serial.c_str(), nullptr, 16));
    } else {
      station = stationIds[i];
    }
    getFiles(list, network, station, id, start, minutes, wait, log);
  }
  return static_cast<int>(list.size());
}

int ArchiveFile::getFilesInMinute(std::vector<std::string>& list, const std::string& network,
                                  const std::string& station, uint32_t id, time_t t,
                                  const std::string& extension, Log* log) {
  Codes codes;
  codes.network = safePathCode(network);
  codes.station = safePathCode(station);
  codes.id = id;
  codes.dropMicroseconds = true;
  gmtm(&codes.t, t);
  if (codes.t.tm_year + 1900 < TRIGGER_MIN_YEAR) pprintf("Year = %d\n?", codes.t.tm_year + 1900);
  bool perSecond = contains(template_, SECONDS_CODE);
  int first = perSecond ? 0 : codes.t.tm_sec;
  int last = perSecond ? SECONDS_PER_MINUTE - 1 : codes.t.tm_sec;
  int added = 0;
  for (int second = first; second <= last; ++second) {
    codes.t.tm_sec = second;
    std::string path = finalPath(template_, codes, extension);
    size_t listed = list.size();
    if (path.empty() || !addReadable(list, path) || list.size() == listed) continue;
    if (log != nullptr) log->addf("FOUND trig file: [%s]=%d", path.c_str(), second);
    ++added;
  }
  return added;
}

int ArchiveFile::getFilesInSeconds(std::vector<std::string>& list, const std::string& network,
                                   const std::string& station, uint32_t id, time_t t, int before,
                                   int after, const std::string& extension, Log* log) {
  Codes codes;
  codes.network = safePathCode(network);
  codes.station = safePathCode(station);
  codes.id = id;
  codes.dropMicroseconds = true;
  int added = 0;
  for (int offset = -before; offset <= after; ++offset) {
    gmtm(&codes.t, t + offset);
    std::string path = finalPath(template_, codes, extension);
    size_t listed = list.size();
    if (path.empty() || !addReadable(list, path) || list.size() == listed) continue;
    if (log != nullptr) log->addf("FOUND SEC trig file: [%s]=%d", path.c_str(), offset);
    ++added;
  }
  return added;
}

void ArchiveFile::printtm(const struct tm& t) {
  pprintf("Time tm y=%d, m=%d d=%d h=%d m=%d s=%d gmtoff=%ld isdst=%d tzone=%s\n", t.tm_year,
          t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_gmtoff, t.tm_isdst,
          t.tm_zone != nullptr ? t.tm_zone : "");
}
