#include "archive/MinuteLock.h"

#include <condition_variable>
#include <mutex>
#include <set>

namespace {

struct HeldMinutes {
  std::mutex mu;
  std::condition_variable released;
  std::set<std::string> paths;  // guarded by mu
};

HeldMinutes& heldMinutes() {
  static HeldMinutes held;
  return held;
}

}  // namespace

MinuteLock::MinuteLock(const std::string& minutePath) : path_(minutePath) {
  HeldMinutes& held = heldMinutes();
  std::unique_lock<std::mutex> lock(held.mu);
  held.released.wait(lock, [&] { return held.paths.count(path_) == 0; });
  held.paths.insert(path_);
}

MinuteLock::~MinuteLock() {
  HeldMinutes& held = heldMinutes();
  std::lock_guard<std::mutex> lock(held.mu);
  held.paths.erase(path_);
  held.released.notify_all();
}
