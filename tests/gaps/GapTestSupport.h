// Shared by the gap store tests: a log that keeps its lines in memory, and
// whole-hour times in the recent past that stand in for "10:00".
#ifndef VH_TESTS_GAPS_GAPTESTSUPPORT_H_
#define VH_TESTS_GAPS_GAPTESTSUPPORT_H_

#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "core/Log.h"

// Captures every line instead of writing it (no file is touched).
class CaptureLog : public Log {
 public:
  CaptureLog() : Log("gapstest") {}
  void add(const char* text, bool verboseOnly = false) override {
    if (verboseOnly && getVerbosness() < 1) return;
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back(text);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  bool has(const std::string& line) const {
    for (const std::string& l : lines()) {
      if (l == line) return true;
    }
    return false;
  }
  bool hasPrefix(const std::string& prefix) const {
    for (const std::string& l : lines()) {
      if (l.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

// The start of the hour hoursAgo hours before this one: a time whose
// gaps are due and inside a 24-hour backfill window.
inline time_t hourAgo(int hoursAgo) { return (time(nullptr) / 3600 - hoursAgo) * 3600; }

#endif  // VH_TESTS_GAPS_GAPTESTSUPPORT_H_
