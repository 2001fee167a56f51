// A log that keeps its lines in memory instead of writing them (no file is
// touched); lines may come from several threads.
#ifndef VH_TESTS_SUPPORT_CAPTURELOG_H_
#define VH_TESTS_SUPPORT_CAPTURELOG_H_

#include <mutex>
#include <string>
#include <vector>

#include "core/Log.h"

class CaptureLog : public Log {
 public:
  explicit CaptureLog(const char* name = "capture") : Log(name) {}
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

#endif  // VH_TESTS_SUPPORT_CAPTURELOG_H_
