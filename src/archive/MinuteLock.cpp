#include "archive/MinuteLock.h"

#include <condition_variable>
#include <set>

#include "util/Mutex.h"

namespace {

struct HeldMinutes {
  Mutex mu;
  std::condition_variable released;
  std::set<std::string> paths GUARDED_BY(mu);
};

HeldMinutes& heldMinutes() {
  static HeldMinutes held;
  return held;
}

}  // namespace

MinuteLock::MinuteLock(const std::string& minutePath) : path_(minutePath) {
  HeldMinutes& held = heldMinutes();
  MutexLock lock(held.mu);
  held.mu.wait(held.released, [&]() REQUIRES(held.mu) { return held.paths.count(path_) == 0; });
  held.paths.insert(path_);
}

MinuteLock::~MinuteLock() {
  HeldMinutes& held = heldMinutes();
  MutexLock lock(held.mu);
  held.paths.erase(path_);
  held.released.notify_all();
}
