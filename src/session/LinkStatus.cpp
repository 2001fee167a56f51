#include "session/LinkStatus.h"

#include <iterator>

namespace {
constexpr time_t SECONDS_PER_DAY = 86400;

long dayOf(time_t t) { return static_cast<long>(t / SECONDS_PER_DAY); }
}  // namespace

LinkRegistry& LinkRegistry::instance() {
  static LinkRegistry* registry = new LinkRegistry();  // lives as long as the process
  return *registry;
}

uint64_t LinkRegistry::add(const LinkSnapshot& snapshot) {
  MutexLock lock(mu_);
  const uint64_t key = nextKey_++;
  links_[key] = snapshot;
  return key;
}

void LinkRegistry::publish(uint64_t key, const LinkSnapshot& snapshot, uint64_t records,
                           uint64_t bytes, time_t now) {
  const long today = dayOf(now);
  MutexLock lock(mu_);
  auto link = links_.find(key);
  if (link == links_.end()) return;
  link->second = snapshot;
  if (snapshot.station.empty()) return;
  auto day = days_.find(snapshot.station);
  if (day == days_.end()) {
    if (days_.size() >= LINK_DAY_COUNTS_MAX) {
      for (auto it = days_.begin(); it != days_.end();)
        it = it->second.day != today ? days_.erase(it) : std::next(it);
      if (days_.size() >= LINK_DAY_COUNTS_MAX) return;
    }
    day = days_.emplace(snapshot.station, DayCount{today, 0, 0}).first;
  }
  if (day->second.day != today) day->second = DayCount{today, 0, 0};
  day->second.records += records;
  day->second.bytes += bytes;
}

void LinkRegistry::remove(uint64_t key) {
  MutexLock lock(mu_);
  links_.erase(key);
}

std::vector<LinkStatus> LinkRegistry::links(time_t now) const {
  const long today = dayOf(now);
  std::vector<LinkStatus> out;
  MutexLock lock(mu_);
  out.reserve(links_.size());
  for (const auto& entry : links_) {
    LinkStatus status;
    status.snapshot = entry.second;
    auto day = days_.find(entry.second.station);
    if (day != days_.end() && day->second.day == today) {
      status.recordsToday = day->second.records;
      status.bytesToday = day->second.bytes;
    }
    out.push_back(std::move(status));
  }
  return out;
}
