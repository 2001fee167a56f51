#include "gaps/Gapses.h"

#include <utility>

#include "core/Log.h"
#include "util/Console.h"

Gapses::Gapses(Log* log) : log_(log) {}

Gapses::~Gapses() { storeAll(); }

Gaps* Gapses::getGaps(const std::string& stationId) {
  MutexLock lock(mu_);
  if (stationId.empty() || stationId.size() > GAPS_ID_MAX) return blankLocked(stationId);
  auto found = index_.find(stationId);
  if (found != index_.end()) return &slots_[found->second];
  if (index_.size() >= GAPSES_SLOTS) return blankLocked(stationId);
  // Slots are never given back, so the first free one is the next in order.
  size_t slot = index_.size();
  slots_[slot].claim(stationId, log_);
  index_.emplace(stationId, slot);
  return &slots_[slot];
}

Gaps* Gapses::blankLocked(const std::string& stationId) {
  if (!stationId.empty() && !blankReported_) {
    blankReported_ = true;
    std::string text = "Gap table cannot hold station " + stationId + ", it shares the " +
                       BLANK_STATION + " gap list";
    if (log_ != nullptr) {
      log_->add(text.c_str());
    } else {
      pprintf("%s\n", text.c_str());
    }
  }
  if (!blankClaimed_) {
    blank_.claim(BLANK_STATION, log_);
    blankClaimed_ = true;
  }
  return &blank_;
}

bool Gapses::push(const std::string& stationId, std::unique_ptr<Gap> gap, Log* log) {
  return getGaps(stationId)->push(std::move(gap), log);
}

bool Gapses::push(const std::string& stationId, time_t start, time_t duration,
                  Gap::GapAction action, Log* log) {
  return push(stationId, std::make_unique<Gap>(start, start + duration, action), log);
}

bool Gapses::pushBuildTrigger(const std::string& stationId, time_t start, time_t end, Log* log) {
  pprintf("\n\n pushBuildTrigger push\n");
  return push(stationId, std::make_unique<Gap>(start, end, Gap::BLDTRI), log);
}

bool Gapses::addHistogram(const std::string& stationId, time_t t, Log* log) {
  return push(stationId, std::make_unique<Gap>(t, t + GAP_MINUTE, Gap::REQHIS), log);
}

bool Gapses::addDeleteHistogram(const std::string& stationId, time_t t, Log* log) {
  return push(stationId, std::make_unique<Gap>(t, t, Gap::DELHIS), log);
}

bool Gapses::addRequestFile(const std::string& stationId, const std::string& text1,
                            const std::string& text2, Log* log) {
  return push(stationId, std::make_unique<Gap>(text1, text2), log);
}

bool Gapses::addRestartGap(const std::string& stationId, time_t t, time_t last, Log* log) {
  return getGaps(stationId)->addRestartGap(t, last, log);
}

void Gapses::setDataTime(const std::string& stationId, time_t t) {
  getGaps(stationId)->setDataTime(t);
}

std::unique_ptr<Gap> Gapses::pop(const std::string& stationId, Log* log, time_t offset) {
  Gaps* gaps = getGaps(stationId);
  std::unique_ptr<Gap> gap = gaps->pop(log, getOldestHours(), offset);
  if (gap && log != nullptr) {
    log->addf("POP GAP %s", gap->bigString().c_str());
    gaps->logGaps(log);
  }
  return gap;
}

size_t Gapses::deleteBackfills() {
  MutexLock lock(mu_);
  size_t removed = 0;
  for (size_t i = 0; i < index_.size(); ++i) removed += slots_[i].deleteBackfills();
  if (blankClaimed_) removed += blank_.deleteBackfills();
  return removed;
}

void Gapses::printGaps() {
  MutexLock lock(mu_);
  pprintf("Gapses: %zu stations, backfill window %d hours\n", index_.size(), getOldestHours());
  for (size_t i = 0; i < index_.size(); ++i) {
    pprintf("%3zu %s\n", i, slots_[i].toString().c_str());
    slots_[i].logGaps(nullptr);
  }
  if (blankClaimed_) {
    pprintf("    %s\n", blank_.toString().c_str());
    blank_.logGaps(nullptr);
  }
}

size_t Gapses::storeAll() {
  MutexLock lock(mu_);
  size_t stored = 0;
  for (size_t i = 0; i < index_.size(); ++i) {
    if (slots_[i].store(log_)) ++stored;
  }
  if (blankClaimed_ && blank_.store(log_)) ++stored;
  return stored;
}

size_t Gapses::stationCount() {
  MutexLock lock(mu_);
  return index_.size();
}
