// The records of miniSEED bytes as libmseed reads them, for tests that check
// what was stored (header only: the test links libmseed itself).
#ifndef VH_TESTS_SUPPORT_MSEEDRECORDS_H_
#define VH_TESTS_SUPPORT_MSEEDRECORDS_H_

#include <libmseed.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

struct RecordId {
  std::string channel;
  hptime_t start;
};

// Every 512-byte record of bytes in order; *bad counts records libmseed
// rejects and a cut-off tail.
inline std::vector<RecordId> recordsIn(const std::string& bytes, int* bad) {
  constexpr size_t kLength = 512;
  std::vector<RecordId> out;
  for (size_t at = 0; at + kLength <= bytes.size(); at += kLength) {
    std::string record = bytes.substr(at, kLength);
    MSRecord* msr = nullptr;
    if (msr_parse(&record[0], static_cast<int>(kLength), &msr, 0, 0, 0) == MS_NOERROR) {
      out.push_back({msr->channel, msr->starttime});
    } else {
      ++*bad;
    }
    msr_free(&msr);
  }
  if (bytes.size() % kLength != 0) ++*bad;
  return out;
}

// The files below folder (at any depth) whose names end in suffix, sorted.
inline std::vector<std::string> filesBelow(const std::string& folder, const std::string& suffix) {
  namespace fs = std::filesystem;
  std::vector<std::string> out;
  if (!fs::is_directory(folder)) return out;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string p = e.path().string();
    if (e.is_regular_file() && p.size() >= suffix.size() &&
        p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(p);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

#endif  // VH_TESTS_SUPPORT_MSEEDRECORDS_H_
