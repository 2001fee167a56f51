#include "gaps/Gaps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/Log.h"
#include "util/Console.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"

namespace {

constexpr char TIME_FOLDER[] = "time/";
constexpr char GAP_FILE_EXTENSION[] = ".gaps";
constexpr char TEMP_EXTENSION[] = ".tmp";

bool isMinuteAction(Gap::GapAction action) {
  return action == Gap::DLTRIG || action == Gap::DLREQU || action == Gap::DLBACK;
}

// The station id as one path element: "/" and "\\" become "_", and so does a
// leading ".", so an id from an instrument cannot leave the time folder.
std::string pathSafeId(const std::string& id) {
  std::string safe = id;
  for (char& c : safe) {
    if (c == '/' || c == '\\') c = '_';
  }
  if (!safe.empty() && safe[0] == '.') safe[0] = '_';
  return safe;
}

// A message of the store about its files: to the log, else to the console.
void note(Log* log, const std::string& text) {
  if (log != nullptr) {
    log->add(text.c_str());
  } else {
    pprintf("%s\n", text.c_str());
  }
}

// Writes text to path through path + TEMP_EXTENSION: written, synced, given
// MODE_SHARED_FILE, then renamed into place. Creates the file's folder when the
// first open fails. Returns false with the reason in error; the old file at
// path is then untouched and the temporary file removed.
bool replaceFile(const std::string& path, const std::string& text, std::string& error) {
  const std::string temp = path + TEMP_EXTENSION;
  FILE* file = fopen(temp.c_str(), "w");
  if (file == nullptr) {
    mkdirs(temp, false);
    file = fopen(temp.c_str(), "w");
  }
  if (file == nullptr) {
    error = strerror(errno);
    return false;
  }
  int failure = 0;  // errno of the first step that failed
  errno = 0;
  if (fwrite(text.data(), 1, text.size(), file) != text.size() || fflush(file) != 0 ||
      fsync(fileno(file)) != 0) {
    failure = errno != 0 ? errno : EIO;
  }
  if (fclose(file) != 0 && failure == 0) failure = errno;
  if (failure == 0) {
    chmod(temp.c_str(), MODE_SHARED_FILE);
    if (rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  }
  if (failure != 0) {
    error = strerror(failure);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

Gaps::Gaps() = default;
Gaps::~Gaps() = default;

bool Gaps::push(std::unique_ptr<Gap> gap, Log* log) {
  if (!gap) return true;
  MutexLock lock(mu_);
  if (!pushLocked(std::move(gap), log)) return false;
  changedLocked(log);
  return true;
}

bool Gaps::pushLocked(std::unique_ptr<Gap> gap, Log* log) {
  if (!gap) return true;
  if (list_.size() >= GAPS_MAX) {
    if (log != nullptr) log->addf("Too Many Gaps %u\n", static_cast<unsigned>(list_.size()));
    return false;
  }
  if (gap->start() < GAP_TIME_MIN) {
    if (log != nullptr) log->add("Bad Gap time. Not added.");
    return false;
  }
  for (const auto& listed : list_) {
    if (*listed == *gap) return false;
  }
  if (gap->action() == Gap::DLBACK) {
    for (size_t i = 0; i < list_.size(); ++i) {
      if (!list_[i]->overlaps(*gap)) continue;
      Gap& merged = *list_[i];
      merged.merge(*gap);
      // The widened gap may now reach other backfill gaps: fold them in, so
      // that no minute is fetched twice.
      for (size_t j = 0; j < list_.size();) {
        if (j != i && list_[j]->overlaps(merged)) {
          merged.merge(*list_[j]);
          list_.erase(list_.begin() + static_cast<long>(j));
          if (j < i) --i;
          j = 0;
        } else {
          ++j;
        }
      }
      return true;
    }
  }
  std::string big = gap->bigString();
  list_.push_back(std::move(gap));
  if (log != nullptr) {
    log->addf("----- PUSHED GAP %s  (%d)", big.c_str(), static_cast<int>(list_.size()));
    logGapsLocked(log);
  }
  return true;
}

std::unique_ptr<Gap> Gaps::pop(Log* log, int hours, time_t offset) {
  struct Turn {
    Gap::GapAction action1, action2;
    bool oldest;
  };
  static const Turn POP_ORDER[] = {
      {Gap::DLFILE, Gap::LAST, true},    {Gap::BLDTRI, Gap::DLTRIG, true},
      {Gap::REQHIS, Gap::LAST, true},    {Gap::REQHIS, Gap::DELHIS, true},
      {Gap::REQHIS, Gap::UPLREQ, true},  {Gap::REQHIS, Gap::DLREQU, true},
      {Gap::REQHIS, Gap::DLBACK, false},
  };
  MutexLock lock(mu_);
  for (const Turn& turn : POP_ORDER) {
    std::unique_ptr<Gap> gap =
        popAgestLocked(log, turn.action1, turn.action2, hours, offset, turn.oldest);
    if (gap) return gap;
  }
  return nullptr;
}

std::unique_ptr<Gap> Gaps::popOldest(Log* log, Gap::GapAction action1, Gap::GapAction action2,
                                     int hours, time_t offset) {
  MutexLock lock(mu_);
  return popAgestLocked(log, action1, action2, hours, offset, true);
}

std::unique_ptr<Gap> Gaps::popNewest(Log* log, Gap::GapAction action1, Gap::GapAction action2,
                                     int hours, time_t offset) {
  MutexLock lock(mu_);
  return popAgestLocked(log, action1, action2, hours, offset, false);
}

std::unique_ptr<Gap> Gaps::peekAgest(Gap::GapAction action, bool oldest) {
  MutexLock lock(mu_);
  long index = peekAgestLocked(action, oldest);
  if (index < 0) return nullptr;
  return std::unique_ptr<Gap>(new Gap(*list_[static_cast<size_t>(index)]));
}

long Gaps::peekAgestLocked(Gap::GapAction action, bool oldest) {
  if (action == Gap::LAST || list_.empty()) return -1;
  long chosen = -1;
  for (size_t i = 0; i < list_.size();) {
    const Gap& gap = *list_[i];
    if (gap.start() < GAP_TIME_MIN) {
      list_.erase(list_.begin() + static_cast<long>(i));
      continue;
    }
    if (gap.action() == action) {
      if (chosen < 0) {
        chosen = static_cast<long>(i);
      } else {
        time_t best = list_[static_cast<size_t>(chosen)]->popTime();
        if (oldest ? gap.popTime() < best : gap.popTime() > best) chosen = static_cast<long>(i);
      }
    }
    ++i;
  }
  return chosen;
}

std::unique_ptr<Gap> Gaps::popAgestLocked(Log* log, Gap::GapAction action1, Gap::GapAction action2,
                                          int hours, time_t offset, bool oldest) {
  // The first peek may remove gaps from before 2019; the second then finds
  // none left to remove, so the first index stays valid.
  long first = peekAgestLocked(action1, oldest);
  long second = peekAgestLocked(action2, oldest);
  if (first < 0 && second < 0) return nullptr;
  long index = first;
  if (first < 0) {
    index = second;
  } else if (second >= 0) {
    time_t pop1 = list_[static_cast<size_t>(first)]->popTime();
    time_t pop2 = list_[static_cast<size_t>(second)]->popTime();
    if (oldest ? pop2 < pop1 : pop2 > pop1) index = second;
  }
  const time_t now = time(nullptr);
  const Gap& candidate = *list_[static_cast<size_t>(index)];
  if (!(offset + candidate.popTime() + GAP_DUE_MARGIN < now)) return nullptr;

  // Take the candidate out before the rest of it goes back, so that a
  // backfill remainder is not merged into the very gap it was cut from.
  std::unique_ptr<Gap> gap = std::move(list_[static_cast<size_t>(index)]);
  list_.erase(list_.begin() + index);

  const bool inWindow =
      hours != 0 && now - SECONDS_PER_HOUR * static_cast<time_t>(hours) <= offset + gap->popTime();
  if (gap->action() == Gap::DLBACK && !inWindow) {
    // Every older minute of it is outside the window too: drop it whole.
    storeLocked(log);
    return nullptr;
  }
  if (gap->duration() > GAP_MINUTE && isMinuteAction(gap->action())) {
    std::unique_ptr<Gap> rest(new Gap(gap->start(), gap->end() - GAP_MINUTE, gap->action()));
    gap->setStart(gap->end() - (GAP_MINUTE - 1));
    pushLocked(std::move(rest), log);
  }
  storeLocked(log);
  return gap;
}

bool Gaps::exists(const Gap& gap) const {
  MutexLock lock(mu_);
  for (const auto& listed : list_) {
    if (*listed == gap) return true;
  }
  return false;
}

bool Gaps::overlaps(const Gap& gap) const {
  MutexLock lock(mu_);
  for (const auto& listed : list_) {
    if (listed->overlaps(gap)) return true;
  }
  return false;
}

bool Gaps::addRestartGap(time_t t, time_t last, Log* log) {
  MutexLock lock(mu_);
  if (last <= 0) last = t - RESTART_GAP_FALLBACK;
  lastDataTime_ = last;
  std::unique_ptr<Gap> gap(new Gap(last - GAP_MINUTE, t + GAP_MINUTE, Gap::DLBACK));
  if (!pushLocked(std::move(gap), log)) {
    if (log != nullptr) log->add("deleting the gap we just created");
    return false;
  }
  changedLocked(log);
  if (log != nullptr) {
    log->addf("ADDING RESTART GAP %s %ld->%ld", stationId_.c_str(),
              static_cast<long>(last - GAP_MINUTE), static_cast<long>(t + GAP_MINUTE));
    logGapsLocked(log);
  }
  return true;
}

size_t Gaps::deleteBackfills() {
  MutexLock lock(mu_);
  size_t before = list_.size();
  for (size_t i = 0; i < list_.size();) {
    if (list_[i]->action() == Gap::DLBACK) {
      list_.erase(list_.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  if (list_.size() != before) changedLocked(nullptr);
  return before - list_.size();
}

void Gaps::changedLocked(Log* log) {
  changed_ = true;
  if (storeDueLocked()) storeLocked(log);
}

bool Gaps::storeDueLocked() const {
  return !writeTried_ || std::chrono::steady_clock::now() - lastWrite_ >=
                             std::chrono::seconds(GAP_STORE_INTERVAL_SECS);
}

bool Gaps::storeIfChanged(Log* log) {
  MutexLock lock(mu_);
  return changed_ && storeDueLocked() && storeLocked(log);
}

bool Gaps::store(Log* log) {
  MutexLock lock(mu_);
  return storeLocked(log);
}

bool Gaps::storeLocked(Log* log) {
  if (!hasStation_) return false;
  // A failed write counts too, so that a broken disk is not tried (and
  // logged) at every change.
  writeTried_ = true;
  lastWrite_ = std::chrono::steady_clock::now();
  std::string text;
  size_t lines = 0;
  for (const auto& gap : list_) {
    if (lines++ >= GAP_FILE_LINES_MAX) break;
    text += bounded(gap->toString(), GAP_LINE_MAX);
    text += '\n';
  }
  const std::string path = stationPathLocked(BASE_DIR, GAP_FILE_EXTENSION);
  std::string error;
  if (!replaceFile(path, text, error)) {
    note(log, sformat("Can't write gap file %s: %s", path.c_str(), error.c_str()));
    return false;
  }
  changed_ = false;
  return true;
}

size_t Gaps::load(Log* log) {
  MutexLock lock(mu_);
  return loadLocked(log);
}

size_t Gaps::loadLocked(Log* log) {
  if (!hasStation_) return 0;
  const std::string path = stationPathLocked(BASE_DIR, GAP_FILE_EXTENSION);
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    if (errno != ENOENT) {
      note(log, sformat("Can't read gap file %s: %s", path.c_str(), strerror(errno)));
    }
    return 0;
  }
  size_t added = 0;
  size_t lineNumber = 0;
  std::string line;   // the first GAP_LOAD_LINE_MAX characters of the current line
  size_t length = 0;  // characters of the current line so far
  size_t bytes = 0;

  // Takes one line; terminated is false for a last line without newline.
  auto take = [&](bool terminated) REQUIRES(mu_) {
    ++lineNumber;
    if (length < GAP_LOAD_LINE_MIN) {
      if (line.find_first_not_of(" \t\r") != std::string::npos) {
        note(log, sformat("Gap file %s line %zu skipped (too short)", path.c_str(), lineNumber));
      }
      return;
    }
    std::string why;
    std::unique_ptr<Gap> gap = Gap::fromLine(line, &why, !terminated);
    if (!gap) {
      note(log,
           sformat("Gap file %s line %zu skipped (%s)", path.c_str(), lineNumber, why.c_str()));
      return;
    }
    if (pushLocked(std::move(gap), nullptr)) ++added;
  };

  int c;
  while ((c = getc(file)) != EOF) {
    if (++bytes > GAP_FILE_READ_MAX) {
      note(log, sformat("Gap file %s read stops after %zu bytes", path.c_str(), GAP_FILE_READ_MAX));
      line.clear();
      length = 0;
      break;
    }
    if (c != '\n') {
      if (line.size() < GAP_LOAD_LINE_MAX) line += static_cast<char>(c);
      ++length;
      continue;
    }
    take(true);
    line.clear();
    length = 0;
    if (lineNumber >= GAP_FILE_LINES_MAX) {
      if (getc(file) != EOF) {
        note(log, sformat("Gap file %s lines after %zu skipped", path.c_str(), GAP_FILE_LINES_MAX));
      }
      break;
    }
  }
  if (length > 0) take(false);
  fclose(file);
  return added;
}

bool Gaps::setStationWithId(const std::string& id) {
  MutexLock lock(mu_);
  return setStationLocked(id);
}

bool Gaps::setStationLocked(const std::string& id) {
  if (hasStation_ || id.empty() || id.size() > GAPS_ID_MAX) return false;
  stationId_ = id;
  hasStation_ = true;
  return true;
}

bool Gaps::claim(const std::string& id, Log* log) {
  MutexLock lock(mu_);
  if (!setStationLocked(id)) return false;
  loadLocked(log);
  return true;
}

bool Gaps::release(Log* log) {
  MutexLock lock(mu_);
  if (!storeLocked(log)) return false;
  list_.clear();
  lastDataTime_ = 0;
  hasStation_ = false;
  stationId_.clear();
  writeTried_ = false;
  return true;
}

bool Gaps::hasStation() const {
  MutexLock lock(mu_);
  return hasStation_;
}

std::string Gaps::getStationId() const {
  MutexLock lock(mu_);
  return stationId_;
}

void Gaps::setDataTime(time_t t) {
  MutexLock lock(mu_);
  lastDataTime_ = t;
}

time_t Gaps::getDataTime() const {
  MutexLock lock(mu_);
  return lastDataTime_;
}

void Gaps::logGaps(Log* log) const {
  MutexLock lock(mu_);
  logGapsLocked(log);
}

void Gaps::logGapsLocked(Log* log) const {
  if (log != nullptr) {
    log->addf("--- Gap List %s ---", stationId_.c_str());
  } else {
    pprintf("\n--- Gap List %s ---\n", stationId_.c_str());
  }
  size_t lines = 0;
  for (const auto& gap : list_) {
    if (lines++ >= GAP_FILE_LINES_MAX) break;
    note(log, gap->bigString());
  }
  if (log != nullptr) {
    log->add("----   End   ----\n\n");
  } else {
    pprintf("----   End   ----\n\n");
  }
}

std::string Gaps::toString() const {
  MutexLock lock(mu_);
  return sformat("Gaps Object: %s  lastDataTime:%ld", stationId_.c_str(),
                 static_cast<long>(lastDataTime_));
}

std::vector<Gap> Gaps::getList() const {
  MutexLock lock(mu_);
  std::vector<Gap> copy;
  copy.reserve(list_.size());
  for (const auto& gap : list_) copy.push_back(*gap);
  return copy;
}

std::array<int, Gap::ACTION_COUNT> Gaps::countByAction() const {
  MutexLock lock(mu_);
  std::array<int, Gap::ACTION_COUNT> counts{};
  for (const auto& gap : list_) {
    const int action = gap->action();
    if (action >= 0 && action < Gap::ACTION_COUNT) ++counts[action];
  }
  return counts;
}

size_t Gaps::size() const {
  MutexLock lock(mu_);
  return list_.size();
}

std::string Gaps::getGapFilePath() const {
  MutexLock lock(mu_);
  return stationPathLocked(BASE_DIR, GAP_FILE_EXTENSION);
}

std::string Gaps::stationPathLocked(const std::string& folder, const char* extension) const {
  return folder + TIME_FOLDER + pathSafeId(stationId_) + extension;
}
