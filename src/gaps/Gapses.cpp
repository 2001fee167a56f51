#include "gaps/Gapses.h"

#include <utility>

#include "core/Log.h"
#include "util/Console.h"

Gapses::Gapses(Log* log) : log_(log) {}

Gapses::~Gapses() { storeAll(); }

Gaps* Gapses::getGaps(const std::string& stationId) {
  MutexLock lock(mu_);
  return slotLocked(stationId);
}

Gaps* Gapses::slotLocked(const std::string& stationId) {
  if (stationId.empty() || stationId.size() > GAPS_ID_MAX) return blankLocked(stationId);
  auto found = index_.find(stationId);
  if (found != index_.end()) return &slots_[found->second];
  if (index_.size() >= GAPSES_SLOTS) return blankLocked(stationId);
  size_t slot = 0;
  while (slots_[slot].hasStation()) ++slot;  // a free one exists: fewer stations than slots
  slots_[slot].claim(stationId, log_);
  sessions_[slot] = 0;
  index_.emplace(stationId, slot);
  return &slots_[slot];
}

void Gapses::attach(const std::string& stationId) {
  MutexLock lock(mu_);
  Gaps* gaps = slotLocked(stationId);
  if (gaps != &blank_) ++sessions_[static_cast<size_t>(gaps - slots_.data())];
}

void Gapses::detach(const std::string& stationId) {
  MutexLock lock(mu_);
  auto found = index_.find(stationId);
  if (found == index_.end()) return;
  const size_t slot = found->second;
  if (sessions_[slot] > 0) --sessions_[slot];
  if (sessions_[slot] == 0 && slots_[slot].release(log_)) index_.erase(found);
}

bool Gapses::storeIfChanged(const std::string& stationId) {
  MutexLock lock(mu_);
  auto found = index_.find(stationId);
  if (found != index_.end()) return slots_[found->second].storeIfChanged(log_);
  return blankClaimed_ && blank_.storeIfChanged(log_);
}

std::array<int, Gap::ACTION_COUNT> Gapses::countByAction(const std::string& stationId) {
  MutexLock lock(mu_);
  auto found = index_.find(stationId);
  if (found == index_.end()) return std::array<int, Gap::ACTION_COUNT>{};
  return slots_[found->second].countByAction();
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
  MutexLock lock(mu_);
  return slotLocked(stationId)->push(std::move(gap), log);
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
  MutexLock lock(mu_);
  return slotLocked(stationId)->addRestartGap(t, last, log);
}

void Gapses::setDataTime(const std::string& stationId, time_t t) {
  MutexLock lock(mu_);
  slotLocked(stationId)->setDataTime(t);
}

std::unique_ptr<Gap> Gapses::pop(const std::string& stationId, Log* log, time_t offset) {
  MutexLock lock(mu_);
  Gaps* gaps = slotLocked(stationId);
  std::unique_ptr<Gap> gap = gaps->pop(log, getOldestHours(), offset);
  if (gap && log != nullptr) {
    log->addf("POP GAP %s", gap->bigString().c_str());
    gaps->logGaps(log);
  }
  return gap;
}

size_t Gapses::deleteBackfills(const std::string& stationId) {
  MutexLock lock(mu_);
  auto found = index_.find(stationId);
  return found == index_.end() ? 0 : slots_[found->second].deleteBackfills();
}

void Gapses::printGaps() {
  MutexLock lock(mu_);
  pprintf("Gapses: %zu stations, backfill window %d hours\n", index_.size(), getOldestHours());
  for (const auto& entry : index_) {
    pprintf("%3zu %s\n", entry.second, slots_[entry.second].toString().c_str());
    slots_[entry.second].logGaps(nullptr);
  }
  if (blankClaimed_) {
    pprintf("    %s\n", blank_.toString().c_str());
    blank_.logGaps(nullptr);
  }
}

size_t Gapses::storeAll() {
  MutexLock lock(mu_);
  size_t stored = 0;
  for (const auto& entry : index_) {
    if (slots_[entry.second].store(log_)) ++stored;
  }
  if (blankClaimed_ && blank_.store(log_)) ++stored;
  return stored;
}

size_t Gapses::stationCount() {
  MutexLock lock(mu_);
  return index_.size();
}
